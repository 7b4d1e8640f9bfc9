// Meshes around the origin for the projective triangle pipeline (a box and a
// regular dodecahedron) and the endpoint pairs of a geodesic polyline.
#include <algorithm>
#include <cmath>
#include <numbers>

#include "kova_kernel.hpp"

namespace kova_kernel {

namespace {

// Two triangles per face, faces -x, +x, -y, +y, -z, +z; corner i has the + sign
// of x, y, z where bit 0, 1, 2 of i is set. Each face quad runs
// counter-clockwise seen from outside and is split along its diagonal from
// its lowest-numbered corner.
constexpr std::array<std::uint32_t, 36> kBoxIndices = {
    0, 4, 6, 0, 6, 2,  // -x
    1, 3, 7, 1, 7, 5,  // +x
    0, 1, 5, 0, 5, 4,  // -y
    2, 6, 7, 2, 7, 3,  // +y
    0, 2, 3, 0, 3, 1,  // -z
    4, 5, 7, 4, 7, 6,  // +z
};

// The twelve pentagons, each counter-clockwise seen from outside and starting
// at its lowest-numbered vertex, fanned into three triangles.
constexpr std::array<std::uint32_t, 108> kDodecahedronIndices = {
    0, 12, 4,  0, 4,  18, 0, 18, 16,  // pentagon 0, 12, 4, 18, 16
    2, 16, 18, 2, 18, 6,  2, 6,  14,  // pentagon 2, 16, 18, 6, 14
    0, 16, 2,  0, 2,  9,  0, 9,  8,   // pentagon 0, 16, 2, 9, 8
    4, 10, 11, 4, 11, 6,  4, 6,  18,  // pentagon 4, 10, 11, 6, 18
    0, 8,  1,  0, 1,  13, 0, 13, 12,  // pentagon 0, 8, 1, 13, 12
    4, 12, 13, 4, 13, 5,  4, 5,  10,  // pentagon 4, 12, 13, 5, 10
    2, 14, 15, 2, 15, 3,  2, 3,  9,   // pentagon 2, 14, 15, 3, 9
    6, 11, 7,  6, 7,  15, 6, 15, 14,  // pentagon 6, 11, 7, 15, 14
    1, 8,  9,  1, 9,  3,  1, 3,  17,  // pentagon 1, 8, 9, 3, 17
    5, 19, 7,  5, 7,  11, 5, 11, 10,  // pentagon 5, 19, 7, 11, 10
    1, 17, 19, 1, 19, 5,  1, 5,  13,  // pentagon 1, 17, 19, 5, 13
    3, 15, 7,  3, 7,  19, 3, 19, 17,  // pentagon 3, 15, 7, 19, 17
};

// -1 or +1 by bit `bit` of i.
constexpr double signOf(std::size_t i, unsigned bit) noexcept {
  return ((i >> bit) & 1U) != 0 ? 1.0 : -1.0;
}

double usableExtent(double h) noexcept { return std::isfinite(h) ? std::fabs(h) : 0.0; }

}  // namespace

BoxMesh boxMesh(double half_x, double half_y, double half_z) noexcept {
  const double hx = usableExtent(half_x);
  const double hy = usableExtent(half_y);
  const double hz = usableExtent(half_z);
  BoxMesh mesh;
  for (std::size_t i = 0; i < 8; ++i) {
    mesh.vertices[i] =
        HomVec4::init(signOf(i, 0) * hx, signOf(i, 1) * hy, signOf(i, 2) * hz, 1.0).normalize();
  }
  mesh.indices = kBoxIndices;
  return mesh;
}

DodecahedronMesh dodecahedronMesh(double circumradius) noexcept {
  // std::clamp would keep a NaN; the comparisons below turn it into 0.
  const double r = circumradius > 0.0 ? std::min(circumradius, std::numbers::pi / 2.0) : 0.0;
  const double c = std::cos(r);
  // Every direction below has length sqrt 3 before this scale.
  const double s = std::sin(r) / std::numbers::sqrt3;
  const double big = std::numbers::phi * s;
  const double small = (std::numbers::phi - 1.0) * s;  // 1/phi = phi - 1
  DodecahedronMesh mesh;
  for (std::size_t i = 0; i < 4; ++i) {
    const double a = signOf(i, 0);
    const double b = signOf(i, 1);
    mesh.vertices[i] = HomVec4::init(a * s, b * s, -s, c);
    mesh.vertices[i + 4] = HomVec4::init(a * s, b * s, s, c);
    mesh.vertices[i + 8] = HomVec4::init(0.0, a * small, b * big, c);
    mesh.vertices[i + 12] = HomVec4::init(a * small, b * big, 0.0, c);
    mesh.vertices[i + 16] = HomVec4::init(a * big, 0.0, b * small, c);
  }
  mesh.indices = kDodecahedronIndices;
  return mesh;
}

std::size_t geodesicPolyline(std::span<const HomVec4> points, bool closed,
                             std::span<HomVec4> out) noexcept {
  const std::size_t n = points.size();
  if (n < 2) return 0;
  const std::size_t segments = closed ? n : n - 1;
  if (out.size() / 2 < segments) return 0;
  for (std::size_t k = 0; k < segments; ++k) {
    out[2 * k] = points[k];
    out[2 * k + 1] = points[k + 1 == n ? 0 : k + 1];
  }
  return 2 * segments;
}

}  // namespace kova_kernel
