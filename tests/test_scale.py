"""Stress fields slab by slab: the slab identity, the Dataset, progress, the cost warning, refusals."""

import threading
import time
import warnings
from typing import ClassVar

import numpy as np
import pytest

import velkor
from _velkor import kernels
from scale_data import COARSE, assert_same_as_one_call, counting_slabs, located_faults, one_call
from velkor import scale

pytest.importorskip("xarray")

# Grids whose node coordinates round: spacings with no exact double, a spacing near the
# ulp of a huge origin, tiny spacings, negative-zero origins; 1, 2 and 3 axes.
AWKWARD = [
    ([-0.0], [0.1], [23]),
    ([0.1, -0.0], [1.0 / 3.0, 0.1], [7, 9]),
    ([1e15, -1e15 + 0.3], [0.1, 1.0 / 3.0], [5, 6]),
    ([-0.0, 0.7, 1e-300], [1e-7, 1.0 / 3.0 * 1e-7, 1e-7], [3, 4, 5]),
]


@pytest.mark.parametrize("origin, spacing, counts", AWKWARD)
def test_slabs_one_node_thick_concatenate_to_the_whole_grid_bit_for_bit(origin, spacing, counts):
    extent = [s * (c - 1) for s, c in zip(spacing, counts)]
    low = [o - 0.1 * e for o, e in zip(origin, extent)]
    faults = located_faults(len(counts), 40, low, [o + 1.1 * e for o, e in zip(origin, extent)])
    bandwidth = [0.6 * e for e in extent]
    grid = {"origin": origin, "spacing": spacing, "counts": counts}
    field, stats = one_call(faults, grid, bandwidth, min_support=0.0, **COARSE)
    density = kernels.density_field(faults.positions, origin, spacing, counts, bandwidth)
    cost = kernels.field_cost(faults.positions, faults.faults, origin, spacing, counts, bandwidth, min_support=0.0,
                              **COARSE)
    slabs, densities, costs = [], [], []
    for k in range(counts[-1]):
        slab = [*origin[:-1], k * spacing[-1] + origin[-1]]
        slabs.append(one_call(faults, {"origin": slab, "spacing": spacing, "counts": [*counts[:-1], 1]},
                              bandwidth, min_support=0.0, **COARSE)[0])
        densities.append(kernels.density_field(faults.positions, slab, spacing, [*counts[:-1], 1], bandwidth))
        costs.append(kernels.field_cost(faults.positions, faults.faults, slab, spacing, [*counts[:-1], 1], bandwidth,
                                        min_support=0.0, **COARSE))
    for key, value in field.items():
        assert np.concatenate([s[key] for s in slabs]).tobytes() == value.tobytes(), key
    assert np.concatenate(densities).tobytes() == density.tobytes()
    assert {key: sum(c[key] for c in costs) for key in cost} == cost
    assert stats["nodes_inverted"] > 0 and stats["nodes_without_data"] < stats["nodes"]
    dataset = velkor.stress_field(faults, None, bandwidth, grid=grid, min_support=0.0, progress=False, **COARSE)
    assert_same_as_one_call(dataset, field, stats)


def test_a_slab_two_nodes_thick_places_nodes_where_the_whole_grid_does_not():
    origin, spacing = 0.1, 0.1
    k = next(k for k in range(100) if (k * spacing + origin) + 1.0 * spacing != (k + 1) * spacing + origin)
    empty = (np.empty((0, 2)), np.empty((0, 4)))
    whole = kernels.stress_field(*empty, [0.0, origin], [1.0, spacing], [1, k + 2], [1.0, 1.0])[0]["positions"]
    thick = kernels.stress_field(*empty, [0.0, k * spacing + origin], [1.0, spacing], [1, 2], [1.0, 1.0])
    assert thick[0]["positions"][1, 1] != whole[k + 1, 1]


def test_nodes_beyond_the_largest_double_are_without_data_as_in_one_call():
    # The third row of nodes lies at infinity: no slab origin there is finite, yet one call answers.
    faults = located_faults(5, 30, [0.0, 1.6e308], [4.0, 1.6e308 + 5e299])
    grid = {"origin": [0.0, 1.6e308], "spacing": [1.0, 1e308], "counts": [5, 3]}
    field, stats = one_call(faults, grid, [3.0, 1e300], min_support=0.0, **COARSE)
    assert stats["nodes_without_data"] == 10 and np.isinf(field["positions"][5:, 1]).all()
    dataset = velkor.stress_field(faults, None, [3.0, 1e300], grid=grid, min_support=0.0, progress=False, **COARSE)
    assert_same_as_one_call(dataset, field, stats)


@pytest.mark.parametrize("dimension, options", [
    (1, {"kernel": "quartic", "min_support": 8.0}),
    (2, {"kernel": "truncated_gaussian", "truncation": 1.5, "min_support": 6.0}),
    (3, {"kernel": "gaussian", "min_support": 30.0}),
])
def test_the_dataset_holds_the_kernels_field_stats_and_derived_variables(dimension, options):
    faults = located_faults(dimension, [20, 60, 60][dimension - 1], [0.0] * dimension, [10.0] * dimension,
                            unknown_senses=True)
    spacing = [0.5, 2.0, 5.0][:dimension]
    dataset = velkor.stress_field(faults, spacing, 3.0, margin=1.0, progress=False, **COARSE, **options)
    grid = kernels.covering_grid(faults.positions, spacing, 1.0)
    field, stats = one_call(faults, grid, [3.0] * dimension, **COARSE, **options)
    assert_same_as_one_call(dataset, field, stats)
    assert dataset["density"].dims == ("z", "y", "x")[3 - dimension:]
    assert list(dataset.data_vars) == [
        "density", "support", "faults_within_reach", "has_solution", "s1_trend", "s1_plunge", "s2_trend",
        "s2_plunge", "s3_trend", "s3_plunge", "phi", "misfit_degrees", "faults_scored", "effective_sample_size",
        "runner_up_misfit_degrees", "runner_up_s1_degrees", "shmax_azimuth", "regime", "r_prime"]
    assert dataset.attrs == {**stats, "kernel": options["kernel"], "bandwidth": [3.0] * dimension,
                             "truncation": options.get("truncation", 4.0), "min_support": options["min_support"],
                             **COARSE}
    # Derived variables: the package's vectorised helpers on the whole field, NaN and "" without a tensor.
    solved = dataset["has_solution"].values
    assert 0 < solved.sum() < solved.size
    s1, s2, s3, phi = field["s1"], field["s2"], field["s3"], field["phi"]
    assert (dataset["regime"].values.ravel() == velkor.regime(s1, s2, s3)).all()
    assert set(dataset["regime"].values[~solved]) == {""}
    for name, expected in (("shmax_azimuth", velkor.shmax_azimuth(s1, s2, s3, phi)),
                           ("r_prime", velkor.r_prime(phi, s1, s2, s3))):
        np.testing.assert_allclose(dataset[name].values.ravel(), expected, rtol=1e-13, atol=1e-12)
        assert np.isnan(dataset[name].values[~solved]).all()


def test_a_field_is_the_same_bytes_with_one_kernel_thread_and_two(child):
    code = ("import hashlib, velkor\nfrom scale_data import located_faults, COARSE\n"
            "faults = located_faults(11, 50, [0, 0], [8, 8])\n"
            "d = velkor.stress_field(faults, 1.0, 3.0, min_support=3.0, progress=False, **COARSE)\n"
            "print(hashlib.sha256(b''.join(d[v].values.tobytes() for v in d.data_vars)).hexdigest())\n")
    outputs = {child(code, threads) for threads in (1, 2)}
    assert len(outputs) == 1


def test_slabs_are_recorded_in_order_however_the_two_threads_finish(monkeypatch):
    """The helper's slabs are made slower than this thread's: they are still recorded in slab order, so a
    run that stops keeps exactly the slabs before the one it stopped at."""
    faults = located_faults(11, 50, [0, 0], [8, 8])
    expected = velkor.stress_field(faults, 1.0, 3.0, min_support=3.0, progress=False, **COARSE)
    original, write, written = scale.slab_field, scale._MemorySink.write_slab, []

    def slab_field(*args):
        if threading.current_thread() is not threading.main_thread():
            time.sleep(0.05)
        return original(*args)

    def recorded(self, k, variables, counts):
        written.append(k)
        write(self, k, variables, counts)

    monkeypatch.setattr(scale, "pool_size", lambda: 2)
    monkeypatch.setattr(scale, "slab_field", slab_field)
    monkeypatch.setattr(scale._MemorySink, "write_slab", recorded)
    field = velkor.stress_field(faults, 1.0, 3.0, min_support=3.0, progress=False, **COARSE)
    assert written == list(range(expected.attrs["grid_counts"][1])) and field.identical(expected)


@pytest.mark.parametrize("change, error, message", [
    ({"faults": np.zeros((2, 4))}, TypeError, "faults must be a velkor.FaultSet with positions, got ndarray"),
    ({"faults": "no positions"}, ValueError, "faults have no positions: a stress field needs where each fault"),
    ({"faults": "weights"}, ValueError, "faults carry weights, which a stress field does not use"),
    ({"min_support": float("nan")}, ValueError, "min_support must be a number"),
    ({"phi_step": 0.0}, ValueError, "angle_step_degrees and phi_step must be positive finite numbers"),
    ({"kernel": "Quartic"}, ValueError, "unknown kernel \"Quartic\": expected 'quartic', 'gaussian' or"),
    ({"grid": {"origin": [0, 0], "spacing": [1, 1], "counts": [2**32, 2**32]}, "spacing": None}, ValueError,
     "a grid needs a finite origin, a positive finite spacing on every axis, at least one node on each, and a"),
])
def test_bad_arguments_are_refused_before_anything_is_computed_or_written(tmp_path, change, error, message):
    faults = located_faults(1, 10, [0, 0], [5, 5])
    if isinstance(change.get("faults"), np.ndarray):
        pass
    elif change.get("faults") == "no positions":
        change = {"faults": faults.with_positions(None)}
    elif change.get("faults") == "weights":
        change = {"faults": faults.with_weights(np.ones(10))}
    arguments = {"faults": faults, "spacing": 1.0, "bandwidth": 2.0, **change}
    with pytest.raises(error) as raised:
        velkor.stress_field(**arguments, progress=False, store=tmp_path / "f.zarr")
    assert str(raised.value).startswith(message)
    assert not (tmp_path / "f.zarr").exists()


class RecordingBar:
    bars: ClassVar[list] = []

    def __init__(self, **options):
        self.options, self.updates, self.postfix, self.closed = options, [], None, False
        RecordingBar.bars.append(self)

    def update(self, n):
        self.updates.append(n)

    def set_postfix_str(self, text, refresh=True):
        self.postfix = text

    def close(self):
        self.closed = True


def test_the_bar_counts_nodes_from_what_a_store_already_holds_and_estimates_the_time_left(monkeypatch, tmp_path):
    pytest.importorskip("zarr")
    tqdm = pytest.importorskip("tqdm.auto")

    monkeypatch.setattr(tqdm, "tqdm", RecordingBar)
    RecordingBar.bars = []
    faults = located_faults(2, 40, [0, 0], [6, 6])
    counts = velkor.stress_field(faults, 1.0, 2.0, progress=False, min_support=2.0, **COARSE).attrs["grid_counts"]
    assert RecordingBar.bars == []
    store = tmp_path / "f.zarr"
    counting_slabs(monkeypatch, stop_at=4)
    with pytest.raises(KeyboardInterrupt):
        velkor.stress_field(faults, 1.0, 2.0, min_support=2.0, store=store, **COARSE)
    counting_slabs(monkeypatch)
    velkor.stress_field(faults, 1.0, 2.0, min_support=2.0, store=store, **COARSE)
    first, second = RecordingBar.bars
    assert first.closed and second.closed
    nodes, row = counts[0] * counts[1], counts[0]
    assert first.options["total"] == nodes and first.options["initial"] == 0 and first.updates == [row] * 3
    assert second.options["initial"] == 3 * row and sum(second.updates) == nodes - 3 * row
    assert second.postfix.startswith("time left ")
    assert first.options["disable"] is None  # tqdm's own choice: shown on a terminal and in a notebook


def test_a_long_run_is_announced_with_its_time_and_cheaper_steps(monkeypatch):
    faults = located_faults(3, 30, [0.0], [1.0])
    monkeypatch.setattr(scale, "FIELD_COST_WARNING_SECONDS", 0.0)
    monkeypatch.setattr(scale, "calibrated_rate", lambda: 1.0e6)
    monkeypatch.setenv("RAYON_NUM_THREADS", "3")
    cost = kernels.field_cost(faults.positions, faults.faults, [0.5], [1.0], [1], [2.0])["forward_solutions"]
    with pytest.warns(velkor.FieldCostWarning) as caught:
        velkor.stress_field(faults, None, 2.0, grid={"origin": [0.5], "spacing": [1.0], "counts": [1]},
                            progress=False)
    seconds = cost / 1.0e6  # one node: one thread, whatever the pool
    ratios = [kernels.inversion_candidate_count(a, p) / 71280 for a, p in ((15, 0.1), (10, 0.2), (15, 0.2))]
    assert str(caught[0].message) == (
        f"this stress field needs {cost:.3g} forward solutions: about {seconds:.0f} s on 1 thread at the rate "
        "measured here (data that fit well run faster). Cheaper searches: "
        f"angle_step_degrees=15, phi_step=0.1 (about {seconds * ratios[0]:.0f} s); "
        f"angle_step_degrees=10, phi_step=0.2 (about {seconds * ratios[1]:.0f} s); "
        f"angle_step_degrees=15, phi_step=0.2 (about {seconds * ratios[2]:.0f} s); a coarser spacing or a smaller "
        "bandwidth also cuts the work. Ctrl-C stops the run between slabs; with store=... a rerun resumes it.")
    assert issubclass(velkor.FieldCostWarning, UserWarning)
    monkeypatch.setattr(scale, "FIELD_COST_WARNING_SECONDS", 600.0)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        velkor.stress_field(faults, 0.5, 2.0, progress=False, **COARSE)
