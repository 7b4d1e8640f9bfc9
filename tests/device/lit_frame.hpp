// A lit mesh frame on either device, as a host records it: one colour and
// depth target kept across frames, and per frame a mesh, its instances and
// their colours, and a light buffer at uniform binding 2 filled with raw
// values (so that tests can hand over hostile ones). Shared by the CPU
// device's light tests and the Vulkan parity tests.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <expected>
#include <limits>
#include <memory_resource>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "kova_device.hpp"
#include "kova_device_layouts.hpp"
#include "kova_device_lights.hpp"
#include "scene_120cell.hpp"

namespace kova_test {

using namespace kova_device;
using namespace kova_rhi;

struct LitScene {
  kova_demo::Mesh mesh;
  std::vector<PGL4> instances;
  std::vector<double> colors;  // RGB per instance
  // The light buffer's values; nullopt: no buffer bound at binding 2.
  std::optional<std::vector<double>> light_values;
  // Computes Fubini-Study distances into the light buffer before the draw.
  bool compute_into_lights = false;
  // Forward+: a pass that culls the lights over these tiles before the draw,
  // whose lists (binding 3) and grid (binding 4) the draw reads.
  std::optional<TileGrid> tiles{};
  std::optional<std::vector<double>> grid_values{};  // instead of the tiles'
  std::optional<std::vector<double>> list_values{};  // host-written lists, no culling pass
};

struct LitPictures {
  std::vector<std::uint8_t> rgb;
  std::vector<float> depth;
  std::vector<std::uint8_t> kinds;  // what wrote each pixel (PixelKind)
};

// The camera: an isometric view at the origin looking along -z, fog towards
// (0.1, 0.1, 0.2) complete at pi / 2.
inline CameraBlock litCamera(std::uint32_t w, std::uint32_t h) {
  CameraBlock cam;
  cam.tan_h = std::tan(0.6);
  cam.tan_v = cam.tan_h * h / w;
  cam.near_fs = 1e-3;
  cam.far_fs = std::numbers::pi / 2;
  cam.isometric_view = true;
  cam.fog = {0.1f, 0.1f, 0.2f};
  return cam;
}

template <FrameDevice Device>
class LitFrame {
 public:
  LitFrame(Device& dev, std::uint32_t w, std::uint32_t h) : dev_(dev), w_(w), h_(h) {
    auto color = dev.createImage(ImageDescriptor::initKovaRenderTarget(w, h));
    auto depth = dev.createImage(
        ImageDescriptor::init2D(Format::depth32_float, w, h,
                                ImageUsage::init({ImageUsageFlag::depth_stencil_attachment})));
    auto pipe = dev.createPipeline({.type = PipelineType::kova_projective,
                                    .topology = PrimitiveTopology::triangle_list,
                                    .depth = {.depth_test = true,
                                              .depth_write = true,
                                              .depth_compare = CompareOp::less_equal,
                                              .fs_depth = true}});
    auto cull = dev.createComputePipeline(BuiltinKernel::tile_light_culling);
    EXPECT_TRUE(color && depth && pipe && cull);
    color_ = *color;
    depth_ = *depth;
    pipe_ = *pipe;
    cull_ = *cull;
  }

  std::expected<ExecuteStats, std::string> draw(const LitScene& s) {
    const auto nv = static_cast<std::uint32_t>(s.mesh.vertices.size());
    const auto ni = static_cast<std::uint32_t>(s.mesh.indices.size());
    const auto nt = static_cast<std::uint32_t>(s.instances.size());
    auto vb = dev_.createBuffer(BufferDescriptor::initKovaPositions(nv));
    auto tb = dev_.createBuffer(BufferDescriptor::initKovaTransforms(nt));
    auto cb = dev_.createBuffer(BufferDescriptor::initKovaTransforms(2));
    auto ib = dev_.createBuffer({.size = std::uint64_t{ni} * 4,
                                 .stride = 4,
                                 .type = BufferType::index,
                                 .format = Format::r32_uint});
    auto rgb = dev_.createBuffer(
        {.size = std::uint64_t{nt} * 24, .stride = 8, .type = BufferType::storage});
    const std::size_t nl = s.light_values ? std::max<std::size_t>(s.light_values->size(), 1) : 1;
    auto lb = dev_.createBuffer(
        {.size = std::uint64_t{nl} * 8, .stride = 8, .type = BufferType::storage});
    auto pb = dev_.createBuffer(BufferDescriptor::initKovaPositions(1));
    EXPECT_TRUE(vb && tb && cb && ib && rgb && lb && pb);
    EXPECT_TRUE(dev_.writeIndices(*ib, s.mesh.indices));
    EXPECT_TRUE(dev_.writeValues(*rgb, s.colors));
    if (s.light_values) {
      EXPECT_TRUE(dev_.writeValues(*lb, *s.light_values));
    }
    const auto block = packCameraBlock(litCamera(w_, h_));
    const std::array<ImageId, 1> colors{color_};
    const HomVec4 origin[] = {HomVec4{0.0, 0.0, 0.0, 1.0}};
    std::vector<GpuCommand> cmds = {
        BeginPassCommand{colors, depth_},
        ClearCommand{color_, 0.1f, 0.1f, 0.2f, 1.0f, 1.0f},
        pipe_,
        KovaUploadPositionsCommand{*vb, s.mesh.vertices},
        KovaUploadPgl4Command{*tb, s.instances},
        KovaUploadPgl4Command{*cb, block},
        BindUniformCommand{*cb, 0, 2 * sizeof(PGL4), 0},
        BindUniformCommand{*rgb, 0, std::uint64_t{nt} * 24, 1}};
    if (s.compute_into_lights) {
      cmds.push_back(KovaUploadPositionsCommand{*pb, origin});
      cmds.push_back(KovaComputeFsDistanceCommand{*pb, *pb, *lb, 1});
    }
    if (s.light_values) cmds.push_back(BindUniformCommand{*lb, 0, std::uint64_t{nl} * 8, 2});
    std::vector<GpuCommand> cull;
    std::vector<BufferId> tiling;
    if (s.tiles) {
      const TileGrid& g = *s.tiles;
      const std::vector<double> grid = s.grid_values.value_or(std::vector<double>{
          double(g.width), double(g.height), double(g.tile_size), double(g.max_lights_per_tile)});
      const std::uint64_t n_lists =
          s.list_values ? std::max<std::size_t>(s.list_values->size(), 1) : g.outputValues();
      auto gb = dev_.createBuffer({.size = grid.size() * 8, .stride = 8, .type = BufferType::storage});
      auto tb2 = dev_.createBuffer({.size = n_lists * 8, .stride = 8, .type = BufferType::storage});
      EXPECT_TRUE(gb && tb2);
      EXPECT_TRUE(dev_.writeValues(*gb, grid));
      tiling = {*gb, *tb2};
      if (s.list_values) {
        EXPECT_TRUE(dev_.writeValues(*tb2, *s.list_values));
      } else {
        cull = {KovaUploadPgl4Command{*cb, block},
                cull_,
                BindUniformCommand{*cb, 0, 2 * sizeof(PGL4), 0},
                BindUniformCommand{*gb, 0, grid.size() * 8, 1},
                BindUniformCommand{*lb, 0, std::uint64_t{nl} * 8, 2},
                BindUniformCommand{*tb2, 0, n_lists * 8, 3},
                DispatchCommand{cull_, g.tilesX(), g.tilesY(), 1}};
      }
      cmds.push_back(BindUniformCommand{*tb2, 0, n_lists * 8, 3});
      cmds.push_back(BindUniformCommand{*gb, 0, grid.size() * 8, 4});
    }
    cmds.push_back(DrawCommand{.pipeline = pipe_,
                               .vertex_buffer = BufferId::invalid(),
                               .index_buffer = *ib,
                               .kova_transform_buffer = *tb,
                               .kova_position_buffer = *vb,
                               .index_count = ni,
                               .instance_count = nt});
    cmds.push_back(EndPassCommand{});
    std::pmr::monotonic_buffer_resource arena;
    FrameGraph graph = FrameGraph::init(arena);
    const std::array<ImageId, 2> targets{color_, depth_};
    if (!cull.empty()) {
      EXPECT_TRUE(graph.addPass({"cull", {}, {}, cull, PassType::kova_fs_compute}));
    }
    EXPECT_TRUE(graph.addPass({"lit", {}, targets, cmds, PassType::geometry}));
    auto stats = dev_.execute(graph);
    for (BufferId b : {*vb, *tb, *cb, *ib, *rgb, *lb, *pb}) EXPECT_TRUE(dev_.releaseBuffer(b));
    for (BufferId b : tiling) EXPECT_TRUE(dev_.releaseBuffer(b));
    return stats;
  }

  LitPictures read() const {
    return {*dev_.readRgb8(color_), *dev_.readDepth(depth_), *dev_.readKinds(color_)};
  }

 private:
  Device& dev_;
  std::uint32_t w_, h_;
  ImageId color_{};
  ImageId depth_{};
  PipelineId pipe_{};
  PipelineId cull_{};
};

// A square of the plane facing the eye at distance x straight ahead: the
// points (u, v, -sin x, cos x) with |u|, |v| <= a, whose normal is the line
// of sight's.
inline kova_demo::Mesh facingSquare(double x, double a) {
  const double s = std::sin(x), c = std::cos(x);
  return {{HomVec4{-a, -a, -s, c}, HomVec4{a, -a, -s, c}, HomVec4{a, a, -s, c},
           HomVec4{-a, a, -s, c}},
          {0, 1, 2, 0, 2, 3}};
}

// Rotation by `angle` in the plane of coordinates i and j.
inline PGL4 planeRotation(std::size_t i, std::size_t j, double angle) {
  PGL4 m = PGL4::identity();
  m.set(i, i, std::cos(angle));
  m.set(j, j, std::cos(angle));
  m.set(i, j, -std::sin(angle));
  m.set(j, i, std::sin(angle));
  return m;
}

// Cells ahead, to the side and across the focal plane, and 24 lights, one
// just behind the eye reaching round the line of sight.
inline LitScene scatteredCells() {
  std::mt19937_64 rng(99);
  std::normal_distribution<double> g;
  std::uniform_real_distribution<double> u(0.0, 1.0);
  LitScene s{kova_demo::makeCellMesh(0.7), {}, {}, {}, false};
  for (int i = 0; i < 8; ++i) {
    s.instances.push_back(planeRotation(2, 3, -0.25 * (i + 2)).mul(planeRotation(0, 3, 0.3 * (i - 4))));
    s.colors.insert(s.colors.end(), {0.4 + 0.05 * i, 0.6, 0.8 - 0.05 * i});
  }
  std::vector<Light> lights = {{HomVec4{0.0, 0.0, std::sin(0.1), std::cos(0.1)}, {1.0, 0.8, 0.6}, 0.3, 3.0}};
  while (lights.size() < 24) {
    lights.push_back({HomVec4{g(rng), g(rng), g(rng), g(rng)}, {u(rng), u(rng), u(rng)},
                      0.1 + 0.3 * u(rng), 0.1 + 0.8 * u(rng)});
  }
  s.light_values = lightValues(lights);
  return s;
}

// Hostile light buffers and the words each is refused with.
struct HostileLights {
  std::string name;
  std::vector<double> values;
  bool compute_into_lights = false;
  std::string error;
};

inline std::vector<HostileLights> hostileLights() {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const Light good{HomVec4{0.0, 0.0, -1.0, 1.0}, {1.0, 1.0, 1.0}, 1.0, 1.0};
  const auto one = [&](auto change) {
    Light l = good;
    change(l);
    const std::array<Light, 2> two{good, l};
    return lightValues(two);
  };
  std::vector<HostileLights> out = {
      {"partial record", std::vector<double>(10, 0.5), false, "10 values are not whole lights of 9"},
      {"NaN position", one([&](Light& l) { l.position.y = nan; }), false,
       "light 1: position is not a finite non-zero vector"},
      {"zero position", one([](Light& l) { l.position = HomVec4{0.0, 0.0, 0.0, 0.0}; }), false,
       "light 1: position is not a finite non-zero vector"},
      {"negative colour", one([](Light& l) { l.color[1] = -0.5; }), false,
       "light 1: colour is not finite and >= 0"},
      {"infinite intensity", one([&](Light& l) { l.intensity = inf; }), false,
       "light 1: intensity is not finite and >= 0"},
      {"zero range", one([](Light& l) { l.range = 0.0; }), false,
       "light 1: range is not in (0, pi]"},
      {"range beyond pi", one([](Light& l) { l.range = 3.2; }), false,
       "light 1: range is not in (0, pi]"},
      {"NaN range", one([&](Light& l) { l.range = nan; }), false, "light 1: range is not in (0, pi]"},
      {"device-computed values", lightValues(std::array<Light, 1>{good}), true,
       "holds values computed on the device"},
  };
  const std::vector<Light> many(kMaxLights + 1, good);
  out.push_back({"too many lights", lightValues(many), false, "4097 lights, more than the 4096"});
  return out;
}

}  // namespace kova_test
