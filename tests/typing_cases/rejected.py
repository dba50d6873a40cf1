"""Misuses a type checker must catch; every line that ends in the marker must be reported, no other."""

from __future__ import annotations

import numpy as np

from _velkor import kernels

faults = np.zeros((3, 4))
wrong_result: int = kernels.plane_normal(1.0, 2.0)  # rejected
kernels.plane_normal(1.0)  # rejected
kernels.plane_normal(1.0, 2.0, 3.0)  # rejected
kernels.plane_normal(dip_direction=1.0, dip_angle_degr=2.0)  # rejected
kernels.stress_tensor(0.0, 90.0, 90.0, 0.0, 0.5, sigma1=None)  # rejected
kernels.rake_to_slickenline("30", 60.0, 45.0)  # rejected

forward = kernels.solve_stress(0.0, 90.0, 90.0, 0.0, 0.5, 0.0, 60.0)
rake: float = forward["theoretical_rake"]  # rejected
forward["no_such_key"]  # rejected
traction: tuple[float, float] = forward["traction"]  # rejected

kernels.score_stress(0.0, 90.0, 90.0, 0.0, 0.5, [[0.0, 0.0, 0.0, 0.0]])  # rejected
kernels.ptb_axes(faults, senses=np.zeros(3))  # rejected
kernels.invert_stress(faults)["best"]  # rejected
found = kernels.invert_stress(faults)
if found is not None:
    misfit: int = found["runners_up"][0]["mean_misfit_degrees"]  # rejected
kernels.density_field(faults[:, :2], [0.0, 0.0], [1.0, 1.0], [1.5, 2.0], [1.0, 1.0])  # rejected
kernels.intersect_mesh_grid(np.zeros((2, 2)), [0.0] * 6, np.zeros((1, 3)), np.zeros((1, 3)))  # rejected
kernels.intersect_plane_grid(np.zeros((2, 2)), "012345", [0.0] * 3, 0.0, 0.0)  # rejected
grid_counts: list[float] = kernels.stress_field(faults[:, :2], faults, [0.0], [1.0], [1], [1.0])[1]["grid_counts"]  # rejected
reach: list[float] = kernels.kernel_profile([1.0])["reach"]  # rejected
fitted = kernels.best_fit_planes(faults[:, :3], 1.0)
fitted[0]  # rejected
kernels.field_cost(faults[:, :2], faults, [0.0], [1.0], [1], [1.0])["forward_solutions"].hex()  # rejected
