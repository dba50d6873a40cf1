"""invert_stress and inversion_candidate_count: counts, step checks, validation order and messages, result
layout, the enumeration's documented frames, exact recovery, candidate-for-candidate agreement with a plain
Python search at coarse steps, and (through a compiled check program) identity of the pruned search with the
unpruned and store-everything-and-sort searches."""

import math
import sys
import threading

import numpy as np
import pytest

import stress_reference as ref
from _velkor import kernels

STEP_MESSAGE = "angle_step_degrees and phi_step must be positive finite numbers"
RESULT_KEYS = ["best", "runners_up", "candidates_tried", "candidates_scored"]
TENSOR_KEYS = ["s1", "s2", "s3", "phi", "mean_misfit_degrees", "faults_scored", "effective_sample_size"]


def synthetic(rng, tensor, count, noise=0.0, senses_known=1.0):
    """Faults whose slickenlines follow the tensor's predicted slip, rake perturbed by Gaussian noise (degrees)."""
    rows = []
    while len(rows) < count:
        strike, dip = float(rng.uniform(0, 360)), float(rng.uniform(10, 85))
        r = kernels.solve_stress(*tensor, strike, dip)
        if not r["is_valid"]:
            continue
        rake = r["theoretical_rake"] + (rng.normal(0, noise) if noise else 0.0)
        rows.append((strike, dip, *kernels.rake_to_slickenline(strike, dip, rake)))
    return np.array(rows), rng.uniform(size=count) < senses_known


# --------------------------------------------------------------------------------------------------
# Candidate count and the steps

@pytest.mark.parametrize("args,count", [((), 71280), ((5.0, 0.05), 1034208), ((100.0, 2.0), 8), ((200.0, 2.0), 2),
                                        ((10.0, 1.0), 36 * 10 * 18 * 2), ((90.0,), 4 * 2 * 2 * 11)])
def test_candidate_count(args, count):
    got = kernels.inversion_candidate_count(*args)
    assert type(got) is int and got == count


@pytest.mark.parametrize("a,p", [(1e-6, 1e-7), (1e-3, 1e-9), (0.3, 0.07)])
def test_candidate_count_is_exact_beyond_64_bits(a, p):
    want = math.ceil(360 / a) * (math.floor(90 / a) + 1) * math.ceil(180 / a) * (math.floor(1 / p) + 1)
    assert kernels.inversion_candidate_count(a, p) == want


def test_candidate_count_saturates_each_factor():
    top = 2 ** 64 - 1
    assert kernels.inversion_candidate_count(5e-324, 5e-324) == top * (top + 1) * top * (top + 1)
    assert kernels.inversion_candidate_count(1e-300, 0.1) == top * (top + 1) * top * 11


@pytest.mark.parametrize("a,p", [(0.0, 0.1), (-0.0, 0.1), (-1.0, 0.1), (math.nan, 0.1), (math.inf, 0.1),
                                 (10.0, 0.0), (10.0, math.inf), (10.0, -math.inf), (10.0, math.nan)])
def test_step_message(a, p):
    with pytest.raises(ValueError) as info:
        kernels.inversion_candidate_count(a, p)
    assert str(info.value) == STEP_MESSAGE
    # invert_stress checks the steps before it looks at the faults.
    with pytest.raises(ValueError) as info:
        kernels.invert_stress(np.zeros((2, 3)), np.ones(5, bool), np.array([-1.0]), a, p)
    assert str(info.value) == STEP_MESSAGE


def test_step_types():
    with pytest.raises(TypeError):
        kernels.inversion_candidate_count(None)
    with pytest.raises(TypeError):
        kernels.invert_stress(np.zeros((1, 4)), angle_step_degrees="10")


# --------------------------------------------------------------------------------------------------
# Validation order and messages

GOOD = np.array([[0.0, 60.0, 90.0, 60.0], [30.0, 50.0, 120.0, 50.0], [200.0, 70.0, 290.0, 70.0]])


@pytest.mark.parametrize("kwargs,message", [
    (dict(faults=np.zeros((3, 5)), senses=np.ones(9, bool), weights=np.ones(1)),
     "faults must be an (N, 4) array of strike, dip, slickenline trend, slickenline plunge"),
    (dict(faults=GOOD, senses=np.ones(2, bool), weights=np.ones(1)), "senses has 2 entries for 3 faults"),
    (dict(faults=np.vstack([GOOD, [[0.0, 60.0, 90.0, 55.0]]]), weights=np.ones(1)),
     "fault 3: slickenline 0 lies 5.000 degrees off the fault plane, more than the 1.000 allowed"),
    (dict(faults=GOOD, weights=np.ones(2)), "weights has 2 entries but 3 faults were given"),
    (dict(faults=GOOD, weights=np.array([1.0, -1.0, -2.0])), "weight 1 is -1: weights must be non-negative numbers"),
    (dict(faults=GOOD, weights=np.array([1.0, 1.0, -0.25])), "weight 2 is -0.25: weights must be non-negative numbers"),
    (dict(faults=GOOD, weights=np.array([math.nan, 1.0, 1.0])), "weight 0 is NaN: weights must be non-negative numbers"),
    (dict(faults=GOOD, weights=np.array([1.0, 1e-7 - 1.0, 1.0])),
     "weight 1 is -0.9999999: weights must be non-negative numbers"),
    (dict(faults=GOOD, weights=np.array([-math.inf, 1.0, 1.0])), "weight 0 is -inf: weights must be non-negative numbers"),
    (dict(faults=GOOD, weights=np.array([1.0, 1.0, math.inf])),
     "weight 2 is inf: weights must be finite non-negative numbers"),
    (dict(faults=GOOD, weights=np.array([math.inf, -1.0, 1.0])),
     "weight 0 is inf: weights must be finite non-negative numbers"),
])
def test_validation_messages(kwargs, message):
    with pytest.raises(ValueError) as info:
        kernels.invert_stress(**kwargs, angle_step_degrees=90.0, phi_step=1.0)
    assert str(info.value) == message


@pytest.mark.parametrize("kwargs", [dict(faults=np.zeros((3, 4), np.float32)), dict(faults=GOOD.tolist()),
                                    dict(faults=GOOD, senses=np.ones(3)), dict(faults=GOOD, weights=np.ones(3, int)),
                                    dict(faults=GOOD, weights=np.ones((3, 1)))])
def test_type_errors(kwargs):
    with pytest.raises(TypeError):
        kernels.invert_stress(**kwargs, angle_step_degrees=0.0)


@pytest.mark.parametrize("faults,weights", [(np.zeros((0, 4)), None), (np.zeros((0, 4)), np.zeros(0)),
                                            (GOOD, np.zeros(3)), (GOOD, np.array([0.0, -0.0, 0.0])),
                                            (np.array([[0.0, 0.0, 10.0, 0.0]]), None)])
def test_nothing_to_score_gives_none(faults, weights):
    # The last set is a horizontal plane: still scorable by tilted S1 candidates at fine steps, but at a
    # 90-degree step every candidate has a vertical or horizontal principal axis normal to it.
    assert kernels.invert_stress(faults, None, weights, 90.0, 0.5) is None


# --------------------------------------------------------------------------------------------------
# Result layout, counts and the enumeration

def test_result_layout_and_counts_on_the_default_grid():
    rng = np.random.default_rng(1)
    faults, _ = synthetic(rng, (30, 60, 300, 0, 0.4), 6, noise=3.0)
    r = kernels.invert_stress(faults)
    assert list(r) == RESULT_KEYS
    assert r["candidates_tried"] == 71280 and r["candidates_scored"] == 71280
    assert type(r["candidates_tried"]) is int and isinstance(r["runners_up"], list) and len(r["runners_up"]) == 5
    ranked = [r["best"], *r["runners_up"]]
    for t in ranked:
        assert list(t) == TENSOR_KEYS
        assert all(isinstance(t[k], tuple) and len(t[k]) == 2 and all(type(x) is float for x in t[k])
                   for k in ("s1", "s2", "s3"))
        assert type(t["phi"]) is float and type(t["faults_scored"]) is int
        assert math.isfinite(t["mean_misfit_degrees"]) and math.isfinite(t["effective_sample_size"])
        assert 0.0 <= t["s1"][1] <= 90.0 + 1e-9 and -90.0 - 1e-9 <= t["s3"][1] <= 1e-9
        s1, s3 = ref.axis(*t["s1"]), ref.axis(*t["s3"])
        assert abs(ref.dot(s1, s3)) < 1e-12
    keys = [(t["mean_misfit_degrees"], -t["effective_sample_size"]) for t in ranked]
    assert keys == sorted(keys)


def test_defaults_equal_explicit_steps_and_none():
    rng = np.random.default_rng(2)
    faults, senses = synthetic(rng, (100, 20, 10, 0, 0.7), 5, noise=5.0, senses_known=0.5)
    a = kernels.invert_stress(faults, senses)
    assert a == kernels.invert_stress(faults, senses, None, 10.0, 0.1)
    assert kernels.invert_stress(faults) == kernels.invert_stress(faults, None, None)
    assert kernels.invert_stress(faults, np.ones(5, bool)) == kernels.invert_stress(faults)
    assert kernels.invert_stress(faults, weights=np.ones(5)) == kernels.invert_stress(faults)


def test_two_candidates_at_coarse_steps():
    r = kernels.invert_stress(GOOD[1:2], angle_step_degrees=200.0, phi_step=2.0)
    assert r["candidates_tried"] == 2 and r["candidates_scored"] == 2 and len(r["runners_up"]) == 1
    trends = sorted(t["s1"][0] for t in (r["best"], r["runners_up"][0]))
    assert trends == pytest.approx([0.0, 200.0], abs=1e-9)
    for t in (r["best"], r["runners_up"][0]):
        assert t["phi"] == 0.0 and t["s1"][1] == pytest.approx(0.0, abs=1e-12)


def test_single_fault_has_five_runners_up():
    r = kernels.invert_stress(GOOD[:1])
    assert len(r["runners_up"]) == 5 and r["best"]["faults_scored"] == 1 and r["best"]["effective_sample_size"] == 1.0


@pytest.mark.parametrize("s3", [(270.0, 0.0), (270.0, -10.0), (0.0, -90.0)])
def test_frames_of_the_roll_examples_are_found(s3):
    # S1 (0, 0) with roll 0 has S3 (270, 0), with roll 10 S3 (270, -10), with roll 90 S3 straight up. The same
    # tensor is enumerated again with S1 reversed (trend 180), so the winner is either.
    rng = np.random.default_rng(int(-s3[1]))
    faults, _ = synthetic(rng, (0.0, 0.0, *s3, 0.5), 12)
    best = kernels.invert_stress(faults)["best"]
    assert best["mean_misfit_degrees"] < 1e-6 and best["phi"] == 0.5
    assert abs(ref.dot(ref.axis(*best["s1"]), (0.0, 1.0, 0.0))) == pytest.approx(1.0, abs=1e-12)
    assert abs(ref.dot(ref.axis(*best["s3"]), ref.axis(*s3))) == pytest.approx(1.0, abs=1e-12)
    assert best["s3"][1] <= 1e-9


def test_exact_recovery_of_an_on_grid_tensor():
    rng = np.random.default_rng(3)
    frames = ref.frames(10.0)
    i = next(k for k, f in enumerate(frames) if f[:2] == (30.0, 60.0))
    tensor = (*frames[i + 4], 0.4)
    faults, senses = synthetic(rng, tensor, 40, senses_known=0.7)
    best = kernels.invert_stress(faults, senses)["best"]
    assert best["s1"] == pytest.approx(tensor[:2], abs=1e-9)
    assert best["s3"] == pytest.approx(tensor[2:4], abs=1e-9)
    assert best["phi"] == 0.4
    assert best["mean_misfit_degrees"] < 1e-6 and best["faults_scored"] == 40


def test_two_phases_both_visible():
    rng = np.random.default_rng(4)
    first, _ = synthetic(rng, (0.0, 80.0, 90.0, 0.0, 0.5), 30, noise=2.0)
    second, _ = synthetic(rng, (90.0, 0.0, 0.0, 0.0, 0.5), 30, noise=2.0)
    faults = np.vstack([first, second])
    for weights, expect in [(np.r_[np.ones(30), np.zeros(30)], 80.0), (np.r_[np.zeros(30), np.ones(30)], 0.0)]:
        best = kernels.invert_stress(faults, weights=weights)["best"]
        assert best["s1"][1] == pytest.approx(expect, abs=10.0) and best["faults_scored"] == 30


def test_non_finite_faults_are_unscored():
    rng = np.random.default_rng(5)
    faults, _ = synthetic(rng, (30, 60, 300, 0, 0.4), 6, noise=3.0)
    bad = np.vstack([faults, [[math.nan, 60, 0, 0], [10, math.inf, 0, 0], [10, 60, math.inf, 0]]])
    r = kernels.invert_stress(bad, angle_step_degrees=30.0, phi_step=0.25)
    assert r == kernels.invert_stress(faults, angle_step_degrees=30.0, phi_step=0.25)
    assert all(t["faults_scored"] <= 6 for t in [r["best"], *r["runners_up"]])


def test_strided_and_fortran_inputs():
    rng = np.random.default_rng(6)
    faults, senses = synthetic(rng, (200, 40, 110, 0, 0.2), 8, noise=4.0, senses_known=0.5)
    weights = rng.uniform(0.1, 2.0, 8)
    base = kernels.invert_stress(faults, senses, weights, 30.0, 0.25)
    wide = np.zeros((8, 8))
    wide[:, 1::2] = faults
    w2 = np.zeros(16)
    w2[::2] = weights
    s2 = np.zeros(16, bool)
    s2[1::2] = senses
    assert kernels.invert_stress(wide[:, 1::2], s2[1::2], w2[::2], 30.0, 0.25) == base
    assert kernels.invert_stress(np.asfortranarray(faults), senses, weights, 30.0, 0.25) == base
    # Only the ratios of the weights matter (powers of two scale exactly).
    assert kernels.invert_stress(faults, senses, weights * 1024.0, 30.0, 0.25)["best"]["s1"] == base["best"]["s1"]


# --------------------------------------------------------------------------------------------------
# Agreement with the plain Python search

def check_against_reference(faults, senses, weights, a, p):
    got = kernels.invert_stress(faults, senses, weights, a, p)
    top, tried, scored = ref.search([tuple(r) for r in faults.tolist()], senses, weights, a, p)
    assert got["candidates_tried"] == tried and got["candidates_scored"] == scored
    ranked = [got["best"], *got["runners_up"]]
    assert len(ranked) == len(top)
    for t, ((mean, count, ess), (s1, s2, s3, _), phi) in zip(ranked, top):
        assert (t["mean_misfit_degrees"], t["faults_scored"], t["effective_sample_size"]) == (mean, count, ess)
        assert (t["s1"], t["s2"], t["s3"], t["phi"]) == (ref.trend_plunge(s1), ref.trend_plunge(s2),
                                                          ref.trend_plunge(s3), phi)


@pytest.mark.parametrize("seed,a,p,weighted", [(10, 45.0, 0.5, False), (11, 30.0, 0.25, True), (12, 60.0, 0.2, True),
                                               (13, 40.0, 0.3, False)])
def test_matches_the_python_search_bit_for_bit(seed, a, p, weighted):
    rng = np.random.default_rng(seed)
    faults, senses = synthetic(rng, (120.0, 50.0, 300.0, 40.0, 0.3), 9, noise=8.0, senses_known=0.6)
    weights = np.where(rng.uniform(size=9) < 0.2, 0.0, rng.uniform(0.2, 3.0, 9)) if weighted else None
    check_against_reference(faults, senses, weights, a, p)


def test_matches_the_vectorised_numpy_search():
    rng = np.random.default_rng(20)
    faults, senses = synthetic(rng, (250.0, 30.0, 160.0, 0.0, 0.6), 20, noise=6.0, senses_known=0.7)
    got = kernels.invert_stress(faults, senses, None, 20.0, 0.2)
    peer = ref.numpy_search(faults, senses, None, 20.0, 0.2)
    assert got["candidates_tried"] == peer["tried"] and got["candidates_scored"] == peer["scored"]
    ranked = [got["best"], *got["runners_up"]]
    np.testing.assert_allclose([t["mean_misfit_degrees"] for t in ranked], peer["means"], rtol=1e-9)
    np.testing.assert_allclose([t["phi"] for t in ranked], peer["phi"], atol=1e-12)
    np.testing.assert_allclose([ref.axis(*t["s1"]) for t in ranked], peer["s1"], atol=1e-9)


# --------------------------------------------------------------------------------------------------
# Lock, threads and the compiled checks

def test_lock_is_released_during_the_search():
    # With a short switch interval a thread that holds the lock inside C code would leave this loop only a
    # few turns; with the lock released it spins freely for the whole search.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    rng = np.random.default_rng(8)
    faults, _ = synthetic(rng, (30, 60, 300, 0, 0.4), 200, noise=20.0)
    started = threading.Event()

    def work():
        started.set()
        kernels.invert_stress(faults, angle_step_degrees=5.0, phi_step=0.05)

    worker = threading.Thread(target=work)
    worker.start()
    started.wait()
    spins = 0
    while worker.is_alive():
        spins += 1
    worker.join()
    sys.setswitchinterval(previous)
    assert spins > 100_000


def test_identical_across_thread_counts(child):
    code = ("import numpy as np; from _velkor import kernels\n"
            "rng = np.random.default_rng(9)\n"
            "f = np.column_stack([rng.uniform(0, 360, 12), rng.uniform(10, 80, 12), np.zeros(12), np.zeros(12)])\n"
            "f[:, 2] = f[:, 0]\n"
            "print(repr(kernels.invert_stress(f, weights=rng.uniform(0, 1, 12), angle_step_degrees=15.0)))\n")
    assert child(code, threads=1) == child(code, threads=2)


@pytest.fixture(scope="module")
def core_outputs(core_checks):
    """The check program's output with the run-time choice of vector width, and with the baseline width only."""
    return core_checks.run_both_widths("inversion_checks")


@pytest.fixture(scope="module")
def core(core_outputs):
    return dict(line.split("|", 1) for line in core_outputs[0].splitlines())


def test_vector_widths_agree_bit_for_bit(core_outputs):
    assert core_outputs[0] == core_outputs[1]


def test_vector_loops_equal_the_scalar_forward_model(core):
    assert core["lanes shears"] == "same" and core["lanes misfits"] == "same"
    # The screen never proves a candidate worse than its own exact mean, yet it does prove some worse than half.
    assert core["screen sound"] == "yes" and core["screen fires"] == "some"


def test_pruned_search_equals_the_exhaustive_ones(core):
    modes = {k: v for k, v in core.items() if k.startswith("modes ")}
    assert len(modes) >= 50 and set(modes.values()) == {"same"}
    # The pruning path was exercised (wide-range weights take the unpruned path).
    abandoned = {k: v for k, v in core.items() if k.startswith("abandoned ")}
    assert sum(v == "some" for v in abandoned.values()) >= len(abandoned) - 1
    assert core["abandoned medium wide weights"] == "none"
    assert core["lazy frames"] == "regenerated same"
    assert core["recovery"] == "exact"
    assert core["best standard noiseless"] == "0 71280 71280"


def test_ranking_tie_rules(core):
    assert core["ranking stable"] == "same" and core["ranking shuffled"] == "same"
    # Equal misfit: larger effective sample size first; equal both: enumeration order.
    assert core["ranking ties"] == "0.5 0 1"


@pytest.mark.parametrize("key,value", [
    ("weights unweighted", None), ("weights ones", None), ("weights zeros", "none"), ("weights short", "none"),
    ("weights negative", "none"), ("weights nan", "none"), ("weights inf", "none"), ("empty unweighted", "none"),
    ("misfit flat", "none"), ("score flat", "none"), ("misfit nan", "none"), ("misfit inf line", "none"),
    ("misfit two lines", "45"), ("misfit no lines", "none"),
    ("second line off plane", "slickenline 1 lies 30.000 degrees off the fault plane, more than the 1.000 allowed"),
    ("count default", "71280"), ("count half", "1034208"), ("count coarse", "8"),
    ("count tiny", "18446744073709551615"), ("frames 200", "2"), ("frames absurd", "regenerated 0"),
    ("phi count", "11 4"),
])
def test_core_values(core, key, value):
    if value is not None:
        assert core[key] == value


def test_weighted_scores(core):
    def parse(key):
        mean, count, ess = core[key].split()
        return float(mean), int(count), float(ess)

    plain = parse("weights unweighted")
    assert plain[1:] == (3, 3.0) and parse("weights ones") == plain
    assert parse("weights 1 0 1")[1:] == (2, 2.0) and parse("weights 1 -0 1") == parse("weights 1 0 1")
    mean, count, ess = parse("weights 1 1e-6")
    assert count == 2 and ess == pytest.approx(1.000002, abs=1e-9)
    # Extreme but finite weights keep finite, scale-free results.
    for key in ("weights huge", "weights tiny", "weights scaled"):
        assert parse(key) == plain
    mean, count, ess = parse("weights mixed range")
    assert count == 3 and math.isfinite(mean) and ess == pytest.approx(1.0)


def test_rolls_at_north(core):
    rolls = [tuple(map(float, x.split("/"))) for x in core["rolls at north"].split()]
    assert rolls[0] == (270.0, -0.0) and rolls[1] == pytest.approx((270.0, -10.0))
    assert rolls[9][1] == -90.0 and rolls[10] == pytest.approx((90.0, -80.0))


def test_unscorable_candidates_are_tried_not_scored():
    # A pure dip-slip fault striking North: with phi 0 the S1-North candidate is axially symmetric about S1,
    # and the plane's normal lies in the plane of the equal stresses, so it predicts no slip.
    r = kernels.invert_stress(GOOD[:1], angle_step_degrees=200.0, phi_step=2.0)
    assert r["candidates_tried"] == 2 and r["candidates_scored"] == 1 and r["runners_up"] == []
    assert r["best"]["s1"][0] == pytest.approx(200.0)
