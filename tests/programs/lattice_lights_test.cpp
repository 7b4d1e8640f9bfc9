// The lattice lit by lights travelling through it, end to end on the CPU
// device: the lights keep to their great circles and close with the flight,
// the driver's forward+ frame is the every-light frame of the same lights
// bit for bit, the lights really change the picture, and a light count of
// 0 gives the unlit frame exactly.
#include <gtest/gtest.h>

#include <cmath>
#include <memory_resource>

#include "lattice_driver.hpp"
#include "lattice_frame.hpp"
#include "lights_scene.hpp"
#include "render_targets.hpp"

namespace {

using namespace kova_demo;

TEST(LatticeLights, LightsTravelGreatCirclesAndCloseWithTheFlight) {
  for (const std::uint32_t n : {1u, 8u, 300u}) {
    const auto at0 = latticeLights(n, 0), at1 = latticeLights(n, 1), at2 = latticeLights(n, 2);
    const auto at120 = latticeLights(n, 120);
    ASSERT_EQ(at0.size(), n);
    for (std::uint32_t k = 0; k < n; ++k) {
      const HomVec4 p0 = at0[k].position, p1 = at1[k].position, p2 = at2[k].position;
      // A step of kFlightStep along a great circle: unit points kFlightStep apart,
      // the middle one the normalised sum of its neighbours.
      EXPECT_NEAR(p0.dot(p0), 1.0, 1e-12);
      EXPECT_NEAR(p0.dot(p1), std::cos(kFlightStep), 1e-12);
      EXPECT_NEAR(p1.dot(p2), std::cos(kFlightStep), 1e-12);
      EXPECT_NEAR(p0.dot(p2), std::cos(2 * kFlightStep), 1e-12);
      EXPECT_NEAR(std::fabs(p0.dot(at120[k].position)), 1.0, 1e-12);
      // A light keeps its path when the count changes.
      EXPECT_EQ(latticeLights(1, 5)[0].position, latticeLights(n, 5)[0].position);
      EXPECT_GT(at0[k].range, 0.0);
      EXPECT_LE(at0[k].range, 3.141592653589793);
    }
  }
}

TEST(LatticeLights, ForwardPlusFrameIsTheEveryLightFrameAndZeroLightsIsUnlit) {
  constexpr std::uint32_t kW = 160, kH = 90;
  const LatticeScene scene = makeLatticeScene();
  auto unlit = LatticeDriver<CpuDevice>::create(scene, kW, kH, CpuDevice{1});
  auto lit = LatticeDriver<CpuDevice>::create(scene, kW, kH, CpuDevice{1});
  ASSERT_TRUE(unlit && lit);
  ASSERT_TRUE(lit->setLights(24));
  EXPECT_FALSE(lit->setLights(kMaxLatticeLights + 1));
  EXPECT_EQ(lit->lights(), 24u);
  for (int f = 0; f < 2; ++f) {
    const auto ru = unlit->renderFrame();
    const auto rl = lit->renderFrame();
    ASSERT_TRUE(ru && rl) << (ru ? rl.error() : ru.error());
    EXPECT_EQ(ru->passes, 3u);
    EXPECT_EQ(rl->passes, 4u);  // the default record has the depth pre-pass
    EXPECT_EQ(rl->lights, 24u);
    const auto lit_rgb = *lit->readRgb();

    // The same frame shaded brute force, on a device of its own.
    CpuDevice dev{1};
    auto targets = createRenderTargets(dev, kW, kH);
    auto gpu = createLatticeGpu(dev, scene);
    const auto record = latticeForwardPlus(lit->camera(), 1, rl->frame_index);
    auto lights_gpu = createLatticeLightsGpu(dev, record, kW, kH);
    ASSERT_TRUE(targets && gpu && lights_gpu);
    ASSERT_TRUE(dev.writeValues(lights_gpu->lights,
                                kova_device::lightValues(latticeLights(24, rl->frame_index))));
    std::pmr::monotonic_buffer_resource arena;
    kova_rhi::FrameGraph graph = kova_rhi::FrameGraph::init(arena);
    const auto block = kova_device::forwardPlusCameraBlock(record, kLatticeFogColor);
    ASSERT_TRUE(recordLatticeForwardPlus(graph, arena, record, *gpu, *lights_gpu, scene,
                                         targets->color, targets->depth, scene.instances, block,
                                         scene.colors.size(), 24, true));
    EXPECT_EQ(graph.passCount(), 3u);
    ASSERT_TRUE(dev.execute(graph));
    EXPECT_EQ(lit_rgb, *dev.readRgb8(targets->color)) << "frame " << f;

    // The lights are a real part of the picture.
    const auto unlit_rgb = *unlit->readRgb();
    std::size_t changed = 0;
    for (std::size_t p = 0; p + 2 < lit_rgb.size(); p += 3) {
      int worst = 0;
      for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(lit_rgb[p + c] - unlit_rgb[p + c]));
      changed += worst > 8;
    }
    EXPECT_GT(changed, lit_rgb.size() / 3 / 20) << "frame " << f;
  }
  // Back to no lights: the unlit frame exactly.
  ASSERT_TRUE(lit->setLights(0));
  const auto ru = unlit->renderFrame();
  const auto rl = lit->renderFrame();
  ASSERT_TRUE(ru && rl);
  EXPECT_EQ(rl->passes, 3u);
  EXPECT_EQ(*unlit->readRgb(), *lit->readRgb());
}

}  // namespace
