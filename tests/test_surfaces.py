"""Surfaces against topography: intersect_plane_grid, intersect_mesh_grid, best_fit_planes."""

import functools
import math
import operator
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _velkor import kernels
from samples import note_of, notes

D2R = 0.017453292519943295
R2D = 57.29577951308232
TINY = 2.2250738585072014e-308
GT = (100.0, 10.0, 0.0, 500.0, 0.0, -10.0)
LAYOUT = "DEM must be C-contiguous; pass numpy.ascontiguousarray(dem)"
PARAMS = "cell_size and coincidence_distance must be positive finite numbers"
STATS_KEYS = ["mesh_triangles", "degenerate_mesh_triangles", "mesh_triangles_outside_grid",
              "dem_triangle_pairs", "coplanar_sides", "duplicate_crossings"]
FIELD_KEYS = ["cell_centres", "attitudes", "centroids", "singular_values", "cells", "point_counts",
              "collinearity", "rms_distance"]
FIT_STATS_KEYS = ["input_points", "distinct_points", "non_empty_cells", "cells_fitted", "cells_too_few_points",
                  "cells_collinear", "grid_rows", "grid_columns", "grid_x_min", "grid_y_max", "cell_size"]


# ---------------------------------------------------------------- references
# Straight transcriptions of the documented algorithms in scalar Python
# floats (IEEE doubles, the same libm), used on small inputs.

def node_xyz(dem, gt, r, c, nodata):
    x = gt[0] + (c + 0.5) * gt[1] + (r + 0.5) * gt[2]
    y = gt[3] + (c + 0.5) * gt[4] + (r + 0.5) * gt[5]
    z = float(dem[r, c])
    if nodata is not None and z == nodata:
        z = math.nan
    return x, y, z


EDGES = [(0, 1), (1, 2), (3, 2), (0, 3)]
CORNERS = [(0, 0), (0, 1), (1, 1), (1, 0)]
TABLE = {1: [(3, 0)], 2: [(0, 1)], 3: [(3, 1)], 4: [(1, 2)], 6: [(0, 2)], 7: [(3, 2)], 8: [(3, 2)], 9: [(0, 2)],
         11: [(1, 2)], 12: [(3, 1)], 13: [(0, 1)], 14: [(3, 0)]}


def ref_plane(dem, gt, src, dd, dip, nodata=None):
    a, d = dd * D2R, dip * D2R
    u = (math.sin(d) * math.sin(a), math.sin(d) * math.cos(a), math.cos(d))
    length = math.sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2])
    n = [v / length for v in u]

    def height(r, c):
        x, y, z = node_xyz(dem, gt, r, c, nodata)
        return (x - src[0]) * n[0] + (y - src[1]) * n[1] + (z - src[2]) * n[2]

    points, segments, seen = [], [], {}
    rows, cols = dem.shape
    for r in range(rows - 1):
        for c in range(cols - 1):
            nodes = [(r + dr, c + dc) for dr, dc in CORNERS]
            h = [height(*node) for node in nodes]
            if not all(math.isfinite(v) for v in h):
                continue
            hz = [TINY if v == 0 else v for v in h]
            k = sum(1 << i for i in range(4) if hz[i] > 0)
            if k in (5, 10):
                above = functools.reduce(operator.add, hz) * 0.25 > 0  # left to right, as the kernel adds
                chords = [(3, 2), (0, 1)] if (k == 5) == above else [(3, 0), (1, 2)]
            else:
                chords = TABLE.get(k, [])
            for chord in chords:
                ids = []
                for edge in chord:
                    a_node, b_node = nodes[EDGES[edge][0]], nodes[EDGES[edge][1]]
                    key = a_node + b_node
                    if key not in seen:
                        ha, hb = height(*a_node), height(*b_node)
                        t = ha / (ha - hb)
                        pa, pb = node_xyz(dem, gt, *a_node, nodata), node_xyz(dem, gt, *b_node, nodata)
                        seen[key] = len(points)
                        points.append([pa[i] + t * (pb[i] - pa[i]) for i in range(3)])
                    ids.append(seen[key])
                segments.append(ids)
    return np.array(points, dtype=float).reshape(-1, 3), np.array(segments, dtype=np.int64).reshape(-1, 2)


def sub(a, b):
    return [a[0] - b[0], a[1] - b[1], a[2] - b[2]]


def cross(a, b):
    return [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]]


def dot(a, b):
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]


def ref_mesh(dem, gt, vertices, faces, nodata=None):
    stats = dict.fromkeys(STATS_KEYS, 0)
    out = ([], [], [])
    rows, cols = dem.shape
    nodes = {(r, c): node_xyz(dem, gt, r, c, nodata) for r in range(rows) for c in range(cols)}
    valid = [z for _, _, z in nodes.values() if math.isfinite(z)]
    if rows < 2 or cols < 2 or not valid:
        return out, stats
    corners = [nodes[(0, 0)], nodes[(0, cols - 1)], nodes[(rows - 1, 0)], nodes[(rows - 1, cols - 1)]]
    fx = (min(p[0] for p in corners), max(p[0] for p in corners))
    fy = (min(p[1] for p in corners), max(p[1] for p in corners))
    det = gt[1] * gt[5] - gt[2] * gt[4]
    for i, face in enumerate(faces):
        stats["mesh_triangles"] += 1
        A, B, C = (list(map(float, vertices[j])) for j in face)
        e1, e2 = sub(B, A), sub(C, A)
        n = cross(e1, e2)
        R, l1, l2 = (math.sqrt(dot(v, v)) for v in (n, e1, e2))
        if l1 < 1e-9 or l2 < 1e-9 or l1 * 1e-9 * l2 >= R or R < 1e-9:
            stats["degenerate_mesh_triangles"] += 1
            continue
        unit = [v / R for v in n]
        lo = [min(A[k], B[k], C[k]) for k in range(3)]
        hi = [max(A[k], B[k], C[k]) for k in range(3)]
        if lo[0] > fx[1] or hi[0] < fx[0] or lo[1] > fy[1] or hi[1] < fy[0] or max(valid) < lo[2] or hi[2] < min(valid):
            stats["mesh_triangles_outside_grid"] += 1
            continue
        up = [-v for v in unit] if unit[2] < 0 else unit
        dip = math.acos(min(max(up[2], -1.0), 1.0)) * R2D
        dd = math.atan2(up[0], up[1]) * R2D
        dd = dd + 360 if dd < 0 else dd
        rr, cc = (0, rows - 2), (0, cols - 2)
        if det != 0:
            fr, fc = [], []
            for x, y in [(lo[0], lo[1]), (hi[0], lo[1]), (lo[0], hi[1]), (hi[0], hi[1])]:
                dx, dy = x - gt[0], y - gt[3]
                fc.append((gt[5] * dx - gt[2] * dy) / det - 0.5)
                fr.append((gt[1] * dy - gt[4] * dx) / det - 0.5)
            if max(fr) < 0 or max(fc) < 0 or min(fr) > rows - 1 or min(fc) > cols - 1:
                stats["mesh_triangles_outside_grid"] += 1
                continue
            rr = (max(0, min(rows - 2, max(0, math.floor(min(fr)))) - 1), min(rows - 2, math.floor(max(fr)) + 1))
            cc = (max(0, min(cols - 2, max(0, math.floor(min(fc)))) - 1), min(cols - 2, math.floor(max(fc)) + 1))
        visited = set()
        for r in range(rr[0], rr[1] + 1):
            for c in range(cc[0], cc[1] + 1):
                ids = [(r, c), (r, c + 1), (r + 1, c), (r + 1, c + 1)]
                P = [nodes[k] for k in ids]
                zs = [p[2] for p in P]
                if not all(math.isfinite(z) for z in zs) or lo[2] > max(zs) or min(zs) > hi[2]:
                    continue
                d = [dot(unit, sub(p, A)) for p in P]
                ds = [TINY if v == 0 else v for v in d]
                for tri in ((0, 1, 2), (2, 1, 3)):
                    stats["dem_triangle_pairs"] += 1
                    for s in range(3):
                        ka, kb = tri[s], tri[(s + 1) % 3]
                        if d[ka] == 0 and d[kb] == 0:
                            stats["coplanar_sides"] += 1
                            continue
                        if (ds[ka] > 0 and ds[kb] > 0) or (ds[ka] < 0 and ds[kb] < 0):
                            continue
                        key = tuple(sorted((ids[ka], ids[kb])))
                        if key in visited:
                            stats["duplicate_crossings"] += 1
                            continue
                        visited.add(key)
                        t = ds[ka] / (ds[ka] - ds[kb])
                        p = [P[ka][k] + t * (P[kb][k] - P[ka][k]) for k in range(3)]
                        inside = all(dot(cross(sub(e, s0), sub(p, s0)), cross(sub(e, s0), sub(o, s0))) >= 0
                                     for s0, e, o in ((B, C, A), (A, C, B), (A, B, C)))
                        if inside:
                            out[0].append(p)
                            out[1].append([dd, dip])
                            out[2].append(i)
    return out, stats


def saturated_floor(v):
    if math.isnan(v):
        return 0
    if math.isinf(v):
        return 2**63 - 1 if v > 0 else -(2**63)
    return min(max(math.floor(v), -(2**63)), 2**63 - 1)


def squared_distance(p, o):
    """As floats square (to inf where the square overflows; Python's ** 2 raises there)."""
    dx, dy, dz = p[0] - o[0], p[1] - o[1], p[2] - o[2]
    return dx * dx + dy * dy + dz * dz


def ref_merge(points, a):
    """The greedy merge, voxel keys saturated to 64 bits and NaN keyed 0; the kept points in order."""
    kept, voxels = [], {}
    for p in points:
        key = tuple(saturated_floor(v / a) for v in p)
        near = (o for dx in (-1, 0, 1) for dy in (-1, 0, 1) for dz in (-1, 0, 1)
                for o in voxels.get((key[0] + dx, key[1] + dy, key[2] + dz), ()))
        if not any(a * a > squared_distance(p, o) for o in near):
            kept.append(p)
            voxels.setdefault(key, []).append(p)
    return np.array(kept)


def members_by_cell(kept, cell):
    """The distinct points of each non-empty cell, binned as the grid bins them (origin at min x, max y)."""
    rows = np.floor((kept[:, 1].max() - kept[:, 1]) / cell).astype(int)
    cols = np.floor((kept[:, 0] - kept[:, 0].min()) / cell).astype(int)
    return {key: kept[(rows == key[0]) & (cols == key[1])] for key in set(zip(rows.tolist(), cols.tolist()))}


def mesh_call(dem, vertices, faces, gt=GT, nodata=None):
    return kernels.intersect_mesh_grid(dem, gt, np.asarray(vertices, float), np.asarray(faces, np.int64), nodata)


def random_dem(rng, rows, cols, holes=0):
    dem = np.cumsum(np.cumsum(rng.normal(size=(rows, cols)), 0), 1) * 0.3 + 50
    dem[rng.integers(0, rows, holes), rng.integers(0, cols, holes)] = -9999.0
    return dem


ROTATED = (1000.0, 9.0, 2.5, 2000.0, -1.5, -11.0)


# ---------------------------------------------------------- DEM and layout

@pytest.mark.parametrize("shape", [(0, 5), (5, 0), (1, 6), (6, 1)])
def test_dems_without_cells_give_empty_results_of_full_shape(shape):
    dem = np.zeros(shape)
    points, segments = kernels.intersect_plane_grid(dem, GT, (0, 0, 0), 0, 0)
    assert (points.shape, points.dtype, segments.shape, segments.dtype) == ((0, 3), np.float64, (0, 2), np.int64)
    p, att, tri, stats = mesh_call(dem, [[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]])
    assert (p.shape, att.shape, tri.shape, tri.dtype) == ((0, 3), (0, 2), (0,), np.int64)
    assert list(stats) == STATS_KEYS and set(stats.values()) == {0}


def test_length_one_axis_never_disqualifies_a_dem():
    base = np.arange(24.0)
    row = np.lib.stride_tricks.as_strided(base, shape=(1, 6), strides=(999 * 8, 8))
    column = np.lib.stride_tricks.as_strided(base, shape=(6, 1), strides=(8, 77 * 8))
    for dem in (row, column, np.zeros((4, 6))[::3][:1]):
        assert kernels.intersect_plane_grid(dem, GT, (0, 0, 0), 0, 0)[0].shape == (0, 3)


@pytest.mark.parametrize("view", [lambda d: d[::-1], lambda d: d.T, lambda d: d[:, ::2], lambda d: d[::2]])
def test_non_contiguous_dems_are_refused_and_their_copies_accepted(view):
    dem = view(np.arange(36.0).reshape(6, 6))
    for call in (lambda d: kernels.intersect_plane_grid(d, GT, (0, 0, 0), 0, 0),
                 lambda d: mesh_call(d, [[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]])):
        with pytest.raises(ValueError) as info:
            call(dem)
        assert str(info.value) == LAYOUT
        call(np.ascontiguousarray(dem))


def test_dem_whose_byte_strides_are_not_whole_elements_is_refused():
    # A float64 field of a packed record array: 12 bytes between elements, one and a half doubles.
    records = np.zeros(20, dtype=[("z", "<f8"), ("flag", "<f4")])
    records["z"] = np.arange(20.0)
    dem = np.lib.stride_tricks.as_strided(records["z"], shape=(4, 5), strides=(60, 12))
    with pytest.raises(ValueError) as info:
        kernels.intersect_plane_grid(dem, GT, (0, 0, 0), 0, 0)
    assert str(info.value) == LAYOUT
    assert kernels.intersect_plane_grid(np.ascontiguousarray(dem), GT, (0, 0, 0), 0, 0)[0].shape == (0, 3)


def raised(kind, call):
    with pytest.raises(kind) as info:
        call()
    return str(info.value), notes(info.value)


def test_validation_order_conversion_then_layout_then_mesh_checks():
    bad_dem = np.zeros((4, 4))[::-1]
    assert raised(ValueError, lambda: kernels.intersect_plane_grid(bad_dem, GT[:5], (0, 0, 0), 0, 0)) == \
        ("expected a sequence of length 6 (got 5)", note_of("geotransform"))
    assert raised(ValueError, lambda: kernels.intersect_plane_grid(bad_dem, GT, (0, 0), 0, 0)) == \
        ("expected a sequence of length 3 (got 2)", note_of("src_pt"))
    assert raised(TypeError, lambda: kernels.intersect_mesh_grid(bad_dem, GT, np.zeros((3, 3), np.float32),
                                                                 np.zeros((1, 3), np.int64)))[1] == note_of("vertices")
    assert raised(TypeError, lambda: kernels.intersect_plane_grid(bad_dem, GT, (0, 0, 0), 0, 0, "x"))[1] == \
        note_of("nodata")
    assert raised(ValueError, lambda: mesh_call(bad_dem, np.zeros((3, 2)), [[0, 1, -1]]))[0] == LAYOUT
    assert raised(TypeError, lambda: kernels.intersect_plane_grid(np.zeros(3), GT, (0, 0, 0), 0, 0))[1] == \
        note_of("dem")
    assert raised(TypeError, lambda: kernels.intersect_plane_grid(np.zeros((3, 3)), 5.0, (0, 0, 0), 0, 0))[1] == \
        note_of("geotransform")


@pytest.mark.parametrize("node, position", [((0, 0), (105.0, 495.0)), ((2, 3), (135.0, 475.0))])
def test_node_on_plane_is_above_and_sits_at_its_pixel_centre(node, position):
    # Only `node` lies on the horizontal plane z = 0; every other node is below.
    dem = -np.ones((4, 5))
    dem[node] = 0.0
    points, segments = kernels.intersect_plane_grid(dem, GT, (0, 0, 0), 0, 0)
    assert np.all(points == [position[0], position[1], 0.0])
    if node == (0, 0):  # the 2 x 2 corner cell alone: case 1, chord from edge 3 to edge 0
        points, segments = kernels.intersect_plane_grid(np.ascontiguousarray(dem[:2, :2]), GT, (0, 0, 0), 0, 0)
        assert points.tolist() == [[105.0, 495.0, 0.0]] * 2 and segments.tolist() == [[0, 1]]


def test_nodata_voids_exactly_equal_values():
    dem = np.full((3, 3), 10.0)
    dem[0, 0], dem[2, 2] = -9999.0, -9999.5
    pts, _ = kernels.intersect_plane_grid(dem, (0, 1, 0, 0, 0, -1), (0, 0, 0), 0, 0, nodata=-9999.0)
    # Only the cell (1, 1) survives; its corner (2, 2) is far below, so edges 1 and 2 cross.
    assert np.allclose(pts, [(2.5, -1.5 - 10 / 10009.5, 0), (1.5 + 10 / 10009.5, -2.5, 0)], rtol=0, atol=1e-12)
    assert np.array_equal(pts, ref_plane(dem, (0, 1, 0, 0, 0, -1), (0, 0, 0), 0, 0, -9999.0)[0])


def unaligned_copy(a):
    raw = np.zeros(a.nbytes + 1, np.uint8)
    out = np.frombuffer(raw.data, np.float64, a.size, offset=1).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


@pytest.mark.parametrize("rows", [40, 1100])  # the larger DEM's copy is a block of its own (over 4 MB)
def test_unaligned_and_large_dems_read_as_their_aligned_copies(rows):
    rng = np.random.default_rng(rows)
    dem = random_dem(rng, rows, 1000, holes=50)
    holes = np.where(dem == -9999.0, np.nan, dem)
    src = (GT[0] + 400, GT[3] - 300, 50.0)
    expected = kernels.intersect_plane_grid(holes, GT, src, 35.0, 20.0)
    assert len(expected[0]) > 50
    for dem_arg, nodata in ((dem, -9999.0), (unaligned_copy(dem), -9999.0), (unaligned_copy(holes), None)):
        got = kernels.intersect_plane_grid(dem_arg, GT, src, 35.0, 20.0, nodata)
        assert np.array_equal(got[0], expected[0]) and np.array_equal(got[1], expected[1])


# ---------------------------------------------------------- plane crossing

@pytest.mark.parametrize("seed", range(6))
def test_plane_matches_the_documented_march_exactly(seed):
    rng = np.random.default_rng(seed)
    dem = random_dem(rng, 9 + seed, 11, holes=3)
    gt = ROTATED if seed % 2 else GT
    src = (gt[0] + 40, gt[3] - 40, 50.0)
    dd, dip = rng.uniform(0, 360), rng.uniform(0, 80)
    nodata = -9999.0 if seed < 4 else None
    points, segments = kernels.intersect_plane_grid(dem, gt, src, dd, dip, nodata)
    ref_points, ref_segments = ref_plane(dem, gt, src, dd, dip, nodata)
    assert np.array_equal(points, ref_points) and np.array_equal(segments, ref_segments)
    assert points.flags.c_contiguous and segments.flags.c_contiguous


def test_plane_vertices_are_exactly_the_sign_changes_of_valid_cells():
    rng = np.random.default_rng(7)
    dem = random_dem(rng, 120, 150, holes=40)
    z = np.where(dem == -9999.0, np.nan, dem)
    rows, cols = np.indices(dem.shape)
    x, y = 100 + (cols + 0.5) * 10, 500 - (rows + 0.5) * 10
    n = np.array(kernels.plane_normal(200.0, 25.0))
    h = (x - 800) * n[0] + (y - 0) * n[1] + (z - 50) * n[2]
    above = h >= 0
    valid = np.isfinite(h[:-1, :-1] + h[1:, :-1] + h[:-1, 1:] + h[1:, 1:])
    in_cell_h = np.zeros((120, 149), bool)  # horizontal edges touching a valid cell
    in_cell_h[:-1] |= valid
    in_cell_h[1:] |= valid
    in_cell_v = np.zeros((119, 150), bool)
    in_cell_v[:, :-1] |= valid
    in_cell_v[:, 1:] |= valid
    crossed = (in_cell_h & (above[:, :-1] != above[:, 1:])).sum() + (in_cell_v & (above[:-1] != above[1:])).sum()
    points, segments = kernels.intersect_plane_grid(dem, GT, (800, 0, 50), 200.0, 25.0, -9999.0)
    assert len(points) == crossed
    uses = np.bincount(segments.ravel(), minlength=len(points))
    assert set(uses) <= {1, 2} and uses.sum() == 2 * len(segments)
    # Both ends of a chord lie in one cell: within one cell diagonal of each other.
    assert np.all(np.hypot(*(points[segments[:, 0], :2] - points[segments[:, 1], :2]).T) <= math.hypot(10, 10) + 1e-9)


def test_plane_trace_agrees_with_scikit_image_contours():
    measure = pytest.importorskip("skimage.measure")
    dem = random_dem(np.random.default_rng(11), 60, 70)
    gt = (-0.5, 1.0, 0.0, -0.5, 0.0, 1.0)  # node (r, c) at x = c, y = r: map and index coordinates agree
    points, _ = kernels.intersect_plane_grid(dem, gt, (30.0, 20.0, 50.0), 75.0, 20.0)
    n = np.array(kernels.plane_normal(75.0, 20.0))
    r, c = np.indices(dem.shape)
    h = (c - 30.0) * n[0] + (r - 20.0) * n[1] + (dem - 50.0) * n[2]
    theirs = {tuple(v) for line in measure.find_contours(h, 0.0) for v in np.round(line, 9)}
    ours = {tuple(v) for v in np.round(points[:, [1, 0]], 9)}
    assert len(ours) == len(points) > 20 and ours == theirs


def test_horizontal_plane_around_a_hill_is_one_closed_contour():
    r, c = np.indices((41, 41))
    dem = 100 - np.hypot(r - 20.3, c - 19.6)
    points, segments = kernels.intersect_plane_grid(dem, GT, (0, 0, 90.0), 123.0, 0.0)
    assert len(segments) == len(points) > 0
    assert np.all(np.bincount(segments.ravel()) == 2)
    assert np.allclose(points[:, 2], 90.0, atol=1e-12)
    centre = np.array([100 + 20.1 * 10, 500 - 20.8 * 10])
    assert np.allclose(np.hypot(*(points[:, :2] - centre).T), 100, atol=2.0)


@pytest.mark.parametrize("heights, chords", [
    ([1, -1, 1, -0.5], [(3, 2), (0, 1)]),  # corners 0 and 2 above, centre above
    ([1, -1, 1, -1.0], [(3, 0), (1, 2)]),  # centre exactly 0 counts as below
    ([1, -1, 1, -1.5], [(3, 0), (1, 2)]),  # centre below
])
def test_saddle_chords_and_their_invariance_under_negation(heights, chords):
    # Corners 0..3 are (0,0), (0,1), (1,1), (1,0); a horizontal plane at z = 0.
    dem = np.array([[heights[0], heights[1]], [heights[3], heights[2]]], float)
    edge_node = {0: ((0, 0), (0, 1)), 1: ((0, 1), (1, 1)), 2: ((1, 0), (1, 1)), 3: ((0, 0), (1, 0))}

    def edges_of(dem):
        points, segments = kernels.intersect_plane_grid(dem, (0, 1, 0, 0, 0, 1), (0, 0, 0), 0, 0)
        found = []
        for chord in segments:
            pair = []
            for vertex in chord:
                x, y = points[vertex, :2]
                for edge, (a, b) in edge_node.items():
                    if min(a[1], b[1]) + 0.5 <= x <= max(a[1], b[1]) + 0.5 and \
                            min(a[0], b[0]) + 0.5 <= y <= max(a[0], b[0]) + 0.5:
                        pair.append(edge)
            found.append(tuple(pair))
        return found

    assert edges_of(dem) == chords
    if sum(heights) != 0:
        assert edges_of(-dem) == chords


def test_planes_that_miss_the_terrain_or_have_nan_attitudes_give_nothing():
    dem = random_dem(np.random.default_rng(1), 10, 10)
    for src, dip in [((0, 0, 1e6), 0.0), ((0, 0, -1e6), 0.0), ((0, 0, 50), math.nan)]:
        points, segments = kernels.intersect_plane_grid(dem, GT, src, 10.0, dip)
        assert points.shape == (0, 3) and segments.shape == (0, 2)


def test_nodata_hole_stops_the_trace_but_keeps_shared_edges():
    dem = np.tile(np.arange(6.0), (6, 1))  # rises to the east; the contour x = 2.5 + ... runs north-south
    full = kernels.intersect_plane_grid(dem, (0, 1, 0, 0, 0, -1), (0, 0, 2.5), 0, 0)[0]
    dem[2, 2] = np.nan
    holed, segments = kernels.intersect_plane_grid(dem, (0, 1, 0, 0, 0, -1), (0, 0, 2.5), 0, 0)
    # Cells (1, 1), (1, 2), (2, 1), (2, 2) touch the void; rows 1 and 2 lose their chord, but the
    # crossings on edges shared with the valid cells above and below survive.
    assert len(full) == 6 and segments.shape == (3, 2)
    assert np.array_equal(holed, full[[0, 1, 3, 4, 5]]) and segments.tolist() == [[0, 1], [2, 3], [3, 4]]


# ---------------------------------------------------------- mesh crossing

@pytest.mark.parametrize("faces, message", [
    ([[0, 1]], "faces must be an (N, 3) array"),
    ([[0, 1, 3], [0, -2, 1]], "face index -2 is negative"),
    ([[0, 1, 2], [2, 3, 1]], "vertex index 3 is out of range for a mesh of 3 vertices"),
    ([[7, 1, 2], [-1, 0, 1]], "face index -1 is negative"),
])
def test_mesh_validation_messages_in_order(faces, message):
    with pytest.raises(ValueError) as info:
        mesh_call(np.zeros((3, 3)), np.zeros((3, 3)), np.array(faces).reshape(-1, len(faces[0])))
    assert str(info.value) == message
    with pytest.raises(ValueError, match=r"^vertices must be an \(N, 3\) array$"):
        mesh_call(np.zeros((3, 3)), np.zeros((3, 2)), np.array(faces).reshape(-1, len(faces[0])))


def test_mesh_counters_for_degenerate_outside_and_void_cases():
    dem = np.arange(16.0).reshape(4, 4)
    verts = [[110, 480, 5], [110, 480, 5], [130, 470, 5],  # degenerate: two identical vertices
             [900, 900, 5], [950, 900, 5], [900, 950, 5],  # beside the grid
             [110, 480, 99], [130, 480, 99], [110, 470, 99]]  # above the highest elevation
    _, _, _, stats = mesh_call(dem, verts, [[0, 1, 2], [3, 4, 5], [6, 7, 8]])
    assert stats == {"mesh_triangles": 3, "degenerate_mesh_triangles": 1, "mesh_triangles_outside_grid": 2,
                     "dem_triangle_pairs": 0, "coplanar_sides": 0, "duplicate_crossings": 0}
    for dem in (np.full((4, 4), -9999.0), np.zeros((1, 4))):
        assert set(mesh_call(dem, verts, [[6, 7, 8]], nodata=-9999.0)[3].values()) == {0}
    assert set(mesh_call(np.zeros((4, 4)), np.zeros((0, 3)), np.zeros((0, 3)))[3].values()) == {0}


def test_horizontal_mesh_triangle_on_a_slope():
    dem = np.tile(np.arange(8.0), (8, 1))  # rises one unit per column to the east
    points, attitudes, tri, stats = mesh_call(dem, [[0, 0, 3.25], [400, 0, 3.25], [0, 900, 3.25]], [[0, 1, 2]])
    assert len(points) > 0 and np.all(points[:, 2] == 3.25) and np.all(attitudes[:, 1] == 0) and np.all(tri == 0)
    assert np.allclose(points[:, 0], 100 + 3.75 * 10)
    assert stats["duplicate_crossings"] > 0  # each vertical side crossed is shared with the next cell


def test_diagonal_crossing_is_emitted_once_and_coplanar_sides_counted():
    gt = (-0.5, 1, 0, -0.5, 0, 1)  # node (r, c) at x = c, y = r

    def flat(z):
        return [[-10, -10, z], [30, -10, z], [-10, 30, z]]

    # z = 1 holds nodes 1 and 2 of the cell: the diagonal lies in the plane, met from T1 and from T2.
    p, _, _, stats = mesh_call(np.array([[0.0, 1.0], [1.0, 2.0]]), flat(1.0), [[0, 1, 2]], gt=gt)
    assert (stats["coplanar_sides"], stats["dem_triangle_pairs"], stats["duplicate_crossings"]) == (2, 2, 0)
    # Nodes on the plane count as on its upper side: the sides from node 0 end exactly at nodes 1 and 2.
    assert p.tolist() == [[1.0, 0.0, 1.0], [0.0, 1.0, 1.0]]
    # z = 0.75 separates node 1 from node 2: the diagonal crossing is found from T1 only.
    p, att, _, stats = mesh_call(np.array([[0.0, 1.0], [0.5, 2.0]]), flat(0.75), [[0, 1, 2]], gt=gt)
    assert stats["duplicate_crossings"] == 1 and stats["coplanar_sides"] == 0
    assert np.allclose(p, [[0.75, 0, 0.75], [0.5, 0.5, 0.75], [1 - 1.25 / 1.5, 1, 0.75]], rtol=0, atol=1e-12)
    assert att.tolist() == [[0.0, 0.0]] * 3


@pytest.mark.parametrize("seed", range(5))
def test_mesh_matches_the_documented_algorithm_exactly(seed):
    rng = np.random.default_rng(100 + seed)
    dem = random_dem(rng, 8, 9, holes=2)
    gt = ROTATED if seed % 2 else GT
    if seed == 4:
        gt = (0.0, 0.0, 10.0, 0.0, 0.0, -10.0)  # singular transform: every cell is visited
    xs = rng.uniform(80, 210, 30) if seed % 2 == 0 else rng.uniform(1000, 1100, 30)
    ys = rng.uniform(390, 520, 30) if seed % 2 == 0 else rng.uniform(1880, 1990, 30)
    if seed == 4:
        xs, ys = rng.uniform(-10, 90, 30), rng.uniform(-90, 10, 30)
    verts = np.column_stack([xs, ys, rng.uniform(40, 60, 30)])
    faces = rng.integers(0, 30, (25, 3))
    faces[0, 1] = faces[0, 0]  # one degenerate triangle
    got = mesh_call(dem, verts, faces, gt=gt, nodata=-9999.0)
    (points, attitudes, tri), stats = ref_mesh(dem, gt, verts, faces, -9999.0)
    assert np.array_equal(got[0], np.array(points).reshape(-1, 3))
    assert np.array_equal(got[1], np.array(attitudes).reshape(-1, 2))
    assert np.array_equal(got[2], np.array(tri, np.int64))
    assert list(got[3]) == STATS_KEYS and got[3] == stats
    assert got[3]["dem_triangle_pairs"] > 0


# ---------------------------------------------------------- best-fit planes

@pytest.mark.parametrize("points, args, message", [
    (np.zeros((5, 2)), (1.0,), "points must be an (N, 3) array"),
    (np.zeros((0, 2)), (0.0,), "points must be an (N, 3) array"),
    (np.zeros((0, 3)), (0.0,), PARAMS),
    (np.zeros((4, 3)), (-1.0,), PARAMS),
    (np.zeros((4, 3)), (math.nan,), PARAMS),
    (np.zeros((4, 3)), (math.inf,), PARAMS),
    (np.zeros((4, 3)), (1.0, 0.0), PARAMS),
    (np.zeros((4, 3)), (1.0, -math.inf), PARAMS),
])
def test_best_fit_refusals_in_order(points, args, message):
    with pytest.raises(ValueError) as info:
        kernels.best_fit_planes(points, *args)
    assert str(info.value) == message


def test_best_fit_none_and_type_errors():
    assert kernels.best_fit_planes(np.zeros((0, 3)), 1.0) is None
    assert kernels.best_fit_planes(np.zeros((0, 3)), 5e-324, 5e-324) is None  # subnormals are positive
    with pytest.raises(TypeError):
        kernels.best_fit_planes(np.zeros((3, 3)), 1.0, None)
    with pytest.raises(TypeError):
        kernels.best_fit_planes(np.zeros((3, 3), np.float32), 1.0)


def test_three_points_worked_example_and_layout():
    field, stats = kernels.best_fit_planes(np.array([[1, 1, 0], [2, 1, 0], [1, 2, 0.0]]), 10.0)
    assert list(field) == FIELD_KEYS and list(stats) == FIT_STATS_KEYS
    shapes = [(1, 2), (1, 2), (1, 3), (1, 3), (1, 2), (1,), (1,), (1,)]
    assert [field[k].shape for k in FIELD_KEYS] == shapes
    assert [field[k].dtype for k in FIELD_KEYS] == [np.float64] * 4 + [np.int64] * 2 + [np.float64] * 2
    assert field["cells"].tolist() == [[0, 0]] and field["point_counts"].tolist() == [3]
    assert field["attitudes"][0, 1] == 0.0 and abs(field["singular_values"][0, 2]) < 1e-12
    assert abs(field["rms_distance"][0]) < 1e-12
    assert field["cell_centres"].tolist() == [[6.0, -3.0]]
    assert stats == {"input_points": 3, "distinct_points": 3, "non_empty_cells": 1, "cells_fitted": 1,
                     "cells_too_few_points": 0, "cells_collinear": 0, "grid_rows": 1, "grid_columns": 1,
                     "grid_x_min": 1.0, "grid_y_max": 2.0, "cell_size": 10.0}
    assert all(type(stats[k]) is int for k in FIT_STATS_KEYS[:8])


@pytest.mark.parametrize("second, distinct", [(0.05, 1), (0.1, 2), (0.0999999, 1)])
def test_merge_is_strict(second, distinct):
    _, stats = kernels.best_fit_planes(np.array([[0, 0, 0], [second, 0, 0]]), 10.0)
    assert stats["distinct_points"] == distinct and stats["cells_too_few_points"] == 1


@pytest.mark.parametrize("seed", range(3))
def test_merge_follows_the_greedy_rule_on_crowded_points(seed):
    # A binary merge distance and a lattice of half its step put many points
    # exactly on voxel faces, exactly one merge distance apart or on top of
    # each other, on both sides of zero; scattered points fill the gaps.
    rng = np.random.default_rng(300 + seed)
    a = 0.125
    lattice = rng.integers(-24, 24, (1500, 3)) * (a / 2)
    scattered = rng.uniform(-2.5, 2.5, (1500, 3))
    points = np.vstack([lattice, scattered])[rng.permutation(3000)]
    field, stats = kernels.best_fit_planes(points, 1.0, a, math.inf)
    kept = ref_merge(points.tolist(), a)
    assert stats["distinct_points"] == len(kept) < len(points)
    cells = members_by_cell(kept, 1.0)
    assert stats["non_empty_cells"] == len(cells)
    for (r, c), n, centroid in zip(field["cells"].tolist(), field["point_counts"], field["centroids"]):
        members = cells[r, c]
        assert n == len(members) and np.allclose(centroid, members.mean(axis=0), rtol=0, atol=1e-12)


def test_large_cloud_merges_exactly_the_known_near_duplicates():
    # Large enough that the copy and the merge tables are blocks of their own.
    rng = np.random.default_rng(41)
    gx, gy = np.meshgrid(np.arange(500.0), np.arange(400.0))
    lattice = np.column_stack([gx.ravel(), gy.ravel(), 0.2 * gx.ravel() + rng.normal(0, 0.05, gx.size)])
    picks = rng.choice(len(lattice), 4000, replace=False)
    near = lattice[picks[:2000]] + rng.uniform(-0.05, 0.05, (2000, 3))  # closer than 0.1: dropped
    apart = lattice[picks[2000:]] + [0.3, 0.0, 0.0]                      # 0.3 away: kept
    kept = np.vstack([lattice, apart])[rng.permutation(len(lattice) + 2000)]
    points = np.vstack([kept, near])  # each near-duplicate after the point it repeats
    field, stats = kernels.best_fit_planes(points, 50.0)
    assert stats["distinct_points"] == len(kept)
    cells = members_by_cell(kept, 50.0)
    for (r, c), n, centroid in zip(field["cells"].tolist(), field["point_counts"], field["centroids"]):
        members = cells[r, c]
        assert n == len(members) and np.allclose(centroid, members.mean(axis=0), rtol=0, atol=1e-9)


def test_points_that_are_not_finite_are_kept_and_never_merge():
    rng = np.random.default_rng(43)
    finite = rng.uniform(0, 5, (3000, 3))
    finite = np.vstack([finite, finite[:500] + rng.uniform(-0.03, 0.03, (500, 3))])
    nan, inf = math.nan, math.inf
    odd = np.array([[nan, nan, nan], [inf, inf, inf], [inf, 0, 0], [1, nan, 1], [-inf, -inf, 2]])
    odd = odd[rng.integers(0, len(odd), 60000)]  # each kind many times over, duplicates included
    mixed = np.vstack([finite, odd])
    order = rng.permutation(len(mixed))
    _, stats = kernels.best_fit_planes(mixed[order], 1.0)
    in_order = mixed[order]
    kept = ref_merge(in_order[np.isfinite(in_order).all(axis=1)].tolist(), 0.1)
    assert stats["distinct_points"] == len(odd) + len(kept) and len(kept) < len(finite)


# Values on voxel and block faces of a = 0.25, both sides of zero, at the ends of the key range and beyond.
FACE_VALUES = [0.0, -0.0, 0.1, 0.25, -0.25, 1.75, 2.0, 2.2, -2.0, -2.1, 1e-300, 2.0**61, 2.0**62, -(2.0**62),
               1e300, -1e300, 1.5e300, math.inf, -math.inf, math.nan]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(*[st.sampled_from(FACE_VALUES) | st.floats(-3, 3)] * 3), min_size=1, max_size=40),
       st.sampled_from([0.25, 0.3, 1e-3]))
def test_merge_agrees_with_the_exact_rule_at_faces_and_range_ends(points, a):
    _, stats = kernels.best_fit_planes(np.array(points, dtype=float).reshape(-1, 3), 1.0, a)
    assert stats["distinct_points"] == len(ref_merge(points, a))


def test_grid_extent_ignores_nan_and_keeps_the_first_of_equal_zeros():
    nan = math.nan
    _, stats = kernels.best_fit_planes(np.array([[nan, 3, 0], [0.0, 1, 0], [-0.0, 2, 0], [5, nan, 0.0]]), 10.0)
    assert (stats["grid_x_min"], stats["grid_y_max"], stats["grid_columns"], stats["grid_rows"]) == (0.0, 3.0, 1, 1)
    assert math.copysign(1.0, stats["grid_x_min"]) == 1.0
    _, stats = kernels.best_fit_planes(np.array([[-0.0, 1, 0], [0.0, 2, 0.0]]), 10.0)
    assert math.copysign(1.0, stats["grid_x_min"]) == -1.0
    # No number at all in a coordinate: its bound is NaN and its axis one cell.
    _, stats = kernels.best_fit_planes(np.array([[nan, 1, 0], [nan, 5, 0.0]]), 10.0)
    assert math.isnan(stats["grid_x_min"]) and stats["grid_columns"] == 1 and stats["grid_y_max"] == 5.0
    assert stats["distinct_points"] == 2 and stats["non_empty_cells"] == 1


@pytest.mark.parametrize("max_collinearity, fitted", [(3.0, 0), (1e300, 0), (math.inf, 1), (math.nan, 0)])
def test_collinear_cells(max_collinearity, fitted):
    points = np.array([[0, 0, 0], [1, 1, 1], [2, 2, 2], [3, 3, 3.0]])
    field, stats = kernels.best_fit_planes(points, 10.0, 0.1, max_collinearity)
    assert stats["cells_fitted"] == fitted and stats["cells_collinear"] == 1 - fitted
    assert field["collinearity"].tolist() == [math.inf] * fitted
    empty = [(0, 2), (0, 2), (0, 3), (0, 3), (0, 2), (0,), (0,), (0,)]
    if not fitted:
        assert [field[k].shape for k in FIELD_KEYS] == empty


def test_nan_max_collinearity_sets_aside_every_plane():
    rng = np.random.default_rng(3)
    points = np.column_stack([rng.uniform(0, 30, 300), rng.uniform(0, 30, 300), rng.normal(size=300)])
    _, stats = kernels.best_fit_planes(points, 10.0, 0.1, math.nan)
    assert stats["cells_fitted"] == 0 and stats["cells_collinear"] == stats["non_empty_cells"] == 9


def test_plane_dipping_thirty_degrees_west_and_grid_rows():
    rng = np.random.default_rng(4)
    xy = rng.uniform(0, 100, (2000, 2))
    points = np.column_stack([xy, xy[:, 0] * math.tan(math.radians(30))])
    field, stats = kernels.best_fit_planes(points[:, :][::-1], 25.0)  # a reversed, strided view is fine
    assert stats["cells_fitted"] == stats["non_empty_cells"] == 16
    assert np.allclose(field["attitudes"], [270.0, 30.0], atol=1e-9)
    assert field["cells"].tolist() == [[r, c] for r in range(4) for c in range(4)]
    top = points[np.argmax(points[:, 1])]
    bottom = points[np.argmin(points[:, 1])]
    grid_x, grid_y = stats["grid_x_min"], stats["grid_y_max"]
    assert grid_y == top[1] and math.floor((grid_y - bottom[1]) / 25.0) == stats["grid_rows"] - 1
    assert np.allclose(field["cell_centres"][0], [grid_x + 12.5, grid_y - 12.5])


def test_single_point():
    field, stats = kernels.best_fit_planes(np.array([[5.0, 5.0, 5.0]]), 1.0)
    assert (stats["grid_rows"], stats["grid_columns"], stats["non_empty_cells"], stats["cells_too_few_points"]) == \
        (1, 1, 1, 1)
    assert field["cells"].shape == (0, 2) and field["point_counts"].shape == (0,)


@pytest.mark.parametrize("seed", range(4))
def test_best_fit_agrees_with_numpy_on_noisy_planes(seed):
    rng = np.random.default_rng(200 + seed)
    n = 3000
    xy = rng.uniform(0, 60, (n, 2))
    dd, dip = rng.uniform(0, 360), rng.uniform(5, 70)
    normal = np.array(kernels.plane_normal(dd, dip))
    z = -(normal[0] * xy[:, 0] + normal[1] * xy[:, 1]) / normal[2] + rng.normal(0, 0.3, n)
    points = np.column_stack([xy, z])
    points[rng.integers(0, n, 200)] += rng.normal(0, 0.01, (200, 3))  # near-duplicates of ...
    points = np.vstack([points, points[:300] + rng.normal(0, 0.02, (300, 3))])  # ... earlier points
    cell = 20.0
    field, stats = kernels.best_fit_planes(points, cell, 0.1)
    kept = ref_merge(points.tolist(), 0.1)
    assert stats["distinct_points"] == len(kept) < len(points)
    # Re-derive the cells with NumPy from the distinct points.
    cells = members_by_cell(kept, cell)
    for i, (r, c) in enumerate(field["cells"].tolist()):
        members = cells[r, c]
        centred = members - members.mean(axis=0)
        _, s, vt = np.linalg.svd(centred, full_matrices=False)
        assert field["point_counts"][i] == len(members)
        assert np.allclose(field["centroids"][i], members.mean(axis=0), rtol=0, atol=1e-9)
        assert np.allclose(field["singular_values"][i], s, rtol=1e-9, atol=1e-9)
        w = vt[2] * np.sign(vt[2, 2])
        expected_dip = math.degrees(math.acos(min(1.0, w[2])))
        expected_dd = math.degrees(math.atan2(w[0], w[1])) % 360
        assert abs(field["attitudes"][i, 1] - expected_dip) < 1e-7
        assert abs((field["attitudes"][i, 0] - expected_dd + 180) % 360 - 180) < 1e-6
    assert stats["cells_fitted"] == len(field["cells"]) == stats["non_empty_cells"] - \
        stats["cells_too_few_points"] - stats["cells_collinear"]
    assert np.all(np.abs(field["attitudes"][:, 1] - dip) < 3.0)
    assert np.allclose(field["rms_distance"], field["singular_values"][:, 2] / np.sqrt(field["point_counts"]))
    assert np.allclose(field["collinearity"], -np.log10(field["singular_values"][:, 1] /
                                                         field["singular_values"][:, 0]))
    order = field["cells"][:, 0] * 10**6 + field["cells"][:, 1]
    assert np.all(np.diff(order) > 0)


def test_pipeline_mesh_then_best_fit_recovers_a_planar_mesh():
    r, c = np.indices((60, 60))
    dem = 200 + 30 * np.sin(r / 9.0) * np.cos(c / 11.0)
    normal = np.array(kernels.plane_normal(135.0, 40.0))
    gx, gy = np.meshgrid(np.linspace(90, 720, 12), np.linspace(-120, 510, 12))
    gz = 200 - (normal[0] * (gx - 400) + normal[1] * (gy - 200)) / normal[2]
    verts = np.column_stack([gx.ravel(), gy.ravel(), gz.ravel()])
    i = (np.arange(11)[:, None] * 12 + np.arange(11)[None, :]).ravel()
    faces = np.vstack([np.column_stack([i, i + 1, i + 12]), np.column_stack([i + 1, i + 13, i + 12])])
    points, attitudes, _, stats = mesh_call(dem, verts, faces)
    assert len(points) > 50 and stats["mesh_triangles"] == len(faces)
    assert np.allclose(attitudes, [135.0, 40.0], atol=1e-7)
    field, fit_stats = kernels.best_fit_planes(points, 150.0)
    assert fit_stats["cells_fitted"] > 0
    assert np.allclose(field["attitudes"], [135.0, 40.0], atol=1e-6)


# ---------------------------------------------------------- lock, threads, determinism

def test_concurrent_calls_agree():
    dem = random_dem(np.random.default_rng(9), 300, 300)
    expected = kernels.intersect_plane_grid(dem, GT, (1500, -1000, 50), 40.0, 20.0)
    results = [None] * 4

    def work(k):
        results[k] = kernels.intersect_plane_grid(dem, GT, (1500, -1000, 50), 40.0, 20.0)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(np.array_equal(r[0], expected[0]) and np.array_equal(r[1], expected[1]) for r in results)


def test_results_do_not_depend_on_the_thread_count(child):
    code = """
import hashlib, numpy as np
from _velkor import kernels
rng = np.random.default_rng(5)
dem = np.cumsum(rng.normal(size=(80, 90)), 0)
h = hashlib.sha256()
for a in kernels.intersect_plane_grid(dem, (0, 1, 0, 0, 0, -1), (40, -40, 0), 30, 20):
    h.update(a.tobytes())
verts = rng.uniform(0, 80, (40, 3)) * [1, -1, 0.2]
out = kernels.intersect_mesh_grid(dem, (0, 1, 0, 0, 0, -1), verts, rng.integers(0, 40, (30, 3)))
for a in out[:3]:
    h.update(a.tobytes())
h.update(repr(out[3]).encode())
field, stats = kernels.best_fit_planes(rng.normal(size=(5000, 3)) * 10, 3.0)
for a in field.values():
    h.update(a.tobytes())
print(h.hexdigest(), repr(stats))
"""
    assert child(code, threads=1) == child(code, threads=2)
