#include "lattice_view.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory_resource>
#include <span>

#include "kova_vulkan_device.hpp"
#include "lights_scene.hpp"

namespace kova_view {
namespace {

using kova_kernel::HomVec4;
using kova_kernel::PGL4;
using kova_renderer::KovaFrustum;
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

constexpr HomVec4 kOrigin{0.0, 0.0, 0.0, 1.0};
// Widens each cell's ball a little so that rounding in the frustum's planes
// or the device's projection never drops a cell at the picture's border.
constexpr double kBallMargin = 1e-3;

}  // namespace

KovaCamera latticeStartCamera(std::uint32_t width, std::uint32_t height) noexcept {
  return kova_demo::latticeLens(kova_demo::flightView(kova_demo::flightStart(), 0), width, height);
}

template <kova_device::FrameDevice Device>
std::expected<LatticeView<Device>, std::string> LatticeView<Device>::create(
    const kova_demo::LatticeScene& scene, std::uint32_t width, std::uint32_t height,
    Device device) {
  LatticeView v(std::move(device));
  v.scene_ = &scene;
  for (const HomVec4& p : scene.cell.vertices)
    v.cell_radius_ = std::max(v.cell_radius_, kova_kernel::fsDistance(kOrigin, p));
  v.cell_radius_ += kBallMargin;
  auto gpu = kova_demo::createLatticeGpu(v.device_, scene);
  if (!gpu) return std::unexpected(gpu.error());
  v.gpu_ = *gpu;
  // Room for a frame that keeps every cell: instances, colours, commands and
  // the graph's passes.
  v.arena_storage_.resize(scene.instances.size() * (sizeof(PGL4) + 32) + (std::size_t{1} << 14));
  auto targets = kova_demo::createRenderTargets(v.device_, width, height);
  if (!targets) return std::unexpected(targets.error());
  v.targets_ = *targets;
  if (auto ok = v.lighting_.set(v.device_, kova_demo::PipelineChoice::forward_plus, 0, width, height);
      !ok)
    return std::unexpected(ok.error());
  return v;
}

template <kova_device::FrameDevice Device>
std::expected<void, std::string> LatticeView<Device>::resize(std::uint32_t width,
                                                             std::uint32_t height) {
  if (auto ok = kova_demo::resizeRenderTargets(device_, targets_, width, height); !ok) return ok;
  // The tile grids and the G-buffer follow the picture.
  return lighting_.resize(device_, width, height);
}

template <kova_device::FrameDevice Device>
std::expected<void, std::string> LatticeView<Device>::setLights(std::uint32_t count) {
  return lighting_.set(device_, lighting_.pipeline(), count, targets_.width, targets_.height);
}

template <kova_device::FrameDevice Device>
std::expected<void, std::string> LatticeView<Device>::setPipeline(
    kova_demo::PipelineChoice choice) {
  return lighting_.set(device_, choice, lighting_.lights(), targets_.width, targets_.height);
}

template <kova_device::FrameDevice Device>
std::expected<ViewReport, std::string> LatticeView<Device>::render(const KovaCamera& camera) {
  const kova_demo::LatticeScene& scene = *scene_;
  const std::size_t n = scene.instances.size();
  ViewReport report;
  report.instanced = true;
  report.points = static_cast<std::uint32_t>(n);
  std::pmr::monotonic_buffer_resource arena(arena_storage_.data(), arena_storage_.size());

  // 1. Cull: the cells whose ball, around either sign of the centre, meets
  // the view's frustum, kept in the scene's order with their colours.
  const auto t_cull = Clock::now();
  const KovaFrustum frustum = KovaFrustum::fromView(camera);
  std::pmr::vector<PGL4> kept(&arena);
  std::pmr::vector<double> colors(&arena);
  kept.reserve(n);
  colors.reserve(3 * n);
  for (std::size_t k = 0; k < n; ++k) {
    const HomVec4 c = scene.instances[k].apply(kOrigin);
    if (!frustum.isSphereVisible(c, cell_radius_) && !frustum.isSphereVisible(-c, cell_radius_))
      continue;
    kept.push_back(scene.instances[k]);
    colors.insert(colors.end(), scene.colors.begin() + static_cast<std::ptrdiff_t>(3 * k),
                  scene.colors.begin() + static_cast<std::ptrdiff_t>(3 * k + 3));
  }
  report.visible = static_cast<std::uint32_t>(kept.size());
  report.ms_cull = msSince(t_cull);

  // 2. The frame graph, recorded as the main job records its frames.
  const auto t_commands = Clock::now();
  if (!colors.empty()) {
    if (auto ok = device_.writeValues(gpu_.colors, colors); !ok)
      return std::unexpected(ok.error());
  }
  kova_rhi::FrameGraph graph = kova_rhi::FrameGraph::init(arena);
  graph.frame_index = frame_;
  auto recorded = lighting_.record(device_, graph, arena, gpu_, scene, targets_, camera, frame_,
                                   kept, colors.size());
  if (!recorded) return std::unexpected(recorded.error());
  report.lights = lighting_.lights();
  report.pipeline = lighting_.pipeline();
  report.ms_commands = msSince(t_commands);

  // 3. The device runs it.
  const auto t_device = Clock::now();
  auto stats = kova_demo::executeLatticeFrame(device_, graph, arena, *recorded);
  if (!stats) return std::unexpected("device: " + stats.error());
  report.ms_device = msSince(t_device);
  report.drawn = stats->triangles > 0 ? report.visible : 0;
  report.triangles = stats->triangles;
  report.triangles_drawn = stats->triangles_drawn;
  ++frame_;
  return report;
}

template class LatticeView<kova_demo::CpuDevice>;
template class LatticeView<kova_demo::VulkanDevice>;

}  // namespace kova_view
