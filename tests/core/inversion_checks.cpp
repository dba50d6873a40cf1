// Checks of the stress core that no Python function reaches directly: the
// weighted scoring edge cases, the ranking's tie rules against a stable sort,
// and the identity of the pruned search with the unpruned and the
// store-everything-and-sort searches on random fault sets. Prints
// "name|value" lines that tests/test_inversion.py reads.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/lanes.hpp"
#include "geometry/geol_plane.hpp"
#include "structural/fault_lanes.hpp"
#include "structural/fault_slip.hpp"
#include "structural/inversion.hpp"
#include "structural/stress.hpp"

using namespace velkor;

namespace {

void put(const std::string& key, const std::string& value) { std::printf("%s|%s\n", key.c_str(), value.c_str()); }

std::string num(double x) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.17g", x);
  return buffer;
}

std::string fit(const std::optional<FitScore>& s) {
  if (!s) return "none";
  return num(s->mean_misfit_degrees) + " " + std::to_string(s->faults_scored) + " " + num(s->effective_sample_size);
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool same_vec(Vec3 a, Vec3 b) { return same_bits(a.e, b.e) && same_bits(a.n, b.n) && same_bits(a.u, b.u); }

bool same_tensor(const ScoredTensor& a, const ScoredTensor& b) {
  return same_vec(a.stress.s1(), b.stress.s1()) && same_vec(a.stress.s2(), b.stress.s2()) &&
         same_vec(a.stress.s3(), b.stress.s3()) && same_bits(a.stress.phi(), b.stress.phi()) &&
         same_bits(a.mean_misfit_degrees, b.mean_misfit_degrees) && a.faults_scored == b.faults_scored &&
         same_bits(a.effective_sample_size, b.effective_sample_size);
}

bool same_result(const std::optional<InversionResult>& a, const std::optional<InversionResult>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  if (a->candidates_tried != b->candidates_tried || a->candidates_scored != b->candidates_scored) return false;
  if (a->runner_up_count != b->runner_up_count || !same_tensor(a->best, b->best)) return false;
  for (std::size_t i = 0; i < a->runner_up_count; ++i) {
    if (!same_tensor(a->runners_up()[i], b->runners_up()[i])) return false;
  }
  return true;
}

FaultSlip fault_from(double strike, double dip, Vec3 line, bool sense) {
  return *make_fault_slip(wrap_azimuth(strike + 90.0), dip, {Slickenline{line, sense}});
}

// Faults whose slickenlines follow one tensor (rake perturbed by noise), or
// random rakes when `tensor` is empty.
std::vector<FaultSlip> synthetic(std::mt19937_64& g, std::size_t count, const std::optional<ReducedStress>& tensor,
                                 double noise_degrees, double unknown_fraction) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> noise(0.0, noise_degrees);
  std::vector<FaultSlip> faults;
  while (faults.size() < count) {
    const double strike = u(g) * 360.0, dip = 5.0 + u(g) * 85.0;
    const double dd = wrap_azimuth(strike + 90.0);
    double rake = u(g) * 360.0 - 180.0;
    if (tensor) {
      const SlipPrediction p = resolve_on_plane(*tensor, dd, dip, kShearThreshold);
      if (!p.is_valid) continue;
      rake = *p.rake + noise(g);
    }
    Vec3 line = slip_vector(GeolPlane{dd, dip}, rake);
    const bool sense = u(g) >= unknown_fraction;
    if (!sense && u(g) < 0.5) line = -line;
    faults.push_back(fault_from(strike, dip, line, sense));
  }
  return faults;
}

void compare_modes(const std::string& name, const SearchFrames& frames, const std::vector<FaultSlip>& faults,
                   const std::optional<std::vector<double>>& weights) {
  std::optional<std::span<const double>> w;
  if (weights) w = std::span<const double>(*weights);
  SearchScratch scratch;
  const auto pruned = search_stress(frames, faults, w, scratch, SearchMode::pruned);
  // The scratch is reused on purpose: results must not depend on its history.
  const auto bounded = search_stress(frames, faults, w, scratch, SearchMode::bounded);
  const auto sorted = search_stress(frames, faults, w, scratch, SearchMode::sort_all);
  std::string verdict = same_result(pruned, bounded) && same_result(pruned, sorted) ? "same" : "DIFFERENT";
  put("modes " + name, verdict);
  if (pruned) {
    put("abandoned " + name, pruned->candidates_abandoned > 0 ? "some" : "none");
    put("best " + name, num(pruned->best.mean_misfit_degrees) + " " + std::to_string(pruned->candidates_tried) + " " +
                            std::to_string(pruned->candidates_scored));
  } else {
    put("best " + name, "none");
  }
}

void mode_checks() {
  std::mt19937_64 g(20240611);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const SearchFrames coarse(30.0, 0.25);
  const SearchFrames medium(15.0, 0.2);
  const SearchFrames standard(10.0, 0.1);
  const ReducedStress on_grid = *make_reduced_stress(30.0, 60.0, 300.0, 0.0, 0.4, 1.0, 0.0);
  for (int trial = 0; trial < 24; ++trial) {
    const std::size_t n = std::vector<std::size_t>{1, 2, 3, 7, 20, 45}[trial % 6];
    const bool from_tensor = trial % 3 != 2;
    std::optional<ReducedStress> tensor;
    if (from_tensor) {
      const double t = u(g) * 360.0, p = u(g) * 90.0;
      const Vec3 s1 = axis_from_trend_plunge(t, p);
      const Vec3 other = normalized(cross(s1, Vec3{u(g) - 0.5, u(g) - 0.5, u(g) - 0.5})).value_or(Vec3{1, 0, 0});
      const TrendPlunge s3 = trend_plunge_of(other);
      tensor = *make_reduced_stress(t, p, s3.trend, s3.plunge, u(g), 1.0, 0.0);
    }
    const auto faults = synthetic(g, n, tensor, trial % 2 ? 2.0 : 15.0, trial % 4 == 1 ? 0.4 : 0.0);
    std::optional<std::vector<double>> weights;
    if (trial % 4 == 2) {
      weights.emplace();
      for (std::size_t i = 0; i < n; ++i) weights->push_back(u(g) < 0.25 ? 0.0 : std::exp(4.0 * u(g) - 2.0));
    } else if (trial % 4 == 3) {
      weights.emplace(n, 0.5);
    }
    compare_modes("coarse " + std::to_string(trial), coarse, faults, weights);
    compare_modes("medium " + std::to_string(trial), medium, faults, weights);
  }
  // Default grid: noiseless faults of an on-grid tensor, noisy ones, and two
  // superposed phases.
  const ReducedStress second = *make_reduced_stress(200.0, 10.0, 110.0, 0.0, 0.7, 1.0, 0.0);
  auto noiseless = synthetic(g, 30, on_grid, 0.0, 0.0);
  compare_modes("standard noiseless", standard, noiseless, std::nullopt);
  compare_modes("standard noisy", standard, synthetic(g, 40, on_grid, 5.0, 0.2), std::nullopt);
  auto two = synthetic(g, 25, on_grid, 3.0, 0.0);
  const auto more = synthetic(g, 15, second, 3.0, 0.0);
  two.insert(two.end(), more.begin(), more.end());
  std::vector<double> two_weights(two.size());
  for (double& w : two_weights) w = 0.5 + u(g);
  compare_modes("standard two phases", standard, two, two_weights);
  // Duplicated faults make many exact ties between candidates.
  std::vector<FaultSlip> twins(6, noiseless[0]);
  compare_modes("coarse twins", coarse, twins, std::nullopt);
  compare_modes("medium single", medium, std::vector<FaultSlip>{noiseless[1]}, std::nullopt);
  // Wide-range weights take the rescaled scoring path.
  std::vector<double> wide(noiseless.size());
  for (std::size_t i = 0; i < wide.size(); ++i) wide[i] = std::ldexp(1.0 + u(g), static_cast<int>(i % 3) * 700 - 700);
  compare_modes("medium wide weights", medium, noiseless, wide);
  // Frames regenerated on the fly give the same result as frames held.
  const SearchFrames lazy(15.0, 0.2, 0);
  SearchScratch s1, s2;
  const auto held = search_stress(medium, noiseless, std::nullopt, s1);
  const auto regenerated = search_stress(lazy, noiseless, std::nullopt, s2);
  put("lazy frames", std::string(lazy.materialised() ? "held" : "regenerated") + " " +
                         (same_result(held, regenerated) ? "same" : "DIFFERENT"));
  // Recovery: the on-grid tensor from its own noiseless faults.
  const auto found = search_stress(standard, noiseless, std::nullopt, s1);
  put("recovery", same_vec(found->best.stress.s1(), on_grid.s1()) && found->best.stress.phi() == 0.4 ? "exact" : "off");
}

// The vector loops of the search against the scalar forward model, fault by
// fault and bit for bit, on random sets with every kind of fault (unknown
// senses, several slickenlines, planes on a principal axis); and the screen
// against the exact mean: asked to prove that a candidate's mean exceeds its
// own exact mean, it must never succeed.
void lanes_checks() {
  std::mt19937_64 g(99);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  bool shears_same = true, misfits_same = true, screen_sound = true;
  std::size_t screened = 0;
  unsigned long long hash = 1469598103934665603ULL;
  const auto mix = [&hash](double v) {
    unsigned char bytes[8];
    std::memcpy(bytes, &v, 8);
    for (unsigned char b : bytes) hash = (hash ^ b) * 1099511628211ULL;
  };
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t n = 1 + trial % 37;
    const double t = 360.0 * u(g), p = 90.0 * u(g);
    const Vec3 other = *normalized(cross(axis_from_trend_plunge(t, p), Vec3{u(g) - 0.5, u(g) - 0.5, u(g) - 0.5}));
    const TrendPlunge s3 = trend_plunge_of(other);
    const ReducedStress tensor = *make_reduced_stress(t, p, s3.trend, s3.plunge, 0.0, 1.0, 0.0);
    std::vector<FaultSlip> faults = synthetic(g, n, trial % 2 ? std::optional(tensor) : std::nullopt, 8.0, 0.3);
    if (trial % 5 == 0) {
      // A plane normal to S1 (no slip), a horizontal and a vertical plane.
      const TrendPlunge s1 = trend_plunge_of(tensor.s1());
      const double dd = wrap_azimuth(s1.trend + 180.0), dip = 90.0 - s1.plunge;
      faults.push_back(*make_fault_slip(dd, dip, {Slickenline{slip_vector(GeolPlane{dd, dip}, 30.0), true}}));
      faults.push_back(fault_from(10.0, 0.0, Vec3{0.0, 1.0, 0.0}, false));
      faults.push_back(fault_from(10.0, 90.0, Vec3{0.0, 0.0, -1.0}, true));
    }
    if (trial % 3 == 0) {
      // Lines along the predicted slip, against it, and either way without sense.
      for (int k = 0; k < 4; ++k) {
        const double dd = 360.0 * u(g), dip = 5.0 + 80.0 * u(g);
        const SlipPrediction p = resolve_on_plane(tensor, dd, dip, kShearThreshold);
        if (!p.is_valid) continue;
        faults.push_back(*make_fault_slip(dd, dip, {Slickenline{k % 2 ? -*p.slip_vector : *p.slip_vector, k < 2}}));
      }
    }
    if (trial % 7 == 0) {
      const double dd = 360.0 * u(g), dip = 80.0 * u(g);
      faults.push_back(*make_fault_slip(dd, dip,
                                        {Slickenline{slip_vector(GeolPlane{dd, dip}, 10.0), true},
                                         Slickenline{slip_vector(GeolPlane{dd, dip}, 70.0), false}}));
    }
    ScoringSet set;
    for (const FaultSlip& f : faults) set.add(f, 0.25 + u(g));
    FaultColumns columns;
    columns.assign(set.faults());
    ShearColumns shears;
    shears.resize(columns.padded());
    std::vector<double> misfits(columns.padded());
    for (int candidate = 0; candidate < 8; ++candidate) {
      const ReducedStress stress = *tensor.with_phi(candidate / 7.0);
      const StressMatrix matrix = stress_matrix(stress);
      resolve_shears(matrix, columns, shears);
      misfits_from_shears(columns, shears, 0, columns.count(), misfits.data());
      FitSums sums;
      for (std::size_t i = 0; i < columns.count(); ++i) {
        const PreparedFault& f = set.faults()[i];
        const TractionOnPlane r = resolve_traction(matrix, f.plane.normal);
        shears_same = shears_same && same_vec(r.shear, Vec3{shears.e()[i], shears.n()[i], shears.u()[i]}) &&
                      same_bits(r.shear_magnitude, std::sqrt(shears.squared_magnitude()[i]));
        const double m = misfit_of_shear(f, r.shear, r.shear_magnitude);
        misfits_same = misfits_same && same_bits(m, misfits[i]);
        mix(misfits[i]);
        if (!std::isnan(m)) sums.add(f.weight, f.weight_squared, m);
      }
      // Fault by fault: the screen of a set of one is the bound of that fault.
      for (std::size_t i = 0; i < columns.count(); ++i) {
        ScoringSet one;
        one.add(faults[i], 1.0);
        if (one.faults().empty()) continue;
        FaultColumns alone;
        alone.assign(one.faults());
        const TractionOnPlane r = resolve_traction(matrix, one.faults()[0].plane.normal);
        const double m = misfit_of_shear(one.faults()[0], r.shear, r.shear_magnitude);
        if (!(m > 0.0)) continue;
        bool out = false;
        screen_candidates(&matrix, 1, alone, m * kDegreesToRadians * (1.0 + 1e-6), &out);
        screen_sound = screen_sound && !out;
      }
      const auto score = fit_score_of(sums);
      if (!score || !(score->mean_misfit_degrees > 0.0)) continue;
      // The limit the search would set were this candidate's mean the bound.
      const double limit = score->mean_misfit_degrees * set.total_weight() * kDegreesToRadians * (1.0 + 1e-6);
      // Alone and in a group beside two other candidates.
      const StressMatrix group[3] = {stress_matrix(*tensor.with_phi(0.5)), matrix,
                                     stress_matrix(*tensor.with_phi(1.0))};
      bool out[3] = {};
      screen_candidates(&matrix, 1, columns, limit, out);
      screen_sound = screen_sound && !out[0];
      screen_candidates(group, 3, columns, limit, out);
      screen_sound = screen_sound && !out[1];
      screen_candidates(&matrix, 1, columns, limit * 0.5, out);
      screened += out[0] ? 1 : 0;
    }
  }
  put("lanes shears", shears_same ? "same" : "DIFFERENT");
  put("lanes misfits", misfits_same ? "same" : "DIFFERENT");
  put("screen sound", screen_sound ? "yes" : "NO");
  put("screen fires", screened > 0 ? "some" : "never");
  char text[32];
  std::snprintf(text, sizeof text, "%016llx", hash);
  put("lanes hash", text);
}

void ranking_checks() {
  // Random streams with many ties, offered in enumeration order and in a
  // shuffled order, against a stable sort of everything.
  std::mt19937_64 g(7);
  std::uniform_int_distribution<int> small(0, 4);
  const ReducedStress base = *make_reduced_stress(0.0, 0.0, 90.0, 0.0, 0.0, 1.0, 0.0);
  bool in_order = true, shuffled = true;
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<std::pair<FitScore, std::uint64_t>> all;
    const int n = 1 + trial % 40;
    for (int i = 0; i < n; ++i) {
      all.emplace_back(FitScore{static_cast<double>(small(g)), 1, static_cast<double>(1 + small(g))},
                       static_cast<std::uint64_t>(i));
    }
    CandidateRanking ordered, mixed;
    for (const auto& [score, index] : all) ordered.offer(score, index, base, static_cast<double>(index) / 64.0);
    auto permuted = all;
    std::shuffle(permuted.begin(), permuted.end(), g);
    for (const auto& [score, index] : permuted) mixed.offer(score, index, base, static_cast<double>(index) / 64.0);
    std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
      return a.first.mean_misfit_degrees < b.first.mean_misfit_degrees ||
             (a.first.mean_misfit_degrees == b.first.mean_misfit_degrees &&
              a.first.effective_sample_size > b.first.effective_sample_size);
    });
    const std::size_t keep = std::min<std::size_t>(all.size(), 6);
    in_order = in_order && ordered.size() == keep;
    shuffled = shuffled && mixed.size() == keep;
    for (std::size_t i = 0; i < keep; ++i) {
      const double tag = static_cast<double>(all[i].second) / 64.0;  // phi tags the enumeration index
      in_order = in_order && ordered[i].stress.phi() == tag;
      shuffled = shuffled && mixed[i].stress.phi() == tag;
    }
  }
  put("ranking stable", in_order ? "same" : "DIFFERENT");
  put("ranking shuffled", shuffled ? "same" : "DIFFERENT");
  CandidateRanking tie;
  tie.offer(FitScore{1.0, 1, 1.0}, 0, base, 0.0);
  tie.offer(FitScore{1.0, 2, 2.0}, 1, base, 0.5);
  tie.offer(FitScore{1.0, 1, 1.0}, 2, base, 1.0);
  put("ranking ties", num(tie[0].stress.phi()) + " " + num(tie[1].stress.phi()) + " " + num(tie[2].stress.phi()));
}

void weight_checks() {
  // Three faults of a normal-faulting regime, all scorable.
  const ReducedStress normal = *make_reduced_stress(0.0, 90.0, 90.0, 0.0, 0.5, 1.0, 0.0);
  std::vector<FaultSlip> three;
  for (double strike : {0.0, 20.0, 200.0}) {
    const double dd = wrap_azimuth(strike + 90.0);
    three.push_back(fault_from(strike, 60.0, slip_vector(GeolPlane{dd, 60.0}, -80.0), true));
  }
  auto score = [&](std::vector<double> w) { return fit(score_fault_set(normal, three, std::span<const double>(w))); };
  put("weights unweighted", fit(score_fault_set(normal, three, std::nullopt)));
  put("weights ones", score({1.0, 1.0, 1.0}));
  put("weights 1 0 1", score({1.0, 0.0, 1.0}));
  put("weights 1 -0 1", score({1.0, -0.0, 1.0}));
  put("weights zeros", score({0.0, 0.0, 0.0}));
  put("weights 1 1e-6", fit(score_fault_set(normal, std::span<const FaultSlip>(three).first(2),
                                            std::span<const double>(std::vector<double>{1.0, 1e-6}))));
  put("weights short", score({1.0, 1.0}));
  put("weights negative", score({1.0, -1.0, 1.0}));
  put("weights nan", score({1.0, std::nan(""), 1.0}));
  put("weights inf", score({1.0, INFINITY, 1.0}));
  put("weights huge", score({1e300, 1e300, 1e300}));
  put("weights tiny", score({1e-320, 1e-320, 1e-320}));
  put("weights scaled", score({std::ldexp(1.0, 200), std::ldexp(1.0, 200), std::ldexp(1.0, 200)}));
  put("weights mixed range", score({1e300, 1e-300, 1.0}));
  put("empty unweighted", fit(score_fault_set(normal, {}, std::nullopt)));
  // A horizontal plane under a vertical S1 predicts nothing.
  std::vector<FaultSlip> flat{fault_from(0.0, 0.0, Vec3{0.0, 1.0, 0.0}, true)};
  put("misfit flat", fault_misfit_degrees(normal, flat[0]) ? "some" : "none");
  put("score flat", fit(score_fault_set(normal, flat, std::nullopt)));
  // A fault with a non-finite angle is never scored.
  auto nan_fault = *make_fault_slip(90.0, std::nan(""), {Slickenline{Vec3{0.0, 1.0, 0.0}, true}});
  put("misfit nan", fault_misfit_degrees(normal, nan_fault) ? "some" : "none");
  auto inf_line = *make_fault_slip(90.0, 60.0, {Slickenline{axis_from_trend_plunge(INFINITY, 0.0), true}});
  put("misfit inf line", fault_misfit_degrees(normal, inf_line) ? "some" : "none");
  // Several slickenlines on one fault: the mean of their angles.
  const double dd = 90.0;
  const Vec3 dip_line = slip_vector(GeolPlane{dd, 60.0}, -90.0);
  const Vec3 strike_line = slip_vector(GeolPlane{dd, 60.0}, 0.0);
  auto two_lines = *make_fault_slip(dd, 60.0, {Slickenline{dip_line, true}, Slickenline{strike_line, true}});
  put("misfit two lines", num(fault_misfit_degrees(normal, two_lines).value_or(-1.0)));
  auto no_lines = *make_fault_slip(dd, 60.0, {});
  put("misfit no lines", fault_misfit_degrees(normal, no_lines) ? "some" : "none");
  auto off = make_fault_slip(dd, 60.0, {Slickenline{dip_line, true}, Slickenline{Vec3{0.0, 0.0, 1.0}, true}});
  put("second line off plane", off ? "accepted" : message(off.error()));
}

void count_checks() {
  put("count default", std::to_string(candidate_count(10.0, 0.1)));
  put("count half", std::to_string(candidate_count(5.0, 0.05)));
  put("count coarse", std::to_string(candidate_count(100.0, 2.0)));
  put("count tiny", std::to_string(candidate_count(1e-300, 1e-300)));
  const SearchFrames two(200.0, 2.0);
  std::size_t frames = 0;
  two.for_each([&](const SearchFrames::Frame&) { ++frames; });
  put("frames 200", std::to_string(frames));
  // Building the grid of absurd steps costs nothing until a search runs.
  const SearchFrames absurd(1e-300, 5e-324);
  put("frames absurd",
      std::string(absurd.materialised() ? "held" : "regenerated") + " " + std::to_string(absurd.phi_count()));
  put("phi count",
      std::to_string(SearchFrames(10.0, 0.1).phi_count()) + " " + std::to_string(SearchFrames(10.0, 0.3).phi_count()));
  std::string first;
  enumerate_orientation_frames(10.0, [&](const OrientationFrame& f) {
    if (f.s1_plunge == 0.0 && f.s1_trend == 0.0 && first.size() < 200) {
      first += num(f.s3_trend) + "/" + num(f.s3_plunge) + " ";
    }
  });
  put("rolls at north", first);
}

}  // namespace

int main(int argc, char** argv) {
  // The second run of the checks: every loop at the baseline width.
  if (argc > 1 && std::strcmp(argv[1], "--baseline-lanes") == 0) lanes::restrict_to_baseline_lanes();
  std::printf("lanes %s\n", lanes::use_wide_lanes() ? "wide" : "baseline");
  count_checks();
  weight_checks();
  ranking_checks();
  mode_checks();
  lanes_checks();
  return 0;
}
