// Hyperplanes and frusta: evaluation order, sides, transforms, construction
// from a camera and the ball test.
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
using kova_renderer::KovaFrustum;
using kova_renderer::ProjectiveHyperplane;
using kova_test::sameBits;

using kova_test::v;
ProjectiveHyperplane plane(double a, double b, double c, double d) {
  return ProjectiveHyperplane::init(a, b, c, d);
}
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Usable in constant expressions.
static_assert(ProjectiveHyperplane::init(1, 2, 3, 4).evaluate(HomVec4::init(1, 1, 1, 1)) == 10.0);
static_assert(ProjectiveHyperplane::init(1, 0, 0, 0).isVisible(HomVec4::init(0, 5, 0, 1)));
static_assert(!ProjectiveHyperplane::init(1, 0, 0, 0).isVisible(HomVec4::init(-1, 0, 0, 1)));

TEST(Hyperplane, EvaluateSumsLeftToRight) {
  // ((1e16 + 1) - 1e16) + 1 = 1; any other grouping gives 0 or 2.
  EXPECT_TRUE(sameBits(plane(1, 1, 1, 1).evaluate(v(1e16, 1, -1e16, 1)), 1.0));
  // Each product is rounded before it is added: a fused a*x + b*y would leave 2^-60.
  const double e = std::ldexp(1.0, -30);
  EXPECT_TRUE(sameBits(plane(1 + e, -(1 + 2 * e), 0, 0).evaluate(v(1 + e, 1, 0, 0)), 0.0));
  // No 0.0 start: four negative-zero products sum to -0.0, which is visible.
  const ProjectiveHyperplane ones = plane(1, 1, 1, 1);
  EXPECT_TRUE(sameBits(ones.evaluate(v(-0.0, -0.0, -0.0, -0.0)), -0.0));
  EXPECT_TRUE(ones.isVisible(v(-0.0, -0.0, -0.0, -0.0)));
}

TEST(Hyperplane, SidesOfThePlane) {
  const ProjectiveHyperplane px = plane(1, 0, 0, 0);
  EXPECT_TRUE(px.isVisible(v(1, 0, 0, 1)));
  EXPECT_FALSE(px.isVisible(v(-1, 0, 0, 1)));
  EXPECT_NEAR(px.evaluate(v(0, 1, 0, 1)), 0.0, 1e-10);
  EXPECT_TRUE(px.isVisible(v(0, 1, 0, 1)));
  // The antipodal representative lies on the other side.
  EXPECT_EQ(px.evaluate(v(-1, 0, 0, -1)), -1.0);
  EXPECT_FALSE(px.isVisible(v(-1, 0, 0, -1)));
  // NaN is not visible; the zero plane accepts finite points but not infinite ones.
  EXPECT_FALSE(px.isVisible(v(kNaN, 0, 0, 1)));
  EXPECT_TRUE(plane(0, 0, 0, 0).isVisible(v(-3, 4, -5, 6)));
  EXPECT_FALSE(plane(0, 0, 0, 0).isVisible(v(INFINITY, 0, 0, 1)));
}

TEST(Hyperplane, TransformByMultipliesByTheMatrixItself) {
  const ProjectiveHyperplane id = plane(1, 0, 0, 0).transformBy(PGL4::identity());
  EXPECT_NEAR(id.a, 1.0, 1e-10);
  EXPECT_NEAR(id.b, 0.0, 1e-10);
  EXPECT_EQ(plane(0, 0, 0, 1).transformBy(kova_kernel::pglTranslate(1, 0, 0)), plane(1, 0, 0, 1));
  // (a + d, b, c, d); the inverse transpose would give (1, 2, 3, 3).
  EXPECT_EQ(plane(1, 2, 3, 4).transformBy(kova_kernel::pglTranslate(1, 0, 0)), plane(5, 2, 3, 4));
  // Exactly what apply does to a point, on a general matrix.
  const PGL4 m = PGL4::fromRowMajor({{{0.3, -1.1, 2.5, 0.7},
                                      {1.9, 0.2, -0.4, 3.1},
                                      {-2.2, 0.6, 1.3, -0.9},
                                      {0.05, 1.7, -0.8, 2.4}}});
  const ProjectiveHyperplane t = plane(0.7, -0.3, 1.9, 0.11).transformBy(m);
  EXPECT_TRUE(sameBits(v(t.a, t.b, t.c, t.d), m.apply(v(0.7, -0.3, 1.9, 0.11))));
}

TEST(Frustum, DefaultCameraPlanes) {
  const KovaCamera cam = KovaCamera::defaultCamera();
  const KovaFrustum fr = KovaFrustum::fromCamera(cam);
  const double tan_h = std::tan(cam.fov / 2.0);
  // The vertical half-angle is the horizontal one divided by the aspect: tan(3 pi / 32).
  const double tan_v = std::tan(cam.fov / 2.0 / cam.aspect);
  EXPECT_NEAR(tan_h, std::tan(std::numbers::pi / 6), 1e-15);
  EXPECT_NEAR(tan_v, std::tan(3 * std::numbers::pi / 32), 1e-15);
  EXPECT_EQ(fr.planes[0], plane(tan_h, 0, -1, 0));   // left
  EXPECT_EQ(fr.planes[1], plane(-tan_h, 0, -1, 0));  // right
  EXPECT_EQ(fr.planes[2], plane(0, -tan_v, -1, 0));  // top
  EXPECT_EQ(fr.planes[3], plane(0, tan_v, -1, 0));   // bottom
  EXPECT_TRUE(sameBits(fr.planes[0].a, tan_h));
  EXPECT_TRUE(sameBits(fr.planes[2].b, -tan_v));
  EXPECT_EQ(fr.near_fs, 0.01);
  EXPECT_EQ(fr.far_fs, 1000.0);
  EXPECT_NEAR(fr.observer.dot(cam.position), 1.0, 1e-6);
}

TEST(Frustum, FromCameraMatchesStepByStepConstruction) {
  const KovaCamera cam = KovaCamera::init(v(0.3, -1.7, 2.2, 0.9), v(0.4, 0.1, -1.3, 0.7),
                                          v(-0.2, 1.1, 0.3, -0.6), 1.1, 1.6, 0.02, 1.4);
  const KovaFrustum fr = KovaFrustum::fromCamera(cam);
  const double th = std::tan(cam.fov / 2.0);
  const double tv = std::tan((cam.fov / 2.0) / cam.aspect);
  const HomVec4 f = cam.forward, r = cam.right, u = cam.up, p = cam.position;
  const HomVec4 normals[4] = {
      v(f.x + th * r.x, f.y + th * r.y, f.z + th * r.z, f.w + th * r.w),
      v(f.x - th * r.x, f.y - th * r.y, f.z - th * r.z, f.w - th * r.w),
      v(f.x - tv * u.x, f.y - tv * u.y, f.z - tv * u.z, f.w - tv * u.w),
      v(f.x + tv * u.x, f.y + tv * u.y, f.z + tv * u.z, f.w + tv * u.w),
  };
  for (int k = 0; k < 4; ++k) {
    const HomVec4 n = normals[k];
    const ProjectiveHyperplane& got = fr.planes[k];
    EXPECT_TRUE(sameBits(v(got.a, got.b, got.c, got.d), v(n.x, n.y, n.z, -n.dot(p))))
        << "plane " << k;
  }
  EXPECT_TRUE(sameBits(fr.observer, p));
}

TEST(Frustum, NonFiniteAspectGivesPlanesThatRejectEverything) {
  KovaCamera cam = KovaCamera::defaultCamera();
  cam.aspect = 0.0;
  const KovaFrustum fr = KovaFrustum::fromCamera(cam);
  EXPECT_TRUE(std::isnan(fr.planes[2].b));
  EXPECT_FALSE(fr.isVisibleFast(v(0, 0, -1, 1)));
}

TEST(Frustum, IsVisibleFastUsesOnlyTheSidePlanes) {
  const KovaFrustum fr = KovaFrustum::fromCamera(KovaCamera::defaultCamera());
  EXPECT_TRUE(fr.isVisibleFast(v(0, 0, -1, 1).normalize()));
  EXPECT_FALSE(fr.isVisibleFast(v(0, 0, 1, 1).normalize()));
  EXPECT_TRUE(fr.isVisibleFast(v(1.73, 0, -1, 1)));  // |x| <= sqrt(3)
  EXPECT_FALSE(fr.isVisibleFast(v(1.74, 0, -1, 1)));
  EXPECT_FALSE(fr.isVisibleFast(v(-1.74, 0, -1, 1)));
  const double tan_v = fr.planes[3].b;
  EXPECT_TRUE(fr.isVisibleFast(v(0, 0.999 / tan_v, -1, 1)));
  EXPECT_FALSE(fr.isVisibleFast(v(0, 1.001 / tan_v, -1, 1)));
  // The observer gives 0 on every plane; far beyond the far bound is still inside.
  EXPECT_TRUE(fr.isVisibleFast(v(0, 0, 0, 1)));
  EXPECT_TRUE(fr.isVisibleFast(v(0, 0, -1, 0)));
  EXPECT_FALSE(fr.isVisibleFast(v(0, 0, -1, kNaN)));
}

TEST(Frustum, SphereVisibility) {
  const KovaFrustum fr = KovaFrustum::fromCamera(KovaCamera::defaultCamera());
  const HomVec4 eye = v(0, 0, 0, 1);
  EXPECT_TRUE(fr.isSphereVisible(eye, 0.1));
  EXPECT_FALSE(fr.isSphereVisible(eye, 0.0));  // 0 + 0 is nearer than 0.01
  EXPECT_TRUE(fr.isSphereVisible(eye, 0.01));  // equal to the near bound passes

  // One real plane x >= 0 (|plane| = 2); the others are zero planes.
  KovaFrustum one;
  one.planes[0] = plane(2, 0, 0, 0);
  one.near_fs = 0.0;
  one.far_fs = 1.0;
  one.observer = v(0, 0, 0, 1);
  const HomVec4 off = v(-0.25, 0, 0, 1);        // value -0.5
  EXPECT_TRUE(one.isSphereVisible(off, 0.25));  // -0.25 * 2 > -0.5 is false: passes
  EXPECT_FALSE(one.isSphereVisible(off, std::nextafter(0.25, 0.0)));
  // A NaN value passes the plane test; fsDistance of a NaN centre is 0.
  EXPECT_TRUE(one.isSphereVisible(v(kNaN, 0, 0, 1), 0.1));
  // Far bound: distance pi/2 from the observer.
  EXPECT_FALSE(one.isSphereVisible(v(0, 1, 0, 0), 0.5));  // pi/2 - 0.5 > 1
  EXPECT_TRUE(one.isSphereVisible(v(0, 1, 0, 0), 0.6));
}

TEST(Frustum, TransformByCarriesPlanesAndObserver) {
  const KovaFrustum fr = KovaFrustum::fromCamera(KovaCamera::defaultCamera());
  const KovaFrustum moved = fr.transformBy(kova_kernel::pglTranslate(1, 0, 0));
  EXPECT_NEAR(moved.observer.x, 1.0, 1e-10);
  EXPECT_NEAR(moved.observer.y, 0.0, 1e-10);
  EXPECT_EQ(moved.observer.w, 1.0);  // not normalised
  EXPECT_EQ(moved.near_fs, fr.near_fs);
  EXPECT_EQ(moved.far_fs, fr.far_fs);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(moved.planes[k], fr.planes[k]);

  const PGL4 m = kova_kernel::pglRotateZ(0.4).mul(kova_kernel::pglScale(2, 3, 0.5));
  const KovaFrustum t = fr.transformBy(m);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(t.planes[k], fr.planes[k].transformBy(m));
  EXPECT_TRUE(sameBits(t.observer, m.apply(fr.observer)));
}

}  // namespace
