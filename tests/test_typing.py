"""The typed API: the stub package against the registered functions, their results and mypy.

The stubs are parsed with `ast` and held against three things: the signatures the
module registers, the objects its functions actually return (every dict key in
order, every element type, every array dtype), and a strict mypy run over the
examples and over user scripts that must pass or must be rejected line by line.
"""

from __future__ import annotations

import ast
import importlib.util
import inspect
import math
import os
import pathlib
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

from _velkor import kernels

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCE_STUBS = ROOT / "stubs" / "_velkor-stubs"
CASES = pathlib.Path(__file__).resolve().parent / "typing_cases"
STUB_FILES = ("__init__.pyi", "kernels.pyi")


def parse_stub(name: str) -> ast.Module:
    return ast.parse((SOURCE_STUBS / name).read_text(), filename=name)


KERNELS_STUB = parse_stub("kernels.pyi")
STUB_FUNCTIONS = {node.name: node for node in KERNELS_STUB.body if isinstance(node, ast.FunctionDef)}
STUB_CLASSES = {node.name: node for node in KERNELS_STUB.body if isinstance(node, ast.ClassDef)}
STUB_ALIASES = {
    node.targets[0].id: node.value
    for node in KERNELS_STUB.body
    if isinstance(node, ast.Assign) and isinstance(node.targets[0], ast.Name) and node.targets[0].id != "__all__"
}
STUB_ALL = next(
    ast.literal_eval(node.value)
    for node in KERNELS_STUB.body
    if isinstance(node, ast.Assign) and isinstance(node.targets[0], ast.Name) and node.targets[0].id == "__all__"
)
REGISTERED = list(kernels.__all__)


def registered(name: str):
    if name not in REGISTERED:
        pytest.skip(f"{name} is not registered in this build")
    return getattr(kernels, name)


# ---------------------------------------------------------------------------
# Stub layout and signatures
# ---------------------------------------------------------------------------


def test_stub_declares_the_twenty_functions_once_each_in_registration_order():
    assert len(STUB_ALL) == 20 and len(set(STUB_ALL)) == 20
    assert list(STUB_FUNCTIONS) == STUB_ALL
    assert REGISTERED == [name for name in STUB_ALL if name in REGISTERED]


def test_package_stub_reexports_the_submodule():
    body = parse_stub("__init__.pyi").body
    imports = [node for node in body if isinstance(node, ast.ImportFrom)]
    assert [(i.module, i.level, [(a.name, a.asname) for a in i.names]) for i in imports] == [
        (None, 1, [("kernels", "kernels")])
    ]
    annotated = [node for node in body if isinstance(node, ast.AnnAssign)]
    assert [(n.target.id, ast.unparse(n.annotation)) for n in annotated] == [("__all__", "list[str]")]


def annotation_is_optional(node: ast.expr) -> bool:
    while isinstance(node, ast.Name) and node.id in STUB_ALIASES:
        node = STUB_ALIASES[node.id]
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
        return annotation_is_optional(node.left) or annotation_is_optional(node.right)
    return isinstance(node, ast.Constant) and node.value is None


@pytest.mark.parametrize("name", STUB_ALL)
def test_stub_signature_matches_the_registered_function(name):
    function = registered(name)
    stub = STUB_FUNCTIONS[name]
    assert not stub.args.posonlyargs and not stub.args.kwonlyargs
    assert stub.args.vararg is None and stub.args.kwarg is None
    runtime = inspect.signature(function).parameters
    params = stub.args.args
    assert [p.arg for p in params] == list(runtime)
    assert all(p.annotation is not None for p in params) and stub.returns is not None
    defaults = [None] * (len(params) - len(stub.args.defaults)) + list(stub.args.defaults)
    for param, default in zip(params, defaults):
        actual = runtime[param.arg]
        assert actual.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert (default is None) == (actual.default is inspect.Parameter.empty), param.arg
        if default is not None:
            assert isinstance(default, ast.Constant) and default.value is Ellipsis, param.arg
        # A None default is exactly what an optional annotation must promise.
        assert annotation_is_optional(param.annotation) == (actual.default is None), param.arg


@pytest.mark.parametrize("name", STUB_ALL)
def test_stub_docstring_opens_with_the_functions_own_sentence(name):
    function = registered(name)
    stub_doc = ast.get_docstring(STUB_FUNCTIONS[name])
    assert stub_doc is not None
    assert stub_doc.splitlines()[0] == function.__doc__.lstrip().splitlines()[0]


# ---------------------------------------------------------------------------
# Results against the declared return types
# ---------------------------------------------------------------------------

DTYPES = {"float64": np.float64, "int64": np.int64, "bool_": np.bool_}


def conform(value, node: ast.expr, where: str) -> list[str]:
    """Problems of `value` against the stub annotation `node` (empty when it conforms)."""
    if isinstance(node, ast.Constant) and node.value is None:
        return [] if value is None else [f"{where}: {value!r} is not None"]
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
        left = conform(value, node.left, where)
        return [] if not left else conform(value, node.right, where)
    if isinstance(node, ast.Name):
        if node.id in STUB_ALIASES:
            return conform(value, STUB_ALIASES[node.id], where)
        if node.id in STUB_CLASSES:
            return conform_typed_dict(value, STUB_CLASSES[node.id], where)
        expected = {"float": float, "int": int, "bool": bool, "str": str}[node.id]
        return [] if type(value) is expected else [f"{where}: {type(value).__name__} is not {node.id}"]
    assert isinstance(node, ast.Subscript), ast.unparse(node)
    head = ast.unparse(node.value)
    if head == "NDArray":
        dtype = DTYPES[ast.unparse(node.slice).removeprefix("np.")]
        if type(value) is not np.ndarray:
            return [f"{where}: {type(value).__name__} is not an ndarray"]
        if value.dtype != dtype or not value.flags.c_contiguous:
            return [f"{where}: {value.dtype} array (contiguous {value.flags.c_contiguous}) is not C-ordered {dtype}"]
        return []
    if head == "tuple":
        items = node.slice.elts if isinstance(node.slice, ast.Tuple) else [node.slice]
        if type(value) is not tuple or len(value) != len(items):
            return [f"{where}: {value!r} is not a tuple of {len(items)}"]
        return [p for i, (v, n) in enumerate(zip(value, items)) for p in conform(v, n, f"{where}[{i}]")]
    if head == "list":
        if type(value) is not list:
            return [f"{where}: {type(value).__name__} is not a list"]
        return [p for i, v in enumerate(value) for p in conform(v, node.slice, f"{where}[{i}]")]
    raise AssertionError(f"annotation not understood: {ast.unparse(node)}")


def conform_typed_dict(value, cls: ast.ClassDef, where: str) -> list[str]:
    fields = [(n.target.id, n.annotation) for n in cls.body if isinstance(n, ast.AnnAssign)]
    if type(value) is not dict:
        return [f"{where}: {type(value).__name__} is not a dict ({cls.name})"]
    if list(value) != [key for key, _ in fields]:
        return [f"{where}: keys {list(value)} differ from {cls.name} {[key for key, _ in fields]}"]
    return [p for key, annotation in fields for p in conform(value[key], annotation, f"{where}[{key!r}]")]


def fault_set(count=6, seed=3):
    """Faults whose slickenlines lie in their planes, built through the module's own rake conversion."""
    rng = np.random.default_rng(seed)
    rows = []
    for _ in range(count):
        strike, dip, rake = rng.uniform(0, 360), rng.uniform(20, 80), rng.uniform(-170, 170)
        rows.append((strike, dip, *kernels.rake_to_slickenline(strike, dip, rake)))
    return np.array(rows, dtype=np.float64).reshape(count, 4)


def mechanisms(count=4, seed=5):
    # T is placed at trend + 180, plunge 90 - p, exactly perpendicular to P.
    rng = np.random.default_rng(seed)
    trend, plunge = rng.uniform(0, 360, count), rng.uniform(5, 60, count)
    return np.column_stack([trend, plunge, (trend + 180) % 360, 90 - plunge])


def sloping_dem():
    rows, cols = np.mgrid[0:6, 0:7]
    return (rows * 1.5 + cols * 0.5).astype(np.float64)


GEOTRANSFORM = (0.0, 1.0, 0.0, 6.0, 0.0, -1.0)


def sample_calls():
    faults = fault_set()
    positions = np.random.default_rng(8).uniform(0, 4, (len(faults), 2))
    points = np.random.default_rng(9).uniform(0, 10, (40, 3))
    mech = mechanisms()
    grid = dict(origin=[0.0, 0.0], spacing=[2.0, 2.0], counts=[3, 2], bandwidth=[6.0, 6.0])
    search = dict(angle_step_degrees=45.0, phi_step=0.5)
    return [
        ("intersect_plane_grid", (sloping_dem(), GEOTRANSFORM, (3.0, 3.0, 4.0), 90.0, 20.0), {}),
        ("intersect_plane_grid", (sloping_dem(), GEOTRANSFORM, (3.0, 3.0, 1e6), 90.0, 0.0), {"nodata": -9999.0}),
        ("intersect_mesh_grid", (sloping_dem(), GEOTRANSFORM,
                                 np.array([[-1.0, -1.0, 3.0], [8.0, -1.0, 3.0], [3.0, 8.0, 9.0]]),
                                 np.array([[0, 1, 2]], dtype=np.int64)), {}),
        ("best_fit_planes", (points, 4.0), {}),
        ("best_fit_planes", (np.empty((0, 3)), 1.0), {}),
        ("plane_normal", (120.0, 35.0), {}),
        ("rake_to_slickenline", (30.0, 60.0, 45.0), {}),
        ("solve_stress", (0.0, 90.0, 90.0, 0.0, 0.5, 0.0, 60.0), {}),
        ("solve_stress", (0.0, 90.0, 90.0, 0.0, 0.5, 0.0, 0.0), {}),
        ("stress_tensor", (0.0, 90.0, 90.0, 0.0, 0.5), {"sigma1": 3.0}),
        ("score_stress", (0.0, 90.0, 90.0, 0.0, 0.5, faults), {}),
        ("score_stress", (0.0, 90.0, 90.0, 0.0, 0.5, np.empty((0, 4))), {}),
        ("invert_stress", (faults,), {"weights": np.linspace(1.0, 2.0, len(faults)), **search}),
        ("invert_stress", (np.empty((0, 4)),), {}),
        ("inversion_candidate_count", (), {}),
        ("covering_grid", (points[:, :2], [2.0, 2.0]), {"margin": 0.5}),
        ("kernel_profile", ([1.0, 2.0],), {}),
        ("kernel_profile", ([1.0],), {"kernel": "gaussian"}),
        ("density_field", (points[:, :2], grid["origin"], grid["spacing"], grid["counts"], grid["bandwidth"]), {}),
        ("stress_field", (positions, faults, *grid.values()), {"min_support": 0.0, **search}),
        ("field_cost", (positions, faults, *grid.values()), {"min_support": 0.0, **search}),
        ("ptb_axes", (faults,), {"senses": np.ones(len(faults), dtype=bool)}),
        ("kagan_angles", (mech, mech[::-1]), {}),
        ("kagan_angle_matrix", (mech,), {}),
        ("focal_mechanism_rotations", (*mech[0], *mech[1]), {}),
        ("rotate_focal_mechanism", (*mech[0], 0.0, 90.0, 30.0), {}),
    ]


SAMPLES = sample_calls()


def test_every_function_has_a_sample_call():
    assert {name for name, _, _ in SAMPLES} == set(STUB_ALL)


@pytest.mark.parametrize("index", range(len(SAMPLES)), ids=[f"{s[0]}-{i}" for i, s in enumerate(SAMPLES)])
def test_result_conforms_to_the_declared_return_type(index):
    name, args, kwargs = SAMPLES[index]
    result = registered(name)(*args, **kwargs)
    assert conform(result, STUB_FUNCTIONS[name].returns, name) == []


def test_checker_rejects_results_that_break_the_layout():
    # Guards the checker itself: a key out of order, a wrong dtype, an int for a float, a list for a tuple.
    rotated = STUB_FUNCTIONS["rotate_focal_mechanism"].returns
    assert conform({"p": (1.0, 2.0), "t": (1.0, 2.0), "b": (1.0, 2.0)}, rotated, "r") == []
    assert conform({"t": (1.0, 2.0), "p": (1.0, 2.0), "b": (1.0, 2.0)}, rotated, "r")
    assert conform({"p": (1.0, 2), "t": (1.0, 2.0), "b": (1.0, 2.0)}, rotated, "r")
    assert conform({"p": [1.0, 2.0], "t": (1.0, 2.0), "b": (1.0, 2.0)}, rotated, "r")
    matrix = STUB_FUNCTIONS["kagan_angle_matrix"].returns
    assert conform(np.zeros((2, 2)), matrix, "m") == []
    assert conform(np.zeros((2, 2), dtype=np.float32), matrix, "m")
    assert conform(np.zeros((2, 2)).T[:, ::-1], matrix, "m")
    fitted = STUB_FUNCTIONS["best_fit_planes"].returns
    assert conform(None, fitted, "b") == []
    assert conform(math.nan, fitted, "b")


# ---------------------------------------------------------------------------
# Installation and mypy
# ---------------------------------------------------------------------------


def installed_stubs() -> pathlib.Path | None:
    """The `_velkor-stubs` directory beside the imported module, when the module was installed with it."""
    spec = importlib.util.find_spec("_velkor")
    if spec is None or spec.origin is None:
        return None
    candidate = pathlib.Path(spec.origin).parent / "_velkor-stubs"
    return candidate if candidate.is_dir() else None


def test_installed_stubs_are_the_source_stubs():
    where = installed_stubs()
    if where is None:
        pytest.skip("the module is a development build without its stub package beside it")
    assert sorted(p.name for p in where.iterdir() if p.name != "__pycache__") == sorted(STUB_FILES)
    for name in STUB_FILES:
        assert (where / name).read_bytes() == (SOURCE_STUBS / name).read_bytes()


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    """One strict mypy run over the examples and the typing cases, per-file error lines."""
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "MYPYPATH")}
    if installed_stubs() is None:
        # A development build: give mypy the source stubs as the package itself, and the
        # package's source folder.
        search = tmp_path_factory.mktemp("stubpath")
        shutil.copytree(SOURCE_STUBS, search / "_velkor")
        env["MYPYPATH"] = os.pathsep.join([str(search), str(ROOT / "python")])
    cache = tmp_path_factory.mktemp("mypy_cache")
    targets = ["examples", *(str(p.relative_to(ROOT)) for p in sorted(CASES.glob("*.py")))]
    # The package itself is checked too, as its users' type checker reads it (py.typed), against the
    # NumPy stubs it is annotated for: older ones leave numpy.ma untyped and type reductions as Any.
    if tuple(int(part) for part in np.__version__.split(".")[:2]) >= (2, 4):
        targets.append("python/velkor")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--show-error-codes",
         "--cache-dir", str(cache), *targets],
        cwd=ROOT, env=env, capture_output=True, text=True, timeout=600,
    )
    errors: dict[str, set[int]] = {}
    for line in done.stdout.splitlines():
        found = re.match(r"(.+?):(\d+): error: ", line)
        if found:
            errors.setdefault(pathlib.PurePath(found[1]).as_posix(), set()).add(int(found[2]))
    return done, errors


@pytest.mark.no_sanitizer
def test_examples_and_user_scripts_pass_strict_mypy(mypy_report):
    done, errors = mypy_report
    accepted = {p: lines for p, lines in errors.items() if not p.endswith("rejected.py")}
    assert accepted == {}, "\n".join(line for line in done.stdout.splitlines() if "rejected.py" not in line)
    assert done.stderr == ""


@pytest.mark.no_sanitizer
def test_mypy_rejects_exactly_the_marked_misuses(mypy_report):
    done, errors = mypy_report
    source = (CASES / "rejected.py").read_text().splitlines()
    marked = {number for number, line in enumerate(source, start=1) if line.rstrip().endswith("# rejected")}
    assert len(marked) >= 10
    assert errors.get("tests/typing_cases/rejected.py", set()) == marked, done.stdout
