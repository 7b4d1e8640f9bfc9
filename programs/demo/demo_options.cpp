#include "demo_options.hpp"

#include <charconv>
#include <optional>

#include "scene_walk.hpp"

namespace kova_demo {
namespace {

// A decimal number of digits only (no sign, no spaces, no suffix) within [lo, hi].
std::optional<std::uint64_t> parseNumber(std::string_view text, std::uint64_t lo,
                                         std::uint64_t hi) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  if (value < lo || value > hi) return std::nullopt;
  return value;
}

// Concatenation by appending; GCC 12 misreports "literal" + std::string as an
// overlapping copy (-Wrestrict) at -O3.
std::string cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (const std::string_view p : parts) out.append(p);
  return out;
}

std::string rangeText(std::uint64_t lo, std::uint64_t hi) {
  return cat({"a whole number from ", std::to_string(lo), " to ", std::to_string(hi)});
}

}  // namespace

std::string usage(std::string_view program) {
  std::string text;
  text += "Usage: ";
  text += program;
  text +=
      " [options]\n"
      "Renders a scene with kova on a Vulkan device (when built with Vulkan and one\n"
      "is usable) or the CPU device layer, and writes one PNG file per frame. The\n"
      "default scene is the lattice of the 120-cell's 60 cells in elliptic space,\n"
      "shaded solids and geodesic edges seen from inside in a flight that closes\n"
      "after 120 frames; the others are a cloud of points on the 3-sphere and a\n"
      "courtyard at human scale (tiles, pillars, objects from 5 cm to 3 m) seen by\n"
      "a walker going round it at 1.5 m/s, 30 frames a second, eyes 1.7 m up.\n"
      "\n"
      "Options:\n"
      "  --scene S     lattice, points or walk (default lattice)\n"
      "  --pipeline P  lattice: the pipeline that lights it, forward-plus (the\n"
      "                default) or deferred, each tiled as its pipeline record\n"
      "                configures it; the edges are drawn over the lit solids\n"
      "  --lights N    lattice: lights travelling through it along great circles,\n"
      "                0 to 4096 with forward+, 0 to 1024 deferred (default 8);\n"
      "                0 draws the unlit lattice\n"
      "  --at-km D     walk scene: how far from the origin it stands, kilometres,\n"
      "                0 to 18341.87 (half the world's circumference; default 5000)\n"
      "  --points N    number of points of the points scene, 1 to 4000000 (default 100000)\n"
      "  --frames N    number of frames, 1 to 100000 (default 3)\n"
      "  --size WxH    image size in pixels, each side 16 to 8192 (default 640x360)\n"
      "  --out DIR     directory for the frames, created if missing (default out)\n"
      "  --seed N      scene seed, 0 to 2^64-1 (default 1)\n"
      "  --device D    vulkan or cpu (default vulkan when built with it; without a\n"
      "                usable Vulkan device the frames are rendered on the CPU)\n"
      "  --require-device  with Vulkan: stop with the reason (exit status 1)\n"
      "                instead of rendering on the CPU when no device is usable\n"
      "  --samples N   samples per pixel, 1 or 4 (default 4), on either device\n"
      "  --no-float64  Vulkan: no double-precision shaders even where the GPU has\n"
      "                them; distances are then computed on the host\n"
      "  --dump        points scene: also write frame_NNNN.txt, .depth.pfm and\n"
      "                .kind.pgm with what each frame culled, sorted and drew\n"
      "  --help        print this text and exit\n"
      "\n"
      "--points, --seed and --dump describe the points scene and are refused\n"
      "with the lattice; --pipeline and --lights light the lattice and are\n"
      "refused with the other scenes.\n"
      "\n"
      "Output: DIR/frame_0000.png, DIR/frame_0001.png, ... and, for several\n"
      "frames of the lattice, DIR/animation.png. Files of an earlier run that this\n"
      "one does not write again (frame_NNNN.png, .txt, .depth.pfm, .kind.pgm with\n"
      "a higher number or without --dump, animation.png for one frame) are\n"
      "removed, so DIR holds one run; other files in DIR are left alone.\n";
  return text;
}

std::expected<Options, std::string> parseOptions(std::span<const std::string_view> args) {
  Options options;
  bool points_given = false, seed_given = false, at_km_given = false;
  bool lights_given = false, pipeline_given = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    std::string_view name = arg;
    std::optional<std::string_view> inline_value;
    if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      inline_value = arg.substr(eq + 1);
    }

    const bool is_flag = name == "--help" || name == "-h" || name == "--dump" ||
                         name == "--require-device" || name == "--no-float64";
    if (is_flag) {
      if (inline_value) return std::unexpected(cat({"option ", name, " takes no value"}));
      if (name == "--dump") {
        options.dump = true;
      } else if (name == "--require-device") {
        options.require_device = true;
      } else if (name == "--no-float64") {
        options.float64 = false;
      } else {
        options.help = true;
      }
      continue;
    }
    const bool takes_value = name == "--points" || name == "--frames" || name == "--size" ||
                             name == "--out" || name == "--seed" || name == "--scene" ||
                             name == "--device" || name == "--samples" || name == "--at-km" ||
                             name == "--pipeline" || name == "--lights";
    if (!takes_value) {
      return std::unexpected(cat({"unknown option '", arg, "' (see --help)"}));
    }
    std::string_view value;
    if (inline_value) {
      value = *inline_value;
    } else {
      if (i + 1 >= args.size()) return std::unexpected(cat({"option ", name, " needs a value"}));
      value = args[++i];
    }
    const std::string shown = cat({"'", value, "'"});

    if (name == "--scene") {
      if (value == "lattice") {
        options.scene = SceneKind::lattice;
      } else if (value == "points") {
        options.scene = SceneKind::points;
      } else if (value == "walk") {
        options.scene = SceneKind::walk;
      } else {
        return std::unexpected(cat({"--scene ", shown, ": expected lattice, points or walk"}));
      }
    } else if (name == "--pipeline") {
      const auto choice = parsePipelineChoice(value);
      if (!choice)
        return std::unexpected(cat({"--pipeline ", shown, ": expected ", kPipelineChoicesText}));
      options.pipeline = *choice;
      pipeline_given = true;
    } else if (name == "--lights") {
      const auto n = parseNumber(value, 0, kMaxLatticeLights);
      if (!n)
        return std::unexpected(
            cat({"--lights ", shown, ": expected ", rangeText(0, kMaxLatticeLights)}));
      options.lights = static_cast<std::uint32_t>(*n);
      lights_given = true;
    } else if (name == "--at-km") {
      const auto km = parseAtKm(value);
      if (!km)
        return std::unexpected(cat({"--at-km ", shown, ": expected ", kAtKmText}));
      options.at_km = *km;
      at_km_given = true;
    } else if (name == "--points") {
      const auto n = parseNumber(value, kMinPoints, kMaxPoints);
      if (!n)
        return std::unexpected(
            cat({"--points ", shown, ": expected ", rangeText(kMinPoints, kMaxPoints)}));
      options.points = static_cast<std::uint32_t>(*n);
      points_given = true;
    } else if (name == "--frames") {
      const auto n = parseNumber(value, 1, kMaxFrames);
      if (!n)
        return std::unexpected(cat({"--frames ", shown, ": expected ", rangeText(1, kMaxFrames)}));
      options.frames = static_cast<std::uint32_t>(*n);
    } else if (name == "--seed") {
      const auto n = parseNumber(value, 0, UINT64_MAX);
      if (!n)
        return std::unexpected(cat({"--seed ", shown, ": expected ", rangeText(0, UINT64_MAX)}));
      options.seed = *n;
      seed_given = true;
    } else if (name == "--size") {
      const auto x = value.find('x');
      const auto w = x == std::string_view::npos
                         ? std::nullopt
                         : parseNumber(value.substr(0, x), kMinSide, kMaxSide);
      const auto h = x == std::string_view::npos
                         ? std::nullopt
                         : parseNumber(value.substr(x + 1), kMinSide, kMaxSide);
      if (!w || !h) {
        return std::unexpected(
            cat({"--size ", shown, ": expected WxH with W and H from ", std::to_string(kMinSide),
                 " to ", std::to_string(kMaxSide), ", e.g. 640x360"}));
      }
      options.width = static_cast<std::uint32_t>(*w);
      options.height = static_cast<std::uint32_t>(*h);
    } else if (name == "--samples") {
      const auto n = parseSamples(value);
      if (!n) return std::unexpected(cat({"--samples ", shown, ": expected 1 or 4"}));
      options.samples = *n;
    } else if (name == "--device") {
      const auto choice = parseDeviceChoice(value, false);
      if (!choice) return std::unexpected(cat({"--device ", shown, ": expected vulkan or cpu"}));
      options.device = *choice;
    } else {  // --out
      if (value.empty()) return std::unexpected("--out: the directory name is empty");
      if (value.find('\0') != std::string_view::npos)
        return std::unexpected("--out: invalid directory name");
      options.out = std::string(value);
    }
  }
  if (at_km_given && options.scene != SceneKind::walk)
    return std::unexpected("--at-km: only the walk scene stands somewhere; add --scene walk");
  if (options.scene != SceneKind::lattice) {
    if (lights_given)
      return std::unexpected("--lights: only the lattice scene is lit; add --scene lattice");
    if (pipeline_given)
      return std::unexpected("--pipeline: only the lattice scene is lit; add --scene lattice");
  }
  if (auto ok = checkLatticeLights(options.pipeline, options.lights); !ok)
    return std::unexpected(cat({"--lights: ", ok.error()}));
  if (options.scene != SceneKind::points) {
    if (options.dump)
      return std::unexpected(
          "--dump: the check files describe the points scene; add --scene points");
    if (points_given)
      return std::unexpected("--points: only the points scene has points; add --scene points");
    if (seed_given)
      return std::unexpected(
          "--seed: this scene is the same every run; the seed is for --scene points");
  }
  if (!options.float64 && options.device == DeviceChoice::cpu)
    return std::unexpected(
        "--no-float64: the CPU device always computes in double precision; the option is for "
        "Vulkan");
  if (options.require_device && options.device == DeviceChoice::cpu)
    return std::unexpected(
        "--require-device: the CPU device is always there; the option is for Vulkan");
  return options;
}

}  // namespace kova_demo
