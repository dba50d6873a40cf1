#pragma once
// The stress field: an exhaustive stress inversion at every node of a grid,
// each fault weighted by the kernel value of its distance to the node, with
// the density and the Kish effective support of the data beside it; and its
// cost, measured by walking the same nodes without searching.
#include <cstdint>
#include <span>

#include "spatial/density.hpp"
#include "spatial/grid.hpp"
#include "spatial/kernel.hpp"

namespace velkor {

// Kish effective number of observations of a node, (sum w)^2 / sum w^2, both
// sums from +0.0 in neighbour order; 0.0 without neighbours. When the plain
// sums overflow or the squares underflow to nothing, the weights are first
// scaled by a power of two, which leaves the ratio unchanged in exact
// arithmetic, so equal weights of any magnitude still count as their number.
double kish_support(std::span<const Neighbour> neighbours);

// What a stress field over those fault positions would cost.
struct FieldCost {
  std::uint64_t nodes = 0;
  // Nodes with at least one fault within reach and a support of at least
  // min_support: the nodes stress_field searches.
  std::uint64_t nodes_to_invert = 0;
  // Faults within reach summed over those nodes. Times the candidate count it
  // is the number of forward solutions; the caller forms that product exactly.
  unsigned __int128 faults_within_reach = 0;
};

// The node loop of the cost estimate, on the worker pool. The partial counts
// are integers, so the result does not depend on how the nodes were split.
FieldCost measure_field_cost(const PointList& positions, const Grid& grid, const DistanceKernel& kernel,
                             double min_support);

}  // namespace velkor
