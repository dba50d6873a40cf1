"""Exhaustive stress inversion against a vectorised NumPy peer and a numba peer of the same search, on one core.

    PYTHONPATH=build/pylib python3 benchmarks/bench_inversion.py [--quick] [--repeats N]

For 30, 100 and 300 synthetic faults (planes at random, slickenlines along the slip that a known tensor
predicts, rakes perturbed by 5 degrees of Gaussian noise, a fifth of the senses unknown), and for 30 and
100 faults whose slickenlines are random (no tensor fits them, so the pruning gains least), the
implementations search the default grid (10 degrees, phi step 0.1: 71 280 candidates) and the script
prints the time, the forward solutions per second (candidates tried x faults / time) and the ratios.
The NumPy peer enumerates the same frames, scores every candidate on every fault with whole-array
operations (chunks of candidates x all faults) and ranks with a stable lexsort; the numba peer is the
loop a performance-minded user writes (every candidate on every fault, compiled, the same lexsort). Both
peers' best tensors are checked against velkor's in the same run. A last line scores every candidate in
full: weights spanning 2^-400 to 2^400 switch velkor's early abandon off, so it measures the exact
forward solution and misfit themselves. velkor runs on the calling thread; NumPy is pinned to one thread,
numba runs single-threaded. --quick times the peers on the first eighth of the candidates and scales
(their cost per candidate is flat).
"""

import os

for _name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_name, "1")


import numpy as np  # noqa: E402

from _velkor import kernels  # noqa: E402
from timing import arguments, measure, ratio  # noqa: E402

D2R = 0.017453292519943295
R2D = 57.29577951308232
TENSOR = (30.0, 60.0, 300.0, 0.0, 0.4)


def synthetic_faults(rng, count, noise_degrees):
    rows = []
    while len(rows) < count:
        strike, dip = rng.uniform(0.0, 360.0), rng.uniform(10.0, 85.0)
        r = kernels.solve_stress(*TENSOR, strike, dip)
        if not r["is_valid"]:
            continue
        rake = r["theoretical_rake"] + rng.normal(0.0, noise_degrees)
        rows.append((strike, dip, *kernels.rake_to_slickenline(strike, dip, rake)))
    return np.array(rows), rng.uniform(size=count) >= 0.2


def accumulated(step, stop):
    """0, step, 2 step, ... by repeated addition while below `stop`."""
    out, v = [], 0.0
    while v < stop:
        out.append(v)
        v += step
    return np.array(out)


def unit_axes(trend, plunge):
    t, p = trend * D2R, plunge * D2R
    v = np.stack([np.sin(t) * np.cos(p), np.cos(t) * np.cos(p), -np.sin(p)], axis=-1)
    return v / np.linalg.norm(v, axis=-1, keepdims=True)


def numpy_candidates(step, phi_step):
    """S1, S2, S3 unit vectors and phi of every candidate, in enumeration order (phi fastest)."""
    plunges, p = [], 0.0
    while True:
        plunges.append(p)
        if p >= 89.999999999:
            break
        p += step
        if not p <= 90.000000001:
            break
    trends, rolls = accumulated(step, 359.999999999), accumulated(step, 179.999999999)
    phis, s = [], 0.0
    while s <= 1.000000001:
        phis.append(min(s, 1.0))
        s += phi_step
    pl = np.repeat(np.array(plunges), len(trends))
    tr = np.tile(trends, len(plunges))
    s1 = unit_axes(tr, pl)
    ref = np.where((np.abs(pl) <= 89.0)[:, None], [0.0, 6.123233995736766e-17, -1.0], [1.0, 6.123233995736766e-17, -0.0])
    pv = np.cross(s1, ref)
    pv /= np.linalg.norm(pv, axis=1, keepdims=True)
    qv = np.cross(s1, pv)
    c, sn = np.cos(rolls * D2R), np.sin(rolls * D2R)
    s3 = c[None, :, None] * pv[:, None, :] + sn[None, :, None] * qv[:, None, :]
    s3 = (s3 / np.linalg.norm(s3, axis=2, keepdims=True)).reshape(-1, 3)
    # The candidate tensor is rebuilt from S3's trend and plunge, as the search does.
    s3_trend = np.degrees(np.arctan2(s3[:, 0], s3[:, 1])) % 360.0
    s3 = unit_axes(s3_trend, np.degrees(np.arcsin(np.clip(-s3[:, 2], -1.0, 1.0))))
    s1 = np.repeat(s1, len(rolls), axis=0)
    s2 = np.cross(s3, s1)
    s2 /= np.linalg.norm(s2, axis=1, keepdims=True)
    k = len(phis)
    return np.repeat(s1, k, axis=0), np.repeat(s2, k, axis=0), np.repeat(s3, k, axis=0), np.tile(phis, len(s1))


def numpy_search(faults, senses, step=10.0, phi_step=0.1, limit=None, chunk=2048):
    """The whole search in NumPy: every candidate on every fault; best and five runners-up."""
    s1, s2, s3, phi = numpy_candidates(step, phi_step)
    if limit is not None:
        s1, s2, s3, phi = s1[:limit], s2[:limit], s3[:limit], phi[:limit]
    # sigma1 = 1, sigma3 = 0: Sigma = S1 S1^T + phi S2 S2^T, six distinct entries.
    sig = {(i, j): s1[:, i] * s1[:, j] + phi * s2[:, i] * s2[:, j] for i in range(3) for j in range(i, 3)}
    dd = np.fmod(faults[:, 0] + 90.0, 360.0) * D2R
    dip = faults[:, 1] * D2R
    nx, ny, nz = np.sin(dip) * np.sin(dd), np.sin(dip) * np.cos(dd), np.cos(dip)
    st = dd - 90.0 * D2R
    sx, sy = np.sin(st), np.cos(st)
    line = unit_axes(faults[:, 2], faults[:, 3])
    down = unit_axes(np.degrees(dd), faults[:, 1])
    cd, sd = np.cos(dip), np.sin(dip)
    count = len(phi)
    means, ess, scored = np.empty(count), np.empty(count), np.empty(count, dtype=np.int64)
    for lo in range(0, count, chunk):
        sl = slice(lo, lo + chunk)
        m = {key: v[sl, None] for key, v in sig.items()}
        tx = -(m[0, 0] * nx + m[0, 1] * ny + m[0, 2] * nz)
        ty = -(m[0, 1] * nx + m[1, 1] * ny + m[1, 2] * nz)
        tz = -(m[0, 2] * nx + m[1, 2] * ny + m[2, 2] * nz)
        mn = tx * nx + ty * ny + tz * nz
        ex, ey, ez = tx - mn * nx, ty - mn * ny, tz - mn * nz
        length = np.sqrt(ex * ex + ey * ey + ez * ez)
        valid = length > 1e-5
        inv = 1.0 / np.where(valid, length, 1.0)
        ex, ey, ez = ex * inv, ey * inv, ez * inv
        theta = np.arccos(np.clip(ex * sx + ey * sy, -1.0, 1.0))
        rake = np.where(ex * down[:, 0] + ey * down[:, 1] + ez * down[:, 2] > 0.0, -theta, theta)
        cr, sr = np.cos(rake), np.sin(rake)
        vx, vy, vz = cr * sx - cd * sr * sy, cr * sy + cd * sr * sx, sd * sr
        dot = (vx * line[:, 0] + vy * line[:, 1] + vz * line[:, 2]) / np.sqrt(vx * vx + vy * vy + vz * vz)
        angle = np.arccos(np.clip(dot, -1.0, 1.0)) * R2D
        angle = np.where(senses, angle, np.minimum(angle, 180.0 - angle))
        n_valid = valid.sum(axis=1)
        with np.errstate(invalid="ignore", divide="ignore"):
            means[sl] = np.where(valid, angle, 0.0).sum(axis=1) / n_valid
        ess[sl] = n_valid
        scored[sl] = n_valid
    ok = np.nonzero(scored > 0)[0]
    order = ok[np.lexsort((-ess[ok], means[ok]))][:6]
    return {"tried": count, "means": means[order], "s1": s1[order], "phi": phi[order]}


def numba_peer():
    """The search as a numba loop: the forward model and misfit of every candidate on every fault."""
    import numba

    @numba.njit(cache=False)
    def score_all(s1, s2, phi, normal, strike, down, cos_dip, sin_dip, line, known, means, counts):
        for c in range(s1.shape[0]):
            m = np.empty((3, 3))
            for i in range(3):
                for j in range(3):
                    m[i, j] = s1[c, i] * s1[c, j] + phi[c] * s2[c, i] * s2[c, j]
            total, scored = 0.0, 0
            for f in range(normal.shape[0]):
                n = normal[f]
                t0 = -(m[0, 0] * n[0] + m[0, 1] * n[1] + m[0, 2] * n[2])
                t1 = -(m[1, 0] * n[0] + m[1, 1] * n[1] + m[1, 2] * n[2])
                t2 = -(m[2, 0] * n[0] + m[2, 1] * n[1] + m[2, 2] * n[2])
                mn = t0 * n[0] + t1 * n[1] + t2 * n[2]
                e0, e1, e2 = t0 - mn * n[0], t1 - mn * n[1], t2 - mn * n[2]
                length = np.sqrt(e0 * e0 + e1 * e1 + e2 * e2)
                if not length > 1e-5:
                    continue
                q0, q1, q2 = e0 / length, e1 / length, e2 / length
                theta = np.arccos(min(1.0, max(-1.0, strike[f, 0] * q0 + strike[f, 1] * q1)))
                rake = -theta if q0 * down[f, 0] + q1 * down[f, 1] + q2 * down[f, 2] > 0.0 else theta
                cr, sr = np.cos(rake), np.sin(rake)
                v0 = cr * strike[f, 0] - cos_dip[f] * sr * strike[f, 1]
                v1 = cr * strike[f, 1] + cos_dip[f] * sr * strike[f, 0]
                v2 = sin_dip[f] * sr
                d = (v0 * line[f, 0] + v1 * line[f, 1] + v2 * line[f, 2]) / np.sqrt(v0 * v0 + v1 * v1 + v2 * v2)
                angle = np.arccos(min(1.0, max(-1.0, d))) * R2D
                if not known[f]:
                    angle = min(angle, 180.0 - angle)
                total += angle
                scored += 1
            means[c] = total / scored if scored else np.nan
            counts[c] = scored

    def search(faults, senses, step=10.0, phi_step=0.1, limit=None):
        s1, s2, _, phi = numpy_candidates(step, phi_step)
        if limit is not None:
            s1, s2, phi = s1[:limit], s2[:limit], phi[:limit]
        dd = np.fmod(faults[:, 0] + 90.0, 360.0) * D2R
        dip = faults[:, 1] * D2R
        normal = np.column_stack([np.sin(dip) * np.sin(dd), np.sin(dip) * np.cos(dd), np.cos(dip)])
        strike = np.column_stack([np.sin(dd - 90.0 * D2R), np.cos(dd - 90.0 * D2R)])
        down = unit_axes(np.degrees(dd), faults[:, 1])
        line = unit_axes(faults[:, 2], faults[:, 3])
        means, counts = np.empty(len(phi)), np.empty(len(phi), dtype=np.int64)
        score_all(s1, s2, phi, normal, strike, down, np.cos(dip), np.sin(dip), line, senses, means, counts)
        ok = np.nonzero(counts > 0)[0]
        order = ok[np.lexsort((-counts[ok], means[ok]))][:6]
        return {"tried": len(phi), "means": means[order], "s1": s1[order], "phi": phi[order]}

    return search


def random_faults(rng, count):
    """Planes and slickenlines at random: no tensor fits them well."""
    rows = []
    for _ in range(count):
        strike, dip = rng.uniform(0.0, 360.0), rng.uniform(10.0, 85.0)
        rows.append((strike, dip, *kernels.rake_to_slickenline(strike, dip, rng.uniform(-180.0, 180.0))))
    return np.array(rows), rng.uniform(size=count) >= 0.2


def same_best(peer, result):
    same_axis = abs(float(np.dot(peer["s1"][0], _axis(result["best"]["s1"])))) > 1 - 1e-9
    same_mean = abs(peer["means"][0] - result["best"]["mean_misfit_degrees"]) < 1e-8
    return same_axis and same_mean and peer["phi"][0] == result["best"]["phi"]


def main():
    args = arguments(__doc__.splitlines()[0] + " --quick times the peers on an eighth of the grid.").parse_args()
    rng = np.random.default_rng(2024)
    candidates = kernels.inversion_candidate_count()
    numba_search = numba_peer()
    numba_search(*random_faults(rng, 3), limit=100)  # compilation
    print(f"default grid: {candidates} candidates; tensor S1 {TENSOR[:2]}, S3 {TENSOR[2:4]}, phi {TENSOR[4]}; "
          f"5 degrees of rake noise")
    print(f"{'faults':>10} {'velkor s':>9} {'velkor fwd/s':>13} {'numpy fwd/s':>12} {'ratio':>22} "
          f"{'numba fwd/s':>12} {'ratio':>22}  check")
    limit = candidates // 8 if args.quick else None
    sets = [(f"{n} fitted", *synthetic_faults(rng, n, 5.0)) for n in (30, 100, 300)]
    sets += [(f"{n} random", *random_faults(rng, n)) for n in (30, 100)]
    for name, faults, senses in sets:
        n = len(faults)
        kernels.invert_stress(faults, senses)  # warm-up
        ours = measure(lambda: kernels.invert_stress(faults, senses), args.repeats)
        result = ours.result
        tried = result["candidates_tried"]
        columns, checks = [], []
        for peer in (numpy_search, numba_search):
            theirs = measure(lambda: peer(faults, senses, limit=limit), max(1, args.repeats - 1))
            found = theirs.result
            columns.append(f"{theirs.rate(found['tried'] * n) / 1e6:>10.2f} M "
                           f"{ratio(ours, theirs, tried, found['tried']):>22}")
            checks.append("timed on 1/8" if args.quick else ("same best" if same_best(found, result) else "DIFFERENT"))
        print(f"{name:>10} {ours.fastest:>9.4f} {ours.rate(tried * n) / 1e6:>11.1f} M {columns[0]} {columns[1]}  "
              f"{' / '.join(sorted(set(checks)))}")

    # Every candidate scored in full: the exact forward solution and misfit, one per candidate per fault.
    faults, senses = random_faults(rng, 100)
    weights = np.exp2(np.linspace(-400.0, 400.0, len(faults)))
    kernels.invert_stress(faults, senses, weights)
    ours = measure(lambda: kernels.invert_stress(faults, senses, weights), max(1, args.repeats - 1))
    theirs = measure(lambda: numba_search(faults, senses, limit=candidates // 8), max(1, args.repeats - 1))
    our_work = ours.result["candidates_tried"] * len(faults)
    peer_work = theirs.result["tried"] * len(faults)
    print(f"every candidate scored in full (100 random faults, weights 2^-400 .. 2^400): velkor "
          f"{ours.rate(our_work) / 1e6:.1f} M exact forward solutions/s, numba peer "
          f"{theirs.rate(peer_work) / 1e6:.2f} M/s, ratio {ratio(ours, theirs, our_work, peer_work)}")


def _axis(trend_plunge):
    return unit_axes(np.array(trend_plunge[0]), np.array(trend_plunge[1]))


if __name__ == "__main__":
    main()
