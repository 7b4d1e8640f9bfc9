// frustumCull and projectiveClip: the documented cases, and every
// implementation against the plain early-exit loop on random and hostile input.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <span>
#include <vector>

#include <gtest/gtest.h>

#include "hostile_inputs.hpp"
#include "kova_reference_renderer.hpp"
#include "kova_renderer.hpp"
#include "kova_test_values.hpp"

namespace {

using kova_kernel::HomVec4;
using kova_renderer::KovaCamera;
using kova_renderer::KovaFrustum;
using kova_renderer::ProjectiveHyperplane;
using kova_renderer::detail::BatchPath;
using kova_renderer::detail::BatchPrefetch;
using kova_renderer_test::hostilePoint;
using kova_renderer_test::mixedPoints;

using kova_test::v;

// A bool array with one spare entry, filled with a sentinel byte that is
// neither value a flag is written with; it is only ever read back as bytes.
struct Mask {
  explicit Mask(std::size_t n) : size(n + 1), flags(new bool[n + 1]) {
    std::memset(flags.get(), 0x5A, size);
  }
  std::span<bool> span(std::size_t n) { return {flags.get(), n}; }
  std::vector<unsigned char> bytes() const {
    std::vector<unsigned char> out(size);
    std::memcpy(out.data(), flags.get(), size);
    return out;
  }
  std::size_t size;
  std::unique_ptr<bool[]> flags;
};

std::vector<BatchPath> paths() {
  std::vector<BatchPath> out = {BatchPath::portable};
  for (BatchPath p : {BatchPath::avx2, BatchPath::avx512}) {
    if (kova_renderer::detail::batchPathAvailable(p)) out.push_back(p);
  }
  return out;
}

TEST(Batch, ProjectiveClipDocumentedCase) {
  const HomVec4 pts[] = {v(1, 0, 0, 1), v(-1, 0, 0, 1), v(0, 1, 0, 1)};
  bool mask[3] = {false, true, false};
  EXPECT_EQ(kova_renderer::projectiveClip(ProjectiveHyperplane::init(1, 0, 0, 0), pts, mask), 2u);
  EXPECT_TRUE(mask[0]);
  EXPECT_FALSE(mask[1]);
  EXPECT_TRUE(mask[2]);
}

TEST(Batch, FrustumCullOfTheObserverAndEmptyInput) {
  const KovaFrustum fr = KovaFrustum::fromCamera(KovaCamera::defaultCamera());
  const HomVec4 eye[] = {v(0, 0, 0, 1)};
  bool mask[1] = {false};
  EXPECT_EQ(kova_renderer::frustumCull(fr, eye, mask), 1u);
  EXPECT_TRUE(mask[0]);
  EXPECT_EQ(kova_renderer::frustumCull(fr, {}, mask), 0u);
  EXPECT_EQ(kova_renderer::projectiveClip(fr.planes[0], {}, {}), 0u);
}

// Every entry below n written (false too), nothing at n or beyond touched, for
// every implementation, with the mask both shorter and longer than the points.
TEST(Batch, WritesExactlyTheFirstNEntries) {
  std::mt19937_64 rng(7);
  const std::vector<HomVec4> pts = mixedPoints(rng, 300, 0.1);
  const KovaFrustum fr = KovaFrustum::fromCamera(KovaCamera::defaultCamera());
  for (BatchPath path : paths()) {
    for (std::size_t points :
         {std::size_t{0}, std::size_t{3}, std::size_t{131}, std::size_t{300}}) {
      for (std::size_t mask_len : {points / 2, points, points + 9}) {
        const std::size_t n = std::min(points, mask_len);
        Mask got(mask_len);
        Mask want(mask_len);
        const std::span<const HomVec4> in(pts.data(), points);
        const std::uint32_t count =
            kova_renderer::detail::frustumCullWith(path, fr, in, got.span(mask_len));
        EXPECT_EQ(count, kova_reference::frustumCull(fr, in, want.span(mask_len)));
        EXPECT_EQ(got.bytes(), want.bytes());
        const std::vector<unsigned char> bytes = got.bytes();
        std::uint32_t trues = 0;
        for (std::size_t i = 0; i < n; ++i) {
          ASSERT_TRUE(bytes[i] == 0 || bytes[i] == 1) << i;
          trues += bytes[i];
        }
        EXPECT_EQ(count, trues);
        for (std::size_t i = n; i < bytes.size(); ++i) ASSERT_EQ(bytes[i], 0x5A) << i;

        Mask clip(mask_len);
        const std::uint32_t clipped =
            kova_renderer::detail::projectiveClipWith(path, fr.planes[1], in, clip.span(mask_len));
        Mask clip_want(mask_len);
        EXPECT_EQ(clipped,
                  kova_reference::projectiveClip(fr.planes[1], in, clip_want.span(mask_len)));
        EXPECT_EQ(clip.bytes(), clip_want.bytes());
      }
    }
  }
}

// Points on which a fused multiply-add or another summation order changes the
// sign of the value, repeated so that they fill whole vector blocks.
TEST(Batch, RoundingSensitivePointsAgreeOnEveryPath) {
  const double e = std::ldexp(1.0, -30);
  // a x rounds to -(1 + 2^-29): unfused value 0 (visible), fused -2^-60.
  const ProjectiveHyperplane fma_plane = ProjectiveHyperplane::init(-(1 + e), 1 + 2 * e, 0, 0);
  const HomVec4 fma_point = v(1 + e, 1, 0, 0);
  // ((1e16 + 1) - 1e16) - 0.5 = -0.5; other groupings give +0.5 or 0.
  const ProjectiveHyperplane order_plane = ProjectiveHyperplane::init(1, 1, 1, -0.5);
  const HomVec4 order_point = v(1e16, 1, -1e16, 1);
  ASSERT_TRUE(fma_plane.isVisible(fma_point));
  ASSERT_FALSE(order_plane.isVisible(order_point));

  KovaFrustum fr;
  fr.planes = {fma_plane, fma_plane, order_plane, fma_plane};
  std::vector<HomVec4> pts;
  for (int i = 0; i < 200; ++i) pts.push_back(i % 3 == 0 ? order_point : fma_point);
  for (BatchPath path : paths()) {
    std::unique_ptr<bool[]> mask(new bool[pts.size()]);
    const std::span<bool> m(mask.get(), pts.size());
    const std::uint32_t fma_count = kova_renderer::detail::projectiveClipWith(
        path, fma_plane, std::vector<HomVec4>(200, fma_point), m);
    EXPECT_EQ(fma_count, 200u);
    const std::uint32_t order_count = kova_renderer::detail::projectiveClipWith(
        path, order_plane, std::vector<HomVec4>(200, order_point), m);
    EXPECT_EQ(order_count, 0u);
    // In the frustum, the order point fails plane 2 and the fma point passes all.
    const std::uint32_t cull = kova_renderer::detail::frustumCullWith(path, fr, pts, m);
    EXPECT_EQ(cull, 200u - 67u);
    for (std::size_t i = 0; i < pts.size(); ++i) ASSERT_EQ(m[i], i % 3 != 0) << i;
  }
}

KovaFrustum randomFrustum(std::mt19937_64& rng, int kind) {
  switch (kind) {
    case 0:
      return KovaFrustum::fromCamera(KovaCamera::defaultCamera());
    case 1: {
      KovaCamera cam = KovaCamera::init(kova_renderer_test::sphericalPoint(rng),
                                        kova_renderer_test::sphericalPoint(rng),
                                        kova_renderer_test::sphericalPoint(rng), 1.3, 1.2, 0.01, 1);
      return KovaFrustum::fromCamera(cam);
    }
    default: {
      // Coefficients from the hostile list too: 0 * inf and inf - inf make NaN values.
      KovaFrustum fr;
      for (ProjectiveHyperplane& pl : fr.planes) {
        const HomVec4 c = hostilePoint(rng);
        pl = ProjectiveHyperplane::init(c.x, c.y, c.z, c.w);
      }
      return fr;
    }
  }
}

TEST(Batch, EveryPathMatchesTheEarlyExitLoop) {
  std::mt19937_64 rng(20240611);
  std::uniform_int_distribution<std::size_t> len(0, 3000);
  std::uniform_int_distribution<std::size_t> offset(0, 3);
  for (int round = 0; round < 150; ++round) {
    const std::size_t n = round < 40 ? static_cast<std::size_t>(round) : len(rng);
    const double hostile_rate = (round % 3) * 0.4;
    // Offsets of a point make the array start off a 64-byte boundary.
    const std::vector<HomVec4> storage = mixedPoints(rng, n + 3, hostile_rate);
    const std::size_t off = offset(rng);
    const std::span<const HomVec4> pts(storage.data() + off, n);
    const KovaFrustum fr = randomFrustum(rng, round % 3);
    const std::size_t mask_len = round % 5 == 0 ? n / 2 : n + round % 4;

    Mask want(mask_len);
    const std::uint32_t want_count = kova_reference::frustumCull(fr, pts, want.span(mask_len));
    Mask want_clip(mask_len);
    const std::uint32_t want_clip_count =
        kova_reference::projectiveClip(fr.planes[round % 4], pts, want_clip.span(mask_len));

    for (BatchPath path : paths()) {
      Mask got(mask_len);
      ASSERT_EQ(kova_renderer::detail::frustumCullWith(path, fr, pts, got.span(mask_len)),
                want_count)
          << "round " << round << " path " << static_cast<int>(path);
      ASSERT_EQ(got.bytes(), want.bytes()) << "round " << round;
      Mask clip(mask_len);
      ASSERT_EQ(kova_renderer::detail::projectiveClipWith(path, fr.planes[round % 4], pts,
                                                          clip.span(mask_len)),
                want_clip_count)
          << "round " << round;
      ASSERT_EQ(clip.bytes(), want_clip.bytes()) << "round " << round;
    }
    Mask pub(mask_len);
    ASSERT_EQ(kova_renderer::frustumCull(fr, pts, pub.span(mask_len)), want_count);
    ASSERT_EQ(pub.bytes(), want.bytes());
  }
}

// Each coordinate slot of each lane runs through every hostile value, so a lane
// mix-up in the transposition or a NaN treated as visible shows up.
TEST(Batch, HostileValuesInEveryLaneAndSlot) {
  const auto& hv = kova_test::kHostileValues;
  std::vector<HomVec4> pts;
  for (double value : hv) {
    for (int slot = 0; slot < 4; ++slot) {
      for (int lane = 0; lane < 4; ++lane) {
        double c[4] = {0.25, -0.5, -1.0, 1.0};
        if (lane == slot % 4) c[slot] = value;
        pts.push_back(v(c[0], c[1], c[2], c[3]));
      }
    }
  }
  const KovaFrustum fr = KovaFrustum::fromCamera(KovaCamera::defaultCamera());
  Mask want(pts.size());
  const std::uint32_t want_count = kova_reference::frustumCull(fr, pts, want.span(pts.size()));
  for (BatchPath path : paths()) {
    Mask got(pts.size());
    EXPECT_EQ(kova_renderer::detail::frustumCullWith(path, fr, pts, got.span(pts.size())),
              want_count);
    EXPECT_EQ(got.bytes(), want.bytes());
  }
  EXPECT_GT(want_count, 0u);
  EXPECT_LT(want_count, pts.size());
}

// Every path against the early-exit loop on `pts`, flags and count.
void expectPathsMatch(const KovaFrustum& fr, std::span<const HomVec4> pts, const char* what) {
  Mask want(pts.size());
  const std::uint32_t want_count = kova_reference::frustumCull(fr, pts, want.span(pts.size()));
  for (BatchPath path : paths()) {
    Mask got(pts.size());
    EXPECT_EQ(kova_renderer::detail::frustumCullWith(path, fr, pts, got.span(pts.size())),
              want_count)
        << what << " path " << static_cast<int>(path);
    EXPECT_EQ(got.bytes(), want.bytes()) << what << " path " << static_cast<int>(path);
  }
}

// The vector path compares (a x + b y) + c z against (-d) w instead of adding
// d w and comparing with 0. That is exact except where d w overflows (+inf
// against +inf, whose sum is NaN): such groups must still give the plain answer.
TEST(Batch, LastTermAgainstTheRestAtOverflowAndCancellation) {
  const double big = 1e300;
  const double max = std::numeric_limits<double>::max();
  const double inf = std::numeric_limits<double>::infinity();
  const ProjectiveHyperplane pass = ProjectiveHyperplane::init(0, 0, 0, 0);  // 0 >= 0
  struct Case {
    ProjectiveHyperplane plane;
    HomVec4 point;
    bool visible;
  };
  const Case cases[] = {
      // a x = +inf, d w = -inf: NaN, not visible (a plain >= on the two sides says yes).
      {ProjectiveHyperplane::init(big, 0, 0, big), v(big, 0, 0, -big), false},
      {ProjectiveHyperplane::init(1, 0, 0, 1), v(inf, 0, 0, -inf), false},
      {ProjectiveHyperplane::init(1, 0, 0, inf), v(inf, 0, 0, -1), false},
      {ProjectiveHyperplane::init(-big, 0, 0, -big), v(big, 0, 0, -big), false},
      // a x = +inf and a finite d w: +inf, visible.
      {ProjectiveHyperplane::init(big, 0, 0, big), v(big, 0, 0, -1), true},
      // The sum overflows but the sides are finite.
      {ProjectiveHyperplane::init(1, 0, 0, 1), v(max, 0, 0, max), true},
      {ProjectiveHyperplane::init(1, 0, 0, 1), v(-max, 0, 0, -max), false},
      // Exact cancellation gives +0 (visible); -0 + -0 is -0 (visible).
      {ProjectiveHyperplane::init(1, 0, 0, 1), v(0.1, 0, 0, -0.1), true},
      {ProjectiveHyperplane::init(1, 0, 0, 1), v(-0.0, 0, 0, -0.0), true},
      // A NaN d w: not visible whatever the rest is.
      {ProjectiveHyperplane::init(1, 0, 0, std::nan("")), v(1, 0, 0, 1), false},
      // Tiny |d|: the bound on |w| is capped, an infinite w still overflows d w.
      {ProjectiveHyperplane::init(1, 0, 0, 0x1p-1070), v(inf, 0, 0, -inf), false},
      {ProjectiveHyperplane::init(1, 0, 0, 0x1p-1070), v(1, 0, 0, -max), true},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.plane.isVisible(c.point), c.visible);
    for (int slot = 0; slot < 4; ++slot) {
      KovaFrustum fr;
      fr.planes = {pass, pass, pass, pass};
      fr.planes[static_cast<std::size_t>(slot)] = c.plane;
      // The case alone in every lane of a vector block, with ordinary points around it.
      std::vector<HomVec4> pts;
      for (int lane = 0; lane < 16; ++lane) {
        for (int k = 0; k < 16; ++k) pts.push_back(k == lane ? c.point : v(0.5, 0.25, -1, 1));
      }
      expectPathsMatch(fr, pts, "one per block");
      const std::vector<HomVec4> all(24, c.point);
      expectPathsMatch(fr, all, "whole blocks");
      for (BatchPath path : paths()) {
        Mask got(all.size());
        EXPECT_EQ(kova_renderer::detail::frustumCullWith(path, fr, all, got.span(all.size())),
                  c.visible ? all.size() : 0u);
      }
    }
  }
}

// Long inputs take the loop that prefetches ahead where the processor calls for
// it; it must give the same flags.
TEST(Batch, LongInputsMatchTheEarlyExitLoop) {
  std::mt19937_64 rng(77);
  for (std::size_t n : {std::size_t{8192 + 64 + 13}, std::size_t{20000}}) {
    const std::vector<HomVec4> storage = mixedPoints(rng, n + 1, n < 10000 ? 0.3 : 0.0);
    const std::span<const HomVec4> pts(storage.data() + 1, n);
    for (int kind = 0; kind < 3; ++kind) {
      const KovaFrustum fr = randomFrustum(rng, kind);
      expectPathsMatch(fr, pts, "long");
      Mask want(n);
      const std::uint32_t want_count =
          kova_reference::projectiveClip(fr.planes[2], pts, want.span(n));
      for (BatchPath path : paths()) {
        Mask got(n);
        EXPECT_EQ(kova_renderer::detail::projectiveClipWith(path, fr.planes[2], pts, got.span(n)),
                  want_count);
        EXPECT_EQ(got.bytes(), want.bytes());
      }
    }
  }
}

// The prefetch is chosen at run time by processor; each choice, forced on
// every path, must give the flags of the early-exit loop. The lengths straddle
// the prefetch distance (64 points) and the start of the prefetch for long
// arrays (8192 points) by less than a vector group.
TEST(Batch, EveryPrefetchChoiceMatchesTheEarlyExitLoop) {
  std::mt19937_64 rng(4242);
  const std::size_t lengths[] = {0, 5, 63, 64, 67, 72, 75, 137, 8191, 8192 + 64 + 7, 30001};
  for (std::size_t round = 0; round < std::size(lengths) * 3; ++round) {
    const std::size_t n = lengths[round / 3];
    const std::vector<HomVec4> storage = mixedPoints(rng, n + 1, (round % 3) * 0.3);
    const std::span<const HomVec4> pts(storage.data() + round % 2, n);
    const KovaFrustum fr = randomFrustum(rng, static_cast<int>(round % 3));
    Mask want(n);
    const std::uint32_t want_count = kova_reference::frustumCull(fr, pts, want.span(n));
    Mask want_clip(n);
    const std::uint32_t want_clip_count =
        kova_reference::projectiveClip(fr.planes[round % 4], pts, want_clip.span(n));
    for (BatchPath path : paths()) {
      for (BatchPrefetch prefetch :
           {BatchPrefetch::none, BatchPrefetch::ahead, BatchPrefetch::automatic}) {
        Mask got(n);
        ASSERT_EQ(kova_renderer::detail::frustumCullWith(path, fr, pts, got.span(n), prefetch),
                  want_count)
            << "n " << n << " path " << static_cast<int>(path) << " prefetch "
            << static_cast<int>(prefetch);
        ASSERT_EQ(got.bytes(), want.bytes()) << "n " << n;
        Mask clip(n);
        ASSERT_EQ(kova_renderer::detail::projectiveClipWith(path, fr.planes[round % 4], pts,
                                                            clip.span(n), prefetch),
                  want_clip_count)
            << "n " << n << " path " << static_cast<int>(path) << " prefetch "
            << static_cast<int>(prefetch);
        ASSERT_EQ(clip.bytes(), want_clip.bytes()) << "n " << n;
      }
    }
  }
}

}  // namespace
