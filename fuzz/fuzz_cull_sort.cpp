// Batch culling, clipping and the depth sort, on arbitrary bit patterns,
// array lengths and allocator decisions. Properties that hold for every input:
// - the count equals the number of true entries written, entries at and
//   beyond n = min(lengths) keep their previous contents, and every batch
//   path (the public one and each vector path) agrees bit for bit with the
//   plain early-exit loop, mask beyond n included;
// - sortByFSDepth fails with OutOfMemory exactly when the index array is
//   refused; otherwise its result is a permutation equal to the plain
//   insertion sort, whatever later allocations were refused, and nothing is
//   left allocated once the result is gone.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <memory_resource>
#include <span>
#include <vector>

#include "fuzz_input.hpp"
#include "kova_reference_renderer.hpp"
#include "kova_renderer.hpp"

using kova_fuzz::FuzzInput;
using kova_kernel::HomVec4;
using kova_renderer::KovaFrustum;
using kova_renderer::ProjectiveHyperplane;
namespace detail = kova_renderer::detail;

namespace {

// Variant 0 is the public entry point, 1 to 3 the portable, AVX2 and AVX-512
// loops (each falls back to the portable one where the processor lacks it).
constexpr int kVariants = 4;

// Long enough to cover the vector paths' tails and the sort's radix path.
constexpr std::size_t kMaxPoints = 300;

ProjectiveHyperplane plane(FuzzInput& in) {
  const double a = in.real();
  const double b = in.real();
  const double c = in.real();
  const double d = in.real();
  return ProjectiveHyperplane::init(a, b, c, d);
}

// A point set that mixes decoded points with repeats and antipodes of earlier
// ones, so that ties and equal distances are common.
std::vector<HomVec4> points(FuzzInput& in, std::size_t n) {
  std::vector<HomVec4> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t how = in.remaining() > 0 ? in.byte() : static_cast<std::uint8_t>(i * 37);
    if (i > 0 && how < 64) {
      const HomVec4 e = out[how % i];
      out.push_back((how & 1u) ? HomVec4::init(-e.x, -e.y, -e.z, -e.w) : e);
    } else if (in.remaining() > 0) {
      out.push_back(in.vec());
    } else {
      // Input exhausted: cheap deterministic points keep long arrays reachable.
      const double t = static_cast<double>(i % 97) / 16.0;
      out.push_back(HomVec4::init(t, 1.0 - t, static_cast<double>(how % 5), 1.0));
    }
  }
  return out;
}

// Bools are stored as 0 or 1 bytes; the initial contents come from the input.
std::vector<std::uint8_t> maskBytes(FuzzInput& in, std::size_t n) {
  std::vector<std::uint8_t> m(n);
  for (std::size_t i = 0; i < n; ++i) m[i] = in.byte() & 1u;
  return m;
}

template <typename Run, typename Reference>
void checkBatch(std::span<const HomVec4> pts, const std::vector<std::uint8_t>& initial, Run run,
                Reference reference) {
  const std::size_t len = initial.size();
  const std::size_t n = pts.size() < len ? pts.size() : len;
  std::unique_ptr<bool[]> ref_mask(new bool[len + 1]);
  for (std::size_t i = 0; i < len; ++i) ref_mask[i] = initial[i] != 0;
  const std::uint32_t ref_count = reference(pts, std::span<bool>(ref_mask.get(), len));

  for (int variant = 0; variant < kVariants; ++variant) {
    std::unique_ptr<bool[]> mask(new bool[len + 1]);
    for (std::size_t i = 0; i < len; ++i) mask[i] = initial[i] != 0;
    const std::uint32_t count = run(variant, pts, std::span<bool>(mask.get(), len));
    KOVA_FUZZ_CHECK(count == ref_count);
    std::uint32_t trues = 0;
    for (std::size_t i = 0; i < n; ++i) trues += mask[i] ? 1u : 0u;
    KOVA_FUZZ_CHECK(count == trues);
    for (std::size_t i = 0; i < len; ++i) KOVA_FUZZ_CHECK(mask[i] == ref_mask[i]);
    for (std::size_t i = n; i < len; ++i) KOVA_FUZZ_CHECK(mask[i] == (initial[i] != 0));
  }
}

void checkCull(const KovaFrustum& frustum, const ProjectiveHyperplane& pl,
               std::span<const HomVec4> pts, const std::vector<std::uint8_t>& initial) {
  checkBatch(
      pts, initial,
      [&](int variant, std::span<const HomVec4> p, std::span<bool> m) {
        if (variant == 0) return kova_renderer::frustumCull(frustum, p, m);
        const auto path = static_cast<detail::BatchPath>(variant - 1);
        return detail::frustumCullWith(path, frustum, p, m);
      },
      [&](std::span<const HomVec4> p, std::span<bool> m) {
        return kova_reference::frustumCull(frustum, p, m);
      });
  checkBatch(
      pts, initial,
      [&](int variant, std::span<const HomVec4> p, std::span<bool> m) {
        if (variant == 0) return kova_renderer::projectiveClip(pl, p, m);
        const auto path = static_cast<detail::BatchPath>(variant - 1);
        return detail::projectiveClipWith(path, pl, p, m);
      },
      [&](std::span<const HomVec4> p, std::span<bool> m) {
        return kova_reference::projectiveClip(pl, p, m);
      });
}

void checkSort(HomVec4 observer, std::span<const HomVec4> pts, std::uint64_t refuse_mask,
               bool refuse_rest) {
  const std::vector<std::size_t> expected = kova_reference::sortByFSDepth(observer, pts);
  // Refusals chosen by the input, in front of a counter that checks every release.
  kova_test::CountingResource counting;
  kova_test::RefusingResource resource(kova_test::RefusalMask{refuse_mask, refuse_rest}, &counting);
  {
    auto result = kova_renderer::sortByFSDepth(resource, observer, pts);
    // Only the index array may fail the call, and it is the first allocation.
    const bool index_refused = !pts.empty() && (refuse_mask & 1u) != 0;
    if (index_refused) {
      KOVA_FUZZ_CHECK(!result.has_value());
      KOVA_FUZZ_CHECK(result.error() == kova_kernel::Error::OutOfMemory);
      KOVA_FUZZ_CHECK(counting.outstandingBytes() == 0);
    } else {
      KOVA_FUZZ_CHECK(result.has_value());
      const std::pmr::vector<std::size_t>& got = *result;
      KOVA_FUZZ_CHECK(got.size() == pts.size());
      std::vector<bool> seen(pts.size(), false);
      for (const std::size_t i : got) {
        KOVA_FUZZ_CHECK(i < pts.size() && !seen[i]);
        seen[i] = true;
      }
      KOVA_FUZZ_CHECK(std::equal(got.begin(), got.end(), expected.begin(), expected.end()));
      KOVA_FUZZ_CHECK(got.get_allocator().resource() == &resource);
      // Only the result's storage is still held.
      KOVA_FUZZ_CHECK(counting.outstandingBytes() == got.capacity() * sizeof(std::size_t));
    }
  }
  KOVA_FUZZ_CHECK(counting.outstandingBytes() == 0 && counting.liveBlocks() == 0);
  KOVA_FUZZ_CHECK(counting.badDeallocations() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  KovaFrustum frustum;
  for (ProjectiveHyperplane& p : frustum.planes) p = plane(in);
  frustum.near_fs = in.real();
  frustum.far_fs = in.real();
  frustum.observer = in.vec();
  const ProjectiveHyperplane pl = plane(in);
  const std::uint64_t refuse_mask = in.u64();
  const bool refuse_rest = in.flag();
  const std::size_t n_points = in.length(kMaxPoints);
  const std::size_t n_mask = in.flag() ? n_points : in.length(kMaxPoints);
  const HomVec4 observer = in.flag() ? frustum.observer : HomVec4::init(0.0, 0.0, 0.0, 1.0);
  const std::vector<std::uint8_t> initial = maskBytes(in, n_mask);
  const std::vector<HomVec4> pts = points(in, n_points);

  checkCull(frustum, pl, pts, initial);
  checkSort(observer, pts, refuse_mask, refuse_rest);
  return 0;
}
