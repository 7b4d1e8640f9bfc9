// Pipeline configurations, records and pass counts.
#include <gtest/gtest.h>

#include "kova_renderer.hpp"

namespace {

using kova_renderer::DeferredConfig;
using kova_renderer::DeferredPipeline;
using kova_renderer::ForwardPlusConfig;
using kova_renderer::ForwardPlusPipeline;
using kova_renderer::GBufferLayout;
using kova_renderer::KovaCamera;
using kova_renderer::KovaFrustum;
using kova_renderer::PipelineMode;
using kova_rhi::Format;

static_assert(kova_renderer::passCountHint(PipelineMode::forward_plus) == 4);
static_assert(kova_renderer::passCountHint(PipelineMode::deferred) == 3);
static_assert(kova_renderer::passCountHint(PipelineMode::hybrid) == 5);
static_assert(sizeof(PipelineMode) == 1);
static_assert(static_cast<int>(PipelineMode::hybrid) == 2);

TEST(Pipelines, ConfigurationDefaults) {
  const ForwardPlusConfig fp;
  EXPECT_EQ(fp.tile_size, 16u);
  EXPECT_EQ(fp.max_lights_per_tile, 256u);
  EXPECT_EQ(fp.msaa_samples, 1u);
  EXPECT_TRUE(fp.z_prepass && fp.fs_depth && fp.chart_switching);
  const DeferredConfig dc;
  EXPECT_EQ(dc.tile_size, 16u);
  EXPECT_EQ(dc.max_lights, 1024u);
  EXPECT_TRUE(dc.fs_depth && dc.kova_normals && dc.tiled && dc.chart_switching);
  EXPECT_EQ(dc.gbuffer, GBufferLayout{});
  EXPECT_EQ(dc.gbuffer.position_format, Format::rgba32_float);
  EXPECT_EQ(dc.gbuffer.albedo_format, Format::rgba8_unorm);
  EXPECT_EQ(dc.gbuffer.depth_format, Format::depth32_float);
}

TEST(Pipelines, ForwardPlusPassCountDependsOnlyOnZPrepass) {
  const KovaCamera cam = KovaCamera::defaultCamera();
  EXPECT_EQ(ForwardPlusPipeline::init(cam, {}).passCount(), 4u);
  ForwardPlusConfig cfg;
  cfg.z_prepass = false;
  EXPECT_EQ(ForwardPlusPipeline::init(cam, cfg).passCount(), 3u);
  cfg = ForwardPlusConfig{.tile_size = 8,
                          .max_lights_per_tile = 1,
                          .msaa_samples = 4,
                          .z_prepass = true,
                          .fs_depth = false,
                          .chart_switching = false};
  EXPECT_EQ(ForwardPlusPipeline::init(cam, cfg).passCount(), 4u);
}

TEST(Pipelines, DeferredPassCountIsAlwaysThree) {
  const KovaCamera cam = KovaCamera::defaultCamera();
  EXPECT_EQ(DeferredPipeline::init(cam, {}).passCount(), 3u);
  DeferredConfig cfg;
  cfg.tiled = false;
  cfg.fs_depth = false;
  cfg.max_lights = 0;
  cfg.gbuffer.depth_format = Format::undefined;
  EXPECT_EQ(DeferredPipeline::init(cam, cfg).passCount(), 3u);
}

TEST(Pipelines, InitCopiesTheCameraAndBuildsItsFrustumOnce) {
  KovaCamera cam =
      KovaCamera::init(kova_kernel::HomVec4::init(0.3, -1.7, 2.2, 0.9),
                       kova_kernel::HomVec4::init(0.4, 0.1, -1.3, 0.7),
                       kova_kernel::HomVec4::init(-0.2, 1.1, 0.3, -0.6), 1.1, 1.6, 0.02, 1.4);
  cam.moveForward(0.2);  // dirty, view matrix stale: init must not refresh it
  ForwardPlusConfig fcfg;
  fcfg.tile_size = 32;
  const ForwardPlusPipeline fp = ForwardPlusPipeline::init(cam, fcfg);
  EXPECT_EQ(fp.frame_index, 0u);
  EXPECT_EQ(fp.camera, cam);
  EXPECT_TRUE(fp.camera.dirty);
  EXPECT_EQ(fp.frustum, KovaFrustum::fromCamera(cam));
  EXPECT_EQ(fp.config, fcfg);

  DeferredConfig dcfg;
  dcfg.max_lights = 7;
  const DeferredPipeline dp = DeferredPipeline::init(cam, dcfg);
  EXPECT_EQ(dp.frame_index, 0u);
  EXPECT_EQ(dp.camera, cam);
  EXPECT_EQ(dp.frustum, KovaFrustum::fromCamera(cam));
  EXPECT_EQ(dp.config, dcfg);
}

TEST(Pipelines, GBufferBytesPerPixel) {
  EXPECT_EQ(GBufferLayout{}.bytesPerPixel(), 56u);
  const GBufferLayout none{Format::undefined, Format::undefined, Format::undefined,
                           Format::undefined, Format::undefined};
  EXPECT_EQ(none.bytesPerPixel(), 0u);
  const GBufferLayout largest{Format::pgl4_f64, Format::pgl4_f64, Format::pgl4_f64,
                              Format::pgl4_f64, Format::pgl4_f64};
  EXPECT_EQ(largest.bytesPerPixel(), 640u);
  const GBufferLayout mixed{Format::homvec4_f64, Format::r8_unorm, Format::rgba16_float,
                            Format::rgb32_float, Format::depth24_unorm_stencil8_uint};
  EXPECT_EQ(mixed.bytesPerPixel(), 32u + 1u + 8u + 12u + 4u);
}

TEST(Pipelines, ModeHints) {
  EXPECT_EQ(kova_renderer::passCountHint(PipelineMode::forward_plus),
            ForwardPlusPipeline::init(KovaCamera::defaultCamera(), {}).passCount());
}

}  // namespace
