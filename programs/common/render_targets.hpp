// The colour and depth images every frame of the programs draws into: made
// together, and replaced together when the picture changes size, the old
// pair going back to the device so that a window resized many times does not
// keep every size it ever had.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "device_names.hpp"

namespace kova_demo {

struct RenderTargets {
  ImageId color{}, depth{};
  std::uint32_t width = 0, height = 0;
};

// A colour target and an FS-depth image of width x height. The colour is
// 8 bits a channel, as the pictures are written and shown: on a GPU each
// sample is then a quarter of the bytes of kova's half-float target, which
// at 4 samples per pixel is most of what a software rasteriser moves.
template <FrameDevice Device>
[[nodiscard]] std::expected<RenderTargets, std::string> createRenderTargets(Device& device,
                                                                            std::uint32_t width,
                                                                            std::uint32_t height) {
  using namespace kova_rhi;
  auto color = device.createImage(ImageDescriptor::init2D(Format::rgba8_unorm, width, height,
                                                          ImageUsage::initKovaRenderTarget()));
  if (!color) return std::unexpected(color.error());
  auto depth = device.createImage(
      ImageDescriptor::init2D(Format::depth32_float, width, height,
                              ImageUsage::init({ImageUsageFlag::depth_stencil_attachment})));
  if (!depth) {
    (void)device.releaseImage(*color);
    return std::unexpected(depth.error());
  }
  return RenderTargets{*color, *depth, width, height};
}

// Gives both images back to the device; reports the first failure.
template <FrameDevice Device>
[[nodiscard]] std::expected<void, std::string> releaseRenderTargets(Device& device,
                                                                    const RenderTargets& targets) {
  auto color = device.releaseImage(targets.color);
  auto depth = device.releaseImage(targets.depth);
  if (!color) return color;
  return depth;
}

// Replaces `targets` by images of width x height and releases the old ones.
// When the new images cannot be made, `targets` and the device keep the old.
template <FrameDevice Device>
[[nodiscard]] std::expected<void, std::string> resizeRenderTargets(Device& device,
                                                                   RenderTargets& targets,
                                                                   std::uint32_t width,
                                                                   std::uint32_t height) {
  auto fresh = createRenderTargets(device, width, height);
  if (!fresh) return std::unexpected(fresh.error());
  const RenderTargets old = targets;
  targets = *fresh;
  return releaseRenderTargets(device, old);
}

}  // namespace kova_demo
