// The packed camera block of the programs' frames: a camera's view isometry,
// bounds and field of view, the picture's vertical extent following its
// shape (width x height) rather than the camera's aspect, and the fog colour
// that distance fades towards.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

#include "device_names.hpp"
#include "kova_renderer.hpp"

namespace kova_demo {

[[nodiscard]] inline std::array<PGL4, 2> pictureCameraBlock(
    const kova_renderer::KovaCamera& camera, std::uint32_t width, std::uint32_t height,
    std::array<float, 3> fog) noexcept {
  CameraBlock cam;
  cam.view = camera.viewIsometry();
  cam.observer = camera.position;
  cam.tan_h = std::tan(camera.fov / 2.0);
  cam.tan_v = cam.tan_h * height / width;
  cam.near_fs = camera.near_fs;
  cam.far_fs = camera.far_fs;
  cam.isometric_view = true;
  cam.fog = fog;
  return packCameraBlock(cam);
}

}  // namespace kova_demo
