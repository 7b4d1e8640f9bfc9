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

}  // namespace kova_device::recording
