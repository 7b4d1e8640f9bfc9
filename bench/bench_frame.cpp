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
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <type_traits>

#include "demo_options.hpp"
#include "device_choice.hpp"
#include "frame_driver.hpp"
#include "lattice_frame.hpp"

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

}  // namespace

