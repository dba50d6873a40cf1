#pragma once
// Floors of doubles as integer indices that never overflow: values beyond
// the integer range saturate at its ends, and NaN (which has no floor) maps
// to 0, so a NaN coordinate lands in the first cell instead of invoking an
// undefined conversion.
#include <cmath>
#include <cstdint>
#include <limits>

namespace velkor {

inline std::int64_t saturating_floor_i64(double v) {
  if (std::isnan(v)) return 0;
  const double f = std::floor(v);
  if (f >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (f < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(f);
}

// Negative and NaN values count as 0.
inline std::uint64_t saturating_floor_u64(double v) {
  if (!(v > 0.0)) return 0;
  const double f = std::floor(v);
  if (f >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(f);
}

inline std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
  std::int64_t sum;
  if (__builtin_add_overflow(a, b, &sum)) {
    return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
  }
  return sum;
}

inline std::uint64_t saturating_increment(std::uint64_t a) {
  return a == std::numeric_limits<std::uint64_t>::max() ? a : a + 1;
}

}  // namespace velkor
