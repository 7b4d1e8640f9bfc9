// The Vulkan device against the CPU device on whole frames: the demo's
// frames, and hand-made frames of hostile geometry. Same pixels covered, same
// depth bits, same splats, colour within 1 per channel; no validation report.
#include <bit>
#include <cmath>
#include <cstdlib>
#include <random>

#include "frame_driver.hpp"
#include "vulkan_test_device.hpp"

namespace {

using namespace kova_demo;
using namespace kova_device;
using kova_kernel::HomVec4;

// Compares the pictures of both devices; returns how many pixels were covered.
std::size_t expectSamePictures(const FrameImages& cpu, const FrameImages& vk,
                               const std::string& what) {
  EXPECT_EQ(cpu.kinds, vk.kinds) << what << ": pixels covered differ";
  std::size_t depth_mismatches = 0, colour_mismatches = 0, covered = 0;
  for (std::size_t p = 0; p < cpu.depth.size(); ++p) {
    depth_mismatches +=
        std::bit_cast<std::uint32_t>(cpu.depth[p]) != std::bit_cast<std::uint32_t>(vk.depth[p]);
    covered += cpu.kinds[p] != 0;
  }
  for (std::size_t i = 0; i < cpu.rgb.size(); ++i)
    colour_mismatches += std::abs(int{cpu.rgb[i]} - int{vk.rgb[i]}) > 1;
  EXPECT_EQ(depth_mismatches, 0u) << what << ": depth bits differ";
  EXPECT_EQ(colour_mismatches, 0u) << what << ": colour differs by more than 1";
  return covered;
}

void expectSameTrace(const std::vector<DrawTrace>& cpu, const std::vector<DrawTrace>& vk,
                     const std::string& what) {
  ASSERT_EQ(cpu.size(), vk.size()) << what;
  for (std::size_t i = 0; i < cpu.size(); ++i) {
    const DrawTrace &a = cpu[i], &b = vk[i];
    ASSERT_TRUE(a.vertex == b.vertex && a.cx == b.cx && a.cy == b.cy && a.radius == b.radius)
        << what << ": splat " << i << " of vertex " << a.vertex << " at (" << a.cx << ", " << a.cy
        << ") r " << a.radius << " on the CPU, vertex " << b.vertex << " at (" << b.cx << ", "
        << b.cy << ") r " << b.radius << " on Vulkan";
  }
}

struct DemoCase {
  std::uint32_t points, width, height, frames;
  std::uint64_t seed;
};

// Renders the demo's frames of `c` on both devices and compares them.
void expectSameDemoFrames(const DemoCase& c, CpuDevice cpu_device, VulkanDevice vk_device) {
  const Scene scene = makeScene(c.points, c.seed);
  auto cpu = FrameDriver<CpuDevice>::create(scene, c.width, c.height, std::move(cpu_device));
  auto vk = FrameDriver<VulkanDevice>::create(scene, c.width, c.height, std::move(vk_device));
  ASSERT_TRUE(cpu && vk) << (cpu ? vk.error() : cpu.error());
  for (std::uint32_t f = 0; f < c.frames; ++f) {
    const std::string what = "seed " + std::to_string(c.seed) + " frame " + std::to_string(f) +
                             ", " + std::to_string(vk->device().samples()) + " samples";
    auto rc = cpu->renderFrame();
    auto rv = vk->renderFrame();
    ASSERT_TRUE(rc && rv) << (rc ? rv.error() : rc.error());
    EXPECT_EQ(rc->drawn, rv->drawn) << what;
    EXPECT_EQ(rc->geodesic_arcs, rv->geodesic_arcs) << what;
    EXPECT_EQ(rc->commands, rv->commands) << what;
    EXPECT_GT(rc->drawn, c.points / 50) << what;
    EXPECT_GT(rc->geodesic_arcs, 10u) << what;
    auto ic = cpu->readImages();
    auto iv = vk->readImages();
    ASSERT_TRUE(ic && iv);
    EXPECT_GT(expectSamePictures(*ic, *iv, what), c.width * c.height / 50) << what;
    expectSameTrace(cpu->trace(), vk->trace(), what);
  }
  EXPECT_VALIDATION_SILENT(vk->device());
}

TEST(VulkanParity, DemoFramesMatchTheCpuDevice) {
  for (const DemoCase c : {DemoCase{100'000, 640, 360, 3, 1}, DemoCase{20'000, 333, 197, 2, 9}}) {
    KOVA_VULKAN_DEVICE_OR_SKIP(device);
    expectSameDemoFrames(c, CpuDevice{}, std::move(device));
  }
}

// Without double-precision shaders the points are placed and the arcs
// walked on the host: the same pictures, bit for bit.
TEST(VulkanParity, DemoFramesMatchTheCpuDeviceWithoutFloat64) {
  KOVA_VULKAN_DEVICE_WITH_OR_SKIP(device, (VulkanOptions{.validation = true, .float64 = false}));
  expectSameDemoFrames(DemoCase{20'000, 333, 197, 2, 9}, CpuDevice{}, std::move(device));
}

// At one sample per pixel on both devices: a pixel is covered where its
// centre is, and nothing is resolved.
TEST(VulkanParity, DemoFramesMatchTheCpuDeviceAtOneSample) {
  auto device = VulkanDevice::create({.validation = true, .samples = 1});
  if (!device) GTEST_SKIP() << "no usable Vulkan device: " << device.error();
  ASSERT_EQ(device->samples(), 1u);
  expectSameDemoFrames(DemoCase{20'000, 333, 197, 2, 9}, CpuDevice{1}, std::move(*device));
}

// A frame built by hand: points drawn in the given order (no sorting) and
// arcs between given pairs, with a chosen depth state.
struct HandFrame {
  std::uint32_t width = 0, height = 0;
  CameraBlock camera;
  std::vector<HomVec4> points, arcs;
  kova_rhi::DepthState depth;
  float clear_depth = 1.0f;
};

struct Rendered {
  FrameImages images;
  ExecuteStats stats;
  std::vector<DrawTrace> trace;
};

template <class Device>
Rendered render(Device& dev, const HandFrame& in) {
  using namespace kova_rhi;
  const auto must = [](auto made) {
    if (!made) throw std::runtime_error(made.error());
    return *made;
  };
  const auto n = static_cast<std::uint32_t>(in.points.size());
  const ImageId color =
      must(dev.createImage(ImageDescriptor::initKovaRenderTarget(in.width, in.height)));
  const ImageId depth = must(dev.createImage(
      ImageDescriptor::init2D(Format::depth32_float, in.width, in.height,
                              ImageUsage::init({ImageUsageFlag::depth_stencil_attachment}))));
  GraphicsPipelineDescriptor pd{.type = PipelineType::kova_projective,
                                .topology = PrimitiveTopology::point_list,
                                .depth = in.depth};
  const PipelineId points = must(dev.createPipeline(pd));
  pd.topology = PrimitiveTopology::geodesic_list;
  const PipelineId geodesics = must(dev.createPipeline(pd));
  const BufferId positions = must(dev.createBuffer(BufferDescriptor::initKovaPositions(n)));
  const BufferId observer = must(dev.createBuffer(BufferDescriptor::initKovaPositions(1)));
  const BufferId distances = must(dev.createBuffer(
      BufferDescriptor{.size = n * 8ull, .stride = 8, .type = BufferType::storage}));
  const BufferId camera = must(dev.createBuffer(BufferDescriptor::initKovaTransforms(2)));
  const BufferId arcs = must(dev.createBuffer(
      BufferDescriptor::initKovaPositions(static_cast<std::uint32_t>(in.arcs.size()))));

  const std::array<ImageId, 1> colors{color};
  const BeginPassCommand begin{colors, depth};
  const auto block = packCameraBlock(in.camera);
  const HomVec4 eye[1] = {in.camera.observer};
  const GpuCommand clear_pass[] = {
      begin, ClearCommand{color, 0.1f, 0.2f, 0.3f, 1.0f, in.clear_depth}, EndPassCommand{}};
  const GpuCommand compute_pass[] = {
      KovaUploadPositionsCommand{positions, in.points}, KovaUploadPositionsCommand{observer, eye},
      KovaComputeFsDistanceCommand{observer, positions, distances, n}};
  const GpuCommand draw_pass[] = {
      begin,
      points,
      KovaUploadPgl4Command{camera, block},
      DrawCommand{.pipeline = points,
                  .vertex_buffer = distances,
                  .kova_transform_buffer = camera,
                  .kova_position_buffer = positions,
                  .index_count = n},
      geodesics,
      BindUniformCommand{camera, 0, 256, 0},
      KovaUploadPositionsCommand{arcs, in.arcs},
      KovaRenderGeodesicsCommand{arcs, static_cast<std::uint32_t>(in.arcs.size()), 0.3f, 1.0f,
                                 0.6f},
      EndPassCommand{}};
  std::pmr::monotonic_buffer_resource arena;
  FrameGraph graph = FrameGraph::init(arena);
  for (const FramePass& pass : {FramePass{"clear", {}, {}, clear_pass, PassType::clear},
                                FramePass{"fs", {}, {}, compute_pass, PassType::kova_fs_compute},
                                FramePass{"draw", {}, {}, draw_pass, PassType::geometry}}) {
    if (!graph.addPass(pass)) throw std::bad_alloc();
  }
  Rendered out;
  dev.setTrace(&out.trace);
  out.stats = must(dev.execute(graph));
  dev.setTrace(nullptr);
  out.images = FrameImages{must(dev.readRgb8(color)), must(dev.readDepth(depth)),
                           must(dev.readKinds(color))};
  return out;
}

HomVec4 unit(std::mt19937_64& rng) {
  std::normal_distribution<double> g;
  return HomVec4{g(rng), g(rng), g(rng), g(rng)}.normalize();
}

// A point at distance d from the camera, in the direction that projects to
// (sx, sy) in units of the image's half-size, stored with a random sign.
HomVec4 seen(std::mt19937_64& rng, const kova_renderer::KovaCamera& cam, double sx, double sy,
             double d) {
  const double tan_h = std::tan(cam.fov / 2.0), tan_v = tan_h / cam.aspect;
  const auto along = [&](int k) {
    const double c[4][4] = {{cam.position.x, cam.forward.x, cam.right.x, cam.up.x},
                            {cam.position.y, cam.forward.y, cam.right.y, cam.up.y},
                            {cam.position.z, cam.forward.z, cam.right.z, cam.up.z},
                            {cam.position.w, cam.forward.w, cam.right.w, cam.up.w}};
    const double t[3] = {1.0, sx * tan_h, sy * tan_v};
    const double n = std::sqrt(t[0] * t[0] + t[1] * t[1] + t[2] * t[2]);
    return std::cos(d) * c[k][0] +
           std::sin(d) * (t[0] * c[k][1] + t[1] * c[k][2] + t[2] * c[k][3]) / n;
  };
  const HomVec4 p{along(0), along(1), along(2), along(3)};
  return rng() & 1 ? p : HomVec4{-p.x, -p.y, -p.z, -p.w};
}

void expectHostileGeometryMatches(const VulkanOptions& options) {
  KOVA_VULKAN_DEVICE_WITH_OR_SKIP(vk, options);
  using kova_rhi::CompareOp;
  const CompareOp ops[] = {CompareOp::less_equal, CompareOp::less, CompareOp::not_equal,
                           CompareOp::always, CompareOp::greater_equal};
  for (std::uint64_t seed = 1; seed <= 5; ++seed) {
    std::mt19937_64 rng(seed);
    // A camera at the eye, looking anywhere.
    const auto direction = [&] {
      const HomVec4 u = unit(rng);
      return HomVec4{u.x, u.y, u.z, 0.0};
    };
    kova_renderer::KovaCamera cam =
        kova_renderer::KovaCamera::init(kEye, direction(), direction(), 1.1, 1.6, 0.002, 1.2);
    cam.updateViewMatrix();
    HandFrame in;
    in.width = 160 + static_cast<std::uint32_t>(rng() % 200);
    in.height = 90 + static_cast<std::uint32_t>(rng() % 120);
    const double tan_h = std::tan(cam.fov / 2.0);
    in.camera = CameraBlock{cam.view_pgl4,      cam.position, tan_h,
                            tan_h / cam.aspect, cam.near_fs,  cam.far_fs};
    in.depth = {.depth_test = seed != 4,
                .depth_write = seed != 5,
                .depth_compare = ops[seed - 1],
                .fs_depth = true};
    in.clear_depth = seed == 5 ? 0.0f : 1.0f;
    // Points over and around the image (discs cut by its border), near ones
    // with large discs, far ones, points at infinity, degenerate vectors.
    std::uniform_real_distribution<double> across(-1.1, 1.1), depth(0.0, 1.3);
    for (int i = 0; i < 6000; ++i) {
      const double d = i % 3 == 0 ? depth(rng) * 0.03 : depth(rng);
      in.points.push_back(seen(rng, cam, across(rng), across(rng), d));
    }
    for (int i = 0; i < 1000; ++i) in.points.push_back(unit(rng));
    for (int i = 0; i < 200; ++i) {
      const HomVec4 u = unit(rng);
      in.points.push_back(HomVec4{u.x, u.y, u.z, 0.0});
    }
    const double inf = INFINITY;
    for (const HomVec4 odd : {HomVec4{}, HomVec4{1e-300, 0, 0, 0}, HomVec4{1e300, 1e300, 0, 1},
                              HomVec4{NAN, 0, 0, 1}, HomVec4{inf, 0, 0, 1}, cam.position}) {
      in.points.push_back(odd);
    }
    std::shuffle(in.points.begin(), in.points.end(), rng);
    for (int i = 0; i < 60; ++i) {
      const HomVec4 a = seen(rng, cam, 2 * across(rng), 2 * across(rng), depth(rng));
      const HomVec4 b =
          i % 3 == 0 ? unit(rng) : seen(rng, cam, across(rng), across(rng), depth(rng));
      in.arcs.push_back(a);
      in.arcs.push_back(i % 10 == 0 ? a : b);  // some arcs of angle 0
    }
    in.arcs.push_back(HomVec4{});
    in.arcs.push_back(cam.position);

    CpuDevice cpu_device;
    const Rendered cpu = render(cpu_device, in);
    const Rendered vulkan = render(vk, in);
    const std::string what = "seed " + std::to_string(seed);
    EXPECT_EQ(cpu.stats.points_drawn, vulkan.stats.points_drawn) << what;
    EXPECT_EQ(cpu.stats.geodesic_arcs, vulkan.stats.geodesic_arcs) << what;
    EXPECT_GT(cpu.stats.points_drawn, 2000u) << what;
    EXPECT_GT(expectSamePictures(cpu.images, vulkan.images, what), 1000u) << what;
    expectSameTrace(cpu.trace, vulkan.trace, what);
  }
  EXPECT_VALIDATION_SILENT(vk);
}

TEST(VulkanParity, HostileGeometryMatchesTheCpuDevice) {
  for (const VulkanOptions& options : kWithAndWithoutFloat64) {
    SCOPED_TRACE(options.float64 ? "with float64" : "without float64");
    expectHostileGeometryMatches(options);
  }
}

}  // namespace
