// Barriers derived from what each command touches.
//
// Every buffer and image remembers its last write (or layout change) and the
// stages that have read it since. Before a command runs, its accesses are
// noted one by one; an access that conflicts with that history gets exactly
// the barrier it needs: read after write and write after write wait for the
// writer and make its writes visible, write after read waits for the readers,
// a layout change waits for everything before it. A read after reads, or a
// read of a write already made visible to that stage and access, gets none.
// The history lives with the resource, so a frame also waits correctly on the
// work of the frame before it.
#pragma once

#include <vulkan/vulkan.h>

#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace kova_device {

// One way of touching a resource: the stages, what they do to its memory and,
// for images, the layout they need.
struct Access {
  VkPipelineStageFlags2 stages = VK_PIPELINE_STAGE_2_NONE;
  VkAccessFlags2 access = VK_ACCESS_2_NONE;
  VkImageLayout layout = VK_IMAGE_LAYOUT_UNDEFINED;
};

inline constexpr Access kTransferRead{VK_PIPELINE_STAGE_2_TRANSFER_BIT,
                                      VK_ACCESS_2_TRANSFER_READ_BIT,
                                      VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL};
inline constexpr Access kTransferWrite{VK_PIPELINE_STAGE_2_TRANSFER_BIT,
                                       VK_ACCESS_2_TRANSFER_WRITE_BIT,
                                       VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL};
inline constexpr Access kComputeRead{VK_PIPELINE_STAGE_2_COMPUTE_SHADER_BIT,
                                     VK_ACCESS_2_SHADER_STORAGE_READ_BIT};
// A storage buffer a compute shader writes (and may read: counters, offsets).
inline constexpr Access kComputeWrite{
    VK_PIPELINE_STAGE_2_COMPUTE_SHADER_BIT,
    VK_ACCESS_2_SHADER_STORAGE_READ_BIT | VK_ACCESS_2_SHADER_STORAGE_WRITE_BIT};
inline constexpr Access kVertexRead{VK_PIPELINE_STAGE_2_VERTEX_SHADER_BIT,
                                    VK_ACCESS_2_SHADER_STORAGE_READ_BIT};
inline constexpr Access kIndirectRead{VK_PIPELINE_STAGE_2_DRAW_INDIRECT_BIT,
                                      VK_ACCESS_2_INDIRECT_COMMAND_READ_BIT};
// Attachments are loaded (read) and stored (written) by every rendering.
inline constexpr Access kColorAttachment{
    VK_PIPELINE_STAGE_2_COLOR_ATTACHMENT_OUTPUT_BIT,
    VK_ACCESS_2_COLOR_ATTACHMENT_READ_BIT | VK_ACCESS_2_COLOR_ATTACHMENT_WRITE_BIT,
    VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL};
inline constexpr Access kDepthAttachment{
    VK_PIPELINE_STAGE_2_EARLY_FRAGMENT_TESTS_BIT | VK_PIPELINE_STAGE_2_LATE_FRAGMENT_TESTS_BIT,
    VK_ACCESS_2_DEPTH_STENCIL_ATTACHMENT_READ_BIT | VK_ACCESS_2_DEPTH_STENCIL_ATTACHMENT_WRITE_BIT,
    VK_IMAGE_LAYOUT_DEPTH_ATTACHMENT_OPTIMAL};
inline constexpr Access kHostRead{VK_PIPELINE_STAGE_2_HOST_BIT, VK_ACCESS_2_HOST_READ_BIT};

// The access bits that write memory.
inline constexpr VkAccessFlags2 kWriteAccess =
    VK_ACCESS_2_SHADER_WRITE_BIT | VK_ACCESS_2_SHADER_STORAGE_WRITE_BIT |
    VK_ACCESS_2_TRANSFER_WRITE_BIT | VK_ACCESS_2_COLOR_ATTACHMENT_WRITE_BIT |
    VK_ACCESS_2_DEPTH_STENCIL_ATTACHMENT_WRITE_BIT | VK_ACCESS_2_HOST_WRITE_BIT |
    VK_ACCESS_2_MEMORY_WRITE_BIT;

// What a resource has been through since its last write.
struct SyncState {
  VkPipelineStageFlags2 write_stages = VK_PIPELINE_STAGE_2_NONE;  // last write or layout change
  VkAccessFlags2 write_access = VK_ACCESS_2_NONE;  // none after a layout change alone
  VkPipelineStageFlags2 read_stages = VK_PIPELINE_STAGE_2_NONE;  // reads since then
  // The (stages, access) pairs that write has been made visible to (room for
  // every kind of read above); when the list is full the oldest is
  // forgotten, which costs at most a spare barrier.
  std::array<std::pair<VkPipelineStageFlags2, VkAccessFlags2>, 6> visible{};
  std::uint8_t visible_count = 0;
};

// The source half of a barrier; the destination is the access itself.
struct Dependency {
  VkPipelineStageFlags2 src_stages = VK_PIPELINE_STAGE_2_NONE;
  VkAccessFlags2 src_access = VK_ACCESS_2_NONE;
  VkImageLayout old_layout = VK_IMAGE_LAYOUT_UNDEFINED;
};

// The barrier that access `a` needs after the history in `state`, if any, and
// the history with `a` added. `layout` is the image's current layout (moved
// to a.layout), or null for a buffer.
[[nodiscard]] std::optional<Dependency> noteAccess(SyncState& state, VkImageLayout* layout,
                                                   const Access& a) noexcept;

struct GpuBuffer;
struct GpuImage;

// Gathers the barriers of the next command and records them in one call.
class Barriers {
 public:
  explicit Barriers(VkCommandBuffer cb) noexcept : cb_(cb) {}

  // Notes that the next command touches the resource as `a`.
  void note(GpuBuffer& buffer, const Access& a);
  void note(GpuImage& image, const Access& a);
  [[nodiscard]] bool pending() const noexcept { return !buffers_.empty() || !images_.empty(); }
  // Records the pending barriers (none: nothing is recorded).
  void flush();
  // Returns every resource noted so far to its history before the first
  // note: the recording is abandoned and never reaches the device.
  void undo() noexcept;
  // Barriers recorded so far.
  [[nodiscard]] std::uint64_t recorded() const noexcept { return recorded_; }

 private:
  struct Saved {
    SyncState* state;
    SyncState old;
    VkImageLayout* layout;
    VkImageLayout old_layout;
  };
  VkCommandBuffer cb_;
  std::vector<VkBufferMemoryBarrier2> buffers_;
  std::vector<VkImageMemoryBarrier2> images_;
  std::vector<Saved> saved_;
  std::uint64_t recorded_ = 0;
};

// Makes compute-shader writes visible to the host once the submission is done.
void computeToHost(VkCommandBuffer cb);

}  // namespace kova_device
