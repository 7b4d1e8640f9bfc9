// Allocation-fault injection on the two allocating operations. For every run
// the test first counts the allocations an unrestricted call makes, then
// repeats it with the k-th allocation refused, for every k up to that count,
// once refusing only that attempt and once refusing every attempt from it on.
// What must hold: OutOfMemory exactly where the operation cannot do without
// the memory, an unchanged state after it, a correct result otherwise, and
// zero bytes outstanding once the results are gone.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory_resource>
#include <ostream>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kova_kernel.hpp"
#include "kova_reference_renderer.hpp"
#include "kova_renderer.hpp"
#include "kova_rhi.hpp"
#include "kova_test_resources.hpp"

namespace {

using kova_kernel::HomVec4;
using kova_test::CountingResource;
using kova_test::RefusingResource;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// prefix, number, suffix (through a stream: GCC 12 warns falsely on some
// concatenations of string literals and std::string at -O3).
std::string label(const char* prefix, std::size_t n, const char* suffix) {
  std::ostringstream out;
  out << prefix << n << suffix;
  return out.str();
}

// Points with many equal distances (repeats and antipodes), so that a sort
// that loses stability or drops a tie shows up. With `with_nan` every fifth
// point has a NaN coordinate, whose distance collapses to 0.
std::vector<HomVec4> scene(std::size_t n, bool with_nan) {
  std::vector<HomVec4> pts;
  pts.reserve(n);
  std::uint64_t state = 0x9E3779B97F4A7C15ull ^ n;
  for (std::size_t i = 0; i < n; ++i) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    const auto r = static_cast<std::uint32_t>(state >> 33);
    if (with_nan && i % 5 == 4) {
      pts.push_back(HomVec4::init(kNaN, 0.0, 1.0, 1.0));
    } else if (i > 0 && r % 4 == 0) {
      const HomVec4 e = pts[r % i];
      pts.push_back(HomVec4::init(-e.x, -e.y, -e.z, -e.w));
    } else {
      const double z = -static_cast<double>(r % 61) / 16.0;
      pts.push_back(HomVec4::init(static_cast<double>(r % 7) / 8.0, 0.25, z, 1.0));
    }
  }
  return pts;
}

struct SortCase {
  std::size_t n;
  bool with_nan;
};

// GTest prints parameters it has no printer for as raw bytes, padding
// included, which reads uninitialised memory.
void PrintTo(const SortCase& c, std::ostream* os) { *os << c.n << (c.with_nan ? " with NaN" : ""); }

std::string sortCaseName(const ::testing::TestParamInfo<SortCase>& info) {
  return label("n", info.param.n, info.param.with_nan ? "_nan" : "");
}

class SortFaultInjection : public ::testing::TestWithParam<SortCase> {};

TEST_P(SortFaultInjection, RefusesOnlyTheIndexArrayAndLeaksNothing) {
  const auto [n, with_nan] = GetParam();
  const std::vector<HomVec4> pts = scene(n, with_nan);
  const HomVec4 observer = with_nan && n % 2 == 1 ? HomVec4::init(0.0, 0.0, kNaN, 1.0)
                                                  : HomVec4::init(0.0, 0.0, 0.0, 1.0);
  const std::vector<std::size_t> expected = kova_reference::sortByFSDepth(observer, pts);

  CountingResource baseline;
  {
    const auto result = kova_renderer::sortByFSDepth(baseline, observer, pts);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(std::vector<std::size_t>(result->begin(), result->end()), expected);
    // While the result lives, its storage is all that is held.
    EXPECT_EQ(baseline.outstandingBytes(), result->capacity() * sizeof(std::size_t));
  }
  EXPECT_EQ(baseline.outstandingBytes(), 0u);
  const std::size_t allocations = baseline.allocations();
  if (n == 0) {
    EXPECT_EQ(allocations, 0u);
  } else {
    EXPECT_GE(allocations, 1u);
  }
  // The index array, and at most one block of scratch.
  EXPECT_LE(allocations, 2u);

  for (std::size_t k = 0; k <= allocations; ++k) {
    for (const bool sticky : {false, true}) {
      SCOPED_TRACE(label("refused allocation ", k, sticky ? " and later" : ""));
      CountingResource counting;
      RefusingResource refusing(k, sticky, &counting);
      {
        const auto result = kova_renderer::sortByFSDepth(refusing, observer, pts);
        if (k == 0 && n > 0) {
          ASSERT_FALSE(result.has_value());
          EXPECT_EQ(result.error(), kova_kernel::Error::OutOfMemory);
          EXPECT_EQ(counting.outstandingBytes(), 0u);
        } else {
          ASSERT_TRUE(result.has_value());
          EXPECT_EQ(std::vector<std::size_t>(result->begin(), result->end()), expected);
          EXPECT_EQ(counting.outstandingBytes(), result->capacity() * sizeof(std::size_t));
        }
      }
      EXPECT_EQ(counting.outstandingBytes(), 0u);
      EXPECT_EQ(counting.liveBlocks(), 0u);
      EXPECT_EQ(counting.badDeallocations(), 0u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, SortFaultInjection,
                         ::testing::Values(SortCase{0, false}, SortCase{1, false},
                                           SortCase{2, false}, SortCase{3, true},
                                           SortCase{63, false}, SortCase{64, true},
                                           SortCase{65, false}, SortCase{65, true},
                                           SortCase{257, true}, SortCase{1000, false},
                                           SortCase{2500, false}, SortCase{2501, true}),
                         sortCaseName);

// ---- frame graph ----

using kova_rhi::FrameGraph;
using kova_rhi::FramePass;

struct GraphSnapshot {
  const FramePass* data;
  std::size_t size;
  std::size_t capacity;
  std::uint64_t frame_index;
  std::vector<std::string_view> names;

  static GraphSnapshot of(const FrameGraph& g) {
    GraphSnapshot s{g.passes.data(), g.passes.size(), g.passes.capacity(), g.frame_index, {}};
    for (const FramePass& p : g.passes) s.names.push_back(p.name);
    return s;
  }
  bool operator==(const GraphSnapshot&) const = default;
};

// `calls` addPass calls with an advanceFrame after every third one. Returns
// how many calls failed; checks each call against the resource's record.
std::size_t runPasses(FrameGraph& graph, const RefusingResource& refusing, std::size_t calls,
                      const std::vector<std::string>& names,
                      std::span<const kova_rhi::ImageId> images) {
  std::size_t failures = 0;
  for (std::size_t i = 0; i < calls; ++i) {
    const FramePass pass{names[i],
                         images.first(i % 3),
                         images.last(i % 2),
                         {},
                         static_cast<kova_rhi::PassType>(i % 9)};
    const GraphSnapshot before = GraphSnapshot::of(graph);
    const bool full = graph.passes.size() == graph.passes.capacity();
    const std::size_t attempts = refusing.attempts();
    const std::size_t refusals = refusing.refusals();
    const auto result = graph.addPass(pass);
    // An allocation is tried exactly when the array is full, and the call
    // fails exactly when that allocation is refused.
    EXPECT_EQ(refusing.attempts() != attempts, full) << "call " << i;
    const bool refused = refusing.refusals() != refusals;
    EXPECT_EQ(result.has_value(), !refused) << "call " << i;
    if (!result.has_value()) {
      ++failures;
      EXPECT_EQ(result.error(), kova_kernel::Error::OutOfMemory);
      EXPECT_TRUE(GraphSnapshot::of(graph) == before) << "call " << i;
    } else {
      EXPECT_EQ(graph.passCount(), before.size + 1);
      EXPECT_EQ(graph.passes.back().name, names[i]);
      EXPECT_EQ(graph.passes.back().reads.data(), pass.reads.data());
    }
    if (i % 3 == 2) graph.advanceFrame();
  }
  return failures;
}

TEST(FrameGraphFaultInjection, EveryRefusedGrowthLeavesTheGraphAsItWas) {
  const std::vector<kova_rhi::ImageId> images = {{1, 1}, {2, 1}, {3, 7}};
  for (const std::size_t calls : {1u, 2u, 5u, 17u, 64u, 300u}) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < calls; ++i) names.push_back(label("pass_", i, ""));

    // Unrestricted run: how many allocations the sequence makes.
    std::size_t allocations = 0;
    {
      CountingResource counting;
      RefusingResource never(std::numeric_limits<std::size_t>::max(), false, &counting);
      FrameGraph graph = FrameGraph::init(never);
      EXPECT_EQ(runPasses(graph, never, calls, names, images), 0u);
      EXPECT_EQ(graph.passCount(), calls);
      EXPECT_EQ(graph.frame_index, calls / 3);
      allocations = counting.allocations();
      graph.deinit();
      EXPECT_EQ(counting.outstandingBytes(), 0u);
    }
    ASSERT_GE(allocations, 1u);

    for (std::size_t k = 0; k < allocations; ++k) {
      for (const bool sticky : {false, true}) {
        SCOPED_TRACE(label("calls ", calls, "") + label(", refused allocation ", k, "") +
                     (sticky ? " and later" : ""));
        CountingResource counting;
        RefusingResource refusing(k, sticky, &counting);
        {
          FrameGraph graph = FrameGraph::init(refusing);
          EXPECT_EQ(refusing.attempts(), 0u);
          const std::size_t failures = runPasses(graph, refusing, calls, names, images);
          EXPECT_GE(failures, 1u);
          EXPECT_EQ(graph.passCount() + failures, calls);
          // A refused call changes nothing, frame counting included.
          EXPECT_EQ(graph.frame_index, calls / 3);
          if (!sticky) {
            EXPECT_EQ(failures, 1u);
          }
          if (k % 2 == 0) {
            graph.deinit();
            EXPECT_EQ(counting.outstandingBytes(), 0u);
            EXPECT_EQ(graph.passCount(), 0u);
          }
        }
        EXPECT_EQ(counting.outstandingBytes(), 0u);
        EXPECT_EQ(counting.liveBlocks(), 0u);
        EXPECT_EQ(counting.badDeallocations(), 0u);
      }
    }
  }
}

TEST(FrameGraphFaultInjection, ARefusingResourceStillGivesAUsableEmptyGraph) {
  CountingResource counting;
  RefusingResource refusing(0, true, &counting);
  {
    FrameGraph graph = FrameGraph::init(refusing);
    for (int i = 0; i < 3; ++i) {
      const auto result = graph.addPass(FramePass{"p", {}, {}, {}, kova_rhi::PassType::ui});
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error(), kova_kernel::Error::OutOfMemory);
    }
    graph.advanceFrame();
    EXPECT_EQ(graph.passCount(), 0u);
    EXPECT_EQ(graph.frame_index, 1u);
    graph.deinit();
    graph.deinit();
  }
  EXPECT_EQ(refusing.attempts(), 3u);
  EXPECT_EQ(counting.allocations(), 0u);
  EXPECT_EQ(counting.badDeallocations(), 0u);
}

}  // namespace
