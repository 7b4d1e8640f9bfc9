// The walk scene: a tiled courtyard at human scale, 16 m across, with
// pillars, crates, small cubes and dodecahedra from 5 cm to 3 m, standing
// anywhere on the world sphere, and a walker's eye going round it at 1.5 m/s.
//
// Units. The world sphere has radius R = R_TALVIR_KM; the W map gives a
// point at arc length s the value W = cos(s / 2R), so a metre is 1 / (2R)
// radians of Fubini-Study distance (8.564e-8 rad) and the farthest point,
// at pi/2 rad, is pi R (18 342 km) away. The courtyard is built in a local
// frame around the origin (0, 0, 0, 1), x east, y up, z south, in metres
// turned into radians by metres(), and the whole frame is then carried
// --at-km kilometres along a geodesic by one rotation (pglPlaceAlong), so
// that every distance within it is the same wherever it stands.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "kova_kernel.hpp"
#include "kova_renderer.hpp"
#include "scene_120cell.hpp"

namespace kova_demo {

// Radians of Fubini-Study distance per metre of the world sphere: 1 / (2R).
inline constexpr double kRadiansPerMetre = 1.0 / (2.0 * kova_kernel::R_TALVIR_KM * 1000.0);
[[nodiscard]] constexpr double metres(double m) noexcept { return m * kRadiansPerMetre; }
// The distance of the farthest point from any other, pi R, in kilometres.
inline constexpr double kFarthestKm = 3.141592653589793 * kova_kernel::R_TALVIR_KM;

inline constexpr double kWalkDefaultAtKm = 5000.0;
// The value of an --at-km option: a plain decimal number of kilometres
// (digits with at most one point; no sign, exponent or spaces) from 0 to
// kFarthestKm; empty for anything else. kAtKmText says what it expects.
[[nodiscard]] std::optional<double> parseAtKm(std::string_view text) noexcept;
inline constexpr std::string_view kAtKmText =
    "a distance in kilometres from 0 to 18341.87 (pi R), e.g. 5000 or 12.5";
inline constexpr double kWalkEyeHeight = 1.7;   // metres above the floor
inline constexpr double kWalkSpeed = 1.5;       // metres per second
inline constexpr double kWalkPathRadius = 4.0;  // metres: the walk is a circle round the centre
// Seconds for one round of the walk.
inline constexpr double kWalkPeriod = 2.0 * 3.141592653589793 * kWalkPathRadius / kWalkSpeed;
// The frame rate at which kova_demo samples the walk.
inline constexpr double kWalkFps = 30.0;

// One mesh and the placements of its copies.
struct WalkShape {
  Mesh mesh;
  std::vector<PGL4> instances;  // world placements
  std::vector<double> colors;   // RGB per instance
};

struct WalkScene {
  double at_km = kWalkDefaultAtKm;
  PGL4 site = PGL4::identity();  // the local frame in the world
  std::vector<WalkShape> shapes;
};

// The rotation that carries the local frame at_km kilometres from the
// origin along the geodesic towards +x, upright (+y) all the way.
[[nodiscard]] PGL4 walkSite(double at_km) noexcept;

// The courtyard standing at_km kilometres from the origin (at_km in
// [0, kFarthestKm]; the caller checks the range).
[[nodiscard]] WalkScene makeWalkScene(double at_km);

// The world point at local metres (x, y, z) of the scene's frame.
[[nodiscard]] HomVec4 walkPoint(const WalkScene& scene, double x, double y, double z) noexcept;

// The rigid placement at local metres (x, y, z) facing the horizontal
// direction `heading` (radians from -z towards +x), upright.
[[nodiscard]] PGL4 walkPlacement(const WalkScene& scene, double x, double y, double z,
                                 double heading) noexcept;

// A camera whose frame is the placement m (columns right, up, -forward,
// position), so that its view isometry is m's inverse.
[[nodiscard]] kova_renderer::KovaCamera cameraAt(const PGL4& m) noexcept;

// The walker's eye `seconds` into the walk: at eye height on the circle,
// going round it anticlockwise seen from above at kWalkSpeed and looking a
// little inwards, back at the start after kWalkPeriod.
[[nodiscard]] kova_renderer::KovaCamera walkPose(const WalkScene& scene, double seconds) noexcept;

// The colour that distance fades the courtyard towards, and its clear colour.
inline constexpr std::array<float, 3> kWalkFogColor = {0.62f, 0.66f, 0.72f};
// Horizontal field of view (about 80 degrees), near bound (1 cm) and far
// bound (60 m) of the walk's pictures.
inline constexpr double kWalkFov = 1.4;
inline constexpr double kWalkNearMetres = 0.01;
inline constexpr double kWalkFarMetres = 60.0;

// `pose` with the walk's lens for a width x height picture.
[[nodiscard]] kova_renderer::KovaCamera walkLens(kova_renderer::KovaCamera pose,
                                                 std::uint32_t width,
                                                 std::uint32_t height) noexcept;

}  // namespace kova_demo
