// Points, the Fubini-Study metric, the W map and the fast numeric helpers, on
// arbitrary bit patterns. Properties that hold for every input:
// - normalize gives (0, 0, 0, 1), or a vector of norm 1 within rounding that
//   keeps the sign of every coordinate, or NaN, and NaN only from non-finite input;
// - fsDistance lies in [0, pi/2], is symmetric and ignores the sign of either vector;
// - isAntipodalTo agrees with isSamePoint, which is symmetric;
// - pickBestCard names one of the four charts;
// - sFromW lies in [0, 2 pi R] for a finite R >= 0;
// - cordicInvSqrt is 0 for x <= 0 and +inf, NaN for NaN, and otherwise within
//   the promised relative error of 1/sqrt(x), subnormals included.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>

#include "fuzz_input.hpp"
#include "kova_kernel.hpp"

using kova_fuzz::FuzzInput;
using kova_test::hasNaN;
using kova_test::isFinite;
using kova_test::sameBits;
using kova_test::sameValue;
using kova_kernel::HomVec4;

namespace {

constexpr double kHalfPi = std::numbers::pi / 2.0;

void checkNormalize(HomVec4 v) {
  const HomVec4 n = v.normalize();
  if (sameBits(n, HomVec4::init(0.0, 0.0, 0.0, 1.0))) return;
  if (hasNaN(n)) {
    KOVA_FUZZ_CHECK(!isFinite(v));
    return;
  }
  KOVA_FUZZ_CHECK(isFinite(v));
  // Four rounded quotients, their squares, three sums and a square root.
  KOVA_FUZZ_CHECK(std::abs(n.norm() - 1.0) <= 8.0 * std::numeric_limits<double>::epsilon());
  KOVA_FUZZ_CHECK(std::signbit(n.x) == std::signbit(v.x));
  KOVA_FUZZ_CHECK(std::signbit(n.y) == std::signbit(v.y));
  KOVA_FUZZ_CHECK(std::signbit(n.z) == std::signbit(v.z));
  KOVA_FUZZ_CHECK(std::signbit(n.w) == std::signbit(v.w));
}

HomVec4 negated(HomVec4 v) { return HomVec4::init(-v.x, -v.y, -v.z, -v.w); }

void checkDistance(HomVec4 a, HomVec4 b) {
  const double d = kova_kernel::fsDistance(a, b);
  KOVA_FUZZ_CHECK(d >= 0.0 && d <= kHalfPi);
  KOVA_FUZZ_CHECK(!std::signbit(d));
  KOVA_FUZZ_CHECK(sameValue(d, kova_kernel::fsDistance(b, a)));
  KOVA_FUZZ_CHECK(sameValue(d, kova_kernel::fsDistance(negated(a), b)));
  KOVA_FUZZ_CHECK(sameValue(d, kova_kernel::fsDistance(a, negated(b))));
  const double self = kova_kernel::fsDistance(a, a);
  KOVA_FUZZ_CHECK(self >= 0.0 && self <= kHalfPi);
}

void checkSamePoint(HomVec4 a, HomVec4 b, double tol) {
  const bool same = a.isSamePoint(b, tol);
  KOVA_FUZZ_CHECK(same == b.isSamePoint(a, tol));
  KOVA_FUZZ_CHECK(same == a.isAntipodalTo(b, tol));
  const auto card = static_cast<std::uint8_t>(a.pickBestCard());
  KOVA_FUZZ_CHECK(card <= 3);
  const auto c = a.cartesian3();
  static_cast<void>(c);
}

void checkWMap(double s, double w, double r) {
  const double wv = kova_kernel::wFromDistance(s, r);
  KOVA_FUZZ_CHECK(std::isnan(wv) || (wv >= -1.0 && wv <= 1.0));
  const double sv = kova_kernel::sFromW(w, r);
  if (r >= 0.0 && std::isfinite(2.0 * r)) {
    // acos is monotone and so is the product with 2R >= 0. (A radius whose
    // double overflows turns 2R * acos(1) into inf * 0: outside the contract.)
    KOVA_FUZZ_CHECK(sv >= 0.0 && sv <= (2.0 * r) * std::acos(-1.0));
  }
}

void checkInvSqrt(double x) {
  const double y = kova_kernel::cordicInvSqrt(x);
  if (std::isnan(x)) {
    KOVA_FUZZ_CHECK(std::isnan(y));
  } else if (x <= 0.0 || std::isinf(x)) {
    KOVA_FUZZ_CHECK(sameBits(y, 0.0));
  } else {
    KOVA_FUZZ_CHECK(std::isfinite(y) && y > 0.0);
    // Compared in long double so that the reference itself is not the error.
    const long double exact = 1.0L / std::sqrt(static_cast<long double>(x));
    const long double rel = std::abs((static_cast<long double>(y) - exact) / exact);
    KOVA_FUZZ_CHECK(rel < 3.2e-11L);
  }
}

void checkSimd(FuzzInput& in) {
  const kova_kernel::F32x4 a =
      kova_kernel::f32x4(in.real32(), in.real32(), in.real32(), in.real32());
  const kova_kernel::F32x4 b =
      kova_kernel::f32x4(in.real32(), in.real32(), in.real32(), in.real32());
  const float d = kova_kernel::simdDot4(a, b);
  KOVA_FUZZ_CHECK(std::bit_cast<std::uint32_t>(d) ==
                  std::bit_cast<std::uint32_t>(kova_kernel::simdDot4(a, b)));
  const kova_kernel::F32x4 n = kova_kernel::simdNormalize3(a);
  const float len2 = kova_kernel::simdDot4(a, a);
  if (len2 < 1e-15f) {
    KOVA_FUZZ_CHECK(n[0] == 0.0f && n[1] == 0.0f && n[2] == 0.0f && n[3] == 1.0f);
  } else if (std::isfinite(len2)) {
    // A squared length that did not overflow divides out to unit length.
    KOVA_FUZZ_CHECK(std::abs(kova_kernel::simdDot4(n, n) - 1.0f) <= 1e-5f);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  const HomVec4 a = in.vec();
  const HomVec4 b = in.vec();
  const double tol = in.real();
  checkNormalize(a);
  checkNormalize(b);
  checkDistance(a, b);
  checkDistance(a.normalize(), b.normalize());
  checkSamePoint(a, b, tol);
  checkWMap(in.real(), in.real(), in.real());
  checkInvSqrt(in.real());
  checkInvSqrt(a.x);
  checkSimd(in);
  return 0;
}
