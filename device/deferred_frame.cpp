// The three passes of a deferred frame, as any device runs them
// (kova_deferred.hpp).
#include <string>

#include "kova_deferred.hpp"

namespace kova_device {
namespace {

std::unexpected<std::string> fail(std::string message) {
  return std::unexpected(std::move(message));
}

}  // namespace

std::expected<void, std::string> recordDeferredFrame(const kova_renderer::DeferredPipeline& pipeline,
                                                     const DeferredTargets& targets,
                                                     const DeferredScene& scene,
                                                     DeferredRecording& storage,
                                                     kova_rhi::FrameGraph& graph) {
  using namespace kova_rhi;
  const kova_renderer::DeferredConfig& config = pipeline.config;
  if (!(targets.gbuffer.layout == config.gbuffer))
    return fail("the G-buffer was made for another layout than the configuration's");
  if (auto ok = checkGBufferLayout(config.gbuffer); !ok) return fail(ok.error());
  // The projective pipelines keep FS-depth and the flat 4D normals; a
  // configuration asking for anything else cannot be honoured.
  if (!config.fs_depth) return fail("fs_depth off: the projective pipelines keep FS-depth only");
  if (!config.kova_normals)
    return fail("kova_normals off: the G-buffer keeps the surfaces' 4D normals only");
  if (scene.light_count > config.max_lights)
    return fail(std::to_string(scene.light_count) + " lights, more than max_lights " +
                std::to_string(config.max_lights));
  if (scene.light_count > kMaxLights)
    return fail(std::to_string(scene.light_count) + " lights, more than the " +
                std::to_string(kMaxLights) + " a frame reads");
  if (config.tiled && targets.tiles.tile_size != config.tile_size)
    return fail("the targets were made for another tile size than the configuration's");
  const auto missing = [](auto id) { return id.id == 0; };
  if (missing(scene.picture)) return fail("the scene has no picture");
  if (!scene.mesh.isValid()) return fail("the scene has no mesh pipeline");
  if (missing(scene.camera)) return fail("the scene has no camera buffer");
  if (missing(scene.vertices) || missing(scene.indices) || missing(scene.instances))
    return fail("the scene lacks its vertex, index or instance buffer");
  if (missing(scene.lights)) return fail("the scene has no light buffer");
  const GBuffer& g = targets.gbuffer;
  if (missing(g.position) || missing(g.normal) || missing(g.albedo) || missing(g.material) ||
      missing(g.depth) || !targets.lighting.isValid() || missing(targets.params) ||
      (config.tiled && (!targets.culling.isValid() || missing(targets.grid) ||
                        missing(targets.tile_lists))))
    return fail("the targets lack a G-buffer image, pipeline or buffer");

  DeferredRecording r;
  r.camera_block = scene.camera_block;
  r.attachments = {g.position, g.normal, g.albedo, g.material};
  r.geometry_writes = {g.position, g.normal, g.albedo, g.material, g.depth, scene.picture};
  r.reads = {g.position, g.normal, g.albedo, g.material, g.depth};
  r.writes = {scene.picture};
  const std::uint64_t camera_bytes = 2 * sizeof(PGL4);
  const std::uint64_t light_bytes = std::uint64_t{scene.light_count} * kLightValues * 8;
  const std::uint64_t list_bytes = targets.tiles.outputValues() * 8;
  const std::uint64_t grid_bytes = kTileGridValues * 8;

  // 1. Geometry: the picture cleared to the background, the G-buffer to no
  // surface (material flag 0) and the far depth, then the mesh's attributes.
  const auto& bg = scene.background;
  r.geometry = {ClearCommand{scene.picture, bg[0], bg[1], bg[2], bg[3], 1.0f},
                BeginPassCommand{{}, g.depth}};
  for (ImageId image : r.attachments)
    r.geometry.push_back(ClearCommand{image, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f});
  r.geometry.insert(r.geometry.end(),
                    {scene.mesh, KovaUploadPgl4Command{scene.camera, {}},
                     BindUniformCommand{scene.camera, 0, camera_bytes, 0}});
  if (!missing(scene.colors)) {
    r.geometry.push_back(
        BindUniformCommand{scene.colors, 0, std::uint64_t{scene.instance_count} * 24, 1});
  }
  r.geometry.push_back(DrawCommand{.pipeline = scene.mesh,
                                   .vertex_buffer = BufferId::invalid(),
                                   .index_buffer = scene.indices,
                                   .kova_transform_buffer = scene.instances,
                                   .kova_position_buffer = scene.vertices,
                                   .index_count = scene.index_count,
                                   .instance_count = scene.instance_count});
  r.geometry.push_back(EndPassCommand{});

  // 2. Light culling over the tiles, when tiled.
  if (config.tiled) {
    r.culling = {targets.culling,
                 BindUniformCommand{scene.camera, 0, camera_bytes, 0},
                 BindUniformCommand{targets.grid, 0, grid_bytes, 1},
                 BindUniformCommand{scene.lights, 0, light_bytes, 2},
                 BindUniformCommand{targets.tile_lists, 0, list_bytes, 3},
                 DispatchCommand{targets.culling, targets.tiles.tilesX(), targets.tiles.tilesY(), 1}};
  }

  // 3. Lighting of the G-buffer into the picture.
  r.lighting = {targets.lighting, BindUniformCommand{scene.camera, 0, camera_bytes, 0},
                BindUniformCommand{targets.params, 0, kDeferredParamValues * 8, 1},
                BindUniformCommand{scene.lights, 0, light_bytes, 2}};
  if (config.tiled) {
    r.lighting.push_back(BindUniformCommand{targets.tile_lists, 0, list_bytes, 3});
    r.lighting.push_back(BindUniformCommand{targets.grid, 0, grid_bytes, 4});
  }
  r.lighting.push_back(DispatchCommand{targets.lighting,
                                       (g.width + kDeferredBlock - 1) / kDeferredBlock,
                                       (g.height + kDeferredBlock - 1) / kDeferredBlock, 1});

  // The records borrow from `storage`: move everything there, then point
  // the spans at it.
  storage = std::move(r);
  std::get<BeginPassCommand>(storage.geometry[1]).color_attachments = storage.attachments;
  for (GpuCommand& c : storage.geometry)
    if (auto* u = std::get_if<KovaUploadPgl4Command>(&c)) u->transforms = storage.camera_block;

  const std::size_t before = graph.passes.size();
  const std::array<FramePass, 3> passes = {
      FramePass{"deferred geometry", {}, storage.geometry_writes, storage.geometry,
                PassType::geometry},
      FramePass{"deferred light culling", {}, {}, storage.culling, PassType::kova_fs_compute},
      FramePass{"deferred lighting", storage.reads, storage.writes, storage.lighting,
                PassType::lighting}};
  for (const FramePass& pass : passes) {
    if (!graph.addPass(pass)) {
      graph.passes.resize(before);
      return fail("out of memory while recording the deferred frame");
    }
  }
  return {};
}

}  // namespace kova_device
