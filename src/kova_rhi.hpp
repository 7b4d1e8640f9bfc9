// kova_rhi: the vocabulary in which a host describes GPU work to its device
// layer: formats, resource descriptors, handles, pipelines, depth state, GPU
// commands and the frame graph. Everything is a plain value; nothing here talks
// to a device.
//
// Ownership: every record here is a plain value, except FrameGraph, which owns
// the storage of its pass array. Records that hold sequences or strings
// (BeginPassCommand, KovaUploadPgl4Command, KovaUploadPositionsCommand,
// FramePass) only borrow them as std::span / std::string_view: copying such a
// record copies the view, never the elements, so the host keeps the viewed
// memory alive for as long as the record (or a graph holding it) is in use.
#pragma once

// A clear refusal for hosts built as C++20 or older, in place of the errors the
// declarations below would give there.
#include <version>
#if __cplusplus <= 202002L || !defined(__cpp_lib_expected)
#ifndef KOVA_NEEDS_CXX23_SAID  // said once, whichever kova header comes first
#define KOVA_NEEDS_CXX23_SAID
#error "kova needs C++23 (compile with -std=c++23)"
#endif
#else

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <initializer_list>
#include <memory_resource>
#include <optional>
#include <ranges>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "kova_kernel.hpp"

namespace kova_rhi {

// The kernel's element types, named here as the upload commands use them.
using kova_kernel::HomVec4;
using kova_kernel::PGL4;

// Element and pixel formats. homvec4_f64 is one kova_kernel::HomVec4 (32 bytes)
// and pgl4_f64 one kova_kernel::PGL4 (128 bytes), uploaded unchanged.
enum class Format : std::uint8_t {
  undefined = 0,
  r8_unorm = 1,
  rg8_unorm = 2,
  rgba8_unorm = 3,
  rgba8_srgb = 4,
  r16_float = 5,
  rg16_float = 6,
  rgba16_float = 7,
  r32_float = 8,
  rg32_float = 9,
  rgb32_float = 10,
  rgba32_float = 11,
  r32_uint = 12,
  rg32_uint = 13,
  rgba32_uint = 14,
  depth16_unorm = 15,
  depth24_unorm_stencil8_uint = 16,
  depth32_float = 17,
  depth32_float_stencil8_uint = 18,
  homvec4_f64 = 19,
  pgl4_f64 = 20,
};

// Bytes per element or pixel; 0 for undefined (and for values outside the enumeration).
[[nodiscard]] constexpr std::uint32_t size(Format f) noexcept {
  switch (f) {
    case Format::undefined:
      return 0;
    case Format::r8_unorm:
      return 1;
    case Format::rg8_unorm:
      return 2;
    case Format::rgba8_unorm:
      return 4;
    case Format::rgba8_srgb:
      return 4;
    case Format::r16_float:
      return 2;
    case Format::rg16_float:
      return 4;
    case Format::rgba16_float:
      return 8;
    case Format::r32_float:
      return 4;
    case Format::rg32_float:
      return 8;
    case Format::rgb32_float:
      return 12;
    case Format::rgba32_float:
      return 16;
    case Format::r32_uint:
      return 4;
    case Format::rg32_uint:
      return 8;
    case Format::rgba32_uint:
      return 16;
    case Format::depth16_unorm:
      return 2;
    case Format::depth24_unorm_stencil8_uint:
      return 4;
    case Format::depth32_float:
      return 4;
    case Format::depth32_float_stencil8_uint:
      return 8;
    case Format::homvec4_f64:
      return 32;
    case Format::pgl4_f64:
      return 128;
  }
  return 0;
}

// True exactly for the two projective formats.
[[nodiscard]] constexpr bool isKova(Format f) noexcept {
  return f == Format::homvec4_f64 || f == Format::pgl4_f64;
}

static_assert(sizeof(Format) == 1);
static_assert(size(Format::homvec4_f64) == sizeof(HomVec4), "one element is one HomVec4");
static_assert(size(Format::pgl4_f64) == sizeof(PGL4), "one element is one PGL4");

// ---------------------------------------------------------------------------
// Buffers

enum class BufferType : std::uint8_t {
  vertex = 0,
  index = 1,
  uniform = 2,
  storage = 3,
  kova_positions = 4,   // HomVec4 points, format homvec4_f64
  kova_transforms = 5,  // PGL4 transforms, format pgl4_f64
};

enum class HeapType : std::uint8_t { device_local = 0, upload = 1, readback = 2 };

// What a GPU buffer holds and where it lives. The default value is an empty,
// unstructured, static vertex buffer in device-local memory.
struct BufferDescriptor {
  std::uint64_t size = 0;                  // total bytes
  std::uint64_t stride = 0;                // bytes per element; 0 for unstructured data
  BufferType type = BufferType::vertex;    // what the buffer holds
  Format format = Format::undefined;       // element format; undefined when there is none
  HeapType heap = HeapType::device_local;  // memory it lives in
  bool dynamic = false;                    // the host rewrites the contents over time

  // count HomVec4 points, rewritten by the host every frame. The byte size is
  // computed in 64 bits, so every 32-bit count gets its true size (a 32-bit
  // product would wrap above 2^27 - 1 points and describe too small a buffer).
  [[nodiscard]] static constexpr BufferDescriptor initKovaPositions(std::uint32_t count) noexcept {
    return BufferDescriptor{
        .size = static_cast<std::uint64_t>(count) * kova_rhi::size(Format::homvec4_f64),
        .stride = kova_rhi::size(Format::homvec4_f64),
        .type = BufferType::kova_positions,
        .format = Format::homvec4_f64,
        .heap = HeapType::device_local,
        .dynamic = true,
    };
  }
  // count PGL4 transforms; the size is exact for every 32-bit count, as above
  // (a 32-bit product would wrap above 2^25 - 1 transforms).
  [[nodiscard]] static constexpr BufferDescriptor initKovaTransforms(std::uint32_t count) noexcept {
    return BufferDescriptor{
        .size = static_cast<std::uint64_t>(count) * kova_rhi::size(Format::pgl4_f64),
        .stride = kova_rhi::size(Format::pgl4_f64),
        .type = BufferType::kova_transforms,
        .format = Format::pgl4_f64,
        .heap = HeapType::device_local,
        .dynamic = true,
    };
  }
  // size bytes of unstructured uniform data in host-visible upload memory.
  [[nodiscard]] static constexpr BufferDescriptor initUniform(std::uint64_t size) noexcept {
    return BufferDescriptor{
        .size = size,
        .stride = 0,
        .type = BufferType::uniform,
        .format = Format::undefined,
        .heap = HeapType::upload,
        .dynamic = true,
    };
  }

  friend constexpr bool operator==(const BufferDescriptor&, const BufferDescriptor&) = default;
};

// ---------------------------------------------------------------------------
// Images

enum class ImageDimension : std::uint8_t { dim_1d = 0, dim_2d = 1, dim_3d = 2, cube = 3 };

// The eight usage flags; the value of each is its bit position in ImageUsage::bits.
enum class ImageUsageFlag : std::uint8_t {
  sampled = 0,                   // read through a sampler in shaders
  storage = 1,                   // read and written as a storage image
  transfer_src = 2,              // source of copies and blits (readback, resolve)
  transfer_dst = 3,              // destination of copies, blits and uploads
  color_attachment = 4,          // rendered to as a colour attachment
  depth_stencil_attachment = 5,  // rendered to as the depth/stencil attachment
  input_attachment = 6,          // read as an input attachment within a pass
  kova_render_target = 7,        // target of the projective (HomVec4/PGL4) pipelines
};

// Eight independent flags packed into one byte, flag k in bit k. Descriptors
// store and copy the byte as a whole; the default is no usage at all.
struct ImageUsage {
  std::uint8_t bits = 0;

  [[nodiscard]] static constexpr ImageUsage init(std::uint8_t bits) noexcept {
    return ImageUsage{bits};
  }
  // The union of the listed flags.
  [[nodiscard]] static constexpr ImageUsage init(
      std::initializer_list<ImageUsageFlag> flags) noexcept {
    ImageUsage out;
    for (const ImageUsageFlag f : flags) out = out.with(f);
    return out;
  }
  // A projective render target: rendered to by the projective pipelines
  // (colour attachment, kova render target), sampled afterwards and readable
  // by copy. Byte value 0x95.
  [[nodiscard]] static constexpr ImageUsage initKovaRenderTarget() noexcept {
    return init({ImageUsageFlag::sampled, ImageUsageFlag::transfer_src,
                 ImageUsageFlag::color_attachment, ImageUsageFlag::kova_render_target});
  }

  [[nodiscard]] constexpr bool has(ImageUsageFlag f) const noexcept {
    return (bits & mask(f)) != 0;
  }
  [[nodiscard]] constexpr ImageUsage with(ImageUsageFlag f) const noexcept {
    return ImageUsage{static_cast<std::uint8_t>(bits | mask(f))};
  }
  [[nodiscard]] constexpr ImageUsage without(ImageUsageFlag f) const noexcept {
    return ImageUsage{static_cast<std::uint8_t>(bits & ~mask(f))};
  }

  [[nodiscard]] constexpr bool sampled() const noexcept { return has(ImageUsageFlag::sampled); }
  [[nodiscard]] constexpr bool storage() const noexcept { return has(ImageUsageFlag::storage); }
  [[nodiscard]] constexpr bool transferSrc() const noexcept {
    return has(ImageUsageFlag::transfer_src);
  }
  [[nodiscard]] constexpr bool transferDst() const noexcept {
    return has(ImageUsageFlag::transfer_dst);
  }
  [[nodiscard]] constexpr bool colorAttachment() const noexcept {
    return has(ImageUsageFlag::color_attachment);
  }
  [[nodiscard]] constexpr bool depthStencilAttachment() const noexcept {
    return has(ImageUsageFlag::depth_stencil_attachment);
  }
  [[nodiscard]] constexpr bool inputAttachment() const noexcept {
    return has(ImageUsageFlag::input_attachment);
  }
  [[nodiscard]] constexpr bool kovaRenderTarget() const noexcept {
    return has(ImageUsageFlag::kova_render_target);
  }

  friend constexpr bool operator==(const ImageUsage&, const ImageUsage&) = default;

 private:
  // Flags outside 0..7 select no bit.
  [[nodiscard]] static constexpr std::uint8_t mask(ImageUsageFlag f) noexcept {
    const auto k = static_cast<unsigned>(f);
    return k < 8 ? static_cast<std::uint8_t>(1u << k) : std::uint8_t{0};
  }
};

// The shape, pixel format and usage of a GPU image. The default value is a
// 0 x 0 single-level, single-layer 2D image of undefined format and no usage.
struct ImageDescriptor {
  std::uint32_t width = 0;         // texels
  std::uint32_t height = 0;        // texels
  std::uint32_t depth = 1;         // texels in the third dimension; 1 for 2D
  std::uint32_t mip_levels = 1;    // number of mip levels
  std::uint32_t array_layers = 1;  // number of array layers
  ImageDimension dimension = ImageDimension::dim_2d;
  Format format = Format::undefined;  // pixel format
  ImageUsage usage{};

  // A single-level, single-layer 2D image.
  [[nodiscard]] static constexpr ImageDescriptor init2D(Format format, std::uint32_t width,
                                                        std::uint32_t height,
                                                        ImageUsage usage) noexcept {
    return ImageDescriptor{
        .width = width,
        .height = height,
        .depth = 1,
        .mip_levels = 1,
        .array_layers = 1,
        .dimension = ImageDimension::dim_2d,
        .format = format,
        .usage = usage,
    };
  }
  // The engine's half-float colour target of the projective pipelines.
  [[nodiscard]] static constexpr ImageDescriptor initKovaRenderTarget(
      std::uint32_t width, std::uint32_t height) noexcept {
    return init2D(Format::rgba16_float, width, height, ImageUsage::initKovaRenderTarget());
  }

  friend constexpr bool operator==(const ImageDescriptor&, const ImageDescriptor&) = default;
};

// ---------------------------------------------------------------------------
// Handles. The host assigns id and generation; the library only carries them.
// The two kinds are distinct types so that one cannot stand in for the other.

struct BufferId {
  std::uint64_t id = 0;
  std::uint32_t generation = 0;

  [[nodiscard]] static constexpr BufferId invalid() noexcept { return BufferId{0, 0}; }
  friend constexpr bool operator==(const BufferId&, const BufferId&) = default;
};

struct ImageId {
  std::uint64_t id = 0;
  std::uint32_t generation = 0;

  [[nodiscard]] static constexpr ImageId invalid() noexcept { return ImageId{0, 0}; }
  friend constexpr bool operator==(const ImageId&, const ImageId&) = default;
};

// ---------------------------------------------------------------------------
// Pipelines and fixed-function state

enum class PipelineType : std::uint8_t { graphics = 0, compute = 1, kova_projective = 2 };

// A pipeline of one of the three kinds; id 0 names no pipeline, whatever the kind.
struct PipelineId {
  PipelineType type = PipelineType::graphics;
  std::uint64_t id = 0;

  [[nodiscard]] constexpr bool isValid() const noexcept { return id != 0; }
  friend constexpr bool operator==(const PipelineId&, const PipelineId&) = default;
};

enum class PrimitiveTopology : std::uint8_t {
  point_list = 0,
  line_list = 1,
  line_strip = 2,
  triangle_list = 3,
  triangle_strip = 4,
  geodesic_list = 5,  // pairs of HomVec4 points joined along the great circle between them
};

enum class BlendFactor : std::uint8_t {
  zero = 0,
  one = 1,
  src_alpha = 2,
  one_minus_src_alpha = 3,
};

enum class CompareOp : std::uint8_t {
  never = 0,
  less = 1,
  equal = 2,
  less_equal = 3,
  greater = 4,
  not_equal = 5,
  greater_equal = 6,
  always = 7,
};

// Depth test and write; fs_depth takes the Fubini-Study depth in [0, 1] as the
// depth value in place of the rasteriser's.
struct DepthState {
  bool depth_test = true;
  bool depth_write = true;
  CompareOp depth_compare = CompareOp::less;
  bool fs_depth = false;

  friend constexpr bool operator==(const DepthState&, const DepthState&) = default;
};

// A starting point for a device layer's graphics-pipeline creation: opaque
// triangles into one half-float colour target with an ordinary depth buffer.
struct GraphicsPipelineDescriptor {
  PipelineType type = PipelineType::graphics;  // graphics or kova_projective
  PrimitiveTopology topology = PrimitiveTopology::triangle_list;
  bool blend_enabled = false;
  BlendFactor src_blend = BlendFactor::one;  // colour = src * src_blend + dst * dst_blend
  BlendFactor dst_blend = BlendFactor::zero;
  DepthState depth{};
  Format color_format = Format::rgba16_float;
  Format depth_format = Format::depth32_float;

  friend constexpr bool operator==(const GraphicsPipelineDescriptor&,
                                   const GraphicsPipelineDescriptor&) = default;
};

// Limits that a device layer reports; the defaults are a baseline that
// current desktop and mobile GPUs all meet.
struct DeviceLimits {
  std::uint32_t max_image_dimension_2d = 8192;
  std::uint32_t max_image_array_layers = 256;
  std::uint32_t max_color_attachments = 8;
  std::uint32_t max_vertex_buffers = 8;
  std::uint64_t max_buffer_size = 256ull << 20;
  std::uint64_t max_uniform_buffer_range = 64ull << 10;
  std::uint64_t min_uniform_buffer_offset_alignment = 256;
  std::uint32_t max_compute_workgroups_per_dimension = 65535;

  friend constexpr bool operator==(const DeviceLimits&, const DeviceLimits&) = default;
};

// ---------------------------------------------------------------------------
// GPU commands: plain tagged values that the host's device layer interprets.
// The spans inside are borrowed (see the top of this header).

// An indexed draw. The default draws nothing (index_count 0) of one instance.
struct DrawCommand {
  PipelineId pipeline{};
  BufferId vertex_buffer{};
  BufferId index_buffer{};
  BufferId kova_transform_buffer{};  // buffer of PGL4 transforms
  BufferId kova_position_buffer{};   // buffer of HomVec4 positions
  std::uint32_t index_count = 0;
  std::uint32_t instance_count = 1;

  friend constexpr bool operator==(const DrawCommand&, const DrawCommand&) = default;
};

// A compute dispatch; the default is one workgroup.
struct DispatchCommand {
  PipelineId pipeline{};
  std::uint32_t group_count_x = 1;
  std::uint32_t group_count_y = 1;
  std::uint32_t group_count_z = 1;

  friend constexpr bool operator==(const DispatchCommand&, const DispatchCommand&) = default;
};

// Clears color_attachment to (r, g, b, a) and depth to `depth`; the default
// clears to opaque black and the far depth 1.
struct ClearCommand {
  ImageId color_attachment{};
  float r = 0.0f;
  float g = 0.0f;
  float b = 0.0f;
  float a = 1.0f;
  float depth = 1.0f;
};

// Opens a pass over the viewed colour attachments and the optional depth attachment.
struct BeginPassCommand {
  std::span<const ImageId> color_attachments{};
  std::optional<ImageId> depth_attachment{};
};

struct EndPassCommand {};

// Binds a vertex buffer from byte `offset` on.
struct BindVertexBufferCommand {
  BufferId buffer{};
  std::uint64_t offset = 0;
};

// Binds bytes [offset, offset + size) of a uniform buffer to slot `binding`.
struct BindUniformCommand {
  BufferId buffer{};
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::uint32_t binding = 0;
};

// Copies the viewed transforms into a kova_transforms buffer.
struct KovaUploadPgl4Command {
  BufferId buffer{};
  std::span<const PGL4> transforms{};
};

// Copies the viewed positions into a kova_positions buffer.
struct KovaUploadPositionsCommand {
  BufferId buffer{};
  std::span<const HomVec4> positions{};
};

// results[i] = Fubini-Study distance between positions_a[i] and positions_b[i], i < count.
struct KovaComputeFsDistanceCommand {
  BufferId positions_a{};
  BufferId positions_b{};
  BufferId results{};
  std::uint32_t count = 0;
};

// Draws geodesics over the first `count` points of `positions` in one colour (white by default).
struct KovaRenderGeodesicsCommand {
  BufferId positions{};
  std::uint32_t count = 0;
  float color_r = 1.0f;
  float color_g = 1.0f;
  float color_b = 1.0f;
};

// The command vocabulary, in tag order: alternative k has tag k.
using GpuCommand = std::variant<ClearCommand, BeginPassCommand, EndPassCommand, PipelineId,
                                BindVertexBufferCommand, BindUniformCommand, DrawCommand,
                                DispatchCommand, KovaUploadPgl4Command, KovaUploadPositionsCommand,
                                KovaComputeFsDistanceCommand, KovaRenderGeodesicsCommand>;

enum class GpuCommandTag : std::uint8_t {
  clear = 0,
  begin_pass = 1,
  end_pass = 2,
  bind_pipeline = 3,
  bind_vertex_buffer = 4,
  bind_uniform = 5,
  draw_indexed = 6,
  dispatch = 7,
  kova_upload_pgl4 = 8,
  kova_upload_positions = 9,
  kova_compute_fs_distance = 10,
  kova_render_geodesics = 11,
};

[[nodiscard]] constexpr GpuCommandTag tagOf(const GpuCommand& command) noexcept {
  return static_cast<GpuCommandTag>(command.index());
}

// The record type of the command with tag T.
template <GpuCommandTag T>
using GpuCommandRecord = std::variant_alternative_t<static_cast<std::size_t>(T), GpuCommand>;

static_assert(std::variant_size_v<GpuCommand> == 12);
static_assert(std::is_same_v<GpuCommandRecord<GpuCommandTag::clear>, ClearCommand>);
static_assert(std::is_same_v<GpuCommandRecord<GpuCommandTag::begin_pass>, BeginPassCommand>);
static_assert(std::is_same_v<GpuCommandRecord<GpuCommandTag::end_pass>, EndPassCommand>);
static_assert(std::is_same_v<GpuCommandRecord<GpuCommandTag::bind_pipeline>, PipelineId>);
static_assert(
    std::is_same_v<GpuCommandRecord<GpuCommandTag::bind_vertex_buffer>, BindVertexBufferCommand>);
static_assert(std::is_same_v<GpuCommandRecord<GpuCommandTag::bind_uniform>, BindUniformCommand>);
static_assert(std::is_same_v<GpuCommandRecord<GpuCommandTag::draw_indexed>, DrawCommand>);
static_assert(std::is_same_v<GpuCommandRecord<GpuCommandTag::dispatch>, DispatchCommand>);
static_assert(
    std::is_same_v<GpuCommandRecord<GpuCommandTag::kova_upload_pgl4>, KovaUploadPgl4Command>);
static_assert(std::is_same_v<GpuCommandRecord<GpuCommandTag::kova_upload_positions>,
                             KovaUploadPositionsCommand>);
static_assert(std::is_same_v<GpuCommandRecord<GpuCommandTag::kova_compute_fs_distance>,
                             KovaComputeFsDistanceCommand>);
static_assert(std::is_same_v<GpuCommandRecord<GpuCommandTag::kova_render_geodesics>,
                             KovaRenderGeodesicsCommand>);

// ---------------------------------------------------------------------------
// Frame graph

enum class PassType : std::uint8_t {
  clear = 0,
  geometry = 1,
  lighting = 2,
  post_process = 3,
  ui = 4,
  kova_geodesic = 5,
  kova_fs_compute = 6,
  kova_idempotent = 7,
  kova_dehomogenize = 8,
};

// What FramePass::init accepts for a sequence of T: a named array or container
// (an lvalue), or a view that borrows already (std::span). A temporary container
// is refused, since it is destroyed at the end of the statement that builds the pass.
template <typename R, typename T>
concept BorrowedSequence = std::ranges::borrowed_range<R> && std::ranges::contiguous_range<R> &&
                           std::ranges::sized_range<R> &&
                           std::same_as<std::ranges::range_value_t<R>, T>;

// The same for the pass name: a string literal, a character pointer, a named
// string or a std::string_view, never a temporary string.
template <typename S>
concept BorrowedText =
    std::convertible_to<S, std::string_view> &&
    (std::ranges::borrowed_range<S> || std::is_pointer_v<std::remove_cvref_t<S>>);

// One pass of a frame. All four sequences are borrowed views of host memory
// that must outlive every graph the pass is added to.
struct FramePass {
  std::string_view name{};                 // label of the pass
  std::span<const ImageId> reads{};        // images the pass reads
  std::span<const ImageId> writes{};       // images the pass writes
  std::span<const GpuCommand> commands{};  // the pass's commands, in order
  PassType pass_type = PassType::clear;

  // The pass viewing the given host arrays, which must outlive every graph it
  // is added to. Unlike brace initialisation, which lets a temporary container
  // bind to a view and dangle, this refuses temporaries at compile time; an
  // empty sequence is written {}.
  template <BorrowedText Name, BorrowedSequence<ImageId> Reads = std::span<const ImageId>,
            BorrowedSequence<ImageId> Writes = std::span<const ImageId>,
            BorrowedSequence<GpuCommand> Commands = std::span<const GpuCommand>>
  [[nodiscard]] static constexpr FramePass init(Name&& name, Reads&& reads, Writes&& writes,
                                                Commands&& commands, PassType pass_type) noexcept {
    return FramePass{
        .name = std::string_view(name),
        .reads = std::span<const ImageId>(std::ranges::data(reads), std::ranges::size(reads)),
        .writes = std::span<const ImageId>(std::ranges::data(writes), std::ranges::size(writes)),
        .commands = std::span<const GpuCommand>(std::ranges::data(commands),
                                                std::ranges::size(commands)),
        .pass_type = pass_type,
    };
  }
};

// A frame as passes in insertion order plus a frame counter. The graph owns
// only the storage of its pass array, allocated through the resource given to
// init; it neither analyses nor reorders the passes. Single owner, not
// synchronised. Movable, not copyable.
struct FrameGraph {
  std::pmr::vector<FramePass> passes;
  std::uint64_t frame_index = 0;

  // No passes, frame_index 0; allocates nothing.
  [[nodiscard]] static FrameGraph init(std::pmr::memory_resource& allocator) noexcept;

  // Releases the pass storage through the resource and returns the graph to its
  // state after init, so that destroying it afterwards releases nothing again.
  void deinit() noexcept;

  // Appends a copy of `pass`. When the array must grow and the resource refuses,
  // returns OutOfMemory and leaves the graph exactly as it was. A graph also
  // refuses to grow past the 2^32 - 1 passes that passCount can report.
  [[nodiscard]] std::expected<void, kova_kernel::Error> addPass(const FramePass& pass);

  // addPass keeps the count within 32 bits; a host that appends to `passes`
  // directly keeps it there too (debug builds assert it).
  [[nodiscard]] std::uint32_t passCount() const noexcept {
    assert(passes.size() <= UINT32_MAX);
    return static_cast<std::uint32_t>(passes.size());
  }

  // frame_index + 1; the passes stay as they are.
  void advanceFrame() noexcept { ++frame_index; }

  FrameGraph(const FrameGraph&) = delete;
  FrameGraph& operator=(const FrameGraph&) = delete;
  // The new graph takes over the passes, the storage and its resource; the
  // source is left empty (frame_index 0) on its own resource.
  FrameGraph(FrameGraph&& other) noexcept;
  // Releases this graph's storage, then takes over other's as above (the
  // resource included), so the move allocates nothing and cannot fail.
  FrameGraph& operator=(FrameGraph&& other) noexcept;
  ~FrameGraph() = default;

 private:
  explicit FrameGraph(std::pmr::memory_resource& allocator) noexcept : passes(&allocator) {}
};

// ---------------------------------------------------------------------------
// Layout facts of the records exchanged with a device layer.

static_assert(sizeof(BufferType) == 1 && sizeof(HeapType) == 1 && sizeof(ImageDimension) == 1 &&
              sizeof(ImageUsageFlag) == 1 && sizeof(PipelineType) == 1 &&
              sizeof(PrimitiveTopology) == 1 && sizeof(BlendFactor) == 1 &&
              sizeof(CompareOp) == 1 && sizeof(GpuCommandTag) == 1 && sizeof(PassType) == 1);
static_assert(sizeof(ImageUsage) == 1, "eight flags in one byte");
static_assert(sizeof(BufferId) == 16 && sizeof(ImageId) == 16);
static_assert(!std::is_convertible_v<BufferId, ImageId> &&
              !std::is_convertible_v<ImageId, BufferId>);
static_assert(sizeof(PipelineId) == 16);
static_assert(sizeof(DepthState) == 4);

template <typename... T>
inline constexpr bool kAllTriviallyCopyableAggregates = ((std::is_trivially_copyable_v<T> &&
                                                          std::is_aggregate_v<T>)&&...);
static_assert(kAllTriviallyCopyableAggregates<
              BufferDescriptor, ImageUsage, ImageDescriptor, BufferId, ImageId, PipelineId,
              DepthState, GraphicsPipelineDescriptor, DeviceLimits, DrawCommand, DispatchCommand,
              ClearCommand, BeginPassCommand, EndPassCommand, BindVertexBufferCommand,
              BindUniformCommand, KovaUploadPgl4Command, KovaUploadPositionsCommand,
              KovaComputeFsDistanceCommand, KovaRenderGeodesicsCommand, FramePass>);
static_assert(std::is_trivially_copyable_v<GpuCommand>, "commands copy as plain bytes");
static_assert(std::is_trivially_destructible_v<GpuCommand>);

#if defined(__GLIBCXX__)
namespace detail {
// std::variant chooses its index type from the number of alternatives alone;
// a variant of twelve one-byte alternatives is two bytes exactly when that
// index is one byte, which is then also the width of GpuCommand's stored tag.
template <std::size_t>
struct OneByte {
  std::uint8_t b;
};
template <std::size_t... I>
std::variant<OneByte<I>...> oneByteVariant(std::index_sequence<I...>);
using TwelveOneByteAlternatives =
    decltype(oneByteVariant(std::make_index_sequence<std::variant_size_v<GpuCommand>>{}));
static_assert(sizeof(TwelveOneByteAlternatives) == 2, "GpuCommand stores its tag in one byte");
}  // namespace detail
#endif

}  // namespace kova_rhi

#endif  // C++23
