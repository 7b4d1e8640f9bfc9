// The lattice scene and its frame loop: the 60 dodecahedral cells of the
// 120-cell in elliptic space, each holding a shaded solid, with the 600 edges
// drawn as geodesics, seen from a camera that flies around a closed line.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "cpu_device.hpp"
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

// The camera's orthonormal frame on S^3 (det[right, up, -forward, position] = +1).
struct CameraFrame {
  HomVec4 position, forward, up, right;
};

// The flight: the camera moves along a great circle at a steady pace,
// carrying its frame along (the frame vectors off the circle's plane stay
// fixed, which is parallel transport along a geodesic), and turns its view
// slowly to the side and back. The circle passes near vertices of the
// lattice and keeps clear of every solid. After an arc of pi the camera is
// back at the same point of elliptic space with the picture turned half way
// round; after 2 pi the frame is the starting one again. This is the
// composition of geodesic travel along the circle with a yaw about the
// position, applied to the starting frame.
[[nodiscard]] CameraFrame flightFrame(double arc);
// Arc flown per frame: a closed flight of pi in 120 frames.
inline constexpr double kFlightStep = 3.141592653589793 / 120.0;

// The view isometry of a frame: rows right, up, -forward, position; it takes
// the eye to (0, 0, 0, 1) and forward to (0, 0, -1, 0).
[[nodiscard]] PGL4 viewOf(const CameraFrame& f) noexcept;

struct LatticeReport {
  std::uint64_t frame_index = 0;
  std::uint32_t triangles = 0, triangles_drawn = 0, geodesic_arcs = 0;
  std::uint32_t passes = 0, commands = 0;
  double ms_device = 0, ms_total = 0;
};

class LatticeDriver {
 public:
  static constexpr std::array<float, 3> kFogColor = {0.035f, 0.04f, 0.075f};
  static constexpr double kFov = 1.75;  // horizontal field of view, radians (about 100 degrees)

  [[nodiscard]] static std::expected<LatticeDriver, std::string> create(const LatticeScene& scene,
                                                                        std::uint32_t width,
                                                                        std::uint32_t height);
  // Renders the next frame of the flight.
  [[nodiscard]] std::expected<LatticeReport, std::string> renderFrame();
  [[nodiscard]] std::expected<std::vector<std::uint8_t>, std::string> readRgb() const {
    return device_.readRgb8(color_);
  }
  [[nodiscard]] std::uint32_t samples() const noexcept { return device_.samples(); }

 private:
  LatticeDriver() = default;

  const LatticeScene* scene_ = nullptr;
  std::uint32_t width_ = 0, height_ = 0;
  std::uint64_t next_frame_ = 0;
  CpuDevice device_;
  ImageId color_{}, depth_{};
  PipelineId mesh_pipeline_{}, edge_pipeline_{};
  BufferId vertices_{}, indices_{}, instances_{}, colors_{}, camera_{}, edges_{};
};

}  // namespace kova_demo
