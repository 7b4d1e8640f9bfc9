// The demo's flight: an orthonormal frame at every moment, a closed line
// whose half-way frame is the starting one turned half way round, and a path
// that never enters a solid of the lattice.
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
  for (int k = 0; k <= 2400; ++k) {
    const double arc = std::numbers::pi * k / 1200.0;
    const auto f = kova_demo::flightFrame(arc);
    const HomVec4 basis[4] = {f.right, f.up, f.forward, f.position};
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) ASSERT_NEAR(basis[i].dot(basis[j]), i == j ? 1.0 : 0.0, 1e-12);
    const auto view = kova_demo::viewOf(f);
    ASSERT_NEAR(view.apply(f.position).w, 1.0, 1e-12);
    ASSERT_NEAR(view.apply(f.forward).z, -1.0, 1e-12);
    ASSERT_NEAR(view.det(), 1.0, 1e-12);
    for (HomVec4 c : e.cell_centres)
      closest = std::min(closest, std::acos(std::min(1.0, std::fabs(c.dot(f.position)))));
  }
  EXPECT_GT(closest, solid_reach + 0.01);

  // After pi: the same point of elliptic space, looking along the same line,
  // with up and right reversed against the antipodal image of the start.
  const auto a = kova_demo::flightFrame(0.0), b = kova_demo::flightFrame(std::numbers::pi);
  EXPECT_NEAR(a.position.dot(b.position), -1.0, 1e-12);
  EXPECT_NEAR(a.forward.dot(b.forward), -1.0, 1e-12);
  EXPECT_NEAR(a.up.dot(b.up), 1.0, 1e-12);
  EXPECT_NEAR(a.right.dot(b.right), 1.0, 1e-12);
  // Consecutive frames differ visibly: the step is a few degrees.
  EXPECT_GT(kova_demo::kFlightStep, 0.02);
}

}  // namespace
