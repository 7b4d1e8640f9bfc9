#include "frame_driver.hpp"

#include <chrono>
#include <cmath>
#include <memory_resource>
#include <numbers>

#include "kova_vulkan_device.hpp"

namespace kova_demo {
namespace {

using kova_renderer::KovaCamera;
using kova_renderer::KovaFrustum;
using kova_renderer::WVisibilityClass;
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Camera motion per frame: a short geodesic step to the right and forward.
constexpr double kStepRight = 0.012;
constexpr double kStepForward = 0.006;
// Far bound of the demo camera: points farther than this are not drawn, and
// the colour ramp fades into the background towards it.
constexpr double kFarFs = 0.9;

}  // namespace

template <FrameDevice Device>
std::expected<FrameDriver<Device>, std::string> FrameDriver<Device>::create(const Scene& scene,
                                                                            std::uint32_t width,
                                                                            std::uint32_t height,
                                                                            Device device) {
  FrameDriver d(std::move(device));
  d.scene_ = &scene;
  // 1. A camera on the 3-sphere and a forward+ pipeline record built from it.
  const KovaCamera def = KovaCamera::defaultCamera();
  d.camera_ = KovaCamera::init(kEye, HomVec4{0.0, 0.0, -1.0, 0.0}, HomVec4{0.0, 1.0, 0.0, 0.0},
                               def.fov, static_cast<double>(width) / height, def.near_fs, kFarFs);
  d.pipeline_ =
      kova_renderer::ForwardPlusPipeline::init(d.camera_, kova_renderer::ForwardPlusConfig{});

  const auto n = static_cast<std::uint32_t>(scene.positions.size());
  d.hemisphere_.resize(n);
  d.mask_ = std::make_unique<bool[]>(n);

  auto targets = createRenderTargets(d.device_, width, height);
  if (!targets) return std::unexpected(targets.error());
  d.targets_ = *targets;
  auto gpu = createPointsGpu(d.device_, scene);
  if (!gpu) return std::unexpected(gpu.error());
  d.gpu_ = std::move(*gpu);
  return d;
}

template <FrameDevice Device>
std::expected<FrameReport, std::string> FrameDriver<Device>::renderFrame() {
  const auto t_frame = Clock::now();
  const Scene& scene = *scene_;
  const auto n = static_cast<std::uint32_t>(scene.positions.size());
  FrameReport report;
  report.frame_index = next_frame_;
  report.points = n;

  // 2. Move along geodesics, then rebuild the view transform and the frustum.
  if (next_frame_ > 0) {
    camera_.moveRight(kStepRight);
    camera_.moveForward(kStepForward);
  }
  camera_.updateViewMatrix();
  const KovaFrustum frustum = KovaFrustum::fromCamera(camera_);
  pipeline_.camera = camera_;
  pipeline_.frustum = frustum;
  pipeline_.frame_index = next_frame_;
  report.pipeline_passes = pipeline_.passCount();

  // 3. Classify. The view keeps w, so the visible hemisphere is w >= 0: a point
  // stored behind it is represented by its antipode, the same projective point.
  const auto t_cull = Clock::now();
  for (std::uint32_t i = 0; i < n; ++i) {
    const HomVec4 p = scene.positions[i];
    switch (kova_renderer::wVisibility(p)) {
      case WVisibilityClass::in_front:
        ++report.in_front;
        hemisphere_[i] = p;
        break;
      case WVisibilityClass::behind:
        ++report.behind;
        hemisphere_[i] = HomVec4{-p.x, -p.y, -p.z, -p.w};
        break;
      case WVisibilityClass::at_infinity:
        ++report.at_infinity;
        hemisphere_[i] = p;
        break;
    }
  }
  // Each cluster's bounding ball first; only the points of visible balls are
  // tested one by one. The background (after the clusters) is tested in full.
  const std::span<const HomVec4> all(hemisphere_);
  const std::span<bool> mask(mask_.get(), n);
  std::uint32_t background_first = 0;
  for (const Cluster& c : scene.clusters) {
    ++report.balls;
    background_first = std::max(background_first, c.first + c.count);
    if (frustum.isSphereVisible(c.center, c.radius)) {
      ++report.balls_visible;
      report.visible += kova_renderer::frustumCull(frustum, all.subspan(c.first, c.count),
                                                   mask.subspan(c.first, c.count));
    } else {
      std::fill_n(mask.begin() + c.first, c.count, false);
    }
  }
  report.visible += kova_renderer::frustumCull(frustum, all.subspan(background_first),
                                               mask.subspan(background_first));
  report.ms_cull = msSince(t_cull);

  // 4. FS-depth of the visible points: those at or inside the near bound
  // (depth 0) and at or beyond the far bound (depth 1) are not drawn. The rest
  // is drawn back to front in the order of sortByFSDepth.
  const auto t_sort = Clock::now();
  std::pmr::monotonic_buffer_resource arena;
  kept_.clear();
  kept_index_.clear();
  for (std::uint32_t i = 0; i < n; ++i) {
    if (!mask[i]) continue;
    const double depth =
        kova_renderer::fsDepth(camera_.position, hemisphere_[i], camera_.near_fs, camera_.far_fs);
    if (depth > 0.0 && depth < 1.0) {
      kept_.push_back(hemisphere_[i]);
      kept_index_.push_back(i);
    }
  }
  report.in_range = static_cast<std::uint32_t>(kept_.size());
  auto order = kova_renderer::sortByFSDepth(arena, camera_.position, kept_);
  if (!order) return std::unexpected(std::string("out of memory while sorting"));
  draw_positions_.resize(kept_.size());
  draw_order_.resize(kept_.size());
  for (std::size_t k = 0; k < order->size(); ++k) {
    draw_positions_[k] = kept_[(*order)[k]];
    draw_order_[k] = kept_index_[(*order)[k]];
  }
  report.ms_sort = msSince(t_sort);

  // 5. Describe the GPU work: four passes whose commands borrow the arrays above.
  const double tan_h = std::tan(camera_.fov / 2.0);
  const auto camera_block =
      packCameraBlock(CameraBlock{camera_.view_pgl4, camera_.position, tan_h,
                                  tan_h / camera_.aspect, camera_.near_fs, camera_.far_fs});
  kova_rhi::FrameGraph graph = kova_rhi::FrameGraph::init(arena);
  graph.frame_index = next_frame_;
  if (auto recorded = recordPointsFrame(graph, arena, gpu_, scene, targets_.color, targets_.depth,
                                        draw_positions_, camera_.position, camera_block);
      !recorded)
    return std::unexpected(recorded.error());

  // 6. The device layer walks the passes.
  const auto t_device = Clock::now();
  trace_.clear();
  device_.setTrace(&trace_);
  auto stats = device_.execute(graph);
  device_.setTrace(nullptr);
  if (!stats) return std::unexpected("device: " + stats.error());
  report.ms_device = msSince(t_device);
  report.passes = stats->passes;
  report.commands = stats->commands;
  report.drawn = stats->points_drawn;
  report.geodesic_arcs = stats->geodesic_arcs;

  graph.advanceFrame();
  next_frame_ = graph.frame_index;
  report.ms_total = msSince(t_frame);
  return report;
}

template <FrameDevice Device>
std::expected<FrameImages, std::string> FrameDriver<Device>::readImages() const {
  auto rgb = device_.readRgb8(targets_.color);
  auto depth = device_.readDepth(targets_.depth);
  auto kinds = device_.readKinds(targets_.color);
  if (!rgb || !depth || !kinds) return std::unexpected(std::string("cannot read back the frame"));
  return FrameImages{std::move(*rgb), std::move(*depth), std::move(*kinds)};
}

template class FrameDriver<CpuDevice>;
template class FrameDriver<VulkanDevice>;

}  // namespace kova_demo
