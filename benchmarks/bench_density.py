"""Density-field throughput against NumPy, numba and SciPy peers, and its scaling with threads.

    PYTHONPATH=build/pylib python3 benchmarks/bench_density.py [--quick] [--repeats N]

Prints, for a 2-D and a 3-D field of 10^5 points on 10^6 nodes:
  - nodes per second per thread of density_field with 1 and with 2 threads
    (each in a child interpreter with RAYON_NUM_THREADS set), and the speedup;
  - the ratio against a vectorised NumPy brute force (every point at every
    node, the same quartic kernel) timed on a subset of nodes in this run;
  - the ratio against a numba peer: points sorted into cells one bandwidth
    wide, then for every node a plain compiled loop over the 3^D cells around
    it (the loop a user writes), on all nodes, single-threaded;
  - for the Gaussian kernel, the ratio against scipy.stats.gaussian_kde with
    the same (diagonal) bandwidth, both on a subset of nodes.
Ratios are measured in one run, so they survive a noisy machine better than
absolute times do.
"""

import os

# NumPy's BLAS threads, idle after a call but spinning, would take cycles from the module's workers in the
# children (which inherit this environment), and the peers are timed on one thread.
for _variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")


import numpy as np  # noqa: E402

from machine import available_speedup, best_of_rounds, run_with_threads  # noqa: E402
from timing import arguments, from_runs, measure, ratio  # noqa: E402

CHILD = r"""
import json, sys, time
import numpy as np
from _velkor import kernels
cfg = json.loads(sys.argv[1])
rng = np.random.default_rng(cfg["seed"])
d = cfg["d"]
points = rng.uniform(0.0, cfg["extent"], (cfg["points"], d))
args = (points, [0.0] * d, [cfg["spacing"]] * d, [cfg["side"]] * d, [cfg["bandwidth"]] * d, cfg["kernel"])
kernels.density_field(*args)                       # pool start-up, page faults
runs = []
for _ in range(cfg["repeats"]):
    t = time.perf_counter()
    v = kernels.density_field(*args)
    runs.append(time.perf_counter() - t)
print(json.dumps({"seconds": min(runs), "runs": runs, "nodes": int(v.size)}))
"""


def quartic_constant(d):
    return [0.9374999999999998, 0.9549296585513721, 1.0444543140405638][d - 1]


def numpy_quartic(points, nodes, bandwidth, d):
    """Brute force: every point at every node, nodes in blocks to bound memory."""
    norm = quartic_constant(d) / bandwidth ** d
    out = np.empty(len(nodes))
    for start in range(0, len(nodes), 16):
        block = nodes[start:start + 16]
        u = (points[None, :, :] - block[:, None, :]) / bandwidth
        r = np.sqrt(np.sum(u * u, axis=2))
        w = np.where(r > 1.0, 0.0, (1.0 - r * r) ** 2 * norm)
        out[start:start + 16] = w.sum(axis=1)
    return out


def numba_quartic():
    """The numba peer: points binned with NumPy into a dense array of cells one bandwidth wide, then every
    node summing the quartic kernel over the points of the 3^D cells around its own in a compiled loop."""
    import numba

    @numba.njit(cache=False)
    def node_loop(sorted_points, starts, low, shape, d, origin, spacing, side, bandwidth, norm):
        out = np.empty(side ** d)
        key = np.empty(d, dtype=np.int64)
        p = np.empty(d)
        for f in range(side ** d):
            g = f
            for k in range(d):
                p[k] = (g % side) * spacing + origin
                key[k] = np.int64(np.floor(p[k] / bandwidth)) - low[k]
                g //= side
            total = 0.0
            for offset in range(3 ** d):
                c, o, stride, inside = 0, offset, 1, True
                for k in range(d):
                    ck = key[k] + o % 3 - 1
                    inside = inside and 0 <= ck < shape[k]
                    c += ck * stride
                    stride *= shape[k]
                    o //= 3
                if not inside:
                    continue
                for j in range(starts[c], starts[c + 1]):
                    r2 = 0.0
                    for k in range(d):
                        u = (sorted_points[j, k] - p[k]) / bandwidth
                        r2 += u * u
                    if r2 < 1.0:
                        w = 1.0 - r2
                        total += w * w * norm
            out[f] = total
        return out

    def density(points, origin, spacing, side, bandwidth, norm):
        keys = np.floor(points / bandwidth).astype(np.int64)
        low = keys.min(axis=0)
        shape = keys.max(axis=0) - low + 1
        strides = np.concatenate([[1], np.cumprod(shape)[:-1]])
        cell = (keys - low) @ strides
        order = np.argsort(cell, kind="stable")
        starts = np.concatenate([[0], np.cumsum(np.bincount(cell, minlength=int(np.prod(shape))))])
        return node_loop(points[order], starts, low, shape, points.shape[1], origin, spacing, side, bandwidth, norm)

    return density


def node_positions(cfg, flat):
    d, side, spacing = cfg["d"], cfg["side"], cfg["spacing"]
    coords = []
    g = flat.copy()
    for _ in range(d):
        coords.append((g % side).astype(float) * spacing)
        g //= side
    return np.stack(coords, axis=1)


def bench_quartic(cfg, subset):
    from _velkor import kernels

    one, two = best_of_rounds(CHILD, cfg, cfg["rounds"])
    nodes = one["nodes"]
    ours = from_runs(one["runs"])
    rate1 = nodes / one["seconds"]
    rate2 = nodes / two["seconds"] / 2

    rng = np.random.default_rng(cfg["seed"])
    points = rng.uniform(0.0, cfg["extent"], (cfg["points"], cfg["d"]))
    flat = np.random.default_rng(7).choice(nodes, subset, replace=False)
    subset_positions = node_positions(cfg, flat)
    numpy_peer = measure(lambda: numpy_quartic(points, subset_positions, cfg["bandwidth"], cfg["d"]), 2)
    peer = numpy_peer.result

    # the peer agrees with the module on those nodes (to rounding)
    d = cfg["d"]
    values = kernels.density_field(points, [0.0] * d, [cfg["spacing"]] * d, [cfg["side"]] * d,
                                   [cfg["bandwidth"]] * d)[flat]
    assert np.allclose(values, peer, rtol=1e-12, atol=1e-15)

    print(f"{d}-D quartic, {cfg['points']} points, {nodes} nodes, bandwidth {cfg['bandwidth']}")
    print(f"  1 thread : {one['seconds']:.3f} s, {rate1:,.0f} nodes/s per thread")
    print(f"  2 threads: {two['seconds']:.3f} s, {rate2:,.0f} nodes/s per thread")
    print(f"  speedup 1 -> 2 threads: {ratio(from_runs(two['runs']), ours)} (target >= 1.8x)")
    print(f"  NumPy brute force on {subset} nodes: {numpy_peer.rate(subset):,.0f} nodes/s")
    print(f"  ratio vs NumPy, one thread each: {ratio(ours, numpy_peer, nodes, subset)} (target >= 50x)")

    peer_nb = numba_quartic()
    bandwidth, norm = cfg["bandwidth"], quartic_constant(d) / cfg["bandwidth"] ** d
    peer_nb(points[:10], 0.0, cfg["spacing"], 2, bandwidth, norm)  # compilation
    numba_peer = measure(lambda: peer_nb(points, 0.0, cfg["spacing"], cfg["side"], bandwidth, norm), 2)
    assert np.allclose(numba_peer.result[flat], peer, rtol=1e-12, atol=1e-15)
    print(f"  numba peer over the same cells, all nodes: {numba_peer.fastest:.3f} s, "
          f"{numba_peer.rate(nodes):,.0f} nodes/s")
    print(f"  ratio vs numba, one thread each: {ratio(ours, numba_peer)} (target >= 3x)")
    return (one["seconds"] / two["seconds"], rate1 / numpy_peer.rate(subset), rate1 / numba_peer.rate(nodes))


def bench_gaussian(cfg, subset):
    from scipy.stats import gaussian_kde

    one = run_with_threads(CHILD, cfg, 1)
    rate1 = one["nodes"] / one["seconds"]
    rng = np.random.default_rng(cfg["seed"])
    d = cfg["d"]
    points = rng.uniform(0.0, cfg["extent"], (cfg["points"], d))
    flat = np.random.default_rng(7).choice(one["nodes"], subset, replace=False)
    nodes = node_positions(cfg, flat)
    kde = gaussian_kde(points.T)
    # scipy's bandwidth is a factor of the data covariance; choose it so that the
    # kernel covariance is bandwidth^2 on every axis, as in density_field
    kde.set_bandwidth(cfg["bandwidth"] / np.sqrt(np.mean(np.diag(kde.covariance / kde.factor ** 2))))
    kde_peer = measure(lambda: kde(nodes.T), 2)
    print(f"{d}-D gaussian, {cfg['points']} points, {one['nodes']} nodes (every point at every node)")
    print(f"  1 thread : {rate1:,.0f} nodes/s; scipy gaussian_kde: {kde_peer.rate(subset):,.0f} nodes/s; "
          f"ratio {ratio(from_runs(one['runs']), kde_peer, one['nodes'], subset)}")


def main():
    args = arguments(__doc__.splitlines()[0]).parse_args()
    quick = args.quick
    scale = 0.25 if quick else 1.0
    repeats = args.repeats
    rounds = 2 if quick else 3
    two_d = dict(seed=1, d=2, points=int(1e5 * scale), extent=1000.0 * np.sqrt(scale), spacing=1.0,
                 side=int(1000 * np.sqrt(scale)), bandwidth=10.0, kernel="quartic", repeats=repeats,
                 rounds=rounds)
    three_d = dict(seed=2, d=3, points=int(1e5 * scale), extent=100.0 * scale ** (1 / 3), spacing=1.0,
                   side=int(100 * scale ** (1 / 3)), bandwidth=4.0, kernel="quartic", repeats=repeats,
                   rounds=rounds)
    results = [bench_quartic(two_d, 200), bench_quartic(three_d, 100)]
    gauss = dict(seed=3, d=2, points=2000, extent=100.0, spacing=1.0, side=100, bandwidth=5.0,
                 kernel="gaussian", repeats=repeats, rounds=1)
    bench_gaussian(gauss, 2000)
    worst_speedup = min(r[0] for r in results)
    print(f"machine: two spinning processes reach {available_speedup():.2f}x of one right now")
    worst_ratio = min(r[1] for r in results)
    worst_numba = min(r[2] for r in results)
    print(f"summary: worst speedup {worst_speedup:.2f}x, worst NumPy ratio {worst_ratio:,.0f}x, "
          f"worst numba ratio {worst_numba:.1f}x")


if __name__ == "__main__":
    main()
