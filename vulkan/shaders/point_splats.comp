#version 460
#extension GL_GOOGLE_include_directive : require
// Where each point of a draw lands: its centre pixel, splat radius and
// FS-depth, in double precision until the pixel is known. Points that the
// host's rasteriser would not draw get radius -1. Counts the drawn ones.
#include "device_math.glsl"

layout(local_size_x = 64) in;
layout(std430, set = 0, binding = 0) readonly buffer Positions { dvec4 positions[]; };
layout(std430, set = 0, binding = 1) readonly buffer Distances { double distances[]; };
layout(std430, set = 0, binding = 2) readonly buffer Transforms { double camera[32]; };
// Two records per point: (cx, cy, radius, FS-depth bits) and
// (tan(near) cot(distance) bits, 0, 0, 0): the stored depth of a pixel is the
// latter times its ray's length (depthFromRay in kova_device_raster.hpp).
layout(std430, set = 0, binding = 3) writeonly buffer Splats { ivec4 splats[]; };
layout(std430, set = 0, binding = 4) buffer Stats { uint counters[]; };
layout(push_constant) uniform Push {
  // Largest distance with a splat radius of at least 3, 2 and 1 (the radius
  // falls as the distance grows; the host finds the steps exactly).
  double radius_steps[3];
  uint count;
  uint width;
  uint height;
  uint counter;  // slot in counters[] for the drawn points
  double depth_scale;  // tan(near)
} pc;

Camera loadCamera() {
  Camera cam;
  for (int k = 0; k < 16; ++k) cam.view[k] = camera[k];
  cam.observer = dvec4(camera[16], camera[17], camera[18], camera[19]);
  cam.tan_h = camera[20];
  cam.tan_v = camera[21];
  cam.near_fs = camera[22];
  cam.far_fs = camera[23];
  return cam;
}

void splat(uint i, Camera cam) {
  double d = distances[i];
  Projected sp = deviceProject(cam, positions[i], pc.width, pc.height);
  ivec4 out0 = ivec4(0, 0, -1, 0);
  ivec4 out1 = ivec4(0);
  // Pixel centres beyond +-2^30 are far off the image; the host skips them too.
  if (sp.ok && !isnan(d) && !isinf(d) && abs(sp.x) < 1073741824.0LF &&
      abs(sp.y) < 1073741824.0LF) {
    int cx = int(floor(sp.x));
    int cy = int(floor(sp.y));
    int r = d <= pc.radius_steps[0] ? 3 : d <= pc.radius_steps[1] ? 2 : d <= pc.radius_steps[2] ? 1 : 0;
    if (!(cx + r < 0 || cy + r < 0 || cx - r >= int(pc.width) || cy - r >= int(pc.height))) {
      float z = float(deviceDepth(d, cam.near_fs, cam.far_fs));
      out0 = ivec4(cx, cy, r, floatBitsToInt(z));
      float k = deviceDepthFactor(d, pc.depth_scale);
      out1 = ivec4(floatBitsToInt(k), 0, 0, 0);
      atomicAdd(counters[pc.counter], 1u);
    }
  }
  splats[2u * i] = out0;
  splats[2u * i + 1u] = out1;
}

void main() {
  Camera cam = loadCamera();
  uint stride = gl_NumWorkGroups.x * 64u;
  for (uint i = gl_GlobalInvocationID.x; i < pc.count; i += stride) {
    splat(i, cam);
    if (i > 0xFFFFFFFFu - stride) break;  // the next index would wrap
  }
}
