#include "lattice_frame.hpp"

#include <cmath>
#include <initializer_list>
#include <memory>
#include <memory_resource>

#include "arena_commands.hpp"
#include "projective_pipeline.hpp"
#include "kova_vulkan_device.hpp"

namespace kova_demo {
namespace {

using kova_renderer::KovaCamera;

HomVec4 combine(double a, HomVec4 u, double b, HomVec4 v) noexcept {
  return {a * u.x + b * v.x, a * u.y + b * v.y, a * u.z + b * v.z, a * u.w + b * v.w};
}

HomVec4 negated(HomVec4 v) noexcept { return {-v.x, -v.y, -v.z, -v.w}; }

// v with its components along the given unit vectors removed, normalised.
HomVec4 orthogonalTo(HomVec4 v, std::initializer_list<HomVec4> basis) {
  for (HomVec4 b : basis) v = combine(1.0, v, -v.dot(b), b);
  return v.normalize();
}

double det4(HomVec4 a, HomVec4 b, HomVec4 c, HomVec4 d) {
  // Laplace expansion along the first row.
  const double m[4][4] = {
      {a.x, a.y, a.z, a.w}, {b.x, b.y, b.z, b.w}, {c.x, c.y, c.z, c.w}, {d.x, d.y, d.z, d.w}};
  double det = 0.0;
  for (int col = 0; col < 4; ++col) {
    double minor[3][3];
    for (int r = 1; r < 4; ++r)
      for (int c2 = 0, k = 0; c2 < 4; ++c2)
        if (c2 != col) minor[r - 1][k++] = m[r][c2];
    const double m3 = minor[0][0] * (minor[1][1] * minor[2][2] - minor[1][2] * minor[2][1]) -
                      minor[0][1] * (minor[1][0] * minor[2][2] - minor[1][2] * minor[2][0]) +
                      minor[0][2] * (minor[1][0] * minor[2][1] - minor[1][1] * minor[2][0]);
    det += (col % 2 == 0 ? 1.0 : -1.0) * m[0][col] * m3;
  }
  return det;
}

// The great circle of the flight and the fixed directions off its plane.
struct Flight {
  HomVec4 start, along, up, side;
};

constexpr double kOffset = 0.08;

Flight makeFlight() {
  // Through a lattice vertex towards one 36 degrees away (such circles keep
  // at least 0.23 rad from every cell centre, more than the solids reach),
  // shifted so that the eye keeps away from the vertices, where cells seen
  // ahead and cells seen behind (drawn at the same FS depth) would coincide.
  const Polytope p = make120Cell();
  const HomVec4 v0 = p.vertices[0];
  HomVec4 v1 = v0;
  for (HomVec4 v : p.vertices) {
    if (std::fabs(v.dot(v0) - std::cos(3.141592653589793 / 5.0)) < 1e-9) {
      v1 = v;
      break;
    }
  }
  const HomVec4 along0 = orthogonalTo(v1, {v0});
  HomVec4 off = orthogonalTo(HomVec4{0.31, -0.52, 0.67, 0.41}, {v0, along0});
  const HomVec4 start = combine(std::cos(kOffset), v0, std::sin(kOffset), off).normalize();
  const HomVec4 along = orthogonalTo(along0, {start});
  const HomVec4 up = orthogonalTo(off, {start, along});
  HomVec4 side = orthogonalTo(HomVec4{0.6, 0.2, -0.3, 0.7}, {start, along, up});
  if (det4(side, up, negated(along), start) < 0.0) side = negated(side);
  return Flight{start, along, up, side};
}

}  // namespace

KovaCamera flightStart() {
  static const Flight f = makeFlight();
  // The frame is orthonormal with det[right, up, -forward, position] = +1,
  // which the camera's moves keep exactly as given.
  KovaCamera c = KovaCamera::defaultCamera();
  c.position = f.start;
  c.forward = f.along;
  c.up = f.up;
  c.right = f.side;
  c.dirty = true;
  return c;
}

KovaCamera flightView(const KovaCamera& carrier, std::uint64_t frame) {
  // A slow look to the side and back, zero at every multiple of pi/2.
  const double arc = kFlightStep * static_cast<double>(frame);
  KovaCamera view = carrier;
  view.turn(0.35 * std::sin(2.0 * arc), 0.0, 0.0);
  return view;
}

KovaCamera latticeLens(KovaCamera pose, std::uint32_t width, std::uint32_t height) noexcept {
  pose.fov = kLatticeFov;
  pose.aspect = static_cast<double>(width) / height;
  pose.near_fs = 0.004;
  pose.far_fs = 1.5707963267948966;
  return pose;
}

LatticeScene makeLatticeScene() {
  LatticeScene s;
  s.cell = makeCellMesh(kCellScale);
  const Polytope e = makeElliptic120Cell();
  // A few hues, spread over the cells so that neighbours tend to differ.
  constexpr double kPalette[5][3] = {{0.95, 0.55, 0.30},
                                     {0.35, 0.70, 0.95},
                                     {0.90, 0.85, 0.45},
                                     {0.55, 0.90, 0.55},
                                     {0.85, 0.45, 0.80}};
  for (std::size_t k = 0; k < e.cell_centres.size(); ++k) {
    s.instances.push_back(leftMultiplication(e.cell_centres[k]));
    const auto& rgb = kPalette[(k * 7) % 5];
    s.colors.insert(s.colors.end(), {rgb[0], rgb[1], rgb[2]});
  }
  for (auto [a, b] : e.edges) {
    const HomVec4 pa = e.vertices[a], pb = e.vertices[b];
    s.edge_points.push_back(pa);
    s.edge_points.push_back(pa.dot(pb) < 0.0 ? negated(pb) : pb);
  }
  return s;
}

template <FrameDevice Device>
std::expected<LatticeGpu, std::string> createLatticeGpu(Device& device, const LatticeScene& scene) {
  using namespace kova_rhi;
  LatticeGpu g;
  auto mp = createFsDepthPipeline(device, PrimitiveTopology::triangle_list);
  auto ep = createFsDepthPipeline(device, PrimitiveTopology::geodesic_list);
  if (!mp || !ep) return std::unexpected(!mp ? mp.error() : ep.error());
  g.mesh_pipeline = *mp;
  g.edge_pipeline = *ep;

  const auto n_vertices = static_cast<std::uint32_t>(scene.cell.vertices.size());
  const auto n_indices = static_cast<std::uint32_t>(scene.cell.indices.size());
  const auto n_instances = static_cast<std::uint32_t>(scene.instances.size());
  const BufferDescriptor index_desc{.size = std::uint64_t{n_indices} * 4,
                                    .stride = 4,
                                    .type = BufferType::index,
                                    .format = Format::r32_uint};
  const BufferDescriptor color_desc{.size = scene.colors.size() * 8,
                                    .stride = 8,
                                    .type = BufferType::storage,
                                    .format = Format::undefined};
  for (auto [desc, slot] :
       {std::pair{BufferDescriptor::initKovaPositions(n_vertices), &g.vertices},
        std::pair{index_desc, &g.indices},
        std::pair{BufferDescriptor::initKovaTransforms(n_instances), &g.instances},
        std::pair{color_desc, &g.colors},
        std::pair{BufferDescriptor::initKovaTransforms(2), &g.camera},
        std::pair{BufferDescriptor::initKovaPositions(
                      static_cast<std::uint32_t>(scene.edge_points.size())),
                  &g.edges}}) {
    auto id = device.createBuffer(desc);
    if (!id) return std::unexpected(id.error());
    *slot = *id;
  }
  if (auto ok = device.writeIndices(g.indices, scene.cell.indices); !ok)
    return std::unexpected(ok.error());
  if (auto ok = device.writeValues(g.colors, scene.colors); !ok)
    return std::unexpected(ok.error());
  return g;
}

std::expected<void, std::string> recordLatticeFrame(kova_rhi::FrameGraph& graph,
                                                    std::pmr::memory_resource& arena,
                                                    const LatticeGpu& gpu,
                                                    const LatticeScene& scene, ImageId color,
                                                    ImageId depth,
                                                    std::span<const PGL4> instances,
                                                    std::span<const PGL4> camera_block,
                                                    std::size_t color_values) {
  using namespace kova_rhi;
  const std::span<const ImageId> targets = arenaTargets(arena, color, depth);
  const BeginPassCommand begin{targets.first(1), depth};
  const auto n_indices = static_cast<std::uint32_t>(scene.cell.indices.size());
  const auto n_instances = static_cast<std::uint32_t>(instances.size());
  const auto fog = kLatticeFogColor;
  const ArenaCommands clear_cmds(
      arena, {begin, ClearCommand{color, fog[0], fog[1], fog[2], 1.0f, 1.0f}, EndPassCommand{}});
  const ArenaCommands solid_cmds =
      n_instances == 0
          ? ArenaCommands(arena,
                          {begin, KovaUploadPgl4Command{gpu.camera, camera_block}, EndPassCommand{}})
          : ArenaCommands(arena, {begin, gpu.mesh_pipeline,
                                  KovaUploadPositionsCommand{gpu.vertices, scene.cell.vertices},
                                  KovaUploadPgl4Command{gpu.instances, instances},
                                  KovaUploadPgl4Command{gpu.camera, camera_block},
                                  BindUniformCommand{gpu.camera, 0, 2 * sizeof(PGL4), 0},
                                  BindUniformCommand{gpu.colors, 0, color_values * 8, 1},
                                  DrawCommand{.pipeline = gpu.mesh_pipeline,
                                              .vertex_buffer = BufferId::invalid(),
                                              .index_buffer = gpu.indices,
                                              .kova_transform_buffer = gpu.instances,
                                              .kova_position_buffer = gpu.vertices,
                                              .index_count = n_indices,
                                              .instance_count = n_instances},
                                  EndPassCommand{}});
  const FramePass passes[] = {
      {"clear", {}, targets, clear_cmds.commands(), PassType::clear},
      {"solids", {}, targets, solid_cmds.commands(), PassType::geometry},
  };
  for (const FramePass& pass : passes) {
    if (!graph.addPass(pass))
      return std::unexpected(std::string("out of memory while recording the frame graph"));
  }
  return recordLatticeEdges(graph, arena, gpu, scene, color, depth);
}

std::expected<void, std::string> recordLatticeEdges(kova_rhi::FrameGraph& graph,
                                                    std::pmr::memory_resource& arena,
                                                    const LatticeGpu& gpu,
                                                    const LatticeScene& scene, ImageId color,
                                                    ImageId depth) {
  using namespace kova_rhi;
  const std::span<const ImageId> targets = arenaTargets(arena, color, depth);
  const auto n_edges = static_cast<std::uint32_t>(scene.edge_points.size());
  const ArenaCommands edge_cmds(
      arena, {BeginPassCommand{targets.first(1), depth}, gpu.edge_pipeline,
              BindUniformCommand{gpu.camera, 0, 2 * sizeof(PGL4), 0},
              KovaUploadPositionsCommand{gpu.edges, scene.edge_points},
              KovaRenderGeodesicsCommand{gpu.edges, n_edges, 1.0f, 0.86f, 0.6f}, EndPassCommand{}});
  if (!graph.addPass({"edges", {}, targets, edge_cmds.commands(), PassType::kova_geodesic}))
    return std::unexpected(std::string("out of memory while recording the frame graph"));
  return {};
}

template std::expected<LatticeGpu, std::string> createLatticeGpu(CpuDevice&, const LatticeScene&);
template std::expected<LatticeGpu, std::string> createLatticeGpu(VulkanDevice&,
                                                                 const LatticeScene&);

}  // namespace kova_demo
