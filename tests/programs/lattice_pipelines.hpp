// The lattice lit through forward+ and through deferred, end to end through
// the driver, on whichever device the test makes: the two pipelines agree on
// almost every pixel (they shade the same surfaces in different orders, so a
// pixel may differ by a rounding), lit by travelling lights and unlit; the
// lights change the picture, so agreement is not that of two pictures that
// both ignore them. Each scene triangle is reported once whichever pipeline
// draws it, and deferred refuses more lights than it sheds either way round.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "lattice_driver.hpp"
#include "lights_scene.hpp"
#include "picture_agreement.hpp"

namespace kova_test {

// make(): a fresh LatticeDriver (as std::expected) on the device under test.
// check(driver): whatever the device must also hold after its frames.
template <class Make, class Check>
void expectLatticePipelinesAgree(const kova_demo::LatticeScene& scene, Make make, Check check) {
  using kova_demo::PipelineChoice;
  using kova_demo::kMaxDeferredLatticeLights;
  auto forward = make();
  auto deferred = make();
  ASSERT_TRUE(forward && deferred) << (forward ? deferred.error() : forward.error());
  ASSERT_TRUE(deferred->setLights(kMaxDeferredLatticeLights + 1));
  EXPECT_FALSE(deferred->setPipeline(PipelineChoice::deferred));
  ASSERT_TRUE(deferred->setLights(0));
  ASSERT_TRUE(deferred->setPipeline(PipelineChoice::deferred)) << "deferred refused";
  EXPECT_FALSE(deferred->setLights(kMaxDeferredLatticeLights + 1));
  EXPECT_EQ(deferred->pipeline(), PipelineChoice::deferred);
  // Frames 0 and 37 of the flight lit by 24 lights, then frame 38 unlit.
  const struct {
    std::uint64_t skip;
    std::uint32_t lights;
  } cases[] = {{0, 24}, {36, 24}, {0, 0}};
  const std::uint32_t samples = forward->samples();
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
      auto unlit = make();
      ASSERT_TRUE(unlit) << unlit.error();
      unlit->skipFrames(rf->frame_index);
      ASSERT_TRUE(unlit->renderFrame());
      EXPECT_LT(agreeing(*unlit->readRgb(), b, 8), 0.8);
      check(*unlit);
    }
  }
  check(*forward);
  check(*deferred);
}

}  // namespace kova_test
