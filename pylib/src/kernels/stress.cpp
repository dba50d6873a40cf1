// Wrappers of the stress functions: the reduced tensor, the forward model,
// the scoring of a given tensor and the exhaustive inversion.
#include <cmath>
#include <vector>

#include "frame/errors.hpp"
#include "frame/gil.hpp"
#include "frame/results.hpp"
#include "structural/fault_slip.hpp"
#include "structural/geol_axis.hpp"
#include "structural/inversion.hpp"
#include "structural/stress.hpp"
#include "wrappers.hpp"

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
  auto stress = make_reduced_stress(t.s1_trend, t.s1_plunge, t.s3_trend, t.s3_plunge, t.phi, sigma1, sigma3);
  if (!stress) raise_core_error(stress.error());
  return *stress;
}

std::vector<FaultSlip> parsed_faults(const StridedView2D<double>& faults,
                                     const std::optional<StridedView1D<bool>>& senses) {
  auto parsed = parse_fault_slips(faults, senses);
  if (!parsed) raise_value_error(parsed.error());
  return std::move(*parsed);
}

PyRef optional_float(const std::optional<double>& value) { return value ? float_object(*value) : none_object(); }

void check_steps(double angle_step, double phi_step) {
  if (!valid_search_steps(angle_step, phi_step)) {
    raise_value_error("angle_step_degrees and phi_step must be positive finite numbers");
  }
}

PyRef axis_object(Vec3 v) {
  const TrendPlunge axis = trend_plunge_of(v);
  return tuple_of(axis.trend, axis.plunge);
}

PyRef tensor_dict(const ScoredTensor& t) {
  return DictBuilder()
      .set("s1", axis_object(t.stress.s1()))
      .set("s2", axis_object(t.stress.s2()))
      .set("s3", axis_object(t.stress.s3()))
      .set("phi", float_object(t.stress.phi()))
      .set("mean_misfit_degrees", float_object(t.mean_misfit_degrees))
      .set("faults_scored", count_object(t.faults_scored))
      .set("effective_sample_size", float_object(t.effective_sample_size))
      .finish();
}

}  // namespace

PyRef stress_tensor(const Arguments& args) {
  const TensorArguments tensor = tensor_arguments(args);
  const double sigma1 = args.to_double(5, 1.0);
  const double sigma3 = args.to_double(6, 0.0);
  const ReducedStress stress = checked_stress(tensor, sigma1, sigma3);
  const StressMatrix m = stress_matrix(stress);
  return array_of(std::vector<double>(m.begin(), m.end()), {3, 3});
}

PyRef solve_stress(const Arguments& args) {
  const TensorArguments tensor = tensor_arguments(args);
  const double strike = args.to_double(5);
  const double dip = args.to_double(6);
  const double sigma1 = args.to_double(7, 1.0);
  const double sigma3 = args.to_double(8, 0.0);
  const double shear_threshold = args.to_double(9, kShearThreshold);
  const ReducedStress stress = checked_stress(tensor, sigma1, sigma3);
  const SlipPrediction p = resolve_on_plane(stress, wrap_azimuth(strike + 90.0), dip, shear_threshold);
  PyRef slickenline = none_object();
  if (p.slip_vector) {
    const TrendPlunge line = trend_plunge_of(*p.slip_vector);
    slickenline = tuple_of(line.trend, line.plunge);
  }
  return DictBuilder()
      .set("is_valid", bool_object(p.is_valid))
      .set("traction", tuple_of(p.traction))
      .set("traction_magnitude", float_object(p.traction_magnitude))
      .set("normal_stress", tuple_of(p.normal_stress))
      .set("normal_stress_magnitude", float_object(p.normal_stress_magnitude))
      .set("shear_stress", tuple_of(p.shear_stress))
      .set("shear_stress_magnitude", float_object(p.shear_stress_magnitude))
      .set("theoretical_rake", optional_float(p.rake))
      .set("theoretical_slickenline", std::move(slickenline))
      .set("slip_tendency", optional_float(p.slip_tendency))
      .set("deformation_index", optional_float(p.deformation_index))
      .finish();
}

PyRef score_stress(const Arguments& args) {
  const TensorArguments tensor = tensor_arguments(args);
  const StridedView2D<double> faults = args.to_array2d<double>(5);
  const std::optional<StridedView1D<bool>> senses = args.to_optional_array1d<bool>(6);
  // The tensor is checked before the faults are looked at.
  const ReducedStress stress = checked_stress(tensor, 1.0, 0.0);
  const std::vector<FaultSlip> parsed = parsed_faults(faults, senses);
  std::vector<double> misfits(parsed.size());
  std::uint64_t scored = 0;
  double sum = 0.0;
  for (std::size_t i = 0; i < parsed.size(); ++i) {
    const std::optional<double> m = fault_misfit_degrees(stress, parsed[i]);
    misfits[i] = m ? *m : std::nan("");
    if (!std::isnan(misfits[i])) {
      scored += 1;
      sum += misfits[i];
    }
  }
  const std::int64_t count = static_cast<std::int64_t>(misfits.size());
  return DictBuilder()
      .set("mean_misfit_degrees", scored > 0 ? float_object(sum / static_cast<double>(scored)) : none_object())
      .set("faults_scored", count_object(scored))
      .set("misfits", array_of(std::move(misfits), {count}))
      .finish();
}

PyRef invert_stress(const Arguments& args) {
  const StridedView2D<double> faults = args.to_array2d<double>(0);
  const std::optional<StridedView1D<bool>> senses = args.to_optional_array1d<bool>(1);
  const std::optional<StridedView1D<double>> weights_view = args.to_optional_array1d<double>(2);
  const double angle_step = args.to_double(3, 10.0);
  const double phi_step = args.to_double(4, 0.1);
  check_steps(angle_step, phi_step);
  const std::vector<FaultSlip> parsed = parsed_faults(faults, senses);
  std::optional<std::vector<double>> weights;
  if (weights_view) {
    auto checked_weights = validate_weights(*weights_view, parsed.size());
    if (!checked_weights) raise_value_error(checked_weights.error());
    weights = std::move(*checked_weights);
  }
  const std::optional<InversionResult> result = without_gil([&] {
    std::optional<std::span<const double>> weight_span;
    if (weights) weight_span = std::span<const double>(*weights);
    return search_stress(parsed, weight_span, angle_step, phi_step);
  });
  if (!result) return none_object();
  const std::span<const ScoredTensor> runners_up = result->runners_up();
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(runners_up.size())));
  for (std::size_t i = 0; i < runners_up.size(); ++i) {
    // PyList_SetItem steals the reference, even when it fails.
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tensor_dict(runners_up[i]).release()) != 0) {
      throw_python_error();
    }
  }
  return DictBuilder()
      .set("best", tensor_dict(result->best))
      .set("runners_up", std::move(list))
      .set("candidates_tried", count_object(result->candidates_tried))
      .set("candidates_scored", count_object(result->candidates_scored))
      .finish();
}

PyRef inversion_candidate_count(const Arguments& args) {
  const double angle_step = args.to_double(0, 10.0);
  const double phi_step = args.to_double(1, 0.1);
  check_steps(angle_step, phi_step);
  // Each factor is saturated to 64 bits; the product is exact, so steps that
  // are tiny give a big number, never a wrapped one.
  const CandidateFactors f = candidate_factors(angle_step, phi_step);
  const PyRef one = count_object(1);
  PyRef plunges = checked(PyNumber_Add(count_object(f.plunge_floor).get(), one.get()));
  PyRef phis = checked(PyNumber_Add(count_object(f.phi_floor).get(), one.get()));
  PyRef product = checked(PyNumber_Multiply(count_object(f.trends).get(), plunges.get()));
  product = checked(PyNumber_Multiply(product.get(), count_object(f.rolls).get()));
  return checked(PyNumber_Multiply(product.get(), phis.get()));
}

}  // namespace velkor::py
