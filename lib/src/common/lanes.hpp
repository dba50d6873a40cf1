#pragma once
// Several doubles side by side: two with the baseline instruction set, four
// where the processor has AVX2. Every operation is the plain IEEE one lane by
// lane (the build never contracts a multiply and an add into one), so each
// lane holds exactly what the scalar expression gives, bit for bit, whichever
// width runs. Loops written once on Pack<Lanes> are compiled twice, and the
// wide copy is chosen at run time (use_wide_lanes).
//
// The helpers are always inlined, so the four-lane types only ever live
// inside a function compiled for AVX2 and are never passed in registers
// across a call, which is all that GCC's -Wpsabi note is about: it is
// silenced for the files that include this header.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(VELKOR_BASELINE_ONLY)
#define VELKOR_WIDE_LANES 1
#endif

#pragma GCC diagnostic ignored "-Wpsabi"

namespace velkor::lanes {

using Double2 = double __attribute__((vector_size(16)));
using Mask2 = long long __attribute__((vector_size(16)));
using Double4 = double __attribute__((vector_size(32)));
using Mask4 = long long __attribute__((vector_size(32)));

template <std::size_t Lanes>
struct PackTypes;
template <>
struct PackTypes<2> {
  using Value = Double2;
  using Mask = Mask2;
};
template <>
struct PackTypes<4> {
  using Value = Double4;
  using Mask = Mask4;
};

// The most lanes any build uses: buffers that whole packs read or write are
// padded to a multiple of it.
inline constexpr std::size_t kMaxLanes = 4;

template <std::size_t Lanes>
struct Pack {
  using Value = typename PackTypes<Lanes>::Value;
  using Mask = typename PackTypes<Lanes>::Mask;
  static constexpr std::size_t kLanes = Lanes;

  [[gnu::always_inline]] static Value broadcast(double v) {
    Value r;
    for (std::size_t k = 0; k < Lanes; ++k) r[k] = v;
    return r;
  }
  [[gnu::always_inline]] static Value load(const double* p) {
    Value v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  [[gnu::always_inline]] static void store(double* p, const Value& v) { std::memcpy(p, &v, sizeof v); }
  [[gnu::always_inline]] static Value select(const Mask& m, const Value& a, const Value& b) { return m ? a : b; }
  [[gnu::always_inline]] static Value absolute(const Value& a) {
    return (Value)((Mask)a & (Mask)broadcast(std::bit_cast<double>(0x7fffffffffffffffLL)));
  }
  // std::max(a, b) lane by lane (a NaN in b gives a).
  [[gnu::always_inline]] static Value larger(const Value& a, const Value& b) { return select(a < b, b, a); }
  // Masks as 1.0 (set) or 0.0 (clear), for storing flags beside values.
  [[gnu::always_inline]] static Value flag(const Mask& m) { return select(m, broadcast(1.0), broadcast(0.0)); }
  [[gnu::always_inline]] static bool any(const Mask& m) {
    long long bits = 0;
    for (std::size_t k = 0; k < Lanes; ++k) bits |= m[k];
    return bits != 0;
  }
  // The lanes added pairwise (an order of its own: for bounds, not results).
  [[gnu::always_inline]] static double sum(const Value& v) {
    if constexpr (Lanes == 2) {
      return v[0] + v[1];
    } else {
      const Double2 pairs = Double2{v[0], v[1]} + Double2{v[2], v[3]};
      return pairs[0] + pairs[1];
    }
  }
  // Correctly rounded square roots. The four-lane one is written as the
  // instruction itself: an intrinsic would need the AVX target on this
  // generic helper, which then could not inline into the AVX2 copies.
  [[gnu::always_inline]] static Value sqrt(const Value& a) {
    if constexpr (Lanes == 2) {
#if defined(__SSE2__)
      return (Value)_mm_sqrt_pd((__m128d)a);
#else
      return Value{std::sqrt(a[0]), std::sqrt(a[1])};
#endif
    } else {
#if defined(VELKOR_WIDE_LANES)
      // One four-lane instruction; only ever reached inside the AVX2 copies.
      Value r;
      asm("vsqrtpd %1, %0" : "=x"(r) : "x"(a));
      return r;
#else
      const Double2 low = Pack<2>::sqrt(Double2{a[0], a[1]});
      const Double2 high = Pack<2>::sqrt(Double2{a[2], a[3]});
      return Value{low[0], low[1], high[0], high[1]};
#endif
    }
  }
};

namespace detail {
inline bool wide_lanes_allowed = true;
}

// Keeps every loop at the baseline width from now on, as a build without the
// wide copies runs: the core's checks compare both widths in one program.
// Call it before any work starts.
inline void restrict_to_baseline_lanes() { detail::wide_lanes_allowed = false; }

// Whether the four-lane copies may run on this processor (decided once).
inline bool use_wide_lanes() {
#if defined(VELKOR_WIDE_LANES)
  static const bool wide = __builtin_cpu_supports("avx2");
  return wide && detail::wide_lanes_allowed;
#else
  return false;
#endif
}

}  // namespace velkor::lanes
