#version 460
// One pixel-sized point per pixel of the tessellated arcs, in walking order.
#extension GL_GOOGLE_include_directive : require
#include "viewport.glsl"

layout(std430, set = 0, binding = 0) readonly buffer Pixels { uvec2 pixels[]; };
layout(push_constant) uniform Push {
  vec4 rgb;
  uint width;
  uint height;
  uint isometric;
  uint pad;
  double near_fs;
  double far_fs;
  vec4 fog;
  float tan_h;
  float tan_v;
  double depth_scale;  // tan(near)
} pc;
layout(location = 0) flat out uint depth_bits;

void main() {
  uvec2 p = pixels[gl_VertexIndex];
  depth_bits = p.y;
  gl_Position = pixelCentre(int(p.x & 0xFFFFu), int(p.x >> 16), pc.width, pc.height);
  gl_PointSize = 1.0;
}
