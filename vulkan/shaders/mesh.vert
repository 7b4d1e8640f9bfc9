#version 460
#extension GL_GOOGLE_include_directive : require
// Triangles of an indexed mesh, one instance per transform, each instance
// drawn twice: gl_InstanceIndex >> 1 picks the transform, its lowest bit the
// half of elliptic space (0: the part in front of the eye's focal plane,
// 1: the part behind it, through the negated vertices). The draw is not
// indexed: vertex 3t + k is corner k of triangle t, and every vertex computes
// its triangle's three corners, so that all three agree on the flat 4D
// normal and on whether the triangle is drawn at all. Geometry stays in
// double precision until the clip position, which is single precision as
// on the host's rasteriser; the near bound of clip z is w = 1e-6.
#include "device_math.glsl"
#include "mesh_layout.glsl"

layout(location = 0) flat out dvec4 normal;
layout(location = 2) flat out vec3 base;
layout(location = 3) flat out uint flag;

void main() {
  uint t = uint(gl_VertexIndex) / 3u;
  uint corner = uint(gl_VertexIndex) % 3u;
  uint instance = uint(gl_InstanceIndex) >> 1;
  double sign = (gl_InstanceIndex & 1) == 0 ? 1.0LF : -1.0LF;
  double view[16];
  double model[16];
  for (int k = 0; k < 16; ++k) {
    view[k] = camera[k];
    model[k] = transforms[instance * 16u + uint(k)];
  }
  // View-space corners on S^3; dividing by the largest component first
  // keeps the squares finite for any finite vector.
  dvec4 q[3];
  bool valid = true;
  for (uint k = 0u; k < 3u; ++k) {
    dvec4 placed = deviceApply(model, vertices[indices[3u * t + k]]);
    dvec4 v = deviceApply(view, placed);
    double m = max(max(abs(v.x), abs(v.y)), max(abs(v.z), abs(v.w)));
    bool finite = !any(isinf(v)) && !any(isnan(v));
    valid = valid && finite && m > 0.0LF;
    precise double sx = v.x / m, sy = v.y / m, sz = v.z / m, sw = v.w / m;
    dvec4 s = dvec4(sx, sy, sz, sw);
    double n = deviceNorm(s);
    precise double ox = sx / n, oy = sy / n, oz = sz / n, ow = sw / n;
    q[k] = dvec4(ox, oy, oz, ow);
  }
  // The generalised cross product of a, b - a and c - a.
  dvec4 a = q[0];
  precise dvec4 u = q[1] - a;
  precise dvec4 w = q[2] - a;
  precise double xy = u.x * w.y - u.y * w.x, xz = u.x * w.z - u.z * w.x;
  precise double xw = u.x * w.w - u.w * w.x, yz = u.y * w.z - u.z * w.y;
  precise double yw = u.y * w.w - u.w * w.y, zw = u.z * w.w - u.w * w.z;
  precise double n0 = a.y * zw - a.z * yw + a.w * yz;
  precise double n1 = -(a.x * zw - a.z * xw + a.w * xz);
  precise double n2 = a.x * yw - a.y * xw + a.w * xy;
  precise double n3 = -(a.x * yz - a.y * xz + a.z * xy);
  normal = dvec4(n0, n1, n2, n3);
  valid = valid && (n0 != 0.0LF || n1 != 0.0LF || n2 != 0.0LF || n3 != 0.0LF);

  base = vec3(1.0);
  if (pc.has_colors != 0u)
    base = vec3(float(colors[3u * instance]), float(colors[3u * instance + 1u]),
                float(colors[3u * instance + 2u]));
  flag = instance * pc.triangles + t;
  if (!valid) {
    // All three corners outside the clip volume: the triangle draws nothing.
    gl_Position = vec4(0.0, 0.0, -1.0, 1.0);
    return;
  }
  double tan_h = camera[20], tan_v = camera[21];
  dvec4 c = q[corner];
  precise double cx = sign * c.x / tan_h;
  precise double cy = sign * c.y / tan_v;
  precise double cw = -sign * c.z;
  float x = float(cx), y = float(cy), clip_w = float(cw);
  precise float clip_z = clip_w - 1e-6;
  gl_Position = vec4(x, -y, clip_z, clip_w);
}
