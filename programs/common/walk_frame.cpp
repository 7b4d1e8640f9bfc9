#include "walk_frame.hpp"

#include <chrono>
#include <cmath>
#include <utility>

#include "arena_commands.hpp"
#include "picture_camera.hpp"
#include "projective_pipeline.hpp"

namespace kova_demo {
namespace {

using kova_renderer::KovaCamera;
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

template <FrameDevice Device>
std::expected<WalkGpu, std::string> createWalkGpu(Device& device, const WalkScene& scene) {
  using namespace kova_rhi;
  WalkGpu g;
  auto pipeline = createFsDepthPipeline(device, PrimitiveTopology::triangle_list);
  if (!pipeline) return std::unexpected(pipeline.error());
  g.pipeline = *pipeline;
  auto camera = device.createBuffer(BufferDescriptor::initKovaTransforms(2));
  if (!camera) return std::unexpected(camera.error());
  g.camera = *camera;
  auto shapes = createWalkShapes(device, scene);
  if (!shapes) return std::unexpected(shapes.error());
  g.shapes = std::move(*shapes);
  return g;
}

template <FrameDevice Device>
std::expected<std::vector<WalkGpu::Shape>, std::string> createWalkShapes(Device& device,
                                                                         const WalkScene& scene) {
  using namespace kova_rhi;
  std::vector<WalkGpu::Shape> shapes;
  auto made = [&]() -> std::expected<void, std::string> {
    for (const WalkShape& shape : scene.shapes) {
      WalkGpu::Shape& b = shapes.emplace_back();
      const auto n_vertices = static_cast<std::uint32_t>(shape.mesh.vertices.size());
      const auto n_instances = static_cast<std::uint32_t>(shape.instances.size());
      const BufferDescriptor index_desc{.size = shape.mesh.indices.size() * 4,
                                        .stride = 4,
                                        .type = BufferType::index,
                                        .format = Format::r32_uint};
      const BufferDescriptor color_desc{.size = shape.colors.size() * 8,
                                        .stride = 8,
                                        .type = BufferType::storage,
                                        .format = Format::undefined};
      for (auto [desc, slot] :
           {std::pair{BufferDescriptor::initKovaPositions(n_vertices), &b.vertices},
            std::pair{index_desc, &b.indices},
            std::pair{BufferDescriptor::initKovaTransforms(n_instances), &b.instances},
            std::pair{color_desc, &b.colors}}) {
        auto id = device.createBuffer(desc);
        if (!id) return std::unexpected(id.error());
        *slot = *id;
      }
      if (auto ok = device.writeIndices(b.indices, shape.mesh.indices); !ok) return ok;
      if (auto ok = device.writeValues(b.colors, shape.colors); !ok) return ok;
    }
    return {};
  }();
  if (!made) {
    (void)releaseWalkShapes(device, shapes);
    return std::unexpected(made.error());
  }
  return shapes;
}

template <FrameDevice Device>
std::expected<void, std::string> releaseWalkShapes(Device& device,
                                                   const std::vector<WalkGpu::Shape>& shapes) {
  std::expected<void, std::string> first;
  for (const WalkGpu::Shape& b : shapes) {
    for (const BufferId id : {b.vertices, b.indices, b.instances, b.colors}) {
      if (id == BufferId::invalid()) continue;
      auto ok = device.releaseBuffer(id);
      if (!ok && first) first = ok;
    }
  }
  return first;
}

std::expected<void, std::string> recordWalkFrame(kova_rhi::FrameGraph& graph,
                                                 std::pmr::memory_resource& arena,
                                                 const WalkGpu& gpu, const WalkScene& scene,
                                                 ImageId color, ImageId depth,
                                                 std::span<const PGL4> camera_block) {
  using namespace kova_rhi;
  const std::span<const ImageId> targets = arenaTargets(arena, color, depth);
  const BeginPassCommand begin{targets.first(1), depth};
  const auto fog = kWalkFogColor;
  const ArenaCommands clear_cmds(
      arena, {begin, ClearCommand{color, fog[0], fog[1], fog[2], 1.0f, 1.0f}, EndPassCommand{}});
  ArenaCommands solid_cmds(arena, 5 + 5 * scene.shapes.size());
  solid_cmds.add(begin);
  solid_cmds.add(gpu.pipeline);
  solid_cmds.add(KovaUploadPgl4Command{gpu.camera, camera_block});
  solid_cmds.add(BindUniformCommand{gpu.camera, 0, 2 * sizeof(PGL4), 0});
  for (std::size_t k = 0; k < scene.shapes.size() && k < gpu.shapes.size(); ++k) {
    const WalkShape& shape = scene.shapes[k];
    const WalkGpu::Shape& b = gpu.shapes[k];
    if (shape.instances.empty()) continue;
    solid_cmds.add(KovaUploadPositionsCommand{b.vertices, shape.mesh.vertices});
    solid_cmds.add(KovaUploadPgl4Command{b.instances, shape.instances});
    solid_cmds.add(BindUniformCommand{b.colors, 0, shape.colors.size() * 8, 1});
    solid_cmds.add(
        DrawCommand{.pipeline = gpu.pipeline,
                    .vertex_buffer = BufferId::invalid(),
                    .index_buffer = b.indices,
                    .kova_transform_buffer = b.instances,
                    .kova_position_buffer = b.vertices,
                    .index_count = static_cast<std::uint32_t>(shape.mesh.indices.size()),
                    .instance_count = static_cast<std::uint32_t>(shape.instances.size())});
  }
  solid_cmds.add(EndPassCommand{});
  const FramePass passes[] = {
      {"clear", {}, targets, clear_cmds.commands(), PassType::clear},
      {"solids", {}, targets, solid_cmds.commands(), PassType::geometry},
  };
  for (const FramePass& pass : passes) {
    if (!graph.addPass(pass))
      return std::unexpected(std::string("out of memory while recording the frame graph"));
  }
  return {};
}

template <FrameDevice Device>
std::expected<WalkDriver<Device>, std::string> WalkDriver<Device>::create(const WalkScene& scene,
                                                                          std::uint32_t width,
                                                                          std::uint32_t height,
                                                                          Device device) {
  WalkDriver d(std::move(device));
  d.scene_ = &scene;
  auto targets = createRenderTargets(d.device_, width, height);
  if (!targets) return std::unexpected(targets.error());
  d.targets_ = *targets;
  auto gpu = createWalkGpu(d.device_, scene);
  if (!gpu) return std::unexpected(gpu.error());
  d.gpu_ = std::move(*gpu);
  return d;
}

template <FrameDevice Device>
std::expected<void, std::string> WalkDriver<Device>::setScene(const WalkScene& scene) {
  auto shapes = createWalkShapes(device_, scene);
  if (!shapes) return std::unexpected(shapes.error());
  std::swap(gpu_.shapes, *shapes);
  scene_ = &scene;
  return releaseWalkShapes(device_, *shapes);
}

template <FrameDevice Device>
std::expected<WalkReport, std::string> WalkDriver<Device>::renderFrame() {
  const double seconds = static_cast<double>(next_frame_) / kWalkFps;
  const KovaCamera camera = walkLens(walkPose(*scene_, seconds), targets_.width, targets_.height);
  auto report = render(camera);
  if (!report) return report;
  report->frame_index = next_frame_++;
  report->seconds = seconds;
  return report;
}

template <FrameDevice Device>
std::expected<WalkReport, std::string> WalkDriver<Device>::render(const KovaCamera& camera) {
  using namespace kova_rhi;
  const auto t_frame = Clock::now();
  WalkReport report;
  report.frame_index = next_frame_;
  view_ = camera;
  const auto block = pictureCameraBlock(view_, targets_.width, targets_.height, kWalkFogColor);
  std::pmr::monotonic_buffer_resource arena;
  FrameGraph graph = FrameGraph::init(arena);
  graph.frame_index = next_frame_;
  if (auto recorded =
          recordWalkFrame(graph, arena, gpu_, *scene_, targets_.color, targets_.depth, block);
      !recorded)
    return std::unexpected(recorded.error());
  const auto t_device = Clock::now();
  auto stats = device_.execute(graph);
  if (!stats) return std::unexpected("device: " + stats.error());
  report.ms_device = msSince(t_device);
  report.triangles = stats->triangles;
  report.triangles_drawn = stats->triangles_drawn;
  report.passes = stats->passes;
  report.commands = stats->commands;
  report.ms_total = msSince(t_frame);
  return report;
}

template class WalkDriver<CpuDevice>;
template class WalkDriver<VulkanDevice>;

}  // namespace kova_demo
