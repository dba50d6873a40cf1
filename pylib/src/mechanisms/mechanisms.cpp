// The focal-mechanism functions: kinematic axes of faults, the
// rotations between two double couples, Kagan angles pair by pair and as a
// catalogue matrix, and turning a mechanism about an axis.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "frame/errors.hpp"
#include "frame/gil.hpp"
#include "frame/registration.hpp"
#include "frame/results.hpp"
#include "structural/focal_mechanism.hpp"
#include "structural/kagan_matrix.hpp"
#include "structural/mechanism_lanes.hpp"
#include "text/number_format.hpp"

namespace velkor::py {
namespace {

FreshArray<FocalMechanism> parsed_or_raise(const StridedView2D<double>& view) {
  MechanismParse parse = parse_mechanisms(view);
  if (!parse.error.empty()) raise_value_error(parse.error);
  return std::move(parse.mechanisms);
}

FocalMechanism mechanism_or_raise(CoreResult<FocalMechanism>&& mechanism, const char* prefix) {
  if (!mechanism) raise_core_error(mechanism.error(), prefix);
  return *mechanism;
}

// (N, 2) rows of trend and plunge.
PyRef axis_array(std::vector<double>&& values) {
  const auto rows = static_cast<std::int64_t>(values.size() / 2);
  return array_of(std::move(values), {rows, 2});
}

void push_axis(std::vector<double>& values, Vec3 v) {
  const TrendPlunge axis = trend_plunge_of(v);
  values.push_back(axis.trend);
  values.push_back(axis.plunge);
}

constexpr const char* kPtbAxesParameters[] = {"faults", "senses"};

constexpr const char kPtbAxesDoc[] = R"doc(ptb_axes(faults, senses=None)
--

The P, T and B kinematic axes of a set of faults.

faults is an (N, 4) float64 array (any strides) of strike (right-hand
rule), dip, slickenline trend and slickenline plunge in degrees, checked
as score_stress checks it (each slickenline within 1 degree of its plane);
senses is an optional (N,) bool array, None or absent meaning every sense
is known. P and T lie at 45 degrees to the plane, in the plane of its
upward normal n and the slip s (P along n - s, T along n + s), and B is
T x P. Returns a dict with the keys p, t and b, each a new (N, 2) float64
array of (trend, plunge) in degrees; P and T point down (plunge >= 0 up
to rounding), B is not folded and may plunge upward. Needs every sense of
slip: the first fault whose sense is False is refused with "fault {i}: the
slickenline has no determined sense of movement, ...", after all rows have
been parsed. A fault with a NaN angle gives NaN axes. The interpreter lock
is held.)doc";

PyRef ptb_axes(const Arguments& args) {
  const auto faults_view = args.to_array2d<double>(0);
  const auto senses_view = args.to_optional_array1d<bool>(1);
  auto faults = parse_fault_slips(faults_view, senses_view);
  if (!faults) raise_value_error(faults.error());
  std::vector<double> p, t, b;
  p.reserve(2 * faults->size());
  t.reserve(2 * faults->size());
  b.reserve(2 * faults->size());
  for (std::size_t i = 0; i < faults->size(); ++i) {
    const auto mechanism = kinematic_mechanism((*faults)[i], 0);
    if (!mechanism) raise_core_error(mechanism.error(), "fault " + text::format_count(i) + ": ");
    push_axis(p, mechanism->p);
    push_axis(t, mechanism->t);
    push_axis(b, mechanism->b());
  }
  return DictBuilder()
      .set("p", axis_array(std::move(p)))
      .set("t", axis_array(std::move(t)))
      .set("b", axis_array(std::move(b)))
      .finish();
}

constexpr FunctionEntry kPtbAxes{{"ptb_axes", kPtbAxesParameters, 1}, kPtbAxesDoc, &ptb_axes};

constexpr const char* kKaganAnglesParameters[] = {"first", "second"};

constexpr const char kKaganAnglesDoc[] = R"doc(kagan_angles(first, second)
--

The Kagan angle between mechanisms, pair by pair.

first and second are (N, 4) float64 arrays (any strides) whose rows are P
trend, P plunge, T trend, T plunge in degrees; both must have the same
number of rows. Each row is made a double couple: P and T are folded into
the lower hemisphere, must be within 1 degree of perpendicular, and P is
made exactly perpendicular to T. Returns a new (N,) float64 array whose
entry i is the smallest rotation, in degrees within [0, 120], that carries
mechanism i of first onto mechanism i of second; turns below about 0.000115
degrees count as 0. A row holding NaN gives NaN. Raises ValueError naming
the first bad row ("mechanism {i}: ..."), first array before second, then
for differing lengths. The interpreter lock is released while the rows
are parsed and the angles computed.)doc";

PyRef kagan_angles(const Arguments& args) {
  const auto first_view = args.to_array2d<double>(0);
  const auto second_view = args.to_array2d<double>(1);
  // Parsing is most of the work, so it runs with the lock released too: the
  // checks, their order and their messages are the same, only raised once
  // the lock is back.
  struct Outcome {
    std::vector<double> angles;
    std::string refusal;             // a parse or length message, raised as it is
    std::optional<CoreError> error;  // a pair's error, raised as its text
  };
  Outcome outcome = without_gil([&] {
    Outcome o;
    MechanismParse first = parse_mechanisms(first_view);
    if (!first.error.empty()) {
      o.refusal = std::move(first.error);
      return o;
    }
    MechanismParse second = parse_mechanisms(second_view);
    if (!second.error.empty()) {
      o.refusal = std::move(second.error);
      return o;
    }
    if (first.mechanisms.size() != second.mechanisms.size()) {
      o.refusal = text::format_count(first.mechanisms.size()) + " mechanisms against " +
                  text::format_count(second.mechanisms.size()) + ": the two arrays must be the same length";
      return o;
    }
    o.angles.resize(first.mechanisms.size());
    o.error = kagan_angles_of(first.mechanisms, second.mechanisms, o.angles.data());
    return o;
  });
  if (!outcome.refusal.empty()) raise_value_error(outcome.refusal);
  if (outcome.error) raise_core_error(*outcome.error);
  const auto n = static_cast<std::int64_t>(outcome.angles.size());
  return array_of(std::move(outcome.angles), {n});
}

constexpr FunctionEntry kKaganAngles{{"kagan_angles", kKaganAnglesParameters, 2}, kKaganAnglesDoc, &kagan_angles};

constexpr const char* kKaganAngleMatrixParameters[] = {"mechanisms"};

constexpr const char kKaganAngleMatrixDoc[] = R"doc(kagan_angle_matrix(mechanisms)
--

Every Kagan angle in a catalogue, as an (N, N) matrix.

mechanisms is an (N, 4) float64 array (any strides) of P trend, P plunge,
T trend, T plunge in degrees, each row checked as in kagan_angles. Returns a
new C-ordered (N, N) float64 array: entry (i, j) is the Kagan angle in
degrees between mechanisms i and j, equal bit for bit to kagan_angles of
that pair. Only the upper triangle is computed; the lower one is a copy,
so the matrix is exactly symmetric, and the diagonal is exactly 0 (also
for a row holding NaN, whose other entries are NaN). N = 0 gives shape
(0, 0). The interpreter lock is released while the rows are computed in
parallel on the worker pool (RAYON_NUM_THREADS sets its size); the result
does not depend on the number of threads.)doc";

PyRef kagan_angle_matrix(const Arguments& args) {
  const auto view = args.to_array2d<double>(0);
  const FreshArray<FocalMechanism> mechanisms = parsed_or_raise(view);
  auto upper = without_gil([&] { return kagan_upper_triangle(mechanisms); });
  if (!upper) raise_core_error(upper.error());
  const std::size_t n = mechanisms.size();
  mirror_upper_triangle(*upper, n);
  const auto side = static_cast<std::int64_t>(n);
  return array_of(std::move(*upper), {side, side});
}

constexpr FunctionEntry kKaganAngleMatrix{
    {"kagan_angle_matrix", kKaganAngleMatrixParameters, 1}, kKaganAngleMatrixDoc, &kagan_angle_matrix};

constexpr const char* kFocalMechanismRotationsParameters[] = {"first_p_trend",  "first_p_plunge", "first_t_trend",
                                                              "first_t_plunge", "second_p_trend", "second_p_plunge",
                                                              "second_t_trend", "second_t_plunge"};

constexpr const char kFocalMechanismRotationsDoc[] =
    R"doc(focal_mechanism_rotations(first_p_trend, first_p_plunge, first_t_trend, first_t_plunge, second_p_trend, second_p_plunge, second_t_trend, second_t_plunge)
--

All four rotations that carry one focal mechanism onto another.

Each mechanism is given by the trend and plunge in degrees of its P and T
axes (folded into the lower hemisphere, within 1 degree of perpendicular).
A double couple is unchanged by a half turn about its own T, P or B axis,
so four rotations carry the first onto the second. Returns a dict with the
keys trend, plunge and angle_degrees, each a new (4,) float64 array: the
directed rotation axis (plunge negative when it points up) and the turn by
the right-hand rule, in [0, 180], sorted by turn (stable), so element 0 of
angle_degrees is the Kagan angle. A turn below about 0.000115 degrees has
no axis: it is reported as axis (0, 0) with angle 0. Raises ValueError
"first mechanism: ..." or "second mechanism: ..." for axes that are not a
double couple. The interpreter lock is held.)doc";

PyRef focal_mechanism_rotations(const Arguments& args) {
  double values[8];
  for (std::size_t i = 0; i < 8; ++i) values[i] = args.to_double(i);
  const FocalMechanism first =
      mechanism_or_raise(focal_mechanism_from_axes(values[0], values[1], values[2], values[3]), "first mechanism: ");
  const FocalMechanism second =
      mechanism_or_raise(focal_mechanism_from_axes(values[4], values[5], values[6], values[7]), "second mechanism: ");
  const auto rotations = mechanism_rotations(first, second);
  if (!rotations) raise_core_error(rotations.error());
  std::vector<double> trend, plunge, angle;
  for (const MechanismRotation& rotation : *rotations) {
    trend.push_back(rotation.axis_trend);
    plunge.push_back(rotation.axis_plunge);
    angle.push_back(rotation.angle);
  }
  return DictBuilder()
      .set("trend", array_of(std::move(trend), {4}))
      .set("plunge", array_of(std::move(plunge), {4}))
      .set("angle_degrees", array_of(std::move(angle), {4}))
      .finish();
}

constexpr FunctionEntry kFocalMechanismRotations{{"focal_mechanism_rotations", kFocalMechanismRotationsParameters, 8},
                                                 kFocalMechanismRotationsDoc,
                                                 &focal_mechanism_rotations};

constexpr const char* kRotateFocalMechanismParameters[] = {"p_trend",    "p_plunge",    "t_trend",      "t_plunge",
                                                           "axis_trend", "axis_plunge", "angle_degrees"};

constexpr const char kRotateFocalMechanismDoc[] =
    R"doc(rotate_focal_mechanism(p_trend, p_plunge, t_trend, t_plunge, axis_trend, axis_plunge, angle_degrees)
--

Turn a focal mechanism about an axis.

The mechanism is given by the trend and plunge in degrees of its P and T
axes; it is turned by angle_degrees (any sign and size) by the right-hand
rule about the directed axis of trend axis_trend and plunge axis_plunge
(about a downward vertical axis a positive angle increases trends).
Applying any rotation of focal_mechanism_rotations to the first mechanism
gives the second. Returns a dict with the keys p, t and b, each a tuple
(trend, plunge) in degrees; P and T are folded into the lower hemisphere,
B = T x P is not and may plunge upward. NaN anywhere gives NaN axes.
Raises ValueError when P and T are more than 1 degree from perpendicular.
The interpreter lock is held.)doc";

PyRef rotate_focal_mechanism(const Arguments& args) {
  double values[7];
  for (std::size_t i = 0; i < 7; ++i) values[i] = args.to_double(i);
  const FocalMechanism mechanism =
      mechanism_or_raise(focal_mechanism_from_axes(values[0], values[1], values[2], values[3]), "");
  const FocalMechanism turned = mechanism_or_raise(rotate_mechanism(mechanism, values[4], values[5], values[6]), "");
  return DictBuilder()
      .set("p", axis_tuple(turned.p))
      .set("t", axis_tuple(turned.t))
      .set("b", axis_tuple(turned.b()))
      .finish();
}

constexpr FunctionEntry kRotateFocalMechanism{
    {"rotate_focal_mechanism", kRotateFocalMechanismParameters, 7}, kRotateFocalMechanismDoc, &rotate_focal_mechanism};

}  // namespace

MethodTable mechanism_methods() {
  static PyMethodDef methods[] = {method_definition<kPtbAxes>(), method_definition<kKaganAngles>(),
                                  method_definition<kKaganAngleMatrix>(), method_definition<kFocalMechanismRotations>(),
                                  method_definition<kRotateFocalMechanism>()};
  return methods;
}

}  // namespace velkor::py
