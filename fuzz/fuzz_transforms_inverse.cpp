// PGL4 transforms, the Newton-Schulz inverse and the operator algebra, on
// arbitrary bit patterns. Properties that hold for every input:
// - get/set/init/fromRowMajor/transpose move entries without changing a bit;
// - the identity is a two-sided unit of mul and fixes every finite point;
// - normalizeDet leaves a matrix with |det| < 1e-15 bit for bit unchanged and
//   turns a NaN determinant into sixteen NaN entries;
// - inverse with max_iter 0 is the scaled transpose, the operation is a pure
//   function, and on a well-conditioned diagonal matrix it converges;
// - computeResonance is exactly antisymmetric with a zero diagonal for finite input;
// - deformedTensorProduct with epsilon 0 equals mul for finite input.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "fuzz_input.hpp"
#include "kova_kernel.hpp"

using kova_fuzz::FuzzInput;
using kova_test::isFinite;
using kova_test::sameBits;
using kova_test::sameValue;
using kova_kernel::HomVec4;
using kova_kernel::PGL4;

namespace {

bool numericallyEqual(const PGL4& a, const PGL4& b) {
  for (std::size_t i = 0; i < 16; ++i) {
    if (!(a.data[i] == b.data[i])) return false;
  }
  return true;
}

void checkAccess(const PGL4& m, FuzzInput& in) {
  kova_kernel::RowMajor4x4 rows{};
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) rows[r][c] = m.get(r, c);
  }
  KOVA_FUZZ_CHECK(sameBits(PGL4::fromRowMajor(rows), m));
  KOVA_FUZZ_CHECK(sameBits(PGL4::init(m.data), m));
  KOVA_FUZZ_CHECK(sameBits(m.transpose().transpose(), m));
  const PGL4 t = m.transpose();
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) KOVA_FUZZ_CHECK(sameBits(t.get(r, c), m.get(c, r)));
  }
  PGL4 s = m;
  const std::size_t row = in.byte() % 4;
  const std::size_t col = in.byte() % 4;
  const double val = in.real();
  s.set(row, col, val);
  KOVA_FUZZ_CHECK(sameBits(s.get(row, col), val));
  KOVA_FUZZ_CHECK(sameBits(s.data[col * 4 + row], val));
}

void checkIdentity(const PGL4& m, HomVec4 v) {
  const PGL4 id = PGL4::identity();
  if (isFinite(m)) {
    KOVA_FUZZ_CHECK(numericallyEqual(id.mul(m), m));
    KOVA_FUZZ_CHECK(numericallyEqual(m.mul(id), m));
  }
  if (kova_test::isFinite(v)) KOVA_FUZZ_CHECK(id.apply(v) == v);
  KOVA_FUZZ_CHECK(sameValue(m.apply(v), m * v));
  // A translation does not move a point at infinity.
  if (kova_test::isFinite(v)) {
    const HomVec4 at_inf = HomVec4::init(v.x, v.y, v.z, 0.0);
    KOVA_FUZZ_CHECK(kova_kernel::pglTranslate(v.w, v.x, v.y).apply(at_inf) == at_inf);
  }
}

void checkNormalizeDet(const PGL4& m) {
  const double d = m.det();
  const PGL4 n = m.normalizeDet();
  if (std::abs(d) < 1e-15) {
    KOVA_FUZZ_CHECK(sameBits(n, m));
  } else if (std::isnan(d)) {
    for (const double e : n.data) KOVA_FUZZ_CHECK(std::isnan(e));
  } else if (std::isfinite(d)) {
    // Every entry scaled by one positive factor: signs of non-zero finite
    // entries survive (a factor that underflows to 0 still keeps the sign bit).
    for (std::size_t i = 0; i < 16; ++i) {
      if (std::isfinite(m.data[i]) && !std::isnan(n.data[i])) {
        KOVA_FUZZ_CHECK(std::signbit(n.data[i]) == std::signbit(m.data[i]));
      }
    }
  }
}

void checkInverse(const PGL4& m, double delta, std::uint32_t max_iter) {
  const PGL4 x = m.inverse(delta, max_iter);
  KOVA_FUZZ_CHECK(sameValue(x, m.inverse(delta, max_iter)));
  // With no step the result is (M + delta I)^T / |M + delta I|_F^2.
  PGL4 reg = m;
  for (std::size_t i = 0; i < 4; ++i) reg.data[i * 4 + i] = reg.data[i * 4 + i] + delta;
  double norm_sq = 0.0;
  for (const double e : reg.data) norm_sq = norm_sq + e * e;
  const PGL4 rt = reg.transpose();
  PGL4 x0;
  for (std::size_t i = 0; i < 16; ++i) x0.data[i] = rt.data[i] / norm_sq;
  KOVA_FUZZ_CHECK(sameValue(m.inverse(delta, 0), x0));
}

// A diagonal matrix with entries of magnitude in [1/2, 2] is well conditioned:
// 40 steps always reach the residual bound.
void checkConvergence(FuzzInput& in) {
  double diag[4];
  for (double& d : diag) {
    const double mag = 0.5 + static_cast<double>(in.byte()) / 170.0;
    d = in.flag() ? -mag : mag;
  }
  PGL4 m = kova_kernel::pglScale(diag[0], diag[1], diag[2]);
  m.set(3, 3, diag[3]);
  const PGL4 inv = m.inverse(0.0, 40);
  const PGL4 prod = m.mul(inv);
  const PGL4 id = PGL4::identity();
  for (std::size_t i = 0; i < 16; ++i) KOVA_FUZZ_CHECK(std::abs(prod.data[i] - id.data[i]) < 1e-9);
}

void checkAlgebra(const PGL4& a, const PGL4& b, double eps, double delta) {
  const PGL4 j = kova_kernel::computeResonance(a);
  if (isFinite(a)) {
    for (std::size_t r = 0; r < 4; ++r) {
      KOVA_FUZZ_CHECK(sameBits(j.get(r, r), 0.0));
      for (std::size_t c = 0; c < 4; ++c) KOVA_FUZZ_CHECK(j.get(r, c) == -j.get(c, r));
    }
  }
  const PGL4 p = kova_kernel::computeProjector(a, delta);
  KOVA_FUZZ_CHECK(sameValue(p, kova_kernel::computeProjector(a, delta)));
  const PGL4 dt = kova_kernel::deformedTensorProduct(a, b, eps);
  static_cast<void>(dt);
  if (isFinite(a) && isFinite(b)) {
    const PGL4 linear = a.mul(b);
    if (isFinite(linear)) {
      KOVA_FUZZ_CHECK(numericallyEqual(kova_kernel::deformedTensorProduct(a, b, 0.0), linear));
    }
  }
  const PGL4 rz = kova_kernel::pglRotateZ(eps);
  static_cast<void>(rz);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  const PGL4 a = in.matrix();
  const PGL4 b = in.matrix();
  const HomVec4 v = in.vec();
  const double delta = in.real();
  const double eps = in.real();
  const std::uint32_t max_iter = in.byte() % 48;
  checkAccess(a, in);
  checkIdentity(a, v);
  checkNormalizeDet(a);
  checkNormalizeDet(b);
  checkInverse(a, delta, max_iter);
  checkConvergence(in);
  checkAlgebra(a, b, eps, delta);
  return 0;
}
