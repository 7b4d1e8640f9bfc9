// Malformed graphs and resources on the Vulkan device: each is a clear error
// naming the fault, nothing reaches the driver (the validation layer stays
// silent), and the device's state is as before.
#include "hostile_input.hpp"
#include "vulkan_test_device.hpp"

namespace {

using namespace kova_device;
using namespace kova_rhi;
using namespace kova_hostile;

TEST(VulkanBadInput, ClearErrorsAndNothingChanges) {
  KOVA_VULKAN_DEVICE_OR_SKIP(vk);
  const HostileData data;
  // A good graph first: 16 positions, their distances and the camera block.
  const HostileResources r = makeHostileResources(vk, data);
  KOVA_VULKAN_DEVICE_OR_SKIP(other);
  const HostileResources foreign = makeHostileResources(other, data);  // stale here

  // The malformed graphs of the shared table (tests/device/hostile_input.hpp):
  // each fails naming its fault and the pass.
  const std::array<ImageId, 1> colors{r.color};
  refuseAll(vk, hostileCases(r, foreign, data, colors));

  // Still 16 positions and distances: the good draw runs, and draws all 16.
  const BeginPassCommand begin{colors, r.depth};
  auto ran = runPasses(vk, {{begin, ClearCommand{r.color}, r.points, pointDraw(r), EndPassCommand{}}});
  ASSERT_TRUE(ran) << ran.error();
  EXPECT_EQ(ran->points_drawn, 16u);

  // Resources the device cannot hold are refused when they are made.
  EXPECT_FALSE(vk.createBuffer(BufferDescriptor::initKovaPositions(0xFFFFFFFFu)));
  EXPECT_FALSE(
      vk.createBuffer(BufferDescriptor{.size = 64, .stride = 7, .type = BufferType::storage}));
  EXPECT_FALSE(vk.createImage(ImageDescriptor::initKovaRenderTarget(0, 10)));
  EXPECT_FALSE(vk.createImage(ImageDescriptor::initKovaRenderTarget(20000, 10)));
  EXPECT_FALSE(vk.readRgb8(r.depth));
  EXPECT_FALSE(vk.readDepth(foreign.depth));
  EXPECT_VALIDATION_SILENT(vk);
  EXPECT_VALIDATION_SILENT(other);
}

TEST(VulkanDeviceChoice, NamesWhatIsMissing) {
  const auto ok = [](std::string name, int rank) {
    return VulkanCandidate{
        std::move(name), (1u << 22) | (3u << 12), rank, true, true, true, true, true, true, true};
  };
  EXPECT_EQ(chooseVulkanDevice({}).error(), "no Vulkan device found");
  VulkanCandidate no_f64 = ok("old gpu", 0);
  no_f64.float64 = false;
  VulkanCandidate old = ok("vk12", 0);
  old.api_version = (1u << 22) | (2u << 12);
  VulkanCandidate small_points = ok("tiny", 1);
  small_points.large_points = false;
  VulkanCandidate no_sync2 = ok("nosync", 0);
  no_sync2.synchronization2 = false;
  const VulkanCandidate lacking[] = {no_sync2, old, small_points};
  const auto none = chooseVulkanDevice(lacking);
  ASSERT_FALSE(none);
  EXPECT_NE(none.error().find("nosync lacks synchronization2"), std::string::npos) << none.error();
  EXPECT_NE(none.error().find("vk12 lacks Vulkan 1.3"), std::string::npos) << none.error();
  EXPECT_NE(none.error().find("tiny lacks largePoints"), std::string::npos) << none.error();
  const VulkanCandidate mixed[] = {ok("llvmpipe", 3), no_f64, ok("discrete", 0), ok("igpu", 1)};
  EXPECT_EQ(chooseVulkanDevice(mixed).value(), 2u);
  // Double-precision shaders are preferred but not required: without them
  // the device computes distances on the host.
  const VulkanCandidate only_no_f64[] = {ok("llvmpipe", 3), no_f64};
  EXPECT_EQ(chooseVulkanDevice(only_no_f64).value(), 1u);
  // While some shaders still use doubles, a GPU without them goes after any
  // device that has them, and is still chosen when it is the only one.
  EXPECT_EQ(chooseVulkanDevice(only_no_f64, true).value(), 0u);
  const VulkanCandidate alone[] = {no_f64};
  EXPECT_EQ(chooseVulkanDevice(alone, true).value(), 0u);
}

TEST(VulkanBadInput, OptionsThatCannotHoldAreRefusedAtCreate) {
  for (const std::uint32_t samples : {0u, 2u, 3u, 8u}) {
    const auto made = kova_device::VulkanDevice::create({.samples = samples});
    ASSERT_FALSE(made) << samples;
    EXPECT_EQ(made.error(), "samples must be 1 or 4, not " + std::to_string(samples));
  }
  const auto unchecked = kova_device::VulkanDevice::create({.best_practices = true});
  ASSERT_FALSE(unchecked);
  EXPECT_NE(unchecked.error().find("need the validation layer"), std::string::npos)
      << unchecked.error();
}

}  // namespace
