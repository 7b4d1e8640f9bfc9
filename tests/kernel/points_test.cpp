// Homogeneous points: construction, dehomogenisation, norm, dot, normalisation,
// projective equality and chart choice.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "kova_kernel.hpp"
#include "kova_test_bits.hpp"

namespace {

using kova_kernel::AffineCard;
using kova_kernel::HomVec4;
using kova_test::sameBits;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(HomVec4, CartesianDividesByWOrReturnsTheDirectionAtInfinity) {
  const auto p = HomVec4::fromCartesian(3, 4, 5);
  EXPECT_TRUE(sameBits(p, HomVec4::init(3, 4, 5, 1)));
  EXPECT_EQ(p.cartesian3(), (std::array<double, 3>{3, 4, 5}));
  EXPECT_EQ(HomVec4::init(2, 4, 6, 2).cartesian3(), (std::array<double, 3>{1, 2, 3}));

  // |w| strictly below W_EPS is at infinity: divide by the four-coordinate norm.
  const HomVec4 far = HomVec4::init(2, 0, 0, 1e-7);
  EXPECT_EQ(far.cartesian3()[0], 2.0 / far.norm());
  EXPECT_LT(far.cartesian3()[0], 1.0 + 1e-12);
  // |w| exactly W_EPS is still divided by.
  EXPECT_EQ(HomVec4::init(1, 0, 0, 1e-6).cartesian3()[0], 1.0 / 1e-6);
  EXPECT_EQ(HomVec4::init(1, 0, 0, -1e-6).cartesian3()[0], -1.0 / 1e-6);
  EXPECT_EQ(HomVec4::init(1, 0, 0, 0).cartesian3(), (std::array<double, 3>{1, 0, 0}));
  EXPECT_EQ(HomVec4::init(0, 0, 0, 0).cartesian3(), (std::array<double, 3>{0, 0, 0}));
  EXPECT_EQ(HomVec4::init(5e-16, 0, 0, 0).cartesian3(), (std::array<double, 3>{0, 0, 0}));
}

TEST(HomVec4, NormAndDotSumInIndexOrderWithoutFusing) {
  // ((1e16 + 1) - 1e16) + 1 = 1 in index order; pairwise or reversed sums give 0.
  const HomVec4 a = HomVec4::init(1e16, 1, -1e16, 1);
  EXPECT_TRUE(sameBits(a.dot(HomVec4::init(1, 1, 1, 1)), 1.0));
  // x*x for x = 1 + 2^-30 rounds away 2^-60; a fused multiply-add would keep it.
  const double x = 1.0 + 0x1p-30;
  EXPECT_TRUE(
      sameBits(HomVec4::init(x, 1, 0, 0).dot(HomVec4::init(x, -(1.0 + 0x1p-29), 0, 0)), 0.0));
  // The norm sums squares in the same order: 1e-8 squared is lost against 1 first.
  EXPECT_EQ(HomVec4::init(1, 1e-8, 1e-8, 0).norm(), 1.0);
  EXPECT_EQ(HomVec4::init(3, 0, 0, 4).norm(), 5.0);
  EXPECT_EQ(HomVec4::init(1, 0, 0, 0).dot(HomVec4::init(0, 1, 0, 0)), 0.0);
}

TEST(HomVec4, NormalizeDividesByTheNormAndFallsBackBelowTheThreshold) {
  const HomVec4 u = HomVec4::init(3, 0, 0, 4).normalize();
  EXPECT_TRUE(sameBits(u, HomVec4::init(0.6, 0, 0, 0.8)));

  // Four divisions, not a multiplication by 1/n: the two differ for n = sqrt(87).
  const HomVec4 v = HomVec4::init(2, 3, 5, 7);
  const double n = std::sqrt(87.0);
  EXPECT_TRUE(sameBits(v.normalize(), HomVec4::init(2 / n, 3 / n, 5 / n, 7 / n)));
  EXPECT_NE(kova_test::bits(3 / n), kova_test::bits(3 * (1 / n)));

  const HomVec4 origin = HomVec4::init(0, 0, 0, 1);
  EXPECT_TRUE(sameBits(HomVec4{}.normalize(), origin));
  EXPECT_TRUE(sameBits(HomVec4::init(9.9e-16, 0, 0, 0).normalize(), origin));
  // A norm of exactly 1e-15 is not below the threshold, so it is divided.
  EXPECT_TRUE(sameBits(HomVec4::init(1e-15, 0, 0, 0).normalize(), HomVec4::init(1, 0, 0, 0)));
  // The sign survives: no canonical representative is chosen.
  EXPECT_TRUE(sameBits(HomVec4::init(0, 0, 0, -2).normalize(), HomVec4::init(0, 0, 0, -1)));
  // Finite coordinates whose squares overflow still normalise onto the sphere.
  const double big = std::numeric_limits<double>::max();
  EXPECT_TRUE(sameBits(HomVec4::init(big, 0, 0, -0.0).normalize(), HomVec4::init(1, 0, 0, -0.0)));
  const HomVec4 huge = HomVec4::init(1e300, -1e300, 0, 0).normalize();
  EXPECT_NEAR(huge.x, std::sqrt(0.5), 1e-15);
  EXPECT_NEAR(huge.y, -std::sqrt(0.5), 1e-15);
  EXPECT_TRUE(
      std::isnan(HomVec4::init(std::numeric_limits<double>::infinity(), 0, 0, 0).normalize().x));
  // A NaN norm is not below the threshold: NaN propagates.
  EXPECT_TRUE(std::isnan(HomVec4::init(kNaN, 0, 0, 1).normalize().w));
}

TEST(HomVec4, SamePointComparesTheAbsoluteCosineStrictly) {
  EXPECT_TRUE(HomVec4::init(1, 0, 0, 0).isSamePoint(HomVec4::init(-1, 0, 0, 0), 1e-8));
  EXPECT_TRUE(HomVec4::init(1, 2, 3, 4).isSamePoint(HomVec4::init(-2, -4, -6, -8), 1e-8));
  EXPECT_FALSE(HomVec4::init(1, 2, 3, 4).isSamePoint(HomVec4::init(1, 2, 3, 5), 1e-8));
  EXPECT_FALSE(HomVec4{}.isSamePoint(HomVec4{}, 1e-8));

  // d > 1 - tol is strict: at equality the points differ.
  const HomVec4 a = HomVec4::init(1, 0, 0, 0);
  const HomVec4 b = HomVec4::init(0.6, 0.8, 0, 0);
  const double d = std::abs(a.dot(b)) / (a.norm() * b.norm());
  const double tol = 1.0 - d;  // exact, and 1 - tol == d exactly
  EXPECT_FALSE(a.isSamePoint(b, tol));
  EXPECT_TRUE(a.isSamePoint(b, std::nextafter(tol, 1.0)));

  // A norm equal to tol is long enough; one ulp more tolerance makes it too short.
  const HomVec4 h = HomVec4::init(0.5, 0, 0, 0);
  EXPECT_TRUE(h.isSamePoint(h, 0.5));
  EXPECT_FALSE(h.isSamePoint(h, std::nextafter(0.5, 1.0)));
}

TEST(HomVec4, AntipodalAgreesWithSamePoint) {
  const HomVec4 p = HomVec4::init(1, 2, 3, 4);
  EXPECT_TRUE(p.isAntipodalTo(HomVec4::init(-1, -2, -3, -4), 1e-8));
  EXPECT_TRUE(p.isAntipodalTo(p, 1e-8));
  EXPECT_TRUE(p.isAntipodalTo(HomVec4::init(2, 4, 6, 8), 1e-8));
  EXPECT_FALSE(p.isAntipodalTo(HomVec4::init(1, 2, 3, 5), 1e-8));
  EXPECT_FALSE(HomVec4{}.isAntipodalTo(HomVec4{}, 1e-8));
}

TEST(HomVec4, BestCardPicksTheLargestMagnitudeWithTiesInChartOrder) {
  struct Case {
    HomVec4 p;
    AffineCard card;
  };
  const Case cases[] = {
      {HomVec4::init(1, 2, 3, 4), AffineCard::UW},
      {HomVec4::init(5, 1, 1, 1), AffineCard::UX},
      {HomVec4::init(1, 6, 1, 1), AffineCard::UY},
      {HomVec4::init(1, 1, 7, 1), AffineCard::UZ},
      {HomVec4::init(1, 1, 1, 1), AffineCard::UW},
      {HomVec4::init(2, 2, 0, 1), AffineCard::UX},
      {HomVec4::init(0, 3, 3, 1), AffineCard::UY},
      {HomVec4::init(0, 0, 0, 0), AffineCard::UW},
      {HomVec4::init(-9, 1, 1, 1), AffineCard::UX},
      {HomVec4::init(0, 0, 0, -0.0), AffineCard::UW},
      // Comparisons with NaN are false and push the choice to later charts.
      {HomVec4::init(kNaN, 0, 0, 0), AffineCard::UY},
      {HomVec4::init(0, 0, 0, kNaN), AffineCard::UX},
      {HomVec4::init(0, 0, kNaN, 5), AffineCard::UZ},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.p.pickBestCard(), c.card) << c.p.x << " " << c.p.y << " " << c.p.z << " " << c.p.w;
  }
}

}  // namespace
