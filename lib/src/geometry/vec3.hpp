#pragma once
// Three doubles in the right-handed (East, North, Up) frame.
#include <cmath>
#include <optional>

namespace velkor {

struct Vec3 {
  double e = 0.0;
  double n = 0.0;
  double u = 0.0;
};

// A vector shorter than this has no direction anywhere in the library.
inline constexpr double kZeroLength = 1e-9;

inline Vec3 operator+(Vec3 a, Vec3 b) { return {a.e + b.e, a.n + b.n, a.u + b.u}; }
inline Vec3 operator-(Vec3 a, Vec3 b) { return {a.e - b.e, a.n - b.n, a.u - b.u}; }
inline Vec3 operator-(Vec3 a) { return {-a.e, -a.n, -a.u}; }
inline Vec3 operator*(double s, Vec3 a) { return {s * a.e, s * a.n, s * a.u}; }
inline Vec3 operator/(Vec3 a, double s) { return {a.e / s, a.n / s, a.u / s}; }

inline double dot(Vec3 a, Vec3 b) { return a.e * b.e + a.n * b.n + a.u * b.u; }

inline Vec3 cross(Vec3 a, Vec3 b) { return {a.n * b.u - a.u * b.n, a.u * b.e - a.e * b.u, a.e * b.n - a.n * b.e}; }

inline double norm(Vec3 a) { return std::sqrt(dot(a, a)); }

// Checked normalisation: no value when the vector has no direction. NaN
// components give a NaN norm, which is not below the threshold, so NaN
// vectors normalise to NaN vectors.
inline std::optional<Vec3> normalized(Vec3 a) {
  const double length = norm(a);
  if (length < kZeroLength) return std::nullopt;
  return a / length;
}

}  // namespace velkor
