#include "geometry/mesh.hpp"

#include <string>

#include "common/core_error.hpp"

namespace velkor {

CoreResult<Mesh> build_mesh(const StridedView2D<double>& vertices, const StridedView2D<std::int64_t>& faces) {
  if (vertices.cols != 3) return refuse("vertices must be an (N, 3) array");
  if (faces.cols != 3) return refuse("faces must be an (N, 3) array");
  // Negative indices are looked for over the whole array first: a face that
  // holds both a negative and an out-of-range index reports the negative one.
  for (std::int64_t f = 0; f < faces.rows; ++f) {
    for (std::int64_t k = 0; k < 3; ++k) {
      const std::int64_t index = faces(f, k);
      if (index < 0) return refuse("face index " + std::to_string(index) + " is negative");
    }
  }
  const auto vertex_count = static_cast<std::uint64_t>(vertices.rows);
  Mesh mesh;
  mesh.faces.resize(static_cast<std::size_t>(faces.rows));
  for (std::int64_t f = 0; f < faces.rows; ++f) {
    for (std::int64_t k = 0; k < 3; ++k) {
      const auto index = static_cast<std::uint64_t>(faces(f, k));
      if (index >= vertex_count) return std::unexpected(CoreError{VertexOutOfRange{index, vertex_count}});
      mesh.faces[f][k] = index;
    }
  }
  mesh.vertices.resize(static_cast<std::size_t>(vertices.rows));
  for (std::int64_t v = 0; v < vertices.rows; ++v) {
    mesh.vertices[v] = Vec3{vertices(v, 0), vertices(v, 1), vertices(v, 2)};
  }
  return mesh;
}

}  // namespace velkor
