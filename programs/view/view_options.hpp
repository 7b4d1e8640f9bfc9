// Command line of kova_view.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <utility>

namespace kova_view {

inline constexpr std::uint64_t kResizeFrame = 20;

// The world flown through: the main job's lattice, or the points scene.
enum class ViewScene { lattice, points };

struct ViewOptions {
  ViewScene scene = ViewScene::lattice;
  std::uint32_t width = 1280, height = 720;  // the window's size at the start
  std::uint32_t points = 100'000;            // size of the points scene (--scene points)
  std::uint64_t seed = 1;
  bool vsync = true;
  bool validation = false;  // the Vulkan validation layer; any report fails the run
  bool autopilot = false;
  bool show_help = false;  // start with the F1 panel open
  // Scripted runs: at frame kResizeFrame the window asks for this size, so
  // that the swapchain and the render images are rebuilt mid-flight.
  std::optional<std::pair<std::uint32_t, std::uint32_t>> resize;
  std::optional<std::uint64_t> frames;  // stop after this many frames
  std::optional<std::filesystem::path> screenshot;  // PNG of the last frame
  bool help = false;
};

// The options, or a message saying what is wrong (the program exits 2).
[[nodiscard]] std::expected<ViewOptions, std::string> parseViewOptions(
    std::span<const char* const> args);

[[nodiscard]] std::string viewUsage();

}  // namespace kova_view
