"""Repeated calls leak nothing: neither Python objects (interpreter block count) nor native buffers
(resident set size), on the success path and on the error path."""

from __future__ import annotations

import gc
import sys

import numpy as np
import pytest

from _velkor import kernels
from samples import SAMPLES, registered

CALLS = 10_000


def resident_kib() -> int:
    with open("/proc/self/statm") as statm:
        pages = int(statm.read().split()[1])
    import resource

    return pages * resource.getpagesize() // 1024


def failing_sample(function: str) -> dict[str, object]:
    """The sample with its first parameter replaced by a value of the wrong type."""
    pairs = dict(SAMPLES[function])
    first = next(iter(pairs))
    pairs[first] = object()
    return pairs


def measure(action, repeats: int, warmup: int = 1000) -> tuple[int, int]:
    for _ in range(warmup):  # warm caches, interned strings, the worker pool
        action()
    gc.collect()
    blocks, rss = sys.getallocatedblocks(), resident_kib()
    for _ in range(repeats):
        action()
    gc.collect()
    return sys.getallocatedblocks() - blocks, resident_kib() - rss


@pytest.mark.no_sanitizer
@pytest.mark.parametrize("function", registered())
def test_no_growth_over_ten_thousand_calls(function):
    fn = getattr(kernels, function)
    good = dict(SAMPLES[function])
    bad = failing_sample(function)

    def both():
        fn(**good)
        try:
            fn(**bad)
        except TypeError:
            pass

    block_growth, rss_growth = measure(both, CALLS)
    # A leaked reference per call would show as >= 10 000 blocks; a leaked result buffer as megabytes.
    assert block_growth < 1000, block_growth
    assert rss_growth < 4096, rss_growth


def test_failing_sample_really_fails():
    for function in registered():
        with pytest.raises(TypeError):
            getattr(kernels, function)(**failing_sample(function))


@pytest.mark.no_sanitizer
def test_big_results_are_freed_with_their_arrays():
    if "density_field" not in kernels.__all__:
        pytest.skip("density_field not built yet")
    points = np.zeros((1, 2))

    def big():
        kernels.density_field(points, [0.0, 0.0], [1.0, 1.0], [1000, 1000], [0.5, 0.5])  # 8 MB per result

    _, rss_growth = measure(big, 30, warmup=5)
    assert rss_growth < 64 * 1024
