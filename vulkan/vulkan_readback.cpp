// Read-backs of the Vulkan device: images resolved to one sample per pixel
// and copied to the host, and storage buffers' values.
#include <cmath>
#include <cstring>

#include "kova_device_raster.hpp"
#include "vulkan_state.hpp"

namespace kova_device {
namespace {

using kova_rhi::BufferType;
using State = VulkanDevice::State;

std::unexpected<std::string> fail(std::string message) {
  return std::unexpected(std::move(message));
}

float halfToFloat(std::uint16_t h) {
  const std::uint32_t sign = (h >> 15) & 1u, exp = (h >> 10) & 0x1Fu, mant = h & 0x3FFu;
  float v;
  if (exp == 0) {
    v = std::ldexp(static_cast<float>(mant), -24);
  } else if (exp == 31) {
    v = mant == 0 ? INFINITY : NAN;
  } else {
    v = std::ldexp(static_cast<float>(mant | 0x400u), static_cast<int>(exp) - 25);
  }
  return sign ? -v : v;
}

// Resolves the samples of `src` into the one-sample `dst` by ending an empty
// rendering: the mean for colour, sample 0 for depth and integer kinds.
void resolveInto(VkCommandBuffer cb, Barriers& sync, const State::Image& img, GpuImage& src,
                 GpuImage& dst, bool integer) {
  const bool depth = src.aspect == VK_IMAGE_ASPECT_DEPTH_BIT;
  const VkImageLayout layout =
      depth ? VK_IMAGE_LAYOUT_DEPTH_ATTACHMENT_OPTIMAL : VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL;
  // A resolve reads the samples and writes the one-sample image at the end
  // of the rendering, in the colour attachment output stage even for depth;
  // the load and store of the depth source run in the fragment test stages.
  // Best practices warns of colour accesses on an image in a depth layout;
  // the warning is accepted for this reason (kAcceptedBestPractices).
  const Access resolving = depth ? Access{kColorAttachment.stages | kDepthAttachment.stages,
                                          kColorAttachment.access | kDepthAttachment.access, layout}
                                 : kColorAttachment;
  sync.note(src, resolving);
  sync.note(dst, resolving);
  sync.flush();
  const VkRenderingAttachmentInfo attachment{.sType = VK_STRUCTURE_TYPE_RENDERING_ATTACHMENT_INFO,
                                             .imageView = src.view,
                                             .imageLayout = layout,
                                             .resolveMode = depth || integer
                                                                ? VK_RESOLVE_MODE_SAMPLE_ZERO_BIT
                                                                : VK_RESOLVE_MODE_AVERAGE_BIT,
                                             .resolveImageView = dst.view,
                                             .resolveImageLayout = layout,
                                             .loadOp = VK_ATTACHMENT_LOAD_OP_LOAD,
                                             .storeOp = VK_ATTACHMENT_STORE_OP_STORE};
  const VkRenderingInfo info{.sType = VK_STRUCTURE_TYPE_RENDERING_INFO,
                             .renderArea = {{0, 0}, {img.desc.width, img.desc.height}},
                             .layerCount = 1,
                             .colorAttachmentCount = depth ? 0u : 1u,
                             .pColorAttachments = depth ? nullptr : &attachment,
                             .pDepthAttachment = depth ? &attachment : nullptr};
  vkCmdBeginRendering(cb, &info);
  vkCmdEndRendering(cb);
}

// Resolves an image's colour, depth or kinds, copies the result into the
// read-back buffer and waits.
// An image of one sample per pixel is copied as it is.
const std::byte* readImage(State& s, State::Image& img, bool kinds, std::size_t texel_bytes) {
  GpuImage& src = kinds ? img.kinds : img.gpu;
  const bool single = s.samples == VK_SAMPLE_COUNT_1_BIT;
  GpuImage& dst = single ? src : kinds ? img.resolved_kinds : img.resolved;
  const VkFormat format = kinds ? VK_FORMAT_R8_UINT : img.format;
  if (dst.image == VK_NULL_HANDLE) {
    const VkImageUsageFlags attachment = src.aspect == VK_IMAGE_ASPECT_DEPTH_BIT
                                             ? VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT
                                             : VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT;
    dst = s.makeImage(format, img.desc.width, img.desc.height,
                      attachment | VK_IMAGE_USAGE_TRANSFER_SRC_BIT, src.aspect);
  }
  const VkDeviceSize bytes = VkDeviceSize{img.desc.width} * img.desc.height * texel_bytes;
  s.ensure(s.readback, bytes, VK_BUFFER_USAGE_TRANSFER_DST_BIT, true);
  s.oneShot([&](VkCommandBuffer cb) {
    Barriers sync(cb);
    if (!single) resolveInto(cb, sync, img, src, dst, kinds);
    sync.note(dst, kTransferRead);
    sync.note(s.readback, kTransferWrite);
    sync.flush();
    const VkBufferImageCopy region{.imageSubresource = {dst.aspect, 0, 0, 1},
                                   .imageExtent = {img.desc.width, img.desc.height, 1}};
    vkCmdCopyImageToBuffer(cb, dst.image, dst.layout, s.readback.buffer, 1, &region);
    sync.note(s.readback, kHostRead);
    sync.flush();
  });
  return static_cast<const std::byte*>(s.readback.mapped);
}

State::Image* findImage(State& s, ImageId id) { return s.resources.images.find(id); }

}  // namespace

GpuImage& resolvedColor(State& s, State::Image& img, VkCommandBuffer cb, Barriers& sync) {
  if (s.samples == VK_SAMPLE_COUNT_1_BIT) return img.gpu;
  if (img.resolved.image == VK_NULL_HANDLE) {
    img.resolved = s.makeImage(img.format, img.desc.width, img.desc.height,
                               VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | VK_IMAGE_USAGE_TRANSFER_SRC_BIT,
                               img.gpu.aspect);
  }
  resolveInto(cb, sync, img, img.gpu, img.resolved, false);
  return img.resolved;
}

std::expected<std::vector<std::uint8_t>, std::string> VulkanDevice::readRgb8(ImageId id) const try {
  State::Image* img = findImage(*s_, id);
  if (img == nullptr || img->is_depth) return fail("not a colour image");
  const std::size_t pixels = std::size_t{img->desc.width} * img->desc.height;
  std::vector<std::uint8_t> rgb(pixels * 3);
  const std::size_t texel = img->format == VK_FORMAT_R8G8B8A8_UNORM        ? 4
                            : img->format == VK_FORMAT_R16G16B16A16_SFLOAT ? 8
                                                                           : 16;
  const std::byte* data = readImage(*s_, *img, false, texel);
  if (texel == 8) {
    // Half floats through a table of every half's byte: the same bytes as
    // toByte(halfToFloat(h)), without converting each channel.
    static const std::vector<std::uint8_t> half_to_byte = [] {
      std::vector<std::uint8_t> table(65536);
      for (std::size_t h = 0; h < table.size(); ++h)
        table[h] = toByte(halfToFloat(static_cast<std::uint16_t>(h)));
      return table;
    }();
    for (std::size_t p = 0; p < pixels; ++p) {
      std::uint16_t h[4];
      std::memcpy(h, data + p * 8, 8);
      for (std::size_t c = 0; c < 3; ++c) rgb[p * 3 + c] = half_to_byte[h[c]];
    }
    return rgb;
  }
  for (std::size_t p = 0; p < pixels; ++p) {
    for (std::size_t c = 0; c < 3; ++c) {
      const std::byte* at = data + p * texel + c * (texel / 4);
      if (texel == 4) {
        rgb[p * 3 + c] = static_cast<std::uint8_t>(*at);
      } else {
        float f;
        std::memcpy(&f, at, 4);
        rgb[p * 3 + c] = toByte(f);
      }
    }
  }
  return rgb;
} catch (const VulkanFailure& e) {
  return fail(e.what());
}

std::expected<std::vector<float>, std::string> VulkanDevice::readDepth(ImageId id) const try {
  State::Image* img = findImage(*s_, id);
  if (img == nullptr || !img->is_depth) return fail("not a depth image");
  std::vector<float> depth(std::size_t{img->desc.width} * img->desc.height);
  const std::byte* data = readImage(*s_, *img, false, 4);
  std::memcpy(depth.data(), data, depth.size() * 4);
  // Stored projective depths become FS-depth along each pixel centre's ray.
  const std::uint32_t w = img->desc.width;
  for (std::size_t p = 0; p < depth.size(); ++p)
    depth[p] = fsDepthFromStored(depth[p], static_cast<std::uint32_t>(p % w),
                                 static_cast<std::uint32_t>(p / w), w, img->desc.height,
                                 img->depth_camera);
  return depth;
} catch (const VulkanFailure& e) {
  return fail(e.what());
}

std::expected<std::vector<std::uint8_t>, std::string> VulkanDevice::readKinds(ImageId id) const
    try {
  State::Image* img = findImage(*s_, id);
  if (img == nullptr || img->is_depth) return fail("not a colour image");
  std::vector<std::uint8_t> kinds(std::size_t{img->desc.width} * img->desc.height);
  const std::byte* data = readImage(*s_, *img, true, 1);
  std::memcpy(kinds.data(), data, kinds.size());
  return kinds;
} catch (const VulkanFailure& e) {
  return fail(e.what());
}

std::expected<std::vector<double>, std::string> VulkanDevice::readValues(BufferId id) const try {
  State::Buffer* found = s_->resources.buffers.find(id);
  if (found == nullptr) return fail("unknown buffer");
  State::Buffer& b = *found;
  if (b.desc.type != BufferType::storage) return fail("not a storage buffer");
  std::vector<double> values(b.filled);
  if (values.empty()) return values;
  const VkDeviceSize bytes = values.size() * sizeof(double);
  s_->ensure(s_->readback, bytes, VK_BUFFER_USAGE_TRANSFER_DST_BIT, true);
  s_->oneShot([&](VkCommandBuffer cb) {
    Barriers sync(cb);
    sync.note(b.gpu, kTransferRead);
    sync.note(s_->readback, kTransferWrite);
    sync.flush();
    const VkBufferCopy region{0, 0, bytes};
    vkCmdCopyBuffer(cb, b.gpu.buffer, s_->readback.buffer, 1, &region);
    sync.note(s_->readback, kHostRead);
    sync.flush();
  });
  std::memcpy(values.data(), s_->readback.mapped, bytes);
  return values;
} catch (const VulkanFailure& e) {
  return fail(e.what());
}

}  // namespace kova_device
