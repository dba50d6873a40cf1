#pragma once
// Attitudes read back out of located points: a square grid over the points,
// a least-squares plane in every cell that holds enough of them, and the
// counters that say why the other cells were set aside. Near-coincident
// points are merged first (spatial/coincidence_merge), since intersection
// kernels emit the same crossing more than once; each cell's plane is the
// smallest eigenvector of its scatter matrix (geometry/symmetric_eigen).
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/core_error.hpp"
#include "common/fresh_array.hpp"
#include "common/strided_view.hpp"
#include "geometry/vec3.hpp"

namespace velkor {

inline constexpr double kDefaultCoincidenceDistance = 0.1;
inline constexpr double kDefaultMaxCollinearity = 3.0;

struct BestFitParameters {
  double cell_size;
  double coincidence_distance = kDefaultCoincidenceDistance;
  double max_collinearity = kDefaultMaxCollinearity;
};

struct PlaneFit {
  double centre_x, centre_y;
  std::uint64_t row, col;
  double dip_direction, dip;  // degrees
  Vec3 centroid;
  std::array<double, 3> singular_values;  // s1 >= s2 >= s3
  std::uint64_t count;
};

struct BestFitStats {
  std::uint64_t input_points = 0;
  std::uint64_t distinct_points = 0;
  std::uint64_t non_empty_cells = 0;
  std::uint64_t cells_fitted = 0;
  std::uint64_t cells_too_few_points = 0;
  std::uint64_t cells_collinear = 0;
  std::uint64_t grid_rows = 0;
  std::uint64_t grid_columns = 0;
  double grid_x_min = 0.0;
  double grid_y_max = 0.0;
  double cell_size = 0.0;
};

struct BestFitResult {
  std::vector<PlaneFit> fits;  // sorted by (row, col)
  BestFitStats stats;
};

// -log10(s2 / s1), +inf when s2 <= s1 * 1e-6 (the points lie along a line).
double collinearity_of(const std::array<double, 3>& singular_values);
// s3 / sqrt(n): the RMS distance of the points from their plane.
double rms_distance_of(const PlaneFit& fit);

// The caller's (N, 3) points copied row by row into fresh storage; refused
// when the array does not have three columns.
CoreResult<FreshArray<Vec3>> copy_point_cloud(const StridedView2D<double>& points);

// Refused when the cell size or the merge distance is not positive and
// finite (checked before the empty-input test); no value for no points.
CoreResult<std::optional<BestFitResult>> best_fit_planes(std::span<const Vec3> points,
                                                         const BestFitParameters& parameters);

// The fits as aligned columns, one row per fit in the fits' order.
struct BestFitColumns {
  std::vector<double> cell_centres;     // (M, 2): x, y
  std::vector<double> attitudes;        // (M, 2): dip direction, dip in degrees
  std::vector<double> centroids;        // (M, 3)
  std::vector<double> singular_values;  // (M, 3)
  std::vector<std::int64_t> cells;      // (M, 2): row, column
  std::vector<std::int64_t> point_counts;
  std::vector<double> collinearity;  // collinearity_of
  std::vector<double> rms_distance;  // rms_distance_of
};
BestFitColumns best_fit_columns(std::span<const PlaneFit> fits);

}  // namespace velkor
