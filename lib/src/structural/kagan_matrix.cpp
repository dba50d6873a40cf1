#include "structural/kagan_matrix.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

#include "common/memory_limit.hpp"
#include "parallel/worker_pool.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#endif
// Four lanes at a time where the processor has AVX2, chosen at run time.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(VELKOR_BASELINE_ONLY)
#define VELKOR_KAGAN_AVX2 1
#endif

// The four-lane vector types only ever live inside the AVX2 function (all
// the helpers are inlined into it), so no call passes them in registers.
#pragma GCC diagnostic ignored "-Wpsabi"

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

// Several doubles side by side (2 with the baseline instruction set, 4 where
// the processor has AVX2). Plain IEEE operations lane by lane, with no fused
// multiply-add: the results are those of the scalar expressions, bit for bit,
// whichever width runs.
using Double2 = double __attribute__((vector_size(16)));
using Mask2 = long long __attribute__((vector_size(16)));
using Double4 = double __attribute__((vector_size(32)));
using Mask4 = long long __attribute__((vector_size(32)));

template <std::size_t Lanes>
struct PackTypes;
template <>
struct PackTypes<2> {
  using Value = Double2;
  using Mask = Mask2;
};
template <>
struct PackTypes<4> {
  using Value = Double4;
  using Mask = Mask4;
};

template <std::size_t Lanes>
struct Pack {
  using Value = typename PackTypes<Lanes>::Value;
  using Mask = typename PackTypes<Lanes>::Mask;

  [[gnu::always_inline]] static Value broadcast(double v) {
    Value r;
    for (std::size_t k = 0; k < Lanes; ++k) r[k] = v;
    return r;
  }
  [[gnu::always_inline]] static Value load(const double* p) {
    Value v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  [[gnu::always_inline]] static Value select(const Mask& m, const Value& a, const Value& b) { return m ? a : b; }
  [[gnu::always_inline]] static Value absolute(const Value& a) {
    return (Value)((Mask)a & (Mask)broadcast(std::bit_cast<double>(0x7fffffffffffffffLL)));
  }
  // std::max(a, b) lane by lane.
  [[gnu::always_inline]] static Value larger(const Value& a, const Value& b) { return select(a < b, b, a); }
};

// The most lanes any build reads past the end of a row.
constexpr std::size_t kMaxLanes = 4;

// First stage of the Kagan angles of one row against `count` mechanisms
// (whole packs are computed; the padding of the columns makes the last read
// safe): the rotation of largest scalar part as kagan_angle_given_inverse
// picks it, with exactly its operations, then its normalised scalar part,
// clamped, and a flag for the pairs that need the full route (several
// candidates, a turn that may have no axis, tiny or non-finite values).
template <std::size_t Lanes, class SquareRoot>
[[gnu::always_inline]] inline void prepare_pairs_with(const Quaternion& c, const QuaternionColumns& columns,
                                                      std::size_t start, std::size_t count, double* unit_w_out,
                                                      double* full_route_out) {
  using P = Pack<Lanes>;
  using V = typename P::Value;
  using M = typename P::Mask;
  const double* qw = columns.w.data() + start;
  const double* qx = columns.x.data() + start;
  const double* qy = columns.y.data() + start;
  const double* qz = columns.z.data() + start;
  const double* degenerate = columns.degenerate.data() + start;
  const V cw = P::broadcast(c.w), cx = P::broadcast(c.x), cy = P::broadcast(c.y), cz = P::broadcast(c.z);
  const V zero = P::broadcast(0.0), one = P::broadcast(1.0), small = P::broadcast(1e-5);
  const V margin = P::broadcast(1e-9), near_one = P::broadcast(0.9999), minus_one = P::broadcast(-1.0);
  for (std::size_t j = 0; j < count; j += Lanes) {
    const V w = P::load(qw + j), x = P::load(qx + j), y = P::load(qy + j), z = P::load(qz + j);
    // Scalar parts of (q2 (x) s_k) (x) c for the four symmetries s_k.
    const V s0 = (-x) * cw - w * cx - z * cy - (-y) * cz;
    const V s1 = (-y) * cw - (-z) * cx - w * cy - x * cz;
    const V s2 = (-z) * cw - y * cx - (-x) * cy - w * cz;
    const V s3 = w * cw - x * cx - y * cy - z * cz;
    const V a0 = P::absolute(s0), a1 = P::absolute(s1), a2 = P::absolute(s2), a3 = P::absolute(s3);
    const V largest = P::larger(P::larger(P::larger(zero, a0), a1), P::larger(a2, a3));
    const V threshold = largest - largest * margin;
    const M m0 = a0 >= threshold, m1 = a1 >= threshold, m2 = a2 >= threshold, m3 = a3 >= threshold;
    const V candidates =
        P::select(m0, one, zero) + P::select(m1, one, zero) + P::select(m2, one, zero) + P::select(m3, one, zero);
    const V sum = a0 + a1 + a2 + a3;
    const M finite = (sum - sum) == zero;
    // The chosen q2 (x) s_k, a signed permutation of q2.
    const V pw = P::select(m0, -x, P::select(m1, -y, P::select(m2, -z, w)));
    const V px = P::select(m0, w, P::select(m1, -z, P::select(m2, y, x)));
    const V py = P::select(m0, z, P::select(m1, w, P::select(m2, -x, y)));
    const V pz = P::select(m0, -y, P::select(m1, x, P::select(m2, w, z)));
    const V rw = pw * cw - px * cx - py * cy - pz * cz;
    const V rx = pw * cx + px * cw + py * cz - pz * cy;
    const V ry = pw * cy - px * cz + py * cw + pz * cx;
    const V rz = pw * cz + px * cy - py * cx + pz * cw;
    const V unit = rw / SquareRoot::apply(rw * rw + rx * rx + ry * ry + rz * rz);
    const M short_route = finite & (largest > small) & (candidates == one) & (P::absolute(unit) <= near_one) &
                          (P::load(degenerate + j) == zero);
    const V full_route = P::select(short_route, zero, one);
    const V clamped = P::larger(minus_one, P::select(unit > one, one, unit));
    std::memcpy(unit_w_out + j, &clamped, sizeof clamped);
    std::memcpy(full_route_out + j, &full_route, sizeof full_route);
  }
}

// Correctly rounded square roots, lane by lane.
struct SquareRoot2 {
  [[gnu::always_inline]] static Double2 apply(Double2 a) {
#if defined(__SSE2__)
    return (Double2)_mm_sqrt_pd((__m128d)a);
#else
    return Double2{std::sqrt(a[0]), std::sqrt(a[1])};
#endif
  }
};

void prepare_pairs_baseline(const Quaternion& c, const QuaternionColumns& columns, std::size_t start,
                            std::size_t count, double* unit_w_out, double* full_route_out) {
  prepare_pairs_with<2, SquareRoot2>(c, columns, start, count, unit_w_out, full_route_out);
}

#if defined(VELKOR_KAGAN_AVX2)
// Two halves: written without AVX intrinsics so that it inlines into the
// generic body, which the AVX2 function below compiles with VEX encoding.
struct SquareRoot4 {
  [[gnu::always_inline]] static Double4 apply(const Double4& a) {
    const Double2 low = SquareRoot2::apply(Double2{a[0], a[1]});
    const Double2 high = SquareRoot2::apply(Double2{a[2], a[3]});
    return Double4{low[0], low[1], high[0], high[1]};
  }
};

[[gnu::target("avx2")]] void prepare_pairs_avx2(const Quaternion& c, const QuaternionColumns& columns,
                                                std::size_t start, std::size_t count, double* unit_w_out,
                                                double* full_route_out) {
  prepare_pairs_with<4, SquareRoot4>(c, columns, start, count, unit_w_out, full_route_out);
}
#endif

using PreparePairs = void (*)(const Quaternion&, const QuaternionColumns&, std::size_t, std::size_t, double*,
                              double*);

// Chosen once per process by what the processor offers.
PreparePairs prepare_pairs_for_this_processor() {
#if defined(VELKOR_KAGAN_AVX2)
  if (__builtin_cpu_supports("avx2")) return &prepare_pairs_avx2;
#endif
  return &prepare_pairs_baseline;
}

void prepare_pairs(const Quaternion& c, const QuaternionColumns& columns, std::size_t start, std::size_t count,
                   double* unit_w_out, double* full_route_out) {
  static const PreparePairs chosen = prepare_pairs_for_this_processor();
  chosen(c, columns, start, count, unit_w_out, full_route_out);
}

// Inverse cosines of the scalar parts into reported turns, in place: twice
// the angle in degrees, folded into [0, 180] (whole packs; the buffer has
// room for the last one).
void fold_turns(double* values, std::size_t count) {
  using P = Pack<2>;
  const P::Value two = P::broadcast(2.0), degrees = P::broadcast(kRadiansToDegrees);
  const P::Value half_circle = P::broadcast(180.0), circle = P::broadcast(360.0);
  for (std::size_t k = 0; k < count; k += 2) {
    const P::Value angle = two * P::load(values + k) * degrees;
    const P::Value folded = P::select(angle > half_circle, circle - angle, angle);
    std::memcpy(values + k, &folded, sizeof folded);
  }
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
    fold_turns(inverse_cosine, count);
    std::memcpy(row + start, inverse_cosine, count * sizeof(double));
    for (std::size_t k = 0; k < count; ++k) {
      if (full_route[k] == 0.0) [[likely]] continue;
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

}  // namespace

CoreResult<std::vector<double>> kagan_row(std::span<const FocalMechanism> mechanisms, std::size_t i) {
  const std::vector<Quaternion> quaternions = quaternions_of(mechanisms);
  const QuaternionColumns columns(quaternions);
  std::vector<double> row(mechanisms.size(), 0.0);
  if (const auto error = fill_kagan_row(quaternions, columns, i, row.data())) return std::unexpected(*error);
  return row;
}

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
    for (std::size_t i = begin; i < end; ++i) errors[i] = fill_kagan_row(quaternions, columns, i, matrix.data() + i * n);
  });
  for (const auto& error : errors) {
    if (error) return std::unexpected(*error);
  }
  return matrix;
}

void mirror_upper_triangle(std::span<double> matrix, std::size_t n) {
  // Blocked so that the column-wise reads of the upper triangle stay in
  // cache; each block row of the lower triangle is one task, and reads only
  // entries above the diagonal, which no task writes.
  constexpr std::size_t kBlock = 64;
  const std::size_t block_rows = (n + kBlock - 1) / kBlock;
  WorkerPool::instance().parallel_for(block_rows, 1, [&](std::size_t begin, std::size_t end) {
    for (std::size_t block = begin; block < end; ++block) {
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

}  // namespace velkor
