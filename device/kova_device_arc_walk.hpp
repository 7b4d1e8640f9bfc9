// Geodesic arcs under a view that keeps w, the rule both devices follow.
// Such a view has no clip space that carries the observer's FS distance, so
// each arc is tessellated into steps of at most 0.004 rad and walked pixel
// by pixel, its FS-depth interpolated along each step. The Vulkan device runs
// the walk in geodesics.comp where the GPU has double-precision shaders, and
// on the host otherwise. (Under an isometric view arcs are line primitives:
// kova_device_lines.hpp.)
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

#include "kova_device_layouts.hpp"
#include "kova_device_raster.hpp"

namespace kova_device {

// Walks the shorter arc from p to q in a width x height image, calling
// plot(x, y, z) for each pixel position of each drawable step, in walking
// order (x, y may lie off the image; z is the FS-depth scaled to [0, 1]
// between the near and far bounds). Returns whether any step was drawable.
template <class Plot>
bool walkArc(const CameraBlock& cam, HomVec4 p, HomVec4 q, std::uint32_t width,
             std::uint32_t height, Plot&& plot) {
  // A sample along the arc: its pixel position, depth and the side of w = 0
  // it lies on (a step across it passes through infinity).
  struct Sample {
    std::optional<ScreenPoint> at;
    double depth = 1.0;
    bool upper = true;
  };
  const auto sample = [&](HomVec4 v) {
    const double d = kova_kernel::fsDistance(cam.observer, v);
    return Sample{project(cam, v, width, height), depthFromDistance(d, cam.near_fs, cam.far_fs),
                  cam.view.apply(v).w >= 0.0};
  };
  const HomVec4 a = p.normalize();
  HomVec4 b = q.normalize();
  if (a.dot(b) < 0.0) b = HomVec4{-b.x, -b.y, -b.z, -b.w};  // the shorter of the two arcs
  const double angle = std::acos(std::clamp(a.dot(b), -1.0, 1.0));
  const int steps = static_cast<int>(std::clamp(std::ceil(angle / 0.004), 1.0, 4096.0));
  bool any = false;
  Sample prev = sample(a);
  for (int s = 1; s <= steps; ++s) {
    const double t = static_cast<double>(s) / steps;
    double wa = 1.0 - t, wb = t;
    if (angle > 1e-9)
      wa = std::sin((1.0 - t) * angle) / std::sin(angle),
      wb = std::sin(t * angle) / std::sin(angle);
    const Sample cur = sample(HomVec4{wa * a.x + wb * b.x, wa * a.y + wb * b.y,
                                      wa * a.z + wb * b.z, wa * a.w + wb * b.w});
    const bool drawable = prev.at && cur.at && prev.upper == cur.upper && prev.depth > 0.0 &&
                          prev.depth < 1.0 && cur.depth > 0.0 && cur.depth < 1.0;
    if (drawable) {
      const double dx = cur.at->x - prev.at->x, dy = cur.at->y - prev.at->y;
      const double len = std::max(std::fabs(dx), std::fabs(dy));
      if (len < 4.0 * (width + height)) {
        any = true;
        const int n = std::max(1, static_cast<int>(std::ceil(len)));
        for (int j = 0; j <= n; ++j) {
          const double u = static_cast<double>(j) / n;
          const double z = prev.depth + (cur.depth - prev.depth) * u;
          plot(static_cast<int>(std::floor(prev.at->x + dx * u)),
               static_cast<int>(std::floor(prev.at->y + dy * u)), z);
        }
      }
    }
    prev = cur;
  }
  return any;
}

// What a walked pixel at scaled FS-depth z draws: the depth factor of the
// distance z stands for (z is single precision on both devices; a pixel's
// stored depth is the factor times its ray's length) and the fade that dims
// the line's colour with depth.
struct WalkedPixel {
  float k = 0.0f;
  float fade = 0.0f;
};

[[nodiscard]] inline WalkedPixel walkedPixel(const CameraBlock& cam, double z) noexcept {
  const double theta =
      cam.near_fs + static_cast<double>(static_cast<float>(z)) * (cam.far_fs - cam.near_fs);
  return WalkedPixel{depthFactor(theta, encodingScale(cam.near_fs)),
                     static_cast<float>(0.2 + 0.8 * std::pow(1.0 - z, 0.8))};
}

}  // namespace kova_device
