// The light the draw's lights shed on a surface point, per channel: the
// single-precision twin of lightsAt in kova_device_lights.hpp, every sum in
// the same order. Each light reaches the point along the short arc (length
// d) and the long arc (pi - d) of the line through both, each attenuated by
// (1 - (l / range)^2)^2 of its own length l, and lights both sides of the
// (one-sided) plane by |cos| of the angle towards the light.
// Needs `lights[]` (mesh_layout.glsl).

float arcWindow(float len, float range) {
  precise float t = len / range;
  if (!(t < 1.0)) return 0.0;
  precise float u = 1.0 - t * t;
  precise float w = u * u;
  return w;
}

// n: the plane's normal; p: the point (n . p = 0); any scale, either sign.
vec3 lightsAt(vec4 n, vec4 p, uint count) {
  precise float p_norm = sqrt(((p.x * p.x + p.y * p.y) + p.z * p.z) + p.w * p.w);
  precise float n_norm = sqrt(((n.x * n.x + n.y * n.y) + n.z * n.z) + n.w * n.w);
  precise vec3 sum = vec3(0.0);
  for (uint i = 0u; i < count; ++i) {
    vec4 l = lights[i].position;
    precise float c = ((p.x * l.x + p.y * l.y) + p.z * l.z) + p.w * l.w;
    precise float xy = p.x * l.y - p.y * l.x, xz = p.x * l.z - p.z * l.x;
    precise float xw = p.x * l.w - p.w * l.x, yz = p.y * l.z - p.z * l.y;
    precise float yw = p.y * l.w - p.w * l.y, zw = p.z * l.w - p.w * l.z;
    precise float s = sqrt(((((xy * xy + xz * xz) + xw * xw) + yz * yz) + yw * yw) + zw * zw);
    // The distance from atan2 of its sine and cosine parts, never acos.
    float d = atan(s, abs(c));
    precise float nl = ((n.x * l.x + n.y * l.y) + n.z * l.z) + n.w * l.w;
    precise float q = (abs(nl) * p_norm) / (n_norm * s);
    float cosine = s > 0.0 ? min(q, 1.0) : 1.0;
    float range = lights[i].range.x;
    precise float arcs = arcWindow(d, range) + arcWindow(3.14159265358979 - d, range);
    precise float k = (lights[i].color.w * cosine) * arcs;
    precise vec3 add = lights[i].color.rgb * k;
    sum = sum + add;
  }
  return sum;
}
