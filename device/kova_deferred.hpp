// Deferred shading as a DeferredPipeline record configures it.
//
// The frame is three passes, recorded by recordDeferredFrame:
//   1. geometry: a begin_pass whose four colour attachments are the
//      G-buffer's position, normal, albedo and material images (in that
//      order) and whose depth attachment is its depth image. A triangle mesh
//      drawn there writes, per covered sample that passes the depth test as
//      a forward draw would, the surface's attributes instead of a colour
//      (gBufferSample below);
//   2. light culling: the built-in tile light culling kernel over the
//      lights (kova_tile_lights.hpp) when the configuration is tiled; an
//      empty pass when it is not;
//   3. lighting: a dispatch of the built-in deferred lighting kernel, whose
//      pass lists the five G-buffer images as its reads and the picture as
//      its one write. Each sample that holds a surface gets the colour a
//      forward draw gives it (lightGBufferSample), shedding the lights of its
//      tile's list when lists are bound, every light otherwise; samples
//      without a surface keep what the picture held.
// The lighting dispatch reads from the pass's uniform bindings: 0 the camera
// block (an isometric view), 1 the lighting parameters the host wrote
// (width, height, max_lights: whole numbers), 2 the light buffer, which may
// hold at most max_lights lights, and optionally 3 the tile lists over the
// grid at 4, as a forward+ draw reads them. Group (x, y, 0) lights the
// pixels of block (x, y) of kDeferredBlock x kDeferredBlock pixels.
//
// The G-buffer keeps, per sample, the view-space surface point and flat 4D
// normal on S^3 in single precision, the albedo in its format's precision,
// and as material the single-precision lambert of the lamp at the eye, the
// fog amount, the Fubini-Study distance from the eye and a coverage flag.
// Lit from those, a surface without lights has exactly the forward colour.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "kova_device.hpp"
#include "kova_device_checks.hpp"
#include "kova_device_layouts.hpp"
#include "kova_device_lights.hpp"
#include "kova_mesh_shading.hpp"
#include "kova_renderer.hpp"
#include "kova_rhi.hpp"
#include "kova_tile_lights.hpp"

namespace kova_device {

using kova_renderer::GBufferLayout;

// Round a colour to what an albedo image of `format` keeps.
[[nodiscard]] inline float albedoTexel(float v, kova_rhi::Format format) noexcept {
  if (format != kova_rhi::Format::rgba8_unorm) return v;
  const float c = std::fmin(std::fmax(v, 0.0f), 1.0f);
  return std::nearbyint(c * 255.0f) / 255.0f;
}

// What the geometry pass writes at one sample: four RGBA texels.
struct GBufferSample {
  std::array<float, 4> position{};
  std::array<float, 4> normal{};
  std::array<float, 4> albedo{};
  std::array<float, 4> material{};  // lambert, fog amount, FS distance, 1 (a surface)
};

// The attributes of the plane with normal `normal` (view space, any scale,
// N.w != 0) seen along `ray`, of colour `base`, under `cam`.
[[nodiscard]] inline GBufferSample gBufferSample(HomVec4 normal, HomVec4 ray,
                                                 const std::array<float, 3>& base,
                                                 const CameraBlock& cam,
                                                 kova_rhi::Format albedo_format) noexcept {
  const SurfaceHit hit = surfaceHit(normal, ray);
  const auto unit = [](HomVec4 v) {
    const double m = std::fmax(std::fmax(std::fabs(v.x), std::fabs(v.y)),
                               std::fmax(std::fabs(v.z), std::fabs(v.w)));
    if (!(m > 0.0)) return std::array<float, 4>{0.0f, 0.0f, 0.0f, 1.0f};
    const HomVec4 s{v.x / m, v.y / m, v.z / m, v.w / m};
    const double n = std::sqrt(((s.x * s.x + s.y * s.y) + s.z * s.z) + s.w * s.w);
    return std::array<float, 4>{static_cast<float>(s.x / n), static_cast<float>(s.y / n),
                                static_cast<float>(s.z / n), static_cast<float>(s.w / n)};
  };
  GBufferSample out;
  out.position = unit(surfacePoint(normal, ray));
  out.normal = unit(normal);
  for (std::size_t i = 0; i < 3; ++i) out.albedo[i] = albedoTexel(base[i], albedo_format);
  out.albedo[3] = 1.0f;
  out.material = {static_cast<float>(hit.lambert), fogAmount(hit.distance, cam.far_fs),
                  static_cast<float>(hit.distance), 1.0f};
  return out;
}

// The colour the lighting pass gives a sample that holds a surface.
[[nodiscard]] inline std::array<float, 3> lightGBufferSample(const GBufferSample& g,
                                                             const std::array<float, 3>& fog,
                                                             std::span<const LightGpu> lights) noexcept {
  // A G-buffer may hold anything a host cleared it to: a normal or point
  // that is not a finite non-zero vector sheds no light, and a colour that
  // is not finite comes out black.
  const auto usable = [](const std::array<float, 4>& v) {
    bool finite = true, nonzero = false;
    for (float c : v) {
      finite = finite && std::isfinite(c);
      nonzero = nonzero || c != 0.0f;
    }
    return finite && nonzero;
  };
  std::array<float, 3> shed{};
  if (!lights.empty() && usable(g.normal) && usable(g.position)) {
    const HomVec4 n{g.normal[0], g.normal[1], g.normal[2], g.normal[3]};
    const HomVec4 p{g.position[0], g.position[1], g.position[2], g.position[3]};
    shed = lightsAt(n, p, lights);
  }
  std::array<float, 3> out = shadeStored({g.albedo[0], g.albedo[1], g.albedo[2]}, g.material[0],
                                         g.material[1], fog, shed);
  for (float& c : out)
    if (!std::isfinite(c)) c = 0.0f;
  return out;
}

// The G-buffer of one picture size, made by createDeferredTargets.
struct GBuffer {
  GBufferLayout layout{};
  std::uint32_t width = 0, height = 0;
  ImageId position{}, normal{}, albedo{}, material{}, depth{};
};

// What a deferred frame needs besides the scene: the G-buffer, the two
// compute pipelines and the buffers the lighting and culling read.
struct DeferredTargets {
  GBuffer gbuffer{};
  PipelineId culling{}, lighting{};
  BufferId params{};      // the lighting parameters (binding 1 of the lighting)
  BufferId grid{};        // the tile grid (binding 1 of the culling, 4 of the lighting)
  BufferId tile_lists{};  // the culling's output (binding 3 of both)
  TileGrid tiles{};
};

// The scene of one frame as the host holds it on the device.
struct DeferredScene {
  ImageId picture{};  // the colour image the lit picture goes to, G-buffer-sized
  std::array<float, 4> background{0.0f, 0.0f, 0.0f, 1.0f};
  PipelineId mesh{};  // a triangle_list projective pipeline
  BufferId camera{};  // a transform buffer of two PGL4: the camera block
  std::array<PGL4, 2> camera_block{};
  BufferId vertices{}, indices{}, instances{};
  BufferId colors{};  // RGB per instance, or invalid for white
  BufferId lights{};  // the light buffer (kova_device_lights.hpp)
  std::uint32_t index_count = 0, instance_count = 1;
  std::uint32_t light_count = 0;  // lights in the buffer
};

// Makes the G-buffer and the lighting resources for pictures of width x
// height drawn by `pipeline`: five images of exactly the layout's formats,
// whose pixels together take layout.bytesPerPixel() bytes. Refuses, making
// nothing, a layout the devices cannot keep or a tile size out of range.
template <FrameDevice Device>
[[nodiscard]] std::expected<DeferredTargets, std::string> createDeferredTargets(
    Device& device, const kova_renderer::DeferredPipeline& pipeline, std::uint32_t width,
    std::uint32_t height);

// Records the three passes of a deferred frame into `graph`. The commands
// and image lists live in `storage`, which the host keeps alive and
// unchanged while the graph is in use. Refuses, adding nothing to the
// graph, more lights than the configuration's max_lights, a G-buffer of
// another layout than the configuration's, missing buffers, or fs_depth or
// kova_normals off (depth is always FS-depth and normals always the flat 4D
// ones; chart_switching is irrelevant, as no affine chart is used).
struct DeferredRecording {
  std::vector<kova_rhi::GpuCommand> geometry, culling, lighting;
  std::array<PGL4, 2> camera_block{};
  std::array<ImageId, 4> attachments{};     // the geometry pass's colour attachments
  std::array<ImageId, 6> geometry_writes{};  // the G-buffer and the cleared picture
  std::array<ImageId, 5> reads{};            // the lighting pass's G-buffer
  std::array<ImageId, 1> writes{};           // the lighting pass's picture
};

[[nodiscard]] std::expected<void, std::string> recordDeferredFrame(
    const kova_renderer::DeferredPipeline& pipeline, const DeferredTargets& targets,
    const DeferredScene& scene, DeferredRecording& storage, kova_rhi::FrameGraph& graph);

// The lighting parameters and tile grid a deferred frame writes to its
// buffers: the culling keeps up to max_lights lights per tile, so that no
// tile drops a light the untiled lighting would shed.
[[nodiscard]] inline TileGrid deferredTileGrid(const kova_renderer::DeferredConfig& config,
                                               std::uint32_t width, std::uint32_t height) noexcept {
  const std::uint32_t cap =
      config.max_lights < 1 ? 1
                            : (config.max_lights > kMaxLights ? static_cast<std::uint32_t>(kMaxLights)
                                                              : config.max_lights);
  return TileGrid{width, height, config.tile_size, cap};
}

// Gives the G-buffer's images and the lighting's buffers back to the device
// (pipelines stay, as devices keep them for their lifetime); reports the
// first failure after trying every one.
template <FrameDevice Device>
[[nodiscard]] std::expected<void, std::string> releaseDeferredTargets(Device& device,
                                                                      const DeferredTargets& t) {
  std::expected<void, std::string> first;
  const GBuffer& g = t.gbuffer;
  for (ImageId image : {g.position, g.normal, g.albedo, g.material, g.depth}) {
    auto ok = device.releaseImage(image);
    if (!ok && first) first = ok;
  }
  for (BufferId buffer : {t.params, t.grid, t.tile_lists}) {
    auto ok = device.releaseBuffer(buffer);
    if (!ok && first) first = ok;
  }
  return first;
}

template <FrameDevice Device>
std::expected<DeferredTargets, std::string> createDeferredTargets(
    Device& device, const kova_renderer::DeferredPipeline& pipeline, std::uint32_t width,
    std::uint32_t height) {
  using namespace kova_rhi;
  const kova_renderer::DeferredConfig& config = pipeline.config;
  if (auto ok = checkGBufferLayout(config.gbuffer); !ok) return std::unexpected(ok.error());
  if (config.tile_size < 1 || config.tile_size > kMaxTileGridSide)
    return std::unexpected("tile_size must be in [1, 16384]");
  if (width < 1 || height < 1 || width > kMaxTileGridSide || height > kMaxTileGridSide)
    return std::unexpected("the picture must be 1 to 16384 pixels a side");
  DeferredTargets t;
  t.gbuffer.layout = config.gbuffer;
  t.gbuffer.width = width;
  t.gbuffer.height = height;
  t.tiles = deferredTileGrid(config, width, height);
  std::vector<ImageId> images;
  std::vector<BufferId> buffers;
  const auto undo = [&](std::string message) -> std::expected<DeferredTargets, std::string> {
    for (ImageId i : images) (void)device.releaseImage(i);
    for (BufferId b : buffers) (void)device.releaseBuffer(b);
    return std::unexpected(std::move(message));
  };
  const ImageUsage color_usage = ImageUsage::init(
      {ImageUsageFlag::color_attachment, ImageUsageFlag::storage, ImageUsageFlag::transfer_src,
       ImageUsageFlag::kova_render_target});
  const ImageUsage depth_usage = ImageUsage::init(
      {ImageUsageFlag::depth_stencil_attachment, ImageUsageFlag::sampled,
       ImageUsageFlag::transfer_src});
  const std::array<std::pair<Format, ImageId*>, 5> wanted = {
      {{config.gbuffer.position_format, &t.gbuffer.position},
       {config.gbuffer.normal_format, &t.gbuffer.normal},
       {config.gbuffer.albedo_format, &t.gbuffer.albedo},
       {config.gbuffer.material_format, &t.gbuffer.material},
       {config.gbuffer.depth_format, &t.gbuffer.depth}}};
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    auto image = device.createImage(
        ImageDescriptor::init2D(wanted[i].first, width, height, i == 4 ? depth_usage : color_usage));
    if (!image) return undo("G-buffer image: " + image.error());
    images.push_back(*image);
    *wanted[i].second = *image;
  }
  const auto storage = [&](std::uint64_t values) {
    return device.createBuffer(BufferDescriptor{
        .size = values * 8, .stride = 8, .type = BufferType::storage, .format = Format::undefined});
  };
  auto params = storage(kDeferredParamValues);
  if (!params) return undo(params.error());
  buffers.push_back(*params);
  auto grid = storage(kTileGridValues);
  if (!grid) return undo(grid.error());
  buffers.push_back(*grid);
  auto lists = storage(t.tiles.outputValues());
  if (!lists) return undo(lists.error());
  buffers.push_back(*lists);
  t.params = *params;
  t.grid = *grid;
  t.tile_lists = *lists;
  const std::array<double, kDeferredParamValues> p = {double(width), double(height),
                                                      double(config.max_lights)};
  const std::array<double, kTileGridValues> g = {double(width), double(height),
                                                 double(t.tiles.tile_size),
                                                 double(t.tiles.max_lights_per_tile)};
  if (auto ok = device.writeValues(t.params, p); !ok) return undo(ok.error());
  if (auto ok = device.writeValues(t.grid, g); !ok) return undo(ok.error());
  auto lighting = device.createComputePipeline(BuiltinKernel::deferred_lighting);
  if (!lighting) return undo("this device has no deferred lighting kernel: " + lighting.error());
  auto culling = device.createComputePipeline(BuiltinKernel::tile_light_culling);
  if (!culling) return undo(culling.error());
  t.lighting = *lighting;
  t.culling = *culling;
  return t;
}

}  // namespace kova_device
