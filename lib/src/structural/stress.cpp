#include "structural/stress.hpp"

#include <cmath>

#include "common/internal_failure.hpp"
#include "geometry/geol_plane.hpp"

namespace velkor {

CoreResult<ReducedStress> make_reduced_stress(double s1_trend, double s1_plunge, double s3_trend, double s3_plunge,
                                              double phi, double sigma1, double sigma3) {
  return make_reduced_stress_of_axes(axis_from_trend_plunge(s1_trend, s1_plunge),
                                     axis_from_trend_plunge(s3_trend, s3_plunge), phi, sigma1, sigma3);
}

CoreResult<ReducedStress> make_reduced_stress_of_axes(Vec3 s1, Vec3 s3, double phi, double sigma1, double sigma3) {
  // Written so that NaN passes the tolerance tests and fails the range test.
  // Up to |S1 . S3| = 0.0174 the angle lies within 89.003 and 90.997 degrees,
  // passing by a margin far above rounding, so its inverse cosine (needed
  // only for the message) is left out.
  if (!(std::fabs(dot(s1, s3)) <= 0.0174)) {
    const double angle = angle_between_directions(s1, s3);
    if (std::fabs(angle - 90.0) > kStressAxesTolerance) {
      return std::unexpected(CoreError{AxesNotSubOrthogonal{angle, kStressAxesTolerance}});
    }
  }
  if (!(phi >= 0.0 && phi <= 1.0)) return std::unexpected(CoreError{PhiOutOfRange{phi}});
  if (sigma1 <= sigma3) return std::unexpected(CoreError{SigmaOrder{sigma1, sigma3}});
  ReducedStress stress;
  stress.s1_ = s1;
  // Axes at least 89 degrees apart cannot have a vanishing cross product.
  stress.s2_ = normalized_by_construction(cross(s3, s1), "S2 = S3 x S1 of sub-orthogonal axes");
  stress.s3_ = s3;
  stress.sigma1_ = sigma1;
  stress.sigma3_ = sigma3;
  stress.phi_ = phi;
  return stress;
}

CoreResult<ReducedStress> ReducedStress::with_phi(double phi) const {
  if (!(phi >= 0.0 && phi <= 1.0)) return std::unexpected(CoreError{PhiOutOfRange{phi}});
  ReducedStress stress = *this;
  stress.phi_ = phi;
  return stress;
}

PlaneGeometry plane_geometry(double dip_direction_degrees, double dip_degrees) {
  const double a = dip_direction_degrees * kDegreesToRadians;
  const double d = dip_degrees * kDegreesToRadians;
  const double s = strike_of_dip_direction(dip_direction_degrees) * kDegreesToRadians;
  PlaneGeometry g{};
  g.sin_dip = std::sin(d);
  g.cos_dip = std::cos(d);
  g.sin_strike = std::sin(s);
  g.cos_strike = std::cos(s);
  g.normal = Vec3{g.sin_dip * std::sin(a), g.sin_dip * std::cos(a), g.cos_dip};
  const Vec3 strike{g.sin_strike, g.cos_strike, 0.0};
  const double strike_length = norm(strike);
  // NaN angles give a NaN length, which passes: NaN propagates, it is not a
  // broken invariant.
  if (strike_length < kZeroLength) fail_invariant("the strike vector of a plane cannot have zero length (ZeroVector)");
  g.strike = strike / strike_length;
  g.down_dip = axis_from_trend_plunge(dip_direction_degrees, dip_degrees);
  return g;
}

void fail_degenerate_slip_vector() {
  fail_invariant("a slip vector built from strike, dip and rake cannot have zero length (ZeroVector)");
}

SlipPrediction resolve_on_plane(const ReducedStress& stress, double dip_direction_degrees, double dip_degrees,
                                double shear_threshold) {
  const StressMatrix matrix = stress_matrix(stress);
  const PlaneGeometry g = plane_geometry(dip_direction_degrees, dip_degrees);
  const TractionOnPlane r = resolve_traction(matrix, g.normal);
  const double traction_norm = norm(r.traction);
  SlipPrediction p{};
  p.traction = r.traction;
  p.traction_magnitude = r.normal_magnitude < 0.0 ? -traction_norm : traction_norm;
  p.normal_stress = r.normal_magnitude * g.normal;
  p.normal_stress_magnitude = r.normal_magnitude;
  p.shear_stress = r.shear;
  p.shear_stress_magnitude = r.shear_magnitude;
  p.is_valid = r.shear_magnitude > shear_threshold;
  if (p.is_valid) {
    const PredictedSlip slip = slip_of_shear(g, r.shear, r.shear_magnitude);
    p.rake = slip.rake;
    p.slip_vector = slip.slip;
    p.slip_tendency = r.shear_magnitude / traction_norm;
    p.deformation_index = (traction_norm - r.shear_magnitude) / p.traction_magnitude;
  }
  return p;
}

}  // namespace velkor
