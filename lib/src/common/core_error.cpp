#include "common/core_error.hpp"

#include "text/number_format.hpp"

namespace velkor {
namespace {

using text::format_count;
using text::format_fixed3;
using text::format_shortest;

struct MessageOf {
  std::string operator()(const AxesNotSubOrthogonal& e) const {
    return "S1 and S3 axes must be sub-orthogonal: " + format_fixed3(e.angle) + " degrees apart, expected within " +
           format_fixed3(e.tolerance) + " of 90";
  }
  std::string operator()(const PhiOutOfRange& e) const {
    return "Phi must be between 0 and 1, got " + format_shortest(e.phi);
  }
  std::string operator()(const SigmaOrder& e) const {
    return "Sigma1 must be greater than Sigma3, got sigma1=" + format_shortest(e.sigma1) +
           ", sigma3=" + format_shortest(e.sigma3);
  }
  std::string operator()(const AxesNotOrthogonal& e) const {
    return "P and T axes depart from orthogonality by " + format_fixed3(e.departure) + " degrees, more than the " +
           format_fixed3(e.tolerance) + " allowed";
  }
  std::string operator()(const ZeroAxis&) const {
    return "a P or T axis was given as a zero-length vector, which has no direction";
  }
  std::string operator()(const MissingSlickenline& e) const {
    return "the fault carries no slickenline at index " + format_count(e.index);
  }
  std::string operator()(const UndeterminedSense&) const {
    return "the slickenline has no determined sense of movement, so P and T cannot be told apart";
  }
  std::string operator()(const DegenerateQuaternion&) const {
    return "the quaternion is too small to describe an orientation";
  }
  std::string operator()(const SlickenlineOffPlane& e) const {
    return "slickenline " + format_count(e.index) + " lies " + format_fixed3(e.departure) +
           " degrees off the fault plane, more than the " + format_fixed3(e.tolerance) + " allowed";
  }
  std::string operator()(const VertexOutOfRange& e) const {
    return "vertex index " + format_count(e.index) + " is out of range for a mesh of " + format_count(e.count) +
           " vertices";
  }
  std::string operator()(const ZeroVector&) const { return "ZeroVector"; }
  std::string operator()(const Refusal& e) const { return e.text; }
};

}  // namespace

std::string message(const CoreError& error) { return std::visit(MessageOf{}, error); }

}  // namespace velkor
