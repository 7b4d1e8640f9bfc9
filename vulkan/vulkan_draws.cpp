// The Vulkan device's drawing and computing commands, recorded from
// commands the checker has resolved (vulkan_recorder.hpp).
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <variant>

#include "kova_device_arc_walk.hpp"
#include "kova_device_lights.hpp"
#include "kova_device_lines.hpp"
#include "kova_device_raster.hpp"
#include "kova_device_splats.hpp"
#include "vulkan_recorder.hpp"

namespace kova_device::recording {
namespace {

VkDeviceSize alignUp(VkDeviceSize v, VkDeviceSize a) { return (v + a - 1) / a * a; }

// Bytes of point_splats.comp's record of one point.
constexpr VkDeviceSize kSplatBytes = 32;

// v scaled by a power of two that brings its largest coordinate near 1, in
// single precision: a projective point or map does not change with scale.
template <std::size_t N>
std::array<float, N> toSingle(const std::array<double, N>& v) {
  double largest = 0.0;
  for (double c : v) largest = std::max(largest, std::fabs(c));
  int e = 0;
  if (largest > 0.0 && std::isfinite(largest)) std::frexp(largest, &e);
  std::array<float, N> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = static_cast<float>(std::ldexp(v[i], -e));
  return out;
}

// The largest distance whose splat radius is at least k (-1 when even
// distance 0 has a smaller one). The radius falls as the distance grows, so
// a bisection over the ordered bit patterns of [0, pi/2] finds the exact step.
double radiusStep(int k, double tan_h, std::uint32_t width) {
  constexpr double kTop = 1.5707963267948966;  // the largest distance deviceAcos returns
  const auto at_least = [&](std::uint64_t bits) {
    return splatRadius(std::bit_cast<double>(bits), tan_h, width) >= k;
  };
  std::uint64_t lo = 0, hi = std::bit_cast<std::uint64_t>(kTop);
  if (!at_least(lo)) return -1.0;
  if (at_least(hi)) return kTop;
  while (hi - lo > 1) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    (at_least(mid) ? lo : hi) = mid;
  }
  return std::bit_cast<double>(lo);
}

}  // namespace

void Recorder::clear(const CheckedCommand& command) {
  const auto& c = std::get<kova_rhi::ClearCommand>(*command.command);
  State::Image* color = &image(command.color);
  State::Image* depth = command.depth ? &image(*command.depth) : nullptr;
  sync_.note(color->gpu, kTransferWrite);
  sync_.note(color->kinds, kTransferWrite);
  if (depth != nullptr) sync_.note(depth->gpu, kTransferWrite);
  outside();
  const VkClearColorValue rgba{.float32 = {c.r, c.g, c.b, c.a}};
  const VkClearColorValue zero{};
  const VkImageSubresourceRange range{VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
  vkCmdClearColorImage(cb_, color->gpu.image, color->gpu.layout, &rgba, 1, &range);
  vkCmdClearColorImage(cb_, color->kinds.image, color->kinds.layout, &zero, 1, &range);
  if (depth != nullptr) {
    depth->depth_camera.reset();
    const VkClearDepthStencilValue value{clearedDepth(c.depth), 0};
    const VkImageSubresourceRange depth_range{VK_IMAGE_ASPECT_DEPTH_BIT, 0, 1, 0, 1};
    vkCmdClearDepthStencilImage(cb_, depth->gpu.image, depth->gpu.layout, &value, 1, &depth_range);
  }
}

void Recorder::fsDistance(const CheckedCommand& command) {
  const auto& c = std::get<kova_rhi::KovaComputeFsDistanceCommand>(*command.command);
  State::Buffer* a = &buffer(c.positions_a);
  State::Buffer* b = &buffer(c.positions_b);
  State::Buffer* out = &buffer(c.results);
  stats_.distances += c.count;
  if (c.count == 0) return;
  if (!s_.runs(Program::fs_distance)) return hostFsDistance(command);
  sync_.note(a->gpu, kComputeRead);
  sync_.note(b->gpu, kComputeRead);
  sync_.note(out->gpu, kComputeWrite);
  outside();
  vkCmdBindPipeline(cb_, VK_PIPELINE_BIND_POINT_COMPUTE, s_.kernels[0]);
  bindSet(Program::fs_distance, VK_PIPELINE_BIND_POINT_COMPUTE,
          {whole(a->gpu), whole(b->gpu), whole(out->gpu)});
  const struct {
    std::uint32_t count, a_single, b_single;
  } pc{c.count, command.points_a == 1 ? 1u : 0u, command.points_b == 1 ? 1u : 0u};
  push(Program::fs_distance, VK_SHADER_STAGE_COMPUTE_BIT, pc);
  dispatchOver(c.count);
}

void Recorder::hostFsDistance(const CheckedCommand& command) {
  const auto& c = std::get<kova_rhi::KovaComputeFsDistanceCommand>(*command.command);
  const std::vector<std::byte>& a = buffer(c.positions_a).host;
  const std::vector<std::byte>& b = buffer(c.positions_b).host;
  constexpr std::size_t kPoint = sizeof(kova_kernel::HomVec4);
  // The checker saw each input hold one point (repeated) or `count` points,
  // which the host copies hold as the graph's order left them.
  if ((command.points_a != 1 && a.size() / kPoint < c.count) ||
      (command.points_b != 1 && b.size() / kPoint < c.count) || a.size() < kPoint ||
      b.size() < kPoint)
    throw VulkanFailure("kova_compute_fs_distance: the host copy of a positions buffer is missing");
  const auto pointAt = [&](const std::vector<std::byte>& host, std::size_t i) {
    kova_kernel::HomVec4 p;
    std::memcpy(&p, host.data() + i * kPoint, kPoint);
    return p;
  };
  std::vector<double> values(c.count);
  for (std::uint32_t i = 0; i < c.count; ++i) {
    const kova_kernel::HomVec4 pa = pointAt(a, command.points_a == 1 ? 0 : i);
    const kova_kernel::HomVec4 pb = pointAt(b, command.points_b == 1 ? 0 : i);
    values[i] = kova_kernel::fsDistance(pa, pb);
  }
  // The host copy too: a points draw on this device reads it.
  hostWrite(buffer(c.results), std::as_bytes(std::span<const double>(values)));
}

void Recorder::drawPoints(const CheckedCommand& command) {
  const auto& draw = std::get<kova_rhi::DrawCommand>(*command.command);
  if (draw.instance_count == 0 || draw.index_count == 0) return;
  State::Pipeline& pipe = pipeline(command.pipeline);
  const State::Image& color = image(command.color);
  const PGL4& params = command.camera_block[1];
  image(*command.depth).depth_camera =
      DepthCamera{params.data[4], params.data[5], params.data[6], params.data[7]};
  const std::uint32_t n = draw.index_count;
  // Two records of 16 bytes per point: (cx, cy, radius, FS-depth bits) and
  // (tan(near) cot(distance) bits, 0, 0, 0).
  const VkDeviceSize bytes = VkDeviceSize{n} * kSplatBytes;
  Counted counted = counters(false);
  const VkDeviceSize at = reserve(s_.splats, splats_used_, bytes, kStorage);
  counted.splats = static_cast<const std::byte*>(s_.splats.mapped) + at;
  counted.count = n;
  counted_.push_back(counted);

  if (!s_.runs(Program::point_splats)) {
    hostSplats(command, static_cast<std::byte*>(s_.splats.mapped) + at,
               static_cast<std::uint32_t*>(s_.stats.mapped) + counted.slot);
  } else {
    splatsOnGpu(command, at, bytes, counted.slot);
  }

  sync_.note(s_.splats, kVertexRead);
  inside(command);
  vkCmdBindPipeline(cb_, VK_PIPELINE_BIND_POINT_GRAPHICS, s_.rasterPipeline(pipe, color.format));
  bindSet(Program::splat_draw, VK_PIPELINE_BIND_POINT_GRAPHICS,
          {{s_.splats.buffer, at, bytes}});
  const struct {
    std::uint32_t width, height, first, pad;
    float tan_h, tan_v;
  } draw_pc{color.desc.width,
            color.desc.height,
            0,
            0,
            static_cast<float>(params.data[4]),
            static_cast<float>(params.data[5])};
  push(Program::splat_draw, VK_SHADER_STAGE_VERTEX_BIT, draw_pc);
  vkCmdDraw(cb_, n, 1, 0, 0);
}

// point_splats.comp: the splat records of a points draw at `at` of the
// splats buffer, counting the drawn points in counter slot `slot`.
void Recorder::splatsOnGpu(const CheckedCommand& command, VkDeviceSize at, VkDeviceSize bytes,
                           std::uint32_t slot) {
  const auto& draw = std::get<kova_rhi::DrawCommand>(*command.command);
  State::Buffer* positions = &buffer(command.positions);
  State::Buffer* distances = &buffer(command.values);
  State::Buffer* camera = &buffer(command.transforms);
  const State::Image& color = image(command.color);
  const PGL4& params = command.camera_block[1];
  const double tan_h = params.data[4];
  const std::uint32_t n = draw.index_count;

  sync_.note(positions->gpu, kComputeRead);
  sync_.note(distances->gpu, kComputeRead);
  sync_.note(camera->gpu, kComputeRead);
  sync_.note(s_.splats, kComputeWrite);
  sync_.note(s_.stats, kComputeWrite);
  outside();
  vkCmdBindPipeline(cb_, VK_PIPELINE_BIND_POINT_COMPUTE, s_.kernels[1]);
  bindSet(Program::point_splats, VK_PIPELINE_BIND_POINT_COMPUTE,
          {whole(positions->gpu),
           whole(distances->gpu),
           whole(camera->gpu),
           {s_.splats.buffer, at, bytes},
           whole(s_.stats)});
  const struct {
    double steps[3];
    std::uint32_t count, width, height, counter;
    double depth_scale;
  } pc{{radiusStep(3, tan_h, color.desc.width), radiusStep(2, tan_h, color.desc.width),
        radiusStep(1, tan_h, color.desc.width)},
       n,
       color.desc.width,
       color.desc.height,
       slot,
       encodingScale(params.data[6])};
  push(Program::point_splats, VK_SHADER_STAGE_COMPUTE_BIT, pc);
  dispatchOver(n);

}

void Recorder::hostSplats(const CheckedCommand& command, std::byte* records,
                          std::uint32_t* counter) {
  const auto& draw = std::get<kova_rhi::DrawCommand>(*command.command);
  const std::vector<std::byte>& positions = buffer(command.positions).host;
  const std::vector<std::byte>& distances = buffer(command.values).host;
  const State::Image& color = image(command.color);
  const CameraBlock cam = unpackCameraBlock(command.camera_block[0], command.camera_block[1]);
  const std::uint32_t n = draw.index_count;
  // The checker saw both buffers hold n values, which the host copies hold
  // as the graph's order left them.
  if (positions.size() / sizeof(HomVec4) < n || distances.size() / sizeof(double) < n)
    throw VulkanFailure("points draw: the host copy of a positions or values buffer is missing");
  std::uint32_t drawn = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    HomVec4 p;
    double d;
    std::memcpy(&p, positions.data() + std::size_t{i} * sizeof(HomVec4), sizeof(HomVec4));
    std::memcpy(&d, distances.data() + std::size_t{i} * sizeof(double), sizeof(double));
    std::int32_t rec[8] = {0, 0, -1, 0, 0, 0, 0, 0};
    if (const auto sp = pointSplat(cam, p, d, color.desc.width, color.desc.height)) {
      rec[0] = sp->cx;
      rec[1] = sp->cy;
      rec[2] = sp->r;
      rec[3] = std::bit_cast<std::int32_t>(sp->z);
      rec[4] = std::bit_cast<std::int32_t>(sp->k);
      ++drawn;
    }
    std::memcpy(records + std::size_t{i} * kSplatBytes, rec, kSplatBytes);
  }
  *counter = drawn;
}

// A mesh draw: the triangles of index_buffer over the vertices of
// kova_position_buffer, once per transform of kova_transform_buffer, seen
// through the camera block at uniform binding 0 (an isometric view); an
// optional storage buffer at binding 1 holds each instance's RGB colour.
// The checker has checked every index against the vertices uploaded, so the
// shaders never read outside a buffer.
void Recorder::drawMesh(const CheckedCommand& command) {
  const auto& draw = std::get<kova_rhi::DrawCommand>(*command.command);
  State::Pipeline& pipe = pipeline(command.pipeline);
  const State::Buffer* vertices = &buffer(command.positions);
  State::Buffer* indices = &buffer(command.indices);
  const State::Buffer* instances = &buffer(command.transforms);
  const State::Buffer* colors = command.colors.id != 0 ? &buffer(command.colors) : nullptr;
  const std::uint32_t triangles = draw.index_count / 3;
  stats_.triangles += triangles * draw.instance_count;
  if (triangles == 0 || draw.instance_count == 0) return;
  // Each instance is drawn four times (two halves of space, two sides of
  // view w = 0); the checker keeps the instance index from wrapping and the
  // flags within one storage range.
  const std::uint64_t flags = std::uint64_t{triangles} * draw.instance_count;

  const State::Image& color = image(command.color);
  const PGL4& params = command.camera_block[1];
  image(*command.depth).depth_camera =
      DepthCamera{params.data[4], params.data[5], params.data[6], params.data[7]};
  Counted counted{};
  counted.triangles = true;
  counted.count = static_cast<std::uint32_t>(flags);
  const VkDeviceSize at = reserve(s_.drawn, drawn_used_, flags * 4, kStorage);
  std::memset(static_cast<std::byte*>(s_.drawn.mapped) + at, 0, flags * 4);
  counted.splats = static_cast<const std::byte*>(s_.drawn.mapped) + at;
  counted_.push_back(counted);

  // The raster path is single precision: the host composes view * model of
  // each instance in double and hands the GPU the product in float (scaled to
  // its largest entry), the vertices likewise and the colours as RGBA, in
  // host-written regions of the splat buffer.
  const PGL4& view = command.camera_block[0];
  const std::size_t n_instances = draw.instance_count;
  const std::size_t n_vertices = vertices->host.size() / sizeof(HomVec4);
  // One reservation (a second could move the buffer under the first).
  const VkDeviceSize vertex_bytes = std::max<VkDeviceSize>(n_vertices, 1) * 16;
  const VkDeviceSize matrix_span = alignUp(VkDeviceSize{n_instances} * 64, kRegionAlign);
  const VkDeviceSize colour_span = alignUp(VkDeviceSize{n_instances} * 16, kRegionAlign);
  // The lights in view space (packLights), the same records the CPU device
  // shades from; one zero record stands in when there are none.
  std::vector<LightGpu> lights;
  if (command.lights.id != 0) lights = packLights(view, buffer(command.lights).host_values);
  // Forward+: the tile lists the checker measured against the grid.
  State::Buffer* lists = command.output.id != 0 ? &buffer(command.output) : nullptr;
  const TileGrid grid =
      lists != nullptr ? *checkTileGrid(buffer(command.grid).host_values) : TileGrid{};
  const VkDeviceSize light_bytes = std::max<VkDeviceSize>(lights.size(), 1) * sizeof(LightGpu);
  const VkDeviceSize vertex_span = alignUp(vertex_bytes, kRegionAlign);
  const VkDeviceSize matrices_at = reserve(
      s_.splats, splats_used_, matrix_span + colour_span + vertex_span + light_bytes, kStorage);
  const VkDeviceSize colours_at = matrices_at + matrix_span;
  const VkDeviceSize vertices_at = colours_at + colour_span;
  const VkDeviceSize lights_at = vertices_at + vertex_span;
  auto* base = static_cast<std::byte*>(s_.splats.mapped);
  std::memset(base + lights_at, 0, light_bytes);
  if (!lights.empty()) std::memcpy(base + lights_at, lights.data(), light_bytes);
  for (std::size_t i = 0; i < n_instances; ++i) {
    // The checker has counted the transforms uploaded; the guard keeps a
    // read inside the host copy whatever happens.
    PGL4 model = PGL4::identity();
    if (instances->host.size() >= (i + 1) * sizeof(PGL4))
      std::memcpy(&model, instances->host.data() + i * sizeof(PGL4), sizeof(PGL4));
    const PGL4 placed = view.mul(model);
    const auto m = toSingle(placed.data);
    std::memcpy(base + matrices_at + i * 64, m.data(), 64);
    float rgba[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    // Colours are the values the host wrote (writeValues); values only the
    // device computed have no host copy and leave the instance white.
    if (colors != nullptr && colors->host.size() >= (i + 1) * 24) {
      double rgb[3];
      std::memcpy(rgb, colors->host.data() + i * 24, 24);
      for (std::size_t c = 0; c < 3; ++c) rgba[c] = static_cast<float>(rgb[c]);
    }
    std::memcpy(base + colours_at + i * 16, rgba, 16);
  }
  for (std::size_t v = 0; v < n_vertices; ++v) {
    std::array<double, 4> p{};
    std::memcpy(p.data(), vertices->host.data() + v * sizeof(HomVec4), sizeof(p));
    const auto f = toSingle(p);
    std::memcpy(base + vertices_at + v * 16, f.data(), 16);
  }

  // The vertex shader reads what the host wrote; the fragments flag their
  // triangles.
  // The fragments read the lights there too.
  constexpr Access kVertexFragmentRead{
      VK_PIPELINE_STAGE_2_VERTEX_SHADER_BIT | VK_PIPELINE_STAGE_2_FRAGMENT_SHADER_BIT,
      VK_ACCESS_2_SHADER_STORAGE_READ_BIT};
  sync_.note(s_.splats, kVertexFragmentRead);
  if (lists != nullptr) {
    constexpr Access kFragmentRead{VK_PIPELINE_STAGE_2_FRAGMENT_SHADER_BIT,
                                   VK_ACCESS_2_SHADER_STORAGE_READ_BIT};
    sync_.note(lists->gpu, kFragmentRead);
  }
  sync_.note(indices->gpu, kVertexRead);
  sync_.note(s_.drawn, kFragmentWrite);
  inside(command);
  // Into a G-buffer the surface's attributes, made per albedo format.
  const VkPipeline raster =
      command.to_gbuffer
          ? s_.rasterPipeline(pipe, image(command.gbuffer[2]).format, State::Variant::gbuffer)
          : s_.rasterPipeline(pipe, color.format,
                              lights.empty() ? State::Variant::plain : State::Variant::lit);
  vkCmdBindPipeline(cb_, VK_PIPELINE_BIND_POINT_GRAPHICS, raster);
  bindSet(Program::mesh_draw, VK_PIPELINE_BIND_POINT_GRAPHICS,
          {{s_.splats.buffer, matrices_at, VkDeviceSize{n_instances} * 64},
           {s_.splats.buffer, colours_at, VkDeviceSize{n_instances} * 16},
           {s_.splats.buffer, vertices_at, vertex_bytes},
           whole(indices->gpu),
           {s_.drawn.buffer, at, flags * 4},
           {s_.splats.buffer, lights_at, light_bytes},
           lists != nullptr ? whole(lists->gpu)
                            : VkDescriptorBufferInfo{s_.splats.buffer, lights_at, light_bytes}});
  // The fragments shade in single precision from the camera's values.
  const struct {
    std::uint32_t width, height, triangles, has_colors;
    float fog[4];
    float depth_scale, tan_h, tan_v, far_fs;
    std::uint32_t light_count;
    std::uint32_t tiled, tile_size, tiles_x, max_lights;
  } pc{color.desc.width,
       color.desc.height,
       triangles,
       colors != nullptr ? 1u : 0u,
       {static_cast<float>(params.data[9]), static_cast<float>(params.data[10]),
        static_cast<float>(params.data[11]), 1.0f},
       static_cast<float>(encodingScale(params.data[6])),
       static_cast<float>(params.data[4]),
       static_cast<float>(params.data[5]),
       static_cast<float>(params.data[7]),
       static_cast<std::uint32_t>(lights.size()),
       lists != nullptr ? 1u : 0u,
       grid.tile_size,
       grid.tilesX(),
       grid.max_lights_per_tile};
  static_assert(sizeof(pc) == 68);
  push(Program::mesh_draw, VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, pc);
  // Triangles map onto the image itself, not the widened viewport of the
  // points and arcs; the widened one is restored after the draw.
  const VkViewport exact{
      0.0f, 0.0f, static_cast<float>(color.desc.width), static_cast<float>(color.desc.height),
      0.0f, 1.0f};
  vkCmdSetViewport(cb_, 0, 1, &exact);
  vkCmdDraw(cb_, triangles * 3, draw.instance_count * 4, 0, 0);
  const VkViewport widened{-kViewportPad,
                           -kViewportPad,
                           static_cast<float>(color.desc.width) + 2 * kViewportPad,
                           static_cast<float>(color.desc.height) + 2 * kViewportPad,
                           0.0f,
                           1.0f};
  vkCmdSetViewport(cb_, 0, 1, &widened);
}

// Arcs under an isometric view: line primitives (kova_device_lines.hpp).
// The host puts each arc's unit view-space ends in single precision into a
// host-written region and counts the arcs that show; line.vert draws each
// arc in four passes.
void Recorder::drawArcLines(const CheckedCommand& command) {
  const auto& c = std::get<kova_rhi::KovaRenderGeodesicsCommand>(*command.command);
  State::Pipeline& pipe = pipeline(command.pipeline);
  const State::Buffer* positions = &buffer(command.positions);
  const State::Image& color = image(command.color);
  const PGL4& view = command.camera_block[0];
  const PGL4& params = command.camera_block[1];
  image(*command.depth).depth_camera =
      DepthCamera{params.data[4], params.data[5], params.data[6], params.data[7]};
  const std::uint32_t arcs = c.count / 2;
  if (arcs == 0) return;
  const auto tan_h = static_cast<float>(params.data[4]);
  const auto tan_v = static_cast<float>(params.data[5]);
  const auto scale = static_cast<float>(encodingScale(params.data[6]));
  const std::size_t points = positions->host.size() / sizeof(HomVec4);
  const VkDeviceSize bytes = VkDeviceSize{arcs} * 32;
  const VkDeviceSize at = reserve(s_.splats, splats_used_, bytes, kStorage);
  auto* out = static_cast<std::byte*>(s_.splats.mapped) + at;
  for (std::size_t k = 0; k < arcs; ++k) {
    std::optional<ArcEnds> ends;
    if (2 * k + 1 < points) {
      HomVec4 p{}, q{};
      std::memcpy(&p, positions->host.data() + 2 * k * sizeof(HomVec4), sizeof(HomVec4));
      std::memcpy(&q, positions->host.data() + (2 * k + 1) * sizeof(HomVec4), sizeof(HomVec4));
      ends = arcInView(view, p, q);
    }
    // An arc with no ends sits on the eye plane, outside every pass's clip volume.
    const ArcEnds e = ends ? *ends : ArcEnds{{1.0f, 0.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f, 0.0f}};
    if (ends && arcShows(e, tan_h, tan_v, scale)) ++stats_.geodesic_arcs;
    std::memcpy(out + k * 32, e.a.data(), 16);
    std::memcpy(out + k * 32 + 16, e.b.data(), 16);
  }

  sync_.note(s_.splats, kVertexRead);
  inside(command);
  vkCmdBindPipeline(cb_, VK_PIPELINE_BIND_POINT_GRAPHICS,
                    s_.rasterPipeline(pipe, color.format, State::Variant::arc_lines));
  bindSet(Program::line_draw, VK_PIPELINE_BIND_POINT_GRAPHICS, {{s_.splats.buffer, at, bytes}});
  const struct {
    float rgb[4];
    float fog[4];
    std::uint32_t width, height;
    float depth_scale, tan_h, tan_v, near_fs, far_fs;
  } pc{{c.color_r, c.color_g, c.color_b, 1.0f},
       {static_cast<float>(params.data[9]), static_cast<float>(params.data[10]),
        static_cast<float>(params.data[11]), 1.0f},
       color.desc.width,
       color.desc.height,
       scale,
       tan_h,
       tan_v,
       static_cast<float>(params.data[6]),
       static_cast<float>(params.data[7])};
  static_assert(sizeof(pc) == 60);
  push(Program::line_draw, VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, pc);
  // Lines map onto the image itself, as triangles do.
  const VkViewport exact{
      0.0f, 0.0f, static_cast<float>(color.desc.width), static_cast<float>(color.desc.height),
      0.0f, 1.0f};
  vkCmdSetViewport(cb_, 0, 1, &exact);
  vkCmdDraw(cb_, arcs * 2, 4, 0, 0);
  const VkViewport widened{-kViewportPad,
                           -kViewportPad,
                           static_cast<float>(color.desc.width) + 2 * kViewportPad,
                           static_cast<float>(color.desc.height) + 2 * kViewportPad,
                           0.0f,
                           1.0f};
  vkCmdSetViewport(cb_, 0, 1, &widened);
}

void Recorder::drawGeodesics(const CheckedCommand& command) {
  const auto& c = std::get<kova_rhi::KovaRenderGeodesicsCommand>(*command.command);
  // Under an isometric view (camera entry 24) arcs are line primitives; a
  // view that keeps w has no clip space that carries the observer's FS
  // distance, so its arcs are walked pixel by pixel.
  if (command.camera_block[1].data[kIsometricFlag] == 1.0) return drawArcLines(command);
  State::Pipeline& pipe = pipeline(command.pipeline);
  if (c.count / 2 == 0) return;

  const State::Image& color = image(command.color);
  {
    const PGL4& p = command.camera_block[1];
    image(*command.depth).depth_camera = DepthCamera{p.data[4], p.data[5], p.data[6], p.data[7]};
  }
  Counted counted = counters(true);
  counted_.push_back(counted);
  std::uint32_t* slots = static_cast<std::uint32_t*>(s_.stats.mapped) + counted.slot;
  // The walk's pixels: counted and written by geodesics.comp, with the draw's
  // vertex count, or by the host into the splats buffer.
  const bool on_host = !s_.runs(Program::geodesics);
  VkDescriptorBufferInfo pixels{};
  std::uint32_t host_pixels = 0;
  if (on_host) {
    std::vector<std::uint32_t> words;
    const std::uint32_t total = hostArcWalk(command, slots, words);
    host_pixels = total;
    const VkDeviceSize bytes = std::max<VkDeviceSize>(VkDeviceSize{total} * kArcPixelBytes, 16);
    const VkDeviceSize at = reserve(s_.splats, splats_used_, bytes, kStorage);
    std::memcpy(static_cast<std::byte*>(s_.splats.mapped) + at, words.data(),
                words.size() * sizeof(std::uint32_t));
    pixels = {s_.splats.buffer, at, bytes};
    sync_.note(s_.splats, kVertexRead);
  } else {
    walkOnGpu(command, counted.slot);
    pixels = whole(s_.pixels);
    sync_.note(s_.pixels, kVertexRead);
    sync_.note(s_.draw_args, kIndirectRead);
  }
  inside(command);
  vkCmdBindPipeline(cb_, VK_PIPELINE_BIND_POINT_GRAPHICS, s_.rasterPipeline(pipe, color.format));
  bindSet(Program::geodesic_draw, VK_PIPELINE_BIND_POINT_GRAPHICS, {pixels});
  // Under an isometric view (camera entry 24) lines fade into the fog colour.
  const PGL4& params = command.camera_block[1];
  const bool isometric = params.data[8] == 1.0;
  const struct {
    float rgb[4];
    float fog[4];
    std::uint32_t width, height, isometric;
    float tan_h, tan_v;
  } draw_pc{{c.color_r, c.color_g, c.color_b, 1.0f},
            {static_cast<float>(params.data[9]), static_cast<float>(params.data[10]),
             static_cast<float>(params.data[11]), 1.0f},
            color.desc.width,
            color.desc.height,
            isometric ? 1u : 0u,
            static_cast<float>(params.data[4]),
            static_cast<float>(params.data[5])};
  static_assert(sizeof(draw_pc) == 52);
  push(Program::geodesic_draw, VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, draw_pc);
  if (on_host) {
    if (host_pixels > 0) vkCmdDraw(cb_, host_pixels, 1, 0, 0);
  } else {
    vkCmdDrawIndirect(cb_, s_.draw_args.buffer, 0, 1, 16);
  }
}

// geodesics.comp: the walk in three dispatches (count, offsets, pixels), its
// counts in counter slot `slot` and the draw's vertex count in draw_args.
void Recorder::walkOnGpu(const CheckedCommand& command, std::uint32_t slot) {
  const auto& c = std::get<kova_rhi::KovaRenderGeodesicsCommand>(*command.command);
  State::Buffer* positions = &buffer(command.positions);
  State::Buffer* camera = &buffer(command.camera);
  const State::Image& color = image(command.color);
  const std::uint32_t arcs = c.count / 2;
  grow(s_.arcs, VkDeviceSize{arcs} * 8, kStorage, false);
  grow(s_.pixels, VkDeviceSize{kPixelCapacity} * kArcPixelBytes, kStorage, false);
  grow(s_.draw_args, 16, kStorage | VK_BUFFER_USAGE_INDIRECT_BUFFER_BIT, false);

  endRendering();
  vkCmdBindPipeline(cb_, VK_PIPELINE_BIND_POINT_COMPUTE, s_.kernels[2]);
  bindSet(Program::geodesics, VK_PIPELINE_BIND_POINT_COMPUTE,
          {whole(positions->gpu), whole(camera->gpu), whole(s_.arcs), whole(s_.pixels),
           whole(s_.stats), whole(s_.draw_args)});
  // Each mode reads what the one before wrote; every one touches all that is
  // bound, as the shader declares it.
  for (std::uint32_t mode = 0; mode < 3; ++mode) {
    sync_.note(positions->gpu, kComputeRead);
    sync_.note(camera->gpu, kComputeRead);
    for (GpuBuffer* written : {&s_.arcs, &s_.pixels, &s_.stats, &s_.draw_args})
      sync_.note(*written, kComputeWrite);
    sync_.flush();
    const struct {
      std::uint32_t count, width, height, mode, capacity, counter;
      double depth_scale;
    } pc{c.count,      color.desc.width, color.desc.height,
         mode,         kPixelCapacity,   slot,
         encodingScale(command.camera_block[1].data[6])};
    push(Program::geodesics, VK_SHADER_STAGE_COMPUTE_BIT, pc);
    dispatchOver(mode == 1 ? 1 : arcs);
  }
}

std::uint32_t Recorder::hostArcWalk(const CheckedCommand& command, std::uint32_t* counters,
                                    std::vector<std::uint32_t>& words) {
  const auto& c = std::get<kova_rhi::KovaRenderGeodesicsCommand>(*command.command);
  const std::vector<std::byte>& positions = buffer(command.positions).host;
  const State::Image& color = image(command.color);
  const CameraBlock cam = unpackCameraBlock(command.camera_block[0], command.camera_block[1]);
  const std::uint32_t w = color.desc.width, h = color.desc.height;
  if (positions.size() / sizeof(HomVec4) < c.count)
    throw VulkanFailure("kova_render_geodesics: the host copy of the positions buffer is missing");
  const auto pointAt = [&](std::size_t i) {
    HomVec4 p;
    std::memcpy(&p, positions.data() + i * sizeof(HomVec4), sizeof(HomVec4));
    return p;
  };
  std::uint32_t drawn = 0, total = 0;
  bool overflow = false;
  for (std::uint32_t k = 0; k + 1 < c.count; k += 2) {
    const std::size_t first = words.size();
    const bool any = walkArc(cam, pointAt(k), pointAt(k + 1), w, h, [&](int x, int y, double z) {
      if (x < 0 || y < 0 || x >= static_cast<int>(w) || y >= static_cast<int>(h)) return;
      const WalkedPixel px = walkedPixel(cam, z);
      words.push_back(static_cast<std::uint32_t>(x) | (static_cast<std::uint32_t>(y) << 16));
      words.push_back(std::bit_cast<std::uint32_t>(px.k));
      words.push_back(std::bit_cast<std::uint32_t>(px.fade));
    });
    drawn += any ? 1 : 0;
    // As geodesics.comp: an arc whose pixels do not fit is left out, and the
    // command fails.
    const auto n = static_cast<std::uint32_t>((words.size() - first) / 3);
    if (overflow || n > kPixelCapacity - total) {
      overflow = true;
      words.resize(first);
    } else {
      total += n;
    }
  }
  counters[0] = drawn;
  counters[1] = total;
  counters[2] = overflow ? 1u : 0u;
  if (overflow) return 0;  // nothing is drawn, as the indirect draw's zero count
  return total;
}

void Recorder::readTrace(const Counted& c) const {
  for (std::uint32_t i = 0; i < c.count; ++i) {
    std::int32_t rec[4];
    std::memcpy(rec, c.splats + std::size_t{i} * kSplatBytes, 16);
    if (rec[2] < 0) continue;
    const auto rgb = depthColor(std::bit_cast<float>(rec[3]));
    s_.trace->push_back(
        DrawTrace{i, rec[0], rec[1], rec[2], {toByte(rgb[0]), toByte(rgb[1]), toByte(rgb[2])}});
  }
}

}  // namespace kova_device::recording
