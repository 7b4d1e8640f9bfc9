// Random sequences of create, write, execute and release on any device
// layer, checking as they go that a released handle is refused for good by
// every call, that a graph naming one is an error, and that no two live
// resources share storage (each holds what was last put into it). Returns a
// log of every outcome, so that two devices given the same seed can be
// required to agree step by step.
#pragma once

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "hostile_input.hpp"
#include "kova_device_raster.hpp"

namespace kova_hostile {

template <class Device>
std::vector<std::string> releaseSequence(Device& d, std::uint64_t seed, int steps) {
  std::mt19937_64 rng(seed);
  std::vector<std::string> log;
  const auto outcome = [&](const std::string& what, const auto& result) {
    log.push_back(what + ": " + (result ? std::string("ok") : result.error()));
    return bool(result);
  };
  struct LiveBuffer {
    BufferId id;
    std::vector<double> values;  // what it holds
  };
  struct LiveImage {
    ImageId id;
    float shade = 0.0f;  // its clear colour, exact in every colour format
  };
  std::vector<LiveBuffer> buffers;
  std::vector<LiveImage> images;
  std::vector<BufferId> dead_buffers;
  std::vector<ImageId> dead_images;
  std::set<std::pair<std::uint64_t, std::uint32_t>> handles;  // every handle ever made

  const HomVec4 eye[1] = {HomVec4{0.0, 0.0, 0.0, 1.0}};
  const BufferId origin = must(d.createBuffer(BufferDescriptor::initKovaPositions(1)));
  must(runPasses(d, {{KovaUploadPositionsCommand{origin, eye}}}));

  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  const auto fresh = [&](std::uint64_t id, std::uint32_t generation) {
    EXPECT_TRUE(handles.insert({id, generation}).second)
        << "handle {" << id << ", " << generation << "} given out twice";
  };
  const auto verify = [&] {
    for (const LiveBuffer& b : buffers) {
      const auto held = d.readValues(b.id);
      EXPECT_TRUE(held && *held == b.values) << "a live buffer lost its contents";
    }
    for (const LiveImage& i : images) {
      const auto rgb = d.readRgb8(i.id);
      ASSERT_TRUE(rgb) << rgb.error();
      log.push_back("image reads " + std::to_string((*rgb)[0]));
      EXPECT_EQ((*rgb)[0], kova_device::toByte(i.shade)) << "a live image lost its contents";
    }
    for (BufferId b : dead_buffers) EXPECT_FALSE(d.readValues(b)) << "a released buffer reads";
    for (ImageId i : dead_images) EXPECT_FALSE(d.readRgb8(i)) << "a released image reads";
  };

  for (int step = 0; step < steps; ++step) {
    switch (rng() % 8) {
      case 0: {  // a storage buffer holding values no other buffer holds
        const std::uint64_t n = 1 + pick(8);
        const BufferId id = must(d.createBuffer(storageBuffer(n)));
        fresh(id.id, id.generation);
        std::vector<double> values(n, static_cast<double>(step) + 0.5);
        if (outcome("write new", d.writeValues(id, values))) buffers.push_back({id, values});
        break;
      }
      case 1: {  // an image cleared to its own shade
        const auto side = static_cast<std::uint32_t>(4 + pick(8));
        const ImageId id = must(d.createImage(ImageDescriptor::initKovaRenderTarget(side, side)));
        fresh(id.id, id.generation);
        const float shade = static_cast<float>(step % 9) / 8.0f;
        if (outcome("clear new", runPasses(d, {{ClearCommand{id, shade, shade, shade, 1.0f}}})))
          images.push_back({id, shade});
        break;
      }
      case 2:
        if (!buffers.empty()) {
          const std::size_t at = pick(buffers.size());
          if (outcome("release buffer", d.releaseBuffer(buffers[at].id))) {
            dead_buffers.push_back(buffers[at].id);
            buffers.erase(buffers.begin() + static_cast<std::ptrdiff_t>(at));
          }
        }
        break;
      case 3:
        if (!images.empty()) {
          const std::size_t at = pick(images.size());
          if (outcome("release image", d.releaseImage(images[at].id))) {
            dead_images.push_back(images[at].id);
            images.erase(images.begin() + static_cast<std::ptrdiff_t>(at));
          }
        }
        break;
      case 4:  // a released handle, again: refused
        if (!dead_buffers.empty()) {
          EXPECT_FALSE(outcome("release dead buffer",
                               d.releaseBuffer(dead_buffers[pick(dead_buffers.size())])));
        }
        if (!dead_images.empty()) {
          EXPECT_FALSE(outcome("release dead image",
                               d.releaseImage(dead_images[pick(dead_images.size())])));
        }
        break;
      case 5:  // graphs and writes that name a released resource: refused
        if (!dead_buffers.empty()) {
          const BufferId dead = dead_buffers[pick(dead_buffers.size())];
          EXPECT_FALSE(outcome("compute into dead", runPasses(d, {{KovaComputeFsDistanceCommand{
                                                                   origin, origin, dead, 1}}})));
          EXPECT_FALSE(outcome("write dead", d.writeValues(dead, std::vector<double>(1, 1.0))));
        }
        if (!dead_images.empty()) {
          const ImageId dead = dead_images[pick(dead_images.size())];
          EXPECT_FALSE(outcome("clear dead", runPasses(d, {{ClearCommand{dead}}})));
        }
        break;
      case 6:  // a live buffer computed into: the distance of a point to itself
        if (!buffers.empty()) {
          LiveBuffer& b = buffers[pick(buffers.size())];
          if (outcome("compute", runPasses(d, {{KovaComputeFsDistanceCommand{origin, origin,
                                                                              b.id, 1}}}))) {
            // Near 0, below every value written: it came from this computation.
            const auto held = d.readValues(b.id);
            const bool near_zero =
                held && held->size() == 1 && (*held)[0] >= 0.0 && (*held)[0] < 1e-6;
            EXPECT_TRUE(near_zero) << "the distance of a point to itself";
            if (near_zero) b.values = *held;
          }
        }
        break;
      case 7:
        verify();
        break;
    }
  }
  verify();
  EXPECT_GT(dead_buffers.size() + dead_images.size(), 0u) << "the sequence released nothing";
  return log;
}

}  // namespace kova_hostile
