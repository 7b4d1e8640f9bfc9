// kova_view: fly through the main job's lattice (or, with --scene points, the
// points scene, or with --scene walk walk round a courtyard at human scale)
// in a window, on the Vulkan device.
//
// W/S A/D Q/E (or Space/Ctrl) travel along geodesics, the mouse turns, Z/C
// roll, the wheel changes the field of view, Shift runs, R resets, F1 shows
// the controls, Escape quits. --autopilot flies a fixed path instead, and
// --frames/--screenshot make a scripted run that writes its last frame.
#define GLFW_INCLUDE_VULKAN
#include <GLFW/glfw3.h>

#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "demo_scene.hpp"
#include "device_choice.hpp"
#include "hud_panel.hpp"
#include "image_files.hpp"
#include "lattice_view.hpp"
#include "points_view.hpp"
#include "view_controls.hpp"
#include "view_options.hpp"
#include "walk_view.hpp"
#include "kova_vulkan_device.hpp"
#include "window_present.hpp"

namespace {

using namespace kova_view;
using kova_device::VulkanDevice;

// The status panel's width in characters: fixed, so that it covers the same
// corner of the picture every frame.
constexpr std::size_t kStatusColumns = 80;
// The worlds the viewer flies through, each with its renderer, start pose,
// travel speed and the way it states a distance: any renderer with
// PointsView's interface (create(world, width, height, device), resize,
// render(camera) -> ViewReport, colorImage, device) can take a place here.
// Distances from the start are fsDistancePrecise, exact at every scale.
std::string radians(double d) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f rad", d);
  return text;
}
struct PointsWorld {
  using View = PointsView<VulkanDevice>;
  static constexpr double kSpeed = kTravelSpeed;
  static constexpr const char* kThings = "points";
  static kova_demo::Scene make(const ViewOptions& o) {
    return kova_demo::makeScene(o.points, o.seed);
  }
  static KovaCamera start(const kova_demo::Scene&, std::uint32_t w, std::uint32_t h) {
    return startCamera(w, h);
  }
  static std::string distance(double d) { return radians(d); }
};
struct LatticeWorld {
  using View = LatticeView<VulkanDevice>;
  static constexpr double kSpeed = kTravelSpeed;
  static constexpr const char* kThings = "cells";
  static kova_demo::LatticeScene make(const ViewOptions&) { return kova_demo::makeLatticeScene(); }
  static KovaCamera start(const kova_demo::LatticeScene&, std::uint32_t w, std::uint32_t h) {
    return latticeStartCamera(w, h);
  }
  static std::string distance(double d) { return radians(d); }
};
// Walking pace: W/S/A/D move at kWalkSpeed metres per second (Shift runs).
struct WalkWorld {
  using View = WalkView<VulkanDevice>;
  static constexpr double kSpeed = kova_demo::metres(kova_demo::kWalkSpeed);
  static constexpr const char* kThings = "objects";
  static kova_demo::WalkScene make(const ViewOptions& o) {
    return kova_demo::makeWalkScene(o.at_km);
  }
  static KovaCamera start(const kova_demo::WalkScene& scene, std::uint32_t w, std::uint32_t h) {
    return kova_demo::walkLens(kova_demo::walkPose(scene, 0.0), w, h);
  }
  static std::string distance(double d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f m", d / kova_demo::kRadiansPerMetre);
    return text;
  }
};

// Seconds a new window size must hold before the render images follow it.
constexpr double kResizeSettle = 0.25;

const std::vector<std::string> kHelp = {
    "W / S       forward / back       A / D     left / right",
    "E / Q       up / down            (or Space / Ctrl)",
    "mouse       turn (yaw, pitch)    Z / C     roll",
    "wheel       field of view        Shift     run",
    "R           reset                Esc       quit",
    "L           lattice: more lights (0, 8, 64, 256, 1024, round again)",
    "P           lattice: switch the pipeline, forward+ / deferred",
    "F1          hide this help"};

// What the window reported since the last frame.
struct WindowEvents {
  double scroll = 0.0;
  bool help = false;
  bool reset = false;
  bool resized = false;
  bool next_lights = false;
  bool next_pipeline = false;
};

WindowEvents& events(GLFWwindow* window) {
  return *static_cast<WindowEvents*>(glfwGetWindowUserPointer(window));
}

void onKey(GLFWwindow* window, int key, int, int action, int) {
  if (action != GLFW_PRESS) return;
  if (key == GLFW_KEY_ESCAPE) glfwSetWindowShouldClose(window, GLFW_TRUE);
  if (key == GLFW_KEY_F1) events(window).help = !events(window).help;
  if (key == GLFW_KEY_R) events(window).reset = true;
  if (key == GLFW_KEY_L) events(window).next_lights = true;
  if (key == GLFW_KEY_P) events(window).next_pipeline = true;
}
void onScroll(GLFWwindow* window, double, double dy) { events(window).scroll += dy; }
void onResize(GLFWwindow* window, int, int) { events(window).resized = true; }

double axis(GLFWwindow* w, std::initializer_list<int> plus, std::initializer_list<int> minus) {
  double v = 0.0;
  for (int k : plus) v += glfwGetKey(w, k) == GLFW_PRESS ? 1.0 : 0.0;
  for (int k : minus) v -= glfwGetKey(w, k) == GLFW_PRESS ? 1.0 : 0.0;
  return std::clamp(v, -1.0, 1.0);
}

ControlInput readKeys(GLFWwindow* w, double mouse_dx, double mouse_dy, WindowEvents& ev) {
  ControlInput in;
  in.forward = axis(w, {GLFW_KEY_W}, {GLFW_KEY_S});
  in.right = axis(w, {GLFW_KEY_D}, {GLFW_KEY_A});
  in.up = axis(w, {GLFW_KEY_E, GLFW_KEY_SPACE}, {GLFW_KEY_Q, GLFW_KEY_LEFT_CONTROL,
                                                 GLFW_KEY_RIGHT_CONTROL});
  in.roll = axis(w, {GLFW_KEY_C}, {GLFW_KEY_Z});
  in.run = glfwGetKey(w, GLFW_KEY_LEFT_SHIFT) == GLFW_PRESS ||
           glfwGetKey(w, GLFW_KEY_RIGHT_SHIFT) == GLFW_PRESS;
  in.mouse_dx = mouse_dx;
  in.mouse_dy = mouse_dy;
  in.scroll = ev.scroll;
  in.reset = ev.reset;
  ev.scroll = 0.0;
  ev.reset = false;
  return in;
}

kova_demo::PipelineChoice otherPipeline(kova_demo::PipelineChoice choice) {
  return choice == kova_demo::PipelineChoice::deferred ? kova_demo::PipelineChoice::forward_plus
                                                       : kova_demo::PipelineChoice::deferred;
}

// Switches `view` to `choice`; when the device refuses, the view keeps its
// pipeline and `refusal` says why (also on stderr).
template <class View>
void switchPipeline(View& view, kova_demo::PipelineChoice choice, std::string& refusal) {
  auto ok = view.setPipeline(choice);
  if (ok) {
    refusal.clear();
    return;
  }
  refusal = std::string(kova_demo::pipelineName(choice)) + " refused: " + ok.error();
  std::fprintf(stderr, "kova_view: %s; staying on %s\n", refusal.c_str(),
               std::string(kova_demo::pipelineName(view.pipeline())).c_str());
}

// The panel's line on the lattice's lighting.
std::string lightingLine(const ViewReport& r) {
  const bool unlit = r.pipeline == kova_demo::PipelineChoice::forward_plus && r.lights == 0;
  return "pipeline " + std::string(unlit ? "unlit" : kova_demo::pipelineName(r.pipeline)) +
         "  lights " + std::to_string(r.lights) + "  L more lights  P forward+/deferred";
}

std::string padded(std::string s) {
  s.resize(kStatusColumns, ' ');
  return s;
}

// Means over the frames since the panel last changed.
struct Averages {
  double frames = 0, ms_frame = 0, ms_cull = 0, ms_sort = 0, ms_commands = 0, ms_device = 0,
         ms_present = 0;
  void add(const ViewReport& r, double frame_ms, double present_ms) {
    frames += 1;
    ms_frame += frame_ms;
    ms_cull += r.ms_cull;
    ms_sort += r.ms_sort;
    ms_commands += r.ms_commands;
    ms_device += r.ms_device;
    ms_present += present_ms;
  }
};

std::vector<std::string> statusLines(const Averages& a, const ViewReport& r, const char* things,
                                     const std::string& distance, double fov) {
  const double n = a.frames > 0 ? a.frames : 1;
  const double frame = a.ms_frame / n;
  char l1[160], l2[160];
  std::snprintf(l1, sizeof l1,
                "%5.1f fps %5.1f ms  CPU cull %4.1f sort %4.1f cmd %4.1f  GPU %5.1f  show %4.1f",
                frame > 0 ? 1000.0 / frame : 0.0, frame, a.ms_cull / n, a.ms_sort / n,
                a.ms_commands / n, a.ms_device / n, a.ms_present / n);
  if (r.instanced) {
    std::snprintf(l2, sizeof l2,
                  "%s %u of %u drawn  triangles %u  from start %s  fov %.0f  F1 help", things,
                  r.drawn, r.points, r.triangles, distance.c_str(), fov * 57.29577951308232);
  } else {
    std::snprintf(l2, sizeof l2,
                  "visible %u  drawn %u  of %u  from start %s  fov %.0f  F1 help", r.visible,
                  r.drawn, r.points, distance.c_str(), fov * 57.29577951308232);
  }
  return {padded(l1), padded(l2)};
}

// The size a scripted run asks the window for before `frame`, if any: the
// --resize size at kResizeFrame, then with --resize-cycle the start size and
// the --resize size in turn every kResizeCycleFrames frames.
std::optional<std::pair<std::uint32_t, std::uint32_t>> scriptedWindowSize(
    const ViewOptions& options, std::uint64_t frame) {
  if (!options.resize || frame < kResizeFrame) return std::nullopt;
  const std::uint64_t since = frame - kResizeFrame;
  const std::uint64_t turns = options.resize_cycle > 0 ? options.resize_cycle : 1;
  if (since % kResizeCycleFrames != 0 || since / kResizeCycleFrames >= turns) return std::nullopt;
  if ((since / kResizeCycleFrames) % 2 == 0) return options.resize;
  return std::pair{options.width, options.height};
}

// The process's resident and peak resident memory, as Linux reports them.
std::string memoryInUse() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return "unknown";
  std::string out;
  char line[256];
  while (std::fgets(line, sizeof line, f) != nullptr) {
    const std::string_view l = line;
    if (l.starts_with("VmRSS:") || l.starts_with("VmHWM:")) {
      std::string_view v = l.substr(6);
      while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
      while (!v.empty() && (v.back() == '\n' || v.back() == ' ')) v.remove_suffix(1);
      if (!out.empty()) out.append(", ");
      out.append(l.substr(0, 5)).append(" ").append(v);
    }
  }
  std::fclose(f);
  return out.empty() ? "unknown" : out;
}

template <class World>
int run(const ViewOptions& options) {
  using SceneView = typename World::View;
  if (glfwInit() != GLFW_TRUE) {
    std::fprintf(stderr, "kova_view: cannot open a window (is a display available?)\n");
    return 1;
  }
  struct GlfwEnd {
    ~GlfwEnd() { glfwTerminate(); }
  } glfw_end;
  if (glfwVulkanSupported() != GLFW_TRUE) {
    std::fprintf(stderr,
                 "kova_view: no usable Vulkan device (no Vulkan loader or driver for windows)\n");
    return kova_demo::kExitNoDevice;
  }
  glfwWindowHint(GLFW_CLIENT_API, GLFW_NO_API);
  glfwWindowHint(GLFW_RESIZABLE, GLFW_TRUE);
  GLFWwindow* window = glfwCreateWindow(static_cast<int>(options.width),
                                        static_cast<int>(options.height), "kova_view", nullptr,
                                        nullptr);
  if (window == nullptr) {
    std::fprintf(stderr, "kova_view: cannot create a window\n");
    return 1;
  }
  struct WindowEnd {
    GLFWwindow* w;
    ~WindowEnd() { glfwDestroyWindow(w); }
  } window_end{window};
  WindowEvents ev;
  ev.help = options.show_help;
  glfwSetWindowUserPointer(window, &ev);
  glfwSetKeyCallback(window, onKey);
  glfwSetScrollCallback(window, onScroll);
  glfwSetFramebufferSizeCallback(window, onResize);

  std::uint32_t n_ext = 0;
  const char** ext = glfwGetRequiredInstanceExtensions(&n_ext);
  kova_device::VulkanOptions vo{.swapchain = true};
  for (std::uint32_t i = 0; i < n_ext; ++i) vo.instance_extensions.emplace_back(ext[i]);
  auto device = kova_demo::openVulkanDevice(options.device, std::move(vo));
  if (!device) {
    std::fprintf(stderr, "kova_view: %s\n", device.error().c_str());
    return kova_demo::kExitNoDevice;
  }
  kova_demo::printDevice("kova_view", *device);

  int fb_w = 0, fb_h = 0;
  glfwGetFramebufferSize(window, &fb_w, &fb_h);
  const auto width = static_cast<std::uint32_t>(std::max(fb_w, 1));
  const auto height = static_cast<std::uint32_t>(std::max(fb_h, 1));
  const auto scene = World::make(options);
  auto view = SceneView::create(scene, width, height, std::move(*device));
  if (!view) {
    std::fprintf(stderr, "kova_view: %s\n", view.error().c_str());
    return 1;
  }
  auto presenter = Presenter::create(view->device(), window, options.vsync);
  if (!presenter) {
    std::fprintf(stderr, "kova_view: %s\n", presenter.error().c_str());
    return 1;
  }
  std::printf("kova_view: %ux%u, %s, %s\n", width, height,
              options.scene == ViewScene::lattice  ? "lattice"
              : options.scene == ViewScene::points ? "points"
                                                   : "walk",
              (*presenter)->presentModeName());

  if (!options.autopilot) {
    glfwSetInputMode(window, GLFW_CURSOR, GLFW_CURSOR_DISABLED);
    if (glfwRawMouseMotionSupported() == GLFW_TRUE)
      glfwSetInputMode(window, GLFW_RAW_MOUSE_MOTION, GLFW_TRUE);
  }
  // A lit world starts with the pipeline asked for, if the device runs it.
  constexpr bool kLit = requires(SceneView& v) { v.setLights(0u); };
  std::string refusal;  // why the device refused deferred, for the panel
  if constexpr (kLit) {
    if (options.pipeline != view->pipeline()) switchPipeline(*view, options.pipeline, refusal);
    if (auto ok = view->setLights(options.lights); !ok) {
      std::fprintf(stderr, "kova_view: %u lights: %s\n", options.lights, ok.error().c_str());
      return 1;
    }
  }
  KovaCamera start = World::start(scene, width, height);
  KovaCamera camera = start;
  double mouse_x = 0, mouse_y = 0;
  glfwGetCursorPos(window, &mouse_x, &mouse_y);

  std::vector<std::uint8_t> shot;
  std::uint32_t shot_w = 0, shot_h = 0;
  Averages avg, shown_avg;
  ViewReport last{};
  double last_time = glfwGetTime(), panel_time = last_time, first_time = last_time;
  double resized_at = last_time;
  std::uint64_t frame = 0;
  std::uint32_t resizes = 0;  // of the render images
  int status = 0;
  while (glfwWindowShouldClose(window) != GLFW_TRUE) {
    glfwPollEvents();
    const double now = glfwGetTime();
    const double dt = now - last_time;
    last_time = now;

    // The swapchain follows the window at once (the picture is stretched
    // meanwhile); the render images follow once the size has settled, so
    // that dragging a window's edge does not make and release a pair of
    // images every frame (the view releases the pair a resize replaces).
    if (ev.resized) {
      ev.resized = false;
      resized_at = now;
      (*presenter)->invalidate();
    }
    glfwGetFramebufferSize(window, &fb_w, &fb_h);
    if (fb_w <= 0 || fb_h <= 0) {  // minimised: wait for the window to come back
      glfwWaitEvents();
      continue;
    }
    const auto fw = static_cast<std::uint32_t>(fb_w), fh = static_cast<std::uint32_t>(fb_h);
    if ((fw != view->width() || fh != view->height()) &&
        (options.autopilot || now - resized_at >= kResizeSettle)) {
      if (auto sized = view->resize(fw, fh); !sized) {
        std::fprintf(stderr, "kova_view: %s\n", sized.error().c_str());
        status = 1;
        break;
      }
      ++resizes;
      camera.aspect = start.aspect = static_cast<double>(fw) / fh;
    }

    if (const auto size = scriptedWindowSize(options, frame))
      glfwSetWindowSize(window, static_cast<int>(size->first), static_cast<int>(size->second));

    double x = 0, y = 0;
    glfwGetCursorPos(window, &x, &y);
    const ControlInput input = options.autopilot ? autopilotInput(frame)
                                                 : readKeys(window, x - mouse_x, y - mouse_y, ev);
    mouse_x = x;
    mouse_y = y;
    applyControls(camera, input, options.autopilot ? kAutopilotStep : dt, start, World::kSpeed);

    // A lit world changes its light count by the L key and its pipeline
    // by the P key; a pipeline the device refuses leaves the view as it was.
    if constexpr (kLit) {
      if (ev.next_lights) {
        if (auto ok = view->setLights(nextLightCount(view->lights())); !ok) {
          std::fprintf(stderr, "kova_view: %s\n", ok.error().c_str());
          status = 1;
          break;
        }
      }
      if (ev.next_pipeline) switchPipeline(*view, otherPipeline(view->pipeline()), refusal);
    }
    ev.next_lights = false;
    ev.next_pipeline = false;

    auto report = view->render(camera);
    if (!report) {
      std::fprintf(stderr, "kova_view: %s\n", report.error().c_str());
      status = 1;
      break;
    }
    last = *report;
    std::vector<std::string> lines =
        statusLines(shown_avg, last, World::kThings,
                    World::distance(kova_kernel::fsDistancePrecise(camera.position, start.position)),
                    camera.fov);
    if constexpr (kLit) {
      lines.push_back(padded(lightingLine(last)));
      if (!refusal.empty()) lines.push_back(padded(refusal));
    }
    if (ev.help) lines.insert(lines.end(), kHelp.begin(), kHelp.end());
    const Panel panel = drawPanel(lines, (*presenter)->bgra());

    const bool last_frame = options.frames && frame + 1 >= *options.frames;
    const bool keep = last_frame && options.screenshot.has_value();
    const double t_show = glfwGetTime();
    auto shown = (*presenter)->present(view->colorImage(), panel, keep ? &shot : nullptr);
    if (!shown) {
      std::fprintf(stderr, "kova_view: %s\n", shown.error().c_str());
      status = 1;
      break;
    }
    // The frame to keep is shown again after a rebuilt swapchain, with the
    // camera where it is.
    for (int tries = 0; keep && shown && !*shown && tries < 3; ++tries)
      shown = (*presenter)->present(view->colorImage(), panel, &shot);
    if (!shown || (keep && !*shown)) {
      std::fprintf(stderr, "kova_view: %s\n",
                   shown ? "the last frame could not be shown" : shown.error().c_str());
      status = 1;
      break;
    }
    if (keep) {
      shot_w = (*presenter)->extent().width;
      shot_h = (*presenter)->extent().height;
    }
    avg.add(last, dt * 1000.0, (glfwGetTime() - t_show) * 1000.0);
    if (now - panel_time >= 0.5) {
      shown_avg = avg;
      avg = Averages{};
      panel_time = now;
    }
    ++frame;
    if (last_frame) break;
  }
  const double seconds = glfwGetTime() - first_time;
  presenter->reset();
  if (status == 0 && options.screenshot) {
    if (auto written = kova_demo::writePngAtomic(*options.screenshot, shot_w, shot_h, shot);
        !written) {
      std::fprintf(stderr, "kova_view: %s\n", written.error().c_str());
      status = 1;
    }
  }
  std::printf("kova_view: %llu frames in %.2f s, %.1f frames per second\n",
              static_cast<unsigned long long>(frame), seconds,
              seconds > 0 ? static_cast<double>(frame) / seconds : 0.0);
  if (options.resize_cycle > 0)
    std::printf("kova_view: %u resizes of the render images; memory %s\n", resizes,
                memoryInUse().c_str());
  return kova_demo::validationVerdict("kova_view", status, view->device());
}

}  // namespace

int main(int argc, char** argv) {
  auto options = parseViewOptions(std::span<const char* const>(argv + 1, argv + argc));
  if (!options) {
    std::fprintf(stderr, "kova_view: %s\n%s", options.error().c_str(), viewUsage().c_str());
    return 2;
  }
  if (options->help) {
    std::printf("%s", viewUsage().c_str());
    return 0;
  }
  // The picture is kept only at the end of the flight: find out now if it
  // cannot be written.
  if (options->screenshot) {
    if (auto ok = kova_demo::checkFileCanBeWritten(*options->screenshot); !ok) {
      std::fprintf(stderr, "kova_view: --screenshot %s\n", ok.error().c_str());
      return 2;
    }
  }
  switch (options->scene) {
    case ViewScene::lattice:
      return run<LatticeWorld>(*options);
    case ViewScene::points:
      return run<PointsWorld>(*options);
    case ViewScene::walk:
      return run<WalkWorld>(*options);
  }
  return 2;
}
