// Malformed graphs and resources on the Vulkan device: each is a clear error
// naming the fault, nothing reaches the driver (the validation layer stays
// silent), and the device's state is as before.
#include <memory_resource>

#include "kova_device_layouts.hpp"
#include "vulkan_test_device.hpp"

namespace {

using namespace kova_device;
using namespace kova_rhi;
using namespace kova_device;
using kova_kernel::HomVec4;

struct Resources {
  ImageId color, depth;
  PipelineId points;
  BufferId positions, observer, distances, camera;
};

Resources make(VulkanDevice& vk) {
  const auto must = [](auto made) {
    if (!made) throw std::runtime_error(made.error());
    return *made;
  };
  Resources r;
  r.color = must(vk.createImage(ImageDescriptor::initKovaRenderTarget(64, 48)));
  r.depth = must(vk.createImage(
      ImageDescriptor::init2D(Format::depth32_float, 64, 48,
                              ImageUsage::init({ImageUsageFlag::depth_stencil_attachment}))));
  r.points = must(
      vk.createPipeline(GraphicsPipelineDescriptor{.type = PipelineType::kova_projective,
                                                   .topology = PrimitiveTopology::point_list,
                                                   .depth = {.depth_test = true,
                                                             .depth_write = true,
                                                             .depth_compare = CompareOp::less_equal,
                                                             .fs_depth = true}}));
  r.positions = must(vk.createBuffer(BufferDescriptor::initKovaPositions(16)));
  r.observer = must(vk.createBuffer(BufferDescriptor::initKovaPositions(1)));
  r.distances = must(vk.createBuffer(BufferDescriptor{.size = 16 * 8,
                                                      .stride = 8,
                                                      .type = BufferType::storage,
                                                      .format = Format::undefined,
                                                      .heap = HeapType::device_local,
                                                      .dynamic = true}));
  r.camera = must(vk.createBuffer(BufferDescriptor::initKovaTransforms(2)));
  return r;
}

std::expected<ExecuteStats, std::string> run(VulkanDevice& vk,
                                             std::span<const GpuCommand> commands) {
  std::pmr::monotonic_buffer_resource arena;
  FrameGraph graph = FrameGraph::init(arena);
  if (!graph.addPass(FramePass{"bad", {}, {}, commands, PassType::geometry}))
    return std::unexpected(std::string("out of memory"));
  return vk.execute(graph);
}

TEST(VulkanBadInput, ClearErrorsAndNothingChanges) {
  KOVA_VULKAN_DEVICE_OR_SKIP(vk);
  const Resources r = make(vk);
  KOVA_VULKAN_DEVICE_OR_SKIP(other);
  const Resources foreign = make(other);  // handles of another device are stale here

  std::vector<HomVec4> points(16, HomVec4{0.1, 0.2, -0.9, 1.0});
  const std::vector<HomVec4> too_many(17, HomVec4{0.0, 0.0, -1.0, 1.0});
  const HomVec4 eye[1] = {HomVec4{0.0, 0.0, 0.0, 1.0}};
  const std::array<ImageId, 1> colors{r.color};
  const BeginPassCommand begin{colors, r.depth};
  const auto block = packCameraBlock(CameraBlock{});
  const DrawCommand draw{.pipeline = r.points,
                         .vertex_buffer = r.distances,
                         .kova_transform_buffer = r.camera,
                         .kova_position_buffer = r.positions,
                         .index_count = 16};
  // A good graph first: 16 positions, their distances and the camera block.
  const GpuCommand setup[] = {
      KovaUploadPositionsCommand{r.positions, points}, KovaUploadPositionsCommand{r.observer, eye},
      KovaComputeFsDistanceCommand{r.observer, r.positions, r.distances, 16},
      KovaUploadPgl4Command{r.camera, block}};
  ASSERT_TRUE(run(vk, setup));

  DrawCommand past_end = draw;
  past_end.index_count = 17;
  DrawCommand unknown = draw;
  unknown.kova_position_buffer = BufferId{99, 0};
  struct Case {
    const char* expected;
    std::vector<GpuCommand> commands;
  };
  const Case cases[] = {
      {"unknown buffer", {begin, r.points, DrawCommand{unknown}, EndPassCommand{}}},
      {"target is not a position buffer", {KovaUploadPositionsCommand{foreign.positions, points}}},
      {"clear needs a colour image", {ClearCommand{foreign.color}}},
      {"unknown pipeline", {begin, PipelineId{PipelineType::kova_projective, 7}, EndPassCommand{}}},
      {"more positions than the buffer holds", {KovaUploadPositionsCommand{r.positions, too_many}}},
      {"fewer than count points",
       {KovaComputeFsDistanceCommand{r.observer, r.positions, r.distances, 17}}},
      {"results buffer too small",
       {KovaComputeFsDistanceCommand{r.observer, r.observer, r.distances, 17}}},
      {"reads past the uploaded positions", {begin, r.points, past_end, EndPassCommand{}}},
      {"draws need a pass", {r.points, draw}},
      {"ends inside begin_pass", {begin, r.points, draw}},
      {"end_pass outside a pass", {EndPassCommand{}}},
      {"begin_pass inside a pass", {begin, begin}},
      {"clear depth outside [0, 1]",
       {begin, ClearCommand{r.color, 0, 0, 0, 1, 2.0f}, EndPassCommand{}}},
      {"no general compute shaders", {DispatchCommand{}}},
      // The upload before the fault must not count either.
      {"more positions",
       {KovaUploadPositionsCommand{r.positions, eye},
        KovaUploadPositionsCommand{r.positions, too_many}}},
  };
  for (const Case& c : cases) {
    auto ran = run(vk, c.commands);
    ASSERT_FALSE(ran) << "accepted a graph that should fail with: " << c.expected;
    EXPECT_NE(ran.error().find(c.expected), std::string::npos)
        << "expected '" << c.expected << "' in: " << ran.error();
    EXPECT_NE(ran.error().find("pass 'bad'"), std::string::npos) << ran.error();
  }

  // Still 16 positions and distances: the good draw runs, and draws all 16.
  const GpuCommand good[] = {begin, ClearCommand{r.color}, r.points, draw, EndPassCommand{}};
  auto ran = run(vk, good);
  ASSERT_TRUE(ran) << ran.error();
  EXPECT_EQ(ran->points_drawn, 16u);

  // Resources the device cannot hold are refused when they are made.
  EXPECT_FALSE(vk.createBuffer(BufferDescriptor::initKovaPositions(0xFFFFFFFFu)));
  EXPECT_FALSE(
      vk.createBuffer(BufferDescriptor{.size = 64, .stride = 7, .type = BufferType::storage}));
  EXPECT_FALSE(vk.createImage(ImageDescriptor::initKovaRenderTarget(0, 10)));
  EXPECT_FALSE(vk.createImage(ImageDescriptor::initKovaRenderTarget(20000, 10)));
  EXPECT_FALSE(vk.readRgb8(r.depth));
  EXPECT_FALSE(vk.readDepth(foreign.depth));
  EXPECT_VALIDATION_SILENT(vk);
  EXPECT_VALIDATION_SILENT(other);
}

TEST(VulkanDeviceChoice, NamesWhatIsMissing) {
  const auto ok = [](std::string name, int rank) {
    return VulkanCandidate{
        std::move(name), (1u << 22) | (3u << 12), rank, true, true, true, true, true, true, true};
  };
  EXPECT_EQ(chooseVulkanDevice({}).error(), "no Vulkan device found");
  VulkanCandidate no_f64 = ok("old gpu", 0);
  no_f64.float64 = false;
  VulkanCandidate old = ok("vk12", 0);
  old.api_version = (1u << 22) | (2u << 12);
  VulkanCandidate small_points = ok("tiny", 1);
  small_points.large_points = false;
  const VulkanCandidate lacking[] = {no_f64, old, small_points};
  const auto none = chooseVulkanDevice(lacking);
  ASSERT_FALSE(none);
  EXPECT_NE(none.error().find("old gpu lacks shaderFloat64"), std::string::npos) << none.error();
  EXPECT_NE(none.error().find("vk12 lacks Vulkan 1.3"), std::string::npos) << none.error();
  EXPECT_NE(none.error().find("tiny lacks largePoints"), std::string::npos) << none.error();
  const VulkanCandidate mixed[] = {ok("llvmpipe", 3), no_f64, ok("discrete", 0), ok("igpu", 1)};
  EXPECT_EQ(chooseVulkanDevice(mixed).value(), 2u);
}

}  // namespace
