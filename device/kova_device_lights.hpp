// Lights of the projective triangle pipeline: the record a host fills, how it
// travels in a storage buffer, how it reaches the shaders, and the light it
// sheds on a surface.
//
// The lighting model. A light at L shines along both arcs of every
// projective line through it: a surface point at Fubini-Study distance d
// from L receives it along the short arc (length d) and along the long arc
// (length pi - d), each attenuated by the window (1 - (l / range)^2)^2 of its
// own length l (zero from the range on), so the short arc dominates and only
// a light whose range exceeds pi / 2 reaches round the closed line. A plane
// of elliptic space has a single side, so both arcs light a surface by the
// same |cos| of the angle between its normal and the line towards the light;
// each light adds colour * intensity * |cos| * (window(d) + window(pi - d)) to
// the lamp at the eye, before the fog.
//
// lightsAt is the reference; shaders/lights.glsl is its single-precision twin.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "kova_device_layouts.hpp"
#include "kova_kernel.hpp"

namespace kova_device {

// A light as the host fills it.
struct Light {
  HomVec4 position{0.0, 0.0, 0.0, 1.0};   // any non-zero finite representative
  std::array<double, 3> color{1.0, 1.0, 1.0};  // linear RGB, each >= 0
  double intensity = 1.0;                 // >= 0
  double range = 1.0;                     // FS radians, in (0, pi]
};

// A light buffer is a storage buffer the host writes (writeValues) with
// kLightValues values per light, in this order: position x, y, z, w; colour
// r, g, b; intensity; range. A mesh draw reads the one bound at uniform
// binding 2 (kova_device_checks.hpp).
inline constexpr std::size_t kLightValues = 9;
// The most lights one draw reads.
inline constexpr std::size_t kMaxLights = 4096;

[[nodiscard]] inline std::vector<double> lightValues(std::span<const Light> lights) {
  std::vector<double> out;
  out.reserve(lights.size() * kLightValues);
  for (const Light& l : lights) {
    out.insert(out.end(), {l.position.x, l.position.y, l.position.z, l.position.w, l.color[0],
                           l.color[1], l.color[2], l.intensity, l.range});
  }
  return out;
}

// The shaders' records of the lights in `values` (checked by the command
// checker), seen through the isometric view `view`: each position is scaled
// to its largest coordinate, carried by the view and put on S^3 in double,
// then handed over in single precision. A position the view does not carry
// to a finite non-zero vector sheds nothing.
[[nodiscard]] inline std::vector<LightGpu> packLights(const PGL4& view,
                                                      std::span<const double> values) {
  std::vector<LightGpu> out(values.size() / kLightValues);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double* v = values.data() + i * kLightValues;
    const double m = std::max({std::fabs(v[0]), std::fabs(v[1]), std::fabs(v[2]), std::fabs(v[3])});
    LightGpu& g = out[i];
    // Range 0 (cosine 1, sine 0): reaches nothing.
    g = LightGpu{{0.0f, 0.0f, 0.0f, 1.0f}, {0.0f, 0.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f, 0.0f}};
    if (!(m > 0.0) || !std::isfinite(m)) continue;
    HomVec4 p = view.apply(HomVec4{v[0] / m, v[1] / m, v[2] / m, v[3] / m});
    const double pm = std::max({std::fabs(p.x), std::fabs(p.y), std::fabs(p.z), std::fabs(p.w)});
    if (!(pm > 0.0) || !std::isfinite(pm)) continue;
    p = HomVec4{p.x / pm, p.y / pm, p.z / pm, p.w / pm};
    const double n = std::sqrt(((p.x * p.x + p.y * p.y) + p.z * p.z) + p.w * p.w);
    g.position[0] = static_cast<float>(p.x / n);
    g.position[1] = static_cast<float>(p.y / n);
    g.position[2] = static_cast<float>(p.z / n);
    g.position[3] = static_cast<float>(p.w / n);
    for (std::size_t c = 0; c < 3; ++c) g.color[c] = static_cast<float>(v[4 + c]);
    g.color[3] = static_cast<float>(v[7]);
    g.range[0] = static_cast<float>(v[8]);
    g.range[1] = static_cast<float>(std::cos(v[8]));
    g.range[2] = static_cast<float>(std::sin(v[8]));
  }
  return out;
}

// The attenuation of an arc of `length` radians: 1 at the light, falling
// smoothly to 0 at `range` and staying 0 beyond.
[[nodiscard]] inline double arcWindow(double length, double range) noexcept {
  const double t = length / range;
  if (!(t < 1.0)) return 0.0;
  const double u = 1.0 - t * t;
  return u * u;
}

// The light the lights shed on the point p of a plane with normal n (n
// orthogonal to p; both at any scale, either sign), per channel, in double.
// The distance to a light comes from atan2 of the sine part |p ^ L| and the
// cosine part |p . L|, accurate at every angle; the cosine towards the light
// is |n . L| |p| / (|n| |p ^ L|), since n . p = 0 (1 where the light sits on
// the point).
[[nodiscard]] inline std::array<float, 3> lightsAt(HomVec4 n, HomVec4 p,
                                                   std::span<const LightGpu> lights) noexcept {
  constexpr double kPi = 3.141592653589793;
  const double p_norm = std::sqrt(((p.x * p.x + p.y * p.y) + p.z * p.z) + p.w * p.w);
  const double n_norm = std::sqrt(((n.x * n.x + n.y * n.y) + n.z * n.z) + n.w * n.w);
  std::array<double, 3> sum{};
  for (const LightGpu& light : lights) {
    const double lx = light.position[0], ly = light.position[1], lz = light.position[2],
                 lw = light.position[3];
    const double c = ((p.x * lx + p.y * ly) + p.z * lz) + p.w * lw;
    const double xy = p.x * ly - p.y * lx, xz = p.x * lz - p.z * lx, xw = p.x * lw - p.w * lx;
    const double yz = p.y * lz - p.z * ly, yw = p.y * lw - p.w * ly, zw = p.z * lw - p.w * lz;
    const double s = std::sqrt(((((xy * xy + xz * xz) + xw * xw) + yz * yz) + yw * yw) + zw * zw);
    const double d = std::atan2(s, std::fabs(c));
    const double nl = ((n.x * lx + n.y * ly) + n.z * lz) + n.w * lw;
    const double cosine = s > 0.0 ? std::min(std::fabs(nl) * p_norm / (n_norm * s), 1.0) : 1.0;
    const double range = light.range[0];
    const double arcs = arcWindow(d, range) + arcWindow(kPi - d, range);
    const double k = double{light.color[3]} * cosine * arcs;
    for (std::size_t i = 0; i < 3; ++i) sum[i] += double{light.color[i]} * k;
  }
  return {static_cast<float>(sum[0]), static_cast<float>(sum[1]), static_cast<float>(sum[2])};
}

}  // namespace kova_device
