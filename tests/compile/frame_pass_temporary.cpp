// Must not compile: FramePass::init refuses a temporary command array, which
// would be destroyed at the end of the statement and leave the pass dangling.
#include <vector>

#include "kova_rhi.hpp"

int main() {
  const kova_rhi::FramePass pass = kova_rhi::FramePass::init(
      "geometry", {}, {}, std::vector<kova_rhi::GpuCommand>{kova_rhi::EndPassCommand{}},
      kova_rhi::PassType::geometry);
  return static_cast<int>(pass.commands.size());
}
