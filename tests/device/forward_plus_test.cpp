// Forward+ as its record configures it, on the CPU device: over random
// configurations the frame graph has exactly passCount() passes, and with
// room in every tile list the tiled picture is the brute-force every-light
// picture bit for bit; lists too short to hold every light change it, so the
// shading really reads them. Records the device cannot run are refused with
// a clear error before anything is recorded.
#include <gtest/gtest.h>

#include <random>

#include "forward_plus_run.hpp"
#include "kova_cpu_device.hpp"

namespace {

using namespace kova_device;
using namespace kova_test;

TEST(ForwardPlus, PassCountsAndTiledPicturesEqualEveryLightOverRandomConfigs) {
  std::mt19937_64 rng(2222);
  const std::uint32_t tiles[] = {4, 8, 16, 32, 64};
  const LitScene scene = scatteredCells();
  int with_prepass = 0, without = 0;
  for (int c = 0; c < 10; ++c) {
    const std::uint32_t w = 64 + static_cast<std::uint32_t>(rng() % 96);
    const std::uint32_t h = 40 + static_cast<std::uint32_t>(rng() % 60);
    kova_renderer::ForwardPlusConfig config;
    config.tile_size = tiles[rng() % 5];
    config.z_prepass = (c % 2) == 0;
    config.msaa_samples = (rng() % 2) == 0 ? 1 : 4;
    const std::vector<Light> lights = scatteredLights(rng, 1 + rng() % 40);
    config.max_lights_per_tile = static_cast<std::uint32_t>(lights.size() + rng() % 3);
    const auto rec = forwardPlusRecord(config, w, h);
    CpuDevice cpu(config.msaa_samples);
    const ForwardPlusRun tiled = runForwardPlus(cpu, rec, w, h, scene, lights);
    const ForwardPlusRun every = runForwardPlus(cpu, rec, w, h, scene, lights, true);
    ASSERT_TRUE(tiled.stats && every.stats) << (tiled.stats ? every.stats.error() : tiled.stats.error());
    EXPECT_EQ(tiled.graph_passes, rec.passCount()) << c;
    EXPECT_EQ(tiled.stats->passes, rec.passCount()) << c;
    EXPECT_EQ(every.graph_passes, rec.passCount() - 1) << c;  // no culling pass
    EXPECT_EQ(tiled.rgb, every.rgb) << "case " << c << ", tile " << config.tile_size;
    (config.z_prepass ? with_prepass : without) += 1;
    // The depth pre-pass changes the work, not the picture.
    config.z_prepass = !config.z_prepass;
    const auto other = forwardPlusRecord(config, w, h);
    const ForwardPlusRun flipped = runForwardPlus(cpu, other, w, h, scene, lights);
    ASSERT_TRUE(flipped.stats) << flipped.stats.error();
    EXPECT_EQ(flipped.graph_passes, other.passCount());
    EXPECT_EQ(flipped.rgb, tiled.rgb) << c;
  }
  EXPECT_GT(with_prepass, 0);
  EXPECT_GT(without, 0);
  // Lists with room for one light each drop lights the picture shows.
  std::mt19937_64 rng2(7);
  const std::vector<Light> lights = scatteredLights(rng2, 24);
  kova_renderer::ForwardPlusConfig tight;
  tight.max_lights_per_tile = 1;
  const auto rec = forwardPlusRecord(tight, 96, 64);
  CpuDevice cpu(1);
  const ForwardPlusRun a = runForwardPlus(cpu, rec, 96, 64, scene, lights);
  const ForwardPlusRun b = runForwardPlus(cpu, rec, 96, 64, scene, lights, true);
  ASSERT_TRUE(a.stats && b.stats);
  EXPECT_NE(a.rgb, b.rgb);
}

TEST(ForwardPlus, RecordsTheDeviceCannotRunAreRefusedBeforeRecording) {
  const LitScene scene = scatteredCells();
  std::mt19937_64 rng(3);
  const std::vector<Light> lights = scatteredLights(rng, 4);
  struct Bad {
    kova_renderer::ForwardPlusConfig config;
    std::uint32_t w, h;
    std::size_t n_lights;
    std::string error;
  };
  const auto with = [](auto change) {
    kova_renderer::ForwardPlusConfig c;
    change(c);
    return c;
  };
  const Bad cases[] = {
      {with([](auto& c) { c.msaa_samples = 4; }), 64, 48, 4,
       "the record asks for msaa_samples 4 but the device renders 1 samples per pixel"},
      {with([](auto& c) { c.msaa_samples = 2; }), 64, 48, 4, "asks for msaa_samples 2"},
      {with([](auto& c) { c.tile_size = 0; }), 64, 48, 4, "tile_size 0 is outside [1, 16384]"},
      {with([](auto& c) { c.max_lights_per_tile = 0; }), 64, 48, 4,
       "max_lights_per_tile 0 is outside [1, 4096]"},
      {with([](auto& c) { c.max_lights_per_tile = 5000; }), 64, 48, 4,
       "max_lights_per_tile 5000 is outside [1, 4096]"},
      {{}, 0, 48, 4, "a 0 x 48 picture is outside"},
      {{}, 64, 48, 0, "forward+: 0 lights is outside [1, 4096]"},
  };
  for (const Bad& b : cases) {
    CpuDevice cpu(1);
    const auto rec = forwardPlusRecord(b.config, std::max(b.w, 1u), b.h);
    const ForwardPlusRun run = runForwardPlus(
        cpu, rec, b.w, b.h, scene, std::span<const Light>(lights).first(b.n_lights));
    ASSERT_FALSE(run.stats) << b.error;
    EXPECT_NE(run.stats.error().find(b.error), std::string::npos) << run.stats.error();
    EXPECT_EQ(run.graph_passes, 0u) << b.error;
  }
  // Resources made for one tiling refuse a record of another.
  CpuDevice cpu(1);
  auto rec = forwardPlusRecord({}, 64, 48);
  auto gpu = createForwardPlusGpu(cpu, rec, 64, 48);
  ASSERT_TRUE(gpu);
  rec.config.tile_size = 8;
  std::pmr::monotonic_buffer_resource arena;
  kova_rhi::FrameGraph graph = kova_rhi::FrameGraph::init(arena);
  const auto r = recordForwardPlus(graph, arena, rec, *gpu, ForwardPlusFrame{.light_count = 1});
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().find("differs from its resources'"), std::string::npos) << r.error();
  EXPECT_EQ(graph.passCount(), 0u);
  EXPECT_TRUE(releaseForwardPlusGpu(cpu, *gpu));
}

}  // namespace
