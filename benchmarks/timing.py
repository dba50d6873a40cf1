"""The one timing helper and command line of the benchmark scripts.

A measurement runs its call `repeats` times and keeps the seconds of every run. A comparison prints two
ratios: of the fastest runs and of the median runs; on a shared machine a burst of load widens the gap
between them instead of passing unseen. Every script takes --quick (smaller inputs, for a smoke run) and
--repeats N (runs per measurement), and may add options of its own.
"""

from __future__ import annotations

import argparse
import statistics
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any


@dataclass(frozen=True)
class Timing:
    """The seconds of each run of one measurement, and what the last run returned."""

    runs: tuple[float, ...]
    result: Any = None

    @property
    def fastest(self) -> float:
        return min(self.runs)

    @property
    def median(self) -> float:
        return statistics.median(self.runs)

    def rate(self, work: float) -> float:
        """Work per second in the fastest run."""
        return work / self.fastest


def measure(function: Callable[[], Any], repeats: int) -> Timing:
    runs, result = [], None
    for _ in range(max(1, repeats)):
        start = time.perf_counter()
        result = function()
        runs.append(time.perf_counter() - start)
    return Timing(tuple(runs), result)


def from_runs(runs: Iterable[float]) -> Timing:
    """A measurement made elsewhere (a child interpreter), from the seconds of its runs."""
    return Timing(tuple(runs))


def ratio(ours: Timing, peer: Timing, our_work: float = 1.0, peer_work: float = 1.0) -> str:
    """How many times more work per second ours does than the peer: fastest runs, then median runs."""
    fastest = (our_work / ours.fastest) / (peer_work / peer.fastest)
    median = (our_work / ours.median) / (peer_work / peer.median)
    return f"{fastest:,.1f}x (median {median:,.1f}x)"


def arguments(description: str | None, repeats: int = 3) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description=description, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller inputs, for a smoke run")
    parser.add_argument("--repeats", type=int, default=repeats,
                        help="runs per measurement; ratios of the fastest and of the median runs are printed")
    return parser
