#include "demo_dump.hpp"

#include <charconv>

#include "image_files.hpp"

#include "kova_vulkan_device.hpp"

namespace kova_demo {
namespace {

void put(std::string& out, double v) {
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  out += ' ';
  out.append(buf, res.ptr);
}
void put(std::string& out, long long v) {
  out += ' ';
  out += std::to_string(v);
}
void put(std::string& out, HomVec4 p) {
  put(out, p.x);
  put(out, p.y);
  put(out, p.z);
  put(out, p.w);
}

}  // namespace

template <FrameDevice Device>
std::expected<void, std::string> writeDump(const std::filesystem::path& stem, const Scene& scene,
                                           const FrameDriver<Device>& driver,
                                           const FrameReport& report, const FrameImages& images) {
  const auto& cam = driver.camera();
  std::string text = "kova_demo_dump 1\nframe";
  put(text, static_cast<long long>(report.frame_index));
  put(text, static_cast<long long>(driver.width()));
  put(text, static_cast<long long>(driver.height()));
  text += "\nclear";
  for (const float c : FrameDriver<Device>::kClearColor)
    put(text, static_cast<long long>(toByte(c)));
  text += "\ncamera";
  put(text, cam.position);
  put(text, cam.forward);
  put(text, cam.up);
  put(text, cam.right);
  put(text, cam.fov);
  put(text, cam.aspect);
  put(text, cam.near_fs);
  put(text, cam.far_fs);
  text += "\ncounts";
  put(text, static_cast<long long>(report.points));
  put(text, static_cast<long long>(report.visible));
  put(text, static_cast<long long>(report.in_range));
  put(text, static_cast<long long>(report.drawn));
  text += '\n';
  for (std::size_t k = 0; k < scene.clusters.size(); ++k) {
    text += "ball";
    put(text, static_cast<long long>(k));
    put(text, scene.clusters[k].center);
    put(text, scene.clusters[k].radius);
    text += '\n';
  }
  for (std::size_t i = 0; i < scene.positions.size(); ++i) {
    text += "point";
    put(text, static_cast<long long>(i));
    put(text, scene.positions[i]);
    put(text, static_cast<long long>(scene.object[i]));
    text += '\n';
  }
  for (const DrawTrace& t : driver.trace()) {
    text += "draw";
    put(text, static_cast<long long>(driver.drawOrder()[t.vertex]));
    put(text, static_cast<long long>(t.cx));
    put(text, static_cast<long long>(t.cy));
    put(text, static_cast<long long>(t.radius));
    for (const auto c : t.rgb) put(text, static_cast<long long>(c));
    text += '\n';
  }

  auto with = [&](const char* suffix) {
    std::filesystem::path p = stem;
    p += suffix;
    return p;
  };
  if (auto ok = writePfmAtomic(with(".depth.pfm"), driver.width(), driver.height(), images.depth);
      !ok)
    return ok;
  if (auto ok = writePgmAtomic(with(".kind.pgm"), driver.width(), driver.height(), images.kinds);
      !ok)
    return ok;
  // The text file last: its presence says that the frame's files are complete.
  return writeFileAtomic(with(".txt"), text);
}

template std::expected<void, std::string> writeDump(const std::filesystem::path&, const Scene&,
                                                    const FrameDriver<CpuDevice>&,
                                                    const FrameReport&, const FrameImages&);
template std::expected<void, std::string> writeDump(const std::filesystem::path&, const Scene&,
                                                    const FrameDriver<VulkanDevice>&,
                                                    const FrameReport&, const FrameImages&);

}  // namespace kova_demo
