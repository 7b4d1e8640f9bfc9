// Hostile input on both devices at once: every malformed graph of the shared
// table (tests/device/hostile_input.hpp) and every misuse of the resource
// calls gets the same outcome and the same message from the Vulkan device as
// from the CPU device; neither device's state changes, so a following frame
// is the frame of a fresh device; the validation layer stays silent.
#include "hostile_input.hpp"
#include "kova_cpu_device.hpp"
#include "vulkan_test_device.hpp"

namespace {

using namespace kova_hostile;
using kova_device::CpuDevice;
using kova_device::VulkanDevice;

// The device after the good frame, and the frame's counts.
template <class Device>
ExecuteStats renderGood(Device& d, const HostileResources& r, const std::array<ImageId, 1>& colors) {
  auto ran = runPasses(d, goodFrame(r, colors));
  EXPECT_TRUE(ran) << ran.error();
  return ran ? *ran : ExecuteStats{};
}

TEST(VulkanHostileParity, SameRefusalsSameWordsNothingChanged) {
  KOVA_VULKAN_DEVICE_OR_SKIP(vk);
  const HostileData data;
  CpuDevice cpu;
  const HostileResources rv = makeHostileResources(vk, data);
  const HostileResources rc = makeHostileResources(cpu, data);
  // Handles of another device: stale on both.
  CpuDevice other;
  const HostileResources foreign = makeHostileResources(other, data);
  const std::array<ImageId, 1> vk_colors{rv.color}, cpu_colors{rc.color};
  renderGood(vk, rv, vk_colors);
  renderGood(cpu, rc, cpu_colors);
  const Snapshot vk_before = snapshot(vk, rv);
  const Snapshot cpu_before = snapshot(cpu, rc);

  const auto vk_cases = hostileCases(rv, foreign, data, vk_colors);
  const auto cpu_cases = hostileCases(rc, foreign, data, cpu_colors);
  const std::vector<std::string> vk_messages = refuseAll(vk, vk_cases);
  const std::vector<std::string> cpu_messages = refuseAll(cpu, cpu_cases);
  ASSERT_EQ(vk_messages.size(), cpu_messages.size());
  for (std::size_t i = 0; i < vk_messages.size(); ++i)
    EXPECT_EQ(vk_messages[i], cpu_messages[i]) << "case " << i << ": " << vk_cases[i].expected;
  const std::vector<Outcome> vk_misuse = misuseOutcomes(vk, rv, foreign, data);
  const std::vector<Outcome> cpu_misuse = misuseOutcomes(cpu, rc, foreign, data);
  ASSERT_EQ(vk_misuse.size(), cpu_misuse.size());
  for (std::size_t i = 0; i < vk_misuse.size(); ++i)
    EXPECT_EQ(vk_misuse[i].result, cpu_misuse[i].result) << vk_misuse[i].what;

  EXPECT_TRUE(snapshot(vk, rv) == vk_before) << "a refused call changed the Vulkan device";
  EXPECT_TRUE(snapshot(cpu, rc) == cpu_before) << "a refused call changed the CPU device";

  // The next frame on each is the frame of a fresh device of its kind.
  KOVA_VULKAN_DEVICE_OR_SKIP(fresh_vk);
  CpuDevice fresh_cpu;
  const HostileResources fv = makeHostileResources(fresh_vk, data);
  const HostileResources fc = makeHostileResources(fresh_cpu, data);
  const std::array<ImageId, 1> fv_colors{fv.color}, fc_colors{fc.color};
  const ExecuteStats sv = renderGood(vk, rv, vk_colors);
  const ExecuteStats sc = renderGood(cpu, rc, cpu_colors);
  const ExecuteStats sfv = renderGood(fresh_vk, fv, fv_colors);
  renderGood(fresh_cpu, fc, fc_colors);
  EXPECT_EQ(sv.points_drawn, 16u);
  EXPECT_EQ(sv.points_drawn, sc.points_drawn);
  EXPECT_EQ(sv.triangles, sc.triangles);
  EXPECT_GT(sv.triangles_drawn, 0u);
  EXPECT_EQ(sv.triangles_drawn, sfv.triangles_drawn);
  EXPECT_TRUE(snapshot(vk, rv) == snapshot(fresh_vk, fv));
  EXPECT_TRUE(snapshot(cpu, rc) == snapshot(fresh_cpu, fc));
  EXPECT_VALIDATION_SILENT(vk);
  EXPECT_VALIDATION_SILENT(fresh_vk);
}

}  // namespace
