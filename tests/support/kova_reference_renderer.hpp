// Plain reference versions of the renderer's batch operations and depth sort,
// written as the straightforward loops they must agree with bit for bit.
// Header-only; depends on the public headers alone, so tests, fuzz targets and
// benchmarks can all compare against the same code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kova_kernel.hpp"
#include "kova_renderer.hpp"

namespace kova_reference {

// The early-exit loop: isVisibleFast per point, first n = min(sizes) entries.
inline std::uint32_t frustumCull(const kova_renderer::KovaFrustum& frustum,
                                 std::span<const kova_kernel::HomVec4> positions,
                                 std::span<bool> visible_mask) {
  const std::size_t n =
      positions.size() < visible_mask.size() ? positions.size() : visible_mask.size();
  std::uint32_t count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const bool is_visible = frustum.isVisibleFast(positions[i]);
    visible_mask[i] = is_visible;
    if (is_visible) count = count + 1;
  }
  return count;
}

inline std::uint32_t projectiveClip(const kova_renderer::ProjectiveHyperplane& plane,
                                    std::span<const kova_kernel::HomVec4> positions,
                                    std::span<bool> visible_mask) {
  const std::size_t n =
      positions.size() < visible_mask.size() ? positions.size() : visible_mask.size();
  std::uint32_t count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const bool is_visible = plane.isVisible(positions[i]);
    visible_mask[i] = is_visible;
    if (is_visible) count = count + 1;
  }
  return count;
}

// The stable insertion sort, descending by distance, with every compared
// distance recomputed: quadratic, for comparison only.
inline std::vector<std::size_t> sortByFSDepth(kova_kernel::HomVec4 observer,
                                              std::span<const kova_kernel::HomVec4> positions) {
  const std::size_t n = positions.size();
  std::vector<std::size_t> indices(n);
  for (std::size_t i = 0; i < n; ++i) indices[i] = i;
  for (std::size_t i = 1; i < n; ++i) {
    const std::size_t key = indices[i];
    const double key_dist = kova_kernel::fsDistance(observer, positions[key]);
    std::size_t j = i;
    while (j > 0) {
      const double prev_dist = kova_kernel::fsDistance(observer, positions[indices[j - 1]]);
      if (prev_dist >= key_dist) break;
      indices[j] = indices[j - 1];
      j = j - 1;
    }
    indices[j] = key;
  }
  return indices;
}

}  // namespace kova_reference
