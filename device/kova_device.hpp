// kova's device module: what every device layer shares.
//
// A device layer executes the frame graphs the core describes. Each one owns
// its buffers, images and pipelines, made from kova's descriptors, and is
// driven through the same calls, listed by the FrameDevice concept: the CPU
// reference device (kova_cpu_device.hpp) and the Vulkan device
// (kova_vulkan_device.hpp) both satisfy it, and a host's frame loop written
// against it runs on either. Every call that can fail returns a message and
// changes nothing; the rules behind those messages are written once, in
// kova_device_checks.hpp, and the handles come from one generational table
// (kova_device_resources.hpp), so a released handle is refused for good.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "kova_rhi.hpp"
#include "kova_tile_lights.hpp"

namespace kova_device {

using kova_kernel::HomVec4;
using kova_kernel::PGL4;
using kova_rhi::BufferId;
using kova_rhi::ImageId;
using kova_rhi::PipelineId;

// One point of a draw that reached the image, in drawing order.
struct DrawTrace {
  std::uint32_t vertex = 0;  // index into the draw's position buffer
  int cx = 0, cy = 0;        // centre pixel
  int radius = 0;            // splat radius, see splatCovers
  std::array<std::uint8_t, 3> rgb{};
};

// What one execute() did.
struct ExecuteStats {
  std::uint32_t passes = 0;
  std::uint32_t commands = 0;
  std::uint64_t bytes_uploaded = 0;
  std::uint32_t distances = 0;        // Fubini-Study distances computed
  std::uint32_t points_drawn = 0;     // splats that reached the image
  std::uint32_t geodesic_arcs = 0;    // arcs with at least one segment in front of the eye
  std::uint32_t triangles = 0;        // triangles submitted, over all instances
  std::uint32_t triangles_drawn = 0;  // of those, with a fragment that passed the depth test
};

// What last wrote a pixel; kept beside the colour for checking.
enum class PixelKind : std::uint8_t { clear = 0, point = 1, geodesic = 2, triangle = 3 };

// The frame-execution contract of a device layer.
template <class D>
concept FrameDevice = std::movable<D> &&
    requires(D& d, const D& cd, const kova_rhi::BufferDescriptor& bd,
             const kova_rhi::ImageDescriptor& id, const kova_rhi::GraphicsPipelineDescriptor& pd,
             const kova_rhi::FrameGraph& graph, BufferId buffer, ImageId image,
             std::span<const std::uint32_t> indices, std::span<const double> values,
             std::vector<DrawTrace>* trace) {
  { d.createBuffer(bd) } -> std::same_as<std::expected<BufferId, std::string>>;
  { d.createImage(id) } -> std::same_as<std::expected<ImageId, std::string>>;
  { d.createPipeline(pd) } -> std::same_as<std::expected<PipelineId, std::string>>;
  { d.createComputePipeline(BuiltinKernel{}) }
      -> std::same_as<std::expected<PipelineId, std::string>>;
  { d.writeIndices(buffer, indices) } -> std::same_as<std::expected<void, std::string>>;
  { d.writeValues(buffer, values) } -> std::same_as<std::expected<void, std::string>>;
  { d.execute(graph) } -> std::same_as<std::expected<ExecuteStats, std::string>>;
  { d.releaseBuffer(buffer) } -> std::same_as<std::expected<void, std::string>>;
  { d.releaseImage(image) } -> std::same_as<std::expected<void, std::string>>;
  { cd.readRgb8(image) } -> std::same_as<std::expected<std::vector<std::uint8_t>, std::string>>;
  { cd.readDepth(image) } -> std::same_as<std::expected<std::vector<float>, std::string>>;
  { cd.readKinds(image) } -> std::same_as<std::expected<std::vector<std::uint8_t>, std::string>>;
  { cd.readValues(buffer) } -> std::same_as<std::expected<std::vector<double>, std::string>>;
  { cd.samples() } -> std::same_as<std::uint32_t>;
  d.setTrace(trace);
};

}  // namespace kova_device
