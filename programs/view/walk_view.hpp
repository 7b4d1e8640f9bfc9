// The viewer's renderer for the walk scene: the courtyard seen from any
// camera, with the camera's own lens (near bound 1 cm, far 60 m from
// walkLens). Nothing is culled: the device clips what lies outside.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <utility>
#include <vector>

#include "points_view.hpp"
#include "walk_frame.hpp"

namespace kova_view {

template <kova_device::FrameDevice Device>
class WalkView {
 public:
  [[nodiscard]] static std::expected<WalkView, std::string> create(
      const kova_demo::WalkScene& scene, std::uint32_t width, std::uint32_t height, Device device) {
    auto driver = kova_demo::WalkDriver<Device>::create(scene, width, height, std::move(device));
    if (!driver) return std::unexpected(driver.error());
    std::uint32_t objects = 0;
    for (const kova_demo::WalkShape& shape : scene.shapes)
      objects += static_cast<std::uint32_t>(shape.instances.size());
    return WalkView(std::move(*driver), objects);
  }
  [[nodiscard]] std::expected<void, std::string> resize(std::uint32_t width, std::uint32_t height) {
    return driver_.resize(width, height);
  }
  // Counts objects in points/visible/drawn (all of them: none is culled) and
  // the device's triangles.
  [[nodiscard]] std::expected<ViewReport, std::string> render(const KovaCamera& camera) {
    auto frame = driver_.render(camera);
    if (!frame) return std::unexpected(frame.error());
    ViewReport r;
    r.points = r.visible = r.drawn = objects_;
    r.ms_device = frame->ms_device;
    r.ms_commands = frame->ms_total - frame->ms_device;
    r.instanced = true;
    r.triangles = frame->triangles;
    r.triangles_drawn = frame->triangles_drawn;
    return r;
  }
  [[nodiscard]] std::expected<std::vector<std::uint8_t>, std::string> readRgb() const {
    return driver_.readRgb();
  }
  [[nodiscard]] Device& device() noexcept { return driver_.device(); }
  [[nodiscard]] ImageId colorImage() const noexcept { return driver_.colorImage(); }
  [[nodiscard]] std::uint32_t width() const noexcept { return driver_.width(); }
  [[nodiscard]] std::uint32_t height() const noexcept { return driver_.height(); }

 private:
  WalkView(kova_demo::WalkDriver<Device> driver, std::uint32_t objects)
      : driver_(std::move(driver)), objects_(objects) {}

  kova_demo::WalkDriver<Device> driver_;
  std::uint32_t objects_ = 0;
};

}  // namespace kova_view
