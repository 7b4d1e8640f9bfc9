// kova_demo's frame loop for the points scene: moves the camera along its
// path, culls and sorts the scene with kova, records the frame with
// recordPointsFrame and hands it to a device layer (CpuDevice or
// VulkanDevice), keeping what the check files report.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "device_names.hpp"
#include "demo_scene.hpp"
#include "kova_renderer.hpp"
#include "points_frame.hpp"
#include "render_targets.hpp"

namespace kova_demo {

// What one frame did, for the per-frame report.
struct FrameReport {
  std::uint64_t frame_index = 0;
  std::uint32_t points = 0;
  std::uint32_t in_front = 0, behind = 0, at_infinity = 0;  // by the sign of the stored w
  std::uint32_t balls = 0, balls_visible = 0;               // cluster bounding balls
  std::uint32_t visible = 0;   // inside the frustum's side planes (and its cluster's ball)
  std::uint32_t in_range = 0;  // of those, strictly between the near and far bounds
  std::uint32_t drawn = 0;     // splats that reached the image
  std::uint32_t geodesic_arcs = 0;
  std::uint32_t passes = 0, commands = 0;
  std::uint32_t pipeline_passes = 0;  // the forward+ pipeline's pass count
  double ms_cull = 0, ms_sort = 0, ms_device = 0, ms_total = 0;
};

// The pictures of one frame, read back from the device.
struct FrameImages {
  std::vector<std::uint8_t> rgb;    // 8-bit RGB, top row first
  std::vector<float> depth;         // FS-depth, 1 where nothing was drawn
  std::vector<std::uint8_t> kinds;  // PixelKind of each pixel
};

template <FrameDevice Device>
class FrameDriver {
 public:
  // The clear colour of every frame.
  static constexpr std::array<float, 3> kClearColor = kPointsClearColor;

  // Sets up the camera, the pipeline record and the device resources.
  [[nodiscard]] static std::expected<FrameDriver, std::string> create(const Scene& scene,
                                                                      std::uint32_t width,
                                                                      std::uint32_t height,
                                                                      Device device = Device{});

  // Renders the next frame; every frame after the first moves the camera first.
  [[nodiscard]] std::expected<FrameReport, std::string> renderFrame();
  [[nodiscard]] std::expected<FrameImages, std::string> readImages() const;

  // State of the last frame, for the check files.
  [[nodiscard]] const kova_renderer::KovaCamera& camera() const noexcept { return camera_; }
  // Scene index of each point of the last frame's draw, in drawing order.
  [[nodiscard]] const std::vector<std::uint32_t>& drawOrder() const noexcept { return draw_order_; }
  // The splats that reached the image, in drawing order (vertex = draw position).
  [[nodiscard]] const std::vector<DrawTrace>& trace() const noexcept { return trace_; }
  [[nodiscard]] std::uint32_t width() const noexcept { return targets_.width; }
  [[nodiscard]] std::uint32_t height() const noexcept { return targets_.height; }
  [[nodiscard]] const Device& device() const noexcept { return device_; }

 private:
  explicit FrameDriver(Device device) : device_(std::move(device)) {}

  const Scene* scene_ = nullptr;
  kova_renderer::KovaCamera camera_{};
  kova_renderer::ForwardPlusPipeline pipeline_{};
  std::uint64_t next_frame_ = 0;

  Device device_;
  RenderTargets targets_{};
  PointsGpu gpu_{};

  // Per-frame working arrays, kept to avoid reallocating every frame.
  std::vector<HomVec4> hemisphere_;
  std::unique_ptr<bool[]> mask_;  // one flag per scene point
  std::vector<HomVec4> kept_, draw_positions_;
  std::vector<std::uint32_t> kept_index_, draw_order_;
  std::vector<DrawTrace> trace_;
};

}  // namespace kova_demo
