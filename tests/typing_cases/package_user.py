"""A geologist's script against the public package, checked with mypy --strict."""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

import velkor

faults = velkor.read_faults(velkor.sample_data("faults_fieldbook.csv"))
solution: velkor.StressSolution = velkor.invert(faults, angle_step_degrees=10.0, phi_step=0.1)
trend, plunge = solution.s1
regime: str = solution.regime
shmax: float = solution.shmax_azimuth
misfits: NDArray[np.float64] = solution.misfits
for alternative in solution.alternatives:
    print(alternative.s1, alternative.phi, alternative.mean_misfit_degrees)
summary: str = solution.summary()
document: dict[str, object] = solution.to_dict()

from_rakes = velkor.FaultSet.from_rakes([10.0, 20.0], [60.0, 50.0], [-90.0, 0.0], sense_known=[True, False])
scored = velkor.score(from_rakes, (0.0, 90.0), (90.0, 0.0), 0.5)
mechanisms: NDArray[np.float64] = velkor.mechanisms_from_sdr([0.0], [45.0], [-90.0])
classes = velkor.regime(np.zeros((3, 2)), np.zeros((3, 2)), np.zeros((3, 2)))
azimuths: NDArray[np.float64] = velkor.shmax_azimuth([[0.0, 0.0]], [[0.0, 90.0]], [[90.0, 0.0]], [0.5])
density = velkor.density(np.zeros((5, 2)), 1.0, 2.0, margin=3.0)
