// A hand-made mesh draw on either device, as a host records it, and the
// pictures it leaves: shared by the tests that compare the devices' meshes.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <expected>
#include <memory_resource>
#include <numbers>
#include <string>
#include <vector>

#include "kova_device.hpp"
#include "kova_device_layouts.hpp"
#include "scene_120cell.hpp"

namespace kova_test {

using namespace kova_device;
using namespace kova_rhi;
using kova_demo::Mesh;

struct Pictures {
  std::vector<std::uint8_t> rgb;
  std::vector<float> depth;
};

// A hand-made mesh draw on either device, as a host records it.
struct MeshDraw {
  Mesh mesh;
  std::vector<PGL4> instances;
  std::uint32_t instance_count = 0;  // 0: all
};

constexpr std::uint32_t kW = 192, kH = 108;

struct Drawn {
  std::expected<ExecuteStats, std::string> stats;
  Pictures pictures;
};

// The camera of the hand-made draws: an isometric view at the origin.
inline CameraBlock meshCamera() {
  CameraBlock cam;
  cam.tan_h = std::tan(0.6);
  cam.tan_v = cam.tan_h * kH / kW;
  cam.near_fs = 1e-3;
  cam.far_fs = std::numbers::pi / 2;
  cam.isometric_view = true;
  cam.fog = {0.1f, 0.1f, 0.2f};
  return cam;
}

template <FrameDevice Device>
Drawn drawMesh(Device& dev, const MeshDraw& s) {
  const CameraBlock cam = meshCamera();
  auto color = dev.createImage(ImageDescriptor::initKovaRenderTarget(kW, kH));
  auto depth = dev.createImage(ImageDescriptor::init2D(
      Format::depth32_float, kW, kH, ImageUsage::init({ImageUsageFlag::depth_stencil_attachment})));
  auto pipe = dev.createPipeline({.type = PipelineType::kova_projective,
                                  .topology = PrimitiveTopology::triangle_list,
                                  .depth = {.depth_test = true,
                                            .depth_write = true,
                                            .depth_compare = CompareOp::less_equal,
                                            .fs_depth = true}});
  const auto nv = static_cast<std::uint32_t>(s.mesh.vertices.size());
  const auto ni = static_cast<std::uint32_t>(s.mesh.indices.size());
  const auto nt = static_cast<std::uint32_t>(s.instances.size());
  auto vb = dev.createBuffer(BufferDescriptor::initKovaPositions(nv));
  auto tb = dev.createBuffer(BufferDescriptor::initKovaTransforms(nt));
  auto cb = dev.createBuffer(BufferDescriptor::initKovaTransforms(2));
  auto ib = dev.createBuffer({.size = std::uint64_t{ni} * 4,
                              .stride = 4,
                              .type = BufferType::index,
                              .format = Format::r32_uint});
  auto rgb =
      dev.createBuffer({.size = std::uint64_t{nt} * 24, .stride = 8, .type = BufferType::storage});
  EXPECT_TRUE(color && depth && pipe && vb && tb && cb && ib && rgb);
  EXPECT_TRUE(dev.writeIndices(*ib, s.mesh.indices));
  std::vector<double> colours;
  for (std::uint32_t i = 0; i < nt; ++i) colours.insert(colours.end(), {0.9, 0.5 + 0.1 * i, 0.3});
  EXPECT_TRUE(dev.writeValues(*rgb, colours));
  const auto block = packCameraBlock(cam);
  const std::array<ImageId, 1> colors{*color};
  const GpuCommand cmds[] = {
      BeginPassCommand{colors, *depth},
      ClearCommand{*color, 0.1f, 0.1f, 0.2f, 1.0f, 1.0f},
      *pipe,
      KovaUploadPositionsCommand{*vb, s.mesh.vertices},
      KovaUploadPgl4Command{*tb, s.instances},
      KovaUploadPgl4Command{*cb, block},
      BindUniformCommand{*cb, 0, 2 * sizeof(PGL4), 0},
      BindUniformCommand{*rgb, 0, std::uint64_t{nt} * 24, 1},
      DrawCommand{.pipeline = *pipe,
                  .vertex_buffer = BufferId::invalid(),
                  .index_buffer = *ib,
                  .kova_transform_buffer = *tb,
                  .kova_position_buffer = *vb,
                  .index_count = ni,
                  .instance_count = s.instance_count ? s.instance_count : nt},
      EndPassCommand{}};
  std::pmr::monotonic_buffer_resource arena;
  FrameGraph graph = FrameGraph::init(arena);
  const std::array<ImageId, 2> targets{*color, *depth};
  EXPECT_TRUE(graph.addPass({"mesh", {}, targets, cmds, PassType::geometry}));
  Drawn out{dev.execute(graph), {}};
  out.pictures = Pictures{*dev.readRgb8(*color), *dev.readDepth(*depth)};
  return out;
}

}  // namespace kova_test
