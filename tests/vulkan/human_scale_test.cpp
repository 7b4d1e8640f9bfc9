// Human scale on both devices (the CPU device and Vulkan, with and without
// double-precision shaders): the walk scene looks the same wherever it
// stands on the world sphere; centimetre cubes cover what project() says
// from 5 m down to 20 cm, and nothing nearer than the camera's near bound is
// drawn; a face a centimetre in front of another 5 m away always wins; and a
// cube's picture follows millimetre steps of the eye without jitter.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "kova_cpu_device.hpp"
#include "vulkan_test_device.hpp"
#include "walk_frame.hpp"

namespace {

using namespace kova_demo;
using kova_renderer::KovaCamera;

// The pixel bytes of the walk's fog (and clear) colour.
const std::array<int, 3> kFog = {kova_device::toByte(kWalkFogColor[0]),
                                 kova_device::toByte(kWalkFogColor[1]),
                                 kova_device::toByte(kWalkFogColor[2])};

struct Rgb {
  std::vector<std::uint8_t> bytes;
  std::uint32_t w = 0, h = 0;
  [[nodiscard]] std::array<int, 3> at(std::uint32_t x, std::uint32_t y) const {
    const std::size_t i = (static_cast<std::size_t>(y) * w + x) * 3;
    return {bytes[i], bytes[i + 1], bytes[i + 2]};
  }
};

// Runs `body` with each device: the CPU device, Vulkan, and Vulkan without
// double-precision shaders, each Vulkan device under the validation layer,
// which must stay silent.
template <class Body>
void onEveryDevice(Body body) {
  {
    SCOPED_TRACE("cpu");
    body(kova_device::CpuDevice{});
  }
  for (const bool float64 : {true, false}) {
    SCOPED_TRACE(float64 ? "vulkan" : "vulkan --no-float64");
    auto made = kova_device::VulkanDevice::create({.validation = true, .float64 = float64});
    if (!made) {
      if (made.error().find("validation") != std::string::npos) FAIL() << made.error();
      std::printf("no usable Vulkan device: %s\n", made.error().c_str());
      continue;
    }
    body(std::move(*made));
  }
}

// A walk driver for the hand-made scenes of a test, on `device`.
template <class Device>
WalkDriver<Device> driverOn(Device device, std::uint32_t w, std::uint32_t h) {
  static const WalkScene empty{};
  auto driver = WalkDriver<Device>::create(empty, w, h, std::move(device));
  if (!driver) throw std::runtime_error(driver.error());
  return std::move(*driver);
}

// The picture of `scene` seen by `camera`, drawn by `driver`.
template <class Device>
Rgb render(WalkDriver<Device>& driver, const WalkScene& scene, const KovaCamera& camera) {
  auto set = driver.setScene(scene);
  EXPECT_TRUE(set) << set.error();
  auto report = driver.render(camera);
  EXPECT_TRUE(report) << report.error();
  auto rgb = driver.readRgb();
  EXPECT_TRUE(rgb) << rgb.error();
  if constexpr (std::is_same_v<Device, kova_device::VulkanDevice>) {
    EXPECT_VALIDATION_SILENT(driver.device());
  }
  return rgb ? Rgb{*rgb, driver.width(), driver.height()} : Rgb{};
}

// A lens for hand-made scenes: 1 cm to the horizon unless told otherwise.
KovaCamera lens(KovaCamera pose, std::uint32_t w, std::uint32_t h, double near_fs = metres(0.01),
                double far_fs = std::numbers::pi / 2) {
  pose = walkLens(pose, w, h);
  pose.near_fs = near_fs;
  pose.far_fs = far_fs;
  return pose;
}

// The eye of the hand-made scenes: at local (x, 1.7 m, 0) looking along -z.
KovaCamera eye(const WalkScene& s, double x = 0.0) {
  return cameraAt(walkPlacement(s, x, kWalkEyeHeight, 0.0, 0.0));
}

Mesh boxOf(double half_m) {
  const auto b = kova_kernel::boxMesh(metres(half_m), metres(half_m), metres(half_m));
  return Mesh{{b.vertices.begin(), b.vertices.end()}, {b.indices.begin(), b.indices.end()}};
}

// A square of half-side h metres in the plane z = 0 of its placement.
Mesh square(double half_m) {
  const double h = metres(half_m);
  Mesh m;
  for (auto [x, y] : {std::pair{-h, -h}, {h, -h}, {h, h}, {-h, h}})
    m.vertices.push_back(HomVec4{x, y, 0.0, 1.0}.normalize());
  m.indices = {0, 1, 2, 0, 2, 3};
  return m;
}

// --- Homogeneity -----------------------------------------------------------

TEST(VulkanHumanScale, WalkLooksTheSameWhereverItStands) {
  constexpr std::uint32_t kW = 320, kH = 180;
  onEveryDevice([&]<class Device>(Device device) {
    auto driver = driverOn(std::move(device), kW, kH);
    std::vector<Rgb> frames;
    for (const double km : {0.0, 5000.0, 9000.0}) {
      const WalkScene scene = makeWalkScene(km);
      // The start and 8.3 s into the walk, a third of the way round.
      for (const double t : {0.0, 250.0 / kWalkFps})
        frames.push_back(render(driver, scene, walkLens(walkPose(scene, t), kW, kH)));
    }
    for (std::size_t k = 2; k < frames.size(); ++k) {
      const Rgb& a = frames[k % 2];
      const Rgb& b = frames[k];
      std::size_t off = 0, fog = 0;
      for (std::uint32_t y = 0; y < kH; ++y) {
        for (std::uint32_t x = 0; x < kW; ++x) {
          const auto p = a.at(x, y), q = b.at(x, y);
          int d = 0;
          for (int c = 0; c < 3; ++c) d = std::max(d, std::abs(p[c] - q[c]));
          off += d > 3 ? 1 : 0;
          fog += p == kFog ? 1 : 0;
        }
      }
      const int km = k / 2 == 1 ? 5000 : 9000;
      EXPECT_LE(off, kW * kH / 1000) << "frame " << k % 2 << " at " << km << " km against 0 km";
      std::printf("walk frame %zu at %d km: %zu of %u pixels differ from 0 km by more than 3\n",
                  k % 2, km, off, kW * kH);
      // The pictures show the courtyard, not just fog.
      EXPECT_LT(fog, kW * kH / 2);
    }
  });
}

// --- Near objects ----------------------------------------------------------

struct Hull {
  std::vector<std::array<double, 2>> p;  // anticlockwise in pixel coordinates (y down)
  // Signed distance of (x, y) from the nearest edge line: positive inside.
  [[nodiscard]] double inside(double x, double y) const {
    double d = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < p.size(); ++i) {
      const auto a = p[i], b = p[(i + 1) % p.size()];
      const double ex = b[0] - a[0], ey = b[1] - a[1];
      d = std::min(d, (ex * (y - a[1]) - ey * (x - a[0])) / std::hypot(ex, ey));
    }
    return d;
  }
};

// The convex hull (monotone chain) of the pictures of the corners.
Hull hullOf(std::vector<std::array<double, 2>> pts) {
  std::sort(pts.begin(), pts.end());
  auto cross = [](auto o, auto a, auto b) {
    return (a[0] - o[0]) * (b[1] - o[1]) - (a[1] - o[1]) * (b[0] - o[0]);
  };
  std::vector<std::array<double, 2>> h(2 * pts.size());
  std::size_t k = 0;
  for (std::size_t i = 0; i < pts.size(); ++i) {
    while (k >= 2 && cross(h[k - 2], h[k - 1], pts[i]) <= 0) --k;
    h[k++] = pts[i];
  }
  for (std::size_t i = pts.size() - 1, t = k + 1; i-- > 0;) {
    while (k >= t && cross(h[k - 2], h[k - 1], pts[i]) <= 0) --k;
    h[k++] = pts[i];
  }
  h.resize(k - 1);
  return Hull{h};
}

TEST(VulkanHumanScale, CentimetreCubesCoverTheirProjectedHulls) {
  constexpr std::uint32_t kW = 640, kH = 360;
  const WalkScene base = makeWalkScene(kWalkDefaultAtKm);
  const KovaCamera camera = lens(eye(base), kW, kH);
  const double tan_h = std::tan(kWalkFov / 2.0);
  onEveryDevice([&]<class Device>(Device device) {
    auto driver = driverOn(std::move(device), kW, kH);
    for (const double dist : {5.0, 1.0, 0.2}) {
      SCOPED_TRACE("cubes " + std::to_string(dist) + " m away");
      // Two 10 cm cubes side by side, turned, red on the left, green on the right.
      WalkScene s;
      s.site = base.site;
      WalkShape red{boxOf(0.05), {}, {1.0, 0.0, 0.0}}, green{boxOf(0.05), {}, {0.0, 1.0, 0.0}};
      const double off = 0.45 * tan_h * dist;
      red.instances.push_back(walkPlacement(s, -off, kWalkEyeHeight + 0.1 * dist, -dist, 0.5));
      green.instances.push_back(walkPlacement(s, off, kWalkEyeHeight - 0.1 * dist, -dist, -0.7));
      s.shapes = {red, green};
      const Rgb img = render(driver, s, camera);
      ASSERT_EQ(img.bytes.size(), std::size_t{kW} * kH * 3);
      std::array<Hull, 2> hulls;
      for (std::size_t c = 0; c < 2; ++c) {
        std::vector<std::array<double, 2>> pts;
        for (HomVec4 v : s.shapes[c].mesh.vertices) {
          const auto p = camera.project(s.shapes[c].instances[0].apply(v));
          ASSERT_TRUE(p);
          pts.push_back({(p->x * 0.5 + 0.5) * kW, (0.5 - p->y * 0.5) * kH});
        }
        hulls[c] = hullOf(pts);
      }
      std::size_t checked_in = 0, wrong = 0;
      for (std::uint32_t y = 0; y < kH; ++y) {
        for (std::uint32_t x = 0; x < kW; ++x) {
          const auto p = img.at(x, y);
          const double r = hulls[0].inside(x + 0.5, y + 0.5), g = hulls[1].inside(x + 0.5, y + 0.5);
          const bool is_red = p[0] >= 40 && p[1] <= 8 && p[2] <= 8;
          const bool is_green = p[1] >= 40 && p[0] <= 8 && p[2] <= 8;
          const bool is_fog = std::abs(p[0] - kFog[0]) <= 3 && std::abs(p[1] - kFog[1]) <= 3 &&
                              std::abs(p[2] - kFog[2]) <= 3;
          bool ok = true;
          if (r > 1.0) {
            ok = is_red, ++checked_in;
          } else if (g > 1.0) {
            ok = is_green, ++checked_in;
          } else if (r < -1.0 && g < -1.0) {
            ok = is_fog;
          }
          if (!ok && wrong++ < 5)
            ADD_FAILURE() << "pixel (" << x << ", " << y << ") is (" << p[0] << ", " << p[1] << ", "
                          << p[2] << "); inside red by " << r << ", green by " << g;
        }
      }
      EXPECT_EQ(wrong, 0u);
      EXPECT_GT(checked_in, 20u);
    }
  });
}

// A wall (a square filling the picture) at `dist` metres straight ahead:
// how many pixels show it, for a near bound of near_fs.
template <class Device>
std::size_t wallPixels(WalkDriver<Device>& driver, const WalkScene& base, double dist,
                       double near_fs) {
  const std::uint32_t kW = driver.width(), kH = driver.height();
  WalkScene s;
  s.site = base.site;
  WalkShape wall{square(2.0 * dist), {}, {1.0, 0.0, 0.0}};
  wall.instances.push_back(walkPlacement(s, 0.0, kWalkEyeHeight, -dist, 0.0));
  s.shapes = {wall};
  const Rgb img = render(driver, s, lens(eye(s), kW, kH, near_fs));
  std::size_t n = 0;
  for (std::uint32_t y = 0; y < kH; ++y)
    for (std::uint32_t x = 0; x < kW; ++x) n += img.at(x, y)[2] <= 8 ? 1 : 0;
  return n;
}

TEST(VulkanHumanScale, NothingNearerThanTheNearBoundIsDrawn) {
  const WalkScene base = makeWalkScene(kWalkDefaultAtKm);
  constexpr std::size_t kAll = 64 * 36;
  onEveryDevice([&]<class Device>(Device device) {
    auto driver = driverOn(std::move(device), 64, 36);
    // The near bound is the camera's, down to a centimetre of the world and
    // below: a wall just beyond it fills the picture, one just inside it is
    // gone.
    for (const double near_m : {1.0, 0.01, 0.001}) {
      SCOPED_TRACE("near bound " + std::to_string(near_m) + " m");
      EXPECT_EQ(wallPixels(driver, base, 1.2 * near_m, metres(near_m)), kAll);
      EXPECT_EQ(wallPixels(driver, base, 0.8 * near_m, metres(near_m)), 0u);
    }
    // A bound of zero, below zero or not a number is the smallest bound,
    // kMinNearFs (about 12 micrometres): a wall at a millimetre is drawn,
    // one at 5 micrometres is not.
    for (const double near_fs : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
      SCOPED_TRACE("near_fs " + std::to_string(near_fs));
      EXPECT_EQ(wallPixels(driver, base, 0.001, near_fs), kAll);
      EXPECT_EQ(wallPixels(driver, base, 5e-6, near_fs), 0u);
    }
    // A bound beyond the horizon (pi/2 or more, infinity too) leaves nothing.
    for (const double near_fs : {2.0, std::numeric_limits<double>::infinity()})
      EXPECT_EQ(wallPixels(driver, base, 1.0, near_fs), 0u) << near_fs;

    // The near bound is the plane at distance tan(near) in the eye's chart:
    // a wall slanting through it (turned 1.2 rad, its centre 1 cm ahead, near
    // bound 1 cm) shows exactly where the pixel's ray meets the wall at chart
    // depth tan(near) or more. Pixels whose centre or neighbours lie on both
    // sides are left out.
    constexpr std::uint32_t kW = 160, kH = 90;
    ASSERT_TRUE(driver.resize(kW, kH));
    WalkScene s;
    s.site = base.site;
    const PGL4 placed = walkPlacement(s, 0.003, kWalkEyeHeight, -0.01, 1.2);
    s.shapes = {WalkShape{square(1.0), {placed}, {1.0, 0.0, 0.0}}};
    const KovaCamera cam = lens(eye(s), kW, kH);
    const Rgb img = render(driver, s, cam);
    // The wall's plane in view space: its local normal (0, 0, 1, 0) carried
    // by the rotations.
    const HomVec4 n = cam.viewIsometry().apply(placed.apply(HomVec4{0.0, 0.0, 1.0, 0.0}));
    const double tan_h = std::tan(kWalkFov / 2.0), tan_v = tan_h * kH / kW;
    const double limit = std::tan(metres(0.01));
    const PGL4 to_wall = placed.transpose().mul(cam.viewIsometry().transpose());
    // 1: the ray meets the square at chart depth tan(near) or more; 0: nearer;
    // -1: it misses the square (or nearly).
    auto beyond = [&](double fx, double fy) {
      const double dx = ((2.0 * fx) / kW - 1.0) * tan_h, dy = (1.0 - (2.0 * fy) / kH) * tan_v;
      // The ray (dx, dy, -1, 0) meets the plane at (n.w D, -n.D): chart depth
      // |n.w| / |n.D|.
      const double nd = n.x * dx + n.y * dy - n.z;
      const HomVec4 hit = to_wall.apply(HomVec4{n.w * dx, n.w * dy, -n.w, -nd});
      const double edge = metres(0.95) * std::fabs(hit.w);
      if (!(std::fabs(hit.x) < edge && std::fabs(hit.y) < edge)) return -1;
      return std::fabs(n.w) / std::fabs(nd) >= limit ? 1 : 0;
    };
    std::size_t drawn = 0, gone = 0, wrong = 0;
    for (std::uint32_t y = 0; y < kH; ++y) {
      for (std::uint32_t x = 0; x < kW; ++x) {
        int votes = 0;
        for (auto [ox, oy] :
             {std::pair{0.5, 0.5}, {-0.5, 0.5}, {1.5, 0.5}, {0.5, -0.5}, {0.5, 1.5}})
          votes += beyond(x + ox, y + oy) == 1 ? 1 : beyond(x + ox, y + oy) == 0 ? 0 : 100;
        if (votes != 0 && votes != 5) continue;
        const bool shown = img.at(x, y)[2] <= 8;
        (votes == 5 ? drawn : gone) += 1;
        if (shown != (votes == 5) && wrong++ < 5)
          ADD_FAILURE() << "pixel (" << x << ", " << y << ") " << (shown ? "shows" : "misses")
                        << " the wall";
      }
    }
    EXPECT_EQ(wrong, 0u);
    std::printf("slanting wall: %zu pixels beyond the near plane drawn, %zu nearer left out\n",
                drawn, gone);
    EXPECT_GT(drawn, kW * kH / 5);
    EXPECT_GT(gone, kW * kH / 5);
  });
}

// --- Depth at centimetres ----------------------------------------------------

TEST(VulkanHumanScale, FaceOneCentimetreInFrontAlwaysWins) {
  constexpr std::uint32_t kW = 160, kH = 90;
  const WalkScene base = makeWalkScene(kWalkDefaultAtKm);
  std::mt19937_64 rng(21);
  std::uniform_real_distribution<double> tilt(-1.2, 1.2), dist(4.5, 5.5);
  struct Pose {
    double dist, heading, pitch;
  };
  std::vector<Pose> poses = {{5.0, 0.0, 0.0}};
  for (int i = 0; i < 5; ++i) poses.push_back({dist(rng), tilt(rng), tilt(rng)});
  onEveryDevice([&]<class Device>(Device device) {
    auto driver = driverOn(std::move(device), kW, kH);
    for (const Pose& pose : poses) {
      for (const bool front_first : {false, true}) {
        SCOPED_TRACE("faces " + std::to_string(pose.dist) + " m away, turned " +
                     std::to_string(pose.heading) + ", " + std::to_string(pose.pitch) +
                     (front_first ? ", front drawn first" : ", back drawn first"));
        // Two parallel squares 1 cm apart along their normal; the front
        // (red) one larger, so that it hides all of the back (green) one.
        WalkScene s;
        s.site = base.site;
        const PGL4 at = walkPlacement(s, 0.0, kWalkEyeHeight, -pose.dist, pose.heading)
                            .mul(kova_kernel::pglPlace(
                                HomVec4{0, 0, 0, 1},
                                HomVec4{0.0, std::sin(pose.pitch), -std::cos(pose.pitch), 0.0},
                                HomVec4{0.0, std::cos(pose.pitch), std::sin(pose.pitch), 0.0}));
        const PGL4 nearer = at.mul(kova_kernel::pglPlace(
            HomVec4{0.0, 0.0, metres(0.01), 1.0}, HomVec4{0, 0, -1, 0}, HomVec4{0, 1, 0, 0}));
        WalkShape front{square(0.6), {nearer}, {1.0, 0.0, 0.0}};
        WalkShape back{square(0.5), {at}, {0.0, 1.0, 0.0}};
        s.shapes = front_first ? std::vector{front, back} : std::vector{back, front};
        const Rgb img = render(driver, s, lens(eye(s), kW, kH));
        std::size_t red = 0, green = 0;
        for (std::uint32_t y = 0; y < kH; ++y) {
          for (std::uint32_t x = 0; x < kW; ++x) {
            const auto p = img.at(x, y);
            red += p[0] > 30 && p[2] < 100 ? 1 : 0;
            green += p[1] > p[0] + 4 && p[2] < 100 ? 1 : 0;
          }
        }
        EXPECT_EQ(green, 0u);
        EXPECT_GT(red, 100u);
      }
    }
  });
}

// --- Stability -------------------------------------------------------------

TEST(VulkanHumanScale, CubeFollowsMillimetreStepsOfTheEye) {
  // The middle 320 x 180 pixels of the walk's 1280 x 720 picture (the same
  // pixels: a quarter of the tangent of the half-angle), 4 samples: a turned
  // 10 cm cube 5 m ahead, the eye stepping 1 mm to the right 100 times.
  // Yellow on the fog has no blue, so a resolved pixel's blue gives its
  // coverage exactly, whatever the light.
  constexpr std::uint32_t kW = 320, kH = 180;
  const double fov = 2.0 * std::atan(std::tan(kWalkFov / 2.0) / 4.0);
  const WalkScene base = makeWalkScene(kWalkDefaultAtKm);
  WalkScene s;
  s.site = base.site;
  const PGL4 place = walkPlacement(s, 0.0, kWalkEyeHeight, -5.0, 0.3)
                         .mul(kova_kernel::pglPlace(HomVec4{0, 0, 0, 1}, HomVec4{0, 0, -1, 0},
                                                    HomVec4{std::sin(0.35), std::cos(0.35), 0, 0}));
  s.shapes = {WalkShape{boxOf(0.05), {place}, {1.0, 0.8, 0.0}}};
  const HomVec4 centre = place.apply(HomVec4{0, 0, 0, 1});
  onEveryDevice([&]<class Device>(Device device) {
    auto driver = WalkDriver<Device>::create(s, kW, kH, std::move(device));
    ASSERT_TRUE(driver) << driver.error();
    std::vector<double> found, predicted;
    for (int step = 0; step <= 100; ++step) {
      KovaCamera cam = lens(eye(s, 0.001 * step), kW, kH);
      cam.fov = fov;
      ASSERT_TRUE(driver->render(cam));
      auto rgb = driver->readRgb();
      ASSERT_TRUE(rgb) << rgb.error();
      double sum = 0.0, sum_x = 0.0;
      for (std::uint32_t y = 0; y < kH; ++y) {
        for (std::uint32_t x = 0; x < kW; ++x) {
          const double cover = 1.0 - (*rgb)[(std::size_t{y} * kW + x) * 3 + 2] / double(kFog[2]);
          sum += cover;
          sum_x += cover * (x + 0.5);
        }
      }
      ASSERT_GT(sum, 100.0);
      found.push_back(sum_x / sum);
      const auto p = cam.project(centre);
      ASSERT_TRUE(p);
      predicted.push_back((p->x * 0.5 + 0.5) * kW);
    }
    if constexpr (std::is_same_v<Device, kova_device::VulkanDevice>) {
      EXPECT_VALIDATION_SILENT(driver->device());
    }
    double worst = 0.0;
    for (std::size_t i = 1; i < found.size(); ++i) {
      EXPECT_LT(found[i], found[i - 1]) << "step " << i;
      const double off = (found[i] - found[0]) - (predicted[i] - predicted[0]);
      worst = std::max(worst, std::fabs(off));
      EXPECT_LE(std::fabs(off), 0.1) << "step " << i;
    }
    std::printf("centroid moved %.3f px over 10 cm (predicted %.3f), worst departure %.4f px\n",
                found.front() - found.back(), predicted.front() - predicted.back(), worst);
  });
}

}  // namespace
