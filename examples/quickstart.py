"""A tour of velkor's kernels on generated data.

Run after `pip install .`:  python examples/quickstart.py
Every section prints real results computed by the compiled module.
"""

from __future__ import annotations

import numpy as np

from _velkor import kernels


def geometry_section() -> None:
    print("== Orientation geometry ==")
    normal = kernels.plane_normal(120.0, 35.0)
    print(f"upward normal of a plane dipping 35 towards 120: {np.round(normal, 6).tolist()}")
    for rake in (0.0, 90.0, -90.0, 180.0):
        trend, plunge = kernels.rake_to_slickenline(30.0, 60.0, rake)
        print(f"strike 30 / dip 60, rake {rake:6.1f}: slickenline trend {trend:7.3f}, plunge {plunge:7.3f}")


def density_section() -> None:
    print("== Density field ==")
    rng = np.random.default_rng(42)
    # two clusters of epicentres on a 100 km x 60 km map, coordinates in km
    points = np.concatenate([rng.normal((30.0, 20.0), (6.0, 4.0), (3000, 2)),
                             rng.normal((70.0, 40.0), (3.0, 3.0), (1500, 2))])
    grid = kernels.covering_grid(points, [0.5, 0.5], margin=5.0)
    print(f"covering grid: origin {np.round(grid['origin'], 3).tolist()}, counts {grid['counts']}, "
          f"{grid['node_count']} nodes")
    profile = kernels.kernel_profile([4.0, 4.0], "truncated_gaussian", 2.5)
    print(f"truncated Gaussian, bandwidth 4 km: reach {profile['reach']} km, peak {profile['peak']:.6f} / km^2, "
          f"retained mass {profile['retained_mass']:.6f}")
    values = kernels.density_field(points, grid["origin"], grid["spacing"], grid["counts"], [4.0, 4.0],
                                   "truncated_gaussian", 2.5)
    field = values.reshape(grid["counts"], order="F")
    i, j = np.unravel_index(np.argmax(field), field.shape)
    peak_at = (grid["origin"][0] + i * grid["spacing"][0], grid["origin"][1] + j * grid["spacing"][1])
    print(f"densest node at ({peak_at[0]:.1f}, {peak_at[1]:.1f}) km: {field[i, j]:.3f} events / km^2")
    print(f"integrated over the grid: {values.sum() * 0.25:.1f} events of {len(points)} "
          f"(expected about {len(points) * profile['retained_mass']:.1f})")


def forward_stress_section() -> None:
    print("== Stress: the forward model ==")
    # Andersonian normal faulting: S1 vertical, S3 horizontal East-West, phi 0.5.
    tensor = kernels.stress_tensor(0.0, 90.0, 90.0, 0.0, 0.5, sigma1=3.0, sigma3=1.0)
    print(f"stress tensor (E, N, U), sigma1=3, sigma3=1:\n{np.round(tensor, 6) + 0.0}")
    for strike, dip in ((0.0, 60.0), (30.0, 45.0), (0.0, 0.0)):
        r = kernels.solve_stress(0.0, 90.0, 90.0, 0.0, 0.5, strike, dip, sigma1=3.0, sigma3=1.0)
        line = r["theoretical_slickenline"]
        if r["is_valid"] and line is not None:
            trend, plunge = line
            print(f"plane {strike:5.1f}/{dip:4.1f}: rake {r['theoretical_rake']:8.3f}, slickenline "
                  f"{trend:7.3f}/{plunge:6.3f}, slip tendency {r['slip_tendency']:.3f}")
        else:
            print(f"plane {strike:5.1f}/{dip:4.1f}: no resolved shear (on a principal axis)")
    rng = np.random.default_rng(2024)
    faults = synthetic_faults(rng, (0.0, 90.0, 90.0, 0.0, 0.5), 8, noise_degrees=3.0)
    score = kernels.score_stress(0.0, 90.0, 90.0, 0.0, 0.5, faults)
    print(f"8 noisy faults scored: mean misfit {score['mean_misfit_degrees']:.3f} deg, "
          f"misfits {np.round(score['misfits'], 2).tolist()}")


def synthetic_faults(rng: np.random.Generator, tensor: tuple[float, float, float, float, float], count: int, noise_degrees: float) -> np.ndarray:
    """Random planes, each with the slickenline the tensor predicts, rotated within the plane by noise."""
    rows: list[tuple[float, ...]] = []
    while len(rows) < count:
        strike, dip = rng.uniform(0.0, 360.0), rng.uniform(20.0, 80.0)
        r = kernels.solve_stress(*tensor, strike, dip)
        predicted = r["theoretical_rake"]
        if not r["is_valid"] or predicted is None:
            continue
        rake = predicted + rng.normal(0.0, noise_degrees)
        rows.append((strike, dip, *kernels.rake_to_slickenline(strike, dip, rake)))
    return np.array(rows)


def stress_field_section() -> None:
    print("== Stress field ==")
    # 240 faults on a 60 km x 60 km map; S1 is horizontal and its trend turns
    # from 30 to 120 degrees from west to east, S3 horizontal beside it.
    rng = np.random.default_rng(11)
    positions = rng.uniform(0.0, 60.0, (240, 2))
    rows = []
    for x, _ in positions:
        trend = 30.0 + 1.5 * x
        rows.append(synthetic_faults(rng, (trend, 0.0, trend + 90.0, 0.0, 0.5), 1, noise_degrees=5.0)[0])
    faults = np.array(rows)
    grid = ([7.5, 7.5], [15.0, 15.0], [4, 4], [14.0, 14.0])
    # Cost first, as a user would: how many forward solutions the field takes.
    cost = kernels.field_cost(positions, faults, *grid)
    print(f"field_cost: {cost['nodes_to_invert']} of {cost['nodes']} nodes to invert, "
          f"{cost['forward_solutions']:,} forward solutions")
    field, stats = kernels.stress_field(positions, faults, *grid)
    print(f"inverted {stats['nodes_inverted']}, below threshold {stats['nodes_below_threshold']}, "
          f"without data {stats['nodes_without_data']}")
    for f in range(0, stats["nodes"], 5):
        x, y = field["positions"][f]
        if field["has_solution"][f]:
            trend, plunge = field["s1"][f]
            t, p, true_t = np.radians(trend), np.radians(plunge), np.radians(30.0 + 1.5 * x)
            # S1 is an axis: compare lines, not directions
            off = np.degrees(np.arccos(min(1.0, abs(np.cos(p) * np.cos(t - true_t)))))
            print(f"node ({x:4.1f}, {y:4.1f}): S1 {trend:5.1f}/{plunge:4.1f}, {off:4.1f} deg from the true axis, "
                  f"phi {field['phi'][f]:.1f}, misfit {field['misfit_degrees'][f]:5.2f} deg, "
                  f"support {field['support'][f]:4.1f}")
        else:
            print(f"node ({x:4.1f}, {y:4.1f}): no tensor (support {field['support'][f]:.1f})")


def mechanisms_section() -> None:
    print("== Focal mechanisms ==")
    # Kinematic axes of a normal fault and of the same plane slipping up-dip.
    faults = np.array([[0.0, 60.0, 90.0, 60.0], [0.0, 60.0, 270.0, -60.0]])
    axes = kernels.ptb_axes(faults)
    for row, kind in enumerate(("normal", "reverse")):
        p, t, b = (axes[key][row] for key in ("p", "t", "b"))
        print(f"{kind:7s} fault 0/60: P {p[0]:6.1f}/{p[1]:4.1f}  T {t[0]:6.1f}/{t[1]:4.1f}  "
              f"B {b[0]:6.1f}/{round(b[1], 1) + 0.0:4.1f}")
    # A small catalogue: three families (normal, thrust, strike-slip), each
    # member its family's mechanism turned by a few degrees about a random axis.
    rng = np.random.default_rng(7)
    families = [(270.0, 75.0, 90.0, 15.0), (90.0, 10.0, 0.0, 5.0), (45.0, 5.0, 135.0, 3.0)]
    rows: list[tuple[float, float, float, float]] = []
    for family in families:
        for _ in range(40):
            turned = kernels.rotate_focal_mechanism(*family, rng.uniform(0.0, 360.0), rng.uniform(-90.0, 90.0),
                                                    rng.normal(0.0, 6.0))
            rows.append((*turned["p"], *turned["t"]))
    catalogue = np.array(rows)[rng.permutation(len(rows))]
    matrix = kernels.kagan_angle_matrix(catalogue)
    upper = matrix[np.triu_indices(len(catalogue), 1)]
    print(f"{len(catalogue)} mechanisms, {upper.size} pairs: Kagan angles from {upper.min():.2f} to "
          f"{upper.max():.2f} degrees, median {np.median(upper):.2f}")
    # Single-linkage clustering: mechanisms closer than 20 degrees share a cluster.
    labels = np.full(len(catalogue), -1)
    for seed in range(len(catalogue)):
        if labels[seed] >= 0:
            continue
        labels[seed] = seed
        stack = [seed]
        while stack:
            i = stack.pop()
            for j in np.flatnonzero((matrix[i] < 20.0) & (labels < 0)):
                labels[j] = seed
                stack.append(int(j))
    clusters = [np.flatnonzero(labels == label) for label in np.unique(labels)]
    for members in sorted(clusters, key=len, reverse=True):
        p_trend, p_plunge, t_trend, t_plunge = catalogue[members[0]]
        print(f"cluster of {len(members):3d}: e.g. P {p_trend:6.1f}/{p_plunge:4.1f}, T {t_trend:6.1f}/{t_plunge:4.1f}")
    r = kernels.focal_mechanism_rotations(*families[0], *families[2])
    print("normal to strike-slip family: the four rotations (axis trend/plunge, angle):")
    for trend, plunge, angle in zip(r["trend"], r["plunge"], r["angle_degrees"]):
        print(f"  about {trend:6.1f}/{plunge:5.1f} by {angle:7.3f}")


def surfaces_section() -> None:
    print("== Surfaces against topography ==")
    # A 300 x 400 DEM of 10 m pixels: a ridge running north-south with some relief on it.
    rows, cols = np.indices((300, 400), dtype=float)
    dem = 400.0 + 120.0 * np.exp(-(((cols - 200.0) / 90.0) ** 2)) + 15.0 * np.sin(rows / 25.0)
    geotransform = (500000.0, 10.0, 0.0, 4200000.0, 0.0, -10.0)  # north-up, origin at the upper-left corner
    dem[140:150, 60:70] = -9999.0  # a patch of nodata
    # A bedding plane dipping 30 towards 110 through a point on the ridge crest.
    src = (502000.0, 4198500.0, 470.0)
    points, segments = kernels.intersect_plane_grid(dem, geotransform, src, 110.0, 30.0, nodata=-9999.0)
    ends = np.bincount(segments.ravel(), minlength=len(points))
    print(f"plane 110/30 through {src}: {len(points)} trace vertices, {len(segments)} chords, "
          f"{int(np.sum(ends == 1))} open ends, elevations {points[:, 2].min():.1f} to {points[:, 2].max():.1f} m")
    # The same plane as a triangulated surface, with a gentle fold superposed: 2 triangles per 200 m square.
    normal = np.array(kernels.plane_normal(110.0, 30.0))
    gx, gy = np.meshgrid(np.arange(500000.0, 504001.0, 200.0), np.arange(4197000.0, 4200001.0, 200.0))
    fold = 40.0 * np.sin((gy - 4197000.0) / 600.0)
    gz = src[2] - (normal[0] * (gx - src[0]) + normal[1] * (gy - src[1])) / normal[2] + fold
    vertices = np.column_stack([gx.ravel(), gy.ravel(), gz.ravel()])
    side = gx.shape[1]
    i = (np.arange(gx.shape[0] - 1)[:, None] * side + np.arange(side - 1)[None, :]).ravel()
    faces = np.vstack([np.column_stack([i, i + 1, i + side]), np.column_stack([i + 1, i + side + 1, i + side])])
    crossings, attitudes, triangles, stats = kernels.intersect_mesh_grid(dem, geotransform, vertices,
                                                                        faces.astype(np.int64), nodata=-9999.0)
    print(f"folded surface of {len(faces)} triangles: {len(crossings)} crossings from "
          f"{len(np.unique(triangles))} triangles; counters {stats}")
    # Attitudes back out of the crossings, on a 500 m grid.
    result = kernels.best_fit_planes(crossings, 500.0)
    if result is None:
        print("no crossings to fit")
        return
    field, fit_stats = result
    print(f"best-fit planes: {fit_stats['cells_fitted']} of {fit_stats['non_empty_cells']} cells fitted "
          f"({fit_stats['distinct_points']} distinct of {fit_stats['input_points']} points, "
          f"{fit_stats['cells_collinear']} collinear, {fit_stats['cells_too_few_points']} too sparse)")
    for (row, col), (dip_dir, dip), rms in list(zip(field["cells"], field["attitudes"], field["rms_distance"]))[:4]:
        print(f"  cell ({row}, {col}): dip direction {dip_dir:6.1f}, dip {dip:5.1f}, rms distance {rms:.2f} m")


def inversion_section() -> None:
    print("== Stress: the inversion ==")
    rng = np.random.default_rng(7)
    # A strike-slip regime: S1 horizontal towards 40, S3 horizontal towards 130, phi 0.3.
    known = (40.0, 0.0, 130.0, 0.0, 0.3)
    faults = synthetic_faults(rng, known, 60, noise_degrees=4.0)
    senses = rng.uniform(size=len(faults)) > 0.25  # a quarter of the senses of slip are unknown
    print(f"{kernels.inversion_candidate_count()} candidate tensors on the default 10-degree grid")
    result = kernels.invert_stress(faults, senses)
    if result is None:
        print("no candidate could be scored")
        return
    best = result["best"]

    def axis(t: tuple[float, float]) -> str:
        return f"{round(t[0], 1) + 0.0:6.1f}/{round(t[1], 1) + 0.0:5.1f}"

    print(f"known tensor:     S1 {known[0]:6.1f}/{known[1]:5.1f}, S3 {known[2]:6.1f}/{known[3]:5.1f}, phi {known[4]:.2f}")
    print(f"recovered tensor: S1 {axis(best['s1'])}, S3 {axis(best['s3'])}, phi {best['phi']:.2f}, "
          f"mean misfit {best['mean_misfit_degrees']:.3f} deg on {best['faults_scored']} faults")
    # A horizontal S1 is enumerated at both of its ends, so such tensors come in pairs.
    for rank, t in enumerate(result["runners_up"], start=2):
        print(f"  rank {rank}: S1 {axis(t['s1'])}, S3 {axis(t['s3'])}, phi {t['phi']:.2f}, "
              f"misfit {t['mean_misfit_degrees']:.3f}")
    # Weights: only the first half of the faults counts.
    weights = np.r_[np.ones(30), np.zeros(30)]
    half = kernels.invert_stress(faults, senses, weights)
    if half is None:
        return
    print(f"first half only: misfit {half['best']['mean_misfit_degrees']:.3f} deg, effective sample size "
          f"{half['best']['effective_sample_size']:.1f}; {half['candidates_scored']} of "
          f"{half['candidates_tried']} candidates scored")


def main() -> None:
    geometry_section()
    density_section()
    forward_stress_section()
    inversion_section()
    stress_field_section()
    mechanisms_section()
    surfaces_section()


if __name__ == "__main__":
    main()
