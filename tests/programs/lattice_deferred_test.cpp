// The lattice's deferred frame against its forward+ frame on the CPU device
// (lattice_pipelines.hpp), at one sample per pixel and at four.
#include "lattice_pipelines.hpp"

namespace {

using namespace kova_demo;

TEST(LatticeDeferred, AgreesWithForwardPlusLitAndUnlit) {
  constexpr std::uint32_t kW = 96, kH = 54;
  const LatticeScene scene = makeLatticeScene();
  for (const std::uint32_t samples : {1u, 4u}) {
    kova_test::expectLatticePipelinesAgree(
        scene, [&] { return LatticeDriver<CpuDevice>::create(scene, kW, kH, CpuDevice{samples}); },
        [](const LatticeDriver<CpuDevice>&) {});
  }
}

}  // namespace
