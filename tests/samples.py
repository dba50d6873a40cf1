"""One small valid call of every public function, shared by the robustness, resource and concurrency
tests. Each sample is a list of (parameter, value) pairs in parameter order, cheap enough to repeat
thousands of times (searches use coarse steps, grids a handful of nodes)."""

from __future__ import annotations

import sys

import numpy as np

from _velkor import kernels

# Parameters whose valid range makes the cost unbounded (a tiny search step, a tiny cell) are only ever
# varied among cheap or invalid values by the robustness test.
COST_PARAMETERS = {"angle_step_degrees", "phi_step", "cell_size", "spacing", "counts", "bandwidth"}

# The functions that release the interpreter lock while they compute.
LOCK_RELEASING = ["density_field", "stress_field", "field_cost", "invert_stress", "best_fit_planes",
                  "intersect_plane_grid", "intersect_mesh_grid", "kagan_angles", "kagan_angle_matrix"]


def faults_from_rakes(rng: np.random.Generator, n: int) -> np.ndarray:
    strike = rng.uniform(0.0, 360.0, n)
    dip = rng.uniform(10.0, 80.0, n)
    rake = rng.uniform(-170.0, 170.0, n)
    lines = np.array([kernels.rake_to_slickenline(s, d, r) for s, d, r in zip(strike, dip, rake)])
    return np.column_stack([strike, dip, lines]).reshape(n, 4)


def mechanisms(rng: np.random.Generator, n: int) -> np.ndarray:
    """P and T axes taken from random orthonormal frames, as (P trend, P plunge, T trend, T plunge)."""
    rows = []
    for _ in range(n):
        q, _r = np.linalg.qr(rng.normal(size=(3, 3)))
        p, t = q[:, 0], q[:, 1]
        rows.append([*axis(p), *axis(t)])
    return np.array(rows).reshape(n, 4)


def axis(v: np.ndarray) -> tuple[float, float]:
    e, n, u = v / np.linalg.norm(v)
    trend = np.degrees(np.arctan2(e, n)) % 360.0
    return float(trend), float(np.degrees(np.arcsin(np.clip(-u, -1, 1))))


def dem(rng: np.random.Generator, rows: int = 12, cols: int = 10) -> np.ndarray:
    return np.ascontiguousarray(np.cumsum(rng.normal(size=(rows, cols)), axis=1) + 50.0)


GEOTRANSFORM = (100.0, 10.0, 0.0, 500.0, 0.0, -10.0)


def build_samples() -> dict[str, list[tuple[str, object]]]:
    rng = np.random.default_rng(20261208)
    faults = faults_from_rakes(rng, 12)
    senses = rng.random(12) < 0.7
    weights = rng.uniform(0.5, 2.0, 12)
    positions = rng.uniform(0.0, 10.0, (12, 2))
    points2 = rng.uniform(0.0, 10.0, (40, 2))
    points3 = np.column_stack([rng.uniform(0, 30, 60), rng.uniform(0, 30, 60), rng.normal(size=60)])
    cat = mechanisms(rng, 6)
    terrain = dem(rng)
    vertices = np.array([[100.0, 400.0, 40.0], [200.0, 400.0, 60.0], [150.0, 480.0, 55.0], [120.0, 450.0, 45.0]])
    faces = np.array([[0, 1, 2], [0, 2, 3]], dtype=np.int64)
    field = [("positions", positions), ("faults", faults), ("origin", [0.0, 0.0]), ("spacing", [5.0, 5.0]),
             ("counts", [2, 2]), ("bandwidth", [20.0, 20.0]), ("senses", senses), ("kernel", "quartic"),
             ("truncation", 4.0), ("min_support", 1.0), ("angle_step_degrees", 60.0), ("phi_step", 0.5)]
    return {
        "intersect_plane_grid": [("dem", terrain), ("geotransform", GEOTRANSFORM), ("src_pt", (150.0, 450.0, 50.0)),
                                 ("dip_dir_degr", 30.0), ("dip_angle_degr", 20.0), ("nodata", -9999.0)],
        "intersect_mesh_grid": [("dem", terrain), ("geotransform", GEOTRANSFORM), ("vertices", vertices),
                                ("faces", faces), ("nodata", -9999.0)],
        "best_fit_planes": [("points", points3), ("cell_size", 10.0), ("coincidence_distance", 0.1),
                            ("max_collinearity", 0.99)],
        "plane_normal": [("dip_dir_degr", 120.0), ("dip_angle_degr", 35.0)],
        "rake_to_slickenline": [("strike_rhr_degr", 30.0), ("dip_angle_degr", 60.0), ("rake_degr", -45.0)],
        "solve_stress": [("s1_trend_degr", 0.0), ("s1_plunge_degr", 90.0), ("s3_trend_degr", 90.0),
                         ("s3_plunge_degr", 0.0), ("phi", 0.5), ("strike_rhr_degr", 0.0), ("dip_angle_degr", 60.0),
                         ("sigma1", 1.0), ("sigma3", 0.0), ("shear_threshold", 1e-5)],
        "stress_tensor": [("s1_trend_degr", 0.0), ("s1_plunge_degr", 90.0), ("s3_trend_degr", 90.0),
                          ("s3_plunge_degr", 0.0), ("phi", 0.5), ("sigma1", 1.0), ("sigma3", 0.0)],
        "score_stress": [("s1_trend_degr", 0.0), ("s1_plunge_degr", 90.0), ("s3_trend_degr", 90.0),
                         ("s3_plunge_degr", 0.0), ("phi", 0.5), ("faults", faults), ("senses", senses)],
        "invert_stress": [("faults", faults), ("senses", senses), ("weights", weights),
                          ("angle_step_degrees", 60.0), ("phi_step", 0.5)],
        "inversion_candidate_count": [("angle_step_degrees", 10.0), ("phi_step", 0.1)],
        "covering_grid": [("points", points2), ("spacing", [1.0, 2.0]), ("margin", 0.5)],
        "kernel_profile": [("bandwidth", [2.0, 3.0]), ("kernel", "gaussian"), ("truncation", 3.0)],
        "density_field": [("points", points2), ("origin", [0.0, 0.0]), ("spacing", [1.0, 1.0]), ("counts", [8, 6]),
                          ("bandwidth", [2.0, 2.0]), ("kernel", "quartic"), ("truncation", 4.0)],
        "stress_field": field,
        "field_cost": field,
        # ptb_axes needs every sense of slip known.
        "ptb_axes": [("faults", faults), ("senses", np.ones(len(faults), dtype=bool))],
        "kagan_angles": [("first", cat), ("second", cat[::-1].copy())],
        "kagan_angle_matrix": [("mechanisms", cat)],
        "focal_mechanism_rotations": [(f"{w}_{a}_{c}", v) for (w, a, c), v in zip(
            [(w, a, c) for w in ("first", "second") for a in ("p", "t") for c in ("trend", "plunge")],
            [*cat[0], *cat[1]])],
        "rotate_focal_mechanism": [("p_trend", cat[0, 0]), ("p_plunge", cat[0, 1]), ("t_trend", cat[0, 2]),
                                   ("t_plunge", cat[0, 3]), ("axis_trend", 40.0), ("axis_plunge", 20.0),
                                   ("angle_degrees", 30.0)],
    }


SAMPLES = build_samples()


def notes(error: BaseException) -> list[str]:
    return list(getattr(error, "__notes__", []))


def note_of(parameter: str) -> list[str]:
    """The notes of a conversion error: one naming the parameter where the interpreter has add_note
    (3.11 on); before that the note is dropped and the exception stands as it is."""
    return [f"while processing '{parameter}'"] if sys.version_info >= (3, 11) else []


def registered() -> list[str]:
    return [name for name in kernels.__all__ if name in SAMPLES]


def call(name: str, sample: list[tuple[str, object]] | None = None) -> object:
    pairs = SAMPLES[name] if sample is None else sample
    return getattr(kernels, name)(**dict(pairs))


def steps_during(call) -> int:
    """How many loop steps this thread makes while `call()` runs on another thread: a function that keeps
    the interpreter lock while it computes leaves room for only a handful."""
    import threading

    progress = {"count": 0}
    during = {}

    def run() -> None:
        before = progress["count"]
        call()
        during["steps"] = progress["count"] - before

    worker = threading.Thread(target=run)
    worker.start()
    while worker.is_alive():
        progress["count"] += 1
    worker.join()
    return during["steps"]


def canonical(value: object) -> bytes:
    """A byte string that differs whenever two results differ in any bit, type, shape or key order."""
    if isinstance(value, np.ndarray):
        return b"A" + str(value.dtype).encode() + repr(value.shape).encode() + np.ascontiguousarray(value).tobytes()
    if isinstance(value, dict):
        return b"D" + b"".join(repr(k).encode() + b"=" + canonical(v) + b";" for k, v in value.items())
    if isinstance(value, (list, tuple)):
        return (b"L" if isinstance(value, list) else b"T") + b"".join(canonical(v) + b"," for v in value)
    if isinstance(value, float):
        return b"F" + np.float64(value).tobytes()
    return b"O" + type(value).__name__.encode() + repr(value).encode()
