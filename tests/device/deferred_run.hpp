// A deferred frame as a host records it on either device, and the random
// lit scenes it is tested with: shared by the CPU device's deferred tests and
// the Vulkan parity tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory_resource>
#include <optional>
#include <random>

#include "kova_deferred.hpp"
#include "lit_frame.hpp"
#include "picture_agreement.hpp"

namespace kova_test {

// A deferred frame of a LitScene on either device, lit like LitFrame's.
template <class Device>
class DeferredRun {
 public:
  DeferredRun(Device& dev, const kova_renderer::DeferredConfig& config, std::uint32_t w, std::uint32_t h)
      : dev_(dev), w_(w), h_(h) {
    pipeline_ = kova_renderer::DeferredPipeline::init(kova_renderer::KovaCamera::defaultCamera(), config);
    auto targets = createDeferredTargets(dev, pipeline_, w, h);
    EXPECT_TRUE(targets) << targets.error();
    targets_ = *targets;
    auto picture = dev.createImage(ImageDescriptor::initKovaRenderTarget(w, h));
    auto mesh = dev.createPipeline({.type = PipelineType::kova_projective,
                                    .topology = PrimitiveTopology::triangle_list,
                                    .depth = {.depth_test = true,
                                              .depth_write = true,
                                              .depth_compare = CompareOp::less_equal,
                                              .fs_depth = true}});
    EXPECT_TRUE(picture && mesh);
    picture_ = *picture;
    mesh_ = *mesh;
  }

  // Makes the scene's buffers and the deferred frame that draws it;
  // `light_count` is what the host claims the light buffer holds.
  DeferredScene scene(const LitScene& s, std::optional<std::uint32_t> light_count = {}) {
    const auto nv = static_cast<std::uint32_t>(s.mesh.vertices.size());
    const auto ni = static_cast<std::uint32_t>(s.mesh.indices.size());
    const auto nt = static_cast<std::uint32_t>(s.instances.size());
    const std::vector<double> lights = s.light_values.value_or(std::vector<double>{});
    auto vb = dev_.createBuffer(BufferDescriptor::initKovaPositions(nv));
    auto tb = dev_.createBuffer(BufferDescriptor::initKovaTransforms(nt));
    auto cb = dev_.createBuffer(BufferDescriptor::initKovaTransforms(2));
    auto ib = dev_.createBuffer(
        {.size = std::uint64_t{ni} * 4, .stride = 4, .type = BufferType::index, .format = Format::r32_uint});
    auto rgb = dev_.createBuffer({.size = std::uint64_t{nt} * 24, .stride = 8, .type = BufferType::storage});
    auto lb = dev_.createBuffer(
        {.size = std::max<std::uint64_t>(lights.size(), 1) * 8, .stride = 8, .type = BufferType::storage});
    EXPECT_TRUE(vb && tb && cb && ib && rgb && lb);
    EXPECT_TRUE(dev_.writeIndices(*ib, s.mesh.indices));
    EXPECT_TRUE(dev_.writeValues(*rgb, s.colors));
    EXPECT_TRUE(dev_.writeValues(*lb, lights));
    // Positions and instances go up in a pass of their own before the frame.
    uploads_ = {KovaUploadPositionsCommand{*vb, s.mesh.vertices},
                KovaUploadPgl4Command{*tb, s.instances}};
    DeferredScene out;
    out.picture = picture_;
    out.background = {0.1f, 0.1f, 0.2f, 1.0f};
    out.mesh = mesh_;
    out.camera = *cb;
    out.camera_block = packCameraBlock(litCamera(w_, h_));
    out.vertices = *vb;
    out.indices = *ib;
    out.instances = *tb;
    out.colors = *rgb;
    out.lights = *lb;
    out.index_count = ni;
    out.instance_count = nt;
    out.light_count = light_count.value_or(static_cast<std::uint32_t>(lights.size() / kLightValues));
    return out;
  }

  // Records and runs the frame; `edit` may spoil the recording first.
  std::expected<ExecuteStats, std::string> run(
      const DeferredScene& scene, const std::function<void(DeferredRecording&)>& edit = {}) {
    std::pmr::monotonic_buffer_resource arena;
    FrameGraph graph = FrameGraph::init(arena);
    EXPECT_TRUE(graph.addPass({"uploads", {}, {}, uploads_, PassType::kova_fs_compute}));
    if (auto ok = recordDeferredFrame(pipeline_, targets_, scene, recording_, graph); !ok)
      return std::unexpected(ok.error());
    EXPECT_EQ(graph.passCount(), 1 + pipeline_.passCount());
    if (edit) edit(recording_);
    return dev_.execute(graph);
  }

  [[nodiscard]] std::vector<std::uint8_t> picture() const { return *dev_.readRgb8(picture_); }
  [[nodiscard]] std::vector<std::uint8_t> kinds() const { return *dev_.readKinds(picture_); }
  const DeferredTargets& targets() const { return targets_; }
  kova_renderer::DeferredPipeline& pipeline() { return pipeline_; }

 private:
  Device& dev_;
  std::uint32_t w_, h_;
  kova_renderer::DeferredPipeline pipeline_{};
  DeferredTargets targets_{};
  ImageId picture_{};
  PipelineId mesh_{};
  std::vector<GpuCommand> uploads_;
  DeferredRecording recording_;
};

inline LitScene randomLitScene(std::mt19937_64& rng, std::size_t lights) {
  LitScene s = scatteredCells();
  std::normal_distribution<double> g;
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<Light> ls;
  for (std::size_t i = 0; i < lights; ++i)
    ls.push_back({HomVec4{g(rng), g(rng), g(rng), g(rng)}, {u(rng), u(rng), u(rng)},
                  0.1 + 0.5 * u(rng), 0.1 + 1.5 * u(rng)});
  if (lights > 0) ls[0] = {HomVec4{0.0, 0.0, std::sin(0.1), std::cos(0.1)}, {1.0, 0.8, 0.6}, 0.3, 3.0};
  s.light_values = lightValues(ls);
  return s;
}

}  // namespace kova_test
