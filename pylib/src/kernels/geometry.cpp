// Wrappers of the two single-value geometry conversions.
#include "frame/results.hpp"
#include "structural/geol_axis.hpp"
#include "structural/geol_plane.hpp"
#include "wrappers.hpp"

namespace velkor::py {

PyRef plane_normal(const Arguments& args) {
  const double dip_direction = args.to_double(0);
  const double dip = args.to_double(1);
  return list_of(upward_normal(GeolPlane{dip_direction, dip}));
}

PyRef rake_to_slickenline(const Arguments& args) {
  const double strike = args.to_double(0);
  const double dip = args.to_double(1);
  const double rake = args.to_double(2);
  const Vec3 slip = slip_vector(GeolPlane{dip_direction_of_strike(strike), dip}, rake);
  const TrendPlunge line = trend_plunge_of(slip);
  return tuple_of(line.trend, line.plunge);
}

}  // namespace velkor::py
