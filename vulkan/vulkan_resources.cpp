// The Vulkan device's resources: buffers, images and pipelines made from
// kova's descriptors, the host's writes into buffers, and releases. The
// rules are the device-neutral ones (kova_device_checks.hpp); what is left
// here is making, filling and freeing the Vulkan objects.
#include <cstring>
#include <optional>

#include "vulkan_state.hpp"

namespace kova_device {
namespace {

using kova_rhi::Format;
using State = VulkanDevice::State;

constexpr VkBufferUsageFlags kStorage = VK_BUFFER_USAGE_STORAGE_BUFFER_BIT |
                                        VK_BUFFER_USAGE_TRANSFER_DST_BIT |
                                        VK_BUFFER_USAGE_TRANSFER_SRC_BIT;

std::unexpected<std::string> fail(std::string message) {
  return std::unexpected(std::move(message));
}

std::optional<VkFormat> colorFormat(Format f) {
  switch (f) {
    case Format::rgba8_unorm:
    case Format::rgba8_srgb:  // stored as given, as the CPU device does
      return VK_FORMAT_R8G8B8A8_UNORM;
    case Format::rgba16_float:
      return VK_FORMAT_R16G16B16A16_SFLOAT;
    case Format::rgba32_float:
      return VK_FORMAT_R32G32B32A32_SFLOAT;
    default:
      return std::nullopt;
  }
}

// Copies host data into a device buffer through a temporary staging buffer
// and waits, so that the host's copy and the device's agree when it returns.
void writeThrough(State& s, GpuBuffer& target, std::span<const std::byte> bytes) {
  if (bytes.empty()) return;
  GpuBuffer staging = s.makeBuffer(bytes.size(), VK_BUFFER_USAGE_TRANSFER_SRC_BIT, true);
  try {
    std::memcpy(staging.mapped, bytes.data(), bytes.size());
    s.oneShot([&](VkCommandBuffer cb) {
      Barriers sync(cb);
      sync.note(target, kTransferWrite);
      sync.flush();
      const VkBufferCopy region{0, 0, bytes.size()};
      vkCmdCopyBuffer(cb, staging.buffer, target.buffer, 1, &region);
    });
  } catch (...) {
    s.destroy(staging);
    throw;
  }
  s.destroy(staging);
}

}  // namespace

std::expected<BufferId, std::string> VulkanDevice::createBuffer(
    const kova_rhi::BufferDescriptor& desc) try {
  if (auto ok = checkBufferDescriptor(desc, s_->limits); !ok) return fail(ok.error());
  State::Buffer b;
  b.desc = desc;
  b.gpu = s_->makeBuffer(desc.size, kStorage, false);
  return s_->resources.buffers.add(std::move(b));
} catch (const VulkanFailure& e) {
  return fail(e.what());
}

std::expected<ImageId, std::string> VulkanDevice::createImage(
    const kova_rhi::ImageDescriptor& desc) try {
  const auto is_depth = checkImageDescriptor(desc, s_->limits);
  if (!is_depth) return fail(is_depth.error());
  State::Image img;
  img.desc = desc;
  img.is_depth = *is_depth;
  img.format = img.is_depth ? VK_FORMAT_D32_SFLOAT : *colorFormat(desc.format);
  constexpr VkImageUsageFlags kTransfer =
      VK_IMAGE_USAGE_TRANSFER_SRC_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT;
  try {
    if (img.is_depth) {
      img.gpu = s_->makeImage(img.format, desc.width, desc.height,
                              VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT | kTransfer,
                              VK_IMAGE_ASPECT_DEPTH_BIT, s_->samples);
    } else {
      // Any colour image may be a G-buffer image or a deferred frame's
      // picture, which the lighting kernel reads or writes as storage.
      const VkImageUsageFlags usage =
          kColorImageUsage | (s_->limits.gbuffer_passes ? VK_IMAGE_USAGE_STORAGE_BIT : 0);
      img.gpu = s_->makeImage(img.format, desc.width, desc.height, usage,
                              VK_IMAGE_ASPECT_COLOR_BIT, s_->samples);
      img.kinds = s_->makeImage(VK_FORMAT_R8_UINT, desc.width, desc.height, usage,
                                VK_IMAGE_ASPECT_COLOR_BIT, s_->samples);
    }
    // An image starts as the CPU device's do: colour and kinds 0, depth 1.
    s_->oneShot([&](VkCommandBuffer cb) {
      const VkImageSubresourceRange range{img.gpu.aspect, 0, 1, 0, 1};
      Barriers sync(cb);
      sync.note(img.gpu, kTransferWrite);
      if (!img.is_depth) sync.note(img.kinds, kTransferWrite);
      sync.flush();
      if (img.is_depth) {
        const VkClearDepthStencilValue one{clearedDepth(1.0f), 0};
        vkCmdClearDepthStencilImage(cb, img.gpu.image, img.gpu.layout, &one, 1, &range);
      } else {
        const VkClearColorValue zero{};
        vkCmdClearColorImage(cb, img.gpu.image, img.gpu.layout, &zero, 1, &range);
        vkCmdClearColorImage(cb, img.kinds.image, img.kinds.layout, &zero, 1, &range);
      }
    });
  } catch (...) {
    s_->destroy(img);
    throw;
  }
  return s_->resources.images.add(std::move(img));
} catch (const VulkanFailure& e) {
  return fail(e.what());
}

std::expected<PipelineId, std::string> VulkanDevice::createPipeline(
    const kova_rhi::GraphicsPipelineDescriptor& desc) try {
  if (auto ok = checkPipelineDescriptor(desc); !ok) return fail(ok.error());
  State::Pipeline p;
  p.desc = desc;
  // Built now for the default render target format, so that errors show here.
  s_->rasterPipeline(p, VK_FORMAT_R16G16B16A16_SFLOAT);
  return s_->resources.addPipeline(std::move(p));
} catch (const VulkanFailure& e) {
  return fail(e.what());
}

std::expected<PipelineId, std::string> VulkanDevice::createComputePipeline(BuiltinKernel kernel) {
  if (kernel == BuiltinKernel::deferred_lighting) {
    if (!s_->limits.gbuffer_passes) return fail(s_->no_deferred_lighting);
  } else if (kernel != BuiltinKernel::tile_light_culling) {
    return fail("unknown built-in kernel");
  }
  State::Pipeline p;
  p.desc.type = kova_rhi::PipelineType::compute;
  p.kernel = static_cast<std::uint8_t>(kernel);
  return s_->resources.addPipeline(std::move(p));
}

std::expected<void, std::string> VulkanDevice::writeIndices(
    BufferId id, std::span<const std::uint32_t> values) try {
  State::Buffer* b = s_->resources.buffers.find(id);
  if (auto ok = checkIndexWrite(b, values.size()); !ok) return fail(ok.error());
  writeThrough(*s_, b->gpu, std::as_bytes(values));
  b->indices.assign(values.begin(), values.end());
  b->filled = values.size();
  return {};
} catch (const VulkanFailure& e) {
  return fail(e.what());
}

std::expected<void, std::string> VulkanDevice::writeValues(BufferId id,
                                                           std::span<const double> values) try {
  State::Buffer* b = s_->resources.buffers.find(id);
  if (auto ok = checkValueWrite(b, values.size()); !ok) return fail(ok.error());
  writeThrough(*s_, b->gpu, std::as_bytes(values));
  keepHostCopy(*b, std::as_bytes(values));
  b->host_values.assign(values.begin(), values.end());
  b->filled = values.size();
  return {};
} catch (const VulkanFailure& e) {
  return fail(e.what());
}

// Nothing of execute() or the read-backs is in flight once they return, so
// only a window host's blits can still read a resource: buffers never.
std::expected<void, std::string> VulkanDevice::releaseBuffer(BufferId id) {
  if (auto ok = checkBufferRelease(s_->resources.buffers.find(id)); !ok) return fail(ok.error());
  std::optional<State::Buffer> b = s_->resources.buffers.take(id);
  s_->destroy(b->gpu);
  return {};
}

std::expected<void, std::string> VulkanDevice::releaseImage(ImageId id) {
  const bool live = s_->resources.images.find(id) != nullptr;
  if (auto ok = checkImageRelease(s_->resources.images.find(id), live && s_->blitPending(id)); !ok)
    return fail(ok.error());
  std::optional<State::Image> img = s_->resources.images.take(id);
  s_->destroy(*img);
  return {};
}

std::uint64_t VulkanDevice::liveAllocations() const noexcept { return s_->blocks->liveSlices(); }
std::uint64_t VulkanDevice::memoryBlocks() const noexcept { return s_->blocks->liveBlocks(); }

}  // namespace kova_device
