#include "lattice_deferred.hpp"

#include "arena_commands.hpp"
#include "kova_vulkan_device.hpp"
#include "lights_scene.hpp"

namespace kova_demo {

kova_renderer::DeferredPipeline latticeDeferred(const kova_renderer::KovaCamera& camera,
                                                std::uint64_t frame) {
  kova_renderer::DeferredConfig config;
  config.max_lights = kMaxDeferredLatticeLights;
  auto record = kova_renderer::DeferredPipeline::init(camera, config);
  record.frame_index = frame;
  return record;
}

template <FrameDevice Device>
std::expected<LatticeDeferredGpu, std::string> createLatticeDeferredGpu(
    Device& device, const kova_renderer::DeferredPipeline& record, std::uint32_t width,
    std::uint32_t height) {
  auto targets = kova_device::createDeferredTargets(device, record, width, height);
  if (!targets) return std::unexpected(targets.error());
  auto lights = createLatticeLightBuffer(device);
  if (!lights) {
    (void)kova_device::releaseDeferredTargets(device, *targets);
    return std::unexpected(lights.error());
  }
  return LatticeDeferredGpu{*targets, *lights};
}

template <FrameDevice Device>
std::expected<void, std::string> releaseLatticeDeferredGpu(Device& device,
                                                           const LatticeDeferredGpu& g) {
  auto targets = kova_device::releaseDeferredTargets(device, g.targets);
  auto lights = device.releaseBuffer(g.lights);
  if (!targets) return targets;
  return lights;
}

std::expected<void, std::string> recordLatticeDeferred(
    kova_rhi::FrameGraph& graph, std::pmr::memory_resource& arena,
    const kova_renderer::DeferredPipeline& record, const LatticeGpu& gpu,
    const LatticeDeferredGpu& d, const LatticeScene& scene, ImageId color,
    std::span<const PGL4> instances, const std::array<PGL4, 2>& camera_block,
    std::uint32_t light_count, kova_device::DeferredRecording& storage) {
  using namespace kova_rhi;
  const auto n_instances = static_cast<std::uint32_t>(instances.size());
  const ArenaCommands uploads(arena, {KovaUploadPositionsCommand{gpu.vertices, scene.cell.vertices},
                                      KovaUploadPgl4Command{gpu.instances, instances}});
  const auto fog = kLatticeFogColor;
  kova_device::DeferredScene s;
  s.picture = color;
  s.background = {fog[0], fog[1], fog[2], 1.0f};
  s.mesh = gpu.mesh_pipeline;
  s.camera = gpu.camera;
  s.camera_block = camera_block;
  s.vertices = gpu.vertices;
  s.indices = gpu.indices;
  s.instances = gpu.instances;
  // With no cell in view there are no colours to bind.
  s.colors = n_instances == 0 ? BufferId{} : gpu.colors;
  s.lights = d.lights;
  s.index_count = static_cast<std::uint32_t>(scene.cell.indices.size());
  s.instance_count = n_instances;
  s.light_count = light_count;
  const std::size_t before = graph.passes.size();
  if (!graph.addPass({"uploads", {}, {}, uploads.commands(), PassType::kova_fs_compute}))
    return std::unexpected(std::string("out of memory while recording the frame graph"));
  auto recorded = kova_device::recordDeferredFrame(record, d.targets, s, storage, graph);
  if (recorded)
    recorded = recordLatticeEdges(graph, arena, gpu, scene, color, d.targets.gbuffer.depth);
  if (!recorded) graph.passes.resize(before);
  return recorded;
}

template std::expected<LatticeDeferredGpu, std::string> createLatticeDeferredGpu(
    CpuDevice&, const kova_renderer::DeferredPipeline&, std::uint32_t, std::uint32_t);
template std::expected<void, std::string> releaseLatticeDeferredGpu(CpuDevice&,
                                                                    const LatticeDeferredGpu&);
template std::expected<LatticeDeferredGpu, std::string> createLatticeDeferredGpu(
    VulkanDevice&, const kova_renderer::DeferredPipeline&, std::uint32_t, std::uint32_t);
template std::expected<void, std::string> releaseLatticeDeferredGpu(VulkanDevice&,
                                                                    const LatticeDeferredGpu&);

}  // namespace kova_demo
