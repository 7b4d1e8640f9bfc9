// FS-depth, its inverse and W-visibility.
#include <cmath>
#include <limits>
#include <numbers>

#include <gtest/gtest.h>

#include "kova_renderer.hpp"
#include "kova_test_bits.hpp"
#include "kova_test_values.hpp"

namespace {

using kova_kernel::HomVec4;
using kova_renderer::fsDepth;
using kova_renderer::fsDepthToDistance;
using kova_renderer::wVisibility;
using kova_renderer::WVisibilityClass;
using kova_test::sameBits;

using kova_test::v;
const HomVec4 kEye = v(0, 0, 0, 1);

static_assert(sizeof(WVisibilityClass) == 1);

TEST(FsDepth, LinearInTheAngleBetweenTheBounds) {
  const double d = fsDepth(kEye, v(0, 0, -1, 0), 0.01, 2.0);
  EXPECT_TRUE(sameBits(d, (std::numbers::pi / 2 - 0.01) / 1.99));
  EXPECT_NEAR(d, 0.78, 0.01);
  const HomVec4 p = v(0.3, -0.2, 0.5, 1);
  const double dist = kova_kernel::fsDistance(kEye, p);
  EXPECT_TRUE(sameBits(fsDepth(kEye, p, 0.1, 0.9), (dist - 0.1) / (0.9 - 0.1)));
}

TEST(FsDepth, ClampsWithNearTestedFirst) {
  EXPECT_TRUE(sameBits(fsDepth(kEye, v(0, 0, 0.001, 1).normalize(), 0.01, 100), 0.0));
  EXPECT_TRUE(sameBits(fsDepth(kEye, v(1, 0, 0, 0), 0.01, 0.5), 1.0));
  // A distance equal to a bound: 0.0 at near, 1.0 at far.
  const HomVec4 p = v(0.3, 0, 0, 1);
  const double dist = kova_kernel::fsDistance(kEye, p);
  EXPECT_TRUE(sameBits(fsDepth(kEye, p, dist, 1.0), 0.0));
  EXPECT_TRUE(sameBits(fsDepth(kEye, p, 0.0, dist), 1.0));
  // near == far == distance: near wins.
  EXPECT_TRUE(sameBits(fsDepth(kEye, p, dist, dist), 0.0));
  EXPECT_TRUE(
      sameBits(fsDepth(kEye, p, std::nextafter(dist, 0.0), std::nextafter(dist, 0.0)), 1.0));
  // Inverted bounds: everything inside near is 0, the rest 1; testing far first
  // would give 1.0 for a distance between them.
  EXPECT_TRUE(sameBits(fsDepth(kEye, p, 0.5, 0.1), 0.0));
  EXPECT_TRUE(sameBits(fsDepth(kEye, v(1, 0, 0, 0), 0.5, 0.1), 1.0));
  // Degenerate vectors are at distance 0.
  EXPECT_TRUE(sameBits(fsDepth(v(0, 0, 0, 0), p, 0.0, 1.0), 0.0));
  EXPECT_TRUE(sameBits(fsDepth(kEye, v(1e-16, 0, 0, 0), 0.0, 1.0), 0.0));
  // A NaN bound fails both comparisons.
  EXPECT_TRUE(std::isnan(fsDepth(kEye, p, std::numeric_limits<double>::quiet_NaN(), 1.0)));
}

TEST(FsDepth, ToDistanceIsTheUnclampedLine) {
  EXPECT_NEAR(fsDepthToDistance(0.49949949949949946, 0.1, 100), 50.0, 1e-10);
  EXPECT_EQ(fsDepthToDistance(0.0, 0.1, 100), 0.1);
  EXPECT_EQ(fsDepthToDistance(1.0, 0.1, 100), 100.0);
  EXPECT_NEAR(fsDepthToDistance(2.0, 0.1, 100), 2 * 100 - 0.1, 1e-12);
  EXPECT_NEAR(fsDepthToDistance(-1.0, 0.1, 100), 0.1 - 99.9, 1e-12);
  // near + depth * (far - near), in that form (not (1 - depth) near + depth far).
  EXPECT_TRUE(sameBits(fsDepthToDistance(0.3, 0.1, 0.7), 0.1 + 0.3 * (0.7 - 0.1)));
}

TEST(WVisibility, ReadsTheStoredW) {
  EXPECT_EQ(wVisibility(v(0, 0, 0, 1)), WVisibilityClass::in_front);
  EXPECT_EQ(wVisibility(v(0, 0, 0, -1)), WVisibilityClass::behind);
  EXPECT_EQ(wVisibility(v(1, 0, 0, 0)), WVisibilityClass::at_infinity);
  EXPECT_EQ(wVisibility(v(0, 0, 0, 1e-6)), WVisibilityClass::at_infinity);
  EXPECT_EQ(wVisibility(v(0, 0, 0, -1e-6)), WVisibilityClass::at_infinity);
  EXPECT_EQ(wVisibility(v(0, 0, 0, 2e-6)), WVisibilityClass::in_front);
  EXPECT_EQ(wVisibility(v(0, 0, 0, -2e-6)), WVisibilityClass::behind);
  EXPECT_EQ(wVisibility(v(0, 0, 0, std::numeric_limits<double>::quiet_NaN())),
            WVisibilityClass::at_infinity);
  // Normalised, this point would have w = 1; stored, it is inside the band.
  EXPECT_EQ(wVisibility(v(0, 0, 0, 5e-7)), WVisibilityClass::at_infinity);
  // A large w with small xyz, and the antipode of an in-front point.
  EXPECT_EQ(wVisibility(v(1e9, 0, 0, 1e-5)), WVisibilityClass::in_front);
  EXPECT_EQ(wVisibility(v(-0.5, 0, 0, -1)), WVisibilityClass::behind);
}

}  // namespace
