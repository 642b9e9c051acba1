"""Steps per second of single runs: ludovec against plain NumPy, in one process.

Rounds are shuffled; each cell is the median over rounds of the time per performed step, and
the ratio is taken within each round before the median, so machine noise cancels.
Run with `make bench`.
"""

import random
import statistics
import sys
import time
from pathlib import Path

import numpy as np

import ludovec

sys.path.insert(0, str(Path(__file__).parent))
import numpy_dynamics  # noqa: E402

SIZES = (2, 10, 100)
ROUNDS = 5
ETA = 1e-3
# Enough steps for a few milliseconds of work per measurement.
NATIVE_STEPS = {2: 200_000, 10: 50_000, 100: 2_000}
NUMPY_STEPS = {2: 2_000, 10: 1_000, 100: 200}


def game(n):
    """A game that the dynamics do not solve within the measured steps at this step size."""
    if n == 2:
        return np.array([[2.0, -1.0], [-1.0, 1.0]])  # mixed equilibrium away from uniform
    return np.random.default_rng(n).standard_normal((n, n))


def start(n):
    x = np.zeros(n)
    x[0] = 1.0
    return x, np.full(n, 1.0 / n)


def time_native(name, a, steps):
    x, y = start(a.shape[0])
    state = ludovec.GameState(x, y, a)
    opt = getattr(ludovec.Optimizer, name)(ETA, a.shape[0])
    experiment = ludovec.Experiment(state, opt, steps)
    t0 = time.perf_counter()
    result = experiment.run_experiment_until_convergence_in_place()
    elapsed = time.perf_counter() - t0
    return elapsed / performed_steps(result.gaps_history)


def time_numpy(name, a, steps):
    x, y = start(a.shape[0])
    t0 = time.perf_counter()
    performed = numpy_dynamics.run(name, a, x, y, ETA, steps)
    return (time.perf_counter() - t0) / performed


def performed_steps(gaps):
    below = np.flatnonzero(gaps < numpy_dynamics.THRESHOLD)
    return below[0] + 1 if below.size else gaps.size


def main():
    cells = [(name, n) for name in numpy_dynamics.DYNAMICS for n in SIZES]
    samples = {cell: [] for cell in cells}
    for r in range(ROUNDS):
        print(f"round {r + 1}/{ROUNDS}", file=sys.stderr)
        random.shuffle(cells)
        for name, n in cells:
            a = game(n)
            native = time_native(name, a, NATIVE_STEPS[n])
            plain = time_numpy(name, a, NUMPY_STEPS[n])
            samples[name, n].append((native, plain))

    print(f"{'dynamic':<10} {'game':>8} {'ludovec ns/step':>16} {'NumPy ns/step':>14} {'ratio':>8}")
    for name in numpy_dynamics.DYNAMICS:
        for n in SIZES:
            s = samples[name, n]
            native = statistics.median(t for t, _ in s) * 1e9
            plain = statistics.median(p for _, p in s) * 1e9
            ratio = statistics.median(p / t for t, p in s)
            print(f"{name:<10} {f'{n}x{n}':>8} {native:>16,.0f} {plain:>14,.0f} {ratio:>7,.0f}x")


if __name__ == "__main__":
    main()
