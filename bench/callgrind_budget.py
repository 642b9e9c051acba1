"""Instructions per step of single Experiment runs, counted by callgrind.

For every dynamic and game size, one interpreter under callgrind runs a one-step warm-up, then
a short and a long Experiment on a game the dynamic does not solve in that many steps; only the
Python method that runs it is counted (argument handling, the native run, the wrapping of the
result), and each call is dumped on its own. The budget per step is (long - short) / (extra
steps), so the fixed costs of a call cancel. Instruction counts do not depend on the machine's load.

    make budgets
    # or: PYTHONPATH=build/dev .venv/bin/python bench/callgrind_budget.py [--sizes 2 10 100]
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


def per_step(size, dynamic):
    with tempfile.TemporaryDirectory() as tmp:
        prefix = os.path.join(tmp, "cg")
        command = [
            "valgrind",
            "--tool=callgrind",
            f"--callgrind-out-file={prefix}",
            "--collect-atstart=no",
            f"--toggle-collect={COUNTED}",
            f"--dump-after={DUMPED}",
            sys.executable,
            __file__,
            "--child",
            str(size),
            dynamic,
        ]
        env = dict(os.environ, PYTHONHASHSEED="0")
        done = subprocess.run(command, env=env, capture_output=True, text=True)
        if done.returncode != 0:
            sys.exit(done.stderr[-3000:])
        totals = dumped_totals(prefix)
    if len(totals) != 3:
        sys.exit(
            f"expected three dumps, found {len(totals)}: is {COUNTED} in the module's symbols?"
        )
    short, long = STEPS[size]
    return (totals[2] - totals[1]) / (long - short)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[2, 10, 100])
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(int(args.child[0]), args.child[1])
        return

    print(f"{'game':>8} " + " ".join(f"{d:>18}" for d in DYNAMICS))
    for n in args.sizes:
        cells = []
        for dynamic in DYNAMICS:
            count = per_step(n, dynamic)
            budget = BUDGET.get(n, {}).get(dynamic)
            mark = "" if budget is None else (" ok" if count <= budget else " OVER")
            cells.append(f"{count:>10,.0f}" + (f" /{budget:>6,}" if budget else "") + mark)
        print(f"{f'{n}x{n}':>8} " + " ".join(f"{c:>18}" for c in cells), flush=True)


if __name__ == "__main__":
    main()
