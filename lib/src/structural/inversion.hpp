#pragma once
// The exhaustive stress inversion: every candidate tensor of a fixed grid of
// orientations (S1 trend and plunge, roll of S3 about S1) and shape ratios
// is scored against a weighted fault set; the best candidate is returned with
// up to five runners-up.
//
// Ranking: the result equals a stable sort of all scored candidates by
// (mean misfit ascending, effective sample size descending, enumeration
// order), first six kept. It is computed with a bounded set of six, and by
// default a candidate is abandoned as soon as its running weighted misfit
// sum proves that its mean must exceed the current sixth-best mean; both
// are exact, so best, runners-up and counts are identical to the literal
// store-everything-and-sort computation (SearchMode selects it for tests).
//
// Reuse across many searches (the per-node stress field):
//   const SearchFrames frames(angle_step, phi_step);   // once per call, shared
//   SearchScratch scratch;                             // one per worker
//   for each node:
//     scratch.set.clear();
//     for each neighbour: scratch.set.add(fault, kernel_weight);
//     auto result = search_prepared(frames, scratch);
// or, with faults and weights already side by side,
//     auto result = search_stress(frames, faults, weights, scratch);
// SearchFrames is immutable after construction and safe to share between
// threads. Once a scratch has grown to the largest neighbourhood, a search
// allocates nothing: the result is a fixed-size value.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "common/core_error.hpp"
#include "common/wide_count.hpp"
#include "structural/fault_lanes.hpp"
#include "structural/fault_slip.hpp"
#include "structural/stress.hpp"

namespace velkor {

// One orientation of the principal axes on the grid. S3 never points
// downward by construction (s3_plunge in [-90, 0] up to rounding).
struct OrientationFrame {
  double s1_trend;
  double s1_plunge;
  double s3_trend;
  double s3_plunge;
};

// Visits the frames of an angle step in enumeration order (plunge, then
// trend, then roll, each ascending, loop variables accumulated by repeated
// addition with the 1e-9 tolerances). The step must be positive and finite.
void enumerate_orientation_frames(double angle_step_degrees, const std::function<void(const OrientationFrame&)>& visit);

// Both steps must be greater than zero and finite (subnormals pass).
CoreResult<void> check_search_steps(double angle_step_degrees, double phi_step);

// The four factors of the closed-form candidate count, each quotient
// converted to an unsigned 64-bit integer with saturation:
// ceil(360 / a), floor(90 / a) (one more plunge value is added), ceil(180 / a)
// and floor(1 / p) (one more phi value is added).
struct CandidateFactors {
  std::uint64_t trends;
  std::uint64_t plunge_floor;
  std::uint64_t rolls;
  std::uint64_t phi_floor;
};
CandidateFactors candidate_factors(double angle_step_degrees, double phi_step);

// ceil(360/a) (floor(90/a) + 1) ceil(180/a) (floor(1/p) + 1) from those
// factors, exactly: steps that are tiny give a big number, never a wrapped
// one. An upper bound on candidates_tried.
WideCount exact_candidate_count(double angle_step_degrees, double phi_step);

// The same count saturated at 2^64 - 1 rather than wrapped.
std::uint64_t candidate_count(double angle_step_degrees, double phi_step);

// The candidate grid of one pair of steps: the frames with their tensors,
// built once (trigonometry included), on the first search that needs them,
// so that constructing it costs nothing when no search runs. Safe to share
// between threads from construction on. The phi values, 0, step, 2 step, ...
// (accumulated) while <= 1.000000001, each capped at 1, are generated inside
// the search. For grids too large to hold (angle steps of a degree or two and
// below), the frames are regenerated on the fly during each search instead,
// with identical values.
class SearchFrames {
 public:
  // Frames are held when they fit in max_frame_bytes, else regenerated.
  static constexpr std::size_t kDefaultFrameBytes = std::size_t{256} << 20;
  SearchFrames(double angle_step_degrees, double phi_step, std::size_t max_frame_bytes = kDefaultFrameBytes);

  struct Frame {
    OrientationFrame orientation;
    // The candidate tensor at phi = 0 with sigma1 = 1, sigma3 = 0, or no
    // value when the frame's axes are refused (then its candidates are
    // tried but never scored).
    std::optional<ReducedStress> stress;
  };

  double angle_step() const { return angle_step_; }
  double phi_step() const { return phi_step_; }
  // The frames are held (rather than regenerated on every search).
  bool materialised() const { return materialised_; }
  // The held frames, built on first use (empty when they are regenerated).
  std::span<const Frame> held() const;
  // How many phi values each frame carries, or 0 when there are too many to
  // count up front (then the search visits candidates in plain order).
  std::uint64_t phi_count() const { return phi_count_; }
  // Calls visit(frame) for every frame in enumeration order.
  void for_each(const std::function<void(const Frame&)>& visit) const;

  static Frame make_frame(const OrientationFrame& orientation);

 private:
  double angle_step_;
  double phi_step_;
  std::uint64_t phi_count_;
  bool materialised_;
  mutable std::once_flag built_;
  mutable std::vector<Frame> frames_;
};

struct ScoredTensor {
  ReducedStress stress;  // sigma1 = 1, sigma3 = 0
  double mean_misfit_degrees;
  std::uint64_t faults_scored;
  double effective_sample_size;
};

inline constexpr std::size_t kRunnersUp = 5;

struct InversionResult {
  ScoredTensor best;
  std::array<ScoredTensor, kRunnersUp> runner_up_storage;
  std::size_t runner_up_count;
  std::uint64_t candidates_tried;   // (frame, phi) pairs visited
  std::uint64_t candidates_scored;  // of which produced a FitScore
  // Diagnostic only: scored candidates abandoned early because they provably
  // could not enter the six (zero unless SearchMode::pruned).
  std::uint64_t candidates_abandoned;

  std::span<const ScoredTensor> runners_up() const { return {runner_up_storage.data(), runner_up_count}; }
};

// The bounded ranking: the six best candidates offered so far, in the order
// of a stable sort of everything by mean misfit ascending, then effective
// sample size descending. The enumeration index of each candidate is the
// last key, so candidates may be offered in any order, each at most once.
class CandidateRanking {
 public:
  static constexpr std::size_t kSize = kRunnersUp + 1;

  struct Key {
    double mean;
    double ess;
    std::uint64_t index;  // enumeration order
  };
  static bool better(const Key& a, const Key& b) {
    if (a.mean != b.mean) return a.mean < b.mean;
    if (a.ess != b.ess) return a.ess > b.ess;
    return a.index < b.index;
  }

  // True when the candidate entered the six; its tensor is frame_stress with
  // the given phi.
  bool offer(const FitScore& score, std::uint64_t index, const ReducedStress& frame_stress, double phi);

  bool full() const { return size_ == kSize; }
  std::size_t size() const { return size_; }
  // The mean misfit of the sixth: a candidate whose mean is greater cannot
  // enter any more.
  double worst_mean() const { return keys_[kSize - 1].mean; }
  const ScoredTensor& operator[](std::size_t i) const { return entries_[i]; }

 private:
  std::array<Key, kSize> keys_{};
  std::array<ScoredTensor, kSize> entries_{};
  std::size_t size_ = 0;
};

enum class SearchMode {
  pruned,    // bounded ranking, early abandon of hopeless candidates
  bounded,   // bounded ranking, every candidate scored in full
  sort_all,  // every scored candidate kept and stable-sorted
};

// What one worker reuses from search to search.
struct SearchScratch {
  ScoringSet set;        // the faults to search, filled by the caller
  FaultColumns columns;  // the set laid out for the vector loops
  ShearColumns shears;   // per fault, under the candidate being scored
  std::vector<double> misfits;
};

// Searches scratch.set (see ScoringSet): no value when no candidate can be
// scored (empty set, all weights zero, no fault with a predicted slip, or
// unusable weights).
std::optional<InversionResult> search_prepared(const SearchFrames& frames, SearchScratch& scratch,
                                               SearchMode mode = SearchMode::pruned);

// Fills scratch.set from the faults and their weights (none: all weigh 1)
// and searches it.
std::optional<InversionResult> search_stress(const SearchFrames& frames, std::span<const FaultSlip> faults,
                                             std::optional<std::span<const double>> weights, SearchScratch& scratch,
                                             SearchMode mode = SearchMode::pruned);

// One-off search: builds the frames and a scratch for this call. The steps
// must already have been checked (check_search_steps).
std::optional<InversionResult> search_stress(std::span<const FaultSlip> faults,
                                             std::optional<std::span<const double>> weights, double angle_step_degrees,
                                             double phi_step);

}  // namespace velkor
