"""The stress field and its cost."""

import math

import numpy as np
import pytest

from _velkor import kernels
from field_reference import Kernel, density_of, kish_of, node_positions, ordered_neighbours
from samples import steps_during

FIELD_KEYS = ["positions", "density", "support", "faults_within_reach", "has_solution", "s1", "s2", "s3", "phi",
              "misfit_degrees", "faults_scored", "effective_sample_size", "runner_up_misfit_degrees",
              "runner_up_s1_degrees"]
STATS_KEYS = ["nodes", "nodes_inverted", "nodes_below_threshold", "nodes_without_data", "grid_origin",
              "grid_spacing", "grid_counts"]
SOLUTION_KEYS = ["s1", "s2", "s3", "phi", "misfit_degrees", "effective_sample_size", "runner_up_misfit_degrees",
                 "runner_up_s1_degrees"]
BOTH = [kernels.stress_field, kernels.field_cost]
COARSE = dict(angle_step_degrees=30.0, phi_step=0.5)  # 12 * 4 * 6 * 3 = 864 candidates


def fault_set(n, s1=(30.0, 0.0), s3=(120.0, 0.0), phi=0.5, seed=0, trend_of=None, positions=None):
    """n faults with slickenlines predicted by a tensor (S1 trend optionally a function of position)."""
    rng = np.random.default_rng(seed)
    rows = []
    while len(rows) < n:
        strike, dip = rng.uniform(0, 360), rng.uniform(25, 85)
        t1 = s1[0] if trend_of is None else trend_of(positions[len(rows)])
        out = kernels.solve_stress(t1, s1[1], t1 + 90.0 if trend_of else s3[0], s3[1], phi, strike, dip)
        if out["theoretical_slickenline"] is None:
            continue
        rows.append([strike, dip, *out["theoretical_slickenline"]])
    return np.array(rows)


def grid_args(origin, spacing, counts, bandwidth):
    return dict(origin=origin, spacing=spacing, counts=counts, bandwidth=bandwidth)


# ---------------------------------------------------------------- validation

GOOD = dict(positions=np.zeros((6, 2)), faults=np.tile([0.0, 45.0, 0.0, 0.0], (6, 1)), origin=[0.0, 0.0],
            spacing=[1.0, 1.0], counts=[2, 2], bandwidth=[1.0, 1.0])
STEPS = "angle_step_degrees and phi_step must be positive finite numbers"
SHAPE = "faults must be an (N, 4) array of strike, dip, slickenline trend, slickenline plunge"


@pytest.mark.parametrize("changes, message", [
    (dict(phi_step=0.0, faults=np.zeros((6, 3)), positions=np.zeros((5, 7))), STEPS),
    (dict(angle_step_degrees=math.nan, min_support=math.nan), STEPS),
    (dict(angle_step_degrees=-1.0), STEPS),
    (dict(phi_step=math.inf), STEPS),
    (dict(faults=np.zeros((6, 3)), positions=np.zeros((5, 7))), SHAPE),
    (dict(faults=np.tile([0.0, 45.0, 0.0, 30.0], (6, 1))),
     "fault 0: slickenline 0 lies 20.705 degrees off the fault plane, more than the 1.000 allowed"),
    (dict(senses=np.ones(5, dtype=bool), positions=np.zeros((5, 2))), "senses has 5 entries for 6 faults"),
    (dict(positions=np.zeros((5, 2)), min_support=math.nan), "positions has 5 rows but 6 faults were given"),
    (dict(positions=np.zeros((6, 4)), min_support=math.nan), "min_support must be a number"),
    (dict(positions=np.zeros((6, 4)), counts=[0]), "a field must have 1, 2 or 3 coordinates per observation, not 4"),
    (dict(origin=[0.0], bandwidth=[]), "origin has 1 entries for a 2-dimensional field"),
    (dict(counts=[0, 2], bandwidth=[]), "a grid needs a finite origin, a positive finite spacing on every axis, "
     "at least one node on each, and a node count that fits in memory"),
    (dict(bandwidth=[1.0], kernel="bad"), "bandwidth has 1 entries for a 2-dimensional field"),
    (dict(kernel="Gaussian"), "unknown kernel \"Gaussian\": expected 'quartic', 'gaussian' or 'truncated_gaussian'"),
    (dict(kernel="truncated_gaussian", truncation=0.0),
     "truncation must be a positive finite number of bandwidths, not 0"),
])
@pytest.mark.parametrize("function", BOTH, ids=["stress_field", "field_cost"])
def test_refusals_in_documented_order(function, changes, message):
    with pytest.raises(ValueError) as info:
        function(**{**GOOD, **changes})
    assert str(info.value) == message


@pytest.mark.parametrize("function", BOTH, ids=["stress_field", "field_cost"])
def test_conversion_errors(function):
    with pytest.raises(TypeError):
        function(**{**GOOD, "senses": np.ones(6)})  # float senses
    with pytest.raises(TypeError):
        function(**{**GOOD, "min_support": None})
    with pytest.raises(TypeError):
        function(GOOD["positions"], GOOD["faults"], [0.0, 0.0], [1.0, 1.0], [2, 2])


# ---------------------------------------------------------------- edge cases


def test_result_layout():
    faults = fault_set(4)
    positions = np.array([[0.0, 0.0], [0.1, 0.0], [0.0, 0.1], [0.1, 0.1]])
    field, stats = kernels.stress_field(positions, faults, [0.0, 0.0], [3.0, 2.0], [3, 2], [1.0, 1.0],
                                        min_support=0.0, **COARSE)
    assert list(field) == FIELD_KEYS and list(stats) == STATS_KEYS
    shapes = {"positions": (6, 2), "s1": (6, 2), "s2": (6, 2), "s3": (6, 2)}
    dtypes = {"faults_within_reach": np.int64, "faults_scored": np.int64, "has_solution": np.bool_}
    for key, value in field.items():
        assert value.shape == shapes.get(key, (6,)), key
        assert value.dtype == dtypes.get(key, np.float64), key
        assert value.flags.c_contiguous
    assert field["positions"].tolist() == [[0.0, 0.0], [3.0, 0.0], [6.0, 0.0], [0.0, 2.0], [3.0, 2.0], [6.0, 2.0]]
    assert stats["grid_origin"] == [0.0, 0.0] and stats["grid_spacing"] == [3.0, 2.0]
    assert stats["grid_counts"] == [3, 2] and type(stats["nodes"]) is int
    # node 0 is reached by all four faults; the others are more than a bandwidth away
    assert field["has_solution"].tolist() == [True] + [False] * 5
    assert stats["nodes_inverted"] == 1 and stats["nodes_without_data"] == 5


def test_node_without_data():
    field, stats = kernels.stress_field(np.array([[0.0]]), fault_set(1), [1.0], [1.0], [2], [1.0], min_support=0.0)
    # both nodes lie at least one bandwidth from the fault (the rim has weight 0)
    assert np.all(np.signbit(field["density"])) and np.all(field["density"] == 0.0)
    assert field["support"].tolist() == [0.0, 0.0] and not np.any(np.signbit(field["support"]))
    assert field["faults_within_reach"].tolist() == [0, 0] and field["faults_scored"].tolist() == [0, 0]
    assert not field["has_solution"].any()
    for key in SOLUTION_KEYS:
        assert np.all(np.isnan(field[key])), key
    assert stats["nodes_without_data"] == 2 == stats["nodes"]


def test_below_threshold_keeps_density_and_support():
    faults = fault_set(3)
    field, stats = kernels.stress_field(np.zeros((3, 2)), faults, [0.0, 0.0], [1.0, 1.0], [1, 1], [2.0, 2.0])
    peak = kernels.kernel_profile([2.0, 2.0])["peak"]
    assert field["density"][0] == (-0.0 + peak + peak) + peak
    assert field["support"][0] == kish_of([(j, peak) for j in range(3)]) == pytest.approx(3.0)
    assert field["faults_within_reach"][0] == 3
    assert not field["has_solution"][0] and field["faults_scored"][0] == 0
    assert stats["nodes_below_threshold"] == 1
    cost = kernels.field_cost(np.zeros((3, 2)), faults, [0.0, 0.0], [1.0, 1.0], [1, 1], [2.0, 2.0])
    assert cost == {"nodes": 1, "nodes_to_invert": 0, "forward_solutions": 0}


@pytest.mark.parametrize("threshold", [0.0, -5.0, -math.inf, "support", "above", math.inf])
def test_min_support_threshold(threshold):
    args = (np.zeros((3, 1)), fault_set(3), [0.0], [1.0], [3], [1.5])
    probe, _ = kernels.stress_field(*args, min_support=math.inf, **COARSE)
    supports = probe["support"]
    assert supports[0] == kish_of([(0, kernels.kernel_profile([1.5])["peak"])] * 3) and supports[1] > 0.0 and supports[2] == 0.0
    if threshold == "support":
        threshold, searched = supports[0], [True, supports[1] >= supports[0], False]
    elif threshold == "above":
        threshold, searched = np.nextafter(supports[0], math.inf), [False, supports[1] > supports[0], False]
    else:
        searched = [threshold < math.inf, threshold < math.inf, False]
    field, stats = kernels.stress_field(*args, min_support=threshold, **COARSE)
    assert field["faults_within_reach"].tolist() == [3, 3, 0]
    assert field["has_solution"].tolist() == searched
    assert stats["nodes_below_threshold"] == 2 - sum(searched)
    cost = kernels.field_cost(*args, min_support=threshold, **COARSE)
    assert cost["nodes_to_invert"] == sum(searched)
    assert cost["forward_solutions"] == 3 * sum(searched) * 864


@pytest.mark.parametrize("kind", ["quartic", "gaussian"])
def test_no_faults_at_all(kind):
    args = (np.zeros((0, 2)), np.zeros((0, 4)), [0.0, 0.0], [1.0, 1.0], [4, 3], [1.0, 1.0])
    field, stats = kernels.stress_field(*args, kernel=kind, min_support=0.0)
    assert stats["nodes_without_data"] == stats["nodes"] == 12 and stats["nodes_inverted"] == 0
    assert field["positions"].shape == (12, 2) and not field["has_solution"].any()
    assert kernels.field_cost(*args, kernel=kind, min_support=0.0) == {
        "nodes": 12, "nodes_to_invert": 0, "forward_solutions": 0}


def test_faults_at_non_finite_positions_never_reach():
    faults = fault_set(4)
    positions = np.array([[0.0, 0.0], [np.nan, 0.0], [0.0, np.inf], [0.0, 0.0]])
    field, _ = kernels.stress_field(positions, faults, [0.0, 0.0], [1.0, 1.0], [1, 1], [1.0, 1.0],
                                    min_support=0.0, **COARSE)
    assert field["faults_within_reach"][0] == 2
    single, _ = kernels.stress_field(positions[[0, 3]], faults[[0, 3]], [0.0, 0.0], [1.0, 1.0], [1, 1],
                                     [1.0, 1.0], min_support=0.0, **COARSE)
    for key in FIELD_KEYS:
        assert field[key].tobytes() == single[key].tobytes(), key


def test_single_candidate_has_no_runner_up():
    field, _ = kernels.stress_field(np.zeros((2, 1)), fault_set(2), [0.0], [1.0], [1], [1.0], min_support=0.0,
                                    angle_step_degrees=400.0, phi_step=2.0)
    assert field["has_solution"][0]
    assert math.isnan(field["runner_up_misfit_degrees"][0]) and math.isnan(field["runner_up_s1_degrees"][0])
    assert field["s1"][0].tolist() == [0.0, 0.0] and field["phi"][0] == 0.0


# ---------------------------------------------------------------- against invert_stress


def s1_vector(trend, plunge):
    t, p = math.radians(trend), math.radians(plunge)
    return np.array([math.cos(p) * math.sin(t), math.cos(p) * math.cos(t), -math.sin(p)])


@pytest.mark.parametrize("kind, d", [("quartic", 2), ("truncated_gaussian", 1), ("gaussian", 3)])
def test_every_node_is_invert_stress_on_its_neighbours(kind, d):
    rng = np.random.default_rng(11 + d)
    n = 24
    positions = rng.uniform(0, 4, (n, d))
    faults = fault_set(n, seed=d)
    faults[:, 2:] += rng.normal(0, 0.3, (n, 2))  # noisy slickenlines (still within a degree of the plane)
    senses = rng.uniform(size=n) < 0.7
    origin, spacing, counts = [0.5] * d, [1.5] * d, [[3], [3, 2], [2, 2, 2]][d - 1]
    bandwidth = list(rng.uniform(1.5, 2.5, d))
    truncation = 1.2
    args = (positions, faults, origin, spacing, counts, bandwidth, senses, kind, truncation, 2.0)
    field, stats = kernels.stress_field(*args, **COARSE)
    kernel = Kernel(bandwidth, kind, truncation)
    inverted = 0
    for f, p in enumerate(node_positions(origin, spacing, counts)):
        found = ordered_neighbours(positions, p, kernel)
        assert field["positions"][f].tolist() == p
        assert field["density"][f] == density_of(found) and field["support"][f] == kish_of(found)
        assert field["faults_within_reach"][f] == len(found)
        if not found or kish_of(found) < 2.0:
            assert not field["has_solution"][f]
            continue
        idx = [j for j, _ in found]
        result = kernels.invert_stress(faults[idx], senses[idx], np.array([w for _, w in found]), **COARSE)
        best, runners = result["best"], result["runners_up"]
        inverted += 1
        assert field["has_solution"][f]
        for axis in ("s1", "s2", "s3"):
            assert tuple(field[axis][f]) == best[axis]
        assert field["phi"][f] == best["phi"]
        assert field["misfit_degrees"][f] == best["mean_misfit_degrees"]
        assert field["faults_scored"][f] == best["faults_scored"]
        assert field["effective_sample_size"][f] == best["effective_sample_size"]
        assert field["runner_up_misfit_degrees"][f] == runners[0]["mean_misfit_degrees"]
        b = s1_vector(*best["s1"])
        angles = [math.degrees(math.acos(min(1.0, abs(float(s1_vector(*r["s1"]) @ b))))) for r in runners]
        assert field["runner_up_s1_degrees"][f] == pytest.approx(max(angles), abs=1e-6)
    assert inverted == stats["nodes_inverted"] > 0


def test_field_cost_agrees_with_stress_field():
    rng = np.random.default_rng(21)
    positions = rng.uniform(0, 10, (40, 2))
    faults = fault_set(40, seed=5)
    args = (positions, faults, [0.0, 0.0], [2.5, 2.5], [5, 5], [3.0, 3.0])
    field, stats = kernels.stress_field(*args, min_support=3.0, **COARSE)
    cost = kernels.field_cost(*args, min_support=3.0, **COARSE)
    assert list(cost) == ["nodes", "nodes_to_invert", "forward_solutions"]
    assert all(type(v) is int for v in cost.values())
    assert cost["nodes"] == stats["nodes"] == 25
    assert cost["nodes_to_invert"] == stats["nodes_inverted"] > 0
    within = int(field["faults_within_reach"][field["has_solution"]].sum())
    assert cost["forward_solutions"] == within * kernels.inversion_candidate_count(**COARSE)
    assert stats["nodes_inverted"] + stats["nodes_below_threshold"] + stats["nodes_without_data"] == 25


def test_field_cost_worked_and_exact_beyond_64_bits():
    args = (np.zeros((22, 2)), fault_set(22), [0.0, 0.0], [1.0, 1.0], [1, 1], [1.0, 1.0])
    assert kernels.field_cost(*args)["forward_solutions"] == 22 * 71280 == 1568160
    tiny = dict(angle_step_degrees=1e-5, phi_step=1e-5)
    count = kernels.inversion_candidate_count(**tiny)
    assert count > 2 ** 64
    cost = kernels.field_cost(*args, **tiny)
    assert type(cost["forward_solutions"]) is int and cost["forward_solutions"] == 22 * count
    huge = dict(angle_step_degrees=5e-324, phi_step=5e-324)  # every factor saturates
    assert kernels.field_cost(*args, **huge)["forward_solutions"] == 22 * kernels.inversion_candidate_count(**huge)


# ---------------------------------------------------------------- threads and recovery

CHILD = """
import hashlib, numpy as np
from _velkor import kernels
rng = np.random.default_rng(3)
n = 80
pos = rng.uniform(0, 20, (n, 2))
rows = []
while len(rows) < n:
    s, d = rng.uniform(0, 360), rng.uniform(25, 85)
    out = kernels.solve_stress(20.0 + 3 * pos[len(rows), 0], 0.0, 110.0 + 3 * pos[len(rows), 0], 0.0, 0.4, s, d)
    if out["theoretical_slickenline"] is not None:
        rows.append([s, d, *out["theoretical_slickenline"]])
faults = np.array(rows)
args = (pos, faults, [0.0, 0.0], [4.0, 4.0], [6, 6], [6.0, 6.0])
field, stats = kernels.stress_field(*args, min_support=4.0, angle_step_degrees=20.0, phi_step=0.25)
h = hashlib.sha256()
for key, value in field.items():
    h.update(key.encode()); h.update(value.tobytes())
print(h.hexdigest(), stats, kernels.field_cost(*args, kernel="gaussian", min_support=4.0))
"""


def test_identical_bytes_for_any_thread_count(child):
    one, two = child(CHILD, 1), child(CHILD, 2)
    assert one == two
    assert b"'nodes_inverted': 0" not in one


def test_recovers_a_rotating_field():
    # S1 horizontal, turning from 20 to 110 degrees across the map; S3 horizontal too
    rng = np.random.default_rng(8)
    positions = np.column_stack([rng.uniform(0, 90, 400), rng.uniform(0, 20, 400)])
    trend_of = lambda p: 20.0 + p[0]
    faults = fault_set(400, seed=8, trend_of=trend_of, positions=positions, phi=0.5)
    field, stats = kernels.stress_field(positions, faults, [5.0, 10.0], [20.0, 1.0], [5, 1], [12.0, 12.0],
                                        angle_step_degrees=10.0, phi_step=0.25)
    assert stats["nodes_inverted"] == 5
    for f in range(5):
        want = s1_vector(trend_of(field["positions"][f]), 0.0)
        got = s1_vector(*field["s1"][f])
        assert math.degrees(math.acos(min(1.0, abs(float(got @ want))))) <= 10.0
        assert field["misfit_degrees"][f] < 15.0
        assert abs(field["phi"][f] - 0.5) <= 0.25


@pytest.mark.parametrize("bandwidth, kind, node", [
    (1.0, "gaussian", 30.0),     # weights near 1e-196: their squares underflow to zero
    (1e-300, "quartic", 0.0),    # weights near 1e300: their squares overflow
])
def test_support_of_equal_weights_is_their_number_at_any_scale(bandwidth, kind, node):
    args = (np.zeros((5, 1)), fault_set(5), [node], [1.0], [1], [bandwidth])
    field, stats = kernels.stress_field(*args, kernel=kind, min_support=4.5, **COARSE)
    assert field["faults_within_reach"][0] == 5
    assert field["support"][0] == pytest.approx(5.0, rel=1e-12)
    assert stats["nodes_inverted"] == 1
    assert kernels.field_cost(*args, kernel=kind, min_support=4.5, **COARSE)["nodes_to_invert"] == 1


@pytest.mark.parametrize("function", BOTH, ids=["stress_field", "field_cost"])
def test_lock_released_while_nodes_are_walked(function):
    rng = np.random.default_rng(6)
    faults = np.tile(fault_set(1), (1000, 1))
    positions = rng.uniform(0, 100, (1000, 2))
    steps = steps_during(lambda: function(positions, faults, [0.0, 0.0], [1.0, 1.0], [100, 80], [5.0, 5.0],
                                          kernel="gaussian", min_support=math.inf))
    assert steps > 1000


@pytest.mark.parametrize("counts", [[2**31, 2**31], [2**40, 1]])
def test_field_beyond_memory_is_a_memory_error(counts):
    with pytest.raises(MemoryError):
        kernels.stress_field(np.zeros((0, 2)), np.zeros((0, 4)), [0.0, 0.0], [1.0, 1.0], counts, [1.0, 1.0])
