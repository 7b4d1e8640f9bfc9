// The viewer's renderer: the main job's points scene seen from any camera.
// Culls with the view-exact frustum, sorts by FS depth and records the frame
// with recordPointsFrame, as kova_demo's FrameDriver does, for a device
// layer (CpuDevice or VulkanDevice). All of a frame's working memory comes
// from one arena, released every frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "demo_scene.hpp"
#include "kova_renderer.hpp"
#include "pipeline_choice.hpp"
#include "points_frame.hpp"
#include "render_targets.hpp"

namespace kova_view {

using kova_demo::FrameDevice;
using kova_demo::kPointsClearColor;
using kova_demo::ImageId;
using kova_renderer::KovaCamera;

struct ViewReport {
  std::uint32_t points = 0;
  std::uint32_t visible = 0;  // in the picture and between the near and far bounds
  std::uint32_t drawn = 0;    // splats that reached the image
  double ms_cull = 0, ms_sort = 0, ms_commands = 0;  // host
  double ms_device = 0;  // execute(): the device's recording, submission and wait
  // Instanced scenes count cells in points/visible/drawn and report triangles.
  bool instanced = false;
  std::uint32_t triangles = 0, triangles_drawn = 0;
  // The lattice: the pipeline that lit the frame and the lights it shed.
  kova_demo::PipelineChoice pipeline = kova_demo::PipelineChoice::forward_plus;
  std::uint32_t lights = 0;
};

// A frustum for `camera` widened by `pixels` on every side of a width x
// height picture, so that a splat whose centre is just outside still shows.
[[nodiscard]] kova_renderer::KovaFrustum widenedView(const KovaCamera& camera, std::uint32_t width,
                                                     std::uint32_t height, double pixels) noexcept;

template <FrameDevice Device>
class PointsView {
 public:
  [[nodiscard]] static std::expected<PointsView, std::string> create(const kova_demo::Scene& scene,
                                                                     std::uint32_t width,
                                                                     std::uint32_t height,
                                                                     Device device);
  // New colour and depth images of another size; the ones they replace go
  // back to the device. On failure the old ones stay in use.
  [[nodiscard]] std::expected<void, std::string> resize(std::uint32_t width, std::uint32_t height);

  [[nodiscard]] std::expected<ViewReport, std::string> render(const KovaCamera& camera);

  [[nodiscard]] std::expected<std::vector<std::uint8_t>, std::string> readRgb() const {
    return device_.readRgb8(targets_.color);
  }
  [[nodiscard]] Device& device() noexcept { return device_; }
  [[nodiscard]] ImageId colorImage() const noexcept { return targets_.color; }
  [[nodiscard]] std::uint32_t width() const noexcept { return targets_.width; }
  [[nodiscard]] std::uint32_t height() const noexcept { return targets_.height; }

 private:
  explicit PointsView(Device device) : device_(std::move(device)) {}

  const kova_demo::Scene* scene_ = nullptr;
  std::uint64_t frame_ = 0;
  Device device_;
  kova_demo::RenderTargets targets_{};
  kova_demo::PointsGpu gpu_{};
  std::vector<std::byte> arena_storage_;  // the arena's first block, kept between frames
};

}  // namespace kova_view
