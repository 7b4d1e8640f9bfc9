#include "kova_cpu_device.hpp"

#include "cpu_triangles.hpp"
#include "kova_mesh_shading.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <variant>

namespace kova_device {
namespace {

using kova_rhi::BufferType;
using kova_rhi::CompareOp;
using kova_rhi::Format;
using kova_rhi::PipelineType;
using kova_rhi::PrimitiveTopology;

constexpr std::uint32_t kGeneration = 1;
constexpr std::uint64_t kMaxBufferBytes = 1ull << 32;

std::unexpected<std::string> fail(std::string message) {
  return std::unexpected(std::move(message));
}

bool isColorFormat(Format f) noexcept {
  return f == Format::rgba8_unorm || f == Format::rgba8_srgb || f == Format::rgba16_float ||
         f == Format::rgba32_float;
}

// Writes a fragment to every sample of a pixel that passes the depth test;
// true when any did.
bool writePixel(std::vector<float>& color, std::vector<float>& depth, std::size_t pixel,
                std::uint32_t samples, const kova_rhi::DepthState& ds, float z,
                const std::array<float, 3>& rgb) noexcept {
  bool any = false;
  for (std::size_t at = pixel * samples; at < (pixel + 1) * samples; ++at) {
    if (ds.depth_test && !depthPasses(ds.depth_compare, z, depth[at])) continue;
    if (ds.depth_write) depth[at] = z;
    color[at * 4 + 0] = rgb[0];
    color[at * 4 + 1] = rgb[1];
    color[at * 4 + 2] = rgb[2];
    color[at * 4 + 3] = 1.0f;
    any = true;
  }
  return any;
}

std::string_view tagName(kova_rhi::GpuCommandTag tag) noexcept {
  static constexpr std::string_view names[] = {"clear",
                                               "begin_pass",
                                               "end_pass",
                                               "bind_pipeline",
                                               "bind_vertex_buffer",
                                               "bind_uniform",
                                               "draw_indexed",
                                               "dispatch",
                                               "kova_upload_pgl4",
                                               "kova_upload_positions",
                                               "kova_compute_fs_distance",
                                               "kova_render_geodesics"};
  const auto i = static_cast<std::size_t>(tag);
  return i < std::size(names) ? names[i] : "unknown";
}

}  // namespace

// The attachments and bindings that commands of a pass see.
struct CpuDevice::PassState {
  bool in_pass = false;
  ImageId color{};
  std::optional<ImageId> depth{};
  PipelineId pipeline{};
  BufferId vertex_buffer{};
  std::array<BufferId, 8> uniforms{};
};

std::expected<BufferId, std::string> CpuDevice::createBuffer(
    const kova_rhi::BufferDescriptor& desc) {
  if (desc.size > kMaxBufferBytes)
    return fail("buffer larger than the CPU device layer's 4 GiB limit");
  const bool ok = (desc.type == BufferType::kova_positions && desc.stride == 32) ||
                  (desc.type == BufferType::kova_transforms && desc.stride == 128) ||
                  (desc.type == BufferType::storage && desc.stride == 8) ||
                  (desc.type == BufferType::index && desc.stride == 4);
  if (!ok) return fail("unsupported buffer (type and stride)");
  buffers_.push_back(Buffer{desc, {}, {}, {}, {}});
  return BufferId{buffers_.size(), kGeneration};
}

std::expected<ImageId, std::string> CpuDevice::createImage(const kova_rhi::ImageDescriptor& desc) {
  if (desc.dimension != kova_rhi::ImageDimension::dim_2d || desc.depth != 1 ||
      desc.mip_levels != 1 || desc.array_layers != 1) {
    return fail("only single-level 2D images are supported");
  }
  if (desc.width == 0 || desc.height == 0 || desc.width > 16384 || desc.height > 16384) {
    return fail("image size out of range");
  }
  Image img{desc, desc.format == Format::depth32_float, {}, {}};
  if (!img.is_depth && !isColorFormat(desc.format)) return fail("unsupported image format");
  const std::size_t pixels = std::size_t{desc.width} * desc.height;
  img.texels.assign(pixels * samples_ * (img.is_depth ? 1 : 4), img.is_depth ? 1.0f : 0.0f);
  if (!img.is_depth) img.kinds.assign(pixels, static_cast<std::uint8_t>(PixelKind::clear));
  images_.push_back(std::move(img));
  return ImageId{images_.size(), kGeneration};
}

std::expected<PipelineId, std::string> CpuDevice::createPipeline(
    const kova_rhi::GraphicsPipelineDescriptor& desc) {
  if (desc.type != PipelineType::kova_projective)
    return fail("only kova_projective pipelines are supported");
  if (desc.topology != PrimitiveTopology::point_list &&
      desc.topology != PrimitiveTopology::triangle_list &&
      desc.topology != PrimitiveTopology::geodesic_list) {
    return fail("projective pipelines draw point_list, triangle_list or geodesic_list");
  }
  if (!desc.depth.fs_depth) return fail("projective pipelines need fs_depth in their depth state");
  pipelines_.push_back(Pipeline{desc});
  return PipelineId{desc.type, pipelines_.size()};
}

CpuDevice::Buffer* CpuDevice::buffer(BufferId id) noexcept {
  if (id.generation != kGeneration || id.id == 0 || id.id > buffers_.size()) return nullptr;
  return &buffers_[id.id - 1];
}

const CpuDevice::Image* CpuDevice::image(ImageId id) const noexcept {
  if (id.generation != kGeneration || id.id == 0 || id.id > images_.size()) return nullptr;
  return &images_[id.id - 1];
}

CpuDevice::Image* CpuDevice::image(ImageId id) noexcept {
  return const_cast<Image*>(std::as_const(*this).image(id));
}

std::expected<void, std::string> CpuDevice::writeIndices(BufferId id,
                                                         std::span<const std::uint32_t> values) {
  Buffer* b = buffer(id);
  if (b == nullptr || b->desc.type != BufferType::index) return fail("not an index buffer");
  if (values.size() > b->desc.size / 4) return fail("more indices than the buffer holds");
  b->indices.assign(values.begin(), values.end());
  return {};
}

std::expected<void, std::string> CpuDevice::writeValues(BufferId id,
                                                        std::span<const double> values) {
  Buffer* b = buffer(id);
  if (b == nullptr || b->desc.type != BufferType::storage) return fail("not a storage buffer");
  if (values.size() > b->desc.size / 8) return fail("more values than the buffer holds");
  b->values.assign(values.begin(), values.end());
  return {};
}

std::expected<ExecuteStats, std::string> CpuDevice::execute(const kova_rhi::FrameGraph& graph) {
  ExecuteStats stats;
  for (const kova_rhi::FramePass& pass : graph.passes) {
    PassState state;
    for (std::size_t i = 0; i < pass.commands.size(); ++i) {
      const kova_rhi::GpuCommand& command = pass.commands[i];
      if (auto ran = run(command, state, stats); !ran) {
        return fail("pass '" + std::string(pass.name) + "', command " + std::to_string(i) + " (" +
                    std::string(tagName(kova_rhi::tagOf(command))) + "): " + ran.error());
      }
      ++stats.commands;
    }
    if (state.in_pass) return fail("pass '" + std::string(pass.name) + "' ends inside begin_pass");
    ++stats.passes;
  }
  return stats;
}

std::expected<void, std::string> CpuDevice::run(const kova_rhi::GpuCommand& command,
                                                PassState& state, ExecuteStats& stats) {
  using namespace kova_rhi;
  if (const auto* c = std::get_if<ClearCommand>(&command)) {
    Image* color = image(c->color_attachment);
    if (color == nullptr || color->is_depth) return fail("clear needs a colour image");
    const std::size_t samples = color->texels.size() / 4;
    for (std::size_t p = 0; p < samples; ++p) {
      color->texels[p * 4 + 0] = c->r;
      color->texels[p * 4 + 1] = c->g;
      color->texels[p * 4 + 2] = c->b;
      color->texels[p * 4 + 3] = c->a;
    }
    std::fill(color->kinds.begin(), color->kinds.end(),
              static_cast<std::uint8_t>(PixelKind::clear));
    // The depth image of the enclosing pass is cleared with the colour.
    if (state.in_pass && state.depth) {
      Image* depth = image(*state.depth);
      if (depth == nullptr) return fail("the pass's depth attachment is not an image");
      std::fill(depth->texels.begin(), depth->texels.end(), c->depth);
    }
    return {};
  }
  if (const auto* c = std::get_if<BeginPassCommand>(&command)) {
    if (state.in_pass) return fail("begin_pass inside a pass");
    if (c->color_attachments.size() != 1)
      return fail("the CPU device layer renders to one colour attachment");
    const Image* color = image(c->color_attachments[0]);
    if (color == nullptr || color->is_depth) return fail("colour attachment is not a colour image");
    if (c->depth_attachment) {
      const Image* depth = image(*c->depth_attachment);
      if (depth == nullptr || !depth->is_depth)
        return fail("depth attachment is not a depth image");
      if (depth->desc.width != color->desc.width || depth->desc.height != color->desc.height) {
        return fail("colour and depth attachments differ in size");
      }
    }
    state.in_pass = true;
    state.color = c->color_attachments[0];
    state.depth = c->depth_attachment;
    return {};
  }
  if (std::holds_alternative<EndPassCommand>(command)) {
    if (!state.in_pass) return fail("end_pass outside a pass");
    state.in_pass = false;
    return {};
  }
  if (const auto* c = std::get_if<PipelineId>(&command)) {
    if (!c->isValid() || c->id > pipelines_.size() || pipelines_[c->id - 1].desc.type != c->type) {
      return fail("unknown pipeline");
    }
    state.pipeline = *c;
    return {};
  }
  if (const auto* c = std::get_if<BindVertexBufferCommand>(&command)) {
    if (buffer(c->buffer) == nullptr || c->offset != 0)
      return fail("invalid vertex buffer binding");
    state.vertex_buffer = c->buffer;
    return {};
  }
  if (const auto* c = std::get_if<BindUniformCommand>(&command)) {
    const Buffer* b = buffer(c->buffer);
    if (b == nullptr || c->binding >= state.uniforms.size() || c->offset != 0 ||
        c->size > b->desc.size) {
      return fail("invalid uniform binding");
    }
    state.uniforms[c->binding] = c->buffer;
    return {};
  }
  if (const auto* c = std::get_if<DrawCommand>(&command)) {
    if (c->pipeline.isValid() && c->pipeline.id <= pipelines_.size() &&
        pipelines_[c->pipeline.id - 1].desc.topology == PrimitiveTopology::triangle_list) {
      return drawMesh(*c, state, stats);
    }
    return drawPoints(*c, state, stats);
  }
  if (std::holds_alternative<DispatchCommand>(command)) {
    return fail("no general compute shaders on the CPU device layer; use kova_compute_fs_distance");
  }
  if (const auto* c = std::get_if<KovaUploadPgl4Command>(&command)) {
    Buffer* b = buffer(c->buffer);
    if (b == nullptr || b->desc.type != BufferType::kova_transforms)
      return fail("target is not a transform buffer");
    if (c->transforms.size() > b->desc.size / 128)
      return fail("more transforms than the buffer holds");
    b->transforms.assign(c->transforms.begin(), c->transforms.end());
    stats.bytes_uploaded += c->transforms.size_bytes();
    return {};
  }
  if (const auto* c = std::get_if<KovaUploadPositionsCommand>(&command)) {
    Buffer* b = buffer(c->buffer);
    if (b == nullptr || b->desc.type != BufferType::kova_positions)
      return fail("target is not a position buffer");
    if (c->positions.size() > b->desc.size / 32)
      return fail("more positions than the buffer holds");
    b->points.assign(c->positions.begin(), c->positions.end());
    stats.bytes_uploaded += c->positions.size_bytes();
    return {};
  }
  if (const auto* c = std::get_if<KovaComputeFsDistanceCommand>(&command)) {
    const Buffer* a = buffer(c->positions_a);
    const Buffer* b = buffer(c->positions_b);
    Buffer* out = buffer(c->results);
    if (a == nullptr || b == nullptr || out == nullptr ||
        a->desc.type != BufferType::kova_positions || b->desc.type != BufferType::kova_positions ||
        out->desc.type != BufferType::storage) {
      return fail("needs two position buffers and a storage buffer");
    }
    // A buffer of one point stands for that point repeated `count` times.
    const auto fits = [&](const Buffer* in) {
      return in->points.size() == 1 || in->points.size() >= c->count;
    };
    if (!fits(a) || !fits(b)) return fail("a position buffer holds fewer than count points");
    if (std::uint64_t{c->count} * 8 > out->desc.size) return fail("results buffer too small");
    if (c->count > 0 && (a->points.empty() || b->points.empty()))
      return fail("empty position buffer");
    out->values.resize(c->count);
    for (std::uint32_t i = 0; i < c->count; ++i) {
      const HomVec4 pa = a->points.size() == 1 ? a->points[0] : a->points[i];
      const HomVec4 pb = b->points.size() == 1 ? b->points[0] : b->points[i];
      out->values[i] = kova_kernel::fsDistance(pa, pb);
    }
    stats.distances += c->count;
    return {};
  }
  if (const auto* c = std::get_if<KovaRenderGeodesicsCommand>(&command))
    return drawGeodesics(*c, state, stats);
  return fail("unknown command");
}

std::expected<void, std::string> CpuDevice::drawPoints(const kova_rhi::DrawCommand& draw,
                                                       PassState& state, ExecuteStats& stats) {
  if (!state.in_pass || !state.depth) return fail("draws need a pass with a depth attachment");
  if (!(draw.pipeline == state.pipeline) || !draw.pipeline.isValid())
    return fail("draw's pipeline is not bound");
  const auto& pipe = pipelines_[draw.pipeline.id - 1].desc;
  if (pipe.topology != kova_rhi::PrimitiveTopology::point_list)
    return fail("pipeline does not draw points");
  if (!(draw.index_buffer == BufferId::invalid()))
    return fail("indexed drawing is not supported; draw in buffer order");
  const BufferId vb =
      draw.vertex_buffer == BufferId::invalid() ? state.vertex_buffer : draw.vertex_buffer;
  const Buffer* positions = buffer(draw.kova_position_buffer);
  const Buffer* distances = buffer(vb);
  const Buffer* camera = buffer(draw.kova_transform_buffer);
  if (positions == nullptr || distances == nullptr || camera == nullptr)
    return fail("draw names an unknown buffer");
  if (positions->points.size() < draw.index_count || distances->values.size() < draw.index_count) {
    return fail("draw reads past the uploaded positions or computed distances");
  }
  if (camera->transforms.size() < 2) return fail("transform buffer lacks the camera block");
  if (draw.instance_count == 0) return {};

  const CameraBlock cam = unpackCameraBlock(camera->transforms[0], camera->transforms[1]);
  Image& color = *image(state.color);
  Image& depth = *image(*state.depth);
  const int w = static_cast<int>(color.desc.width);
  const int h = static_cast<int>(color.desc.height);
  for (std::uint32_t i = 0; i < draw.index_count; ++i) {
    const double d = distances->values[i];
    const auto sp = project(cam, positions->points[i], color.desc.width, color.desc.height);
    if (!sp || !std::isfinite(d)) continue;
    const int cx = static_cast<int>(std::floor(sp->x));
    const int cy = static_cast<int>(std::floor(sp->y));
    const int r = splatRadius(d, cam.tan_h, color.desc.width);
    if (cx + r < 0 || cy + r < 0 || cx - r >= w || cy - r >= h) continue;
    const float z = static_cast<float>(depthFromDistance(d, cam.near_fs, cam.far_fs));
    const auto rgb = depthColor(z);
    for (int dy = -r; dy <= r; ++dy) {
      for (int dx = -r; dx <= r; ++dx) {
        const int x = cx + dx, y = cy + dy;
        if (!splatCovers(dx, dy, r) || x < 0 || y < 0 || x >= w || y >= h) continue;
        const std::size_t p =
            static_cast<std::size_t>(y) * color.desc.width + static_cast<std::size_t>(x);
        if (writePixel(color.texels, depth.texels, p, samples_, pipe.depth, z, rgb))
          color.kinds[p] = static_cast<std::uint8_t>(PixelKind::point);
      }
    }
    ++stats.points_drawn;
    if (trace_ != nullptr)
      trace_->push_back(DrawTrace{i, cx, cy, r, {toByte(rgb[0]), toByte(rgb[1]), toByte(rgb[2])}});
  }
  return {};
}

// A mesh draw: the triangles of index_buffer over the vertices of
// kova_position_buffer, once per transform of kova_transform_buffer, seen
// through the camera block at uniform binding 0 (an isometric view); an
// optional storage buffer at binding 1 holds each instance's RGB colour.
std::expected<void, std::string> CpuDevice::drawMesh(const kova_rhi::DrawCommand& draw,
                                                     PassState& state, ExecuteStats& stats) {
  if (!state.in_pass || !state.depth) return fail("draws need a pass with a depth attachment");
  if (!(draw.pipeline == state.pipeline)) return fail("draw's pipeline is not bound");
  const auto& pipe = pipelines_[draw.pipeline.id - 1].desc;
  const Buffer* vertices = buffer(draw.kova_position_buffer);
  const Buffer* indices = buffer(draw.index_buffer);
  const Buffer* instances = buffer(draw.kova_transform_buffer);
  const Buffer* camera = buffer(state.uniforms[0]);
  if (vertices == nullptr || vertices->desc.type != BufferType::kova_positions)
    return fail("kova_position_buffer is not a position buffer");
  if (indices == nullptr || indices->desc.type != BufferType::index)
    return fail("index_buffer is not an index buffer");
  if (instances == nullptr || instances->desc.type != BufferType::kova_transforms)
    return fail("kova_transform_buffer is not a transform buffer");
  if (camera == nullptr || camera->transforms.size() < 2)
    return fail("uniform binding 0 lacks the camera block");
  if (draw.index_count > indices->indices.size())
    return fail("index_count " + std::to_string(draw.index_count) + " reads past the " +
                std::to_string(indices->indices.size()) + " indices written");
  for (std::uint32_t i = 0; i < draw.index_count; ++i) {
    if (indices->indices[i] >= vertices->points.size()) {
      return fail("index " + std::to_string(indices->indices[i]) + " at " + std::to_string(i) +
                  " is beyond the " + std::to_string(vertices->points.size()) + " vertices");
    }
  }
  if (draw.instance_count > instances->transforms.size()) {
    return fail("instance_count " + std::to_string(draw.instance_count) + " exceeds the " +
                std::to_string(instances->transforms.size()) + " transforms uploaded");
  }
  std::span<const double> colors;
  if (const Buffer* c = buffer(state.uniforms[1]); c != nullptr) {
    if (c->desc.type != BufferType::storage ||
        c->values.size() < std::size_t{3} * draw.instance_count)
      return fail("uniform binding 1 holds fewer than 3 colour values per instance");
    colors = c->values;
  }
  TriangleDraw td{unpackCameraBlock(camera->transforms[0], camera->transforms[1]),
                  vertices->points,
                  std::span(indices->indices).first(draw.index_count / 3 * 3),
                  std::span(instances->transforms).first(draw.instance_count),
                  colors,
                  pipe.depth};
  if (!td.camera.isometric_view)
    return fail("triangles need a camera block with an isometric view");

  Image& color = *image(state.color);
  Image& depth = *image(*state.depth);
  const std::size_t sample_count = color.texels.size() / 4;
  if (coverage_ != nullptr && coverage_->size() != sample_count) coverage_->assign(sample_count, 0);
  SampleTarget target{
      color.desc.width,
      color.desc.height,
      samples_,
      color.texels,
      depth.texels,
      color.kinds,
      coverage_ != nullptr ? std::span<std::uint16_t>(*coverage_) : std::span<std::uint16_t>()};
  const TriangleStats ts = drawTriangles(td, target);
  stats.triangles += ts.triangles;
  stats.triangles_drawn += ts.triangles_drawn;
  return {};
}

std::expected<void, std::string> CpuDevice::drawGeodesics(
    const kova_rhi::KovaRenderGeodesicsCommand& cmd, PassState& state, ExecuteStats& stats) {
  if (!state.in_pass || !state.depth) return fail("geodesics need a pass with a depth attachment");
  if (!state.pipeline.isValid()) return fail("no pipeline bound");
  const auto& pipe = pipelines_[state.pipeline.id - 1].desc;
  if (pipe.topology != kova_rhi::PrimitiveTopology::geodesic_list)
    return fail("pipeline does not draw geodesics");
  const Buffer* positions = buffer(cmd.positions);
  const Buffer* camera = buffer(state.uniforms[0]);
  if (positions == nullptr || positions->points.size() < cmd.count)
    return fail("geodesics read past the uploaded positions");
  if (camera == nullptr || camera->transforms.size() < 2)
    return fail("uniform binding 0 lacks the camera block");

  const CameraBlock cam = unpackCameraBlock(camera->transforms[0], camera->transforms[1]);
  Image& color = *image(state.color);
  Image& depth = *image(*state.depth);
  const std::uint32_t w = color.desc.width, h = color.desc.height;

  // A sample along the arc: its pixel position, depth and which half of the
  // view it lies in (a segment across the boundary passes through infinity):
  // the side of w = 0 for a view that keeps w, the side of the eye's focal
  // plane for an isometric view.
  struct Sample {
    std::optional<ScreenPoint> at;
    double depth = 1.0;
    bool upper = true;
  };
  const auto sample = [&](HomVec4 q) {
    const double d = kova_kernel::fsDistance(cam.observer, q);
    const HomVec4 v = cam.view.apply(q);
    if (cam.isometric_view)
      return Sample{projectFacing(cam, q, w, h), depthFromDistance(d, cam.near_fs, cam.far_fs),
                    v.z <= 0.0};
    return Sample{project(cam, q, w, h), depthFromDistance(d, cam.near_fs, cam.far_fs), v.w >= 0.0};
  };
  // Lines fade with depth: towards black for a view that keeps w, into the
  // fog colour as the triangles do for an isometric view.
  const auto plot = [&](int x, int y, double z) {
    if (x < 0 || y < 0 || x >= static_cast<int>(w) || y >= static_cast<int>(h)) return;
    const std::size_t p = static_cast<std::size_t>(y) * w + static_cast<std::size_t>(x);
    std::array<float, 3> rgb{};
    const std::array<float, 3> line = {cmd.color_r, cmd.color_g, cmd.color_b};
    if (cam.isometric_view) {
      const float f = fogAmount(cam.near_fs + z * (cam.far_fs - cam.near_fs), cam.far_fs);
      for (std::size_t i = 0; i < 3; ++i) rgb[i] = line[i] + (cam.fog[i] - line[i]) * f;
    } else {
      const auto fade = static_cast<float>(0.2 + 0.8 * std::pow(1.0 - z, 0.8));
      for (std::size_t i = 0; i < 3; ++i) rgb[i] = line[i] * fade;
    }
    if (writePixel(color.texels, depth.texels, p, samples_, pipe.depth, static_cast<float>(z), rgb))
      color.kinds[p] = static_cast<std::uint8_t>(PixelKind::geodesic);
  };

  for (std::uint32_t k = 0; k + 1 < cmd.count; k += 2) {
    const HomVec4 a = positions->points[k].normalize();
    HomVec4 b = positions->points[k + 1].normalize();
    if (a.dot(b) < 0.0) b = HomVec4{-b.x, -b.y, -b.z, -b.w};  // the shorter of the two arcs
    const double angle = std::acos(std::clamp(a.dot(b), -1.0, 1.0));
    const int steps = static_cast<int>(std::clamp(std::ceil(angle / 0.004), 1.0, 4096.0));
    bool any = false;
    Sample prev = sample(a);
    for (int s = 1; s <= steps; ++s) {
      const double t = static_cast<double>(s) / steps;
      double wa = 1.0 - t, wb = t;
      if (angle > 1e-9)
        wa = std::sin((1.0 - t) * angle) / std::sin(angle),
        wb = std::sin(t * angle) / std::sin(angle);
      const Sample cur = sample(HomVec4{wa * a.x + wb * b.x, wa * a.y + wb * b.y,
                                        wa * a.z + wb * b.z, wa * a.w + wb * b.w});
      const bool drawable = prev.at && cur.at && prev.upper == cur.upper && prev.depth > 0.0 &&
                            prev.depth < 1.0 && cur.depth > 0.0 && cur.depth < 1.0;
      if (drawable) {
        const double dx = cur.at->x - prev.at->x, dy = cur.at->y - prev.at->y;
        const double len = std::max(std::fabs(dx), std::fabs(dy));
        if (len < 4.0 * (w + h)) {
          any = true;
          const int n = std::max(1, static_cast<int>(std::ceil(len)));
          for (int j = 0; j <= n; ++j) {
            const double u = static_cast<double>(j) / n;
            const double z = prev.depth + (cur.depth - prev.depth) * u;
            plot(static_cast<int>(std::floor(prev.at->x + dx * u)),
                 static_cast<int>(std::floor(prev.at->y + dy * u)), z);
          }
        }
      }
      prev = cur;
    }
    if (any) ++stats.geodesic_arcs;
  }
  return {};
}

std::expected<std::vector<std::uint8_t>, std::string> CpuDevice::readRgb8(ImageId id) const {
  const Image* img = image(id);
  if (img == nullptr || img->is_depth) return fail("not a colour image");
  std::vector<std::uint8_t> rgb(img->kinds.size() * 3);
  const std::size_t n = samples_;
  for (std::size_t p = 0; p < img->kinds.size(); ++p) {
    for (std::size_t c = 0; c < 3; ++c) {
      // Exact in double: the mean of equal samples is that sample.
      double sum = 0.0;
      for (std::size_t s = 0; s < n; ++s) sum += img->texels[(p * n + s) * 4 + c];
      rgb[p * 3 + c] = toByte(static_cast<float>(sum / static_cast<double>(n)));
    }
  }
  return rgb;
}

std::expected<std::vector<float>, std::string> CpuDevice::readDepth(ImageId id) const {
  const Image* img = image(id);
  if (img == nullptr || !img->is_depth) return fail("not a depth image");
  std::vector<float> depth(img->texels.size() / samples_);
  for (std::size_t p = 0; p < depth.size(); ++p) depth[p] = img->texels[p * samples_];
  return depth;
}

std::expected<std::vector<double>, std::string> CpuDevice::readValues(BufferId id) const {
  const Buffer* b = const_cast<CpuDevice&>(*this).buffer(id);
  if (b == nullptr) return fail("unknown buffer");
  if (b->desc.type != BufferType::storage) return fail("not a storage buffer");
  return b->values;
}

std::expected<std::vector<std::uint8_t>, std::string> CpuDevice::readKinds(ImageId id) const {
  const Image* img = image(id);
  if (img == nullptr || img->is_depth) return fail("not a colour image");
  return img->kinds;
}

}  // namespace kova_device
