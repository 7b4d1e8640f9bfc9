// Bit-level comparison helpers for tests that pin exact results.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

#include "kova_kernel.hpp"

namespace kova_test {

inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// Same bit pattern: tells +0.0 from -0.0, and compares NaNs by payload.
inline ::testing::AssertionResult sameBits(double a, double b) {
  if (bits(a) == bits(b)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << a << " (0x" << std::hex << bits(a) << ") vs " << b
                                       << " (0x" << bits(b) << ")";
}

inline ::testing::AssertionResult sameBits(const kova_kernel::HomVec4& a,
                                           const kova_kernel::HomVec4& b) {
  const double pa[4] = {a.x, a.y, a.z, a.w};
  const double pb[4] = {b.x, b.y, b.z, b.w};
  for (int i = 0; i < 4; ++i) {
    if (bits(pa[i]) != bits(pb[i])) {
      return ::testing::AssertionFailure() << "component " << i << ": " << pa[i] << " vs " << pb[i];
    }
  }
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult sameBits(const kova_kernel::PGL4& a, const kova_kernel::PGL4& b) {
  for (int i = 0; i < 16; ++i) {
    if (bits(a.data[i]) != bits(b.data[i])) {
      return ::testing::AssertionFailure() << "element " << i << ": " << a.data[i] << " vs "
                                           << b.data[i];
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace kova_test
