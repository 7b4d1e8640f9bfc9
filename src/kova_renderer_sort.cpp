// sortByFSDepth: back-to-front order by Fubini-Study distance.
//
// The order is that of a stable insertion sort that moves a point left past
// every point strictly nearer than it. fsDistance never returns NaN (a NaN
// cosine becomes 1.0), so every distance lies in [0, pi/2] and "strictly
// nearer" is a total preorder: any stable sort by descending distance gives the
// same permutation, ties in input order included. Each distance is computed
// once, and the indices are ordered by an LSD radix sort on the distances' bit
// patterns, which order like the values because no distance is negative.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
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
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
constexpr unsigned kDigits = (64 + kDigitBits - 1) / kDigitBits;  // 6 digits cover 64 bits

// Ascending order of this key is descending order of the distance. Adding 0.0
// turns a -0.0 into +0.0, which compares equal to it and must tie with it.
inline std::uint64_t descendingKey(double distance) noexcept {
  return ~std::bit_cast<std::uint64_t>(distance + 0.0);
}

inline std::size_t digitOf(std::uint64_t key, unsigned digit) noexcept {
  return static_cast<std::size_t>(key >> (digit * kDigitBits)) & (kBuckets - 1);
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

// Scratch of the radix sort, carved from one block of the caller's resource.
struct RadixScratch {
  std::uint64_t* keys_a;
  std::uint64_t* keys_b;
  std::size_t* index_tmp;
  std::size_t* counts;  // kDigits rows of kBuckets

  static std::size_t bytes(std::size_t n) noexcept {
    return (3 * n + kDigits * kBuckets) * sizeof(std::uint64_t);
  }
  static RadixScratch carve(void* block, std::size_t n) noexcept {
    auto* base = static_cast<std::uint64_t*>(block);
    static_assert(sizeof(std::size_t) == sizeof(std::uint64_t));
    return {base, base + n, static_cast<std::size_t*>(static_cast<void*>(base + 2 * n)),
            static_cast<std::size_t*>(static_cast<void*>(base + 3 * n))};
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

// One stable scatter by `digit`. The source indices are the identity when
// `src_index` is null; keys are written only when `dst_keys` is not null.
void scatter(const std::uint64_t* src_keys, const std::size_t* src_index, std::uint64_t* dst_keys,
             std::size_t* dst_index, std::size_t* offsets, unsigned digit, std::size_t n) noexcept {
  const unsigned shift = digit * kDigitBits;
  if (src_index == nullptr && dst_keys == nullptr) {
    for (std::size_t i = 0; i < n; ++i)
      dst_index[offsets[(src_keys[i] >> shift) & (kBuckets - 1)]++] = i;
    return;
  }
  if (src_index == nullptr) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t key = src_keys[i];
      const std::size_t at = offsets[(key >> shift) & (kBuckets - 1)]++;
      dst_keys[at] = key;
      dst_index[at] = i;
    }
    return;
  }
  if (dst_keys == nullptr) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t key = src_keys[i];
      dst_index[offsets[(key >> shift) & (kBuckets - 1)]++] = src_index[i];
    }
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = src_keys[i];
    const std::size_t at = offsets[(key >> shift) & (kBuckets - 1)]++;
    dst_keys[at] = key;
    dst_index[at] = src_index[i];
  }
}

void radixSort(std::size_t* out, std::size_t n, HomVec4 observer, const HomVec4* positions,
               RadixScratch s) noexcept {
  std::fill(s.counts, s.counts + kDigits * kBuckets, std::size_t{0});
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = descendingKey(fsDistance(observer, positions[i]));
    s.keys_a[i] = key;
    for (unsigned d = 0; d < kDigits; ++d) ++s.counts[d * kBuckets + digitOf(key, d)];
  }

  // A digit on which every key agrees leaves the order as it is: skip its pass.
  unsigned active[kDigits];
  unsigned passes = 0;
  for (unsigned d = 0; d < kDigits; ++d) {
    if (s.counts[d * kBuckets + digitOf(s.keys_a[0], d)] != n) active[passes++] = d;
  }
  if (passes == 0) {
    std::iota(out, out + n, std::size_t{0});
    return;
  }

  const std::uint64_t* src_keys = s.keys_a;
  const std::size_t* src_index = nullptr;
  std::uint64_t* key_buffers[2] = {s.keys_b, s.keys_a};
  for (unsigned k = 0; k < passes; ++k) {
    const unsigned d = active[k];
    std::size_t* offsets = s.counts + d * kBuckets;
    std::size_t sum = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) {
      const std::size_t c = offsets[b];
      offsets[b] = sum;
      sum += c;
    }
    const bool last = k + 1 == passes;
    // The index buffers alternate so that the last pass lands in `out`.
    std::size_t* dst_index = (passes - 1 - k) % 2 == 0 ? out : s.index_tmp;
    std::uint64_t* dst_keys = last ? nullptr : key_buffers[k % 2];
    scatter(src_keys, src_index, dst_keys, dst_index, offsets, d, n);
    src_keys = dst_keys;
    src_index = dst_index;
  }
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

  const ScratchBlock scratch(allocator, RadixScratch::bytes(n));
  if (scratch.get() == nullptr) {
    std::iota(out, out + n, std::size_t{0});
    insertionSortInPlace(out, n, observer, positions.data());
    return indices;
  }
  radixSort(out, n, observer, positions.data(), RadixScratch::carve(scratch.get(), n));
  return indices;
}

}  // namespace kova_renderer
