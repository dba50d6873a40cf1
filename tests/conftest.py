import hashlib
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def child_environment(threads: int | None = None, extra_env: dict[str, str] | None = None) -> dict[str, str]:
    """The environment of a child interpreter: this one's sys.path and the given pool size."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    env.pop("RAYON_RS_NUM_CPUS", None)
    if threads is None:
        env.pop("RAYON_NUM_THREADS", None)
    else:
        env["RAYON_NUM_THREADS"] = str(threads)
    if extra_env:
        env.update(extra_env)
    return env


def run_child(code: str, threads: int | None = None, extra_env: dict[str, str] | None = None) -> bytes:
    """Runs `code` in a fresh interpreter (same sys.path) and returns its stdout bytes."""
    env = child_environment(threads, extra_env)
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, timeout=600)
    if done.returncode != 0:
        raise AssertionError(f"child failed ({done.returncode}):\n{done.stderr.decode()}")
    return done.stdout


@pytest.fixture
def child():
    return run_child


def build_tool(name: str) -> str | None:
    """A build tool from this interpreter's environment (the test extra installs cmake and ninja there, and a
    virtual environment's bin directory need not be on PATH), else from PATH."""
    beside = pathlib.Path(sys.executable).parent / name
    return str(beside) if beside.is_file() else shutil.which(name)


class CoreChecks:
    """The check programs of tests/core, built by CMake with the core exactly as the module links it."""

    def __init__(self, folder: pathlib.Path):
        self.folder = folder

    def run(self, program: str, *arguments: str) -> str:
        """The program's standard output; it must exit cleanly."""
        done = subprocess.run([str(self.folder / "tests" / "core" / program), *arguments], capture_output=True,
                              text=True, timeout=600)
        assert done.returncode == 0, f"{program} failed ({done.returncode}):\n{done.stderr}"
        return done.stdout

    def run_both_widths(self, program: str) -> list[str]:
        """The outputs of a program that runs the vector loops four lanes wide where the processor allows it,
        and again at the baseline width, each without its first line, which names the width that ran."""
        outputs = []
        for arguments, expected in (((), self.widest_lanes()), (("--baseline-lanes",), {"baseline"})):
            first, _, rest = self.run(program, *arguments).partition("\n")
            assert first.removeprefix("lanes ") in expected, first
            outputs.append(rest)
        return outputs

    @staticmethod
    def widest_lanes() -> set[str]:
        try:
            flags = pathlib.Path("/proc/cpuinfo").read_text().split()
        except OSError:
            return {"wide", "baseline"}
        return {"wide"} if "avx2" in flags else {"baseline"}


@pytest.fixture(scope="session")
def core_checks(tmp_path_factory) -> CoreChecks:
    """Builds the core and its check programs once per session (CMake option VELKOR_CORE_CHECKS, without the
    module). VELKOR_CORE_CHECKS_BUILD names a directory that keeps the build between sessions, so that later
    runs only rebuild what changed."""
    cmake, compiler = build_tool("cmake"), shutil.which("g++") or shutil.which("c++")
    if cmake is None or compiler is None or not (ROOT / "tests" / "core" / "CMakeLists.txt").is_file():
        pytest.skip("needs CMake, a C++ compiler and the source tree")
    version = subprocess.run([cmake, "--version"], capture_output=True, text=True, check=True).stdout
    ninja = build_tool("ninja")
    generator = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"] if ninja else []
    configure = [cmake, "-S", str(ROOT), *generator, "-DCMAKE_BUILD_TYPE=Release", "-DVELKOR_MODULE=OFF",
                 "-DVELKOR_CORE_CHECKS=ON", "-B"]
    kept = os.environ.get("VELKOR_CORE_CHECKS_BUILD")
    if kept:
        # A build tree belongs to the CMake version and generator that configured it.
        key = hashlib.sha256(f"{version}{bool(ninja)}{ROOT}".encode()).hexdigest()[:12]
        folder = pathlib.Path(kept) / key
        if subprocess.run([*configure, str(folder)], capture_output=True).returncode != 0:
            shutil.rmtree(folder, ignore_errors=True)  # configured by another CMake: start afresh
    else:
        folder = tmp_path_factory.mktemp("core-checks")
    for step in ([*configure, str(folder)], [cmake, "--build", str(folder), "--parallel", str(os.cpu_count() or 2)]):
        done = subprocess.run(step, capture_output=True, text=True)
        assert done.returncode == 0, f"{' '.join(step)} failed:\n{done.stdout}\n{done.stderr}"
    return CoreChecks(folder)
