#include "raster/intersection.hpp"

#include <array>
#include <cmath>
#include <cstring>

#include "common/internal_failure.hpp"
#include "common/open_hash_map.hpp"
#include "geometry/geol_plane.hpp"
#include "parallel/stop_check.hpp"

namespace velkor {
namespace {

// The smallest positive normal double: a node exactly on the plane counts as
// above it, so the case index never sees a zero.
constexpr double kOnPlane = 2.2250738585072014e-308;

struct EdgeKeyHash {
  std::size_t operator()(const EdgeKey& k) const {
    const std::uint64_t first = mix_bits(k.first_row * 0x9E3779B97F4A7C15ULL + k.first_col);
    const std::uint64_t second = mix_bits(k.second_row * 0xC2B2AE3D27D4EB4FULL + k.second_col + 1);
    return static_cast<std::size_t>(first ^ (second + 0x165667B19E3779F9ULL + (first << 6) + (first >> 2)));
  }
};

// Corners around the cell: 0 = (r, c), 1 = (r, c + 1), 2 = (r + 1, c + 1),
// 3 = (r + 1, c). Offsets (row, column) from the cell's node (r, c).
constexpr std::array<std::array<int, 2>, 4> kCornerOffset{{{0, 0}, {0, 1}, {1, 1}, {1, 0}}};
// Edges as (first corner, second corner): each edge is named the same way
// by both cells that share it (left to right, top to bottom).
constexpr std::array<std::array<int, 2>, 4> kEdgeCorners{{{0, 1}, {1, 2}, {3, 2}, {0, 3}}};

struct Chord {
  std::int8_t first_edge;
  std::int8_t second_edge;
};
struct CaseChords {
  std::int8_t count;
  std::array<Chord, 2> chords;
};

// Chords of the non-saddle cases, indexed by the case (bit i set when corner
// i is above the plane). Cases 5 and 10 are resolved by the centre value.
constexpr std::array<CaseChords, 16> kCaseTable{{
    {0, {{{0, 0}, {0, 0}}}},  // 0: none above
    {1, {{{3, 0}, {0, 0}}}},  // 1
    {1, {{{0, 1}, {0, 0}}}},  // 2
    {1, {{{3, 1}, {0, 0}}}},  // 3
    {1, {{{1, 2}, {0, 0}}}},  // 4
    {2, {{{3, 2}, {0, 1}}}},  // 5: saddle, centre above
    {1, {{{0, 2}, {0, 0}}}},  // 6
    {1, {{{3, 2}, {0, 0}}}},  // 7
    {1, {{{3, 2}, {0, 0}}}},  // 8
    {1, {{{0, 2}, {0, 0}}}},  // 9
    {2, {{{3, 0}, {1, 2}}}},  // 10: saddle, centre above
    {1, {{{1, 2}, {0, 0}}}},  // 11
    {1, {{{3, 1}, {0, 0}}}},  // 12
    {1, {{{0, 1}, {0, 0}}}},  // 13
    {1, {{{3, 0}, {0, 0}}}},  // 14
    {0, {{{0, 0}, {0, 0}}}},  // 15: all above
}};

// The saddles with the centre below: the chords cut off the corners above.
constexpr CaseChords kCase5CentreBelow{2, {{{3, 0}, {1, 2}}}};
constexpr CaseChords kCase10CentreBelow{2, {{{3, 2}, {0, 1}}}};

double with_zero_rule(double h) { return h == 0.0 ? kOnPlane : h; }

constexpr double kLargest = 1.7976931348623157e308;  // |h| <= this: finite (NaN fails)

class March {
 public:
  March(const DemRaster& dem, const AnchoredPlane& plane) : dem_(dem), plane_(plane) {}

  PlaneTrace run() {
    const std::int64_t rows = dem_.rows();
    const std::int64_t cols = dem_.cols();
    if (rows < 2 || cols < 2) return std::move(trace_);
    // Heights are a function of the node alone, so each is computed once and
    // shared by the (up to four) cells around the node. Beside each height a
    // code byte holds bit 0 = above (h >= 0: the zero rule makes a node on
    // the plane count as above) and bit 1 = void (h not finite).
    std::vector<double> upper(static_cast<std::size_t>(cols)), lower(static_cast<std::size_t>(cols));
    std::vector<std::uint8_t> upper_code(static_cast<std::size_t>(cols)), lower_code(static_cast<std::size_t>(cols));
    fill_heights(0, upper.data(), upper_code.data());
    for (std::int64_t r = 0; r + 1 < rows; ++r) {
      poll_stop();
      fill_heights(r + 1, lower.data(), lower_code.data());
      heights_top_ = upper.data();
      heights_bottom_ = lower.data();
      const std::uint8_t* top = upper_code.data();
      const std::uint8_t* bottom = lower_code.data();
      for (std::int64_t c = 0; c + 1 < cols;) {
        // Most of a DEM lies wholly above or wholly below the plane: skip
        // eight cells at once when their nine top and nine bottom nodes are
        // all valid and all on the same side.
        if (c + 9 <= cols && uniform_run(top + c, bottom + c)) {
          c += 8;
          continue;
        }
        march_cell(r, c, top, bottom);
        ++c;
      }
      upper.swap(lower);
      upper_code.swap(lower_code);
    }
    return std::move(trace_);
  }

 private:
  static bool uniform_run(const std::uint8_t* top, const std::uint8_t* bottom) {
    constexpr std::uint64_t kAllAbove = 0x0101010101010101ULL;
    std::uint64_t t, b;
    std::memcpy(&t, top, 8);
    std::memcpy(&b, bottom, 8);
    if (t != b || top[8] != bottom[8] || top[8] != (t & 1)) return false;
    return t == 0 || t == kAllAbove;
  }

  void march_cell(std::int64_t r, std::int64_t c, const std::uint8_t* top, const std::uint8_t* bottom) {
    const std::uint8_t c0 = top[c], c1 = top[c + 1], c2 = bottom[c + 1], c3 = bottom[c];
    if ((c0 | c1 | c2 | c3) & 2) return;  // a void corner: the cell emits nothing
    const int k = (c0 & 1) | (c1 & 1) << 1 | (c2 & 1) << 2 | (c3 & 1) << 3;
    if (k == 0 || k == 15) return;
    const CaseChords* chords = &kCaseTable[k];
    if (k == 5 || k == 10) {
      const double centre = (with_zero_rule(heights_top_[c]) + with_zero_rule(heights_top_[c + 1]) +
                             with_zero_rule(heights_bottom_[c + 1]) + with_zero_rule(heights_bottom_[c])) *
                            0.25;
      if (!(centre > 0.0)) chords = k == 5 ? &kCase5CentreBelow : &kCase10CentreBelow;
    }
    for (int i = 0; i < chords->count; ++i) {
      const std::int64_t first = vertex_on_edge(r, c, chords->chords[i].first_edge);
      const std::int64_t second = vertex_on_edge(r, c, chords->chords[i].second_edge);
      trace_.segments.push_back(first);
      trace_.segments.push_back(second);
    }
  }

  void fill_heights(std::int64_t r, double* heights, std::uint8_t* codes) const {
    const Vec3 p0 = plane_.point;
    const Vec3 n = plane_.normal;
    const double* z = dem_.elevation_row(r);
    const double* column_x = dem_.column_x();
    const double* column_y = dem_.column_y();
    const double row_x = dem_.row_x(r);
    const double row_y = dem_.row_y(r);
    const std::int64_t cols = dem_.cols();
    for (std::int64_t c = 0; c < cols; ++c) {
      const double x = column_x[c] + row_x;
      const double y = column_y[c] + row_y;
      heights[c] = (x - p0.e) * n.e + (y - p0.n) * n.n + (z[c] - p0.u) * n.u;
    }
    for (std::int64_t c = 0; c < cols; ++c) {
      const double h = heights[c];
      codes[c] = static_cast<std::uint8_t>((h >= 0.0 ? 1 : 0) | (std::fabs(h) <= kLargest ? 0 : 2));
    }
  }

  double height(std::int64_t cell_row, std::int64_t node_row, std::int64_t node_col) const {
    return node_row == cell_row ? heights_top_[node_col] : heights_bottom_[node_col];
  }

  std::int64_t vertex_on_edge(std::int64_t r, std::int64_t c, int edge) {
    const auto& a_offset = kCornerOffset[kEdgeCorners[edge][0]];
    const auto& b_offset = kCornerOffset[kEdgeCorners[edge][1]];
    const std::int64_t ar = r + a_offset[0], ac = c + a_offset[1];
    const std::int64_t br = r + b_offset[0], bc = c + b_offset[1];
    const EdgeKey key{static_cast<std::uint64_t>(ar), static_cast<std::uint64_t>(ac), static_cast<std::uint64_t>(br),
                      static_cast<std::uint64_t>(bc)};
    const auto [stored, inserted] = vertices_.try_emplace(key, static_cast<std::int64_t>(trace_.point_count()));
    if (!inserted) return *stored;
    // The raw heights, without the zero rule: exactly one of them is >= 0
    // and the other < 0, so the denominator is never zero and t is in [0, 1].
    const double ha = height(r, ar, ac);
    const double hb = height(r, br, bc);
    const double t = ha / (ha - hb);
    const double xa = dem_.x(ar, ac), ya = dem_.y(ar, ac), za = dem_.z(ar, ac);
    const double xb = dem_.x(br, bc), yb = dem_.y(br, bc), zb = dem_.z(br, bc);
    trace_.points.push_back(xa + t * (xb - xa));
    trace_.points.push_back(ya + t * (yb - ya));
    trace_.points.push_back(za + t * (zb - za));
    return *stored;
  }

  const DemRaster& dem_;
  const AnchoredPlane& plane_;
  const double* heights_top_ = nullptr;
  const double* heights_bottom_ = nullptr;
  OpenHashMap<EdgeKey, std::int64_t, EdgeKeyHash> vertices_{1024};
  PlaneTrace trace_;
};

}  // namespace

CoreResult<AnchoredPlane> anchored_plane(Vec3 point, double dip_direction_degrees, double dip_degrees) {
  const auto normal = normalized_upward_normal(GeolPlane{dip_direction_degrees, dip_degrees});
  if (!normal) return refuse("degenerate plane normal");
  return AnchoredPlane{point, *normal};
}

PlaneTrace intersect_plane_with_dem(const DemRaster& dem, const AnchoredPlane& plane) {
  return March(dem, plane).run();
}

}  // namespace velkor
