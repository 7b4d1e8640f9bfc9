// Points, the Fubini-Study metric and the W map.
#include <cmath>
#include <limits>

#include "kova_kernel.hpp"

namespace kova_kernel {

std::array<double, 3> HomVec4::cartesian3() const noexcept {
  if (std::abs(w) < W_EPS) {
    const double n = norm();
    if (n < ZERO_NORM) return {0.0, 0.0, 0.0};
    return {x / n, y / n, z / n};
  }
  return {x / w, y / w, z / w};
}

double HomVec4::norm() const noexcept { return std::sqrt(((x * x + y * y) + z * z) + w * w); }

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

double fsDistance(HomVec4 a, HomVec4 b) noexcept {
  const double na = a.norm();
  const double nb = b.norm();
  if (na < ZERO_NORM || nb < ZERO_NORM) return 0.0;
  const double d = std::abs(a.dot(b)) / (na * nb);
  // min(d, 1.0) in the form that turns a NaN ratio into 1.0.
  const double cos_theta = d < 1.0 ? d : 1.0;
  return std::acos(cos_theta);
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
