"""Ctrl-C: a real SIGINT sent to a child interpreter busy in each function that releases the lock raises
KeyboardInterrupt inside the call within a fraction of a second, and the module works as before afterwards
(the next call gives the same bytes as before the interruption)."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time

import pytest

from conftest import child_environment
from samples import LOCK_RELEASING, registered

# Each input keeps the function busy for several seconds on a 2-core machine.
HEAVY = {
    "density_field": "big = dict(points=rng.uniform(0, 100, (2000, 2)), origin=[0, 0], spacing=[0.2, 0.2], "
                     "counts=[500, 500], bandwidth=[5, 5], kernel='gaussian')",
    "stress_field": "big = dict(positions=rng.uniform(0, 100, (200, 2)), faults=faults_from_rakes(rng, 200), "
                    "origin=[2.5, 2.5], spacing=[2.5, 2.5], counts=[40, 40], bandwidth=[30, 30])",
    "field_cost": "big = dict(positions=rng.uniform(0, 100, (2000, 2)), faults=faults_from_rakes(rng, 2000), "
                  "origin=[0, 0], spacing=[0.2, 0.2], counts=[500, 500], bandwidth=[5, 5], kernel='gaussian')",
    # a step given in radians by mistake
    "invert_stress": "big = dict(faults=faults_from_rakes(rng, 30), angle_step_degrees=0.17)",
    "best_fit_planes": "big = dict(points=np.column_stack([rng.uniform(0, 1000, (10**7, 2)), rng.normal(size=10**7)]), "
                       "cell_size=1.0)",
    # rows alternately above and below the plane: every cell is crossed
    "intersect_plane_grid": "dem = np.ones((3000, 3000)); dem[1::2] = -1.0\n"
                            "big = dict(dem=dem, geotransform=(0.0, 1.0, 0.0, 3000.0, 0.0, -1.0), "
                            "src_pt=(0.0, 0.0, 0.0), dip_dir_degr=0.0, dip_angle_degr=0.0)",
    # large triangles over a sloping DEM: every window is the whole DEM
    "intersect_mesh_grid": "big = dict(dem=np.add.outer(np.zeros(1000), np.linspace(0, 100, 1000)), "
                           "geotransform=(0.0, 1.0, 0.0, 1000.0, 0.0, -1.0), "
                           "vertices=np.array([[-10, 10, 30.0], [2000, 10, 30.0], [10, 2000, 30.0]]), "
                           "faces=np.zeros((2000, 3), np.int64) + [0, 1, 2])",
    # the same mechanism in every row, read in place
    "kagan_angles": "one = np.lib.stride_tricks.as_strided(mechanisms(rng, 1), shape=(8 * 10**6, 4), strides=(0, 8))\n"
                    "big = dict(first=one, second=one)",
    "kagan_angle_matrix": "big = dict(mechanisms=mechanisms(rng, 14000))",
}

CHILD = r"""
import json, signal, sys, time
import numpy as np
from _velkor import kernels
from samples import call, canonical, faults_from_rakes, mechanisms

# Python's own handler even where the child inherited SIGINT ignored (a background job of a script).
signal.signal(signal.SIGINT, signal.default_int_handler)
function = sys.argv[1]
rng = np.random.default_rng(5)
{setup}
before = canonical(call(function))
print("ready", flush=True)
try:
    getattr(kernels, function)(**big)
    outcome = "returned"
except KeyboardInterrupt:
    outcome = "interrupted"
caught = time.monotonic()
print(json.dumps(dict(outcome=outcome, caught=caught, same=canonical(call(function)) == before)), flush=True)
"""

# Sent this long after the child starts the call, so that it is well inside it.
DELAY = 0.5
# The check asks for signals every 25 ms; the rest is margin for a loaded 2-core machine.
BOUND = 0.5


def interrupt(function: str, threads: int | None) -> tuple[dict, float]:
    code = CHILD.replace("{setup}", HEAVY[function])
    child = subprocess.Popen([sys.executable, "-c", code, function], env=child_environment(threads),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n", child.stderr.read()
        time.sleep(DELAY)
        sent = time.monotonic()
        os.kill(child.pid, signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, err
    report = json.loads(out)
    return report, report["caught"] - sent


@pytest.mark.no_sanitizer
@pytest.mark.parametrize("function,threads", [(name, None) for name in LOCK_RELEASING if name in registered()]
                         + [("density_field", 1), ("stress_field", 1)])
def test_sigint_raises_keyboard_interrupt_inside_the_call(function, threads):
    report, latency = interrupt(function, threads)
    assert report["outcome"] == "interrupted"
    assert latency < BOUND, latency
    assert report["same"]


def test_every_lock_releasing_function_has_a_heavy_input():
    assert set(HEAVY) == set(LOCK_RELEASING)


@pytest.mark.no_sanitizer
@pytest.mark.parametrize("delay", [0.1, 0.2])
def test_sigint_early_while_fresh_tables_are_first_filled(delay, monkeypatch):
    """best_fit_planes begins by filling large fresh tables, whose pages the system clears on first touch (a
    huge page can take tens of milliseconds on a virtual machine): Ctrl-C there is heard as soon as later on."""
    monkeypatch.setattr(sys.modules[__name__], "DELAY", delay)
    report, latency = interrupt("best_fit_planes", None)
    assert report["outcome"] == "interrupted"
    assert latency < BOUND, latency
    assert report["same"]
