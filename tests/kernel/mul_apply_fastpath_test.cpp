// PGL4::mul and PGL4::apply run a vectorised form at run time and a scalar
// loop during constant evaluation. Both must give exactly the bits of the plain
// definition: entry (r, c) = (((0.0 + a(r,0)b(0,c)) + a(r,1)b(1,c)) + a(r,2)b(2,c))
// + a(r,3)b(3,c), each product rounded, nothing fused.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>

#include "kova_kernel.hpp"
#include "kova_test_bits.hpp"
#include "kova_test_values.hpp"

namespace {

using kova_kernel::HomVec4;
using kova_kernel::PGL4;
using kova_test::sameValue;

// The plain triple loop, written independently of the library.
PGL4 referenceMul(const PGL4& a, const PGL4& b) {
  PGL4 out;
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) {
      double sum = 0.0;
      for (std::size_t k = 0; k < 4; ++k) sum = sum + a.data[k * 4 + r] * b.data[c * 4 + k];
      out.data[c * 4 + r] = sum;
    }
  }
  return out;
}

HomVec4 referenceApply(const PGL4& m, HomVec4 v) {
  const double in[4] = {v.x, v.y, v.z, v.w};
  double out[4];
  for (std::size_t r = 0; r < 4; ++r) {
    double sum = 0.0;
    for (std::size_t k = 0; k < 4; ++k) sum = sum + m.data[k * 4 + r] * in[k];
    out[r] = sum;
  }
  return HomVec4{out[0], out[1], out[2], out[3]};
}

// Same bits, except that any NaN matches any NaN (sameValue): which NaN payload
// survives an operation with two NaN operands is the processor's choice, not a value.
void expectSame(const PGL4& fast, const PGL4& ref) {
  for (std::size_t e = 0; e < 16; ++e)
    EXPECT_TRUE(sameValue(fast.data[e], ref.data[e])) << "entry " << e;
}
void expectSame(HomVec4 fast, HomVec4 ref) {
  EXPECT_TRUE(sameValue(fast.x, ref.x));
  EXPECT_TRUE(sameValue(fast.y, ref.y));
  EXPECT_TRUE(sameValue(fast.z, ref.z));
  EXPECT_TRUE(sameValue(fast.w, ref.w));
}

constexpr auto& kHostile = kova_test::kHostileValues;

// A mixture of ordinary values, hostile values and raw bit patterns (which
// reach every exponent, subnormals and NaN payloads included).
double randomEntry(std::mt19937_64& rng) {
  switch (rng() % 4) {
    case 0:
      return std::uniform_real_distribution<double>(-1.0, 1.0)(rng);
    case 1:
      return kHostile[rng() % kHostile.size()];
    case 2:
      return std::bit_cast<double>(rng());
    default: {
      const double mant = std::uniform_real_distribution<double>(-1.0, 1.0)(rng);
      return std::ldexp(mant, static_cast<int>(rng() % 2100) - 1075);
    }
  }
}

PGL4 randomMatrix(std::mt19937_64& rng) {
  PGL4 m;
  for (double& e : m.data) e = randomEntry(rng);
  return m;
}

TEST(MulApplyFastPath, RandomAndHostileMatricesMatchTheTripleLoop) {
  std::mt19937_64 rng(20261208);
  for (int i = 0; i < 20000; ++i) {
    const PGL4 a = randomMatrix(rng);
    const PGL4 b = randomMatrix(rng);
    expectSame(a.mul(b), referenceMul(a, b));
    const HomVec4 v{randomEntry(rng), randomEntry(rng), randomEntry(rng), randomEntry(rng)};
    expectSame(a.apply(v), referenceApply(a, v));
    if (HasFailure()) return;
  }
}

TEST(MulApplyFastPath, EveryHostilePairInEveryPosition) {
  // Each hostile value meets each other one in every product slot of column 0.
  for (const double x : kHostile) {
    for (const double y : kHostile) {
      for (std::size_t k = 0; k < 4; ++k) {
        PGL4 a = PGL4::identity();
        PGL4 b = PGL4::identity();
        for (std::size_t r = 0; r < 4; ++r) a.data[k * 4 + r] = x;
        b.data[k] = y;
        expectSame(a.mul(b), referenceMul(a, b));
        const HomVec4 v{k == 0 ? y : 1.0, k == 1 ? y : -0.0, k == 2 ? y : 0.5, k == 3 ? y : 2.0};
        expectSame(a.apply(v), referenceApply(a, v));
      }
    }
  }
}

TEST(MulApplyFastPath, SumStartsAtPositiveZero) {
  // Every product is -0.0; only the 0.0 start makes the sum +0.0.
  PGL4 neg_zero;
  for (double& e : neg_zero.data) e = -0.0;
  const PGL4 product = neg_zero.mul(PGL4::identity());
  for (const double e : product.data) EXPECT_EQ(std::bit_cast<std::uint64_t>(e), 0u);
  const HomVec4 p = PGL4::identity().apply(HomVec4{-0.0, -0.0, -0.0, -0.0});
  for (const double e : {p.x, p.y, p.z, p.w}) EXPECT_EQ(std::bit_cast<std::uint64_t>(e), 0u);
}

TEST(MulApplyFastPath, KeepsTheOrderAndRoundsEveryProduct) {
  // Row 0 of a: (1, 1e16, -1e16, 1); column 0 of b: ones. In k order the
  // first 1 is absorbed by 1e16 (a tie, rounded to even), so the sum is 1;
  // adding the middle pair first or pairwise gives 2 or 0.
  PGL4 a = PGL4::identity();
  a.set(0, 0, 1.0);
  a.set(0, 1, 1e16);
  a.set(0, 2, -1e16);
  a.set(0, 3, 1.0);
  PGL4 b;
  for (std::size_t k = 0; k < 4; ++k) b.set(k, 0, 1.0);
  EXPECT_EQ(a.mul(b).get(0, 0), 1.0);
  EXPECT_EQ(a.apply(HomVec4{1.0, 1.0, 1.0, 1.0}).x, 1.0);

  // -1 + (1 + 2^-30)(1 - 2^-30): the product rounds to 1, so the sum is 0;
  // a fused multiply-add would keep -2^-60.
  const double e = std::ldexp(1.0, -30);
  PGL4 f = PGL4::identity();
  f.set(0, 0, -1.0);
  f.set(0, 1, 1.0 + e);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(f.apply(HomVec4{1.0, 1.0 - e, 0.0, 0.0}).x), 0u);
  PGL4 g;
  g.set(0, 0, 1.0);
  g.set(1, 0, 1.0 - e);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(f.mul(g).get(0, 0)), 0u);
}

// The constant-evaluated scalar form and the run-time vector form agree on
// inputs where order, rounding and signed zeros all show.
constexpr PGL4 kOrderSensitive = PGL4::init({1e16, -0.0, 3.0, 5e-324,   //
                                             1.0, -0.0, -1e-308, 0.1,   //
                                             -1e16, -0.0, 1e300, -0.3,  //
                                             1.0, -0.0, 2.5e-310, 7.0});
constexpr PGL4 kOther = PGL4::init({1.0, 1.0, 1.0, 1.0,          //
                                    0.1, -2.0, 1e-20, 3.0,       //
                                    -0.0, 0.5, -1e-290, 1e-300,  //
                                    7.0, 1e-310, 0.25, -4.0});
constexpr PGL4 kConstProduct = kOrderSensitive.mul(kOther);
constexpr HomVec4 kConstApplied = kOrderSensitive.apply(HomVec4{1.0, 0.1, -0.0, 1e-310});
static_assert(kConstProduct.get(0, 0) == 1.0);
static_assert(PGL4::identity().mul(kOther) == kOther);

TEST(MulApplyFastPath, ConstantEvaluationMatchesRunTime) {
  // volatile keeps the run-time calls from being folded at compile time.
  volatile double one = 1.0;
  PGL4 a = kOrderSensitive;
  PGL4 b = kOther;
  a.data[0] = a.data[0] * one;
  b.data[0] = b.data[0] * one;
  expectSame(a.mul(b), kConstProduct);
  expectSame(referenceMul(a, b), kConstProduct);
  expectSame(a.apply(HomVec4{1.0 * one, 0.1, -0.0, 1e-310}), kConstApplied);
}

}  // namespace
