// Four-lane single-precision helpers and the bit-level inverse square root.
#include <bit>
#include <cmath>
#include <limits>

#include "kova_kernel.hpp"

namespace kova_kernel {

namespace {
// The zero-norm bound in single precision, compared with a squared length.
constexpr float kZeroNormF32 = static_cast<float>(ZERO_NORM);
static_assert(kZeroNormF32 == 1e-15f);
}  // namespace

F32x4 f32x4(float x, float y, float z, float w) noexcept { return F32x4{x, y, z, w}; }

float simdDot4(F32x4 a, F32x4 b) noexcept {
  const F32x4 c = a * b;
  return ((c[0] + c[1]) + c[2]) + c[3];
}

F32x4 simdNormalize3(F32x4 v) noexcept {
  // All four lanes take part in the length, lane 3 included.
  const float d = simdDot4(v, v);
  if (d < kZeroNormF32) return f32x4(0.0f, 0.0f, 0.0f, 1.0f);
  const float len = std::sqrt(d);
  return v / F32x4{len, len, len, len};
}

namespace {
// Estimate from the bit pattern, then exactly three Newton-Raphson steps
// y <- y (1.5 - (x/2) y y). Valid for positive normal x.
double invSqrtNormal(double x) noexcept {
  constexpr std::uint64_t magic = 0x5FE6EB50C7B537A9ull;
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  double y = std::bit_cast<double>(magic - (bits >> 1));
  const double half_x = 0.5 * x;
  for (int step = 0; step < 3; ++step) {
    double t = half_x * y;
    t = t * y;
    y = y * (1.5 - t);
  }
  return y;
}
}  // namespace

double cordicInvSqrt(double x) noexcept {
  if (std::isnan(x)) return x;
  if (x <= 0.0) return 0.0;
  if (x == std::numeric_limits<double>::infinity()) return 0.0;  // the limit of 1/sqrt(x)
  if (x < std::numeric_limits<double>::min()) {
    // Subnormal: 1/sqrt(x) = 2^32 / sqrt(x * 2^64), both scalings exact.
    return invSqrtNormal(x * 0x1p64) * 0x1p32;
  }
  return invSqrtNormal(x);
}

}  // namespace kova_kernel
