"""The ``ludovec-lab`` command: run, status, summary, export and report.

Exit codes: 0 when done; 130 after Ctrl-C and 143 after SIGTERM (what batch schedulers send;
either way the workers are stopped and every finished chunk is committed); 2 for a user
mistake (bad study file, store of another study, unreachable scheduler) or a failure it can
act on (a chunk the module could not compute, memory, the file system), reported as one line
on standard error without a traceback (a bad study file: one line per mistake, in the
order of the file's lines).
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import datetime as dt
import io
import logging
import math
import os
import signal
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from types import FrameType
from typing import TYPE_CHECKING, Any

from .errors import LabError, StudyError

if TYPE_CHECKING:
    import pandas as pd

EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
EXIT_TERMINATED = 128 + signal.SIGTERM
_FORMATS = ("csv", "parquet")  # what export writes


class _Terminated(KeyboardInterrupt):
    """SIGTERM, unwound like Ctrl-C so that every executor stops the same way."""


def _stop_on_signals() -> dict[int, object]:
    """SIGINT and SIGTERM both stop the run; signals arriving while it unwinds are ignored,
    so the clean-up (workers stopped, the cluster told) is not cut short by a traceback.
    Returns the handlers it replaced."""
    stopping = False

    def handler(signum: int, frame: FrameType | None) -> None:
        nonlocal stopping
        if stopping:
            return
        stopping = True
        # From here the command says in one line what happened; what the cluster's client
        # logs while it is torn down mid-call (tracebacks of cancelled requests) is noise.
        logging.disable(logging.CRITICAL)
        raise _Terminated() if signum == signal.SIGTERM else KeyboardInterrupt()

    # A SIGINT ignored from the start (a background job of a shell) stays ignored.
    return {
        sig: signal.signal(sig, handler)
        for sig in (signal.SIGINT, signal.SIGTERM)
        if signal.getsignal(sig) is not signal.SIG_IGN
    }


def _paths_safe_output() -> None:
    """Paths that are not valid UTF-8 come back from the OS with surrogates: written as their
    original bytes where the stream allows, escaped otherwise, never an exception."""

    def handler(exc: UnicodeError) -> tuple[str | bytes, int]:
        assert isinstance(exc, UnicodeEncodeError)
        try:
            return codecs.lookup_error("surrogateescape")(exc)
        except UnicodeEncodeError:
            return codecs.lookup_error("backslashreplace")(exc)

    try:
        codecs.lookup_error("ludovec-lab-paths")
    except LookupError:
        codecs.register_error("ludovec-lab-paths", handler)
    for stream in (sys.stdout, sys.stderr):
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(errors="ludovec-lab-paths")


def _timeout(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0):
        raise LabError(f"--timeout: must be a positive number of seconds, found {text}")
    return value


def _version() -> str:
    from importlib import metadata

    from .store import module_version

    try:  # the lab ships in the module's distribution
        lab = metadata.version("ludovec")
    except metadata.PackageNotFoundError:
        lab = "unknown"
    return f"ludovec-lab {lab} (ludovec {module_version()})"


class _VersionAction(argparse.Action):
    """``--version``, looked up only when asked for (it imports the store's dependencies)."""

    def __init__(self, option_strings: Sequence[str], dest: str, help: str | None = None):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help=help)

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: str | Sequence[Any] | None,
        option_string: str | None = None,
    ) -> None:
        print(_version())
        parser.exit()


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="ludovec-lab",
        description="Run, inspect, summarise, export and draw studies of learning dynamics "
        "on matrix games.",
    )
    p.add_argument(
        "--version", action=_VersionAction, help="print the versions of the lab and the module"
    )
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    r = sub.add_parser(
        "run",
        help="run a study into its store (or resume it there)",
        description="Run the chunks of STUDY.toml that the store does not hold "
        "yet, committing each as it finishes, then print the chunks and runs the store "
        "holds. Ctrl-C stops with the finished chunks saved (exit 130); running the same "
        "command again resumes. A bad study file is refused before anything runs, with one "
        "line per mistake.",
    )
    r.add_argument("study", metavar="STUDY.toml", type=Path, help="the study description")
    r.add_argument(
        "--store",
        metavar="DIR",
        type=Path,
        required=True,
        help="the result store (created if new, resumed if it holds this study)",
    )
    r.add_argument(
        "--dask",
        metavar="ADDRESS",
        help="run on the Dask scheduler at ADDRESS (e.g. tcp://127.0.0.1:8786)",
    )
    r.add_argument(
        "--workers",
        type=int,
        metavar="N",
        help="worker processes for local per-game runs (default: the processors)",
    )
    r.add_argument(
        "--timeout",
        default="10",
        metavar="SECONDS",
        help="how long to try reaching the scheduler (default 10)",
    )
    r.add_argument("--no-progress", action="store_true", help="no progress bar")
    s = sub.add_parser(
        "status",
        help="print what a store holds and how far its study is",
        description="Print the study of a store (games, dynamics, step sizes, radii or "
        "slices, metric, seed), the runs and chunks done of those planned, and an "
        "estimate of the time left. Reads only; safe while the study runs.",
    )
    s.add_argument("store", metavar="DIR", type=Path, help="the result store")
    sm = sub.add_parser(
        "summary",
        help="print the summary table of a store",
        description="Print the summary table of the runs a store holds: per group, the "
        "runs, how many converged with an interval, steps and metric quantiles.",
    )
    sm.add_argument("store", metavar="DIR", type=Path, help="the result store")
    sm.add_argument(
        "--by",
        metavar="COL",
        nargs="+",
        action="extend",
        help="group by these columns (default: study, game, dynamic, step size, slice)",
    )
    ex = sub.add_parser(
        "export",
        help="write the run table of a store to a CSV or Parquet file",
        description="Write the table of runs a store holds (one row per run of its valid "
        "chunks, the table `ludovec_lab.load` returns) to FILE as CSV or Parquet, through a "
        "temporary name renamed into place. The gap histories of single-run studies are "
        "not in that table: --histories writes them to a second file. CSV keeps no "
        "provenance; Parquet keeps the study and versions in its metadata.",
    )
    ex.add_argument("store", metavar="DIR", type=Path, help="the result store")
    ex.add_argument(
        "--out", metavar="FILE", type=Path, required=True, help="the file to write (replaced)"
    )
    ex.add_argument(
        "--format",
        choices=_FORMATS,
        help="csv or parquet (default: from the suffix of FILE)",
    )
    ex.add_argument(
        "--histories",
        metavar="FILE",
        type=Path,
        help="also write the gap histories of a single-run study to FILE, in the same format",
    )
    rep = sub.add_parser(
        "report",
        help="write the figures, summary.txt and index.html of a store into a folder",
        description="Write every figure that applies to the store's study (PNG and SVG), "
        "summary.txt (the summary table) and index.html (all of them on one page) into "
        "FIGDIR, creating it, and print the paths written.",
    )
    rep.add_argument("store", metavar="DIR", type=Path, help="the result store")
    rep.add_argument("--out", metavar="FIGDIR", type=Path, required=True)
    return p


def _run(args: argparse.Namespace) -> int:
    from .executors import run
    from .study import load_study

    timeout = _timeout(args.timeout)
    study = load_study(args.study)
    if args.workers is not None and args.workers < 1:
        raise LabError(f"--workers: must be at least 1, found {args.workers}")
    executor = args.dask if args.dask else None
    if executor:
        # The command says in one line what became of the run; what the cluster's client
        # logs on its own (a closed connection, with its traceback) is noise on the way.
        logging.disable(logging.CRITICAL)
    df = run(
        study,
        store=args.store,
        executor=executor,
        progress=not args.no_progress,
        workers=args.workers,
        timeout=timeout,
    )
    print(
        f"{args.store}: {df.attrs['chunks']} of {df.attrs['total_chunks']} chunks, {len(df)} runs"
    )
    return 0


def _numbers(values: Sequence[float]) -> str:
    return ", ".join(f"{v:g}" for v in values)


def _duration(seconds: float) -> str:
    for unit, size in (("d", 86400.0), ("h", 3600.0), ("min", 60.0)):
        if seconds >= size:
            return f"{seconds / size:.1f} {unit}"
    return f"{seconds:.0f} s"


def _time_left(created: str, updated: str, done: int, planned: int) -> str:
    """From the pace between the store's creation and its last chunk; idle time between
    runs counts as work, so it errs long."""
    if done >= planned:
        return "none (complete)"
    try:
        elapsed = dt.datetime.fromisoformat(updated) - dt.datetime.fromisoformat(created)
    except (TypeError, ValueError):
        return "unknown (the store's times are unreadable)"
    seconds = elapsed.total_seconds()
    if done == 0 or seconds <= 0:
        return "unknown (no pace yet: too few chunks committed)"
    return f"about {_duration(seconds * (planned - done) / done)} at the pace so far"


def _grid_line(study: dict[str, Any]) -> str:
    """A grid's games in order, a run of random games of one family and shape as a range."""
    names = list(study.get("game_names") or [])
    shapes = list(study.get("shape") or [])
    drawn = list(study.get("game_drawn") or [False] * len(names))
    parts: list[str] = []
    run: tuple[str, int, int] | None = None  # (label, first number, last number)
    for name, shape, rnd in zip(names, shapes, drawn, strict=False):
        label, _, number = name.rpartition(" #")
        if rnd and label and number.isdigit():  # already named by family and shape
            k = int(number)
            if run is not None and run[0] == label and run[2] + 1 == k:
                run = (label, run[1], k)
                continue
            if run is not None:
                parts.append(_range(run))
            run = (label, k, k)
            continue
        if run is not None:
            parts.append(_range(run))
            run = None
        parts.append(f"{name} {'x'.join(map(str, shape))}")
    if run is not None:
        parts.append(_range(run))
    return f"games:       {len(names)} game{'s' if len(names) != 1 else ''}: " + ", ".join(parts)


def _range(run: tuple[str, int, int]) -> str:
    label, first, last = run
    return f"{label} #{first}" if first == last else f"{label} #{first}..#{last}"


def _starts_line(starts: list[dict[str, Any]]) -> str:
    def point(p: dict[str, Any], who: str) -> str:
        v = p.get(who)
        return f"{who} uniform" if v is None else f"{who} [{_numbers(v)}]"

    shown = "; ".join(f"{point(p, 'x')}, {point(p, 'y')}" for p in starts[:3])
    more = f"; and {len(starts) - 3} more" if len(starts) > 3 else ""
    return f"starts:      {len(starts)}: {shown}{more}"


def _game_line(study: dict[str, Any]) -> str:
    if study.get("games") is not None:
        return _grid_line(study)
    shape = list(study.get("shape") or [])
    size = " x ".join(map(str, shape[-2:]))
    if study["kind"] == "stack":
        return f"stack:       {study.get('matrix')} ({shape[0]} games of {size})"
    if study.get("game"):
        return f"game:        {study['game']} ({size})"
    return f"matrix:      {study.get('matrix')} ({size})"


def _study_lines(study: dict[str, Any]) -> list[str]:
    kind = study["kind"]
    out = [
        f"study:       {kind}, {study['num_steps']} steps a run",
        _game_line(study),
        *([_starts_line(study["starts"])] if study.get("starts") else []),
        f"dynamics:    {', '.join(study['dynamic'])}",
        f"step sizes:  {_numbers(study['eta'])}",
    ]
    if kind == "scattered":
        band = f"[{study['inner_radius']:g}, {study['outer_radius']:g})"
        out.append(f"radii:       {band} per entry, norm {study['norm']}")
    elif kind == "concentric":
        band = f"[{study['inner_radius']:g}, {study['outer_radius']:g})"
        slices = study["num_slices"]
        out.append(
            f"slices:      {slices} of the band {band} per entry, "
            f"{study['num_runs'] // slices} runs each"
        )
    if kind == "single":
        out.append(
            f"tolerances:  {_numbers(study['tolerances'])}; history {study.get('decimation')}, "
            f"{study.get('history_points')} points"
        )
    else:
        out.append(
            f"metric:      {study.get('metric')}, cutoff {study.get('cutoff')}, "
            f"threshold {study.get('threshold')}"
        )
    seed = study.get("seed")
    if seed is None:
        out.append("seed:        none (unseeded)")
    else:
        out.append(f"seed:        {seed} ({'drawn' if study.get('seed_drawn') else 'given'})")
    return out


def _status(args: argparse.Namespace) -> int:
    from .store import Store

    st = Store.read(args.store)
    snap = st.snapshot()
    a = st.attrs(snap)
    done, total = a["chunks"], a["total_chunks"]
    runs = sum(f.rows for f in snap.chunks.values())
    planned = sum(st.plan_rows().values())
    print(f"store:       {args.store}")
    for line in _study_lines(a["study"]):
        print(line)
    print(f"fingerprint: {a['fingerprint']}")
    print(f"runs:        {runs} of {planned} ({100.0 * runs / max(planned, 1):.1f} %)")
    print(f"chunks:      {done} of {total} committed" + ("" if done < total else ", complete"))
    print(f"created:     {a['created']}")
    print(f"updated:     {a['updated']}")
    print(f"time left:   {_time_left(a['created'], a['updated'], runs, planned)}")
    for path, why in snap.rejected:
        print(f"not used:    {path.relative_to(st.path)} {why}")
    aside = st.path / "rejected"
    if aside.is_dir() and (n := sum(1 for p in aside.rglob("*") if p.is_file())):
        print(f"set aside:   {n} file{'s' if n > 1 else ''} in {aside}")
    return 0


def _summary(args: argparse.Namespace) -> int:
    from . import views
    from .store import Store

    Store.read(args.store)  # a clear message for a directory that is not a store
    views.summary(args.store, by=args.by)
    return 0


def _write_table(df: pd.DataFrame, out: Path, fmt: str) -> None:
    """Writes ``df`` to ``out`` through a temporary sibling renamed into place, so that a
    reader never sees half a file and a failed write leaves what was there."""
    tmp = out.with_name(f".{out.name}.tmp-{os.getpid()}")
    try:
        with open(tmp, "wb") as f:
            if fmt == "csv":
                df.to_csv(f, index=False)
            else:
                df.to_parquet(f, index=False)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, out)
    except OSError as exc:  # named by the file asked for, not by the temporary one
        raise OSError(exc.errno, exc.strerror or str(exc), str(out)) from None
    finally:
        with contextlib.suppress(OSError):
            tmp.unlink()


def _export(args: argparse.Namespace) -> int:
    from .store import Store, load, load_histories

    for out in (args.out, args.histories):
        if out is not None and out.is_dir():
            raise LabError(f"{out}: is a directory; give the name of a file to write")
    fmt = args.format or args.out.suffix.lstrip(".").lower()
    if fmt not in _FORMATS:
        raise LabError(
            f"--out {args.out}: give --format csv or parquet (the suffix does not say which)"
        )
    st = Store.read(args.store)
    if args.histories is not None and st.manifest["study"]["kind"] != "single":
        raise LabError(
            f"--histories: {args.store} holds a {st.manifest['study']['kind']!r} study; "
            "only single-run studies keep histories"
        )
    df = load(st)
    _write_table(df, args.out, fmt)
    chunks = f"{df.attrs['chunks']} of {df.attrs['total_chunks']} chunks"
    print(f"{args.out}: {len(df)} run{'' if len(df) == 1 else 's'} ({chunks})")
    if args.histories is not None:
        h = load_histories(st)
        _write_table(h, args.histories, fmt)
        print(f"{args.histories}: {len(h)} history points")
    return 0


def _report(args: argparse.Namespace) -> int:
    from . import views
    from .store import Store

    Store.read(args.store)  # a clear message for a directory that is not a store
    if args.out.exists() and not args.out.is_dir():
        raise LabError(f"--out {args.out}: exists and is not a directory")
    args.out.mkdir(parents=True, exist_ok=True)
    written = views.report(args.store, args.out)
    for path in written or []:
        print(path)
    return 0


def _os_error(exc: OSError) -> str:
    """``path: cause`` for a file-system failure (both paths for a rename or a link)."""
    cause = exc.strerror or str(exc) or type(exc).__name__
    if exc.filename is None:
        return cause
    names = [exc.filename] + ([exc.filename2] if exc.filename2 is not None else [])
    return f"{' -> '.join(map(str, names))}: {cause}"


def _error(text: str) -> int:
    text = "; ".join(line for line in str(text).splitlines() if line.strip())
    print(f"ludovec-lab: error: {text}", file=sys.stderr)
    return EXIT_USAGE


def _errors(problems: list[str]) -> int:
    """One line per problem, so that a study file's mistakes read like a compiler's."""
    for problem in problems:
        print(f"ludovec-lab: error: {problem}", file=sys.stderr)
    return EXIT_USAGE


def main(argv: list[str] | None = None) -> int:
    _paths_safe_output()
    args = _parser().parse_args(argv)
    commands: dict[str, Callable[[argparse.Namespace], int]] = {
        "run": _run,
        "status": _status,
        "summary": _summary,
        "export": _export,
        "report": _report,
    }
    # Only a run has chunks to keep; the other commands write whole files or nothing.
    kept = "; finished chunks are committed, run again to resume" if args.command == "run" else ""
    previous = _stop_on_signals()
    try:
        return commands[args.command](args)
    except _Terminated:
        print(f"ludovec-lab: terminated{kept}", file=sys.stderr)
        return EXIT_TERMINATED
    except KeyboardInterrupt:
        print(f"ludovec-lab: interrupted{kept}", file=sys.stderr)
        return EXIT_INTERRUPTED
    except StudyError as exc:
        return _errors([line for p in exc.problems for line in p.splitlines() if line.strip()])
    except LabError as exc:
        return _error(str(exc))
    except MemoryError as exc:
        return _error(
            f"out of memory: {exc or 'no details'}; ask for less at once "
            "(fewer steps or runs per chunk) or run where there is more"
        )
    except OSError as exc:
        return _error(_os_error(exc))
    except UnicodeEncodeError as exc:  # a library that takes paths as UTF-8 text only
        if not isinstance(exc.object, str) or "surrogates" not in exc.reason:
            raise
        return _error(
            f"{exc.object}: a path that is not valid UTF-8, which the Parquet "
            "library cannot open; rename it"
        )
    except BaseException as exc:
        if type(exc).__name__ != "PanicException":  # the module's internal stop, by name:
            raise  # it is not one of its attributes
        return _error(f"the module stopped: {exc}")
    finally:
        logging.disable(logging.NOTSET)
        for sig, old in previous.items():
            signal.signal(sig, old)  # type: ignore[arg-type]


if __name__ == "__main__":
    sys.exit(main())
