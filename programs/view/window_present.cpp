#include "window_present.hpp"

#define GLFW_INCLUDE_VULKAN
#include <GLFW/glfw3.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "kova_vulkan_present.hpp"

namespace kova_view {
namespace {

struct PresentFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void check(VkResult r, const char* what) {
  if (r != VK_SUCCESS)
    throw PresentFailure(std::string(what) + " failed (VkResult " + std::to_string(r) + ")");
}

// A barrier on one whole colour image.
void imageBarrier(VkCommandBuffer cb, VkImage image, VkImageLayout from, VkImageLayout to,
                  VkPipelineStageFlags2 src_stage, VkAccessFlags2 src_access,
                  VkPipelineStageFlags2 dst_stage, VkAccessFlags2 dst_access) {
  const VkImageMemoryBarrier2 barrier{.sType = VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER_2,
                                      .srcStageMask = src_stage,
                                      .srcAccessMask = src_access,
                                      .dstStageMask = dst_stage,
                                      .dstAccessMask = dst_access,
                                      .oldLayout = from,
                                      .newLayout = to,
                                      .srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED,
                                      .dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED,
                                      .image = image,
                                      .subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1}};
  const VkDependencyInfo dep{.sType = VK_STRUCTURE_TYPE_DEPENDENCY_INFO,
                             .imageMemoryBarrierCount = 1,
                             .pImageMemoryBarriers = &barrier};
  vkCmdPipelineBarrier2(cb, &dep);
}

}  // namespace

Presenter::Presenter(kova_device::VulkanDevice& device, GLFWwindow* window, bool vsync)
    : device_(device), window_(window), vsync_(vsync) {}

std::expected<std::unique_ptr<Presenter>, std::string> Presenter::create(
    kova_device::VulkanDevice& device, GLFWwindow* window, bool vsync) try {
  std::unique_ptr<Presenter> p(new Presenter(device, window, vsync));
  const kova_device::VulkanHandles h = kova_device::vulkanHandles(device);
  p->instance_ = h.instance;
  p->physical_ = h.physical;
  p->vk_ = h.device;
  p->queue_ = h.queue;
  check(glfwCreateWindowSurface(h.instance, window, nullptr, &p->surface_),
        "glfwCreateWindowSurface");
  VkBool32 supported = VK_FALSE;
  check(vkGetPhysicalDeviceSurfaceSupportKHR(h.physical, h.queue_family, p->surface_, &supported),
        "vkGetPhysicalDeviceSurfaceSupportKHR");
  if (supported != VK_TRUE)
    return std::unexpected(device.name() + " cannot present to this window from its queue");
  const VkCommandPoolCreateInfo pool{.sType = VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO,
                                     .flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT,
                                     .queueFamilyIndex = h.queue_family};
  check(vkCreateCommandPool(p->vk_, &pool, nullptr, &p->pool_), "vkCreateCommandPool");
  const VkCommandBufferAllocateInfo cb{.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO,
                                       .commandPool = p->pool_,
                                       .level = VK_COMMAND_BUFFER_LEVEL_PRIMARY,
                                       .commandBufferCount = 1};
  check(vkAllocateCommandBuffers(p->vk_, &cb, &p->cb_), "vkAllocateCommandBuffers");
  const VkFenceCreateInfo fence{.sType = VK_STRUCTURE_TYPE_FENCE_CREATE_INFO};
  check(vkCreateFence(p->vk_, &fence, nullptr, &p->fence_), "vkCreateFence");
  const VkSemaphoreCreateInfo sem{.sType = VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO};
  check(vkCreateSemaphore(p->vk_, &sem, nullptr, &p->acquired_), "vkCreateSemaphore");
  p->build();
  return p;
} catch (const PresentFailure& e) {
  return std::unexpected(std::string(e.what()));
}

Presenter::~Presenter() {
  if (vk_ == VK_NULL_HANDLE) return;
  vkDeviceWaitIdle(vk_);
  destroySwapchain();
  destroy(upload_);
  destroy(readback_);
  vkDestroySemaphore(vk_, acquired_, nullptr);
  vkDestroyFence(vk_, fence_, nullptr);
  vkDestroyCommandPool(vk_, pool_, nullptr);
  vkDestroySurfaceKHR(instance_, surface_, nullptr);
}

const char* Presenter::presentModeName() const noexcept {
  switch (mode_) {
    case VK_PRESENT_MODE_FIFO_KHR:
      return "fifo (vsync)";
    case VK_PRESENT_MODE_MAILBOX_KHR:
      return "mailbox";
    case VK_PRESENT_MODE_IMMEDIATE_KHR:
      return "immediate";
    default:
      return "other";
  }
}

void Presenter::destroySwapchain() noexcept {
  for (VkSemaphore s : rendered_) vkDestroySemaphore(vk_, s, nullptr);
  rendered_.clear();
  images_.clear();
  vkDestroySwapchainKHR(vk_, swapchain_, nullptr);
  swapchain_ = VK_NULL_HANDLE;
}

void Presenter::build() {
  vkDeviceWaitIdle(vk_);
  stale_ = false;
  VkSurfaceCapabilitiesKHR caps{};
  check(vkGetPhysicalDeviceSurfaceCapabilitiesKHR(physical_, surface_, &caps),
        "vkGetPhysicalDeviceSurfaceCapabilitiesKHR");
  VkExtent2D extent = caps.currentExtent;
  if (extent.width == UINT32_MAX) {
    int w = 0, h = 0;
    glfwGetFramebufferSize(window_, &w, &h);
    extent = {std::clamp(static_cast<std::uint32_t>(std::max(w, 0)), caps.minImageExtent.width,
                         caps.maxImageExtent.width),
              std::clamp(static_cast<std::uint32_t>(std::max(h, 0)), caps.minImageExtent.height,
                         caps.maxImageExtent.height)};
  }
  destroySwapchain();
  extent_ = extent;
  if (extent.width == 0 || extent.height == 0) return;  // minimised: nothing to show

  std::uint32_t n = 0;
  vkGetPhysicalDeviceSurfaceFormatsKHR(physical_, surface_, &n, nullptr);
  std::vector<VkSurfaceFormatKHR> formats(n);
  vkGetPhysicalDeviceSurfaceFormatsKHR(physical_, surface_, &n, formats.data());
  // Unorm formats show the bytes the device rendered as they are, as the PNGs hold them.
  VkSurfaceFormatKHR chosen = formats.empty() ? VkSurfaceFormatKHR{} : formats[0];
  for (VkFormat want : {VK_FORMAT_R8G8B8A8_UNORM, VK_FORMAT_B8G8R8A8_UNORM}) {
    for (const VkSurfaceFormatKHR& f : formats)
      if (f.format == want) chosen = f;
  }
  if (chosen.format != VK_FORMAT_B8G8R8A8_UNORM && chosen.format != VK_FORMAT_R8G8B8A8_UNORM)
    throw PresentFailure("the window offers no 8-bit RGBA or BGRA unorm format");
  format_ = chosen.format;

  vkGetPhysicalDeviceSurfacePresentModesKHR(physical_, surface_, &n, nullptr);
  std::vector<VkPresentModeKHR> modes(n);
  vkGetPhysicalDeviceSurfacePresentModesKHR(physical_, surface_, &n, modes.data());
  mode_ = VK_PRESENT_MODE_FIFO_KHR;  // always offered
  if (!vsync_) {
    for (VkPresentModeKHR want : {VK_PRESENT_MODE_IMMEDIATE_KHR, VK_PRESENT_MODE_MAILBOX_KHR})
      if (std::find(modes.begin(), modes.end(), want) != modes.end()) mode_ = want;
  }
  if ((caps.supportedUsageFlags & VK_IMAGE_USAGE_TRANSFER_DST_BIT) == 0)
    throw PresentFailure("the window's images cannot be written by transfers");
  can_read_ = (caps.supportedUsageFlags & VK_IMAGE_USAGE_TRANSFER_SRC_BIT) != 0;
  std::uint32_t count = caps.minImageCount + 1;
  if (caps.maxImageCount != 0) count = std::min(count, caps.maxImageCount);
  VkCompositeAlphaFlagBitsKHR alpha = VK_COMPOSITE_ALPHA_OPAQUE_BIT_KHR;
  if ((caps.supportedCompositeAlpha & alpha) == 0)
    alpha = static_cast<VkCompositeAlphaFlagBitsKHR>(caps.supportedCompositeAlpha &
                                                     -caps.supportedCompositeAlpha);
  VkImageUsageFlags usage = VK_IMAGE_USAGE_TRANSFER_DST_BIT;
  if (can_read_) usage |= VK_IMAGE_USAGE_TRANSFER_SRC_BIT;
  const VkSwapchainCreateInfoKHR info{
      .sType = VK_STRUCTURE_TYPE_SWAPCHAIN_CREATE_INFO_KHR,
      .surface = surface_,
      .minImageCount = count,
      .imageFormat = chosen.format,
      .imageColorSpace = chosen.colorSpace,
      .imageExtent = extent,
      .imageArrayLayers = 1,
      .imageUsage = usage,
      .imageSharingMode = VK_SHARING_MODE_EXCLUSIVE,
      .preTransform = caps.currentTransform,
      .compositeAlpha = alpha,
      .presentMode = mode_,
      .clipped = VK_TRUE};
  check(vkCreateSwapchainKHR(vk_, &info, nullptr, &swapchain_), "vkCreateSwapchainKHR");
  vkGetSwapchainImagesKHR(vk_, swapchain_, &n, nullptr);
  images_.resize(n);
  vkGetSwapchainImagesKHR(vk_, swapchain_, &n, images_.data());
  const VkSemaphoreCreateInfo sem{.sType = VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO};
  rendered_.resize(n, VK_NULL_HANDLE);
  for (VkSemaphore& s : rendered_) check(vkCreateSemaphore(vk_, &sem, nullptr, &s), "vkCreateSemaphore");
}

void Presenter::ensure(HostBuffer& b, VkDeviceSize size, VkBufferUsageFlags usage) {
  if (b.buffer != VK_NULL_HANDLE && b.size >= size) return;
  destroy(b);
  const VkBufferCreateInfo info{.sType = VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO,
                                .size = size,
                                .usage = usage,
                                .sharingMode = VK_SHARING_MODE_EXCLUSIVE};
  check(vkCreateBuffer(vk_, &info, nullptr, &b.buffer), "vkCreateBuffer");
  b.size = size;
  VkMemoryRequirements req{};
  vkGetBufferMemoryRequirements(vk_, b.buffer, &req);
  VkPhysicalDeviceMemoryProperties props{};
  vkGetPhysicalDeviceMemoryProperties(physical_, &props);
  constexpr VkMemoryPropertyFlags want =
      VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
  for (std::uint32_t t = 0; t < props.memoryTypeCount; ++t) {
    if ((req.memoryTypeBits & (1u << t)) && (props.memoryTypes[t].propertyFlags & want) == want) {
      const VkMemoryAllocateInfo alloc{.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO,
                                       .allocationSize = req.size,
                                       .memoryTypeIndex = t};
      check(vkAllocateMemory(vk_, &alloc, nullptr, &b.memory), "vkAllocateMemory");
      check(vkBindBufferMemory(vk_, b.buffer, b.memory, 0), "vkBindBufferMemory");
      check(vkMapMemory(vk_, b.memory, 0, VK_WHOLE_SIZE, 0, &b.mapped), "vkMapMemory");
      return;
    }
  }
  throw PresentFailure("no host-visible memory for the panel");
}

void Presenter::destroy(HostBuffer& b) noexcept {
  if (b.mapped != nullptr) vkUnmapMemory(vk_, b.memory);
  vkDestroyBuffer(vk_, b.buffer, nullptr);
  vkFreeMemory(vk_, b.memory, nullptr);
  b = HostBuffer{};
}

std::expected<bool, std::string> Presenter::present(kova_device::ImageId color, const Panel& panel,
                                                    std::vector<std::uint8_t>* screenshot) try {
  if (stale_) build();
  if (swapchain_ == VK_NULL_HANDLE) {
    build();  // minimised: look again next frame
    return false;
  }
  if (screenshot != nullptr && !can_read_)
    return std::unexpected(std::string("the window's images cannot be read back for a screenshot"));
  std::uint32_t index = 0;
  const VkResult acquired =
      vkAcquireNextImageKHR(vk_, swapchain_, UINT64_MAX, acquired_, VK_NULL_HANDLE, &index);
  if (acquired == VK_ERROR_OUT_OF_DATE_KHR) {
    build();
    return false;
  }
  if (acquired == VK_SUBOPTIMAL_KHR) stale_ = true;
  else check(acquired, "vkAcquireNextImageKHR");
  const VkImage target = images_[index];

  // The panel, clipped to the picture.
  const std::uint32_t pw = std::min(panel.width, extent_.width);
  const std::uint32_t ph = std::min(panel.height, extent_.height);
  const bool with_panel = pw > 0 && ph > 0;
  if (with_panel) {
    ensure(upload_, panel.pixels.size(), VK_BUFFER_USAGE_TRANSFER_SRC_BIT);
    std::memcpy(upload_.mapped, panel.pixels.data(), panel.pixels.size());
  }
  const VkDeviceSize shot_bytes = VkDeviceSize{extent_.width} * extent_.height * 4;
  if (screenshot != nullptr) ensure(readback_, shot_bytes, VK_BUFFER_USAGE_TRANSFER_DST_BIT);

  check(vkResetCommandBuffer(cb_, 0), "vkResetCommandBuffer");
  const VkCommandBufferBeginInfo begin{.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO,
                                       .flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT};
  check(vkBeginCommandBuffer(cb_, &begin), "vkBeginCommandBuffer");
  imageBarrier(cb_, target, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL,
               VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT, VK_ACCESS_2_NONE,
               VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT, VK_ACCESS_2_TRANSFER_WRITE_BIT);
  if (auto blit = kova_device::recordColorBlit(device_, cb_, color, target, extent_); !blit) {
    vkEndCommandBuffer(cb_);
    throw PresentFailure(blit.error());
  }
  VkImageLayout layout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL;
  if (with_panel) {
    imageBarrier(cb_, target, layout, layout, VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT,
                 VK_ACCESS_2_TRANSFER_WRITE_BIT, VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT,
                 VK_ACCESS_2_TRANSFER_WRITE_BIT);
    const VkBufferImageCopy region{.bufferRowLength = panel.width,
                                   .imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1},
                                   .imageExtent = {pw, ph, 1}};
    vkCmdCopyBufferToImage(cb_, upload_.buffer, target, layout, 1, &region);
  }
  if (screenshot != nullptr) {
    imageBarrier(cb_, target, layout, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL,
                 VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT, VK_ACCESS_2_TRANSFER_WRITE_BIT,
                 VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT, VK_ACCESS_2_TRANSFER_READ_BIT);
    layout = VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL;
    const VkBufferImageCopy region{.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1},
                                   .imageExtent = {extent_.width, extent_.height, 1}};
    vkCmdCopyImageToBuffer(cb_, target, layout, readback_.buffer, 1, &region);
    const VkMemoryBarrier2 to_host{.sType = VK_STRUCTURE_TYPE_MEMORY_BARRIER_2,
                                   .srcStageMask = VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT,
                                   .srcAccessMask = VK_ACCESS_2_TRANSFER_WRITE_BIT,
                                   .dstStageMask = VK_PIPELINE_STAGE_2_HOST_BIT,
                                   .dstAccessMask = VK_ACCESS_2_HOST_READ_BIT};
    const VkDependencyInfo dep{.sType = VK_STRUCTURE_TYPE_DEPENDENCY_INFO,
                               .memoryBarrierCount = 1,
                               .pMemoryBarriers = &to_host};
    vkCmdPipelineBarrier2(cb_, &dep);
  }
  // Presentation waits on the semaphore; no later stage of this queue touches the image.
  imageBarrier(cb_, target, layout, VK_IMAGE_LAYOUT_PRESENT_SRC_KHR,
               VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT, VK_ACCESS_2_TRANSFER_WRITE_BIT,
               VK_PIPELINE_STAGE_2_NONE, VK_ACCESS_2_NONE);
  check(vkEndCommandBuffer(cb_), "vkEndCommandBuffer");

  const VkSemaphoreSubmitInfo wait{.sType = VK_STRUCTURE_TYPE_SEMAPHORE_SUBMIT_INFO,
                                   .semaphore = acquired_,
                                   .stageMask = VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT};
  const VkSemaphoreSubmitInfo signal{.sType = VK_STRUCTURE_TYPE_SEMAPHORE_SUBMIT_INFO,
                                     .semaphore = rendered_[index],
                                     .stageMask = VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT};
  const VkCommandBufferSubmitInfo cbi{.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_SUBMIT_INFO,
                                      .commandBuffer = cb_};
  const VkSubmitInfo2 submit{.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO_2,
                             .waitSemaphoreInfoCount = 1,
                             .pWaitSemaphoreInfos = &wait,
                             .commandBufferInfoCount = 1,
                             .pCommandBufferInfos = &cbi,
                             .signalSemaphoreInfoCount = 1,
                             .pSignalSemaphoreInfos = &signal};
  check(vkResetFences(vk_, 1, &fence_), "vkResetFences");
  check(vkQueueSubmit2(queue_, 1, &submit, fence_), "vkQueueSubmit2");
  const VkPresentInfoKHR info{.sType = VK_STRUCTURE_TYPE_PRESENT_INFO_KHR,
                              .waitSemaphoreCount = 1,
                              .pWaitSemaphores = &rendered_[index],
                              .swapchainCount = 1,
                              .pSwapchains = &swapchain_,
                              .pImageIndices = &index};
  const VkResult presented = vkQueuePresentKHR(queue_, &info);
  // The device's next frame and the next panel reuse what this one read.
  check(vkWaitForFences(vk_, 1, &fence_, VK_TRUE, UINT64_MAX), "vkWaitForFences");
  if (presented == VK_ERROR_OUT_OF_DATE_KHR || presented == VK_SUBOPTIMAL_KHR) stale_ = true;
  else check(presented, "vkQueuePresentKHR");

  if (screenshot != nullptr) {
    const auto* bytes = static_cast<const std::uint8_t*>(readback_.mapped);
    const std::size_t pixels = std::size_t{extent_.width} * extent_.height;
    screenshot->resize(pixels * 3);
    const bool swap = bgra();
    for (std::size_t p = 0; p < pixels; ++p) {
      (*screenshot)[p * 3 + 0] = bytes[p * 4 + (swap ? 2 : 0)];
      (*screenshot)[p * 3 + 1] = bytes[p * 4 + 1];
      (*screenshot)[p * 3 + 2] = bytes[p * 4 + (swap ? 0 : 2)];
    }
  }
  return true;
} catch (const PresentFailure& e) {
  return std::unexpected(std::string(e.what()));
}

}  // namespace kova_view
