// kova_renderer: the camera that lives on the unit 3-sphere, projective
// hyperplanes and frusta, batch culling and clipping, FS-depth and
// W-visibility, back-to-front depth sorting and the pipeline records.
//
// Distances are Fubini-Study distances in radians (0 to pi/2). Every sum of
// products is evaluated in the order written beside it, each product rounded
// before it is added; nothing is fused. Only sortByFSDepth allocates.
#pragma once

// A clear refusal for hosts built as C++20 or older, in place of the errors the
// declarations below would give there.
#include <version>
#if __cplusplus <= 202002L || !defined(__cpp_lib_expected)
#ifndef KOVA_NEEDS_CXX23_SAID  // said once, whichever kova header comes first
#define KOVA_NEEDS_CXX23_SAID
#error "kova needs C++23 (compile with -std=c++23)"
#endif
#else

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory_resource>
#include <optional>
#include <span>
#include <vector>

#include "kova_kernel.hpp"
#include "kova_rhi.hpp"

namespace kova_renderer {

using kova_kernel::HomVec4;
using kova_kernel::PGL4;

// Where a point appears in a camera's picture: normalised device coordinates
// (x right, y up, both in [-1, 1] exactly inside the picture) and the point's
// Fubini-Study distance from the eye.
struct ProjectedPoint {
  double x = 0.0;
  double y = 0.0;
  double fs_distance = 0.0;

  friend constexpr bool operator==(const ProjectedPoint&, const ProjectedPoint&) = default;
};

// The viewer: an eye point on S^3, a frame (forward, up, right) built by
// Gram-Schmidt against it, projection parameters and a cached view transform.
// A norm counts as usable only when it is strictly greater than ZERO_NORM (a NaN
// norm is not usable); below or at that bound each step keeps its fallback.
// A default-constructed camera holds exactly the values of defaultCamera().
struct KovaCamera {
  HomVec4 position{0.0, 0.0, 0.0, 1.0};
  HomVec4 forward{0.0, 0.0, -1.0, 0.0};
  HomVec4 up{0.0, 1.0, 0.0, 0.0};
  HomVec4 right{1.0, -0.0, 0.0, 0.0};  // the cross product leaves y = -0.0
  double fov = 1.0471975511965979;     // pi/3, horizontal, full angle
  double aspect = 1.7777777777777777;  // 16/9, width over height
  double near_fs = 0.01;
  double far_fs = 1000.0;
  PGL4 view_pgl4 = PGL4::identity();
  bool dirty = true;  // view_pgl4 may not match the pose

  // A frame at the normalised position by modified Gram-Schmidt: forward made
  // orthogonal to the position, up to the position and then to forward, right
  // the cross product of their xyz parts (w = 0). Fallbacks when a norm is not
  // above ZERO_NORM: position (0, 0, 0, 1), forward and up kept unnormalised,
  // right (1, 0, 0, 0). The scalars are stored unchanged, view_pgl4 is the
  // identity and dirty is true.
  [[nodiscard]] static KovaCamera init(HomVec4 position, HomVec4 forward, HomVec4 up, double fov,
                                       double aspect, double near_fs, double far_fs) noexcept;
  // Eye (0, 0, 0, 1) looking along -z with +y up, fov pi/3, aspect 16/9, bounds 0.01 and 1000.
  [[nodiscard]] static KovaCamera defaultCamera() noexcept;

  // When dirty: rows (r, tx), (u, ty), (-f, tz), (0, 0, 0, 1) with the xyz parts of
  // right, up and forward and tx = -dot(r, p), ty = -dot(u, p), tz = -dot(f, p)
  // (tz with the same sign as the others although row 2 holds -f); clears dirty.
  void updateViewMatrix() noexcept;
  // position = normalize(cos(ds) position + sin(ds) forward), kept when that has norm
  // not > ZERO_NORM; the frame is not turned along. Always sets dirty.
  void moveForward(double ds) noexcept;
  // As moveForward, along right.
  void moveRight(double ds) noexcept;
  // fsDistance(position, point).
  [[nodiscard]] double distanceTo(HomVec4 point) const noexcept;

  // Flight. An orthonormal frame is position, forward, up and right, orthonormal
  // in R^4 with det[right, up, -forward, position] = +1. travel, turn and lookAt
  // begin with orthonormalize(), keep the frame orthonormal and set dirty;
  // non-finite arguments leave the camera as it is.
  //
  // Gram-Schmidt of position, forward, up in that order (their directions kept;
  // a degenerate one replaced by the coordinate axis farthest from the others),
  // right = the four-dimensional complement. A frame already orthonormal within
  // 1e-14 is left exactly as it is (the default camera, a flown camera).
  void orthonormalize() noexcept;
  // Along the geodesic with tangent forward_arc f + right_arc r + up_arc u, by
  // its length in radians, the frame carried along by parallel transport.
  void travel(double forward_arc, double right_arc, double up_arc) noexcept;
  // About the eye, in this order: yaw turns forward towards right, then pitch
  // turns forward towards up, then roll turns up towards right.
  void turn(double yaw, double pitch, double roll) noexcept;
  // Forward towards the facing representative of `target` by the shortest turn,
  // then up the unit vector closest to the direction `up_hint` (when up_hint lies
  // along the eye and forward, up is carried by the same turn). A target at the
  // eye keeps forward.
  void lookAt(HomVec4 target, HomVec4 up_hint) noexcept;
  // The rotation with rows right, up, -forward, position of the orthonormalised
  // frame (the fields themselves for a flown camera): eye to (0, 0, 0, 1),
  // forward to (0, 0, -1, 0). The view transform of an elliptic renderer.
  [[nodiscard]] PGL4 viewIsometry() const noexcept;
  // The picture of `point`: its representative facing forward, seen from the eye
  // in perspective, x = tan(horizontal angle) / tan(fov / 2) and y = tan(vertical
  // angle) / (tan(fov / 2) / aspect); fs_distance = fsDistance(position, point).
  // Empty for a point in the eye's focal plane (the eye included), for the zero
  // or a non-finite vector, and unless 0 < fov < pi and 0 < aspect < infinity.
  [[nodiscard]] std::optional<ProjectedPoint> project(HomVec4 point) const noexcept;

  friend constexpr bool operator==(const KovaCamera&, const KovaCamera&) = default;
};

// The plane a x + b y + c z + d w = 0; its visible side has a value >= 0. The
// side is decided on the 4-vector as stored, so a point and its antipode lie on
// opposite sides unless the value is zero. Coefficients are never normalised.
struct ProjectiveHyperplane {
  double a = 0.0;
  double b = 0.0;
  double c = 0.0;
  double d = 0.0;

  [[nodiscard]] static constexpr ProjectiveHyperplane init(double a, double b, double c,
                                                           double d) noexcept {
    return ProjectiveHyperplane{a, b, c, d};
  }
  // ((a x + b y) + c z) + d w, with no 0.0 start, so -0.0 survives.
  [[nodiscard]] constexpr double evaluate(HomVec4 p) const noexcept {
    return ((a * p.x + b * p.y) + c * p.z) + d * p.w;
  }
  // evaluate(p) >= 0.0: -0.0 is visible, NaN is not.
  [[nodiscard]] constexpr bool isVisible(HomVec4 p) const noexcept { return evaluate(p) >= 0.0; }
  // The coefficient vector multiplied by m itself, exactly as m.apply multiplies a
  // point (not by the inverse transpose), not normalised.
  [[nodiscard]] ProjectiveHyperplane transformBy(const PGL4& m) const noexcept;

  friend constexpr bool operator==(const ProjectiveHyperplane&,
                                   const ProjectiveHyperplane&) = default;
};

// The viewing volume of a camera: four side planes (left, right, top, bottom),
// the near and far bounds and the observer. A snapshot: it does not follow later
// moves of the camera.
struct KovaFrustum {
  std::array<ProjectiveHyperplane, 4> planes{};
  double near_fs = 0.0;
  double far_fs = 0.0;
  HomVec4 observer{};

  // The side planes (left, right, top, bottom) through the camera's position,
  // with the unnormalised normals f + th r, f - th r, f - tv u, f + tv u for
  // th = tan(fov / 2), tv = tan((fov / 2) / aspect): the aspect divides the
  // angle, not the tangent. The bounds and the observer are the camera's.
  [[nodiscard]] static KovaFrustum fromCamera(const KovaCamera& camera) noexcept;
  // The four planes through the eye that bound exactly the picture of
  // camera.project, from the orthonormalised frame, coefficients of unit norm;
  // bounds and observer as fromCamera. A point's representative facing forward
  // is on their visible side exactly when project puts it in [-1, 1]^2 (the eye,
  // on all four planes, passes though project shows it nowhere). For fov
  // outside (0, pi) or aspect outside (0, infinity) the planes are NaN: nothing
  // passes. Cull points stored with either sign with frustumCullFacing.
  [[nodiscard]] static KovaFrustum fromView(const KovaCamera& camera) noexcept;
  // On the visible side of all four side planes; the bounds are not used.
  [[nodiscard]] bool isVisibleFast(HomVec4 point) const noexcept;
  // The point or its negation on the visible side of all four planes: the test
  // of a projective point whatever sign it is stored with.
  [[nodiscard]] bool isVisibleFacing(HomVec4 point) const noexcept;
  // False when, for some plane, -fs_radius * |plane| > evaluate(center) (|plane| the
  // 4-norm of the coefficients), when near_fs > delta + fs_radius or when
  // delta - fs_radius > far_fs, with delta = fsDistance(observer, center).
  [[nodiscard]] bool isSphereVisible(HomVec4 center, double fs_radius) const noexcept;
  // Each plane by its own transformBy(m), observer = m.apply(observer) (not
  // normalised), bounds copied.
  [[nodiscard]] KovaFrustum transformBy(const PGL4& m) const noexcept;

  friend constexpr bool operator==(const KovaFrustum&, const KovaFrustum&) = default;
};

// Both batch operations classify the first n = min(positions.size(),
// visible_mask.size()) points as stored (no normalisation), write every mask
// entry below n (true or false), leave entries at n and beyond untouched, read
// no position at n or beyond, and return the number of true entries written.
// They give exactly the answers of the per-point tests, NaN included.
//
// frustumCull applies frustum.isVisibleFast (the side planes only).
[[nodiscard]] std::uint32_t frustumCull(const KovaFrustum& frustum,
                                        std::span<const HomVec4> positions,
                                        std::span<bool> visible_mask) noexcept;
// projectiveClip applies plane.isVisible.
[[nodiscard]] std::uint32_t projectiveClip(const ProjectiveHyperplane& plane,
                                           std::span<const HomVec4> positions,
                                           std::span<bool> visible_mask) noexcept;

// frustumCullFacing applies frustum.isVisibleFacing, with the same contract: with
// a frustum from fromView it keeps exactly what the camera's picture shows.
[[nodiscard]] std::uint32_t frustumCullFacing(const KovaFrustum& frustum,
                                              std::span<const HomVec4> positions,
                                              std::span<bool> visible_mask) noexcept;

// Classification of a point by the sign of its stored w.
enum class WVisibilityClass : std::uint8_t { in_front = 0, behind = 1, at_infinity = 2 };

// d = fsDistance(observer, point); 0.0 when near_fs >= d, else 1.0 when d >= far_fs,
// else (d - near_fs) / (far_fs - near_fs). NaN only for a NaN distance.
[[nodiscard]] double fsDepth(HomVec4 observer, HomVec4 point, double near_fs,
                             double far_fs) noexcept;
// near_fs + depth * (far_fs - near_fs), unclamped.
[[nodiscard]] double fsDepthToDistance(double depth, double near_fs, double far_fs) noexcept;
// in_front for w > W_EPS, behind for w < -W_EPS, at_infinity otherwise (NaN included).
[[nodiscard]] WVisibilityClass wVisibility(HomVec4 point) noexcept;

// Back-to-front draw order: the permutation of 0 .. n-1 by non-increasing
// fsDistance(observer, positions[i]), points at equal distance in input order.
// It is the permutation of a stable insertion sort, for every input.
//
// Allocates one block from `allocator`, the returned index array of n entries,
// and sorts inside it (besides a few tens of KiB of stack); when that block is
// refused the result is OutOfMemory. Cost O(n log n) for every input, ties and
// near-ties included: n cosines and in-place radix passes, plus a few
// arc-cosines for each point whose distance is within about 2^-32 of another's.
// No exception leaves the function.
[[nodiscard]] std::expected<std::pmr::vector<std::size_t>, kova_kernel::Error> sortByFSDepth(
    std::pmr::memory_resource& allocator, HomVec4 observer, std::span<const HomVec4> positions);

// Tiled forward+ configuration; the limit on lights is per tile.
struct ForwardPlusConfig {
  std::uint32_t tile_size = 16;
  std::uint32_t max_lights_per_tile = 256;
  std::uint32_t msaa_samples = 1;
  bool z_prepass = true;  // the only field that changes the pass count
  bool fs_depth = true;
  bool chart_switching = true;

  friend constexpr bool operator==(const ForwardPlusConfig&, const ForwardPlusConfig&) = default;
};

// Formats of the deferred pipeline's G-buffer targets.
struct GBufferLayout {
  kova_rhi::Format position_format = kova_rhi::Format::rgba32_float;
  kova_rhi::Format normal_format = kova_rhi::Format::rgba32_float;
  kova_rhi::Format albedo_format = kova_rhi::Format::rgba8_unorm;
  kova_rhi::Format material_format = kova_rhi::Format::rgba32_float;
  kova_rhi::Format depth_format = kova_rhi::Format::depth32_float;

  // Sum of the five format sizes, in field order: 56 for the defaults, at most 640.
  [[nodiscard]] std::uint32_t bytesPerPixel() const noexcept;

  friend constexpr bool operator==(const GBufferLayout&, const GBufferLayout&) = default;
};

// Deferred configuration; the limit on lights is a total.
struct DeferredConfig {
  std::uint32_t tile_size = 16;
  std::uint32_t max_lights = 1024;
  GBufferLayout gbuffer{};
  bool fs_depth = true;
  bool kova_normals = true;
  bool tiled = true;
  bool chart_switching = true;

  friend constexpr bool operator==(const DeferredConfig&, const DeferredConfig&) = default;
};

// A forward+ pipeline: its own copy of the camera, the frustum built from that
// copy once, a frame counter the host advances, and the configuration.
struct ForwardPlusPipeline {
  KovaCamera camera{};
  KovaFrustum frustum{};
  std::uint64_t frame_index = 0;
  ForwardPlusConfig config{};

  // The camera copied unchanged (its view matrix is not refreshed), its frustum, frame 0.
  [[nodiscard]] static ForwardPlusPipeline init(const KovaCamera& camera,
                                                const ForwardPlusConfig& config) noexcept;
  // 4 with the depth pre-pass, 3 without.
  [[nodiscard]] std::uint32_t passCount() const noexcept;
};

// A deferred pipeline, shaped like ForwardPlusPipeline.
struct DeferredPipeline {
  KovaCamera camera{};
  KovaFrustum frustum{};
  std::uint64_t frame_index = 0;
  DeferredConfig config{};

  [[nodiscard]] static DeferredPipeline init(const KovaCamera& camera,
                                             const DeferredConfig& config) noexcept;
  // Always 3.
  [[nodiscard]] std::uint32_t passCount() const noexcept;
};

enum class PipelineMode : std::uint8_t { forward_plus = 0, deferred = 1, hybrid = 2 };

// Constant pass-count hints: forward_plus 4, deferred 3, hybrid 5.
[[nodiscard]] constexpr std::uint32_t passCountHint(PipelineMode mode) noexcept {
  switch (mode) {
    case PipelineMode::forward_plus:
      return 4;
    case PipelineMode::deferred:
      return 3;
    case PipelineMode::hybrid:
      return 5;
  }
  return 0;
}

// Not part of the interface: lets tests and benchmarks run each implementation
// of the batch loops on the same input. The public functions pick the fastest
// one the processor supports.
namespace detail {
enum class BatchPath : std::uint8_t { portable = 0, avx2 = 1, avx512 = 2 };
// Whether a vector loop requests points ahead of use: as the processor and the
// length call for, never, or always. The flags never depend on it.
enum class BatchPrefetch : std::uint8_t { automatic = 0, none = 1, ahead = 2 };
[[nodiscard]] bool batchPathAvailable(BatchPath path) noexcept;
// Runs `path` (the portable loop when `path` is not available).
[[nodiscard]] std::uint32_t frustumCullWith(
    BatchPath path, const KovaFrustum& frustum, std::span<const HomVec4> positions,
    std::span<bool> visible_mask, BatchPrefetch prefetch = BatchPrefetch::automatic) noexcept;
[[nodiscard]] std::uint32_t projectiveClipWith(
    BatchPath path, const ProjectiveHyperplane& plane, std::span<const HomVec4> positions,
    std::span<bool> visible_mask, BatchPrefetch prefetch = BatchPrefetch::automatic) noexcept;
}  // namespace detail

}  // namespace kova_renderer

#endif  // C++23
