"""velkor.invert / score / density and the derived quantities a geologist reads."""

import json
import math

import numpy as np
import pytest

import velkor
from velkor import kernels

RNG = np.random.default_rng(77)


def unit(trend, plunge):
    t, p = np.radians(trend), np.radians(plunge)
    return np.array([np.cos(p) * np.sin(t), np.cos(p) * np.cos(t), -np.sin(p)])


def axis_of(vector):
    east, north, up = vector
    return math.degrees(math.atan2(east, north)) % 360.0, math.degrees(math.asin(max(-1.0, min(1.0, -up))))


def random_tensor():
    """Random perpendicular S1 and S3 (trend, plunge) and phi."""
    s1 = RNG.normal(size=3)
    s1 /= np.linalg.norm(s1)
    other = np.cross(s1, RNG.normal(size=3))
    return axis_of(s1), axis_of(other / np.linalg.norm(other)), float(RNG.uniform(0, 1))


def synthetic_faults(s1, s3, phi, count, noise=0.0):
    rows = []
    while len(rows) < count:
        strike, dip = RNG.uniform(0, 360), RNG.uniform(25, 85)
        predicted = kernels.solve_stress(*s1, *s3, phi, strike, dip)
        if predicted["is_valid"]:
            rake = predicted["theoretical_rake"] + RNG.normal(0, noise)
            rows.append([strike, dip, *kernels.rake_to_slickenline(strike, dip, rake)])
    return velkor.FaultSet(rows)


# --------------------------------------------------------------------------- derived quantities

@pytest.mark.parametrize("p1, p2, p3, expected", [
    (90, 0, 0, "NF"), (52, 38, 0, "NF"), (60, 0, 35, "NF"), (60, 0, 36, "U"),
    (51.9, 38, 0, "NS"), (40, 50, 20, "NS"), (40, 50, 21, "U"),
    (39.9, 50, 20, "SS"), (0, 90, 0, "SS"), (20, 50, 39.9, "SS"), (39.9, 44.9, 20, "U"),
    (20, 30, 40, "TS"), (0, 38, 51.9, "TS"), (21, 30, 45, "U"),
    (35, 0, 52, "TF"), (0, 0, 90, "TF"), (36, 0, 60, "U"),
])
def test_regime_follows_the_world_stress_map_table(p1, p2, p3, expected):
    # Plunges are read without sign: an axis given by its upper end is the same axis.
    assert velkor.regime([10, p1], [100, -p2], [200, p3]).item() == expected
    assert velkor.regime([10, -p1], [100, p2], [200, -p3]).item() == expected


def test_vectorised_helpers_on_a_field_with_holes():
    s1 = np.array([[[0, 90], [0, 0]], [[np.nan, np.nan], [30, 10]]])
    s2 = np.array([[[0, 0], [0, 90]], [[np.nan, np.nan], [120, 5]]])
    s3 = np.array([[[90, 0], [90, 0]], [[np.nan, np.nan], [230, 79]]])
    phi = np.array([[0.25, 0.25], [np.nan, 0.75]])
    assert velkor.regime(s1, s2, s3).tolist() == [["NF", "SS"], ["", "TF"]]
    np.testing.assert_array_equal(velkor.r_prime(phi, s1, s2, s3), [[0.25, 1.75], [np.nan, 2.75]])
    shmax = velkor.shmax_azimuth(s1, s2, s3, phi)
    assert shmax.shape == (2, 2) and np.isnan(shmax[1, 0])
    assert shmax[0, 0] == pytest.approx(0.0, abs=1e-9)  # S1 vertical: SHmax along S2 (north)
    trend, plunge = velkor.fold_axes([[270.0, 10.0]], [[-10.0, np.nan]])
    assert trend.tolist()[0][0] == 90.0 and plunge.tolist()[0][0] == 10.0 and math.isnan(plunge[0, 1])
    # A vertical axis has no trend: it is written as 0 whichever trend it came with.
    assert velkor.fold_axes([250.0, 250.0], [90.0, -90.0])[0].tolist() == [0.0, 0.0]
    # Horizontal stress the same in every direction: no SHmax.
    assert math.isnan(velkor.shmax_azimuth([0, 90], [0, 0], [90, 0], 0.0).item())


def test_shmax_is_the_horizontal_direction_of_greatest_normal_stress():
    """Against a brute-force maximum of d.S.d over horizontal d, S from the kernel's own tensor."""
    azimuths = np.radians(np.linspace(0.0, 180.0, 180001)[:-1])
    directions = np.stack([np.sin(azimuths), np.cos(azimuths), np.zeros_like(azimuths)], axis=1)
    for _ in range(40):
        s1, s3, phi = random_tensor()
        matrix = kernels.stress_tensor(*s1, *s3, phi)
        s2 = axis_of(np.cross(unit(*s3), unit(*s1)))
        stress = np.einsum("ij,jk,ik->i", directions, matrix, directions)
        if stress.max() - stress.min() < 1e-3:
            continue
        expected = math.degrees(azimuths[np.argmax(stress)])
        got = velkor.shmax_azimuth(s1, s2, s3, phi).item()
        assert 0.0 <= got < 180.0
        assert abs((got - expected + 90.0) % 180.0 - 90.0) < 2e-3


# --------------------------------------------------------------------------- inversion

def test_invert_recovers_a_tilted_tensor_and_reports_it_folded():
    s1, s3, phi = (200.0, 60.0), (290.0, 0.0), 0.5  # normal faulting, S3 E-W, S1 tilted
    faults = synthetic_faults(s1, s3, phi, 40)
    solution = velkor.invert(faults, angle_step_degrees=10.0, phi_step=0.1)
    assert solution.mean_misfit_degrees < 1.0 and solution.phi == pytest.approx(0.5)
    for axis in (solution.s1, solution.s2, solution.s3):
        assert 0.0 <= axis[1] <= 90.0 and 0.0 <= axis[0] < 360.0
    assert solution.s1 == pytest.approx((200.0, 60.0)) and solution.regime == "NF"
    assert solution.r_prime == pytest.approx(0.5)
    # With S1 60 degrees from horizontal SHmax is not simply an axis trend; it is still S2's trend here.
    assert solution.shmax_azimuth == pytest.approx(velkor.shmax_azimuth(solution.s1, solution.s2, solution.s3, 0.5))
    raw = solution.raw
    assert raw == kernels.invert_stress(faults.faults, angle_step_degrees=10.0, phi_step=0.1)
    expected_misfits = kernels.score_stress(*raw["best"]["s1"], *raw["best"]["s3"], raw["best"]["phi"],
                                            faults.faults)["misfits"]
    np.testing.assert_array_equal(solution.misfits, expected_misfits)
    assert not solution.misfits.flags.writeable
    assert (solution.faults_scored, solution.candidates_tried) == (40, 71280)


def test_alternatives_are_the_distinct_runners_up_in_rank_order():
    for _ in range(6):
        s1, s3, phi = random_tensor()
        faults = synthetic_faults(s1, s3, phi, 12, noise=15.0)
        solution = velkor.invert(faults, angle_step_degrees=20.0, phi_step=0.25)
        matrices = [solution.matrix()] + [a.matrix() for a in solution.alternatives]
        for i in range(len(matrices)):
            for j in range(i):
                assert np.abs(matrices[i] - matrices[j]).max() > 1e-6
        misfits = [solution.mean_misfit_degrees] + [a.mean_misfit_degrees for a in solution.alternatives]
        assert misfits == sorted(misfits)
        # Every runner-up left out is the same tensor as one kept.
        for entry in solution.raw["runners_up"]:
            matrix = kernels.stress_tensor(*entry["s1"], *entry["s3"], entry["phi"])
            assert min(np.abs(matrix - m).max() for m in matrices) < 1e-9


def test_radial_extension_reached_from_every_trend_is_one_tensor():
    faults = velkor.FaultSet.from_rakes(np.arange(0, 360, 30), [60] * 12, [-90] * 12)
    solution = velkor.invert(faults)
    assert len(solution.raw["runners_up"]) == 5 and solution.alternatives == ()
    assert solution.s1 == (0.0, 90.0) and solution.phi == 0.0 and math.isnan(solution.shmax_azimuth)
    document = json.loads(json.dumps(solution.to_dict(), allow_nan=False))
    assert list(document)[:9] == ["s1", "s2", "s3", "phi", "r_prime", "regime", "shmax_azimuth",
                                  "mean_misfit_degrees", "faults_scored"]
    assert document["shmax_azimuth"] is None and document["alternatives"] == []


def test_weights_and_senses_reach_the_kernel_and_the_misfits():
    s1, s3, phi = (10.0, 5.0), (100.0, 2.0), 0.3
    faults = synthetic_faults(s1, s3, phi, 10, noise=5.0)
    weights = np.array([1, 0, 2, 1, 1, 0.5, 1, 1, 3, 1], dtype=float)
    senses = np.array([True] * 5 + [False] * 5)
    weighted = velkor.FaultSet(faults.faults, senses, weights)
    solution = velkor.invert(weighted, angle_step_degrees=15.0, phi_step=0.2)
    assert solution.raw == kernels.invert_stress(faults.faults, senses, weights, 15.0, 0.2)
    assert np.isnan(solution.misfits[[1, 5]]).tolist() == [True, False]
    scored = velkor.score(weighted, solution.s1, solution.s3, solution.phi)
    keep = ~np.isnan(scored.misfits)
    expected = np.sum(weights[keep] * scored.misfits[keep]) / np.sum(weights[keep])
    assert scored.mean_misfit_degrees == pytest.approx(expected, rel=1e-12)
    assert scored.effective_sample_size == pytest.approx(np.sum(weights[keep]) ** 2 / np.sum(weights[keep] ** 2))
    assert scored.faults_scored == 9 and scored.candidates_tried == 1


@pytest.mark.parametrize("call, error, message", [
    (lambda: velkor.invert(np.empty((0, 4))), ValueError,
     "no stress tensor could be scored: the fault set is empty or every weight is zero"),
    (lambda: velkor.invert([[0, 60, 90, 60]], angle_step_degrees=0.0), ValueError,
     "angle_step_degrees and phi_step must be positive finite numbers"),
    (lambda: velkor.score([[0, 60, 90, 60]], (0, 90), (0, 0), 1.5), ValueError, "Phi must be between 0 and 1, got 1.5"),
    (lambda: velkor.score([[0, 90, 0, 0]], (0, 90), (90, 0), 0.5), ValueError,
     "no fault could be scored: the tensor predicts no slip on any fault of positive weight"),
])
def test_refusals_say_why(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value) == message


# --------------------------------------------------------------------------- density

@pytest.mark.parametrize("dimension", [1, 2, 3])
def test_density_grid_is_the_kernel_field_with_coordinates(dimension):
    xr = pytest.importorskip("xarray")
    points = RNG.normal(0.0, 3.0, size=(150, dimension)).astype(np.float32)
    spacing, bandwidth = [0.7, 1.0 / 3.0, 0.5][:dimension], 2.5
    result = velkor.density(points, spacing, bandwidth, margin=2.0, kernel="gaussian")
    assert isinstance(result, xr.DataArray) and result.name == "density"
    assert result.dims == {1: ("x",), 2: ("y", "x"), 3: ("z", "y", "x")}[dimension]
    as64 = points.astype(np.float64)
    grid = kernels.covering_grid(as64, spacing, margin=2.0)
    flat = kernels.density_field(as64, grid["origin"], grid["spacing"], grid["counts"], [bandwidth] * dimension,
                                 "gaussian")
    assert result.values.ravel().tobytes() == flat.tobytes()
    np.testing.assert_array_equal(result.values, flat.reshape(grid["counts"], order="F").T)
    for axis, name in enumerate("xyz"[:dimension]):
        expected = [float(i) * grid["spacing"][axis] + grid["origin"][axis] for i in range(grid["counts"][axis])]
        assert result[name].values.tolist() == expected
    assert result.attrs["kernel"] == "gaussian" and result.attrs["grid_counts"] == grid["counts"]


def test_density_on_a_given_grid_and_its_refusals():
    pytest.importorskip("xarray")
    points = [[0.0, 0.0], [1.0, 2.0]]
    grid = {"origin": [-1.0, -1.0], "spacing": [0.5, 0.5], "counts": [5, 9]}
    result = velkor.density(points, None, [1.0, 2.0], grid=grid)
    assert result.shape == (9, 5)
    with pytest.raises(ValueError, match=r"differs from the grid's spacing \[0\.5, 0\.5\]"):
        velkor.density(points, 1.0, 1.0, grid=grid)
    with pytest.raises(ValueError, match=r"grid\['counts'\]\[1\] must be a whole number of nodes >= 1, got 0"):
        velkor.density(points, None, 1.0, grid=dict(grid, counts=[5, 0]))
    with pytest.raises(ValueError, match=r"^points must have shape \(N, D\) with D 1, 2 or 3 coordinates"):
        velkor.density(np.zeros((3, 4)), 1.0, 1.0)
    with pytest.raises(ValueError, match=r"^bandwidth must hold one value per axis \(2\), got 3$"):
        velkor.density(points, 1.0, [1, 1, 1])


def test_the_package_imports_with_numpy_alone(child):
    blocked = ["matplotlib", "mplstereonet", "rasterio", "xarray", "zarr", "dask", "distributed", "tqdm", "pandas"]
    code = (f"import sys\nfor name in {blocked!r}:\n    sys.modules[name] = None\n"
            "import velkor\n"
            "faults = velkor.FaultSet.from_rakes([0, 90], [60, 60], [-90, -90])\n"
            "print(velkor.score(faults, (0, 90), (90, 0), 0.5).regime)\n"
            "try:\n    velkor.density([[0.0, 0.0]], 1.0, 1.0)\n"
            "except ImportError as error:\n    print(error)\n")
    out = child(code).decode().splitlines()
    assert out == ["NF", "velkor.density needs the optional package 'xarray', which is not installed; "
                         "install it with: pip install 'velkor[geo]'"]


def test_the_bundled_field_book_table_gives_its_two_regimes():
    faults = velkor.read_faults(velkor.sample_data("faults_fieldbook.csv"))
    assert len(faults) == 120 and faults.positions.shape == (120, 2)
    west = velkor.invert(faults.subset(faults.positions[:, 0] < 10.0))
    east = velkor.invert(faults.subset(faults.positions[:, 0] >= 10.0))
    assert (west.regime, east.regime) == ("NF", "SS")
    np.testing.assert_allclose([west.s1, west.s3, east.s1, east.s3],
                               [(0.0, 90.0), (100.0, 0.0), (30.0, 0.0), (120.0, 0.0)], atol=1e-9)
    assert east.shmax_azimuth == pytest.approx(30.0) and west.shmax_azimuth == pytest.approx(10.0)
