#pragma once
// Merging near-coincident points: intersection kernels emit the same
// crossing more than once (a shared edge is crossed from both sides), so a
// point closer than a distance to a point already kept is dropped, in input
// order.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/fresh_array.hpp"
#include "geometry/vec3.hpp"

namespace velkor {

// The East and North extent of the kept points. A NaN coordinate is ignored
// wherever another value exists. Each bound is taken with the compare-and-
// select that min and max instructions do (a NaN candidate never wins; of
// equal values, signed zeros included, the first stays), starting from the
// infinities; a bound still infinite the wrong way round at the end saw no
// number at all and is NaN.
struct PlanExtent {
  double x_min = INFINITY, x_max = -INFINITY, y_min = INFINITY, y_max = -INFINITY;
  void add(const Vec3& p) {
    x_min = p.e < x_min ? p.e : x_min;
    x_max = p.e > x_max ? p.e : x_max;
    y_min = p.n < y_min ? p.n : y_min;
    y_max = p.n > y_max ? p.n : y_max;
  }
  // NaN for a coordinate that no point had a number in.
  void finish() {
    if (x_min > x_max) x_min = x_max = NAN;
    if (y_min > y_max) y_min = y_max = NAN;
  }
};

// Which points are distinct (one flag per input point: a byte each, where
// a list of indices would take eight), how many, and their extent (taken
// while merging, so the points are not read once more for it).
struct DistinctPoints {
  FreshArray<std::uint8_t> kept;
  std::size_t count = 0;
  PlanExtent extent;
};

// Greedy merge in input order: a point is dropped when a point already kept
// lies strictly closer than `distance` and in one of the 27 voxels (of side
// `distance`) around its own. A point with a coordinate that is not finite is
// always kept and never drops another.
DistinctPoints merge_coincident(std::span<const Vec3> points, double distance);

}  // namespace velkor
