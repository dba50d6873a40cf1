"""Map of a regional stress field: SHmax ticks coloured by regime over the data density."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import numpy as np

from .._optional import require
from . import _figure

if TYPE_CHECKING:
    from matplotlib.axes import Axes


REQUIRED_VARIABLES = ("density", "has_solution", "shmax_azimuth", "regime")

# Tick length as a fraction of the smaller node spacing: long enough to read
# the azimuth, short enough that neighbouring ticks never touch.
TICK_FRACTION = 0.8
TICK_WIDTH = 2.2

# Density from white to mid grey, so that every regime colour (black included)
# stays legible on top of it.
DENSITY_CMAP = ("Greys", 0.0, 0.6)


def field_map(dataset: Any, ax: Axes | None = None, *, legend: bool = True, colorbar: bool = True) -> Axes:
    """Map of a stress field: SHmax ticks coloured by regime over the data density.

    The density is the background (white to grey, with a colorbar); at every
    node with a stress tensor a short tick centred on the node points along
    the azimuth of the maximum horizontal stress (clockwise from north, +y),
    coloured by World Stress Map regime: NF red, NS magenta, SS green, TS light
    blue, TF blue, U black. Nodes with a tensor but no defined SHmax (the same
    horizontal stress in every direction) get a dot of their regime's colour.

    Parameters
    ----------
    dataset : xarray.Dataset
        A 2-D field as `velkor.stress_field` returns it: dims ``("y", "x")``,
        coordinates ``x`` and ``y``, and the variables ``density``,
        ``has_solution``, ``shmax_azimuth`` (degrees, NaN where undefined) and
        ``regime`` (``""`` where there is no tensor).
    ax : matplotlib Axes, optional
        Axes to draw into; a new figure when None.
    legend : bool
        Add a legend of the regimes present.
    colorbar : bool
        Add a colorbar of the density.

    Returns
    -------
    matplotlib.axes.Axes
        The axes drawn into.

    Raises
    ------
    TypeError
        For something other than an xarray Dataset, or an `ax` that is not Axes.
    ValueError
        For a dataset missing variables or coordinates (all of them named), a
        field that is not 2-D in ``("y", "x")``, or an unknown regime class.

    Examples
    --------
    >>> import numpy as np, xarray as xr, velkor.plot
    >>> grid = {"y": [0.0, 10.0], "x": [0.0, 10.0, 20.0]}
    >>> field = xr.Dataset({
    ...     "density": (("y", "x"), np.array([[1.0, 2.0, 3.0], [2.0, 3.0, 4.0]])),
    ...     "has_solution": (("y", "x"), np.array([[True, True, False], [True, True, True]])),
    ...     "shmax_azimuth": (("y", "x"), np.array([[10.0, 20.0, np.nan], [30.0, 40.0, 50.0]])),
    ...     "regime": (("y", "x"), np.array([["NF", "NF", ""], ["SS", "SS", "TF"]])),
    ... }, coords=grid)
    >>> ax = velkor.plot.field_map(field)
    >>> ax.get_aspect()
    1.0
    """
    x, y, layers = _field_layers(dataset)
    present = [r for r in _figure.REGIME_COLORS if (layers["has_solution"] & (layers["regime"] == r)).any()]
    if ax is None:
        rows = math.ceil(len(present) / 3) if legend else 0
        ax = _figure.new_map_axes(_span(x), _span(y), below=0.35 + 0.3 * rows if rows else 0.0, colorbar=colorbar)
    else:
        ax = _figure.check_axes(ax, "field_map")
    colors_module = _figure.matplotlib_module("colors")

    name, low, high = DENSITY_CMAP
    cmap = colors_module.ListedColormap(_figure.pyplot().get_cmap(name)(np.linspace(low, high, 256)),
                                        name="velkor_density").with_extremes(bad=(0.0, 0.0, 0.0, 0.0))
    density = np.ma.masked_invalid(layers["density"])
    mesh = ax.pcolormesh(x, y, density, shading="nearest", cmap=cmap, zorder=0)
    mesh.set_gid("density")
    if colorbar:
        units = dataset["density"].attrs.get("units")
        label = dataset["density"].attrs.get("long_name", "density") + (f" ({units})" if units else "")
        _figure.colorbar_right(ax, mesh, label)

    half = 0.5 * TICK_FRACTION * _node_spacing(x, y)
    collections = _figure.matplotlib_module("collections")
    lines = _figure.matplotlib_module("lines")
    handles = []
    grid_x, grid_y = np.meshgrid(x, y)
    for regime in present:
        color = _figure.REGIME_COLORS[regime]
        at = layers["has_solution"] & (layers["regime"] == regime)
        azimuth = np.radians(layers["shmax_azimuth"][at])
        centre_x, centre_y = grid_x[at], grid_y[at]
        defined = np.isfinite(azimuth)
        dx, dy = half * np.sin(azimuth[defined]), half * np.cos(azimuth[defined])
        cx, cy = centre_x[defined], centre_y[defined]
        segments = np.stack([np.column_stack([cx - dx, cy - dy]), np.column_stack([cx + dx, cy + dy])], axis=1)
        ticks = collections.LineCollection(segments, colors=color, linewidths=TICK_WIDTH, capstyle="round",
                                           zorder=3)
        ticks.set_gid(f"shmax-{regime}")
        ax.add_collection(ticks)
        if not defined.all():
            ax.plot(centre_x[~defined], centre_y[~defined], marker="o", markersize=3.5, color=color,
                    linestyle="none", zorder=3, gid=f"isotropic-{regime}")
        handles.append(lines.Line2D([], [], color=color, linewidth=TICK_WIDTH, solid_capstyle="round",
                                    label=_figure.REGIME_NAMES[regime]))
    if legend and handles:
        ax.legend(handles=handles, title="SHmax, regime", loc="upper left", bbox_to_anchor=(0.0, -0.09),
                  ncol=3, frameon=False, borderaxespad=0.0, title_fontsize="medium", alignment="left")
    ax.set_aspect("equal")
    _figure.plain_map_ticks(ax)
    ax.set_xlabel(_axis_label(dataset, "x"))
    ax.set_ylabel(_axis_label(dataset, "y"))
    return ax


def _field_layers(dataset: Any) -> tuple[Any, Any, dict[str, Any]]:
    """The x and y coordinates and the drawn variables as (y, x) arrays, checked."""
    xarray = require("xarray", _figure.FEATURE)
    if not isinstance(dataset, xarray.Dataset):
        raise TypeError(f"field_map takes the xarray.Dataset of velkor.stress_field, got {type(dataset).__name__}")
    missing = [f"variable {name!r}" for name in REQUIRED_VARIABLES if name not in dataset.data_vars]
    missing += [f"coordinate {name!r}" for name in ("x", "y") if name not in dataset.coords]
    if missing:
        raise ValueError("field_map needs the variables density, has_solution, shmax_azimuth, regime and the "
                         f"coordinates x, y of a stress field; the dataset lacks {', '.join(missing)}")
    for name in REQUIRED_VARIABLES:
        dims = tuple(dataset[name].dims)
        if sorted(dims) != ["x", "y"]:
            hint = " (choose one level first, e.g. dataset.isel(z=0))" if "z" in dims else ""
            raise ValueError(f"field_map draws 2-D fields with dims ('y', 'x'); variable {name!r} has dims "
                             f"{dims}{hint}")
    coordinates = []
    for name in ("x", "y"):
        values = np.asarray(dataset[name].values, dtype=np.float64)
        if values.ndim != 1 or not np.isfinite(values).all():
            raise ValueError(f"field_map needs finite 1-D coordinates; coordinate {name!r} is not")
        coordinates.append(values)
    layers = {name: dataset[name].transpose("y", "x").values for name in REQUIRED_VARIABLES}
    layers["density"] = np.asarray(layers["density"], dtype=np.float64)
    layers["shmax_azimuth"] = np.asarray(layers["shmax_azimuth"], dtype=np.float64)
    has_solution = np.asarray(layers["has_solution"])
    if has_solution.dtype.kind != "b":
        raise TypeError(f"variable 'has_solution' must hold booleans, got dtype {has_solution.dtype}")
    regime = np.asarray(layers["regime"]).astype(str)
    unknown = has_solution & ~np.isin(regime, list(_figure.REGIME_COLORS))
    if unknown.any():
        row, column = (int(i) for i in np.argwhere(unknown)[0])
        raise ValueError(f"the node at x={coordinates[0][column]}, y={coordinates[1][row]} has a tensor but regime "
                         f"{str(regime[row, column])!r}, not one of {', '.join(_figure.REGIME_COLORS)}")
    layers["has_solution"], layers["regime"] = has_solution, regime
    return coordinates[0], coordinates[1], layers


def _span(values: Any) -> float:
    """Extent of the cells centred on the nodes along one axis."""
    steps = np.abs(np.diff(values))
    step = float(steps.min()) if steps.size and steps.min() > 0.0 else 1.0
    return float(values.max() - values.min()) + step


def _node_spacing(x: Any, y: Any) -> float:
    steps = np.concatenate([np.abs(np.diff(x)), np.abs(np.diff(y))])
    steps = steps[steps > 0.0]
    return float(steps.min()) if steps.size else 1.0


def _axis_label(dataset: Any, name: str) -> str:
    units = dataset[name].attrs.get("units")
    return name if not units else f"{name} ({units})"
