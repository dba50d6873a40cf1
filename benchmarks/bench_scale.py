"""What running a stress field slab by slab costs, and what Dask worker processes give.

    PYTHONPATH=build/pylib:python python3 benchmarks/bench_scale.py [--quick] [--repeats N]

A map of synthetic faults whose true stress rotates across it (as in
bench_stress_field.py) is inverted on a grid at the default search steps.
Prints, each with a check that the bytes are those of one kernel call:
  - slab overhead: `velkor.stress_field` (one kernel call per slab one node
    thick, in order, in memory) against one `kernels.stress_field` call on the
    whole grid, both on this process's pool, N alternating rounds;
  - Dask: the same field on a LocalCluster of 1 and of 2 worker processes
    (one Dask thread each, RAYON_NUM_THREADS=1 in the workers), the time of
    `velkor.stress_field(client=...)` once the cluster is up, N rounds;
  - the ceiling for that figure: the same slabs as plain kernel calls in one
    child process and split between two (RAYON_NUM_THREADS=1, started
    together once loaded), N alternating rounds;
  - the speedup two processes get on this machine right now (machine.py), so
    that a busy machine is not taken for a slow program.
"""

import hashlib
import os
import subprocess
import sys
import time

import numpy as np

from machine import available_speedup
from timing import arguments, from_runs, ratio


def make_faults(count, seed=7, side=100.0, noise=5.0):
    import velkor
    from _velkor import kernels

    rng = np.random.default_rng(seed)
    positions = rng.uniform(0.0, side, (count, 2))
    strike, dip, rake = [], [], []
    while len(strike) < count:
        s, d = rng.uniform(0, 360), rng.uniform(25, 85)
        trend = 20.0 + 0.9 * positions[len(strike), 0] * 100.0 / side
        out = kernels.solve_stress(trend, 0.0, trend + 90.0, 0.0, 0.5, s, d)
        if out["theoretical_rake"] is None:
            continue
        strike.append(s)
        dip.append(d)
        rake.append(out["theoretical_rake"] + rng.normal(0.0, noise))
    return velkor.FaultSet.from_rakes(strike, dip, rake, positions=positions)


def digest(dataset):
    return hashlib.sha256(b"".join(dataset[name].values.tobytes() for name in dataset.data_vars)).hexdigest()


def one_call_digest(faults, grid, bandwidth):
    """The one-call field laid out as the Dataset has it: kernel arrays in order, axes split."""
    import velkor
    from _velkor import kernels

    field, _stats = kernels.stress_field(faults.positions, faults.faults, grid["origin"], grid["spacing"],
                                         grid["counts"], [bandwidth] * 2)
    parts = []
    for key, value in field.items():
        if key == "positions":
            continue
        parts += [value[:, 0].tobytes(), value[:, 1].tobytes()] if value.ndim == 2 else [value.tobytes()]
    s1, s2, s3, phi = field["s1"], field["s2"], field["s3"], field["phi"]
    parts += [velkor.shmax_azimuth(s1, s2, s3, phi).tobytes(), velkor.regime(s1, s2, s3).tobytes(),
              velkor.r_prime(phi, s1, s2, s3).tobytes()]
    return hashlib.sha256(b"".join(parts)).hexdigest()


def slab_overhead(faults, grid, bandwidth, rounds):
    import velkor
    from _velkor import kernels

    args = (faults.positions, faults.faults, grid["origin"], grid["spacing"], grid["counts"], [bandwidth] * 2)
    one, slabs, one_cpu, slabs_cpu = [], [], [], []
    dataset = None
    for _ in range(rounds):
        start, cpu = time.perf_counter(), time.process_time()
        kernels.stress_field(*args)
        one.append(time.perf_counter() - start)
        one_cpu.append(time.process_time() - cpu)
        start, cpu = time.perf_counter(), time.process_time()
        dataset = velkor.stress_field(faults, None, bandwidth, grid=grid, progress=False)
        slabs.append(time.perf_counter() - start)
        slabs_cpu.append(time.process_time() - cpu)
    return (from_runs(one), from_runs(slabs)), (min(one_cpu), min(slabs_cpu)), dataset


def dask_times(faults, grid, bandwidth, rounds):
    """Times on clusters of 1 and 2 worker processes, both up at once and used in turn, so that a burst of load
    from other programs does not land on one side only."""
    import contextlib

    import distributed

    import velkor

    runs, digests = {1: [], 2: []}, {}
    with contextlib.ExitStack() as stack:
        clients = {}
        for workers in (1, 2):
            cluster = stack.enter_context(distributed.LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0",
                env={"RAYON_NUM_THREADS": "1"}))
            clients[workers] = stack.enter_context(distributed.Client(cluster, set_as_default=False))
            clients[workers].wait_for_workers(workers)
        for _ in range(rounds):
            for workers, client in clients.items():
                start = time.perf_counter()
                dataset = velkor.stress_field(faults, None, bandwidth, grid=grid, progress=False, client=client)
                runs[workers].append(time.perf_counter() - start)
                digests[workers] = digest(dataset)
    return {workers: from_runs(seconds) for workers, seconds in runs.items()}, digests


# A child that computes the given slabs of the benchmark's field as plain kernel calls, once told to start.
PLAIN = r"""
import sys, time
sys.path.insert(0, {here!r})
from bench_scale import make_faults
from _velkor import kernels
count, nx, ny, bandwidth = {count}, {nx}, {ny}, {bandwidth}
faults = make_faults(count)
spacing = [100.0 / nx, 100.0 / ny]
slabs = [int(k) for k in sys.argv[1].split(",")]
print("ready", flush=True)
sys.stdin.readline()
start = time.perf_counter()
for k in slabs:
    kernels.stress_field(faults.positions, faults.faults, [spacing[0] / 2, spacing[1] / 2 + k * spacing[1]],
                         spacing, [nx, 1], [bandwidth] * 2)
print(time.perf_counter() - start, flush=True)
"""


def plain_processes(count, nx, ny, bandwidth, rounds):
    """Wall times of the slabs in one child process and split between two, started together."""
    here = os.path.dirname(os.path.abspath(__file__))
    code = PLAIN.format(here=here, count=count, nx=nx, ny=ny, bandwidth=bandwidth)
    env = dict(os.environ, RAYON_NUM_THREADS="1", PYTHONPATH=os.pathsep.join(p for p in sys.path if p))

    def run(parts):
        children = [subprocess.Popen([sys.executable, "-c", code, ",".join(map(str, part))], env=env, text=True,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE) for part in parts]
        for child in children:
            assert child.stdout.readline() == "ready\n"
        start = time.perf_counter()
        for child in children:
            child.stdin.write("go\n")
            child.stdin.flush()
        for child in children:
            child.communicate()
        return time.perf_counter() - start

    slabs = list(range(ny))
    one, two = [], []
    for _ in range(rounds):
        one.append(run([slabs]))
        two.append(run([slabs[0::2], slabs[1::2]]))
    return from_runs(one), from_runs(two)


def main():
    options = arguments(__doc__.splitlines()[0], repeats=5).parse_args()
    from _velkor import kernels

    # Slabs as wide as the 51-node rows of a typical regional map; fewer of them to keep the run short.
    count, (nx, ny), bandwidth = (300, (24, 6), 15.0) if options.quick else (800, (48, 12), 12.0)
    faults = make_faults(count)
    spacing = [100.0 / nx, 100.0 / ny]
    grid = {"origin": [spacing[0] / 2, spacing[1] / 2], "spacing": spacing, "counts": [nx, ny]}
    cost = kernels.field_cost(faults.positions, faults.faults, grid["origin"], grid["spacing"], grid["counts"],
                              [bandwidth] * 2)
    print(f"{count} faults, {nx} x {ny} grid ({ny} slabs of {nx} nodes), bandwidth {bandwidth}: "
          f"{cost['nodes_to_invert']} nodes to invert, {cost['forward_solutions']:,} forward solutions")
    reference = one_call_digest(faults, grid, bandwidth)

    (one, slabs), (one_cpu, slabs_cpu), dataset = slab_overhead(faults, grid, bandwidth, options.repeats)
    same = digest(dataset) == reference
    print(f"slab overhead (pool of {os.environ.get('RAYON_NUM_THREADS', 'all')} threads): one kernel call "
          f"{one.fastest:.2f} s, slab by slab {slabs.fastest:.2f} s: "
          f"{100.0 * (slabs.fastest / one.fastest - 1.0):+.1f} % (median {100.0 * (slabs.median / one.median - 1.0):+.1f} %, "
          f"target < 3 %); "
          f"bytes identical: {'yes' if same else 'NO'}")
    print(f"  the same in CPU time, which other programs on the machine do not inflate: {one_cpu:.2f} s against "
          f"{slabs_cpu:.2f} s, {100.0 * (slabs_cpu / one_cpu - 1.0):+.1f} %")

    times, digests = dask_times(faults, grid, bandwidth, options.repeats)
    same = digests[1] == reference and digests[2] == reference
    print(f"Dask LocalCluster, worker processes of 1 thread (RAYON_NUM_THREADS=1): 1 worker {times[1].fastest:.2f} s, "
          f"2 workers {times[2].fastest:.2f} s: speedup {ratio(times[2], times[1])} (target >= 1.8x); bytes identical: "
          f"{'yes' if same else 'NO'}")
    one, two = plain_processes(count, nx, ny, bandwidth, options.repeats)
    print(f"ceiling: the same slabs as plain kernel calls in 1 process {one.fastest:.2f} s, split between 2 "
          f"processes {two.fastest:.2f} s: {ratio(two, one)}")
    print(f"this machine gives {available_speedup():.2f}x to two spinning processes right now")


if __name__ == "__main__":
    main()
