// A tile light culling dispatch on either device, as a host records it, with
// knobs that make it hostile; and the brute-force reference the lists are
// judged by. Shared by the CPU device's tests and the Vulkan parity tests.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <expected>
#include <limits>
#include <memory_resource>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "kova_device.hpp"
#include "kova_device_layouts.hpp"
#include "kova_device_lights.hpp"
#include "kova_tile_lights.hpp"
#include "lit_frame.hpp"

namespace kova_test {

using namespace kova_device;
using namespace kova_rhi;

struct TileCase {
  TileGrid grid{};
  std::vector<Light> lights;
  PGL4 view = PGL4::identity();  // an isometry
  double tan_h = 0.7, tan_v = 0.4;
  // Hostile knobs.
  std::optional<std::vector<double>> grid_values;   // instead of the grid's
  std::optional<std::vector<double>> light_values;  // instead of the lights'
  std::array<std::uint32_t, 3> groups{0, 0, 1};      // 0: the grid's tiles
  bool bind_camera = true, bind_grid = true, bind_lights = true, bind_pipeline = true;
  enum class Pipe : std::uint8_t { tile, unknown, graphics } pipe = Pipe::tile;
  std::uint64_t output_values = 0;  // 0: what the grid needs
  bool output_is_lights = false;
};

struct TileRun {
  std::expected<ExecuteStats, std::string> stats;
  std::vector<double> before, after;  // the output buffer around the dispatch
};

inline constexpr double kSentinel = 7.5;

template <FrameDevice Device>
TileRun runTileCulling(Device& dev, const TileCase& t) {
  CameraBlock cam;
  cam.view = t.view;
  cam.tan_h = t.tan_h;
  cam.tan_v = t.tan_v;
  cam.near_fs = 1e-3;
  cam.far_fs = 1.5;
  cam.isometric_view = true;
  const auto block = packCameraBlock(cam);
  const std::vector<double> grid = t.grid_values.value_or(
      std::vector<double>{double(t.grid.width), double(t.grid.height), double(t.grid.tile_size),
                          double(t.grid.max_lights_per_tile)});
  const std::vector<double> lights = t.light_values.value_or(lightValues(t.lights));
  const std::uint64_t out_n =
      t.output_values != 0 ? t.output_values : std::max<std::uint64_t>(t.grid.outputValues(), 1);
  auto cb = dev.createBuffer(BufferDescriptor::initKovaTransforms(2));
  auto gb = dev.createBuffer({.size = std::max<std::uint64_t>(grid.size(), 1) * 8,
                              .stride = 8,
                              .type = BufferType::storage});
  auto lb = dev.createBuffer({.size = std::max<std::uint64_t>(lights.size(), 1) * 8,
                              .stride = 8,
                              .type = BufferType::storage});
  auto ob = dev.createBuffer({.size = out_n * 8, .stride = 8, .type = BufferType::storage});
  auto pipe = dev.createComputePipeline(BuiltinKernel::tile_light_culling);
  auto graphics = dev.createPipeline({.type = PipelineType::kova_projective,
                                      .topology = PrimitiveTopology::triangle_list,
                                      .depth = {.fs_depth = true}});
  EXPECT_TRUE(cb && gb && lb && ob && pipe && graphics);
  EXPECT_TRUE(dev.writeValues(*gb, grid));
  EXPECT_TRUE(dev.writeValues(*lb, lights));
  EXPECT_TRUE(dev.writeValues(*ob, std::vector<double>(out_n, kSentinel)));
  TileRun run{std::unexpected(std::string("not run")), *dev.readValues(*ob), {}};
  PipelineId id = *pipe;
  if (t.pipe == TileCase::Pipe::unknown) id = PipelineId{PipelineType::compute, 999};
  if (t.pipe == TileCase::Pipe::graphics) id = *graphics;
  std::vector<GpuCommand> cmds;
  cmds.push_back(KovaUploadPgl4Command{*cb, block});
  if (t.bind_pipeline && t.pipe != TileCase::Pipe::unknown) cmds.push_back(id);
  if (t.bind_camera) cmds.push_back(BindUniformCommand{*cb, 0, 2 * sizeof(PGL4), 0});
  if (t.bind_grid) cmds.push_back(BindUniformCommand{*gb, 0, grid.size() * 8, 1});
  if (t.bind_lights) cmds.push_back(BindUniformCommand{*lb, 0, lights.size() * 8, 2});
  cmds.push_back(BindUniformCommand{t.output_is_lights ? *lb : *ob, 0, out_n * 8, 3});
  cmds.push_back(DispatchCommand{id, t.groups[0] != 0 ? t.groups[0] : t.grid.tilesX(),
                                 t.groups[1] != 0 ? t.groups[1] : t.grid.tilesY(), t.groups[2]});
  std::pmr::monotonic_buffer_resource arena;
  FrameGraph graph = FrameGraph::init(arena);
  EXPECT_TRUE(graph.addPass({"cull", {}, {}, cmds, PassType::kova_fs_compute}));
  run.stats = dev.execute(graph);
  run.after = *dev.readValues(*ob);
  for (BufferId b : {*cb, *gb, *lb, *ob}) EXPECT_TRUE(dev.releaseBuffer(b));
  return run;
}

// A random culling problem: a grid, an isometric view and lights anywhere,
// with ranges from tiny to beyond pi / 2.
inline TileCase randomTileCase(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> g;
  TileCase t;
  const std::uint32_t tiles[] = {4, 8, 16, 32, 64};
  const std::uint32_t caps[] = {1, 3, 8, 256};
  t.grid = TileGrid{20 + static_cast<std::uint32_t>(u(rng) * 200),
                    10 + static_cast<std::uint32_t>(u(rng) * 150), tiles[rng() % 5],
                    caps[rng() % 4]};
  t.tan_h = std::tan(0.2 + 0.6 * u(rng));
  t.tan_v = t.tan_h * t.grid.height / t.grid.width;
  PGL4 view = PGL4::identity();
  for (std::size_t i = 0; i < 4; ++i)
    for (std::size_t j = i + 1; j < 4; ++j) view = planeRotation(i, j, 3.0 * g(rng)).mul(view);
  t.view = view;
  const std::size_t n = 1 + rng() % 60;
  for (std::size_t i = 0; i < n; ++i) {
    const double range = u(rng) < 0.8 ? 0.02 + 0.5 * u(rng) : 0.1 + 3.0 * u(rng);
    t.lights.push_back(
        {HomVec4{g(rng), g(rng), g(rng), g(rng)}, {1.0, 1.0, 1.0}, 1.0, std::min(range, 3.1)});
  }
  return t;
}

// The brute-force distance from each light (as packed) to the lines a tile
// shows, sampled over a grid of directions, and the largest angle any line
// of the tile lies from a sample: the true distance is within that below.
struct TileReference {
  std::vector<double> sampled;  // per light
  double slack = 0.0;
};

inline TileReference tileReference(const TileCase& t, std::span<const LightGpu> lights,
                                   std::uint32_t tx, std::uint32_t ty) {
  constexpr int kSteps = 24;
  const TileGrid& g = t.grid;
  const double px0 = tx * g.tile_size, py0 = ty * g.tile_size;
  const double px1 = std::min<double>(px0 + g.tile_size, g.width);
  const double py1 = std::min<double>(py0 + g.tile_size, g.height);
  std::vector<std::array<double, 3>> dirs;
  for (int j = 0; j <= kSteps; ++j) {
    for (int i = 0; i <= kSteps; ++i) {
      const double px = px0 + (px1 - px0) * i / kSteps, py = py0 + (py1 - py0) * j / kSteps;
      const double x = (2.0 * px / g.width - 1.0) * t.tan_h, y = (1.0 - 2.0 * py / g.height) * t.tan_v;
      const double n = std::sqrt(x * x + y * y + 1.0);
      dirs.push_back({x / n, y / n, -1.0 / n});
    }
  }
  TileReference ref;
  const auto angle = [](const std::array<double, 3>& a, const std::array<double, 3>& b) {
    const double c = a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
    const double cx = a[1] * b[2] - a[2] * b[1], cy = a[2] * b[0] - a[0] * b[2],
                 cz = a[0] * b[1] - a[1] * b[0];
    return std::atan2(std::sqrt(cx * cx + cy * cy + cz * cz), c);
  };
  for (int j = 0; j < kSteps; ++j)
    for (int i = 0; i < kSteps; ++i)
      ref.slack = std::max(ref.slack, angle(dirs[j * (kSteps + 1) + i],
                                            dirs[(j + 1) * (kSteps + 1) + i + 1]));
  for (const LightGpu& l : lights) {
    const double v[3] = {l.position[0], l.position[1], l.position[2]};
    const double w = l.position[3];
    const double vv = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
    double best = 10.0;
    for (const auto& d : dirs) {
      const double m = v[0] * d[0] + v[1] * d[1] + v[2] * d[2];
      best = std::min(best, std::atan2(std::sqrt(std::max(vv - m * m, 0.0)),
                                       std::sqrt(w * w + m * m)));
    }
    ref.sampled.push_back(best);
  }
  return ref;
}

// Hostile tile light culling dispatches and the words each is refused with.
struct HostileTile {
  std::string name;
  TileCase t;
  std::string error;
};

inline std::vector<HostileTile> hostileTileCases() {
  std::mt19937_64 rng(5);
  TileCase base = randomTileCase(rng);
  base.grid = TileGrid{64, 48, 16, 8};
  std::vector<HostileTile> cases;
  const auto add = [&](std::string name, auto change, std::string error) {
    TileCase t = base;
    change(t);
    cases.push_back({std::move(name), std::move(t), std::move(error)});
  };
  add("unknown pipeline", [](TileCase& t) { t.pipe = TileCase::Pipe::unknown; },
      "dispatch names no compute pipeline");
  add("graphics pipeline", [](TileCase& t) { t.pipe = TileCase::Pipe::graphics; },
      "dispatch names no compute pipeline");
  add("pipeline not bound", [](TileCase& t) { t.bind_pipeline = false; },
      "dispatch's pipeline is not bound");
  add("zero groups", [](TileCase& t) { t.groups = {4, 3, 0}; }, "zero groups");
  add("too many groups", [](TileCase& t) { t.groups = {5, 3, 1}; },
      "more groups than the 4 x 3 x 1 tiles");
  add("two layers", [](TileCase& t) { t.groups = {4, 3, 2}; }, "more groups than");
  add("no camera", [](TileCase& t) { t.bind_camera = false; }, "lacks the camera block");
  add("no grid", [](TileCase& t) { t.bind_grid = false; }, "uniform binding 1 holds no grid");
  add("no lights", [](TileCase& t) { t.bind_lights = false; }, "not a storage buffer of lights");
  add("three grid values", [](TileCase& t) { t.grid_values = std::vector<double>{64, 48, 16}; },
      "the grid is 4 values, not 3");
  add("tile 0", [](TileCase& t) { t.grid_values = std::vector<double>{64, 48, 0, 8}; },
      "tile_size must be a whole number");
  add("fractional width", [](TileCase& t) { t.grid_values = std::vector<double>{64.5, 48, 16, 8}; },
      "width and height must be whole numbers");
  add("NaN height",
      [](TileCase& t) {
        t.grid_values = std::vector<double>{64, std::numeric_limits<double>::quiet_NaN(), 16, 8};
      },
      "width and height must be whole numbers");
  add("huge width", [](TileCase& t) { t.grid_values = std::vector<double>{1e6, 48, 16, 8}; },
      "width and height must be whole numbers");
  add("no room per tile", [](TileCase& t) { t.grid_values = std::vector<double>{64, 48, 16, 0}; },
      "max_lights_per_tile must be a whole number in [1, 4096]");
  add("room beyond the lights a draw reads",
      [](TileCase& t) { t.grid_values = std::vector<double>{64, 48, 16, 5000}; },
      "max_lights_per_tile must be a whole number in [1, 4096]");
  add("output too small", [](TileCase& t) { t.output_values = 12 * 9 - 1; },
      "holds 107 values; the tile lists need 108");
  add("output is the light buffer", [](TileCase& t) { t.output_is_lights = true; },
      "uniform binding 3 is also bound as an input");
  for (const HostileLights& h : hostileLights()) {
    if (h.compute_into_lights) continue;
    add("lights: " + h.name, [&](TileCase& t) { t.light_values = h.values; }, h.error);
  }
  return cases;
}

}  // namespace kova_test
