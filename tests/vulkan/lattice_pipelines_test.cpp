// The lattice through forward+ and deferred on the Vulkan device: the two
// pipelines agree with each other as on the CPU device (lattice_pipelines.hpp),
// and each agrees with the CPU device's, at one sample per pixel and at four,
// with the validation layer silent.
#include "kova_cpu_device.hpp"
#include "lattice_pipelines.hpp"
#include "vulkan_test_device.hpp"

namespace {

using namespace kova_demo;
using kova_device::CpuDevice;
using kova_device::VulkanDevice;
using kova_device::VulkanOptions;

constexpr std::uint32_t kW = 96, kH = 54;
// The devices compared on a larger picture: at four samples their edges
// (lines) may cover a pixel's samples differently, and at 96 x 54 edges
// are a fifth of the picture.
constexpr std::uint32_t kDeviceW = 384, kDeviceH = 216;

TEST(VulkanLatticePipelines, ForwardPlusAndDeferredAgreeWithEachOtherAndTheCpuDevice) {
  KOVA_VULKAN_DEVICE_WITH_OR_SKIP(probe, (VulkanOptions{.validation = true}));
  const LatticeScene scene = makeLatticeScene();
  for (const std::uint32_t samples : {1u, 4u}) {
    const auto make_sized = [&](std::uint32_t w, std::uint32_t h)
        -> std::expected<LatticeDriver<VulkanDevice>, std::string> {
      auto vk = VulkanDevice::create({.validation = true, .samples = samples});
      if (!vk) return std::unexpected(vk.error());
      return LatticeDriver<VulkanDevice>::create(scene, w, h, std::move(*vk));
    };
    const auto make = [&] { return make_sized(kW, kH); };
    const auto silent = [](const LatticeDriver<VulkanDevice>& d) {
      EXPECT_VALIDATION_SILENT(d.device());
    };
    kova_test::expectLatticePipelinesAgree(scene, make, silent);

    // Each pipeline's lit frame against the CPU device's.
    for (const PipelineChoice pipeline : {PipelineChoice::forward_plus, PipelineChoice::deferred}) {
      auto vk = make_sized(kDeviceW, kDeviceH);
      auto cpu = LatticeDriver<CpuDevice>::create(scene, kDeviceW, kDeviceH, CpuDevice{samples});
      ASSERT_TRUE(vk && cpu);
      ASSERT_TRUE(vk->setPipeline(pipeline) && cpu->setPipeline(pipeline));
      ASSERT_TRUE(vk->setLights(24) && cpu->setLights(24));
      vk->skipFrames(11);
      cpu->skipFrames(11);
      ASSERT_TRUE(vk->renderFrame() && cpu->renderFrame());
      EXPECT_GE(kova_test::agreeing(*vk->readRgb(), *cpu->readRgb(), 3), 0.995)
          << pipelineName(pipeline) << ", " << samples << " samples";
      silent(*vk);
    }
  }
}

}  // namespace
