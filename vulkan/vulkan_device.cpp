// Resources, command recording and read-backs of the Vulkan device layer.
//
// execute() walks the graph once: each command is checked exactly as the CPU
// device checks it, then recorded. Each command notes the buffers and images
// it touches and how, and gets the barriers those accesses need
// (vulkan_barriers.hpp), so the barriers follow from what every pass reads
// and writes. The accesses come from the commands rather than the pass's
// image lists: those name no buffers and no stages, and a pass may leave them
// empty (the CPU device runs such a pass too); an image a pass lists that no
// command touches is not touched on the device and needs no barrier.
// Rendering resumes with the attachments' contents loaded, so a pass may
// interleave uploads and draws as freely as on the CPU device.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <variant>

#include "kova_device_raster.hpp"
#include "vulkan_state.hpp"

namespace kova_device {
namespace {

using kova_rhi::BufferType;
using kova_rhi::Format;
using State = VulkanDevice::State;

// The triangle pipeline's accesses besides the vertex shader's reads.
constexpr Access kMeshRead{
    VK_PIPELINE_STAGE_2_VERTEX_SHADER_BIT | VK_PIPELINE_STAGE_2_FRAGMENT_SHADER_BIT,
    VK_ACCESS_2_SHADER_STORAGE_READ_BIT};
constexpr Access kFragmentWrite{VK_PIPELINE_STAGE_2_FRAGMENT_SHADER_BIT,
                                VK_ACCESS_2_SHADER_STORAGE_WRITE_BIT};

// Arc pixels one geodesics command may produce (8 bytes each).
constexpr std::uint32_t kPixelCapacity = 1u << 22;
constexpr VkDeviceSize kRegionAlign = 256;
constexpr float kViewportPad =
    4.0f;  // kPad of shaders/viewport.glsl  // at least minStorageBufferOffsetAlignment
constexpr VkBufferUsageFlags kStorage = VK_BUFFER_USAGE_STORAGE_BUFFER_BIT |
                                        VK_BUFFER_USAGE_TRANSFER_DST_BIT |
                                        VK_BUFFER_USAGE_TRANSFER_SRC_BIT;

std::unexpected<std::string> fail(std::string message) {
  return std::unexpected(std::move(message));
}

VkDeviceSize alignUp(VkDeviceSize v, VkDeviceSize a) { return (v + a - 1) / a * a; }

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

std::string_view tagName(kova_rhi::GpuCommandTag tag) noexcept {
  static constexpr std::string_view names[] = {"clear",
                                               "begin_pass",
                                               "end_pass",
                                               "bind_pipeline",
                                               "bind_vertex_buffer",
                                               "bind_uniform",
                                               "draw_indexed",
                                               "dispatch",
                                               "kova_upload_pgl4",
                                               "kova_upload_positions",
                                               "kova_compute_fs_distance",
                                               "kova_render_geodesics"};
  const auto i = static_cast<std::size_t>(tag);
  return i < std::size(names) ? names[i] : "unknown";
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

// The largest distance whose splat radius is at least k (-1 when even
// distance 0 has a smaller one). The radius falls as the distance grows, so
// a bisection over the ordered bit patterns of [0, pi/2] finds the exact step.
double radiusStep(int k, double tan_h, std::uint32_t width) {
  constexpr double kTop = 1.5707963267948966;  // the largest distance deviceAcos returns
  const auto at_least = [&](std::uint64_t bits) {
    return splatRadius(std::bit_cast<double>(bits), tan_h, width) >= k;
  };
  std::uint64_t lo = 0, hi = std::bit_cast<std::uint64_t>(kTop);
  if (!at_least(lo)) return -1.0;
  if (at_least(hi)) return kTop;
  while (hi - lo > 1) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    (at_least(mid) ? lo : hi) = mid;
  }
  return std::bit_cast<double>(lo);
}

}  // namespace

// ---------------------------------------------------------------------------
// Resources

std::expected<BufferId, std::string> VulkanDevice::createBuffer(
    const kova_rhi::BufferDescriptor& desc) try {
  const bool ok = (desc.type == BufferType::kova_positions && desc.stride == 32) ||
                  (desc.type == BufferType::kova_transforms && desc.stride == 128) ||
                  (desc.type == BufferType::storage && desc.stride == 8) ||
                  (desc.type == BufferType::index && desc.stride == 4);
  if (!ok) return fail("unsupported buffer (type and stride)");
  if (desc.size > s_->max_storage_range) {
    return fail("buffer of " + std::to_string(desc.size) + " bytes exceeds the device's " +
                std::to_string(s_->max_storage_range) + "-byte storage buffer range");
  }
  State::Buffer b{desc, s_->makeBuffer(desc.size, kStorage, false), 0, {}};
  s_->buffers.push_back(std::move(b));
  return BufferId{s_->buffers.size(), s_->generation};
} catch (const VulkanFailure& e) {
  return fail(e.what());
}

std::expected<ImageId, std::string> VulkanDevice::createImage(
    const kova_rhi::ImageDescriptor& desc) try {
  if (desc.dimension != kova_rhi::ImageDimension::dim_2d || desc.depth != 1 ||
      desc.mip_levels != 1 || desc.array_layers != 1) {
    return fail("only single-level 2D images are supported");
  }
  if (desc.width == 0 || desc.height == 0 || desc.width > 16384 || desc.height > 16384 ||
      desc.width > s_->max_image_side || desc.height > s_->max_image_side) {
    return fail("image size out of range");
  }
  State::Image img;
  img.desc = desc;
  img.is_depth = desc.format == Format::depth32_float;
  if (img.is_depth) {
    img.format = VK_FORMAT_D32_SFLOAT;
  } else if (auto f = colorFormat(desc.format)) {
    img.format = *f;
  } else {
    return fail("unsupported image format");
  }
  constexpr VkImageUsageFlags kTransfer =
      VK_IMAGE_USAGE_TRANSFER_SRC_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT;
  if (img.is_depth) {
    img.gpu = s_->makeImage(img.format, desc.width, desc.height,
                            VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT | kTransfer,
                            VK_IMAGE_ASPECT_DEPTH_BIT, kSamples);
  } else {
    img.gpu = s_->makeImage(img.format, desc.width, desc.height,
                            VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | kTransfer,
                            VK_IMAGE_ASPECT_COLOR_BIT, kSamples);
    try {
      img.kinds = s_->makeImage(VK_FORMAT_R8_UINT, desc.width, desc.height,
                                VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | kTransfer,
                                VK_IMAGE_ASPECT_COLOR_BIT, kSamples);
    } catch (...) {
      s_->destroy(img.gpu);
      throw;
    }
  }
  // An image starts as the CPU device's do: colour and kinds 0, depth 1.
  try {
    s_->oneShot([&](VkCommandBuffer cb) {
      const VkImageSubresourceRange range{img.gpu.aspect, 0, 1, 0, 1};
      Barriers sync(cb);
      sync.note(img.gpu, kTransferWrite);
      if (!img.is_depth) sync.note(img.kinds, kTransferWrite);
      sync.flush();
      if (img.is_depth) {
        const VkClearDepthStencilValue one{1.0f, 0};
        vkCmdClearDepthStencilImage(cb, img.gpu.image, img.gpu.layout, &one, 1, &range);
      } else {
        const VkClearColorValue zero{};
        vkCmdClearColorImage(cb, img.gpu.image, img.gpu.layout, &zero, 1, &range);
        vkCmdClearColorImage(cb, img.kinds.image, img.kinds.layout, &zero, 1, &range);
      }
    });
  } catch (...) {
    s_->destroy(img.gpu);
    s_->destroy(img.kinds);
    throw;
  }
  s_->images.push_back(std::move(img));
  return ImageId{s_->images.size(), s_->generation};
} catch (const VulkanFailure& e) {
  return fail(e.what());
}

std::expected<PipelineId, std::string> VulkanDevice::createPipeline(
    const kova_rhi::GraphicsPipelineDescriptor& desc) try {
  using kova_rhi::PrimitiveTopology;
  if (desc.type != kova_rhi::PipelineType::kova_projective)
    return fail("only kova_projective pipelines are supported");
  if (desc.topology != PrimitiveTopology::point_list &&
      desc.topology != PrimitiveTopology::triangle_list &&
      desc.topology != PrimitiveTopology::geodesic_list) {
    return fail("projective pipelines draw point_list, triangle_list or geodesic_list");
  }
  if (!desc.depth.fs_depth) return fail("projective pipelines need fs_depth in their depth state");
  State::Pipeline p{desc, {}};
  // Built now for the default render target format, so that errors show here.
  s_->rasterPipeline(p, VK_FORMAT_R16G16B16A16_SFLOAT);
  s_->pipelines.push_back(std::move(p));
  return PipelineId{desc.type, s_->pipelines.size()};
} catch (const VulkanFailure& e) {
  return fail(e.what());
}

namespace {

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

std::expected<void, std::string> VulkanDevice::writeIndices(
    BufferId id, std::span<const std::uint32_t> values) try {
  if (id.generation != s_->generation || id.id == 0 || id.id > s_->buffers.size())
    return fail("not an index buffer");
  State::Buffer& b = s_->buffers[id.id - 1];
  if (b.desc.type != BufferType::index) return fail("not an index buffer");
  if (values.size() > b.desc.size / 4) return fail("more indices than the buffer holds");
  writeThrough(*s_, b.gpu, std::as_bytes(values));
  b.indices.assign(values.begin(), values.end());
  b.filled = values.size();
  return {};
} catch (const VulkanFailure& e) {
  return fail(e.what());
}

std::expected<void, std::string> VulkanDevice::writeValues(BufferId id,
                                                           std::span<const double> values) try {
  if (id.generation != s_->generation || id.id == 0 || id.id > s_->buffers.size())
    return fail("not a storage buffer");
  State::Buffer& b = s_->buffers[id.id - 1];
  if (b.desc.type != BufferType::storage) return fail("not a storage buffer");
  if (values.size() > b.desc.size / 8) return fail("more values than the buffer holds");
  writeThrough(*s_, b.gpu, std::as_bytes(values));
  b.filled = values.size();
  return {};
} catch (const VulkanFailure& e) {
  return fail(e.what());
}

// ---------------------------------------------------------------------------
// Recording

namespace {

// The buffer contents the host counts, by the buffer's type.
std::uint64_t pointsIn(const State::Buffer& b) {
  return b.desc.type == BufferType::kova_positions ? b.filled : 0;
}
std::uint64_t valuesIn(const State::Buffer& b) {
  return b.desc.type == BufferType::storage ? b.filled : 0;
}
std::uint64_t transformsIn(const State::Buffer& b) {
  return b.desc.type == BufferType::kova_transforms ? b.filled : 0;
}

// One execute(): the command buffer being recorded, the pass state that
// commands see, and what must be read or undone afterwards.
class Recorder {
 public:
  Recorder(State& s, ExecuteStats& stats) : s_(s), stats_(stats), cb_(s.commands), sync_(cb_) {}
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;
  ~Recorder() { releaseRetired(); }

  void begin() {
    check(vkResetCommandBuffer(cb_, 0), "vkResetCommandBuffer");
    if (s_.descriptors != VK_NULL_HANDLE)
      check(vkResetDescriptorPool(s_.device, s_.descriptors, 0), "vkResetDescriptorPool");
    VkCommandBufferBeginInfo info{.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO,
                                  .flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT};
    check(vkBeginCommandBuffer(cb_, &info), "vkBeginCommandBuffer");
    staging_used_ = splats_used_ = stats_used_ = drawn_used_ = 0;
  }

  std::expected<void, std::string> run(const kova_rhi::GpuCommand& command);
  std::expected<void, std::string> endPassCheck() {
    endRendering();
    if (pass_.in_pass) return fail("ends inside begin_pass");
    pass_ = Pass{};
    return {};
  }

  // Submits, waits and gathers counters and traces. Fails if a geodesics
  // command had more pixels than its working buffer holds.
  std::expected<void, std::string> finish() {
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

  // Undoes the host's bookkeeping of a graph that was not submitted.
  void abandon() {
    endRendering();
    vkEndCommandBuffer(cb_);
    vkResetCommandBuffer(cb_, 0);
    sync_.undo();
    for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) {
      s_.buffers[it->index].filled = it->filled;
      s_.buffers[it->index].shadow = std::move(it->shadow);
    }
    releaseRetired();
  }

 private:
  struct Pass {
    bool in_pass = false;
    ImageId color{};
    std::optional<ImageId> depth{};
    PipelineId pipeline{};
    BufferId vertex_buffer{};
    std::array<BufferId, 8> uniforms{};
  };
  // A draw's counters (and splats, for the trace) to read after the wait.
  struct Counted {
    bool geodesics = false;
    // Triangle draws: `count` flags (one per instance and triangle) at `splats`.
    bool triangles = false;
    void* stats = nullptr;
    std::uint32_t slot = 0;
    const std::byte* splats = nullptr;
    std::uint32_t count = 0;
  };
  struct Undo {
    std::size_t index;
    std::uint64_t filled;
    std::vector<PGL4> shadow;
  };

  State::Buffer* buffer(BufferId id) {
    if (id.generation != s_.generation || id.id == 0 || id.id > s_.buffers.size()) return nullptr;
    return &s_.buffers[id.id - 1];
  }
  State::Image* image(ImageId id) {
    if (id.generation != s_.generation || id.id == 0 || id.id > s_.images.size()) return nullptr;
    return &s_.images[id.id - 1];
  }
  void remember(const State::Buffer& b) {
    undo_.push_back(Undo{static_cast<std::size_t>(&b - s_.buffers.data()), b.filled, b.shadow});
  }

  // Grows a working buffer; the old one lives until the submission is done.
  void grow(GpuBuffer& b, VkDeviceSize size, VkBufferUsageFlags usage, bool host_visible) {
    if (b.buffer != VK_NULL_HANDLE && b.size >= size) return;
    GpuBuffer bigger = s_.makeBuffer(std::max(size, b.size * 2), usage, host_visible);
    if (b.buffer != VK_NULL_HANDLE) retired_.push_back(b);
    b = bigger;
  }
  void releaseRetired() {
    for (GpuBuffer& b : retired_) s_.destroy(b);
    retired_.clear();
    for (VkDescriptorPool p : retired_pools_) vkDestroyDescriptorPool(s_.device, p, nullptr);
    retired_pools_.clear();
  }
  // Reserves `bytes` of a host-visible working buffer; returns the offset.
  VkDeviceSize reserve(GpuBuffer& b, VkDeviceSize& used, VkDeviceSize bytes,
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
  // Two (three for geodesics) zeroed counters in the stats buffer.
  Counted counters(bool geodesics) {
    VkDeviceSize at = reserve(s_.stats, stats_used_, 16, kStorage);
    std::memset(static_cast<std::byte*>(s_.stats.mapped) + at, 0, 16);
    return Counted{geodesics, false, s_.stats.mapped, static_cast<std::uint32_t>(at / 4),
                   nullptr,   0};
  }

  void endRendering() {
    if (rendering_) vkCmdEndRendering(cb_);
    rendering_ = false;
  }
  // Before transfers and compute work: out of the render pass, with the
  // barriers of the accesses noted for the next command.
  void outside() {
    endRendering();
    sync_.flush();
  }
  // Before a draw: in the render pass, with the barriers its noted accesses
  // need recorded before the rendering begins (there are none inside it).
  void inside() {
    if (rendering_ && !sync_.pending()) return;
    endRendering();
    State::Image& color = *image(pass_.color);
    State::Image& depth = *image(*pass_.depth);
    sync_.note(color.gpu, kColorAttachment);
    sync_.note(color.kinds, kColorAttachment);
    sync_.note(depth.gpu, kDepthAttachment);
    sync_.flush();
    const auto attach = [](const GpuImage& g) {
      return VkRenderingAttachmentInfo{.sType = VK_STRUCTURE_TYPE_RENDERING_ATTACHMENT_INFO,
                                       .imageView = g.view,
                                       .imageLayout = g.layout,
                                       .loadOp = VK_ATTACHMENT_LOAD_OP_LOAD,
                                       .storeOp = VK_ATTACHMENT_STORE_OP_STORE};
    };
    const VkRenderingAttachmentInfo colors[2] = {attach(color.gpu), attach(color.kinds)};
    const VkRenderingAttachmentInfo depth_info = attach(depth.gpu);
    const VkExtent2D extent{color.desc.width, color.desc.height};
    VkRenderingInfo info{.sType = VK_STRUCTURE_TYPE_RENDERING_INFO,
                         .renderArea = {{0, 0}, extent},
                         .layerCount = 1,
                         .colorAttachmentCount = 2,
                         .pColorAttachments = colors,
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

  void bindSet(Program program, VkPipelineBindPoint point,
               std::initializer_list<VkDescriptorBufferInfo> infos) {
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
      const VkDescriptorPoolSize size{VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, s_.descriptor_sets * 6};
      VkDescriptorPoolCreateInfo info{.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO,
                                      .maxSets = s_.descriptor_sets,
                                      .poolSizeCount = 1,
                                      .pPoolSizes = &size};
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
    vkUpdateDescriptorSets(s_.device, static_cast<std::uint32_t>(writes.size()), writes.data(), 0,
                           nullptr);
    vkCmdBindDescriptorSets(cb_, point, s_.layouts[p], 0, 1, &set, 0, nullptr);
  }
  template <class T>
  void push(Program program, VkShaderStageFlags stages, const T& value) {
    vkCmdPushConstants(cb_, s_.layouts[static_cast<std::size_t>(program)], stages, 0, sizeof(T),
                       &value);
  }
  void dispatchOver(std::uint64_t items) {
    const auto groups =
        static_cast<std::uint32_t>(std::min<std::uint64_t>((items + 63) / 64, 65535));
    vkCmdDispatch(cb_, std::max(groups, 1u), 1, 1);
  }
  static VkDescriptorBufferInfo whole(const GpuBuffer& b) { return {b.buffer, 0, VK_WHOLE_SIZE}; }

  template <class T>
  std::expected<void, std::string> upload(State::Buffer& b, std::span<const T> data) {
    remember(b);
    b.filled = data.size();
    if constexpr (std::is_same_v<T, PGL4>) b.shadow.assign(data.begin(), data.end());
    stats_.bytes_uploaded += data.size_bytes();
    if (data.empty()) return {};
    // The staging memory is written by the host only, before the submission.
    sync_.note(b.gpu, kTransferWrite);
    outside();
    const VkDeviceSize at =
        reserve(s_.staging, staging_used_, data.size_bytes(), VK_BUFFER_USAGE_TRANSFER_SRC_BIT);
    std::memcpy(static_cast<std::byte*>(s_.staging.mapped) + at, data.data(), data.size_bytes());
    const VkBufferCopy region{at, 0, data.size_bytes()};
    vkCmdCopyBuffer(cb_, s_.staging.buffer, b.gpu.buffer, 1, &region);
    return {};
  }

  std::expected<void, std::string> clear(const kova_rhi::ClearCommand& c);
  std::expected<void, std::string> beginPass(const kova_rhi::BeginPassCommand& c);
  std::expected<void, std::string> fsDistance(const kova_rhi::KovaComputeFsDistanceCommand& c);
  std::expected<void, std::string> drawPoints(const kova_rhi::DrawCommand& draw);
  std::expected<void, std::string> drawMesh(const kova_rhi::DrawCommand& draw);
  std::expected<void, std::string> drawGeodesics(const kova_rhi::KovaRenderGeodesicsCommand& c);
  void readTrace(const Counted& c) const;

  State& s_;
  ExecuteStats& stats_;
  VkCommandBuffer cb_;
  Barriers sync_;
  Pass pass_;
  bool rendering_ = false;
  VkDeviceSize staging_used_ = 0, splats_used_ = 0, stats_used_ = 0, drawn_used_ = 0;
  std::vector<Counted> counted_;
  std::vector<Undo> undo_;
  std::vector<GpuBuffer> retired_;
  std::vector<VkDescriptorPool> retired_pools_;
};

std::expected<void, std::string> Recorder::run(const kova_rhi::GpuCommand& command) {
  using namespace kova_rhi;
  if (const auto* c = std::get_if<ClearCommand>(&command)) return clear(*c);
  if (const auto* c = std::get_if<BeginPassCommand>(&command)) return beginPass(*c);
  if (std::holds_alternative<EndPassCommand>(command)) {
    if (!pass_.in_pass) return fail("end_pass outside a pass");
    endRendering();
    pass_.in_pass = false;
    return {};
  }
  if (const auto* c = std::get_if<PipelineId>(&command)) {
    if (!c->isValid() || c->id > s_.pipelines.size() ||
        s_.pipelines[c->id - 1].desc.type != c->type) {
      return fail("unknown pipeline");
    }
    pass_.pipeline = *c;
    return {};
  }
  if (const auto* c = std::get_if<BindVertexBufferCommand>(&command)) {
    if (buffer(c->buffer) == nullptr || c->offset != 0)
      return fail("invalid vertex buffer binding");
    pass_.vertex_buffer = c->buffer;
    return {};
  }
  if (const auto* c = std::get_if<BindUniformCommand>(&command)) {
    const State::Buffer* b = buffer(c->buffer);
    if (b == nullptr || c->binding >= pass_.uniforms.size() || c->offset != 0 ||
        c->size > b->desc.size) {
      return fail("invalid uniform binding");
    }
    pass_.uniforms[c->binding] = c->buffer;
    return {};
  }
  if (const auto* c = std::get_if<DrawCommand>(&command)) {
    if (c->pipeline.isValid() && c->pipeline.id <= s_.pipelines.size() &&
        s_.pipelines[c->pipeline.id - 1].desc.topology == PrimitiveTopology::triangle_list) {
      return drawMesh(*c);
    }
    return drawPoints(*c);
  }
  if (std::holds_alternative<DispatchCommand>(command)) {
    return fail("no general compute shaders on this device layer; use kova_compute_fs_distance");
  }
  if (const auto* c = std::get_if<KovaUploadPgl4Command>(&command)) {
    State::Buffer* b = buffer(c->buffer);
    if (b == nullptr || b->desc.type != BufferType::kova_transforms)
      return fail("target is not a transform buffer");
    if (c->transforms.size() > b->desc.size / 128)
      return fail("more transforms than the buffer holds");
    return upload(*b, c->transforms);
  }
  if (const auto* c = std::get_if<KovaUploadPositionsCommand>(&command)) {
    State::Buffer* b = buffer(c->buffer);
    if (b == nullptr || b->desc.type != BufferType::kova_positions)
      return fail("target is not a position buffer");
    if (c->positions.size() > b->desc.size / 32)
      return fail("more positions than the buffer holds");
    return upload(*b, c->positions);
  }
  if (const auto* c = std::get_if<KovaComputeFsDistanceCommand>(&command)) return fsDistance(*c);
  if (const auto* c = std::get_if<KovaRenderGeodesicsCommand>(&command)) return drawGeodesics(*c);
  return fail("unknown command");
}

std::expected<void, std::string> Recorder::clear(const kova_rhi::ClearCommand& c) {
  State::Image* color = image(c.color_attachment);
  if (color == nullptr || color->is_depth) return fail("clear needs a colour image");
  State::Image* depth = nullptr;
  if (pass_.in_pass && pass_.depth) {
    depth = image(*pass_.depth);
    if (depth == nullptr) return fail("the pass's depth attachment is not an image");
    if (!(c.depth >= 0.0f && c.depth <= 1.0f)) return fail("clear depth outside [0, 1]");
  }
  sync_.note(color->gpu, kTransferWrite);
  sync_.note(color->kinds, kTransferWrite);
  if (depth != nullptr) sync_.note(depth->gpu, kTransferWrite);
  outside();
  const VkClearColorValue rgba{.float32 = {c.r, c.g, c.b, c.a}};
  const VkClearColorValue zero{};
  const VkImageSubresourceRange range{VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
  vkCmdClearColorImage(cb_, color->gpu.image, color->gpu.layout, &rgba, 1, &range);
  vkCmdClearColorImage(cb_, color->kinds.image, color->kinds.layout, &zero, 1, &range);
  if (depth != nullptr) {
    const VkClearDepthStencilValue value{c.depth, 0};
    const VkImageSubresourceRange depth_range{VK_IMAGE_ASPECT_DEPTH_BIT, 0, 1, 0, 1};
    vkCmdClearDepthStencilImage(cb_, depth->gpu.image, depth->gpu.layout, &value, 1, &depth_range);
  }
  return {};
}

std::expected<void, std::string> Recorder::beginPass(const kova_rhi::BeginPassCommand& c) {
  if (pass_.in_pass) return fail("begin_pass inside a pass");
  if (c.color_attachments.size() != 1)
    return fail("this device layer renders to one colour attachment");
  const State::Image* color = image(c.color_attachments[0]);
  if (color == nullptr || color->is_depth) return fail("colour attachment is not a colour image");
  if (c.depth_attachment) {
    const State::Image* depth = image(*c.depth_attachment);
    if (depth == nullptr || !depth->is_depth) return fail("depth attachment is not a depth image");
    if (depth->desc.width != color->desc.width || depth->desc.height != color->desc.height)
      return fail("colour and depth attachments differ in size");
  }
  pass_.in_pass = true;
  pass_.color = c.color_attachments[0];
  pass_.depth = c.depth_attachment;
  return {};
}

std::expected<void, std::string> Recorder::fsDistance(
    const kova_rhi::KovaComputeFsDistanceCommand& c) {
  State::Buffer* a = buffer(c.positions_a);
  State::Buffer* b = buffer(c.positions_b);
  State::Buffer* out = buffer(c.results);
  if (a == nullptr || b == nullptr || out == nullptr ||
      a->desc.type != BufferType::kova_positions || b->desc.type != BufferType::kova_positions ||
      out->desc.type != BufferType::storage) {
    return fail("needs two position buffers and a storage buffer");
  }
  // A buffer of one point stands for that point repeated `count` times.
  const auto fits = [&](const State::Buffer* in) {
    return pointsIn(*in) == 1 || pointsIn(*in) >= c.count;
  };
  if (!fits(a) || !fits(b)) return fail("a position buffer holds fewer than count points");
  if (std::uint64_t{c.count} * 8 > out->desc.size) return fail("results buffer too small");
  if (c.count > 0 && (pointsIn(*a) == 0 || pointsIn(*b) == 0)) return fail("empty position buffer");
  remember(*out);
  out->filled = c.count;
  stats_.distances += c.count;
  if (c.count == 0) return {};
  sync_.note(a->gpu, kComputeRead);
  sync_.note(b->gpu, kComputeRead);
  sync_.note(out->gpu, kComputeWrite);
  outside();
  vkCmdBindPipeline(cb_, VK_PIPELINE_BIND_POINT_COMPUTE, s_.kernels[0]);
  bindSet(Program::fs_distance, VK_PIPELINE_BIND_POINT_COMPUTE,
          {whole(a->gpu), whole(b->gpu), whole(out->gpu)});
  const struct {
    std::uint32_t count, a_single, b_single;
  } pc{c.count, pointsIn(*a) == 1 ? 1u : 0u, pointsIn(*b) == 1 ? 1u : 0u};
  push(Program::fs_distance, VK_SHADER_STAGE_COMPUTE_BIT, pc);
  dispatchOver(c.count);
  return {};
}

std::expected<void, std::string> Recorder::drawPoints(const kova_rhi::DrawCommand& draw) {
  if (!pass_.in_pass || !pass_.depth) return fail("draws need a pass with a depth attachment");
  if (!(draw.pipeline == pass_.pipeline) || !draw.pipeline.isValid())
    return fail("draw's pipeline is not bound");
  State::Pipeline& pipe = s_.pipelines[draw.pipeline.id - 1];
  if (pipe.desc.topology != kova_rhi::PrimitiveTopology::point_list)
    return fail("pipeline does not draw points");
  if (!(draw.index_buffer == BufferId::invalid()))
    return fail("indexed drawing is not supported; draw in buffer order");
  const BufferId vb =
      draw.vertex_buffer == BufferId::invalid() ? pass_.vertex_buffer : draw.vertex_buffer;
  State::Buffer* positions = buffer(draw.kova_position_buffer);
  State::Buffer* distances = buffer(vb);
  State::Buffer* camera = buffer(draw.kova_transform_buffer);
  if (positions == nullptr || distances == nullptr || camera == nullptr)
    return fail("draw names an unknown buffer");
  if (pointsIn(*positions) < draw.index_count || valuesIn(*distances) < draw.index_count)
    return fail("draw reads past the uploaded positions or computed distances");
  if (transformsIn(*camera) < 2) return fail("transform buffer lacks the camera block");
  if (draw.instance_count == 0 || draw.index_count == 0) return {};

  const State::Image& color = *image(pass_.color);
  const double tan_h = camera->shadow[1].data[4];
  const std::uint32_t n = draw.index_count;
  Counted counted = counters(false);
  const VkDeviceSize at = reserve(s_.splats, splats_used_, VkDeviceSize{n} * 16, kStorage);
  counted.splats = static_cast<const std::byte*>(s_.splats.mapped) + at;
  counted.count = n;
  counted_.push_back(counted);

  sync_.note(positions->gpu, kComputeRead);
  sync_.note(distances->gpu, kComputeRead);
  sync_.note(camera->gpu, kComputeRead);
  sync_.note(s_.splats, kComputeWrite);
  sync_.note(s_.stats, kComputeWrite);
  outside();
  vkCmdBindPipeline(cb_, VK_PIPELINE_BIND_POINT_COMPUTE, s_.kernels[1]);
  bindSet(Program::point_splats, VK_PIPELINE_BIND_POINT_COMPUTE,
          {whole(positions->gpu),
           whole(distances->gpu),
           whole(camera->gpu),
           {s_.splats.buffer, at, VkDeviceSize{n} * 16},
           whole(s_.stats)});
  const struct {
    double steps[3];
    std::uint32_t count, width, height, counter;
  } pc{{radiusStep(3, tan_h, color.desc.width), radiusStep(2, tan_h, color.desc.width),
        radiusStep(1, tan_h, color.desc.width)},
       n,
       color.desc.width,
       color.desc.height,
       counted.slot};
  push(Program::point_splats, VK_SHADER_STAGE_COMPUTE_BIT, pc);
  dispatchOver(n);

  sync_.note(s_.splats, kVertexRead);
  inside();
  vkCmdBindPipeline(cb_, VK_PIPELINE_BIND_POINT_GRAPHICS, s_.rasterPipeline(pipe, color.format));
  bindSet(Program::splat_draw, VK_PIPELINE_BIND_POINT_GRAPHICS,
          {{s_.splats.buffer, at, VkDeviceSize{n} * 16}});
  const struct {
    std::uint32_t width, height, first;
  } draw_pc{color.desc.width, color.desc.height, 0};
  push(Program::splat_draw, VK_SHADER_STAGE_VERTEX_BIT, draw_pc);
  vkCmdDraw(cb_, n, 1, 0, 0);
  return {};
}

// A mesh draw: the triangles of index_buffer over the vertices of
// kova_position_buffer, once per transform of kova_transform_buffer, seen
// through the camera block at uniform binding 0 (an isometric view); an
// optional storage buffer at binding 1 holds each instance's RGB colour.
// Every index is checked on the host against the vertices uploaded, so the
// shaders never read outside a buffer.
std::expected<void, std::string> Recorder::drawMesh(const kova_rhi::DrawCommand& draw) {
  if (!pass_.in_pass || !pass_.depth) return fail("draws need a pass with a depth attachment");
  if (!(draw.pipeline == pass_.pipeline)) return fail("draw's pipeline is not bound");
  State::Pipeline& pipe = s_.pipelines[draw.pipeline.id - 1];
  State::Buffer* vertices = buffer(draw.kova_position_buffer);
  State::Buffer* indices = buffer(draw.index_buffer);
  State::Buffer* instances = buffer(draw.kova_transform_buffer);
  State::Buffer* camera = buffer(pass_.uniforms[0]);
  if (vertices == nullptr || vertices->desc.type != BufferType::kova_positions)
    return fail("kova_position_buffer is not a position buffer");
  if (indices == nullptr || indices->desc.type != BufferType::index)
    return fail("index_buffer is not an index buffer");
  if (instances == nullptr || instances->desc.type != BufferType::kova_transforms)
    return fail("kova_transform_buffer is not a transform buffer");
  if (camera == nullptr || transformsIn(*camera) < 2)
    return fail("uniform binding 0 lacks the camera block");
  if (draw.index_count > indices->indices.size())
    return fail("index_count " + std::to_string(draw.index_count) + " reads past the " +
                std::to_string(indices->indices.size()) + " indices written");
  const std::uint64_t n_vertices = pointsIn(*vertices);
  for (std::uint32_t i = 0; i < draw.index_count; ++i) {
    if (indices->indices[i] >= n_vertices) {
      return fail("index " + std::to_string(indices->indices[i]) + " at " + std::to_string(i) +
                  " is beyond the " + std::to_string(n_vertices) + " vertices");
    }
  }
  if (draw.instance_count > transformsIn(*instances)) {
    return fail("instance_count " + std::to_string(draw.instance_count) + " exceeds the " +
                std::to_string(transformsIn(*instances)) + " transforms uploaded");
  }
  State::Buffer* colors = buffer(pass_.uniforms[1]);
  if (colors != nullptr && (colors->desc.type != BufferType::storage ||
                            valuesIn(*colors) < std::uint64_t{3} * draw.instance_count))
    return fail("uniform binding 1 holds fewer than 3 colour values per instance");
  if (camera->shadow[1].data[8] != 1.0)
    return fail("triangles need a camera block with an isometric view");
  const std::uint32_t triangles = draw.index_count / 3;
  stats_.triangles += triangles * draw.instance_count;
  if (triangles == 0 || draw.instance_count == 0) return {};
  // Each instance is drawn twice; the instance index must not wrap.
  if (draw.instance_count > 0x7FFFFFFFu) return fail("instance_count too large");
  const std::uint64_t flags = std::uint64_t{triangles} * draw.instance_count;
  if (flags * 4 > s_.max_storage_range) return fail("too many triangles in one draw");

  const State::Image& color = *image(pass_.color);
  Counted counted{};
  counted.triangles = true;
  counted.count = static_cast<std::uint32_t>(flags);
  const VkDeviceSize at = reserve(s_.drawn, drawn_used_, flags * 4, kStorage);
  std::memset(static_cast<std::byte*>(s_.drawn.mapped) + at, 0, flags * 4);
  counted.splats = static_cast<const std::byte*>(s_.drawn.mapped) + at;
  counted_.push_back(counted);

  // Both stages read the camera block; the fragments flag their triangles.
  sync_.note(camera->gpu, kMeshRead);
  for (State::Buffer* read : {colors, vertices, indices, instances})
    if (read != nullptr) sync_.note(read->gpu, kVertexRead);
  sync_.note(s_.drawn, kFragmentWrite);
  inside();
  vkCmdBindPipeline(cb_, VK_PIPELINE_BIND_POINT_GRAPHICS, s_.rasterPipeline(pipe, color.format));
  // Binding 1 falls back to the camera buffer when no colours are bound; the
  // shaders then read none.
  bindSet(Program::mesh_draw, VK_PIPELINE_BIND_POINT_GRAPHICS,
          {whole(camera->gpu),
           whole(colors != nullptr ? colors->gpu : camera->gpu),
           whole(vertices->gpu),
           whole(indices->gpu),
           whole(instances->gpu),
           {s_.drawn.buffer, at, flags * 4}});
  const struct {
    std::uint32_t width, height, triangles, has_colors;
  } pc{color.desc.width, color.desc.height, triangles, colors != nullptr ? 1u : 0u};
  push(Program::mesh_draw, VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, pc);
  // Triangles map onto the image itself, not the widened viewport of the
  // points and arcs; the widened one is restored after the draw.
  const VkViewport exact{
      0.0f, 0.0f, static_cast<float>(color.desc.width), static_cast<float>(color.desc.height),
      0.0f, 1.0f};
  vkCmdSetViewport(cb_, 0, 1, &exact);
  vkCmdDraw(cb_, triangles * 3, draw.instance_count * 2, 0, 0);
  const VkViewport widened{-kViewportPad,
                           -kViewportPad,
                           static_cast<float>(color.desc.width) + 2 * kViewportPad,
                           static_cast<float>(color.desc.height) + 2 * kViewportPad,
                           0.0f,
                           1.0f};
  vkCmdSetViewport(cb_, 0, 1, &widened);
  return {};
}

std::expected<void, std::string> Recorder::drawGeodesics(
    const kova_rhi::KovaRenderGeodesicsCommand& c) {
  if (!pass_.in_pass || !pass_.depth) return fail("geodesics need a pass with a depth attachment");
  if (!pass_.pipeline.isValid()) return fail("no pipeline bound");
  State::Pipeline& pipe = s_.pipelines[pass_.pipeline.id - 1];
  if (pipe.desc.topology != kova_rhi::PrimitiveTopology::geodesic_list)
    return fail("pipeline does not draw geodesics");
  State::Buffer* positions = buffer(c.positions);
  State::Buffer* camera = buffer(pass_.uniforms[0]);
  if (positions == nullptr || pointsIn(*positions) < c.count)
    return fail("geodesics read past the uploaded positions");
  if (camera == nullptr || transformsIn(*camera) < 2)
    return fail("uniform binding 0 lacks the camera block");
  const std::uint32_t arcs = c.count / 2;
  if (arcs == 0) return {};

  const State::Image& color = *image(pass_.color);
  Counted counted = counters(true);
  counted_.push_back(counted);
  grow(s_.arcs, VkDeviceSize{arcs} * 8, kStorage, false);
  grow(s_.pixels, VkDeviceSize{kPixelCapacity} * 8, kStorage, false);
  grow(s_.draw_args, 16, kStorage | VK_BUFFER_USAGE_INDIRECT_BUFFER_BIT, false);

  endRendering();
  vkCmdBindPipeline(cb_, VK_PIPELINE_BIND_POINT_COMPUTE, s_.kernels[2]);
  bindSet(Program::geodesics, VK_PIPELINE_BIND_POINT_COMPUTE,
          {whole(positions->gpu), whole(camera->gpu), whole(s_.arcs), whole(s_.pixels),
           whole(s_.stats), whole(s_.draw_args)});
  // Each mode reads what the one before wrote; every one touches all that is
  // bound, as the shader declares it.
  for (std::uint32_t mode = 0; mode < 3; ++mode) {
    sync_.note(positions->gpu, kComputeRead);
    sync_.note(camera->gpu, kComputeRead);
    for (GpuBuffer* written : {&s_.arcs, &s_.pixels, &s_.stats, &s_.draw_args})
      sync_.note(*written, kComputeWrite);
    sync_.flush();
    const struct {
      std::uint32_t count, width, height, mode, capacity, counter;
    } pc{c.count, color.desc.width, color.desc.height, mode, kPixelCapacity, counted.slot};
    push(Program::geodesics, VK_SHADER_STAGE_COMPUTE_BIT, pc);
    dispatchOver(mode == 1 ? 1 : arcs);
  }

  sync_.note(s_.pixels, kVertexRead);
  sync_.note(s_.draw_args, kIndirectRead);
  inside();
  vkCmdBindPipeline(cb_, VK_PIPELINE_BIND_POINT_GRAPHICS, s_.rasterPipeline(pipe, color.format));
  bindSet(Program::geodesic_draw, VK_PIPELINE_BIND_POINT_GRAPHICS, {whole(s_.pixels)});
  // Under an isometric view (camera entry 24) lines fade into the fog colour.
  const PGL4& params = camera->shadow[1];
  const bool isometric = params.data[8] == 1.0;
  const struct {
    float rgb[4];
    std::uint32_t width, height, isometric, pad;
    double near_fs, far_fs;
    float fog[4];
  } draw_pc{{c.color_r, c.color_g, c.color_b, 1.0f},
            color.desc.width,
            color.desc.height,
            isometric ? 1u : 0u,
            0u,
            params.data[6],
            params.data[7],
            {static_cast<float>(params.data[9]), static_cast<float>(params.data[10]),
             static_cast<float>(params.data[11]), 1.0f}};
  push(Program::geodesic_draw, VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, draw_pc);
  vkCmdDrawIndirect(cb_, s_.draw_args.buffer, 0, 1, 16);
  return {};
}

void Recorder::readTrace(const Counted& c) const {
  for (std::uint32_t i = 0; i < c.count; ++i) {
    std::int32_t rec[4];
    std::memcpy(rec, c.splats + std::size_t{i} * 16, 16);
    if (rec[2] < 0) continue;
    const auto rgb = depthColor(std::bit_cast<float>(rec[3]));
    s_.trace->push_back(
        DrawTrace{i, rec[0], rec[1], rec[2], {toByte(rgb[0]), toByte(rgb[1]), toByte(rgb[2])}});
  }
}

}  // namespace

std::expected<ExecuteStats, std::string> VulkanDevice::execute(const kova_rhi::FrameGraph& graph) {
  ExecuteStats stats;
  Recorder rec(*s_, stats);
  bool submitted = false;
  try {
    rec.begin();
    for (const kova_rhi::FramePass& pass : graph.passes) {
      for (std::size_t i = 0; i < pass.commands.size(); ++i) {
        const kova_rhi::GpuCommand& command = pass.commands[i];
        if (auto ran = rec.run(command); !ran) {
          rec.abandon();
          return fail("pass '" + std::string(pass.name) + "', command " + std::to_string(i) + " (" +
                      std::string(tagName(kova_rhi::tagOf(command))) + "): " + ran.error());
        }
        ++stats.commands;
      }
      if (auto closed = rec.endPassCheck(); !closed) {
        rec.abandon();
        return fail("pass '" + std::string(pass.name) + "' " + closed.error());
      }
      ++stats.passes;
    }
    submitted = true;
    if (auto done = rec.finish(); !done) return fail(done.error());
  } catch (const VulkanFailure& e) {
    if (!submitted) rec.abandon();
    return fail(e.what());
  }
  return stats;
}

// ---------------------------------------------------------------------------
// Read-backs

namespace {

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
const std::byte* readImage(State& s, State::Image& img, bool kinds, std::size_t texel_bytes) {
  GpuImage& src = kinds ? img.kinds : img.gpu;
  GpuImage& dst = kinds ? img.resolved_kinds : img.resolved;
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
    resolveInto(cb, sync, img, src, dst, kinds);
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

State::Image* findImage(State& s, ImageId id) {
  if (id.generation != s.generation || id.id == 0 || id.id > s.images.size()) return nullptr;
  return &s.images[id.id - 1];
}

}  // namespace

GpuImage& resolvedColor(State& s, State::Image& img, VkCommandBuffer cb, Barriers& sync) {
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
  for (std::size_t p = 0; p < pixels; ++p) {
    for (std::size_t c = 0; c < 3; ++c) {
      const std::byte* at = data + p * texel + c * (texel / 4);
      if (texel == 4) {
        rgb[p * 3 + c] = static_cast<std::uint8_t>(*at);
      } else if (texel == 8) {
        std::uint16_t h;
        std::memcpy(&h, at, 2);
        rgb[p * 3 + c] = toByte(halfToFloat(h));
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
  if (id.generation != s_->generation || id.id == 0 || id.id > s_->buffers.size())
    return fail("unknown buffer");
  State::Buffer& b = s_->buffers[id.id - 1];
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
