"""A tour of ludovec on rock-paper-scissors: single runs, then two perturbation explorations.

Prints a compact summary and saves a figure (gap histories, metric against perturbation
size, metric per slice). Run with `make demo`.
"""

import sys
import time
from pathlib import Path

import numpy as np

import ludovec

RPS = np.array([[0.0, 1.0, -1.0], [-1.0, 0.0, 1.0], [1.0, -1.0, 0.0]])
DYNAMICS = {"ogda": 0.1, "omwuoomd": 0.1, "omwuoftrl": 0.1}
SINGLE_STEPS = 20_000
RUNS, RUN_STEPS = 4_000, 2_000
SLICES = 8
FIGURE = Path("demo-output") / "ludovec-demo.png"


def stage(text):
    print(f"\n== {text}", flush=True)


def steps_performed(gaps):
    below = np.flatnonzero(gaps < 1e-08)
    return int(below[0]) + 1 if below.size else None


def single_runs():
    stage(f"Single runs on rock-paper-scissors from x = (0.6, 0.3, 0.1), up to {SINGLE_STEPS:,} steps")
    histories = {}
    for name, eta in DYNAMICS.items():
        state = ludovec.GameState(np.array([0.6, 0.3, 0.1]), np.full(3, 1 / 3), RPS)
        optimizer = getattr(ludovec.Optimizer, name)(eta, 3)
        t0 = time.perf_counter()
        result = ludovec.Experiment(state, optimizer, SINGLE_STEPS).run_experiment_until_convergence_in_place()
        elapsed = time.perf_counter() - t0
        gaps = result.gaps_history
        performed = steps_performed(gaps)
        verdict = f"converged after {performed:,} steps" if performed else "did not converge"
        print(f"  {name:<10} eta={eta:<5} {verdict:<28} final gap {gaps[-1]:.2e}  ({elapsed * 1e3:.1f} ms)")
        histories[name] = gaps[: performed or SINGLE_STEPS]
    return histories


def scattered():
    stage(f"Scattered exploration: {RUNS:,} perturbed games x {RUN_STEPS:,} steps (ogda), radii 0.01 to 0.5")
    t0 = time.perf_counter()
    out = ludovec.scattered_exploration(
        RPS, ludovec.Optimizer.ogda(0.1, 3), RUNS, RUN_STEPS, 0.01, 0.5, "frobenius", "max_last"
    )
    elapsed = time.perf_counter() - t0
    norms, metrics = out.norms, out.metrics
    converged = np.mean(metrics < 1e-08)
    print(f"  {RUNS:,} runs in {elapsed:.2f} s; Frobenius norm of the perturbation {norms.min():.3f} to {norms.max():.3f}")
    print(f"  max gap over the last 10% of each run: median {np.median(metrics):.2e}, "
          f"whole tail below 1e-08 (converged) in {converged:.0%} of the runs")
    return norms, metrics


def concentric():
    stage(f"Concentric exploration: {SLICES} slices of radii 0 to 1, {RUNS // SLICES:,} runs each (omwuoomd)")
    t0 = time.perf_counter()
    out = ludovec.concentric_exploration(
        RPS, ludovec.Optimizer.omwuoomd(0.1, 3), RUNS, RUN_STEPS, 0.0, 1.0, SLICES, "var_last", cutoff=0.2
    )
    elapsed = time.perf_counter() - t0
    print(f"  done in {elapsed:.2f} s; variance of the gap over the last 20% of each run:")
    print(f"  {'slice':<15} {'median':>10} {'25%':>10} {'75%':>10}")
    for (lo, hi), row in zip(out.slice_boundaries, out.metrics):
        q1, med, q3 = np.quantile(row, [0.25, 0.5, 0.75])
        print(f"  [{lo:.3f}, {hi:.3f}] {med:>10.2e} {q1:>10.2e} {q3:>10.2e}")
    return out.slice_boundaries, out.metrics


def save_figure(histories, scattered_out, concentric_out):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 3, figsize=(16, 4.5))
    for name, gaps in histories.items():
        axes[0].semilogy(np.maximum(gaps, 1e-17), label=name)
    axes[0].axhline(1e-08, color="grey", linestyle=":", label="threshold")
    axes[0].set(title="Duality gap, rock-paper-scissors", xlabel="step", ylabel="gap")
    axes[0].legend()

    norms, metrics = scattered_out
    axes[1].scatter(norms, np.maximum(metrics, 1e-17), s=3, alpha=0.4)
    axes[1].set(yscale="log", title="Scattered: ogda", xlabel="Frobenius norm of perturbation",
                ylabel="max gap, last 10%")

    bounds, per_slice = concentric_out
    centres = bounds.mean(axis=1)
    axes[2].boxplot(list(np.maximum(per_slice, 1e-30)), positions=centres, widths=0.8 / len(centres),
                    showfliers=False, manage_ticks=False)
    axes[2].set(yscale="log", xlim=(bounds[0, 0], bounds[-1, 1]), title="Concentric: omwuoomd",
                xlabel="perturbation radius (slice)", ylabel="gap variance, last 20%")
    fig.tight_layout()
    FIGURE.parent.mkdir(exist_ok=True)
    fig.savefig(FIGURE, dpi=110)
    print(f"\nFigure saved to {FIGURE.resolve()}")


def main():
    t0 = time.perf_counter()
    histories = single_runs()
    scattered_out = scattered()
    concentric_out = concentric()
    stage("Figure")
    save_figure(histories, scattered_out, concentric_out)
    print(f"Demo finished in {time.perf_counter() - t0:.1f} s")


if __name__ == "__main__":
    sys.exit(main())
