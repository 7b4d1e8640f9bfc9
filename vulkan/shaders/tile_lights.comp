#version 460
// Tile light culling: workgroup (x, y) writes the record of tile (x, y), the
// lights whose range reaches the lines through the eye that the tile shows,
// at most max_lights of them, the nearest kept, in increasing index order.
// The single-precision twin of tileLightList in kova_tile_lights.hpp, every
// operation in the same order, so both devices give the same lists. The
// record is max_lights + 1 doubles (count, indices, -1 for unused places),
// written as their bit patterns: whole numbers below 2^21 need no Float64.
layout(local_size_x = 1) in;

struct Light {
  vec4 position;  // unit 4-vector in view space
  vec4 color;     // rgb, intensity
  vec4 range;     // range, cos(range), sin(range), 0
};
layout(std430, set = 0, binding = 0) readonly buffer Lights { Light lights[]; };
// The output as 32-bit words, two per double (little-endian: low word first).
layout(std430, set = 0, binding = 1) buffer Lists { uint words[]; };
layout(push_constant) uniform Push {
  uint width;
  uint height;
  uint tile_size;
  uint max_lights;
  uint light_count;
  float tan_h;
  float tan_v;
} pc;

vec3 e[4];
vec3 n[4];
vec3 spans[4];
float ee[4];
float nn[4];

float dot3(vec3 a, vec3 b) {
  precise float r = (a.x * b.x + a.y * b.y) + a.z * b.z;
  return r;
}
vec3 cross3(vec3 a, vec3 b) {
  precise vec3 r = vec3(a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x);
  return r;
}

void pyramid(uint tx, uint ty) {
  uint px0 = tx * pc.tile_size, py0 = ty * pc.tile_size;
  uint px1 = min(px0 + pc.tile_size, pc.width);
  uint py1 = min(py0 + pc.tile_size, pc.height);
  float w = float(pc.width), h = float(pc.height);
  precise float sx0 = (2.0 * float(px0)) / w - 1.0;
  precise float sx1 = (2.0 * float(px1)) / w - 1.0;
  precise float sy0 = 1.0 - (2.0 * float(py0)) / h;
  precise float sy1 = 1.0 - (2.0 * float(py1)) / h;
  precise float x0 = sx0 * pc.tan_h, x1 = sx1 * pc.tan_h;
  precise float y0 = sy0 * pc.tan_v, y1 = sy1 * pc.tan_v;
  e[0] = vec3(x0, y0, -1.0);
  e[1] = vec3(x1, y0, -1.0);
  e[2] = vec3(x1, y1, -1.0);
  e[3] = vec3(x0, y1, -1.0);
  precise float cx = ((e[0].x + e[1].x) + e[2].x) + e[3].x;
  precise float cy = ((e[0].y + e[1].y) + e[2].y) + e[3].y;
  vec3 c = vec3(cx, cy, -4.0);
  for (uint f = 0u; f < 4u; ++f) {
    vec3 m = cross3(e[f], e[(f + 1u) % 4u]);
    spans[f] = m;
    if (dot3(m, c) < 0.0) m = -m;
    n[f] = m;
    nn[f] = dot3(m, m);
    ee[f] = dot3(e[f], e[f]);
  }
}

// The largest (a . D)^2 over unit D in the pyramid with a . D >= 0.
float reach2(vec3 a) {
  float aa = dot3(a, a);
  bool inside = true;
  for (uint f = 0u; f < 4u; ++f) inside = inside && dot3(a, n[f]) >= 0.0;
  if (inside) return aa;
  float best = 0.0;
  for (uint f = 0u; f < 4u; ++f) {
    vec3 m = n[f];
    precise float k = dot3(a, m) / nn[f];
    precise vec3 q = vec3(a.x - k * m.x, a.y - k * m.y, a.z - k * m.z);
    bool in_face = dot3(cross3(e[f], q), spans[f]) >= 0.0 &&
                   dot3(cross3(q, e[(f + 1u) % 4u]), spans[f]) >= 0.0;
    if (in_face) best = max(best, dot3(q, q));
    float ae = dot3(a, e[f]);
    precise float edge = (ae * ae) / ee[f];
    if (ae > 0.0) best = max(best, edge);
  }
  return best;
}

// sin^2 (x) and cos^2 (y) of light i's distance from the tile's lines.
vec2 parts(uint i) {
  vec3 v = lights[i].position.xyz;
  float w = lights[i].position.w;
  float m2 = max(reach2(v), reach2(-v));
  precise float s2 = max(dot3(v, v) - m2, 0.0);
  precise float c2 = w * w + m2;
  return vec2(s2, c2);
}

bool reaches(vec2 d, uint i) {
  float cr = lights[i].range.y, sr = lights[i].range.z;
  if (!(cr > 0.0)) return true;
  precise float lhs = d.x * (cr * cr);
  precise float rhs = d.y * (sr * sr);
  return lhs < rhs;
}

bool nearer(vec2 a, uint ia, vec2 b, uint ib) {
  precise float lhs = a.x * b.y;
  precise float rhs = b.x * a.y;
  return lhs < rhs || (lhs == rhs && ia < ib);
}

// The high word of a double holding the whole number v (0 <= v < 2^21).
uint doubleHigh(uint v) {
  if (v == 0u) return 0u;
  int top = findMSB(v);
  return (uint(1023 + top) << 20) | ((v << uint(20 - top)) & 0xFFFFFu);
}

void main() {
  uint tx = gl_WorkGroupID.x, ty = gl_WorkGroupID.y;
  uint tiles_x = (pc.width + pc.tile_size - 1u) / pc.tile_size;
  uint record = pc.max_lights + 1u;
  uint base = (ty * tiles_x + tx) * record;
  pyramid(tx, ty);
  // The kept indices live in the low words of the record's places.
  uint count = 0u;
  for (uint i = 0u; i < pc.light_count; ++i) {
    vec2 d = parts(i);
    if (!reaches(d, i)) continue;
    if (count < pc.max_lights) {
      words[2u * (base + 1u + count)] = i;
      ++count;
      continue;
    }
    uint far = 0u;
    uint far_i = words[2u * (base + 1u)];
    vec2 far_d = parts(far_i);
    for (uint k = 1u; k < count; ++k) {
      uint ik = words[2u * (base + 1u + k)];
      vec2 dk = parts(ik);
      if (nearer(far_d, far_i, dk, ik)) {
        far = k;
        far_i = ik;
        far_d = dk;
      }
    }
    if (nearer(d, i, far_d, far_i)) words[2u * (base + 1u + far)] = i;
  }
  // Increasing index order (insertion sort).
  for (uint k = 1u; k < count; ++k) {
    uint v = words[2u * (base + 1u + k)];
    uint j = k;
    while (j > 0u && words[2u * (base + j)] > v) {
      words[2u * (base + 1u + j)] = words[2u * (base + j)];
      --j;
    }
    words[2u * (base + 1u + j)] = v;
  }
  words[2u * base] = 0u;
  words[2u * base + 1u] = doubleHigh(count);
  for (uint k = 0u; k < pc.max_lights; ++k) {
    uint at = 2u * (base + 1u + k);
    uint v = words[at];
    words[at] = 0u;
    words[at + 1u] = k < count ? doubleHigh(v) : 0xBFF00000u;
  }
}
