// Checks kova_view's screenshot: the picture it presented at the end of the
// autopilot's flight against the same pose rendered offscreen on the CPU
// device (every pixel within 1 per channel outside the status panel, which
// must hold text; the window was resized mid-flight), and the viewer's renderer against the main job's first
// frame at the pose both start from (identical pictures).
//
// usage: kova_view_check SHOT.png FRAMES POINTS WIDTH HEIGHT (the window's final size)
#include <png.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "frame_driver.hpp"
#include "hud_panel.hpp"
#include "points_view.hpp"
#include "view_controls.hpp"

namespace {

using namespace kova_view;
using kova_demo::CpuDevice;

int failures = 0;

void expect(bool ok, const std::string& what) {
  if (ok) return;
  std::fprintf(stderr, "FAILED: %s\n", what.c_str());
  ++failures;
}

std::uint64_t number(std::string_view text) {
  std::uint64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc{} || end != text.data() + text.size()) {
    std::fprintf(stderr, "not a number: %.*s\n", static_cast<int>(text.size()), text.data());
    std::exit(2);
  }
  return v;
}

struct Picture {
  std::uint32_t width = 0, height = 0;
  std::vector<std::uint8_t> rgb;
};

Picture readPng(const char* path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  Picture p;
  if (png_image_begin_read_from_file(&image, path) == 0) return p;
  image.format = PNG_FORMAT_RGB;
  p.rgb.resize(PNG_IMAGE_SIZE(image));
  if (png_image_finish_read(&image, nullptr, p.rgb.data(), 0, nullptr) == 0) return Picture{};
  p.width = image.width;
  p.height = image.height;
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: kova_view_check SHOT.png FRAMES POINTS WIDTH HEIGHT\n");
    return 2;
  }
  const Picture shot = readPng(argv[1]);
  if (shot.rgb.empty()) {
    std::fprintf(stderr, "FAILED: cannot read %s as a PNG\n", argv[1]);
    return 1;
  }
  const std::uint64_t frames = number(argv[2]);
  const auto points = static_cast<std::uint32_t>(number(argv[3]));
  const std::uint32_t w = shot.width, h = shot.height;
  if (w != number(argv[4]) || h != number(argv[5])) {
    std::fprintf(stderr, "FAILED: the screenshot is %ux%u, not the %sx%s of the window\n", w, h,
                 argv[4], argv[5]);
    return 1;
  }
  const kova_demo::Scene scene = kova_demo::makeScene(points, 1);

  // The flight's last pose, rendered offscreen on the CPU device.
  auto view = PointsView<CpuDevice>::create(scene, w, h, CpuDevice{});
  if (!view) return std::fprintf(stderr, "FAILED: %s\n", view.error().c_str()), 1;
  const KovaCamera end = autopilotCamera(frames, w, h);
  auto report = view->render(end);
  auto reference = view->readRgb();
  if (!report || !reference) return std::fprintf(stderr, "FAILED: CPU frame\n"), 1;
  expect(report->drawn > 500, "the reference frame draws " + std::to_string(report->drawn) +
                                  " points, too few for a test");
  expect(end.distanceTo(startCamera(w, h).position) > 0.2, "the autopilot barely moved");

  // The status panel: two lines of 80 characters in the top left corner.
  const std::uint32_t pw = std::min(panelWidth(80), w), ph = std::min(panelHeight(2), h);
  const std::array<std::uint8_t, 3> clear = {
      kova_demo::toByte(kova_demo::FrameDriver<CpuDevice>::kClearColor[0]),
      kova_demo::toByte(kova_demo::FrameDriver<CpuDevice>::kClearColor[1]),
      kova_demo::toByte(kova_demo::FrameDriver<CpuDevice>::kClearColor[2])};
  std::size_t mismatches = 0, lit = 0, text = 0, worst = 0;
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      const std::size_t p = (std::size_t{y} * w + x) * 3;
      const bool in_panel = x < pw && y < ph;
      bool differs = false, is_lit = false;
      for (std::size_t c = 0; c < 3; ++c) {
        const int d = std::abs(int{shot.rgb[p + c]} - int{(*reference)[p + c]});
        worst = in_panel ? worst : std::max<std::size_t>(worst, d);
        differs = differs || d > 1;
        is_lit = is_lit || std::abs(int{shot.rgb[p + c]} - int{clear[c]}) > 8;
      }
      if (in_panel) {
        text += shot.rgb[p] > 200 && shot.rgb[p + 1] > 200;
      } else {
        mismatches += differs;
        lit += is_lit;
      }
    }
  }
  expect(mismatches == 0, std::to_string(mismatches) +
                              " pixels differ from the CPU device's frame by more than 1 (worst " +
                              std::to_string(worst) + ")");
  expect(lit > 2000, "the picture is nearly empty: " + std::to_string(lit) + " lit pixels");
  expect(text > 500, "the status panel shows no text: " + std::to_string(text) + " text pixels");

  // The viewer's start pose is the main job's first frame.
  auto main_job = kova_demo::FrameDriver<CpuDevice>::create(scene, w, h);
  auto start_view = PointsView<CpuDevice>::create(scene, w, h, CpuDevice{});
  if (!main_job || !start_view) return std::fprintf(stderr, "FAILED: set-up\n"), 1;
  const KovaCamera start = startCamera(w, h);
  auto main_frame = main_job->renderFrame();
  auto start_frame = start_view->render(start);
  auto main_rgb = main_job->readImages();
  auto start_rgb = start_view->readRgb();
  if (!main_frame || !start_frame || !main_rgb || !start_rgb)
    return std::fprintf(stderr, "FAILED: start frames\n"), 1;
  const KovaCamera& m = main_job->camera();
  expect(m.position == start.position && m.forward == start.forward && m.up == start.up &&
             m.fov == start.fov && m.aspect == start.aspect && m.near_fs == start.near_fs &&
             m.far_fs == start.far_fs,
         "the viewer starts from another pose than the main job");
  expect(main_rgb->rgb == *start_rgb, "the viewer's start frame differs from the main job's");
  expect(main_frame->drawn == start_frame->drawn,
         "points drawn: main job " + std::to_string(main_frame->drawn) + ", viewer " +
             std::to_string(start_frame->drawn));
  expect(start_frame->visible <= main_frame->visible,
         "the view's frustum keeps more than the main job's");

  std::printf("%s: %zu lit pixels, %u points drawn, %zu panel text pixels; start frame: %u of %u "
              "kept points drawn (main job kept %u)\n",
              failures == 0 ? "passed" : "FAILED", lit, report->drawn, text, start_frame->drawn,
              start_frame->visible, main_frame->visible);
  return failures == 0 ? 0 : 1;
}
