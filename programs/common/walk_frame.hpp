// The walk scene's frames: its meshes on a device, one frame's recording,
// and kova_demo's loop that samples the walk at kWalkFps.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory_resource>
#include <span>
#include <string>
#include <vector>

#include "device_names.hpp"
#include "kova_renderer.hpp"
#include "render_targets.hpp"
#include "scene_walk.hpp"

namespace kova_demo {

// Each shape's mesh, placements and colours are written once; the camera is
// uploaded by each frame.
struct WalkGpu {
  struct Shape {
    BufferId vertices{}, indices{}, instances{}, colors{};
  };
  PipelineId pipeline{};
  BufferId camera{};
  std::vector<Shape> shapes;
};

template <FrameDevice Device>
[[nodiscard]] std::expected<WalkGpu, std::string> createWalkGpu(Device& device,
                                                                const WalkScene& scene);
// The buffers of the scene's shapes alone; on failure none is left behind.
template <FrameDevice Device>
[[nodiscard]] std::expected<std::vector<WalkGpu::Shape>, std::string> createWalkShapes(
    Device& device, const WalkScene& scene);
// Gives the shapes' buffers back to the device; reports the first failure.
template <FrameDevice Device>
[[nodiscard]] std::expected<void, std::string> releaseWalkShapes(
    Device& device, const std::vector<WalkGpu::Shape>& shapes);

// Appends the frame's passes (clear to the fog colour, every shape) to
// `graph`, their commands allocated in `arena`, which must outlive the
// graph's execution, as must `camera_block`.
[[nodiscard]] std::expected<void, std::string> recordWalkFrame(
    kova_rhi::FrameGraph& graph, std::pmr::memory_resource& arena, const WalkGpu& gpu,
    const WalkScene& scene, ImageId color, ImageId depth, std::span<const PGL4> camera_block);

struct WalkReport {
  std::uint64_t frame_index = 0;
  double seconds = 0;  // into the walk
  std::uint32_t triangles = 0, triangles_drawn = 0;
  std::uint32_t passes = 0, commands = 0;
  double ms_device = 0, ms_total = 0;
};

template <FrameDevice Device>
class WalkDriver {
 public:
  [[nodiscard]] static std::expected<WalkDriver, std::string> create(const WalkScene& scene,
                                                                     std::uint32_t width,
                                                                     std::uint32_t height,
                                                                     Device device = Device{});
  // Draws `scene` (which must outlive the driver) from now on, in buffers
  // of its own; on failure the old scene stays.
  [[nodiscard]] std::expected<void, std::string> setScene(const WalkScene& scene);
  // Renders frame `next` of the walk (at next / kWalkFps seconds) and steps on.
  [[nodiscard]] std::expected<WalkReport, std::string> renderFrame();
  // Renders the scene seen by `camera` as it is (pose and lens).
  [[nodiscard]] std::expected<WalkReport, std::string> render(
      const kova_renderer::KovaCamera& camera);
  // New images of another size; on failure the old ones stay in use.
  [[nodiscard]] std::expected<void, std::string> resize(std::uint32_t width, std::uint32_t height) {
    return resizeRenderTargets(device_, targets_, width, height);
  }
  [[nodiscard]] std::expected<std::vector<std::uint8_t>, std::string> readRgb() const {
    return device_.readRgb8(targets_.color);
  }
  [[nodiscard]] std::expected<std::vector<float>, std::string> readDepth() const {
    return device_.readDepth(targets_.depth);
  }
  [[nodiscard]] std::uint32_t samples() const noexcept { return device_.samples(); }
  [[nodiscard]] Device& device() noexcept { return device_; }
  [[nodiscard]] ImageId colorImage() const noexcept { return targets_.color; }
  [[nodiscard]] std::uint32_t width() const noexcept { return targets_.width; }
  [[nodiscard]] std::uint32_t height() const noexcept { return targets_.height; }
  // The camera of the last frame rendered.
  [[nodiscard]] const kova_renderer::KovaCamera& camera() const noexcept { return view_; }

 private:
  explicit WalkDriver(Device device) : device_(std::move(device)) {}

  const WalkScene* scene_ = nullptr;
  std::uint64_t next_frame_ = 0;
  kova_renderer::KovaCamera view_{};
  Device device_;
  RenderTargets targets_{};
  WalkGpu gpu_{};
};

}  // namespace kova_demo
