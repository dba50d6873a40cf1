// Wrappers of the focal-mechanism functions: kinematic axes of faults, the
// rotations between two double couples, Kagan angles pair by pair and as a
// catalogue matrix, and turning a mechanism about an axis.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "frame/errors.hpp"
#include "frame/gil.hpp"
#include "frame/results.hpp"
#include "structural/focal_mechanism.hpp"
#include "structural/kagan_matrix.hpp"
#include "structural/mechanism_lanes.hpp"
#include "text/number_format.hpp"
#include "wrappers.hpp"

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

PyRef axis_tuple(Vec3 v) {
  const TrendPlunge axis = trend_plunge_of(v);
  return tuple_of(axis.trend, axis.plunge);
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

}  // namespace

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

PyRef rotate_focal_mechanism(const Arguments& args) {
  double values[7];
  for (std::size_t i = 0; i < 7; ++i) values[i] = args.to_double(i);
  const FocalMechanism mechanism =
      mechanism_or_raise(focal_mechanism_from_axes(values[0], values[1], values[2], values[3]), "");
  const FocalMechanism turned =
      mechanism_or_raise(rotate_mechanism(mechanism, values[4], values[5], values[6]), "");
  return DictBuilder()
      .set("p", axis_tuple(turned.p))
      .set("t", axis_tuple(turned.t))
      .set("b", axis_tuple(turned.b()))
      .finish();
}

}  // namespace velkor::py
