// A device layer that runs kova FrameGraphs on a Vulkan 1.3 device, headless.
//
// The same interface and the same meaning as CpuDevice: buffers, images and
// pipelines come from kova's descriptors, execute() records a whole frame
// graph into one command buffer and waits for it, and the read-backs return
// what the CPU device would. The depth attachment (D32_SFLOAT) holds the
// projective depth of kova_device_raster.hpp, tan(near) |D| cot(theta), which
// the rasteriser interpolates from clip z = tan(near) s w: reversed compares,
// the plane at tan(near) in the eye's chart as the near bound (clip z <= w),
// and readDepth returns FS-depth converted per pixel as on the CPU device.
// Triangles go through the raster path in single precision (the host
// composes view * model per instance in double), and so do geodesic arcs
// under an isometric view, drawn as Bresenham line primitives (the host hands
// each arc's ends in view space). Distances, points and arcs under a view
// that keeps w stay in double until a pixel is known: in compute shaders
// where the GPU has double-precision shaders, otherwise on the host, bit for
// bit the same (usesFloat64()). Every command
// is checked on the host, by the rules every device shares, before anything
// is recorded, so a malformed graph is an error and never reaches the driver.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kova_device.hpp"
#include "kova_tile_lights.hpp"
#include "kova_rhi.hpp"

namespace kova_device {

struct VulkanOptions {
  // Enables the Khronos validation layer with synchronisation validation and
  // counts what it reports (validationMessages()).
  bool validation = false;
  // With validation: the layer's best-practices checks too. The warnings the
  // device accepts, each for a stated reason, are left out of the count
  // (vulkan_setup.cpp, kAcceptedBestPractices).
  bool best_practices = false;
  // For a host that shows the pictures in a window: the instance extensions
  // its window system needs (VK_KHR_surface and the platform's), and the
  // device extension VK_KHR_swapchain.
  std::vector<std::string> instance_extensions{};
  bool swapchain = false;
  // Use double-precision shaders when the GPU has them (shaderFloat64).
  // Without them (a GPU that lacks them, or float64 = false), the stages
  // that need doubles run on the host with the same results, bit for bit;
  // every command and pipeline works either way.
  bool float64 = true;
  // Samples per pixel of every image and raster pipeline: 1 or 4 (at the
  // standard positions, as the CPU device's); anything else fails create().
  std::uint32_t samples = 4;
};

// What device selection needs to know about one physical device.
struct VulkanCandidate {
  std::string name;
  std::uint32_t api_version = 0;
  int type_rank = 0;  // 0 discrete, 1 integrated, 2 virtual, 3 CPU, 4 other
  bool graphics_compute_queue = false;
  bool float64 = false;
  bool large_points = false;  // points up to 7 pixels wide
  bool dynamic_rendering = false;
  bool synchronization2 = false;
  bool maintenance4 = false;
  bool fragment_stores = false;  // storage writes from fragment shaders
};

// The index of the device to use: the best ranked one that has everything
// the device layer needs (of two equally ranked, the one with shaderFloat64),
// or a one-line reason why none does. shaderFloat64 is not required; with
// `prefer_float64` a device that has it goes before any that lacks it,
// whatever their ranks (create() does not ask for that: every command runs
// without double-precision shaders).
[[nodiscard]] std::expected<std::size_t, std::string> chooseVulkanDevice(
    std::span<const VulkanCandidate> candidates, bool prefer_float64 = false);

class VulkanDevice {
 public:
  [[nodiscard]] static std::expected<VulkanDevice, std::string> create(
      const VulkanOptions& options = {});
  VulkanDevice(VulkanDevice&&) noexcept;
  VulkanDevice& operator=(VulkanDevice&&) noexcept;
  ~VulkanDevice();

  // The physical device's name, as the driver reports it.
  [[nodiscard]] const std::string& name() const noexcept;
  // Warnings and errors the validation layer reported so far, and the first one.
  [[nodiscard]] std::uint32_t validationMessages() const noexcept;
  [[nodiscard]] const std::string& firstValidationMessage() const noexcept;

  // The FrameDevice calls, with the CPU device's meaning and checks
  // (kova_cpu_device.hpp); what differs on Vulkan is said with each.

  // Records the checked graph into one command buffer, submits it and waits.
  [[nodiscard]] std::expected<ExecuteStats, std::string> execute(const kova_rhi::FrameGraph& graph);
  // Device-local memory from the device's blocks; images hold samples() samples.
  [[nodiscard]] std::expected<ImageId, std::string> createImage(
      const kova_rhi::ImageDescriptor& desc);
  [[nodiscard]] std::expected<BufferId, std::string> createBuffer(
      const kova_rhi::BufferDescriptor& desc);
  // Copied through a staging buffer; finished when the call returns.
  [[nodiscard]] std::expected<void, std::string> writeValues(BufferId id,
                                                             std::span<const double> values);
  [[nodiscard]] std::expected<void, std::string> writeIndices(
      BufferId id, std::span<const std::uint32_t> values);
  // Built here for the default colour format, so that a driver's refusal
  // shows at once.
  [[nodiscard]] std::expected<PipelineId, std::string> createPipeline(
      const kova_rhi::GraphicsPipelineDescriptor& desc);
  // A compute pipeline running a built-in kernel (kova_tile_lights.hpp) as
  // SPIR-V, for bind_pipeline and dispatch. Fails on an unknown kernel.
  [[nodiscard]] std::expected<PipelineId, std::string> createComputePipeline(BuiltinKernel kernel);
  // Frees the resource with all its memory (an image's views and resolved
  // copies too). An image that a colour blit recorded by recordColorBlit
  // still reads (not yet submitted, or submitted and not finished) is in
  // use, and its release fails, changing nothing.
  [[nodiscard]] std::expected<void, std::string> releaseImage(ImageId id);
  [[nodiscard]] std::expected<void, std::string> releaseBuffer(BufferId id);

  // Memory held now: every live buffer and image holds one range of a
  // block, and blocks come from the driver (64 MiB each, or one resource's
  // own when it is larger than half that) and go back once empty.
  [[nodiscard]] std::uint64_t liveAllocations() const noexcept;
  [[nodiscard]] std::uint64_t memoryBlocks() const noexcept;

  [[nodiscard]] std::expected<std::vector<std::uint8_t>, std::string> readRgb8(ImageId image) const;
  [[nodiscard]] std::expected<std::vector<float>, std::string> readDepth(ImageId image) const;
  [[nodiscard]] std::expected<std::vector<std::uint8_t>, std::string> readKinds(
      ImageId image) const;

  // The values a storage buffer holds (as many as were last computed into it).
  [[nodiscard]] std::expected<std::vector<double>, std::string> readValues(BufferId buffer) const;

  void setTrace(std::vector<DrawTrace>* trace) noexcept;
  // Samples per pixel of every image (VulkanOptions::samples).
  [[nodiscard]] std::uint32_t samples() const noexcept;
  // Whether the device runs double-precision shaders. Without them, the
  // double-precision stages run on the host at record time, in graph order,
  // from a host copy of what each buffer was last given:
  // kova_compute_fs_distance computes kova_kernel::fsDistance of the pairs
  // (bit for bit the CPU device's values) and uploads the results; a points
  // draw places its splats, and a geodesics draw under a view that keeps w
  // walks its arcs, exactly as the CPU device does, and the GPU draws them.
  [[nodiscard]] bool usesFloat64() const noexcept;

  struct State;

 private:
  // The window host's access to the device's handles (vulkan_present.cpp).
  friend struct VulkanDeviceAccess;
  explicit VulkanDevice(std::unique_ptr<State> state) noexcept;
  std::unique_ptr<State> s_;
};

}  // namespace kova_device
