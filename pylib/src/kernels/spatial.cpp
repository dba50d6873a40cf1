// The grid, kernel and density functions of the spatial-field group.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "frame/errors.hpp"
#include "frame/gil.hpp"
#include "frame/registration.hpp"
#include "frame/results.hpp"
#include "spatial/density.hpp"
#include "spatial/field_setup.hpp"
#include "spatial/grid.hpp"
#include "spatial/kernel.hpp"

namespace velkor::py {
namespace {

constexpr const char* kCoveringGridParameters[] = {"points", "spacing", "margin"};

constexpr const char kCoveringGridDoc[] = R"doc(covering_grid(points, spacing, margin=0.0)
--

A grid covering a set of points, with room around them.

points is an (N, D) float64 array of map coordinates (D = 1, 2 or 3, any
strides), spacing a sequence of D node spacings in map units, and margin the
distance (default 0.0) by which the grid extends past the outermost point on
every side of every axis. Returns a dict with origin (list of D floats: the
first node itself, the lowest coordinate minus the margin, not a cell
corner), spacing (the values given), counts (list of D ints, nodes per axis)
and node_count (their product): exactly the origin, spacing and counts that
density_field, stress_field and field_cost take. The last node on an axis is
the last whole step not beyond the highest coordinate plus the margin, with
no tolerance, so with margin 0 the outermost point can lie beyond it. No
points, a spacing of the wrong length, a NaN or infinite coordinate, or a
margin or spacing that is not a positive (margin: non-negative) finite number
raise ValueError. The interpreter lock is held.)doc";

PyRef covering_grid(const Arguments& args) {
  const StridedView2D<double> points = args.to_array2d<double>(0);
  const std::vector<double> spacing = args.to_double_vector(1);
  const double margin = args.to_double(2, 0.0);
  const Grid grid = or_raise(cover_points(points, spacing, margin));
  const std::size_t d = grid.dimension;
  return DictBuilder()
      .set("origin", list_of_doubles(std::span(grid.origin).first(d)))
      .set("spacing", list_of_doubles(spacing))
      .set("counts", list_of_counts(std::span(grid.counts).first(d)))
      .set("node_count", count_object(node_count(grid)))
      .finish();
}

constexpr FunctionEntry kCoveringGrid{{"covering_grid", kCoveringGridParameters, 2}, kCoveringGridDoc, &covering_grid};

constexpr const char* kKernelProfileParameters[] = {"bandwidth", "kernel", "truncation"};

constexpr const char kKernelProfileDoc[] = R"doc(kernel_profile(bandwidth, kernel="quartic", truncation=4.0)
--

What a kernel does, before any data are put through it.

bandwidth is a sequence of D positive widths in map units (D = 1, 2 or 3),
one per axis; kernel is "quartic" (default, zero from one bandwidth on),
"gaussian" (never zero) or "truncated_gaussian" (zero beyond truncation
bandwidths, default 4.0; truncation is ignored by the other two). Every kernel
integrates to 1 over D-dimensional space, so densities are observations per
unit length, area or volume. Returns a dict with reach (list of D floats, how
far the kernel reaches along each axis in map units, or None for the plain
Gaussian, which makes every node cost the whole data set), peak (the value at
zero offset, in observations per unit measure) and retained_mass (the share
of the mass inside the support: 1.0 except for the truncated Gaussian, whose
cut-off mass is reported and never renormalised). Bad bandwidths, names or
truncations raise ValueError. The interpreter lock is held.)doc";

PyRef kernel_profile(const Arguments& args) {
  const std::vector<double> bandwidth = args.to_double_vector(0);
  const std::string name = args.to_string(1, "quartic");
  const double truncation = args.to_double(2, 4.0);
  const std::size_t dimension = or_raise(field_dimension(static_cast<std::int64_t>(bandwidth.size())));
  const DistanceKernel kernel = or_raise(make_kernel(bandwidth, name, truncation, dimension));
  const auto reach = kernel_reach(kernel);
  return DictBuilder()
      .set("reach", reach ? list_of_doubles(std::span(*reach).first(dimension)) : none_object())
      .set("peak", float_object(kernel.norm))
      .set("retained_mass", float_object(retained_mass(kernel)))
      .finish();
}

constexpr FunctionEntry kKernelProfile{
    {"kernel_profile", kKernelProfileParameters, 1}, kKernelProfileDoc, &kernel_profile};

constexpr const char* kDensityFieldParameters[] = {"points",    "origin", "spacing",   "counts",
                                                   "bandwidth", "kernel", "truncation"};

constexpr const char kDensityFieldDoc[] =
    R"doc(density_field(points, origin, spacing, counts, bandwidth, kernel="quartic", truncation=4.0)
--

Kernel density over located points, at every node of a grid.

points is an (M, D) float64 array of observation coordinates (D = 1, 2 or 3;
M may be 0). origin, spacing and counts describe the grid as covering_grid
returns them: origin is the first node, spacing the node distance in map
units, counts the nodes per axis. bandwidth, kernel and truncation are as in
kernel_profile. Returns a 1-D float64 array of length node_count holding, at
every node, the sum of the kernel values of the points that reach it, in
observations per unit length, area or volume. Nodes are in flat order with
the first axis fastest: values.reshape(counts, order="F") gives the field. A
node that nothing reaches holds -0.0; points with NaN or infinite
coordinates contribute nothing. Bad arguments raise ValueError before any
work starts. The interpreter lock is released while the field is computed on
the worker pool (RAYON_NUM_THREADS sets its size); the result is identical
bit for bit for any number of threads.)doc";

PyRef density_field(const Arguments& args) {
  const StridedView2D<double> points = args.to_array2d<double>(0);
  const std::vector<double> origin = args.to_double_vector(1);
  const std::vector<double> spacing = args.to_double_vector(2);
  const std::vector<std::uint64_t> counts = args.to_count_vector(3);
  const std::vector<double> bandwidth = args.to_double_vector(4);
  const std::string name = args.to_string(5, "quartic");
  const double truncation = args.to_double(6, 4.0);
  const FieldSetup setup =
      or_raise(make_field_setup(points.cols, origin, spacing, counts, bandwidth, name, truncation));
  const PointList list = copy_points(points);
  std::vector<double> values = without_gil([&] { return density_values(list, setup.grid, setup.kernel); });
  const auto length = static_cast<std::int64_t>(values.size());
  return array_of(std::move(values), {length});
}

constexpr FunctionEntry kDensityField{{"density_field", kDensityFieldParameters, 5}, kDensityFieldDoc, &density_field};

}  // namespace

MethodTable spatial_methods() { return method_table<kCoveringGrid, kKernelProfile, kDensityField>(); }

}  // namespace velkor::py
