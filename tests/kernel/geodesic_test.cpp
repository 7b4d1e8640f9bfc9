// Vector arithmetic on HomVec4, the facing representative, and geodesics:
// points along a great circle and interpolation along the shorter arc.
#include <cmath>
#include <numbers>
#include <random>

#include <gtest/gtest.h>

#include "kova_kernel.hpp"

namespace {

using kova_kernel::HomVec4;

constexpr HomVec4 kA{1, -2, 3, 0.5};
constexpr HomVec4 kB{0.25, 4, -1, 2};
static_assert(kA + kB == HomVec4{1.25, 2, 2, 2.5} && kA - kB == HomVec4{0.75, -6, 4, -1.5});
static_assert(-kA == HomVec4{-1, 2, -3, -0.5} && 2.0 * kA == kA * 2.0 && kA * 2.0 == kA + kA);
static_assert(kA.facing(kB) == -kA && (-kA).facing(kB) == -kA && kB.facing(kB) == kB);
static_assert(HomVec4{0, 0, 1, 0}.facing(HomVec4{1, 0, 0, 0}) ==
              HomVec4{0, 0, 1, 0});  // dot 0 keeps

HomVec4 gaussian(std::mt19937_64& rng) {
  std::normal_distribution<double> n;
  return HomVec4::init(n(rng), n(rng), n(rng), n(rng));
}

// The Fubini-Study distance computed stably near 0 as well: twice the half-angle
// between unit representatives facing each other.
double accurateDistance(HomVec4 a, HomVec4 b) {
  const HomVec4 ua = a.normalize();
  const HomVec4 ub = b.normalize().facing(ua);
  return 2.0 * std::atan2((ua - ub).norm(), (ua + ub).norm());
}

TEST(Geodesic, PointsLieAtTheirArcAlongTheDirection) {
  std::mt19937_64 rng(1101);
  std::uniform_real_distribution<double> arc_of(-std::numbers::pi / 2, std::numbers::pi / 2);
  for (int i = 0; i < 20000; ++i) {
    const HomVec4 from = gaussian(rng);
    const HomVec4 dir = gaussian(rng);
    const double arc = arc_of(rng);
    const HomVec4 q = kova_kernel::geodesicPoint(from, dir, arc);
    ASSERT_NEAR(q.norm(), 1.0, 1e-15);
    ASSERT_NEAR(accurateDistance(from, q), std::fabs(arc), 1e-14);
    // Moving towards the direction: the tangent part of q points along it.
    const HomVec4 p = from.normalize();
    const HomVec4 tangent = dir - dir.dot(p) * p;
    ASSERT_GE(q.dot(tangent) * arc, 0.0);
    // Scale-invariant in both vectors, far beyond where squares overflow.
    const HomVec4 scaled = kova_kernel::geodesicPoint(from * 1e250, dir * 1e-200, arc);
    ASSERT_NEAR((scaled - q).norm(), 0.0, 1e-14);
  }
  // No usable direction: the start itself, on the sphere.
  const HomVec4 from{0, 3, 0, 4};
  EXPECT_EQ(kova_kernel::geodesicPoint(from, from * -2.0, 1.0), from.normalize());
  EXPECT_EQ(kova_kernel::geodesicPoint(from, HomVec4{}, 1.0), from.normalize());
  EXPECT_EQ(kova_kernel::geodesicPoint(from, HomVec4{NAN, 0, 0, 0}, 1.0), from.normalize());
}

TEST(Geodesic, LerpSplitsTheShorterArc) {
  std::mt19937_64 rng(1102);
  std::uniform_real_distribution<double> t_of(0.0, 1.0);
  for (int i = 0; i < 20000; ++i) {
    const HomVec4 a = gaussian(rng);
    // Every fourth pair nearly the same point, down to where the chord takes over.
    const HomVec4 b =
        i % 4 == 0 ? a * -3.0 + gaussian(rng) * std::ldexp(1.0, -(i % 60)) : gaussian(rng);
    const double t = t_of(rng);
    const double whole = accurateDistance(a, b);
    const HomVec4 q = kova_kernel::geodesicLerp(a, b, t);
    ASSERT_NEAR(q.norm(), 1.0, 1e-15);
    ASSERT_NEAR(accurateDistance(a, q), t * whole, 1e-14);
    ASSERT_NEAR(accurateDistance(q, b), (1.0 - t) * whole, 1e-14);
    ASSERT_NEAR(accurateDistance(kova_kernel::geodesicLerp(a, b, 0.0), a), 0.0, 1e-15);
    ASSERT_NEAR(accurateDistance(kova_kernel::geodesicLerp(a, b, 1.0), b), 0.0, 1e-15);
    // The other representative of b is the same point, so the same path.
    const HomVec4 q_neg = kova_kernel::geodesicLerp(a, -b, t);
    ASSERT_NEAR((q_neg - q).norm(), 0.0, 1e-14);
  }
}

}  // namespace
