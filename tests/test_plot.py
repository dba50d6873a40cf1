"""Figures, checked on the rendered pixels: markers, arrows, ticks, traces and cells where the data say."""

from __future__ import annotations

import importlib.util
import math

import numpy as np
import pytest

import velkor

HAVE_PLOTTING = all(importlib.util.find_spec(name) for name in ("matplotlib", "mplstereonet", "xarray"))
needs_plotting = pytest.mark.skipif(not HAVE_PLOTTING, reason="matplotlib, mplstereonet and xarray are needed")

if HAVE_PLOTTING:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.image
    import matplotlib.pyplot as plt
    import mplstereonet
    import xarray as xr

    import velkor.plot


@pytest.fixture(autouse=True)
def close_figures():
    yield
    if HAVE_PLOTTING:
        plt.close("all")


def rendered(ax, tmp_path, dpi=100):
    """The figure of `ax` as saved to PNG and read back, RGB in 0..1; refuses a blank canvas."""
    figure = ax.figure
    figure.set_dpi(dpi)
    path = tmp_path / "figure.png"
    figure.savefig(path, dpi=dpi)
    image = matplotlib.image.imread(path)[..., :3]
    assert (image.min(axis=2) < 0.9).mean() > 0.005, "blank canvas"
    return image


def patch(image, display_xy, radius=1):
    x, y = display_xy
    row, column = int(image.shape[0] - y), int(x)
    return image[row - radius:row + radius + 1, column - radius:column + radius + 1].reshape(-1, 3)


def has_colour(image, display_xy, colour, radius=1, tolerance=0.08):
    target = np.array(matplotlib.colors.to_rgb(colour))
    return bool((np.abs(patch(image, display_xy, radius) - target).max(axis=1) < tolerance).any())


def display(ax, x, y):
    return ax.transData.transform(np.column_stack([np.atleast_1d(x), np.atleast_1d(y)]))[0]


def net_point(ax, plunge, trend):
    return display(ax, *mplstereonet.line(plunge, trend))


# ---------------------------------------------------------------------------
# Importing and backends
# ---------------------------------------------------------------------------


def test_plot_imports_without_matplotlib_and_names_the_extra_on_use(child):
    out = child(
        "import sys\n"
        "sys.modules['matplotlib'] = None\n"
        "import velkor, velkor.plot\n"
        "faults = velkor.FaultSet.from_rakes([0.0], [60.0], [-90.0])\n"
        "for call in (lambda: velkor.plot.stereonet(faults), lambda: velkor.plot.kagan_matrix([[0.0]]),\n"
        "             lambda: velkor.plot.trace_map(([[0.0, 1.0]] * 2, (0, 1, 0, 0, 0, -1)), [])):\n"
        "    try:\n"
        "        call()\n"
        "    except ImportError as error:\n"
        "        print(error)\n"
    ).decode().splitlines()
    assert out == ["velkor.plot needs the optional package 'matplotlib', which is not installed; "
                   "install it with: pip install 'velkor[plot]'"] * 3


@needs_plotting
def test_backend_is_left_alone_and_matplotlib_loaded_only_on_use(child):
    out = child(
        "import sys, velkor, velkor.plot\n"
        "print('matplotlib' in sys.modules)\n"
        "import matplotlib\n"
        "faults = velkor.FaultSet.from_rakes([0.0], [60.0], [-90.0])\n"
        "velkor.plot.stereonet(faults).figure.savefig(sys.stdout.buffer, format='svg')\n"
        "velkor.plot.kagan_matrix([[0.0, 10.0], [10.0, 0.0]])\n"
        "print(matplotlib.get_backend())\n",
        extra_env={"MPLBACKEND": "svg"},
    ).decode().splitlines()
    assert out[0] == "False" and out[-1] == "svg"


# ---------------------------------------------------------------------------
# stereonet
# ---------------------------------------------------------------------------


def aki_richards_slip(strike, dip, rake):
    """Hanging-wall slip (North, East, Down) of Aki and Richards' textbook formula."""
    s, d, r = np.radians([strike, dip, rake])
    return np.array([math.cos(r) * math.cos(s) + math.sin(r) * math.cos(d) * math.sin(s),
                     math.cos(r) * math.sin(s) - math.sin(r) * math.cos(d) * math.cos(s),
                     -math.sin(r) * math.sin(d)])


RANDOM_FAULTS = [tuple(row) for row in np.round(np.random.default_rng(7).uniform([0, 30, -180], [360, 85, 180],
                                                                                 (5, 3)), 1)]


@needs_plotting
@pytest.mark.parametrize("rotation", [0.0, 35.0])
@pytest.mark.parametrize("strike, dip, rake, expect", [
    (20.0, 60.0, -90.0, "outward"), (250.0, 45.0, -70.0, "outward"),  # normal
    (20.0, 60.0, 90.0, "inward"), (130.0, 35.0, 110.0, "inward"),  # reverse
    (120.0, 75.0, 0.0, "inward"), (120.0, 75.0, 180.0, "inward"),  # strike-slip: horizontal, kept inside
    *((*row, None) for row in RANDOM_FAULTS)])
def test_slip_arrow_starts_at_the_slickenline_and_points_where_the_hanging_wall_moves(
        tmp_path, strike, dip, rake, expect, rotation):
    ax = plt.figure(figsize=(5, 5)).add_subplot(projection="equal_area_stereonet", rotation=rotation)
    assert velkor.plot.stereonet(velkor.FaultSet.from_rakes([strike], [dip], [rake]), ax=ax) is ax
    next(c for c in ax.collections if c.get_gid() == "faults").set_visible(False)  # leave the arrow and its dot
    image = rendered(ax, tmp_path)
    north, east, down = aki_richards_slip(strike, dip, rake)
    lower = np.array([north, east, down]) * (1.0 if down > 1e-9 else -1.0)
    tail = net_point(ax, math.degrees(math.asin(np.clip(lower[2], -1, 1))),
                     math.degrees(math.atan2(lower[1], lower[0])))
    centre = net_point(ax, 90.0, 0.0)
    rim = net_point(ax, 0.0, math.degrees(math.atan2(east, north)))
    radius = np.hypot(*(rim - centre))
    direction = (rim - centre) / radius
    if expect is not None:
        assert np.sign(np.dot(direction, tail - centre)) == (1 if expect == "outward" else -1)
    for step in (0.05, 0.1):
        assert patch(image, tail + step * radius * direction).max(axis=1).min() < 0.45, "no arrow ahead"
        behind = tail - step * radius * direction
        if np.hypot(*(behind - centre)) < 0.97 * radius:  # outside the net are the azimuth labels
            assert patch(image, behind).min() > 0.9, "something behind the tail"
    assert patch(image, tail).max(axis=1).min() < 0.45, "no dot at the slickenline"


@needs_plotting
def test_unknown_senses_get_an_open_circle_and_no_arrow(tmp_path):
    faults = velkor.FaultSet.from_rakes([20.0, 200.0], [60.0, 50.0], [-90.0, -60.0], sense_known=[False, True])
    ax = velkor.plot.stereonet(faults)
    collections = {c.get_gid(): c for c in ax.collections}
    assert len(collections["slip-arrow-heads"].get_paths()) == len(collections["slip-arrow-shafts"].get_paths()) == 1
    collections["faults"].set_visible(False)
    image = rendered(ax, tmp_path)
    north, east, down = aki_richards_slip(20.0, 60.0, -90.0)
    point = net_point(ax, math.degrees(math.asin(down)), math.degrees(math.atan2(east, north)))
    assert patch(image, point, radius=0).min() > 0.9  # the hollow centre
    assert patch(image, point, radius=3).max(axis=1).min() < 0.45  # its rim
    outward = (point - net_point(ax, 90.0, 0.0)) / np.hypot(*(point - net_point(ax, 90.0, 0.0)))
    assert patch(image, point + 12 * outward).min() > 0.9


@needs_plotting
def test_principal_axes_are_drawn_where_they_point_with_legend_and_title(tmp_path):
    rng = np.random.default_rng(11)
    faults = velkor.FaultSet.from_rakes(rng.uniform(0, 360, 12), rng.uniform(40, 80, 12), rng.uniform(-110, -70, 12))
    solution = velkor.score(faults, (30.0, 60.0), (120.0, 0.0), 0.4)
    ax = velkor.plot.stereonet(solution, faults=faults)
    image = rendered(ax, tmp_path)
    colours = {}
    for name, (trend, plunge) in (("S1", solution.s1), ("S2", solution.s2), ("S3", solution.s3)):
        (marker,) = [line for line in ax.get_lines() if line.get_gid() == name]
        colours[name] = marker.get_markerfacecolor()
        assert has_colour(image, net_point(ax, plunge, trend), colours[name], radius=0)
        assert not has_colour(image, net_point(ax, plunge, trend + 180.0), colours[name], radius=3)
    assert len({matplotlib.colors.to_hex(c) for c in colours.values()}) == 3
    assert [t.get_text() for t in ax.get_legend().get_texts()] == [
        r"S1 ($\sigma_1$)", r"S2 ($\sigma_2$)", r"S3 ($\sigma_3$)"]
    assert ax.get_title() == (f"\N{GREEK SMALL LETTER PHI} = 0.40    R' = 0.40    regime {solution.regime}    "
                              f"misfit {solution.mean_misfit_degrees:.1f}\N{DEGREE SIGN}")


@needs_plotting
def test_alternatives_and_misfit_colours(tmp_path):
    rng = np.random.default_rng(1)
    faults = velkor.FaultSet.from_rakes(rng.uniform(0, 360, 7), rng.uniform(20, 80, 7), rng.uniform(-120, -60, 7),
                                        weights=[1, 1, 1, 1, 1, 1, 0])
    solution = velkor.invert(faults, angle_step_degrees=15.0, phi_step=0.25)
    ax = velkor.plot.stereonet(solution, faults=faults, color_by_misfit=True)
    rendered(ax, tmp_path)
    faded = [line for line in ax.get_lines() if line.get_gid() == "alternative-S1"]
    assert len(faded) == len(solution.alternatives) > 0
    assert all(line.get_alpha() < 1 and line.get_markersize() < 15 for line in faded)
    assert [t.get_text() for t in ax.get_legend().get_texts()][-1] == "alternative tensors"
    planes = next(c for c in ax.collections if c.get_gid() == "faults")
    dashed = [dashes is not None for _, dashes in planes.get_linestyles()]
    assert dashed == [False] * 6 + [True]  # the unweighted fault was not scored
    assert ax.child_axes[0].get_ylabel() == "misfit (degrees)" and ax.child_axes[0].get_ylim() == (0.0, 90.0)


@needs_plotting
@pytest.mark.parametrize("call, error, message", [
    (lambda f, s: velkor.plot.stereonet(f, ax=plt.figure().add_subplot()), TypeError,
     "stereonet draws into a stereonet axes, such as fig.add_subplot(projection='equal_area_stereonet'); "
     "got Axes"),
    (lambda f, s: velkor.plot.stereonet(f, faults=f), TypeError,
     "faults= goes with a stress solution; the first argument is already faults (FaultSet)"),
    (lambda f, s: velkor.plot.stereonet({"s1": 1}), TypeError,
     "stereonet: solution_or_faults must be a StressSolution, a FaultSet or an (N, 4) array of faults, got dict"),
    (lambda f, s: velkor.plot.stereonet(s, faults=f.subset([0, 1])), ValueError,
     "the solution holds misfits for 6 faults but faults= holds 2: pass the faults the solution was computed from"),
    (lambda f, s: velkor.plot.stereonet(f, color_by_misfit=True), ValueError,
     "color_by_misfit needs a StressSolution with its misfits and the faults it was computed from (faults=)"),
])
def test_stereonet_refuses(call, error, message):
    faults = velkor.FaultSet.from_rakes([0, 60, 120, 180, 240, 300], [60] * 6, [-90] * 6)
    with pytest.raises(error) as raised:
        call(faults, velkor.score(faults, (0, 90), (90, 0), 0.5))
    assert str(raised.value) == message


# ---------------------------------------------------------------------------
# field_map
# ---------------------------------------------------------------------------


def stress_dataset():
    azimuth = np.array([[0.0, 30.0, 60.0, 90.0], [120.0, 150.0, np.nan, 45.0], [10.0, 100.0, 170.0, 80.0]])
    regime = np.array([["NF", "NS", "SS", "TS"], ["TF", "U", "SS", ""], ["", "TF", "NF", "SS"]])
    has = regime != ""
    density = np.linspace(0.0, 5.0, 12).reshape(3, 4)
    return xr.Dataset({"density": (("y", "x"), density), "has_solution": (("y", "x"), has),
                       "shmax_azimuth": (("y", "x"), np.where(has, azimuth, np.nan)),
                       "regime": (("y", "x"), regime), "phi": (("y", "x"), np.full((3, 4), 0.5))},
                      coords={"x": [100.0, 110.0, 120.0, 130.0], "y": [-50.0, -40.0, -30.0]})


def computed_field():
    rng = np.random.default_rng(1)
    faults = velkor.FaultSet.from_rakes(rng.uniform(0, 360, 60), rng.uniform(30, 80, 60), rng.uniform(-180, 180, 60),
                                        positions=rng.uniform(0, 10, (60, 2)))
    return velkor.stress_field(faults, 2.0, 6.0, angle_step_degrees=30, phi_step=0.5, progress=False)


@needs_plotting
@pytest.mark.parametrize("source", [stress_dataset, computed_field])
def test_field_map_ticks_lie_along_shmax_in_regime_colours(tmp_path, source):
    field = source()
    ax = velkor.plot.field_map(field)
    image = rendered(ax, tmp_path)
    legend = {t.get_text().split()[0]: h.get_color() for t, h in zip(ax.get_legend().get_texts(),
                                                                      ax.get_legend().legend_handles)}
    assert list(legend) == [r for r in ("NF", "NS", "SS", "TS", "TF", "U") if (field.regime.values == r).any()]
    if source is stress_dataset:
        hues = {name: matplotlib.colors.rgb_to_hsv(matplotlib.colors.to_rgb(c)) for name, c in legend.items()}
        assert hues["U"][2] < 0.1 and all(hues[n][1] > 0.6 for n in ("NF", "NS", "SS", "TS", "TF"))
        hue = {name: (value[0] * 360.0 + 15.0) % 360.0 for name, value in hues.items()}  # red from 0 to 30
        assert hue["NF"] < 30 < 90 < hue["SS"] < 170 < 195 < hue["TS"] < 215 < hue["TF"] < 265 < 305 < hue["NS"]
        assert hues["TS"][2] > hues["TF"][2]  # light blue, blue
    step = 0.3 * float(field.x.values[1] - field.x.values[0])
    mesh = next(c for c in ax.collections if c.get_gid() == "density")
    for row, y in enumerate(field.y.values):
        for column, x in enumerate(field.x.values):
            regime, azimuth = field.regime.values[row, column], field.shmax_azimuth.values[row, column]
            centre = display(ax, x, y)
            if regime == "":
                assert has_colour(image, centre, mesh.cmap(mesh.norm(field.density.values[row, column])), 0, 0.02)
                continue
            along = np.array([math.sin(math.radians(azimuth)), math.cos(math.radians(azimuth))])
            if np.isnan(azimuth):
                assert has_colour(image, centre, legend[regime])
                continue
            for sign in (-1.0, 1.0):
                assert has_colour(image, display(ax, *(np.array([x, y]) + sign * step * along)), legend[regime])
                beside = np.array([x, y]) + sign * step * np.array([along[1], -along[0]])
                assert not has_colour(image, display(ax, *beside), legend[regime])
    assert ax.get_aspect() == 1.0


@needs_plotting
@pytest.mark.parametrize("change, error, message", [
    (lambda d: d.drop_vars(["regime", "density"]).drop_vars("y"), ValueError,
     "field_map needs the variables density, has_solution, shmax_azimuth, regime and the coordinates x, y of a "
     "stress field; the dataset lacks variable 'density', variable 'regime', coordinate 'y'"),
    (lambda d: d.isel(y=0), ValueError,
     "field_map draws 2-D fields with dims ('y', 'x'); variable 'density' has dims ('x',)"),
    (lambda d: d.expand_dims(z=[0.0, 1.0]), ValueError,
     "field_map draws 2-D fields with dims ('y', 'x'); variable 'density' has dims ('z', 'y', 'x') "
     "(choose one level first, e.g. dataset.isel(z=0))"),
    (lambda d: d.assign(regime=d.regime.where(d.regime != "SS", "XX")), ValueError,
     "the node at x=120.0, y=-50.0 has a tensor but regime 'XX', not one of NF, NS, SS, TS, TF, U"),
    (lambda d: d.density, TypeError, "field_map takes the xarray.Dataset of velkor.stress_field, got DataArray"),
])
def test_field_map_refuses(change, error, message):
    with pytest.raises(error) as raised:
        velkor.plot.field_map(change(stress_dataset()))
    assert str(raised.value) == message


# ---------------------------------------------------------------------------
# trace_map and hillshade
# ---------------------------------------------------------------------------

ROTATED = (1000.0, 10 * math.cos(0.5), 10 * math.sin(0.5), 5000.0, 10 * math.sin(0.5), -10 * math.cos(0.5))
GEOTRANSFORMS = {"north-up": (1000.0, 10.0, 0.0, 5000.0, 0.0, -10.0), "south-up": (1000.0, 10.0, 0.0, 4600.0, 0.0, 10.0),
                 "west-east flipped": (1500.0, -10.0, 0.0, 5000.0, 0.0, -10.0), "rotated": ROTATED,
                 "sheared": (1000.0, 10.0, 4.0, 5000.0, 0.0, -10.0)}


def plane_dem(geotransform, slope=(0.3, -0.2), shape=(40, 50)):
    """Elevation of z = a x + b y at the cell centres of a geotransform, and that plane's shade."""
    rows, columns = np.mgrid[0:shape[0], 0:shape[1]] + 0.5
    g0, g1, g2, g3, g4, g5 = geotransform
    x, y = g0 + columns * g1 + rows * g2, g3 + columns * g4 + rows * g5
    normal = np.array([-slope[0], -slope[1], 1.0]) / math.hypot(slope[0], slope[1], 1.0)
    light = np.array([math.sin(math.radians(315)), math.cos(math.radians(315)), 1.0]) * math.sqrt(0.5)
    return slope[0] * x + slope[1] * y, float(normal @ light)


@needs_plotting
@pytest.mark.parametrize("name", list(GEOTRANSFORMS))
def test_hillshade_of_a_plane_is_its_lambert_shade_on_any_geotransform(name):
    elevation, expected = plane_dem(GEOTRANSFORMS[name])
    elevation[10:13, 20:24] = -9999.0
    shade = velkor.plot.hillshade(elevation, GEOTRANSFORMS[name], nodata=-9999.0)
    assert np.isnan(shade[10:13, 20:24]).all() and np.isnan(shade).sum() == 12
    np.testing.assert_allclose(shade[~np.isnan(shade)], expected, rtol=0, atol=1e-9)
    affine = pytest.importorskip("affine")
    assert np.array_equal(velkor.plot.hillshade(elevation, affine.Affine.from_gdal(*GEOTRANSFORMS[name]),
                                                -9999.0), shade, equal_nan=True)


@needs_plotting
@pytest.mark.parametrize("name", ["north-up", "south-up", "rotated"])
def test_trace_map_places_hillshade_and_traces_in_map_coordinates(tmp_path, name):
    geotransform = GEOTRANSFORMS[name]
    elevation, expected = plane_dem(geotransform)
    elevation[:4, :4] = np.nan
    g0, g1, g2, g3, g4, g5 = geotransform

    def centre(row, column):
        return g0 + (column + 0.5) * g1 + (row + 0.5) * g2, g3 + (column + 0.5) * g4 + (row + 0.5) * g5

    trace = np.array([[*centre(20, 10), 0.0], [*centre(30, 25), 0.0], [*centre(15, 40), 0.0]])

    ax = velkor.plot.trace_map(velkor.Dem(elevation, geotransform), [trace], color="#00ff00", linewidth=2.5)
    image = rendered(ax, tmp_path)
    for start, end in zip(trace[:-1, :2], trace[1:, :2]):
        for fraction in (0.25, 0.5, 0.75):
            assert has_colour(image, display(ax, *(start + fraction * (end - start))), "#00ff00")
    assert not has_colour(image, display(ax, *centre(35, 5)), "#00ff00", radius=2)
    assert patch(image, display(ax, *centre(1.5, 1.5)), 0).min() == 1.0  # no data: transparent
    shade = next(a for a in ax.get_children() if a.get_gid() == "hillshade")
    assert has_colour(image, display(ax, *centre(35, 5)), shade.cmap(shade.norm(expected)), 0, 0.01)
    assert (ax.get_xlabel(), ax.get_ylabel(), ax.get_aspect()) == ("Easting", "Northing", 1.0)


@needs_plotting
@pytest.mark.parametrize("dem, polylines, error, message", [
    (([1.0, 2.0], GEOTRANSFORMS["north-up"]), [], ValueError,
     "elevation must be a 2-D array (rows, columns), got shape (2,)"),
    (([[1.0, 2.0]], (0, 1, 2, 0, 2, 4)), [], ValueError, "geotransform (0.0, 1.0, 2.0, 0.0, 2.0, 4.0) is "
     "degenerate: gt[1]*gt[5] - gt[2]*gt[4] is 0, so its pixels have no area"),
    (([[1.0, 2.0]], (0, 1, 0, 0, 0, -1)), [np.zeros((2, 3)), [0.0, 1.0]], ValueError,
     "polylines[1] must have shape (K, 2) or (K, 3), got shape (2,)"),
    ({"elevation": [[1.0]]}, [], TypeError, "trace_map: dem must be a velkor.Dem, a raster file name or an "
     "(elevation, geotransform) pair, got dict"),
])
def test_trace_map_refuses(dem, polylines, error, message):
    with pytest.raises(error) as raised:
        velkor.plot.trace_map(dem, polylines)
    assert str(raised.value) == message


# ---------------------------------------------------------------------------
# kagan_matrix
# ---------------------------------------------------------------------------

ANGLES = np.array([[0.0, 30.0, 60.0, 90.0], [30.0, 0.0, 120.0, 45.0], [60.0, 120.0, 0.0, np.nan],
                   [90.0, 45.0, np.nan, 0.0]])


@needs_plotting
@pytest.mark.parametrize("order", [None, [3, 1, 0, 2]])
def test_kagan_cells_take_the_colormap_colour_of_their_angle(tmp_path, order):
    ax = velkor.plot.kagan_matrix(ANGLES, order=order, annotate=False)
    image = rendered(ax, tmp_path)
    shown = np.arange(4) if order is None else np.array(order)
    viridis = matplotlib.colormaps["viridis"]
    for row in range(4):
        for column in range(4):
            value = ANGLES[shown[row], shown[column]]
            colour = (1.0, 1.0, 1.0) if np.isnan(value) else viridis(value / 120.0)
            assert has_colour(image, display(ax, column, row), colour, radius=0, tolerance=0.02)
    if order is not None:
        assert [t.get_text() for t in ax.get_yticklabels()] == ["3", "1", "0", "2"]
    colorbar_axes = ax.figure.axes[-1]
    assert colorbar_axes.get_ylim() == (0.0, 120.0) and colorbar_axes.get_ylabel() == "Kagan angle (degrees)"


@needs_plotting
def test_kagan_labels_and_written_values():
    ax = velkor.plot.kagan_matrix(ANGLES, labels=["A", "B", "C", "D"], order=[1, 0, 3, 2])
    assert [t.get_text() for t in ax.get_xticklabels()] == ["B", "A", "D", "C"]
    written = {(t.get_position()[1], t.get_position()[0]): t.get_text() for t in ax.texts}
    assert written[(0, 1)] == "30" and written[(0, 2)] == "45" and (2, 3) not in written and len(written) == 14
    assert not velkor.plot.kagan_matrix(np.zeros((13, 13))).texts


@needs_plotting
@pytest.mark.parametrize("kwargs, message", [
    ({"matrix": np.zeros((3, 4))}, "matrix must be square, (N, N), got shape (3, 4)"),
    ({"matrix": np.zeros((0, 0))}, "matrix is empty: there are no mechanisms to draw"),
    ({"matrix": np.full((2, 2), 121.0)}, "matrix row 0, column 0 is 121.0: Kagan angles lie between 0 and 120 degrees"),
    ({"matrix": np.zeros((2, 2)), "labels": ["a"]}, "labels has 1 names for 2 mechanisms"),
    ({"matrix": np.zeros((2, 2)), "order": [0, 0]}, "order must be a permutation of range(2), got [0, 0]"),
])
def test_kagan_matrix_refuses(kwargs, message):
    with pytest.raises(ValueError) as raised:
        velkor.plot.kagan_matrix(**kwargs)
    assert str(raised.value) == message
