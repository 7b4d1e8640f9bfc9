// The frame graph: insertion order, the frame counter, allocation through the
// host's resource, refusal without change, and release of every byte.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "kova_rhi.hpp"
#include "kova_test_resources.hpp"

namespace {

using kova_rhi::FrameGraph;
using kova_rhi::FramePass;
using kova_rhi::ImageId;
using kova_rhi::PassType;
using kova_test::CountingResource;
using kova_test::RefusingResource;

static_assert(!std::is_copy_constructible_v<FrameGraph> && !std::is_copy_assignable_v<FrameGraph>);
static_assert(std::is_nothrow_move_constructible_v<FrameGraph> &&
              std::is_nothrow_move_assignable_v<FrameGraph>);

TEST(FrameGraph, NewGraphIsEmptyAndAllocatesNothing) {
  CountingResource counting;
  FrameGraph graph = FrameGraph::init(counting);
  EXPECT_EQ(graph.passCount(), 0u);
  EXPECT_EQ(graph.frame_index, 0u);
  graph.deinit();
  EXPECT_EQ(counting.allocations(), 0u);
  EXPECT_EQ(counting.deallocations(), 0u);
}

TEST(FrameGraph, AdvanceFrameKeepsThePasses) {
  CountingResource counting;
  FrameGraph graph = FrameGraph::init(counting);
  ASSERT_TRUE(graph.addPass(FramePass{.name = "clear_pass", .pass_type = PassType::clear}));
  ASSERT_TRUE(
      graph.addPass(FramePass{.name = "geodesic_pass", .pass_type = PassType::kova_geodesic}));
  EXPECT_EQ(graph.passCount(), 2u);
  graph.advanceFrame();
  EXPECT_EQ(graph.frame_index, 1u);
  EXPECT_EQ(graph.passCount(), 2u);
  graph.advanceFrame();
  graph.advanceFrame();
  EXPECT_EQ(graph.frame_index, 3u);
  EXPECT_EQ(graph.passes[0].name, "clear_pass");
  EXPECT_EQ(graph.passes[1].pass_type, PassType::kova_geodesic);
  graph.deinit();
  EXPECT_EQ(counting.outstandingBytes(), 0u);
}

TEST(FrameGraph, PassesKeepInsertionOrderAndBorrowHostMemory) {
  // The host's memory: names, image lists and commands that the passes view.
  std::vector<std::string> names;
  for (int i = 0; i < 100; ++i) names.push_back("pass_" + std::to_string(i));
  const std::array<ImageId, 2> gbuffer{ImageId{10, 1}, ImageId{11, 1}};
  const std::array<ImageId, 1> hdr{ImageId{12, 1}};
  const std::array<kova_rhi::GpuCommand, 2> commands{
      kova_rhi::ClearCommand{.color_attachment = hdr[0]}, kova_rhi::EndPassCommand{}};

  CountingResource counting;
  FrameGraph graph = FrameGraph::init(counting);
  for (int i = 0; i < 100; ++i) {
    // Alternate the read and write lists: a pass that reads what a later one
    // writes still stays in front of it.
    const bool even = i % 2 == 0;
    const FramePass pass{.name = names[static_cast<std::size_t>(i)],
                         .reads = even ? std::span<const ImageId>(hdr) : gbuffer,
                         .writes = even ? std::span<const ImageId>(gbuffer) : hdr,
                         .commands = commands,
                         .pass_type = static_cast<PassType>(i % 9)};
    ASSERT_TRUE(graph.addPass(pass).has_value());
  }
  ASSERT_EQ(graph.passCount(), 100u);
  // The array grew several times, and each growth went through the resource.
  EXPECT_GT(counting.allocations(), 1u);
  for (std::size_t i = 0; i < 100; ++i) {
    const FramePass& p = graph.passes[i];
    EXPECT_EQ(p.name, names[i]);
    EXPECT_EQ(p.name.data(), names[i].data());  // a view, not a copy of the characters
    EXPECT_EQ(p.pass_type, static_cast<PassType>(i % 9));
    EXPECT_EQ(p.reads.data(), i % 2 == 0 ? hdr.data() : gbuffer.data());
    EXPECT_EQ(p.commands.data(), commands.data());
    EXPECT_EQ(p.commands.size(), 2u);
  }
  graph.deinit();
  EXPECT_EQ(graph.passCount(), 0u);
  EXPECT_EQ(counting.outstandingBytes(), 0u);
  EXPECT_EQ(counting.deallocations(), counting.allocations());
}

// FramePass::init views exactly what brace initialisation would, from every
// kind of borrowed argument: named arrays and containers, spans, {} for none,
// and literal, pointer, named string and string_view names.
TEST(FrameGraph, PassInitViewsTheHostArraysItIsGiven) {
  static constexpr std::array<ImageId, 2> kReads{ImageId{1, 1}, ImageId{2, 1}};
  constexpr FramePass constant = FramePass::init("c", kReads, {}, {}, PassType::ui);
  static_assert(constant.name == "c" && constant.reads.data() == kReads.data() &&
                constant.reads.size() == 2 && constant.writes.empty() &&
                constant.commands.empty() && constant.pass_type == PassType::ui);

  const std::vector<kova_rhi::GpuCommand> commands{kova_rhi::EndPassCommand{}};
  ImageId writes[3]{};
  const std::string name = "named";
  const char* const pointer = "pointer";
  const FramePass cases[] = {
      FramePass::init("literal", kReads, writes, commands, PassType::geometry),
      FramePass::init(name, std::span<const ImageId>(kReads), {}, std::span(commands),
                      PassType::lighting),
      FramePass::init(pointer, {}, writes, commands, PassType::kova_geodesic),
      FramePass::init(std::string_view(name), {}, {}, commands, PassType::clear),
  };
  const FramePass expected[] = {
      {"literal", kReads, writes, commands, PassType::geometry},
      {name, kReads, {}, commands, PassType::lighting},
      {pointer, {}, writes, commands, PassType::kova_geodesic},
      {name, {}, {}, commands, PassType::clear},
  };
  for (std::size_t i = 0; i < 4; ++i) {
    const FramePass& got = cases[i];
    const FramePass& want = expected[i];
    EXPECT_EQ(got.name.data(), want.name.data()) << i;
    EXPECT_EQ(got.name.size(), want.name.size()) << i;
    EXPECT_EQ(got.reads.data(), want.reads.data()) << i;
    EXPECT_EQ(got.reads.size(), want.reads.size()) << i;
    EXPECT_EQ(got.writes.data(), want.writes.data()) << i;
    EXPECT_EQ(got.writes.size(), want.writes.size()) << i;
    EXPECT_EQ(got.commands.data(), want.commands.data()) << i;
    EXPECT_EQ(got.commands.size(), want.commands.size()) << i;
    EXPECT_EQ(got.pass_type, want.pass_type) << i;
  }
  EXPECT_EQ(cases[0].writes.size(), 3u);
  EXPECT_EQ(cases[2].name, "pointer");
}

TEST(FrameGraph, RefusedFirstAllocationLeavesTheGraphEmpty) {
  RefusingResource refusing(0);
  FrameGraph graph = FrameGraph::init(refusing);
  graph.advanceFrame();
  const auto result = graph.addPass(FramePass{.name = "clear_pass"});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), kova_kernel::Error::OutOfMemory);
  EXPECT_EQ(graph.passCount(), 0u);
  EXPECT_EQ(graph.frame_index, 1u);
  EXPECT_EQ(refusing.refusals(), 1u);
}

TEST(FrameGraph, RefusedGrowthLeavesEveryPassInPlace) {
  CountingResource counting;
  // Each refusal point in turn: the k-th growth of the array fails once.
  for (std::size_t k = 0; k < 6; ++k) {
    RefusingResource refusing(k, /*sticky=*/false, &counting);
    FrameGraph graph = FrameGraph::init(refusing);
    graph.advanceFrame();
    graph.advanceFrame();
    std::size_t added = 0;
    while (refusing.refusals() == 0) {
      const std::vector<FramePass> before(graph.passes.begin(), graph.passes.end());
      const FramePass* const storage = graph.passes.data();
      const auto result =
          graph.addPass(FramePass{.name = "p", .pass_type = static_cast<PassType>(added % 9)});
      if (result) {
        ++added;
        continue;
      }
      EXPECT_EQ(result.error(), kova_kernel::Error::OutOfMemory);
      // Same passes in the same storage, same frame counter.
      ASSERT_EQ(graph.passCount(), before.size());
      EXPECT_EQ(graph.passes.data(), storage);
      for (std::size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(graph.passes[i].pass_type, before[i].pass_type);
        EXPECT_EQ(graph.passes[i].name.data(), before[i].name.data());
      }
      EXPECT_EQ(graph.frame_index, 2u);
    }
    EXPECT_EQ(refusing.refusals(), 1u);
    // Once the resource gives memory again, the same pass goes in.
    ASSERT_TRUE(graph.addPass(FramePass{.name = "after", .pass_type = PassType::ui}));
    EXPECT_EQ(graph.passCount(), added + 1);
    EXPECT_EQ(graph.passes.back().name, "after");
    graph.deinit();
    EXPECT_EQ(counting.outstandingBytes(), 0u) << "refusal at growth " << k;
  }
  EXPECT_EQ(counting.badDeallocations(), 0u);
}

TEST(FrameGraph, DestructionReleasesEverythingExactlyOnce) {
  CountingResource counting;
  {
    FrameGraph graph = FrameGraph::init(counting);
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(graph.addPass(FramePass{}));
  }  // no deinit: the destructor releases the storage
  EXPECT_GT(counting.bytesAllocated(), 0u);
  EXPECT_EQ(counting.outstandingBytes(), 0u);
  {
    FrameGraph graph = FrameGraph::init(counting);
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(graph.addPass(FramePass{}));
    graph.deinit();
    graph.deinit();  // a second deinit has nothing left to release
  }                  // nor does the destructor
  EXPECT_EQ(counting.outstandingBytes(), 0u);
  EXPECT_EQ(counting.liveBlocks(), 0u);
  EXPECT_EQ(counting.badDeallocations(), 0u);
}

TEST(FrameGraph, MovesTransferStorageWithoutAllocating) {
  CountingResource first;
  CountingResource second;
  FrameGraph a = FrameGraph::init(first);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(a.addPass(FramePass{.pass_type = PassType::lighting}));
  a.advanceFrame();
  const std::size_t allocations = first.allocations();

  FrameGraph b(std::move(a));
  EXPECT_EQ(b.passCount(), 5u);
  EXPECT_EQ(b.frame_index, 1u);
  EXPECT_EQ(first.allocations(), allocations);

  // Assigning into a graph on another resource gives that graph's storage back
  // to its own resource and takes over the other's storage and resource.
  FrameGraph c = FrameGraph::init(second);
  ASSERT_TRUE(c.addPass(FramePass{}));
  c = std::move(b);
  EXPECT_EQ(second.outstandingBytes(), 0u);
  EXPECT_EQ(first.allocations(), allocations);
  EXPECT_EQ(c.passCount(), 5u);
  EXPECT_EQ(c.passes[4].pass_type, PassType::lighting);
  EXPECT_EQ(c.frame_index, 1u);
  ASSERT_TRUE(c.addPass(FramePass{}));  // grows through the first resource now
  EXPECT_EQ(second.allocations(), 1u);

  // Moved-from graphs are empty and remain usable until destroyed.
  EXPECT_EQ(a.passCount(), 0u);
  EXPECT_EQ(b.passCount(), 0u);
  EXPECT_EQ(b.frame_index, 0u);
  c.deinit();
  a.deinit();
  b.deinit();
  EXPECT_EQ(first.outstandingBytes(), 0u);
  EXPECT_EQ(first.badDeallocations() + second.badDeallocations(), 0u);
}

}  // namespace
