// Renderer benchmarks: the batch cull and clip against the plain early-exit
// loop and against a streaming read of the same points, FS-depth over a batch,
// and the depth sort against the stable insertion sort it must reproduce.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <span>
#include <vector>

#include "bench_support.hpp"
#include "kova_kernel.hpp"
#include "kova_reference_renderer.hpp"
#include "kova_renderer.hpp"

namespace {

using kova_kernel::HomVec4;
using kova_renderer::KovaFrustum;

constexpr std::size_t kSmall = 4096;                  // 128 KiB of points: in cache
constexpr std::size_t kLarge = std::size_t{1} << 24;  // 512 MiB: from memory
constexpr std::size_t kSortPoints = 1000000;
constexpr std::size_t kLiteralSortPoints = 10000;

const KovaFrustum& defaultFrustum() {
  static const KovaFrustum f = KovaFrustum::fromCamera(kova_renderer::KovaCamera::defaultCamera());
  return f;
}

// Points uniform on the 3-sphere, each drawn inside or outside the default
// frustum by a fair coin (uniform points alone would be about 31 % visible), so
// that visibility is as unpredictable as it can be.
std::vector<HomVec4> cullPoints(std::size_t n, std::uint64_t seed) {
  const KovaFrustum& f = defaultFrustum();
  kova_bench::Rng rng{seed};
  std::vector<HomVec4> points(n);
  for (auto& p : points) {
    const bool want_visible = (rng.next() >> 63) != 0;
    do p = kova_bench::randomSpherePoint(rng);
    while (f.isVisibleFast(p) != want_visible);
  }
  return points;
}

// The large set is built once and shared by the cull, clip and read benchmarks.
const std::vector<HomVec4>& largePoints() {
  static const std::vector<HomVec4> p = cullPoints(kLarge, 21);
  return p;
}
// Views the shared large set without copying it.
std::span<const HomVec4> viewFor(std::size_t n, std::vector<HomVec4>& small) {
  if (n == kLarge) return largePoints();
  small = cullPoints(n, 22);
  return small;
}

template <typename Classify>
void runBatch(benchmark::State& state, Classify classify) {
  const auto n = static_cast<std::size_t>(state.range(0));
  std::vector<HomVec4> small;
  const std::span<const HomVec4> points = viewFor(n, small);
  // A plain array: std::vector<bool> is packed and has no span.
  const auto mask = std::make_unique<bool[]>(n);
  const std::span<bool> mask_view(mask.get(), n);
  std::uint32_t visible = 0;
  for (auto _ : state) {
    visible = classify(points, mask_view);
    benchmark::DoNotOptimize(visible);
    benchmark::DoNotOptimize(mask.get());
    benchmark::ClobberMemory();
  }
  kova_bench::setPointStream(state, n);
  state.counters["visible"] = static_cast<double>(visible) / static_cast<double>(n);
}

void cullKova(benchmark::State& state) {
  runBatch(state, [](std::span<const HomVec4> p, std::span<bool> m) {
    return kova_renderer::frustumCull(defaultFrustum(), p, m);
  });
}
void cullLiteral(benchmark::State& state) {
  runBatch(state, [](std::span<const HomVec4> p, std::span<bool> m) {
    return kova_reference::frustumCull(defaultFrustum(), p, m);
  });
}
void clipKova(benchmark::State& state) {
  runBatch(state, [](std::span<const HomVec4> p, std::span<bool> m) {
    return kova_renderer::projectiveClip(defaultFrustum().planes[0], p, m);
  });
}
void clipLiteral(benchmark::State& state) {
  runBatch(state, [](std::span<const HomVec4> p, std::span<bool> m) {
    return kova_reference::projectiveClip(defaultFrustum().planes[0], p, m);
  });
}

// The widest vector loop the processor has, as frustumCull picks it.
kova_renderer::detail::BatchPath widestBatchPath() {
  using kova_renderer::detail::BatchPath;
  for (BatchPath path : {BatchPath::avx512, BatchPath::avx2}) {
    if (kova_renderer::detail::batchPathAvailable(path)) return path;
  }
  return BatchPath::portable;
}

// The widest vector loop with the prefetch forced on or off, whatever the
// processor: the run-time choice of frustumCull and projectiveClip should take
// the faster of the two.
template <kova_renderer::detail::BatchPrefetch kPrefetch>
void cullForced(benchmark::State& state) {
  runBatch(state, [](std::span<const HomVec4> p, std::span<bool> m) {
    return kova_renderer::detail::frustumCullWith(widestBatchPath(), defaultFrustum(), p, m,
                                                  kPrefetch);
  });
}
template <kova_renderer::detail::BatchPrefetch kPrefetch>
void clipForced(benchmark::State& state) {
  runBatch(state, [](std::span<const HomVec4> p, std::span<bool> m) {
    return kova_renderer::detail::projectiveClipWith(widestBatchPath(), defaultFrustum().planes[0],
                                                     p, m, kPrefetch);
  });
}
using kova_renderer::detail::BatchPrefetch;
BENCHMARK(cullKova)->Name("cull/kova")->Arg(kSmall)->Arg(kLarge);
BENCHMARK(cullForced<BatchPrefetch::ahead>)->Name("cull/prefetch")->Arg(kLarge);
BENCHMARK(cullForced<BatchPrefetch::none>)->Name("cull/noprefetch")->Arg(kLarge);
BENCHMARK(cullLiteral)->Name("cull/literal")->Arg(kSmall)->Arg(kLarge);
BENCHMARK(clipKova)->Name("clip/kova")->Arg(kSmall)->Arg(kLarge);
BENCHMARK(clipForced<BatchPrefetch::ahead>)->Name("clip/prefetch")->Arg(kLarge);
BENCHMARK(clipForced<BatchPrefetch::none>)->Name("clip/noprefetch")->Arg(kLarge);
BENCHMARK(clipLiteral)->Name("clip/literal")->Arg(kSmall)->Arg(kLarge);

// The memory limit of the large cull: every byte of the same points read once
// and summed, four points per step into sixteen independent sums that keep the
// additions far ahead of the memory. `read` is the plain streaming loop;
// `read/prefetch` also asks for the points 2 KiB ahead, as the batch loops do on
// Intel processors (on an Intel Xeon the hardware prefetcher alone leaves about a
// fifth of the bandwidth unused; on AMD Zen 4 the requests cost a tenth).
template <bool kPrefetch>
void readStream(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  std::vector<HomVec4> small;
  const std::span<const HomVec4> points = viewFor(n, small);
  constexpr std::size_t kAhead = 64;  // points: 2 KiB
  for (auto _ : state) {
    HomVec4 acc[4] = {};
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      if (kPrefetch && i + kAhead + 4 <= n) {
        __builtin_prefetch(&points[i + kAhead]);
        __builtin_prefetch(&points[i + kAhead + 2]);
      }
      for (std::size_t j = 0; j < 4; ++j) {
        acc[j].x = acc[j].x + points[i + j].x;
        acc[j].y = acc[j].y + points[i + j].y;
        acc[j].z = acc[j].z + points[i + j].z;
        acc[j].w = acc[j].w + points[i + j].w;
      }
    }
    for (; i < n; ++i) acc[0].x = acc[0].x + points[i].x;
    // Only the total leaves the loop, so the sums stay in registers.
    double total = 0.0;
    for (const HomVec4& a : acc) total = total + ((a.x + a.y) + (a.z + a.w));
    benchmark::DoNotOptimize(total);
  }
  kova_bench::setPointStream(state, n);
}
BENCHMARK(readStream<false>)->Name("read")->Arg(kLarge);
BENCHMARK(readStream<true>)->Name("read/prefetch")->Arg(kLarge);

void depthKova(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::vector<HomVec4> p = kova_bench::randomSpherePoints(n, 14);
  const kova_renderer::KovaCamera camera = kova_renderer::KovaCamera::defaultCamera();
  std::vector<double> out(n);
  for (auto _ : state) {
    for (std::size_t i = 0; i < n; ++i) {
      out[i] = kova_renderer::fsDepth(camera.position, p[i], camera.near_fs, camera.far_fs);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  kova_bench::setPointStream(state, n);
}
BENCHMARK(depthKova)->Name("depth/kova")->Arg(kSortPoints);

// Every point at one distance from the observer (0, 0, 0, 1): a point
// (x, y, z, w) with the signs of its coordinates flipped at random.
std::vector<HomVec4> tiedPoints(std::size_t n) {
  kova_bench::Rng rng{31};
  std::vector<HomVec4> points(n);
  for (auto& p : points) {
    const std::uint64_t s = rng.next();
    const auto sign = [s](unsigned bit) { return ((s >> bit) & 1u) != 0 ? -1.0 : 1.0; };
    p = HomVec4::init(sign(0) * 0.5, sign(1) * 0.25, sign(2) * 0.125, sign(3) * 0.75);
  }
  return points;
}

// Distances in [pi/2 - 1e-9, pi/2] from (0, 0, 0, 1), nearly all distinct:
// every point falls in one bucket of any coarse key of the cosine.
std::vector<HomVec4> nearTiedPoints(std::size_t n) {
  kova_bench::Rng rng{32};
  std::vector<HomVec4> points(n);
  for (auto& p : points) {
    const double c = 1e-9 * (0.5 + 0.5 * rng.symmetric());
    p = HomVec4::init(std::sqrt(1.0 - c * c), 0.0, 0.0, c);
  }
  return points;
}

void runSort(benchmark::State& state, const std::vector<HomVec4>& p) {
  const HomVec4 observer = HomVec4::init(0.0, 0.0, 0.0, 1.0);
  for (auto _ : state) {
    auto order = kova_renderer::sortByFSDepth(*std::pmr::new_delete_resource(), observer, p);
    if (!order) {
      state.SkipWithError("sortByFSDepth ran out of memory");
      break;
    }
    benchmark::DoNotOptimize(order->data());
  }
  kova_bench::setItems(state, p.size());
}

// The same points and observer as distance/kova, so the two compare directly.
void sortKova(benchmark::State& state) {
  runSort(state, kova_bench::randomSpherePoints(static_cast<std::size_t>(state.range(0)), 14));
}
void sortKovaTies(benchmark::State& state) {
  runSort(state, tiedPoints(static_cast<std::size_t>(state.range(0))));
}
void sortKovaAdversarial(benchmark::State& state) {
  runSort(state, nearTiedPoints(static_cast<std::size_t>(state.range(0))));
}
BENCHMARK(sortKova)->Name("sort/kova")->Arg(kSortPoints)->Arg(kLiteralSortPoints);
BENCHMARK(sortKovaTies)->Name("sort/kova/ties")->Arg(kSortPoints);
BENCHMARK(sortKovaAdversarial)->Name("sort/kova/adversarial")->Arg(kSortPoints);

void sortLiteral(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::vector<HomVec4> p = kova_bench::randomSpherePoints(n, 14);
  const HomVec4 observer = HomVec4::init(0.0, 0.0, 0.0, 1.0);
  for (auto _ : state) {
    auto order = kova_reference::sortByFSDepth(observer, p);
    benchmark::DoNotOptimize(order.data());
  }
  kova_bench::setItems(state, n);
}
BENCHMARK(sortLiteral)
    ->Name("sort/literal")
    ->Arg(kLiteralSortPoints)
    ->Unit(benchmark::kMillisecond);

}  // namespace
