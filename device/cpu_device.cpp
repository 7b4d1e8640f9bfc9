#include "kova_cpu_device.hpp"

#include <algorithm>
#include <variant>

#include "kova_device_lights.hpp"
#include "kova_device_raster.hpp"
#include "kova_tile_lights.hpp"

namespace kova_device {
namespace {

using kova_rhi::BufferType;

std::unexpected<std::string> fail(std::string message) {
  return std::unexpected(std::move(message));
}

}  // namespace

DeviceLimits CpuDevice::limits() noexcept {
  // Host memory bounds nothing the checks could name in advance: buffers up
  // to 4 GiB and images up to 16384 pixels a side, as on common GPUs.
  return DeviceLimits{.max_buffer_bytes = 1ull << 32,
                      .max_image_side = 16384,
                      .max_instances = UINT32_MAX,
                      .max_draw_triangles = UINT64_MAX,
                      .gbuffer_passes = true};
}

std::expected<BufferId, std::string> CpuDevice::createBuffer(
    const kova_rhi::BufferDescriptor& desc) {
  if (auto ok = checkBufferDescriptor(desc, limits()); !ok) return fail(ok.error());
  Buffer b;
  b.desc = desc;
  return resources_.buffers.add(std::move(b));
}

std::expected<ImageId, std::string> CpuDevice::createImage(const kova_rhi::ImageDescriptor& desc) {
  const auto is_depth = checkImageDescriptor(desc, limits());
  if (!is_depth) return fail(is_depth.error());
  Image img;
  img.desc = desc;
  img.is_depth = *is_depth;
  const std::size_t pixels = std::size_t{desc.width} * desc.height;
  img.texels.assign(pixels * samples_ * (img.is_depth ? 1 : 4),
                    img.is_depth ? clearedDepth(1.0f) : 0.0f);
  if (!img.is_depth) img.kinds.assign(pixels, static_cast<std::uint8_t>(PixelKind::clear));
  return resources_.images.add(std::move(img));
}

std::expected<PipelineId, std::string> CpuDevice::createPipeline(
    const kova_rhi::GraphicsPipelineDescriptor& desc) {
  if (auto ok = checkPipelineDescriptor(desc); !ok) return fail(ok.error());
  Pipeline p;
  p.desc = desc;
  return resources_.addPipeline(std::move(p));
}

std::expected<PipelineId, std::string> CpuDevice::createComputePipeline(BuiltinKernel kernel) {
  if (kernel != BuiltinKernel::tile_light_culling && kernel != BuiltinKernel::deferred_lighting)
    return fail("unknown built-in kernel");
  Pipeline p;
  p.desc.type = kova_rhi::PipelineType::compute;
  p.kernel = static_cast<std::uint8_t>(kernel);
  return resources_.addPipeline(std::move(p));
}

std::expected<void, std::string> CpuDevice::writeIndices(BufferId id,
                                                         std::span<const std::uint32_t> values) {
  Buffer* b = resources_.buffers.find(id);
  if (auto ok = checkIndexWrite(b, values.size()); !ok) return fail(ok.error());
  b->indices.assign(values.begin(), values.end());
  b->filled = values.size();
  return {};
}

std::expected<void, std::string> CpuDevice::writeValues(BufferId id,
                                                        std::span<const double> values) {
  Buffer* b = resources_.buffers.find(id);
  if (auto ok = checkValueWrite(b, values.size()); !ok) return fail(ok.error());
  b->values.assign(values.begin(), values.end());
  b->host_values = b->values;
  b->filled = values.size();
  return {};
}

std::expected<void, std::string> CpuDevice::releaseBuffer(BufferId id) {
  if (auto ok = checkBufferRelease(resources_.buffers.find(id)); !ok) return fail(ok.error());
  (void)resources_.buffers.take(id);  // the contents go with it
  return {};
}

std::expected<void, std::string> CpuDevice::releaseImage(ImageId id) {
  if (auto ok = checkImageRelease(resources_.images.find(id), false); !ok)
    return fail(ok.error());
  (void)resources_.images.take(id);
  return {};
}

std::expected<ExecuteStats, std::string> CpuDevice::execute(const kova_rhi::FrameGraph& graph) {
  auto checked = checkGraph(graph, resources_, limits());
  if (!checked) return fail(checked.error());
  ExecuteStats stats;
  for (const CheckedPass& pass : checked->passes) {
    for (const CheckedCommand& command : pass.commands) {
      run(command, stats);
      ++stats.commands;
    }
    ++stats.passes;
  }
  commitFills(resources_, *checked);
  return stats;
}

void CpuDevice::run(const CheckedCommand& command, ExecuteStats& stats) {
  using namespace kova_rhi;
  switch (command.op) {
    case CheckedOp::clear:
      return clear(command);
    case CheckedOp::begin_pass:
    case CheckedOp::end_pass:
    case CheckedOp::bind:
      return;  // the checker resolved what they set
    case CheckedOp::draw_points:
      return drawPoints(command, stats);
    case CheckedOp::draw_mesh:
      return drawMesh(command, stats);
    case CheckedOp::geodesics:
      return drawGeodesics(command, stats);
    case CheckedOp::dispatch:
      return dispatch(command);
    case CheckedOp::upload_transforms: {
      const auto& c = std::get<KovaUploadPgl4Command>(*command.command);
      resources_.buffers.find(c.buffer)->transforms.assign(c.transforms.begin(),
                                                           c.transforms.end());
      stats.bytes_uploaded += c.transforms.size_bytes();
      return;
    }
    case CheckedOp::upload_positions: {
      const auto& c = std::get<KovaUploadPositionsCommand>(*command.command);
      resources_.buffers.find(c.buffer)->points.assign(c.positions.begin(), c.positions.end());
      stats.bytes_uploaded += c.positions.size_bytes();
      return;
    }
    case CheckedOp::fs_distance: {
      const auto& c = std::get<KovaComputeFsDistanceCommand>(*command.command);
      const Buffer& a = *resources_.buffers.find(c.positions_a);
      const Buffer& b = *resources_.buffers.find(c.positions_b);
      Buffer& out = *resources_.buffers.find(c.results);
      // A buffer of one point stands for that point repeated `count` times.
      std::vector<double> values(c.count);
      for (std::uint32_t i = 0; i < c.count; ++i) {
        const HomVec4 pa = a.points.size() == 1 ? a.points[0] : a.points[i];
        const HomVec4 pb = b.points.size() == 1 ? b.points[0] : b.points[i];
        values[i] = kova_kernel::fsDistance(pa, pb);
      }
      out.values = std::move(values);
      stats.distances += c.count;
      return;
    }
  }
}

// Tile light culling, the C++ twin of shaders/tile_lights.comp: group
// (x, y) writes the record of tile (x, y); other tiles keep their values.
void CpuDevice::dispatch(const CheckedCommand& command) {
  if (command.to_gbuffer) return lightGBuffer(command);
  const auto& c = std::get<kova_rhi::DispatchCommand>(*command.command);
  const TileGrid grid = *checkTileGrid(resources_.buffers.find(command.grid)->host_values);
  const std::vector<LightGpu> lights =
      packLights(command.camera_block[0], resources_.buffers.find(command.lights)->host_values);
  const auto tan_h = static_cast<float>(command.camera_block[1].data[4]);
  const auto tan_v = static_cast<float>(command.camera_block[1].data[5]);
  Buffer& out = *resources_.buffers.find(command.output);
  if (out.values.size() < grid.outputValues()) out.values.resize(grid.outputValues(), 0.0);
  const std::uint64_t record = grid.recordValues();
  for (std::uint32_t ty = 0; ty < c.group_count_y; ++ty) {
    for (std::uint32_t tx = 0; tx < c.group_count_x; ++tx) {
      const std::vector<std::uint32_t> list = tileLightList(grid, tan_h, tan_v, tx, ty, lights);
      double* at = out.values.data() + (std::uint64_t{ty} * grid.tilesX() + tx) * record;
      at[0] = static_cast<double>(list.size());
      for (std::uint64_t k = 0; k + 1 < record; ++k)
        at[k + 1] = k < list.size() ? static_cast<double>(list[k]) : -1.0;
    }
  }
}

void CpuDevice::clear(const CheckedCommand& command) {
  const auto& c = std::get<kova_rhi::ClearCommand>(*command.command);
  Image& color = *resources_.images.find(command.color);
  const std::size_t samples = color.texels.size() / 4;
  for (std::size_t p = 0; p < samples; ++p) {
    color.texels[p * 4 + 0] = c.r;
    color.texels[p * 4 + 1] = c.g;
    color.texels[p * 4 + 2] = c.b;
    color.texels[p * 4 + 3] = c.a;
  }
  std::fill(color.kinds.begin(), color.kinds.end(), static_cast<std::uint8_t>(PixelKind::clear));
  // The depth image of the enclosing pass is cleared with the colour.
  if (command.depth) {
    Image& depth = *resources_.images.find(*command.depth);
    std::fill(depth.texels.begin(), depth.texels.end(), clearedDepth(c.depth));
    depth.depth_camera.reset();
  }
}

std::expected<std::vector<std::uint8_t>, std::string> CpuDevice::readRgb8(ImageId id) const {
  const Image* img = resources_.images.find(id);
  if (img == nullptr || img->is_depth) return fail("not a colour image");
  std::vector<std::uint8_t> rgb(img->kinds.size() * 3);
  const std::size_t n = samples_;
  // An 8-bit image keeps each sample as a byte, as a GPU's does: a pixel
  // that mixes an over-bright sample with a dim one resolves to the mean of
  // what was kept, not of the unclamped colours.
  const bool bytes = img->desc.format == kova_rhi::Format::rgba8_unorm ||
                     img->desc.format == kova_rhi::Format::rgba8_srgb;
  const auto kept = [bytes](float v) { return bytes ? toByte(v) / 255.0 : double{v}; };
  for (std::size_t p = 0; p < img->kinds.size(); ++p) {
    for (std::size_t c = 0; c < 3; ++c) {
      // Exact in double: the mean of equal samples is that sample.
      double sum = 0.0;
      for (std::size_t s = 0; s < n; ++s) sum += kept(img->texels[(p * n + s) * 4 + c]);
      rgb[p * 3 + c] = toByte(static_cast<float>(sum / static_cast<double>(n)));
    }
  }
  return rgb;
}

std::expected<std::vector<float>, std::string> CpuDevice::readDepth(ImageId id) const {
  const Image* img = resources_.images.find(id);
  if (img == nullptr || !img->is_depth) return fail("not a depth image");
  // Stored projective depths become FS-depth along each pixel centre's ray.
  std::vector<float> depth(img->texels.size() / samples_);
  const std::uint32_t w = img->desc.width;
  for (std::size_t p = 0; p < depth.size(); ++p)
    depth[p] = fsDepthFromStored(img->texels[p * samples_], static_cast<std::uint32_t>(p % w),
                                 static_cast<std::uint32_t>(p / w), w, img->desc.height,
                                 img->depth_camera);
  return depth;
}

std::expected<std::vector<double>, std::string> CpuDevice::readValues(BufferId id) const {
  const Buffer* b = resources_.buffers.find(id);
  if (b == nullptr) return fail("unknown buffer");
  if (b->desc.type != BufferType::storage) return fail("not a storage buffer");
  return b->values;
}

std::expected<std::vector<std::uint8_t>, std::string> CpuDevice::readKinds(ImageId id) const {
  const Image* img = resources_.images.find(id);
  if (img == nullptr || img->is_depth) return fail("not a colour image");
  return img->kinds;
}

}  // namespace kova_device
