// How the viewer's camera moves: a person's keys, mouse and wheel, or the
// autopilot's scripted input, turned into transported travel and turns at
// speeds per second, so the flight does not depend on the frame rate.
#pragma once

#include <cstdint>

#include "kova_renderer.hpp"

namespace kova_view {

using kova_renderer::KovaCamera;

// What the person did since the last frame.
struct ControlInput {
  double forward = 0.0;  // +1 W, -1 S
  double right = 0.0;    // +1 D, -1 A
  double up = 0.0;       // +1 E or Space, -1 Q or Ctrl
  double roll = 0.0;     // +1 rolls up towards right
  bool run = false;      // Shift
  double mouse_dx = 0.0, mouse_dy = 0.0;  // pixels, +y down
  double scroll = 0.0;                    // wheel steps, + narrows the field of view
  bool reset = false;
};

inline constexpr double kTravelSpeed = 0.25;     // rad/s
inline constexpr double kRunFactor = 4.0;        // Shift
inline constexpr double kRollSpeed = 1.2;        // rad/s
inline constexpr double kMouseTurn = 0.0025;     // rad per pixel
inline constexpr double kFovStep = 0.0872664626; // 5 degrees per wheel step
inline constexpr double kFovMin = 0.17453292519943295;  // 10 degrees
inline constexpr double kFovMax = 2.6179938779914944;   // 150 degrees
inline constexpr double kMaxStep = 0.1;  // s: a stalled frame moves no farther than this

// The camera the viewer starts from and resets to: the main job's camera of
// its first frame (eye at (0, 0, 0, 1) looking along -z, far bound 0.9).
[[nodiscard]] KovaCamera startCamera(std::uint32_t width, std::uint32_t height) noexcept;

// Moves and turns `camera` by `input` over `dt` seconds, travelling at
// `travel_speed` radians per second (kTravelSpeed through the lattice; the
// walk's metres per second turned into radians); reset returns to `start`,
// keeping the current aspect ratio.
void applyControls(KovaCamera& camera, const ControlInput& input, double dt,
                   const KovaCamera& start, double travel_speed = kTravelSpeed) noexcept;

// The autopilot: a fixed flight forward with a slow turn, a little sideways
// drift, a roll, a run and a zoom, frame by frame at kAutopilotStep.
inline constexpr double kAutopilotStep = 1.0 / 60.0;
[[nodiscard]] ControlInput autopilotInput(std::uint64_t frame) noexcept;

// The camera after `frames` frames of the autopilot from `start` (travelling
// at travel_speed), or from startCamera.
[[nodiscard]] KovaCamera autopilotCamera(std::uint64_t frames, const KovaCamera& start,
                                         double travel_speed = kTravelSpeed) noexcept;
[[nodiscard]] KovaCamera autopilotCamera(std::uint64_t frames, std::uint32_t width,
                                         std::uint32_t height) noexcept;

// The lattice's light counts in the order the L key steps through them,
// from none (the unlit lattice) up to many and round again.
inline constexpr std::uint32_t kLightSteps[] = {0, 8, 64, 256, 1024};
// The count after `count` in kLightSteps; from a count not in it, the next
// larger step (or none past the last).
[[nodiscard]] constexpr std::uint32_t nextLightCount(std::uint32_t count) noexcept {
  for (const std::uint32_t step : kLightSteps)
    if (step > count) return step;
  return kLightSteps[0];
}

}  // namespace kova_view
