// PGL4: storage, application, product, determinant, determinant
// normalisation and the constructors.
#include <cmath>
#include <limits>
#include <numbers>

#include <gtest/gtest.h>

#include "kova_kernel.hpp"
#include "kova_test_bits.hpp"

namespace {

using kova_kernel::HomVec4;
using kova_kernel::PGL4;
using kova_kernel::pglRotateZ;
using kova_kernel::pglScale;
using kova_kernel::pglTranslate;
using kova_test::sameBits;

TEST(PGL4, StorageIsColumnMajor) {
  const PGL4 m = PGL4::fromRowMajor({{{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}, {13, 14, 15, 16}}});
  EXPECT_EQ(m.data[12], 4.0);  // last entry of the first row
  EXPECT_EQ(m.data[1], 5.0);
  EXPECT_EQ(m.get(2, 1), 10.0);
  PGL4 n = m;
  n.set(3, 0, -1.0);
  EXPECT_EQ(n.data[3], -1.0);
  EXPECT_TRUE(sameBits(m.transpose().transpose(), m));
  EXPECT_EQ(m.transpose().get(1, 2), m.get(2, 1));
  EXPECT_TRUE(sameBits(PGL4::fromRowMajor({{{1, 0, 0, 7}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}}),
                       pglTranslate(7, 0, 0)));
}

#ifndef NDEBUG
TEST(PGL4DeathTest, AccessOutsideTheMatrixAssertsInDebugBuilds) {
  PGL4 m = PGL4::identity();
  EXPECT_DEATH((void)m.get(4, 3), "row < 4");
  EXPECT_DEATH(m.set(0, 4, 1.0), "col < 4");
}
#endif

TEST(PGL4, ApplyStartsEachRowFromPositiveZero) {
  EXPECT_TRUE(sameBits(PGL4::identity().apply(HomVec4::init(3, 4, 5, 1)), HomVec4::init(3, 4, 5, 1)));
  // Every product is -0.0 or +0.0; only a sum that starts from 0.0 gives +0.0.
  const HomVec4 r = PGL4::identity().apply(HomVec4::init(-0.0, -0.0, -0.0, -0.0));
  EXPECT_TRUE(sameBits(r, HomVec4::init(0.0, 0.0, 0.0, 0.0)));
  // Index order within a row: ((1e16 + 1) - 1e16) + 1 = 1.
  const PGL4 m = PGL4::fromRowMajor({{{1e16, 1, -1e16, 1}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}}});
  EXPECT_EQ(m.apply(HomVec4::init(1, 1, 1, 1)).x, 1.0);
  // No fused multiply-add: (1 + 2^-30)^2 - (1 + 2^-29) is 0 once the square is rounded.
  const double a = 1.0 + 0x1p-30;
  const PGL4 f = PGL4::fromRowMajor({{{a, -(1.0 + 0x1p-29), 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}}});
  EXPECT_TRUE(sameBits(f.apply(HomVec4::init(a, 1, 0, 0)).x, 0.0));
}

TEST(PGL4, MulIsTheMatrixProductInKOrder) {
  // Scale first, then translate.
  const HomVec4 p = HomVec4::init(1, 0, 0, 1);
  EXPECT_TRUE(sameBits(pglTranslate(1, 0, 0).mul(pglScale(2, 2, 2)).apply(p), HomVec4::init(3, 0, 0, 1)));
  EXPECT_TRUE(sameBits(pglScale(2, 2, 2).mul(pglTranslate(1, 0, 0)).apply(p), HomVec4::init(4, 0, 0, 1)));

  const PGL4 a = PGL4::fromRowMajor({{{1e16, 1, -1e16, 1}, {2, 3, 5, 7}, {-0.0, -0.0, -0.0, -0.0}, {0, 0, 0, 1}}});
  PGL4 ones;
  for (double& e : ones.data) e = 1.0;
  const PGL4 c = a.mul(ones);
  EXPECT_EQ(c.get(0, 0), 1.0);
  EXPECT_EQ(c.get(1, 3), 17.0);
  EXPECT_TRUE(sameBits(c.get(2, 2), 0.0));  // -0.0 products summed from +0.0
  const double x = 1.0 + 0x1p-30;
  const PGL4 f = PGL4::fromRowMajor({{{x, -(1.0 + 0x1p-29), 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}}});
  const PGL4 g = PGL4::fromRowMajor({{{x, 0, 0, 0}, {1, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}}});
  EXPECT_TRUE(sameBits(f.mul(g).get(0, 0), 0.0));
  EXPECT_TRUE(sameBits(f * g, f.mul(g)));
}

TEST(PGL4, DeterminantByExpansionAlongRowZero) {
  EXPECT_EQ(PGL4::identity().det(), 1.0);
  EXPECT_EQ(pglScale(2, 3, 4).det(), 24.0);
  EXPECT_EQ(pglTranslate(10, 20, 30).det(), 1.0);
  // Swapping two rows flips the sign.
  EXPECT_EQ(PGL4::fromRowMajor({{{0, 1, 0, 0}, {1, 0, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}}).det(), -1.0);
  EXPECT_EQ(PGL4{}.det(), 0.0);
  EXPECT_EQ(PGL4::fromRowMajor({{{1, 2, 0, 0}, {2, 4, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}}).det(), 0.0);
  // A general matrix, against the cofactor value worked out by hand.
  EXPECT_EQ(PGL4::fromRowMajor({{{2, 0, 1, 3}, {1, 1, 0, 2}, {0, 3, 1, 1}, {1, 0, 2, 1}}}).det(), -1.0);
}

TEST(PGL4, NormalizeDetScalesByTheFourthRootAndKeepsTheSign) {
  const PGL4 s = pglScale(2, 3, 4);
  const double k = std::pow(24.0, -0.25);
  const PGL4 n = s.normalizeDet();
  for (int e = 0; e < 16; ++e) EXPECT_TRUE(sameBits(n.data[e], s.data[e] * k)) << e;
  EXPECT_NEAR(std::abs(n.det()), 1.0, 1e-6);
  EXPECT_NEAR(pglScale(-2, 2, 2).normalizeDet().det(), -1.0, 1e-12);

  EXPECT_TRUE(sameBits(PGL4{}.normalizeDet(), PGL4{}));
  EXPECT_TRUE(sameBits(pglScale(0, 1, 1).normalizeDet(), pglScale(0, 1, 1)));
  // |det| of exactly 1e-15 is not below the bound and gets scaled.
  const PGL4 tiny = pglScale(1e-15, 1, 1);
  EXPECT_TRUE(sameBits(pglScale(9e-16, 1, 1).normalizeDet(), pglScale(9e-16, 1, 1)));
  EXPECT_FALSE(sameBits(tiny.normalizeDet(), tiny));
  // A NaN determinant fails the comparison: every entry is scaled by NaN.
  PGL4 nan_matrix = PGL4::identity();
  nan_matrix.set(0, 0, std::numeric_limits<double>::quiet_NaN());
  for (const double e : nan_matrix.normalizeDet().data) EXPECT_TRUE(std::isnan(e));
}

TEST(PGL4, Constructors) {
  const PGL4 t = pglTranslate(10, 20, 30);
  EXPECT_TRUE(sameBits(t.apply(HomVec4::init(1, 2, 3, 1)), HomVec4::init(11, 22, 33, 1)));
  EXPECT_TRUE(sameBits(t.apply(HomVec4::init(1, 2, 3, 2)), HomVec4::init(21, 42, 63, 2)));
  EXPECT_TRUE(sameBits(t.apply(HomVec4::init(1, 2, 3, 0)), HomVec4::init(1, 2, 3, 0)));
  EXPECT_EQ(t.data[12], 10.0);
  EXPECT_EQ(t.data[14], 30.0);
  EXPECT_TRUE(sameBits(pglScale(2, 3, 4).apply(HomVec4::init(1, 1, 1, 5)), HomVec4::init(2, 3, 4, 5)));

  const double angle = std::numbers::pi / 4;
  const PGL4 r = pglRotateZ(angle);
  EXPECT_TRUE(sameBits(r.data[0], std::cos(angle)));
  EXPECT_TRUE(sameBits(r.data[1], std::sin(angle)));
  EXPECT_TRUE(sameBits(r.data[4], -std::sin(angle)));
  EXPECT_TRUE(sameBits(r.data[10], 1.0));
  const HomVec4 q = r.apply(HomVec4::init(1, 0, 0, 1));
  EXPECT_NEAR(q.x, std::sqrt(0.5), 1e-15);
  EXPECT_NEAR(q.y, std::sqrt(0.5), 1e-15);
  EXPECT_NEAR(q.norm(), std::sqrt(2.0), 1e-10);
  // A positive angle turns +X towards +Y.
  EXPECT_GT(pglRotateZ(0.1).apply(HomVec4::init(1, 0, 0, 0)).y, 0.0);
}

}  // namespace
