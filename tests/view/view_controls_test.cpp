// The viewer's flight and culling without a window: speeds do not depend on
// the frame rate, the controls keep their bounds, and the widened view's
// frustum keeps every point the picture shows.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "points_view.hpp"
#include "view_controls.hpp"

namespace {

using namespace kova_view;
using kova_kernel::HomVec4;

double gap(HomVec4 a, HomVec4 b) {
  return std::fabs(a.x - b.x) + std::fabs(a.y - b.y) + std::fabs(a.z - b.z) + std::fabs(a.w - b.w);
}

TEST(ViewControls, SpeedsDoNotDependOnTheFrameRate) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const KovaCamera start = startCamera(1280, 720);
  for (int trial = 0; trial < 200; ++trial) {
    ControlInput held;
    held.forward = unit(rng);
    held.right = unit(rng);
    held.up = unit(rng);
    held.run = trial % 2 == 0;
    // One second of the same keys held, at 30 and at 144 frames per second.
    KovaCamera slow = start, fast = start;
    for (int f = 0; f < 30; ++f) applyControls(slow, held, 1.0 / 30.0, start);
    for (int f = 0; f < 144; ++f) applyControls(fast, held, 1.0 / 144.0, start);
    EXPECT_LT(gap(slow.position, fast.position), 1e-12);
    EXPECT_LT(gap(slow.forward, fast.forward), 1e-12);
    EXPECT_LT(gap(slow.up, fast.up), 1e-12);
    const double speed = kTravelSpeed * (held.run ? kRunFactor : 1.0);
    const double length = std::sqrt(held.forward * held.forward + held.right * held.right +
                                    held.up * held.up);
    const double flown = std::min(speed * length, std::acos(0.0) * 2.0 - speed * length);
    EXPECT_NEAR(slow.distanceTo(start.position), flown, 1e-12);
  }
  // A stalled frame moves no farther than kMaxStep; the wheel keeps the
  // field of view in its bounds; R returns to the start with the aspect kept.
  KovaCamera c = start;
  applyControls(c, ControlInput{.forward = 1.0}, 5.0, start);
  EXPECT_NEAR(c.distanceTo(start.position), kTravelSpeed * kMaxStep, 1e-12);
  applyControls(c, ControlInput{.scroll = 100.0}, 0.01, start);
  EXPECT_EQ(c.fov, kFovMin);
  applyControls(c, ControlInput{.scroll = -100.0}, 0.01, start);
  EXPECT_EQ(c.fov, kFovMax);
  c.aspect = 2.0;
  applyControls(c, ControlInput{.reset = true}, 0.01, start);
  EXPECT_EQ(c.position, start.position);
  EXPECT_EQ(c.fov, start.fov);
  EXPECT_EQ(c.aspect, 2.0);
}

TEST(ViewControls, WidenedFrustumKeepsEveryPointThePictureShows) {
  std::mt19937_64 rng(11);
  std::normal_distribution<double> gauss;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::size_t inside = 0, margin_kept = 0;
  for (int trial = 0; trial < 300; ++trial) {
    KovaCamera cam = autopilotCamera(static_cast<std::uint64_t>(trial) * 7, 640, 360);
    cam.fov = kFovMin + unit(rng) * (kFovMax - kFovMin);
    const std::uint32_t w = 16 + static_cast<std::uint32_t>(unit(rng) * 2000);
    const std::uint32_t h = 16 + static_cast<std::uint32_t>(unit(rng) * 2000);
    cam.aspect = static_cast<double>(w) / h;
    const double pixels = 4.0;
    const auto frustum = widenedView(cam, w, h, pixels);
    for (int k = 0; k < 2000; ++k) {
      const HomVec4 p = HomVec4{gauss(rng), gauss(rng), gauss(rng), gauss(rng)}.normalize();
      const auto seen = cam.project(p);
      if (!seen) continue;
      // Pixel offsets beyond the picture's edges.
      const double out_x = (std::fabs(seen->x) - 1.0) * w / 2.0;
      const double out_y = (std::fabs(seen->y) - 1.0) * h / 2.0;
      if (std::max(out_x, out_y) <= 0.0) {
        ++inside;
        EXPECT_TRUE(frustum.isVisibleFacing(p)) << "a point in the picture is culled";
      } else if (std::max(out_x, out_y) < pixels - 1e-6) {
        ++margin_kept;
        EXPECT_TRUE(frustum.isVisibleFacing(p)) << "a point within the margin is culled";
      } else if (std::max(out_x, out_y) > pixels + 1e-6) {
        EXPECT_FALSE(frustum.isVisibleFacing(p)) << "a point far outside is kept";
      }
    }
  }
  EXPECT_GT(inside, 10000u);
  EXPECT_GT(margin_kept, 100u);
}

}  // namespace
