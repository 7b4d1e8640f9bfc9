// Flying the camera through elliptic space: an orthonormal frame in R^4, moves
// that are rotations of S^3, the picture a camera draws and the frustum that
// bounds exactly that picture.
#include <cmath>
#include <limits>
#include <numbers>
#include <optional>

#include "kova_renderer.hpp"

namespace kova_renderer {

namespace {

// A frame whose Gram matrix and right vector are this close to exact is kept as
// it is; rounding of the moves stays far below it, and a frame that has drifted
// this far is rebuilt, so errors never accumulate beyond it.
constexpr double FRAME_TOLERANCE = 1e-14;

struct Frame {
  HomVec4 p;  // eye
  HomVec4 f;  // forward
  HomVec4 u;  // up
  HomVec4 r;  // right
};

bool isFinite(HomVec4 v) noexcept {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z) && std::isfinite(v.w);
}

using kova_kernel::detail::complement;
using kova_kernel::detail::orthogonalDirection;
using kova_kernel::detail::orthogonalDirectionOrAxis;
using kova_kernel::detail::scaledToUnitRange;

// right for the orthonormal p, f, u: det[right, u, -f, p] = +1.
HomVec4 rightOf(HomVec4 p, HomVec4 f, HomVec4 u) noexcept {
  const HomVec4 r = complement(u, -f, p);
  return r * (1.0 / r.norm());
}

bool near(double value, double expected) noexcept {
  return std::fabs(value - expected) <= FRAME_TOLERANCE;
}

bool isOrthonormal(const Frame& fr) noexcept {
  if (!near(fr.p.dot(fr.p), 1.0) || !near(fr.f.dot(fr.f), 1.0) || !near(fr.u.dot(fr.u), 1.0) ||
      !near(fr.p.dot(fr.f), 0.0) || !near(fr.p.dot(fr.u), 0.0) || !near(fr.f.dot(fr.u), 0.0)) {
    return false;
  }
  const HomVec4 c = complement(fr.u, -fr.f, fr.p);
  return near(c.x, fr.r.x) && near(c.y, fr.r.y) && near(c.z, fr.r.z) && near(c.w, fr.r.w);
}

Frame orthonormalFrame(const KovaCamera& camera) noexcept {
  const Frame raw{camera.position, camera.forward, camera.up, camera.right};
  if (isOrthonormal(raw)) return raw;
  Frame fr;
  HomVec4 p;
  if (near(raw.p.dot(raw.p), 1.0)) {
    fr.p = raw.p;  // already on the sphere (as init leaves it): kept to the bit
  } else {
    fr.p = scaledToUnitRange(raw.p, &p) ? p.normalize() : HomVec4::init(0, 0, 0, 1);
  }
  const HomVec4 basis_pf[2] = {fr.p, orthogonalDirectionOrAxis(camera.forward, &fr.p, 1)};
  fr.f = basis_pf[1];
  fr.u = orthogonalDirectionOrAxis(camera.up, basis_pf, 2);
  fr.r = rightOf(fr.p, fr.f, fr.u);
  return fr;
}

void setFrame(KovaCamera& camera, const Frame& fr) noexcept {
  camera.position = fr.p;
  camera.forward = fr.f;
  camera.up = fr.u;
  camera.right = fr.r;
}

// Turns a towards b by `angle` in their plane: a' = cos a + sin b, b' = -sin a + cos b.
void rotatePair(HomVec4& a, HomVec4& b, double angle) noexcept {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  const HomVec4 a2 = c * a + s * b;
  b = c * b - s * a;
  a = a2;
}

bool validProjection(double fov, double aspect) noexcept {
  return fov > 0.0 && fov < std::numbers::pi && aspect > 0.0 && std::isfinite(aspect);
}

ProjectiveHyperplane planeOf(HomVec4 n) noexcept {
  return ProjectiveHyperplane::init(n.x, n.y, n.z, n.w);
}

}  // namespace

// ---- flight ----

void KovaCamera::orthonormalize() noexcept {
  const Frame raw{position, forward, up, right};
  const Frame fr = orthonormalFrame(*this);
  if (fr.p == raw.p && fr.f == raw.f && fr.u == raw.u && fr.r == raw.r) return;
  setFrame(*this, fr);
  dirty = true;
}

void KovaCamera::travel(double forward_arc, double right_arc, double up_arc) noexcept {
  if (!std::isfinite(forward_arc) || !std::isfinite(right_arc) || !std::isfinite(up_arc)) return;
  orthonormalize();
  dirty = true;
  const double arc = std::hypot(forward_arc, right_arc, up_arc);
  if (!(arc > 0.0)) return;
  // The unit tangent d = cf f + cr r + cu u. The move is the rotation of the
  // plane (p, d) by `arc`: p -> cos p + sin d, d -> cos d - sin p, and each frame
  // vector, whose part along d is its coefficient, changes by that coefficient
  // times (d' - d) = -(1 - cos) d - sin p; its other part stays as it is.
  const double cf = forward_arc / arc;
  const double cr = right_arc / arc;
  const double cu = up_arc / arc;
  const HomVec4 d = (cf * forward + cr * right) + cu * up;
  const double c = std::cos(arc);
  const double s = std::sin(arc);
  const double half = std::sin(arc / 2.0);
  const double one_minus_cos = 2.0 * half * half;  // exact where 1 - cos would cancel
  const HomVec4 change = -one_minus_cos * d - s * position;
  position = c * position + s * d;
  forward = forward + cf * change;
  right = right + cr * change;
  up = up + cu * change;
}

void KovaCamera::turn(double yaw, double pitch, double roll) noexcept {
  if (!std::isfinite(yaw) || !std::isfinite(pitch) || !std::isfinite(roll)) return;
  orthonormalize();
  rotatePair(forward, right, yaw);
  rotatePair(forward, up, pitch);
  rotatePair(up, right, roll);
  dirty = true;
}

void KovaCamera::lookAt(HomVec4 target, HomVec4 up_hint) noexcept {
  if (!isFinite(target) || !isFinite(up_hint)) return;
  orthonormalize();
  dirty = true;
  const HomVec4 p = position;
  const HomVec4 f = forward;
  // Facing forward, the target's tangent direction turns forward by at most pi/2.
  HomVec4 t;
  HomVec4 f2 = f;
  if (!scaledToUnitRange(target, &t) || !orthogonalDirection(t.facing(f), &p, 1, &f2)) f2 = f;
  // The shortest turn taking f to f2 is the rotation in their plane:
  // v -> v - (dot(f + f2, v) / (1 + c)) (f + f2) + 2 dot(f, v) f2, c = dot(f, f2) >= 0.
  const HomVec4 sum = f + f2;
  const double c = f.dot(f2);
  const HomVec4 carried = up - (sum.dot(up) / (1.0 + c)) * sum + (2.0 * f.dot(up)) * f2;
  const HomVec4 basis[2] = {p, f2};
  HomVec4 u2;
  if (!orthogonalDirection(up_hint, basis, 2, &u2)) {
    u2 = orthogonalDirectionOrAxis(carried, basis, 2);
  }
  forward = f2;
  up = u2;
  right = rightOf(p, f2, u2);
}

PGL4 KovaCamera::viewIsometry() const noexcept {
  const Frame fr = orthonormalFrame(*this);
  const HomVec4 b = -fr.f;
  return PGL4::fromRowMajor({{{fr.r.x, fr.r.y, fr.r.z, fr.r.w},
                              {fr.u.x, fr.u.y, fr.u.z, fr.u.w},
                              {b.x, b.y, b.z, b.w},
                              {fr.p.x, fr.p.y, fr.p.z, fr.p.w}}});
}

std::optional<ProjectedPoint> KovaCamera::project(HomVec4 point) const noexcept {
  if (!validProjection(fov, aspect)) return std::nullopt;
  HomVec4 q;
  if (!scaledToUnitRange(point, &q)) return std::nullopt;
  const Frame fr = orthonormalFrame(*this);
  q = q.facing(fr.f);
  // Coordinates of q in the frame: along forward (depth), right and up.
  const double depth = q.dot(fr.f);
  if (!(depth > 0.0)) return std::nullopt;
  const double tan_h = std::tan(fov / 2.0);
  const double tan_v = tan_h / aspect;
  const double x = (q.dot(fr.r) / depth) / tan_h;
  const double y = (q.dot(fr.u) / depth) / tan_v;
  return ProjectedPoint{x, y, kova_kernel::fsDistance(fr.p, point)};
}

KovaFrustum KovaFrustum::fromView(const KovaCamera& camera) noexcept {
  KovaFrustum frustum;
  frustum.near_fs = camera.near_fs;
  frustum.far_fs = camera.far_fs;
  frustum.observer = camera.position;
  if (!validProjection(camera.fov, camera.aspect)) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    frustum.planes.fill(ProjectiveHyperplane::init(nan, nan, nan, nan));
    return frustum;
  }
  const Frame fr = orthonormalFrame(camera);
  // The picture is |x| <= depth tan(h) and |y| <= depth tan(v), x, y and depth
  // the coordinates along right, up and forward, with the half-angles h = fov / 2
  // and v = atan(tan(h) / aspect). The left side is x cos(h) + depth sin(h) >= 0,
  // and so on: unit normals orthogonal to the eye, so the planes pass through it.
  const double h = camera.fov / 2.0;
  const double v = std::atan2(std::sin(h), camera.aspect * std::cos(h));
  const double sh = std::sin(h);
  const double ch = std::cos(h);
  const double sv = std::sin(v);
  const double cv = std::cos(v);
  frustum.planes = {planeOf(sh * fr.f + ch * fr.r), planeOf(sh * fr.f - ch * fr.r),
                    planeOf(sv * fr.f - cv * fr.u), planeOf(sv * fr.f + cv * fr.u)};
  return frustum;
}

bool KovaFrustum::isVisibleFacing(HomVec4 point) const noexcept {
  // For the negation every value changes sign exactly, so "all <= 0" is the
  // test of -point.
  bool front = true;
  bool back = true;
  for (const ProjectiveHyperplane& plane : planes) {
    const double value = plane.evaluate(point);
    front = front && value >= 0.0;
    back = back && value <= 0.0;
  }
  return front || back;
}

std::uint32_t frustumCullFacing(const KovaFrustum& frustum, std::span<const HomVec4> positions,
                                std::span<bool> visible_mask) noexcept {
  const std::size_t n =
      positions.size() < visible_mask.size() ? positions.size() : visible_mask.size();
  std::uint32_t count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const bool visible = frustum.isVisibleFacing(positions[i]);
    visible_mask[i] = visible;
    count += visible ? 1u : 0u;
  }
  return count;
}

}  // namespace kova_renderer
