// The CPU device layer's triangle rasteriser for the projective pipeline.
//
// Each triangle of an indexed mesh, placed by its instance's PGL4 and seen
// through an isometric view, is drawn in its two halves: the part in front of
// the eye's focal plane as it is, and the part behind it through the negated
// (forward-facing) vertices, each clipped in homogeneous coordinates to the
// half in front of the eye, and split at view w = 0 (kova_device_raster.hpp's
// projective depth is linear in clip space only within one sign of w).
// Geometry stays in double precision until clip space. Coverage follows the rules of a GPU: vertices snapped to 1/256 pixel,
// samples at the standard 4x positions (or the pixel centre), the top-left
// fill rule. One fragment per pixel and triangle is shaded at the pixel
// centre (mesh_shading.hpp) and depth-tested per covered sample with the
// projective depth of the sample's ray (reversed compare).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "kova_device_layouts.hpp"
#include "kova_device_raster.hpp"
#include "kova_tile_lights.hpp"
#include "kova_rhi.hpp"

namespace kova_device {

// Samples per pixel and their positions inside the pixel, in 1/256 pixel.
inline constexpr std::uint32_t kMaxSamples = 4;
inline constexpr std::array<std::array<int, 2>, 4> kSamplePositions4 = {
    {{96, 32}, {224, 96}, {32, 160}, {160, 224}}};
inline constexpr std::array<int, 2> kSamplePosition1 = {128, 128};

// Subpixel precision of snapped vertex positions.
inline constexpr int kSubpixelBits = 8;
// Clip-space vertices keep |x|, |y| <= kGuardBand * w: a guard band that only
// trims what lies outside the picture. The near side is the camera's near
// bound alone (kova_device_raster.hpp).
inline constexpr double kGuardBand = 2.0;

// Where fragments go: per-sample colour (RGBA) and depth, per-pixel kind.
// Sample s of pixel (x, y) is element (y * width + x) * samples + s.
struct SampleTarget {
  std::uint32_t width = 0, height = 0, samples = 1;
  std::span<float> color;
  std::span<float> depth;
  std::span<std::uint8_t> kinds;
  // When not empty, one counter per sample, raised by every fragment that
  // passes the depth test (for checking coverage).
  std::span<std::uint16_t> coverage;
  // When not empty, a G-buffer pass: each fragment writes the surface's
  // position, normal, albedo and material (gBufferSample, kova_deferred.hpp)
  // into these four RGBA targets instead of a colour into `color`.
  std::array<std::span<float>, 4> gbuffer{};
  kova_rhi::Format albedo_format = kova_rhi::Format::rgba8_unorm;
};

struct TriangleDraw {
  CameraBlock camera;
  std::span<const HomVec4> vertices;
  std::span<const std::uint32_t> indices;   // index_count of them, all < vertices.size()
  std::span<const PGL4> instances;          // one transform per instance
  std::span<const double> instance_colors;  // RGB per instance, or empty for white
  std::span<const LightGpu> lights;         // in view space (packLights), or none
  // Forward+: the tile lists (kova_tile_lights.hpp) over `grid`; empty:
  // every fragment sheds every light.
  std::span<const double> tile_lists;
  TileGrid grid{};
  kova_rhi::DepthState depth{};
};

struct TriangleStats {
  std::uint32_t triangles = 0;        // triangles submitted (all instances)
  std::uint32_t triangles_drawn = 0;  // of those, with a fragment that passed the depth test
  std::uint64_t fragments = 0;        // fragments that passed the depth test
};

// Draws the triangles. Invalid triangles (a non-finite or zero vertex, no
// area) are drawn as nothing. The caller has checked the index range.
TriangleStats drawTriangles(const TriangleDraw& draw, SampleTarget& target);

}  // namespace kova_device
