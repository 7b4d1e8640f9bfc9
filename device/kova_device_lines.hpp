// Geodesic arcs as line primitives under an isometric view, the rules both
// devices follow. The great-circle arc from a to b (b taken facing a, the
// shorter arc) is the projective segment {alpha a + beta b : alpha, beta >= 0},
// so its clip-space segment, clipped by the clip volume, is exactly the arc.
// Like a triangle, each arc is drawn in four passes: its forward-facing half
// (sign) and each side s of view w = 0, with the clip position of
// kova_device_raster.hpp's projective depth. The GPU twins are
// vulkan/shaders/line.vert and line.frag.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>

#include "kova_device_raster.hpp"
#include "kova_kernel.hpp"

namespace kova_device {

// An arc's end points in view space, unit length and in single precision (as
// the GPU gets them), b facing a; nothing for a zero or non-finite end.
struct ArcEnds {
  std::array<float, 4> a{}, b{};
};

[[nodiscard]] inline std::optional<ArcEnds> arcInView(const PGL4& view, HomVec4 p, HomVec4 q) {
  const auto unit = [](HomVec4 v) -> std::optional<HomVec4> {
    if (!(std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z) && std::isfinite(v.w)))
      return std::nullopt;
    const double m = std::max({std::fabs(v.x), std::fabs(v.y), std::fabs(v.z), std::fabs(v.w)});
    if (!(m > 0.0)) return std::nullopt;
    v = HomVec4{v.x / m, v.y / m, v.z / m, v.w / m};
    const double n = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z + v.w * v.w);
    return HomVec4{v.x / n, v.y / n, v.z / n, v.w / n};
  };
  auto a = unit(p), b = unit(q);
  if (!a || !b) return std::nullopt;
  if (a->dot(*b) < 0.0) *b = HomVec4{-b->x, -b->y, -b->z, -b->w};  // the shorter arc
  a = unit(view.apply(*a));
  b = unit(view.apply(*b));
  if (!a || !b) return std::nullopt;
  const auto single = [](HomVec4 v) {
    return std::array<float, 4>{static_cast<float>(v.x), static_cast<float>(v.y),
                                static_cast<float>(v.z), static_cast<float>(v.w)};
  };
  return ArcEnds{single(*a), single(*b)};
}

// A clip-space position (x, y, z, w); y is not yet flipped for Vulkan.
struct LineClip {
  float x = 0, y = 0, z = 0, w = 0;
};

// The clip position of view-space end v in pass (sign, side), in single
// precision, operation for operation as line.vert.
[[nodiscard]] inline LineClip lineClip(const std::array<float, 4>& v, float sign, float side,
                                       float tan_h, float tan_v, float depth_scale) noexcept {
  const float x = sign * v[0] / tan_h;
  const float y = sign * v[1] / tan_v;
  const float w = -sign * v[2];
  const float z = depth_scale * (side * (sign * v[3]));
  return LineClip{x, y, z, w};
}

// Clips segment (a, b) to the clip volume -w <= x, y <= w, 0 <= z <= w (in
// double); false when nothing is left.
[[nodiscard]] inline bool clipLine(LineClip a, LineClip b, std::array<double, 4>& ca,
                                   std::array<double, 4>& cb) noexcept {
  ca = {a.x, a.y, a.z, a.w};
  cb = {b.x, b.y, b.z, b.w};
  double t0 = 0.0, t1 = 1.0;
  const auto plane = [](const std::array<double, 4>& c, int k) {
    switch (k) {
      case 0:
        return c[3] + c[0];
      case 1:
        return c[3] - c[0];
      case 2:
        return c[3] + c[1];
      case 3:
        return c[3] - c[1];
      case 4:
        return c[2];
      default:
        return c[3] - c[2];
    }
  };
  for (int k = 0; k < 6; ++k) {
    const double fa = plane(ca, k), fb = plane(cb, k);
    if (fa < 0.0 && fb < 0.0) return false;
    if (fa < 0.0) t0 = std::max(t0, fa / (fa - fb));
    if (fb < 0.0) t1 = std::min(t1, fa / (fa - fb));
  }
  if (!(t0 < t1)) return false;
  // Nothing at or behind the eye plane.
  const std::array<double, 4> a0 = ca;
  for (std::size_t i = 0; i < 4; ++i) {
    ca[i] = a0[i] + t0 * (cb[i] - a0[i]);
    cb[i] = a0[i] + t1 * (cb[i] - a0[i]);
  }
  return ca[3] > 0.0 && cb[3] > 0.0;
}

// The four passes in drawing order: (sign, side).
inline constexpr std::array<std::array<float, 2>, 4> kLinePasses = {
    {{1.0f, 1.0f}, {1.0f, -1.0f}, {-1.0f, 1.0f}, {-1.0f, -1.0f}}};

// Whether any pass of the arc leaves a segment inside the clip volume (the
// arcs ExecuteStats counts).
[[nodiscard]] inline bool arcShows(const ArcEnds& e, float tan_h, float tan_v,
                                   float depth_scale) noexcept {
  for (const auto& [sign, side] : kLinePasses) {
    std::array<double, 4> ca{}, cb{};
    if (clipLine(lineClip(e.a, sign, side, tan_h, tan_v, depth_scale),
                 lineClip(e.b, sign, side, tan_h, tan_v, depth_scale), ca, cb))
      return true;
  }
  return false;
}

// A line's depth at window position (x, y): linear in the window along the
// segment's major axis, constant across it, as a rasteriser that draws a
// line as a parallelogram swept along its minor axis interpolates it.
[[nodiscard]] inline double lineDepth(double xa, double ya, double za, double xb, double yb,
                                      double zb, double x, double y) noexcept {
  const double dx = xb - xa, dy = yb - ya;
  const double t = std::fabs(dx) >= std::fabs(dy) ? (x - xa) / dx : (y - ya) / dy;
  return std::clamp(za + (zb - za) * t, 0.0, 1.0);
}

// The pixels of a Bresenham line from (xa, ya) to (xb, yb) in framebuffer
// coordinates, by the diamond-exit rule: pixel f is drawn when the segment
// meets its open diamond |x - x_f| + |y - y_f| < 1/2 (x_f, y_f its centre),
// except the pixel whose diamond holds the end point. For an x-major segment
// the diamond of column x_f is met exactly where |y(x_f) - y_f| < 1/2, so the
// pixels are one per column centre the segment spans, plus the start's
// diamond. emit(x, y) gets each pixel.
template <class Emit>
void diamondExitLine(double xa, double ya, double xb, double yb, Emit&& emit) {
  const double dx = xb - xa, dy = yb - ya;
  if (dx == 0.0 && dy == 0.0) return;
  const bool x_major = std::fabs(dx) >= std::fabs(dy);
  // Work in (u, v): u along the major axis.
  const double ua = x_major ? xa : ya, va = x_major ? ya : xa;
  const double ub = x_major ? xb : yb, vb = x_major ? yb : xb;
  const double du = ub - ua, dv = vb - va;
  const auto inDiamond = [](double u, double v, double cu, double cv) {
    return std::fabs(u - cu) + std::fabs(v - cv) < 0.5;
  };
  const auto put = [&](std::int64_t iu, std::int64_t iv) {
    const double cu = static_cast<double>(iu) + 0.5, cv = static_cast<double>(iv) + 0.5;
    if (inDiamond(ub, vb, cu, cv)) return;  // the end point's diamond
    if (x_major)
      emit(iu, iv);
    else
      emit(iv, iu);
  };
  // The start's diamond, when its centre column comes before the start.
  const auto su = static_cast<std::int64_t>(std::floor(ua));
  const auto sv = static_cast<std::int64_t>(std::floor(va));
  const double scu = static_cast<double>(su) + 0.5;
  const bool start_first = du > 0.0 ? scu < ua : scu > ua;
  if (start_first && inDiamond(ua, va, scu, static_cast<double>(sv) + 0.5)) put(su, sv);
  // One pixel per column centre within [ua, ub].
  const double lo = std::min(ua, ub), hi = std::max(ua, ub);
  const auto first = static_cast<std::int64_t>(std::ceil(lo - 0.5));
  const auto last = static_cast<std::int64_t>(std::floor(hi - 0.5));
  const std::int64_t count = last - first + 1;
  for (std::int64_t k = 0; k < count; ++k) {
    const std::int64_t iu = du > 0.0 ? first + k : last - k;
    const double cu = static_cast<double>(iu) + 0.5;
    const double v = va + (cu - ua) * dv / du;
    put(iu, static_cast<std::int64_t>(std::floor(v)));
  }
}

}  // namespace kova_device
