"""A stress field cut into slabs one node thick along the last axis.

A node's result depends only on its own coordinates, the fault positions and
the kernel: the neighbour search files faults by ``floor(x / reach)``, cells
anchored at absolute coordinates, not at the grid. The kernel places node i of
an axis at ``double(i) * spacing + origin``. Slab k of the last axis is the
grid with one node along that axis and ``float(k) * spacing + origin`` as its
last origin entry: its single node along the axis is placed at
``0.0 * spacing + (float(k) * spacing + origin)``, which is the same double as
the whole grid's node k (adding +0.0 changes nothing but the sign of a zero,
and a sum of a positive product and an origin is never -0.0). Its other axes
are the whole grid's. The whole grid's flat order, first axis fastest, is
therefore the slabs' results concatenated in order, bit for bit. A slab two
nodes thick would place its second node at ``1.0 * spacing + origin_k``,
which rounds differently from ``float(k + 1) * spacing + origin``: slabs are
never thicker than one node.

Everything here is plain NumPy over the kernels, so a Dask worker imports it
without the optional libraries.
"""

from __future__ import annotations

import hashlib
import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import kernels
from ._cast import BoolArray, Float64Array
from ._optional import require
from .fields import Grid
from .stress import r_prime, regime, shmax_azimuth

# Variables of a stress-field Dataset, in order: the kernel's field (its (nodes, 2) axes split
# into trend and plunge), then what the package derives from the tensor. Name, dtype, fill.
AXES = ("s1", "s2", "s3")
VARIABLES: tuple[tuple[str, str, Any], ...] = (
    ("density", "float64", np.nan),
    ("support", "float64", np.nan),
    ("faults_within_reach", "int64", 0),
    ("has_solution", "bool", False),
    ("s1_trend", "float64", np.nan),
    ("s1_plunge", "float64", np.nan),
    ("s2_trend", "float64", np.nan),
    ("s2_plunge", "float64", np.nan),
    ("s3_trend", "float64", np.nan),
    ("s3_plunge", "float64", np.nan),
    ("phi", "float64", np.nan),
    ("misfit_degrees", "float64", np.nan),
    ("faults_scored", "int64", 0),
    ("effective_sample_size", "float64", np.nan),
    ("runner_up_misfit_degrees", "float64", np.nan),
    ("runner_up_s1_degrees", "float64", np.nan),
    ("shmax_azimuth", "float64", np.nan),
    ("regime", "<U2", ""),
    ("r_prime", "float64", np.nan),
)
KERNEL_KEYS = ("positions", "density", "support", "faults_within_reach", "has_solution", "s1", "s2", "s3", "phi",
               "misfit_degrees", "faults_scored", "effective_sample_size", "runner_up_misfit_degrees",
               "runner_up_s1_degrees")
# The node counts of a slab, in the order of the kernel's stats.
STATS = ("nodes", "nodes_inverted", "nodes_below_threshold", "nodes_without_data")
GridArgs = tuple[tuple[float, ...], tuple[float, ...], tuple[int, ...]]
GRID_MESSAGE = ("a grid needs a finite origin, a positive finite spacing on every axis, at least one node on each, "
                "and a node count that fits in memory")


@dataclass(frozen=True, eq=False)
class FieldRun:
    """Everything that decides the bytes of a stress field, cast once.

    The arrays are what the kernels take (float64, C order; bool senses or
    None); the grid is the whole grid; the numbers are plain floats. A run is
    cut into `slab_count` slabs, slab k the grid's nodes with last index k.
    """

    positions: Float64Array
    faults: Float64Array
    senses: BoolArray | None
    grid: Grid
    bandwidth: tuple[float, ...]
    kernel: str
    truncation: float
    min_support: float
    angle_step_degrees: float
    phi_step: float

    @property
    def slab_count(self) -> int:
        return self.grid.counts[-1]

    @property
    def slab_nodes(self) -> int:
        return math.prod(self.grid.counts[:-1])

    @property
    def slab_shape(self) -> tuple[int, ...]:
        """Shape of one slab laid out in the grid's dims order: one along the first (slowest) dim."""
        return (1,) + self.grid.shape[1:]

    def slab_origin(self, k: int) -> list[float]:
        """The origin of slab k: the last entry is exactly the whole grid's coordinate of node k."""
        return [*self.grid.origin[:-1], float(k) * self.grid.spacing[-1] + self.grid.origin[-1]]

    def slab_counts(self) -> list[int]:
        return [*self.grid.counts[:-1], 1]

    @property
    def grid_args(self) -> GridArgs:
        return (self.grid.origin, self.grid.spacing, self.grid.counts)

    def options(self) -> dict[str, Any]:
        """The keyword arguments of `kernels.stress_field` and `kernels.field_cost` after `senses`."""
        return {"kernel": self.kernel, "truncation": self.truncation,
                "min_support": self.min_support, "angle_step_degrees": self.angle_step_degrees,
                "phi_step": self.phi_step}

    def slab_cost(self, k: int) -> dict[str, int]:
        """`kernels.field_cost` of slab k (its node count alone where the slab lies beyond the doubles)."""
        origin = self.slab_origin(k)
        if not math.isfinite(origin[-1]):
            return {"nodes": self.slab_nodes, "nodes_to_invert": 0, "forward_solutions": 0}
        cost = kernels.field_cost(self.positions, self.faults, origin, list(self.grid.spacing), self.slab_counts(),
                                  list(self.bandwidth), self.senses, **self.options())
        return {"nodes": cost["nodes"], "nodes_to_invert": cost["nodes_to_invert"],
                "forward_solutions": cost["forward_solutions"]}

    def parameters(self) -> dict[str, Any]:
        """The arguments that decide the bytes, as they go in the attributes and the store's record."""
        return {"kernel": self.kernel, "bandwidth": list(self.bandwidth), "truncation": self.truncation,
                "min_support": self.min_support, "angle_step_degrees": self.angle_step_degrees,
                "phi_step": self.phi_step}

    def fingerprint(self) -> str:
        """A digest of the fault data (positions, faults, senses), bytes and shapes."""
        digest = hashlib.sha256()
        for name, array in (("positions", self.positions), ("faults", self.faults), ("senses", self.senses)):
            digest.update(name.encode())
            if array is None:
                digest.update(b"none")
            else:
                digest.update(repr((array.dtype.str, array.shape)).encode())
                digest.update(np.ascontiguousarray(array).tobytes())
        return digest.hexdigest()


def check_grid_size(grid: Grid) -> None:
    """Refuse a grid whose node count the kernels could not count, as one call on it would."""
    if grid.node_count >= 2**64:
        raise ValueError(GRID_MESSAGE)


def slab_field(positions: Float64Array, faults: Float64Array, senses: BoolArray | None, run_grid: GridArgs,
               bandwidth: list[float], options: Mapping[str, Any], k: int) -> tuple[dict[str, Any], dict[str, Any]]:
    """One `kernels.stress_field` call on slab k: the kernel's (field, stats).

    A slab whose last coordinate overflows to infinity cannot be handed to the
    kernel (its origin would not be finite), but its answer is known: a node
    at infinity reaches nothing, which is what one call on the whole grid
    reports there. It is built here with the kernel's own values.
    """
    origin, spacing, counts = run_grid
    slab_origin = [*origin[:-1], float(k) * spacing[-1] + origin[-1]]
    slab_counts = [*counts[:-1], 1]
    if math.isfinite(slab_origin[-1]):
        field, stats = kernels.stress_field(positions, faults, slab_origin, list(spacing), slab_counts, bandwidth,
                                            senses, **options)
        return dict(field), dict(stats)
    return _unreached_slab(Grid(tuple(slab_origin), tuple(spacing), tuple(slab_counts)))


def _unreached_slab(grid: Grid) -> tuple[dict[str, Any], dict[str, Any]]:
    nodes = grid.node_count
    with np.errstate(over="ignore"):  # the coordinates that overflow are the point of this slab
        axes = [grid.coordinate(axis) for axis in range(grid.dimension)]
    mesh = np.meshgrid(*axes, indexing="ij")
    positions = np.column_stack([m.ravel(order="F") for m in mesh]) if nodes else np.empty((0, grid.dimension))
    nan = np.full(nodes, np.nan)
    field = {"positions": np.ascontiguousarray(positions), "density": np.full(nodes, -0.0),
             "support": np.zeros(nodes), "faults_within_reach": np.zeros(nodes, np.int64),
             "has_solution": np.zeros(nodes, np.bool_), "s1": np.full((nodes, 2), np.nan),
             "s2": np.full((nodes, 2), np.nan), "s3": np.full((nodes, 2), np.nan), "phi": nan.copy(),
             "misfit_degrees": nan.copy(), "faults_scored": np.zeros(nodes, np.int64),
             "effective_sample_size": nan.copy(), "runner_up_misfit_degrees": nan.copy(),
             "runner_up_s1_degrees": nan.copy()}
    stats = {"nodes": nodes, "nodes_inverted": 0, "nodes_below_threshold": 0, "nodes_without_data": nodes,
             "grid_origin": list(grid.origin), "grid_spacing": list(grid.spacing), "grid_counts": list(grid.counts)}
    return field, stats


def slab_group(positions: Float64Array, faults: Float64Array, senses: BoolArray | None, run_grid: GridArgs,
               bandwidth: list[float], options: Mapping[str, Any],
               slabs: list[int]) -> list[tuple[int, dict[str, Any], list[int]]]:
    """Several slabs, each one kernel call: (k, field without positions, the four node counts) per slab.

    This is what a Dask task runs; the node positions stay behind (the
    client knows them) so less travels back.
    """
    out = []
    for k in slabs:
        field, stats = slab_field(positions, faults, senses, run_grid, bandwidth, options, k)
        del field["positions"]
        out.append((k, field, [int(stats[name]) for name in STATS]))
    return out


def slab_variables(field: Mapping[str, Any], shape: tuple[int, ...]) -> dict[str, Any]:
    """The Dataset's variables of one slab, laid out in `shape`, derived ones included.

    The derived variables are computed from the slab's own arrays, the same
    whichever way the slab was run.
    """
    missing = [key for key in KERNEL_KEYS[1:] if key not in field]
    if missing:
        raise RuntimeError(f"kernels.stress_field returned no {', '.join(missing)}: velkor and _velkor do not match")
    out: dict[str, Any] = {}
    for key in KERNEL_KEYS[1:]:
        value = np.asarray(field[key])
        if key in AXES:
            out[f"{key}_trend"] = value[:, 0].reshape(shape)
            out[f"{key}_plunge"] = value[:, 1].reshape(shape)
        else:
            out[key] = value.reshape(shape)
    s1, s2, s3 = (np.asarray(field[key]) for key in AXES)
    phi = np.asarray(field["phi"])
    out["shmax_azimuth"] = shmax_azimuth(s1, s2, s3, phi).reshape(shape)
    out["regime"] = regime(s1, s2, s3).reshape(shape)
    out["r_prime"] = r_prime(phi, s1, s2, s3).reshape(shape)
    return out


def empty_variables(shape: tuple[int, ...]) -> dict[str, Any]:
    """Whole-grid arrays of every variable, filled with their fills, for slabs to land in."""
    return {name: np.full(shape, fill, dtype=dtype) for name, dtype, fill in VARIABLES}


def dataset_attrs(run: FieldRun, totals: list[int]) -> dict[str, Any]:
    """The seven stats of one kernel call on the whole grid, then the arguments that decided the field."""
    attrs: dict[str, Any] = dict(zip(STATS, (int(total) for total in totals)))
    attrs.update({"grid_origin": list(run.grid.origin), "grid_spacing": list(run.grid.spacing),
                  "grid_counts": list(run.grid.counts)})
    attrs.update(run.parameters())
    return attrs


def build_dataset(run: FieldRun, variables: Mapping[str, Any], attrs: Mapping[str, Any]) -> Any:
    """The stress-field Dataset: dims slowest axis first, so ``ravel()`` is the kernel's flat order."""
    xr = require("xarray", "velkor.stress_field")
    dims = run.grid.dims
    data = {name: (dims, variables[name]) for name, _dtype, _fill in VARIABLES}
    with np.errstate(over="ignore"):  # nodes beyond the largest double sit at infinity, as in the kernel
        coords = run.grid.coords()
    return xr.Dataset(data, coords=coords, attrs=dict(attrs))
