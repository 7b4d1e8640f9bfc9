// Memory resources for the tests, fuzz targets and benchmarks of kova's
// allocating operations:
//  - CountingResource records every allocation and checks that each
//    deallocation returns a live block with its original size and alignment;
//  - RefusingResource throws std::bad_alloc on chosen allocation attempts
//    (one attempt and optionally all after it, or a bit mask of attempts),
//    passing the others upstream.
// They compose: RefusingResource(k, sticky, &counting) refuses through a counter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory_resource>
#include <new>
#include <utility>

namespace kova_test {

class CountingResource final : public std::pmr::memory_resource {
 public:
  explicit CountingResource(std::pmr::memory_resource* upstream = std::pmr::new_delete_resource())
      : upstream_(upstream) {}
  CountingResource(const CountingResource&) = delete;
  CountingResource& operator=(const CountingResource&) = delete;

  std::size_t allocations() const noexcept { return allocations_; }
  std::size_t deallocations() const noexcept { return deallocations_; }
  std::size_t bytesAllocated() const noexcept { return bytes_allocated_; }
  std::size_t bytesReleased() const noexcept { return bytes_released_; }
  // Bytes allocated and not yet released.
  std::size_t outstandingBytes() const noexcept { return bytes_allocated_ - bytes_released_; }
  std::size_t liveBlocks() const noexcept { return live_.size(); }
  // Deallocations of a pointer that was not live, or with another size or alignment.
  std::size_t badDeallocations() const noexcept { return bad_deallocations_; }

 private:
  void* do_allocate(std::size_t bytes, std::size_t alignment) override {
    void* p = upstream_->allocate(bytes, alignment);
    live_.emplace(p, std::pair{bytes, alignment});
    ++allocations_;
    bytes_allocated_ += bytes;
    return p;
  }
  void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override {
    const auto it = live_.find(p);
    if (it == live_.end() || it->second != std::pair{bytes, alignment}) {
      // Not ours to free (double release or wrong size): record it and leak
      // rather than corrupt the upstream heap.
      ++bad_deallocations_;
      return;
    }
    live_.erase(it);
    ++deallocations_;
    bytes_released_ += bytes;
    upstream_->deallocate(p, bytes, alignment);
  }
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }

  std::pmr::memory_resource* upstream_;
  std::map<void*, std::pair<std::size_t, std::size_t>> live_;
  std::size_t allocations_ = 0;
  std::size_t deallocations_ = 0;
  std::size_t bytes_allocated_ = 0;
  std::size_t bytes_released_ = 0;
  std::size_t bad_deallocations_ = 0;
};

// Attempts chosen bit by bit: attempt n < 64 is refused when bit n of `mask` is
// set, and every attempt from 64 on when `rest` is set (as a fuzzer decides).
struct RefusalMask {
  std::uint64_t mask = 0;
  bool rest = false;
};

class RefusingResource final : public std::pmr::memory_resource {
 public:
  // Refuses allocation attempt number `refuse_at` (0 is the first); when
  // `sticky`, every later attempt is refused as well.
  explicit RefusingResource(std::size_t refuse_at, bool sticky = true,
                            std::pmr::memory_resource* upstream = std::pmr::new_delete_resource())
      : upstream_(upstream), refuse_at_(refuse_at), sticky_(sticky) {}
  // Refuses the attempts that `plan` names.
  explicit RefusingResource(RefusalMask plan,
                            std::pmr::memory_resource* upstream = std::pmr::new_delete_resource())
      : upstream_(upstream), refuse_at_(0), sticky_(false), masked_(true), plan_(plan) {}
  RefusingResource(const RefusingResource&) = delete;
  RefusingResource& operator=(const RefusingResource&) = delete;

  // Allocation attempts so far, refused ones included.
  std::size_t attempts() const noexcept { return attempts_; }
  std::size_t refusals() const noexcept { return refusals_; }
  // Moves the refusal point (counted in attempts from the start).
  void refuseAt(std::size_t refuse_at, bool sticky = true) noexcept {
    refuse_at_ = refuse_at;
    sticky_ = sticky;
    masked_ = false;
  }

 private:
  void* do_allocate(std::size_t bytes, std::size_t alignment) override {
    const std::size_t n = attempts_++;
    if (refuses(n)) {
      ++refusals_;
      throw std::bad_alloc();
    }
    return upstream_->allocate(bytes, alignment);
  }
  bool refuses(std::size_t n) const noexcept {
    if (masked_) return n < 64 ? ((plan_.mask >> n) & 1u) != 0 : plan_.rest;
    return n == refuse_at_ || (sticky_ && n > refuse_at_);
  }
  void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override {
    upstream_->deallocate(p, bytes, alignment);
  }
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }

  std::pmr::memory_resource* upstream_;
  std::size_t refuse_at_;
  bool sticky_;
  bool masked_ = false;
  RefusalMask plan_{};
  std::size_t attempts_ = 0;
  std::size_t refusals_ = 0;
};

}  // namespace kova_test
