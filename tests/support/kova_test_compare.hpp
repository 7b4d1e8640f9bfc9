// Bit-level comparisons for the tests, the fuzz targets and the benchmarks'
// checks. Two rules, each under one name everywhere:
//  - sameBits: the same bit pattern (tells +0.0 from -0.0, compares NaN payloads);
//  - sameValue: the same bits, or both NaN. Which payload survives an operation
//    with two NaN operands is the processor's choice (and depends on the operand
//    order the compiler picked), so computed results that may be NaN use it.
// Free of GoogleTest; kova_test_bits.hpp lets gtest assertions print the difference.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "kova_kernel.hpp"

namespace testing {
class AssertionResult;
}  // namespace testing

namespace kova_test {

inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// The outcome of a comparison: true when equal under its rule, otherwise the
// first differing element (component of a vector, entry of a matrix).
class Comparison {
 public:
  enum class Shape : std::uint8_t { scalar, vector, matrix };

  static constexpr Comparison same() noexcept { return Comparison{}; }
  static constexpr Comparison differ(Shape shape, std::size_t index, double a, double b) noexcept {
    Comparison c;
    c.same_ = false;
    c.shape_ = shape;
    c.index_ = index;
    c.a_ = a;
    c.b_ = b;
    return c;
  }

  constexpr explicit operator bool() const noexcept { return same_; }
  constexpr Shape shape() const noexcept { return shape_; }
  constexpr std::size_t index() const noexcept { return index_; }
  constexpr double first() const noexcept { return a_; }
  constexpr double second() const noexcept { return b_; }

  // For EXPECT_TRUE / ASSERT_TRUE: a failure prints the differing element.
  // Defined in kova_test_bits.hpp, which every gtest file that asserts on a
  // Comparison includes.
  inline operator ::testing::AssertionResult() const;

 private:
  bool same_ = true;
  Shape shape_ = Shape::scalar;
  std::size_t index_ = 0;
  double a_ = 0.0;
  double b_ = 0.0;
};

namespace detail {
inline bool sameBitsRule(double a, double b) noexcept { return bits(a) == bits(b); }
inline bool sameValueRule(double a, double b) noexcept {
  return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b));
}

template <bool (*Rule)(double, double)>
Comparison compare(double a, double b) noexcept {
  return Rule(a, b) ? Comparison::same() : Comparison::differ(Comparison::Shape::scalar, 0, a, b);
}
template <bool (*Rule)(double, double)>
Comparison compare(const kova_kernel::HomVec4& a, const kova_kernel::HomVec4& b) noexcept {
  const double pa[4] = {a.x, a.y, a.z, a.w};
  const double pb[4] = {b.x, b.y, b.z, b.w};
  for (std::size_t i = 0; i < 4; ++i) {
    if (!Rule(pa[i], pb[i])) return Comparison::differ(Comparison::Shape::vector, i, pa[i], pb[i]);
  }
  return Comparison::same();
}
template <bool (*Rule)(double, double)>
Comparison compare(const kova_kernel::PGL4& a, const kova_kernel::PGL4& b) noexcept {
  for (std::size_t i = 0; i < 16; ++i) {
    if (!Rule(a.data[i], b.data[i])) {
      return Comparison::differ(Comparison::Shape::matrix, i, a.data[i], b.data[i]);
    }
  }
  return Comparison::same();
}
}  // namespace detail

inline Comparison sameBits(double a, double b) noexcept {
  return detail::compare<detail::sameBitsRule>(a, b);
}
inline Comparison sameBits(const kova_kernel::HomVec4& a, const kova_kernel::HomVec4& b) noexcept {
  return detail::compare<detail::sameBitsRule>(a, b);
}
inline Comparison sameBits(const kova_kernel::PGL4& a, const kova_kernel::PGL4& b) noexcept {
  return detail::compare<detail::sameBitsRule>(a, b);
}

inline Comparison sameValue(double a, double b) noexcept {
  return detail::compare<detail::sameValueRule>(a, b);
}
inline Comparison sameValue(const kova_kernel::HomVec4& a, const kova_kernel::HomVec4& b) noexcept {
  return detail::compare<detail::sameValueRule>(a, b);
}
inline Comparison sameValue(const kova_kernel::PGL4& a, const kova_kernel::PGL4& b) noexcept {
  return detail::compare<detail::sameValueRule>(a, b);
}

inline bool isFinite(const kova_kernel::HomVec4& v) noexcept {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z) && std::isfinite(v.w);
}
inline bool isFinite(const kova_kernel::PGL4& m) noexcept {
  for (const double e : m.data) {
    if (!std::isfinite(e)) return false;
  }
  return true;
}
inline bool hasNaN(const kova_kernel::HomVec4& v) noexcept {
  return std::isnan(v.x) || std::isnan(v.y) || std::isnan(v.z) || std::isnan(v.w);
}

}  // namespace kova_test
