#version 460
// One pixel-sized point per pixel of the tessellated arcs, in walking order.
#extension GL_GOOGLE_include_directive : require
#include "viewport.glsl"

// Three words per pixel (geodesics.comp).
layout(std430, set = 0, binding = 0) readonly buffer Pixels { uint pixels[]; };
layout(push_constant) uniform Push {
  vec4 rgb;
  vec4 fog;
  uint width;
  uint height;
  uint isometric;
  float tan_h;
  float tan_v;
} pc;
layout(location = 0) flat out vec2 factors;  // depth factor, colour factor

void main() {
  uint at = 3u * uint(gl_VertexIndex);
  uint xy = pixels[at];
  factors = vec2(uintBitsToFloat(pixels[at + 1u]), uintBitsToFloat(pixels[at + 2u]));
  gl_Position = pixelCentre(int(xy & 0xFFFFu), int(xy >> 16), pc.width, pc.height);
  gl_PointSize = 1.0;
}
