// sortByFSDepth: back-to-front order by Fubini-Study distance.
//
// The order is that of a stable insertion sort that moves a point left past
// every point strictly nearer than it. fsDistance never returns NaN (a NaN
// cosine becomes 1.0), so every distance lies in [0, pi/2] and "strictly
// nearer" is a total preorder: any stable sort by descending distance gives the
// same permutation, ties in input order included.
//
// The arc-cosine is the costly part of a distance, and it is monotone: the
// points are first ordered by a quantised form of the cosine fsDistance takes
// it of (an LSD radix sort), and only points whose cosines lie so close
// together that their distances could tie or swap get their distances computed
// and are ordered by them.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <numeric>

#include "kova_renderer.hpp"

namespace kova_renderer {

namespace {

using kova_kernel::fsDistance;

// Up to this many points the distances live on the stack and an insertion sort
// over them is cheaper than the radix sort's histograms.
constexpr std::size_t kSmallSort = 64;

constexpr unsigned kDigitBits = 11;

// Ascending order of this key is descending order of the distance. Adding 0.0
// turns a -0.0 into +0.0, which compares equal to it and must tie with it.
inline std::uint64_t descendingKey(double distance) noexcept {
  return ~std::bit_cast<std::uint64_t>(distance + 0.0);
}

// The insertion sort itself, recomputing every distance it compares: used when
// no scratch memory can be had.
void insertionSortInPlace(std::size_t* indices, std::size_t n, HomVec4 observer,
                          const HomVec4* positions) noexcept {
  for (std::size_t i = 1; i < n; ++i) {
    const std::size_t key = indices[i];
    const double key_dist = fsDistance(observer, positions[key]);
    std::size_t j = i;
    while (j > 0) {
      const double prev_dist = fsDistance(observer, positions[indices[j - 1]]);
      if (prev_dist >= key_dist) break;
      indices[j] = indices[j - 1];
      --j;
    }
    indices[j] = key;
  }
}

// The same insertion sort over cached distances, which it compares the same way.
void smallSort(std::size_t* indices, std::size_t n, HomVec4 observer,
               const HomVec4* positions) noexcept {
  double dist[kSmallSort];
  for (std::size_t i = 0; i < n; ++i) dist[i] = fsDistance(observer, positions[i]);
  for (std::size_t i = 1; i < n; ++i) {
    const std::size_t key = indices[i];
    const double key_dist = dist[key];
    std::size_t j = i;
    while (j > 0 && !(dist[indices[j - 1]] >= key_dist)) {
      indices[j] = indices[j - 1];
      --j;
    }
    indices[j] = key;
  }
}

// The cosine fsDistance(observer, p) takes the arc-cosine of, computed the same
// way: 1.0 for a vector too short to normalise and for a NaN ratio. Always in
// [0, 1].
inline double cosineTo(HomVec4 observer, double observer_norm, HomVec4 p) noexcept {
  const double nb = p.norm();
  if (observer_norm < 1e-15 || nb < 1e-15) return 1.0;
  const double d = std::abs(observer.dot(p)) / (observer_norm * nb);
  return d < 1.0 ? d : 1.0;
}

// The sort key packs a quantised cosine q = floor(c * 2^(q_bits - 1)) above the
// input index, so that one 64-bit word carries both and ties in q stay in index
// order. q is monotone in c. Two points whose q differ by 2 or more have cosines
// more than 2^-(q_bits - 1) >= 2^-32 apart; acos falls with slope at least 1 on
// [0, 1], so their distances differ by more than that too, which dwarfs the
// rounding error of any arc-cosine: their order by q is their order by distance,
// strictly. Only runs of points with q within 1 of each other need their
// distances computed.
struct KeyLayout {
  unsigned index_bits;
  unsigned q_bits;
  double scale;  // 2^(q_bits - 1)

  static KeyLayout forCount(std::size_t n) noexcept {
    const unsigned index_bits = std::max(1u, static_cast<unsigned>(std::bit_width(n - 1)));
    const unsigned q_bits = std::min(33u, 64u - index_bits);
    return {index_bits, q_bits, std::ldexp(1.0, static_cast<int>(q_bits) - 1)};
  }
  std::uint64_t pack(double cosine, std::size_t index) const noexcept {
    return (static_cast<std::uint64_t>(cosine * scale) << index_bits) |
           static_cast<std::uint64_t>(index);
  }
  std::size_t index(std::uint64_t key) const noexcept {
    return static_cast<std::size_t>(key & ((std::uint64_t{1} << index_bits) - 1));
  }
  std::uint64_t q(std::uint64_t key) const noexcept { return key >> index_bits; }
};

constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
constexpr unsigned kQDigits = (33 + kDigitBits - 1) / kDigitBits;  // 3 digits cover q

// Scratch of the fast sort, carved from one block of the caller's resource:
// two key buffers and the digit counts (32-bit whenever n allows, which keeps
// them in the first-level cache).
template <typename Count>
struct SortScratch {
  std::uint64_t* keys_a;
  std::uint64_t* keys_b;
  Count* counts;  // kQDigits rows of kBuckets

  static std::size_t bytes(std::size_t n) noexcept {
    return 2 * n * sizeof(std::uint64_t) + kQDigits * kBuckets * sizeof(Count);
  }
  static SortScratch carve(void* block, std::size_t n) noexcept {
    auto* keys = static_cast<std::uint64_t*>(block);
    return {keys, keys + n, static_cast<Count*>(static_cast<void*>(keys + 2 * n))};
  }
};

// Frees the scratch block on every path out of the sort.
class ScratchBlock {
 public:
  ScratchBlock(std::pmr::memory_resource& resource, std::size_t bytes) noexcept
      : resource_(resource), bytes_(bytes) {
    try {
      block_ = resource_.allocate(bytes_, alignof(std::uint64_t));
    } catch (...) {
      block_ = nullptr;
    }
  }
  ~ScratchBlock() {
    if (block_ != nullptr) resource_.deallocate(block_, bytes_, alignof(std::uint64_t));
  }
  ScratchBlock(const ScratchBlock&) = delete;
  ScratchBlock& operator=(const ScratchBlock&) = delete;

  [[nodiscard]] void* get() const noexcept { return block_; }

 private:
  std::pmr::memory_resource& resource_;
  std::size_t bytes_;
  void* block_ = nullptr;
};

// Sorts the packed keys by q, stably (LSD radix, 11-bit digits of q only; a
// digit on which every key agrees is skipped). Returns the sorted buffer.
template <typename Count>
std::uint64_t* radixByQ(std::size_t n, HomVec4 observer, const HomVec4* positions,
                        const KeyLayout& layout, const SortScratch<Count>& s) noexcept {
  std::fill(s.counts, s.counts + kQDigits * kBuckets, Count{0});
  const double observer_norm = observer.norm();
  const unsigned base = layout.index_bits;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = layout.pack(cosineTo(observer, observer_norm, positions[i]), i);
    s.keys_a[i] = key;
    for (unsigned d = 0; d < kQDigits; ++d) {
      ++s.counts[d * kBuckets + ((key >> (base + d * kDigitBits)) & (kBuckets - 1))];
    }
  }
  std::uint64_t* src = s.keys_a;
  std::uint64_t* dst = s.keys_b;
  for (unsigned d = 0; d < kQDigits; ++d) {
    const unsigned shift = base + d * kDigitBits;
    if (shift >= 64) break;
    Count* offsets = s.counts + d * kBuckets;
    if (offsets[(src[0] >> shift) & (kBuckets - 1)] == n) continue;  // all agree
    Count sum = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) {
      const Count c = offsets[b];
      offsets[b] = sum;
      sum = static_cast<Count>(sum + c);
    }
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t key = src[i];
      dst[offsets[(key >> shift) & (kBuckets - 1)]++] = key;
    }
    std::swap(src, dst);
  }
  return src;
}

// Writes the indices of the q-sorted keys to `out` and orders every run of
// points whose q lie within 1 of their neighbours by true distance, descending,
// ties by input index. `sorted` and `free_keys` are consumed as scratch.
void finishRuns(std::size_t* out, std::size_t n, HomVec4 observer, const HomVec4* positions,
                const KeyLayout& layout, std::uint64_t* sorted, std::uint64_t* free_keys) noexcept {
  std::size_t start = 0;
  out[0] = layout.index(sorted[0]);
  for (std::size_t k = 1; k <= n; ++k) {
    if (k < n) {
      out[k] = layout.index(sorted[k]);
      if (layout.q(sorted[k]) - layout.q(sorted[k - 1]) <= 1) continue;
    }
    const std::size_t m = k - start;
    if (m > 1) {
      for (std::size_t j = start; j < k; ++j) {
        free_keys[j] = descendingKey(fsDistance(observer, positions[out[j]]));
        sorted[j] = j;  // these keys are consumed: the slots hold positions now
      }
      // (key, index) pairs are distinct, so any sort gives the one stable order.
      std::sort(sorted + start, sorted + k, [&](std::uint64_t a, std::uint64_t b) {
        return free_keys[a] < free_keys[b] || (free_keys[a] == free_keys[b] && out[a] < out[b]);
      });
      for (std::size_t j = start; j < k; ++j) free_keys[j] = out[sorted[j]];
      for (std::size_t j = start; j < k; ++j) out[j] = static_cast<std::size_t>(free_keys[j]);
    }
    start = k;
  }
}

template <typename Count>
void fastSort(std::size_t* out, std::size_t n, HomVec4 observer, const HomVec4* positions,
              void* block) noexcept {
  const SortScratch<Count> s = SortScratch<Count>::carve(block, n);
  const KeyLayout layout = KeyLayout::forCount(n);
  std::uint64_t* sorted = radixByQ(n, observer, positions, layout, s);
  finishRuns(out, n, observer, positions, layout, sorted, sorted == s.keys_a ? s.keys_b : s.keys_a);
}

}  // namespace

std::expected<std::pmr::vector<std::size_t>, kova_kernel::Error> sortByFSDepth(
    std::pmr::memory_resource& allocator, HomVec4 observer, std::span<const HomVec4> positions) {
  const std::size_t n = positions.size();
  std::pmr::vector<std::size_t> indices{&allocator};
  try {
    indices.resize(n);
  } catch (...) {
    return std::unexpected(kova_kernel::Error::OutOfMemory);
  }
  std::size_t* out = indices.data();

  if (n <= kSmallSort) {
    std::iota(out, out + n, std::size_t{0});
    smallSort(out, n, observer, positions.data());
    return indices;
  }

  const bool narrow = n <= std::numeric_limits<std::uint32_t>::max();
  const ScratchBlock scratch(allocator, narrow ? SortScratch<std::uint32_t>::bytes(n)
                                               : SortScratch<std::size_t>::bytes(n));
  if (scratch.get() == nullptr) {
    std::iota(out, out + n, std::size_t{0});
    insertionSortInPlace(out, n, observer, positions.data());
    return indices;
  }
  if (narrow) {
    fastSort<std::uint32_t>(out, n, observer, positions.data(), scratch.get());
  } else {
    fastSort<std::size_t>(out, n, observer, positions.data(), scratch.get());
  }
  return indices;
}

}  // namespace kova_renderer
