// The CPU device's geodesic arcs under an isometric view: line primitives
// (kova_device_lines.hpp) clipped in homogeneous coordinates, drawn by the
// diamond-exit rule with every sample of a covered pixel written at the
// depth of the pixel centre (the projective depth interpolated linearly in
// the window along the segment's major axis) and the fog worked out from
// that depth, as line.frag does.
#include <algorithm>
#include <cmath>
#include <variant>

#include "cpu_triangles.hpp"
#include "kova_cpu_device.hpp"
#include "kova_device_lines.hpp"
#include "kova_device_raster.hpp"
#include "kova_mesh_shading.hpp"

namespace kova_device {

void CpuDevice::drawArcLines(const CheckedCommand& command, ExecuteStats& stats) {
  const auto& cmd = std::get<kova_rhi::KovaRenderGeodesicsCommand>(*command.command);
  const auto& pipe = resources_.pipelineAt(command.pipeline)->desc;
  const Buffer& positions = *resources_.buffers.find(command.positions);
  const CameraBlock cam = unpackCameraBlock(command.camera_block[0], command.camera_block[1]);
  Image& color = *resources_.images.find(command.color);
  Image& depth = *resources_.images.find(*command.depth);
  const std::uint32_t w = color.desc.width, h = color.desc.height;
  depth.depth_camera = DepthCamera{cam.tan_h, cam.tan_v, cam.near_fs, cam.far_fs};
  const auto tan_h = static_cast<float>(cam.tan_h), tan_v = static_cast<float>(cam.tan_v);
  const auto scale = static_cast<float>(encodingScale(cam.near_fs));
  const kova_rhi::CompareOp op = storedCompare(pipe.depth.depth_compare, pipe.depth.fs_depth);
  const std::array<float, 3> line = {cmd.color_r, cmd.color_g, cmd.color_b};
  // Window position of a clip position, snapped to 1/256 pixel as a GPU's.
  const auto window = [&](const std::array<double, 4>& c, double& x, double& y) {
    x = std::round((c[0] / c[3] * 0.5 + 0.5) * w * 256.0) / 256.0;
    y = std::round((0.5 - c[1] / c[3] * 0.5) * h * 256.0) / 256.0;
  };

  for (std::uint32_t k = 0; k + 1 < cmd.count; k += 2) {
    const auto ends = arcInView(cam.view, positions.points[k], positions.points[k + 1]);
    if (!ends) continue;
    if (arcShows(*ends, tan_h, tan_v, scale)) ++stats.geodesic_arcs;
    for (const auto& [sign, side] : kLinePasses) {
      std::array<double, 4> ca{}, cb{};
      if (!clipLine(lineClip(ends->a, sign, side, tan_h, tan_v, scale),
                    lineClip(ends->b, sign, side, tan_h, tan_v, scale), ca, cb))
        continue;
      double xa = 0, ya = 0, xb = 0, yb = 0;
      window(ca, xa, ya);
      window(cb, xb, yb);
      const double za = ca[2] / ca[3], zb = cb[2] / cb[3];
      diamondExitLine(xa, ya, xb, yb, [&](std::int64_t x, std::int64_t y) {
        if (x < 0 || y < 0 || x >= static_cast<std::int64_t>(w) ||
            y >= static_cast<std::int64_t>(h))
          return;
        const double fx = static_cast<double>(x) + 0.5, fy = static_cast<double>(y) + 0.5;
        // A line covers whole pixels: every sample gets the depth at the
        // pixel centre, and the fog of the distance that depth means along
        // the pixel's ray.
        const double centre = lineDepth(xa, ya, za, xb, yb, zb, fx, fy);
        const auto stored = static_cast<float>(centre);
        const double len = rayLength(fx, fy, w, h, cam.tan_h, cam.tan_v);
        const float f = fogAmount(fsDistanceFromDepth(centre, len, cam.near_fs), cam.far_fs);
        const std::size_t p = static_cast<std::size_t>(y) * w + static_cast<std::size_t>(x);
        bool any = false;
        for (std::uint32_t s = 0; s < samples_; ++s) {
          const std::size_t at = p * samples_ + s;
          if (pipe.depth.depth_test && !depthPasses(op, stored, depth.texels[at])) continue;
          if (pipe.depth.depth_write) depth.texels[at] = stored;
          for (std::size_t i = 0; i < 3; ++i)
            color.texels[at * 4 + i] = line[i] + (cam.fog[i] - line[i]) * f;
          color.texels[at * 4 + 3] = 1.0f;
          any = true;
        }
        if (any) color.kinds[p] = static_cast<std::uint8_t>(PixelKind::geodesic);
      });
    }
  }
}

}  // namespace kova_device
