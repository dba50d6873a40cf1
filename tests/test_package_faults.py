"""velkor.FaultSet, read_faults and mechanisms_from_sdr: what users hand over becomes the kernels' arrays."""

import numpy as np
import pytest

import velkor
from velkor import kernels

RNG = np.random.default_rng(20261209)


def kernel_slickenlines(strike, dip, rake):
    return np.array([kernels.rake_to_slickenline(s, d, r) for s, d, r in zip(strike, dip, rake)])


def same_axis_degrees(trend_a, plunge_a, trend_b, plunge_b):
    """Angle between two directed lines, degrees."""
    def vec(t, p):
        t, p = np.radians(t), np.radians(p)
        return np.stack([np.cos(p) * np.sin(t), np.cos(p) * np.cos(t), -np.sin(p)], axis=-1)
    chord = np.linalg.norm(vec(trend_a, plunge_a) - vec(trend_b, plunge_b), axis=-1)
    return np.degrees(2.0 * np.arcsin(np.clip(chord / 2.0, 0.0, 1.0)))  # well conditioned at small angles


# --------------------------------------------------------------------------- FaultSet

@pytest.mark.parametrize("convert", [
    lambda a: a.tolist(),
    lambda a: a.astype(np.float32).astype(np.float64),  # exact in float32 by construction below
    lambda a: a.astype(np.float32),
    lambda a: np.asfortranarray(a),
    lambda a: a.astype(np.int64),
])
def test_fault_set_casts_once_to_private_read_only_float64(convert):
    faults = np.array([[0.0, 60.0, 90.0, 60.0], [90.0, 45.0, 180.0, 45.0], [180.0, 30.0, 270.0, 30.0]])
    source = convert(faults)
    fault_set = velkor.FaultSet(source, senses=[1, 0, 1], weights=[1, 2, 3], positions=[[0, 0], [1, 1], [2, 2]])
    for array, dtype in ((fault_set.faults, np.float64), (fault_set.senses, np.bool_),
                         (fault_set.weights, np.float64), (fault_set.positions, np.float64)):
        assert array.dtype == dtype and array.flags.c_contiguous and not array.flags.writeable
    np.testing.assert_array_equal(fault_set.faults, faults)
    assert fault_set.senses.tolist() == [True, False, True]
    if isinstance(source, np.ndarray):
        assert not np.shares_memory(source, fault_set.faults) and source.flags.writeable
    with pytest.raises(AttributeError):
        fault_set.faults = faults
    assert repr(fault_set) == "FaultSet(3 faults, with senses, weights, positions)"


def test_fault_set_takes_dataframe_columns():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"strike": [0, 90], "dip": [60.0, 45.0], "trend": [90, 180], "plunge": [60.0, 45.0],
                          "w": np.array([1.0, 0.5], dtype=np.float32)})
    fault_set = velkor.FaultSet(frame[["strike", "dip", "trend", "plunge"]], weights=frame["w"])
    assert fault_set.faults.tolist() == [[0, 60, 90, 60], [90, 45, 180, 45]]
    assert fault_set.weights.tolist() == [1.0, 0.5]


@pytest.mark.parametrize("kwargs, error, message", [
    ({"faults": np.zeros((3, 3))}, ValueError, "faults must have shape (N, 4), got shape (3, 3)"),
    ({"faults": np.zeros((2, 4, 1))}, ValueError, "faults must have shape (N, 4), got shape (2, 4, 1)"),
    ({"faults": [[0, 60, 90, float("nan")]]}, ValueError, "faults row 0, column 3 is nan: values must be finite"),
    ({"faults": [["a", 60, 90, 60]]}, TypeError, "faults must hold numbers"),
    ({"faults": [[0, 60, 90, 60]], "weights": [-1.0]}, ValueError, "weights row 0 is -1.0: weights must be non-negative"),
    ({"faults": [[0, 60, 90, 60]], "weights": [1.0, 2.0]}, ValueError, "weights has 2 entries for 1 faults"),
    ({"faults": [[0, 60, 90, 60]], "senses": [2]}, ValueError, "senses entry 0 is 2: it must be true or false"),
    ({"faults": [[0, 60, 90, 60]], "positions": [[0, 0, 0, 0]]}, ValueError,
     "positions must have shape (N, 1 or 2 or 3), got shape (1, 4)"),
    ({"faults": [[0, 60, 90, 60]], "positions": [[0, 0], [1, 1]]}, ValueError, "positions has 2 rows for 1 faults"),
    ({"faults": [[0, 60, 90, 60], [0, 60, 0, 30]]}, ValueError,
     "fault 1: slickenline 0 lies 14.478 degrees off the fault plane, more than the 1.000 allowed"),
])
def test_fault_set_refuses_with_the_argument_and_the_value(kwargs, error, message):
    with pytest.raises(error) as raised:
        velkor.FaultSet(**kwargs)
    assert str(raised.value).startswith(message), str(raised.value)


def test_from_rakes_matches_the_scalar_kernel_and_keeps_rake():
    count = 400
    strike, dip, rake = RNG.uniform(-360, 720, count), RNG.uniform(0, 90, count), RNG.uniform(-180, 180, count)
    fault_set = velkor.FaultSet.from_rakes(strike, dip, rake)
    expected = kernel_slickenlines(strike, dip, rake)
    angle = same_axis_degrees(fault_set.faults[:, 2], fault_set.faults[:, 3], expected[:, 0], expected[:, 1])
    assert angle.max() < 1e-9
    np.testing.assert_array_equal(fault_set.strike, strike)
    away = np.abs(np.mod(fault_set.rake - rake + 180.0, 360.0) - 180.0)
    assert away[dip > 1e-3].max() < 1e-9
    assert velkor.FaultSet.from_rakes([], [], []).faults.shape == (0, 4)
    with pytest.raises(ValueError, match=r"^dip row 1 is 95.0: dips must lie between 0 and 90 degrees$"):
        velkor.FaultSet.from_rakes([0, 0], [10, 95], [0, 0])
    with pytest.raises(ValueError, match=r"^rake has 1 entries for 2 faults$"):
        velkor.FaultSet.from_rakes([0, 0], [10, 20], [0])


def test_subset_and_with_keep_columns_aligned():
    fault_set = velkor.FaultSet.from_rakes([0, 90, 180], [60, 50, 40], [-90, 0, 90], sense_known=[True, False, True],
                                           weights=[1, 2, 3], positions=[[0], [1], [2]])
    picked = fault_set.subset([2, 0])
    assert picked.weights.tolist() == [3, 1] and picked.senses.tolist() == [True, True]
    assert picked.positions.ravel().tolist() == [2, 0]
    assert fault_set.subset(fault_set.weights > 1).faults.shape == (2, 4)
    assert fault_set.with_weights(None).weights is None and fault_set.with_positions(None).positions is None


# --------------------------------------------------------------------------- mechanisms

def ned_axis(vector):
    """Trend and plunge of a (north, east, down) vector's line, written by its lower end."""
    n, e, d = np.asarray(vector, dtype=float).ravel()
    if d < 0:
        n, e, d = -n, -e, -d
    return np.degrees(np.arctan2(e, n)) % 360.0, np.degrees(np.arcsin(np.clip(d, -1, 1)))


def moment_tensor_axes(strike, dip, rake):
    """P and T from the eigenvectors of the double couple's moment tensor (Aki & Richards, NED axes)."""
    s, d, r = np.radians([strike, dip, rake])
    normal = np.array([-np.sin(d) * np.sin(s), np.sin(d) * np.cos(s), -np.cos(d)])
    slip = np.array([np.cos(r) * np.cos(s) + np.sin(r) * np.cos(d) * np.sin(s),
                     np.cos(r) * np.sin(s) - np.sin(r) * np.cos(d) * np.cos(s), -np.sin(r) * np.sin(d)])
    _values, vectors = np.linalg.eigh(np.outer(slip, normal) + np.outer(normal, slip))
    return ned_axis(vectors[:, 0]), ned_axis(vectors[:, 2])


def assert_same_line(expected, got, tolerance):
    trend, plunge = expected
    assert min(same_axis_degrees(trend, plunge, *got), same_axis_degrees(trend + 180.0, -plunge, *got)) < tolerance


def test_mechanisms_from_sdr_are_the_moment_tensors_axes():
    count = 200
    strike, dip, rake = RNG.uniform(0, 360, count), RNG.uniform(5, 89, count), RNG.uniform(-179, 179, count)
    mechanisms = velkor.mechanisms_from_sdr(strike, dip, rake)
    assert mechanisms.shape == (count, 4) and mechanisms.dtype == np.float64 and mechanisms.flags.c_contiguous
    assert (mechanisms[:, [1, 3]] >= -1e-9).all()
    for row, (s, d, r) in enumerate(zip(strike, dip, rake)):
        p_axis, t_axis = moment_tensor_axes(s, d, r)
        assert_same_line(p_axis, mechanisms[row, 0:2], 1e-6)
        assert_same_line(t_axis, mechanisms[row, 2:4], 1e-6)


def test_mechanisms_from_sdr_agree_with_pyrocko():
    pmt = pytest.importorskip("pyrocko.moment_tensor")
    count = 60
    strike, dip, rake = RNG.uniform(0, 360, count), RNG.uniform(5, 89, count), RNG.uniform(-179, 179, count)
    mechanisms = velkor.mechanisms_from_sdr(strike, dip, rake)
    for row, (s, d, r) in enumerate(zip(strike, dip, rake)):
        tensor = pmt.MomentTensor(strike=s, dip=d, rake=r)
        # pyrocko takes its axes from an eigen-solver
        assert_same_line(ned_axis(tensor.p_axis()), mechanisms[row, 0:2], 1e-5)
        assert_same_line(ned_axis(tensor.t_axis()), mechanisms[row, 2:4], 1e-5)
    # Both nodal planes of a double couple name the same mechanism: Kagan angle 0.
    planes = np.array([pmt.MomentTensor(strike=s, dip=d, rake=r).both_strike_dip_rake()
                       for s, d, r in zip(strike, dip, rake)])
    first = velkor.mechanisms_from_sdr(*planes[:, 0].T)
    second = velkor.mechanisms_from_sdr(*planes[:, 1].T)
    assert kernels.kagan_angles(first, second).max() < 1e-5
