#include "scene_120cell.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kova_demo {
namespace {

constexpr double kPhi = std::numbers::phi;

// All sign choices of v's non-zero coordinates.
std::vector<std::array<double, 4>> signChoices(const std::array<double, 4>& v) {
  std::vector<std::array<double, 4>> out;
  for (int mask = 0; mask < 16; ++mask) {
    bool repeat = false;
    std::array<double, 4> s = v;
    for (int i = 0; i < 4; ++i) {
      if ((mask >> i & 1) == 0) continue;
      if (v[static_cast<std::size_t>(i)] == 0.0) repeat = true;
      s[static_cast<std::size_t>(i)] = -s[static_cast<std::size_t>(i)];
    }
    if (!repeat) out.push_back(s);
  }
  return out;
}

// Permutations of four coordinates: all of them, or only those of the given
// parity (0 even, 1 odd). Repeated values give repeated results; the caller
// removes duplicates.
std::vector<std::array<double, 4>> permutations(const std::array<double, 4>& v, int parity) {
  std::array<int, 4> p{0, 1, 2, 3};
  std::vector<std::array<double, 4>> out;
  do {
    int inversions = 0;
    for (int i = 0; i < 4; ++i)
      for (int j = i + 1; j < 4; ++j)
        inversions += p[static_cast<std::size_t>(i)] > p[static_cast<std::size_t>(j)];
    if (parity >= 0 && inversions % 2 != parity) continue;
    out.push_back({v[static_cast<std::size_t>(p[0])], v[static_cast<std::size_t>(p[1])],
                   v[static_cast<std::size_t>(p[2])], v[static_cast<std::size_t>(p[3])]});
  } while (std::next_permutation(p.begin(), p.end()));
  return out;
}

// Adds every signed permutation of `base` (of one parity, or all when parity
// is -1), scaled by `scale`, unless already present.
void addFamily(std::vector<HomVec4>& out, std::array<double, 4> base, int parity, double scale) {
  for (const auto& s : signChoices(base)) {
    for (const auto& p : permutations(s, parity)) {
      const HomVec4 v{p[0] * scale, p[1] * scale, p[2] * scale, p[3] * scale};
      const bool seen = std::any_of(out.begin(), out.end(), [&](HomVec4 u) {
        return std::fabs(u.x - v.x) + std::fabs(u.y - v.y) + std::fabs(u.z - v.z) +
                   std::fabs(u.w - v.w) <
               1e-12;
      });
      if (!seen) out.push_back(v);
    }
  }
}

// True for the representative kept in elliptic space: the first non-zero
// coordinate, read from w down to x, is positive.
bool isKeptRepresentative(HomVec4 v) noexcept {
  for (double c : {v.w, v.z, v.y, v.x}) {
    if (std::fabs(c) > 1e-12) return c > 0.0;
  }
  return false;
}

std::vector<std::array<std::uint32_t, 2>> edgesAtAngle(const std::vector<HomVec4>& v,
                                                       double cos_edge, bool projective) {
  std::vector<std::array<std::uint32_t, 2>> edges;
  for (std::uint32_t i = 0; i < v.size(); ++i) {
    for (std::uint32_t j = i + 1; j < v.size(); ++j) {
      const double d = v[i].dot(v[j]);
      if (std::fabs((projective ? std::fabs(d) : d) - cos_edge) < 1e-9) edges.push_back({i, j});
    }
  }
  return edges;
}

}  // namespace

double cell120EdgeAngle() noexcept { return std::acos((1.0 + 3.0 * std::sqrt(5.0)) / 8.0); }

double cell120CircumAngle() noexcept {
  // The cell around (0, 0, 0, 1) has the 20 vertices with the largest w: phi^2 / sqrt 8.
  return std::acos(kPhi * kPhi / std::sqrt(8.0));
}

Polytope make120Cell() {
  Polytope p;
  const double s = 1.0 / std::sqrt(8.0);  // the coordinates below lie on radius sqrt 8
  const double s5 = std::sqrt(5.0);
  const double ip = 1.0 / kPhi, ip2 = ip * ip, p2 = kPhi * kPhi;
  p.vertices.reserve(600);
  addFamily(p.vertices, {0, 0, 2, 2}, -1, s);             // 24
  addFamily(p.vertices, {1, 1, 1, s5}, -1, s);            // 64
  addFamily(p.vertices, {ip2, kPhi, kPhi, kPhi}, -1, s);  // 64
  addFamily(p.vertices, {ip, ip, ip, p2}, -1, s);         // 64
  // Odd permutations, so that the cells sit around the quaternion group below.
  addFamily(p.vertices, {0, ip2, 1, p2}, 1, s);    // 96
  addFamily(p.vertices, {0, ip, kPhi, s5}, 1, s);  // 96
  addFamily(p.vertices, {ip, 1, kPhi, 2}, 1, s);   // 192
  p.edges = edgesAtAngle(p.vertices, (1.0 + 3.0 * s5) / 8.0, false);

  // The binary icosahedral group: 8 + 16 + 96 unit quaternions.
  addFamily(p.cell_centres, {1, 0, 0, 0}, -1, 1.0);
  addFamily(p.cell_centres, {0.5, 0.5, 0.5, 0.5}, -1, 1.0);
  addFamily(p.cell_centres, {kPhi / 2, 0.5, ip / 2, 0}, 0, 1.0);
  return p;
}

Polytope makeElliptic120Cell() {
  const Polytope full = make120Cell();
  Polytope p;
  for (HomVec4 v : full.vertices)
    if (isKeptRepresentative(v)) p.vertices.push_back(v);
  for (HomVec4 c : full.cell_centres)
    if (isKeptRepresentative(c)) p.cell_centres.push_back(c);
  p.edges = edgesAtAngle(p.vertices, (1.0 + 3.0 * std::sqrt(5.0)) / 8.0, true);
  return p;
}

PGL4 leftMultiplication(HomVec4 q) noexcept {
  // (a + b i + c j + d k)(w + x i + y j + z k), with a = q.w, b = q.x, c = q.y, d = q.z.
  const double a = q.w, b = q.x, c = q.y, d = q.z;
  const double m[4][4] = {{a, -d, c, b},     // x' = a x - d y + c z + b w
                          {d, a, -b, c},     // y' = d x + a y - b z + c w
                          {-c, b, a, d},     // z' = -c x + b y + a z + d w
                          {-b, -c, -d, a}};  // w' = -b x - c y - d z + a w
  PGL4 out{};
  for (std::size_t r = 0; r < 4; ++r)
    for (std::size_t col = 0; col < 4; ++col) out.set(r, col, m[r][col]);
  return out;
}

Mesh makeCellMesh(double scale) {
  const Polytope full = make120Cell();
  const HomVec4 centre{0.0, 0.0, 0.0, 1.0};
  const double cos_circum = std::cos(cell120CircumAngle());
  std::vector<HomVec4> corners;
  for (HomVec4 v : full.vertices)
    if (std::fabs(v.dot(centre) - cos_circum) < 1e-9) corners.push_back(v);

  Mesh mesh;
  for (HomVec4 v : corners)
    mesh.vertices.push_back(HomVec4{scale * v.x, scale * v.y, scale * v.z, v.w}.normalize());

  // A face is shared with one of the 12 neighbouring cells (centres at pi/5):
  // its 5 corners are the cell's corners nearest to that neighbour's centre.
  const double cos_neighbour = std::cos(std::numbers::pi / 5.0);
  for (HomVec4 n : full.cell_centres) {
    if (std::fabs(n.dot(centre) - cos_neighbour) > 1e-9) continue;
    double best = -2.0;
    for (HomVec4 v : corners) best = std::max(best, v.dot(n));
    std::vector<std::uint32_t> face;
    for (std::uint32_t i = 0; i < corners.size(); ++i)
      if (corners[i].dot(n) > best - 1e-9) face.push_back(i);
    // Order the 5 corners around the face: angles in the face's plane,
    // seen from the face centre in the gnomonic chart at the cell's centre.
    double cx = 0, cy = 0, cz = 0;
    for (std::uint32_t i : face)
      cx += corners[i].x / corners[i].w, cy += corners[i].y / corners[i].w,
          cz += corners[i].z / corners[i].w;
    cx /= 5, cy /= 5, cz /= 5;
    const HomVec4 u = HomVec4{corners[face[0]].x / corners[face[0]].w - cx,
                              corners[face[0]].y / corners[face[0]].w - cy,
                              corners[face[0]].z / corners[face[0]].w - cz, 0.0}
                          .normalize();
    const HomVec4 nn = HomVec4{cx, cy, cz, 0.0}.normalize();
    const HomVec4 v{nn.y * u.z - nn.z * u.y, nn.z * u.x - nn.x * u.z, nn.x * u.y - nn.y * u.x, 0.0};
    std::sort(face.begin(), face.end(), [&](std::uint32_t i, std::uint32_t j) {
      const auto angle = [&](std::uint32_t k) {
        const double px = corners[k].x / corners[k].w - cx, py = corners[k].y / corners[k].w - cy,
                     pz = corners[k].z / corners[k].w - cz;
        return std::atan2(px * v.x + py * v.y + pz * v.z, px * u.x + py * u.y + pz * u.z);
      };
      return angle(i) < angle(j);
    });
    for (std::uint32_t t = 1; t + 1 < 5; ++t) {
      mesh.indices.push_back(face[0]);
      mesh.indices.push_back(face[t]);
      mesh.indices.push_back(face[t + 1]);
    }
  }
  return mesh;
}

}  // namespace kova_demo
