// A resized view gives the images it replaced back to the device and draws
// what a view made at the new size draws, for both scenes.
#include <gtest/gtest.h>

#include "kova_cpu_device.hpp"
#include "lattice_view.hpp"
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

}  // namespace
