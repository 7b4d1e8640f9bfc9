#version 460
#extension GL_GOOGLE_include_directive : require
// results[i] = Fubini-Study distance of a[i] and b[i]; a buffer flagged as
// single stands for its one point repeated. Grid-stride, so any count fits
// in a dispatch of at most 65535 groups.
#include "device_math.glsl"

layout(local_size_x = 64) in;
layout(std430, set = 0, binding = 0) readonly buffer A { dvec4 a[]; };
layout(std430, set = 0, binding = 1) readonly buffer B { dvec4 b[]; };
layout(std430, set = 0, binding = 2) writeonly buffer R { double results[]; };
layout(push_constant) uniform Push {
  uint count;
  uint a_single;
  uint b_single;
} pc;

void main() {
  uint stride = gl_NumWorkGroups.x * 64u;
  for (uint i = gl_GlobalInvocationID.x; i < pc.count; i += stride) {
    dvec4 pa = a[pc.a_single != 0u ? 0u : i];
    dvec4 pb = b[pc.b_single != 0u ? 0u : i];
    results[i] = deviceFsDistance(pa, pb);
    if (i > 0xFFFFFFFFu - stride) break;  // the next index would wrap
  }
}
