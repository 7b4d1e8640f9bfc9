#include "animated_png.hpp"

#include <unistd.h>
#include <zlib.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

namespace kova_demo {
namespace {

namespace fs = std::filesystem;

void putU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}
void putU16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}

// The frame's scanlines, each behind the "Sub" filter (the difference to the
// pixel on the left), which suits smooth shading, deflated.
std::expected<std::vector<std::uint8_t>, std::string> compressFrame(
    std::span<const std::uint8_t> rgb, std::uint32_t width, std::uint32_t height) {
  const std::size_t row = std::size_t{width} * 3;
  std::vector<std::uint8_t> filtered((row + 1) * height);
  for (std::size_t y = 0; y < height; ++y) {
    std::uint8_t* out = filtered.data() + y * (row + 1);
    const std::uint8_t* in = rgb.data() + y * row;
    out[0] = 1;
    for (std::size_t i = 0; i < row; ++i)
      out[1 + i] = static_cast<std::uint8_t>(in[i] - (i >= 3 ? in[i - 3] : 0));
  }
  uLongf size = compressBound(static_cast<uLong>(filtered.size()));
  std::vector<std::uint8_t> packed(size);
  if (compress2(packed.data(), &size, filtered.data(), static_cast<uLong>(filtered.size()), 6) !=
      Z_OK)
    return std::unexpected(std::string("zlib could not compress a frame"));
  packed.resize(size);
  return packed;
}

}  // namespace

std::expected<AnimatedPng, std::string> AnimatedPng::create(const fs::path& path,
                                                            std::uint32_t width,
                                                            std::uint32_t height,
                                                            std::uint32_t frames,
                                                            std::uint32_t fps) {
  if (width == 0 || height == 0 || width > (1u << 24) / 3 || height > (1u << 24) || frames == 0 ||
      fps == 0 || fps > 65535)
    return std::unexpected(std::string("animated PNG: bad size, frame count or rate"));
  AnimatedPng a;
  a.path_ = path;
  a.tmp_ = path;
  a.tmp_ += ".tmp-" + std::to_string(::getpid());
  a.width_ = width;
  a.height_ = height;
  a.frames_ = frames;
  a.fps_ = fps;
  a.file_ = std::fopen(a.tmp_.c_str(), "wb");
  if (a.file_ == nullptr)
    return std::unexpected("cannot write " + path.string() + ": " + std::strerror(errno));
  static constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<std::uint8_t> header, control;
  putU32(header, width);
  putU32(header, height);
  header.insert(header.end(),
                {8, 2, 0, 0, 0});  // 8-bit RGB, deflate, adaptive filters, no interlace
  putU32(control, frames);
  putU32(control, 0);  // loop for ever
  if (std::fwrite(kSignature, 1, 8, a.file_) != 8 || !a.chunk("IHDR", header) ||
      !a.chunk("acTL", control))
    return std::unexpected("cannot write " + path.string() + ": " + std::strerror(errno));
  return a;
}

AnimatedPng::AnimatedPng(AnimatedPng&& other) noexcept
    : path_(std::move(other.path_)),
      tmp_(std::move(other.tmp_)),
      file_(other.file_),
      width_(other.width_),
      height_(other.height_),
      frames_(other.frames_),
      fps_(other.fps_),
      written_(other.written_),
      sequence_(other.sequence_) {
  other.file_ = nullptr;
}

AnimatedPng::~AnimatedPng() {
  if (file_ == nullptr) return;
  std::fclose(file_);
  std::error_code ec;
  fs::remove(tmp_, ec);
}

bool AnimatedPng::chunk(const char type[4], std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> head;
  putU32(head, static_cast<std::uint32_t>(data.size()));
  head.insert(head.end(), type, type + 4);
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type), 4);
  // zlib answers a null buffer with the initial value, so skip empty data.
  if (!data.empty()) crc = crc32(crc, data.data(), static_cast<uInt>(data.size()));
  std::vector<std::uint8_t> tail;
  putU32(tail, static_cast<std::uint32_t>(crc));
  return std::fwrite(head.data(), 1, head.size(), file_) == head.size() &&
         (data.empty() || std::fwrite(data.data(), 1, data.size(), file_) == data.size()) &&
         std::fwrite(tail.data(), 1, tail.size(), file_) == tail.size();
}

std::expected<void, std::string> AnimatedPng::addFrame(std::span<const std::uint8_t> rgb) {
  if (file_ == nullptr || written_ == frames_)
    return std::unexpected(path_.string() + ": more frames than announced");
  if (rgb.size() != std::size_t{width_} * height_ * 3)
    return std::unexpected(std::string("internal error: frame buffer has the wrong size"));
  auto packed = compressFrame(rgb, width_, height_);
  if (!packed) return std::unexpected(packed.error());
  std::vector<std::uint8_t> control;
  putU32(control, sequence_++);
  putU32(control, width_);
  putU32(control, height_);
  putU32(control, 0);  // x offset
  putU32(control, 0);  // y offset
  putU16(control, 1);  // shown for 1 / fps seconds
  putU16(control, static_cast<std::uint16_t>(fps_));
  control.insert(control.end(), {0, 0});  // no disposal, replace the region
  bool ok = chunk("fcTL", control);
  if (written_ == 0) {
    ok = ok && chunk("IDAT", *packed);  // the first frame is also the still image
  } else {
    std::vector<std::uint8_t> data;
    putU32(data, sequence_++);
    data.insert(data.end(), packed->begin(), packed->end());
    ok = ok && chunk("fdAT", data);
  }
  if (!ok) return std::unexpected("cannot write " + path_.string() + ": " + std::strerror(errno));
  ++written_;
  return {};
}

std::expected<void, std::string> AnimatedPng::finish() {
  if (file_ == nullptr) return std::unexpected(path_.string() + ": already finished");
  if (written_ != frames_)
    return std::unexpected(path_.string() + ": " + std::to_string(written_) + " of " +
                           std::to_string(frames_) + " frames written");
  const bool ok = chunk("IEND", {}) && std::fflush(file_) == 0;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  std::error_code ec;
  if (!ok || !closed) {
    fs::remove(tmp_, ec);
    return std::unexpected("cannot write " + path_.string());
  }
  fs::rename(tmp_, path_, ec);
  if (ec) {
    fs::remove(tmp_, ec);
    return std::unexpected("cannot move " + tmp_.string() + " to " + path_.string());
  }
  return {};
}

}  // namespace kova_demo
