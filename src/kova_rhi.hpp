// kova_rhi: the vocabulary in which a host describes GPU work to its device
// layer: formats, resource descriptors, handles, pipelines, depth state, GPU
// commands and the frame graph. Everything is a plain value; nothing here talks
// to a device.
#pragma once

#include <cstdint>

#include "kova_kernel.hpp"

namespace kova_rhi {

// Element and pixel formats. homvec4_f64 is one kova_kernel::HomVec4 (32 bytes)
// and pgl4_f64 one kova_kernel::PGL4 (128 bytes), uploaded unchanged.
enum class Format : std::uint8_t {
  undefined = 0,
  r8_unorm = 1,
  rg8_unorm = 2,
  rgba8_unorm = 3,
  rgba8_srgb = 4,
  r16_float = 5,
  rg16_float = 6,
  rgba16_float = 7,
  r32_float = 8,
  rg32_float = 9,
  rgb32_float = 10,
  rgba32_float = 11,
  r32_uint = 12,
  rg32_uint = 13,
  rgba32_uint = 14,
  depth16_unorm = 15,
  depth24_unorm_stencil8_uint = 16,
  depth32_float = 17,
  depth32_float_stencil8_uint = 18,
  homvec4_f64 = 19,
  pgl4_f64 = 20,
};

// Bytes per element or pixel; 0 for undefined (and for values outside the enumeration).
[[nodiscard]] constexpr std::uint32_t size(Format f) noexcept {
  switch (f) {
    case Format::undefined: return 0;
    case Format::r8_unorm: return 1;
    case Format::rg8_unorm: return 2;
    case Format::rgba8_unorm: return 4;
    case Format::rgba8_srgb: return 4;
    case Format::r16_float: return 2;
    case Format::rg16_float: return 4;
    case Format::rgba16_float: return 8;
    case Format::r32_float: return 4;
    case Format::rg32_float: return 8;
    case Format::rgb32_float: return 12;
    case Format::rgba32_float: return 16;
    case Format::r32_uint: return 4;
    case Format::rg32_uint: return 8;
    case Format::rgba32_uint: return 16;
    case Format::depth16_unorm: return 2;
    case Format::depth24_unorm_stencil8_uint: return 4;
    case Format::depth32_float: return 4;
    case Format::depth32_float_stencil8_uint: return 8;
    case Format::homvec4_f64: return 32;
    case Format::pgl4_f64: return 128;
  }
  return 0;
}

// True exactly for the two projective formats.
[[nodiscard]] constexpr bool isKova(Format f) noexcept {
  return f == Format::homvec4_f64 || f == Format::pgl4_f64;
}

}  // namespace kova_rhi
