// Formats, buffer and image descriptors, usage flags and resource handles.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>

#include "kova_rhi.hpp"

namespace {

using kova_rhi::BufferDescriptor;
using kova_rhi::BufferType;
using kova_rhi::Format;
using kova_rhi::HeapType;
using kova_rhi::ImageDescriptor;
using kova_rhi::ImageDimension;
using kova_rhi::ImageUsage;
using kova_rhi::ImageUsageFlag;

// The descriptor constructors and the format table are constant expressions.
static_assert(BufferDescriptor::initKovaPositions(3).size == 96);
static_assert(BufferDescriptor::initKovaTransforms(3).size == 384);
static_assert(ImageDescriptor::initKovaRenderTarget(8, 4).usage.bits == 0x95);
static_assert(kova_rhi::size(Format::depth32_float_stencil8_uint) == 8);
static_assert(kova_rhi::ImageId::invalid() == kova_rhi::ImageId{});

TEST(Format, SizeAndKovaTableCoversEveryValue) {
  struct Row {
    std::uint32_t size;
    bool kova;
  };
  // Indexed by enumerator value.
  constexpr std::array<Row, 21> table{
      {{0, false},  {1, false}, {2, false}, {4, false},  {4, false},  {2, false}, {4, false},
       {8, false},  {4, false}, {8, false}, {12, false}, {16, false}, {4, false}, {8, false},
       {16, false}, {2, false}, {4, false}, {4, false},  {8, false},  {32, true}, {128, true}}};
  for (std::size_t v = 0; v < table.size(); ++v) {
    const auto f = static_cast<Format>(v);
    EXPECT_EQ(kova_rhi::size(f), table[v].size) << "format " << v;
    EXPECT_EQ(kova_rhi::isKova(f), table[v].kova) << "format " << v;
  }
  EXPECT_EQ(static_cast<int>(Format::homvec4_f64), 19);
  EXPECT_EQ(static_cast<int>(Format::pgl4_f64), 20);
  // Bytes outside the enumeration have no size and are not projective.
  for (const int v : {21, 31, 255}) {
    EXPECT_EQ(kova_rhi::size(static_cast<Format>(v)), 0u);
    EXPECT_FALSE(kova_rhi::isKova(static_cast<Format>(v)));
  }
}

TEST(BufferDescriptor, ProjectiveAndUniformConstructors) {
  const auto positions = BufferDescriptor::initKovaPositions(1000);
  EXPECT_EQ(positions, (BufferDescriptor{.size = 32000,
                                         .stride = 32,
                                         .type = BufferType::kova_positions,
                                         .format = Format::homvec4_f64,
                                         .heap = HeapType::device_local,
                                         .dynamic = true}));
  const auto transforms = BufferDescriptor::initKovaTransforms(100);
  EXPECT_EQ(transforms, (BufferDescriptor{.size = 12800,
                                          .stride = 128,
                                          .type = BufferType::kova_transforms,
                                          .format = Format::pgl4_f64,
                                          .heap = HeapType::device_local,
                                          .dynamic = true}));
  const auto uniform = BufferDescriptor::initUniform(256);
  EXPECT_EQ(uniform, (BufferDescriptor{.size = 256,
                                       .stride = 0,
                                       .type = BufferType::uniform,
                                       .format = Format::undefined,
                                       .heap = HeapType::upload,
                                       .dynamic = true}));
  // A uniform size beyond 32 bits is carried unchanged.
  EXPECT_EQ(BufferDescriptor::initUniform(0x1'0000'0001ull).size, 0x1'0000'0001ull);

  // An empty buffer differs from any other count only in its size.
  auto empty = BufferDescriptor::initKovaPositions(0);
  EXPECT_EQ(empty.size, 0u);
  empty.size = 32000;
  EXPECT_EQ(empty, positions);
}

TEST(BufferDescriptor, ByteSizeIsExactBeyondThirtyTwoBits) {
  constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
  // Largest counts whose size still fits in 32 bits, then the first ones that do
  // not: a 32-bit product would give 0 for 2^27 points and 2^25 transforms.
  EXPECT_EQ(BufferDescriptor::initKovaPositions((1u << 27) - 1).size, 4294967264ull);
  EXPECT_EQ(BufferDescriptor::initKovaPositions(1u << 27).size, 1ull << 32);
  EXPECT_EQ(BufferDescriptor::initKovaPositions((1u << 27) + 1).size, (1ull << 32) + 32);
  EXPECT_EQ(BufferDescriptor::initKovaPositions(kMax).size, 137438953440ull);
  EXPECT_EQ(BufferDescriptor::initKovaTransforms((1u << 25) - 1).size, 4294967168ull);
  EXPECT_EQ(BufferDescriptor::initKovaTransforms(1u << 25).size, 1ull << 32);
  EXPECT_EQ(BufferDescriptor::initKovaTransforms(kMax).size, 549755813760ull);
  // The stride and the rest do not depend on the count.
  EXPECT_EQ(BufferDescriptor::initKovaTransforms(kMax).stride, 128u);
  EXPECT_EQ(BufferDescriptor::initKovaPositions(kMax).stride, 32u);
}

TEST(ImageUsage, FlagsSitAtTheirBitsAndComposeIndependently) {
  constexpr std::array<ImageUsageFlag, 8> flags{
      ImageUsageFlag::sampled,          ImageUsageFlag::storage,
      ImageUsageFlag::transfer_src,     ImageUsageFlag::transfer_dst,
      ImageUsageFlag::color_attachment, ImageUsageFlag::depth_stencil_attachment,
      ImageUsageFlag::input_attachment, ImageUsageFlag::kova_render_target};
  for (std::size_t k = 0; k < flags.size(); ++k) {
    const ImageUsage one = ImageUsage::init({flags[k]});
    EXPECT_EQ(one.bits, 1u << k);
    for (std::size_t j = 0; j < flags.size(); ++j) EXPECT_EQ(one.has(flags[j]), j == k);
    // Removing a flag touches no other bit.
    EXPECT_EQ(ImageUsage::init(0xFF).without(flags[k]).bits, 0xFF ^ (1u << k));
    EXPECT_EQ(one.with(flags[k]), one);
  }
  const ImageUsage some = ImageUsage::init(0x5A);
  EXPECT_EQ(some.sampled(), false);
  EXPECT_EQ(some.storage(), true);
  EXPECT_EQ(some.transferSrc(), false);
  EXPECT_EQ(some.transferDst(), true);
  EXPECT_EQ(some.colorAttachment(), true);
  EXPECT_EQ(some.depthStencilAttachment(), false);
  EXPECT_EQ(some.inputAttachment(), true);
  EXPECT_EQ(some.kovaRenderTarget(), false);
}

TEST(ImageUsage, RenderTargetPresetIs0x95) {
  const ImageUsage rt = ImageUsage::initKovaRenderTarget();
  EXPECT_EQ(rt.bits, 0x95);
  EXPECT_EQ(rt.bits, 149);
  EXPECT_TRUE(rt.sampled() && rt.transferSrc() && rt.colorAttachment() && rt.kovaRenderTarget());
  EXPECT_FALSE(rt.storage() || rt.transferDst() || rt.depthStencilAttachment() ||
               rt.inputAttachment());
}

TEST(ImageDescriptor, TwoDimensionalAndRenderTargetConstructors) {
  const auto rt = ImageDescriptor::initKovaRenderTarget(1920, 1080);
  EXPECT_EQ(rt.width, 1920u);
  EXPECT_EQ(rt.height, 1080u);
  EXPECT_EQ(rt.depth, 1u);
  EXPECT_EQ(rt.mip_levels, 1u);
  EXPECT_EQ(rt.array_layers, 1u);
  EXPECT_EQ(rt.dimension, ImageDimension::dim_2d);
  EXPECT_EQ(rt.format, Format::rgba16_float);
  EXPECT_EQ(rt.usage.bits, 0x95);
  EXPECT_EQ(rt, ImageDescriptor::init2D(Format::rgba16_float, 1920, 1080,
                                        ImageUsage::initKovaRenderTarget()));

  // init2D keeps width and height apart and passes format and usage through.
  const auto depth =
      ImageDescriptor::init2D(Format::depth32_float, 640, 480,
                              ImageUsage::init({ImageUsageFlag::depth_stencil_attachment}));
  EXPECT_EQ(depth.width, 640u);
  EXPECT_EQ(depth.height, 480u);
  EXPECT_EQ(depth.format, Format::depth32_float);
  EXPECT_EQ(depth.usage.bits, 0x20);
  EXPECT_EQ(static_cast<int>(depth.dimension), 1);
}

TEST(Handles, InvalidIsZeroAndKindsStayApart) {
  const auto none = kova_rhi::ImageId::invalid();
  EXPECT_EQ(none.id, 0u);
  EXPECT_EQ(none.generation, 0u);
  // A handle differing only in generation is another handle.
  EXPECT_NE((kova_rhi::ImageId{7, 1}), (kova_rhi::ImageId{7, 2}));
  static_assert(!std::is_same_v<kova_rhi::BufferId, kova_rhi::ImageId>);
  static_assert(!std::is_constructible_v<kova_rhi::ImageId, kova_rhi::BufferId>);
}

}  // namespace
