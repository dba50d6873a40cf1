"""The module frame: import layout, registration, signatures, binding and conversion errors."""

import importlib
import inspect
import pathlib
import shutil
import sys

import numpy as np
import pytest

import _velkor
from _velkor import kernels
from samples import note_of, notes

# Documented order, text signature and opening sentence of every function.
FUNCTIONS = [
    ("intersect_plane_grid", "(dem, geotransform, src_pt, dip_dir_degr, dip_angle_degr, nodata=None)",
     "Intersect an unbounded geological plane with a DEM."),
    ("intersect_mesh_grid", "(dem, geotransform, vertices, faces, nodata=None)",
     "Intersect a triangulated surface with a DEM."),
    ("best_fit_planes", "(points, cell_size, coincidence_distance=0.1, max_collinearity=...)",
     "Fit a geological plane in every cell of a regular grid over a set of located points."),
    ("plane_normal", "(dip_dir_degr, dip_angle_degr)",
     "Upward-pointing unit normal of a geological plane, in (East, North, Up)."),
    ("rake_to_slickenline", "(strike_rhr_degr, dip_angle_degr, rake_degr)",
     "The trend/plunge of a slickenline of the given rake, on a plane of the given strike (right-hand rule) and dip."),
    ("solve_stress", "(s1_trend_degr, s1_plunge_degr, s3_trend_degr, s3_plunge_degr, phi, strike_rhr_degr, "
     "dip_angle_degr, sigma1=1.0, sigma3=0.0, shear_threshold=...)",
     "The direct (forward) Wallace-Bott problem: resolve a reduced stress tensor onto one fault plane, "
     "predicting the slip it drives."),
    ("stress_tensor", "(s1_trend_degr, s1_plunge_degr, s3_trend_degr, s3_plunge_degr, phi, sigma1=1.0, sigma3=0.0)",
     "The reduced stress tensor itself, as a 3x3 array in (East, North, Up)."),
    ("score_stress", "(s1_trend_degr, s1_plunge_degr, s3_trend_degr, s3_plunge_degr, phi, faults, senses=None)",
     "Score one given tensor against a set of faults, without searching for it."),
    ("invert_stress", "(faults, senses=None, weights=None, angle_step_degrees=10.0, phi_step=0.1)",
     "The inverse Wallace-Bott problem: recover the reduced stress tensor that best explains a set of faults "
     "and the slip observed on them."),
    ("inversion_candidate_count", "(angle_step_degrees=10.0, phi_step=0.1)",
     "How many candidate tensors `invert_stress` would visit on a given grid."),
    ("covering_grid", "(points, spacing, margin=0.0)", "A grid covering a set of points, with room around them."),
    ("kernel_profile", '(bandwidth, kernel="quartic", truncation=4.0)',
     "What a kernel does, before any data are put through it."),
    ("density_field", '(points, origin, spacing, counts, bandwidth, kernel="quartic", truncation=4.0)',
     "Kernel density over located points, at every node of a grid."),
    ("stress_field", '(positions, faults, origin, spacing, counts, bandwidth, senses=None, kernel="quartic", '
     "truncation=4.0, min_support=10.0, angle_step_degrees=10.0, phi_step=0.1)",
     "A stress tensor at every node of a grid, with the density of the data that produced it."),
    ("field_cost", '(positions, faults, origin, spacing, counts, bandwidth, senses=None, kernel="quartic", '
     "truncation=4.0, min_support=10.0, angle_step_degrees=10.0, phi_step=0.1)",
     "What `stress_field` would cost, measured rather than guessed."),
    ("ptb_axes", "(faults, senses=None)", "The P, T and B kinematic axes of a set of faults."),
    ("kagan_angles", "(first, second)", "The Kagan angle between mechanisms, pair by pair."),
    ("kagan_angle_matrix", "(mechanisms)", "Every Kagan angle in a catalogue, as an (N, N) matrix."),
    ("focal_mechanism_rotations", "(first_p_trend, first_p_plunge, first_t_trend, first_t_plunge, second_p_trend, "
     "second_p_plunge, second_t_trend, second_t_plunge)",
     "All four rotations that carry one focal mechanism onto another."),
    ("rotate_focal_mechanism", "(p_trend, p_plunge, t_trend, t_plunge, axis_trend, axis_plunge, angle_degrees)",
     "Turn a focal mechanism about an axis."),
]
NAMES = [name for name, _, _ in FUNCTIONS]


def test_top_level_module_layout():
    assert _velkor.__all__ == ["kernels"]
    assert _velkor.__doc__ == ""
    assert [n for n in dir(_velkor) if not n.startswith("_")] == ["kernels"]
    assert kernels.__name__ == "kernels"
    assert sys.modules["_velkor.kernels"] is kernels


def test_all_is_documented_order_of_registered_functions():
    assert kernels.__all__ == NAMES
    public = sorted(n for n in dir(kernels) if not n.startswith("_"))
    assert public == sorted(NAMES)


def test_dotted_import_and_from_import():
    module = importlib.import_module("_velkor.kernels")
    assert module is kernels
    from _velkor.kernels import plane_normal  # noqa: F401  (no file named kernels exists)


@pytest.mark.parametrize("name,signature,opening", FUNCTIONS)
def test_function_objects(name, signature, opening):
    function = getattr(kernels, name)
    assert function.__text_signature__ == signature
    doc = function.__doc__
    assert doc.startswith(opening + "\n\n")
    assert len(doc) > len(opening) + 80, "docstring needs prose beyond the opening sentence"
    assert function.__module__ == "kernels"
    assert function.__self__ is None
    assert function.__name__ == name
    params = inspect.signature(function).parameters
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params.values())


@pytest.mark.parametrize("name", NAMES)
def test_every_signature_parameter_binds_by_keyword(name):
    """The text signature that callers read and the parameter list that the binder uses are written apart:
    every name of the one binds in the other, so conversion, not binding, refuses the first argument."""
    function = getattr(kernels, name)
    parameters = list(inspect.signature(function).parameters)
    with pytest.raises(TypeError) as info:
        function(**{parameter: object() for parameter in parameters})
    assert "argument" not in str(info.value)
    assert notes(info.value) == note_of(parameters[0])


def test_inspect_sees_placeholder_default():
    params = list(inspect.signature(kernels.solve_stress).parameters.values())
    assert len(params) == 10
    assert [p.default for p in params[-3:]] == [1.0, 0.0, Ellipsis]
    assert all(p.default is inspect.Parameter.empty for p in params[:-3])


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: kernels.plane_normal(45), "plane_normal() missing 1 required positional argument: 'dip_angle_degr'"),
        (lambda: kernels.plane_normal(), "plane_normal() missing 2 required positional arguments: "
                                         "'dip_dir_degr' and 'dip_angle_degr'"),
        (lambda: kernels.rake_to_slickenline(), "rake_to_slickenline() missing 3 required positional arguments: "
                                                "'strike_rhr_degr', 'dip_angle_degr', and 'rake_degr'"),
        (lambda: kernels.rake_to_slickenline(dip_angle_degr=1), "rake_to_slickenline() missing 2 required positional "
                                                                "arguments: 'strike_rhr_degr' and 'rake_degr'"),
        (lambda: kernels.plane_normal(1, 2, 3), "plane_normal() takes 2 positional arguments but 3 were given"),
        (lambda: kernels.plane_normal(1, dip_dir_degr=2),
         "plane_normal() got multiple values for argument 'dip_dir_degr'"),
        (lambda: kernels.plane_normal(1, 2, depth=3), "plane_normal() got an unexpected keyword argument 'depth'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


def test_positional_count_message_with_defaults():
    with pytest.raises(TypeError, match=r"^inversion_candidate_count\(\) takes from 0 to 2 positional "
                                        r"arguments but 3 were given$"):
        kernels.inversion_candidate_count(1, 2, 3)
    with pytest.raises(TypeError, match=r"^kagan_angle_matrix\(\) takes 1 positional arguments but 2 were given$"):
        kernels.kagan_angle_matrix(1, 2)


def test_keyword_binding_is_equivalent_to_positional():
    assert kernels.plane_normal(dip_angle_degr=30, dip_dir_degr=90) == kernels.plane_normal(90, 30)
    assert kernels.rake_to_slickenline(10, rake_degr=-20, dip_angle_degr=70) == kernels.rake_to_slickenline(10, 70, -20)


class Floaty:
    def __float__(self):
        return 45.0


class Indexy:
    def __index__(self):
        return 45


@pytest.mark.parametrize("value", [45, 45.0, np.float64(45.0), np.int64(45), Floaty(), Indexy(), True])
def test_double_conversion_accepts_numbers(value):
    assert kernels.plane_normal(value, 30) == kernels.plane_normal(float(value), 30.0)


@pytest.mark.parametrize("value", ["a", None, [1.0], object()])
def test_double_conversion_errors_carry_the_parameter_note(value):
    with pytest.raises(TypeError) as info:
        kernels.plane_normal(10.0, value)
    assert notes(info.value) == note_of("dip_angle_degr")


def test_first_bad_argument_is_reported():
    with pytest.raises(TypeError) as info:
        kernels.rake_to_slickenline("x", None, "z")
    assert notes(info.value) == note_of("strike_rhr_degr")


def test_package_member_import_uses_the_real_module_name(tmp_path):
    package = tmp_path / "velkor_pkg"
    package.mkdir()
    (package / "__init__.py").write_text("")
    shutil.copy(pathlib.Path(_velkor.__file__), package / pathlib.Path(_velkor.__file__).name)
    sys.path.insert(0, str(tmp_path))
    try:
        member = importlib.import_module("velkor_pkg._velkor")
        assert member is not _velkor
        assert sys.modules["velkor_pkg._velkor.kernels"] is member.kernels
        from velkor_pkg._velkor.kernels import plane_normal

        assert plane_normal(0, 0) == [0.0, 0.0, 1.0]
    finally:
        sys.path.remove(str(tmp_path))
        for key in [k for k in sys.modules if k.startswith("velkor_pkg")]:
            del sys.modules[key]


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    import subprocess

    out = subprocess.run([nm, "-D", "--defined-only", _velkor.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.split()[-1] not in ("_init", "_fini")]
    assert symbols == ["PyInit__velkor"]


def test_module_file_is_abi3():
    assert pathlib.Path(_velkor.__file__).name.endswith(".abi3.so")


ARRAY_PROBES = {
    "kagan_angle_matrix": "kernels.kagan_angle_matrix([[0.0, 0.0, 90.0, 0.0]])",
    "ptb_axes": "kernels.ptb_axes([[0.0, 45.0, 90.0, 45.0]])",
    "score_stress": "kernels.score_stress(0, 0, 90, 0, 0.5, [[0.0, 45.0, 90.0, 45.0]])",
}


def test_missing_numpy_interface_is_an_internal_failure(child):
    probes = list(ARRAY_PROBES.values())
    code = (
        "import sys\n"
        "for name in ('numpy', 'numpy._core._multiarray_umath', 'numpy.core._multiarray_umath'):\n"
        "    sys.modules[name] = None\n"
        "from _velkor import kernels\n"
        "try:\n"
        f"    {probes[0]}\n"
        "except Exception as e:\n"
        "    print('swallowed', type(e).__name__)\n"
        "except BaseException as e:\n"
        "    print(type(e).__name__, type(e).__mro__[1].__name__, e.args)\n"
    )
    out = child(code).decode().strip()
    assert out == "PanicException BaseException ('Failed to access NumPy array API capsule',)"


def faults_array(n=5, seed=3):
    rng = np.random.default_rng(seed)
    rows = []
    for strike, dip, rake in rng.uniform([0, 10, -170], [360, 80, 170], size=(n, 3)):
        rows.append([strike, dip, *kernels.rake_to_slickenline(strike, dip, rake)])
    return np.array(rows)


TENSOR = (0.0, 90.0, 90.0, 0.0, 0.5)


@pytest.mark.parametrize(
    "bad,actual",
    [
        # the name of the argument's type, whatever its dtype and dimensions
        (lambda f: f.astype(np.float32), "'ndarray' object"),
        (lambda f: f.tolist(), "'list' object"),
        (lambda f: f.ravel(), "'ndarray' object"),
        (lambda f: f.astype(np.int64), "'ndarray' object"),
        (lambda f: np.ma.masked_array(f.astype(np.float32)), "'MaskedArray' object"),
        (lambda f: None, "'None'"),
    ],
)
def test_array_type_refusals(bad, actual):
    with pytest.raises(TypeError) as info:
        kernels.score_stress(*TENSOR, bad(faults_array()))
    assert str(info.value) == f"{actual} is not an instance of 'ndarray[float64, ndim=2]'"
    assert notes(info.value) == note_of("faults")


def test_wrong_column_count_passes_the_type_check_and_fails_on_value():
    with pytest.raises(ValueError) as info:
        kernels.score_stress(*TENSOR, np.zeros((3, 3)))
    assert str(info.value) == "faults must be an (N, 4) array of strike, dip, slickenline trend, slickenline plunge"


def test_strided_inputs_are_read_in_place():
    faults = faults_array(9)
    expected = kernels.score_stress(*TENSOR, faults)["misfits"]
    fortran = np.asfortranarray(faults)
    assert not fortran.flags.c_contiguous
    assert kernels.score_stress(*TENSOR, fortran)["misfits"].tobytes() == expected.tobytes()
    reversed_rows = faults[::-1]
    assert kernels.score_stress(*TENSOR, reversed_rows)["misfits"].tobytes() == expected[::-1].tobytes()
    wide = np.zeros((9, 8))
    wide[:, ::2] = faults
    assert kernels.score_stress(*TENSOR, wide[:, ::2])["misfits"].tobytes() == expected.tobytes()
    senses = np.zeros(18, dtype=bool)
    omitted = kernels.score_stress(*TENSOR, faults)
    explicit_none = kernels.score_stress(*TENSOR, faults, None)
    assert omitted["misfits"].tobytes() == explicit_none["misfits"].tobytes()
    assert (kernels.score_stress(*TENSOR, faults, senses[::2])["misfits"].tobytes()
            == kernels.score_stress(*TENSOR, faults, np.zeros(9, dtype=bool))["misfits"].tobytes())


def test_tensor_result_is_a_reshaped_view_over_an_owned_buffer():
    tensor = kernels.stress_tensor(*TENSOR)
    assert tensor.shape == (3, 3) and tensor.dtype == np.float64 and tensor.flags.c_contiguous
    assert tensor.flags.writeable
    flat = tensor.base
    assert isinstance(flat, np.ndarray) and flat.shape == (9,)
    assert type(flat.base).__name__ == "PySliceContainer"
    with pytest.raises(TypeError):
        type(flat.base)()


def test_numeric_defaults_apply_only_when_absent():
    args = (*TENSOR, 10.0, 60.0)
    assert kernels.solve_stress(*args) == kernels.solve_stress(*args, 1.0, 0.0, 1e-5)
    with pytest.raises(TypeError) as info:
        kernels.solve_stress(*args, sigma1=None)
    assert notes(info.value) == note_of("sigma1")


def test_vector_and_string_conversions():
    with pytest.raises(TypeError) as info:
        kernels.kernel_profile("1.0")
    assert str(info.value) == "Can't extract `str` to `Vec`"
    assert notes(info.value) == note_of("bandwidth")
    with pytest.raises(TypeError) as info:
        kernels.kernel_profile(1.0)
    assert str(info.value) == "'float' object is not an instance of 'Sequence'"
    with pytest.raises(TypeError) as info:
        kernels.kernel_profile(None)
    assert str(info.value) == "'None' is not an instance of 'Sequence'"
    with pytest.raises(TypeError) as info:
        kernels.kernel_profile([1.0, "a"])
    assert notes(info.value) == note_of("bandwidth")
    with pytest.raises(TypeError) as info:
        kernels.kernel_profile([1.0], None)
    assert str(info.value) == "'None' is not an instance of 'str'"
    assert notes(info.value) == note_of("kernel")
    with pytest.raises(TypeError) as info:
        kernels.kernel_profile([1.0], 3)
    assert str(info.value) == "'int' object is not an instance of 'str'"
    # tuples, ranges, generators' sequences and 1-D arrays are all sequences of doubles
    reference = kernels.kernel_profile([2.0, 3.0])
    assert kernels.kernel_profile((2.0, 3.0)) == reference
    assert kernels.kernel_profile(np.array([2.0, 3.0])) == reference
    assert kernels.kernel_profile(np.array([2.0, 3.0, 9.0])[:2]) == reference
    assert kernels.kernel_profile(range(2, 4)) == reference


@pytest.mark.parametrize("counts,kind", [([2, -1], OverflowError), ([2, 1.5], TypeError), ([2, 2**64], OverflowError)])
def test_count_vector_conversion(counts, kind):
    with pytest.raises(kind) as info:
        kernels.density_field(np.zeros((1, 2)), [0.0, 0.0], [1.0, 1.0], counts, [1.0, 1.0])
    assert notes(info.value) == note_of("counts")


def test_count_vector_accepts_index_objects():
    points = np.zeros((1, 2))
    a = kernels.density_field(points, [0.0, 0.0], [1.0, 1.0], [Indexy(), np.int64(3)], [1.0, 1.0])
    b = kernels.density_field(points, [0.0, 0.0], [1.0, 1.0], [45, 3], [1.0, 1.0])
    assert a.tobytes() == b.tobytes()


@pytest.mark.parametrize("geotransform,kind,message", [
    ((0.0, 1.0, 0.0, 0.0, 0.0), ValueError, "expected a sequence of length 6 (got 5)"),
    ([0.0] * 7, ValueError, "expected a sequence of length 6 (got 7)"),
    (5.0, TypeError, "'float' object is not an instance of 'Sequence'"),
    (None, TypeError, "'None' is not an instance of 'Sequence'"),
])
def test_fixed_length_vector_conversion(geotransform, kind, message):
    dem = np.zeros((3, 3))
    with pytest.raises(kind) as info:
        kernels.intersect_plane_grid(dem, geotransform, (0.0, 0.0, 0.0), 0.0, 0.0)
    assert str(info.value) == message
    assert notes(info.value) == note_of("geotransform")
