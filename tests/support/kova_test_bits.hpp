// The bit comparisons of kova_test_compare.hpp, for GoogleTest files: a failed
// EXPECT_TRUE(sameBits(a, b)) or EXPECT_TRUE(sameValue(a, b)) prints the first
// differing element with its bit pattern.
#pragma once

#include <gtest/gtest.h>

#include "kova_test_compare.hpp"

namespace kova_test {

inline Comparison::operator ::testing::AssertionResult() const {
  if (same_) return ::testing::AssertionSuccess();
  ::testing::AssertionResult failure = ::testing::AssertionFailure();
  if (shape_ == Shape::vector) failure << "component " << index_ << ": ";
  if (shape_ == Shape::matrix) failure << "element " << index_ << ": ";
  failure << a_ << " (0x" << std::hex << bits(a_) << ") vs " << std::dec << b_ << " (0x"
          << std::hex << bits(b_) << ")";
  return failure;
}

}  // namespace kova_test
