// kova_demo: an example host. It drives frames with kova (camera, frustum,
// culling, FS-depth, depth sorting, descriptors, commands, frame graph) and
// runs them on a Vulkan device or the CPU reference device layer, writing PNG
// pictures: by default a flight through the 120-cell's lattice in elliptic
// space, or a cloud of points (--scene points), or a walk round a courtyard
// at human scale (--scene walk).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "animated_png.hpp"
#include "demo_dump.hpp"
#include "demo_options.hpp"
#include "demo_scene.hpp"
#include "device_choice.hpp"
#include "frame_driver.hpp"
#include "image_files.hpp"
#include "lattice_driver.hpp"
#include "lattice_frame.hpp"
#include "stale_outputs.hpp"
#include "walk_frame.hpp"

namespace {

using namespace kova_demo;
namespace fs = std::filesystem;

constexpr int kExitRuntime = 1;
constexpr int kExitUsage = 2;
constexpr std::uint32_t kAnimationFps = 30;

std::string frameStem(const fs::path& dir, std::uint64_t frame) {
  char name[32];
  std::snprintf(name, sizeof name, "frame_%04llu", static_cast<unsigned long long>(frame));
  return (dir / name).string();
}

// A progress bar on stderr: redrawn in place on a terminal, a line every
// tenth of the run otherwise.
void progress(std::uint32_t done, std::uint32_t total, double elapsed_s) {
  const bool tty = ::isatty(STDERR_FILENO) != 0;
  if (!tty && done != total && done % std::max<std::uint32_t>(1, total / 10) != 0) return;
  constexpr int kWidth = 30;
  const int filled = static_cast<int>(static_cast<double>(done) / total * kWidth);
  const double eta = done > 0 ? elapsed_s / done * (total - done) : 0.0;
  std::fprintf(stderr, "%s[%.*s%*s] %u/%u frames, %.1f s elapsed, %.1f s left%s", tty ? "\r" : "",
               filled, "##############################", kWidth - filled, "", done, total,
               elapsed_s, eta, tty ? (done == total ? "\n" : "") : "\n");
  std::fflush(stderr);
}

// printf into a string.
template <class... Args>
std::string formatted(const char* format, Args... args) {
  const int n = std::snprintf(nullptr, 0, format, args...);
  std::string text(static_cast<std::size_t>(std::max(n, 0)), '\0');
  std::snprintf(text.data(), text.size() + 1, format, args...);
  return text;
}

// Renders opt.frames frames of `driver` into DIR/frame_NNNN.png and, for
// several, into one animated PNG at `fps`, printing each frame's line
// (`line` of its report) and a progress bar.
template <class Driver, class Line>
int writeFrames(const Options& opt, const fs::path& out, std::uint32_t fps, Driver& driver,
                Line&& line) {
  std::optional<AnimatedPng> animation;
  if (opt.frames > 1) {
    auto made = AnimatedPng::create(out / "animation.png", opt.width, opt.height, opt.frames, fps);
    if (!made) {
      std::fprintf(stderr, "kova_demo: %s\n", made.error().c_str());
      return kExitRuntime;
    }
    animation.emplace(std::move(*made));
  }
  const auto start = std::chrono::steady_clock::now();
  for (std::uint32_t f = 0; f < opt.frames; ++f) {
    auto report = driver.renderFrame();
    if (!report) {
      std::fprintf(stderr, "kova_demo: frame %u: %s\n", f, report.error().c_str());
      return kExitRuntime;
    }
    auto rgb = driver.readRgb();
    if (!rgb) {
      std::fprintf(stderr, "kova_demo: frame %u: %s\n", f, rgb.error().c_str());
      return kExitRuntime;
    }
    const std::string stem = frameStem(out, report->frame_index);
    if (auto ok = writePngAtomic(stem + ".png", opt.width, opt.height, *rgb); !ok) {
      std::fprintf(stderr, "kova_demo: %s\n", ok.error().c_str());
      return kExitRuntime;
    }
    if (animation) {
      if (auto ok = animation->addFrame(*rgb); !ok) {
        std::fprintf(stderr, "kova_demo: %s\n", ok.error().c_str());
        return kExitRuntime;
      }
    }
    std::printf("frame %llu: %s -> %s.png\n", static_cast<unsigned long long>(report->frame_index),
                line(*report).c_str(), stem.c_str());
    std::fflush(stdout);
    if (opt.frames > 1) {
      progress(f + 1, opt.frames,
               std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
  }
  if (animation) {
    if (auto ok = animation->finish(); !ok) {
      std::fprintf(stderr, "kova_demo: %s\n", ok.error().c_str());
      return kExitRuntime;
    }
  }
  std::printf("kova_demo: wrote %u frame%s%s to %s\n", opt.frames, opt.frames == 1 ? "" : "s",
              animation ? " and animation.png" : "", fs::absolute(out).lexically_normal().c_str());
  return 0;
}

// The lattice flight: shaded cells and geodesic edges, one PNG per frame.
template <FrameDevice Device>
int renderLattice(const Options& opt, const fs::path& out, const LatticeScene& scene,
                  LatticeDriver<Device>& driver) {
  std::printf(
      "kova_demo: 120-cell lattice (%zu cells, %zu triangles each, %zu edges), %u frame%s "
      "at %ux%u, %u samples per pixel, %s -> %s\n",
      scene.instances.size(), scene.cell.indices.size() / 3, scene.edge_points.size() / 2,
      opt.frames, opt.frames == 1 ? "" : "s", opt.width, opt.height, driver.samples(),
      opt.lights == 0 && opt.pipeline == PipelineChoice::forward_plus
          ? "unlit"
          : (std::string(pipelineName(opt.pipeline)) + " with " + std::to_string(opt.lights) +
             " light" + (opt.lights == 1 ? "" : "s"))
                .c_str(),
      fs::absolute(out).lexically_normal().c_str());
  return writeFrames(opt, out, kAnimationFps, driver, [](const LatticeReport& r) {
    return formatted("triangles drawn %u of %u, geodesic arcs %u, passes %u, commands %u, "
                     "device %.1f ms, total %.1f ms",
                     r.triangles_drawn, r.triangles, r.geodesic_arcs, r.passes, r.commands,
                     r.ms_device, r.ms_total);
  });
}

// Makes `out` ready for this run: created if missing, writable, and rid of
// the files of an earlier run that this one will not write again. Runs once
// the device is there, so that a run stopped for want of one leaves no folder.
bool prepareOutput(const Options& opt, const fs::path& out, bool animation) {
  if (auto ok = prepareOutputDirectory(out); !ok) {
    std::fprintf(stderr, "kova_demo: %s\n", ok.error().c_str());
    return false;
  }
  auto removed = removeStaleOutputs(out, {.frames = opt.frames, .dump = opt.dump,
                                          .animation = animation});
  if (!removed) {
    std::fprintf(stderr, "kova_demo: %s\n", removed.error().c_str());
    return false;
  }
  if (*removed > 0)
    std::printf("kova_demo: removed %zu file%s of an earlier run from %s\n", *removed,
                *removed == 1 ? "" : "s", fs::absolute(out).lexically_normal().c_str());
  return true;
}

// KOVA_VULKAN_VALIDATION=1 runs under the validation layer;
// KOVA_VULKAN_VALIDATION=best-practices adds its best-practices checks.
DeviceRequest deviceRequest(const Options& opt) {
  const char* validate = std::getenv("KOVA_VULKAN_VALIDATION");
  const std::string_view how = validate != nullptr ? validate : "";
  const bool best_practices = how == "best-practices";
  return DeviceRequest{.choice = opt.device,
                       .require = opt.require_device,
                       .validation = best_practices || how.starts_with('1'),
                       .best_practices = best_practices,
                       .float64 = opt.float64,
                       .samples = opt.samples};
}

int runLattice(const Options& opt, const fs::path& out) {
  const LatticeScene scene = makeLatticeScene();
  return runOnChosenDevice(
      "kova_demo", deviceRequest(opt),
      [&]<class Device>(Device device) -> std::expected<LatticeDriver<Device>, std::string> {
        auto driver =
            LatticeDriver<Device>::create(scene, opt.width, opt.height, std::move(device));
        if (!driver) return driver;
        if (auto ok = driver->setPipeline(opt.pipeline); !ok) return std::unexpected(ok.error());
        if (auto ok = driver->setLights(opt.lights); !ok) return std::unexpected(ok.error());
        return driver;
      },
      [&](auto& driver) {
        if (!prepareOutput(opt, out, opt.frames > 1)) return kExitUsage;
        return renderLattice(opt, out, scene, driver);
      });
}

// The walk: one PNG per frame, sampled at kWalkFps, and an animated PNG.
template <FrameDevice Device>
int renderWalk(const Options& opt, const fs::path& out, const WalkScene& scene,
               WalkDriver<Device>& driver) {
  std::size_t objects = 0;
  for (const WalkShape& shape : scene.shapes) objects += shape.instances.size();
  std::printf(
      "kova_demo: walk round a courtyard (%zu objects) %.1f km from the origin, %u frame%s "
      "at %ux%u, %u samples per pixel -> %s\n",
      objects, scene.at_km, opt.frames, opt.frames == 1 ? "" : "s", opt.width, opt.height,
      driver.samples(), fs::absolute(out).lexically_normal().c_str());
  return writeFrames(opt, out, static_cast<std::uint32_t>(kWalkFps), driver,
                     [](const WalkReport& r) {
                       return formatted(
                           "%.2f s into the walk, triangles drawn %u of %u, passes %u, "
                           "commands %u, device %.1f ms, total %.1f ms",
                           r.seconds, r.triangles_drawn, r.triangles, r.passes, r.commands,
                           r.ms_device, r.ms_total);
                     });
}

int runWalk(const Options& opt, const fs::path& out) {
  const WalkScene scene = makeWalkScene(opt.at_km);
  return runOnChosenDevice(
      "kova_demo", deviceRequest(opt),
      [&]<class Device>(Device device) {
        return WalkDriver<Device>::create(scene, opt.width, opt.height, std::move(device));
      },
      [&](auto& driver) {
        if (!prepareOutput(opt, out, opt.frames > 1)) return kExitUsage;
        return renderWalk(opt, out, scene, driver);
      });
}

template <FrameDevice Device>
int renderFrames(const Options& opt, const Scene& scene, FrameDriver<Device>& driver);

int run(int argc, char** argv) {
  const std::string program =
      argc > 0 ? fs::path(argv[0]).filename().string() : std::string("kova_demo");
  std::vector<std::string_view> args(argv + std::min(argc, 1), argv + argc);
  auto parsed = parseOptions(args);
  if (!parsed) {
    std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(program.size()), program.data(),
                 parsed.error().c_str());
    return kExitUsage;
  }
  const Options& opt = *parsed;
  if (opt.help) {
    std::fputs(usage(program).c_str(), stdout);
    return 0;
  }
  const fs::path out = opt.out;
  if (opt.scene == SceneKind::lattice) return runLattice(opt, out);
  if (opt.scene == SceneKind::walk) return runWalk(opt, out);

  const Scene scene = makeScene(opt.points, opt.seed);
  return runOnChosenDevice(
      "kova_demo", deviceRequest(opt),
      [&]<class Device>(Device device) {
        return FrameDriver<Device>::create(scene, opt.width, opt.height, std::move(device));
      },
      [&](auto& driver) {
        if (!prepareOutput(opt, out, false)) return kExitUsage;
        return renderFrames(opt, scene, driver);
      });
}

// Renders opt.frames frames and writes them (and the check files) to opt.out.
template <FrameDevice Device>
int renderFrames(const Options& opt, const Scene& scene, FrameDriver<Device>& driver) {
  const fs::path out = opt.out;
  std::printf("kova_demo: %u points (%zu clusters), %u frame%s at %ux%u -> %s\n", opt.points,
              scene.clusters.size(), opt.frames, opt.frames == 1 ? "" : "s", opt.width, opt.height,
              fs::absolute(out).lexically_normal().c_str());

  const auto start = std::chrono::steady_clock::now();
  for (std::uint32_t f = 0; f < opt.frames; ++f) {
    auto report = driver.renderFrame();
    if (!report) {
      std::fprintf(stderr, "kova_demo: frame %u: %s\n", f, report.error().c_str());
      return kExitRuntime;
    }
    auto images = driver.readImages();
    if (!images) {
      std::fprintf(stderr, "kova_demo: frame %u: %s\n", f, images.error().c_str());
      return kExitRuntime;
    }
    const std::string stem = frameStem(out, report->frame_index);
    if (auto ok = writePngAtomic(stem + ".png", opt.width, opt.height, images->rgb); !ok) {
      std::fprintf(stderr, "kova_demo: %s\n", ok.error().c_str());
      return kExitRuntime;
    }
    if (opt.dump) {
      if (auto ok = writeDump(stem, scene, driver, *report, *images); !ok) {
        std::fprintf(stderr, "kova_demo: %s\n", ok.error().c_str());
        return kExitRuntime;
      }
    }
    const FrameReport& r = *report;
    std::printf(
        "frame %llu: visible %u of %u (balls %u/%u; w: %u in front, %u behind, %u at infinity), "
        "in depth range %u, drawn %u, geodesic arcs %u, passes %u (forward+ %u), commands %u, "
        "cull %.1f ms, sort %.1f ms, device %.1f ms, total %.1f ms -> %s.png\n",
        static_cast<unsigned long long>(r.frame_index), r.visible, r.points, r.balls_visible,
        r.balls, r.in_front, r.behind, r.at_infinity, r.in_range, r.drawn, r.geodesic_arcs,
        r.passes, r.pipeline_passes, r.commands, r.ms_cull, r.ms_sort, r.ms_device, r.ms_total,
        stem.c_str());
    std::fflush(stdout);
    if (opt.frames > 1) {
      progress(f + 1, opt.frames,
               std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
  }
  std::printf("kova_demo: wrote %u frame%s to %s\n", opt.frames, opt.frames == 1 ? "" : "s",
              fs::absolute(out).lexically_normal().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("kova_demo: out of memory\n", stderr);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kova_demo: %s\n", e.what());
  }
  return kExitRuntime;
}
