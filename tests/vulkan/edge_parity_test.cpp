// The lattice's edges alone (geodesic arcs, no solids) on both devices:
// every pixel one device draws an edge on has an edge pixel of the other
// device within one pixel, so no segment of an arc is missing on either.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "lattice_driver.hpp"
#include "lattice_frame.hpp"
#include "vulkan_test_device.hpp"

namespace {

using namespace kova_demo;
using namespace kova_device;

// The pixels whose colour is not the background's.
std::vector<bool> edgePixels(const std::vector<std::uint8_t>& rgb) {
  std::vector<bool> out(rgb.size() / 3);
  const auto fog = kLatticeFogColor;
  for (std::size_t p = 0; p < out.size(); ++p)
    for (std::size_t c = 0; c < 3; ++c)
      out[p] = out[p] || rgb[p * 3 + c] != toByte(fog[c]);
  return out;
}

// How many pixels of `a` have no pixel of `b` within one pixel.
std::size_t unmatched(const std::vector<bool>& a, const std::vector<bool>& b, int w, int h) {
  std::size_t n = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      if (!a[static_cast<std::size_t>(y * w + x)]) continue;
      bool near = false;
      for (int dy = -1; dy <= 1 && !near; ++dy)
        for (int dx = -1; dx <= 1 && !near; ++dx) {
          const int u = x + dx, v = y + dy;
          near = u >= 0 && v >= 0 && u < w && v < h && b[static_cast<std::size_t>(v * w + u)];
        }
      n += !near;
    }
  }
  return n;
}

TEST(VulkanEdgeParity, LatticeEdgesAloneMatchWithinOnePixel) {
  for (const kova_device::VulkanOptions& options : kWithAndWithoutFloat64) {
    SCOPED_TRACE(options.float64 ? "with float64" : "without float64");
    KOVA_VULKAN_DEVICE_WITH_OR_SKIP(device, options);
    constexpr std::uint32_t kW = 400, kH = 226;
    LatticeScene scene = makeLatticeScene();
    scene.instances.clear();  // no solids: the frame's solid pass only uploads the camera
    auto cpu = LatticeDriver<CpuDevice>::create(scene, kW, kH);
    auto vk = LatticeDriver<VulkanDevice>::create(scene, kW, kH, std::move(device));
    ASSERT_TRUE(cpu && vk) << (cpu ? vk.error() : cpu.error());
    std::uint64_t at = 0;
    for (const std::uint64_t f : {0, 23, 120}) {
      cpu->skipFrames(f - at);
      vk->skipFrames(f - at);
      at = f + 1;
      auto rc = cpu->renderFrame();
      auto rv = vk->renderFrame();
      ASSERT_TRUE(rc && rv) << (rc ? rv.error() : rc.error());
      EXPECT_EQ(rc->geodesic_arcs, rv->geodesic_arcs);
      const auto a = edgePixels(*cpu->readRgb()), b = edgePixels(*vk->readRgb());
      const std::size_t drawn_cpu = static_cast<std::size_t>(std::count(a.begin(), a.end(), true));
      const std::size_t drawn_vk = static_cast<std::size_t>(std::count(b.begin(), b.end(), true));
      const std::size_t missing_vk = unmatched(a, b, kW, kH), missing_cpu = unmatched(b, a, kW, kH);
      std::printf("frame %llu: edge pixels CPU %zu, Vulkan %zu; without a match within one "
                  "pixel: %zu on Vulkan, %zu on the CPU\n",
                  static_cast<unsigned long long>(f), drawn_cpu, drawn_vk, missing_vk, missing_cpu);
      EXPECT_GT(drawn_cpu, std::size_t{kW} * kH / 50) << "frame " << f;
      EXPECT_EQ(missing_vk, 0u) << "frame " << f;
      EXPECT_EQ(missing_cpu, 0u) << "frame " << f;
    }
    EXPECT_VALIDATION_SILENT(vk->device());
  }
}

}  // namespace
