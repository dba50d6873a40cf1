"""The `velkor` command line (filled in below)."""

from __future__ import annotations

import sys


def main(argv: list[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    print("velkor: the command line is not built yet", file=sys.stderr)
    return 2
