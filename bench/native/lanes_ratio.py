"""Lanes seen from Python: a 2 x 2 Ogda scattered exploration on one worker, per run-step,
against a single Experiment run of the same game, per step, measured round by round in one
process (the worker count is fixed before the first exploration builds the pool).

    PYTHONPATH=build/dev .venv/bin/python bench/native/lanes_ratio.py [rounds]
"""

import os
import statistics
import sys
import time

os.environ["RAYON_NUM_THREADS"] = "1"

import numpy as np

import ludovec

ETA = 1e-3
GAME = np.array([[2.0, -1.0], [-1.0, 1.0]])  # mixed equilibrium away from uniform
RUNS, STEPS = 20_000, 1_000
SINGLE_STEPS = 200_000


def exploration_per_run_step():
    opt = ludovec.Optimizer.ogda(ETA, 2)
    t0 = time.perf_counter()
    # With the tail starting at the last gap, each metric is that gap: below the threshold
    # exactly when the run converged, which would make the per-step figure wrong.
    out = ludovec.scattered_exploration(
        GAME, opt, RUNS, STEPS, 0.01, 0.02, "max", "max_last", 0.5 / STEPS
    )
    seconds = time.perf_counter() - t0
    assert (out.metrics >= 1e-08).all(), "a run converged early"
    return seconds / (RUNS * STEPS)


def single_run_per_step():
    state = ludovec.GameState(np.array([1.0, 0.0]), np.full(2, 0.5), GAME)
    experiment = ludovec.Experiment(state, ludovec.Optimizer.ogda(ETA, 2), SINGLE_STEPS)
    t0 = time.perf_counter()
    gaps = experiment.run_experiment_until_convergence_in_place().gaps_history
    seconds = time.perf_counter() - t0
    assert (gaps >= 1e-08).all(), "the single run converged early"
    return seconds / SINGLE_STEPS


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    lanes, single, ratios = [], [], []
    for _ in range(rounds):
        lane = exploration_per_run_step()
        one = single_run_per_step()
        lanes.append(lane)
        single.append(one)
        ratios.append(lane / one)
    print(f"scattered exploration, 1 worker: {statistics.median(lanes) * 1e9:6.2f} ns/run-step")
    print(f"single Experiment run:           {statistics.median(single) * 1e9:6.2f} ns/step")
    print(f"ratio (median of rounds):        {statistics.median(ratios):6.2f}")


if __name__ == "__main__":
    main()
