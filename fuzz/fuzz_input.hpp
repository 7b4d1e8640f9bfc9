// Decoding of libFuzzer's byte string into the values a host may hand to kova:
// raw double and float bit patterns (NaN payloads, infinities, subnormals and
// signed zeros included), array lengths and allocator decisions. Reading past
// the end yields zero bytes, so every input decodes to a complete call.
// Comparisons and memory resources come from kova_test_support, as in the tests.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

#include "kova_kernel.hpp"
#include "kova_test_compare.hpp"
#include "kova_test_resources.hpp"

namespace kova_fuzz {

// A failed property: print it and abort, which libFuzzer reports as a crash
// and saves the input that caused it.
[[noreturn]] inline void fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "kova property violated: %s (%s:%d)\n", what, file, line);
  std::fflush(stderr);
  std::abort();
}

#define KOVA_FUZZ_CHECK(cond) \
  ((cond) ? static_cast<void>(0) : ::kova_fuzz::fail(#cond, __FILE__, __LINE__))

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}

  [[nodiscard]] std::size_t remaining() const noexcept { return size_ - pos_; }

  [[nodiscard]] std::uint8_t byte() noexcept { return pos_ < size_ ? data_[pos_++] : 0; }
  [[nodiscard]] bool flag() noexcept { return (byte() & 1u) != 0; }
  [[nodiscard]] std::uint32_t u32() noexcept { return static_cast<std::uint32_t>(raw(4)); }
  [[nodiscard]] std::uint64_t u64() noexcept { return raw(8); }

  // A length in [0, max], two bytes wide so that long arrays are reachable.
  [[nodiscard]] std::size_t length(std::size_t max) noexcept {
    const std::size_t v = static_cast<std::size_t>(raw(2));
    return max == 0 ? 0 : v % (max + 1);
  }

  // A double chosen by a selector byte: half of the selector values take the
  // next eight bytes as a raw bit pattern, a quarter pick a hostile value from
  // a table, and the rest a small multiple of 1/8, so that ordinary geometry
  // (orthogonal frames, points in front of a camera) is reached as well.
  [[nodiscard]] double real() noexcept {
    const std::uint8_t sel = byte();
    if (sel < 128) return std::bit_cast<double>(raw(8));
    if (sel < 192) return special(static_cast<std::size_t>(sel - 128));
    return static_cast<double>(static_cast<std::int8_t>(byte())) / 8.0;
  }

  // The same for single precision.
  [[nodiscard]] float real32() noexcept {
    const std::uint8_t sel = byte();
    if (sel < 128) return std::bit_cast<float>(static_cast<std::uint32_t>(raw(4)));
    if (sel < 192) return static_cast<float>(special(static_cast<std::size_t>(sel - 128)));
    return static_cast<float>(static_cast<std::int8_t>(byte())) / 8.0f;
  }

  [[nodiscard]] kova_kernel::HomVec4 vec() noexcept {
    const double x = real();
    const double y = real();
    const double z = real();
    const double w = real();
    return kova_kernel::HomVec4::init(x, y, z, w);
  }

  [[nodiscard]] kova_kernel::PGL4 matrix() noexcept {
    kova_kernel::PGL4 m;
    for (double& e : m.data) e = real();
    return m;
  }

  // Up to max bytes of the input itself, as a view (for pass names).
  [[nodiscard]] std::string_view text(std::size_t max) noexcept {
    std::size_t n = length(max);
    if (n > remaining()) n = remaining();
    const std::string_view out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
  }

 private:
  [[nodiscard]] std::uint64_t raw(std::size_t n) noexcept {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(byte()) << (8 * i);
    return v;
  }

  [[nodiscard]] static double special(std::size_t i) noexcept {
    using L = std::numeric_limits<double>;
    static constexpr std::uint64_t kPatterns[] = {
        0x7FF8000000000000ull,  // quiet NaN
        0xFFF8000000000000ull,  // negative quiet NaN
        0x7FF0000000000001ull,  // signalling NaN, lowest payload
        0x7FFFFFFFFFFFFFFFull,  // quiet NaN, full payload
        0x8000000000000000ull,  // -0.0
        0x0000000000000001ull,  // smallest subnormal
        0x800FFFFFFFFFFFFFull,  // largest negative subnormal
    };
    constexpr std::size_t kNumPatterns = sizeof(kPatterns) / sizeof(kPatterns[0]);
    static constexpr double kValues[] = {
        L::infinity(),
        -L::infinity(),
        0.0,
        1.0,
        -1.0,
        2.0,
        0.5,
        L::max(),
        -L::max(),
        L::min(),
        -L::min(),
        1e-15,
        -1e-15,
        9.9e-16,
        1e-6,
        -1e-6,
        0.01,
        1000.0,
        1.5707963267948966,
        3.141592653589793,
        1e154,
        1.4e154,
        -1e200,
        1e-160,
        1e300,
        4.0,
        1e-12,
        0.1,
    };
    constexpr std::size_t kNumValues = sizeof(kValues) / sizeof(kValues[0]);
    i %= kNumPatterns + kNumValues;
    if (i < kNumPatterns) return std::bit_cast<double>(kPatterns[i]);
    return kValues[i - kNumPatterns];
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace kova_fuzz
