#include "lattice_driver.hpp"

#include <chrono>
#include <memory_resource>

#include "kova_vulkan_device.hpp"

namespace kova_demo {
namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

template <FrameDevice Device>
std::expected<LatticeDriver<Device>, std::string> LatticeDriver<Device>::create(
    const LatticeScene& scene, std::uint32_t width, std::uint32_t height, Device device) {
  LatticeDriver d(std::move(device));
  d.scene_ = &scene;
  auto targets = createRenderTargets(d.device_, width, height);
  if (!targets) return std::unexpected(targets.error());
  d.targets_ = *targets;
  auto gpu = createLatticeGpu(d.device_, scene);
  if (!gpu) return std::unexpected(gpu.error());
  d.gpu_ = *gpu;
  if (auto ok = d.lighting_.set(d.device_, PipelineChoice::forward_plus, 0, width, height); !ok)
    return std::unexpected(ok.error());
  return d;
}

template <FrameDevice Device>
std::expected<void, std::string> LatticeDriver<Device>::setLights(std::uint32_t count) {
  return lighting_.set(device_, lighting_.pipeline(), count, targets_.width, targets_.height);
}

template <FrameDevice Device>
std::expected<void, std::string> LatticeDriver<Device>::setPipeline(PipelineChoice choice) {
  return lighting_.set(device_, choice, lighting_.lights(), targets_.width, targets_.height);
}

template <FrameDevice Device>
void LatticeDriver<Device>::skipFrames(std::uint64_t frames) noexcept {
  for (std::uint64_t i = 0; i < frames; ++i) {
    if (next_frame_ > 0) carrier_.travel(kFlightStep, 0.0, 0.0);
    ++next_frame_;
  }
}

template <FrameDevice Device>
std::expected<LatticeReport, std::string> LatticeDriver<Device>::renderFrame() {
  using namespace kova_rhi;
  const auto t_frame = Clock::now();
  const LatticeScene& scene = *scene_;
  LatticeReport report;
  report.frame_index = next_frame_;

  // Every frame after the first travels on along the circle.
  if (next_frame_ > 0) carrier_.travel(kFlightStep, 0.0, 0.0);
  view_ = latticeLens(flightView(carrier_, next_frame_), targets_.width, targets_.height);

  std::pmr::monotonic_buffer_resource arena;
  FrameGraph graph = FrameGraph::init(arena);
  graph.frame_index = next_frame_;
  auto recorded = lighting_.record(device_, graph, arena, gpu_, scene, targets_, view_,
                                   next_frame_, scene.instances, scene.colors.size());
  if (!recorded) return std::unexpected(recorded.error());
  report.pipeline = lighting_.pipeline();
  report.lights = lighting_.lights();
  const auto t_device = Clock::now();
  auto stats = executeLatticeFrame(device_, graph, arena, *recorded);
  if (!stats) return std::unexpected("device: " + stats.error());
  report.ms_device = msSince(t_device);
  report.triangles = stats->triangles;
  report.triangles_drawn = stats->triangles_drawn;
  report.geodesic_arcs = stats->geodesic_arcs;
  report.passes = stats->passes;
  report.commands = stats->commands;
  ++next_frame_;
  report.ms_total = msSince(t_frame);
  return report;
}

template class LatticeDriver<CpuDevice>;
template class LatticeDriver<VulkanDevice>;

}  // namespace kova_demo
