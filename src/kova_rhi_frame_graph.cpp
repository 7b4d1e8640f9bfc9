// The frame graph's pass array: growth through the host's memory resource,
// with allocation failure reported as a value and the graph left untouched.
#include <limits>
#include <memory>
#include <new>

#include "kova_rhi.hpp"

namespace kova_rhi {

FrameGraph FrameGraph::init(std::pmr::memory_resource& allocator) noexcept {
  return FrameGraph(allocator);
}

void FrameGraph::deinit() noexcept {
  // Rebuilding the array on the same resource is the one way to give its
  // storage back that is certain to release it (shrink_to_fit is only a request).
  std::pmr::memory_resource* const resource = passes.get_allocator().resource();
  std::destroy_at(&passes);
  std::construct_at(&passes, resource);
  frame_index = 0;
}

std::expected<void, kova_kernel::Error> FrameGraph::addPass(const FramePass& pass) {
  if (passes.size() >= std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(kova_kernel::Error::OutOfMemory);
  }
  // push_back of a trivially copyable record either appends or, when the
  // resource throws, leaves the array exactly as it was.
  try {
    passes.push_back(pass);
  } catch (const std::bad_alloc&) {
    return std::unexpected(kova_kernel::Error::OutOfMemory);
  }
  return {};
}

FrameGraph::FrameGraph(FrameGraph&& other) noexcept
    : passes(std::move(other.passes)), frame_index(other.frame_index) {
  other.passes.clear();
  other.frame_index = 0;
}

FrameGraph& FrameGraph::operator=(FrameGraph&& other) noexcept {
  if (this == &other) return *this;
  // A polymorphic allocator does not follow a move assignment, so assigning the
  // array would copy element by element into this graph's resource (and could
  // fail). Rebuilding the array from other's takes over its storage instead.
  std::destroy_at(&passes);
  std::construct_at(&passes, std::move(other.passes));
  frame_index = other.frame_index;
  other.passes.clear();
  other.frame_index = 0;
  return *this;
}

}  // namespace kova_rhi
