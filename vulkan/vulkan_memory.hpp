// Device memory for the Vulkan device's buffers and images, carved out of a
// few large blocks instead of one vkAllocateMemory per resource.
//
// Each pool holds blocks of one memory type and one kind of resource:
// buffers (linear) and optimal-tiling images never share a block, so the
// device's bufferImageGranularity can never put a buffer and an image on the
// same page. Inside a block, ranges are handed out first-fit at the
// resource's alignment (RangeAllocator); freed ranges merge with their free
// neighbours. A resource larger than half a block (or any, when the heap
// cannot give a whole block) gets a block of its own, freed with it; such
// a block is never shared. An emptied block goes back to the driver unless it is its
// pool's last shared one, kept for the next resource of its kind.
#pragma once

#include <vulkan/vulkan.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace kova_device {

// First-fit ranges of [0, capacity): the arithmetic of one block.
class RangeAllocator {
 public:
  explicit RangeAllocator(std::uint64_t capacity);

  // The offset of `size` bytes at a multiple of `alignment` (a power of
  // two), or nothing when no free range holds them. Zero bytes take one.
  [[nodiscard]] std::optional<std::uint64_t> allocate(std::uint64_t size, std::uint64_t alignment);
  // Returns the range allocate() gave at `offset`; an offset it did not give
  // is ignored.
  void free(std::uint64_t offset) noexcept;

  [[nodiscard]] std::uint64_t capacity() const noexcept { return capacity_; }
  [[nodiscard]] std::size_t liveRanges() const noexcept { return used_.size(); }
  // Bytes not in any live range (alignment padding counts as free).
  [[nodiscard]] std::uint64_t freeBytes() const noexcept;

 private:
  std::uint64_t capacity_;
  std::map<std::uint64_t, std::uint64_t> free_;  // offset -> bytes; never adjacent
  std::map<std::uint64_t, std::uint64_t> used_;  // offset -> bytes
};

// Where a buffer or image lives: a range of one block.
struct MemorySlice {
  VkDeviceMemory memory = VK_NULL_HANDLE;
  VkDeviceSize offset = 0;
  void* mapped = nullptr;  // host-visible memory: the range's first byte
  std::uint32_t pool = 0;
  std::uint32_t block = 0;
};

class DeviceMemory {
 public:
  // Bytes of a block; a resource above half of it gets a block of its own.
  static constexpr VkDeviceSize kBlockBytes = VkDeviceSize{64} << 20;

  DeviceMemory() = default;
  DeviceMemory(VkDevice device, const VkPhysicalDeviceMemoryProperties& types);
  DeviceMemory(const DeviceMemory&) = delete;
  DeviceMemory& operator=(const DeviceMemory&) = delete;
  ~DeviceMemory();

  // Memory for a resource with requirements `req` in a type with `wanted`
  // properties; `linear` for buffers, false for optimal-tiling images.
  // Host-visible blocks stay mapped. Throws VulkanFailure.
  [[nodiscard]] MemorySlice allocate(const VkMemoryRequirements& req, VkMemoryPropertyFlags wanted,
                                     bool linear);
  void free(const MemorySlice& slice) noexcept;

  // Slices handed out and not freed: one per live buffer or image.
  [[nodiscard]] std::uint64_t liveSlices() const noexcept { return live_slices_; }
  // Blocks held from the driver (vkAllocateMemory less vkFreeMemory).
  [[nodiscard]] std::uint64_t liveBlocks() const noexcept;

 private:
  struct Block {
    VkDeviceMemory memory = VK_NULL_HANDLE;
    void* mapped = nullptr;
    std::unique_ptr<RangeAllocator> ranges;  // null: a free slot
    bool dedicated = false;                  // one resource's own block
  };
  struct Pool {
    std::uint32_t type = 0;
    bool linear = false;
    bool host_visible = false;
    std::vector<Block> blocks;
  };

  Pool& poolFor(std::uint32_t type, bool linear, std::uint32_t& index);
  std::uint32_t newBlock(Pool& pool, VkDeviceSize bytes);
  void release(Block& block) noexcept;

  VkDevice device_ = VK_NULL_HANDLE;
  VkPhysicalDeviceMemoryProperties types_{};
  std::vector<Pool> pools_;
  std::uint64_t live_slices_ = 0;
};

}  // namespace kova_device
