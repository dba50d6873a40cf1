#include "raster/intersection.hpp"

#include <array>
#include <cmath>

#include "common/internal_failure.hpp"
#include "common/open_hash_map.hpp"
#include "structural/geol_plane.hpp"

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

class March {
 public:
  March(const DemRaster& dem, const AnchoredPlane& plane) : dem_(dem), plane_(plane) {}

  PlaneTrace run() {
    const std::int64_t rows = dem_.rows();
    const std::int64_t cols = dem_.cols();
    if (rows < 2 || cols < 2) return std::move(trace_);
    // Heights are a function of the node alone, so each is computed once and
    // shared by the (up to four) cells around the node.
    std::vector<double> upper(static_cast<std::size_t>(cols));
    std::vector<double> lower(static_cast<std::size_t>(cols));
    fill_heights(0, upper);
    for (std::int64_t r = 0; r + 1 < rows; ++r) {
      fill_heights(r + 1, lower);
      heights_top_ = upper.data();
      heights_bottom_ = lower.data();
      for (std::int64_t c = 0; c + 1 < cols; ++c) {
        const std::array<double, 4> h{upper[c], upper[c + 1], lower[c + 1], lower[c]};
        if (!(std::isfinite(h[0]) && std::isfinite(h[1]) && std::isfinite(h[2]) && std::isfinite(h[3]))) continue;
        const std::array<double, 4> hz{with_zero_rule(h[0]), with_zero_rule(h[1]), with_zero_rule(h[2]),
                                       with_zero_rule(h[3])};
        const int k = (hz[0] > 0.0 ? 1 : 0) | (hz[1] > 0.0 ? 2 : 0) | (hz[2] > 0.0 ? 4 : 0) | (hz[3] > 0.0 ? 8 : 0);
        if (k == 0 || k == 15) continue;
        const CaseChords* chords = &kCaseTable[k];
        if (k == 5 || k == 10) {
          const double centre = (hz[0] + hz[1] + hz[2] + hz[3]) * 0.25;
          if (!(centre > 0.0)) chords = k == 5 ? &kCase5CentreBelow : &kCase10CentreBelow;
        }
        for (int i = 0; i < chords->count; ++i) {
          const std::int64_t first = vertex_on_edge(r, c, chords->chords[i].first_edge);
          const std::int64_t second = vertex_on_edge(r, c, chords->chords[i].second_edge);
          trace_.segments.push_back(first);
          trace_.segments.push_back(second);
        }
      }
      upper.swap(lower);
    }
    return std::move(trace_);
  }

 private:
  void fill_heights(std::int64_t r, std::vector<double>& heights) const {
    const Vec3 p0 = plane_.point;
    const Vec3 n = plane_.normal;
    for (std::int64_t c = 0; c < dem_.cols(); ++c) {
      heights[c] = (dem_.x(r, c) - p0.e) * n.e + (dem_.y(r, c) - p0.n) * n.n + (dem_.z(r, c) - p0.u) * n.u;
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

std::optional<AnchoredPlane> anchored_plane(Vec3 point, double dip_direction_degrees, double dip_degrees) {
  const auto normal = normalized_upward_normal(GeolPlane{dip_direction_degrees, dip_degrees});
  if (!normal) return std::nullopt;
  return AnchoredPlane{point, *normal};
}

PlaneTrace intersect_plane_with_dem(const DemRaster& dem, const AnchoredPlane& plane) {
  return March(dem, plane).run();
}

}  // namespace velkor
