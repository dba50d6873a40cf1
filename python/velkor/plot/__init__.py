"""Figures: the fault-slip stereonet, stress-field maps, traces on hillshade, Kagan matrices.

Every function draws into the matplotlib Axes it is given (or into a new
pyplot figure) and returns that Axes. matplotlib and mplstereonet are
imported on first use, so ``import velkor.plot`` works without them, and the
backend is never switched.

Examples
--------
>>> import velkor, velkor.plot
>>> faults = velkor.FaultSet.from_rakes([0, 60, 120, 180, 240, 300], [60] * 6, [-90] * 6)
>>> ax = velkor.plot.stereonet(velkor.invert(faults), faults=faults)
>>> ax.figure.savefig("stress.png", dpi=150)  # doctest: +SKIP
"""

from __future__ import annotations

from ._field_map import field_map
from ._kagan import kagan_matrix
from ._stereonet import stereonet
from ._trace_map import hillshade, trace_map

__all__ = ["stereonet", "field_map", "trace_map", "kagan_matrix", "hillshade"]
