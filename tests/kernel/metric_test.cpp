// Fubini-Study distance and the W map.
#include <cmath>
#include <limits>
#include <numbers>
#include <random>

#include <gtest/gtest.h>

#include "kova_kernel.hpp"
#include "kova_test_bits.hpp"

namespace {

using kova_kernel::fsDistance;
using kova_kernel::HomVec4;
using kova_kernel::sFromW;
using kova_kernel::wFromDistance;
using kova_test::sameBits;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kHalfPi = std::numbers::pi / 2;
constexpr double kR = kova_kernel::R_TALVIR_KM * 1000.0;

TEST(FsDistance, MeasuresTheAngleBetweenLines) {
  EXPECT_TRUE(sameBits(fsDistance(HomVec4::init(1, 0, 0, 0), HomVec4::init(1, 0, 0, 0)), 0.0));
  EXPECT_TRUE(sameBits(fsDistance(HomVec4::init(1, 0, 0, 0), HomVec4::init(0, 1, 0, 0)), kHalfPi));
  EXPECT_TRUE(sameBits(fsDistance(HomVec4::init(2, 0, 0, 0), HomVec4::init(0, 0, 0, -5)), kHalfPi));
  EXPECT_NEAR(fsDistance(HomVec4::init(1, 0, 0, 1).normalize(), HomVec4::init(-1, 0, 0, -1).normalize()),
              0.0, 1e-6);
  EXPECT_NEAR(fsDistance(HomVec4::init(1, 0, 0, 0).normalize(), HomVec4::init(1, 0, 0, 1).normalize()),
              std::numbers::pi / 4, 1e-10);
}

TEST(FsDistance, DegenerateAndNonFiniteInputHaveDistanceZero) {
  const HomVec4 p = HomVec4::init(0.3, -0.2, 0.1, 0.9);
  EXPECT_TRUE(sameBits(fsDistance(HomVec4{}, p), 0.0));
  EXPECT_TRUE(sameBits(fsDistance(p, HomVec4{}), 0.0));
  EXPECT_TRUE(sameBits(fsDistance(HomVec4::init(9.9e-16, 0, 0, 0), HomVec4::init(0, 1, 0, 0)), 0.0));
  // A norm of exactly 1e-15 is usable (the test is strictly below).
  EXPECT_TRUE(sameBits(fsDistance(HomVec4::init(1e-15, 0, 0, 0), HomVec4::init(0, 1, 0, 0)), kHalfPi));
  // A NaN ratio is clamped to cos = 1, so the distance is 0 and never NaN.
  EXPECT_TRUE(sameBits(fsDistance(HomVec4::init(kNaN, 0, 0, 1), p), 0.0));
  EXPECT_TRUE(sameBits(fsDistance(p, HomVec4::init(0, kInf, 0, 1)), 0.0));
  EXPECT_TRUE(sameBits(fsDistance(HomVec4::init(kInf, 0, 0, 0), HomVec4::init(0, 0, 0, kInf)), 0.0));
}

TEST(FsDistance, StaysInRangeAndClampsCosinesAboveOne) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> coord(-1.0, 1.0);
  bool saw_ratio_above_one = false;
  for (int i = 0; i < 20000; ++i) {
    const HomVec4 a = HomVec4::init(coord(rng), coord(rng), coord(rng), coord(rng));
    const HomVec4 b = HomVec4::init(coord(rng), coord(rng), coord(rng), coord(rng));
    const double d = fsDistance(a, b);
    ASSERT_GE(d, 0.0);
    ASSERT_LE(d, kHalfPi);
    // A vector against itself: the rounded ratio may exceed 1, and then the
    // clamp must give exactly 0 rather than NaN.
    const double self = fsDistance(a, a);
    ASSERT_LE(self, 3e-8);
    if (std::abs(a.dot(a)) / (a.norm() * a.norm()) > 1.0) {
      saw_ratio_above_one = true;
      ASSERT_TRUE(sameBits(self, 0.0));
    }
  }
  EXPECT_TRUE(saw_ratio_above_one);
}

TEST(WMap, ConvertsArcLengthsAndClampsW) {
  EXPECT_EQ(wFromDistance(0, kR), 1.0);
  EXPECT_EQ(wFromDistance(-1000, kR), wFromDistance(1000, kR));
  EXPECT_NEAR(wFromDistance(std::numbers::pi * kR, kR), 0.0, 1e-12);
  EXPECT_NEAR(sFromW(wFromDistance(1000, kR), kR), 1000.0, 0.01);
  EXPECT_EQ(sFromW(1.0, kR), 0.0);
  EXPECT_EQ(sFromW(1.5, kR), 0.0);
  EXPECT_EQ(sFromW(kNaN, kR), 0.0);
  EXPECT_TRUE(sameBits(sFromW(-1.0, kR), (2.0 * kR) * std::acos(-1.0)));
  EXPECT_TRUE(sameBits(sFromW(-2.0, kR), (2.0 * kR) * std::acos(-1.0)));
  EXPECT_NEAR(sFromW(-2.0, kR), 2 * std::numbers::pi * kR, 1e-6);
  // A zero radius is not checked: division by zero, and 0 for the inverse.
  EXPECT_TRUE(std::isnan(wFromDistance(0.0, 0.0)));
  EXPECT_EQ(sFromW(0.5, 0.0), 0.0);
}

}  // namespace
