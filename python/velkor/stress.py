"""Stress from fault slip, in the terms a geologist reads.

`invert` and `score` run the kernels and return a `StressSolution`: axes
written by their lower end, the shape ratio, the regime index R', the World
Stress Map regime, the azimuth of the maximum horizontal stress, the per-fault
misfits and the runners-up that are really different tensors. The derived
quantities are also plain vectorised functions (`fold_axes`, `regime`,
`r_prime`, `shmax_azimuth`) that work on whole fields.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import _geometry, kernels
from ._cast import Float64Array, float_array
from .faults import FaultSet

__all__ = ["StressTensor", "StressSolution", "invert", "score", "fold_axes", "regime", "r_prime",
           "shmax_azimuth", "REGIMES"]

Axis = tuple[float, float]

# World Stress Map regime classes from the plunges of S1, S2 and S3 (degrees),
# in the order they are tested. "U" is the class of everything else.
REGIMES = ("NF", "NS", "SS", "TS", "TF", "U")

# Two tensors whose reduced matrices (sigma1 = 1, sigma3 = 0) differ by less
# than this in every entry are the same tensor written differently (an axis
# given by its other end, a vertical S1 reached from every trend). Distinct
# candidates of any search grid differ by many orders of magnitude more.
_SAME_TENSOR = 1e-9

# Below this size of the horizontal deviatoric stress (in units of
# sigma1 - sigma3) every horizontal direction carries the same stress and the
# azimuth of the maximum is undefined.
_ISOTROPIC = 1e-9


def _axes_array(value: Any, name: str) -> Float64Array:
    array = float_array(value, name)
    if array.ndim == 0 or array.shape[-1] != 2:
        raise ValueError(f"{name} must hold (trend, plunge) pairs in its last axis, got shape {array.shape}")
    return array


def fold_axes(trend: Any, plunge: Any) -> tuple[Float64Array, Float64Array]:
    """Write axes by their lower end: plunge >= 0, trend in [0, 360).

    Parameters
    ----------
    trend, plunge : array_like
        Degrees; a negative plunge is an axis given by its upper end.

    Returns
    -------
    trend, plunge : numpy.ndarray
        The same axes, NaN where the input is NaN.

    Examples
    --------
    >>> [a.tolist() for a in fold_axes([270.0, 30.0], [-10.0, 40.0])]
    [[90.0, 30.0], [10.0, 40.0]]
    """
    return _geometry.fold(float_array(trend, "trend"), float_array(plunge, "plunge"))


def regime(s1: Any, s2: Any, s3: Any) -> NDArray[np.str_]:
    """World Stress Map regime class from the plunges of the principal axes.

    NF (normal faulting), NS (normal with strike-slip), SS (strike-slip), TS
    (thrust with strike-slip), TF (thrust faulting) or U (unknown); an empty
    string where an axis is NaN (a node without a tensor).

    Parameters
    ----------
    s1, s2, s3 : array_like, shape (..., 2)
        (trend, plunge) of S1, S2 and S3 in degrees; plunges may be negative.

    Returns
    -------
    numpy.ndarray of str, shape (...)

    Examples
    --------
    >>> regime([0, 90], [90, 0], [0, 0]).tolist()
    'NF'
    >>> regime([[0, 0], [0, 10]], [[0, 90], [90, 5]], [[90, 0], [180, 78]]).tolist()
    ['SS', 'TF']
    """
    p1, p2, p3 = (np.abs(_axes_array(a, n)[..., 1]) for a, n in ((s1, "s1"), (s2, "s2"), (s3, "s3")))
    classes = [
        (p1 >= 52.0) & (p3 <= 35.0),
        (p1 >= 40.0) & (p1 < 52.0) & (p3 <= 20.0),
        ((p1 < 40.0) & (p2 >= 45.0) & (p3 <= 20.0)) | ((p1 <= 20.0) & (p2 >= 45.0) & (p3 < 40.0)),
        (p1 <= 20.0) & (p3 >= 40.0) & (p3 < 52.0),
        (p1 <= 35.0) & (p3 >= 52.0),
    ]
    result = np.select(classes, REGIMES[:5], default="U")
    return np.where(np.isnan(p1) | np.isnan(p2) | np.isnan(p3), "", result).astype("<U2")


def r_prime(phi: Any, s1: Any, s2: Any, s3: Any) -> Float64Array:
    """The regime index R' (0 to 3) from the shape ratio and the most vertical axis.

    R' = phi when S1 is the axis closest to vertical (extension), 2 - phi
    when S2 is (strike-slip), 2 + phi when S3 is (compression); NaN where
    phi or an axis is NaN. On equal plunges the first of S1, S2, S3 counts.

    Parameters
    ----------
    phi : array_like
        Shape ratio (sigma2 - sigma3) / (sigma1 - sigma3).
    s1, s2, s3 : array_like, shape (..., 2)
        (trend, plunge) of the principal axes, degrees.

    Returns
    -------
    numpy.ndarray

    Examples
    --------
    >>> float(r_prime(0.25, [0, 10], [90, 80], [180, 0]))
    1.75
    """
    phi_ = float_array(phi, "phi")
    plunges = np.stack([np.abs(_axes_array(a, n)[..., 1]) for a, n in ((s1, "s1"), (s2, "s2"), (s3, "s3"))])
    vertical = np.argmax(np.nan_to_num(plunges, nan=-1.0), axis=0)
    value = np.select([vertical == 0, vertical == 1], [phi_, 2.0 - phi_], 2.0 + phi_)
    return np.where(np.isnan(plunges).any(axis=0), np.nan, value)


def shmax_azimuth(s1: Any, s2: Any, s3: Any, phi: Any) -> Float64Array:
    """Azimuth of the maximum horizontal compressive stress, degrees in [0, 180).

    Taken from the whole reduced tensor (sigma1 = 1, sigma2 = phi,
    sigma3 = 0 along the given axes), not from the nearest horizontal axis:
    the horizontal direction d that maximises the normal stress d.S.d, which
    stays right when no principal axis is vertical. NaN where the horizontal
    stress is the same in every direction (or where an input is NaN).

    Parameters
    ----------
    s1, s2, s3 : array_like, shape (..., 2)
        (trend, plunge) of the principal axes, degrees.
    phi : array_like
        Shape ratio.

    Returns
    -------
    numpy.ndarray

    Examples
    --------
    >>> float(shmax_azimuth([30, 0], [0, 90], [120, 0], 0.5))   # strike-slip, S1 at N30E
    30.0
    """
    v1, v2, v3 = (_geometry.axis_vector(a[..., 0], a[..., 1])
                  for a in (_axes_array(s1, "s1"), _axes_array(s2, "s2"), _axes_array(s3, "s3")))
    sigma2 = float_array(phi, "phi")
    # sigma3 = 0, so S3 adds nothing to the tensor; it still marks nodes without one (NaN).
    east_east = v1[..., 0] * v1[..., 0] + sigma2 * v2[..., 0] * v2[..., 0] + 0.0 * v3[..., 0]
    north_north = v1[..., 1] * v1[..., 1] + sigma2 * v2[..., 1] * v2[..., 1] + 0.0 * v3[..., 1]
    east_north = v1[..., 0] * v1[..., 1] + sigma2 * v2[..., 0] * v2[..., 1]
    difference = north_north - east_east
    doubled = np.degrees(np.arctan2(2.0 * east_north, difference))
    azimuth = np.mod(0.5 * doubled, 180.0)
    azimuth = np.where(azimuth >= 180.0, 0.0, azimuth)
    isotropic = np.hypot(2.0 * east_north, difference) < _ISOTROPIC
    return np.asarray(np.where(isotropic, np.nan, azimuth), dtype=np.float64)


@dataclass(frozen=True)
class StressTensor:
    """One reduced stress tensor with the quantities read from it.

    Attributes
    ----------
    s1, s2, s3 : tuple of float
        (trend, plunge) of the principal axes, degrees, plunge >= 0.
    phi : float
        Shape ratio (sigma2 - sigma3) / (sigma1 - sigma3).
    r_prime : float
        Regime index, 0 (radial extension) to 3 (radial compression).
    regime : str
        World Stress Map class: NF, NS, SS, TS, TF or U.
    shmax_azimuth : float
        Azimuth of the maximum horizontal stress in [0, 180), NaN if undefined.
    mean_misfit_degrees : float
        Weighted mean angle between observed and predicted slip.
    faults_scored : int
        Faults on which the tensor predicts slip (and of positive weight).
    effective_sample_size : float
        Kish's (sum w)^2 / sum w^2 over the scored faults.

    Examples
    --------
    >>> t = StressTensor.from_axes((0, 90), (90, 0), 0.5)
    >>> t.regime, t.s2
    ('NF', (0.0, 0.0))
    """

    s1: Axis
    s2: Axis
    s3: Axis
    phi: float
    r_prime: float
    regime: str
    shmax_azimuth: float
    mean_misfit_degrees: float = math.nan
    faults_scored: int = 0
    effective_sample_size: float = 0.0

    @classmethod
    def from_axes(cls, s1: Axis, s3: Axis, phi: float, s2: Axis | None = None, **fit: Any) -> StressTensor:
        """The tensor of two axes and a shape ratio; S2 completes the triad as S3 x S1.

        Examples
        --------
        >>> StressTensor.from_axes((0, 0), (90, 0), 0.0).s2
        (0.0, 90.0)
        """
        if s2 is None:
            v1 = _geometry.axis_vector(np.array(float(s1[0])), np.array(float(s1[1])))
            v3 = _geometry.axis_vector(np.array(float(s3[0])), np.array(float(s3[1])))
            trend, plunge = _geometry.vector_axis(np.cross(v3, v1))
            s2 = (float(trend), float(plunge))
        axes = np.array([s1, s2, s3], dtype=np.float64)
        trend, plunge = _geometry.fold(axes[:, 0], axes[:, 1])
        folded = np.column_stack([trend, plunge]) + 0.0  # no negative zeros in reports
        f1, f2, f3 = (tuple(float(v) for v in row) for row in folded)
        return cls(s1=(f1[0], f1[1]), s2=(f2[0], f2[1]), s3=(f3[0], f3[1]), phi=float(phi),
                   r_prime=float(r_prime(phi, f1, f2, f3)), regime=str(regime(f1, f2, f3)),
                   shmax_azimuth=float(shmax_azimuth(f1, f2, f3, phi)), **fit)

    def matrix(self, sigma1: float = 1.0, sigma3: float = 0.0) -> Float64Array:
        """The 3 x 3 tensor in (East, North, Up), from `kernels.stress_tensor`.

        Examples
        --------
        >>> StressTensor.from_axes((0, 90), (90, 0), 0.5).matrix().round(12).diagonal().tolist()
        [0.0, 0.5, 1.0]
        """
        return kernels.stress_tensor(*self.s1, *self.s3, self.phi, sigma1=sigma1, sigma3=sigma3)

    def to_dict(self) -> dict[str, Any]:
        """JSON-ready values (NaN as ``None``), in a fixed key order."""
        return {
            "s1": list(self.s1), "s2": list(self.s2), "s3": list(self.s3), "phi": self.phi,
            "r_prime": _json_float(self.r_prime), "regime": self.regime,
            "shmax_azimuth": _json_float(self.shmax_azimuth),
            "mean_misfit_degrees": _json_float(self.mean_misfit_degrees), "faults_scored": self.faults_scored,
            "effective_sample_size": _json_float(self.effective_sample_size),
        }


def _json_float(value: float) -> float | None:
    return None if math.isnan(value) else value


@dataclass(frozen=True, eq=False)
class StressSolution(StressTensor):
    """The best tensor of an inversion (or a scored tensor), with its evidence.

    Attributes
    ----------
    misfits : numpy.ndarray, shape (N,)
        Misfit of each fault under this tensor, degrees; NaN where the fault
        was not scored (zero weight, or no slip predicted on its plane).
    alternatives : tuple of StressTensor
        The runners-up that are really different tensors, best first: the
        search reaches some tensors more than once (an axis written by its
        other end, a vertical S1 from every trend), and those repeats are
        merged.
    candidates_tried, candidates_scored : int
        Size of the search (both 1 for `score`).
    raw : dict
        The kernel's own result.

    Examples
    --------
    >>> import velkor
    >>> faults = velkor.FaultSet.from_rakes([0, 90, 180, 270, 45], [60, 50, 60, 55, 70], [-90] * 5)
    >>> solution = velkor.invert(faults, angle_step_degrees=15.0, phi_step=0.25)
    >>> solution.regime
    'NF'
    """

    misfits: Float64Array = field(default_factory=lambda: np.empty(0))
    alternatives: tuple[StressTensor, ...] = ()
    candidates_tried: int = 0
    candidates_scored: int = 0
    raw: Mapping[str, Any] = field(default_factory=dict)

    def to_dict(self) -> dict[str, Any]:
        """JSON-ready summary: the tensor, its alternatives and the search size."""
        result = super().to_dict()
        result["candidates_tried"] = self.candidates_tried
        result["candidates_scored"] = self.candidates_scored
        result["alternatives"] = [StressTensor.to_dict(a) for a in self.alternatives]
        result["misfits"] = [_json_float(float(m)) for m in self.misfits]
        return result

    def summary(self) -> str:
        """A few readable lines: axes, shape, regime, SHmax and fit.

        Examples
        --------
        >>> print(StressSolution.from_axes((0, 90), (90, 0), 0.5).summary().splitlines()[1])
        S1  trend   0.0  plunge 90.0
        """
        lines = [f"stress tensor scored on {self.faults_scored} faults "
                 f"(effective sample size {self.effective_sample_size:.1f})"]
        for name, (trend, plunge) in (("S1", self.s1), ("S2", self.s2), ("S3", self.s3)):
            lines.append(f"{name}  trend {trend:5.1f}  plunge {plunge:4.1f}")
        shmax = "undefined" if math.isnan(self.shmax_azimuth) else f"{self.shmax_azimuth:.1f}"
        lines.append(f"phi {self.phi:.2f}  R' {self.r_prime:.2f}  regime {self.regime}  SHmax {shmax}")
        lines.append(f"mean misfit {self.mean_misfit_degrees:.2f} degrees "
                     f"({self.candidates_tried} candidate tensors tried)")
        for rank, other in enumerate(self.alternatives, start=2):
            lines.append(f"  alternative {rank}: S1 {other.s1[0]:.0f}/{other.s1[1]:.0f}, "
                         f"S3 {other.s3[0]:.0f}/{other.s3[1]:.0f}, phi {other.phi:.2f}, "
                         f"regime {other.regime}, misfit {other.mean_misfit_degrees:.2f}")
        return "\n".join(lines)


def _as_fault_set(faults: Any) -> FaultSet:
    return faults if isinstance(faults, FaultSet) else FaultSet(faults)


def _reduced_matrix(s1: Axis, s2: Axis, phi: float) -> Float64Array:
    v1 = _geometry.axis_vector(np.array(s1[0]), np.array(s1[1]))
    v2 = _geometry.axis_vector(np.array(s2[0]), np.array(s2[1]))
    return np.asarray(np.outer(v1, v1) + phi * np.outer(v2, v2), dtype=np.float64)


def _tensor_of(entry: Mapping[str, Any]) -> StressTensor:
    return StressTensor.from_axes(entry["s1"], entry["s3"], entry["phi"], s2=entry["s2"],
                                  mean_misfit_degrees=float(entry["mean_misfit_degrees"]),
                                  faults_scored=int(entry["faults_scored"]),
                                  effective_sample_size=float(entry["effective_sample_size"]))


def distinct_runners_up(best: Mapping[str, Any], runners_up: list[Any]) -> list[Mapping[str, Any]]:
    """Runners-up that differ as tensors from the best and from each other, in rank order.

    Examples
    --------
    >>> best = {"s1": (0.0, 0.0), "s2": (0.0, 90.0), "s3": (90.0, 0.0), "phi": 0.5}
    >>> same = {"s1": (180.0, 0.0), "s2": (0.0, -90.0), "s3": (270.0, 0.0), "phi": 0.5}
    >>> distinct_runners_up(best, [same])
    []
    """
    kept: list[Mapping[str, Any]] = []
    seen = [_reduced_matrix(best["s1"], best["s2"], best["phi"])]
    for entry in runners_up:
        matrix = _reduced_matrix(entry["s1"], entry["s2"], entry["phi"])
        if all(np.max(np.abs(matrix - other)) >= _SAME_TENSOR for other in seen):
            kept.append(entry)
            seen.append(matrix)
    return kept


def invert(faults: Any, angle_step_degrees: float = 10.0, phi_step: float = 0.1) -> StressSolution:
    """Find the reduced stress tensor that best explains the slip on a set of faults.

    An exhaustive grid search (`kernels.invert_stress`) over S1 orientations,
    rolls of S3 about S1 and shape ratios; faults of unknown sense are scored
    as lines, weights (from the `FaultSet`) weigh the mean misfit.

    Parameters
    ----------
    faults : FaultSet or array_like, shape (N, 4)
        The fault-slip data (strike, dip, slickenline trend, plunge).
    angle_step_degrees : float
        Step of the orientation grid, degrees.
    phi_step : float
        Step of the shape-ratio grid.

    Returns
    -------
    StressSolution

    Raises
    ------
    ValueError
        For bad steps or faults (the kernels' messages), or when no tensor
        could be scored (no faults, or every weight zero).

    Examples
    --------
    >>> import velkor
    >>> faults = velkor.FaultSet.from_rakes([0, 60, 120, 180, 240, 300], [60] * 6, [-90] * 6)
    >>> velkor.invert(faults).s1
    (0.0, 90.0)
    """
    fault_set = _as_fault_set(faults)
    raw = kernels.invert_stress(fault_set.faults, fault_set.senses, fault_set.weights,
                                angle_step_degrees=float(angle_step_degrees), phi_step=float(phi_step))
    if raw is None:
        raise ValueError("no stress tensor could be scored: the fault set is empty or every weight is zero")
    best = raw["best"]
    misfits = _misfits(fault_set, best["s1"], best["s3"], best["phi"])
    alternatives = tuple(_tensor_of(entry) for entry in distinct_runners_up(best, raw["runners_up"]))
    base = _tensor_of(best)
    return StressSolution(**vars(base), misfits=misfits, alternatives=alternatives,
                          candidates_tried=int(raw["candidates_tried"]),
                          candidates_scored=int(raw["candidates_scored"]), raw=raw)


def _misfits(fault_set: FaultSet, s1: Axis, s3: Axis, phi: float) -> Float64Array:
    scored = kernels.score_stress(*s1, *s3, phi, fault_set.faults, fault_set.senses)
    misfits = np.array(scored["misfits"])
    if fault_set.weights is not None:
        misfits[fault_set.weights == 0.0] = np.nan
    misfits.setflags(write=False)
    return misfits


def score(faults: Any, s1: Axis, s3: Axis, phi: float) -> StressSolution:
    """The fit of one given tensor on a set of faults, without searching.

    Parameters
    ----------
    faults : FaultSet or array_like, shape (N, 4)
    s1, s3 : tuple of float
        (trend, plunge) of S1 and S3, degrees (within a degree of perpendicular).
    phi : float
        Shape ratio in [0, 1].

    Returns
    -------
    StressSolution
        With the weighted mean misfit (plain mean without weights) and the
        Kish effective sample size over the scored faults.

    Raises
    ------
    ValueError
        For a tensor the kernels refuse, bad faults, or when no fault could
        be scored.

    Examples
    --------
    >>> import velkor
    >>> faults = velkor.FaultSet.from_rakes([0, 90], [60, 60], [-90, -90])
    >>> velkor.score(faults, (0, 90), (90, 0), 0.5).mean_misfit_degrees < 1e-6
    True
    """
    fault_set = _as_fault_set(faults)
    s1_ = (float(s1[0]), float(s1[1]))
    s3_ = (float(s3[0]), float(s3[1]))
    raw = kernels.score_stress(*s1_, *s3_, float(phi), fault_set.faults, fault_set.senses)
    misfits = _misfits(fault_set, s1_, s3_, float(phi))
    scored = ~np.isnan(misfits)
    weights = np.ones(len(misfits)) if fault_set.weights is None else fault_set.weights
    total = float(np.sum(weights[scored]))
    if not scored.any() or total == 0.0:
        raise ValueError("no fault could be scored: the tensor predicts no slip on any fault of positive weight")
    if fault_set.weights is None:
        kernel_mean = raw["mean_misfit_degrees"]  # the kernel's index-order sum, not a pairwise one
        mean = math.nan if kernel_mean is None else float(kernel_mean)
        size = float(np.count_nonzero(scored))
    else:
        mean = float(np.sum(weights[scored] * misfits[scored]) / total)
        size = total * total / float(np.sum(weights[scored] ** 2))
    base = StressTensor.from_axes(s1_, s3_, float(phi), mean_misfit_degrees=mean,
                                  faults_scored=int(np.count_nonzero(scored)), effective_sample_size=size)
    return StressSolution(**vars(base), misfits=misfits, candidates_tried=1, candidates_scored=1, raw=raw)
