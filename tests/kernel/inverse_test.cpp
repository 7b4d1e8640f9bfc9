// Newton-Schulz inverse. The number of steps the iteration runs is observable:
// with a budget of k steps the result equals, bit for bit, the result with any
// larger budget exactly when the iteration has converged by step k.
#include <cmath>
#include <cstdint>

#include <gtest/gtest.h>

#include "kova_kernel.hpp"
#include "kova_test_bits.hpp"

namespace {

using kova_kernel::PGL4;
using kova_kernel::pglScale;
using kova_kernel::pglTranslate;
using kova_test::sameBits;

// The first budget whose result no larger budget changes, searched up to `limit`.
std::uint32_t stepsToConverge(const PGL4& m, double delta, std::uint32_t limit) {
  const PGL4 settled = m.inverse(delta, limit + 100);
  for (std::uint32_t k = 0; k <= limit; ++k) {
    if (sameBits(m.inverse(delta, k), settled)) return k;
  }
  return limit + 1;
}

TEST(Inverse, StepCounts) {
  EXPECT_EQ(stepsToConverge(PGL4::identity(), 0.0, 40), 7u);
  EXPECT_EQ(stepsToConverge(pglScale(2, 3, 4), 1e-10, 40), 10u);
  EXPECT_EQ(stepsToConverge(pglTranslate(10, 20, 30), 0.0, 40), 26u);
}

TEST(Inverse, IdentityFirstStepAndResult) {
  // X0 = I/4, X1 = X0 (2I - X0) = (7/16) I, residual 9/16.
  const PGL4 x1 = PGL4::identity().inverse(0.0, 1);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(x1.get(i, i), 7.0 / 16.0);
  EXPECT_TRUE(sameBits(x1.get(0, 1), 0.0));
  const PGL4 x = PGL4::identity().inverse(0.0, 7);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(x.get(i, i), 1.0, 1e-12);
}

TEST(Inverse, ShiftedScale) {
  const PGL4 a = pglScale(2, 3, 4);
  const PGL4 ax = a.mul(a.inverse(1e-10, 15));
  const double diag[4] = {2, 3, 4, 1};
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) {
      if (r == c) {
        EXPECT_NEAR(ax.get(r, c), diag[r] / (diag[r] + 1e-10), 1e-6);
      } else {
        EXPECT_EQ(ax.get(r, c), 0.0);
      }
    }
  }
}

TEST(Inverse, ZeroBudgetReturnsTheScaledTranspose) {
  const PGL4 x0 = pglScale(2, 3, 4).inverse(0.0, 0);
  EXPECT_TRUE(sameBits(x0, PGL4::init({2.0 / 30, 0, 0, 0, 0, 3.0 / 30, 0, 0, 0, 0, 4.0 / 30, 0,
                                       0, 0, 0, 1.0 / 30})));
}

TEST(Inverse, TranslationNeedsItsBudget) {
  const PGL4 inv = pglTranslate(10, 20, 30).inverse(0.0, 40);
  EXPECT_NEAR(inv.get(0, 3), -10.0, 1e-9);
  EXPECT_NEAR(inv.get(1, 3), -20.0, 1e-9);
  EXPECT_NEAR(inv.get(2, 3), -30.0, 1e-9);
  EXPECT_NEAR(inv.get(3, 3), 1.0, 1e-9);
  EXPECT_GT(std::abs(pglTranslate(10, 20, 30).inverse(0.0, 8).get(2, 3) + 30.0), 1.0);
}

TEST(Inverse, ShiftedZeroMatrix) {
  const PGL4 x = PGL4{}.inverse(0.5, 7);
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) EXPECT_NEAR(x.get(r, c), r == c ? 2.0 : 0.0, 1e-12);
  }
  EXPECT_EQ(stepsToConverge(PGL4{}, 0.5, 40), 7u);
}

TEST(Inverse, SingularMatrixApproachesThePseudoInverse) {
  const PGL4 m = PGL4::fromRowMajor({{{1, 2, 0, 0}, {2, 4, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}});
  const PGL4 x = m.inverse(0.0, 15);
  EXPECT_FALSE(sameBits(x, m.inverse(0.0, 16)));  // all fifteen steps ran
  EXPECT_NEAR(x.get(0, 0), 0.04, 1e-9);
  EXPECT_NEAR(x.get(0, 1), 0.08, 1e-9);
  EXPECT_NEAR(x.get(1, 0), 0.08, 1e-9);
  EXPECT_NEAR(x.get(1, 1), 0.16, 1e-9);
  EXPECT_NEAR(x.get(2, 2), 1.0, 1e-9);
  EXPECT_NEAR(x.get(3, 3), 1.0, 1e-9);
}

TEST(Inverse, IllConditionedScaleIsCutOffByTheBudget) {
  const PGL4 m = pglScale(1000, 1, 0.001);
  const PGL4 x = m.inverse(0.0, 15);
  EXPECT_FALSE(sameBits(x, m.inverse(0.0, 16)));
  EXPECT_NEAR(x.get(0, 0), 0.001, 1e-6);
  EXPECT_LT(x.get(1, 1), 0.5);
  EXPECT_LT(x.get(2, 2), 500.0);
}

TEST(Inverse, ZeroMatrixBecomesNaNAfterOneStep) {
  const PGL4 x = PGL4{}.inverse(0.0, 1);
  for (const double e : x.data) EXPECT_TRUE(std::isnan(e));
  // NaN residual entries are skipped, the residual stays 0 and the loop stops.
  EXPECT_TRUE(sameBits(PGL4{}.inverse(0.0, 100), x));
  for (const double e : PGL4{}.inverse(0.0, 0).data) EXPECT_TRUE(std::isnan(e));
}

}  // namespace
