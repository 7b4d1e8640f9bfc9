// Where a point of a points draw lands, the rule both devices follow: its
// centre pixel, splat radius, FS-depth and depth factor, worked out in
// double precision until the pixel is known. The Vulkan device runs it in
// point_splats.comp where the GPU has double-precision shaders, and on the
// host otherwise.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

#include "kova_device_layouts.hpp"
#include "kova_device_raster.hpp"

namespace kova_device {

struct PointSplat {
  int cx = 0, cy = 0;  // centre pixel
  int r = 0;           // radius in pixels (splatCovers)
  float z = 0.0f;      // FS-depth scaled to [0, 1] between the near and far bounds
  float k = 0.0f;      // depthFactor: a pixel's stored depth is k times its ray's length
};

// The splat of point p at FS distance d from the eye in a width x height
// image; nothing when the point is not projected, d is not finite, or the
// splat misses the image. Centres beyond +-2^30 pixels are off every image
// and never reach an int.
[[nodiscard]] inline std::optional<PointSplat> pointSplat(const CameraBlock& cam, HomVec4 p,
                                                          double d, std::uint32_t width,
                                                          std::uint32_t height) noexcept {
  const auto sp = project(cam, p, width, height);
  constexpr double kFar = 1073741824.0;
  if (!sp || !std::isfinite(d) || !(std::fabs(sp->x) < kFar && std::fabs(sp->y) < kFar))
    return std::nullopt;
  PointSplat s;
  s.cx = static_cast<int>(std::floor(sp->x));
  s.cy = static_cast<int>(std::floor(sp->y));
  s.r = splatRadius(d, cam.tan_h, width);
  if (s.cx + s.r < 0 || s.cy + s.r < 0 || s.cx - s.r >= static_cast<int>(width) ||
      s.cy - s.r >= static_cast<int>(height))
    return std::nullopt;
  s.z = static_cast<float>(depthFromDistance(d, cam.near_fs, cam.far_fs));
  s.k = depthFactor(d, encodingScale(cam.near_fs));
  return s;
}

}  // namespace kova_device
