"""Stress fields kept in Zarr stores: resumption, refusals, Ctrl-C (a real SIGINT), the command line."""

import importlib.util
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import velkor
from _velkor import kernels
from scale_data import COARSE, assert_same_as_one_call, counting_slabs, located_faults, one_call
from velkor import _store, scale

xr = pytest.importorskip("xarray")
zarr = pytest.importorskip("zarr")
pytest.importorskip("dask.array")

FAULTS = located_faults(21, 50, [0.0, 0.0], [6.0, 6.0])
OPTIONS = {"min_support": 3.0, **COARSE}


@pytest.fixture(scope="module")
def reference():
    return velkor.stress_field(FAULTS, 1.0, 2.0, progress=False, **OPTIONS)


def test_a_run_stopped_anywhere_resumes_to_the_same_bytes(monkeypatch, tmp_path, reference):
    store = tmp_path / "f.zarr"
    counting_slabs(monkeypatch, stop_at=4)
    with pytest.raises(KeyboardInterrupt) as raised:
        velkor.stress_field(FAULTS, 1.0, 2.0, progress=False, store=store, **OPTIONS)
    total = reference.attrs["grid_counts"][1]
    assert _store.slabs_kept(store) == (3, total)
    if sys.version_info >= (3, 11):
        assert raised.value.__notes__ == [f"velkor.stress_field: 3 of {total} slabs are kept in store {store}; the "
                                          "same call resumes from there"]
    with pytest.raises(ValueError, match=rf"^store {store} is not finished: {total - 3} of {total} slabs are "):
        velkor.open_field(store)
    # Slab 4's data written without its record (a crash between the two) is not taken as done.
    group = zarr.open_group(str(store), mode="r+", **_store._format_kwargs())
    group["phi"][4:5] = np.full((1, reference.attrs["grid_counts"][0]), 7.0)
    calls = counting_slabs(monkeypatch)
    resumed = velkor.stress_field(FAULTS, 1.0, 2.0, progress=False, store=store, **OPTIONS)
    assert calls == list(range(3, total))
    assert resumed.identical(reference) and list(resumed.attrs) == list(reference.attrs)
    for name in reference.data_vars:
        assert resumed[name].values.tobytes() == reference[name].values.tobytes(), name
    # A finished store: nothing is computed again, and reading it back gives the same Dataset.
    calls.clear()
    assert velkor.stress_field(FAULTS, 1.0, 2.0, progress=False, store=store, **OPTIONS).identical(reference)
    assert calls == [] and velkor.open_field(store).identical(reference)
    assert xr.open_zarr(store)["phi"].values.tobytes() == reference["phi"].values.tobytes()


@pytest.fixture
def sigint_raises():
    """Python's own SIGINT handler for the test, also where the suite runs as a background job of a
    script (which starts with SIGINT ignored, so a real SIGINT would be dropped)."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


def default_sigint() -> None:
    """In a child before it starts: SIGINT back to its default, so the interpreter installs its handler."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def test_ctrl_c_while_a_slab_is_recorded_waits_until_its_record_is_in(monkeypatch, tmp_path, reference,
                                                                      sigint_raises):
    store = tmp_path / "f.zarr"
    original = _store.FieldStore.write_slab

    def interrupted_write(self, k, variables, counts):
        if k == 2:
            os.kill(os.getpid(), signal.SIGINT)  # arrives while the slab's chunks are being written
        original(self, k, variables, counts)

    monkeypatch.setattr(_store.FieldStore, "write_slab", interrupted_write)
    with pytest.raises(KeyboardInterrupt):
        velkor.stress_field(FAULTS, 1.0, 2.0, progress=False, store=store, **OPTIONS)
    assert _store.slabs_kept(store)[0] == 3
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    monkeypatch.setattr(_store.FieldStore, "write_slab", original)
    assert velkor.stress_field(FAULTS, 1.0, 2.0, progress=False, store=store, **OPTIONS).identical(reference)


def test_ctrl_c_stops_this_threads_slab_at_once_and_the_helper_takes_no_further_slab(monkeypatch, sigint_raises):
    """With two kernel threads a local run computes slabs on this thread and on a helper: a real SIGINT stops
    this thread's kernel call from inside, the helper's slab runs to its end, and no slab starts after it."""
    faults = located_faults(21, 300, [0.0, 0.0], [6.0, 6.0])
    original = scale.slab_field
    started, interrupted = [], []

    def slab_field(*args):
        started.append(threading.current_thread().name)
        if threading.current_thread() is threading.main_thread() and len(started) >= 3 and not interrupted:
            threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            return original(*args)
        except KeyboardInterrupt:
            interrupted.append(threading.current_thread().name)
            raise

    monkeypatch.setattr(scale, "pool_size", lambda: 2)
    monkeypatch.setattr(scale, "slab_field", slab_field)
    with pytest.raises(KeyboardInterrupt):
        velkor.stress_field(faults, 0.5, 3.0, progress=False, min_support=3.0)
    calls = len(started)
    for thread in threading.enumerate():
        if thread.name == "velkor-slab":
            thread.join(timeout=120)
            assert not thread.is_alive()
    assert interrupted == ["MainThread"]
    assert len(started) == calls <= 5 and set(started) == {"MainThread", "velkor-slab"}


@pytest.fixture(scope="module")
def finished(tmp_path_factory, reference):
    store = tmp_path_factory.mktemp("finished") / "f.zarr"
    assert velkor.stress_field(FAULTS, 1.0, 2.0, progress=False, store=store, **OPTIONS).identical(reference)
    return store


@pytest.mark.parametrize("change, message", [
    ({"angle_step_degrees": 20.0}, "angle_step_degrees=30.0, this run asks 20.0"),
    ({"phi_step": 0.25}, "phi_step=0.5, this run asks 0.25"),
    ({"min_support": 4.0}, "min_support=3.0, this run asks 4.0"),
    ({"bandwidth": [2.0, 2.5]}, "bandwidth=[2.0, 2.0], this run asks [2.0, 2.5]"),
    ({"kernel": "gaussian"}, "kernel='quartic', this run asks 'gaussian'"),
    ({"spacing": 0.5}, "grid spacing=[1.0, 1.0], this run asks [0.5, 0.5]"),
    ({"margin": 1.0}, "grid origin=["),
    ({"faults": FAULTS.subset(np.arange(49))}, "for other fault data (positions, faults or senses differ from"),
])
def test_a_store_written_with_other_arguments_is_refused_naming_the_first_difference(finished, change, message):
    arguments = {"faults": FAULTS, "spacing": 1.0, "bandwidth": 2.0, **OPTIONS, **change}
    with pytest.raises(ValueError) as raised:
        velkor.stress_field(**arguments, progress=False, store=finished)
    text = str(raised.value)
    assert text.startswith(f"store {finished} was written ") and message in text
    assert text.endswith("rerun with the arguments it was written with to resume it, or give a new store")


def test_truncation_only_counts_for_the_truncated_gaussian_and_the_version_always(monkeypatch, tmp_path):
    grid = {"origin": [0.0, 0.0], "spacing": [1.0, 1.0], "counts": [2, 1]}
    for kernel in ("quartic", "truncated_gaussian"):
        store = tmp_path / f"{kernel}.zarr"
        velkor.stress_field(FAULTS, None, 2.0, grid=grid, kernel=kernel, progress=False, store=store, **OPTIONS)
        velkor.stress_field(FAULTS, None, 2.0, grid=grid, kernel=kernel, truncation=4.0, progress=False,
                            store=store, **OPTIONS)
    velkor.stress_field(FAULTS, None, 2.0, grid=grid, truncation=2.0, progress=False, store=tmp_path / "quartic.zarr",
                        **OPTIONS)
    with pytest.raises(ValueError, match=r"was written with truncation=4\.0, this run asks 2\.0"):
        velkor.stress_field(FAULTS, None, 2.0, grid=grid, kernel="truncated_gaussian", truncation=2.0,
                            progress=False, store=tmp_path / "truncated_gaussian.zarr", **OPTIONS)
    monkeypatch.setattr(velkor, "__version__", "99.0")
    with pytest.raises(ValueError, match=r"was written by velkor 0\.\d+\.\d+, this is velkor 99\.0: finish it"):
        velkor.stress_field(FAULTS, None, 2.0, grid=grid, progress=False, store=tmp_path / "quartic.zarr",
                            **OPTIONS)


def test_what_is_not_a_field_store_is_refused_and_a_mapping_is_a_store(tmp_path, reference):
    (tmp_path / "file.zarr").write_text("x")
    (tmp_path / "folder").mkdir()
    (tmp_path / "folder" / "notes.txt").write_text("x")
    zarr.open_group(str(tmp_path / "other.zarr"), mode="w", **_store._format_kwargs()).attrs["title"] = "someone else's"
    for name, message in (("file.zarr", "is a file, not a Zarr store (a folder): give a new path"),
                          ("folder", "is a folder with other files in it, not a Zarr store: give a new or empty"),
                          ("other.zarr", "holds a Zarr group that no velkor stress field wrote: give a new store")):
        with pytest.raises(ValueError) as raised:
            velkor.stress_field(FAULTS, 1.0, 2.0, progress=False, store=tmp_path / name, **OPTIONS)
        assert str(raised.value).startswith(f"store {tmp_path / name} {message}")
    mapping: dict = {}
    assert velkor.stress_field(FAULTS, 1.0, 2.0, progress=False, store=mapping, **OPTIONS).identical(reference)
    assert velkor.open_field(mapping).identical(reference)


def test_the_command_line_stops_on_sigint_keeps_its_slabs_and_resumes_to_one_calls_bytes(tmp_path, capsys):
    from velkor import cli

    table = velkor.sample_data("faults_fieldbook.csv")
    out = tmp_path / "field.zarr"
    base = ["field", str(table), "--spacing", "2", "0.25", "--bandwidth", "6", "--angle-step", "20", "--phi-step",
            "0.25", "--no-progress"]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.Popen([sys.executable, "-m", "velkor.cli", *base, "--out", str(out)], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, preexec_fn=default_sigint)
    try:
        records = out / "velkor_slabs" / "stats"
        deadline = time.monotonic() + 120
        while not (records.is_dir() and len(list(records.glob("[0-9]*"))) >= 4) and child.poll() is None:
            assert time.monotonic() < deadline
            time.sleep(0.01)
        child.send_signal(signal.SIGINT)
        start = time.monotonic()
        _stdout, stderr = child.communicate(timeout=60)
        stopped = time.monotonic() - start
    finally:
        child.kill()
    kept, total = _store.slabs_kept(out)
    assert child.returncode == 130 and 4 <= kept < total and stopped < 5.0
    assert stderr.splitlines()[-1] == (f"velkor field: interrupted; {kept} of {total} slabs are kept in {out}: run "
                                       "the same command again to resume")
    assert cli.main([*base, "--out", str(out)]) == 0
    field = velkor.open_field(out)
    faults = velkor.read_faults(table)
    grid = kernels.covering_grid(faults.positions, [2.0, 0.25])
    assert_same_as_one_call(field, *one_call(faults, grid, [6.0, 6.0], angle_step_degrees=20.0, phi_step=0.25))
    assert capsys.readouterr().out == (
        f"{field.attrs['nodes']} nodes ({field.attrs['nodes_inverted']} with a tensor, "
        f"{field.attrs['nodes_below_threshold']} below the support threshold, {field.attrs['nodes_without_data']} "
        f"without data) written to {out}\n")
    # The command's refusals as one line each, then the same field as NetCDF.
    capsys.readouterr()
    for change, message in ((["--out", str(tmp_path / "f.txt")], "--out " + str(tmp_path / "f.txt") + ": give a "
                             "FILE.zarr (resumable store) or a FILE.nc (NetCDF)"),
                            (["--angle-step", "10", "--out", str(out)], f"store {out} was written with "
                             "angle_step_degrees=20.0, this run asks 10.0: rerun with the arguments it was "
                             "written with to resume it, or give a new store")):
        assert cli.main([*base, *change]) == 1
        assert capsys.readouterr().err == f"velkor field: error: {message}\n"
    if importlib.util.find_spec("netCDF4") is None:
        return
    nc = tmp_path / "field.nc"
    assert cli.main([*base, "--out", str(nc)]) == 0
    assert not (tmp_path / "field.nc.partial.zarr").exists()
    read = xr.open_dataset(nc).load()
    for name in field.data_vars:
        assert read[name].dtype == field[name].dtype, name
        assert read[name].values.tobytes() == field[name].values.tobytes(), name
