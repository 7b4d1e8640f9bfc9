#include "view_options.hpp"

#include <charconv>
#include <string>
#include <string_view>

#include "lights_scene.hpp"
#include "scene_walk.hpp"

namespace kova_view {
namespace {

template <class T>
std::optional<T> number(std::string_view text, T min, T max) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size() || value < min || value > max)
    return std::nullopt;
  return value;
}

}  // namespace

// "WxH" with each side from 16 to 8192.
std::optional<std::pair<std::uint32_t, std::uint32_t>> size(std::string_view text) {
  const std::size_t x = text.find('x');
  if (x == std::string_view::npos) return std::nullopt;
  const auto w = number<std::uint32_t>(text.substr(0, x), 16, 8192);
  const auto h = number<std::uint32_t>(text.substr(x + 1), 16, 8192);
  if (!w || !h) return std::nullopt;
  return std::pair{*w, *h};
}

std::string viewUsage() {
  return "usage: kova_view [--scene lattice|points|walk] [--size WxH] [--points N] [--seed S]\n"
         "                 [--at-km D] [--pipeline forward-plus|deferred] [--lights N]\n"
         "                 [--device vulkan] [--require-device] [--validation] [--no-vsync]\n"
         "                 [--samples 1|4] [--no-float64]\n"
         "                 [--autopilot] [--frames N] [--screenshot FILE.png]\n"
         "                 [--show-help] [--resize WxH] [--resize-cycle N]\n"
         "  --scene        the main job's lattice (the default), the points scene, or\n"
         "                 walk: a courtyard at human scale (W/S/A/D walk at 1.5 m/s)\n"
         "  --size WxH     the window's size at the start (default 1280x720; also\n"
         "                 --width W --height H), each side 16 to 8192\n"
         "  --points N     points scene: its size, 1 to 4000000 (default 100000)\n"
         "  --seed S       points scene: its seed (default 1)\n"
         "  --at-km D      walk scene: how far from the origin it stands, kilometres,\n"
         "                 0 to 18341.87 (default 5000)\n"
         "  --pipeline P   lattice: the pipeline that sheds the lights at the start,\n"
         "                 forward-plus (the default) or deferred; P switches it and L\n"
         "                 steps the lights (0, 8, 64, 256, 1024). A device without\n"
         "                 deferred lighting stays on forward+ and says why\n"
         "  --lights N     lattice: the travelling lights at the start, 0 (the default,\n"
         "                 unlit) to 4096, or to 1024 with deferred\n"
         "  --device       vulkan, the only device that can show a window\n"
         "  --require-device  the viewer never falls back: without a usable Vulkan\n"
         "                 device it stops with the reason (exit status 1)\n"
         "  --validation   run under the Vulkan validation layer; a report fails the run\n"
         "  --samples N    samples per pixel, 1 or 4 (default 4)\n"
         "  --no-float64   no double-precision shaders even where the GPU has them\n"
         "  --autopilot    fly a fixed path instead of following the keys and mouse\n"
         "  --frames N     stop after N frames\n"
         "  --screenshot   write the last frame shown as a PNG (needs --frames); the\n"
         "                 file's folder is checked before the flight\n"
         "  --show-help    start with the list of controls shown (F1 toggles it)\n"
         "  --resize WxH   at frame 20, resize the window (scripted runs)\n"
         "  --resize-cycle N  with --resize: from frame 20, switch the window between\n"
         "                 its start size and WxH every 5 frames, N times\n";
}

std::expected<ViewOptions, std::string> parseViewOptions(std::span<const char* const> args) {
  ViewOptions o;
  bool points_given = false, seed_given = false, at_km_given = false, pipeline_given = false,
       lights_given = false;
  const auto fail = [](std::string m) { return std::unexpected(std::move(m)); };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view a = args[i];
    const auto value = [&]() -> std::optional<std::string_view> {
      if (i + 1 >= args.size()) return std::nullopt;
      return std::string_view(args[++i]);
    };
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--no-vsync") {
      o.vsync = false;
    } else if (a == "--validation") {
      o.device.validation = true;
    } else if (a == "--require-device") {
      o.device.require = true;
    } else if (a == "--no-float64") {
      o.device.float64 = false;
    } else if (a == "--samples") {
      const auto v = value();
      const auto n = v ? kova_demo::parseSamples(*v) : std::nullopt;
      if (!n) return fail("--samples needs 1 or 4");
      o.device.samples = *n;
    } else if (a == "--device") {
      const auto v = value();
      const auto choice = v ? kova_demo::parseDeviceChoice(*v, false) : std::nullopt;
      if (!choice) return fail("--device needs vulkan");
      if (*choice == kova_demo::DeviceChoice::cpu)
        return fail("--device cpu: kova_view shows its frames through Vulkan; only vulkan is "
                    "possible");
      o.device.choice = *choice;
    } else if (a == "--autopilot") {
      o.autopilot = true;
    } else if (a == "--show-help") {
      o.show_help = true;
    } else if (a == "--scene") {
      const auto v = value();
      if (v && *v == "lattice") {
        o.scene = ViewScene::lattice;
      } else if (v && *v == "points") {
        o.scene = ViewScene::points;
      } else if (v && *v == "walk") {
        o.scene = ViewScene::walk;
      } else {
        return fail("--scene needs lattice, points or walk");
      }
    } else if (a == "--at-km") {
      const auto v = value();
      const auto km = v ? kova_demo::parseAtKm(*v) : std::nullopt;
      if (!km) return fail("--at-km needs " + std::string(kova_demo::kAtKmText));
      o.at_km = *km;
      at_km_given = true;
    } else if (a == "--pipeline") {
      const auto v = value();
      const auto choice = v ? kova_demo::parsePipelineChoice(*v) : std::nullopt;
      if (!choice) return fail("--pipeline needs " + std::string(kova_demo::kPipelineChoicesText));
      o.pipeline = *choice;
      pipeline_given = true;
    } else if (a == "--lights") {
      const auto v = value();
      const auto n = v ? number<std::uint32_t>(*v, 0, kova_demo::kMaxLatticeLights) : std::nullopt;
      if (!n)
        return fail("--lights needs a whole number from 0 to " +
                    std::to_string(kova_demo::kMaxLatticeLights));
      o.lights = *n;
      lights_given = true;
    } else if (a == "--width" || a == "--height") {
      const auto v = value();
      const auto n = v ? number<std::uint32_t>(*v, 16, 8192) : std::nullopt;
      if (!n) return fail(std::string(a) + " needs a whole number from 16 to 8192");
      (a == "--width" ? o.width : o.height) = *n;
    } else if (a == "--size") {
      const auto v = value();
      const auto wh = v ? size(*v) : std::nullopt;
      if (!wh) return fail("--size needs WxH, each from 16 to 8192");
      o.width = wh->first;
      o.height = wh->second;
    } else if (a == "--resize") {
      const auto v = value();
      const auto wh = v ? size(*v) : std::nullopt;
      if (!wh) return fail("--resize needs WxH, each from 16 to 8192");
      o.resize = *wh;
    } else if (a == "--resize-cycle") {
      const auto v = value();
      const auto n = v ? number<std::uint32_t>(*v, 1, 100'000) : std::nullopt;
      if (!n) return fail("--resize-cycle needs a whole number from 1 to 100000");
      o.resize_cycle = *n;
    } else if (a == "--points") {
      const auto v = value();
      const auto n = v ? number<std::uint32_t>(*v, 1, 4'000'000) : std::nullopt;
      if (!n) return fail("--points needs a whole number from 1 to 4000000");
      o.points = *n;
      points_given = true;
    } else if (a == "--seed") {
      const auto v = value();
      const auto n = v ? number<std::uint64_t>(*v, 0, UINT64_MAX) : std::nullopt;
      if (!n) return fail("--seed needs a whole number");
      o.seed = *n;
      seed_given = true;
    } else if (a == "--frames") {
      const auto v = value();
      const auto n = v ? number<std::uint64_t>(*v, 1, 1'000'000'000) : std::nullopt;
      if (!n) return fail("--frames needs a whole number from 1 to 1000000000");
      o.frames = *n;
    } else if (a == "--screenshot") {
      const auto v = value();
      if (!v || v->empty()) return fail("--screenshot needs a file name");
      o.screenshot = std::filesystem::path(*v);
    } else {
      return fail("unknown option '" + std::string(a) + "'");
    }
  }
  if (o.screenshot && !o.frames) return fail("--screenshot needs --frames (the frame to keep)");
  if (o.scene == ViewScene::lattice && points_given)
    return fail("--points: the lattice has no points; add --scene points");
  if (o.scene == ViewScene::lattice && seed_given)
    return fail("--seed: the lattice is the same every run; the seed is for --scene points");
  if (o.scene == ViewScene::walk && (points_given || seed_given))
    return fail(std::string(points_given ? "--points" : "--seed") +
                ": the walk is the same every run; add --scene points");
  if (o.scene != ViewScene::walk && at_km_given)
    return fail("--at-km: only the walk scene stands somewhere; add --scene walk");
  if (o.scene != ViewScene::lattice && pipeline_given)
    return fail("--pipeline: only the lattice is lit; add --scene lattice");
  if (o.scene != ViewScene::lattice && lights_given)
    return fail("--lights: only the lattice is lit; add --scene lattice");
  if (auto ok = kova_demo::checkLatticeLights(o.pipeline, o.lights); !ok)
    return fail("--lights: " + ok.error());
  if (o.resize_cycle > 0 && !o.resize)
    return fail("--resize-cycle needs --resize WxH (the other size)");
  if (o.resize_cycle > 0 && o.frames &&
      *o.frames < kResizeFrame + kResizeCycleFrames * o.resize_cycle)
    return fail("--resize-cycle N needs --frames of at least " +
                std::to_string(kResizeFrame + kResizeCycleFrames * o.resize_cycle) +
                " (20 + 5 N)");
  return o;
}

}  // namespace kova_view
