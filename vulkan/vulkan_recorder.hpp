// The recording of one execute() on the Vulkan device.
//
// The graph has passed the device-neutral checks (kova_device_checks.hpp)
// before anything is recorded, so the Recorder takes each command with its
// resources resolved and only records it. Each command notes the buffers and
// images it touches and how, and gets the barriers those accesses need
// (vulkan_barriers.hpp), so the barriers follow from what every pass reads
// and writes. The accesses come from the commands rather than the pass's
// image lists: those name no buffers and no stages, and a pass may leave them
// empty (the CPU device runs such a pass too); an image a pass lists that no
// command touches is not touched on the device and needs no barrier.
// Rendering resumes with the attachments' contents loaded, so a pass may
// interleave uploads and draws as freely as on the CPU device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "vulkan_state.hpp"

namespace kova_device::recording {

using State = VulkanDevice::State;

// The triangle pipeline's accesses besides the vertex shader's reads.
inline constexpr Access kMeshRead{
    VK_PIPELINE_STAGE_2_VERTEX_SHADER_BIT | VK_PIPELINE_STAGE_2_FRAGMENT_SHADER_BIT,
    VK_ACCESS_2_SHADER_STORAGE_READ_BIT};
inline constexpr Access kFragmentWrite{VK_PIPELINE_STAGE_2_FRAGMENT_SHADER_BIT,
                                       VK_ACCESS_2_SHADER_STORAGE_WRITE_BIT};
// Storage images of a compute kernel, in the general layout.
inline constexpr Access kComputeImageRead{VK_PIPELINE_STAGE_2_COMPUTE_SHADER_BIT,
                                          VK_ACCESS_2_SHADER_STORAGE_READ_BIT,
                                          VK_IMAGE_LAYOUT_GENERAL};
inline constexpr Access kComputeImageWrite{VK_PIPELINE_STAGE_2_COMPUTE_SHADER_BIT,
                                           VK_ACCESS_2_SHADER_STORAGE_WRITE_BIT,
                                           VK_IMAGE_LAYOUT_GENERAL};

// Arc pixels one geodesics command may produce (kArcPixelBytes each).
inline constexpr std::uint32_t kPixelCapacity = 1u << 22;
// An arc pixel's record: position, depth factor, colour factor.
inline constexpr VkDeviceSize kArcPixelBytes = 12;
// At least minStorageBufferOffsetAlignment.
inline constexpr VkDeviceSize kRegionAlign = 256;
// kPad of shaders/viewport.glsl.
inline constexpr float kViewportPad = 4.0f;
inline constexpr VkBufferUsageFlags kStorage = VK_BUFFER_USAGE_STORAGE_BUFFER_BIT |
                                               VK_BUFFER_USAGE_TRANSFER_DST_BIT |
                                               VK_BUFFER_USAGE_TRANSFER_SRC_BIT;

// One execute(): the command buffer being recorded and what must be read or
// let go afterwards.
class Recorder {
 public:
  Recorder(State& s, ExecuteStats& stats) : s_(s), stats_(stats), cb_(s.commands), sync_(cb_) {}
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;
  ~Recorder() { releaseRetired(); }

  void begin();
  void record(const CheckedCommand& command);
  void endPass() { endRendering(); }
  // Submits, waits and gathers counters and traces. Fails if a geodesics
  // command had more pixels than its working buffer holds.
  [[nodiscard]] std::expected<void, std::string> finish();
  // Drops a recording that will not be submitted (a Vulkan call failed).
  void abandon();

 private:
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

  // Resources the checker has resolved: they exist.
  State::Buffer& buffer(BufferId id) { return *s_.resources.buffers.find(id); }
  State::Image& image(ImageId id) { return *s_.resources.images.find(id); }
  State::Pipeline& pipeline(PipelineId id) { return *s_.resources.pipelineAt(id); }

  // Grows a working buffer; the old one lives until the submission is done.
  void grow(GpuBuffer& b, VkDeviceSize size, VkBufferUsageFlags usage, bool host_visible);
  void releaseRetired();
  // Reserves `bytes` of a host-visible working buffer; returns the offset.
  VkDeviceSize reserve(GpuBuffer& b, VkDeviceSize& used, VkDeviceSize bytes,
                       VkBufferUsageFlags usage);
  // Two (three for geodesics) zeroed counters in the stats buffer.
  Counted counters(bool geodesics);

  void endRendering();
  // Before transfers and compute work: out of the render pass, with the
  // barriers of the accesses noted for the next command.
  void outside();
  // Before a draw: in the render pass of the command's attachments, with the
  // barriers its noted accesses need recorded before the rendering begins
  // (there are none inside it).
  void inside(const CheckedCommand& command);

  void bindSet(Program program, VkPipelineBindPoint point,
               std::initializer_list<VkDescriptorBufferInfo> infos,
               std::initializer_list<const GpuImage*> images = {});
  template <class T>
  void push(Program program, VkShaderStageFlags stages, const T& value) {
    vkCmdPushConstants(cb_, s_.layouts[static_cast<std::size_t>(program)], stages, 0, sizeof(T),
                       &value);
  }
  void dispatchOver(std::uint64_t items);
  static VkDescriptorBufferInfo whole(const GpuBuffer& b) { return {b.buffer, 0, VK_WHOLE_SIZE}; }

  void upload(State::Buffer& b, std::span<const std::byte> data);
  // Writes data into b's start on the host's copy and on the GPU, as an
  // upload does, without counting it as uploaded.
  void hostWrite(State::Buffer& b, std::span<const std::byte> data);
  // Copies host data into `target` through the staging buffer.
  void stage(GpuBuffer& target, std::span<const std::byte> data);
  void clear(const CheckedCommand& command);
  void fsDistance(const CheckedCommand& command);
  void dispatch(const CheckedCommand& command);  // vulkan_dispatch.cpp
  void lightGBuffer(const CheckedCommand& command);  // vulkan_dispatch.cpp
  // fsDistance without double-precision shaders: kova_kernel::fsDistance of
  // the host's copies, uploaded into the results.
  void hostFsDistance(const CheckedCommand& command);
  void drawPoints(const CheckedCommand& command);
  // The stages the GPU runs in double precision, on the host for a device
  // without double-precision shaders: they write what the shaders would.
  void splatsOnGpu(const CheckedCommand& command, VkDeviceSize at, VkDeviceSize bytes,
                   std::uint32_t slot);
  void hostSplats(const CheckedCommand& command, std::byte* records, std::uint32_t* counter);
  void walkOnGpu(const CheckedCommand& command, std::uint32_t slot);
  std::uint32_t hostArcWalk(const CheckedCommand& command, std::uint32_t* counters,
                            std::vector<std::uint32_t>& words);
  void drawMesh(const CheckedCommand& command);
  void drawGeodesics(const CheckedCommand& command);
  void drawArcLines(const CheckedCommand& command);
  void readTrace(const Counted& c) const;

  State& s_;
  ExecuteStats& stats_;
  VkCommandBuffer cb_;
  Barriers sync_;
  bool rendering_ = false;
  VkDeviceSize staging_used_ = 0, splats_used_ = 0, stats_used_ = 0, drawn_used_ = 0;
  std::vector<Counted> counted_;
  std::vector<GpuBuffer> retired_;
  std::vector<VkDescriptorPool> retired_pools_;
  // What this recording's uploads replaced in the buffers' host copies: the
  // copy's size before, and the bytes the upload overwrote.
  struct HostUndo {
    State::Buffer* buffer;
    std::size_t size;
    std::vector<std::byte> start;
  };
  std::vector<HostUndo> host_undo_;
};

}  // namespace kova_device::recording
