#version 460
#extension GL_GOOGLE_include_directive : require
// A triangle's fragment, shaded once per pixel at its centre in single
// precision: the pixel's ray meets the triangle's plane (its flat 4D normal)
// at a Fubini-Study distance from the eye, which gives the light of a lamp
// at the eye and the fog. The depth is the rasteriser's own (the projective
// depth of mesh.vert), tested before the shader runs: no discard, no
// written depth. The C++ twins are surfaceHit and shadeSurface in
// kova_mesh_shading.hpp, and lightsAt in kova_device_lights.hpp.
#include "mesh_layout.glsl"
#include "lights.glsl"

layout(early_fragment_tests) in;
// Whether this pipeline sheds lights: the device makes an unlit form of the
// pipeline for draws without them, compiled without the lights' code.
layout(constant_id = 0) const bool kLit = true;
layout(location = 0) flat in vec4 normal;
layout(location = 2) flat in vec3 base;
layout(location = 3) flat in uint flag;
layout(location = 0) out vec4 color;
layout(location = 1) out uint kind;

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
  // The angle from the eye of the hit p = (N.w D, -N.xyz . D): the sine part
  // |p.xyz| against the cosine part |p.w|.
  precise float sine_part = abs(n.w) * sqrt(dd);
  float distance = atan(sine_part, abs(nd));
  precise float l = p_norm / (sqrt(nn) * sqrt(dd));
  float lambert = min(l, 1.0);

  // An ambient term and the lamp, faded towards the fog colour with the
  // square of the distance.
  precise float t0 = distance / pc.far_fs;
  float t = clamp(t0, 0.0, 1.0);
  precise float f = t * t;
  precise float light = 0.22 + 0.78 * lambert;
  // What the lights shed where the ray meets the plane,
  // p = (N.w D, -N.xyz . D); nothing without lights.
  vec3 shed = vec3(0.0);
  if (kLit && pc.light_count > 0u) {
    vec4 p = vec4(n.w * rx, n.w * ry, n.w * rz, -nd);
    if (pc.tiled != 0u)
      shed = tileLightsAt(n, p, uint(gl_FragCoord.x), uint(gl_FragCoord.y), pc.light_count);
    else
      shed = lightsAt(n, p, pc.light_count);
  }
  precise vec3 lit = base * (light + shed);
  precise vec3 shaded = lit + (pc.fog.rgb - lit) * f;
  color = vec4(shaded, 1.0);
  kind = 3u;
  // Early tests: only fragments that passed the depth test flag their triangle.
  drawn[flag] = 1u;
}
