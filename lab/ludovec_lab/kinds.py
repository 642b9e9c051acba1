"""Study kinds as types: each owns the fields it uses, its plan, its chunk run and its rows.

``KIND_TYPES[study.kind]`` is the kind of a study; the rest of the package asks it what to do
instead of comparing kind names. Studies are still described by ``kind = "..."``.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, ClassVar

import numpy as np

from . import schema

if TYPE_CHECKING:
    from .plan import Chunk
    from .study import Study

Progress = Callable[[int], object] | None

# Fields only some kinds use (the others must leave them at their defaults).
_EXPLORATION_FIELDS = ("num_runs", "inner_radius", "outer_radius", "seed", "games", "starts")
_SUMMARY_FIELDS = ("metric", "cutoff", "threshold", "chunk_size")
_STARTS = ("x0", "y0")


@dataclass(frozen=True)
class Checks:
    """What a kind's validation reports through: a problem of a field (``bad``), whether
    fields are still free of problems (``fine``), a field set to its checked value (``set``),
    and the checks of one integer, number or name field (see ``study._validate``)."""

    bad: Callable[[str, str], None]
    fine: Callable[..., bool]
    set: Callable[[str, Any], None]
    integer: Callable[..., None]
    number: Callable[..., None]
    name_of: Callable[[str, Any, Any], str | None]


def _check_summary(study: Study, c: Checks, seeded: bool) -> None:
    """The fields of kinds whose runs are reduced to a metric (explorations and stacks)."""
    from .study import METRICS, SEED_END, _is_int

    m = c.name_of("metric", METRICS, study.metric)
    if m:
        c.set("metric", m)
    c.number("cutoff", lambda v: 0.0 < v <= 1.0, "must lie in (0, 1]")
    c.number("threshold", lambda t: math.isfinite(t) and t > 0.0, "must be a finite number above 0")
    if seeded and study.seed is not None:
        if not (_is_int(study.seed) and 0 <= study.seed < SEED_END):
            c.bad("seed", f"must be a non-negative integer below 2**64, found {study.seed!r}")
        else:
            c.set("seed", int(study.seed))
    c.integer("chunk_size", 1, required=False)
    if not isinstance(study.normalize, (bool, np.bool_)):
        c.bad("normalize", f"expected true or false, found {study.normalize!r}")


class StudyKind:
    name: ClassVar[str]
    fields: ClassVar[tuple[str, ...]]
    draws: ClassVar[bool] = False  # perturbations drawn from the seed
    keeps_history: ClassVar[bool] = False  # a gap history per run, beside the rows
    matrix_ndim: ClassVar[int] = 2  # of its ``matrix``: one game, or a stack of them
    norm: ClassVar[str | None] = "max"  # the norm the ``norm`` column holds (None: the study's)
    chunked: ClassVar[bool] = True  # cut into chunks of ``chunk_size`` runs
    fewer_runs: ClassVar[str] = " or lower num_runs"  # the other cure for too many chunks

    def runs_per_slice(self, study: Study) -> int:
        raise NotImplementedError

    def check(self, study: Study, c: Checks) -> None:
        """Checks the fields of the kind, reporting each problem through ``c``."""
        raise NotImplementedError

    def check_plan(self, study: Study, c: Checks, game_ok: bool) -> None:
        """What the fields ask of memory and of the plan, checked where those fields are valid
        (``game_ok``: the games read and the starts fit them): a study that cannot run is
        refused before its store exists."""
        from .study import MAX_CHUNKS, _default_chunk, _num_chunks, tail_start

        steps = study.num_steps
        tail = study.metric in ("max_last", "var_last")
        if (
            tail
            and c.fine("num_steps", "cutoff", "metric")
            and tail_start(steps, study.cutoff) >= steps
        ):
            c.bad(
                "cutoff",
                f"{study.cutoff!r} leaves the tail of a {steps}-step gap history empty "
                "(the tail starts at step trunc(num_steps * (1 - cutoff))), so every run's "
                f"{study.metric} is that of no step at all; raise cutoff to "
                f"{1 / steps:.3g} or more",
            )
        chunk_fields = (
            "num_steps", "num_runs", "num_slices", "chunk_size", "dynamic", "eta", "seed"
        )  # fmt: skip
        if not (game_ok and c.fine(*chunk_fields)):
            return
        size = study.chunk_size if study.chunk_size is not None else _default_chunk(study)
        groups = len(study.combos) * self.slices(study)
        groups *= len(study.grid) * len(study.start_points)
        per_group = study.runs_per_slice
        count = _num_chunks(groups, per_group, size)
        if groups > MAX_CHUNKS:
            self.too_many_groups(study, c, groups)
        elif count > MAX_CHUNKS:
            least = -(-per_group // (MAX_CHUNKS // groups))
            c.bad(
                "chunk_size",
                f"the plan would cut the study into {count} chunks of {size} "
                f"runs, more than {MAX_CHUNKS}; raise chunk_size to at least {least}"
                + self.fewer_runs,
            )

    def slices(self, study: Study) -> int:
        """Slices of each (dynamic, step size) pair."""
        return 1

    def too_many_groups(self, study: Study, c: Checks, groups: int) -> None:
        from .study import MAX_CHUNKS

        c.bad(
            "eta",
            f"{groups} (dynamic, eta) pairs make at least {groups} chunks, more "
            f"than {MAX_CHUNKS}; list fewer step sizes",
        )

    def bands(self, study: Study) -> list[tuple[float, float]]:
        """The magnitude band of each slice ([nan, nan] for kinds that draw nothing)."""
        nan = float("nan")
        return [(nan, nan)]

    def plan(self, study: Study) -> list[Chunk]:
        """Chunks of runs of every (game, dynamic, step size, slice, start), in that order."""
        from .plan import Chunk

        chunks: list[Chunk] = []
        per_slice = self.runs_per_slice(study)
        size = study.chunk_size
        assert size is not None  # validation sets it for every kind but single
        points = range(len(study.start_points))
        for g in range(len(study.grid)):
            for dyn, eta in study.combos:
                for t, (lo, hi) in enumerate(self.bands(study)):
                    for p in points:
                        for start in range(0, per_slice, size):
                            count = min(size, per_slice - start)
                            index0 = t * per_slice + start
                            chunk = Chunk(
                                len(chunks), dyn, eta, t, start, count, index0, lo, hi, g, p
                            )
                            chunks.append(chunk)
        return chunks

    def columns(self, study: Study) -> list[str]:
        """The columns of its rows, in the order the store keeps them."""
        out = list(schema.EXPLORATION_COLUMNS)
        out += list(schema.GRID_COLUMNS) if study.is_grid else []
        out += [schema.START_COLUMN] if len(study.start_points) > 1 else []
        return out

    def progress_unit(self, study: Study) -> tuple[str, int]:
        """What the progress bar counts, and the run-steps in one of them."""
        return "run", study.num_steps

    def engine_games(self, study: Study, chunk: Chunk) -> dict[str, Any]:
        """The games of a chunk, as ``run_batch`` takes them."""
        raise NotImplementedError

    def run(self, study: Study, chunk: Chunk, progress: Progress = None) -> dict[str, Any]:
        """One chunk through the native entry: its rows, as NumPy columns."""
        from . import _engine
        from .runner import _counter, _starts

        out = _engine.run_batch(
            dynamic=chunk.dynamic,
            eta=chunk.eta,
            num_steps=study.num_steps,
            progress=_counter(progress),
            metric=study.metric,
            cutoff=study.cutoff,
            **_starts(study, chunk.point),
            **self.engine_games(study, chunk),
        )
        k = chunk.count
        norm = self.norm or study.norm
        metric = np.asarray(out["metric"], dtype=np.float64)
        rows: dict[str, Any] = {
            "chunk": np.full(k, chunk.id, dtype=np.int64),
            "index": np.arange(chunk.index0, chunk.index0 + k, dtype=np.int64),
            "slice": np.full(k, chunk.slice, dtype=np.int64),
            "inner": np.full(k, chunk.inner),
            "outer": np.full(k, chunk.outer),
            "dynamic": np.full(k, chunk.dynamic, dtype=object),
            "eta": np.full(k, chunk.eta),
            "steps": np.asarray(out["steps"], dtype=np.int64),
            "converged": np.asarray(out["converged"], dtype=bool),
            "final_gap": np.asarray(out["final_gap"], dtype=np.float64),
            "metric": metric,
            "metric_below": metric < study.threshold,
            "norm": np.asarray(out[f"norm_{norm}"], dtype=np.float64),
        }
        for name in ("max", "infinity", "frobenius"):
            rows[f"norm_{name}"] = np.asarray(out[f"norm_{name}"], dtype=np.float64)
        if study.is_grid:  # one game per study is named by the store instead
            game = study.grid[chunk.game]
            rows["game"] = np.full(k, game.name, dtype=object)
            rows["game_id"] = np.full(k, game.id, dtype=object)
        if len(study.start_points) > 1:
            rows[schema.START_COLUMN] = np.full(k, chunk.point, dtype=np.int64)
        assert list(rows) == self.columns(study)
        return rows


class Exploration(StudyKind):
    draws = True

    def check(self, study: Study, c: Checks) -> None:
        c.integer("num_runs", 1)
        c.number(
            "inner_radius",
            lambda r: math.isfinite(r) and r >= 0.0,
            "must be a finite number at least 0",
        )
        c.number(
            "outer_radius",
            lambda r: math.isfinite(r) and r > 0.0,
            "must be a finite number above 0",
        )
        inner, outer = study.inner_radius, study.outer_radius
        if isinstance(inner, float) and isinstance(outer, float) and not inner < outer:
            c.bad(
                "outer_radius",
                f"must be greater than inner_radius ({inner!r}), found {outer!r}",
            )
        self.check_band(study, c)
        _check_summary(study, c, seeded=True)

    def check_band(self, study: Study, c: Checks) -> None:
        """The fields that say how the band of radii is drawn."""

    def runs_per_slice(self, study: Study) -> int:
        assert study.num_runs is not None  # an exploration's, validated
        return study.num_runs

    def engine_games(self, study: Study, chunk: Chunk) -> dict[str, Any]:
        assert study.seed is not None  # drawn when the store was created
        return dict(
            base=study.grid[chunk.game].matrix,
            seed=study.seed,
            first_run=chunk.index0,
            count=chunk.count,
            inner=chunk.inner,
            outer=chunk.outer,
        )


class Scattered(Exploration):
    name = "scattered"
    fields = (*_EXPLORATION_FIELDS, *_SUMMARY_FIELDS, "norm", *_STARTS)
    norm = None

    def check_band(self, study: Study, c: Checks) -> None:
        from .study import NORMS

        n = c.name_of("norm", NORMS, study.norm)
        if n:
            c.set("norm", n)

    def bands(self, study: Study) -> list[tuple[float, float]]:
        assert study.inner_radius is not None and study.outer_radius is not None
        return [(study.inner_radius, study.outer_radius)]


class Concentric(Exploration):
    name = "concentric"
    fields = (*_EXPLORATION_FIELDS, *_SUMMARY_FIELDS, "num_slices", *_STARTS)

    def slices(self, study: Study) -> int:
        return study.num_slices or 1

    def too_many_groups(self, study: Study, c: Checks, groups: int) -> None:
        from .study import MAX_CHUNKS

        c.bad(
            "num_slices",
            f"{study.num_slices} slices for {len(study.combos)} (dynamic, eta) "
            f"pairs make at least {groups} chunks, more than {MAX_CHUNKS}; lower num_slices",
        )

    def check_band(self, study: Study, c: Checks) -> None:
        c.integer("num_slices", 1)
        runs, slices = study.num_runs, study.num_slices
        if c.fine("num_runs", "num_slices") and runs and slices and runs < slices:
            c.bad(
                "num_runs",
                f"{runs} runs over {slices} slices leave every slice "
                "empty (runs per slice = num_runs // num_slices)",
            )

    def runs_per_slice(self, study: Study) -> int:
        assert study.num_runs is not None and study.num_slices is not None
        return study.num_runs // study.num_slices

    def bands(self, study: Study) -> list[tuple[float, float]]:
        from .plan import slice_bounds

        assert study.inner_radius is not None and study.outer_radius is not None
        assert study.num_slices is not None
        return slice_bounds(study.inner_radius, study.outer_radius, study.num_slices)


class Stack(StudyKind):
    name = "stack"
    fields = (*_SUMMARY_FIELDS, "normalize", *_STARTS)
    matrix_ndim = 3
    fewer_runs = ""  # its runs are its matrices

    def check(self, study: Study, c: Checks) -> None:
        _check_summary(study, c, seeded=False)

    def runs_per_slice(self, study: Study) -> int:
        return int(study.payoff.shape[0])

    def engine_games(self, study: Study, chunk: Chunk) -> dict[str, Any]:
        return dict(
            stack=study.payoff[chunk.start : chunk.start + chunk.count],
            normalize=bool(study.normalize),
        )


class Single(StudyKind):
    name = "single"
    fields = ("tolerances", "decimation", "history_points", "segment_steps", *_STARTS)
    keeps_history = True
    chunked = False  # one chunk a run

    def check_plan(self, study: Study, c: Checks, game_ok: bool) -> None:
        from .study import MAX_HISTORY_POINTS

        d, steps = study.decimation, study.num_steps
        if c.fine("num_steps", "decimation") and isinstance(d, int):
            points = -(-steps // d)
            if points > MAX_HISTORY_POINTS:
                c.bad(
                    "decimation",
                    f"{d} keeps {points} of the {steps} steps in the gap history, more than "
                    f"the {MAX_HISTORY_POINTS} a run keeps; raise decimation to at least "
                    f"{-(-steps // MAX_HISTORY_POINTS)} or lower num_steps",
                )

    def runs_per_slice(self, study: Study) -> int:
        return 1

    def check(self, study: Study, c: Checks) -> None:
        from .study import MAX_HISTORY_POINTS, MIN_TOLERANCE, U32_MAX, _is_int, _is_number, _items

        tols = _items(study.tolerances)
        if not tols or not all(_is_number(t) for t in tols):
            c.bad("tolerances", f"expected a non-empty list of numbers, found {study.tolerances!r}")
        elif not all(MIN_TOLERANCE <= t < math.inf for t in tols):
            c.bad(
                "tolerances",
                f"every tolerance must be a finite number at least {MIN_TOLERANCE:g} (the "
                f"module stops a run at its first gap below {MIN_TOLERANCE:g}), found {tols}",
            )
        else:
            kept = sorted({float(t) for t in tols}, reverse=True)
            columns: dict[str, float] = {}
            for t in kept:
                column = schema.tolerance_column(t)
                if column in columns:
                    c.bad(
                        "tolerances",
                        f"{columns[column]!r} and {t!r} share the result column "
                        f"{column!r} (named with 6 significant digits); give tolerances that "
                        "differ in their first 6 significant digits",
                    )
                columns.setdefault(column, t)
            c.set("tolerances", tuple(kept))
        d = study.decimation
        if d == "log" or (isinstance(d, str) and d.lower() == "log"):
            c.set("decimation", "log")
        elif not (_is_int(d) and 1 <= d <= U32_MAX):
            c.bad(
                "decimation",
                f'expected "log" or a step interval k >= 1 (every k-th step), found {d!r}',
            )
        else:
            c.set("decimation", int(d))
        c.integer("history_points", 2, MAX_HISTORY_POINTS)
        c.integer("segment_steps", 1)

    def plan(self, study: Study) -> list[Chunk]:
        from .plan import Chunk

        nan = float("nan")
        return [
            Chunk(run, dyn, eta, 0, run, 1, run, nan, nan)
            for run, (dyn, eta) in enumerate(study.combos)
        ]

    def columns(self, study: Study) -> list[str]:
        tols = [schema.tolerance_column(t) for t in study.tolerances]
        return [*schema.SINGLE_HEAD, *tols, *schema.SINGLE_TAIL]

    def progress_unit(self, study: Study) -> tuple[str, int]:
        return "step", 1  # few and long runs

    def run(self, study: Study, chunk: Chunk, progress: Progress = None) -> dict[str, Any]:
        from . import _engine
        from .runner import _counter, _single, _starts, kept_steps

        # A single run reports no metric; total_var is the one the engine keeps without a
        # buffer of the gap history's tail (10 % of a long cap, per lane).
        out = _engine.run_batch(
            dynamic=chunk.dynamic,
            eta=chunk.eta,
            num_steps=study.num_steps,
            progress=_counter(progress),
            stack=study.payoff[None],
            metric="total_var",
            keep=np.zeros(1, dtype=np.int64),
            keep_steps=kept_steps(study),
            tolerances=list(study.tolerances),
            **_starts(study),
        )
        return _single(study, chunk, out)


KIND_TYPES: dict[str, StudyKind] = {
    k.name: k for k in (Single(), Scattered(), Concentric(), Stack())
}
