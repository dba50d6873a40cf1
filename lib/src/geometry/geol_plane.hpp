#pragma once
// Planes by dip direction and dip (or right-hand-rule strike and dip), and
// slip directions within them by rake (Aki & Richards: 0 left-lateral,
// 90 reverse, +-180 right-lateral, -90 normal; hanging wall motion).
#include <optional>

#include "geometry/vec3.hpp"

namespace velkor {

struct GeolPlane {
  double dip_direction;  // degrees
  double dip;            // degrees
};

double dip_direction_of_strike(double strike_degrees);
double strike_of_dip_direction(double dip_direction_degrees);

// (sin d sin a, sin d cos a, cos d): unit by construction, not normalised.
Vec3 upward_normal(GeolPlane plane);

// The same vector divided by its norm; no value below the zero threshold.
std::optional<Vec3> normalized_upward_normal(GeolPlane plane);

// Horizontal unit vector along the right-hand-rule strike.
Vec3 strike_vector(GeolPlane plane);

// The axis of trend = dip direction, plunge = dip.
Vec3 down_dip_vector(GeolPlane plane);

// Unit slip vector (hanging wall relative to foot wall) of a rake in degrees.
Vec3 slip_vector(GeolPlane plane, double rake_degrees);

// Inverse of slip_vector for a unit direction in the plane, given the
// plane's strike and down-dip vectors: along strike is 0, against it 180.
double rake_of_direction(Vec3 direction, Vec3 strike, Vec3 down_dip);

// Dip direction and dip of a non-zero normal, either way up.
GeolPlane attitude_of_normal(Vec3 normal);

}  // namespace velkor
