// Four-lane helpers and the bit-level inverse square root.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include "kova_kernel.hpp"
#include "kova_test_bits.hpp"

namespace {

using kova_kernel::cordicInvSqrt;
using kova_kernel::f32x4;
using kova_kernel::F32x4;
using kova_test::sameBits;

// The estimate and the three Newton steps, written out once more as the
// reference for positive normal inputs.
double literalInvSqrt(double x) {
  const std::uint64_t y_bits = 0x5FE6EB50C7B537A9ull - (std::bit_cast<std::uint64_t>(x) >> 1);
  double y = std::bit_cast<double>(y_bits);
  const double half_x = 0.5 * x;
  double t = half_x * y;
  t = t * y;
  y = y * (1.5 - t);
  t = half_x * y;
  t = t * y;
  y = y * (1.5 - t);
  t = half_x * y;
  t = t * y;
  y = y * (1.5 - t);
  return y;
}

TEST(Simd, DotSumsLanesInOrder) {
  EXPECT_EQ(kova_kernel::simdDot4(f32x4(1, 0, 0, 0), f32x4(1, 0, 0, 0)), 1.0f);
  // ((1e8 + 1) - 1e8) + 1 = 1 in lane order; a pairwise reduction gives 0.
  EXPECT_EQ(kova_kernel::simdDot4(f32x4(1e8f, 1, -1e8f, 1), f32x4(1, 1, 1, 1)), 1.0f);
}

TEST(Simd, NormalizeDividesAllFourLanes) {
  const F32x4 n = kova_kernel::simdNormalize3(f32x4(3, 0, 0, 4));
  EXPECT_EQ(n[0], 0.6f);
  EXPECT_EQ(n[1], 0.0f);
  EXPECT_EQ(n[2], 0.0f);
  EXPECT_EQ(n[3], 0.8f);
  EXPECT_NEAR(kova_kernel::simdDot4(n, n), 1.0f, 1e-5f);
  for (const F32x4 tiny : {f32x4(0, 0, 0, 0), f32x4(1e-8f, 0, 0, 0)}) {
    const F32x4 r = kova_kernel::simdNormalize3(tiny);
    EXPECT_EQ(r[0], 0.0f);
    EXPECT_EQ(r[1], 0.0f);
    EXPECT_EQ(r[2], 0.0f);
    EXPECT_EQ(r[3], 1.0f);
  }
}

TEST(CordicInvSqrt, NormalInputsFollowTheEstimateAndThreeNewtonSteps) {
  EXPECT_NEAR(cordicInvSqrt(4.0), 0.5, 1e-10);
  EXPECT_LE(cordicInvSqrt(4.0), 0.5);
  EXPECT_NEAR(cordicInvSqrt(1.0), 1.0, 1e-10);
  EXPECT_LE(cordicInvSqrt(1.0), 1.0);
  EXPECT_NEAR(cordicInvSqrt(9.0), 1.0 / 3.0, 1e-10);
  EXPECT_LE(cordicInvSqrt(9.0), 1.0 / 3.0);

  std::mt19937_64 rng(11);
  std::uniform_int_distribution<std::uint64_t> normal_bits(0x0010000000000000ull,
                                                           0x7FEFFFFFFFFFFFFFull);
  for (int i = 0; i < 20000; ++i) {
    const double x = std::bit_cast<double>(normal_bits(rng));
    ASSERT_TRUE(sameBits(cordicInvSqrt(x), literalInvSqrt(x))) << x;
    const long double exact = 1.0L / std::sqrt(static_cast<long double>(x));
    ASSERT_LT(std::abs((cordicInvSqrt(x) - exact) / exact), 3.3e-11L) << x;
  }
  const double smallest_normal = std::numeric_limits<double>::min();
  EXPECT_TRUE(sameBits(cordicInvSqrt(smallest_normal), literalInvSqrt(smallest_normal)));
  const double largest = std::numeric_limits<double>::max();
  EXPECT_TRUE(sameBits(cordicInvSqrt(largest), literalInvSqrt(largest)));
}

TEST(CordicInvSqrt, SubnormalsAreAsAccurateAsNormalNumbers) {
  const double denorm_min = std::numeric_limits<double>::denorm_min();
  std::mt19937_64 rng(13);
  std::uniform_int_distribution<std::uint64_t> subnormal_bits(1, 0x000FFFFFFFFFFFFFull);
  for (int i = 0; i < 20000; ++i) {
    const double x = i == 0 ? denorm_min : std::bit_cast<double>(subnormal_bits(rng));
    const long double exact = 1.0L / std::sqrt(static_cast<long double>(x));
    const double y = cordicInvSqrt(x);
    ASSERT_LT(std::abs((y - exact) / exact), 3.3e-11L) << x;
    // Scaling by 2^64 and back by 2^32 is exact: the same bits as the scaled input's.
    ASSERT_TRUE(sameBits(y, literalInvSqrt(x * 0x1p64) * 0x1p32));
  }
}

TEST(CordicInvSqrt, NonPositiveInfiniteAndNaNInputs) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  EXPECT_TRUE(sameBits(cordicInvSqrt(0.0), 0.0));
  EXPECT_TRUE(sameBits(cordicInvSqrt(-0.0), 0.0));
  EXPECT_TRUE(sameBits(cordicInvSqrt(-4.0), 0.0));
  EXPECT_TRUE(sameBits(cordicInvSqrt(-inf), 0.0));
  EXPECT_TRUE(sameBits(cordicInvSqrt(-std::numeric_limits<double>::denorm_min()), 0.0));
  EXPECT_TRUE(sameBits(cordicInvSqrt(inf), 0.0));  // +0.0, the limit, not -inf
  EXPECT_TRUE(std::isnan(cordicInvSqrt(std::numeric_limits<double>::quiet_NaN())));
  EXPECT_TRUE(std::isnan(cordicInvSqrt(-std::numeric_limits<double>::quiet_NaN())));
}

}  // namespace
