#version 460
// An arc's fragment: the rasteriser's projective depth, tested before the
// shader runs, and the line colour faded into the fog by the FS distance
// that depth means along this pixel's ray (fsDistanceFromDepth and
// fogAmount in kova_device_raster.hpp / kova_mesh_shading.hpp).
#extension GL_GOOGLE_include_directive : require
#include "line_layout.glsl"

layout(early_fragment_tests) in;
layout(location = 0) out vec4 color;
layout(location = 1) out uint kind;

void main() {
  precise float rx = ((2.0 * gl_FragCoord.x) / float(pc.width) - 1.0) * pc.tan_h;
  precise float ry = (1.0 - (2.0 * gl_FragCoord.y) / float(pc.height)) * pc.tan_v;
  precise float len = sqrt(rx * rx + ry * ry + 1.0);
  precise float sine_part = pc.depth_scale * len;
  float theta = atan(sine_part, max(gl_FragCoord.z, 0.0));
  precise float t0 = theta / pc.far_fs;
  float t = clamp(t0, 0.0, 1.0);
  precise float f = t * t;
  precise vec3 faded = pc.rgb.rgb + (pc.fog.rgb - pc.rgb.rgb) * f;
  color = vec4(faded, 1.0);
  kind = 2u;
}
