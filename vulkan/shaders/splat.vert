#version 460
#extension GL_GOOGLE_include_directive : require
// One point per splat, 2r + 1 pixels wide and centred on the pixel, so that
// it covers exactly [cx - r, cx + r] x [cy - r, cy + r]; the fragment shader
// keeps the round disk. The viewport reaches kPad pixels beyond the image on
// every side (the scissor is the image), so that a splat whose centre lies
// just outside is not clipped away with its centre: its visible part is
// drawn, as on the host. Skipped splats are placed outside the viewport.
#include "viewport.glsl"

// Two records per splat (point_splats.comp).
layout(std430, set = 0, binding = 0) readonly buffer Splats { ivec4 splats[]; };
layout(push_constant) uniform Push {
  uint width;
  uint height;
  uint first;  // offset of this draw's splats
  uint pad;
  float tan_h;
  float tan_v;
} pc;
layout(location = 0) flat out ivec4 splat;
// tan(near) cot(distance), then what the fragment needs for its ray: the
// image size and tan_h, tan_v.
layout(location = 1) flat out vec4 ray_params;
layout(location = 2) flat out vec2 image_size;

void main() {
  uint at = 2u * (pc.first + uint(gl_VertexIndex));
  splat = splats[at];
  ray_params = vec4(intBitsToFloat(splats[at + 1u].x), pc.tan_h, pc.tan_v, 0.0);
  image_size = vec2(float(pc.width), float(pc.height));
  gl_PointSize = float(2 * max(splat.z, 0) + 1);
  if (splat.z < 0) {
    gl_Position = vec4(2.0, 2.0, 0.0, 1.0);
    return;
  }
  gl_Position = pixelCentre(splat.x, splat.y, pc.width, pc.height);
}
