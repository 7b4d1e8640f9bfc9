#include "cpu_device.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <variant>

namespace kova_demo {
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

bool depthPasses(CompareOp op, float incoming, float stored) noexcept {
  switch (op) {
    case CompareOp::never:
      return false;
    case CompareOp::less:
      return incoming < stored;
    case CompareOp::equal:
      return incoming == stored;
    case CompareOp::less_equal:
      return incoming <= stored;
    case CompareOp::greater:
      return incoming > stored;
    case CompareOp::not_equal:
      return incoming != stored;
    case CompareOp::greater_equal:
      return incoming >= stored;
    case CompareOp::always:
      return true;
  }
  return false;
}

bool isColorFormat(Format f) noexcept {
  return f == Format::rgba8_unorm || f == Format::rgba8_srgb || f == Format::rgba16_float ||
         f == Format::rgba32_float;
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
                  (desc.type == BufferType::storage && desc.stride == 8);
  if (!ok) return fail("unsupported buffer (type and stride)");
  buffers_.push_back(Buffer{desc, {}, {}, {}});
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
  img.texels.assign(pixels * (img.is_depth ? 1 : 4), img.is_depth ? 1.0f : 0.0f);
  if (!img.is_depth) img.kinds.assign(pixels, static_cast<std::uint8_t>(PixelKind::clear));
  images_.push_back(std::move(img));
  return ImageId{images_.size(), kGeneration};
}

std::expected<PipelineId, std::string> CpuDevice::createPipeline(
    const kova_rhi::GraphicsPipelineDescriptor& desc) {
  if (desc.type != PipelineType::kova_projective)
    return fail("only kova_projective pipelines are supported");
  if (desc.topology != PrimitiveTopology::point_list &&
      desc.topology != PrimitiveTopology::geodesic_list) {
    return fail("projective pipelines draw point_list or geodesic_list");
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
    const std::size_t pixels = color->kinds.size();
    for (std::size_t p = 0; p < pixels; ++p) {
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
  if (const auto* c = std::get_if<DrawCommand>(&command)) return drawPoints(*c, state, stats);
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
        if (pipe.depth.depth_test && !depthPasses(pipe.depth.depth_compare, z, depth.texels[p]))
          continue;
        if (pipe.depth.depth_write) depth.texels[p] = z;
        color.texels[p * 4 + 0] = rgb[0];
        color.texels[p * 4 + 1] = rgb[1];
        color.texels[p * 4 + 2] = rgb[2];
        color.texels[p * 4 + 3] = 1.0f;
        color.kinds[p] = static_cast<std::uint8_t>(PixelKind::point);
      }
    }
    ++stats.points_drawn;
    if (trace_ != nullptr)
      trace_->push_back(DrawTrace{i, cx, cy, r, {toByte(rgb[0]), toByte(rgb[1]), toByte(rgb[2])}});
  }
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
  // view's w it lies in (a segment across w = 0 passes through infinity).
  struct Sample {
    std::optional<ScreenPoint> at;
    double depth = 1.0;
    bool upper = true;
  };
  const auto sample = [&](HomVec4 q) {
    const double d = kova_kernel::fsDistance(cam.observer, q);
    return Sample{project(cam, q, w, h), depthFromDistance(d, cam.near_fs, cam.far_fs),
                  cam.view.apply(q).w >= 0.0};
  };
  const auto plot = [&](int x, int y, float z, float fade) {
    if (x < 0 || y < 0 || x >= static_cast<int>(w) || y >= static_cast<int>(h)) return;
    const std::size_t p = static_cast<std::size_t>(y) * w + static_cast<std::size_t>(x);
    if (pipe.depth.depth_test && !depthPasses(pipe.depth.depth_compare, z, depth.texels[p])) return;
    if (pipe.depth.depth_write) depth.texels[p] = z;
    color.texels[p * 4 + 0] = cmd.color_r * fade;
    color.texels[p * 4 + 1] = cmd.color_g * fade;
    color.texels[p * 4 + 2] = cmd.color_b * fade;
    color.texels[p * 4 + 3] = 1.0f;
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
                 static_cast<int>(std::floor(prev.at->y + dy * u)), static_cast<float>(z),
                 static_cast<float>(0.2 + 0.8 * std::pow(1.0 - z, 0.8)));
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
  for (std::size_t p = 0; p < img->kinds.size(); ++p) {
    for (std::size_t c = 0; c < 3; ++c) rgb[p * 3 + c] = toByte(img->texels[p * 4 + c]);
  }
  return rgb;
}

std::expected<std::vector<float>, std::string> CpuDevice::readDepth(ImageId id) const {
  const Image* img = image(id);
  if (img == nullptr || !img->is_depth) return fail("not a depth image");
  return img->texels;
}

std::expected<std::vector<std::uint8_t>, std::string> CpuDevice::readKinds(ImageId id) const {
  const Image* img = image(id);
  if (img == nullptr || img->is_depth) return fail("not a colour image");
  return img->kinds;
}

}  // namespace kova_demo
