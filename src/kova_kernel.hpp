// kova_kernel: points of real projective 3-space, the Fubini-Study metric,
// 4x4 projective transforms and the numeric helpers built on them.
//
// Every sum of products below runs in index order from a 0.0 accumulator,
// each product rounded before it is added; nothing is fused. Degenerate input
// never fails: it maps to the documented fallback of each operation.
#pragma once

// A clear refusal for hosts built as C++20 or older, in place of the errors the
// declarations below would give there.
#include <version>
#if __cplusplus <= 202002L || !defined(__cpp_lib_expected)
#ifndef KOVA_NEEDS_CXX23_SAID  // said once, whichever kova header comes first
#define KOVA_NEEDS_CXX23_SAID
#error "kova needs C++23 (compile with -std=c++23)"
#endif
#else

#include <array>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>

namespace kova_kernel {

// |w| strictly below this dehomogenises as a point at infinity.
inline constexpr double W_EPS = 1e-6;
// A norm (or |det|) strictly below this counts as zero and takes its
// operation's fallback. The camera is stricter: it also refuses a norm equal to it.
inline constexpr double ZERO_NORM = 1e-15;
// Radius of the world sphere in kilometres (5838400 m, exactly representable).
inline constexpr double R_TALVIR_KM = 5838.4;

// The only error of the library: an allocator refused memory.
enum class Error : std::uint8_t { OutOfMemory = 0 };

// The four standard affine charts, named by the coordinate that is non-zero on them.
enum class AffineCard : std::uint8_t { UW = 0, UX = 1, UY = 2, UZ = 3 };

// A homogeneous 4-vector. Any four numbers are a valid value (the default is the
// zero vector); a vector and every non-zero multiple of it, its negation included,
// name the same projective point. Layout: four little-endian doubles x, y, z, w,
// 32 bytes, the GPU element format homvec4_f64.
struct HomVec4 {
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
  double w = 0.0;

  [[nodiscard]] static constexpr HomVec4 init(double x, double y, double z, double w) noexcept {
    return HomVec4{x, y, z, w};
  }
  [[nodiscard]] static constexpr HomVec4 fromCartesian(double x, double y, double z) noexcept {
    return HomVec4{x, y, z, 1.0};
  }

  // Cartesian coordinates (x/w, y/w, z/w); for |w| < W_EPS the direction
  // (x, y, z) / norm, and (0, 0, 0) when the norm is below ZERO_NORM.
  [[nodiscard]] std::array<double, 3> cartesian3() const noexcept;
  // sqrt(((x*x + y*y) + z*z) + w*w), without rescaling.
  [[nodiscard]] double norm() const noexcept { return std::sqrt(dot(*this)); }
  // The vector divided by its norm, or (0, 0, 0, 1) when the norm is below ZERO_NORM.
  // Finite coordinates whose squares overflow are scaled down first, so they
  // too land on the sphere instead of collapsing to the zero vector.
  [[nodiscard]] HomVec4 normalize() const noexcept;
  // ((x*b.x + y*b.y) + z*b.z) + w*b.w.
  [[nodiscard]] constexpr double dot(HomVec4 b) const noexcept {
    return ((x * b.x + y * b.y) + z * b.z) + w * b.w;
  }
  // Same projective point: |cos| of the angle between the lines exceeds 1 - tol.
  // A vector with norm below tol is the same point as nothing.
  [[nodiscard]] bool isSamePoint(HomVec4 b, double tol) const noexcept;
  // isSamePoint against -b; under the antipodal identification this always
  // agrees with isSamePoint(b, tol).
  [[nodiscard]] bool isAntipodalTo(HomVec4 b, double tol) const noexcept;
  // The chart of the coordinate of largest magnitude; ties go to W, then X, then Y.
  [[nodiscard]] AffineCard pickBestCard() const noexcept;

  // Exact numeric equality of the four coordinates (so -0.0 == 0.0, NaN != NaN).
  friend constexpr bool operator==(const HomVec4&, const HomVec4&) = default;

  // The vector or its negation, whichever has dot(result, toward) >= 0: the same
  // point, seen from the side of `toward`. A NaN dot product keeps the vector.
  [[nodiscard]] constexpr HomVec4 facing(HomVec4 toward) const noexcept {
    return dot(toward) < 0.0 ? HomVec4{-x, -y, -z, -w} : *this;
  }

  // Vector arithmetic, component by component; nothing is normalised.
  [[nodiscard]] friend constexpr HomVec4 operator+(HomVec4 a, HomVec4 b) noexcept {
    return HomVec4{a.x + b.x, a.y + b.y, a.z + b.z, a.w + b.w};
  }
  [[nodiscard]] friend constexpr HomVec4 operator-(HomVec4 a, HomVec4 b) noexcept {
    return HomVec4{a.x - b.x, a.y - b.y, a.z - b.z, a.w - b.w};
  }
  [[nodiscard]] friend constexpr HomVec4 operator-(HomVec4 a) noexcept {
    return HomVec4{-a.x, -a.y, -a.z, -a.w};
  }
  [[nodiscard]] friend constexpr HomVec4 operator*(double s, HomVec4 a) noexcept {
    return HomVec4{s * a.x, s * a.y, s * a.z, s * a.w};
  }
  [[nodiscard]] friend constexpr HomVec4 operator*(HomVec4 a, double s) noexcept {
    return HomVec4{a.x * s, a.y * s, a.z * s, a.w * s};
  }
};

// Fubini-Study distance in radians, always in [0, pi/2]: 0 when either vector
// is shorter than ZERO_NORM, and 0 when the cosine is NaN (non-finite input).
// Exactly std::acos(fsCosine(a, a.norm(), b, b.norm())).
[[nodiscard]] double fsDistance(HomVec4 a, HomVec4 b) noexcept;
// The same distance accurate to a few units in the last place of the distance
// itself, from the smallest angles to pi/2, where the cosine form of
// fsDistance resolves nothing below about 1e-8 rad (a metre of the world
// sphere is 8.6e-8 rad): atan2 of the norm of the wedge product a ^ b,
// computed from exact products, against |a . b|. Symmetric, the same for
// either representative of each point, and independent of the vectors'
// scales. The same fallbacks as fsDistance: 0 when either norm is below
// ZERO_NORM or a coordinate is not finite.
[[nodiscard]] double fsDistancePrecise(HomVec4 a, HomVec4 b) noexcept;

namespace detail {
// |a.b| / (|a| |b|) of finite vectors rescaled to unit size first; `plain` is
// returned as it is when a coordinate is not finite.
[[nodiscard]] double fsCosineRescaled(HomVec4 a, HomVec4 b, double plain) noexcept;
}  // namespace detail

// The cosine whose arc-cosine is fsDistance(a, b), given na = a.norm() and
// nb = b.norm(): |a.b| / (na nb) at most 1.0, and 1.0 when either norm is below
// ZERO_NORM or the ratio is NaN. Finite vectors whose norms or dot product overflow
// are rescaled first, so the cosine does not depend on their scale. Callers
// that order points by distance use it to stay exactly in step with fsDistance.
[[nodiscard]] inline double fsCosine(HomVec4 a, double na, HomVec4 b, double nb) noexcept {
  if (na < ZERO_NORM || nb < ZERO_NORM) return 1.0;
  const double dot = std::abs(a.dot(b));
  const double den = na * nb;
  double d = dot / den;
  constexpr double kInf = std::numeric_limits<double>::infinity();
  if (den == kInf || dot == kInf) [[unlikely]] d = detail::fsCosineRescaled(a, b, d);
  // min(d, 1.0) in the form that turns a NaN ratio into 1.0.
  return d < 1.0 ? d : 1.0;
}
// W = cos(s / (2 R)).
[[nodiscard]] double wFromDistance(double s_meters, double R_meters) noexcept;
// s = 2 R acos(W) with W clamped to [-1, 1]; NaN W counts as 1.
[[nodiscard]] double sFromW(double W, double R_meters) noexcept;

// Geodesics of elliptic space, computed on S^3. Results have unit norm.
// The point at arc `arc` (radians) from normalize(from) along the part of
// `direction` orthogonal to it: cos(arc) from + sin(arc) dir. For arc in
// [0, pi/2] it lies at Fubini-Study distance arc. A direction with no usable
// orthogonal part (zero, parallel to `from`, not finite) gives normalize(from).
[[nodiscard]] HomVec4 geodesicPoint(HomVec4 from, HomVec4 direction, double arc) noexcept;
// The point at fraction t of the shorter geodesic from a to b (b taken facing a):
// t = 0 gives normalize(a), t = 1 the point b; t outside [0, 1] extends the line.
[[nodiscard]] HomVec4 geodesicLerp(HomVec4 a, HomVec4 b, double t) noexcept;

// Four rows of four entries, as a matrix is written on paper.
using RowMajor4x4 = std::array<std::array<double, 4>, 4>;

// A 4x4 projective transform acting on column vectors. Storage is column-major:
// row r, column c lives at data[c * 4 + r], so the translation of an affine
// transform sits in data[12..14]. Layout: sixteen little-endian doubles, 128
// bytes, the GPU element format pgl4_f64. The default value is the zero matrix.
struct PGL4 {
  std::array<double, 16> data{};

  [[nodiscard]] static constexpr PGL4 identity() noexcept {
    return PGL4{{1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0}};
  }
  [[nodiscard]] static constexpr PGL4 init(const std::array<double, 16>& data) noexcept {
    return PGL4{data};
  }
  [[nodiscard]] static constexpr PGL4 fromRowMajor(const RowMajor4x4& m) noexcept {
    PGL4 out;
    for (std::size_t c = 0; c < 4; ++c) {
      for (std::size_t r = 0; r < 4; ++r) out.data[c * 4 + r] = m[r][c];
    }
    return out;
  }

  // row and col must be below 4; debug builds assert it.
  [[nodiscard]] constexpr double get(std::size_t row, std::size_t col) const noexcept {
    assert(row < 4 && col < 4);
    return data[col * 4 + row];
  }
  constexpr void set(std::size_t row, std::size_t col, double val) noexcept {
    assert(row < 4 && col < 4);
    data[col * 4 + row] = val;
  }

  // M * v, not normalised. Each row sums its four products from 0.0 in column
  // order, each product rounded (so -0.0 products sum to +0.0). At run time the
  // four row sums are the lanes of one vector; constant evaluation runs the
  // scalar loop, and both give the same bits.
  [[nodiscard]] constexpr HomVec4 apply(HomVec4 v) const noexcept {
    if (!std::is_constant_evaluated()) {
      using F64x4 = double __attribute__((vector_size(32)));
      const double* m = data.data();
      F64x4 acc = F64x4{0.0, 0.0, 0.0, 0.0};
      acc = acc + F64x4{m[0], m[1], m[2], m[3]} * v.x;
      acc = acc + F64x4{m[4], m[5], m[6], m[7]} * v.y;
      acc = acc + F64x4{m[8], m[9], m[10], m[11]} * v.z;
      acc = acc + F64x4{m[12], m[13], m[14], m[15]} * v.w;
      return HomVec4::init(acc[0], acc[1], acc[2], acc[3]);
    }
    const double in[4] = {v.x, v.y, v.z, v.w};
    double acc[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t c = 0; c < 4; ++c) {
      for (std::size_t r = 0; r < 4; ++r) acc[r] = acc[r] + data[c * 4 + r] * in[c];
    }
    return HomVec4::init(acc[0], acc[1], acc[2], acc[3]);
  }

  // *this * b. Entry (r, c) sums this(r,k) * b(k,c) from 0.0 in k order, each
  // product rounded. At run time each result column is one four-lane vector;
  // constant evaluation runs the scalar loop, and both give the same bits.
  [[nodiscard]] constexpr PGL4 mul(const PGL4& b) const noexcept {
    if (!std::is_constant_evaluated()) {
      using F64x4 = double __attribute__((vector_size(32)));
      struct Columns {
        F64x4 col[4];
      };
      const double* a = data.data();
      const F64x4 col0{a[0], a[1], a[2], a[3]};
      const F64x4 col1{a[4], a[5], a[6], a[7]};
      const F64x4 col2{a[8], a[9], a[10], a[11]};
      const F64x4 col3{a[12], a[13], a[14], a[15]};
      // The result is built in registers and copied out whole: it may be
      // stored over b, and this way every entry of b is read straight into its
      // multiplication instead of being loaded early and kept.
      Columns result;
      for (std::size_t c = 0; c < 4; ++c) {
        const double* bc = b.data.data() + c * 4;
        F64x4 acc = F64x4{0.0, 0.0, 0.0, 0.0};
        acc = acc + col0 * bc[0];
        acc = acc + col1 * bc[1];
        acc = acc + col2 * bc[2];
        acc = acc + col3 * bc[3];
        result.col[c] = acc;
      }
      return std::bit_cast<PGL4>(result);
    }
    PGL4 out;
    for (std::size_t c = 0; c < 4; ++c) {
      double acc[4] = {0.0, 0.0, 0.0, 0.0};
      for (std::size_t k = 0; k < 4; ++k) {
        const double bkc = b.data[c * 4 + k];
        for (std::size_t r = 0; r < 4; ++r) acc[r] = acc[r] + data[k * 4 + r] * bkc;
      }
      for (std::size_t r = 0; r < 4; ++r) out.data[c * 4 + r] = acc[r];
    }
    return out;
  }

  [[nodiscard]] constexpr PGL4 transpose() const noexcept {
    PGL4 out;
    for (std::size_t c = 0; c < 4; ++c) {
      for (std::size_t r = 0; r < 4; ++r) out.data[c * 4 + r] = data[r * 4 + c];
    }
    return out;
  }

  // Laplace expansion along row 0:
  //   ((M(0,0)*m00 - M(0,1)*m01) + M(0,2)*m02) - M(0,3)*m03
  // with m0c the unsigned 3x3 minor left after deleting row 0 and column c.
  [[nodiscard]] constexpr double det() const noexcept {
    return ((get(0, 0) * minor3x3(0, 0) - get(0, 1) * minor3x3(0, 1)) + get(0, 2) * minor3x3(0, 2)) -
           get(0, 3) * minor3x3(0, 3);
  }

  // Scaled by |det|^(-1/4) so that |det| becomes 1; unchanged when |det| < ZERO_NORM.
  [[nodiscard]] PGL4 normalizeDet() const noexcept;
  // Newton-Schulz approximation of (M + delta I)^-1 with at most max_iter steps;
  // stops after the first step whose residual max|(M + delta I) X - I| is below 1e-12.
  [[nodiscard]] PGL4 inverse(double delta, std::uint32_t max_iter) const noexcept;

  // Exact numeric equality of the sixteen entries.
  friend constexpr bool operator==(const PGL4&, const PGL4&) = default;

 private:
  // Determinant of the 3x3 submatrix without row `row` and column `col`:
  //   s00*(s11*s22 - s12*s21) - s01*(s10*s22 - s12*s20) + s02*(s10*s21 - s11*s20).
  [[nodiscard]] constexpr double minor3x3(std::size_t row, std::size_t col) const noexcept {
    double s[3][3] = {};
    std::size_t si = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      if (i == row) continue;
      std::size_t sj = 0;
      for (std::size_t j = 0; j < 4; ++j) {
        if (j == col) continue;
        s[si][sj] = get(i, j);
        ++sj;
      }
      ++si;
    }
    return s[0][0] * (s[1][1] * s[2][2] - s[1][2] * s[2][1]) -
           s[0][1] * (s[1][0] * s[2][2] - s[1][2] * s[2][0]) +
           s[0][2] * (s[1][0] * s[2][1] - s[1][1] * s[2][0]);
  }
};

[[nodiscard]] constexpr PGL4 operator*(const PGL4& a, const PGL4& b) noexcept { return a.mul(b); }
[[nodiscard]] constexpr HomVec4 operator*(const PGL4& m, HomVec4 v) noexcept { return m.apply(v); }

// Rows (1,0,0,tx), (0,1,0,ty), (0,0,1,tz), (0,0,0,1): moves (x, y, z, w) to
// (x + tx w, y + ty w, z + tz w, w), so points at infinity stay where they are.
[[nodiscard]] constexpr PGL4 pglTranslate(double tx, double ty, double tz) noexcept {
  return PGL4::init({1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, tx, ty, tz, 1.0});
}
// diag(sx, sy, sz, 1).
[[nodiscard]] constexpr PGL4 pglScale(double sx, double sy, double sz) noexcept {
  return PGL4::init({sx, 0.0, 0.0, 0.0, 0.0, sy, 0.0, 0.0, 0.0, 0.0, sz, 0.0, 0.0, 0.0, 0.0, 1.0});
}
// Rotation about Z; a positive angle turns +X towards +Y.
[[nodiscard]] PGL4 pglRotateZ(double angle) noexcept;

// Rigid placement: the rotation of S^3 (a PGL4 in SO(4), columns right, up,
// -forward, position) taking the origin (0, 0, 0, 1) to the point `at`, the
// view direction (0, 0, -1, 0) to forward, (0, 1, 0, 0) to up and (1, 0, 0, 0)
// to right. It is the inverse (the transpose) of KovaCamera::viewIsometry for a
// camera with this pose, to rounding, and the instance transform that puts a
// mesh built around the origin at `at` with every distance kept (pglTranslate
// does not keep them). The frame is modified Gram-Schmidt of at, forward, up in
// that order, step for step as the camera computes it, forward and up only
// giving directions (a power-of-two scale changes no bit), and right the
// four-dimensional complement: det[right, up, -forward, position] = +1.
// Fallbacks, so that the result is always a rotation: `at` is at.normalize(),
// hence the origin when shorter than ZERO_NORM, and the origin as well when a
// coordinate is not finite; a forward (then an up) with no usable part
// orthogonal to the vectors before it (zero, not finite, in their span) is
// replaced by the coordinate axis with the longest part orthogonal to them,
// the first of x, y, z, w on a tie. The origin facing -z with +y up gives the identity.
[[nodiscard]] PGL4 pglPlace(HomVec4 at, HomVec4 forward, HomVec4 up) noexcept;
// The placement at normalize(from) facing `direction`, slid by `arc` radians
// along the geodesic it faces: pglPlace(geodesicPoint(from, direction, arc),
// the geodesic's tangent there, up), so up is carried along unchanged. After
// arc pi it is back at `from` turned half a turn about forward (right and up
// negated): what travels once along a closed line of elliptic space comes back
// so. A direction with no usable part orthogonal to `from` gives
// pglPlace(from, direction, up); an arc that is not finite counts as 0.
[[nodiscard]] PGL4 pglPlaceAlong(HomVec4 from, HomVec4 direction, double arc, HomVec4 up) noexcept;

namespace detail {
// Gram-Schmidt steps shared by the camera's frame and the placements, so that
// both build their frames with the same bits.
// v scaled by a power of two (exact, coordinate by coordinate) so that its
// largest coordinate lies in [1, 2); false for the zero vector and for
// non-finite input.
bool scaledToUnitRange(HomVec4 v, HomVec4* out) noexcept;
// The part of v orthogonal to the first `count` vectors of the orthonormal set
// `basis`, normalised; false when none is left (a residual below 1e-14 of v).
// The projection runs twice, so the result is orthogonal to rounding even
// for v nearly in the span.
bool orthogonalDirection(HomVec4 v, const HomVec4* basis, int count, HomVec4* out) noexcept;
// As orthogonalDirection, falling back to the coordinate axis with the longest
// part orthogonal to the basis (at least sqrt(1/2) of it for up to two
// vectors), the first of x, y, z, w on a tie.
[[nodiscard]] HomVec4 orthogonalDirectionOrAxis(HomVec4 v, const HomVec4* basis,
                                                int count) noexcept;
// The vector X with X.v = det[v; a; b; c] (rows) for every v: orthogonal to a,
// b and c, of unit norm when they are orthonormal.
[[nodiscard]] HomVec4 complement(HomVec4 a, HomVec4 b, HomVec4 c) noexcept;
}  // namespace detail

namespace detail {
// Deliberately not constexpr: reaching it during constant evaluation stops
// compilation, and the compiler's message names it.
inline void pglFromHomogeneous_matrix_is_singular() noexcept {}
}  // namespace detail

// A transform written as a literal, row by row. A singular matrix (determinant
// exactly zero, or not a number) does not compile.
[[nodiscard]] consteval PGL4 pglFromHomogeneous(const RowMajor4x4& m) {
  const PGL4 out = PGL4::fromRowMajor(m);
  const double d = out.det();
  if (!(d != 0.0) || d - d != 0.0) detail::pglFromHomogeneous_matrix_is_singular();
  return out;
}

// Solids for the projective triangle pipeline, built around the origin
// (0, 0, 0, 1) and placed by an instance transform such as pglPlace. Vertices
// have unit norm and w > 0; indices run three per triangle, counter-clockwise
// seen from outside: for each triangle (a, b, c) the four-dimensional cross
// product n (with n.v = det[v; a; b; c]) points away from the centre,
// n.(0, 0, 0, 1) < 0. Built in place, nothing is allocated.
struct BoxMesh {
  std::array<HomVec4, 8> vertices{};
  std::array<std::uint32_t, 36> indices{};
};
// A box with half-extents (hx, hy, hz) in the gnomonic chart of the origin:
// corner i is (+-hx, +-hy, +-hz, 1) normalised, with the + sign of x, y, z where
// bit 0, 1, 2 of i is set. Its face centres lie at Fubini-Study distance
// atan(h) from the origin (about h radians for small h); its faces are flat,
// since planes of the chart are planes of the space. Faces -x, +x, -y, +y, -z,
// +z, two triangles each. A half-extent counts as its magnitude, and as 0 when
// it is not finite. A cube is boxMesh(h, h, h).
[[nodiscard]] BoxMesh boxMesh(double half_x, double half_y, double half_z) noexcept;

struct DodecahedronMesh {
  std::array<HomVec4, 20> vertices{};
  std::array<std::uint32_t, 108> indices{};
};
// The regular dodecahedron centred at the origin with its vertices at
// Fubini-Study distance r = circumradius from it: cos(r) (0, 0, 0, 1) + sin(r) d
// for the unit directions d, so the chart radius is tan(r). With
// phi = (1 + sqrt 5) / 2, d is (+-1, +-1, +-1) / sqrt 3 for vertices 0 to 7 (the
// signs by the bits of the index, as for boxMesh), then (0, +-1/phi, +-phi),
// (+-1/phi, +-phi, 0) and (+-phi, 0, +-1/phi), each / sqrt 3, four vertices
// each, with bit 0 signing the first and bit 1 the second non-zero coordinate.
// Triangles 3k to 3k + 2 fan pentagon k from its lowest-numbered vertex.
// r is clamped to [0, pi/2] (at pi/2 every vertex is at infinity); NaN counts as 0.
[[nodiscard]] DodecahedronMesh dodecahedronMesh(double circumradius) noexcept;

// Endpoint pairs for the geodesic draw command, whose segment k joins entries
// 2k and 2k + 1, each drawn as the shorter arc between them: points[0] to
// points[1], ..., points[n - 2] to points[n - 1], then points[n - 1] to
// points[0] as well when `closed`, the points copied as given. Returns the
// number written, 2 (n - 1) or 2 n; 0, writing nothing, for fewer than 2
// points or when `out` is shorter than that. For a closed geodesic, points
// geodesicPoint(from, direction, k pi / n), k = 0 .. n - 1, with n >= 3.
[[nodiscard]] std::size_t geodesicPolyline(std::span<const HomVec4> points, bool closed,
                                           std::span<HomVec4> out) noexcept;

// J = A - A^T, entry by entry.
[[nodiscard]] PGL4 computeResonance(const PGL4& a) noexcept;
// I - Jc^T (Jc Jc^T + 2 delta I)^-1 Jc, the inverse by eight Newton-Schulz steps at most.
[[nodiscard]] PGL4 computeProjector(const PGL4& jc, double delta) noexcept;
// X Y + epsilon (X o Y), with o the entrywise product.
[[nodiscard]] PGL4 deformedTensorProduct(const PGL4& x, const PGL4& y, double epsilon) noexcept;

// Four single-precision lanes in one 128-bit register; lanes read and written as v[0] .. v[3].
using F32x4 = float __attribute__((vector_size(16)));

[[nodiscard]] F32x4 f32x4(float x, float y, float z, float w) noexcept;
// ((c0 + c1) + c2) + c3 with c = a * b lane by lane, in single precision.
[[nodiscard]] float simdDot4(F32x4 a, F32x4 b) noexcept;
// v divided by its four-lane length, or (0, 0, 0, 1) when the squared length is
// below ZERO_NORM (rounded to float).
[[nodiscard]] F32x4 simdNormalize3(F32x4 v) noexcept;
// 1/sqrt(x) from a bit-level estimate and three Newton steps, without sqrt or
// division: 0 for x <= 0 and for +inf, NaN for NaN; subnormals are scaled into
// the normal range first, so they are as accurate as normal numbers.
[[nodiscard]] double cordicInvSqrt(double x) noexcept;

}  // namespace kova_kernel

#endif  // C++23
