"""The DEM container: elevations, GDAL geotransform, nodata and CRS, and reading rasters."""

from __future__ import annotations

import math
import numbers
import os
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, overload

import numpy as np

from . import _traces
from ._cast import Float64Array, _as_numeric, _describe_shape, real
from ._optional import require

if TYPE_CHECKING:
    from affine import Affine

__all__ = ["Dem", "GeoTransform", "crs_string", "geotransform_tuple", "read_dem"]

GeoTransform = tuple[float, float, float, float, float, float]

_GDAL_ORDER = ("(x of the upper-left corner, pixel width, row rotation, "
               "y of the upper-left corner, column rotation, pixel height)")


def _pixel_is_rectangle(column_step: tuple[float, float], row_step: tuple[float, float]) -> bool:
    """Two pixel sides that meet at a right angle (to 1e-6) and differ at most 1000-fold in length."""
    lengths = math.hypot(*column_step), math.hypot(*row_step)
    if not (min(lengths) > 0.0 and max(lengths) <= 1000.0 * min(lengths)):
        return False
    cosine = abs(column_step[0] * row_step[0] + column_step[1] * row_step[1]) / (lengths[0] * lengths[1])
    return cosine <= 1e-6


def _pixel_is_absurd(column_step: tuple[float, float], row_step: tuple[float, float]) -> bool:
    """Pixel sides of no area, more than 1000-fold different in length, or meeting at under 60 degrees."""
    lengths = math.hypot(*column_step), math.hypot(*row_step)
    if not min(lengths) > 0.0 or max(lengths) > 1000.0 * min(lengths):
        return True
    cosine = abs(column_step[0] * row_step[0] + column_step[1] * row_step[1]) / (lengths[0] * lengths[1])
    return cosine > 0.5


def geotransform_tuple(value: Any, name: str = "geotransform") -> GeoTransform:
    """A checked GDAL geotransform from six numbers or a rasterio/affine ``Affine``.

    GDAL order is (x of the upper-left corner, pixel width, row rotation, y of
    the upper-left corner, column rotation, pixel height); an ``Affine(a, b, c,
    d, e, f)`` is the same transform as ``(c, a, b, f, d, e)``.

    Six numbers are refused as being in rasterio/affine order when, read in
    that order, their pixel is a rectangle (sides at right angles to 1e-6 and
    at most 1000-fold different in length) while, read in GDAL order, the
    pixel has no area, has sides more than 1000-fold different in length, or
    sides meeting at under 60 degrees: no DEM has such pixels, and reading
    ``(30, 0, 500000, 0, -30, 4200000)`` as GDAL would place the raster's rows
    4 million map units apart. Also refused: entries that are not finite
    numbers, and a determinant ``gt[1] * gt[5] - gt[2] * gt[4]`` of zero.

    Parameters
    ----------
    value : sequence of six numbers or affine.Affine
    name : str
        The argument's name, for messages.

    Returns
    -------
    tuple of six float

    Raises
    ------
    TypeError
        For something that is neither six numbers nor an Affine.
    ValueError
        For nine numbers (``tuple(Affine)``), another length, entries that are
        not finite, a degenerate transform or one in Affine order.

    Examples
    --------
    >>> from affine import Affine
    >>> geotransform_tuple(Affine(10.0, 0.0, 100.0, 0.0, -10.0, 500.0))
    (100.0, 10.0, 0.0, 500.0, 0.0, -10.0)
    """
    to_gdal = getattr(value, "to_gdal", None)
    if callable(to_gdal):
        value = tuple(to_gdal())
    if isinstance(value, (str, bytes, Mapping)) or not isinstance(value, (Sequence, np.ndarray)):
        raise TypeError(f"{name} must be six numbers in GDAL order {_GDAL_ORDER} or an Affine, "
                        f"got {type(value).__name__}")
    entries = list(np.asarray(value, dtype=object).ravel()) if isinstance(value, np.ndarray) else list(value)
    if len(entries) == 9:
        raise ValueError(f"{name} has 9 numbers, as tuple(Affine) gives; pass the Affine itself or "
                         f"transform.to_gdal(), six numbers in GDAL order {_GDAL_ORDER}")
    if len(entries) != 6:
        raise ValueError(f"{name} must have 6 numbers in GDAL order {_GDAL_ORDER}, got {len(entries)}")
    gt = tuple(real(entry, f"{name}[{index}]") for index, entry in enumerate(entries))
    gt6: GeoTransform = (gt[0], gt[1], gt[2], gt[3], gt[4], gt[5])
    if _pixel_is_rectangle((gt6[0], gt6[3]), (gt6[1], gt6[4])) and \
            _pixel_is_absurd((gt6[1], gt6[4]), (gt6[2], gt6[5])):
        as_gdal = (gt6[2], gt6[0], gt6[1], gt6[5], gt6[3], gt6[4])
        raise ValueError(f"{name} {gt6} is in rasterio/affine order (a, b, c, d, e, f), not in GDAL order "
                         f"{_GDAL_ORDER}; pass the Affine itself or transform.to_gdal(), which gives {as_gdal}")
    if gt6[1] * gt6[5] - gt6[2] * gt6[4] == 0.0:
        raise ValueError(f"{name} {gt6} is degenerate: gt[1]*gt[5] - gt[2]*gt[4] is 0, so its pixels have no area")
    return gt6


def crs_string(crs: Any) -> str | None:
    if crs is None:
        return None
    if isinstance(crs, (bool, np.bool_)):
        raise TypeError(f"crs must be a string, an EPSG code or a CRS object, got {crs!r}")
    if isinstance(crs, numbers.Integral):
        return f"EPSG:{int(crs)}"
    if isinstance(crs, str):
        if not crs.strip():
            raise ValueError("crs is an empty string; pass None for no CRS")
        return crs
    to_string = getattr(crs, "to_string", None)
    if callable(to_string):
        text = to_string()
        if isinstance(text, str) and text:
            return text
    to_wkt = getattr(crs, "to_wkt", None)
    if callable(to_wkt):
        return str(to_wkt())
    raise TypeError(f"crs must be a string, an EPSG code or a CRS object, got {type(crs).__name__}")


def _elevation(value: Any, nodata: float | None) -> tuple[Float64Array, float | None]:
    """Elevations as a private read-only float64 copy, masked cells written as nodata (or NaN)."""
    mask = None
    if isinstance(value, np.ma.MaskedArray):
        mask = np.ma.getmaskarray(value)
        value = value.data
    array = _as_numeric(value, "elevation")
    if array.ndim != 2:
        raise ValueError(f"elevation must be a 2-D array (rows, columns), got shape {_describe_shape(array.shape)}")
    if array.size == 0:
        raise ValueError(f"elevation is empty: got shape {_describe_shape(array.shape)}")
    if nodata is not None and math.isfinite(nodata) and array.dtype.kind == "f" and array.itemsize < 8:
        # A float32 raster stores its nodata as a float32: -3.4028235e38 is float32's lowest value.
        with np.errstate(over="ignore"):
            rounded = float(np.array(nodata, dtype=array.dtype))
        if math.isfinite(rounded):
            nodata = rounded
    elevation = np.array(array, dtype=np.float64, order="C", copy=True)
    if mask is not None and mask.any():
        elevation[mask] = math.nan if nodata is None else nodata
    elevation.setflags(write=False)
    return elevation, nodata


@dataclass(frozen=True, eq=False)
class Dem:
    """A digital elevation model: elevations placed in map coordinates.

    A frozen container. Node (r, c), the elevation ``elevation[r, c]``, sits at
    the centre of its pixel: x = gt[0] + (c + 0.5) * gt[1] + (r + 0.5) * gt[2]
    and y = gt[3] + (c + 0.5) * gt[4] + (r + 0.5) * gt[5]. A node is void when
    its elevation equals `nodata` or is not finite; the traces stop at voids.

    Parameters
    ----------
    elevation : array_like, shape (rows, columns)
        Any real dtype (float32 rasters, int16 DEMs, lists). A masked array's
        masked cells become `nodata`, or NaN when there is none. Stored as a
        read-only C-contiguous float64 copy.
    geotransform : sequence of six float or affine.Affine
        GDAL order (x of the upper-left corner, pixel width, row rotation, y of
        the upper-left corner, column rotation, pixel height), as rasterio's
        ``transform.to_gdal()`` gives it; an ``Affine`` is converted. See
        `geotransform_tuple` for what is refused.
    nodata : float, optional
        The value that marks void cells. For a float32 raster it is rounded to
        float32, as the raster stores it.
    crs : str, int or CRS, optional
        Kept as a string: "EPSG:xxxx", WKT or whatever the CRS object's
        ``to_string()`` gives; an integer is an EPSG code.

    Raises
    ------
    ValueError
        For elevations that are not 2-D (the message gives the shape) or are
        empty, and for a geotransform that is refused.
    TypeError
        For values that are not numbers.

    Examples
    --------
    >>> dem = Dem([[10, 11], [12, 13]], (100.0, 10.0, 0.0, 500.0, 0.0, -10.0), crs=32633)
    >>> dem.shape, dem.crs, dem.xy(0, 0)
    ((2, 2), 'EPSG:32633', (105.0, 495.0))
    """

    elevation: Float64Array
    geotransform: GeoTransform
    nodata: float | None = None
    crs: str | None = None

    def __post_init__(self) -> None:
        nodata = self.nodata
        if nodata is not None:
            if isinstance(nodata, (bool, np.bool_)) or not isinstance(nodata, numbers.Real):
                raise TypeError(f"nodata must be a number or None, got {type(nodata).__name__} {nodata!r}")
            nodata = float(nodata)
        elevation, nodata = _elevation(self.elevation, nodata)
        object.__setattr__(self, "elevation", elevation)
        object.__setattr__(self, "geotransform", geotransform_tuple(self.geotransform))
        object.__setattr__(self, "nodata", nodata)
        object.__setattr__(self, "crs", crs_string(self.crs))

    def __repr__(self) -> str:
        return (f"Dem(shape={self.shape}, geotransform={self.geotransform}, nodata={self.nodata!r}, "
                f"crs={self.crs!r})")

    @property
    def shape(self) -> tuple[int, int]:
        """(rows, columns)."""
        rows, columns = self.elevation.shape
        return int(rows), int(columns)

    @property
    def bounds(self) -> tuple[float, float, float, float]:
        """(x min, y min, x max, y max) of the raster's outer pixel edges, as rasterio's bounds."""
        gt, (rows, columns) = self.geotransform, self.shape
        xs = [gt[0] + c * gt[1] + r * gt[2] for r in (0, rows) for c in (0, columns)]
        ys = [gt[3] + c * gt[4] + r * gt[5] for r in (0, rows) for c in (0, columns)]
        return min(xs), min(ys), max(xs), max(ys)

    @property
    def affine(self) -> Affine:
        """The geotransform as an ``affine.Affine`` (needs rasterio)."""
        transform = require("rasterio.transform", "Dem.affine")
        result: Affine = transform.Affine.from_gdal(*self.geotransform)
        return result

    @overload
    def xy(self, row: int, column: int) -> tuple[float, float]: ...

    @overload
    def xy(self, row: Any, column: Any) -> tuple[Any, Any]: ...

    def xy(self, row: Any, column: Any) -> tuple[Any, Any]:
        """Map position of node (row, column), the pixel centre, exactly as the kernels place it.

        Examples
        --------
        >>> Dem([[0.0, 0.0, 0.0]] * 3, (100, 10, 0, 500, 0, -10)).xy([0, 2], [0, 1])
        (array([105., 115.]), array([495., 475.]))
        """
        gt = self.geotransform
        r = np.asarray(row, dtype=np.float64) + 0.5
        c = np.asarray(column, dtype=np.float64) + 0.5
        x = gt[0] + c * gt[1] + r * gt[2]
        y = gt[3] + c * gt[4] + r * gt[5]
        if x.ndim == 0:
            return float(x), float(y)
        return x, y

    def _raster(self) -> _traces.Raster:
        return _traces.Raster(self.elevation, self.geotransform, self.nodata)


def _is_remote(path: str) -> bool:
    return "://" in path or path.startswith("/vsi")


def read_dem(path: str | os.PathLike[str], band: int = 1) -> Dem:
    """Read a DEM raster (GeoTIFF or any format GDAL reads) with rasterio.

    Parameters
    ----------
    path : str or path-like
        The raster file (or a GDAL virtual path such as ``/vsizip/...``).
    band : int
        The band holding the elevations, counted from 1.

    Returns
    -------
    Dem
        Elevations as float64; the geotransform (``transform.to_gdal()``), the
        band's nodata value and the CRS as the file gives them. Cells masked
        by GDAL's mask band hold nodata, or NaN when the band has none. A band
        with a scale or offset is returned in real units, its void cells NaN
        and ``nodata`` None.

    Raises
    ------
    ImportError
        When rasterio is missing (install ``velkor[geo]``).
    FileNotFoundError
        When the file does not exist.
    ValueError
        For a band that does not exist, or a raster with no geotransform.
    OSError
        When GDAL cannot read the file.

    Examples
    --------
    >>> dem = read_dem("dem.tif")  # doctest: +SKIP
    >>> dem.shape, dem.crs  # doctest: +SKIP
    ((1201, 1201), 'EPSG:32633')
    """
    rasterio = require("rasterio", "velkor.read_dem")
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path must be a file name, got {type(path).__name__}")
    name = os.fspath(path)
    if isinstance(band, (bool, np.bool_)) or not isinstance(band, numbers.Integral):
        raise TypeError(f"band must be a whole number counted from 1, got {band!r}")
    if not _is_remote(name) and not os.path.exists(name):
        raise FileNotFoundError(f"DEM file not found: {name}")
    errors = require("rasterio.errors", "velkor.read_dem")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", errors.NotGeoreferencedWarning)
            with rasterio.open(name) as dataset:
                if not 1 <= int(band) <= dataset.count:
                    raise ValueError(f"band {band} does not exist: {name} has {dataset.count} "
                                     f"band{'s' if dataset.count != 1 else ''}, counted from 1")
                index = int(band) - 1
                if dataset.transform.is_identity and not dataset.gcps[0]:
                    raise ValueError(f"{name} is not georeferenced (it has no geotransform); "
                                     "build a velkor.Dem from its array and a geotransform instead")
                data = dataset.read(int(band), masked=True)
                nodata = dataset.nodatavals[index]
                scale, offset = dataset.scales[index], dataset.offsets[index]
                geotransform = dataset.transform.to_gdal()
                crs = dataset.crs.to_string() if dataset.crs else None
    except errors.RasterioIOError as error:
        raise OSError(f"could not read the DEM {name}: {error}") from None
    if scale not in (None, 1.0) or offset not in (None, 0.0):
        scaled = np.ma.asarray(data).astype(np.float64) * (1.0 if scale is None else scale) + (offset or 0.0)
        return Dem(np.ma.filled(scaled, math.nan), geotransform, None, crs)
    return Dem(data, geotransform, None if nodata is None else float(nodata), crs)
