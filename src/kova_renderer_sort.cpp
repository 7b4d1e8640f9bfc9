// sortByFSDepth: back-to-front order by Fubini-Study distance, sorted inside
// the index array it returns.
//
// The order is that of a stable insertion sort that moves a point left past
// every point strictly nearer than it. fsDistance never returns NaN (a NaN
// cosine becomes 1.0), so every distance lies in [0, pi/2] and "strictly
// nearer" is a total preorder: any sort by (descending distance, ascending
// index) gives the same permutation, ties in input order included.
//
// While it sorts, each 64-bit slot of the result holds a 32-bit key above the
// 32-bit index of its point; no other memory is needed, and a slot that is
// ordered by its whole value is ordered by key and then by index.
//  1. The key is q = floor(c * 2^32), c the cosine whose arc-cosine fsDistance
//     takes, and the slots are sorted by it (in-place radix sort). The
//     arc-cosine, the costly part of a distance, falls with slope at least 1:
//     two points whose q differ by 2 or more have distances more than 2^-32
//     apart, which dwarfs its rounding error, so they are in order already.
//  2. Every run of slots whose q lie within 1 of their neighbours is settled
//     by exact distances: its keys are replaced by the bit pattern of each
//     distance, counted down from the largest in the run (non-negative
//     doubles order like their bit patterns), and the run is sorted again.
//     A run whose patterns span 2^32 or more is keyed by their top 32 bits
//     first; each group of equal keys then spans less and is keyed exactly.
//     When the q of the whole input can take no more values than there are
//     points, nearly every point would join a run: the input is one run.
// The radix passes swap slots in place and finish buckets of up to a
// thousand slots through a buffer on the stack.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>

#include "kova_renderer.hpp"

namespace kova_renderer {

namespace {

using kova_kernel::fsCosine;
using kova_kernel::fsDistance;

// One slot of the index array: a key in the high half, an index in the low.
using Slot = std::size_t;
static_assert(std::numeric_limits<Slot>::digits == 64, "a slot holds a 32-bit key and index");

constexpr unsigned kHalf = 32;
constexpr Slot kLowHalf = (Slot{1} << kHalf) - 1;
// Up to this many points (a whole input or one run) the distances live on the
// stack and an insertion sort over them is cheaper than the radix passes.
constexpr std::size_t kSmallSort = 64;
// Buckets of a radix pass up to this size are sorted through a buffer on the
// stack, and up to the smaller size by rank.
constexpr std::size_t kStackSort = 1024;
constexpr std::size_t kRankSort = 16;
// The widest digit of an in-place radix pass over a whole input.
constexpr unsigned kTopDigitBits = 11;

inline std::uint32_t indexOf(Slot s) noexcept { return static_cast<std::uint32_t>(s & kLowHalf); }
inline Slot keyOf(Slot s) noexcept { return s >> kHalf; }
inline Slot pack(Slot key, std::uint32_t index) noexcept { return (key << kHalf) | index; }

// Distances are in [0, pi/2]; adding 0.0 turns a -0.0 into +0.0, which
// compares equal to it and must tie with it.
inline Slot distanceBits(double distance) noexcept {
  return std::bit_cast<Slot>(distance + 0.0);
}

// What every step needs to compute a distance the way fsDistance does.
struct Points {
  kova_kernel::HomVec4 observer;
  double observer_norm;
  const kova_kernel::HomVec4* positions;

  double cosine(std::uint32_t i) const noexcept {
    return fsCosine(observer, observer_norm, positions[i], positions[i].norm());
  }
  // Bit for bit fsDistance(observer, positions[i]).
  double distance(std::uint32_t i) const noexcept { return std::acos(cosine(i)); }
};

// The insertion sort of the reference over distances computed once each:
// `indices` ends in descending distance, ties in the order they came in.
void insertionSortByDistance(std::size_t* indices, const double* dist, std::size_t n) noexcept {
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

// Sorts a few distinct slots by counting, for each, the slots below it:
// comparisons without branches, which random keys would mispredict.
void rankSortSlots(Slot* a, std::size_t n) noexcept {
  Slot sorted[kRankSort];
  for (std::size_t i = 0; i < n; ++i) {
    const Slot v = a[i];
    std::size_t rank = 0;
    for (std::size_t j = 0; j < n; ++j) rank += a[j] < v ? 1 : 0;
    sorted[rank] = v;
  }
  for (std::size_t i = 0; i < n; ++i) a[i] = sorted[i];
}

// One stable counting pass by the 8-bit digit at `shift`.
void countingPass(const Slot* src, Slot* dst, std::size_t n, unsigned shift) noexcept {
  std::uint32_t next[256] = {};
  for (std::size_t i = 0; i < n; ++i) ++next[(src[i] >> shift) & 255];
  std::uint32_t sum = 0;
  for (std::uint32_t& c : next) {
    const std::uint32_t count = c;
    c = sum;
    sum += count;
  }
  for (std::size_t i = 0; i < n; ++i) dst[next[(src[i] >> shift) & 255]++] = src[i];
}

// Sorts up to kStackSort distinct slots that agree on their bits from `top`
// up: two counting passes through `buffer` order them by the 16 bits below
// `top`, and the few groups still equal there by the bits below.
void bufferedSortSlots(Slot* a, std::size_t n, unsigned top, Slot* buffer) noexcept {
  if (n <= kRankSort) {
    rankSortSlots(a, n);
    return;
  }
  const unsigned bottom = top > 16 ? top - 16 : 0;
  countingPass(a, buffer, n, bottom);
  countingPass(buffer, a, n, bottom + 8);
  if (bottom == 0) return;
  std::size_t start = 0;
  for (std::size_t j = 1; j <= n; ++j) {
    if (j < n && (a[j] >> bottom) == (a[start] >> bottom)) continue;
    if (j - start > 1) bufferedSortSlots(a + start, j - start, bottom, buffer);
    start = j;
  }
}

void stackSortSlots(Slot* a, std::size_t n, unsigned top) noexcept {
  Slot buffer[kStackSort];
  bufferedSortSlots(a, n, top, buffer);
}

// Asks for the memory a little past `p` (which need not exist: a prefetch
// never faults).
inline void prefetchAhead(const Slot* p) noexcept {
  constexpr std::uintptr_t kAhead = 2 * 64;  // two cache lines
  __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(p) + kAhead), 1);
}

// Moves slots into buckets in place. `next` holds the count of each of the
// `buckets` buckets on entry; on return end[b] is where bucket b ends.
// Rounds over the buckets: each slot not yet placed is swapped with the next
// free place of the bucket it belongs to, which puts it there and brings back
// a slot still to be placed. The swaps of a round do not wait for each other,
// so their memory accesses overlap. Once only one bucket has free places, all
// slots left there belong to it.
template <typename Digit>
void intoBuckets(Slot* a, std::size_t buckets, Digit digit, std::uint32_t* next,
                 std::uint32_t* end) noexcept {
  std::uint32_t sum = 0;
  for (std::size_t b = 0; b < buckets; ++b) {
    const std::uint32_t count = next[b];
    next[b] = sum;
    sum += count;
    end[b] = sum;
  }
  for (std::size_t unfilled = buckets; unfilled > 1;) {
    unfilled = 0;
    for (std::size_t b = 0; b < buckets; ++b) {
      for (std::uint32_t i = next[b], e = end[b]; i < e; ++i) {
        Slot* dst = a + next[digit(a[i])]++;
        prefetchAhead(dst);
        std::swap(a[i], *dst);
      }
      unfilled += next[b] < end[b] ? 1 : 0;
    }
  }
}

// Sorts a[0 .. n) ascending, in place, for distinct slots that agree on
// their bits from `top` up. Inputs larger than kStackSort are split by a
// digit of up to kMaxBits bits below `top` into buckets of about half that
// (an American flag pass); the largest bucket is split again in this frame
// and the others by calls with 8-bit digits, each on at most half the slots,
// so the stack stays shallow. O(n) per digit.
template <unsigned kMaxBits>
void radixSortSlots(Slot* a, std::size_t n, unsigned top) noexcept {
  constexpr std::size_t kMaxBuckets = std::size_t{1} << kMaxBits;
  for (;;) {
    if (n <= kStackSort) {
      stackSortSlots(a, n, top);
      return;
    }
    if (std::is_sorted(a, a + n)) return;
    // n distinct slots that agree from `top` up: top >= bit_width(n - 1) > 10.
    const auto wanted = static_cast<unsigned>(std::bit_width((n - 1) / (kStackSort / 2)));
    const unsigned shift = top - std::min({kMaxBits, top, wanted});
    const std::size_t buckets = std::size_t{1} << (top - shift);
    const auto digit = [shift, buckets](Slot s) {
      return static_cast<std::size_t>(s >> shift) & (buckets - 1);
    };
    std::uint32_t next[kMaxBuckets] = {};  // counts, then where each bucket fills next
    for (std::size_t i = 0; i < n; ++i) ++next[digit(a[i])];
    if (next[digit(a[0])] == n) {  // one bucket: straight to the next digit
      top = shift;
      continue;
    }
    std::uint32_t end[kMaxBuckets];
    intoBuckets(a, buckets, digit, next, end);
    const auto first = [&end](std::size_t b) -> std::uint32_t { return b == 0 ? 0 : end[b - 1]; };
    std::size_t largest = 0;
    for (std::size_t b = 1; b < buckets; ++b) {
      if (end[b] - first(b) > end[largest] - first(largest)) largest = b;
    }
    for (std::size_t b = 0; b < buckets; ++b) {
      if (b != largest && end[b] - first(b) > 1) {
        radixSortSlots<8>(a + first(b), end[b] - first(b), shift);
      }
    }
    n = end[largest] - first(largest);
    a += first(largest);
    top = shift;
  }
}

// Sorts slots whose keys are below 2^key_bits by (key, index).
void sortByKeyAndIndex(Slot* a, std::size_t n, unsigned key_bits) noexcept {
  radixSortSlots<kTopDigitBits>(a, n, kHalf + key_bits);
}

// A run of at most kSmallSort points: distances on the stack, the reference's
// insertion sort over them, slots rewritten as (rank, index).
void settleSmallRun(Slot* run, std::size_t k, const Points& pts) noexcept {
  double dist[kSmallSort] = {};
  std::size_t order[kSmallSort];
  std::sort(run, run + k, [](Slot a, Slot b) { return indexOf(a) < indexOf(b); });
  for (std::size_t j = 0; j < k; ++j) {
    dist[j] = pts.distance(indexOf(run[j]));
    order[j] = j;
  }
  insertionSortByDistance(order, dist, k);
  std::uint32_t index[kSmallSort];
  for (std::size_t j = 0; j < k; ++j) index[j] = indexOf(run[order[j]]);
  for (std::size_t j = 0; j < k; ++j) run[j] = pack(j, index[j]);
}

// Orders a run by (descending distance, ascending index), keeping the index in
// the low half of each slot. [hint_lo, hint_hi] is a range of distance bit
// patterns that the run's distances are expected to lie in (empty for none);
// a distance outside it is noticed, and the range is then measured.
void settleRun(Slot* run, std::size_t k, const Points& pts, Slot hint_lo, Slot hint_hi) noexcept {
  if (k <= kSmallSort) {
    settleSmallRun(run, k, pts);
    return;
  }
  // Equal cosines have equal distances: such a run needs no arc-cosine.
  const double first = pts.cosine(indexOf(run[0]));
  std::size_t same = 1;
  while (same < k && pts.cosine(indexOf(run[same])) == first) ++same;
  if (same == k) {
    for (std::size_t j = 0; j < k; ++j) run[j] = indexOf(run[j]);
    sortByKeyAndIndex(run, k, 0);
    return;
  }

  Slot lo = hint_lo;
  Slot hi = hint_hi;
  bool fits = lo <= hi && hi - lo <= kLowHalf;
  if (fits) {  // one pass: key and check together
    for (std::size_t j = 0; j < k; ++j) {
      const std::uint32_t i = indexOf(run[j]);
      const Slot b = distanceBits(pts.distance(i));
      if (b < lo || b > hi) {
        fits = false;
        break;
      }
      run[j] = pack(hi - b, i);
    }
  }
  unsigned shift = 0;
  if (!fits) {  // measure the range, then key by it
    lo = std::numeric_limits<Slot>::max();
    hi = 0;
    for (std::size_t j = 0; j < k; ++j) {
      const Slot b = distanceBits(pts.distance(indexOf(run[j])));
      lo = std::min(lo, b);
      hi = std::max(hi, b);
    }
    const Slot span = hi - lo;
    shift = span > kLowHalf ? static_cast<unsigned>(std::bit_width(span)) - kHalf : 0;
    for (std::size_t j = 0; j < k; ++j) {
      const std::uint32_t i = indexOf(run[j]);
      run[j] = pack((hi - distanceBits(pts.distance(i))) >> shift, i);
    }
  }
  sortByKeyAndIndex(run, k, static_cast<unsigned>(std::bit_width((hi - lo) >> shift)));
  if (shift == 0) return;
  // Keyed by the top 32 bits of a wider span: each group of equal keys spans
  // fewer than 2^shift <= 2^32 patterns and is keyed exactly on its own.
  std::size_t start = 0;
  for (std::size_t j = 1; j <= k; ++j) {
    if (j < k && keyOf(run[j]) == keyOf(run[start])) continue;
    if (j - start > 1) settleRun(run + start, j - start, pts, 1, 0);  // no hint: measured
    start = j;
  }
}

// The range of distance bit patterns of points whose q lie in [q_lo, q_hi],
// with a margin for the rounding of the arc-cosine.
void expectedRange(Slot q_lo, Slot q_hi, Slot& lo, Slot& hi) noexcept {
  constexpr Slot kMargin = 64;
  const double c_lo = std::ldexp(static_cast<double>(q_lo), -static_cast<int>(kHalf));
  const double c_hi = std::min(1.0, std::ldexp(static_cast<double>(q_hi + 1), -static_cast<int>(kHalf)));
  const Slot near = distanceBits(std::acos(c_hi));
  const Slot far = distanceBits(std::acos(c_lo));
  lo = near > kMargin ? near - kMargin : 0;
  hi = far + kMargin;
}

// Walks the slots sorted by q from the front, as far as they are sorted, and
// settles each run as soon as a key more than 1 above its last one ends it;
// settled and single slots are left holding their index alone.
class RunScanner {
 public:
  RunScanner(Slot* slots, const Points& pts) noexcept : slots_(slots), pts_(pts) {}

  void advance(std::size_t sorted_end) noexcept {
    for (; next_ < sorted_end; ++next_) {
      if (keyOf(slots_[next_]) - keyOf(slots_[next_ - 1]) > 1) close();
    }
  }
  void finish(std::size_t n) noexcept {
    advance(n);
    close();
  }

 private:
  void close() noexcept {
    if (next_ - start_ > 1) {
      Slot lo = 0;
      Slot hi = 0;
      expectedRange(keyOf(slots_[start_]), keyOf(slots_[next_ - 1]), lo, hi);
      settleRun(slots_ + start_, next_ - start_, pts_, lo, hi);
    }
    for (std::size_t m = start_; m < next_; ++m) slots_[m] = indexOf(slots_[m]);
    start_ = next_;
  }

  Slot* slots_;
  const Points& pts_;
  std::size_t start_ = 0;  // the first slot of the open run
  std::size_t next_ = 1;   // the next slot to look at
};

void packedSort(Slot* slots, std::size_t n, const Points& pts) noexcept {
  constexpr double kScale = 0x1p32;
  constexpr unsigned kTopShift = 64 - kTopDigitBits;
  constexpr std::size_t kBuckets = std::size_t{1} << kTopDigitBits;
  Slot q_or = 0;
  Slot q_and = kLowHalf;
  std::uint32_t counts[kBuckets] = {};
  for (std::size_t i = 0; i < n; ++i) {
    Slot q = static_cast<Slot>(pts.cosine(static_cast<std::uint32_t>(i)) * kScale);  // exact
    q -= q >> kHalf;  // a cosine of 1 joins the top key
    q_or |= q;
    q_and &= q;
    slots[i] = pack(q, static_cast<std::uint32_t>(i));
    ++counts[slots[i] >> kTopShift];
  }
  const auto varying = static_cast<unsigned>(std::bit_width(q_or ^ q_and));
  if ((Slot{1} << varying) <= n) {
    // The q differ only in fewer bits than it takes to count the points:
    // nearly every point would share a run with its neighbours, so the whole
    // input is ordered by exact distance at once.
    Slot lo = 0;
    Slot hi = 0;
    expectedRange(q_and, q_or, lo, hi);
    settleRun(slots, n, pts, lo, hi);
    for (std::size_t m = 0; m < n; ++m) slots[m] = indexOf(slots[m]);
    return;
  }
  RunScanner scan{slots, pts};
  if (n < 4 * kBuckets || std::count(counts, counts + kBuckets, 0u) == kBuckets - 1) {
    // Few points, or one bucket of the top digit: sort by the bits of q that vary.
    radixSortSlots<kTopDigitBits>(slots, n, kHalf + varying);
  } else {
    // Buckets by the top digit of q, counted above; each is sorted and its
    // runs settled while it is still in the cache.
    std::uint32_t end[kBuckets];
    intoBuckets(slots, kBuckets, [](Slot s) { return static_cast<std::size_t>(s >> kTopShift); },
                counts, end);
    std::uint32_t start = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) {
      radixSortSlots<kTopDigitBits>(slots + start, end[b] - start, kTopShift);
      scan.advance(end[b]);
      start = end[b];
    }
  }
  scan.finish(n);
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
  const Points pts{observer, observer.norm(), positions.data()};

  if (n <= kSmallSort) {
    double dist[kSmallSort];
    for (std::size_t i = 0; i < n; ++i) dist[i] = fsDistance(observer, positions[i]);
    std::iota(out, out + n, std::size_t{0});
    insertionSortByDistance(out, dist, n);
  } else if (n <= kLowHalf) {
    packedSort(out, n, pts);
  } else {
    // Too many points for a 32-bit index: an in-place comparison sort on
    // (descending distance, ascending index), distances recomputed.
    std::iota(out, out + n, std::size_t{0});
    std::sort(out, out + n, [&](std::size_t a, std::size_t b) {
      const double da = fsDistance(observer, positions[a]);
      const double db = fsDistance(observer, positions[b]);
      return da > db || (da == db && a < b);
    });
  }
  return indices;
}

}  // namespace kova_renderer
