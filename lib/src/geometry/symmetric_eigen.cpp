#include "geometry/symmetric_eigen.hpp"

#include <cmath>
#include <utility>

namespace velkor {
namespace {

constexpr double kMachineEpsilon = 2.220446049250313e-16;
constexpr int kMaxRotations = 50;

}  // namespace

SymmetricEigen jacobi_eigen(std::array<std::array<double, 3>, 3> a) {
  std::array<std::array<double, 3>, 3> e{{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}};
  static constexpr std::array<std::array<int, 3>, 3> kPairs{{{0, 1, 2}, {0, 2, 1}, {1, 2, 0}}};  // p, q, other
  for (int rotation = 0; rotation < kMaxRotations; ++rotation) {
    int pick = 0;
    double largest = std::fabs(a[0][1]);
    for (int k = 1; k < 3; ++k) {
      const double magnitude = std::fabs(a[kPairs[k][0]][kPairs[k][1]]);
      if (magnitude > largest) {
        largest = magnitude;
        pick = k;
      }
    }
    const double scale = std::fabs(a[0][0]) + std::fabs(a[1][1]) + std::fabs(a[2][2]);
    if (largest == 0.0 || largest <= kMachineEpsilon * scale) break;
    const int p = kPairs[pick][0], q = kPairs[pick][1], k = kPairs[pick][2];
    const double app = a[p][p], aqq = a[q][q], apq = a[p][q];
    const double theta = (aqq - app) / (2.0 * apq);
    const double sign = std::signbit(theta) ? -1.0 : 1.0;
    const double t = sign / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
    const double c = 1.0 / std::sqrt(t * t + 1.0);
    const double s = t * c;
    a[p][p] = c * c * app - 2.0 * s * c * apq + s * s * aqq;
    a[q][q] = s * s * app + 2.0 * s * c * apq + c * c * aqq;
    a[p][q] = a[q][p] = 0.0;
    const double akp = a[k][p], akq = a[k][q];
    a[k][p] = a[p][k] = c * akp - s * akq;
    a[k][q] = a[q][k] = s * akp + c * akq;
    for (int i = 0; i < 3; ++i) {
      const double eip = e[i][p], eiq = e[i][q];
      e[i][p] = c * eip - s * eiq;
      e[i][q] = s * eip + c * eiq;
    }
  }
  SymmetricEigen out;
  out.values = {a[0][0], a[1][1], a[2][2]};
  out.vectors = e;
  const auto swap_columns = [&out](int i, int j) {
    std::swap(out.values[i], out.values[j]);
    for (int r = 0; r < 3; ++r) std::swap(out.vectors[r][i], out.vectors[r][j]);
  };
  int largest = 0;
  if (out.values[1] > out.values[largest]) largest = 1;
  if (out.values[2] > out.values[largest]) largest = 2;
  if (largest != 0) swap_columns(0, largest);
  if (out.values[1] < out.values[2]) swap_columns(1, 2);
  return out;
}

}  // namespace velkor
