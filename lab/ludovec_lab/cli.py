"""The ``ludovec-lab`` command: run, status and report.

Exit codes: 0 when done; 130 after Ctrl-C and 143 after SIGTERM (what batch schedulers send;
either way the workers are stopped and every finished chunk is committed); 2 for a user
mistake (bad study file, store of another study, unreachable scheduler) or a failure it can
act on (a chunk the module could not compute, memory, the file system), reported as one line
on standard error without a traceback.
"""

from __future__ import annotations

import argparse
import codecs
import io
import logging
import math
import signal
import sys
from collections.abc import Callable
from pathlib import Path
from types import FrameType

from .errors import LabError

EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
EXIT_TERMINATED = 128 + signal.SIGTERM


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


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="ludovec-lab",
        description="Run, inspect and draw studies of learning dynamics on matrix games.",
    )
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    r = sub.add_parser(
        "run",
        help="run a study (or resume it on its store)",
        description="Run the chunks of STUDY.toml that the store does not hold "
        "yet, committing each as it finishes. Ctrl-C stops with the finished "
        "chunks saved (exit 130); running the same command again resumes.",
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
        help="what a store holds",
        description="Print the study of a store and how much of it is done.",
    )
    s.add_argument("store", metavar="DIR", type=Path)
    rep = sub.add_parser(
        "report",
        help="draw every figure of a store",
        description="Write the figures of a store (PNG and SVG) into FIGDIR "
        "and print the summary table.",
    )
    rep.add_argument("store", metavar="DIR", type=Path)
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


def _status(args: argparse.Namespace) -> int:
    from .store import Store

    st = Store.read(args.store)
    snap = st.snapshot()
    a = st.attrs(snap)
    study = a["study"]
    done, total = a["chunks"], a["total_chunks"]
    print(f"store:       {args.store}")
    print(
        f"study:       {study['kind']} on {study.get('game') or study.get('matrix')} "
        f"{tuple(study['shape'])}, dynamics {', '.join(study['dynamic'])}, "
        f"eta {', '.join(f'{e:g}' for e in study['eta'])}, {study['num_steps']} steps"
        + (f", seed {study['seed']}" if study.get("seed") is not None else "")
    )
    print(f"fingerprint: {a['fingerprint']}")
    print(
        f"chunks:      {done} of {total} committed ({100.0 * done / max(total, 1):.1f} %)"
        + ("" if done < total else ", complete")
    )
    print(f"created:     {a['created']}")
    print(f"updated:     {a['updated']}")
    for path, why in snap.rejected:
        print(f"not used:    {path.relative_to(st.path)} {why}")
    aside = st.path / "rejected"
    if aside.is_dir() and (n := sum(1 for p in aside.rglob("*") if p.is_file())):
        print(f"set aside:   {n} file{'s' if n > 1 else ''} in {aside}")
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


def main(argv: list[str] | None = None) -> int:
    _paths_safe_output()
    args = _parser().parse_args(argv)
    commands: dict[str, Callable[[argparse.Namespace], int]] = {
        "run": _run,
        "status": _status,
        "report": _report,
    }
    previous = _stop_on_signals()
    try:
        return commands[args.command](args)
    except _Terminated:
        print(
            "ludovec-lab: terminated; finished chunks are committed, run again to resume",
            file=sys.stderr,
        )
        return EXIT_TERMINATED
    except KeyboardInterrupt:
        print(
            "ludovec-lab: interrupted; finished chunks are committed, run again to resume",
            file=sys.stderr,
        )
        return EXIT_INTERRUPTED
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
