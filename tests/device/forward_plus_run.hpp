// A forward+ frame of lit cells on either device, recorded by
// recordForwardPlus (or recordEveryLight for the brute-force picture), with
// its targets and buffers made and released around it. Shared by the CPU
// device's forward+ tests and the Vulkan parity tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <expected>
#include <memory_resource>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "kova_device.hpp"
#include "kova_forward_plus.hpp"
#include "lit_frame.hpp"

namespace kova_test {

struct ForwardPlusRun {
  std::expected<ExecuteStats, std::string> stats{std::unexpected(std::string("not run"))};
  std::uint32_t graph_passes = 0;
  std::vector<std::uint8_t> rgb;
};

// The record's camera: at the origin looking along -z, the picture's aspect.
inline kova_renderer::ForwardPlusPipeline forwardPlusRecord(
    const kova_renderer::ForwardPlusConfig& config, std::uint32_t w, std::uint32_t h) {
  kova_renderer::KovaCamera cam = kova_renderer::KovaCamera::defaultCamera();
  cam.fov = 1.2;
  cam.aspect = static_cast<double>(w) / h;
  cam.near_fs = 1e-3;
  cam.far_fs = std::numbers::pi / 2;
  return kova_renderer::ForwardPlusPipeline::init(cam, config);
}

template <FrameDevice Device>
ForwardPlusRun runForwardPlus(Device& dev, const kova_renderer::ForwardPlusPipeline& rec,
                              std::uint32_t w, std::uint32_t h, const LitScene& s,
                              std::span<const Light> lights, bool every_light = false) {
  ForwardPlusRun run;
  auto gpu = createForwardPlusGpu(dev, rec, w, h);
  if (!gpu) {
    run.stats = std::unexpected(gpu.error());
    return run;
  }
  auto color = dev.createImage(ImageDescriptor::initKovaRenderTarget(w, h));
  auto depth = dev.createImage(ImageDescriptor::init2D(
      Format::depth32_float, w, h, ImageUsage::init({ImageUsageFlag::depth_stencil_attachment})));
  const auto nv = static_cast<std::uint32_t>(s.mesh.vertices.size());
  const auto ni = static_cast<std::uint32_t>(s.mesh.indices.size());
  const auto nt = static_cast<std::uint32_t>(s.instances.size());
  auto vb = dev.createBuffer(BufferDescriptor::initKovaPositions(nv));
  auto tb = dev.createBuffer(BufferDescriptor::initKovaTransforms(nt));
  auto cb = dev.createBuffer(BufferDescriptor::initKovaTransforms(2));
  auto ib = dev.createBuffer(
      {.size = std::uint64_t{ni} * 4, .stride = 4, .type = BufferType::index, .format = Format::r32_uint});
  auto rgb = dev.createBuffer({.size = s.colors.size() * 8, .stride = 8, .type = BufferType::storage});
  const std::vector<double> values = lightValues(lights);
  auto lb = dev.createBuffer(
      {.size = std::max<std::size_t>(values.size(), 1) * 8, .stride = 8, .type = BufferType::storage});
  EXPECT_TRUE(color && depth && vb && tb && cb && ib && rgb && lb);
  EXPECT_TRUE(dev.writeIndices(*ib, s.mesh.indices));
  EXPECT_TRUE(dev.writeValues(*rgb, s.colors));
  if (!values.empty()) {
    EXPECT_TRUE(dev.writeValues(*lb, values));
  }
  const auto block = forwardPlusCameraBlock(rec, {0.1f, 0.1f, 0.2f});
  const GpuCommand uploads[] = {KovaUploadPositionsCommand{*vb, s.mesh.vertices},
                                KovaUploadPgl4Command{*tb, s.instances}};
  const DrawCommand draws[] = {{.pipeline = PipelineId{},
                                .vertex_buffer = BufferId::invalid(),
                                .index_buffer = *ib,
                                .kova_transform_buffer = *tb,
                                .kova_position_buffer = *vb,
                                .index_count = ni,
                                .instance_count = nt}};
  const ForwardPlusFrame frame{.color = *color,
                               .depth = *depth,
                               .clear_rgb = {0.1f, 0.1f, 0.2f},
                               .camera = *cb,
                               .camera_block = block,
                               .lights = *lb,
                               .light_count = lights.size(),
                               .colors = *rgb,
                               .color_values = s.colors.size(),
                               .uploads = uploads,
                               .draws = draws,
                               .overlay = {}};
  std::pmr::monotonic_buffer_resource arena;
  FrameGraph graph = FrameGraph::init(arena);
  const auto recorded = every_light ? recordEveryLight(graph, arena, rec, *gpu, frame)
                                    : recordForwardPlus(graph, arena, rec, *gpu, frame);
  run.graph_passes = graph.passCount();
  if (!recorded) {
    run.stats = std::unexpected(recorded.error());
  } else {
    run.stats = dev.execute(graph);
    if (run.stats) run.rgb = *dev.readRgb8(*color);
  }
  for (BufferId b : {*vb, *tb, *cb, *ib, *rgb, *lb}) EXPECT_TRUE(dev.releaseBuffer(b));
  for (ImageId i : {*color, *depth}) EXPECT_TRUE(dev.releaseImage(i));
  EXPECT_TRUE(releaseForwardPlusGpu(dev, *gpu));
  return run;
}

// n lights scattered over elliptic space with ranges short and long, one
// just behind the eye reaching round the line of sight.
inline std::vector<Light> scatteredLights(std::mt19937_64& rng, std::size_t n) {
  std::normal_distribution<double> g;
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<Light> out = {
      {HomVec4{0.0, 0.0, std::sin(0.1), std::cos(0.1)}, {1.0, 0.8, 0.6}, 0.3, 3.0}};
  while (out.size() < n) {
    out.push_back({HomVec4{g(rng), g(rng), g(rng), g(rng)}, {u(rng), u(rng), u(rng)},
                   0.1 + 0.3 * u(rng), 0.1 + 0.8 * u(rng)});
  }
  return out;
}

}  // namespace kova_test
