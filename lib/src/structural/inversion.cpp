#include "structural/inversion.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

#include "common/saturating.hpp"
#include "geometry/geol_axis.hpp"
#include "parallel/stop_check.hpp"
#include "structural/fault_lanes.hpp"

namespace velkor {
namespace {

// Loop bounds absorb the rounding that repeated addition accumulates.
constexpr double kPlungeStop = 89.999999999;
constexpr double kPlungeLimit = 90.000000001;
constexpr double kTrendLimit = 359.999999999;
constexpr double kRollLimit = 179.999999999;
constexpr double kPhiLimit = 1.000000001;

// Stride of the first, sparse pass of a pruned search.
constexpr std::size_t kSeedStride = 7;

// The reference vectors from which the roll of S3 is measured: the downward
// vertical (trend 0, plunge 90) unless S1 is within a degree of vertical,
// then East (trend 90, plunge 0), both as the axis conversion gives them.
constexpr Vec3 kDownReference{0.0, 6.123233995736766e-17, -1.0};
constexpr Vec3 kEastReference{1.0, 6.123233995736766e-17, -0.0};

std::uint64_t saturating_product(std::initializer_list<std::uint64_t> factors) {
  std::uint64_t product = 1;
  for (const std::uint64_t f : factors) {
    if (f == 0) return 0;
  }
  for (const std::uint64_t f : factors) {
    if (__builtin_mul_overflow(product, f, &product)) return std::numeric_limits<std::uint64_t>::max();
  }
  return product;
}

// Early abandon of a candidate that provably cannot enter the six best,
// that is whose final mean misfit must exceed `bound`, the current sixth
// mean. Two tests, both exact:
//
// Exact sums. The final weighted misfit sum is at least any running one (all
// terms >= 0, rounded addition is monotone); the final scored weight is at
// most the total weight of the set (a rounded sum over a subsequence never
// exceeds the rounded sum over the whole); rounded division is monotone in
// both operands. So running / total > bound implies final mean > bound,
// strictly, and such a candidate ranks after the sixth whatever its
// effective sample size. `limit` is a cheap pre-filter; the division decides.
//
// Screening (screen_candidates): before any inverse cosine or sine, a lower
// bound of every fault's misfit from the resolved shear alone, summed with
// the weights against bound x total (in radians) times kScreenMargin, a
// relative margin far above the rounding of either sum.
constexpr double kScreenMargin = 1.0 + 1e-6;

// How many faults the exact pass turns into misfits before it next adds them
// up and tests the bound: enough for the library calls to overlap, few enough
// that an abandoned candidate wastes little. Without a bound, all at once.
constexpr std::size_t kExactBlock = 16;

// The exact weighted sums of one candidate from its resolved shears, stopped
// (abandoned = true) as soon as they prove it cannot enter the six best. With
// infinite bound and limit it is the full pass. The faults are added in set
// order whatever the blocks. `misfits` has room for the set, padded.
FitSums score_shears(const FaultColumns& columns, const ShearColumns& shears, double* misfits, double total,
                     double bound, double limit, bool& abandoned) {
  const std::span<const PreparedFault> faults = columns.faults();
  const std::size_t block = limit < std::numeric_limits<double>::infinity() ? kExactBlock : faults.size();
  FitSums sums;
  for (std::size_t start = 0; start < faults.size(); start += block) {
    const std::size_t end = std::min(faults.size(), start + block);
    misfits_from_shears(columns, shears, start, end, misfits);
    for (std::size_t i = start; i < end; ++i) {
      const double m = misfits[i - start];
      if (std::isnan(m)) continue;
      sums.add(faults[i].weight, faults[i].weight_squared, m);
      if (sums.sum_wm > limit && sums.sum_wm / total > bound) {
        abandoned = true;
        return sums;
      }
    }
  }
  return sums;
}

}  // namespace

bool CandidateRanking::offer(const FitScore& score, std::uint64_t index, const ReducedStress& frame_stress,
                             double phi) {
  const Key key{score.mean_misfit_degrees, score.effective_sample_size, index};
  std::size_t pos = size_;
  while (pos > 0 && better(key, keys_[pos - 1])) --pos;
  if (pos >= kSize) return false;
  const std::size_t last = size_ < kSize ? size_ : kSize - 1;
  for (std::size_t i = last; i > pos; --i) {
    keys_[i] = keys_[i - 1];
    entries_[i] = entries_[i - 1];
  }
  keys_[pos] = key;
  // The axes do not depend on phi, and phi lies in [0, 1] by construction.
  entries_[pos] = ScoredTensor{*frame_stress.with_phi(phi), score.mean_misfit_degrees, score.faults_scored,
                               score.effective_sample_size};
  if (size_ < kSize) ++size_;
  return true;
}

CoreResult<void> check_search_steps(double angle_step_degrees, double phi_step) {
  if (angle_step_degrees > 0.0 && angle_step_degrees <= DBL_MAX && phi_step > 0.0 && phi_step <= DBL_MAX) return {};
  return refuse("angle_step_degrees and phi_step must be positive finite numbers");
}

namespace {

// The enumeration, handing each frame's S1 vector along (it is the very
// axis_from_trend_plunge of the frame's S1 trend and plunge). The roll
// values, and so their cosines and sines, are the same for every trend: they
// are kept from the first (up to a bound on the memory).
template <class Visit>
void enumerate_frames(double step, Visit&& visit) {
  constexpr std::size_t kKeptRolls = 4096;
  std::vector<std::pair<double, double>> rolls;
  bool rolls_complete = false;
  double p = 0.0;
  while (true) {
    const Vec3 reference = std::fabs(p) <= 89.0 ? kDownReference : kEastReference;
    for (double t = 0.0; t < kTrendLimit; t += step) {
      const Vec3 s1 = axis_from_trend_plunge(t, p);
      const auto unit_p = normalized(cross(s1, reference));
      if (!unit_p) continue;  // degenerate: this trend value yields no frames
      const Vec3 pv = *unit_p;
      const Vec3 qv = cross(s1, pv);
      std::size_t k = 0;
      for (double r = 0.0; r < kRollLimit; r += step, ++k) {
        double cosine, sine;
        if (rolls_complete && k < rolls.size()) {
          cosine = rolls[k].first;
          sine = rolls[k].second;
        } else {
          const double radians = r * kDegreesToRadians;
          cosine = std::cos(radians);
          sine = std::sin(radians);
          if (!rolls_complete && k < kKeptRolls) rolls.emplace_back(cosine, sine);
        }
        const auto s3 = normalized(cosine * pv + sine * qv);
        if (!s3) continue;
        const TrendPlunge axis = trend_plunge_of(*s3);
        visit(OrientationFrame{t, p, axis.trend, axis.plunge}, s1);
      }
      rolls_complete = true;
    }
    if (p >= kPlungeStop) break;
    p += step;
    if (!(p <= kPlungeLimit)) break;
  }
}

// make_frame, given the frame's S1 vector.
SearchFrames::Frame frame_of(const OrientationFrame& o, const Vec3& s1) {
  auto stress = make_reduced_stress_of_axes(s1, axis_from_trend_plunge(o.s3_trend, o.s3_plunge), 0.0, 1.0, 0.0);
  return SearchFrames::Frame{o, stress ? std::optional<ReducedStress>(*stress) : std::nullopt};
}

}  // namespace

void enumerate_orientation_frames(double step, const std::function<void(const OrientationFrame&)>& visit) {
  enumerate_frames(step, [&visit](const OrientationFrame& o, const Vec3&) { visit(o); });
}

CandidateFactors candidate_factors(double angle_step_degrees, double phi_step) {
  return CandidateFactors{
      saturating_floor_u64(std::ceil(360.0 / angle_step_degrees)), saturating_floor_u64(90.0 / angle_step_degrees),
      saturating_floor_u64(std::ceil(180.0 / angle_step_degrees)), saturating_floor_u64(1.0 / phi_step)};
}

WideCount exact_candidate_count(double angle_step_degrees, double phi_step) {
  const CandidateFactors f = candidate_factors(angle_step_degrees, phi_step);
  WideCount count(f.trends);
  count *= static_cast<unsigned __int128>(f.plunge_floor) + 1;
  count *= f.rolls;
  count *= static_cast<unsigned __int128>(f.phi_floor) + 1;
  return count;
}

std::uint64_t candidate_count(double angle_step_degrees, double phi_step) {
  const CandidateFactors f = candidate_factors(angle_step_degrees, phi_step);
  return saturating_product(
      {f.trends, saturating_increment(f.plunge_floor), f.rolls, saturating_increment(f.phi_floor)});
}

SearchFrames::Frame SearchFrames::make_frame(const OrientationFrame& o) {
  auto stress = make_reduced_stress(o.s1_trend, o.s1_plunge, o.s3_trend, o.s3_plunge, 0.0, 1.0, 0.0);
  return Frame{o, stress ? std::optional<ReducedStress>(*stress) : std::nullopt};
}

SearchFrames::SearchFrames(double angle_step_degrees, double phi_step, std::size_t max_frame_bytes)
    : angle_step_(angle_step_degrees), phi_step_(phi_step), phi_count_(0), materialised_(false) {
  // Counted with the very loop the search runs, when the closed form says it
  // is short (and so cannot stall).
  if (candidate_factors(1.0, phi_step).phi_floor < (std::uint64_t{1} << 20)) {
    for (double s = 0.0; s <= kPhiLimit; s += phi_step) ++phi_count_;
  }
  // The closed form counts the loop values up to the rounding that the
  // tolerances absorb; a value more per loop is headroom.
  const CandidateFactors f = candidate_factors(angle_step_degrees, 1.0);
  const std::uint64_t headroom =
      saturating_product({saturating_increment(f.trends), saturating_increment(saturating_increment(f.plunge_floor)),
                          saturating_increment(f.rolls)});
  materialised_ = headroom <= max_frame_bytes / sizeof(Frame);
}

std::span<const SearchFrames::Frame> SearchFrames::held() const {
  if (!materialised_) return {};
  std::call_once(built_, [this] {
    const CandidateFactors f = candidate_factors(angle_step_, 1.0);
    frames_.reserve(static_cast<std::size_t>(
        saturating_product({saturating_increment(f.trends), saturating_increment(saturating_increment(f.plunge_floor)),
                            saturating_increment(f.rolls)})));
    enumerate_frames(angle_step_,
                     [this](const OrientationFrame& o, const Vec3& s1) { frames_.push_back(frame_of(o, s1)); });
  });
  return frames_;
}

void SearchFrames::for_each(const std::function<void(const Frame&)>& visit) const {
  if (materialised_) {
    for (const Frame& frame : held()) visit(frame);
    return;
  }
  enumerate_frames(angle_step_, [&visit](const OrientationFrame& o, const Vec3& s1) { visit(frame_of(o, s1)); });
}

std::optional<InversionResult> search_prepared(const SearchFrames& frames, SearchScratch& scratch, SearchMode mode) {
  const ScoringSet& set = scratch.set;
  if (!set.usable() || set.faults().empty()) return std::nullopt;  // nothing can ever be scored
  const std::span<const PreparedFault> faults = set.faults();
  const double total = set.total_weight();
  // The bound arguments need sums clear of overflow and underflow.
  const bool prune = mode == SearchMode::pruned && set.plain_range();
  const double phi_step = frames.phi_step();
  FaultColumns& columns = scratch.columns;
  columns.assign(faults);
  ShearColumns& shears = scratch.shears;
  shears.resize(columns.padded());
  scratch.misfits.resize(std::max(columns.padded(), kExactBlock));
  double* const misfits = scratch.misfits.data();

  CandidateRanking top;
  std::vector<std::pair<FitScore, ScoredTensor>> everything;  // SearchMode::sort_all only
  std::uint64_t tried = 0;
  std::uint64_t scored = 0;
  std::uint64_t abandoned_count = 0;
  constexpr double kNever = std::numeric_limits<double>::infinity();
  double bound = kNever;
  double limit = kNever;
  double screen_limit = kNever;

  // Candidate index = first_index + k for the k-th phi value of a frame. The
  // phi values are taken in groups, screened together once a bound is known
  // (with the bound of the group's start, which only errs on the safe side),
  // then scored one by one.
  auto visit = [&](const SearchFrames::Frame& frame, std::uint64_t first_index) {
    std::uint64_t k = 0;
    double s = 0.0;
    while (s <= kPhiLimit) {
      // Once in every 256 candidates tried (a group is never longer than 16).
      if ((tried & 255) < kScreenGroup) poll_stop();
      double phis[kScreenGroup];
      std::size_t group = 0;
      for (; group < kScreenGroup && s <= kPhiLimit; s += phi_step) phis[group++] = std::min(s, 1.0);
      if (!frame.stress) {
        tried += group;
        k += group;
        continue;
      }
      const ReducedStress& axes = *frame.stress;
      StressMatrix matrices[kScreenGroup];
      for (std::size_t g = 0; g < group; ++g) {
        matrices[g] =
            stress_matrix(axes.s1(), axes.s2(), axes.s3(), axes.sigma1(), axes.sigma2_at(phis[g]), axes.sigma3());
      }
      bool screened_out[kScreenGroup] = {};
      if (screen_limit < kNever) screen_candidates(matrices, group, columns, screen_limit, screened_out);
      for (std::size_t g = 0; g < group; ++g, ++k) {
        const double phi = phis[g];
        ++tried;
        std::optional<FitScore> score;
        if (!set.plain_range()) {
          resolve_shears(matrices[g], columns, shears);
          misfits_from_shears(columns, shears, 0, faults.size(), misfits);
          score = score_misfits(set, misfits);
        } else {
          bool abandoned = screened_out[g];
          FitSums sums;
          if (!abandoned) {
            resolve_shears(matrices[g], columns, shears);
            sums = score_shears(columns, shears, misfits, total, bound, limit, abandoned);
          }
          if (abandoned) {
            // Abandoned candidates have scored at least one fault (the
            // screen counts only faults with a predicted slip), so they count
            // as scored, as they would in the full computation.
            ++scored;
            ++abandoned_count;
            continue;
          }
          score = fit_score_of(sums);
        }
        if (!score) continue;
        ++scored;
        if (mode == SearchMode::sort_all) {
          everything.emplace_back(*score, ScoredTensor{*axes.with_phi(phi), score->mean_misfit_degrees,
                                                       score->faults_scored, score->effective_sample_size});
          continue;
        }
        if (top.offer(*score, first_index + k, axes, phi) && top.full() && prune) {
          bound = top.worst_mean();
          limit = bound * total * (1.0 - 1e-12);
          // A zero bound leaves no room for the screen's margins.
          screen_limit = bound > 0.0 ? bound * total * kDegreesToRadians * kScreenMargin : kNever;
        }
      }
    }
  };

  const std::uint64_t phi_count = frames.phi_count();
  if (prune && frames.materialised() && phi_count > 0) {
    // A sparse first pass over every kSeedStride-th frame finds good
    // candidates all over the sphere early, so the bound is tight for the
    // rest; the ranking's enumeration-index key makes the order irrelevant.
    const std::span<const SearchFrames::Frame> held = frames.held();
    for (std::size_t i = 0; i < held.size(); i += kSeedStride) visit(held[i], i * phi_count);
    for (std::size_t i = 0; i < held.size(); ++i) {
      if (i % kSeedStride != 0) visit(held[i], i * phi_count);
    }
  } else {
    // In enumeration order, the candidates tried so far number the next one.
    frames.for_each([&](const SearchFrames::Frame& frame) { visit(frame, tried); });
  }

  if (scored == 0) return std::nullopt;
  InversionResult result{};
  if (mode == SearchMode::sort_all) {
    // The literal ranking: a stable sort of everything, enumeration order
    // breaking the remaining ties.
    std::stable_sort(everything.begin(), everything.end(), [](const auto& a, const auto& b) {
      if (a.first.mean_misfit_degrees != b.first.mean_misfit_degrees) {
        return a.first.mean_misfit_degrees < b.first.mean_misfit_degrees;
      }
      return a.first.effective_sample_size > b.first.effective_sample_size;
    });
    result.best = everything[0].second;
    result.runner_up_count = std::min(everything.size() - 1, kRunnersUp);
    for (std::size_t i = 0; i < result.runner_up_count; ++i) result.runner_up_storage[i] = everything[i + 1].second;
  } else {
    result.best = top[0];
    result.runner_up_count = top.size() - 1;
    for (std::size_t i = 1; i < top.size(); ++i) result.runner_up_storage[i - 1] = top[i];
  }
  result.candidates_tried = tried;
  result.candidates_scored = scored;
  result.candidates_abandoned = abandoned_count;
  return result;
}

std::optional<InversionResult> search_stress(const SearchFrames& frames, std::span<const FaultSlip> faults,
                                             std::optional<std::span<const double>> weights, SearchScratch& scratch,
                                             SearchMode mode) {
  scratch.set.clear();
  scratch.set.add_all(faults, weights);
  return search_prepared(frames, scratch, mode);
}

std::optional<InversionResult> search_stress(std::span<const FaultSlip> faults,
                                             std::optional<std::span<const double>> weights, double angle_step_degrees,
                                             double phi_step) {
  const SearchFrames frames(angle_step_degrees, phi_step);
  SearchScratch scratch;
  return search_stress(frames, faults, weights, scratch);
}

}  // namespace velkor
