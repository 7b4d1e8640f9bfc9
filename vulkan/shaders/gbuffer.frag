#version 460
#extension GL_GOOGLE_include_directive : require
// A triangle's fragment in a G-buffer pass: instead of a colour, the
// surface's attributes at the pixel centre (as mesh.frag shades them), one
// texel in each of the four colour attachments. The C++ twin is
// gBufferSample in kova_deferred.hpp: the view-space point and the flat 4D
// normal, each scaled to its largest entry and then to unit length, the
// instance colour (rounded by the albedo attachment's format), and as
// material the lambert of the lamp at the eye, the fog amount, the
// Fubini-Study distance from the eye and the coverage flag 1.
#include "mesh_layout.glsl"

layout(early_fragment_tests) in;
layout(location = 0) flat in vec4 normal;
layout(location = 2) flat in vec3 base;
layout(location = 3) flat in uint flag;
layout(location = 0) out vec4 g_position;
layout(location = 1) out vec4 g_normal;
layout(location = 2) out vec4 g_albedo;
layout(location = 3) out vec4 g_material;

vec4 unitOf(vec4 v) {
  precise float m = max(max(abs(v.x), abs(v.y)), max(abs(v.z), abs(v.w)));
  if (!(m > 0.0)) return vec4(0.0, 0.0, 0.0, 1.0);
  precise vec4 s = v / m;
  precise float n = sqrt(((s.x * s.x + s.y * s.y) + s.z * s.z) + s.w * s.w);
  precise vec4 u = s / n;
  return u;
}

void main() {
  precise float sx = (2.0 * gl_FragCoord.x) / float(pc.width) - 1.0;
  precise float sy = 1.0 - (2.0 * gl_FragCoord.y) / float(pc.height);
  precise float rx = sx * pc.tan_h;
  precise float ry = sy * pc.tan_v;
  const float rz = -1.0;

  vec4 n = normal;
  precise float nd = n.x * rx + n.y * ry + n.z * rz;
  precise float dd = rx * rx + ry * ry + rz * rz;
  precise float nn = n.x * n.x + n.y * n.y + n.z * n.z + n.w * n.w;
  precise float p_norm = sqrt(n.w * n.w * dd + nd * nd);
  precise float sine_part = abs(n.w) * sqrt(dd);
  float distance = atan(sine_part, abs(nd));
  precise float l = p_norm / (sqrt(nn) * sqrt(dd));
  float lambert = min(l, 1.0);
  precise float t0 = distance / pc.far_fs;
  float t = clamp(t0, 0.0, 1.0);
  precise float f = t * t;

  // The hit p = (N.w D, -N.xyz . D).
  precise vec4 p = vec4(n.w * rx, n.w * ry, n.w * rz, -nd);
  g_position = unitOf(p);
  g_normal = unitOf(n);
  g_albedo = vec4(base, 1.0);
  g_material = vec4(lambert, f, distance, 1.0);
  // Early tests: only fragments that passed the depth test flag their triangle.
  drawn[flag] = 1u;
}
