// The barrier rules on random access sequences, checked against the whole
// history rather than the rules' own summary of it: every pair of accesses
// that conflicts (one of them writes, or a layout changes) is ordered by a
// chain of barriers, every write is made available and then visible to each
// later access, and a read that conflicts with nothing gets no barrier.
#include <gtest/gtest.h>

#include <random>

#include "vulkan_barriers.hpp"

namespace {

using kova_device::Access;
using kova_device::Dependency;

bool covers(VkFlags64 outer, VkFlags64 inner) { return (inner & ~outer) == 0; }

struct Step {
  Access a;
  bool writes = false;
  bool relayout = false;
  std::optional<Dependency> dep;
};

// Runs `n` random accesses on one buffer or image and checks every pair.
void checkSequence(std::mt19937_64& rng, bool image, std::size_t n, std::uint64_t seed) {
  const Access buffer_kinds[] = {kova_device::kTransferRead, kova_device::kTransferWrite,
                                 kova_device::kComputeRead,  kova_device::kComputeWrite,
                                 kova_device::kVertexRead,   kova_device::kIndirectRead,
                                 kova_device::kHostRead};
  const Access image_kinds[] = {kova_device::kTransferRead, kova_device::kTransferWrite,
                                kova_device::kColorAttachment, kova_device::kDepthAttachment};
  kova_device::SyncState state;
  VkImageLayout layout = VK_IMAGE_LAYOUT_UNDEFINED;
  std::vector<Step> steps;
  for (std::size_t j = 0; j < n; ++j) {
    // Runs of the same read make read-after-read common.
    Access a = image ? image_kinds[rng() % std::size(image_kinds)]
                     : buffer_kinds[rng() % std::size(buffer_kinds)];
    if (j > 0 && rng() % 3 == 0) a = steps[rng() % j].a;
    Step s{a, (a.access & kova_device::kWriteAccess) != 0, image && layout != a.layout, {}};
    s.dep = kova_device::noteAccess(state, image ? &layout : nullptr, a);
    if (image) {
      ASSERT_EQ(layout, a.layout);
    }
    steps.push_back(s);
  }
  if (image) {  // the layout a barrier names as old is the one before it
    VkImageLayout before = VK_IMAGE_LAYOUT_UNDEFINED;
    for (const Step& s : steps) {
      if (s.dep) {
        ASSERT_EQ(s.dep->old_layout, before) << "seed " << seed;
      }
      before = s.a.layout;
    }
  }
  // after[i][k]: the barrier before access k runs after access i, directly
  // or through a chain of barriers.
  std::vector<std::vector<bool>> after(n, std::vector<bool>(n, false));
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t k = i + 1; k < n; ++k) {
      if (!steps[k].dep) continue;
      bool ordered = covers(steps[k].dep->src_stages, steps[i].a.stages);
      for (std::size_t m = i + 1; m < k && !ordered; ++m)
        ordered = after[i][m] && covers(steps[k].dep->src_stages, steps[m].a.stages);
      after[i][k] = ordered;
    }
  }
  for (std::size_t j = 0; j < n; ++j) {
    const Step& sj = steps[j];
    for (std::size_t i = 0; i < j; ++i) {
      const Step& si = steps[i];
      if (!(si.writes || sj.writes || sj.relayout)) {
        // Two reads; only the layout change before i (a write made by
        // barrier i itself) may need ordering, and barrier i orders what its
        // destination holds.
        if (si.relayout && !covers(si.a.stages, sj.a.stages)) {
          bool chained = false;
          for (std::size_t k = i + 1; k <= j; ++k)
            chained = chained || (after[i][k] && covers(steps[k].a.stages, sj.a.stages));
          ASSERT_TRUE(chained) << "seed " << seed << ": read " << j << " races layout " << i;
        }
        continue;
      }
      // Available: a barrier straight after the write names its access.
      bool available = !si.writes;
      for (std::size_t k = i + 1; k <= j && !available; ++k) {
        available = steps[k].dep && covers(steps[k].dep->src_stages, si.a.stages) &&
                    covers(steps[k].dep->src_access, si.a.access & kova_device::kWriteAccess);
      }
      // Ordered: a barrier after i whose destination holds access j; visible:
      // one whose destination also holds what j does to the memory.
      bool ordered = false, visible = !si.writes;
      for (std::size_t k = i + 1; k <= j; ++k) {
        if (!after[i][k] || !covers(steps[k].a.stages, sj.a.stages)) continue;
        ordered = true;
        visible = visible || covers(steps[k].a.access, sj.a.access);
      }
      ASSERT_TRUE(ordered) << "seed " << seed << ": access " << j << " not ordered after " << i;
      ASSERT_TRUE(available && (visible || sj.relayout))
          << "seed " << seed << ": write " << i << " not visible to access " << j;
    }
    // A read after reads, or after a write already made visible to this very
    // kind of access, needs nothing.
    if (!sj.writes && !sj.relayout) {
      bool needs = false;
      for (std::size_t i = j; i-- > 0 && !needs;) {
        if (steps[i].a.stages == sj.a.stages && steps[i].a.access == sj.a.access &&
            steps[i].dep) {
          break;  // an earlier identical access got the barrier this one needs
        }
        needs = steps[i].writes || steps[i].relayout;
      }
      EXPECT_EQ(sj.dep.has_value(), needs) << "seed " << seed << ": read " << j;
    }
  }
}

TEST(VulkanBarriers, EveryConflictIsOrderedAndNoReadAfterReadWaits) {
  for (std::uint64_t seed = 1; seed <= 400; ++seed) {
    std::mt19937_64 rng(seed);
    checkSequence(rng, seed % 2 == 0, 40, seed);
  }
}

}  // namespace
