// The demo's default frame end to end (100000 points, 640x360: cull, sort,
// frame graph, the device's work and the read-back of colour, depth and
// pixel kinds) on the CPU device and on the Vulkan device, so that the two
// are compared in one run. frame/vulkan uses the loader's choice of device:
// set VK_DRIVER_FILES to the lavapipe ICD to measure the software driver.
// Compare the Time column (wall clock): the CPU column leaves out the
// driver's own threads. frame/lattice/cpu and frame/lattice/vulkan render
// frames of the lattice flight at 1280x720 (the main job's default) and read
// the colour back; their samples1 variants at one sample per pixel, and
// frame/lattice/vulkan/nofloat64 on a device without double-precision
// shaders.
//
// frame/lights/forward_plus/{cpu,vulkan}/N: the lattice at 1280x720, one
// sample per pixel, lit by N travelling lights through forward+ as its
// default record configures it (depth pre-pass, 16-pixel tiles, at most
// 256 lights a tile); frame/lights/brute_force/{cpu,vulkan}/1024 the same
// frame with every light shaded at every pixel (no culling pass). Tiled
// against brute force at 1024 lights reads off one run.
// frame/lights/deferred/{cpu,vulkan}/N: the same flight and lights through
// the deferred pipeline as the main job's driver records it (tiled, the
// edges drawn after the lighting), one sample per pixel; a device that
// cannot run deferred shading skips the entry with its reason.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <type_traits>

#include "demo_options.hpp"
#include "device_choice.hpp"
#include "frame_driver.hpp"
#include "lattice_driver.hpp"
#include "lattice_frame.hpp"
#include "lights_scene.hpp"
#include "render_targets.hpp"

namespace {

using namespace kova_demo;

const Scene& defaultScene() {
  static const Scene scene = makeScene(Options{}.points, Options{}.seed);
  return scene;
}

template <class Device>
void runFrames(benchmark::State& state, FrameDriver<Device>& driver) {
  for (auto _ : state) {
    auto report = driver.renderFrame();
    auto images = driver.readImages();
    if (!report || !images) {
      state.SkipWithError(report ? "read-back failed" : report.error().c_str());
      break;
    }
    benchmark::DoNotOptimize(images->rgb.data());
  }
}

void frameCpu(benchmark::State& state) {
  static auto driver =
      FrameDriver<CpuDevice>::create(defaultScene(), Options{}.width, Options{}.height);
  if (!driver) {
    state.SkipWithError(driver.error().c_str());
    return;
  }
  runFrames(state, *driver);
}
BENCHMARK(frameCpu)->Name("frame/cpu")->Unit(benchmark::kMillisecond);

void frameVulkan(benchmark::State& state) {
  static auto driver = []() -> std::expected<FrameDriver<VulkanDevice>, std::string> {
    auto device = openVulkanDevice(DeviceRequest{});
    if (!device) return std::unexpected(device.error());
    return FrameDriver<VulkanDevice>::create(defaultScene(), Options{}.width, Options{}.height,
                                             std::move(*device));
  }();
  if (!driver) {
    state.SkipWithError(driver.error().c_str());
    return;
  }
  state.SetLabel(driver->device().name());
  runFrames(state, *driver);
}
BENCHMARK(frameVulkan)->Name("frame/vulkan")->Unit(benchmark::kMillisecond);

const LatticeScene& latticeScene() {
  static const LatticeScene scene = makeLatticeScene();
  return scene;
}

template <class Device>
void runLattice(benchmark::State& state, LatticeDriver<Device>& driver) {
  for (auto _ : state) {
    auto report = driver.renderFrame();
    auto rgb = driver.readRgb();
    if (!report || !rgb) {
      state.SkipWithError(report ? "read-back failed" : report.error().c_str());
      break;
    }
    benchmark::DoNotOptimize(rgb->data());
  }
}

template <class Device>
void runLatticeDriver(benchmark::State& state,
                      std::expected<LatticeDriver<Device>, std::string>& driver) {
  if (!driver) {
    state.SkipWithError(driver.error().c_str());
    return;
  }
  if constexpr (std::is_same_v<Device, VulkanDevice>) state.SetLabel(driver->device().name());
  runLattice(state, *driver);
}

std::expected<LatticeDriver<VulkanDevice>, std::string> latticeOnVulkan(
    const DeviceRequest& request) {
  auto device = openVulkanDevice(request);
  if (!device) return std::unexpected(device.error());
  return LatticeDriver<VulkanDevice>::create(latticeScene(), 1280, 720, std::move(*device));
}

void latticeCpu(benchmark::State& state) {
  static auto driver = LatticeDriver<CpuDevice>::create(latticeScene(), 1280, 720);
  runLatticeDriver(state, driver);
}
BENCHMARK(latticeCpu)->Name("frame/lattice/cpu")->Unit(benchmark::kMillisecond);

void latticeCpuOneSample(benchmark::State& state) {
  static auto driver = LatticeDriver<CpuDevice>::create(latticeScene(), 1280, 720, CpuDevice{1});
  runLatticeDriver(state, driver);
}
BENCHMARK(latticeCpuOneSample)->Name("frame/lattice/cpu/samples1")->Unit(benchmark::kMillisecond);

void latticeVulkan(benchmark::State& state) {
  static auto driver = latticeOnVulkan(DeviceRequest{});
  runLatticeDriver(state, driver);
}
BENCHMARK(latticeVulkan)->Name("frame/lattice/vulkan")->Unit(benchmark::kMillisecond);

void latticeVulkanOneSample(benchmark::State& state) {
  static auto driver = latticeOnVulkan(DeviceRequest{.samples = 1});
  runLatticeDriver(state, driver);
}
BENCHMARK(latticeVulkanOneSample)
    ->Name("frame/lattice/vulkan/samples1")
    ->Unit(benchmark::kMillisecond);

void latticeVulkanNoFloat64(benchmark::State& state) {
  static auto driver = latticeOnVulkan(DeviceRequest{.float64 = false});
  runLatticeDriver(state, driver);
}
BENCHMARK(latticeVulkanNoFloat64)
    ->Name("frame/lattice/vulkan/nofloat64")
    ->Unit(benchmark::kMillisecond);

// The lit lattice frame as the main job records it, tiled or brute force,
// the camera flying and the lights travelling on every frame.
template <class Device>
struct LitLattice {
  Device device;
  RenderTargets targets{};
  LatticeGpu gpu{};
  LatticeLightsGpu lit{};
  kova_renderer::KovaCamera carrier = flightStart();
  std::uint64_t frame = 0;

  static std::expected<std::unique_ptr<LitLattice>, std::string> create(Device device) {
    auto l = std::make_unique<LitLattice>(LitLattice{std::move(device)});
    auto targets = createRenderTargets(l->device, 1280, 720);
    if (!targets) return std::unexpected(targets.error());
    l->targets = *targets;
    auto gpu = createLatticeGpu(l->device, latticeScene());
    if (!gpu) return std::unexpected(gpu.error());
    l->gpu = *gpu;
    auto lit = createLatticeLightsGpu(
        l->device, latticeForwardPlus(l->carrier, l->device.samples(), 0), 1280, 720);
    if (!lit) return std::unexpected(lit.error());
    l->lit = *lit;
    return l;
  }

  std::expected<void, std::string> render(std::uint32_t lights, bool every_light) {
    if (frame > 0) carrier.travel(kFlightStep, 0.0, 0.0);
    const auto view = latticeLens(flightView(carrier, frame), 1280, 720);
    const auto record = latticeForwardPlus(view, device.samples(), frame);
    const auto block = kova_device::forwardPlusCameraBlock(record, kLatticeFogColor);
    if (auto ok = device.writeValues(lit.lights,
                                     kova_device::lightValues(latticeLights(lights, frame)));
        !ok)
      return ok;
    std::pmr::monotonic_buffer_resource arena;
    kova_rhi::FrameGraph graph = kova_rhi::FrameGraph::init(arena);
    const LatticeScene& scene = latticeScene();
    if (auto ok = recordLatticeForwardPlus(graph, arena, record, gpu, lit, scene, targets.color,
                                           targets.depth, scene.instances, block,
                                           scene.colors.size(), lights, every_light);
        !ok)
      return ok;
    auto stats = device.execute(graph);
    if (!stats) return std::unexpected(stats.error());
    auto rgb = device.readRgb8(targets.color);
    if (!rgb) return std::unexpected(rgb.error());
    benchmark::DoNotOptimize(rgb->data());
    ++frame;
    return {};
  }
};

template <class Device>
void runLit(benchmark::State& state,
            std::expected<std::unique_ptr<LitLattice<Device>>, std::string>& lattice,
            bool every_light) {
  if (!lattice) {
    state.SkipWithError(lattice.error().c_str());
    return;
  }
  if constexpr (std::is_same_v<Device, VulkanDevice>) state.SetLabel((*lattice)->device.name());
  for (auto _ : state) {
    if (auto ok = (*lattice)->render(static_cast<std::uint32_t>(state.range(0)), every_light);
        !ok) {
      state.SkipWithError(ok.error().c_str());
      break;
    }
  }
}

std::expected<std::unique_ptr<LitLattice<CpuDevice>>, std::string>& litCpu() {
  static auto l = LitLattice<CpuDevice>::create(CpuDevice{1});
  return l;
}
std::expected<std::unique_ptr<LitLattice<VulkanDevice>>, std::string>& litVulkan() {
  static auto l = []() -> std::expected<std::unique_ptr<LitLattice<VulkanDevice>>, std::string> {
    auto device = openVulkanDevice(DeviceRequest{.samples = 1});
    if (!device) return std::unexpected(device.error());
    return LitLattice<VulkanDevice>::create(std::move(*device));
  }();
  return l;
}

// The driver of the flight lit through deferred shading, or why the device
// refuses it.
template <class Device>
std::expected<LatticeDriver<Device>, std::string> deferredDriver(
    std::expected<LatticeDriver<Device>, std::string> driver) {
  if (!driver) return driver;
  if (auto ok = driver->setPipeline(PipelineChoice::deferred); !ok)
    return std::unexpected(ok.error());
  return driver;
}

template <class Device>
void runDeferred(benchmark::State& state,
                 std::expected<LatticeDriver<Device>, std::string>& driver) {
  if (driver) {
    if (auto ok = driver->setLights(static_cast<std::uint32_t>(state.range(0))); !ok) {
      state.SkipWithError(ok.error().c_str());
      return;
    }
  }
  runLatticeDriver(state, driver);
}

void lightsDeferredCpu(benchmark::State& state) {
  static auto driver =
      deferredDriver(LatticeDriver<CpuDevice>::create(latticeScene(), 1280, 720, CpuDevice{1}));
  runDeferred(state, driver);
}
void lightsDeferredVulkan(benchmark::State& state) {
  static auto driver = deferredDriver(latticeOnVulkan(DeviceRequest{.samples = 1}));
  runDeferred(state, driver);
}

void lightsTiledCpu(benchmark::State& state) { runLit(state, litCpu(), false); }
void lightsBruteCpu(benchmark::State& state) { runLit(state, litCpu(), true); }
void lightsTiledVulkan(benchmark::State& state) { runLit(state, litVulkan(), false); }
void lightsBruteVulkan(benchmark::State& state) { runLit(state, litVulkan(), true); }
BENCHMARK(lightsTiledCpu)
    ->Name("frame/lights/forward_plus/cpu")
    ->Arg(16)->Arg(256)->Arg(1024)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(lightsBruteCpu)
    ->Name("frame/lights/brute_force/cpu")
    ->Arg(1024)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(lightsTiledVulkan)
    ->Name("frame/lights/forward_plus/vulkan")
    ->Arg(16)->Arg(256)->Arg(1024)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(lightsBruteVulkan)
    ->Name("frame/lights/brute_force/vulkan")
    ->Arg(1024)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(lightsDeferredCpu)
    ->Name("frame/lights/deferred/cpu")
    ->Arg(16)->Arg(256)->Arg(1024)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(lightsDeferredVulkan)
    ->Name("frame/lights/deferred/vulkan")
    ->Arg(16)->Arg(256)->Arg(1024)
    ->Unit(benchmark::kMillisecond);

}  // namespace

