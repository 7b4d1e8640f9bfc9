// Flying the camera: the frame stays orthonormal through any number of moves,
// travel composes along a line and closes after 2 pi, lookAt centres its target,
// fromView's planes keep exactly what project puts in the picture; and the
// kernel's geodesics that the moves are made of.
#include <array>
#include <cmath>
#include <numbers>
#include <random>

#include <gtest/gtest.h>

#include "kova_renderer.hpp"

namespace {

using kova_kernel::HomVec4;
using kova_renderer::KovaCamera;
using kova_renderer::KovaFrustum;

constexpr double kPi = std::numbers::pi;
constexpr HomVec4 kA{1, -2, 3, 0.5};
constexpr HomVec4 kB{0.25, 4, -1, 2};
static_assert(kA + kB == HomVec4{1.25, 2, 2, 2.5} && kA - kB == HomVec4{0.75, -6, 4, -1.5});
static_assert(-kA == HomVec4{-1, 2, -3, -0.5} && 2.0 * kA == kA * 2.0 && kA * 2.0 == kA + kA);
static_assert(kA.facing(kB) == -kA && (-kA).facing(kB) == -kA && kB.facing(kB) == kB);

std::mt19937_64 rng(1111);
HomVec4 gaussian() {
  std::normal_distribution<double> n;
  return HomVec4::init(n(rng), n(rng), n(rng), n(rng));
}
double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }
double gap(HomVec4 a, HomVec4 b) { return (a - b).norm(); }
// Fubini-Study distance, stable near 0: twice the half-angle between facing representatives.
double arcBetween(HomVec4 a, HomVec4 b) {
  const HomVec4 ua = a.normalize();
  const HomVec4 ub = b.normalize().facing(ua);
  return 2.0 * std::atan2((ua - ub).norm(), (ua + ub).norm());
}

// As init builds a camera from random vectors (right then no complement), one
// in eight with a forward along the eye; fov 1 to 179 degrees, aspect 1/4 to 4.
KovaCamera randomCamera() {
  const HomVec4 p = gaussian();
  const HomVec4 f = rng() % 8 == 0 ? p * 2.0 : gaussian();
  return KovaCamera::init(p, f, gaussian(), uniform(1, 179) * kPi / 180,
                          std::exp(uniform(-1.39, 1.39)), 0.01, 1.5);
}

double frameError(const KovaCamera& c) {
  const HomVec4 v[4] = {c.position, c.forward, c.up, c.right};
  double worst = 0.0;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) worst = std::fmax(worst, std::fabs(v[i].dot(v[j]) - (i == j)));
  }
  return worst;
}

double frameGap(const KovaCamera& a, const KovaCamera& b) {
  return std::fmax(std::fmax(gap(a.position, b.position), gap(a.forward, b.forward)),
                   std::fmax(gap(a.up, b.up), gap(a.right, b.right)));
}

TEST(CameraFlight, GeodesicsWalkAndSplitTheShorterArc) {
  for (int i = 0; i < 20000; ++i) {
    const HomVec4 a = gaussian();
    const HomVec4 b = i % 4 == 0 ? a * -3.0 + gaussian() * std::ldexp(1.0, -(i % 60)) : gaussian();
    const double arc = uniform(-kPi / 2, kPi / 2);
    const double t = uniform(0, 1);
    const HomVec4 d = gaussian();
    const HomVec4 q = kova_kernel::geodesicPoint(a, d, arc);
    ASSERT_NEAR(arcBetween(a, q), std::fabs(arc), 1e-14);
    ASSERT_LT(gap(q, kova_kernel::geodesicPoint(a * 1e250, d * 1e-200, arc)), 1e-14);  // any scale
    const HomVec4 m = kova_kernel::geodesicLerp(a, b, t);
    ASSERT_NEAR(m.norm(), 1.0, 1e-15);
    ASSERT_NEAR(arcBetween(a, m), t * arcBetween(a, b), 1e-14);
    ASSERT_NEAR(arcBetween(m, b), (1 - t) * arcBetween(a, b), 1e-14);
    ASSERT_LT(gap(m, kova_kernel::geodesicLerp(a, -b, t)), 1e-14);  // b's other representative
  }
  EXPECT_EQ(kova_kernel::geodesicPoint(kA, kA * -2.0, 1.0), kA.normalize());  // no direction
}

TEST(CameraFlight, AMillionMovesStayOrthonormal) {
  KovaCamera cam;
  cam.turn(kPi / 2, 0, 0);  // yaw turns forward towards right, pitch towards up,
  EXPECT_LT(gap(cam.forward, HomVec4{1, 0, 0, 0}), 1e-16);
  cam.turn(0, kPi / 2, 0);
  EXPECT_LT(gap(cam.forward, HomVec4{0, 1, 0, 0}), 1e-16);
  cam.turn(0, 0, kPi / 2);  // roll turns up towards right
  EXPECT_LT(gap(cam.up, HomVec4{0, 0, 1, 0}), 1e-16);
  for (int moves = 0; moves < 1000000; ++moves) {
    if (moves % 100000 == 0) cam = randomCamera();
    const double a = uniform(-kPi, kPi), b = uniform(-kPi, kPi), c = uniform(-kPi, kPi);
    moves % 2 == 0 ? cam.travel(a, b, c) : cam.turn(a, b, c);
    ASSERT_LT(frameError(cam), 1e-12) << "move " << moves;
    if (moves % 16 != 0) continue;
    ASSERT_NEAR(cam.viewIsometry().det(), 1.0, 1e-12);  // det[right, up, -forward, position]
    const HomVec4 eye = cam.viewIsometry().apply(cam.position);
    ASSERT_LT(std::fmin(gap(eye, HomVec4{0, 0, 0, 1}), gap(eye, HomVec4{0, 0, 0, -1})), 1e-12);
  }
  KovaCamera standard;
  standard.orthonormalize();
  EXPECT_TRUE(standard == KovaCamera{} && standard.viewIsometry() == kova_kernel::PGL4::identity());
}

TEST(CameraFlight, TravelComposesAlongALineAndClosesAfterTwoPi) {
  for (int i = 0; i < 2000; ++i) {
    KovaCamera start = randomCamera();
    start.orthonormalize();
    HomVec4 dir = i % 2 == 0 ? HomVec4{1, 0, 0, 0} : gaussian();  // forward, or fixed at random
    dir = dir * (1.0 / std::hypot(dir.x, dir.y, dir.z));
    const double a = uniform(-kPi, kPi), b = uniform(-kPi, kPi);
    KovaCamera one = start, two = start, half = start, full = start;
    two.travel(a * dir.x, a * dir.y, a * dir.z);
    const HomVec4 tangent = (dir.x * start.forward + dir.y * start.right) + dir.z * start.up;
    ASSERT_LT(gap(two.position, kova_kernel::geodesicPoint(start.position, tangent, a)), 1e-14);
    two.travel(b * dir.x, b * dir.y, b * dir.z);
    one.travel((a + b) * dir.x, (a + b) * dir.y, (a + b) * dir.z);
    ASSERT_LT(frameGap(one, two), 1e-12);
    // By pi: the same point, looking along the same line, the picture turned by
    // half a turn: the frame at -p is (-forward, up, right). By 2 pi: the start.
    half.travel(kPi, 0, 0);
    ASSERT_LT(std::fmax(gap(half.position, -start.position), gap(half.forward, -start.forward)),
              1e-15);
    ASSERT_TRUE(half.up == start.up && half.right == start.right);
    full.travel(2 * kPi * dir.x, 2 * kPi * dir.y, 2 * kPi * dir.z);
    ASSERT_LT(frameGap(full, start), 1e-14);
  }
}

TEST(CameraFlight, FromViewKeepsExactlyThePictureAndLookAtCentres) {
  long inside_count = 0, checked = 0;
  for (int cam_i = 0; cam_i < 400; ++cam_i) {
    KovaCamera cam = randomCamera();
    if (cam_i % 2 == 0) cam.travel(uniform(-3, 3), uniform(-3, 3), uniform(-3, 3));
    const KovaFrustum frustum = KovaFrustum::fromView(cam);
    KovaCamera frame = cam;
    frame.orthonormalize();
    for (const auto& plane : frustum.planes)
      EXPECT_NEAR(plane.evaluate(frame.position), 0.0, 1e-15);
    // Points around the view, many near the border, stored with either sign, and anywhere.
    std::array<HomVec4, 500> points;
    const double tan_h = std::tan(cam.fov / 2), tan_v = tan_h / cam.aspect;
    for (HomVec4& q : points) {
      const HomVec4 tangent = (frame.forward + uniform(-1.3, 1.3) * tan_h * frame.right) +
                              uniform(-1.3, 1.3) * tan_v * frame.up;
      q = rng() % 5 == 0 ? gaussian()
                         : kova_kernel::geodesicPoint(frame.position, tangent, uniform(1e-6, 3.14));
      q = rng() % 2 == 0 ? q : q * -uniform(0.5, 2);
    }
    std::array<bool, 500> mask;
    const std::uint32_t count = kova_renderer::frustumCullFacing(frustum, points, mask);
    std::uint32_t expected_count = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
      const auto pic = cam.project(points[i]);
      const bool inside = pic && std::fabs(pic->x) <= 1.0 && std::fabs(pic->y) <= 1.0;
      expected_count += mask[i];
      ASSERT_EQ(mask[i], frustum.isVisibleFacing(points[i]));
      if (pic &&
          std::fmin(std::fabs(std::fabs(pic->x) - 1), std::fabs(std::fabs(pic->y) - 1)) < 1e-12) {
        continue;  // on the border, to rounding
      }
      ++checked;
      inside_count += inside;
      ASSERT_EQ(inside, mask[i]) << "camera " << cam_i << " point " << i;
      ASSERT_EQ(inside, frustum.isVisibleFast(points[i].facing(frame.forward)));
      ASSERT_TRUE(!pic || pic->fs_distance == cam.distanceTo(points[i]));
    }
    ASSERT_EQ(count, expected_count);
    // lookAt turns the camera to centre a point, up along the hint, without moving it.
    const HomVec4 target = points[cam_i % 500];
    const HomVec4 hint = cam_i % 8 == 0 ? HomVec4{} : gaussian();
    frame.lookAt(target, hint);
    const auto centre = frame.project(target);
    if (arcBetween(target, frame.position) < 1e-3) continue;
    ASSERT_TRUE(centre.has_value());
    ASSERT_LT(std::fmax(std::fabs(centre->x), std::fabs(centre->y)), 1e-12);
    HomVec4 h = hint - hint.dot(frame.position) * frame.position;
    h = h - h.dot(frame.forward) * frame.forward;
    ASSERT_TRUE(h.norm() < 1e-6 || std::fabs(frame.up.dot(h) - h.norm()) < 1e-12 * h.norm());
  }
  EXPECT_GT(inside_count, checked / 5);  // both answers are common
  EXPECT_LT(inside_count, checked * 4 / 5);
  KovaCamera flat;
  flat.fov = kPi;  // no picture: nothing is in it
  EXPECT_FALSE(flat.project(HomVec4{0, 0, -1, 1}) ||
               KovaFrustum::fromView(flat).isVisibleFacing({0, 0, -1, 1}));
}

}  // namespace
