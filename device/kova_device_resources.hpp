// The resource table every device layer keeps: buffers, images and pipelines
// behind generational handles, and what the host knows about each buffer's
// contents (the command checker reads it, kova_device_checks.hpp).
//
// A handle is a slot index (id, from 1) and a generation. Every resource
// made by any device of the process takes a fresh generation from one
// counter, and a slot's generations only grow, so a released or foreign
// handle never names a live resource: the ids of one device are stale on
// another, and an id kept after its release never aliases what takes its
// slot next.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kova_rhi.hpp"

namespace kova_device {

using kova_kernel::PGL4;
using kova_rhi::BufferId;
using kova_rhi::ImageId;
using kova_rhi::PipelineId;

// What the host knows about a buffer, on every device.
struct BufferRecord {
  kova_rhi::BufferDescriptor desc{};
  // Elements uploaded, written or computed into it so far: positions,
  // transforms, values or indices, by the buffer's type.
  std::uint64_t filled = 0;
  // Index buffers: the indices written, for the range check of mesh draws.
  std::vector<std::uint32_t> indices;
  // Storage buffers: the values the host last wrote (writeValues), for the
  // checks of light records; emptied once the device computes into it.
  std::vector<double> host_values;
  // Transform buffers holding at least two transforms: the first two, the
  // camera block that draws read (kova_device_layouts.hpp).
  std::array<PGL4, 2> camera{};
};

struct ImageRecord {
  kova_rhi::ImageDescriptor desc{};
  bool is_depth = false;
};

struct PipelineRecord {
  // Compute pipelines (createComputePipeline) have type compute here and
  // name their built-in kernel (kova_tile_lights.hpp's BuiltinKernel).
  kova_rhi::GraphicsPipelineDescriptor desc{};
  std::uint8_t kernel = 0;
};

// A fresh generation from the process-wide counter; never 0.
[[nodiscard]] std::uint32_t nextGeneration() noexcept;

// Values behind generational handles of type Id (BufferId or ImageId).
template <class T, class Id>
class HandleTable {
 public:
  [[nodiscard]] Id add(T value) {
    const std::uint32_t generation = nextGeneration();
    // A slot is reused only while its generations keep growing, which holds
    // until the counter wraps after 2^32 resources; then it retires.
    while (!free_.empty()) {
      const std::size_t at = free_.back();
      free_.pop_back();
      if (generation > slots_[at].generation) {
        slots_[at] = Slot{generation, std::move(value)};
        ++live_;
        return Id{at + 1, generation};
      }
    }
    slots_.push_back(Slot{generation, std::move(value)});
    ++live_;
    return Id{slots_.size(), generation};
  }

  [[nodiscard]] const T* find(Id handle) const noexcept {
    if (handle.id == 0 || handle.id > slots_.size()) return nullptr;
    const Slot& slot = slots_[handle.id - 1];
    if (slot.generation != handle.generation || !slot.value) return nullptr;
    return &*slot.value;
  }
  [[nodiscard]] T* find(Id handle) noexcept {
    return const_cast<T*>(std::as_const(*this).find(handle));
  }

  // Removes a live value and hands it back (nullopt for a stale handle).
  [[nodiscard]] std::optional<T> take(Id handle) {
    if (find(handle) == nullptr) return std::nullopt;
    Slot& slot = slots_[handle.id - 1];
    std::optional<T> value = std::move(slot.value);
    slot.value.reset();
    free_.push_back(handle.id - 1);
    --live_;
    return value;
  }

  [[nodiscard]] std::size_t live() const noexcept { return live_; }

  // Visits every live value (for a device's teardown).
  template <class F>
  void forEach(F&& visit) {
    for (Slot& slot : slots_)
      if (slot.value) visit(*slot.value);
  }

 private:
  struct Slot {
    std::uint32_t generation = 0;
    std::optional<T> value;
  };
  std::vector<Slot> slots_;
  std::vector<std::size_t> free_;
  std::size_t live_ = 0;
};

// The read-only view of a device's resources that the command checker takes.
class ResourceView {
 public:
  [[nodiscard]] virtual const BufferRecord* buffer(BufferId id) const noexcept = 0;
  [[nodiscard]] virtual const ImageRecord* image(ImageId id) const noexcept = 0;
  [[nodiscard]] virtual const PipelineRecord* pipeline(PipelineId id) const noexcept = 0;

 protected:
  ~ResourceView() = default;
};

// A device's resources: its own Buffer, Image and Pipeline types extend the
// records with what the device keeps (host memory, Vulkan objects).
// Pipelines are never released; their ids count from 1.
template <std::derived_from<BufferRecord> Buffer, std::derived_from<ImageRecord> Image,
          std::derived_from<PipelineRecord> Pipeline>
class DeviceResources final : public ResourceView {
 public:
  HandleTable<Buffer, BufferId> buffers;
  HandleTable<Image, ImageId> images;
  std::vector<Pipeline> pipelines;

  [[nodiscard]] const BufferRecord* buffer(BufferId id) const noexcept override {
    return buffers.find(id);
  }
  [[nodiscard]] const ImageRecord* image(ImageId id) const noexcept override {
    return images.find(id);
  }
  [[nodiscard]] const PipelineRecord* pipeline(PipelineId id) const noexcept override {
    return pipelineAt(id);
  }
  [[nodiscard]] Pipeline* pipelineAt(PipelineId id) noexcept {
    return const_cast<Pipeline*>(std::as_const(*this).pipelineAt(id));
  }
  [[nodiscard]] const Pipeline* pipelineAt(PipelineId id) const noexcept {
    if (!id.isValid() || id.id > pipelines.size()) return nullptr;
    const Pipeline& p = pipelines[id.id - 1];
    return p.desc.type == id.type ? &p : nullptr;
  }
  [[nodiscard]] PipelineId addPipeline(Pipeline p) {
    const kova_rhi::PipelineType type = p.desc.type;
    pipelines.push_back(std::move(p));
    return PipelineId{type, pipelines.size()};
  }
};

}  // namespace kova_device
