#include "lattice_lighting.hpp"

#include "kova_vulkan_device.hpp"
#include "picture_camera.hpp"

namespace kova_demo {
namespace {

using kova_renderer::KovaCamera;

// The records that resources are made for: only their configuration matters.
kova_renderer::ForwardPlusPipeline forwardPlusShape(std::uint32_t samples) {
  return latticeForwardPlus(KovaCamera::defaultCamera(), samples, 0);
}
kova_renderer::DeferredPipeline deferredShape() {
  return latticeDeferred(KovaCamera::defaultCamera(), 0);
}

}  // namespace

template <FrameDevice Device>
std::expected<void, std::string> LatticeLighting<Device>::set(Device& device,
                                                              PipelineChoice choice,
                                                              std::uint32_t count,
                                                              std::uint32_t width,
                                                              std::uint32_t height) {
  if (auto ok = checkLatticeLights(choice, count); !ok) return ok;
  if (width != width_ || height != height_) {
    if (auto ok = resize(device, width, height); !ok) return ok;
  }
  // Forward+'s tile lists are small and its pipelines stay with the
  // device, so once made they are kept; the G-buffer is large and goes
  // back as soon as frames stop using it.
  if (choice == PipelineChoice::forward_plus && count > 0 && !forward_plus_) {
    auto made = createLatticeLightsGpu(device, forwardPlusShape(device.samples()), width, height);
    if (!made) return std::unexpected(made.error());
    forward_plus_ = *made;
  }
  if (choice == PipelineChoice::deferred && !deferred_) {
    auto made = createLatticeDeferredGpu(device, deferredShape(), width, height);
    if (!made) return std::unexpected(made.error());
    deferred_ = *made;
  }
  if (choice != PipelineChoice::deferred && deferred_) {
    const LatticeDeferredGpu old = *deferred_;
    deferred_.reset();
    recording_ = {};
    if (auto ok = releaseLatticeDeferredGpu(device, old); !ok) return ok;
  }
  pipeline_ = choice;
  lights_ = count;
  return {};
}

template <FrameDevice Device>
std::expected<void, std::string> LatticeLighting<Device>::resize(Device& device,
                                                                 std::uint32_t width,
                                                                 std::uint32_t height) {
  std::optional<LatticeLightsGpu> fp;
  std::optional<LatticeDeferredGpu> d;
  if (forward_plus_) {
    auto made = createLatticeLightsGpu(device, forwardPlusShape(device.samples()), width, height);
    if (!made) return std::unexpected(made.error());
    fp = *made;
  }
  if (deferred_) {
    auto made = createLatticeDeferredGpu(device, deferredShape(), width, height);
    if (!made) {
      if (fp) (void)releaseLatticeLightsGpu(device, *fp);
      return std::unexpected(made.error());
    }
    d = *made;
  }
  if (auto ok = release(device); !ok) return ok;
  forward_plus_ = fp;
  deferred_ = d;
  width_ = width;
  height_ = height;
  return {};
}

template <FrameDevice Device>
std::expected<void, std::string> LatticeLighting<Device>::release(Device& device) {
  std::expected<void, std::string> first;
  if (forward_plus_) first = releaseLatticeLightsGpu(device, *forward_plus_);
  if (deferred_) {
    auto ok = releaseLatticeDeferredGpu(device, *deferred_);
    if (first) first = ok;
  }
  forward_plus_.reset();
  deferred_.reset();
  recording_ = {};
  return first;
}

template <FrameDevice Device>
std::expected<LatticeRecorded, std::string> LatticeLighting<Device>::record(
    Device& device, kova_rhi::FrameGraph& graph, std::pmr::memory_resource& arena,
    const LatticeGpu& gpu, const LatticeScene& scene, const RenderTargets& targets,
    const KovaCamera& camera, std::uint64_t frame, std::span<const PGL4> instances,
    std::size_t color_values) {
  if (targets.width != width_ || targets.height != height_)
    return std::unexpected(std::string("the lighting was set for another picture size"));
  if (unlit()) {
    block_ = pictureCameraBlock(camera, targets.width, targets.height, kLatticeFogColor);
    if (auto ok = recordLatticeFrame(graph, arena, gpu, scene, targets.color, targets.depth,
                                     instances, block_, color_values);
        !ok)
      return std::unexpected(ok.error());
    return LatticeRecorded{};
  }
  const BufferId light_buffer =
      pipeline_ == PipelineChoice::deferred ? deferred_->lights : forward_plus_->lights;
  // The devices shed what the buffer holds: no lights is written too.
  if (auto ok = device.writeValues(light_buffer,
                                   kova_device::lightValues(latticeLights(lights_, frame)));
      !ok)
    return std::unexpected(ok.error());
  if (pipeline_ == PipelineChoice::deferred) {
    block_ = pictureCameraBlock(camera, targets.width, targets.height, kLatticeFogColor);
    if (auto ok = recordLatticeDeferred(graph, arena, latticeDeferred(camera, frame), gpu,
                                        *deferred_, scene, targets.color, instances, block_,
                                        lights_, recording_);
        !ok)
      return std::unexpected(ok.error());
    return LatticeRecorded{};
  }
  // Forward+ as its record configures it, the lights where they stand now.
  const auto record = latticeForwardPlus(camera, device.samples(), frame);
  block_ = kova_device::forwardPlusCameraBlock(record, kLatticeFogColor);
  const std::size_t first = graph.passes.size();
  if (auto ok = recordLatticeForwardPlus(graph, arena, record, gpu, *forward_plus_, scene,
                                         targets.color, targets.depth, instances, block_,
                                         color_values, lights_);
      !ok)
    return std::unexpected(ok.error());
  // The clear pass, then the pre-pass.
  return LatticeRecorded{record.config.z_prepass ? first + 2 : 0};
}

template <FrameDevice Device>
std::expected<ExecuteStats, std::string> executeLatticeFrame(Device& device,
                                                             const kova_rhi::FrameGraph& graph,
                                                             std::pmr::memory_resource& arena,
                                                             LatticeRecorded r) {
  if (r.counted_from == 0) return device.execute(graph);
  kova_rhi::FrameGraph before = kova_rhi::FrameGraph::init(arena);
  kova_rhi::FrameGraph counted = kova_rhi::FrameGraph::init(arena);
  before.frame_index = counted.frame_index = graph.frame_index;
  for (std::size_t i = 0; i < graph.passes.size(); ++i) {
    if (!(i < r.counted_from ? before : counted).addPass(graph.passes[i]))
      return std::unexpected(std::string("out of memory while recording the frame graph"));
  }
  auto a = device.execute(before);
  if (!a) return a;
  auto b = device.execute(counted);
  if (!b) return b;
  b->passes += a->passes;
  b->commands += a->commands;
  b->bytes_uploaded += a->bytes_uploaded;
  b->distances += a->distances;
  b->points_drawn += a->points_drawn;
  b->geodesic_arcs += a->geodesic_arcs;
  return b;
}

template class LatticeLighting<CpuDevice>;
template class LatticeLighting<VulkanDevice>;
template std::expected<ExecuteStats, std::string> executeLatticeFrame(
    CpuDevice&, const kova_rhi::FrameGraph&, std::pmr::memory_resource&, LatticeRecorded);
template std::expected<ExecuteStats, std::string> executeLatticeFrame(
    VulkanDevice&, const kova_rhi::FrameGraph&, std::pmr::memory_resource&, LatticeRecorded);

}  // namespace kova_demo
