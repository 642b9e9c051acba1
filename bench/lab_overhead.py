"""What running through ludovec_lab costs, against the module called directly, in one process.

Sections (all by default, or name some on the command line):

- overhead: an unseeded scattered study at the default chunk size (local executor, a Parquet
  store in a temporary folder, no progress bar) against one `scattered_exploration` call of the
  same size; 2x2 and 10x10 games, the three dynamics. Ratio = study time / native time.
- seeded: the seeded path (NumPy draws, `neighborhood_exploration` for 2x2, one `Experiment`
  per game on worker processes for larger games, the metric reduced in NumPy) against the
  native unseeded path, per run-step, 2x2, 3x3 and 10x10.
- memory: peak RSS of a 10^6-run, 1,000-step 2x2 study on either path, and of a 10^8-step single
  2x2 run with log-spaced decimation, each in a fresh interpreter (2x2 studies run in the
  process itself), against the bare imports.
- dask: the same seeded 3x3 study and unseeded 2x2 study on a two-process LocalCluster (one
  thread per worker, bound to 127.0.0.1) against the local executor.

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


def overhead(folder: Path) -> None:
    print("\n## Chunked study against one native call (unseeded, local executor)\n")
    print(
        "| game | dynamic | runs x steps | chunks | native s | study s | overhead "
        "| of which reading the table |"
    )
    print("|---|---|---|---:|---:|---:|---:|---:|")
    # Three default-size chunks each: the cost of cutting a study is in the figure.
    for n, runs in ((2, 750_000), (10, 30_000)):
        path = matrix_file(folder, n)
        for dynamic in DYNAMICS:
            s = study(n, dynamic, runs, path)
            chunks = len(lab.make_plan(s))
            base, mine, ratios, reads = [], [], [], []
            for _ in range(ROUNDS):
                a = native(n, dynamic, runs)
                b = run_study(s, split=reads)
                base.append(a), mine.append(b), ratios.append(b / a)
            read = statistics.median(reads) / statistics.median(base)
            print(
                f"| {n}x{n} | {dynamic} | {runs:,} x {STEPS:,} | {chunks} "
                f"| {statistics.median(base):.3f} | "
                f"{statistics.median(mine):.3f} | {100 * (statistics.median(ratios) - 1):+.1f} % | "
                f"{100 * read:.1f} % |",
                flush=True,
            )


def seeded(folder: Path) -> None:
    print("\n## Seeded path against the native path, per run-step (ogda)\n")
    print("| game | runs x steps | native ns/run-step | seeded ns/run-step | ratio |")
    print("|---|---|---:|---:|---:|")
    for n, runs in ((2, 100_000), (3, 4_000), (10, 2_000)):
        path = matrix_file(folder, n)
        s = study(n, "ogda", runs, path, seed=1)
        base, mine, ratios = [], [], []
        for _ in range(ROUNDS):
            a = native(n, "ogda", runs)
            b = run_study(s)
            base.append(a), mine.append(b), ratios.append(b / a)
        per = runs * STEPS / 1e9
        print(
            f"| {n}x{n} | {runs:,} x {STEPS:,} | {statistics.median(base) / per:.1f} | "
            f"{statistics.median(mine) / per:.1f} | {statistics.median(ratios):.2f}x |",
            flush=True,
        )


CHILD = r"""
import json, sys, tempfile, time
from pathlib import Path
import numpy as np
import ludovec, ludovec_lab as lab
what = sys.argv[1]
t0 = time.perf_counter()
if what != "imports":
    with tempfile.TemporaryDirectory() as tmp:
        if what == "single":
            s = lab.Study(kind="single", game="biased_pennies", dynamic="ogda", eta=1e-9,
                          num_steps=100_000_000, decimation="log", tolerances=[1e-8])
        else:
            s = lab.Study(kind="scattered", game="biased_pennies", dynamic="ogda", eta=0.1,
                          num_steps=1000, num_runs=1_000_000, inner_radius=0.0, outer_radius=0.5,
                          norm="frobenius", metric="max_last",
                          seed=1 if what == "seeded" else None)
        df = lab.run(s, store=Path(tmp) / "store", progress=False)
        rows = len(df)
else:
    import pandas, pyarrow.parquet, scipy.optimize  # what a study loads: store, equilibria
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
        ("imports", "imports only (numpy, pandas, pyarrow, scipy, ludovec, ludovec_lab)"),
        ("unseeded", "10^6 runs x 1,000 steps, 2x2, unseeded"),
        ("seeded", "10^6 runs x 1,000 steps, 2x2, seeded"),
        ("single", "single 2x2 run, 10^8 steps, log decimation"),
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
                f"2x2 unseeded ogda, 1,000,000 x {STEPS:,}",
                study(2, "ogda", 1_000_000, matrix_file(folder, 2)),
            ),
            (
                f"3x3 seeded ogda, 4,000 x {STEPS:,}",
                study(3, "ogda", 4_000, matrix_file(folder, 3), seed=1),
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


SECTIONS = {"overhead": overhead, "seeded": seeded, "memory": memory, "dask": dask}


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
