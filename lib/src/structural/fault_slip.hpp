#pragma once
// Fault-slip data: faults with their slickenlines, their parsing from the
// (N, 4) array of strike, dip, slickenline trend and plunge, weights, and the
// misfit by which a reduced stress tensor is judged against them.
//
// A parsed fault carries its precomputed plane geometry, so that scoring a
// tensor costs only the tensor-dependent work per fault. Every misfit in the
// library runs prepared_misfit below on the same values, or (in the search)
// its operations lane by lane (fault_lanes), so they agree bit for bit.
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "common/core_error.hpp"
#include "common/strided_view.hpp"
#include "geometry/vec3.hpp"
#include "structural/stress.hpp"

namespace velkor {

// Largest angle, in degrees, between a slickenline and its fault plane.
inline constexpr double kCoplanarityTolerance = 1.0;

struct Slickenline {
  Vec3 direction;    // unit vector of the line's trend and plunge
  bool sense_known;  // false: only the line of slip is known, not its way
};

struct FaultSlip {
  double dip_direction;  // degrees, wrap(strike + 90)
  double dip;            // degrees, as given
  std::vector<Slickenline> slickenlines;
  PlaneGeometry plane;  // computed once from dip_direction and dip
  // Every angle of the fault is finite. A fault with a NaN or infinite angle
  // is accepted but never scored: it has no misfit anywhere.
  bool finite;
};

// Builds a fault and tests each slickenline against the plane:
// |acos(n . l) - 90| > 1 degree gives SlickenlineOffPlane (NaN passes).
CoreResult<FaultSlip> make_fault_slip(double dip_direction, double dip, std::vector<Slickenline> slickenlines);

// Parses the (N, 4) array and the optional (N,) senses. Refused, in this
// order: an array without four columns, senses of another length, then the
// first fault whose slickenline is off its plane ("fault {row}: " in front
// of that kind's message).
CoreResult<std::vector<FaultSlip>> parse_fault_slips(const StridedView2D<double>& faults,
                                                     const std::optional<StridedView1D<bool>>& senses);

// Weights must number one per fault and be finite and non-negative; returns
// them as a contiguous list.
CoreResult<std::vector<double>> validate_weights(const StridedView1D<double>& weights, std::size_t fault_count);

// Misfit in degrees of one fault (the mean over its slickenlines), or no
// value when the tensor predicts no slip on the plane, the fault has no
// slickenline, or the fault is not finite.
std::optional<double> fault_misfit_degrees(const ReducedStress& tensor, const FaultSlip& fault);

// One tensor against every fault of a set, unweighted.
struct FaultScores {
  std::vector<double> misfits;  // per fault, NaN where fault_misfit_degrees has no value
  std::uint64_t faults_scored = 0;
  // The scored misfits summed in fault order and divided by their number; no
  // value when no fault is scored.
  std::optional<double> mean_misfit_degrees;
};
FaultScores score_each_fault(const ReducedStress& tensor, std::span<const FaultSlip> faults);

struct FitScore {
  double mean_misfit_degrees;
  std::uint64_t faults_scored;
  double effective_sample_size;  // Kish: (sum w)^2 / sum w^2
};

// Weighted mean misfit; faults of zero weight cost no forward solution.
// No value when nothing is scored or the weights are unusable (wrong length,
// negative, NaN or infinite).
std::optional<FitScore> score_fault_set(const ReducedStress& tensor, std::span<const FaultSlip> faults,
                                        std::optional<std::span<const double>> weights);

// ---------------------------------------------------------------------------
// The scoring machinery shared by score_fault_set and the inversion.

// One fault of positive weight, flattened for the scoring loops.
struct PreparedFault {
  PlaneGeometry plane;
  Vec3 line;  // the first slickenline
  bool sense_known;
  std::uint32_t line_count;
  const Slickenline* lines;  // all of them (line_count > 1 only); borrowed
  double weight;
  double weight_squared;  // weight * weight, as the sum of squares adds it
};

// Angle in degrees between an observed line and a predicted unit slip s; a
// line without known sense takes the smaller of the two ways (NaN kept).
inline double line_misfit(const Vec3& l, bool sense_known, const Vec3& s) {
  double d = (l.e * s.e + l.n * s.n) + l.u * s.u;
  d = d < -1.0 ? -1.0 : (d > 1.0 ? 1.0 : d);
  const double angle = std::acos(d) * kRadiansToDegrees;
  if (sense_known) return angle;
  const double other = 180.0 - angle;
  return other < angle ? other : angle;
}

// The misfit of one prepared fault given the shear resolved on its plane;
// NaN when the shear does not clear kShearThreshold (no slip predicted).
inline double misfit_of_shear(const PreparedFault& f, const Vec3& shear, double shear_magnitude) {
  if (!(shear_magnitude > kShearThreshold)) return std::numeric_limits<double>::quiet_NaN();
  const Vec3 s = slip_of_shear(f.plane, shear, shear_magnitude).slip;
  if (f.line_count == 1) return 0.0 + line_misfit(f.line, f.sense_known, s);
  double sum = 0.0;
  for (std::uint32_t k = 0; k < f.line_count; ++k) sum += line_misfit(f.lines[k].direction, f.lines[k].sense_known, s);
  return sum / static_cast<double>(f.line_count);
}

// The misfit of one prepared fault under a tensor's matrix (NaN: none).
inline double prepared_misfit(const StressMatrix& matrix, const PreparedFault& f) {
  const TractionOnPlane r = resolve_traction(matrix, f.plane.normal);
  return misfit_of_shear(f, r.shear, r.shear_magnitude);
}

// The faults that a scoring pass visits: those of positive weight that can
// be scored, in their given order. Reusable: clear() keeps the capacity, so a
// caller that scores many weighted subsets (one per grid node) allocates only
// while the set grows.
class ScoringSet {
 public:
  void clear();
  // Adds one fault with its weight (1.0 when the set is unweighted). A
  // negative, NaN or infinite weight marks the whole set unusable; a zero
  // weight, a fault that is not finite or one without slickenline is left
  // out before any forward solution.
  void add(const FaultSlip& fault, double weight);
  void add_all(std::span<const FaultSlip> faults, std::optional<std::span<const double>> weights);

  bool usable() const { return usable_; }
  std::span<const PreparedFault> faults() const { return faults_; }
  // Sum of the weights of the faults in the set, added in order: no
  // candidate's scored weight can exceed it.
  double total_weight() const { return total_weight_; }
  // All weights lie within [2^-300, 2^300], so no sum of a scoring pass can
  // overflow or underflow, and the plain accumulation is exact to rounding.
  bool plain_range() const { return plain_range_; }

  // Per-fault scratch of score_prepared.
  std::vector<double>& misfit_scratch() const { return misfits_; }

  // Every weight of the set scaled by 2^shift, and its square, as the
  // wide-range pass adds them; computed on first use of a shift and kept, as
  // most candidates of a search share one.
  struct Scaled {
    int shift = 0;
    std::vector<double> weights;
    std::vector<double> squares;
  };
  const Scaled& scaled_weights(int shift) const;

 private:
  std::vector<PreparedFault> faults_;
  mutable std::vector<double> misfits_;
  mutable Scaled scaled_;
  mutable bool scaled_valid_ = false;
  double total_weight_ = 0.0;
  bool usable_ = true;
  bool plain_range_ = true;
};

// Running sums of one tensor's scoring pass.
struct FitSums {
  std::uint64_t count = 0;
  double sum_w = 0.0;
  double sum_wm = 0.0;
  double sum_ww = 0.0;

  // One scored fault: its weight, the weight squared and its misfit.
  void add(double weight, double weight_squared, double misfit) {
    count += 1;
    sum_w += weight;
    sum_wm += weight * misfit;
    sum_ww += weight_squared;
  }
};

// The FitScore of finished sums, or no value when the scored weight is zero.
inline std::optional<FitScore> fit_score_of(const FitSums& s) {
  if (!(s.sum_w > 0.0)) return std::nullopt;
  return FitScore{s.sum_wm / s.sum_w, s.count, s.sum_w * s.sum_w / s.sum_ww};
}

// The full scoring pass of one tensor over a set. For sets outside the plain
// range the weights of the scored faults are first rescaled by a power of
// two (which leaves the mean and the effective sample size unchanged in
// exact arithmetic) so that neither can become infinite or NaN.
std::optional<FitScore> score_prepared(const StressMatrix& matrix, const ScoringSet& set);

// The same pass given every fault's misfit (NaN: not scored), in set order.
std::optional<FitScore> score_misfits(const ScoringSet& set, const double* misfits);

}  // namespace velkor
