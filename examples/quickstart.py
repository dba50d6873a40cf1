"""A tour of velkor on its bundled sample data and on generated data.

Run after `pip install .`:  python examples/quickstart.py [OUTPUT_FOLDER]

Every section prints real results; the figures, a GeoJSON trace, a JSON
solution and a Zarr store of the stress field go to OUTPUT_FOLDER
(``quickstart_output`` by default).
"""

from __future__ import annotations

import json
import pathlib
import sys

import matplotlib

matplotlib.use("Agg")  # figures are written to files; no screen needed

import numpy as np

import velkor
from velkor import kernels, plot


def save(axes: object, folder: pathlib.Path, name: str) -> None:
    import matplotlib.pyplot as plt

    figure = getattr(axes, "figure")  # noqa: B009 (axes is typed as a plain object here)
    path = folder / name
    figure.savefig(path, dpi=120, bbox_inches="tight")
    plt.close(figure)
    print(f"  figure: {path}")


def paleostress(folder: pathlib.Path) -> velkor.FaultSet:
    print("== Paleostress from a field-book table ==")
    path = velkor.sample_data("faults_fieldbook.csv")
    faults = velkor.read_faults(path)
    assert faults.positions is not None
    print(f"{len(faults)} faults read from {path.name} (strike, dip, dip quadrant, pitch, pitch quadrant, sense)")
    west = faults.subset(faults.positions[:, 0] < 10.0)
    east = faults.subset(faults.positions[:, 0] >= 10.0)
    for name, subset in (("west", west), ("east", east)):
        solution = velkor.invert(subset)
        print(f"-- {name} domain, {len(subset)} faults --")
        print(solution.summary())
        save(plot.stereonet(solution, faults=subset), folder, f"stereonet_{name}.png")
        (folder / f"solution_{name}.json").write_text(json.dumps(solution.to_dict(), indent=2) + "\n")
    mixed = velkor.invert(faults)
    print(f"-- both domains at once: mean misfit {mixed.mean_misfit_degrees:.1f} degrees, "
          f"{len(mixed.alternatives)} distinct alternatives: two stress states do not make one --")
    return faults


def stress_field(faults: velkor.FaultSet, folder: pathlib.Path) -> None:
    print("== Regional stress field ==")
    store = folder / "stress_field.zarr"
    field = velkor.stress_field(faults, spacing=2.0, bandwidth=4.0, margin=1.0, min_support=4.0,
                                angle_step_degrees=15.0, phi_step=0.25, progress=False, store=str(store))
    regimes, counts = np.unique(field["regime"].values[field["has_solution"].values], return_counts=True)
    print(f"{field.attrs['nodes_inverted']} of {field.attrs['nodes']} nodes inverted; regimes "
          + ", ".join(f"{r} {c}" for r, c in zip(regimes.tolist(), counts.tolist())))
    # The store holds every finished slab: a second run with the same arguments reads it back.
    again = velkor.stress_field(faults, spacing=2.0, bandwidth=4.0, margin=1.0, min_support=4.0,
                                angle_step_degrees=15.0, phi_step=0.25, progress=False, store=str(store))
    print(f"rerun from {store.name}: identical bytes = {bool(again['phi'].values.tobytes() == field['phi'].values.tobytes())}")
    save(plot.field_map(field), folder, "stress_field.png")


def density_map(folder: pathlib.Path) -> None:
    print("== Density of epicentres ==")
    rng = np.random.default_rng(42)
    epicentres = np.concatenate([rng.normal((30.0, 20.0), (6.0, 4.0), (3000, 2)),
                                 rng.normal((70.0, 40.0), (3.0, 3.0), (1500, 2))])
    density = velkor.density(epicentres, spacing=0.5, bandwidth=4.0, margin=5.0)
    peak = density.where(density == density.max(), drop=True)
    print(f"grid {dict(density.sizes)}; densest node at x={float(peak['x'][0]):.1f}, y={float(peak['y'][0]):.1f} km: "
          f"{float(density.max()):.3f} events/km^2; total {float(density.sum()) * 0.25:.0f} of {len(epicentres)}")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(7, 4))
    image = axes.pcolormesh(density["x"], density["y"], density.values, cmap="magma", shading="nearest")
    figure.colorbar(image, ax=axes, label="events / km$^2$")
    axes.set_aspect("equal")
    axes.set_xlabel("x (km)")
    axes.set_ylabel("y (km)")
    save(axes, folder, "density.png")


def mechanisms(folder: pathlib.Path) -> None:
    print("== Focal mechanisms ==")
    rng = np.random.default_rng(7)
    # Three families of a catalogue in strike/dip/rake: normal, thrust, strike-slip, each scattered a little.
    families = [(0.0, 50.0, -90.0), (90.0, 30.0, 90.0), (45.0, 85.0, 0.0)]
    sdr = np.array([np.array(f) + rng.normal(0.0, 6.0, 3) for f in families for _ in range(40)])
    sdr[:, 1] = np.clip(sdr[:, 1], 1.0, 89.0)
    catalogue = velkor.mechanisms_from_sdr(sdr[:, 0], sdr[:, 1], sdr[:, 2])
    matrix = velkor.kagan_matrix(catalogue)
    upper = matrix[np.triu_indices(len(catalogue), 1)]
    within = [matrix[i:i + 40, i:i + 40][np.triu_indices(40, 1)].mean() for i in (0, 40, 80)]
    print(f"{len(catalogue)} mechanisms: Kagan angles {upper.min():.1f} to {upper.max():.1f} degrees; mean within "
          f"the families {', '.join(f'{w:.1f}' for w in within)}")
    save(plot.kagan_matrix(matrix), folder, "kagan_matrix.png")


def topography(folder: pathlib.Path) -> None:
    print("== A bedding plane on a DEM ==")
    dem = velkor.read_dem(velkor.sample_data("dem.tif"))
    print(f"DEM {dem.elevation.shape}, CRS {dem.crs}, nodata {dem.nodata}")
    point, dip_direction, dip = (501800.0, 4648200.0, 720.0), 110.0, 25.0
    traces = velkor.plane_trace(dem, point, dip_direction, dip)
    closed = sum(bool(np.array_equal(t[0], t[-1])) for t in traces)
    print(f"plane {dip_direction:.0f}/{dip:.0f} through {point}: {len(traces)} trace lines ({closed} closed), "
          f"{sum(len(t) for t in traces)} vertices")
    geojson = folder / "bedding_trace.geojson"
    geojson.write_text(json.dumps(velkor.to_geojson(traces, crs=dem.crs)))
    print(f"  GeoJSON: {geojson}")
    save(plot.trace_map(dem, traces), folder, "bedding_trace.png")
    # The attitude read back from the traced points, per 1 km cell.
    points = np.concatenate(traces)
    table = velkor.best_fit_planes(points, 1000.0)
    print(f"best-fit planes in {len(table)} cells: dip directions {np.round(table['dip_direction'], 1).tolist()[:4]}, "
          f"dips {np.round(table['dip'], 1).tolist()[:4]}")


def kernels_directly() -> None:
    print("== The kernels underneath ==")
    print(f"upward normal of 120/35: {np.round(kernels.plane_normal(120.0, 35.0), 6).tolist()}")
    slip = kernels.solve_stress(0.0, 90.0, 90.0, 0.0, 0.5, 0.0, 60.0)
    print(f"normal-fault tensor on plane 0/60: rake {slip['theoretical_rake']}, "
          f"slip tendency {slip['slip_tendency']:.3f}")
    print(f"{kernels.inversion_candidate_count()} candidate tensors on the default 10-degree search")


def main() -> None:
    folder = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "quickstart_output").resolve()
    folder.mkdir(parents=True, exist_ok=True)
    print(f"velkor {velkor.__version__}; writing to {folder}")
    faults = paleostress(folder)
    stress_field(faults, folder)
    density_map(folder)
    mechanisms(folder)
    topography(folder)
    kernels_directly()


if __name__ == "__main__":
    main()
