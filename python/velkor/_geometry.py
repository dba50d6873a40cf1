"""Vectorised orientation geometry in (East, North, Up), angles in degrees.

The kernels convert one orientation at a time; users convert whole tables.
These are the same textbook formulas written over NumPy arrays, for the
conversions the package does on whole columns (rakes to slickenlines, lines
oriented by a sense letter, axes folded into the lower hemisphere).
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

Float64Array = NDArray[np.float64]

# Plunges this close to 90 degrees are vertical to the last bits of a conversion.
_VERTICAL = 90.0 - 1e-9


def axis_vector(trend: Float64Array, plunge: Float64Array) -> Float64Array:
    """Unit vectors (..., 3) of axes given by trend and plunge (positive down).

    Examples
    --------
    >>> axis_vector(np.array([90.0]), np.array([0.0])).round(12).tolist()
    [[1.0, 0.0, -0.0]]
    """
    t, p = np.radians(trend), np.radians(plunge)
    return np.stack([np.cos(p) * np.sin(t), np.cos(p) * np.cos(t), -np.sin(p)], axis=-1)


def vector_axis(vector: Float64Array) -> tuple[Float64Array, Float64Array]:
    """Trend in [0, 360) and plunge (negative upward) of vectors (..., 3), unfolded.

    Examples
    --------
    >>> vector_axis(np.array([[0.0, 0.0, -1.0]]))[1].tolist()
    [90.0]
    """
    east, north, up = vector[..., 0], vector[..., 1], vector[..., 2]
    length = np.sqrt(east * east + north * north + up * up)
    trend = np.mod(np.degrees(np.arctan2(east, north)), 360.0)
    trend = np.where(trend >= 360.0, 0.0, trend)
    with np.errstate(invalid="ignore", divide="ignore"):
        plunge = np.degrees(np.arcsin(np.clip(-up / length, -1.0, 1.0)))
    return trend, plunge


def fold(trend: Float64Array, plunge: Float64Array) -> tuple[Float64Array, Float64Array]:
    """The same axes written by their lower end: plunge >= 0, trend in [0, 360), 0 when vertical.

    Examples
    --------
    >>> [a.tolist() for a in fold(np.array([270.0]), np.array([-10.0]))]
    [[90.0], [10.0]]
    """
    trend = np.asarray(trend, dtype=np.float64)
    plunge = np.asarray(plunge, dtype=np.float64)
    up = plunge < 0.0
    folded_trend = np.mod(np.where(up, trend + 180.0, trend), 360.0)
    folded_plunge = np.where(up, -plunge, plunge)
    # A vertical axis has no trend; 0 reads better than whichever trend the search reached it from.
    folded_trend = np.where((folded_trend >= 360.0) | (folded_plunge >= _VERTICAL), 0.0, folded_trend)
    return folded_trend, folded_plunge


def strike_vector(strike: Float64Array) -> Float64Array:
    """Horizontal unit vectors along right-hand-rule strikes."""
    s = np.radians(strike)
    return np.stack([np.sin(s), np.cos(s), np.zeros_like(s)], axis=-1)


def dip_vector(strike: Float64Array, dip: Float64Array) -> Float64Array:
    """Unit vectors pointing straight down the dip of planes (strike right-hand rule)."""
    s, d = np.radians(strike), np.radians(dip)
    return np.stack([np.cos(d) * np.cos(s), -np.cos(d) * np.sin(s), -np.sin(d)], axis=-1)


def plane_normal(strike: Float64Array, dip: Float64Array) -> Float64Array:
    """Upward unit normals of planes (strike right-hand rule)."""
    s, d = np.radians(strike), np.radians(dip)
    return np.stack([np.sin(d) * np.cos(s), -np.sin(d) * np.sin(s), np.cos(d)], axis=-1)


def rake_vector(strike: Float64Array, dip: Float64Array, rake: Float64Array) -> Float64Array:
    """Slip vectors of the hanging wall for Aki-Richards rakes.

    Rake 0 slips along the strike (left-lateral), 90 up the dip (reverse),
    -90 down the dip (normal), 180 against the strike (right-lateral).
    """
    r = np.radians(rake)[..., None]
    return np.cos(r) * strike_vector(strike) - np.sin(r) * dip_vector(strike, dip)


def rake_of(strike: Float64Array, dip: Float64Array, vector: Float64Array) -> Float64Array:
    """Aki-Richards rake, in (-180, 180], of slip vectors lying in planes."""
    along = np.sum(vector * strike_vector(strike), axis=-1)
    down = np.sum(vector * dip_vector(strike, dip), axis=-1)
    return np.asarray(np.degrees(np.arctan2(-down, along)), dtype=np.float64)


def off_plane_degrees(strike: Float64Array, dip: Float64Array, vector: Float64Array) -> Float64Array:
    """Angle between lines and planes, degrees, as the kernels measure it."""
    normal = plane_normal(strike, dip)
    length = np.sqrt(np.sum(vector * vector, axis=-1))
    cosine = np.clip(np.sum(normal * vector, axis=-1) / length, -1.0, 1.0)
    return np.asarray(np.abs(np.degrees(np.arccos(cosine)) - 90.0), dtype=np.float64)
