"""read_faults: the notations of published fault-slip tables, and the rows that contradict themselves."""

import numpy as np
import pytest

import velkor
from velkor import kernels


def direction(trend, plunge):
    t, p = np.radians(trend), np.radians(plunge)
    return np.array([np.cos(p) * np.sin(t), np.cos(p) * np.cos(t), -np.sin(p)])


def assert_slip(row, strike, dip, rake):
    """A fault row equals the plane and the slip direction of an Aki-Richards rake (kernel's conversion)."""
    assert row[0] == pytest.approx(strike % 360.0, abs=1e-9) and row[1] == pytest.approx(dip, abs=1e-12)
    expected = direction(*kernels.rake_to_slickenline(strike, dip, rake))
    assert np.linalg.norm(direction(row[2], row[3]) - expected) < 1e-9


def write(tmp_path, text, name="faults.csv"):
    path = tmp_path / name
    path.write_text(text)
    return path


FIELD_BOOK = """# Fault-slip data, field book notation
Strike,Dip,Dip quadrant,Pitch,Pitch quadrant,Sense
30,60,SE,90,,N
300,60,SW,30,E,D
300,60,sw,30,E,S
45,80,NW,10,NE,I
170,35,e,0,N,u
"""


def test_field_book_notation_worked_rows(tmp_path):
    faults = velkor.read_faults(write(tmp_path, FIELD_BOOK))
    assert len(faults) == 5 and faults.positions is None and faults.weights is None
    assert faults.senses.tolist() == [True, True, True, True, False]
    rows = faults.faults
    # Pure dip-slip, normal: down the dip of a plane dipping SE.
    assert_slip(rows[0], 30.0, 60.0, -90.0)
    # Strike 300 dipping SW is right-hand strike 120; pitch 30 from its ESE end, measured downward,
    # is rake -30 along the strike; dextral reverses it to rake 150, sinistral keeps it.
    assert_slip(rows[1], 120.0, 60.0, 150.0)
    assert_slip(rows[2], 120.0, 60.0, -30.0)
    # Strike 45 dipping NW is right-hand strike 225; pitch 10 from the NE end (azimuth 45, against the
    # strike): the downward line is rake -170; reverse (I) turns it up, to rake 10.
    assert_slip(rows[3], 225.0, 80.0, 10.0)
    # Strike 170 dipping E is right-hand strike 350; unknown sense keeps the line as measured,
    # horizontal towards the N end, which is along that strike.
    assert_slip(rows[4], 350.0, 35.0, 0.0)


@pytest.mark.parametrize("row, message", [
    ("0,40,N,30,N,N", "line 3: Dip quadrant 'N' lies 0.0 degrees from the strike line, so it cannot tell which way "
                      "the plane dips"),
    ("90,40,N,30,N,N", "line 3: Pitch quadrant 'N' lies 90.0 degrees from the strike line, so it cannot tell from "
                       "which end the pitch is measured"),
    ("90,40,S,0,E,N", "line 3: sense 'N' needs a slickenline with a dip-slip component, but the line has none"),
    ("90,40,S,90,,D", "line 3: sense 'D' needs a slickenline with a strike-slip component, but the line has none"),
    ("90,40,S,30,E,X", "line 3: sense 'X' is not one of N (normal), R or I (reverse)"),
    ("90,95,S,30,E,N", "line 3: Dip 95 is outside 0 to 90 degrees"),
    ("90,40,S,130,E,N", "line 3: Pitch 130 is outside 0 to 90 degrees"),
    ("90,forty,S,30,E,N", "line 3: column 'Dip' holds 'forty', not a number"),
    ("90,,S,30,E,N", "line 3: column 'Dip' is empty"),
    ("90,40,Q,30,E,N", "line 3: Dip quadrant 'Q' is not a compass direction"),
    ("90,40,,30,E,N", "line 3: Dip quadrant is empty"),
])
def test_contradictory_or_bad_rows_are_refused_with_their_line(tmp_path, row, message):
    text = "Strike,Dip,Dip quadrant,Pitch,Pitch quadrant,Sense\n90,40,S,30,E,N\n" + row + "\n"
    path = write(tmp_path, text)
    with pytest.raises(ValueError) as raised:
        velkor.read_faults(path)
    assert str(raised.value).startswith(f"{path}, {message}"), str(raised.value)


def test_dip_direction_and_line_notation_oriented_by_sense():
    table = {"dip_direction": [90, 90, 90, 200], "dip": [60, 60, 60, 50], "trend": [90, 90, 90, 110],
             "plunge": [60, 60, 60, 0], "sense": ["N", "R", "", "S"], "weight": [1, 2, 0, 1],
             "x": [0, 1, 2, 3], "y": [5, 6, 7, 8]}
    faults = velkor.read_faults(table)
    rows = faults.faults
    assert_slip(rows[0], 0.0, 60.0, -90.0)
    assert_slip(rows[1], 0.0, 60.0, 90.0)   # the same line, turned up the dip
    assert_slip(rows[2], 0.0, 60.0, -90.0)  # unknown sense: as measured
    assert_slip(rows[3], 110.0, 50.0, 0.0)  # strike-slip along the right-hand strike: sinistral
    assert faults.senses.tolist() == [True, True, False, True]
    assert faults.weights.tolist() == [1, 2, 0, 1]
    assert faults.positions.tolist() == [[0, 5], [1, 6], [2, 7], [3, 8]]
    off_plane = dict(table, trend=[90, 90, 0, 110], plunge=[60, 60, 30, 0])
    with pytest.raises(ValueError, match=r"^mapping, row 2: the slickenline lies 14\.478 degrees off the fault "
                                         r"plane, more than the 1\.000 allowed$"):
        velkor.read_faults(off_plane)


def test_rake_and_kernel_notations_check_a_sense_column(tmp_path):
    faults = velkor.read_faults(write(tmp_path, "strike;dip;rake;sense\n10;50;-80;N\n10;50;100;u\n"))
    assert_slip(faults.faults[0], 10.0, 50.0, -80.0)
    assert faults.senses.tolist() == [True, False]
    with pytest.raises(ValueError, match=r"line 3: sense 'R' contradicts the slip direction given$"):
        velkor.read_faults(write(tmp_path, "strike;dip;rake;sense\n10;50;-80;N\n10;50;-100;R\n"))
    spaced = "strike dip dip_quadrant pitch pitch_quadrant sense\n30 60 SE 90 - N\n30 60 SE 90 N\n"
    with pytest.raises(ValueError, match=r"line 3: 5 cells for 6 columns; in a table separated by spaces write "
                                         r"every cell, '-' for an empty one$"):
        velkor.read_faults(write(tmp_path, spaced))
    assert_slip(velkor.read_faults(write(tmp_path, spaced.splitlines(True)[0] + spaced.splitlines(True)[1])).faults[0],
                30.0, 60.0, -90.0)
    kernel_form = velkor.read_faults(write(tmp_path, "strike dip trend plunge\n0 60 90 60\n0 60 270 -60\n"))
    np.testing.assert_array_equal(kernel_form.faults[:, :2], [[0, 60], [0, 60]])
    assert kernel_form.senses is None
    assert_slip(kernel_form.faults[1], 0.0, 60.0, 90.0)


def test_dataframe_rows_are_named_by_their_index_label():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"STRIKE": [10.0, 20.0], "Dip": [30, np.nan], "Rake": [0, 0]}, index=["A1", "B7"])
    with pytest.raises(ValueError, match=r"^DataFrame, row 'B7': column 'Dip' is empty$"):
        velkor.read_faults(frame)
    frame.loc["B7", "Dip"] = 40
    assert velkor.read_faults(frame).faults[:, 1].tolist() == [30, 40]


def test_tables_without_a_notation_or_that_cannot_be_read(tmp_path):
    with pytest.raises(ValueError, match=r"no fault-slip notation in columns \['strike', 'dip'\]; expected one of: "
                                         r"strike, dip, dip_quadrant, pitch, pitch_quadrant, sense; "):
        velkor.read_faults({"strike": [1], "dip": [2], "colour": ["red"]})
    with pytest.raises(OSError, match=r"could not read .*missing\.csv: No such file or directory"):
        velkor.read_faults(tmp_path / "missing.csv")
    with pytest.raises(ValueError, match=r"line 2: 4 cells for 3 columns"):
        velkor.read_faults(write(tmp_path, "strike,dip,rake\n1,2,3,4\n"))
    with pytest.raises(TypeError, match=r"read_faults takes a CSV path, a DataFrame or a mapping of columns, got int"):
        velkor.read_faults(3)
    empty = velkor.read_faults(write(tmp_path, "\ufeffstrike,dip,rake\n"))
    assert empty.faults.shape == (0, 4)


def test_published_style_table_recovers_its_tensor(tmp_path):
    """Faults written in field-book notation from a known tensor invert back to it."""
    rng = np.random.default_rng(5)
    tensor = (20.0, 10.0, 110.0, 0.0, 0.4)  # strike-slip: S1 N20E gently plunging, S3 horizontal
    lines = ["strike,dip,dip_quadrant,pitch,pitch_quadrant,sense"]
    points = {0: "N", 45: "NE", 90: "E", 135: "SE", 180: "S", 225: "SW", 270: "W", 315: "NW"}
    while len(lines) < 31:
        strike, dip = rng.uniform(0, 360), rng.uniform(40, 88)
        predicted = kernels.solve_stress(*tensor, strike, dip)
        if not predicted["is_valid"]:
            continue
        rake = predicted["theoretical_rake"]
        pitch = min(abs(rake), 180 - abs(rake))
        if pitch < 5 or pitch > 85:
            continue
        # The pitch is read from the strike end towards which the line's lower half runs.
        along = np.cos(np.radians(rake)) * (1.0 if rake < 0 else -1.0)
        end = strike if along > 0 else strike + 180
        dip_quadrant = points[int(((strike + 90) % 360 + 22.5) // 45 % 8 * 45)]
        pitch_quadrant = points[int((end % 360 + 22.5) // 45 % 8 * 45)]
        sense = "N" if rake < 0 else "R"
        lines.append(f"{strike % 180 if rng.random() < 0.5 else strike:.2f},{dip:.2f},{dip_quadrant},"
                     f"{pitch:.2f},{pitch_quadrant},{sense}")
    faults = velkor.read_faults(write(tmp_path, "\n".join(lines) + "\n"))
    solution = velkor.invert(faults, angle_step_degrees=5.0, phi_step=0.1)
    assert solution.mean_misfit_degrees < 3.0
    assert solution.regime == "SS"
    assert solution.shmax_azimuth == pytest.approx(20.0, abs=5.0)
