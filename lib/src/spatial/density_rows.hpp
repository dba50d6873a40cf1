#pragma once
// The density field walked row by row: the nodes of one row (consecutive
// along the first axis) share their coordinates on the other axes, so each
// cell's points are read once per row, with their offsets on those axes
// already divided by the bandwidth and squared, and the nodes that share a
// cell key are evaluated several at a time, one node per vector lane. Every
// node's weights are the kernel_weight values and are added in the visiting
// order of the neighbour search, one at a time from -0.0, exactly as
// node_density over gather_neighbours adds them.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "spatial/cell_index.hpp"
#include "spatial/grid.hpp"
#include "spatial/kernel.hpp"

namespace velkor {

// What one worker reuses from row to row.
struct RowScratch {
  struct Column {
    std::int64_t key;                   // the cell key on the first axis
    std::array<std::size_t, 10> start;  // line l holds points [start[l], start[l + 1])
  };
  std::vector<Column> columns;
  // The cells found for the lines of the last row key, by column key in
  // increasing order: the rows that share a cell key on every axis after the
  // first look their cells up once.
  struct Found {
    std::int64_t key;
    std::array<CellIndex::Cell, 9> cells;
  };
  std::vector<Found> found;
  std::array<std::int64_t, 2> found_row{};
  bool found_valid = false;
  std::vector<double> first;   // each kept point's first coordinate
  std::vector<double> second;  // ((x1 - p1) / h1)^2 for the row's p1
  std::vector<double> third;   // ((x2 - p2) / h2)^2 for the row's p2
};

// The densities of nodes [begin, end) (flat indices) into values[begin, end),
// for a kernel with a reach and its index.
void density_by_rows(const CellIndex& index, const Grid& grid, const DistanceKernel& kernel, std::uint64_t begin,
                     std::uint64_t end, double* values, RowScratch& scratch);

}  // namespace velkor
