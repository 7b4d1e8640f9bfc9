// Light in the lattice: lights that travel along great circles through the
// 120-cell's cells, and the lattice frame lit by them through the forward+
// recording (kova_forward_plus.hpp), its edges drawn in the shading pass.
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

namespace kova_demo {

// The rendering pipelines a host can choose by name. The programs drive
// forward+; the deferred pipeline (kova_deferred.hpp) is not wired into them yet.
enum class PipelineChoice : std::uint8_t { forward_plus };
[[nodiscard]] std::optional<PipelineChoice> parsePipelineChoice(std::string_view text) noexcept;
[[nodiscard]] std::string_view pipelineName(PipelineChoice choice) noexcept;
// The words that name the choices, for messages.
inline constexpr std::string_view kPipelineChoicesText =
    "forward-plus (the programs do not drive the deferred pipeline yet)";

// Lights of the lattice by default, and the most a frame sheds.
inline constexpr std::uint32_t kDefaultLatticeLights = 8;
inline constexpr std::uint32_t kMaxLatticeLights = static_cast<std::uint32_t>(kova_device::kMaxLights);

// `count` lights as they stand at frame `frame`: each travels along its own
// great circle by kFlightStep a frame, so after 120 frames (an arc of pi) it
// is back at the same point of elliptic space, as the flight is. The same
// count gives the same lights every run; past eight their ranges shrink
// with the cube root of the count, so that many lights do not wash the
// picture out.
[[nodiscard]] std::vector<kova_device::Light> latticeLights(std::uint32_t count,
                                                            std::uint64_t frame);

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
