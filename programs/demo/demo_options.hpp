// Command-line options of kova_demo, parsed strictly: every value is checked
// before any work starts, so a bad invocation never leaves files behind.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "device_choice.hpp"
#include "lights_scene.hpp"

namespace kova_demo {

// What kova_demo renders: the lattice of the 120-cell's cells in elliptic
// space seen in flight, a cloud of points on the 3-sphere, or a courtyard at
// human scale seen by a walker.
enum class SceneKind : std::uint8_t { lattice, points, walk };

struct Options {
  SceneKind scene = SceneKind::lattice;
  std::uint32_t points = 100'000;  // size of the points scene
  std::uint32_t frames = 3;        // frames to render
  std::uint32_t width = 640;       // image size in pixels
  std::uint32_t height = 360;
  std::string out = "out";  // directory for the PNG frames
  std::uint64_t seed = 1;   // scene seed; the same seed gives the same pictures
  double at_km = 5000.0;    // walk scene: its distance from the origin, kilometres
  // Lattice scene: the pipeline that lights it and how many lights travel
  // through it; 0 lights draws the unlit lattice.
  PipelineChoice pipeline = PipelineChoice::forward_plus;
  std::uint32_t lights = kDefaultLatticeLights;
  DeviceChoice device = DeviceChoice::automatic;
  bool require_device = false;  // no fallback to the CPU device
  bool float64 = true;          // Vulkan: double-precision shaders where the GPU has them
  std::uint32_t samples = 4;    // samples per pixel, 1 or 4
  bool dump = false;  // also write the per-frame check files (points scene)
  bool help = false;  // print the usage and stop
};

inline constexpr std::uint32_t kMinPoints = 1;
inline constexpr std::uint32_t kMaxPoints = 4'000'000;
inline constexpr std::uint32_t kMaxFrames = 100'000;
inline constexpr std::uint32_t kMinSide = 16;
inline constexpr std::uint32_t kMaxSide = 8192;

// The usage text printed by --help.
[[nodiscard]] std::string usage(std::string_view program);

// Parses the arguments after the program name. Accepts "--name value" and
// "--name=value"; a later occurrence of an option overrides an earlier one.
// Fails with a one-line message naming the offending argument, also for an
// option that the chosen scene or device does not use.
[[nodiscard]] std::expected<Options, std::string> parseOptions(
    std::span<const std::string_view> args);

}  // namespace kova_demo
