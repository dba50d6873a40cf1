#include "structural/fault_lanes.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/internal_failure.hpp"
#include "common/lanes.hpp"
#include "geometry/geol_axis.hpp"

namespace velkor {

namespace {

using lanes::kMaxLanes;
using lanes::Pack;

std::size_t whole_packs(std::size_t n) { return (n + kMaxLanes - 1) / kMaxLanes * kMaxLanes; }

// Screening a candidate before any inverse cosine or sine: a lower bound of
// each fault's misfit (radians) from the resolved shear s alone, with one
// division and one square root. With l the observed line, the angle a between
// s and l has cos^2 a = (s . l)^2 / |s|^2 and sin^2 a = 1 - cos^2 a, both
// squared lengths, so |s| itself is not needed here. The acute angle b
// between the two lines (b = a, or pi - a when s . l < 0) is bracketed
// through the smaller of its sine and cosine, p <= 1/sqrt(2):
//   S(p) = p + p^3/6 + 3 p^5/40 <= asin(p) <= S(p) + (5/56) p^7,
// the truncated series (every term positive) and its tail bounded by the
// next term over 1 - p^2 >= 1/2. So b lies in [S(p), S(p) + (5/56) p^7] when
// the sine is the smaller, in [pi/2 - S(p) - (5/56) p^7, pi/2 - S(p)] when
// the cosine is. The misfit is b for a line without sense and for s . l >= 0,
// and pi - b otherwise; the screen takes the low end of the bracket.
//
// Rounding moves cos^2 a by a few units of 2^-53 at most (the line is a unit
// vector to rounding), hence p by at most ~3e-8 (where p is near zero) and
// every bound by less; the misfit the forward model reports differs from the
// angle to the shear direction by rounding only (the slip is rebuilt from the
// rake; acos near +-1 loses at most ~5e-8 radians). kScreenSlack, far above
// both, is taken off every bound. Faults without a predicted slip are never
// scored and add nothing; the screen counts a fault only when its squared
// shear is clearly above the threshold's square, so that the threshold test
// itself is never in doubt.
//
// The caller compares the sum of weight x bound with a limit of bound x total
// weight (in radians) times 1 + 1e-6. The lanes add their terms in another
// order than fault order, and the sum of n positive terms in any order is
// within a relative n x 2^-53 of the exact one, as is the search's own
// weighted misfit sum: for any set that fits in memory that is far below the
// 1e-6 margin, so a sum above the limit still proves that the candidate's
// mean exceeds the bound.
constexpr double kScreenSlack = 1e-6;
constexpr double kScreenShearSquared = kShearThreshold * kShearThreshold * (1.0 + 1e-6);
constexpr double kHalfPi = 1.5707963267948966;

// resolve_traction of one fault pack, lane by lane; the square root of the
// squared shear is left to the exact pass.
template <std::size_t Lanes>
struct ShearPack {
  using P = Pack<Lanes>;
  using V = typename P::Value;
  V e, n, u, squared;

  [[gnu::always_inline]] ShearPack(const double* m, const V& n_e, const V& n_n, const V& n_u) {
    const V t_e = -(P::broadcast(m[0]) * n_e + P::broadcast(m[1]) * n_n + P::broadcast(m[2]) * n_u);
    const V t_n = -(P::broadcast(m[3]) * n_e + P::broadcast(m[4]) * n_n + P::broadcast(m[5]) * n_u);
    const V t_u = -(P::broadcast(m[6]) * n_e + P::broadcast(m[7]) * n_n + P::broadcast(m[8]) * n_u);
    const V normal = t_e * n_e + t_n * n_n + t_u * n_u;
    e = t_e - normal * n_e;
    n = t_n - normal * n_n;
    u = t_u - normal * n_u;
    squared = e * e + n * n + u * u;
  }
};

template <std::size_t Lanes>
[[gnu::always_inline]] inline void resolve_with(const StressMatrix& m, const FaultColumns& f, ShearColumns& s) {
  using P = Pack<Lanes>;
  const double* ne = f.column(FaultColumns::normal_e);
  const double* nn = f.column(FaultColumns::normal_n);
  const double* nu = f.column(FaultColumns::normal_u);
  const std::size_t count = f.count();
  for (std::size_t j = 0; j < count; j += Lanes) {
    const ShearPack<Lanes> shear(m.data(), P::load(ne + j), P::load(nn + j), P::load(nu + j));
    P::store(s.e() + j, shear.e);
    P::store(s.n() + j, shear.n);
    P::store(s.u() + j, shear.u);
    P::store(s.squared_magnitude() + j, shear.squared);
  }
}

// The screen of several candidates side by side: fault pack by fault pack,
// every candidate still in the running adds its bounds, and drops out as soon
// as its sum exceeds the limit. The candidates' chains of operations are
// independent, so they overlap where one candidate alone would wait.
template <std::size_t Lanes>
[[gnu::always_inline]] inline void screen_with(const StressMatrix* matrices, std::size_t candidates,
                                               const FaultColumns& f, double limit, bool* screened_out) {
  using P = Pack<Lanes>;
  using V = typename P::Value;
  using M = typename P::Mask;
  const double* ne = f.column(FaultColumns::normal_e);
  const double* nn = f.column(FaultColumns::normal_n);
  const double* nu = f.column(FaultColumns::normal_u);
  const double* le = f.column(FaultColumns::line_e);
  const double* ln = f.column(FaultColumns::line_n);
  const double* lu = f.column(FaultColumns::line_u);
  const double* unknown = f.column(FaultColumns::sense_unknown);
  const double* weight = f.column(FaultColumns::screen_weight);
  const V zero = P::broadcast(0.0), one = P::broadcast(1.0), shear_squared = P::broadcast(kScreenShearSquared);
  const V slack = P::broadcast(kScreenSlack), pi = P::broadcast(2.0 * kHalfPi), half_pi = P::broadcast(kHalfPi);
  const V c3 = P::broadcast(1.0 / 6.0), c5 = P::broadcast(3.0 / 40.0), c7 = P::broadcast(5.0 / 56.0);
  V sums[kScreenGroup];
  for (std::size_t k = 0; k < candidates; ++k) {
    sums[k] = zero;
    screened_out[k] = false;
  }
  std::size_t running = candidates;
  const std::size_t count = f.count();
  for (std::size_t j = 0; j < count && running > 0; j += Lanes) {
    const V n_e = P::load(ne + j), n_n = P::load(nn + j), n_u = P::load(nu + j);
    const V l_e = P::load(le + j), l_n = P::load(ln + j), l_u = P::load(lu + j);
    const M known = P::load(unknown + j) == zero;
    const V w = P::load(weight + j);
    for (std::size_t k = 0; k < candidates; ++k) {
      if (screened_out[k]) continue;
      const ShearPack<Lanes> shear(matrices[k].data(), n_e, n_n, n_u);
      const M counted = shear.squared > shear_squared;
      const V along = shear.e * l_e + shear.n * l_n + shear.u * l_u;
      const V cosine2 = along * along / P::select(counted, shear.squared, one);
      const V sine2 = one - cosine2;
      const M sine_smaller = sine2 < cosine2;
      const V p = P::sqrt(P::larger(zero, P::select(sine_smaller, sine2, cosine2)));
      const V p2 = p * p;
      const V series = p * (one + p2 * (c3 + p2 * c5));
      const V tail = c7 * (p2 * p2 * p2 * p);
      const V low = P::select(sine_smaller, series, half_pi - series - tail);
      const V high = P::select(sine_smaller, series + tail, half_pi - series);
      const V lower = P::select(known & (along < zero), pi - high, low) - slack;
      const V sum = sums[k] + P::select(counted & (lower > zero), w * lower, zero);
      sums[k] = sum;
      if (P::sum(sum) > limit) {
        screened_out[k] = true;
        --running;
      }
    }
  }
}

// Writes whole packs of misfits for faults [begin, begin + span).
constexpr std::size_t kStepBlock = 64;

template <std::size_t Lanes>
[[gnu::always_inline]] inline void misfits_with(const FaultColumns& f, const ShearColumns& s, std::size_t begin,
                                                std::size_t end, double* out) {
  using P = Pack<Lanes>;
  using V = typename P::Value;
  using M = typename P::Mask;
  const V zero = P::broadcast(0.0), one = P::broadcast(1.0), minus_one = P::broadcast(-1.0);
  const V threshold = P::broadcast(kShearThreshold), tiny = P::broadcast(kZeroLength);
  const V to_degrees = P::broadcast(kRadiansToDegrees), to_radians = P::broadcast(kDegreesToRadians);
  const V half_turn = P::broadcast(180.0), nan = P::broadcast(std::numeric_limits<double>::quiet_NaN());
  const double* stre = f.column(FaultColumns::strike_e);
  const double* strn = f.column(FaultColumns::strike_n);
  const double* stru = f.column(FaultColumns::strike_u);
  const double* dde = f.column(FaultColumns::down_dip_e);
  const double* ddn = f.column(FaultColumns::down_dip_n);
  const double* ddu = f.column(FaultColumns::down_dip_u);
  const double* sin_s = f.column(FaultColumns::sin_strike);
  const double* cos_s = f.column(FaultColumns::cos_strike);
  const double* sin_d = f.column(FaultColumns::sin_dip);
  const double* cos_d = f.column(FaultColumns::cos_dip);
  const double* le = f.column(FaultColumns::line_e);
  const double* ln = f.column(FaultColumns::line_n);
  const double* lu = f.column(FaultColumns::line_u);
  const double* unknown = f.column(FaultColumns::sense_unknown);
  const double* se = s.e();
  const double* sn = s.n();
  const double* su = s.u();
  const double* squared = s.squared_magnitude();
  // Values handed from one step to the next.
  alignas(64) double a[kStepBlock];
  alignas(64) double b[kStepBlock];
  alignas(64) double c[kStepBlock];
  alignas(64) double valid[kStepBlock];  // 1.0 where a slip is predicted
  bool degenerate = false;
  for (std::size_t start = begin; start < end; start += kStepBlock) {
    const std::size_t span = whole_packs(std::min(end - start, kStepBlock));
    // The unit shear q = shear / L, its cosine to the strike (clamped) and
    // whether it points down dip (slip_of_shear). Lanes without a predicted
    // slip divide by 1 instead, so that everything stays finite.
    for (std::size_t k = 0; k < span; k += Lanes) {
      const std::size_t i = start + k;
      const V length = P::sqrt(P::load(squared + i));
      const M slips = length > threshold;
      const V divisor = P::select(slips, length, one);
      const V q_e = P::load(se + i) / divisor, q_n = P::load(sn + i) / divisor, q_u = P::load(su + i) / divisor;
      V cosine = P::load(stre + i) * q_e + P::load(strn + i) * q_n + P::load(stru + i) * q_u;
      cosine = P::select(cosine < minus_one, minus_one, P::select(cosine > one, one, cosine));
      const M down = q_e * P::load(dde + i) + q_n * P::load(ddn + i) + q_u * P::load(ddu + i) > zero;
      P::store(a + k, cosine);
      P::store(b + k, P::flag(down));
      P::store(valid + k, P::flag(slips));
    }
    for (std::size_t k = 0; k < span; ++k) a[k] = std::acos(a[k]);
    // The rake, in radians.
    for (std::size_t k = 0; k < span; k += Lanes) {
      const V theta = P::load(a + k) * to_degrees;
      const V rake = P::select(P::load(b + k) != zero, -theta, theta);
      P::store(a + k, rake * to_radians);
    }
    for (std::size_t k = 0; k < span; ++k) {
      b[k] = std::sin(a[k]);
      c[k] = std::cos(a[k]);
    }
    // The slickenline rebuilt from the rake, normalised, and its cosine to
    // the observed line (line_misfit).
    for (std::size_t k = 0; k < span; k += Lanes) {
      const std::size_t i = start + k;
      const V sin_r = P::load(b + k), cos_r = P::load(c + k);
      const V cd = P::load(cos_d + i), ss = P::load(sin_s + i), cs = P::load(cos_s + i);
      const V v_e = cos_r * ss - cd * sin_r * cs;
      const V v_n = cos_r * cs + cd * sin_r * ss;
      const V v_u = P::load(sin_d + i) * sin_r;
      const V length = P::sqrt(v_e * v_e + v_n * v_n + v_u * v_u);
      degenerate = degenerate || P::any((P::load(valid + k) != zero) & (length < tiny));
      const V s_e = v_e / length, s_n = v_n / length, s_u = v_u / length;
      V d = P::load(le + i) * s_e + P::load(ln + i) * s_n + P::load(lu + i) * s_u;
      d = P::select(d < minus_one, minus_one, P::select(d > one, one, d));
      P::store(a + k, d);
    }
    if (degenerate) fail_degenerate_slip_vector();
    for (std::size_t k = 0; k < span; ++k) a[k] = std::acos(a[k]);
    // The angle in degrees, the smaller way round for a line without sense.
    for (std::size_t k = 0; k < span; k += Lanes) {
      const std::size_t i = start + k;
      const V angle = P::load(a + k) * to_degrees;
      const V other = half_turn - angle;
      const V folded = P::select(P::load(unknown + i) != zero, P::select(other < angle, other, angle), angle);
      const V misfit = zero + folded;
      P::store(out + (i - begin), P::select(P::load(valid + k) != zero, misfit, nan));
    }
  }
  // Faults of several slickenlines take the scalar route.
  for (const std::uint32_t i : f.several_lines()) {
    if (i < begin || i >= end) continue;
    const Vec3 shear{se[i], sn[i], su[i]};
    out[i - begin] = misfit_of_shear(f.faults()[i], shear, std::sqrt(squared[i]));
  }
}

void resolve_baseline(const StressMatrix& m, const FaultColumns& f, ShearColumns& s) { resolve_with<2>(m, f, s); }

void screen_baseline(const StressMatrix* m, std::size_t candidates, const FaultColumns& f, double limit, bool* out) {
  screen_with<2>(m, candidates, f, limit, out);
}

void misfits_baseline(const FaultColumns& f, const ShearColumns& s, std::size_t begin, std::size_t end, double* out) {
  misfits_with<2>(f, s, begin, end, out);
}

#if defined(VELKOR_WIDE_LANES)
[[gnu::target("avx2")]] void resolve_wide(const StressMatrix& m, const FaultColumns& f, ShearColumns& s) {
  resolve_with<4>(m, f, s);
}

[[gnu::target("avx2")]] void screen_wide(const StressMatrix* m, std::size_t candidates, const FaultColumns& f,
                                         double limit, bool* out) {
  screen_with<4>(m, candidates, f, limit, out);
}

[[gnu::target("avx2")]] void misfits_wide(const FaultColumns& f, const ShearColumns& s, std::size_t begin,
                                          std::size_t end, double* out) {
  misfits_with<4>(f, s, begin, end, out);
}
#endif

}  // namespace

void FaultColumns::assign(std::span<const PreparedFault> faults) {
  faults_ = faults;
  padded_ = whole_packs(faults.size());
  storage_.resize(kColumns * padded_);
  several_lines_.clear();
  double* const base = storage_.data();
  const auto put = [&](Column c, std::size_t i, double v) { base[c * padded_ + i] = v; };
  for (std::size_t i = 0; i < padded_; ++i) {
    if (i >= faults.size()) {
      // An inert fault: finite everywhere, weightless, never read back.
      for (std::size_t c = 0; c < kColumns; ++c) base[c * padded_ + i] = 0.0;
      put(normal_u, i, 1.0);
      put(line_e, i, 1.0);
      put(strike_e, i, 1.0);
      put(down_dip_n, i, 1.0);
      put(cos_strike, i, 1.0);
      put(cos_dip, i, 1.0);
      continue;
    }
    const PreparedFault& f = faults[i];
    if (f.line_count != 1) several_lines_.push_back(static_cast<std::uint32_t>(i));
    put(normal_e, i, f.plane.normal.e);
    put(normal_n, i, f.plane.normal.n);
    put(normal_u, i, f.plane.normal.u);
    put(line_e, i, f.line.e);
    put(line_n, i, f.line.n);
    put(line_u, i, f.line.u);
    put(sense_unknown, i, f.sense_known ? 0.0 : 1.0);
    put(screen_weight, i, f.line_count == 1 ? f.weight : 0.0);
    put(strike_e, i, f.plane.strike.e);
    put(strike_n, i, f.plane.strike.n);
    put(strike_u, i, f.plane.strike.u);
    put(down_dip_e, i, f.plane.down_dip.e);
    put(down_dip_n, i, f.plane.down_dip.n);
    put(down_dip_u, i, f.plane.down_dip.u);
    put(sin_strike, i, f.plane.sin_strike);
    put(cos_strike, i, f.plane.cos_strike);
    put(sin_dip, i, f.plane.sin_dip);
    put(cos_dip, i, f.plane.cos_dip);
  }
}

void ShearColumns::resize(std::size_t padded) {
  padded_ = padded;
  if (storage_.size() < 4 * padded) storage_.resize(4 * padded);
}

void resolve_shears(const StressMatrix& matrix, const FaultColumns& faults, ShearColumns& shears) {
#if defined(VELKOR_WIDE_LANES)
  if (lanes::use_wide_lanes()) return resolve_wide(matrix, faults, shears);
#endif
  resolve_baseline(matrix, faults, shears);
}

void screen_candidates(const StressMatrix* matrices, std::size_t candidates, const FaultColumns& faults, double limit,
                       bool* screened_out) {
  if (candidates > kScreenGroup) fail_invariant("at most kScreenGroup candidates are screened together");
#if defined(VELKOR_WIDE_LANES)
  if (lanes::use_wide_lanes()) return screen_wide(matrices, candidates, faults, limit, screened_out);
#endif
  screen_baseline(matrices, candidates, faults, limit, screened_out);
}

void misfits_from_shears(const FaultColumns& faults, const ShearColumns& shears, std::size_t begin, std::size_t end,
                         double* out) {
#if defined(VELKOR_WIDE_LANES)
  if (lanes::use_wide_lanes()) return misfits_wide(faults, shears, begin, end, out);
#endif
  misfits_baseline(faults, shears, begin, end, out);
}

}  // namespace velkor
