"""How much parallel speedup this machine can give right now.

Two child processes each spin a fixed pure-Python loop, first one alone and
then two at once; the ratio of the work rates is the speedup that two
threads could reach at best while other programs share the cores. Printed
beside a scaling figure, it tells a slow program from a busy machine.
"""

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
