// fsDistance and cartesian3 of finite vectors whose squares overflow: the
// same bits as for the same directions at ordinary size.
#include <array>
#include <cmath>
#include <numbers>
#include <random>

#include <gtest/gtest.h>

#include "kova_kernel.hpp"
#include "kova_test_bits.hpp"

namespace {

using kova_kernel::fsCosine;
using kova_kernel::fsDistance;
using kova_kernel::HomVec4;
using kova_test::sameBits;

HomVec4 scaled(HomVec4 v, int e) {
  return HomVec4::init(std::ldexp(v.x, e), std::ldexp(v.y, e), std::ldexp(v.z, e), std::ldexp(v.w, e));
}

TEST(FsDistanceScale, LongVectorsKeepTheirAngle) {
  const HomVec4 far = HomVec4::init(1e160, 1e160, -1e160, 1e160);
  EXPECT_NEAR(fsDistance(HomVec4::init(0, 0, 0, 1), far), std::numbers::pi / 3, 1e-15);
  EXPECT_NEAR(fsDistance(far, HomVec4::init(0, 0, 0, 1e300)), std::numbers::pi / 3, 1e-15);
  const auto dir = HomVec4::init(3e200, -4e200, 0, 0).cartesian3();
  EXPECT_NEAR(dir[0], 0.6, 1e-15);
  EXPECT_NEAR(dir[1], -0.8, 1e-15);
  EXPECT_EQ(dir[2], 0.0);
}

// Scaling by a power of two commutes with every rounding until something
// overflows or underflows, and the long-vector path rescales exactly: the
// distance and the direction at infinity keep their bits at any scale from
// just above the zero-norm threshold up to the largest double, and
// fsDistance stays the arc-cosine of fsCosine.
TEST(FsDistanceScale, PowerOfTwoScalesKeepTheBits) {
  std::mt19937_64 rng(2024);
  std::uniform_real_distribution<double> coord(-2.0, 2.0);
  std::uniform_int_distribution<int> exponent(-40, 1020);  // norms from 2^-41 up
  std::uniform_int_distribution<int> upward(0, 1020);
  for (int round = 0; round < 100000; ++round) {
    HomVec4 a = HomVec4::init(coord(rng), coord(rng), coord(rng), coord(rng));
    HomVec4 b = HomVec4::init(coord(rng), coord(rng), coord(rng), coord(rng));
    if (round % 4 == 0) a.w = 0.0;  // a few exact zeros among the coordinates
    if (a.norm() < 0.5 || b.norm() < 0.5 || std::hypot(a.x, a.y, a.z) < 0.5) continue;
    const double d = fsDistance(a, b);
    const HomVec4 sa = scaled(a, exponent(rng));
    const HomVec4 sb = scaled(b, exponent(rng));
    ASSERT_TRUE(sameBits(fsDistance(sa, sb), d)) << round;
    ASSERT_TRUE(sameBits(fsDistance(sb, sa), d)) << round;
    ASSERT_TRUE(sameBits(std::acos(fsCosine(sa, sa.norm(), sb, sb.norm())), fsDistance(sa, sb)));

    const HomVec4 at_infinity = HomVec4::init(a.x, a.y, a.z, 0.0);
    const HomVec4 long_at_infinity = scaled(at_infinity, upward(rng));
    ASSERT_EQ(long_at_infinity.cartesian3(), at_infinity.cartesian3()) << round;
  }
}

}  // namespace
