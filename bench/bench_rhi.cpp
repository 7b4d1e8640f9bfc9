// RHI benchmarks: building a frame graph pass by pass, as a host does every
// frame.
#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <memory_resource>

#include "bench_support.hpp"
#include "kova_rhi.hpp"

namespace {

void frameGraphAddPass(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::array<kova_rhi::ImageId, 2> writes = {kova_rhi::ImageId{1, 0},
                                                   kova_rhi::ImageId{2, 0}};
  const std::array<kova_rhi::GpuCommand, 2> commands = {
      kova_rhi::GpuCommand{kova_rhi::EndPassCommand{}},
      kova_rhi::GpuCommand{kova_rhi::EndPassCommand{}}};
  kova_rhi::FramePass pass;
  pass.name = "pass";
  pass.writes = writes;
  pass.commands = commands;
  for (auto _ : state) {
    kova_rhi::FrameGraph graph = kova_rhi::FrameGraph::init(*std::pmr::new_delete_resource());
    for (std::size_t i = 0; i < n; ++i) {
      if (!graph.addPass(pass)) {
        state.SkipWithError("addPass ran out of memory");
        return;
      }
    }
    graph.advanceFrame();
    benchmark::DoNotOptimize(graph.passes.data());
    graph.deinit();
  }
  kova_bench::setItems(state, n);
}
BENCHMARK(frameGraphAddPass)->Name("framegraph/addPass")->Arg(1000);

}  // namespace
