// Hostile input for any device layer: malformed frame graphs, and misuse of
// the resource calls (descriptors, host writes, releases). Shared by the CPU
// device's test and the Vulkan parity test, which requires both devices to
// refuse each the same way, with the same words, and to change nothing.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <expected>
#include <memory_resource>
#include <stdexcept>
#include <string>
#include <vector>

#include "kova_device.hpp"
#include "kova_device_layouts.hpp"

namespace kova_hostile {

using namespace kova_rhi;
using kova_device::CameraBlock;
using kova_device::ExecuteStats;
using kova_kernel::HomVec4;
using kova_kernel::PGL4;

inline constexpr std::uint32_t kW = 64, kH = 48;

inline BufferDescriptor storageBuffer(std::uint64_t values) {
  return BufferDescriptor{.size = values * 8,
                          .stride = 8,
                          .type = BufferType::storage,
                          .format = Format::undefined,
                          .heap = HeapType::device_local,
                          .dynamic = true};
}
inline BufferDescriptor indexBuffer(std::uint64_t indices) {
  return BufferDescriptor{.size = indices * 4, .stride = 4, .type = BufferType::index};
}
inline ImageDescriptor depthImage(std::uint32_t w, std::uint32_t h) {
  return ImageDescriptor::init2D(Format::depth32_float, w, h,
                                 ImageUsage::init({ImageUsageFlag::depth_stencil_attachment}));
}
inline GraphicsPipelineDescriptor projective(PrimitiveTopology topology) {
  return GraphicsPipelineDescriptor{.type = PipelineType::kova_projective,
                                    .topology = topology,
                                    .depth = {.depth_test = true,
                                              .depth_write = true,
                                              .depth_compare = CompareOp::less_equal,
                                              .fs_depth = true}};
}

// The host data the commands point into; it outlives them.
struct HostileData {
  std::vector<HomVec4> points = std::vector<HomVec4>(16, HomVec4{0.1, 0.2, -0.9, 1.0});
  std::vector<HomVec4> too_many = std::vector<HomVec4>(17, HomVec4{0.0, 0.0, -1.0, 1.0});
  std::vector<HomVec4> eye = {HomVec4{0.0, 0.0, 0.0, 1.0}};
  // A square in front of the eye, as two triangles.
  std::vector<HomVec4> quad = {HomVec4{-0.3, -0.3, -1.0, 1.0}, HomVec4{0.3, -0.3, -1.0, 1.0},
                               HomVec4{0.3, 0.3, -1.0, 1.0}, HomVec4{-0.3, 0.3, -1.0, 1.0}};
  std::vector<std::uint32_t> quad_indices = {0, 1, 2, 0, 2, 3};
  std::vector<PGL4> instances = {PGL4::identity(), PGL4::identity()};
  std::vector<double> instance_colors = {1.0, 0.0, 0.0, 0.0, 1.0, 0.0};
  std::array<PGL4, 2> camera = kova_device::packCameraBlock(CameraBlock{});
  std::array<PGL4, 2> isometric_camera = [] {
    CameraBlock c;
    c.isometric_view = true;
    c.near_fs = 0.0;
    c.far_fs = 1.5;
    return kova_device::packCameraBlock(c);
  }();
};

struct HostileResources {
  ImageId color, depth, small_depth;
  PipelineId points, triangles, geodesics;
  BufferId positions, observer, distances, camera;         // the point draw's
  BufferId vertices, indices, instances, colors, iso_camera;  // the mesh draw's
};

template <class T>
T must(std::expected<T, std::string> made) {
  if (!made) throw std::runtime_error(made.error());
  return *made;
}

inline std::expected<ExecuteStats, std::string> runPasses(
    auto& device, const std::vector<std::vector<GpuCommand>>& passes) {
  std::pmr::monotonic_buffer_resource arena;
  FrameGraph graph = FrameGraph::init(arena);
  for (std::size_t p = 0; p < passes.size(); ++p) {
    // The last pass is the one expected to fail.
    const char* name = p + 1 == passes.size() ? "bad" : "setup";
    if (!graph.addPass(FramePass{name, {}, {}, passes[p], PassType::geometry}))
      return std::unexpected(std::string("out of memory"));
  }
  return device.execute(graph);
}

// Makes the resources and fills them: 16 positions with their distances and
// a camera block, a square mesh with two instances and their colours.
template <class Device>
HostileResources makeHostileResources(Device& d, const HostileData& data) {
  HostileResources r;
  r.color = must(d.createImage(ImageDescriptor::initKovaRenderTarget(kW, kH)));
  r.depth = must(d.createImage(depthImage(kW, kH)));
  r.small_depth = must(d.createImage(depthImage(kW / 2, kH)));
  r.points = must(d.createPipeline(projective(PrimitiveTopology::point_list)));
  r.triangles = must(d.createPipeline(projective(PrimitiveTopology::triangle_list)));
  r.geodesics = must(d.createPipeline(projective(PrimitiveTopology::geodesic_list)));
  r.positions = must(d.createBuffer(BufferDescriptor::initKovaPositions(16)));
  r.observer = must(d.createBuffer(BufferDescriptor::initKovaPositions(1)));
  r.distances = must(d.createBuffer(storageBuffer(16)));
  r.camera = must(d.createBuffer(BufferDescriptor::initKovaTransforms(2)));
  r.vertices = must(d.createBuffer(BufferDescriptor::initKovaPositions(4)));
  r.indices = must(d.createBuffer(indexBuffer(6)));
  r.instances = must(d.createBuffer(BufferDescriptor::initKovaTransforms(2)));
  r.colors = must(d.createBuffer(storageBuffer(6)));
  r.iso_camera = must(d.createBuffer(BufferDescriptor::initKovaTransforms(2)));
  if (auto w = d.writeIndices(r.indices, data.quad_indices); !w) throw std::runtime_error(w.error());
  if (auto w = d.writeValues(r.colors, data.instance_colors); !w)
    throw std::runtime_error(w.error());
  const std::vector<std::vector<GpuCommand>> setup = {
      {KovaUploadPositionsCommand{r.positions, data.points},
       KovaUploadPositionsCommand{r.observer, data.eye},
       KovaComputeFsDistanceCommand{r.observer, r.positions, r.distances, 16},
       KovaUploadPgl4Command{r.camera, data.camera},
       KovaUploadPositionsCommand{r.vertices, data.quad},
       KovaUploadPgl4Command{r.instances, data.instances},
       KovaUploadPgl4Command{r.iso_camera, data.isometric_camera}}};
  must(runPasses(d, setup));
  return r;
}

inline DrawCommand pointDraw(const HostileResources& r) {
  return DrawCommand{.pipeline = r.points,
                     .vertex_buffer = r.distances,
                     .kova_transform_buffer = r.camera,
                     .kova_position_buffer = r.positions,
                     .index_count = 16};
}
inline DrawCommand meshDraw(const HostileResources& r) {
  return DrawCommand{.pipeline = r.triangles,
                     .index_buffer = r.indices,
                     .kova_transform_buffer = r.instances,
                     .kova_position_buffer = r.vertices,
                     .index_count = 6,
                     .instance_count = 2};
}

// A frame that draws all of it: the points, then the mesh in a second pass.
inline std::vector<std::vector<GpuCommand>> goodFrame(const HostileResources& r,
                                                      const std::array<ImageId, 1>& colors) {
  const BeginPassCommand begin{colors, r.depth};
  return {{begin, ClearCommand{r.color, 0.1f, 0.1f, 0.1f, 1.0f, 1.0f}, r.points, pointDraw(r),
           EndPassCommand{}},
          {begin, r.triangles, BindUniformCommand{.buffer = r.iso_camera, .size = 2 * sizeof(PGL4), .binding = 0},
           BindUniformCommand{.buffer = r.colors, .size = 6 * 8, .binding = 1}, meshDraw(r), EndPassCommand{}}};
}

struct HostileCase {
  const char* expected;  // a part of the message
  std::vector<std::vector<GpuCommand>> passes;
};

// Graphs that must fail: `foreign` holds handles of another device.
// `colors` must outlive the cases (the begin_pass commands point into it).
inline std::vector<HostileCase> hostileCases(const HostileResources& r,
                                             const HostileResources& foreign,
                                             const HostileData& data,
                                             const std::array<ImageId, 1>& colors) {
  const BeginPassCommand begin{colors, r.depth};
  const BeginPassCommand mismatched{colors, r.small_depth};
  const BeginPassCommand no_depth{colors, std::nullopt};
  const DrawCommand draw = pointDraw(r);
  DrawCommand past_end = draw;
  past_end.index_count = 17;
  DrawCommand unknown = draw;
  unknown.kova_position_buffer = BufferId{99, 0};
  DrawCommand indexed = draw;
  indexed.index_buffer = r.indices;
  const DrawCommand mesh = meshDraw(r);
  DrawCommand mesh_past_indices = mesh;
  mesh_past_indices.index_count = 9;
  DrawCommand mesh_instances = mesh;
  mesh_instances.instance_count = 3;
  const BindUniformCommand iso{.buffer = r.iso_camera, .size = 2 * sizeof(PGL4), .binding = 0};
  const BindUniformCommand plain{.buffer = r.camera, .size = 2 * sizeof(PGL4), .binding = 0};
  const BindUniformCommand instance_colors{.buffer = r.colors, .size = 6 * 8, .binding = 1};
  const BindUniformCommand too_few_colors{.buffer = r.observer, .size = 32, .binding = 1};
  const std::vector<HomVec4> three(data.quad.begin(), data.quad.begin() + 3);
  return {
      // The graphs of the first bad-input test.
      {"unknown buffer", {{begin, r.points, DrawCommand{unknown}, EndPassCommand{}}}},
      {"target is not a position buffer", {{KovaUploadPositionsCommand{foreign.positions, data.points}}}},
      {"clear needs a colour image", {{ClearCommand{foreign.color}}}},
      {"unknown pipeline", {{begin, PipelineId{PipelineType::kova_projective, 7}, EndPassCommand{}}}},
      {"more positions than the buffer holds",
       {{KovaUploadPositionsCommand{r.positions, data.too_many}}}},
      {"fewer than count points",
       {{KovaComputeFsDistanceCommand{r.observer, r.positions, r.distances, 17}}}},
      {"results buffer too small",
       {{KovaComputeFsDistanceCommand{r.observer, r.observer, r.distances, 17}}}},
      {"reads past the uploaded positions", {{begin, r.points, past_end, EndPassCommand{}}}},
      {"draws need a pass", {{r.points, draw}}},
      {"ends inside begin_pass", {{begin, r.points, draw}}},
      {"end_pass outside a pass", {{EndPassCommand{}}}},
      {"begin_pass inside a pass", {{begin, begin}}},
      {"clear depth outside [0, 1]",
       {{begin, ClearCommand{r.color, 0, 0, 0, 1, 2.0f}, EndPassCommand{}}}},
      {"dispatch names no compute pipeline", {{DispatchCommand{}}}},
      // The upload before the fault must not count either.
      {"more positions",
       {{KovaUploadPositionsCommand{r.positions, data.eye},
         KovaUploadPositionsCommand{r.positions, data.too_many}}}},
      // Earlier passes that clear, upload and compute leave nothing behind.
      {"draws need a pass with a depth attachment",
       {{ClearCommand{r.color, 1.0f, 0.0f, 0.0f, 1.0f, 1.0f},
         KovaUploadPositionsCommand{r.positions, data.eye},
         KovaComputeFsDistanceCommand{r.observer, r.positions, r.distances, 1},
         KovaUploadPgl4Command{r.iso_camera, data.camera}},
        {no_depth, r.points, draw, EndPassCommand{}}}},
      // An upload earlier in the graph counts for what follows: 3 vertices.
      {"index 3 at 5 is beyond the 3 vertices",
       {{KovaUploadPositionsCommand{r.vertices, three}},
        {begin, r.triangles, iso, mesh, EndPassCommand{}}}},
      // And the camera block uploaded earlier in the graph is the one drawn with.
      {"triangles need a camera block with an isometric view",
       {{KovaUploadPgl4Command{r.iso_camera, data.camera}},
        {begin, r.triangles, iso, mesh, EndPassCommand{}}}},
      {"triangles need a camera block with an isometric view",
       {{begin, r.triangles, plain, mesh, EndPassCommand{}}}},
      {"index_count 9 reads past the 6 indices written",
       {{begin, r.triangles, iso, mesh_past_indices, EndPassCommand{}}}},
      {"instance_count 3 exceeds the 2 transforms uploaded",
       {{begin, r.triangles, iso, mesh_instances, EndPassCommand{}}}},
      {"uniform binding 1 holds fewer than 3 colour values per instance",
       {{begin, r.triangles, iso, too_few_colors, mesh, EndPassCommand{}}}},
      {"uniform binding 0 lacks the camera block",
       {{begin, r.triangles, instance_colors, mesh, EndPassCommand{}}}},
      {"colour and depth attachments differ in size", {{mismatched, EndPassCommand{}}}},
      {"indexed drawing is not supported", {{begin, r.points, indexed, EndPassCommand{}}}},
      {"pipeline does not draw geodesics",
       {{begin, r.points, KovaRenderGeodesicsCommand{r.positions, 16}, EndPassCommand{}}}},
      {"geodesics read past the uploaded positions",
       {{begin, r.geodesics, plain, KovaRenderGeodesicsCommand{r.positions, 18}, EndPassCommand{}}}},
      {"invalid uniform binding", {{BindUniformCommand{.buffer = r.camera, .size = 16, .binding = 8}}}},
      {"invalid vertex buffer binding", {{BindVertexBufferCommand{foreign.distances, 0}}}},
  };
}

// What a device holds in the resources the cases touch, read back.
struct Snapshot {
  std::vector<std::uint8_t> rgb, kinds;
  std::vector<float> depth;
  std::vector<double> distances, colors;
  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

template <class Device>
Snapshot snapshot(const Device& d, const HostileResources& r) {
  return Snapshot{must(d.readRgb8(r.color)), must(d.readKinds(r.color)), must(d.readDepth(r.depth)),
                  must(d.readValues(r.distances)), must(d.readValues(r.colors))};
}

// Runs every case; returns the messages, in order ("accepted" for a graph
// that ran). Each must fail naming its fault and the pass.
template <class Device>
std::vector<std::string> refuseAll(Device& d, const std::vector<HostileCase>& cases) {
  std::vector<std::string> messages;
  for (const HostileCase& c : cases) {
    auto ran = runPasses(d, c.passes);
    EXPECT_FALSE(ran) << "accepted a graph that should fail with: " << c.expected;
    messages.push_back(ran ? std::string("accepted") : ran.error());
    if (ran) continue;
    EXPECT_NE(ran.error().find(c.expected), std::string::npos)
        << "expected '" << c.expected << "' in: " << ran.error();
    EXPECT_NE(ran.error().find("pass 'bad'"), std::string::npos) << ran.error();
  }
  return messages;
}

// One misuse of the resource calls and what came of it.
struct Outcome {
  std::string what;
  bool should_succeed = false;
  std::string result;  // "ok" or the message
  friend bool operator==(const Outcome&, const Outcome&) = default;
};

// A message with its numbers left out: what the words say, whatever a
// device's limits are.
inline std::string withoutNumbers(const std::string& s) {
  std::string out;
  for (char c : s) {
    const bool digit = c >= '0' && c <= '9';
    if (!digit) out += c;
    else if (out.empty() || out.back() != '#') out += '#';
  }
  return out;
}

// Misuse of the resource calls. Makes and releases scratch resources of its
// own; leaves the resources of `r` as they were.
template <class Device>
std::vector<Outcome> misuseOutcomes(Device& d, const HostileResources& r,
                                    const HostileResources& foreign, const HostileData& data) {
  std::vector<Outcome> out;
  const auto note = [&](const char* what, bool should_succeed, const auto& result) {
    out.push_back({what, should_succeed, result ? std::string("ok") : result.error()});
  };
  // Descriptors the devices refuse. The too-large buffer's message names
  // each device's own limit; only its words are compared.
  const auto huge = d.createBuffer(BufferDescriptor::initKovaPositions(0xFFFFFFFFu));
  out.push_back({"huge buffer", false, huge ? std::string("ok") : withoutNumbers(huge.error())});
  note("stride 7", false,
       d.createBuffer(BufferDescriptor{.size = 64, .stride = 7, .type = BufferType::storage}));
  note("empty image", false, d.createImage(ImageDescriptor::initKovaRenderTarget(0, 10)));
  note("wide image", false, d.createImage(ImageDescriptor::initKovaRenderTarget(20000, 10)));
  note("r8 image", false,
       d.createImage(ImageDescriptor::init2D(Format::r8_unorm, 8, 8,
                                             ImageUsage::initKovaRenderTarget())));
  ImageDescriptor layered = ImageDescriptor::initKovaRenderTarget(8, 8);
  layered.array_layers = 2;
  note("layered image", false, d.createImage(layered));
  GraphicsPipelineDescriptor graphics = projective(PrimitiveTopology::point_list);
  graphics.type = PipelineType::graphics;
  note("graphics pipeline", false, d.createPipeline(graphics));
  note("line pipeline", false, d.createPipeline(projective(PrimitiveTopology::line_list)));
  GraphicsPipelineDescriptor flat = projective(PrimitiveTopology::point_list);
  flat.depth.fs_depth = false;
  note("no fs_depth", false, d.createPipeline(flat));
  // Host writes of the wrong type, too many, or into another device's buffer.
  note("indices into storage", false, d.writeIndices(r.colors, data.quad_indices));
  note("7 indices into 6", false, d.writeIndices(r.indices, std::vector<std::uint32_t>(7, 0)));
  note("values into indices", false, d.writeValues(r.indices, data.instance_colors));
  note("7 values into 6", false, d.writeValues(r.colors, std::vector<double>(7, 0.5)));
  note("foreign values", false, d.writeValues(foreign.colors, data.instance_colors));
  // Releases: of nothing, of another device's, twice; and every use of a
  // released handle.
  note("release no buffer", false, d.releaseBuffer(BufferId::invalid()));
  note("release no image", false, d.releaseImage(ImageId::invalid()));
  note("release foreign buffer", false, d.releaseBuffer(foreign.distances));
  note("release foreign image", false, d.releaseImage(foreign.color));
  const BufferId scratch = must(d.createBuffer(storageBuffer(4)));
  const ImageId scratch_image = must(d.createImage(ImageDescriptor::initKovaRenderTarget(8, 8)));
  note("release buffer", true, d.releaseBuffer(scratch));
  note("release image", true, d.releaseImage(scratch_image));
  note("release buffer again", false, d.releaseBuffer(scratch));
  note("release image again", false, d.releaseImage(scratch_image));
  note("write released", false, d.writeValues(scratch, std::vector<double>(2, 1.0)));
  note("read released", false, d.readValues(scratch));
  note("read released image", false, d.readRgb8(scratch_image));
  note("compute into released", false,
       runPasses(d, {{KovaComputeFsDistanceCommand{r.observer, r.observer, scratch, 1}}}));
  note("clear released", false, runPasses(d, {{ClearCommand{scratch_image}}}));
  // The slot a released resource leaves is taken by the next: the old
  // handle stays stale.
  const BufferId next = must(d.createBuffer(storageBuffer(4)));
  out.push_back({"new handle", true, next == scratch ? "aliased" : "ok"});
  note("write through the old handle", false, d.writeValues(scratch, std::vector<double>(2, 1.0)));
  note("release the new one", true, d.releaseBuffer(next));
  for (const Outcome& o : out)
    EXPECT_EQ(o.result == "ok", o.should_succeed) << o.what << ": " << o.result;
  return out;
}

}  // namespace kova_hostile
