#include "kova_vulkan_present.hpp"

#include "vulkan_state.hpp"

namespace kova_device {

struct VulkanDeviceAccess {
  static VulkanDevice::State& of(const VulkanDevice& d) noexcept { return *d.s_; }
};

VulkanHandles vulkanHandles(const VulkanDevice& device) noexcept {
  const VulkanDevice::State& s = VulkanDeviceAccess::of(device);
  return {s.instance, s.physical, s.device, s.queue, s.queue_family};
}

std::expected<void, std::string> recordColorBlit(VulkanDevice& device, VkCommandBuffer cb,
                                                 ImageId color, VkImage target,
                                                 VkExtent2D extent) {
  VulkanDevice::State& s = VulkanDeviceAccess::of(device);
  if (color.generation != s.generation || color.id == 0 || color.id > s.images.size())
    return std::unexpected(std::string("unknown colour image"));
  VulkanDevice::State::Image& img = s.images[color.id - 1];
  if (img.is_depth) return std::unexpected(std::string("not a colour image"));
  if (extent.width == 0 || extent.height == 0)
    return std::unexpected(std::string("empty blit target"));
  // The samples are resolved first (a multisampled image cannot be blitted).
  // Both steps are noted in the images' histories, so that they wait for the
  // frame's rendering and the device's next frame waits for them.
  Barriers barriers(cb);
  GpuImage* source = nullptr;
  try {
    source = &resolvedColor(s, img, cb, barriers);
  } catch (const std::exception& e) {
    return std::unexpected(std::string(e.what()));
  }
  barriers.note(*source, kTransferRead);
  barriers.flush();
  const auto w = static_cast<std::int32_t>(img.desc.width);
  const auto h = static_cast<std::int32_t>(img.desc.height);
  const VkImageBlit region{
      .srcSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1},
      .srcOffsets = {{0, 0, 0}, {w, h, 1}},
      .dstSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1},
      .dstOffsets = {{0, 0, 0},
                     {static_cast<std::int32_t>(extent.width),
                      static_cast<std::int32_t>(extent.height), 1}}};
  const bool same_size = extent.width == img.desc.width && extent.height == img.desc.height;
  vkCmdBlitImage(cb, source->image, source->layout, target, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1,
                 &region, same_size ? VK_FILTER_NEAREST : VK_FILTER_LINEAR);
  return {};
}

}  // namespace kova_device
