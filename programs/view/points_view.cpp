#include "points_view.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <memory_resource>
#include <span>

#include "kova_vulkan_device.hpp"

namespace kova_view {
namespace {

using kova_demo::CameraBlock;
using kova_kernel::HomVec4;
using kova_renderer::KovaFrustum;
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The widest splat reaches 3 pixels from its centre pixel.
constexpr double kSplatMargin = 4.0;

}  // namespace

KovaFrustum widenedView(const KovaCamera& camera, std::uint32_t width, std::uint32_t height,
                        double pixels) noexcept {
  KovaCamera wide = camera;
  const double tan_h = std::tan(camera.fov / 2.0);
  const double tan_v = tan_h / camera.aspect;
  const double wide_h = tan_h * (1.0 + 2.0 * pixels / width);
  const double wide_v = tan_v * (1.0 + 2.0 * pixels / height);
  wide.fov = 2.0 * std::atan(wide_h);
  wide.aspect = wide_h / wide_v;
  return KovaFrustum::fromView(wide);
}

template <FrameDevice Device>
std::expected<PointsView<Device>, std::string> PointsView<Device>::create(
    const kova_demo::Scene& scene, std::uint32_t width, std::uint32_t height, Device device) {
  PointsView v(std::move(device));
  v.scene_ = &scene;
  auto gpu = kova_demo::createPointsGpu(v.device_, scene);
  if (!gpu) return std::unexpected(gpu.error());
  v.gpu_ = std::move(*gpu);
  const auto n = static_cast<std::uint32_t>(scene.positions.size());
  // Room for a frame that keeps every point: mask, kept points, the sort's
  // order and scratch, the draw array and the graph.
  v.arena_storage_.resize(std::size_t{n} * 96 + (std::size_t{1} << 16));
  auto targets = kova_demo::createRenderTargets(v.device_, width, height);
  if (!targets) return std::unexpected(targets.error());
  v.targets_ = *targets;
  return v;
}

template <FrameDevice Device>
std::expected<void, std::string> PointsView<Device>::resize(std::uint32_t width,
                                                            std::uint32_t height) {
  return kova_demo::resizeRenderTargets(device_, targets_, width, height);
}

template <FrameDevice Device>
std::expected<ViewReport, std::string> PointsView<Device>::render(const KovaCamera& camera) {
  const kova_demo::Scene& scene = *scene_;
  const auto n = static_cast<std::uint32_t>(scene.positions.size());
  ViewReport report;
  report.points = n;
  std::pmr::monotonic_buffer_resource arena(arena_storage_.data(), arena_storage_.size());

  // 1. Cull: each cluster's ball (either sign of its centre), then the points
  // of the visible balls and the background against the view's frustum,
  // widened by the largest splat so that nothing that touches the picture goes.
  const auto t_cull = Clock::now();
  const KovaFrustum frustum = widenedView(camera, targets_.width, targets_.height, kSplatMargin);
  const std::span<bool> mask(static_cast<bool*>(arena.allocate(n, alignof(bool))), n);
  const std::span<const HomVec4> all(scene.positions);
  std::uint32_t background_first = 0;
  for (const kova_demo::Cluster& c : scene.clusters) {
    background_first = std::max(background_first, c.first + c.count);
    if (frustum.isSphereVisible(c.center, c.radius) ||
        frustum.isSphereVisible(-c.center, c.radius)) {
      (void)kova_renderer::frustumCullFacing(frustum, all.subspan(c.first, c.count),
                                             mask.subspan(c.first, c.count));
    } else {
      std::fill_n(mask.begin() + c.first, c.count, false);
    }
  }
  (void)kova_renderer::frustumCullFacing(frustum, all.subspan(background_first),
                                         mask.subspan(background_first));
  report.ms_cull = msSince(t_cull);

  // 2. Of those, the points the device draws: each as its representative
  // facing forward, on the eye's side of the focal plane (the device draws
  // the half of space in front of the eye, as the main job does), strictly
  // between the near and far bounds; drawn back to front.
  const auto t_sort = Clock::now();
  std::pmr::vector<HomVec4> kept(&arena);
  kept.reserve(n);
  for (std::uint32_t i = 0; i < n; ++i) {
    if (!mask[i]) continue;
    const HomVec4 f = scene.positions[i].facing(camera.forward);
    if (!(f.dot(camera.position) > 0.0)) continue;
    const double depth = kova_renderer::fsDepth(camera.position, f, camera.near_fs, camera.far_fs);
    if (depth > 0.0 && depth < 1.0) kept.push_back(f);
  }
  report.visible = static_cast<std::uint32_t>(kept.size());
  auto order = kova_renderer::sortByFSDepth(arena, camera.position, kept);
  if (!order) return std::unexpected(std::string("out of memory while sorting"));
  std::pmr::vector<HomVec4> draw(kept.size(), &arena);
  for (std::size_t k = 0; k < order->size(); ++k) draw[k] = kept[(*order)[k]];
  report.ms_sort = msSince(t_sort);

  // 3. The frame graph, recorded as the main job records its frames, seen
  // through the camera's view isometry.
  const auto t_commands = Clock::now();
  const double tan_h = std::tan(camera.fov / 2.0);
  const auto camera_block = kova_device::packCameraBlock(CameraBlock{
      camera.viewIsometry(), camera.position, tan_h, tan_h / camera.aspect, camera.near_fs,
      camera.far_fs});
  kova_rhi::FrameGraph graph = kova_rhi::FrameGraph::init(arena);
  graph.frame_index = frame_;
  if (auto recorded = kova_demo::recordPointsFrame(graph, arena, gpu_, scene, targets_.color,
                                                   targets_.depth, draw, camera.position,
                                                   camera_block);
      !recorded)
    return std::unexpected(recorded.error());
  report.ms_commands = msSince(t_commands);

  // 4. The device runs it.
  const auto t_device = Clock::now();
  auto stats = device_.execute(graph);
  if (!stats) return std::unexpected("device: " + stats.error());
  report.ms_device = msSince(t_device);
  report.drawn = stats->points_drawn;
  ++frame_;
  return report;
}

template class PointsView<kova_demo::CpuDevice>;
template class PointsView<kova_demo::VulkanDevice>;

}  // namespace kova_view
