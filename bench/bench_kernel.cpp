// Kernel benchmarks: the 4x4 product, the point transform and the inverse,
// each beside GLM (glm::dmat4) and Eigen (Eigen::Matrix4d) on the same
// values, and the Fubini-Study distance over a large batch.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <vector>

#include "bench_support.hpp"
#include "kova_kernel.hpp"

#if KOVA_BENCH_HAVE_GLM
#include <glm/gtc/type_ptr.hpp>
#include <glm/mat4x4.hpp>
#include <glm/matrix.hpp>
#include <glm/vec4.hpp>
#endif
#if KOVA_BENCH_HAVE_EIGEN
#include <Eigen/Dense>
#endif

namespace {

using kova_kernel::HomVec4;
using kova_kernel::PGL4;

// Products per batch: three arrays of 64 matrices (24 KiB) stay in L1, so
// the loop measures the arithmetic, not the memory.
constexpr std::size_t kMulBatch = 64;
// Points per apply batch: 32 MiB in and 32 MiB out, the size of a large scene.
constexpr std::size_t kApplyPoints = std::size_t{1} << 20;
constexpr std::size_t kInverseBatch = 64;
constexpr std::size_t kDistancePoints = 1000000;

// One fixed set of inputs, converted into each library's types, so that the
// three libraries work on exactly the same numbers.
const std::vector<PGL4>& lhs() {
  static const std::vector<PGL4> m = kova_bench::randomTransforms(kMulBatch, 11);
  return m;
}
const std::vector<PGL4>& rhs() {
  static const std::vector<PGL4> m = kova_bench::randomTransforms(kMulBatch, 12);
  return m;
}
const std::vector<HomVec4>& applyPoints() {
  static const std::vector<HomVec4> p = kova_bench::randomSpherePoints(kApplyPoints, 13);
  return p;
}
const PGL4& applyMatrix() {
  static const PGL4 m = lhs()[0];
  return m;
}

void mulKova(benchmark::State& state) {
  const std::vector<PGL4> a = lhs();
  const std::vector<PGL4> b = rhs();
  std::vector<PGL4> out(kMulBatch);
  for (auto _ : state) {
    for (std::size_t i = 0; i < kMulBatch; ++i) out[i] = a[i].mul(b[i]);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  kova_bench::setItems(state, kMulBatch);
}
BENCHMARK(mulKova)->Name("mul/kova");

void applyKova(benchmark::State& state) {
  // A private copy, as the GLM and Eigen runs make theirs: all three then read
  // memory allocated the same way just before the run.
  const std::vector<HomVec4> p = applyPoints();
  const PGL4 m = applyMatrix();
  std::vector<HomVec4> out(p.size());
  for (auto _ : state) {
    for (std::size_t i = 0; i < p.size(); ++i) out[i] = m.apply(p[i]);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  kova_bench::setPointStream(state, p.size());
}
BENCHMARK(applyKova)->Name("apply/kova");

void inverseKova(benchmark::State& state) {
  const auto& a = lhs();
  std::vector<PGL4> out(kInverseBatch);
  for (auto _ : state) {
    for (std::size_t i = 0; i < kInverseBatch; ++i) out[i] = a[i].inverse(0.0, 8);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  kova_bench::setItems(state, kInverseBatch);
}
BENCHMARK(inverseKova)->Name("inverse/kova");

void detKova(benchmark::State& state) {
  const auto& a = lhs();
  std::vector<double> out(kMulBatch);
  for (auto _ : state) {
    for (std::size_t i = 0; i < kMulBatch; ++i) out[i] = a[i].det();
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  kova_bench::setItems(state, kMulBatch);
}
BENCHMARK(detKova)->Name("det/kova");

void distanceKova(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::vector<HomVec4> p = kova_bench::randomSpherePoints(n, 14);
  const HomVec4 observer = HomVec4::init(0.0, 0.0, 0.0, 1.0);
  std::vector<double> out(n);
  for (auto _ : state) {
    for (std::size_t i = 0; i < n; ++i) out[i] = kova_kernel::fsDistance(observer, p[i]);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  kova_bench::setPointStream(state, n);
}
BENCHMARK(distanceKova)->Name("distance/kova")->Arg(kDistancePoints);

void normalizeKova(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::vector<HomVec4> p = kova_bench::randomSpherePoints(n, 15);
  std::vector<HomVec4> out(n);
  for (auto _ : state) {
    for (std::size_t i = 0; i < n; ++i) out[i] = p[i].normalize();
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  kova_bench::setPointStream(state, n);
}
BENCHMARK(normalizeKova)->Name("normalize/kova")->Arg(kDistancePoints);

#if KOVA_BENCH_HAVE_GLM
std::vector<glm::dmat4> toGlm(const std::vector<PGL4>& m) {
  std::vector<glm::dmat4> out;
  out.reserve(m.size());
  for (const auto& e : m) out.push_back(glm::make_mat4(e.data.data()));
  return out;
}

void mulGlm(benchmark::State& state) {
  const std::vector<glm::dmat4> a = toGlm(lhs());
  const std::vector<glm::dmat4> b = toGlm(rhs());
  std::vector<glm::dmat4> out(kMulBatch);
  for (auto _ : state) {
    for (std::size_t i = 0; i < kMulBatch; ++i) out[i] = a[i] * b[i];
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  kova_bench::setItems(state, kMulBatch);
}
BENCHMARK(mulGlm)->Name("mul/glm");

void applyGlm(benchmark::State& state) {
  std::vector<glm::dvec4> p;
  p.reserve(kApplyPoints);
  for (const HomVec4& v : applyPoints()) p.emplace_back(v.x, v.y, v.z, v.w);
  const glm::dmat4 m = glm::make_mat4(applyMatrix().data.data());
  std::vector<glm::dvec4> out(p.size());
  for (auto _ : state) {
    for (std::size_t i = 0; i < p.size(); ++i) out[i] = m * p[i];
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  kova_bench::setPointStream(state, p.size());
}
BENCHMARK(applyGlm)->Name("apply/glm");

void inverseGlm(benchmark::State& state) {
  const std::vector<glm::dmat4> a = toGlm(lhs());
  std::vector<glm::dmat4> out(kInverseBatch);
  for (auto _ : state) {
    for (std::size_t i = 0; i < kInverseBatch; ++i) out[i] = glm::inverse(a[i]);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  kova_bench::setItems(state, kInverseBatch);
}
BENCHMARK(inverseGlm)->Name("inverse/glm");
#endif

#if KOVA_BENCH_HAVE_EIGEN
std::vector<Eigen::Matrix4d> toEigen(const std::vector<PGL4>& m) {
  std::vector<Eigen::Matrix4d> out;
  out.reserve(m.size());
  for (const auto& e : m) out.emplace_back(Eigen::Map<const Eigen::Matrix4d>(e.data.data()));
  return out;
}

void mulEigen(benchmark::State& state) {
  const std::vector<Eigen::Matrix4d> a = toEigen(lhs());
  const std::vector<Eigen::Matrix4d> b = toEigen(rhs());
  std::vector<Eigen::Matrix4d> out(kMulBatch);
  for (auto _ : state) {
    for (std::size_t i = 0; i < kMulBatch; ++i) out[i].noalias() = a[i] * b[i];
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  kova_bench::setItems(state, kMulBatch);
}
BENCHMARK(mulEigen)->Name("mul/eigen");

void applyEigen(benchmark::State& state) {
  std::vector<Eigen::Vector4d> p;
  p.reserve(kApplyPoints);
  for (const HomVec4& v : applyPoints()) p.emplace_back(v.x, v.y, v.z, v.w);
  const Eigen::Matrix4d m = Eigen::Map<const Eigen::Matrix4d>(applyMatrix().data.data());
  std::vector<Eigen::Vector4d> out(p.size());
  for (auto _ : state) {
    for (std::size_t i = 0; i < p.size(); ++i) out[i].noalias() = m * p[i];
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  kova_bench::setPointStream(state, p.size());
}
BENCHMARK(applyEigen)->Name("apply/eigen");

void inverseEigen(benchmark::State& state) {
  const std::vector<Eigen::Matrix4d> a = toEigen(lhs());
  std::vector<Eigen::Matrix4d> out(kInverseBatch);
  for (auto _ : state) {
    for (std::size_t i = 0; i < kInverseBatch; ++i) out[i] = a[i].inverse();
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  kova_bench::setItems(state, kInverseBatch);
}
BENCHMARK(inverseEigen)->Name("inverse/eigen");
#endif

}  // namespace
