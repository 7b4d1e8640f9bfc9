#version 460
#extension GL_GOOGLE_include_directive : require
// A triangle's fragment, shaded once per pixel at its centre as on the host:
// the pixel's ray meets the triangle's plane (its flat 4D normal) at a
// Fubini-Study distance from the eye, which gives the depth, the light of a
// lamp at the eye and the fog. Outside the near and far bounds nothing is
// drawn.
#include "device_math.glsl"
#include "mesh_layout.glsl"

layout(location = 0) flat in dvec4 normal;
layout(location = 2) flat in vec3 base;
layout(location = 3) flat in uint flag;
layout(location = 0) out vec4 color;
layout(location = 1) out uint kind;

void main() {
  double tan_h = camera[20], tan_v = camera[21];
  double near_fs = camera[22], far_fs = camera[23];
  double fx = double(gl_FragCoord.x), fy = double(gl_FragCoord.y);
  precise double sx = (2.0LF * fx) / double(pc.width) - 1.0LF;
  precise double sy = 1.0LF - (2.0LF * fy) / double(pc.height);
  precise double rx = sx * tan_h;
  precise double ry = sy * tan_v;
  const double rz = -1.0LF;

  dvec4 n = normal;
  precise double nd = n.x * rx + n.y * ry + n.z * rz;
  precise double dd = rx * rx + ry * ry + rz * rz;
  precise double nn = n.x * n.x + n.y * n.y + n.z * n.z + n.w * n.w;
  precise double p_norm = sqrt(n.w * n.w * dd + nd * nd);
  double distance = kPio2Hi;
  double lambert = 0.0LF;
  if (p_norm > 0.0LF && nn > 0.0LF) {
    precise double ratio = abs(nd) / p_norm;
    double cos_d = min(ratio, 1.0LF);
    distance = deviceAcos(cos_d);
    precise double l = p_norm / (sqrt(nn) * sqrt(dd));
    lambert = min(l, 1.0LF);
  }
  if (distance < near_fs || distance > far_fs) discard;
  gl_FragDepth = float(deviceDepth(distance, near_fs, far_fs));

  // An ambient term and the lamp, faded towards the fog colour with the
  // square of the distance.
  precise double t0 = distance / far_fs;
  double t = clamp(t0, 0.0LF, 1.0LF);
  precise double t2 = t * t;
  float f = float(t2);
  precise float light = 0.22 + 0.78 * float(lambert);
  vec3 fog = vec3(float(camera[25]), float(camera[26]), float(camera[27]));
  precise vec3 lit = base * light;
  precise vec3 shaded = lit + (fog - lit) * f;
  color = vec4(shaded, 1.0);
  kind = 3u;
  drawn[flag] = 1u;
}
