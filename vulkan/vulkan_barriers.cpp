// The hazard rules of vulkan_barriers.hpp and their recording.
#include "vulkan_barriers.hpp"

#include "vulkan_state.hpp"

namespace kova_device {
namespace {

bool visibleTo(const SyncState& s, const Access& a) noexcept {
  for (std::uint8_t i = 0; i < s.visible_count; ++i) {
    const auto& [stages, access] = s.visible[i];
    if ((a.stages & ~stages) == 0 && (a.access & ~access) == 0) return true;
  }
  return false;
}

void makeVisible(SyncState& s, const Access& a) noexcept {
  if (s.visible_count == s.visible.size()) {
    for (std::size_t i = 1; i < s.visible.size(); ++i) s.visible[i - 1] = s.visible[i];
    --s.visible_count;
  }
  s.visible[s.visible_count++] = {a.stages, a.access};
}

}  // namespace

std::optional<Dependency> noteAccess(SyncState& s, VkImageLayout* layout,
                                     const Access& a) noexcept {
  const bool writes = (a.access & kWriteAccess) != 0;
  const bool relayout = layout != nullptr && *layout != a.layout;
  std::optional<Dependency> dep;
  if (relayout) {
    // A layout change writes the whole image: after every access before it.
    dep = Dependency{s.write_stages | s.read_stages, s.write_access, *layout};
  } else {
    Dependency d{VK_PIPELINE_STAGE_2_NONE, VK_ACCESS_2_NONE,
                 layout != nullptr ? *layout : VK_IMAGE_LAYOUT_UNDEFINED};
    bool needed = false;
    if (s.write_stages != VK_PIPELINE_STAGE_2_NONE && !visibleTo(s, a)) {
      d.src_stages |= s.write_stages;  // after a write, not yet visible here
      d.src_access |= s.write_access;
      needed = true;
    }
    if (writes && s.read_stages != VK_PIPELINE_STAGE_2_NONE) {
      d.src_stages |= s.read_stages;  // a write waits for the reads before it
      needed = true;
    }
    if (needed) dep = d;
  }

  if (writes) {
    s = SyncState{a.stages, a.access & kWriteAccess, VK_PIPELINE_STAGE_2_NONE, {}, 0};
  } else if (relayout) {
    // The change is the last write; this access sees it and reads after it.
    s = SyncState{a.stages, VK_ACCESS_2_NONE, a.stages, {}, 0};
    makeVisible(s, a);
  } else {
    s.read_stages |= a.stages;
    if (dep) makeVisible(s, a);
  }
  if (layout != nullptr) *layout = a.layout;
  return dep;
}

void Barriers::note(GpuBuffer& buffer, const Access& a) {
  saved_.push_back(Saved{&buffer.sync, buffer.sync, nullptr, VK_IMAGE_LAYOUT_UNDEFINED});
  const std::optional<Dependency> dep = noteAccess(buffer.sync, nullptr, a);
  if (!dep) return;
  buffers_.push_back(VkBufferMemoryBarrier2{.sType = VK_STRUCTURE_TYPE_BUFFER_MEMORY_BARRIER_2,
                                            .srcStageMask = dep->src_stages,
                                            .srcAccessMask = dep->src_access,
                                            .dstStageMask = a.stages,
                                            .dstAccessMask = a.access,
                                            .srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED,
                                            .dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED,
                                            .buffer = buffer.buffer,
                                            .offset = 0,
                                            .size = VK_WHOLE_SIZE});
}

void Barriers::note(GpuImage& image, const Access& a) {
  saved_.push_back(Saved{&image.sync, image.sync, &image.layout, image.layout});
  const std::optional<Dependency> dep = noteAccess(image.sync, &image.layout, a);
  if (!dep) return;
  images_.push_back(VkImageMemoryBarrier2{.sType = VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER_2,
                                          .srcStageMask = dep->src_stages,
                                          .srcAccessMask = dep->src_access,
                                          .dstStageMask = a.stages,
                                          .dstAccessMask = a.access,
                                          .oldLayout = dep->old_layout,
                                          .newLayout = a.layout,
                                          .srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED,
                                          .dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED,
                                          .image = image.image,
                                          .subresourceRange = {image.aspect, 0, 1, 0, 1}});
}

void Barriers::flush() {
  if (!pending()) return;
  const VkDependencyInfo dep{.sType = VK_STRUCTURE_TYPE_DEPENDENCY_INFO,
                             .bufferMemoryBarrierCount = static_cast<std::uint32_t>(buffers_.size()),
                             .pBufferMemoryBarriers = buffers_.data(),
                             .imageMemoryBarrierCount = static_cast<std::uint32_t>(images_.size()),
                             .pImageMemoryBarriers = images_.data()};
  vkCmdPipelineBarrier2(cb_, &dep);
  recorded_ += buffers_.size() + images_.size();
  buffers_.clear();
  images_.clear();
}

void Barriers::undo() noexcept {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    *it->state = it->old;
    if (it->layout != nullptr) *it->layout = it->old_layout;
  }
  saved_.clear();
  buffers_.clear();
  images_.clear();
}

void computeToHost(VkCommandBuffer cb) {
  const VkMemoryBarrier2 barrier{.sType = VK_STRUCTURE_TYPE_MEMORY_BARRIER_2,
                                 .srcStageMask = VK_PIPELINE_STAGE_2_COMPUTE_SHADER_BIT,
                                 .srcAccessMask = VK_ACCESS_2_SHADER_STORAGE_WRITE_BIT,
                                 .dstStageMask = VK_PIPELINE_STAGE_2_HOST_BIT,
                                 .dstAccessMask = VK_ACCESS_2_HOST_READ_BIT};
  const VkDependencyInfo dep{.sType = VK_STRUCTURE_TYPE_DEPENDENCY_INFO,
                             .memoryBarrierCount = 1,
                             .pMemoryBarriers = &barrier};
  vkCmdPipelineBarrier2(cb, &dep);
}

}  // namespace kova_device
