#version 460
#extension GL_EXT_control_flow_attributes : require
// Tile light culling: workgroup (x, y) writes the record of tile (x, y), the
// lights whose range reaches the lines through the eye that the tile shows,
// at most max_lights of them, the first kept in the order of their ranks, in
// increasing index order. The single-precision twin of tileLightList in
// kova_tile_lights.hpp, every operation in the same order, so both devices
// give the same lists. The record is max_lights + 1 doubles (count, indices,
// -1 for unused places), written as their bit patterns: whole numbers below
// 2^21 need no Float64.
//
// The 64 invocations of a group share the lights (invocation k takes lights
// k, k + 64, ...), so no invocation loops long over them: a reach mask in
// shared memory gathers what they find, a full list is cut by a bitwise
// search for the rank of its last light, and each invocation writes the
// lights of its two mask words at the places the counts before them leave.
const uint kGroup = 64u;
const uint kMaxLights = 4096u;              // kMaxLights of the light buffer
const uint kEach = kMaxLights / kGroup;     // lights an invocation takes
const uint kMaskWords = kMaxLights / 32u;
const uint kWordsEach = kMaskWords / kGroup;
layout(local_size_x = 64) in;

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

shared uint reach_mask[kMaskWords];
shared uint counts[kGroup];  // reaching lights in each invocation's mask words
shared uint total;

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
  [[unroll]] for (uint f = 0u; f < 4u; ++f) {
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
  [[unroll]] for (uint f = 0u; f < 4u; ++f) inside = inside && dot3(a, n[f]) >= 0.0;
  if (inside) return aa;
  float best = 0.0;
  [[unroll]] for (uint f = 0u; f < 4u; ++f) {
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

// The rank's high word: the bits of tan^2 d, the sign cleared (-0 ranks as 0).
uint rankKey(vec2 d) {
  precise float key = d.x / d.y;
  return floatBitsToUint(key) & 0x7FFFFFFFu;
}

// Rank (key, index) below rank (ck, ci).
bool below(uint key, uint index, uint ck, uint ci) {
  return key < ck || (key == ck && index < ci);
}

// The high word of a double holding the whole number v (0 <= v < 2^21).
uint doubleHigh(uint v) {
  if (v == 0u) return 0u;
  int top = findMSB(v);
  return (uint(1023 + top) << 20) | ((v << uint(20 - top)) & 0xFFFFFu);
}

// The lights of this invocation's mask words still set, and their count.
uint maskCount(uint lid) {
  uint c = 0u;
  [[unroll]] for (uint k = 0u; k < kWordsEach; ++k) c += bitCount(reach_mask[lid * kWordsEach + k]);
  return c;
}

void main() {
  uint lid = gl_LocalInvocationIndex;
  uint tx = gl_WorkGroupID.x, ty = gl_WorkGroupID.y;
  uint tiles_x = (pc.width + pc.tile_size - 1u) / pc.tile_size;
  uint base = (ty * tiles_x + tx) * (pc.max_lights + 1u);
  uint n = min(pc.light_count, kMaxLights);
  pyramid(tx, ty);
  [[unroll]] for (uint k = 0u; k < kWordsEach; ++k) reach_mask[lid * kWordsEach + k] = 0u;
  if (lid == 0u) total = 0u;
  barrier();

  uint keys[kEach];
  for (uint j = 0u, i = lid; i < n; ++j, i += kGroup) {
    vec2 d = parts(i);
    if (!reaches(d, i)) continue;
    keys[j] = rankKey(d);
    atomicOr(reach_mask[i / 32u], 1u << (i % 32u));
  }
  barrier();
  atomicAdd(total, maskCount(lid));
  barrier();
  uint kept = total;

  if (kept > pc.max_lights) {
    // The rank of the max_lights-th reaching light, bit by bit from the top
    // of (key, index): the largest rank with fewer than max_lights below it.
    uint rk = 0u, ri = 0u;
    for (int b = 43; b >= 0; --b) {
      uint ck = b >= 12 ? rk | (1u << uint(b - 12)) : rk;
      uint ci = b >= 12 ? ri : ri | (1u << uint(b));
      barrier();
      if (lid == 0u) total = 0u;
      barrier();
      uint c = 0u;
      for (uint j = 0u, i = lid; i < n; ++j, i += kGroup)
        if ((reach_mask[i / 32u] & (1u << (i % 32u))) != 0u && below(keys[j], i, ck, ci)) ++c;
      atomicAdd(total, c);
      barrier();
      if (total < pc.max_lights) {
        rk = ck;
        ri = ci;
      }
    }
    // Drop the lights ranked after it.
    for (uint j = 0u, i = lid; i < n; ++j, i += kGroup)
      if ((reach_mask[i / 32u] & (1u << (i % 32u))) != 0u && below(rk, ri, keys[j], i))
        atomicAnd(reach_mask[i / 32u], ~(1u << (i % 32u)));
    kept = pc.max_lights;
    barrier();
  }

  // Each invocation writes its words' lights after those of the words before.
  uint mine = kept > 0u ? maskCount(lid) : 0u;
  counts[lid] = mine;
  barrier();
  uint at = 0u;
  if (mine > 0u)
    for (uint k = 0u; k < lid; ++k) at += counts[k];
  [[unroll]] for (uint k = 0u; k < kWordsEach; ++k) {
    uint word = lid * kWordsEach + k;
    uint bits = reach_mask[word];
    while (bits != 0u) {
      uint b = uint(findLSB(bits));
      bits &= bits - 1u;
      uint place = 2u * (base + 1u + at);
      words[place] = 0u;
      words[place + 1u] = doubleHigh(word * 32u + b);
      ++at;
    }
  }
  for (uint k = kept + lid; k < pc.max_lights; k += kGroup) {
    words[2u * (base + 1u + k)] = 0u;
    words[2u * (base + 1u + k) + 1u] = 0xBFF00000u;
  }
  if (lid == 0u) {
    words[2u * base] = 0u;
    words[2u * base + 1u] = doubleHigh(kept);
  }
}
