"""A user's pipeline, checked by mypy --strict: every result is taken apart into typed variables."""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

from _velkor import kernels
from _velkor.kernels import density_field, solve_stress

if TYPE_CHECKING:
    from _velkor.kernels import ScoredTensor, StressFieldArrays


def forward() -> float:
    result = solve_stress(0.0, 90.0, 90.0, 0.0, 0.5, strike_rhr_degr=0.0, dip_angle_degr=60.0, sigma1=2.0)
    valid: bool = result["is_valid"]
    traction: tuple[float, float, float] = result["traction"]
    magnitude: float = result["shear_stress_magnitude"]
    rake: float | None = result["theoretical_rake"]
    line: tuple[float, float] | None = result["theoretical_slickenline"]
    if valid and rake is not None and line is not None:
        trend, plunge = line
        return rake + trend + plunge + traction[2] + magnitude
    return magnitude


def faults_of(count: int) -> NDArray[np.float64]:
    rows = [(s, 50.0, *kernels.rake_to_slickenline(s, 50.0, 30.0)) for s in np.linspace(0.0, 300.0, count)]
    return np.array(rows, dtype=np.float64)


def best_axes(tensor: ScoredTensor) -> tuple[float, float]:
    return tensor["s1"]


def inversion(faults: NDArray[np.float64]) -> int:
    senses: NDArray[np.bool_] = np.ones(len(faults), dtype=np.bool_)
    score = kernels.score_stress(0.0, 90.0, 90.0, 0.0, 0.5, faults, senses=senses)
    misfits: NDArray[np.float64] = score["misfits"]
    mean: float | None = score["mean_misfit_degrees"]
    found = kernels.invert_stress(faults, senses, weights=None, angle_step_degrees=30.0)
    if found is None:
        return 0
    trend, plunge = best_axes(found["best"])
    phi: float = found["best"]["phi"]
    others: list[ScoredTensor] = found["runners_up"]
    tried: int = found["candidates_tried"] + kernels.inversion_candidate_count(phi_step=0.25)
    print(trend, plunge, phi, len(others), mean, misfits.shape)
    return tried


def fields(points: NDArray[np.float64], faults: NDArray[np.float64]) -> float:
    grid = kernels.covering_grid(points, [1.0, 1.0], margin=0.5)
    origin: list[float] = grid["origin"]
    counts: list[int] = grid["counts"]
    nodes: int = grid["node_count"]
    profile = kernels.kernel_profile([2.0, 2.0], kernel="truncated_gaussian", truncation=3.0)
    reach: list[float] | None = profile["reach"]
    density: NDArray[np.float64] = density_field(points, origin, grid["spacing"], counts, np.array([2.0, 2.0]))
    field, stats = kernels.stress_field(points[: len(faults)], faults, origin, grid["spacing"], counts, [2.0, 2.0],
                                        min_support=0.0)
    arrays: StressFieldArrays = field
    solved: NDArray[np.bool_] = arrays["has_solution"]
    reached: NDArray[np.int64] = field["faults_within_reach"]
    inverted: int = stats["nodes_inverted"]
    spacing: list[float] = stats["grid_spacing"]
    cost: int = kernels.field_cost(points[: len(faults)], faults, origin, grid["spacing"], counts, [2.0, 2.0])[
        "forward_solutions"]
    print(nodes, reach, solved.sum(), reached.sum(), inverted, spacing, cost)
    return float(density.sum()) + profile["peak"] + profile["retained_mass"]


def mechanisms(faults: NDArray[np.float64]) -> float:
    axes = kernels.ptb_axes(faults)
    p: NDArray[np.float64] = axes["p"]
    catalogue = np.column_stack([p, axes["t"]])
    matrix: NDArray[np.float64] = kernels.kagan_angle_matrix(catalogue)
    pairwise: NDArray[np.float64] = kernels.kagan_angles(catalogue, catalogue[::-1])
    rotations = kernels.focal_mechanism_rotations(*catalogue[0], *catalogue[1])
    kagan: float = float(rotations["angle_degrees"][0])
    turned = kernels.rotate_focal_mechanism(0.0, 0.0, 90.0, 0.0, float(rotations["trend"][0]),
                                            float(rotations["plunge"][0]), kagan)
    b_axis: tuple[float, float] = turned["b"]
    return float(matrix.max()) + float(pairwise.sum()) + b_axis[0]


def surfaces() -> int:
    dem = np.add.outer(np.arange(5.0), np.arange(6.0))
    gt = (0.0, 1.0, 0.0, 5.0, 0.0, -1.0)
    points, segments = kernels.intersect_plane_grid(dem, gt, [2.0, 2.0, 4.0], 90.0, 10.0, nodata=None)
    chord_ends: NDArray[np.int64] = segments
    crossings, attitudes, triangles, counters = kernels.intersect_mesh_grid(
        dem, gt, np.array([[0.0, 0.0, 3.0], [6.0, 0.0, 3.0], [0.0, 6.0, 6.0]]), np.array([[0, 1, 2]]), -9999.0)
    examined: int = counters["mesh_triangles"]
    fitted = kernels.best_fit_planes(crossings, 2.0, coincidence_distance=0.01)
    if fitted is None:
        return examined
    cells, stats = fitted
    dips: NDArray[np.float64] = cells["attitudes"][:, 1]
    x_min: float = stats["grid_x_min"]
    normal: list[float] = kernels.plane_normal(dip_dir_degr=120.0, dip_angle_degr=35.0)
    tensor: NDArray[np.float64] = kernels.stress_tensor(0.0, 90.0, 90.0, 0.0, 0.5)
    print(points.shape, chord_ends.shape, attitudes.shape, triangles.shape, dips, x_min, normal, tensor.trace())
    return examined + stats["cells_fitted"]
