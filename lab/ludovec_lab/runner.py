"""One chunk in, its result columns out, through the lab's native entry ``_engine.run_batch``.

- Explorations: one call per chunk on the base game, run ``index0 + k`` of the chunk playing
  the perturbation drawn from (seed, ``index0 + k``): any run is drawn again from those two
  numbers alone, whichever chunk, executor or worker ran it.
- Stacks: one call on the chunk's matrices.
- Single runs: a one-matrix stack keeping the run's trajectory at the decimated steps, with the
  first steps below each tolerance; the distance to the equilibria is measured here from the
  strategies of the last performed step.

The call runs without the interpreter lock; ``progress`` is called on this thread with the
run-steps done since its last call, and an exception it raises cancels the chunk. Results are
plain NumPy arrays in a dict, cheap to send back from a worker process.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

from .plan import Chunk
from .schema import EXPLORATION_COLUMNS, tolerance_column
from .study import Study

Progress = Callable[[int], object] | None
__all__ = ["EXPLORATION_COLUMNS", "kept_steps", "perturbation", "run_chunk", "tolerance_column"]


def kept_steps(study: Study) -> npt.NDArray[np.int64]:
    """The 1-based steps a single run's decimated history keeps (its last step is added)."""
    n = study.num_steps
    if study.decimation == "log":
        pts = np.geomspace(1, n, num=min(study.history_points, n))
        return np.unique(np.rint(pts).astype(np.int64))
    return np.arange(1, n + 1, study.decimation, dtype=np.int64)


def _counter(progress: Progress) -> Callable[[int], object] | None:
    """Turns the engine's running total of run-steps into increments for ``progress``."""
    if progress is None:
        return None
    done = 0

    def tick(total: int) -> object:
        nonlocal done
        if total > done:
            step, done = total - done, total
            return progress(step)
        return None

    return tick


def _starts(study: Study, point: int = 0) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for name, v in zip(("x0", "y0"), study.start_points[point], strict=True):
        if v is not None:
            out[name] = np.array(v, dtype=np.float64)
    return out


def perturbation(study: Study, index: int, game: int = 0) -> npt.NDArray[np.float64]:
    """The perturbation run ``index`` of a seeded exploration plays (on the grid's game number
    ``game``), drawn again."""
    from . import _engine
    from .plan import bands

    if not study.kind_type.draws or study.seed is None:
        raise ValueError("only explorations with a seed draw perturbations")
    total = study.runs_per_slice * len(bands(study))
    if not 0 <= index < total:
        raise IndexError(f"run {index} is not in the study (runs 0 to {total - 1})")
    inner, outer = bands(study)[index // study.runs_per_slice]
    p: npt.NDArray[np.float64] = _engine.perturbation(
        seed=study.seed, run=index, shape=study.grid[game].shape, inner=inner, outer=outer
    )
    return p


def run_chunk(study: Study, chunk: Chunk, progress: Progress = None) -> dict[str, Any]:
    """One chunk's rows, as the study's kind runs it."""
    return study.kind_type.run(study, chunk, progress)


def _single(study: Study, chunk: Chunk, out: dict[str, Any]) -> dict[str, Any]:
    from . import games

    base = study.payoff
    kept = out["kept"][0]
    eq = games.equilibrium(base)
    distance = games.distance_to_equilibria(base, kept["x_final"], kept["y_final"], eq.value)
    rows: dict[str, Any] = {
        "run": np.array([chunk.start], dtype=np.int64),
        "dynamic": np.array([chunk.dynamic], dtype=object),
        "eta": np.array([chunk.eta]),
        "steps": np.asarray(out["steps"], dtype=np.int64),
        "converged": np.asarray(out["converged"], dtype=bool),
        "final_gap": np.asarray(out["final_gap"], dtype=np.float64),
    }
    for t, first in zip(study.tolerances, kept["tolerance_steps"], strict=True):
        rows[tolerance_column(t)] = np.array([first], dtype=np.int64)
    rows["distance"] = np.array([distance])
    rows["value"] = np.array([eq.value])
    history: dict[str, Any] = {
        "step": np.asarray(kept["step"], dtype=np.int64),
        "gap": np.asarray(kept["gap"], dtype=np.float64),
    }
    for player in ("x", "y"):
        path = np.asarray(kept[player], dtype=np.float64)
        for i in range(path.shape[1]):
            history[f"{player}_{i}"] = np.ascontiguousarray(path[:, i])
    rows["_history"] = history
    return rows
