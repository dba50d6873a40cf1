#include "spatial/grid.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "common/internal_failure.hpp"

namespace velkor {

namespace {

std::string entry_count_message(const char* name, std::size_t given, std::size_t dimension) {
  return std::string(name) + " has " + std::to_string(given) + " entries for a " + std::to_string(dimension) +
         "-dimensional field";
}

bool positive_finite(double value) { return value > 0.0 && std::isfinite(value); }

// a * b, or nothing when the product does not fit in 64 unsigned bits.
std::optional<std::uint64_t> checked_product(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) return std::nullopt;
  return product;
}

// floor(...) as a count: NaN and negatives give 0, anything from 2^64 up the largest count.
std::uint64_t saturating_count(double value) {
  if (!(value > 0.0)) return 0;
  if (value >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

}  // namespace

CoreResult<std::size_t> field_dimension(std::int64_t coordinates) {
  if (coordinates < 1 || coordinates > static_cast<std::int64_t>(kMaxFieldDimension)) {
    return refuse("a field must have 1, 2 or 3 coordinates per observation, not " + std::to_string(coordinates));
  }
  return static_cast<std::size_t>(coordinates);
}

CoreResult<Grid> make_grid(std::span<const double> origin, std::span<const double> spacing,
                           std::span<const std::uint64_t> counts, std::size_t dimension) {
  if (origin.size() != dimension) return refuse(entry_count_message("origin", origin.size(), dimension));
  if (spacing.size() != dimension) return refuse(entry_count_message("spacing", spacing.size(), dimension));
  if (counts.size() != dimension) return refuse(entry_count_message("counts", counts.size(), dimension));
  if (dimension < 1 || dimension > kMaxFieldDimension) {
    fail_invariant("a grid has 1, 2 or 3 axes");
  }

  Grid grid;
  grid.dimension = dimension;
  grid.counts = {1, 1, 1};
  bool valid = true;
  std::uint64_t total = 1;
  for (std::size_t k = 0; k < dimension; ++k) {
    grid.origin[k] = origin[k];
    grid.spacing[k] = spacing[k];
    grid.counts[k] = counts[k];
    valid = valid && positive_finite(spacing[k]) && counts[k] >= 1 && std::isfinite(origin[k]);
    if (const auto product = checked_product(total, counts[k])) {
      total = *product;
    } else {
      valid = false;
    }
  }
  if (!valid) {
    return refuse(
        "a grid needs a finite origin, a positive finite spacing on every axis, at least one node on each, and a "
        "node count that fits in memory");
  }
  return grid;
}

std::uint64_t node_count(const Grid& grid) { return grid.counts[0] * grid.counts[1] * grid.counts[2]; }

std::array<std::uint64_t, 3> node_indices(const Grid& grid, std::uint64_t f) {
  if (f >= node_count(grid)) fail_invariant("flat index is within the grid");
  const std::uint64_t g = f / grid.counts[0];
  return {f % grid.counts[0], g % grid.counts[1], (g / grid.counts[1]) % grid.counts[2]};
}

std::array<double, 3> node_position(const Grid& grid, std::uint64_t f) {
  const auto indices = node_indices(grid, f);
  std::array<double, 3> position{};
  for (std::size_t k = 0; k < grid.dimension; ++k) {
    position[k] = static_cast<double>(indices[k]) * grid.spacing[k] + grid.origin[k];
  }
  return position;
}

CoreResult<Grid> cover_points(const StridedView2D<double>& points, std::span<const double> spacing, double margin) {
  if (points.rows == 0) return refuse("no points to cover");
  if (static_cast<std::int64_t>(spacing.size()) != points.cols) {
    return refuse("spacing has " + std::to_string(spacing.size()) + " entries for points with " +
                  std::to_string(points.cols) + " coordinates");
  }
  const CoreResult<std::size_t> checked_dimension = field_dimension(points.cols);
  if (!checked_dimension) return std::unexpected(checked_dimension.error());
  const std::size_t dimension = *checked_dimension;
  const auto uncovered = [] {
    return refuse(
        "could not cover those points: spacing and margin must be positive and finite, and every coordinate must "
        "be a number");
  };
  if (!(margin >= 0.0) || !std::isfinite(margin)) return uncovered();
  for (const double step : spacing) {
    if (!positive_finite(step)) return uncovered();
  }

  std::array<double, 3> lo{};
  std::array<double, 3> hi{};
  for (std::size_t k = 0; k < dimension; ++k) {
    lo[k] = hi[k] = points(0, static_cast<std::int64_t>(k));
  }
  for (std::int64_t r = 0; r < points.rows; ++r) {
    for (std::size_t k = 0; k < dimension; ++k) {
      const double x = points(r, static_cast<std::int64_t>(k));
      if (!std::isfinite(x)) return uncovered();
      if (x < lo[k]) lo[k] = x;
      if (x > hi[k]) hi[k] = x;
    }
  }

  Grid grid;
  grid.dimension = dimension;
  grid.counts = {1, 1, 1};
  std::uint64_t total = 1;
  for (std::size_t k = 0; k < dimension; ++k) {
    const double origin = lo[k] - margin;
    const double steps = std::floor(((hi[k] + margin) - origin) / spacing[k]);
    const std::uint64_t count = saturating_count(steps) + 1;  // unsigned: wraps to 0 at the top
    if (count == 0 || !std::isfinite(origin)) return uncovered();
    const auto product = checked_product(total, count);
    if (!product) return uncovered();
    total = *product;
    grid.origin[k] = origin;
    grid.spacing[k] = spacing[k];
    grid.counts[k] = count;
  }
  return grid;
}

}  // namespace velkor
