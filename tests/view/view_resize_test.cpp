// A resized view gives the images it replaced back to the device and draws
// what a view made at the new size draws, for both scenes.
#include <gtest/gtest.h>

#include "kova_cpu_device.hpp"
#include "lattice_driver.hpp"
#include "lattice_frame.hpp"
#include "lattice_view.hpp"
#include "lights_scene.hpp"
#include "points_view.hpp"
#include "view_controls.hpp"

namespace {

using namespace kova_view;
using kova_device::CpuDevice;

template <class View, class Scene>
void expectResizeReleasesAndMatchesAFreshView(const Scene& scene, KovaCamera (*start)(
                                                                      std::uint32_t,
                                                                      std::uint32_t)) {
  auto view = View::create(scene, 96, 64, CpuDevice{1});
  ASSERT_TRUE(view) << view.error();
  ASSERT_TRUE(view->render(start(96, 64)));
  // Sizes back and forth, as a window's edge dragged to and fro.
  for (const auto& [w, h] : {std::pair{64u, 48u}, std::pair{96u, 64u}, std::pair{80u, 40u}}) {
    const kova_demo::ImageId old = view->colorImage();
    ASSERT_TRUE(view->resize(w, h));
    EXPECT_FALSE(view->device().readRgb8(old)) << "the replaced colour image is still there";
    EXPECT_EQ(view->width(), w);
    EXPECT_EQ(view->height(), h);
  }
  const KovaCamera camera = autopilotCamera(30, start(80, 40));
  auto fresh = View::create(scene, 80, 40, CpuDevice{1});
  ASSERT_TRUE(fresh && view->render(camera) && fresh->render(camera));
  const auto resized_rgb = view->readRgb();
  const auto fresh_rgb = fresh->readRgb();
  ASSERT_TRUE(resized_rgb && fresh_rgb);
  EXPECT_EQ(resized_rgb->size(), std::size_t{80} * 40 * 3);
  EXPECT_EQ(*resized_rgb, *fresh_rgb);
}

TEST(ViewResize, ReleasesTheReplacedImagesAndDrawsAsAFreshView) {
  const kova_demo::Scene points = kova_demo::makeScene(3000, 5);
  expectResizeReleasesAndMatchesAFreshView<PointsView<CpuDevice>>(points, startCamera);
  const kova_demo::LatticeScene lattice = kova_demo::makeLatticeScene();
  expectResizeReleasesAndMatchesAFreshView<LatticeView<CpuDevice>>(lattice, latticeStartCamera);
}

// The viewer's lit lattice: the L key's steps go round, the first lit frame
// is the main job's first frame with as many lights, and a resized lit view
// draws what a fresh one does, through forward+ and deferred.
TEST(ViewLights, StepsRoundAndLitFramesMatchTheMainJobAndAFreshView) {
  std::uint32_t count = 0;
  for (std::size_t i = 1; i <= std::size(kLightSteps); ++i) {
    count = nextLightCount(count);
    EXPECT_EQ(count, kLightSteps[i % std::size(kLightSteps)]);
  }
  EXPECT_EQ(nextLightCount(9), 64u);
  EXPECT_EQ(nextLightCount(5000), 0u);

  const kova_demo::LatticeScene lattice = kova_demo::makeLatticeScene();
  auto view = LatticeView<CpuDevice>::create(lattice, 96, 64, CpuDevice{1});
  auto job = kova_demo::LatticeDriver<CpuDevice>::create(lattice, 96, 64, CpuDevice{1});
  ASSERT_TRUE(view && job);
  EXPECT_FALSE(view->setLights(kova_demo::kMaxLatticeLights + 1));
  EXPECT_EQ(view->lights(), 0u);
  ASSERT_TRUE(view->setLights(8));
  ASSERT_TRUE(job->setLights(8));
  const auto seen = view->render(latticeStartCamera(96, 64));
  const auto made = job->renderFrame();
  ASSERT_TRUE(seen && made) << (seen ? made.error() : seen.error());
  EXPECT_EQ(seen->lights, 8u);
  EXPECT_EQ(*view->readRgb(), *job->readRgb());

  ASSERT_TRUE(view->resize(80, 40));
  auto fresh = LatticeView<CpuDevice>::create(lattice, 80, 40, CpuDevice{1});
  ASSERT_TRUE(fresh && fresh->setLights(8));
  const KovaCamera camera = autopilotCamera(30, latticeStartCamera(80, 40));
  // The same frame number, so that the lights stand where they stood.
  ASSERT_TRUE(fresh->render(camera));
  const auto a = view->render(camera);
  ASSERT_TRUE(a) << a.error();
  ASSERT_TRUE(fresh->render(camera));
  EXPECT_EQ(a->lights, 8u);
  EXPECT_EQ(*view->readRgb(), *fresh->readRgb());

  // Deferred, switched to and then resized: its G-buffer follows the
  // picture, and the frame is a fresh deferred view's. Back on forward+,
  // the frame is forward+'s again.
  ASSERT_TRUE(view->setPipeline(kova_demo::PipelineChoice::deferred));
  ASSERT_TRUE(view->resize(64, 48));
  ASSERT_TRUE(view->resize(80, 40));
  auto fresh_deferred = LatticeView<CpuDevice>::create(lattice, 80, 40, CpuDevice{1});
  ASSERT_TRUE(fresh_deferred && fresh_deferred->setLights(8) &&
              fresh_deferred->setPipeline(kova_demo::PipelineChoice::deferred));
  // Frame numbers kept equal, as above: the view draws its third frame.
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(fresh_deferred->render(camera));
  const auto d = view->render(camera);
  ASSERT_TRUE(d) << d.error();
  ASSERT_TRUE(fresh_deferred->render(camera));
  EXPECT_EQ(d->pipeline, kova_demo::PipelineChoice::deferred);
  EXPECT_EQ(*view->readRgb(), *fresh_deferred->readRgb());
  ASSERT_TRUE(view->setPipeline(kova_demo::PipelineChoice::forward_plus));
  ASSERT_TRUE(fresh->render(camera));
  ASSERT_TRUE(view->render(camera));
  ASSERT_TRUE(fresh->render(camera));
  EXPECT_EQ(*view->readRgb(), *fresh->readRgb());
}

}  // namespace
