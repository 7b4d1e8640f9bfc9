// Tile light culling, the first built-in compute kernel: for each tile of
// tile_size x tile_size pixels, the lights whose range reaches what the tile
// shows, at most max_lights_per_tile of them, the nearest kept.
//
// What a tile shows. Every point is drawn at its representative facing
// forward, so a pixel shows its whole projective line through the eye
// E = (0, 0, 0, 1), ahead and behind; a tile shows the lines whose direction
// D = (sx tan_h, sy tan_v, -1, 0) lies in the pyramid over its pixel edges.
// The Fubini-Study distance d from a unit light L = (v, w) to that set has
// cos^2 d = w^2 + m^2 and sin^2 d = |v|^2 - m^2, where m is the largest
// |v . D| over unit D in the pyramid: |v| when +-v lies inside, else the
// longest projection of +-v onto a face or an edge that lands there. A light
// reaches the tile when d < range (tan^2 d < tan^2 range, no square roots
// and no arc functions). Lights are ranked by their key, tan^2 d rounded to
// single precision, then by index: a total order, so the lights a full list
// keeps, the max_lights_per_tile first in that order, do not depend on the
// order anything visits them in. The GPU twin ranks them in parallel.
//
// The kernel runs in single precision, every sum in the order written here;
// shaders/tile_lights.comp is its twin and gives the same lists. A tile's
// record in the output storage buffer is max_lights_per_tile + 1 values:
// the count, then the light indices in increasing order, then -1 in the
// unused places.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "kova_device_layouts.hpp"

namespace kova_device {

// The built-in compute kernels a device creates pipelines for
// (createComputePipeline); the same kernel runs as SPIR-V on Vulkan and as
// C++ on the CPU device.
// deferred_lighting lights a G-buffer (kova_deferred.hpp).
enum class BuiltinKernel : std::uint8_t { tile_light_culling = 0, deferred_lighting = 1 };

// A tile light culling dispatch reads, from the pass's uniform bindings:
//   0  the camera block (an isometric view): the lights are seen through
//      its view, the tiles through its tan_h and tan_v;
//   1  a storage buffer the host wrote with the grid: width, height,
//      tile_size, max_lights_per_tile (whole numbers);
//   2  the light buffer (kova_device_lights.hpp);
//   3  the storage buffer of tile records it writes, tile (x, y) at
//      (y * tilesX + x) * (max_lights_per_tile + 1).
// Group (x, y, 0) computes tile (x, y); group_count_z is 1.
struct TileGrid {
  std::uint32_t width = 0, height = 0;
  std::uint32_t tile_size = 16;
  std::uint32_t max_lights_per_tile = 256;

  [[nodiscard]] constexpr std::uint32_t tilesX() const noexcept {
    return (width + tile_size - 1) / tile_size;
  }
  [[nodiscard]] constexpr std::uint32_t tilesY() const noexcept {
    return (height + tile_size - 1) / tile_size;
  }
  [[nodiscard]] constexpr std::uint64_t recordValues() const noexcept {
    return std::uint64_t{max_lights_per_tile} + 1;
  }
  [[nodiscard]] constexpr std::uint64_t outputValues() const noexcept {
    return std::uint64_t{tilesX()} * tilesY() * recordValues();
  }
};
inline constexpr std::size_t kTileGridValues = 4;
inline constexpr std::uint32_t kMaxTileGridSide = 16384;

namespace tile_culling {

struct V3 {
  float x = 0.0f, y = 0.0f, z = 0.0f;
};
inline float dot(V3 a, V3 b) noexcept { return (a.x * b.x + a.y * b.y) + a.z * b.z; }
inline V3 cross(V3 a, V3 b) noexcept {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// The pyramid of a tile: its four edge directions and inward face normals.
struct Pyramid {
  std::array<V3, 4> e{};
  std::array<V3, 4> n{};
  std::array<V3, 4> span{};  // e[f] x e[f + 1]: q = a e[f] + b e[f + 1] has a, b >= 0 when
                             // (e[f] x q) . span >= 0 and (q x e[f + 1]) . span >= 0
  std::array<float, 4> ee{}, nn{};
};

inline Pyramid pyramid(const TileGrid& g, float tan_h, float tan_v, std::uint32_t tx,
                       std::uint32_t ty) noexcept {
  const std::uint32_t px0 = tx * g.tile_size, py0 = ty * g.tile_size;
  const std::uint32_t px1 = std::min(px0 + g.tile_size, g.width);
  const std::uint32_t py1 = std::min(py0 + g.tile_size, g.height);
  const float w = static_cast<float>(g.width), h = static_cast<float>(g.height);
  const float sx0 = (2.0f * static_cast<float>(px0)) / w - 1.0f;
  const float sx1 = (2.0f * static_cast<float>(px1)) / w - 1.0f;
  const float sy0 = 1.0f - (2.0f * static_cast<float>(py0)) / h;
  const float sy1 = 1.0f - (2.0f * static_cast<float>(py1)) / h;
  Pyramid p;
  p.e = {V3{sx0 * tan_h, sy0 * tan_v, -1.0f}, V3{sx1 * tan_h, sy0 * tan_v, -1.0f},
         V3{sx1 * tan_h, sy1 * tan_v, -1.0f}, V3{sx0 * tan_h, sy1 * tan_v, -1.0f}};
  const V3 c{((p.e[0].x + p.e[1].x) + p.e[2].x) + p.e[3].x,
             ((p.e[0].y + p.e[1].y) + p.e[2].y) + p.e[3].y, -4.0f};
  for (std::size_t f = 0; f < 4; ++f) {
    V3 n = cross(p.e[f], p.e[(f + 1) % 4]);
    p.span[f] = n;
    if (dot(n, c) < 0.0f) n = V3{-n.x, -n.y, -n.z};
    p.n[f] = n;
    p.nn[f] = dot(n, n);
    p.ee[f] = dot(p.e[f], p.e[f]);
  }
  return p;
}

// The largest (a . D)^2 over unit D in the pyramid with a . D >= 0.
inline float reach2(const Pyramid& p, V3 a) noexcept {
  const float aa = dot(a, a);
  bool inside = true;
  for (std::size_t f = 0; f < 4; ++f) inside = inside && dot(a, p.n[f]) >= 0.0f;
  if (inside) return aa;
  float best = 0.0f;
  for (std::size_t f = 0; f < 4; ++f) {
    const V3 n = p.n[f];
    const float k = dot(a, n) / p.nn[f];
    const V3 q{a.x - k * n.x, a.y - k * n.y, a.z - k * n.z};
    const bool in_face = dot(cross(p.e[f], q), p.span[f]) >= 0.0f &&
                         dot(cross(q, p.e[(f + 1) % 4]), p.span[f]) >= 0.0f;
    if (in_face) best = std::max(best, dot(q, q));
    const float ae = dot(a, p.e[f]);
    if (ae > 0.0f) best = std::max(best, (ae * ae) / p.ee[f]);
  }
  return best;
}

// sin^2 and cos^2 of a light's distance from the tile's lines.
struct Parts {
  float s2 = 0.0f, c2 = 1.0f;
};
inline Parts parts(const Pyramid& p, const LightGpu& l) noexcept {
  const V3 v{l.position[0], l.position[1], l.position[2]};
  const float w = l.position[3];
  const float m2 = std::max(reach2(p, v), reach2(p, V3{-v.x, -v.y, -v.z}));
  const float s2 = std::max(dot(v, v) - m2, 0.0f);
  return Parts{s2, w * w + m2};
}

// Whether the range reaches distance d: d < range, with range's cosine and
// sine from the record (range[1], range[2]); every range from pi / 2 on
// reaches every point.
inline bool reaches(const Parts& d, const LightGpu& l) noexcept {
  const float cr = l.range[1], sr = l.range[2];
  if (!(cr > 0.0f)) return true;
  return d.s2 * (cr * cr) < d.c2 * (sr * sr);
}

// A light's rank: the bits of tan^2 d (+inf at d = pi / 2) above its index,
// so that comparing ranks compares keys, then indices. The sign bit is
// cleared: a key of -0 ranks as 0.
inline std::uint64_t rank(const Parts& d, std::uint32_t index) noexcept {
  const float key = d.s2 / d.c2;
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(key) & 0x7FFFFFFFu;
  return (std::uint64_t{bits} << 32) | index;
}

}  // namespace tile_culling

// The list of tile (tx, ty): the reaching lights, at most
// max_lights_per_tile, the nearest kept, in increasing index order.
[[nodiscard]] inline std::vector<std::uint32_t> tileLightList(const TileGrid& g, float tan_h,
                                                              float tan_v, std::uint32_t tx,
                                                              std::uint32_t ty,
                                                              std::span<const LightGpu> lights) {
  using namespace tile_culling;
  const Pyramid p = pyramid(g, tan_h, tan_v, tx, ty);
  std::vector<std::uint32_t> list;
  std::vector<std::uint64_t> ranks;
  for (std::uint32_t i = 0; i < lights.size(); ++i) {
    const Parts d = parts(p, lights[i]);
    if (!reaches(d, lights[i])) continue;
    list.push_back(i);
    ranks.push_back(rank(d, i));
  }
  if (list.size() > g.max_lights_per_tile) {
    // Full: keep the lights ranked up to the max_lights_per_tile-th.
    std::vector<std::uint64_t> order = ranks;
    const auto last = order.begin() + (g.max_lights_per_tile - 1);
    std::nth_element(order.begin(), last, order.end());
    std::size_t kept = 0;
    for (std::size_t k = 0; k < list.size(); ++k)
      if (ranks[k] <= *last) list[kept++] = list[k];
    list.resize(kept);
  }
  return list;
}

// Forward+ shading reads the lists back: the whole number a list value
// holds, when it is one in [0, 2^21) (not -0), else -1. The lists may come
// from anywhere (a host can write any values), so every value is judged.
[[nodiscard]] inline std::int64_t wholeIn(double v) noexcept {
  if (std::signbit(v) || !(v < 2097152.0) || v != std::floor(v)) return -1;
  return static_cast<std::int64_t>(v);
}

// The lights that the list of the tile holding pixel (px, py) names, in
// list order: the count is capped at max_lights_per_tile (anything but a
// whole number counts as 0), and entries that name no light are skipped.
template <class Visit>
void forTileLights(std::span<const double> lists, const TileGrid& g, std::uint32_t px,
                   std::uint32_t py, std::size_t light_count, Visit&& visit) {
  const std::uint64_t tile = std::uint64_t{py / g.tile_size} * g.tilesX() + px / g.tile_size;
  const std::uint64_t base = tile * g.recordValues();
  const std::int64_t n = wholeIn(lists[base]);
  const std::uint64_t count =
      n < 0 ? 0 : std::min<std::uint64_t>(static_cast<std::uint64_t>(n), g.max_lights_per_tile);
  for (std::uint64_t k = 0; k < count; ++k) {
    const std::int64_t i = wholeIn(lists[base + 1 + k]);
    if (i >= 0 && static_cast<std::uint64_t>(i) < light_count) visit(static_cast<std::size_t>(i));
  }
}

}  // namespace kova_device
