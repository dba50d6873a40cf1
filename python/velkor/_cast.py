"""Casting what users hand over into what the kernels take.

The kernels are strict: float64, bool or int64 arrays of the right number of
dimensions, nothing cast. Users have lists, integer columns, float32 rasters
and DataFrame columns. Everything is cast here, once, at the boundary, with a
message that names the argument and says what was wrong.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

Float64Array = NDArray[np.float64]
BoolArray = NDArray[np.bool_]
Int64Array = NDArray[np.int64]


def _describe_shape(shape: tuple[int, ...]) -> str:
    return "(" + ", ".join(str(n) for n in shape) + ("," if len(shape) == 1 else "") + ")"


def _as_numeric(value: Any, name: str) -> NDArray[Any]:
    """Turn `value` into an array of real numbers without choosing a dtype yet."""
    try:
        array = np.asarray(value)
    except (ValueError, TypeError) as error:  # ragged nested lists and the like
        raise ValueError(f"{name} could not be read as an array of numbers: {error}") from None
    if array.dtype == object:
        try:
            array = array.astype(np.float64)
        except (ValueError, TypeError):
            raise TypeError(f"{name} must hold numbers, got values of type {type(value).__name__} "
                            "that are not all numbers") from None
    if array.dtype.kind == "b":
        raise TypeError(f"{name} must hold numbers, not booleans")
    if array.dtype.kind == "c":
        raise TypeError(f"{name} must hold real numbers, got complex values")
    if array.dtype.kind not in "iuf":
        raise TypeError(f"{name} must hold numbers, got an array of dtype {array.dtype}")
    return array


def float_array(value: Any, name: str, *, ndim: int | None = None, columns: int | tuple[int, ...] | None = None,
                length: int | None = None, finite: bool = False, copy: bool = False) -> Float64Array:
    """Cast `value` to a C-contiguous float64 array, checking its shape.

    Parameters
    ----------
    value : array_like
        A NumPy array of any real dtype, a list, a pandas Series or DataFrame.
    name : str
        The argument's name, used in messages.
    ndim : int, optional
        Required number of dimensions; a 1-D value is accepted as one row where
        two are required and `columns` is given.
    columns : int or tuple of int, optional
        Allowed sizes of the last axis of a 2-D array.
    length : int, optional
        Required size of the first axis.
    finite : bool
        Refuse NaN and infinities, naming the first offending row.
    copy : bool
        Always return a new array (for containers that freeze their data).

    Returns
    -------
    numpy.ndarray
        float64, C-contiguous.

    Examples
    --------
    >>> float_array([[0, 60, 90, 60]], "faults", ndim=2, columns=4).dtype
    dtype('float64')
    """
    array = _as_numeric(value, name)
    if ndim is not None and array.ndim != ndim:
        if not (ndim == 2 and array.ndim == 1 and columns is not None and array.size > 0
                and array.shape[0] in _as_tuple(columns)):
            expected = _expected_shape(ndim, columns, length)
            raise ValueError(f"{name} must have shape {expected}, got shape {_describe_shape(array.shape)}")
        array = array.reshape(1, -1)
    if columns is not None and array.ndim == 2 and array.shape[1] not in _as_tuple(columns):
        raise ValueError(f"{name} must have shape {_expected_shape(2, columns, length)}, "
                         f"got shape {_describe_shape(array.shape)}")
    if length is not None and array.shape[0] != length:
        unit = "rows" if array.ndim > 1 else "entries"
        raise ValueError(f"{name} has {array.shape[0]} {unit} for {length} faults")
    # np.asarray keeps 0-d values 0-d, where np.ascontiguousarray would make them 1-d.
    result = np.array(array, dtype=np.float64, order="C", copy=True) if copy else \
        np.asarray(array, dtype=np.float64, order="C")
    if finite:
        bad = ~np.isfinite(result)
        if bad.any():
            index = np.argwhere(bad)[0]
            where = f"row {index[0]}" + (f", column {index[1]}" if result.ndim > 1 else "")
            raise ValueError(f"{name} {where} is {result[tuple(index)]}: values must be finite numbers")
    return result


def _as_tuple(columns: int | tuple[int, ...]) -> tuple[int, ...]:
    return (columns,) if isinstance(columns, int) else columns


def _expected_shape(ndim: int, columns: int | tuple[int, ...] | None, length: int | None) -> str:
    first = "N" if length is None else str(length)
    if ndim == 1:
        return f"({first},)"
    if columns is None:
        return f"({first}, M)"
    options = _as_tuple(columns)
    last = str(options[0]) if len(options) == 1 else " or ".join(str(c) for c in options)
    return f"({first}, {last})"


def bool_array(value: Any, name: str, length: int) -> BoolArray:
    """Cast `value` to a C-contiguous (length,) bool array.

    Booleans pass as they are; integers are accepted when every entry is 0 or 1.

    Examples
    --------
    >>> bool_array([1, 0, True], "senses", 3).tolist()
    [True, False, True]
    """
    try:
        array = np.asarray(value)
    except (ValueError, TypeError) as error:
        raise ValueError(f"{name} could not be read as an array: {error}") from None
    if array.ndim != 1:
        raise ValueError(f"{name} must have shape ({length},), got shape {_describe_shape(array.shape)}")
    if array.shape[0] != length:
        raise ValueError(f"{name} has {array.shape[0]} entries for {length} faults")
    if array.dtype.kind == "b":
        return np.ascontiguousarray(array, dtype=np.bool_)
    if array.dtype.kind in "iuf" or array.dtype == object:
        try:
            numbers_ = array.astype(np.float64)
        except (ValueError, TypeError):
            raise TypeError(f"{name} must hold booleans") from None
        bad = ~((numbers_ == 0.0) | (numbers_ == 1.0))
        if bad.any():
            row = int(np.argmax(bad))
            raise ValueError(f"{name} entry {row} is {array[row].item()!r}: it must be true or false (1 or 0)")
        return np.ascontiguousarray(numbers_ == 1.0)
    raise TypeError(f"{name} must hold booleans, got an array of dtype {array.dtype}")


def real(value: Any, name: str, *, positive: bool = False, minimum: float | None = None) -> float:
    """A plain finite float from a Python or NumPy number.

    Examples
    --------
    >>> real(np.float32(2.5), "spacing", positive=True)
    2.5
    """
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {type(value).__name__} {value!r}")
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{name} must be a finite number, got {number}")
    if positive and not number > 0.0:
        raise ValueError(f"{name} must be greater than zero, got {number}")
    if minimum is not None and number < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {number}")
    return number


def per_axis(value: Any, name: str, dimension: int, *, positive: bool = True) -> list[float]:
    """One float per axis: a single number means the same on every axis.

    Examples
    --------
    >>> per_axis(2, "spacing", 3)
    [2.0, 2.0, 2.0]
    """
    if isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_)):
        return [real(value, name, positive=positive)] * dimension
    if isinstance(value, (str, bytes, Mapping)) or not isinstance(value, (Sequence, np.ndarray)):
        raise TypeError(f"{name} must be a number or one number per axis, got {type(value).__name__}")
    values = list(np.asarray(value).ravel().tolist()) if isinstance(value, np.ndarray) else list(value)
    if len(values) != dimension:
        raise ValueError(f"{name} must hold one value per axis ({dimension}), got {len(values)}")
    return [real(v, f"{name}[{i}]", positive=positive) for i, v in enumerate(values)]
