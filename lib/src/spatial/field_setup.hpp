#pragma once
// What every field function checks before it starts: the dimension of the
// observations, the grid of nodes and the distance kernel, in that order.
#include <cstdint>
#include <span>
#include <string_view>

#include "common/core_error.hpp"
#include "spatial/grid.hpp"
#include "spatial/kernel.hpp"

namespace velkor {

struct FieldSetup {
  Grid grid;
  DistanceKernel kernel;  // of the grid's dimension
};

// The dimension from the observations' coordinate count (field_dimension),
// the grid (make_grid), then the kernel (make_kernel, bandwidth count first);
// the first refusal is the one returned.
CoreResult<FieldSetup> make_field_setup(std::int64_t coordinates, std::span<const double> origin,
                                        std::span<const double> spacing, std::span<const std::uint64_t> counts,
                                        std::span<const double> bandwidth, std::string_view kernel_name,
                                        double truncation);

}  // namespace velkor
