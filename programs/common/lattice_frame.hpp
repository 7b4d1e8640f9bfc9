// The lattice scene and its frame: the 60 dodecahedral cells of the 120-cell
// in elliptic space, each holding a shaded solid, with the 600 edges drawn as
// geodesics, seen from a camera that flies around a closed line (the loop
// that flies it is lattice_driver.hpp's).
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <expected>
#include <memory_resource>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device_names.hpp"
#include "frame_driver.hpp"
#include "kova_forward_plus.hpp"
#include "kova_renderer.hpp"
#include "render_targets.hpp"
#include "scene_120cell.hpp"

namespace kova_demo {

struct LatticeScene {
  Mesh cell;                         // the solid of the cell around (0, 0, 0, 1)
  std::vector<PGL4> instances;       // one isometry per cell
  std::vector<double> colors;        // RGB per cell
  std::vector<HomVec4> edge_points;  // edge k joins points 2k and 2k + 1
};

// How far each solid reaches towards its cell's corners (in the gnomonic chart).
inline constexpr double kCellScale = 0.4;

[[nodiscard]] LatticeScene makeLatticeScene();

// The flight: a carrier camera travels along a great circle by kFlightStep
// per frame (KovaCamera::travel, which carries its frame along by parallel
// transport), and the picture is seen from the carrier turned slowly to the
// side and back (KovaCamera::turn). The circle passes near vertices of the
// lattice and keeps clear of every solid. After an arc of pi the camera is
// back at the same point of elliptic space with the picture turned half way
// round; after 2 pi the frame is the starting one again.
[[nodiscard]] kova_renderer::KovaCamera flightStart();
// The camera that sees frame `frame` of the flight, from the carrier there.
[[nodiscard]] kova_renderer::KovaCamera flightView(const kova_renderer::KovaCamera& carrier,
                                                   std::uint64_t frame);
// Arc flown per frame: a closed flight of pi in 120 frames.
inline constexpr double kFlightStep = 3.141592653589793 / 120.0;

// The colour that distance fades the lattice towards, and its clear colour.
inline constexpr std::array<float, 3> kLatticeFogColor = {0.035f, 0.04f, 0.075f};
// Horizontal field of view of the lattice frames, radians (about 100 degrees).
inline constexpr double kLatticeFov = 1.75;

// `pose` with the lattice frames' lens: kLatticeFov, the aspect of a width x
// height picture, FS-depth bounds 0.004 and pi/2 (the whole space ahead).
[[nodiscard]] kova_renderer::KovaCamera latticeLens(kova_renderer::KovaCamera pose,
                                                    std::uint32_t width,
                                                    std::uint32_t height) noexcept;

// The lattice's pipelines and buffers on a device: the cell's indices and the
// colours are written once; vertices, instances, camera and edges are
// uploaded by each frame's commands.
struct LatticeGpu {
  PipelineId mesh_pipeline{}, edge_pipeline{};
  BufferId vertices{}, indices{}, instances{}, colors{}, camera{}, edges{};
};

// The forward+ resources of lit lattice frames (lights_scene.hpp): the
// recording's own and a light buffer with room for kova_device::kMaxLights.
struct LatticeLightsGpu {
  kova_device::ForwardPlusGpu forward_plus{};
  BufferId lights{};
};

template <FrameDevice Device>
[[nodiscard]] std::expected<LatticeGpu, std::string> createLatticeGpu(Device& device,
                                                                      const LatticeScene& scene);

// Appends the frame's passes (clear to the fog colour, the solids of
// `instances`, the edges) to `graph`, their commands allocated in `arena`,
// which must outlive the graph's execution. `camera_block` is the packed
// camera; the colours bound are the first `color_values` of the colour buffer.
// With no instances the solids pass draws nothing.
[[nodiscard]] std::expected<void, std::string> recordLatticeFrame(
    kova_rhi::FrameGraph& graph, std::pmr::memory_resource& arena, const LatticeGpu& gpu,
    const LatticeScene& scene, ImageId color, ImageId depth, std::span<const PGL4> instances,
    std::span<const PGL4> camera_block, std::size_t color_values);

// Appends the pass that draws the lattice's edges over what `color` holds,
// depth-tested against `depth`, with the camera the frame's earlier passes
// uploaded to gpu.camera.
[[nodiscard]] std::expected<void, std::string> recordLatticeEdges(
    kova_rhi::FrameGraph& graph, std::pmr::memory_resource& arena, const LatticeGpu& gpu,
    const LatticeScene& scene, ImageId color, ImageId depth);

}  // namespace kova_demo
