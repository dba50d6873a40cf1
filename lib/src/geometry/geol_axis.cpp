#include "geometry/geol_axis.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "common/internal_failure.hpp"

namespace velkor {

double wrap_azimuth(double degrees) {
  double r = std::fmod(degrees, 360.0);
  if (r < 0.0) r += 360.0;
  return r;
}

Vec3 normalized_by_construction(Vec3 v, const char* what) {
  const auto unit = normalized(v);
  if (!unit) fail_invariant(std::string(what) + " cannot have zero length (ZeroVector)");
  return *unit;
}

Vec3 axis_from_trend_plunge(double trend_degrees, double plunge_degrees) {
  const double t = trend_degrees * kDegreesToRadians;
  const double p = plunge_degrees * kDegreesToRadians;
  const Vec3 v{std::sin(t) * std::cos(p), std::cos(t) * std::cos(p), -std::sin(p)};
  return normalized_by_construction(v, "an axis built from trend and plunge");
}

TrendPlunge trend_plunge_of(Vec3 direction) {
  double trend = std::atan2(direction.e, direction.n) * kRadiansToDegrees;
  if (trend < 0.0) trend += 360.0;
  if (trend >= 360.0) trend = 0.0;
  const double up = std::clamp(-direction.u, -1.0, 1.0);
  // clamp keeps NaN as NaN, which is what a NaN axis should give back.
  const double plunge = std::asin(up) * kRadiansToDegrees;
  return {trend, plunge};
}

Vec3 to_lower_hemisphere(Vec3 v) {
  if (v.u / norm(v) > kHemisphereThreshold) return -v;
  return v;
}

double angle_between_directions(Vec3 a, Vec3 b) {
  return std::acos(std::clamp(dot(a, b), -1.0, 1.0)) * kRadiansToDegrees;
}

double angle_between_lines(Vec3 a, Vec3 b) {
  return std::acos(std::min(std::fabs(dot(a, b)), 1.0)) * kRadiansToDegrees;
}

}  // namespace velkor
