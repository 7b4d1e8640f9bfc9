// Values the test suites share: the short point constructor v() and the one
// table of hostile doubles that the kernel's and the renderer's suites draw from.
#pragma once

#include <array>
#include <limits>

#include "kova_kernel.hpp"

namespace kova_test {

// A point written as briefly as the tests need it.
constexpr kova_kernel::HomVec4 v(double x, double y, double z, double w) noexcept {
  return kova_kernel::HomVec4::init(x, y, z, w);
}

// Values that break careless arithmetic: NaNs of both signs, infinities, signed
// zeros, subnormals, the normal extremes, magnitudes whose squares or products
// overflow or vanish, the zero-norm bound and plain small numbers.
inline constexpr std::array kHostileValues = {
    std::numeric_limits<double>::quiet_NaN(),
    -std::numeric_limits<double>::quiet_NaN(),
    std::numeric_limits<double>::infinity(),
    -std::numeric_limits<double>::infinity(),
    0.0,
    -0.0,
    std::numeric_limits<double>::denorm_min(),
    -std::numeric_limits<double>::denorm_min(),
    2.2250738585072009e-308,  // largest subnormal
    std::numeric_limits<double>::min(),
    -std::numeric_limits<double>::min(),
    std::numeric_limits<double>::max(),
    -std::numeric_limits<double>::max(),
    1e300,
    -1e300,
    1e-300,
    -1e-300,
    1e16,
    -1e16,
    1.0,
    -1.0,
    0.5,
    0.1,
    kova_kernel::ZERO_NORM,
};

}  // namespace kova_test
