"""Node grids, distance kernels and the density field."""

import math
import os
import struct
import threading

import numpy as np
import pytest

from _velkor import kernels
from field_reference import Kernel, density_of, node_positions, ordered_neighbours
from samples import note_of, notes, steps_during

DIM_MESSAGE = "a field must have 1, 2 or 3 coordinates per observation, not {}"
GRID_MESSAGE = ("a grid needs a finite origin, a positive finite spacing on every axis, at least one node on each, "
                "and a node count that fits in memory")
COVER_MESSAGE = ("could not cover those points: spacing and margin must be positive and finite, and every "
                 "coordinate must be a number")
BANDWIDTH_MESSAGE = ("bandwidth must be positive and finite on every axis: it is a width in map units, and a zero "
                     "one is a kernel of no width and infinite height")


def bits(x):
    return struct.pack("<d", x)


def from_bits(pattern):
    return struct.unpack(">d", bytes.fromhex(pattern))[0]


def column(*values):
    return np.array(values, dtype=float).reshape(-1, 1)


# ---------------------------------------------------------------- covering_grid


@pytest.mark.parametrize("points, spacing, margin, origin, counts", [
    (column(0.0, 10.0), [2.5], None, [0.0], [5]),
    (column(0.0, 10.0), [3.0], None, [0.0], [4]),
    (column(0.0, 10.0), [3.0], 1.0, [-1.0], [5]),
    (column(0.3, 0.7), [0.1], None, [0.3], [4]),  # 3.9999999999999996 steps: no tolerance
    (np.array([[2.0, -3.0, 7.5]]), [1.0, 2.0, 3.0], None, [2.0, -3.0, 7.5], [1, 1, 1]),
    (column(0.0, 10.0), [3.0], -0.0, [0.0], [4]),
    (np.array([[0.0, 5.0], [4.0, 1.0], [2.0, 3.0]]), [1.0, 0.5], 0.5, [-0.5, 0.5], [6, 11]),
])
def test_covering_grid_worked(points, spacing, margin, origin, counts):
    args = (points, spacing) if margin is None else (points, spacing, margin)
    result = kernels.covering_grid(*args)
    assert list(result) == ["origin", "spacing", "counts", "node_count"]
    assert result["origin"] == origin and all(type(v) is float for v in result["origin"])
    assert result["spacing"] == spacing
    assert result["counts"] == counts and all(type(v) is int for v in result["counts"])
    assert result["node_count"] == math.prod(counts)


def test_covering_grid_last_node_falls_short():
    g = kernels.covering_grid(column(0.3, 0.7), [0.1])
    last = float(g["counts"][0] - 1) * g["spacing"][0] + g["origin"][0]
    assert last == 0.6000000000000001
    # the node positions are exactly the ones density_field evaluates
    d = kernels.density_field(column(0.6000000000000001), g["origin"], g["spacing"], g["counts"], [1e-3])
    assert d[-1] == kernels.kernel_profile([1e-3])["peak"]


@pytest.mark.parametrize("points, spacing, margin, message", [
    (np.zeros((0, 2)), [1.0, 2.0, 3.0], 0.0, "no points to cover"),
    (np.zeros((0, 4)), [], -1.0, "no points to cover"),
    (np.zeros((5, 2)), [1.0, 1.0, 1.0], 0.0, "spacing has 3 entries for points with 2 coordinates"),
    (np.zeros((5, 4)), [1.0] * 4, 0.0, DIM_MESSAGE.format(4)),
    (np.zeros((5, 0)), [], 0.0, DIM_MESSAGE.format(0)),
    (column(0.0, np.nan), [1.0], 0.0, COVER_MESSAGE),
    (column(0.0, np.inf), [1.0], 0.0, COVER_MESSAGE),
    (column(0.0, 1.0), [1.0], -1.0, COVER_MESSAGE),
    (column(0.0, 1.0), [1.0], np.nan, COVER_MESSAGE),
    (column(0.0, 1.0), [1.0], np.inf, COVER_MESSAGE),
    (column(0.0, 1.0), [0.0], 0.0, COVER_MESSAGE),
    (column(0.0, 1.0), [-1.0], 0.0, COVER_MESSAGE),
    (column(0.0, 1.0), [np.inf], 0.0, COVER_MESSAGE),
    (column(-1e308, 1e308), [1.0], 0.0, COVER_MESSAGE),       # extent overflows to inf
    (column(0.0, 1e300), [1e-300], 0.0, COVER_MESSAGE),       # count beyond 2^64
    (np.array([[0.0, 0.0], [2.0**33, 2.0**33]]), [1.0, 1.0], 0.0, COVER_MESSAGE),  # product beyond 2^64
    (column(-1.7e308), [1.0], 1e308, COVER_MESSAGE),         # origin overflows
])
def test_covering_grid_refusals(points, spacing, margin, message):
    with pytest.raises(ValueError) as info:
        kernels.covering_grid(points, spacing, margin)
    assert str(info.value) == message


def test_covering_grid_conversions():
    with pytest.raises(TypeError):
        kernels.covering_grid(np.zeros((2, 1)), [1.0], None)
    with pytest.raises(TypeError):
        kernels.covering_grid(np.zeros(2), [1.0])
    # strided (reversed, Fortran-ordered) points read correctly
    pts = np.asfortranarray(np.array([[3.0, 1.0], [0.0, 5.0], [1.0, -2.0]]))[::-1]
    assert kernels.covering_grid(pts, [1.0, 1.0]) == kernels.covering_grid(np.ascontiguousarray(pts), [1.0, 1.0])


# ---------------------------------------------------------------- kernel_profile

QUARTIC = [from_bits("3FEDFFFFFFFFFFFE"), from_bits("3FEE8EC8A4AEACC5"), from_bits("3FF0B615BA0F867E")]
GAUSS = [0.3989422804014327, 0.15915494309189535, 0.06349363593424097]


def simpson_mass(t, d):
    """The 4096-interval Simpson rule for the radial mass of the standard normal."""
    s = t * 0.000244140625

    def f(x):
        g = math.exp((x * -0.5) * x)
        return g if d == 1 else (g * x if d == 2 else (x * x) * g)

    total = f(t) + f(0.0)
    for i in range(1, 4096):
        total = total + f(i * s) * (4.0 if i % 2 else 2.0)
    mass = (s * total) / 3
    return mass * 0.7978845608028654 if d != 2 else mass


@pytest.mark.parametrize("bandwidth, kind, truncation, reach, peak", [
    ([1.0], "quartic", None, [1.0], QUARTIC[0]),
    ([2.0, 3.0], "quartic", -1.0, [2.0, 3.0], QUARTIC[1] / 6.0),
    ([0.5, 2.0, 4.0], "quartic", None, [0.5, 2.0, 4.0], QUARTIC[2] / 4.0),
    ([2.0, 3.0], "truncated_gaussian", 2.0, [4.0, 6.0], GAUSS[1] / 6.0),
    ([3.0], "truncated_gaussian", None, [12.0], GAUSS[0] / 3.0),
    ([1.0, 1.0, 1.0], "gaussian", np.nan, None, GAUSS[2]),
    ([0.1, 0.7], "gaussian", None, None, GAUSS[1] / (0.1 * 0.7)),
])
def test_kernel_profile_worked(bandwidth, kind, truncation, reach, peak):
    args = (bandwidth, kind) if truncation is None else (bandwidth, kind, truncation)
    result = kernels.kernel_profile(*args)
    assert list(result) == ["reach", "peak", "retained_mass"]
    assert result["reach"] == reach
    assert bits(result["peak"]) == bits(peak)
    if kind != "truncated_gaussian":
        assert result["retained_mass"] == 1.0


@pytest.mark.parametrize("t, d, approx", [
    (4.0, 1, 0.999937), (4.0, 2, 0.999665), (4.0, 3, 0.998866),
    (1.0, 1, 0.682689), (1.0, 2, 0.393469), (1.0, 3, 0.198748),
    (2.0, 2, 0.864665), (0.25, 3, None), (39.5, 2, None),
])
def test_retained_mass_is_the_simpson_rule(t, d, approx):
    got = kernels.kernel_profile([1.0] * d, "truncated_gaussian", t)["retained_mass"]
    assert bits(got) == bits(simpson_mass(t, d))
    if approx is not None:
        assert got == pytest.approx(approx, abs=1e-6)


@pytest.mark.parametrize("t", [40.0, 1e5, 1e300])
@pytest.mark.parametrize("d", [1, 2, 3])
def test_retained_mass_of_a_far_cut_is_one(t, d):
    # the Gaussian tail beyond 40 bandwidths is below double resolution; the fixed
    # rule would report 6.49 (1-D) or NaN (3-D) at the largest cuts
    assert kernels.kernel_profile([1.0] * d, "truncated_gaussian", t)["retained_mass"] == 1.0


@pytest.mark.parametrize("bandwidth, kind, truncation, message", [
    ([], "quartic", 4.0, DIM_MESSAGE.format(0)),
    ([1.0] * 4, "bogus", 4.0, DIM_MESSAGE.format(4)),
    ([0.0], "bogus", 4.0, BANDWIDTH_MESSAGE),
    ([1.0, -2.0], "quartic", 4.0, BANDWIDTH_MESSAGE),
    ([1.0, np.nan], "quartic", 4.0, BANDWIDTH_MESSAGE),
    ([np.inf], "quartic", 4.0, BANDWIDTH_MESSAGE),
    ([1.0], "bogus", -1.0, "unknown kernel \"bogus\": expected 'quartic', 'gaussian' or 'truncated_gaussian'"),
    ([1.0], "Quartic", 4.0, "unknown kernel \"Quartic\": expected 'quartic', 'gaussian' or 'truncated_gaussian'"),
    ([1.0], " quartic", 4.0, "unknown kernel \" quartic\": expected 'quartic', 'gaussian' or 'truncated_gaussian'"),
    ([1.0], 'a"b\\c\n\t\x01', 4.0,
     "unknown kernel \"a\\\"b\\\\c\\n\\t\\u{1}\": expected 'quartic', 'gaussian' or 'truncated_gaussian'"),
    ([1.0], "truncated_gaussian", -1.0, "truncation must be a positive finite number of bandwidths, not -1"),
    ([1.0], "truncated_gaussian", 0.0, "truncation must be a positive finite number of bandwidths, not 0"),
    ([1.0], "truncated_gaussian", np.nan, "truncation must be a positive finite number of bandwidths, not NaN"),
    ([1.0], "truncated_gaussian", np.inf, "truncation must be a positive finite number of bandwidths, not inf"),
    ([1.0], "truncated_gaussian", -2.5e-7,
     "truncation must be a positive finite number of bandwidths, not -0.00000025"),
])
def test_kernel_profile_refusals(bandwidth, kind, truncation, message):
    with pytest.raises(ValueError) as info:
        kernels.kernel_profile(bandwidth, kind, truncation)
    assert str(info.value) == message


def test_kernel_profile_accepts_subnormal_and_ignores_truncation():
    assert kernels.kernel_profile([5e-324])["reach"] == [5e-324]
    assert kernels.kernel_profile([1.0], "gaussian", -1.0)["reach"] is None
    with pytest.raises(TypeError):
        kernels.kernel_profile([1.0], None)
    with pytest.raises(TypeError):
        kernels.kernel_profile("1")


# ---------------------------------------------------------------- density_field


def test_density_worked_1d():
    values = kernels.density_field(column(0.0), [-1.0], [0.5], [5], [1.0])
    assert values.dtype == np.float64 and values.shape == (5,) and values.flags.c_contiguous
    assert values.flags.writeable
    expected = [-0.0, 0.5273437499999999, 0.9374999999999998, 0.5273437499999999, -0.0]
    assert [bits(v) for v in values] == [bits(v) for v in expected]


@pytest.mark.parametrize("kind", ["quartic", "gaussian", "truncated_gaussian"])
@pytest.mark.parametrize("d", [1, 2, 3])
def test_density_without_points_is_negative_zero(kind, d):
    values = kernels.density_field(np.zeros((0, d)), [0.0] * d, [1.0] * d, [3] * d, [1.0] * d, kind)
    assert values.shape == (3 ** d,)
    assert np.all(np.signbit(values)) and np.all(values == 0.0)


@pytest.mark.parametrize("kind", ["quartic", "gaussian", "truncated_gaussian"])
def test_density_non_finite_points_contribute_nothing(kind):
    rng = np.random.default_rng(4)
    good = rng.uniform(0, 10, (40, 2))
    bad = np.array([[np.nan, 1.0], [2.0, np.inf], [-np.inf, -np.inf], [np.nan, np.nan]])
    mixed = np.concatenate([bad[:2], good[:20], bad[2:], good[20:]])
    grid = ([0.0, 0.0], [0.5, 0.5], [21, 21], [1.5, 2.0], kind)
    assert kernels.density_field(mixed, *grid).tobytes() == kernels.density_field(good, *grid).tobytes()


def test_density_node_at_infinity_reaches_nothing():
    values = kernels.density_field(column(0.0, 1e308), [0.0], [1e308], [3], [1.0])
    assert values[2] == 0.0 and np.signbit(values[2])  # 2e308 overflowed to inf
    assert values[1] == QUARTIC[0]


ARGS = dict(origin=[0.0, 0.0, 0.0], spacing=[1.0, 1.0, 1.0], counts=[2, 2, 2], bandwidth=[1.0, 1.0, 1.0])


@pytest.mark.parametrize("points, changes, message", [
    (np.zeros((3, 4)), dict(origin=[1.0], counts=[0]), DIM_MESSAGE.format(4)),
    (np.zeros((3, 0)), dict(), DIM_MESSAGE.format(0)),
    (np.zeros((3, 3)), dict(origin=[0.0, 0.0], counts=[0]), "origin has 2 entries for a 3-dimensional field"),
    (np.zeros((3, 3)), dict(spacing=[1.0], counts=[0]), "spacing has 1 entries for a 3-dimensional field"),
    (np.zeros((3, 3)), dict(counts=[2, 2, 2, 2], bandwidth=[0.0]), "counts has 4 entries for a 3-dimensional field"),
    (np.zeros((3, 2)), dict(origin=[0.0, 0.0], spacing=[1.0, 1.0], counts=[0, 3], bandwidth=[]), GRID_MESSAGE),
    (np.zeros((3, 3)), dict(spacing=[1.0, 0.0, 1.0], bandwidth=[]), GRID_MESSAGE),
    (np.zeros((3, 3)), dict(spacing=[1.0, 5e-324, np.inf]), GRID_MESSAGE),
    (np.zeros((3, 3)), dict(origin=[0.0, np.nan, 0.0]), GRID_MESSAGE),
    (np.zeros((3, 3)), dict(counts=[2**32, 2**32, 1]), GRID_MESSAGE),
    (np.zeros((3, 3)), dict(counts=[2**40, 2**30, 1]), GRID_MESSAGE),
    (np.zeros((3, 3)), dict(bandwidth=[1.0, 1.0]), "bandwidth has 2 entries for a 3-dimensional field"),
    (np.zeros((3, 3)), dict(bandwidth=[1.0, 0.0, 1.0]), BANDWIDTH_MESSAGE),
    (np.zeros((3, 3)), dict(kernel="quadratic"),
     "unknown kernel \"quadratic\": expected 'quartic', 'gaussian' or 'truncated_gaussian'"),
    (np.zeros((3, 3)), dict(kernel="truncated_gaussian", truncation=-0.0),
     "truncation must be a positive finite number of bandwidths, not -0"),
])
def test_density_refusals_in_order(points, changes, message):
    with pytest.raises(ValueError) as info:
        kernels.density_field(points, **{**ARGS, **changes})
    assert str(info.value) == message


def test_density_conversions_in_parameter_order():
    with pytest.raises(TypeError) as info:
        kernels.density_field(np.zeros((2, 2), dtype=np.float32), None, [1.0], [1], [1.0])
    assert notes(info.value) == note_of("points")
    with pytest.raises(OverflowError) as info:
        kernels.density_field(np.zeros((2, 1)), [0.0], [1.0], [-1], "x")
    assert notes(info.value) == note_of("counts")


@pytest.mark.parametrize("counts", [[2**31, 2**31], [2**40, 1]])
def test_huge_grid_is_a_memory_error(counts):
    # the node count fits in 64 bits, its result not in memory: refused up front
    with pytest.raises(MemoryError):
        kernels.density_field(np.zeros((1, 2)), [0.0, 0.0], [1.0, 1.0], counts, [1.0, 1.0])


def reference_density(points, origin, spacing, counts, bandwidth, kind="quartic", truncation=4.0):
    kernel = Kernel(bandwidth, kind, truncation)
    return np.array([density_of(ordered_neighbours(points, p, kernel)) for p in node_positions(origin, spacing, counts)])


@pytest.mark.parametrize("kind", ["quartic", "gaussian", "truncated_gaussian"])
@pytest.mark.parametrize("d", [1, 2, 3])
def test_density_matches_reference(kind, d):
    rng = np.random.default_rng(100 * d + len(kind))
    points = rng.uniform(-3, 3, (25 if d < 3 else 15, d))
    points[::7] = np.round(points[::7])  # some points exactly on cell boundaries
    origin = list(rng.uniform(-3.5, -2.5, d))
    spacing = list(rng.uniform(0.3, 0.5, d) * [1.0, 2.0, 2.5][d - 1])
    counts = [[30], [8, 7], [6, 6, 5]][d - 1]
    bandwidth = list(rng.uniform(0.4, 1.5, d))
    truncation = 1.7
    got = kernels.density_field(points, origin, spacing, counts, bandwidth, kind, truncation)
    want = reference_density(points, origin, spacing, counts, bandwidth, kind, truncation)
    assert got.tobytes() == want.tobytes()
    assert np.any(got > 0)


@pytest.mark.parametrize("kind", ["quartic", "truncated_gaussian"])
@pytest.mark.parametrize("d", [1, 2, 3])
def test_density_rows_match_reference_on_exact_lattices(kind, d):
    # Nodes walked row by row, several per cell, rows split between work chunks, and points on a lattice
    # whose offsets hit the reach and the cell edges exactly: the rim points of the quartic weigh 0, those at
    # the truncation distance of the Gaussian do not, and both must come out as the plain search adds them.
    rng = np.random.default_rng(7 * d + len(kind))
    axes = [np.arange(-2.0, 2.5, 0.5)] * d
    lattice = np.stack(np.meshgrid(*axes, indexing="ij"), -1).reshape(-1, d)
    points = np.concatenate([lattice[rng.permutation(len(lattice))[:40]], rng.uniform(-2.5, 2.5, (20, d))])
    counts = [[61], [25, 9], [13, 5, 4]][d - 1]
    origin, spacing = [-3.0] * d, [0.25] * d
    bandwidth, truncation = [1.0] * d, 2.0
    got = kernels.density_field(points, origin, spacing, counts, bandwidth, kind, truncation)
    want = reference_density(points, origin, spacing, counts, bandwidth, kind, truncation)
    assert got.tobytes() == want.tobytes()
    assert np.any(got > 0)


def test_density_reads_strided_points():
    rng = np.random.default_rng(9)
    base = rng.uniform(0, 5, (60, 4))
    strided = base[::-2, 1:4:1]       # negative row stride, offset columns
    fortran = np.asfortranarray(strided)
    grid = ([0.0, 0.0, 0.0], [0.5, 0.5, 0.5], [11, 11, 11], [1.0, 1.2, 0.8])
    expected = kernels.density_field(np.ascontiguousarray(strided), *grid)
    assert kernels.density_field(strided, *grid).tobytes() == expected.tobytes()
    assert kernels.density_field(fortran, *grid).tobytes() == expected.tobytes()


@pytest.mark.parametrize("kind, lost", [("quartic", 1.0), ("truncated_gaussian", None), ("gaussian", 1.0)])
def test_density_integrates_to_the_point_count(kind, lost):
    rng = np.random.default_rng(5)
    points = rng.uniform(20, 80, (200, 2))
    values = kernels.density_field(points, [0.0, 0.0], [0.5, 0.5], [201, 201], [4.0, 3.0], kind, 2.0)
    mass = kernels.kernel_profile([4.0, 3.0], kind, 2.0)["retained_mass"]
    assert values.sum() * 0.25 == pytest.approx(200 * mass, rel=2e-3)
    grid_form = values.reshape([201, 201], order="F")
    assert grid_form[80, 100] == values[80 + 201 * 100]


CHILD_DENSITY = """
import hashlib, numpy as np
from _velkor import kernels
rng = np.random.default_rng(1)
pts = rng.uniform(0, 100, (3000, 2))
out = []
for kind in ("quartic", "gaussian", "truncated_gaussian"):
    pts_k = pts if kind != "gaussian" else pts[:300]
    v = kernels.density_field(pts_k, [0.0, 0.0], [0.7, 0.9], [143, 111], [3.0, 2.0], kind, 2.5)
    out.append(hashlib.sha256(v.tobytes()).hexdigest())
p3 = rng.uniform(0, 10, (2000, 3))
v = kernels.density_field(p3, [0.0, 0.0, 0.0], [0.4, 0.4, 0.4], [26, 26, 26], [1.0, 1.5, 0.7])
out.append(hashlib.sha256(v.tobytes()).hexdigest())
print(" ".join(out))
"""


def test_density_identical_for_any_thread_count(child):
    results = {threads: child(CHILD_DENSITY, threads) for threads in (1, 2, 5)}
    assert results[1] == results[2] == results[5]
    assert child(CHILD_DENSITY, None, {"RAYON_NUM_THREADS": "bogus", "RAYON_RS_NUM_CPUS": "3"}) == results[1]


def test_density_releases_the_lock():
    rng = np.random.default_rng(2)
    points = rng.uniform(0, 100, (4000, 2))
    steps = steps_during(
        lambda: kernels.density_field(points, [0.0, 0.0], [1.0, 1.0], [120, 120], [5.0, 5.0], "gaussian"))
    assert steps > 1000


def test_density_concurrent_calls_agree():
    rng = np.random.default_rng(3)
    points = rng.uniform(0, 50, (2000, 2))
    args = ([0.0, 0.0], [0.5, 0.5], [101, 101], [2.0, 2.0])
    expected = kernels.density_field(points, *args).tobytes()
    results = []

    def call():
        for _ in range(5):
            results.append(kernels.density_field(points, *args).tobytes())

    threads = [threading.Thread(target=call) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 20 and all(r == expected for r in results)


CHILD_FORK = """
import os, numpy as np
from _velkor import kernels
rng = np.random.default_rng(8)
pts = rng.uniform(0, 30, (500, 2))
args = ([0.0, 0.0], [0.3, 0.3], [101, 101], [2.0, 2.0])
parent = kernels.density_field(pts, *args).tobytes()
read, write = os.pipe()
pid = os.fork()
if pid == 0:
    os.close(read)
    ok = kernels.density_field(pts, *args).tobytes() == parent
    os.write(write, b"same" if ok else b"different")
    os._exit(0)
os.close(write)
answer = os.read(read, 100)
_, status = os.waitpid(pid, 0)
print(answer.decode(), os.waitstatus_to_exitcode(status))
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_density_in_a_forked_child(child):
    assert child(CHILD_FORK, 2).decode().split() == ["same", "0"]
