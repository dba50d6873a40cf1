#pragma once
// Kagan angles of catalogues: pair by pair between two catalogues, and the
// full matrix of one. Every entry equals kagan_angle of its pair bit for bit.
#include <span>
#include <vector>

#include "common/core_error.hpp"
#include "common/strided_view.hpp"
#include "structural/focal_mechanism.hpp"

namespace velkor {

// The (N, N) Kagan matrix in row-major order: the upper triangle computed
// row by row on the WorkerPool, the lower triangle a copy of it, so the
// matrix is exactly symmetric, and the diagonal exactly 0. Throws
// std::bad_alloc when N * N doubles exceed the physical memory.
CoreResult<std::vector<double>> kagan_matrix(std::span<const FocalMechanism> mechanisms);

// The Kagan angle of row i of `first` and row i of `second`, two (N, 4)
// arrays as parse_mechanisms reads them. Refused, in this order: a bad row of
// the first array, a bad row of the second, arrays of different lengths, the
// first pair whose angle cannot be had.
CoreResult<std::vector<double>> kagan_angles(const StridedView2D<double>& first, const StridedView2D<double>& second);

}  // namespace velkor
