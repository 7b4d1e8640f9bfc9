// Seeded generators of random and hostile points for the renderer tests,
// drawing on the shared table of hostile values.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "kova_kernel.hpp"
#include "kova_test_values.hpp"

namespace kova_renderer_test {

using kova_kernel::HomVec4;

// A point whose coordinates are random, hostile or zero in random mixture.
inline HomVec4 hostilePoint(std::mt19937_64& rng) {
  const auto& hv = kova_test::kHostileValues;
  std::uniform_int_distribution<std::size_t> pick(0, hv.size() - 1);
  std::uniform_int_distribution<int> kind(0, 3);
  std::normal_distribution<double> normal(0.0, 1.0);
  double c[4];
  for (double& v : c) {
    switch (kind(rng)) {
      case 0:
        v = hv[pick(rng)];
        break;
      case 1:
        v = 0.0;
        break;
      default:
        v = normal(rng);
        break;
    }
  }
  return HomVec4::init(c[0], c[1], c[2], c[3]);
}

// A uniformly random point on S^3.
inline HomVec4 sphericalPoint(std::mt19937_64& rng) {
  std::normal_distribution<double> normal(0.0, 1.0);
  return HomVec4::init(normal(rng), normal(rng), normal(rng), normal(rng)).normalize();
}

// Random points on S^3 mixed with hostile ones at the given rate (0..1).
inline std::vector<HomVec4> mixedPoints(std::mt19937_64& rng, std::size_t n, double hostile_rate) {
  std::bernoulli_distribution hostile(hostile_rate);
  std::vector<HomVec4> out(n);
  for (HomVec4& p : out) p = hostile(rng) ? hostilePoint(rng) : sphericalPoint(rng);
  return out;
}

}  // namespace kova_renderer_test
