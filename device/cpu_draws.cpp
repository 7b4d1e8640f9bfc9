// The CPU device's draws: point splats, triangle meshes and geodesic arcs,
// run on commands the checker has resolved (kova_device_checks.hpp).
#include <algorithm>
#include <cmath>
#include <variant>

#include "cpu_triangles.hpp"
#include "kova_device_lights.hpp"
#include "kova_cpu_device.hpp"
#include "kova_device_arc_walk.hpp"
#include "kova_device_raster.hpp"
#include "kova_device_splats.hpp"
#include "kova_mesh_shading.hpp"

namespace kova_device {
namespace {

// Writes a fragment with stored depth z to every sample of a pixel that
// passes the depth test; true when any did.
bool writePixel(std::vector<float>& color, std::vector<float>& depth, std::size_t pixel,
                std::uint32_t samples, const kova_rhi::DepthState& ds, float z,
                const std::array<float, 3>& rgb) noexcept {
  bool any = false;
  const kova_rhi::CompareOp op = storedCompare(ds.depth_compare, ds.fs_depth);
  for (std::size_t at = pixel * samples; at < (pixel + 1) * samples; ++at) {
    if (ds.depth_test && !depthPasses(op, z, depth[at])) continue;
    if (ds.depth_write) depth[at] = z;
    color[at * 4 + 0] = rgb[0];
    color[at * 4 + 1] = rgb[1];
    color[at * 4 + 2] = rgb[2];
    color[at * 4 + 3] = 1.0f;
    any = true;
  }
  return any;
}

}  // namespace

void CpuDevice::drawPoints(const CheckedCommand& command, ExecuteStats& stats) {
  const auto& draw = std::get<kova_rhi::DrawCommand>(*command.command);
  if (draw.instance_count == 0) return;
  const auto& pipe = resources_.pipelineAt(command.pipeline)->desc;
  const Buffer& positions = *resources_.buffers.find(command.positions);
  const Buffer& distances = *resources_.buffers.find(command.values);
  const CameraBlock cam = unpackCameraBlock(command.camera_block[0], command.camera_block[1]);
  Image& color = *resources_.images.find(command.color);
  Image& depth = *resources_.images.find(*command.depth);
  const int w = static_cast<int>(color.desc.width);
  const int h = static_cast<int>(color.desc.height);
  depth.depth_camera = DepthCamera{cam.tan_h, cam.tan_v, cam.near_fs, cam.far_fs};
  const auto tan_h = static_cast<float>(cam.tan_h), tan_v = static_cast<float>(cam.tan_v);
  for (std::uint32_t i = 0; i < draw.index_count; ++i) {
    const auto splat =
        pointSplat(cam, positions.points[i], distances.values[i], color.desc.width,
                   color.desc.height);
    if (!splat) continue;
    const auto [cx, cy, r, z, k] = *splat;
    const auto rgb = depthColor(z);
    for (int dy = -r; dy <= r; ++dy) {
      for (int dx = -r; dx <= r; ++dx) {
        const int x = cx + dx, y = cy + dy;
        if (!splatCovers(dx, dy, r) || x < 0 || y < 0 || x >= w || y >= h) continue;
        const std::size_t p =
            static_cast<std::size_t>(y) * color.desc.width + static_cast<std::size_t>(x);
        // The stored depth of the point's distance along this pixel's ray;
        // nearer than the near bound (above 1) is not drawn.
        const float stored = pixelDepth(k, static_cast<std::uint32_t>(x),
                                        static_cast<std::uint32_t>(y), color.desc.width,
                                        color.desc.height, tan_h, tan_v);
        if (!(stored <= 1.0f)) continue;
        if (writePixel(color.texels, depth.texels, p, samples_, pipe.depth, stored, rgb))
          color.kinds[p] = static_cast<std::uint8_t>(PixelKind::point);
      }
    }
    ++stats.points_drawn;
    if (trace_ != nullptr)
      trace_->push_back(DrawTrace{i, cx, cy, r, {toByte(rgb[0]), toByte(rgb[1]), toByte(rgb[2])}});
  }
}

// A mesh draw: the triangles of index_buffer over the vertices of
// kova_position_buffer, once per transform of kova_transform_buffer, seen
// through the camera block at uniform binding 0 (an isometric view); an
// optional storage buffer at binding 1 holds each instance's RGB colour.
void CpuDevice::drawMesh(const CheckedCommand& command, ExecuteStats& stats) {
  const auto& draw = std::get<kova_rhi::DrawCommand>(*command.command);
  const auto& pipe = resources_.pipelineAt(command.pipeline)->desc;
  const Buffer& vertices = *resources_.buffers.find(command.positions);
  const Buffer& indices = *resources_.buffers.find(command.indices);
  const Buffer& instances = *resources_.buffers.find(command.transforms);
  std::span<const double> colors;
  if (const Buffer* c = resources_.buffers.find(command.colors); c != nullptr) colors = c->values;
  // The lights in view space, as the shaders get them.
  std::vector<LightGpu> lights;
  if (const Buffer* l = resources_.buffers.find(command.lights); l != nullptr)
    lights = packLights(command.camera_block[0], l->host_values);
  TriangleDraw td{unpackCameraBlock(command.camera_block[0], command.camera_block[1]),
                  vertices.points,
                  std::span(indices.indices).first(draw.index_count / 3 * 3),
                  std::span(instances.transforms).first(draw.instance_count),
                  colors,
                  lights,
                  {},
                  {},
                  pipe.depth};
  // Forward+: the tile lists the checker measured against the grid.
  if (const Buffer* l = resources_.buffers.find(command.output); l != nullptr) {
    td.grid = *checkTileGrid(resources_.buffers.find(command.grid)->host_values);
    td.tile_lists = l->values;
  }
  Image& color = *resources_.images.find(command.color);
  Image& depth = *resources_.images.find(*command.depth);
  depth.depth_camera = DepthCamera{td.camera.tan_h, td.camera.tan_v, td.camera.near_fs,
                                   td.camera.far_fs};
  const std::size_t sample_count = color.texels.size() / 4;
  if (coverage_ != nullptr && coverage_->size() != sample_count) coverage_->assign(sample_count, 0);
  SampleTarget target{
      color.desc.width,
      color.desc.height,
      samples_,
      color.texels,
      depth.texels,
      color.kinds,
      coverage_ != nullptr ? std::span<std::uint16_t>(*coverage_) : std::span<std::uint16_t>()};
  if (command.to_gbuffer) {
    // The other three G-buffer images beside the position image (`color`).
    for (std::size_t k = 0; k < 4; ++k)
      target.gbuffer[k] = resources_.images.find(command.gbuffer[k])->texels;
    target.albedo_format = resources_.images.find(command.gbuffer[2])->desc.format;
  }
  const TriangleStats ts = drawTriangles(td, target);
  stats.triangles += ts.triangles;
  stats.triangles_drawn += ts.triangles_drawn;
}

void CpuDevice::drawGeodesics(const CheckedCommand& command, ExecuteStats& stats) {
  const auto& cmd = std::get<kova_rhi::KovaRenderGeodesicsCommand>(*command.command);
  const auto& pipe = resources_.pipelineAt(command.pipeline)->desc;
  const Buffer& positions = *resources_.buffers.find(command.positions);
  const CameraBlock cam = unpackCameraBlock(command.camera_block[0], command.camera_block[1]);
  // Under an isometric view arcs are line primitives (cpu_lines.cpp); a view
  // that keeps w has no clip space that carries the observer's FS distance,
  // so its arcs are walked pixel by pixel.
  if (cam.isometric_view) return drawArcLines(command, stats);
  Image& color = *resources_.images.find(command.color);
  Image& depth = *resources_.images.find(*command.depth);
  const std::uint32_t w = color.desc.width, h = color.desc.height;
  depth.depth_camera = DepthCamera{cam.tan_h, cam.tan_v, cam.near_fs, cam.far_fs};

  const std::array<float, 3> line = {cmd.color_r, cmd.color_g, cmd.color_b};
  const auto plot = [&](int x, int y, double z) {
    if (x < 0 || y < 0 || x >= static_cast<int>(w) || y >= static_cast<int>(h)) return;
    const std::size_t p = static_cast<std::size_t>(y) * w + static_cast<std::size_t>(x);
    const WalkedPixel px = walkedPixel(cam, z);
    const std::array<float, 3> rgb = {line[0] * px.fade, line[1] * px.fade, line[2] * px.fade};
    const float stored = pixelDepth(px.k, static_cast<std::uint32_t>(x),
                                    static_cast<std::uint32_t>(y), w, h,
                                    static_cast<float>(cam.tan_h), static_cast<float>(cam.tan_v));
    if (!(stored <= 1.0f)) return;
    if (writePixel(color.texels, depth.texels, p, samples_, pipe.depth, stored, rgb))
      color.kinds[p] = static_cast<std::uint8_t>(PixelKind::geodesic);
  };
  for (std::uint32_t k = 0; k + 1 < cmd.count; k += 2) {
    if (walkArc(cam, positions.points[k], positions.points[k + 1], w, h, plot))
      ++stats.geodesic_arcs;
  }
}


}  // namespace kova_device
