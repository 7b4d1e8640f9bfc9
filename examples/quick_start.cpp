// Quick start for a host: fly a camera, cull a batch of points against exactly
// the picture it draws, and get their back-to-front draw order.
#include <cstdio>
#include <memory_resource>
#include <vector>

#include "kova_renderer.hpp"

int main() {
  using kova_kernel::HomVec4;
  using namespace kova_renderer;

  KovaCamera camera = KovaCamera::defaultCamera();  // eye (0,0,0,1), looking along -z, +y up
  camera.travel(0.05, 0.0, 0.0);  // forward along a geodesic, radians; the frame comes along
  camera.turn(0.3, 0.0, 0.0);     // yaw right by 0.3 rad
  camera.lookAt(HomVec4{0, 0, -0.5, 1}, HomVec4{0, 1, 0, 0});  // centre a point, +y up
  const kova_kernel::PGL4 view = camera.viewIsometry();        // eye to (0,0,0,1): the GPU's view
  const KovaFrustum frustum = KovaFrustum::fromView(camera);   // bounds exactly the picture

  const std::vector<HomVec4> points = {
      HomVec4{0, 0, -0.5, 1}.normalize(),
      -HomVec4{0.05, 0.02, -0.3, 1}.normalize(),  // either sign is the same point
      HomVec4{1, 0, -0.5, 1}.normalize(),         // off to the right
      HomVec4{0.1, 0.2, 2.0, 1}.normalize()};     // behind, above: lines close, so ahead, below
  bool visible[4];
  const std::uint32_t count = frustumCullFacing(frustum, points, visible);

  std::pmr::monotonic_buffer_resource arena;
  auto order = sortByFSDepth(arena, camera.position, points);  // farthest first
  if (!order) return 1;                                        // only OutOfMemory can fail
  std::printf("%u of %zu visible; draw order:", count, points.size());
  for (std::size_t i : *order) {
    std::printf(" %zu (%.3f rad", i, camera.distanceTo(points[i]));
    if (const auto at = camera.project(points[i]); at && visible[i]) {
      std::printf(" at %+.2f %+.2f)", at->x, at->y);
    } else {
      std::printf(", culled)");
    }
  }
  std::printf("\n");
  return count == 3 && view.apply(camera.position).w > 0.999 ? 0 : 1;
}
