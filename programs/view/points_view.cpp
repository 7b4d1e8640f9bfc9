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

using kova_demo::BufferId;
using kova_demo::CameraBlock;
using kova_kernel::HomVec4;
using kova_renderer::KovaFrustum;
using kova_rhi::GpuCommand;
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
  using namespace kova_rhi;
  PointsView v(std::move(device));
  v.scene_ = &scene;
  const DepthState fs_depth{.depth_test = true,
                            .depth_write = true,
                            .depth_compare = CompareOp::less_equal,
                            .fs_depth = true};
  GraphicsPipelineDescriptor points{.type = PipelineType::kova_projective,
                                    .topology = PrimitiveTopology::point_list,
                                    .depth = fs_depth};
  GraphicsPipelineDescriptor geodesics = points;
  geodesics.topology = PrimitiveTopology::geodesic_list;
  auto pp = v.device_.createPipeline(points);
  auto gp = v.device_.createPipeline(geodesics);
  if (!pp || !gp) return std::unexpected(!pp ? pp.error() : gp.error());
  v.point_pipeline_ = *pp;
  v.geodesic_pipeline_ = *gp;

  const auto n = static_cast<std::uint32_t>(scene.positions.size());
  const BufferDescriptor distances{.size = std::uint64_t{n} * 8,
                                   .stride = 8,
                                   .type = BufferType::storage,
                                   .format = Format::undefined,
                                   .heap = HeapType::device_local,
                                   .dynamic = true};
  for (auto [desc, slot] : {std::pair{BufferDescriptor::initKovaPositions(n), &v.positions_},
                            std::pair{BufferDescriptor::initKovaPositions(1), &v.observer_},
                            std::pair{distances, &v.distances_},
                            std::pair{BufferDescriptor::initKovaTransforms(2), &v.camera_block_}}) {
    auto id = v.device_.createBuffer(desc);
    if (!id) return std::unexpected(id.error());
    *slot = *id;
  }
  for (const kova_demo::GeodesicSet& set : scene.geodesics) {
    auto id = v.device_.createBuffer(
        BufferDescriptor::initKovaPositions(static_cast<std::uint32_t>(set.points.size())));
    if (!id) return std::unexpected(id.error());
    v.geodesic_buffers_.push_back(*id);
  }
  // Room for a frame that keeps every point: mask, kept points, the sort's
  // order and scratch, the draw array and the graph.
  v.arena_storage_.resize(std::size_t{n} * 96 + (std::size_t{1} << 16));
  if (auto sized = v.resize(width, height); !sized) return std::unexpected(sized.error());
  return v;
}

template <FrameDevice Device>
std::expected<void, std::string> PointsView<Device>::resize(std::uint32_t width,
                                                            std::uint32_t height) {
  using namespace kova_rhi;
  auto color = device_.createImage(ImageDescriptor::initKovaRenderTarget(width, height));
  if (!color) return std::unexpected(color.error());
  auto depth = device_.createImage(
      ImageDescriptor::init2D(Format::depth32_float, width, height,
                              ImageUsage::init({ImageUsageFlag::depth_stencil_attachment})));
  if (!depth) return std::unexpected(depth.error());
  color_ = *color;
  depth_ = *depth;
  width_ = width;
  height_ = height;
  return {};
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
  const KovaFrustum frustum = widenedView(camera, width_, height_, kSplatMargin);
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

  // 3. The frame graph: clear, distances, points, geodesics, as the main job
  // records them, seen through the camera's view isometry.
  const auto t_commands = Clock::now();
  using namespace kova_rhi;
  const std::array<ImageId, 1> colors{color_};
  const std::array<ImageId, 2> targets{color_, depth_};
  const HomVec4 observer[1] = {camera.position};
  const double tan_h = std::tan(camera.fov / 2.0);
  const auto camera_block = kova_device::packCameraBlock(CameraBlock{
      camera.viewIsometry(), camera.position, tan_h, tan_h / camera.aspect, camera.near_fs,
      camera.far_fs});
  const auto count = static_cast<std::uint32_t>(draw.size());
  const BeginPassCommand begin{colors, depth_};
  constexpr auto clear = kova_demo::FrameDriver<Device>::kClearColor;
  std::pmr::vector<GpuCommand> clear_cmds(&arena), compute_cmds(&arena), point_cmds(&arena),
      geo_cmds(&arena);
  clear_cmds = {begin, ClearCommand{color_, clear[0], clear[1], clear[2], 1.0f, 1.0f},
                EndPassCommand{}};
  compute_cmds = {KovaUploadPositionsCommand{positions_, draw},
                  KovaUploadPositionsCommand{observer_, observer},
                  KovaComputeFsDistanceCommand{observer_, positions_, distances_, count}};
  point_cmds = {begin,
                point_pipeline_,
                KovaUploadPgl4Command{camera_block_, camera_block},
                BindVertexBufferCommand{distances_, 0},
                DrawCommand{.pipeline = point_pipeline_,
                            .vertex_buffer = distances_,
                            .index_buffer = BufferId::invalid(),
                            .kova_transform_buffer = camera_block_,
                            .kova_position_buffer = positions_,
                            .index_count = count,
                            .instance_count = 1},
                EndPassCommand{}};
  geo_cmds = {begin, geodesic_pipeline_, BindUniformCommand{camera_block_, 0, 2 * sizeof(PGL4), 0}};
  for (std::size_t g = 0; g < scene.geodesics.size(); ++g) {
    const kova_demo::GeodesicSet& set = scene.geodesics[g];
    geo_cmds.push_back(KovaUploadPositionsCommand{geodesic_buffers_[g], set.points});
    geo_cmds.push_back(KovaRenderGeodesicsCommand{
        geodesic_buffers_[g], static_cast<std::uint32_t>(set.points.size()), set.r, set.g, set.b});
  }
  geo_cmds.push_back(EndPassCommand{});
  FrameGraph graph = FrameGraph::init(arena);
  graph.frame_index = frame_;
  const FramePass passes[] = {
      {"clear", {}, targets, clear_cmds, PassType::clear},
      {"fs_distance", {}, {}, compute_cmds, PassType::kova_fs_compute},
      {"points", {}, targets, point_cmds, PassType::geometry},
      {"geodesics", {}, targets, geo_cmds, PassType::kova_geodesic},
  };
  for (const FramePass& pass : passes) {
    if (!graph.addPass(pass))
      return std::unexpected(std::string("out of memory while recording the frame graph"));
  }
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
