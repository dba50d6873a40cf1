#include "structural/fault_slip.hpp"

#include <algorithm>
#include <cmath>

#include "common/memory_limit.hpp"
#include "geometry/geol_axis.hpp"
#include "parallel/stop_check.hpp"
#include "text/number_format.hpp"

namespace velkor {
namespace {

// Weights inside this range keep every sum of a scoring pass (of any
// realistic number of faults) clear of overflow and underflow.
const double kPlainWeightLow = std::ldexp(1.0, -300);
const double kPlainWeightHigh = std::ldexp(1.0, 300);

bool is_finite_vector(const Vec3& v) { return std::isfinite(v.e) && std::isfinite(v.n) && std::isfinite(v.u); }

PreparedFault prepare(const FaultSlip& fault, double weight) {
  const Slickenline& first = fault.slickenlines.front();
  return PreparedFault{fault.plane,
                       first.direction,
                       first.sense_known,
                       static_cast<std::uint32_t>(fault.slickenlines.size()),
                       fault.slickenlines.data(),
                       weight,
                       weight * weight};
}

}  // namespace

CoreResult<FaultSlip> make_fault_slip(double dip_direction, double dip, std::vector<Slickenline> slickenlines) {
  FaultSlip fault{dip_direction, dip, std::move(slickenlines), plane_geometry(dip_direction, dip), false};
  const Vec3 n = fault.plane.normal;
  bool finite = std::isfinite(dip_direction) && std::isfinite(dip);
  for (std::size_t j = 0; j < fault.slickenlines.size(); ++j) {
    const Vec3 l = fault.slickenlines[j].direction;
    finite = finite && is_finite_vector(l);
    const double d = std::clamp(dot(n, l), -1.0, 1.0);
    const double off = std::fabs(std::acos(d) * kRadiansToDegrees - 90.0);
    if (off > kCoplanarityTolerance) {
      return std::unexpected(CoreError{SlickenlineOffPlane{j, off, kCoplanarityTolerance}});
    }
  }
  fault.finite = finite;
  return fault;
}

CoreResult<std::vector<FaultSlip>> parse_fault_slips(const StridedView2D<double>& faults,
                                                     const std::optional<StridedView1D<bool>>& senses) {
  if (faults.cols != 4)
    return refuse("faults must be an (N, 4) array of strike, dip, slickenline trend, slickenline plunge");
  const std::int64_t count = faults.rows;
  if (senses && senses->size != count) {
    return refuse("senses has " + text::format_count(static_cast<std::uint64_t>(senses->size)) + " entries for " +
                  text::format_count(static_cast<std::uint64_t>(count)) + " faults");
  }
  std::vector<FaultSlip> parsed;
  require_memory_for(static_cast<std::uint64_t>(count), sizeof(FaultSlip));
  parsed.reserve(static_cast<std::size_t>(count));
  for (std::int64_t i = 0; i < count; ++i) {
    if ((i & 4095) == 0) poll_stop();
    const double dip_direction = wrap_azimuth(faults(i, 0) + 90.0);
    const double dip = faults(i, 1);
    const Slickenline line{axis_from_trend_plunge(faults(i, 2), faults(i, 3)), senses ? (*senses)[i] : true};
    auto fault = make_fault_slip(dip_direction, dip, {line});
    if (!fault)
      return refuse_with_context("fault " + text::format_count(static_cast<std::uint64_t>(i)) + ": ", fault.error());
    parsed.push_back(std::move(*fault));
  }
  return parsed;
}

CoreResult<std::vector<double>> validate_weights(const StridedView1D<double>& weights, std::size_t fault_count) {
  if (weights.size < 0 || static_cast<std::size_t>(weights.size) != fault_count) {
    return refuse("weights has " + text::format_count(static_cast<std::uint64_t>(weights.size)) + " entries but " +
                  text::format_count(fault_count) + " faults were given");
  }
  std::vector<double> out(fault_count);
  for (std::size_t i = 0; i < fault_count; ++i) {
    const double w = weights[static_cast<std::int64_t>(i)];
    if (!(w >= 0.0)) {
      return refuse("weight " + text::format_count(i) + " is " + text::format_shortest(w) +
                    ": weights must be non-negative numbers");
    }
    // An infinite weight would turn every candidate's mean into NaN.
    if (std::isinf(w)) {
      return refuse("weight " + text::format_count(i) + " is inf: weights must be finite non-negative numbers");
    }
    out[i] = w;
  }
  return out;
}

const ScoringSet::Scaled& ScoringSet::scaled_weights(int shift) const {
  if (!scaled_valid_ || scaled_.shift != shift) {
    scaled_.shift = shift;
    scaled_.weights.resize(faults_.size());
    scaled_.squares.resize(faults_.size());
    for (std::size_t i = 0; i < faults_.size(); ++i) {
      const double w = std::ldexp(faults_[i].weight, shift);
      scaled_.weights[i] = w;
      scaled_.squares[i] = w * w;
    }
    scaled_valid_ = true;
  }
  return scaled_;
}

void ScoringSet::clear() {
  scaled_valid_ = false;
  faults_.clear();
  total_weight_ = 0.0;
  usable_ = true;
  plain_range_ = true;
}

void ScoringSet::add(const FaultSlip& fault, double weight) {
  if (!(weight >= 0.0) || std::isinf(weight)) {
    usable_ = false;
    return;
  }
  if (weight == 0.0 || !fault.finite || fault.slickenlines.empty()) return;
  faults_.push_back(prepare(fault, weight));
  scaled_valid_ = false;
  total_weight_ += weight;
  if (weight < kPlainWeightLow || weight > kPlainWeightHigh) plain_range_ = false;
}

void ScoringSet::add_all(std::span<const FaultSlip> faults, std::optional<std::span<const double>> weights) {
  if (weights && weights->size() != faults.size()) {
    usable_ = false;
    return;
  }
  for (std::size_t i = 0; i < faults.size(); ++i) add(faults[i], weights ? (*weights)[i] : 1.0);
}

std::optional<FitScore> score_misfits(const ScoringSet& set, const double* misfits) {
  if (!set.usable()) return std::nullopt;
  const std::span<const PreparedFault> faults = set.faults();
  FitSums sums;
  if (set.plain_range()) {
    for (std::size_t i = 0; i < faults.size(); ++i) {
      if (std::isnan(misfits[i])) continue;
      sums.add(faults[i].weight, faults[i].weight_squared, misfits[i]);
    }
    return fit_score_of(sums);
  }
  // Wide-range weights: find the largest scored weight first, then add the
  // scored weights rescaled so that it lies in [1, 2). Weights far below it
  // may round to zero; they still count as scored faults.
  double largest = 0.0;
  for (std::size_t i = 0; i < faults.size(); ++i) {
    if (!std::isnan(misfits[i])) largest = std::max(largest, faults[i].weight);
  }
  if (!(largest > 0.0)) return std::nullopt;
  const ScoringSet::Scaled& scaled = set.scaled_weights(-std::ilogb(largest));
  for (std::size_t i = 0; i < faults.size(); ++i) {
    if (std::isnan(misfits[i])) continue;
    sums.add(scaled.weights[i], scaled.squares[i], misfits[i]);
  }
  return fit_score_of(sums);
}

std::optional<FitScore> score_prepared(const StressMatrix& matrix, const ScoringSet& set) {
  if (!set.usable()) return std::nullopt;
  const std::span<const PreparedFault> faults = set.faults();
  std::vector<double>& misfits = set.misfit_scratch();
  misfits.resize(faults.size());
  for (std::size_t i = 0; i < faults.size(); ++i) misfits[i] = prepared_misfit(matrix, faults[i]);
  return score_misfits(set, misfits.data());
}

std::optional<double> fault_misfit_degrees(const ReducedStress& tensor, const FaultSlip& fault) {
  if (!fault.finite || fault.slickenlines.empty()) return std::nullopt;
  const double m = prepared_misfit(stress_matrix(tensor), prepare(fault, 1.0));
  if (std::isnan(m)) return std::nullopt;
  return m;
}

FaultScores score_each_fault(const ReducedStress& tensor, std::span<const FaultSlip> faults) {
  FaultScores scores;
  scores.misfits.resize(faults.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < faults.size(); ++i) {
    const std::optional<double> m = fault_misfit_degrees(tensor, faults[i]);
    scores.misfits[i] = m ? *m : std::nan("");
    if (!std::isnan(scores.misfits[i])) {
      scores.faults_scored += 1;
      sum += scores.misfits[i];
    }
  }
  if (scores.faults_scored > 0) scores.mean_misfit_degrees = sum / static_cast<double>(scores.faults_scored);
  return scores;
}

std::optional<FitScore> score_fault_set(const ReducedStress& tensor, std::span<const FaultSlip> faults,
                                        std::optional<std::span<const double>> weights) {
  if (!weights && faults.empty()) return std::nullopt;
  ScoringSet set;
  set.add_all(faults, weights);
  return score_prepared(stress_matrix(tensor), set);
}

}  // namespace velkor
