import os
import subprocess
import sys

import pytest


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
