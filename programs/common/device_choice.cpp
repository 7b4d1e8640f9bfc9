#include "device_choice.hpp"

namespace kova_demo {

std::optional<DeviceChoice> parseDeviceChoice(std::string_view text, bool automatic) {
  if (text == "vulkan") return DeviceChoice::vulkan;
  if (text == "cpu") return DeviceChoice::cpu;
  if (automatic && text == "auto") return DeviceChoice::automatic;
  return std::nullopt;
}

std::optional<std::uint32_t> parseSamples(std::string_view text) {
  if (text == "1") return 1;
  if (text == "4") return 4;
  return std::nullopt;
}

std::expected<VulkanDevice, std::string> openVulkanDevice(const DeviceRequest& request,
                                                          VulkanOptions extra) {
  extra.validation = request.validation;
  extra.best_practices = request.best_practices;
  extra.float64 = request.float64;
  extra.samples = request.samples;
  auto device = VulkanDevice::create(extra);
  if (!device) return std::unexpected("no usable Vulkan device (" + device.error() + ")");
  return device;
}

void printDevice(std::string_view program, const VulkanDevice& device) {
  std::printf("%.*s: device %s (Vulkan)\n", static_cast<int>(program.size()), program.data(),
              device.name().c_str());
  std::fflush(stdout);
}

void printDevice(std::string_view program, const CpuDevice&) {
  std::printf("%.*s: device CPU reference device\n", static_cast<int>(program.size()),
              program.data());
  std::fflush(stdout);
}

int validationVerdict(std::string_view program, int status, const VulkanDevice& device) {
  const std::uint32_t reports = device.validationMessages();
  if (status != 0 || reports == 0) return status;
  std::fprintf(stderr, "%.*s: %u validation messages, the first: %s\n",
               static_cast<int>(program.size()), program.data(), reports,
               device.firstValidationMessage().c_str());
  return 1;
}

}  // namespace kova_demo
