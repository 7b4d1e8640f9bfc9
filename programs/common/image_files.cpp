#include "image_files.hpp"

#include <png.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>
#include <vector>

namespace kova_demo {
namespace {

namespace fs = std::filesystem;

// A name beside `path` that no other process of this program uses.
fs::path temporaryBeside(const fs::path& path) {
  fs::path tmp = path;
  tmp += ".tmp-" + std::to_string(::getpid());
  return tmp;
}

std::expected<void, std::string> commit(const fs::path& tmp, const fs::path& path) {
  std::error_code ec;
  fs::rename(tmp, path, ec);
  if (ec) {
    fs::remove(tmp, ec);
    return std::unexpected("cannot move " + tmp.string() + " to " + path.string() + ": " +
                           ec.message());
  }
  return {};
}

}  // namespace

std::expected<void, std::string> writeFileAtomic(const fs::path& path, std::string_view bytes) {
  const fs::path tmp = temporaryBeside(path);
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (out) out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) {
      std::error_code ec;
      fs::remove(tmp, ec);
      return std::unexpected("cannot write " + path.string() + ": " + std::strerror(errno));
    }
  }
  return commit(tmp, path);
}

std::expected<void, std::string> writePngAtomic(const fs::path& path, std::uint32_t width,
                                                std::uint32_t height,
                                                std::span<const std::uint8_t> rgb) {
  if (rgb.size() != std::size_t{width} * height * 3) {
    return std::unexpected("internal error: PNG pixel buffer has the wrong size");
  }
  const fs::path tmp = temporaryBeside(path);
  // libpng's simplified interface reports errors through the image record
  // instead of longjmp, which keeps C++ objects on this stack safe.
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = width;
  image.height = height;
  image.format = PNG_FORMAT_RGB;
  const int ok = png_image_write_to_file(&image, tmp.c_str(), 0, rgb.data(),
                                         static_cast<png_int_32>(width * 3), nullptr);
  if (!ok) {
    const std::string why = image.message;
    png_image_free(&image);
    std::error_code ec;
    fs::remove(tmp, ec);
    return std::unexpected("cannot write " + path.string() + ": " + why);
  }
  png_image_free(&image);
  return commit(tmp, path);
}

std::expected<void, std::string> writePfmAtomic(const fs::path& path, std::uint32_t width,
                                                std::uint32_t height,
                                                std::span<const float> values) {
  if (values.size() != std::size_t{width} * height) {
    return std::unexpected("internal error: PFM buffer has the wrong size");
  }
  static_assert(std::endian::native == std::endian::little, "PFM is written as little-endian");
  std::string bytes = "Pf\n" + std::to_string(width) + " " + std::to_string(height) + "\n-1.0\n";
  const std::size_t header = bytes.size();
  bytes.resize(header + values.size() * sizeof(float));
  for (std::uint32_t row = 0; row < height; ++row) {
    const std::uint32_t src_row = height - 1 - row;
    std::memcpy(bytes.data() + header + std::size_t{row} * width * sizeof(float),
                values.data() + std::size_t{src_row} * width, std::size_t{width} * sizeof(float));
  }
  return writeFileAtomic(path, bytes);
}

std::expected<void, std::string> writePgmAtomic(const fs::path& path, std::uint32_t width,
                                                std::uint32_t height,
                                                std::span<const std::uint8_t> values) {
  if (values.size() != std::size_t{width} * height) {
    return std::unexpected("internal error: PGM buffer has the wrong size");
  }
  std::string bytes = "P5\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  bytes.append(reinterpret_cast<const char*>(values.data()), values.size());
  return writeFileAtomic(path, bytes);
}

std::expected<void, std::string> checkFileCanBeWritten(const fs::path& file) {
  std::error_code ec;
  const std::string name = file.string();
  if (file.filename().empty() || fs::is_directory(fs::status(file, ec)))
    return std::unexpected(name + ": is a folder, not a file name");
  const fs::path dir = file.parent_path().empty() ? fs::path(".") : file.parent_path();
  const auto dir_status = fs::status(dir, ec);
  if (!fs::exists(dir_status))
    return std::unexpected(name + ": the folder " + dir.string() + " does not exist");
  if (!fs::is_directory(dir_status))
    return std::unexpected(name + ": " + dir.string() + " is not a folder");
  // Files are written beside their final name and renamed into place, so a
  // new file in the folder is what writing needs.
  const fs::path probe = temporaryBeside(file);
  {
    std::ofstream out(probe, std::ios::binary | std::ios::trunc);
    if (!out)
      return std::unexpected(name + ": cannot create files in " + dir.string() + ": " +
                             std::strerror(errno));
  }
  fs::remove(probe, ec);
  return {};
}

std::expected<void, std::string> prepareOutputDirectory(const fs::path& dir) {
  std::error_code ec;
  const auto status = fs::status(dir, ec);
  if (fs::exists(status) && !fs::is_directory(status)) {
    return std::unexpected("--out " + dir.string() + ": exists and is not a directory");
  }
  fs::create_directories(dir, ec);
  if (ec)
    return std::unexpected("--out " + dir.string() +
                           ": cannot create the directory: " + ec.message());
  // Probe once, so that a read-only directory is reported before any rendering.
  const fs::path probe = dir / (".kova_demo_probe-" + std::to_string(::getpid()));
  {
    std::ofstream out(probe, std::ios::binary | std::ios::trunc);
    if (!out)
      return std::unexpected("--out " + dir.string() + ": cannot create files in the directory");
  }
  fs::remove(probe, ec);
  return {};
}

}  // namespace kova_demo
