"""Topography: DEM rasters, traces of planes and meshes on them, GeoJSON, best-fit planes.

A `Dem` holds float64 elevations with their GDAL geotransform, nodata value
and CRS; `read_dem` reads one with rasterio. `plane_trace` and `mesh_trace`
cut a plane or a triangulated surface against it and chain the kernels'
crossings into polylines whose vertices are the kernels' own values;
`to_geojson` writes them for a GIS. `best_fit_planes` reads attitudes back out
of located points, such as a trace.
"""

from __future__ import annotations

import importlib
import math
import numbers
import os
import re
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal, cast, overload

import numpy as np
from numpy.typing import NDArray

from . import _traces, kernels
from ._cast import (
    Float64Array,
    Int64Array,
    _as_numeric,
    _describe_shape,
    float_array,
    real,
)
from ._optional import require

if TYPE_CHECKING:
    from affine import Affine

__all__ = [
    "BEST_FIT_DTYPE",
    "Dem",
    "MeshTrace",
    "best_fit_planes",
    "geotransform_tuple",
    "mesh_trace",
    "mesh_trace_details",
    "plane_trace",
    "read_dem",
    "to_geojson",
]

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


def _crs_string(crs: Any) -> str | None:
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
        object.__setattr__(self, "crs", _crs_string(self.crs))

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


def _as_dem(dem: Any) -> Dem:
    if isinstance(dem, Dem):
        return dem
    if isinstance(dem, (str, os.PathLike)):
        return read_dem(dem)
    raise TypeError(f"dem must be a velkor.Dem (velkor.read_dem reads one; velkor.Dem(elevation, geotransform) "
                    f"builds one) or a raster file name, got {type(dem).__name__}")


def _angle(value: Any, name: str, low: float | None = None, high: float | None = None) -> float:
    number = real(value, name)
    if low is not None and high is not None and not low <= number <= high:
        raise ValueError(f"{name} must be between {low:g} and {high:g} degrees, got {number}")
    return number


def plane_trace(dem: Dem, point: Any, dip_direction: float, dip: float) -> list[Float64Array]:
    """Where a plane, given by a located point and its attitude, cuts the topography.

    Parameters
    ----------
    dem : Dem or path
        The topography (a file name is read with `read_dem`).
    point : array_like, shape (3,)
        A point of the plane, (x, y, z) in the DEM's map units and elevations.
    dip_direction : float
        Degrees clockwise from North (any finite value; 360 wraps).
    dip : float
        Degrees below horizontal, from 0 to 90.

    Returns
    -------
    list of numpy.ndarray, shape (K, 3)
        One float64 array of (x, y, z) vertices per polyline, the kernel's own
        vertices chained through the chords that share them; a trace stops at
        void cells and at the raster's edge. A closed ring repeats its first
        vertex at the end. Polylines come in the order of their first chord in
        the kernel's row-major march, each walked so that this chord runs
        forward. A DEM node lying exactly on the plane counts as above it and
        is itself a vertex, so a polyline may hold the same position twice in
        a row. Empty when the plane misses the terrain.

    Examples
    --------
    >>> y, x = np.mgrid[0:5, 0:5]
    >>> dem = Dem(x * 10.0, (0.0, 10.0, 0.0, 50.0, 0.0, -10.0))  # rises 1 m per metre eastward
    >>> [line[:, 0].tolist() for line in plane_trace(dem, (20, 0, 15), 90, 0)]
    [[20.0, 20.0, 20.0, 20.0, 20.0]]
    """
    surface = _as_dem(dem)
    anchor = float_array(point, "point", finite=True)
    if anchor.shape != (3,):
        raise ValueError(f"point must be (x, y, z), shape (3,), got shape {_describe_shape(anchor.shape)}")
    points, segments = kernels.intersect_plane_grid(surface.elevation, list(surface.geotransform),
                                                    anchor.tolist(), _angle(dip_direction, "dip_direction"),
                                                    _angle(dip, "dip", 0.0, 90.0), surface.nodata)
    return [points[path] for path in _traces.chain(segments)]


def _faces_array(faces: Any, vertex_count: int) -> Int64Array:
    array = _as_numeric(faces, "faces")
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(f"faces must have shape (F, 3), got shape {_describe_shape(array.shape)}")
    if array.dtype.kind == "f" and not (np.isfinite(array).all() and (array == np.floor(array)).all()):
        index = tuple(np.argwhere(~(np.isfinite(array) & (array == np.floor(array))))[0])
        raise ValueError(f"faces row {index[0]}, column {index[1]} is {array[index]}: "
                         "vertex indices must be whole numbers")
    if array.size and (array.min() < 0 or array.max() >= vertex_count):
        bad = (array < 0) | (array >= vertex_count)
        row, column = np.argwhere(bad)[0]
        raise ValueError(f"faces row {row}, column {column} is {array[row, column]}: vertex indices run from 0 "
                         f"to {vertex_count - 1} for {vertex_count} vertices")
    return np.ascontiguousarray(array, dtype=np.int64)


@dataclass(frozen=True, eq=False)
class MeshTrace:
    """Where a triangulated surface cuts the topography, with the attitudes along the trace.

    Attributes
    ----------
    polylines : tuple of numpy.ndarray, shape (K, 3)
        As `mesh_trace` returns them.
    attitudes : tuple of numpy.ndarray, shape (K, 2)
        Dip direction and dip (degrees) of the mesh triangle that produced each
        vertex: a located attitude measurement at every vertex.
    mesh_triangles : tuple of numpy.ndarray, shape (K,)
        Index in `faces` of that triangle.
    rows : tuple of numpy.ndarray, shape (K,)
        The kernel's row of each vertex (the first of the rows at one place).
    stats : dict
        The kernel's counters: mesh_triangles, degenerate_mesh_triangles,
        mesh_triangles_outside_grid, dem_triangle_pairs, coplanar_sides,
        duplicate_crossings.
    crossings : int
        Rows the kernel returned; every one lies at a vertex of a polyline.
    """

    polylines: tuple[Float64Array, ...]
    attitudes: tuple[Float64Array, ...]
    mesh_triangles: tuple[Int64Array, ...]
    rows: tuple[Int64Array, ...]
    stats: dict[str, int]
    crossings: int


def mesh_trace_details(dem: Dem, vertices: Any, faces: Any) -> MeshTrace:
    """Trace a triangulated surface on the topography, keeping each vertex's attitude.

    See `mesh_trace` for the arguments and how crossings are chained.

    Returns
    -------
    MeshTrace

    Examples
    --------
    >>> y, x = np.mgrid[0:5, 0:5]
    >>> dem = Dem(x * 10.0, (0.0, 10.0, 0.0, 50.0, 0.0, -10.0))
    >>> trace = mesh_trace_details(dem, [[0, 0, 25], [60, 0, 25], [0, 60, 25]], [[0, 1, 2]])
    >>> trace.attitudes[0][0].tolist(), trace.stats["mesh_triangles"]
    ([0.0, 0.0], 1)
    """
    surface = _as_dem(dem)
    corners = float_array(vertices, "vertices", finite=True)
    if corners.ndim != 2 or corners.shape[1] != 3:
        raise ValueError(f"vertices must have shape (V, 3), got shape {_describe_shape(corners.shape)}")
    triangles = _faces_array(faces, corners.shape[0])
    points, attitudes, mesh_triangles, stats = kernels.intersect_mesh_grid(
        surface.elevation, list(surface.geotransform), corners, triangles, surface.nodata)
    site, links = _traces.mesh_links(surface._raster(), points, mesh_triangles, corners, triangles)
    site_count = int(site.max()) + 1 if site.size else 0
    first_row = np.full(site_count, points.shape[0], dtype=np.int64)
    np.minimum.at(first_row, site, np.arange(points.shape[0], dtype=np.int64))
    paths = _traces.chain(links)
    joined = np.zeros(site_count, dtype=bool)
    for path in paths:
        joined[path] = True
    # Sites that nothing joins stay as one-vertex polylines, so that no crossing is lost.
    paths += [[s] for s in np.flatnonzero(~joined).tolist()]
    paths.sort(key=min)
    rows = tuple(first_row[path] for path in paths)
    return MeshTrace(tuple(points[r] for r in rows), tuple(attitudes[r] for r in rows),
                     tuple(mesh_triangles[r] for r in rows), rows, dict(cast("dict[str, int]", stats)),
                     int(points.shape[0]))


def mesh_trace(dem: Dem, vertices: Any, faces: Any) -> list[Float64Array]:
    """Where a triangulated surface (a folded horizon, a fault) cuts the topography.

    Parameters
    ----------
    dem : Dem or path
        The topography (a file name is read with `read_dem`).
    vertices : array_like, shape (V, 3)
        Mesh vertex coordinates (x, y, z) in the DEM's map units.
    faces : array_like of int, shape (F, 3)
        Vertex indices of each triangle (the shape a VTK polydata file gives).

    Returns
    -------
    list of numpy.ndarray, shape (K, 3)
        One float64 polyline per connected piece of the trace, its vertices
        the kernel's crossings on the DEM's triangle sides. Crossings of one
        mesh triangle on two sides of one DEM triangle are joined; where the
        trace passes from one mesh triangle to the next inside a DEM triangle
        it is followed across the mesh (vertices welded by position) to the
        next crossing. A mesh edge crossing a DEM side yields one vertex, not
        one per mesh triangle. A trace stops at voids, at the raster's edge,
        at the mesh's boundary and at edges shared by three or more
        triangles. A closed ring repeats its first vertex; a crossing that
        nothing joins is a one-vertex polyline. Ordered by the kernel's first
        row in each polyline. `mesh_trace_details` adds attitudes.

    Raises
    ------
    ValueError
        For shapes other than (V, 3) and (F, 3), non-finite vertices and face
        indices that are not whole numbers in range (each message names the
        row).

    Examples
    --------
    >>> y, x = np.mgrid[0:5, 0:5]
    >>> dem = Dem(x * 10.0, (0.0, 10.0, 0.0, 50.0, 0.0, -10.0))
    >>> horizon = [[-100, -100, 25], [200, -100, 25], [-100, 200, 25]]  # horizontal, 25 m
    >>> lines = mesh_trace(dem, horizon, [[0, 1, 2]])
    >>> len(lines), lines[0][:, 0].tolist()
    (1, [30.0, 30.0, 30.0, 30.0, 30.0, 30.0, 30.0, 30.0, 30.0])
    """
    return list(mesh_trace_details(dem, vertices, faces).polylines)


_EPSG_PATTERNS = (re.compile(r"^\s*epsg:(\d+)\s*$", re.IGNORECASE),
                  re.compile(r"^\s*urn:ogc:def:crs:epsg:[^:]*:(\d+)\s*$", re.IGNORECASE),
                  re.compile(r"^\s*https?://www\.opengis\.net/def/crs/epsg/[^/]*/(\d+)\s*$", re.IGNORECASE))


def _epsg_code(crs: str) -> int | None:
    for pattern in _EPSG_PATTERNS:
        match = pattern.match(crs)
        if match:
            return int(match.group(1))
    try:  # rasterio knows the codes of WKT and PROJ strings; without it they are written as they are
        crs_module = importlib.import_module("rasterio.crs")
    except ImportError:
        return None
    try:
        code = crs_module.CRS.from_user_input(crs).to_epsg()
    except Exception:  # noqa: BLE001 - rasterio raises its own CRSError or GDAL's errors
        return None
    return None if code is None else int(code)


def _crs_member(crs: Any) -> dict[str, Any] | None:
    text = _crs_string(crs)
    if text is None:
        return None
    code = _epsg_code(text)
    if code == 4326:
        name = "urn:ogc:def:crs:OGC:1.3:CRS84"  # longitude first, as GeoJSON writes positions
    elif code is not None:
        name = f"urn:ogc:def:crs:EPSG::{code}"
    else:
        name = text  # GDAL reads WKT and PROJ strings here too
    return {"type": "name", "properties": {"name": name}}


def _json_value(value: Any, where: str) -> Any:
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, bool):
        return value
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, numbers.Real):
        number = float(value)
        return number if math.isfinite(number) else None
    if isinstance(value, np.ndarray):
        value = value.tolist()
    if isinstance(value, Mapping):
        return {str(k): _json_value(v, f"{where}[{k!r}]") for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_value(v, f"{where}[{i}]") for i, v in enumerate(value)]
    raise TypeError(f"{where} is a {type(value).__name__}, which GeoJSON cannot hold")


def to_geojson(polylines: Sequence[Any], crs: Any = None, properties: Any = None) -> dict[str, Any]:
    """Polylines as a GeoJSON FeatureCollection, ready for ``json.dump``.

    Parameters
    ----------
    polylines : sequence of array_like, shape (K, 2) or (K, 3)
        Traces as `plane_trace` or `mesh_trace` return them.
    crs : str, int or CRS, optional
        The coordinates' CRS (e.g. ``dem.crs``). It is written as the legacy
        ``"crs"`` member that GDAL and QGIS read: ``urn:ogc:def:crs:EPSG::XXXX``
        when it has an EPSG code (CRS84 for EPSG:4326), else the CRS text.
    properties : mapping or sequence of mappings, optional
        Added to every feature's properties, or one mapping per polyline.
        NumPy scalars become plain numbers, NaN becomes null.

    Returns
    -------
    dict
        ``{"type": "FeatureCollection", ["crs": ...,] "features": [...]}``: one
        LineString feature per polyline with plain-float positions (a closed
        ring's last position equals its first), a Point feature for a
        polyline of one vertex or of vertices that all coincide. Each
        feature's properties start with ``index`` (its polyline's position in
        the list) and ``closed``.

    Raises
    ------
    ValueError
        For an empty or badly shaped polyline or a non-finite coordinate (the
        message names the polyline and row), or a properties list of the wrong
        length.

    Examples
    --------
    >>> collection = to_geojson([np.array([[0.0, 0, 1], [1, 1, 2]])], crs="EPSG:32633")
    >>> collection["crs"]["properties"]["name"], collection["features"][0]["geometry"]["coordinates"]
    ('urn:ogc:def:crs:EPSG::32633', [[0.0, 0.0, 1.0], [1.0, 1.0, 2.0]])
    """
    if isinstance(polylines, np.ndarray) and polylines.ndim == 2:
        raise ValueError(f"polylines must be a sequence of (K, 3) arrays, got one array of shape "
                         f"{_describe_shape(polylines.shape)}; wrap a single polyline in a list")
    if isinstance(polylines, (str, bytes, Mapping)) or not isinstance(polylines, (Sequence, np.ndarray)):
        raise TypeError(f"polylines must be a sequence of (K, 3) arrays, got {type(polylines).__name__}")
    count = len(polylines)
    if properties is None:
        extra: list[Mapping[str, Any]] = [{}] * count
    elif isinstance(properties, Mapping):
        extra = [properties] * count
    else:
        extra = list(properties)
        if len(extra) != count:
            raise ValueError(f"properties has {len(extra)} entries for {count} polylines")
    features = []
    for index, line in enumerate(polylines):
        name = f"polylines[{index}]"
        array = float_array(line, name, finite=True)
        if array.ndim != 2 or array.shape[1] not in (2, 3) or array.shape[0] == 0:
            raise ValueError(f"{name} must have shape (K, 3) or (K, 2) with K >= 1, "
                             f"got shape {_describe_shape(array.shape)}")
        if not isinstance(extra[index], Mapping):
            raise TypeError(f"properties[{index}] must be a mapping, got {type(extra[index]).__name__}")
        coordinates = array.tolist()
        # A one-vertex polyline, or one whose vertices all coincide (a plane touching a summit), is a point:
        # a LineString of no length is invalid in GIS software.
        point = all(position == coordinates[0] for position in coordinates)
        closed = not point and len(coordinates) > 2 and coordinates[0] == coordinates[-1]
        geometry: dict[str, Any] = ({"type": "Point", "coordinates": coordinates[0]} if point
                                    else {"type": "LineString", "coordinates": coordinates})
        feature_properties = {"index": index, "closed": closed}
        feature_properties.update(_json_value(dict(extra[index]), f"properties[{index}]"))
        features.append({"type": "Feature", "properties": feature_properties, "geometry": geometry})
    collection: dict[str, Any] = {"type": "FeatureCollection"}
    member = _crs_member(crs)
    if member is not None:
        collection["crs"] = member
    collection["features"] = features
    return collection


BEST_FIT_DTYPE = np.dtype([
    ("cell_row", np.int64), ("cell_column", np.int64), ("x", np.float64), ("y", np.float64),
    ("dip_direction", np.float64), ("dip", np.float64),
    ("centroid_x", np.float64), ("centroid_y", np.float64), ("centroid_z", np.float64),
    ("point_count", np.int64), ("rms", np.float64), ("collinearity", np.float64),
    ("s1", np.float64), ("s2", np.float64), ("s3", np.float64),
])


def _points_xyz(points: Any) -> Float64Array:
    columns = getattr(points, "columns", None)
    if columns is not None and all(name in list(columns) for name in ("x", "y", "z")):
        points = points[["x", "y", "z"]]
    array = float_array(points, "points", ndim=2, columns=3, finite=True)
    return array


@overload
def best_fit_planes(points: Any, cell_size: float, coincidence_distance: float = ...,
                    max_collinearity: float = ..., *, stats: Literal[False] = ...) -> NDArray[np.void]: ...


@overload
def best_fit_planes(points: Any, cell_size: float, coincidence_distance: float = ...,
                    max_collinearity: float = ..., *,
                    stats: Literal[True]) -> tuple[NDArray[np.void], dict[str, Any]]: ...


def best_fit_planes(points: Any, cell_size: float, coincidence_distance: float = 0.1,
                    max_collinearity: float = 3.0, *,
                    stats: bool = False) -> NDArray[np.void] | tuple[NDArray[np.void], dict[str, Any]]:
    """Fit a plane to the points of every cell of a square grid laid over them.

    Parameters
    ----------
    points : array_like, shape (N, 3)
        Located points (x, y, z), e.g. a trace's vertices
        (``np.vstack(polylines)``); a DataFrame with ``x``, ``y`` and ``z``
        columns gives those.
    cell_size : float
        Side of the grid's square cells, map units: the scale over which
        attitudes are averaged (too small and no cell holds three points,
        too large and a fold is flattened into one plane).
    coincidence_distance : float
        Points closer than this to an earlier point are dropped first, as an
        intersection emits a shared crossing twice.
    max_collinearity : float
        A cell whose points lie along a line, -log10(s2 / s1) above this, is
        set aside (every plane through a line fits it); ``inf`` keeps all.

    stats : bool
        Also return the counters.

    Returns
    -------
    numpy.ndarray
        A structured array, one row per fitted cell sorted by (cell_row,
        cell_column), of dtype `BEST_FIT_DTYPE`: cell_row, cell_column (row 0
        northernmost), x, y (cell centre), dip_direction, dip (degrees),
        centroid_x, centroid_y, centroid_z, point_count, rms (distance of the
        points from the plane), collinearity and the singular values s1, s2,
        s3. Empty, with the same dtype, when nothing was fitted.
        ``pandas.DataFrame(table)`` makes a DataFrame of it.
    dict, only with ``stats=True``
        input_points, distinct_points, non_empty_cells, cells_fitted,
        cells_too_few_points, cells_collinear, grid_rows, grid_columns,
        grid_x_min, grid_y_max, cell_size; for no points the counts are 0 and
        the grid corner NaN. When a table comes back thinner than expected,
        look at cells_collinear first.

    Examples
    --------
    >>> rng = np.random.default_rng(1)
    >>> xy = rng.uniform(0, 100, (400, 2))
    >>> z = -np.tan(np.radians(30)) * xy[:, 0]  # dips 30 degrees east
    >>> table = best_fit_planes(np.column_stack([xy, z]), 50.0)
    >>> len(table), np.round(table["dip"], 6).tolist(), np.round(table["dip_direction"], 6).tolist()
    (4, [30.0, 30.0, 30.0, 30.0], [90.0, 90.0, 90.0, 90.0])
    """
    located = _points_xyz(points)
    size = real(cell_size, "cell_size", positive=True)
    merge = real(coincidence_distance, "coincidence_distance", positive=True)
    if isinstance(max_collinearity, (bool, np.bool_)) or not isinstance(max_collinearity, numbers.Real) or \
            math.isnan(float(max_collinearity)):
        raise TypeError(f"max_collinearity must be a number (inf keeps every cell), got {max_collinearity!r}")
    threshold = float(max_collinearity)
    if threshold < 0.0:
        raise ValueError(f"max_collinearity must be at least 0, got {threshold}")
    if located.shape[0]:
        extent = float(max(np.ptp(located[:, 0]), np.ptp(located[:, 1])))
        if extent / size >= 2.0 ** 53:
            raise ValueError(f"cell_size {size} is too small for points spread over {extent} map units: "
                             "the grid would have more than 2**53 cells on a side")
    result = kernels.best_fit_planes(located, size, merge, threshold)
    if result is None:
        table = np.zeros(0, dtype=BEST_FIT_DTYPE)
        counters: dict[str, Any] = {"input_points": 0, "distinct_points": 0, "non_empty_cells": 0,
                                    "cells_fitted": 0, "cells_too_few_points": 0, "cells_collinear": 0,
                                    "grid_rows": 0, "grid_columns": 0, "grid_x_min": math.nan,
                                    "grid_y_max": math.nan, "cell_size": size}
    else:
        field, kernel_stats = result
        table = np.zeros(field["point_counts"].shape[0], dtype=BEST_FIT_DTYPE)
        table["cell_row"], table["cell_column"] = field["cells"][:, 0], field["cells"][:, 1]
        table["x"], table["y"] = field["cell_centres"][:, 0], field["cell_centres"][:, 1]
        table["dip_direction"], table["dip"] = field["attitudes"][:, 0], field["attitudes"][:, 1]
        for axis, label in enumerate("xyz"):
            table[f"centroid_{label}"] = field["centroids"][:, axis]
            table[f"s{axis + 1}"] = field["singular_values"][:, axis]
        table["point_count"] = field["point_counts"]
        table["rms"] = field["rms_distance"]
        table["collinearity"] = field["collinearity"]
        counters = dict(kernel_stats)
    if stats:
        return table, counters
    return table
