#include "cpu_triangles.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "kova_deferred.hpp"
#include "kova_device_lights.hpp"
#include "kova_mesh_shading.hpp"

namespace kova_device {
namespace {

// A clip-space vertex: view x / tan_h, view y / tan_v, the projective depth
// z = tan(near) s (view w) of the half s, and the distance ahead
// w = -(view z); the picture is x / w, y / w and the stored depth z / w.
struct ClipVertex {
  double x = 0, y = 0, z = 0, w = 0;
};

constexpr int kClipPlanes = 7;

// At most the three vertices plus one per clipping plane.
struct Polygon {
  std::array<ClipVertex, 3 + kClipPlanes> v{};
  int n = 0;
};

double planeValue(const ClipVertex& c, int plane) noexcept {
  switch (plane) {
    case 0:
      // Ahead of the eye (implied by the guard band and the near bound; kept
      // first so that no later plane sees a vertex behind the eye).
      return c.w;
    case 1:
      return kGuardBand * c.w - c.x;
    case 2:
      return kGuardBand * c.w + c.x;
    case 3:
      return kGuardBand * c.w - c.y;
    case 4:
      return kGuardBand * c.w + c.y;
    case 5:
      // The half's side of view w = 0 (a GPU's 0 <= z clip).
      return c.z;
    default:
      // The near bound: stored depth z / w at most 1 (a GPU's z <= w clip).
      return c.w - c.z;
  }
}

// Sutherland-Hodgman against one plane. The crossing of an edge is computed
// from its inside end towards its outside end, so that the two triangles
// sharing an edge get the same new vertex and stay watertight.
void clip(Polygon& poly, int plane) noexcept {
  Polygon out;
  for (int i = 0; i < poly.n; ++i) {
    const ClipVertex& a = poly.v[static_cast<std::size_t>(i)];
    const ClipVertex& b = poly.v[static_cast<std::size_t>((i + 1) % poly.n)];
    const double fa = planeValue(a, plane), fb = planeValue(b, plane);
    if (fa >= 0.0) out.v[static_cast<std::size_t>(out.n++)] = a;
    if ((fa >= 0.0) != (fb >= 0.0)) {
      const ClipVertex& in = fa >= 0.0 ? a : b;
      const ClipVertex& ex = fa >= 0.0 ? b : a;
      const double fi = fa >= 0.0 ? fa : fb, fe = fa >= 0.0 ? fb : fa;
      const double t = fi / (fi - fe);
      out.v[static_cast<std::size_t>(out.n++)] =
          ClipVertex{in.x + t * (ex.x - in.x), in.y + t * (ex.y - in.y), in.z + t * (ex.z - in.z),
                     in.w + t * (ex.w - in.w)};
    }
  }
  poly = out;
}

// A snapped screen vertex in 1/256 pixel, y down.
struct Fixed {
  std::int64_t x = 0, y = 0;
};

Fixed snap(const ClipVertex& c, double width, double height) noexcept {
  constexpr double kScale = 1 << kSubpixelBits;
  const double px = (c.x / c.w * 0.5 + 0.5) * width;
  const double py = (0.5 - c.y / c.w * 0.5) * height;
  return Fixed{std::llround(px * kScale), std::llround(py * kScale)};
}

// The colour of one triangle at one pixel, shared by its covered samples.
struct Fragment {
  std::array<float, 3> rgb{};
};

class Rasteriser {
 public:
  Rasteriser(const TriangleDraw& draw, SampleTarget& target) : draw_(draw), t_(target) {}

  // Rasterises one snapped triangle with the flat normal of its source
  // triangle; returns the number of fragments written.
  std::uint64_t triangle(Fixed a, Fixed b, Fixed c, HomVec4 normal,
                         const std::array<float, 3>& base) {
    std::int64_t area = (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
    if (area == 0) return 0;
    if (area < 0) std::swap(b, c);
    const std::array<Fixed, 3> v = {a, b, c};
    // Edge k runs from v[k] to v[k+1]; inside is where every edge function is
    // positive. A sample exactly on an edge belongs to the triangle only on a
    // top edge (horizontal, interior below) or a left edge (interior to the right).
    std::array<std::int64_t, 3> bias{};
    for (std::size_t k = 0; k < 3; ++k) {
      const Fixed p = v[k], q = v[(k + 1) % 3];
      const std::int64_t dx = q.x - p.x, dy = q.y - p.y;
      const bool top_left = dy < 0 || (dy == 0 && dx > 0);
      bias[k] = top_left ? 0 : -1;
    }
    constexpr std::int64_t kOne = 1 << kSubpixelBits;
    const std::int64_t w = t_.width, h = t_.height;
    const std::int64_t x0 = std::max<std::int64_t>(0, std::min({a.x, b.x, c.x}) / kOne - 1);
    const std::int64_t x1 = std::min<std::int64_t>(w - 1, std::max({a.x, b.x, c.x}) / kOne + 1);
    const std::int64_t y0 = std::max<std::int64_t>(0, std::min({a.y, b.y, c.y}) / kOne - 1);
    const std::int64_t y1 = std::min<std::int64_t>(h - 1, std::max({a.y, b.y, c.y}) / kOne + 1);
    const std::uint32_t samples = t_.samples;
    std::uint64_t written = 0;
    for (std::int64_t y = y0; y <= y1; ++y) {
      for (std::int64_t x = x0; x <= x1; ++x) {
        unsigned covered = 0;
        for (std::uint32_t s = 0; s < samples; ++s) {
          const auto& off = samples == 1 ? kSamplePosition1 : kSamplePositions4[s];
          const std::int64_t sx = x * kOne + off[0], sy = y * kOne + off[1];
          bool inside = true;
          for (std::size_t k = 0; k < 3 && inside; ++k) {
            const Fixed p = v[k], q = v[(k + 1) % 3];
            const std::int64_t e = (q.x - p.x) * (sy - p.y) - (q.y - p.y) * (sx - p.x);
            inside = e + bias[k] >= 0;
          }
          if (inside) covered |= 1u << s;
        }
        if (covered == 0) continue;
        const bool to_gbuffer = !t_.gbuffer[0].empty();
        GBufferSample g;
        Fragment frag;
        if (to_gbuffer) {
          const CameraBlock& cam = draw_.camera;
          g = gBufferSample(normal,
                            pixelRay(static_cast<double>(x) + 0.5, static_cast<double>(y) + 0.5,
                                     t_.width, t_.height, cam.tan_h, cam.tan_v),
                            base, cam, t_.albedo_format);
        } else {
          frag = shade(static_cast<double>(x) + 0.5, static_cast<double>(y) + 0.5, normal, base);
        }
        const std::size_t pixel =
            static_cast<std::size_t>(y) * t_.width + static_cast<std::size_t>(x);
        bool any = false;
        for (std::uint32_t s = 0; s < samples; ++s) {
          if ((covered >> s & 1u) == 0) continue;
          const std::size_t at = pixel * samples + s;
          const auto& off = samples == 1 ? kSamplePosition1 : kSamplePositions4[s];
          const float depth = sampleDepth(static_cast<double>(x) + off[0] / 256.0,
                                          static_cast<double>(y) + off[1] / 256.0, normal);
          const auto& ds = draw_.depth;
          if (ds.depth_test &&
              !depthPasses(storedCompare(ds.depth_compare, ds.fs_depth), depth, t_.depth[at]))
            continue;
          if (ds.depth_write) t_.depth[at] = depth;
          if (to_gbuffer) {
            const std::array<const std::array<float, 4>*, 4> texels = {&g.position, &g.normal,
                                                                       &g.albedo, &g.material};
            for (std::size_t k = 0; k < 4; ++k)
              for (std::size_t c = 0; c < 4; ++c) t_.gbuffer[k][at * 4 + c] = (*texels[k])[c];
            if (!t_.coverage.empty()) ++t_.coverage[at];
            any = true;
            continue;
          }
          t_.color[at * 4 + 0] = frag.rgb[0];
          t_.color[at * 4 + 1] = frag.rgb[1];
          t_.color[at * 4 + 2] = frag.rgb[2];
          t_.color[at * 4 + 3] = 1.0f;
          if (!t_.coverage.empty()) ++t_.coverage[at];
          any = true;
        }
        if (any) {
          t_.kinds[pixel] = static_cast<std::uint8_t>(PixelKind::triangle);
          ++written;
        }
      }
    }
    return written;
  }

 private:
  // The colour at the pixel centre.
  Fragment shade(double fx, double fy, HomVec4 normal, const std::array<float, 3>& base) const {
    const CameraBlock& cam = draw_.camera;
    const HomVec4 ray = pixelRay(fx, fy, t_.width, t_.height, cam.tan_h, cam.tan_v);
    const SurfaceHit hit = surfaceHit(normal, ray);
    if (draw_.lights.empty())
      return Fragment{shadeSurface(base, hit.lambert, hit.distance, cam.far_fs, cam.fog)};
    std::span<const LightGpu> lights = draw_.lights;
    if (!draw_.tile_lists.empty()) {
      // Only the lights of the pixel's tile, in the list's order.
      tile_lights_.clear();
      forTileLights(draw_.tile_lists, draw_.grid, static_cast<std::uint32_t>(fx),
                    static_cast<std::uint32_t>(fy), draw_.lights.size(),
                    [&](std::size_t i) { tile_lights_.push_back(draw_.lights[i]); });
      lights = tile_lights_;
    }
    const std::array<float, 3> shed = lightsAt(normal, surfacePoint(normal, ray), lights);
    return Fragment{shadeSurface(base, hit.lambert, hit.distance, cam.far_fs, cam.fog, shed)};
  }

  // The stored depth at a sample: the ray meets the plane at
  // p = (N.w D, -N.xyz . D), so d = tan(near) |N.xyz . D| / |N.w|, the value a
  // GPU interpolates from the clip positions (within the near bound).
  float sampleDepth(double fx, double fy, HomVec4 normal) const {
    const CameraBlock& cam = draw_.camera;
    const HomVec4 ray = pixelRay(fx, fy, t_.width, t_.height, cam.tan_h, cam.tan_v);
    const double nd = normal.x * ray.x + normal.y * ray.y + normal.z * ray.z;
    const double d = encodingScale(cam.near_fs) * std::fabs(nd) / std::fabs(normal.w);
    return static_cast<float>(std::clamp(d, 0.0, 1.0));
  }

  const TriangleDraw& draw_;
  SampleTarget& t_;
  mutable std::vector<LightGpu> tile_lights_;
};

bool finite(HomVec4 v) noexcept {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z) && std::isfinite(v.w);
}

}  // namespace

TriangleStats drawTriangles(const TriangleDraw& draw, SampleTarget& target) {
  TriangleStats stats;
  const CameraBlock& cam = draw.camera;
  Rasteriser raster(draw, target);
  const double width = target.width, height = target.height;
  const std::size_t triangles = draw.indices.size() / 3;
  std::vector<bool> drawn(triangles);
  const double scale = encodingScale(cam.near_fs);
  for (std::size_t inst = 0; inst < draw.instances.size(); ++inst) {
    const PGL4& model = draw.instances[inst];
    std::array<float, 3> base = {1.0f, 1.0f, 1.0f};
    if (draw.instance_colors.size() >= inst * 3 + 3) {
      for (std::size_t i = 0; i < 3; ++i)
        base[i] = static_cast<float>(draw.instance_colors[inst * 3 + i]);
    }
    stats.triangles += static_cast<std::uint32_t>(triangles);
    std::fill(drawn.begin(), drawn.end(), false);
    // All triangles' halves in front of the focal plane, then all halves
    // behind it seen through their negation, each split at view w = 0 into
    // its part with w >= 0 (s = 1) and its part with w <= 0 (s = -1): the
    // order of a GPU drawing each instance four times, which decides the
    // winner where depths tie.
    for (int pass = 0; pass < 4; ++pass) {
      const double sign = pass < 2 ? 1.0 : -1.0;
      const double s = pass % 2 == 0 ? 1.0 : -1.0;
      for (std::size_t t = 0; t < triangles; ++t) {
        // View-space vertices, normalised onto S^3 as the shader does.
        // Dividing by the largest component first keeps the squares finite
        // for any finite vector.
        std::array<HomVec4, 3> q{};
        bool valid = true;
        for (std::size_t k = 0; k < 3 && valid; ++k) {
          HomVec4 v = cam.view.apply(model.apply(draw.vertices[draw.indices[t * 3 + k]]));
          const double m =
              std::max({std::fabs(v.x), std::fabs(v.y), std::fabs(v.z), std::fabs(v.w)});
          valid = finite(v) && m > 0.0;
          if (!valid) break;
          v = HomVec4{v.x / m, v.y / m, v.z / m, v.w / m};
          const double n = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z + v.w * v.w);
          q[k] = HomVec4{v.x / n, v.y / n, v.z / n, v.w / n};
        }
        if (!valid) continue;
        const HomVec4 normal = faceNormal(q[0], q[1], q[2]);
        // A plane through the eye (N.w = 0) is seen edge-on and covers nothing.
        if (!(normal.w != 0.0)) continue;
        Polygon poly;
        poly.n = 3;
        for (std::size_t k = 0; k < 3; ++k) {
          // Clip coordinates are single precision, as a GPU's are.
          poly.v[k] = ClipVertex{static_cast<float>(sign * q[k].x / cam.tan_h),
                                 static_cast<float>(sign * q[k].y / cam.tan_v),
                                 static_cast<float>(scale * (s * (sign * q[k].w))),
                                 static_cast<float>(-sign * q[k].z)};
        }
        for (int plane = 0; plane < kClipPlanes && poly.n >= 3; ++plane) clip(poly, plane);
        if (poly.n < 3) continue;
        // The planes above leave w > 0 (w >= tan(near) |view w| or a fixed
        // share of the vertex); a vertex at w = 0 could only come from
        // rounding at a corner the clip planes meet in, and has no picture.
        bool ahead = true;
        for (int i = 0; i < poly.n; ++i)
          ahead = ahead && poly.v[static_cast<std::size_t>(i)].w > 0.0;
        if (!ahead) continue;
        const Fixed first = snap(poly.v[0], width, height);
        Fixed prev = snap(poly.v[1], width, height);
        std::uint64_t written = 0;
        for (int i = 2; i < poly.n; ++i) {
          const Fixed cur = snap(poly.v[static_cast<std::size_t>(i)], width, height);
          written += raster.triangle(first, prev, cur, normal, base);
          prev = cur;
        }
        if (written > 0) drawn[t] = true;
        stats.fragments += written;
      }
    }
    stats.triangles_drawn +=
        static_cast<std::uint32_t>(std::count(drawn.begin(), drawn.end(), true));
  }
  return stats;
}

}  // namespace kova_device
