"""Traces of planes on a hillshade of the DEM they were cut from."""

from __future__ import annotations

import math
import os
from typing import TYPE_CHECKING, Any

import numpy as np

from .. import topography
from .._cast import Float64Array, float_array, real
from ..topography import Dem
from . import _figure

if TYPE_CHECKING:
    from matplotlib.axes import Axes


LIGHT_AZIMUTH = 315.0  # degrees clockwise from north: light from the north-west
LIGHT_ALTITUDE = 45.0  # degrees above the horizon
TRACE_COLOR = "#d62728"
# Shade 0 (in shadow) is drawn dark grey rather than black, 1 (facing the light)
# white: the relief reads and the traces stay in front of it.
SHADE_GREYS = (0.25, 1.0)


def trace_map(dem: Any, polylines: Any, ax: Axes | None = None, *, color: Any = TRACE_COLOR,
              linewidth: float = 1.8, vertical_exaggeration: float = 1.0) -> Axes:
    """Traces of planes drawn in map coordinates over a hillshade of the DEM.

    The hillshade is lit from the north-west (azimuth 315, altitude 45) with
    matplotlib's `LightSource`, from slopes taken in map coordinates, so it is
    right for any geotransform: north-up DEMs are drawn as an image over
    their extent, rotated or sheared ones cell by cell. Cells without data
    (NaN or the DEM's nodata value) are transparent.

    Parameters
    ----------
    dem : velkor.Dem, raster file name or (elevation, geotransform)
        The DEM (`velkor.read_dem` reads one from a file); a plain pair of a
        2-D elevation array and a GDAL geotransform (x0, x step per column, x
        step per row, y0, y step per column, y step per row) or an ``Affine``
        is checked as `velkor.Dem` checks it.
    polylines : sequence of array_like, each (K, 2) or (K, 3)
        Traces in map coordinates (x, y and optionally z, which is not drawn),
        as `velkor.plane_trace` returns them; a single (K, 2) or (K, 3) array
        is one trace.
    ax : matplotlib Axes, optional
        Axes to draw into; a new figure when None.
    color : matplotlib colour
        Colour of the traces.
    linewidth : float
        Width of the traces, points.
    vertical_exaggeration : float
        Factor on the elevations for the shading (e.g. for elevations in
        metres over a geotransform in degrees).

    Returns
    -------
    matplotlib.axes.Axes
        The axes drawn into.

    Raises
    ------
    TypeError
        For a `dem` of another kind, or an `ax` that is not Axes.
    ValueError
        For what `velkor.Dem` refuses (an elevation that is not 2-D, a
        geotransform that is not six finite numbers in GDAL order with pixels
        of some area), or a polyline of the wrong shape (the message gives its
        index).

    Examples
    --------
    >>> import numpy as np, velkor.plot
    >>> rows, cols = np.mgrid[0:50, 0:60]
    >>> elevation = 100.0 + 2.0 * cols + 0.02 * (rows - 25.0) ** 2
    >>> geotransform = (500000.0, 10.0, 0.0, 4200000.0, 0.0, -10.0)
    >>> trace = np.array([[500100.0, 4199900.0, 150.0], [500500.0, 4199600.0, 160.0]])
    >>> ax = velkor.plot.trace_map((elevation, geotransform), [trace])
    >>> ax.get_xlabel()
    'Easting'
    """
    checked = _dem(dem)
    elevation, geotransform = checked.elevation, checked.geotransform
    traces = _polylines(polylines)
    width = real(linewidth, "linewidth", positive=True)
    exaggeration = real(vertical_exaggeration, "vertical_exaggeration", positive=True)
    g0, g1, g2, g3, g4, g5 = geotransform
    rows, columns = elevation.shape
    corners_x = g0 + np.array([0, columns, 0, columns]) * g1 + np.array([0, 0, rows, rows]) * g2
    corners_y = g3 + np.array([0, columns, 0, columns]) * g4 + np.array([0, 0, rows, rows]) * g5
    # The DEM's extent, widened to any trace that leaves it rather than clipping it.
    finite = [trace[:, :2][np.isfinite(trace[:, :2]).all(axis=1)] for trace in traces]
    xs = np.concatenate([corners_x, *(f[:, 0] for f in finite)])
    ys = np.concatenate([corners_y, *(f[:, 1] for f in finite)])
    if ax is None:
        ax = _figure.new_map_axes(float(xs.max() - xs.min()), float(ys.max() - ys.min()))
    else:
        ax = _figure.check_axes(ax, "trace_map")

    shade = _shade(checked, exaggeration)
    cmap = hillshade_cmap()
    if g2 == 0.0 and g4 == 0.0:
        # North-up: an image, turned so that columns run east and rows run south.
        image = shade[:, ::-1] if g1 < 0.0 else shade
        image = image[::-1, :] if g5 > 0.0 else image
        artist: Any = ax.imshow(np.ma.masked_invalid(image), cmap=cmap, vmin=0.0, vmax=1.0, origin="upper",
                           extent=(corners_x.min(), corners_x.max(), corners_y.min(), corners_y.max()),
                           interpolation="nearest", zorder=0)
    else:
        column_index, row_index = np.meshgrid(np.arange(columns + 1.0), np.arange(rows + 1.0))
        mesh_x = g0 + column_index * g1 + row_index * g2
        mesh_y = g3 + column_index * g4 + row_index * g5
        artist = ax.pcolormesh(mesh_x, mesh_y, np.ma.masked_invalid(shade), cmap=cmap, vmin=0.0, vmax=1.0,
                               shading="flat", edgecolors="none", antialiased=False, zorder=0)
    artist.set_gid("hillshade")

    collections = _figure.matplotlib_module("collections")
    lines = [trace[:, :2] for trace in traces if trace.shape[0] > 1]
    if lines:
        drawn = collections.LineCollection(lines, colors=[color], linewidths=width, capstyle="round",
                                           joinstyle="round", zorder=3)
        drawn.set_gid("traces")
        ax.add_collection(drawn)
    points = [trace[0, :2] for trace in traces if trace.shape[0] == 1]
    if points:
        at = np.array(points)
        ax.plot(at[:, 0], at[:, 1], marker="o", markersize=2.0 * width, color=color, linestyle="none",
                zorder=3, gid="trace-points")

    ax.set_xlim(xs.min(), xs.max())
    ax.set_ylim(ys.min(), ys.max())
    ax.set_aspect("equal")
    _figure.plain_map_ticks(ax)
    ax.set_xlabel("Easting")
    ax.set_ylabel("Northing")
    return ax


def hillshade_cmap() -> Any:
    """The greys of the hillshade, transparent where there is no data."""
    colors_module = _figure.matplotlib_module("colors")
    greys = np.linspace(*SHADE_GREYS, 256)
    return colors_module.ListedColormap(np.column_stack([greys, greys, greys]),
                                        name="velkor_hillshade").with_extremes(bad=(0.0, 0.0, 0.0, 0.0))


def hillshade(elevation: Any, geotransform: Any, nodata: float | None = None, *,
              vertical_exaggeration: float = 1.0) -> Float64Array:
    """Hillshade of a DEM lit from the north-west, NaN where there is no data.

    The slope of each cell is taken in map coordinates through the
    geotransform (central differences, one-sided next to missing data and at
    the edges), and shaded by matplotlib's `LightSource` (azimuth 315,
    altitude 45): the same terrain gives the same shade on any grid, rotated
    or not.

    Parameters
    ----------
    elevation : array_like, shape (rows, columns)
    geotransform : sequence of 6 float
        GDAL order (or an ``Affine``), checked as `velkor.Dem` checks it.
    nodata : float, optional
        Elevation value meaning "no data"; NaN always does.
    vertical_exaggeration : float
        Factor on the elevations.

    Returns
    -------
    numpy.ndarray, shape (rows, columns)
        Illumination from 0 (in shadow) to 1 (facing the light), stretched
        over the DEM's range as `LightSource` does unless the slope is uniform.

    Examples
    --------
    >>> shade = hillshade([[0.0, 1.0], [0.0, 1.0]], (0.0, 1.0, 0.0, 0.0, 0.0, -1.0))
    >>> round(float(shade[0, 0]), 6)   # a slope of 45 degrees facing west
    0.853553
    """
    return _shade(Dem(elevation, geotransform, nodata),
                  real(vertical_exaggeration, "vertical_exaggeration", positive=True))


def _shade(dem: Dem, vertical_exaggeration: float) -> Float64Array:
    height = dem.elevation
    colors_module = _figure.matplotlib_module("colors")
    valid = np.isfinite(height)
    if dem.nodata is not None and not math.isnan(dem.nodata):
        valid &= height != dem.nodata
    surface = np.where(valid, height * vertical_exaggeration, np.nan)
    along_rows, along_columns = _derivative(surface, 0), _derivative(surface, 1)
    _, g1, g2, _, g4, g5 = dem.geotransform
    determinant = g1 * g5 - g2 * g4
    # d/dcolumn = g1 d/dx + g4 d/dy and d/drow = g2 d/dx + g5 d/dy, solved for d/dx and d/dy.
    slope_x = (g5 * along_columns - g4 * along_rows) / determinant
    slope_y = (g1 * along_rows - g2 * along_columns) / determinant
    normals = np.stack([-slope_x, -slope_y, np.ones_like(slope_x)], axis=-1)
    normals /= np.sqrt(np.sum(normals * normals, axis=-1, keepdims=True))
    shade = np.full(height.shape, np.nan)
    if valid.any():
        light = colors_module.LightSource(azdeg=LIGHT_AZIMUTH, altdeg=LIGHT_ALTITUDE)
        shade[valid] = light.shade_normals(normals[valid], fraction=1.0)
    return shade


def _derivative(surface: Float64Array, axis: int) -> Float64Array:
    """Change of the surface per cell along an axis, skipping cells without data."""
    moved = np.moveaxis(surface, axis, 0)
    forward = np.full(moved.shape, np.nan)
    backward = np.full(moved.shape, np.nan)
    forward[:-1] = moved[1:] - moved[:-1]
    backward[1:] = moved[1:] - moved[:-1]
    has_forward, has_backward = np.isfinite(forward), np.isfinite(backward)
    change = np.where(has_forward & has_backward, 0.5 * (forward + backward),
                      np.where(has_forward, forward, np.where(has_backward, backward, 0.0)))
    return np.moveaxis(change, 0, axis)


def _dem(dem: Any) -> Dem:
    """A checked `Dem` from a Dem, a raster file, an (elevation, geotransform) pair or a Dem-like object."""
    if isinstance(dem, (Dem, str, os.PathLike)):
        return topography._as_dem(dem)
    if isinstance(dem, (tuple, list)) and len(dem) == 2:
        return Dem(dem[0], dem[1])
    if hasattr(dem, "elevation") and hasattr(dem, "geotransform"):
        return Dem(dem.elevation, dem.geotransform, getattr(dem, "nodata", None))
    raise TypeError("trace_map: dem must be a velkor.Dem, a raster file name or an (elevation, geotransform) "
                    f"pair, got {type(dem).__name__}")


def _polylines(polylines: Any) -> list[Float64Array]:
    if isinstance(polylines, np.ndarray) and polylines.ndim == 2:
        polylines = [polylines]
    if isinstance(polylines, (str, bytes)) or not hasattr(polylines, "__iter__"):
        raise TypeError(f"polylines must be a sequence of (K, 2) or (K, 3) arrays, got {type(polylines).__name__}")
    traces = []
    for index, polyline in enumerate(polylines):
        name = f"polylines[{index}]"
        if np.ndim(polyline) != 2:
            raise ValueError(f"{name} must have shape (K, 2) or (K, 3), got shape {np.shape(polyline)}")
        trace = float_array(polyline, name, ndim=2, columns=(2, 3))
        if trace.shape[0] == 0:
            continue
        traces.append(trace)
    return traces
