// The camera: frame construction, degeneracy fallbacks, moves and view transform.
#include <cmath>
#include <limits>
#include <numbers>

#include <gtest/gtest.h>

#include "kova_renderer.hpp"
#include "kova_test_bits.hpp"
#include "kova_test_values.hpp"

namespace {

using kova_kernel::HomVec4;
using kova_kernel::PGL4;
using kova_renderer::KovaCamera;
using kova_test::sameBits;

using kova_test::v;

::testing::AssertionResult sameCamera(const KovaCamera& a, const KovaCamera& b) {
  for (auto r : {sameBits(a.position, b.position), sameBits(a.forward, b.forward),
                 sameBits(a.up, b.up), sameBits(a.right, b.right), sameBits(a.fov, b.fov),
                 sameBits(a.aspect, b.aspect), sameBits(a.near_fs, b.near_fs),
                 sameBits(a.far_fs, b.far_fs), sameBits(a.view_pgl4, b.view_pgl4)}) {
    if (!r) return r;
  }
  if (a.dirty != b.dirty) return ::testing::AssertionFailure() << "dirty differs";
  return ::testing::AssertionSuccess();
}

TEST(Camera, DefaultCameraValues) {
  const KovaCamera cam = KovaCamera::defaultCamera();
  EXPECT_TRUE(sameBits(cam.position, v(0, 0, 0, 1)));
  EXPECT_TRUE(sameBits(cam.forward, v(0, 0, -1, 0)));
  EXPECT_TRUE(sameBits(cam.up, v(0, 1, 0, 0)));
  // f.z * u.x - f.x * u.z = -0.0 - 0.0 leaves a negative zero in y.
  EXPECT_TRUE(sameBits(cam.right, v(1, -0.0, 0, 0)));
  // pi/3 rounded from the exact value: one ulp above the double pi divided by 3.
  EXPECT_TRUE(sameBits(cam.fov, std::nextafter(std::numbers::pi / 3.0, 2.0)));
  EXPECT_TRUE(sameBits(cam.aspect, 16.0 / 9.0));
  EXPECT_EQ(cam.near_fs, 0.01);
  EXPECT_EQ(cam.far_fs, 1000.0);
  EXPECT_TRUE(sameBits(cam.view_pgl4, PGL4::identity()));
  EXPECT_TRUE(cam.dirty);
  // A value-initialised camera is the default camera, bit for bit.
  EXPECT_TRUE(sameCamera(KovaCamera{}, cam));
}

TEST(Camera, InitNormalisesPositionAndBuildsOrthonormalFrame) {
  const KovaCamera cam = KovaCamera::init(v(1, 2, 3, 1), v(0, 0, -1, 0), v(0, 1, 0, 0),
                                          std::numbers::pi / 3, 1.5, 0.01, 1000);
  EXPECT_TRUE(sameBits(cam.position, v(1, 2, 3, 1).normalize()));
  EXPECT_NEAR(cam.position.norm(), 1.0, 1e-10);
  EXPECT_NEAR(cam.forward.dot(cam.position), 0.0, 1e-12);
  EXPECT_NEAR(cam.up.dot(cam.position), 0.0, 1e-12);
  EXPECT_NEAR(cam.up.dot(cam.forward), 0.0, 1e-12);
  EXPECT_NEAR(cam.forward.norm(), 1.0, 1e-12);
  EXPECT_NEAR(cam.up.norm(), 1.0, 1e-12);
  // right is the 3-D cross product with w = 0, not the 4-D complement.
  EXPECT_TRUE(sameBits(cam.right.w, 0.0));
  EXPECT_GT(std::abs(cam.right.dot(cam.position)), 1e-3);
}

// Every step written out in the order of the algorithm; a classical instead of
// modified Gram-Schmidt, a 4-D cross product or a reordered dot changes bits here.
TEST(Camera, InitMatchesStepByStepConstruction) {
  const HomVec4 pos = v(0.3, -1.7, 2.2, 0.9);
  const HomVec4 fwd = v(0.4, 0.1, -1.3, 0.7);
  const HomVec4 up = v(-0.2, 1.1, 0.3, -0.6);
  const KovaCamera cam = KovaCamera::init(pos, fwd, up, 1.2, 1.3, 0.02, 1.4);

  const HomVec4 p = pos.normalize();
  const double fr = ((fwd.x * p.x + fwd.y * p.y) + fwd.z * p.z) + fwd.w * p.w;
  HomVec4 f = v(fwd.x - fr * p.x, fwd.y - fr * p.y, fwd.z - fr * p.z, fwd.w - fr * p.w);
  f = f.normalize();
  const double ur = up.dot(p);
  HomVec4 u = v(up.x - ur * p.x, up.y - ur * p.y, up.z - ur * p.z, up.w - ur * p.w);
  const double uf = u.dot(f);
  u = v(u.x - uf * f.x, u.y - uf * f.y, u.z - uf * f.z, u.w - uf * f.w).normalize();
  const HomVec4 r =
      v(f.y * u.z - f.z * u.y, f.z * u.x - f.x * u.z, f.x * u.y - f.y * u.x, 0.0).normalize();

  EXPECT_TRUE(sameBits(cam.position, p));
  EXPECT_TRUE(sameBits(cam.forward, f));
  EXPECT_TRUE(sameBits(cam.up, u));
  EXPECT_TRUE(sameBits(cam.right, r));
  EXPECT_EQ(cam.fov, 1.2);
  EXPECT_EQ(cam.aspect, 1.3);
  EXPECT_EQ(cam.near_fs, 0.02);
  EXPECT_EQ(cam.far_fs, 1.4);
}

// The camera's bound is "strictly greater than 1e-15": a norm of exactly 1e-15
// (sqrt(x*x) == |x| without under- or overflow) takes the fallback where
// normalize() alone would still divide.
TEST(Camera, PositionFallbackIsStrict) {
  const HomVec4 fwd = v(0, 0, -1, 0);
  const HomVec4 up = v(0, 1, 0, 0);
  ASSERT_EQ(v(1e-15, 0, 0, 0).norm(), 1e-15);
  EXPECT_TRUE(
      sameBits(KovaCamera::init(v(1e-15, 0, 0, 0), fwd, up, 1, 1, 0, 1).position, v(0, 0, 0, 1)));
  EXPECT_TRUE(
      sameBits(KovaCamera::init(v(2e-15, 0, 0, 0), fwd, up, 1, 1, 0, 1).position, v(1, 0, 0, 0)));
  EXPECT_TRUE(
      sameBits(KovaCamera::init(v(0, 0, 0, 0), fwd, up, 1, 1, 0, 1).position, v(0, 0, 0, 1)));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(
      sameBits(KovaCamera::init(v(nan, 0, 0, 1), fwd, up, 1, 1, 0, 1).position, v(0, 0, 0, 1)));
}

TEST(Camera, ParallelForwardStaysItsResidual) {
  const HomVec4 p = v(0, 0, 0, 1);
  const HomVec4 up = v(0, 1, 0, 0);
  // Exactly parallel: the residual is the zero vector, and right falls back.
  const KovaCamera exact = KovaCamera::init(p, v(0, 0, 0, 5), up, 1, 1, 0, 1);
  EXPECT_TRUE(sameBits(exact.forward, v(0, 0, 0, 0)));
  EXPECT_TRUE(sameBits(exact.up, v(0, 1, 0, 0)));
  EXPECT_TRUE(sameBits(exact.right, v(1, 0, 0, 0)));
  // A short residual is kept unnormalised (normalised it would be (1, 0, 0, 0)
  // and right would become (0, 0, 1, 0)); its cross product is short too.
  const KovaCamera nearly = KovaCamera::init(p, v(1e-16, 0, 0, 5), up, 1, 1, 0, 1);
  EXPECT_TRUE(sameBits(nearly.forward, v(1e-16, 0, 0, 0)));
  EXPECT_TRUE(sameBits(nearly.right, v(1, 0, 0, 0)));
  // An up in the span of position and forward stays its unnormalised residual.
  const KovaCamera flat = KovaCamera::init(p, v(0, 0, -1, 0), v(1e-16, 0, 0.5, 2), 1, 1, 0, 1);
  EXPECT_TRUE(sameBits(flat.up, v(1e-16, 0, 0, 0)));
}

TEST(Camera, MovesTurnThePositionOnly) {
  KovaCamera cam = KovaCamera::defaultCamera();
  cam.dirty = false;
  cam.moveForward(0.1);
  EXPECT_EQ(cam.position.x, 0.0);
  EXPECT_NEAR(cam.position.z, -std::sin(0.1), 1e-15);
  EXPECT_NEAR(cam.position.w, std::cos(0.1), 1e-15);
  EXPECT_NEAR(cam.position.norm(), 1.0, 1e-10);
  EXPECT_TRUE(sameBits(cam.forward, v(0, 0, -1, 0)));
  EXPECT_TRUE(cam.dirty);
  EXPECT_NEAR(kova_kernel::fsDistance(cam.position, v(0, 0, 0, 1)), 0.1, 1e-12);

  KovaCamera side = KovaCamera::defaultCamera();
  side.moveRight(0.1);
  EXPECT_NEAR(side.position.x, std::sin(0.1), 1e-15);
  EXPECT_NEAR(side.position.w, std::cos(0.1), 1e-15);
  EXPECT_NEAR(side.position.norm(), 1.0, 1e-10);
  EXPECT_TRUE(sameBits(side.right, v(1, -0.0, 0, 0)));

  // Exact result: (cos p + sin f) / norm, component by component.
  KovaCamera odd = KovaCamera::defaultCamera();
  odd.position = v(0.5, 0.25, 2, -1);
  odd.forward = v(1, -3, 0.5, 0.125);
  odd.moveForward(-0.7);
  const double c = std::cos(-0.7), s = std::sin(-0.7);
  const HomVec4 expect =
      v(c * 0.5 + s * 1, c * 0.25 + s * -3, c * 2 + s * 0.5, c * -1 + s * 0.125).normalize();
  EXPECT_TRUE(sameBits(odd.position, expect));
}

TEST(Camera, DegenerateMoveKeepsPositionAndSetsDirty) {
  KovaCamera cam = KovaCamera::defaultCamera();
  cam.position = v(1e-15, 0, 0, 0);  // norm exactly 1e-15: not usable
  cam.forward = v(0, 0, 0, 0);
  cam.dirty = false;
  cam.moveForward(0.0);
  EXPECT_TRUE(sameBits(cam.position, v(1e-15, 0, 0, 0)));
  EXPECT_TRUE(cam.dirty);
}

TEST(Camera, ViewMatrixLayoutAndTranslationSigns) {
  KovaCamera cam = KovaCamera::defaultCamera();
  cam.updateViewMatrix();
  EXPECT_FALSE(cam.dirty);
  EXPECT_EQ(cam.view_pgl4, PGL4::identity());  // numerically; some zeros are -0.0

  // Clean: a second call does not touch the matrix.
  cam.view_pgl4.data[5] = 42.0;
  cam.updateViewMatrix();
  EXPECT_EQ(cam.view_pgl4.data[5], 42.0);

  KovaCamera moved = KovaCamera::defaultCamera();
  moved.moveForward(0.1);
  moved.updateViewMatrix();
  PGL4 expect = PGL4::identity();
  expect.set(2, 3, -moved.forward.dot(moved.position));
  EXPECT_EQ(moved.view_pgl4, expect);
  // tz = -dot(f, p) = -sin 0.1 although row 2 holds -f.
  EXPECT_NEAR(moved.view_pgl4.get(2, 3), -std::sin(0.1), 1e-15);

  // General frame: rows (r, tx), (u, ty), (-f, tz), (0, 0, 0, 1).
  KovaCamera gen = KovaCamera::init(v(0.3, -1.7, 2.2, 0.9), v(0.4, 0.1, -1.3, 0.7),
                                    v(-0.2, 1.1, 0.3, -0.6), 1.2, 1.3, 0.02, 1.4);
  gen.updateViewMatrix();
  const HomVec4 r = gen.right, u = gen.up, f = gen.forward, p = gen.position;
  const PGL4 want = PGL4::init({r.x, u.x, -f.x, 0.0, r.y, u.y, -f.y, 0.0, r.z, u.z, -f.z, 0.0,
                                -r.dot(p), -u.dot(p), -f.dot(p), 1.0});
  EXPECT_TRUE(sameBits(gen.view_pgl4, want));
  EXPECT_NE(gen.view_pgl4.get(2, 3), 0.0);
}

TEST(Camera, DistanceToUsesFubiniStudy) {
  const KovaCamera cam = KovaCamera::defaultCamera();
  EXPECT_NEAR(cam.distanceTo(v(0, 0, -1, 0)), std::numbers::pi / 2, 1e-10);
  EXPECT_EQ(cam.distanceTo(cam.position), 0.0);
  // Not normalised first, and antipodes are the same point.
  EXPECT_EQ(cam.distanceTo(v(0, 0, 0, -7)), 0.0);
  EXPECT_TRUE(sameBits(cam.distanceTo(v(1, 2, 3, 4)),
                       kova_kernel::fsDistance(cam.position, v(1, 2, 3, 4))));
}

}  // namespace
