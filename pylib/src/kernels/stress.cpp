// Wrappers of the stress functions: the reduced tensor, the forward model,
// the scoring of a given tensor and the exhaustive inversion.
#include <cmath>
#include <vector>

#include "frame/errors.hpp"
#include "frame/results.hpp"
#include "structural/fault_slip.hpp"
#include "structural/geol_axis.hpp"
#include "structural/stress.hpp"
#include "wrappers.hpp"

namespace velkor::py {
namespace {

ReducedStress checked_stress(double s1_trend, double s1_plunge, double s3_trend, double s3_plunge, double phi,
                             double sigma1, double sigma3) {
  auto stress = make_reduced_stress(s1_trend, s1_plunge, s3_trend, s3_plunge, phi, sigma1, sigma3);
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

}  // namespace

PyRef stress_tensor(const Arguments& args) {
  const double s1_trend = args.to_double(0);
  const double s1_plunge = args.to_double(1);
  const double s3_trend = args.to_double(2);
  const double s3_plunge = args.to_double(3);
  const double phi = args.to_double(4);
  const double sigma1 = args.to_double(5, 1.0);
  const double sigma3 = args.to_double(6, 0.0);
  const ReducedStress stress = checked_stress(s1_trend, s1_plunge, s3_trend, s3_plunge, phi, sigma1, sigma3);
  const StressMatrix m = stress_matrix(stress);
  return array_of(std::vector<double>(m.begin(), m.end()), {3, 3});
}

PyRef solve_stress(const Arguments& args) {
  const double s1_trend = args.to_double(0);
  const double s1_plunge = args.to_double(1);
  const double s3_trend = args.to_double(2);
  const double s3_plunge = args.to_double(3);
  const double phi = args.to_double(4);
  const double strike = args.to_double(5);
  const double dip = args.to_double(6);
  const double sigma1 = args.to_double(7, 1.0);
  const double sigma3 = args.to_double(8, 0.0);
  const double shear_threshold = args.to_double(9, kShearThreshold);
  const ReducedStress stress = checked_stress(s1_trend, s1_plunge, s3_trend, s3_plunge, phi, sigma1, sigma3);
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
  const double s1_trend = args.to_double(0);
  const double s1_plunge = args.to_double(1);
  const double s3_trend = args.to_double(2);
  const double s3_plunge = args.to_double(3);
  const double phi = args.to_double(4);
  const StridedView2D<double> faults = args.to_array2d<double>(5);
  const std::optional<StridedView1D<bool>> senses = args.to_optional_array1d<bool>(6);
  // The tensor is checked before the faults are looked at.
  const ReducedStress stress = checked_stress(s1_trend, s1_plunge, s3_trend, s3_plunge, phi, 1.0, 0.0);
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

}  // namespace velkor::py
