#pragma once
// A triangulated surface: vertices in map coordinates and elevation units,
// faces as three vertex indices each. A Mesh only exists once every index of
// every face has been checked against the vertex count, so the code that
// walks it never has to.
#include <array>
#include <cstdint>
#include <vector>

#include "common/core_error.hpp"
#include "common/strided_view.hpp"
#include "geometry/vec3.hpp"

namespace velkor {

struct Mesh {
  std::vector<Vec3> vertices;
  std::vector<std::array<std::uint64_t, 3>> faces;
};

// Copies the caller's (V, 3) vertices and (F, 3) faces. Refusals, in this
// order: a vertex array without exactly three columns, a face array without
// exactly three columns, the first negative index (rows, then columns), the
// first index not below the vertex count (same order).
CoreResult<Mesh> build_mesh(const StridedView2D<double>& vertices, const StridedView2D<std::int64_t>& faces);

}  // namespace velkor
