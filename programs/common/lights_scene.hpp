// Light in the lattice: lights that travel along great circles through the
// 120-cell's cells, the pipelines that shed them, and the lattice frame lit
// by them through the forward+ recording (kova_forward_plus.hpp), its edges
// drawn in the shading pass. The deferred frame is lattice_deferred.hpp's.
#pragma once

#include <cstdint>
#include <expected>
#include <memory_resource>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device_names.hpp"
#include "kova_device_lights.hpp"
#include "kova_forward_plus.hpp"
#include "lattice_frame.hpp"
#include "pipeline_choice.hpp"

namespace kova_demo {

// Lights of the lattice by default, and the most a frame sheds: forward+
// sheds as many as a light buffer holds, deferred as many as its record's
// max_lights (the tile lists keep that many a tile, so that none is dropped).
inline constexpr std::uint32_t kDefaultLatticeLights = 8;
inline constexpr std::uint32_t kMaxLatticeLights = static_cast<std::uint32_t>(kova_device::kMaxLights);
inline constexpr std::uint32_t kMaxDeferredLatticeLights = kova_renderer::DeferredConfig{}.max_lights;
[[nodiscard]] constexpr std::uint32_t maxLatticeLights(PipelineChoice choice) noexcept {
  return choice == PipelineChoice::deferred ? kMaxDeferredLatticeLights : kMaxLatticeLights;
}
// Refuses more lights than `choice` sheds, saying so.
[[nodiscard]] std::expected<void, std::string> checkLatticeLights(PipelineChoice choice,
                                                                  std::uint32_t count);

// `count` lights as they stand at frame `frame`: each travels along its own
// great circle by kFlightStep a frame, so after 120 frames (an arc of pi) it
// is back at the same point of elliptic space, as the flight is. The same
// count gives the same lights every run; past eight their ranges shrink
// with the cube root of the count, so that many lights do not wash the
// picture out.
[[nodiscard]] std::vector<kova_device::Light> latticeLights(std::uint32_t count,
                                                            std::uint64_t frame);

// A light buffer with room for kMaxLatticeLights lights.
template <FrameDevice Device>
[[nodiscard]] std::expected<BufferId, std::string> createLatticeLightBuffer(Device& device);

template <FrameDevice Device>
[[nodiscard]] std::expected<LatticeLightsGpu, std::string> createLatticeLightsGpu(
    Device& device, const kova_renderer::ForwardPlusPipeline& record, std::uint32_t width,
    std::uint32_t height);
template <FrameDevice Device>
[[nodiscard]] std::expected<void, std::string> releaseLatticeLightsGpu(Device& device,
                                                                       const LatticeLightsGpu& g);

// The forward+ record of a lit lattice frame seen by `camera` (with the
// lattice's lens) on a device with `samples` samples per pixel.
[[nodiscard]] kova_renderer::ForwardPlusPipeline latticeForwardPlus(
    const kova_renderer::KovaCamera& camera, std::uint32_t samples, std::uint64_t frame);

// Records a lit lattice frame: the record's passes over the solids of
// `instances` with the first `color_values` colours, the edges drawn in the
// shading pass. The host has written `light_count` lights to g.lights.
// `every_light`: shaded brute force instead (no culling pass).
[[nodiscard]] std::expected<void, std::string> recordLatticeForwardPlus(
    kova_rhi::FrameGraph& graph, std::pmr::memory_resource& arena,
    const kova_renderer::ForwardPlusPipeline& record, const LatticeGpu& gpu,
    const LatticeLightsGpu& lit, const LatticeScene& scene, ImageId color, ImageId depth,
    std::span<const PGL4> instances, std::span<const PGL4> camera_block,
    std::size_t color_values, std::size_t light_count, bool every_light = false);

}  // namespace kova_demo
