#include "structural/stress_field.hpp"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <vector>

#include "common/internal_failure.hpp"
#include "parallel/worker_pool.hpp"

namespace velkor {

namespace {

struct KishSums {
  double sum = 0.0;
  double squares = 0.0;
};

KishSums kish_sums(std::span<const Neighbour> neighbours, double scale) {
  KishSums s;
  for (const Neighbour& n : neighbours) {
    const double w = n.weight * scale;
    s.sum = s.sum + w;
    s.squares = s.squares + w * w;
  }
  return s;
}

double kish_ratio(const KishSums& s) { return s.squares <= 0.0 ? 0.0 : (s.sum * s.sum) / s.squares; }

}  // namespace

double kish_support(std::span<const Neighbour> neighbours) {
  const KishSums plain = kish_sums(neighbours, 1.0);
  const double support = kish_ratio(plain);
  const bool overflowed = !std::isfinite(support);
  const bool underflowed = plain.squares <= 0.0 && plain.sum > 0.0;
  if (!overflowed && !underflowed) return support;

  // Neighbour weights are positive; infinite ones leave nothing to rescale.
  double largest = 0.0;
  for (const Neighbour& n : neighbours) largest = std::max(largest, n.weight);
  if (!std::isfinite(largest) || !(largest > 0.0)) return support;
  int exponent = 0;
  std::frexp(largest, &exponent);  // largest = m * 2^exponent, m in [0.5, 1)
  // Bring the largest weight to [0.5, 1): every sum then stays far from both
  // ends of the double range, and each scaled weight is exact (or negligible).
  return kish_ratio(kish_sums(neighbours, std::ldexp(1.0, -exponent)));
}

FieldCost measure_field_cost(const PointList& positions, const Grid& grid, const DistanceKernel& kernel,
                             double min_support) {
  if (positions.dimension != grid.dimension || kernel.dimension != grid.dimension) {
    fail_invariant("positions, grid and kernel share one dimension");
  }
  FieldCost total;
  total.nodes = node_count(grid);
  const std::optional<CellIndex> index = build_cell_index(positions, kernel);
  const CellIndex* index_pointer = index ? &*index : nullptr;

  WorkerPool& pool = WorkerPool::instance();
  const auto n = static_cast<std::size_t>(total.nodes);
  const std::size_t chunk = std::clamp<std::size_t>(n / (pool.size() * 64), 1, 1024);
  std::vector<std::vector<Neighbour>> scratch(pool.size());
  std::vector<FieldCost> partial(pool.size());
  pool.parallel_for_slots(n, chunk, [&](std::size_t slot, std::size_t begin, std::size_t end) {
    std::vector<Neighbour>& neighbours = scratch[slot];
    FieldCost& mine = partial[slot];
    for (std::size_t f = begin; f < end; ++f) {
      const std::array<double, 3> p = node_position(grid, f);
      gather_neighbours(index_pointer, positions, kernel, p.data(), neighbours);
      if (neighbours.empty()) continue;
      if (kish_support(neighbours) < min_support) continue;
      mine.nodes_to_invert += 1;
      mine.faults_within_reach += neighbours.size();
    }
  });
  for (const FieldCost& part : partial) {
    total.nodes_to_invert += part.nodes_to_invert;
    total.faults_within_reach += part.faults_within_reach;
  }
  return total;
}

}  // namespace velkor
