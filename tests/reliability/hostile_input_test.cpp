// Hostile input for every public operation: zero vectors, NaN, infinities,
// overflowing magnitudes, singular and zero matrices, zero radius, near bound
// at or beyond the far bound, aspect 0. Each has a defined result, asserted
// here; nothing may crash, fail or hand back a value outside its range.
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory_resource>
#include <numbers>
#include <vector>

#include <gtest/gtest.h>

#include "kova_kernel.hpp"
#include "kova_renderer.hpp"
#include "kova_rhi.hpp"
#include "kova_test_bits.hpp"
#include "kova_test_resources.hpp"

namespace {

using kova_kernel::HomVec4;
using kova_kernel::PGL4;
using kova_test::sameBits;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMax = std::numeric_limits<double>::max();
constexpr double kDenorm = std::numeric_limits<double>::denorm_min();
constexpr double kHalfPi = std::numbers::pi / 2.0;
const HomVec4 kOrigin = HomVec4::init(0.0, 0.0, 0.0, 1.0);

bool anyNaN(HomVec4 v) {
  return std::isnan(v.x) || std::isnan(v.y) || std::isnan(v.z) || std::isnan(v.w);
}
bool allNaN(const PGL4& m) {
  for (const double e : m.data) {
    if (!std::isnan(e)) return false;
  }
  return true;
}

// ---- points and metric ----

TEST(HostilePoints, NormalizeHasADefinedResultForEveryKindOfInput) {
  // Too short to normalise: the origin of the ordinary chart.
  for (const HomVec4 v :
       {HomVec4{}, HomVec4::init(-0.0, -0.0, -0.0, -0.0), HomVec4::init(9e-16, 0.0, 0.0, 0.0),
        HomVec4::init(kDenorm, kDenorm, -kDenorm, kDenorm),
        HomVec4::init(1e-160, 0.0, 0.0, 1e-160)}) {
    EXPECT_TRUE(sameBits(v.normalize(), kOrigin)) << v.x;
  }
  // Non-finite coordinates give NaN, never a silent finite vector.
  for (const HomVec4 v : {HomVec4::init(kNaN, 0.0, 0.0, 1.0), HomVec4::init(kInf, 0.0, 0.0, 1.0),
                          HomVec4::init(1.0, -kInf, kInf, 1.0)}) {
    EXPECT_TRUE(anyNaN(v.normalize())) << v.x << " " << v.y;
  }
  // Finite coordinates whose squares overflow still normalise onto S^3 (a
  // division by the overflowed norm would return the zero vector).
  for (const HomVec4 v :
       {HomVec4::init(kMax, 0.0, 0.0, 0.0), HomVec4::init(1e200, -1e200, 0.0, 1.0),
        HomVec4::init(3e154, 4e154, 0.0, 0.0)}) {
    const HomVec4 n = v.normalize();
    EXPECT_NEAR(n.norm(), 1.0, 1e-15) << v.x;
    EXPECT_EQ(std::signbit(n.y), std::signbit(v.y));
  }
  const HomVec4 n = HomVec4::init(3e154, 4e154, 0.0, 0.0).normalize();
  EXPECT_NEAR(n.x, 0.6, 1e-15);
  EXPECT_NEAR(n.y, 0.8, 1e-15);
}

TEST(HostilePoints, DehomogenisationComparisonAndChartOfDegenerateVectors) {
  EXPECT_EQ(HomVec4{}.cartesian3(), (std::array<double, 3>{0.0, 0.0, 0.0}));
  EXPECT_EQ(HomVec4::init(1e-16, 0.0, 0.0, 0.0).cartesian3(), (std::array<double, 3>{0, 0, 0}));
  // w = +-inf divides the coordinates down to signed zeros.
  const auto c = HomVec4::init(1.0, -2.0, 0.0, kInf).cartesian3();
  EXPECT_TRUE(sameBits(c[0], 0.0) && sameBits(c[1], -0.0) && sameBits(c[2], 0.0));
  // A NaN w is not below W_EPS: the coordinates are divided by it.
  for (const double e : HomVec4::init(1.0, 2.0, 3.0, kNaN).cartesian3()) EXPECT_TRUE(std::isnan(e));

  const HomVec4 p = HomVec4::init(1.0, 2.0, 3.0, 4.0);
  EXPECT_FALSE(HomVec4{}.isSamePoint(HomVec4{}, 1e-8));
  EXPECT_FALSE(p.isSamePoint(HomVec4{}, 1e-8));
  EXPECT_FALSE(p.isSamePoint(HomVec4::init(kNaN, 2.0, 3.0, 4.0), 1e-8));
  EXPECT_FALSE(p.isSamePoint(p, kNaN));
  EXPECT_FALSE(p.isAntipodalTo(HomVec4::init(kInf, 0.0, 0.0, 0.0), 1e-8));

  // Comparisons with NaN are false, so NaN pushes the chart towards UZ.
  using kova_kernel::AffineCard;
  EXPECT_EQ(HomVec4::init(kNaN, kNaN, kNaN, kNaN).pickBestCard(), AffineCard::UZ);
  EXPECT_EQ(HomVec4::init(kNaN, 0.0, 0.0, 0.0).pickBestCard(), AffineCard::UY);
  EXPECT_EQ(HomVec4::init(0.0, 0.0, 0.0, kNaN).pickBestCard(), AffineCard::UX);
  EXPECT_EQ(HomVec4::init(0.0, 0.0, -kInf, kInf).pickBestCard(), AffineCard::UW);
  EXPECT_EQ(HomVec4::init(-0.0, 0.0, 0.0, 0.0).pickBestCard(), AffineCard::UW);
}

TEST(HostileMetric, DistanceStaysInRangeForEveryPair) {
  const HomVec4 p = HomVec4::init(1.0, 0.0, 0.0, 1.0);
  struct Case {
    HomVec4 a, b;
    double expected;
  };
  const Case cases[] = {
      {HomVec4{}, p, 0.0},                            // zero vector
      {p, HomVec4::init(1e-16, 0.0, 0.0, 0.0), 0.0},  // below the threshold
      {HomVec4::init(kNaN, 0.0, 0.0, 1.0), p, 0.0},   // NaN cosine counts as 1
      {HomVec4::init(kInf, 0.0, 0.0, 0.0), p, 0.0},   // inf / inf
      {HomVec4::init(0.0, kInf, 0.0, 0.0), p, 0.0},   // 0 * inf in the dot product
      {HomVec4::init(1e200, 0.0, 0.0, 0.0), HomVec4::init(0.0, 1e200, 0.0, 0.0), kHalfPi},
      {HomVec4::init(kDenorm, 0.0, 0.0, 1.0), HomVec4::init(-kDenorm, 0.0, 0.0, -1.0), 0.0},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(sameBits(kova_kernel::fsDistance(c.a, c.b), c.expected)) << c.a.x << " " << c.b.x;
    EXPECT_TRUE(sameBits(kova_kernel::fsDistance(c.b, c.a), c.expected)) << c.a.x << " " << c.b.x;
  }
}

TEST(HostileMetric, WMapWithZeroRadiusAndOutOfRangeW) {
  constexpr double kR = kova_kernel::R_TALVIR_KM * 1000.0;
  EXPECT_TRUE(std::isnan(kova_kernel::wFromDistance(1000.0, 0.0)));  // cos(inf)
  EXPECT_TRUE(std::isnan(kova_kernel::wFromDistance(0.0, 0.0)));     // cos(0 / 0)
  EXPECT_TRUE(std::isnan(kova_kernel::wFromDistance(kInf, kR)));
  EXPECT_EQ(kova_kernel::sFromW(0.5, 0.0), 0.0);
  EXPECT_EQ(kova_kernel::sFromW(kNaN, kR), 0.0);
  EXPECT_EQ(kova_kernel::sFromW(kInf, kR), 0.0);
  EXPECT_EQ(kova_kernel::sFromW(-kInf, kR), (2.0 * kR) * std::acos(-1.0));
}

// ---- transforms and inverse ----

TEST(HostileTransforms, DeterminantNormalisationOfSingularAndNonFiniteMatrices) {
  const PGL4 zero{};
  const PGL4 singular =
      PGL4::fromRowMajor({{{1, 2, 0, 0}, {2, 4, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}});
  for (const PGL4& m : {zero, singular, kova_kernel::pglScale(0.0, 1.0, 1.0),
                        kova_kernel::pglScale(1e-5, 1e-5, 1e-6)}) {
    EXPECT_TRUE(sameBits(m.normalizeDet(), m));
  }
  // Just above the bound (det 1e-12) the matrix is scaled as usual.
  EXPECT_NEAR(kova_kernel::pglScale(1e-4, 1e-4, 1e-4).normalizeDet().det(), 1.0, 1e-9);
  PGL4 with_nan = PGL4::identity();
  with_nan.set(1, 2, kNaN);
  EXPECT_TRUE(allNaN(with_nan.normalizeDet()));
  PGL4 with_inf = PGL4::identity();
  with_inf.set(0, 0, kInf);
  // det = inf: scaled by inf^(-1/4) = 0, except inf * 0 = NaN on the diagonal.
  const PGL4 n = with_inf.normalizeDet();
  EXPECT_TRUE(std::isnan(n.get(0, 0)));
  EXPECT_TRUE(sameBits(n.get(1, 1), 0.0));
}

TEST(HostileTransforms, InverseOfZeroSingularAndNonFiniteMatrices) {
  const PGL4 zero{};
  EXPECT_TRUE(allNaN(zero.inverse(0.0, 0)));
  EXPECT_TRUE(allNaN(zero.inverse(0.0, 1)));
  EXPECT_TRUE(allNaN(zero.inverse(0.0, 100)));
  // -delta I shifted by delta is the zero matrix again.
  PGL4 minus_half{};
  for (std::size_t i = 0; i < 4; ++i) minus_half.set(i, i, -0.5);
  EXPECT_TRUE(allNaN(minus_half.inverse(0.5, 3)));

  const PGL4 two_i = zero.inverse(0.5, 20);
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) EXPECT_NEAR(two_i.get(r, c), r == c ? 2.0 : 0.0, 1e-12);
  }
  const PGL4 singular =
      PGL4::fromRowMajor({{{1, 2, 0, 0}, {2, 4, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}});
  const PGL4 pinv = singular.inverse(0.0, 15);
  EXPECT_NEAR(pinv.get(0, 0), 0.04, 1e-9);
  EXPECT_NEAR(pinv.get(1, 1), 0.16, 1e-9);
  for (const double e : pinv.data) EXPECT_TRUE(std::isfinite(e));

  PGL4 with_nan = PGL4::identity();
  with_nan.set(3, 0, kNaN);
  EXPECT_TRUE(allNaN(with_nan.inverse(0.0, 5)));
  EXPECT_TRUE(allNaN(PGL4::identity().inverse(kNaN, 5)));
  // An infinite shift: inf / inf on the diagonal, 0 / inf elsewhere.
  const PGL4 inf_shift = PGL4::identity().inverse(kInf, 0);
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) {
      if (r == c) {
        EXPECT_TRUE(std::isnan(inf_shift.get(r, c)));
      } else {
        EXPECT_TRUE(sameBits(inf_shift.get(r, c), 0.0));
      }
    }
  }
}

TEST(HostileTransforms, OperatorAlgebraOnDegenerateInput) {
  const PGL4 zero{};
  EXPECT_TRUE(sameBits(kova_kernel::computeProjector(zero, 1e-8), PGL4::identity()));
  EXPECT_TRUE(sameBits(kova_kernel::computeResonance(zero), zero));
  PGL4 with_inf = PGL4::identity();
  with_inf.set(0, 1, kInf);
  const PGL4 j = kova_kernel::computeResonance(with_inf);
  EXPECT_EQ(j.get(0, 1), kInf);
  EXPECT_EQ(j.get(1, 0), -kInf);
  EXPECT_TRUE(sameBits(j.get(0, 0), 0.0));
  const PGL4 d = kova_kernel::deformedTensorProduct(PGL4::identity(), PGL4::identity(), kNaN);
  // epsilon * 0 is NaN everywhere, so every entry is NaN.
  EXPECT_TRUE(allNaN(d));
}

// ---- fast numeric helpers ----

TEST(HostileNumeric, InverseSquareRootOfEveryKindOfDouble) {
  for (const double x : {0.0, -0.0, -4.0, -kDenorm, -kInf}) {
    EXPECT_TRUE(sameBits(kova_kernel::cordicInvSqrt(x), 0.0)) << x;
  }
  EXPECT_TRUE(sameBits(kova_kernel::cordicInvSqrt(kInf), 0.0));
  EXPECT_TRUE(std::isnan(kova_kernel::cordicInvSqrt(kNaN)));
  for (const double x : {kDenorm, 1e-310, std::numeric_limits<double>::min(), kMax}) {
    const double y = kova_kernel::cordicInvSqrt(x);
    const long double exact = 1.0L / std::sqrt(static_cast<long double>(x));
    EXPECT_LT(std::abs((static_cast<long double>(y) - exact) / exact), 3.2e-11L) << x;
  }
}

TEST(HostileNumeric, FourLaneNormalisationOfZeroAndNaN) {
  using kova_kernel::f32x4;
  const kova_kernel::F32x4 zero = kova_kernel::simdNormalize3(f32x4(0.0f, -0.0f, 0.0f, 0.0f));
  EXPECT_TRUE(zero[0] == 0.0f && zero[1] == 0.0f && zero[2] == 0.0f && zero[3] == 1.0f);
  const kova_kernel::F32x4 nan =
      kova_kernel::simdNormalize3(f32x4(std::numeric_limits<float>::quiet_NaN(), 1.0f, 0.0f, 0.0f));
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(std::isnan(nan[i]));
}

// ---- camera and frustum ----

using kova_renderer::KovaCamera;
using kova_renderer::KovaFrustum;
using kova_renderer::ProjectiveHyperplane;

TEST(HostileCamera, DegenerateFramesFallBack) {
  const HomVec4 fwd = HomVec4::init(0.0, 0.0, -1.0, 0.0);
  const HomVec4 up = HomVec4::init(0.0, 1.0, 0.0, 0.0);
  // Zero, too short or NaN positions become the origin.
  for (const HomVec4 pos :
       {HomVec4{}, HomVec4::init(1e-15, 0.0, 0.0, 0.0), HomVec4::init(kNaN, 0.0, 0.0, 1.0)}) {
    const KovaCamera cam = KovaCamera::init(pos, fwd, up, 1.0, 1.5, 0.01, 100.0);
    EXPECT_TRUE(sameBits(cam.position, kOrigin)) << pos.x;
  }
  // A forward vector along the position leaves the zero residual; zero
  // forward and up leave right at its fallback.
  const KovaCamera parallel =
      KovaCamera::init(kOrigin, HomVec4::init(0.0, 0.0, 0.0, 5.0), up, 1.0, 1.5, 0.01, 100.0);
  EXPECT_EQ(parallel.forward, HomVec4{});
  EXPECT_EQ(parallel.up, up);
  EXPECT_TRUE(sameBits(parallel.right, HomVec4::init(1.0, 0.0, 0.0, 0.0)));
  const KovaCamera empty = KovaCamera::init(kOrigin, HomVec4{}, HomVec4{}, 1.0, 1.5, 0.01, 100.0);
  EXPECT_EQ(empty.forward, HomVec4{});
  EXPECT_EQ(empty.up, HomVec4{});
  EXPECT_TRUE(sameBits(empty.right, HomVec4::init(1.0, 0.0, 0.0, 0.0)));
  // Projection parameters are stored as given, whatever they are.
  const KovaCamera odd = KovaCamera::init(kOrigin, fwd, up, kNaN, 0.0, kInf, -kInf);
  EXPECT_TRUE(std::isnan(odd.fov));
  EXPECT_TRUE(sameBits(odd.aspect, 0.0));
  EXPECT_EQ(odd.near_fs, kInf);
  EXPECT_EQ(odd.far_fs, -kInf);
  EXPECT_TRUE(odd.dirty);
}

TEST(HostileCamera, MovesThatCannotBeNormalisedKeepThePosition) {
  KovaCamera cam = KovaCamera::defaultCamera();
  cam.updateViewMatrix();
  const HomVec4 before = cam.position;
  cam.moveForward(kNaN);
  EXPECT_TRUE(sameBits(cam.position, before));
  EXPECT_TRUE(cam.dirty);
  cam.updateViewMatrix();
  cam.moveRight(kInf);  // cos and sin of inf are NaN
  EXPECT_TRUE(sameBits(cam.position, before));
  EXPECT_TRUE(cam.dirty);
  // cos(pi/4) and sin(pi/4) differ by one unit in the last place: along an
  // antipodal forward vector the combination nearly cancels.
  cam.forward = HomVec4::init(0.0, 0.0, 0.0, -1.0);
  cam.moveForward(std::numbers::pi / 4.0);
  EXPECT_TRUE(sameBits(cam.position, before));
  EXPECT_EQ(cam.distanceTo(HomVec4{}), 0.0);
  EXPECT_EQ(cam.distanceTo(HomVec4::init(kNaN, kNaN, kNaN, kNaN)), 0.0);
}

TEST(HostileCamera, FlightIgnoresNonFiniteInputAndRepairsAnyFrame) {
  KovaCamera cam = KovaCamera::defaultCamera();
  cam.updateViewMatrix();
  const KovaCamera before = cam;
  cam.travel(kNaN, 0.0, 0.0);
  cam.turn(0.0, 0.0, -kInf);
  cam.lookAt(HomVec4::init(kNaN, 0.0, 0.0, 1.0), HomVec4{});
  cam.lookAt(kOrigin, HomVec4::init(0.0, kInf, 0.0, 0.0));
  EXPECT_TRUE(cam == before && !cam.dirty);
  // Zero, NaN and overflowing frames become orthonormal with det +1.
  for (const HomVec4 v :
       {HomVec4{}, HomVec4::init(kNaN, 1.0, 0.0, 0.0), HomVec4::init(kMax, kMax, 0, 0)}) {
    KovaCamera odd = before;
    odd.position = odd.forward = odd.up = odd.right = v;
    odd.orthonormalize();
    EXPECT_NEAR(odd.viewIsometry().det(), 1.0, 1e-15);
    EXPECT_TRUE(odd.dirty);
  }
  // Nowhere in the picture: zero, NaN, the eye and its focal plane.
  for (const HomVec4 p :
       {HomVec4{}, HomVec4::init(kNaN, 0, 0, 1), kOrigin, HomVec4::init(1, 0, 0, 0)}) {
    EXPECT_FALSE(before.project(p).has_value());
  }
  EXPECT_EQ(before.project(HomVec4::init(0.0, 0.0, -kMax, kMax))->x, 0.0);
  // Without a picture nothing is in it, for project and fromView alike.
  for (const auto& [fov, aspect] :
       {std::pair{0.0, 1.0}, std::pair{std::numbers::pi, 1.0}, std::pair{kNaN, 1.0},
        std::pair{1.0, 0.0}, std::pair{1.0, kInf}}) {
    cam.fov = fov;
    cam.aspect = aspect;
    const HomVec4 ahead = HomVec4::init(0.0, 0.0, -1.0, 1.0);
    bool mask[2] = {true, true};
    const HomVec4 pts[2] = {ahead, -ahead};
    EXPECT_FALSE(cam.project(ahead).has_value());
    EXPECT_EQ(kova_renderer::frustumCullFacing(KovaFrustum::fromView(cam), pts, mask), 0u);
  }
  EXPECT_EQ(kova_kernel::geodesicPoint(kOrigin, HomVec4{}, 1.0), kOrigin);
  EXPECT_EQ(kova_kernel::geodesicLerp(kOrigin, HomVec4{}, 0.5), kOrigin);
  const HomVec4 mid =
      kova_kernel::geodesicLerp(HomVec4::init(kMax, 0, 0, 0), HomVec4::init(0, -kMax, 0, 0), 0.5);
  EXPECT_NEAR(std::fabs(mid.x), std::sqrt(0.5), 1e-15);
  EXPECT_NEAR(std::fabs(mid.y), std::sqrt(0.5), 1e-15);
}

TEST(HostileFrustum, AspectZeroAndNaNFieldOfViewSeeNothing) {
  const KovaCamera base = KovaCamera::defaultCamera();
  for (const auto& [fov, aspect] : {std::pair{base.fov, 0.0}, std::pair{base.fov, -0.0},
                                    std::pair{0.0, 0.0}, std::pair{kNaN, base.aspect}}) {
    KovaCamera cam = base;
    cam.fov = fov;
    cam.aspect = aspect;
    const KovaFrustum f = KovaFrustum::fromCamera(cam);
    for (const std::size_t i : {std::size_t{2}, std::size_t{3}}) {
      EXPECT_TRUE(std::isnan(f.planes[i].a) && std::isnan(f.planes[i].b) &&
                  std::isnan(f.planes[i].c) && std::isnan(f.planes[i].d));
    }
    for (const HomVec4 p : {kOrigin, HomVec4::init(0.0, 0.0, -1.0, 1.0), HomVec4{}}) {
      EXPECT_FALSE(f.isVisibleFast(p)) << fov << " " << aspect;
    }
    std::vector<HomVec4> pts(5, HomVec4::init(0.0, 0.0, -1.0, 1.0));
    bool mask[5] = {true, true, true, true, true};
    EXPECT_EQ(kova_renderer::frustumCull(f, pts, mask), 0u);
  }
}

TEST(HostileFrustum, PlanesAndBallsWithZeroNaNAndInfiniteValues) {
  const ProjectiveHyperplane zero{};
  EXPECT_TRUE(zero.isVisible(HomVec4::init(1.0, -2.0, 3.0, -4.0)));
  EXPECT_TRUE(zero.isVisible(HomVec4{}));
  EXPECT_FALSE(zero.isVisible(HomVec4::init(kNaN, 0.0, 0.0, 1.0)));
  EXPECT_FALSE(zero.isVisible(HomVec4::init(kInf, 0.0, 0.0, 1.0)));  // 0 * inf
  EXPECT_FALSE(ProjectiveHyperplane::init(kNaN, 0.0, 0.0, 0.0).isVisible(kOrigin));
  EXPECT_TRUE(
      ProjectiveHyperplane::init(1.0, 0.0, 0.0, 0.0).isVisible(HomVec4::init(-0.0, 0, 0, 1)));

  const KovaFrustum f = KovaFrustum::fromCamera(KovaCamera::defaultCamera());
  const HomVec4 eye = f.observer;
  EXPECT_FALSE(f.isSphereVisible(eye, 0.0));   // nearer than near_fs
  EXPECT_FALSE(f.isSphereVisible(eye, -1.0));  // negative radius
  EXPECT_TRUE(f.isSphereVisible(eye, kNaN));   // NaN comparisons never reject
  EXPECT_TRUE(f.isSphereVisible(eye, kInf));
  EXPECT_FALSE(f.isSphereVisible(HomVec4::init(0.0, 0.0, 1.0, 0.0), 0.0));  // behind
  EXPECT_TRUE(f.isSphereVisible(HomVec4::init(0.0, 0.0, 1.0, 0.0), kInf));

  const KovaFrustum moved = f.transformBy(PGL4{});
  EXPECT_EQ(moved.observer, HomVec4{});
  EXPECT_EQ(moved.near_fs, f.near_fs);
  const KovaFrustum nan_moved = f.transformBy(PGL4::identity().inverse(kNaN, 1));
  EXPECT_FALSE(nan_moved.isVisibleFast(kOrigin));
}

// ---- FS-depth and W-visibility ----

TEST(HostileDepth, BoundsAtOrBeyondEachOtherNaNAndInfinite) {
  const HomVec4 obs = kOrigin;
  const HomVec4 at_half = HomVec4::init(std::sin(0.5), 0.0, 0.0, std::cos(0.5));  // distance 0.5
  const double d = kova_kernel::fsDistance(obs, at_half);
  struct Case {
    double near_fs, far_fs, expected;
  };
  const Case cases[] = {
      {d, d, 0.0},          // equal bounds: at the bound is near
      {0.4, 0.4, 1.0},      // equal bounds: beyond is far
      {1.0, 0.2, 0.0},      // near beyond far: inside near
      {0.45, 0.2, 1.0},     // near beyond far: outside near
      {0.0, kInf, 0.0},     // (d - 0) / inf
      {kInf, 0.1, 0.0},     // near inf: everything is near
      {-kInf, -kInf, 1.0},  // both at -inf: everything is far
      {0.0, kNaN, kNaN},    // a NaN bound is the only way to NaN
      {kNaN, 0.2, 1.0},    {kNaN, 1.0, kNaN},
  };
  for (const Case& c : cases) {
    const double depth = kova_renderer::fsDepth(obs, at_half, c.near_fs, c.far_fs);
    if (std::isnan(c.expected)) {
      EXPECT_TRUE(std::isnan(depth)) << c.near_fs << " " << c.far_fs;
    } else {
      EXPECT_TRUE(sameBits(depth, c.expected)) << c.near_fs << " " << c.far_fs << " -> " << depth;
    }
  }
  // An infinite near bound below the distance still yields a depth in [0, 1].
  for (const double far_fs : {1.0, kInf}) {
    const double depth = kova_renderer::fsDepth(obs, at_half, -kInf, far_fs);
    EXPECT_TRUE(depth >= 0.0 && depth <= 1.0) << far_fs << " -> " << depth;
  }
  // Degenerate points are at distance 0: depth 0 for any near bound >= 0.
  EXPECT_TRUE(sameBits(kova_renderer::fsDepth(HomVec4{}, at_half, 0.0, 1.0), 0.0));
  EXPECT_TRUE(sameBits(kova_renderer::fsDepth(obs, HomVec4::init(kNaN, 0, 0, 1), 0.0, 1.0), 0.0));

  EXPECT_TRUE(std::isnan(kova_renderer::fsDepthToDistance(kNaN, 0.0, 1.0)));
  EXPECT_TRUE(std::isnan(kova_renderer::fsDepthToDistance(0.0, kInf, kInf)));  // inf + 0 * NaN
  EXPECT_EQ(kova_renderer::fsDepthToDistance(2.0, 0.5, 0.5), 0.5);
}

TEST(HostileDepth, WVisibilityOfBandEdgesZerosInfinitiesAndNaN) {
  using kova_renderer::wVisibility;
  using kova_renderer::WVisibilityClass;
  EXPECT_EQ(wVisibility(HomVec4::init(0, 0, 0, kNaN)), WVisibilityClass::at_infinity);
  EXPECT_EQ(wVisibility(HomVec4::init(0, 0, 0, -kNaN)), WVisibilityClass::at_infinity);
  EXPECT_EQ(wVisibility(HomVec4::init(0, 0, 0, -0.0)), WVisibilityClass::at_infinity);
  EXPECT_EQ(wVisibility(HomVec4::init(0, 0, 0, kova_kernel::W_EPS)), WVisibilityClass::at_infinity);
  EXPECT_EQ(wVisibility(HomVec4::init(0, 0, 0, -kova_kernel::W_EPS)),
            WVisibilityClass::at_infinity);
  EXPECT_EQ(wVisibility(HomVec4::init(kNaN, kNaN, kNaN, kInf)), WVisibilityClass::in_front);
  EXPECT_EQ(wVisibility(HomVec4::init(0, 0, 0, -kInf)), WVisibilityClass::behind);
  EXPECT_EQ(wVisibility(HomVec4::init(0, 0, 0, kDenorm)), WVisibilityClass::at_infinity);
}

// ---- culling, clipping and sorting ----

TEST(HostileBatch, EmptyMismatchedAndNonFiniteArrays) {
  const KovaFrustum f = KovaFrustum::fromCamera(KovaCamera::defaultCamera());
  const ProjectiveHyperplane zero{};
  bool mask[6] = {true, false, true, false, true, false};
  EXPECT_EQ(kova_renderer::frustumCull(f, {}, mask), 0u);
  EXPECT_EQ(kova_renderer::projectiveClip(zero, {}, mask), 0u);
  EXPECT_EQ(kova_renderer::frustumCull(f, std::vector<HomVec4>(3, kOrigin), {}), 0u);
  const bool untouched[6] = {true, false, true, false, true, false};
  EXPECT_TRUE(std::equal(mask, mask + 6, untouched));

  const std::vector<HomVec4> pts = {HomVec4::init(kNaN, 0, 0, 1),  HomVec4::init(0, 0, -1, 1),
                                    HomVec4::init(kInf, 0, 0, 1),  HomVec4{},
                                    HomVec4::init(0, 0, -kInf, 1), HomVec4::init(0, 0, -1, 1)};
  // Only the first four points fit the mask; the last two entries are kept.
  EXPECT_EQ(kova_renderer::frustumCull(f, pts, std::span<bool>(mask, 4)), 2u);
  const bool culled[6] = {false, true, false, true, true, false};
  EXPECT_TRUE(std::equal(mask, mask + 6, culled));
  EXPECT_EQ(kova_renderer::projectiveClip(zero, pts, mask), 3u);  // 0 * inf and NaN fail
  const bool clipped[6] = {false, true, false, true, false, true};
  EXPECT_TRUE(std::equal(mask, mask + 6, clipped));
}

TEST(HostileSort, DegenerateDistancesKeepTheInputOrder) {
  std::pmr::monotonic_buffer_resource arena;
  const std::vector<HomVec4> pts = {HomVec4::init(kNaN, 0, 0, 1), HomVec4{},
                                    HomVec4::init(kInf, 0, 0, 0), HomVec4::init(0, 0, -1, 1),
                                    HomVec4::init(0, 0, 1e-16, 0)};
  // A zero or NaN observer puts every point at distance 0: the input order.
  for (const HomVec4 observer : {HomVec4{}, HomVec4::init(kNaN, kNaN, kNaN, kNaN)}) {
    const auto order = kova_renderer::sortByFSDepth(arena, observer, pts);
    ASSERT_TRUE(order.has_value());
    EXPECT_EQ(std::vector<std::size_t>(order->begin(), order->end()),
              (std::vector<std::size_t>{0, 1, 2, 3, 4}));
  }
  // Against an ordinary observer only point 3 has a distance above 0.
  const auto order = kova_renderer::sortByFSDepth(arena, kOrigin, pts);
  ASSERT_TRUE(order.has_value());
  EXPECT_EQ(std::vector<std::size_t>(order->begin(), order->end()),
            (std::vector<std::size_t>{3, 0, 1, 2, 4}));
  const auto empty = kova_renderer::sortByFSDepth(arena, kOrigin, {});
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());
}

// ---- pipelines, descriptors and the frame graph ----

TEST(HostilePipelines, DegenerateCamerasStillGiveTheirPassCounts) {
  KovaCamera cam = KovaCamera::defaultCamera();
  cam.aspect = 0.0;
  cam.near_fs = 2.0;
  cam.far_fs = 1.0;
  const auto fp = kova_renderer::ForwardPlusPipeline::init(cam, {});
  EXPECT_EQ(fp.passCount(), 4u);
  EXPECT_FALSE(fp.frustum.isVisibleFast(kOrigin));
  const auto dp = kova_renderer::DeferredPipeline::init(cam, {});
  EXPECT_EQ(dp.passCount(), 3u);
  kova_renderer::GBufferLayout layout;
  layout.position_format = static_cast<kova_rhi::Format>(200);
  EXPECT_EQ(layout.bytesPerPixel(), 40u);
}

TEST(HostileRhi, ExtremeCountsUnknownFormatsAndIdZero) {
  constexpr std::uint32_t kMaxCount = std::numeric_limits<std::uint32_t>::max();
  EXPECT_EQ(kova_rhi::BufferDescriptor::initKovaPositions(kMaxCount).size,
            std::uint64_t{kMaxCount} * 32u);
  EXPECT_EQ(kova_rhi::BufferDescriptor::initKovaTransforms(kMaxCount).size,
            std::uint64_t{kMaxCount} * 128u);
  EXPECT_EQ(kova_rhi::BufferDescriptor::initKovaPositions(std::uint32_t{1} << 27).size,
            std::uint64_t{1} << 32);  // the first count a 32-bit product would wrap
  for (const int v : {21, 31, 255}) {
    EXPECT_EQ(kova_rhi::size(static_cast<kova_rhi::Format>(v)), 0u);
    EXPECT_FALSE(kova_rhi::isKova(static_cast<kova_rhi::Format>(v)));
  }
  for (const auto type : {kova_rhi::PipelineType::graphics, kova_rhi::PipelineType::compute,
                          kova_rhi::PipelineType::kova_projective}) {
    EXPECT_FALSE((kova_rhi::PipelineId{type, 0}.isValid()));
  }
  const auto img = kova_rhi::ImageDescriptor::initKovaRenderTarget(0, kMaxCount);
  EXPECT_EQ(img.width, 0u);
  EXPECT_EQ(img.height, kMaxCount);
}

TEST(HostileRhi, FrameGraphLifecycleEdges) {
  kova_test::CountingResource counting;
  {
    kova_rhi::FrameGraph graph = kova_rhi::FrameGraph::init(counting);
    graph.deinit();  // on a new graph: releases nothing
    EXPECT_EQ(counting.allocations(), 0u);
    ASSERT_TRUE(graph.addPass(kova_rhi::FramePass{}).has_value());  // empty name and lists
    ASSERT_TRUE(
        graph.addPass(kova_rhi::FramePass{{}, {}, {}, {}, static_cast<kova_rhi::PassType>(255)})
            .has_value());
    EXPECT_EQ(graph.passCount(), 2u);
    graph.deinit();
    graph.deinit();
    EXPECT_EQ(counting.outstandingBytes(), 0u);
    ASSERT_TRUE(graph.addPass(kova_rhi::FramePass{}).has_value());  // usable again
  }
  EXPECT_EQ(counting.outstandingBytes(), 0u);
  EXPECT_EQ(counting.badDeallocations(), 0u);
}

}  // namespace
