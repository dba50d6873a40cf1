"""Fault-slip data as the kernels take it, built from what geologists record."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from . import _geometry, kernels
from ._cast import BoolArray, Float64Array, bool_array, float_array

__all__ = ["FaultSet", "mechanisms_from_sdr"]


def _frozen(array: Any) -> Any:
    if array is not None:
        array.setflags(write=False)
    return array


@dataclass(frozen=True, eq=False)
class FaultSet:
    """Faults with their slickenlines, ready for the stress kernels.

    A frozen container: its arrays are private read-only copies, cast once,
    so a `FaultSet` can be handed to many calls (and to many workers) safely.

    Parameters
    ----------
    faults : array_like, shape (N, 4)
        Strike (right-hand rule), dip, slickenline trend and slickenline
        plunge, degrees. The slickenline is the slip direction of the hanging
        wall; a negative plunge points upward.
    senses : array_like of bool, shape (N,), optional
        Whether each sense of slip is known; ``None`` means all are known.
        Faults with an unknown sense are scored as lines.
    weights : array_like, shape (N,), optional
        Non-negative finite weights; only their ratios matter.
    positions : array_like, shape (N, D), optional
        Map (and depth) coordinates of the faults, D from 1 to 3, for fields.

    Raises
    ------
    ValueError
        For a wrong shape (the message gives the shape it got), a value that is
        not finite, a negative weight, or a slickenline more than a degree off
        its plane (the message names the fault's row).
    TypeError
        For values that are not numbers.

    Examples
    --------
    >>> faults = FaultSet([[0, 60, 90, 60], [90, 45, 180, 45]])
    >>> len(faults), faults.faults.dtype
    (2, dtype('float64'))
    """

    faults: Float64Array
    senses: BoolArray | None = None
    weights: Float64Array | None = None
    positions: Float64Array | None = None

    def __post_init__(self) -> None:
        faults = float_array(self.faults, "faults", ndim=2, columns=4, finite=True, copy=True)
        count = faults.shape[0]
        senses = None if self.senses is None else np.array(bool_array(self.senses, "senses", count))
        weights = None
        if self.weights is not None:
            weights = float_array(self.weights, "weights", ndim=1, length=count, finite=True, copy=True)
            if (weights < 0.0).any():
                row = int(np.argmax(weights < 0.0))
                raise ValueError(f"weights row {row} is {weights[row]}: weights must be non-negative")
        positions = None
        if self.positions is not None:
            positions = float_array(self.positions, "positions", ndim=2, columns=(1, 2, 3), finite=True,
                                    copy=True)
            if positions.shape[0] != count:
                raise ValueError(f"positions has {positions.shape[0]} rows for {count} faults")
        # The kernels' own parser checks that every slickenline lies on its plane, with the
        # message users will meet anywhere else; scoring any valid tensor runs exactly that check.
        kernels.score_stress(0.0, 90.0, 90.0, 0.0, 0.5, faults, senses)
        for name, value in (("faults", faults), ("senses", senses), ("weights", weights),
                            ("positions", positions)):
            object.__setattr__(self, name, _frozen(value))

    def __len__(self) -> int:
        return int(self.faults.shape[0])

    def __repr__(self) -> str:
        extras = [name for name in ("senses", "weights", "positions") if getattr(self, name) is not None]
        return f"FaultSet({len(self)} faults" + (f", with {', '.join(extras)}" if extras else "") + ")"

    @property
    def strike(self) -> Float64Array:
        """Right-hand-rule strikes, degrees."""
        return self.faults[:, 0]

    @property
    def dip(self) -> Float64Array:
        """Dip angles, degrees."""
        return self.faults[:, 1]

    @property
    def dip_direction(self) -> Float64Array:
        """Dip directions in [0, 360), degrees."""
        return np.mod(self.faults[:, 0] + 90.0, 360.0)

    @property
    def rake(self) -> Float64Array:
        """Aki-Richards rakes of the slickenlines, degrees in (-180, 180]."""
        vectors = _geometry.axis_vector(self.faults[:, 2], self.faults[:, 3])
        return _geometry.rake_of(self.faults[:, 0], self.faults[:, 1], vectors)

    def subset(self, rows: Any) -> FaultSet:
        """The faults selected by a boolean mask or an index array, with their columns.

        Examples
        --------
        >>> FaultSet([[0, 60, 90, 60], [90, 45, 180, 45]]).subset([1]).faults.tolist()
        [[90.0, 45.0, 180.0, 45.0]]
        """
        pick = np.asarray(rows)
        return FaultSet(self.faults[pick], None if self.senses is None else self.senses[pick],
                        None if self.weights is None else self.weights[pick],
                        None if self.positions is None else self.positions[pick])

    def with_weights(self, weights: Any) -> FaultSet:
        """The same faults with other weights (``None`` for none)."""
        return FaultSet(self.faults, self.senses, weights, self.positions)

    def with_positions(self, positions: Any) -> FaultSet:
        """The same faults placed at other positions (``None`` for none)."""
        return FaultSet(self.faults, self.senses, self.weights, positions)

    @classmethod
    def from_rakes(cls, strike: Any, dip: Any, rake: Any, sense_known: Any = None, positions: Any = None,
                   weights: Any = None) -> FaultSet:
        """Faults from right-hand-rule strike, dip and Aki-Richards rake.

        Parameters
        ----------
        strike, dip, rake : array_like, shape (N,)
            Degrees. Rake 0 is left-lateral, 90 reverse, -90 normal and
            +-180 right-lateral, hanging wall relative to footwall.
        sense_known : array_like of bool, shape (N,), optional
            ``None`` means every sense is known.
        positions : array_like, shape (N, D), optional
        weights : array_like, shape (N,), optional

        Returns
        -------
        FaultSet

        Examples
        --------
        >>> fs = FaultSet.from_rakes([0.0], [60.0], [-90.0])   # pure normal slip
        >>> fs.faults.round(9).tolist()
        [[0.0, 60.0, 90.0, 60.0]]
        """
        strike_ = float_array(strike, "strike", ndim=1, finite=True)
        count = strike_.shape[0]
        dip_ = float_array(dip, "dip", ndim=1, length=count, finite=True)
        rake_ = float_array(rake, "rake", ndim=1, length=count, finite=True)
        _check_dips(dip_, "dip")
        trend, plunge = _geometry.vector_axis(_geometry.rake_vector(strike_, dip_, rake_))
        faults = np.column_stack([strike_, dip_, trend, plunge]) if count else np.empty((0, 4))
        return cls(faults, sense_known, weights, positions)


def _check_dips(dip: Float64Array, name: str) -> None:
    bad = (dip < 0.0) | (dip > 90.0)
    if bad.any():
        row = int(np.argmax(bad))
        raise ValueError(f"{name} row {row} is {dip[row]}: dips must lie between 0 and 90 degrees")


def mechanisms_from_sdr(strike: Any, dip: Any, rake: Any) -> Float64Array:
    """P and T axes of double couples given as strike, dip and rake.

    Parameters
    ----------
    strike, dip, rake : array_like, shape (N,)
        One nodal plane of each mechanism: right-hand-rule strike, dip and
        Aki-Richards rake, degrees (the usual catalogue form).

    Returns
    -------
    numpy.ndarray, shape (N, 4)
        P trend, P plunge, T trend, T plunge, degrees, both axes written by
        their lower end (a horizontal axis may carry a plunge of -1e-12 from
        rounding): the mechanism array the Kagan kernels take. The axes are the
        kinematic axes of `kernels.ptb_axes` of the plane and its slip vector.

    Examples
    --------
    >>> (mechanisms_from_sdr([0.0], [45.0], [-90.0]).round(6) + 0.0).tolist()   # a normal fault
    [[90.0, 90.0, 90.0, 0.0]]
    """
    fault_set = FaultSet.from_rakes(strike, dip, rake)
    axes = kernels.ptb_axes(fault_set.faults)
    return np.ascontiguousarray(np.column_stack([axes["p"], axes["t"]]))
