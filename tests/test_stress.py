"""stress_tensor, solve_stress and score_stress: worked values, messages, validation order, invariants
and a bit-for-bit re-derivation in plain Python floats on random input."""

import functools
import math
import operator

import numpy as np
import pytest

import stress_reference as ref
from _velkor import kernels

SOLVE_KEYS = ["is_valid", "traction", "traction_magnitude", "normal_stress", "normal_stress_magnitude", "shear_stress",
              "shear_stress_magnitude", "theoretical_rake", "theoretical_slickenline", "slip_tendency",
              "deformation_index"]
OPTIONAL_KEYS = ["theoretical_rake", "theoretical_slickenline", "slip_tendency", "deformation_index"]
NORMAL = (0.0, 90.0, 90.0, 0.0, 0.5)  # Andersonian normal faulting: S1 vertical, S3 East


def random_tensors(rng, count):
    """Valid (s1 trend, s1 plunge, s3 trend, s3 plunge, phi) drawn from random orthonormal frames."""
    out = []
    while len(out) < count:
        q, _ = np.linalg.qr(rng.normal(size=(3, 3)))
        t1, p1 = ref.trend_plunge(tuple(q[:, 0]))
        t3, p3 = ref.trend_plunge(tuple(q[:, 2]))
        out.append((t1, p1, t3, p3, float(rng.uniform(0, 1))))
    return out


def random_faults(rng, count, off_plane=0.0):
    """(count, 4) rows of strike, dip, trend, plunge with the slickenline in the plane (up to `off_plane`)."""
    rows = []
    for _ in range(count):
        strike, dip, rake = rng.uniform(-400, 400), rng.uniform(0, 90), rng.uniform(-180, 180)
        dd = ref.wrap(strike + 90.0)
        a, d = dd * ref.D2R, dip * ref.D2R
        s = ref.wrap(dd - 90.0) * ref.D2R
        r = rake * ref.D2R
        v = (math.cos(r) * math.sin(s) - math.cos(d) * math.sin(r) * math.cos(s),
             math.cos(r) * math.cos(s) + math.cos(d) * math.sin(r) * math.sin(s), math.sin(d) * math.sin(r))
        n = (math.sin(d) * math.sin(a), math.sin(d) * math.cos(a), math.cos(d))
        v = ref.unit(tuple(v[k] + off_plane * rng.uniform(-1, 1) * n[k] for k in range(3)))
        rows.append((strike, dip, *ref.trend_plunge(v)))
    return np.array(rows)


# --------------------------------------------------------------------------------------------------
# stress_tensor

@pytest.mark.parametrize("args,diagonal", [
    ((0, 90, 90, 0, 0.5), [0.0, 0.5, 1.0]),
    ((0, 0, 90, 0, 0.0), [0.0, 1.0, 0.0]),
    ((0, 0, 90, 0, 1.0), [0.0, 1.0, 1.0]),
])
def test_tensor_diagonal_cases(args, diagonal):
    m = kernels.stress_tensor(*args)
    assert m.shape == (3, 3) and m.dtype == np.float64 and m.flags.c_contiguous
    np.testing.assert_allclose(m, np.diag(diagonal), atol=1e-15)


def test_s2_is_s3_cross_s1():
    # S1 vertical, S3 East: S2 = S3 x S1 points North, so the North eigenvalue is sigma2.
    m = kernels.stress_tensor(0, 90, 90, 0, 0.25, sigma1=4.0, sigma3=2.0)
    np.testing.assert_allclose(np.diag(m), [2.0, 2.5, 4.0], atol=1e-14)


def test_magnitudes_and_trace():
    m = kernels.stress_tensor(30, 20, 120, 0, 0.5, sigma1=3.0, sigma3=1.0)
    assert np.trace(m) == pytest.approx(6.0, abs=1e-14)
    np.testing.assert_allclose(np.sort(np.linalg.eigvalsh(m)), [1.0, 2.0, 3.0], atol=1e-12)
    np.testing.assert_array_equal(m, m.T)


def test_reversed_s3_gives_the_same_matrix():
    np.testing.assert_allclose(kernels.stress_tensor(30, 20, 120, 0, 0.3),
                               kernels.stress_tensor(30, 20, 300, -0.0, 0.3), atol=1e-15)
    a = kernels.stress_tensor(200, 35, 20, 55, 0.7)
    b = kernels.stress_tensor(200, 35, 200, -55, 0.7)
    np.testing.assert_allclose(a, b, atol=1e-15)


@pytest.mark.parametrize("s3_trend", [89.0, 91.0, 89.5])
def test_axes_within_a_degree_are_accepted(s3_trend):
    assert kernels.stress_tensor(0, 0, s3_trend, 0, 0.5).shape == (3, 3)


@pytest.mark.parametrize("args,message", [
    ((0, 0, 85, 0, 0.5), "S1 and S3 axes must be sub-orthogonal: 85.000 degrees apart, expected within 1.000 of 90"),
    ((0, 0, 91.5, 0, 0.5), "S1 and S3 axes must be sub-orthogonal: 91.500 degrees apart, expected within 1.000 of 90"),
    ((0, 0, 88.9, 0, 0.5), "S1 and S3 axes must be sub-orthogonal: 88.900 degrees apart, expected within 1.000 of 90"),
    ((0, 0, 91.1, 0, 0.5), "S1 and S3 axes must be sub-orthogonal: 91.100 degrees apart, expected within 1.000 of 90"),
    ((0, 0, 90, 0, 1.5), "Phi must be between 0 and 1, got 1.5"),
    ((0, 0, 90, 0, 2.0), "Phi must be between 0 and 1, got 2"),
    ((0, 0, 90, 0, -0.25), "Phi must be between 0 and 1, got -0.25"),
    ((0, 0, 90, 0, math.nan), "Phi must be between 0 and 1, got NaN"),
    ((0, 0, 90, 0, 1e-7 - 1), "Phi must be between 0 and 1, got -0.9999999"),
    ((0, 0, 90, 0, 0.5, 0.0, 0.0), "Sigma1 must be greater than Sigma3, got sigma1=0, sigma3=0"),
    ((0, 0, 90, 0, 0.5, 1.0, 2.5), "Sigma1 must be greater than Sigma3, got sigma1=1, sigma3=2.5"),
    ((0, 0, 90, 0, 0.5, 1.0, 1.0), "Sigma1 must be greater than Sigma3, got sigma1=1, sigma3=1"),
    ((0, 0, 90, 0, 0.5, -math.inf, 0.0), "Sigma1 must be greater than Sigma3, got sigma1=-inf, sigma3=0"),
    ((0, 90, 90, 0, 0.5, 1e22, 1e23),
     "Sigma1 must be greater than Sigma3, got sigma1=10000000000000000000000, sigma3=100000000000000000000000"),
    # Only the first failing check is reported.
    ((0, 0, 45, 0, 7.0, 0.0, 1.0), "S1 and S3 axes must be sub-orthogonal: 45.000 degrees apart, expected within 1.000 of 90"),
    ((0, 0, 90, 0, 7.0, 0.0, 1.0), "Phi must be between 0 and 1, got 7"),
])
@pytest.mark.parametrize("function", ["stress_tensor", "solve_stress"])
def test_tensor_messages(args, message, function):
    if function == "stress_tensor":
        call = lambda: kernels.stress_tensor(*args)
    else:
        call = lambda: kernels.solve_stress(*args[:5], 0.0, 60.0, *args[5:])
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == message and info.value.args == (message,)


def test_nan_axes_and_sigmas_pass_the_checks():
    assert np.isnan(kernels.stress_tensor(math.nan, 0, 90, 0, 0.5)).all()
    assert np.isnan(kernels.stress_tensor(0, 0, 90, 0, 0.5, sigma1=math.nan)).any()
    m = kernels.stress_tensor(0, 90, 90, 0, 0.5, sigma1=math.inf)
    assert m.shape == (3, 3)


def test_tensor_defaults_and_none():
    np.testing.assert_array_equal(kernels.stress_tensor(0, 90, 90, 0, 0.5),
                                  kernels.stress_tensor(0, 90, 90, 0, 0.5, 1.0, 0.0))
    with pytest.raises(TypeError):
        kernels.stress_tensor(0, 90, 90, 0, 0.5, sigma1=None)


def test_tensor_matches_reference_bitwise():
    rng = np.random.default_rng(7)
    for args in random_tensors(rng, 50):
        sig = sorted(rng.uniform(-5, 5, size=2))
        m = kernels.stress_tensor(*args, sigma1=sig[1], sigma3=sig[0])
        assert m.ravel().tolist() == ref.tensor(*args, sig[1], sig[0])[3]


# --------------------------------------------------------------------------------------------------
# solve_stress

def test_andersonian_normal_faulting():
    r = kernels.solve_stress(*NORMAL, 0.0, 60.0)
    assert list(r) == SOLVE_KEYS
    assert r["is_valid"] is True
    assert r["theoretical_rake"] == pytest.approx(-90.0, abs=1e-9)
    trend, plunge = r["theoretical_slickenline"]
    assert trend == pytest.approx(90.0, abs=1e-9) and plunge == pytest.approx(60.0, abs=1e-9)
    assert r["normal_stress_magnitude"] == pytest.approx(-0.25, abs=1e-12)
    assert r["shear_stress_magnitude"] == pytest.approx(0.25 * math.tan(math.radians(60)), abs=1e-12)
    assert r["traction_magnitude"] == pytest.approx(-0.5, abs=1e-12)
    assert r["slip_tendency"] == pytest.approx(0.8660254037844386, abs=1e-12)
    assert r["deformation_index"] == pytest.approx((0.5 - 0.4330127018922193) / -0.5, abs=1e-12)
    for key in ("traction", "normal_stress", "shear_stress"):
        assert isinstance(r[key], tuple) and len(r[key]) == 3 and all(type(x) is float for x in r[key])
    shear = np.array(r["shear_stress"])
    normal = np.array(kernels.plane_normal(90.0, 60.0))
    assert abs(shear @ normal) < 1e-15  # the shear lies in the plane


def test_reverse_regime():
    # S1 horizontal East-West, S3 vertical: a plane dipping 30 slips in reverse.
    r = kernels.solve_stress(90, 0, 0, 90, 0.5, 0.0, 30.0)
    assert r["theoretical_rake"] == pytest.approx(90.0, abs=1e-9)
    assert r["theoretical_slickenline"][1] == pytest.approx(-30.0, abs=1e-9)
    assert r["theoretical_slickenline"][0] == pytest.approx(270.0, abs=1e-9)


@pytest.mark.parametrize("strike,dip", [(0.0, 0.0), (123.0, 0.0)])
def test_plane_on_a_principal_axis_predicts_nothing(strike, dip):
    r = kernels.solve_stress(*NORMAL, strike, dip)
    assert list(r) == SOLVE_KEYS and r["is_valid"] is False
    assert all(r[k] is None for k in OPTIONAL_KEYS)
    assert r["traction_magnitude"] == pytest.approx(-1.0) and r["normal_stress_magnitude"] == pytest.approx(-1.0)
    assert r["shear_stress_magnitude"] < 1e-15


def test_threshold_is_strict():
    shear = kernels.solve_stress(*NORMAL, 0.0, 60.0)["shear_stress_magnitude"]
    assert kernels.solve_stress(*NORMAL, 0.0, 60.0, shear_threshold=shear)["is_valid"] is False
    assert kernels.solve_stress(*NORMAL, 0.0, 60.0, shear_threshold=math.nextafter(shear, 0))["is_valid"] is True
    assert kernels.solve_stress(*NORMAL, 0.0, 60.0, shear_threshold=1.0)["theoretical_rake"] is None
    # A non-positive threshold declares even a shear-free plane valid.
    r = kernels.solve_stress(*NORMAL, 0.0, 0.0, shear_threshold=-1.0)
    assert r["is_valid"] is True and r["slip_tendency"] == pytest.approx(0.0, abs=1e-15)
    assert abs(r["deformation_index"]) == pytest.approx(1.0)


def test_defaults():
    a = kernels.solve_stress(*NORMAL, 10.0, 50.0)
    assert a == kernels.solve_stress(*NORMAL, 10.0, 50.0, 1.0, 0.0, 1e-5)
    with pytest.raises(TypeError):
        kernels.solve_stress(*NORMAL, 10.0, 50.0, sigma1=None)


def test_strike_is_taken_modulo_360():
    results = [kernels.solve_stress(20, 70, 110, 0, 0.3, s, 55.0) for s in (10.0, 370.0, -350.0)]
    assert results[0] == results[1] == results[2]


def test_rake_does_not_depend_on_magnitudes():
    base = kernels.solve_stress(20, 70, 110, 0, 0.3, 10.0, 55.0)
    for sigma1, sigma3 in [(10.0, 2.0), (-1.0, -7.5), (100.0, 99.0)]:
        r = kernels.solve_stress(20, 70, 110, 0, 0.3, 10.0, 55.0, sigma1, sigma3)
        assert r["theoretical_rake"] == pytest.approx(base["theoretical_rake"], abs=1e-9)
        assert r["traction_magnitude"] != base["traction_magnitude"]


def test_nan_propagates_without_error():
    r = kernels.solve_stress(*NORMAL, 0.0, math.nan)
    assert r["is_valid"] is False and all(r[k] is None for k in OPTIONAL_KEYS)
    assert all(math.isnan(x) for x in r["shear_stress"])
    r = kernels.solve_stress(math.nan, 90, 90, 0, 0.5, 0.0, 60.0)
    assert r["is_valid"] is False and math.isnan(r["traction_magnitude"])


def test_solve_matches_reference_bitwise():
    rng = np.random.default_rng(11)
    for args in random_tensors(rng, 60):
        strike, dip = float(rng.uniform(-720, 720)), float(rng.uniform(-10, 100))
        sig = sorted(rng.uniform(-3, 3, size=2))
        got = kernels.solve_stress(*args, strike, dip, sig[1], sig[0])
        want = ref.resolve(ref.tensor(*args, sig[1], sig[0])[3], ref.wrap(strike + 90.0), dip)
        for key in ("traction", "normal_stress", "shear_stress"):
            assert got[key] == want[key]
        for key in ("traction_magnitude", "normal_stress_magnitude", "shear_stress_magnitude", "is_valid",
                    "slip_tendency", "deformation_index"):
            assert got[key] == want[key], key
        assert got["theoretical_rake"] == want["rake"]
        assert got["theoretical_slickenline"] == ref.trend_plunge(want["slip"])


def test_slickenline_is_consistent_with_its_rake():
    rng = np.random.default_rng(3)
    for args in random_tensors(rng, 20):
        strike, dip = float(rng.uniform(0, 360)), float(rng.uniform(1, 89))
        r = kernels.solve_stress(*args, strike, dip)
        assert r["theoretical_slickenline"] == kernels.rake_to_slickenline(strike, dip, r["theoretical_rake"])


# --------------------------------------------------------------------------------------------------
# score_stress

SCORE_KEYS = ["mean_misfit_degrees", "faults_scored", "misfits"]


def test_score_empty_set():
    r = kernels.score_stress(*NORMAL, np.zeros((0, 4)))
    assert list(r) == SCORE_KEYS
    assert r["mean_misfit_degrees"] is None and r["faults_scored"] == 0
    assert r["misfits"].shape == (0,) and r["misfits"].dtype == np.float64


def test_score_worked_values():
    faults = np.array([
        [0.0, 60.0, 90.0, 60.0],     # pure normal slip, predicted exactly: 0
        [0.0, 60.0, 270.0, -60.0],   # the opposite way: 180 (0 when the sense is unknown)
        [0.0, 0.0, 0.0, 0.0],        # horizontal plane, normal along S1: no prediction
        [45.0, 90.0, 45.0, 0.0],     # vertical plane containing S1 and S2: normal along S3... no slip
    ])
    r = kernels.score_stress(*NORMAL, faults)
    m = r["misfits"]
    assert m[0] == pytest.approx(0.0, abs=1e-6) and m[1] == pytest.approx(180.0, abs=1e-6)
    assert np.isnan(m[2])
    assert r["faults_scored"] == int(np.isfinite(m).sum())
    assert r["mean_misfit_degrees"] == pytest.approx(np.nanmean(m))
    r = kernels.score_stress(*NORMAL, faults, np.array([True, False, True, True]))
    assert r["misfits"][1] == pytest.approx(0.0, abs=1e-6)


def test_non_finite_rows_are_unscored():
    faults = np.array([[0.0, 60.0, 90.0, 60.0], [math.nan, 60, 90, 60], [0, 60, math.inf, 60], [0, math.inf, 0, 0],
                       [10.0, 50.0, 100.0, 50.0]])
    r = kernels.score_stress(*NORMAL, faults)
    assert np.isnan(r["misfits"][1:4]).all() and r["faults_scored"] == 2
    assert r["mean_misfit_degrees"] == (r["misfits"][0] + r["misfits"][4]) / 2


@pytest.mark.parametrize("shape", [(3, 3), (2, 5), (0, 3), (0, 5)])
def test_column_count_message(shape):
    with pytest.raises(ValueError, match=r"^faults must be an \(N, 4\) array of strike, dip, slickenline trend, "
                                         r"slickenline plunge$"):
        kernels.score_stress(*NORMAL, np.zeros(shape), np.ones(7, bool))


def test_senses_length_message():
    with pytest.raises(ValueError) as info:
        kernels.score_stress(*NORMAL, np.array([[0.0, 60.0, 90.0, 60.0]] * 2 + [[0.0, 60.0, 0.0, 0.0]]),
                             np.ones(5, bool))
    assert str(info.value) == "senses has 5 entries for 3 faults"


def off_plane_row(strike, dip, degrees):
    """A row whose slickenline leaves the plane by `degrees`, tilted from the dip line towards the normal."""
    dd = ref.wrap(strike + 90.0)
    return [strike, dip, dd, dip - degrees]


@pytest.mark.parametrize("degrees,accepted", [(1.0, True), (0.999, True), (1.2, False), (-1.2, False)])
def test_coplanarity_tolerance(degrees, accepted):
    rows = np.array([[0.0, 60.0, 90.0, 60.0]] * 3 + [off_plane_row(0.0, 60.0, degrees)] + [off_plane_row(0, 60, 5)])
    rows[4] = rows[0]
    if accepted:
        assert kernels.score_stress(*NORMAL, rows)["faults_scored"] == 5
    else:
        with pytest.raises(ValueError) as info:
            kernels.score_stress(*NORMAL, rows)
        assert str(info.value) == ("fault 3: slickenline 0 lies 1.200 degrees off the fault plane, "
                                   "more than the 1.000 allowed")


def test_exactly_one_degree_off_is_accepted():
    # A horizontal plane: the slickenline's plunge is its angle to the plane, exactly.
    r = kernels.score_stress(*NORMAL, np.array([[0.0, 0.0, 10.0, 1.0], [0.0, 0.0, 10.0, -1.0]]))
    assert r["faults_scored"] == 0
    with pytest.raises(ValueError, match=r"^fault 1: slickenline 0 lies 1\.001 degrees off"):
        kernels.score_stress(*NORMAL, np.array([[0.0, 0.0, 10.0, 1.0], [0.0, 0.0, 10.0, 1.001]]))


def test_validation_order():
    bad_row = off_plane_row(0.0, 60.0, 5.0)
    # The tensor comes first, then the column count, then senses, then rows in order.
    with pytest.raises(ValueError, match=r"^Phi must be"):
        kernels.score_stress(0, 90, 90, 0, 2.0, np.zeros((2, 3)), np.ones(9, bool))
    with pytest.raises(ValueError, match=r"^faults must be"):
        kernels.score_stress(*NORMAL, np.zeros((2, 3)), np.ones(9, bool))
    with pytest.raises(ValueError, match=r"^senses has 9 entries for 2 faults$"):
        kernels.score_stress(*NORMAL, np.array([bad_row, bad_row]), np.ones(9, bool))
    with pytest.raises(ValueError, match=r"^fault 1: slickenline 0 lies 5.000 degrees"):
        kernels.score_stress(*NORMAL, np.array([[0.0, 60.0, 90.0, 60.0], bad_row, off_plane_row(0, 60, 9)]))
    # Types are checked, in parameter order, before any value.
    with pytest.raises(TypeError):
        kernels.score_stress(0, 90, 90, 0, 2.0, np.zeros((2, 4), np.float32))


def test_senses_none_and_strided_input():
    rng = np.random.default_rng(5)
    faults = random_faults(rng, 12)
    base = kernels.score_stress(*NORMAL, faults)
    assert base["faults_scored"] == 12
    np.testing.assert_array_equal(kernels.score_stress(*NORMAL, faults, None)["misfits"], base["misfits"])
    np.testing.assert_array_equal(kernels.score_stress(*NORMAL, faults, np.ones(12, bool))["misfits"], base["misfits"])
    fortran = np.asfortranarray(faults)
    np.testing.assert_array_equal(kernels.score_stress(*NORMAL, fortran)["misfits"], base["misfits"])
    reversed_rows = faults[::-1]
    np.testing.assert_array_equal(kernels.score_stress(*NORMAL, reversed_rows)["misfits"], base["misfits"][::-1])
    wide = np.zeros((12, 8))
    wide[:, ::2] = faults
    senses = np.zeros(24, bool)
    senses[::2] = True
    np.testing.assert_array_equal(kernels.score_stress(*NORMAL, wide[:, ::2], senses[::2])["misfits"], base["misfits"])


def test_score_matches_reference_bitwise():
    rng = np.random.default_rng(13)
    for args in random_tensors(rng, 12):
        faults = random_faults(rng, 25, off_plane=0.01)
        senses = rng.uniform(size=25) < 0.7
        r = kernels.score_stress(*args, faults, senses)
        m = ref.tensor(*args)[3]
        want = [ref.misfit(m, tuple(row), bool(s)) for row, s in zip(faults.tolist(), senses)]
        assert [None if math.isnan(x) else x for x in r["misfits"].tolist()] == want
        scored = [x for x in want if x is not None]
        assert r["faults_scored"] == len(scored)
        # Summed left to right, as the kernel does (the built-in sum() is compensated from Python 3.12 on).
        assert r["mean_misfit_degrees"] == functools.reduce(operator.add, scored, 0.0) / len(scored)


def test_score_against_vectorised_numpy():
    # An independent vectorised derivation of the misfit, to tolerance.
    rng = np.random.default_rng(17)
    faults = random_faults(rng, 200)
    for args in random_tensors(rng, 5):
        *_, m = ref.tensor(*args)
        sig = np.array(m).reshape(3, 3)
        dd = np.radians(np.mod(faults[:, 0] + 90, 360))
        dip = np.radians(faults[:, 1])
        n = np.stack([np.sin(dip) * np.sin(dd), np.sin(dip) * np.cos(dd), np.cos(dip)], axis=1)
        t = -n @ sig.T
        shear = t - (t * n).sum(1, keepdims=True) * n
        q = shear / np.linalg.norm(shear, axis=1, keepdims=True)
        tr, pl = np.radians(faults[:, 2]), np.radians(faults[:, 3])
        line = np.stack([np.sin(tr) * np.cos(pl), np.cos(tr) * np.cos(pl), -np.sin(pl)], axis=1)
        want = np.degrees(np.arccos(np.clip((q * line).sum(1), -1, 1)))
        np.testing.assert_allclose(kernels.score_stress(*args, faults)["misfits"], want, atol=1e-7)
