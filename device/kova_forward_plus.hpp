// Tiled forward+ as a ForwardPlusPipeline record configures it, recorded as a
// frame graph a host can reuse on any FrameDevice. The passes, in order:
//   clear          clears colour and depth, uploads the camera block and the
//                  host's per-frame data (positions, instances);
//   depth_prepass  (when z_prepass is on) the host's mesh draws with no
//                  lights bound, which lays down the nearest depth so that the
//                  shading pass shades each pixel once, at its final depth
//                  (the shading pipeline compares less-or-equal);
//   light_culling  the built-in tile light culling kernel over tile_size
//                  tiles, at most max_lights_per_tile lights per tile;
//   shading        the same mesh draws reading the tile lists, then the
//                  host's overlay (e.g. geodesic edges) in the same pass.
// So the graph has exactly ForwardPlusPipeline::passCount() passes.
//
// The camera block is built from the record's camera (its view isometry and
// the picture of KovaFrustum::fromView: tan_h = tan(fov / 2), tan_v =
// tan_h / aspect); the record's own frustum is left as init built it.
// Samples are fixed per device, so a record whose msaa_samples differs from
// the device's is refused rather than silently rendered at another count.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <expected>
#include <memory>
#include <memory_resource>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "kova_device.hpp"
#include "kova_device_layouts.hpp"
#include "kova_device_lights.hpp"
#include "kova_renderer.hpp"
#include "kova_tile_lights.hpp"

namespace kova_device {

// The tile grid of a forward+ record drawn into a width x height picture on
// a device with `samples` samples per pixel, or why the record cannot run.
[[nodiscard]] inline std::expected<TileGrid, std::string> forwardPlusGrid(
    const kova_renderer::ForwardPlusConfig& config, std::uint32_t samples, std::uint32_t width,
    std::uint32_t height) {
  if (config.msaa_samples != samples)
    return std::unexpected("forward+: the record asks for msaa_samples " +
                           std::to_string(config.msaa_samples) + " but the device renders " +
                           std::to_string(samples) + " samples per pixel");
  if (config.tile_size < 1 || config.tile_size > kMaxTileGridSide)
    return std::unexpected("forward+: tile_size " + std::to_string(config.tile_size) +
                           " is outside [1, " + std::to_string(kMaxTileGridSide) + "]");
  if (config.max_lights_per_tile < 1 || config.max_lights_per_tile > kMaxLights)
    return std::unexpected("forward+: max_lights_per_tile " +
                           std::to_string(config.max_lights_per_tile) + " is outside [1, " +
                           std::to_string(kMaxLights) + "]");
  if (width < 1 || height < 1 || width > kMaxTileGridSide || height > kMaxTileGridSide)
    return std::unexpected("forward+: a " + std::to_string(width) + " x " +
                           std::to_string(height) + " picture is outside [1, " +
                           std::to_string(kMaxTileGridSide) + "] on a side");
  return TileGrid{width, height, config.tile_size, config.max_lights_per_tile};
}

// The camera block of a forward+ frame: the record's camera seen through its
// view isometry with the picture of KovaFrustum::fromView, and the fog.
[[nodiscard]] inline std::array<PGL4, 2> forwardPlusCameraBlock(
    const kova_renderer::ForwardPlusPipeline& record, std::array<float, 3> fog) noexcept {
  CameraBlock cam;
  cam.view = record.camera.viewIsometry();
  cam.observer = record.camera.position;
  cam.tan_h = std::tan(record.camera.fov / 2.0);
  cam.tan_v = cam.tan_h / record.camera.aspect;
  cam.near_fs = record.camera.near_fs;
  cam.far_fs = record.camera.far_fs;
  cam.isometric_view = true;
  cam.fog = fog;
  return packCameraBlock(cam);
}

// What a forward+ recording owns on a device: its pipelines (the depth
// pre-pass, the shading and the culling kernel), the grid it wrote and the
// buffer of tile lists.
struct ForwardPlusGpu {
  TileGrid grid{};
  PipelineId prepass{}, shade{}, cull{};
  BufferId grid_values{}, lists{};
};

// Creates the forward+ resources for `record` in a width x height picture;
// on failure what was made is released again and the reason returned.
template <FrameDevice Device>
[[nodiscard]] std::expected<ForwardPlusGpu, std::string> createForwardPlusGpu(
    Device& device, const kova_renderer::ForwardPlusPipeline& record, std::uint32_t width,
    std::uint32_t height) {
  using namespace kova_rhi;
  auto grid = forwardPlusGrid(record.config, device.samples(), width, height);
  if (!grid) return std::unexpected(grid.error());
  ForwardPlusGpu g;
  g.grid = *grid;
  const DepthState depth{.depth_test = true,
                         .depth_write = true,
                         .depth_compare = CompareOp::less_equal,
                         .fs_depth = true};
  const GraphicsPipelineDescriptor desc{.type = PipelineType::kova_projective,
                                        .topology = PrimitiveTopology::triangle_list,
                                        .depth = depth};
  auto prepass = device.createPipeline(desc);
  if (!prepass) return std::unexpected(prepass.error());
  auto shade = device.createPipeline(desc);
  if (!shade) return std::unexpected(shade.error());
  auto cull = device.createComputePipeline(BuiltinKernel::tile_light_culling);
  if (!cull) return std::unexpected(cull.error());
  g.prepass = *prepass;
  g.shade = *shade;
  g.cull = *cull;
  auto gv = device.createBuffer(
      {.size = kTileGridValues * 8, .stride = 8, .type = BufferType::storage});
  if (!gv) return std::unexpected(gv.error());
  auto lists = device.createBuffer(
      {.size = g.grid.outputValues() * 8, .stride = 8, .type = BufferType::storage});
  if (!lists) {
    (void)device.releaseBuffer(*gv);
    return std::unexpected(lists.error());
  }
  const std::vector<double> values{double(width), double(height), double(g.grid.tile_size),
                                   double(g.grid.max_lights_per_tile)};
  if (auto ok = device.writeValues(*gv, values); !ok) {
    (void)device.releaseBuffer(*gv);
    (void)device.releaseBuffer(*lists);
    return std::unexpected(ok.error());
  }
  g.grid_values = *gv;
  g.lists = *lists;
  return g;
}

template <FrameDevice Device>
[[nodiscard]] std::expected<void, std::string> releaseForwardPlusGpu(Device& device,
                                                                     const ForwardPlusGpu& g) {
  if (auto ok = device.releaseBuffer(g.grid_values); !ok) return ok;
  return device.releaseBuffer(g.lists);
}

// One forward+ frame as the host describes it.
struct ForwardPlusFrame {
  ImageId color{}, depth{};
  std::array<float, 3> clear_rgb{};
  BufferId camera{};                    // a transform buffer of 2 entries
  std::span<const PGL4> camera_block{};  // forwardPlusCameraBlock
  BufferId lights{};                    // the host wrote light_count lights (lightValues)
  std::size_t light_count = 0;
  BufferId colors{};                     // bound at uniform binding 1 of the draws
  std::uint64_t color_values = 0;
  std::span<const kova_rhi::GpuCommand> uploads{};  // per-frame uploads, run by the clear pass
  std::span<const kova_rhi::DrawCommand> draws{};   // mesh draws; the recording sets the pipeline
  std::span<const kova_rhi::GpuCommand> overlay{};  // after the lit draws, in the shading pass
};

namespace forward_plus_detail {

static_assert(std::is_trivially_destructible_v<kova_rhi::GpuCommand>);

// Commands copied into the frame's arena (a FramePass only borrows them).
class ArenaList {
 public:
  ArenaList(std::pmr::memory_resource& arena, std::size_t capacity)
      : first_(static_cast<kova_rhi::GpuCommand*>(arena.allocate(
            std::max<std::size_t>(capacity, 1) * sizeof(kova_rhi::GpuCommand),
            alignof(kova_rhi::GpuCommand)))),
        capacity_(capacity) {}
  void add(const kova_rhi::GpuCommand& c) {
    if (size_ == capacity_) throw std::bad_array_new_length();
    std::construct_at(first_ + size_++, c);
  }
  [[nodiscard]] std::span<const kova_rhi::GpuCommand> commands() const noexcept {
    return {first_, size_};
  }

 private:
  kova_rhi::GpuCommand* first_;
  std::size_t capacity_;
  std::size_t size_ = 0;
};

}  // namespace forward_plus_detail

namespace forward_plus_detail {

enum class Shading : std::uint8_t { tiled, every_light };

[[nodiscard]] inline std::expected<void, std::string> record(
    kova_rhi::FrameGraph& graph, std::pmr::memory_resource& arena,
    const kova_renderer::ForwardPlusPipeline& rec, const ForwardPlusGpu& gpu,
    const ForwardPlusFrame& f, Shading shading) {
  using namespace kova_rhi;
  if (f.light_count < 1 || f.light_count > kMaxLights)
    return std::unexpected("forward+: " + std::to_string(f.light_count) +
                           " lights is outside [1, " + std::to_string(kMaxLights) + "]");
  if (rec.config.tile_size != gpu.grid.tile_size ||
      rec.config.max_lights_per_tile != gpu.grid.max_lights_per_tile)
    return std::unexpected(std::string(
        "forward+: the record's tile_size or max_lights_per_tile differs from its resources'"));
  const bool tiled = shading == Shading::tiled;
  auto* images = static_cast<ImageId*>(arena.allocate(2 * sizeof(ImageId), alignof(ImageId)));
  std::construct_at(images, f.color);
  std::construct_at(images + 1, f.depth);
  const std::span<const ImageId> targets(images, 2);
  const BeginPassCommand begin{targets.first(1), f.depth};
  const std::uint64_t light_bytes = std::uint64_t{f.light_count} * kLightValues * 8;
  const std::uint64_t list_bytes = gpu.grid.outputValues() * 8;
  const BindUniformCommand bind_camera{f.camera, 0, 2 * sizeof(PGL4), 0};
  const BindUniformCommand bind_colors{f.colors, 0, f.color_values * 8, 1};

  ArenaList clear(arena, 4 + f.uploads.size());
  clear.add(begin);
  clear.add(ClearCommand{f.color, f.clear_rgb[0], f.clear_rgb[1], f.clear_rgb[2], 1.0f, 1.0f});
  clear.add(KovaUploadPgl4Command{f.camera, f.camera_block});
  for (const GpuCommand& c : f.uploads) clear.add(c);
  clear.add(EndPassCommand{});

  const auto drawsWith = [&](ArenaList& list, PipelineId pipe) {
    for (DrawCommand d : f.draws) {
      d.pipeline = pipe;
      list.add(d);
    }
  };
  ArenaList prepass(arena, 5 + f.draws.size());
  prepass.add(begin);
  prepass.add(gpu.prepass);
  prepass.add(bind_camera);
  if (!f.draws.empty()) prepass.add(bind_colors);
  drawsWith(prepass, gpu.prepass);
  prepass.add(EndPassCommand{});

  ArenaList cull(arena, 6);
  cull.add(gpu.cull);
  cull.add(bind_camera);
  cull.add(BindUniformCommand{gpu.grid_values, 0, kTileGridValues * 8, 1});
  cull.add(BindUniformCommand{f.lights, 0, light_bytes, 2});
  cull.add(BindUniformCommand{gpu.lists, 0, list_bytes, 3});
  cull.add(DispatchCommand{gpu.cull, gpu.grid.tilesX(), gpu.grid.tilesY(), 1});

  ArenaList shade(arena, 8 + f.draws.size() + f.overlay.size());
  shade.add(begin);
  shade.add(gpu.shade);
  shade.add(bind_camera);
  if (!f.draws.empty()) shade.add(bind_colors);
  shade.add(BindUniformCommand{f.lights, 0, light_bytes, 2});
  if (tiled) {
    shade.add(BindUniformCommand{gpu.lists, 0, list_bytes, 3});
    shade.add(BindUniformCommand{gpu.grid_values, 0, kTileGridValues * 8, 4});
  }
  drawsWith(shade, gpu.shade);
  for (const GpuCommand& c : f.overlay) shade.add(c);
  shade.add(EndPassCommand{});

  std::vector<FramePass> passes;
  passes.push_back({"clear", {}, targets, clear.commands(), PassType::clear});
  if (rec.config.z_prepass)
    passes.push_back({"depth_prepass", {}, targets, prepass.commands(), PassType::geometry});
  if (tiled)
    passes.push_back({"light_culling", {}, {}, cull.commands(), PassType::kova_fs_compute});
  passes.push_back({"shading", {}, targets, shade.commands(), PassType::geometry});
  for (const FramePass& pass : passes) {
    if (!graph.addPass(pass))
      return std::unexpected(std::string("out of memory while recording the frame graph"));
  }
  return {};
}

}  // namespace forward_plus_detail

// Appends the record's passes to `graph`, their commands allocated in
// `arena` (which must outlive the graph's execution). Refuses a frame with no
// lights (a forward+ frame sheds at least one; draw without the recording for
// none) or more than kMaxLights, and resources made for another tiling.
[[nodiscard]] inline std::expected<void, std::string> recordForwardPlus(
    kova_rhi::FrameGraph& graph, std::pmr::memory_resource& arena,
    const kova_renderer::ForwardPlusPipeline& record, const ForwardPlusGpu& gpu,
    const ForwardPlusFrame& frame) {
  return forward_plus_detail::record(graph, arena, record, gpu, frame,
                                     forward_plus_detail::Shading::tiled);
}

// The same frame shaded brute force: no culling pass, every light at every
// pixel. It is what tiled shading is measured and judged against.
[[nodiscard]] inline std::expected<void, std::string> recordEveryLight(
    kova_rhi::FrameGraph& graph, std::pmr::memory_resource& arena,
    const kova_renderer::ForwardPlusPipeline& record, const ForwardPlusGpu& gpu,
    const ForwardPlusFrame& frame) {
  return forward_plus_detail::record(graph, arena, record, gpu, frame,
                                     forward_plus_detail::Shading::every_light);
}

}  // namespace kova_device
