// A FramePass only borrows its targets and commands, so the frame
// recordings copy them into the frame's arena, which lives until the graph
// has run. Commands are plain values (ids, spans and numbers), so nothing
// needs destroying when the arena lets go of them.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <memory_resource>
#include <new>
#include <span>
#include <type_traits>

#include "kova_rhi.hpp"

namespace kova_demo {

static_assert(std::is_trivially_destructible_v<kova_rhi::GpuCommand>);

// The colour and depth images of a frame as one array: [color] are the
// colour targets, [color, depth] what the passes write.
[[nodiscard]] inline std::span<const kova_rhi::ImageId> arenaTargets(
    std::pmr::memory_resource& arena, kova_rhi::ImageId color, kova_rhi::ImageId depth) {
  auto* images = static_cast<kova_rhi::ImageId*>(
      arena.allocate(2 * sizeof(kova_rhi::ImageId), alignof(kova_rhi::ImageId)));
  std::construct_at(images, color);
  std::construct_at(images + 1, depth);
  return {images, 2};
}

// Room for `capacity` commands in the arena, filled in order by add().
class ArenaCommands {
 public:
  ArenaCommands(std::pmr::memory_resource& arena, std::size_t capacity)
      : first_(static_cast<kova_rhi::GpuCommand*>(arena.allocate(
            capacity * sizeof(kova_rhi::GpuCommand), alignof(kova_rhi::GpuCommand)))),
        capacity_(capacity) {}
  ArenaCommands(std::pmr::memory_resource& arena, std::initializer_list<kova_rhi::GpuCommand> list)
      : ArenaCommands(arena, list.size()) {
    for (const kova_rhi::GpuCommand& c : list) add(c);
  }
  // Past the capacity a command would overrun the arena's block: refused.
  void add(const kova_rhi::GpuCommand& command) {
    if (size_ == capacity_) throw std::bad_array_new_length();
    std::construct_at(first_ + size_, command);
    ++size_;
  }
  [[nodiscard]] std::span<const kova_rhi::GpuCommand> commands() const noexcept {
    return {first_, size_};
  }

 private:
  kova_rhi::GpuCommand* first_;
  std::size_t capacity_;
  std::size_t size_ = 0;
};

}  // namespace kova_demo
