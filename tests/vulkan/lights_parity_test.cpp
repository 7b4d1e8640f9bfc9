// Lit meshes on the Vulkan device against the CPU device: the shaders'
// single-precision lightsAt against the C++ reference, on frames whose
// lights reach round the closed line, with the validation layer silent.
// Lights that reach nothing leave the Vulkan picture bit for bit, and a
// hostile light buffer is the same clear error on both devices. Forward+
// frames (a culling pass, then shading from the tile lists) match the CPU
// device's and every light's; lists of nonsense draw alike and safely.
#include <cmath>
#include <cstdio>
#include <numbers>
#include <limits>
#include <random>

#include "kova_cpu_device.hpp"
#include "lit_frame.hpp"
#include "picture_agreement.hpp"
#include "vulkan_test_device.hpp"

namespace {

using namespace kova_device;
using namespace kova_test;

constexpr std::uint32_t kW = 192, kH = 108;

// Lights scattered over elliptic space, one of them just behind the eye with
// a range that reaches round the line of sight.
std::vector<Light> randomLights(std::mt19937_64& rng, std::size_t n, double brightness = 1.0) {
  std::normal_distribution<double> g;
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<Light> out = {{HomVec4{0.0, 0.0, std::sin(0.1), std::cos(0.1)},
                             {1.0, 0.8, 0.6}, 0.6 * brightness, 3.0}};
  while (out.size() < n) {
    out.push_back({HomVec4{g(rng), g(rng), g(rng), g(rng)},
                   {u(rng), u(rng), u(rng)},
                   (0.2 + 0.6 * u(rng)) * brightness,
                   0.3 + 2.8 * u(rng)});
  }
  return out;
}

TEST(VulkanLights, LitFramesMatchTheCpuDevice) {
  KOVA_VULKAN_DEVICE_OR_SKIP(vk);
  std::mt19937_64 rng(2026);
  const kova_demo::Mesh cell = kova_demo::makeCellMesh(0.7);
  // A cell around the eye, off its centre: a cell centred on the eye meets
  // each line of sight ahead and behind at the same distance, and which of
  // the two differently lit points wins that tie is a rounding. Cells
  // ahead, to the side and across the focal plane; a square facing the eye
  // 0.9 ahead.
  std::vector<PGL4> scattered;
  std::vector<double> colours;
  for (int i = 0; i < 8; ++i) {
    scattered.push_back(planeRotation(2, 3, -0.25 * (i + 2)).mul(planeRotation(0, 3, 0.3 * (i - 4))));
    colours.insert(colours.end(), {0.4 + 0.05 * i, 0.6, 0.8 - 0.05 * i});
  }
  const LitScene scenes[] = {
      {cell, {planeRotation(2, 3, 0.06).mul(planeRotation(0, 3, 0.04))}, {0.9, 0.5, 0.3},
       lightValues(randomLights(rng, 6, 0.15)), false},
      {cell, scattered, colours, lightValues(randomLights(rng, 24, 0.5)), false},
      {facingSquare(0.9, 0.5), {PGL4::identity()}, {0.3, 0.3, 0.3},
       lightValues(randomLights(rng, 1)), false},
      // A thousand lights, each pixel shedding every one in one long loop,
      // the kind of loop that once cut lavapipe's tile lists short.
      {cell, scattered, colours, lightValues(randomLights(rng, 1024, 0.016)), false}};
  for (std::size_t i = 0; i < std::size(scenes); ++i) {
    CpuDevice cpu;
    LitFrame on_cpu(cpu, kW, kH);
    LitFrame on_vk(vk, kW, kH);
    LitScene unlit = scenes[i];
    unlit.light_values.reset();
    ASSERT_TRUE(on_cpu.draw(unlit));
    const LitPictures cpu_unlit = on_cpu.read();
    const auto rc = on_cpu.draw(scenes[i]);
    const auto rv = on_vk.draw(scenes[i]);
    ASSERT_TRUE(rc && rv) << (rc ? rv.error() : rc.error());
    const LitPictures a = on_cpu.read(), b = on_vk.read();
    const double share = agreeing(a.rgb, b.rgb, 3);
    std::size_t depth_off = 0, drawn = 0;
    for (std::size_t p = 0; p < a.depth.size(); ++p) {
      if (a.depth[p] >= 1.0f || b.depth[p] >= 1.0f) continue;
      ++drawn;
      depth_off += std::fabs(double{a.depth[p]} - double{b.depth[p]}) > 1e-6;
    }
    // The lights are a real part of the picture, not a rounding.
    const double lit_share = 1.0 - agreeing(a.rgb, cpu_unlit.rgb, 8);
    std::printf("scene %zu: %.3f %% of pixels agree; lights change %.1f %%\n", i, 100.0 * share,
                100.0 * lit_share);
    // Colours short of saturation, so that the comparison sees the light.
    std::size_t saturated = 0;
    for (std::size_t p = 0; p < a.rgb.size(); ++p) saturated += a.rgb[p] == 255;
    EXPECT_LE(saturated, a.rgb.size() / 50) << "scene " << i;
    EXPECT_GE(share, 0.999) << "scene " << i;
    EXPECT_LE(depth_off, drawn / 1000) << "scene " << i;
    EXPECT_GE(lit_share, 0.2) << "scene " << i;
    EXPECT_EQ(rc->triangles, rv->triangles);
  }
  EXPECT_VALIDATION_SILENT(vk);
}

TEST(VulkanLights, LightsThatReachNothingLeaveThePictureBitForBit) {
  KOVA_VULKAN_DEVICE_OR_SKIP(vk);
  LitFrame frame(vk, kW, kH);
  LitScene scene{kova_demo::makeCellMesh(0.7), {planeRotation(0, 1, 0.3)}, {0.9, 0.5, 0.3},
                 std::nullopt, false};
  ASSERT_TRUE(frame.draw(scene));
  const LitPictures unlit = frame.read();
  const std::vector<Light> short_reach = {
      {HomVec4{0.0, 0.0, 0.0, 1.0}, {1.0, 1.0, 1.0}, 5.0, 0.1}};
  for (const auto& values : {std::vector<double>{}, lightValues(short_reach)}) {
    scene.light_values = values;
    ASSERT_TRUE(frame.draw(scene));
    const LitPictures again = frame.read();
    EXPECT_EQ(again.rgb, unlit.rgb);
    EXPECT_EQ(again.depth, unlit.depth);
  }
  EXPECT_VALIDATION_SILENT(vk);
}

TEST(VulkanLights, ForwardPlusFramesMatchTheCpuDeviceAndEveryLight) {
  KOVA_VULKAN_DEVICE_OR_SKIP(vk);
  LitScene scene = scatteredCells();
  CpuDevice cpu;
  LitFrame on_cpu(cpu, kW, kH);
  LitFrame on_vk(vk, kW, kH);
  ASSERT_TRUE(on_vk.draw(scene));
  const LitPictures every = on_vk.read();
  for (const std::uint32_t cap : {256u, 2u}) {
    scene.tiles = TileGrid{kW, kH, 16, cap};
    const auto rc = on_cpu.draw(scene);
    const auto rv = on_vk.draw(scene);
    ASSERT_TRUE(rc && rv) << (rc ? rv.error() : rc.error());
    const LitPictures a = on_cpu.read(), b = on_vk.read();
    const double share = agreeing(a.rgb, b.rgb, 3);
    std::printf("forward+, %u per tile: %.3f %% of pixels agree\n", cap, 100.0 * share);
    EXPECT_GE(share, 0.999) << cap;
    // With room for every light the tiles shed what every light sheds.
    if (cap == 256) {
      EXPECT_GE(agreeing(b.rgb, every.rgb, 0), 0.9999);
    } else {
      EXPECT_LT(agreeing(b.rgb, every.rgb, 0), 0.95);
    }
  }
  // Lists of nonsense: the count capped, entries naming no light skipped.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> lists((kW / 16) * ((kH + 15) / 16) * 5, 0.0);
  const double junk[] = {99.0, 3.0, -1.0, 1e300, 2.5, -0.0, 7.0, nan, 1.0, 2.0, 23.0, 24.0, 2097152.0,
                         4.0, 5.0, 5.0, 5.0, 0.5, 1.0, 1.0};
  for (std::size_t i = 0; i < lists.size(); ++i) lists[i] = junk[i % std::size(junk)];
  scene.tiles = TileGrid{kW, kH, 16, 4};
  scene.list_values = lists;
  const auto rc = on_cpu.draw(scene);
  const auto rv = on_vk.draw(scene);
  ASSERT_TRUE(rc && rv) << (rc ? rv.error() : rc.error());
  EXPECT_GE(agreeing(on_cpu.read().rgb, on_vk.read().rgb, 3), 0.999);
  // And the bindings are checked alike.
  scene.grid_values = std::vector<double>{kW, kH + 1, 16, 4};
  const auto ec = on_cpu.draw(scene);
  const auto ev = on_vk.draw(scene);
  ASSERT_FALSE(ec || ev);
  EXPECT_EQ(ec.error(), ev.error());
  EXPECT_NE(ev.error().find("not the colour attachment's size"), std::string::npos) << ev.error();
  EXPECT_VALIDATION_SILENT(vk);
}

TEST(VulkanLights, HostileLightBuffersAreTheSameErrorOnBothDevices) {
  KOVA_VULKAN_DEVICE_OR_SKIP(vk);
  CpuDevice cpu;
  LitFrame on_cpu(cpu, 48, 27);
  LitFrame on_vk(vk, 48, 27);
  LitScene scene{kova_demo::makeCellMesh(0.7), {PGL4::identity()}, {0.9, 0.5, 0.3}, std::nullopt,
                 false};
  ASSERT_TRUE(on_vk.draw(scene));
  const LitPictures before = on_vk.read();
  for (const HostileLights& h : hostileLights()) {
    scene.light_values = h.values;
    scene.compute_into_lights = h.compute_into_lights;
    const auto rc = on_cpu.draw(scene);
    const auto rv = on_vk.draw(scene);
    ASSERT_FALSE(rc || rv) << h.name;
    EXPECT_EQ(rc.error(), rv.error()) << h.name;
    EXPECT_NE(rv.error().find(h.error), std::string::npos) << h.name << ": " << rv.error();
    const LitPictures after = on_vk.read();
    EXPECT_EQ(after.rgb, before.rgb) << h.name;
    EXPECT_EQ(after.depth, before.depth) << h.name;
  }
  EXPECT_VALIDATION_SILENT(vk);
}

}  // namespace
