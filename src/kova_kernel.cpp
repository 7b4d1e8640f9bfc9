// Points, the Fubini-Study metric and the W map.
#include <algorithm>
#include <cmath>
#include <limits>

#include "kova_kernel.hpp"

namespace kova_kernel {

std::array<double, 3> HomVec4::cartesian3() const noexcept {
  if (std::abs(w) < W_EPS) {
    const double n = norm();
    if (n < ZERO_NORM) return {0.0, 0.0, 0.0};
    if (n == std::numeric_limits<double>::infinity() && std::isfinite(x) && std::isfinite(y) &&
        std::isfinite(z)) {
      // Finite coordinates whose squares overflow: dividing by the infinite
      // norm would give (0, 0, 0). normalize scales them down first.
      const HomVec4 u = normalize();
      return {u.x, u.y, u.z};
    }
    return {x / n, y / n, z / n};
  }
  return {x / w, y / w, z / w};
}

HomVec4 HomVec4::normalize() const noexcept {
  const double n = norm();
  if (n < ZERO_NORM) return init(0.0, 0.0, 0.0, 1.0);
  if (n == std::numeric_limits<double>::infinity() && std::isfinite(x) && std::isfinite(y) &&
      std::isfinite(z) && std::isfinite(w)) {
    // Finite coordinates whose squares overflow: dividing by the infinite norm
    // would give the zero vector. Scale by 2^-600 first (exact for these
    // magnitudes, and the quotient does not depend on the scale).
    const HomVec4 s = init(x * 0x1p-600, y * 0x1p-600, z * 0x1p-600, w * 0x1p-600);
    const double ns = s.norm();
    return init(s.x / ns, s.y / ns, s.z / ns, s.w / ns);
  }
  return init(x / n, y / n, z / n, w / n);
}

bool HomVec4::isSamePoint(HomVec4 b, double tol) const noexcept {
  const double na = norm();
  const double nb = b.norm();
  if (na < tol || nb < tol) return false;
  const double d = std::abs(dot(b)) / (na * nb);
  return d > 1.0 - tol;
}

bool HomVec4::isAntipodalTo(HomVec4 b, double tol) const noexcept {
  return isSamePoint(init(-b.x, -b.y, -b.z, -b.w), tol);
}

AffineCard HomVec4::pickBestCard() const noexcept {
  const double aw = std::abs(w);
  const double ax = std::abs(x);
  const double ay = std::abs(y);
  const double az = std::abs(z);
  if (aw >= ax && aw >= ay && aw >= az) return AffineCard::UW;
  if (ax >= ay && ax >= az) return AffineCard::UX;
  if (ay >= az) return AffineCard::UY;
  return AffineCard::UZ;
}

namespace detail {
double fsCosineRescaled(HomVec4 a, HomVec4 b, double plain) noexcept {
  const auto finite = [](HomVec4 v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z) && std::isfinite(v.w);
  };
  if (!finite(a) || !finite(b)) return plain;
  // Each vector is scaled by the power of two that brings its largest
  // coordinate into [1, 2): exact, so the result depends on the directions
  // alone, and nothing can overflow (norms in [1, 4), dot product below 16).
  const auto unitSized = [](HomVec4 v) {
    const double largest = std::max({std::abs(v.x), std::abs(v.y), std::abs(v.z), std::abs(v.w)});
    const int e = -std::ilogb(largest);
    return HomVec4::init(std::ldexp(v.x, e), std::ldexp(v.y, e), std::ldexp(v.z, e),
                         std::ldexp(v.w, e));
  };
  const HomVec4 sa = unitSized(a);
  const HomVec4 sb = unitSized(b);
  return std::abs(sa.dot(sb)) / (sa.norm() * sb.norm());
}
}  // namespace detail

double fsDistance(HomVec4 a, HomVec4 b) noexcept {
  return std::acos(fsCosine(a, a.norm(), b, b.norm()));
}

double wFromDistance(double s_meters, double R_meters) noexcept {
  return std::cos(s_meters / (2.0 * R_meters));
}

double sFromW(double W, double R_meters) noexcept {
  double w_clamped = W < 1.0 ? W : 1.0;  // NaN becomes 1.0
  w_clamped = w_clamped > -1.0 ? w_clamped : -1.0;
  return (2.0 * R_meters) * std::acos(w_clamped);
}

}  // namespace kova_kernel
