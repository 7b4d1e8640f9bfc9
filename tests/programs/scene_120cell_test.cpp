// The 120-cell from its closed form: counts, distances, the symmetry that
// places the cells, and the elliptic quotient that tiles the space.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>
#include <random>
#include <set>

#include "scene_120cell.hpp"

namespace {

using kova_demo::HomVec4;

// Index of the vertex equal to v, or -1.
int find(const std::vector<HomVec4>& set, HomVec4 v) {
  for (std::size_t i = 0; i < set.size(); ++i) {
    const HomVec4 d{set[i].x - v.x, set[i].y - v.y, set[i].z - v.z, set[i].w - v.w};
    if (d.dot(d) < 1e-20) return static_cast<int>(i);
  }
  return -1;
}

TEST(Scene120Cell, OnTheSphereWithEqualEdgesAndFourNeighbours) {
  const auto p = kova_demo::make120Cell();
  ASSERT_EQ(p.vertices.size(), 600u);
  ASSERT_EQ(p.edges.size(), 1200u);
  ASSERT_EQ(p.cell_centres.size(), 120u);
  const double cos_edge = std::cos(kova_demo::cell120EdgeAngle());
  EXPECT_NEAR(cos_edge, (1.0 + 3.0 * std::sqrt(5.0)) / 8.0, 1e-15);
  EXPECT_NEAR(kova_demo::cell120EdgeAngle(), 0.27091852045622, 1e-12);

  std::vector<int> degree(600, 0);
  for (HomVec4 v : p.vertices) EXPECT_NEAR(v.dot(v), 1.0, 1e-15);
  for (auto [a, b] : p.edges) {
    EXPECT_NEAR(p.vertices[a].dot(p.vertices[b]), cos_edge, 1e-14);
    ++degree[a], ++degree[b];
  }
  EXPECT_TRUE(std::all_of(degree.begin(), degree.end(), [](int d) { return d == 4; }));
  // No two distinct vertices are closer than an edge: the edges are the nearest pairs.
  double closest = -1.0;
  for (std::size_t i = 0; i < 600; ++i)
    for (std::size_t j = i + 1; j < 600; ++j)
      closest = std::max(closest, p.vertices[i].dot(p.vertices[j]));
  EXPECT_NEAR(closest, cos_edge, 1e-14);
  // Antipodal closure.
  for (HomVec4 v : p.vertices) EXPECT_GE(find(p.vertices, HomVec4{-v.x, -v.y, -v.z, -v.w}), 0);

  // Each cell centre has exactly 20 nearest vertices, at the circumradius,
  // and left multiplication by the centre takes the cell around (0, 0, 0, 1)
  // onto that cell while mapping the whole vertex set onto itself.
  const double cos_circum = std::cos(kova_demo::cell120CircumAngle());
  std::vector<HomVec4> cell0;
  for (HomVec4 v : p.vertices)
    if (std::fabs(v.w - cos_circum) < 1e-12) cell0.push_back(v);
  ASSERT_EQ(cell0.size(), 20u);
  for (HomVec4 c : p.cell_centres) {
    std::vector<double> dots;
    for (HomVec4 v : p.vertices) dots.push_back(v.dot(c));
    std::sort(dots.rbegin(), dots.rend());
    EXPECT_NEAR(dots[0], cos_circum, 1e-14);
    EXPECT_NEAR(dots[19], cos_circum, 1e-14);
    EXPECT_LT(dots[20], cos_circum - 0.01);
    const auto m = kova_demo::leftMultiplication(c);
    EXPECT_NEAR(m.apply(HomVec4{0, 0, 0, 1}).dot(c), 1.0, 1e-15);
    std::set<int> image;
    for (HomVec4 v : p.vertices) image.insert(find(p.vertices, m.apply(v)));
    EXPECT_EQ(image.size(), 600u);
    EXPECT_EQ(image.count(-1), 0u);
    for (HomVec4 v : cell0) EXPECT_NEAR(m.apply(v).dot(c), cos_circum, 1e-14);
  }
}

TEST(Scene120Cell, EllipticQuotientTilesTheSpace) {
  const auto e = kova_demo::makeElliptic120Cell();
  ASSERT_EQ(e.vertices.size(), 300u);
  ASSERT_EQ(e.edges.size(), 600u);
  ASSERT_EQ(e.cell_centres.size(), 60u);
  std::vector<int> degree(300, 0);
  for (auto [a, b] : e.edges) ++degree[a], ++degree[b];
  EXPECT_TRUE(std::all_of(degree.begin(), degree.end(), [](int d) { return d == 4; }));
  // No two representatives are the same projective point.
  for (std::size_t i = 0; i < 300; ++i)
    for (std::size_t j = i + 1; j < 300; ++j)
      EXPECT_LT(std::fabs(e.vertices[i].dot(e.vertices[j])), 0.99);

  // Every point of space lies in a cell: within the circumradius of its
  // nearest centre; and, being the cells of a tiling, the 60 cells' share
  // of random points is even.
  std::mt19937_64 rng(15);
  std::normal_distribution<double> g;
  std::vector<int> hits(60, 0);
  constexpr int kSamples = 60000;
  double farthest = 0.0;
  for (int i = 0; i < kSamples; ++i) {
    const HomVec4 q = HomVec4{g(rng), g(rng), g(rng), g(rng)}.normalize();
    std::size_t best = 0;
    double best_dot = -1.0;
    for (std::size_t k = 0; k < 60; ++k) {
      const double d = std::fabs(q.dot(e.cell_centres[k]));
      if (d > best_dot) best_dot = d, best = k;
    }
    ++hits[best];
    farthest = std::max(farthest, std::acos(std::min(best_dot, 1.0)));
  }
  EXPECT_LE(farthest, kova_demo::cell120CircumAngle() + 1e-12);
  for (int h : hits) EXPECT_NEAR(h, kSamples / 60, 5 * std::sqrt(kSamples / 60.0));
}

TEST(Scene120Cell, CellMeshIsAClosedDodecahedron) {
  for (double scale : {1.0, 0.45}) {
    const auto mesh = kova_demo::makeCellMesh(scale);
    ASSERT_EQ(mesh.vertices.size(), 20u);
    ASSERT_EQ(mesh.indices.size(), 108u);
    const double expected = std::atan(scale * std::tan(kova_demo::cell120CircumAngle()));
    for (HomVec4 v : mesh.vertices) {
      EXPECT_NEAR(v.dot(v), 1.0, 1e-15);
      EXPECT_NEAR(std::acos(v.w), expected, 1e-12);
    }
    // Closed: every edge is shared by exactly two triangles, traversed in
    // opposite directions (consistent orientation), and no triangle is flat.
    std::map<std::pair<std::uint32_t, std::uint32_t>, int> directed;
    for (std::size_t t = 0; t < 36; ++t) {
      const std::uint32_t* i = &mesh.indices[t * 3];
      for (int k = 0; k < 3; ++k) ++directed[{i[k], i[(k + 1) % 3]}];
      const HomVec4 a = mesh.vertices[i[0]], b = mesh.vertices[i[1]], c = mesh.vertices[i[2]];
      EXPECT_GT(std::fabs(a.dot(b)), 0.0);
      EXPECT_LT(a.dot(b), 1.0 - 1e-6);
      EXPECT_LT(a.dot(c), 1.0 - 1e-6);
    }
    for (const auto& [edge, count] : directed) {
      EXPECT_EQ(count, 1);
      EXPECT_EQ(directed.count({edge.second, edge.first}), 1u);
    }
    EXPECT_EQ(directed.size(), 108u);
  }
}

}  // namespace
