#include "kova_device_checks.hpp"

#include <cmath>
#include <numbers>
#include <unordered_map>
#include <variant>

#include "kova_device_layouts.hpp"
#include "kova_device_lights.hpp"
#include "kova_tile_lights.hpp"

namespace kova_device {
namespace {

using kova_rhi::BufferType;
using kova_rhi::Format;
using kova_rhi::PipelineType;
using kova_rhi::PrimitiveTopology;

std::unexpected<std::string> fail(std::string message) {
  return std::unexpected(std::move(message));
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

// The buffers' contents as the graph leaves them so far: the device's
// records, overlaid with what earlier commands of the graph uploaded or
// computed.
class Contents {
 public:
  explicit Contents(const ResourceView& resources) : resources_(resources) {}

  struct Seen {
    const BufferRecord* record = nullptr;
    std::uint64_t filled = 0;
    std::array<PGL4, 2> camera{};
    bool computed = false;  // by a command of this graph
  };
  [[nodiscard]] Seen operator()(BufferId id) const {
    Seen seen{resources_.buffer(id), 0, {}};
    if (seen.record == nullptr) return seen;
    seen.filled = seen.record->filled;
    seen.camera = seen.record->camera;
    if (auto it = overlay_.find(id.id); it != overlay_.end()) {
      seen.filled = it->second.filled;
      seen.computed = it->second.computed;
      if (it->second.camera) seen.camera = *it->second.camera;
    }
    return seen;
  }
  void fill(BufferId id, std::uint64_t filled, std::optional<std::array<PGL4, 2>> camera = {},
            bool computed = false) {
    BufferFill& f = overlay_[id.id];
    f.buffer = id;
    f.filled = filled;
    if (camera) f.camera = camera;
    f.computed = f.computed || computed;
  }
  [[nodiscard]] std::vector<BufferFill> fills() const {
    std::vector<BufferFill> out;
    out.reserve(overlay_.size());
    for (const auto& [id, f] : overlay_) out.push_back(f);
    return out;
  }

 private:
  const ResourceView& resources_;
  std::unordered_map<std::uint64_t, BufferFill> overlay_;
};

// What a buffer holds, counted only for the buffer type that holds it.
std::uint64_t pointsIn(const Contents::Seen& b) {
  return b.record != nullptr && b.record->desc.type == BufferType::kova_positions ? b.filled : 0;
}
std::uint64_t valuesIn(const Contents::Seen& b) {
  return b.record != nullptr && b.record->desc.type == BufferType::storage ? b.filled : 0;
}
std::uint64_t transformsIn(const Contents::Seen& b) {
  return b.record != nullptr && b.record->desc.type == BufferType::kova_transforms ? b.filled : 0;
}

// Host-written values at a binding: a storage buffer the device has not
// computed into since the host wrote it.
bool hostWritten(const Contents::Seen& b) {
  return b.record != nullptr && b.record->desc.type == BufferType::storage && !b.computed &&
         b.record->host_values.size() == b.filled;
}

// The attachments and bindings that commands of a pass see.
struct PassState {
  bool in_pass = false;
  ImageId color{};
  std::optional<ImageId> depth{};
  PipelineId pipeline{};
  BufferId vertex_buffer{};
  std::array<BufferId, 8> uniforms{};
  // A G-buffer pass: position, normal, albedo and material attachments.
  bool gbuffer_pass = false;
  std::array<ImageId, 4> gbuffer{};
};

// Whether `format` may hold the G-buffer attribute `role` (0 position,
// 1 normal, 2 albedo, 3 material, 4 depth); the error words it.
std::expected<void, std::string> gbufferFormat(std::size_t role, Format format) {
  static constexpr std::array<const char*, 5> kNames = {"position_format", "normal_format",
                                                        "albedo_format", "material_format",
                                                        "depth_format"};
  bool ok = false;
  const char* wanted = "rgba32_float";
  switch (role) {
    case 2:
      ok = format == Format::rgba8_unorm || format == Format::rgba32_float;
      wanted = "rgba8_unorm or rgba32_float";
      break;
    case 4:
      ok = format == Format::depth32_float;
      wanted = "depth32_float";
      break;
    default:
      ok = format == Format::rgba32_float;
  }
  if (ok) return {};
  return fail(std::string("G-buffer ") + kNames[role] + " is format " +
              std::to_string(static_cast<unsigned>(format)) + ", not " + wanted);
}

class Checker {
 public:
  Checker(const ResourceView& resources, const DeviceLimits& limits)
      : r_(resources), limits_(limits), contents_(resources) {}

  std::expected<CheckedCommand, std::string> check(const kova_rhi::GpuCommand& command);
  [[nodiscard]] bool inPass() const noexcept { return pass_.in_pass; }
  void endPass() { pass_ = PassState{}; }
  void setFramePass(const kova_rhi::FramePass* pass) noexcept { frame_pass_ = pass; }
  [[nodiscard]] std::vector<BufferFill> fills() const { return contents_.fills(); }

 private:
  std::expected<CheckedCommand, std::string> drawPoints(const kova_rhi::DrawCommand& draw);
  std::expected<CheckedCommand, std::string> drawMesh(const kova_rhi::DrawCommand& draw);
  std::expected<CheckedCommand, std::string> geodesics(const kova_rhi::KovaRenderGeodesicsCommand& c);
  std::expected<CheckedCommand, std::string> fsDistance(
      const kova_rhi::KovaComputeFsDistanceCommand& c);
  std::expected<CheckedCommand, std::string> dispatch(const kova_rhi::DispatchCommand& c);
  std::expected<CheckedCommand, std::string> deferredLighting(const kova_rhi::DispatchCommand& c);
  std::expected<void, std::string> beginGBufferPass(const kova_rhi::BeginPassCommand& c);
  std::expected<void, std::string> lightBinding(const Contents::Seen& lights, std::uint32_t binding);
  CheckedCommand inPassCommand(CheckedOp op) const {
    CheckedCommand out{.op = op};
    out.color = pass_.color;
    out.depth = pass_.depth;
    return out;
  }

  const ResourceView& r_;
  const DeviceLimits& limits_;
  Contents contents_;
  PassState pass_;
  const kova_rhi::FramePass* frame_pass_ = nullptr;
};

std::expected<CheckedCommand, std::string> Checker::check(const kova_rhi::GpuCommand& command) {
  using namespace kova_rhi;
  if (const auto* c = std::get_if<ClearCommand>(&command)) {
    const ImageRecord* color = r_.image(c->color_attachment);
    if (color == nullptr || color->is_depth) return fail("clear needs a colour image");
    CheckedCommand out{.op = CheckedOp::clear, .color = c->color_attachment};
    // The depth image of the enclosing pass is cleared with the colour.
    if (pass_.in_pass && pass_.depth) {
      if (r_.image(*pass_.depth) == nullptr)
        return fail("the pass's depth attachment is not an image");
      if (!(c->depth >= 0.0f && c->depth <= 1.0f)) return fail("clear depth outside [0, 1]");
      out.depth = pass_.depth;
    }
    return out;
  }
  if (const auto* c = std::get_if<BeginPassCommand>(&command)) {
    if (pass_.in_pass) return fail("begin_pass inside a pass");
    if (c->color_attachments.size() == 4) {
      if (auto ok = beginGBufferPass(*c); !ok) return fail(ok.error());
      return inPassCommand(CheckedOp::begin_pass);
    }
    if (c->color_attachments.size() != 1)
      return fail("this device layer renders to one colour attachment");
    const ImageRecord* color = r_.image(c->color_attachments[0]);
    if (color == nullptr || color->is_depth) return fail("colour attachment is not a colour image");
    if (c->depth_attachment) {
      const ImageRecord* depth = r_.image(*c->depth_attachment);
      if (depth == nullptr || !depth->is_depth)
        return fail("depth attachment is not a depth image");
      if (depth->desc.width != color->desc.width || depth->desc.height != color->desc.height)
        return fail("colour and depth attachments differ in size");
    }
    pass_.in_pass = true;
    pass_.color = c->color_attachments[0];
    pass_.depth = c->depth_attachment;
    return inPassCommand(CheckedOp::begin_pass);
  }
  if (std::holds_alternative<EndPassCommand>(command)) {
    if (!pass_.in_pass) return fail("end_pass outside a pass");
    pass_.in_pass = false;
    return CheckedCommand{.op = CheckedOp::end_pass};
  }
  if (const auto* c = std::get_if<PipelineId>(&command)) {
    if (r_.pipeline(*c) == nullptr) return fail("unknown pipeline");
    pass_.pipeline = *c;
    return CheckedCommand{.op = CheckedOp::bind};
  }
  if (const auto* c = std::get_if<BindVertexBufferCommand>(&command)) {
    if (r_.buffer(c->buffer) == nullptr || c->offset != 0)
      return fail("invalid vertex buffer binding");
    pass_.vertex_buffer = c->buffer;
    return CheckedCommand{.op = CheckedOp::bind};
  }
  if (const auto* c = std::get_if<BindUniformCommand>(&command)) {
    const BufferRecord* b = r_.buffer(c->buffer);
    if (b == nullptr || c->binding >= pass_.uniforms.size() || c->offset != 0 ||
        c->size > b->desc.size) {
      return fail("invalid uniform binding");
    }
    pass_.uniforms[c->binding] = c->buffer;
    return CheckedCommand{.op = CheckedOp::bind};
  }
  if (const auto* c = std::get_if<DrawCommand>(&command)) {
    const PipelineRecord* p = r_.pipeline(c->pipeline);
    if (pass_.gbuffer_pass && (p == nullptr || p->desc.topology != PrimitiveTopology::triangle_list))
      return fail("a G-buffer pass draws triangle meshes only");
    if (p != nullptr && p->desc.type == PipelineType::compute)
      return fail("draw names a compute pipeline");
    if (p != nullptr && p->desc.topology == PrimitiveTopology::triangle_list) return drawMesh(*c);
    return drawPoints(*c);
  }
  if (const auto* c = std::get_if<DispatchCommand>(&command)) return dispatch(*c);
  if (const auto* c = std::get_if<KovaUploadPgl4Command>(&command)) {
    const BufferRecord* b = r_.buffer(c->buffer);
    if (b == nullptr || b->desc.type != BufferType::kova_transforms)
      return fail("target is not a transform buffer");
    if (c->transforms.size() > b->desc.size / 128)
      return fail("more transforms than the buffer holds");
    std::optional<std::array<PGL4, 2>> camera;
    if (c->transforms.size() >= 2) camera = std::array<PGL4, 2>{c->transforms[0], c->transforms[1]};
    contents_.fill(c->buffer, c->transforms.size(), camera);
    return CheckedCommand{.op = CheckedOp::upload_transforms, .transforms = c->buffer};
  }
  if (const auto* c = std::get_if<KovaUploadPositionsCommand>(&command)) {
    const BufferRecord* b = r_.buffer(c->buffer);
    if (b == nullptr || b->desc.type != BufferType::kova_positions)
      return fail("target is not a position buffer");
    if (c->positions.size() > b->desc.size / 32)
      return fail("more positions than the buffer holds");
    contents_.fill(c->buffer, c->positions.size());
    return CheckedCommand{.op = CheckedOp::upload_positions, .positions = c->buffer};
  }
  if (const auto* c = std::get_if<KovaComputeFsDistanceCommand>(&command)) return fsDistance(*c);
  if (const auto* c = std::get_if<KovaRenderGeodesicsCommand>(&command)) {
    if (pass_.gbuffer_pass) return fail("a G-buffer pass draws triangle meshes only");
    return geodesics(*c);
  }
  return fail("unknown command");
}

std::expected<CheckedCommand, std::string> Checker::fsDistance(
    const kova_rhi::KovaComputeFsDistanceCommand& c) {
  const Contents::Seen a = contents_(c.positions_a);
  const Contents::Seen b = contents_(c.positions_b);
  const Contents::Seen out = contents_(c.results);
  if (a.record == nullptr || b.record == nullptr || out.record == nullptr ||
      a.record->desc.type != BufferType::kova_positions ||
      b.record->desc.type != BufferType::kova_positions ||
      out.record->desc.type != BufferType::storage) {
    return fail("needs two position buffers and a storage buffer");
  }
  // A buffer of one point stands for that point repeated `count` times.
  const auto fits = [&](const Contents::Seen& in) { return in.filled == 1 || in.filled >= c.count; };
  if (!fits(a) || !fits(b)) return fail("a position buffer holds fewer than count points");
  if (std::uint64_t{c.count} * 8 > out.record->desc.size) return fail("results buffer too small");
  if (c.count > 0 && (a.filled == 0 || b.filled == 0)) return fail("empty position buffer");
  contents_.fill(c.results, c.count, std::nullopt, true);
  return CheckedCommand{.op = CheckedOp::fs_distance,
                        .positions = c.positions_a,
                        .values = c.results,
                        .points_a = a.filled,
                        .points_b = b.filled};
}

std::expected<CheckedCommand, std::string> Checker::drawPoints(const kova_rhi::DrawCommand& draw) {
  if (!pass_.in_pass || !pass_.depth) return fail("draws need a pass with a depth attachment");
  if (!(draw.pipeline == pass_.pipeline) || !draw.pipeline.isValid())
    return fail("draw's pipeline is not bound");
  if (r_.pipeline(draw.pipeline)->desc.topology != PrimitiveTopology::point_list)
    return fail("pipeline does not draw points");
  if (!(draw.index_buffer == BufferId::invalid()))
    return fail("indexed drawing is not supported; draw in buffer order");
  const BufferId vb =
      draw.vertex_buffer == BufferId::invalid() ? pass_.vertex_buffer : draw.vertex_buffer;
  const Contents::Seen positions = contents_(draw.kova_position_buffer);
  const Contents::Seen distances = contents_(vb);
  const Contents::Seen camera = contents_(draw.kova_transform_buffer);
  if (positions.record == nullptr || distances.record == nullptr || camera.record == nullptr)
    return fail("draw names an unknown buffer");
  if (pointsIn(positions) < draw.index_count || valuesIn(distances) < draw.index_count)
    return fail("draw reads past the uploaded positions or computed distances");
  if (transformsIn(camera) < 2) return fail("transform buffer lacks the camera block");
  CheckedCommand out = inPassCommand(CheckedOp::draw_points);
  out.pipeline = draw.pipeline;
  out.positions = draw.kova_position_buffer;
  out.values = vb;
  out.transforms = draw.kova_transform_buffer;
  out.camera = draw.kova_transform_buffer;
  out.camera_block = camera.camera;
  return out;
}

// A mesh draw: the triangles of index_buffer over the vertices of
// kova_position_buffer, once per transform of kova_transform_buffer, seen
// through the camera block at uniform binding 0 (an isometric view); an
// optional storage buffer at binding 1 holds each instance's RGB colour.
// Every index is checked against the vertices uploaded, so no device reads
// outside a buffer.
std::expected<CheckedCommand, std::string> Checker::drawMesh(const kova_rhi::DrawCommand& draw) {
  if (!pass_.in_pass || !pass_.depth) return fail("draws need a pass with a depth attachment");
  if (!(draw.pipeline == pass_.pipeline)) return fail("draw's pipeline is not bound");
  const Contents::Seen vertices = contents_(draw.kova_position_buffer);
  const Contents::Seen indices = contents_(draw.index_buffer);
  const Contents::Seen instances = contents_(draw.kova_transform_buffer);
  const Contents::Seen camera = contents_(pass_.uniforms[0]);
  if (vertices.record == nullptr || vertices.record->desc.type != BufferType::kova_positions)
    return fail("kova_position_buffer is not a position buffer");
  if (indices.record == nullptr || indices.record->desc.type != BufferType::index)
    return fail("index_buffer is not an index buffer");
  if (instances.record == nullptr || instances.record->desc.type != BufferType::kova_transforms)
    return fail("kova_transform_buffer is not a transform buffer");
  if (transformsIn(camera) < 2) return fail("uniform binding 0 lacks the camera block");
  const std::vector<std::uint32_t>& written = indices.record->indices;
  if (draw.index_count > written.size())
    return fail("index_count " + std::to_string(draw.index_count) + " reads past the " +
                std::to_string(written.size()) + " indices written");
  const std::uint64_t n_vertices = pointsIn(vertices);
  for (std::uint32_t i = 0; i < draw.index_count; ++i) {
    if (written[i] >= n_vertices) {
      return fail("index " + std::to_string(written[i]) + " at " + std::to_string(i) +
                  " is beyond the " + std::to_string(n_vertices) + " vertices");
    }
  }
  if (draw.instance_count > transformsIn(instances)) {
    return fail("instance_count " + std::to_string(draw.instance_count) + " exceeds the " +
                std::to_string(transformsIn(instances)) + " transforms uploaded");
  }
  const Contents::Seen colors = contents_(pass_.uniforms[1]);
  if (colors.record != nullptr && (colors.record->desc.type != BufferType::storage ||
                                   valuesIn(colors) < std::uint64_t{3} * draw.instance_count))
    return fail("uniform binding 1 holds fewer than 3 colour values per instance");
  const Contents::Seen lights = contents_(pass_.uniforms[2]);
  if (pass_.gbuffer_pass && (lights.record != nullptr || pass_.uniforms[3].id != 0))
    return fail("a G-buffer draw sheds no lights; the lighting pass reads them");
  if (lights.record != nullptr) {
    if (auto ok = lightBinding(lights, 2); !ok) return fail(ok.error());
  }
  // Forward+ shading: each fragment sheds only the lights its tile's list
  // names (binding 3), over the grid at binding 4 that covers the image.
  const Contents::Seen lists = contents_(pass_.uniforms[3]);
  if (lists.record != nullptr) {
    if (lights.record == nullptr) return fail("tile lists at uniform binding 3 need lights at binding 2");
    if (lists.record->desc.type != BufferType::storage)
      return fail("uniform binding 3 is not a storage buffer of tile lists");
    const Contents::Seen grid = contents_(pass_.uniforms[4]);
    if (!hostWritten(grid)) return fail("uniform binding 4 holds no grid the host wrote");
    const auto g = checkTileGrid(grid.record->host_values);
    if (!g) return fail("uniform binding 4: " + g.error());
    const ImageRecord* color = r_.image(pass_.color);
    if (color == nullptr || g->width != color->desc.width || g->height != color->desc.height) {
      return fail("the grid at uniform binding 4 is " + std::to_string(g->width) + " x " +
                  std::to_string(g->height) + ", not the colour attachment's size");
    }
    if (valuesIn(lists) < g->outputValues()) {
      return fail("uniform binding 3 holds " + std::to_string(valuesIn(lists)) +
                  " values; the tile lists need " + std::to_string(g->outputValues()));
    }
  }
  if (camera.camera[1].data[kIsometricFlag] != 1.0)
    return fail("triangles need a camera block with an isometric view");
  if (draw.instance_count > limits_.max_instances) return fail("instance_count too large");
  if (std::uint64_t{draw.index_count / 3} * draw.instance_count > limits_.max_draw_triangles)
    return fail("too many triangles in one draw");
  CheckedCommand out = inPassCommand(CheckedOp::draw_mesh);
  out.pipeline = draw.pipeline;
  out.positions = draw.kova_position_buffer;
  out.indices = draw.index_buffer;
  out.transforms = draw.kova_transform_buffer;
  out.camera = pass_.uniforms[0];
  if (colors.record != nullptr) out.colors = pass_.uniforms[1];
  if (lights.record != nullptr) out.lights = pass_.uniforms[2];
  if (lists.record != nullptr) {
    out.output = pass_.uniforms[3];
    out.grid = pass_.uniforms[4];
  }
  out.camera_block = camera.camera;
  out.to_gbuffer = pass_.gbuffer_pass;
  out.gbuffer = pass_.gbuffer;
  return out;
}

// Four colour attachments are a G-buffer: position, normal, albedo and
// material, each of a format gbufferFormat accepts, with a depth image, all
// of one size and all different.
std::expected<void, std::string> Checker::beginGBufferPass(const kova_rhi::BeginPassCommand& c) {
  if (!limits_.gbuffer_passes) return fail("this device layer renders to one colour attachment");
  if (!c.depth_attachment) return fail("a G-buffer pass needs a depth attachment");
  std::array<const ImageRecord*, 5> images{};
  std::array<ImageId, 5> ids{c.color_attachments[0], c.color_attachments[1],
                             c.color_attachments[2], c.color_attachments[3], *c.depth_attachment};
  for (std::size_t i = 0; i < 5; ++i) {
    images[i] = r_.image(ids[i]);
    if (images[i] == nullptr) return fail("G-buffer attachment " + std::to_string(i) + " is not an image");
    if (auto ok = gbufferFormat(i, images[i]->desc.format); !ok) return fail(ok.error());
    if (images[i]->desc.width != images[0]->desc.width ||
        images[i]->desc.height != images[0]->desc.height)
      return fail("G-buffer attachments differ in size");
    for (std::size_t j = 0; j < i; ++j)
      if (ids[j] == ids[i]) return fail("a G-buffer attachment is bound twice");
  }
  pass_.in_pass = true;
  pass_.gbuffer_pass = true;
  pass_.color = ids[0];
  pass_.depth = ids[4];
  for (std::size_t i = 0; i < 4; ++i) pass_.gbuffer[i] = ids[i];
  return {};
}

// The deferred lighting kernel (kova_deferred.hpp): the G-buffer comes from
// the frame pass's reads, the picture from its writes.
std::expected<CheckedCommand, std::string> Checker::deferredLighting(
    const kova_rhi::DispatchCommand& c) {
  if (!limits_.gbuffer_passes) return fail("this device layer has no deferred lighting");
  if (pass_.in_pass) return fail("deferred lighting runs outside begin_pass");
  if (frame_pass_ == nullptr || frame_pass_->reads.size() != 5)
    return fail("the lighting pass must read the five G-buffer images");
  if (frame_pass_->writes.size() != 1) return fail("the lighting pass must write one picture");
  const ImageId picture_id = frame_pass_->writes[0];
  const ImageRecord* picture = r_.image(picture_id);
  if (picture == nullptr || picture->is_depth) return fail("the lighting pass writes no colour image");
  for (std::size_t i = 0; i < 5; ++i) {
    const ImageId id = frame_pass_->reads[i];
    const ImageRecord* g = r_.image(id);
    if (g == nullptr) return fail("G-buffer image " + std::to_string(i) + " is not an image");
    if (auto ok = gbufferFormat(i, g->desc.format); !ok) return fail(ok.error());
    if (g->desc.width != picture->desc.width || g->desc.height != picture->desc.height)
      return fail("the G-buffer and the picture differ in size");
    if (id == picture_id) return fail("the picture is also read as a G-buffer image");
    for (std::size_t j = 0; j < i; ++j)
      if (frame_pass_->reads[j] == id) return fail("a G-buffer image is read twice");
  }
  const Contents::Seen camera = contents_(pass_.uniforms[0]);
  if (transformsIn(camera) < 2) return fail("uniform binding 0 lacks the camera block");
  if (camera.camera[1].data[kIsometricFlag] != 1.0)
    return fail("deferred lighting needs a camera block with an isometric view");
  const Contents::Seen params = contents_(pass_.uniforms[1]);
  if (!hostWritten(params)) return fail("uniform binding 1 holds no lighting parameters the host wrote");
  const auto p = checkDeferredParams(params.record->host_values);
  if (!p) return fail("uniform binding 1: " + p.error());
  if (p->width != picture->desc.width || p->height != picture->desc.height)
    return fail("the lighting parameters are " + std::to_string(p->width) + " x " +
                std::to_string(p->height) + ", not the picture's size");
  const Contents::Seen lights = contents_(pass_.uniforms[2]);
  if (auto ok = lightBinding(lights, 2); !ok) return fail(ok.error());
  const std::size_t light_count = lights.record->host_values.size() / kLightValues;
  if (light_count > p->max_lights)
    return fail("uniform binding 2 holds " + std::to_string(light_count) +
                " lights, more than max_lights " + std::to_string(p->max_lights));
  CheckedCommand checked{.op = CheckedOp::dispatch};
  const Contents::Seen lists = contents_(pass_.uniforms[3]);
  if (lists.record != nullptr) {
    if (lists.record->desc.type != BufferType::storage)
      return fail("uniform binding 3 is not a storage buffer of tile lists");
    const Contents::Seen grid = contents_(pass_.uniforms[4]);
    if (!hostWritten(grid)) return fail("uniform binding 4 holds no grid the host wrote");
    const auto g = checkTileGrid(grid.record->host_values);
    if (!g) return fail("uniform binding 4: " + g.error());
    if (g->width != picture->desc.width || g->height != picture->desc.height)
      return fail("the grid at uniform binding 4 is not the picture's size");
    if (valuesIn(lists) < g->outputValues()) {
      return fail("uniform binding 3 holds " + std::to_string(valuesIn(lists)) +
                  " values; the tile lists need " + std::to_string(g->outputValues()));
    }
    checked.output = pass_.uniforms[3];
    checked.grid = pass_.uniforms[4];
  }
  const std::uint32_t bx = (p->width + kDeferredBlock - 1) / kDeferredBlock;
  const std::uint32_t by = (p->height + kDeferredBlock - 1) / kDeferredBlock;
  if (c.group_count_x == 0 || c.group_count_y == 0 || c.group_count_z == 0)
    return fail("zero groups");
  if (c.group_count_x > bx || c.group_count_y > by || c.group_count_z != 1)
    return fail("more groups than the " + std::to_string(bx) + " x " + std::to_string(by) +
                " x 1 blocks");
  checked.pipeline = c.pipeline;
  checked.camera = pass_.uniforms[0];
  checked.camera_block = camera.camera;
  checked.values = pass_.uniforms[1];
  checked.lights = pass_.uniforms[2];
  checked.color = picture_id;
  checked.depth = frame_pass_->reads[4];
  checked.to_gbuffer = true;
  for (std::size_t i = 0; i < 4; ++i) checked.gbuffer[i] = frame_pass_->reads[i];
  return checked;
}

std::expected<void, std::string> Checker::lightBinding(const Contents::Seen& lights,
                                                       std::uint32_t binding) {
  const std::string at = "uniform binding " + std::to_string(binding);
  if (lights.record == nullptr || lights.record->desc.type != BufferType::storage)
    return fail(at + " is not a storage buffer of lights");
  if (!hostWritten(lights))
    return fail(at + " holds values computed on the device, not lights the host wrote");
  if (auto ok = checkLightValues(lights.record->host_values); !ok)
    return fail(at + ": " + ok.error());
  return {};
}

// A built-in compute kernel over the pass's bindings; tile light culling is
// the only one so far (kova_tile_lights.hpp).
std::expected<CheckedCommand, std::string> Checker::dispatch(const kova_rhi::DispatchCommand& c) {
  const PipelineRecord* p = r_.pipeline(c.pipeline);
  if (p == nullptr || p->desc.type != PipelineType::compute)
    return fail("dispatch names no compute pipeline of this device");
  if (!(c.pipeline == pass_.pipeline)) return fail("dispatch's pipeline is not bound");
  if (p->kernel == static_cast<std::uint8_t>(BuiltinKernel::deferred_lighting))
    return deferredLighting(c);
  if (p->kernel != static_cast<std::uint8_t>(BuiltinKernel::tile_light_culling))
    return fail("unknown built-in kernel");
  const Contents::Seen camera = contents_(pass_.uniforms[0]);
  if (transformsIn(camera) < 2) return fail("uniform binding 0 lacks the camera block");
  if (camera.camera[1].data[kIsometricFlag] != 1.0)
    return fail("tile light culling needs a camera block with an isometric view");
  const Contents::Seen grid = contents_(pass_.uniforms[1]);
  if (!hostWritten(grid)) return fail("uniform binding 1 holds no grid the host wrote");
  const auto g = checkTileGrid(grid.record->host_values);
  if (!g) return fail("uniform binding 1: " + g.error());
  if (auto ok = lightBinding(contents_(pass_.uniforms[2]), 2); !ok) return fail(ok.error());
  const BufferId out_id = pass_.uniforms[3];
  const Contents::Seen out = contents_(out_id);
  if (out.record == nullptr || out.record->desc.type != BufferType::storage)
    return fail("uniform binding 3 is not a storage buffer for the tile lists");
  if (out_id == pass_.uniforms[1] || out_id == pass_.uniforms[2])
    return fail("uniform binding 3 is also bound as an input");
  if (g->outputValues() * 8 > out.record->desc.size) {
    return fail("uniform binding 3 holds " + std::to_string(out.record->desc.size / 8) +
                " values; the tile lists need " + std::to_string(g->outputValues()));
  }
  if (c.group_count_x == 0 || c.group_count_y == 0 || c.group_count_z == 0)
    return fail("zero groups");
  if (c.group_count_x > g->tilesX() || c.group_count_y > g->tilesY() || c.group_count_z != 1) {
    return fail("more groups than the " + std::to_string(g->tilesX()) + " x " +
                std::to_string(g->tilesY()) + " x 1 tiles");
  }
  contents_.fill(out_id, g->outputValues(), std::nullopt, true);
  CheckedCommand checked{.op = CheckedOp::dispatch};
  checked.pipeline = c.pipeline;
  checked.camera = pass_.uniforms[0];
  checked.camera_block = camera.camera;
  checked.grid = pass_.uniforms[1];
  checked.lights = pass_.uniforms[2];
  checked.output = out_id;
  return checked;
}

std::expected<CheckedCommand, std::string> Checker::geodesics(
    const kova_rhi::KovaRenderGeodesicsCommand& c) {
  if (!pass_.in_pass || !pass_.depth) return fail("geodesics need a pass with a depth attachment");
  if (!pass_.pipeline.isValid()) return fail("no pipeline bound");
  if (r_.pipeline(pass_.pipeline)->desc.topology != PrimitiveTopology::geodesic_list)
    return fail("pipeline does not draw geodesics");
  const Contents::Seen positions = contents_(c.positions);
  const Contents::Seen camera = contents_(pass_.uniforms[0]);
  if (positions.record == nullptr || pointsIn(positions) < c.count)
    return fail("geodesics read past the uploaded positions");
  if (transformsIn(camera) < 2) return fail("uniform binding 0 lacks the camera block");
  CheckedCommand out = inPassCommand(CheckedOp::geodesics);
  out.pipeline = pass_.pipeline;
  out.positions = c.positions;
  out.camera = pass_.uniforms[0];
  out.camera_block = camera.camera;
  return out;
}

}  // namespace

std::expected<void, std::string> checkBufferDescriptor(const kova_rhi::BufferDescriptor& desc,
                                                       const DeviceLimits& limits) {
  if (desc.size > limits.max_buffer_bytes) {
    return fail("buffer of " + std::to_string(desc.size) + " bytes exceeds the device's " +
                std::to_string(limits.max_buffer_bytes) + "-byte limit");
  }
  const bool ok = (desc.type == BufferType::kova_positions && desc.stride == 32) ||
                  (desc.type == BufferType::kova_transforms && desc.stride == 128) ||
                  (desc.type == BufferType::storage && desc.stride == 8) ||
                  (desc.type == BufferType::index && desc.stride == 4);
  if (!ok) return fail("unsupported buffer (type and stride)");
  return {};
}

std::expected<bool, std::string> checkImageDescriptor(const kova_rhi::ImageDescriptor& desc,
                                                      const DeviceLimits& limits) {
  if (desc.dimension != kova_rhi::ImageDimension::dim_2d || desc.depth != 1 ||
      desc.mip_levels != 1 || desc.array_layers != 1) {
    return fail("only single-level 2D images are supported");
  }
  if (desc.width == 0 || desc.height == 0 || desc.width > limits.max_image_side ||
      desc.height > limits.max_image_side) {
    return fail("image size out of range");
  }
  const bool is_depth = desc.format == Format::depth32_float;
  if (!is_depth && !isColorFormat(desc.format)) return fail("unsupported image format");
  return is_depth;
}

std::expected<void, std::string> checkPipelineDescriptor(
    const kova_rhi::GraphicsPipelineDescriptor& desc) {
  if (desc.type != kova_rhi::PipelineType::kova_projective)
    return fail("only kova_projective pipelines are supported");
  if (desc.topology != PrimitiveTopology::point_list &&
      desc.topology != PrimitiveTopology::triangle_list &&
      desc.topology != PrimitiveTopology::geodesic_list) {
    return fail("projective pipelines draw point_list, triangle_list or geodesic_list");
  }
  if (!desc.depth.fs_depth) return fail("projective pipelines need fs_depth in their depth state");
  return {};
}

std::expected<void, std::string> checkIndexWrite(const BufferRecord* target, std::size_t count) {
  if (target == nullptr || target->desc.type != BufferType::index)
    return fail("not an index buffer");
  if (count > target->desc.size / 4) return fail("more indices than the buffer holds");
  return {};
}

std::expected<void, std::string> checkValueWrite(const BufferRecord* target, std::size_t count) {
  if (target == nullptr || target->desc.type != BufferType::storage)
    return fail("not a storage buffer");
  if (count > target->desc.size / 8) return fail("more values than the buffer holds");
  return {};
}

std::expected<void, std::string> checkLightValues(std::span<const double> values) {
  if (values.size() % kLightValues != 0) {
    return fail(std::to_string(values.size()) + " values are not whole lights of " +
                std::to_string(kLightValues));
  }
  const std::size_t n = values.size() / kLightValues;
  if (n > kMaxLights)
    return fail(std::to_string(n) + " lights, more than the " + std::to_string(kMaxLights) +
                " a draw reads");
  const auto finite_at_least_0 = [](double v) { return std::isfinite(v) && v >= 0.0; };
  for (std::size_t i = 0; i < n; ++i) {
    const double* v = values.data() + i * kLightValues;
    const std::string which = "light " + std::to_string(i) + ": ";
    const bool finite = std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]) &&
                        std::isfinite(v[3]);
    if (!finite || (v[0] == 0.0 && v[1] == 0.0 && v[2] == 0.0 && v[3] == 0.0))
      return fail(which + "position is not a finite non-zero vector");
    if (!finite_at_least_0(v[4]) || !finite_at_least_0(v[5]) || !finite_at_least_0(v[6]))
      return fail(which + "colour is not finite and >= 0");
    if (!finite_at_least_0(v[7])) return fail(which + "intensity is not finite and >= 0");
    if (!(v[8] > 0.0 && v[8] <= std::numbers::pi)) return fail(which + "range is not in (0, pi]");
  }
  return {};
}

std::expected<TileGrid, std::string> checkTileGrid(std::span<const double> values) {
  if (values.size() != kTileGridValues)
    return fail("the grid is " + std::to_string(kTileGridValues) + " values, not " +
                std::to_string(values.size()));
  const auto whole = [](double v, double lo, double hi) {
    return v >= lo && v <= hi && v == std::floor(v);
  };
  constexpr double kSide = kMaxTileGridSide;
  if (!whole(values[0], 1, kSide) || !whole(values[1], 1, kSide))
    return fail("width and height must be whole numbers in [1, 16384]");
  if (!whole(values[2], 1, kSide)) return fail("tile_size must be a whole number in [1, 16384]");
  if (!whole(values[3], 1, static_cast<double>(kMaxLights)))
    return fail("max_lights_per_tile must be a whole number in [1, " + std::to_string(kMaxLights) +
                "]");
  return TileGrid{static_cast<std::uint32_t>(values[0]), static_cast<std::uint32_t>(values[1]),
                  static_cast<std::uint32_t>(values[2]), static_cast<std::uint32_t>(values[3])};
}

std::expected<void, std::string> checkGBufferLayout(const kova_renderer::GBufferLayout& layout) {
  const std::array<Format, 5> formats = {layout.position_format, layout.normal_format,
                                         layout.albedo_format, layout.material_format,
                                         layout.depth_format};
  for (std::size_t i = 0; i < formats.size(); ++i)
    if (auto ok = gbufferFormat(i, formats[i]); !ok) return ok;
  return {};
}

std::expected<DeferredParams, std::string> checkDeferredParams(std::span<const double> values) {
  if (values.size() != kDeferredParamValues)
    return fail("the lighting parameters are " + std::to_string(kDeferredParamValues) +
                " values, not " + std::to_string(values.size()));
  const auto whole = [](double v, double lo, double hi) {
    return v >= lo && v <= hi && v == std::floor(v);
  };
  constexpr double kSide = kMaxTileGridSide;
  if (!whole(values[0], 1, kSide) || !whole(values[1], 1, kSide))
    return fail("width and height must be whole numbers in [1, 16384]");
  if (!whole(values[2], 0, static_cast<double>(kMaxLights)))
    return fail("max_lights must be a whole number in [0, " + std::to_string(kMaxLights) + "]");
  return DeferredParams{static_cast<std::uint32_t>(values[0]),
                        static_cast<std::uint32_t>(values[1]),
                        static_cast<std::uint32_t>(values[2])};
}

std::expected<void, std::string> checkBufferRelease(const BufferRecord* target) {
  if (target == nullptr) return fail("not a live buffer (unknown, foreign or already released)");
  return {};
}

std::expected<void, std::string> checkImageRelease(const ImageRecord* target, bool in_use) {
  if (target == nullptr) return fail("not a live image (unknown, foreign or already released)");
  if (in_use) return fail("image is still read by submitted work that has not finished");
  return {};
}

std::expected<CheckedGraph, std::string> checkGraph(const kova_rhi::FrameGraph& graph,
                                                    const ResourceView& resources,
                                                    const DeviceLimits& limits) {
  CheckedGraph checked;
  checked.passes.reserve(graph.passes.size());
  Checker checker(resources, limits);
  for (const kova_rhi::FramePass& pass : graph.passes) {
    CheckedPass& out = checked.passes.emplace_back(CheckedPass{pass.name, {}});
    checker.setFramePass(&pass);
    out.commands.reserve(pass.commands.size());
    for (std::size_t i = 0; i < pass.commands.size(); ++i) {
      const kova_rhi::GpuCommand& command = pass.commands[i];
      auto c = checker.check(command);
      if (!c) {
        return fail("pass '" + std::string(pass.name) + "', command " + std::to_string(i) + " (" +
                    std::string(tagName(kova_rhi::tagOf(command))) + "): " + c.error());
      }
      c->command = &command;
      out.commands.push_back(*c);
    }
    if (checker.inPass()) return fail("pass '" + std::string(pass.name) + "' ends inside begin_pass");
    checker.endPass();
  }
  checked.fills = checker.fills();
  return checked;
}

}  // namespace kova_device
