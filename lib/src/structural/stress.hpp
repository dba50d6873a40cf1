#pragma once
// The reduced stress tensor (orientation of S1, S2, S3 and the shape ratio
// phi) and the forward Wallace-Bott model: resolve the tensor on a plane and
// predict the slip direction as that of the resolved shear traction.
//
// Stress is compression-positive (sigma1 > sigma3); the traction on a plane
// with upward normal n is -Sigma n.
//
// The forward model is the unit of work of the scoring, the inversion and
// the stress field, called hundreds of millions of times. It is therefore
// split into a plane-only part (PlaneGeometry, computed once per fault) and a
// tensor-dependent part (resolve_traction + slip_of_shear, inline below).
// resolve_on_plane and every scoring loop run exactly these functions, or
// their operations lane by lane (fault_lanes), on the same inputs, so their
// results agree bit for bit.
#include <array>
#include <cmath>
#include <optional>

#include "common/core_error.hpp"
#include "geometry/geol_axis.hpp"
#include "geometry/vec3.hpp"

namespace velkor {

// Tolerance of the S1-S3 orthogonality test, in degrees.
inline constexpr double kStressAxesTolerance = 1.0;

class ReducedStress {
 public:
  // An empty placeholder (zero axes) so that fixed-size containers of
  // results can exist; every meaningful value comes from make_reduced_stress.
  ReducedStress() = default;

  Vec3 s1() const { return s1_; }
  Vec3 s2() const { return s2_; }
  Vec3 s3() const { return s3_; }
  double sigma1() const { return sigma1_; }
  double sigma3() const { return sigma3_; }
  double phi() const { return phi_; }
  // Never stored: (1 - phi) * sigma3 + phi * sigma1, always computed alike.
  double sigma2() const { return sigma2_at(phi_); }
  // What sigma2 would be with another shape ratio.
  double sigma2_at(double phi) const { return (1.0 - phi) * sigma3_ + phi * sigma1_; }

  // The same axes and magnitudes with another shape ratio (checked like
  // make_reduced_stress checks it). The axes are bit-identical to those a
  // fresh make_reduced_stress would build, since they do not depend on phi.
  CoreResult<ReducedStress> with_phi(double phi) const;

 private:
  friend CoreResult<ReducedStress> make_reduced_stress_of_axes(Vec3, Vec3, double, double, double);
  Vec3 s1_{}, s2_{}, s3_{};
  double sigma1_ = 0.0, sigma3_ = 0.0, phi_ = 0.0;
};

// Checks in order: S1-S3 within 1 degree of perpendicular (NaN passes), phi
// in [0, 1] (NaN fails), sigma1 > sigma3 (NaN passes). S2 = S3 x S1.
CoreResult<ReducedStress> make_reduced_stress(double s1_trend, double s1_plunge, double s3_trend, double s3_plunge,
                                              double phi, double sigma1, double sigma3);

// The same from the unit axes as axis_from_trend_plunge gives them (for
// callers that have them already).
CoreResult<ReducedStress> make_reduced_stress_of_axes(Vec3 s1, Vec3 s3, double phi, double sigma1, double sigma3);

// Row-major (East, North, Up) matrix
// Sigma[i][j] = sigma1 S1[i] S1[j] + sigma2 S2[i] S2[j] + sigma3 S3[i] S3[j].
using StressMatrix = std::array<double, 9>;

// The matrix of given axes and magnitudes, each entry summed in the order
// above. Inline: the search builds one per candidate.
inline StressMatrix stress_matrix(const Vec3& a, const Vec3& b, const Vec3& c, double sigma1, double sigma2,
                                  double sigma3) {
  const double s1v[3] = {a.e, a.n, a.u};
  const double s2v[3] = {b.e, b.n, b.u};
  const double s3v[3] = {c.e, c.n, c.u};
  StressMatrix m{};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      m[i * 3 + j] = sigma1 * s1v[i] * s1v[j] + sigma2 * s2v[i] * s2v[j] + sigma3 * s3v[i] * s3v[j];
    }
  }
  return m;
}

inline StressMatrix stress_matrix(const ReducedStress& stress) {
  return stress_matrix(stress.s1(), stress.s2(), stress.s3(), stress.sigma1(), stress.sigma2(), stress.sigma3());
}

// Everything of the forward model that depends on the plane alone.
struct PlaneGeometry {
  Vec3 normal;        // upward unit normal (sin d sin a, sin d cos a, cos d)
  Vec3 strike;        // (sin s, cos s, 0) divided by its norm, s = wrap(a - 90)
  Vec3 down_dip;      // axis of trend a, plunge d
  double sin_strike;  // sin s, cos s, sin d, cos d as the slip vector of a
  double cos_strike;  // rake uses them
  double sin_dip;
  double cos_dip;
};
PlaneGeometry plane_geometry(double dip_direction_degrees, double dip_degrees);

// The shear threshold below which no slip direction is predicted when
// scoring and searching (also the Python default of solve_stress).
inline constexpr double kShearThreshold = 1e-5;

struct TractionOnPlane {
  Vec3 traction;            // t = -Sigma n
  double normal_magnitude;  // m = t . n
  Vec3 shear;               // t - m n
  double shear_magnitude;   // |shear|
};

inline TractionOnPlane resolve_traction(const StressMatrix& s, const Vec3& n) {
  // T[i] = sum over j of Sigma[i][j] n[j], in j order; t = -T.
  const Vec3 t{-(s[0] * n.e + s[1] * n.n + s[2] * n.u), -(s[3] * n.e + s[4] * n.n + s[5] * n.u),
               -(s[6] * n.e + s[7] * n.n + s[8] * n.u)};
  const double m = dot(t, n);
  const Vec3 shear = t - m * n;
  return {t, m, shear, norm(shear)};
}

struct PredictedSlip {
  double rake;  // degrees, (-180, 180]
  Vec3 slip;    // unit slip vector of the hanging wall
};

[[noreturn]] void fail_degenerate_slip_vector();

// Valid only when shear_magnitude > threshold (so it is a positive number).
inline PredictedSlip slip_of_shear(const PlaneGeometry& g, const Vec3& shear, double shear_magnitude) {
  const Vec3 q = shear / shear_magnitude;
  double c = dot(g.strike, q);
  c = c < -1.0 ? -1.0 : (c > 1.0 ? 1.0 : c);
  const double theta = std::acos(c) * kRadiansToDegrees;
  // A shear with a down-dip component has a negative (normal) rake; one
  // exactly against the strike gets +180.
  const double rake = dot(q, g.down_dip) > 0.0 ? -theta : theta;
  // The slickenline is rebuilt from the rake so that the rake and the line
  // reported are exactly consistent.
  const double r = rake * kDegreesToRadians;
  const double cos_r = std::cos(r);
  const double sin_r = std::sin(r);
  const Vec3 v{cos_r * g.sin_strike - g.cos_dip * sin_r * g.cos_strike,
               cos_r * g.cos_strike + g.cos_dip * sin_r * g.sin_strike, g.sin_dip * sin_r};
  const double length = norm(v);
  if (length < kZeroLength) fail_degenerate_slip_vector();
  return {rake, v / length};
}

struct SlipPrediction {
  Vec3 traction;
  double traction_magnitude;  // |t|, negative when t . n < 0
  Vec3 normal_stress;
  double normal_stress_magnitude;
  Vec3 shear_stress;
  double shear_stress_magnitude;
  bool is_valid;  // shear_stress_magnitude > threshold
  // The four below are present exactly when is_valid.
  std::optional<double> rake;
  std::optional<Vec3> slip_vector;
  std::optional<double> slip_tendency;
  std::optional<double> deformation_index;
};

// Never fails on numeric input; allocates nothing.
SlipPrediction resolve_on_plane(const ReducedStress& stress, double dip_direction_degrees, double dip_degrees,
                                double shear_threshold);

}  // namespace velkor
