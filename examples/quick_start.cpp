// Quick start for a host: build a camera, cull a batch of points against its
// frustum and get their back-to-front draw order.
#include <cstdio>
#include <memory_resource>
#include <vector>

#include "kova_renderer.hpp"

int main() {
  using kova_kernel::HomVec4;
  using namespace kova_renderer;

  KovaCamera camera = KovaCamera::defaultCamera();  // eye (0,0,0,1), looking along -z
  camera.moveForward(0.05);                         // a geodesic step, in radians
  camera.updateViewMatrix();
  const KovaFrustum frustum = KovaFrustum::fromCamera(camera);

  const std::vector<HomVec4> points = {HomVec4{0, 0, -0.5, 1}.normalize(),
                                       HomVec4{0, 0, -0.1, 1}.normalize(),
                                       HomVec4{0, 0, 2.0, 1}.normalize()};  // behind the eye
  bool visible[3];
  const std::uint32_t count = frustumCull(frustum, points, visible);

  std::pmr::monotonic_buffer_resource arena;
  auto order = sortByFSDepth(arena, camera.position, points);  // farthest first
  if (!order) return 1;                                        // only OutOfMemory can fail
  std::printf("%u of %zu visible; draw order:", count, points.size());
  for (std::size_t i : *order) {
    std::printf(" %zu (%.3f rad%s)", i, camera.distanceTo(points[i]), visible[i] ? "" : ", culled");
  }
  std::printf("\n");
  return count == 2 ? 0 : 1;
}
