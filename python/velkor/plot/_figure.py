"""What the figures share: the optional libraries, new axes and the house colours."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, cast

from .._optional import require

if TYPE_CHECKING:
    from matplotlib.axes import Axes

FEATURE = "velkor.plot"

# World Stress Map colours of the regime classes, in the order the classes are tested.
REGIME_COLORS = {
    "NF": "#e41a1c",  # normal faulting: red
    "NS": "#e7298a",  # normal with strike-slip: magenta
    "SS": "#1a9e3a",  # strike-slip: green
    "TS": "#1fb4e6",  # thrust with strike-slip: light blue
    "TF": "#1f3fbf",  # thrust faulting: blue
    "U": "#000000",  # unknown: black
}

REGIME_NAMES = {
    "NF": "NF  normal",
    "NS": "NS  normal + strike-slip",
    "SS": "SS  strike-slip",
    "TS": "TS  thrust + strike-slip",
    "TF": "TF  thrust",
    "U": "U  unknown",
}


def pyplot() -> Any:
    """matplotlib.pyplot, imported on first use; never switches the user's backend."""
    return require("matplotlib.pyplot", FEATURE)


def matplotlib_module(name: str) -> Any:
    """A matplotlib submodule (``"colors"``, ``"patches"``, ...), imported on first use."""
    return require(f"matplotlib.{name}", FEATURE)


def new_axes(figsize: tuple[float, float], **subplot: Any) -> Axes:
    """Axes in a new pyplot figure, so that ``plt.show()`` and notebooks display it."""
    figure = pyplot().figure(figsize=figsize)
    return cast("Axes", figure.add_subplot(**subplot))


def check_axes(ax: Any, function: str) -> Axes:
    """`ax` when it is a matplotlib Axes; a TypeError naming what it is otherwise."""
    axes_type = matplotlib_module("axes").Axes
    if not isinstance(ax, axes_type):
        raise TypeError(f"{function}: ax must be a matplotlib Axes (or None for a new figure), "
                        f"got {type(ax).__name__}")
    return cast("Axes", ax)


def colorbar_beside(ax: Axes, mappable: Any, label: str, *, pad: float = 0.04, width: float = 0.04,
                    bottom: float = 0.1, height: float = 0.8) -> Any:
    """A colorbar in an inset at the right of `ax`, leaving the axes' own position alone.

    Letting matplotlib steal room from the axes would move it behind the back of
    axes that keep companions (the stereonet's hidden polar axes of azimuth labels).
    """
    cax = ax.inset_axes((1.0 + pad, bottom, width, height))
    bar = ax.get_figure().colorbar(mappable, cax=cax)  # type: ignore[union-attr]
    bar.set_label(label)
    return bar


def colorbar_right(ax: Axes, mappable: Any, label: str) -> Any:
    """A colorbar as tall as the drawn axes box, even with an equal aspect."""
    divider = require("mpl_toolkits.axes_grid1", FEATURE).make_axes_locatable(ax)
    cax = divider.append_axes("right", size="4%", pad=0.12)
    bar = ax.get_figure().colorbar(mappable, cax=cax)  # type: ignore[union-attr]
    bar.set_label(label)
    return bar


def plain_map_ticks(ax: Axes) -> None:
    """Map coordinates written out in full: no offset or scientific notation on the axes."""
    ax.ticklabel_format(axis="both", style="plain", useOffset=False)


def new_map_axes(width: float, height: float, *, below: float = 0.0, colorbar: bool = False) -> Axes:
    """Axes in a new pyplot figure sized to a map of `width` by `height` (map units).

    The figure takes the map's shape, so that nothing placed below the map (a
    legend `below` inches tall) or beside it (a colorbar) falls off the page.
    """
    aspect = height / width if width > 0.0 and height > 0.0 else 1.0
    map_width = 5.4
    map_height = map_width * aspect
    if map_height > 6.0 or map_height < 1.5:
        map_height = min(max(map_height, 1.5), 6.0)
        map_width = min(max(map_height / aspect, 1.5), 8.0)
    left, right = 1.0, 1.3 if colorbar else 0.4
    bottom, top = 0.65 + below, 0.35
    figure = pyplot().figure(figsize=(left + map_width + right, bottom + map_height + top))
    width_inches, height_inches = figure.get_size_inches()
    rect = (left / width_inches, bottom / height_inches, map_width / width_inches, map_height / height_inches)
    return cast("Axes", figure.add_axes(rect))
