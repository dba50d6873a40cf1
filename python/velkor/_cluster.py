"""Fields and Kagan matrices on a Dask cluster, in pieces whose bytes do not depend on the cut.

Every piece is one kernel call on exactly what one call on the whole would
compute for those entries: a slab one node thick along the last axis for
fields (see `velkor._slabs`), a block of row-first mechanism pairs for the
Kagan matrix. The data go to the workers once (`Client.scatter` with
``broadcast=True``); tasks carry only slab numbers or block bounds.

Threads: each worker process has one `_velkor` pool, sized by
``RAYON_NUM_THREADS`` in that worker's environment when it first computes,
and every Dask thread of the worker that runs a kernel call adds itself to
it. One kernel thread per core in total is ``RAYON_NUM_THREADS=1`` with as
many Dask threads (``--nthreads``) or processes (``--nworkers``) as cores,
or ``--nthreads 1`` with ``RAYON_NUM_THREADS`` set to the worker's cores.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Generator, Sequence
from typing import Any

import numpy as np

from . import kernels
from ._cast import Float64Array

# Short tasks spread the work evenly and lose little to an interruption. Each slab is one kernel call whether
# or not it shares a task, so grouping saves only Dask's own cost per task (milliseconds): tasks of a quarter
# of a second already keep that near 1 %.
MIN_TASK_SECONDS = 0.25
TASKS_PER_THREAD = 4


def check_client(client: Any) -> Any:
    """`client` if it looks like a `dask.distributed.Client`; a TypeError naming what it got otherwise."""
    if not all(hasattr(client, name) for name in ("submit", "scatter", "cancel", "nthreads")):
        raise TypeError(f"client must be a dask.distributed.Client, got {type(client).__name__}")
    return client


def cluster_threads(client: Any) -> int:
    """Dask threads across the cluster's workers (at least 1)."""
    return max(1, sum(int(n) for n in client.nthreads().values()))


def plan_groups(slabs: Sequence[int], weights: Sequence[float], threads: int,
                seconds: float | None = None) -> list[list[int]]:
    """Consecutive slabs cut into groups of about equal weight, one task each.

    Enough groups for every thread to take several (the last ones finish
    together); with the job's predicted `seconds`, as many as tasks of
    `MIN_TASK_SECONDS` would make, so that slabs share a task only when they
    are very light; never more groups than slabs. A slab joins the group its
    weight's midpoint falls in.
    """
    if not slabs:
        return []
    count = TASKS_PER_THREAD * max(1, threads)
    if seconds is not None and seconds > 0.0:
        count = max(count, math.ceil(seconds / MIN_TASK_SECONDS))
    count = min(count, len(slabs))
    total = float(sum(weights))
    if not total > 0.0:
        weights, total = [1.0] * len(slabs), float(len(slabs))
    target = total / count
    groups: list[list[int]] = []
    group, before = -1, 0.0
    for slab, weight in zip(slabs, weights):
        index = min(count - 1, int((before + 0.5 * float(weight)) / target))
        if index != group:
            groups.append([])
            group = index
        groups[-1].append(slab)
        before += float(weight)
    return groups


def run_groups(client: Any, function: Callable[..., Any], shared: Sequence[Any], fixed: Sequence[Any],
               groups: Sequence[list[int]], weights: Sequence[float] | None = None) -> Generator[Any, None, None]:
    """Run ``function(*shared, *fixed, group)`` for every group on the cluster; yield results as they come.

    The `shared` arrays are scattered to every worker once (None passes as
    it is). With `weights` (one per group) the heaviest groups are started
    first, so that the last tasks to finish are short ones and the workers
    end together. Whatever stops the caller's loop (an error, Ctrl-C,
    closing the generator) cancels the tasks not yet collected.
    """
    distributed = _distributed()
    # Unhashed keys: a later run's scatter of the same arrays must not share keys with this run's,
    # which this run releases when it ends.
    scattered = [None if value is None else client.scatter(value, broadcast=True, hash=False) for value in shared]
    order = sorted(range(len(groups)), key=lambda i: -weights[i]) if weights is not None else range(len(groups))
    rank = {index: len(groups) - position for position, index in enumerate(order)}
    futures = [client.submit(function, *scattered, *fixed, group, pure=False, priority=rank[index])
               for index, group in enumerate(groups)]
    pending = set(futures)
    del futures
    try:
        # The client's own loop: as_completed would otherwise look for a default client, and the
        # caller's need not be one.
        for future in distributed.as_completed(pending.copy(), loop=client.loop):
            result = future.result()  # raises the task's error, or CancelledError
            pending.discard(future)
            del future
            yield result
    finally:
        if pending:
            client.cancel(list(pending))
        for value in scattered:
            if value is not None:
                value.release()


def _distributed() -> Any:
    from ._optional import require

    return require("distributed", "running on a Dask cluster")


# --- density -------------------------------------------------------------------------------------------------


def density_slabs(points: Float64Array, grid_args: Any, bandwidth: list[float], kernel: str, truncation: float,
                  slabs: list[int]) -> list[tuple[int, Float64Array]]:
    """`kernels.density_field` on each slab of the group: (k, values) per slab."""
    origin, spacing, counts = grid_args
    out = []
    slab_counts = [*counts[:-1], 1]
    for k in slabs:
        slab_origin = [*origin[:-1], float(k) * spacing[-1] + origin[-1]]
        if math.isfinite(slab_origin[-1]):
            values = kernels.density_field(points, slab_origin, list(spacing), slab_counts, bandwidth, kernel,
                                           truncation)
        else:  # nodes at infinity reach nothing: the kernel's empty sum
            values = np.full(math.prod(slab_counts), -0.0)
        out.append((k, values))
    return out


def density_on_cluster(client: Any, points: Float64Array, grid_args: Any, bandwidth: list[float], kernel: str,
                       truncation: float) -> Float64Array:
    """The flat density of one `kernels.density_field` call on the whole grid, computed slab by slab on `client`.

    Slab 0 runs here first: it checks every argument with the kernel's own
    messages before anything is sent.
    """
    from ._slabs import check_grid_size
    from .fields import Grid

    check_grid_size(Grid(*grid_args))
    counts = grid_args[2]
    slab_nodes = math.prod(counts[:-1])
    flat = np.empty(math.prod(counts), dtype=np.float64)
    first = density_slabs(points, grid_args, bandwidth, kernel, truncation, [0])
    flat[:slab_nodes] = first[0][1]
    rest = list(range(1, counts[-1]))
    groups = plan_groups(rest, [1.0] * len(rest), cluster_threads(client))
    for result in run_groups(client, density_slabs, [points], [grid_args, bandwidth, kernel, truncation], groups):
        for k, values in result:
            flat[k * slab_nodes:(k + 1) * slab_nodes] = values
    return flat


# --- Kagan matrix --------------------------------------------------------------------------------------------

# Pairs per kagan_angles call inside a block: bounds the two pair arrays to a few MB.
_PAIRS_PER_CALL = 1 << 17


def kagan_block(mechanisms: Float64Array, rows: tuple[int, int], columns: tuple[int, int]) -> Float64Array:
    """Entries [rows) x [columns) of `kernels.kagan_angle_matrix` for a block on or above the diagonal.

    The matrix kernel computes entry (i, j), i < j, as the angle of
    mechanism i against mechanism j, and mirrors it below the diagonal;
    the diagonal is exactly 0. The angle of j against i may differ in the
    last bits, so every pair here is taken row first and the lower part of
    a diagonal block is mirrored, never recomputed.
    """
    r0, r1 = rows
    c0, c1 = columns
    block = np.zeros((r1 - r0, c1 - c0), dtype=np.float64)
    row_index, column_index = np.nonzero(np.arange(r0, r1)[:, None] < np.arange(c0, c1)[None, :])
    for start in range(0, row_index.size, _PAIRS_PER_CALL):
        r = row_index[start:start + _PAIRS_PER_CALL]
        c = column_index[start:start + _PAIRS_PER_CALL]
        first = np.ascontiguousarray(mechanisms[r + r0])
        second = np.ascontiguousarray(mechanisms[c + c0])
        block[r, c] = kernels.kagan_angles(first, second)
    if r0 == c0:  # a diagonal block: mirror its upper part
        lower = np.tril_indices(r1 - r0, -1)
        block[lower] = block.T[lower]
    return block


def mirror(block: Float64Array) -> Float64Array:
    """The block below the diagonal that mirrors `block`: its transpose, C-ordered."""
    return np.ascontiguousarray(block.T)


def kagan_chunks(chunks: Any, count: int) -> tuple[int, ...]:
    """Block edges along each axis of the (N, N) matrix: a block size, or sizes that add up to N."""
    if isinstance(chunks, (bool, np.bool_, str, bytes)):
        raise TypeError(f"chunks must be a block size or a sequence of block sizes, got {chunks!r}")
    if isinstance(chunks, (int, np.integer)):
        size = int(chunks)
        if size < 1:
            raise ValueError(f"chunks must be a block size of at least 1, got {size}")
        return tuple(min(size, count - start) for start in range(0, count, size)) or (0,)
    try:
        sizes = tuple(int(s) for s in chunks)
    except TypeError:
        raise TypeError(f"chunks must be a block size or a sequence of block sizes, got "
                        f"{type(chunks).__name__}") from None
    if any(s < 1 for s in sizes) or sum(sizes) != count:
        raise ValueError(f"chunks {list(sizes)} must be sizes of at least 1 that add up to the {count} mechanisms")
    return sizes
