"""The result store: a Parquet dataset of committed chunks beside the study's manifest.

Layout of a store directory::

    manifest.json           the study (plain values), its fingerprint, package versions,
                            platform, creation time
    matrix.npy              the game matrix (or the stack) the study ran on
    chunks/chunk-NNNNNN.parquet      one file per committed chunk: one row per run
    histories/chunk-NNNNNN.parquet   single-run studies: the decimated gap history
    .writer.lock            held (flock) by the one run writing the store

A chunk is committed when its ``chunks/`` file exists under its final name. Files are written
under a temporary dot-name, flushed to disk and renamed into place (history first, runs last),
so a killed writer leaves at most a temporary file, which readers never open; resuming a study
does the plan's chunks that have no file. Only the caller of ``run`` writes a store.

What readers get (the lab's table contract):

``load(store) -> pandas.DataFrame``, one row per run, ordered by chunk then index.

- Explorations (``scattered``, ``concentric``) and ``stack`` studies: ``chunk`` int64,
  ``index`` int64 (the run's index within its (dynamic, eta) exploration; for concentric,
  slice * runs_per_slice + run within the slice), ``slice`` int64 (0 unless concentric),
  ``inner``/``outer`` float64 (the run's band; NaN for stack), ``norm`` float64 (the
  perturbation's norm; the max norm for concentric; NaN for stack), ``metric`` float64,
  ``converged`` bool (``metric < study["threshold"]``, 1e-8 unless the study sets another;
  with ``max_last`` this says the gap stayed below the module's convergence threshold over the
  whole tail), ``dynamic`` str, ``eta`` float64.
- ``single`` studies: ``run`` int64, ``dynamic`` str, ``eta`` float64, ``steps`` int64 (steps
  performed), ``converged`` bool (a gap fell strictly below 1e-8), ``final_gap`` float64 (the
  gap of the last performed step), one ``steps_to_<tol>`` column per tolerance, named with
  ``format(tol, "g")`` (e.g. ``steps_to_1e-06``; nullable Int64, the 1-based step whose gap first
  fell strictly below tol, NA if none did), ``distance`` float64 (L1 distance of the strategies
  of the last performed step to the set of equilibria: each player's distance to its optimal
  strategies, added), ``value`` float64 (the game's value, what the row player pays).
- ``df.attrs``: ``study`` (the validated description as a plain dict, with ``kind``,
  ``metric``, ``norm``, ``cutoff``, ``threshold``, ``inner_radius``, ``outer_radius``,
  ``num_slices``, ``num_runs``, ``num_steps``, ``seed``, ``chunk_size``, ``dynamic`` and ``eta``
  as lists, ``shape``, ``matrix_sha256``, ...), ``fingerprint`` str, ``versions`` dict,
  ``platform`` dict, ``created`` and ``updated`` (ISO 8601 UTC strings), ``chunks`` (committed)
  and ``total_chunks`` (planned).

``load_histories(store) -> pandas.DataFrame`` for single-run studies: ``run`` int64, ``step``
int64 (1-based step count), ``gap`` float64 (the gap returned by that step), ``dynamic`` str,
``eta`` float64; ordered by run then step; same attrs.
"""

from __future__ import annotations

import contextlib
import datetime as _dt
import fcntl
import json
import os
import platform as _platform
import re
import sys
import uuid
from importlib import metadata
from pathlib import Path
from typing import Any

import numpy as np

from .errors import StoreError
from .plan import make_plan
from .study import Study, study_from_dict

FORMAT = "ludovec-lab-store"
FORMAT_VERSION = 1
_CHUNK_FILE = re.compile(r"^chunk-(\d{6,})\.parquet$")
_CONSTANT_IN_CHUNK = ("chunk", "slice", "inner", "outer", "dynamic", "eta", "run")

EXPLORATION_COLUMNS = ["chunk", "index", "slice", "inner", "outer", "norm", "metric",
                       "converged", "dynamic", "eta"]
_EXPLORATION_TYPES = {"chunk": "int64", "index": "int64", "slice": "int64", "inner": "float64",
                      "outer": "float64", "norm": "float64", "metric": "float64",
                      "converged": "bool", "dynamic": "object", "eta": "float64"}


def _now() -> str:
    return _dt.datetime.now(_dt.UTC).isoformat(timespec="seconds")


def _versions() -> dict[str, str]:
    out = {"python": sys.version.split()[0]}
    for name in ("ludovec", "numpy", "pandas", "pyarrow", "scipy", "dask", "distributed"):
        try:
            out[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            pass
    return out


def _platform_info() -> dict[str, Any]:
    return {"system": _platform.platform(), "machine": _platform.machine(),
            "processor": _platform.processor(), "cpus": os.cpu_count(),
            "node": _platform.node()}


def _fsync_dir(path: Path) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _atomic_write(path: Path, write) -> None:
    """Writes through ``write(tmp_path)`` to a dot-name beside ``path``, then renames it."""
    tmp = path.with_name(f".tmp-{path.name}-{os.getpid()}-{uuid.uuid4().hex[:8]}")
    try:
        write(tmp)
        fd = os.open(tmp, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(tmp, path)
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise
    _fsync_dir(path.parent)


class Store:
    """An open store of one study. Use ``Store.open(path, study)`` to create or resume it, or
    ``Store.read(path)`` to look at it."""

    def __init__(self, path: Path, manifest: dict[str, Any]):
        self.path = path
        self.manifest = manifest

    # ---- opening ---------------------------------------------------------------------------
    @classmethod
    def read(cls, path: str | Path) -> "Store":
        path = Path(path)
        if not path.is_dir():
            raise StoreError(f"{path}: no such store directory")
        mf = path / "manifest.json"
        if not mf.is_file():
            raise StoreError(f"{path}: not a study store (no manifest.json)")
        try:
            manifest = json.loads(mf.read_text())
        except (OSError, ValueError) as exc:
            raise StoreError(f"{path}: not a study store (unreadable manifest: {exc})") from None
        if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
            raise StoreError(f"{path}: not a study store (manifest of another format)")
        if manifest.get("format_version") != FORMAT_VERSION:
            raise StoreError(f"{path}: store format version {manifest.get('format_version')} "
                             f"is not readable by this version (expects {FORMAT_VERSION})")
        return cls(path, manifest)

    @classmethod
    def open(cls, path: str | Path, study: Study) -> "Store":
        """Creates the store for ``study``, or reopens it when it holds the same study; a
        store of another study is refused, naming the fields that differ."""
        path = Path(path)
        if path.exists() and not path.is_dir():
            raise StoreError(f"{path}: exists and is not a directory")
        if path.is_dir() and (path / "manifest.json").exists():
            store = cls.read(path)
            store._check_same(study)
            return store
        if path.is_dir() and any(p for p in path.iterdir() if not p.name.startswith(".tmp-")):
            raise StoreError(f"{path}: not a study store (a non-empty directory without "
                             "manifest.json); give a new or empty directory")
        path.mkdir(parents=True, exist_ok=True)
        (path / "chunks").mkdir(exist_ok=True)
        if study.kind == "single":
            (path / "histories").mkdir(exist_ok=True)
        _atomic_write(path / "matrix.npy",
                      lambda tmp: np.save(open(tmp, "wb"), np.asarray(study.payoff)))
        manifest = {
            "format": FORMAT, "format_version": FORMAT_VERSION,
            "study": study.to_dict(), "identity": study.identity(),
            "fingerprint": study.fingerprint, "total_chunks": len(make_plan(study)),
            "versions": _versions(), "platform": _platform_info(), "created": _now(),
        }
        # The manifest is written last: a directory without one is not yet a store.
        _atomic_write(path / "manifest.json",
                      lambda tmp: tmp.write_text(json.dumps(manifest, indent=2, allow_nan=True)))
        return cls(path, manifest)

    def _check_same(self, study: Study) -> None:
        mine = self.manifest.get("identity", {})
        theirs = json.loads(json.dumps(study.identity(), allow_nan=True))
        differ = sorted(k for k in set(mine) | set(theirs) if mine.get(k) != theirs.get(k))
        if differ:
            parts = [f"{k} (store: {_short(mine.get(k))}, given: {_short(theirs.get(k))})"
                     for k in differ]
            raise StoreError(f"{self.path}: holds another study; differing fields: "
                             + "; ".join(parts))

    # ---- reading ---------------------------------------------------------------------------
    @property
    def fingerprint(self) -> str:
        return self.manifest["fingerprint"]

    def study(self) -> Study:
        payoff = np.load(self.path / "matrix.npy", allow_pickle=False)
        return study_from_dict(self.manifest["study"], payoff)

    def committed(self) -> set[int]:
        d = self.path / "chunks"
        if not d.is_dir():
            return set()
        return {int(m.group(1)) for p in d.iterdir() if (m := _CHUNK_FILE.match(p.name))}

    def _files(self, folder: str) -> list[Path]:
        d = self.path / folder
        found = [(int(m.group(1)), p) for p in d.iterdir()
                 if (m := _CHUNK_FILE.match(p.name))] if d.is_dir() else []
        if folder == "histories":
            done = self.committed()  # a history whose runs file never landed is not data
            found = [(i, p) for i, p in found if i in done]
        return [p for _, p in sorted(found)]

    def updated(self) -> str:
        files = self._files("chunks")
        if not files:
            return self.manifest["created"]
        latest = max(p.stat().st_mtime for p in files)
        return _dt.datetime.fromtimestamp(latest, _dt.UTC).isoformat(timespec="seconds")

    def attrs(self) -> dict[str, Any]:
        m = self.manifest
        return {"study": m["study"], "fingerprint": m["fingerprint"], "versions": m["versions"],
                "platform": m["platform"], "created": m["created"], "updated": self.updated(),
                "chunks": len(self.committed()), "total_chunks": m["total_chunks"]}

    # ---- writing ---------------------------------------------------------------------------
    @contextlib.contextmanager
    def writing(self):
        """Holds the store's writer lock: a second run on the same store is refused rather
        than computing the same chunks twice. The kernel drops the lock with its process."""
        fd = os.open(self.path / ".writer.lock", os.O_RDWR | os.O_CREAT, 0o644)
        try:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                holder = os.pread(fd, 32, 0).decode(errors="replace").strip() or "another process"
                raise StoreError(f"{self.path}: another run is writing this store ({holder}); "
                                 "wait for it or stop it") from None
            os.ftruncate(fd, 0)
            os.pwrite(fd, f"pid {os.getpid()} on {_platform.node()}".encode(), 0)
            yield self
        finally:
            os.close(fd)  # closing releases the lock

    def write_chunk(self, chunk_id: int, records: dict[str, Any]) -> None:
        import pyarrow as pa
        import pyarrow.parquet as pq

        name = f"chunk-{chunk_id:06d}.parquet"
        records = dict(records)
        history = records.pop("_history", None)
        if history is not None:
            table = pa.table({"run": np.full(len(history["step"]), records["run"][0]),
                              "step": history["step"], "gap": history["gap"]})
            _atomic_write(self.path / "histories" / name, lambda tmp: pq.write_table(table, tmp))
        table = pa.table({k: (list(v) if v.dtype == object else v) for k, v in records.items()})
        # Dictionary pages only for the columns constant within a chunk: dictionary-encoding
        # the metrics and norms costs three times the rest of the write and saves nothing.
        constant = [c for c in _CONSTANT_IN_CHUNK if c in records]
        _atomic_write(self.path / "chunks" / name,
                      lambda tmp: pq.write_table(table, tmp, use_dictionary=constant))


def _short(v: Any) -> str:
    text = json.dumps(v, allow_nan=True)
    return text if len(text) <= 60 else text[:57] + "..."


def _as_store(store: "str | Path | Store") -> Store:
    return store if isinstance(store, Store) else Store.read(store)


def _read_rows(files: list[Path]):
    """The rows of every file, in file order, as one DataFrame.

    Each column is allocated once at its final length and filled file by file, so a store of
    millions of runs costs its table and one chunk, not the several copies that concatenating
    Arrow tables and converting them would hold at once. Text columns share one string object
    per distinct value."""
    import pandas as pd
    import pyarrow.parquet as pq

    total = sum(pq.read_metadata(p).num_rows for p in files)
    columns: dict[str, np.ndarray] = {}
    pos = 0
    for p in files:
        # Column by column: what is read beyond the result is one column of one chunk.
        pf = pq.ParquetFile(p)
        n = pf.metadata.num_rows
        for name in pf.schema_arrow.names:
            col = pf.read(columns=[name], use_threads=False).column(0)
            if col.type == "string" or col.type == "large_string":
                enc = col.combine_chunks().dictionary_encode()
                values = enc.dictionary.to_numpy(zero_copy_only=False)[enc.indices.to_numpy()]
            else:
                values = col.to_numpy()
            if name not in columns:
                columns[name] = np.empty(total, dtype=values.dtype)
            columns[name][pos:pos + n] = values
        pos += n
    return pd.DataFrame(columns, copy=False)


def load(store: "str | Path | Store"):
    """One row per committed run of the store, as a pandas DataFrame (see the module doc)."""
    import pandas as pd

    st = _as_store(store)
    study = st.manifest["study"]
    files = st._files("chunks")
    if files:
        df = _read_rows(files)
    elif study["kind"] == "single":
        cols = ["run", "dynamic", "eta", "steps", "converged", "final_gap"]
        cols += [f"steps_to_{t:g}" for t in study["tolerances"]] + ["distance", "value"]
        df = pd.DataFrame({c: pd.Series(dtype="object" if c == "dynamic" else "float64")
                           for c in cols})
    else:
        df = pd.DataFrame({c: pd.Series(dtype=t) for c, t in _EXPLORATION_TYPES.items()})
    if study["kind"] == "single":
        for t in study["tolerances"]:
            col = f"steps_to_{t:g}"
            df[col] = pd.array(df[col].where(df[col] >= 0), dtype="Int64")
        df = df.astype({"run": "int64", "steps": "int64", "converged": "bool"})
        df = df.sort_values("run", kind="stable").reset_index(drop=True)
    elif not files:
        df = df.astype(_EXPLORATION_TYPES)[EXPLORATION_COLUMNS]
    # Otherwise already in order: files by chunk, runs by index within each, columns as written.
    df.attrs.update(st.attrs())
    return df


def load_histories(store: "str | Path | Store"):
    """The decimated gap histories of a single-run study's committed runs."""
    import pandas as pd

    st = _as_store(store)
    if st.manifest["study"]["kind"] != "single":
        raise StoreError(f"{st.path}: histories are kept for single-run studies only "
                         f"(this is a {st.manifest['study']['kind']!r} study)")
    files = st._files("histories")
    if files:
        h = _read_rows(files)
    else:
        h = pd.DataFrame({"run": pd.Series(dtype="int64"), "step": pd.Series(dtype="int64"),
                          "gap": pd.Series(dtype="float64")})
    runs = load(st)[["run", "dynamic", "eta"]]
    h = h.merge(runs, on="run", how="inner").sort_values(["run", "step"], kind="stable")
    h = h.reset_index(drop=True)
    h.attrs.update(st.attrs())
    return h
