// Double-precision arithmetic of the device, operation for operation the same
// as device_math.hpp on the host and as kova's kernel where it has a twin.
//
// Every double result goes into a `precise` local, and arguments of calls and
// constructors are plain locals: glslang only marks an operation NoContraction
// when its value flows into a precise variable, and a fused multiply-add
// would change the bits. A build-time test scans the SPIR-V for that mark.

const double kPio2Hi = 1.5707963267948966LF;
const double kPio2Lo = 6.123233995736766e-17LF;
const double kZeroNorm = 1e-15LF;

// acos on [-1, 1]: the rational approximation of fdlibm's e_acos.
double deviceAcos(double x) {
  const double pS0 = 0.16666666666666666LF, pS1 = -0.3255658186224009LF,
               pS2 = 0.20121253213486293LF, pS3 = -0.04005553450067941LF,
               pS4 = 0.0007915349942898145LF, pS5 = 3.479331075960212e-05LF;
  const double qS1 = -2.403394911734414LF, qS2 = 2.0209457602335057LF,
               qS3 = -0.6882839716054533LF, qS4 = 0.07703815055590194LF;
  precise double ax = abs(x);
  if (ax >= 1.0LF) {
    if (x == 1.0LF) return 0.0LF;
    precise double pi = 2.0LF * kPio2Hi + 2.0LF * kPio2Lo;
    if (x == -1.0LF) return pi;
    precise double nan = (x - x) / (x - x);
    return nan;
  }
  if (ax < 0.5LF) {
    if (ax <= 6.938893903907228e-18LF) return kPio2Hi + kPio2Lo;  // 2^-57
    precise double z = x * x;
    precise double p = z * (pS0 + z * (pS1 + z * (pS2 + z * (pS3 + z * (pS4 + z * pS5)))));
    precise double q = 1.0LF + z * (qS1 + z * (qS2 + z * (qS3 + z * qS4)));
    precise double r = p / q;
    precise double out0 = kPio2Hi - (x - (kPio2Lo - x * r));
    return out0;
  }
  if (x < 0.0LF) {
    precise double z = (1.0LF + x) * 0.5LF;
    precise double p = z * (pS0 + z * (pS1 + z * (pS2 + z * (pS3 + z * (pS4 + z * pS5)))));
    precise double q = 1.0LF + z * (qS1 + z * (qS2 + z * (qS3 + z * qS4)));
    precise double s = sqrt(z);
    precise double r = p / q;
    precise double w = r * s - kPio2Lo;
    precise double out1 = 2.0LF * kPio2Hi - 2.0LF * (s + w);
    return out1;
  }
  precise double z = (1.0LF - x) * 0.5LF;
  precise double s = sqrt(z);
  // s with its low 32 bits cleared, so that df * df is exact.
  uvec2 bits = unpackDouble2x32(s);
  precise double df = packDouble2x32(uvec2(0u, bits.y));
  precise double c = (z - df * df) / (s + df);
  precise double p = z * (pS0 + z * (pS1 + z * (pS2 + z * (pS3 + z * (pS4 + z * pS5)))));
  precise double q = 1.0LF + z * (qS1 + z * (qS2 + z * (qS3 + z * qS4)));
  precise double r = p / q;
  precise double w = r * s + c;
  precise double out2 = 2.0LF * (df + w);
  return out2;
}

// sin on [0, pi/2], the only range the geodesic tessellation needs: fdlibm's
// sine kernel below pi/4, its cosine kernel of pi/2 - x above.
double deviceSin(double x) {
  if (x <= 0.7853981633974483LF) {
    precise double z = x * x;
    precise double v = z * x;
    precise double r = 0.00833333333332249LF +
                       z * (-0.0001984126982985795LF +
                            z * (2.7557313707070068e-06LF +
                                 z * (-2.5050760253406863e-08LF + z * 1.58969099521155e-10LF)));
    precise double out0 = x + v * (-0.16666666666666632LF + z * r);
    return out0;
  }
  precise double t = 1.5707963267341256LF - x;  // exact: x is within a factor 2 of it
  precise double hi = t + 6.077100506506192e-11LF;
  precise double lo = (t - hi) + 6.077100506506192e-11LF;
  precise double z = hi * hi;
  precise double r = z * (0.0416666666666666LF +
                          z * (-0.001388888888887411LF +
                               z * (2.480158728947673e-05LF +
                                    z * (-2.7557314351390663e-07LF +
                                         z * (2.087572321298175e-09LF +
                                              z * -1.1359647557788195e-11LF)))));
  precise double hz = 0.5LF * z;
  precise double w = 1.0LF - hz;
  precise double out1 = w + (((1.0LF - w) - hz) + (z * r - hi * lo));
  return out1;
}

// tan(near) cot(theta) in single precision, theta taken into [0, pi/2]:
// twin of depthFactor in kova_device_raster.hpp.
float deviceDepthFactor(double theta, double depth_scale) {
  double t = theta < 0.0LF ? 0.0LF : (theta > kPio2Hi ? kPio2Hi : theta);
  double s = deviceSin(t);
  precise double ct = kPio2Hi - t;
  double c = deviceSin(ct);
  precise double q = c / s;
  precise double k = depth_scale * q;
  return float(k);
}

// ((x*x + y*y) + z*z) + w*w, then the square root.
double deviceNorm(dvec4 v) {
  precise double s = ((v.x * v.x + v.y * v.y) + v.z * v.z) + v.w * v.w;
  precise double n = sqrt(s);
  return n;
}

double deviceDot(dvec4 a, dvec4 b) {
  precise double s = ((a.x * b.x + a.y * b.y) + a.z * b.z) + a.w * b.w;
  return s;
}

bool deviceFinite(dvec4 v) { return !any(isinf(v)) && !any(isnan(v)); }

// v scaled by the power of two that brings its largest coordinate into [1, 2):
// exact, so only the direction is left and no square can overflow.
dvec4 deviceUnitSized(dvec4 v) {
  double largest = max(max(abs(v.x), abs(v.y)), max(abs(v.z), abs(v.w)));
  int e;
  double mantissa = frexp(largest, e);
  ivec4 shift = ivec4(1 - e);
  dvec4 scaled = ldexp(v, shift);
  return scaled;
}

// Fubini-Study distance in radians, with the kernel's fallbacks: 0 for a
// vector shorter than 1e-15, and 0 when the cosine is NaN. Finite vectors whose
// norms or dot product overflow are rescaled first, as the kernel does, so the
// distance does not depend on their scale.
double deviceFsDistance(dvec4 a, dvec4 b) {
  double na = deviceNorm(a);
  double nb = deviceNorm(b);
  if (na < kZeroNorm || nb < kZeroNorm) return 0.0LF;
  double dot = abs(deviceDot(a, b));
  precise double den = na * nb;
  precise double d = dot / den;
  if ((isinf(den) || isinf(dot)) && deviceFinite(a) && deviceFinite(b)) {
    dvec4 sa = deviceUnitSized(a);
    dvec4 sb = deviceUnitSized(b);
    double sna = deviceNorm(sa);
    double snb = deviceNorm(sb);
    double sdot = abs(deviceDot(sa, sb));
    precise double sden = sna * snb;
    precise double sd = sdot / sden;
    d = sd;
  }
  double c = d < 1.0LF ? d : 1.0LF;
  return deviceAcos(c);
}

// The transform's columns are m[4c .. 4c+3]; each coordinate sums
// ((0 + col0 * x) + col1 * y) + col2 * z) + col3 * w.
dvec4 deviceApply(double m[16], dvec4 v) {
  precise double x = (((0.0LF + m[0] * v.x) + m[4] * v.y) + m[8] * v.z) + m[12] * v.w;
  precise double y = (((0.0LF + m[1] * v.x) + m[5] * v.y) + m[9] * v.z) + m[13] * v.w;
  precise double z = (((0.0LF + m[2] * v.x) + m[6] * v.y) + m[10] * v.z) + m[14] * v.w;
  precise double w = (((0.0LF + m[3] * v.x) + m[7] * v.y) + m[11] * v.z) + m[15] * v.w;
  return dvec4(x, y, z, w);
}

// The unit vector of v, with the kernel's fallback (0, 0, 0, 1) below 1e-15
// and its rescaling when the squares of finite coordinates overflow.
dvec4 deviceNormalize(dvec4 v) {
  double n = deviceNorm(v);
  if (n < kZeroNorm) return dvec4(0.0LF, 0.0LF, 0.0LF, 1.0LF);
  bool finite = !any(isinf(v)) && !any(isnan(v));
  if (isinf(n) && n > 0.0LF && finite) {
    double scale = packDouble2x32(uvec2(0u, uint(1023 - 600) << 20));  // 2^-600
    precise double sx = v.x * scale, sy = v.y * scale, sz = v.z * scale, sw = v.w * scale;
    dvec4 s = dvec4(sx, sy, sz, sw);
    double ns = deviceNorm(s);
    precise double ox = sx / ns, oy = sy / ns, oz = sz / ns, ow = sw / ns;
    return dvec4(ox, oy, oz, ow);
  }
  precise double ox = v.x / n, oy = v.y / n, oz = v.z / n, ow = v.w / n;
  return dvec4(ox, oy, oz, ow);
}

// The camera block: entry 0 of the transform buffer is the view transform,
// entry 1 holds observer (4 values), tan_h, tan_v, near_fs and far_fs.
struct Camera {
  double view[16];
  dvec4 observer;
  double tan_h, tan_v, near_fs, far_fs;
};

// Depth of a point at distance d: 0 at or inside near, 1 at or beyond far.
double deviceDepth(double d, double near_fs, double far_fs) {
  if (near_fs >= d) return 0.0LF;
  if (d >= far_fs) return 1.0LF;
  precise double t = (d - near_fs) / (far_fs - near_fs);
  return t;
}

// Pixel position of the central projection of p, with ok = false where the
// host's rasteriser does not project (behind the eye plane, too far out).
struct Projected {
  bool ok;
  double x, y;
};

Projected deviceProject(Camera cam, dvec4 p, uint width, uint height) {
  Projected out0 = Projected(false, 0.0LF, 0.0LF);
  dvec4 v = deviceApply(cam.view, p);
  if (v.w < 0.0LF) v = -v;
  precise double ahead = -v.z;
  if (!(ahead > 1e-12LF)) return out0;
  precise double sx = v.x / (ahead * cam.tan_h);
  precise double sy = v.y / (ahead * cam.tan_v);
  if (!(abs(sx) < 1e6LF && abs(sy) < 1e6LF)) return out0;
  double w = double(width), h = double(height);
  precise double px = (sx * 0.5LF + 0.5LF) * w;
  precise double py = (0.5LF - sy * 0.5LF) * h;
  out0.ok = true;
  out0.x = px;
  out0.y = py;
  return out0;
}
