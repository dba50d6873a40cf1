#pragma once
// Focal mechanisms many at a time: parsing rows of trend and plunge, their
// orientation quaternions, and the Kagan angle pair by pair. The sines and
// cosines and the inverse cosines run in plain loops of their own; the rest
// runs a pack of rows per vector operation. Every value equals what
// focal_mechanism_from_axes, orientation_quaternion and kagan_angle give for
// the same row or pair, bit for bit: the same operations, only grouped; rows
// and pairs off the common path (a check that could fail, a value that is not
// finite) take those functions themselves.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "common/core_error.hpp"
#include "common/strided_view.hpp"
#include "structural/focal_mechanism.hpp"

namespace velkor {

// How many rows parse_mechanism_block takes at once.
inline constexpr std::size_t kMechanismBlock = 256;

// Rows [start, start + count) of an (N, 4) array of P trend, P plunge,
// T trend, T plunge (count <= kMechanismBlock) into out[0, count): `parsed`
// is the number of rows before the first one that fails, `error` that row's
// error (rows from it on are not written).
struct MechanismBlock {
  std::size_t parsed;
  std::optional<CoreError> error;
};
MechanismBlock parse_mechanism_block(const StridedView2D<double>& array, std::int64_t start, std::size_t count,
                                     FocalMechanism* out);

// kagan_angle of first[i] and second[i] into out[i] for every i (the spans
// have the same length), in order; the first error stops it and is returned
// (the entries from its pair on are then not meaningful).
std::optional<CoreError> kagan_angles_of(std::span<const FocalMechanism> first, std::span<const FocalMechanism> second,
                                         double* out);

}  // namespace velkor
