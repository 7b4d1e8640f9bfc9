// Shows the Vulkan device's pictures in a GLFW window: a surface and a
// swapchain on the device's own queue, rebuilt when the window changes size
// or the swapchain goes out of date. Each frame the rendered colour image is
// blitted into the acquired swapchain image, the panel is copied over its top
// left corner, and the image is presented (FIFO, that is vsync, by default).
#pragma once

#include <vulkan/vulkan.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "hud_panel.hpp"
#include "kova_vulkan_device.hpp"

struct GLFWwindow;

namespace kova_view {

class Presenter {
 public:
  [[nodiscard]] static std::expected<std::unique_ptr<Presenter>, std::string> create(
      kova_device::VulkanDevice& device, GLFWwindow* window, bool vsync);
  Presenter(const Presenter&) = delete;
  Presenter& operator=(const Presenter&) = delete;
  ~Presenter();

  // Shows `color` with `panel` over it. Returns false when nothing was shown
  // (the swapchain was rebuilt, or the window is minimised). With
  // `screenshot`, also reads back the picture shown as 8-bit RGB, top row first.
  [[nodiscard]] std::expected<bool, std::string> present(kova_device::ImageId color,
                                                         const Panel& panel,
                                                         std::vector<std::uint8_t>* screenshot);
  // The window changed size: rebuild the swapchain before the next frame.
  void invalidate() noexcept { stale_ = true; }

  [[nodiscard]] VkExtent2D extent() const noexcept { return extent_; }
  [[nodiscard]] bool bgra() const noexcept { return format_ == VK_FORMAT_B8G8R8A8_UNORM; }
  [[nodiscard]] const char* presentModeName() const noexcept;

 private:
  struct HostBuffer {
    VkBuffer buffer = VK_NULL_HANDLE;
    VkDeviceMemory memory = VK_NULL_HANDLE;
    VkDeviceSize size = 0;
    void* mapped = nullptr;
  };
  Presenter(kova_device::VulkanDevice& device, GLFWwindow* window, bool vsync);
  void build();  // (re)creates the swapchain for the window's current size
  void destroySwapchain() noexcept;
  void ensure(HostBuffer& b, VkDeviceSize size, VkBufferUsageFlags usage);
  void destroy(HostBuffer& b) noexcept;

  kova_device::VulkanDevice& device_;
  GLFWwindow* window_;
  bool vsync_;
  VkInstance instance_ = VK_NULL_HANDLE;
  VkPhysicalDevice physical_ = VK_NULL_HANDLE;
  VkDevice vk_ = VK_NULL_HANDLE;
  VkQueue queue_ = VK_NULL_HANDLE;
  VkSurfaceKHR surface_ = VK_NULL_HANDLE;
  VkSwapchainKHR swapchain_ = VK_NULL_HANDLE;
  VkFormat format_ = VK_FORMAT_UNDEFINED;
  VkPresentModeKHR mode_ = VK_PRESENT_MODE_FIFO_KHR;
  VkExtent2D extent_{};
  bool can_read_ = false;  // swapchain images allow transfer reads (screenshots)
  bool stale_ = false;
  std::vector<VkImage> images_;
  std::vector<VkSemaphore> rendered_;  // per swapchain image: the copy is done, present may go
  VkSemaphore acquired_ = VK_NULL_HANDLE;
  VkCommandPool pool_ = VK_NULL_HANDLE;
  VkCommandBuffer cb_ = VK_NULL_HANDLE;
  VkFence fence_ = VK_NULL_HANDLE;
  HostBuffer upload_, readback_;
};

}  // namespace kova_view
