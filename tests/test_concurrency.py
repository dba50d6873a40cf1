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
        except BaseException as error:  # noqa: BLE001 - reported below
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
