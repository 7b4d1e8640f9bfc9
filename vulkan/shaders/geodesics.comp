#version 460
#extension GL_GOOGLE_include_directive : require
// Great-circle arcs between points 2k and 2k + 1 under a view that keeps w,
// tessellated and walked pixel by pixel exactly as the host's rasteriser does, in three steps so
// that the pixels come out in the host's drawing order:
//   mode 0, per arc: count the arc's pixels inside the image;
//   mode 1, one invocation: prefix sums, the draw's vertex count, overflow;
//   mode 2, per arc: write the pixels at the arc's offset.
#include "device_math.glsl"

layout(local_size_x = 64) in;
layout(std430, set = 0, binding = 0) readonly buffer Positions { dvec4 positions[]; };
layout(std430, set = 0, binding = 1) readonly buffer Transforms { double camera[32]; };
layout(std430, set = 0, binding = 2) buffer Arcs { uint arcs[]; };  // pixels, then offset
// Three words per pixel: x | y << 16, the depth factor tan(near) cot(theta)
// (kova_device_raster.hpp's depthFactor) and the colour factor (the fog
// amount, or the fade of a view that keeps w), both as float bits.
layout(std430, set = 0, binding = 3) writeonly buffer Pixels { uint pixels[]; };
layout(std430, set = 0, binding = 4) buffer Stats { uint counters[]; };
layout(std430, set = 0, binding = 5) writeonly buffer Draw { uint draw_args[4]; };
layout(push_constant) uniform Push {
  uint count;     // points; arc k joins 2k and 2k + 1
  uint width;
  uint height;
  uint mode;
  uint capacity;  // pixels[] length
  uint counter;   // counters[counter]: arcs drawn, [counter + 1]: pixels, [counter + 2]: overflow
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

struct Sample {
  Projected at;
  double depth;
  bool upper;
};

// A sample along the arc and the side of view w = 0 it lies on (a step
// across it passes through infinity), as walkArc in kova_device_arc_walk.hpp.
Sample sampleAt(Camera cam, dvec4 q) {
  double d = deviceFsDistance(cam.observer, q);
  dvec4 v = deviceApply(cam.view, q);
  double depth = deviceDepth(d, cam.near_fs, cam.far_fs);
  return Sample(deviceProject(cam, q, pc.width, pc.height), depth, v.w >= 0.0LF);
}

// std::clamp's result, NaN passing through.
double clampNan(double v, double lo, double hi) { return v < lo ? lo : (hi < v ? hi : v); }

// Walks arc k; counts its in-image pixels, and writes them from `base` on when emit.
uint walk(uint k, bool emit, uint base, out bool any_segment) {
  any_segment = false;
  Camera cam = loadCamera();
  dvec4 a = deviceNormalize(positions[2u * k]);
  dvec4 b = deviceNormalize(positions[2u * k + 1u]);
  if (deviceDot(a, b) < 0.0LF) b = -b;  // the shorter of the two arcs
  double cos_ab = clampNan(deviceDot(a, b), -1.0LF, 1.0LF);
  double angle = deviceAcos(cos_ab);
  precise double per_step = angle / 0.004LF;
  double steps_d = clampNan(ceil(per_step), 1.0LF, 4096.0LF);
  int steps = isnan(steps_d) ? 0 : int(steps_d);
  double sin_angle = deviceSin(angle);
  precise double limit = 4.0LF * double(pc.width + pc.height);
  uint written = 0u;
  Sample prev = sampleAt(cam, a);
  for (int s = 1; s <= steps; ++s) {
    precise double t = double(s) / double(steps);
    precise double wa = 1.0LF - t;
    precise double wb = t;
    if (angle > 1e-9LF) {
      precise double ta = (1.0LF - t) * angle;
      precise double tb = t * angle;
      double sa = deviceSin(ta);
      double sb = deviceSin(tb);
      wa = sa / sin_angle;
      wb = sb / sin_angle;
    }
    precise double qx = wa * a.x + wb * b.x, qy = wa * a.y + wb * b.y;
    precise double qz = wa * a.z + wb * b.z, qw = wa * a.w + wb * b.w;
    Sample cur = sampleAt(cam, dvec4(qx, qy, qz, qw));
    bool drawable = prev.at.ok && cur.at.ok && prev.upper == cur.upper && prev.depth > 0.0LF &&
                    prev.depth < 1.0LF && cur.depth > 0.0LF && cur.depth < 1.0LF;
    if (drawable) {
      precise double dx = cur.at.x - prev.at.x;
      precise double dy = cur.at.y - prev.at.y;
      double len = max(abs(dx), abs(dy));
      if (len < limit) {
        any_segment = true;
        int n = max(1, int(ceil(len)));
        for (int j = 0; j <= n; ++j) {
          precise double u = double(j) / double(n);
          precise double z = prev.depth + (cur.depth - prev.depth) * u;
          precise double fx = prev.at.x + dx * u;
          precise double fy = prev.at.y + dy * u;
          int x = int(floor(fx));
          int y = int(floor(fy));
          if (x < 0 || y < 0 || x >= int(pc.width) || y >= int(pc.height)) continue;
          if (emit && base + written < pc.capacity) {
            // walkedPixel in kova_device_arc_walk.hpp, the fade in single precision.
            float zf = float(z);
            precise double theta = cam.near_fs + double(zf) * (cam.far_fs - cam.near_fs);
            float k = deviceDepthFactor(theta, pc.depth_scale);
            float colour_factor = 0.2 + 0.8 * pow(1.0 - zf, 0.8);
            uint at = 3u * (base + written);
            pixels[at] = uint(x) | (uint(y) << 16);
            pixels[at + 1u] = floatBitsToUint(k);
            pixels[at + 2u] = floatBitsToUint(colour_factor);
          }
          ++written;
        }
      }
    }
    prev = cur;
  }
  return written;
}

void main() {
  uint arc_count = pc.count / 2u;
  if (pc.mode == 1u) {
    if (gl_GlobalInvocationID.x != 0u) return;
    uint total = 0u, drawn = 0u;
    bool overflow = false;
    for (uint k = 0u; k < arc_count; ++k) {
      uint n = arcs[2u * k] & 0x7FFFFFFFu;
      drawn += arcs[2u * k] >> 31;
      arcs[2u * k + 1u] = total;
      if (n > pc.capacity - total) overflow = true;
      total = overflow ? total : total + n;
    }
    counters[pc.counter] += drawn;
    counters[pc.counter + 1u] += total;
    if (overflow) counters[pc.counter + 2u] = 1u;
    draw_args[0] = overflow ? 0u : total;  // vertexCount
    draw_args[1] = 1u;                     // instanceCount
    draw_args[2] = 0u;
    draw_args[3] = 0u;
    return;
  }
  uint stride = gl_NumWorkGroups.x * 64u;
  for (uint k = gl_GlobalInvocationID.x; k < arc_count; k += stride) {
    bool any_segment;
    if (pc.mode == 0u) {
      uint n = walk(k, false, 0u, any_segment);
      arcs[2u * k] = min(n, 0x7FFFFFFFu) | (any_segment ? 0x80000000u : 0u);
    } else {
      walk(k, true, arcs[2u * k + 1u], any_segment);
    }
    if (k > 0xFFFFFFFFu - stride) break;  // the next index would wrap
  }
}
