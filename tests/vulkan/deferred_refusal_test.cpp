// A Vulkan device of one sample per pixel runs no deferred frames (its
// lighting kernel reads multisampled storage images): asking for its
// targets and recording a G-buffer pass are refused with a clear error, the
// images made on the way are released, and nothing reaches the driver.
#include <memory_resource>

#include "kova_deferred.hpp"
#include "vulkan_test_device.hpp"

namespace {

using namespace kova_device;
using namespace kova_rhi;

TEST(VulkanDeferred, RefusedWithAClearErrorAndNothingChanges) {
  KOVA_VULKAN_DEVICE_WITH_OR_SKIP(vk, (VulkanOptions{.validation = true, .samples = 1}));
  const auto pipe = kova_renderer::DeferredPipeline::init(
      kova_renderer::KovaCamera::defaultCamera(), kova_renderer::DeferredConfig{});
  auto targets = createDeferredTargets(vk, pipe, 32, 16);
  ASSERT_FALSE(targets);
  EXPECT_NE(targets.error().find("no deferred lighting kernel"), std::string::npos)
      << targets.error();
  EXPECT_FALSE(vk.createComputePipeline(BuiltinKernel::deferred_lighting));

  // Four colour attachments (a G-buffer) are refused by the command checks.
  std::array<ImageId, 4> attachments{};
  for (ImageId& id : attachments) {
    auto image = vk.createImage(ImageDescriptor::initKovaRenderTarget(32, 16));
    ASSERT_TRUE(image) << image.error();
    id = *image;
  }
  auto depth = vk.createImage(ImageDescriptor::init2D(
      Format::depth32_float, 32, 16, ImageUsage::init({ImageUsageFlag::depth_stencil_attachment})));
  ASSERT_TRUE(depth);
  const std::array<GpuCommand, 2> commands = {BeginPassCommand{attachments, *depth},
                                              EndPassCommand{}};
  std::pmr::monotonic_buffer_resource arena;
  FrameGraph graph = FrameGraph::init(arena);
  ASSERT_TRUE(graph.addPass({"gbuffer", {}, {}, commands, PassType::geometry}));
  auto ran = vk.execute(graph);
  ASSERT_FALSE(ran);
  EXPECT_NE(ran.error().find("renders to one colour attachment"), std::string::npos) << ran.error();
  for (ImageId id : attachments) EXPECT_TRUE(vk.releaseImage(id));
  EXPECT_TRUE(vk.releaseImage(*depth));
  EXPECT_VALIDATION_SILENT(vk);
}

}  // namespace
