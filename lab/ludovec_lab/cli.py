"""The ``ludovec-lab`` command: run, status and report.

Exit codes: 0 when done; 130 after Ctrl-C (every finished chunk committed); 2 for a user
mistake (bad study file, store of another study, unreachable scheduler), reported as one line
on standard error without a traceback.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from .errors import LabError

EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="ludovec-lab",
        description="Run, inspect and draw studies of learning dynamics on matrix games.")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    r = sub.add_parser("run", help="run a study (or resume it on its store)",
                       description="Run the chunks of STUDY.toml that the store does not hold "
                       "yet, committing each as it finishes. Ctrl-C stops with the finished "
                       "chunks saved (exit 130); running the same command again resumes.")
    r.add_argument("study", metavar="STUDY.toml", type=Path, help="the study description")
    r.add_argument("--store", metavar="DIR", type=Path, required=True,
                   help="the result store (created if new, resumed if it holds this study)")
    r.add_argument("--dask", metavar="ADDRESS",
                   help="run on the Dask scheduler at ADDRESS (e.g. tcp://127.0.0.1:8786)")
    r.add_argument("--workers", type=int, metavar="N",
                   help="worker processes for local per-game runs (default: the processors)")
    r.add_argument("--timeout", type=float, default=10.0, metavar="SECONDS",
                   help="how long to try reaching the scheduler (default 10)")
    r.add_argument("--no-progress", action="store_true", help="no progress bar")
    s = sub.add_parser("status", help="what a store holds",
                       description="Print the study of a store and how much of it is done.")
    s.add_argument("store", metavar="DIR", type=Path)
    rep = sub.add_parser("report", help="draw every figure of a store",
                         description="Write the figures of a store (PNG and SVG) into FIGDIR "
                         "and print the summary table.")
    rep.add_argument("store", metavar="DIR", type=Path)
    rep.add_argument("--out", metavar="FIGDIR", type=Path, required=True)
    return p


def _run(args: argparse.Namespace) -> int:
    from .executors import run
    from .study import load_study

    study = load_study(args.study)
    if args.workers is not None and args.workers < 1:
        raise LabError(f"--workers: must be at least 1, found {args.workers}")
    executor = args.dask if args.dask else None
    df = run(study, store=args.store, executor=executor, progress=not args.no_progress,
             workers=args.workers, timeout=args.timeout)
    print(f"{args.store}: {df.attrs['chunks']} of {df.attrs['total_chunks']} chunks, "
          f"{len(df)} runs")
    return 0


def _status(args: argparse.Namespace) -> int:
    from .store import Store

    st = Store.read(args.store)
    snap = st.snapshot()
    a = st.attrs(snap)
    study = a["study"]
    done, total = a["chunks"], a["total_chunks"]
    print(f"store:       {args.store}")
    print(f"study:       {study['kind']} on {study.get('game') or study.get('matrix')} "
          f"{tuple(study['shape'])}, dynamics {', '.join(study['dynamic'])}, "
          f"eta {', '.join(f'{e:g}' for e in study['eta'])}, {study['num_steps']} steps"
          + (f", seed {study['seed']}" if study.get("seed") is not None else ""))
    print(f"fingerprint: {a['fingerprint']}")
    print(f"chunks:      {done} of {total} committed ({100.0 * done / max(total, 1):.1f} %)"
          + ("" if done < total else ", complete"))
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
    args.out.mkdir(parents=True, exist_ok=True)
    written = views.report(args.store, args.out)
    for path in written or []:
        print(path)
    return 0


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        return {"run": _run, "status": _status, "report": _report}[args.command](args)
    except KeyboardInterrupt:
        print("ludovec-lab: interrupted; finished chunks are committed, run again to resume",
              file=sys.stderr)
        return EXIT_INTERRUPTED
    except LabError as exc:
        text = "; ".join(str(exc).splitlines())
        print(f"ludovec-lab: error: {text}", file=sys.stderr)
        return EXIT_USAGE


if __name__ == "__main__":
    sys.exit(main())
