"""Studies over the ludovec module: described once, chunked, resumable, reproducible, saved.

    >>> import ludovec_lab as lab
    >>> study = lab.Study(kind="scattered", game="matching_pennies", dynamic="ogda", eta=0.1,
    ...                   num_steps=1000, num_runs=10_000, inner_radius=0.0, outer_radius=0.1,
    ...                   seed=1)
    >>> df = lab.run(study, store="pennies-store")

See ``ludovec_lab.store`` for the tables ``load`` and ``load_histories`` return.
"""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

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
from .study import Study, load_study, study_from_dict

if TYPE_CHECKING:
    import pandas as pd

    # Loaded on first use at run time (they import matplotlib): see __getattr__ below.
    from .views import plot_concentric as plot_concentric
    from .views import plot_gaps as plot_gaps
    from .views import plot_scattered as plot_scattered
    from .views import plot_stack as plot_stack
    from .views import report, summary

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


def perturbation(
    source: Study | Store | str | Path | pd.DataFrame, index: int, game: str | None = None
) -> npt.NDArray[np.float64]:
    """The perturbation matrix run ``index`` (the table's ``index`` column) of an exploration
    played, drawn again from the study's seed and that index alone (the same for every dynamic
    and step size of the study).

    ``source``: the store (a path or a ``Store``), a table ``load`` returned, or a Study with a
    seed. The game a run played is the study's matrix plus this one. In a grid, ``game`` (the
    row's ``game`` or ``game_id``) says which game's shape to draw for (the draws are the same
    for every game of a shape).

    >>> import ludovec_lab as lab
    >>> study = lab.Study(kind="scattered", game="matching_pennies", num_runs=4,
    ...                   inner_radius=0.0, outer_radius=0.1, seed=1)
    >>> lab.perturbation(study, 3).shape
    (2, 2)
    """
    from .runner import perturbation as draw
    from .store import FORMAT_VERSION

    if isinstance(source, Study):
        study, version = source, FORMAT_VERSION
    else:
        store = source if isinstance(source, Store) else None
        if store is None and isinstance(source, (str, Path)):
            store = Store.read(source)
        if store is None:  # a loaded table: its attrs name the store's study
            attrs = getattr(source, "attrs", {})
            if "study" not in attrs:
                raise StudyError("give a store, a table load() returned, or a Study")
            version, d = attrs.get("format_version", FORMAT_VERSION), attrs["study"]
            shape = tuple(d["shape"])
            if d.get("game_names") is not None:  # a grid: the named game's shape
                shape = tuple(d["shape"][_grid_index(d["game_names"], d["game_ids"], game)])
                d = {**d, "games": None, "starts": None}
            matrix = np.zeros(shape) if d["kind"] != "single" else np.eye(shape[0], shape[1])
            study = study_from_dict({**d, "game": None}, matrix)
        else:
            version, study = store.manifest["format_version"], store.study()
    g = 0
    if study.is_grid:
        g = _grid_index([x.name for x in study.grid], [x.id for x in study.grid], game)
        if version < FORMAT_VERSION:
            raise StoreError(
                f"the store is of format {version}: its runs were drawn by another law and "
                "cannot be drawn again; rerun the study into a new store to regenerate runs"
            )
    if study.kind not in ("scattered", "concentric") or study.seed is None:
        raise StudyError(
            "only an exploration (scattered or concentric) with a seed draws perturbations; "
            "give its store, its table or a Study with a seed"
        )
    return draw(study, int(index), g)


def _grid_index(names: list[str], ids: list[str], game: str | None) -> int:
    if game in names:
        return names.index(game)
    if game in ids:
        return ids.index(game)
    raise StudyError(
        f"{'no game' if game is None else repr(game)} in this grid: pass game= one of its "
        f"games ({', '.join(names[:5])}{', ...' if len(names) > 5 else ''})"
    )


def __getattr__(name: str) -> object:
    # The figures and tables live in views, which imports matplotlib: loaded on first use.
    if name in _VIEWS:
        from . import views

        return getattr(views, name)
    raise AttributeError(f"module 'ludovec_lab' has no attribute {name!r}")
