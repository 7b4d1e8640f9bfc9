#include "kova_vulkan_present.hpp"

#include "vulkan_state.hpp"

#include <algorithm>
#include <vector>

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
  VulkanDevice::State::Image* found = s.resources.images.find(color);
  if (found == nullptr) return std::unexpected(std::string("unknown colour image"));
  VulkanDevice::State::Image& img = *found;
  if (img.is_depth) return std::unexpected(std::string("not a colour image"));
  if (extent.width == 0 || extent.height == 0)
    return std::unexpected(std::string("empty blit target"));
  // The event that tells the device when the blit has run (see blitPending);
  // those of a host's earlier frames have run by now and go.
  s.forgetFinishedBlits();
  VkEvent done = VK_NULL_HANDLE;
  const VkEventCreateInfo event_info{.sType = VK_STRUCTURE_TYPE_EVENT_CREATE_INFO};
  if (vkCreateEvent(s.device, &event_info, nullptr, &done) != VK_SUCCESS)
    return std::unexpected(std::string("vkCreateEvent failed"));
  // The samples are resolved first (a multisampled image cannot be blitted).
  // Both steps are noted in the images' histories, so that they wait for the
  // frame's rendering and the device's next frame waits for them.
  Barriers barriers(cb);
  GpuImage* source = nullptr;
  try {
    source = &resolvedColor(s, img, cb, barriers);
  } catch (const std::exception& e) {
    vkDestroyEvent(s.device, done, nullptr);
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
  // Set once every command before it, the blit and the resolve included, has
  // completed; the host reads it with vkGetEventStatus.
  const VkMemoryBarrier2 after_blit{.sType = VK_STRUCTURE_TYPE_MEMORY_BARRIER_2,
                                    .srcStageMask = VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT,
                                    .dstStageMask = VK_PIPELINE_STAGE_2_HOST_BIT};
  const VkDependencyInfo dependency{.sType = VK_STRUCTURE_TYPE_DEPENDENCY_INFO,
                                    .memoryBarrierCount = 1,
                                    .pMemoryBarriers = &after_blit};
  vkCmdSetEvent2(cb, done, &dependency);
  s.pending_blits.push_back({color, done});
  return {};
}

// An image is in use while any blit of it has not run: a host that records
// a blit and never submits it keeps the image in use for the device's life,
// which is safe, where guessing that the work was dropped would not be.
bool VulkanDevice::State::blitPending(ImageId image) {
  forgetFinishedBlits();
  return std::ranges::any_of(pending_blits,
                             [&](const PendingBlit& blit) { return blit.image == image; });
}

void VulkanDevice::State::forgetFinishedBlits() noexcept {
  std::erase_if(pending_blits, [&](const PendingBlit& blit) {
    if (vkGetEventStatus(device, blit.done) != VK_EVENT_SET) return false;
    vkDestroyEvent(device, blit.done, nullptr);
    return true;
  });
}

}  // namespace kova_device
