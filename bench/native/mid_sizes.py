"""Explorations of 5x5, 10x10 and 30x30 games, per run-step, printed, never asserted.

Two figures per dynamic and size, each the median over rounds of the in-round ratio:
- NumPy batched (`numpy_dynamics.explore_batched`, NumPy on one thread) / ludovec's scattered
  exploration on 2 workers;
- ludovec's scattered exploration on 1 worker / a single Experiment run of the same game, per
  step (the run starts from x = e_0, y uniform, and does not converge in its steps).
Workload: 300 steps, eta 0.01, perturbation magnitudes 0.01 to 0.1, max_last metric of the last
gap (which also tells that no run converged early, so every run made all its steps).

    PYTHONPATH=build/dev .venv/bin/python bench/native/mid_sizes.py [rounds, default 9]

Prints the table and writes it to bench/native/mid_sizes.md and, as the section "Mid-size
explorations" that closes it, to bench/results.md (which `make bench` writes just before).

The pool's size is fixed when the first exploration builds it, so each worker count runs in a
child process of its own.
"""

import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

STEPS, ETA, INNER, OUTER = 300, 0.01, 0.01, 0.1
SIZES = (5, 10, 30)
DYNAMICS = ("ogda", "omwuoomd", "omwuoftrl")
# Runs per measurement: ludovec, NumPy batched.
RUNS = {5: (20_000, 2_000), 10: (8_000, 1_000), 30: (1_000, 200)}
SINGLE_STEPS = {5: 200_000, 10: 100_000, 30: 20_000}
RESULTS = Path(__file__).with_suffix(".md")
SUMMARY = Path(__file__).parents[1] / "results.md"
SECTION = "## Mid-size explorations"


def base(n):
    import numpy as np

    return np.random.default_rng(n).standard_normal((n, n))


def explore_per_run_step(name, n):
    import ludovec

    runs = RUNS[n][0]
    opt = getattr(ludovec.Optimizer, name)(ETA, n)
    t0 = time.perf_counter()
    out = ludovec.scattered_exploration(
        base(n), opt, runs, STEPS, INNER, OUTER, "frobenius", "max_last", 0.5 / STEPS
    )
    seconds = time.perf_counter() - t0
    assert (out.metrics >= 1e-08).all(), "a run converged early"
    return seconds / (runs * STEPS)


def single_per_step(name, n):
    import numpy as np

    import ludovec

    x = np.zeros(n)
    x[0] = 1.0
    state = ludovec.GameState(x, np.full(n, 1.0 / n), base(n))
    experiment = ludovec.Experiment(
        state, getattr(ludovec.Optimizer, name)(ETA, n), SINGLE_STEPS[n]
    )
    t0 = time.perf_counter()
    gaps = experiment.run_experiment_until_convergence_in_place().gaps_history
    seconds = time.perf_counter() - t0
    assert (gaps >= 1e-08).all(), "the single run converged early"
    return seconds / SINGLE_STEPS[n]


def numpy_per_run_step(name, n):
    import numpy as np

    sys.path.insert(0, str(Path(__file__).parents[1]))
    import numpy_dynamics

    runs = RUNS[n][1]
    rng = np.random.default_rng(1)
    t0 = time.perf_counter()
    numpy_dynamics.explore_batched(name, base(n), ETA, runs, STEPS, INNER, OUTER - INNER, 0.1, rng)
    return (time.perf_counter() - t0) / (runs * STEPS)


def child(workers, rounds):
    """One worker count: per-round figures as JSON on stdout."""
    out = []
    for _ in range(rounds):
        cells = {}
        for n in SIZES:
            for name in DYNAMICS:
                if workers == 2:
                    cells[f"{name} {n}"] = (
                        explore_per_run_step(name, n),
                        numpy_per_run_step(name, n),
                    )
                elif n in (5, 10):
                    cells[f"{name} {n}"] = (explore_per_run_step(name, n), single_per_step(name, n))
        out.append(cells)
    print(json.dumps(out))


def run_child(workers, rounds):
    env = dict(
        os.environ,
        RAYON_NUM_THREADS=str(workers),
        OMP_NUM_THREADS="1",
        OPENBLAS_NUM_THREADS="1",
        MKL_NUM_THREADS="1",
    )
    done = subprocess.run(
        [sys.executable, __file__, "--child", str(workers), str(rounds)],
        env=env,
        capture_output=True,
        text=True,
        check=True,
    )
    return json.loads(done.stdout)


def main():
    if sys.argv[1:2] == ["--child"]:
        child(int(sys.argv[2]), int(sys.argv[3]))
        return
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 9
    before = os.getloadavg()[0]
    two = run_child(2, rounds)
    one = run_child(1, rounds)
    after = os.getloadavg()[0]
    lines = [f"load average before: {before:.2f}", f"load average after:  {after:.2f}"]
    lines.append(
        f"{'cell':>14} {'ludovec 2w':>11} {'NumPy':>9} {'NumPy/ludovec':>14}"
        f" {'ludovec 1w':>11} {'single':>9} {'1w/single':>10}"
    )
    # Per cell: ludovec on 2 workers and NumPy, ns per run-step, and their ratio.
    cells = {
        key: (
            statistics.median(r[key][0] for r in two) * 1e9,
            statistics.median(r[key][1] for r in two) * 1e9,
            statistics.median(r[key][1] / r[key][0] for r in two),
        )
        for key in two[0]
    }
    for key, (ours, plain, ratio) in cells.items():
        line = f"{key:>14} {ours:>8.1f} ns {plain:>6.0f} ns {ratio:>13.1f}x"
        if key in one[0]:
            lone = statistics.median(r[key][0] for r in one) * 1e9
            single = statistics.median(r[key][1] for r in one) * 1e9
            r1 = statistics.median(r[key][0] / r[key][1] for r in one)
            line += f" {lone:>8.1f} ns {single:>6.1f} ns {r1:>9.2f}"
        lines.append(line)
    text = "\n".join(lines)
    print(text)
    stamp = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    header = f"# Mid-size explorations\n\n{stamp}, "
    header += f"{rounds} rounds; written by bench/native/mid_sizes.py.\n\n"
    RESULTS.write_text(header + "```\n" + text + "\n```\n")
    write_section(stamp, rounds, cells, before, after)


def write_section(stamp, rounds, cells, before, after):
    """Replaces the section of bench/results.md that this script owns, or adds it at the end."""
    rows = [
        "| dynamic | game | ludovec 2w ns | NumPy batched ns | ratio |",
        "|---|---|---:|---:|---:|",
    ]
    for key, (ours, plain, ratio) in cells.items():
        name, n = key.split()
        rows.append(f"| {name} | {n}x{n} | {ours:,.1f} | {plain:,.0f} | {ratio:.1f}× |")
    section = "\n".join(
        [
            SECTION + " (5x5, 10x10, 30x30)",
            "",
            f"Written by bench/native/mid_sizes.py, {stamp}, "
            f"{rounds} rounds; load average {before:.2f} before and {after:.2f} after. "
            f"{STEPS} steps, eta {ETA}, magnitudes {INNER} to {OUTER}; ns per run-step, "
            "ratio = NumPy batched (one thread) / ludovec on 2 workers, median of in-round "
            "ratios.",
            "",
            *rows,
            "",
            "On a shared virtual machine the ratios move by about a tenth between runs of the same "
            "build; bench/native/mid_sizes.md has the one-worker figures.",
            "",
        ]
    )
    text = SUMMARY.read_text() if SUMMARY.exists() else ""
    kept = text.split(SECTION, 1)[0].rstrip("\n")
    SUMMARY.write_text((kept + "\n\n" if kept else "") + section)


if __name__ == "__main__":
    main()
