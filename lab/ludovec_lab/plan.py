"""The plan: a study cut into chunks, fixed by the description alone.

Chunks are numbered in one order (game, dynamic, step size, slice, start point, runs); any
executor may run them in any order and the store keys results by chunk number. A run's
perturbation is drawn from the study's seed and the run's ``index`` alone, so every (dynamic,
step size) pair meets the same perturbations (a paired comparison) and any run can be drawn
again by itself. The games of a grid (and its start points) meet the same draws too: a grid's
chunks for one game are the chunks of the study of that game alone.
"""

from __future__ import annotations

from dataclasses import dataclass

from .study import Study


@dataclass(frozen=True)
class Chunk:
    """One unit of work: ``count`` consecutive runs of one game, dynamic, step size, slice and
    start point (``game`` and ``point`` index the study's ``grid`` and ``start_points``).

    ``start`` is the first run's index within its slice; ``index0`` the first run's index
    within the study's runs for this (dynamic, step size) pair. For single runs a chunk is one
    run and ``start`` is the run number."""

    id: int
    dynamic: str
    eta: float
    slice: int
    start: int
    count: int
    index0: int
    inner: float
    outer: float
    game: int = 0
    point: int = 0

    def runs(self) -> int:
        return self.count


def slice_bounds(inner: float, outer: float, num_slices: int) -> list[tuple[float, float]]:
    """The concentric slices: one product and one sum per end, as the module forms them."""
    step = (outer - inner) / float(num_slices)
    return [(float(t) * step + inner, float(t + 1) * step + inner) for t in range(num_slices)]


def bands(study: Study) -> list[tuple[float, float]]:
    """The magnitude band of each slice ([nan, nan] for studies that draw nothing)."""
    return study.kind_type.bands(study)


def make_plan(study: Study) -> list[Chunk]:
    """The chunks of ``study``, as its kind cuts them."""
    return study.kind_type.plan(study)


def total_work(study: Study, chunks: list[Chunk]) -> int:
    """What the progress bar counts: run-steps (a run that converged early counts its cap)."""
    return sum(c.count for c in chunks) * study.num_steps
