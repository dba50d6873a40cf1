"""Fault sets and one-call references shared by the slab, store and cluster tests."""

from __future__ import annotations

import numpy as np

import velkor
from _velkor import kernels
from velkor import scale

# The slabs' kernel call itself, whatever a test has put in its place.
SLAB_FIELD = scale.slab_field

COARSE = {"angle_step_degrees": 30.0, "phi_step": 0.5}


def located_faults(seed: int, count: int, low: list[float], high: list[float], unknown_senses: bool = False,
                   ) -> velkor.FaultSet:
    """Random planes and slickenlines spread uniformly over the box [low, high]."""
    rng = np.random.default_rng(seed)
    positions = rng.uniform(low, high, (count, len(low)))
    senses = rng.random(count) < 0.7 if unknown_senses else None
    return velkor.FaultSet.from_rakes(rng.uniform(0, 360, count), rng.uniform(20, 85, count),
                                      rng.uniform(-180, 180, count), senses, positions)


def one_call(faults: velkor.FaultSet, grid: dict, bandwidth: list[float], **options: object) -> tuple[dict, dict]:
    """`kernels.stress_field` on the whole grid in one call."""
    return kernels.stress_field(faults.positions, faults.faults, list(grid["origin"]), list(grid["spacing"]),
                                list(grid["counts"]), bandwidth, faults.senses, **options)


def assert_same_as_one_call(dataset, field: dict, stats: dict) -> None:
    """Every kernel array in the Dataset, byte for byte and in flat order; stats in the attributes."""
    for key, value in field.items():
        if key == "positions":
            mesh = np.meshgrid(*(dataset[dim].values for dim in reversed(dataset["density"].dims)), indexing="ij")
            got = np.column_stack([m.ravel(order="F") for m in mesh])
        elif value.ndim == 2:
            got = np.column_stack([dataset[f"{key}_trend"].values.ravel(), dataset[f"{key}_plunge"].values.ravel()])
        else:
            got = dataset[key].values.ravel()
            assert got.dtype == value.dtype, key
        assert got.shape == value.shape and got.tobytes() == value.tobytes(), key
    assert list(dataset.attrs.items())[:7] == list(stats.items())


def counting_slabs(monkeypatch, stop_at: int | None = None) -> list[int]:
    """Count the kernel calls of the slabs (their indices, in call order); raise KeyboardInterrupt instead of
    call number `stop_at`. A later call puts a fresh counter in place of this one."""
    calls: list[int] = []

    def slab_field(*args):
        calls.append(args[-1])
        if len(calls) == stop_at:
            raise KeyboardInterrupt
        return SLAB_FIELD(*args)

    monkeypatch.setattr(scale, "slab_field", slab_field)
    return calls
