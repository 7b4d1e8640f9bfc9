// The host build of the Vulkan device's double-precision functions, the same
// operations in the same order as shaders/device_math.glsl. Compiled with
// contraction off, it gives the device's bits, which the tests compare.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "kova_kernel.hpp"

namespace kova_device {

// acos on [-1, 1]: the rational approximation of fdlibm's e_acos.
[[nodiscard]] inline double deviceAcos(double x) noexcept {
  constexpr double kPio2Hi = 1.5707963267948966, kPio2Lo = 6.123233995736766e-17;
  constexpr double pS0 = 0.16666666666666666, pS1 = -0.3255658186224009, pS2 = 0.20121253213486293,
                   pS3 = -0.04005553450067941, pS4 = 0.0007915349942898145,
                   pS5 = 3.479331075960212e-05;
  constexpr double qS1 = -2.403394911734414, qS2 = 2.0209457602335057, qS3 = -0.6882839716054533,
                   qS4 = 0.07703815055590194;
  const double ax = std::fabs(x);
  if (ax >= 1.0) {
    if (x == 1.0) return 0.0;
    if (x == -1.0) return 2.0 * kPio2Hi + 2.0 * kPio2Lo;
    return (x - x) / (x - x);
  }
  if (ax < 0.5) {
    if (ax <= 6.938893903907228e-18) return kPio2Hi + kPio2Lo;
    const double z = x * x;
    const double p = z * (pS0 + z * (pS1 + z * (pS2 + z * (pS3 + z * (pS4 + z * pS5)))));
    const double q = 1.0 + z * (qS1 + z * (qS2 + z * (qS3 + z * qS4)));
    const double r = p / q;
    return kPio2Hi - (x - (kPio2Lo - x * r));
  }
  if (x < 0.0) {
    const double z = (1.0 + x) * 0.5;
    const double p = z * (pS0 + z * (pS1 + z * (pS2 + z * (pS3 + z * (pS4 + z * pS5)))));
    const double q = 1.0 + z * (qS1 + z * (qS2 + z * (qS3 + z * qS4)));
    const double s = std::sqrt(z);
    const double r = p / q;
    const double w = r * s - kPio2Lo;
    return 2.0 * kPio2Hi - 2.0 * (s + w);
  }
  const double z = (1.0 - x) * 0.5;
  const double s = std::sqrt(z);
  const double df = std::bit_cast<double>(std::bit_cast<std::uint64_t>(s) & 0xFFFFFFFF00000000ull);
  const double c = (z - df * df) / (s + df);
  const double p = z * (pS0 + z * (pS1 + z * (pS2 + z * (pS3 + z * (pS4 + z * pS5)))));
  const double q = 1.0 + z * (qS1 + z * (qS2 + z * (qS3 + z * qS4)));
  const double r = p / q;
  const double w = r * s + c;
  return 2.0 * (df + w);
}

// Fubini-Study distance with the kernel's fallbacks and deviceAcos: the
// cosine is the kernel's, rescaling of overflowing vectors included, which the
// shader computes in the same order.
[[nodiscard]] inline double deviceFsDistance(kova_kernel::HomVec4 a,
                                             kova_kernel::HomVec4 b) noexcept {
  const double na = std::sqrt(((a.x * a.x + a.y * a.y) + a.z * a.z) + a.w * a.w);
  const double nb = std::sqrt(((b.x * b.x + b.y * b.y) + b.z * b.z) + b.w * b.w);
  return deviceAcos(kova_kernel::fsCosine(a, na, b, nb));
}

}  // namespace kova_device
