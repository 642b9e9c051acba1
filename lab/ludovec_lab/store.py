"""The result store: a Parquet dataset of committed chunks beside the study's manifest.

Layout of a store directory::

    manifest.json           the study (plain values), its fingerprint, package versions,
                            platform, creation time
    matrix.npy              the game matrix (or the stack) the study ran on
    chunks/chunk-NNNNNN.parquet      one file per committed chunk: one row per run (for
                                     explorations and stacks only what varies by run: the
                                     chunk's id, indices, band, dynamic, game and start, the
                                     norm and metric_below are rebuilt from the plan)
    histories/chunk-NNNNNN.parquet   single-run studies: the decimated gap history
    rejected/               damaged or foreign files the writer set aside (never read)
    .writer.lock            held (flock) by the one run writing the store

Writing. Only the caller of ``run`` writes a store, through ``Store.writer(path, study)``,
which takes the writer lock before anything else: it creates the directory, locks, then reads
the manifest or creates the store (matrix first, manifest last), removes the temporary files
of killed writers and sets aside the chunks that fail the checks below. A directory holding only
what an interrupted creation leaves (the lock, the matrix, empty ``chunks/``/``histories/``,
temporary files) is a store being created and is taken over; anything else without a manifest
is refused. Files are written under a temporary dot-name (``.tmp-*``), flushed and renamed into
place (history first, runs last); a failed write (a full disk) removes what it began, so the
store keeps exactly its finished chunks. A store on a read-only file system can be read, and
``run`` of a complete one works (there is nothing to write).

A chunk is committed when its ``chunks/`` file is valid: canonical name (``chunk-%06d.parquet``),
an id of the plan, a readable footer, and a record in the Parquet key-value metadata (key
``ludovec-lab.chunk``: JSON with ``fingerprint``, ``chunk``, ``rows``, ``computed_by``) that
matches the store: its fingerprint, its own id, the rows the plan gives it (and the file holds),
and the ``ludovec`` version the store was created with. For single-run studies its history file
must pass the same checks. A chunk that fails is named (a warning on reading, a line in
``ludovec-lab status``) and never served: readers skip it, the writer moves it into
``rejected/`` and recomputes it. Resuming does the plan's chunks without a valid file, and only
under the ``ludovec`` version of the store (another version is refused: use the same one, or a
new store). Readers list and check the chunks once and read exactly those: a table loaded
during a run is one consistent snapshot, and its ``chunks`` attribute counts its chunks.

Format versions: 3 (this one) requires the record, and the seed an exploration ran with sits in
the manifest's study (``seed``, with ``seed_drawn`` true when the OS drew it at creation). Stores
of versions 1 (chunks without a record) and 2 (explorations whose ``converged`` was the metric
below the threshold) stay readable: version 1 chunks without a record are accepted when their
name, row count and ``chunk`` column (``run`` for single-run studies) match the plan, and
version 1 and 2 exploration rows are read with ``converged`` renamed ``metric_below`` (they have
no ``steps``, ``final_gap`` nor the three norms). Resuming them is refused: their runs were
drawn and measured otherwise, so a study continues only in a new store.

What readers get (the lab's table contract):

``load(store) -> pandas.DataFrame``, one row per run, ordered by chunk then index. Every table
starts with ``study`` (str: the first 12 hex digits of the study's fingerprint, so that tables of
several studies never mix silently) and ``game`` (str: the classic game's name, the matrix
file's stem, or "array").

- Explorations (``scattered``, ``concentric``) and ``stack`` studies: ``chunk`` int64,
  ``index`` int64 (the run's index within its (dynamic, eta) exploration; for concentric,
  slice * runs_per_slice + run within the slice; its perturbation is drawn from the seed and
  this index alone), ``slice`` int64 (0 unless concentric), ``inner``/``outer`` float64 (the
  run's band; NaN for stack), ``dynamic`` str, ``eta`` float64, ``steps`` int64 (steps
  performed: the step whose gap first fell strictly below 1e-8, else ``num_steps``),
  ``converged`` bool (that happened), ``final_gap`` float64 (the gap of the last performed
  step), ``metric`` float64 (of the gap history, the converging gap repeated up to the cap, as
  the module's explorations compute it), ``metric_below`` bool (``metric <
  study["threshold"]``), ``norm`` float64 (the study's norm of the perturbation: the max norm
  for concentric), ``norm_max``, ``norm_infinity``, ``norm_frobenius`` float64 (NaN for
  stack).
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
  ``platform`` dict, ``created`` and ``updated`` (ISO 8601 UTC strings), ``chunks`` (the valid
  chunks in the table) and ``total_chunks`` (planned).

``load_histories(store) -> pandas.DataFrame`` for single-run studies: ``run`` int64, ``step``
int64 (1-based step count), ``gap`` float64 (the gap returned by that step), ``x_0`` ..
``x_{m-1}`` and ``y_0`` .. ``y_{n-1}`` float64 (the strategies whose gap that is: the strategy
path), ``dynamic`` str, ``eta`` float64; ordered by run then step; same attrs.
"""

from __future__ import annotations

import contextlib
import datetime as _dt
import errno
import fcntl
import functools
import json
import os
import platform as _platform
import re
import secrets
import sys
import uuid
import warnings
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from importlib import metadata
from pathlib import Path
from typing import TYPE_CHECKING, Any, NamedTuple, cast

import numpy as np
import numpy.typing as npt

from .errors import StoreError
from .kinds import KIND_TYPES
from .plan import make_plan
from .schema import EXPLORATION_COLUMNS as _COLUMNS
from .schema import STORED_COLUMNS
from .study import Study, study_from_dict

if TYPE_CHECKING:
    import pandas as pd

FORMAT = "ludovec-lab-store"
FORMAT_VERSION = 3
_READABLE_VERSIONS = (1, 2, 3)  # 1: chunks without a record; 1, 2: converged was metric_below
RECORD_KEY = b"ludovec-lab.chunk"
_CHUNK_NAME = re.compile(r"chunk-(\d+)\.parquet")
_CONSTANT_IN_CHUNK = (
    "chunk",
    "slice",
    "inner",
    "outer",
    "dynamic",
    "eta",
    "run",
    "game",
    "game_id",
    "start",
)
_LOCK = ".writer.lock"
_TMP = ".tmp-"
_REJECTED = "rejected"

EXPLORATION_COLUMNS = list(_COLUMNS)
_INTEGER = ("chunk", "index", "slice", "steps")
_EXPLORATION_TYPES = {
    c: "int64"
    if c in _INTEGER
    else "object"
    if c == "dynamic"
    else "bool"
    if c in ("converged", "metric_below")
    else "float64"
    for c in EXPLORATION_COLUMNS
}


@functools.cache
def module_version() -> str:
    """The installed version of the native module ``ludovec``, as the store records it (read
    once: a process keeps the module it imported)."""
    try:
        return metadata.version("ludovec")
    except metadata.PackageNotFoundError:
        return "unknown"


def _now() -> str:
    return _dt.datetime.now(_dt.UTC).isoformat(timespec="seconds")


def _versions() -> dict[str, str]:
    out = {"python": sys.version.split()[0], "ludovec": module_version()}
    for name in ("numpy", "pandas", "pyarrow", "scipy", "dask", "distributed"):
        with contextlib.suppress(metadata.PackageNotFoundError):
            out[name] = metadata.version(name)
    return out


def _platform_info() -> dict[str, Any]:
    return {
        "system": _platform.platform(),
        "machine": _platform.machine(),
        "processor": _platform.processor(),
        "cpus": os.cpu_count(),
        "node": _platform.node(),
    }


def _chunk_name(chunk_id: int) -> str:
    return f"chunk-{chunk_id:06d}.parquet"


def _fsync_dir(path: Path) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _atomic_write(path: Path, write: Callable[[Path], object]) -> None:
    """Writes through ``write(tmp_path)`` to a dot-name beside ``path``, then renames it."""
    tmp = path.with_name(f"{_TMP}{path.name}-{os.getpid()}-{uuid.uuid4().hex[:8]}")
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


def _errno(exc: OSError) -> int | None:
    """The errno of an OS error, also from Arrow's I/O errors, which carry it in the text."""
    if exc.errno is not None:
        return exc.errno
    m = re.search(r"\[errno (\d+)\]", str(exc), re.IGNORECASE)
    return int(m.group(1)) if m else None


def _os_error(path: Path, exc: OSError, doing: str) -> StoreError:
    """One line saying what failed and what to do about it."""
    code = _errno(exc)
    if code in (errno.ENOSPC, errno.EDQUOT):
        return StoreError(
            f"{path}: no space left on the device {doing}; the finished chunks "
            "are kept: free some space and run the same command again"
        )
    if code in (errno.EROFS, errno.EACCES, errno.EPERM):
        why = "read-only file system" if code == errno.EROFS else "permission denied"
        return StoreError(
            f"{path}: {why} {doing}; give a store on a writable file system, "
            "or make this one writable"
        )
    text = exc.strerror or str(exc).splitlines()[0]
    return StoreError(f"{path}: {text} {doing}")


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()
    return text[0] if text else type(exc).__name__


def _entries(folder: Path) -> list[Path]:
    """A folder's entries, temporary and other dot-files aside, sorted by name."""
    try:
        return sorted(p for p in folder.iterdir() if not p.name.startswith("."))
    except FileNotFoundError:
        return []


def _only_creation_leftovers(path: Path) -> bool:
    """Whether ``path`` holds nothing but what an interrupted store creation leaves."""
    for p in path.iterdir():
        if p.name.startswith(_TMP) or (p.name in (_LOCK, "matrix.npy") and p.is_file()):
            continue
        if (
            p.name in ("chunks", "histories")
            and p.is_dir()
            and all(q.name.startswith(_TMP) for q in p.iterdir())
        ):
            continue
        return False
    return True


def _make_dir(path: Path) -> None:
    try:
        path.mkdir(parents=True, exist_ok=True)
    except (FileExistsError, NotADirectoryError):
        blocker = next((p for p in (path, *path.parents) if p.exists() and not p.is_dir()), path)
        where = (
            "exists and is not a directory"
            if blocker == path
            else f"cannot be created: {blocker} is a file, not a directory"
        )
        raise StoreError(f"{path}: {where}; give a directory for the store") from None
    except OSError as exc:
        raise _os_error(path, exc, "creating the store directory") from None


def _lock(path: Path) -> int | None:
    """The descriptor holding the writer lock of ``path``; None if the store cannot be written
    (a read-only file system). Refuses when another process holds it."""
    try:
        fd = os.open(path / _LOCK, os.O_RDWR | os.O_CREAT, 0o644)
    except OSError as exc:
        if _errno(exc) in (errno.EROFS, errno.EACCES, errno.EPERM):
            return None
        raise _os_error(path, exc, "opening the writer lock") from None
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        holder = os.pread(fd, 64, 0).decode(errors="replace").strip() or "another process"
        os.close(fd)
        raise StoreError(
            f"{path}: another run is writing this store ({holder}); wait for it or stop it"
        ) from None
    with contextlib.suppress(OSError):  # who holds it is a courtesy, not worth failing over
        os.ftruncate(fd, 0)
        os.pwrite(fd, f"pid {os.getpid()} on {_platform.node()}".encode(), 0)
    return fd


class _File(NamedTuple):
    path: Path
    rows: int


@dataclass(frozen=True, slots=True)
class Snapshot:
    """The valid chunks of a store at one moment (runs files and, for single-run studies,
    history files, by chunk id) and the files that failed the checks, with the reason."""

    chunks: dict[int, _File]
    histories: dict[int, _File]
    rejected: list[tuple[Path, str]]


class Store:
    """An open store of one study. ``Store.writer(path, study)`` creates or resumes it holding
    the writer lock; ``Store.read(path)`` opens it to look at it."""

    def __init__(self, path: Path, manifest: dict[str, Any], lock_fd: int | None = None):
        self.path = path
        self.manifest = manifest
        # The descriptor holding the writer lock (None when not writing): forked children
        # inherit it and must close it, or they keep the store locked after the writer ends.
        self.lock_fd = lock_fd
        self._plan_rows: dict[int, int] | None = None
        # The lock holder's view: the chunks checked at opening plus those it commits since.
        self._held: Snapshot | None = None

    # ---- opening ---------------------------------------------------------------------------
    @classmethod
    def read(cls, path: str | Path) -> Store:
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
        if manifest.get("format_version") not in _READABLE_VERSIONS:
            raise StoreError(
                f"{path}: store format version {manifest.get('format_version')} "
                f"is not readable by this version (reads "
                f"{', '.join(map(str, _READABLE_VERSIONS))}); use a newer "
                "ludovec-lab"
            )
        return cls(path, manifest)

    @classmethod
    @contextlib.contextmanager
    def writer(cls, path: str | Path, study: Study) -> Iterator[Store]:
        """The store of ``study`` at ``path``, created or resumed, holding the writer lock
        until the block ends. A store of another study, another ``ludovec`` version (when
        there is something to compute) or a directory that is not a store is refused."""
        path = Path(path)
        cls._precheck(path, study)
        _make_dir(path)
        fd = _lock(path)
        if fd is None:
            yield cls._read_only(path, study)
            return
        store: Store | None = None
        try:
            store = cls._open_locked(path, study, fd)
            yield store
        finally:
            if store is not None:
                store.lock_fd, store._held = None, None
            os.close(fd)  # closing releases the lock

    @classmethod
    def open(cls, path: str | Path, study: Study) -> Store:
        """Creates the store for ``study``, or reopens it when it holds the same study (as
        ``writer``, but without keeping the lock: take it with ``writing()``)."""
        with cls.writer(path, study) as store:
            return store

    @classmethod
    def _precheck(cls, path: Path, study: Study) -> None:
        # What can be refused is refused before the lock file is made: a foreign directory
        # stays untouched. Checked again under the lock.
        if not path.is_dir():
            return
        if (path / "manifest.json").exists():
            cls.read(path)._check_same(study)
        elif not _only_creation_leftovers(path):
            raise StoreError(
                f"{path}: not a study store (a non-empty directory without "
                "manifest.json); give a new or empty directory"
            )

    @classmethod
    def _read_only(cls, path: Path, study: Study) -> Store:
        if not (path / "manifest.json").exists():
            raise StoreError(
                f"{path}: cannot create a store in a read-only directory; give a "
                "directory on a writable file system"
            )
        store = cls.read(path)
        store._check_same(study)
        missing = store.manifest["total_chunks"] - len(store.snapshot().chunks)
        if missing and store.manifest["format_version"] < FORMAT_VERSION:
            raise store._old_format()
        if missing:
            raise StoreError(
                f"{path}: the store is read-only and lacks {missing} of "
                f"{store.manifest['total_chunks']} chunks; make it writable (or "
                "copy it to a writable place) and run again"
            )
        return store

    @classmethod
    def _open_locked(cls, path: Path, study: Study, fd: int) -> Store:
        if (path / "manifest.json").exists():
            store = cls.read(path)
            store._check_same(study)
        elif _only_creation_leftovers(path):
            store = cls(path, cls._create(path, study))
        else:
            raise StoreError(
                f"{path}: not a study store (a non-empty directory without "
                "manifest.json); give a new or empty directory"
            )
        store.lock_fd = fd
        store._sweep()
        snap = store.snapshot()
        version, mine = store.version, module_version()
        lacking = len(snap.chunks) < store.manifest["total_chunks"]
        if lacking and store.manifest["format_version"] < FORMAT_VERSION:
            raise store._old_format()
        if lacking and version not in (None, mine):
            raise StoreError(
                f"{path}: the store was written by ludovec {version}, this is "
                f"ludovec {mine}; resume it with ludovec {version}, or run the "
                "study into a new store"
            )
        store._set_aside(snap.rejected)
        store._held = Snapshot(snap.chunks, snap.histories, [])
        return store

    def _old_format(self) -> StoreError:
        v = self.manifest["format_version"]
        return StoreError(
            f"{self.path}: a store of format {v}, written by ludovec {self.version or 'unknown'}"
            f", is read but not resumed by this version (format {FORMAT_VERSION}); run the "
            "study into a new store"
        )

    @staticmethod
    def _create(path: Path, study: Study) -> dict[str, Any]:
        if study.kind_type.draws and study.seed is None:
            # Drawn once and recorded: every resume, worker and regeneration uses it.
            study = study.with_drawn_seed(secrets.randbits(64))
        manifest = {
            "format": FORMAT,
            "format_version": FORMAT_VERSION,
            "study": study.to_dict(),
            "identity": study.identity(),
            "fingerprint": study.fingerprint,
            "total_chunks": len(make_plan(study)),
            "versions": _versions(),
            "platform": _platform_info(),
            "created": _now(),
        }

        def save_matrix(tmp: Path) -> None:
            with open(tmp, "wb") as f:
                np.save(f, np.asarray(study.payoff))

        def save_games(tmp: Path) -> None:
            # A grid's games, random ones as drawn: reading the store never draws again.
            with open(tmp, "wb") as f:
                np.savez(f, *(np.asarray(g.matrix) for g in study.grid))

        try:
            (path / "chunks").mkdir(exist_ok=True)
            if study.kind_type.keeps_history:
                (path / "histories").mkdir(exist_ok=True)
            if study.is_grid:
                _atomic_write(path / "games.npz", save_games)
            else:
                _atomic_write(path / "matrix.npy", save_matrix)
            # The manifest is written last: a directory without one is not yet a store.
            text = json.dumps(manifest, indent=2, allow_nan=True)
            _atomic_write(path / "manifest.json", lambda tmp: tmp.write_text(text))
        except OSError as exc:
            raise _os_error(path, exc, "creating the store") from None
        return manifest

    def _check_same(self, study: Study) -> None:
        mine = self.manifest.get("identity", {})
        theirs = json.loads(json.dumps(study.identity(), allow_nan=True))
        differ = sorted(k for k in set(mine) | set(theirs) if mine.get(k) != theirs.get(k))
        if differ:
            parts = [
                f"{k} (store: {_short(mine.get(k))}, given: {_short(theirs.get(k))})"
                for k in differ
            ]
            raise StoreError(
                f"{self.path}: holds another study; differing fields: " + "; ".join(parts)
            )

    def _sweep(self) -> None:
        """Removes the temporary files of killed writers (only the lock holder may)."""
        for folder in (self.path, self.path / "chunks", self.path / "histories"):
            if folder.is_dir():
                for p in folder.glob(f"{_TMP}*"):
                    with contextlib.suppress(OSError):
                        p.unlink()

    def _set_aside(self, rejected: list[tuple[Path, str]]) -> None:
        for p, why in rejected:
            side = self.path / _REJECTED / p.parent.name
            try:
                side.mkdir(parents=True, exist_ok=True)
                dest, n = side / p.name, 0
                while dest.exists():
                    n += 1
                    dest = side / f"{p.name}.{n}"
                os.replace(p, dest)
            except OSError as exc:
                raise _os_error(self.path, exc, f"setting aside {p.name}") from None
            warnings.warn(
                f"{self.path}: {p.parent.name}/{p.name} {why}; moved to "
                f"{dest.relative_to(self.path)} (a chunk of the plan is recomputed)",
                RuntimeWarning,
                stacklevel=5,
            )

    # ---- reading ---------------------------------------------------------------------------
    @property
    def fingerprint(self) -> str:
        return str(self.manifest["fingerprint"])

    @property
    def version(self) -> str | None:
        """The ``ludovec`` version the store was created with, which computes all its chunks."""
        v = self.manifest.get("versions", {}).get("ludovec")
        return None if v is None else str(v)

    def study(self) -> Study:
        """The study the store ran, with the seed its runs were drawn from."""
        if self.manifest["study"].get("games") is not None:
            with np.load(self.path / "games.npz", allow_pickle=False) as z:
                matrices = [z[f"arr_{i}"] for i in range(len(z.files))]
            return study_from_dict(self.manifest["study"], matrices)
        payoff = np.load(self.path / "matrix.npy", allow_pickle=False)
        return study_from_dict(self.manifest["study"], payoff)

    def seeded(self, study: Study) -> Study:
        """``study`` (the store's) with the seed the store drew for it, if it drew one."""
        recorded = self.manifest["study"]
        if study.seed is None and recorded.get("seed_drawn") and recorded.get("seed") is not None:
            return study.with_drawn_seed(int(recorded["seed"]))
        return study

    def plan_rows(self) -> dict[int, int]:
        """The rows of each planned chunk, by chunk id."""
        if self._plan_rows is None:
            self._plan_rows = {c.id: c.count for c in make_plan(self.study())}
        return self._plan_rows

    def snapshot(self) -> Snapshot:
        """The valid chunks now, each listed and checked once (see the module doc). The
        writer, which alone adds chunks, knows them without checking again."""
        if self._held is not None:
            return Snapshot(dict(self._held.chunks), dict(self._held.histories), [])
        chunks: dict[int, _File] = {}
        histories: dict[int, _File] = {}
        rejected: list[tuple[Path, str]] = []
        single = KIND_TYPES[self.manifest["study"]["kind"]].keeps_history
        for p in _entries(self.path / "chunks"):
            cid, rows, why = self._check(p, history=False)
            if why is not None:
                rejected.append((p, why))
                continue
            if single:
                h = self.path / "histories" / p.name
                _, hrows, hwhy = self._check(h, history=True)
                if hwhy is not None:
                    rejected.append((p, f"goes with a history that {hwhy}"))
                    if h.exists():
                        rejected.append((h, hwhy))
                    continue
                histories[cid] = _File(h, hrows)
            chunks[cid] = _File(p, rows)
        return Snapshot(chunks, histories, rejected)

    def _check(self, p: Path, history: bool) -> tuple[int, int, str | None]:
        """(chunk id, rows, why the file is not a valid chunk of this store or None)."""
        import pyarrow as pa
        import pyarrow.parquet as pq

        m = _CHUNK_NAME.fullmatch(p.name)
        if m is None or p.name != _chunk_name(int(m.group(1))):
            return -1, 0, "is not named as a chunk (chunk-NNNNNN.parquet)"
        cid = int(m.group(1))
        plan = self.plan_rows()
        if cid not in plan:
            return cid, 0, f"is not in the plan (chunks 0 to {len(plan) - 1})"
        if not p.exists():
            return cid, 0, "is missing"
        try:
            md = pq.read_metadata(p)
        except (OSError, pa.ArrowException) as exc:
            return cid, 0, f"is unreadable ({_first_line(exc)})"
        rows = md.num_rows
        if not history and rows != plan[cid]:
            return cid, rows, f"holds {rows} rows, the plan gives chunk {cid} {plan[cid]}"
        raw = (md.metadata or {}).get(RECORD_KEY)
        if raw is None:
            if self.manifest["format_version"] >= 2:
                return cid, rows, "carries no chunk record (study fingerprint, chunk, version)"
            return cid, rows, self._check_legacy(p, cid, history)
        try:
            rec = json.loads(raw)
            fields = (rec["fingerprint"], rec["chunk"], rec["rows"], rec["computed_by"])
        except (ValueError, TypeError, KeyError):
            return cid, rows, "carries an unreadable chunk record"
        fingerprint, chunk, rec_rows, computed_by = fields
        if fingerprint != self.fingerprint:
            return cid, rows, f"belongs to another study (fingerprint {str(fingerprint)[:12]})"
        if chunk != cid:
            return cid, rows, f"holds chunk {chunk}"
        if rec_rows != rows:
            return cid, rows, f"records {rec_rows} rows but holds {rows}"
        if self.version is not None and computed_by != self.version:
            return (
                cid,
                rows,
                (f"was computed by ludovec {computed_by}, the store by ludovec {self.version}"),
            )
        return cid, rows, None

    def _check_legacy(self, p: Path, cid: int, history: bool) -> str | None:
        """A chunk of a format-1 store: its key column must name it."""
        import pyarrow.parquet as pq

        single = KIND_TYPES[self.manifest["study"]["kind"]].keeps_history
        column = "run" if single or history else "chunk"
        try:
            values = pq.read_table(p, columns=[column]).column(0).to_numpy()
        except Exception as exc:  # any Arrow failure: a file that cannot be served
            return f"has no readable {column!r} column ({_first_line(exc)})"
        if not np.all(values == cid):
            return f"holds rows of another chunk (its {column!r} column is not {cid})"
        return None

    def committed(self) -> set[int]:
        """The ids of the valid committed chunks."""
        return set(self.snapshot().chunks)

    def updated(self, snap: Snapshot | None = None) -> str:
        files = (snap or self.snapshot()).chunks.values()
        latest = max((f.path.stat().st_mtime for f in files), default=None)
        if latest is None:
            return str(self.manifest["created"])
        return _dt.datetime.fromtimestamp(latest, _dt.UTC).isoformat(timespec="seconds")

    def attrs(self, snap: Snapshot | None = None) -> dict[str, Any]:
        """The provenance a loaded table carries; ``chunks`` counts the snapshot's chunks."""
        snap = snap or self.snapshot()
        m = self.manifest
        return {
            "study": m["study"],
            "fingerprint": m["fingerprint"],
            "versions": m["versions"],
            "platform": m["platform"],
            "created": m["created"],
            "updated": self.updated(snap),
            "chunks": len(snap.chunks),
            "total_chunks": m["total_chunks"],
            "format_version": m["format_version"],
        }

    def _warn(self, snap: Snapshot) -> None:
        for p, why in snap.rejected:
            warnings.warn(
                f"{self.path}: {p.parent.name}/{p.name} {why}; skipped",
                RuntimeWarning,
                stacklevel=3,
            )

    # ---- writing ---------------------------------------------------------------------------
    @contextlib.contextmanager
    def writing(self) -> Iterator[Store]:
        """Holds the store's writer lock: a second run on the same store is refused rather
        than computing the same chunks twice. The kernel drops the lock with its process."""
        fd = _lock(self.path)
        if fd is None:
            raise StoreError(f"{self.path}: the store is read-only; make it writable and run again")
        self.lock_fd = fd
        try:
            yield self
        finally:
            self.lock_fd = None
            os.close(fd)

    def write_chunk(
        self, chunk_id: int, records: dict[str, Any], computed_by: str | None = None
    ) -> None:
        """Commits one chunk's records; ``computed_by`` is the ``ludovec`` version that
        computed them (None: this process's), which must be the store's."""
        import pyarrow as pa
        import pyarrow.parquet as pq

        computed_by = module_version() if computed_by is None else computed_by
        if self.version is not None and computed_by != self.version:
            raise StoreError(
                f"{self.path}: chunk {chunk_id} was computed by ludovec "
                f"{computed_by}, the store by ludovec {self.version}; compute it "
                f"with ludovec {self.version}, or run the study into a new store"
            )
        name = _chunk_name(chunk_id)
        records = dict(records)
        history = records.pop("_history", None)
        if "metric_below" in records:  # explorations and stacks: the rest comes from the plan
            records = {k: records[k] for k in STORED_COLUMNS}

        def stamped(table: Any) -> Any:
            rec = {
                "fingerprint": self.fingerprint,
                "chunk": chunk_id,
                "rows": table.num_rows,
                "computed_by": computed_by,
            }
            return table.replace_schema_metadata({RECORD_KEY: json.dumps(rec).encode()})

        hist_path = self.path / "histories" / name
        runs_path = self.path / "chunks" / name
        htable = None
        try:
            if history is not None:
                run = np.full(len(history["step"]), records["run"][0])
                htable = stamped(pa.table({"run": run, **history}))
                _atomic_write(hist_path, lambda tmp: pq.write_table(htable, tmp))
            # Text columns straight from their object arrays: through a list they cost most of
            # the commit.
            table = stamped(
                pa.table(
                    {
                        k: (pa.array(v, type=pa.string()) if v.dtype == object else v)
                        for k, v in records.items()
                    }
                )
            )
            # Dictionary pages only for the columns constant within a chunk: dictionary-encoding
            # the metrics and norms costs three times the rest of the write and saves nothing.
            # (pyarrow takes a list of column names and a codec per column here; its stubs only
            # know a bool and a single codec.)
            constant = cast("bool", [c for c in _CONSTANT_IN_CHUNK if c in records])
            # Compressing the floats (metrics, gaps, norms: random bits) costs time and saves
            # nothing; the step counts and flags shrink well.
            squeeze = cast(
                "str",
                {k: "none" if v.dtype == np.float64 else "snappy" for k, v in records.items()},
            )
            _atomic_write(
                runs_path,
                lambda tmp: pq.write_table(
                    table, tmp, use_dictionary=constant, compression=squeeze
                ),
            )
        except OSError as exc:
            if history is not None and not runs_path.exists():
                with contextlib.suppress(OSError):
                    hist_path.unlink()
            raise _os_error(self.path, exc, f"while committing chunk {chunk_id}") from None
        if self._held is not None:
            if htable is not None:
                self._held.histories[chunk_id] = _File(hist_path, htable.num_rows)
            self._held.chunks[chunk_id] = _File(runs_path, table.num_rows)


def _short(v: Any) -> str:
    text = json.dumps(v, allow_nan=True)
    return text if len(text) <= 60 else text[:57] + "..."


def _as_store(store: str | Path | Store) -> Store:
    return store if isinstance(store, Store) else Store.read(store)


def _read_rows(files: list[_File]) -> pd.DataFrame:
    """The rows of every file, in file order, as one DataFrame.

    Each number column is allocated once at its final length and filled file by file, so a
    store of millions of runs costs its table and one chunk, not the several copies that
    concatenating Arrow tables and converting them would hold at once. Text columns stay Arrow
    strings until the end: where pandas keeps text in Arrow, they are handed over as they are
    (building them from Python strings costs more than reading every number column); elsewhere
    their rows share one string object per distinct value."""
    import pandas as pd
    import pyarrow as pa
    import pyarrow.parquet as pq

    total = sum(f.rows for f in files)
    columns: dict[str, Any] = {}
    texts: dict[str, list[Any]] = {}
    pos = 0
    for path, n in files:
        try:
            # Column by column: what is read beyond the result is one column of one chunk.
            pf = pq.ParquetFile(path)
            for name in pf.schema_arrow.names:
                col = pf.read(columns=[name], use_threads=False).column(0)
                if col.type == "string" or col.type == "large_string":
                    columns.setdefault(name, None)
                    texts.setdefault(name, []).extend(col.cast(pa.string()).chunks)
                    continue
                values = col.to_numpy()
                if name not in columns:
                    columns[name] = np.empty(total, dtype=values.dtype)
                columns[name][pos : pos + n] = values
        except (OSError, pa.ArrowException) as exc:
            raise StoreError(
                f"{path}: damaged ({_first_line(exc)}); move it out of the store "
                "and run the study again to recompute it"
            ) from None
        pos += n
    text_type = pd.Series(["text"]).dtype  # what pandas makes of Python strings
    arrow_text = isinstance(text_type, pd.StringDtype) and text_type.storage == "pyarrow"
    for name, chunks in texts.items():
        col = pa.chunked_array(chunks, type=pa.string())
        if arrow_text:
            columns[name] = col.to_pandas(types_mapper={pa.string(): text_type}.get)
        else:
            enc = col.combine_chunks().dictionary_encode()
            columns[name] = enc.dictionary.to_numpy(zero_copy_only=False)[enc.indices.to_numpy()]
    return pd.DataFrame(columns, copy=False)


def _text_column(codes: npt.NDArray[np.intp], values: list[str]) -> Any:
    """A text column of ``values[codes]``, as ``_read_rows`` hands text over."""
    import pandas as pd
    import pyarrow as pa

    text_type = pd.Series(["text"]).dtype
    if isinstance(text_type, pd.StringDtype) and text_type.storage == "pyarrow":
        arr = pa.DictionaryArray.from_arrays(pa.array(codes), pa.array(values, pa.string()))
        return arr.cast(pa.string()).to_pandas(types_mapper={pa.string(): text_type}.get)
    return np.array(values, dtype=object)[codes]


def _read_runs(st: Store, ids: list[int], files: list[_File]) -> pd.DataFrame:
    """The rows of a format-3 exploration or stack: the per-run columns read from each file
    (one read per file, into columns allocated once), the others rebuilt from the plan."""
    import pandas as pd
    import pyarrow as pa
    import pyarrow.parquet as pq

    study = st.study()
    kind = KIND_TYPES[study.kind]
    plan = {c.id: c for c in make_plan(study)}
    chunks = [plan[i] for i in ids]
    counts = np.array([f.rows for f in files], dtype=np.int64)
    total = int(counts.sum())
    read: dict[str, Any] = {}
    pos = 0
    for path, n in files:
        try:
            table = pq.read_table(path, columns=list(STORED_COLUMNS), use_threads=False)
            for name in STORED_COLUMNS:
                values = table.column(name).to_numpy()
                if name not in read:
                    read[name] = np.empty(total, dtype=values.dtype)
                read[name][pos : pos + n] = values
        except (OSError, pa.ArrowException, KeyError) as exc:
            raise StoreError(
                f"{path}: damaged ({_first_line(exc)}); move it out of the store "
                "and run the study again to recompute it"
            ) from None
        pos += n

    ends = np.cumsum(counts).tolist()
    bounds = list(zip([0, *ends[:-1]], ends, strict=True))

    def each(values: list[Any], dtype: str) -> Any:
        out = np.empty(total, dtype=dtype)  # filled slice by slice: cheaper than np.repeat
        for (a, b), v in zip(bounds, values, strict=True):
            out[a:b] = v
        return out

    def text(values: list[str]) -> Any:
        names = sorted(set(values))
        return _text_column(each([names.index(v) for v in values], "intp"), names)

    index = np.empty(total, dtype=np.int64)
    for (a, b), c in zip(bounds, chunks, strict=True):
        index[a:b] = np.arange(c.index0, c.index0 + b - a, dtype=np.int64)
    columns: dict[str, Any] = {
        "chunk": each(ids, "int64"),
        "index": index,
        "slice": each([c.slice for c in chunks], "int64"),
        "inner": each([c.inner for c in chunks], "float64"),
        "outer": each([c.outer for c in chunks], "float64"),
        "dynamic": text([c.dynamic for c in chunks]),
        "eta": each([c.eta for c in chunks], "float64"),
        **{k: read[k] for k in ("steps", "converged", "final_gap", "metric")},
        "metric_below": read["metric"] < study.threshold,
        "norm": read[f"norm_{kind.norm or study.norm}"].copy(),
        **{k: read[k] for k in ("norm_max", "norm_infinity", "norm_frobenius")},
    }
    if study.is_grid:
        columns["game"] = text([study.grid[c.game].name for c in chunks])
        columns["game_id"] = text([study.grid[c.game].id for c in chunks])
    if len(study.start_points) > 1:
        columns["start"] = each([c.point for c in chunks], "int64")
    return pd.DataFrame({k: columns[k] for k in kind.columns(study)}, copy=False)


_OLD_COLUMNS = ["chunk", "index", "slice", "inner", "outer", "norm", "metric", "metric_below"]
_OLD_COLUMNS += ["dynamic", "eta"]  # explorations and stacks of formats 1 and 2


def game_name(study: dict[str, Any]) -> str:
    """The game column: a classic game's name, a matrix file's stem, or "array"."""
    if study.get("game"):
        return str(study["game"])
    matrix = study.get("matrix")
    if isinstance(matrix, str) and matrix != "<array>":
        return Path(matrix).stem
    return "array"


def _load(st: Store, snap: Snapshot) -> pd.DataFrame:
    import pandas as pd

    study = st.manifest["study"]
    old = st.manifest["format_version"] < FORMAT_VERSION
    files = [snap.chunks[i] for i in sorted(snap.chunks)]
    if files and not old and study["kind"] != "single":
        df = _read_runs(st, sorted(snap.chunks), files)
    elif files:
        df = _read_rows(files)
    elif study["kind"] == "single":
        cols = ["run", "dynamic", "eta", "steps", "converged", "final_gap"]
        cols += [f"steps_to_{t:g}" for t in study["tolerances"]] + ["distance", "value"]
        df = pd.DataFrame(
            {c: pd.Series(dtype="object" if c == "dynamic" else "float64") for c in cols}
        )
    else:
        names = list(_OLD_COLUMNS if old else EXPLORATION_COLUMNS)
        names += ["game", "game_id"] if study.get("games") is not None else []
        names += ["start"] if len(study.get("starts") or ()) > 1 else []
        types = {**_EXPLORATION_TYPES, "metric_below": "bool", "game": "object"}
        types.update(game_id="object", start="int64")
        df = pd.DataFrame({c: pd.Series(dtype=types[c]) for c in names})
    if study["kind"] == "single":
        for t in study["tolerances"]:
            col = f"steps_to_{t:g}"
            df[col] = df[col].where(df[col] >= 0).astype("Int64")
        df = df.astype({"run": "int64", "steps": "int64", "converged": "bool"})
        df = df.sort_values("run", kind="stable").reset_index(drop=True)
    elif old and files:
        # What the older formats called converged was the metric below the threshold.
        df = df.rename(columns={"converged": "metric_below"})
    # Otherwise already in order: files by chunk, runs by index within each, columns as written.
    df.insert(0, "study", st.fingerprint[:12])
    if "game" in df.columns:  # a grid's rows name their games
        front = [c for c in ("game", "game_id", "start") if c in df.columns]
        df = df.reindex(
            columns=["study", *front, *(c for c in df.columns if c not in ("study", *front))]
        )
    else:
        df.insert(1, "game", game_name(study))
    df.attrs.update(st.attrs(snap))
    return df


def load(store: str | Path | Store) -> pd.DataFrame:
    """One row per committed run of the store, as a pandas DataFrame (see the module doc).
    Chunks that fail their checks are named in a warning and left out."""
    st = _as_store(store)
    snap = st.snapshot()
    st._warn(snap)
    return _load(st, snap)


def load_histories(store: str | Path | Store) -> pd.DataFrame:
    """The decimated gap histories of a single-run study's committed runs."""
    import pandas as pd

    st = _as_store(store)
    if st.manifest["study"]["kind"] != "single":
        raise StoreError(
            f"{st.path}: histories are kept for single-run studies only "
            f"(this is a {st.manifest['study']['kind']!r} study)"
        )
    snap = st.snapshot()
    st._warn(snap)
    files = [snap.histories[i] for i in sorted(snap.histories)]
    if files:
        h = _read_rows(files)
    else:
        h = pd.DataFrame(
            {
                "run": pd.Series(dtype="int64"),
                "step": pd.Series(dtype="int64"),
                "gap": pd.Series(dtype="float64"),
            }
        )
    runs = _load(st, snap)[["run", "dynamic", "eta"]]
    h = h.merge(runs, on="run", how="inner").sort_values(["run", "step"], kind="stable")
    h = h.reset_index(drop=True)
    h.attrs.update(st.attrs(snap))
    return h
