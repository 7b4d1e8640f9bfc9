// Triangle meshes on the CPU device, end to end through a frame graph: every
// point of elliptic space is drawn exactly once, so a closed object around
// the eye covers every sample exactly twice (the line through the eye meets
// it twice, at the same distance on both sides) and one across the eye's
// focal plane appears whole in both halves of the picture. Coverage is
// compared with an analytic count that knows nothing of clipping or halves.
#include <gtest/gtest.h>

#include <cmath>
#include <memory_resource>
#include <numbers>
#include <random>

#include "kova_cpu_device.hpp"
#include "cpu_triangles.hpp"
#include "kova_mesh_shading.hpp"
#include "scene_120cell.hpp"

namespace {

using namespace kova_demo;
using namespace kova_device;
using namespace kova_rhi;

// Rotation by `angle` in the plane of coordinates i and j.
PGL4 planeRotation(std::size_t i, std::size_t j, double angle) {
  PGL4 m = PGL4::identity();
  m.set(i, i, std::cos(angle));
  m.set(j, j, std::cos(angle));
  m.set(i, j, -std::sin(angle));
  m.set(j, i, std::sin(angle));
  return m;
}

PGL4 randomRotation(std::mt19937_64& rng, double max_angle) {
  std::uniform_real_distribution<double> u(-max_angle, max_angle);
  PGL4 m = PGL4::identity();
  for (std::size_t i = 0; i < 4; ++i)
    for (std::size_t j = i + 1; j < 4; ++j) m = planeRotation(i, j, u(rng)).mul(m);
  return m;
}

struct Rendered {
  std::expected<ExecuteStats, std::string> stats;
  std::vector<std::uint16_t> coverage;  // fragments per sample
  std::vector<std::uint8_t> rgb;
  std::vector<float> depth;  // sample 0 of each pixel
};

struct Scene {
  Mesh mesh;
  std::vector<PGL4> instances;
  std::uint32_t instance_count = 0;  // 0: all
};

constexpr std::uint32_t kW = 192, kH = 108;

CameraBlock cameraBlock(double fov) {
  CameraBlock cam;
  cam.tan_h = std::tan(fov / 2.0);
  cam.tan_v = cam.tan_h * kH / kW;
  cam.near_fs = 1e-3;
  cam.far_fs = std::numbers::pi / 2;
  cam.isometric_view = true;
  cam.fog = {0.1f, 0.1f, 0.2f};
  return cam;
}

Rendered render(const Scene& s, const CameraBlock& cam, CompareOp compare = CompareOp::always) {
  CpuDevice dev(4);
  auto color = dev.createImage(ImageDescriptor::initKovaRenderTarget(kW, kH));
  auto depth = dev.createImage(ImageDescriptor::init2D(
      Format::depth32_float, kW, kH, ImageUsage::init({ImageUsageFlag::depth_stencil_attachment})));
  auto pipe = dev.createPipeline(
      {.type = PipelineType::kova_projective,
       .topology = PrimitiveTopology::triangle_list,
       .depth = {
           .depth_test = true, .depth_write = true, .depth_compare = compare, .fs_depth = true}});
  const auto nv = static_cast<std::uint32_t>(s.mesh.vertices.size());
  const auto ni = static_cast<std::uint32_t>(s.mesh.indices.size());
  const auto nt = static_cast<std::uint32_t>(s.instances.size());
  auto vb = dev.createBuffer(BufferDescriptor::initKovaPositions(nv));
  auto tb = dev.createBuffer(BufferDescriptor::initKovaTransforms(nt));
  auto cb = dev.createBuffer(BufferDescriptor::initKovaTransforms(2));
  auto ib = dev.createBuffer({.size = std::uint64_t{ni} * 4,
                              .stride = 4,
                              .type = BufferType::index,
                              .format = Format::r32_uint});
  EXPECT_TRUE(color && depth && pipe && vb && tb && cb && ib);
  EXPECT_TRUE(dev.writeIndices(*ib, s.mesh.indices));
  const auto block = packCameraBlock(cam);
  const std::array<ImageId, 1> colors{*color};
  const GpuCommand cmds[] = {
      BeginPassCommand{colors, *depth},
      ClearCommand{*color, 0.0f, 0.0f, 0.0f, 1.0f, 1.0f},
      *pipe,
      KovaUploadPositionsCommand{*vb, s.mesh.vertices},
      KovaUploadPgl4Command{*tb, s.instances},
      KovaUploadPgl4Command{*cb, block},
      BindUniformCommand{*cb, 0, 2 * sizeof(PGL4), 0},
      DrawCommand{.pipeline = *pipe,
                  .vertex_buffer = BufferId::invalid(),
                  .index_buffer = *ib,
                  .kova_transform_buffer = *tb,
                  .kova_position_buffer = *vb,
                  .index_count = ni,
                  .instance_count = s.instance_count ? s.instance_count : nt},
      EndPassCommand{}};
  std::pmr::monotonic_buffer_resource arena;
  FrameGraph graph = FrameGraph::init(arena);
  const std::array<ImageId, 2> targets{*color, *depth};
  EXPECT_TRUE(graph.addPass({"mesh", {}, targets, cmds, PassType::geometry}));
  Rendered out;
  dev.setCoverage(&out.coverage);
  out.stats = dev.execute(graph);
  out.rgb = *dev.readRgb8(*color);
  out.depth = *dev.readDepth(*depth);
  if (out.coverage.empty()) out.coverage.assign(std::size_t{kW} * kH * 4, 0);
  return out;
}

// How many triangles the projective line through the eye and a sample's ray
// meets: a triangle {a a' + b b' + c c'}, with non-negative weights, meets
// the plane spanned by the eye and the ray exactly when, projected onto that
// plane's orthogonal complement, the triangle contains the origin.
std::vector<std::uint16_t> analyticCoverage(const Scene& s, const CameraBlock& cam) {
  std::vector<std::array<HomVec4, 3>> tris;
  for (const PGL4& m : s.instances)
    for (std::size_t t = 0; t + 2 < s.mesh.indices.size(); t += 3)
      tris.push_back({m.apply(s.mesh.vertices[s.mesh.indices[t]]),
                      m.apply(s.mesh.vertices[s.mesh.indices[t + 1]]),
                      m.apply(s.mesh.vertices[s.mesh.indices[t + 2]])});
  std::vector<std::uint16_t> out(std::size_t{kW} * kH * 4, 0);
  for (std::uint32_t y = 0; y < kH; ++y) {
    for (std::uint32_t x = 0; x < kW; ++x) {
      for (std::uint32_t k = 0; k < 4; ++k) {
        const auto& off = kSamplePositions4[k];
        const HomVec4 d =
            pixelRay(x + off[0] / 256.0, y + off[1] / 256.0, kW, kH, cam.tan_h, cam.tan_v);
        // The complement of span{(0,0,0,1), d}: two unit vectors orthogonal to both.
        const double n = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
        const HomVec4 dn{d.x / n, d.y / n, d.z / n, 0.0};
        HomVec4 u1 = std::fabs(dn.x) < 0.9 ? HomVec4{1, 0, 0, 0} : HomVec4{0, 1, 0, 0};
        const double along = u1.dot(dn);
        u1 =
            HomVec4{u1.x - along * dn.x, u1.y - along * dn.y, u1.z - along * dn.z, 0.0}.normalize();
        const HomVec4 u2{dn.y * u1.z - dn.z * u1.y, dn.z * u1.x - dn.x * u1.z,
                         dn.x * u1.y - dn.y * u1.x, 0.0};
        std::uint16_t hits = 0;
        for (const auto& t : tris) {
          double px[3], py[3];
          for (int i = 0; i < 3; ++i) px[i] = t[i].dot(u1), py[i] = t[i].dot(u2);
          const double c0 = px[0] * py[1] - py[0] * px[1];
          const double c1 = px[1] * py[2] - py[1] * px[2];
          const double c2 = px[2] * py[0] - py[2] * px[0];
          if ((c0 > 0 && c1 > 0 && c2 > 0) || (c0 < 0 && c1 < 0 && c2 < 0)) ++hits;
        }
        out[(std::size_t{y} * kW + x) * 4 + k] = hits;
      }
    }
  }
  return out;
}

std::size_t countNotIn(const std::vector<std::uint16_t>& v, std::initializer_list<int> allowed) {
  return static_cast<std::size_t>(std::count_if(v.begin(), v.end(), [&](std::uint16_t c) {
    return std::find(allowed.begin(), allowed.end(), c) == allowed.end();
  }));
}

std::size_t mismatches(const std::vector<std::uint16_t>& a, const std::vector<std::uint16_t>& b) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < a.size(); ++i) n += a[i] != b[i];
  return n;
}

TEST(CpuTriangles, ObjectAroundTheEyeCoversEverySampleExactlyTwice) {
  // The dodecahedral cell around the eye, turned and shifted at random (the
  // eye stays inside), seen with narrow and wide fields of view.
  std::mt19937_64 rng(7);
  const Mesh cell = makeCellMesh(1.0);
  for (int trial = 0; trial < 6; ++trial) {
    Scene s{cell, {randomRotation(rng, trial == 0 ? 0.0 : 0.12)}};
    const CameraBlock cam = cameraBlock(trial % 2 == 0 ? 1.2 : 2.8);
    const Rendered r = render(s, cam);
    ASSERT_TRUE(r.stats) << r.stats.error();
    EXPECT_EQ(countNotIn(r.coverage, {2}), 0u) << "trial " << trial;
    EXPECT_EQ(r.stats->triangles, 36u);
  }
  // With the depth test, each pixel's sample 0 holds the projective depth of
  // the nearest face plane along the sample's line (opposite faces are
  // equally far: the dodecahedron is centrally symmetric), which readDepth
  // reads as FS-depth along the pixel centre's line; near edges between
  // faces sample 0 may take a farther face's depth, never a nearer one.
  Scene s{cell, {PGL4::identity()}};
  const CameraBlock cam = cameraBlock(1.2);
  const Rendered r = render(s, cam, CompareOp::less_equal);
  std::size_t checked = 0;
  for (std::uint32_t y = 0; y < kH; ++y) {
    for (std::uint32_t x = 0; x < kW; ++x) {
      const double sx = x + kSamplePositions4[0][0] / 256.0;
      const double sy = y + kSamplePositions4[0][1] / 256.0;
      const HomVec4 ray = pixelRay(sx, sy, kW, kH, cam.tan_h, cam.tan_v);
      double nearest = 10.0;
      for (std::size_t t = 0; t < cell.indices.size(); t += 3) {
        const HomVec4 n =
            faceNormal(cell.vertices[cell.indices[t]], cell.vertices[cell.indices[t + 1]],
                       cell.vertices[cell.indices[t + 2]]);
        nearest = std::min(nearest, surfaceHit(n, ray).distance);
      }
      const double stored = depthFromRay(
          nearest, rayLength(sx, sy, kW, kH, cam.tan_h, cam.tan_v), cam.near_fs);
      const float expected =
          fsDepthFromStored(static_cast<float>(stored), x, y, kW, kH,
                            DepthCamera{cam.tan_h, cam.tan_v, cam.near_fs, cam.far_fs});
      const float got = r.depth[std::size_t{y} * kW + x];
      EXPECT_GE(got, expected - 1e-6f) << x << "," << y;
      checked += std::fabs(got - expected) <= 1e-6f;
    }
  }
  EXPECT_GE(checked * 100, std::size_t{kW} * kH * 99);
}

TEST(CpuTriangles, ObjectAcrossTheFocalPlaneAppearsWholeInBothHalves) {
  // Small cells centred in the eye's focal plane (view z = 0) at random
  // places around the eye, seen with a wide field of view: the part in front
  // shows at one side of the picture, the part behind at the other.
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const Mesh cell = makeCellMesh(0.5);
  for (int trial = 0; trial < 4; ++trial) {
    const double dist = 0.45 + 0.1 * u(rng), turn = 0.4 * u(rng);
    // Move the cell from the eye along +x by `dist` (it stays in z = 0), then
    // turn it about the view axis; a random spin of the cell first.
    const PGL4 place = planeRotation(0, 1, turn)
                           .mul(planeRotation(0, 3, dist))
                           .mul(planeRotation(0, 1, u(rng)).mul(planeRotation(1, 2, u(rng))));
    Scene s{cell, {place}};
    const CameraBlock cam = cameraBlock(2.96);
    const Rendered r = render(s, cam);
    ASSERT_TRUE(r.stats) << r.stats.error();
    // Watertight: a closed object is met twice or not at all.
    EXPECT_EQ(countNotIn(r.coverage, {0, 2}), 0u) << "trial " << trial;
    const auto expected = analyticCoverage(s, cam);
    EXPECT_LE(mismatches(r.coverage, expected) * 2000, expected.size()) << "trial " << trial;
    // Both halves are there, on opposite sides of the picture.
    std::size_t left = 0, right = 0;
    for (std::size_t i = 0; i < r.coverage.size(); ++i) {
      const std::size_t x = i / 4 % kW;
      if (r.coverage[i] == 0) continue;
      (x < kW / 2 ? left : right) += 1;
    }
    EXPECT_GT(left, 200u) << "trial " << trial;
    EXPECT_GT(right, 200u) << "trial " << trial;
  }
}

TEST(CpuTriangles, LatticeCoverageMatchesTheAnalyticCount) {
  // A quarter of the 120-cell's cells, shrunken, around the eye and some
  // across its focal plane, against the analytic count sample by sample.
  const Mesh cell = makeCellMesh(0.45);
  const auto e = makeElliptic120Cell();
  Scene s{cell, {}};
  const PGL4 eye_off_centre = planeRotation(0, 3, 0.2).mul(planeRotation(1, 3, 0.1));
  for (std::size_t k = 0; k < e.cell_centres.size(); k += 4)
    s.instances.push_back(eye_off_centre.mul(leftMultiplication(e.cell_centres[k])));
  const CameraBlock cam = cameraBlock(1.6);
  const Rendered r = render(s, cam);
  ASSERT_TRUE(r.stats) << r.stats.error();
  const auto expected = analyticCoverage(s, cam);
  EXPECT_LE(mismatches(r.coverage, expected) * 2000, expected.size());
  EXPECT_EQ(r.stats->triangles, 15u * 36u);
}

TEST(CpuTriangles, BadInputIsAnErrorOrDrawsNothing) {
  const Mesh cell = makeCellMesh(0.5);
  const CameraBlock cam = cameraBlock(1.2);
  const PGL4 ahead = planeRotation(2, 3, -0.5);  // the cell 0.5 rad ahead of the eye
  {
    Scene s{cell, {ahead}};
    s.mesh.indices[7] = 20;  // one past the last vertex
    const Rendered r = render(s, cam);
    ASSERT_FALSE(r.stats);
    EXPECT_NE(r.stats.error().find("beyond the 20 vertices"), std::string::npos) << r.stats.error();
    EXPECT_EQ(countNotIn(r.coverage, {0}), 0u);
  }
  {
    Scene s{cell, {ahead}};
    s.instance_count = 2;
    const Rendered r = render(s, cam);
    ASSERT_FALSE(r.stats);
    EXPECT_NE(r.stats.error().find("instance_count 2 exceeds"), std::string::npos)
        << r.stats.error();
  }
  {
    // Degenerate triangles (repeated vertex, three points on one line) and
    // non-finite vertices draw nothing and stop nothing else.
    Scene s{cell, {ahead}};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    s.mesh.vertices.push_back(HomVec4{nan, 0, 0, 1});
    s.mesh.vertices.push_back(HomVec4{0, inf, 0, 1});
    s.mesh.vertices.push_back(HomVec4{0, 0, 0, 0});
    s.mesh.vertices.push_back(HomVec4{0.1, 0, -1, 1});
    s.mesh.vertices.push_back(HomVec4{0.2, 0, -1, 1});
    s.mesh.vertices.push_back(HomVec4{0.3, 0, -1, 1});
    // Mixed into the good mesh, they change nothing.
    Scene mixed = s;
    const std::uint32_t bad[] = {20, 0, 1, 0, 21, 2, 3, 22, 4, 23, 24, 25, 5, 5, 6, 23, 24, 23};
    mixed.mesh.indices.insert(mixed.mesh.indices.begin(), std::begin(bad), std::end(bad));
    const Rendered good = render(s, cam), both = render(mixed, cam);
    ASSERT_TRUE(good.stats && both.stats) << both.stats.error();
    EXPECT_GT(good.stats->triangles_drawn, 10u);
    EXPECT_EQ(both.stats->triangles_drawn, good.stats->triangles_drawn);
    EXPECT_EQ(good.coverage, both.coverage);
    EXPECT_EQ(good.rgb, both.rgb);
    // A vertex and its positive multiples are one point: vertices scaled by
    // 2^600 or 2^-600 (whose squares overflow or vanish) draw the same picture.
    for (const double scale : {std::ldexp(1.0, 600), std::ldexp(1.0, -600)}) {
      Scene scaled = s;
      for (std::size_t i = 0; i < 20; ++i) {
        const double f = i % 2 == 0 ? scale : 1.0;
        const HomVec4 v = scaled.mesh.vertices[i];
        scaled.mesh.vertices[i] = HomVec4{v.x * f, v.y * f, v.z * f, v.w * f};
      }
      const Rendered r = render(scaled, cam);
      ASSERT_TRUE(r.stats) << r.stats.error();
      EXPECT_EQ(r.coverage, good.coverage);
      EXPECT_EQ(r.rgb, good.rgb);
    }
  }
}

}  // namespace
