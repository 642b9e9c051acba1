"""One chunk in, its result columns out, through the module's public API only.

- Unseeded explorations call the module's ``scattered_exploration`` once per chunk with the
  chunk's band (a concentric slice is one band, so its chunks run exactly the module's slice).
- Seeded explorations draw the chunk's perturbations with NumPy (``reduce``) and run each
  perturbed game from the uniform strategies with a fresh optimizer: 2 x 2 games all at once
  through ``neighborhood_exploration`` (which starts from (0.5, 0.5) and clones the optimizer
  without resetting it, so a fresh one is passed), larger games one ``Experiment`` each.
- Stack studies run their matrices the same way, without drawing.
- Single runs are stepped in segments of one ``Experiment`` each: the state and the optimizer
  carry over between segments, so the run is the one long run, without its full histories.

Results are plain NumPy arrays in a dict, cheap to send back from a worker process.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

import ludovec

from . import games, reduce
from .plan import Chunk
from .study import Study

CONVERGENCE = 1e-8  # the module's own: a run stops at its first gap strictly below it

Progress = Callable[[int], None] | None


def optimizer(dynamic: str, eta: float, dim: int) -> ludovec.Optimizer:
    made: ludovec.Optimizer = getattr(ludovec.Optimizer, dynamic)(eta, dim)
    return made


def tolerance_column(tol: float) -> str:
    return f"steps_to_{tol:g}"


def run_games(
    matrices: np.ndarray, dynamic: str, eta: float, num_steps: int, normalize: bool = False
) -> np.ndarray:
    """The gap history of a fresh run on each matrix, from the uniform strategies."""
    k, m, n = matrices.shape
    if k == 0:
        return np.zeros((0, num_steps))
    if (m, n) == (2, 2):
        results: list[Any] = ludovec.neighborhood_exploration(
            np.ascontiguousarray(matrices), optimizer(dynamic, eta, 2), num_steps, bool(normalize)
        )
        gaps = np.empty((k, num_steps))
        for i, r in enumerate(results):
            gaps[i] = r.gaps_history
            results[i] = None  # release each run's histories as soon as they are read
        return gaps
    if normalize:
        matrices = reduce.normalized(matrices)
    gaps = np.empty((k, num_steps))
    zx, zy = np.zeros(m), np.zeros(n)  # projecting zeros gives exactly 1/m, as from_matrix does
    for i in range(k):
        state = ludovec.GameState(zx, zy, np.ascontiguousarray(matrices[i]))
        exp = ludovec.Experiment(state, optimizer(dynamic, eta, m), num_steps)
        gaps[i] = exp.run_experiment_until_convergence_in_place().gaps_history
    return gaps


def perturbations(study: Study, chunk: Chunk) -> np.ndarray:
    """The perturbation matrices of a seeded chunk, regenerated from (seed, chunk)."""
    if study.seed is None or study.kind not in ("scattered", "concentric"):
        raise ValueError("only seeded explorations draw reproducible perturbations")
    rng = np.random.Generator(np.random.PCG64(chunk.seed_sequence(study.seed)))
    low, scale = reduce.band(chunk.inner, chunk.outer)
    return reduce.draw_perturbations(rng, chunk.count, study.payoff.shape, low, scale)


def run_chunk(study: Study, chunk: Chunk, progress: Progress = None) -> dict[str, Any]:
    if study.kind == "single":
        return _single(study, chunk, progress)
    base = study.payoff
    norm = "max" if study.kind == "concentric" else study.norm
    if study.kind == "stack":
        mats = base[chunk.start : chunk.start + chunk.count]
        gaps = run_games(mats, chunk.dynamic, chunk.eta, study.num_steps, study.normalize)
        metric = reduce.metrics(gaps, study.metric, study.cutoff)
        norms = np.full(chunk.count, np.nan)
    elif study.seeded:
        p = perturbations(study, chunk)
        norms = reduce.norms(p, norm)
        gaps = run_games(p + base, chunk.dynamic, chunk.eta, study.num_steps)
        del p
        metric = reduce.metrics(gaps, study.metric, study.cutoff)
    else:
        out = ludovec.scattered_exploration(
            base,
            optimizer(chunk.dynamic, chunk.eta, base.shape[0]),
            chunk.count,
            study.num_steps,
            chunk.inner,
            chunk.outer,
            norm,
            study.metric,
            study.cutoff,
        )
        norms, metric = np.asarray(out.norms), np.asarray(out.metrics)
    if progress:
        progress(chunk.count)
    k = chunk.count
    return {
        "chunk": np.full(k, chunk.id, dtype=np.int64),
        "index": np.arange(chunk.index0, chunk.index0 + k, dtype=np.int64),
        "slice": np.full(k, chunk.slice, dtype=np.int64),
        "inner": np.full(k, chunk.inner),
        "outer": np.full(k, chunk.outer),
        "norm": norms.astype(np.float64, copy=False),
        "metric": metric.astype(np.float64, copy=False),
        "converged": metric < study.threshold,
        "dynamic": np.full(k, chunk.dynamic, dtype=object),
        "eta": np.full(k, chunk.eta),
    }


def kept_steps(study: Study) -> np.ndarray:
    """The 1-based steps a single run's decimated history keeps (its last step is added)."""
    n = study.num_steps
    if study.decimation == "log":
        pts = np.geomspace(1, n, num=min(study.history_points, n))
        return np.unique(np.rint(pts).astype(np.int64))
    return np.arange(1, n + 1, study.decimation, dtype=np.int64)


def _single(study: Study, chunk: Chunk, progress: Progress) -> dict[str, Any]:
    base = study.payoff
    m, n = base.shape
    state = ludovec.GameState(np.zeros(m), np.zeros(n), base)
    opt = optimizer(chunk.dynamic, chunk.eta, m)
    keep = kept_steps(study)
    tols = study.tolerances
    first: dict[float, int | None] = {t: None for t in tols}
    steps_out, gaps_out = [], []
    done, converged = 0, False
    final_gap, last_x, last_y = np.nan, None, None
    while done < study.num_steps and not converged:
        seg = min(study.segment_steps, study.num_steps - done)
        res = ludovec.Experiment(state, opt, seg).run_experiment_until_convergence_in_place()
        g = res.gaps_history
        below = np.flatnonzero(g < CONVERGENCE)
        performed = int(below[0]) + 1 if below.size else seg
        g = g[:performed]
        for t in tols:
            if first[t] is None:
                hit = np.flatnonzero(g < t)
                if hit.size:
                    first[t] = done + int(hit[0]) + 1
        lo, hi = np.searchsorted(keep, [done + 1, done + performed + 1])
        steps_out.append(keep[lo:hi])
        gaps_out.append(g[keep[lo:hi] - done - 1])
        final_gap = float(g[-1])
        last_x, last_y = res.x_history[performed - 1], res.y_history[performed - 1]
        del res
        done += performed
        converged = below.size > 0
        if progress:
            progress(seg if not converged else study.num_steps - (done - performed))
    steps = np.concatenate(steps_out)
    gaps = np.concatenate(gaps_out)
    if steps.size == 0 or steps[-1] != done:  # the last performed step is always kept
        steps = np.append(steps, done)
        gaps = np.append(gaps, final_gap)
    eq = games.equilibrium(base)
    assert last_x is not None and last_y is not None  # the loop ran at least once
    distance = games.distance_to_equilibria(base, last_x, last_y, eq.value)
    out: dict[str, Any] = {
        "run": np.array([chunk.start], dtype=np.int64),
        "dynamic": np.array([chunk.dynamic], dtype=object),
        "eta": np.array([chunk.eta]),
        "steps": np.array([done], dtype=np.int64),
        "converged": np.array([converged]),
        "final_gap": np.array([final_gap]),
    }
    for t in tols:
        out[tolerance_column(t)] = np.array([-1 if first[t] is None else first[t]], dtype=np.int64)
    out["distance"] = np.array([distance])
    out["value"] = np.array([eq.value])
    out["_history"] = {"step": steps.astype(np.int64), "gap": gaps}
    return out
