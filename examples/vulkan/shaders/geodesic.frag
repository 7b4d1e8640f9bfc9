#version 460
// An arc pixel: the command's colour dimmed with depth.
layout(location = 0) flat in uint depth_bits;
layout(location = 0) out vec4 color;
layout(location = 1) out uint kind;
layout(push_constant) uniform Push {
  vec4 rgb;
  uint width;
  uint height;
} pc;

void main() {
  float z = uintBitsToFloat(depth_bits);
  gl_FragDepth = z;
  float fade = 0.2 + 0.8 * pow(1.0 - z, 0.8);
  color = vec4(pc.rgb.rgb * fade, 1.0);
  kind = 2u;
}
