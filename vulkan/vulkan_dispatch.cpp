// The Vulkan device's dispatch of built-in compute kernels, recorded from
// commands the checker has resolved (vulkan_recorder.hpp).
#include <cstring>
#include <variant>

#include "kova_device_lights.hpp"
#include "kova_tile_lights.hpp"
#include "vulkan_recorder.hpp"

namespace kova_device::recording {

// Tile light culling (shaders/tile_lights.comp): the lights packed on the
// host as for mesh draws (packLights), one workgroup per tile, written into
// the output buffer; tiles outside the groups keep their values.
void Recorder::dispatch(const CheckedCommand& command) {
  const auto& c = std::get<kova_rhi::DispatchCommand>(*command.command);
  if (pipeline(c.pipeline).kernel == static_cast<std::uint8_t>(BuiltinKernel::deferred_lighting))
    return lightGBuffer(command);
  const TileGrid grid = *checkTileGrid(buffer(command.grid).host_values);
  const std::vector<LightGpu> lights =
      packLights(command.camera_block[0], buffer(command.lights).host_values);
  State::Buffer* out = &buffer(command.output);
  const VkDeviceSize light_bytes = std::max<VkDeviceSize>(lights.size(), 1) * sizeof(LightGpu);
  const VkDeviceSize lights_at = reserve(s_.splats, splats_used_, light_bytes, kStorage);
  auto* base = static_cast<std::byte*>(s_.splats.mapped);
  std::memset(base + lights_at, 0, light_bytes);
  if (!lights.empty()) std::memcpy(base + lights_at, lights.data(), light_bytes);

  sync_.note(s_.splats, kComputeRead);
  sync_.note(out->gpu, kComputeWrite);
  outside();
  vkCmdBindPipeline(cb_, VK_PIPELINE_BIND_POINT_COMPUTE, s_.tile_lights);
  bindSet(Program::tile_lights, VK_PIPELINE_BIND_POINT_COMPUTE,
          {{s_.splats.buffer, lights_at, light_bytes}, whole(out->gpu)});
  const struct {
    std::uint32_t width, height, tile_size, max_lights, light_count;
    float tan_h, tan_v;
  } pc{grid.width,
       grid.height,
       grid.tile_size,
       grid.max_lights_per_tile,
       static_cast<std::uint32_t>(lights.size()),
       static_cast<float>(command.camera_block[1].data[4]),
       static_cast<float>(command.camera_block[1].data[5])};
  static_assert(sizeof(pc) == 28);
  push(Program::tile_lights, VK_SHADER_STAGE_COMPUTE_BIT, pc);
  vkCmdDispatch(cb_, c.group_count_x, c.group_count_y, 1);
}

// Deferred lighting (shaders/deferred_light.comp): the G-buffer's four
// colour images read and the picture and its kinds written as storage
// images, per sample (image2DMS, or image2D on a one-sample device: the
// pipelines were made for the device's count); the lights packed as for
// mesh draws, and the tile lists read where they are bound. The lighting parameters the checker read
// give nothing the push constants lack: the picture's size is the G-buffer's.
void Recorder::lightGBuffer(const CheckedCommand& command) {
  const auto& c = std::get<kova_rhi::DispatchCommand>(*command.command);
  const PGL4& params = command.camera_block[1];
  const std::vector<LightGpu> lights =
      packLights(command.camera_block[0], buffer(command.lights).host_values);
  State::Buffer* lists = command.output.id != 0 ? &buffer(command.output) : nullptr;
  const TileGrid grid =
      lists != nullptr ? *checkTileGrid(buffer(command.grid).host_values) : TileGrid{};
  const VkDeviceSize light_bytes = std::max<VkDeviceSize>(lights.size(), 1) * sizeof(LightGpu);
  const VkDeviceSize lights_at = reserve(s_.splats, splats_used_, light_bytes, kStorage);
  auto* base = static_cast<std::byte*>(s_.splats.mapped);
  std::memset(base + lights_at, 0, light_bytes);
  if (!lights.empty()) std::memcpy(base + lights_at, lights.data(), light_bytes);

  State::Image& picture = image(command.color);
  std::array<GpuImage*, 4> g{};
  for (std::size_t k = 0; k < 4; ++k) g[k] = &image(command.gbuffer[k]).gpu;
  sync_.note(s_.splats, kComputeRead);
  if (lists != nullptr) sync_.note(lists->gpu, kComputeRead);
  for (GpuImage* k : g) sync_.note(*k, kComputeImageRead);
  sync_.note(picture.gpu, kComputeImageWrite);
  sync_.note(picture.kinds, kComputeImageWrite);
  outside();
  const bool wide_albedo = image(command.gbuffer[2]).format == VK_FORMAT_R32G32B32A32_SFLOAT;
  vkCmdBindPipeline(cb_, VK_PIPELINE_BIND_POINT_COMPUTE, s_.deferred_light[wide_albedo ? 1 : 0]);
  const VkDescriptorBufferInfo light_info{s_.splats.buffer, lights_at, light_bytes};
  bindSet(Program::deferred_light, VK_PIPELINE_BIND_POINT_COMPUTE,
          {light_info, lists != nullptr ? whole(lists->gpu) : light_info},
          {g[0], g[1], g[2], g[3], &picture.gpu, &picture.kinds});
  const struct {
    std::uint32_t width, height, light_count, tiled, tile_size, tiles_x, max_lights, samples;
    float fog[4];
  } pc{picture.desc.width,
       picture.desc.height,
       static_cast<std::uint32_t>(lights.size()),
       lists != nullptr ? 1u : 0u,
       grid.tile_size,
       grid.tilesX(),
       grid.max_lights_per_tile,
       static_cast<std::uint32_t>(s_.samples),
       {static_cast<float>(params.data[9]), static_cast<float>(params.data[10]),
        static_cast<float>(params.data[11]), 1.0f}};
  static_assert(sizeof(pc) == 48);
  push(Program::deferred_light, VK_SHADER_STAGE_COMPUTE_BIT, pc);
  vkCmdDispatch(cb_, c.group_count_x, c.group_count_y, 1);
}

}  // namespace kova_device::recording
