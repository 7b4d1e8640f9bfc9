// Releases on the Vulkan device: the random sequences of the CPU device's
// release test, run on both devices in step with the same outcomes and
// messages; released memory really returns; and an image a window host's
// blit still reads is refused until that blit has run.
#include "kova_cpu_device.hpp"
#include "kova_vulkan_present.hpp"
#include "release_sequence.hpp"
#include "vulkan_test_device.hpp"

namespace {

using namespace kova_hostile;
using kova_device::VulkanDevice;

TEST(VulkanRelease, RandomSequencesMatchTheCpuDevice) {
  KOVA_VULKAN_DEVICE_OR_SKIP(vk);
  for (std::uint64_t seed = 1; seed <= 3; ++seed) {
    kova_device::CpuDevice cpu;
    const auto vk_log = releaseSequence(vk, seed, 150);
    const auto cpu_log = releaseSequence(cpu, seed, 150);
    ASSERT_EQ(vk_log.size(), cpu_log.size()) << "seed " << seed;
    for (std::size_t i = 0; i < vk_log.size(); ++i)
      ASSERT_EQ(vk_log[i], cpu_log[i]) << "seed " << seed << ", outcome " << i;
  }
  EXPECT_VALIDATION_SILENT(vk);
}

TEST(VulkanRelease, MemoryReturns) {
  KOVA_VULKAN_DEVICE_OR_SKIP(vk);
  // The read-back's working buffer is made by the first read-back and kept.
  const ImageId first = must(vk.createImage(ImageDescriptor::initKovaRenderTarget(1280, 720)));
  ASSERT_TRUE(vk.readRgb8(first));
  ASSERT_TRUE(vk.releaseImage(first));
  // Every buffer and image holds one range of a memory block.
  const std::uint64_t baseline = vk.liveAllocations();
  const std::uint64_t blocks = vk.memoryBlocks();
  for (int i = 0; i < 200; ++i) {
    const ImageId image = must(vk.createImage(ImageDescriptor::initKovaRenderTarget(1280, 720)));
    const BufferId buffer = must(vk.createBuffer(storageBuffer(1 << 17)));  // 1 MiB
    // Colour and kinds; every 20th also gets its resolved copies by a read-back.
    ASSERT_EQ(vk.liveAllocations(), baseline + 3) << "image " << i;
    if (i % 20 == 0) {
      ASSERT_TRUE(vk.readKinds(image) && vk.readRgb8(image));
    }
    ASSERT_TRUE(vk.releaseImage(image));
    ASSERT_TRUE(vk.releaseBuffer(buffer));
    ASSERT_EQ(vk.liveAllocations(), baseline) << "image " << i;
  }
  // And the blocks go back: none is left over from 200 images and buffers.
  EXPECT_EQ(vk.memoryBlocks(), blocks);
  EXPECT_VALIDATION_SILENT(vk);
}

// A host's command buffer and a blit target, as a window host has them.
struct HostSide {
  VkDevice device = VK_NULL_HANDLE;
  VkCommandPool pool = VK_NULL_HANDLE;
  VkCommandBuffer cb = VK_NULL_HANDLE;
  VkImage target = VK_NULL_HANDLE;
  VkDeviceMemory memory = VK_NULL_HANDLE;
  VkFence fence = VK_NULL_HANDLE;
  HostSide() = default;
  HostSide(const HostSide&) = delete;
  HostSide& operator=(const HostSide&) = delete;
  ~HostSide() {
    vkDestroyFence(device, fence, nullptr);
    vkDestroyImage(device, target, nullptr);
    vkFreeMemory(device, memory, nullptr);
    vkDestroyCommandPool(device, pool, nullptr);
  }

  bool make(const kova_device::VulkanHandles& h, VkExtent2D extent) {
    device = h.device;
    const VkCommandPoolCreateInfo pool_info{
        .sType = VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO,
        .flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT,
        .queueFamilyIndex = h.queue_family};
    if (vkCreateCommandPool(device, &pool_info, nullptr, &pool) != VK_SUCCESS) return false;
    const VkCommandBufferAllocateInfo cb_info{.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO,
                                              .commandPool = pool,
                                              .level = VK_COMMAND_BUFFER_LEVEL_PRIMARY,
                                              .commandBufferCount = 1};
    if (vkAllocateCommandBuffers(device, &cb_info, &cb) != VK_SUCCESS) return false;
    const VkImageCreateInfo image_info{.sType = VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO,
                                       .imageType = VK_IMAGE_TYPE_2D,
                                       .format = VK_FORMAT_R8G8B8A8_UNORM,
                                       .extent = {extent.width, extent.height, 1},
                                       .mipLevels = 1,
                                       .arrayLayers = 1,
                                       .samples = VK_SAMPLE_COUNT_1_BIT,
                                       .tiling = VK_IMAGE_TILING_OPTIMAL,
                                       .usage = VK_IMAGE_USAGE_TRANSFER_DST_BIT,
                                       .sharingMode = VK_SHARING_MODE_EXCLUSIVE,
                                       .initialLayout = VK_IMAGE_LAYOUT_UNDEFINED};
    if (vkCreateImage(device, &image_info, nullptr, &target) != VK_SUCCESS) return false;
    VkMemoryRequirements req{};
    vkGetImageMemoryRequirements(device, target, &req);
    VkPhysicalDeviceMemoryProperties props{};
    vkGetPhysicalDeviceMemoryProperties(h.physical, &props);
    std::uint32_t type = 0;
    while (type < props.memoryTypeCount && (req.memoryTypeBits & (1u << type)) == 0) ++type;
    const VkMemoryAllocateInfo alloc{.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO,
                                     .allocationSize = req.size,
                                     .memoryTypeIndex = type};
    if (vkAllocateMemory(device, &alloc, nullptr, &memory) != VK_SUCCESS) return false;
    if (vkBindImageMemory(device, target, memory, 0) != VK_SUCCESS) return false;
    const VkFenceCreateInfo fence_info{.sType = VK_STRUCTURE_TYPE_FENCE_CREATE_INFO};
    return vkCreateFence(device, &fence_info, nullptr, &fence) == VK_SUCCESS;
  }

  // Begins the command buffer with the target ready for the blit.
  void begin() {
    const VkCommandBufferBeginInfo info{.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO,
                                        .flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT};
    vkBeginCommandBuffer(cb, &info);
    const VkImageMemoryBarrier2 to_dst{.sType = VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER_2,
                                       .srcStageMask = VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT,
                                       .dstStageMask = VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT,
                                       .dstAccessMask = VK_ACCESS_2_TRANSFER_WRITE_BIT,
                                       .oldLayout = VK_IMAGE_LAYOUT_UNDEFINED,
                                       .newLayout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL,
                                       .srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED,
                                       .dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED,
                                       .image = target,
                                       .subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1}};
    const VkDependencyInfo dep{.sType = VK_STRUCTURE_TYPE_DEPENDENCY_INFO,
                               .imageMemoryBarrierCount = 1,
                               .pImageMemoryBarriers = &to_dst};
    vkCmdPipelineBarrier2(cb, &dep);
  }
};

TEST(VulkanRelease, ImageReadByAnUnfinishedBlitIsInUse) {
  KOVA_VULKAN_DEVICE_OR_SKIP(vk);
  const VkExtent2D extent{32, 24};
  const ImageId shown = must(vk.createImage(ImageDescriptor::initKovaRenderTarget(32, 24)));
  const ImageId dropped = must(vk.createImage(ImageDescriptor::initKovaRenderTarget(32, 24)));
  const kova_device::VulkanHandles h = kova_device::vulkanHandles(vk);
  HostSide host;
  ASSERT_TRUE(host.make(h, extent));

  // Recorded and not yet submitted: in use, and the refusal changes nothing.
  host.begin();
  ASSERT_TRUE(kova_device::recordColorBlit(vk, host.cb, shown, host.target, extent));
  ASSERT_EQ(vkEndCommandBuffer(host.cb), VK_SUCCESS);
  const auto early = vk.releaseImage(shown);
  ASSERT_FALSE(early);
  EXPECT_NE(early.error().find("still read"), std::string::npos) << early.error();
  // Submitted and finished: released.
  const VkCommandBufferSubmitInfo cbi{.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_SUBMIT_INFO,
                                      .commandBuffer = host.cb};
  const VkSubmitInfo2 submit{.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO_2,
                             .commandBufferInfoCount = 1,
                             .pCommandBufferInfos = &cbi};
  ASSERT_EQ(vkQueueSubmit2(h.queue, 1, &submit, host.fence), VK_SUCCESS);
  ASSERT_EQ(vkWaitForFences(h.device, 1, &host.fence, VK_TRUE, UINT64_MAX), VK_SUCCESS);
  ASSERT_TRUE(vk.releaseImage(shown));
  EXPECT_FALSE(kova_device::recordColorBlit(vk, host.cb, shown, host.target, extent));

  // A blit recorded and then dropped unsubmitted: the device cannot know it
  // will never run, so the image stays in use. (Nothing else may touch the
  // image then: the device took the blit's layout changes as done.)
  ASSERT_EQ(vkResetCommandBuffer(host.cb, 0), VK_SUCCESS);
  host.begin();
  ASSERT_TRUE(kova_device::recordColorBlit(vk, host.cb, dropped, host.target, extent));
  ASSERT_EQ(vkEndCommandBuffer(host.cb), VK_SUCCESS);
  ASSERT_EQ(vkResetCommandBuffer(host.cb, 0), VK_SUCCESS);
  EXPECT_FALSE(vk.releaseImage(dropped));
  EXPECT_VALIDATION_SILENT(vk);
}

}  // namespace
