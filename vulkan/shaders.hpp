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

struct Module {
  std::string_view name;
  std::span<const std::uint32_t> words;
};
inline constexpr Module kAll[] = {
    {"fs_distance.comp", kFsDistance}, {"point_splats.comp", kPointSplats},
    {"geodesics.comp", kGeodesics},    {"splat.vert", kSplatVert},
    {"splat.frag", kSplatFrag},        {"geodesic.vert", kGeodesicVert},
    {"geodesic.frag", kGeodesicFrag},  {"mesh.vert", kMeshVert},
    {"mesh.frag", kMeshFrag},
};

}  // namespace kova_device::spirv
