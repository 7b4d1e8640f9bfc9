#version 460
// An arc pixel: the command's colour dimmed with depth, or for an isometric
// view faded into the fog colour as the triangles are (the colour factor the
// walk computed), at the stored depth of its distance along this pixel's ray.
layout(location = 0) flat in vec2 factors;
layout(location = 0) out vec4 color;
layout(location = 1) out uint kind;
layout(push_constant) uniform Push {
  vec4 rgb;
  vec4 fog;
  uint width;
  uint height;
  uint isometric;
  float tan_h;
  float tan_v;
} pc;

void main() {
  // pixelDepth in kova_device_raster.hpp; above 1 is nearer than the near
  // bound and not drawn.
  precise float rx = ((2.0 * gl_FragCoord.x) / float(pc.width) - 1.0) * pc.tan_h;
  precise float ry = (1.0 - (2.0 * gl_FragCoord.y) / float(pc.height)) * pc.tan_v;
  precise float len = sqrt(rx * rx + ry * ry + 1.0);
  precise float stored = factors.x * len;
  if (!(stored <= 1.0)) discard;
  gl_FragDepth = stored;
  kind = 2u;
  float f = factors.y;
  if (pc.isometric != 0u) {
    precise vec3 faded = pc.rgb.rgb + (pc.fog.rgb - pc.rgb.rgb) * f;
    color = vec4(faded, 1.0);
    return;
  }
  color = vec4(pc.rgb.rgb * f, 1.0);
}
