// An animated PNG of the demo's frames, written frame by frame as they are
// rendered: every frame is a whole 8-bit RGB image, compressed with zlib and
// framed by the animation chunks (acTL, fcTL, fdAT) that browsers and image
// viewers play; a viewer without them shows the first frame. The file is
// written under a temporary name and renamed into place by finish().
#pragma once

#include <cstdint>
#include <cstdio>
#include <expected>
#include <filesystem>
#include <span>
#include <string>

namespace kova_demo {

class AnimatedPng {
 public:
  // `frames` frames of width x height, each shown for 1 / fps seconds, looping.
  [[nodiscard]] static std::expected<AnimatedPng, std::string> create(
      const std::filesystem::path& path, std::uint32_t width, std::uint32_t height,
      std::uint32_t frames, std::uint32_t fps);
  AnimatedPng(AnimatedPng&& other) noexcept;
  AnimatedPng& operator=(AnimatedPng&&) = delete;
  AnimatedPng(const AnimatedPng&) = delete;
  ~AnimatedPng();  // an unfinished file is removed

  // Appends the next frame (rows top to bottom, rgb.size() == width * height * 3).
  [[nodiscard]] std::expected<void, std::string> addFrame(std::span<const std::uint8_t> rgb);
  // After the last frame: completes the file and moves it to its name.
  [[nodiscard]] std::expected<void, std::string> finish();

 private:
  AnimatedPng() = default;
  [[nodiscard]] bool chunk(const char type[4], std::span<const std::uint8_t> data);

  std::filesystem::path path_, tmp_;
  std::FILE* file_ = nullptr;
  std::uint32_t width_ = 0, height_ = 0, frames_ = 0, fps_ = 0;
  std::uint32_t written_ = 0, sequence_ = 0;
};

}  // namespace kova_demo
