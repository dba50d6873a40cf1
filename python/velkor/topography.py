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
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, cast

import numpy as np

from . import _traces, kernels
from ._best_fit import BEST_FIT_DTYPE, best_fit_planes
from ._cast import (
    Float64Array,
    Int64Array,
    _as_numeric,
    _describe_shape,
    float_array,
    real,
)
from ._dem import Dem, GeoTransform, crs_string, geotransform_tuple, read_dem

__all__ = [
    "BEST_FIT_DTYPE",
    "Dem",
    "GeoTransform",
    "MeshTrace",
    "best_fit_planes",
    "geotransform_tuple",
    "mesh_trace",
    "mesh_trace_details",
    "plane_trace",
    "read_dem",
    "to_geojson",
]


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
    except Exception:  # rasterio raises its own CRSError or GDAL's errors
        return None
    return None if code is None else int(code)


def _crs_member(crs: Any) -> dict[str, Any] | None:
    text = crs_string(crs)
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
