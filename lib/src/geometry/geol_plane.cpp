#include "geometry/geol_plane.hpp"

#include <algorithm>
#include <cmath>

#include "geometry/geol_axis.hpp"

namespace velkor {

double dip_direction_of_strike(double strike_degrees) { return wrap_azimuth(strike_degrees + 90.0); }

double strike_of_dip_direction(double dip_direction_degrees) { return wrap_azimuth(dip_direction_degrees - 90.0); }

Vec3 upward_normal(GeolPlane plane) {
  const double a = plane.dip_direction * kDegreesToRadians;
  const double d = plane.dip * kDegreesToRadians;
  return {std::sin(d) * std::sin(a), std::sin(d) * std::cos(a), std::cos(d)};
}

std::optional<Vec3> normalized_upward_normal(GeolPlane plane) { return normalized(upward_normal(plane)); }

Vec3 strike_vector(GeolPlane plane) {
  const double s = strike_of_dip_direction(plane.dip_direction) * kDegreesToRadians;
  return {std::sin(s), std::cos(s), 0.0};
}

Vec3 down_dip_vector(GeolPlane plane) { return axis_from_trend_plunge(plane.dip_direction, plane.dip); }

Vec3 slip_vector(GeolPlane plane, double rake_degrees) {
  const double s = strike_of_dip_direction(plane.dip_direction) * kDegreesToRadians;
  const double d = plane.dip * kDegreesToRadians;
  const double r = rake_degrees * kDegreesToRadians;
  const Vec3 v{std::cos(r) * std::sin(s) - std::cos(d) * std::sin(r) * std::cos(s),
               std::cos(r) * std::cos(s) + std::cos(d) * std::sin(r) * std::sin(s), std::sin(d) * std::sin(r)};
  return normalized_by_construction(v, "a slip vector built from strike, dip and rake");
}

double rake_of_direction(Vec3 direction, Vec3 strike, Vec3 down_dip) {
  const double rake = std::acos(std::clamp(dot(strike, direction), -1.0, 1.0)) * kRadiansToDegrees;
  return dot(direction, down_dip) > 0.0 ? -rake : rake;
}

GeolPlane attitude_of_normal(Vec3 normal) {
  Vec3 n = normal / norm(normal);
  if (n.u < 0.0) n = -n;
  const double dip = std::acos(std::min(n.u, 1.0)) * kRadiansToDegrees;
  double dip_direction = std::atan2(n.e, n.n) * kRadiansToDegrees;
  if (dip_direction < 0.0) dip_direction += 360.0;
  return {dip_direction, dip};
}

}  // namespace velkor
