#include "view_controls.hpp"

#include <algorithm>
#include <cmath>

namespace kova_view {

KovaCamera startCamera(std::uint32_t width, std::uint32_t height) noexcept {
  const KovaCamera def = KovaCamera::defaultCamera();
  return KovaCamera::init({0.0, 0.0, 0.0, 1.0}, {0.0, 0.0, -1.0, 0.0}, {0.0, 1.0, 0.0, 0.0},
                          def.fov, static_cast<double>(width) / height, def.near_fs, 0.9);
}

void applyControls(KovaCamera& camera, const ControlInput& input, double dt,
                   const KovaCamera& start, double travel_speed) noexcept {
  if (input.reset) {
    const double aspect = camera.aspect;
    camera = start;
    camera.aspect = aspect;
    return;
  }
  dt = std::clamp(dt, 0.0, kMaxStep);
  const double arc = travel_speed * (input.run ? kRunFactor : 1.0) * dt;
  if (input.forward != 0.0 || input.right != 0.0 || input.up != 0.0)
    camera.travel(arc * input.forward, arc * input.right, arc * input.up);
  // Mouse right turns right, mouse down looks down.
  const double yaw = kMouseTurn * input.mouse_dx;
  const double pitch = -kMouseTurn * input.mouse_dy;
  const double roll = kRollSpeed * input.roll * dt;
  if (yaw != 0.0 || pitch != 0.0 || roll != 0.0) camera.turn(yaw, pitch, roll);
  if (input.scroll != 0.0)
    camera.fov = std::clamp(camera.fov - kFovStep * input.scroll, kFovMin, kFovMax);
}

ControlInput autopilotInput(std::uint64_t frame) noexcept {
  const double t = static_cast<double>(frame);
  ControlInput in;
  in.forward = 1.0;
  in.right = 0.4 * std::sin(t / 25.0);
  in.up = frame % 90 < 30 ? 0.5 : 0.0;
  in.roll = frame % 120 >= 60 && frame % 120 < 80 ? 1.0 : 0.0;
  in.run = frame % 100 >= 40 && frame % 100 < 60;
  in.mouse_dx = 4.0;
  in.mouse_dy = 2.0 * std::cos(t / 18.0);
  in.scroll = frame % 150 == 20 ? 1.0 : frame % 150 == 100 ? -1.0 : 0.0;
  return in;
}

KovaCamera autopilotCamera(std::uint64_t frames, std::uint32_t width,
                           std::uint32_t height) noexcept {
  return autopilotCamera(frames, startCamera(width, height));
}

KovaCamera autopilotCamera(std::uint64_t frames, const KovaCamera& start,
                           double travel_speed) noexcept {
  KovaCamera camera = start;
  for (std::uint64_t f = 0; f < frames; ++f)
    applyControls(camera, autopilotInput(f), kAutopilotStep, start, travel_speed);
  return camera;
}

}  // namespace kova_view
