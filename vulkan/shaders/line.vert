#version 460
// Geodesic arcs under an isometric view as line primitives: vertex 2k + e is
// end e of arc k, and each arc is drawn four times, gl_InstanceIndex bit 1
// picking the half of space (sign) and bit 0 the side s of view w = 0, as
// mesh.vert does for triangles. The host hands unit view-space ends in
// single precision, b facing a, so the clipped clip-space segment is the
// arc. C++ twin: lineClip in kova_device_lines.hpp.
#extension GL_GOOGLE_include_directive : require
#include "line_layout.glsl"

void main() {
  float sign = (gl_InstanceIndex & 2) == 0 ? 1.0 : -1.0;
  float side = (gl_InstanceIndex & 1) == 0 ? 1.0 : -1.0;
  vec4 v = ends[gl_VertexIndex];
  precise float x = sign * v.x / pc.tan_h;
  precise float y = sign * v.y / pc.tan_v;
  precise float w = -sign * v.z;
  precise float z = pc.depth_scale * (side * (sign * v.w));
  gl_Position = vec4(x, -y, z, w);
}
