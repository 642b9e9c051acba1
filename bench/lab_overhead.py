"""What running through ludovec_lab costs, against the native calls beneath it, in one process.

Sections (all by default, or name some on the command line):

- seeded: a seeded scattered study (local executor, a Parquet store in a temporary folder, no
  progress bar, default chunk size) against the module's own unseeded `scattered_exploration`
  of the same size, per run-step; 2x2, 3x3 and 10x10 games, ogda. Target: at most 1.15x.
- engine: the same study against one bare `ludovec_lab._engine.run_batch` call of all its runs
  (2x2, ogda): what chunking, the store and the table add. Target: at most 10 %.
- memory: peak RSS of a 10^8-step single 2x2 run with log-spaced decimation (the table
  returned), in a fresh interpreter, against the imports it needs.
- dask: a seeded 3x3 study and a 2x2 one on a two-process LocalCluster (one thread per worker,
  bound to 127.0.0.1) against the local executor.

Rounds alternate the two sides; each figure is a median over rounds, each ratio the median of
the in-round ratios. Timings are printed, never asserted. Run with
`.venv/bin/python bench/lab_overhead.py [section ...]` after `make lab-install`.
"""

from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import ludovec
import ludovec_lab as lab

ROUNDS = 3
DYNAMICS = ("ogda", "omwuoomd", "omwuoftrl")
PENNIES = np.array([[3.0, -1.0], [-1.0, 1.0]])
BAND = (0.0, 0.5)
STEPS = 1_000


def game(n: int) -> np.ndarray:
    if n == 2:
        return PENNIES
    return np.random.default_rng(n).standard_normal((n, n))


def study(n: int, dynamic: str, runs: int, matrix_file: Path, **extra) -> lab.Study:
    return lab.Study(
        kind="scattered",
        matrix=str(matrix_file),
        dynamic=dynamic,
        eta=0.1,
        num_steps=STEPS,
        num_runs=runs,
        inner_radius=BAND[0],
        outer_radius=BAND[1],
        norm="frobenius",
        metric="max_last",
        **extra,
    )


def timed(fn) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def run_study(s: lab.Study, executor=None, split: list | None = None) -> float:
    """Seconds of `run` (which returns the whole table); `split` gets the seconds of reading
    the finished store back alone, the part of that time that is not running chunks."""
    with tempfile.TemporaryDirectory() as tmp:
        store = Path(tmp) / "store"
        seconds = timed(lambda: lab.run(s, store=store, executor=executor, progress=False))
        if split is not None:
            split.append(timed(lambda: lab.load(store)))
        return seconds


def native(n: int, dynamic: str, runs: int) -> float:
    opt = getattr(ludovec.Optimizer, dynamic)(0.1, n)
    return timed(
        lambda: ludovec.scattered_exploration(
            game(n), opt, runs, STEPS, *BAND, "frobenius", "max_last"
        )
    )


def matrix_file(folder: Path, n: int) -> Path:
    path = folder / f"game{n}.npy"
    np.save(path, game(n))
    return path


def seeded(folder: Path) -> None:
    print("\n## Seeded study against the module's unseeded exploration, per run-step (ogda)\n")
    print("| game | runs x steps | module ns/run-step | study ns/run-step | study / module |")
    print("|---|---|---:|---:|---:|")
    for n, runs in ((2, 1_000_000), (3, 200_000), (10, 20_000)):
        path = matrix_file(folder, n)
        s = study(n, "ogda", runs, path, seed=1)
        base, mine, ratios = [], [], []
        for _ in range(ROUNDS):
            a = native(n, "ogda", runs)
            b = run_study(s)
            base.append(a), mine.append(b), ratios.append(b / a)
        per = runs * STEPS / 1e9
        print(
            f"| {n}x{n} | {runs:,} x {STEPS:,} | {statistics.median(base) / per:.2f} | "
            f"{statistics.median(mine) / per:.2f} | {statistics.median(ratios):.2f}x |",
            flush=True,
        )


def engine(folder: Path) -> None:
    from ludovec_lab import _engine

    print("\n## Study against one bare run_batch call (2x2 ogda, seeded)\n")
    print(
        "| runs x steps | chunks | run_batch s | study s | overhead | of which reading the table |"
    )
    print("|---|---:|---:|---:|---:|---:|")
    runs = 2_000_000
    s = study(2, "ogda", runs, matrix_file(folder, 2), seed=1)
    bare = dict(
        dynamic="ogda",
        eta=0.1,
        num_steps=STEPS,
        base=game(2),
        seed=1,
        count=runs,
        inner=BAND[0],
        outer=BAND[1],
        metric="max_last",
    )
    base, mine, ratios, reads = [], [], [], []
    for _ in range(ROUNDS):
        a = timed(lambda: _engine.run_batch(**bare))
        b = run_study(s, split=reads)
        base.append(a), mine.append(b), ratios.append(b / a)
    print(
        f"| {runs:,} x {STEPS:,} | {len(lab.make_plan(s))} | {statistics.median(base):.3f} | "
        f"{statistics.median(mine):.3f} | {100 * (statistics.median(ratios) - 1):+.1f} % | "
        f"{100 * statistics.median(reads) / statistics.median(base):.1f} % |",
        flush=True,
    )


CHILD = r"""
import json, sys, tempfile, time
from pathlib import Path
t0 = time.perf_counter()
if sys.argv[1] == "single":
    import ludovec_lab as lab
    with tempfile.TemporaryDirectory() as tmp:
        s = lab.Study(kind="single", game="biased_pennies", dynamic="ogda", eta=1e-9,
                      num_steps=100_000_000, decimation="log", tolerances=[1e-8])
        rows = len(lab.run(s, store=Path(tmp) / "store", progress=False))
else:
    # What a single run loads: the lab, the store's Parquet, the table, the equilibria.
    import ludovec_lab, pandas, pyarrow.parquet, scipy.optimize
    rows = 0
# VmHWM, not ru_maxrss: Linux carries ru_maxrss over from the parent across fork and exec.
hwm = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM"))
print(json.dumps({"peak": hwm / 1024, "rows": rows, "seconds": time.perf_counter() - t0}))
"""


def memory(folder: Path) -> None:
    print("\n## Peak RSS, each in a fresh interpreter\n")
    print("| workload | seconds | rows | peak RSS |")
    print("|---|---:|---:|---:|")
    for what, label in (
        ("imports", "imports only (ludovec_lab, pandas, pyarrow, scipy.optimize)"),
        ("single", "single 2x2 run, 10^8 steps, log decimation, table returned"),
    ):
        out = subprocess.run(
            [sys.executable, "-c", CHILD, what], capture_output=True, text=True, check=True
        )
        r = json.loads(out.stdout.strip().splitlines()[-1])
        print(f"| {label} | {r['seconds']:.1f} | {r['rows']:,} | {r['peak']:.0f} MB |", flush=True)


def dask(folder: Path) -> None:
    from distributed import Client, LocalCluster

    print("\n## Dask LocalCluster (2 worker processes x 1 thread) against the local executor\n")
    t0 = time.perf_counter()
    cluster = LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address="127.0.0.1:0",
    )
    client = Client(cluster)
    started = time.perf_counter() - t0
    print(f"cluster start: {started:.1f} s (not in the figures below)\n")
    print("| study | chunks | local s | dask s | dask / local |")
    print("|---|---:|---:|---:|---:|")
    try:
        cases = (
            (
                f"2x2 seeded ogda, 1,000,000 x {STEPS:,}",
                study(2, "ogda", 1_000_000, matrix_file(folder, 2), seed=1),
            ),
            (
                f"3x3 seeded ogda, 200,000 x {STEPS:,}",
                study(3, "ogda", 200_000, matrix_file(folder, 3), seed=1),
            ),
        )
        for label, s in cases:
            run_study(s, executor=client)  # warm the workers: imports, first pool
            local, remote, ratios = [], [], []
            for _ in range(ROUNDS):
                a = run_study(s)
                b = run_study(s, executor=client)
                local.append(a), remote.append(b), ratios.append(b / a)
            print(
                f"| {label} | {len(lab.make_plan(s))} | {statistics.median(local):.2f} | "
                f"{statistics.median(remote):.2f} | {statistics.median(ratios):.2f} |",
                flush=True,
            )
    finally:
        client.close()
        cluster.close()


SECTIONS = {"seeded": seeded, "engine": engine, "memory": memory, "dask": dask}


def main(argv: list[str]) -> int:
    names = argv or list(SECTIONS)
    unknown = [n for n in names if n not in SECTIONS]
    if unknown:
        print(f"unknown section(s) {unknown}; choose from {list(SECTIONS)}", file=sys.stderr)
        return 2
    print(
        f"# ludovec_lab costs: Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, "
        f"NumPy {np.__version__}; median of {ROUNDS} rounds"
    )
    with tempfile.TemporaryDirectory() as tmp:
        for name in names:
            # Other processes on the machine skew every figure; the load says how much.
            print(f"\n(load average before {name}: {os.getloadavg()[0]:.1f})")
            SECTIONS[name](Path(tmp))
    print(f"\n(load average at the end: {os.getloadavg()[0]:.1f})")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
