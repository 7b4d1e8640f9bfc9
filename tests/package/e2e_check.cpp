// End-to-end check of kova_demo's frames. For each frame it reads the PNG and
// the check files that --dump wrote, re-derives with kova what the frame must
// show, and compares:
//   - the image is not empty, and pixels nobody drew keep the clear colour;
//   - culled points are not drawn: every drawn point passes frustumCull (and
//     its cluster's isSphereVisible) and lies strictly inside the FS-depth
//     range, and every point pixel is covered by such a point;
//   - the drawn pixels' depth order agrees with sortByFSDepth: the draws come
//     in its back-to-front order, and every point pixel holds the FS-depth and
//     colour of the nearest point covering it (the last one in that order on ties).
// Usage: kova_e2e_check DIR FRAMES [COLOUR_TOLERANCE]
// COLOUR_TOLERANCE (default 0) is how far a channel may be from the colour
// the dump records: a GPU computes the depth ramp in single precision.
#include <png.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <memory_resource>
#include <sstream>
#include <string>
#include <vector>

#include "kova_device_raster.hpp"
#include "kova_renderer.hpp"

namespace {

using kova_kernel::HomVec4;
using namespace kova_renderer;

int g_failures = 0;

void check(bool ok, const std::string& what) {
  if (!ok) {
    ++g_failures;
    if (g_failures <= 20) std::fprintf(stderr, "FAIL: %s\n", what.c_str());
  }
}

double number(const std::string& token) {
  double v = std::numeric_limits<double>::quiet_NaN();
  std::from_chars(token.data(), token.data() + token.size(), v);
  return v;
}

HomVec4 vec(const std::vector<std::string>& t, std::size_t at) {
  return HomVec4{number(t[at]), number(t[at + 1]), number(t[at + 2]), number(t[at + 3])};
}

struct Draw {
  std::uint32_t index;
  int cx, cy, r;
  std::uint8_t rgb[3];
};

struct Dump {
  std::uint32_t width = 0, height = 0;
  std::uint8_t clear[3] = {};
  KovaCamera camera{};
  std::uint32_t visible = 0, in_range = 0, drawn = 0;
  std::vector<std::pair<HomVec4, double>> balls;
  std::vector<HomVec4> points;
  std::vector<int> object;
  std::vector<Draw> draws;
};

bool readDump(const std::string& path, Dump& d) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::vector<std::string> t;
    for (std::string w; words >> w;) t.push_back(w);
    if (t.empty()) continue;
    const std::string& kind = t[0];
    if (kind == "frame" && t.size() == 4) {
      d.width = static_cast<std::uint32_t>(number(t[2]));
      d.height = static_cast<std::uint32_t>(number(t[3]));
    } else if (kind == "clear" && t.size() == 4) {
      for (int c = 0; c < 3; ++c) d.clear[c] = static_cast<std::uint8_t>(number(t[1 + c]));
    } else if (kind == "camera" && t.size() == 21) {
      d.camera.position = vec(t, 1);
      d.camera.forward = vec(t, 5);
      d.camera.up = vec(t, 9);
      d.camera.right = vec(t, 13);
      d.camera.fov = number(t[17]);
      d.camera.aspect = number(t[18]);
      d.camera.near_fs = number(t[19]);
      d.camera.far_fs = number(t[20]);
    } else if (kind == "counts" && t.size() == 5) {
      d.visible = static_cast<std::uint32_t>(number(t[2]));
      d.in_range = static_cast<std::uint32_t>(number(t[3]));
      d.drawn = static_cast<std::uint32_t>(number(t[4]));
    } else if (kind == "ball" && t.size() == 7) {
      d.balls.emplace_back(vec(t, 2), number(t[6]));
    } else if (kind == "point" && t.size() == 7) {
      d.points.push_back(vec(t, 2));
      d.object.push_back(static_cast<int>(number(t[6])));
    } else if (kind == "draw" && t.size() == 8) {
      Draw dr{static_cast<std::uint32_t>(number(t[1])),
              static_cast<int>(number(t[2])),
              static_cast<int>(number(t[3])),
              static_cast<int>(number(t[4])),
              {}};
      for (int c = 0; c < 3; ++c) dr.rgb[c] = static_cast<std::uint8_t>(number(t[5 + c]));
      d.draws.push_back(dr);
    }
  }
  return true;
}

bool readPng(const std::string& path, std::uint32_t& w, std::uint32_t& h,
             std::vector<std::uint8_t>& rgb) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_RGB;
  rgb.resize(PNG_IMAGE_SIZE(image));
  w = image.width;
  h = image.height;
  const bool ok = png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr) != 0;
  png_image_free(&image);
  return ok;
}

// Reads the header of a PFM ("Pf") or PGM ("P5") file and its raw payload.
bool readRaw(const std::string& path, const char* magic, std::uint32_t w, std::uint32_t h,
             std::size_t elem, std::vector<char>& payload) {
  std::ifstream in(path, std::ios::binary);
  std::string m, scale;
  std::uint32_t fw = 0, fh = 0;
  in >> m >> fw >> fh >> scale;
  in.get();
  if (!in || m != magic || fw != w || fh != h) return false;
  payload.resize(std::size_t{w} * h * elem);
  in.read(payload.data(), static_cast<std::streamsize>(payload.size()));
  return static_cast<std::size_t>(in.gcount()) == payload.size();
}

int g_colour_tolerance = 0;

bool sameColour(const std::uint8_t* px, const std::uint8_t* want) {
  for (int c = 0; c < 3; ++c) {
    if (std::abs(int{px[c]} - int{want[c]}) > g_colour_tolerance) return false;
  }
  return true;
}

void checkFrame(const std::string& stem) {
  Dump d;
  check(readDump(stem + ".txt", d), "read " + stem + ".txt");
  std::uint32_t w = 0, h = 0;
  std::vector<std::uint8_t> rgb;
  check(readPng(stem + ".png", w, h, rgb), "read " + stem + ".png");
  check(w == d.width && h == d.height && w > 0, "PNG size matches the dump");
  std::vector<char> depth_raw, kind_raw;
  check(readRaw(stem + ".depth.pfm", "Pf", w, h, 4, depth_raw), "read the depth image");
  check(readRaw(stem + ".kind.pgm", "P5", w, h, 1, kind_raw), "read the pixel-kind image");
  if (g_failures > 0 || d.points.empty()) {
    check(!d.points.empty(), "the dump lists the scene");
    return;
  }
  const std::size_t pixels = std::size_t{w} * h;
  std::vector<float> depth(pixels);
  for (std::uint32_t row = 0; row < h; ++row) {  // PFM rows run bottom to top
    std::memcpy(depth.data() + std::size_t{h - 1 - row} * w,
                depth_raw.data() + std::size_t{row} * w * 4, w * 4);
  }

  // What kova says: hemisphere representatives, frustum and ball culling, depth range.
  const std::size_t n = d.points.size();
  const KovaFrustum frustum = KovaFrustum::fromCamera(d.camera);
  const HomVec4 eye = d.camera.position;
  std::vector<HomVec4> hemi(n);
  for (std::size_t i = 0; i < n; ++i) {
    const HomVec4 p = d.points[i];
    hemi[i] = wVisibility(p) == WVisibilityClass::behind ? HomVec4{-p.x, -p.y, -p.z, -p.w} : p;
  }
  auto mask = std::make_unique<bool[]>(n);
  (void)frustumCull(frustum, hemi, std::span<bool>(mask.get(), n));
  std::uint32_t visible = 0;
  std::vector<HomVec4> kept;
  std::vector<std::uint32_t> kept_index;
  std::vector<double> depth_of(n, -1.0);
  for (std::size_t i = 0; i < n; ++i) {
    const int obj = d.object[i];
    if (obj >= 0)
      mask[i] = mask[i] && frustum.isSphereVisible(d.balls[obj].first, d.balls[obj].second);
    if (!mask[i]) continue;
    ++visible;
    depth_of[i] = fsDepth(eye, hemi[i], d.camera.near_fs, d.camera.far_fs);
    if (depth_of[i] > 0.0 && depth_of[i] < 1.0) {
      kept.push_back(hemi[i]);
      kept_index.push_back(static_cast<std::uint32_t>(i));
    }
  }
  check(visible == d.visible,
        "visible count " + std::to_string(d.visible) + " equals kova's " + std::to_string(visible));
  check(kept.size() == d.in_range, "in-range count equals kova's");

  std::pmr::monotonic_buffer_resource arena;
  auto order = sortByFSDepth(arena, eye, kept);
  check(order.has_value(), "sortByFSDepth");
  if (!order) return;
  std::vector<long> rank(n, -1);
  for (std::size_t k = 0; k < order->size(); ++k)
    rank[kept_index[(*order)[k]]] = static_cast<long>(k);

  // Draws: only kept points, in back-to-front order.
  check(!d.draws.empty() && d.draws.size() == d.drawn,
        "the frame drew points, as many as it reported");
  long last_rank = -1;
  for (const Draw& dr : d.draws) {
    const bool known = dr.index < n;
    check(known && rank[dr.index] >= 0,
          "drawn point " + std::to_string(dr.index) + " was culled or out of range");
    if (!known || rank[dr.index] < 0) continue;
    check(rank[dr.index] > last_rank,
          "draw of point " + std::to_string(dr.index) + " out of sortByFSDepth order");
    last_rank = rank[dr.index];
  }

  // How far a depth read back may be from kova's FS-depth of the same point.
  constexpr float kReadBackDepth = 1e-6f;
  // Expected owner of every pixel: the draws splatted in sortByFSDepth order
  // with a less-or-equal FS-depth test, kova's depth values.
  std::vector<float> best(pixels, std::numeric_limits<float>::infinity());
  std::vector<long> owner(pixels, -1);
  for (std::size_t k = 0; k < d.draws.size(); ++k) {
    const Draw& dr = d.draws[k];
    if (dr.index >= n || rank[dr.index] < 0) continue;
    const float z = static_cast<float>(depth_of[dr.index]);
    for (int dy = -dr.r; dy <= dr.r; ++dy) {
      for (int dx = -dr.r; dx <= dr.r; ++dx) {
        const int x = dr.cx + dx, y = dr.cy + dy;
        if (!kova_device::splatCovers(dx, dy, dr.r) || x < 0 || y < 0 || x >= static_cast<int>(w) ||
            y >= static_cast<int>(h)) {
          continue;
        }
        const std::size_t p = static_cast<std::size_t>(y) * w + static_cast<std::size_t>(x);
        if (z <= best[p]) best[p] = z, owner[p] = static_cast<long>(k);
      }
    }
  }

  std::size_t point_pixels = 0, drawn_pixels = 0;
  for (std::size_t p = 0; p < pixels; ++p) {
    const auto kind = static_cast<kova_device::PixelKind>(kind_raw[p]);
    const std::uint8_t* px = &rgb[p * 3];
    const std::string at =
        " at pixel (" + std::to_string(p % w) + ", " + std::to_string(p / w) + ")";
    if (kind != kova_device::PixelKind::clear) ++drawn_pixels;
    if (kind == kova_device::PixelKind::point) {
      ++point_pixels;
      check(owner[p] >= 0, "a point pixel that no drawn, visible point covers" + at);
      if (owner[p] < 0) continue;
      const Draw& dr = d.draws[static_cast<std::size_t>(owner[p])];
      // The device stores a projective depth; read back as FS-depth it comes
      // within a round trip through single precision of kova's value.
      check(std::fabs(depth[p] - best[p]) <= kReadBackDepth, "depth of the nearest point" + at);
      check(sameColour(px, dr.rgb), "colour of the nearest point" + at);
    } else if (kind == kova_device::PixelKind::geodesic) {
      check(owner[p] < 0 || depth[p] <= best[p] + kReadBackDepth,
            "a geodesic behind a point shows in front" + at);
    } else {
      check(owner[p] < 0, "a drawn point is missing" + at);
      check(depth[p] == 1.0f, "cleared depth" + at);
      check(sameColour(px, d.clear), "clear colour" + at);
    }
  }
  check(point_pixels * 200 >= pixels, "at least 0.5% of the image shows points");
  check(drawn_pixels > point_pixels, "geodesics were drawn");
  std::printf("%s: %zu points, %u visible, %u in range, %zu drawn, %zu point pixels of %zu\n",
              stem.c_str(), n, visible, d.in_range, d.draws.size(), point_pixels, pixels);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: kova_e2e_check DIR FRAMES [COLOUR_TOLERANCE]\n");
    return 2;
  }
  if (argc == 4) g_colour_tolerance = std::atoi(argv[3]);
  const int frames = std::atoi(argv[2]);
  for (int f = 0; f < frames; ++f) {
    char stem[64];
    std::snprintf(stem, sizeof stem, "/frame_%04d", f);
    checkFrame(std::string(argv[1]) + stem);
  }
  if (g_failures > 0) std::fprintf(stderr, "%d check(s) failed\n", g_failures);
  return g_failures == 0 && frames > 0 ? 0 : 1;
}
