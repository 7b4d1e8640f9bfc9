// Flying the camera: the frame stays orthonormal through any number of moves,
// travel composes along a line and closes after 2 pi, lookAt centres its target,
// and fromView's planes keep exactly what project puts in the picture.
#include <array>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "kova_renderer.hpp"
#include "kova_test_bits.hpp"

namespace {

using kova_kernel::HomVec4;
using kova_kernel::PGL4;
using kova_renderer::KovaCamera;
using kova_renderer::KovaFrustum;
using kova_test::sameBits;

constexpr double kPi = std::numbers::pi;

HomVec4 gaussian(std::mt19937_64& rng) {
  std::normal_distribution<double> n;
  return HomVec4::init(n(rng), n(rng), n(rng), n(rng));
}

double uniform(std::mt19937_64& rng, double lo, double hi) {
  return std::uniform_real_distribution<double>(lo, hi)(rng);
}

// A camera as init builds it from random vectors (its right is then no
// complement of the others), sometimes with a forward along the eye.
KovaCamera randomCamera(std::mt19937_64& rng) {
  const HomVec4 p = gaussian(rng);
  const HomVec4 f = rng() % 8 == 0 ? p * 2.0 : gaussian(rng);
  const double fov = uniform(rng, 1.0, 179.0) * kPi / 180.0;
  const double aspect = std::exp(uniform(rng, std::log(0.25), std::log(4.0)));
  return KovaCamera::init(p, f, gaussian(rng), fov, aspect, 0.01, 1.5);
}

double frameError(const KovaCamera& c) {
  const HomVec4 v[4] = {c.position, c.forward, c.up, c.right};
  double worst = 0.0;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) worst = std::fmax(worst, std::fabs(v[i].dot(v[j]) - (i == j)));
  }
  return worst;
}

double distance(HomVec4 a, HomVec4 b) { return (a - b).norm(); }

double frameDistance(const KovaCamera& a, const KovaCamera& b) {
  return std::fmax(std::fmax(distance(a.position, b.position), distance(a.forward, b.forward)),
                   std::fmax(distance(a.up, b.up), distance(a.right, b.right)));
}

TEST(CameraFlight, ConventionsOfTheFrame) {
  KovaCamera cam = KovaCamera::defaultCamera();
  const KovaCamera before = cam;
  cam.orthonormalize();
  EXPECT_TRUE(sameBits(cam.right, before.right) && cam == before);  // nothing to change
  EXPECT_EQ(cam.viewIsometry(), PGL4::identity());

  // Positive yaw turns forward towards right, pitch towards up, roll turns up towards right.
  KovaCamera c = cam;
  c.turn(kPi / 2, 0, 0);
  EXPECT_LT(distance(c.forward, before.right), 1e-15);
  c = cam;
  c.turn(0, kPi / 2, 0);
  EXPECT_LT(distance(c.forward, before.up), 1e-15);
  c = cam;
  c.turn(0, 0, kPi / 2);
  EXPECT_LT(distance(c.up, before.right), 1e-15);
  // Turning right moves what was ahead to the left of the picture, above after pitching down.
  c = cam;
  c.turn(0.1, -0.1, 0);
  const auto ahead = c.project(HomVec4{0, 0, -1, 1});
  ASSERT_TRUE(ahead.has_value());
  EXPECT_LT(ahead->x, 0.0);
  EXPECT_GT(ahead->y, 0.0);
  EXPECT_FALSE(c.project(c.position).has_value());

  // det[right, up, -forward, position] = +1 after random flight from random init.
  std::mt19937_64 rng(1111);
  for (int i = 0; i < 1000; ++i) {
    c = randomCamera(rng);
    c.travel(uniform(rng, -3, 3), uniform(rng, -3, 3), uniform(rng, -3, 3));
    c.turn(uniform(rng, -3, 3), uniform(rng, -3, 3), uniform(rng, -3, 3));
    ASSERT_NEAR(c.viewIsometry().det(), 1.0, 1e-14);
    ASSERT_LT(frameError(c), 1e-14);
  }
}

TEST(CameraFlight, AMillionMovesStayOrthonormal) {
  std::mt19937_64 rng(1112);
  int moves = 0;
  while (moves < 1000000) {
    KovaCamera cam = randomCamera(rng);
    for (int i = 0; i < 100000; ++i, ++moves) {
      const double a = uniform(rng, -kPi, kPi);
      const double b = uniform(rng, -kPi, kPi);
      const double c = uniform(rng, -kPi, kPi);
      if (i % 2 == 0) {
        cam.travel(a, b, c);
      } else {
        cam.turn(a, b, c);
      }
      ASSERT_LT(frameError(cam), 1e-12) << "move " << moves;
      const HomVec4 eye = cam.viewIsometry().apply(cam.position);
      ASSERT_LT(std::fmin(distance(eye, HomVec4{0, 0, 0, 1}), distance(eye, HomVec4{0, 0, 0, -1})),
                1e-12);
    }
    // A flown frame is its own orthonormal frame: the isometry's rows are the fields.
    const PGL4 view = cam.viewIsometry();
    const HomVec4 back = -cam.forward;
    const HomVec4 rows[4] = {cam.right, cam.up, back, cam.position};
    for (std::size_t r = 0; r < 4; ++r) {
      EXPECT_TRUE(sameBits(HomVec4{view.get(r, 0), view.get(r, 1), view.get(r, 2), view.get(r, 3)},
                           rows[r]));
    }
  }
}

TEST(CameraFlight, TravelComposesAlongALineAndClosesAfterTwoPi) {
  std::mt19937_64 rng(1113);
  for (int i = 0; i < 2000; ++i) {
    KovaCamera start = randomCamera(rng);
    start.orthonormalize();
    // Along forward alone, and along a random fixed direction.
    const HomVec4 dir = i % 2 == 0 ? HomVec4{1, 0, 0, 0} : gaussian(rng);
    const double a = uniform(rng, -kPi, kPi);
    const double b = uniform(rng, -kPi, kPi);
    KovaCamera two = start;
    two.travel(a * dir.x, a * dir.y, a * dir.z);
    two.travel(b * dir.x, b * dir.y, b * dir.z);
    KovaCamera one = start;
    one.travel((a + b) * dir.x, (a + b) * dir.y, (a + b) * dir.z);
    ASSERT_LT(frameDistance(one, two), 1e-12);
    EXPECT_TRUE(one.dirty);

    // The eye walks the geodesic of the kernel, at Fubini-Study distance |arc|.
    const HomVec4 tangent = (dir.x * start.forward + dir.y * start.right) + dir.z * start.up;
    const double arc = a * tangent.norm();
    KovaCamera moved = start;
    moved.travel(a * dir.x, a * dir.y, a * dir.z);
    ASSERT_LT(distance(moved.position,
                       kova_kernel::geodesicPoint(start.position, tangent * a, std::fabs(arc))),
              1e-14);
    if (std::fabs(arc) <= kPi / 2) {
      ASSERT_NEAR(moved.distanceTo(start.position), std::fabs(arc), 1e-7);
    }

    // Forward by pi: the same projective point, looking along the same line, the
    // picture turned by half a turn: the frame at -p is (-forward, up, right).
    KovaCamera half = start;
    half.travel(kPi, 0, 0);
    ASSERT_LT(distance(half.position, -start.position), 1e-15);
    ASSERT_LT(distance(half.forward, -start.forward), 1e-15);
    ASSERT_TRUE(half.up == start.up && half.right == start.right);  // untouched
    half.travel(kPi, 0, 0);
    ASSERT_LT(frameDistance(half, start), 1e-15);
    // 2 pi in any direction gives back the identical frame.
    KovaCamera full = start;
    const double n = std::sqrt(dir.x * dir.x + dir.y * dir.y + dir.z * dir.z);
    full.travel(2 * kPi * dir.x / n, 2 * kPi * dir.y / n, 2 * kPi * dir.z / n);
    ASSERT_LT(frameDistance(full, start), 1e-14);
  }
}

TEST(CameraFlight, FromViewKeepsExactlyThePicture) {
  std::mt19937_64 rng(1114);
  long inside_count = 0;
  long checked = 0;
  for (int cam_i = 0; cam_i < 400; ++cam_i) {
    KovaCamera cam = randomCamera(rng);
    if (cam_i % 2 == 0) cam.travel(uniform(rng, -3, 3), uniform(rng, -3, 3), uniform(rng, -3, 3));
    if (cam_i % 4 == 1) cam.turn(uniform(rng, -3, 3), uniform(rng, -3, 3), uniform(rng, -3, 3));
    const KovaFrustum frustum = KovaFrustum::fromView(cam);
    EXPECT_EQ(frustum.near_fs, cam.near_fs);
    EXPECT_EQ(frustum.far_fs, cam.far_fs);
    EXPECT_TRUE(sameBits(frustum.observer, cam.position));
    KovaCamera frame = cam;
    frame.orthonormalize();
    for (const auto& plane : frustum.planes) {
      EXPECT_NEAR(plane.evaluate(frame.position), 0.0, 1e-15);  // through the eye
    }

    // Points around the view direction, most of them near the border, stored
    // with a random sign; and points anywhere.
    std::vector<HomVec4> points;
    const double tan_h = std::tan(cam.fov / 2);
    const double tan_v = tan_h / cam.aspect;
    for (int i = 0; i < 500; ++i) {
      HomVec4 q;
      if (i % 5 == 4) {
        q = gaussian(rng);
      } else {
        const double x = uniform(rng, -1.3, 1.3) * tan_h;
        const double y = uniform(rng, -1.3, 1.3) * tan_v;
        q = kova_kernel::geodesicPoint(frame.position,
                                       (frame.forward + x * frame.right) + y * frame.up,
                                       uniform(rng, 1e-6, kPi - 1e-6));
      }
      points.push_back(rng() % 2 == 0 ? q : -q * uniform(rng, 0.5, 2.0));
    }
    std::array<bool, 500> mask{};
    const std::uint32_t count = kova_renderer::frustumCullFacing(frustum, points, mask);

    std::uint32_t expected_count = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
      const auto pic = cam.project(points[i]);
      const bool inside = pic && std::fabs(pic->x) <= 1.0 && std::fabs(pic->y) <= 1.0;
      expected_count += frustum.isVisibleFacing(points[i]) ? 1 : 0;
      ASSERT_EQ(mask[i], frustum.isVisibleFacing(points[i]));
      if (pic && (std::fabs(std::fabs(pic->x) - 1.0) < 1e-12 ||
                  std::fabs(std::fabs(pic->y) - 1.0) < 1e-12)) {
        continue;  // on the border, to rounding
      }
      ++checked;
      inside_count += inside;
      ASSERT_EQ(inside, frustum.isVisibleFacing(points[i])) << "camera " << cam_i << " point " << i;
      // The representative facing forward passes the plain side-plane test.
      ASSERT_EQ(inside, frustum.isVisibleFast(points[i].facing(frame.forward)));
      if (pic) {
        ASSERT_EQ(pic->fs_distance, cam.distanceTo(points[i]));
      }
    }
    ASSERT_EQ(count, expected_count);
  }
  // Both answers occur often enough for the comparison to mean something.
  EXPECT_GT(inside_count, checked / 5);
  EXPECT_LT(inside_count, checked * 4 / 5);

  // The case that fromCamera gets wrong: fov 143 degrees, a point 25 degrees off the axis.
  KovaCamera wide = KovaCamera::defaultCamera();
  wide.fov = 143.0 * kPi / 180.0;
  const HomVec4 off_axis{std::sin(25.0 * kPi / 180.0), 0, -std::cos(25.0 * kPi / 180.0), 1};
  EXPECT_TRUE(KovaFrustum::fromView(wide).isVisibleFacing(off_axis));
  // Without a picture nothing is visible.
  wide.fov = kPi;
  EXPECT_FALSE(wide.project(off_axis).has_value());
  EXPECT_FALSE(KovaFrustum::fromView(wide).isVisibleFacing(off_axis));
}

TEST(CameraFlight, LookAtCentresTheTarget) {
  std::mt19937_64 rng(1115);
  for (int i = 0; i < 20000; ++i) {
    KovaCamera cam = randomCamera(rng);
    cam.fov = 1.0;
    cam.aspect = 1.5;
    const HomVec4 target = gaussian(rng);
    const HomVec4 hint = i % 8 == 0 ? HomVec4{} : gaussian(rng);
    cam.orthonormalize();
    if (cam.distanceTo(target) < 1e-3) continue;
    const HomVec4 eye = cam.position;
    cam.lookAt(target, hint);
    ASSERT_TRUE(sameBits(cam.position, eye));
    ASSERT_LT(frameError(cam), 1e-14);
    const auto pic = cam.project(target);
    ASSERT_TRUE(pic.has_value());
    ASSERT_NEAR(pic->x, 0.0, 1e-12);
    ASSERT_NEAR(pic->y, 0.0, 1e-12);
    // Up is the hint's part orthogonal to the eye and the new forward.
    HomVec4 h = hint - hint.dot(eye) * eye;
    h = h - h.dot(cam.forward) * cam.forward;
    if (h.norm() > 1e-6) {
      ASSERT_NEAR(cam.up.dot(h), h.norm(), 1e-12 * h.norm());
    }
  }
}

}  // namespace
