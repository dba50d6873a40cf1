#include "structural/best_fit.hpp"

#include <algorithm>
#include <cmath>

#include "common/open_hash_map.hpp"
#include "common/saturating.hpp"
#include "structural/geol_axis.hpp"

namespace velkor {
namespace {

constexpr double kMachineEpsilon = 2.220446049250313e-16;
constexpr int kMaxRotations = 50;
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

bool positive_finite(double v) { return v > 0.0 && std::isfinite(v); }

struct Key3 {
  std::int64_t x, y, z;
  bool operator==(const Key3&) const = default;
};
struct Key3Hash {
  std::size_t operator()(const Key3& k) const {
    std::uint64_t h = mix_bits(static_cast<std::uint64_t>(k.x) * 0x9E3779B97F4A7C15ULL);
    h = mix_bits(h ^ (static_cast<std::uint64_t>(k.y) + 0xC2B2AE3D27D4EB4FULL));
    return static_cast<std::size_t>(mix_bits(h ^ (static_cast<std::uint64_t>(k.z) + 0x165667B19E3779F9ULL)));
  }
};

struct CellKey {
  std::uint64_t row, col;
  bool operator==(const CellKey&) const = default;
};
struct CellKeyHash {
  std::size_t operator()(const CellKey& k) const {
    return static_cast<std::size_t>(mix_bits(k.row * 0x9E3779B97F4A7C15ULL ^ mix_bits(k.col + 1)));
  }
};

// |a - b| <= 1 without overflow.
bool adjacent(std::int64_t a, std::int64_t b) {
  return a >= b ? static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b) <= 1
                : static_cast<std::uint64_t>(b) - static_cast<std::uint64_t>(a) <= 1;
}

// Greedy merge in input order: a point is dropped when a point already kept
// lies strictly closer than the merge distance in one of the 27 voxels
// around its own (voxel side = merge distance). To look at fewer hash slots,
// kept points are filed by blocks of 4 x 4 x 4 voxels; the voxels around a
// point span one or two blocks per axis, and the points of those blocks are
// filtered back to the 27 voxels before the distance test, so the set of
// points compared is exactly that of the 27 voxels.
std::vector<Vec3> merge_coincident(const std::vector<Vec3>& points, double distance) {
  std::vector<Vec3> distinct;
  std::vector<Key3> voxel_of;       // per distinct point
  std::vector<std::size_t> next;  // per distinct point: the next one in its block
  OpenHashMap<Key3, std::size_t, Key3Hash> blocks(points.size() / 4 + 16);
  const double limit = distance * distance;
  for (const Vec3& p : points) {
    const Key3 voxel{saturating_floor_i64(p.e / distance), saturating_floor_i64(p.n / distance),
                     saturating_floor_i64(p.u / distance)};
    const Key3 lo{saturating_add(voxel.x, -1) >> 2, saturating_add(voxel.y, -1) >> 2, saturating_add(voxel.z, -1) >> 2};
    const Key3 hi{saturating_add(voxel.x, 1) >> 2, saturating_add(voxel.y, 1) >> 2, saturating_add(voxel.z, 1) >> 2};
    bool close = false;
    for (std::int64_t bx = lo.x; bx <= hi.x && !close; ++bx) {
      for (std::int64_t by = lo.y; by <= hi.y && !close; ++by) {
        for (std::int64_t bz = lo.z; bz <= hi.z && !close; ++bz) {
          const std::size_t* head = blocks.find(Key3{bx, by, bz});
          if (!head) continue;
          for (std::size_t j = *head; j != kNone; j = next[j]) {
            const Key3& other = voxel_of[j];
            if (!adjacent(other.x, voxel.x) || !adjacent(other.y, voxel.y) || !adjacent(other.z, voxel.z)) continue;
            const double dx = p.e - distinct[j].e;
            const double dy = p.n - distinct[j].n;
            const double dz = p.u - distinct[j].u;
            if (limit > dx * dx + dy * dy + dz * dz) {
              close = true;
              break;
            }
          }
        }
      }
    }
    if (close) continue;
    const std::size_t index = distinct.size();
    const Key3 block{voxel.x >> 2, voxel.y >> 2, voxel.z >> 2};
    const auto [head, inserted] = blocks.try_emplace(block, index);
    next.push_back(inserted ? kNone : *head);
    *head = index;
    distinct.push_back(p);
    voxel_of.push_back(voxel);
  }
  return distinct;
}

struct Accumulated {
  std::uint64_t too_few = 0;
  std::uint64_t collinear = 0;
};

// One cell: its points in the order they were added.
void fit_cell(const Vec3* begin, std::size_t count, CellKey cell, const BestFitStats& grid, double max_collinearity,
              std::vector<PlaneFit>& fits, Accumulated& counters) {
  if (count < 3) {
    ++counters.too_few;
    return;
  }
  const double n = static_cast<double>(count);
  double sx = 0.0, sy = 0.0, sz = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    sx += begin[i].e;
    sy += begin[i].n;
    sz += begin[i].u;
  }
  const Vec3 g{sx / n, sy / n, sz / n};
  double s00 = 0.0, s01 = 0.0, s02 = 0.0, s11 = 0.0, s12 = 0.0, s22 = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    const double dx = begin[i].e - g.e;
    const double dy = begin[i].n - g.n;
    const double dz = begin[i].u - g.u;
    s00 += dx * dx;
    s01 += dx * dy;
    s02 += dx * dz;
    s11 += dy * dy;
    s12 += dy * dz;
    s22 += dz * dz;
  }
  const SymmetricEigen eigen = jacobi_eigen({{{s00, s01, s02}, {s01, s11, s12}, {s02, s12, s22}}});
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
  fit.centroid = g;
  fit.singular_values = singular;
  fit.count = count;
  fits.push_back(fit);
}

}  // namespace

double collinearity_of(const std::array<double, 3>& s) {
  if (s[1] <= s[0] * 1e-6) return INFINITY;
  return -std::log10(s[1] / s[0]);
}

double rms_distance_of(const PlaneFit& fit) {
  return fit.singular_values[2] / std::sqrt(static_cast<double>(fit.count));
}

SymmetricEigen jacobi_eigen(std::array<std::array<double, 3>, 3> a) {
  std::array<std::array<double, 3>, 3> e{{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}};
  static constexpr std::array<std::array<int, 3>, 3> kPairs{{{0, 1, 2}, {0, 2, 1}, {1, 2, 0}}};  // p, q, other
  for (int rotation = 0; rotation < kMaxRotations; ++rotation) {
    int pick = 0;
    double largest = std::fabs(a[0][1]);
    for (int k = 1; k < 3; ++k) {
      const double magnitude = std::fabs(a[kPairs[k][0]][kPairs[k][1]]);
      if (magnitude > largest) {
        largest = magnitude;
        pick = k;
      }
    }
    const double scale = std::fabs(a[0][0]) + std::fabs(a[1][1]) + std::fabs(a[2][2]);
    if (largest == 0.0 || largest <= kMachineEpsilon * scale) break;
    const int p = kPairs[pick][0], q = kPairs[pick][1], k = kPairs[pick][2];
    const double app = a[p][p], aqq = a[q][q], apq = a[p][q];
    const double theta = (aqq - app) / (2.0 * apq);
    const double sign = std::signbit(theta) ? -1.0 : 1.0;
    const double t = sign / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
    const double c = 1.0 / std::sqrt(t * t + 1.0);
    const double s = t * c;
    a[p][p] = c * c * app - 2.0 * s * c * apq + s * s * aqq;
    a[q][q] = s * s * app + 2.0 * s * c * apq + c * c * aqq;
    a[p][q] = a[q][p] = 0.0;
    const double akp = a[k][p], akq = a[k][q];
    a[k][p] = a[p][k] = c * akp - s * akq;
    a[k][q] = a[q][k] = s * akp + c * akq;
    for (int i = 0; i < 3; ++i) {
      const double eip = e[i][p], eiq = e[i][q];
      e[i][p] = c * eip - s * eiq;
      e[i][q] = s * eip + c * eiq;
    }
  }
  SymmetricEigen out;
  out.values = {a[0][0], a[1][1], a[2][2]};
  out.vectors = e;
  const auto swap_columns = [&out](int i, int j) {
    std::swap(out.values[i], out.values[j]);
    for (int r = 0; r < 3; ++r) std::swap(out.vectors[r][i], out.vectors[r][j]);
  };
  int largest = 0;
  if (out.values[1] > out.values[largest]) largest = 1;
  if (out.values[2] > out.values[largest]) largest = 2;
  if (largest != 0) swap_columns(0, largest);
  if (out.values[1] < out.values[2]) swap_columns(1, 2);
  return out;
}

std::expected<std::optional<BestFitResult>, std::string> best_fit_planes(const std::vector<Vec3>& points,
                                                                         const BestFitParameters& parameters) {
  if (!positive_finite(parameters.cell_size) || !positive_finite(parameters.coincidence_distance)) {
    return std::unexpected(std::string(kBestFitParameterMessage));
  }
  if (points.empty()) return std::optional<BestFitResult>{};

  BestFitResult result;
  BestFitStats& stats = result.stats;
  stats.input_points = points.size();
  stats.cell_size = parameters.cell_size;
  const std::vector<Vec3> distinct = merge_coincident(points, parameters.coincidence_distance);
  stats.distinct_points = distinct.size();

  // fmin / fmax ignore a NaN coordinate wherever another value exists.
  double x_min = NAN, x_max = NAN, y_min = NAN, y_max = NAN;
  for (const Vec3& p : distinct) {
    x_min = std::fmin(x_min, p.e);
    x_max = std::fmax(x_max, p.e);
    y_min = std::fmin(y_min, p.n);
    y_max = std::fmax(y_max, p.n);
  }
  const double cell_size = parameters.cell_size;
  stats.grid_x_min = x_min;
  stats.grid_y_max = y_max;
  stats.grid_columns = saturating_increment(saturating_floor_u64((x_max - x_min) / cell_size));
  stats.grid_rows = saturating_increment(saturating_floor_u64((y_max - y_min) / cell_size));

  // Sparse binning: cells are numbered as they are first met, then the points
  // are gathered cell by cell, keeping their order within each cell.
  OpenHashMap<CellKey, std::size_t, CellKeyHash> cell_ids(1024);
  std::vector<CellKey> cells;
  std::vector<std::size_t> cell_of(distinct.size());
  for (std::size_t i = 0; i < distinct.size(); ++i) {
    const CellKey key{saturating_floor_u64((y_max - distinct[i].n) / cell_size),
                      saturating_floor_u64((distinct[i].e - x_min) / cell_size)};
    const auto [id, inserted] = cell_ids.try_emplace(key, cells.size());
    if (inserted) cells.push_back(key);
    cell_of[i] = *id;
  }
  stats.non_empty_cells = cells.size();
  std::vector<std::size_t> start(cells.size() + 1, 0);
  for (const std::size_t id : cell_of) ++start[id + 1];
  for (std::size_t k = 0; k < cells.size(); ++k) start[k + 1] += start[k];
  std::vector<Vec3> gathered(distinct.size());
  {
    std::vector<std::size_t> fill(start.begin(), start.end() - 1);
    for (std::size_t i = 0; i < distinct.size(); ++i) gathered[fill[cell_of[i]]++] = distinct[i];
  }

  Accumulated counters;
  for (std::size_t k = 0; k < cells.size(); ++k) {
    fit_cell(gathered.data() + start[k], start[k + 1] - start[k], cells[k], stats, parameters.max_collinearity,
             result.fits, counters);
  }
  stats.cells_too_few_points = counters.too_few;
  stats.cells_collinear = counters.collinear;
  stats.cells_fitted = result.fits.size();
  std::sort(result.fits.begin(), result.fits.end(), [](const PlaneFit& a, const PlaneFit& b) {
    return a.row != b.row ? a.row < b.row : a.col < b.col;
  });
  return std::optional<BestFitResult>{std::move(result)};
}

}  // namespace velkor
