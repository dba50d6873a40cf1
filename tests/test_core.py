"""Core-library checks that no Python function reaches directly: the message number formatting, every
error kind's text and the orientation geometry's edge cases. A small C++ program linked with the core
(tests/core, built by the core_checks fixture) prints them, and its output is compared here."""

import decimal

import pytest


@pytest.fixture(scope="module")
def core(core_checks):
    return dict(line.split("|", 1) for line in core_checks.run("core_checks").splitlines())


@pytest.mark.parametrize("value,text", [
    ("1", "1"), ("0.5", "0.5"), ("9.9999999999999995e-08", "0.0000001"), ("-0", "-0"), ("0", "0"),
    ("nan", "NaN"), ("inf", "inf"), ("-inf", "-inf"), ("2.5", "2.5"), ("0.30000000000000004", "0.30000000000000004"),
    ("1e+21", "1000000000000000000000"), ("-123.456", "-123.456"),
    # the shortest digits, not the exact binary value, also for large whole numbers
    ("9.9999999999999992e+22", "100000000000000000000000"), ("-2.4999999999999998e+22", "-25000000000000000000000"),
    ("9007199254740994", "9007199254740994"), ("123456.789", "123456.789"),
    ("1.7976931348623157e+308", "17976931348623157" + "0" * 292),
])
def test_shortest_formatting(core, value, text):
    assert core[f"shortest {value}"] == text


def test_shortest_formatting_of_the_smallest_subnormal(core):
    assert core["shortest 4.9406564584124654e-324"] == "0." + "0" * 323 + "5"


def positional(value: float) -> str:
    """The shortest round-trip digits (Python's repr) written out without exponent or trailing '.0'."""
    text = format(decimal.Decimal(repr(value)), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


def test_shortest_formatting_of_random_doubles(core):
    samples = [v.split(" ") for k, v in core.items() if k.startswith("random shortest ")]
    assert len(samples) > 2000
    for hex_value, text in samples:
        assert text == positional(float.fromhex(hex_value)), hex_value


@pytest.mark.parametrize("value,text", [
    ("85", "85.000"), ("91.5", "91.500"), ("1", "1.000"), ("0.00050000000000000001", "0.001"),
    ("0.0015", "0.002"), ("0.66666666666666663", "0.667"), ("-0.00040000000000000002", "-0.000"),
    ("nan", "NaN"), ("inf", "inf"),
])
def test_three_decimal_formatting(core, value, text):
    assert core[f"fixed3 {value}"] == text


@pytest.mark.parametrize("kind,text", [
    ("AxesNotSubOrthogonal", "S1 and S3 axes must be sub-orthogonal: 85.000 degrees apart, expected within 1.000 of 90"),
    ("PhiOutOfRange", "Phi must be between 0 and 1, got 1.5"),
    ("PhiOutOfRangeNaN", "Phi must be between 0 and 1, got NaN"),
    ("SigmaOrder", "Sigma1 must be greater than Sigma3, got sigma1=1, sigma3=2.5"),
    ("AxesNotOrthogonal", "P and T axes depart from orthogonality by 5.000 degrees, more than the 1.000 allowed"),
    ("ZeroAxis", "a P or T axis was given as a zero-length vector, which has no direction"),
    ("MissingSlickenline", "the fault carries no slickenline at index 3"),
    ("UndeterminedSense", "the slickenline has no determined sense of movement, so P and T cannot be told apart"),
    ("DegenerateQuaternion", "the quaternion is too small to describe an orientation"),
    ("SlickenlineOffPlane", "slickenline 0 lies 12.250 degrees off the fault plane, more than the 1.000 allowed"),
    ("VertexOutOfRange", "vertex index 7 is out of range for a mesh of 5 vertices"),
    ("ZeroVector", "ZeroVector"),
    ("Refusal", "no points to cover"),
    ("Refusal in context", "fault 3: slickenline 0 lies 12.250 degrees off the fault plane, more than the 1.000 allowed"),
])
def test_error_messages(core, kind, text):
    assert core[kind] == text


def test_saturating_floors_agree_with_the_library_floor(core):
    assert core["floors"] == "ok"


def vec(text):
    return [float(x) for x in text.split(",")]


def test_axes_and_back(core):
    assert vec(core["axis 0 0"]) == [0.0, 1.0, 0.0]
    assert vec(core["axis 90 0"]) == pytest.approx([1.0, 0.0, 0.0], abs=1e-15)
    assert vec(core["axis 0 90"]) == pytest.approx([0.0, 0.0, -1.0], abs=1e-15)
    # a tiny negative angle from rounding wraps to 0, never to 360
    assert vec(core["back 360"]) == [0.0, 0.0]
    assert vec(core["back 0,1,1"]) == pytest.approx([0.0, -45.0], abs=1e-12)
    assert vec(core["back up"]) == [0.0, -90.0]
    assert float(core["back beyond"]) == -90.0


def test_hemisphere_and_angles(core):
    assert vec(core["lower 1e-13"]) == [1.0, 0.0, 1e-13]
    assert vec(core["lower 1e-11"]) == [-1.0, -0.0, -1e-11]
    assert float(core["directions opposite"]) == 180.0
    assert float(core["lines opposite"]) == 0.0
    assert float(core["wrap -30"]) == 330.0 and float(core["wrap 390"]) == 30.0


def test_rake_of_direction_and_attitude(core):
    assert float(core["rake along strike"]) == 0.0
    assert float(core["rake against strike"]) == 180.0
    assert float(core["rake down dip"]) == pytest.approx(-90.0, abs=1e-12)
    assert float(core["rake up dip"]) == pytest.approx(90.0, abs=1e-12)
    assert vec(core["attitude"]) == pytest.approx([120.0, 40.0], abs=1e-12)
    assert core["normalized none"] == "value"  # NaN gives NaN components, not "no normal"


def test_wide_counts_are_exact_products(core):
    """The exact counts (candidate counts of tiny steps, forward solutions of a field) against Python's
    integers: three factors of every width up to 128 bits, zero, one and the largest among them."""
    samples = [v.split() for k, v in core.items() if k.startswith("wide ")]
    assert len(samples) == 300
    for *factors, limbs in samples:
        product = 1
        for factor in factors:
            product *= int(factor, 16)
        assert int(limbs, 16) == product, factors
    assert int(samples[3][-1], 16) == (2**128 - 1) ** 3 and int(samples[2][-1], 16) == 0
