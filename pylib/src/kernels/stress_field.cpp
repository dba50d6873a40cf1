// stress_field and field_cost: the same twelve arguments, the same checks in
// the same order, then either every node searched or every node only
// measured.
#include "structural/stress_field.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "frame/errors.hpp"
#include "frame/gil.hpp"
#include "frame/registration.hpp"
#include "frame/results.hpp"
#include "spatial/density.hpp"
#include "spatial/grid.hpp"
#include "spatial/kernel.hpp"
#include "structural/fault_slip.hpp"
#include "structural/inversion.hpp"

namespace velkor::py {
namespace {

// The twelve arguments converted in parameter order, then checked by the core.
struct FieldRequest {
  std::vector<double> origin;
  std::vector<double> spacing;
  std::vector<std::uint64_t> counts;
  StressFieldInput input;
};

FieldRequest checked_request(const Arguments& args) {
  const StridedView2D<double> positions = args.to_array2d<double>(0);
  const StridedView2D<double> faults = args.to_array2d<double>(1);
  std::vector<double> origin = args.to_double_vector(2);
  std::vector<double> spacing = args.to_double_vector(3);
  std::vector<std::uint64_t> counts = args.to_count_vector(4);
  const std::vector<double> bandwidth = args.to_double_vector(5);
  const std::optional<StridedView1D<bool>> senses = args.to_optional_array1d<bool>(6);
  const std::string kernel_name = args.to_string(7, "quartic");
  const double truncation = args.to_double(8, 4.0);
  const double min_support = args.to_double(9, 10.0);
  const double angle_step = args.to_double(10, 10.0);
  const double phi_step = args.to_double(11, 0.1);
  StressFieldInput input =
      or_raise(make_stress_field_input({positions, faults, senses, origin, spacing, counts, bandwidth, kernel_name,
                                        truncation, min_support, angle_step, phi_step}));
  return {std::move(origin), std::move(spacing), std::move(counts), std::move(input)};
}

constexpr const char* kStressFieldParameters[] = {
    "positions",          "faults",  "origin", "spacing",    "counts",
    "bandwidth",          "senses",  "kernel", "truncation", "min_support",
    "angle_step_degrees", "phi_step"};

constexpr const char kStressFieldDoc[] =
    R"doc(stress_field(positions, faults, origin, spacing, counts, bandwidth, senses=None, kernel="quartic", truncation=4.0, min_support=10.0, angle_step_degrees=10.0, phi_step=0.1)
--

A stress tensor at every node of a grid, with the density of the data that produced it.

positions is an (M, D) float64 array (D = 1, 2 or 3) saying where each fault
was found; faults is the (M, 4) array of strike (right-hand rule), dip,
slickenline trend and plunge in degrees, with the optional (M,) bool senses
as for invert_stress. origin, spacing, counts, bandwidth, kernel and
truncation are as for density_field. At every node the faults whose kernel
weight is positive go through the exhaustive search of invert_stress
(angle_step_degrees, phi_step) with their kernel weights as weights, when
their Kish support (sum w)^2 / sum w^2 is at least min_support (default 10;
0 or less searches wherever a fault reaches, +inf nowhere).
Returns (field, stats). field holds arrays aligned on the nodes in flat order
(first axis fastest): positions (nodes, D), density (faults per unit length,
area or volume; -0.0 where nothing reaches), support, faults_within_reach
(int64), has_solution (bool), s1, s2, s3 ((nodes, 2) trend and plunge in
degrees), phi, misfit_degrees, faults_scored (int64), effective_sample_size,
runner_up_misfit_degrees and runner_up_s1_degrees (the largest axial angle
between the best S1 and a runner-up's). Where has_solution is false the
solution values are NaN and faults_scored is 0; without runners-up both
runner-up values are NaN. stats holds nodes, nodes_inverted,
nodes_below_threshold, nodes_without_data, grid_origin, grid_spacing and
grid_counts. A node costs a full search: call field_cost first. Bad arguments
raise ValueError before any work; the interpreter lock is released while the
nodes are computed on the worker pool, and the result is identical bit for
bit for any number of threads.)doc";

PyRef stress_field(const Arguments& args) {
  const FieldRequest r = checked_request(args);
  StressFieldResult result = without_gil([&] { return compute_stress_field(r.input); });

  StressFieldColumns& c = result.columns;
  const auto nodes = static_cast<std::int64_t>(result.counts.nodes);
  const auto d = static_cast<std::int64_t>(r.input.setup.grid.dimension);
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

constexpr FunctionEntry kStressField{{"stress_field", kStressFieldParameters, 6}, kStressFieldDoc, &stress_field};

constexpr const char* kFieldCostParameters[] = {"positions",          "faults",  "origin", "spacing",    "counts",
                                                "bandwidth",          "senses",  "kernel", "truncation", "min_support",
                                                "angle_step_degrees", "phi_step"};

constexpr const char kFieldCostDoc[] =
    R"doc(field_cost(positions, faults, origin, spacing, counts, bandwidth, senses=None, kernel="quartic", truncation=4.0, min_support=10.0, angle_step_degrees=10.0, phi_step=0.1)
--

What `stress_field` would cost, measured rather than guessed.

Takes exactly the arguments of stress_field, checks them identically (same
messages, same order) and walks the same nodes with the same kernel, without
searching. Returns a dict with nodes (the node count), nodes_to_invert (the
nodes stress_field would search: at least one fault within reach and support
not below min_support) and forward_solutions, the faults within reach summed
over those nodes times the candidate count of inversion_candidate_count: one
forward solution is one candidate tensor resolved on one fault. It is an
exact Python int, however large, and an upper bound on the work (degenerate
candidates and unscored faults are not subtracted). Divided by the rate
at which stress_field gets through them, it says how long the field will
take; that rate depends on the data, since the search abandons a candidate
as soon as it cannot rank among the best, which saves more where the faults
constrain the tensor well. benchmarks/bench_stress_field.py measures it on a
few hundred synthetic faults of a smoothly rotating field with 5 degrees of
rake noise: on one 2-core machine about 150 million a second per thread,
against about 65 million on faults of random slip. Timing stress_field on a
few nodes of one's own data gives the rate to trust. For example, a node
reached by 22 faults at the default steps adds 22 * 71280 = 1568160. The
interpreter lock is released while the nodes are walked on the worker pool;
the counts do not depend on the number of threads.)doc";

PyRef field_cost(const Arguments& args) {
  const FieldRequest r = checked_request(args);
  const FieldCost cost = without_gil([&] { return measure_field_cost(r.input); });
  return DictBuilder()
      .set("nodes", count_object(cost.nodes))
      .set("nodes_to_invert", count_object(cost.nodes_to_invert))
      .set("forward_solutions", int_of(cost.forward_solutions))
      .finish();
}

constexpr FunctionEntry kFieldCost{{"field_cost", kFieldCostParameters, 6}, kFieldCostDoc, &field_cost};

}  // namespace

MethodTable stress_field_methods() { return method_table<kStressField, kFieldCost>(); }

}  // namespace velkor::py
