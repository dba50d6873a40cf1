"""Sample data shipped with the package, for examples and first steps."""

from __future__ import annotations

import pathlib

__all__ = ["sample_data"]

_FOLDER = pathlib.Path(__file__).resolve().parent / "data"


def sample_data(name: str) -> pathlib.Path:
    """Path of a sample file shipped with velkor.

    Parameters
    ----------
    name : str
        ``"faults_fieldbook.csv"``: 120 synthetic faults with slickenlines in
        the field-book notation of published tables, with x, y positions in km
        (extension in the west, strike-slip in the east); ``"dem.tif"``: a
        200 x 160 GeoTIFF DEM, 25 m pixels, EPSG:32633, with a nodata hole.

    Returns
    -------
    pathlib.Path

    Examples
    --------
    >>> import velkor
    >>> velkor.sample_data("faults_fieldbook.csv").name
    'faults_fieldbook.csv'
    """
    path = _FOLDER / name
    if not path.is_file():
        available = ", ".join(sorted(p.name for p in _FOLDER.iterdir() if not p.name.startswith(".")))
        raise ValueError(f"no sample file {name!r}; the samples are: {available}")
    return path
