// Shaded, antialiased triangle meshes on the Vulkan device against the CPU
// device: whole lattice frames of the demo's flight, an object around the eye
// and one across the eye's focal plane. Both devices rasterise with the same
// coverage rules (4 standard samples, 1/256 pixel vertices, top-left rule),
// so what remains is edge antialiasing where clipped or snapped positions
// differ by a rounding; depth is the same FS-depth wherever both drew. Bad
// input is the same clear error on both, or draws nothing, and the
// validation layer stays silent.
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory_resource>
#include <numbers>

#include "lattice_driver.hpp"
#include "lattice_frame.hpp"
#include "mesh_draw.hpp"
#include "vulkan_test_device.hpp"

namespace {

using namespace kova_demo;
using namespace kova_device;
using namespace kova_rhi;
using namespace kova_test;

// Tolerances of the comparison: a pixel agrees when every channel differs by
// at most kColourTolerance (of 255) and, where both devices drew, depth
// differs by at most kDepthTolerance; at least kAgreeingShare of the pixels
// must agree. Depth is read from sample 0, so on a silhouette the two
// devices may see different surfaces there; such pixels count against the
// share, and at most kDepthOffShare of the pixels both drew may be such.
constexpr int kColourTolerance = 3;
constexpr double kAgreeingShare = 0.999;
constexpr double kDepthTolerance = 1e-6;
constexpr double kDepthOffShare = 0.0005;
// A line's depth is interpolated along it in single precision by the GPU and
// in double by the CPU device, from ends that may lie far apart in depth; at
// an edge pixel the two FS-depths may differ by that rounding.
constexpr double kLineDepthTolerance = 1e-4;


void expectParity(const Pictures& cpu, const Pictures& vk, const std::string& what,
                  std::size_t min_drawn, std::span<const std::uint8_t> kinds = {}) {
  ASSERT_EQ(cpu.rgb.size(), vk.rgb.size());
  const std::size_t pixels = cpu.depth.size();
  std::size_t agreeing = 0, both_drew = 0, depth_off = 0;
  double worst_depth = 0.0;
  for (std::size_t p = 0; p < pixels; ++p) {
    int worst = 0;
    for (std::size_t c = 0; c < 3; ++c)
      worst = std::max(worst, std::abs(int{cpu.rgb[p * 3 + c]} - int{vk.rgb[p * 3 + c]}));
    bool depth_agrees = true;
    if (cpu.depth[p] < 1.0f && vk.depth[p] < 1.0f) {
      ++both_drew;
      const double d = std::fabs(double{cpu.depth[p]} - double{vk.depth[p]});
      worst_depth = std::max(worst_depth, d);
      const bool line = !kinds.empty() && kinds[p] == static_cast<std::uint8_t>(PixelKind::geodesic);
      depth_agrees = d <= (line ? kLineDepthTolerance : kDepthTolerance);
      depth_off += !depth_agrees;
    }
    agreeing += worst <= kColourTolerance && depth_agrees;
  }
  std::printf("%s: %.3f %% of pixels agree, depth off at %zu of %zu\n", what.c_str(),
              100.0 * static_cast<double>(agreeing) / static_cast<double>(pixels), depth_off,
              both_drew);
  EXPECT_GE(static_cast<double>(agreeing), kAgreeingShare * static_cast<double>(pixels))
      << what << ": " << pixels - agreeing << " of " << pixels << " pixels differ by more than "
      << kColourTolerance;
  EXPECT_LE(static_cast<double>(depth_off), kDepthOffShare * static_cast<double>(both_drew))
      << what << ": depth differs at " << depth_off << " pixels, by up to " << worst_depth;
  EXPECT_GE(both_drew, min_drawn) << what << ": too little was drawn to compare";
}

TEST(VulkanMeshParity, LatticeFlightFramesMatchTheCpuDevice) {
  for (const kova_device::VulkanOptions& options : kWithAndWithoutFloat64) {
    SCOPED_TRACE(options.float64 ? "with float64" : "without float64");
    KOVA_VULKAN_DEVICE_WITH_OR_SKIP(device, options);
    constexpr std::uint32_t kW = 400, kH = 226;
    const LatticeScene scene = makeLatticeScene();
    auto cpu = LatticeDriver<CpuDevice>::create(scene, kW, kH);
    auto vk = LatticeDriver<VulkanDevice>::create(scene, kW, kH, std::move(device));
    ASSERT_TRUE(cpu && vk) << (cpu ? vk.error() : cpu.error());
    // The start, a frame with the view turned to the side, and the half-turn.
    std::uint64_t at = 0;
    for (const std::uint64_t f : {0, 23, 120}) {
      cpu->skipFrames(f - at);
      vk->skipFrames(f - at);
      at = f + 1;
      auto rc = cpu->renderFrame();
      auto rv = vk->renderFrame();
      ASSERT_TRUE(rc && rv) << (rc ? rv.error() : rc.error());
      EXPECT_EQ(rc->triangles, rv->triangles);
      // A triangle is drawn when a fragment of it passes the depth test; only
      // a triangle that touches a sample on one device and not the other differs.
      EXPECT_NEAR(rv->triangles_drawn, rc->triangles_drawn, rc->triangles / 200.0);
      EXPECT_EQ(rc->geodesic_arcs, rv->geodesic_arcs);
      const Pictures a{*cpu->readRgb(), *cpu->readDepth()};
      const Pictures b{*vk->readRgb(), *vk->readDepth()};
      const auto kinds = cpu->readKinds();
      ASSERT_TRUE(kinds) << kinds.error();
      expectParity(a, b, "lattice frame " + std::to_string(f), kW * kH / 2, *kinds);
    }
    EXPECT_VALIDATION_SILENT(vk->device());
  }
}

PGL4 planeRotation(std::size_t i, std::size_t j, double angle) {
  PGL4 m = PGL4::identity();
  m.set(i, i, std::cos(angle));
  m.set(j, j, std::cos(angle));
  m.set(i, j, -std::sin(angle));
  m.set(j, i, std::sin(angle));
  return m;
}

TEST(VulkanMeshParity, ObjectsAroundAndAcrossTheEyeMatchTheCpuDevice) {
  KOVA_VULKAN_DEVICE_OR_SKIP(vk);
  const Mesh cell = makeCellMesh(0.7);
  // A cell around the eye (seen from inside, every pixel covered twice at the
  // same distance), and a cell across the focal plane seen in both halves,
  // tilted so that its faces are not symmetric in the picture.
  const PGL4 around = planeRotation(0, 1, 0.3).mul(planeRotation(1, 2, 0.2));
  const PGL4 across = planeRotation(2, 3, 0.45 * std::numbers::pi).mul(planeRotation(0, 3, 0.2));
  for (const auto& [name, transform, min_drawn] :
       {std::tuple{"around the eye", around, std::size_t{kW} * kH},
        std::tuple{"across the focal plane", across, std::size_t{kW} * kH / 20}}) {
    CpuDevice cpu;
    const MeshDraw s{cell, {transform}};
    const Drawn a = drawMesh(cpu, s), b = drawMesh(vk, s);
    ASSERT_TRUE(a.stats && b.stats) << (a.stats ? b.stats.error() : a.stats.error());
    expectParity(a.pictures, b.pictures, name, min_drawn);
  }
  EXPECT_VALIDATION_SILENT(vk);
}

TEST(VulkanMeshParity, BadInputIsTheSameErrorOrDrawsNothing) {
  KOVA_VULKAN_DEVICE_OR_SKIP(vk);
  const Mesh cell = makeCellMesh(0.5);
  const PGL4 ahead = planeRotation(2, 3, -0.5);
  {
    MeshDraw s{cell, {ahead}};
    s.mesh.indices[7] = 20;  // one past the last vertex
    CpuDevice cpu;
    const Drawn a = drawMesh(cpu, s), b = drawMesh(vk, s);
    ASSERT_FALSE(a.stats || b.stats);
    EXPECT_EQ(a.stats.error(), b.stats.error());
    EXPECT_NE(b.stats.error().find("beyond the 20 vertices"), std::string::npos);
  }
  {
    MeshDraw s{cell, {ahead}};
    s.instance_count = 2;
    CpuDevice cpu;
    const Drawn a = drawMesh(cpu, s), b = drawMesh(vk, s);
    ASSERT_FALSE(a.stats || b.stats);
    EXPECT_EQ(a.stats.error(), b.stats.error());
    EXPECT_NE(b.stats.error().find("instance_count 2 exceeds"), std::string::npos);
  }
  {
    // Degenerate and non-finite triangles mixed into the mesh change nothing.
    MeshDraw s{cell, {ahead}};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (HomVec4 v : {HomVec4{nan, 0, 0, 1}, HomVec4{0, inf, 0, 1}, HomVec4{0, 0, 0, 0},
                      HomVec4{0.1, 0, -1, 1}, HomVec4{0.2, 0, -1, 1}, HomVec4{0.3, 0, -1, 1}})
      s.mesh.vertices.push_back(v);
    MeshDraw mixed = s;
    const std::uint32_t bad[] = {20, 0, 1, 0, 21, 2, 3, 22, 4, 23, 24, 25, 5, 5, 6, 23, 24, 23};
    mixed.mesh.indices.insert(mixed.mesh.indices.begin(), std::begin(bad), std::end(bad));
    const Drawn good = drawMesh(vk, s), both = drawMesh(vk, mixed);
    ASSERT_TRUE(good.stats && both.stats) << (good.stats ? both.stats.error() : good.stats.error());
    EXPECT_GT(good.stats->triangles_drawn, 10u);
    EXPECT_EQ(both.stats->triangles_drawn, good.stats->triangles_drawn);
    EXPECT_EQ(good.pictures.rgb, both.pictures.rgb);
    EXPECT_EQ(good.pictures.depth, both.pictures.depth);
  }
  EXPECT_VALIDATION_SILENT(vk);
}

}  // namespace
