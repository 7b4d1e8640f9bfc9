// The raster pipelines' viewport: the image widened by kPad pixels on every
// side (the largest splat radius is 3), with the scissor at the image.
const int kPad = 4;

// Clip position of the centre of pixel (x, y) of a width x height image.
vec4 pixelCentre(int x, int y, uint width, uint height) {
  float w = float(int(width) + 2 * kPad);
  float h = float(int(height) + 2 * kPad);
  return vec4((float(x + kPad) + 0.5) / w * 2.0 - 1.0, (float(y + kPad) + 0.5) / h * 2.0 - 1.0,
              0.0, 1.0);
}
