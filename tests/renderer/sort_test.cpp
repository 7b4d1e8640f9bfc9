// sortByFSDepth: documented cases, the permutation of the literal insertion
// sort on random and hostile input, allocation behaviour and a large input.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory_resource>
#include <new>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "hostile_inputs.hpp"
#include "kova_reference_renderer.hpp"
#include "kova_renderer.hpp"
#include "kova_test_resources.hpp"
#include "kova_test_values.hpp"

namespace {

using kova_kernel::HomVec4;
using kova_renderer::sortByFSDepth;
using kova_renderer_test::hostilePoint;
using kova_renderer_test::mixedPoints;
using kova_renderer_test::sphericalPoint;

using kova_test::CountingResource;
using kova_test::RefusingResource;
using kova_test::v;

const HomVec4 kEye = v(0, 0, 0, 1);
const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<std::size_t> sorted(HomVec4 observer, std::span<const HomVec4> pts) {
  auto result = sortByFSDepth(*std::pmr::new_delete_resource(), observer, pts);
  EXPECT_TRUE(result.has_value());
  if (!result) return {};
  return std::vector<std::size_t>(result->begin(), result->end());
}

TEST(DepthSort, DocumentedCases) {
  const HomVec4 pts[] = {v(0, 0, -0.5, 1).normalize(), v(0, 0, -0.1, 1).normalize(),
                         v(0, 0, -0.3, 1).normalize()};
  EXPECT_EQ(sorted(kEye, pts), (std::vector<std::size_t>{0, 2, 1}));
  EXPECT_EQ(sorted(kEye, std::span(pts, 1)), (std::vector<std::size_t>{0}));
  EXPECT_TRUE(sorted(kEye, {}).empty());
  // A point and its antipode keep their input order, either way round.
  const HomVec4 pair[] = {v(0.2, 0, 0, 1), v(-0.2, 0, 0, -1), v(0.5, 0, 0, 1)};
  EXPECT_EQ(sorted(kEye, pair), (std::vector<std::size_t>{2, 0, 1}));
}

TEST(DepthSort, MonotoneInputs) {
  for (std::size_t n : {std::size_t{10}, std::size_t{64}, std::size_t{65}, std::size_t{700}}) {
    std::vector<HomVec4> decreasing;
    for (std::size_t i = 0; i < n; ++i) {
      decreasing.push_back(v(1.0 - static_cast<double>(i) / static_cast<double>(n), 0, 0, 0.5));
    }
    std::vector<std::size_t> identity(n);
    for (std::size_t i = 0; i < n; ++i) identity[i] = i;
    EXPECT_EQ(sorted(kEye, decreasing), identity) << n;
    std::reverse(decreasing.begin(), decreasing.end());
    std::reverse(identity.begin(), identity.end());
    EXPECT_EQ(sorted(kEye, decreasing), identity) << n;
  }
}

// Inputs full of ties: points from a tiny lattice, antipodes, scaled copies,
// zero vectors (distance 0) and non-finite coordinates (distance 0 as well, or
// a finite distance when only the observer's zero components meet them).
std::vector<HomVec4> tiedPoints(std::mt19937_64& rng, std::size_t n) {
  std::uniform_int_distribution<int> lattice(-2, 2);
  std::uniform_int_distribution<int> kind(0, 6);
  std::vector<HomVec4> out;
  for (std::size_t i = 0; i < n; ++i) {
    switch (kind(rng)) {
      case 0:
        out.push_back(v(lattice(rng), lattice(rng), lattice(rng), lattice(rng)));
        break;
      case 1:
        if (!out.empty()) {
          const HomVec4 p = out[rng() % out.size()];
          out.push_back(v(-p.x, -p.y, -p.z, -p.w));  // antipode
        } else {
          out.push_back(v(0, 0, 0, 0));
        }
        break;
      case 2:
        if (!out.empty()) {
          const HomVec4 p = out[rng() % out.size()];
          out.push_back(v(4 * p.x, 4 * p.y, 4 * p.z, 4 * p.w));  // exact rescale
        } else {
          out.push_back(v(1, 0, 0, 0));
        }
        break;
      case 3:
        out.push_back(v(0, 0, 0, 0));
        break;
      case 4:
        out.push_back(hostilePoint(rng));
        break;
      default:
        out.push_back(sphericalPoint(rng));
        break;
    }
  }
  return out;
}

TEST(DepthSort, SamePermutationAsTheInsertionSort) {
  std::mt19937_64 rng(99);
  std::uniform_int_distribution<std::size_t> len(0, 2500);
  for (int round = 0; round < 60; ++round) {
    const std::size_t n = round < 20 ? static_cast<std::size_t>(round * 5) : len(rng);
    std::vector<HomVec4> pts;
    switch (round % 3) {
      case 0:
        pts = tiedPoints(rng, n);
        break;
      case 1:
        pts = mixedPoints(rng, n, 0.3);
        break;
      default:
        pts = mixedPoints(rng, n, 0.0);
        break;
    }
    HomVec4 observers[] = {kEye, sphericalPoint(rng), hostilePoint(rng), v(0, 0, 0, 0)};
    const HomVec4 observer = observers[round % 4];
    ASSERT_EQ(sorted(observer, pts), kova_reference::sortByFSDepth(observer, pts))
        << "round " << round << " n " << n;
  }
  // An observer with a NaN coordinate puts every distance at 0: the identity.
  const std::vector<HomVec4> pts = mixedPoints(rng, 500, 0.2);
  ASSERT_EQ(sorted(v(kNaN, 0, 0, 1), pts), kova_reference::sortByFSDepth(v(kNaN, 0, 0, 1), pts));
}

// Distances that agree in their high bits or their low bits only, so that the
// radix passes on uniform digits are skipped in different combinations.
TEST(DepthSort, KeysDifferingInFewDigits) {
  std::mt19937_64 rng(5);
  std::vector<HomVec4> same_high;  // tiny perturbations: only the low digits differ
  std::vector<HomVec4> coarse;     // a handful of distinct distances
  for (int i = 0; i < 1500; ++i) {
    same_high.push_back(v(0.5 + std::ldexp(static_cast<double>(rng() % 8), -50), 0, 0, 1));
    coarse.push_back(v(static_cast<double>(rng() % 3), 0, 0, 1));
  }
  EXPECT_EQ(sorted(kEye, same_high), kova_reference::sortByFSDepth(kEye, same_high));
  EXPECT_EQ(sorted(kEye, coarse), kova_reference::sortByFSDepth(kEye, coarse));
  const std::vector<HomVec4> all_equal(1000, v(0.3, 0.1, 0, 1));
  EXPECT_EQ(sorted(kEye, all_equal), kova_reference::sortByFSDepth(kEye, all_equal));
}

// Cosines a few ulps either side of values where a coarse key of the cosine
// would change, in shuffled order: their distances tie or nearly tie, so a
// sort that trusted the cosine's order there would differ from the reference.
TEST(DepthSort, NearlyEqualCosinesAroundKeyBoundaries) {
  std::mt19937_64 rng(23);
  std::vector<HomVec4> pts;
  for (double boundary : {0.25, 0.5, 0x1p-32, 0.75 + 0x1p-32, 1.0 - 0x1p-32, 0.0}) {
    for (int k = -6; k <= 6; ++k) {
      double c = boundary;
      for (int step = 0; step < std::abs(k); ++step) c = std::nextafter(c, k < 0 ? -1.0 : 2.0);
      if (c < 0.0 || c > 1.0) continue;
      pts.push_back(v(std::sqrt(1.0 - c * c), 0, 0, c));
      pts.push_back(v(0, 0, std::sqrt(1.0 - c * c), -c));
    }
  }
  for (int round = 0; round < 20; ++round) {
    std::shuffle(pts.begin(), pts.end(), rng);
    ASSERT_EQ(sorted(kEye, pts), kova_reference::sortByFSDepth(kEye, pts)) << round;
  }
}

TEST(DepthSort, ScratchIsReleasedAndTheResultUsesTheCallersResource) {
  std::mt19937_64 rng(3);
  for (std::size_t n : {std::size_t{0}, std::size_t{40}, std::size_t{5000}}) {
    const std::vector<HomVec4> pts = mixedPoints(rng, n, 0.1);
    CountingResource res;
    {
      auto result = sortByFSDepth(res, kEye, pts);
      ASSERT_TRUE(result.has_value());
      EXPECT_EQ(result->get_allocator().resource(), &res);
      EXPECT_EQ(result->size(), n);
      // Only the index array is still live.
      EXPECT_EQ(res.liveBlocks(), n == 0 ? 0u : 1u);
      EXPECT_EQ(res.outstandingBytes(), n * sizeof(std::size_t));
    }
    EXPECT_EQ(res.outstandingBytes(), 0u);
    EXPECT_EQ(res.liveBlocks(), 0u);
    EXPECT_EQ(res.badDeallocations(), 0u);
  }
}

TEST(DepthSort, RefusedScratchStillGivesTheFullOrder) {
  std::mt19937_64 rng(11);
  const std::vector<HomVec4> pts = tiedPoints(rng, 900);
  RefusingResource only_indices(1);  // the first allocation succeeds, every later one is refused
  auto result = sortByFSDepth(only_indices, kEye, pts);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(only_indices.refusals(), 0u);  // nothing but the index array is asked for
  EXPECT_EQ(std::vector<std::size_t>(result->begin(), result->end()),
            kova_reference::sortByFSDepth(kEye, pts));
}

TEST(DepthSort, RefusedIndexArrayIsOutOfMemory) {
  const std::vector<HomVec4> pts(3, v(1, 0, 0, 1));
  CountingResource counting;
  RefusingResource none(0, true, &counting);
  auto result = sortByFSDepth(none, kEye, pts);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), kova_kernel::Error::OutOfMemory);
  EXPECT_EQ(none.refusals(), 1u);  // nothing else was tried
  EXPECT_EQ(counting.outstandingBytes(), 0u);
  // An empty input needs no memory at all.
  EXPECT_TRUE(sortByFSDepth(none, kEye, {}).has_value());
}

// Too large for the quadratic reference: checked by its defining properties.
TEST(DepthSort, LargeInputIsAStableDescendingPermutation) {
  std::mt19937_64 rng(17);
  std::vector<HomVec4> pts = mixedPoints(rng, 200000, 0.01);
  for (std::size_t i = 0; i < pts.size(); i += 97) pts[i] = pts[(i * 31) % pts.size()];
  const HomVec4 observer = sphericalPoint(rng);
  const std::vector<std::size_t> order = sorted(observer, pts);
  ASSERT_EQ(order.size(), pts.size());
  std::vector<bool> seen(pts.size(), false);
  for (std::size_t k = 0; k < order.size(); ++k) {
    ASSERT_LT(order[k], pts.size());
    ASSERT_FALSE(seen[order[k]]);
    seen[order[k]] = true;
    if (k == 0) continue;
    const double prev = kova_kernel::fsDistance(observer, pts[order[k - 1]]);
    const double cur = kova_kernel::fsDistance(observer, pts[order[k]]);
    ASSERT_GE(prev, cur) << k;
    if (prev == cur) {
      ASSERT_LT(order[k - 1], order[k]) << k;
    }
  }
}

}  // namespace
