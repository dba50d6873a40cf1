#include "raster/dem.hpp"

#include <cmath>
#include <cstring>

#include "common/internal_failure.hpp"

namespace velkor {

bool dem_layout_accepted(const StridedView2D<double>& elevations) {
  constexpr std::int64_t element = sizeof(double);
  if (elevations.rows == 0 || elevations.cols == 0) return true;
  if (elevations.cols != 1 && elevations.col_stride != element) return false;
  if (elevations.rows != 1 && elevations.row_stride != elevations.cols * element) return false;
  return true;
}

DemRaster::DemRaster(const StridedView2D<double>& elevations, const GeoTransform& geotransform,
                     std::optional<double> nodata)
    : rows_(elevations.rows), cols_(elevations.cols), geotransform_(geotransform) {
  if (!dem_layout_accepted(elevations)) fail_invariant("a DEM was built from an array whose layout was refused");
  const std::size_t count = static_cast<std::size_t>(rows_) * static_cast<std::size_t>(cols_);
  elevations_ = FreshArray<double>(count);
  // An accepted layout is one row-major block whatever the stride along an
  // axis of length one, so element (r, c) sits at offset (r * cols + c).
  if (!nodata) {
    if (count > 0) std::memcpy(elevations_.data(), elevations.data, count * sizeof(double));
  } else {
    // Copied through memcpy (the caller's buffer need not be aligned) and
    // voided on the way, in one pass.
    const double void_value = *nodata;
    for (std::size_t i = 0; i < count; ++i) {
      double z;
      std::memcpy(&z, elevations.data + i * sizeof(double), sizeof z);
      elevations_[i] = z == void_value ? NAN : z;
    }
  }
  const GeoTransform& gt = geotransform_;
  x_of_column_.resize(static_cast<std::size_t>(cols_));
  y_of_column_.resize(static_cast<std::size_t>(cols_));
  for (std::int64_t c = 0; c < cols_; ++c) {
    const double centre = static_cast<double>(c) + 0.5;
    x_of_column_[c] = gt[0] + centre * gt[1];
    y_of_column_[c] = gt[3] + centre * gt[4];
  }
  x_of_row_.resize(static_cast<std::size_t>(rows_));
  y_of_row_.resize(static_cast<std::size_t>(rows_));
  for (std::int64_t r = 0; r < rows_; ++r) {
    const double centre = static_cast<double>(r) + 0.5;
    x_of_row_[r] = centre * gt[2];
    y_of_row_[r] = centre * gt[5];
  }
}

bool DemRaster::is_void(std::int64_t r, std::int64_t c) const { return !std::isfinite(z(r, c)); }

std::optional<ElevationRange> DemRaster::elevation_range() const {
  double lowest = INFINITY;
  double highest = -INFINITY;
  bool any = false;
  for (const double z : elevations_) {
    if (!std::isfinite(z)) continue;
    any = true;
    if (z < lowest) lowest = z;
    if (z > highest) highest = z;
  }
  if (!any) return std::nullopt;
  return ElevationRange{lowest, highest};
}

}  // namespace velkor
