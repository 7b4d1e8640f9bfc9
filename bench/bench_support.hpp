// Inputs shared by the kova_bench benchmarks: a small deterministic generator,
// points on the unit 3-sphere and random transforms, and the throughput
// counters every benchmark reports.
#pragma once

#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kova_kernel.hpp"

namespace kova_bench {

// SplitMix64: fast, seedable and the same on every platform, so that every run
// measures the same inputs.
struct Rng {
  std::uint64_t state;

  std::uint64_t next() noexcept {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [-1, 1).
  double symmetric() noexcept {
    return static_cast<double>(next() >> 11) * (2.0 / 9007199254740992.0) - 1.0;
  }
};

// Uniform on the unit 3-sphere: a point drawn uniformly from the unit 4-ball
// (by rejection from the cube) and pushed out to the sphere.
inline kova_kernel::HomVec4 randomSpherePoint(Rng& rng) noexcept {
  for (;;) {
    const kova_kernel::HomVec4 p{rng.symmetric(), rng.symmetric(), rng.symmetric(),
                                 rng.symmetric()};
    const double sq = p.dot(p);
    if (sq > 1e-6 && sq <= 1.0) return p.normalize();
  }
}

inline std::vector<kova_kernel::HomVec4> randomSpherePoints(std::size_t n, std::uint64_t seed) {
  Rng rng{seed};
  std::vector<kova_kernel::HomVec4> points(n);
  for (auto& p : points) p = randomSpherePoint(rng);
  return points;
}

// Entries uniform in [-1, 1) plus 4 on the diagonal: well conditioned, so the
// inverses converge and no entry is special.
inline kova_kernel::PGL4 randomTransform(Rng& rng) noexcept {
  kova_kernel::PGL4 m;
  for (auto& e : m.data) e = rng.symmetric();
  for (std::size_t i = 0; i < 4; ++i) m.data[i * 4 + i] = m.data[i * 4 + i] + 4.0;
  return m;
}

inline std::vector<kova_kernel::PGL4> randomTransforms(std::size_t n, std::uint64_t seed) {
  Rng rng{seed};
  std::vector<kova_kernel::PGL4> out(n);
  for (auto& m : out) m = randomTransform(rng);
  return out;
}

// Items per second for every benchmark; bytes per second where a stream of
// points is read, counted as the 32 bytes of each point read.
inline void setItems(benchmark::State& state, std::size_t items_per_iteration) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(items_per_iteration));
}
inline void setPointStream(benchmark::State& state, std::size_t points_per_iteration) {
  setItems(state, points_per_iteration);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(points_per_iteration) *
                          static_cast<std::int64_t>(sizeof(kova_kernel::HomVec4)));
}

}  // namespace kova_bench
