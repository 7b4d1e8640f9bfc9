// Rules of the point and geodesic pictures that every device layer follows
// (projection, splat size, colour ramp, depth test, 8-bit conversion), kept
// in one header because both devices and the tests that read pictures use
// the same rules.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>

#include "kova_kernel.hpp"
#include "kova_device.hpp"
#include "kova_device_layouts.hpp"
#include "kova_rhi.hpp"

namespace kova_device {

// The depth value of a point at Fubini-Study distance d: 0 at or inside the
// near bound, 1 at or beyond the far bound, linear in the angle between.
// The same mapping as kova_renderer::fsDepth, applied to a distance the
// device has already computed.
[[nodiscard]] inline double depthFromDistance(double d, double near_fs, double far_fs) noexcept {
  if (near_fs >= d) return 0.0;
  if (d >= far_fs) return 1.0;
  return (d - near_fs) / (far_fs - near_fs);
}

// A point projected into the image: pixel coordinates with (0, 0) at the top
// left corner of the top left pixel.
struct ScreenPoint {
  double x = 0.0;
  double y = 0.0;
};

// Central projection of the visible hemisphere. The view transform keeps w,
// so the visible hemisphere is w >= 0: a point with negative w is replaced by
// its antipode, the same projective point. The camera looks along -z of the
// view; points at or behind the eye plane are not projected.
[[nodiscard]] inline std::optional<ScreenPoint> project(const CameraBlock& cam, HomVec4 p,
                                                        std::uint32_t width,
                                                        std::uint32_t height) noexcept {
  HomVec4 v = cam.view.apply(p);
  if (v.w < 0.0) v = HomVec4{-v.x, -v.y, -v.z, -v.w};
  const double ahead = -v.z;
  if (!(ahead > 1e-12)) return std::nullopt;
  const double sx = v.x / (ahead * cam.tan_h);
  const double sy = v.y / (ahead * cam.tan_v);
  if (!(std::fabs(sx) < 1e6 && std::fabs(sy) < 1e6)) return std::nullopt;
  return ScreenPoint{(sx * 0.5 + 0.5) * width, (0.5 - sy * 0.5) * height};
}

// Central projection under an isometric view: the point is replaced by its
// representative facing forward (view z <= 0), so every point off the eye's
// focal plane (view z = 0) has exactly one place in the picture.
[[nodiscard]] inline std::optional<ScreenPoint> projectFacing(const CameraBlock& cam, HomVec4 p,
                                                              std::uint32_t width,
                                                              std::uint32_t height) noexcept {
  HomVec4 v = cam.view.apply(p);
  if (v.z > 0.0) v = HomVec4{-v.x, -v.y, -v.z, -v.w};
  const double ahead = -v.z;
  if (!(ahead > 1e-12 * std::sqrt(v.x * v.x + v.y * v.y + v.w * v.w))) return std::nullopt;
  const double sx = v.x / (ahead * cam.tan_h);
  const double sy = v.y / (ahead * cam.tan_v);
  if (!(std::fabs(sx) < 1e6 && std::fabs(sy) < 1e6)) return std::nullopt;
  return ScreenPoint{(sx * 0.5 + 0.5) * width, (0.5 - sy * 0.5) * height};
}

// Splat radius in pixels of a point at distance d: the image of a ball of
// radius 0.0012 rad, at most 3 pixels; far points are single pixels.
[[nodiscard]] inline int splatRadius(double d, double tan_h, std::uint32_t width) noexcept {
  const double pixels_per_unit = width / (2.0 * tan_h);
  const double r = 0.0012 / std::max(std::tan(d), 1e-6) * pixels_per_unit;
  return static_cast<int>(std::clamp(std::floor(r), 0.0, 3.0));
}

// The pixels a splat covers: those whose centre offset (dx, dy) from the
// centre pixel has dx^2 + dy^2 <= r^2 + r (a round disk; r = 0 is one pixel).
[[nodiscard]] constexpr bool splatCovers(int dx, int dy, int r) noexcept {
  return dx * dx + dy * dy <= r * r + r;
}

// Point colour by depth: warm and bright near the eye, cold and faint towards
// the far bound, where points fade into the background.
[[nodiscard]] inline std::array<float, 3> depthColor(double depth) noexcept {
  const double t = std::clamp(depth, 0.0, 1.0);
  const double near_rgb[3] = {1.0, 0.92, 0.6};
  const double mid_rgb[3] = {1.0, 0.35, 0.45};
  const double far_rgb[3] = {0.25, 0.3, 0.9};
  std::array<float, 3> out{};
  const double fade = std::pow(1.0 - t, 0.8);
  for (int i = 0; i < 3; ++i) {
    const double c = t < 0.35 ? near_rgb[i] + (mid_rgb[i] - near_rgb[i]) * (t / 0.35)
                              : mid_rgb[i] + (far_rgb[i] - mid_rgb[i]) * ((t - 0.35) / 0.65);
    out[static_cast<std::size_t>(i)] = static_cast<float>(c * (0.15 + 0.85 * fade));
  }
  return out;
}

// The depth test of a fragment against the stored depth.
[[nodiscard]] inline bool depthPasses(kova_rhi::CompareOp op, float incoming,
                                      float stored) noexcept {
  using kova_rhi::CompareOp;
  switch (op) {
    case CompareOp::never:
      return false;
    case CompareOp::less:
      return incoming < stored;
    case CompareOp::equal:
      return incoming == stored;
    case CompareOp::less_equal:
      return incoming <= stored;
    case CompareOp::greater:
      return incoming > stored;
    case CompareOp::not_equal:
      return incoming != stored;
    case CompareOp::greater_equal:
      return incoming >= stored;
    case CompareOp::always:
      return true;
  }
  return false;
}

// 8-bit channel value of a colour component (clamped, rounded).
[[nodiscard]] inline std::uint8_t toByte(float c) noexcept {
  const float v = std::clamp(c, 0.0f, 1.0f) * 255.0f + 0.5f;
  return static_cast<std::uint8_t>(v);
}

}  // namespace kova_device
