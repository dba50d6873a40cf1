// Wrappers of the grid, kernel and density functions of the spatial-field group.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "frame/errors.hpp"
#include "frame/gil.hpp"
#include "frame/results.hpp"
#include "kernels/field_lists.hpp"
#include "spatial/density.hpp"
#include "spatial/grid.hpp"
#include "spatial/kernel.hpp"
#include "text/number_format.hpp"
#include "wrappers.hpp"

namespace velkor::py {

namespace {

void check_field_dimension(std::int64_t dimension) {
  if (dimension < 1 || dimension > 3) {
    raise_value_error("a field must have 1, 2 or 3 coordinates per observation, not " +
                      std::to_string(dimension));
  }
}

}  // namespace

PyRef covering_grid(const Arguments& args) {
  const StridedView2D<double> points = args.to_array2d<double>(0);
  const std::vector<double> spacing = args.to_double_vector(1);
  const double margin = args.to_double(2, 0.0);

  if (points.rows == 0) raise_value_error("no points to cover");
  if (static_cast<std::int64_t>(spacing.size()) != points.cols) {
    raise_value_error("spacing has " + std::to_string(spacing.size()) + " entries for points with " +
                      std::to_string(points.cols) + " coordinates");
  }
  check_field_dimension(points.cols);
  const std::optional<Grid> grid = cover_points(points, spacing, margin);
  if (!grid) {
    raise_value_error(
        "could not cover those points: spacing and margin must be positive and finite, and every coordinate must "
        "be a number");
  }

  const std::size_t d = grid->dimension;
  return DictBuilder()
      .set("origin", list_of_doubles(std::span(grid->origin).first(d)))
      .set("spacing", list_of_doubles(spacing))
      .set("counts", list_of_counts(std::span(grid->counts).first(d)))
      .set("node_count", count_object(node_count(*grid)))
      .finish();
}

PyRef kernel_profile(const Arguments& args) {
  const std::vector<double> bandwidth = args.to_double_vector(0);
  const std::string name = args.to_string(1, "quartic");
  const double truncation = args.to_double(2, 4.0);

  check_field_dimension(static_cast<std::int64_t>(bandwidth.size()));
  const auto kernel = make_kernel(bandwidth, name, truncation, bandwidth.size());
  if (!kernel) raise_value_error(kernel.error());

  const auto reach = kernel_reach(*kernel);
  return DictBuilder()
      .set("reach", reach ? list_of_doubles(std::span(*reach).first(kernel->dimension)) : none_object())
      .set("peak", float_object(kernel->norm))
      .set("retained_mass", float_object(retained_mass(*kernel)))
      .finish();
}

PyRef density_field(const Arguments& args) {
  const StridedView2D<double> points = args.to_array2d<double>(0);
  const std::vector<double> origin = args.to_double_vector(1);
  const std::vector<double> spacing = args.to_double_vector(2);
  const std::vector<std::uint64_t> counts = args.to_count_vector(3);
  const std::vector<double> bandwidth = args.to_double_vector(4);
  const std::string name = args.to_string(5, "quartic");
  const double truncation = args.to_double(6, 4.0);

  check_field_dimension(points.cols);
  const auto dimension = static_cast<std::size_t>(points.cols);
  const auto grid = make_grid(origin, spacing, counts, dimension);
  if (!grid) raise_value_error(grid.error());
  if (bandwidth.size() != dimension) {
    raise_value_error("bandwidth has " + std::to_string(bandwidth.size()) + " entries for a " +
                      std::to_string(dimension) + "-dimensional field");
  }
  const auto kernel = make_kernel(bandwidth, name, truncation, dimension);
  if (!kernel) raise_value_error(kernel.error());

  const PointList list = copy_points(points);
  std::vector<double> values = without_gil([&] { return density_values(list, *grid, *kernel); });
  const auto length = static_cast<std::int64_t>(values.size());
  return array_of(std::move(values), {length});
}

}  // namespace velkor::py
