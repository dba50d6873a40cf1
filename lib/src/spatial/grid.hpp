#pragma once
// The regular node grid every spatial field is sampled on.
//
// `origin` is the first node itself, not the corner of a cell: nothing in the
// fields is offset by half a spacing. Nodes are numbered in flat order with
// the first axis fastest, so a caller reshapes a flat result with
// values.reshape(counts, order="F").
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "common/core_error.hpp"
#include "common/strided_view.hpp"

namespace velkor {

inline constexpr std::size_t kMaxFieldDimension = 3;

struct Grid {
  std::size_t dimension = 1;              // 1, 2 or 3
  std::array<double, 3> origin{};         // entries past `dimension` are 0
  std::array<double, 3> spacing{};        // entries past `dimension` are 0
  std::array<std::uint64_t, 3> counts{};  // entries past `dimension` are 1
};

// The dimension of a field over observations of that many coordinates:
// 1, 2 or 3.
CoreResult<std::size_t> field_dimension(std::int64_t coordinates);

// Checks a grid as a field function receives it (`dimension` already
// checked): one origin, spacing and count per axis, then finite origins,
// positive finite spacings, at least one node per axis and a node count that
// fits in 64 bits.
CoreResult<Grid> make_grid(std::span<const double> origin, std::span<const double> spacing,
                           std::span<const std::uint64_t> counts, std::size_t dimension);

// The product of the counts; make_grid guarantees it fits.
std::uint64_t node_count(const Grid& grid);

// Per-axis indices of the node with flat index f (below node_count).
std::array<std::uint64_t, 3> node_indices(const Grid& grid, std::uint64_t f);

// Coordinates of node f: double(i_k) * spacing_k + origin_k on every axis;
// entries past the dimension are 0.
std::array<double, 3> node_position(const Grid& grid, std::uint64_t f);

// The grid whose first node is the lowest coordinate minus the margin on every
// axis and whose last node is the last whole step not beyond the highest
// coordinate plus the margin. Refused, in this order: no points, a spacing
// without one entry per coordinate, a field dimension other than 1 to 3, and
// then, with one message, a negative or non-finite margin, a spacing that is
// not positive and finite, a coordinate that is not finite, or a result that
// would not fit.
CoreResult<Grid> cover_points(const StridedView2D<double>& points, std::span<const double> spacing, double margin);

}  // namespace velkor
