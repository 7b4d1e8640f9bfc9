// The arithmetic of the device's memory blocks: random sequences of
// allocations and frees never overlap, keep every alignment and give every
// byte back; and the device's blocks return to the driver once emptied.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "hostile_input.hpp"
#include "kova_vulkan_device.hpp"
#include "vulkan_memory.hpp"
#include "vulkan_test_device.hpp"

namespace {

using kova_device::RangeAllocator;

TEST(VulkanMemory, RandomRangesNeverOverlapKeepAlignmentAndAllReturn) {
  constexpr std::uint64_t kCapacity = 1 << 20;
  for (std::uint32_t seed = 1; seed <= 20; ++seed) {
    std::mt19937_64 rng(seed);
    RangeAllocator ranges(kCapacity);
    std::map<std::uint64_t, std::uint64_t> live;  // offset -> bytes
    for (int step = 0; step < 2000; ++step) {
      if (!live.empty() && rng() % 5 < 2) {
        auto it = live.begin();
        std::advance(it, static_cast<long>(rng() % live.size()));
        ranges.free(it->first);
        live.erase(it);
        continue;
      }
      const std::uint64_t bytes = 1 + rng() % (rng() % 8 == 0 ? 65536 : 700);
      const std::uint64_t alignment = std::uint64_t{1} << (rng() % 13);
      const auto at = ranges.allocate(bytes, alignment);
      if (!at) {
        // Refused only when no free range could hold it even unaligned.
        EXPECT_LT(ranges.freeBytes(), kCapacity) << "seed " << seed;
        continue;
      }
      ASSERT_EQ(*at % alignment, 0u) << "seed " << seed << ", step " << step;
      ASSERT_LE(*at + bytes, kCapacity);
      const auto next = live.lower_bound(*at);
      if (next != live.end()) {
        ASSERT_LE(*at + bytes, next->first) << "seed " << seed;
      }
      if (next != live.begin()) {
        const auto prev = std::prev(next);
        ASSERT_LE(prev->first + prev->second, *at) << "seed " << seed;
      }
      live.emplace(*at, bytes);
      std::uint64_t used = 0;
      for (const auto& [offset, n] : live) used += n;
      ASSERT_EQ(ranges.freeBytes(), kCapacity - used);
    }
    for (const auto& [offset, bytes] : live) ranges.free(offset);
    EXPECT_EQ(ranges.liveRanges(), 0u);
    EXPECT_EQ(ranges.freeBytes(), kCapacity);
    // Everything merged back: the whole block fits again.
    EXPECT_EQ(ranges.allocate(kCapacity, 1), 0u) << "seed " << seed;
  }
}

TEST(VulkanMemory, FirstFitReusesTheFreedGapAndRefusesWhatDoesNotFit) {
  RangeAllocator ranges(4096);
  EXPECT_EQ(ranges.allocate(1000, 1), 0u);
  EXPECT_EQ(ranges.allocate(100, 256), 1024u);
  EXPECT_EQ(ranges.allocate(3000, 1), std::nullopt);
  ranges.free(0);
  ranges.free(12345);  // not given: ignored
  EXPECT_EQ(ranges.allocate(512, 512), 0u);
  EXPECT_EQ(ranges.allocate(400, 128), 512u);   // the rest of the gap
  EXPECT_EQ(ranges.allocate(600, 128), 1152u);  // after the 256-aligned range
  EXPECT_EQ(ranges.liveRanges(), 4u);
}

TEST(VulkanMemory, SmallResourcesShareBlocksThatGoBackOnceEmpty) {
  KOVA_VULKAN_DEVICE_OR_SKIP(vk);
  const std::uint64_t blocks = vk.memoryBlocks();
  const std::uint64_t slices = vk.liveAllocations();
  std::vector<kova_device::BufferId> buffers;
  for (int i = 0; i < 300; ++i) {
    auto made = vk.createBuffer(kova_hostile::storageBuffer(54 * (i + 1)));
    ASSERT_TRUE(made) << made.error();
    buffers.push_back(*made);
  }
  // About 19 MiB of 432-byte steps in all: one shared block besides those already there.
  EXPECT_LE(vk.memoryBlocks(), blocks + 1);
  EXPECT_EQ(vk.liveAllocations(), slices + 300);
  // Buffers larger than half a block get blocks of their own.
  auto large = vk.createBuffer(kova_hostile::storageBuffer(5u << 20));
  ASSERT_TRUE(large) << large.error();
  EXPECT_LE(vk.memoryBlocks(), blocks + 2);
  ASSERT_TRUE(vk.releaseBuffer(*large));
  for (const auto id : buffers) ASSERT_TRUE(vk.releaseBuffer(id));
  EXPECT_LE(vk.memoryBlocks(), std::max<std::uint64_t>(blocks, 1));
  EXPECT_EQ(vk.liveAllocations(), slices);
  EXPECT_VALIDATION_SILENT(vk);
}

}  // namespace
