// Checks a picture written by render_quick_start: its size, that it shows
// the ring's cubes and its line over the background, and, given a second
// picture of the same frame from another device, that the two agree.
//
//   kova_render_check ring.png [other.png]
#include <png.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr unsigned kWidth = 640, kHeight = 360;

bool readRgb(const char* path, std::vector<unsigned char>& rgb) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&image, path) == 0) {
    std::printf("%s: not a readable PNG (%s)\n", path, image.message);
    return false;
  }
  if (image.width != kWidth || image.height != kHeight) {
    std::printf("%s: %ux%u, expected %ux%u\n", path, image.width, image.height, kWidth, kHeight);
    png_image_free(&image);
    return false;
  }
  image.format = PNG_FORMAT_RGB;
  rgb.resize(PNG_IMAGE_SIZE(image));
  if (png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr) == 0) {
    std::printf("%s: %s\n", path, image.message);
    return false;
  }
  return true;
}

// Counts of what the picture shows, by hue: the cubes are orange (red well
// above blue), the line cyan (green and blue well above red), and the
// background the dark blue the frame is cleared to; fog and light only scale
// and blend these, so the hue survives them.
bool showsRing(const char* path, const std::vector<unsigned char>& rgb) {
  std::size_t cube = 0, line = 0, background = 0;
  for (std::size_t i = 0; i < rgb.size(); i += 3) {
    const int r = rgb[i], g = rgb[i + 1], b = rgb[i + 2];
    if (r > b + 40 && r > g)
      ++cube;
    else if (g > r + 40 && b > r + 40)
      ++line;
    else if (std::abs(r - 13) <= 3 && std::abs(g - 15) <= 3 && std::abs(b - 31) <= 3)
      ++background;
  }
  const std::size_t pixels = std::size_t{kWidth} * kHeight;
  std::printf("%s: %zu cube, %zu line, %zu background pixels of %zu\n", path, cube, line,
              background, pixels);
  // The view shows a dozen cubes or more, the largest some 100 pixels wide,
  // and the line between them; most of the picture is background.
  return cube > pixels / 20 && line > 100 && background > pixels / 2;
}

// The same frame from two devices: the pixels may differ a little along
// edges, where the devices' sample coverage differs, but nowhere else.
bool agree(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
  std::size_t differing = 0;
  for (std::size_t i = 0; i < a.size(); i += 3) {
    int worst = 0;
    for (std::size_t c = 0; c < 3; ++c)
      worst = std::max(worst, std::abs(int{a[i + c]} - int{b[i + c]}));
    if (worst > 24) ++differing;
  }
  std::printf("%zu pixels differ by more than 24\n", differing);
  return differing < a.size() / 3 / 100;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::printf("usage: kova_render_check ring.png [other.png]\n");
    return 2;
  }
  std::vector<unsigned char> first, second;
  if (!readRgb(argv[1], first) || !showsRing(argv[1], first)) return 1;
  if (argc == 3 &&
      (!readRgb(argv[2], second) || !showsRing(argv[2], second) || !agree(first, second)))
    return 1;
  return 0;
}
