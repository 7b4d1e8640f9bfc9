// Hostile input on the CPU device: every malformed graph and every misuse of
// the resource calls is refused with the fault named, and the device's state
// is as before: the same read-backs, and a following frame the same as on a
// fresh device. The Vulkan parity test runs the same table on both devices.
#include "hostile_input.hpp"

#include "kova_cpu_device.hpp"

namespace {

using namespace kova_hostile;
using kova_device::CpuDevice;

TEST(DeviceHostileInput, CpuRefusesEveryCaseAndChangesNothing) {
  const HostileData data;
  CpuDevice cpu;
  const HostileResources r = makeHostileResources(cpu, data);
  CpuDevice other;
  const HostileResources foreign = makeHostileResources(other, data);
  const std::array<ImageId, 1> colors{r.color};
  const auto first = runPasses(cpu, goodFrame(r, colors));
  ASSERT_TRUE(first) << first.error();
  const Snapshot before = snapshot(cpu, r);

  const std::vector<HostileCase> cases = hostileCases(r, foreign, data, colors);
  refuseAll(cpu, cases);
  misuseOutcomes(cpu, r, foreign, data);
  EXPECT_TRUE(snapshot(cpu, r) == before) << "a refused call changed the device";

  // A frame after all that is the frame of a device that saw none of it.
  CpuDevice fresh;
  const HostileResources fr = makeHostileResources(fresh, data);
  const std::array<ImageId, 1> fresh_colors{fr.color};
  auto ran = runPasses(cpu, goodFrame(r, colors));
  auto fresh_ran = runPasses(fresh, goodFrame(fr, fresh_colors));
  ASSERT_TRUE(ran && fresh_ran) << (ran ? fresh_ran.error() : ran.error());
  EXPECT_EQ(ran->points_drawn, 16u);
  EXPECT_EQ(ran->triangles, 4u);
  EXPECT_EQ(ran->points_drawn, fresh_ran->points_drawn);
  EXPECT_EQ(ran->triangles_drawn, fresh_ran->triangles_drawn);
  EXPECT_TRUE(snapshot(cpu, r) == snapshot(fresh, fr));
}

}  // namespace
