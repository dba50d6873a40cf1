// The stress functions: the forward model on one plane, the reduced tensor,
// the scoring of a given tensor and the exhaustive inversion.
#include "structural/stress.hpp"

#include <vector>

#include "frame/errors.hpp"
#include "frame/gil.hpp"
#include "frame/registration.hpp"
#include "frame/results.hpp"
#include "geometry/geol_axis.hpp"
#include "geometry/geol_plane.hpp"
#include "structural/fault_slip.hpp"
#include "structural/inversion.hpp"

namespace velkor::py {
namespace {

// The five leading parameters of the single-tensor functions: S1 and S3 as
// trend and plunge, then phi, converted in that order.
struct TensorArguments {
  double s1_trend, s1_plunge, s3_trend, s3_plunge, phi;
};

TensorArguments tensor_arguments(const Arguments& args) {
  const double s1_trend = args.to_double(0);
  const double s1_plunge = args.to_double(1);
  const double s3_trend = args.to_double(2);
  const double s3_plunge = args.to_double(3);
  const double phi = args.to_double(4);
  return {s1_trend, s1_plunge, s3_trend, s3_plunge, phi};
}

ReducedStress checked_stress(const TensorArguments& t, double sigma1, double sigma3) {
  return or_raise(make_reduced_stress(t.s1_trend, t.s1_plunge, t.s3_trend, t.s3_plunge, t.phi, sigma1, sigma3));
}

PyRef optional_float(const std::optional<double>& value) { return value ? float_object(*value) : none_object(); }

PyRef tensor_dict(const ScoredTensor& t) {
  return DictBuilder()
      .set("s1", axis_tuple(t.stress.s1()))
      .set("s2", axis_tuple(t.stress.s2()))
      .set("s3", axis_tuple(t.stress.s3()))
      .set("phi", float_object(t.stress.phi()))
      .set("mean_misfit_degrees", float_object(t.mean_misfit_degrees))
      .set("faults_scored", count_object(t.faults_scored))
      .set("effective_sample_size", float_object(t.effective_sample_size))
      .finish();
}

constexpr const char* kSolveStressParameters[] = {
    "s1_trend_degr",   "s1_plunge_degr", "s3_trend_degr", "s3_plunge_degr", "phi",
    "strike_rhr_degr", "dip_angle_degr", "sigma1",        "sigma3",         "shear_threshold"};

constexpr const char kSolveStressDoc[] =
    R"doc(solve_stress(s1_trend_degr, s1_plunge_degr, s3_trend_degr, s3_plunge_degr, phi, strike_rhr_degr, dip_angle_degr, sigma1=1.0, sigma3=0.0, shear_threshold=...)
--

The direct (forward) Wallace-Bott problem: resolve a reduced stress tensor onto one fault plane, predicting the slip it drives.

S1 and S3 are (trend, plunge) pairs in degrees (trend clockwise from North,
plunge positive downward) and must be sub-orthogonal to within one degree;
S2 completes the right-handed triad as S3 x S1. phi is the shape ratio
(sigma2 - sigma3) / (sigma1 - sigma3), in [0, 1]. The plane is given by its
right-hand-rule strike and dip in degrees. Stress is compression-positive and
the traction on the plane is -Sigma n for the upward unit normal n, so a
compressed plane has a negative normal stress.

Returns a dict with, in this order: is_valid, traction, traction_magnitude
(|t| signed like the normal component), normal_stress,
normal_stress_magnitude, shear_stress, shear_stress_magnitude (vectors as
(E, N, U) tuples), theoretical_rake (degrees, Aki & Richards, hanging wall),
theoretical_slickenline ((trend, plunge), plunge negative when the hanging
wall moves up), slip_tendency and deformation_index. The default magnitudes
sigma1=1, sigma3=0 leave the predicted rake correct but make slip_tendency
and deformation_index meaningless: give real magnitudes for those. The four
prediction entries are None where the shear stress does not exceed
shear_threshold (default 1e-5), because the plane sits on, or acutely close
to, a principal stress axis. NaN input gives NaN vectors and is_valid False.
Raises ValueError when S1 and S3 are not sub-orthogonal, phi is outside
[0, 1] or sigma1 is not greater than sigma3. The interpreter lock is held.)doc";

PyRef solve_stress(const Arguments& args) {
  const TensorArguments tensor = tensor_arguments(args);
  const double strike = args.to_double(5);
  const double dip = args.to_double(6);
  const double sigma1 = args.to_double(7, 1.0);
  const double sigma3 = args.to_double(8, 0.0);
  const double shear_threshold = args.to_double(9, kShearThreshold);
  const ReducedStress stress = checked_stress(tensor, sigma1, sigma3);
  const SlipPrediction p = resolve_on_plane(stress, dip_direction_of_strike(strike), dip, shear_threshold);
  return DictBuilder()
      .set("is_valid", bool_object(p.is_valid))
      .set("traction", tuple_of(p.traction))
      .set("traction_magnitude", float_object(p.traction_magnitude))
      .set("normal_stress", tuple_of(p.normal_stress))
      .set("normal_stress_magnitude", float_object(p.normal_stress_magnitude))
      .set("shear_stress", tuple_of(p.shear_stress))
      .set("shear_stress_magnitude", float_object(p.shear_stress_magnitude))
      .set("theoretical_rake", optional_float(p.rake))
      .set("theoretical_slickenline", p.slip_vector ? axis_tuple(*p.slip_vector) : none_object())
      .set("slip_tendency", optional_float(p.slip_tendency))
      .set("deformation_index", optional_float(p.deformation_index))
      .finish();
}

constexpr FunctionEntry kSolveStress{{"solve_stress", kSolveStressParameters, 7}, kSolveStressDoc, &solve_stress};

constexpr const char* kStressTensorParameters[] = {"s1_trend_degr", "s1_plunge_degr", "s3_trend_degr", "s3_plunge_degr",
                                                   "phi",           "sigma1",         "sigma3"};

constexpr const char kStressTensorDoc[] =
    R"doc(stress_tensor(s1_trend_degr, s1_plunge_degr, s3_trend_degr, s3_plunge_degr, phi, sigma1=1.0, sigma3=0.0)
--

The reduced stress tensor itself, as a 3x3 array in (East, North, Up).

Returns a C-ordered float64 array of shape (3, 3) whose entry [i][j] is the
component of row i, column j in (East, North, Up): sigma1 S1 S1^T +
sigma2 S2 S2^T + sigma3 S3 S3^T with sigma2 = (1 - phi) sigma3 + phi sigma1.
It exists so that callers do not rebuild the right-handed triad by hand: S2
is S3 x S1, not the other way round. S1 and S3 are (trend, plunge) pairs in
degrees, sub-orthogonal to within one degree and used as given (not
re-orthogonalised). sigma1/sigma3 default to 1/0, matching solve_stress and
the normalisation invert_stress searches in; unlike the misfit, the matrix
scales with them. NaN angles or magnitudes give NaN entries. Raises
ValueError for axes not sub-orthogonal, phi outside [0, 1] (NaN included) or
sigma1 not greater than sigma3. The interpreter lock is held.)doc";

PyRef stress_tensor(const Arguments& args) {
  const TensorArguments tensor = tensor_arguments(args);
  const double sigma1 = args.to_double(5, 1.0);
  const double sigma3 = args.to_double(6, 0.0);
  const ReducedStress stress = checked_stress(tensor, sigma1, sigma3);
  const StressMatrix m = stress_matrix(stress);
  return array_of(std::vector<double>(m.begin(), m.end()), {3, 3});
}

constexpr FunctionEntry kStressTensor{{"stress_tensor", kStressTensorParameters, 5}, kStressTensorDoc, &stress_tensor};

constexpr const char* kScoreStressParameters[] = {"s1_trend_degr", "s1_plunge_degr", "s3_trend_degr", "s3_plunge_degr",
                                                  "phi",           "faults",         "senses"};

constexpr const char kScoreStressDoc[] =
    R"doc(score_stress(s1_trend_degr, s1_plunge_degr, s3_trend_degr, s3_plunge_degr, phi, faults, senses=None)
--

Score one given tensor against a set of faults, without searching for it.

The tensor is given by S1 and S3 as (trend, plunge) pairs in degrees and the
shape ratio phi, with sigma1=1 and sigma3=0 (the misfit does not depend on
the magnitudes). faults is an (N, 4) float64 array of strike (right-hand
rule), dip, slickenline trend and slickenline plunge in degrees; senses an
optional (N,) bool array (True: the sense of slip is known; None or omitted:
all known). A fault's misfit is the angle in degrees between its
slickenline and the slip the tensor predicts on its plane; with the sense
unknown, the smaller of the two ways along the line.

Returns a dict with, in this order: mean_misfit_degrees (the unweighted mean,
None when no fault could be scored), faults_scored (int) and misfits (a new
(N,) float64 array, NaN where the tensor predicts no slip on the plane or the
fault has a non-finite angle). Raises ValueError for an invalid tensor
(before the faults are looked at), a column count other than 4, a senses
length mismatch, or a slickenline more than one degree off its plane. The
interpreter lock is held; one forward solution per fault.)doc";

PyRef score_stress(const Arguments& args) {
  const TensorArguments tensor = tensor_arguments(args);
  const StridedView2D<double> faults = args.to_array2d<double>(5);
  const std::optional<StridedView1D<bool>> senses = args.to_optional_array1d<bool>(6);
  // The tensor is checked before the faults are looked at.
  const ReducedStress stress = checked_stress(tensor, 1.0, 0.0);
  const std::vector<FaultSlip> parsed = or_raise(parse_fault_slips(faults, senses));
  FaultScores scores = score_each_fault(stress, parsed);
  const auto count = static_cast<std::int64_t>(scores.misfits.size());
  return DictBuilder()
      .set("mean_misfit_degrees", optional_float(scores.mean_misfit_degrees))
      .set("faults_scored", count_object(scores.faults_scored))
      .set("misfits", array_of(std::move(scores.misfits), {count}))
      .finish();
}

constexpr FunctionEntry kScoreStress{{"score_stress", kScoreStressParameters, 6}, kScoreStressDoc, &score_stress};

constexpr const char* kInvertStressParameters[] = {"faults", "senses", "weights", "angle_step_degrees", "phi_step"};

constexpr const char kInvertStressDoc[] =
    R"doc(invert_stress(faults, senses=None, weights=None, angle_step_degrees=10.0, phi_step=0.1)
--

The inverse Wallace-Bott problem: recover the reduced stress tensor that best explains a set of faults and the slip observed on them.

An exhaustive grid search, not a descent: the misfit surface is not convex,
and a set carrying two tectonic phases has two minima that both stay
visible. faults is an (N, 4) float64 array of strike (right-hand rule), dip,
slickenline trend and plunge in degrees; senses an optional (N,) bool array
(True: sense of slip known; None or omitted: all known); weights an optional
(N,) float64 array of finite non-negative weights (only their ratios matter;
zero leaves a fault out). Every S1 trend and plunge and every roll of S3
about S1 on a grid of angle_step_degrees (default 10), and every phi from 0
to 1 by phi_step (default 0.1), is scored with sigma1=1, sigma3=0: 71280
candidates at the defaults (see inversion_candidate_count). Faults on which
a candidate predicts no slip, or with a non-finite angle, are not scored.

Returns None when no candidate could be scored (no faults, all weights
zero). Otherwise a dict with, in this order: best (a tensor dict),
runners_up (a list of up to five tensor dicts in rank order),
candidates_tried and candidates_scored (ints). A tensor dict holds s1, s2,
s3 ((trend, plunge) in degrees of the unit axes, not folded: S2 and S3 may
have negative plunges), phi, mean_misfit_degrees, faults_scored and
effective_sample_size (Kish, (sum w)^2 / sum w^2). Candidates rank by mean
misfit, then larger effective sample size, then enumeration order. Raises
ValueError for steps that are not positive finite numbers (checked first),
then for the faults, senses and weights. The interpreter lock is released
during the search, which runs on the calling thread.)doc";

PyRef invert_stress(const Arguments& args) {
  const StridedView2D<double> faults = args.to_array2d<double>(0);
  const std::optional<StridedView1D<bool>> senses = args.to_optional_array1d<bool>(1);
  const std::optional<StridedView1D<double>> weights_view = args.to_optional_array1d<double>(2);
  const double angle_step = args.to_double(3, 10.0);
  const double phi_step = args.to_double(4, 0.1);
  or_raise(check_search_steps(angle_step, phi_step));
  const std::vector<FaultSlip> parsed = or_raise(parse_fault_slips(faults, senses));
  std::optional<std::vector<double>> weights;
  if (weights_view) weights = or_raise(validate_weights(*weights_view, parsed.size()));
  const std::optional<InversionResult> result = without_gil([&] {
    std::optional<std::span<const double>> weight_span;
    if (weights) weight_span = std::span<const double>(*weights);
    return search_stress(parsed, weight_span, angle_step, phi_step);
  });
  if (!result) return none_object();
  std::vector<PyRef> runners_up;
  for (const ScoredTensor& runner_up : result->runners_up()) runners_up.push_back(tensor_dict(runner_up));
  return DictBuilder()
      .set("best", tensor_dict(result->best))
      .set("runners_up", list_of(std::move(runners_up)))
      .set("candidates_tried", count_object(result->candidates_tried))
      .set("candidates_scored", count_object(result->candidates_scored))
      .finish();
}

constexpr FunctionEntry kInvertStress{{"invert_stress", kInvertStressParameters, 1}, kInvertStressDoc, &invert_stress};

constexpr const char* kInversionCandidateCountParameters[] = {"angle_step_degrees", "phi_step"};

constexpr const char kInversionCandidateCountDoc[] =
    R"doc(inversion_candidate_count(angle_step_degrees=10.0, phi_step=0.1)
--

How many candidate tensors `invert_stress` would visit on a given grid.

The closed form ceil(360 / a) * (floor(90 / a) + 1) * ceil(180 / a) *
(floor(1 / p) + 1) for angle step a in degrees (default 10) and phi step p
(default 0.1): S1 trends, S1 plunges, rolls of S3 about S1 and phi values.
71280 at the defaults, 1034208 at 5 and 0.05. Each quotient is saturated to
an unsigned 64-bit integer and the product is an exact Python int, so tiny
steps give a huge number rather than a wrapped one. An upper bound on
invert_stress's candidates_tried (frames dropped as degenerate are not
subtracted). Multiply by the number of weighted faults for the forward
solutions a search costs. Raises ValueError unless both steps are positive
finite numbers. The interpreter lock is held.)doc";

PyRef inversion_candidate_count(const Arguments& args) {
  const double angle_step = args.to_double(0, 10.0);
  const double phi_step = args.to_double(1, 0.1);
  or_raise(check_search_steps(angle_step, phi_step));
  return int_of(exact_candidate_count(angle_step, phi_step));
}

constexpr FunctionEntry kInversionCandidateCount{{"inversion_candidate_count", kInversionCandidateCountParameters, 0},
                                                 kInversionCandidateCountDoc,
                                                 &inversion_candidate_count};

}  // namespace

MethodTable stress_methods() {
  return method_table<kSolveStress, kStressTensor, kScoreStress, kInvertStress, kInversionCandidateCount>();
}

}  // namespace velkor::py
