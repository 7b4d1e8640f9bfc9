// The camera, hyperplanes, frusta, FS-depth, W-visibility and the pipeline
// records, on arbitrary bit patterns. Properties that hold for every input:
// - init stores fov, aspect and the bounds unchanged and puts the position on
//   S^3 ((0, 0, 0, 1), or norm 1 within rounding, or NaN only from non-finite
//   input); right is (1, 0, 0, 0), a unit vector with w = +0, or NaN;
// - distanceTo lies in [0, pi/2];
// - updateViewMatrix clears dirty, a second call changes nothing, and the
//   bottom row is (0, 0, 0, 1); a move changes only the position and sets dirty;
// - a frustum copies the bounds and the observer, isVisibleFast is the
//   conjunction of the four planes, an aspect of 0 sees nothing, and
//   isSphereVisible grows with a finite radius and accepts a visible center
//   between the bounds;
// - fsDepth lies in [0, 1] unless a bound is NaN;
// - negating a point swaps in_front and behind and keeps at_infinity.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>

#include "fuzz_input.hpp"
#include "kova_renderer.hpp"
#include "kova_rhi.hpp"

using kova_fuzz::FuzzInput;
using kova_test::hasNaN;
using kova_test::isFinite;
using kova_test::sameBits;
using kova_test::sameValue;
using kova_kernel::HomVec4;
using kova_kernel::PGL4;
using kova_renderer::KovaCamera;
using kova_renderer::KovaFrustum;
using kova_renderer::ProjectiveHyperplane;
using kova_renderer::WVisibilityClass;

namespace {

constexpr double kHalfPi = std::numbers::pi / 2.0;
constexpr double kUnitTol = 8.0 * std::numeric_limits<double>::epsilon();

bool isUnit(HomVec4 v) { return std::abs(v.norm() - 1.0) <= kUnitTol; }
HomVec4 negated(HomVec4 v) { return HomVec4::init(-v.x, -v.y, -v.z, -v.w); }

void checkPosition(HomVec4 p, bool from_finite) {
  if (sameBits(p, HomVec4::init(0.0, 0.0, 0.0, 1.0))) return;
  if (hasNaN(p)) {
    KOVA_FUZZ_CHECK(!from_finite);
    return;
  }
  KOVA_FUZZ_CHECK(isUnit(p));
}

void checkInit(const KovaCamera& cam, HomVec4 pos, double fov, double aspect, double near_fs,
               double far_fs) {
  KOVA_FUZZ_CHECK(sameBits(cam.fov, fov) && sameBits(cam.aspect, aspect));
  KOVA_FUZZ_CHECK(sameBits(cam.near_fs, near_fs) && sameBits(cam.far_fs, far_fs));
  KOVA_FUZZ_CHECK(sameBits(cam.view_pgl4, PGL4::identity()) && cam.dirty);
  checkPosition(cam.position, isFinite(pos));
  if (!sameBits(cam.right, HomVec4::init(1.0, 0.0, 0.0, 0.0)) && !hasNaN(cam.right)) {
    KOVA_FUZZ_CHECK(isUnit(cam.right) && sameBits(cam.right.w, 0.0));
  }
}

void checkViewAndMoves(KovaCamera cam, HomVec4 point, double ds, bool right) {
  const double dist = cam.distanceTo(point);
  KOVA_FUZZ_CHECK(dist >= 0.0 && dist <= kHalfPi);

  cam.updateViewMatrix();
  KOVA_FUZZ_CHECK(!cam.dirty);
  const KovaCamera once = cam;
  cam.updateViewMatrix();
  KOVA_FUZZ_CHECK(sameBits(cam.view_pgl4, once.view_pgl4) && !cam.dirty);
  for (std::size_t c = 0; c < 3; ++c) KOVA_FUZZ_CHECK(sameBits(cam.view_pgl4.get(3, c), 0.0));
  KOVA_FUZZ_CHECK(sameBits(cam.view_pgl4.get(3, 3), 1.0));
  KOVA_FUZZ_CHECK(sameBits(cam.view_pgl4.get(0, 0), cam.right.x));
  KOVA_FUZZ_CHECK(sameBits(cam.view_pgl4.get(1, 2), cam.up.z));
  KOVA_FUZZ_CHECK(sameValue(cam.view_pgl4.get(2, 1), -cam.forward.y));

  const KovaCamera before = cam;
  if (right) {
    cam.moveRight(ds);
  } else {
    cam.moveForward(ds);
  }
  KOVA_FUZZ_CHECK(cam.dirty);
  KOVA_FUZZ_CHECK(sameBits(cam.forward, before.forward) && sameBits(cam.up, before.up) &&
                  sameBits(cam.right, before.right));
  KOVA_FUZZ_CHECK(sameBits(cam.view_pgl4, before.view_pgl4));
  KOVA_FUZZ_CHECK(sameBits(cam.position, before.position) || hasNaN(cam.position) ||
                  isUnit(cam.position));
}

void checkPlane(const ProjectiveHyperplane& plane, HomVec4 p) {
  KOVA_FUZZ_CHECK(plane.isVisible(p) == (plane.evaluate(p) >= 0.0));
  const ProjectiveHyperplane same = plane.transformBy(PGL4::identity());
  if (std::isfinite(plane.a) && std::isfinite(plane.b) && std::isfinite(plane.c) &&
      std::isfinite(plane.d)) {
    KOVA_FUZZ_CHECK(same.a == plane.a && same.b == plane.b && same.c == plane.c &&
                    same.d == plane.d);
  }
}

void checkFrustum(const KovaCamera& cam, HomVec4 p, double r1, double r2) {
  const KovaFrustum f = KovaFrustum::fromCamera(cam);
  KOVA_FUZZ_CHECK(sameBits(f.near_fs, cam.near_fs) && sameBits(f.far_fs, cam.far_fs));
  KOVA_FUZZ_CHECK(sameBits(f.observer, cam.position));

  bool all = true;
  for (const ProjectiveHyperplane& plane : f.planes) {
    checkPlane(plane, p);
    all = all && plane.isVisible(p);
  }
  const bool fast = f.isVisibleFast(p);
  KOVA_FUZZ_CHECK(fast == all);
  if (cam.aspect == 0.0) KOVA_FUZZ_CHECK(!fast);

  const double lo = std::fmin(r1, r2);
  const double hi = std::fmax(r1, r2);
  // Finite radii only: an infinite one meets an underflowed plane norm of 0
  // as inf * 0 = NaN, which rejects nothing.
  if (std::isfinite(r1) && std::isfinite(r2) && f.isSphereVisible(p, lo)) {
    KOVA_FUZZ_CHECK(f.isSphereVisible(p, hi));
  }
  const double delta = kova_kernel::fsDistance(f.observer, p);
  if (fast && hi >= 0.0 && f.near_fs <= delta && delta <= f.far_fs) {
    KOVA_FUZZ_CHECK(f.isSphereVisible(p, hi));
  }

  const KovaFrustum moved = f.transformBy(PGL4::identity());
  KOVA_FUZZ_CHECK(sameBits(moved.near_fs, f.near_fs) && sameBits(moved.far_fs, f.far_fs));
  if (isFinite(f.observer)) KOVA_FUZZ_CHECK(moved.observer == f.observer);
}

void checkDepth(HomVec4 observer, HomVec4 p, double near_fs, double far_fs) {
  const double depth = kova_renderer::fsDepth(observer, p, near_fs, far_fs);
  if (!std::isnan(near_fs) && !std::isnan(far_fs)) {
    KOVA_FUZZ_CHECK(depth >= 0.0 && depth <= 1.0);
  }
  const double back = kova_renderer::fsDepthToDistance(depth, near_fs, far_fs);
  static_cast<void>(back);

  const auto cls = kova_renderer::wVisibility(p);
  const auto neg = kova_renderer::wVisibility(negated(p));
  KOVA_FUZZ_CHECK(static_cast<std::uint8_t>(cls) <= 2);
  switch (cls) {
    case WVisibilityClass::in_front:
      KOVA_FUZZ_CHECK(neg == WVisibilityClass::behind);
      break;
    case WVisibilityClass::behind:
      KOVA_FUZZ_CHECK(neg == WVisibilityClass::in_front);
      break;
    case WVisibilityClass::at_infinity:
      KOVA_FUZZ_CHECK(neg == WVisibilityClass::at_infinity);
      break;
  }
}

void checkPipelines(const KovaCamera& cam, FuzzInput& in) {
  kova_renderer::ForwardPlusConfig fp;
  fp.tile_size = in.u32();
  fp.max_lights_per_tile = in.u32();
  fp.msaa_samples = in.u32();
  fp.z_prepass = in.flag();
  fp.fs_depth = in.flag();
  fp.chart_switching = in.flag();
  const auto fpp = kova_renderer::ForwardPlusPipeline::init(cam, fp);
  KOVA_FUZZ_CHECK(fpp.passCount() == (fp.z_prepass ? 4u : 3u) && fpp.frame_index == 0);
  KOVA_FUZZ_CHECK(fpp.config == fp);
  KOVA_FUZZ_CHECK(sameBits(fpp.camera.position, cam.position));
  KOVA_FUZZ_CHECK(sameBits(fpp.frustum.observer, cam.position));

  kova_renderer::DeferredConfig dc;
  kova_rhi::Format* formats[] = {&dc.gbuffer.position_format, &dc.gbuffer.normal_format,
                                 &dc.gbuffer.albedo_format, &dc.gbuffer.material_format,
                                 &dc.gbuffer.depth_format};
  std::uint32_t sum = 0;
  for (kova_rhi::Format* f : formats) {
    *f = static_cast<kova_rhi::Format>(in.byte());
    sum += kova_rhi::size(*f);
  }
  dc.tiled = in.flag();
  const auto dp = kova_renderer::DeferredPipeline::init(cam, dc);
  KOVA_FUZZ_CHECK(dp.passCount() == 3u && dp.frame_index == 0);
  KOVA_FUZZ_CHECK(dc.gbuffer.bytesPerPixel() == sum && sum <= 640);
  KOVA_FUZZ_CHECK(kova_renderer::passCountHint(kova_renderer::PipelineMode::hybrid) == 5);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  const HomVec4 pos = in.vec();
  const HomVec4 fwd = in.vec();
  const HomVec4 up = in.vec();
  const double fov = in.real();
  const double aspect = in.real();
  const double near_fs = in.real();
  const double far_fs = in.real();
  const HomVec4 p = in.vec();
  const double a = in.real();
  const double b = in.real();
  const bool use_default = in.flag();
  const bool right = in.flag();

  const KovaCamera cam = use_default ? KovaCamera::defaultCamera()
                                     : KovaCamera::init(pos, fwd, up, fov, aspect, near_fs, far_fs);
  if (!use_default) checkInit(cam, pos, fov, aspect, near_fs, far_fs);
  checkViewAndMoves(cam, p, a, right);
  checkFrustum(cam, p, a, b);
  checkDepth(cam.position, p, near_fs, far_fs);
  checkDepth(pos, p, a, b);
  checkPipelines(cam, in);
  return 0;
}
