#pragma once
// The core library's refusals. Every operation that can refuse an input
// returns CoreResult<T>; the extension frame raises message(error) as
// ValueError, while the inversion and the fields treat some kinds as a
// candidate or node without a solution. The fixed kinds carry their values
// and render their own messages; a check that no fixed kind describes (a
// grid, a kernel, an array's shape) refuses with its text as a Refusal.
#include <cstdint>
#include <expected>
#include <string>
#include <variant>

namespace velkor {

// Stress kinds (building a ReducedStress).
struct AxesNotSubOrthogonal {
  double angle;
  double tolerance = 1.0;
};
struct PhiOutOfRange {
  double phi;
};
struct SigmaOrder {
  double sigma1;
  double sigma3;
};

// Mechanism kinds (double couples and kinematic axes).
struct AxesNotOrthogonal {
  double departure;
  double tolerance = 1.0;
};
struct ZeroAxis {};
struct MissingSlickenline {
  std::uint64_t index;
};
struct UndeterminedSense {};
struct DegenerateQuaternion {};

// Fault kind (building a fault with its slickenlines).
struct SlickenlineOffPlane {
  std::uint64_t index;
  double departure;
  double tolerance = 1.0;
};

// Mesh kind (building a triangle mesh).
struct VertexOutOfRange {
  std::uint64_t index;
  std::uint64_t count;
};

// Vector kind (checked normalisation). Never reaches a caller as a
// ValueError: where it can occur it is a broken invariant.
struct ZeroVector {};

// Any other refusal: the message is the text.
struct Refusal {
  std::string text;
};

using CoreError =
    std::variant<AxesNotSubOrthogonal, PhiOutOfRange, SigmaOrder, AxesNotOrthogonal, ZeroAxis, MissingSlickenline,
                 UndeterminedSense, DegenerateQuaternion, SlickenlineOffPlane, VertexOutOfRange, ZeroVector, Refusal>;

template <class T>
using CoreResult = std::expected<T, CoreError>;

std::string message(const CoreError& error);

// The refusal with that text, ready to return from a CoreResult function.
inline std::unexpected<CoreError> refuse(std::string text) {
  return std::unexpected(CoreError{Refusal{std::move(text)}});
}

// The error's message with context in front of it ("fault 3: ..."), as a
// refusal of its own.
inline std::unexpected<CoreError> refuse_with_context(const std::string& context, const CoreError& error) {
  return refuse(context + message(error));
}

}  // namespace velkor
