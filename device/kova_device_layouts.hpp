// The memory layouts the device shaders read, written once for every device
// layer and checked at compile time: the camera block, the mesh vertex and
// the light record.
// The GLSL declarations (camera[32] of doubles, dvec4 vertices) index these
// layouts by the offsets asserted here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "kova_kernel.hpp"

namespace kova_device {

using kova_kernel::HomVec4;
using kova_kernel::PGL4;

// What the projective pipelines read about the camera.
struct CameraBlock {
  PGL4 view = PGL4::identity();
  HomVec4 observer{0.0, 0.0, 0.0, 1.0};
  double tan_h = 1.0;  // half-width of the image at unit view depth
  double tan_v = 1.0;  // half-height of the image at unit view depth
  double near_fs = 0.0;
  double far_fs = 1.0;
  // false: `view` keeps w and the visible half is w >= 0 (see project).
  // true: `view` is an isometry taking the eye to (0, 0, 0, 1), and every
  // point is drawn once, at its representative facing forward (see
  // projectFacing); triangles need this view.
  bool isometric_view = false;
  std::array<float, 3> fog{};  // the colour that distance fades towards
};

// The camera block as the device reads it: two PGL4 entries of a transform
// buffer (kova_upload_pgl4), 32 doubles. Entry 0 is the view transform;
// entry 1 holds the rest in this order. The shaders read it as
// `double camera[32]`, so each field's index is its offset / 8.
struct CameraBlockGpu {
  double view[16];
  double observer[4];
  double tan_h, tan_v, near_fs, far_fs;
  double isometric_view;  // 1.0 or 0.0
  double fog[3];
  double unused[4];
};
static_assert(sizeof(CameraBlockGpu) == 2 * sizeof(PGL4));
static_assert(offsetof(CameraBlockGpu, observer) == 16 * 8);
static_assert(offsetof(CameraBlockGpu, tan_h) == 20 * 8);
static_assert(offsetof(CameraBlockGpu, near_fs) == 22 * 8);
static_assert(offsetof(CameraBlockGpu, far_fs) == 23 * 8);
static_assert(offsetof(CameraBlockGpu, isometric_view) == 24 * 8);
static_assert(offsetof(CameraBlockGpu, fog) == 25 * 8);

// Index of the view-model flag inside the block's second PGL4 entry.
inline constexpr std::size_t kIsometricFlag = offsetof(CameraBlockGpu, isometric_view) / 8 - 16;

[[nodiscard]] inline std::array<PGL4, 2> packCameraBlock(const CameraBlock& c) noexcept {
  PGL4 params{};
  params.data[0] = c.observer.x;
  params.data[1] = c.observer.y;
  params.data[2] = c.observer.z;
  params.data[3] = c.observer.w;
  params.data[4] = c.tan_h;
  params.data[5] = c.tan_v;
  params.data[6] = c.near_fs;
  params.data[7] = c.far_fs;
  params.data[kIsometricFlag] = c.isometric_view ? 1.0 : 0.0;
  for (std::size_t i = 0; i < 3; ++i) params.data[kIsometricFlag + 1 + i] = c.fog[i];
  return {c.view, params};
}

[[nodiscard]] inline CameraBlock unpackCameraBlock(const PGL4& view, const PGL4& params) noexcept {
  const auto& d = params.data;
  return CameraBlock{
      view,
      HomVec4{d[0], d[1], d[2], d[3]},
      d[4],
      d[5],
      d[6],
      d[7],
      d[kIsometricFlag] == 1.0,
      {static_cast<float>(d[kIsometricFlag + 1]), static_cast<float>(d[kIsometricFlag + 2]),
       static_cast<float>(d[kIsometricFlag + 3])}};
}

// A mesh vertex: one HomVec4 of a kova_positions buffer, read by the shaders
// as a dvec4 (x, y, z, w).
using MeshVertex = HomVec4;
static_assert(sizeof(MeshVertex) == 32);
static_assert(offsetof(MeshVertex, x) == 0 && offsetof(MeshVertex, y) == 8 &&
              offsetof(MeshVertex, z) == 16 && offsetof(MeshVertex, w) == 24);

// A light as the shaders read it (std430: three vec4, 48 bytes): its
// position in view space, the eye at (0, 0, 0, 1), as a unit 4-vector in
// single precision (the host composes view * position in double first, see
// packLights in kova_device_lights.hpp); its colour and intensity; its range
// in Fubini-Study radians. The CPU device shades and culls from the same
// records.
struct LightGpu {
  float position[4];  // x, y, z, w
  float color[4];     // r, g, b, intensity
  float range[4];     // range, its cosine and sine (rounded from double), 0
};
static_assert(sizeof(LightGpu) == 48);
static_assert(offsetof(LightGpu, position) == 0);
static_assert(offsetof(LightGpu, color) == 16);
static_assert(offsetof(LightGpu, range) == 32);

}  // namespace kova_device
