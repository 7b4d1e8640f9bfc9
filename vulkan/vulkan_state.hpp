// The inside of VulkanDevice, shared by its set-up and its command recording.
#pragma once

#include <vulkan/vulkan.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "kova_device_checks.hpp"
#include "kova_device_raster.hpp"
#include "kova_device_resources.hpp"
#include "kova_kernel.hpp"
#include "kova_vulkan_device.hpp"
#include "vulkan_barriers.hpp"
#include "vulkan_memory.hpp"

namespace kova_device {

// A failed Vulkan call; caught at the public entry points and returned as an error.
struct VulkanFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void check(VkResult result, const char* what);

// A buffer in a slice of a memory block; host-visible ones stay mapped.
struct GpuBuffer {
  VkBuffer buffer = VK_NULL_HANDLE;
  MemorySlice memory;
  VkDeviceSize size = 0;
  void* mapped = nullptr;
  SyncState sync;  // accesses since the last write, for the barriers
};

struct GpuImage {
  VkImage image = VK_NULL_HANDLE;
  MemorySlice memory;
  VkImageView view = VK_NULL_HANDLE;
  VkImageAspectFlags aspect = VK_IMAGE_ASPECT_COLOR_BIT;
  VkImageLayout layout = VK_IMAGE_LAYOUT_UNDEFINED;  // as of the last recorded command
  SyncState sync;
};

// The programs of the device layer: compute kernels and the raster pipelines' layouts.
enum class Program : std::uint8_t {
  fs_distance,
  point_splats,
  geodesics,
  splat_draw,
  geodesic_draw,
  mesh_draw,
  line_draw,
  tile_lights,    // the built-in compute kernels (kova_tile_lights.hpp)
  deferred_light  // and the deferred lighting (kova_deferred.hpp)
};
inline constexpr std::size_t kProgramCount = 9;

// The usage of every colour image and of its kinds, besides the storage a
// device running deferred frames adds (vulkan_resources.cpp).
inline constexpr VkImageUsageFlags kColorImageUsage = VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT |
                                                      VK_IMAGE_USAGE_TRANSFER_SRC_BIT |
                                                      VK_IMAGE_USAGE_TRANSFER_DST_BIT;

// Whether a program's shaders use doubles (they declare Float64): read from
// their SPIR-V, so a program rewritten in single precision stops needing
// shaderFloat64 by itself (vulkan_setup.cpp).
[[nodiscard]] bool needsFloat64(Program program) noexcept;

// Overwrites the start of a buffer's host copy with data.
template <class B>
void keepHostCopy(B& b, std::span<const std::byte> data) {
  if (b.host.size() < data.size()) b.host.resize(data.size());
  std::copy(data.begin(), data.end(), b.host.begin());
}

struct VulkanDevice::State {
  // Set-up.
  VkInstance instance = VK_NULL_HANDLE;
  VkDebugUtilsMessengerEXT messenger = VK_NULL_HANDLE;
  VkPhysicalDevice physical = VK_NULL_HANDLE;
  VkDevice device = VK_NULL_HANDLE;
  VkQueue queue = VK_NULL_HANDLE;
  std::uint32_t queue_family = 0;
  VkCommandPool pool = VK_NULL_HANDLE;
  VkCommandBuffer commands = VK_NULL_HANDLE;
  VkFence fence = VK_NULL_HANDLE;
  VkPhysicalDeviceMemoryProperties memory{};
  VkDeviceSize max_storage_range = 0;
  std::uint32_t max_image_side = 0;
  std::string name;
  DeviceLimits limits{};
  // Why limits.gbuffer_passes is false: the refusal of the deferred
  // lighting kernel. Empty where deferred frames run.
  std::string no_deferred_lighting;
  // Created with shaderFloat64: the programs that use doubles run here.
  bool float64 = false;
  // Samples per pixel of every image and raster pipeline: 1 or 4.
  VkSampleCountFlagBits samples = VK_SAMPLE_COUNT_4_BIT;
  // Whether `program` runs on this device; the others have no pipeline.
  [[nodiscard]] bool runs(Program program) const noexcept {
    return float64 || !needsFloat64(program);
  }
  // The blocks every buffer and image takes its memory from; freed before the device.
  std::unique_ptr<DeviceMemory> blocks;

  std::uint32_t validation_messages = 0;
  std::string first_validation_message;

  std::array<VkDescriptorSetLayout, kProgramCount> set_layouts{};
  std::array<VkPipelineLayout, kProgramCount> layouts{};
  std::array<VkPipeline, 3> kernels{};  // fs_distance, point_splats, geodesics
  VkPipeline tile_lights = VK_NULL_HANDLE;  // BuiltinKernel::tile_light_culling
  // BuiltinKernel::deferred_lighting, for an rgba8_unorm and an
  // rgba32_float albedo, in the form of the device's sample count.
  std::array<VkPipeline, 2> deferred_light{};
  // splat vert/frag, geodesic vert/frag, mesh vert/frag, line vert/frag,
  // and the mesh's G-buffer fragment shader
  std::array<VkShaderModule, 9> raster_modules{};
  // Whether lines are drawn in VK_EXT_line_rasterization's Bresenham mode
  // (the diamond-exit rule the CPU device follows); without the extension
  // the default line mode draws them, close to it but not the same.
  bool bresenham_lines = false;
  VkDescriptorPool descriptors = VK_NULL_HANDLE;
  std::uint32_t descriptor_sets = 0;  // capacity of `descriptors`

  // Resources made from kova's descriptors, behind generational handles.
  struct Buffer : BufferRecord {
    GpuBuffer gpu;
    // What the host last put in the buffer (uploads as recorded, writeValues),
    // from offset 0: the mesh draws read positions, transforms, the camera
    // block and colours here to hand the GPU single precision, and without
    // double-precision shaders the distances are computed from it. An
    // abandoned recording puts back what its uploads replaced.
    std::vector<std::byte> host;
  };
  struct Image : ImageRecord {
    VkFormat format = VK_FORMAT_UNDEFINED;
    GpuImage gpu;
    GpuImage kinds;  // colour images: what wrote each pixel (R8_UINT)
    // One sample per pixel, made on the first read-back: the colour's mean,
    // sample 0 of depth and kinds.
    GpuImage resolved, resolved_kinds;
    // The camera of the last draw recorded into a depth image since its
    // last clear, which readDepth reads the stored depths with.
    std::optional<DepthCamera> depth_camera;
  };
  // The forms a raster pipeline takes, each made on first use per colour
  // format: its own draw; arcs under an isometric view as lines; a mesh
  // draw that sheds lights (unlit meshes get a fragment shader compiled
  // without the lights' code, which a software rasteriser otherwise runs
  // masked at every fragment); a mesh draw into a G-buffer's four
  // attachments, made per albedo format (the other three are rgba32_float).
  enum class Variant : std::uint8_t { plain, arc_lines, lit, gbuffer };
  struct Made {
    Variant variant;
    VkFormat format;
    VkPipeline pipeline;
  };
  struct Pipeline : PipelineRecord {
    std::vector<Made> made;
  };
  DeviceResources<Buffer, Image, Pipeline> resources;

  // Colour blits recorded into a window host's command buffers
  // (recordColorBlit): each sets its event once the blit has run, and the
  // image counts as in use until then.
  struct PendingBlit {
    ImageId image{};
    VkEvent done = VK_NULL_HANDLE;
  };
  std::vector<PendingBlit> pending_blits;
  // Whether a blit of `image` may still be unfinished; forgets the finished ones.
  bool blitPending(ImageId image);
  void forgetFinishedBlits() noexcept;

  // Working buffers of execute() and the read-backs, grown on demand.
  GpuBuffer staging, splats, arcs, pixels, draw_args, stats, drawn;
  mutable GpuBuffer readback;
  std::vector<DrawTrace>* trace = nullptr;

  ~State();
  void destroy(GpuBuffer& b) noexcept;
  void destroy(GpuImage& i) noexcept;
  void destroy(Image& i) noexcept;

  GpuBuffer makeBuffer(VkDeviceSize size, VkBufferUsageFlags usage, bool host_visible);
  // Replaces `b` by a larger buffer when it holds fewer than `size` bytes.
  void ensure(GpuBuffer& b, VkDeviceSize size, VkBufferUsageFlags usage, bool host_visible);
  GpuImage makeImage(VkFormat format, std::uint32_t width, std::uint32_t height,
                     VkImageUsageFlags usage, VkImageAspectFlags aspect,
                     VkSampleCountFlagBits samples = VK_SAMPLE_COUNT_1_BIT);
  // The pipeline of a draw through p into a colour format; `arc_lines` picks
  // a geodesic pipeline's line variant (isometric views).
  VkPipeline rasterPipeline(Pipeline& p, VkFormat color_format,
                            Variant variant = Variant::plain);
  // Records, submits and waits for a one-off command buffer.
  template <class Record>
  void oneShot(Record record) const;
  void submitAndWait() const;
};

// The one-sample colour of a colour image: the image itself at one sample
// per pixel, else resolved (the mean of the samples) in `cb`: what a window
// host blits into its swapchain.
GpuImage& resolvedColor(VulkanDevice::State& s, VulkanDevice::State::Image& img, VkCommandBuffer cb,
                        Barriers& sync);

template <class Record>
void VulkanDevice::State::oneShot(Record record) const {
  check(vkResetCommandPool(device, pool, 0), "vkResetCommandPool");
  VkCommandBufferBeginInfo begin{.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO,
                                 .flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT};
  check(vkBeginCommandBuffer(commands, &begin), "vkBeginCommandBuffer");
  record(commands);
  check(vkEndCommandBuffer(commands), "vkEndCommandBuffer");
  submitAndWait();
}

}  // namespace kova_device
