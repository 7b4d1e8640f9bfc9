// The demo's flight: the camera's own moves keep an orthonormal frame, the
// line closes after pi with the picture turned half way round, and the path
// never enters a solid of the lattice.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "lattice_frame.hpp"

namespace {

using kova_demo::HomVec4;

TEST(LatticeFlight, ClosedFrameThatKeepsClearOfTheSolids) {
  const auto e = kova_demo::makeElliptic120Cell();
  const double solid_reach =
      std::atan(kova_demo::kCellScale * std::tan(kova_demo::cell120CircumAngle()));
  double closest = 10.0;
  // The carrier flies as the driver flies it, one travel per frame; between
  // frames a copy travels on in tenths of a step to sample the path.
  kova_renderer::KovaCamera carrier = kova_demo::flightStart();
  const kova_renderer::KovaCamera start = carrier;
  kova_renderer::KovaCamera half_way;
  for (std::uint64_t frame = 0; frame <= 240; ++frame) {
    if (frame > 0) carrier.travel(kova_demo::kFlightStep, 0.0, 0.0);
    if (frame == 120) half_way = carrier;
    const auto f = kova_demo::flightView(carrier, frame);
    const HomVec4 basis[4] = {f.right, f.up, f.forward, f.position};
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) ASSERT_NEAR(basis[i].dot(basis[j]), i == j ? 1.0 : 0.0, 1e-12);
    const auto view = f.viewIsometry();
    ASSERT_NEAR(view.apply(f.position).w, 1.0, 1e-12);
    ASSERT_NEAR(view.apply(f.forward).z, -1.0, 1e-12);
    ASSERT_NEAR(view.det(), 1.0, 1e-12);
    for (int sub = 0; sub < 10; ++sub) {
      kova_renderer::KovaCamera between = carrier;
      between.travel(kova_demo::kFlightStep * sub / 10.0, 0.0, 0.0);
      for (HomVec4 c : e.cell_centres)
        closest = std::min(closest, std::acos(std::min(1.0, std::fabs(c.dot(between.position)))));
    }
  }
  EXPECT_GT(closest, solid_reach + 0.01);

  // After pi: the same point of elliptic space, looking along the same line,
  // with up and right reversed against the antipodal image of the start; the
  // view there is the starting view turned half way round about the line of sight.
  EXPECT_NEAR(start.position.dot(half_way.position), -1.0, 1e-12);
  EXPECT_NEAR(start.forward.dot(half_way.forward), -1.0, 1e-12);
  EXPECT_NEAR(start.up.dot(half_way.up), 1.0, 1e-12);
  EXPECT_NEAR(start.right.dot(half_way.right), 1.0, 1e-12);
  const auto v0 = kova_demo::flightView(start, 0).viewIsometry();
  const auto v1 = kova_demo::flightView(half_way, 120).viewIsometry();
  const HomVec4 probe = HomVec4{0.3, -0.2, 0.5, 0.7}.normalize();
  const HomVec4 a = v0.apply(probe), b = v1.apply(probe);
  EXPECT_NEAR(b.x, a.x, 1e-12);  // (x, y, z, w) -> (x, y, -z, -w) ~ (-x, -y, z, w)
  EXPECT_NEAR(b.y, a.y, 1e-12);
  EXPECT_NEAR(b.z, -a.z, 1e-12);
  EXPECT_NEAR(b.w, -a.w, 1e-12);
  // After 2 pi the carrier is home again.
  EXPECT_NEAR(carrier.position.dot(start.position), 1.0, 1e-12);
  EXPECT_NEAR(carrier.forward.dot(start.forward), 1.0, 1e-12);
  // Consecutive frames differ visibly: the step is a few degrees.
  EXPECT_GT(kova_demo::kFlightStep, 0.02);
}

}  // namespace
