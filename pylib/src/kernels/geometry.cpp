// The two single-value geometry conversions.
#include "frame/registration.hpp"
#include "frame/results.hpp"
#include "geometry/geol_axis.hpp"
#include "geometry/geol_plane.hpp"

namespace velkor::py {
namespace {

constexpr const char* kPlaneNormalParameters[] = {"dip_dir_degr", "dip_angle_degr"};

constexpr const char kPlaneNormalDoc[] = R"doc(plane_normal(dip_dir_degr, dip_angle_degr)
--

Upward-pointing unit normal of a geological plane, in (East, North, Up).

The plane is given by its dip direction (degrees clockwise from North) and
dip angle (degrees below the horizontal). Returns a list [E, N, U] equal to
(sin dip * sin dip_dir, sin dip * cos dip_dir, cos dip); the dip direction is
used as given, so any value works. A vertical plane has a horizontal normal
pointing towards its dip direction. NaN angles give NaN components.
Never fails on numeric input; the interpreter lock is held throughout.)doc";

PyRef plane_normal(const Arguments& args) {
  const double dip_direction = args.to_double(0);
  const double dip = args.to_double(1);
  return list_of(upward_normal(GeolPlane{dip_direction, dip}));
}

constexpr FunctionEntry kPlaneNormal{{"plane_normal", kPlaneNormalParameters, 2}, kPlaneNormalDoc, &plane_normal};

constexpr const char* kRakeToSlickenlineParameters[] = {"strike_rhr_degr", "dip_angle_degr", "rake_degr"};

constexpr const char kRakeToSlickenlineDoc[] = R"doc(rake_to_slickenline(strike_rhr_degr, dip_angle_degr, rake_degr)
--

The trend/plunge of a slickenline of the given rake, on a plane of the given strike (right-hand rule) and dip.

All three angles are in degrees. The rake follows Aki & Richards (0
left-lateral, 90 reverse, +-180 right-lateral, -90 normal) and describes the
motion of the hanging wall relative to the foot wall, measured in the plane
from the strike direction. Returns a tuple (trend, plunge) in degrees, trend
in [0, 360). The line is directed and not folded into the lower hemisphere:
a reverse component gives a negative (upward) plunge. Strikes are taken
modulo 360. Never fails on numeric input; the interpreter lock is held.)doc";

PyRef rake_to_slickenline(const Arguments& args) {
  const double strike = args.to_double(0);
  const double dip = args.to_double(1);
  const double rake = args.to_double(2);
  return axis_tuple(slip_vector(GeolPlane{dip_direction_of_strike(strike), dip}, rake));
}

constexpr FunctionEntry kRakeToSlickenline{
    {"rake_to_slickenline", kRakeToSlickenlineParameters, 3}, kRakeToSlickenlineDoc, &rake_to_slickenline};

}  // namespace

MethodTable geometry_methods() { return method_table<kPlaneNormal, kRakeToSlickenline>(); }

}  // namespace velkor::py
