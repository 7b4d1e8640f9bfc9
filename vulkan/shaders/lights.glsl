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

// What light i sheds on the point p of the plane with normal n (n . p = 0;
// any scale, either sign), with p_norm = |p| and n_norm = |n|.
vec3 lightFrom(vec4 n, vec4 p, float p_norm, float n_norm, uint i) {
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
  return add;
}

// Every light of the draw, in order.
vec3 lightsAt(vec4 n, vec4 p, uint count) {
  precise float p_norm = sqrt(((p.x * p.x + p.y * p.y) + p.z * p.z) + p.w * p.w);
  precise float n_norm = sqrt(((n.x * n.x + n.y * n.y) + n.z * n.z) + n.w * n.w);
  precise vec3 sum = vec3(0.0);
  for (uint i = 0u; i < count; ++i) {
    precise vec3 add = lightFrom(n, p, p_norm, n_norm, i);
    sum = sum + add;
  }
  return sum;
}

// The whole number the double (lo, hi) holds when it is one in [0, 2^21)
// (not -0), else 0xFFFFFFFF: wholeIn of kova_tile_lights.hpp.
uint wholeOf(uint lo, uint hi) {
  if (lo == 0u && hi == 0u) return 0u;
  if (lo != 0u || (hi & 0x80000000u) != 0u) return 0xFFFFFFFFu;
  uint e = hi >> 20;
  if (e < 1023u || e > 1043u) return 0xFFFFFFFFu;
  uint shift = e - 1023u;
  uint mant = hi & 0xFFFFFu;
  uint frac_bits = 20u - shift;
  if ((mant & ((1u << frac_bits) - 1u)) != 0u) return 0xFFFFFFFFu;
  return (1u << shift) | (mant >> frac_bits);
}

// The lights of the list of the tile holding pixel (px, py), in list order:
// forTileLights of kova_tile_lights.hpp (the count capped, entries that name
// no light skipped).
vec3 tileLightsAt(vec4 n, vec4 p, uint px, uint py, uint count) {
  precise float p_norm = sqrt(((p.x * p.x + p.y * p.y) + p.z * p.z) + p.w * p.w);
  precise float n_norm = sqrt(((n.x * n.x + n.y * n.y) + n.z * n.z) + n.w * n.w);
  uint base = ((py / pc.tile_size) * pc.tiles_x + px / pc.tile_size) * (pc.max_lights + 1u);
  uint listed = wholeOf(list_words[2u * base], list_words[2u * base + 1u]);
  // A count that is no whole number counts as 0.
  listed = listed == 0xFFFFFFFFu ? 0u : min(listed, pc.max_lights);
  precise vec3 sum = vec3(0.0);
  for (uint k = 0u; k < listed; ++k) {
    uint at = 2u * (base + 1u + k);
    uint i = wholeOf(list_words[at], list_words[at + 1u]);
    if (i >= count) continue;
    precise vec3 add = lightFrom(n, p, p_norm, n_norm, i);
    sum = sum + add;
  }
  return sum;
}
