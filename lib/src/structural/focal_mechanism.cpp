#include "structural/focal_mechanism.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>

#include "common/memory_limit.hpp"
#include "parallel/stop_check.hpp"
#include "structural/mechanism_lanes.hpp"
#include "text/number_format.hpp"

namespace velkor {

namespace {

// Below this length a rotation quaternion describes no orientation.
constexpr double kSmallQuaternion = 1e-6;

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

// A rotation quaternion normalised, with its turn in degrees and the length
// of its (normalised) vector part.
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

}  // namespace

CoreResult<double> kagan_angle_given_inverse(const Quaternion& c, const Quaternion& q2) {
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

double squared_length(const Quaternion& q) { return q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z; }

Quaternion inverse(const Quaternion& q, double squared) {
  return {q.w / squared, -q.x / squared, -q.y / squared, -q.z / squared};
}

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

CoreResult<FocalMechanism> focal_mechanism_from_axes(double p_trend, double p_plunge, double t_trend, double t_plunge) {
  return focal_mechanism_from_vectors(axis_from_trend_plunge(p_trend, p_plunge),
                                      axis_from_trend_plunge(t_trend, t_plunge));
}

CoreResult<FreshArray<FocalMechanism>> parse_mechanisms(const StridedView2D<double>& array) {
  if (array.cols != 4) return refuse("mechanisms must be an (N, 4) array of P trend, P plunge, T trend, T plunge");
  require_memory_for(static_cast<std::uint64_t>(array.rows), sizeof(FocalMechanism));
  const auto rows = static_cast<std::size_t>(array.rows);
  FreshArray<FocalMechanism> mechanisms(rows);
  for (std::size_t start = 0; start < rows; start += kMechanismBlock) {
    if ((start & 4095) == 0) poll_stop();
    const std::size_t count = std::min(kMechanismBlock, rows - start);
    const MechanismBlock block =
        parse_mechanism_block(array, static_cast<std::int64_t>(start), count, mechanisms.data() + start);
    if (block.error)
      return refuse_with_context("mechanism " + text::format_count(start + block.parsed) + ": ", *block.error);
  }
  return mechanisms;
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

CoreResult<FocalMechanism> rotate_mechanism(const FocalMechanism& mechanism, double axis_trend, double axis_plunge,
                                            double angle_degrees) {
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

CoreResult<std::array<MechanismRotation, 4>> mechanism_rotations(const MechanismAxes& first,
                                                                 const MechanismAxes& second) {
  const CoreResult<FocalMechanism> a = focal_mechanism_from_axes(first[0], first[1], first[2], first[3]);
  if (!a) return refuse_with_context("first mechanism: ", a.error());
  const CoreResult<FocalMechanism> b = focal_mechanism_from_axes(second[0], second[1], second[2], second[3]);
  if (!b) return refuse_with_context("second mechanism: ", b.error());
  return mechanism_rotations(*a, *b);
}

CoreResult<FocalMechanism> rotate_mechanism(const MechanismAxes& mechanism, double axis_trend, double axis_plunge,
                                            double angle_degrees) {
  const CoreResult<FocalMechanism> m =
      focal_mechanism_from_axes(mechanism[0], mechanism[1], mechanism[2], mechanism[3]);
  if (!m) return std::unexpected(m.error());
  return rotate_mechanism(*m, axis_trend, axis_plunge, angle_degrees);
}

CoreResult<FocalMechanism> kinematic_mechanism(const FaultSlip& fault, std::size_t index) {
  if (index >= fault.slickenlines.size()) return std::unexpected(CoreError{MissingSlickenline{index}});
  const Slickenline& line = fault.slickenlines[index];
  if (!line.sense_known) return std::unexpected(CoreError{UndeterminedSense{}});
  const Vec3 n = fault.plane.normal;
  return focal_mechanism_from_vectors(n - line.direction, n + line.direction);
}

namespace {

void push_axis(std::vector<double>& values, Vec3 v) {
  const TrendPlunge axis = trend_plunge_of(v);
  values.push_back(axis.trend);
  values.push_back(axis.plunge);
}

}  // namespace

CoreResult<KinematicAxes> kinematic_axes(const StridedView2D<double>& faults,
                                         const std::optional<StridedView1D<bool>>& senses) {
  CoreResult<std::vector<FaultSlip>> parsed = parse_fault_slips(faults, senses);
  if (!parsed) return std::unexpected(parsed.error());
  KinematicAxes axes;
  axes.p.reserve(2 * parsed->size());
  axes.t.reserve(2 * parsed->size());
  axes.b.reserve(2 * parsed->size());
  for (std::size_t i = 0; i < parsed->size(); ++i) {
    const CoreResult<FocalMechanism> mechanism = kinematic_mechanism((*parsed)[i], 0);
    if (!mechanism) return refuse_with_context("fault " + text::format_count(i) + ": ", mechanism.error());
    push_axis(axes.p, mechanism->p);
    push_axis(axes.t, mechanism->t);
    push_axis(axes.b, mechanism->b());
  }
  return axes;
}

}  // namespace velkor
