#pragma once
// Eigenvalues and eigenvectors of a symmetric 3 x 3 matrix by classical
// Jacobi rotations: always the largest off-diagonal entry, at most 50
// rotations. Plain and exact enough for scatter matrices, whose smallest
// eigenvector is the normal of a best-fit plane.
#include <array>

namespace velkor {

// Values in descending order, each eigenvector moved with its value.
struct SymmetricEigen {
  std::array<double, 3> values;
  std::array<std::array<double, 3>, 3> vectors;  // vectors[i][j]: component i of eigenvector j
};
SymmetricEigen jacobi_eigen(std::array<std::array<double, 3>, 3> matrix);

}  // namespace velkor
