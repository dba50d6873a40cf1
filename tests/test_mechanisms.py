"""Focal mechanisms: construction, the four rotations, Kagan angles and the
Kagan matrix, rotation about an axis, kinematic P/T/B axes of faults."""

from __future__ import annotations

import textwrap

import numpy as np
import pytest

from _velkor import kernels

ORTHOGONALITY_2293 = "P and T axes depart from orthogonality by 2.293 degrees, more than the 1.000 allowed"


# ---------------------------------------------------------------- helpers


def axis(trend, plunge):
    t, p = np.radians(trend), np.radians(plunge)
    return np.stack([np.sin(t) * np.cos(p), np.cos(t) * np.cos(p), -np.sin(p)], axis=-1)


def trend_plunge(v):
    v = np.asarray(v, dtype=float)
    trend = np.degrees(np.arctan2(v[..., 0], v[..., 1])) % 360.0
    plunge = np.degrees(np.arcsin(np.clip(-v[..., 2], -1.0, 1.0)))
    return trend, plunge


def random_mechanisms(rng, n):
    """Rows of P trend, P plunge, T trend, T plunge with exactly orthogonal P and T
    pointing anywhere (up or down): the construction folds them."""
    t = rng.normal(size=(n, 3))
    t /= np.linalg.norm(t, axis=1, keepdims=True)
    a = rng.normal(size=(n, 3))
    p = a - np.sum(a * t, axis=1, keepdims=True) * t
    p /= np.linalg.norm(p, axis=1, keepdims=True)
    return np.column_stack([*trend_plunge(p), *trend_plunge(t)])


def frames(mechanisms):
    """NumPy re-derivation of a mechanism's frame: columns T, P, B."""
    p = axis(mechanisms[:, 0], mechanisms[:, 1])
    t = axis(mechanisms[:, 2], mechanisms[:, 3])
    p[p[:, 2] > 1e-12] *= -1.0
    t[t[:, 2] > 1e-12] *= -1.0
    p = np.cross(np.cross(t, p), t)
    p /= np.linalg.norm(p, axis=1, keepdims=True)
    return np.stack([t, p, np.cross(t, p)], axis=-1)


def oracle_kagan(first, second):
    """Quaternion-free Kagan angle: the smallest turn of M2 S M1^T over the four
    double-couple symmetries S, from the trace of the rotation matrix."""
    m1, m2 = frames(first), frames(second)
    angles = []
    for signs in ((1, -1, -1), (-1, 1, -1), (-1, -1, 1), (1, 1, 1)):
        trace = np.einsum("nij,j,nij->n", m2, np.array(signs, float), m1)
        angles.append(np.degrees(np.arccos(np.clip((trace - 1.0) / 2.0, -1.0, 1.0))))
    return np.min(angles, axis=0)


def same_line(a, b, tol=1e-9):
    return abs(abs(float(np.dot(a, b))) - 1.0) < tol


def mechanism_row(p_trend, p_plunge, t_trend, t_plunge):
    return np.array([[p_trend, p_plunge, t_trend, t_plunge]], dtype=float)


# ------------------------------------------------ rotations: worked values


def test_mechanism_against_itself():
    r = kernels.focal_mechanism_rotations(0, 0, 90, 0, 0, 0, 90, 0)
    assert list(r) == ["trend", "plunge", "angle_degrees"]
    for value in r.values():
        assert value.dtype == np.float64 and value.shape == (4,) and value.flags.c_contiguous
    expected = [(0, 0, 0), (90, 0, 180), (0, 0, 180), (0, -90, 180)]
    got = list(zip(r["trend"], r["plunge"], r["angle_degrees"]))
    np.testing.assert_allclose(got, expected, atol=1e-9)
    assert r["angle_degrees"][0] == 0.0


def test_ten_degree_pair_and_its_swap():
    r = kernels.focal_mechanism_rotations(0, 0, 90, 0, 10, 0, 100, 0)
    got = np.column_stack([r["trend"], r["plunge"], r["angle_degrees"]])
    np.testing.assert_allclose(got, [(0, 90, 10), (0, -90, 170), (95, 0, 180), (5, 0, 180)], atol=1e-9)
    swapped = kernels.focal_mechanism_rotations(10, 0, 100, 0, 0, 0, 90, 0)
    np.testing.assert_array_equal(swapped["angle_degrees"], r["angle_degrees"])
    # The two proper turns go about the other end of the same axis.
    for k in (0, 1):
        a = axis(r["trend"][k], r["plunge"][k])
        b = axis(swapped["trend"][k], swapped["plunge"][k])
        np.testing.assert_allclose(a, -b, atol=1e-9)
    assert kernels.kagan_angles(mechanism_row(0, 0, 90, 0), mechanism_row(10, 0, 100, 0))[0] == pytest.approx(10.0)


@pytest.mark.parametrize(
    ("angle", "p", "t"),
    [(10.0, (10.0, 0.0), (100.0, 0.0)), (-10.0, (350.0, 0.0), (80.0, 0.0))],
)
def test_rotate_about_the_vertical(angle, p, t):
    r = kernels.rotate_focal_mechanism(0, 0, 90, 0, 0, 90, angle)
    assert list(r) == ["p", "t", "b"]
    assert all(isinstance(v, tuple) and len(v) == 2 for v in r.values())
    np.testing.assert_allclose(r["p"], p, atol=1e-9)
    np.testing.assert_allclose(r["t"], t, atol=1e-9)
    # B = T x P points up here (horizontal P and T).
    assert r["b"][1] == pytest.approx(-90.0)


# ------------------------------------------------------------- messages


def test_orthogonality_messages_with_their_prefixes():
    bad = mechanism_row(30, 20, 150, 50)
    good = mechanism_row(0, 0, 90, 0)
    with pytest.raises(ValueError) as e:
        kernels.kagan_angles(bad, good)
    assert e.value.args == ("mechanism 0: " + ORTHOGONALITY_2293,)
    with pytest.raises(ValueError, match="^first mechanism: " + ORTHOGONALITY_2293 + "$"):
        kernels.focal_mechanism_rotations(30, 20, 150, 50, 0, 0, 90, 0)
    with pytest.raises(ValueError, match="^second mechanism: " + ORTHOGONALITY_2293 + "$"):
        kernels.focal_mechanism_rotations(0, 0, 90, 0, 30, 20, 150, 50)
    with pytest.raises(ValueError, match="^" + ORTHOGONALITY_2293 + "$"):
        kernels.rotate_focal_mechanism(30, 20, 150, 50, 0, 90, 10)
    catalogue = np.vstack([good, good, good, bad, bad])
    with pytest.raises(ValueError, match="^mechanism 3: " + ORTHOGONALITY_2293 + "$"):
        kernels.kagan_angle_matrix(catalogue)


def test_kagan_angles_validation_order():
    good = np.vstack([mechanism_row(0, 0, 90, 0)] * 3)
    bad_second = good.copy()
    bad_second[2] = (30, 20, 150, 50)
    bad_first = good.copy()
    bad_first[1] = (30, 20, 150, 50)
    # The first array's rows are reported before the second array is looked at.
    with pytest.raises(ValueError, match=r"^mechanism 1: "):
        kernels.kagan_angles(bad_first, bad_second)
    with pytest.raises(ValueError, match=r"^mechanism 2: "):
        kernels.kagan_angles(good, bad_second)
    # Both parsed before the lengths are compared.
    with pytest.raises(ValueError, match=r"^mechanism 2: "):
        kernels.kagan_angles(good, np.vstack([bad_second, good]))
    with pytest.raises(ValueError) as e:
        kernels.kagan_angles(good, np.vstack([good, good[:1]]))
    assert e.value.args == ("3 mechanisms against 4: the two arrays must be the same length",)
    # Conversion of every argument comes before any value check.
    with pytest.raises(TypeError):
        kernels.kagan_angles(np.zeros((2, 3)), [[0, 0, 90, 0]])


@pytest.mark.parametrize(("first_bad", "second_bad", "second_rows", "reported"), [
    (700, 3, 1000, "mechanism 700: "),  # the first array's row wins, however late and however early the second's
    (None, 256, 1000, "mechanism 256: "),  # rows are read a block at a time: a block's first row
    (None, 255, 1001, "mechanism 255: "),  # and its last, before the lengths are compared
    (None, None, 999, "1000 mechanisms against 999: the two arrays must be the same length"),
])
def test_kagan_angles_order_holds_across_blocks(first_bad, second_bad, second_rows, reported):
    rng = np.random.default_rng(5)
    first, second = random_mechanisms(rng, 1000), random_mechanisms(rng, second_rows)
    off = (30, 20, 150, 50)  # 2.293 degrees from orthogonal
    if first_bad is not None:
        first[first_bad] = off
    if second_bad is not None:
        second[second_bad] = off
    with pytest.raises(ValueError) as e:
        kernels.kagan_angles(first, second)
    assert e.value.args[0].startswith(reported)


COLUMN_MESSAGE = "mechanisms must be an (N, 4) array of P trend, P plunge, T trend, T plunge"


@pytest.mark.parametrize("call", [
    lambda a: kernels.kagan_angles(a, np.zeros((0, 4))),
    lambda a: kernels.kagan_angles(np.zeros((0, 4)), a),
    lambda a: kernels.kagan_angle_matrix(a),
])
@pytest.mark.parametrize("columns", [0, 3, 5])
def test_column_count_message(call, columns):
    with pytest.raises(ValueError) as e:
        call(np.zeros((2, columns)))
    assert e.value.args == (COLUMN_MESSAGE,)


@pytest.mark.parametrize("value", [
    np.zeros((2, 4), dtype=np.float32), np.zeros(4), np.zeros((1, 2, 4)), [[0.0, 0.0, 90.0, 0.0]], None,
])
def test_mechanism_arrays_are_typed(value):
    with pytest.raises(TypeError) as e:
        kernels.kagan_angle_matrix(value)
    assert "while processing 'mechanisms'" in getattr(e.value, "__notes__", ["while processing 'mechanisms'"])


def test_float_arguments_in_parameter_order():
    with pytest.raises(TypeError) as e:
        kernels.rotate_focal_mechanism(30, 20, 150, 50, "x", None, 10)
    assert "while processing 'axis_trend'" in getattr(e.value, "__notes__", ["while processing 'axis_trend'"])
    with pytest.raises(TypeError):
        kernels.focal_mechanism_rotations(0, 0, 90, 0, 0, 0, 90)


@pytest.mark.parametrize("t_trend", [89.0, 91.0])
def test_exactly_one_degree_is_accepted(t_trend):
    assert kernels.kagan_angles(mechanism_row(0, 0, t_trend, 0), mechanism_row(0, 0, 90, 0))[0] == pytest.approx(1.0, abs=1e-6)
    with pytest.raises(ValueError, match=r"by 1.000 degrees, more than the 1.000 allowed"):
        kernels.kagan_angles(mechanism_row(0, 0, t_trend + (t_trend - 90) * 1e-9, 0), mechanism_row(0, 0, 90, 0))


def test_upward_axes_are_their_opposites():
    down = kernels.rotate_focal_mechanism(10, 30, 190, 60, 0, 90, 0)
    up = kernels.rotate_focal_mechanism(190, -30, 10, -60, 0, 90, 0)
    for key in ("p", "t", "b"):
        np.testing.assert_allclose(up[key], down[key], atol=1e-9)
    np.testing.assert_allclose(down["p"], (10, 30), atol=1e-9)
    assert kernels.kagan_angles(mechanism_row(10, 30, 190, 60), mechanism_row(190, -30, 10, -60))[0] == 0.0


# -------------------------------------------------- Kagan angles on data


def test_empty_and_single_inputs():
    empty = kernels.kagan_angles(np.zeros((0, 4)), np.zeros((0, 4)))
    assert empty.shape == (0,) and empty.dtype == np.float64
    matrix = kernels.kagan_angle_matrix(np.zeros((0, 4)))
    assert matrix.shape == (0, 0) and matrix.dtype == np.float64
    one = kernels.kagan_angle_matrix(mechanism_row(0, 0, 90, 0))
    assert one.tolist() == [[0.0]]


def test_two_mechanisms_ten_degrees_apart():
    m = np.vstack([mechanism_row(0, 0, 90, 0), mechanism_row(10, 0, 100, 0)])
    np.testing.assert_allclose(kernels.kagan_angle_matrix(m), [[0, 10], [10, 0]], atol=1e-9)


def test_kagan_angles_against_a_rotation_matrix_oracle():
    rng = np.random.default_rng(7)
    first, second = random_mechanisms(rng, 5000), random_mechanisms(rng, 5000)
    angles = kernels.kagan_angles(first, second)
    assert angles.shape == (5000,) and angles.dtype == np.float64
    np.testing.assert_allclose(angles, oracle_kagan(first, second), atol=1e-6)
    assert angles.min() >= 0.0 and angles.max() <= 120.0
    # Near neighbours: small angles, where a short cut would show first.
    nudged = second.copy()
    nudged[:, [0, 2]] = first[:, [0, 2]] + rng.choice([-1.0, 1.0], size=(5000, 1)) * rng.uniform(1e-2, 1.0, size=(5000, 1))
    nudged[:, [1, 3]] = first[:, [1, 3]]
    np.testing.assert_allclose(kernels.kagan_angles(first, nudged), oracle_kagan(first, nudged), atol=1e-5)


def test_kagan_angle_is_the_first_rotation_bit_for_bit():
    rng = np.random.default_rng(11)
    first, second = random_mechanisms(rng, 300), random_mechanisms(rng, 300)
    # Mechanisms related by exact symmetries hit ties between rotations.
    second[:100] = first[:100][:, [2, 3, 0, 1]]
    angles = kernels.kagan_angles(first, second)
    for i in range(300):
        r = kernels.focal_mechanism_rotations(*first[i], *second[i])
        assert r["angle_degrees"][0] == angles[i]
        assert np.all(np.diff(r["angle_degrees"]) >= 0.0)
        assert np.all((r["angle_degrees"] >= 0.0) & (r["angle_degrees"] <= 180.0))


def test_each_rotation_carries_the_first_mechanism_onto_the_second():
    rng = np.random.default_rng(3)
    pairs = np.hstack([random_mechanisms(rng, 40), random_mechanisms(rng, 40)])
    for row in pairs:
        r = kernels.focal_mechanism_rotations(*row)
        target = kernels.rotate_focal_mechanism(*row[4:], 0, 90, 0)
        for trend, plunge, angle in zip(r["trend"], r["plunge"], r["angle_degrees"]):
            turned = kernels.rotate_focal_mechanism(*row[:4], trend, plunge, angle)
            for key in ("p", "t", "b"):
                assert same_line(axis(*turned[key]), axis(*target[key]), 1e-9)


def test_rotation_agrees_with_rodrigues():
    rng = np.random.default_rng(5)
    mechanisms = random_mechanisms(rng, 50)
    for row, (at, ap, angle) in zip(mechanisms, rng.uniform([0, -90, -720], [360, 90, 720], size=(50, 3))):
        u = axis(at, ap)
        a = np.radians(angle)
        k = np.array([[0, -u[2], u[1]], [u[2], 0, -u[0]], [-u[1], u[0], 0]])
        rot = np.eye(3) + np.sin(a) * k + (1 - np.cos(a)) * k @ k
        frame = frames(row[None, :])[0]
        turned = kernels.rotate_focal_mechanism(*row, at, ap, angle)
        assert same_line(axis(*turned["t"]), rot @ frame[:, 0])
        assert same_line(axis(*turned["p"]), rot @ frame[:, 1])
        assert turned["t"][1] >= -1e-9 and turned["p"][1] >= -1e-9


def test_strided_inputs_read_in_place():
    rng = np.random.default_rng(2)
    m = random_mechanisms(rng, 60)
    expected = kernels.kagan_angle_matrix(m)
    fortran = np.asfortranarray(m)
    reversed_rows = m[::-1]
    wide = np.zeros((60, 9))
    wide[:, ::2][:, :4] = m
    np.testing.assert_array_equal(kernels.kagan_angle_matrix(fortran), expected)
    # Row order changes which mechanism comes first in a pair: equal to rounding only.
    np.testing.assert_allclose(kernels.kagan_angle_matrix(reversed_rows), expected[::-1, ::-1], rtol=0, atol=1e-12)
    np.testing.assert_array_equal(kernels.kagan_angle_matrix(wide[:, 0:8:2]), expected)
    other = random_mechanisms(rng, 60)
    np.testing.assert_array_equal(kernels.kagan_angles(reversed_rows, other[::-1]), kernels.kagan_angles(m, other)[::-1])
    np.testing.assert_array_equal(kernels.kagan_angles(fortran, np.asfortranarray(other)), kernels.kagan_angles(m, other))


@pytest.mark.parametrize(("turn", "reported"), [(1e-4, 0.0), (1.2e-4, 1.2e-4), (1e-2, 1e-2)])
def test_turns_without_an_axis_count_as_zero(turn, reported):
    # A rotation whose unit quaternion has a vector part below 1e-6 (a turn
    # below 2 asin(1e-6), about 1.146e-4 degrees) has no axis and no angle.
    r = kernels.focal_mechanism_rotations(0, 0, 90, 0, turn, 0, 90 + turn, 0)
    # (an inverse cosine this close to 1 keeps about four digits)
    assert r["angle_degrees"][0] == pytest.approx(reported, rel=1e-3, abs=0)
    if reported == 0.0:
        assert (r["trend"][0], r["plunge"][0], r["angle_degrees"][0]) == (0.0, 0.0, 0.0)
    assert kernels.kagan_angles(mechanism_row(0, 0, 90, 0), mechanism_row(turn, 0, 90 + turn, 0))[0] == r["angle_degrees"][0]


def test_matrix_invariants():
    rng = np.random.default_rng(9)
    m = random_mechanisms(rng, 150)
    matrix = kernels.kagan_angle_matrix(m)
    assert matrix.shape == (150, 150) and matrix.dtype == np.float64 and matrix.flags.c_contiguous
    assert np.array_equal(matrix, matrix.T)
    assert np.all(np.diag(matrix) == 0.0)
    assert matrix.min() >= 0.0 and matrix.max() <= 120.0
    i, j = np.triu_indices(150, 1)
    np.testing.assert_array_equal(matrix[i, j], kernels.kagan_angles(m[i], m[j]))
    np.testing.assert_allclose(matrix[i, j], oracle_kagan(m[i], m[j]), atol=1e-6)


def test_nan_mechanisms_give_nan_angles():
    m = np.vstack([mechanism_row(0, 0, 90, 0), mechanism_row(np.nan, 0, 90, 0), mechanism_row(10, 0, 100, 0)])
    matrix = kernels.kagan_angle_matrix(m)
    assert np.isnan(matrix[1, [0, 2]]).all() and np.isnan(matrix[[0, 2], 1]).all()
    assert np.all(np.diag(matrix) == 0.0)
    assert matrix[0, 2] == pytest.approx(10.0)
    assert np.isnan(kernels.kagan_angles(m, m[::-1])[[1]]).all()


CHILD = textwrap.dedent(
    """
    import hashlib
    import numpy as np
    from _velkor import kernels
    t = np.random.default_rng(13).normal(size=(400, 3))
    a = np.random.default_rng(14).normal(size=(400, 3))
    p = np.cross(t, a)
    def tp(v):
        return np.degrees(np.arctan2(v[:, 0], v[:, 1])), np.degrees(np.arcsin(-v[:, 2] / np.linalg.norm(v, axis=1)))
    m = np.column_stack([*tp(p), *tp(t)])
    print(hashlib.sha256(kernels.kagan_angle_matrix(m).tobytes()).hexdigest())
    """
)


def test_matrix_bytes_do_not_depend_on_thread_count(child):
    digests = {child(CHILD, threads=n) for n in (1, 2, 3)}
    assert len(digests) == 1


# ------------------------------------------------------------ P, T, B axes

SENSE_MESSAGE = "the slickenline has no determined sense of movement, so P and T cannot be told apart"


def random_faults(rng, n):
    """Strike, dip, slickenline trend and plunge of slickenlines lying in their planes."""
    strike = rng.uniform(0, 360, n)
    dip = rng.uniform(1, 89, n)
    rake = rng.uniform(-180, 180, n)
    s, d, r = np.radians(strike), np.radians(dip), np.radians(rake)
    slip = np.stack([np.cos(r) * np.sin(s) - np.cos(d) * np.sin(r) * np.cos(s),
                     np.cos(r) * np.cos(s) + np.cos(d) * np.sin(r) * np.sin(s),
                     np.sin(d) * np.sin(r)], axis=1)
    return np.column_stack([strike, dip, *trend_plunge(slip)])


def test_normal_and_reverse_fault_axes():
    r = kernels.ptb_axes(np.array([[0.0, 60.0, 90.0, 60.0], [0.0, 60.0, 270.0, -60.0]]))
    assert list(r) == ["p", "t", "b"]
    for value in r.values():
        assert value.shape == (2, 2) and value.dtype == np.float64 and value.flags.c_contiguous
    np.testing.assert_allclose(r["p"], [[270, 75], [90, 15]], atol=1e-9)
    np.testing.assert_allclose(r["t"], [[90, 15], [270, 75]], atol=1e-9)
    np.testing.assert_allclose(r["b"], [[0, 0], [180, 0]], atol=1e-9)


def test_empty_fault_set():
    r = kernels.ptb_axes(np.zeros((0, 4)))
    assert [v.shape for v in r.values()] == [(0, 2)] * 3


def test_axes_against_a_numpy_derivation():
    rng = np.random.default_rng(17)
    faults = random_faults(rng, 2000)
    r = kernels.ptb_axes(faults)
    a = np.radians(faults[:, 0] + 90.0)
    d = np.radians(faults[:, 1])
    n = np.stack([np.sin(d) * np.sin(a), np.sin(d) * np.cos(a), np.cos(d)], axis=1)
    s = axis(faults[:, 2], faults[:, 3])
    p_raw, t_raw = n - s, n + s
    p_raw /= np.linalg.norm(p_raw, axis=1, keepdims=True)
    t_raw /= np.linalg.norm(t_raw, axis=1, keepdims=True)
    m = frames(np.column_stack([*trend_plunge(p_raw), *trend_plunge(t_raw)]))
    for key, column in (("t", 0), ("p", 1), ("b", 2)):
        got = axis(r[key][:, 0], r[key][:, 1])
        np.testing.assert_allclose(got, m[:, :, column], atol=1e-9)
    assert np.all(r["p"][:, 1] >= -1e-9) and np.all(r["t"][:, 1] >= -1e-9)
    assert np.any(r["b"][:, 1] < -1.0)  # B = T x P is not folded down


def test_known_senses_change_nothing():
    faults = random_faults(np.random.default_rng(4), 20)
    plain = kernels.ptb_axes(faults)
    for senses in (None, np.ones(20, dtype=bool)):
        given = kernels.ptb_axes(faults, senses)
        for key in plain:
            np.testing.assert_array_equal(given[key], plain[key])


def test_unknown_sense_names_the_first_such_fault():
    faults = random_faults(np.random.default_rng(6), 6)
    senses = np.ones(6, dtype=bool)
    senses[[2, 4]] = False
    with pytest.raises(ValueError) as e:
        kernels.ptb_axes(faults, senses)
    assert e.value.args == ("fault 2: " + SENSE_MESSAGE,)
    # Parsing every row comes first: an off-plane slickenline later on wins.
    faults[5] = (0.0, 90.0, 2.0, 0.0)
    with pytest.raises(ValueError) as e:
        kernels.ptb_axes(faults, senses)
    assert e.value.args == ("fault 5: slickenline 0 lies 2.000 degrees off the fault plane, more than the 1.000 allowed",)


@pytest.mark.parametrize(("faults", "senses", "message"), [
    (np.zeros((2, 3)), None, "faults must be an (N, 4) array of strike, dip, slickenline trend, slickenline plunge"),
    (np.zeros((4, 4)), np.ones(3, dtype=bool), "senses has 3 entries for 4 faults"),
])
def test_fault_array_messages(faults, senses, message):
    with pytest.raises(ValueError) as e:
        kernels.ptb_axes(faults, senses)
    assert e.value.args == (message,)


def test_fault_arguments_are_typed():
    with pytest.raises(TypeError):
        kernels.ptb_axes(np.zeros((2, 4)), np.ones(2, dtype=np.int64))
    with pytest.raises(TypeError):
        kernels.ptb_axes(np.zeros((2, 4), dtype=np.float32))


def test_vector_widths_agree_bit_for_bit(core_checks):
    """The matrix rows, the parsed rows and the pairwise angles are computed several at a time, four lanes
    wide where the processor allows it: both widths, and the one-by-one routes, give the same bits."""
    outputs = core_checks.run_both_widths("kagan_paths")
    assert outputs[0] == outputs[1]
    assert "mismatches 0\n" in outputs[0]
    # Parsed many rows at a time and one by one, pairs many at a time and one by one: the same bits, and
    # the rows past the orthogonality tolerance fail with the same message.
    assert " failures 2 parse mismatches 0\n" in outputs[0]
    assert "pair mismatches 0 " in outputs[0]


@pytest.mark.parametrize("rows", [2**33, 10**6])
def test_catalogues_too_large_for_memory_are_refused(rows):
    # Zero strides make a huge catalogue out of one row: N * N doubles (or even
    # N mechanisms) cannot be allocated, which must be a MemoryError, not a crash.
    from numpy.lib.stride_tricks import as_strided

    m = as_strided(np.array([0.0, 0.0, 90.0, 0.0]), shape=(rows, 4), strides=(0, 8))
    with pytest.raises(MemoryError):
        kernels.kagan_angle_matrix(m)
