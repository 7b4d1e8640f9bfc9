// What the arc line pipeline's two stages share: the ends and the push
// constants.
layout(std430, set = 0, binding = 0) readonly buffer Ends { vec4 ends[]; };  // 2 per arc
layout(push_constant) uniform Push {
  vec4 rgb;
  vec4 fog;
  uint width;
  uint height;
  float depth_scale;  // tan(near)
  float tan_h;
  float tan_v;
  float near_fs;
  float far_fs;
} pc;
