"""Studies over the ludovec module: described once, chunked, resumable, reproducible, saved.

    >>> import ludovec_lab as lab
    >>> study = lab.Study(kind="scattered", game="matching_pennies", dynamic="ogda", eta=0.1,
    ...                   num_steps=1000, num_runs=10_000, inner_radius=0.0, outer_radius=0.1,
    ...                   seed=1)
    >>> df = lab.run(study, store="pennies-store")

See ``ludovec_lab.store`` for the tables ``load`` and ``load_histories`` return.
"""

from typing import TYPE_CHECKING, Any

from .errors import ExecutorError, LabError, StoreError, StudyError
from .executors import connect, run
from .games import (
    CLASSIC_GAMES,
    Equilibrium,
    classic_game,
    distance_to_equilibria,
    equilibrium,
    read_matrix,
)
from .plan import Chunk, make_plan
from .store import Store, load, load_histories
from .study import Study, load_study

if TYPE_CHECKING:
    import numpy as np

__all__ = [
    "CLASSIC_GAMES",
    "Chunk",
    "Equilibrium",
    "ExecutorError",
    "LabError",
    "Store",
    "StoreError",
    "Study",
    "StudyError",
    "classic_game",
    "connect",
    "distance_to_equilibria",
    "equilibrium",
    "load",
    "load_histories",
    "load_study",
    "make_plan",
    "perturbation",
    "read_matrix",
    "report",
    "run",
    "summary",
]

_VIEWS = ("summary", "report", "plot_gaps", "plot_scattered", "plot_concentric", "plot_stack")


def perturbation(study: Study, chunk: int, index: int) -> "np.ndarray":
    """The perturbation matrix behind run ``index`` (the table's ``index`` column) of chunk
    ``chunk`` of a seeded exploration, regenerated from the seed."""
    from .runner import perturbations

    plan = make_plan(study)
    if not 0 <= chunk < len(plan):
        raise IndexError(f"chunk {chunk} is not in the plan (0 to {len(plan) - 1})")
    c = plan[chunk]
    if not c.index0 <= index < c.index0 + c.count:
        raise IndexError(
            f"run {index} is not in chunk {chunk} (runs {c.index0} to {c.index0 + c.count - 1})"
        )
    matrix: np.ndarray = perturbations(study, c)[index - c.index0]
    return matrix


def __getattr__(name: str) -> Any:
    # The figures and tables live in views, which imports matplotlib: loaded on first use.
    if name in _VIEWS:
        from . import views

        return getattr(views, name)
    raise AttributeError(f"module 'ludovec_lab' has no attribute {name!r}")
