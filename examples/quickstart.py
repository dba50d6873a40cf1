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


def main() -> None:
    geometry_section()
    density_section()


if __name__ == "__main__":
    main()
