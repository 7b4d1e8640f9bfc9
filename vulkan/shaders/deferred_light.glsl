// The deferred lighting kernel, compiled once per albedo format
// (ALBEDO_FORMAT: storage images are read with their format declared) and
// per sample count: with ONE_SAMPLE the G-buffer, the picture and its kinds
// are single-sample image2D storage images, which a device without
// multisampled storage images has; otherwise they are image2DMS, read and
// written sample by sample.
// Group (x, y) lights the pixels of its 8 x 8 block. Every sample whose material flag is 1 gets the colour a forward
// draw gives it, shedding its tile's lights when the lists are bound and
// every light otherwise; other samples keep the picture's colour. The C++
// twin is lightGBufferSample in kova_deferred.hpp, with shadeStored of
// kova_mesh_shading.hpp and lightsAt / forTileLights as lights.glsl has them.
layout(local_size_x = 8, local_size_y = 8) in;

struct Light {
  vec4 position;  // unit 4-vector
  vec4 color;     // rgb, intensity
  vec4 range;     // x: range in radians
};
layout(std430, set = 0, binding = 0) readonly buffer Lights { Light lights[]; };
layout(std430, set = 0, binding = 1) readonly buffer TileLists { uint list_words[]; };
#ifdef ONE_SAMPLE
#define GBUFFER_IMAGE image2D
#define KINDS_IMAGE uimage2D
#define LOAD(image, at, s) imageLoad(image, at)
#define STORE(image, at, s, value) imageStore(image, at, value)
#else
#define GBUFFER_IMAGE image2DMS
#define KINDS_IMAGE uimage2DMS
#define LOAD(image, at, s) imageLoad(image, at, s)
#define STORE(image, at, s, value) imageStore(image, at, s, value)
#endif
layout(set = 0, binding = 2, rgba32f) uniform readonly GBUFFER_IMAGE g_position;
layout(set = 0, binding = 3, rgba32f) uniform readonly GBUFFER_IMAGE g_normal;
layout(set = 0, binding = 4, ALBEDO_FORMAT) uniform readonly GBUFFER_IMAGE g_albedo;
layout(set = 0, binding = 5, rgba32f) uniform readonly GBUFFER_IMAGE g_material;
// The picture in whatever format it has.
layout(set = 0, binding = 6) uniform writeonly GBUFFER_IMAGE picture;
layout(set = 0, binding = 7, r8ui) uniform writeonly KINDS_IMAGE kinds;
layout(push_constant) uniform Push {
  uint width;
  uint height;
  uint light_count;
  uint tiled;        // 1: each pixel sheds only its tile's list
  uint tile_size;
  uint tiles_x;
  uint max_lights;   // per tile
  uint samples;
  vec4 fog;
} pc;

#include "lights.glsl"

bool usable(vec4 v) {
  bool finite = !any(isnan(v)) && !any(isinf(v));
  return finite && any(notEqual(v, vec4(0.0)));
}

void main() {
  uvec2 px = gl_GlobalInvocationID.xy;
  if (px.x >= pc.width || px.y >= pc.height) return;
  ivec2 at = ivec2(px);
  // Samples a triangle covers together hold the same attributes (the
  // geometry pass shades once per pixel and triangle): each is lit once.
  // With one sample per pixel pc.samples is 1.
  vec4 last_p, last_n, last_albedo, last_material;
  vec3 last_rgb = vec3(0.0);
  bool have_last = false;
  for (int s = 0; s < int(pc.samples); ++s) {
    vec4 material = LOAD(g_material, at, s);
    if (!(material.w == 1.0)) continue;
    vec4 p = LOAD(g_position, at, s);
    vec4 n = LOAD(g_normal, at, s);
    vec4 albedo = LOAD(g_albedo, at, s);
    if (have_last && p == last_p && n == last_n && albedo == last_albedo &&
        material == last_material) {
      STORE(picture, at, s, vec4(last_rgb, 1.0));
      STORE(kinds, at, s, uvec4(3u));
      continue;
    }
    vec3 shed = vec3(0.0);
    if (pc.light_count > 0u && usable(n) && usable(p)) {
      if (pc.tiled != 0u)
        shed = tileLightsAt(n, p, px.x, px.y, pc.light_count);
      else
        shed = lightsAt(n, p, pc.light_count);
    }
    precise float light = 0.22 + 0.78 * material.x;
    precise vec3 lit = albedo.rgb * (light + shed);
    precise vec3 shaded = lit + (pc.fog.rgb - lit) * material.y;
    vec3 out_rgb = shaded;
    for (int c = 0; c < 3; ++c)
      if (isnan(out_rgb[c]) || isinf(out_rgb[c])) out_rgb[c] = 0.0;
    last_p = p;
    last_n = n;
    last_albedo = albedo;
    last_material = material;
    last_rgb = out_rgb;
    have_last = true;
    STORE(picture, at, s, vec4(out_rgb, 1.0));
    STORE(kinds, at, s, uvec4(3u));
  }
}
