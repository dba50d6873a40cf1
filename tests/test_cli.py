"""The `velkor` command line as a user meets it: summaries, files written whole, one-line errors."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

import velkor
from velkor.cli import main

FIELD_BOOK = velkor.sample_data("faults_fieldbook.csv")


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def test_invert_prints_a_summary_and_writes_the_solution(tmp_path, capsys):
    path = tmp_path / "east.csv"
    lines = FIELD_BOOK.read_text().splitlines()
    header = next(i for i, line in enumerate(lines) if not line.startswith("#"))
    rows = [line for line in lines[header + 1:] if float(line.split(",")[-2]) >= 10.0]
    path.write_text("\n".join([lines[header], *rows]) + "\n")
    out_json = tmp_path / "solution.json"
    status, out, err = run(capsys, "invert", path, "--json", out_json)
    assert status == 0 and err == ""
    assert out.splitlines()[0] == f"{len(rows)} faults read from {path}"
    assert "regime SS  SHmax 30.0" in out
    document = json.loads(out_json.read_text())
    assert list(document)[:9] == ["s1", "s2", "s3", "phi", "r_prime", "regime", "shmax_azimuth",
                                  "mean_misfit_degrees", "faults_scored"]
    expected = velkor.invert(velkor.read_faults(path)).to_dict()
    assert document == json.loads(json.dumps(expected))
    assert [name for name in os.listdir(tmp_path) if name.startswith(".velkor-")] == []


def test_invert_json_to_standard_output_and_a_stereonet(tmp_path, capsys):
    pytest.importorskip("mplstereonet")
    png = tmp_path / "net.png"
    status, out, err = run(capsys, "invert", FIELD_BOOK, "--angle-step", 20, "--phi-step", 0.25, "--json", "-",
                           "--plot", png)
    assert status == 0, err
    document = json.loads(out)
    assert document["candidates_tried"] == velkor.kernels.inversion_candidate_count(20.0, 0.25)
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_trace_writes_geojson_of_the_plane_trace(tmp_path, capsys):
    pytest.importorskip("rasterio")
    out_file = tmp_path / "trace.geojson"
    status, out, err = run(capsys, "trace", velkor.sample_data("dem.tif"), "--point", 501800, 4648200, 720,
                           "--dip-direction", 110, "--dip", 25, "--out", out_file)
    assert status == 0, err
    document = json.loads(out_file.read_text())
    dem = velkor.read_dem(velkor.sample_data("dem.tif"))
    traces = velkor.plane_trace(dem, (501800.0, 4648200.0, 720.0), 110.0, 25.0)
    assert document == json.loads(json.dumps(velkor.to_geojson(traces, crs=dem.crs)))
    assert out == f"{len(traces)} trace lines, {sum(len(t) for t in traces)} vertices, written to {out_file}\n"


@pytest.mark.parametrize("argv, message", [
    (["invert", "missing.csv"], "velkor invert: error: could not read missing.csv: No such file or directory"),
    (["invert", "{table}", "--angle-step", "0"],
     "velkor invert: error: angle_step_degrees and phi_step must be positive finite numbers"),
    (["invert", "{bad}"], "velkor invert: error: {bad}, line 3: column 'dip' holds 'steep', not a number"),
    (["invert", "{empty}"], "velkor invert: error: {empty} holds no faults"),
    (["invert", "{table}", "--json", "{nowhere}/out.json"], "velkor invert: error: cannot write {nowhere}/out.json: "
                                                             "folder {nowhere} does not exist"),
    (["trace", "{table}", "--point", "0", "0", "0", "--dip-direction", "0", "--dip", "10", "--out", "t.geojson"],
     "velkor trace: error: could not read the DEM {table}"),
])
def test_errors_are_one_line_with_a_non_zero_status(tmp_path, capsys, monkeypatch, argv, message):
    monkeypatch.chdir(tmp_path)
    names = {"table": tmp_path / "ok.csv", "bad": tmp_path / "bad.csv", "empty": tmp_path / "empty.csv",
             "nowhere": tmp_path / "no" / "such"}
    names["table"].write_text("strike,dip,rake\n0,60,-90\n90,50,-90\n")
    names["bad"].write_text("strike,dip,rake\n0,60,-90\n90,steep,-90\n")
    names["empty"].write_text("strike,dip,rake\n")
    status, out, err = run(capsys, *[a.format(**names) for a in argv])
    assert status == 1 and out == ""
    assert err.startswith(message.format(**names)) and err.count("\n") == 1, err


def test_the_console_script_never_shows_a_traceback(tmp_path):
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    environment.pop("VELKOR_TRACEBACK", None)
    done = subprocess.run([sys.executable, "-m", "velkor", "invert", str(tmp_path / "none.csv")],
                          capture_output=True, text=True, env=environment, timeout=120)
    assert done.returncode == 1 and "Traceback" not in done.stderr
    usage = subprocess.run([sys.executable, "-m", "velkor"], capture_output=True, text=True, env=environment,
                           timeout=120)
    assert usage.returncode == 2 and "invert" in usage.stderr and "trace" in usage.stderr
    version = subprocess.run([sys.executable, "-m", "velkor", "--version"], capture_output=True, text=True,
                             env=environment, timeout=120)
    assert version.stdout == f"velkor {velkor.__version__}\n"


def test_an_announced_long_search(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr("velkor.cli._FORWARD_SOLUTIONS_PER_SECOND", 1.0)
    status, out, err = run(capsys, "invert", FIELD_BOOK, "--angle-step", 45, "--phi-step", 0.5)
    count = velkor.kernels.inversion_candidate_count(45.0, 0.5)
    assert status == 0
    assert err.startswith(f"searching {count} candidate tensors on 120 faults; this may take about ")
    assert np.isfinite(float(out.split("mean misfit ")[1].split()[0]))
