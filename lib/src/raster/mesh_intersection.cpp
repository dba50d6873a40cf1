#include "raster/mesh_intersection.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "common/internal_failure.hpp"
#include "common/saturating.hpp"
#include "geometry/geol_axis.hpp"
#include "parallel/stop_check.hpp"

namespace velkor {
namespace {

constexpr double kOnPlane = 2.2250738585072014e-308;

double min3(double a, double b, double c) { return std::fmin(std::fmin(a, b), c); }
double max3(double a, double b, double c) { return std::fmax(std::fmax(a, b), c); }

struct Footprint {
  double x_min, x_max, y_min, y_max;
};

struct Window {
  std::int64_t first_row, last_row, first_col, last_col;
};

// Cells touched by [lo, hi] in fractional node indices along one axis, with
// one cell of margin on each side, clamped to the cells 0 .. last_cell.
void clamp_window(std::int64_t lo, std::int64_t hi, std::int64_t last_cell, std::int64_t& first, std::int64_t& last) {
  first = std::max<std::int64_t>(0, std::min(last_cell, std::max<std::int64_t>(0, lo)) - 1);
  last = std::min(last_cell, std::min(last_cell, hi) + 1);
}

// DEM sides met while one mesh triangle is processed. The sides of the
// window's cells are numbered densely (top/bottom, left/right and the
// node 1 - node 2 diagonal), which is an exact set of node pairs at the cost
// of one byte per side of the window, a cost the visit pays anyway.
class VisitedSides {
 public:
  void reset(const Window& window) {
    first_row_ = window.first_row;
    first_col_ = window.first_col;
    node_cols_ = window.last_col - window.first_col + 2;
    plane_size_ = (window.last_row - window.first_row + 2) * node_cols_;
    seen_.assign(static_cast<std::size_t>(3 * plane_size_), 0);
  }
  // Marks the side between nodes a and b (in either order); true when it had
  // already been met.
  bool test_and_mark(std::int64_t ar, std::int64_t ac, std::int64_t br, std::int64_t bc) {
    if (br < ar || (br == ar && bc < ac)) {
      std::swap(ar, br);
      std::swap(ac, bc);
    }
    std::int64_t kind;
    std::int64_t col;
    if (ar == br) {
      kind = 0;  // along a row
      col = ac;
    } else if (ac == bc) {
      kind = 1;  // along a column
      col = ac;
    } else {
      kind = 2;  // the diagonal from (r, c + 1) down to (r + 1, c)
      col = bc;
    }
    const std::int64_t index = kind * plane_size_ + (ar - first_row_) * node_cols_ + (col - first_col_);
    std::uint8_t& seen = seen_[static_cast<std::size_t>(index)];
    if (seen) return true;
    seen = 1;
    return false;
  }

 private:
  std::int64_t first_row_ = 0, first_col_ = 0, node_cols_ = 0, plane_size_ = 0;
  std::vector<std::uint8_t> seen_;
};

struct Node {
  std::int64_t row, col;
  Vec3 p;
};

// The side tests of the mesh triangle (B->C against A, A->C against B, A->B
// against C): the cross product of each side with its opposite vertex is
// fixed per triangle.
struct InsideTest {
  std::array<Vec3, 3> start;
  std::array<Vec3, 3> side;
  std::array<Vec3, 3> reference;

  InsideTest(Vec3 a, Vec3 b, Vec3 c) {
    start = {b, a, a};
    side = {c - b, c - a, b - a};
    const std::array<Vec3, 3> opposite{a, b, c};
    for (int k = 0; k < 3; ++k) reference[k] = cross(side[k], opposite[k] - start[k]);
  }
  // On the boundary counts as inside; a NaN product fails.
  bool contains(Vec3 p) const {
    for (int k = 0; k < 3; ++k) {
      if (!(dot(cross(side[k], p - start[k]), reference[k]) >= 0.0)) return false;
    }
    return true;
  }
};

}  // namespace

MeshIntersection intersect_mesh_with_dem(const DemRaster& dem, const Mesh& mesh) {
  MeshIntersection out;
  const std::int64_t rows = dem.rows();
  const std::int64_t cols = dem.cols();
  if (rows < 2 || cols < 2) return out;
  const auto range = dem.elevation_range();
  if (!range) return out;

  Footprint footprint{INFINITY, -INFINITY, INFINITY, -INFINITY};
  for (const auto& [r, c] :
       std::array<std::array<std::int64_t, 2>, 4>{{{0, 0}, {0, cols - 1}, {rows - 1, 0}, {rows - 1, cols - 1}}}) {
    footprint.x_min = std::fmin(footprint.x_min, dem.x(r, c));
    footprint.x_max = std::fmax(footprint.x_max, dem.x(r, c));
    footprint.y_min = std::fmin(footprint.y_min, dem.y(r, c));
    footprint.y_max = std::fmax(footprint.y_max, dem.y(r, c));
  }
  const GeoTransform& gt = dem.geotransform();
  const double det = gt[1] * gt[5] - gt[2] * gt[4];

  MeshIntersectionStats& stats = out.stats;
  VisitedSides visited;
  for (std::size_t i = 0; i < mesh.faces.size(); ++i) {
    if ((i & 255) == 0) poll_stop();
    ++stats.mesh_triangles;
    const auto& face = mesh.faces[i];
    const Vec3 a = mesh.vertices[face[0]];
    const Vec3 b = mesh.vertices[face[1]];
    const Vec3 c = mesh.vertices[face[2]];
    const Vec3 e1 = b - a;
    const Vec3 e2 = c - a;
    const Vec3 n = cross(e1, e2);
    const double area2 = norm(n);
    const double len1 = norm(e1);
    const double len2 = norm(e2);
    if (len1 < kZeroLength || len2 < kZeroLength || len1 * 1e-9 * len2 >= area2 || area2 < kZeroLength) {
      ++stats.degenerate_mesh_triangles;
      continue;
    }
    const Vec3 unit = n / area2;

    const double x_min = min3(a.e, b.e, c.e), x_max = max3(a.e, b.e, c.e);
    const double y_min = min3(a.n, b.n, c.n), y_max = max3(a.n, b.n, c.n);
    const double z_min = min3(a.u, b.u, c.u), z_max = max3(a.u, b.u, c.u);
    if (x_min > footprint.x_max || x_max < footprint.x_min || y_min > footprint.y_max || y_max < footprint.y_min ||
        range->max < z_min || z_max < range->min) {
      ++stats.mesh_triangles_outside_grid;
      continue;
    }

    Vec3 upward = unit;
    if (upward.u < 0.0) upward = -upward;
    const double dip = std::acos(std::clamp(upward.u, -1.0, 1.0)) * kRadiansToDegrees;
    double dip_direction = std::atan2(upward.e, upward.n) * kRadiansToDegrees;
    if (dip_direction < 0.0) dip_direction += 360.0;

    Window window{0, rows - 2, 0, cols - 2};
    if (det != 0.0) {
      double row_lo = NAN, row_hi = NAN, col_lo = NAN, col_hi = NAN;
      for (const auto& [x, y] :
           std::array<std::array<double, 2>, 4>{{{x_min, y_min}, {x_max, y_min}, {x_min, y_max}, {x_max, y_max}}}) {
        const double dx = x - gt[0];
        const double dy = y - gt[3];
        const double col = (gt[5] * dx - gt[2] * dy) / det - 0.5;
        const double row = (gt[1] * dy - gt[4] * dx) / det - 0.5;
        row_lo = std::fmin(row_lo, row);
        row_hi = std::fmax(row_hi, row);
        col_lo = std::fmin(col_lo, col);
        col_hi = std::fmax(col_hi, col);
      }
      if (row_hi < 0.0 || col_hi < 0.0 || row_lo > static_cast<double>(rows - 1) ||
          col_lo > static_cast<double>(cols - 1)) {
        ++stats.mesh_triangles_outside_grid;
        continue;
      }
      const std::int64_t r_lo = saturating_floor_i64(row_lo), r_hi = saturating_floor_i64(row_hi);
      const std::int64_t c_lo = saturating_floor_i64(col_lo), c_hi = saturating_floor_i64(col_hi);
      if (r_lo > r_hi || c_lo > c_hi) fail_invariant("a mesh triangle's cell window has its bounds reversed");
      clamp_window(r_lo, r_hi, rows - 2, window.first_row, window.last_row);
      clamp_window(c_lo, c_hi, cols - 2, window.first_col, window.last_col);
    }

    visited.reset(window);
    const InsideTest inside(a, b, c);
    for (std::int64_t r = window.first_row; r <= window.last_row; ++r) {
      poll_stop();
      for (std::int64_t col = window.first_col; col <= window.last_col; ++col) {
        // Nodes row by row: 0 = (r, c), 1 = (r, c + 1), 2 = (r + 1, c), 3 = (r + 1, c + 1).
        const std::array<Node, 4> node{
            {{r, col, {dem.x(r, col), dem.y(r, col), dem.z(r, col)}},
             {r, col + 1, {dem.x(r, col + 1), dem.y(r, col + 1), dem.z(r, col + 1)}},
             {r + 1, col, {dem.x(r + 1, col), dem.y(r + 1, col), dem.z(r + 1, col)}},
             {r + 1, col + 1, {dem.x(r + 1, col + 1), dem.y(r + 1, col + 1), dem.z(r + 1, col + 1)}}}};
        if (!(std::isfinite(node[0].p.u) && std::isfinite(node[1].p.u) && std::isfinite(node[2].p.u) &&
              std::isfinite(node[3].p.u)))
          continue;
        const double cell_max = std::max(std::max(node[0].p.u, node[1].p.u), std::max(node[2].p.u, node[3].p.u));
        const double cell_min = std::min(std::min(node[0].p.u, node[1].p.u), std::min(node[2].p.u, node[3].p.u));
        if (z_min > cell_max || cell_min > z_max) continue;

        std::array<double, 4> d;
        std::array<double, 4> side_d;
        for (int k = 0; k < 4; ++k) {
          d[k] = dot(unit, node[k].p - a);
          side_d[k] = d[k] == 0.0 ? kOnPlane : d[k];
        }
        // T1 = (0, 1, 2), then T2 = (2, 1, 3); sides t0->t1, t1->t2, t2->t0.
        static constexpr std::array<std::array<int, 3>, 2> kTriangles{{{0, 1, 2}, {2, 1, 3}}};
        for (const auto& tri : kTriangles) {
          ++stats.dem_triangle_pairs;
          for (int s = 0; s < 3; ++s) {
            const int ka = tri[s];
            const int kb = tri[(s + 1) % 3];
            if (d[ka] == 0.0 && d[kb] == 0.0) {
              ++stats.coplanar_sides;
              continue;
            }
            const double da = side_d[ka], db = side_d[kb];
            if ((da > 0.0 && db > 0.0) || (da < 0.0 && db < 0.0)) continue;
            if (visited.test_and_mark(node[ka].row, node[ka].col, node[kb].row, node[kb].col)) {
              ++stats.duplicate_crossings;
              continue;
            }
            const double t = da / (da - db);
            const Vec3 pa = node[ka].p, pb = node[kb].p;
            const Vec3 p{pa.e + t * (pb.e - pa.e), pa.n + t * (pb.n - pa.n), pa.u + t * (pb.u - pa.u)};
            if (!inside.contains(p)) continue;
            out.points.insert(out.points.end(), {p.e, p.n, p.u});
            out.attitudes.insert(out.attitudes.end(), {dip_direction, dip});
            out.mesh_triangles.push_back(static_cast<std::int64_t>(i));
          }
        }
      }
    }
  }
  return out;
}

}  // namespace velkor
