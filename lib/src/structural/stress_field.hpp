#pragma once
// The stress field: an exhaustive stress inversion at every node of a grid,
// each fault weighted by the kernel value of its distance to the node, with
// the density and the Kish effective support of the data beside it; and its
// cost, measured by walking the same nodes without searching.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/core_error.hpp"
#include "common/strided_view.hpp"
#include "common/wide_count.hpp"
#include "spatial/density.hpp"
#include "spatial/field_setup.hpp"
#include "spatial/grid.hpp"
#include "spatial/kernel.hpp"
#include "structural/fault_slip.hpp"
#include "structural/inversion.hpp"

namespace velkor {

// Kish effective number of observations of a node, (sum w)^2 / sum w^2, both
// sums from +0.0 in neighbour order; 0.0 without neighbours. When the plain
// sums overflow or the squares underflow to nothing, the weights are first
// scaled by a power of two, which leaves the ratio unchanged in exact
// arithmetic, so equal weights of any magnitude still count as their number.
double kish_support(std::span<const Neighbour> neighbours);

enum class NodeStatus : std::uint8_t {
  inverted,         // the search returned a solution
  below_threshold,  // faults reach the node, but their support is below min_support
  without_data,     // no fault reaches the node
  no_solution,      // enough support, but no candidate could be scored
};

struct NodeOutcome {
  std::array<double, 3> position{};  // entries past the dimension are 0
  double density = -0.0;             // node_density of the neighbours
  double support = 0.0;              // kish_support of the neighbours
  std::uint64_t faults_within_reach = 0;
  NodeStatus status = NodeStatus::without_data;
  std::optional<InversionResult> solution;  // present exactly when inverted
};

// The fault list of a field with where each fault was found (row j of the
// positions belongs to fault j) and the search grid shared by every node.
struct FieldData {
  const PointList& positions;
  std::span<const FaultSlip> faults;
  const CellIndex* index;  // null for the plain Gaussian
  const Grid& grid;
  const DistanceKernel& kernel;
  double min_support;
};

// What one worker reuses from node to node.
struct NodeScratch {
  std::vector<Neighbour> neighbours;
  SearchScratch search;  // the node's faults with their kernel weights
};

// One node: its neighbours, density and support, and, when the support
// reaches min_support, the weighted exhaustive search over its faults. The
// outcome equals search_stress over the neighbours' faults with their kernel
// weights as weights.
NodeOutcome compute_node(const FieldData& data, const SearchFrames& frames, std::uint64_t f, NodeScratch& scratch);

// The largest axial angle in degrees between the best S1 and a runner-up's S1;
// NaN without runners-up.
double runner_up_s1_degrees(const InversionResult& result);

// Every node of a field, in flat order, as the columns a caller reads.
struct StressFieldColumns {
  std::vector<double> positions;  // nodes x D
  std::vector<double> density;
  std::vector<double> support;
  std::vector<std::int64_t> faults_within_reach;
  std::vector<std::uint8_t> has_solution;
  std::vector<double> s1, s2, s3;  // nodes x 2: trend, plunge in degrees
  std::vector<double> phi;
  std::vector<double> misfit_degrees;
  std::vector<std::int64_t> faults_scored;
  std::vector<double> effective_sample_size;
  std::vector<double> runner_up_misfit_degrees;
  std::vector<double> runner_up_s1_degrees;
};

struct StressFieldCounts {
  std::uint64_t nodes = 0;
  std::uint64_t inverted = 0;
  std::uint64_t below_threshold = 0;
  std::uint64_t without_data = 0;
};

struct StressFieldResult {
  StressFieldColumns columns;
  StressFieldCounts counts;
};

// A stress field's arguments as the caller gives them.
struct StressFieldArguments {
  StridedView2D<double> positions;  // (M, D): where each fault was found
  StridedView2D<double> faults;     // (M, 4), as parse_fault_slips reads it
  std::optional<StridedView1D<bool>> senses;
  std::span<const double> origin;
  std::span<const double> spacing;
  std::span<const std::uint64_t> counts;
  std::span<const double> bandwidth;
  std::string_view kernel_name;
  double truncation;
  double min_support;
  double angle_step_degrees;
  double phi_step;
};

// The same, checked: the parsed faults with a copy of their positions, the
// grid and kernel, and the search.
struct StressFieldInput {
  PointList positions;
  std::vector<FaultSlip> faults;
  FieldSetup setup;
  double min_support;
  double angle_step_degrees;
  double phi_step;
};

// Refused, in this order: the search steps (check_search_steps), the faults
// and senses (parse_fault_slips), a position count other than the fault
// count, a NaN min_support, then the field setup (make_field_setup).
CoreResult<StressFieldInput> make_stress_field_input(const StressFieldArguments& arguments);

// The whole field on the worker pool: the index over the fault positions, the
// search frames built once and shared, one scratch per worker, outcomes placed
// by flat index. Identical bit for bit for any number of threads.
StressFieldResult compute_stress_field(const StressFieldInput& input);

// What a stress field over those fault positions would cost.
struct FieldCost {
  std::uint64_t nodes = 0;
  // Nodes with at least one fault within reach and a support of at least
  // min_support: the nodes stress_field searches.
  std::uint64_t nodes_to_invert = 0;
  // Faults within reach summed over those nodes.
  unsigned __int128 faults_within_reach = 0;
  // That sum times the candidate count of the search: one forward solution is
  // one candidate tensor resolved on one fault.
  WideCount forward_solutions;
};

// The node loop of the cost estimate, on the worker pool. The partial counts
// are integers, so the result does not depend on how the nodes were split.
FieldCost measure_field_cost(const StressFieldInput& input);

}  // namespace velkor
