// kova_demo's folder holds one run: before writing, the files of an earlier
// run that this one will not write again are removed, so that a shorter run
// after a longer one does not leave frames that belong to neither. Only
// names kova_demo itself writes are touched; anything else stays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kova_demo {

// What a file name in the output folder is to kova_demo.
struct OutputName {
  enum class Kind : std::uint8_t { frame, check, animation };
  Kind kind = Kind::frame;  // frame_NNNN.png; .txt, .depth.pfm or .kind.pgm; animation.png
  std::uint64_t frame = 0;  // NNNN (0 for the animation)
};

// The frame number of "frame_NNNN.png" and its check files (at least four
// digits, as "%04u" writes them), "animation.png", or nothing for any other name.
[[nodiscard]] std::optional<OutputName> parseOutputName(std::string_view name);

// What the coming run writes: frames 0 to frames - 1, their check files
// with `dump`, and animation.png with `animation`.
struct RunOutputs {
  std::uint64_t frames = 0;
  bool dump = false;
  bool animation = false;
};

// Whether `name` is kova_demo's and the coming run will not write it again.
[[nodiscard]] bool isStaleOutput(std::string_view name, const RunOutputs& run);

// Removes the stale outputs (files only) from `dir` and returns how many went.
[[nodiscard]] std::expected<std::size_t, std::string> removeStaleOutputs(
    const std::filesystem::path& dir, const RunOutputs& run);

}  // namespace kova_demo
