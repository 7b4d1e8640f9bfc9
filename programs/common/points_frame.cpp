#include "points_frame.hpp"

#include <memory>
#include <utility>

#include "arena_commands.hpp"
#include "projective_pipeline.hpp"

namespace kova_demo {

template <FrameDevice Device>
std::expected<PointsGpu, std::string> createPointsGpu(Device& device, const Scene& scene) {
  using namespace kova_rhi;
  PointsGpu g;
  auto pp = createFsDepthPipeline(device, PrimitiveTopology::point_list);
  auto gp = createFsDepthPipeline(device, PrimitiveTopology::geodesic_list);
  if (!pp || !gp) return std::unexpected(!pp ? pp.error() : gp.error());
  g.point_pipeline = *pp;
  g.geodesic_pipeline = *gp;

  const auto n = static_cast<std::uint32_t>(scene.positions.size());
  const BufferDescriptor distances{.size = std::uint64_t{n} * 8,
                                   .stride = 8,
                                   .type = BufferType::storage,
                                   .format = Format::undefined,
                                   .heap = HeapType::device_local,
                                   .dynamic = true};
  for (auto [desc, slot] : {std::pair{BufferDescriptor::initKovaPositions(n), &g.positions},
                            std::pair{BufferDescriptor::initKovaPositions(1), &g.observer},
                            std::pair{distances, &g.distances},
                            std::pair{BufferDescriptor::initKovaTransforms(2), &g.camera}}) {
    auto id = device.createBuffer(desc);
    if (!id) return std::unexpected(id.error());
    *slot = *id;
  }
  for (const GeodesicSet& set : scene.geodesics) {
    auto id = device.createBuffer(
        BufferDescriptor::initKovaPositions(static_cast<std::uint32_t>(set.points.size())));
    if (!id) return std::unexpected(id.error());
    g.geodesics.push_back(*id);
  }
  return g;
}

std::expected<void, std::string> recordPointsFrame(kova_rhi::FrameGraph& graph,
                                                   std::pmr::memory_resource& arena,
                                                   const PointsGpu& gpu, const Scene& scene,
                                                   ImageId color, ImageId depth,
                                                   std::span<const HomVec4> draw, HomVec4 observer,
                                                   std::span<const PGL4> camera_block) {
  using namespace kova_rhi;
  const std::span<const ImageId> targets = arenaTargets(arena, color, depth);
  const std::span<const ImageId> colors = targets.first(1);
  auto* eye = static_cast<HomVec4*>(arena.allocate(sizeof(HomVec4), alignof(HomVec4)));
  std::construct_at(eye, observer);
  const std::span<const HomVec4> observers(eye, 1);

  const auto count = static_cast<std::uint32_t>(draw.size());
  const BeginPassCommand begin{colors, depth};
  constexpr auto clear = kPointsClearColor;
  const ArenaCommands clear_cmds(
      arena, {begin, ClearCommand{color, clear[0], clear[1], clear[2], 1.0f, 1.0f},
              EndPassCommand{}});
  const ArenaCommands compute_cmds(
      arena, {KovaUploadPositionsCommand{gpu.positions, draw},
              KovaUploadPositionsCommand{gpu.observer, observers},
              KovaComputeFsDistanceCommand{gpu.observer, gpu.positions, gpu.distances, count}});
  const ArenaCommands point_cmds(arena, {begin,
                                         gpu.point_pipeline,
                                         KovaUploadPgl4Command{gpu.camera, camera_block},
                                         BindVertexBufferCommand{gpu.distances, 0},
                                         DrawCommand{.pipeline = gpu.point_pipeline,
                                                     .vertex_buffer = gpu.distances,
                                                     .index_buffer = BufferId::invalid(),
                                                     .kova_transform_buffer = gpu.camera,
                                                     .kova_position_buffer = gpu.positions,
                                                     .index_count = count,
                                                     .instance_count = 1},
                                         EndPassCommand{}});
  ArenaCommands geo_cmds(arena, 4 + 2 * scene.geodesics.size());
  geo_cmds.add(begin);
  geo_cmds.add(gpu.geodesic_pipeline);
  geo_cmds.add(BindUniformCommand{gpu.camera, 0, 2 * sizeof(PGL4), 0});
  for (std::size_t g = 0; g < scene.geodesics.size(); ++g) {
    const GeodesicSet& set = scene.geodesics[g];
    geo_cmds.add(KovaUploadPositionsCommand{gpu.geodesics[g], set.points});
    geo_cmds.add(KovaRenderGeodesicsCommand{
        gpu.geodesics[g], static_cast<std::uint32_t>(set.points.size()), set.r, set.g, set.b});
  }
  geo_cmds.add(EndPassCommand{});

  const FramePass passes[] = {
      {"clear", {}, targets, clear_cmds.commands(), PassType::clear},
      {"fs_distance", {}, {}, compute_cmds.commands(), PassType::kova_fs_compute},
      {"points", {}, targets, point_cmds.commands(), PassType::geometry},
      {"geodesics", {}, targets, geo_cmds.commands(), PassType::kova_geodesic},
  };
  for (const FramePass& pass : passes) {
    if (!graph.addPass(pass))
      return std::unexpected(std::string("out of memory while recording the frame graph"));
  }
  return {};
}

template std::expected<PointsGpu, std::string> createPointsGpu(CpuDevice&, const Scene&);
template std::expected<PointsGpu, std::string> createPointsGpu(VulkanDevice&, const Scene&);

}  // namespace kova_demo
