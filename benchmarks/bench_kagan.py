"""Kagan angle matrix: velkor against vectorised NumPy peers, in one run.

Both peers build each mechanism's frame (columns T, P, B) and, row by row,
the relative rotation matrices M_i^T M_j of all the row's pairs with one
stacked matmul (vectorised over pairs).

- peer: applies each of the four double-couple symmetries S_k (half turns
  about T, P, B, and the identity) as a matrix product R S_k, turns every
  product into its rotation angle arccos((trace - 1) / 2), and keeps the
  smallest of the four;
- tuned peer: reads the four traces off the diagonal of R and takes a single
  arccos of the largest (the smallest turn), a quarter of the inverse cosines.

- numba peer: the tuned peer's arithmetic as the compiled loop a user writes,
  pair by pair (single-threaded).

For the largest catalogue the peers run on every tenth row only; the figure
compared is pairs per second. Every peer value is checked against the module.

Pair by pair (kagan_angles on a million rows against a million): the module,
a vectorised NumPy peer (frames of both arrays, then the tuned peer's traces
over all pairs at once) and a numba peer (frames and traces in one compiled
loop), each timed from the (N, 4) arrays of trend and plunge, so the parse of
the mechanisms is part of the figure; once on random reals and once on the
same rows rounded to tenths of a degree, as catalogues give them.

Thread scaling runs the module in child interpreters with RAYON_NUM_THREADS
set to 1 and to 2.

    PYTHONPATH=build/pylib python3 benchmarks/bench_kagan.py [--quick] [--repeats N]
        [--sizes 500 2000 5000] [--pairs 1000000] [--scaling-size 3000] [--rounds 3]
"""

from __future__ import annotations

import json
import os
import subprocess
import sys

# The peers are plain single-threaded NumPy; idle BLAS threads spinning after
# a matmul would otherwise take cycles from the module's workers.
for _variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")

import numpy as np  # noqa: E402

from _velkor import kernels  # noqa: E402
from timing import arguments, from_runs, measure, ratio  # noqa: E402

SIGNS = np.array([[1, -1, -1], [-1, 1, -1], [-1, -1, 1], [1, 1, 1]], dtype=float).T  # (3, 4)


def random_mechanisms(n: int, seed: int = 0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    t = rng.normal(size=(n, 3))
    t /= np.linalg.norm(t, axis=1, keepdims=True)
    a = rng.normal(size=(n, 3))
    p = a - np.sum(a * t, axis=1, keepdims=True) * t
    p /= np.linalg.norm(p, axis=1, keepdims=True)

    def trend_plunge(v):
        return np.degrees(np.arctan2(v[:, 0], v[:, 1])) % 360.0, np.degrees(np.arcsin(np.clip(-v[:, 2], -1, 1)))

    return np.column_stack([*trend_plunge(p), *trend_plunge(t)])


def frames(mechanisms: np.ndarray) -> np.ndarray:
    def axis(trend, plunge):
        t, p = np.radians(trend), np.radians(plunge)
        return np.stack([np.sin(t) * np.cos(p), np.cos(t) * np.cos(p), -np.sin(p)], axis=-1)

    p = axis(mechanisms[:, 0], mechanisms[:, 1])
    t = axis(mechanisms[:, 2], mechanisms[:, 3])
    p[p[:, 2] > 1e-12] *= -1.0
    t[t[:, 2] > 1e-12] *= -1.0
    p = np.cross(np.cross(t, p), t)
    p /= np.linalg.norm(p, axis=1, keepdims=True)
    return np.stack([t, p, np.cross(t, p)], axis=-1)


SYMMETRIES = [np.diag(signs) for signs in SIGNS.T]


def peer_rows(mechanisms: np.ndarray, rows) -> tuple[dict[int, np.ndarray], int]:
    """Kagan angles of row i against every j > i, for the given rows."""
    f = frames(mechanisms)
    out, pairs = {}, 0
    for i in rows:
        relative = np.matmul(f[i].T, f[i + 1:])  # (m, 3, 3): M_i^T M_j
        turns = []
        for symmetry in SYMMETRIES:
            trace = np.trace(relative @ symmetry, axis1=1, axis2=2)
            turns.append(np.degrees(np.arccos(np.clip((trace - 1.0) / 2.0, -1.0, 1.0))))
        out[i] = np.min(turns, axis=0)
        pairs += len(out[i])
    return out, pairs


def tuned_peer_rows(mechanisms: np.ndarray, rows) -> tuple[dict[int, np.ndarray], int]:
    f = frames(mechanisms)
    out, pairs = {}, 0
    for i in rows:
        relative = np.matmul(f[i].T, f[i + 1:])  # (m, 3, 3): M_i^T M_j
        traces = np.einsum("nii->ni", relative) @ SIGNS  # (m, 4)
        cosine = np.clip((traces.max(axis=1) - 1.0) / 2.0, -1.0, 1.0)
        out[i] = np.degrees(np.arccos(cosine))
        pairs += len(cosine)
    return out, pairs


def numba_peers():
    """Compiled loops over the tuned peer's arithmetic: frames from trend and plunge, then the largest
    of the four traces of M_i^T M_j S_k per pair, and one arccos."""
    import numba

    @numba.njit(cache=False)
    def axis(trend, plunge):
        t, p = np.radians(trend), np.radians(plunge)
        return np.array([np.sin(t) * np.cos(p), np.cos(t) * np.cos(p), -np.sin(p)])

    @numba.njit(cache=False)
    def frame(row):
        p, t = axis(row[0], row[1]), axis(row[2], row[3])
        if p[2] > 1e-12:
            p = -p
        if t[2] > 1e-12:
            t = -t
        p = np.cross(np.cross(t, p), t)
        p /= np.sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2])
        out = np.empty((3, 3))
        out[:, 0], out[:, 1], out[:, 2] = t, p, np.cross(t, p)
        return out

    @numba.njit(cache=False)
    def angle(a, b):
        diagonal = np.zeros(3)
        for k in range(3):
            for r in range(3):
                diagonal[k] += a[r, k] * b[r, k]
        best = max(diagonal[0] - diagonal[1] - diagonal[2], -diagonal[0] + diagonal[1] - diagonal[2],
                   -diagonal[0] - diagonal[1] + diagonal[2], diagonal[0] + diagonal[1] + diagonal[2])
        return np.degrees(np.arccos(min(1.0, max(-1.0, (best - 1.0) / 2.0))))

    @numba.njit(cache=False)
    def pairs(first, second):
        out = np.empty(len(first))
        for i in range(len(first)):
            out[i] = angle(frame(first[i]), frame(second[i]))
        return out

    @numba.njit(cache=False)
    def rows(mechanisms, chosen):
        frames = np.empty((len(mechanisms), 3, 3))
        for i in range(len(mechanisms)):
            frames[i] = frame(mechanisms[i])
        out, count = np.empty(len(chosen) * len(mechanisms)), 0
        for i in chosen:
            for j in range(i + 1, len(mechanisms)):
                out[count] = angle(frames[i], frames[j])
                count += 1
        return out[:count]

    return pairs, rows


def numpy_pairs(first: np.ndarray, second: np.ndarray) -> np.ndarray:
    relative = np.einsum("nji,njk->nik", frames(first), frames(second))  # (n, 3, 3): M_i^T M_j
    traces = np.einsum("nii->ni", relative) @ SIGNS
    return np.degrees(np.arccos(np.clip((traces.max(axis=1) - 1.0) / 2.0, -1.0, 1.0)))


CHILD = """
import json, sys
sys.path.insert(0, {here!r})
from bench_kagan import random_mechanisms
from timing import measure
from _velkor import kernels
m = random_mechanisms({n})
print(json.dumps(measure(lambda: kernels.kagan_angle_matrix(m), {repeats}).runs))
"""


def child_runs(threads: int, n: int, repeats: int) -> list[float]:
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    env.pop("RAYON_RS_NUM_CPUS", None)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    here = os.path.dirname(os.path.abspath(__file__))
    done = subprocess.run([sys.executable, "-c", CHILD.format(here=here, n=n, repeats=repeats)], env=env,
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def main() -> None:
    parser = arguments(__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=None, help="catalogue sizes of the matrix")
    parser.add_argument("--pairs", type=int, default=None, help="pairs of kagan_angles")
    parser.add_argument("--scaling-size", type=int, default=None, help="catalogue size of the thread scaling")
    parser.add_argument("--rounds", type=int, default=3, help="alternating 1- and 2-thread rounds")
    args = parser.parse_args()
    sizes = args.sizes or ([300, 1000] if args.quick else [500, 2000, 5000])
    pair_count = args.pairs or (100_000 if args.quick else 1_000_000)
    scaling_size = args.scaling_size or (1000 if args.quick else 3000)
    numba_pairs, numba_rows = numba_peers()
    numba_rows(random_mechanisms(3), np.arange(2))  # compilation
    numba_pairs(random_mechanisms(2), random_mechanisms(2, 1))
    peer_repeats = max(1, args.repeats - 1)

    print(f"{'N':>6} {'pairs':>10} {'velkor Mpairs/s':>16} {'peer Mpairs/s':>14} {'ratio':>22} "
          f"{'tuned peer Mpairs/s':>20} {'ratio':>22} {'numba Mpairs/s':>15} {'ratio':>22} {'max |diff|':>11}")
    for n in sizes:
        m = random_mechanisms(n)
        pairs = n * (n - 1) // 2
        ours = measure(lambda: kernels.kagan_angle_matrix(m), args.repeats)
        matrix = ours.result
        rows = range(0, n - 1) if n <= 2000 else range(0, n - 1, 10)
        columns, diff = [], 0.0
        for peer in (peer_rows, tuned_peer_rows):
            theirs = measure(lambda: peer(m, rows), peer_repeats)
            sampled, peer_pairs = theirs.result
            columns.append(f"{theirs.rate(peer_pairs) / 1e6:>{14 if not columns else 20}.3f} "
                           f"{ratio(ours, theirs, pairs, peer_pairs):>22}")
            diff = max(diff, max(np.abs(matrix[i, i + 1:] - v).max() for i, v in sampled.items() if len(v)))
        chosen = np.array(list(rows))
        theirs = measure(lambda: numba_rows(m, chosen), peer_repeats)
        flat = theirs.result
        columns.append(f"{theirs.rate(len(flat)) / 1e6:>15.3f} {ratio(ours, theirs, pairs, len(flat)):>22}")
        diff = max(diff, np.abs(np.concatenate([matrix[i, i + 1:] for i in chosen]) - flat).max())
        print(f"{n:>6} {pairs:>10} {ours.rate(pairs) / 1e6:>16.2f} {' '.join(columns)} {diff:>11.2e}")

    # Pair by pair, from the arrays of trend and plunge: random reals, and the same rows in tenths of a
    # degree as catalogues give them (their sines and cosines are looked up, not computed).
    first, second = random_mechanisms(pair_count, 1), random_mechanisms(pair_count, 2)
    for label, a, b in (("random reals", first, second),
                        ("tenths of a degree", np.round(first, 1), np.round(second, 1))):
        ours = measure(lambda: kernels.kagan_angles(a, b), args.repeats)
        numpy_peer = measure(lambda: numpy_pairs(a, b), peer_repeats)
        numba_peer = measure(lambda: numba_pairs(a, b), peer_repeats)
        diff = max(np.abs(numpy_peer.result - ours.result).max(), np.abs(numba_peer.result - ours.result).max())
        per_pair = ours.fastest / pair_count * 1e9
        print(f"kagan_angles, {pair_count} pairs in {label}: velkor {ours.fastest:.3f} s ({per_pair:.0f} ns per "
              f"pair), NumPy {numpy_peer.fastest:.3f} s (ratio {ratio(ours, numpy_peer)}), numba "
              f"{numba_peer.fastest:.3f} s (ratio {ratio(ours, numba_peer)}), max |diff| {diff:.2e}")

    n = scaling_size
    # Alternating rounds: other load on the machine hits both alike.
    one_runs, two_runs = [], []
    for _ in range(args.rounds):
        one_runs += child_runs(1, n, args.repeats)
        two_runs += child_runs(2, n, args.repeats)
    one, two = from_runs(one_runs), from_runs(two_runs)
    pairs = n * (n - 1) // 2
    print(f"threads (N={n}): 1 -> {one.rate(pairs) / 1e6:.2f} Mpairs/s, 2 -> {two.rate(pairs) / 1e6:.2f} Mpairs/s, "
          f"speedup {ratio(two, one)}")


if __name__ == "__main__":
    main()
