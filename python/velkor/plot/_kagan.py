"""The matrix of Kagan angles between focal mechanisms, as an image."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from .._cast import float_array
from . import _figure

if TYPE_CHECKING:
    from matplotlib.axes import Axes


# The Kagan angle between two double couples lies between 0 and 120 degrees.
KAGAN_RANGE = (0.0, 120.0)
KAGAN_CMAP = "viridis"
# Values written in the cells up to this many mechanisms; beyond, they would not fit.
ANNOTATE_UP_TO = 12
# Rounding in the kernels may leave an angle a hair outside the range.
_SLACK = 1e-6


def kagan_matrix(matrix: Any, ax: Axes | None = None, *, labels: Any = None, order: Any = None,
                 annotate: bool | None = None, cmap: Any = KAGAN_CMAP) -> Axes:
    """Image of an (N, N) matrix of Kagan angles with a colorbar from 0 to 120 degrees.

    Parameters
    ----------
    matrix : array_like, shape (N, N)
        Kagan angles in degrees, as `kernels.kagan_angle_matrix` returns them;
        NaN cells are left blank.
    ax : matplotlib Axes, optional
        Axes to draw into; a new figure when None.
    labels : sequence of str, optional
        One name per mechanism, for the ticks.
    order : array_like of int, optional
        A permutation of ``range(N)``: the mechanisms in the order to show
        (rows and columns alike, labels too). Without labels, the ticks then
        name the original indices.
    annotate : bool, optional
        Write the angle in each cell; by default when N is at most 12.
    cmap : matplotlib colormap or name
        Colours of the angles.

    Returns
    -------
    matplotlib.axes.Axes
        The axes drawn into.

    Raises
    ------
    ValueError
        For a matrix that is not square or empty, angles outside 0 to 120 degrees
        (the message names the cell), labels of the wrong length or an order
        that is not a permutation.
    TypeError
        For an `ax` that is not matplotlib Axes.

    Examples
    --------
    >>> import velkor, velkor.plot
    >>> mechanisms = velkor.mechanisms_from_sdr([0, 10, 90, 200], [45, 50, 80, 30], [-90, -80, 0, 90])
    >>> ax = velkor.plot.kagan_matrix(velkor.kernels.kagan_angle_matrix(mechanisms),
    ...                               labels=["A", "B", "C", "D"])
    >>> [t.get_text() for t in ax.get_xticklabels()]
    ['A', 'B', 'C', 'D']
    """
    angles = float_array(matrix, "matrix", ndim=2)
    count = angles.shape[0]
    if angles.shape[1] != count:
        raise ValueError(f"matrix must be square, (N, N), got shape {angles.shape}")
    if count == 0:
        raise ValueError("matrix is empty: there are no mechanisms to draw")
    outside = ~np.isnan(angles) & ((angles < KAGAN_RANGE[0] - _SLACK) | (angles > KAGAN_RANGE[1] + _SLACK))
    if outside.any():
        row, column = (int(i) for i in np.argwhere(outside)[0])
        raise ValueError(f"matrix row {row}, column {column} is {angles[row, column]}: Kagan angles lie "
                         "between 0 and 120 degrees")
    names = None if labels is None else _labels(labels, count)
    if order is not None:
        permutation = _permutation(order, count)
        angles = angles[np.ix_(permutation, permutation)]
        names = [str(i) for i in permutation] if names is None else [names[i] for i in permutation]
    if ax is None:
        ax = _figure.new_axes((6.4, 5.4))
    else:
        ax = _figure.check_axes(ax, "kagan_matrix")

    colors_module = _figure.matplotlib_module("colors")
    colormap = _figure.pyplot().get_cmap(cmap) if isinstance(cmap, str) else cmap
    norm = colors_module.Normalize(*KAGAN_RANGE, clip=True)
    image = ax.imshow(np.ma.masked_invalid(angles), cmap=colormap, norm=norm, interpolation="nearest",
                      origin="upper")
    image.set_gid("kagan")
    _figure.colorbar_right(ax, image, "Kagan angle (degrees)").set_ticks([0, 30, 60, 90, 120])

    ticker = _figure.matplotlib_module("ticker")
    if names is not None:
        ax.set_xticks(np.arange(count), names, rotation=90 if max(map(len, names), default=0) > 3 else 0)
        ax.set_yticks(np.arange(count), names)
    else:
        ax.xaxis.set_major_locator(ticker.MaxNLocator(integer=True))
        ax.yaxis.set_major_locator(ticker.MaxNLocator(integer=True))
        ax.set_xlabel("mechanism")
        ax.set_ylabel("mechanism")
    ax.tick_params(length=0)

    if annotate if annotate is not None else count <= ANNOTATE_UP_TO:
        for row in range(count):
            for column in range(count):
                value = angles[row, column]
                if np.isnan(value):
                    continue
                red, green, blue, _ = colormap(norm(value))
                luminance = 0.299 * red + 0.587 * green + 0.114 * blue
                ax.text(column, row, f"{value:.0f}", ha="center", va="center", fontsize=8,
                        color="black" if luminance > 0.5 else "white", gid="kagan-value")
    return ax


def _labels(labels: Any, count: int) -> list[str]:
    if isinstance(labels, (str, bytes)):
        raise TypeError("labels must be a sequence of names, one per mechanism, not a single string")
    names = [str(label) for label in labels]
    if len(names) != count:
        raise ValueError(f"labels has {len(names)} names for {count} mechanisms")
    return names


def _permutation(order: Any, count: int) -> Any:
    permutation = np.asarray(order)
    if permutation.dtype.kind not in "iu" or permutation.shape != (count,) or \
            not np.array_equal(np.sort(permutation), np.arange(count)):
        raise ValueError(f"order must be a permutation of range({count}), got {permutation.tolist()}")
    return permutation
