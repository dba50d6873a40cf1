"""Hostile input: every function, called with arbitrary Python values in any parameter, either returns
a result or raises TypeError, ValueError or OverflowError; never a crash, never PanicException.
Inputs are only read, and results own their memory."""

from __future__ import annotations

import gc
import math
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _velkor import kernels
from samples import COST_PARAMETERS, SAMPLES, call, canonical, registered

ALLOWED = (TypeError, ValueError, OverflowError)

NUMBERS = [math.nan, math.inf, -math.inf, 0.0, -0.0, -1.0, 1e308, -1e308, 5e-324, 1e-300, 2**70, -(2**70), 2**64,
           2**63, -1, 0, 3, True]
OTHERS = [None, "x", "", b"1", [], (), {}, object(), [math.nan], ["a"], [1.0, None]]


def array_variants(valid: np.ndarray) -> list[object]:
    variants: list[object] = [
        valid[:0], valid[::-1], np.asfortranarray(valid), valid.astype(np.float32), valid.astype(np.int64),
        valid.astype(bool), valid.ravel(), valid[None], valid.tolist(),
    ]
    if valid.dtype == np.float64:
        variants += [np.full_like(valid, np.nan), np.full_like(valid, np.inf), np.full_like(valid, -1e308), valid * 1e300]
    if valid.ndim == 2:
        variants += [valid[:, :-1].copy(), np.hstack([valid, valid[:, :1]]), valid.T, valid[::2, ::-1],
                     np.zeros((0, valid.shape[1]), valid.dtype), np.zeros((0, 0), valid.dtype)]
    if valid.ndim == 1:
        variants += [valid[:-1].copy(), np.concatenate([valid, valid[:1]]), valid[::2]]
    if valid.dtype == np.int64:
        variants += [valid - 10**6, valid + 2**62, np.full_like(valid, np.iinfo(np.int64).min)]
    return variants


def sequence_variants(valid: tuple | list) -> list[object]:
    return [list(valid)[:-1], list(valid) + [1.0], [math.nan] * len(valid), [math.inf] * len(valid),
            [0.0] * len(valid), [-1.0] * len(valid), np.asarray(valid, dtype=float), "ab", [2**70] * len(valid)]


def cheap_variants(name: str, valid: object) -> list[object]:
    """For parameters that scale the work: only invalid values or values no cheaper than the sample."""
    if isinstance(valid, (list, tuple)):
        return [[math.nan] * len(valid), [0.0] * len(valid), [-1.0] * len(valid), [math.inf] * len(valid), [],
                None, "x", list(valid) + [1.0], list(valid)[:-1], [0] * len(valid), [-1] * len(valid),
                [2**64] * len(valid)]
    return [math.nan, math.inf, -math.inf, 0.0, -0.0, -1.0, None, "x", float(valid) * 2]


def candidates(name: str, valid: object) -> list[object]:
    if name in COST_PARAMETERS:
        return [valid, *cheap_variants(name, valid)]
    if isinstance(valid, np.ndarray):
        return [valid, *array_variants(valid), *NUMBERS[:3], *OTHERS]
    if isinstance(valid, (list, tuple)):
        return [valid, *sequence_variants(valid), *NUMBERS[:3], *OTHERS]
    return [valid, *NUMBERS, *OTHERS]


@pytest.mark.parametrize("function", registered())
@settings(max_examples=int(os.environ.get("VELKOR_FUZZ_EXAMPLES", "60")), deadline=None, suppress_health_check=[HealthCheck.too_slow], database=None)
@given(data=st.data())
def test_hostile_arguments(function, data):
    sample = SAMPLES[function]
    kwargs = {}
    for name, valid in sample:
        value = data.draw(st.sampled_from(candidates(name, valid)), label=name)
        kwargs[name] = value
    # sometimes leave optional parameters out, sometimes pass a stray one
    omitted = data.draw(st.sets(st.sampled_from([n for n, _ in sample])), label="omitted")
    for name in omitted:
        kwargs.pop(name, None)
    try:
        getattr(kernels, function)(**kwargs)
    except ALLOWED:
        pass


def read_only(value: object) -> object:
    if isinstance(value, np.ndarray):
        copy = value.copy()
        copy.flags.writeable = False
        return copy
    return value


@pytest.mark.parametrize("function", registered())
def test_read_only_inputs_are_accepted_and_left_untouched(function):
    sample = [(name, read_only(value)) for name, value in SAMPLES[function]]
    before = [np.array(v, copy=True) for _, v in sample if isinstance(v, np.ndarray)]
    assert canonical(call(function, sample)) == canonical(call(function))
    after = [v for _, v in sample if isinstance(v, np.ndarray)]
    assert all(a.tobytes() == b.tobytes() for a, b in zip(after, before))


def arrays_in(value: object) -> list[np.ndarray]:
    if isinstance(value, np.ndarray):
        return [value]
    if isinstance(value, dict):
        return [a for v in value.values() for a in arrays_in(v)]
    if isinstance(value, (list, tuple)):
        return [a for v in value for a in arrays_in(v)]
    return []


@pytest.mark.parametrize("function", registered())
def test_results_own_their_memory(function):
    sample = [(name, np.array(value, copy=True) if isinstance(value, np.ndarray) else value)
              for name, value in SAMPLES[function]]
    result = call(function, sample)
    expected = canonical(result)
    del sample
    gc.collect()
    # scribble over freed memory with fresh allocations, then check the result is intact
    junk = [np.full(1000, 7.0) for _ in range(100)]
    assert canonical(result) == expected
    del junk
    for array in arrays_in(result):
        assert array.flags.c_contiguous and array.flags.writeable
        assert array.dtype in (np.float64, np.bool_, np.int64)
        owner = array.base if array.base is not None else None
        while isinstance(owner, np.ndarray):
            owner = owner.base
        assert type(owner).__name__ == "PySliceContainer"


class ClaimsLength(list):
    """A list whose length claims far more elements than it yields."""

    claimed = 0

    def __len__(self) -> int:
        return self.claimed


def claiming(values: list, claimed: int) -> ClaimsLength:
    sequence = ClaimsLength(values)
    sequence.claimed = claimed
    return sequence


SEQUENCE_PARAMETERS = [(function, name) for function in registered() for name, valid in SAMPLES[function]
                       if isinstance(valid, list) and all(isinstance(v, (int, float)) for v in valid)]


@pytest.mark.parametrize("claimed", [2**50, 2**62])
@pytest.mark.parametrize("function,parameter", SEQUENCE_PARAMETERS)
def test_a_length_no_memory_could_hold_is_a_memory_error(function, parameter, claimed):
    pairs = dict(SAMPLES[function])
    valid = pairs[parameter]
    pairs[parameter] = claiming(valid, claimed)
    with pytest.raises(MemoryError):
        getattr(kernels, function)(**pairs)
    # a length within reach is only a hint: the elements iterated are what counts
    pairs[parameter] = claiming(valid, 1)
    assert canonical(getattr(kernels, function)(**pairs)) == canonical(call(function))


@pytest.mark.parametrize("rows", [(2**63 - 1) // 32, 2**50])
@pytest.mark.parametrize("function", ["score_stress", "ptb_axes", "invert_stress", "stress_field", "field_cost"])
def test_more_fault_rows_than_memory_could_hold_are_a_memory_error(function, rows):
    pairs = dict(SAMPLES[function])
    pairs["faults"] = np.lib.stride_tricks.as_strided(pairs["faults"], shape=(rows, 4), strides=(0, 8))
    pairs.pop("senses", None)
    pairs.pop("weights", None)
    with pytest.raises(MemoryError):
        getattr(kernels, function)(**pairs)
