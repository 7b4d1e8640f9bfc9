// Tile light culling through dispatch on the CPU device: on random grids,
// views and light sets, every tile's list holds every light whose range
// reaches the lines the tile shows, unless it is full of nearer ones, and
// holds no light that falls short, judged by a brute-force sampling of each
// tile's lines in double precision. Hostile dispatches are refused with a
// clear error and leave the output as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "kova_cpu_device.hpp"
#include "lit_frame.hpp"
#include "tile_dispatch.hpp"

namespace {

using namespace kova_device;
using namespace kova_test;

TEST(TileLights, ListsHoldEveryReachingLightOrNearerOnesOverRandomSets) {
  std::mt19937_64 rng(2201);
  // How often each rule decided something, so that none holds vacuously.
  std::size_t must_hold = 0, full_lists = 0, kept = 0, short_fall = 0;
  for (int c = 0; c < 30; ++c) {
    const TileCase t = randomTileCase(rng);
    CpuDevice cpu;
    const TileRun run = runTileCulling(cpu, t);
    ASSERT_TRUE(run.stats) << run.stats.error();
    const std::vector<LightGpu> lights = packLights(t.view, lightValues(t.lights));
    const std::uint64_t record = t.grid.recordValues();
    ASSERT_EQ(run.after.size(), t.grid.outputValues());
    for (std::uint32_t ty = 0; ty < t.grid.tilesY(); ++ty) {
      for (std::uint32_t tx = 0; tx < t.grid.tilesX(); ++tx) {
        const double* rec = run.after.data() + (ty * t.grid.tilesX() + tx) * record;
        const auto count = static_cast<std::size_t>(rec[0]);
        ASSERT_EQ(rec[0], static_cast<double>(count));
        ASSERT_LE(count, t.grid.max_lights_per_tile);
        std::vector<std::uint32_t> list;
        for (std::size_t k = 0; k < count; ++k) {
          ASSERT_GE(rec[k + 1], 0.0);
          ASSERT_LT(rec[k + 1], static_cast<double>(lights.size()));
          list.push_back(static_cast<std::uint32_t>(rec[k + 1]));
        }
        for (std::size_t k = count; k + 1 < record; ++k) ASSERT_EQ(rec[k + 1], -1.0);
        ASSERT_TRUE(std::is_sorted(list.begin(), list.end()));
        ASSERT_EQ(std::adjacent_find(list.begin(), list.end()), list.end());
        // The C++ kernel gives the same list when asked directly.
        ASSERT_EQ(list, tileLightList(t.grid, static_cast<float>(t.tan_h),
                                      static_cast<float>(t.tan_v), tx, ty, lights));

        const TileReference ref = tileReference(t, lights, tx, ty);
        constexpr double kTol = 1e-4;  // single precision in the kernel
        const bool full = count == t.grid.max_lights_per_tile;
        full_lists += full;
        double farthest_kept = 0.0;
        for (std::uint32_t j : list) {
          // A kept light reaches some line of the tile.
          EXPECT_LT(ref.sampled[j] - ref.slack, t.lights[j].range + kTol)
              << "case " << c << " tile " << tx << "," << ty << " light " << j;
          farthest_kept = std::max(farthest_kept, ref.sampled[j] - ref.slack);
          ++kept;
        }
        for (std::uint32_t i = 0; i < lights.size(); ++i) {
          const bool in = std::binary_search(list.begin(), list.end(), i);
          if (ref.sampled[i] < t.lights[i].range - kTol) {
            ++must_hold;
            // A light that reaches is in the list, or the list is full of
            // lights no farther than it.
            if (!in) {
              EXPECT_TRUE(full) << "case " << c << " tile " << tx << "," << ty << " light " << i;
              EXPECT_LE(farthest_kept, ref.sampled[i] + kTol);
            }
          } else if (!in && ref.sampled[i] - ref.slack > t.lights[i].range + kTol) {
            ++short_fall;
          }
        }
      }
    }
  }
  std::printf("must hold %zu, full lists %zu, kept %zu, fall short %zu\n", must_hold, full_lists,
              kept, short_fall);
  EXPECT_GT(must_hold, 1000u);
  EXPECT_GT(full_lists, 100u);
  EXPECT_GT(short_fall, 1000u);
}

TEST(TileLights, AFullListKeepsTheNearestLights) {
  // Lights beside a 1 x 1 grid at growing distances from it: with room for
  // 3, the 3 nearest stay, whatever order they come in.
  TileCase t;
  t.grid = TileGrid{8, 8, 8, 3};
  const double at[] = {0.6, 0.2, 0.8, 0.5, 0.3, 0.85, 0.7};
  for (double d : at) {
    // Points at infinity beside the picture, d + 0.7 - atan(0.7) from its
    // edge.
    t.lights.push_back({HomVec4{std::sin(d + 0.7), 0.0, -std::cos(d + 0.7), 0.0}, {1, 1, 1}, 1.0, 3.0});
  }
  CpuDevice cpu;
  const TileRun run = runTileCulling(cpu, t);
  ASSERT_TRUE(run.stats) << run.stats.error();
  EXPECT_EQ(run.after, (std::vector<double>{3.0, 1.0, 3.0, 4.0}));
}

TEST(TileLights, HostileDispatchesAreRefusedAndChangeNothing) {
  for (const HostileTile& h : hostileTileCases()) {
    CpuDevice cpu;
    const TileRun run = runTileCulling(cpu, h.t);
    ASSERT_FALSE(run.stats) << h.name;
    EXPECT_NE(run.stats.error().find(h.error), std::string::npos)
        << h.name << ": " << run.stats.error();
    EXPECT_NE(run.stats.error().find("pass 'cull', command"), std::string::npos);
    EXPECT_EQ(run.after, run.before) << h.name;
  }
  CpuDevice cpu;
  EXPECT_FALSE(cpu.createComputePipeline(static_cast<BuiltinKernel>(7)));
  // A compute pipeline draws nothing.
  auto compute = cpu.createComputePipeline(BuiltinKernel::tile_light_culling);
  ASSERT_TRUE(compute);
  const GpuCommand draw[] = {DrawCommand{.pipeline = *compute}};
  std::pmr::monotonic_buffer_resource arena;
  FrameGraph graph = FrameGraph::init(arena);
  ASSERT_TRUE(graph.addPass({"draw", {}, {}, draw, PassType::geometry}));
  const auto r = cpu.execute(graph);
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().find("draw names a compute pipeline"), std::string::npos) << r.error();
}

}  // namespace
