// Geodesics of elliptic space: walking a great circle of S^3 and interpolating
// between two points along the shorter of their two connecting arcs.
#include <cmath>

#include "kova_kernel.hpp"

namespace kova_kernel {

namespace {

// A residual shorter than this, relative to the length of the vector it came
// from, carries no direction worth following: it is rounding noise.
constexpr double MIN_RESIDUAL = 1e-14;

// The part of v orthogonal to the unit vector p, normalised, in *out; false
// when v has no usable orthogonal part. v is first scaled by a power of two
// (exact) so that its largest coordinate lies in [1, 2): tiny and huge vectors
// then behave like ordinary ones. The projection runs twice, so the result is
// orthogonal to p to rounding even when v is nearly parallel to it.
bool orthogonalDirection(HomVec4 v, HomVec4 p, HomVec4* out) noexcept {
  const double largest = std::fmax(std::fmax(std::fabs(v.x), std::fabs(v.y)),
                                   std::fmax(std::fabs(v.z), std::fabs(v.w)));
  if (!(largest > 0.0) || !std::isfinite(largest)) return false;
  const double scale = std::ldexp(1.0, -std::ilogb(largest));
  HomVec4 r = v * scale;
  r = r - r.dot(p) * p;
  r = r - r.dot(p) * p;
  const double n = r.norm();
  if (!(n > MIN_RESIDUAL)) return false;
  *out = r * (1.0 / n);
  return true;
}

}  // namespace

HomVec4 geodesicPoint(HomVec4 from, HomVec4 direction, double arc) noexcept {
  const HomVec4 p = from.normalize();
  HomVec4 d;
  if (!orthogonalDirection(direction, p, &d)) return p;
  return std::cos(arc) * p + std::sin(arc) * d;
}

HomVec4 geodesicLerp(HomVec4 a, HomVec4 b, double t) noexcept {
  const HomVec4 pa = a.normalize();
  // Of b's two representatives the one facing a: the arc to it is the shorter one.
  const HomVec4 pb = b.normalize().facing(pa);
  HomVec4 d;
  if (!orthogonalDirection(pb, pa, &d)) {
    // The same point to rounding: the chord is as good as the arc.
    return (pa + t * (pb - pa)).normalize();
  }
  // atan2 keeps the angle accurate near 0 as well as near pi/2.
  const double angle = std::atan2(pb.dot(d), pb.dot(pa));
  const double arc = t * angle;
  return std::cos(arc) * pa + std::sin(arc) * d;
}

}  // namespace kova_kernel
