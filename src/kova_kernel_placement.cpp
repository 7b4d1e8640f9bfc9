// Rigid placement: the rotation of S^3 that carries the origin's frame to a
// given position and orientation, built the way the camera builds its frame,
// and the same rotation slid along a geodesic.
#include <cmath>

#include "kova_kernel.hpp"

namespace kova_kernel {

namespace detail {

namespace {

// An orthogonal residual shorter than this, relative to its vector, is noise.
constexpr double MIN_RESIDUAL = 1e-14;

bool isFinite(HomVec4 v) noexcept {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z) && std::isfinite(v.w);
}

double det3(double a0, double a1, double a2, double b0, double b1, double b2, double c0, double c1,
            double c2) noexcept {
  return (a0 * (b1 * c2 - b2 * c1) - a1 * (b0 * c2 - b2 * c0)) + a2 * (b0 * c1 - b1 * c0);
}

}  // namespace

bool scaledToUnitRange(HomVec4 v, HomVec4* out) noexcept {
  if (!isFinite(v)) return false;
  const double largest = std::fmax(std::fmax(std::fabs(v.x), std::fabs(v.y)),
                                   std::fmax(std::fabs(v.z), std::fabs(v.w)));
  if (!(largest > 0.0)) return false;
  const int e = -std::ilogb(largest);
  *out =
      HomVec4::init(std::ldexp(v.x, e), std::ldexp(v.y, e), std::ldexp(v.z, e), std::ldexp(v.w, e));
  return true;
}

bool orthogonalDirection(HomVec4 v, const HomVec4* basis, int count, HomVec4* out) noexcept {
  HomVec4 r;
  if (!scaledToUnitRange(v, &r)) return false;
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < count; ++i) r = r - r.dot(basis[i]) * basis[i];
  }
  const double n = r.norm();
  if (!(n > MIN_RESIDUAL)) return false;
  *out = r * (1.0 / n);
  return true;
}

HomVec4 orthogonalDirectionOrAxis(HomVec4 v, const HomVec4* basis, int count) noexcept {
  HomVec4 out;
  if (orthogonalDirection(v, basis, count, &out)) return out;
  const HomVec4 axes[4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
  double best = -1.0;
  HomVec4 best_axis = axes[0];
  for (const HomVec4& axis : axes) {
    HomVec4 r = axis;
    for (int i = 0; i < count; ++i) r = r - r.dot(basis[i]) * basis[i];
    const double n = r.norm();
    if (n > best) {
      best = n;
      best_axis = axis;
    }
  }
  orthogonalDirection(best_axis, basis, count, &out);
  return out;
}

HomVec4 complement(HomVec4 a, HomVec4 b, HomVec4 c) noexcept {
  return HomVec4::init(det3(a.y, a.z, a.w, b.y, b.z, b.w, c.y, c.z, c.w),
                       -det3(a.x, a.z, a.w, b.x, b.z, b.w, c.x, c.z, c.w),
                       det3(a.x, a.y, a.w, b.x, b.y, b.w, c.x, c.y, c.w),
                       -det3(a.x, a.y, a.z, b.x, b.y, b.z, c.x, c.y, c.z));
}

}  // namespace detail

namespace {

using detail::complement;
using detail::orthogonalDirection;
using detail::scaledToUnitRange;

// The next Gram-Schmidt vector after the orthonormal `basis`, computed the way
// the camera computes it, so that both give the same bits: KovaCamera::init's
// single projection against `first` (v less its parts along them in order,
// normalised when its norm is above ZERO_NORM), left in *projected, then its
// orthonormalisation's orthogonalDirection against `basis`. v is brought to
// unit range first, which changes no bit of the direction but lets huge and
// tiny vectors through. Whether v is usable is decided on v itself, so that a
// v in the span of the basis gets the axis (also left in *projected), never a
// direction made of rounding noise.
HomVec4 nextDirection(HomVec4 v, const HomVec4* basis, const HomVec4* first, int count,
                      HomVec4* projected) noexcept {
  HomVec4 out;
  if (!orthogonalDirection(v, basis, count, &out)) {
    *projected = detail::orthogonalDirectionOrAxis(v, basis, count);
    return *projected;
  }
  HomVec4 w;
  scaledToUnitRange(v, &w);
  for (int i = 0; i < count; ++i) w = w - w.dot(first[i]) * first[i];
  if (w.norm() > ZERO_NORM) w = w.normalize();
  *projected = w;
  orthogonalDirection(w, basis, count, &out);  // keeps v's own direction should it fail
  return out;
}

// A position on the sphere: normalize(), or the origin for non-finite input.
HomVec4 unitPosition(HomVec4 at) noexcept {
  HomVec4 finite;
  return scaledToUnitRange(at, &finite) ? at.normalize() : HomVec4::init(0.0, 0.0, 0.0, 1.0);
}

// Columns right, up, -forward, position for the unit position p.
PGL4 placeAt(HomVec4 p, HomVec4 forward, HomVec4 up) noexcept {
  HomVec4 basis[2] = {p, {}};
  HomVec4 first[2] = {p, {}};
  basis[1] = nextDirection(forward, basis, first, 1, &first[1]);
  HomVec4 up_projected;
  const HomVec4 u = nextDirection(up, basis, first, 2, &up_projected);
  const HomVec4 f = basis[1];
  // det[r, u, -f, p] = r.complement(u, -f, p) = |complement| > 0.
  const HomVec4 c = complement(u, -f, p);
  const HomVec4 r = c * (1.0 / c.norm());
  return PGL4::init(
      {r.x, r.y, r.z, r.w, u.x, u.y, u.z, u.w, -f.x, -f.y, -f.z, -f.w, p.x, p.y, p.z, p.w});
}

}  // namespace

PGL4 pglPlace(HomVec4 at, HomVec4 forward, HomVec4 up) noexcept {
  return placeAt(unitPosition(at), forward, up);
}

PGL4 pglPlaceAlong(HomVec4 from, HomVec4 direction, double arc, HomVec4 up) noexcept {
  const HomVec4 p = unitPosition(from);
  HomVec4 d;
  if (!orthogonalDirection(direction, &p, 1, &d)) return placeAt(p, direction, up);
  if (!std::isfinite(arc)) arc = 0.0;
  // The rotation of the plane (p, d) by arc: p -> cos p + sin d, d -> cos d - sin p.
  const double c = std::cos(arc);
  const double s = std::sin(arc);
  return placeAt(c * p + s * d, c * d - s * p, up);
}

}  // namespace kova_kernel
