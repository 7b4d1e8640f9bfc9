#include <atomic>

#include "kova_device_resources.hpp"

namespace kova_device {

std::uint32_t nextGeneration() noexcept {
  static std::atomic<std::uint32_t> counter{0};
  std::uint32_t g = counter.fetch_add(1, std::memory_order_relaxed) + 1;
  while (g == 0) g = counter.fetch_add(1, std::memory_order_relaxed) + 1;  // 0 means invalid
  return g;
}

}  // namespace kova_device
