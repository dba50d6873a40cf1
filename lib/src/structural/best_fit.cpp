#include "structural/best_fit.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "common/fresh_array.hpp"
#include "common/internal_failure.hpp"
#include "common/open_hash_map.hpp"
#include "common/saturating.hpp"
#include "geometry/geol_axis.hpp"
#include "geometry/symmetric_eigen.hpp"
#include "parallel/stop_check.hpp"
#include "spatial/coincidence_merge.hpp"

namespace velkor {
namespace {

bool positive_finite(double v) { return v > 0.0 && std::isfinite(v); }

struct CellKey {
  std::uint64_t row, col;
  bool operator==(const CellKey&) const = default;
};
struct CellKeyHash {
  std::size_t operator()(const CellKey& k) const {
    return static_cast<std::size_t>(mix_bits(k.row * 0x9E3779B97F4A7C15ULL ^ mix_bits(k.col + 1)));
  }
};

struct Accumulated {
  std::uint64_t too_few = 0;
  std::uint64_t collinear = 0;
};

// Running sums of one cell, accumulated over its points in the order they
// were added: first the coordinates (for the centroid), then, in a second
// pass, the scatter about that centroid (a sum, not divided by n).
struct CellSums {
  std::size_t count = 0;
  double sx = 0.0, sy = 0.0, sz = 0.0;
  Vec3 centroid;
  double s00 = 0.0, s01 = 0.0, s02 = 0.0, s11 = 0.0, s12 = 0.0, s22 = 0.0;
};

void fit_cell(const CellSums& sums, CellKey cell, const BestFitStats& grid, double max_collinearity,
              std::vector<PlaneFit>& fits, Accumulated& counters) {
  if (sums.count < 3) {
    ++counters.too_few;
    return;
  }
  const SymmetricEigen eigen =
      jacobi_eigen({{{sums.s00, sums.s01, sums.s02}, {sums.s01, sums.s11, sums.s12}, {sums.s02, sums.s12, sums.s22}}});
  std::array<double, 3> singular;
  for (int k = 0; k < 3; ++k) singular[k] = eigen.values[k] > 0.0 ? std::sqrt(eigen.values[k]) : 0.0;
  if (singular[0] == 0.0) {
    ++counters.too_few;
    return;
  }
  const Vec3 smallest{eigen.vectors[0][2], eigen.vectors[1][2], eigen.vectors[2][2]};
  const double length = norm(smallest);
  if (length < kZeroLength) {
    ++counters.too_few;
    return;
  }
  Vec3 normal = smallest / length;
  if (normal.u < 0.0) normal = -normal;
  if (!(max_collinearity >= collinearity_of(singular))) {
    ++counters.collinear;
    return;
  }
  PlaneFit fit;
  fit.row = cell.row;
  fit.col = cell.col;
  fit.centre_x = grid.grid_x_min + (static_cast<double>(cell.col) + 0.5) * grid.cell_size;
  fit.centre_y = grid.grid_y_max - (static_cast<double>(cell.row) + 0.5) * grid.cell_size;
  fit.dip = std::acos(std::clamp(normal.u, -1.0, 1.0)) * kRadiansToDegrees;
  fit.dip_direction = std::atan2(normal.e, normal.n) * kRadiansToDegrees;
  if (fit.dip_direction < 0.0) fit.dip_direction += 360.0;
  fit.centroid = sums.centroid;
  fit.singular_values = singular;
  fit.count = sums.count;
  fits.push_back(fit);
}

// Cell numbers in order of first appearance. A hash map keeps memory in
// proportion to the occupied cells; when the whole grid has no more cells
// than there are points, a direct table costs no more memory and saves the
// hashing.
class CellNumbering {
 public:
  CellNumbering(std::uint64_t grid_rows, std::uint64_t grid_columns, std::size_t points)
      : rows_(grid_rows), columns_(grid_columns), sparse_(1024) {
    std::uint64_t total = 0;
    if (!__builtin_mul_overflow(grid_rows, grid_columns, &total) && total <= points) {
      dense_.assign(static_cast<std::size_t>(total), kUnnumbered);
      use_dense_ = true;
    }
  }
  __attribute__((always_inline)) std::size_t number(CellKey key) {
    if (use_dense_) {
      // Subtraction and division are monotone, so no point bins beyond the
      // grid that the same expressions sized.
      if (key.row >= rows_ || key.col >= columns_) fail_invariant("a point binned outside its own grid");
      std::size_t& slot = dense_[static_cast<std::size_t>(key.row * columns_ + key.col)];
      if (slot == kUnnumbered) {
        slot = cells_.size();
        cells_.push_back(key);
      }
      return slot;
    }
    const auto [id, inserted] = sparse_.try_emplace(key, cells_.size());
    if (inserted) cells_.push_back(key);
    return *id;
  }
  const std::vector<CellKey>& cells() const { return cells_; }

 private:
  static constexpr std::size_t kUnnumbered = static_cast<std::size_t>(-1);
  std::uint64_t rows_;
  std::uint64_t columns_;
  bool use_dense_ = false;
  std::vector<std::size_t> dense_;
  OpenHashMap<CellKey, std::size_t, CellKeyHash> sparse_;
  std::vector<CellKey> cells_;
};

}  // namespace

double collinearity_of(const std::array<double, 3>& s) {
  if (s[1] <= s[0] * 1e-6) return INFINITY;
  return -std::log10(s[1] / s[0]);
}

double rms_distance_of(const PlaneFit& fit) {
  return fit.singular_values[2] / std::sqrt(static_cast<double>(fit.count));
}

CoreResult<FreshArray<Vec3>> copy_point_cloud(const StridedView2D<double>& view) {
  static_assert(sizeof(Vec3) == 3 * sizeof(double), "points are copied row by row as Vec3");
  if (view.cols != 3) return refuse("points must be an (N, 3) array");
  FreshArray<Vec3> points(static_cast<std::size_t>(view.rows));
  for (std::int64_t i = 0; i < view.rows; ++i) {
    if ((i & 4095) == 0) poll_stop();  // first touches of fresh pages can be slow
    points[i] = Vec3{view(i, 0), view(i, 1), view(i, 2)};
  }
  return points;
}

BestFitColumns best_fit_columns(std::span<const PlaneFit> fits) {
  const std::size_t m = fits.size();
  BestFitColumns c;
  c.cell_centres.reserve(2 * m);
  c.attitudes.reserve(2 * m);
  c.centroids.reserve(3 * m);
  c.singular_values.reserve(3 * m);
  c.cells.reserve(2 * m);
  c.point_counts.reserve(m);
  c.collinearity.reserve(m);
  c.rms_distance.reserve(m);
  for (const PlaneFit& fit : fits) {
    c.cell_centres.insert(c.cell_centres.end(), {fit.centre_x, fit.centre_y});
    c.attitudes.insert(c.attitudes.end(), {fit.dip_direction, fit.dip});
    c.centroids.insert(c.centroids.end(), {fit.centroid.e, fit.centroid.n, fit.centroid.u});
    c.singular_values.insert(c.singular_values.end(), fit.singular_values.begin(), fit.singular_values.end());
    c.cells.insert(c.cells.end(), {static_cast<std::int64_t>(fit.row), static_cast<std::int64_t>(fit.col)});
    c.point_counts.push_back(static_cast<std::int64_t>(fit.count));
    c.collinearity.push_back(collinearity_of(fit.singular_values));
    c.rms_distance.push_back(rms_distance_of(fit));
  }
  return c;
}

CoreResult<std::optional<BestFitResult>> best_fit_planes(std::span<const Vec3> points,
                                                         const BestFitParameters& parameters) {
  if (!positive_finite(parameters.cell_size) || !positive_finite(parameters.coincidence_distance)) {
    return refuse("cell_size and coincidence_distance must be positive finite numbers");
  }
  if (points.empty()) return std::optional<BestFitResult>{};

  BestFitResult result;
  BestFitStats& stats = result.stats;
  stats.input_points = points.size();
  stats.cell_size = parameters.cell_size;
  const DistinctPoints distinct = merge_coincident(points, parameters.coincidence_distance);
  stats.distinct_points = distinct.count;
  const auto [x_min, x_max, y_min, y_max] = distinct.extent;
  const double cell_size = parameters.cell_size;
  stats.grid_x_min = x_min;
  stats.grid_y_max = y_max;
  stats.grid_columns = saturating_increment(saturating_floor_u64((x_max - x_min) / cell_size));
  stats.grid_rows = saturating_increment(saturating_floor_u64((y_max - y_min) / cell_size));
  const auto cell_key = [&](const Vec3& p) {
    return CellKey{saturating_floor_u64((y_max - p.n) / cell_size), saturating_floor_u64((p.e - x_min) / cell_size)};
  };

  // Binning: cells are numbered as they are first met; each cell's sums run
  // over its points in input order. The second pass finds each point's cell
  // again rather than keep a cell number per point: two divisions cost less
  // than filling fresh memory with them.
  CellNumbering numbering(stats.grid_rows, stats.grid_columns, distinct.count);
  std::vector<CellSums> sums;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if ((i & 4095) == 0) poll_stop();
    if (!distinct.kept[i]) continue;
    const Vec3& p = points[i];
    const std::size_t id = numbering.number(cell_key(p));
    if (id == sums.size()) sums.emplace_back();
    CellSums& cell = sums[id];
    ++cell.count;
    cell.sx += p.e;
    cell.sy += p.n;
    cell.sz += p.u;
  }
  stats.non_empty_cells = sums.size();
  for (CellSums& cell : sums) {
    const double n = static_cast<double>(cell.count);
    cell.centroid = Vec3{cell.sx / n, cell.sy / n, cell.sz / n};
  }
  for (std::size_t i = 0; i < points.size(); ++i) {
    if ((i & 4095) == 0) poll_stop();
    if (!distinct.kept[i]) continue;
    const Vec3& p = points[i];
    CellSums& cell = sums[numbering.number(cell_key(p))];
    const double dx = p.e - cell.centroid.e;
    const double dy = p.n - cell.centroid.n;
    const double dz = p.u - cell.centroid.u;
    cell.s00 += dx * dx;
    cell.s01 += dx * dy;
    cell.s02 += dx * dz;
    cell.s11 += dy * dy;
    cell.s12 += dy * dz;
    cell.s22 += dz * dz;
  }

  Accumulated counters;
  for (std::size_t k = 0; k < sums.size(); ++k) {
    if ((k & 4095) == 0) poll_stop();
    fit_cell(sums[k], numbering.cells()[k], stats, parameters.max_collinearity, result.fits, counters);
  }
  stats.cells_too_few_points = counters.too_few;
  stats.cells_collinear = counters.collinear;
  stats.cells_fitted = result.fits.size();
  std::sort(result.fits.begin(), result.fits.end(),
            [](const PlaneFit& a, const PlaneFit& b) { return a.row != b.row ? a.row < b.row : a.col < b.col; });
  return std::optional<BestFitResult>{std::move(result)};
}

}  // namespace velkor
