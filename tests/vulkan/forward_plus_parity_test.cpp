// Forward+ frames recorded by recordForwardPlus on the Vulkan device against
// the CPU device's, with the validation layer silent: the graph has
// passCount() passes with and without the depth pre-pass, the tiled picture
// is the every-light picture when the lists have room, and both devices
// agree; a record asking for another sample count is the same clear error.
#include <algorithm>
#include <cstdio>
#include <random>

#include "forward_plus_run.hpp"
#include "kova_cpu_device.hpp"
#include "picture_agreement.hpp"
#include "vulkan_test_device.hpp"

namespace {

using namespace kova_device;
using namespace kova_test;

constexpr std::uint32_t kW = 192, kH = 108;

TEST(VulkanForwardPlus, FramesMatchEveryLightAndTheCpuDevice) {
  KOVA_VULKAN_DEVICE_OR_SKIP(vk);
  const LitScene scene = scatteredCells();
  std::mt19937_64 rng(4242);
  const std::vector<Light> lights = scatteredLights(rng, 32);
  for (const bool prepass : {true, false}) {
    for (const std::uint32_t tile : {8u, 16u}) {
      kova_renderer::ForwardPlusConfig config;
      config.z_prepass = prepass;
      config.tile_size = tile;
      config.msaa_samples = vk.samples();
      const auto rec = forwardPlusRecord(config, kW, kH);
      CpuDevice cpu(vk.samples());
      const ForwardPlusRun on_vk = runForwardPlus(vk, rec, kW, kH, scene, lights);
      const ForwardPlusRun every_vk = runForwardPlus(vk, rec, kW, kH, scene, lights, true);
      const ForwardPlusRun on_cpu = runForwardPlus(cpu, rec, kW, kH, scene, lights);
      ASSERT_TRUE(on_vk.stats && every_vk.stats && on_cpu.stats)
          << (!on_vk.stats ? on_vk.stats.error()
                           : !every_vk.stats ? every_vk.stats.error() : on_cpu.stats.error());
      EXPECT_EQ(on_vk.graph_passes, rec.passCount());
      EXPECT_EQ(on_vk.stats->passes, rec.passCount());
      const double parity = agreeing(on_vk.rgb, on_cpu.rgb, 3);
      const double every = agreeing(on_vk.rgb, every_vk.rgb, 0);
      std::printf("forward+ prepass %d tile %u: %.3f %% agree with the CPU, %.3f %% with every light\n",
                  prepass, tile, 100.0 * parity, 100.0 * every);
      EXPECT_GE(parity, 0.999);
      EXPECT_GE(every, 0.9999);
    }
  }
  // Lists with room for one light each: the tiled picture is not every light's.
  kova_renderer::ForwardPlusConfig tight;
  tight.max_lights_per_tile = 1;
  tight.msaa_samples = vk.samples();
  const auto rec = forwardPlusRecord(tight, kW, kH);
  const ForwardPlusRun a = runForwardPlus(vk, rec, kW, kH, scene, lights);
  const ForwardPlusRun b = runForwardPlus(vk, rec, kW, kH, scene, lights, true);
  ASSERT_TRUE(a.stats && b.stats);
  EXPECT_LT(agreeing(a.rgb, b.rgb, 0), 0.95);
  // Another sample count: the same words as on the CPU device.
  kova_renderer::ForwardPlusConfig other;
  other.msaa_samples = vk.samples() == 1 ? 4 : 1;
  CpuDevice cpu(vk.samples());
  const auto bad = forwardPlusRecord(other, kW, kH);
  const ForwardPlusRun ev = runForwardPlus(vk, bad, kW, kH, scene, lights);
  const ForwardPlusRun ec = runForwardPlus(cpu, bad, kW, kH, scene, lights);
  ASSERT_FALSE(ev.stats || ec.stats);
  EXPECT_EQ(ev.stats.error(), ec.stats.error());
  EXPECT_NE(ev.stats.error().find("msaa_samples"), std::string::npos) << ev.stats.error();
  EXPECT_VALIDATION_SILENT(vk);
}

}  // namespace
