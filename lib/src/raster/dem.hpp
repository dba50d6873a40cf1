#pragma once
// The topography both intersection kernels cut against: a row-major grid of
// elevations placed in map coordinates by a GDAL six-element affine
// geotransform, the sample of each node sitting at the centre of its pixel.
// The raster owns a private copy of the elevations, taken while the caller's
// array is still protected by the interpreter lock, so the kernels never read
// caller memory while other threads run.
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/fresh_array.hpp"
#include "common/strided_view.hpp"

namespace velkor {

// GDAL order: x of the upper-left corner, x step per column, x step per row,
// y of the upper-left corner, y step per column, y step per row.
using GeoTransform = std::array<double, 6>;

// True when the elevations can be read as one row-major block. An axis of
// length one never disqualifies an array, and an empty array is always fine;
// reversed or transposed views are refused rather than silently copied (the
// caller says how to lay the array out).
bool dem_layout_accepted(const StridedView2D<double>& elevations);

struct ElevationRange {
  double min;
  double max;
};

class DemRaster {
 public:
  // Copies the elevations; the layout must have been accepted. Stored values
  // equal to `nodata` are kept as NaN, which is how every kernel reads them.
  DemRaster(const StridedView2D<double>& elevations, const GeoTransform& geotransform, std::optional<double> nodata);

  std::int64_t rows() const { return rows_; }
  std::int64_t cols() const { return cols_; }
  const GeoTransform& geotransform() const { return geotransform_; }

  // Elevation of node (r, c): NaN for a nodata node.
  double z(std::int64_t r, std::int64_t c) const { return elevations_[static_cast<std::size_t>(r * cols_ + c)]; }
  // Map position of the centre of pixel (r, c):
  //   x = gt0 + (c + 0.5) gt1 + (r + 0.5) gt2,  y = gt3 + (c + 0.5) gt4 + (r + 0.5) gt5.
  // The column and row terms are tabulated once; the sums are evaluated in
  // the same order, so the values are those of the formulas.
  double x(std::int64_t r, std::int64_t c) const { return x_of_column_[c] + x_of_row_[r]; }
  double y(std::int64_t r, std::int64_t c) const { return y_of_column_[c] + y_of_row_[r]; }

  // Row-wise access for kernels that sweep whole rows: the elevations of row
  // r, and the column and row terms of the placement (x = column_x[c] +
  // row_x(r), y = column_y[c] + row_y(r)).
  const double* elevation_row(std::int64_t r) const { return elevations_.data() + r * cols_; }
  const double* column_x() const { return x_of_column_.data(); }
  const double* column_y() const { return y_of_column_.data(); }
  double row_x(std::int64_t r) const { return x_of_row_[r]; }
  double row_y(std::int64_t r) const { return y_of_row_[r]; }

  // A node is void when its elevation is not finite.
  bool is_void(std::int64_t r, std::int64_t c) const;

  // Smallest and largest finite elevation; none when no node is valid.
  std::optional<ElevationRange> elevation_range() const;

 private:
  std::int64_t rows_;
  std::int64_t cols_;
  GeoTransform geotransform_;
  FreshArray<double> elevations_;
  std::vector<double> x_of_column_, y_of_column_;  // gt0 + (c + 0.5) gt1, gt3 + (c + 0.5) gt4
  std::vector<double> x_of_row_, y_of_row_;        // (r + 0.5) gt2, (r + 0.5) gt5
};

}  // namespace velkor
