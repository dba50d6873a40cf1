"""Regional fields at any scale: slab by slab, with progress, Ctrl-C, resumption and Dask.

`stress_field` runs `kernels.stress_field` on slabs one node thick along the
grid's last axis. Each slab reproduces the whole grid's nodes bit for bit
(see `velkor._slabs`), so the answer is the same bytes however it is run: in
one process, resumed from a Zarr store after a crash, or spread over a Dask
cluster. Between slabs the run reports its progress and listens for Ctrl-C.
`kagan_matrix` does the same for the catalogue-sized Kagan matrix, in blocks.
"""

from __future__ import annotations

import contextlib
import numbers
import os
import queue
import signal
import threading
import time
import warnings
from collections.abc import Iterator, Mapping
from types import FrameType
from typing import TYPE_CHECKING, Any

import numpy as np

from . import kernels
from ._cast import float_array, per_axis
from ._cluster import check_client, cluster_threads, kagan_block, kagan_chunks, mirror, plan_groups, run_groups
from ._optional import require
from ._slabs import (
    STATS,
    FieldRun,
    build_dataset,
    check_grid_size,
    dataset_attrs,
    empty_variables,
    slab_field,
    slab_group,
    slab_variables,
)
from ._store import FieldStore, describe, open_field, read_dataset
from .faults import FaultSet
from .fields import Grid, resolve_grid

if TYPE_CHECKING:
    import xarray

__all__ = ["stress_field", "kagan_matrix", "open_field", "FieldCostWarning", "FIELD_COST_WARNING_SECONDS"]

# A run predicted to take longer than this is announced with a FieldCostWarning.
FIELD_COST_WARNING_SECONDS = 600.0
# Rates above this (forward solutions per second per thread) are beyond any machine: below
# `FIELD_COST_WARNING_SECONDS` at this rate a run needs no measured rate to be called short.
_FASTEST_RATE = 1.0e9
# Block edge of `kagan_matrix` on a cluster when none is given: ~4 million pairs, a few seconds.
_KAGAN_BLOCK = 2048


class FieldCostWarning(UserWarning):
    """A stress field predicted to run long; the message gives the time and cheaper steps."""


# --- arguments -----------------------------------------------------------------------------------------------


def _number(value: Any, name: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {type(value).__name__} {value!r}")
    return float(value)


def _field_run(faults: Any, spacing: Any, bandwidth: Any, grid: Any, margin: float, kernel: Any, truncation: Any,
               min_support: Any, angle_step_degrees: Any, phi_step: Any) -> FieldRun:
    if not isinstance(faults, FaultSet):
        raise TypeError(f"faults must be a velkor.FaultSet with positions, got {type(faults).__name__}")
    if faults.positions is None:
        raise ValueError("faults have no positions: a stress field needs where each fault was measured "
                         "(FaultSet(..., positions=...), or x, y[, z] columns for read_faults)")
    if faults.weights is not None:
        raise ValueError("faults carry weights, which a stress field does not use (each node weighs the faults by "
                         "their distance alone): drop them with faults.with_weights(None)")
    if not isinstance(kernel, str):
        raise TypeError(f"kernel must be a string, got {type(kernel).__name__}")
    positions = faults.positions
    resolved = resolve_grid(positions, spacing, margin, grid)
    check_grid_size(resolved)
    return FieldRun(positions, faults.faults, faults.senses, resolved,
                    tuple(per_axis(bandwidth, "bandwidth", positions.shape[1])), kernel,
                    _number(truncation, "truncation"), _number(min_support, "min_support"),
                    _number(angle_step_degrees, "angle_step_degrees"), _number(phi_step, "phi_step"))


# --- time ----------------------------------------------------------------------------------------------------

_calibration: list[float] = []


def calibrated_rate() -> float:
    """Forward solutions per second one kernel thread sustains here, measured once per process.

    One node with 40 faults of random slip at the default steps: data that
    fit no tensor well, which the search cannot narrow early, so the rate
    errs on the slow side (real data often run several times faster).
    """
    if not _calibration:
        rng = np.random.default_rng(17)
        strike, dip, rake = rng.uniform(0, 360, 40), rng.uniform(20, 85, 40), rng.uniform(-180, 180, 40)
        lines = [kernels.rake_to_slickenline(s, d, r) for s, d, r in zip(strike, dip, rake)]
        faults = np.column_stack([strike, dip, np.array(lines)])
        positions = np.zeros((40, 1))
        args = (positions, faults, [0.0], [1.0], [1], [1.0])
        cost = kernels.field_cost(*args, min_support=0.0)["forward_solutions"]
        start = time.perf_counter()
        kernels.stress_field(*args, min_support=0.0)
        _calibration.append(cost / max(time.perf_counter() - start, 1e-6))
    return _calibration[0]


def pool_size() -> int:
    """The size the `_velkor` pool takes in this process, read as the kernels read it."""
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        text = os.environ.get(name, "")
        if text.isascii() and text.isdigit():
            return int(text) if int(text) > 0 else os.cpu_count() or 1
    return os.cpu_count() or 1


def _duration(seconds: float) -> str:
    if seconds < 90:
        return f"{seconds:.0f} s"
    if seconds < 5400:
        return f"{seconds / 60:.0f} min"
    if seconds < 172800:
        return f"{seconds / 3600:.1f} h"
    return f"{seconds / 86400:.1f} days"


def _cost_warning(run: FieldRun, forward_solutions: int, threads: int) -> str | None:
    """The warning for a run that would take longer than `FIELD_COST_WARNING_SECONDS`, else None."""
    if forward_solutions / (_FASTEST_RATE * threads) <= FIELD_COST_WARNING_SECONDS:
        return None
    seconds = forward_solutions / (calibrated_rate() * threads)
    if seconds <= FIELD_COST_WARNING_SECONDS:
        return None
    step, phi = run.angle_step_degrees, run.phi_step
    candidates = kernels.inversion_candidate_count(step, phi)
    cheaper_step = 15.0 if step < 15.0 else 2.0 * step
    cheaper_phi = 0.2 if phi < 0.2 else 2.0 * phi
    options = []
    for a, p in dict.fromkeys(((cheaper_step, phi), (step, cheaper_phi), (cheaper_step, cheaper_phi))):
        ratio = kernels.inversion_candidate_count(a, p) / candidates
        if ratio >= 1.0:
            continue
        options.append(f"angle_step_degrees={a:g}, phi_step={p:g} (about {_duration(seconds * ratio)})")
    cheaper = f"Cheaper searches: {'; '.join(options)}; a" if options else "A"
    return (f"this stress field needs {forward_solutions:.3g} forward solutions: about {_duration(seconds)} on "
            f"{threads} thread{'s' if threads != 1 else ''} at the rate measured here (data that fit well run "
            f"faster). {cheaper} coarser spacing or a smaller bandwidth also cuts the work. Ctrl-C stops the run "
            "between slabs; with store=... a rerun resumes it.")


class _Progress:
    """A tqdm bar over nodes whose time left comes from the work left, not the nodes left.

    Nodes cost from nothing (no fault in reach) to a whole search, so the
    bar counts nodes but estimates the time from `field_cost`'s forward
    solutions divided by the rate measured so far in this run.
    """

    def __init__(self, enabled: bool, nodes: int, done_nodes: int, work: int) -> None:
        self.work_left = work
        self.work_done = 0
        self.start = time.perf_counter()
        self.bar: Any = None
        if enabled:
            tqdm = require("tqdm.auto", "the progress bar of velkor.stress_field (or progress=False)")
            self.bar = tqdm.tqdm(total=nodes, initial=done_nodes, unit="node", desc="stress field",
                                 disable=None, dynamic_ncols=True, postfix="time left ?",
                                 bar_format="{desc}: {percentage:3.0f}%|{bar}| {n_fmt}/{total_fmt} nodes "
                                            "[{elapsed}{postfix}]")

    def advance(self, nodes: int, work: int) -> None:
        self.work_done += work
        self.work_left -= work
        if self.bar is None:
            return
        elapsed = time.perf_counter() - self.start
        if self.work_done > 0 and elapsed > 0.0:
            left = self.work_left / (self.work_done / elapsed)
            self.bar.set_postfix_str(f"time left {_duration(left)}", refresh=False)
        self.bar.update(nodes)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


class _Interrupts:
    """Ctrl-C during a run: immediate while computing, held back while a slab is being recorded.

    Only installed on the main thread over Python's own SIGINT handler; a
    handler of the caller's is left alone.
    """

    def __init__(self) -> None:
        self.holding = False
        self.pending = False
        self.previous: Any = None

    def _handler(self, signum: int, frame: FrameType | None) -> None:
        if self.holding:
            self.pending = True
            return
        raise KeyboardInterrupt

    def __enter__(self) -> _Interrupts:
        if threading.current_thread() is threading.main_thread() and \
                signal.getsignal(signal.SIGINT) is signal.default_int_handler:
            self.previous = signal.signal(signal.SIGINT, self._handler)
        return self

    def __exit__(self, *exc: object) -> None:
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)

    @contextlib.contextmanager
    def held(self) -> Iterator[None]:
        self.holding = True
        try:
            yield
        finally:
            self.holding = False
        if self.pending:
            self.pending = False
            raise KeyboardInterrupt


class _MemorySink:
    """Slabs landing in whole-grid arrays."""

    def __init__(self, run: FieldRun) -> None:
        self.variables = empty_variables(run.grid.shape)
        self.counts = np.zeros((run.slab_count, len(STATS)), dtype=np.int64)

    def write_slab(self, k: int, variables: Mapping[str, Any], counts: list[int]) -> None:
        for name, value in variables.items():
            self.variables[name][k:k + 1] = value
        self.counts[k] = counts

    def totals(self) -> list[int]:
        return [int(total) for total in self.counts.sum(axis=0)]


# --- the stress field ----------------------------------------------------------------------------------------


def stress_field(faults: FaultSet, spacing: Any, bandwidth: Any, *, grid: Mapping[str, Any] | Grid | None = None,
                 margin: float = 0.0, kernel: str = "quartic", truncation: float = 4.0, min_support: float = 10.0,
                 angle_step_degrees: float = 10.0, phi_step: float = 0.1, progress: bool = True,
                 client: Any = None, store: Any = None) -> xarray.Dataset:
    """A stress tensor at every node of a grid, slab by slab: progress, Ctrl-C, resumption, Dask.

    The same bytes as one `kernels.stress_field` call on the whole grid,
    however the run is made: in one process, spread over a Dask cluster, or
    stopped and resumed from a Zarr store.

    Parameters
    ----------
    faults : FaultSet
        Faults with ``positions`` (x, y[, z] of each, map units) and no
        weights: each node weighs the faults by their distance alone.
    spacing : float or sequence of float
        Node spacing per axis (one number for every axis) of the grid that
        covers the faults; ``None`` when `grid` is given.
    bandwidth : float or sequence of float
        Kernel bandwidth per axis, map units.
    grid : mapping, optional
        ``origin``, ``spacing`` and ``counts`` as `kernels.covering_grid`
        returns them; replaces the covering grid (and `spacing`, `margin`).
    margin : float
        Room around the faults for the covering grid, map units.
    kernel : {"quartic", "gaussian", "truncated_gaussian"}
    truncation : float
        Where the truncated Gaussian stops, in bandwidths.
    min_support : float
        Kish effective number of faults below which a node gets no tensor.
    angle_step_degrees, phi_step : float
        Steps of the exhaustive search at every node.
    progress : bool
        Show a progress bar over the nodes (on a terminal or in a notebook)
        with the time left, estimated from the work left.
    client : dask.distributed.Client, optional
        Run the slabs on this cluster, several per task, each one kernel call;
        the fault arrays go to every worker once. Set ``RAYON_NUM_THREADS`` in
        each worker's environment so that the kernel threads come to one per
        core in total: ``RAYON_NUM_THREADS=1`` with Dask threads or processes
        one per core (``dask worker ADDRESS --nworkers 2 --nthreads 1``), or
        ``--nthreads 1`` with ``RAYON_NUM_THREADS`` the worker's cores.
    store : str, os.PathLike, mapping or Zarr store, optional
        Keep every finished slab here (Zarr); a rerun with the same arguments
        and store computes only the missing slabs. A store written with other
        arguments is refused, the message naming the first that differs.

    Returns
    -------
    xarray.Dataset
        Dims ``("x",)``, ``("y", "x")`` or ``("z", "y", "x")`` with the node
        coordinates, so that ``.values.ravel()`` is the kernel's flat order.
        One variable per array of the kernel's field (``s1``, ``s2``, ``s3``
        as ``s1_trend``, ``s1_plunge``, ...), then ``shmax_azimuth``,
        ``regime`` and ``r_prime`` (NaN, and "" for the regime, where a node
        has no tensor). The attributes are the kernel's seven stats for the
        whole grid, then the arguments that decided the field.

    Raises
    ------
    KeyboardInterrupt
        On Ctrl-C, once the slab being recorded is in; the store keeps every
        finished slab.
    ValueError
        For invalid arguments (the kernel's messages) and refused stores.

    Warns
    -----
    FieldCostWarning
        Before a run predicted to take longer than
        `FIELD_COST_WARNING_SECONDS`, with the time and cheaper steps.

    Examples
    --------
    >>> import numpy as np, velkor
    >>> rng = np.random.default_rng(1)
    >>> faults = velkor.FaultSet.from_rakes(rng.uniform(0, 360, 60), rng.uniform(30, 80, 60),
    ...                                     rng.uniform(-180, 180, 60), positions=rng.uniform(0, 10, (60, 2)))
    >>> field = velkor.stress_field(faults, 2.0, 6.0, angle_step_degrees=30, phi_step=0.5, progress=False)
    >>> field["phi"].dims, field.attrs["nodes"] == field["phi"].size
    (('y', 'x'), True)
    """
    require("xarray", "velkor.stress_field")
    run = _field_run(faults, spacing, bandwidth, grid, margin, kernel, truncation, min_support, angle_step_degrees,
                     phi_step)
    if client is not None:
        check_client(client)
    # Slab 0's cost checks every argument with the kernel's own messages before anything is written.
    costs = [run.slab_cost(k) for k in range(run.slab_count)]
    from . import __version__

    sink: Any = None
    bar: _Progress | None = None
    try:
        with _Interrupts() as interrupts:
            with interrupts.held():  # a store is created whole or not at all
                sink = FieldStore.open(store, run, __version__) if store is not None else _MemorySink(run)
            todo = [k for k in range(run.slab_count) if store is None or not sink.done[k]]
            work = [costs[k]["forward_solutions"] for k in todo]
            threads = cluster_threads(client) if client is not None else min(pool_size(), max(1, run.slab_nodes))
            message = _cost_warning(run, sum(work), threads) if todo else None
            if message is not None:
                warnings.warn(FieldCostWarning(message), stacklevel=2)
            bar = _Progress(progress, run.grid.node_count, (run.slab_count - len(todo)) * run.slab_nodes, sum(work))
            if client is None:
                _run_here(run, todo, costs, sink, bar, interrupts)
            elif todo:
                _run_on_cluster(client, run, todo, costs, sink, bar, interrupts, threads)
            attrs = dataset_attrs(run, sink.totals())
            if store is not None:
                with interrupts.held():
                    sink.finish(attrs)
    except KeyboardInterrupt as interrupt:
        if isinstance(sink, FieldStore) and hasattr(interrupt, "add_note"):
            kept = int(sink.done.sum())
            interrupt.add_note(f"velkor.stress_field: {kept} of {run.slab_count} slabs are kept in store "
                               f"{describe(store)}; the same call resumes from there")
        raise
    finally:
        if bar is not None:
            bar.close()
    if store is None:
        result: xarray.Dataset = build_dataset(run, sink.variables, attrs)
    else:
        result = read_dataset(require("xarray", "velkor.stress_field"), sink.store, sink.group)
    return result


def _run_here(run: FieldRun, todo: list[int], costs: list[dict[str, int]], sink: Any, bar: _Progress,
              interrupts: _Interrupts) -> None:
    options = run.options()

    def compute(k: int) -> tuple[dict[str, Any], dict[str, Any]]:
        return slab_field(run.positions, run.faults, run.senses, run.grid_args, list(run.bandwidth), options, k)

    def record(k: int, field: dict[str, Any], stats: dict[str, Any]) -> None:
        variables = slab_variables(field, run.slab_shape)
        with interrupts.held():
            sink.write_slab(k, variables, [int(stats[name]) for name in STATS])
        bar.advance(run.slab_nodes, costs[k]["forward_solutions"])

    if pool_size() == 1 or len(todo) < 2:
        for k in todo:
            record(k, *compute(k))
        return
    # Each kernel call ends by waiting for its slowest node while the other pool threads idle. With a
    # second call running beside it, those threads find work, and slab by slab costs what one call does.
    # This thread and one helper each take the next slab in order when their last one is done. This thread
    # records the slabs in order, so a run that stops keeps exactly the slabs before the one it stopped
    # at: a slab that fails (or is interrupted) is raised once every slab before it is recorded. A kernel
    # call sees Ctrl-C only on the main thread: this thread's call stops at once, the helper takes no
    # further slab, and a slab of the helper's that comes after the stopping point is dropped.
    Outcome = tuple[dict[str, Any], dict[str, Any]] | BaseException
    slabs = iter(todo)
    taking = threading.Lock()
    stop = threading.Event()
    finished: queue.SimpleQueue[tuple[int, Outcome] | None] = queue.SimpleQueue()

    def take() -> int | None:
        with taking:
            return None if stop.is_set() else next(slabs, None)

    def attempt(k: int) -> Outcome:
        try:
            return compute(k)
        except BaseException as error:  # raised by the recording thread in its turn
            stop.set()
            return error

    def helper() -> None:
        try:
            while (k := take()) is not None:
                finished.put((k, attempt(k)))
        finally:
            finished.put(None)

    ready: dict[int, Outcome] = {}
    position = 0  # of the next slab to record in todo

    def record_ready() -> None:
        nonlocal position
        while position < len(todo) and todo[position] in ready:
            outcome = ready.pop(todo[position])
            if isinstance(outcome, BaseException):
                raise outcome
            record(todo[position], *outcome)
            position += 1

    def collect(wait: bool) -> bool:
        """Moves what the helper has finished into `ready`; False once it has stopped."""
        while True:
            try:
                item = finished.get(block=wait)
            except queue.Empty:
                return True
            if item is None:
                return False
            ready[item[0]] = item[1]
            wait = False

    thread = threading.Thread(target=helper, name="velkor-slab", daemon=False)
    thread.start()
    try:
        helping = True
        while (mine := take()) is not None:
            ready[mine] = attempt(mine)
            helping = helping and collect(wait=False)
            record_ready()
        # What is left comes from the helper; wait only while the next slab to record is its.
        record_ready()
        while helping and position < len(todo):
            helping = collect(wait=True)
            record_ready()
    finally:
        stop.set()


def _run_on_cluster(client: Any, run: FieldRun, todo: list[int], costs: list[dict[str, int]], sink: Any,
                    bar: _Progress, interrupts: _Interrupts, threads: int) -> None:
    weights = [costs[k]["forward_solutions"] + run.slab_nodes for k in todo]
    seconds = sum(costs[k]["forward_solutions"] for k in todo) / calibrated_rate() if todo else 0.0
    groups = plan_groups(todo, weights, threads, seconds)
    weight_of = dict(zip(todo, weights))
    results = run_groups(client, slab_group, [run.positions, run.faults, run.senses],
                         [run.grid_args, list(run.bandwidth), run.options()], groups,
                         [sum(weight_of[k] for k in group) for group in groups])
    with contextlib.closing(results):
        for result in results:
            for k, field, counts in result:
                variables = slab_variables(field, run.slab_shape)
                with interrupts.held():
                    sink.write_slab(k, variables, counts)
                bar.advance(run.slab_nodes, costs[k]["forward_solutions"])


# --- the Kagan matrix ----------------------------------------------------------------------------------------


def kagan_matrix(mechanisms: Any, client: Any = None, chunks: Any = None) -> Any:
    """Every Kagan angle of a catalogue: in memory, or as blocks a cluster computes on demand.

    Parameters
    ----------
    mechanisms : array_like, shape (N, 4)
        P trend, P plunge, T trend, T plunge per mechanism, degrees (see
        `mechanisms_from_sdr`).
    client : dask.distributed.Client, optional
        Compute the blocks on this cluster; the mechanisms go to every worker
        once. Without `chunks`, blocks of 2048 x 2048.
    chunks : int or sequence of int, optional
        Block edge (or the block sizes along each axis, adding up to N).

    Returns
    -------
    numpy.ndarray or dask.array.Array, shape (N, N)
        Without `client` and `chunks`, `kernels.kagan_angle_matrix` itself.
        Otherwise a lazy dask array with the same entries, bit for bit: a
        catalogue of 10^5 events can be reduced block by block (nearest
        neighbours, clustering) without ever holding the whole matrix. With
        `client`, compute it on that client: ``.compute()`` when it is the
        default client (as a new Client is), else ``client.compute(matrix)``.

    Examples
    --------
    >>> import numpy as np, velkor
    >>> m = velkor.mechanisms_from_sdr([0, 10, 40], [45, 50, 60], [-90, -80, 0])
    >>> lazy = velkor.kagan_matrix(m, chunks=2)
    >>> bool((lazy.compute() == velkor.kagan_matrix(m)).all())
    True
    """
    array = float_array(mechanisms, "mechanisms", ndim=2, columns=4)
    if client is None and chunks is None:
        return kernels.kagan_angle_matrix(array)
    da = require("dask.array", "velkor.kagan_matrix with client or chunks")
    dask = require("dask", "velkor.kagan_matrix with client or chunks")
    # Every mechanism is parsed once here, so a bad row is reported as the matrix kernel reports it.
    kernels.kagan_angles(array, array)
    count = array.shape[0]
    sizes = kagan_chunks(_KAGAN_BLOCK if chunks is None else chunks, count)
    if count == 0:
        return da.zeros((0, 0), dtype=np.float64, chunks=((0,), (0,)))
    if client is not None:
        source = dask.delayed(check_client(client).scatter(array, broadcast=True))
    else:
        source = dask.delayed(array)
    edges = np.concatenate([[0], np.cumsum(sizes)]).tolist()
    spans = [(edges[i], edges[i + 1]) for i in range(len(sizes))]
    upper: dict[tuple[int, int], Any] = {}
    block_rows = []
    for i, rows in enumerate(spans):
        row = []
        for j, columns in enumerate(spans):
            shape = (rows[1] - rows[0], columns[1] - columns[0])
            if i <= j:
                upper[i, j] = dask.delayed(kagan_block, pure=True)(source, rows, columns)
                row.append(da.from_delayed(upper[i, j], shape, dtype=np.float64))
            else:
                row.append(da.from_delayed(dask.delayed(mirror, pure=True)(upper[j, i]), shape, dtype=np.float64))
        block_rows.append(row)
    return da.block(block_rows)
