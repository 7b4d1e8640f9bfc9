// sortByFSDepth on the inputs that stress a sort by quantised keys: every
// distance tied, distances packed within 1e-9 below pi/2 or within 2e-5 of 0,
// clusters of near-ties among spread points, vectors too long to square;
// the permutation of the literal insertion sort on all of them, nothing
// allocated but the result, and the stable order on inputs too large for it.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory_resource>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "hostile_inputs.hpp"
#include "kova_reference_renderer.hpp"
#include "kova_renderer.hpp"
#include "kova_test_resources.hpp"

namespace {

using kova_kernel::fsDistance;
using kova_kernel::HomVec4;
using kova_renderer_test::hostilePoint;
using kova_renderer_test::sphericalPoint;

const HomVec4 kEye = HomVec4::init(0, 0, 0, 1);

// A point whose cosine to kEye is `c`, in a random direction.
HomVec4 atCosine(std::mt19937_64& rng, double c) {
  const HomVec4 d = sphericalPoint(rng);
  const double s = std::sqrt(1.0 - c * c) / std::hypot(d.x, d.y, d.z);
  return HomVec4::init(d.x * s, d.y * s, d.z * s, c);
}

// Exact copies, antipodes and power-of-two multiples of earlier points, so
// that distances tie exactly.
void addTies(std::mt19937_64& rng, std::vector<HomVec4>& pts, std::size_t count) {
  for (std::size_t k = 0; k < count && !pts.empty(); ++k) {
    const HomVec4 p = pts[rng() % pts.size()];
    const double f = std::ldexp(rng() % 2 == 0 ? 1.0 : -1.0, static_cast<int>(rng() % 9) - 4);
    pts.push_back(HomVec4::init(f * p.x, f * p.y, f * p.z, f * p.w));
    std::swap(pts.back(), pts[rng() % pts.size()]);
  }
}

enum class Family { AllTied, TiedByRounding, NearHalfPi, NearZero, Clusters, Skewed, LongVectors };

// Inputs of one family against kEye (the cosines are chosen against it).
std::vector<HomVec4> family(std::mt19937_64& rng, Family f, std::size_t n) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<HomVec4> pts;
  switch (f) {
    case Family::AllTied:  // one point, its signs flipped: identical cosines
      for (std::size_t i = 0; i < n; ++i) {
        const auto s = [&] { return rng() % 2 == 0 ? 1.0 : -1.0; };
        pts.push_back(HomVec4::init(s() * 0.5, s() * 0.25, s() * 0.125, s() * 0.75));
      }
      return pts;
    case Family::TiedByRounding:  // distinct cosines whose arc-cosines all round to pi/2
      for (std::size_t i = 0; i < n; ++i) pts.push_back(atCosine(rng, 1e-17 * unit(rng)));
      return pts;
    case Family::NearHalfPi:  // distances within 1e-9 below pi/2, a few tied
      for (std::size_t i = 0; i < n; ++i) pts.push_back(atCosine(rng, 1e-9 * unit(rng)));
      addTies(rng, pts, n / 10);
      return pts;
    case Family::NearZero:  // cosines a few ulps to 2^-31 below 1: distances 0 to 2e-5
      for (std::size_t i = 0; i < n; ++i) {
        const double below = rng() % 4 == 0 ? std::ldexp(static_cast<double>(rng() % 64), -53)
                                            : std::ldexp(unit(rng), -31);
        pts.push_back(HomVec4::init(std::sqrt(below * (2.0 - below)), 0.0, 0.0, 1.0 - below));
      }
      addTies(rng, pts, n / 10);
      return pts;
    case Family::Clusters:  // spread points, and clusters of near-ties among them
      while (pts.size() < n) {
        const double c = unit(rng);
        const std::size_t size = rng() % 4 == 0 ? 100 + rng() % 300 : 1;
        for (std::size_t k = 0; k < size; ++k) {
          pts.push_back(atCosine(rng, std::min(1.0, c + 1e-12 * unit(rng))));
        }
      }
      addTies(rng, pts, n / 20);
      return pts;
    case Family::Skewed:  // cosines crowded towards 0: buckets of very different sizes
      for (std::size_t i = 0; i < n; ++i) pts.push_back(atCosine(rng, std::pow(unit(rng), 8.0)));
      addTies(rng, pts, n / 20);
      return pts;
    case Family::LongVectors:  // squares overflow; some hostile and degenerate points
      for (std::size_t i = 0; i < n; ++i) {
        const HomVec4 p = rng() % 8 == 0 ? hostilePoint(rng) : sphericalPoint(rng);
        const double f = rng() % 2 == 0 ? 1e160 : 1.0;
        pts.push_back(HomVec4::init(f * p.x, f * p.y, f * p.z, f * p.w));
      }
      addTies(rng, pts, n / 10);
      return pts;
  }
  return pts;
}

std::vector<std::size_t> sorted(std::pmr::memory_resource& res, HomVec4 observer,
                                const std::vector<HomVec4>& pts) {
  auto result = kova_renderer::sortByFSDepth(res, observer, pts);
  EXPECT_TRUE(result.has_value());
  if (!result) return {};
  return std::vector<std::size_t>(result->begin(), result->end());
}

// Every family, at sizes around the small-input limit and far above it, in
// a resource that grants exactly one block: the literal insertion sort's
// permutation, with nothing asked for but the result.
TEST(DepthSortInPlace, InsertionSortPermutationFromOneBlock) {
  std::mt19937_64 rng(1313);
  const Family families[] = {Family::AllTied,  Family::TiedByRounding, Family::NearHalfPi,
                             Family::NearZero, Family::Clusters,       Family::Skewed,
                             Family::LongVectors};
  for (const Family f : families) {
    for (const std::size_t n : {std::size_t{70}, std::size_t{1100}}) {
      const std::vector<HomVec4> pts = family(rng, f, n);
      // The observer the cosines were built for, a random one, and one too long to square.
      const HomVec4 o = sphericalPoint(rng);
      const HomVec4 far_out = HomVec4::init(o.x * 1e200, o.y * 1e200, o.z * 1e200, o.w * 1e200);
      for (const HomVec4 observer : {kEye, o, far_out}) {
        kova_test::CountingResource counting;
        kova_test::RefusingResource one_block(1, true, &counting);
        ASSERT_EQ(sorted(one_block, observer, pts), kova_reference::sortByFSDepth(observer, pts))
            << "family " << static_cast<int>(f) << " n " << pts.size();
        EXPECT_EQ(one_block.attempts(), 1u);
        EXPECT_EQ(counting.outstandingBytes(), 0u);
      }
    }
  }
}

// Too large for the quadratic reference: a permutation in non-increasing
// distance, equal distances in input order.
TEST(DepthSortInPlace, LargeHardInputsAreStableDescendingPermutations) {
  std::mt19937_64 rng(77);
  for (const Family f :
       {Family::AllTied, Family::NearHalfPi, Family::NearZero, Family::Clusters, Family::Skewed}) {
    const std::vector<HomVec4> pts = family(rng, f, 200000);
    const std::vector<std::size_t> order = sorted(*std::pmr::new_delete_resource(), kEye, pts);
    ASSERT_EQ(order.size(), pts.size());
    std::vector<bool> seen(pts.size(), false);
    double prev = 0.0;
    for (std::size_t k = 0; k < order.size(); ++k) {
      ASSERT_LT(order[k], pts.size());
      ASSERT_FALSE(seen[order[k]]);
      seen[order[k]] = true;
      const double cur = fsDistance(kEye, pts[order[k]]);
      if (k > 0) {
        ASSERT_GE(prev, cur) << static_cast<int>(f) << " at " << k;
        if (prev == cur) {
          ASSERT_LT(order[k - 1], order[k]) << static_cast<int>(f) << " at " << k;
        }
      }
      prev = cur;
    }
  }
}

}  // namespace
