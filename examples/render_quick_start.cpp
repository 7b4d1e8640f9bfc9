// Render with kova: a ring of 24 cubes along one line of elliptic space, and
// the line itself, drawn once on the Vulkan device when one is usable and on
// the CPU device otherwise, and written to a PNG file.
//
//   render_quick_start out.png
//
// A line of elliptic space closes after pi radians, so cubes placed every
// pi/24 along it make a closed ring. The frame is described once, in
// renderRing, for any device that meets kova_device::FrameDevice.
#include <png.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <filesystem>
#include <memory_resource>
#include <numbers>
#include <string>
#include <vector>

#include "kova_cpu_device.hpp"
#include "kova_device_layouts.hpp"
#include "kova_renderer.hpp"
#include "kova_vulkan_device.hpp"

using namespace kova_kernel;
using namespace kova_rhi;
using kova_device::CameraBlock;

constexpr std::uint32_t kWidth = 640, kHeight = 360, kCubes = 24;
constexpr float kBackground[3] = {0.05f, 0.06f, 0.12f};
constexpr double kCubeColour[3] = {0.95, 0.55, 0.25};
constexpr float kLineColour[3] = {0.30f, 0.90f, 1.00f};

// One frame of the ring seen by `camera`, as 8-bit RGB rows, top row first.
template <kova_device::FrameDevice Device>
std::expected<std::vector<std::uint8_t>, std::string> renderRing(
    Device& device, const kova_renderer::KovaCamera& camera) {
  // The ring: cube k at arc k pi / 24 along the line through the origin in
  // direction +x, facing along it; the line through the cube centres.
  const HomVec4 origin{0, 0, 0, 1}, along{1, 0, 0, 0}, up{0, 1, 0, 0};
  const BoxMesh cube = boxMesh(0.025, 0.025, 0.025);
  std::vector<PGL4> placements;
  std::vector<HomVec4> centres;
  std::vector<double> colours;  // r, g, b per cube, read by the shader at binding 1
  for (std::uint32_t k = 0; k < kCubes; ++k) {
    const double arc = k * std::numbers::pi / kCubes;
    placements.push_back(pglPlaceAlong(origin, along, arc, up));
    centres.push_back(geodesicPoint(origin, along, arc));
    colours.insert(colours.end(), std::begin(kCubeColour), std::end(kCubeColour));
  }
  std::vector<HomVec4> line(2 * centres.size());
  line.resize(geodesicPolyline(centres, /*closed=*/true, line));

  // What the shaders read about the camera: two PGL4s at uniform binding 0.
  CameraBlock cam;
  cam.view = camera.viewIsometry();
  cam.observer = camera.position;
  cam.tan_h = std::tan(camera.fov / 2.0);
  cam.tan_v = cam.tan_h * kHeight / kWidth;
  cam.near_fs = 0.005;
  cam.far_fs = std::numbers::pi / 2;  // no point of elliptic space is farther
  cam.isometric_view = true;          // each point drawn once, facing the eye
  cam.fog = {kBackground[0], kBackground[1], kBackground[2]};
  const auto camera_block = kova_device::packCameraBlock(cam);

  // Targets, pipelines and buffers, all from kova's descriptors.
  const DepthState fs_depth{.depth_test = true,
                            .depth_write = true,
                            .depth_compare = CompareOp::less_equal,
                            .fs_depth = true};
  auto color = device.createImage(ImageDescriptor::initKovaRenderTarget(kWidth, kHeight));
  auto depth = device.createImage(
      ImageDescriptor::init2D(Format::depth32_float, kWidth, kHeight,
                              ImageUsage::init({ImageUsageFlag::depth_stencil_attachment})));
  auto solids = device.createPipeline({.type = PipelineType::kova_projective,
                                       .topology = PrimitiveTopology::triangle_list,
                                       .depth = fs_depth});
  auto lines = device.createPipeline({.type = PipelineType::kova_projective,
                                      .topology = PrimitiveTopology::geodesic_list,
                                      .depth = fs_depth});
  auto vertices = device.createBuffer(BufferDescriptor::initKovaPositions(cube.vertices.size()));
  auto indices = device.createBuffer({.size = cube.indices.size() * 4,
                                      .stride = 4,
                                      .type = BufferType::index,
                                      .format = Format::r32_uint});
  auto instances = device.createBuffer(BufferDescriptor::initKovaTransforms(kCubes));
  auto colour_buffer = device.createBuffer({.size = colours.size() * 8,
                                            .stride = 8,
                                            .type = BufferType::storage,
                                            .format = Format::undefined});
  auto camera_buffer = device.createBuffer(BufferDescriptor::initKovaTransforms(2));
  auto line_buffer = device.createBuffer(BufferDescriptor::initKovaPositions(line.size()));
  for (const auto* made :
       {&vertices, &indices, &instances, &colour_buffer, &camera_buffer, &line_buffer})
    if (!*made) return std::unexpected(made->error());
  if (!color || !depth) return std::unexpected(!color ? color.error() : depth.error());
  if (!solids || !lines) return std::unexpected(!solids ? solids.error() : lines.error());
  if (auto ok = device.writeIndices(*indices, cube.indices); !ok)
    return std::unexpected(ok.error());
  if (auto ok = device.writeValues(*colour_buffer, colours); !ok)
    return std::unexpected(ok.error());

  // The frame: clear, the cubes (one instanced draw), the line. Passes view
  // these arrays, which outlive the graph.
  const ImageId targets[] = {*color, *depth};
  const BeginPassCommand begin{std::span(targets, 1), *depth};
  const GpuCommand clear_cmds[] = {
      begin, ClearCommand{*color, kBackground[0], kBackground[1], kBackground[2], 1.0f, 1.0f},
      EndPassCommand{}};
  const GpuCommand cube_cmds[] = {
      begin,
      *solids,
      KovaUploadPositionsCommand{*vertices, cube.vertices},
      KovaUploadPgl4Command{*instances, placements},
      KovaUploadPgl4Command{*camera_buffer, camera_block},
      BindUniformCommand{*camera_buffer, 0, sizeof(camera_block), 0},
      BindUniformCommand{*colour_buffer, 0, colours.size() * 8, 1},
      DrawCommand{.pipeline = *solids,
                  .vertex_buffer = BufferId::invalid(),
                  .index_buffer = *indices,
                  .kova_transform_buffer = *instances,
                  .kova_position_buffer = *vertices,
                  .index_count = static_cast<std::uint32_t>(cube.indices.size()),
                  .instance_count = kCubes},
      EndPassCommand{}};
  const GpuCommand line_cmds[] = {
      begin,
      *lines,
      BindUniformCommand{*camera_buffer, 0, sizeof(camera_block), 0},
      KovaUploadPositionsCommand{*line_buffer, line},
      KovaRenderGeodesicsCommand{*line_buffer, static_cast<std::uint32_t>(line.size()),
                                 kLineColour[0], kLineColour[1], kLineColour[2]},
      EndPassCommand{}};
  std::pmr::monotonic_buffer_resource arena;
  FrameGraph graph = FrameGraph::init(arena);
  for (const FramePass& pass :
       {FramePass{"clear", {}, targets, clear_cmds, PassType::clear},
        FramePass{"cubes", {}, targets, cube_cmds, PassType::geometry},
        FramePass{"line", {}, targets, line_cmds, PassType::kova_geodesic}}) {
    if (!graph.addPass(pass)) return std::unexpected("out of memory recording the frame");
  }
  if (auto done = device.execute(graph); !done) return std::unexpected(done.error());
  return device.readRgb8(*color);
}

// The picture as an 8-bit RGB PNG, through libpng's simplified interface.
std::expected<void, std::string> writePng(const char* path, const std::vector<std::uint8_t>& rgb) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = kWidth;
  image.height = kHeight;
  image.format = PNG_FORMAT_RGB;
  if (png_image_write_to_file(&image, path, 0, rgb.data(), 0, nullptr) == 0)
    return std::unexpected(std::string(image.message));
  return {};
}

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '\0') {
    std::fprintf(stderr, "usage: %s OUT.png\n", argc > 0 ? argv[0] : "render_quick_start");
    return 2;
  }
  const char* out = argv[1];
  // Refuse a path that cannot take the file before any work starts.
  const std::filesystem::path path(out);
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec) || !std::filesystem::is_directory(folder, ec)) {
    std::fprintf(stderr, "cannot write %s: %s\n", out,
                 std::filesystem::is_directory(path, ec) ? "it is a folder"
                                                          : "its folder does not exist");
    return 2;
  }

  // The eye 0.3 rad from the first cube, above it and to one side, looking along
  // the ring: the near cubes large at the lower left, shrinking towards the
  // part of the line farthest from the eye (pi/2, the most there is); past
  // it the line comes round and the cubes grow again at the upper right.
  // Those are the ones behind the eye, drawn where their points face it.
  auto camera = kova_renderer::KovaCamera::defaultCamera();
  camera.fov = 1.6;  // radians, horizontal
  camera.aspect = double{kWidth} / kHeight;
  camera.position = geodesicPoint(HomVec4{0, 0, 0, 1}, HomVec4{0, 0.5, 1, 0}, 0.3);
  camera.lookAt(geodesicPoint(HomVec4{0, 0, 0, 1}, HomVec4{1, 0, 0, 0}, 0.5), HomVec4{0, 1, 0, 0});

  std::expected<std::vector<std::uint8_t>, std::string> rgb;
  std::string used;
  if (auto vulkan = kova_device::VulkanDevice::create()) {
    used = "Vulkan (" + vulkan->name() + ")";
    rgb = renderRing(*vulkan, camera);
  } else {
    std::fprintf(stderr, "no usable Vulkan device (%s); rendering on the CPU\n",
                 vulkan.error().c_str());
    used = "CPU";
    kova_device::CpuDevice cpu;
    rgb = renderRing(cpu, camera);
  }
  if (!rgb) {
    std::fprintf(stderr, "rendering failed on the %s device: %s\n", used.c_str(),
                 rgb.error().c_str());
    return 1;
  }
  if (auto written = writePng(out, *rgb); !written) {
    std::fprintf(stderr, "cannot write %s: %s\n", out, written.error().c_str());
    return 2;
  }
  std::printf("rendered %ux%u on the %s device: %s\n", kWidth, kHeight, used.c_str(), out);
  return 0;
}
