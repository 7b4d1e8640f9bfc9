// The Vulkan device's execute(): the graph is checked whole, then recorded
// into one command buffer, submitted and waited for (vulkan_recorder.hpp).
#include "vulkan_recorder.hpp"

#include <algorithm>
#include <cstring>
#include <variant>

namespace kova_device {
namespace recording {
namespace {

std::unexpected<std::string> fail(std::string message) {
  return std::unexpected(std::move(message));
}

VkDeviceSize alignUp(VkDeviceSize v, VkDeviceSize a) { return (v + a - 1) / a * a; }

}  // namespace

void Recorder::begin() {
  check(vkResetCommandPool(s_.device, s_.pool, 0), "vkResetCommandPool");
  if (s_.descriptors != VK_NULL_HANDLE)
    check(vkResetDescriptorPool(s_.device, s_.descriptors, 0), "vkResetDescriptorPool");
  VkCommandBufferBeginInfo info{.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO,
                                .flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT};
  check(vkBeginCommandBuffer(cb_, &info), "vkBeginCommandBuffer");
  staging_used_ = splats_used_ = stats_used_ = drawn_used_ = 0;
}

std::expected<void, std::string> Recorder::finish() {
  endRendering();
  // The host reads the draws' counters and splats once the submission is done.
  if (!counted_.empty()) computeToHost(cb_);
  // And the triangles' flags, written by fragment shaders.
  if (drawn_used_ > 0) {
    sync_.note(s_.drawn, kHostRead);
    sync_.flush();
  }
  check(vkEndCommandBuffer(cb_), "vkEndCommandBuffer");
  s_.submitAndWait();
  std::string error;
  for (const Counted& c : counted_) {
    if (c.triangles) {
      std::uint32_t drawn = 0;
      for (std::uint32_t i = 0; i < c.count; ++i) {
        std::uint32_t flag;
        std::memcpy(&flag, c.splats + std::size_t{i} * 4, 4);
        drawn += flag != 0 ? 1 : 0;
      }
      stats_.triangles_drawn += drawn;
      continue;
    }
    const std::uint32_t* counters = static_cast<const std::uint32_t*>(c.stats) + c.slot;
    if (c.geodesics) {
      stats_.geodesic_arcs += counters[0];
      if (counters[2] != 0 && error.empty())
        error = "geodesics cover more than " + std::to_string(kPixelCapacity) +
                " pixels in one command";
    } else {
      stats_.points_drawn += counters[0];
      if (s_.trace != nullptr) readTrace(c);
    }
  }
  releaseRetired();
  if (!error.empty()) return fail(error);
  return {};
}

void Recorder::abandon() {
  endRendering();
  vkEndCommandBuffer(cb_);
  vkResetCommandPool(s_.device, s_.pool, 0);
  sync_.undo();
  // Newest first, so that a buffer uploaded twice gets back what it held before.
  for (auto it = host_undo_.rbegin(); it != host_undo_.rend(); ++it) {
    std::vector<std::byte>& host = it->buffer->host;
    host.resize(it->size);
    std::copy(it->start.begin(), it->start.end(), host.begin());
  }
  host_undo_.clear();
  releaseRetired();
}

void Recorder::grow(GpuBuffer& b, VkDeviceSize size, VkBufferUsageFlags usage, bool host_visible) {
  if (b.buffer != VK_NULL_HANDLE && b.size >= size) return;
  GpuBuffer bigger = s_.makeBuffer(std::max(size, b.size * 2), usage, host_visible);
  if (b.buffer != VK_NULL_HANDLE) retired_.push_back(b);
  b = bigger;
}

void Recorder::releaseRetired() {
  for (GpuBuffer& b : retired_) s_.destroy(b);
  retired_.clear();
  for (VkDescriptorPool p : retired_pools_) vkDestroyDescriptorPool(s_.device, p, nullptr);
  retired_pools_.clear();
}

VkDeviceSize Recorder::reserve(GpuBuffer& b, VkDeviceSize& used, VkDeviceSize bytes,
                               VkBufferUsageFlags usage) {
  const VkDeviceSize at = alignUp(used, kRegionAlign);
  if (b.buffer == VK_NULL_HANDLE || at + bytes > b.size) {
    grow(b, std::max<VkDeviceSize>(at + bytes, 1 << 16), usage, true);
    used = 0;
    return reserve(b, used, bytes, usage);
  }
  used = at + bytes;
  return at;
}

Recorder::Counted Recorder::counters(bool geodesics) {
  VkDeviceSize at = reserve(s_.stats, stats_used_, 16, kStorage);
  std::memset(static_cast<std::byte*>(s_.stats.mapped) + at, 0, 16);
  return Counted{geodesics, false, s_.stats.mapped, static_cast<std::uint32_t>(at / 4),
                 nullptr,   0};
}

void Recorder::endRendering() {
  if (rendering_) vkCmdEndRendering(cb_);
  rendering_ = false;
}

void Recorder::outside() {
  endRendering();
  sync_.flush();
}

void Recorder::inside(const CheckedCommand& command) {
  if (rendering_ && !sync_.pending()) return;
  endRendering();
  State::Image& color = image(command.color);
  State::Image& depth = image(*command.depth);
  // A G-buffer pass renders to its four images (no kinds); any other to
  // the colour image and its kinds.
  std::array<GpuImage*, 4> targets{&color.gpu, &color.kinds, nullptr, nullptr};
  std::uint32_t count = 2;
  if (command.to_gbuffer) {
    for (std::size_t i = 0; i < 4; ++i) targets[i] = &image(command.gbuffer[i]).gpu;
    count = 4;
  }
  for (std::uint32_t i = 0; i < count; ++i) sync_.note(*targets[i], kColorAttachment);
  sync_.note(depth.gpu, kDepthAttachment);
  sync_.flush();
  const auto attach = [](const GpuImage& g) {
    return VkRenderingAttachmentInfo{.sType = VK_STRUCTURE_TYPE_RENDERING_ATTACHMENT_INFO,
                                     .imageView = g.view,
                                     .imageLayout = g.layout,
                                     .loadOp = VK_ATTACHMENT_LOAD_OP_LOAD,
                                     .storeOp = VK_ATTACHMENT_STORE_OP_STORE};
  };
  std::array<VkRenderingAttachmentInfo, 4> colors{};
  for (std::uint32_t i = 0; i < count; ++i) colors[i] = attach(*targets[i]);
  const VkRenderingAttachmentInfo depth_info = attach(depth.gpu);
  const VkExtent2D extent{color.desc.width, color.desc.height};
  VkRenderingInfo info{.sType = VK_STRUCTURE_TYPE_RENDERING_INFO,
                       .renderArea = {{0, 0}, extent},
                       .layerCount = 1,
                       .colorAttachmentCount = count,
                       .pColorAttachments = colors.data(),
                       .pDepthAttachment = &depth_info};
  vkCmdBeginRendering(cb_, &info);
  rendering_ = true;
  // The image and kViewportPad pixels around it; see shaders/viewport.glsl.
  const VkViewport viewport{-kViewportPad,
                            -kViewportPad,
                            static_cast<float>(extent.width) + 2 * kViewportPad,
                            static_cast<float>(extent.height) + 2 * kViewportPad,
                            0.0f,
                            1.0f};
  const VkRect2D scissor{{0, 0}, extent};
  vkCmdSetViewport(cb_, 0, 1, &viewport);
  vkCmdSetScissor(cb_, 0, 1, &scissor);
}

void Recorder::bindSet(Program program, VkPipelineBindPoint point,
                       std::initializer_list<VkDescriptorBufferInfo> infos,
                       std::initializer_list<const GpuImage*> images) {
  const auto p = static_cast<std::size_t>(program);
  VkDescriptorSet set = VK_NULL_HANDLE;
  VkDescriptorSetAllocateInfo alloc{.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO,
                                    .descriptorPool = s_.descriptors,
                                    .descriptorSetCount = 1,
                                    .pSetLayouts = &s_.set_layouts[p]};
  if (s_.descriptors == VK_NULL_HANDLE ||
      vkAllocateDescriptorSets(s_.device, &alloc, &set) != VK_SUCCESS) {
    if (s_.descriptors != VK_NULL_HANDLE) retired_pools_.push_back(s_.descriptors);
    s_.descriptor_sets = std::max<std::uint32_t>(64, s_.descriptor_sets * 2);
    const VkDescriptorPoolSize sizes[2] = {
        {VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, s_.descriptor_sets * 7},
        {VK_DESCRIPTOR_TYPE_STORAGE_IMAGE, s_.descriptor_sets * 6}};
    VkDescriptorPoolCreateInfo info{.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO,
                                    .maxSets = s_.descriptor_sets,
                                    .poolSizeCount = 2,
                                    .pPoolSizes = sizes};
    s_.descriptors = VK_NULL_HANDLE;
    check(vkCreateDescriptorPool(s_.device, &info, nullptr, &s_.descriptors),
          "vkCreateDescriptorPool");
    alloc.descriptorPool = s_.descriptors;
    check(vkAllocateDescriptorSets(s_.device, &alloc, &set), "vkAllocateDescriptorSets");
  }
  std::vector<VkWriteDescriptorSet> writes;
  std::uint32_t b = 0;
  for (const VkDescriptorBufferInfo& info : infos) {
    writes.push_back({.sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET,
                      .dstSet = set,
                      .dstBinding = b++,
                      .descriptorCount = 1,
                      .descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER,
                      .pBufferInfo = &info});
  }
  // Storage images after the buffers, in the layout they were noted in.
  std::vector<VkDescriptorImageInfo> image_infos;
  image_infos.reserve(images.size());
  for (const GpuImage* g : images) {
    image_infos.push_back({VK_NULL_HANDLE, g->view, g->layout});
    writes.push_back({.sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET,
                      .dstSet = set,
                      .dstBinding = b++,
                      .descriptorCount = 1,
                      .descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_IMAGE,
                      .pImageInfo = &image_infos.back()});
  }
  vkUpdateDescriptorSets(s_.device, static_cast<std::uint32_t>(writes.size()), writes.data(), 0,
                         nullptr);
  vkCmdBindDescriptorSets(cb_, point, s_.layouts[p], 0, 1, &set, 0, nullptr);
}

void Recorder::dispatchOver(std::uint64_t items) {
  const auto groups =
      static_cast<std::uint32_t>(std::min<std::uint64_t>((items + 63) / 64, 65535));
  vkCmdDispatch(cb_, std::max(groups, 1u), 1, 1);
}

void Recorder::upload(State::Buffer& b, std::span<const std::byte> data) {
  stats_.bytes_uploaded += data.size_bytes();
  hostWrite(b, data);
}

void Recorder::hostWrite(State::Buffer& b, std::span<const std::byte> data) {
  const std::size_t overwritten = std::min(b.host.size(), data.size());
  host_undo_.push_back(HostUndo{&b, b.host.size(),
                                std::vector<std::byte>(b.host.begin(), b.host.begin() + overwritten)});
  keepHostCopy(b, data);
  stage(b.gpu, data);
}

void Recorder::stage(GpuBuffer& target, std::span<const std::byte> data) {
  if (data.empty()) return;
  // The staging memory is written by the host only, before the submission.
  sync_.note(target, kTransferWrite);
  outside();
  const VkDeviceSize at =
      reserve(s_.staging, staging_used_, data.size_bytes(), VK_BUFFER_USAGE_TRANSFER_SRC_BIT);
  std::memcpy(static_cast<std::byte*>(s_.staging.mapped) + at, data.data(), data.size_bytes());
  const VkBufferCopy region{at, 0, data.size_bytes()};
  vkCmdCopyBuffer(cb_, s_.staging.buffer, target.buffer, 1, &region);
}

void Recorder::record(const CheckedCommand& command) {
  using namespace kova_rhi;
  switch (command.op) {
    case CheckedOp::clear:
      return clear(command);
    case CheckedOp::begin_pass:
    case CheckedOp::bind:
      return;  // the checker resolved what they set
    case CheckedOp::end_pass:
      return endRendering();
    case CheckedOp::draw_points:
      return drawPoints(command);
    case CheckedOp::draw_mesh:
      return drawMesh(command);
    case CheckedOp::geodesics:
      return drawGeodesics(command);
    case CheckedOp::upload_transforms: {
      const auto& c = std::get<KovaUploadPgl4Command>(*command.command);
      return upload(buffer(c.buffer), std::as_bytes(c.transforms));
    }
    case CheckedOp::upload_positions: {
      const auto& c = std::get<KovaUploadPositionsCommand>(*command.command);
      return upload(buffer(c.buffer), std::as_bytes(c.positions));
    }
    case CheckedOp::fs_distance:
      return fsDistance(command);
    case CheckedOp::dispatch:
      return dispatch(command);
  }
}
}  // namespace recording

std::expected<ExecuteStats, std::string> VulkanDevice::execute(const kova_rhi::FrameGraph& graph) {
  auto checked = checkGraph(graph, s_->resources, s_->limits);
  if (!checked) return std::unexpected(checked.error());
  ExecuteStats stats;
  recording::Recorder rec(*s_, stats);
  try {
    rec.begin();
    for (const CheckedPass& pass : checked->passes) {
      for (const CheckedCommand& command : pass.commands) {
        rec.record(command);
        ++stats.commands;
      }
      rec.endPass();
      ++stats.passes;
    }
  } catch (const VulkanFailure& e) {
    rec.abandon();
    return std::unexpected(std::string(e.what()));
  }
  try {
    // Once submitted, the work has run: its fill counts hold even when the
    // geodesics overflowed their working buffer.
    auto done = rec.finish();
    commitFills(s_->resources, *checked);
    if (!done) return std::unexpected(done.error());
  } catch (const VulkanFailure& e) {
    return std::unexpected(std::string(e.what()));
  }
  return stats;
}

}  // namespace kova_device
