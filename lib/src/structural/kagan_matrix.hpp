#pragma once
// The Kagan angle matrix of a catalogue: the upper triangle computed row by
// row on the WorkerPool, the lower triangle a copy of it, so the matrix is
// exactly symmetric; every entry equals kagan_angle of its pair bit for bit.
#include <cstddef>
#include <span>
#include <vector>

#include "common/core_error.hpp"
#include "structural/focal_mechanism.hpp"

namespace velkor {

// Row i of the Kagan matrix's working form: zeros up to and including the
// diagonal, the Kagan angle to mechanism j in every later position j.
CoreResult<std::vector<double>> kagan_row(std::span<const FocalMechanism> mechanisms, std::size_t i);

// The upper triangle of the (N, N) Kagan matrix in row-major order, zeros on
// and below the diagonal; rows run on the WorkerPool. The lower triangle is
// left for mirror_upper_triangle so that it is a copy, not a recomputation.
// Throws std::bad_alloc when N * N doubles exceed the physical memory.
CoreResult<std::vector<double>> kagan_upper_triangle(std::span<const FocalMechanism> mechanisms);

// Copies entry (j, i) into (i, j) for every j < i of a row-major n x n matrix.
void mirror_upper_triangle(std::span<double> matrix, std::size_t n);

}  // namespace velkor
