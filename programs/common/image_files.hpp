// Writing the demo's pictures and check files. Every file is written to a
// temporary name in the same directory and renamed into place only when it is
// complete, so an error never leaves a half-written file under the final name.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace kova_demo {

// Writes `bytes` to `path` atomically (temporary file + rename).
[[nodiscard]] std::expected<void, std::string> writeFileAtomic(const std::filesystem::path& path,
                                                               std::string_view bytes);

// An 8-bit RGB PNG, rows top to bottom, rgb.size() == width * height * 3.
[[nodiscard]] std::expected<void, std::string> writePngAtomic(const std::filesystem::path& path,
                                                              std::uint32_t width,
                                                              std::uint32_t height,
                                                              std::span<const std::uint8_t> rgb);

// A little-endian single-channel float image (PFM, "Pf", rows bottom to top as
// the format prescribes); values given top row first.
[[nodiscard]] std::expected<void, std::string> writePfmAtomic(const std::filesystem::path& path,
                                                              std::uint32_t width,
                                                              std::uint32_t height,
                                                              std::span<const float> values);

// An 8-bit grey image (binary PGM, "P5"), rows top to bottom.
[[nodiscard]] std::expected<void, std::string> writePgmAtomic(const std::filesystem::path& path,
                                                              std::uint32_t width,
                                                              std::uint32_t height,
                                                              std::span<const std::uint8_t> values);

// Proves, without leaving anything behind, that `file` can be written
// later: its folder exists and takes new files, and `file` is not a folder.
// The message starts with the file's name.
[[nodiscard]] std::expected<void, std::string> checkFileCanBeWritten(
    const std::filesystem::path& file);

// Creates `dir` if needed and proves that files can be created in it.
[[nodiscard]] std::expected<void, std::string> prepareOutputDirectory(
    const std::filesystem::path& dir);

}  // namespace kova_demo
