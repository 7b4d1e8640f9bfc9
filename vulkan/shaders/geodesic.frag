#version 460
#extension GL_GOOGLE_include_directive : require
#include "device_math.glsl"
// An arc pixel: the command's colour dimmed with depth, or for an isometric
// view faded into the fog colour as the triangles are.
layout(location = 0) flat in uint depth_bits;
layout(location = 0) out vec4 color;
layout(location = 1) out uint kind;
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

void main() {
  float z = uintBitsToFloat(depth_bits);
  // The stored depth of the FS distance z stands for, along this pixel's ray
  // (depthFromRay in kova_device_raster.hpp); above 1 is nearer than the
  // near bound and not drawn.
  precise double theta = pc.near_fs + double(z) * (pc.far_fs - pc.near_fs);
  float k = deviceDepthFactor(theta, pc.depth_scale);
  precise float rx = ((2.0 * gl_FragCoord.x) / float(pc.width) - 1.0) * pc.tan_h;
  precise float ry = (1.0 - (2.0 * gl_FragCoord.y) / float(pc.height)) * pc.tan_v;
  precise float len = sqrt(rx * rx + ry * ry + 1.0);
  precise float stored = k * len;
  if (!(stored <= 1.0)) discard;
  gl_FragDepth = stored;
  kind = 2u;
  if (pc.isometric != 0u) {
    precise double d = pc.near_fs + double(z) * (pc.far_fs - pc.near_fs);
    precise double t0 = d / pc.far_fs;
    double t = clamp(t0, 0.0LF, 1.0LF);
    precise double t2 = t * t;
    float f = float(t2);
    precise vec3 faded = pc.rgb.rgb + (pc.fog.rgb - pc.rgb.rgb) * f;
    color = vec4(faded, 1.0);
    return;
  }
  float fade = 0.2 + 0.8 * pow(1.0 - z, 0.8);
  color = vec4(pc.rgb.rgb * fade, 1.0);
}
