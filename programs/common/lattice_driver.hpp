// kova_demo's frame loop for the lattice: flies the camera along its closed
// line and renders each frame unlit, or lit by travelling lights through
// forward+ or deferred shading (lattice_lighting.hpp).
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "device_names.hpp"
#include "lattice_frame.hpp"
#include "lattice_lighting.hpp"
#include "render_targets.hpp"

namespace kova_demo {

struct LatticeReport {
  std::uint64_t frame_index = 0;
  // Each of the scene's triangles counted once, however many passes draw it.
  std::uint32_t triangles = 0, triangles_drawn = 0, geodesic_arcs = 0;
  std::uint32_t passes = 0, commands = 0;
  PipelineChoice pipeline = PipelineChoice::forward_plus;
  std::uint32_t lights = 0;  // lights shed; 0 with forward+: the unlit frame
  double ms_device = 0, ms_total = 0;
};

template <FrameDevice Device>
class LatticeDriver {
 public:
  static constexpr std::array<float, 3> kFogColor = kLatticeFogColor;
  static constexpr double kFov = kLatticeFov;

  [[nodiscard]] static std::expected<LatticeDriver, std::string> create(const LatticeScene& scene,
                                                                        std::uint32_t width,
                                                                        std::uint32_t height,
                                                                        Device device = Device{});
  // The number of lights the following frames shed; 0, the start, renders
  // the unlit frame with forward+. Refuses more than the pipeline sheds
  // (maxLatticeLights), changing nothing.
  [[nodiscard]] std::expected<void, std::string> setLights(std::uint32_t count);
  [[nodiscard]] std::uint32_t lights() const noexcept { return lighting_.lights(); }
  // The pipeline of the following frames, forward+ at the start. Refuses,
  // changing nothing, one the device cannot run or that sheds fewer lights
  // than are set.
  [[nodiscard]] std::expected<void, std::string> setPipeline(PipelineChoice choice);
  [[nodiscard]] PipelineChoice pipeline() const noexcept { return lighting_.pipeline(); }
  // Flies on by `frames` frames without rendering them.
  void skipFrames(std::uint64_t frames) noexcept;
  // Renders the next frame of the flight.
  [[nodiscard]] std::expected<LatticeReport, std::string> renderFrame();
  [[nodiscard]] std::expected<std::vector<std::uint8_t>, std::string> readRgb() const {
    return device_.readRgb8(targets_.color);
  }
  [[nodiscard]] std::expected<std::vector<float>, std::string> readDepth() const {
    return device_.readDepth(lighting_.depth(targets_));
  }
  [[nodiscard]] std::expected<std::vector<std::uint8_t>, std::string> readKinds() const {
    return device_.readKinds(targets_.color);
  }
  [[nodiscard]] std::uint32_t samples() const noexcept { return device_.samples(); }
  [[nodiscard]] const Device& device() const noexcept { return device_; }
  // The camera of the last frame rendered, with the lattice's lens.
  [[nodiscard]] const kova_renderer::KovaCamera& camera() const noexcept { return view_; }

 private:
  explicit LatticeDriver(Device device) : device_(std::move(device)) {}

  const LatticeScene* scene_ = nullptr;
  std::uint64_t next_frame_ = 0;
  kova_renderer::KovaCamera carrier_ = flightStart(), view_ = flightStart();
  Device device_;
  RenderTargets targets_{};
  LatticeGpu gpu_{};
  LatticeLighting<Device> lighting_{};
};

}  // namespace kova_demo
