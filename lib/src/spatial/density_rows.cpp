#include "spatial/density_rows.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/internal_failure.hpp"
#include "common/lanes.hpp"
#include "common/saturating.hpp"
#include "parallel/stop_check.hpp"

namespace velkor {

namespace {

using lanes::Pack;

constexpr std::int64_t kKeyMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kKeyMin = std::numeric_limits<std::int64_t>::min();

// k + d without leaving the key range; false where it would.
bool shifted(std::int64_t k, int d, std::int64_t& out) {
  if ((d < 0 && k == kKeyMin) || (d > 0 && k == kKeyMax)) return false;
  out = k + d;
  return true;
}

// The cells of one row: its lines (cell keys on the axes after the first, in
// visiting order: second axis offset fastest), and per column (cell key on
// the first axis) the points of each line's cell that can reach the row.
template <std::size_t D>
class RowCells {
 public:
  static constexpr int kSpan1 = D > 1 ? 1 : 0;
  static constexpr int kSpan2 = D > 2 ? 1 : 0;
  static constexpr std::size_t kLines = (2 * kSpan1 + 1) * (2 * kSpan2 + 1);

  RowCells(const CellIndex& index, const DistanceKernel& kernel, const std::array<double, 3>& p, RowScratch& s)
      : index_(index), kernel_(kernel), p_(p), s_(s) {
    s.columns.clear();
    s.first.clear();
    s.second.clear();
    s.third.clear();
    const std::array<double, 3>& cell = index.cell_size();
    const std::int64_t k1 = D > 1 ? saturating_floor_i64(p[1] / cell[1]) : 0;
    const std::int64_t k2 = D > 2 ? saturating_floor_i64(p[2] / cell[2]) : 0;
    if (!s.found_valid || s.found_row[0] != k1 || s.found_row[1] != k2) {
      s.found.clear();
      s.found_row = {k1, k2};
      s.found_valid = true;
    }
    for (int d2 = -kSpan2; d2 <= kSpan2; ++d2) {
      for (int d1 = -kSpan1; d1 <= kSpan1; ++d1) {
        Line& line = lines_[line_count_++];
        line.present = shifted(k1, d1, line.k1) && shifted(k2, d2, line.k2);
      }
    }
    // A point whose offsets on the other axes alone already put it beyond the
    // reach has a root r beyond it (rounding is monotone and the first axis
    // only adds a square), so its weight is 0: it is left out of the row. For
    // the quartic kernel r > 1 or r = 1 both give 0; for the truncated
    // Gaussian the limit keeps clear of r = truncation, whose weight is not 0.
    const double radius = kernel.kind == KernelKind::quartic ? 1.0 : kernel.truncation;
    beyond_ = kernel.kind == KernelKind::quartic ? 1.0 : radius * radius * (1.0 + 1e-9);
  }

  // The position in s.columns of the column of that key, built on first use.
  // Keys come in non-decreasing order along a row, so only the last few
  // columns are searched.
  std::size_t column(std::int64_t key) {
    const std::size_t n = s_.columns.size();
    for (std::size_t c = n; c > 0 && c + 4 > n; --c) {
      if (s_.columns[c - 1].key == key) return c - 1;
    }
    RowScratch::Column column{key, {}};
    const std::array<CellIndex::Cell, 9>& cells = cells_of(key);
    std::size_t kept = n == 0 ? 0 : s_.columns[n - 1].start[kLines];
    std::size_t most = kept;
    for (std::size_t l = 0; l < kLines; ++l) most += cells[l].end - cells[l].begin;
    s_.first.resize(most);
    if constexpr (D > 1) s_.second.resize(most);
    if constexpr (D > 2) s_.third.resize(most);
    for (std::size_t l = 0; l < kLines; ++l) {
      column.start[l] = kept;
      for (std::size_t e = cells[l].begin; e < cells[l].end; ++e) {
        const double* x = index_.entry_position(e);
        s_.first[kept] = x[0];
        if constexpr (D > 1) {
          const double u1 = (x[1] - p_[1]) / kernel_.bandwidth[1];
          s_.second[kept] = u1 * u1;
        }
        if constexpr (D > 2) {
          const double u2 = (x[2] - p_[2]) / kernel_.bandwidth[2];
          s_.third[kept] = u2 * u2;
        }
        // Written first, counted only when kept: no branch on the data.
        if constexpr (D == 1) {
          ++kept;
        } else if constexpr (D == 2) {
          kept += s_.second[kept] > beyond_ ? 0 : 1;
        } else {
          kept += s_.second[kept] + s_.third[kept] > beyond_ ? 0 : 1;
        }
      }
    }
    column.start[kLines] = kept;
    s_.columns.push_back(column);
    return n;
  }

 private:
  // The cells of every line in the column of that key, from the lookups kept
  // for this row key, or looked up and kept.
  const std::array<CellIndex::Cell, 9>& cells_of(std::int64_t key) {
    std::vector<RowScratch::Found>& found = s_.found;
    while (cursor_ < found.size() && found[cursor_].key < key) ++cursor_;
    if (cursor_ < found.size() && found[cursor_].key == key) return found[cursor_].cells;
    RowScratch::Found entry{key, {}};
    for (std::size_t l = 0; l < kLines; ++l) {
      if (lines_[l].present) entry.cells[l] = index_.find(CellKey{key, lines_[l].k1, lines_[l].k2});
    }
    found.insert(found.begin() + static_cast<std::ptrdiff_t>(cursor_), entry);
    return found[cursor_].cells;
  }

  struct Line {
    bool present = false;
    std::int64_t k1 = 0;
    std::int64_t k2 = 0;
  };
  const CellIndex& index_;
  const DistanceKernel& kernel_;
  std::array<double, 3> p_;
  RowScratch& s_;
  std::array<Line, 9> lines_{};
  std::size_t line_count_ = 0;
  std::size_t cursor_ = 0;  // into s.found: no earlier entry has a key at or above the next one asked
  double beyond_ = 0.0;
};

// The sums of one pack of nodes (first coordinates p0) over the points
// [b, e) of the row's buffers, kernel_weight lane by lane, each weight added
// to its node's sum when it is positive.
template <std::size_t D, KernelKind Kind, std::size_t Lanes>
[[gnu::always_inline]] inline void add_strip(const RowScratch& s, std::size_t b, std::size_t e,
                                             const DistanceKernel& kernel, const typename Pack<Lanes>::Value& p0,
                                             typename Pack<Lanes>::Value& sum) {
  using P = Pack<Lanes>;
  using V = typename P::Value;
  const V h0 = P::broadcast(kernel.bandwidth[0]), norm = P::broadcast(kernel.norm);
  const V one = P::broadcast(1.0), zero = P::broadcast(0.0), minus_half = P::broadcast(-0.5);
  const V truncation = P::broadcast(kernel.truncation);
  const double* first = s.first.data();
  const double* second = s.second.data();
  const double* third = s.third.data();
  for (std::size_t j = b; j < e; ++j) {
    const V u0 = (P::broadcast(first[j]) - p0) / h0;
    V squares = u0 * u0;
    if constexpr (D > 1) squares = squares + P::broadcast(second[j]);
    if constexpr (D > 2) squares = squares + P::broadcast(third[j]);
    const V r = P::sqrt(squares);
    V w;
    if constexpr (Kind == KernelKind::quartic) {
      const V inside = one - r * r;
      w = P::select(r > one, zero, (inside * inside) * norm);
    } else {
      const V exponent = (r * minus_half) * r;
      V e_values;
      for (std::size_t k = 0; k < Lanes; ++k) e_values[k] = r[k] > kernel.truncation ? 0.0 : std::exp(exponent[k]);
      w = P::select(r > truncation, zero, e_values * norm);
    }
    sum = P::select(w > zero, sum + w, sum);
  }
}

template <std::size_t D, KernelKind Kind, std::size_t Lanes>
[[gnu::always_inline]] inline void rows_with(const CellIndex& index, const Grid& grid, const DistanceKernel& kernel,
                                             std::uint64_t begin, std::uint64_t end, double* values,
                                             RowScratch& scratch) {
  using P = Pack<Lanes>;
  using V = typename P::Value;
  const std::uint64_t row_length = grid.counts[0];
  const double spacing = grid.spacing[0], origin = grid.origin[0], cell0 = index.cell_size()[0];
  std::uint64_t f = begin;
  while (f < end) {
    // The piece of this row inside [begin, end).
    const std::array<std::uint64_t, 3> indices = node_indices(grid, f);
    const std::uint64_t piece_end = std::min(end, f + (row_length - indices[0]));
    const std::array<double, 3> p = node_position(grid, f);
    const bool row_reaches = index.inserted() != 0 && (D < 2 || std::isfinite(p[1])) && (D < 3 || std::isfinite(p[2]));
    if (!row_reaches) {
      std::fill(values + f, values + piece_end, -0.0);
      f = piece_end;
      continue;
    }
    RowCells<D> cells(index, kernel, p, scratch);
    const auto first_coordinate = [&](std::uint64_t g) {
      return static_cast<double>(indices[0] + (g - f)) * spacing + origin;
    };
    std::uint64_t g = f;
    while (g < piece_end) {
      poll_stop();
      const double p0 = first_coordinate(g);
      if (!std::isfinite(p0)) {
        values[g++] = -0.0;
        continue;
      }
      // The run of nodes with this node's key: they visit the same cells.
      const std::int64_t key = saturating_floor_i64(p0 / cell0);
      std::uint64_t run_end = g + 1;
      while (run_end < piece_end) {
        const double next = first_coordinate(run_end);
        if (!std::isfinite(next) || saturating_floor_i64(next / cell0) != key) break;
        ++run_end;
      }
      constexpr std::size_t kNone = static_cast<std::size_t>(-1);
      std::array<std::size_t, 3> found{kNone, kNone, kNone};
      for (int d0 = -1; d0 <= 1; ++d0) {
        std::int64_t column_key = 0;
        if (shifted(key, d0, column_key)) found[static_cast<std::size_t>(d0 + 1)] = cells.column(column_key);
      }
      std::array<const RowScratch::Column*, 3> columns{};
      for (std::size_t c = 0; c < 3; ++c) columns[c] = found[c] == kNone ? nullptr : &scratch.columns[found[c]];
      for (std::uint64_t a = g; a < run_end; a += Lanes) {
        V p0s;
        for (std::size_t k = 0; k < Lanes; ++k) p0s[k] = first_coordinate(std::min(a + k, run_end - 1));
        V sum = P::broadcast(-0.0);
        for (std::size_t l = 0; l < RowCells<D>::kLines; ++l) {
          for (const RowScratch::Column* column : columns) {
            if (column == nullptr) continue;
            add_strip<D, Kind, Lanes>(scratch, column->start[l], column->start[l + 1], kernel, p0s, sum);
          }
        }
        for (std::size_t k = 0; k < Lanes && a + k < run_end; ++k) values[a + k] = sum[k];
      }
      g = run_end;
    }
    f = piece_end;
  }
}

template <std::size_t D, KernelKind Kind>
void rows_baseline(const CellIndex& index, const Grid& grid, const DistanceKernel& kernel, std::uint64_t begin,
                   std::uint64_t end, double* values, RowScratch& scratch) {
  rows_with<D, Kind, 2>(index, grid, kernel, begin, end, values, scratch);
}

#if defined(VELKOR_WIDE_LANES)
template <std::size_t D, KernelKind Kind>
[[gnu::target("avx2")]] void rows_wide(const CellIndex& index, const Grid& grid, const DistanceKernel& kernel,
                                       std::uint64_t begin, std::uint64_t end, double* values, RowScratch& scratch) {
  rows_with<D, Kind, 4>(index, grid, kernel, begin, end, values, scratch);
}
#endif

template <std::size_t D, KernelKind Kind>
void rows_for(const CellIndex& index, const Grid& grid, const DistanceKernel& kernel, std::uint64_t begin,
              std::uint64_t end, double* values, RowScratch& scratch) {
#if defined(VELKOR_WIDE_LANES)
  if (lanes::use_wide_lanes()) return rows_wide<D, Kind>(index, grid, kernel, begin, end, values, scratch);
#endif
  rows_baseline<D, Kind>(index, grid, kernel, begin, end, values, scratch);
}

}  // namespace

void density_by_rows(const CellIndex& index, const Grid& grid, const DistanceKernel& kernel, std::uint64_t begin,
                     std::uint64_t end, double* values, RowScratch& scratch) {
  if (kernel.kind == KernelKind::gaussian) fail_invariant("the rows of a density need a kernel with a reach");
  dispatch_kernel(kernel, [&](auto dimension, auto kind) {
    constexpr std::size_t D = decltype(dimension)::value;
    constexpr KernelKind K = decltype(kind)::value;
    if constexpr (K != KernelKind::gaussian) rows_for<D, K>(index, grid, kernel, begin, end, values, scratch);
  });
}

}  // namespace velkor
