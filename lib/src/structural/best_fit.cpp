#include "structural/best_fit.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/fresh_array.hpp"
#include "common/internal_failure.hpp"
#include "common/open_hash_map.hpp"
#include "common/saturating.hpp"
#include "geometry/geol_axis.hpp"
#include "parallel/stop_check.hpp"

namespace velkor {
namespace {

constexpr double kMachineEpsilon = 2.220446049250313e-16;
constexpr int kMaxRotations = 50;

bool positive_finite(double v) { return v > 0.0 && std::isfinite(v); }

struct Key3 {
  std::int64_t x, y, z;
  bool operator==(const Key3&) const = default;
};
// One multiply per coordinate and a final mix: cheap, and spreads
// neighbouring integer keys over the whole table (a sum of multiples alone
// would line a regular lattice up in runs of slots).
std::uint64_t hash_of(const Key3& k) {
  std::uint64_t h = static_cast<std::uint64_t>(k.x) * 0x9E3779B97F4A7C15ULL ^
                    static_cast<std::uint64_t>(k.y) * 0xC2B2AE3D27D4EB4FULL ^
                    static_cast<std::uint64_t>(k.z) * 0x165667B19E3779F9ULL;
  h ^= h >> 32;
  h *= 0xD6E8FEB86659FD93ULL;
  h ^= h >> 32;
  return h;
}

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

// Kept points are filed by block of 8 x 8 x 8 voxels. The 27 voxels around
// a point's voxel lie in its own block and, on each axis where the voxel
// lies on a face of the block, in the block across that face.
constexpr int kBlockShift = 3;
constexpr std::int64_t kBlockLast = (std::int64_t{1} << kBlockShift) - 1;

__attribute__((always_inline)) inline Key3 voxel_of(const Vec3& p, double distance) {
  return Key3{saturating_floor_i64(p.e / distance), saturating_floor_i64(p.n / distance),
              saturating_floor_i64(p.u / distance)};
}

Key3 block_of(const Key3& voxel) {
  return Key3{voxel.x >> kBlockShift, voxel.y >> kBlockShift, voxel.z >> kBlockShift};
}

// -1 or +1 towards the block across the face the voxel lies on, else 0.
// Blocks lie within 2^60 of zero, so a step never overflows; past the ends
// of the voxel range it names a block that holds no point.
std::int64_t face_step(std::int64_t voxel) {
  const std::int64_t local = voxel & kBlockLast;
  return static_cast<std::int64_t>(local == kBlockLast) - static_cast<std::int64_t>(local == 0);
}

// The blocks to search for a point, its own first, and their hashes. With
// at most one face crossed (five scattered points in six), the list is the
// own block and the one across, or the own block twice, so that the common
// case takes no branch on which of the two it is.
struct Neighbourhood {
  Key3 voxel;
  int block_count;  // 2, 4 or 8
  std::array<Key3, 8> blocks;
  std::array<std::uint64_t, 8> hashes;
};

__attribute__((always_inline)) inline void neighbourhood_of(const Vec3& p, double distance, Neighbourhood& h) {
  h.voxel = voxel_of(p, distance);
  const Key3 own = block_of(h.voxel);
  const Key3 step{face_step(h.voxel.x), face_step(h.voxel.y), face_step(h.voxel.z)};
  const int crossed = (step.x != 0) + (step.y != 0) + (step.z != 0);
  h.blocks[0] = own;
  h.hashes[0] = hash_of(own);
  if (crossed <= 1) {
    h.blocks[1] = Key3{own.x + step.x, own.y + step.y, own.z + step.z};
    h.hashes[1] = hash_of(h.blocks[1]);
    h.block_count = 2;
    return;
  }
  const std::int64_t xs[2] = {own.x, own.x + step.x};
  const std::int64_t ys[2] = {own.y, own.y + step.y};
  const std::int64_t zs[2] = {own.z, own.z + step.z};
  int k = 0;
  for (int a = 0; a <= (step.x != 0); ++a) {
    for (int b = 0; b <= (step.y != 0); ++b) {
      for (int c = 0; c <= (step.z != 0); ++c) {
        h.blocks[k] = Key3{xs[a], ys[b], zs[c]};
        h.hashes[k] = hash_of(h.blocks[k]);
        ++k;
      }
    }
  }
  h.block_count = k;
}

// The East and North extent of the kept points. A NaN coordinate is ignored
// wherever another value exists. Each bound is taken with the compare-and-
// select that min and max instructions do (a NaN candidate never wins; of
// equal values, signed zeros included, the first stays), starting from the
// infinities; a bound still infinite the wrong way round at the end saw no
// number at all and is NaN.
struct PlanExtent {
  double x_min = INFINITY, x_max = -INFINITY, y_min = INFINITY, y_max = -INFINITY;
  void add(const Vec3& p) {
    x_min = p.e < x_min ? p.e : x_min;
    x_max = p.e > x_max ? p.e : x_max;
    y_min = p.n < y_min ? p.n : y_min;
    y_max = p.n > y_max ? p.n : y_max;
  }
  // NaN for a coordinate that no point had a number in.
  void finish() {
    if (x_min > x_max) x_min = x_max = NAN;
    if (y_min > y_max) y_min = y_max = NAN;
  }
};

// Which points are distinct (one flag per input point: a byte each, where
// a list of indices would take eight), how many, and their extent (taken
// while merging, so the points are not read once more for it).
struct DistinctPoints {
  FreshArray<std::uint8_t> kept;
  std::size_t count = 0;
  PlanExtent extent;
};

// Greedy merge in input order: a point is dropped when a point already kept
// lies strictly closer than the merge distance in one of the 27 voxels
// around its own (voxel side = merge distance). Kept points are filed by
// block, and a point of the blocks searched counts only if it is that close
// and lies in one of the 27 voxels (tested in that order: the distance is
// the cheaper test and few points pass it), so exactly the points of the 27
// voxels are compared. Kept points are at least the merge distance apart, so
// a block's list stays bounded however many input points fall into it: a
// few dozen points on a surface sampled at the merge distance, a few hundred
// for points that fill space that densely.
//
// The block table is open addressing over buckets of eight slots, one cache
// line each. A slot holds a tag of the block's hash and the block's latest
// kept point (its list head); the block key is recomputed from that point
// when a tag matches. A lookup compares a bucket's eight tags at once and,
// with at least two slots per point, nearly always ends in its first bucket.
// The buckets of the points a few steps ahead are prefetched: points come in
// any spatial order, so for large inputs nearly every lookup would otherwise
// wait on memory.
template <class Index>
class CoincidenceMerge {
 public:
  CoincidenceMerge(std::span<const Vec3> points, double distance)
      : points_(points), distance_(distance), limit_(distance * distance) {
    // At most one block per point and at least two slots per point.
    std::size_t buckets = 2;
    while (buckets * kBucketSlots < 2 * points.size()) buckets *= 2;
    buckets_ = FreshArray<Bucket>::zeroed(buckets);  // all tags 0: every slot free
    mask_ = buckets - 1;
    next_ = FreshArray<Index>(points.size());         // written as each point is kept
  }

  DistinctPoints run() {
    DistinctPoints distinct;
    distinct.kept = FreshArray<std::uint8_t>(points_.size());
    constexpr std::size_t kAhead = 8;
    std::array<Neighbourhood, kAhead> ahead;
    const std::size_t n = points_.size();
    for (std::size_t i = 0; i < std::min(kAhead, n); ++i) {
      neighbourhood_of(points_[i], distance_, ahead[i]);
      prefetch(ahead[i]);
    }
    for (std::size_t i = 0; i < n; ++i) {
      // Often: the first touches of the fresh tables can be slow.
      if ((i & 63) == 0) poll_stop();
      const Vec3& p = points_[i];
      Neighbourhood& h = ahead[i % kAhead];
      // A point with a coordinate that is not finite lies at no finite
      // distance from any point, so it is never dropped and never drops
      // another: it is kept without being filed. (Filed, all such points
      // would share a voxel and search each other's ever longer list.)
      bool dropped = false;
      if (std::isfinite(p.e) && std::isfinite(p.n) && std::isfinite(p.u)) [[likely]] {
        SlotRef own{};
        dropped = has_close_neighbour(p, h, own);
        if (!dropped) keep(static_cast<Index>(i), h, own);
      }
      distinct.kept[i] = !dropped;
      if (!dropped) {
        ++distinct.count;
        distinct.extent.add(p);
      }
      if (i + kAhead < n) {
        neighbourhood_of(points_[i + kAhead], distance_, h);
        prefetch(h);
      }
    }
    distinct.extent.finish();
    return distinct;
  }

 private:
  static constexpr Index kNoPoint = static_cast<Index>(-1);
  static constexpr int kBucketSlots = 8;
  // Eight slots: their tags (0 marks a free slot; slots fill in order and
  // are never freed) and the index of each block's latest kept point.
  struct alignas(64) Bucket {
    std::uint32_t tags[kBucketSlots] = {};
    Index heads[kBucketSlots] = {};
  };
  struct SlotRef {
    Bucket* bucket;
    int slot;
    bool found;
  };

  static std::uint32_t tag_of(std::uint64_t hash) {
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    return tag == 0 ? 1 : tag;
  }

  __attribute__((always_inline)) void prefetch(const Neighbourhood& h) const {
    __builtin_prefetch(&buckets_[h.hashes[0] & mask_]);
    __builtin_prefetch(&buckets_[h.hashes[1] & mask_]);
    for (int k = 2; k < h.block_count; ++k) __builtin_prefetch(&buckets_[h.hashes[k] & mask_]);
  }

  // Bit i set where tags[i] == tag.
  static unsigned matching(const Bucket& b, std::uint32_t tag) {
#if defined(__SSE2__)
    const __m128i wanted = _mm_set1_epi32(static_cast<int>(tag));
    const __m128i low = _mm_load_si128(reinterpret_cast<const __m128i*>(b.tags));
    const __m128i high = _mm_load_si128(reinterpret_cast<const __m128i*>(b.tags + 4));
    return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(low, wanted)))) |
           static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(high, wanted)))) << 4;
#else
    unsigned bits = 0;
    for (int i = 0; i < kBucketSlots; ++i) bits |= static_cast<unsigned>(b.tags[i] == tag) << i;
    return bits;
#endif
  }

  // The slot of the block, or the free slot where it would go.
  SlotRef find(const Key3& block, std::uint64_t hash) {
    const std::uint32_t tag = tag_of(hash);
    for (std::size_t index = hash & mask_;; index = (index + 1) & mask_) {
      Bucket& b = buckets_[index];
      for (unsigned m = matching(b, tag); m != 0; m &= m - 1) {
        const int slot = __builtin_ctz(m);
        if (block_of(voxel_of(points_[b.heads[slot]], distance_)) == block) return {&b, slot, true};
      }
      const unsigned free = matching(b, 0);
      if (free != 0) return {&b, __builtin_ctz(free), false};
    }
  }

  // Whether a kept point lies strictly closer than the merge distance in
  // one of the 27 voxels; `own` receives the slot of the point's own block.
  bool has_close_neighbour(const Vec3& p, const Neighbourhood& h, SlotRef& own) {
    own = find(h.blocks[0], h.hashes[0]);
    if (own.found && close_in_list(p, h, own)) return true;
    // The second block is the own one again when no face is crossed; its
    // list has been searched then.
    const SlotRef second = find(h.blocks[1], h.hashes[1]);
    if (second.found) {
      const bool own_again = second.bucket == own.bucket && second.slot == own.slot;
      if (!own_again && close_in_list(p, h, second)) return true;
    }
    for (int k = 2; k < h.block_count; ++k) {
      const SlotRef ref = find(h.blocks[k], h.hashes[k]);
      if (ref.found && close_in_list(p, h, ref)) return true;
    }
    return false;
  }

  bool close_in_list(const Vec3& p, const Neighbourhood& h, const SlotRef& ref) const {
    for (Index j = ref.bucket->heads[ref.slot]; j != kNoPoint; j = next_[j]) {
      const Vec3& other = points_[j];
      const double dx = p.e - other.e;
      const double dy = p.n - other.n;
      const double dz = p.u - other.u;
      if (!(limit_ > dx * dx + dy * dy + dz * dz)) continue;
      // Close enough; it counts only if it lies in one of the 27 voxels.
      const Key3 voxel = voxel_of(other, distance_);
      if (adjacent(voxel.x, h.voxel.x) && adjacent(voxel.y, h.voxel.y) && adjacent(voxel.z, h.voxel.z)) return true;
    }
    return false;
  }

  // Files the point under its own block, at the slot the search found for
  // it (nothing has been inserted since).
  void keep(Index index, const Neighbourhood& h, const SlotRef& ref) {
    if (ref.found) {
      next_[index] = ref.bucket->heads[ref.slot];
    } else {
      next_[index] = kNoPoint;
      ref.bucket->tags[ref.slot] = tag_of(h.hashes[0]);
    }
    ref.bucket->heads[ref.slot] = index;
  }

  std::span<const Vec3> points_;
  double distance_;
  double limit_;
  FreshArray<Bucket> buckets_;
  std::size_t mask_ = 0;
  FreshArray<Index> next_;  // per kept point: the previous kept point of its block, or none
};

DistinctPoints merge_coincident(std::span<const Vec3> points, double distance) {
  // 32-bit indices halve the table for every input that fits in memory
  // here; the 64-bit form keeps larger inputs correct.
  if (points.size() < 0xFFFFFFFFu) return CoincidenceMerge<std::uint32_t>(points, distance).run();
  return CoincidenceMerge<std::uint64_t>(points, distance).run();
}

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
  const SymmetricEigen eigen = jacobi_eigen(
      {{{sums.s00, sums.s01, sums.s02}, {sums.s01, sums.s11, sums.s12}, {sums.s02, sums.s12, sums.s22}}});
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
  std::sort(result.fits.begin(), result.fits.end(), [](const PlaneFit& a, const PlaneFit& b) {
    return a.row != b.row ? a.row < b.row : a.col < b.col;
  });
  return std::optional<BestFitResult>{std::move(result)};
}

}  // namespace velkor
