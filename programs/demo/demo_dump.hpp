// The machine-readable record of a frame, written with --dump beside the PNG:
// frame_NNNN.txt (camera, scene, draws), frame_NNNN.depth.pfm (the FS-depth
// image) and frame_NNNN.kind.pgm (what wrote each pixel: 0 clear, 1 point,
// 2 geodesic). The end-to-end test re-derives culling, depth and order from
// them with kova and compares.
//
// frame_NNNN.txt, one record a line, numbers in shortest round-trip form:
//   kova_demo_dump 1
//   frame <index> <width> <height>
//   clear <r8> <g8> <b8>
//   camera <position xyzw> <forward xyzw> <up xyzw> <right xyzw> <fov> <aspect> <near> <far>
//   counts <points> <visible> <in_range> <drawn>
//   ball <cluster> <center xyzw> <radius>                  (one per cluster)
//   point <index> <x> <y> <z> <w> <cluster or -1>          (every scene point, as stored)
//   draw <scene index> <cx> <cy> <radius> <r8> <g8> <b8>   (in drawing order)
#pragma once

#include <expected>
#include <filesystem>
#include <string>

#include "frame_driver.hpp"

namespace kova_demo {

template <FrameDevice Device>
[[nodiscard]] std::expected<void, std::string> writeDump(const std::filesystem::path& stem,
                                                         const Scene& scene,
                                                         const FrameDriver<Device>& driver,
                                                         const FrameReport& report,
                                                         const FrameImages& images);

}  // namespace kova_demo
