// frustumCull and projectiveClip: one pass over the points, one flag per point.
//
// Both loops evaluate every plane for every point instead of stopping at the
// first failing one. Evaluation has no side effect, so the flags are exactly
// those of the early-exit test, and the loop has no data-dependent branch to
// mispredict on mixed visibility. Where the processor has AVX-512 (or AVX2),
// eight (or four) points are evaluated at once with the same multiplications
// and additions in the same order per point (never fused) and an ordered
// compare, so the vector paths are bit-identical too.
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
#else
#define KOVA_HAVE_AVX2_PATH 0
#endif

namespace kova_renderer {

namespace {

using detail::BatchPath;

static_assert(sizeof(HomVec4) == 32, "a point is four packed doubles");

// ---- portable loops ----

std::uint32_t cullPortable(const KovaFrustum& frustum, const HomVec4* positions, bool* mask,
                           std::size_t n) noexcept {
  const ProjectiveHyperplane p0 = frustum.planes[0];
  const ProjectiveHyperplane p1 = frustum.planes[1];
  const ProjectiveHyperplane p2 = frustum.planes[2];
  const ProjectiveHyperplane p3 = frustum.planes[3];
  std::uint32_t count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const HomVec4 p = positions[i];
    // Non-short-circuit &: all four planes, no branch.
    const unsigned visible = unsigned{p0.isVisible(p)} & unsigned{p1.isVisible(p)} &
                             unsigned{p2.isVisible(p)} & unsigned{p3.isVisible(p)};
    mask[i] = visible != 0;
    count += visible;
  }
  return count;
}

std::uint32_t clipPortable(const ProjectiveHyperplane& plane, const HomVec4* positions, bool* mask,
                           std::size_t n) noexcept {
  const ProjectiveHyperplane pl = plane;
  std::uint32_t count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const bool visible = pl.isVisible(positions[i]);
    mask[i] = visible;
    count += static_cast<std::uint32_t>(visible);
  }
  return count;
}

#if KOVA_HAVE_AVX2_PATH

// Entry k: four bool bytes (0 or 1) for the four lane bits of k, lane 0 at the
// lowest address (x86 is little-endian).
constexpr std::array<std::uint32_t, 16> kLaneBytes = [] {
  std::array<std::uint32_t, 16> t{};
  for (std::uint32_t k = 0; k < 16; ++k) {
    for (std::uint32_t lane = 0; lane < 4; ++lane) {
      if (k & (1u << lane)) t[k] |= 1u << (8 * lane);
    }
  }
  return t;
}();

// Points 2 KiB ahead are requested early: the hardware prefetcher alone does
// not keep a streaming loop fed on every machine.
constexpr std::size_t kPrefetchAhead = 2048 / sizeof(HomVec4);
constexpr std::size_t kLanes = 4;

struct PlaneLanes {
  __m256d a, b, c, d;
};

KOVA_AVX2 inline PlaneLanes broadcast(const ProjectiveHyperplane& pl) noexcept {
  return {_mm256_set1_pd(pl.a), _mm256_set1_pd(pl.b), _mm256_set1_pd(pl.c), _mm256_set1_pd(pl.d)};
}

struct PointLanes {
  __m256d x, y, z, w;
};

// Four consecutive points, transposed into one register per coordinate. The
// halves are loaded straight into place (x0 y0 | x2 y2 and so on), which needs
// half the cross-lane shuffles of a transpose of whole points.
KOVA_AVX2 inline __m256d loadPair(const double* lo, const double* hi) noexcept {
  return _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(lo)), _mm_loadu_pd(hi), 1);
}

KOVA_AVX2 inline PointLanes loadFour(const HomVec4* p) noexcept {
  const __m256d xy02 = loadPair(&p[0].x, &p[2].x);  // x0 y0 x2 y2
  const __m256d xy13 = loadPair(&p[1].x, &p[3].x);  // x1 y1 x3 y3
  const __m256d zw02 = loadPair(&p[0].z, &p[2].z);
  const __m256d zw13 = loadPair(&p[1].z, &p[3].z);
  return {_mm256_unpacklo_pd(xy02, xy13), _mm256_unpackhi_pd(xy02, xy13),
          _mm256_unpacklo_pd(zw02, zw13), _mm256_unpackhi_pd(zw02, zw13)};
}

// Per lane: ((a x + b y) + c z) + d w >= 0.0, an ordered compare (NaN is false).
KOVA_AVX2 inline __m256d visibleLanes(const PlaneLanes& pl, const PointLanes& p) noexcept {
  const __m256d ax = _mm256_mul_pd(pl.a, p.x);
  const __m256d by = _mm256_mul_pd(pl.b, p.y);
  const __m256d cz = _mm256_mul_pd(pl.c, p.z);
  const __m256d dw = _mm256_mul_pd(pl.d, p.w);
  const __m256d v = _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(ax, by), cz), dw);
  return _mm256_cmp_pd(v, _mm256_setzero_pd(), _CMP_GE_OQ);
}

// Writes the four flags of `lanes` and returns how many are set.
KOVA_AVX2 inline std::uint32_t storeFlags(__m256d lanes, bool* mask) noexcept {
  const int bits = _mm256_movemask_pd(lanes);
  std::memcpy(mask, &kLaneBytes[static_cast<std::size_t>(bits)], kLanes);
  return static_cast<std::uint32_t>(std::popcount(static_cast<unsigned>(bits)));
}

KOVA_AVX2 inline void prefetch(const HomVec4* p) noexcept {
  // Four points are 128 bytes, two cache lines.
  _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0);
  _mm_prefetch(reinterpret_cast<const char*>(p + 2), _MM_HINT_T0);
}

KOVA_AVX2 inline __m256d frustumLanes(const PlaneLanes (&pl)[4], const PointLanes& p) noexcept {
  return _mm256_and_pd(_mm256_and_pd(visibleLanes(pl[0], p), visibleLanes(pl[1], p)),
                       _mm256_and_pd(visibleLanes(pl[2], p), visibleLanes(pl[3], p)));
}

KOVA_AVX2 std::uint32_t cullAvx2(const KovaFrustum& frustum, const HomVec4* positions, bool* mask,
                                 std::size_t n) noexcept {
  const PlaneLanes pl[4] = {broadcast(frustum.planes[0]), broadcast(frustum.planes[1]),
                            broadcast(frustum.planes[2]), broadcast(frustum.planes[3])};
  std::uint32_t count = 0;
  std::size_t i = 0;
  // The prefetch stays inside the array: the address is formed only while it is.
  for (; i + kPrefetchAhead + kLanes <= n; i += kLanes) {
    prefetch(positions + i + kPrefetchAhead);
    count += storeFlags(frustumLanes(pl, loadFour(positions + i)), mask + i);
  }
  for (; i + kLanes <= n; i += kLanes) {
    count += storeFlags(frustumLanes(pl, loadFour(positions + i)), mask + i);
  }
  return count + cullPortable(frustum, positions + i, mask + i, n - i);
}

KOVA_AVX2 std::uint32_t clipAvx2(const ProjectiveHyperplane& plane, const HomVec4* positions,
                                 bool* mask, std::size_t n) noexcept {
  const PlaneLanes pl = broadcast(plane);
  std::uint32_t count = 0;
  std::size_t i = 0;
  for (; i + kPrefetchAhead + kLanes <= n; i += kLanes) {
    prefetch(positions + i + kPrefetchAhead);
    count += storeFlags(visibleLanes(pl, loadFour(positions + i)), mask + i);
  }
  for (; i + kLanes <= n; i += kLanes) {
    count += storeFlags(visibleLanes(pl, loadFour(positions + i)), mask + i);
  }
  return count + clipPortable(plane, positions + i, mask + i, n - i);
}

// ---- AVX-512: eight points at once, the same operations per lane ----

#define KOVA_AVX512 __attribute__((target("avx512f")))

// loadEight leaves the points in lane order 0 2 1 3 4 6 5 7.
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
constexpr std::size_t kLanes8 = 8;
constexpr std::int64_t kAbsBits = 0x7FFF'FFFF'FFFF'FFFF;  // all but the sign bit

// Below this many points the array is expected to sit in the caches, where
// prefetch instructions only take load slots (2 MiB would fit in L2; 256 KiB
// keeps a margin for whatever else is cached).
constexpr std::size_t kPrefetchFrom8 = (256 * 1024) / sizeof(HomVec4);

struct PlaneLanes8 {
  __m512d a, b, c, d;
};

KOVA_AVX512 inline PlaneLanes8 broadcast8(const ProjectiveHyperplane& pl) noexcept {
  return {_mm512_set1_pd(pl.a), _mm512_set1_pd(pl.b), _mm512_set1_pd(pl.c), _mm512_set1_pd(pl.d)};
}

struct PointLanes8 {
  __m512d x, y, z, w;
};

// Four consecutive points starting at `d`, two coordinates each: the x y (or,
// from d + 2, the z w) pairs of points 0 and 1 come from a plain load, those of
// points 2 and 3 are blended in by a masked load of an overlapping window, so
// the first half of the transpose is done by the load ports:
//   xy: x0 y0 x2 y2 x1 y1 x3 y3.
// The masked load touches only the lanes it keeps, all inside the four points.
KOVA_AVX512 inline __m512d loadPairs4(const double* d) noexcept {
  return _mm512_mask_loadu_pd(_mm512_loadu_pd(d), 0xCC, d + 6);
}

// Eight consecutive points as one register per coordinate; the lanes hold
// the points in the order kLanePoint.
KOVA_AVX512 inline PointLanes8 loadEight(const HomVec4* p) noexcept {
  const double* d = &p[0].x;
  const __m512d xy03 = loadPairs4(d);  // x0 y0 x2 y2 x1 y1 x3 y3
  const __m512d zw03 = loadPairs4(d + 2);
  const __m512d xy47 = loadPairs4(d + 16);
  const __m512d zw47 = loadPairs4(d + 18);
  const __m512i even = _mm512_set_epi64(14, 12, 10, 8, 6, 4, 2, 0);
  const __m512i odd = _mm512_set_epi64(15, 13, 11, 9, 7, 5, 3, 1);
  return {_mm512_permutex2var_pd(xy03, even, xy47), _mm512_permutex2var_pd(xy03, odd, xy47),
          _mm512_permutex2var_pd(zw03, even, zw47), _mm512_permutex2var_pd(zw03, odd, zw47)};
}

// Lanes of `keep` for which ((a x + b y) + c z) + d w >= 0.0 (ordered: NaN is false).
KOVA_AVX512 inline __mmask8 visibleLanes8(__mmask8 keep, const PlaneLanes8& pl,
                                          const PointLanes8& p) noexcept {
  const __m512d ax = _mm512_mul_pd(pl.a, p.x);
  const __m512d by = _mm512_mul_pd(pl.b, p.y);
  const __m512d cz = _mm512_mul_pd(pl.c, p.z);
  const __m512d dw = _mm512_mul_pd(pl.d, p.w);
  const __m512d v = _mm512_add_pd(_mm512_add_pd(_mm512_add_pd(ax, by), cz), dw);
  return _mm512_mask_cmp_pd_mask(keep, v, _mm512_setzero_pd(), _CMP_GE_OQ);
}

KOVA_AVX512 inline std::uint32_t storeFlags8(__mmask8 lanes, bool* mask) noexcept {
  std::memcpy(mask, &kLaneBytes8[lanes], kLanes8);
  return static_cast<std::uint32_t>(std::popcount(static_cast<unsigned>(lanes)));
}

KOVA_AVX512 inline void prefetch8(const HomVec4* p) noexcept {
  // Eight points are 256 bytes, four cache lines.
  for (std::size_t k = 0; k < 8; k += 2) {
    _mm_prefetch(reinterpret_cast<const char*>(p + k), _MM_HINT_T0);
  }
}

KOVA_AVX512 inline __mmask8 frustumLanes8(const PlaneLanes8 (&pl)[4],
                                          const PointLanes8& p) noexcept {
  __mmask8 keep = visibleLanes8(0xFF, pl[0], p);
  keep = visibleLanes8(keep, pl[1], p);
  keep = visibleLanes8(keep, pl[2], p);
  return visibleLanes8(keep, pl[3], p);
}

// The frustum test with the last addition folded into the comparison:
//   ((a x + b y) + c z) + d w >= 0   <=>   (a x + b y) + c z >= (-d) w.
// Both sides are exact roundings of the same terms ((-d) w is exactly
// -(d w)), and the sum of two finite doubles rounds to a value >= 0 exactly
// when the exact sum is >= 0 (a nonzero sum of doubles is never so small that
// it rounds to -0.0), so the flags agree whenever d w is finite; an infinite
// or NaN left side gives the same answer in both forms. Only d w = -inf with a
// left side of +inf (inf - inf is NaN, not visible) would differ, so the folded
// test is used only for groups whose every |w| keeps all four d w finite.
struct FoldedFrustum {
  PlaneLanes8 pl[4];
  __m512d neg_d[4];
  __m512d w_limit;  // |w| <= w_limit keeps every d w finite; NaN turns the folded test off
};

inline double foldedWLimit(const KovaFrustum& frustum) noexcept {
  constexpr double kMax = std::numeric_limits<double>::max();
  double d_max = 0.0;
  for (const ProjectiveHyperplane& pl : frustum.planes) {
    const double m = pl.d < 0.0 ? -pl.d : pl.d;
    if (!(m <= d_max)) d_max = m;  // a NaN d stays in d_max
  }
  // |d w| <= d_max * (kMax / d_max) * (1 + 2^-53) / 2 < kMax: the product
  // cannot round to infinity. For tiny d_max the quotient is infinite and the
  // limit stays finite so that an infinite w still takes the plain test.
  const double limit = (kMax / d_max) * 0.5;
  return limit > kMax ? kMax : limit;
}

KOVA_AVX512 inline FoldedFrustum foldedFrustum(const KovaFrustum& f) noexcept {
  return {{broadcast8(f.planes[0]), broadcast8(f.planes[1]), broadcast8(f.planes[2]),
           broadcast8(f.planes[3])},
          {_mm512_set1_pd(-f.planes[0].d), _mm512_set1_pd(-f.planes[1].d),
           _mm512_set1_pd(-f.planes[2].d), _mm512_set1_pd(-f.planes[3].d)},
          _mm512_set1_pd(foldedWLimit(f))};
}

// Lanes of `keep` for which (a x + b y) + c z >= (-d) w (ordered).
KOVA_AVX512 inline __mmask8 foldedLanes8(__mmask8 keep, const PlaneLanes8& pl, __m512d neg_d,
                                         const PointLanes8& p) noexcept {
  const __m512d ax = _mm512_mul_pd(pl.a, p.x);
  const __m512d by = _mm512_mul_pd(pl.b, p.y);
  const __m512d cz = _mm512_mul_pd(pl.c, p.z);
  const __m512d ndw = _mm512_mul_pd(neg_d, p.w);
  return _mm512_mask_cmp_pd_mask(keep, _mm512_add_pd(_mm512_add_pd(ax, by), cz), ndw, _CMP_GE_OQ);
}

KOVA_AVX512 inline __mmask8 cullEight(const FoldedFrustum& f, const HomVec4* points) noexcept {
  const PointLanes8 p = loadEight(points);
  const __m512d abs_w =
      _mm512_castsi512_pd(_mm512_and_epi64(_mm512_castpd_si512(p.w), _mm512_set1_epi64(kAbsBits)));
  const __mmask8 finite_dw = _mm512_cmp_pd_mask(abs_w, f.w_limit, _CMP_LE_OQ);
  if (finite_dw != 0xFF) [[unlikely]] {
    return frustumLanes8(f.pl, p);
  }
  __mmask8 keep = foldedLanes8(0xFF, f.pl[0], f.neg_d[0], p);
  keep = foldedLanes8(keep, f.pl[1], f.neg_d[1], p);
  keep = foldedLanes8(keep, f.pl[2], f.neg_d[2], p);
  return foldedLanes8(keep, f.pl[3], f.neg_d[3], p);
}

KOVA_AVX512 std::uint32_t cullAvx512(const KovaFrustum& frustum, const HomVec4* positions,
                                     bool* mask, std::size_t n) noexcept {
  const FoldedFrustum f = foldedFrustum(frustum);
  std::uint32_t count = 0;
  std::size_t i = 0;
  if (n >= kPrefetchFrom8) {
    for (; i + kPrefetchAhead + kLanes8 <= n; i += kLanes8) {
      prefetch8(positions + i + kPrefetchAhead);
      count += storeFlags8(cullEight(f, positions + i), mask + i);
    }
  }
  for (; i + kLanes8 <= n; i += kLanes8) {
    count += storeFlags8(cullEight(f, positions + i), mask + i);
  }
  return count + cullPortable(frustum, positions + i, mask + i, n - i);
}

KOVA_AVX512 std::uint32_t clipAvx512(const ProjectiveHyperplane& plane, const HomVec4* positions,
                                     bool* mask, std::size_t n) noexcept {
  const PlaneLanes8 pl = broadcast8(plane);
  std::uint32_t count = 0;
  std::size_t i = 0;
  if (n >= kPrefetchFrom8) {
    for (; i + kPrefetchAhead + kLanes8 <= n; i += kLanes8) {
      prefetch8(positions + i + kPrefetchAhead);
      count += storeFlags8(visibleLanes8(0xFF, pl, loadEight(positions + i)), mask + i);
    }
  }
  for (; i + kLanes8 <= n; i += kLanes8) {
    count += storeFlags8(visibleLanes8(0xFF, pl, loadEight(positions + i)), mask + i);
  }
  return count + clipPortable(plane, positions + i, mask + i, n - i);
}

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

std::size_t batchLength(std::span<const HomVec4> positions, std::span<bool> mask) noexcept {
  return positions.size() < mask.size() ? positions.size() : mask.size();
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
                              std::span<const HomVec4> positions,
                              std::span<bool> visible_mask) noexcept {
  const std::size_t n = batchLength(positions, visible_mask);
#if KOVA_HAVE_AVX2_PATH
  if (path == BatchPath::avx512 && avx512Supported()) {
    return cullAvx512(frustum, positions.data(), visible_mask.data(), n);
  }
  if (path == BatchPath::avx2 && avx2Supported()) {
    return cullAvx2(frustum, positions.data(), visible_mask.data(), n);
  }
#else
  (void)path;
#endif
  return cullPortable(frustum, positions.data(), visible_mask.data(), n);
}

std::uint32_t projectiveClipWith(BatchPath path, const ProjectiveHyperplane& plane,
                                 std::span<const HomVec4> positions,
                                 std::span<bool> visible_mask) noexcept {
  const std::size_t n = batchLength(positions, visible_mask);
#if KOVA_HAVE_AVX2_PATH
  if (path == BatchPath::avx512 && avx512Supported()) {
    return clipAvx512(plane, positions.data(), visible_mask.data(), n);
  }
  if (path == BatchPath::avx2 && avx2Supported()) {
    return clipAvx2(plane, positions.data(), visible_mask.data(), n);
  }
#else
  (void)path;
#endif
  return clipPortable(plane, positions.data(), visible_mask.data(), n);
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
