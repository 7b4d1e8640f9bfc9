// Every pass of both scenes draws through a kova projective pipeline that
// tests and writes FS-depth (nearer or equal wins); only the topology varies.
#pragma once

#include <expected>
#include <string>

#include "device_names.hpp"

namespace kova_demo {

template <FrameDevice Device>
[[nodiscard]] std::expected<PipelineId, std::string> createFsDepthPipeline(
    Device& device, kova_rhi::PrimitiveTopology topology) {
  using namespace kova_rhi;
  return device.createPipeline({.type = PipelineType::kova_projective,
                                .topology = topology,
                                .depth = DepthState{.depth_test = true,
                                                    .depth_write = true,
                                                    .depth_compare = CompareOp::less_equal,
                                                    .fs_depth = true}});
}

}  // namespace kova_demo
