// Prints the bytes of a Kagan matrix, and whether each of its entries equals
// the pair-by-pair Kagan angle bit for bit. Built once with the run-time
// choice of vector width and once with the baseline width only; the two
// outputs must be identical.
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "structural/focal_mechanism.hpp"
#include "structural/kagan_matrix.hpp"

using namespace velkor;

int main() {
  std::mt19937_64 generator(20261208);
  std::uniform_real_distribution<double> trend(0.0, 360.0), plunge(-90.0, 90.0);
  std::vector<FocalMechanism> mechanisms;
  // Lattice mechanisms first: exact symmetries make ties between rotations.
  for (int a = 0; a < 360; a += 90)
    for (int b = 0; b <= 90; b += 45)
      for (int c = 0; c < 360; c += 90)
        for (int d = -90; d <= 90; d += 90)
          if (auto m = focal_mechanism_from_axes(a, b, c, d)) mechanisms.push_back(*m);
  while (mechanisms.size() < 400) {
    const Vec3 p = axis_from_trend_plunge(trend(generator), plunge(generator));
    const Vec3 t = *normalized(cross(p, axis_from_trend_plunge(trend(generator), plunge(generator))));
    if (auto m = focal_mechanism_from_vectors(p, t)) mechanisms.push_back(*m);
  }
  mechanisms.push_back(*focal_mechanism_from_axes(0, 0, 90, 0));
  mechanisms.push_back(*focal_mechanism_from_axes(0.00005, 0, 90.00005, 0));  // a turn without an axis
  const std::size_t n = mechanisms.size();
  auto matrix = kagan_upper_triangle(mechanisms);
  if (!matrix) return 1;
  std::size_t mismatches = 0;
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i + 1; j < n; ++j) {
      const double pair = *kagan_angle(mechanisms[i], mechanisms[j]);
      if (std::memcmp(&pair, &(*matrix)[i * n + j], sizeof pair) != 0) ++mismatches;
    }
  std::printf("mechanisms %zu mismatches %zu\n", n, mismatches);
  unsigned long long hash = 1469598103934665603ULL;
  for (const double v : *matrix) {
    unsigned char bytes[8];
    std::memcpy(bytes, &v, 8);
    for (unsigned char b : bytes) hash = (hash ^ b) * 1099511628211ULL;
  }
  std::printf("hash %016llx\n", hash);
  return 0;
}
