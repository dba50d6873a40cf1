#include "spatial/cell_index.hpp"

#include <algorithm>
#include <cmath>

#include "common/open_hash_map.hpp"
#include "common/saturating.hpp"
#include "parallel/stop_check.hpp"

namespace velkor {

namespace {

constexpr std::int64_t kKeyMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kKeyMin = std::numeric_limits<std::int64_t>::min();

std::uint64_t hash_key(const CellKey& key) {
  std::uint64_t h = mix_bits(static_cast<std::uint64_t>(key[0]) + 0x9e3779b97f4a7c15ULL);
  h = mix_bits(h ^ static_cast<std::uint64_t>(key[1]));
  h = mix_bits(h ^ static_cast<std::uint64_t>(key[2]));
  return h;
}

bool all_finite(const double* p, std::size_t dimension) {
  for (std::size_t k = 0; k < dimension; ++k) {
    if (!std::isfinite(p[k])) return false;
  }
  return true;
}

}  // namespace

PointList copy_points(const StridedView2D<double>& points) {
  PointList list;
  list.dimension = static_cast<std::size_t>(points.cols);
  list.count = static_cast<std::size_t>(points.rows);
  list.coordinates.reserve(list.count * list.dimension);
  for (std::int64_t r = 0; r < points.rows; ++r) {
    for (std::int64_t k = 0; k < points.cols; ++k) list.coordinates.push_back(points(r, k));
  }
  return list;
}

CellKey cell_key(const double* position, const std::array<double, 3>& cell, std::size_t dimension) {
  CellKey key{0, 0, 0};
  for (std::size_t k = 0; k < dimension; ++k) key[k] = saturating_floor_i64(position[k] / cell[k]);
  return key;
}

std::size_t CellIndex::KeyHash::operator()(const CellKey& key) const { return static_cast<std::size_t>(hash_key(key)); }

CellIndex::CellIndex(const PointList& points, const std::array<double, 3>& cell)
    : dimension_(points.dimension), cell_(cell) {
  // First pass, in index order: each finite point finds or opens its cell,
  // numbered in order of first appearance (held in the cell's begin until
  // the cells are laid out).
  std::size_t finite = 0;
  constexpr std::size_t kLeftOut = static_cast<std::size_t>(-1);
  std::vector<std::size_t> cell_of_point(points.count, kLeftOut);
  std::vector<CellKey> keys;
  std::vector<std::size_t> population;
  for (std::size_t j = 0; j < points.count; ++j) {
    if ((j & 4095) == 0) poll_stop();
    const double* x = points.row(j);
    if (!all_finite(x, dimension_)) continue;  // it can never reach a node
    ++finite;
    const CellKey key = cell_key(x, cell_, dimension_);
    const auto [found, opened] = cells_.try_emplace(key, Cell{keys.size(), 0});
    if (opened) {
      keys.push_back(key);
      population.push_back(0);
    }
    cell_of_point[j] = found->begin;
    ++population[found->begin];
  }

  // Then lay the cells out one after another, each with its points in index order.
  std::vector<std::size_t> fill(keys.size());
  std::size_t start = 0;
  for (std::size_t c = 0; c < keys.size(); ++c) {
    fill[c] = start;
    *cells_.find(keys[c]) = Cell{start, start + population[c]};
    start += population[c];
  }
  entry_index_.resize(finite);
  entry_coordinates_.resize(finite * dimension_);
  for (std::size_t j = 0; j < points.count; ++j) {
    if (cell_of_point[j] == kLeftOut) continue;
    const std::size_t e = fill[cell_of_point[j]]++;
    entry_index_[e] = j;
    std::copy_n(points.row(j), dimension_, entry_coordinates_.data() + e * dimension_);
  }
}

CellIndex::Cell CellIndex::find(const CellKey& key) const {
  const Cell* cell = cells_.find(key);
  return cell == nullptr ? Cell{} : *cell;
}

std::optional<CellIndex> build_cell_index(const PointList& points, const DistanceKernel& kernel) {
  const auto reach = kernel_reach(kernel);
  if (!reach) return std::nullopt;
  return CellIndex(points, *reach);
}

std::size_t cells_around_key(const CellIndex& index, const CellKey& key, std::array<CellIndex::Cell, 27>& cells) {
  const std::size_t dimension = index.dimension();
  // Offsets -1, 0, +1 on each used axis; unused axes stay at 0.
  const int span1 = dimension > 1 ? 1 : 0;
  const int span2 = dimension > 2 ? 1 : 0;
  const auto shifted = [](std::int64_t k, int d, std::int64_t& out) {
    if ((d < 0 && k == kKeyMin) || (d > 0 && k == kKeyMax)) return false;
    out = k + d;
    return true;
  };
  std::size_t visited = 0;
  CellKey neighbour{0, 0, 0};
  for (int d2 = -span2; d2 <= span2; ++d2) {
    if (!shifted(key[2], d2, neighbour[2])) continue;
    for (int d1 = -span1; d1 <= span1; ++d1) {
      if (!shifted(key[1], d1, neighbour[1])) continue;
      for (int d0 = -1; d0 <= 1; ++d0) {
        if (!shifted(key[0], d0, neighbour[0])) continue;
        const CellIndex::Cell cell = index.find(neighbour);
        if (cell.end > cell.begin) cells[visited++] = cell;
      }
    }
  }
  return visited;
}

std::size_t cells_around(const CellIndex& index, const double* p, std::array<CellIndex::Cell, 27>& cells) {
  if (index.inserted() == 0 || !all_finite(p, index.dimension())) return 0;
  return cells_around_key(index, cell_key(p, index.cell_size(), index.dimension()), cells);
}

void gather_neighbours(const CellIndex* index, const PointList& points, const DistanceKernel& kernel, const double* p,
                       std::vector<Neighbour>& out) {
  out.clear();
  dispatch_kernel(kernel, [&](auto dimension, auto kind) {
    for_each_neighbour<decltype(dimension)::value, decltype(kind)::value>(
        index, points, kernel, p, [&out](std::uint64_t j, double w) { out.push_back({j, w}); });
  });
}

}  // namespace velkor
