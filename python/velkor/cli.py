"""The `velkor` command line.

Each subcommand is a pair of functions: one that adds its arguments to the
parser, one that runs it and returns the exit status. `COMMANDS` lists them;
`main` dispatches. Every failure a user can cause ends in one line on
standard error and a non-zero status, never a traceback (set
``VELKOR_TRACEBACK=1`` to see one); Ctrl-C ends with status 130.

Examples
--------
::

    velkor invert faults.csv --json solution.json --plot stereonet.png
    velkor trace dem.tif --point 1200 4800 340 --dip-direction 270 --dip 30 --out trace.geojson
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import IO, Any

__all__ = ["main", "COMMANDS"]

# Forward solutions per second the inversion sustains on one core on ordinary data:
# only used to say beforehand that a search will take a while.
_FORWARD_SOLUTIONS_PER_SECOND = 2.0e7
_ANNOUNCE_AFTER_SECONDS = 5.0


class CommandError(Exception):
    """A failure to report as one line, with the exit status to end with."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


@contextmanager
def atomic_output(path: str, mode: str = "w") -> Iterator[IO[Any]]:
    """Write `path` through a temporary file in the same folder, renamed into place on success.

    A failed or interrupted run leaves any earlier file of that name as it was
    and no half-written one.
    """
    check_output(path)
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix=".velkor-", suffix=os.path.splitext(path)[1], dir=folder)
    try:
        with os.fdopen(handle, mode) as stream:
            yield stream
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def check_output(path: str | None) -> None:
    """Refuse an output file whose folder does not exist, before any work is done."""
    if path is None or path == "-":
        return
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise CommandError(f"cannot write {path}: folder {folder} does not exist")


def _save_figure(axes: Any, path: str) -> None:
    figure = axes.figure
    with atomic_output(path, "wb") as stream:
        figure.savefig(stream, format="png", dpi=150, bbox_inches="tight")
    pyplot = sys.modules.get("matplotlib.pyplot")
    if pyplot is not None:  # a figure pyplot created stays registered until closed
        pyplot.close(figure)


def _write_json(document: Any, path: str) -> None:
    text = json.dumps(document, indent=2, allow_nan=False) + "\n"
    if path == "-":
        sys.stdout.write(text)
        return
    with atomic_output(path) as stream:
        stream.write(text)


# --------------------------------------------------------------------------- invert

def _add_invert(commands: Any) -> None:
    parser = commands.add_parser(
        "invert", help="find the stress tensor that best explains a fault-slip table",
        description="Read a fault-slip table (CSV in any notation velkor.read_faults knows), run the "
                    "exhaustive stress inversion and print the best tensor.")
    parser.add_argument("file", metavar="FILE", help="CSV table of faults")
    parser.add_argument("--angle-step", type=float, default=10.0, metavar="A",
                        help="orientation step of the search, degrees (default 10)")
    parser.add_argument("--phi-step", type=float, default=0.1, metavar="F",
                        help="shape-ratio step of the search (default 0.1)")
    parser.add_argument("--json", metavar="OUT", help="write the solution as JSON to OUT ('-' for standard output)")
    parser.add_argument("--plot", metavar="PNG", help="draw the stereonet of faults and axes to PNG")


def _run_invert(arguments: argparse.Namespace) -> int:
    import velkor

    check_output(arguments.json)
    check_output(arguments.plot)
    faults = velkor.read_faults(arguments.file)
    if len(faults) == 0:
        raise CommandError(f"{arguments.file} holds no faults")
    candidates = velkor.kernels.inversion_candidate_count(arguments.angle_step, arguments.phi_step)
    seconds = candidates * len(faults) / _FORWARD_SOLUTIONS_PER_SECOND
    if seconds > _ANNOUNCE_AFTER_SECONDS:
        print(f"searching {candidates} candidate tensors on {len(faults)} faults; this may take "
              f"{_duration(seconds)} (Ctrl-C stops it)", file=sys.stderr)
    solution = velkor.invert(faults, arguments.angle_step, arguments.phi_step)
    if arguments.json != "-":
        print(f"{len(faults)} faults read from {arguments.file}")
        print(solution.summary())
    if arguments.json:
        _write_json(solution.to_dict(), arguments.json)
    if arguments.plot:
        from velkor import plot

        _save_figure(plot.stereonet(solution, faults=faults), arguments.plot)
    return 0


def _duration(seconds: float) -> str:
    if seconds < 120:
        return f"about {seconds:.0f} s"
    if seconds < 7200:
        return f"about {seconds / 60:.0f} min"
    return f"about {seconds / 3600:.1f} h"


# --------------------------------------------------------------------------- trace

def _add_trace(commands: Any) -> None:
    parser = commands.add_parser(
        "trace", help="trace a plane (e.g. bedding) on a DEM and write it as GeoJSON",
        description="Intersect the plane through a point with the given dip direction and dip with a DEM "
                    "(any raster rasterio reads) and write the trace lines as a GeoJSON FeatureCollection.")
    parser.add_argument("dem", metavar="DEM", help="elevation raster, e.g. a GeoTIFF")
    parser.add_argument("--point", type=float, nargs=3, required=True, metavar=("X", "Y", "Z"),
                        help="a point of the plane, in the DEM's coordinates")
    parser.add_argument("--dip-direction", type=float, required=True, metavar="A", help="degrees")
    parser.add_argument("--dip", type=float, required=True, metavar="D", help="degrees")
    parser.add_argument("--out", required=True, metavar="FILE.geojson", help="where to write the traces")
    parser.add_argument("--plot", metavar="PNG", help="draw the traces over a hillshade to PNG")


def _run_trace(arguments: argparse.Namespace) -> int:
    import velkor

    check_output(arguments.out)
    check_output(arguments.plot)
    dem = velkor.read_dem(arguments.dem)
    polylines = velkor.plane_trace(dem, tuple(arguments.point), arguments.dip_direction, arguments.dip)
    _write_json(velkor.to_geojson(polylines, crs=dem.crs), arguments.out)
    vertices = sum(len(line) for line in polylines)
    print(f"{len(polylines)} trace lines, {vertices} vertices, written to {arguments.out}")
    if arguments.plot:
        from velkor import plot

        _save_figure(plot.trace_map(dem, polylines), arguments.plot)
    return 0


# --------------------------------------------------------------------------- field

def _add_field(commands: Any) -> None:
    parser = commands.add_parser(
        "field", help="a stress tensor at every node of a grid over located faults, resumable",
        description="Read a fault-slip table with x, y[, z] columns, invert the faults around every node of "
                    "the grid that covers them and write the field as Zarr (FILE.zarr, kept slab by slab: "
                    "after Ctrl-C or a crash the same command resumes it) or NetCDF (FILE.nc, written when "
                    "the field is complete; until then the slabs wait beside it in FILE.nc.partial.zarr).")
    parser.add_argument("file", metavar="FILE", help="CSV table of faults with x, y[, z] columns")
    parser.add_argument("--spacing", type=float, nargs="+", required=True, metavar="S",
                        help="node spacing, one value or one per axis, map units")
    parser.add_argument("--bandwidth", type=float, nargs="+", required=True, metavar="B",
                        help="kernel bandwidth, one value or one per axis, map units")
    parser.add_argument("--out", required=True, metavar="FILE.zarr|FILE.nc", help="where to write the field")
    parser.add_argument("--margin", type=float, default=0.0, metavar="M",
                        help="room around the faults, map units (default 0)")
    parser.add_argument("--kernel", default="quartic", choices=["quartic", "gaussian", "truncated_gaussian"])
    parser.add_argument("--min-support", type=float, default=10.0, metavar="N",
                        help="effective number of faults a node needs for a tensor (default 10)")
    parser.add_argument("--angle-step", type=float, default=10.0, metavar="A",
                        help="orientation step of the search, degrees (default 10)")
    parser.add_argument("--phi-step", type=float, default=0.1, metavar="F",
                        help="shape-ratio step of the search (default 0.1)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="run on this Dask scheduler (e.g. tcp://10.0.0.5:8786)")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")


def _one_or_all(values: list[float]) -> float | list[float]:
    return values[0] if len(values) == 1 else values


def _run_field(arguments: argparse.Namespace) -> int:
    import warnings

    import velkor
    from velkor._optional import require
    from velkor._store import slabs_kept

    out = arguments.out.rstrip("/" + os.sep)
    if not out.endswith((".zarr", ".nc")):
        raise CommandError(f"--out {arguments.out}: give a FILE.zarr (resumable store) or a FILE.nc (NetCDF)")
    store = out if out.endswith(".zarr") else out + ".partial.zarr"
    if out.endswith(".nc"):
        require("netCDF4", "velkor field --out FILE.nc")  # before hours of work, not after
    folder = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(folder):
        raise CommandError(f"cannot write {out}: folder {folder} does not exist")
    faults = velkor.read_faults(arguments.file)
    if faults.positions is None:
        raise CommandError(f"{arguments.file} has no x, y columns: a field needs where each fault was measured")
    if faults.weights is not None:
        raise CommandError(f"{arguments.file} has a weight column, which a field does not use (every node weighs "
                           "the faults by their distance): remove the column")
    client = None
    if arguments.scheduler:
        distributed = require("distributed", "velkor field --scheduler")
        try:
            client = distributed.Client(arguments.scheduler, timeout="10s")
        except (OSError, TimeoutError) as error:
            raise CommandError(f"could not reach the Dask scheduler at {arguments.scheduler}: {error}") from None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("always", velkor.FieldCostWarning)
            warnings.showwarning = _show_cost_warning
            field = velkor.stress_field(
                faults, _one_or_all(arguments.spacing), _one_or_all(arguments.bandwidth), margin=arguments.margin,
                kernel=arguments.kernel, min_support=arguments.min_support,
                angle_step_degrees=arguments.angle_step, phi_step=arguments.phi_step,
                progress=not arguments.no_progress, client=client, store=store)
    except KeyboardInterrupt:
        kept, total = slabs_kept(store)
        if total:
            print(f"velkor field: interrupted; {kept} of {total} slabs are kept in {store}: run the same "
                  "command again to resume", file=sys.stderr)
        else:
            print("velkor field: interrupted before the field was started; nothing was written", file=sys.stderr)
        return 130
    finally:
        if client is not None:
            client.close()
    if out.endswith(".nc"):
        _write_netcdf(field, out)
        import shutil

        shutil.rmtree(store, ignore_errors=True)
    attrs = field.attrs
    print(f"{attrs['nodes']} nodes ({attrs['nodes_inverted']} with a tensor, {attrs['nodes_below_threshold']} "
          f"below the support threshold, {attrs['nodes_without_data']} without data) written to {out}")
    return 0


def _write_netcdf(field: Any, path: str) -> None:
    """NetCDF-4 through a temporary file beside `path`, renamed into place once complete."""
    handle, temporary = tempfile.mkstemp(prefix=".velkor-", suffix=".nc", dir=os.path.dirname(os.path.abspath(path)))
    os.close(handle)
    try:
        field.to_netcdf(temporary, engine="netcdf4")
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def _show_cost_warning(message: Any, category: Any, filename: str, lineno: int, file: Any = None,
                       line: Any = None) -> None:
    print(f"velkor field: {_one_line(message)}", file=sys.stderr)


# --------------------------------------------------------------------------- dispatch

Command = tuple[Callable[[Any], None], Callable[[argparse.Namespace], int]]
COMMANDS: dict[str, Command] = {
    "invert": (_add_invert, _run_invert),
    "trace": (_add_trace, _run_trace),
    "field": (_add_field, _run_field),
}


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of every subcommand."""
    from velkor import __version__

    parser = argparse.ArgumentParser(prog="velkor", description="Structural geology from field data: stress "
                                     "inversion, fields and traces on topography.")
    parser.add_argument("--version", action="version", version=f"velkor {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    for add, _ in COMMANDS.values():
        add(commands)
    return parser


def _one_line(error: BaseException) -> str:
    text = " ".join(str(error).split()) or type(error).__name__
    return text


def main(argv: list[str] | None = None) -> int:
    """Run the command line and return its exit status.

    Parameters
    ----------
    argv : list of str, optional
        Arguments after the program name; `sys.argv[1:]` by default.

    Returns
    -------
    int
        0 on success, 1 on an error, 2 on bad usage, 130 on Ctrl-C.

    Examples
    --------
    >>> main(["--version"])  # doctest: +SKIP
    velkor 0.2.0
    """
    parser = build_parser()
    arguments = parser.parse_args(argv)
    if arguments.command is None:
        parser.print_help(sys.stderr)
        return 2
    run = COMMANDS[arguments.command][1]
    try:
        return run(arguments)
    except KeyboardInterrupt:
        print(f"velkor {arguments.command}: interrupted", file=sys.stderr)
        return 130
    except CommandError as error:
        print(f"velkor {arguments.command}: error: {_one_line(error)}", file=sys.stderr)
        return error.status
    except (ValueError, TypeError, OSError, ImportError, OverflowError, MemoryError) as error:
        if os.environ.get("VELKOR_TRACEBACK"):
            raise
        print(f"velkor {arguments.command}: error: {_one_line(error)}", file=sys.stderr)
        return 1
    except (SystemExit, GeneratorExit):
        raise
    except BaseException as error:  # a fault of ours (PanicException too): one line, and a way to see more
        if os.environ.get("VELKOR_TRACEBACK"):
            raise
        print(f"velkor {arguments.command}: internal error: {type(error).__name__}: {_one_line(error)} "
              "(set VELKOR_TRACEBACK=1 to see where)", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
