// Formats, descriptors, handles, GPU commands and the frame graph, on
// arbitrary enumeration bytes, counts, pass contents and allocator decisions.
// Properties that hold for every input:
// - every byte is a Format with the table's size (0 outside it), and isKova
//   holds exactly for homvec4_f64 and pgl4_f64;
// - the Kova buffer descriptors have the exact 64-bit size count * stride;
// - a command reports the tag of the variant it holds;
// - addPass returns OutOfMemory exactly when the array had to grow and the
//   resource refused; the graph is then unchanged (same passes, same storage,
//   same frame_index); a success appends exactly the given pass;
// - moving a graph allocates nothing and carries its passes over;
// - deinit, and destroying the graph, leave nothing allocated.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "fuzz_input.hpp"
#include "kova_rhi.hpp"

using kova_fuzz::FuzzInput;
using kova_kernel::HomVec4;
using kova_kernel::PGL4;
namespace rhi = kova_rhi;

namespace {

constexpr std::uint32_t kSizes[] = {0,  1, 2, 4,  4, 2, 4, 8, 4,  8,  12,
                                    16, 4, 8, 16, 2, 4, 4, 8, 32, 128};

void checkFormatsAndDescriptors(FuzzInput& in) {
  const auto f = static_cast<rhi::Format>(in.byte());
  const auto v = static_cast<std::uint8_t>(f);
  KOVA_FUZZ_CHECK(rhi::size(f) == (v < 21 ? kSizes[v] : 0u));
  KOVA_FUZZ_CHECK(rhi::isKova(f) == (v == 19 || v == 20));

  const std::uint32_t count = in.u32();
  const auto pos = rhi::BufferDescriptor::initKovaPositions(count);
  KOVA_FUZZ_CHECK(pos.size == std::uint64_t{count} * 32u && pos.stride == 32);
  KOVA_FUZZ_CHECK(pos.type == rhi::BufferType::kova_positions &&
                  pos.format == rhi::Format::homvec4_f64 &&
                  pos.heap == rhi::HeapType::device_local && pos.dynamic);
  const auto tr = rhi::BufferDescriptor::initKovaTransforms(count);
  KOVA_FUZZ_CHECK(tr.size == std::uint64_t{count} * 128u && tr.stride == 128);
  KOVA_FUZZ_CHECK(tr.type == rhi::BufferType::kova_transforms &&
                  tr.format == rhi::Format::pgl4_f64 && tr.heap == rhi::HeapType::device_local);
  const std::uint64_t bytes = in.u64();
  const auto un = rhi::BufferDescriptor::initUniform(bytes);
  KOVA_FUZZ_CHECK(un.size == bytes && un.stride == 0 && un.type == rhi::BufferType::uniform &&
                  un.format == rhi::Format::undefined && un.heap == rhi::HeapType::upload);

  const std::uint32_t w = in.u32();
  const std::uint32_t h = in.u32();
  const auto usage = rhi::ImageUsage::init(in.byte());
  const auto img = rhi::ImageDescriptor::init2D(f, w, h, usage);
  KOVA_FUZZ_CHECK(img.width == w && img.height == h && img.depth == 1 && img.mip_levels == 1 &&
                  img.array_layers == 1 && img.dimension == rhi::ImageDimension::dim_2d &&
                  img.format == f && img.usage == usage);
  const auto rt = rhi::ImageDescriptor::initKovaRenderTarget(w, h);
  KOVA_FUZZ_CHECK(rt.width == w && rt.height == h && rt.format == rhi::Format::rgba16_float &&
                  rt.usage.bits == 0x95);

  // Ids with few bits set, 0 included, are as likely as any other.
  const auto type = static_cast<rhi::PipelineType>(in.byte() % 3);
  const std::uint64_t id = in.u64() >> (in.byte() % 64);
  const rhi::PipelineId pid{type, id};
  KOVA_FUZZ_CHECK(pid.isValid() == (pid.id != 0));
}

// Everything a pass or command may point at lives here, for the whole input.
struct Pools {
  std::vector<rhi::ImageId> images;
  std::vector<PGL4> transforms;
  std::vector<HomVec4> positions;
  std::vector<rhi::GpuCommand> commands;
};

rhi::BufferId bufferId(FuzzInput& in) { return rhi::BufferId{in.u64(), in.u32()}; }

template <typename T>
std::span<const T> slice(FuzzInput& in, const std::vector<T>& pool) {
  const std::size_t start = in.length(pool.size());
  const std::size_t len = in.length(pool.size() - start);
  return std::span<const T>(pool).subspan(start, len);
}

rhi::GpuCommand command(FuzzInput& in, const Pools& pools) {
  switch (in.byte() % 12) {
    case 0:
      return rhi::ClearCommand{{in.u64(), in.u32()}, in.real32(), in.real32(),
                               in.real32(),          in.real32(), in.real32()};
    case 1: {
      rhi::BeginPassCommand c{slice(in, pools.images), std::nullopt};
      if (in.flag()) c.depth_attachment = rhi::ImageId{in.u64(), in.u32()};
      return c;
    }
    case 2:
      return rhi::EndPassCommand{};
    case 3:
      return rhi::PipelineId{static_cast<rhi::PipelineType>(in.byte() % 3), in.u64()};
    case 4:
      return rhi::BindVertexBufferCommand{bufferId(in), in.u64()};
    case 5:
      return rhi::BindUniformCommand{bufferId(in), in.u64(), in.u64(), in.u32()};
    case 6: {
      rhi::DrawCommand d;
      d.pipeline = rhi::PipelineId{rhi::PipelineType::kova_projective, in.u64()};
      d.kova_position_buffer = bufferId(in);
      d.index_count = in.u32();
      d.instance_count = in.u32();
      return d;
    }
    case 7:
      return rhi::DispatchCommand{
          {rhi::PipelineType::compute, in.u64()}, in.u32(), in.u32(), in.u32()};
    case 8:
      return rhi::KovaUploadPgl4Command{bufferId(in), slice(in, pools.transforms)};
    case 9:
      return rhi::KovaUploadPositionsCommand{bufferId(in), slice(in, pools.positions)};
    case 10:
      return rhi::KovaComputeFsDistanceCommand{bufferId(in), bufferId(in), bufferId(in), in.u32()};
    default:
      return rhi::KovaRenderGeodesicsCommand{bufferId(in), in.u32(), in.real32(), in.real32(),
                                             in.real32()};
  }
}

Pools pools(FuzzInput& in) {
  Pools p;
  const std::size_t n_images = in.length(16);
  for (std::size_t i = 0; i < n_images; ++i) p.images.push_back({in.u64(), in.u32()});
  const std::size_t n_tr = in.length(4);
  for (std::size_t i = 0; i < n_tr; ++i) p.transforms.push_back(in.matrix());
  const std::size_t n_pos = in.length(8);
  for (std::size_t i = 0; i < n_pos; ++i) p.positions.push_back(in.vec());
  const std::size_t n_cmd = in.length(24);
  for (std::size_t i = 0; i < n_cmd; ++i) {
    const rhi::GpuCommand c = command(in, p);
    p.commands.push_back(c);
  }
  for (const rhi::GpuCommand& c : p.commands) {
    KOVA_FUZZ_CHECK(static_cast<std::size_t>(rhi::tagOf(c)) == c.index());
  }
  return p;
}

bool samePass(const rhi::FramePass& a, const rhi::FramePass& b) {
  return a.name.data() == b.name.data() && a.name.size() == b.name.size() &&
         a.reads.data() == b.reads.data() && a.reads.size() == b.reads.size() &&
         a.writes.data() == b.writes.data() && a.writes.size() == b.writes.size() &&
         a.commands.data() == b.commands.data() && a.commands.size() == b.commands.size() &&
         a.pass_type == b.pass_type;
}

bool samePasses(const rhi::FrameGraph& g, const std::vector<rhi::FramePass>& expected) {
  if (g.passes.size() != expected.size() || g.passCount() != expected.size()) return false;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (!samePass(g.passes[i], expected[i])) return false;
  }
  return true;
}

void runGraph(FuzzInput& in, const Pools& p, kova_test::RefusingResource& resource,
              const kova_test::CountingResource& counting) {
  rhi::FrameGraph graph = rhi::FrameGraph::init(resource);
  KOVA_FUZZ_CHECK(graph.passCount() == 0 && graph.frame_index == 0 && resource.attempts() == 0);
  std::vector<rhi::FramePass> model;  // what the graph must hold
  std::uint64_t frames = 0;

  const std::size_t ops = in.length(200);
  for (std::size_t op = 0; op < ops; ++op) {
    const std::uint8_t kind = in.byte() % 16;
    if (kind < 11) {
      rhi::FramePass pass;
      pass.name = in.text(12);
      pass.reads = slice(in, p.images);
      pass.writes = slice(in, p.images);
      pass.commands = slice(in, p.commands);
      pass.pass_type = static_cast<rhi::PassType>(in.byte() % 9);

      const bool must_grow = graph.passes.size() == graph.passes.capacity();
      const rhi::FramePass* const data_before = graph.passes.data();
      const std::size_t capacity_before = graph.passes.capacity();
      const std::size_t attempts = resource.attempts();
      const std::size_t refusals = resource.refusals();
      const auto result = graph.addPass(pass);
      const bool refused = resource.refusals() != refusals;
      // An allocation is attempted exactly when the array is full.
      KOVA_FUZZ_CHECK(must_grow == (resource.attempts() != attempts));
      KOVA_FUZZ_CHECK(result.has_value() == !refused);
      if (!result.has_value()) {
        KOVA_FUZZ_CHECK(result.error() == kova_kernel::Error::OutOfMemory);
        KOVA_FUZZ_CHECK(graph.passes.data() == data_before &&
                        graph.passes.capacity() == capacity_before);
      } else {
        model.push_back(pass);
      }
      KOVA_FUZZ_CHECK(samePasses(graph, model) && graph.frame_index == frames);
    } else if (kind < 13) {
      graph.advanceFrame();
      ++frames;
      KOVA_FUZZ_CHECK(samePasses(graph, model) && graph.frame_index == frames);
    } else if (kind == 13) {
      // Moving allocates nothing, takes the passes and leaves the source empty.
      const std::size_t attempts = resource.attempts();
      rhi::FrameGraph other = std::move(graph);
      KOVA_FUZZ_CHECK(samePasses(other, model) && other.frame_index == frames);
      graph = std::move(other);
      KOVA_FUZZ_CHECK(other.passCount() == 0);
      KOVA_FUZZ_CHECK(resource.attempts() == attempts);
      KOVA_FUZZ_CHECK(samePasses(graph, model) && graph.frame_index == frames);
    } else if (kind == 14) {
      graph.deinit();
      KOVA_FUZZ_CHECK(graph.passCount() == 0 && counting.outstandingBytes() == 0);
      model.clear();
      frames = graph.frame_index;
    } else {
      KOVA_FUZZ_CHECK(graph.passCount() == model.size());
    }
  }
  if (in.flag()) {
    graph.deinit();
    KOVA_FUZZ_CHECK(counting.outstandingBytes() == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  checkFormatsAndDescriptors(in);
  const std::uint64_t refuse_mask = in.u64();
  const bool refuse_rest = in.flag();
  const Pools p = pools(in);
  // Refusals chosen by the input, in front of a counter that checks every release.
  kova_test::CountingResource counting;
  kova_test::RefusingResource resource(kova_test::RefusalMask{refuse_mask, refuse_rest}, &counting);
  runGraph(in, p, resource, counting);
  // The graph is gone: every block it held was returned, each exactly once.
  KOVA_FUZZ_CHECK(counting.outstandingBytes() == 0 && counting.liveBlocks() == 0);
  KOVA_FUZZ_CHECK(counting.badDeallocations() == 0);
  return 0;
}
