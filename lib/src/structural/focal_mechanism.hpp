#pragma once
// Double-couple focal mechanisms as orientations.
//
// A mechanism is held as unit T and P vectors (T in the lower hemisphere, P
// exactly perpendicular to it) with B = T x P; its frame matrix has the
// columns T, P, B and is a proper rotation, so a mechanism is also a unit
// quaternion. A double couple is unchanged by a half turn about any of its
// own axes, so four rotations carry one mechanism onto another; the smallest
// of them is the Kagan angle (0 to 120 degrees).
#include <array>
#include <cstddef>
#include <optional>
#include <vector>

#include "common/core_error.hpp"
#include "common/fresh_array.hpp"
#include "common/strided_view.hpp"
#include "geometry/geol_axis.hpp"
#include "geometry/vec3.hpp"
#include "structural/fault_slip.hpp"

namespace velkor {

struct FocalMechanism {
  Vec3 t;  // unit, pointing down or horizontal
  Vec3 p;  // unit, perpendicular to t
  Vec3 b() const { return cross(t, p); }
};

// (w, x, y, z) with (x, y, z) along (East, North, Up); turns vectors by the
// right-hand rule about the directed axis (x, y, z) by 2 acos(w).
struct Quaternion {
  double w = 1.0;
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
};

// Hamilton product a (x) b, each component summed left to right.
Quaternion hamilton(const Quaternion& a, const Quaternion& b);

// w^2 + x^2 + y^2 + z^2, summed in that order.
double squared_length(const Quaternion& q);
// The conjugate divided by the squared length.
Quaternion inverse(const Quaternion& q, double squared_length);

// Below this squared length a quaternion describes no orientation;
// mechanisms built from axes always give unit quaternions.
inline constexpr double kSmallQuaternionSquared = 1e-12;

struct MechanismRotation {
  double axis_trend;   // degrees, [0, 360)
  double axis_plunge;  // degrees, negative when the directed axis points up
  double angle;        // degrees, [0, 180]
};

// The largest P-T departure from 90 degrees that is still a double couple.
inline constexpr double kOrthogonalityTolerance = 1.0;

// P and T of any length: normalised, folded into the lower hemisphere,
// checked for orthogonality, and P re-derived as the unit (T x P) x T.
CoreResult<FocalMechanism> focal_mechanism_from_vectors(Vec3 p, Vec3 t);
CoreResult<FocalMechanism> focal_mechanism_from_axes(double p_trend, double p_plunge, double t_trend, double t_plunge);

// The rows of an (N, 4) array of P trend, P plunge, T trend, T plunge, in
// fresh storage (a catalogue of millions is written once, without being
// zero-filled first). Refused for an array without four columns, or with
// the first bad row's error behind "mechanism {row}: ".
CoreResult<FreshArray<FocalMechanism>> parse_mechanisms(const StridedView2D<double>& array);

// P trend, P plunge, T trend, T plunge in degrees.
using MechanismAxes = std::array<double, 4>;

// Columns T, P, B; m[row][column], rows along (East, North, Up).
using FrameMatrix = std::array<std::array<double, 3>, 3>;
FrameMatrix frame_matrix(const FocalMechanism& mechanism);

// The orientation quaternion of the frame matrix (not renormalised).
Quaternion orientation_quaternion(const FocalMechanism& mechanism);

// The four rotations that carry `first` onto `second`, smallest turn first
// (stable: equal turns keep the order about T, about P, about B, base).
CoreResult<std::array<MechanismRotation, 4>> mechanism_rotations(const FocalMechanism& first,
                                                                 const FocalMechanism& second);

// The angle of the first of mechanism_rotations, bit for bit, without the
// axes and with a single inverse cosine in the usual case.
CoreResult<double> kagan_angle(const FocalMechanism& first, const FocalMechanism& second);

// The same on orientation quaternions; and given the inverse of the first,
// which must not be too small (the second is not checked here).
CoreResult<double> kagan_angle_of_quaternions(const Quaternion& q1, const Quaternion& q2);
CoreResult<double> kagan_angle_given_inverse(const Quaternion& inverse_first, const Quaternion& second);

// The rotations between two mechanisms given by their axes; a mechanism
// that is not a double couple is refused behind "first mechanism: " or
// "second mechanism: ".
CoreResult<std::array<MechanismRotation, 4>> mechanism_rotations(const MechanismAxes& first,
                                                                 const MechanismAxes& second);

// The mechanism turned by angle_degrees (right-hand rule) about the directed
// axis of the given trend and plunge.
CoreResult<FocalMechanism> rotate_mechanism(const FocalMechanism& mechanism, double axis_trend, double axis_plunge,
                                            double angle_degrees);
CoreResult<FocalMechanism> rotate_mechanism(const MechanismAxes& mechanism, double axis_trend, double axis_plunge,
                                            double angle_degrees);

// The kinematic axes of the slip on a fault: P = n - s and T = n + s (n the
// plane's upward normal, s the slickenline at `index`) made a double couple.
// Needs the sense of slip: reversing it would exchange P and T.
CoreResult<FocalMechanism> kinematic_mechanism(const FaultSlip& fault, std::size_t index);

// The kinematic axes of every fault of an (N, 4) fault array with its
// optional senses (parse_fault_slips), from each fault's first slickenline,
// as (N, 2) rows of trend and plunge in degrees. A fault whose axes cannot
// be had is refused behind "fault {row}: ", once every row has been parsed.
struct KinematicAxes {
  std::vector<double> p, t, b;
};
CoreResult<KinematicAxes> kinematic_axes(const StridedView2D<double>& faults,
                                         const std::optional<StridedView1D<bool>>& senses);

}  // namespace velkor
