#include "spatial/density.hpp"

#include <algorithm>
#include <new>

#include "common/internal_failure.hpp"
#include "common/memory_limit.hpp"
#include "parallel/stop_check.hpp"
#include "parallel/worker_pool.hpp"
#include "spatial/density_rows.hpp"

namespace velkor {

double node_density(std::span<const Neighbour> neighbours) {
  double sum = -0.0;
  for (const Neighbour& n : neighbours) sum = sum + n.weight;
  return sum;
}

std::vector<double> node_buffer(std::uint64_t n) {
  require_memory_for(n, sizeof(double));
  if (n > std::vector<double>().max_size()) throw std::bad_alloc();
  return std::vector<double>(static_cast<std::size_t>(n));
}

namespace {

// The plain Gaussian: every point at every node, in index order, the sum
// node_density over gather_neighbours fused (the same weights added in the
// same order from -0.0, without building the list).
template <std::size_t D>
void gaussian_chunk(const PointList& points, const Grid& grid, const DistanceKernel& kernel, std::size_t begin,
                    std::size_t end, double* values) {
  for (std::size_t f = begin; f < end; ++f) {
    poll_stop();
    const std::array<double, 3> p = node_position(grid, f);
    double sum = -0.0;
    for (std::size_t j = 0; j < points.count; ++j) {
      const double w = kernel_weight<D, KernelKind::gaussian>(kernel, points.row(j), p.data());
      if (w > 0.0) sum = sum + w;
    }
    values[f] = sum;
  }
}

}  // namespace

std::vector<double> density_values(const PointList& points, const Grid& grid, const DistanceKernel& kernel) {
  if (points.dimension != grid.dimension || kernel.dimension != grid.dimension) {
    fail_invariant("points, grid and kernel share one dimension");
  }
  const std::uint64_t nodes = node_count(grid);
  std::vector<double> values = node_buffer(nodes);
  const std::optional<CellIndex> index = build_cell_index(points, kernel);
  const CellIndex* index_pointer = index ? &*index : nullptr;

  WorkerPool& pool = WorkerPool::instance();
  const std::size_t n = static_cast<std::size_t>(nodes);
  // Small chunks balance nodes of unequal cost; 64 per thread share is plenty.
  const std::size_t chunk = std::clamp<std::size_t>(n / (pool.size() * 64), 1, 4096);
  double* out = values.data();
  if (index_pointer == nullptr) {
    dispatch_kernel(kernel, [&](auto dimension, auto) {
      pool.parallel_for(n, chunk, [&](std::size_t begin, std::size_t end) {
        gaussian_chunk<decltype(dimension)::value>(points, grid, kernel, begin, end, out);
      });
    });
    return values;
  }
  std::vector<RowScratch> scratch(pool.size());
  pool.parallel_for_slots(n, chunk, [&](std::size_t slot, std::size_t begin, std::size_t end) {
    density_by_rows(*index_pointer, grid, kernel, begin, end, out, scratch[slot]);
  });
  return values;
}

}  // namespace velkor
