"""Fields on regular grids, returned as labelled xarray objects.

The kernels number a grid's nodes in flat order with the first axis fastest.
Laid out as an array with the LAST axis first, ``("y", "x")`` in 2-D, that
order is plain C order: ``values.ravel()`` is the kernel's flat array, and
``x`` is the first coordinate of the points. Node coordinates are computed
as the kernels compute them, ``float(i) * spacing + origin``.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from . import kernels
from ._cast import Float64Array, float_array, per_axis, real
from ._optional import require

if TYPE_CHECKING:
    import xarray

__all__ = ["Grid", "density", "DIMS"]

# Dimension names by number of coordinates, slowest axis first.
DIMS = {1: ("x",), 2: ("y", "x"), 3: ("z", "y", "x")}


@dataclass(frozen=True)
class Grid:
    """A node grid: the first node's position, the spacing and the node counts per axis.

    Axes are in the order of the points' coordinates (x, y, z). The nodes
    of axis k lie at ``float(i) * spacing[k] + origin[k]``.

    Examples
    --------
    >>> g = Grid.from_mapping({"origin": [0.0, 10.0], "spacing": [1.0, 2.0], "counts": [3, 2]})
    >>> g.shape, g.dims, g.coordinate(1).tolist()
    ((2, 3), ('y', 'x'), [10.0, 12.0])
    """

    origin: tuple[float, ...]
    spacing: tuple[float, ...]
    counts: tuple[int, ...]

    @classmethod
    def from_mapping(cls, grid: Mapping[str, Any], dimension: int | None = None, name: str = "grid") -> Grid:
        """A grid from a mapping with ``origin``, ``spacing`` and ``counts`` (as `kernels.covering_grid` gives)."""
        if not isinstance(grid, Mapping):
            raise TypeError(f"{name} must be a mapping with origin, spacing and counts, got {type(grid).__name__}")
        missing = [key for key in ("origin", "spacing", "counts") if key not in grid]
        if missing:
            raise ValueError(f"{name} lacks {', '.join(repr(k) for k in missing)}: it needs origin, spacing "
                             "and counts, as kernels.covering_grid returns them")
        size = len(grid["counts"]) if dimension is None else dimension
        if size not in DIMS:
            raise ValueError(f"{name} must have 1, 2 or 3 axes, got {size}")
        origin = per_axis(grid["origin"], f"{name}['origin']", size, positive=False)
        spacing = per_axis(grid["spacing"], f"{name}['spacing']", size)
        counts_in = list(grid["counts"])
        if len(counts_in) != size:
            raise ValueError(f"{name}['counts'] must hold one value per axis ({size}), got {len(counts_in)}")
        counts = []
        for axis, count in enumerate(counts_in):
            if isinstance(count, (bool, np.bool_)) or not isinstance(count, (int, np.integer)) or count < 1:
                raise ValueError(f"{name}['counts'][{axis}] must be a whole number of nodes >= 1, got {count!r}")
            counts.append(int(count))
        return cls(tuple(origin), tuple(spacing), tuple(counts))

    @classmethod
    def covering(cls, points: Float64Array, spacing: Any, margin: float = 0.0) -> Grid:
        """The grid `kernels.covering_grid` lays over the points."""
        dimension = points.shape[1]
        covering = kernels.covering_grid(points, per_axis(spacing, "spacing", dimension),
                                         margin=real(margin, "margin"))
        return cls(tuple(covering["origin"]), tuple(covering["spacing"]), tuple(covering["counts"]))

    @property
    def dimension(self) -> int:
        return len(self.counts)

    @property
    def node_count(self) -> int:
        return math.prod(self.counts)

    @property
    def dims(self) -> tuple[str, ...]:
        """Dimension names, slowest axis first: ``("y", "x")`` in 2-D."""
        return DIMS[self.dimension]

    @property
    def shape(self) -> tuple[int, ...]:
        """Array shape of a field in `dims` order (the counts reversed)."""
        return tuple(reversed(self.counts))

    def coordinate(self, axis: int) -> Float64Array:
        """Node coordinates along `axis` (0 is x), exactly as the kernels place nodes."""
        index = np.arange(self.counts[axis], dtype=np.float64)
        return index * self.spacing[axis] + self.origin[axis]

    def coords(self) -> dict[str, Float64Array]:
        """Coordinate arrays by dimension name."""
        return {DIMS[3][2 - axis]: self.coordinate(axis) for axis in range(self.dimension)}

    def as_mapping(self) -> dict[str, Any]:
        """origin, spacing, counts and node_count, as `kernels.covering_grid` gives them."""
        return {"origin": list(self.origin), "spacing": list(self.spacing), "counts": list(self.counts),
                "node_count": self.node_count}

    def layout(self, flat: Any) -> Any:
        """A flat per-node array (first axis fastest) laid out in `dims` order, with no copy."""
        return np.asarray(flat).reshape(self.shape + np.shape(flat)[1:])


def points_array(points: Any, name: str = "points") -> Float64Array:
    """Located points as an (N, D) float64 array; a 1-D array is N points on one axis."""
    array = float_array(points, name)
    if array.ndim == 1:
        array = array.reshape(-1, 1)
    if array.ndim != 2 or array.shape[1] not in DIMS:
        raise ValueError(f"{name} must have shape (N, D) with D 1, 2 or 3 coordinates, got shape {array.shape}")
    return array


def resolve_grid(points: Float64Array, spacing: Any, margin: float, grid: Mapping[str, Any] | Grid | None) -> Grid:
    """The grid a field runs on: the one given, or the covering grid of the points."""
    dimension = points.shape[1]
    if grid is None:
        if spacing is None:
            raise ValueError("spacing is required unless a grid is given")
        return Grid.covering(points, spacing, margin)
    resolved = grid if isinstance(grid, Grid) else Grid.from_mapping(grid, dimension)
    if resolved.dimension != dimension:
        raise ValueError(f"grid has {resolved.dimension} axes for points with {dimension} coordinates")
    if spacing is not None and tuple(per_axis(spacing, "spacing", dimension)) != resolved.spacing:
        raise ValueError(f"spacing {spacing!r} differs from the grid's spacing {list(resolved.spacing)}; "
                         "a grid replaces spacing and margin: pass spacing=None with it")
    return resolved


def density(points: Any, spacing: Any, bandwidth: Any, *, grid: Mapping[str, Any] | Grid | None = None,
            margin: float = 0.0, kernel: str = "quartic", truncation: float = 4.0,
            client: Any = None) -> xarray.DataArray:
    """Kernel density of located points at the nodes of a grid.

    Parameters
    ----------
    points : array_like, shape (N, D)
        Coordinates of the observations, D from 1 to 3 (x, y[, z]).
    spacing : float or sequence of float
        Node spacing per axis (one number for every axis); ignored in favour
        of the grid's when `grid` is given (pass ``None``).
    bandwidth : float or sequence of float
        Kernel bandwidth per axis, map units.
    grid : mapping, optional
        ``origin``, ``spacing`` and ``counts`` as `kernels.covering_grid`
        returns them; by default the covering grid of the points.
    margin : float
        Room around the points for the covering grid, map units.
    kernel : {"quartic", "gaussian", "truncated_gaussian"}
    truncation : float
        Where the truncated Gaussian stops, in bandwidths.
    client : dask.distributed.Client, optional
        Compute on this Dask cluster, in slabs one node thick along the last
        axis (the same bytes as one call here); the points go to every
        worker once.

    Returns
    -------
    xarray.DataArray
        Named ``"density"`` (observations per unit area or volume), dims
        ``("x",)``, ``("y", "x")`` or ``("z", "y", "x")`` with the node
        coordinates; ``values.ravel()`` is the kernel's flat order. The
        attributes hold the kernel, bandwidth, truncation and grid.

    Examples
    --------
    >>> import velkor
    >>> rng = np.random.default_rng(0)
    >>> d = velkor.density(rng.normal(0, 5, (200, 2)), 1.0, 4.0, margin=8.0)
    >>> d.dims
    ('y', 'x')
    """
    xr = require("xarray", "velkor.density")
    located = points_array(points)
    dimension = located.shape[1]
    resolved = resolve_grid(located, spacing, margin, grid)
    bandwidths = per_axis(bandwidth, "bandwidth", dimension)
    if client is None:
        flat = kernels.density_field(located, list(resolved.origin), list(resolved.spacing),
                                     list(resolved.counts), bandwidths, kernel, real(truncation, "truncation"))
    else:
        from ._cluster import check_client, density_on_cluster

        flat = density_on_cluster(check_client(client), located,
                                  (resolved.origin, resolved.spacing, resolved.counts), bandwidths, kernel,
                                  real(truncation, "truncation"))
    attrs = {"kernel": kernel, "bandwidth": bandwidths, "truncation": float(truncation),
             **{f"grid_{key}": value for key, value in resolved.as_mapping().items() if key != "node_count"}}
    result: xarray.DataArray = xr.DataArray(resolved.layout(flat), dims=resolved.dims, coords=resolved.coords(),
                                            name="density", attrs=attrs)
    return result
