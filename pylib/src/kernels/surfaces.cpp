// The three surface functions. Each converts its arguments in
// parameter order, checks them, copies what the computation needs out of the
// caller's arrays while the interpreter lock still protects them, computes
// with the lock released on the calling thread, and builds the result once
// the lock is back.
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/fresh_array.hpp"
#include "frame/arguments.hpp"
#include "frame/errors.hpp"
#include "frame/gil.hpp"
#include "frame/registration.hpp"
#include "frame/results.hpp"
#include "geometry/mesh.hpp"
#include "raster/dem.hpp"
#include "raster/intersection.hpp"
#include "raster/mesh_intersection.hpp"
#include "structural/best_fit.hpp"

namespace velkor::py {
namespace {

GeoTransform geotransform_of(const std::vector<double>& values) {
  GeoTransform gt;
  for (std::size_t i = 0; i < gt.size(); ++i) gt[i] = values[i];
  return gt;
}

// The layout of the caller's NumPy array, refused here rather than copied:
// the remedy is a NumPy call.
void check_dem_layout(const StridedView2D<double>& dem) {
  if (!dem_layout_accepted(dem)) raise_value_error("DEM must be C-contiguous; pass numpy.ascontiguousarray(dem)");
}

std::int64_t rows_of(std::size_t count) { return static_cast<std::int64_t>(count); }

constexpr const char* kIntersectPlaneGridParameters[] = {"dem",          "geotransform",   "src_pt",
                                                         "dip_dir_degr", "dip_angle_degr", "nodata"};

constexpr const char kIntersectPlaneGridDoc[] =
    R"doc(intersect_plane_grid(dem, geotransform, src_pt, dip_dir_degr, dip_angle_degr, nodata=None)
--

Intersect an unbounded geological plane with a DEM.

The DEM is `dem`, a C-contiguous 2-D float64 array of elevations (row 0
first), placed in map coordinates by `geotransform`, the GDAL six-element
affine transform (x0, x step per column, x step per row, y0, y step per
column, y step per row); each elevation sits at the centre of its pixel. A
reversed, transposed or strided view is refused with a ValueError rather
than copied: pass numpy.ascontiguousarray(dem). Nodes whose value equals
`nodata` (None: no nodata value), NaN or infinite nodes are void, and every
cell that touches one is left out, so the trace stops there.

The plane passes through `src_pt`, a sequence (x, y, z) in the DEM's map
coordinates and elevation units, and is given by its dip direction and dip
angle in degrees. Marching squares runs over the signed height of every node
above the plane; a node exactly on the plane counts as above.

Returns (points, segments): `points` is a float64 (N, 3) array of (x, y, z)
vertices, one per crossed DEM edge, linearly interpolated along the edge;
`segments` is an int64 (M, 2) array, one row per marching-squares chord,
holding the indices into `points` of its two ends. Neighbouring cells share
their vertices, so chords chain into polylines without any tolerance
matching. Chords follow the cells in row-major order. When the plane misses
the terrain, or the DEM has fewer than two rows or columns, both arrays are
empty, with shapes (0, 3) and (0, 2).

The elevations are copied before the interpreter lock is released; the march
then runs without the lock on the calling thread.)doc";

PyRef intersect_plane_grid(const Arguments& args) {
  const StridedView2D<double> dem_view = args.to_array2d<double>(0);
  const std::vector<double> geotransform = args.to_fixed_vector(1, 6);
  const std::vector<double> source = args.to_fixed_vector(2, 3);
  const double dip_direction = args.to_double(3);
  const double dip = args.to_double(4);
  const std::optional<double> nodata = args.to_optional_double(5);
  check_dem_layout(dem_view);
  const AnchoredPlane plane = or_raise(anchored_plane(Vec3{source[0], source[1], source[2]}, dip_direction, dip));
  const DemRaster dem(dem_view, geotransform_of(geotransform), nodata);
  PlaneTrace trace = without_gil([&] { return intersect_plane_with_dem(dem, plane); });
  const std::int64_t points = rows_of(trace.point_count());
  const std::int64_t segments = rows_of(trace.segment_count());
  return tuple_of({array_of(std::move(trace.points), {points, 3}), array_of(std::move(trace.segments), {segments, 2})});
}

constexpr FunctionEntry kIntersectPlaneGrid{
    {"intersect_plane_grid", kIntersectPlaneGridParameters, 5}, kIntersectPlaneGridDoc, &intersect_plane_grid};

constexpr const char* kIntersectMeshGridParameters[] = {"dem", "geotransform", "vertices", "faces", "nodata"};

constexpr const char kIntersectMeshGridDoc[] =
    R"doc(intersect_mesh_grid(dem, geotransform, vertices, faces, nodata=None)
--

Intersect a triangulated surface with a DEM.

`dem`, `geotransform` and `nodata` are as for intersect_plane_grid: a
C-contiguous 2-D float64 DEM placed by the GDAL six-element transform at
pixel centres, nodes equal to `nodata` (None: none), NaN or infinite being
void. `vertices` is a (V, 3) float64 array of (x, y, z) coordinates in the
DEM's map and elevation units and `faces` an (F, 3) int64 array of indices
into it, the shape a VTK POLYDATA file gives (reading such files is left to
the caller). Negative or out-of-range face indices are refused with a
ValueError. Each DEM cell is split into two triangles along its diagonal,
and every mesh triangle is cut against them.

Returns (points, attitudes, mesh_triangles, stats): `points` float64 (N, 3),
the (x, y, z) crossings on the DEM surface; `attitudes` float64 (N, 2), the
(dip direction, dip angle) in degrees of the mesh triangle that produced
each point; `mesh_triangles` int64 (N,), the index in `faces` of that
triangle. Empty results keep their shapes (0, 3), (0, 2) and (0,). A
crossing that lies exactly on a mesh edge is reported once for each mesh
triangle that has it. `stats` is a dict of counters (Python ints):
mesh_triangles (examined; 0 when the DEM has no cell or no valid elevation),
degenerate_mesh_triangles, mesh_triangles_outside_grid, dem_triangle_pairs
(tested), coplanar_sides (DEM sides lying in a mesh triangle's plane) and
duplicate_crossings (DEM sides met again for the same mesh triangle). The
points feed best_fit_planes directly.

The DEM and the mesh are copied before the interpreter lock is released; the
intersection then runs without the lock on the calling thread.)doc";

PyRef intersect_mesh_grid(const Arguments& args) {
  const StridedView2D<double> dem_view = args.to_array2d<double>(0);
  const std::vector<double> geotransform = args.to_fixed_vector(1, 6);
  const StridedView2D<double> vertices = args.to_array2d<double>(2);
  const StridedView2D<std::int64_t> faces = args.to_array2d<std::int64_t>(3);
  const std::optional<double> nodata = args.to_optional_double(4);
  check_dem_layout(dem_view);
  const Mesh mesh = or_raise(build_mesh(vertices, faces));
  const DemRaster dem(dem_view, geotransform_of(geotransform), nodata);
  MeshIntersection found = without_gil([&] { return intersect_mesh_with_dem(dem, mesh); });
  const std::int64_t n = rows_of(found.crossing_count());
  const MeshIntersectionStats& s = found.stats;
  PyRef stats = DictBuilder()
                    .set("mesh_triangles", count_object(s.mesh_triangles))
                    .set("degenerate_mesh_triangles", count_object(s.degenerate_mesh_triangles))
                    .set("mesh_triangles_outside_grid", count_object(s.mesh_triangles_outside_grid))
                    .set("dem_triangle_pairs", count_object(s.dem_triangle_pairs))
                    .set("coplanar_sides", count_object(s.coplanar_sides))
                    .set("duplicate_crossings", count_object(s.duplicate_crossings))
                    .finish();
  return tuple_of({array_of(std::move(found.points), {n, 3}), array_of(std::move(found.attitudes), {n, 2}),
                   array_of(std::move(found.mesh_triangles), {n}), stats});
}

constexpr FunctionEntry kIntersectMeshGrid{
    {"intersect_mesh_grid", kIntersectMeshGridParameters, 4}, kIntersectMeshGridDoc, &intersect_mesh_grid};

constexpr const char* kBestFitPlanesParameters[] = {"points", "cell_size", "coincidence_distance", "max_collinearity"};

constexpr const char kBestFitPlanesDoc[] =
    R"doc(best_fit_planes(points, cell_size, coincidence_distance=0.1, max_collinearity=...)
--

Fit a geological plane in every cell of a regular grid over a set of located points.

`points` is an (N, 3) float64 array of (x, y, z) in map units (East, North,
Up); it need not be contiguous. A north-up grid of square cells of side
`cell_size` is laid from the top-left corner of the points' bounding box,
and a plane is fitted by least squares (eigenvectors of the scatter matrix)
to the points of each cell. `cell_size` sets both the grid and the scale
over which attitudes are averaged: too small and no cell holds three points,
too large and a fold is flattened into one plane.

Points closer than `coincidence_distance` (default 0.1) to a point already
kept are dropped first, in input order, because an intersection kernel emits
a point per crossing and a shared edge is crossed twice. `max_collinearity`
(default 3.0) is the threshold on -log10(s2/s1) above which a cell's points
are taken as lying along a line: every plane through that line fits equally
well, so its attitude would be arbitrary. `cell_size` and
`coincidence_distance` must be positive and finite.

Returns None when `points` has no rows, else (field, stats). `field` is a
dict of aligned arrays, one row per fitted cell in row-major (row, col)
order: cell_centres (M, 2), attitudes (M, 2) as (dip direction, dip angle)
in degrees, centroids (M, 3), singular_values (M, 3) as s1 >= s2 >= s3,
cells (M, 2) int64 (row, col), point_counts (M,) int64, collinearity (M,)
(+inf for points on a line) and rms_distance (M,) = s3 / sqrt(n). Arrays
keep their shapes when no cell is fitted. `stats` holds input_points,
distinct_points, non_empty_cells, cells_fitted, cells_too_few_points,
cells_collinear, grid_rows, grid_columns (ints) and grid_x_min, grid_y_max,
cell_size (floats); cells_collinear is the first counter to look at when a
field comes back thinner than expected.

The points are copied before the interpreter lock is released; the fit then
runs without the lock on the calling thread.)doc";

PyRef best_fit_planes(const Arguments& args) {
  const StridedView2D<double> view = args.to_array2d<double>(0);
  BestFitParameters parameters{args.to_double(1)};
  parameters.coincidence_distance = args.to_double(2, kDefaultCoincidenceDistance);
  parameters.max_collinearity = args.to_double(3, kDefaultMaxCollinearity);
  const FreshArray<Vec3> points = or_raise(copy_point_cloud(view));
  const std::optional<BestFitResult> result =
      or_raise(without_gil([&] { return velkor::best_fit_planes({points.data(), points.size()}, parameters); }));
  if (!result) return none_object();
  BestFitColumns c = best_fit_columns(result->fits);
  const std::int64_t rows = rows_of(result->fits.size());
  PyRef field = DictBuilder()
                    .set("cell_centres", array_of(std::move(c.cell_centres), {rows, 2}))
                    .set("attitudes", array_of(std::move(c.attitudes), {rows, 2}))
                    .set("centroids", array_of(std::move(c.centroids), {rows, 3}))
                    .set("singular_values", array_of(std::move(c.singular_values), {rows, 3}))
                    .set("cells", array_of(std::move(c.cells), {rows, 2}))
                    .set("point_counts", array_of(std::move(c.point_counts), {rows}))
                    .set("collinearity", array_of(std::move(c.collinearity), {rows}))
                    .set("rms_distance", array_of(std::move(c.rms_distance), {rows}))
                    .finish();
  const BestFitStats& s = result->stats;
  PyRef stats = DictBuilder()
                    .set("input_points", count_object(s.input_points))
                    .set("distinct_points", count_object(s.distinct_points))
                    .set("non_empty_cells", count_object(s.non_empty_cells))
                    .set("cells_fitted", count_object(s.cells_fitted))
                    .set("cells_too_few_points", count_object(s.cells_too_few_points))
                    .set("cells_collinear", count_object(s.cells_collinear))
                    .set("grid_rows", count_object(s.grid_rows))
                    .set("grid_columns", count_object(s.grid_columns))
                    .set("grid_x_min", float_object(s.grid_x_min))
                    .set("grid_y_max", float_object(s.grid_y_max))
                    .set("cell_size", float_object(s.cell_size))
                    .finish();
  return tuple_of({field, stats});
}

constexpr FunctionEntry kBestFitPlanes{
    {"best_fit_planes", kBestFitPlanesParameters, 2}, kBestFitPlanesDoc, &best_fit_planes};

}  // namespace

MethodTable surface_methods() { return method_table<kIntersectPlaneGrid, kIntersectMeshGrid, kBestFitPlanes>(); }

}  // namespace velkor::py
