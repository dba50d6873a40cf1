"""Best-fit planes per grid cell, as a table."""

from __future__ import annotations

import math
import numbers
from typing import Any, Literal, overload

import numpy as np
from numpy.typing import NDArray

from . import kernels
from ._cast import Float64Array, float_array, real

__all__ = ["BEST_FIT_DTYPE", "best_fit_planes"]


BEST_FIT_DTYPE = np.dtype([
    ("cell_row", np.int64), ("cell_column", np.int64), ("x", np.float64), ("y", np.float64),
    ("dip_direction", np.float64), ("dip", np.float64),
    ("centroid_x", np.float64), ("centroid_y", np.float64), ("centroid_z", np.float64),
    ("point_count", np.int64), ("rms", np.float64), ("collinearity", np.float64),
    ("s1", np.float64), ("s2", np.float64), ("s3", np.float64),
])


def _points_xyz(points: Any) -> Float64Array:
    columns = getattr(points, "columns", None)
    if columns is not None and all(name in list(columns) for name in ("x", "y", "z")):
        points = points[["x", "y", "z"]]
    array = float_array(points, "points", ndim=2, columns=3, finite=True)
    return array


@overload
def best_fit_planes(points: Any, cell_size: float, coincidence_distance: float = ...,
                    max_collinearity: float = ..., *, stats: Literal[False] = ...) -> NDArray[np.void]: ...


@overload
def best_fit_planes(points: Any, cell_size: float, coincidence_distance: float = ...,
                    max_collinearity: float = ..., *,
                    stats: Literal[True]) -> tuple[NDArray[np.void], dict[str, Any]]: ...


def best_fit_planes(points: Any, cell_size: float, coincidence_distance: float = 0.1,
                    max_collinearity: float = 3.0, *,
                    stats: bool = False) -> NDArray[np.void] | tuple[NDArray[np.void], dict[str, Any]]:
    """Fit a plane to the points of every cell of a square grid laid over them.

    Parameters
    ----------
    points : array_like, shape (N, 3)
        Located points (x, y, z), e.g. a trace's vertices
        (``np.vstack(polylines)``); a DataFrame with ``x``, ``y`` and ``z``
        columns gives those.
    cell_size : float
        Side of the grid's square cells, map units: the scale over which
        attitudes are averaged (too small and no cell holds three points,
        too large and a fold is flattened into one plane).
    coincidence_distance : float
        Points closer than this to an earlier point are dropped first, as an
        intersection emits a shared crossing twice.
    max_collinearity : float
        A cell whose points lie along a line, -log10(s2 / s1) above this, is
        set aside (every plane through a line fits it); ``inf`` keeps all.

    stats : bool
        Also return the counters.

    Returns
    -------
    numpy.ndarray
        A structured array, one row per fitted cell sorted by (cell_row,
        cell_column), of dtype `BEST_FIT_DTYPE`: cell_row, cell_column (row 0
        northernmost), x, y (cell centre), dip_direction, dip (degrees),
        centroid_x, centroid_y, centroid_z, point_count, rms (distance of the
        points from the plane), collinearity and the singular values s1, s2,
        s3. Empty, with the same dtype, when nothing was fitted.
        ``pandas.DataFrame(table)`` makes a DataFrame of it.
    dict, only with ``stats=True``
        input_points, distinct_points, non_empty_cells, cells_fitted,
        cells_too_few_points, cells_collinear, grid_rows, grid_columns,
        grid_x_min, grid_y_max, cell_size; for no points the counts are 0 and
        the grid corner NaN. When a table comes back thinner than expected,
        look at cells_collinear first.

    Examples
    --------
    >>> rng = np.random.default_rng(1)
    >>> xy = rng.uniform(0, 100, (400, 2))
    >>> z = -np.tan(np.radians(30)) * xy[:, 0]  # dips 30 degrees east
    >>> table = best_fit_planes(np.column_stack([xy, z]), 50.0)
    >>> len(table), np.round(table["dip"], 6).tolist(), np.round(table["dip_direction"], 6).tolist()
    (4, [30.0, 30.0, 30.0, 30.0], [90.0, 90.0, 90.0, 90.0])
    """
    located = _points_xyz(points)
    size = real(cell_size, "cell_size", positive=True)
    merge = real(coincidence_distance, "coincidence_distance", positive=True)
    if isinstance(max_collinearity, (bool, np.bool_)) or not isinstance(max_collinearity, numbers.Real) or \
            math.isnan(float(max_collinearity)):
        raise TypeError(f"max_collinearity must be a number (inf keeps every cell), got {max_collinearity!r}")
    threshold = float(max_collinearity)
    if threshold < 0.0:
        raise ValueError(f"max_collinearity must be at least 0, got {threshold}")
    if located.shape[0]:
        extent = float(max(np.ptp(located[:, 0]), np.ptp(located[:, 1])))
        if extent / size >= 2.0 ** 53:
            raise ValueError(f"cell_size {size} is too small for points spread over {extent} map units: "
                             "the grid would have more than 2**53 cells on a side")
    result = kernels.best_fit_planes(located, size, merge, threshold)
    if result is None:
        table = np.zeros(0, dtype=BEST_FIT_DTYPE)
        counters: dict[str, Any] = {"input_points": 0, "distinct_points": 0, "non_empty_cells": 0,
                                    "cells_fitted": 0, "cells_too_few_points": 0, "cells_collinear": 0,
                                    "grid_rows": 0, "grid_columns": 0, "grid_x_min": math.nan,
                                    "grid_y_max": math.nan, "cell_size": size}
    else:
        field, kernel_stats = result
        table = np.zeros(field["point_counts"].shape[0], dtype=BEST_FIT_DTYPE)
        table["cell_row"], table["cell_column"] = field["cells"][:, 0], field["cells"][:, 1]
        table["x"], table["y"] = field["cell_centres"][:, 0], field["cell_centres"][:, 1]
        table["dip_direction"], table["dip"] = field["attitudes"][:, 0], field["attitudes"][:, 1]
        for axis, label in enumerate("xyz"):
            table[f"centroid_{label}"] = field["centroids"][:, axis]
            table[f"s{axis + 1}"] = field["singular_values"][:, axis]
        table["point_count"] = field["point_counts"]
        table["rms"] = field["rms_distance"]
        table["collinearity"] = field["collinearity"]
        counters = dict(kernel_stats)
    if stats:
        return table, counters
    return table
