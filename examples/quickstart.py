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


def main() -> None:
    geometry_section()


if __name__ == "__main__":
    main()
