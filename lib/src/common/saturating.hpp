#pragma once
// Floors of doubles as integer indices that never overflow: values beyond
// the integer range saturate at its ends, and NaN (which has no floor) maps
// to 0, so a NaN coordinate lands in the first cell instead of invoking an
// undefined conversion.
#include <cmath>
#include <cstdint>
#include <limits>

#if defined(__x86_64__)
#include <emmintrin.h>
#define VELKOR_TRUNCATE_WITH_SENTINEL 1
#endif

namespace velkor {

// In range, truncation toward zero is one instruction; stepping down when
// the truncated value lies above v gives the floor. Both steps are exact: a
// double of magnitude 2^52 or more is already an integer, and one below
// 2^63 in magnitude converts without loss of its integer part. (A library
// floor() is a call on the baseline instruction set; the kernels floor one
// to three quotients per point.)
//
// On x86-64 the truncating conversion itself flags the rare values: it gives
// INT64_MIN for NaN and for every value outside (-2^63 - 1, 2^63), and
// otherwise only for -2^63 itself (the doubles above it lie at least 1024
// away), so one integer test sends all of them to the general code.
inline std::int64_t saturating_floor_i64(double v) {
#if VELKOR_TRUNCATE_WITH_SENTINEL
  const std::int64_t truncated = _mm_cvttsd_si64(_mm_set_sd(v));
  if (truncated != std::numeric_limits<std::int64_t>::min()) [[likely]] {
    return truncated - static_cast<std::int64_t>(static_cast<double>(truncated) > v);
  }
#endif
  if (v >= -9223372036854775808.0 && v < 9223372036854775808.0) {
    const std::int64_t t = static_cast<std::int64_t>(v);
    return t - static_cast<std::int64_t>(static_cast<double>(t) > v);
  }
  if (std::isnan(v)) return 0;
  return v > 0.0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

// Negative and NaN values count as 0. A positive value truncates to its
// floor; below 2^63 through the cheap signed conversion, whose result, when
// positive, settles the common case with one test on x86-64.
inline std::uint64_t saturating_floor_u64(double v) {
#if VELKOR_TRUNCATE_WITH_SENTINEL
  const std::int64_t truncated = _mm_cvttsd_si64(_mm_set_sd(v));
  if (truncated > 0) [[likely]]
    return static_cast<std::uint64_t>(truncated);
#endif
  if (!(v > 0.0)) return 0;
  if (v < 9223372036854775808.0) return static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
  if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(v);
}

inline std::uint64_t saturating_increment(std::uint64_t a) {
  return a == std::numeric_limits<std::uint64_t>::max() ? a : a + 1;
}

}  // namespace velkor
