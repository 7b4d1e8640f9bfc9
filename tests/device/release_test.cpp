// Releases on the CPU device, by random sequences of create, write, execute
// and release (release_sequence.hpp): released handles are refused for good,
// and live resources never share storage.
#include "release_sequence.hpp"

#include "kova_cpu_device.hpp"

namespace {

TEST(DeviceRelease, CpuRandomSequencesKeepHandlesApart) {
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    kova_device::CpuDevice cpu;
    const auto log = kova_hostile::releaseSequence(cpu, seed, 300);
    EXPECT_GT(log.size(), 100u);
  }
}

}  // namespace
