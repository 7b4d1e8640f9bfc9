// fsDistancePrecise against an independent reference computed with wider
// floating point, at every scale from 1e-15 rad to pi/2; its symmetries; its
// agreement with fsDistance where the cosine form is well conditioned; and
// fsDistance's fallbacks.
#include <cmath>
#include <numbers>
#include <random>

#include <gtest/gtest.h>

#include "kova_kernel.hpp"
#include "kova_test_values.hpp"

namespace {

using kova_kernel::fsDistance;
using kova_kernel::fsDistancePrecise;
using kova_kernel::HomVec4;

// The distance between the lines through two double vectors, from the wedge
// and dot products in quadruple precision (every product of two doubles is
// exact there), finished in long double: about 1e-19 relative, a thousandth
// of a unit in the last place of a double.
long double reference(HomVec4 a, HomVec4 b) {
  const __float128 p[4] = {a.x, a.y, a.z, a.w}, q[4] = {b.x, b.y, b.z, b.w};
  __float128 wedge2 = 0, dot = 0;
  for (int i = 0; i < 4; ++i) {
    dot += p[i] * q[i];
    for (int j = i + 1; j < 4; ++j) {
      const __float128 m = p[i] * q[j] - p[j] * q[i];
      wedge2 += m * m;
    }
  }
  const long double d = static_cast<long double>(dot);
  return std::atan2(std::sqrt(static_cast<long double>(wedge2)), d < 0 ? -d : d);
}

double ulp(double x) { return std::nextafter(x, 4.0) - x; }

HomVec4 randomUnit(std::mt19937_64& rng) {
  std::normal_distribution<double> n;
  return HomVec4::init(n(rng), n(rng), n(rng), n(rng)).normalize();
}

// A pair at about `angle` apart: a, and a turned by `angle` towards a random
// direction orthogonal to it, both rounded to doubles and scaled at random
// (above the zero-norm threshold, below which a vector counts as zero).
std::pair<HomVec4, HomVec4> pairAt(std::mt19937_64& rng, double angle) {
  const HomVec4 a = randomUnit(rng);
  const HomVec4 t = randomUnit(rng);
  const HomVec4 dir = (t - a.dot(t) * a).normalize();
  const HomVec4 b = std::cos(angle) * a + std::sin(angle) * dir;
  std::uniform_real_distribution<double> scale(-14.0, 30.0);
  return {std::pow(10.0, scale(rng)) * a, -std::pow(10.0, scale(rng)) * b};
}

TEST(FsDistancePrecise, WithinFourUlpOfTheReferenceAtEveryScale) {
  std::mt19937_64 rng(21);
  std::uniform_real_distribution<double> exponent(-15.0, std::log10(std::numbers::pi / 2));
  double worst = 0;
  for (int i = 0; i < 200'000; ++i) {
    const auto [a, b] = pairAt(rng, std::pow(10.0, exponent(rng)));
    const double ref = static_cast<double>(reference(a, b));
    const double got = fsDistancePrecise(a, b);
    const double err = std::abs(got - ref) / ulp(ref);
    worst = std::max(worst, err);
    ASSERT_LE(err, 4.0) << "distance " << ref << ", got " << got;
  }
  RecordProperty("worst_ulp", std::to_string(worst));
}

TEST(FsDistancePrecise, SymmetricAntipodeAndScaleInvariant) {
  std::mt19937_64 rng(22);
  std::uniform_real_distribution<double> exponent(-14.0, 0.2);
  std::uniform_int_distribution<int> power(-900, 900);
  for (int i = 0; i < 100'000; ++i) {
    const auto [a, b] = pairAt(rng, std::pow(10.0, exponent(rng)));
    const double d = fsDistancePrecise(a, b);
    ASSERT_EQ(d, fsDistancePrecise(b, a));
    ASSERT_EQ(d, fsDistancePrecise(-a, b));
    ASSERT_EQ(d, fsDistancePrecise(a, -b));
    // Powers of two scale exactly, so the bits stay while nothing over- or underflows.
    const int e = power(rng);
    const HomVec4 sa = HomVec4::init(std::ldexp(a.x, e), std::ldexp(a.y, e), std::ldexp(a.z, e),
                                      std::ldexp(a.w, e));
    if (std::isfinite(sa.norm()) && sa.norm() >= kova_kernel::ZERO_NORM) {
      ASSERT_EQ(d, fsDistancePrecise(sa, b));
    }
    ASSERT_GE(d, 0.0);
    ASSERT_LE(d, std::numbers::pi / 2);
  }
}

// fsDistance is the arc-cosine of a cosine rounded to a few units of 1.1e-16
// (up to 8 seen), so its own error is about that divided by sin(d): within 1e-15 of the
// precise distance where sin(d) is large, and within its own bound elsewhere.
TEST(FsDistancePrecise, AgreesWithFsDistanceWhereTheCosineIsWellConditioned) {
  std::mt19937_64 rng(23);
  std::uniform_real_distribution<double> angle(1e-3, std::numbers::pi / 2);
  for (int i = 0; i < 100'000; ++i) {
    const auto [a, b] = pairAt(rng, angle(rng));
    const double precise = fsDistancePrecise(a, b);
    const double bound = 8.0 * 1.1102230246251565e-16 / std::sin(precise) + 2.0 * ulp(precise);
    ASSERT_NEAR(fsDistance(a, b), precise, bound);
    if (precise > 0.5) {
      ASSERT_NEAR(fsDistance(a, b), precise, 1e-15);
    }
  }
}

TEST(FsDistancePrecise, FallbacksAreFsDistances) {
  const HomVec4 ordinary = HomVec4::init(0.3, -0.2, 0.5, 0.7);
  for (double h : kova_test::kHostileValues) {
    for (int k = 0; k < 4; ++k) {
      HomVec4 bad = ordinary;
      (k == 0 ? bad.x : k == 1 ? bad.y : k == 2 ? bad.z : bad.w) = h;
      if (std::isfinite(h) && bad.norm() >= kova_kernel::ZERO_NORM) continue;
      EXPECT_EQ(fsDistancePrecise(bad, ordinary), 0.0) << h;
      EXPECT_EQ(fsDistancePrecise(ordinary, bad), fsDistance(ordinary, bad)) << h;
    }
  }
  EXPECT_EQ(fsDistancePrecise(HomVec4::init(0, 0, 0, 0), ordinary), 0.0);
  EXPECT_EQ(fsDistancePrecise(HomVec4::init(1e-16, 0, 0, 0), ordinary), 0.0);
  // A metre of the world sphere, where the cosine form reads 0.97 to 1.0 m.
  const double metre = 1.0 / (2.0 * kova_kernel::R_TALVIR_KM * 1000.0);
  const HomVec4 here = HomVec4::init(0, 0, 0, 1);
  const HomVec4 there = HomVec4::init(std::sin(metre), 0, 0, std::cos(metre));
  EXPECT_NEAR(fsDistancePrecise(here, there), metre, 2 * ulp(metre));
}

}  // namespace
