"""ludovec against plain NumPy and numba versions of the same algorithms, in one process.

Workloads:
- single runs (`Experiment`) of each dynamic on 2x2, 3x3, 10x10 and 100x100 games that do not
  converge within the measured steps; every side records the full histories;
- scattered explorations of 10,000 runs x 1,000 steps on 2x2 and 3x3 games (frobenius norm,
  max_last metric); every side draws the perturbations, measures them, records the gaps and
  reduces them to the metric.

Yardsticks: NumPy one run at a time and NumPy batched (one step advances every run of the
batch, on (runs, n) arrays); numba one run at a time with preallocated buffers, and numba
`prange` across chunks of runs. Before anything is timed, each yardstick is checked against
ludovec on short runs, and numba is compiled.

Rounds are shuffled (cells, and the sides within a cell); each figure is the median over
rounds of the time per step (per run-step for explorations), and each ratio is the median of
the in-round ratios others' time / ludovec's time, so slow drifts of the machine cancel.
The slow NumPy variants run fewer steps or runs; figures are per step, so they compare.

Run with `make bench`; writes bench/results.md.
"""

import os
import platform
import random
import statistics
import sys
import time
from datetime import date
from pathlib import Path

import numpy as np

import ludovec

sys.path.insert(0, str(Path(__file__).parent))
import numba_dynamics
import numpy_dynamics

ROUNDS = 5
ETA = 1e-3
DYNAMICS = ("ogda", "omwuoomd", "omwuoftrl")
THRESHOLD = numpy_dynamics.THRESHOLD

# Single runs: steps per measurement, for ludovec and numba / for NumPy.
EXPERIMENT_STEPS = {
    2: (200_000, 2_000),
    3: (200_000, 2_000),
    10: (50_000, 1_000),
    100: (4_000, 200),
}

# Explorations: the full size, and the scaled-down sizes (runs, steps) of the slower variants.
EXPLORATION_SIZES = (2, 3)
RUNS, STEPS = 10_000, 1_000
NUMPY_PER_RUN = (8, 1_000)
NUMPY_BATCHED = (10_000, 100)
NUMBA_PER_RUN = (2_000, 1_000)
INNER, OUTER = 0.01, 0.1  # magnitude band of every perturbation entry
CUTOFF = 0.1
NORM, METRIC = "frobenius", "max_last"

VERIFY_STEPS = 200
TOLERANCE = 1e-12

RESULTS = Path(__file__).parent / "results.md"


def experiment_game(n):
    """A game, and a start, that no dynamic solves within the measured steps at eta 1e-3."""
    if n == 2:
        a = np.array([[2.0, -1.0], [-1.0, 1.0]])  # mixed equilibrium (2/5, 3/5), far from x
    elif n == 3:
        a = np.array([[0.0, 1.0, -1.0], [-1.0, 0.0, 1.0], [1.0, -1.0, 0.0]])  # rock-paper-scissors
    else:
        a = np.random.default_rng(n).standard_normal((n, n))
    x = np.zeros(n)
    x[0] = 1.0
    return a, x, np.full(n, 1.0 / n)


def exploration_base(n):
    """Base games whose equilibria stay interior under perturbations of the band."""
    return experiment_game(n)[0]


def band():
    """The magnitude band as the native engine builds it: low, and a scale that never overshoots."""
    scale = OUTER - INNER
    while INNER + scale * (1.0 - 2.0**-52) > OUTER:
        scale = np.nextafter(scale, 0.0)
    return INNER, scale


def performed(gaps):
    below = np.flatnonzero(gaps < THRESHOLD)
    return int(below[0]) + 1 if below.size else gaps.size


def ludovec_run(name, a, x, y, steps):
    state = ludovec.GameState(x, y, a)
    return ludovec.Experiment(state, getattr(ludovec.Optimizer, name)(ETA, a.shape[0]), steps)


def ludovec_explore(name, base, runs, steps, inner=INNER, outer=OUTER, cutoff=CUTOFF):
    opt = getattr(ludovec.Optimizer, name)(ETA, base.shape[0])
    return ludovec.scattered_exploration(base, opt, runs, steps, inner, outer, NORM, METRIC, cutoff)


# ------------------------------------------------------------------------------------ checks


def require(condition, message):
    """A check that `python -O` keeps."""
    if not condition:
        raise AssertionError(message)


def max_diff(u, v):
    return float(np.max(np.abs(np.asarray(u) - np.asarray(v)), initial=0.0))


def verify():
    """Asserts that every yardstick computes what ludovec computes; returns notes."""
    notes = []
    worst = 0.0
    for name in DYNAMICS:
        run, explore, explore_parallel = numba_dynamics.kernels(name)
        for n in EXPERIMENT_STEPS:
            a, x, y = experiment_game(n)
            experiment = ludovec_run(name, a, x, y, VERIFY_STEPS)
            ref = experiment.run_experiment_until_convergence_in_place()
            for label, (xs, ys, gaps, _) in (
                ("NumPy", numpy_dynamics.run(name, a, x, y, ETA, VERIFY_STEPS)),
                ("numba", run(a, x, y, ETA, VERIFY_STEPS)),
            ):
                d = max(
                    max_diff(xs, ref.x_history),
                    max_diff(ys, ref.y_history),
                    max_diff(gaps, ref.gaps_history),
                )
                require(d <= TOLERANCE, f"{label} {name} {n}x{n}: histories differ by {d:.3g}")
                worst = max(worst, d)

        # Exploration kernels: with a zero-width band every run plays the base game itself;
        # ludovec's band [0, 1e-300] changes nothing above rounding.
        start = numpy_dynamics.tail_start(VERIFY_STEPS, CUTOFF)
        for n in EXPLORATION_SIZES:
            base = exploration_base(n)
            runs = 4
            native = ludovec_explore(name, base, runs, VERIFY_STEPS, 0.0, 1e-300).metrics
            rng = np.random.default_rng(0)
            sides = {
                "NumPy per run": numpy_dynamics.explore_per_run(
                    name, base, ETA, runs, VERIFY_STEPS, 0.0, 0.0, CUTOFF, rng
                )[1],
                "NumPy batched": numpy_dynamics.explore_batched(
                    name, base, ETA, runs, VERIFY_STEPS, 0.0, 0.0, CUTOFF, rng
                )[1],
            }
            for label, kernel, extra in (
                ("numba per run", explore, ()),
                ("numba prange", explore_parallel, (2,)),
            ):
                norms, metrics = np.empty(runs), np.empty(runs)
                kernel(base, ETA, VERIFY_STEPS, 0.0, 0.0, start, norms, metrics, *extra)
                sides[label] = metrics
            for label, metrics in sides.items():
                d = max_diff(metrics, native)
                require(d <= TOLERANCE, f"{label} {name} {n}x{n}: metrics differ by {d:.3g}")
                worst = max(worst, d)

    # The perturbations: same band, same norm, so the same distribution of norms.
    low, scale = band()
    for n in EXPLORATION_SIZES:
        base = exploration_base(n)
        native = ludovec_explore("omwuoftrl", base, RUNS, 1).norms
        plain = numpy_dynamics.explore_batched(
            "omwuoftrl", base, ETA, RUNS, 1, low, scale, CUTOFF, np.random.default_rng()
        )[0]
        compiled = np.empty(RUNS)
        numba_dynamics.kernels("omwuoftrl")[2](
            base, ETA, 1, low, scale, 0, compiled, np.empty(RUNS), 2
        )
        for label, norms in (("ludovec", native), ("NumPy", plain), ("numba", compiled)):
            require(
                n * INNER <= norms.min() and norms.max() <= n * OUTER,
                f"{label} {n}x{n}: norms off the band",
            )
            ratio = norms.mean() / native.mean()
            require(abs(ratio - 1.0) < 0.02, f"{label} {n}x{n}: mean norm {ratio:.3f} of ludovec's")
    notes.append(
        f"Checked before timing: on {VERIFY_STEPS}-step runs of every dynamic and game, the NumPy "
        f"and numba histories equal ludovec's within {worst:.1e} (bound {TOLERANCE:g}); every "
        f"exploration kernel gives ludovec's metrics on the unperturbed game; the perturbation "
        f"norms of all three lie in the band with means within 2% of ludovec's."
    )
    return notes


# ------------------------------------------------------------------------------------ timing


def time_call(f):
    t0 = time.perf_counter()
    out = f()
    return time.perf_counter() - t0, out


def experiment_sides(name, n):
    a, x, y = experiment_game(n)
    native_steps, numpy_steps = EXPERIMENT_STEPS[n]
    run = numba_dynamics.kernels(name)[0]

    def native():
        experiment = ludovec_run(name, a, x, y, native_steps)
        dt, result = time_call(experiment.run_experiment_until_convergence_in_place)
        return dt, performed(result.gaps_history)

    def plain():
        dt, (_, _, _, k) = time_call(lambda: numpy_dynamics.run(name, a, x, y, ETA, numpy_steps))
        return dt, k

    def compiled():
        dt, (_, _, _, k) = time_call(lambda: run(a, x, y, ETA, native_steps))
        return dt, k

    return {"ludovec": native, "NumPy per run": plain, "numba per run": compiled}


def exploration_sides(name, n):
    base = exploration_base(n)
    low, scale = band()
    _, explore, explore_parallel = numba_dynamics.kernels(name)
    rng = np.random.default_rng()
    chunks = numba_threads()

    def native():
        dt, _ = time_call(lambda: ludovec_explore(name, base, RUNS, STEPS))
        return dt, RUNS * STEPS

    def per_run():
        runs, steps = NUMPY_PER_RUN
        dt, _ = time_call(
            lambda: numpy_dynamics.explore_per_run(
                name, base, ETA, runs, steps, low, scale, CUTOFF, rng
            )
        )
        return dt, runs * steps

    def batched():
        runs, steps = NUMPY_BATCHED
        dt, _ = time_call(
            lambda: numpy_dynamics.explore_batched(
                name, base, ETA, runs, steps, low, scale, CUTOFF, rng
            )
        )
        return dt, runs * steps

    def numba_kernel(runs, steps, kernel, *extra):
        def measure():
            norms, metrics = np.empty(runs), np.empty(runs)
            start = numpy_dynamics.tail_start(steps, CUTOFF)
            dt, _ = time_call(
                lambda: kernel(base, ETA, steps, low, scale, start, norms, metrics, *extra)
            )
            return dt, runs * steps

        return measure

    return {
        "ludovec": native,
        "NumPy per run": per_run,
        "NumPy batched": batched,
        "numba per run": numba_kernel(*NUMBA_PER_RUN, explore),
        "numba prange": numba_kernel(RUNS, STEPS, explore_parallel, chunks),
    }


def converged_runs(name, n):
    """Runs of a full-size exploration whose gap fell below the threshold (ludovec, NumPy)."""
    base = exploration_base(n)
    # With this cutoff the metric is the last gap alone, below 1e-08 exactly for converged runs.
    last = ludovec_explore(name, base, RUNS, STEPS, cutoff=0.5 / STEPS).metrics
    low, scale = band()
    gaps = numpy_dynamics.explore_batched(
        name, base, ETA, 1_000, STEPS, low, scale, CUTOFF, np.random.default_rng()
    )[2]
    return int((last < THRESHOLD).sum()), int((gaps[:, -1] < THRESHOLD).sum())


def numba_threads():
    import numba

    return numba.get_num_threads()


def measure():
    cells = [("Experiment", name, n) for name in DYNAMICS for n in EXPERIMENT_STEPS]
    cells += [("exploration", name, n) for name in DYNAMICS for n in EXPLORATION_SIZES]
    sides = {
        cell: (experiment_sides if cell[0] == "Experiment" else exploration_sides)(*cell[1:])
        for cell in cells
    }
    samples = {cell: [] for cell in cells}  # one {side: seconds per step} per round
    steps_seen = {}  # (cell, side) -> set of step counts performed
    for r in range(ROUNDS):
        print(f"round {r + 1}/{ROUNDS}", file=sys.stderr, flush=True)
        order = cells[:]
        random.shuffle(order)
        for cell in order:
            names = list(sides[cell])
            random.shuffle(names)
            per_step = {}
            for side in names:
                dt, k = sides[cell][side]()
                per_step[side] = dt / k
                steps_seen.setdefault((cell, side), set()).add(k)
            samples[cell].append(per_step)
    return cells, samples, steps_seen


# ------------------------------------------------------------------------------------ report

COLUMNS = ("ludovec", "NumPy per run", "NumPy batched", "numba per run", "numba prange")


def summarise(cells, samples):
    rows = []
    for cell in cells:
        s = samples[cell]
        row = {"cell": cell}
        for side in COLUMNS:
            if side not in s[0]:
                continue
            ns = statistics.median(x[side] for x in s) * 1e9
            ratio = statistics.median(x[side] / x["ludovec"] for x in s)
            row[side] = (ns, ratio)
        rows.append(row)
    return rows


def fmt_ns(ns):
    return f"{ns:,.0f}" if ns >= 100 else f"{ns:.1f}"


def fmt_ratio(r):
    return f"{r:,.0f}×" if r >= 10 else f"{r:.1f}×"


def table(rows):
    head = ["workload", "dynamic", "game", "ludovec ns"] + [f"{c} ns (ratio)" for c in COLUMNS[1:]]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * 3 + "---:|" * (len(head) - 3)]
    for row in rows:
        kind, name, n = row["cell"]
        cells = [kind, name, f"{n}x{n}", fmt_ns(row["ludovec"][0])]
        for side in COLUMNS[1:]:
            if side in row:
                ns, ratio = row[side]
                cells.append(f"{fmt_ns(ns)} ({fmt_ratio(ratio)})")
            else:
                cells.append("—")
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def machine():
    import numba
    from threadpoolctl import threadpool_info

    blas = [
        f"{i.get('internal_api')} {i.get('version')} ({i.get('architecture', '?')} kernels, "
        f"{i.get('num_threads')} threads)"
        for i in threadpool_info()
        if i.get("user_api") == "blas"
    ]
    cores = len(os.sched_getaffinity(0))
    forced = [v for v in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE") if v in os.environ]
    lines = [
        f"- CPU: {cpu_model()}, {cores} cores available ({os.cpu_count()} online)",
        f"- Python {platform.python_version()}, NumPy {np.__version__} with "
        f"{', '.join(blas) or 'no BLAS found'}, numba {numba.__version__} "
        f"({numba.threading_layer()} threading layer, {numba.get_num_threads()} threads)",
        f"- ludovec explorations on {cores} worker threads, numba prange on "
        f"{numba.get_num_threads()}; everything else single-threaded",
    ]
    if forced:
        lines.append(f"- WARNING: {' and '.join(forced)} set: NumPy ran OpenBLAS's forced kernel")
    return lines


def work_notes(cells, steps_seen, converged):
    exp_sizes = "; ".join(
        f"{n}x{n}: {EXPERIMENT_STEPS[n][0]:,} steps (ludovec, numba), "
        f"{EXPERIMENT_STEPS[n][1]:,} (NumPy)"
        for n in EXPERIMENT_STEPS
    )
    short = [
        f"{cell[1]} {cell[2]}x{cell[2]} {side}: {sorted(steps_seen[cell, side])}"
        for cell in cells
        if cell[0] == "Experiment"
        for side in ("ludovec", "NumPy per run", "numba per run")
        if min(steps_seen[cell, side]) < EXPERIMENT_STEPS[cell[2]][side == "NumPy per run"]
    ]
    if any(c != (0, 0) for c in converged.values()):
        conv = "; ".join(
            f"{name} {n}x{n}: {c[0]} of {RUNS:,} (ludovec), {c[1]} of 1,000 (NumPy)"
            for (name, n), c in converged.items()
        )
    else:
        conv = (
            f"none, for every dynamic and game (checked on {RUNS:,} ludovec runs and 1,000 "
            f"NumPy batched runs each)"
        )
    return [
        f"- Experiment: eta {ETA:g}, x = (1, 0, …), y uniform; 2x2 [[2, -1], [-1, 1]], 3x3 "
        f"rock-paper-scissors, 10x10 and 100x100 standard normal (seeded). Steps per measurement: "
        f"{exp_sizes}. Every side records the x, y and gap histories.",
        "- Steps performed: "
        + (
            "every measured run performed all its steps (no convergence)."
            if not short
            else "SOME RUNS CONVERGED EARLY: " + "; ".join(short)
        ),
        f"- Explorations: eta {ETA:g}, uniform start, base games as above, entry magnitudes in "
        f"[{INNER:g}, {OUTER:g}] with random signs, {NORM} norm, {METRIC} metric (cutoff "
        f"{CUTOFF:g}). ludovec and numba prange: {RUNS:,} runs x {STEPS:,} steps; NumPy per run: "
        f"{NUMPY_PER_RUN[0]:,} x {NUMPY_PER_RUN[1]:,}; NumPy batched: {NUMPY_BATCHED[0]:,} x "
        f"{NUMPY_BATCHED[1]:,}; numba per run: {NUMBA_PER_RUN[0]:,} x {NUMBA_PER_RUN[1]:,}. "
        f"Figures are per run-step.",
        f"- Runs whose gap fell below 1e-08 within {STEPS:,} steps: {conv}.",
    ]


def cpu_seconds():
    """(busy CPU seconds of the whole machine, CPU seconds of this process) so far."""
    fields = [int(f) for f in Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:9]]
    busy = sum(fields) - fields[3] - fields[4]  # all but idle and iowait
    own = os.times()
    return busy / os.sysconf("SC_CLK_TCK"), own.user + own.system


def main():
    busy_before, own_before = cpu_seconds()
    t_start = time.perf_counter()
    print(
        "checking the yardsticks against ludovec (and compiling numba)...",
        file=sys.stderr,
        flush=True,
    )
    notes = verify()
    converged = {(name, n): converged_runs(name, n) for name in DYNAMICS for n in EXPLORATION_SIZES}
    cells, samples, steps_seen = measure()
    rows = summarise(cells, samples)
    busy_after, own_after = cpu_seconds()
    wall = time.perf_counter() - t_start
    others = ((busy_after - busy_before) - (own_after - own_before)) / (wall * os.cpu_count())
    text = table(rows)
    header = [
        *machine(),
        f"- {ROUNDS} shuffled rounds, {date.today().isoformat()}, {wall:.0f} s in all; other "
        f"processes used {max(others, 0.0):.0%} of the machine's CPU time meanwhile",
    ]
    if others > 0.05:
        header.append("- WARNING: other work competed for the processors; the figures are noisy")
    legend = (
        "ns per step (per run-step for explorations), median over rounds; in parentheses the "
        "median in-round ratio of that side's time to ludovec's (above 1: ludovec is faster)."
    )
    md = "\n".join(
        ["# Benchmark results", "", "Generated by `make bench` (bench/run.py); do not edit.", ""]
        + header
        + ["", legend, "", text, ""]
        + work_notes(cells, steps_seen, converged)
        + ["- " + n for n in notes]
        + [""]
    )
    RESULTS.write_text(md)
    print("\n".join(header))
    print()
    print(legend)
    print()
    print(text)
    print()
    print("\n".join(work_notes(cells, steps_seen, converged)))
    print(f"\nwritten to {RESULTS}")


if __name__ == "__main__":
    main()
