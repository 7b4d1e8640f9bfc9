// Blocks of device memory and the first-fit ranges inside them
// (vulkan_memory.hpp).
#include "vulkan_memory.hpp"

#include <algorithm>

#include "vulkan_state.hpp"

namespace kova_device {

RangeAllocator::RangeAllocator(std::uint64_t capacity) : capacity_(capacity) {
  if (capacity > 0) free_.emplace(0, capacity);
}

std::optional<std::uint64_t> RangeAllocator::allocate(std::uint64_t size, std::uint64_t alignment) {
  size = std::max<std::uint64_t>(size, 1);
  alignment = std::max<std::uint64_t>(alignment, 1);
  for (auto it = free_.begin(); it != free_.end(); ++it) {
    const auto [start, bytes] = *it;
    const std::uint64_t at = (start + alignment - 1) / alignment * alignment;
    const std::uint64_t end = start + bytes;
    if (at < start || at > end || end - at < size) continue;
    // The free range splits into the padding before and the rest after.
    free_.erase(it);
    if (at > start) free_.emplace(start, at - start);
    if (end > at + size) free_.emplace(at + size, end - (at + size));
    used_.emplace(at, size);
    return at;
  }
  return std::nullopt;
}

void RangeAllocator::free(std::uint64_t offset) noexcept {
  const auto used = used_.find(offset);
  if (used == used_.end()) return;
  std::uint64_t start = offset;
  std::uint64_t end = offset + used->second;
  used_.erase(used);
  // Merges with the free neighbours on both sides.
  auto next = free_.lower_bound(start);
  if (next != free_.end() && next->first == end) {
    end += next->second;
    next = free_.erase(next);
  }
  if (next != free_.begin()) {
    const auto prev = std::prev(next);
    if (prev->first + prev->second == start) {
      start = prev->first;
      free_.erase(prev);
    }
  }
  free_.emplace(start, end - start);
}

std::uint64_t RangeAllocator::freeBytes() const noexcept {
  std::uint64_t total = 0;
  for (const auto& [offset, bytes] : free_) total += bytes;
  return total;
}

DeviceMemory::DeviceMemory(VkDevice device, const VkPhysicalDeviceMemoryProperties& types)
    : device_(device), types_(types) {}

DeviceMemory::~DeviceMemory() {
  for (Pool& pool : pools_) {
    for (Block& block : pool.blocks) release(block);
  }
}

std::uint64_t DeviceMemory::liveBlocks() const noexcept {
  std::uint64_t n = 0;
  for (const Pool& pool : pools_) {
    for (const Block& block : pool.blocks) n += block.ranges ? 1 : 0;
  }
  return n;
}

DeviceMemory::Pool& DeviceMemory::poolFor(std::uint32_t type, bool linear, std::uint32_t& index) {
  for (index = 0; index < pools_.size(); ++index) {
    if (pools_[index].type == type && pools_[index].linear == linear) return pools_[index];
  }
  const VkMemoryPropertyFlags flags = types_.memoryTypes[type].propertyFlags;
  pools_.push_back(Pool{.type = type,
                        .linear = linear,
                        .host_visible = (flags & VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT) != 0,
                        .blocks = {}});
  return pools_.back();
}

std::uint32_t DeviceMemory::newBlock(Pool& pool, VkDeviceSize bytes) {
  VkMemoryAllocateInfo info{.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO,
                            .allocationSize = bytes,
                            .memoryTypeIndex = pool.type};
  Block block;
  check(vkAllocateMemory(device_, &info, nullptr, &block.memory), "vkAllocateMemory");
  if (pool.host_visible) {
    const VkResult mapped = vkMapMemory(device_, block.memory, 0, VK_WHOLE_SIZE, 0, &block.mapped);
    if (mapped != VK_SUCCESS) {
      vkFreeMemory(device_, block.memory, nullptr);
      check(mapped, "vkMapMemory");
    }
  }
  block.ranges = std::make_unique<RangeAllocator>(bytes);
  for (std::uint32_t i = 0; i < pool.blocks.size(); ++i) {
    if (!pool.blocks[i].ranges) {
      pool.blocks[i] = std::move(block);
      return i;
    }
  }
  pool.blocks.push_back(std::move(block));
  return static_cast<std::uint32_t>(pool.blocks.size() - 1);
}

void DeviceMemory::release(Block& block) noexcept {
  if (!block.ranges) return;
  if (block.mapped != nullptr) vkUnmapMemory(device_, block.memory);
  vkFreeMemory(device_, block.memory, nullptr);
  block = Block{};
}

MemorySlice DeviceMemory::allocate(const VkMemoryRequirements& req, VkMemoryPropertyFlags wanted,
                                   bool linear) {
  std::uint32_t type = 0;
  while (type < types_.memoryTypeCount &&
         !((req.memoryTypeBits & (1u << type)) &&
           (types_.memoryTypes[type].propertyFlags & wanted) == wanted))
    ++type;
  if (type == types_.memoryTypeCount) throw VulkanFailure("no suitable memory type");
  std::uint32_t pool_index = 0;
  Pool& pool = poolFor(type, linear, pool_index);
  MemorySlice slice{.pool = pool_index};
  std::optional<std::uint64_t> at;
  if (req.size <= kBlockBytes / 2) {
    for (std::uint32_t i = 0; i < pool.blocks.size() && !at; ++i) {
      Block& block = pool.blocks[i];
      if (!block.ranges || block.dedicated) continue;
      at = block.ranges->allocate(req.size, req.alignment);
      slice.block = i;
    }
  }
  if (!at) {
    // A large resource gets a block of its own size, so that none is wasted;
    // so does a small one when a whole block is more than the heap can give.
    bool dedicated = req.size > kBlockBytes / 2;
    try {
      slice.block = newBlock(pool, dedicated ? req.size : kBlockBytes);
    } catch (const VulkanFailure&) {
      if (dedicated) throw;
      dedicated = true;
      slice.block = newBlock(pool, req.size);
    }
    pool.blocks[slice.block].dedicated = dedicated;
    at = pool.blocks[slice.block].ranges->allocate(req.size, req.alignment);
  }
  const Block& block = pool.blocks[slice.block];
  slice.memory = block.memory;
  slice.offset = *at;
  if (block.mapped != nullptr) slice.mapped = static_cast<std::byte*>(block.mapped) + *at;
  ++live_slices_;
  return slice;
}

void DeviceMemory::free(const MemorySlice& slice) noexcept {
  if (slice.memory == VK_NULL_HANDLE) return;
  Pool& pool = pools_[slice.pool];
  Block& block = pool.blocks[slice.block];
  block.ranges->free(slice.offset);
  --live_slices_;
  if (block.ranges->liveRanges() != 0) return;
  // A shared block is kept while it is its pool's only one.
  const auto others = std::count_if(pool.blocks.begin(), pool.blocks.end(), [&](const Block& b) {
    return b.ranges && &b != &block && !b.dedicated;
  });
  if (block.dedicated || others > 0) release(block);
}

}  // namespace kova_device
