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

// What a depth attachment of a pipeline with fs_depth holds: not the
// FS-depth itself but a projective depth d that the rasteriser interpolates.
// In view space (eye at (0, 0, 0, 1), looking along -z) a point p taken at
// its forward representative (p.z <= 0) is stored as
//     d = tan(near) |p.w| / (-p.z),
// which along a pixel's ray D = (sx tan_h, sy tan_v, -1) is
//     d = tan(near) |D| cot(theta)
// for the point's Fubini-Study distance theta from the eye: strictly
// falling in theta, so depth tests compare reversed (greater wins where
// FS-depth's less would). d > 1 lies nearer than the plane at distance
// tan(near) in the eye's chart: that plane is the near bound, removed by
// the 0 <= z <= w clip and by nothing else (no other clip epsilon); it meets
// the view axis at FS distance near_fs and lies a little farther off it. d
// falls to 0 at the horizon (theta = pi/2). Nothing bounds the far side: a
// surface beyond far_fs is drawn, fully fogged.
//
// Every scale keeps its precision: d is a ratio, so single precision
// resolves the same relative step of distance (about 1e-7) whether near_fs
// is a centimetre of the world (8.6e-10 rad) or a tenth of a radian; two
// faces a centimetre apart five metres away differ by 0.2 % of d.
//
// The near bound a device uses is nearBound(near_fs): near_fs itself within
// [kMinNearFs, pi/2]; below kMinNearFs (zero, negative, not a number) it is
// kMinNearFs, about 12 micrometres of the world, so that tan(near) stays far
// above single precision's smallest normal numbers; above pi/2 (infinity
// included) it is pi/2, where only the horizon itself is not nearer.
inline constexpr double kMinNearFs = 1e-12;

[[nodiscard]] inline double nearBound(double near_fs) noexcept {
  if (!(near_fs >= kMinNearFs)) return kMinNearFs;
  return near_fs < 1.5707963267948966 ? near_fs : 1.5707963267948966;
}

[[nodiscard]] inline double encodingScale(double near_fs) noexcept {
  return std::tan(nearBound(near_fs));
}

// The stored depth of a point at FS distance theta on a ray of length
// ray_len (|D|); +inf at the eye, 0 at the horizon.
[[nodiscard]] inline double depthFromRay(double theta, double ray_len, double near_fs) noexcept {
  return encodingScale(near_fs) * ray_len / std::tan(theta);
}

// The FS distance of the point a stored depth d means on a ray of length
// ray_len: the inverse of depthFromRay, well conditioned at both ends.
[[nodiscard]] inline double fsDistanceFromDepth(double d, double ray_len,
                                                double near_fs) noexcept {
  return std::atan2(encodingScale(near_fs) * ray_len, std::max(d, 0.0));
}

// sin on [0, pi/2]: fdlibm's sine kernel below pi/4, its cosine kernel of
// pi/2 - x above; operation for operation the twin of deviceSin in
// vulkan/shaders/device_math.glsl, so that both devices get the same bits.
[[nodiscard]] inline double kernelSin(double x) noexcept {
  if (x <= 0.7853981633974483) {
    const double z = x * x;
    const double v = z * x;
    const double r =
        0.00833333333332249 +
        z * (-0.0001984126982985795 +
             z * (2.7557313707070068e-06 + z * (-2.5050760253406863e-08 + z * 1.58969099521155e-10)));
    return x + v * (-0.16666666666666632 + z * r);
  }
  const double t = 1.5707963267341256 - x;
  const double hi = t + 6.077100506506192e-11;
  const double lo = (t - hi) + 6.077100506506192e-11;
  const double z = hi * hi;
  const double r =
      z * (0.0416666666666666 +
           z * (-0.001388888888887411 +
                z * (2.480158728947673e-05 +
                     z * (-2.7557314351390663e-07 +
                          z * (2.087572321298175e-09 + z * -1.1359647557788195e-11)))));
  const double hz = 0.5 * z;
  const double w = 1.0 - hz;
  return w + (((1.0 - w) - hz) + (z * r - hi * lo));
}

// tan(near) cot(theta) in single precision, theta taken into [0, pi/2]: the
// stored depth of distance theta on a ray of length 1, for draws that know a
// distance rather than a plane (points, arcs). Twin of deviceDepthFactor in
// device_math.glsl. A non-finite result (theta = 0) is nearer than any bound.
[[nodiscard]] inline float depthFactor(double theta, double depth_scale) noexcept {
  const double t = theta < 0.0 ? 0.0 : (theta > 1.5707963267948966 ? 1.5707963267948966 : theta);
  const double s = kernelSin(t);
  const double c = kernelSin(1.5707963267948966 - t);
  const double k = depth_scale * (c / s);
  return static_cast<float>(k);
}

// The stored depth at pixel (x, y) of a draw whose depth factor is k: k times
// the length of the pixel centre's ray, in single precision. Twin of the
// same lines in splat.frag and geodesic.frag.
[[nodiscard]] inline float pixelDepth(float k, std::uint32_t x, std::uint32_t y,
                                      std::uint32_t width, std::uint32_t height, float tan_h,
                                      float tan_v) noexcept {
  const float fx = static_cast<float>(x) + 0.5f, fy = static_cast<float>(y) + 0.5f;
  const float rx = ((2.0f * fx) / static_cast<float>(width) - 1.0f) * tan_h;
  const float ry = (1.0f - (2.0f * fy) / static_cast<float>(height)) * tan_v;
  const float len = std::sqrt(rx * rx + ry * ry + 1.0f);
  return k * len;
}

// The length |D| of the ray through framebuffer position (fx, fy).
[[nodiscard]] inline double rayLength(double fx, double fy, double width, double height,
                                      double tan_h, double tan_v) noexcept {
  const double rx = ((2.0 * fx) / width - 1.0) * tan_h;
  const double ry = (1.0 - (2.0 * fy) / height) * tan_v;
  return std::sqrt(rx * rx + ry * ry + 1.0);
}

// The stored value a depth clear to FS-depth c writes: 1 - c, clamped. A
// clear has no camera, so only its ends are exact: c = 1 (the far bound at
// pi/2: the horizon) stores 0 and c = 0 stores the near bound 1; between
// them 1 - c is the stored depth of a point on the view axis (|D| = 1) at
// FS distance atan(tan(near) / (1 - c)).
[[nodiscard]] inline float clearedDepth(float c) noexcept {
  return std::clamp(1.0f - c, 0.0f, 1.0f);
}

// The camera a depth attachment was last drawn through, which readDepth
// needs to turn stored depths back into FS-depth.
struct DepthCamera {
  double tan_h = 1.0, tan_v = 1.0, near_fs = 0.0, far_fs = 1.0;
};

// FS-depth of a stored depth at pixel (x, y), read along the ray through the
// pixel's centre; without a camera (only cleared) the inverse of clearedDepth.
[[nodiscard]] inline float fsDepthFromStored(float stored, std::uint32_t x, std::uint32_t y,
                                             std::uint32_t width, std::uint32_t height,
                                             const std::optional<DepthCamera>& cam) noexcept {
  if (!cam) return std::clamp(1.0f - stored, 0.0f, 1.0f);
  const double len =
      rayLength(x + 0.5, y + 0.5, width, height, cam->tan_h, cam->tan_v);
  return static_cast<float>(depthFromDistance(fsDistanceFromDepth(stored, len, cam->near_fs),
                                              cam->near_fs, cam->far_fs));
}

// The compare a depth test runs on stored depths: with fs_depth the stored
// value falls as FS-depth rises, so every ordering compare is reversed.
[[nodiscard]] constexpr kova_rhi::CompareOp storedCompare(kova_rhi::CompareOp op,
                                                         bool fs_depth) noexcept {
  using kova_rhi::CompareOp;
  if (!fs_depth) return op;
  switch (op) {
    case CompareOp::less:
      return CompareOp::greater;
    case CompareOp::less_equal:
      return CompareOp::greater_equal;
    case CompareOp::greater:
      return CompareOp::less;
    case CompareOp::greater_equal:
      return CompareOp::less_equal;
    default:
      return op;
  }
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
