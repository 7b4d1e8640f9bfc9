// The rules every device layer applies before it does anything: to the
// descriptors of new resources, to host writes, to releases and to whole
// frame graphs. Written once, so that each device refuses the same input
// with the same words, with its own limits filled in.
//
// A graph is checked whole before any of it runs: checkGraph walks every
// command in order, simulating what uploads and distance computations put
// into buffers, and returns either the one error or what the device needs
// to run the graph without looking again (the resolved attachments, buffers
// and pipeline of each command, and the fill counts to keep afterwards).
// A graph that fails its checks therefore changes nothing on any device.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kova_device_resources.hpp"
#include "kova_tile_lights.hpp"
#include "kova_renderer.hpp"
#include "kova_rhi.hpp"

namespace kova_device {

// What a device can hold, as the checks need it.
struct DeviceLimits {
  std::uint64_t max_buffer_bytes = 0;    // the largest buffer
  std::uint32_t max_image_side = 0;      // the widest and tallest image
  std::uint32_t max_instances = 0;       // instance_count of one mesh draw
  std::uint64_t max_draw_triangles = 0;  // triangles over all instances of one mesh draw
  // Whether passes may render into a G-buffer and the deferred lighting
  // kernel may run (kova_deferred.hpp).
  bool gbuffer_passes = false;
};

// Descriptors of new resources. checkImageDescriptor returns whether the
// image holds depth (depth32_float) rather than colour.
[[nodiscard]] std::expected<void, std::string> checkBufferDescriptor(
    const kova_rhi::BufferDescriptor& desc, const DeviceLimits& limits);
[[nodiscard]] std::expected<bool, std::string> checkImageDescriptor(
    const kova_rhi::ImageDescriptor& desc, const DeviceLimits& limits);
[[nodiscard]] std::expected<void, std::string> checkPipelineDescriptor(
    const kova_rhi::GraphicsPipelineDescriptor& desc);

// Host writes of `count` indices or values into `target` (nullptr: no live buffer).
[[nodiscard]] std::expected<void, std::string> checkIndexWrite(const BufferRecord* target,
                                                               std::size_t count);
[[nodiscard]] std::expected<void, std::string> checkValueWrite(const BufferRecord* target,
                                                               std::size_t count);

// The light records a host wrote into a light buffer (kLightValues values
// each, at most kMaxLights of them): every position finite and non-zero,
// colour and intensity finite and >= 0, range in (0, pi].
[[nodiscard]] std::expected<void, std::string> checkLightValues(std::span<const double> values);

// The grid a tile light culling dispatch reads (kTileGridValues whole
// numbers: width and height in [1, 16384], tile_size in [1, 16384],
// max_lights_per_tile in [1, kMaxLights]).
[[nodiscard]] std::expected<TileGrid, std::string> checkTileGrid(std::span<const double> values);

// The G-buffer layouts a device keeps (kova_deferred.hpp): position, normal
// and material rgba32_float, albedo rgba8_unorm or rgba32_float, depth
// depth32_float. The error names the first field that differs.
[[nodiscard]] std::expected<void, std::string> checkGBufferLayout(
    const kova_renderer::GBufferLayout& layout);

// The lighting parameters a deferred lighting dispatch reads
// (kDeferredParamValues whole numbers: width and height in [1, 16384],
// max_lights in [0, kMaxLights]).
struct DeferredParams {
  std::uint32_t width = 0, height = 0;
  std::uint32_t max_lights = 0;
};
inline constexpr std::size_t kDeferredParamValues = 3;
// Pixels a side of the block one deferred lighting group computes.
inline constexpr std::uint32_t kDeferredBlock = 8;
[[nodiscard]] std::expected<DeferredParams, std::string> checkDeferredParams(
    std::span<const double> values);

// Releases: the handle must name a live resource that no unfinished work
// still reads.
[[nodiscard]] std::expected<void, std::string> checkBufferRelease(const BufferRecord* target);
[[nodiscard]] std::expected<void, std::string> checkImageRelease(const ImageRecord* target,
                                                                 bool in_use);

// What a checked command does, with the alternatives of GpuCommand split
// where devices run them differently.
enum class CheckedOp : std::uint8_t {
  clear,
  begin_pass,
  end_pass,
  bind,  // bind_pipeline, bind_vertex_buffer, bind_uniform: pass state only
  draw_points,
  draw_mesh,
  upload_transforms,
  upload_positions,
  fs_distance,
  geodesics,
  dispatch  // a built-in compute kernel (kova_tile_lights.hpp)
};

// One command with everything it uses resolved and checked.
struct CheckedCommand {
  CheckedOp op = CheckedOp::bind;
  const kova_rhi::GpuCommand* command = nullptr;
  // Draws and geodesics: the pass's attachments. Clear: the image cleared,
  // and the pass's depth attachment when the clear is inside a pass with one.
  ImageId color{};
  std::optional<ImageId> depth{};
  PipelineId pipeline{};  // draws and geodesics
  // Points: positions, distances (values) and the camera's transform buffer.
  // Mesh: vertices (positions), indices, instance transforms, the camera
  // (uniform binding 0) and the optional per-instance colours (binding 1).
  // Geodesics: positions and the camera. Uploads: the buffer written.
  // Mesh: the optional light buffer (binding 2, kova_device_lights.hpp).
  BufferId positions{}, values{}, transforms{}, indices{}, camera{}, colors{}, lights{};
  // Dispatch: the camera (binding 0), the grid (1), the lights (2) and the
  // output (3), checked as kova_tile_lights.hpp describes. Mesh: the
  // optional tile lists (output, binding 3) over the grid at binding 4.
  BufferId grid{}, output{};
  // Mesh draws into a G-buffer pass, and the deferred lighting dispatch:
  // the position, normal, albedo and material images (the dispatch also
  // names the depth image in `depth` and the picture in `color`, and its
  // lighting parameters in `values`).
  bool to_gbuffer = false;
  std::array<ImageId, 4> gbuffer{};
  // The camera block the draw sees, as the graph left it by this command.
  std::array<PGL4, 2> camera_block{};
  // fs_distance: the points each input buffer holds by this command (a
  // buffer of one point stands for that point repeated).
  std::uint64_t points_a = 0, points_b = 0;
};

// The contents of one buffer after the whole graph, to keep once it ran.
struct BufferFill {
  BufferId buffer{};
  std::uint64_t filled = 0;
  std::optional<std::array<PGL4, 2>> camera{};  // a new camera block, if uploaded
  bool computed = false;  // written by the device, not the host
};

struct CheckedPass {
  std::string_view name;
  std::vector<CheckedCommand> commands;
};

struct CheckedGraph {
  std::vector<CheckedPass> passes;
  std::vector<BufferFill> fills;
};

// Checks every command of `graph` against `resources`. The error names the
// pass and the command: "pass 'NAME', command I (TAG): message", or
// "pass 'NAME' ends inside begin_pass".
[[nodiscard]] std::expected<CheckedGraph, std::string> checkGraph(const kova_rhi::FrameGraph& graph,
                                                                  const ResourceView& resources,
                                                                  const DeviceLimits& limits);

// Keeps the fill counts of a graph that ran.
template <class Resources>
void commitFills(Resources& resources, const CheckedGraph& checked) {
  for (const BufferFill& fill : checked.fills) {
    auto* b = resources.buffers.find(fill.buffer);
    if (b == nullptr) continue;
    b->filled = fill.filled;
    if (fill.camera) b->camera = *fill.camera;
    if (fill.computed) b->host_values.clear();
  }
}

}  // namespace kova_device
