// The lattice's deferred frame against its forward+ frame on the CPU device,
// end to end through the driver: lit by the same travelling lights, the two
// pipelines agree on almost every pixel (they shade from the same surfaces
// in different orders, so a pixel may differ by a rounding), and so do
// their unlit frames; the lights change the picture, so agreement is not
// that of two pictures that both ignore them. Each scene triangle is
// reported once whichever pipeline draws it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "lattice_driver.hpp"
#include "lights_scene.hpp"

namespace {

using namespace kova_demo;

// The share of pixels whose channels all lie within `tol` of the other's.
double agreeing(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b, int tol) {
  std::size_t ok = 0;
  for (std::size_t p = 0; p + 2 < a.size(); p += 3) {
    bool same = true;
    for (std::size_t c = 0; c < 3; ++c) same = same && std::abs(a[p + c] - b[p + c]) <= tol;
    ok += same;
  }
  return static_cast<double>(ok) / static_cast<double>(a.size() / 3);
}

TEST(LatticeDeferred, AgreesWithForwardPlusLitAndUnlit) {
  constexpr std::uint32_t kW = 96, kH = 54;
  const LatticeScene scene = makeLatticeScene();
  for (const std::uint32_t samples : {1u, 4u}) {
    auto forward = LatticeDriver<CpuDevice>::create(scene, kW, kH, CpuDevice{samples});
    auto deferred = LatticeDriver<CpuDevice>::create(scene, kW, kH, CpuDevice{samples});
    ASSERT_TRUE(forward && deferred);
    // Deferred sheds at most its record's max_lights: more are refused
    // either way round, changing nothing.
    ASSERT_TRUE(deferred->setLights(kMaxDeferredLatticeLights + 1));
    EXPECT_FALSE(deferred->setPipeline(PipelineChoice::deferred));
    ASSERT_TRUE(deferred->setLights(0));
    ASSERT_TRUE(deferred->setPipeline(PipelineChoice::deferred));
    EXPECT_FALSE(deferred->setLights(kMaxDeferredLatticeLights + 1));
    EXPECT_EQ(deferred->pipeline(), PipelineChoice::deferred);
    // Frames 0 and 37 of the flight lit by 24 lights, then frame 38 unlit.
    const struct {
      std::uint64_t skip;
      std::uint32_t lights;
    } cases[] = {{0, 24}, {36, 24}, {0, 0}};
    for (const auto& [skip, lights] : cases) {
      forward->skipFrames(skip);
      deferred->skipFrames(skip);
      ASSERT_TRUE(forward->setLights(lights));
      ASSERT_TRUE(deferred->setLights(lights));
      const auto rf = forward->renderFrame();
      const auto rd = deferred->renderFrame();
      ASSERT_TRUE(rf && rd) << (rf ? rd.error() : rf.error());
      ASSERT_EQ(rf->frame_index, rd->frame_index);
      EXPECT_EQ(rd->pipeline, PipelineChoice::deferred);
      EXPECT_EQ(rf->triangles, rd->triangles);
      EXPECT_EQ(rf->triangles, scene.instances.size() * scene.cell.indices.size() / 3);
      const auto a = *forward->readRgb(), b = *deferred->readRgb();
      EXPECT_GE(agreeing(a, b, 3), 0.995)
          << samples << " samples, " << lights << " lights, frame " << rf->frame_index;
      if (lights > 0) {
        // The same frame unlit: the lights are a real part of the picture.
        auto unlit = LatticeDriver<CpuDevice>::create(scene, kW, kH, CpuDevice{samples});
        ASSERT_TRUE(unlit);
        unlit->skipFrames(rf->frame_index);
        ASSERT_TRUE(unlit->renderFrame());
        EXPECT_LT(agreeing(*unlit->readRgb(), b, 8), 0.8);
      }
    }
  }
}

}  // namespace
