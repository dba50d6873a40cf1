"""How much parallel speedup this machine can give right now.

Two child processes each spin a fixed pure-Python loop, first one alone and
then two at once; the ratio of the work rates is the speedup that two
threads could reach at best while other programs share the cores. Printed
beside a scaling figure, it tells a slow program from a busy machine.
"""

import json
import os
import subprocess
import sys
import time

SPIN = "n = 0\nfor i in range(12_000_000):\n    n += i\n"


def _spin(count):
    start = time.perf_counter()
    children = [subprocess.Popen([sys.executable, "-c", SPIN]) for _ in range(count)]
    for child in children:
        child.wait()
    return time.perf_counter() - start


def available_speedup(rounds=2):
    one = min(_spin(1) for _ in range(rounds))
    two = min(_spin(2) for _ in range(rounds))
    return 2.0 * one / two


def run_with_threads(code, cfg, threads):
    """Runs `code` in a child interpreter with a pool of `threads` workers; the child reads `cfg` as JSON
    from argv[1] and prints one JSON object, which is returned."""
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    env.pop("RAYON_RS_NUM_CPUS", None)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    out = subprocess.run([sys.executable, "-c", code, json.dumps(cfg)], env=env, check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def best_of_rounds(code, cfg, rounds):
    """Alternates 1- and 2-thread children and keeps each one's best run, so that a burst of load from
    other processes does not land on one side only. Each run is a dict with a "seconds" entry (its best)
    and, where the child times several runs, a "runs" entry; the dict returned for each side has "runs"
    holding the seconds of every run of every round."""
    best, runs = {}, {1: [], 2: []}
    for _ in range(rounds):
        for threads in (1, 2):
            run = run_with_threads(code, cfg, threads)
            runs[threads] += run.get("runs", [run["seconds"]])
            if threads not in best or run["seconds"] < best[threads]["seconds"]:
                best[threads] = run
    return ({**best[1], "runs": runs[1]}, {**best[2], "runs": runs[2]})
