#include "scene_walk.hpp"

#include <charconv>
#include <cmath>

namespace kova_demo {
namespace {

using kova_renderer::KovaCamera;

constexpr double kPi = 3.141592653589793;

template <class Built>
Mesh toMesh(const Built& built) {
  Mesh m;
  m.vertices.assign(built.vertices.begin(), built.vertices.end());
  m.indices.assign(built.indices.begin(), built.indices.end());
  return m;
}

// A box of half-extents (hx, hy, hz) metres.
Mesh box(double hx, double hy, double hz) {
  return toMesh(kova_kernel::boxMesh(metres(hx), metres(hy), metres(hz)));
}

void add(WalkShape& shape, const PGL4& placement, std::array<double, 3> rgb) {
  shape.instances.push_back(placement);
  shape.colors.insert(shape.colors.end(), rgb.begin(), rgb.end());
}

}  // namespace

std::optional<double> parseAtKm(std::string_view text) noexcept {
  if (text.empty() || text.size() > 32) return std::nullopt;
  int points = 0, digits = 0;
  for (const char c : text) {
    if (c == '.') {
      ++points;
    } else if (c >= '0' && c <= '9') {
      ++digits;
    } else {
      return std::nullopt;
    }
  }
  if (points > 1 || digits == 0) return std::nullopt;
  double value = 0.0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  if (!(value >= 0.0 && value <= kFarthestKm)) return std::nullopt;
  return value;
}

HomVec4 walkPoint(const WalkScene& scene, double x, double y, double z) noexcept {
  // The gnomonic chart of the frame's origin: at tens of metres its distances
  // differ from the arc's by a relative 1e-13.
  const HomVec4 local = HomVec4{metres(x), metres(y), metres(z), 1.0}.normalize();
  return scene.site.apply(local);
}

PGL4 walkPlacement(const WalkScene& scene, double x, double y, double z, double heading) noexcept {
  const HomVec4 at = HomVec4{metres(x), metres(y), metres(z), 1.0}.normalize();
  const HomVec4 forward{std::sin(heading), 0.0, -std::cos(heading), 0.0};
  const HomVec4 up{0.0, 1.0, 0.0, 0.0};
  return scene.site.mul(kova_kernel::pglPlace(at, forward, up));
}

KovaCamera cameraAt(const PGL4& m) noexcept {
  auto column = [&](std::size_t c) {
    return HomVec4{m.get(0, c), m.get(1, c), m.get(2, c), m.get(3, c)};
  };
  KovaCamera c = KovaCamera::defaultCamera();
  c.right = column(0);
  c.up = column(1);
  c.forward = -column(2);
  c.position = column(3);
  c.dirty = true;
  return c;
}

KovaCamera walkPose(const WalkScene& scene, double seconds) noexcept {
  // Anticlockwise seen from above (x east, z south): from east towards north.
  const double t = std::fmod(seconds, kWalkPeriod);
  const double phi = 2.0 * kPi * t / kWalkPeriod;
  const double x = kWalkPathRadius * std::cos(phi), z = -kWalkPathRadius * std::sin(phi);
  // The path's tangent has heading -phi; the eye turns 0.35 rad left of it,
  // towards the centre.
  return cameraAt(walkPlacement(scene, x, kWalkEyeHeight, z, -phi - 0.35));
}

KovaCamera walkLens(KovaCamera pose, std::uint32_t width, std::uint32_t height) noexcept {
  pose.fov = kWalkFov;
  pose.aspect = static_cast<double>(width) / height;
  pose.near_fs = metres(kWalkNearMetres);
  pose.far_fs = metres(kWalkFarMetres);
  return pose;
}

PGL4 walkSite(double at_km) noexcept {
  return kova_kernel::pglPlaceAlong(HomVec4{0.0, 0.0, 0.0, 1.0}, HomVec4{1.0, 0.0, 0.0, 0.0},
                                    metres(at_km * 1000.0), HomVec4{0.0, 1.0, 0.0, 0.0});
}

WalkScene makeWalkScene(double at_km) {
  WalkScene s;
  s.at_km = at_km;
  s.site = walkSite(at_km);

  // Floor: 16 x 16 tiles of 98 cm with 2 cm joints, 4 cm thick, top at y = 0.
  WalkShape tiles{box(0.49, 0.02, 0.49), {}, {}};
  for (int i = -8; i < 8; ++i) {
    for (int j = -8; j < 8; ++j) {
      const bool dark = ((i + j) & 1) != 0;
      const double tint = 0.03 * static_cast<double>((i * 7 + j * 13) & 3);
      add(tiles, walkPlacement(s, i + 0.5, -0.02, j + 0.5, 0.0),
          dark ? std::array{0.50 + tint, 0.47 + tint, 0.43 + tint}
               : std::array{0.80 - tint, 0.76 - tint, 0.68 - tint});
    }
  }
  // Pillars: 30 cm square, 3 m tall, on a ring of 7 m.
  WalkShape pillars{box(0.15, 1.5, 0.15), {}, {}};
  for (int k = 0; k < 8; ++k) {
    const double a = (k + 0.5) * kPi / 4.0;
    add(pillars, walkPlacement(s, 7.0 * std::cos(a), 1.5, 7.0 * std::sin(a), a),
        {0.86, 0.83, 0.76});
  }
  // A plinth of 80 cm at the centre with a dodecahedron of 1 m across on it.
  WalkShape plinth{box(0.4, 0.4, 0.4), {}, {}};
  add(plinth, walkPlacement(s, 0.0, 0.4, 0.0, 0.3), {0.66, 0.64, 0.62});
  WalkShape big_dodeca{toMesh(kova_kernel::dodecahedronMesh(metres(0.5))), {}, {}};
  add(big_dodeca, walkPlacement(s, 0.0, 1.3, 0.0, 0.0), {0.35, 0.62, 0.90});
  // Crates of 50 cm inside and outside the walk, turned every which way.
  WalkShape crates{box(0.25, 0.25, 0.25), {}, {}};
  WalkShape cubes10{box(0.05, 0.05, 0.05), {}, {}};
  WalkShape cubes5{box(0.025, 0.025, 0.025), {}, {}};
  WalkShape small_dodeca{toMesh(kova_kernel::dodecahedronMesh(metres(0.1))), {}, {}};
  for (int k = 0; k < 10; ++k) {
    const double a = k * kPi / 5.0;
    const double r = (k % 2 == 0) ? 2.4 : 5.6;
    const double cx = r * std::cos(a), cz = r * std::sin(a);
    add(crates, walkPlacement(s, cx, 0.25, cz, 0.4 * k), {0.72, 0.47, 0.26});
    // A 10 cm cube on each crate.
    add(cubes10, walkPlacement(s, cx + 0.1, 0.55, cz - 0.05, 0.7 * k),
        k % 3 == 0 ? std::array{0.85, 0.20, 0.18} : std::array{0.20, 0.45, 0.85});
    // 5 cm cubes and 20 cm dodecahedra on the floor beside the path.
    const double b = a + kPi / 10.0;
    add(cubes5, walkPlacement(s, 3.3 * std::cos(b), 0.025, 3.3 * std::sin(b), 0.5 * k),
        {0.95, 0.80, 0.20});
    add(cubes5, walkPlacement(s, 4.7 * std::cos(b), 0.025, 4.7 * std::sin(b), 0.9 * k),
        {0.30, 0.80, 0.40});
    // Centred 8 cm up, about their inradius (0.7947 of the circumradius).
    add(small_dodeca, walkPlacement(s, 4.9 * std::cos(a), 0.08, 4.9 * std::sin(a), 0.3 * k),
        {0.80, 0.35, 0.75});
  }
  s.shapes = {std::move(tiles),  std::move(pillars), std::move(plinth), std::move(big_dodeca),
              std::move(crates), std::move(cubes10), std::move(cubes5), std::move(small_dodeca)};
  return s;
}

}  // namespace kova_demo
