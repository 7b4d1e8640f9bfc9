// What a window host needs of the Vulkan device layer to show its pictures:
// the device's handles (to make a surface and a swapchain on the same device
// and queue) and the copy of a rendered colour image into a swapchain image.
#pragma once

#include <vulkan/vulkan.h>

#include <cstdint>
#include <expected>
#include <string>

#include "kova_vulkan_device.hpp"

namespace kova_device {

struct VulkanHandles {
  VkInstance instance = VK_NULL_HANDLE;
  VkPhysicalDevice physical = VK_NULL_HANDLE;
  VkDevice device = VK_NULL_HANDLE;
  VkQueue queue = VK_NULL_HANDLE;  // the queue execute() submits to
  std::uint32_t queue_family = 0;
};

[[nodiscard]] VulkanHandles vulkanHandles(const VulkanDevice& device) noexcept;

// Records into the host's command buffer `cb` the blit of colour image `color`
// (as the last execute() left it) onto `target`, which must be in
// TRANSFER_DST_OPTIMAL layout, scaled to `extent`. The blit waits for the
// frame that drew the image, and the device's next frame waits for the blit.
// It ends with a device-owned event set once the blit has run; until then
// the device refuses to release the image (VulkanDevice::releaseImage), so
// a host may release an image any time after its blit's submission is done.
// The host must submit what it recorded: the device takes the blit's layout
// changes as done, and an image whose blit is never submitted stays in use.
[[nodiscard]] std::expected<void, std::string> recordColorBlit(VulkanDevice& device,
                                                               VkCommandBuffer cb, ImageId color,
                                                               VkImage target, VkExtent2D extent);

}  // namespace kova_device
