// What the triangle pipeline's two stages share: the draw's buffers and its
// push constants, all single precision (the host composed them in double).
layout(std430, set = 0, binding = 0) readonly buffer Instances { mat4 placed[]; };  // view * model
layout(std430, set = 0, binding = 1) readonly buffer Colors { vec4 colors[]; };
layout(std430, set = 0, binding = 2) readonly buffer Vertices { vec4 vertices[]; };
layout(std430, set = 0, binding = 3) readonly buffer Indices { uint indices[]; };
layout(std430, set = 0, binding = 4) buffer Drawn { uint drawn[]; };  // one flag per triangle
// The draw's lights in view space (LightGpu in kova_device_layouts.hpp).
struct Light {
  vec4 position;  // unit 4-vector
  vec4 color;     // rgb, intensity
  vec4 range;     // x: range in radians
};
layout(std430, set = 0, binding = 5) readonly buffer Lights { Light lights[]; };
// Forward+: the tile lists (kova_tile_lights.hpp) as 32-bit words, two per
// double, low word first.
layout(std430, set = 0, binding = 6) readonly buffer TileLists { uint list_words[]; };
layout(push_constant) uniform Push {
  uint width;
  uint height;
  uint triangles;   // per instance
  uint has_colors;  // 0: every instance is white
  vec4 fog;
  float depth_scale;  // tan(near): clip z = depth_scale * s * (view w)
  float tan_h;
  float tan_v;
  float far_fs;
  uint light_count;  // lights[] read by the fragments; 0: the lamp at the eye alone
  uint tiled;        // 1: each fragment sheds only its tile's list
  uint tile_size;
  uint tiles_x;
  uint max_lights;   // per tile
} pc;
