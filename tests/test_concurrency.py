"""Many Python threads at once, and forked children: the same bytes as one serial call."""

from __future__ import annotations

import multiprocessing
import threading

import numpy as np
import pytest

from samples import LOCK_RELEASING, SAMPLES, call, canonical, registered

RELEASING = [name for name in LOCK_RELEASING if name in registered()]


def frozen(pairs):
    out = []
    for name, value in pairs:
        if isinstance(value, np.ndarray):
            value = value.copy()
            value.flags.writeable = False
        out.append((name, value))
    return out


@pytest.mark.skipif(not RELEASING, reason="no lock-releasing function built yet")
def test_eight_threads_on_shared_inputs_match_serial_results():
    shared = {name: frozen(SAMPLES[name]) for name in RELEASING}
    expected = {name: canonical(call(name, shared[name])) for name in RELEASING}
    barrier = threading.Barrier(8)
    mismatches: list[str] = []
    errors: list[BaseException] = []

    def worker(offset: int) -> None:
        try:
            barrier.wait()
            for round_ in range(6):
                for k in range(len(RELEASING)):
                    name = RELEASING[(k + offset + round_) % len(RELEASING)]
                    if canonical(call(name, shared[name])) != expected[name]:
                        mismatches.append(name)
        except BaseException as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    assert not mismatches


def child_results(names: list[str]) -> list[bytes]:
    return [canonical(call(name)) for name in names]


@pytest.mark.no_sanitizer
@pytest.mark.skipif(not RELEASING, reason="no lock-releasing function built yet")
def test_forked_children_after_a_parallel_call_compute_correct_results():
    expected = child_results(RELEASING)  # the parent has used the worker pool by now
    context = multiprocessing.get_context("fork")
    with context.Pool(2) as pool:
        results = pool.map(child_results, [RELEASING] * 4)
    assert all(result == expected for result in results)


def heavy_calls() -> dict[str, tuple]:
    """Inputs large enough that each lock-releasing function computes for a good fraction of a second."""
    from _velkor import kernels
    from samples import dem, faults_from_rakes, mechanisms

    rng = np.random.default_rng(99)
    faults = faults_from_rakes(rng, 400)
    positions = rng.uniform(0.0, 10.0, (400, 2))
    points = rng.uniform(0.0, 100.0, (200_000, 2))
    terrain = dem(rng, 1500, 1500)
    gt = (0.0, 1.0, 0.0, 1500.0, 0.0, -1.0)
    xs = np.linspace(10.0, 1490.0, 60)
    grid_x, grid_y = np.meshgrid(xs, xs)
    vertices = np.column_stack([grid_x.ravel(), grid_y.ravel(), np.full(grid_x.size, 55.0) + grid_x.ravel() * 0.01])
    faces = np.array([[r * 60 + c, r * 60 + c + 1, (r + 1) * 60 + c] for r in range(59) for c in range(59)], np.int64)
    cat = mechanisms(rng, 4000)
    cloud = np.column_stack([rng.uniform(0, 1000, 600_000), rng.uniform(0, 1000, 600_000), rng.normal(size=600_000)])
    field = (positions, faults, [2.5, 2.5], [5.0, 5.0], [2, 1], [20.0, 20.0])
    return {
        "density_field": (kernels.density_field, (points, [0.0, 0.0], [0.25, 0.25], [400, 400], [3.0, 3.0])),
        "stress_field": (kernels.stress_field, field),
        "field_cost": (kernels.field_cost, (rng.uniform(0.0, 10.0, (200_000, 2)), faults_from_rakes(rng, 1)
                                            .repeat(200_000, axis=0), [0.0, 0.0], [0.02, 0.02], [500, 500],
                                            [0.1, 0.1])),
        "invert_stress": (kernels.invert_stress, (faults_from_rakes(rng, 400),)),
        "best_fit_planes": (kernels.best_fit_planes, (cloud, 20.0)),
        "intersect_plane_grid": (kernels.intersect_plane_grid, (terrain, gt, (750.0, 750.0, 50.0), 30.0, 0.0)),
        "intersect_mesh_grid": (kernels.intersect_mesh_grid, (terrain, gt, vertices, faces)),
        "kagan_angles": (kernels.kagan_angles, (np.repeat(cat, 150, axis=0), np.tile(cat, (150, 1)))),
        "kagan_angle_matrix": (kernels.kagan_angle_matrix, (cat,)),
    }


def pause_during(function, args) -> tuple[float, float]:
    """The longest gap this thread sees between two of its own steps while `function` runs on another
    thread, and how long the call took."""
    import time

    done = threading.Event()
    span: list[float] = []

    def run() -> None:
        start = time.perf_counter()
        function(*args)
        span.append(time.perf_counter() - start)
        done.set()

    worker = threading.Thread(target=run)
    last = time.perf_counter()
    longest = 0.0
    worker.start()
    while not done.is_set():
        now = time.perf_counter()
        longest = max(longest, now - last)
        last = now
    worker.join()
    return longest, span[0]


@pytest.mark.no_sanitizer
@pytest.mark.skipif(len(RELEASING) < len(LOCK_RELEASING), reason="not every lock-releasing function is built yet")
def test_the_lock_is_released_while_heavy_functions_compute():
    """While one of them computes on another thread, this thread keeps running Python: the longest pause it
    sees is well short of the call (holding the lock would stall it for the whole call). Conversion and
    validation (parsing every mechanism, copying a DEM) legitimately hold the lock, so the margin is wide."""
    import sys

    previous = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    try:
        for name, (function, args) in heavy_calls().items():
            # A shared machine can stall either thread now and then, so a function gets up to three tries;
            # a call that holds the lock fails all of them.
            for _ in range(3):
                longest, span = pause_during(function, args)
                if longest < 0.8 * span:
                    break
            print(f"{name}: longest pause {longest:.3f} s of a {span:.3f} s call")
            assert span > 0.03, f"{name}: the heavy call is too light to tell ({span:.3f} s)"
            assert longest < 0.8 * span, f"{name}: paused {longest:.3f} s of a {span:.3f} s call"
    finally:
        sys.setswitchinterval(previous)
