#include "structural/kagan_matrix.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

#include "common/lanes.hpp"
#include "common/memory_limit.hpp"
#include "parallel/stop_check.hpp"
#include "parallel/worker_pool.hpp"
#include "structural/kagan_lanes.hpp"
#include "structural/mechanism_lanes.hpp"
#include "text/number_format.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velkor {

namespace {

// Orientation quaternions stored component by component (padded by
// identities so that pairs can be read several at a time), with the "too
// small" test of each precomputed.
struct QuaternionColumns {
  static constexpr std::size_t kPadding = 3;
  std::vector<double> w, x, y, z;
  std::vector<double> degenerate;  // 1 where the quaternion is too small
  explicit QuaternionColumns(std::span<const Quaternion> quaternions) {
    const std::size_t padded = quaternions.size() + kPadding;
    w.reserve(padded);
    x.reserve(padded);
    y.reserve(padded);
    z.reserve(padded);
    degenerate.reserve(padded);
    for (const Quaternion& q : quaternions) {
      w.push_back(q.w);
      x.push_back(q.x);
      y.push_back(q.y);
      z.push_back(q.z);
      degenerate.push_back(squared_length(q) < kSmallQuaternionSquared ? 1.0 : 0.0);
    }
    for (std::size_t k = 0; k < kPadding; ++k) {
      w.push_back(1.0);
      x.push_back(0.0);
      y.push_back(0.0);
      z.push_back(0.0);
      degenerate.push_back(0.0);
    }
  }
};

constexpr std::size_t kPairBlock = 256;

using lanes::kMaxLanes;

// First stage of the Kagan angles of one row (inverse quaternion c) against
// `count` mechanisms (whole packs are computed; the padding of the columns
// makes the last read safe).
template <std::size_t Lanes>
[[gnu::always_inline]] inline void prepare_pairs_with(const Quaternion& c, const QuaternionColumns& columns,
                                                      std::size_t start, std::size_t count, double* unit_w_out,
                                                      double* full_route_out) {
  using P = lanes::Pack<Lanes>;
  using V = typename P::Value;
  const double* qw = columns.w.data() + start;
  const double* qx = columns.x.data() + start;
  const double* qy = columns.y.data() + start;
  const double* qz = columns.z.data() + start;
  const double* degenerate = columns.degenerate.data() + start;
  const V cw = P::broadcast(c.w), cx = P::broadcast(c.x), cy = P::broadcast(c.y), cz = P::broadcast(c.z);
  for (std::size_t j = 0; j < count; j += Lanes) {
    const kagan_lanes::TurnStage<Lanes> stage = kagan_lanes::turn_stage<Lanes>(
        P::load(qw + j), P::load(qx + j), P::load(qy + j), P::load(qz + j), cw, cx, cy, cz, P::load(degenerate + j));
    P::store(unit_w_out + j, stage.unit_w);
    P::store(full_route_out + j, stage.full_route);
  }
}

void prepare_pairs_baseline(const Quaternion& c, const QuaternionColumns& columns, std::size_t start, std::size_t count,
                            double* unit_w_out, double* full_route_out) {
  prepare_pairs_with<2>(c, columns, start, count, unit_w_out, full_route_out);
}

#if defined(VELKOR_WIDE_LANES)
[[gnu::target("avx2")]] void prepare_pairs_wide(const Quaternion& c, const QuaternionColumns& columns,
                                                std::size_t start, std::size_t count, double* unit_w_out,
                                                double* full_route_out) {
  prepare_pairs_with<4>(c, columns, start, count, unit_w_out, full_route_out);
}
#endif

void prepare_pairs(const Quaternion& c, const QuaternionColumns& columns, std::size_t start, std::size_t count,
                   double* unit_w_out, double* full_route_out) {
#if defined(VELKOR_WIDE_LANES)
  if (lanes::use_wide_lanes()) return prepare_pairs_wide(c, columns, start, count, unit_w_out, full_route_out);
#endif
  prepare_pairs_baseline(c, columns, start, count, unit_w_out, full_route_out);
}

// Positions i + 1 .. n - 1 of row i; the rest of the row is left alone.
std::optional<CoreError> fill_kagan_row(std::span<const Quaternion> quaternions, const QuaternionColumns& columns,
                                        std::size_t i, double* row) {
  const std::size_t n = quaternions.size();
  if (i + 1 >= n) return std::nullopt;
  const double n1 = squared_length(quaternions[i]);
  if (n1 < kSmallQuaternionSquared) return CoreError{DegenerateQuaternion{}};
  const Quaternion c = inverse(quaternions[i], n1);
  alignas(64) double unit_w[kPairBlock + kMaxLanes];
  alignas(64) double full_route[kPairBlock + kMaxLanes];
  alignas(64) double inverse_cosine[kPairBlock + kMaxLanes];
  for (std::size_t start = i + 1; start < n; start += kPairBlock) {
    const std::size_t count = std::min(kPairBlock, n - start);
    prepare_pairs(c, columns, start, count, unit_w, full_route);
    // Nothing but the inverse cosines in this loop: they are most of the cost.
    for (std::size_t k = 0; k < count; ++k) inverse_cosine[k] = std::acos(unit_w[k]);
    if (count % 2 != 0) inverse_cosine[count] = 0.0;  // the unused lane of the last pack
    kagan_lanes::fold_turns(inverse_cosine, count);
    std::memcpy(row + start, inverse_cosine, count * sizeof(double));
    for (std::size_t k = 0; k < count; ++k) {
      if (full_route[k] == 0.0) [[likely]]
        continue;
      const std::size_t j = start + k;
      if (columns.degenerate[j] != 0.0) return CoreError{DegenerateQuaternion{}};
      const auto angle = kagan_angle_given_inverse(c, quaternions[j]);
      if (!angle) return angle.error();
      row[j] = *angle;
    }
  }
  return std::nullopt;
}

// Faults in the pages of a large fresh buffer on every worker at once: on
// some systems a first touch costs microseconds per page, which would leave
// one thread zeroing the result while the others wait. Only a hint: where
// the system lacks it nothing happens, and the contents are not changed.
void populate_in_parallel([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  constexpr std::uintptr_t kPage = 4096;
  constexpr std::size_t kSlice = std::size_t{8} << 20;
  if (bytes < 2 * kSlice) return;
  const auto first = (reinterpret_cast<std::uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
  const auto last = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kPage - 1);
  if (last <= first) return;
  const std::size_t slices = (last - first + kSlice - 1) / kSlice;
  WorkerPool::instance().parallel_for(slices, 1, [&](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) {
      const std::uintptr_t from = first + k * kSlice;
      const std::uintptr_t to = std::min<std::uintptr_t>(last, from + kSlice);
      madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
    }
  });
#endif
}

std::vector<Quaternion> quaternions_of(std::span<const FocalMechanism> mechanisms) {
  std::vector<Quaternion> quaternions;
  quaternions.reserve(mechanisms.size());
  for (const FocalMechanism& mechanism : mechanisms) quaternions.push_back(orientation_quaternion(mechanism));
  return quaternions;
}

// The upper triangle in row-major order, zeros on and below the diagonal;
// rows run on the WorkerPool.
CoreResult<std::vector<double>> kagan_upper_triangle(std::span<const FocalMechanism> mechanisms) {
  const std::size_t n = mechanisms.size();
  // N * N doubles, checked without overflow.
  if (n != 0 && n > std::numeric_limits<std::size_t>::max() / n) throw std::bad_alloc();
  require_memory_for(static_cast<std::uint64_t>(n) * n, sizeof(double));
  const std::vector<Quaternion> quaternions = quaternions_of(mechanisms);
  const QuaternionColumns columns(quaternions);
  std::vector<double> matrix;
  matrix.reserve(n * n);
  populate_in_parallel(matrix.data(), n * n * sizeof(double));
  matrix.resize(n * n, 0.0);
  // One slot per row so that the reported error does not depend on which
  // worker met its row first: the lowest failing row wins.
  std::vector<std::optional<CoreError>> errors(n);
  // Rows are claimed one at a time: row i costs n - 1 - i pairs, and the
  // longest rows come first, which keeps the workers busy to the end.
  WorkerPool::instance().parallel_for(n, 1, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i)
      errors[i] = fill_kagan_row(quaternions, columns, i, matrix.data() + i * n);
  });
  for (const auto& error : errors) {
    if (error) return std::unexpected(*error);
  }
  return matrix;
}

// Copies entry (j, i) into (i, j) for every j < i of a row-major n x n matrix.
void mirror_upper_triangle(std::span<double> matrix, std::size_t n) {
  // Blocked so that the column-wise reads of the upper triangle stay in
  // cache; each block row of the lower triangle is one task, and reads only
  // entries above the diagonal, which no task writes.
  constexpr std::size_t kBlock = 64;
  const std::size_t block_rows = (n + kBlock - 1) / kBlock;
  WorkerPool::instance().parallel_for(block_rows, 1, [&](std::size_t begin, std::size_t end) {
    for (std::size_t block = begin; block < end; ++block) {
      poll_stop();
      const std::size_t ib = block * kBlock;
      const std::size_t i_end = std::min(n, ib + kBlock);
      for (std::size_t jb = 0; jb <= ib; jb += kBlock) {
        const std::size_t j_end = std::min(n, jb + kBlock);
        for (std::size_t i = ib; i < i_end; ++i) {
          for (std::size_t j = jb; j < j_end && j < i; ++j) matrix[i * n + j] = matrix[j * n + i];
        }
      }
    }
  });
}

}  // namespace

CoreResult<std::vector<double>> kagan_matrix(std::span<const FocalMechanism> mechanisms) {
  CoreResult<std::vector<double>> matrix = kagan_upper_triangle(mechanisms);
  if (matrix) mirror_upper_triangle(*matrix, mechanisms.size());
  return matrix;
}

CoreResult<std::vector<double>> kagan_angles(const StridedView2D<double>& first, const StridedView2D<double>& second) {
  const CoreResult<FreshArray<FocalMechanism>> a = parse_mechanisms(first);
  if (!a) return std::unexpected(a.error());
  const CoreResult<FreshArray<FocalMechanism>> b = parse_mechanisms(second);
  if (!b) return std::unexpected(b.error());
  if (a->size() != b->size()) {
    return refuse(text::format_count(a->size()) + " mechanisms against " + text::format_count(b->size()) +
                  ": the two arrays must be the same length");
  }
  std::vector<double> angles(a->size());
  if (const std::optional<CoreError> error = kagan_angles_of(*a, *b, angles.data())) return std::unexpected(*error);
  return angles;
}

}  // namespace velkor
