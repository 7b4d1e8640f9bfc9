// Resonance, regularised projector and deformed product.
#include <cmath>

#include <gtest/gtest.h>

#include "kova_kernel.hpp"
#include "kova_test_bits.hpp"

namespace {

using kova_kernel::PGL4;
using kova_test::sameBits;

TEST(Resonance, IsExactlyAntisymmetric) {
  PGL4 a;
  for (std::size_t e = 0; e < 16; ++e) a.data[e] = 1.0 + static_cast<double>(e);  // 1 + r + 4c
  const PGL4 j = kova_kernel::computeResonance(a);
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) {
      EXPECT_EQ(j.get(r, c), 3.0 * (static_cast<double>(c) - static_cast<double>(r)));
      EXPECT_TRUE(sameBits(j.get(r, c), -j.get(c, r)) || (r == c && j.get(r, c) == 0.0));
    }
  }
  EXPECT_TRUE(sameBits(kova_kernel::computeResonance(PGL4::identity()), PGL4{}));
}

TEST(Projector, IsIdempotentForARotationGenerator) {
  PGL4 jc;
  jc.set(0, 1, -1);
  jc.set(1, 0, 1);
  jc.set(2, 3, -1);
  jc.set(3, 2, 1);
  const PGL4 pi = kova_kernel::computeProjector(jc, 1e-8);
  const PGL4 pi2 = pi.mul(pi);
  for (std::size_t e = 0; e < 16; ++e) EXPECT_NEAR(pi2.data[e], pi.data[e], 1e-4);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(pi.get(i, i), 2e-8 / (1 + 2e-8), 1e-12);
  EXPECT_NEAR(pi.get(0, 1), 0.0, 1e-12);
}

TEST(Projector, OfTheZeroMatrixIsExactlyTheIdentity) {
  EXPECT_TRUE(sameBits(kova_kernel::computeProjector(PGL4{}, 1e-8), PGL4::identity()));
  EXPECT_TRUE(sameBits(kova_kernel::computeProjector(PGL4{}, 0.25), PGL4::identity()));
}

TEST(DeformedProduct, AddsTheWeightedEntrywiseProduct) {
  const PGL4 x = kova_kernel::pglScale(2, 1, 1);
  const PGL4 y = kova_kernel::pglTranslate(3, 0, 0);
  const PGL4 d0 = kova_kernel::deformedTensorProduct(x, y, 0.0);
  for (std::size_t e = 0; e < 16; ++e) EXPECT_EQ(d0.data[e], x.mul(y).data[e]);

  const PGL4 di = kova_kernel::deformedTensorProduct(PGL4::identity(), PGL4::identity(), 0.5);
  EXPECT_TRUE(sameBits(di, PGL4::init({1.5, 0, 0, 0, 0, 1.5, 0, 0, 0, 0, 1.5, 0, 0, 0, 0, 1.5})));

  // (epsilon * x) * y, in that grouping: 1e308 * 10 overflows before the tiny y enters.
  const PGL4 big = kova_kernel::pglScale(10, 1, 1);
  const PGL4 small = kova_kernel::pglScale(1e-308, 1, 1);
  EXPECT_TRUE(std::isinf(kova_kernel::deformedTensorProduct(big, small, 1e308).get(0, 0)));
}

}  // namespace
