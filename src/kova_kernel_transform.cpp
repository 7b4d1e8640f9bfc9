// Projective transforms: determinant normalisation, rotation, the
// Newton-Schulz inverse and the operator algebra built on them.
#include <cmath>

#include "kova_kernel.hpp"

namespace kova_kernel {

PGL4 PGL4::normalizeDet() const noexcept {
  const double d = det();
  if (std::abs(d) < ZERO_NORM) return *this;
  const double det_scale = std::pow(std::abs(d), -0.25);
  PGL4 out = *this;
  for (double& e : out.data) e = e * det_scale;
  return out;
}

PGL4 pglRotateZ(double angle) noexcept {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  return PGL4::init({c, s, 0.0, 0.0, -s, c, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0});
}

// X <- X (2I - A X) from X0 = A^T / |A|_F^2, with A = self + delta I. The
// residual is measured after each update against A; NaN entries of the
// residual are skipped, so an all-NaN iterate stops after its first step.
PGL4 PGL4::inverse(double delta, std::uint32_t max_iter) const noexcept {
  const PGL4 i4 = identity();
  PGL4 m_reg = *this;
  for (std::size_t i = 0; i < 4; ++i) m_reg.data[i * 4 + i] = m_reg.data[i * 4 + i] + delta;
  const PGL4 mt = m_reg.transpose();

  double norm_sq = 0.0;
  for (const double e : m_reg.data) norm_sq = norm_sq + e * e;

  PGL4 x;
  for (std::size_t e = 0; e < 16; ++e) x.data[e] = mt.data[e] / norm_sq;

  for (std::uint32_t iter = 0; iter < max_iter; ++iter) {
    const PGL4 mx = m_reg.mul(x);
    PGL4 two_i_minus_mx;
    for (std::size_t e = 0; e < 16; ++e) two_i_minus_mx.data[e] = 2.0 * i4.data[e] - mx.data[e];
    x = x.mul(two_i_minus_mx);

    const PGL4 residual_check = m_reg.mul(x);
    double residual = 0.0;
    for (std::size_t e = 0; e < 16; ++e) {
      const double d = std::abs(residual_check.data[e] - i4.data[e]);
      if (d > residual) residual = d;
    }
    if (residual < 1e-12) return x;
  }
  return x;
}

PGL4 computeResonance(const PGL4& a) noexcept {
  const PGL4 at = a.transpose();
  PGL4 j;
  for (std::size_t e = 0; e < 16; ++e) j.data[e] = a.data[e] - at.data[e];
  return j;
}

PGL4 computeProjector(const PGL4& jc, double delta) noexcept {
  const PGL4 i4 = PGL4::identity();
  const PGL4 jct = jc.transpose();
  PGL4 jjt = jc.mul(jct);
  for (std::size_t i = 0; i < 4; ++i) jjt.data[i * 4 + i] = jjt.data[i * 4 + i] + delta;
  // inverse() shifts the diagonal by delta once more: this inverts Jc Jc^T + 2 delta I.
  const PGL4 jjt_inv = jjt.inverse(delta, 8);
  const PGL4 middle = jct.mul(jjt_inv);
  const PGL4 projector_part = middle.mul(jc);
  PGL4 pi_lambda;
  for (std::size_t e = 0; e < 16; ++e) pi_lambda.data[e] = i4.data[e] - projector_part.data[e];
  return pi_lambda;
}

PGL4 deformedTensorProduct(const PGL4& x, const PGL4& y, double epsilon) noexcept {
  const PGL4 linear = x.mul(y);
  PGL4 out;
  for (std::size_t e = 0; e < 16; ++e) out.data[e] = linear.data[e] + (epsilon * x.data[e]) * y.data[e];
  return out;
}

}  // namespace kova_kernel
