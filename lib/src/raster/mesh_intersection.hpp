#pragma once
// Where a triangulated surface meets the topography. Every mesh triangle is
// cut against the DEM, itself split into two triangles per cell; each point
// found carries the attitude of the mesh triangle that produced it and that
// triangle's index, which makes the result a set of located attitude
// measurements.
#include <cstdint>
#include <vector>

#include "geometry/mesh.hpp"
#include "raster/dem.hpp"

namespace velkor {

struct MeshIntersectionStats {
  std::uint64_t mesh_triangles = 0;
  std::uint64_t degenerate_mesh_triangles = 0;
  std::uint64_t mesh_triangles_outside_grid = 0;
  std::uint64_t dem_triangle_pairs = 0;
  std::uint64_t coplanar_sides = 0;
  std::uint64_t duplicate_crossings = 0;
};

struct MeshIntersection {
  std::vector<double> points;                // (x, y, z) per crossing
  std::vector<double> attitudes;             // (dip direction, dip angle) in degrees per crossing
  std::vector<std::int64_t> mesh_triangles;  // producing face per crossing
  MeshIntersectionStats stats;
  std::size_t crossing_count() const { return mesh_triangles.size(); }
};

// Nothing here can fail: degenerate triangles, triangles off the grid, void
// nodes and missing crossings are counted or skipped.
MeshIntersection intersect_mesh_with_dem(const DemRaster& dem, const Mesh& mesh);

}  // namespace velkor
