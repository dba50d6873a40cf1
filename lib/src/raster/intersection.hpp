#pragma once
// Where an unbounded plane cuts the topography: marching squares over the
// DEM's cells on the signed height of every node above the plane. Chords of
// neighbouring cells share their vertices (one vertex per crossed DEM edge),
// so the chords chain into polylines without any tolerance matching.
#include <cstdint>
#include <vector>

#include "common/core_error.hpp"
#include "geometry/vec3.hpp"
#include "raster/dem.hpp"

namespace velkor {

// A plane through one located point, with its unit normal.
struct AnchoredPlane {
  Vec3 point;
  Vec3 normal;
};

// Built from a dip direction and dip in degrees (the upward normal for dips
// in [0, 90]); refused when the normal has no direction. Non-finite angles
// give a NaN normal, which is a plane that meets nothing.
CoreResult<AnchoredPlane> anchored_plane(Vec3 point, double dip_direction_degrees, double dip_degrees);

// An edge of the DEM named by its two nodes, first node then second, in the
// orientation both cells that share the edge agree on.
struct EdgeKey {
  std::uint64_t first_row;
  std::uint64_t first_col;
  std::uint64_t second_row;
  std::uint64_t second_col;
  bool operator==(const EdgeKey&) const = default;
};

struct PlaneTrace {
  std::vector<double> points;          // (x, y, z) per vertex, in order of creation
  std::vector<std::int64_t> segments;  // (vertex on first edge, vertex on second edge) per chord
  std::size_t point_count() const { return points.size() / 3; }
  std::size_t segment_count() const { return segments.size() / 2; }
};

// The march over every cell in row-major order. Void nodes make their cells
// emit nothing; a raster without cells gives an empty trace.
PlaneTrace intersect_plane_with_dem(const DemRaster& dem, const AnchoredPlane& plane);

}  // namespace velkor
