"""The study layer's native entry: batches of runs with one record each, without the GIL."""

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

class EngineError(RuntimeError):
    """A run met what the step rules stop on; the message is the module's (e.g. NaN encountered)."""

def run_batch(
    *,
    dynamic: str,
    eta: float,
    num_steps: int,
    base: NDArray[np.float64] | None = None,
    seed: int | None = None,
    first_run: int = 0,
    count: int = 0,
    inner: float = 0.0,
    outer: float = 0.0,
    stack: NDArray[np.float64] | None = None,
    normalize: bool = False,
    x0: NDArray[np.float64] | None = None,
    y0: NDArray[np.float64] | None = None,
    metric: str = "max_last",
    cutoff: float = 0.1,
    keep: NDArray[np.int64] | Sequence[int] | None = None,
    keep_steps: NDArray[np.int64] | Sequence[int] | None = None,
    tolerances: Sequence[float] = (),
    progress: Callable[[int], object] | None = None,
) -> dict[str, Any]:
    """Run `count` games (base + the seeded perturbation of run first_run + k, or the stack's
    matrices) and return one record per run.

    Keys: "steps" (int64), "converged" (bool), "final_gap", "metric", "norm_max",
    "norm_infinity", "norm_frobenius" (float64; the norms are NaN for a stack), each of length
    count, and "kept": one dict per index of `keep` with "step", "gap", "x", "y", "x_final",
    "y_final" and "tolerance_steps". Given starts are projected onto the simplex, as
    ludovec.GameState projects them; the default start is uniform (1/m, 1/n).
    """

def perturbation(
    *, seed: int, run: int, shape: tuple[int, int], inner: float, outer: float
) -> NDArray[np.float64]:
    """The perturbation run `run` of a study seeded with `seed` plays, as run_batch draws it."""
