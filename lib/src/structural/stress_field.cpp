#include "structural/stress_field.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "common/internal_failure.hpp"
#include "common/memory_limit.hpp"
#include "geometry/geol_axis.hpp"
#include "parallel/stop_check.hpp"
#include "parallel/worker_pool.hpp"

namespace velkor {

namespace {

struct KishSums {
  double sum = 0.0;
  double squares = 0.0;
};

KishSums kish_sums(std::span<const Neighbour> neighbours, double scale) {
  KishSums s;
  for (const Neighbour& n : neighbours) {
    const double w = n.weight * scale;
    s.sum = s.sum + w;
    s.squares = s.squares + w * w;
  }
  return s;
}

double kish_ratio(const KishSums& s) { return s.squares <= 0.0 ? 0.0 : (s.sum * s.sum) / s.squares; }

}  // namespace

double kish_support(std::span<const Neighbour> neighbours) {
  const KishSums plain = kish_sums(neighbours, 1.0);
  const double support = kish_ratio(plain);
  const bool overflowed = !std::isfinite(support);
  const bool underflowed = plain.squares <= 0.0 && plain.sum > 0.0;
  if (!overflowed && !underflowed) return support;

  // Neighbour weights are positive; infinite ones leave nothing to rescale.
  double largest = 0.0;
  for (const Neighbour& n : neighbours) largest = std::max(largest, n.weight);
  if (!std::isfinite(largest) || !(largest > 0.0)) return support;
  int exponent = 0;
  std::frexp(largest, &exponent);  // largest = m * 2^exponent, m in [0.5, 1)
  // Bring the largest weight to [0.5, 1): every sum then stays far from both
  // ends of the double range, and each scaled weight is exact (or negligible).
  return kish_ratio(kish_sums(neighbours, std::ldexp(1.0, -exponent)));
}

double runner_up_s1_degrees(const InversionResult& result) {
  const Vec3 b = result.best.stress.s1();
  double largest = std::numeric_limits<double>::quiet_NaN();
  bool first = true;
  for (const ScoredTensor& runner_up : result.runners_up()) {
    const Vec3 r = runner_up.stress.s1();
    const double a = std::acos(std::min(1.0, std::fabs((r.e * b.e + r.n * b.n) + r.u * b.u))) * kRadiansToDegrees;
    if (first || a > largest) largest = a;
    first = false;
  }
  return largest;
}

NodeOutcome compute_node(const FieldData& data, const SearchFrames& frames, std::uint64_t f, NodeScratch& scratch) {
  NodeOutcome outcome;
  outcome.position = node_position(data.grid, f);
  std::vector<Neighbour>& neighbours = scratch.neighbours;
  gather_neighbours(data.index, data.positions, data.kernel, outcome.position.data(), neighbours);
  if (neighbours.empty()) return outcome;  // without data: -0.0, 0.0, 0

  outcome.density = node_density(neighbours);
  outcome.support = kish_support(neighbours);
  outcome.faults_within_reach = neighbours.size();
  if (outcome.support < data.min_support) {
    outcome.status = NodeStatus::below_threshold;
    return outcome;
  }
  // The node's data set: each neighbour's fault with its kernel weight, in
  // neighbour order. The set borrows the faults, which outlive the search.
  ScoringSet& set = scratch.search.set;
  set.clear();
  for (const Neighbour& n : neighbours) set.add(data.faults[n.index], n.weight);
  outcome.solution = search_prepared(frames, scratch.search);
  outcome.status = outcome.solution ? NodeStatus::inverted : NodeStatus::no_solution;
  return outcome;
}

namespace {

std::vector<double> nan_buffer(std::uint64_t n) {
  std::vector<double> v = node_buffer(n);
  std::fill(v.begin(), v.end(), std::numeric_limits<double>::quiet_NaN());
  return v;
}

template <class T>
std::vector<T> zero_buffer(std::uint64_t n) {
  if (n > std::vector<T>().max_size()) throw std::bad_alloc();
  return std::vector<T>(static_cast<std::size_t>(n));
}

void put_axis(std::vector<double>& column, std::size_t f, Vec3 v) {
  const TrendPlunge axis = trend_plunge_of(v);
  column[2 * f] = axis.trend;
  column[2 * f + 1] = axis.plunge;
}

}  // namespace

CoreResult<StressFieldInput> make_stress_field_input(const StressFieldArguments& a) {
  if (const CoreResult<void> steps = check_search_steps(a.angle_step_degrees, a.phi_step); !steps) {
    return std::unexpected(steps.error());
  }
  CoreResult<std::vector<FaultSlip>> faults = parse_fault_slips(a.faults, a.senses);
  if (!faults) return std::unexpected(faults.error());
  if (static_cast<std::uint64_t>(a.positions.rows) != faults->size()) {
    return refuse("positions has " + std::to_string(a.positions.rows) + " rows but " + std::to_string(faults->size()) +
                  " faults were given");
  }
  if (std::isnan(a.min_support)) return refuse("min_support must be a number");
  CoreResult<FieldSetup> setup =
      make_field_setup(a.positions.cols, a.origin, a.spacing, a.counts, a.bandwidth, a.kernel_name, a.truncation);
  if (!setup) return std::unexpected(setup.error());
  return StressFieldInput{copy_points(a.positions), std::move(*faults), *setup, a.min_support,
                          a.angle_step_degrees,     a.phi_step};
}

StressFieldResult compute_stress_field(const StressFieldInput& input) {
  const PointList& positions = input.positions;
  const std::span<const FaultSlip> faults = input.faults;
  const Grid& grid = input.setup.grid;
  const DistanceKernel& kernel = input.setup.kernel;
  const double min_support = input.min_support;
  const double angle_step_degrees = input.angle_step_degrees;
  const double phi_step = input.phi_step;
  if (positions.dimension != grid.dimension || kernel.dimension != grid.dimension || positions.count != faults.size()) {
    fail_invariant("one position per fault, and positions, grid and kernel share one dimension");
  }
  const std::uint64_t nodes = node_count(grid);
  const std::size_t d = grid.dimension;
  // Every column together, refused up front when it could never be backed by
  // memory: D coordinates, fifteen more numbers and two flags per node.
  require_memory_for(nodes, (d + 15) * sizeof(double) + 2);

  StressFieldResult result;
  StressFieldColumns& c = result.columns;
  c.positions = node_buffer(nodes * d);
  c.density = node_buffer(nodes);
  c.support = node_buffer(nodes);
  c.faults_within_reach = zero_buffer<std::int64_t>(nodes);
  c.has_solution = zero_buffer<std::uint8_t>(nodes);
  c.s1 = nan_buffer(nodes * 2);
  c.s2 = nan_buffer(nodes * 2);
  c.s3 = nan_buffer(nodes * 2);
  c.phi = nan_buffer(nodes);
  c.misfit_degrees = nan_buffer(nodes);
  c.faults_scored = zero_buffer<std::int64_t>(nodes);
  c.effective_sample_size = nan_buffer(nodes);
  c.runner_up_misfit_degrees = nan_buffer(nodes);
  c.runner_up_s1_degrees = nan_buffer(nodes);
  std::vector<NodeStatus> statuses = zero_buffer<NodeStatus>(nodes);

  const std::optional<CellIndex> index = build_cell_index(positions, kernel);
  const FieldData data{positions, faults, index ? &*index : nullptr, grid, kernel, min_support};
  // The frames depend on the steps alone: built once, read by every worker.
  const SearchFrames frames(angle_step_degrees, phi_step);

  WorkerPool& pool = WorkerPool::instance();
  std::vector<NodeScratch> scratch(pool.size());
  // One node per chunk: a node may cost a whole search, so the nodes are
  // handed out one at a time to keep every thread busy to the end.
  pool.parallel_for_slots(static_cast<std::size_t>(nodes), 1,
                          [&](std::size_t slot, std::size_t begin, std::size_t end) {
                            for (std::size_t f = begin; f < end; ++f) {
                              const NodeOutcome o = compute_node(data, frames, f, scratch[slot]);
                              for (std::size_t k = 0; k < d; ++k) c.positions[f * d + k] = o.position[k];
                              c.density[f] = o.density;
                              c.support[f] = o.support;
                              c.faults_within_reach[f] = static_cast<std::int64_t>(o.faults_within_reach);
                              statuses[f] = o.status;
                              if (!o.solution) continue;
                              const InversionResult& s = *o.solution;
                              const ScoredTensor& best = s.best;
                              c.has_solution[f] = 1;
                              put_axis(c.s1, f, best.stress.s1());
                              put_axis(c.s2, f, best.stress.s2());
                              put_axis(c.s3, f, best.stress.s3());
                              c.phi[f] = best.stress.phi();
                              c.misfit_degrees[f] = best.mean_misfit_degrees;
                              c.faults_scored[f] = static_cast<std::int64_t>(best.faults_scored);
                              c.effective_sample_size[f] = best.effective_sample_size;
                              if (s.runner_up_count > 0)
                                c.runner_up_misfit_degrees[f] = s.runners_up()[0].mean_misfit_degrees;
                              c.runner_up_s1_degrees[f] = runner_up_s1_degrees(s);
                            }
                          });

  StressFieldCounts& counts = result.counts;
  counts.nodes = nodes;
  for (const NodeStatus status : statuses) {
    switch (status) {
      case NodeStatus::inverted:
        ++counts.inverted;
        break;
      case NodeStatus::below_threshold:
        ++counts.below_threshold;
        break;
      case NodeStatus::without_data:
        ++counts.without_data;
        break;
      case NodeStatus::no_solution:
        break;
    }
  }
  return result;
}

FieldCost measure_field_cost(const StressFieldInput& input) {
  const PointList& positions = input.positions;
  const Grid& grid = input.setup.grid;
  const DistanceKernel& kernel = input.setup.kernel;
  const double min_support = input.min_support;
  if (positions.dimension != grid.dimension || kernel.dimension != grid.dimension) {
    fail_invariant("positions, grid and kernel share one dimension");
  }
  FieldCost total;
  total.nodes = node_count(grid);
  const std::optional<CellIndex> index = build_cell_index(positions, kernel);
  const CellIndex* index_pointer = index ? &*index : nullptr;

  WorkerPool& pool = WorkerPool::instance();
  const auto n = static_cast<std::size_t>(total.nodes);
  const std::size_t chunk = std::clamp<std::size_t>(n / (pool.size() * 64), 1, 1024);
  std::vector<std::vector<Neighbour>> scratch(pool.size());
  std::vector<FieldCost> partial(pool.size());
  if (index_pointer != nullptr && index_pointer->inserted() == 0) return total;  // no fault reaches anything
  pool.parallel_for_slots(n, chunk, [&](std::size_t slot, std::size_t begin, std::size_t end) {
    std::vector<Neighbour>& neighbours = scratch[slot];
    FieldCost& mine = partial[slot];
    for (std::size_t f = begin; f < end; ++f) {
      poll_stop();
      const std::array<double, 3> p = node_position(grid, f);
      gather_neighbours(index_pointer, positions, kernel, p.data(), neighbours);
      if (neighbours.empty()) continue;
      if (kish_support(neighbours) < min_support) continue;
      mine.nodes_to_invert += 1;
      mine.faults_within_reach += neighbours.size();
    }
  });
  for (const FieldCost& part : partial) {
    total.nodes_to_invert += part.nodes_to_invert;
    total.faults_within_reach += part.faults_within_reach;
  }
  total.forward_solutions = exact_candidate_count(input.angle_step_degrees, input.phi_step);
  total.forward_solutions *= total.faults_within_reach;
  return total;
}

}  // namespace velkor
