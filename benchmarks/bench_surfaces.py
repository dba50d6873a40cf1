"""Surface kernels against the peers a NumPy user would reach for.

    PYTHONPATH=build/pylib python3 benchmarks/bench_surfaces.py [--quick] [--repeats N]

Prints, each measured in this run, the fastest time and the ratio of the peer's
time to velkor's (of the fastest runs and of the median runs):
  - intersect_plane_grid on a 4000 x 4000 DEM against the signed height of
    every node in NumPy followed by skimage.measure.find_contours at level 0
    (scikit-image comes with the `bench` extra; without it the peer is
    reported as NumPy heights alone, a lower bound on its cost);
  - intersect_mesh_grid with a folded surface of 10^4 triangles over a
    2000 x 2000 DEM against a per-triangle vectorised NumPy intersection
    (every DEM side of the triangle's window once, the same inside test);
  - best_fit_planes on 10^6 points against a NumPy grouped-SVD peer: merge by
    unique voxel, group by cell with argsort, one SVD per cell; in random and
    in survey order, and with two cell sizes.
--quick shrinks every size by about 4 (for a smoke run).
"""

import math
import time

import numpy as np

import timing
from _velkor import kernels

try:
    from skimage import measure
except ImportError:  # the bench extra is optional
    measure = None


def terrain(n, seed=0):
    r, c = np.indices((n, n), dtype=float)
    scale = 4000.0 / n
    rng = np.random.default_rng(seed)
    dem = 500 + 80 * np.sin(r * scale / 300) * np.cos(c * scale / 410) + 20 * np.sin(r * scale / 57 + c * scale / 91)
    return dem + rng.normal(0, 0.05, dem.shape)


def node_xy(shape, gt):
    rows, cols = shape
    cc = np.arange(cols) + 0.5
    rr = np.arange(rows) + 0.5
    x = gt[0] + cc[None, :] * gt[1] + rr[:, None] * gt[2]
    y = gt[3] + cc[None, :] * gt[4] + rr[:, None] * gt[5]
    return x, y


# ------------------------------------------------------------------ plane

def plane_peer(dem, gt, src, dd, dip):
    n = np.array(kernels.plane_normal(dd, dip))
    x, y = node_xy(dem.shape, gt)
    h = (x - src[0]) * n[0] + (y - src[1]) * n[1] + (dem - src[2]) * n[2]
    if measure is None:
        return h
    lines = measure.find_contours(h, 0.0)
    out = []
    for rc in lines:  # fractional (row, col) back to map coordinates and elevation
        r, c = rc[:, 0], rc[:, 1]
        z = dem[np.floor(r).astype(int), np.floor(c).astype(int)]
        out.append(np.column_stack([gt[0] + (c + 0.5) * gt[1] + (r + 0.5) * gt[2],
                                    gt[3] + (c + 0.5) * gt[4] + (r + 0.5) * gt[5], z]))
    return out


def bench_plane(n, repeats):
    dem = terrain(n)
    gt = (500000.0, 5.0 * 4000 / n, 0.0, 4200000.0, 0.0, -5.0 * 4000 / n)
    src = (gt[0] + 10000, gt[3] - 10000, 500.0)
    ours = timing.measure(lambda: kernels.intersect_plane_grid(dem, gt, src, 120.0, 30.0), repeats)
    peer = timing.measure(lambda: plane_peer(dem, gt, src, 120.0, 30.0), repeats)
    points, segments = ours.result
    name = "NumPy heights + skimage find_contours" if measure else "NumPy heights only (scikit-image missing)"
    print(f"intersect_plane_grid  {n}x{n} DEM, {len(points)} vertices, {len(segments)} chords")
    print(f"  velkor {ours.fastest * 1e3:8.1f} ms | {name} {peer.fastest * 1e3:8.1f} ms | "
          f"ratio {timing.ratio(ours, peer)}")


# ------------------------------------------------------------------ mesh

def folded_mesh(gt, n, side):
    """A folded horizon over the DEM: side x side vertices, 2 (side - 1)^2 triangles."""
    u = np.linspace(0.0, 1.0, side)
    uu, vv = np.meshgrid(u, u)
    extent = n * gt[1]
    x = gt[0] + uu * extent
    y = gt[3] - vv * extent
    z = 500 + 60 * np.sin(uu * 7.0) * np.cos(vv * 3.0) + 40 * (uu - 0.5)
    vertices = np.column_stack([x.ravel(), y.ravel(), z.ravel()])
    i = (np.arange(side - 1)[:, None] * side + np.arange(side - 1)[None, :]).ravel()
    faces = np.vstack([np.column_stack([i, i + 1, i + side]), np.column_stack([i + 1, i + side + 1, i + side])])
    return vertices, faces.astype(np.int64)


def mesh_peer(dem, gt, vertices, faces):
    rows, cols = dem.shape
    det = gt[1] * gt[5] - gt[2] * gt[4]
    x, y = node_xy(dem.shape, gt)
    found = []
    for a, b, c in vertices[faces]:
        n = np.cross(b - a, c - a)
        n = n / np.linalg.norm(n)
        lo, hi = np.minimum(np.minimum(a, b), c), np.maximum(np.maximum(a, b), c)
        corners = np.array([[lo[0], lo[1]], [hi[0], lo[1]], [lo[0], hi[1]], [hi[0], hi[1]]]) - [gt[0], gt[3]]
        fc = (gt[5] * corners[:, 0] - gt[2] * corners[:, 1]) / det - 0.5
        fr = (gt[1] * corners[:, 1] - gt[4] * corners[:, 0]) / det - 0.5
        r0, r1 = max(0, int(np.floor(fr.min())) - 1), min(rows - 1, int(np.floor(fr.max())) + 2)
        c0, c1 = max(0, int(np.floor(fc.min())) - 1), min(cols - 1, int(np.floor(fc.max())) + 2)
        if r1 <= r0 or c1 <= c0:
            continue
        px, py, pz = x[r0:r1 + 1, c0:c1 + 1], y[r0:r1 + 1, c0:c1 + 1], dem[r0:r1 + 1, c0:c1 + 1]
        d = (px - a[0]) * n[0] + (py - a[1]) * n[1] + (pz - a[2]) * n[2]
        sides = [(np.s_[:, :-1], np.s_[:, 1:]), (np.s_[:-1, :], np.s_[1:, :]), (np.s_[:-1, 1:], np.s_[1:, :-1])]
        for sa, sb in sides:  # along rows, along columns, the cell diagonal
            da, db = d[sa], d[sb]
            cross_mask = (da >= 0) != (db >= 0)
            if not cross_mask.any():
                continue
            t = (da / (da - db))[cross_mask]
            p = np.column_stack([px[sa][cross_mask] + t * (px[sb][cross_mask] - px[sa][cross_mask]),
                                 py[sa][cross_mask] + t * (py[sb][cross_mask] - py[sa][cross_mask]),
                                 pz[sa][cross_mask] + t * (pz[sb][cross_mask] - pz[sa][cross_mask])])
            inside = np.ones(len(p), bool)
            for s0, e, o in ((b, c, a), (a, c, b), (a, b, c)):
                inside &= np.einsum("ij,j->i", np.cross(e - s0, p - s0), np.cross(e - s0, o - s0)) >= 0
            found.append(p[inside])
    return np.vstack(found) if found else np.zeros((0, 3))


def bench_mesh(n, side, repeats):
    dem = terrain(n, seed=1)
    gt = (500000.0, 5.0 * 4000 / n / 2, 0.0, 4200000.0, 0.0, -5.0 * 4000 / n / 2)
    vertices, faces = folded_mesh(gt, n, side)
    ours = timing.measure(lambda: kernels.intersect_mesh_grid(dem, gt, vertices, faces), repeats)
    peer = timing.measure(lambda: mesh_peer(dem, gt, vertices, faces), max(1, repeats - 1))
    out, peer_points = ours.result, peer.result
    print(f"intersect_mesh_grid   {len(faces)} triangles over a {n}x{n} DEM, {len(out[0])} points "
          f"(peer {len(peer_points)}), {out[3]['dem_triangle_pairs']} triangle pairs")
    print(f"  velkor {ours.fastest * 1e3:8.1f} ms | NumPy per-triangle {peer.fastest * 1e3:8.1f} ms | "
          f"ratio {timing.ratio(ours, peer)}")


# ------------------------------------------------------------------ best-fit planes

def best_fit_peer(points, cell, merge):
    t0 = time.perf_counter()
    keys = np.floor(points / merge).astype(np.int64)
    _, first = np.unique(keys, axis=0, return_index=True)
    pts = points[np.sort(first)]
    t1 = time.perf_counter()
    rows = np.floor((pts[:, 1].max() - pts[:, 1]) / cell).astype(np.int64)
    cols = np.floor((pts[:, 0] - pts[:, 0].min()) / cell).astype(np.int64)
    order = np.argsort(rows * (cols.max() + 1) + cols, kind="stable")
    key = (rows * (cols.max() + 1) + cols)[order]
    starts = np.flatnonzero(np.r_[True, key[1:] != key[:-1]])
    ends = np.r_[starts[1:], len(key)]
    attitudes = []
    for s, e in zip(starts, ends):
        if e - s < 3:
            continue
        p = pts[order[s:e]]
        _, sv, vt = np.linalg.svd(p - p.mean(axis=0), full_matrices=False)
        if sv[1] < sv[0] / 1000:
            continue
        w = vt[2] if vt[2, 2] >= 0 else -vt[2]
        attitudes.append((math.degrees(math.atan2(w[0], w[1])) % 360, math.degrees(math.acos(min(1.0, w[2])))))
    t2 = time.perf_counter()
    return np.array(attitudes), t1 - t0, t2 - t1


def bench_best_fit(count, repeats):
    rng = np.random.default_rng(2)
    xy = rng.uniform(0, 3000, (count, 2))
    z = 0.3 * xy[:, 0] - 0.2 * xy[:, 1] + 50 * np.sin(xy[:, 0] / 400) + rng.normal(0, 0.5, count)
    points = np.column_stack([xy, z])
    dup = rng.integers(0, count, count // 10)  # crossings met twice, as intersect_mesh_grid emits them
    points = np.vstack([points, points[dup] + rng.normal(0, 0.01, (len(dup), 3))])
    # The merge looks up the neighbourhood of each point in input order: random order is its worst
    # case (every lookup a cache miss); survey order (along 5 m lines, as traces and scans come) is
    # the usual one. Both orders hold the same points.
    survey = np.ascontiguousarray(points[np.lexsort((points[:, 0], np.floor(points[:, 1] / 5)))])
    # The peer pays a fixed cost per cell, so its ratio grows as cells get smaller: 50 m cells hold
    # about 250 points each, 20 m cells about 40.
    for label, data, cell in (("random order", points, 50.0), ("survey order", survey, 50.0),
                              ("random order", points, 20.0)):
        ours = timing.measure(lambda: kernels.best_fit_planes(data, cell), repeats)
        peer = timing.measure(lambda: best_fit_peer(data, cell, 0.1), repeats)
        stats = ours.result[1]
        attitudes, merge_time, fit_time = peer.result
        print(f"best_fit_planes       {len(data)} points in {label}, {cell:.0f} m cells: "
              f"{stats['distinct_points']} distinct, {stats['cells_fitted']} cells fitted (peer {len(attitudes)})")
        print(f"  velkor {ours.fastest * 1e3:8.1f} ms | NumPy grouped SVD {peer.fastest * 1e3:8.1f} ms "
              f"(merge {merge_time * 1e3:.1f}, group + SVD {fit_time * 1e3:.1f}) | ratio {timing.ratio(ours, peer)} "
              f"(against group + SVD alone {fit_time / ours.fastest:4.1f}x)")


def main():
    args = timing.arguments(__doc__).parse_args()
    repeats = args.repeats
    scale = 4 if args.quick else 1
    bench_plane(4000 // scale, repeats)
    bench_mesh(2000 // scale, 72 // (2 if args.quick else 1), repeats)
    bench_best_fit(909091 // scale, repeats)  # plus 10% near-duplicates: 10^6 points


if __name__ == "__main__":
    main()
