// pglPlace is the inverse of the view transform of a camera with the same pose,
// whatever the scale of the pose's vectors and however nearly parallel they are.
#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include "kova_renderer.hpp"

namespace {

using kova_kernel::HomVec4;
using kova_kernel::PGL4;

TEST(PlacementView, ViewIsometryUndoesPglPlace) {
  std::mt19937_64 rng(5150);
  std::normal_distribution<double> n;
  std::uniform_int_distribution<int> big(0, 600);
  const auto gaussian = [&] { return HomVec4::init(n(rng), n(rng), n(rng), n(rng)); };
  const auto scaled = [&](HomVec4 v) { return v * std::ldexp(1.0, rng() % 2 == 0 ? 0 : big(rng)); };
  for (int round = 0; round < 100000; ++round) {
    const HomVec4 at = scaled(gaussian());
    const double near =
        std::ldexp(1.0, -static_cast<int>(rng() % 40));  // forward and up nearly in the span
    const HomVec4 forward =
        scaled(rng() % 4 == 0 ? at.normalize() + near * gaussian() : gaussian());
    const HomVec4 up = scaled(
        rng() % 4 == 0 ? (at.normalize() - forward.normalize()) + near * gaussian() : gaussian());
    const auto camera = kova_renderer::KovaCamera::init(at, forward, up, 1.0, 1.5, 0.01, 1.5);
    const PGL4 product = camera.viewIsometry().mul(kova_kernel::pglPlace(at, forward, up));
    for (int e = 0; e < 16; ++e)
      ASSERT_NEAR(product.data[e], PGL4::identity().data[e], 1e-15) << round;
  }
}

}  // namespace
