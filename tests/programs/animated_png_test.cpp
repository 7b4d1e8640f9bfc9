// The demo's animated PNG read back chunk by chunk: valid CRCs, the animation
// chunks in sequence, and every frame's pixels restored exactly by inflating
// and unfiltering its data. An incomplete animation leaves no file.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "animated_png.hpp"

namespace {

namespace fs = std::filesystem;

std::uint32_t u32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

struct Chunk {
  std::string type;
  std::vector<std::uint8_t> data;
};

std::vector<Chunk> readChunks(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  EXPECT_GE(bytes.size(), 8u);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 8),
            (std::vector<std::uint8_t>{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}));
  std::vector<Chunk> chunks;
  for (std::size_t at = 8; at + 12 <= bytes.size();) {
    const std::uint32_t n = u32(&bytes[at]);
    EXPECT_LE(at + 12 + n, bytes.size());
    Chunk c{std::string(bytes.begin() + at + 4, bytes.begin() + at + 8),
            {bytes.begin() + at + 8, bytes.begin() + at + 8 + n}};
    const uLong crc = crc32(0, &bytes[at + 4], 4 + n);
    EXPECT_EQ(u32(&bytes[at + 8 + n]), crc) << c.type;
    chunks.push_back(std::move(c));
    at += 12 + n;
  }
  return chunks;
}

std::vector<std::uint8_t> decodeFrame(std::span<const std::uint8_t> packed, std::uint32_t w,
                                      std::uint32_t h) {
  const std::size_t row = std::size_t{w} * 3;
  std::vector<std::uint8_t> raw((row + 1) * h);
  uLongf size = raw.size();
  EXPECT_EQ(uncompress(raw.data(), &size, packed.data(), packed.size()), Z_OK);
  EXPECT_EQ(size, raw.size());
  std::vector<std::uint8_t> rgb(row * h);
  for (std::size_t y = 0; y < h; ++y) {
    const std::uint8_t filter = raw[y * (row + 1)];
    EXPECT_EQ(filter, 1u);  // Sub
    for (std::size_t i = 0; i < row; ++i) {
      const std::uint8_t left = i >= 3 ? rgb[y * row + i - 3] : 0;
      rgb[y * row + i] = static_cast<std::uint8_t>(raw[y * (row + 1) + 1 + i] + left);
    }
  }
  return rgb;
}

TEST(AnimatedPng, FramesReadBackExactlyInSequence) {
  const fs::path dir = fs::temp_directory_path() / ("kova_apng_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  constexpr std::uint32_t kW = 37, kH = 23, kFrames = 4;
  std::mt19937 rng(5);
  std::vector<std::vector<std::uint8_t>> frames(kFrames, std::vector<std::uint8_t>(kW * kH * 3));
  for (auto& f : frames)
    for (auto& b : f) b = static_cast<std::uint8_t>(rng());
  auto a = kova_demo::AnimatedPng::create(dir / "a.png", kW, kH, kFrames, 30);
  ASSERT_TRUE(a) << a.error();
  for (const auto& f : frames) ASSERT_TRUE(a->addFrame(f));
  EXPECT_FALSE(a->addFrame(frames[0]));  // more than announced
  ASSERT_TRUE(a->finish());

  const auto chunks = readChunks(dir / "a.png");
  ASSERT_GE(chunks.size(), 3u);
  EXPECT_EQ(chunks[0].type, "IHDR");
  EXPECT_EQ(u32(&chunks[0].data[0]), kW);
  EXPECT_EQ(u32(&chunks[0].data[4]), kH);
  EXPECT_EQ(chunks[1].type, "acTL");
  EXPECT_EQ(u32(&chunks[1].data[0]), kFrames);
  EXPECT_EQ(chunks.back().type, "IEND");
  std::uint32_t sequence = 0, decoded = 0;
  for (std::size_t i = 2; i + 1 < chunks.size(); ++i) {
    const Chunk& c = chunks[i];
    if (c.type == "fcTL") {
      EXPECT_EQ(u32(&c.data[0]), sequence++);
      EXPECT_EQ(u32(&c.data[4]), kW);
      EXPECT_EQ(u32(&c.data[8]), kH);
    } else if (c.type == "IDAT") {
      EXPECT_EQ(decoded, 0u);
      EXPECT_EQ(decodeFrame(c.data, kW, kH), frames[decoded++]);
    } else {
      ASSERT_EQ(c.type, "fdAT");
      EXPECT_EQ(u32(&c.data[0]), sequence++);
      ASSERT_LT(decoded, kFrames);
      EXPECT_EQ(decodeFrame(std::span(c.data).subspan(4), kW, kH), frames[decoded++]);
    }
  }
  EXPECT_EQ(decoded, kFrames);

  // Too few frames, or a frame of the wrong size: an error and no file.
  {
    auto short_one = kova_demo::AnimatedPng::create(dir / "b.png", kW, kH, 3, 30);
    ASSERT_TRUE(short_one);
    EXPECT_FALSE(short_one->addFrame(std::span(frames[0]).first(10)));
    ASSERT_TRUE(short_one->addFrame(frames[0]));
    EXPECT_FALSE(short_one->finish());
  }
  EXPECT_FALSE(fs::exists(dir / "b.png"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  EXPECT_FALSE(kova_demo::AnimatedPng::create(dir / "c.png", 0, kH, 3, 30));
  fs::remove_all(dir);
}

}  // namespace
