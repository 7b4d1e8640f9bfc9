// A reference device layer that interprets a kova FrameGraph on the CPU.
//
// Buffers and images live in host memory. Uploads copy into buffers,
// kova_compute_fs_distance computes Fubini-Study distances, dispatch runs the
// built-in compute kernels as C++, clear clears,
// and the projective pipelines draw points and triangle meshes
// (draw_indexed) and geodesics (kova_render_geodesics) into a colour image
// and a depth image. The depth image of an fs_depth pipeline holds the
// projective depth d = tan(near) |D| cot(theta) of kova_device_raster.hpp
// (theta the FS distance, |D| the length of the sample's ray), tested with
// the reversed compare; d > 1, nearer than the plane at tan(near) in the
// eye's chart, is the near bound and is not drawn. readDepth turns it back
// into FS-depth. Images keep several samples per pixel
// (4 by default) and are resolved on read-back. Every graph is checked whole
// before it runs; a malformed graph is reported as an error, changes nothing
// and never touches memory the device does not own.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kova_device.hpp"
#include "kova_device_checks.hpp"
#include "kova_device_raster.hpp"
#include "kova_device_resources.hpp"
#include "kova_rhi.hpp"

namespace kova_device {

class CpuDevice {
 public:
  // Samples per pixel of every image: 1 (at the pixel centre) or 4 (at the
  // standard positions of 4x multisampling); anything else means 4.
  explicit CpuDevice(std::uint32_t samples = 4) noexcept : samples_(samples == 1 ? 1 : 4) {}

  // Buffers of kova_positions, kova_transforms, storage (f64 values, stride
  // 8) and index (u32 values, stride 4) types.
  [[nodiscard]] std::expected<BufferId, std::string> createBuffer(
      const kova_rhi::BufferDescriptor& desc);
  // 2D colour images (rgba8/16/32 formats) and depth32_float depth images.
  [[nodiscard]] std::expected<ImageId, std::string> createImage(
      const kova_rhi::ImageDescriptor& desc);
  // Projective pipelines draw point_list or triangle_list (draw_indexed) or
  // geodesic_list (kova_render_geodesics) with FS-depth; graphics pipelines
  // are refused.
  [[nodiscard]] std::expected<PipelineId, std::string> createPipeline(
      const kova_rhi::GraphicsPipelineDescriptor& desc);

  // A compute pipeline running a built-in kernel (kova_tile_lights.hpp),
  // for bind_pipeline and dispatch. Fails on an unknown kernel.
  [[nodiscard]] std::expected<PipelineId, std::string> createComputePipeline(BuiltinKernel kernel);

  // Host writes into an index buffer or a storage buffer, as a host maps
  // and fills memory before submitting work. Fails, changing nothing, on an
  // unknown buffer, the wrong type or more values than the buffer holds.
  [[nodiscard]] std::expected<void, std::string> writeIndices(
      BufferId id, std::span<const std::uint32_t> values);
  [[nodiscard]] std::expected<void, std::string> writeValues(BufferId id,
                                                             std::span<const double> values);

  // Checks the whole graph (kova_device_checks.hpp), then runs its passes
  // in order. A graph that fails its checks is reported with a message
  // naming the pass and command, and changes nothing.
  [[nodiscard]] std::expected<ExecuteStats, std::string> execute(const kova_rhi::FrameGraph& graph);

  // Frees a buffer or an image. Fails, changing nothing, on a handle that
  // names no live resource of this device (unknown, foreign or already
  // released); the released handle stays stale for good. Nothing is ever
  // in flight on the CPU device, so a live resource can always be released.
  [[nodiscard]] std::expected<void, std::string> releaseBuffer(BufferId id);
  [[nodiscard]] std::expected<void, std::string> releaseImage(ImageId id);

  // What this device can hold, as its checks apply it.
  [[nodiscard]] static DeviceLimits limits() noexcept;

  // Read-back of a colour image as 8-bit RGB (the mean of its samples), of a
  // depth image as FS-depth (sample 0 of each pixel, read along the pixel
  // centre's ray with the camera of the last draw since the last clear; a
  // depth image only cleared reads 1 - stored), and of the per-pixel record
  // of what last wrote each pixel of a colour image.
  [[nodiscard]] std::expected<std::vector<std::uint8_t>, std::string> readRgb8(ImageId image) const;
  [[nodiscard]] std::expected<std::vector<float>, std::string> readDepth(ImageId image) const;
  [[nodiscard]] std::expected<std::vector<std::uint8_t>, std::string> readKinds(
      ImageId image) const;

  // The values a storage buffer holds (as many as were last written or
  // computed into it).
  [[nodiscard]] std::expected<std::vector<double>, std::string> readValues(BufferId buffer) const;

  // The texels of an image's pixels in its format's bytes (sample 0 of each
  // pixel): 4 a pixel for rgba8 and depth32_float, 16 for rgba32_float;
  // other formats are refused. What a G-buffer's pixels take.
  [[nodiscard]] std::expected<std::vector<std::uint8_t>, std::string> readTexelBytes(
      ImageId image) const;

  // Where draws record the points they put into the image (nullptr: nowhere).
  void setTrace(std::vector<DrawTrace>* trace) noexcept { trace_ = trace; }
  // Where triangle draws count, per sample of the colour image, the
  // fragments that passed the depth test (nullptr: nowhere). Sized and
  // zeroed by the first triangle draw into an image of another size.
  void setCoverage(std::vector<std::uint16_t>* coverage) noexcept { coverage_ = coverage; }
  [[nodiscard]] std::uint32_t samples() const noexcept { return samples_; }

 private:
  // The contents beside what every device records (index buffers' indices
  // live in the record).
  struct Buffer : BufferRecord {
    std::vector<HomVec4> points;
    std::vector<PGL4> transforms;
    std::vector<double> values;
  };
  struct Image : ImageRecord {
    std::vector<float> texels;        // RGBA per sample, or one depth value per sample
    std::vector<std::uint8_t> kinds;  // PixelKind per pixel (colour images)
    // The camera of the last draw into a depth image since its last clear,
    // which readDepth reads the stored depths with.
    std::optional<DepthCamera> depth_camera;
  };
  struct Pipeline : PipelineRecord {};

  void run(const CheckedCommand& command, ExecuteStats& stats);
  void clear(const CheckedCommand& command);
  void drawPoints(const CheckedCommand& command, ExecuteStats& stats);
  void drawMesh(const CheckedCommand& command, ExecuteStats& stats);
  void drawGeodesics(const CheckedCommand& command, ExecuteStats& stats);
  void drawArcLines(const CheckedCommand& command, ExecuteStats& stats);
  void dispatch(const CheckedCommand& command);
  void lightGBuffer(const CheckedCommand& command);

  DeviceResources<Buffer, Image, Pipeline> resources_;
  std::vector<DrawTrace>* trace_ = nullptr;
  std::vector<std::uint16_t>* coverage_ = nullptr;
  std::uint32_t samples_ = 4;
};

}  // namespace kova_device
