// Command line of kova_view.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "device_choice.hpp"
#include "pipeline_choice.hpp"

namespace kova_view {

inline constexpr std::uint64_t kResizeFrame = 20;

// The world flown through: the main job's lattice, the points scene, or the
// courtyard at human scale, walked through in metres per second.
enum class ViewScene { lattice, points, walk };

// Frames between the window's size changes of --resize-cycle.
inline constexpr std::uint64_t kResizeCycleFrames = 5;

struct ViewOptions {
  ViewScene scene = ViewScene::lattice;
  std::uint32_t width = 1280, height = 720;  // the window's size at the start
  std::uint32_t points = 100'000;            // size of the points scene (--scene points)
  std::uint64_t seed = 1;
  double at_km = 5000.0;  // walk scene: its distance from the origin, kilometres
  // Lattice: the pipeline that sheds the lights at the start (P switches it).
  kova_demo::PipelineChoice pipeline = kova_demo::PipelineChoice::forward_plus;
  // Lattice: the travelling lights at the start (L steps them); 0 is unlit.
  std::uint32_t lights = 0;
  bool vsync = true;
  // Always Vulkan (the window shows the Vulkan device's images), which the
  // viewer never trades for the CPU device; validation: any report of the
  // layer fails the run.
  kova_demo::DeviceRequest device{.choice = kova_demo::DeviceChoice::vulkan};
  bool autopilot = false;
  bool show_help = false;  // start with the F1 panel open
  // Scripted runs: at frame kResizeFrame the window asks for this size, so
  // that the swapchain and the render images are rebuilt mid-flight.
  std::optional<std::pair<std::uint32_t, std::uint32_t>> resize;
  // With resize: from frame kResizeFrame on, the window switches between its
  // start size and the resize size every kResizeCycleFrames frames, this
  // many times (to watch the memory that resizes take).
  std::uint32_t resize_cycle = 0;
  std::optional<std::uint64_t> frames;  // stop after this many frames
  std::optional<std::filesystem::path> screenshot;  // PNG of the last frame
  bool help = false;
};

// The options, or a message saying what is wrong (the program exits 2),
// also for an option the scene does not use (--points, --seed with the lattice).
[[nodiscard]] std::expected<ViewOptions, std::string> parseViewOptions(
    std::span<const char* const> args);

[[nodiscard]] std::string viewUsage();

}  // namespace kova_view
