#version 460
// A pixel of a point's disk: depth is the projective depth of the point's
// distance along the pixel's ray, colour the FS-depth ramp, and the kind
// image records a point.
layout(location = 0) flat in ivec4 splat;
layout(location = 1) flat in vec4 ray_params;
layout(location = 2) flat in vec2 image_size;
layout(location = 0) out vec4 color;
layout(location = 1) out uint kind;

vec3 depthColor(float depth) {
  float t = clamp(depth, 0.0, 1.0);
  const vec3 near_rgb = vec3(1.0, 0.92, 0.6);
  const vec3 mid_rgb = vec3(1.0, 0.35, 0.45);
  const vec3 far_rgb = vec3(0.25, 0.3, 0.9);
  float fade = pow(1.0 - t, 0.8);
  vec3 c = t < 0.35 ? near_rgb + (mid_rgb - near_rgb) * (t / 0.35)
                    : mid_rgb + (far_rgb - mid_rgb) * ((t - 0.35) / 0.65);
  return c * (0.15 + 0.85 * fade);
}

void main() {
  int dx = int(gl_FragCoord.x) - splat.x;
  int dy = int(gl_FragCoord.y) - splat.y;
  int r = splat.z;
  if (dx * dx + dy * dy > r * r + r) discard;
  float z = intBitsToFloat(splat.w);
  // The stored depth of the point's distance along this pixel's ray
  // (depthFromRay in kova_device_raster.hpp); above 1 is nearer than the
  // near bound and not drawn.
  precise float rx = ((2.0 * gl_FragCoord.x) / image_size.x - 1.0) * ray_params.y;
  precise float ry = (1.0 - (2.0 * gl_FragCoord.y) / image_size.y) * ray_params.z;
  precise float len = sqrt(rx * rx + ry * ry + 1.0);
  precise float stored = ray_params.x * len;
  if (!(stored <= 1.0)) discard;
  gl_FragDepth = stored;
  color = vec4(depthColor(z), 1.0);
  kind = 1u;
}
