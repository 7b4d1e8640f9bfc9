// Command line of kova_view.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace kova_view {

struct ViewOptions {
  std::uint32_t width = 1280, height = 720;  // the window's size at the start
  std::uint32_t points = 100'000;            // size of the points scene
  std::uint64_t seed = 1;
  bool vsync = true;
  bool validation = false;  // the Vulkan validation layer; any report fails the run
  bool autopilot = false;
  std::optional<std::uint64_t> frames;  // stop after this many frames
  std::optional<std::filesystem::path> screenshot;  // PNG of the last frame
  bool help = false;
};

// The options, or a message saying what is wrong (the program exits 2).
[[nodiscard]] std::expected<ViewOptions, std::string> parseViewOptions(
    std::span<const char* const> args);

[[nodiscard]] std::string viewUsage();

}  // namespace kova_view
