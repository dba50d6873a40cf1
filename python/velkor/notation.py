"""Reading fault-slip tables in the notations geologists publish.

Three notations are recognised from the column names (case, spaces and
hyphens do not matter):

* ``strike, dip, rake``: right-hand-rule strike, dip and Aki-Richards rake;
* ``strike, dip, trend, plunge``: the kernels' own, the slickenline given as
  the slip direction of the hanging wall (a negative plunge points up);
* ``dip_direction, dip, trend, plunge, sense``: the slickenline measured as a
  line; the sense letter says which way along it the hanging wall moved;
* ``strike, dip, dip_quadrant, pitch, pitch_quadrant, sense``: the field-book
  notation of published fault-slip tables. The strike may be given 0-180 or
  0-360; the dip quadrant is the compass direction the plane dips towards;
  the pitch (0-90) is measured in the plane from the end of the strike line
  that lies in the pitch quadrant.

Sense letters: N normal, R or I reverse (inverse), D dextral, S sinistral,
U or empty unknown (the slip is then scored as a line). Optional columns
``x, y[, z]`` become positions and ``weight`` weights.

No library reads these notations, and a CSV of a few thousand rows needs no
more than the standard `csv` module, so this is written here by hand.
"""

from __future__ import annotations

import csv
import io
import math
import os
import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import _geometry
from ._cast import Float64Array
from .faults import FaultSet

__all__ = ["read_faults"]

# Accepted spellings of each column, after lower-casing and turning spaces and
# hyphens into underscores.
_ALIASES = {
    "strike": ("strike", "strike_rhr"),
    "dip": ("dip", "dip_angle"),
    "dip_direction": ("dip_direction", "dip_dir", "dipdir", "dip_azimuth", "dipazimuth"),
    "rake": ("rake",),
    "trend": ("trend", "slickenline_trend", "lineation_trend", "striation_trend", "slip_trend"),
    "plunge": ("plunge", "slickenline_plunge", "lineation_plunge", "striation_plunge", "slip_plunge"),
    "dip_quadrant": ("dip_quadrant", "dip_quad", "dipquadrant"),
    "pitch": ("pitch",),
    "pitch_quadrant": ("pitch_quadrant", "pitch_quad", "pitchquadrant"),
    "sense": ("sense", "slip_sense", "sense_of_slip", "movement"),
    "x": ("x", "easting"),
    "y": ("y", "northing"),
    "z": ("z", "elevation"),
    "weight": ("weight", "weights"),
}

_NOTATIONS = (
    ("field book", ("strike", "dip", "dip_quadrant", "pitch", "pitch_quadrant", "sense")),
    ("dip direction and line", ("dip_direction", "dip", "trend", "plunge", "sense")),
    ("strike and slip direction", ("strike", "dip", "trend", "plunge")),
    ("rake", ("strike", "dip", "rake")),
)

# Compass points (16-point rose); O is the West of French and Spanish tables.
_POINTS = ("N", "NNE", "NE", "ENE", "E", "ESE", "SE", "SSE", "S", "SSW", "SW", "WSW", "W", "WNW", "NW", "NNW")
_COMPASS = {name: 22.5 * index for index, name in enumerate(_POINTS)}

_SENSES = {"N": "N", "NORMAL": "N", "R": "R", "REVERSE": "R", "I": "R", "INVERSE": "R", "D": "D",
           "DEXTRAL": "D", "S": "S", "SINISTRAL": "S", "U": "U", "UNKNOWN": "U", "": "U"}

# A quadrant letter must say clearly which way: the direction it names must lie
# within this angle of the one it picks (the other candidate lies 180 degrees
# away), so a quadrant along the strike line is refused as contradictory.
_QUADRANT_TOLERANCE = 67.5

# The kernels accept a slickenline up to a degree off its plane; so does the reader.
_OFF_PLANE_TOLERANCE = 1.0

# A sense letter orients a line only when the line has a clear component of the
# kind the letter names (dip-slip for N and R, strike-slip for D and S).
_SENSE_COMPONENT = math.sin(math.radians(1.0))


@dataclass
class _Table:
    """Rows of text or numbers, with each row's location for messages."""

    columns: dict[str, str]  # canonical name -> name as written
    cells: dict[str, list[Any]]  # canonical name -> one value per row
    where: list[str]  # "line 7" or "row 'A12'" per row
    source: str


def _canonical(name: str) -> str:
    return re.sub(r"[\s\-]+", "_", str(name).strip().lower())


def _build_table(names: Sequence[Any], rows: list[list[Any]], where: list[str], source: str) -> _Table:
    lookup = {alias: canonical for canonical, aliases in _ALIASES.items() for alias in aliases}
    columns: dict[str, str] = {}
    index: dict[str, int] = {}
    for position, name in enumerate(names):
        canonical = lookup.get(_canonical(name))
        if canonical is None:
            continue
        if canonical in columns:
            raise ValueError(f"{source}: columns {columns[canonical]!r} and {name!r} both give {canonical}")
        columns[canonical] = str(name)
        index[canonical] = position
    cells = {name: [row[position] if position < len(row) else "" for row in rows]
             for name, position in index.items()}
    return _Table(columns, cells, where, source)


def _read_csv(path: str | os.PathLike[str]) -> _Table:
    source = os.fspath(path)
    try:
        with open(path, newline="", encoding="utf-8-sig") as handle:
            text = handle.read()
    except OSError as error:
        raise OSError(f"could not read {source}: {error.strerror or error}") from None
    except UnicodeDecodeError as error:
        raise ValueError(f"{source} is not a UTF-8 text file: {error.reason} at byte {error.start}") from None
    lines = [(number, line) for number, line in enumerate(io.StringIO(text).read().splitlines(), start=1)
             if line.strip() and not line.lstrip().startswith("#")]
    if not lines:
        raise ValueError(f"{source} holds no header and no rows")
    header = lines[0][1]
    delimiter = next((d for d in (",", ";", "\t", "|") if d in header), None)
    if delimiter is None:  # whitespace-separated columns, as many published tables are
        split = [line.split() for _, line in lines]
    else:
        split = list(csv.reader([line for _, line in lines], delimiter=delimiter))
    names = [cell.strip() for cell in split[0]]
    rows = [[cell.strip() for cell in row] for row in split[1:]]
    for (number, _), row in zip(lines[1:], rows):
        if len(row) > len(names):
            raise ValueError(f"{source}, line {number}: {len(row)} cells for {len(names)} columns")
        if delimiter is None and len(row) < len(names):
            # Between spaces an empty cell leaves no trace, so the cells after it would be read
            # under the wrong columns.
            raise ValueError(f"{source}, line {number}: {len(row)} cells for {len(names)} columns; in a table "
                             "separated by spaces write every cell, '-' for an empty one")
    return _build_table(names, rows, [f"line {number}" for number, _ in lines[1:]], source)


def _read_frame(frame: Any) -> _Table:
    names = list(frame.columns)
    rows = [list(values) for values in frame.itertuples(index=False, name=None)]
    return _build_table(names, rows, [f"row {label!r}" for label in frame.index], "DataFrame")


def _read_mapping(mapping: Mapping[str, Any]) -> _Table:
    names = list(mapping)
    columns = [list(np.asarray(mapping[name]).ravel()) for name in names]
    lengths = {len(column) for column in columns}
    if len(lengths) > 1:
        raise ValueError("the columns of the mapping have different lengths: "
                         + ", ".join(f"{name} {len(column)}" for name, column in zip(names, columns)))
    count = lengths.pop() if lengths else 0
    rows = [[column[i] for column in columns] for i in range(count)]
    return _build_table(names, rows, [f"row {i}" for i in range(count)], "mapping")


def _is_blank(value: Any) -> bool:
    if value is None:
        return True
    if isinstance(value, float) and math.isnan(value):
        return True
    return isinstance(value, str) and value.strip() in ("", "-")  # '-' is how spaced tables leave a cell empty


def _numbers(table: _Table, name: str, *, required: bool = True) -> Float64Array:
    values = np.empty(len(table.where))
    for row, value in enumerate(table.cells[name]):
        where = f"{table.source}, {table.where[row]}"
        if _is_blank(value):
            if required:
                raise ValueError(f"{where}: column {table.columns[name]!r} is empty")
            values[row] = math.nan
            continue
        try:
            number = float(value.strip().replace(",", ".") if isinstance(value, str) else value)
        except (TypeError, ValueError):
            raise ValueError(f"{where}: column {table.columns[name]!r} holds {value!r}, not a number") from None
        if not math.isfinite(number):
            raise ValueError(f"{where}: column {table.columns[name]!r} holds {value!r}, not a finite number")
        values[row] = number
    return values


def _texts(table: _Table, name: str) -> list[str]:
    return ["" if _is_blank(value) else str(value).strip().upper() for value in table.cells[name]]


def _refuse(table: _Table, row: int, message: str) -> None:
    raise ValueError(f"{table.source}, {table.where[row]}: {message}")


def _check_range(table: _Table, name: str, values: Float64Array, low: float, high: float) -> None:
    bad = (values < low) | (values > high)
    if bad.any():
        row = int(np.argmax(bad))
        _refuse(table, row, f"{table.columns[name]} {values[row]:g} is outside {low:g} to {high:g} degrees")


def _senses(table: _Table) -> list[str]:
    letters = []
    for row, text in enumerate(_texts(table, "sense")):
        if text not in _SENSES:
            _refuse(table, row, f"sense {text!r} is not one of N (normal), R or I (reverse), D (dextral), "
                                "S (sinistral), U or empty (unknown)")
        letters.append(_SENSES[text])
    return letters


def _angle_between(a: Float64Array, b: Float64Array) -> Float64Array:
    """Angle between azimuths, degrees in [0, 180]."""
    return np.abs(np.mod(a - b + 180.0, 360.0) - 180.0)


def _quadrants(table: _Table, name: str, allow_blank: Float64Array) -> Float64Array:
    azimuths = np.full(len(table.where), np.nan)
    for row, text in enumerate(_texts(table, name)):
        text = text.replace("O", "W")
        if text in _COMPASS:
            azimuths[row] = _COMPASS[text]
        elif text or not allow_blank[row]:
            _refuse(table, row, f"{table.columns[name]} {text!r} is not a compass direction (N, NE, E, ...)"
                    if text else f"{table.columns[name]} is empty")
    return azimuths


def _pick_towards(table: _Table, name: str, quadrant: Float64Array, first: Float64Array, strike: Float64Array,
                  what: str) -> Float64Array:
    """Of the azimuths `first` and `first + 180`, the one the quadrant names."""
    away = _angle_between(quadrant, first)
    chosen = np.where(away <= 90.0, first, first + 180.0)
    off = np.minimum(away, 180.0 - away)
    bad = off > _QUADRANT_TOLERANCE
    if bad.any():
        row = int(np.argmax(bad))
        from_line = _angle_between(quadrant[row], strike[row])
        _refuse(table, row, f"{table.columns[name]} {_texts(table, name)[row]!r} lies "
                            f"{min(from_line, 180.0 - from_line):.1f} degrees from the strike line, "
                            f"so it cannot tell {what}")
    return np.where(np.isnan(quadrant), first, np.mod(chosen, 360.0))


def _orient(table: _Table, strike: Float64Array, dip: Float64Array, line: Float64Array,
            senses: list[str]) -> tuple[Float64Array, np.ndarray[Any, np.dtype[np.bool_]]]:
    """Lines turned so that the hanging wall moves the way each sense letter says."""
    rake = np.radians(_geometry.rake_of(strike, dip, line))
    dip_slip, strike_slip = np.sin(rake), np.cos(rake)
    sign = np.ones(len(senses))
    for row, letter in enumerate(senses):
        if letter == "U":
            continue
        component = dip_slip[row] if letter in "NR" else strike_slip[row]
        if abs(component) < _SENSE_COMPONENT:
            kind = "dip-slip" if letter in "NR" else "strike-slip"
            _refuse(table, row, f"sense {letter!r} needs a slickenline with a {kind} component, but the line "
                                f"has none (rake {math.degrees(rake[row]):.1f})")
        wanted = {"N": -1.0, "R": 1.0, "S": 1.0, "D": -1.0}[letter]
        sign[row] = 1.0 if component * wanted > 0.0 else -1.0
    known = np.array([letter != "U" for letter in senses], dtype=bool)
    return line * sign[:, None], known


def _check_direction_agrees(table: _Table, strike: Float64Array, dip: Float64Array, slip: Float64Array,
                            senses: list[str]) -> np.ndarray[Any, np.dtype[np.bool_]]:
    """For directed slickenlines, a sense letter is a check, not an instruction."""
    oriented, known = _orient(table, strike, dip, slip, senses)
    flipped = np.sum(oriented * slip, axis=-1) < 0.0
    if flipped.any():
        row = int(np.argmax(flipped))
        _refuse(table, row, f"sense {senses[row]!r} contradicts the slip direction given")
    return known


def _check_on_plane(table: _Table, strike: Float64Array, dip: Float64Array, line: Float64Array) -> None:
    off = _geometry.off_plane_degrees(strike, dip, line)
    bad = off > _OFF_PLANE_TOLERANCE
    if bad.any():
        row = int(np.argmax(bad))
        _refuse(table, row, f"the slickenline lies {off[row]:.3f} degrees off the fault plane, "
                            f"more than the {_OFF_PLANE_TOLERANCE:.3f} allowed")


def _faults_of(table: _Table) -> tuple[str, Float64Array, Float64Array, Float64Array, Any]:
    """Strike, dip and slip vectors of every row, from whichever notation the columns give."""
    present = set(table.columns)
    notation = next((name for name, needed in _NOTATIONS if set(needed) <= present), None)
    if notation is None:
        expected = "; ".join(", ".join(needed) for _, needed in _NOTATIONS)
        raise ValueError(f"{table.source}: no fault-slip notation in columns "
                         f"{list(table.columns.values()) or 'with a known name'}; expected one of: {expected}")
    count = len(table.where)
    senses = _senses(table) if "sense" in present else []
    dip = _numbers(table, "dip")
    _check_range(table, "dip", dip, 0.0, 90.0)
    if notation == "field book":
        strike_given = _numbers(table, "strike")
        pitch = _numbers(table, "pitch")
        _check_range(table, "pitch", pitch, 0.0, 90.0)
        dip_quadrant = _quadrants(table, "dip_quadrant", allow_blank=(dip == 0.0) | (dip == 90.0))
        dip_direction = _pick_towards(table, "dip_quadrant", dip_quadrant, strike_given + 90.0, strike_given,
                                      "which way the plane dips")
        strike = np.mod(dip_direction - 90.0, 360.0)
        pitch_quadrant = _quadrants(table, "pitch_quadrant", allow_blank=pitch == 90.0)
        end = _pick_towards(table, "pitch_quadrant", pitch_quadrant, strike, strike,
                            "from which end the pitch is measured")
        horizontal = _geometry.axis_vector(end, np.zeros(count))
        down = _geometry.dip_vector(strike, dip)
        p = np.radians(pitch)[:, None]
        line = np.cos(p) * horizontal + np.sin(p) * down
        slip, known = _orient(table, strike, dip, line, senses)
        return notation, strike, dip, slip, known
    if notation == "dip direction and line":
        strike = np.mod(_numbers(table, "dip_direction") - 90.0, 360.0)
        line = _line(table, strike, dip)
        slip, known = _orient(table, strike, dip, line, senses)
        return notation, strike, dip, slip, known
    strike = _numbers(table, "strike")
    if notation == "strike and slip direction":
        slip = _line(table, strike, dip)
    else:
        slip = _geometry.rake_vector(strike, dip, _numbers(table, "rake"))
    if "sense" not in present:
        return notation, strike, dip, slip, np.ones(count, dtype=bool)
    return notation, strike, dip, slip, _check_direction_agrees(table, strike, dip, slip, senses)


def _line(table: _Table, strike: Float64Array, dip: Float64Array) -> Float64Array:
    plunge = _numbers(table, "plunge")
    _check_range(table, "plunge", plunge, -90.0, 90.0)
    line = _geometry.axis_vector(_numbers(table, "trend"), plunge)
    _check_on_plane(table, strike, dip, line)
    return line


def read_faults(source: Any) -> FaultSet:
    """Read a fault-slip table from a CSV file, a DataFrame or a mapping of columns.

    Parameters
    ----------
    source : str, path-like, pandas.DataFrame or mapping
        A CSV file (comma, semicolon, tab or whitespace separated; lines
        starting with ``#`` are comments) or a table whose column names give
        the notation (see the module documentation): ``strike, dip, rake``;
        ``strike, dip, trend, plunge``; ``dip_direction, dip, trend, plunge,
        sense``; or ``strike, dip, dip_quadrant, pitch, pitch_quadrant,
        sense``. Optional ``x, y[, z]`` and ``weight`` columns.

    Returns
    -------
    FaultSet
        Faults in the kernels' form, with senses (unknown where the letter
        is U or empty), positions and weights when the table has them.

    Raises
    ------
    ValueError
        Naming the line (CSV) or row (DataFrame) and column of the first
        value that is missing, not a number, out of range, or contradicts
        its row: a quadrant along the strike line, a slickenline off its
        plane, a sense letter the slip cannot have.

    Examples
    --------
    >>> import velkor
    >>> table = {"strike": [30.0], "dip": [60], "dip_quadrant": ["SE"], "pitch": [80],
    ...          "pitch_quadrant": ["N"], "sense": ["N"]}
    >>> faults = velkor.read_faults(table)
    >>> faults.faults.round(1).tolist()
    [[30.0, 60.0, 101.4, 58.5]]
    """
    if isinstance(source, (str, os.PathLike)):
        table = _read_csv(source)
    elif hasattr(source, "columns") and hasattr(source, "itertuples"):
        table = _read_frame(source)
    elif isinstance(source, Mapping):
        table = _read_mapping(source)
    else:
        raise TypeError(f"read_faults takes a CSV path, a DataFrame or a mapping of columns, "
                        f"got {type(source).__name__}")
    _notation, strike, dip, slip, known = _faults_of(table)
    count = len(table.where)
    trend, plunge = _geometry.vector_axis(slip) if count else (np.empty(0), np.empty(0))
    faults = np.column_stack([np.mod(strike, 360.0), dip, trend, plunge]) if count else np.empty((0, 4))
    positions = None
    if "x" in table.columns:
        axes = [name for name in ("x", "y", "z") if name in table.columns]
        if axes != ["x", "y", "z"][:len(axes)]:
            raise ValueError(f"{table.source}: position columns must be x, x and y, or x, y and z; got {axes}")
        positions = np.column_stack([_numbers(table, name) for name in axes]) if count else np.empty((0, len(axes)))
    weights = _numbers(table, "weight") if "weight" in table.columns else None
    if weights is not None and (weights < 0.0).any():
        _refuse(table, int(np.argmax(weights < 0.0)), f"weight {weights[np.argmax(weights < 0.0)]:g} is negative")
    return FaultSet(faults, None if known.all() else known, weights, positions)
