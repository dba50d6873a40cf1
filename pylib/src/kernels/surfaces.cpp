// Wrappers of the three surface functions. Each converts its arguments in
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
#include "frame/results.hpp"
#include "geometry/mesh.hpp"
#include "raster/dem.hpp"
#include "raster/intersection.hpp"
#include "raster/mesh_intersection.hpp"
#include "structural/best_fit.hpp"
#include "wrappers.hpp"

static_assert(sizeof(velkor::Vec3) == 3 * sizeof(double), "points are copied row by row as Vec3");

namespace velkor::py {
namespace {

GeoTransform geotransform_of(const std::vector<double>& values) {
  GeoTransform gt;
  for (std::size_t i = 0; i < gt.size(); ++i) gt[i] = values[i];
  return gt;
}

void check_dem_layout(const StridedView2D<double>& dem) {
  if (!dem_layout_accepted(dem)) raise_value_error(kDemLayoutMessage);
}

std::int64_t rows_of(std::size_t count) { return static_cast<std::int64_t>(count); }

}  // namespace

PyRef intersect_plane_grid(const Arguments& args) {
  const StridedView2D<double> dem_view = args.to_array2d<double>(0);
  const std::vector<double> geotransform = args.to_fixed_vector(1, 6);
  const std::vector<double> source = args.to_fixed_vector(2, 3);
  const double dip_direction = args.to_double(3);
  const double dip = args.to_double(4);
  const std::optional<double> nodata = args.to_optional_double(5);
  check_dem_layout(dem_view);
  const std::optional<AnchoredPlane> plane = anchored_plane(Vec3{source[0], source[1], source[2]}, dip_direction, dip);
  if (!plane) raise_value_error(kDegeneratePlaneMessage);
  const DemRaster dem(dem_view, geotransform_of(geotransform), nodata);
  PlaneTrace trace = without_gil([&] { return intersect_plane_with_dem(dem, *plane); });
  const std::int64_t points = rows_of(trace.point_count());
  const std::int64_t segments = rows_of(trace.segment_count());
  return tuple_of({array_of(std::move(trace.points), {points, 3}), array_of(std::move(trace.segments), {segments, 2})});
}

PyRef intersect_mesh_grid(const Arguments& args) {
  const StridedView2D<double> dem_view = args.to_array2d<double>(0);
  const std::vector<double> geotransform = args.to_fixed_vector(1, 6);
  const StridedView2D<double> vertices = args.to_array2d<double>(2);
  const StridedView2D<std::int64_t> faces = args.to_array2d<std::int64_t>(3);
  const std::optional<double> nodata = args.to_optional_double(4);
  check_dem_layout(dem_view);
  auto mesh = build_mesh(vertices, faces);
  if (!mesh) raise_value_error(mesh.error());
  const DemRaster dem(dem_view, geotransform_of(geotransform), nodata);
  MeshIntersection found = without_gil([&] { return intersect_mesh_with_dem(dem, *mesh); });
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

PyRef best_fit_planes(const Arguments& args) {
  const StridedView2D<double> view = args.to_array2d<double>(0);
  BestFitParameters parameters{args.to_double(1)};
  parameters.coincidence_distance = args.to_double(2, kDefaultCoincidenceDistance);
  parameters.max_collinearity = args.to_double(3, kDefaultMaxCollinearity);
  if (view.cols != 3) raise_value_error("points must be an (N, 3) array");
  // The private copy, filled row by row into uninitialised storage.
  FreshArray<Vec3> points(static_cast<std::size_t>(view.rows));
  for (std::int64_t i = 0; i < view.rows; ++i) {
    if ((i & 4095) == 0) poll_stop();  // first touches of fresh pages can be slow
    points[i] = Vec3{view(i, 0), view(i, 1), view(i, 2)};
  }
  auto outcome = without_gil([&] { return velkor::best_fit_planes({points.data(), points.size()}, parameters); });
  if (!outcome) raise_value_error(outcome.error());
  if (!*outcome) return none_object();
  const BestFitResult& result = **outcome;
  const std::size_t m = result.fits.size();
  std::vector<double> centres, attitudes, centroids, singular, collinearity, rms;
  std::vector<std::int64_t> cells, counts;
  centres.reserve(2 * m);
  attitudes.reserve(2 * m);
  centroids.reserve(3 * m);
  singular.reserve(3 * m);
  cells.reserve(2 * m);
  counts.reserve(m);
  collinearity.reserve(m);
  rms.reserve(m);
  for (const PlaneFit& fit : result.fits) {
    centres.insert(centres.end(), {fit.centre_x, fit.centre_y});
    attitudes.insert(attitudes.end(), {fit.dip_direction, fit.dip});
    centroids.insert(centroids.end(), {fit.centroid.e, fit.centroid.n, fit.centroid.u});
    singular.insert(singular.end(), fit.singular_values.begin(), fit.singular_values.end());
    cells.insert(cells.end(), {static_cast<std::int64_t>(fit.row), static_cast<std::int64_t>(fit.col)});
    counts.push_back(static_cast<std::int64_t>(fit.count));
    collinearity.push_back(collinearity_of(fit.singular_values));
    rms.push_back(rms_distance_of(fit));
  }
  const std::int64_t rows = rows_of(m);
  PyRef field = DictBuilder()
                    .set("cell_centres", array_of(std::move(centres), {rows, 2}))
                    .set("attitudes", array_of(std::move(attitudes), {rows, 2}))
                    .set("centroids", array_of(std::move(centroids), {rows, 3}))
                    .set("singular_values", array_of(std::move(singular), {rows, 3}))
                    .set("cells", array_of(std::move(cells), {rows, 2}))
                    .set("point_counts", array_of(std::move(counts), {rows}))
                    .set("collinearity", array_of(std::move(collinearity), {rows}))
                    .set("rms_distance", array_of(std::move(rms), {rows}))
                    .finish();
  const BestFitStats& s = result.stats;
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

}  // namespace velkor::py
