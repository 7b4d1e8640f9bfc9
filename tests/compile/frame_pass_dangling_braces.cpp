// Must not compile with Clang's -Werror=dangling-gsl: brace initialisation binds
// the pass's command view to a temporary array that dies with the statement.
#include <vector>

#include "kova_rhi.hpp"

int main() {
  const kova_rhi::FramePass pass{"geometry", {}, {},
                                 std::vector<kova_rhi::GpuCommand>{kova_rhi::EndPassCommand{}},
                                 kova_rhi::PassType::geometry};
  return static_cast<int>(pass.commands.size());
}
