// Deferred shading on the CPU device, run as a DeferredPipeline configures
// it: the G-buffer's pixels take the layout's bytes; over random light sets
// the lit picture agrees with forward shading, tiled or not, in three
// passes; without lights it is the unlit forward picture bit for bit; and
// bad layouts, too many lights, missing buffers and malformed passes are
// refused with a clear error that changes nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <limits>
#include <tuple>
#include <memory_resource>
#include <random>

#include "kova_cpu_device.hpp"
#include "kova_deferred.hpp"
#include "deferred_run.hpp"

namespace {

using namespace kova_device;
using namespace kova_test;
using kova_renderer::DeferredConfig;
using kova_renderer::DeferredPipeline;

TEST(Deferred, GBufferImagesTakeTheLayoutsBytesPerPixel) {
  constexpr std::uint32_t kW = 24, kH = 10;
  DeferredConfig wide;
  wide.gbuffer.albedo_format = Format::rgba32_float;
  for (const DeferredConfig& config : {DeferredConfig{}, wide}) {
    CpuDevice cpu;
    const DeferredPipeline pipe = DeferredPipeline::init(kova_renderer::KovaCamera::defaultCamera(), config);
    auto t = createDeferredTargets(cpu, pipe, kW, kH);
    ASSERT_TRUE(t) << t.error();
    std::size_t bytes = 0;
    const GBuffer& g = t->gbuffer;
    for (ImageId image : {g.position, g.normal, g.albedo, g.material, g.depth}) {
      auto texels = cpu.readTexelBytes(image);
      ASSERT_TRUE(texels) << texels.error();
      bytes += texels->size();
    }
    EXPECT_EQ(bytes, std::size_t{kW} * kH * config.gbuffer.bytesPerPixel());
    EXPECT_EQ(config.gbuffer.bytesPerPixel(), config == DeferredConfig{} ? 56u : 68u);
  }
  // Layouts the devices cannot keep are refused, naming the field.
  const std::array<std::pair<kova_renderer::GBufferLayout, std::string>, 3> bad = {{
      {{.position_format = Format::rgba16_float}, "position_format is format 7"},
      {{.albedo_format = Format::rgba8_srgb}, "albedo_format"},
      {{.depth_format = Format::depth24_unorm_stencil8_uint}, "depth_format"},
  }};
  for (const auto& [layout, words] : bad) {
    DeferredConfig config;
    config.gbuffer = layout;
    CpuDevice cpu;
    auto t = createDeferredTargets(
        cpu, DeferredPipeline::init(kova_renderer::KovaCamera::defaultCamera(), config), kW, kH);
    ASSERT_FALSE(t);
    EXPECT_NE(t.error().find(words), std::string::npos) << t.error();
  }
}

TEST(Deferred, PictureAgreesWithForwardShadingOverRandomLightSets) {
  constexpr std::uint32_t kW = 120, kH = 72;
  std::mt19937_64 rng(2206);
  for (int c = 0; c < 4; ++c) {
    const LitScene scene = randomLitScene(rng, 8 + 10 * c);
    CpuDevice cpu;
    LitFrame forward(cpu, kW, kH);
    ASSERT_TRUE(forward.draw(scene));
    const LitPictures want = forward.read();
    std::vector<std::uint8_t> tiled_picture;
    for (const bool tiled : {true, false}) {
      DeferredConfig config;
      config.tiled = tiled;
      config.tile_size = 8 + 8 * static_cast<std::uint32_t>(c % 2);
      DeferredRun deferred(cpu, config, kW, kH);
      auto stats = deferred.run(deferred.scene(scene));
      ASSERT_TRUE(stats) << stats.error();
      EXPECT_EQ(stats->passes, 4u);  // the uploads, then the deferred frame's three
      const std::vector<std::uint8_t> got = deferred.picture();
      EXPECT_GE(agreeing(got, want.rgb, 3), 0.995) << "case " << c << " tiled " << tiled;
      // Tiles hold every light that reaches them (no list overflows at
      // max_lights per tile): tiled and untiled lighting are the same picture.
      if (tiled) tiled_picture = got;
      else EXPECT_EQ(got, tiled_picture) << "case " << c;
      // Lit at all: the lights change the picture from the unlit one.
      LitScene unlit = scene;
      unlit.light_values.reset();
      ASSERT_TRUE(forward.draw(unlit));
      EXPECT_LT(agreeing(got, forward.read().rgb, 3), 0.9) << "case " << c;
      ASSERT_TRUE(forward.draw(scene));
    }
  }
}

TEST(Deferred, WithoutLightsThePictureIsTheUnlitForwardOneBitForBit) {
  constexpr std::uint32_t kW = 96, kH = 54;
  LitScene scene = scatteredCells();
  scene.light_values = std::vector<double>{};
  // Instance colours an rgba8 albedo keeps exactly, and any colours for an
  // rgba32_float one.
  LitScene bytes_exact = scene;
  for (double& v : bytes_exact.colors) v = std::round(v * 255.0) / 255.0;
  DeferredConfig wide;
  wide.gbuffer.albedo_format = Format::rgba32_float;
  for (const auto& [s, config] : {std::pair{bytes_exact, DeferredConfig{}}, std::pair{scene, wide}}) {
    for (const bool tiled : {true, false}) {
      CpuDevice cpu;
      LitFrame forward(cpu, kW, kH);
      LitScene unlit = s;
      unlit.light_values.reset();
      ASSERT_TRUE(forward.draw(unlit));
      DeferredConfig c = config;
      c.tiled = tiled;
      DeferredRun deferred(cpu, c, kW, kH);
      auto stats = deferred.run(deferred.scene(s));
      ASSERT_TRUE(stats) << stats.error();
      EXPECT_EQ(deferred.picture(), forward.read().rgb);
    }
  }
}

TEST(Deferred, BadInputIsRefusedAndChangesNothing) {
  constexpr std::uint32_t kW = 40, kH = 24;
  CpuDevice cpu;
  DeferredConfig config;
  config.max_lights = 20;
  DeferredRun deferred(cpu, config, kW, kH);
  std::mt19937_64 rng(7);
  const LitScene scene = randomLitScene(rng, 12);
  const DeferredScene good = deferred.scene(scene);
  ASSERT_TRUE(deferred.run(good));
  const std::vector<std::uint8_t> before = deferred.picture();
  const std::vector<std::uint8_t> kinds = deferred.kinds();

  // Refused while recording: nothing is added to the graph.
  struct Case {
    std::string name;
    std::function<void(DeferredScene&, DeferredTargets&, DeferredConfig&)> spoil;
    std::string error;
  };
  const std::vector<Case> recording = {
      {"more lights than max_lights", [](DeferredScene& s, DeferredTargets&, DeferredConfig&) { s.light_count = 21; },
       "21 lights, more than max_lights 20"},
      {"no light buffer", [](DeferredScene& s, DeferredTargets&, DeferredConfig&) { s.lights = {}; },
       "the scene has no light buffer"},
      {"no instances", [](DeferredScene& s, DeferredTargets&, DeferredConfig&) { s.instances = {}; },
       "lacks its vertex, index or instance buffer"},
      {"G-buffer of another layout",
       [](DeferredScene&, DeferredTargets&, DeferredConfig& c) { c.gbuffer.albedo_format = Format::rgba32_float; },
       "another layout"},
      {"fs_depth off", [](DeferredScene&, DeferredTargets&, DeferredConfig& c) { c.fs_depth = false; },
       "fs_depth off"},
      {"kova_normals off", [](DeferredScene&, DeferredTargets&, DeferredConfig& c) { c.kova_normals = false; },
       "kova_normals off"},
      {"no lighting pipeline", [](DeferredScene&, DeferredTargets& t, DeferredConfig&) { t.lighting = {}; },
       "lack a G-buffer image, pipeline or buffer"},
  };
  for (const Case& c : recording) {
    DeferredScene s = good;
    DeferredTargets t = deferred.targets();
    DeferredConfig cfg = config;
    c.spoil(s, t, cfg);
    const DeferredPipeline pipe = DeferredPipeline::init(kova_renderer::KovaCamera::defaultCamera(), cfg);
    std::pmr::monotonic_buffer_resource arena;
    FrameGraph graph = FrameGraph::init(arena);
    DeferredRecording storage;
    auto ok = recordDeferredFrame(pipe, t, s, storage, graph);
    ASSERT_FALSE(ok) << c.name;
    EXPECT_NE(ok.error().find(c.error), std::string::npos) << c.name << ": " << ok.error();
    EXPECT_EQ(graph.passCount(), 0u) << c.name;
  }

  // Refused by the device: the picture and the G-buffer stay as they were.
  const auto gbufferBytes = [&] {
    std::vector<std::uint8_t> all;
    const GBuffer& g = deferred.targets().gbuffer;
    for (ImageId i : {g.position, g.normal, g.albedo, g.material, g.depth}) {
      auto b = *cpu.readTexelBytes(i);
      all.insert(all.end(), b.begin(), b.end());
    }
    return all;
  };
  const std::vector<std::uint8_t> gbuffer = gbufferBytes();
  using Edit = std::function<void(DeferredRecording&)>;
  const GBuffer& g = deferred.targets().gbuffer;
  // The scenes refer to their lit scene's arrays, so it outlives them.
  const LitScene over_max = randomLitScene(rng, 24);
  const std::vector<std::tuple<std::string, DeferredScene, Edit, std::string>> device = {
      // The host claims 12 lights but wrote 24 into the buffer.
      {"light buffer over max_lights", deferred.scene(over_max, 12), {},
       "holds 24 lights, more than max_lights 20"},
      {"G-buffer images swapped", good,
       [&](DeferredRecording& r) { std::swap(r.reads[1], r.reads[2]); },
       "G-buffer normal_format is format 3, not rgba32_float"},
      {"picture read as G-buffer", good, [&](DeferredRecording& r) { r.writes[0] = r.reads[0]; },
       "the picture is also read as a G-buffer image"},
      {"no lighting parameters", good,
       [&](DeferredRecording& r) { std::get<BindUniformCommand>(r.lighting[2]).buffer = BufferId{}; },
       "invalid uniform binding"},
      {"lights bound in the geometry pass", good,
       [&](DeferredRecording& r) {
         // In place of the colours' binding: the recorded spans stay valid.
         r.geometry[9] = BindUniformCommand{good.lights, 0, 8, 2};
       },
       "a G-buffer draw sheds no lights"},
      {"G-buffer attachment of a wrong format", good,
       [&](DeferredRecording& r) { r.attachments[3] = g.albedo; r.attachments[2] = g.material; },
       "G-buffer material_format is format 3, not rgba32_float"},
      {"a G-buffer without depth", good,
       [&](DeferredRecording& r) { std::get<BeginPassCommand>(r.geometry[1]).depth_attachment.reset(); },
       "a G-buffer pass needs a depth attachment"},
      {"too many lighting groups", good,
       [&](DeferredRecording& r) { std::get<DispatchCommand>(r.lighting.back()).group_count_x = 6; },
       "more groups than the 5 x 3 x 1 blocks"},
  };
  for (const auto& [name, s, edit, error] : device) {
    auto stats = deferred.run(s, edit);
    ASSERT_FALSE(stats) << name;
    EXPECT_NE(stats.error().find(error), std::string::npos) << name << ": " << stats.error();
    EXPECT_EQ(deferred.picture(), before) << name;
    EXPECT_EQ(deferred.kinds(), kinds) << name;
    EXPECT_EQ(gbufferBytes(), gbuffer) << name;
  }
  // A G-buffer cleared to hostile contents (a surface everywhere, with a
  // NaN normal, an infinite albedo and a zero point) lights to finite
  // colours: black where the colour is not finite.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  auto hostile = deferred.run(good, [&](DeferredRecording& r) {
    r.geometry[2] = ClearCommand{g.position, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f};
    r.geometry[3] = ClearCommand{g.normal, nan, 0.0f, 0.0f, 1.0f, 1.0f};
    r.geometry[4] = ClearCommand{g.albedo, inf, 0.5f, 0.5f, 1.0f, 1.0f};
    r.geometry[5] = ClearCommand{g.material, 0.5f, 0.0f, 0.0f, 1.0f, 1.0f};
  });
  ASSERT_TRUE(hostile) << hostile.error();
  for (std::uint8_t k : deferred.kinds()) ASSERT_EQ(k, static_cast<std::uint8_t>(PixelKind::triangle));
  EXPECT_NE(deferred.picture(), before);

  // And the good frame still runs.
  ASSERT_TRUE(deferred.run(good));
  EXPECT_EQ(deferred.picture(), before);
}

}  // namespace
