#pragma once
// The density field: at every node, the kernel weights of the observations
// that reach it (cell_index), summed in visiting order.
#include <cstdint>
#include <span>
#include <vector>

#include "spatial/cell_index.hpp"
#include "spatial/grid.hpp"
#include "spatial/kernel.hpp"

namespace velkor {

// The weights summed one at a time in list order, starting from -0.0: a node
// nothing reaches holds -0.0.
double node_density(std::span<const Neighbour> neighbours);

// The density at every node of the grid, in flat order, computed on the
// worker pool. Identical bit for bit for any number of threads.
std::vector<double> density_values(const PointList& points, const Grid& grid, const DistanceKernel& kernel);

// A result buffer of n doubles; std::bad_alloc (never length_error) when n
// cannot be held or exceeds the physical memory.
std::vector<double> node_buffer(std::uint64_t n);

}  // namespace velkor
