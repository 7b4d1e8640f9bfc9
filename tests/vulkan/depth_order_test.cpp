// Depth order on both devices: random overlapping triangles at random
// distances, many of them across the horizon (view w = 0) and across the
// eye's focal plane, are resolved as their Fubini-Study distances order
// them. Each pixel's expected depth comes from the host alone: along the ray
// of the pixel's sample 0 (the sample readDepth reads), the nearest triangle
// that the ray's projective line meets inside, at its FS distance.
#include <cmath>
#include <cstdio>
#include <random>

#include "cpu_triangles.hpp"
#include "kova_cpu_device.hpp"
#include "kova_mesh_shading.hpp"
#include "mesh_draw.hpp"
#include "vulkan_test_device.hpp"

namespace {

using namespace kova_test;

double det4(HomVec4 a, HomVec4 b, HomVec4 c, HomVec4 d) {
  const double m[4][4] = {
      {a.x, a.y, a.z, a.w}, {b.x, b.y, b.z, b.w}, {c.x, c.y, c.z, c.w}, {d.x, d.y, d.z, d.w}};
  double det = 0.0;
  for (int col = 0; col < 4; ++col) {
    double s[3][3];
    for (int r = 1; r < 4; ++r)
      for (int c2 = 0, k = 0; c2 < 4; ++c2)
        if (c2 != col) s[r - 1][k++] = m[r][c2];
    const double m3 = s[0][0] * (s[1][1] * s[2][2] - s[1][2] * s[2][1]) -
                      s[0][1] * (s[1][0] * s[2][2] - s[1][2] * s[2][0]) +
                      s[0][2] * (s[1][0] * s[2][1] - s[1][1] * s[2][0]);
    det += (col % 2 == 0 ? 1.0 : -1.0) * m[0][col] * m3;
  }
  return det;
}

// Where a ray's line meets triangle (a, b, c): inside (all barycentric
// weights of one sign), outside, or too near an edge to call.
enum class Hit { inside, outside, edge };

Hit classify(HomVec4 a, HomVec4 b, HomVec4 c, HomVec4 n, HomVec4 p) {
  const double whole = det4(a, b, c, n);
  const double w[3] = {det4(p, b, c, n) / whole, det4(a, p, c, n) / whole,
                       det4(a, b, p, n) / whole};
  const double sum = std::fabs(w[0]) + std::fabs(w[1]) + std::fabs(w[2]);
  bool pos = true, neg = true, near_edge = false;
  for (double v : w) {
    pos = pos && v >= 0.0;
    neg = neg && v <= 0.0;
    near_edge = near_edge || std::fabs(v) < 2e-3 * sum;
  }
  if (near_edge) return Hit::edge;
  return pos || neg ? Hit::inside : Hit::outside;
}

// A random point ahead of the eye at FS distance in [0.08, 1.45], within the
// picture, as either of its two representatives.
HomVec4 randomPoint(std::mt19937_64& rng, const CameraBlock& cam) {
  std::uniform_real_distribution<double> u(-1.0, 1.0), d(0.08, 1.45);
  const double sx = 0.9 * u(rng) * cam.tan_h, sy = 0.9 * u(rng) * cam.tan_v;
  const double len = std::sqrt(sx * sx + sy * sy + 1.0);
  const double theta = d(rng);
  const HomVec4 p{std::sin(theta) * sx / len, std::sin(theta) * sy / len,
                  -std::sin(theta) / len, std::cos(theta)};
  return u(rng) < 0.0 ? HomVec4{-p.x, -p.y, -p.z, -p.w} : p;
}

TEST(VulkanDepthOrder, RandomTrianglesAcrossBothSplitsResolveByFsDistance) {
  KOVA_VULKAN_DEVICE_OR_SKIP(vk);
  const CameraBlock cam = meshCamera();
  const DepthCamera read{cam.tan_h, cam.tan_v, cam.near_fs, cam.far_fs};
  std::mt19937_64 rng(2026);
  for (int trial = 0; trial < 3; ++trial) {
    MeshDraw s{{}, {PGL4::identity()}};
    constexpr std::uint32_t kTriangles = 14;
    for (std::uint32_t t = 0; t < kTriangles * 3; ++t) {
      s.mesh.vertices.push_back(randomPoint(rng, cam));
      s.mesh.indices.push_back(t);
    }
    CpuDevice cpu;
    const Drawn a = drawMesh(cpu, s), b = drawMesh(vk, s);
    ASSERT_TRUE(a.stats && b.stats) << (a.stats ? b.stats.error() : a.stats.error());

    std::size_t judged = 0, contested = 0, crossing = 0, right_cpu = 0, right_vk = 0;
    for (std::uint32_t y = 0; y < kH; ++y) {
      for (std::uint32_t x = 0; x < kW; ++x) {
        const double fx = x + kSamplePositions4[0][0] / 256.0;
        const double fy = y + kSamplePositions4[0][1] / 256.0;
        const HomVec4 ray = pixelRay(fx, fy, kW, kH, cam.tan_h, cam.tan_v);
        const double len = rayLength(fx, fy, kW, kH, cam.tan_h, cam.tan_v);
        double nearest = 10.0;
        int covering = 0;
        bool clear = true, across = false;
        for (std::uint32_t t = 0; t < kTriangles && clear; ++t) {
          const HomVec4 va = s.mesh.vertices[3 * t], vb = s.mesh.vertices[3 * t + 1],
                        vc = s.mesh.vertices[3 * t + 2];
          const HomVec4 n = faceNormal(va, vb, vc);
          const double nd = n.x * ray.x + n.y * ray.y + n.z * ray.z;
          const HomVec4 p{n.w * ray.x, n.w * ray.y, n.w * ray.z, -nd};
          const Hit h = classify(va, vb, vc, n, p);
          clear = h != Hit::edge;
          if (h != Hit::inside) continue;
          const double theta = surfaceHit(n, ray).distance;
          // Nearer than the near bound the triangle is clipped away.
          if (depthFromRay(theta, len, cam.near_fs) > 1.0) continue;
          ++covering;
          nearest = std::min(nearest, theta);
          // The triangle spans both sides of the horizon or of the focal plane.
          const bool w_mixed = (va.w > 0) != (vb.w > 0) || (va.w > 0) != (vc.w > 0);
          const bool z_mixed = (va.z > 0) != (vb.z > 0) || (va.z > 0) != (vc.z > 0);
          across = across || w_mixed || z_mixed;
        }
        if (!clear) continue;
        ++judged;
        contested += covering >= 2;
        crossing += across;
        const float expected =
            covering == 0
                ? 1.0f
                : fsDepthFromStored(
                      static_cast<float>(depthFromRay(nearest, len, cam.near_fs)), x, y, kW,
                      kH, read);
        const std::size_t at = std::size_t{y} * kW + x;
        right_cpu += std::fabs(a.pictures.depth[at] - expected) <= 2e-5f;
        right_vk += std::fabs(b.pictures.depth[at] - expected) <= 2e-5f;
      }
    }
    std::printf("trial %d: %zu pixels judged, %zu covered twice or more, %zu by a triangle "
                "across a split; right: CPU %zu, Vulkan %zu\n",
                trial, judged, contested, crossing, right_cpu, right_vk);
    EXPECT_GE(judged * 10, std::size_t{kW} * kH * 8) << "trial " << trial;
    EXPECT_GE(contested * 5, judged) << "trial " << trial;
    EXPECT_GE(crossing * 10, judged) << "trial " << trial;
    EXPECT_GE(right_cpu * 1000, judged * 999) << "trial " << trial;
    EXPECT_GE(right_vk * 1000, judged * 999) << "trial " << trial;
  }
  EXPECT_VALIDATION_SILENT(vk);
}

}  // namespace
