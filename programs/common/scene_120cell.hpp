// The regular 120-cell on the unit 3-sphere, and its quotient in elliptic
// space, built from closed-form coordinates.
//
// On S^3 it has 600 vertices, 1200 edges and 120 dodecahedral cells. A point
// and its antipode are one point of elliptic space, and the 120-cell is
// centrally symmetric, so there it has 300 vertices, 600 edges and 60 cells
// that tile the whole space. The cell centres are the 120 unit quaternions of
// the binary icosahedral group (w is the real part, x, y, z the i, j, k
// parts); left multiplication by a centre is an isometry that keeps the
// 120-cell and takes the cell around (0, 0, 0, 1) to the cell around that
// centre, so one mesh placed by 60 transforms fills every cell.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "kova_kernel.hpp"

namespace kova_demo {

using kova_kernel::HomVec4;
using kova_kernel::PGL4;

// Angle subtended by an edge: cos = (1 + 3 sqrt 5) / 8, about 0.2709 rad.
[[nodiscard]] double cell120EdgeAngle() noexcept;
// Angle from a cell's centre to each of its 20 vertices: about 0.3881 rad.
[[nodiscard]] double cell120CircumAngle() noexcept;

struct Polytope {
  std::vector<HomVec4> vertices;                    // unit vectors
  std::vector<std::array<std::uint32_t, 2>> edges;  // vertex index pairs
  std::vector<HomVec4> cell_centres;                // unit vectors
};

// The 120-cell on S^3: 600 vertices, 1200 edges, 120 cell centres.
[[nodiscard]] Polytope make120Cell();

// The 120-cell in elliptic space: one representative of each antipodal pair
// of vertices and of cell centres (300 vertices, 600 edges, 60 cells). An
// edge's two end representatives may lie in opposite halves of S^3: join
// vertex a to the facing representative of vertex b (the shorter arc).
[[nodiscard]] Polytope makeElliptic120Cell();

// The isometry of S^3 that multiplies a point, read as a quaternion, on the
// left by the unit quaternion q.
[[nodiscard]] PGL4 leftMultiplication(HomVec4 q) noexcept;

// An indexed triangle mesh with HomVec4 vertices.
struct Mesh {
  std::vector<HomVec4> vertices;
  std::vector<std::uint32_t> indices;  // three per triangle
};

// The dodecahedral cell around (0, 0, 0, 1), shrunk towards its centre by
// `scale` in the gnomonic chart there (which keeps its faces flat): 20
// vertices, 12 pentagonal faces as 36 triangles.
[[nodiscard]] Mesh makeCellMesh(double scale);

}  // namespace kova_demo
