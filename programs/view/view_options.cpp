#include "view_options.hpp"

#include <charconv>
#include <string_view>

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

std::string viewUsage() {
  return "usage: kova_view [--scene lattice|points] [--width W] [--height H] [--points N]\n"
         "                 [--seed S] [--no-vsync]\n"
         "                 [--validation] [--autopilot] [--frames N] [--screenshot FILE.png]\n"
         "                 [--show-help] [--resize WxH]\n"
         "  --scene        the main job's lattice (the default) or the points scene\n"
         "  --autopilot    fly a fixed path instead of following the keys and mouse\n"
         "  --frames N     stop after N frames\n"
         "  --screenshot   write the last frame shown as a PNG (needs --frames)\n"
         "  --validation   run under the Vulkan validation layer; a report fails the run\n"
         "  --show-help    start with the list of controls shown (F1 toggles it)\n"
         "  --resize WxH   at frame 20, resize the window (scripted runs)\n";
}

std::expected<ViewOptions, std::string> parseViewOptions(std::span<const char* const> args) {
  ViewOptions o;
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
      o.validation = true;
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
      } else {
        return fail("--scene needs lattice or points");
      }
    } else if (a == "--width" || a == "--height") {
      const auto v = value();
      const auto n = v ? number<std::uint32_t>(*v, 16, 8192) : std::nullopt;
      if (!n) return fail(std::string(a) + " needs a whole number from 16 to 8192");
      (a == "--width" ? o.width : o.height) = *n;
    } else if (a == "--resize") {
      const auto v = value();
      const std::size_t x = v ? v->find('x') : std::string_view::npos;
      const auto w = x != std::string_view::npos ? number<std::uint32_t>(v->substr(0, x), 16, 8192)
                                                 : std::nullopt;
      const auto h = x != std::string_view::npos ? number<std::uint32_t>(v->substr(x + 1), 16, 8192)
                                                 : std::nullopt;
      if (!w || !h) return fail("--resize needs WxH, each from 16 to 8192");
      o.resize = std::pair{*w, *h};
    } else if (a == "--points") {
      const auto v = value();
      const auto n = v ? number<std::uint32_t>(*v, 1, 4'000'000) : std::nullopt;
      if (!n) return fail("--points needs a whole number from 1 to 4000000");
      o.points = *n;
    } else if (a == "--seed") {
      const auto v = value();
      const auto n = v ? number<std::uint64_t>(*v, 0, UINT64_MAX) : std::nullopt;
      if (!n) return fail("--seed needs a whole number");
      o.seed = *n;
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
  return o;
}

}  // namespace kova_view
