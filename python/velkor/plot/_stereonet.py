"""The fault-slip stereonet: faults, slickenlines with their sense, and the stress axes."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, cast

import numpy as np

from .. import _geometry
from .._optional import require
from ..faults import FaultSet
from ..stress import StressSolution, StressTensor
from . import _figure

if TYPE_CHECKING:
    from matplotlib.axes import Axes


# Principal stress axes: the usual five-, four- and three-pointed stars.
AXIS_STYLES = {
    "S1": {"marker": (5, 1, 0), "color": "#d62728", "label": r"S1 ($\sigma_1$)"},
    "S2": {"marker": (4, 1, 0), "color": "#f2a21b", "label": r"S2 ($\sigma_2$)"},
    "S3": {"marker": (3, 1, 0), "color": "#1f5fbf", "label": r"S3 ($\sigma_3$)"},
}
AXIS_MARKER_SIZE = 19.0
ALTERNATIVE_MARKER_SIZE = 10.0
ALTERNATIVE_ALPHA = 0.45

FAULT_COLOR = "#202020"
UNSCORED_COLOR = "#a0a0a0"
# plasma without its palest yellows, which vanish on white paper
MISFIT_CMAP = ("plasma", 0.0, 0.85)
MISFIT_RANGE = (0.0, 90.0)

# Slip arrows are drawn in the net's projected plane (East = +x, North = +y,
# primitive circle of radius sqrt(2) for the equal-area net), so they follow
# the net when it is rotated or resized. Their length in that plane:
ARROW_LENGTH = 0.2
# Length of the arrow head as a fraction of the arrow; its width is 0.7 of its length.
ARROW_HEAD = 0.32

# A slip vector with less horizontal component than this points straight up or
# down: it has no direction on the map, and gets a dot without an arrow.
_VERTICAL = 1e-9
# Plunges closer to zero than this (degrees) are rounding of a horizontal line.
_HORIZONTAL = 1e-6


def stereonet(solution_or_faults: Any, ax: Axes | None = None, *, faults: Any = None,
              color_by_misfit: bool = False, alternatives: bool = True, legend: bool = True) -> Axes:
    """Lower-hemisphere equal-area net of faults, slip senses and stress axes.

    The classical fault-slip diagram: each fault as its great circle, its
    slickenline as a dot on it, and where the sense of slip is known an arrow
    from the dot showing where the hanging wall moves. With a stress tensor,
    S1, S2 and S3 as five-, four- and three-pointed stars, the runners-up of
    the search as smaller faded stars of the same kinds, the azimuth of the
    maximum horizontal stress as two inward arrows outside the net, and a
    title with phi, R', the regime and the mean misfit.

    Slip arrows: the arrow starts at the lower-hemisphere end of the
    slickenline and points along the map azimuth of the hanging wall's slip
    vector (its horizontal component). A normal fault's arrow therefore points
    away from the centre of the net and a reverse fault's towards it; on a
    strike-slip fault it points along the horizontal slip, the way the hanging
    wall goes. Faults whose sense is unknown get an open circle and no arrow;
    slip straight up or down (no horizontal component) a dot without arrow.

    Parameters
    ----------
    solution_or_faults : StressSolution, StressTensor, FaultSet or array_like
        A stress tensor (typically from `velkor.invert`) or the faults alone
        (a `FaultSet` or an (N, 4) array of strike, dip, slickenline trend and
        plunge).
    ax : matplotlib Axes, optional
        A stereonet axes to draw into, e.g.
        ``fig.add_subplot(projection="equal_area_stereonet")`` once
        ``import mplstereonet`` has registered the projection; a new figure
        when None.
    faults : FaultSet or array_like, optional
        The faults a solution was computed from, drawn with it.
    color_by_misfit : bool
        Colour each fault by its misfit under the solution (0 to 90 degrees,
        larger misfits in the top colour; faults not scored in light grey),
        with a colorbar. Needs a `StressSolution` and its faults.
    alternatives : bool
        Draw the solution's alternative tensors.
    legend : bool
        Add a legend of the stress axes.

    Returns
    -------
    matplotlib.axes.Axes
        The stereonet axes drawn into.

    Raises
    ------
    TypeError
        For an `ax` that is not a stereonet axes, or input of another kind.
    ValueError
        For faults that do not match the solution's misfits, or
        `color_by_misfit` without a solution and its faults.

    Examples
    --------
    >>> import velkor, velkor.plot
    >>> faults = velkor.FaultSet.from_rakes([0, 60, 120, 180, 240, 300], [60] * 6, [-80, -90, -100] * 2)
    >>> ax = velkor.plot.stereonet(velkor.invert(faults), faults=faults, color_by_misfit=True)
    >>> ax.figure.savefig("faults.png", dpi=150)  # doctest: +SKIP
    """
    _figure.pyplot()  # first, so that a missing matplotlib is reported as such, not as mplstereonet's failure
    mplstereonet = require("mplstereonet", _figure.FEATURE)
    solution, fault_set = _inputs(solution_or_faults, faults)
    misfits = _misfits_to_color(solution, fault_set, color_by_misfit)
    if ax is None:
        # The net on the left with legend and colorbar at its right, or alone; placed
        # once, as the net's hidden companion axes of azimuth labels do not follow moves.
        beside = (solution is not None and legend) or misfits is not None
        figure = _figure.pyplot().figure(figsize=(8.4, 6.4) if beside else (6.4, 6.4))
        ax = figure.add_axes((0.08, 0.1, 0.55, 0.72) if beside else (0.14, 0.1, 0.72, 0.72),
                             projection="equal_area_stereonet")
        _style_net(ax)
    elif not isinstance(ax, mplstereonet.StereonetAxes):
        raise TypeError("stereonet draws into a stereonet axes, such as "
                        "fig.add_subplot(projection='equal_area_stereonet'); "
                        f"got {type(ax).__name__}")
    if fault_set is not None and len(fault_set):
        _draw_faults(ax, mplstereonet, fault_set, misfits)
    if solution is not None:
        _draw_solution(ax, mplstereonet, solution, alternatives)
        if legend:
            # The principal axes first, then the runners-up, whatever the drawing order.
            handles = [line for line in ax.get_lines() if line.get_gid() in AXIS_STYLES]
            handles += [line for line in ax.get_lines()
                        if line.get_gid() == "alternative-S1" and line.get_label() == "alternative tensors"]
            ax.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.06, 0.98), borderaxespad=0.0,
                      frameon=False, numpoints=1, handletextpad=0.6, labelspacing=1.0)
    return ax


def _inputs(solution_or_faults: Any, faults: Any) -> tuple[StressTensor | None, FaultSet | None]:
    if isinstance(solution_or_faults, StressTensor):
        solution: StressTensor | None = solution_or_faults
        fault_set = None if faults is None else _fault_set(faults, "faults")
    else:
        if faults is not None:
            raise TypeError("faults= goes with a stress solution; the first argument is "
                            f"already faults ({type(solution_or_faults).__name__})")
        solution, fault_set = None, _fault_set(solution_or_faults, "solution_or_faults")
    return solution, fault_set


def _fault_set(value: Any, name: str) -> FaultSet:
    if isinstance(value, FaultSet):
        return value
    if isinstance(value, (np.ndarray, list, tuple)):
        return FaultSet(cast(Any, value))  # cast and checked by FaultSet itself
    raise TypeError(f"stereonet: {name} must be a StressSolution, a FaultSet or an (N, 4) array of faults, "
                    f"got {type(value).__name__}")


def _misfits_to_color(solution: StressTensor | None, fault_set: FaultSet | None,
                      color_by_misfit: bool) -> np.ndarray[Any, np.dtype[np.float64]] | None:
    misfits = solution.misfits if isinstance(solution, StressSolution) else None
    if misfits is not None and fault_set is not None and len(misfits) and len(misfits) != len(fault_set):
        raise ValueError(f"the solution holds misfits for {len(misfits)} faults but faults= holds "
                         f"{len(fault_set)}: pass the faults the solution was computed from")
    if not color_by_misfit:
        return None
    if fault_set is None or misfits is None or len(misfits) == 0:
        raise ValueError("color_by_misfit needs a StressSolution with its misfits and the faults it "
                         "was computed from (faults=)")
    return misfits


def _style_net(ax: Any) -> None:
    # A clean primitive with N, E, S, W and a centre cross: the net lines would
    # only compete with the great circles of the faults.
    ax.grid(False)
    # N, E, S, W beyond the SHmax arrows, which may come from any azimuth; drawn
    # in the net's projected plane, like the arrows, instead of mplstereonet's
    # azimuth labels, which hug the primitive.
    ax.set_azimuth_ticks([])
    plane_to_display = ax.transAffine + ax.transAxes
    for label, (east, north) in zip("NESW", ((0, 1), (1, 0), (0, -1), (-1, 0))):
        ax.text(1.2 * math.sqrt(2.0) * east, 1.2 * math.sqrt(2.0) * north, label, transform=plane_to_display,
                ha="center", va="center", fontsize=11, clip_on=False, gid="azimuth-label")
    ax.plot([0.0], [0.0], marker="+", color="0.35", markersize=9, markeredgewidth=0.8, zorder=1)


def _draw_faults(ax: Any, mplstereonet: Any, fault_set: FaultSet, misfits: Any) -> None:
    colors_module = _figure.matplotlib_module("colors")
    collections = _figure.matplotlib_module("collections")
    count = len(fault_set)
    if misfits is None:
        colors = np.array([colors_module.to_rgba(FAULT_COLOR)] * count)
        scored = np.ones(count, dtype=bool)
    else:
        colors = _misfit_cmap()(colors_module.Normalize(*MISFIT_RANGE, clip=True)(misfits))
        scored = ~np.isnan(misfits)
        colors[~scored] = colors_module.to_rgba(UNSCORED_COLOR)

    # One collection per kind of mark, whatever the number of faults; thinner
    # great circles when there are many, so that the arrows stay readable.
    lon, lat = mplstereonet.plane(fault_set.strike, fault_set.dip)
    width = float(np.clip(0.9 * math.sqrt(40.0 / count), 0.4, 0.9))
    planes = collections.LineCollection(
        [np.column_stack([lon[:, i], lat[:, i]]) for i in range(count)], colors=colors, linewidths=width,
        linestyles=["solid" if s else (0, (4, 2)) for s in scored], zorder=2)
    planes.set_gid("faults")
    ax.add_collection(planes, autolim=False)

    # The lower-hemisphere end of each slickenline and the hanging wall's slip vector.
    trend, plunge = fault_set.faults[:, 2], fault_set.faults[:, 3]
    # A horizontal slickenline has both ends on the primitive: take the one its
    # arrow points away from, so the arrow lies inside the net (and rounding in
    # a plunge of zero cannot flip it from one side of the net to the other).
    horizontal_line = np.abs(plunge) < _HORIZONTAL
    lower_trend, lower_plunge = _geometry.fold(np.where(horizontal_line, trend + 180.0, trend),
                                               np.where(horizontal_line, 0.0, plunge))
    lon, lat = mplstereonet.line(lower_plunge, lower_trend)
    known = np.ones(count, dtype=bool) if fault_set.senses is None else np.asarray(fault_set.senses)
    ax.scatter(lon[known], lat[known], s=3.2**2, c=colors[known], marker="o", linewidths=0.0, zorder=3,
               clip_on=False, gid="slickenlines")
    ax.scatter(lon[~known], lat[~known], s=4.5**2, facecolors="white", edgecolors=colors[~known], marker="o",
               linewidths=1.0, zorder=3, clip_on=False, gid="slickenlines-sense-unknown")

    # mplstereonet draws planes, lines and rakes but has no fault-slip arrows:
    # they are drawn here, in the projected plane (East +x, North +y), through
    # the net's own affine part, so they turn and scale with the net.
    slip = _geometry.axis_vector(trend, plunge)
    horizontal = np.hypot(slip[:, 0], slip[:, 1])
    arrowed = known & (horizontal >= _VERTICAL)
    tails = ax.transProjection.transform(np.column_stack([lon, lat]))[arrowed]
    along = slip[arrowed, :2] / horizontal[arrowed, None]
    across = np.column_stack([-along[:, 1], along[:, 0]])
    tips = tails + ARROW_LENGTH * along
    head = ARROW_HEAD * ARROW_LENGTH
    bases = tips - head * along
    plane_to_display = ax.transAffine + ax.transAxes
    shafts = collections.LineCollection(np.stack([tails, bases + 0.2 * head * along], axis=1),
                                        colors=colors[arrowed], linewidths=1.0, capstyle="butt",
                                        transform=plane_to_display, clip_on=False, zorder=3)
    shafts.set_gid("slip-arrow-shafts")
    heads = collections.PolyCollection(
        np.stack([tips, bases + 0.35 * head * across, bases - 0.35 * head * across], axis=1),
        facecolors=colors[arrowed], edgecolors=colors[arrowed], linewidths=0.5, transform=plane_to_display,
        clip_on=False, zorder=3)
    heads.set_gid("slip-arrow-heads")
    ax.add_collection(shafts, autolim=False)
    ax.add_collection(heads, autolim=False)

    if misfits is not None:
        mappable = _figure.matplotlib_module("cm").ScalarMappable(
            norm=colors_module.Normalize(*MISFIT_RANGE), cmap=_misfit_cmap())
        bar = _figure.colorbar_beside(ax, mappable, "misfit (degrees)", pad=0.12, bottom=0.02, height=0.42)
        bar.set_ticks([0, 15, 30, 45, 60, 75, 90])


def _draw_solution(ax: Any, mplstereonet: Any, solution: StressTensor, alternatives: bool) -> None:
    if alternatives and isinstance(solution, StressSolution):
        for rank, other in enumerate(solution.alternatives):
            for name, axis in (("S1", other.s1), ("S2", other.s2), ("S3", other.s3)):
                style = AXIS_STYLES[name]
                ax.line(axis[1], axis[0], marker=style["marker"], markersize=ALTERNATIVE_MARKER_SIZE,
                        color=style["color"], alpha=ALTERNATIVE_ALPHA, markeredgecolor="none",
                        linestyle="none", zorder=4, clip_on=False, gid=f"alternative-{name}",
                        label="alternative tensors" if rank == 0 and name == "S1" else None)
    for name, axis in (("S1", solution.s1), ("S2", solution.s2), ("S3", solution.s3)):
        style = AXIS_STYLES[name]
        ax.line(axis[1], axis[0], marker=style["marker"], markersize=AXIS_MARKER_SIZE, color=style["color"],
                markeredgecolor="black", markeredgewidth=0.7, linestyle="none", zorder=5, clip_on=False,
                gid=name, label=style["label"])
    _draw_shmax(ax, solution)
    misfit = "" if math.isnan(solution.mean_misfit_degrees) else \
        f"    misfit {solution.mean_misfit_degrees:.1f}\N{DEGREE SIGN}"
    ax.set_title(f"\N{GREEK SMALL LETTER PHI} = {solution.phi:.2f}    R' = {solution.r_prime:.2f}    "
                 f"regime {solution.regime}{misfit}", pad=50)


def _draw_shmax(ax: Any, solution: StressTensor) -> None:
    # Two bold arrows outside the primitive, pointing inwards along SHmax.
    if math.isnan(solution.shmax_azimuth):
        return
    patches = _figure.matplotlib_module("patches")
    plane_to_display = ax.transAffine + ax.transAxes
    radius = math.sqrt(2.0)
    for azimuth in (solution.shmax_azimuth, solution.shmax_azimuth + 180.0):
        direction = np.array([math.sin(math.radians(azimuth)), math.cos(math.radians(azimuth))])
        arrow = patches.FancyArrowPatch(
            tuple(1.14 * radius * direction), tuple(1.015 * radius * direction), transform=plane_to_display,
            arrowstyle="simple,head_length=0.9,head_width=1.1,tail_width=0.45", mutation_scale=11.0,
            shrinkA=0.0, shrinkB=0.0, color=_figure.REGIME_COLORS.get(solution.regime, "black"),
            clip_on=False, zorder=5)
        arrow.set_gid("shmax")
        ax.add_patch(arrow)


def _misfit_cmap() -> Any:
    colors_module = _figure.matplotlib_module("colors")
    name, low, high = MISFIT_CMAP
    base = _figure.pyplot().get_cmap(name)
    return colors_module.ListedColormap(base(np.linspace(low, high, 256)), name="velkor_misfit")
