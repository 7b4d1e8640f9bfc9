// Tile light culling on the Vulkan device (tile_lights.comp) against the CPU
// device's C++ kernel: the same lists, value for value, on random grids,
// views and light sets, a dispatch over part of the tiles leaving the rest
// as they were; hostile dispatches are the same clear error on both and
// change nothing; the validation layer stays silent.
#include <random>

#include "kova_cpu_device.hpp"
#include "tile_dispatch.hpp"
#include "vulkan_test_device.hpp"

namespace {

using namespace kova_device;
using namespace kova_test;

TEST(VulkanTileLights, ListsAreTheCpuDevicesValueForValue) {
  KOVA_VULKAN_DEVICE_OR_SKIP(vk);
  std::mt19937_64 rng(2202);
  std::size_t listed = 0;
  for (int c = 0; c < 24; ++c) {
    TileCase t = randomTileCase(rng);
    // Every fourth case dispatches only the first column and row of tiles.
    if (c % 4 == 3) t.groups = {1, 1, 1};
    CpuDevice cpu;
    const TileRun a = runTileCulling(cpu, t);
    const TileRun b = runTileCulling(vk, t);
    ASSERT_TRUE(a.stats && b.stats) << (a.stats ? b.stats.error() : a.stats.error());
    ASSERT_EQ(a.after.size(), b.after.size());
    std::size_t differ = 0;
    for (std::size_t i = 0; i < a.after.size(); ++i) differ += a.after[i] != b.after[i];
    EXPECT_EQ(differ, 0u) << "case " << c;
    if (c % 4 == 3) {
      // Only tile (0, 0) was written.
      const std::uint64_t record = t.grid.recordValues();
      for (std::size_t i = record; i < b.after.size(); ++i) ASSERT_EQ(b.after[i], kSentinel);
    }
    for (std::size_t i = 0; i < a.after.size(); i += t.grid.recordValues())
      listed += a.after[i] != kSentinel ? static_cast<std::size_t>(a.after[i]) : 0;
  }
  EXPECT_GT(listed, 1000u);
  EXPECT_VALIDATION_SILENT(vk);
}

// A frame's worth of tiles and lights, where one invocation looping over
// every light ran into lavapipe's loop limits (lists cut short past 1 000
// lights): each tile's lights, and full lists cut to their nearest.
TEST(VulkanTileLights, ManyLightsOnAFullFrameAreTheCpuDevicesLists) {
  KOVA_VULKAN_DEVICE_OR_SKIP(vk);
  std::mt19937_64 rng(2203);
  std::normal_distribution<double> g;
  struct Load {
    std::size_t lights;
    std::uint32_t cap;
    double range;
  };
  for (const Load load : {Load{1024, 256, 0.15}, Load{1500, 6, 0.6}}) {
    TileCase t;
    t.grid = TileGrid{1280, 720, 16, load.cap};
    t.tan_h = std::tan(0.6);
    t.tan_v = t.tan_h * 720.0 / 1280.0;
    for (std::size_t i = 0; i < load.lights; ++i)
      t.lights.push_back({HomVec4{g(rng), g(rng), g(rng), g(rng)}, {1.0, 1.0, 1.0}, 1.0, load.range});
    CpuDevice cpu;
    const TileRun a = runTileCulling(cpu, t);
    const TileRun b = runTileCulling(vk, t);
    ASSERT_TRUE(a.stats && b.stats) << (a.stats ? b.stats.error() : a.stats.error());
    std::size_t differ = 0, full = 0;
    for (std::size_t i = 0; i < a.after.size(); ++i) differ += a.after[i] != b.after[i];
    for (std::size_t i = 0; i < a.after.size(); i += t.grid.recordValues()) full += a.after[i] == load.cap;
    EXPECT_EQ(differ, 0u) << load.lights << " lights";
    // The first load never fills a list, the second fills most.
    EXPECT_EQ(full > 1000, load.cap < 10) << full << " full lists";
  }
  EXPECT_VALIDATION_SILENT(vk);
}

TEST(VulkanTileLights, HostileDispatchesAreTheSameErrorOnBothDevices) {
  KOVA_VULKAN_DEVICE_OR_SKIP(vk);
  for (const HostileTile& h : hostileTileCases()) {
    CpuDevice cpu;
    const TileRun a = runTileCulling(cpu, h.t);
    const TileRun b = runTileCulling(vk, h.t);
    ASSERT_FALSE(a.stats || b.stats) << h.name;
    EXPECT_EQ(a.stats.error(), b.stats.error()) << h.name;
    EXPECT_EQ(b.after, b.before) << h.name;
  }
  EXPECT_FALSE(vk.createComputePipeline(static_cast<BuiltinKernel>(7)));
  EXPECT_VALIDATION_SILENT(vk);
}

}  // namespace
