#version 460
#extension GL_GOOGLE_include_directive : require
// Triangles of an indexed mesh, one instance per transform, each instance
// drawn four times: gl_InstanceIndex >> 2 picks the transform, bit 1 the
// half of elliptic space (0: the part in front of the eye's focal plane,
// 1: the part behind it, through the negated vertices) and bit 0 the side s
// of view w = 0 (0: s = 1, 1: s = -1). Clip z is tan(near) s (view w), so
// that the stored depth z / w is kova_device_raster.hpp's projective depth
// (depthFromRay); the clip volume's 0 <= z keeps the part with s w >= 0 and
// its z <= w is the near bound. The draw is not indexed: vertex 3t + k is
// corner k of triangle t, and every vertex computes its triangle's three
// corners, so that all three agree on the flat 4D normal and on whether the
// triangle is drawn at all. Single precision throughout: the host hands
// view * model per instance; the C++ twin is drawTriangles in
// cpu_triangles.cpp (which keeps double until clip space).
#include "mesh_layout.glsl"

layout(location = 0) flat out vec4 normal;
layout(location = 2) flat out vec3 base;
layout(location = 3) flat out uint flag;

void main() {
  uint t = uint(gl_VertexIndex) / 3u;
  uint corner = uint(gl_VertexIndex) % 3u;
  uint instance = uint(gl_InstanceIndex) >> 2;
  float sign = (gl_InstanceIndex & 2) == 0 ? 1.0 : -1.0;
  float side = (gl_InstanceIndex & 1) == 0 ? 1.0 : -1.0;
  mat4 m = placed[instance];
  // View-space corners on S^3; dividing by the largest component first
  // keeps the squares finite for any finite vector.
  vec4 q[3];
  bool valid = true;
  for (uint k = 0u; k < 3u; ++k) {
    precise vec4 v = m * vertices[indices[3u * t + k]];
    float largest = max(max(abs(v.x), abs(v.y)), max(abs(v.z), abs(v.w)));
    bool finite = !any(isinf(v)) && !any(isnan(v));
    valid = valid && finite && largest > 0.0;
    precise vec4 s = v / largest;
    precise float n = sqrt(((s.x * s.x + s.y * s.y) + s.z * s.z) + s.w * s.w);
    precise vec4 o = s / n;
    q[k] = o;
  }
  // The generalised cross product of a, b - a and c - a.
  vec4 a = q[0];
  precise vec4 u = q[1] - a;
  precise vec4 w = q[2] - a;
  precise float xy = u.x * w.y - u.y * w.x, xz = u.x * w.z - u.z * w.x;
  precise float xw = u.x * w.w - u.w * w.x, yz = u.y * w.z - u.z * w.y;
  precise float yw = u.y * w.w - u.w * w.y, zw = u.z * w.w - u.w * w.z;
  precise float n0 = a.y * zw - a.z * yw + a.w * yz;
  precise float n1 = -(a.x * zw - a.z * xw + a.w * xz);
  precise float n2 = a.x * yw - a.y * xw + a.w * xy;
  precise float n3 = -(a.x * yz - a.y * xz + a.z * xy);
  // A plane through the eye (N.w = 0) is seen edge-on and covers nothing.
  valid = valid && n3 != 0.0;
  // Only the normal's direction matters; unit length keeps the fragments'
  // squares in range.
  precise float nl = sqrt(((n0 * n0 + n1 * n1) + n2 * n2) + n3 * n3);
  precise vec4 unit = vec4(n0, n1, n2, n3) / nl;
  normal = unit;

  base = vec3(1.0);
  if (pc.has_colors != 0u) base = colors[instance].rgb;
  flag = instance * pc.triangles + t;
  if (!valid) {
    // All three corners outside the clip volume: the triangle draws nothing.
    gl_Position = vec4(0.0, 0.0, -1.0, 1.0);
    return;
  }
  vec4 c = q[corner];
  precise float x = sign * c.x / pc.tan_h;
  precise float y = sign * c.y / pc.tan_v;
  precise float clip_w = -sign * c.z;
  precise float clip_z = pc.depth_scale * (side * (sign * c.w));
  gl_Position = vec4(x, -y, clip_z, clip_w);
}
