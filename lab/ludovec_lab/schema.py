"""The rows a study stores, and the constants they are read against, in one place."""

from __future__ import annotations

# A run converged when its gap fell strictly below this within the cap: the module's rule.
CONVERGENCE_THRESHOLD = 1e-8
# The exploration and stack columns, in the order the store keeps them.
EXPLORATION_COLUMNS = (
    "chunk",
    "index",
    "slice",
    "inner",
    "outer",
    "dynamic",
    "eta",
    "steps",
    "converged",
    "final_gap",
    "metric",
    "metric_below",
    "norm",
    "norm_max",
    "norm_infinity",
    "norm_frobenius",
)
# What a format-3 chunk file keeps of those: the columns that vary from run to run. The rest
# (constant within a chunk, or derived from these) is rebuilt from the plan on reading.
STORED_COLUMNS = (
    "steps",
    "converged",
    "final_gap",
    "metric",
    "norm_max",
    "norm_infinity",
    "norm_frobenius",
)
# What a grid's rows add: which game they ran on; ``start`` when a study has several starts.
GRID_COLUMNS = ("game", "game_id")
START_COLUMN = "start"
# A single run's row, before its tolerance columns and after them.
SINGLE_HEAD = ("run", "dynamic", "eta", "steps", "converged", "final_gap")
SINGLE_TAIL = ("distance", "value")


def tolerance_column(tol: float) -> str:
    """The column of a single run's first step with a gap below ``tol``."""
    return f"steps_to_{tol:g}"
