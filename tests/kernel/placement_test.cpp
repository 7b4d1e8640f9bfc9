// pglPlace and pglPlaceAlong: a rotation of S^3 whatever the input, carrying the
// origin's frame onto the Gram-Schmidt frame of (at, forward, up) and keeping
// distances; sliding along a geodesic composes and closes with a half-turn. The
// box and dodecahedron meshes: closed, wound outward, every edge of the length
// its shape gives, placed or not. The endpoint pairs of a geodesic polyline.
#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <numbers>
#include <random>
#include <span>
#include <utility>

#include <gtest/gtest.h>

#include "kova_kernel.hpp"

namespace {

using kova_kernel::fsDistance;
using kova_kernel::HomVec4;
using kova_kernel::PGL4;
using kova_kernel::pglPlace;
using kova_kernel::pglPlaceAlong;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr HomVec4 kOrigin{0, 0, 0, 1}, kView{0, 0, -1, 0}, kUp{0, 1, 0, 0}, kX{1, 0, 0, 0};

std::mt19937_64 rng(4242);
HomVec4 gaussian() {
  std::normal_distribution<double> n;
  return HomVec4::init(n(rng), n(rng), n(rng), n(rng));
}
double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }
// The largest entry difference, NaN as soon as one is NaN.
double gap(const PGL4& a, const PGL4& b) {
  double worst = 0.0;
  for (int e = 0; e < 16; ++e) {
    const double d = std::fabs(a.data[e] - b.data[e]);
    worst = d > worst || d != d ? d : worst;
  }
  return worst;
}

// Scales 1e-300 to 1e300, zero, infinite and NaN vectors, forward and up nearly
// or exactly in the span before them, any arc: always P^T P = I and det P = 1.
TEST(Placement, AlwaysARotation) {
  const double scales[] = {1e-150, 1e150, 1e-300, 1e300, 0.0, kInf, kNaN, 1.0, 1.0, 1.0};
  const auto pick = [&](HomVec4 v) { return v * scales[rng() % 10]; };
  for (int round = 0; round < 100000; ++round) {
    const HomVec4 at = pick(gaussian());
    const double tiny =
        std::ldexp(1.0, -static_cast<int>(rng() % 64)) * static_cast<double>(rng() % 2);
    const HomVec4 forward = rng() % 4 == 0 ? 3.0 * at + tiny * gaussian() : pick(gaussian());
    const HomVec4 up = rng() % 4 == 0 ? (at - forward) + tiny * gaussian() : pick(gaussian());
    const double arc = rng() % 4 == 0 ? scales[rng() % 7] : 20.0 * (gaussian().x);
    const PGL4 m = round % 2 == 0 ? pglPlace(at, forward, up) : pglPlaceAlong(at, forward, arc, up);
    ASSERT_LE(gap(m.transpose() * m, PGL4::identity()), 1e-12) << round;
    ASSERT_NEAR(m.det(), 1.0, 1e-12) << round;
  }
}

// Against Gram-Schmidt computed here, the same bits for forward and up scaled
// by 2^500 and 2^-500; fsDistance is kept; the transpose and PGL4::inverse undo it.
TEST(Placement, FrameIsGramSchmidtAndKeepsDistances) {
  for (int round = 0; round < 100000; ++round) {
    const HomVec4 at = gaussian(), forward = gaussian(), up = gaussian(), p = at.normalize();
    const HomVec4 f = (forward - forward.dot(p) * p).normalize(), u0 = up - up.dot(p) * p;
    const HomVec4 u = (u0 - u0.dot(f) * f).normalize();
    const PGL4 m = pglPlace(at, forward, up);
    // The reference loses digits when forward or up nearly lie in the span before them.
    if ((forward - forward.dot(p) * p).norm() < 1e-3 || (u0 - u0.dot(f) * f).norm() < 1e-3)
      continue;
    ASSERT_LE((m * kOrigin - p).norm() + (m * kView - f).norm() + (m * kUp - u).norm(), 1e-12);
    ASSERT_EQ(pglPlace(at, forward * 0x1p500, up * 0x1p-500), m) << round;
    const HomVec4 a = gaussian(), b = gaussian();
    ASSERT_NEAR(fsDistance(m * a, m * b), fsDistance(a, b), 1e-12);
    ASSERT_LE(gap(m * m.transpose(), PGL4::identity()), 1e-12) << round;
    ASSERT_LE(gap(m.inverse(0.0, 16) * m, PGL4::identity()), 1e-12) << round;
  }
}

TEST(Placement, FallbacksAreDocumentedFrames) {
  EXPECT_EQ(pglPlace({0, 0, 0, 7}, {0, 0, -0x1p-900, 0}, {0, 0x1p900, 0, 0}), PGL4::identity());
  for (const HomVec4 bad : {HomVec4{}, HomVec4{1e-16, 0, 0, 0}, HomVec4{kNaN, 1, 0, 0}})
    EXPECT_EQ(pglPlace(bad, kView, kUp), PGL4::identity());        // at is the origin
  EXPECT_EQ(pglPlace(kOrigin, kOrigin * 2.0, kUp) * kView, kX);    // forward along the eye
  EXPECT_EQ(pglPlace(kOrigin, kView, {0, 0, 3, 1}) * kUp, kX);     // up in their span
  EXPECT_EQ(pglPlace(kOrigin, kView, {kNaN, 0, 0, 0}) * kUp, kX);  // up not finite
}

// The origin goes along geodesicPoint, slides compose, after pi the frame is
// back turned half a turn about forward, and 24 placements along a closed line
// sit pi/24 apart; a degenerate direction or arc gives pglPlace's frame.
TEST(Placement, SlidingAlongAGeodesic) {
  constexpr double kPi = std::numbers::pi;
  // diag(1, 1, -1, -1), as a projective map the same as diag(-1, -1, 1, 1).
  const PGL4 half_turn =
      PGL4::fromRowMajor({{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, -1, 0}, {0, 0, 0, -1}}});
  for (int round = 0; round < 20000; ++round) {
    const HomVec4 from = gaussian(), dir = gaussian(), up = gaussian();
    const double a = 4.0 * gaussian().x, b = 4.0 * gaussian().x;
    const PGL4 pa = pglPlaceAlong(from, dir, a, up), placed = pglPlace(from, dir, up);
    ASSERT_LE((pa * kOrigin - kova_kernel::geodesicPoint(from, dir, a)).norm(), 1e-15);
    ASSERT_LE(
        gap(pglPlaceAlong(pa * kOrigin, pa * kView, b, up), pglPlaceAlong(from, dir, a + b, up)),
        1e-12);
    ASSERT_LE(gap(pglPlaceAlong(from, dir, kPi, up), placed * half_turn), 1e-12);
    ASSERT_LE(gap(pglPlaceAlong(from, dir, kNaN, up), placed), 1e-14);
    ASSERT_EQ(pglPlaceAlong(from, from * -3.0, a, up), pglPlace(from, from * -3.0, up));
  }
  for (int k = 0; k < 24; ++k) {
    const auto centre = [](int i) {
      return pglPlaceAlong(kOrigin, kX, i * kPi / 24, kUp) * kOrigin;
    };
    EXPECT_NEAR(fsDistance(centre(k), centre((k + 23) % 24)), kPi / 24, 1e-12);
  }
}

PGL4 rows(HomVec4 a, HomVec4 b, HomVec4 c, HomVec4 d) {
  return PGL4::fromRowMajor(
      {{{a.x, a.y, a.z, a.w}, {b.x, b.y, b.z, b.w}, {c.x, c.y, c.z, c.w}, {d.x, d.y, d.z, d.w}}});
}

// Indices in range; each directed edge used once and its reverse once (closed,
// consistently wound); det[centre; a; b; c] < 0, i.e. the four-dimensional cross
// product of the corners points away from the centre (outward); every edge of
// the length `expected` gives it, unplaced and placed, within 1e-12.
template <std::size_t V, std::size_t I>
void checkSolid(const std::array<HomVec4, V>& vertex, const std::array<std::uint32_t, I>& index,
                const PGL4& place, auto expected) {
  std::map<std::pair<std::uint32_t, std::uint32_t>, int> directed;
  for (std::size_t t = 0; t < I; t += 3) {
    for (std::size_t k = 0; k < 3; ++k) {
      const std::uint32_t i = index[t + k], j = index[t + (k + 1) % 3];
      ASSERT_LT(i, V);
      ++directed[{i, j}];
      ASSERT_NEAR(fsDistance(vertex[i], vertex[j]), expected(i, j), 1e-12) << i << " " << j;
      ASSERT_NEAR(fsDistance(place * vertex[i], place * vertex[j]), expected(i, j), 1e-12);
    }
    const auto corner = [&](std::size_t k) { return place * vertex[index[t + k]]; };
    ASSERT_LT(rows(place * kOrigin, corner(0), corner(1), corner(2)).det(), 0.0) << t;
  }
  for (const auto& [e, n] : directed) ASSERT_TRUE(n == 1 && directed.count({e.second, e.first}));
}

// Round 0 is the case that motivated pglPlace: a 0.04 cube carried 0.5 rad away.
TEST(Meshes, BoxesAndDodecahedraAreClosedOutwardAndKeepTheirEdges) {
  for (int round = 0; round < 2000; ++round) {
    const PGL4 place = round == 0 ? pglPlaceAlong(kOrigin, kX, 0.5, kUp)
                                  : pglPlace(gaussian(), gaussian(), gaussian());
    std::array<double, 3> h = {0.04, 0.04, 0.04};
    if (round > 0) h = {uniform(0.01, 0.5), uniform(0.01, 0.5), uniform(0.01, 0.5)};
    // Corners i, j differ in the signs of the bits of i ^ j: a chord of 2 sqrt(sum h^2) / n.
    // A negative half-extent counts as its magnitude.
    const double n = std::sqrt(1.0 + (h[0] * h[0] + h[1] * h[1] + h[2] * h[2]));
    const kova_kernel::BoxMesh box = kova_kernel::boxMesh(h[0], -h[1], h[2]);
    checkSolid(box.vertices, box.indices, place, [&](std::uint32_t i, std::uint32_t j) {
      double sq = 0.0;
      for (unsigned b = 0; b < 3; ++b) sq += (((i ^ j) >> b) & 1U) != 0 ? h[b] * h[b] : 0.0;
      return 2.0 * std::asin(std::sqrt(sq) / n);
    });
    // Vertices at distance r; pentagon sides of chord 2 sin(r) / (phi sqrt 3), diagonals phi
    // times that.
    const double r = uniform(0.01, 1.5),
                 side = std::sin(r) / (std::numbers::phi * std::numbers::sqrt3);
    const kova_kernel::DodecahedronMesh d = kova_kernel::dodecahedronMesh(r);
    for (const HomVec4 v : d.vertices)
      ASSERT_NEAR(fsDistance(place * v, place * kOrigin), r, 1e-12);
    checkSolid(d.vertices, d.indices, place, [&](std::uint32_t i, std::uint32_t j) {
      const bool is_side = (d.vertices[i] - d.vertices[j]).norm() < 2.6 * side;
      return 2.0 * std::asin(is_side ? side : std::numbers::phi * side);
    });
  }
  for (const double bad : {kNaN, -kInf}) {
    EXPECT_EQ(kova_kernel::boxMesh(bad, bad, bad).vertices[5], kOrigin);
    EXPECT_EQ(kova_kernel::dodecahedronMesh(bad).vertices[17], kOrigin);
  }
}

TEST(Meshes, GeodesicPolylinePairsConsecutivePoints) {
  std::array<HomVec4, 24> points;
  for (HomVec4& p : points) p = gaussian();
  for (int round = 0; round < 2000; ++round) {
    const std::size_t n = rng() % 25, room = rng() % 52;
    const bool closed = rng() % 2 == 0;
    std::array<HomVec4, 52> out;
    out.fill(HomVec4{7, 7, 7, 7});
    const std::size_t written = kova_kernel::geodesicPolyline(std::span(points).first(n), closed,
                                                              std::span(out).first(room));
    const std::size_t want = n < 2 ? 0 : 2 * (closed ? n : n - 1);
    ASSERT_EQ(written, want <= room ? want : 0);
    // Segment k joins points k and k + 1 (mod n); nothing beyond is written.
    for (std::size_t e = 0; e < out.size(); ++e)
      ASSERT_EQ(out[e], (e < written ? points[(e / 2 + e % 2) % n] : HomVec4{7, 7, 7, 7})) << e;
  }
}

}  // namespace
