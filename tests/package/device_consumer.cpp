// A host of kova::device alone: one cube drawn on the CPU device, read back.
// Fails unless the cube covers the middle of the picture and not its corner.
#include <cmath>
#include <cstdio>
#include <memory_resource>

#include "kova_cpu_device.hpp"
#include "kova_device_layouts.hpp"
#include "kova_renderer.hpp"

using namespace kova_kernel;
using namespace kova_rhi;

static_assert(kova_device::FrameDevice<kova_device::CpuDevice>);

int main() {
  constexpr std::uint32_t w = 64, h = 48;
  kova_device::CpuDevice device(1);
  const BoxMesh cube = boxMesh(0.1, 0.1, 0.1);
  const PGL4 placement = pglPlace(HomVec4{0, 0, 0, 1}, HomVec4{0, 0, -1, 0}, HomVec4{0, 1, 0, 0});
  auto camera = kova_renderer::KovaCamera::defaultCamera();
  camera.travel(-0.5, 0.0, 0.0);  // back off, still facing the cube
  kova_device::CameraBlock cam;
  cam.view = camera.viewIsometry();
  cam.observer = camera.position;
  cam.tan_h = std::tan(0.5);
  cam.tan_v = cam.tan_h * h / w;
  cam.near_fs = 0.01;
  cam.far_fs = 1.5;
  cam.isometric_view = true;
  const auto block = kova_device::packCameraBlock(cam);

  auto color = device.createImage(ImageDescriptor::initKovaRenderTarget(w, h));
  auto depth = device.createImage(ImageDescriptor::init2D(
      Format::depth32_float, w, h, ImageUsage::init({ImageUsageFlag::depth_stencil_attachment})));
  auto pipe = device.createPipeline({.type = PipelineType::kova_projective,
                                     .topology = PrimitiveTopology::triangle_list,
                                     .depth = {.depth_test = true,
                                               .depth_write = true,
                                               .depth_compare = CompareOp::less_equal,
                                               .fs_depth = true}});
  auto vb = device.createBuffer(BufferDescriptor::initKovaPositions(cube.vertices.size()));
  auto tb = device.createBuffer(BufferDescriptor::initKovaTransforms(1));
  auto cb = device.createBuffer(BufferDescriptor::initKovaTransforms(2));
  auto ib = device.createBuffer({.size = cube.indices.size() * 4,
                                 .stride = 4,
                                 .type = BufferType::index,
                                 .format = Format::r32_uint});
  if (!color || !depth || !pipe || !vb || !tb || !cb || !ib ||
      !device.writeIndices(*ib, cube.indices)) {
    std::puts("device_consumer: resource creation failed");
    return 1;
  }
  const ImageId targets[] = {*color, *depth};
  const GpuCommand cmds[] = {
      BeginPassCommand{std::span(targets, 1), *depth},
      ClearCommand{*color, 0.0f, 0.0f, 0.0f, 1.0f, 1.0f},
      *pipe,
      KovaUploadPositionsCommand{*vb, cube.vertices},
      KovaUploadPgl4Command{*tb, std::span(&placement, 1)},
      KovaUploadPgl4Command{*cb, block},
      BindUniformCommand{*cb, 0, sizeof(block), 0},
      DrawCommand{.pipeline = *pipe,
                  .vertex_buffer = BufferId::invalid(),
                  .index_buffer = *ib,
                  .kova_transform_buffer = *tb,
                  .kova_position_buffer = *vb,
                  .index_count = static_cast<std::uint32_t>(cube.indices.size()),
                  .instance_count = 1},
      EndPassCommand{}};
  std::pmr::monotonic_buffer_resource arena;
  FrameGraph graph = FrameGraph::init(arena);
  if (!graph.addPass({"cube", {}, targets, cmds, PassType::geometry})) return 1;
  const auto stats = device.execute(graph);
  const auto rgb = device.readRgb8(*color);
  if (!stats || !rgb) {
    std::printf("device_consumer: %s\n", !stats ? stats.error().c_str() : rgb.error().c_str());
    return 1;
  }
  const auto at = [&](std::uint32_t x, std::uint32_t y) {
    const std::size_t i = (std::size_t{y} * w + x) * 3;
    return (*rgb)[i] + (*rgb)[i + 1] + (*rgb)[i + 2];
  };
  std::printf("device_consumer: %u of %u triangles drawn, centre %d, corner %d\n",
              stats->triangles_drawn, stats->triangles, at(w / 2, h / 2), at(0, 0));
  return at(w / 2, h / 2) > 30 && at(0, 0) == 0 ? 0 : 1;
}
