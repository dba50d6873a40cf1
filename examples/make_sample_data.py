"""Regenerates the sample data shipped in `velkor/data` (needs the `geo` extra).

    python examples/make_sample_data.py

The data are synthetic and deterministic:

* ``faults_fieldbook.csv``: 120 faults with slickenlines over a 20 km x 16 km
  area in the field-book notation of published tables (strike, dip, dip
  quadrant, pitch, pitch quadrant, sense) with positions in km. West of
  x = 10 km the slip follows an extensional tensor (S1 vertical, S3 trending
  100), east of it a strike-slip tensor (S1 trending 30, S3 trending 120),
  with 6 degrees of noise on the slip directions.
* ``dem.tif``: a 200 x 160 GeoTIFF of hills and a valley, 25 m pixels, in
  UTM zone 33N (EPSG:32633), float32 with a nodata hole.
"""

from __future__ import annotations

import pathlib

import numpy as np

from _velkor import kernels

HERE = pathlib.Path(__file__).resolve().parent.parent / "python" / "velkor" / "data"
EXTENSION = (0.0, 90.0, 100.0, 0.0, 0.5)
STRIKE_SLIP = (30.0, 0.0, 120.0, 0.0, 0.5)
POINTS = ("N", "NE", "E", "SE", "S", "SW", "W", "NW")


def compass(azimuth: float) -> str:
    return POINTS[int(((azimuth % 360.0) + 22.5) // 45.0) % 8]


def fault_rows(rng: np.random.Generator, count: int) -> list[str]:
    rows = ["strike,dip,dip_quadrant,pitch,pitch_quadrant,sense,x,y"]
    while len(rows) <= count:
        x, y = rng.uniform(0.0, 20.0), rng.uniform(0.0, 16.0)
        tensor = EXTENSION if x < 10.0 else STRIKE_SLIP
        strike, dip = rng.uniform(0.0, 360.0), rng.uniform(35.0, 88.0)
        predicted = kernels.solve_stress(*tensor, strike, dip)
        if not predicted["is_valid"] or predicted["theoretical_rake"] is None:
            continue
        rake = predicted["theoretical_rake"] + rng.normal(0.0, 6.0)
        rake = (rake + 180.0) % 360.0 - 180.0
        pitch = min(abs(rake), 180.0 - abs(rake))
        if not 3.0 < pitch < 87.0:
            continue
        # The pitch is read from the strike end towards which the line's lower half runs.
        along = np.cos(np.radians(rake)) * (1.0 if rake < 0 else -1.0)
        end = strike if along > 0 else strike + 180.0
        if abs(np.sin(np.radians(rake))) > abs(np.cos(np.radians(rake))):
            sense = "N" if rake < 0 else "R"
        else:
            sense = "S" if abs(rake) < 90 else "D"
        written_strike = strike % 180.0  # published tables often give strikes 0-180 with the quadrant
        rows.append(f"{written_strike:.0f},{dip:.0f},{compass(strike + 90.0)},{pitch:.0f},{compass(end)},"
                    f"{sense},{x:.3f},{y:.3f}")
    return rows


def write_dem(path: pathlib.Path) -> None:
    import rasterio  # type: ignore[import-untyped]
    from rasterio.transform import from_origin  # type: ignore[import-untyped]

    rows, columns, pixel = 160, 200, 25.0
    x = (np.arange(columns) + 0.5) * pixel
    y = (np.arange(rows) + 0.5) * pixel
    xx, yy = np.meshgrid(x, y)
    elevation = (600.0 + 0.08 * xx - 0.03 * yy
                 + 180.0 * np.exp(-((xx - 1500.0) ** 2 + (yy - 1800.0) ** 2) / (2 * 700.0 ** 2))
                 + 120.0 * np.exp(-((xx - 3800.0) ** 2 + (yy - 2600.0) ** 2) / (2 * 500.0 ** 2))
                 - 90.0 * np.exp(-((xx - 2600.0) ** 2) / (2 * 250.0 ** 2)))
    elevation = elevation.astype(np.float32)
    elevation[20:28, 150:160] = -9999.0  # a void, as surveys have
    transform = from_origin(500000.0, 4650000.0, pixel, pixel)
    with rasterio.open(path, "w", driver="GTiff", height=rows, width=columns, count=1, dtype="float32",
                       crs="EPSG:32633", transform=transform, nodata=-9999.0, compress="deflate") as dataset:
        dataset.write(elevation, 1)


def main() -> None:
    HERE.mkdir(exist_ok=True)
    rng = np.random.default_rng(1907)
    text = ["# Synthetic fault-slip data in field-book notation; positions x, y in km.",
            "# West of x = 10 km: extension (S1 vertical, S3 trending 100); east: strike-slip (S1 trending 30).",
            *fault_rows(rng, 120)]
    (HERE / "faults_fieldbook.csv").write_text("\n".join(text) + "\n")
    write_dem(HERE / "dem.tif")
    print(f"wrote {HERE / 'faults_fieldbook.csv'} and {HERE / 'dem.tif'}")


if __name__ == "__main__":
    main()
