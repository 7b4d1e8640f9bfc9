// frustumCull and projectiveClip: one pass over the points, one flag per point.
//
// Both loops evaluate every plane for every point instead of stopping at the
// first failing one. Evaluation has no side effect, so the flags are exactly
// those of the early-exit test, and the loop has no data-dependent branch to
// mispredict on mixed visibility. A clip is a cull by one plane: both run the
// same loop, templated on the plane count. Where the processor has AVX-512 (or
// AVX2), eight (or four) points are evaluated at once with the same
// multiplications and additions in the same order per point (never fused) and
// an ordered compare, so the vector paths are bit-identical too.
#include <array>
#include <cassert>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "kova_renderer.hpp"

#if defined(__x86_64__) && defined(__GNUC__) && __has_include(<immintrin.h>)
#include <immintrin.h>
#define KOVA_HAVE_AVX2_PATH 1
#define KOVA_AVX2 __attribute__((target("avx2")))
#define KOVA_AVX512 __attribute__((target("avx512f")))
#else
#define KOVA_HAVE_AVX2_PATH 0
#endif

namespace kova_renderer {

namespace {

using detail::BatchPath;
using detail::BatchPrefetch;

static_assert(sizeof(HomVec4) == 32, "a point is four packed doubles");

// ---- the portable loop ----

template <std::size_t kPlanes>
std::uint32_t portableLoop(const ProjectiveHyperplane* planes, const HomVec4* positions, bool* mask,
                           std::size_t n) noexcept {
  std::array<ProjectiveHyperplane, kPlanes> pl;
  for (std::size_t k = 0; k < kPlanes; ++k) pl[k] = planes[k];
  std::uint32_t count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const HomVec4 p = positions[i];
    // Non-short-circuit &: every plane, no branch.
    unsigned visible = 1;
    for (std::size_t k = 0; k < kPlanes; ++k) visible &= unsigned{pl[k].isVisible(p)};
    mask[i] = visible != 0;
    count += visible;
  }
  return count;
}

// ---- the vector loops ----

// Points this far ahead are requested early where that helps: see
// prefetchHelps.
constexpr std::size_t kPrefetchAhead = 2048 / sizeof(HomVec4);

// Below this many points the array is expected to sit in the caches, where
// prefetch instructions only take load slots (2 MiB would fit in L2; 256 KiB
// keeps a margin for whatever else is cached).
constexpr std::size_t kPrefetchFrom = (256 * 1024) / sizeof(HomVec4);

// The vector test with several planes folds the last addition into the
// comparison:
//   ((a x + b y) + c z) + d w >= 0   <=>   (a x + b y) + c z >= (-d) w.
// Both sides are exact roundings of the same terms ((-d) w is exactly
// -(d w)), and the sum of two finite doubles rounds to a value >= 0 exactly
// when the exact sum is >= 0 (a nonzero sum of doubles is never so small that
// it rounds to -0.0), so the flags agree whenever d w is finite; an infinite
// or NaN left side gives the same answer in both forms. Only d w = -inf with a
// left side of +inf (inf - inf is NaN, not visible) would differ, so the folded
// test is used only for groups whose every |w| keeps all d w finite. With one
// plane the check costs what the fold saves, so a clip keeps the plain test.
template <std::size_t kPlanes>
constexpr bool kFoldLastTerm = kPlanes > 1;

// The bound on |w| that keeps every d w finite; NaN (a NaN d) turns the folded
// test off.
template <std::size_t kPlanes>
double foldedWLimit(const ProjectiveHyperplane* planes) noexcept {
  constexpr double kMax = std::numeric_limits<double>::max();
  double d_max = 0.0;
  for (std::size_t k = 0; k < kPlanes; ++k) {
    const double m = planes[k].d < 0.0 ? -planes[k].d : planes[k].d;
    if (!(m <= d_max)) d_max = m;  // a NaN d stays in d_max
  }
  // |d w| <= d_max * (kMax / d_max) * (1 + 2^-53) / 2 < kMax: the product
  // cannot round to infinity. For tiny d_max the quotient is infinite and the
  // limit stays finite so that an infinite w still takes the plain test.
  const double limit = (kMax / d_max) * 0.5;
  return limit > kMax ? kMax : limit;
}

#if KOVA_HAVE_AVX2_PATH

constexpr std::int64_t kAbsBits = 0x7FFF'FFFF'FFFF'FFFF;  // all but the sign bit

// -- AVX2: four points at once; a flag is an all-ones lane --

// Entry k: four bool bytes (0 or 1) for the four lane bits of k, lane 0 at the
// lowest address (x86 is little-endian).
constexpr std::array<std::uint32_t, 16> kLaneBytes4 = [] {
  std::array<std::uint32_t, 16> t{};
  for (std::uint32_t k = 0; k < 16; ++k) {
    for (std::uint32_t lane = 0; lane < 4; ++lane) {
      if (k & (1u << lane)) t[k] |= 1u << (8 * lane);
    }
  }
  return t;
}();

struct Avx2Lanes {
  static constexpr std::size_t kWidth = 4;
  using Vec = __m256d;
  using Flags = __m256d;
  struct Points {  // one register per coordinate
    Vec x, y, z, w;
  };

  KOVA_AVX2 static Vec splat(double v) noexcept { return _mm256_set1_pd(v); }
  KOVA_AVX2 static Vec mul(Vec a, Vec b) noexcept { return _mm256_mul_pd(a, b); }
  KOVA_AVX2 static Vec add(Vec a, Vec b) noexcept { return _mm256_add_pd(a, b); }
  KOVA_AVX2 static Vec abs(Vec v) noexcept {
    return _mm256_and_pd(v, _mm256_castsi256_pd(_mm256_set1_epi64x(kAbsBits)));
  }
  // The lanes with lhs >= rhs (ordered: NaN is false), of all or of `keep`.
  KOVA_AVX2 static Flags atLeast(Vec lhs, Vec rhs) noexcept {
    return _mm256_cmp_pd(lhs, rhs, _CMP_GE_OQ);
  }
  KOVA_AVX2 static Flags keepAtLeast(Flags keep, Vec lhs, Vec rhs) noexcept {
    return _mm256_and_pd(keep, _mm256_cmp_pd(lhs, rhs, _CMP_GE_OQ));
  }
  // Whether v <= limit in every lane (ordered).
  KOVA_AVX2 static bool allAtMost(Vec v, Vec limit) noexcept {
    return _mm256_movemask_pd(_mm256_cmp_pd(v, limit, _CMP_LE_OQ)) == 0xF;
  }

  // Two halves loaded straight into place (x0 y0 | x2 y2 and so on), which
  // needs half the cross-lane shuffles of a transpose of whole points.
  KOVA_AVX2 static Vec loadPair(const double* lo, const double* hi) noexcept {
    return _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(lo)), _mm_loadu_pd(hi), 1);
  }
  KOVA_AVX2 static Points load(const HomVec4* p) noexcept {
    const Vec xy02 = loadPair(&p[0].x, &p[2].x);  // x0 y0 x2 y2
    const Vec xy13 = loadPair(&p[1].x, &p[3].x);  // x1 y1 x3 y3
    const Vec zw02 = loadPair(&p[0].z, &p[2].z);
    const Vec zw13 = loadPair(&p[1].z, &p[3].z);
    return {_mm256_unpacklo_pd(xy02, xy13), _mm256_unpackhi_pd(xy02, xy13),
            _mm256_unpacklo_pd(zw02, zw13), _mm256_unpackhi_pd(zw02, zw13)};
  }

  // Writes the four flags and returns how many are set.
  KOVA_AVX2 static std::uint32_t store(Flags flags, bool* mask) noexcept {
    const int bits = _mm256_movemask_pd(flags);
    std::memcpy(mask, &kLaneBytes4[static_cast<std::size_t>(bits)], kWidth);
    return static_cast<std::uint32_t>(std::popcount(static_cast<unsigned>(bits)));
  }
};

// -- AVX-512: eight points at once; a flag is a mask bit --

// Avx512Lanes::load leaves the points in lane order 0 2 1 3 4 6 5 7.
constexpr std::array<unsigned, 8> kLanePoint = {0, 2, 1, 3, 4, 6, 5, 7};

// Entry k: eight bool bytes (0 or 1), point order, for the lane bits k.
constexpr std::array<std::uint64_t, 256> kLaneBytes8 = [] {
  std::array<std::uint64_t, 256> t{};
  for (std::uint64_t k = 0; k < 256; ++k) {
    for (unsigned lane = 0; lane < 8; ++lane) {
      if (k & (1u << lane)) t[k] |= std::uint64_t{1} << (8 * kLanePoint[lane]);
    }
  }
  return t;
}();

struct Avx512Lanes {
  static constexpr std::size_t kWidth = 8;
  using Vec = __m512d;
  using Flags = __mmask8;
  struct Points {  // one register per coordinate
    Vec x, y, z, w;
  };

  KOVA_AVX512 static Vec splat(double v) noexcept { return _mm512_set1_pd(v); }
  KOVA_AVX512 static Vec mul(Vec a, Vec b) noexcept { return _mm512_mul_pd(a, b); }
  KOVA_AVX512 static Vec add(Vec a, Vec b) noexcept { return _mm512_add_pd(a, b); }
  KOVA_AVX512 static Vec abs(Vec v) noexcept {
    return _mm512_castsi512_pd(
        _mm512_and_epi64(_mm512_castpd_si512(v), _mm512_set1_epi64(kAbsBits)));
  }
  // The lanes with lhs >= rhs (ordered: NaN is false), of all or of `keep`.
  KOVA_AVX512 static Flags atLeast(Vec lhs, Vec rhs) noexcept {
    return _mm512_cmp_pd_mask(lhs, rhs, _CMP_GE_OQ);
  }
  KOVA_AVX512 static Flags keepAtLeast(Flags keep, Vec lhs, Vec rhs) noexcept {
    return _mm512_mask_cmp_pd_mask(keep, lhs, rhs, _CMP_GE_OQ);
  }
  // Whether v <= limit in every lane (ordered).
  KOVA_AVX512 static bool allAtMost(Vec v, Vec limit) noexcept {
    return _mm512_cmp_pd_mask(v, limit, _CMP_LE_OQ) == 0xFF;
  }

  // Four consecutive points starting at `d`, two coordinates each: the x y (or,
  // from d + 2, the z w) pairs of points 0 and 1 come from a plain load, those
  // of points 2 and 3 are blended in by a masked load of an overlapping window,
  // so the first half of the transpose is done by the load ports:
  //   xy: x0 y0 x2 y2 x1 y1 x3 y3.
  // The masked load touches only the lanes it keeps, all inside the four points.
  KOVA_AVX512 static Vec loadPairs4(const double* d) noexcept {
    return _mm512_mask_loadu_pd(_mm512_loadu_pd(d), 0xCC, d + 6);
  }
  // Eight consecutive points; the lanes hold the points in the order kLanePoint.
  KOVA_AVX512 static Points load(const HomVec4* p) noexcept {
    const double* d = &p[0].x;
    const Vec xy03 = loadPairs4(d);  // x0 y0 x2 y2 x1 y1 x3 y3
    const Vec zw03 = loadPairs4(d + 2);
    const Vec xy47 = loadPairs4(d + 16);
    const Vec zw47 = loadPairs4(d + 18);
    const __m512i even = _mm512_set_epi64(14, 12, 10, 8, 6, 4, 2, 0);
    const __m512i odd = _mm512_set_epi64(15, 13, 11, 9, 7, 5, 3, 1);
    return {_mm512_permutex2var_pd(xy03, even, xy47), _mm512_permutex2var_pd(xy03, odd, xy47),
            _mm512_permutex2var_pd(zw03, even, zw47), _mm512_permutex2var_pd(zw03, odd, zw47)};
  }

  // Writes the eight flags and returns how many are set.
  KOVA_AVX512 static std::uint32_t store(Flags flags, bool* mask) noexcept {
    std::memcpy(mask, &kLaneBytes8[flags], kWidth);
    return static_cast<std::uint32_t>(std::popcount(static_cast<unsigned>(flags)));
  }
};

namespace avx2 {
using Lanes = Avx2Lanes;
#define KOVA_LANE_TARGET KOVA_AVX2
#include "kova_renderer_batch_loop.inc"
#undef KOVA_LANE_TARGET
}  // namespace avx2

namespace avx512 {
using Lanes = Avx512Lanes;
#define KOVA_LANE_TARGET KOVA_AVX512
#include "kova_renderer_batch_loop.inc"
#undef KOVA_LANE_TARGET
}  // namespace avx512

bool avx512Supported() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f");
}

bool avx2Supported() noexcept {
  __builtin_cpu_init();  // idempotent; makes the check valid even before static constructors
  return __builtin_cpu_supports("avx2");
}

#else

bool avx2Supported() noexcept { return false; }
bool avx512Supported() noexcept { return false; }

#endif

BatchPath fastestPath() noexcept {
  if (avx512Supported()) return BatchPath::avx512;
  return avx2Supported() ? BatchPath::avx2 : BatchPath::portable;
}

// Whether a request for every cache line kPrefetchAhead ahead speeds up a
// stream from memory; measured with kova_bench on 16 M points against the plain
// streaming read of the same bytes. On an Intel Xeon one core keeps too few
// misses in flight on the hardware prefetcher alone: the requests lift the read
// by 40-60 %, and the loops from 0.93-1.0 (cull) of the plain read to 1.3-1.5.
// On AMD Zen 4 the hardware prefetcher alone streams at over three times that
// rate and the same requests cost 10 % of a plain read, so there, and on other
// vendors' processors, the loops stream without them. One request per 4 KiB
// page, which would cost almost nothing anywhere, brought the Xeon nothing.
bool prefetchHelps() noexcept {
#if KOVA_HAVE_AVX2_PATH
  __builtin_cpu_init();
  return __builtin_cpu_is("intel") != 0;
#else
  return false;
#endif
}

// Whether the vector loop requests points kPrefetchAhead ahead.
bool prefetchAhead(BatchPrefetch prefetch, std::size_t n) noexcept {
  switch (prefetch) {
    case BatchPrefetch::none:
      return false;
    case BatchPrefetch::ahead:
      return true;
    case BatchPrefetch::automatic:
      break;
  }
  return n >= kPrefetchFrom && prefetchHelps();
}

// The first min(positions, mask) points through `path` (the portable loop when
// the processor lacks it), the remainder of whole vector groups portably.
template <std::size_t kPlanes>
std::uint32_t classify(BatchPath path, BatchPrefetch prefetch,
                       const std::array<ProjectiveHyperplane, kPlanes>& planes,
                       std::span<const HomVec4> positions, std::span<bool> mask) noexcept {
  const std::size_t n = positions.size() < mask.size() ? positions.size() : mask.size();
  // The caller keeps counts within 32 bits; a mask shorter than the points is
  // allowed and classifies only the points it covers.
  assert(n <= std::numeric_limits<std::uint32_t>::max() && "kova: more points than a 32-bit count");
  const HomVec4* p = positions.data();
  bool* m = mask.data();
  std::size_t done = 0;
  std::uint32_t count = 0;
#if KOVA_HAVE_AVX2_PATH
  const bool ahead = prefetchAhead(prefetch, n);
  if (path == BatchPath::avx512 && avx512Supported()) {
    count = avx512::batchLoop<kPlanes>(planes.data(), p, m, n, ahead, done);
  } else if (path == BatchPath::avx2 && avx2Supported()) {
    count = avx2::batchLoop<kPlanes>(planes.data(), p, m, n, ahead, done);
  }
#else
  (void)path;
  (void)prefetch;
#endif
  return count + portableLoop<kPlanes>(planes.data(), p + done, m + done, n - done);
}

}  // namespace

namespace detail {

bool batchPathAvailable(BatchPath path) noexcept {
  switch (path) {
    case BatchPath::portable:
      return true;
    case BatchPath::avx2:
      return avx2Supported();
    case BatchPath::avx512:
      return avx512Supported();
  }
  return false;
}

std::uint32_t frustumCullWith(BatchPath path, const KovaFrustum& frustum,
                              std::span<const HomVec4> positions, std::span<bool> visible_mask,
                              BatchPrefetch prefetch) noexcept {
  return classify<4>(path, prefetch, frustum.planes, positions, visible_mask);
}

std::uint32_t projectiveClipWith(BatchPath path, const ProjectiveHyperplane& plane,
                                 std::span<const HomVec4> positions, std::span<bool> visible_mask,
                                 BatchPrefetch prefetch) noexcept {
  return classify<1>(path, prefetch, {plane}, positions, visible_mask);
}

}  // namespace detail

std::uint32_t frustumCull(const KovaFrustum& frustum, std::span<const HomVec4> positions,
                          std::span<bool> visible_mask) noexcept {
  return detail::frustumCullWith(fastestPath(), frustum, positions, visible_mask);
}

std::uint32_t projectiveClip(const ProjectiveHyperplane& plane, std::span<const HomVec4> positions,
                             std::span<bool> visible_mask) noexcept {
  return detail::projectiveClipWith(fastestPath(), plane, positions, visible_mask);
}

}  // namespace kova_renderer
