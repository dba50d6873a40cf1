"""A stress field kept in a Zarr store, slab by slab, so a long run can be resumed.

Layout (Zarr format 2, which every Zarr library reads, also where
zarr-python 2 is all there is): the Dataset's variables over the whole grid,
chunked one slab per chunk along the first (slowest) dim, so that no two
slabs ever share a chunk; the run record, every argument that decides the
bytes, in the root attributes under ``velkor_run``; and a completion record
per slab in ``velkor_slabs/stats`` (its four node counts), written only after
the slab's data. A run stopped anywhere, even between a slab's data and its
record, leaves a store whose recorded slabs are complete; a rerun recomputes
the rest. ``xarray.open_zarr`` reads the store as it is; `open_field` gives
the finished Dataset exactly as `velkor.stress_field` returns it.
"""

from __future__ import annotations

import os
from collections.abc import Mapping, MutableMapping
from typing import Any

import numpy as np

from ._optional import require
from ._slabs import STATS, VARIABLES, FieldRun, build_dataset

RUN_KEY = "velkor_run"
RECORDS = "velkor_slabs"
STORE_FORMAT = 1
_ATTR_ORDER = (*STATS, "grid_origin", "grid_spacing", "grid_counts", "kernel", "bandwidth", "truncation",
               "min_support", "angle_step_degrees", "phi_step")


def describe(store: Any) -> str:
    """How a store is named in messages: its path, or its type."""
    if isinstance(store, (str, os.PathLike)):
        return os.fspath(store)
    return f"<{type(store).__name__}>"


def _zarr_major() -> int:
    zarr = require("zarr", "a field store")
    return int(str(zarr.__version__).split(".")[0])


def _format_kwargs() -> dict[str, Any]:
    return {"zarr_format": 2} if _zarr_major() >= 3 else {}


def _store_state(store: Any) -> str:
    """"new" (nothing there yet), "zarr" (something to open) or a refusal message."""
    if isinstance(store, (str, os.PathLike)):
        path = os.fspath(store)
        if not os.path.exists(path):
            return "new"
        if not os.path.isdir(path):
            return f"store {path} is a file, not a Zarr store (a folder): give a new path"
        entries = os.listdir(path)
        if not entries:
            return "new"
        if ".zgroup" in entries or "zarr.json" in entries:
            return "zarr"
        return f"store {path} is a folder with other files in it, not a Zarr store: give a new or empty path"
    if isinstance(store, Mapping):
        return "zarr" if len(store) else "new"
    zarr = require("zarr", "a field store")
    try:  # another kind of Zarr store: holds a group, or is new
        zarr.open_group(store, mode="r", **_format_kwargs())
    except Exception:  # each zarr version and store says "nothing here" its own way
        return "new"
    return "zarr"


def _record(run: FieldRun, version: str) -> dict[str, Any]:
    return {"format": STORE_FORMAT, "velkor_version": version, "faults": run.fingerprint(),
            "grid_origin": list(run.grid.origin), "grid_spacing": list(run.grid.spacing),
            "grid_counts": list(run.grid.counts), **run.parameters()}


def _same(old: Any, new: Any) -> bool:
    if isinstance(new, list):
        return isinstance(old, list) and len(old) == len(new) and all(_same(a, b) for a, b in zip(old, new))
    return bool(old == new)


def _mismatch(store: Any, old: Mapping[str, Any], new: Mapping[str, Any], kernel: str) -> str | None:
    """The first argument on which a store's run differs from this one, as the refusal to give."""
    name = describe(store)
    resume = "rerun with the arguments it was written with to resume it, or give a new store"
    if old.get("format") != STORE_FORMAT:
        return f"store {name} was written in another velkor field format ({old.get('format')!r}): give a new store"
    if old.get("velkor_version") != new["velkor_version"]:
        return (f"store {name} was written by velkor {old.get('velkor_version')}, this is velkor "
                f"{new['velkor_version']}: finish it with that version, or give a new store")
    if old.get("faults") != new["faults"]:
        return (f"store {name} was written for other fault data (positions, faults or senses differ from this "
                f"run's): {resume}")
    for key in ("grid_origin", "grid_spacing", "grid_counts", "bandwidth", "kernel", "truncation", "min_support",
                "angle_step_degrees", "phi_step"):
        if key == "truncation" and kernel != "truncated_gaussian":
            continue  # only the truncated Gaussian reads it
        if not _same(old.get(key), new[key]):
            what = key.replace("grid_", "grid ") if key.startswith("grid_") else key
            return f"store {name} was written with {what}={old.get(key)!r}, this run asks {new[key]!r}: {resume}"
    return None


class FieldStore:
    """A Zarr store that holds one stress field, slab by slab.

    Open it with `FieldStore.open`, which creates it or checks that it was
    written by the same run; `done` says which slabs are recorded.
    """

    def __init__(self, store: Any, group: Any, run: FieldRun) -> None:
        self.store = store
        self.group = group
        self.run = run
        counts = np.asarray(group[f"{RECORDS}/stats"][...], dtype=np.int64)
        self.counts = counts
        self.done = counts[:, 0] == run.slab_nodes

    @classmethod
    def open(cls, store: Any, run: FieldRun, version: str) -> FieldStore:
        """Create the store for `run`, or open it and check it was written for the same run."""
        zarr = require("zarr", "velkor.stress_field with a store")
        if isinstance(store, (bytes, Mapping)) and not isinstance(store, MutableMapping):
            raise TypeError(f"store must be a path, a mutable mapping or a Zarr store, got {type(store).__name__}")
        target = os.fspath(store) if isinstance(store, os.PathLike) else store
        state = _store_state(target)
        record = _record(run, version)
        if state == "new":
            cls._create(target, run, record)
        elif state != "zarr":
            raise ValueError(state)
        try:
            group = zarr.open_group(target, mode="r+", **_format_kwargs())
        except Exception as error:  # what a store that is not a Zarr group raises differs by zarr version
            raise ValueError(f"store {describe(store)} could not be opened as a Zarr group: {error}") from None
        old = group.attrs.get(RUN_KEY)
        if not isinstance(old, Mapping):
            raise ValueError(f"store {describe(store)} holds a Zarr group that no velkor stress field wrote: "
                             "give a new store")
        refusal = _mismatch(store, old, record, run.kernel)
        if refusal is not None:
            raise ValueError(refusal)
        names = set(group.array_keys())
        absent = [name for name, _dtype, _fill in VARIABLES if name not in names]
        if absent or RECORDS not in set(group.group_keys()):
            raise ValueError(f"store {describe(store)} lacks {', '.join(absent) or RECORDS}: it is damaged, "
                             "give a new store")
        return cls(target, group, run)

    @staticmethod
    def _create(store: Any, run: FieldRun, record: dict[str, Any]) -> None:
        da = require("dask.array", "velkor.stress_field with a store")
        zarr = require("zarr", "velkor.stress_field with a store")
        shape, chunks = run.grid.shape, run.slab_shape
        template = {name: da.full(shape, fill, dtype=dtype, chunks=chunks) for name, dtype, fill in VARIABLES}
        dataset = build_dataset(run, template, {RUN_KEY: record})
        encoding = {name: {"_FillValue": fill} for name, dtype, fill in VARIABLES if dtype == "float64"}
        dataset.to_zarr(store, mode="w-", compute=False, consolidated=False, encoding=encoding,
                        **_format_kwargs())
        group = zarr.open_group(store, mode="r+", **_format_kwargs())
        records = group.create_group(RECORDS)
        # zarr 3's Group.full writes format-3 metadata whatever the group's format; create_array keeps it.
        create = records.create_array if hasattr(records, "create_array") else records.full
        create(name="stats", shape=(run.slab_count, len(STATS)), chunks=(1, len(STATS)), dtype="int64",
               fill_value=-1)
        zarr.consolidate_metadata(store, **_format_kwargs())

    def write_slab(self, k: int, variables: Mapping[str, Any], counts: list[int]) -> None:
        """Slab k's data into its own chunks, then its completion record."""
        for name, _dtype, _fill in VARIABLES:
            self.group[name][k:k + 1] = variables[name]
        self.group[f"{RECORDS}/stats"][k:k + 1] = np.asarray([counts], dtype=np.int64)
        self.counts[k] = counts
        self.done[k] = True

    def totals(self) -> list[int]:
        return [int(total) for total in self.counts.sum(axis=0)]

    def finish(self, attrs: Mapping[str, Any]) -> None:
        """Put the whole grid's stats and arguments in the root attributes, beside the run record."""
        zarr = require("zarr", "velkor.stress_field with a store")
        self.group.attrs.update(dict(attrs))
        zarr.consolidate_metadata(self.store, **_format_kwargs())


def open_field(store: Any) -> Any:
    """The stress field of a finished store, as `velkor.stress_field` returned it.

    Parameters
    ----------
    store : str, os.PathLike, mapping or Zarr store
        A store that `velkor.stress_field` (or ``velkor field ... --out
        FILE.zarr``) wrote.

    Returns
    -------
    xarray.Dataset
        In memory, with the variables, coordinates and attributes of the
        Dataset the run returned, byte for byte.

    Raises
    ------
    ValueError
        When the store is not a velkor stress field, or is not finished (the
        message says how many slabs are missing: rerun the same call to
        finish it).

    Examples
    --------
    >>> import velkor  # doctest: +SKIP
    >>> field = velkor.open_field("field.zarr")  # doctest: +SKIP
    """
    xr = require("xarray", "velkor.open_field")
    zarr = require("zarr", "velkor.open_field")
    target = os.fspath(store) if isinstance(store, os.PathLike) else store
    if _store_state(target) != "zarr":
        raise ValueError(f"store {describe(store)} holds no velkor stress field")
    group = zarr.open_group(target, mode="r", **_format_kwargs())
    if not isinstance(group.attrs.get(RUN_KEY), Mapping):
        raise ValueError(f"store {describe(store)} holds a Zarr group that no velkor stress field wrote")
    counts = np.asarray(group[f"{RECORDS}/stats"][...])
    slab_nodes = int(np.prod(group["density"].shape[1:]))
    missing = int((counts[:, 0] != slab_nodes).sum())
    if missing or any(key not in group.attrs for key in STATS):
        raise ValueError(f"store {describe(store)} is not finished: {missing} of {counts.shape[0]} slabs are "
                         "missing; rerun the call that wrote it to compute them")
    return read_dataset(xr, target, group)


def slabs_kept(store: Any) -> tuple[int, int]:
    """How many slabs a store holds, of how many (0 of 0 where there is no store yet)."""
    zarr = require("zarr", "a field store")
    target = os.fspath(store) if isinstance(store, os.PathLike) else store
    if _store_state(target) != "zarr":
        return 0, 0
    group = zarr.open_group(target, mode="r", **_format_kwargs())
    counts = np.asarray(group[f"{RECORDS}/stats"][...])
    slab_nodes = int(np.prod(group["density"].shape[1:]))
    return int((counts[:, 0] == slab_nodes).sum()), int(counts.shape[0])


def read_dataset(xr: Any, store: Any, group: Any) -> Any:
    """The Dataset in a store, variables and attributes in their canonical order, loaded."""
    stored = xr.open_zarr(store, consolidated=True, chunks=None).load()
    attrs = {key: _plain(group.attrs[key]) for key in _ATTR_ORDER if key in group.attrs}
    return xr.Dataset({name: stored[name] for name, _dtype, _fill in VARIABLES}, coords=stored.coords,
                      attrs=attrs)


def _plain(value: Any) -> Any:
    if isinstance(value, list):
        return [_plain(v) for v in value]
    return value
