// The CPU device's deferred lighting kernel and G-buffer read-back.
#include <bit>
#include <cstring>

#include "kova_cpu_device.hpp"
#include "kova_deferred.hpp"
#include "kova_device_lights.hpp"
#include "kova_tile_lights.hpp"

namespace kova_device {

// The C++ twin of the deferred lighting kernel: group (x, y) lights the
// samples of its block that hold a surface; the others keep their colour.
void CpuDevice::lightGBuffer(const CheckedCommand& command) {
  const auto& c = std::get<kova_rhi::DispatchCommand>(*command.command);
  const CameraBlock cam = unpackCameraBlock(command.camera_block[0], command.camera_block[1]);
  const std::vector<LightGpu> lights =
      packLights(command.camera_block[0], resources_.buffers.find(command.lights)->host_values);
  std::span<const double> lists;
  TileGrid grid{};
  if (const Buffer* l = resources_.buffers.find(command.output); l != nullptr) {
    grid = *checkTileGrid(resources_.buffers.find(command.grid)->host_values);
    lists = l->values;
  }
  std::array<const Image*, 4> g{};
  for (std::size_t k = 0; k < 4; ++k) g[k] = resources_.images.find(command.gbuffer[k]);
  Image& picture = *resources_.images.find(command.color);
  const std::uint32_t w = picture.desc.width, h = picture.desc.height;
  const std::uint32_t x1 = std::min(w, c.group_count_x * kDeferredBlock);
  const std::uint32_t y1 = std::min(h, c.group_count_y * kDeferredBlock);
  std::vector<LightGpu> tile_lights;
  for (std::uint32_t y = 0; y < y1; ++y) {
    for (std::uint32_t x = 0; x < x1; ++x) {
      std::span<const LightGpu> shed = lights;
      if (!lists.empty()) {
        tile_lights.clear();
        forTileLights(lists, grid, x, y, lights.size(),
                      [&](std::size_t i) { tile_lights.push_back(lights[i]); });
        shed = tile_lights;
      }
      const std::size_t pixel = std::size_t{y} * w + x;
      // Samples a triangle covers together hold the same attributes (the
      // geometry pass shades once per pixel and triangle): each is lit once.
      GBufferSample last;
      std::array<float, 3> last_rgb{};
      bool have_last = false;
      for (std::uint32_t s = 0; s < samples_; ++s) {
        const std::size_t at = (pixel * samples_ + s) * 4;
        GBufferSample sample;
        const std::array<std::array<float, 4>*, 4> texels = {&sample.position, &sample.normal,
                                                             &sample.albedo, &sample.material};
        for (std::size_t k = 0; k < 4; ++k)
          for (std::size_t i = 0; i < 4; ++i) (*texels[k])[i] = g[k]->texels[at + i];
        // The coverage flag: 1 where the geometry pass wrote a surface.
        if (!(sample.material[3] == 1.0f)) continue;
        const bool same = have_last && sample.position == last.position &&
                          sample.normal == last.normal && sample.albedo == last.albedo &&
                          sample.material == last.material;
        const std::array<float, 3> rgb = same ? last_rgb : lightGBufferSample(sample, cam.fog, shed);
        last = sample;
        last_rgb = rgb;
        have_last = true;
        picture.texels[at + 0] = rgb[0];
        picture.texels[at + 1] = rgb[1];
        picture.texels[at + 2] = rgb[2];
        picture.texels[at + 3] = 1.0f;
        picture.kinds[pixel] = static_cast<std::uint8_t>(PixelKind::triangle);
      }
    }
  }
}

std::expected<std::vector<std::uint8_t>, std::string> CpuDevice::readTexelBytes(
    ImageId id) const {
  using kova_rhi::Format;
  const Image* img = resources_.images.find(id);
  if (img == nullptr) return std::unexpected("not an image");
  const Format f = img->desc.format;
  const std::size_t pixels = std::size_t{img->desc.width} * img->desc.height;
  const std::size_t per = img->is_depth ? 1 : 4;
  std::vector<std::uint8_t> out;
  out.reserve(pixels * kova_rhi::size(f));
  for (std::size_t p = 0; p < pixels; ++p) {
    const float* t = img->texels.data() + p * samples_ * per;
    if (f == Format::rgba8_unorm) {
      for (std::size_t i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(
            std::nearbyint(std::fmin(std::fmax(t[i], 0.0f), 1.0f) * 255.0f)));
    } else if (f == Format::rgba32_float || f == Format::depth32_float) {
      for (std::size_t i = 0; i < per; ++i) {
        const auto bytes = std::bit_cast<std::array<std::uint8_t, 4>>(t[i]);
        out.insert(out.end(), bytes.begin(), bytes.end());
      }
    } else {
      return std::unexpected("texel bytes of this format are not read back");
    }
  }
  return out;
}

}  // namespace kova_device
