// The camera, hyperplanes and frusta, FS-depth, W-visibility and the pipeline records.
#include <cmath>
#include <limits>

#include "kova_renderer.hpp"

namespace kova_renderer {

namespace {

constexpr HomVec4 minusScaled(HomVec4 v, double s, HomVec4 by) noexcept {
  return HomVec4::init(v.x - s * by.x, v.y - s * by.y, v.z - s * by.z, v.w - s * by.w);
}

constexpr HomVec4 plusScaled(HomVec4 v, double s, HomVec4 by) noexcept {
  return HomVec4::init(v.x + s * by.x, v.y + s * by.y, v.z + s * by.z, v.w + s * by.w);
}

// `v` normalised when its norm is strictly above ZERO_NORM. Unlike the kernel's
// `norm < ZERO_NORM` fallbacks, a norm of exactly ZERO_NORM (or NaN) is refused here.
HomVec4 normalizedIfUsable(HomVec4 v, HomVec4 fallback) noexcept {
  return v.norm() > kova_kernel::ZERO_NORM ? v.normalize() : fallback;
}

// The plane through p with normal n: (n.x, n.y, n.z, -dot(n, p)).
constexpr ProjectiveHyperplane planeFromNormal(HomVec4 n, HomVec4 p) noexcept {
  return ProjectiveHyperplane::init(n.x, n.y, n.z, -n.dot(p));
}

void moveAlong(KovaCamera& camera, double ds, HomVec4 direction) noexcept {
  const double c = std::cos(ds);
  const double s = std::sin(ds);
  const HomVec4 p = camera.position;
  const HomVec4 moved = HomVec4::init(c * p.x + s * direction.x, c * p.y + s * direction.y,
                                      c * p.z + s * direction.z, c * p.w + s * direction.w);
  camera.position = normalizedIfUsable(moved, p);
  camera.dirty = true;
}

}  // namespace

// ---- camera ----

KovaCamera KovaCamera::init(HomVec4 position, HomVec4 forward, HomVec4 up, double fov,
                            double aspect, double near_fs, double far_fs) noexcept {
  const HomVec4 p = normalizedIfUsable(position, HomVec4::init(0.0, 0.0, 0.0, 1.0));

  // Degenerate residuals are kept as they are, not replaced.
  HomVec4 f = minusScaled(forward, forward.dot(p), p);
  f = normalizedIfUsable(f, f);

  // Modified Gram-Schmidt: the forward projection uses the already corrected u.
  HomVec4 u = minusScaled(up, up.dot(p), p);
  u = minusScaled(u, u.dot(f), f);
  u = normalizedIfUsable(u, u);

  // A 3-D cross product of the xyz parts; the w parts of f and u do not enter.
  const HomVec4 r =
      HomVec4::init(f.y * u.z - f.z * u.y, f.z * u.x - f.x * u.z, f.x * u.y - f.y * u.x, 0.0);

  KovaCamera camera;
  camera.position = p;
  camera.forward = f;
  camera.up = u;
  camera.right = normalizedIfUsable(r, HomVec4::init(1.0, 0.0, 0.0, 0.0));
  camera.fov = fov;
  camera.aspect = aspect;
  camera.near_fs = near_fs;
  camera.far_fs = far_fs;
  camera.view_pgl4 = PGL4::identity();
  camera.dirty = true;
  return camera;
}

KovaCamera KovaCamera::defaultCamera() noexcept {
  return init(HomVec4::init(0.0, 0.0, 0.0, 1.0), HomVec4::init(0.0, 0.0, -1.0, 0.0),
              HomVec4::init(0.0, 1.0, 0.0, 0.0), 1.0471975511965979, 1.7777777777777777, 0.01,
              1000.0);
}

void KovaCamera::updateViewMatrix() noexcept {
  if (!dirty) return;
  const HomVec4 r = right;
  const HomVec4 u = up;
  const HomVec4 f = forward;
  const HomVec4 p = position;
  const double tx = -r.dot(p);
  const double ty = -u.dot(p);
  const double tz = -f.dot(p);
  view_pgl4 =
      PGL4::init({r.x, u.x, -f.x, 0.0, r.y, u.y, -f.y, 0.0, r.z, u.z, -f.z, 0.0, tx, ty, tz, 1.0});
  dirty = false;
}

void KovaCamera::moveForward(double ds) noexcept { moveAlong(*this, ds, forward); }

void KovaCamera::moveRight(double ds) noexcept { moveAlong(*this, ds, right); }

double KovaCamera::distanceTo(HomVec4 point) const noexcept {
  return kova_kernel::fsDistance(position, point);
}

// ---- hyperplanes and frusta ----

ProjectiveHyperplane ProjectiveHyperplane::transformBy(const PGL4& m) const noexcept {
  const HomVec4 t = m.apply(HomVec4::init(a, b, c, d));
  return init(t.x, t.y, t.z, t.w);
}

KovaFrustum KovaFrustum::fromCamera(const KovaCamera& camera) noexcept {
  const double half_fov = camera.fov / 2.0;
  // Divided by the aspect ratio directly, not through the tangent.
  const double half_fov_ver = half_fov / camera.aspect;
  const double tan_h = std::tan(half_fov);
  const double tan_v = std::tan(half_fov_ver);

  const HomVec4 p = camera.position;
  const HomVec4 f = camera.forward;
  const HomVec4 r = camera.right;
  const HomVec4 u = camera.up;

  KovaFrustum frustum;
  frustum.planes = {
      planeFromNormal(plusScaled(f, tan_h, r), p), planeFromNormal(minusScaled(f, tan_h, r), p),
      planeFromNormal(minusScaled(f, tan_v, u), p), planeFromNormal(plusScaled(f, tan_v, u), p)};
  frustum.near_fs = camera.near_fs;
  frustum.far_fs = camera.far_fs;
  frustum.observer = p;
  return frustum;
}

bool KovaFrustum::isVisibleFast(HomVec4 point) const noexcept {
  for (const ProjectiveHyperplane& plane : planes) {
    if (!plane.isVisible(point)) return false;
  }
  return true;
}

bool KovaFrustum::isSphereVisible(HomVec4 center, double fs_radius) const noexcept {
  for (const ProjectiveHyperplane& plane : planes) {
    const double val = plane.evaluate(center);
    const double plane_norm = std::sqrt(
        ((plane.a * plane.a + plane.b * plane.b) + plane.c * plane.c) + plane.d * plane.d);
    // A value equal to the bound passes, and so does NaN.
    if (-fs_radius * plane_norm > val) return false;
  }
  const double delta = kova_kernel::fsDistance(observer, center);
  if (near_fs > delta + fs_radius) return false;
  if (delta - fs_radius > far_fs) return false;
  return true;
}

KovaFrustum KovaFrustum::transformBy(const PGL4& m) const noexcept {
  KovaFrustum out = *this;
  for (ProjectiveHyperplane& plane : out.planes) plane = plane.transformBy(m);
  out.observer = m.apply(observer);
  return out;
}

// ---- FS-depth and W-visibility ----

double fsDepth(HomVec4 observer, HomVec4 point, double near_fs, double far_fs) noexcept {
  const double d = kova_kernel::fsDistance(observer, point);
  // Near first: with near_fs >= far_fs no division is reached.
  if (near_fs >= d) return 0.0;
  if (d >= far_fs) return 1.0;
  // An infinite near bound would divide inf by inf; the ratio tends to 1.
  if (near_fs == -std::numeric_limits<double>::infinity() && far_fs == far_fs) return 1.0;
  return (d - near_fs) / (far_fs - near_fs);
}

double fsDepthToDistance(double depth, double near_fs, double far_fs) noexcept {
  const double span = far_fs - near_fs;
  return near_fs + depth * span;
}

WVisibilityClass wVisibility(HomVec4 point) noexcept {
  // The stored w decides: the class depends on the representative.
  if (point.w > kova_kernel::W_EPS) return WVisibilityClass::in_front;
  if (point.w < -kova_kernel::W_EPS) return WVisibilityClass::behind;
  return WVisibilityClass::at_infinity;
}

// ---- pipeline records ----

std::uint32_t GBufferLayout::bytesPerPixel() const noexcept {
  using kova_rhi::size;
  return (((size(position_format) + size(normal_format)) + size(albedo_format)) +
          size(material_format)) +
         size(depth_format);
}

ForwardPlusPipeline ForwardPlusPipeline::init(const KovaCamera& camera,
                                              const ForwardPlusConfig& config) noexcept {
  return ForwardPlusPipeline{camera, KovaFrustum::fromCamera(camera), 0, config};
}

std::uint32_t ForwardPlusPipeline::passCount() const noexcept {
  std::uint32_t passes = 1;
  if (config.z_prepass) passes += 1;  // depth pre-pass
  passes += 1;
  passes += 1;
  return passes;
}

DeferredPipeline DeferredPipeline::init(const KovaCamera& camera,
                                        const DeferredConfig& config) noexcept {
  return DeferredPipeline{camera, KovaFrustum::fromCamera(camera), 0, config};
}

std::uint32_t DeferredPipeline::passCount() const noexcept { return 3; }

}  // namespace kova_renderer
