#include "lights_scene.hpp"

#include <algorithm>
#include <cmath>
#include <random>

#include "arena_commands.hpp"
#include "kova_vulkan_device.hpp"

namespace kova_demo {

std::expected<void, std::string> checkLatticeLights(PipelineChoice choice, std::uint32_t count) {
  if (count <= maxLatticeLights(choice)) return {};
  return std::unexpected(std::to_string(count) + " lights are more than the " +
                         std::to_string(maxLatticeLights(choice)) + " a " +
                         std::string(pipelineName(choice)) + " frame sheds");
}

std::vector<kova_device::Light> latticeLights(std::uint32_t count, std::uint64_t frame) {
  // Each light's circle is spanned by two orthonormal points drawn from a
  // generator seeded by the light's number, so a light keeps its path when
  // the count changes.
  constexpr double kHues[6][3] = {{1.0, 0.75, 0.45}, {0.45, 0.75, 1.0}, {1.0, 0.45, 0.6},
                                  {0.55, 1.0, 0.6},  {0.9, 0.9, 1.0},   {1.0, 0.95, 0.5}};
  // Past eight lights the ranges shrink with the cube root of the count, so
  // that a point is reached by about as many lights whatever the count:
  // many lights are many small ones, as forward+'s tiles expect.
  const double reach = std::cbrt(8.0 / std::max(8.0, static_cast<double>(count)));
  std::vector<kova_device::Light> out;
  out.reserve(count);
  for (std::uint32_t k = 0; k < count; ++k) {
    std::mt19937_64 rng(0x6c6967687473ULL + k);
    std::normal_distribution<double> g;
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const HomVec4 a = HomVec4{g(rng), g(rng), g(rng), g(rng)}.normalize();
    HomVec4 b{g(rng), g(rng), g(rng), g(rng)};
    const double ab = b.dot(a);
    b = HomVec4{b.x - ab * a.x, b.y - ab * a.y, b.z - ab * a.z, b.w - ab * a.w}.normalize();
    const double phase = 3.141592653589793 * u(rng);
    const double arc = phase + kFlightStep * static_cast<double>(frame % 240);
    const double c = std::cos(arc), s = std::sin(arc);
    const auto& hue = kHues[k % 6];
    out.push_back({HomVec4{c * a.x + s * b.x, c * a.y + s * b.y, c * a.z + s * b.z,
                           c * a.w + s * b.w},
                   {hue[0], hue[1], hue[2]},
                   1.5 + 1.5 * u(rng),
                   (0.6 + 0.5 * u(rng)) * reach});
  }
  return out;
}

template <FrameDevice Device>
std::expected<BufferId, std::string> createLatticeLightBuffer(Device& device) {
  return device.createBuffer({.size = std::uint64_t{kMaxLatticeLights} * kova_device::kLightValues * 8,
                              .stride = 8,
                              .type = kova_rhi::BufferType::storage});
}

template <FrameDevice Device>
std::expected<LatticeLightsGpu, std::string> createLatticeLightsGpu(
    Device& device, const kova_renderer::ForwardPlusPipeline& record, std::uint32_t width,
    std::uint32_t height) {
  auto fp = kova_device::createForwardPlusGpu(device, record, width, height);
  if (!fp) return std::unexpected(fp.error());
  auto lights = createLatticeLightBuffer(device);
  if (!lights) {
    (void)kova_device::releaseForwardPlusGpu(device, *fp);
    return std::unexpected(lights.error());
  }
  return LatticeLightsGpu{*fp, *lights};
}

template <FrameDevice Device>
std::expected<void, std::string> releaseLatticeLightsGpu(Device& device,
                                                         const LatticeLightsGpu& g) {
  if (auto ok = device.releaseBuffer(g.lights); !ok) return ok;
  return kova_device::releaseForwardPlusGpu(device, g.forward_plus);
}

kova_renderer::ForwardPlusPipeline latticeForwardPlus(const kova_renderer::KovaCamera& camera,
                                                      std::uint32_t samples,
                                                      std::uint64_t frame) {
  kova_renderer::ForwardPlusConfig config;
  config.msaa_samples = samples;
  auto record = kova_renderer::ForwardPlusPipeline::init(camera, config);
  record.frame_index = frame;
  return record;
}

std::expected<void, std::string> recordLatticeForwardPlus(
    kova_rhi::FrameGraph& graph, std::pmr::memory_resource& arena,
    const kova_renderer::ForwardPlusPipeline& record, const LatticeGpu& gpu,
    const LatticeLightsGpu& lit, const LatticeScene& scene, ImageId color, ImageId depth,
    std::span<const PGL4> instances, std::span<const PGL4> camera_block,
    std::size_t color_values, std::size_t light_count, bool every_light) {
  using namespace kova_rhi;
  const auto n_indices = static_cast<std::uint32_t>(scene.cell.indices.size());
  const auto n_instances = static_cast<std::uint32_t>(instances.size());
  const auto n_edges = static_cast<std::uint32_t>(scene.edge_points.size());
  const ArenaCommands uploads(arena, {KovaUploadPositionsCommand{gpu.vertices, scene.cell.vertices},
                                      KovaUploadPgl4Command{gpu.instances, instances},
                                      KovaUploadPositionsCommand{gpu.edges, scene.edge_points}});
  auto* draw = static_cast<DrawCommand*>(arena.allocate(sizeof(DrawCommand), alignof(DrawCommand)));
  std::construct_at(draw, DrawCommand{.pipeline = gpu.mesh_pipeline,
                                      .vertex_buffer = BufferId::invalid(),
                                      .index_buffer = gpu.indices,
                                      .kova_transform_buffer = gpu.instances,
                                      .kova_position_buffer = gpu.vertices,
                                      .index_count = n_indices,
                                      .instance_count = n_instances});
  const ArenaCommands overlay(
      arena, {gpu.edge_pipeline, BindUniformCommand{gpu.camera, 0, 2 * sizeof(PGL4), 0},
              KovaRenderGeodesicsCommand{gpu.edges, n_edges, 1.0f, 0.86f, 0.6f}});
  const auto fog = kLatticeFogColor;
  const kova_device::ForwardPlusFrame frame{
      .color = color,
      .depth = depth,
      .clear_rgb = fog,
      .camera = gpu.camera,
      .camera_block = camera_block,
      .lights = lit.lights,
      .light_count = light_count,
      .colors = gpu.colors,
      .color_values = color_values,
      .uploads = uploads.commands(),
      .draws = std::span<const DrawCommand>(draw, n_instances == 0 ? 0 : 1),
      .overlay = overlay.commands()};
  return every_light
             ? kova_device::recordEveryLight(graph, arena, record, lit.forward_plus, frame)
             : kova_device::recordForwardPlus(graph, arena, record, lit.forward_plus, frame);
}

template std::expected<BufferId, std::string> createLatticeLightBuffer(CpuDevice&);
template std::expected<BufferId, std::string> createLatticeLightBuffer(VulkanDevice&);
template std::expected<LatticeLightsGpu, std::string> createLatticeLightsGpu(
    CpuDevice&, const kova_renderer::ForwardPlusPipeline&, std::uint32_t, std::uint32_t);
template std::expected<void, std::string> releaseLatticeLightsGpu(CpuDevice&,
                                                                  const LatticeLightsGpu&);
template std::expected<LatticeLightsGpu, std::string> createLatticeLightsGpu(
    VulkanDevice&, const kova_renderer::ForwardPlusPipeline&, std::uint32_t, std::uint32_t);
template std::expected<void, std::string> releaseLatticeLightsGpu(VulkanDevice&,
                                                                  const LatticeLightsGpu&);

}  // namespace kova_demo
