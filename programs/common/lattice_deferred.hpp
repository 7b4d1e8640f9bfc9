// The lattice lit through the deferred pipeline (kova_deferred.hpp): its
// record, its resources on a device, and a frame's recording. The solids go
// through the G-buffer and the lighting; the edges, which are lines and not
// surfaces, are drawn after the lighting over the lit picture, depth-tested
// against the G-buffer's depth, as forward+ draws them over its solids.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory_resource>
#include <span>
#include <string>

#include "device_names.hpp"
#include "kova_deferred.hpp"
#include "lattice_frame.hpp"

namespace kova_demo {

// What deferred lattice frames need beside LatticeGpu: the G-buffer, the
// lighting's pipelines and buffers, and a light buffer with room for
// kMaxLatticeLights lights.
struct LatticeDeferredGpu {
  kova_device::DeferredTargets targets{};
  BufferId lights{};
};

// The deferred record of a lit lattice frame seen by `camera`: tiled, 16-pixel
// tiles, at most kMaxDeferredLatticeLights lights. Nothing in it depends on
// the device's samples per pixel; the G-buffer takes the device's.
[[nodiscard]] kova_renderer::DeferredPipeline latticeDeferred(
    const kova_renderer::KovaCamera& camera, std::uint64_t frame);

// Makes the resources for width x height pictures, or says why the device
// cannot (a device without deferred lighting refuses here); on failure
// nothing is left behind.
template <FrameDevice Device>
[[nodiscard]] std::expected<LatticeDeferredGpu, std::string> createLatticeDeferredGpu(
    Device& device, const kova_renderer::DeferredPipeline& record, std::uint32_t width,
    std::uint32_t height);
template <FrameDevice Device>
[[nodiscard]] std::expected<void, std::string> releaseLatticeDeferredGpu(
    Device& device, const LatticeDeferredGpu& g);

// Records a lit lattice frame into `color` (of the G-buffer's size): an
// uploads pass (the cell's vertices and `instances`), the record's three
// passes over the solids with the first instances.size() colours, then the
// edges. The host has written `light_count` lights to d.lights. The
// commands live in `storage` and the arena, which the host keeps alive and
// unchanged while the graph is in use.
[[nodiscard]] std::expected<void, std::string> recordLatticeDeferred(
    kova_rhi::FrameGraph& graph, std::pmr::memory_resource& arena,
    const kova_renderer::DeferredPipeline& record, const LatticeGpu& gpu,
    const LatticeDeferredGpu& d, const LatticeScene& scene, ImageId color,
    std::span<const PGL4> instances, const std::array<PGL4, 2>& camera_block,
    std::uint32_t light_count, kova_device::DeferredRecording& storage);

}  // namespace kova_demo
