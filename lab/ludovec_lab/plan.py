"""The plan: a study cut into chunks, fixed by the description alone.

Chunks are numbered in one order (dynamic, step size, slice, runs); any executor may run them in
any order and the store keys results by chunk number. A seeded chunk draws from the
``SeedSequence`` child keyed by (slice, first run): every (dynamic, step size) pair therefore
meets the same perturbations, a paired comparison.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from . import reduce
from .study import Study


@dataclass(frozen=True)
class Chunk:
    """One unit of work: ``count`` consecutive runs of one slice, one dynamic, one step size.

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

    def seed_sequence(self, seed: int) -> np.random.SeedSequence:
        return np.random.SeedSequence(seed, spawn_key=(self.slice, self.start))

    def runs(self) -> int:
        return self.count


def make_plan(study: Study) -> list[Chunk]:
    chunks: list[Chunk] = []
    nan = float("nan")
    if study.kind == "single":
        for run, (dyn, eta) in enumerate(study.combos):
            chunks.append(Chunk(run, dyn, eta, 0, run, 1, run, nan, nan))
        return chunks
    inner, outer = study.inner_radius, study.outer_radius
    bands = [(nan, nan)]
    if study.kind in ("scattered", "concentric"):
        assert inner is not None and outer is not None  # an exploration's, validated
        bands = [(inner, outer)]
        if study.kind == "concentric":
            assert study.num_slices is not None
            bands = reduce.slice_bounds(inner, outer, study.num_slices)
    per_slice = study.runs_per_slice
    size = study.chunk_size
    assert size is not None  # validation sets it for every kind but single
    for dyn, eta in study.combos:
        for t, (lo, hi) in enumerate(bands):
            for start in range(0, per_slice, size):
                count = min(size, per_slice - start)
                chunks.append(
                    Chunk(len(chunks), dyn, eta, t, start, count, t * per_slice + start, lo, hi)
                )
    return chunks


def total_work(study: Study, chunks: list[Chunk]) -> int:
    """What the progress bar counts: runs, or steps for single-run studies."""
    if study.kind == "single":
        return len(chunks) * study.num_steps
    return sum(c.count for c in chunks)
