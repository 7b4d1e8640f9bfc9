#version 460
// One pixel-sized point per pixel of the tessellated arcs, in walking order.
layout(std430, set = 0, binding = 0) readonly buffer Pixels { uvec2 pixels[]; };
layout(push_constant) uniform Push {
  vec4 rgb;
  uint width;
  uint height;
} pc;
layout(location = 0) flat out uint depth_bits;

void main() {
  uvec2 p = pixels[gl_VertexIndex];
  float x = float(p.x & 0xFFFFu) + 0.5;
  float y = float(p.x >> 16) + 0.5;
  depth_bits = p.y;
  gl_Position = vec4(x / float(pc.width) * 2.0 - 1.0, y / float(pc.height) * 2.0 - 1.0, 0.0, 1.0);
  gl_PointSize = 1.0;
}
