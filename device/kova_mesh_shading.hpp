// Per-fragment rules of the projective triangle pipeline, shared by the CPU
// rasteriser and written so that a shader can state them line for line:
// double precision for geometry, single precision for colour, every sum in
// the order written here.
//
// View space is the one of an isometric view: the eye at (0, 0, 0, 1), the
// picture looking along -z with +y up. Each point is drawn at its forward-
// facing representative (z <= 0), so a pixel's ray is the projective line
// through the eye and D = (sx tan_h, sy tan_v, -1, 0). A triangle's flat
// 4D normal N (orthogonal to its three vertices) fixes where that line meets
// the triangle's plane, and from that follow its Fubini-Study distance from
// the eye and the light of a lamp at the eye, without any interpolation.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include "kova_kernel.hpp"

namespace kova_device {

using kova_kernel::HomVec4;

// The ray direction through a pixel position (fx, fy) in framebuffer
// coordinates (y down; pixel centres at +0.5), in view space.
[[nodiscard]] inline HomVec4 pixelRay(double fx, double fy, double width, double height,
                                      double tan_h, double tan_v) noexcept {
  const double sx = (2.0 * fx) / width - 1.0;
  const double sy = 1.0 - (2.0 * fy) / height;
  return HomVec4{sx * tan_h, sy * tan_v, -1.0, 0.0};
}

// A vector orthogonal to a, b and c (the generalised cross product of a,
// b - a, c - a, whose differences keep small triangles accurate). Zero when
// the three points do not span a plane.
[[nodiscard]] inline HomVec4 faceNormal(HomVec4 a, HomVec4 b, HomVec4 c) noexcept {
  const double ux = b.x - a.x, uy = b.y - a.y, uz = b.z - a.z, uw = b.w - a.w;
  const double vx = c.x - a.x, vy = c.y - a.y, vz = c.z - a.z, vw = c.w - a.w;
  // 2x2 minors of the rows u, v.
  const double xy = ux * vy - uy * vx, xz = ux * vz - uz * vx, xw = ux * vw - uw * vx;
  const double yz = uy * vz - uz * vy, yw = uy * vw - uw * vy, zw = uz * vw - uw * vz;
  return HomVec4{a.y * zw - a.z * yw + a.w * yz, -(a.x * zw - a.z * xw + a.w * xz),
                 a.x * yw - a.y * xw + a.w * xy, -(a.x * yz - a.y * xz + a.z * xy)};
}

// Where a pixel's ray meets a triangle's plane: the Fubini-Study distance
// from the eye and the cosine of the angle between the plane's normal and
// the direction to the eye there (the light of a lamp at the eye, lit on
// both sides).
struct SurfaceHit {
  double distance = 0.0;  // radians, in [0, pi/2]
  double lambert = 0.0;   // in [0, 1]
};

[[nodiscard]] inline SurfaceHit surfaceHit(HomVec4 normal, HomVec4 ray) noexcept {
  // The hit is p = (N.w D.xyz, -N.xyz . D): on the pixel's line, and N . p = 0.
  const double nd = normal.x * ray.x + normal.y * ray.y + normal.z * ray.z;
  const double dd = ray.x * ray.x + ray.y * ray.y + ray.z * ray.z;
  const double nn =
      normal.x * normal.x + normal.y * normal.y + normal.z * normal.z + normal.w * normal.w;
  const double p_norm = std::sqrt(normal.w * normal.w * dd + nd * nd);
  if (!(p_norm > 0.0) || !(nn > 0.0)) return SurfaceHit{1.5707963267948966, 0.0};
  // The angle between p and the eye (0, 0, 0, 1), from its sine part |p.xyz|
  // and cosine part |p.w|: atan2 is accurate at every angle, acos of a
  // cosine is not near 0.
  const double distance = std::atan2(std::fabs(normal.w) * std::sqrt(dd), std::fabs(nd));
  const double lambert = std::min(p_norm / (std::sqrt(nn) * std::sqrt(dd)), 1.0);
  return SurfaceHit{distance, lambert};
}

// Where a pixel's ray meets a triangle's plane, as a homogeneous point of
// view space (not normalised): p = (N.w D.xyz, -N.xyz . D).
[[nodiscard]] inline HomVec4 surfacePoint(HomVec4 normal, HomVec4 ray) noexcept {
  const double nd = normal.x * ray.x + normal.y * ray.y + normal.z * ray.z;
  return HomVec4{normal.w * ray.x, normal.w * ray.y, normal.w * ray.z, -nd};
}

// Fog: none at the eye, complete at the far bound, rising with the square of
// the distance so that the nearby lattice stays clear.
[[nodiscard]] inline float fogAmount(double distance, double far_fs) noexcept {
  const double t = std::clamp(distance / far_fs, 0.0, 1.0);
  return static_cast<float>(t * t);
}

// The colour of a surface of colour `base`: an ambient term, the lamp at
// the eye and what the draw's lights shed (lightsAt, kova_device_lights.hpp;
// zero without lights, which leaves the colour exactly as the lamp alone
// makes it), then faded towards the fog colour by the distance.
//
// shadeStored is the same rule from the single-precision lambert and fog
// amount that a G-buffer keeps (kova_deferred.hpp), so that a deferred
// lighting pass gives a forward draw's colour bit for bit from them.
[[nodiscard]] inline std::array<float, 3> shadeStored(const std::array<float, 3>& base,
                                                      float lambert, float f,
                                                      const std::array<float, 3>& fog,
                                                      const std::array<float, 3>& shed = {}) noexcept {
  const float light = 0.22f + 0.78f * lambert;
  std::array<float, 3> out{};
  for (std::size_t i = 0; i < 3; ++i) {
    const float lit = base[i] * (light + shed[i]);
    out[i] = lit + (fog[i] - lit) * f;
  }
  return out;
}

[[nodiscard]] inline std::array<float, 3> shadeSurface(const std::array<float, 3>& base,
                                                       double lambert, double distance,
                                                       double far_fs,
                                                       const std::array<float, 3>& fog,
                                                       const std::array<float, 3>& shed = {}) noexcept {
  return shadeStored(base, static_cast<float>(lambert), fogAmount(distance, far_fs), fog, shed);
}

}  // namespace kova_device
