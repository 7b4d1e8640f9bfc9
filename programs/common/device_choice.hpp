// Where the programs choose their device layer, say which one they use, and
// check the Vulkan validation layer's verdict: kova_demo and kova_view ask
// for a device the same way and report it in the same words.
#pragma once

#include <cstdint>
#include <cstdio>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "device_names.hpp"

namespace kova_demo {

// automatic: the Vulkan device when one is usable, the CPU device otherwise.
enum class DeviceChoice : std::uint8_t { automatic, vulkan, cpu };

struct DeviceRequest {
  DeviceChoice choice = DeviceChoice::automatic;
  // No fallback: without a usable Vulkan device the program stops.
  bool require = false;
  // Run under the Vulkan validation layer; any report fails the run.
  bool validation = false;
  // With validation: the layer's best-practices checks too.
  bool best_practices = false;
  // Vulkan: use double-precision shaders when the GPU has them (--no-float64 clears it).
  bool float64 = true;
  // Samples per pixel on either device: 1 or 4 (--samples).
  std::uint32_t samples = 4;
};

// "1" or "4" (--samples), or nothing.
[[nodiscard]] std::optional<std::uint32_t> parseSamples(std::string_view text);

// "vulkan", "cpu" (and "auto" when `automatic` is offered), or nothing.
[[nodiscard]] std::optional<DeviceChoice> parseDeviceChoice(std::string_view text,
                                                            bool automatic);

// The exit status of a program that could not get the device it required.
inline constexpr int kExitNoDevice = 1;

// The Vulkan device for `request` (its validation, float64 and samples
// included; `extra` adds what a window needs), or the one-line reason why there is none:
// "no usable Vulkan device (REASON)".
[[nodiscard]] std::expected<VulkanDevice, std::string> openVulkanDevice(
    const DeviceRequest& request, VulkanOptions extra = {});

// "PROGRAM: device NAME (Vulkan)" or "PROGRAM: device CPU reference device"
// on stdout.
void printDevice(std::string_view program, const VulkanDevice& device);
void printDevice(std::string_view program, const CpuDevice& device);

// `status`, or 1 after "PROGRAM: N validation messages, the first: ..." on
// stderr when the run went well but the layer reported
// anything. The CPU device has no validation layer.
[[nodiscard]] int validationVerdict(std::string_view program, int status,
                                    const VulkanDevice& device);
[[nodiscard]] inline int validationVerdict(std::string_view, int status, const CpuDevice&) {
  return status;
}

// Runs a program's frames on the device `request` chooses: `make(device)`
// builds its frame loop (std::expected<Driver, std::string>) and
// `render(driver)` returns the exit status. Vulkan unless the request says
// cpu; without a usable Vulkan device, the CPU device after the one-line
// reason, or with `require`, exit status kExitNoDevice after it.
template <class Make, class Render>
int runOnChosenDevice(std::string_view program, const DeviceRequest& request, Make make,
                      Render render) {
  const auto run = [&](auto device) {
    printDevice(program, device);
    auto driver = make(std::move(device));
    if (!driver) {
      std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(program.size()), program.data(),
                   driver.error().c_str());
      return 1;
    }
    return validationVerdict(program, render(*driver), driver->device());
  };
  if (request.choice != DeviceChoice::cpu) {
    auto device = openVulkanDevice(request);
    if (device) return run(std::move(*device));
    if (request.require) {
      std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(program.size()), program.data(),
                   device.error().c_str());
      return kExitNoDevice;
    }
    std::printf("%.*s: %s; rendering on the CPU\n", static_cast<int>(program.size()),
                program.data(), device.error().c_str());
  }
  return run(CpuDevice{request.samples});
}

}  // namespace kova_demo
