// The demo's world: points spread over the 3-sphere (a uniform background and
// clusters with bounding balls) and a few geodesics, generated from a seed.
#pragma once

#include <cstdint>
#include <vector>

#include "kova_kernel.hpp"

namespace kova_demo {

using kova_kernel::HomVec4;

// A group of points with a ball of Fubini-Study radius that contains them all.
struct Cluster {
  HomVec4 center{};     // unit norm, w > 0
  double radius = 0.0;  // radians
  std::uint32_t first = 0;
  std::uint32_t count = 0;
};

// Geodesic arcs between consecutive pairs of points, drawn in one colour.
struct GeodesicSet {
  std::vector<HomVec4> points;  // arc k joins points[2k] and points[2k + 1]
  float r = 1.0f, g = 1.0f, b = 1.0f;
};

struct Scene {
  // Unit 4-vectors, each stored with a random sign: a point and its antipode
  // are the same point, and the host picks the visible representative.
  std::vector<HomVec4> positions;
  // Cluster index of each position, or -1 for the background.
  std::vector<std::int32_t> object;
  std::vector<Cluster> clusters;  // cluster k holds positions [first, first + count)
  std::vector<GeodesicSet> geodesics;
};

// The eye of the demo camera; the scene places its clusters around the view
// from here along -z.
inline constexpr HomVec4 kEye{0.0, 0.0, 0.0, 1.0};

// `count` points: about a third in 24 clusters (half of them ahead of the
// camera), the rest uniform on the 3-sphere. Deterministic for a given seed.
[[nodiscard]] Scene makeScene(std::uint32_t count, std::uint64_t seed);

}  // namespace kova_demo
