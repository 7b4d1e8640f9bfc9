// The points scene's frame as a FrameGraph: one recording shared by
// kova_demo's frame loop (FrameDriver) and kova_view's (PointsView), which
// differ only in how they choose and order the points to draw.
#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <memory_resource>
#include <span>
#include <string>
#include <vector>

#include "demo_scene.hpp"
#include "device_names.hpp"
#include "kova_renderer.hpp"

namespace kova_demo {

// The clear colour of every points frame.
inline constexpr std::array<float, 3> kPointsClearColor = {0.015f, 0.016f, 0.035f};

// The points scene's pipelines and buffers on a device: room for every point
// of the scene, the observer, the distances, the packed camera and each set
// of geodesics; all of it is uploaded by each frame's commands.
struct PointsGpu {
  PipelineId point_pipeline{}, geodesic_pipeline{};
  BufferId positions{}, observer{}, distances{}, camera{};
  std::vector<BufferId> geodesics;  // one per GeodesicSet of the scene
};

template <FrameDevice Device>
[[nodiscard]] std::expected<PointsGpu, std::string> createPointsGpu(Device& device,
                                                                    const Scene& scene);

// Appends the frame's four passes (clear, FS distances of `draw` from
// `observer`, the points in the order of `draw`, the scene's geodesics) to
// `graph`, their commands allocated in `arena`. `draw` (at most the scene's
// size) and `camera_block` (the packed camera) are borrowed by the commands:
// they, like the arena, must outlive the graph's execution.
[[nodiscard]] std::expected<void, std::string> recordPointsFrame(
    kova_rhi::FrameGraph& graph, std::pmr::memory_resource& arena, const PointsGpu& gpu,
    const Scene& scene, ImageId color, ImageId depth, std::span<const HomVec4> draw,
    HomVec4 observer, std::span<const PGL4> camera_block);

}  // namespace kova_demo
