// Wrappers of stress_field and field_cost: the same twelve arguments, the same
// checks in the same order, then either every node searched or every node
// only measured.
#include <cmath>
#include <cstdint>
#include <optional>
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
#include "structural/fault_slip.hpp"
#include "structural/inversion.hpp"
#include "structural/stress_field.hpp"
#include "wrappers.hpp"

namespace velkor::py {

namespace {

// Everything both functions need once the arguments have passed their checks.
struct FieldRequest {
  std::vector<double> origin;
  std::vector<double> spacing;
  std::vector<std::uint64_t> counts;
  std::vector<FaultSlip> faults;
  PointList positions;
  Grid grid;
  DistanceKernel kernel;
  double min_support = 10.0;
  double angle_step = 10.0;
  double phi_step = 0.1;
};

FieldRequest checked_request(const Arguments& args) {
  FieldRequest r;
  const StridedView2D<double> positions = args.to_array2d<double>(0);
  const StridedView2D<double> faults = args.to_array2d<double>(1);
  r.origin = args.to_double_vector(2);
  r.spacing = args.to_double_vector(3);
  r.counts = args.to_count_vector(4);
  const std::vector<double> bandwidth = args.to_double_vector(5);
  const std::optional<StridedView1D<bool>> senses = args.to_optional_array1d<bool>(6);
  const std::string kernel_name = args.to_string(7, "quartic");
  const double truncation = args.to_double(8, 4.0);
  r.min_support = args.to_double(9, 10.0);
  r.angle_step = args.to_double(10, 10.0);
  r.phi_step = args.to_double(11, 0.1);

  if (!valid_search_steps(r.angle_step, r.phi_step)) {
    raise_value_error("angle_step_degrees and phi_step must be positive finite numbers");
  }
  auto parsed = parse_fault_slips(faults, senses);
  if (!parsed) raise_value_error(parsed.error());
  r.faults = std::move(*parsed);
  if (static_cast<std::uint64_t>(positions.rows) != r.faults.size()) {
    raise_value_error("positions has " + std::to_string(positions.rows) + " rows but " +
                      std::to_string(r.faults.size()) + " faults were given");
  }
  if (std::isnan(r.min_support)) raise_value_error("min_support must be a number");
  if (positions.cols < 1 || positions.cols > 3) {
    raise_value_error("a field must have 1, 2 or 3 coordinates per observation, not " +
                      std::to_string(positions.cols));
  }
  const auto dimension = static_cast<std::size_t>(positions.cols);
  auto grid = make_grid(r.origin, r.spacing, r.counts, dimension);
  if (!grid) raise_value_error(grid.error());
  r.grid = *grid;
  if (bandwidth.size() != dimension) {
    raise_value_error("bandwidth has " + std::to_string(bandwidth.size()) + " entries for a " +
                      std::to_string(dimension) + "-dimensional field");
  }
  auto kernel = make_kernel(bandwidth, kernel_name, truncation, dimension);
  if (!kernel) raise_value_error(kernel.error());
  r.kernel = *kernel;
  r.positions = copy_points(positions);
  return r;
}

PyRef int_of_u128(unsigned __int128 value) {
  const PyRef high = count_object(static_cast<std::uint64_t>(value >> 64));
  const PyRef low = count_object(static_cast<std::uint64_t>(value));
  const PyRef shift = count_object(64);
  const PyRef shifted = checked(PyNumber_Lshift(high.get(), shift.get()));
  return checked(PyNumber_Or(shifted.get(), low.get()));
}

// The candidate count as an exact Python int: the four saturated factors of
// inversion_candidate_count multiplied without wrapping.
PyRef exact_candidate_count(double angle_step, double phi_step) {
  const CandidateFactors f = candidate_factors(angle_step, phi_step);
  const PyRef one = count_object(1);
  const PyRef plunges = checked(PyNumber_Add(count_object(f.plunge_floor).get(), one.get()));
  const PyRef phis = checked(PyNumber_Add(count_object(f.phi_floor).get(), one.get()));
  PyRef product = checked(PyNumber_Multiply(count_object(f.trends).get(), plunges.get()));
  product = checked(PyNumber_Multiply(product.get(), count_object(f.rolls).get()));
  return checked(PyNumber_Multiply(product.get(), phis.get()));
}

}  // namespace

PyRef stress_field(const Arguments& args) {
  const FieldRequest r = checked_request(args);
  StressFieldResult result = without_gil([&] {
    return compute_stress_field(r.positions, r.faults, r.grid, r.kernel, r.min_support, r.angle_step, r.phi_step);
  });

  StressFieldColumns& c = result.columns;
  const auto nodes = static_cast<std::int64_t>(result.counts.nodes);
  const auto d = static_cast<std::int64_t>(r.grid.dimension);
  PyRef field = DictBuilder()
                    .set("positions", array_of(std::move(c.positions), {nodes, d}))
                    .set("density", array_of(std::move(c.density), {nodes}))
                    .set("support", array_of(std::move(c.support), {nodes}))
                    .set("faults_within_reach", array_of(std::move(c.faults_within_reach), {nodes}))
                    .set("has_solution", bool_array_of(std::move(c.has_solution), {nodes}))
                    .set("s1", array_of(std::move(c.s1), {nodes, 2}))
                    .set("s2", array_of(std::move(c.s2), {nodes, 2}))
                    .set("s3", array_of(std::move(c.s3), {nodes, 2}))
                    .set("phi", array_of(std::move(c.phi), {nodes}))
                    .set("misfit_degrees", array_of(std::move(c.misfit_degrees), {nodes}))
                    .set("faults_scored", array_of(std::move(c.faults_scored), {nodes}))
                    .set("effective_sample_size", array_of(std::move(c.effective_sample_size), {nodes}))
                    .set("runner_up_misfit_degrees", array_of(std::move(c.runner_up_misfit_degrees), {nodes}))
                    .set("runner_up_s1_degrees", array_of(std::move(c.runner_up_s1_degrees), {nodes}))
                    .finish();
  PyRef stats = DictBuilder()
                    .set("nodes", count_object(result.counts.nodes))
                    .set("nodes_inverted", count_object(result.counts.inverted))
                    .set("nodes_below_threshold", count_object(result.counts.below_threshold))
                    .set("nodes_without_data", count_object(result.counts.without_data))
                    .set("grid_origin", list_of_doubles(r.origin))
                    .set("grid_spacing", list_of_doubles(r.spacing))
                    .set("grid_counts", list_of_counts(r.counts))
                    .finish();
  return tuple_of({std::move(field), std::move(stats)});
}

PyRef field_cost(const Arguments& args) {
  const FieldRequest r = checked_request(args);
  const FieldCost cost =
      without_gil([&] { return measure_field_cost(r.positions, r.grid, r.kernel, r.min_support); });
  const PyRef faults_summed = int_of_u128(cost.faults_within_reach);
  const PyRef candidates = exact_candidate_count(r.angle_step, r.phi_step);
  return DictBuilder()
      .set("nodes", count_object(cost.nodes))
      .set("nodes_to_invert", count_object(cost.nodes_to_invert))
      .set("forward_solutions", checked(PyNumber_Multiply(faults_summed.get(), candidates.get())))
      .finish();
}

}  // namespace velkor::py
