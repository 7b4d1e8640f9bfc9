// The Fubini-Study distance accurate to a few units in the last place of the
// distance itself, at every scale.
//
// The arc-cosine of a cosine loses everything below about 1e-8 rad: one unit
// in the last place below 1.0 is already an angle of 1.5e-8. Here the angle
// comes from atan2(|a ^ b|, |a . b|), the norm of the wedge product (the sine
// part) against the dot product (the cosine part), which is well conditioned
// everywhere. The six 2x2 minors a_i b_j - a_j b_i of nearly parallel vectors
// cancel, so each is computed from exact products: Dekker's product splits
// each factor into halves whose products are exact in double precision (no
// fused multiply-add is needed, or used), and the minor is the difference of
// the rounded products plus the difference of their rounding errors. The sum
// of their squares and the dot product are carried in two doubles, so that
// neither the sine part nor the cosine part loses more than a unit or so.
#include <algorithm>
#include <cmath>

#include "kova_kernel.hpp"

namespace kova_kernel {
namespace {

struct Product {
  double value;  // the product rounded
  double error;  // what rounding lost: value + error is the exact product
};

// Veltkamp's split: hi has the upper 26 bits of x, lo = x - hi the rest, both exact.
struct Split {
  double hi, lo;
};
Split split(double x) noexcept {
  constexpr double kSplitter = 134217729.0;  // 2^27 + 1
  const double t = kSplitter * x;
  const double hi = t - (t - x);
  return {hi, x - hi};
}

// Dekker's exact product of two doubles whose product neither overflows nor
// underflows: a * b = value + error exactly.
Product exactProduct(double a, double b) noexcept {
  const double value = a * b;
  const Split sa = split(a), sb = split(b);
  const double error =
      ((sa.hi * sb.hi - value) + sa.hi * sb.lo + sa.lo * sb.hi) + sa.lo * sb.lo;
  return {value, error};
}

// a_i b_j - a_j b_i, within a unit or two in its last place even when the two
// products nearly cancel.
double minor(double ai, double aj, double bi, double bj) noexcept {
  const Product p = exactProduct(ai, bj);
  const Product q = exactProduct(aj, bi);
  return (p.value - q.value) + (p.error - q.error);
}

// A sum of exact products kept in two doubles: each product exactly
// (Dekker), the running sum with Knuth's two-sum, so the pair carries the sum
// to about twice double precision.
struct Sum2 {
  double hi = 0.0, lo = 0.0;
  void add(Product p) noexcept {
    const double s = hi + p.value;
    const double back = s - hi;
    lo += ((hi - (s - back)) + (p.value - back)) + p.error;
    hi = s;
  }
  [[nodiscard]] double value() const noexcept { return hi + lo; }
};

// The norm of six values: sqrt of the pair, corrected to first order.
double norm6(const double (&m)[6]) noexcept {
  Sum2 squares;
  for (double v : m) squares.add(exactProduct(v, v));
  const double root = std::sqrt(squares.hi);
  return root > 0.0 ? root + squares.lo / (2.0 * root) : 0.0;
}

// |p . q| from exact products.
double absDot(HomVec4 p, HomVec4 q) noexcept {
  Sum2 dot;
  dot.add(exactProduct(p.x, q.x));
  dot.add(exactProduct(p.y, q.y));
  dot.add(exactProduct(p.z, q.z));
  dot.add(exactProduct(p.w, q.w));
  return std::abs(dot.value());
}

bool finite(HomVec4 v) noexcept {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z) && std::isfinite(v.w);
}

// The vector scaled by the power of two that brings its largest coordinate
// into [1, 2): exact, so the distance depends on the directions alone, and no
// product below can overflow.
HomVec4 unitSized(HomVec4 v) noexcept {
  const double largest = std::max({std::abs(v.x), std::abs(v.y), std::abs(v.z), std::abs(v.w)});
  const int e = -std::ilogb(largest);
  return HomVec4::init(std::ldexp(v.x, e), std::ldexp(v.y, e), std::ldexp(v.z, e),
                       std::ldexp(v.w, e));
}

}  // namespace

double fsDistancePrecise(HomVec4 a, HomVec4 b) noexcept {
  // The same fallbacks as fsDistance: a zero vector is at distance 0 from
  // everything, and so is a vector with a coordinate that is not finite.
  if (a.norm() < ZERO_NORM || b.norm() < ZERO_NORM || !finite(a) || !finite(b)) return 0.0;
  const HomVec4 p = unitSized(a);
  const HomVec4 q = unitSized(b);
  const double minors[6] = {minor(p.x, p.y, q.x, q.y), minor(p.x, p.z, q.x, q.z),
                            minor(p.x, p.w, q.x, q.w), minor(p.y, p.z, q.y, q.z),
                            minor(p.y, p.w, q.y, q.w), minor(p.z, p.w, q.z, q.w)};
  const double sine_part = norm6(minors);
  const double cosine_part = absDot(p, q);
  return std::atan2(sine_part, cosine_part);
}

}  // namespace kova_kernel
