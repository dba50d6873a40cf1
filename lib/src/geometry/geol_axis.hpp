#pragma once
// Directed lines: trend (clockwise from North) and plunge (below the
// horizontal, negative upward), in degrees, held as unit vectors.
#include "geometry/vec3.hpp"

namespace velkor {

inline constexpr double kDegreesToRadians = 0.017453292519943295;
inline constexpr double kRadiansToDegrees = 57.29577951308232;
// An Up component above this counts as pointing up (lower-hemisphere rule).
inline constexpr double kHemisphereThreshold = 1e-12;

struct TrendPlunge {
  double trend;
  double plunge;
};

// fmod(x, 360), plus 360 when negative.
double wrap_azimuth(double degrees);

// Unit vector of a trend and plunge; no range check, NaN propagates.
Vec3 axis_from_trend_plunge(double trend_degrees, double plunge_degrees);

// Trend in [0, 360) and plunge in [-90, 90] of a unit vector, without
// hemisphere folding.
TrendPlunge trend_plunge_of(Vec3 direction);

// The same line pointing down (or horizontal).
Vec3 to_lower_hemisphere(Vec3 v);

// acos of the clamped dot product, in degrees: [0, 180].
double angle_between_directions(Vec3 a, Vec3 b);

// acos of the clamped |dot product|, in degrees: [0, 90].
double angle_between_lines(Vec3 a, Vec3 b);

// Normalisation of a vector whose length is guaranteed by construction; a
// zero vector here is a broken invariant named by `what`.
Vec3 normalized_by_construction(Vec3 v, const char* what);

}  // namespace velkor
