// Prints the bytes of a Kagan matrix, and whether each of its entries equals
// the pair-by-pair Kagan angle bit for bit; likewise for mechanisms parsed
// many rows at a time against the one-row construction, and for the Kagan
// angles of many pairs at once. Run once with the run-time choice of vector
// width and once with "--baseline-lanes"; the two outputs must be identical
// (but for the first line, which names the width).
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "common/lanes.hpp"
#include "structural/focal_mechanism.hpp"
#include "structural/kagan_matrix.hpp"
#include "structural/mechanism_lanes.hpp"

using namespace velkor;

constexpr double kZero = 0.0;

int main(int argc, char** argv) {
  // The second run of the checks: every loop at the baseline width.
  if (argc > 1 && std::strcmp(argv[1], "--baseline-lanes") == 0) lanes::restrict_to_baseline_lanes();
  std::printf("lanes %s\n", lanes::use_wide_lanes() ? "wide" : "baseline");
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
  auto matrix = kagan_matrix(mechanisms);
  if (!matrix) return 1;
  // Both triangles against each pair's own angle, and a diagonal of zeros.
  std::size_t mismatches = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::memcmp(&kZero, &(*matrix)[i * n + i], sizeof kZero) != 0) ++mismatches;
    for (std::size_t j = i + 1; j < n; ++j) {
      const double pair = *kagan_angle(mechanisms[i], mechanisms[j]);
      if (std::memcmp(&pair, &(*matrix)[i * n + j], sizeof pair) != 0) ++mismatches;
      if (std::memcmp(&pair, &(*matrix)[j * n + i], sizeof pair) != 0) ++mismatches;
    }
  }
  std::printf("mechanisms %zu mismatches %zu\n", n, mismatches);
  unsigned long long hash = 1469598103934665603ULL;
  for (const double v : *matrix) {
    unsigned char bytes[8];
    std::memcpy(bytes, &v, 8);
    for (unsigned char b : bytes) hash = (hash ^ b) * 1099511628211ULL;
  }
  std::printf("hash %016llx\n", hash);

  // Rows of trend and plunge: random, on a lattice (exact symmetries,
  // vertical and horizontal axes, upward ends), up to and past the
  // orthogonality tolerance, and not finite.
  std::vector<double> rows;
  const auto add = [&rows](double a, double b, double c, double d) { rows.insert(rows.end(), {a, b, c, d}); };
  for (const FocalMechanism& m : mechanisms) {
    const TrendPlunge p = trend_plunge_of(m.p), t = trend_plunge_of(m.t);
    add(p.trend, p.plunge, t.trend, t.plunge);
  }
  for (int a = 0; a < 360; a += 45)
    for (int b = -90; b <= 90; b += 45) add(a, b, a + 90, 0.0);
  for (double off : {0.5, 0.99, 0.997, 1.0, 1.003, 1.5}) add(0.0, 0.0, 90.0 + off, 0.0);
  // Every tenth of a degree over a turn each way (sines and cosines looked
  // up), with the doubles either side of some and signed zeros (computed).
  for (int k = -3600; k <= 3600; ++k) {
    const double x = k / 10.0, y = (k % 1801) / 10.0 - 90.0 * (k % 1801 > 900 ? 2.0 : 0.0);
    add(x, 0.0, x + 90.0, y);
    add(x + 90.0, y, x, 0.0);
    if (k % 7 == 0) add(std::nextafter(x, 1e9), std::nextafter(y, -1e9), x + 90.0, 0.0);
  }
  add(-0.0, -0.0, 90.0, -0.0);
  add(360.0, 0.0, -270.0, -90.0);
  add(-360.0, 90.0, 360.05, 0.0);
  add(std::nan(""), 0.0, 90.0, 0.0);
  add(0.0, 0.0, INFINITY, 0.0);
  const std::size_t count = rows.size() / 4;
  const StridedView2D<double> view{reinterpret_cast<const char*>(rows.data()), static_cast<std::int64_t>(count), 4, 32,
                                   8};
  std::vector<FocalMechanism> parsed(count), one_by_one;
  std::size_t parse_mismatches = 0, failures = 0;
  for (std::size_t start = 0; start < count; start += kMechanismBlock) {
    const std::size_t n_block = std::min(kMechanismBlock, count - start);
    std::size_t done = 0;
    while (done < n_block) {
      // A failing row ends a block's parse: resume after it, as a caller reading on would.
      const MechanismBlock block = parse_mechanism_block(view, static_cast<std::int64_t>(start + done), n_block - done,
                                                         parsed.data() + start + done);
      done += block.parsed;
      if (block.error) {
        const auto again = focal_mechanism_from_axes(rows[4 * (start + done)], rows[4 * (start + done) + 1],
                                                     rows[4 * (start + done) + 2], rows[4 * (start + done) + 3]);
        if (again || message(again.error()) != message(*block.error)) ++parse_mismatches;
        ++failures;
        parsed[start + done] = FocalMechanism{};
        ++done;
      }
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    const auto m = focal_mechanism_from_axes(rows[4 * i], rows[4 * i + 1], rows[4 * i + 2], rows[4 * i + 3]);
    const FocalMechanism expected = m ? *m : FocalMechanism{};
    if (std::memcmp(&expected, &parsed[i], sizeof expected) != 0) ++parse_mismatches;
    if (m) one_by_one.push_back(*m);
  }
  std::printf("rows %zu failures %zu parse mismatches %zu\n", count, failures, parse_mismatches);

  // Pairs of those mechanisms (NaN ones included) in every count modulo the lanes.
  std::size_t pair_mismatches = 0;
  for (std::size_t n_pairs : {one_by_one.size(), one_by_one.size() - 1, std::size_t{3}, std::size_t{1}}) {
    std::vector<FocalMechanism> second(one_by_one.rbegin(), one_by_one.rbegin() + n_pairs);
    std::vector<double> angles(n_pairs);
    const auto error = kagan_angles_of(std::span(one_by_one).first(n_pairs), second, angles.data());
    if (error) ++pair_mismatches;
    for (std::size_t i = 0; i < n_pairs; ++i) {
      const double pair = *kagan_angle(one_by_one[i], second[i]);
      if (std::memcmp(&pair, &angles[i], sizeof pair) != 0) ++pair_mismatches;
      unsigned char bytes[8];
      std::memcpy(bytes, &angles[i], 8);
      for (unsigned char b : bytes) hash = (hash ^ b) * 1099511628211ULL;
    }
  }
  std::printf("pair mismatches %zu hash %016llx\n", pair_mismatches, hash);
  return 0;
}
