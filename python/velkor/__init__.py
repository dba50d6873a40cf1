"""velkor: structural geology and seismotectonics from field data to answers.

Stress inversion from fault slip, regional stress and density fields, focal
mechanisms and Kagan angles, planes and meshes against topography. The
compiled kernels (`velkor.kernels`) are exact and strict; this package casts
the data geologists really have and returns answers they read.

Examples
--------
>>> import velkor
>>> faults = velkor.FaultSet.from_rakes([0, 60, 120, 180, 240, 300], [60] * 6, [-90] * 6)
>>> solution = velkor.invert(faults)
>>> solution.regime, solution.s1
('NF', (0.0, 90.0))
"""

from __future__ import annotations

from . import kernels, plot
from ._data import sample_data
from .faults import FaultSet, mechanisms_from_sdr
from .fields import density
from .notation import read_faults
from .scale import FieldCostWarning, kagan_matrix, open_field, stress_field
from .stress import (
    StressSolution,
    StressTensor,
    fold_axes,
    invert,
    r_prime,
    regime,
    score,
    shmax_azimuth,
)
from .topography import (
    Dem,
    MeshTrace,
    best_fit_planes,
    mesh_trace,
    mesh_trace_details,
    plane_trace,
    read_dem,
    to_geojson,
)

__version__ = "0.2.0"

__all__ = [
    "__version__",
    "kernels",
    "plot",
    "FaultSet",
    "read_faults",
    "mechanisms_from_sdr",
    "StressSolution",
    "StressTensor",
    "invert",
    "score",
    "fold_axes",
    "regime",
    "r_prime",
    "shmax_azimuth",
    "density",
    "sample_data",
    "stress_field",
    "open_field",
    "kagan_matrix",
    "FieldCostWarning",
    "Dem",
    "read_dem",
    "plane_trace",
    "mesh_trace",
    "mesh_trace_details",
    "MeshTrace",
    "to_geojson",
    "best_fit_planes",
]
