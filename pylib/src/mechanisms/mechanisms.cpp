// The focal-mechanism functions: kinematic axes of faults, the
// rotations between two double couples, Kagan angles pair by pair and as a
// catalogue matrix, and turning a mechanism about an axis.
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "frame/errors.hpp"
#include "frame/gil.hpp"
#include "frame/registration.hpp"
#include "frame/results.hpp"
#include "structural/focal_mechanism.hpp"
#include "structural/kagan_matrix.hpp"

namespace velkor::py {
namespace {

// (N, 2) rows of trend and plunge.
PyRef axis_array(std::vector<double>&& values) {
  const auto rows = static_cast<std::int64_t>(values.size() / 2);
  return array_of(std::move(values), {rows, 2});
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
  const auto faults = args.to_array2d<double>(0);
  const auto senses = args.to_optional_array1d<bool>(1);
  KinematicAxes axes = or_raise(kinematic_axes(faults, senses));
  return DictBuilder()
      .set("p", axis_array(std::move(axes.p)))
      .set("t", axis_array(std::move(axes.t)))
      .set("b", axis_array(std::move(axes.b)))
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
  const auto first = args.to_array2d<double>(0);
  const auto second = args.to_array2d<double>(1);
  // Parsing is most of the work, so it runs with the lock released too; a
  // refusal is raised once the lock is back.
  std::vector<double> angles = or_raise(without_gil([&] { return velkor::kagan_angles(first, second); }));
  const auto n = static_cast<std::int64_t>(angles.size());
  return array_of(std::move(angles), {n});
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
  const FreshArray<FocalMechanism> mechanisms = or_raise(parse_mechanisms(view));
  std::vector<double> matrix = or_raise(without_gil([&] { return kagan_matrix(mechanisms); }));
  const auto side = static_cast<std::int64_t>(mechanisms.size());
  return array_of(std::move(matrix), {side, side});
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
  MechanismAxes first, second;
  for (std::size_t i = 0; i < 4; ++i) first[i] = args.to_double(i);
  for (std::size_t i = 0; i < 4; ++i) second[i] = args.to_double(4 + i);
  const std::array<MechanismRotation, 4> rotations = or_raise(mechanism_rotations(first, second));
  std::vector<double> trend, plunge, angle;
  for (const MechanismRotation& rotation : rotations) {
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
  MechanismAxes mechanism;
  for (std::size_t i = 0; i < 4; ++i) mechanism[i] = args.to_double(i);
  const double axis_trend = args.to_double(4);
  const double axis_plunge = args.to_double(5);
  const double angle = args.to_double(6);
  const FocalMechanism turned = or_raise(rotate_mechanism(mechanism, axis_trend, axis_plunge, angle));
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
  return method_table<kPtbAxes, kKaganAngles, kKaganAngleMatrix, kFocalMechanismRotations, kRotateFocalMechanism>();
}

}  // namespace velkor::py
