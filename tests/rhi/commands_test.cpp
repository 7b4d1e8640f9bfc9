// Pipeline handles, depth state and the tagged GPU command record.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "kova_rhi.hpp"

namespace {

using kova_rhi::BufferId;
using kova_rhi::CompareOp;
using kova_rhi::GpuCommand;
using kova_rhi::GpuCommandTag;
using kova_rhi::ImageId;
using kova_rhi::PipelineId;
using kova_rhi::PipelineType;

// The tag values and the vocabulary enums are part of the interface with the
// device layer, so their numbers are fixed here at compile time.
static_assert(static_cast<int>(GpuCommandTag::kova_upload_pgl4) == 8);
static_assert(static_cast<int>(GpuCommandTag::kova_render_geodesics) == 11);
static_assert(static_cast<int>(PipelineType::kova_projective) == 2);
static_assert(static_cast<int>(kova_rhi::PrimitiveTopology::geodesic_list) == 5);
static_assert(static_cast<int>(kova_rhi::BlendFactor::one_minus_src_alpha) == 3);
static_assert(static_cast<int>(CompareOp::greater_equal) == 6);
static_assert(static_cast<int>(CompareOp::always) == 7);
static_assert(kova_rhi::tagOf(GpuCommand{kova_rhi::DispatchCommand{}}) == GpuCommandTag::dispatch);

TEST(PipelineId, ValidExactlyWhenTheIdIsNonZero) {
  for (const auto type :
       {PipelineType::graphics, PipelineType::compute, PipelineType::kova_projective}) {
    EXPECT_TRUE((PipelineId{type, 1}).isValid());
    EXPECT_FALSE((PipelineId{type, 0}).isValid());
    // Ids that a 32-bit truncation would turn into 0 are still valid.
    EXPECT_TRUE((PipelineId{type, 1ull << 32}).isValid());
    EXPECT_TRUE((PipelineId{type, std::numeric_limits<std::uint64_t>::max()}).isValid());
  }
  EXPECT_FALSE(PipelineId{}.isValid());
}

TEST(DepthState, DefaultsAndFsDepthSwitch) {
  kova_rhi::DepthState state;
  EXPECT_TRUE(state.depth_test);
  EXPECT_TRUE(state.depth_write);
  EXPECT_EQ(state.depth_compare, CompareOp::less);
  EXPECT_FALSE(state.fs_depth);
  state.fs_depth = true;
  EXPECT_EQ(state, (kova_rhi::DepthState{.depth_test = true,
                                         .depth_write = true,
                                         .depth_compare = CompareOp::less,
                                         .fs_depth = true}));
}

TEST(GpuCommand, TagOfAgreesWithTheVariantIndex) {
  const std::array<ImageId, 1> targets{ImageId{3, 1}};
  const std::array<kova_kernel::PGL4, 1> transforms{kova_kernel::PGL4::identity()};
  const std::array<kova_kernel::HomVec4, 1> positions{kova_kernel::HomVec4::init(0, 0, 0, 1)};
  const std::vector<GpuCommand> commands{
      kova_rhi::ClearCommand{},
      kova_rhi::BeginPassCommand{targets, std::nullopt},
      kova_rhi::EndPassCommand{},
      PipelineId{PipelineType::compute, 4},
      kova_rhi::BindVertexBufferCommand{},
      kova_rhi::BindUniformCommand{},
      kova_rhi::DrawCommand{},
      kova_rhi::DispatchCommand{},
      kova_rhi::KovaUploadPgl4Command{BufferId{1, 1}, transforms},
      kova_rhi::KovaUploadPositionsCommand{BufferId{1, 1}, positions},
      kova_rhi::KovaComputeFsDistanceCommand{},
      kova_rhi::KovaRenderGeodesicsCommand{},
  };
  ASSERT_EQ(commands.size(), 12u);
  for (std::size_t k = 0; k < commands.size(); ++k) {
    EXPECT_EQ(commands[k].index(), k);
    EXPECT_EQ(static_cast<std::size_t>(kova_rhi::tagOf(commands[k])), k);
  }
}

TEST(GpuCommand, ClearAndUploadReportTheirTags) {
  const GpuCommand clear =
      kova_rhi::ClearCommand{.color_attachment = ImageId::invalid(), .a = 1.0f, .depth = 1.0f};
  EXPECT_EQ(kova_rhi::tagOf(clear), GpuCommandTag::clear);
  const auto& c = std::get<kova_rhi::ClearCommand>(clear);
  EXPECT_EQ(c.color_attachment, ImageId::invalid());
  EXPECT_EQ(c.r, 0.0f);
  EXPECT_EQ(c.a, 1.0f);
  EXPECT_EQ(c.depth, 1.0f);

  const std::array<kova_kernel::PGL4, 1> identity{kova_kernel::PGL4::identity()};
  const GpuCommand upload = kova_rhi::KovaUploadPgl4Command{BufferId{1, 1}, identity};
  EXPECT_EQ(kova_rhi::tagOf(upload), GpuCommandTag::kova_upload_pgl4);
  EXPECT_EQ(static_cast<int>(kova_rhi::tagOf(upload)), 8);
  const auto& u = std::get<kova_rhi::KovaUploadPgl4Command>(upload);
  EXPECT_EQ(u.buffer, (BufferId{1, 1}));
  ASSERT_EQ(u.transforms.size(), 1u);
  EXPECT_EQ(u.transforms[0], kova_kernel::PGL4::identity());
}

TEST(GpuCommand, CopiesShareTheViewedElements) {
  std::array<kova_kernel::HomVec4, 3> host{};
  const GpuCommand original = kova_rhi::KovaUploadPositionsCommand{BufferId{2, 5}, host};
  const GpuCommand copy = original;
  // Copy the bytes too: a command is trivially copyable and stays meaningful.
  GpuCommand bytes = kova_rhi::EndPassCommand{};
  std::memcpy(static_cast<void*>(&bytes), static_cast<const void*>(&original), sizeof(GpuCommand));

  host[1] = kova_kernel::HomVec4::init(1.0, -0.0, 2.5, 1.0);
  for (const GpuCommand* cmd : std::array<const GpuCommand*, 3>{&original, &copy, &bytes}) {
    ASSERT_EQ(kova_rhi::tagOf(*cmd), GpuCommandTag::kova_upload_positions);
    const auto& view = std::get<kova_rhi::KovaUploadPositionsCommand>(*cmd).positions;
    EXPECT_EQ(view.data(), host.data());
    EXPECT_EQ(view.size(), 3u);
    EXPECT_TRUE(std::signbit(view[1].y));
    EXPECT_EQ(view[1].z, 2.5);
  }
}

}  // namespace
