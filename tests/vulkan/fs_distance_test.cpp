// Fubini-Study distances on the device: bit-identical to the host build of
// the device's arithmetic, and within 1 ulp of the kernel's fsDistance.
#include <bit>
#include <cmath>
#include <random>

#include "device_math.hpp"
#include "kova_cpu_device.hpp"
#include "vulkan_state.hpp"
#include "vulkan_test_device.hpp"

namespace {

using kova_kernel::HomVec4;
using kova_device::deviceAcos;
using kova_device::deviceFsDistance;

std::uint64_t ulps(double a, double b) {
  const auto ia = static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(a));
  const auto ib = static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(b));
  return static_cast<std::uint64_t>(ia > ib ? ia - ib : ib - ia);
}

TEST(DeviceMath, AcosIsWithinOneUlpOfTheCLibrary) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::vector<double> xs = {-1.0,
                            -0.5,
                            -0.0,
                            0.0,
                            0.5,
                            1.0,
                            0x1p-57,
                            0x1p-58,
                            1e-300,
                            std::nextafter(0.5, 0.0),
                            std::nextafter(0.5, 1.0),
                            std::nextafter(1.0, 0.0),
                            std::nextafter(-1.0, 0.0)};
  for (int i = 0; i < 2'000'000; ++i) xs.push_back(unit(rng));
  for (int i = 0; i < 200'000; ++i)
    xs.push_back(1.0 - std::ldexp(unit(rng) + 1.0, -int(rng() % 50)));
  std::size_t exact = 0;
  for (const double x : xs) {
    ASSERT_LE(ulps(deviceAcos(x), std::acos(x)), 1u) << "acos(" << x << ")";
    exact += deviceAcos(x) == std::acos(x);
  }
  EXPECT_GT(exact, xs.size() * 8 / 10);
  EXPECT_TRUE(std::isnan(deviceAcos(1.5)) && std::isnan(deviceAcos(NAN)));
}

// Pairs from every corner: random directions, nearly equal and nearly
// orthogonal pairs, tiny, huge and zero vectors, infinities and NaN.
std::vector<HomVec4> pairs(std::size_t count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> g;
  std::uniform_real_distribution<double> exponent(-300.0, 300.0);
  std::vector<HomVec4> out;
  const auto random = [&] { return HomVec4{g(rng), g(rng), g(rng), g(rng)}; };
  for (std::size_t i = 0; out.size() < 2 * count; ++i) {
    const HomVec4 a = random();
    HomVec4 b = random();
    switch (i % 8) {
      case 0: {
        const double e = std::ldexp(1.0, -static_cast<int>(rng() % 52));
        b = HomVec4{a.x + e * b.x, a.y + e * b.y, a.z + e * b.z, a.w + e * b.w};
        break;
      }
      case 1:
        b = HomVec4{-a.y, a.x, -a.w, a.z + std::ldexp(g(rng), -30)};
        break;
      case 2: {
        const double s = std::pow(10.0, exponent(rng));
        b = HomVec4{b.x * s, b.y * s, b.z * s, b.w * s};
        break;
      }
      case 3:
        b = HomVec4{-a.x * 3.0, -a.y * 3.0, -a.z * 3.0, -a.w * 3.0};  // the same point
        break;
      case 4:
        if (i % 64 == 4) b = HomVec4{};
        if (i % 64 == 12) b = HomVec4{1e-16, 0.0, 0.0, 0.0};
        if (i % 64 == 20) b = HomVec4{INFINITY, 0.0, 0.0, 1.0};
        if (i % 64 == 28) b = HomVec4{NAN, 1.0, 0.0, 0.0};
        if (i % 64 == 36) b = HomVec4{1e200, 1e200, 0.0, 0.0};
        break;
      default:
        break;
    }
    out.push_back(a);
    out.push_back(b);
  }
  return out;
}

void expectDeviceDistances(std::span<const HomVec4> a, std::span<const HomVec4> b,
                           std::span<const double> got, std::size_t count) {
  ASSERT_EQ(got.size(), count);
  std::size_t exact = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const HomVec4 pa = a.size() == 1 ? a[0] : a[i];
    const HomVec4 pb = b.size() == 1 ? b[0] : b[i];
    const double host = deviceFsDistance(pa, pb);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(got[i]), std::bit_cast<std::uint64_t>(host))
        << "pair " << i << ": device " << got[i] << ", host build " << host;
    ASSERT_LE(ulps(got[i], kova_kernel::fsDistance(pa, pb)), 1u) << "pair " << i;
    exact += got[i] == kova_kernel::fsDistance(pa, pb);
  }
  EXPECT_GT(exact, count * 8 / 10);
}

TEST(VulkanFsDistance, BitIdenticalToTheHostBuildAndWithinOneUlpOfTheKernel) {
  KOVA_VULKAN_DEVICE_OR_SKIP(vk);
  using namespace kova_rhi;
  constexpr std::uint32_t n = 1u << 20;
  const std::vector<HomVec4> both = pairs(n, 3);
  std::vector<HomVec4> a(n), b(n);
  for (std::uint32_t i = 0; i < n; ++i) a[i] = both[2 * i], b[i] = both[2 * i + 1];
  const HomVec4 one[1] = {HomVec4{0.3, -0.2, 0.5, 0.9}};

  auto ba = vk.createBuffer(BufferDescriptor::initKovaPositions(n));
  auto bb = vk.createBuffer(BufferDescriptor::initKovaPositions(n));
  auto b1 = vk.createBuffer(BufferDescriptor::initKovaPositions(1));
  const BufferDescriptor results{.size = n * 8ull,
                                 .stride = 8,
                                 .type = BufferType::storage,
                                 .format = Format::undefined,
                                 .heap = HeapType::device_local,
                                 .dynamic = true};
  auto r1 = vk.createBuffer(results);
  auto r2 = vk.createBuffer(results);
  ASSERT_TRUE(ba && bb && b1 && r1 && r2);
  const GpuCommand commands[] = {
      KovaUploadPositionsCommand{*ba, a}, KovaUploadPositionsCommand{*bb, b},
      KovaUploadPositionsCommand{*b1, one}, KovaComputeFsDistanceCommand{*ba, *bb, *r1, n},
      KovaComputeFsDistanceCommand{*b1, *bb, *r2, n - 5}};
  std::pmr::monotonic_buffer_resource arena;
  FrameGraph graph = FrameGraph::init(arena);
  ASSERT_TRUE(graph.addPass(FramePass{"fs", {}, {}, commands, PassType::kova_fs_compute}));
  auto stats = vk.execute(graph);
  ASSERT_TRUE(stats) << stats.error();
  EXPECT_EQ(stats->distances, 2 * n - 5);
  auto got1 = vk.readValues(*r1);
  auto got2 = vk.readValues(*r2);
  ASSERT_TRUE(got1 && got2);
  expectDeviceDistances(a, b, *got1, n);
  expectDeviceDistances(one, b, *got2, n - 5);
  EXPECT_VALIDATION_SILENT(vk);
}

// Without double-precision shaders the host computes the distances at
// record time, from the positions in graph order: the CPU device's values,
// bit for bit, with the validation layer silent on a device created
// without shaderFloat64.
TEST(VulkanFsDistance, WithoutFloat64TheHostComputesFsDistanceBitForBit) {
  auto made = kova_device::VulkanDevice::create({.validation = true, .float64 = false});
  if (!made) GTEST_SKIP() << "no usable Vulkan device: " << made.error();
  kova_device::VulkanDevice vk = std::move(*made);
  EXPECT_FALSE(vk.usesFloat64());
  kova_device::CpuDevice cpu;
  using namespace kova_rhi;
  constexpr std::uint32_t n = 5000;
  const std::vector<HomVec4> both = pairs(n, 11);
  std::vector<HomVec4> a(n), b(n), a2(n);
  for (std::uint32_t i = 0; i < n; ++i) a[i] = both[2 * i], b[i] = both[2 * i + 1];
  for (std::uint32_t i = 0; i < n; ++i) a2[i] = b[(i * 7919) % n];
  const HomVec4 one[1] = {HomVec4{0.3, -0.2, 0.5, 0.9}};
  const BufferDescriptor results{.size = n * 8ull,
                                 .stride = 8,
                                 .type = BufferType::storage,
                                 .format = Format::undefined,
                                 .heap = HeapType::device_local,
                                 .dynamic = true};
  // The same graph on both devices: `a` is uploaded again between the
  // distances, which must see each upload in its turn.
  const auto run = [&](auto& device) {
    const auto ba = device.createBuffer(BufferDescriptor::initKovaPositions(n));
    const auto bb = device.createBuffer(BufferDescriptor::initKovaPositions(n));
    const auto b1 = device.createBuffer(BufferDescriptor::initKovaPositions(1));
    const auto r1 = device.createBuffer(results);
    const auto r2 = device.createBuffer(results);
    const auto r3 = device.createBuffer(results);
    EXPECT_TRUE(ba && bb && b1 && r1 && r2 && r3);
    const GpuCommand commands[] = {KovaUploadPositionsCommand{*ba, a},
                                   KovaUploadPositionsCommand{*bb, b},
                                   KovaUploadPositionsCommand{*b1, one},
                                   KovaComputeFsDistanceCommand{*ba, *bb, *r1, n},
                                   KovaUploadPositionsCommand{*ba, a2},
                                   KovaComputeFsDistanceCommand{*ba, *bb, *r2, n},
                                   KovaComputeFsDistanceCommand{*bb, *b1, *r3, n - 3}};
    std::pmr::monotonic_buffer_resource arena;
    FrameGraph graph = FrameGraph::init(arena);
    EXPECT_TRUE(graph.addPass(FramePass{"fs", {}, {}, commands, PassType::kova_fs_compute}));
    const auto stats = device.execute(graph);
    EXPECT_TRUE(stats) << (stats ? "" : stats.error());
    std::vector<std::vector<double>> values;
    for (const auto& r : {*r1, *r2, *r3}) values.push_back(device.readValues(r).value());
    return values;
  };
  const auto got = run(vk);
  const auto want = run(cpu);
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t r = 0; r < got.size(); ++r) {
    ASSERT_EQ(got[r].size(), want[r].size()) << "results " << r;
    for (std::size_t i = 0; i < got[r].size(); ++i)
      ASSERT_EQ(std::bit_cast<std::uint64_t>(got[r][i]), std::bit_cast<std::uint64_t>(want[r][i]))
          << "results " << r << ", pair " << i;
  }
  EXPECT_EQ(std::bit_cast<std::uint64_t>(got[1][0]),
            std::bit_cast<std::uint64_t>(kova_kernel::fsDistance(a2[0], b[0])));
  // Every pipeline runs on such a device: the stages that need doubles run
  // on the host.
  for (const auto topology : {PrimitiveTopology::point_list, PrimitiveTopology::geodesic_list,
                              PrimitiveTopology::triangle_list}) {
    const auto pipeline = vk.createPipeline(GraphicsPipelineDescriptor{
        .type = PipelineType::kova_projective, .topology = topology,
        .depth = DepthState{.fs_depth = true}});
    EXPECT_TRUE(pipeline) << pipeline.error();
  }
  EXPECT_VALIDATION_SILENT(vk);
}

}  // namespace
