// What the triangle pipeline's two stages share: the draw's buffers and its
// push constants.
layout(std430, set = 0, binding = 0) readonly buffer CameraBlock { double camera[32]; };
layout(std430, set = 0, binding = 1) readonly buffer Colors { double colors[]; };
layout(std430, set = 0, binding = 2) readonly buffer Vertices { dvec4 vertices[]; };
layout(std430, set = 0, binding = 3) readonly buffer Indices { uint indices[]; };
layout(std430, set = 0, binding = 4) readonly buffer Instances { double transforms[]; };
layout(std430, set = 0, binding = 5) buffer Drawn { uint drawn[]; };  // one flag per triangle
layout(push_constant) uniform Push {
  uint width;
  uint height;
  uint triangles;   // per instance
  uint has_colors;  // 0: every instance is white
} pc;
