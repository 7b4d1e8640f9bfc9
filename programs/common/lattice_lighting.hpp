// How a lattice frame is lit, as the programs switch it at run time: unlit,
// or a number of travelling lights shed by forward+ or deferred shading.
// LatticeLighting keeps the resources of the pipeline in use for one picture
// size, making them when a frame first needs them and releasing the
// deferred G-buffer when frames stop using it, and records each frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory_resource>
#include <optional>
#include <span>
#include <string>

#include "device_names.hpp"
#include "lattice_deferred.hpp"
#include "lattice_frame.hpp"
#include "lights_scene.hpp"
#include "render_targets.hpp"

namespace kova_demo {

// A recorded frame: the passes from `counted_from` on draw each of the
// scene's triangles once; the ones before it (forward+'s depth pre-pass)
// draw them again, for depth only.
struct LatticeRecorded {
  std::size_t counted_from = 0;
};

template <FrameDevice Device>
class LatticeLighting {
 public:
  [[nodiscard]] PipelineChoice pipeline() const noexcept { return pipeline_; }
  [[nodiscard]] std::uint32_t lights() const noexcept { return lights_; }
  // True when frames go unlit: forward+ with no lights draws the plain
  // lattice frame. Deferred frames always go through the G-buffer.
  [[nodiscard]] bool unlit() const noexcept {
    return pipeline_ == PipelineChoice::forward_plus && lights_ == 0;
  }

  // The following frames go through `choice` with `count` lights, in
  // width x height pictures. Refuses, changing nothing, more lights than
  // the pipeline sheds or a pipeline the device cannot run.
  [[nodiscard]] std::expected<void, std::string> set(Device& device, PipelineChoice choice,
                                                     std::uint32_t count, std::uint32_t width,
                                                     std::uint32_t height);
  // The pictures change size: the tile grids and the G-buffer follow.
  [[nodiscard]] std::expected<void, std::string> resize(Device& device, std::uint32_t width,
                                                        std::uint32_t height);
  // Gives every resource back to the device.
  [[nodiscard]] std::expected<void, std::string> release(Device& device);

  // Writes the lights of frame `frame` and records the frame seen by
  // `camera` into `targets` (of the size set): the solids of `instances`
  // with the first `color_values` colours, and the edges. The camera block
  // and the deferred commands are kept here until the next call.
  [[nodiscard]] std::expected<LatticeRecorded, std::string> record(
      Device& device, kova_rhi::FrameGraph& graph, std::pmr::memory_resource& arena,
      const LatticeGpu& gpu, const LatticeScene& scene, const RenderTargets& targets,
      const kova_renderer::KovaCamera& camera, std::uint64_t frame,
      std::span<const PGL4> instances, std::size_t color_values);

  // The depth image the frames draw into: the G-buffer's for deferred.
  [[nodiscard]] ImageId depth(const RenderTargets& targets) const noexcept {
    return deferred_ ? deferred_->targets.gbuffer.depth : targets.depth;
  }

 private:
  PipelineChoice pipeline_ = PipelineChoice::forward_plus;
  std::uint32_t lights_ = 0;
  std::uint32_t width_ = 0, height_ = 0;
  std::optional<LatticeLightsGpu> forward_plus_{};
  std::optional<LatticeDeferredGpu> deferred_{};
  kova_device::DeferredRecording recording_{};
  std::array<PGL4, 2> block_{};
};

// Runs a recorded frame. The passes before r.counted_from run as a
// submission of their own, so that the stats' triangle counts are of the
// rest alone; the other counts are of the whole frame.
template <FrameDevice Device>
[[nodiscard]] std::expected<ExecuteStats, std::string> executeLatticeFrame(
    Device& device, const kova_rhi::FrameGraph& graph, std::pmr::memory_resource& arena,
    LatticeRecorded r);

}  // namespace kova_demo
