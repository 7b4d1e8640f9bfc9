// Deferred frames on the Vulkan device against the CPU device: at four
// samples per pixel and at one, over random light sets, tiled and untiled,
// the lit picture and its pixel kinds agree with the CPU device's deferred
// picture and with the Vulkan device's own forward one, and without lights
// the deferred picture is the forward one bit for bit; bad frames are
// refused with the CPU device's errors and change nothing, and a hostile
// G-buffer lights to the CPU device's colours; all with the validation
// layer silent.
#include <chrono>
#include <cstdio>
#include <limits>
#include <random>

#include "deferred_run.hpp"
#include "kova_cpu_device.hpp"
#include "vulkan_test_device.hpp"

namespace {

using namespace kova_device;
using namespace kova_test;
using kova_renderer::DeferredConfig;

constexpr std::uint32_t kW = 120, kH = 72;

double sameKinds(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  std::size_t same = 0;
  for (std::size_t i = 0; i < a.size(); ++i) same += a[i] == b[i];
  return static_cast<double>(same) / static_cast<double>(a.size());
}

// Both sample counts a device may have; the lighting kernel reads
// image2DMS or image2D storage images.
constexpr std::uint32_t kSampleCounts[] = {4, 1};

TEST(VulkanDeferredParity, PicturesMatchTheCpuDeviceTiledAndUntiled) {
  for (const std::uint32_t samples : kSampleCounts) {
    SCOPED_TRACE(testing::Message() << samples << " samples per pixel");
    KOVA_VULKAN_DEVICE_WITH_OR_SKIP(vk, (VulkanOptions{.validation = true, .samples = samples}));
    ASSERT_EQ(vk.samples(), samples);
    std::mt19937_64 rng(2206);
    for (int c = 0; c < 3; ++c) {
      const LitScene scene = randomLitScene(rng, 8 + 10 * c);
      LitFrame forward(vk, kW, kH);
      ASSERT_TRUE(forward.draw(scene));
      const LitPictures vk_forward = forward.read();
      LitScene unlit = scene;
      unlit.light_values.reset();
      ASSERT_TRUE(forward.draw(unlit));
      const LitPictures vk_unlit = forward.read();
      std::vector<std::uint8_t> tiled_picture;
      for (const bool tiled : {true, false}) {
        DeferredConfig config;
        config.tiled = tiled;
        config.tile_size = 8 + 8 * static_cast<std::uint32_t>(c % 2);
        CpuDevice cpu(samples);
        DeferredRun on_cpu(cpu, config, kW, kH);
        DeferredRun on_vk(vk, config, kW, kH);
        auto rc = on_cpu.run(on_cpu.scene(scene));
        auto rv = on_vk.run(on_vk.scene(scene));
        ASSERT_TRUE(rc && rv) << (rc ? rv.error() : rc.error());
        EXPECT_EQ(rv->passes, 4u);
        EXPECT_EQ(rc->triangles, rv->triangles);
        const std::vector<std::uint8_t> a = on_cpu.picture(), b = on_vk.picture();
        const double share = agreeing(a, b, 3), exact = agreeing(a, b, 0);
        // The devices flag a pixel's kind from different samples at the
        // triangles' edges (any sample on the CPU device, sample 0 here), so
        // the kinds are compared with this device's forward frame.
        const double kinds = sameKinds(on_cpu.kinds(), on_vk.kinds());
        EXPECT_EQ(on_vk.kinds(), vk_forward.kinds) << "scene " << c << " tiled " << tiled;
        const double forward_share = agreeing(b, vk_forward.rgb, 3);
        const double lit = 1.0 - agreeing(b, vk_unlit.rgb, 3);
        std::printf(
            "%u samples, scene %d tiled %d: %.3f %% within 3/255 of the CPU device (%.3f %% "
            "exact), kinds %.3f %% the same; %.3f %% within 3/255 of the Vulkan forward picture; "
            "lights change %.1f %%\n",
            samples, c, tiled ? 1 : 0, 100.0 * share, 100.0 * exact, 100.0 * kinds,
            100.0 * forward_share, 100.0 * lit);
        EXPECT_GE(share, 0.995) << "scene " << c << " tiled " << tiled;
        EXPECT_GE(forward_share, 0.995) << "scene " << c << " tiled " << tiled;
        // The lights are a real part of the picture, not a rounding.
        EXPECT_GE(lit, 0.1) << "scene " << c << " tiled " << tiled;
        // No tile's list overflows: tiled and untiled are the same picture.
        if (tiled) tiled_picture = b;
        else EXPECT_EQ(b, tiled_picture) << "scene " << c;
      }
    }
    EXPECT_VALIDATION_SILENT(vk);
  }
}

TEST(VulkanDeferredParity, WithoutLightsThePictureIsTheForwardOneBitForBit) {
  for (const std::uint32_t samples : kSampleCounts) {
    SCOPED_TRACE(testing::Message() << samples << " samples per pixel");
    KOVA_VULKAN_DEVICE_WITH_OR_SKIP(vk, (VulkanOptions{.validation = true, .samples = samples}));
    LitScene scene = scatteredCells();
    scene.light_values = std::vector<double>{};
    LitScene unlit = scene;
    unlit.light_values.reset();
    LitFrame forward(vk, kW, kH);
    ASSERT_TRUE(forward.draw(unlit));
    const LitPictures want = forward.read();
    // An rgba32_float albedo keeps the instance colours as the forward draw
    // has them.
    DeferredConfig config;
    config.gbuffer.albedo_format = Format::rgba32_float;
    for (const bool tiled : {true, false}) {
      config.tiled = tiled;
      DeferredRun deferred(vk, config, kW, kH);
      auto stats = deferred.run(deferred.scene(scene));
      ASSERT_TRUE(stats) << stats.error();
      EXPECT_EQ(deferred.picture(), want.rgb) << "tiled " << tiled;
    }
    EXPECT_VALIDATION_SILENT(vk);
  }
}

TEST(VulkanDeferredParity, BadFramesAreTheCpuDevicesErrorsAndChangeNothing) {
  KOVA_VULKAN_DEVICE_OR_SKIP(vk);
  constexpr std::uint32_t w = 40, h = 24;
  DeferredConfig config;
  config.max_lights = 20;
  CpuDevice cpu;
  DeferredRun on_cpu(cpu, config, w, h);
  DeferredRun on_vk(vk, config, w, h);
  std::mt19937_64 rng(7);
  const LitScene scene = randomLitScene(rng, 12);
  const LitScene crowded = randomLitScene(rng, 24);
  const DeferredScene good_cpu = on_cpu.scene(scene), good_vk = on_vk.scene(scene);
  ASSERT_TRUE(on_cpu.run(good_cpu));
  ASSERT_TRUE(on_vk.run(good_vk));
  const std::vector<std::uint8_t> before = on_vk.picture(), kinds = on_vk.kinds();
  using Edit = std::function<void(DeferredRecording&)>;
  const std::vector<std::pair<std::string, Edit>> edits = {
      {"G-buffer images swapped", [](DeferredRecording& r) { std::swap(r.reads[1], r.reads[2]); }},
      {"picture read as G-buffer", [](DeferredRecording& r) { r.writes[0] = r.reads[0]; }},
      {"G-buffer attachment of a wrong format",
       [](DeferredRecording& r) { std::swap(r.attachments[2], r.attachments[3]); }},
      {"a G-buffer without depth",
       [](DeferredRecording& r) {
         std::get<BeginPassCommand>(r.geometry[1]).depth_attachment.reset();
       }},
      {"too many lighting groups",
       [](DeferredRecording& r) { std::get<DispatchCommand>(r.lighting.back()).group_count_x = 6; }},
  };
  for (const auto& [name, edit] : edits) {
    auto a = on_cpu.run(good_cpu, edit);
    auto b = on_vk.run(good_vk, edit);
    ASSERT_FALSE(a || b) << name;
    EXPECT_EQ(a.error(), b.error()) << name;
    EXPECT_EQ(on_vk.picture(), before) << name;
    EXPECT_EQ(on_vk.kinds(), kinds) << name;
  }
  // The host claims 12 lights but wrote 24 into the buffer.
  auto a = on_cpu.run(on_cpu.scene(crowded, 12));
  auto b = on_vk.run(on_vk.scene(crowded, 12));
  ASSERT_FALSE(a || b);
  EXPECT_EQ(a.error(), b.error());
  EXPECT_NE(b.error().find("holds 24 lights, more than max_lights 20"), std::string::npos)
      << b.error();
  EXPECT_EQ(on_vk.picture(), before);
  // A G-buffer cleared to hostile contents (a surface everywhere, with a
  // NaN normal, a zero point and an infinite material lambert) lights
  // every sample, to the black the CPU device gives a colour that is not
  // finite.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const Edit hostile = [&](DeferredRecording& r) {
    const GBuffer& g = on_vk.targets().gbuffer;
    r.geometry[2] = ClearCommand{g.position, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f};
    r.geometry[3] = ClearCommand{g.normal, nan, 0.0f, 0.0f, 1.0f, 1.0f};
    r.geometry[4] = ClearCommand{g.albedo, 1.0f, 0.5f, 0.5f, 1.0f, 1.0f};
    r.geometry[5] = ClearCommand{g.material, inf, 0.0f, 0.0f, 1.0f, 1.0f};
  };
  const Edit hostile_cpu = [&](DeferredRecording& r) {
    const GBuffer& g = on_cpu.targets().gbuffer;
    r.geometry[2] = ClearCommand{g.position, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f};
    r.geometry[3] = ClearCommand{g.normal, nan, 0.0f, 0.0f, 1.0f, 1.0f};
    r.geometry[4] = ClearCommand{g.albedo, 1.0f, 0.5f, 0.5f, 1.0f, 1.0f};
    r.geometry[5] = ClearCommand{g.material, inf, 0.0f, 0.0f, 1.0f, 1.0f};
  };
  ASSERT_TRUE(on_cpu.run(good_cpu, hostile_cpu));
  ASSERT_TRUE(on_vk.run(good_vk, hostile));
  for (std::uint8_t k : on_vk.kinds()) ASSERT_EQ(k, static_cast<std::uint8_t>(PixelKind::triangle));
  EXPECT_GE(agreeing(on_cpu.picture(), on_vk.picture(), 3), 0.995);
  EXPECT_NE(on_vk.picture(), before);
  // And the good frame still runs, to the same picture.
  ASSERT_TRUE(on_vk.run(good_vk));
  EXPECT_EQ(on_vk.picture(), before);
  EXPECT_VALIDATION_SILENT(vk);
}

}  // namespace
