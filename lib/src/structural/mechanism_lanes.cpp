#include "structural/mechanism_lanes.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "common/lanes.hpp"
#include "geometry/geol_axis.hpp"
#include "parallel/stop_check.hpp"
#include "structural/kagan_lanes.hpp"

namespace velkor {

namespace {

using lanes::kMaxLanes;
using lanes::Pack;

// Beyond this |P . T| a row is checked by focal_mechanism_from_vectors
// itself: up to it, acos gives at least 89.003 degrees and at most 90.997,
// so the orthogonality test passes by a margin far above any rounding and
// its inverse cosine (needed only for the message) is not computed.
constexpr double kSurelyOrthogonal = 0.0174;

// Catalogues give their axes in whole degrees or tenths (moment-tensor
// catalogues, bulletins, field compilations), and a block of such rows spends
// nearly all its time in sincos. Every tenth of a degree from -360 to 360 has
// its sine and cosine here, computed once by the function the loop uses on
// the same double (k / 10.0 is the double nearest k tenths, the
// value a text reader gives for it), so a value looked up is bit for bit the
// value computed. Anything else (other reals, -0.0, NaN, beyond a turn) is
// computed.
struct SineCosine {
  double sine, cosine;
};

// The sine and cosine of an angle in degrees, as a row's axes take them.
inline SineCosine sine_cosine_of(double degrees) {
  const double radians = degrees * kDegreesToRadians;
  return {std::sin(radians), std::cos(radians)};
}

class TenthsOfDegree {
 public:
  static const TenthsOfDegree& table() {
    static const TenthsOfDegree instance;
    return instance;
  }

  // Writes the sine and cosine of `degrees` when it is one of the table's
  // values. On other values this costs a few arithmetic operations and one
  // well-predicted branch, and reads no memory.
  bool look_up(double degrees, double& sine, double& cosine) const {
    if (!(degrees >= -kLimit && degrees <= kLimit)) return false;
    // Positive before truncation, so this is the nearest tenth's index.
    const auto index = static_cast<std::int32_t>(degrees * 10.0 + (kSteps + 0.5));
    const double nearest = static_cast<double>(index - kSteps) / 10.0;
    if (nearest != degrees || (degrees == 0.0 && std::signbit(degrees))) return false;
    sine = values_[static_cast<std::size_t>(index)].sine;
    cosine = values_[static_cast<std::size_t>(index)].cosine;
    return true;
  }

 private:
  static constexpr std::int32_t kSteps = 3600;  // tenths in a turn
  static constexpr double kLimit = 360.0;

  TenthsOfDegree() {
    for (std::int32_t index = 0; index <= 2 * kSteps; ++index)
      values_[static_cast<std::size_t>(index)] = sine_cosine_of(static_cast<double>(index - kSteps) / 10.0);
  }

  std::array<SineCosine, 2 * kSteps + 1> values_;
};

// A block's values between the steps, one array per quantity, with room for
// whole packs.
struct Columns {
  static constexpr std::size_t kSize = kMechanismBlock + kMaxLanes;
  alignas(64) double v[8][kSize];
};

template <std::size_t Lanes>
struct Vector3 {
  using V = typename Pack<Lanes>::Value;
  V e, n, u;
};

// The unit vector of a trend and plunge from their sines and cosines
// (axis_from_trend_plunge), and the flag of a length below the threshold.
template <std::size_t Lanes>
[[gnu::always_inline]] inline Vector3<Lanes> unit_axis(const typename Pack<Lanes>::Value& sin_t,
                                                       const typename Pack<Lanes>::Value& cos_t,
                                                       const typename Pack<Lanes>::Value& sin_p,
                                                       const typename Pack<Lanes>::Value& cos_p,
                                                       typename Pack<Lanes>::Mask& unusual) {
  using P = Pack<Lanes>;
  using V = typename P::Value;
  const V e = sin_t * cos_p, n = cos_t * cos_p, u = -sin_p;
  const V length = P::sqrt(e * e + n * n + u * u);
  unusual |= ~(length >= P::broadcast(kZeroLength));
  return {e / length, n / length, u / length};
}

// focal_mechanism_from_vectors on unit P and T, lane by lane.
template <std::size_t Lanes>
[[gnu::always_inline]] inline void double_couple(const Vector3<Lanes>& p_axis, const Vector3<Lanes>& t_axis,
                                                 Vector3<Lanes>& t_out, Vector3<Lanes>& p_out,
                                                 typename Pack<Lanes>::Mask& unusual) {
  using P = Pack<Lanes>;
  using V = typename P::Value;
  using M = typename P::Mask;
  const V tiny = P::broadcast(kZeroLength), hemisphere = P::broadcast(kHemisphereThreshold);
  const V p_length = P::sqrt(p_axis.e * p_axis.e + p_axis.n * p_axis.n + p_axis.u * p_axis.u);
  const V t_length = P::sqrt(t_axis.e * t_axis.e + t_axis.n * t_axis.n + t_axis.u * t_axis.u);
  unusual |= ~(p_length >= tiny) | ~(t_length >= tiny);
  Vector3<Lanes> p{p_axis.e / p_length, p_axis.n / p_length, p_axis.u / p_length};
  Vector3<Lanes> t{t_axis.e / t_length, t_axis.n / t_length, t_axis.u / t_length};
  const M p_up = p.u > hemisphere, t_up = t.u > hemisphere;
  p = {P::select(p_up, -p.e, p.e), P::select(p_up, -p.n, p.n), P::select(p_up, -p.u, p.u)};
  t = {P::select(t_up, -t.e, t.e), P::select(t_up, -t.n, t.n), P::select(t_up, -t.u, t.u)};
  const V d = p.e * t.e + p.n * t.n + p.u * t.u;
  unusual |= ~(P::absolute(d) <= P::broadcast(kSurelyOrthogonal));
  // (T x P) x T, normalised.
  const Vector3<Lanes> c{t.n * p.u - t.u * p.n, t.u * p.e - t.e * p.u, t.e * p.n - t.n * p.e};
  const Vector3<Lanes> q{c.n * t.u - c.u * t.n, c.u * t.e - c.e * t.u, c.e * t.n - c.n * t.e};
  const V q_length = P::sqrt(q.e * q.e + q.n * q.n + q.u * q.u);
  unusual |= ~(q_length >= tiny);
  t_out = t;
  p_out = {q.e / q_length, q.n / q_length, q.u / q_length};
}

template <std::size_t Lanes>
[[gnu::always_inline]] inline MechanismBlock parse_with(const StridedView2D<double>& array, std::int64_t start,
                                                        std::size_t count, FocalMechanism* out) {
  using P = Pack<Lanes>;
  using M = typename P::Mask;
  Columns s;
  const TenthsOfDegree& tenths = TenthsOfDegree::table();
  // The sines and cosines, in a loop of their own.
  for (std::size_t k = 0; k < count; ++k) {
    const std::int64_t i = start + static_cast<std::int64_t>(k);
    for (std::size_t a = 0; a < 4; ++a) {
      const double degrees = array(i, static_cast<std::int64_t>(a));
      if (tenths.look_up(degrees, s.v[2 * a][k], s.v[2 * a + 1][k])) continue;
      const SineCosine computed = sine_cosine_of(degrees);
      s.v[2 * a][k] = computed.sine;
      s.v[2 * a + 1][k] = computed.cosine;
    }
  }
  for (std::size_t k = count; k < (count + Lanes - 1) / Lanes * Lanes; ++k) {
    for (std::size_t a = 0; a < 8; ++a) s.v[a][k] = a % 2 == 0 ? 0.0 : 1.0;  // unused lanes stay finite
  }
  alignas(64) double unusual_rows[Columns::kSize];
  for (std::size_t k = 0; k < count; k += Lanes) {
    M unusual = P::broadcast(0.0) != P::broadcast(0.0);
    const Vector3<Lanes> p =
        unit_axis<Lanes>(P::load(s.v[0] + k), P::load(s.v[1] + k), P::load(s.v[2] + k), P::load(s.v[3] + k), unusual);
    const Vector3<Lanes> t =
        unit_axis<Lanes>(P::load(s.v[4] + k), P::load(s.v[5] + k), P::load(s.v[6] + k), P::load(s.v[7] + k), unusual);
    Vector3<Lanes> t_unit, p_unit;
    double_couple<Lanes>(p, t, t_unit, p_unit, unusual);
    P::store(unusual_rows + k, P::flag(unusual));
    for (std::size_t j = 0; j < Lanes && k + j < count; ++j) {
      out[k + j] =
          FocalMechanism{Vec3{t_unit.e[j], t_unit.n[j], t_unit.u[j]}, Vec3{p_unit.e[j], p_unit.n[j], p_unit.u[j]}};
    }
  }
  // Rows off the common path, in order: the scalar construction decides.
  for (std::size_t k = 0; k < count; ++k) {
    if (unusual_rows[k] == 0.0) continue;
    const std::int64_t i = start + static_cast<std::int64_t>(k);
    auto mechanism = focal_mechanism_from_axes(array(i, 0), array(i, 1), array(i, 2), array(i, 3));
    if (!mechanism) return {k, mechanism.error()};
    out[k] = *mechanism;
  }
  return {count, std::nullopt};
}

// orientation_quaternion of a pack of mechanisms, lane by lane.
template <std::size_t Lanes>
struct QuaternionPack {
  using V = typename Pack<Lanes>::Value;
  V w, x, y, z;
};

template <std::size_t Lanes>
[[gnu::always_inline]] inline QuaternionPack<Lanes> orientation_of(const FocalMechanism* m) {
  using P = Pack<Lanes>;
  using V = typename P::Value;
  using M = typename P::Mask;
  V te, tn, tu, pe, pn, pu;
  for (std::size_t j = 0; j < Lanes; ++j) {
    te[j] = m[j].t.e;
    tn[j] = m[j].t.n;
    tu[j] = m[j].t.u;
    pe[j] = m[j].p.e;
    pn[j] = m[j].p.n;
    pu[j] = m[j].p.u;
  }
  // The frame matrix: columns T, P, B = T x P.
  const V be = tn * pu - tu * pn, bn = tu * pe - te * pu, bu = te * pn - tn * pe;
  const V m00 = te, m01 = pe, m02 = be, m10 = tn, m11 = pn, m12 = bn, m20 = tu, m21 = pu, m22 = bu;
  const V zero = P::broadcast(0.0), one = P::broadcast(1.0), half = P::broadcast(0.5);
  const V three = P::broadcast(3.0), four = P::broadcast(4.0);
  const V aw = half * P::sqrt(P::larger(zero, one + m00 + m11 + m22));
  const V ax = half * P::sqrt(P::larger(zero, one + m00 - m11 - m22));
  const V ay = half * P::sqrt(P::larger(zero, one - m00 + m11 - m22));
  const V az = half * P::sqrt(P::larger(zero, one - m00 - m11 + m22));
  // The tests in their order; the largest component is the base.
  const M by_w = three * aw > ax + ay + az;
  const M by_x = ~by_w & (three * ax > aw + ay + az);
  const M by_y = ~(by_w | by_x) & (three * ay > aw + ax + az);
  const V base = P::select(by_w, aw, P::select(by_x, ax, P::select(by_y, ay, az)));
  const V divisor = four * base;
  // The three quotients in component order, each its case's numerator.
  const V first = P::select(by_w | by_x, m21 - m12, P::select(by_y, m02 - m20, m10 - m01)) / divisor;
  const V second = P::select(by_w, m02 - m20, P::select(by_x | by_y, m01 + m10, m02 + m20)) / divisor;
  const V third = P::select(by_w, m10 - m01, P::select(by_x, m02 + m20, m12 + m21)) / divisor;
  const M by_z = ~(by_w | by_x | by_y);
  return {P::select(by_w, aw, first), P::select(by_w, first, P::select(by_x, ax, second)),
          P::select(by_w | by_x, second, P::select(by_y, ay, third)), P::select(by_z, az, third)};
}

template <std::size_t Lanes>
[[gnu::always_inline]] inline void pair_stage_with(const FocalMechanism* first, const FocalMechanism* second,
                                                   std::size_t count, double* unit_w, double* full_route) {
  using P = Pack<Lanes>;
  using V = typename P::Value;
  const V small = P::broadcast(kSmallQuaternionSquared), zero = P::broadcast(0.0);
  for (std::size_t k = 0; k < count; k += Lanes) {
    const QuaternionPack<Lanes> q1 = orientation_of<Lanes>(first + k);
    const QuaternionPack<Lanes> q2 = orientation_of<Lanes>(second + k);
    const V n1 = q1.w * q1.w + q1.x * q1.x + q1.y * q1.y + q1.z * q1.z;
    const V n2 = q2.w * q2.w + q2.x * q2.x + q2.y * q2.y + q2.z * q2.z;
    // The inverse of the first: the conjugate over the squared length.
    const V cw = q1.w / n1, cx = (-q1.x) / n1, cy = (-q1.y) / n1, cz = (-q1.z) / n1;
    const V degenerate = P::flag((n1 < small) | (n2 < small));
    const kagan_lanes::TurnStage<Lanes> stage =
        kagan_lanes::turn_stage<Lanes>(q2.w, q2.x, q2.y, q2.z, cw, cx, cy, cz, degenerate);
    P::store(unit_w + k, stage.unit_w);
    P::store(full_route + k, P::select(degenerate != zero, P::broadcast(1.0), stage.full_route));
  }
}

MechanismBlock parse_baseline(const StridedView2D<double>& array, std::int64_t start, std::size_t count,
                              FocalMechanism* out) {
  return parse_with<2>(array, start, count, out);
}

void pair_stage_baseline(const FocalMechanism* first, const FocalMechanism* second, std::size_t count, double* unit_w,
                         double* full_route) {
  pair_stage_with<2>(first, second, count, unit_w, full_route);
}

#if defined(VELKOR_WIDE_LANES)
[[gnu::target("avx2")]] MechanismBlock parse_wide(const StridedView2D<double>& array, std::int64_t start,
                                                  std::size_t count, FocalMechanism* out) {
  return parse_with<4>(array, start, count, out);
}

[[gnu::target("avx2")]] void pair_stage_wide(const FocalMechanism* first, const FocalMechanism* second,
                                             std::size_t count, double* unit_w, double* full_route) {
  pair_stage_with<4>(first, second, count, unit_w, full_route);
}
#endif

}  // namespace

MechanismBlock parse_mechanism_block(const StridedView2D<double>& array, std::int64_t start, std::size_t count,
                                     FocalMechanism* out) {
#if defined(VELKOR_WIDE_LANES)
  if (lanes::use_wide_lanes()) return parse_wide(array, start, count, out);
#endif
  return parse_baseline(array, start, count, out);
}

std::optional<CoreError> kagan_angles_of(std::span<const FocalMechanism> first, std::span<const FocalMechanism> second,
                                         double* out) {
  const std::size_t n = std::min(first.size(), second.size());
  alignas(64) double unit_w[kMechanismBlock + kMaxLanes];
  alignas(64) double full_route[kMechanismBlock + kMaxLanes];
  // Whole packs are read: the last pack of a block borrows mechanisms from
  // within the spans, or from this padding past their ends.
  FocalMechanism tail_first[2 * kMaxLanes], tail_second[2 * kMaxLanes];
  for (std::size_t start = 0; start < n; start += kMechanismBlock) {
    if ((start & 4095) == 0) poll_stop();
    const std::size_t count = std::min(kMechanismBlock, n - start);
    const std::size_t whole = count / kMaxLanes * kMaxLanes;
    const FocalMechanism* f = first.data() + start;
    const FocalMechanism* s = second.data() + start;
#if defined(VELKOR_WIDE_LANES)
    const bool wide = lanes::use_wide_lanes();
#else
    const bool wide = false;
#endif
    const auto stage = [&](const FocalMechanism* a, const FocalMechanism* b, std::size_t m, double* w, double* r) {
#if defined(VELKOR_WIDE_LANES)
      if (wide) return pair_stage_wide(a, b, m, w, r);
#endif
      pair_stage_baseline(a, b, m, w, r);
    };
    if (whole > 0) stage(f, s, whole, unit_w, full_route);
    if (whole < count) {
      const FocalMechanism unit{Vec3{1.0, 0.0, 0.0}, Vec3{0.0, 1.0, 0.0}};
      for (std::size_t k = 0; k < kMaxLanes; ++k) {
        tail_first[k] = whole + k < count ? f[whole + k] : unit;
        tail_second[k] = whole + k < count ? s[whole + k] : unit;
      }
      stage(tail_first, tail_second, kMaxLanes, unit_w + whole, full_route + whole);
    }
    // Nothing but the inverse cosines in this loop: they are most of the cost.
    for (std::size_t k = 0; k < count; ++k) unit_w[k] = std::acos(unit_w[k]);
    if (count % 2 != 0) unit_w[count] = 0.0;  // the unused lane of the last pack
    kagan_lanes::fold_turns(unit_w, count);
    double* angles = out + start;
    std::memcpy(angles, unit_w, count * sizeof(double));
    for (std::size_t k = 0; k < count; ++k) {
      if (full_route[k] == 0.0) [[likely]]
        continue;
      const auto angle = kagan_angle(f[k], s[k]);
      if (!angle) return angle.error();
      angles[k] = *angle;
    }
  }
  return std::nullopt;
}

}  // namespace velkor
