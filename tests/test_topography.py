"""Topography in the package: Dem and read_dem, plane and mesh traces, GeoJSON, best-fit plane tables."""

import importlib
import importlib.util
import inspect
import json
import math
import warnings

import numpy as np
import pytest

import velkor
from velkor import kernels
from velkor.topography import BEST_FIT_DTYPE, geotransform_tuple

GT = (100.0, 10.0, 0.0, 500.0, 0.0, -10.0)
ORDER = ("(x of the upper-left corner, pixel width, row rotation, y of the upper-left corner, column rotation, "
         "pixel height)")


def bumpy(n=40, seed=3, integer=False):
    """A smooth random DEM of hills and hollows (or random integer elevations)."""
    rng = np.random.default_rng(seed)
    if integer:
        return rng.integers(0, 6, (n, n)).astype(float)
    y, x = np.mgrid[0:n, 0:n]
    z = np.zeros((n, n))
    for _ in range(6):
        cx, cy, s, h = rng.uniform(0, n), rng.uniform(0, n), rng.uniform(3, 10), rng.uniform(-20, 20)
        z += h * np.exp(-((x - cx) ** 2 + (y - cy) ** 2) / (2 * s * s))
    return z


def canonical(polylines, decimals=6):
    """Polylines as a sorted list of lines and rings, whatever their start, direction and order."""
    out = []
    for line in polylines:
        q = [tuple(r) for r in np.round(line, decimals)]
        if len(q) > 2 and q[0] == q[-1]:
            body = q[:-1]
            back = body[::-1]
            out.append(("ring", min(min(tuple(body[i:] + body[:i]), tuple(back[i:] + back[:i]))
                                    for i in range(len(body)))))
        else:
            out.append(("line", min(tuple(q), tuple(q[::-1]))))
    return sorted(out)


# ------------------------------------------------------------------ geotransforms and Dem

def test_affine_is_the_gdal_tuple_and_nine_numbers_are_refused():
    affine = pytest.importorskip("affine")
    for transform in (affine.Affine(25.0, 0.0, 5e5, 0.0, -25.0, 4.65e6),
                      affine.Affine.translation(5e5, 4.65e6) @ affine.Affine.rotation(30.0) @ affine.Affine.scale(2.0)):
        assert geotransform_tuple(transform) == transform.to_gdal()
        assert velkor.Dem(np.zeros((3, 3)), transform).geotransform == transform.to_gdal()
    with pytest.raises(ValueError) as raised:
        velkor.Dem(np.zeros((3, 3)), tuple(affine.Affine(25.0, 0.0, 5e5, 0.0, -25.0, 4.65e6)))
    assert str(raised.value) == ("geotransform has 9 numbers, as tuple(Affine) gives; pass the Affine itself or "
                                 f"transform.to_gdal(), six numbers in GDAL order {ORDER}")


@pytest.mark.parametrize("affine_order, gdal", [
    ((25.0, 0.0, 500000.0, 0.0, -25.0, 4650000.0), (500000.0, 25.0, 0.0, 4650000.0, 0.0, -25.0)),
    ((1.0, 0.0, 0.0, 0.0, -1.0, 0.0), (0.0, 1.0, 0.0, 0.0, 0.0, -1.0)),  # no area read as GDAL
    ((1.0, 0.0, 10.0, 0.0, -1.0, 20.0), (10.0, 1.0, 0.0, 20.0, 0.0, -1.0)),  # local origin: sheared as GDAL
])
def test_six_numbers_in_affine_order_are_refused_with_the_conversion(affine_order, gdal):
    with pytest.raises(ValueError) as raised:
        geotransform_tuple(affine_order)
    assert str(raised.value) == (f"geotransform {affine_order} is in rasterio/affine order (a, b, c, d, e, f), not in "
                                 f"GDAL order {ORDER}; pass the Affine itself or transform.to_gdal(), which gives "
                                 f"{gdal}")
    assert geotransform_tuple(gdal) == gdal


@pytest.mark.parametrize("gt", [
    (0.0, 1.0, 0.0, 100.0, 0.0, -1.0),  # x origin 0: reads as a rectangle in Affine order too
    (100.0, 0.0, 1.0, 0.0, 1.0, 0.0),  # turned a quarter: steps along the other axes
    (5e5, 24.9, 1.3, 4.6e6, 1.1, -25.2),  # fitted to control points: slightly sheared
    (-180.0, 1 / 3600, 0.0, 90.0, 0.0, -1 / 3600),  # geographic
])
def test_genuine_transforms_are_accepted(gt):
    assert geotransform_tuple(list(gt)) == gt


@pytest.mark.parametrize("value, error, message", [
    ((100.0, 10.0, 0.0, 500.0, 0.0, 0.0), ValueError,
     "geotransform (100.0, 10.0, 0.0, 500.0, 0.0, 0.0) is degenerate: gt[1]*gt[5] - gt[2]*gt[4] is 0, so its pixels "
     "have no area"),
    ((100.0, 10.0, 20.0, 500.0, 5.0, 10.0), ValueError,
     "geotransform (100.0, 10.0, 20.0, 500.0, 5.0, 10.0) is degenerate: gt[1]*gt[5] - gt[2]*gt[4] is 0, so its "
     "pixels have no area"),
    ((100.0, 10.0, 0.0, math.nan, 0.0, -10.0), ValueError, "geotransform[3] must be a finite number, got nan"),
    ((100.0, 10.0, 0.0, 500.0, 0.0), ValueError, f"geotransform must have 6 numbers in GDAL order {ORDER}, got 5"),
    ("100 10 0 500 0 -10", TypeError, f"geotransform must be six numbers in GDAL order {ORDER} or an Affine, got str"),
])
def test_bad_geotransforms_are_refused(value, error, message):
    with pytest.raises(error) as raised:
        velkor.Dem(np.zeros((2, 2)), value)
    assert str(raised.value) == message


def test_dem_casts_once_into_a_frozen_float64_copy():
    source = np.arange(12, dtype=np.int16).reshape(3, 4)
    dem = velkor.Dem(source, GT, nodata=np.int16(5), crs=32633)
    assert dem.elevation.dtype == np.float64 and dem.elevation.flags.c_contiguous
    assert not dem.elevation.flags.writeable and not np.shares_memory(dem.elevation, source)
    assert (dem.nodata, dem.crs, dem.shape) == (5.0, "EPSG:32633", (3, 4))
    assert dem.bounds == (100.0, 470.0, 140.0, 500.0)
    # The kernels' placement: node (0, 0) at (105, 495), node (2, 3) at (135, 475).
    assert dem.xy(0, 0) == (105.0, 495.0) and dem.xy(2, 3) == (135.0, 475.0)
    masked = np.ma.masked_array([[1.0, 2.0], [3.0, 4.0]], mask=[[False, True], [False, False]])
    assert velkor.Dem(masked, GT, nodata=-9999).elevation.tolist() == [[1.0, -9999.0], [3.0, 4.0]]
    assert np.isnan(velkor.Dem(masked, GT).elevation[0, 1])
    # A float32 raster stores float32's lowest value; the decimal a user types is matched to it.
    low = velkor.Dem(np.array([[np.finfo(np.float32).min, 1.0]], np.float32), GT, nodata=-3.4028235e38)
    assert low.elevation[0, 0] == low.nodata


@pytest.mark.parametrize("elevation, message", [
    (5.0, "elevation must be a 2-D array (rows, columns), got shape ()"),
    ([1.0, 2.0], "elevation must be a 2-D array (rows, columns), got shape (2,)"),
    (np.zeros((2, 2, 3)), "elevation must be a 2-D array (rows, columns), got shape (2, 2, 3)"),
    (np.zeros((0, 4)), "elevation is empty: got shape (0, 4)"),
])
def test_dem_refuses_shapes_naming_the_shape(elevation, message):
    with pytest.raises(ValueError) as raised:
        velkor.Dem(elevation, GT)
    assert str(raised.value) == message


# ------------------------------------------------------------------ rasters on disk

def write_tif(path, data, transform, nodata=None, crs="EPSG:32633", **extra):
    rasterio = pytest.importorskip("rasterio")
    with rasterio.open(path, "w", driver="GTiff", height=data.shape[0], width=data.shape[1], count=1,
                       dtype=data.dtype, transform=transform, nodata=nodata, crs=crs, **extra) as out:
        out.write(data, 1)


@pytest.mark.parametrize("dtype, nodata, rotated", [(np.float32, float(np.finfo(np.float32).min), False),
                                                    (np.int16, -32768, True),
                                                    (np.float64, None, False)])
def test_read_dem_round_trip_and_the_same_trace(tmp_path, dtype, nodata, rotated):
    affine = pytest.importorskip("affine")
    transform = affine.Affine(25.0, 0.0, 5e5, 0.0, -25.0, 4.65e6)
    if rotated:
        transform = transform @ affine.Affine.rotation(20.0)
    data = (bumpy(30) * 10 + 500).astype(dtype)
    if nodata is not None:
        data[10:14, 12:15] = np.array(nodata).astype(dtype)
    write_tif(tmp_path / "dem.tif", data, transform, nodata)
    dem = velkor.read_dem(tmp_path / "dem.tif")
    assert dem.geotransform == transform.to_gdal() and dem.crs == "EPSG:32633"
    assert dem.elevation.dtype == np.float64 and np.array_equal(dem.elevation, data.astype(np.float64))
    assert dem.nodata == (None if nodata is None else float(np.array(nodata).astype(dtype)))
    assert dem.affine == transform
    in_memory = velkor.Dem(data, transform, nodata, crs="EPSG:32633")
    point = (*(transform @ (15, 15)), 500.0)
    traces = velkor.plane_trace(dem, point, 120.0, 20.0)
    assert traces and all(np.array_equal(a, b) for a, b in zip(traces, velkor.plane_trace(in_memory, point, 120.0,
                                                                                         20.0), strict=True))
    if nodata is not None:  # nothing interpolated from the hole
        assert np.all(np.concatenate(traces)[:, 2] > 400)


def test_read_dem_refusals_and_scaled_bands(tmp_path):
    rasterio = pytest.importorskip("rasterio")
    with pytest.raises(FileNotFoundError, match=r"^DEM file not found: .*missing.tif$"):
        velkor.read_dem(tmp_path / "missing.tif")
    data = np.array([[100, 200], [-1, 400]], np.int16)
    write_tif(tmp_path / "dem.tif", data, rasterio.Affine(10.0, 0.0, 0.0, 0.0, -10.0, 20.0), nodata=-1)
    with pytest.raises(ValueError, match=r"^band 2 does not exist: .*dem.tif has 1 band, counted from 1$"):
        velkor.read_dem(tmp_path / "dem.tif", band=2)
    with rasterio.open(tmp_path / "dem.tif", "r+") as raster:
        raster.scales, raster.offsets = (0.5,), (10.0,)
    scaled = velkor.read_dem(tmp_path / "dem.tif")
    assert scaled.nodata is None and scaled.elevation[0].tolist() == [60.0, 110.0] and np.isnan(scaled.elevation[1, 0])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", rasterio.errors.NotGeoreferencedWarning)
        with rasterio.open(tmp_path / "plain.tif", "w", driver="GTiff", height=2, width=2, count=1,
                           dtype="float64") as out:
            out.write(np.zeros((2, 2)), 1)
    with pytest.raises(ValueError, match=r"plain.tif is not georeferenced"):
        velkor.read_dem(tmp_path / "plain.tif")
    (tmp_path / "junk.tif").write_text("not a raster")
    with pytest.raises(OSError, match=r"^could not read the DEM .*junk.tif: "):
        velkor.read_dem(tmp_path / "junk.tif")


def test_package_imports_without_rasterio_and_read_dem_names_the_extra(child):
    out = child("import sys; sys.modules['rasterio'] = None\n"
                "import velkor\n"
                "dem = velkor.Dem([[1.0, 2.0], [3.0, 4.0]], (0, 1, 0, 2, 0, -1), crs='EPSG:2056')\n"
                "print(velkor.to_geojson(velkor.plane_trace(dem, (0, 0, 2.5), 0, 0), crs=dem.crs)['crs'])\n"
                "try:\n    velkor.read_dem('dem.tif')\nexcept ImportError as e:\n    print(e)\n")
    assert out.decode().splitlines() == [
        "{'type': 'name', 'properties': {'name': 'urn:ogc:def:crs:EPSG::2056'}}",
        "velkor.read_dem needs the optional package 'rasterio', which is not installed; "
        "install it with: pip install 'velkor[geo]'"]


# ------------------------------------------------------------------ plane traces

def test_plane_trace_chains_every_chord_into_maximal_polylines():
    rng = np.random.default_rng(7)
    for trial in range(8):
        z = bumpy(30, seed=trial)
        z[rng.integers(0, 30, 12), rng.integers(0, 30, 12)] = -9999.0
        dem = velkor.Dem(z, GT, nodata=-9999.0)
        args = (dem.elevation, GT, (250.0, 350.0, rng.uniform(-5, 5)), rng.uniform(0, 360), rng.uniform(0, 40),
                -9999.0)
        points, segments = kernels.intersect_plane_grid(*args)
        traces = velkor.plane_trace(dem, args[2], args[3], args[4])
        index = {tuple(p): i for i, p in enumerate(points.tolist())}
        assert len(index) == len(points)  # random elevations: no two vertices at one place
        paths = [[index[tuple(p)] for p in line.tolist()] for line in traces]
        rings = [p[0] == p[-1] for p in paths]
        used = sorted(v for p, ring in zip(paths, rings) for v in (p[:-1] if ring else p))
        assert used == list(range(len(points)))
        steps = sorted(tuple(sorted(pair)) for p in paths for pair in zip(p[:-1], p[1:]))
        assert steps == sorted(tuple(sorted(pair)) for pair in segments.tolist())
        # Maximal: an open polyline ends where only one chord ends (a void or the edge of the raster).
        degree = np.bincount(segments.ravel(), minlength=len(points))
        assert all(degree[p[0]] == 1 and degree[p[-1]] == 1 for p, ring in zip(paths, rings) if not ring)
        assert all(traces[k][0].dtype == np.float64 and traces[k].shape[1] == 3 for k in range(len(traces)))
        # Order: by first chord; the first chord runs forward.
        chord = {pair: k for k, pair in enumerate(map(tuple, segments.tolist()))}
        firsts = [min(chord.get((a, b), chord.get((b, a))) for a, b in zip(p[:-1], p[1:])) for p in paths]
        assert firsts == sorted(firsts)
        assert all(tuple(segments[f]) in set(zip(p[:-1], p[1:])) for f, p in zip(firsts, paths))


def test_plane_trace_worked_shapes():
    n = 41
    y, x = np.mgrid[0:n, 0:n]
    # A slope z = 0.5 * (x - 5) and a plane dipping 45 degrees west through (100, 0, 52), z = x - 48:
    # they meet on the north-south line x = 91, z = 43, one vertex on every row of the raster.
    slope = velkor.Dem(0.5 * (x * 10.0), (0.0, 10.0, 0.0, 410.0, 0.0, -10.0))
    (line,) = velkor.plane_trace(slope, (100.0, 0.0, 52.0), 270.0, 45.0)
    assert len(line) == n and np.allclose(line[:, 0], 91.0, atol=1e-9) and np.allclose(line[:, 2], 43.0, atol=1e-9)
    assert np.array_equal(line[:, 1], np.sort(line[:, 1])[::-1])
    # A cone: one closed ring around the apex; a nodata column cuts it into two arcs.
    cone = 100.0 - np.hypot(x - 20.3, y - 19.6) * 3
    (ring,) = velkor.plane_trace(velkor.Dem(cone, GT), (0, 0, 55.0), 0, 0)
    assert np.array_equal(ring[0], ring[-1]) and len(ring) > 40
    assert np.allclose(ring[:, 2], 55.0)
    cut = cone.copy()
    cut[:, 20] = -9999.0
    arcs = velkor.plane_trace(velkor.Dem(cut, GT, nodata=-9999.0), (0, 0, 55.0), 0, 0)
    assert len(arcs) == 2 and all(not np.array_equal(a[0], a[-1]) for a in arcs)
    assert velkor.plane_trace(velkor.Dem(cone, GT), (0, 0, 500.0), 0, 0) == []


@pytest.mark.parametrize("call, error, message", [
    (lambda dem: velkor.plane_trace(dem, (0, 0), 0, 10), ValueError, "point must be (x, y, z), shape (3,), got shape (2,)"),
    (lambda dem: velkor.plane_trace(dem, (0, 0, 0), 0, 95), ValueError, "dip must be between 0 and 90 degrees, got 95.0"),
    (lambda dem: velkor.plane_trace(dem, (0, 0, math.inf), 0, 5), ValueError,
     "point row 2 is inf: values must be finite numbers"),
    (lambda dem: velkor.plane_trace(dem.elevation, (0, 0, 0), 0, 5), TypeError,
     "dem must be a velkor.Dem (velkor.read_dem reads one; velkor.Dem(elevation, geotransform) builds one) or a "
     "raster file name, got ndarray"),
    (lambda dem: velkor.mesh_trace(dem, [[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 3]]), ValueError,
     "faces row 0, column 2 is 3: vertex indices run from 0 to 2 for 3 vertices"),
    (lambda dem: velkor.mesh_trace(dem, [[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1.5, 2]]), ValueError,
     "faces row 0, column 1 is 1.5: vertex indices must be whole numbers"),
    (lambda dem: velkor.mesh_trace(dem, [[0, 0, 0], [1, 0, 0]], [0, 1, 1]), ValueError,
     "faces must have shape (F, 3), got shape (3,)"),
])
def test_trace_arguments_are_checked_with_named_messages(call, error, message):
    with pytest.raises(error) as raised:
        call(velkor.Dem(np.zeros((3, 3)), GT))
    assert str(raised.value) == message


# ------------------------------------------------------------------ mesh traces

def subdivide(vertices, faces, times):
    """Each triangle into four, `times` over: the same surface, finer triangles."""
    for _ in range(times):
        table, points, out = {}, [tuple(v) for v in vertices.tolist()], []

        def middle(a, b):
            m = tuple((np.array(points[a]) + np.array(points[b])) / 2)
            if m not in table:
                table[m] = len(points)
                points.append(m)
            return table[m]

        for a, b, c in faces.tolist():
            ab, bc, ca = middle(a, b), middle(b, c), middle(c, a)
            out += [(a, ab, ca), (ab, b, bc), (ca, bc, c), (ab, bc, ca)]
        vertices, faces = np.array(points), np.array(out)
    return vertices, faces


def random_roof(rng, count):
    """The roof below as a random Delaunay mesh per side, its ridge vertices given twice (not welded)."""
    spatial = importlib.import_module("scipy.spatial")
    ridge = np.column_stack([np.full(9, 1200.0), np.linspace(4500, 5100, 11)[1:-1]])
    vertices, faces = [], []
    for x0, x1 in ((900, 1200), (1200, 1500)):
        xy = np.vstack([np.column_stack([rng.uniform(x0, x1, count), rng.uniform(4500, 5100, count)]),
                        [[x0, 4500], [x1, 4500], [x0, 5100], [x1, 5100]], ridge])
        faces.append(spatial.Delaunay(xy).simplices + sum(len(v) for v in vertices))
        vertices.append(xy)
    xy = np.vstack(vertices)
    z = np.interp(xy[:, 0], [900, 1200, 1500], [2, 6, 2]) - (xy[:, 1] - 4500) / 600 * 3
    return np.column_stack([xy, z]), np.vstack(faces)


ROOF = (np.array([[900, 4500, 2], [1500, 4500, 2], [900, 5100, -1], [1500, 5100, -1], [1200, 4500, 6],
                  [1200, 5100, 3]], float), np.array([[0, 4, 2], [4, 5, 2], [4, 1, 5], [1, 3, 5]]))


def test_mesh_trace_does_not_depend_on_how_the_surface_is_triangulated():
    dem = velkor.Dem(bumpy(40), (1000.0, 10.0, 0.0, 5000.0, 0.0, -10.0))
    coarse = velkor.mesh_trace_details(dem, *ROOF)
    expected = canonical(coarse.polylines)
    assert [len(p) for p in coarse.polylines] == [14, 161] and np.array_equal(coarse.polylines[1][0],
                                                                              coarse.polylines[1][-1])
    rng = np.random.default_rng(11)
    # Down to triangles smaller than a DEM cell: the trace crosses several mesh triangles inside one.
    meshes = [subdivide(*ROOF, 2), subdivide(*ROOF, 5)]
    if importlib.util.find_spec("scipy") is not None:
        meshes += [random_roof(rng, 60), random_roof(rng, 4000)]
    for vertices, faces in meshes:
        assert canonical(velkor.mesh_trace(dem, vertices, faces)) == expected
    # A DEM whose nodes lie exactly on a horizontal mesh: each crossing at a node ends its own piece.
    flat = velkor.Dem(bumpy(30, integer=True), (0.0, 1.0, 0.0, 30.0, 0.0, -1.0))
    for level in (2.0, 3.0):
        one = [[-1, -1, level], [80, -1, level], [-1, 80, level]]
        square = np.array([[-1, -1, level], [31, -1, level], [-1, 31, level], [31, 31, level]])
        expected = canonical(velkor.mesh_trace(flat, one, [[0, 1, 2]]))
        assert canonical(velkor.mesh_trace(flat, *subdivide(square, np.array([[0, 1, 2], [1, 3, 2]]), 3))) == expected


def test_mesh_trace_keeps_every_crossing_with_its_attitude():
    n = 60
    y, x = np.mgrid[0:n, 0:n]
    dem = velkor.Dem(100 - np.hypot(x - 30.2, y - 29.7) * 3, (0.0, 1.0, 0.0, 60.0, 0.0, -1.0))
    grid = np.linspace(-0.5, 60.5, 31)
    gx, gy = np.meshgrid(grid, grid)
    vertices = np.column_stack([gx.ravel(), gy.ravel(), 40.0 + 0.05 * gx.ravel()])
    faces = []
    for i in range(30):
        for j in range(30):
            a = i * 31 + j
            if not (24 < grid[j] < 36 and grid[i] > 30):  # a hole in the mesh where the ring passes once
                faces += [[a, a + 1, a + 31], [a + 1, a + 32, a + 31]]
    faces = np.array(faces)
    trace = velkor.mesh_trace_details(dem, vertices, faces)
    points, attitudes, triangles, stats = kernels.intersect_mesh_grid(dem.elevation, dem.geotransform, vertices,
                                                                      faces)
    assert list(trace.stats.items()) == list(stats.items()) and trace.crossings == len(points)
    (arc,) = trace.polylines  # the ring, opened by the hole
    assert not np.array_equal(arc[0], arc[-1]) and arc[0][1] > 47 and arc[-1][1] > 47
    rows = trace.rows[0]
    assert np.array_equal(arc, points[rows]) and np.array_equal(trace.attitudes[0], attitudes[rows])
    assert np.array_equal(trace.mesh_triangles[0], triangles[rows]) and len(set(rows.tolist())) == len(rows)
    # A mesh edge along the nodes of row 30 meets the ring on two DEM sides: each of those crossings
    # comes from both mesh triangles and is one vertex; every row of the kernel is at a vertex.
    quad = np.array([[-1, -1, 40], [61, -1, 40], [-1, 29.5, 40], [61, 29.5, 40], [-1, 61, 40], [61, 61, 40]])
    halves = np.array([[0, 1, 2], [1, 3, 2], [2, 3, 4], [3, 5, 4]])
    trace = velkor.mesh_trace_details(dem, quad, halves)
    points = kernels.intersect_mesh_grid(dem.elevation, dem.geotransform, quad, halves)[0]
    (ring,) = trace.polylines
    assert np.array_equal(ring[0], ring[-1]) and len(ring) - 1 == len(points) - 2
    assert np.min(np.linalg.norm(points[:, None, :] - ring[None, :, :], axis=2), axis=1).max() < 1e-9


# ------------------------------------------------------------------ GeoJSON

def test_geojson_structure_and_values():
    ring = np.array([[0.0, 0.0, 1.0], [1.0, 0.0, 1.0], [1.0, 1.0, 1.0], [0.0, 0.0, 1.0]])
    collection = velkor.to_geojson([ring, np.float32([[5, 5, 2], [6, 5, 2]]), [[3.0, 3.0, 9.0]] * 2], crs=32633,
                                   properties=[{"bed": "A", "dip": np.float64(30)}, {"dip": math.nan}, {}])
    assert list(collection) == ["type", "crs", "features"]
    assert collection["crs"] == {"type": "name", "properties": {"name": "urn:ogc:def:crs:EPSG::32633"}}
    first, second, third = collection["features"]
    assert list(first) == ["type", "properties", "geometry"]
    assert first["properties"] == {"index": 0, "closed": True, "bed": "A", "dip": 30.0}
    assert first["geometry"] == {"type": "LineString", "coordinates": ring.tolist()}
    assert type(first["geometry"]["coordinates"][0][0]) is float and type(first["properties"]["dip"]) is float
    assert second["properties"] == {"index": 1, "closed": False, "dip": None}
    assert third["geometry"] == {"type": "Point", "coordinates": [3.0, 3.0, 9.0]}
    assert json.loads(json.dumps(collection, allow_nan=False)) == collection
    assert velkor.to_geojson([], crs="EPSG:4326") == {
        "type": "FeatureCollection", "crs": {"type": "name", "properties": {"name": "urn:ogc:def:crs:OGC:1.3:CRS84"}},
        "features": []}
    assert "crs" not in velkor.to_geojson([ring])


@pytest.mark.parametrize("polylines, properties, message", [
    ([[[0, 0, 0], [1, math.nan, 0]]], None, "polylines[0] row 1, column 1 is nan: values must be finite numbers"),
    ([np.zeros((0, 3))], None, "polylines[0] must have shape (K, 3) or (K, 2) with K >= 1, got shape (0, 3)"),
    (np.zeros((4, 3)), None, "polylines must be a sequence of (K, 3) arrays, got one array of shape (4, 3); wrap a "
                             "single polyline in a list"),
    ([np.zeros((2, 3))], [{}, {}], "properties has 2 entries for 1 polylines"),
])
def test_geojson_refusals(polylines, properties, message):
    with pytest.raises(ValueError) as raised:
        velkor.to_geojson(polylines, properties=properties)
    assert str(raised.value) == message


def test_gdal_reads_the_written_traces(tmp_path):
    pyogrio = pytest.importorskip("pyogrio")
    dem = velkor.Dem(bumpy(30) + 50, (5e5, 25.0, 0.0, 4.65e6, 0.0, -25.0), crs="EPSG:32633")
    traces = velkor.plane_trace(dem, (5e5 + 300, 4.65e6 - 300, 50.0), 45.0, 10.0)
    path = tmp_path / "trace.geojson"
    path.write_text(json.dumps(velkor.to_geojson(traces, crs=dem.crs)))
    info = pyogrio.read_info(path)
    assert info["crs"] == "EPSG:32633" and info["features"] == len(traces)
    assert info["geometry_type"] == "LineString Z"
    _, _, geometry, _ = pyogrio.raw.read(path)
    for wkb, line in zip(geometry, traces, strict=True):
        count = int.from_bytes(wkb[5:9], "little")
        assert np.array_equal(np.frombuffer(wkb[9:], "<f8").reshape(count, 3), line)


def test_geojson_bytes_do_not_depend_on_threads_or_runs(child):
    code = ("import json, numpy as np, velkor\n" + inspect.getsource(bumpy) +
            f"ROOF = (np.array({ROOF[0].tolist()}), np.array({ROOF[1].tolist()}))\n"
            "dem = velkor.Dem(bumpy(40), (1000.0, 10.0, 0.0, 5000.0, 0.0, -10.0), crs='EPSG:32633')\n"
            "lines = velkor.plane_trace(dem, (1200, 4800, 0), 30, 5) + velkor.mesh_trace(dem, *ROOF)\n"
            "print(json.dumps(velkor.to_geojson(lines, crs=dem.crs)))\n")
    one, two = child(code, threads=1), child(code, threads=2)
    assert one == two and json.loads(one)["features"]


# ------------------------------------------------------------------ best-fit planes

def test_best_fit_table_is_the_kernel_field_bit_for_bit():
    rng = np.random.default_rng(5)
    xy = rng.uniform(0, 300, (900, 2))
    points = np.column_stack([xy, 0.3 * xy[:, 0] - 0.2 * xy[:, 1] + rng.normal(0, 0.5, 900)])
    single = points.astype(np.float32)
    inputs = [(points, points), (points.tolist(), points), (single, single.astype(np.float64))]
    if importlib.util.find_spec("pandas") is not None:
        frame = importlib.import_module("pandas").DataFrame({"id": np.arange(900), "z": points[:, 2],
                                                             "y": points[:, 1], "x": points[:, 0]})
        inputs.append((frame, points))
    for given, exact in inputs:
        field, stats = kernels.best_fit_planes(exact, 60.0, 0.1, 3.0)
        table, counters = velkor.best_fit_planes(given, 60, stats=True)
        assert table.dtype == BEST_FIT_DTYPE and list(counters.items()) == list(stats.items())
        pairs = [("cell_row", field["cells"][:, 0]), ("cell_column", field["cells"][:, 1]),
                 ("x", field["cell_centres"][:, 0]), ("y", field["cell_centres"][:, 1]),
                 ("dip_direction", field["attitudes"][:, 0]), ("dip", field["attitudes"][:, 1]),
                 ("centroid_x", field["centroids"][:, 0]), ("centroid_y", field["centroids"][:, 1]),
                 ("centroid_z", field["centroids"][:, 2]), ("point_count", field["point_counts"]),
                 ("rms", field["rms_distance"]), ("collinearity", field["collinearity"]),
                 ("s1", field["singular_values"][:, 0]), ("s2", field["singular_values"][:, 1]),
                 ("s3", field["singular_values"][:, 2])]
        assert [name for name, _ in pairs] == list(BEST_FIT_DTYPE.names)
        assert all(table[name].tobytes() == np.ascontiguousarray(value).tobytes() for name, value in pairs)
    # A plane z = 0.3 x - 0.2 y dips atan(hypot(0.3, 0.2)) = 19.8 degrees towards azimuth atan2(-0.3, 0.2).
    assert len(table) == 25 and np.allclose(table["dip"], 19.827, atol=1.0)
    assert np.allclose(table["dip_direction"], math.degrees(math.atan2(-0.3, 0.2)) + 360, atol=3.0)


def test_best_fit_empty_tables_and_parameters():
    table, counters = velkor.best_fit_planes(np.zeros((0, 3)), 10, stats=True)
    assert table.dtype == BEST_FIT_DTYPE and table.shape == (0,)
    assert counters["input_points"] == 0 and math.isnan(counters["grid_x_min"]) and counters["cell_size"] == 10.0
    lonely = velkor.best_fit_planes([[1, 1, 0], [2, 1, 0]], 10)
    assert lonely.dtype == BEST_FIT_DTYPE and lonely.shape == (0,)
    assert len(velkor.best_fit_planes([[0, 0, 0], [1, 1, 1], [2, 2, 2]], 10, max_collinearity=math.inf)) == 1
    for kwargs, error, message in [
            ({"cell_size": 0}, ValueError, "cell_size must be greater than zero, got 0.0"),
            ({"cell_size": 1, "coincidence_distance": -1}, ValueError,
             "coincidence_distance must be greater than zero, got -1.0"),
            ({"cell_size": 1, "max_collinearity": math.nan}, TypeError,
             "max_collinearity must be a number (inf keeps every cell), got nan"),
            ({"cell_size": 1e-300}, ValueError, "cell_size 1e-300 is too small for points spread over 2.0 map units: "
                                                "the grid would have more than 2**53 cells on a side")]:
        with pytest.raises(error) as raised:
            velkor.best_fit_planes([[0, 0, 0], [2, 1, 0], [1, 0, 1]], **kwargs)
        assert str(raised.value) == message
    with pytest.raises(ValueError, match=r"^points must have shape \(N, 3\), got shape \(2, 2\)$"):
        velkor.best_fit_planes([[0, 0], [1, 1]], 1.0)
