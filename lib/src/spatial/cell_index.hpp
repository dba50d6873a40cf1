#pragma once
// The neighbour search shared by every spatial field.
//
// Observations are binned into cells one kernel reach wide, so a node only
// looks at the 3^D cells around its own and never at the whole data set. The
// visiting order (cells with the first axis offset fastest, points by index
// within a cell) fixes the order in which weights are summed, which is what
// makes every field independent of the number of worker threads, bit for bit.
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "common/open_hash_map.hpp"
#include "common/strided_view.hpp"
#include "spatial/kernel.hpp"

namespace velkor {

// Located observations, copied row by row into one contiguous block; the row
// number is the observation's index.
struct PointList {
  std::size_t dimension = 1;
  std::size_t count = 0;
  std::vector<double> coordinates;  // count * dimension, row after row

  const double* row(std::size_t i) const { return coordinates.data() + i * dimension; }
};

PointList copy_points(const StridedView2D<double>& points);

// One observation that reaches a node, with its kernel weight (> 0).
struct Neighbour {
  std::uint64_t index;
  double weight;
};

using CellKey = std::array<std::int64_t, 3>;

// The cell of a position: floor(x_k / cell_k) with saturation at the ends of
// the signed 64-bit range (NaN to 0).
CellKey cell_key(const double* position, const std::array<double, 3>& cell, std::size_t dimension);

// Observations binned by cell. A hash map from cell key to the observations in
// that cell, in increasing index order; each entry keeps a copy of its
// coordinates beside its index so that a cell is read as one contiguous run.
class CellIndex {
 public:
  struct Cell {
    std::size_t begin = 0;  // entries [begin, end)
    std::size_t end = 0;
  };

  CellIndex(const PointList& points, const std::array<double, 3>& cell);

  std::size_t inserted() const { return entry_index_.size(); }
  std::size_t dimension() const { return dimension_; }
  const std::array<double, 3>& cell_size() const { return cell_; }

  // The cell of that key; empty when no observation lies in it.
  Cell find(const CellKey& key) const;

  std::uint64_t entry_index(std::size_t entry) const { return entry_index_[entry]; }
  const double* entry_position(std::size_t entry) const { return entry_coordinates_.data() + entry * dimension_; }

 private:
  struct KeyHash {
    std::size_t operator()(const CellKey& key) const;
  };
  // The three entries compared one by one: a generic array comparison would
  // call memcmp, which costs more than the whole probe.
  struct SameKey {
    bool operator()(const CellKey& a, const CellKey& b) const { return a[0] == b[0] && a[1] == b[1] && a[2] == b[2]; }
  };

  std::size_t dimension_ = 1;
  std::array<double, 3> cell_{};
  OpenHashMap<CellKey, Cell, KeyHash, SameKey> cells_;
  std::vector<std::uint64_t> entry_index_;
  std::vector<double> entry_coordinates_;
};

// The index for a kernel with a reach; nothing for the plain Gaussian.
std::optional<CellIndex> build_cell_index(const PointList& points, const DistanceKernel& kernel);

// The cells a node at p visits, in visiting order: the 3^D cells around its
// own, first axis offset fastest, those holding no observation left out.
// Returns how many were written (at most 27). Offsets past the ends of the key
// range are skipped (they cannot hold anything a saturated key did not catch).
std::size_t cells_around(const CellIndex& index, const double* p, std::array<CellIndex::Cell, 27>& cells);

// The same for a node whose position is finite and whose key is known (nodes
// that share a key share their cells).
std::size_t cells_around_key(const CellIndex& index, const CellKey& key, std::array<CellIndex::Cell, 27>& cells);

// Calls visit(index, weight) for every observation reaching the node at p with
// a weight > 0, in visiting order. D and Kind must match the kernel.
template <std::size_t D, KernelKind Kind, class Visit>
inline void for_each_neighbour(const CellIndex* index, const PointList& points, const DistanceKernel& kernel,
                               const double* p, Visit&& visit) {
  if (index == nullptr) {
    for (std::size_t j = 0; j < points.count; ++j) {
      const double w = kernel_weight<D, Kind>(kernel, points.row(j), p);
      if (w > 0.0) visit(static_cast<std::uint64_t>(j), w);
    }
    return;
  }
  std::array<CellIndex::Cell, 27> cells;
  const std::size_t visited = cells_around(*index, p, cells);
  for (std::size_t c = 0; c < visited; ++c) {
    for (std::size_t e = cells[c].begin; e < cells[c].end; ++e) {
      const double w = kernel_weight<D, Kind>(kernel, index->entry_position(e), p);
      if (w > 0.0) visit(index->entry_index(e), w);
    }
  }
}

// Fills `out` (cleared first, reusable across nodes) with the neighbours of
// the node at p in visiting order.
void gather_neighbours(const CellIndex* index, const PointList& points, const DistanceKernel& kernel, const double* p,
                       std::vector<Neighbour>& out);

}  // namespace velkor
