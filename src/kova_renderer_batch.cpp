// frustumCull and projectiveClip: one pass over the points, one flag per point.
//
// Both loops evaluate every plane for every point instead of stopping at the
// first failing one. Evaluation has no side effect, so the flags are exactly
// those of the early-exit test, and the loop has no data-dependent branch to
// mispredict on mixed visibility. Where the processor has AVX2, four points are
// evaluated at once with the same multiplications and additions in the same
// order per point (never fused), so the vector path is bit-identical too.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

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
    const bool visible =
        static_cast<bool>(p0.isVisible(p) & p1.isVisible(p) & p2.isVisible(p) & p3.isVisible(p));
    mask[i] = visible;
    count += static_cast<std::uint32_t>(visible);
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

// Four consecutive points, transposed into one register per coordinate.
KOVA_AVX2 inline PointLanes loadFour(const HomVec4* p) noexcept {
  const __m256d p0 = _mm256_loadu_pd(&p[0].x);  // x0 y0 z0 w0
  const __m256d p1 = _mm256_loadu_pd(&p[1].x);
  const __m256d p2 = _mm256_loadu_pd(&p[2].x);
  const __m256d p3 = _mm256_loadu_pd(&p[3].x);
  const __m256d xz01 = _mm256_unpacklo_pd(p0, p1);  // x0 x1 z0 z1
  const __m256d yw01 = _mm256_unpackhi_pd(p0, p1);  // y0 y1 w0 w1
  const __m256d xz23 = _mm256_unpacklo_pd(p2, p3);
  const __m256d yw23 = _mm256_unpackhi_pd(p2, p3);
  return {_mm256_permute2f128_pd(xz01, xz23, 0x20), _mm256_permute2f128_pd(yw01, yw23, 0x20),
          _mm256_permute2f128_pd(xz01, xz23, 0x31), _mm256_permute2f128_pd(yw01, yw23, 0x31)};
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

bool avx2Supported() noexcept {
  __builtin_cpu_init();  // idempotent; makes the check valid even before static constructors
  return __builtin_cpu_supports("avx2");
}

#else

bool avx2Supported() noexcept { return false; }

#endif

BatchPath fastestPath() noexcept { return avx2Supported() ? BatchPath::avx2 : BatchPath::portable; }

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
  }
  return false;
}

std::uint32_t frustumCullWith(BatchPath path, const KovaFrustum& frustum,
                              std::span<const HomVec4> positions,
                              std::span<bool> visible_mask) noexcept {
  const std::size_t n = batchLength(positions, visible_mask);
#if KOVA_HAVE_AVX2_PATH
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
