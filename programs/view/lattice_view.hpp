// The viewer's renderer for the main job's lattice: the solids of the
// 120-cell's cells and its edges seen from any camera. Cells whose bounding
// ball misses the view-exact frustum (with either sign of its centre, since a
// cell is seen ahead and behind) are not drawn. The frame's instances,
// colours, commands and graph come from an arena released every frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "lattice_frame.hpp"
#include "lattice_lighting.hpp"
#include "points_view.hpp"
#include "render_targets.hpp"

namespace kova_view {

// The camera of the main job's first lattice frame, for a width x height picture.
[[nodiscard]] KovaCamera latticeStartCamera(std::uint32_t width, std::uint32_t height) noexcept;

template <kova_device::FrameDevice Device>
class LatticeView {
 public:
  [[nodiscard]] static std::expected<LatticeView, std::string> create(
      const kova_demo::LatticeScene& scene, std::uint32_t width, std::uint32_t height,
      Device device);
  // New colour and depth images of another size; the ones they replace go
  // back to the device. On failure the old ones stay in use.
  [[nodiscard]] std::expected<void, std::string> resize(std::uint32_t width, std::uint32_t height);

  // Fills points/visible/drawn with cells: in the scene, kept by the cull,
  // and instances drawn; triangles with the device's counts. The picture's
  // vertical extent follows the images' shape; the cull follows the camera's
  // aspect, so the two must agree (the viewer sets it on every resize).
  [[nodiscard]] std::expected<ViewReport, std::string> render(const KovaCamera& camera);

  // The lights the following frames shed, travelling as in the main job
  // (kova_demo::latticeLights); 0 with forward+ draws the unlit lattice.
  // More than the pipeline sheds is refused, changing nothing.
  [[nodiscard]] std::expected<void, std::string> setLights(std::uint32_t count);
  [[nodiscard]] std::uint32_t lights() const noexcept { return lighting_.lights(); }
  // The pipeline that sheds them: forward+ at the start, or deferred. A
  // pipeline the device cannot run is refused with the reason, changing
  // nothing; the deferred G-buffer is made when it is chosen and released
  // when forward+ is chosen again.
  [[nodiscard]] std::expected<void, std::string> setPipeline(kova_demo::PipelineChoice choice);
  [[nodiscard]] kova_demo::PipelineChoice pipeline() const noexcept {
    return lighting_.pipeline();
  }

  [[nodiscard]] std::expected<std::vector<std::uint8_t>, std::string> readRgb() const {
    return device_.readRgb8(targets_.color);
  }
  [[nodiscard]] Device& device() noexcept { return device_; }
  [[nodiscard]] ImageId colorImage() const noexcept { return targets_.color; }
  [[nodiscard]] std::uint32_t width() const noexcept { return targets_.width; }
  [[nodiscard]] std::uint32_t height() const noexcept { return targets_.height; }

 private:
  explicit LatticeView(Device device) : device_(std::move(device)) {}

  const kova_demo::LatticeScene* scene_ = nullptr;
  std::uint64_t frame_ = 0;
  double cell_radius_ = 0.0;  // of the ball around a cell's centre holding its solid
  Device device_;
  kova_demo::RenderTargets targets_{};
  kova_demo::LatticeGpu gpu_{};
  kova_demo::LatticeLighting<Device> lighting_{};  // made for the images' size
  std::vector<std::byte> arena_storage_;  // the arena's first block, kept between frames
};

}  // namespace kova_view
