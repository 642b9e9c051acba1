"""Instructions per step of single Experiment runs, counted by callgrind.

For every dynamic and game size, one interpreter under callgrind runs a one-step warm-up, then
a short and a long Experiment on a game the dynamic does not solve in that many steps; only the
Python method that runs it is counted (argument handling, the native run, the wrapping of the
result), and each call is dumped on its own. The budget per step is (long - short) / (extra
steps), so the fixed costs of a call cancel. Instruction counts do not depend on the machine's load.
Valgrind does not run AVX-512, so the exponentials are counted on their AVX2 path.

Explorations (`--explorations`): instructions per run-step of a scattered exploration on one
worker, counted inside the chunks (perturbations, steps, metrics), as the difference of two
explorations of the same runs, one with more steps than the other (so what a run costs once,
its perturbation included, cancels).

    make budgets    # both, or by hand:
    PYTHONPATH=build/dev .venv/bin/python bench/callgrind_budget.py [--sizes 2 10 100]
    PYTHONPATH=build/dev .venv/bin/python bench/callgrind_budget.py --explorations
"""

import argparse
import glob
import os
import subprocess
import sys
import tempfile

DYNAMICS = ("ogda", "omwuoomd", "omwuoftrl")
ETA = 1e-3
# (short, long) step counts: enough extra steps that the per-step figure is exact to a unit.
STEPS = {2: (200, 5200), 3: (200, 5200), 4: (200, 5200), 10: (100, 2100), 100: (10, 210)}
BUDGET = {
    2: {"ogda": 300, "omwuoomd": 550, "omwuoftrl": 500},
    10: {"ogda": 2_800, "omwuoomd": 2_750, "omwuoftrl": 2_300},
    100: {"ogda": 53_000, "omwuoomd": 37_500, "omwuoftrl": 35_000},
}
# Explorations: runs, (short, long) steps, and the budget per run-step on one worker.
EXPLORATION_RUNS = 64  # chunks of 16 on one worker: every lane busy
EXPLORATION_STEPS = (20, 220)
EXPLORATION_ETA = 0.01
EXPLORATION_BUDGET = {
    5: {"ogda": 220, "omwuoomd": 285, "omwuoftrl": 265},
    10: {"ogda": 520, "omwuoomd": 605, "omwuoftrl": 560},
    30: {"ogda": 4_100, "omwuoomd": 3_200, "omwuoftrl": 3_000},
}
# Counted: a chunk's runs on the pool's worker, in lanes or (games the lanes do not take) one
# at a time; dumped after the Python function, which returns once the batch is done.
EXPLORATION_COUNTED = ("*::run_*_lanes<*", "*Exploration::execute_clean_run*")
EXPLORATION_DUMPED = "*ffi*scattered_exploration*"
# The Python method behind Experiment.run_experiment_until_convergence_in_place. Callgrind
# keeps one setting per pattern, so collecting and dumping name it by two patterns.
COUNTED = "*ffi*run_in_place*"
DUMPED = "*run_in_place*"


def game(n):
    import numpy as np

    if n == 2:
        return np.array([[2.0, -1.0], [-1.0, 1.0]])  # mixed equilibrium away from uniform
    return np.random.default_rng(n).standard_normal((n, n))


def child(size, dynamic):
    """Runs the short and then the long experiment; each call becomes one callgrind dump."""
    import numpy as np

    import ludovec

    a = game(size)
    # A first one-step run pays what a process pays once (the check of the vector exp), so
    # that it falls outside the difference of the two counted runs.
    for steps in (1, *STEPS[size]):
        x = np.zeros(size)
        x[0] = 1.0
        state = ludovec.GameState(x, np.full(size, 1.0 / size), a)
        optimizer = getattr(ludovec.Optimizer, dynamic)(ETA, size)
        result = ludovec.Experiment(
            state, optimizer, steps
        ).run_experiment_until_convergence_in_place()
        if (result.gaps_history < 1e-08).any():
            sys.exit(f"{dynamic} converged on the {size} x {size} game: the count would be short")


def exploration_child(size, dynamic):
    """Runs the short and then the long exploration; each becomes one callgrind dump."""
    import ludovec

    a = game(size)
    for steps in (1, *EXPLORATION_STEPS):
        opt = getattr(ludovec.Optimizer, dynamic)(EXPLORATION_ETA, size)
        out = ludovec.scattered_exploration(
            a, opt, EXPLORATION_RUNS, steps, 0.01, 0.1, "frobenius", "max_last", 0.5 / steps
        )
        if (out.metrics < 1e-08).any():
            sys.exit(f"{dynamic} converged on the {size} x {size} game: the count would be short")


def dumped_totals(prefix):
    """Total instructions of each dump, in dump order (file names end in .1, .2, ...)."""
    totals = []
    paths = [p for p in glob.glob(prefix + ".*") if p.rsplit(".", 1)[1].isdigit()]
    for path in sorted(paths, key=lambda p: int(p.rsplit(".", 1)[1])):
        with open(path) as f:
            for line in f:
                if line.startswith(("summary:", "totals:")):
                    totals.append(int(line.split()[1]))
                    break
    return totals


def per_step(size, dynamic, exploration=False):
    if exploration:
        counted, dumped = EXPLORATION_COUNTED, EXPLORATION_DUMPED
    else:
        counted, dumped = (COUNTED,), DUMPED
    with tempfile.TemporaryDirectory() as tmp:
        prefix = os.path.join(tmp, "cg")
        command = [
            "valgrind",
            "--tool=callgrind",
            f"--callgrind-out-file={prefix}",
            "--collect-atstart=no",
            *(f"--toggle-collect={c}" for c in counted),
            f"--dump-after={dumped}",
            sys.executable,
            __file__,
            "--child",
            str(size),
            dynamic,
        ]
        if exploration:
            command.append("--explorations")
        env = dict(os.environ, PYTHONHASHSEED="0", RAYON_NUM_THREADS="1")
        done = subprocess.run(command, env=env, capture_output=True, text=True)
        if done.returncode != 0:
            sys.exit(done.stderr[-3000:])
        totals = dumped_totals(prefix)
    if exploration:
        # The pattern also names the function's inner lambda and, at import, its definition:
        # the last six dumps are two per exploration.
        pairs = zip(totals[-6::2], totals[-5::2], strict=True) if len(totals) >= 6 else []
        totals = [a + b for a, b in pairs]
    if len(totals) != 3:
        sys.exit(
            f"expected three dumps, found {len(totals)}: is {counted[0]} in the module's symbols?"
        )
    if exploration:
        short, long = EXPLORATION_STEPS
        return (totals[2] - totals[1]) / (EXPLORATION_RUNS * (long - short))
    short, long = STEPS[size]
    return (totals[2] - totals[1]) / (long - short)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[2, 10, 100])
    parser.add_argument(
        "--explorations",
        action="store_true",
        help="count explorations per run-step (default sizes 5 10 30)",
    )
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        run = exploration_child if args.explorations else child
        run(int(args.child[0]), args.child[1])
        return
    budgets = EXPLORATION_BUDGET if args.explorations else BUDGET
    sizes = args.sizes
    if args.explorations and sizes == parser.get_default("sizes"):
        sizes = sorted(EXPLORATION_BUDGET)

    print(f"{'game':>8} " + " ".join(f"{d:>18}" for d in DYNAMICS))
    for n in sizes:
        cells = []
        for dynamic in DYNAMICS:
            count = per_step(n, dynamic, args.explorations)
            budget = budgets.get(n, {}).get(dynamic)
            mark = "" if budget is None else (" ok" if count <= budget else " OVER")
            cells.append(f"{count:>10,.0f}" + (f" /{budget:>6,}" if budget else "") + mark)
        print(f"{f'{n}x{n}':>8} " + " ".join(f"{c:>18}" for c in cells), flush=True)


if __name__ == "__main__":
    main()
