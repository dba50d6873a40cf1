#include "structural/focal_mechanism.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <bit>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// Four lanes at a time where the processor has AVX2, chosen at run time.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(VELKOR_BASELINE_ONLY)
#define VELKOR_KAGAN_AVX2 1
#endif
#if defined(__linux__)
#include <sys/mman.h>
#endif
#include <limits>
#include <new>
#include <optional>

#include "parallel/worker_pool.hpp"
#include "text/number_format.hpp"

// The four-lane vector types only ever live inside the AVX2 function (all
// the helpers are inlined into it), so no call passes them in registers.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace velkor {

namespace {

// Below these a quaternion (squared length, resp. length) describes no
// orientation; mechanisms built from axes always give unit quaternions.
constexpr double kSmallQuaternionSquared = 1e-12;
constexpr double kSmallQuaternion = 1e-6;

double squared_length(const Quaternion& q) { return q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z; }

// The conjugate divided by the squared length.
Quaternion inverse(const Quaternion& q, double squared) {
  return {q.w / squared, -q.x / squared, -q.y / squared, -q.z / squared};
}

// The half turns about the mechanism's own T, P and B axes, then the
// identity, in the order the rotations are reported before sorting.
constexpr std::array<Quaternion, 4> kSymmetries{{
    {0.0, 1.0, 0.0, 0.0},
    {0.0, 0.0, 1.0, 0.0},
    {0.0, 0.0, 0.0, 1.0},
    {1.0, 0.0, 0.0, 0.0},
}};

// q (x) kSymmetries[k] written out: a signed permutation of q. Its values
// equal those of the full product (the products by 0 and 1 are exact), up
// to the sign of a zero, which no angle depends on.
Quaternion symmetric(const Quaternion& q, int k) {
  switch (k) {
    case 0:
      return {-q.x, q.w, q.z, -q.y};
    case 1:
      return {-q.y, -q.z, q.w, q.x};
    case 2:
      return {-q.z, q.y, -q.x, q.w};
    default:
      return q;
  }
}

// A rotation quaternion normalised, with its turn in degrees folded into
// [0, 180] and the length of its (normalised) vector part.
struct Turn {
  Quaternion unit;
  double angle;        // before folding, in [0, 360]
  double axis_length;  // of (unit.x, unit.y, unit.z)
};

CoreResult<Turn> turn_of(const Quaternion& r) {
  const double length = std::sqrt(squared_length(r));
  if (length < kSmallQuaternion) return std::unexpected(CoreError{DegenerateQuaternion{}});
  const Quaternion unit{r.w / length, r.x / length, r.y / length, r.z / length};
  const double angle = 2.0 * std::acos(std::clamp(unit.w, -1.0, 1.0)) * kRadiansToDegrees;
  const double axis_length = std::sqrt(unit.x * unit.x + unit.y * unit.y + unit.z * unit.z);
  return Turn{unit, angle, axis_length};
}

// The reported angle of a turn: zero without an axis, else folded.
double folded_angle(const Turn& turn) {
  if (turn.axis_length < kSmallQuaternion) return 0.0;
  return turn.angle > 180.0 ? 360.0 - turn.angle : turn.angle;
}

MechanismRotation rotation_of(const Turn& turn) {
  if (turn.axis_length < kSmallQuaternion) return {0.0, 0.0, 0.0};
  const Vec3 axis{turn.unit.x / turn.axis_length, turn.unit.y / turn.axis_length, turn.unit.z / turn.axis_length};
  TrendPlunge reported = trend_plunge_of(axis);
  double angle = turn.angle;
  if (angle > 180.0) {
    // The same rotation as a shorter turn about the other end of the axis;
    // the axis goes through trend and plunge so that the reported end is
    // exactly what converting the reported values back would give.
    const Vec3 opposite = -axis_from_trend_plunge(reported.trend, reported.plunge);
    reported = trend_plunge_of(opposite);
    angle = 360.0 - angle;
  }
  return {reported.trend, reported.plunge, angle};
}

// A stable insertion sort on |angle|; a NaN never moves, so the order is
// defined for any input.
template <class T, class Key>
void stable_sort4(std::array<T, 4>& items, Key key) {
  for (std::size_t i = 1; i < 4; ++i) {
    for (std::size_t j = i; j > 0 && key(items[j]) < key(items[j - 1]); --j) std::swap(items[j], items[j - 1]);
  }
}

// Every rotation computed, sorted, first angle taken: the reference that the
// short path below reproduces.
CoreResult<double> kagan_angle_by_sorting(const Quaternion& inverse_first, const Quaternion& second) {
  std::array<double, 4> angles{};
  for (int k = 0; k < 4; ++k) {
    const auto turn = turn_of(hamilton(symmetric(second, k), inverse_first));
    if (!turn) return std::unexpected(turn.error());
    angles[static_cast<std::size_t>(k)] = folded_angle(*turn);
  }
  stable_sort4(angles, [](double a) { return std::fabs(a); });
  return angles[0];
}

// The Kagan angle given the inverse of the first quaternion. The smallest
// turn belongs to the rotation whose scalar part is largest in magnitude, so
// only rotations within a relative 1e-9 of that largest magnitude are turned
// into angles (the inverse cosine is the expensive part). The four rotations
// have the same length up to rounding, so any other one is at least ~1e-7
// degrees larger, far beyond rounding: the result is bit for bit the first
// angle of the sorted four. Tiny or non-finite inputs take the full route.
//
// On the short route the rotation's length exceeds 1e-5, so the "too small"
// guard cannot trigger, and the length of the vector part is needed only
// when the scalar part is within 1e-4 of unity (otherwise it is above 0.01,
// far from the 1e-6 below which a turn has no axis).
inline double turn_angle_on_short_route(const Quaternion& r) {
  const double length = std::sqrt(squared_length(r));
  const double unit_w = r.w / length;
  if (std::fabs(unit_w) > 0.9999) [[unlikely]] {
    // Length above 1e-5 here: turn_of cannot refuse it.
    return folded_angle(*turn_of(r));
  }
  const double angle = 2.0 * std::acos(std::clamp(unit_w, -1.0, 1.0)) * kRadiansToDegrees;
  const double folded = 360.0 - angle;
  return angle > 180.0 ? folded : angle;
}

inline CoreResult<double> kagan_angle_given_inverse(const Quaternion& c, const Quaternion& q2) {
  std::array<Quaternion, 4> products;
  std::array<double, 4> scalar;
  double largest = 0.0;
  for (int k = 0; k < 4; ++k) {
    const Quaternion p = symmetric(q2, k);
    products[static_cast<std::size_t>(k)] = p;
    // The scalar part of hamilton(p, c), with the same operations.
    const double w = p.w * c.w - p.x * c.x - p.y * c.y - p.z * c.z;
    scalar[static_cast<std::size_t>(k)] = w;
    largest = std::max(largest, std::fabs(w));
  }
  const bool finite = std::isfinite(scalar[0] + scalar[1] + scalar[2] + scalar[3]);
  if (!finite || !(largest > 1e-5)) return kagan_angle_by_sorting(c, q2);
  const double threshold = largest - largest * 1e-9;
  // The candidate with the largest magnitude, picked without branches (which
  // one it is varies at random from pair to pair).
  std::size_t chosen = 0;
  int candidates = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    const bool candidate = std::fabs(scalar[k]) >= threshold;
    candidates += candidate ? 1 : 0;
    chosen = std::fabs(scalar[k]) == largest ? k : chosen;
  }
  if (candidates == 1) return turn_angle_on_short_route(hamilton(products[chosen], c));
  double best = std::numeric_limits<double>::infinity();
  for (std::size_t k = 0; k < 4; ++k) {
    if (std::fabs(scalar[k]) < threshold) continue;
    const double angle = turn_angle_on_short_route(hamilton(products[k], c));
    if (angle < best) best = angle;
  }
  return best;
}

}  // namespace

Quaternion hamilton(const Quaternion& a, const Quaternion& b) {
  return {a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z, a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
          a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x, a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
}

CoreResult<FocalMechanism> focal_mechanism_from_vectors(Vec3 p, Vec3 t) {
  const double p_length = norm(p);
  const double t_length = norm(t);
  if (p_length < kZeroLength || t_length < kZeroLength) return std::unexpected(CoreError{ZeroAxis{}});
  p = p / p_length;
  t = t / t_length;
  if (p.u > kHemisphereThreshold) p = -p;
  if (t.u > kHemisphereThreshold) t = -t;
  const double departure = std::fabs(angle_between_directions(p, t) - 90.0);
  if (departure > kOrthogonalityTolerance) {
    return std::unexpected(CoreError{AxesNotOrthogonal{departure, kOrthogonalityTolerance}});
  }
  // P exactly perpendicular to T, in the plane of the two.
  const auto perpendicular = normalized(cross(cross(t, p), t));
  if (!perpendicular) return std::unexpected(CoreError{ZeroAxis{}});
  return FocalMechanism{t, *perpendicular};
}

CoreResult<FocalMechanism> focal_mechanism_from_axes(double p_trend, double p_plunge, double t_trend,
                                                     double t_plunge) {
  return focal_mechanism_from_vectors(axis_from_trend_plunge(p_trend, p_plunge),
                                      axis_from_trend_plunge(t_trend, t_plunge));
}

MechanismParse parse_mechanisms(const StridedView2D<double>& array) {
  MechanismParse parse;
  if (array.cols != 4) {
    parse.error = "mechanisms must be an (N, 4) array of P trend, P plunge, T trend, T plunge";
    return parse;
  }
  const auto rows = static_cast<std::uint64_t>(array.rows);
  if (rows > parse.mechanisms.max_size()) throw std::bad_alloc();
  parse.mechanisms.reserve(static_cast<std::size_t>(rows));
  for (std::int64_t i = 0; i < array.rows; ++i) {
    auto mechanism = focal_mechanism_from_axes(array(i, 0), array(i, 1), array(i, 2), array(i, 3));
    if (!mechanism) {
      parse.mechanisms.clear();
      parse.error = "mechanism " + text::format_count(static_cast<std::uint64_t>(i)) + ": " + message(mechanism.error());
      return parse;
    }
    parse.mechanisms.push_back(*mechanism);
  }
  return parse;
}

FrameMatrix frame_matrix(const FocalMechanism& mechanism) {
  const Vec3 t = mechanism.t;
  const Vec3 p = mechanism.p;
  const Vec3 b = mechanism.b();
  return {{{t.e, p.e, b.e}, {t.n, p.n, b.n}, {t.u, p.u, b.u}}};
}

Quaternion orientation_quaternion(const FocalMechanism& mechanism) {
  const FrameMatrix m = frame_matrix(mechanism);
  const double aw = 0.5 * std::sqrt(std::max(0.0, 1.0 + m[0][0] + m[1][1] + m[2][2]));
  const double ax = 0.5 * std::sqrt(std::max(0.0, 1.0 + m[0][0] - m[1][1] - m[2][2]));
  const double ay = 0.5 * std::sqrt(std::max(0.0, 1.0 - m[0][0] + m[1][1] - m[2][2]));
  const double az = 0.5 * std::sqrt(std::max(0.0, 1.0 - m[0][0] - m[1][1] + m[2][2]));
  // Divide by the largest component, so that the others come from
  // well-conditioned differences of the off-diagonal entries.
  if (3.0 * aw > ax + ay + az) {
    return {aw, (m[2][1] - m[1][2]) / (4.0 * aw), (m[0][2] - m[2][0]) / (4.0 * aw), (m[1][0] - m[0][1]) / (4.0 * aw)};
  }
  if (3.0 * ax > aw + ay + az) {
    return {(m[2][1] - m[1][2]) / (4.0 * ax), ax, (m[0][1] + m[1][0]) / (4.0 * ax), (m[0][2] + m[2][0]) / (4.0 * ax)};
  }
  if (3.0 * ay > aw + ax + az) {
    return {(m[0][2] - m[2][0]) / (4.0 * ay), (m[0][1] + m[1][0]) / (4.0 * ay), ay, (m[1][2] + m[2][1]) / (4.0 * ay)};
  }
  return {(m[1][0] - m[0][1]) / (4.0 * az), (m[0][2] + m[2][0]) / (4.0 * az), (m[1][2] + m[2][1]) / (4.0 * az), az};
}

CoreResult<std::array<MechanismRotation, 4>> mechanism_rotations(const FocalMechanism& first,
                                                                  const FocalMechanism& second) {
  const Quaternion q1 = orientation_quaternion(first);
  const Quaternion q2 = orientation_quaternion(second);
  const double n1 = squared_length(q1);
  const double n2 = squared_length(q2);
  if (n1 < kSmallQuaternionSquared || n2 < kSmallQuaternionSquared) {
    return std::unexpected(CoreError{DegenerateQuaternion{}});
  }
  const Quaternion c = inverse(q1, n1);
  std::array<MechanismRotation, 4> rotations{};
  for (std::size_t k = 0; k < 4; ++k) {
    const auto turn = turn_of(hamilton(hamilton(q2, kSymmetries[k]), c));
    if (!turn) return std::unexpected(turn.error());
    rotations[k] = rotation_of(*turn);
  }
  stable_sort4(rotations, [](const MechanismRotation& r) { return std::fabs(r.angle); });
  return rotations;
}

CoreResult<double> kagan_angle_of_quaternions(const Quaternion& q1, const Quaternion& q2) {
  const double n1 = squared_length(q1);
  const double n2 = squared_length(q2);
  if (n1 < kSmallQuaternionSquared || n2 < kSmallQuaternionSquared) {
    return std::unexpected(CoreError{DegenerateQuaternion{}});
  }
  return kagan_angle_given_inverse(inverse(q1, n1), q2);
}

CoreResult<double> kagan_angle(const FocalMechanism& first, const FocalMechanism& second) {
  return kagan_angle_of_quaternions(orientation_quaternion(first), orientation_quaternion(second));
}

CoreResult<FocalMechanism> rotate_mechanism(const FocalMechanism& mechanism, double axis_trend,
                                            double axis_plunge, double angle_degrees) {
  const Vec3 u = axis_from_trend_plunge(axis_trend, axis_plunge);
  const double half = angle_degrees * kDegreesToRadians / 2.0;
  const double s = std::sin(half);
  const Quaternion turn{std::cos(half), s * u.e, s * u.n, s * u.u};
  const Quaternion r = hamilton(turn, orientation_quaternion(mechanism));
  const double length = std::sqrt(squared_length(r));
  if (length < kSmallQuaternion) return std::unexpected(CoreError{DegenerateQuaternion{}});
  const double w = r.w / length, x = r.x / length, y = r.y / length, z = r.z / length;
  // Columns 0 and 1 of the rotation matrix of (w, x, y, z): the new T and P.
  const Vec3 t{1.0 - 2.0 * (y * y + z * z), 2.0 * (x * y + w * z), 2.0 * (x * z - w * y)};
  const Vec3 p{2.0 * (x * y - w * z), 1.0 - 2.0 * (x * x + z * z), 2.0 * (y * z + w * x)};
  return focal_mechanism_from_vectors(p, t);
}

CoreResult<FocalMechanism> kinematic_mechanism(const FaultSlip& fault, std::size_t index) {
  if (index >= fault.slickenlines.size()) return std::unexpected(CoreError{MissingSlickenline{index}});
  const Slickenline& line = fault.slickenlines[index];
  if (!line.sense_known) return std::unexpected(CoreError{UndeterminedSense{}});
  const Vec3 n = fault.plane.normal;
  return focal_mechanism_from_vectors(n - line.direction, n + line.direction);
}

namespace {

// Orientation quaternions stored component by component (padded by
// identities so that pairs can be read several at a time), with the "too
// small" test of each precomputed.
struct QuaternionColumns {
  static constexpr std::size_t kPadding = 3;
  std::vector<double> w, x, y, z;
  std::vector<double> degenerate;  // 1 where the quaternion is too small
  explicit QuaternionColumns(std::span<const Quaternion> quaternions) {
    const std::size_t padded = quaternions.size() + kPadding;
    w.reserve(padded);
    x.reserve(padded);
    y.reserve(padded);
    z.reserve(padded);
    degenerate.reserve(padded);
    for (const Quaternion& q : quaternions) {
      w.push_back(q.w);
      x.push_back(q.x);
      y.push_back(q.y);
      z.push_back(q.z);
      degenerate.push_back(squared_length(q) < kSmallQuaternionSquared ? 1.0 : 0.0);
    }
    for (std::size_t k = 0; k < kPadding; ++k) {
      w.push_back(1.0);
      x.push_back(0.0);
      y.push_back(0.0);
      z.push_back(0.0);
      degenerate.push_back(0.0);
    }
  }
};

constexpr std::size_t kPairBlock = 256;

// Several doubles side by side (2 with the baseline instruction set, 4 where
// the processor has AVX2). Plain IEEE operations lane by lane, with no fused
// multiply-add: the results are those of the scalar expressions, bit for bit,
// whichever width runs.
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

template <std::size_t Lanes>
struct Pack {
  using Value = typename PackTypes<Lanes>::Value;
  using Mask = typename PackTypes<Lanes>::Mask;

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
  [[gnu::always_inline]] static Value select(Mask m, Value a, Value b) { return m ? a : b; }
  [[gnu::always_inline]] static Value absolute(Value a) {
    return (Value)((Mask)a & (Mask)broadcast(std::bit_cast<double>(0x7fffffffffffffffLL)));
  }
  // std::max(a, b) lane by lane.
  [[gnu::always_inline]] static Value larger(Value a, Value b) { return select(a < b, b, a); }
};

// The most lanes any build reads past the end of a row.
constexpr std::size_t kMaxLanes = 4;

// First stage of the Kagan angles of one row against `count` mechanisms
// (whole packs are computed; the padding of the columns makes the last read
// safe): the rotation of largest scalar part as kagan_angle_given_inverse
// picks it, with exactly its operations, then its normalised scalar part,
// clamped, and a flag for the pairs that need the full route (several
// candidates, a turn that may have no axis, tiny or non-finite values).
template <std::size_t Lanes, class SquareRoot>
[[gnu::always_inline]] inline void prepare_pairs_with(const Quaternion& c, const QuaternionColumns& columns,
                                                      std::size_t start, std::size_t count, double* unit_w_out,
                                                      double* full_route_out) {
  using P = Pack<Lanes>;
  using V = typename P::Value;
  using M = typename P::Mask;
  const double* qw = columns.w.data() + start;
  const double* qx = columns.x.data() + start;
  const double* qy = columns.y.data() + start;
  const double* qz = columns.z.data() + start;
  const double* degenerate = columns.degenerate.data() + start;
  const V cw = P::broadcast(c.w), cx = P::broadcast(c.x), cy = P::broadcast(c.y), cz = P::broadcast(c.z);
  const V zero = P::broadcast(0.0), one = P::broadcast(1.0), small = P::broadcast(1e-5);
  const V margin = P::broadcast(1e-9), near_one = P::broadcast(0.9999), minus_one = P::broadcast(-1.0);
  for (std::size_t j = 0; j < count; j += Lanes) {
    const V w = P::load(qw + j), x = P::load(qx + j), y = P::load(qy + j), z = P::load(qz + j);
    // Scalar parts of (q2 (x) s_k) (x) c for the four symmetries s_k.
    const V s0 = (-x) * cw - w * cx - z * cy - (-y) * cz;
    const V s1 = (-y) * cw - (-z) * cx - w * cy - x * cz;
    const V s2 = (-z) * cw - y * cx - (-x) * cy - w * cz;
    const V s3 = w * cw - x * cx - y * cy - z * cz;
    const V a0 = P::absolute(s0), a1 = P::absolute(s1), a2 = P::absolute(s2), a3 = P::absolute(s3);
    const V largest = P::larger(P::larger(P::larger(zero, a0), a1), P::larger(a2, a3));
    const V threshold = largest - largest * margin;
    const M m0 = a0 >= threshold, m1 = a1 >= threshold, m2 = a2 >= threshold, m3 = a3 >= threshold;
    const V candidates =
        P::select(m0, one, zero) + P::select(m1, one, zero) + P::select(m2, one, zero) + P::select(m3, one, zero);
    const V sum = a0 + a1 + a2 + a3;
    const M finite = (sum - sum) == zero;
    // The chosen q2 (x) s_k, a signed permutation of q2.
    const V pw = P::select(m0, -x, P::select(m1, -y, P::select(m2, -z, w)));
    const V px = P::select(m0, w, P::select(m1, -z, P::select(m2, y, x)));
    const V py = P::select(m0, z, P::select(m1, w, P::select(m2, -x, y)));
    const V pz = P::select(m0, -y, P::select(m1, x, P::select(m2, w, z)));
    const V rw = pw * cw - px * cx - py * cy - pz * cz;
    const V rx = pw * cx + px * cw + py * cz - pz * cy;
    const V ry = pw * cy - px * cz + py * cw + pz * cx;
    const V rz = pw * cz + px * cy - py * cx + pz * cw;
    const V unit = rw / SquareRoot::apply(rw * rw + rx * rx + ry * ry + rz * rz);
    const M short_route = finite & (largest > small) & (candidates == one) & (P::absolute(unit) <= near_one) &
                          (P::load(degenerate + j) == zero);
    const V full_route = P::select(short_route, zero, one);
    const V clamped = P::larger(minus_one, P::select(unit > one, one, unit));
    std::memcpy(unit_w_out + j, &clamped, sizeof clamped);
    std::memcpy(full_route_out + j, &full_route, sizeof full_route);
  }
}

// Correctly rounded square roots, lane by lane.
struct SquareRoot2 {
  [[gnu::always_inline]] static Double2 apply(Double2 a) {
#if defined(__SSE2__)
    return (Double2)_mm_sqrt_pd((__m128d)a);
#else
    return Double2{std::sqrt(a[0]), std::sqrt(a[1])};
#endif
  }
};

void prepare_pairs_baseline(const Quaternion& c, const QuaternionColumns& columns, std::size_t start,
                            std::size_t count, double* unit_w_out, double* full_route_out) {
  prepare_pairs_with<2, SquareRoot2>(c, columns, start, count, unit_w_out, full_route_out);
}

#if defined(VELKOR_KAGAN_AVX2)
// Two halves: written without AVX intrinsics so that it inlines into the
// generic body, which the AVX2 function below compiles with VEX encoding.
struct SquareRoot4 {
  [[gnu::always_inline]] static Double4 apply(Double4 a) {
    const Double2 low = SquareRoot2::apply(Double2{a[0], a[1]});
    const Double2 high = SquareRoot2::apply(Double2{a[2], a[3]});
    return Double4{low[0], low[1], high[0], high[1]};
  }
};

[[gnu::target("avx2")]] void prepare_pairs_avx2(const Quaternion& c, const QuaternionColumns& columns,
                                                std::size_t start, std::size_t count, double* unit_w_out,
                                                double* full_route_out) {
  prepare_pairs_with<4, SquareRoot4>(c, columns, start, count, unit_w_out, full_route_out);
}
#endif

using PreparePairs = void (*)(const Quaternion&, const QuaternionColumns&, std::size_t, std::size_t, double*,
                              double*);

// Chosen once per process by what the processor offers.
PreparePairs prepare_pairs_for_this_processor() {
#if defined(VELKOR_KAGAN_AVX2)
  if (__builtin_cpu_supports("avx2")) return &prepare_pairs_avx2;
#endif
  return &prepare_pairs_baseline;
}

void prepare_pairs(const Quaternion& c, const QuaternionColumns& columns, std::size_t start, std::size_t count,
                   double* unit_w_out, double* full_route_out) {
  static const PreparePairs chosen = prepare_pairs_for_this_processor();
  chosen(c, columns, start, count, unit_w_out, full_route_out);
}

// Positions i + 1 .. n - 1 of row i; the rest of the row is left alone.
std::optional<CoreError> fill_kagan_row(std::span<const Quaternion> quaternions, const QuaternionColumns& columns,
                                        std::size_t i, double* row) {
  const std::size_t n = quaternions.size();
  if (i + 1 >= n) return std::nullopt;
  const double n1 = squared_length(quaternions[i]);
  if (n1 < kSmallQuaternionSquared) return CoreError{DegenerateQuaternion{}};
  const Quaternion c = inverse(quaternions[i], n1);
  alignas(64) double unit_w[kPairBlock + kMaxLanes];
  alignas(64) double full_route[kPairBlock + kMaxLanes];
  alignas(64) double inverse_cosine[kPairBlock];
  for (std::size_t start = i + 1; start < n; start += kPairBlock) {
    const std::size_t count = std::min(kPairBlock, n - start);
    prepare_pairs(c, columns, start, count, unit_w, full_route);
    // Nothing but the inverse cosines in this loop: they are most of the cost.
    for (std::size_t k = 0; k < count; ++k) inverse_cosine[k] = std::acos(unit_w[k]);
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t j = start + k;
      if (full_route[k] != 0.0) [[unlikely]] {
        if (columns.degenerate[j] != 0.0) return CoreError{DegenerateQuaternion{}};
        const auto angle = kagan_angle_given_inverse(c, quaternions[j]);
        if (!angle) return angle.error();
        row[j] = *angle;
        continue;
      }
      const double angle = 2.0 * inverse_cosine[k] * kRadiansToDegrees;
      const double folded = 360.0 - angle;
      row[j] = angle > 180.0 ? folded : angle;
    }
  }
  return std::nullopt;
}

// Faults in the pages of a large fresh buffer on every worker at once: on
// some systems a first touch costs microseconds per page, which would leave
// one thread zeroing the result while the others wait. Only a hint: where
// the system lacks it nothing happens, and the contents are not changed.
void populate_in_parallel([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  constexpr std::uintptr_t kPage = 4096;
  constexpr std::size_t kSlice = std::size_t{8} << 20;
  if (bytes < 2 * kSlice) return;
  const auto first = (reinterpret_cast<std::uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
  const auto last = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kPage - 1);
  if (last <= first) return;
  const std::size_t slices = (last - first + kSlice - 1) / kSlice;
  WorkerPool::instance().parallel_for(slices, 1, [&](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) {
      const std::uintptr_t from = first + k * kSlice;
      const std::uintptr_t to = std::min<std::uintptr_t>(last, from + kSlice);
      madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
    }
  });
#endif
}

std::vector<Quaternion> quaternions_of(std::span<const FocalMechanism> mechanisms) {
  std::vector<Quaternion> quaternions;
  quaternions.reserve(mechanisms.size());
  for (const FocalMechanism& mechanism : mechanisms) quaternions.push_back(orientation_quaternion(mechanism));
  return quaternions;
}

}  // namespace

CoreResult<std::vector<double>> kagan_row(std::span<const FocalMechanism> mechanisms, std::size_t i) {
  const std::vector<Quaternion> quaternions = quaternions_of(mechanisms);
  const QuaternionColumns columns(quaternions);
  std::vector<double> row(mechanisms.size(), 0.0);
  if (const auto error = fill_kagan_row(quaternions, columns, i, row.data())) return std::unexpected(*error);
  return row;
}

CoreResult<std::vector<double>> kagan_upper_triangle(std::span<const FocalMechanism> mechanisms) {
  const std::size_t n = mechanisms.size();
  if (n != 0 && n > std::vector<double>().max_size() / n) throw std::bad_alloc();
  const std::vector<Quaternion> quaternions = quaternions_of(mechanisms);
  const QuaternionColumns columns(quaternions);
  std::vector<double> matrix;
  matrix.reserve(n * n);
  populate_in_parallel(matrix.data(), n * n * sizeof(double));
  matrix.resize(n * n, 0.0);
  // One slot per row so that the reported error does not depend on which
  // worker met its row first: the lowest failing row wins.
  std::vector<std::optional<CoreError>> errors(n);
  // Rows are claimed one at a time: row i costs n - 1 - i pairs, and the
  // longest rows come first, which keeps the workers busy to the end.
  WorkerPool::instance().parallel_for(n, 1, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) errors[i] = fill_kagan_row(quaternions, columns, i, matrix.data() + i * n);
  });
  for (const auto& error : errors) {
    if (error) return std::unexpected(*error);
  }
  return matrix;
}

void mirror_upper_triangle(std::span<double> matrix, std::size_t n) {
  // Blocked so that the column-wise reads of the upper triangle stay in
  // cache; each block row of the lower triangle is one task, and reads only
  // entries above the diagonal, which no task writes.
  constexpr std::size_t kBlock = 64;
  const std::size_t block_rows = (n + kBlock - 1) / kBlock;
  WorkerPool::instance().parallel_for(block_rows, 1, [&](std::size_t begin, std::size_t end) {
    for (std::size_t block = begin; block < end; ++block) {
      const std::size_t ib = block * kBlock;
      const std::size_t i_end = std::min(n, ib + kBlock);
      for (std::size_t jb = 0; jb <= ib; jb += kBlock) {
        const std::size_t j_end = std::min(n, jb + kBlock);
        for (std::size_t i = ib; i < i_end; ++i) {
          for (std::size_t j = jb; j < j_end && j < i; ++j) matrix[i * n + j] = matrix[j * n + i];
        }
      }
    }
  });
}

}  // namespace velkor
