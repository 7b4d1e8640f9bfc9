// Checks kova_view's screenshot: the picture it presented at the end of the
// autopilot's flight against the same pose rendered offscreen on the CPU
// device, outside the status panel, which must hold text (the window was
// resized mid-flight), and the viewer's renderer against the main job's first
// frame at the pose both start from (identical pictures).
// The points scene: every pixel within 1 per channel. The lattice and the
// walk (4x multisampled triangles): at least 99.5 % of the pixels within 3
// per channel, as between the two devices' lattice frames.
//
// usage: kova_view_check points|lattice|walk SHOT.png FRAMES POINTS WIDTH HEIGHT
//        (the window's final size)
#include <png.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "frame_driver.hpp"
#include "hud_panel.hpp"
#include "lattice_driver.hpp"
#include "lattice_frame.hpp"
#include "lattice_view.hpp"
#include "points_view.hpp"
#include "view_controls.hpp"
#include "walk_view.hpp"

namespace {

using namespace kova_view;
using kova_device::CpuDevice;

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

// Pixels of the panel (`lines` lines of 80 characters in the top left
// corner: two, and a third with the lattice's pipeline and lights)
// that hold text; outside it, pixels further than `tolerance` from the
// reference in some channel, pixels lit (away from `clear`), and the worst
// difference.
struct Comparison {
  std::size_t mismatches = 0, outside = 0, lit = 0, text = 0, worst = 0;
};

Comparison compare(const Picture& shot, const std::vector<std::uint8_t>& reference,
                   std::array<std::uint8_t, 3> clear, int tolerance, std::uint32_t lines = 2) {
  const std::uint32_t w = shot.width, h = shot.height;
  const std::uint32_t pw = std::min(panelWidth(80), w), ph = std::min(panelHeight(lines), h);
  Comparison r;
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      const std::size_t p = (std::size_t{y} * w + x) * 3;
      if (x < pw && y < ph) {
        r.text += shot.rgb[p] > 200 && shot.rgb[p + 1] > 200;
        continue;
      }
      bool differs = false, is_lit = false;
      for (std::size_t c = 0; c < 3; ++c) {
        const int d = std::abs(int{shot.rgb[p + c]} - int{reference[p + c]});
        r.worst = std::max<std::size_t>(r.worst, d);
        differs = differs || d > tolerance;
        is_lit = is_lit || std::abs(int{shot.rgb[p + c]} - int{clear[c]}) > 8;
      }
      ++r.outside;
      r.mismatches += differs;
      r.lit += is_lit;
    }
  }
  return r;
}

int checkLattice(const Picture& shot, std::uint64_t frames) {
  using kova_demo::LatticeDriver;
  const std::uint32_t w = shot.width, h = shot.height;
  const kova_demo::LatticeScene scene = kova_demo::makeLatticeScene();
  const auto n = static_cast<std::uint32_t>(scene.instances.size());

  // The flight's last pose, rendered offscreen on the CPU device.
  auto view = LatticeView<CpuDevice>::create(scene, w, h, CpuDevice{});
  if (!view) return std::fprintf(stderr, "FAILED: %s\n", view.error().c_str()), 1;
  const KovaCamera end = autopilotCamera(frames, latticeStartCamera(w, h));
  auto report = view->render(end);
  auto reference = view->readRgb();
  if (!report || !reference) return std::fprintf(stderr, "FAILED: CPU frame\n"), 1;
  expect(report->visible > 5 && report->visible < n,
         "the frustum keeps " + std::to_string(report->visible) + " of " + std::to_string(n) +
             " cells: the test needs some kept and some culled");
  expect(end.distanceTo(latticeStartCamera(w, h).position) > 0.2, "the autopilot barely moved");
  const auto fog = LatticeDriver<CpuDevice>::kFogColor;
  const Comparison c = compare(shot, *reference,
                               {kova_demo::toByte(fog[0]), kova_demo::toByte(fog[1]),
                                kova_demo::toByte(fog[2])},
                               3, 3);
  expect(static_cast<double>(c.outside - c.mismatches) >= 0.995 * static_cast<double>(c.outside),
         std::to_string(c.mismatches) + " of " + std::to_string(c.outside) +
             " pixels differ from the CPU device's frame by more than 3 (worst " +
             std::to_string(c.worst) + ")");
  expect(c.lit > 20000, "the picture is nearly empty: " + std::to_string(c.lit) + " lit pixels");
  expect(c.text > 500, "the status panel shows no text: " + std::to_string(c.text) +
                           " text pixels");

  // The viewer's start pose is the main job's first frame, and its culled
  // frame there is the main job's frame, which draws every cell.
  auto main_job = LatticeDriver<CpuDevice>::create(scene, w, h);
  auto start_view = LatticeView<CpuDevice>::create(scene, w, h, CpuDevice{});
  if (!main_job || !start_view) return std::fprintf(stderr, "FAILED: set-up\n"), 1;
  const KovaCamera start = latticeStartCamera(w, h);
  auto main_frame = main_job->renderFrame();
  auto start_frame = start_view->render(start);
  auto main_rgb = main_job->readRgb();
  auto start_rgb = start_view->readRgb();
  if (!main_frame || !start_frame || !main_rgb || !start_rgb)
    return std::fprintf(stderr, "FAILED: start frames\n"), 1;
  const KovaCamera& m = main_job->camera();
  expect(m.position == start.position && m.forward == start.forward && m.up == start.up &&
             m.right == start.right,
         "the viewer starts from another pose than the main job");
  expect(*main_rgb == *start_rgb, "the viewer's start frame differs from the main job's");
  expect(start_frame->visible < n, "the start frame culls no cell");

  std::printf("%s: %zu of %zu pixels within 3 (worst %zu), %zu lit, %u of %u cells kept, %zu "
              "panel text pixels; start frame: %u of %u cells kept\n",
              failures == 0 ? "passed" : "FAILED", c.outside - c.mismatches, c.outside, c.worst,
              c.lit, report->visible, n, c.text, start_frame->visible, n);
  return failures == 0 ? 0 : 1;
}

// The walk: the autopilot's last pose, walked at 1.5 m/s, against the CPU
// device (at least 99.5 % of the pixels within 3, as for the lattice); the
// viewer starts from the walk's first frame, and shows it as kova_demo does.
int checkWalk(const Picture& shot, std::uint64_t frames) {
  using namespace kova_demo;
  const std::uint32_t w = shot.width, h = shot.height;
  const WalkScene scene = makeWalkScene(kWalkDefaultAtKm);
  auto view = WalkView<CpuDevice>::create(scene, w, h, CpuDevice{});
  if (!view) return std::fprintf(stderr, "FAILED: %s\n", view.error().c_str()), 1;
  const KovaCamera start = walkLens(walkPose(scene, 0.0), w, h);
  const KovaCamera end = autopilotCamera(frames, start, metres(kWalkSpeed));
  auto report = view->render(end);
  auto reference = view->readRgb();
  if (!report || !reference) return std::fprintf(stderr, "FAILED: CPU frame\n"), 1;
  const double walked =
      kova_kernel::fsDistancePrecise(end.position, start.position) / kRadiansPerMetre;
  expect(walked > 0.5 && walked < 3.0,
         "the autopilot walked " + std::to_string(walked) + " m, not about a metre and a half");
  const Comparison c = compare(
      shot, *reference,
      {toByte(kWalkFogColor[0]), toByte(kWalkFogColor[1]), toByte(kWalkFogColor[2])}, 3);
  expect(static_cast<double>(c.outside - c.mismatches) >= 0.995 * static_cast<double>(c.outside),
         std::to_string(c.mismatches) + " of " + std::to_string(c.outside) +
             " pixels differ from the CPU device's frame by more than 3 (worst " +
             std::to_string(c.worst) + ")");
  expect(c.lit > 20000, "the picture is nearly empty: " + std::to_string(c.lit) + " lit pixels");
  expect(c.text > 500,
         "the status panel shows no text: " + std::to_string(c.text) + " text pixels");

  auto main_job = WalkDriver<CpuDevice>::create(scene, w, h);
  auto start_view = WalkView<CpuDevice>::create(scene, w, h, CpuDevice{});
  if (!main_job || !start_view) return std::fprintf(stderr, "FAILED: set-up\n"), 1;
  auto main_frame = main_job->renderFrame();
  auto start_frame = start_view->render(start);
  auto main_rgb = main_job->readRgb();
  auto start_rgb = start_view->readRgb();
  if (!main_frame || !start_frame || !main_rgb || !start_rgb)
    return std::fprintf(stderr, "FAILED: start frames\n"), 1;
  expect(*main_rgb == *start_rgb, "the viewer's start frame differs from the main job's");

  std::printf("%s: %zu of %zu pixels within 3 (worst %zu), %zu lit, walked %.3f m, %zu panel "
              "text pixels\n",
              failures == 0 ? "passed" : "FAILED", c.outside - c.mismatches, c.outside, c.worst,
              c.lit, walked, c.text);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view scene_name = argc > 1 ? argv[1] : "";
  if (argc != 7 || (scene_name != "points" && scene_name != "lattice" && scene_name != "walk")) {
    std::fprintf(stderr,
                 "usage: kova_view_check points|lattice|walk SHOT.png FRAMES POINTS WIDTH "
                 "HEIGHT\n");
    return 2;
  }
  ++argv;  // the scene read, the rest as before
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
  if (std::string_view(argv[0]) == "lattice") return checkLattice(shot, frames);
  if (std::string_view(argv[0]) == "walk") return checkWalk(shot, frames);
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
