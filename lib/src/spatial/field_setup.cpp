#include "spatial/field_setup.hpp"

namespace velkor {

CoreResult<FieldSetup> make_field_setup(std::int64_t coordinates, std::span<const double> origin,
                                        std::span<const double> spacing, std::span<const std::uint64_t> counts,
                                        std::span<const double> bandwidth, std::string_view kernel_name,
                                        double truncation) {
  const CoreResult<std::size_t> dimension = field_dimension(coordinates);
  if (!dimension) return std::unexpected(dimension.error());
  CoreResult<Grid> grid = make_grid(origin, spacing, counts, *dimension);
  if (!grid) return std::unexpected(grid.error());
  CoreResult<DistanceKernel> kernel = make_kernel(bandwidth, kernel_name, truncation, *dimension);
  if (!kernel) return std::unexpected(kernel.error());
  return FieldSetup{*grid, *kernel};
}

}  // namespace velkor
