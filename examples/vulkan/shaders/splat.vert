#version 460
// One quad per point, covering the pixels [cx - r, cx + r] x [cy - r, cy + r];
// the fragment shader keeps the round disk. Skipped points collapse to nothing.
layout(std430, set = 0, binding = 0) readonly buffer Splats { ivec4 splats[]; };
layout(push_constant) uniform Push {
  uint width;
  uint height;
  uint first;  // offset of this draw's splats
} pc;
layout(location = 0) flat out ivec4 splat;

void main() {
  splat = splats[pc.first + uint(gl_InstanceIndex)];
  if (splat.z < 0) {
    gl_Position = vec4(-2.0, -2.0, 0.0, 1.0);
    return;
  }
  int corner = gl_VertexIndex;  // triangle strip: (0,0) (1,0) (0,1) (1,1)
  float px = float((corner & 1) != 0 ? splat.x + splat.z + 1 : splat.x - splat.z);
  float py = float((corner & 2) != 0 ? splat.y + splat.z + 1 : splat.y - splat.z);
  gl_Position = vec4(px / float(pc.width) * 2.0 - 1.0, py / float(pc.height) * 2.0 - 1.0, 0.0, 1.0);
}
