"""Exhaustive stress inversion against a vectorised NumPy peer of the same search, on one core.

    PYTHONPATH=build/pylib python3 benchmarks/bench_inversion.py [--quick] [--repeats N]

For 30, 100 and 300 synthetic faults (planes at random, slickenlines along the slip that a known tensor
predicts, rakes perturbed by 5 degrees of Gaussian noise, a fifth of the senses unknown), both
implementations search the default grid (10 degrees, phi step 0.1: 71 280 candidates) and the script
prints the time, the forward solutions per second (candidates tried x faults / time) and the ratio.
The NumPy peer enumerates the same frames, scores every candidate on every fault with whole-array
operations (chunks of candidates x all faults) and ranks with a stable lexsort; its best tensor is checked
against velkor's in the same run. velkor runs on the calling thread; NumPy is pinned to one thread.
--quick times the peer on the first eighth of the candidates and scales (its cost per candidate is flat).
"""

import argparse
import os

for _name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_name, "1")

import time  # noqa: E402

import numpy as np  # noqa: E402

from _velkor import kernels  # noqa: E402

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


def best_time(fn, repeats):
    best, value = float("inf"), None
    for _ in range(repeats):
        t = time.perf_counter()
        value = fn()
        best = min(best, time.perf_counter() - t)
    return best, value


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="time the NumPy peer on an eighth of the grid")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    rng = np.random.default_rng(2024)
    candidates = kernels.inversion_candidate_count()
    print(f"default grid: {candidates} candidates; tensor S1 {TENSOR[:2]}, S3 {TENSOR[2:4]}, phi {TENSOR[4]}; "
          f"5 degrees of rake noise")
    print(f"{'faults':>6} {'velkor s':>10} {'velkor fwd/s':>14} {'numpy s':>10} {'numpy fwd/s':>13} {'ratio':>8}  check")
    for n in (30, 100, 300):
        faults, senses = synthetic_faults(rng, n, 5.0)
        kernels.invert_stress(faults, senses)  # warm-up
        t_v, result = best_time(lambda: kernels.invert_stress(faults, senses), args.repeats)
        tried = result["candidates_tried"]
        limit = candidates // 8 if args.quick else None
        t_n, peer = best_time(lambda: numpy_search(faults, senses, limit=limit), 1)
        if args.quick:
            t_n *= tried / peer["tried"]
            check = "timed on 1/8"
        else:
            same_axis = abs(float(np.dot(peer["s1"][0], _axis(result["best"]["s1"])))) > 1 - 1e-9
            same_mean = abs(peer["means"][0] - result["best"]["mean_misfit_degrees"]) < 1e-8
            check = "same best" if same_axis and same_mean and peer["phi"][0] == result["best"]["phi"] else "DIFFERENT"
        rate_v, rate_n = tried * n / t_v, tried * n / t_n
        print(f"{n:>6} {t_v:>10.4f} {rate_v / 1e6:>12.1f} M {t_n:>10.3f} {rate_n / 1e6:>11.2f} M {t_n / t_v:>7.1f}x  {check}")


def _axis(trend_plunge):
    return unit_axes(np.array(trend_plunge[0]), np.array(trend_plunge[1]))


if __name__ == "__main__":
    main()
