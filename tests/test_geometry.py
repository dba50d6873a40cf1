"""plane_normal and rake_to_slickenline: worked values, invariants and a NumPy re-derivation."""

import math

import numpy as np
import pytest

from _velkor import kernels

D2R = 0.017453292519943295
R2D = 57.29577951308232


def test_plane_normal_worked_values():
    assert kernels.plane_normal(0, 0) == [0.0, 0.0, 1.0]
    east = kernels.plane_normal(90, 90)
    assert east[0] == 1.0 and abs(east[1] - 6.123e-17) < 1e-19 and abs(east[2] - 6.123e-17) < 1e-19
    tilted = kernels.plane_normal(90, 30)
    assert tilted == pytest.approx([0.5, 3.06e-17, 0.8660254037844387], abs=1e-15)
    assert isinstance(kernels.plane_normal(90, 45), list)


def test_plane_normal_nan_and_unwrapped_dip_direction():
    assert all(math.isnan(c) for c in kernels.plane_normal(float("nan"), 30)[:2])
    assert kernels.plane_normal(450, 30) == pytest.approx(kernels.plane_normal(90, 30), abs=1e-15)


@pytest.mark.parametrize(
    "strike,dip,rake,expected",
    [
        (0, 90, 0, (0.0, -0.0)),
        (0, 45, 90, (270.0, -45.0)),
        (0, 45, -90, (90.0, 45.0)),
    ],
)
def test_rake_worked_values(strike, dip, rake, expected):
    trend, plunge = kernels.rake_to_slickenline(strike, dip, rake)
    assert trend == pytest.approx(expected[0], abs=1e-12)
    assert plunge == pytest.approx(expected[1], abs=1e-12)
    if expected == (0.0, -0.0):
        assert (trend, math.copysign(1.0, plunge)) == (0.0, -1.0)


def test_strike_is_taken_modulo_360():
    reference = kernels.rake_to_slickenline(10, 60, 30)
    assert kernels.rake_to_slickenline(370, 60, 30) == reference
    assert kernels.rake_to_slickenline(-350, 60, 30) == reference


def test_rake_180_and_minus_180_agree_to_rounding():
    a = kernels.rake_to_slickenline(40, 60, 180)
    b = kernels.rake_to_slickenline(40, 60, -180)
    assert a[0] == pytest.approx(b[0], abs=1e-12)
    assert abs(a[1] - b[1]) < 1e-13


def test_trend_range_never_reaches_360():
    rng = np.random.default_rng(7)
    for strike, dip, rake in rng.uniform([-720, 0, -180], [720, 90, 180], size=(500, 3)):
        trend, plunge = kernels.rake_to_slickenline(strike, dip, rake)
        assert 0.0 <= trend < 360.0 and -90.0 <= plunge <= 90.0


def numpy_slickenline(strike, dip, rake):
    dip_direction = np.fmod(strike + 90.0, 360.0)
    dip_direction = np.where(dip_direction < 0, dip_direction + 360.0, dip_direction)
    s = np.fmod(dip_direction - 90.0, 360.0)
    s = np.where(s < 0, s + 360.0, s) * D2R
    d, r = dip * D2R, rake * D2R
    v = np.stack([np.cos(r) * np.sin(s) - np.cos(d) * np.sin(r) * np.cos(s),
                  np.cos(r) * np.cos(s) + np.cos(d) * np.sin(r) * np.sin(s),
                  np.sin(d) * np.sin(r)])
    v = v / np.linalg.norm(v, axis=0)
    trend = np.arctan2(v[0], v[1]) * R2D
    trend = np.where(trend < 0, trend + 360.0, trend)
    plunge = np.arcsin(np.clip(-v[2], -1, 1)) * R2D
    return trend, plunge, v


def test_rake_matches_numpy_rederivation_and_lies_in_the_plane():
    rng = np.random.default_rng(11)
    strike, dip, rake = rng.uniform([0, 1, -179], [360, 89, 179], size=(300, 3)).T
    trend, plunge, v = numpy_slickenline(strike, dip, rake)
    for i in range(len(strike)):
        t, p = kernels.rake_to_slickenline(strike[i], dip[i], rake[i])
        assert t == pytest.approx(trend[i], abs=1e-9)
        assert p == pytest.approx(plunge[i], abs=1e-9)
        normal = np.array(kernels.plane_normal(strike[i] + 90.0, dip[i]))
        assert abs(normal @ v[:, i]) < 1e-12
        # reverse components move the hanging wall up (negative plunge)
        assert (p < 0) == (rake[i] > 0)


def test_nan_rake_propagates():
    trend, plunge = kernels.rake_to_slickenline(10, 20, float("nan"))
    assert math.isnan(trend) and math.isnan(plunge)
