// The device layer's shaders as SPIR-V words, compiled by glslc at build time.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kova_device::spirv {

inline constexpr std::uint32_t kFsDistance[] = {
#include "fs_distance.comp.inc"
};
inline constexpr std::uint32_t kPointSplats[] = {
#include "point_splats.comp.inc"
};
inline constexpr std::uint32_t kGeodesics[] = {
#include "geodesics.comp.inc"
};
inline constexpr std::uint32_t kSplatVert[] = {
#include "splat.vert.inc"
};
inline constexpr std::uint32_t kSplatFrag[] = {
#include "splat.frag.inc"
};
inline constexpr std::uint32_t kGeodesicVert[] = {
#include "geodesic.vert.inc"
};
inline constexpr std::uint32_t kGeodesicFrag[] = {
#include "geodesic.frag.inc"
};

inline constexpr std::uint32_t kMeshVert[] = {
#include "mesh.vert.inc"
};
inline constexpr std::uint32_t kMeshFrag[] = {
#include "mesh.frag.inc"
};
inline constexpr std::uint32_t kLineVert[] = {
#include "line.vert.inc"
};
inline constexpr std::uint32_t kLineFrag[] = {
#include "line.frag.inc"
};
inline constexpr std::uint32_t kTileLights[] = {
#include "tile_lights.comp.inc"
};
inline constexpr std::uint32_t kGBufferFrag[] = {
#include "gbuffer.frag.inc"
};
inline constexpr std::uint32_t kDeferredLight[] = {
#include "deferred_light.comp.inc"
};
inline constexpr std::uint32_t kDeferredLightWide[] = {
#include "deferred_light_wide.comp.inc"
};
// The same two for a G-buffer of one sample per pixel.
inline constexpr std::uint32_t kDeferredLight1x[] = {
#include "deferred_light_1x.comp.inc"
};
inline constexpr std::uint32_t kDeferredLightWide1x[] = {
#include "deferred_light_wide_1x.comp.inc"
};

// Whether a module declares the Float64 capability (OpCapability Float64):
// such a module runs only on a device created with shaderFloat64.
constexpr bool declaresFloat64(std::span<const std::uint32_t> words) {
  constexpr std::uint32_t kOpCapability = 17, kFloat64 = 10;
  for (std::size_t at = 5; at < words.size();) {
    const std::uint32_t count = words[at] >> 16;
    if ((words[at] & 0xFFFFu) == kOpCapability && at + 1 < words.size() &&
        words[at + 1] == kFloat64)
      return true;
    if (count == 0) return false;  // malformed: stop rather than loop
    at += count;
  }
  return false;
}

struct Module {
  std::string_view name;
  std::span<const std::uint32_t> words;
};
inline constexpr Module kAll[] = {
    {"fs_distance.comp", kFsDistance}, {"point_splats.comp", kPointSplats},
    {"geodesics.comp", kGeodesics},    {"splat.vert", kSplatVert},
    {"splat.frag", kSplatFrag},        {"geodesic.vert", kGeodesicVert},
    {"geodesic.frag", kGeodesicFrag},  {"mesh.vert", kMeshVert},
    {"mesh.frag", kMeshFrag},          {"line.vert", kLineVert},
    {"line.frag", kLineFrag},          {"tile_lights.comp", kTileLights},
    {"gbuffer.frag", kGBufferFrag},    {"deferred_light.comp", kDeferredLight},
    {"deferred_light_wide.comp", kDeferredLightWide},
    {"deferred_light_1x.comp", kDeferredLight1x},
    {"deferred_light_wide_1x.comp", kDeferredLightWide1x},
};

}  // namespace kova_device::spirv
