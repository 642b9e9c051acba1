"""Figures of studies, each a `matplotlib.figure.Figure` built without pyplot state.

Everywhere the colour says the dynamic and the line style the step size, so that a legend is
read the same way in every figure; markers tell the rest apart (runs, studies). Fractions are
drawn on an axis fitted to them with their Clopper–Pearson intervals, and no headline pools
dynamics or step sizes: titles give one line per series. Metrics and gaps go on log axes whose
floor row holds the values that have no place there (see `logaxis`).
"""

from __future__ import annotations

import math
import os
import re
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt
import pandas as pd

from . import games
from .errors import LabError
from .logaxis import FLOOR_COLOUR, _LogFloor
from .schema import CONVERGENCE_THRESHOLD
from .store import Store
from .tables import (
    DISTANCE_TOLERANCE,
    QUANTILES,
    Source,
    Sources,
    TableError,
    aggregate,
    cap_of,
    check_apart,
    column,
    distinct,
    game_name,
    group_keys,
    kind_of,
    metric_name,
    number,
    resolve,
    seed_text,
    series_label,
    studies_of,
    study_of,
    threshold_of,
)

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = [
    "path_distances",
    "plot_concentric",
    "plot_distance",
    "plot_gaps",
    "plot_heatmap",
    "plot_overlay",
    "plot_paths",
    "plot_scattered",
    "plot_stack",
    "plot_steps_ecdf",
    "save_figure",
]

type Dash = str | tuple[float, tuple[float, ...]]
type Floats = npt.NDArray[np.float64]

# The dynamics keep their colours from figure to figure; others take the spare ones in order.
_DYNAMIC_COLOURS = {"ogda": "tab:blue", "omwuoomd": "tab:orange", "omwuoftrl": "tab:green"}
_SPARE_COLOURS = ("tab:red", "tab:purple", "tab:brown", "tab:pink", "tab:olive", "tab:cyan")
_DASHES: tuple[Dash, ...] = ("-", "--", "-.", ":", (0, (5, 1, 1, 1, 1, 1)), (0, (1, 3)))
_MARKERS = ("o", "s", "^", "D", "v", "P", "X", "*")
_MANY_POINTS = 5_000
_MAX_DRAWN = 100_000
# Headlines in a title, one per series; past this the summary is the place to read them.
_MAX_HEADLINES = 6
# What the series of a figure are told apart by: never pooled, whatever the grouping.
_SERIES = ("study", "game", "dynamic", "eta")
_STRATEGY = re.compile(r"([xy])_(\d+)$")


# --- shared pieces ----------------------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class _Look:
    colour: str
    dash: Dash
    marker: str


class _Palette:
    """Colour by dynamic, line style by step size, over the values present in the rows."""

    def __init__(self, df: pd.DataFrame) -> None:
        dynamics = sorted(map(str, df["dynamic"].unique())) if "dynamic" in df.columns else []
        etas = sorted(map(float, df["eta"].unique())) if "eta" in df.columns else []
        spare = iter(_SPARE_COLOURS * (1 + len(dynamics)))
        self._colours = {d: _DYNAMIC_COLOURS.get(d) or next(spare) for d in dynamics}
        self._dashes = {e: _DASHES[i % len(_DASHES)] for i, e in enumerate(etas)}
        self._markers = {d: _MARKERS[i % len(_MARKERS)] for i, d in enumerate(dynamics)}
        self._combos = {
            (d, e): _MARKERS[i % len(_MARKERS)]
            for i, (d, e) in enumerate((d, e) for d in dynamics for e in etas)
        }

    def look(self, key: dict[str, object]) -> _Look:
        dynamic, eta = str(key.get("dynamic", "")), key.get("eta")
        return _Look(
            colour=self._colours.get(dynamic, "tab:grey"),
            dash=self._dashes.get(float(str(eta)), "-") if eta is not None else "-",
            marker=self._markers.get(dynamic, "o"),
        )

    def scatter_marker(self, key: dict[str, object]) -> str:
        """Markers without lines: one per (dynamic, step size), the colour still the dynamic's."""
        eta = key.get("eta")
        combo = (str(key.get("dynamic", "")), float(str(eta)) if eta is not None else math.nan)
        return self._combos.get(combo, self.look(key).marker)


def _new_figure(
    rows: int = 1,
    cols: int = 1,
    height_ratios: Sequence[float] | None = None,
    size: tuple[float, float] = (7.5, 4.8),
    sharex: bool = True,
) -> tuple[Figure, list[Axes]]:
    from matplotlib.figure import Figure

    fig = Figure(figsize=size, layout="constrained")
    if rows == cols == 1:
        return fig, [fig.add_subplot()]
    axes = fig.subplots(
        rows,
        cols,
        sharex=sharex,
        squeeze=False,
        gridspec_kw={"height_ratios": height_ratios} if height_ratios else None,
    )
    return fig, list(axes.ravel())


def _drawable(df: pd.DataFrame, what: str) -> pd.DataFrame:
    if df.empty:
        raise TableError(f"no runs to draw: the {what} table is empty (has the study run yet?)")
    return df


def _rows(source: Sources) -> pd.DataFrame:
    df = _drawable(resolve(source), "run")
    check_apart(df)
    return df


def _series_keys(df: pd.DataFrame) -> list[str]:
    """Study and game when they vary, dynamic and step size always (when present)."""
    return [
        k for k in _SERIES if k in df.columns and (k in ("dynamic", "eta") or distinct(df, k) > 1)
    ]


def _groups(
    table: pd.DataFrame, keys: Sequence[str]
) -> Iterator[tuple[dict[str, object], pd.DataFrame]]:
    if not keys:
        yield {}, table
        return
    for key, rows in table.groupby(list(keys), sort=True, dropna=False):
        key = key if isinstance(key, tuple) else (key,)
        yield dict(zip(keys, key, strict=True)), rows


def _label(key: dict[str, object]) -> str:
    return series_label(list(key), list(key.values())) or "all runs"


def _title(df: pd.DataFrame, head: str) -> str:
    bits = [head]
    studies = studies_of(df)
    if len(studies) == 1:
        (study,) = studies.values()
        game = game_name(study)
        if game:
            bits.append(game)
        if study.get("num_steps") is not None:
            bits.append(f"{int(str(study['num_steps'])):,} steps")
        seed = seed_text(study)
        if seed and kind_of(df) in ("scattered", "concentric"):
            bits.append(seed)
    elif "study" in df.columns and distinct(df, "study") > 1:
        bits.append(f"{df['study'].nunique()} studies")
    return ", ".join(bits)


def _outcome_word(table: pd.DataFrame, threshold: float) -> str:
    if table.attrs.get("fraction_of") == "metric_below":
        return f"metric < {threshold:g}"
    return "converged"


def _headlines(table: pd.DataFrame, keys: Sequence[str], threshold: float) -> list[str]:
    """One line per series: its own count, fraction and interval, never a pooled one."""
    word = _outcome_word(table, threshold)
    outcome = str(table.attrs.get("fraction_of", "converged"))
    lines = []
    for key, rows in _groups(table, keys):
        (row,) = rows.to_dict("records")
        done, runs = int(number(row[outcome])), int(number(row["runs"]))
        lines.append(
            f"{_label(key)}: {word} {done:,} of {runs:,} = {done / runs:.3f} "
            f"[{number(row['ci_low']):.3f}, {number(row['ci_high']):.3f}]"
        )
    if len(lines) > _MAX_HEADLINES:
        return [f"{len(lines)} series: their fractions are in the summary table"]
    return lines


def _fit_fractions(ax: Axes, low: npt.ArrayLike, high: npt.ArrayLike) -> None:
    """A fraction axis fitted to the intervals drawn, within [0, 1] and a little room."""
    lo = np.asarray(low, dtype=np.float64)
    hi = np.asarray(high, dtype=np.float64)
    lo, hi = lo[np.isfinite(lo)], hi[np.isfinite(hi)]
    bottom = float(lo.min()) if lo.size else 0.0
    top = float(hi.max()) if hi.size else 1.0
    pad = max(0.05 * (top - bottom), 0.01)
    ax.set_ylim(max(bottom - pad, -0.5 * pad), min(top + pad, 1.0 + 0.5 * pad))


def _band_layout(inner: Floats, outer: Floats, i: int, n: int) -> tuple[Floats, Floats, Floats]:
    """Series `i` of `n` takes the i-th of n equal parts of each band: its bar (lo, hi) and
    centre stay inside the band and never overlap another series' bar."""
    part = (outer - inner) / n
    lo = inner + part * (i + 0.1)
    hi = inner + part * (i + 0.9)
    return lo, hi, (lo + hi) / 2


def _fraction_bars(
    ax: Axes,
    rows: pd.DataFrame,
    look: _Look,
    i: int,
    n: int,
    label: str,
    marker: str | None = None,
) -> Floats:
    """The fraction of each band of `rows` with its interval; returns the centres."""
    inner = rows["inner"].to_numpy(dtype=np.float64)
    outer = rows["outer"].to_numpy(dtype=np.float64)
    lo, hi, x = _band_layout(inner, outer, i, n)
    frac = rows["fraction"].to_numpy(dtype=np.float64)
    low = np.clip(rows["ci_low"].to_numpy(dtype=np.float64), 0.0, 1.0)
    high = np.clip(rows["ci_high"].to_numpy(dtype=np.float64), 0.0, 1.0)
    ax.errorbar(
        x,
        frac,
        yerr=[frac - low, high - frac],
        xerr=[x - lo, hi - x],
        color=look.colour,
        marker=marker or look.marker,
        linestyle=look.dash,
        linewidth=0.9,
        markersize=4,
        capsize=2,
        elinewidth=0.8,
        label=label,
    )
    return x


# --- explorations and stacks -------------------------------------------------------------------


def plot_scattered(source: Sources, *, bins: int = 10, confidence: float = 0.95) -> Figure:
    """Metric against perturbation norm for a scattered exploration, with the converged fraction.

    The upper panel shows every run (converged runs filled, the others hollow) on a log axis
    with the study's metric threshold; the lower panel the fraction in equal-count bins of the
    norm, per dynamic and step size, with its Clopper–Pearson interval.

    Parameters
    ----------
    source : path, Store, DataFrame, or a list of them
    bins : int
        Number of norm bins for the converged fraction.
    confidence : float
        Coverage of the intervals.

    Returns
    -------
    matplotlib.figure.Figure
    """
    if bins < 1:
        raise ValueError(f"bins must be at least 1, got {bins!r}")
    df = _rows(source)
    fig, (top, bottom) = _new_figure(2, height_ratios=(3, 1.4), size=(7.5, 6.8))
    lows: list[Floats] = [np.zeros(0)]
    highs: list[Floats] = [np.zeros(0)]
    # One set of equal-count bins for every series: the same norms are compared, and each
    # series' bars take their own part of a bin.
    norms = df["norm"].to_numpy(dtype=np.float64)
    finite = norms[np.isfinite(norms)]
    edges: Floats = (
        np.unique(np.quantile(finite, np.linspace(0, 1, bins + 1))) if finite.size else finite
    )
    if edges.size == 1:  # every norm equal: one bin around it
        edges = np.array([edges[0], edges[0] + 1.0])
    keys = _series_keys(df)
    count = df.groupby(keys, dropna=False).ngroups if keys else 1
    drawn: list[int] = []

    def beside(group: pd.DataFrame, look: _Look, name: str) -> None:
        if not edges.size:
            return
        low, high = _fraction_by_norm(
            bottom,
            group["norm"].to_numpy(dtype=np.float64),
            group[_outcome_column(group)].to_numpy(dtype=bool),
            edges,
            confidence,
            look,
            name,
            (len(drawn), count),
        )
        drawn.append(1)
        lows.append(low)
        highs.append(high)

    _runs_panel(top, df, "norm", "scattered exploration", confidence, beside)
    _fit_fractions(bottom, np.concatenate(lows), np.concatenate(highs))
    bottom.set_ylabel(_outcome_word(aggregate(df, [], confidence, ()), threshold_of(df)))
    norm = study_of(df).get("norm")
    bottom.set_xlabel(f"{norm} norm of the perturbation" if norm else "norm of the perturbation")
    bottom.grid(True, alpha=0.3)
    return fig


def _outcome_column(df: pd.DataFrame) -> str:
    return "converged" if "converged" in df.columns else "metric_below"


def _runs_panel(
    ax: Axes,
    df: pd.DataFrame,
    x: str,
    head: str,
    confidence: float,
    beside: Callable[[pd.DataFrame, _Look, str], None] | None = None,
) -> None:
    """One marker per run: metric (log, zeros on the floor) against column `x`, runs that
    succeeded filled, with the threshold and one headline per series in the title."""
    metric = df["metric"].to_numpy(dtype=np.float64)
    threshold = threshold_of(df)
    scale = _LogFloor(metric, extra=[threshold])
    palette = _Palette(df)
    outcome = _outcome_column(df)
    # Many runs: the markers become one embedded image in the SVG (axes and text stay vector),
    # and the legend is not placed by searching every point.
    many = len(df) > _MANY_POINTS
    # Past a point markers only pile up: a fixed random sample of them is drawn, and said so;
    # counts, fractions and the floor's count still use every run.
    drawn = np.ones(len(df), dtype=bool)
    if len(df) > _MAX_DRAWN:
        drawn[:] = False
        drawn[np.random.default_rng(0).choice(len(df), _MAX_DRAWN, replace=False)] = True
    keys = _series_keys(df)
    word = "converged" if outcome == "converged" else "metric below"
    for key, group in _groups(df.assign(_drawn=drawn), keys):
        look = palette.look(key)
        name = _label(key)
        m = group["metric"].to_numpy(dtype=np.float64)
        where = group[x].to_numpy(dtype=np.float64)
        done = group[outcome].to_numpy(dtype=bool)
        shown = ~np.isnan(m) & ~np.isposinf(m) & group["_drawn"].to_numpy(dtype=bool)
        for mask, filled in ((done & shown, True), (~done & shown, False)):
            if mask.any():
                ax.scatter(
                    where[mask],
                    scale.map(m[mask]),
                    s=3 if many else 10,
                    marker=palette.scatter_marker(key),
                    facecolors=look.colour if filled else "none",
                    edgecolors=look.colour,
                    linewidths=0.5 if many else 0.7,
                    alpha=0.35 if many else 0.75,
                    rasterized=many,
                    label=f"{name}: {word if filled else 'not ' + word}",
                )
        if beside is not None:
            beside(group, look, name)
    scale.mark(ax, "metric", int(np.sum(metric <= 0)))
    ax.axhline(
        threshold, color="0.2", linestyle="--", linewidth=1, label=_threshold_label(threshold)
    )
    scale.apply(ax)
    table = aggregate(df, keys, confidence, ())
    notes = [_finite_note(metric)]
    if not drawn.all():
        notes.append(f"markers: a random {_MAX_DRAWN:,} of {len(df):,} runs")
    note = "; ".join(filter(None, notes))
    lines = [_title(df, head), *_headlines(table, keys, threshold)] + ([note] if note else [])
    ax.set_title("\n".join(lines), fontsize="small")
    ax.set_ylabel(metric_name(df))
    ax.grid(True, alpha=0.3)
    ax.legend(fontsize="small", loc="upper left" if many else "best", framealpha=0.9)


def _threshold_label(threshold: float) -> str:
    return f"metric threshold {threshold:g}"


def _finite_note(values: Floats) -> str:
    nan = int(np.isnan(values).sum())
    inf = int(np.isposinf(values).sum())
    parts = []
    if nan:
        parts.append(f"{nan:,} NaN")
    if inf:
        parts.append(f"{inf:,} +inf")
    return f"not drawn: {', '.join(parts)}" if parts else ""


def _fraction_by_norm(
    ax: Axes,
    norm: Floats,
    done: npt.NDArray[np.bool_],
    edges: Floats,
    confidence: float,
    look: _Look,
    name: str,
    place: tuple[int, int],
) -> tuple[Floats, Floats]:
    """The fraction in the bins of the norm between `edges`, drawn as series place[0] of
    place[1]; returns the intervals."""
    from .tables import binomial_interval

    ok = np.isfinite(norm)
    norm, done = norm[ok], done[ok]
    if not norm.size:
        return np.zeros(0), np.zeros(0)
    which = np.clip(np.searchsorted(edges, norm, side="right") - 1, 0, edges.size - 2)
    trials = np.bincount(which, minlength=edges.size - 1)
    hits = np.bincount(which, weights=done.astype(np.float64), minlength=edges.size - 1)
    keep = trials > 0
    fraction = np.divide(hits, trials, out=np.zeros_like(hits), where=keep)
    low, high = binomial_interval(hits[keep], trials[keep], confidence)
    lo, hi, x = _band_layout(edges[:-1][keep], edges[1:][keep], *place)
    ax.errorbar(
        x,
        fraction[keep],
        yerr=[fraction[keep] - low, high - fraction[keep]],
        xerr=[x - lo, hi - x],
        color=look.colour,
        marker=look.marker,
        linestyle=look.dash,
        linewidth=0.8,
        markersize=4,
        capsize=2,
        elinewidth=0.8,
        label=name,
    )
    return low, high


def plot_concentric(source: Sources, *, confidence: float = 0.95) -> Figure:
    """Fraction and metric quantiles per slice of a concentric exploration.

    Upper panel: the fraction of each slice with its Clopper–Pearson interval, one series per
    dynamic and step size; each series' horizontal bar takes its own part of the slice's band,
    so bars never overlap and never leave the band. Lower panel: the metric's median (marker),
    25–75 % (thick bar) and 10–90 % (thin bar) per slice, on a log axis whose floor row holds
    the quantiles that are exactly zero.

    Returns
    -------
    matplotlib.figure.Figure
    """
    df = _rows(source)
    keys = _series_keys(df)
    table = aggregate(df, [*keys, "slice"], confidence, QUANTILES)
    quantile_columns = ["q10", "q25", "q50", "q75", "q90"]
    threshold = threshold_of(df)
    scale = _LogFloor(table[quantile_columns].to_numpy(dtype=np.float64), extra=[threshold])
    fig, (top, bottom) = _new_figure(2, height_ratios=(1.4, 2), size=(7.5, 7.4))
    palette = _Palette(df)
    series = list(_groups(table, keys))
    floor_count = 0
    for i, (key, rows) in enumerate(series):
        look = palette.look(key)
        name = _label(key)
        x = _fraction_bars(top, rows, look, i, len(series), name)
        q = {c: rows[c].to_numpy(dtype=np.float64) for c in quantile_columns}
        have = ~np.isnan(q["q50"])
        bottom.vlines(
            x[have], scale.map(q["q10"][have]), scale.map(q["q90"][have]), color=look.colour, lw=1
        )
        bottom.vlines(
            x[have],
            scale.map(q["q25"][have]),
            scale.map(q["q75"][have]),
            color=look.colour,
            linewidth=5,
            alpha=0.55,
        )
        # Medians are not joined: a line would cross the break between the floor and the data.
        bottom.plot(
            x[have],
            scale.map(q["q50"][have]),
            color=look.colour,
            marker=look.marker,
            linestyle="none",
            markersize=6,
            markeredgecolor="white",
            label=f"{name}: median, 25–75 %, 10–90 %",
        )
        zero = np.zeros(len(rows), dtype=bool)
        for c in quantile_columns:
            hit = q[c] <= 0
            zero |= hit
            if hit.any():
                bottom.plot(
                    x[hit],
                    np.full(int(hit.sum()), scale.floor),
                    linestyle="none",
                    marker="_",
                    markersize=12,
                    color=FLOOR_COLOUR,
                    markeredgewidth=1.6,
                )
        floor_count += int(zero.sum())
    if floor_count:
        bottom.plot(
            [],
            [],
            linestyle="none",
            marker="_",
            markersize=12,
            color=FLOOR_COLOUR,
            markeredgewidth=1.6,
            label=f"quantile {'= 0' if scale.all_zero else '≤ 0'}, "
            f"drawn on the floor ({floor_count} slice{'s' if floor_count > 1 else ''})",
        )
    bottom.axhline(
        threshold, color="0.2", linestyle="--", linewidth=1, label=_threshold_label(threshold)
    )
    scale.apply(bottom)
    _fit_fractions(top, table["ci_low"], table["ci_high"])
    top.set_ylabel(f"{_outcome_word(table, threshold)} ({confidence:.0%} CI)")
    top.grid(True, alpha=0.3)
    if len(series) > 1:
        top.legend(fontsize="small", loc="best")
    bottom.set_ylabel(metric_name(df))
    bottom.set_xlabel("perturbation radius (entry magnitudes, slice band)")
    bottom.grid(True, which="major", alpha=0.3)
    # Below the figure: inside, the legend would hide the whiskers of some slice.
    fig.legend(
        *bottom.get_legend_handles_labels(), loc="outside lower center", ncols=2, fontsize="small"
    )
    nan = int(column(table, "nan").sum())
    lines = [_title(df, "concentric exploration")]
    lines += _headlines(aggregate(df, keys, confidence, ()), keys, threshold)
    if nan:
        lines.append(f"NaN metrics left out: {nan:,}")
    top.set_title("\n".join(lines), fontsize="small")
    return fig


def plot_stack(source: Sources, *, confidence: float = 0.95) -> Figure:
    """Metric of each matrix of a stack study, runs that converged filled, on a log axis with a
    floor; one headline per dynamic and step size.

    Returns
    -------
    matplotlib.figure.Figure
    """
    df = _rows(source)
    fig, (ax,) = _new_figure(size=(7.5, 5.4))
    _runs_panel(ax, df, "index", "stack of matrices", confidence)
    ax.set_xlabel("matrix index")
    return fig


def _bands(df: pd.DataFrame, what: str) -> None:
    if "inner" not in df.columns or "outer" not in df.columns or column(df, "inner").isna().all():
        raise TableError(
            f"{what} needs perturbation bands (the inner/outer columns of explorations); "
            "these rows have none (a stack study?)"
        )


def _one_study_per(df: pd.DataFrame, keys: Sequence[str], what: str) -> None:
    if "study" not in df.columns:
        return
    counts = pd.Series(df.groupby(list(keys), dropna=False)["study"].nunique())
    if (counts > 1).any():
        key = counts.index[counts.to_numpy() > 1][0]
        key = key if isinstance(key, tuple) else (key,)
        raise TableError(
            f"{what}: {series_label(list(keys), list(key))} holds runs of "
            f"{int(counts.max())} studies, which would be pooled; filter the rows to one "
            "study per point, or label the sources apart"
        )


# Heat-map panels side by side before they wrap onto another row.
HEATMAP_COLUMNS = 3


def plot_heatmap(source: Sources, *, confidence: float = 0.95) -> Figure:
    """The converged fraction by step size (rows) and radius (columns: the slice bands, or the
    bands of scattered studies), one panel per dynamic (and game), each cell annotated with
    its fraction and counts. The colour scale is shared by the panels.

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> import pandas as pd
    >>> df = pd.DataFrame({"index": range(4), "slice": [0, 0, 1, 1], "inner": [0, 0, .5, .5],
    ...                    "outer": [.5, .5, 1, 1], "dynamic": "ogda", "eta": 0.1,
    ...                    "steps": [12, 100, 40, 100], "converged": [True, False, True, False],
    ...                    "metric": [0.0, 0.2, 0.0, 0.1]})
    >>> fig = plot_heatmap(df)
    """
    df = _rows(source)
    _bands(df, "a heat map")
    panel_keys = [k for k in ("game", "dynamic") if k in df.columns]
    if "game" in panel_keys and distinct(df, "game") == 1:
        panel_keys.remove("game")
    cell_keys = [*panel_keys, "eta", "inner", "outer"]
    _one_study_per(df, cell_keys, "a heat map")
    table = aggregate(df, cell_keys, confidence, ())
    etas = sorted(map(float, table["eta"].unique()))
    bands = sorted(
        {(float(a), float(b)) for a, b in zip(table["inner"], table["outer"], strict=True)}
    )
    panels = list(_groups(table, panel_keys))
    top = float(np.nanmax(table["fraction"])) or 1.0
    # Panels wrap onto rows of at most HEATMAP_COLUMNS, so a grid of games stays readable.
    ncols = min(len(panels), HEATMAP_COLUMNS)
    nrows = -(-len(panels) // ncols)
    fig, grid = _new_figure(
        nrows,
        ncols,
        size=(1.2 + 1.1 * ncols * max(len(bands), 2), nrows * (1.8 + 0.55 * len(etas))),
        sharex=False,
    )
    for spare in grid[len(panels) :]:
        spare.remove()
    axes = grid[: len(panels)]
    image = None
    for ax, (key, rows) in zip(axes, panels, strict=True):
        values = np.full((len(etas), len(bands)), np.nan)
        counts: dict[tuple[int, int], tuple[int, int]] = {}
        outcome = str(table.attrs["fraction_of"])
        for row in rows.to_dict("records"):
            i = etas.index(number(row["eta"]))
            j = bands.index((number(row["inner"]), number(row["outer"])))
            values[i, j] = number(row["fraction"])
            counts[i, j] = (int(number(row[outcome])), int(number(row["runs"])))
        image = ax.imshow(values, vmin=0.0, vmax=top, cmap="viridis", aspect="auto", origin="lower")
        for (i, j), (k, n) in counts.items():
            ax.text(
                j,
                i,
                f"{values[i, j]:.3f}\n{k:,}/{n:,}",
                ha="center",
                va="center",
                fontsize="x-small",
                color="black" if values[i, j] > 0.6 * top else "white",
            )
        ax.set_xticks(range(len(bands)), [f"[{a:.3g}, {b:.3g})" for a, b in bands], rotation=30)
        ax.set_yticks(range(len(etas)), [f"{e:g}" for e in etas])
        ax.set_xlabel("radius (band)")
        ax.set_title(_label(key), fontsize="small")
    for ax in axes[::ncols]:
        ax.set_ylabel("step size eta")
    assert image is not None
    word = _outcome_word(table, threshold_of(df))
    fig.colorbar(image, ax=axes, label=f"fraction {word}", shrink=0.9)
    fig.suptitle(_title(df, f"fraction {word} by step size and radius"), fontsize="small")
    return fig


def plot_steps_ecdf(source: Sources, *, by: str | Sequence[str] | None = None) -> Figure:
    """Steps to converge as empirical distribution functions over all runs of each series.

    A curve climbs at each converged run's step count, by one over the series' runs, so it
    ends at the converged fraction; runs that did not converge are censored at the step cap
    (drawn as a vertical line) and counted in the legend.

    Parameters
    ----------
    source : path, Store, DataFrame, or a list of them
    by : str or sequence of str, optional
        The series; by default study and game (when they vary), dynamic and step size.

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> import pandas as pd
    >>> df = pd.DataFrame({"index": range(4), "slice": [0, 0, 1, 1], "inner": [0, 0, .5, .5],
    ...                    "outer": [.5, .5, 1, 1], "dynamic": "ogda", "eta": 0.1,
    ...                    "steps": [12, 100, 40, 100], "converged": [True, False, True, False],
    ...                    "metric": [0.0, 0.2, 0.0, 0.1]})
    >>> fig = plot_steps_ecdf(df)
    """
    df = _rows(source)
    if "steps" not in df.columns or "converged" not in df.columns:
        raise TableError(
            "steps to converge need a 'steps' column: these rows predate step counts, so "
            "convergence is only known through the metric (see summary())"
        )
    keys = _series_keys(df) if by is None else group_keys(df, by)
    palette = _Palette(df)
    fig, (ax,) = _new_figure(size=(7.5, 5.0))
    ends = []
    caps: set[int] = set()
    for key, rows in _groups(df, keys):
        look = palette.look(key)
        done = rows["converged"].to_numpy(dtype=bool)
        steps = rows["steps"].to_numpy(dtype=np.float64)
        cap = float(steps[~done].max()) if (~done).any() else float(cap_of(rows) or steps.max())
        caps.add(int(cap))
        hit = np.sort(steps[done])
        n = len(rows)
        x = np.concatenate([[min(1.0, hit[0]) if hit.size else 1.0], hit, [cap]])
        y = np.concatenate([[0.0], np.arange(1, hit.size + 1) / n, [hit.size / n]])
        ends.append(hit.size / n)
        censored = n - hit.size
        ax.plot(
            x,
            y,
            drawstyle="steps-post",
            color=look.colour,
            linestyle=look.dash,
            linewidth=1.4,
            label=f"{_label(key)}: {hit.size:,} of {n:,} converged, "
            f"{censored:,} censored at {cap:,.0f}",
        )
    for cap in sorted(caps):
        ax.axvline(cap, color="0.3", linestyle=":", linewidth=1)
    ax.set_xscale("log")
    _fit_fractions(ax, [0.0], ends)
    ax.set_xlabel(f"steps to converge (gap strictly below {CONVERGENCE_THRESHOLD:g})")
    ax.set_ylabel("fraction of the series' runs converged")
    caps_text = ", ".join(f"{c:,}" for c in sorted(caps))
    ax.set_title(
        _title(df, "steps to converge")
        + f"\nruns not converged are censored at the cap ({caps_text}, dotted)",
        fontsize="small",
    )
    ax.grid(True, which="major", alpha=0.3)
    ax.legend(fontsize="small", loc="best")
    return fig


def plot_overlay(
    sources: Sources,
    *,
    labels: Sequence[str] | None = None,
    confidence: float = 0.95,
) -> Figure:
    """Converged fraction against radius for several studies or games on one axis.

    Each source (a store or table) gets a label (its game by default); sources with the same
    label join one series per dynamic and step size, so scattered studies at several radii
    draw one curve. A table holding several studies is split by game (else by study).

    Parameters
    ----------
    sources : path, Store, DataFrame, or a list of them
    labels : sequence of str, optional
        One label per source, in order.
    confidence : float
        Coverage of the intervals.

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> import pandas as pd
    >>> df = pd.DataFrame({"index": range(4), "slice": [0, 0, 1, 1], "inner": [0, 0, .5, .5],
    ...                    "outer": [.5, .5, 1, 1], "dynamic": "ogda", "eta": 0.1,
    ...                    "steps": [12, 100, 40, 100], "converged": [True, False, True, False],
    ...                    "metric": [0.0, 0.2, 0.0, 0.1]})
    >>> fig = plot_overlay([df, df.assign(inner=df.inner + 1, outer=df.outer + 1)],
    ...                    labels=["near", "far"])
    """
    items = list(sources) if isinstance(sources, (list, tuple)) else [sources]
    if labels is not None and len(labels) != len(items):
        raise TableError(f"{len(labels)} labels for {len(items)} sources: give one per source")
    frames = []
    for i, item in enumerate(items):
        df = _drawable(resolve(item), "run")
        _bands(df, "an overlay")
        if labels is not None:
            df = df.assign(source=labels[i])
        elif "game" in df.columns:
            df = df.assign(source=df["game"].astype(str))
        else:
            study = study_of(df)
            name = (game_name(study) or "").split(" (")[0]
            fallback = df["study"].astype(str) if "study" in df.columns else f"source {i}"
            df = df.assign(source=name or fallback)
        if "study" not in df.columns:
            df = df.assign(study=f"source {i}")
        df = df.assign(_outcome=df["converged" if "converged" in df.columns else "metric_below"])
        df = df.assign(_known="converged" in df.columns)
        frames.append(df)
    df = pd.concat(frames, ignore_index=True)
    keys = ["source", *[k for k in ("dynamic", "eta") if k in df.columns]]
    _one_study_per(df, [*keys, "inner", "outer"], "an overlay")
    palette = _Palette(df)
    sources_seen = sorted(map(str, df["source"].unique()))
    fig, (ax,) = _new_figure(size=(8.0, 5.4))
    series = list(_groups(df, keys))
    lows, highs = [], []
    for i, (key, rows) in enumerate(series):
        table = aggregate(
            rows.drop(columns=["converged", "metric_below"], errors="ignore").rename(
                columns={"_outcome": "converged"}
            ),
            ["inner", "outer"],
            confidence,
            (),
        )
        marker = _MARKERS[sources_seen.index(str(key["source"])) % len(_MARKERS)]
        name = _label({k: v for k, v in key.items() if k != "source"})
        suffix = "" if column(rows, "_known").all() else f" (metric < {threshold_of(rows):g})"
        _fraction_bars(
            ax, table, palette.look(key), i, len(series), f"{key['source']}: {name}{suffix}", marker
        )
        lows.append(table["ci_low"].to_numpy(dtype=np.float64))
        highs.append(table["ci_high"].to_numpy(dtype=np.float64))
    _fit_fractions(ax, np.concatenate(lows), np.concatenate(highs))
    ax.set_xlabel("perturbation radius (entry magnitudes, band)")
    ax.set_ylabel(f"converged ({confidence:.0%} CI)")
    ax.set_title(f"converged fraction against radius: {', '.join(sources_seen)}", fontsize="small")
    ax.grid(True, alpha=0.3)
    fig.legend(loc="outside lower center", ncols=2, fontsize="small")
    return fig


# --- single runs ------------------------------------------------------------------------------


def _histories(source: Source) -> pd.DataFrame:
    if isinstance(source, pd.DataFrame):
        return _drawable(source, "history")
    from .store import load_histories

    return _drawable(
        load_histories(Path(source) if isinstance(source, os.PathLike) else source), "history"
    )


def _marks(points: int, i: int) -> tuple[int, int]:
    # About eight markers per line, shifted from line to line so that overlapping runs still
    # show each one's markers.
    every = max(1, points // 8)
    return ((i * max(1, every // 3)) % every, every)


def _run_label(key: dict[str, object], first: pd.Series) -> str:
    parts = [f"run {key['run']}"] if "run" in key else []
    parts += [str(first[c]) for c in ("game", "dynamic") if c in first.index]
    if "eta" in first.index:
        parts.append(f"eta {number(first['eta']):g}")
    return ": ".join([parts[0], ", ".join(parts[1:])]) if len(parts) > 1 else "".join(parts)


def _runs_of(histories: pd.DataFrame) -> list[tuple[dict[str, object], pd.DataFrame]]:
    keys = [k for k in ("study", "run") if k in histories.columns]
    if "study" in keys and distinct(histories, "study") == 1:
        keys.remove("study")
    return [(key, rows.sort_values("step")) for key, rows in _groups(histories, keys)]


def plot_gaps(source: Source, *, tolerances: Sequence[float] | None = None) -> Figure:
    """Duality gap against step for the single runs of a study, on log–log axes.

    Parameters
    ----------
    source : path or DataFrame
        A store directory, or the table returned by `load_histories` (columns ``run``,
        ``step``, ``gap``, ``dynamic``, ``eta``).
    tolerances : sequence of float, optional
        Horizontal lines to draw; by default the convergence threshold 1e-8 and the study's
        tolerances.

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> import pandas as pd
    >>> h = pd.DataFrame({"run": 0, "step": [1, 10, 100], "gap": [1.0, 0.1, 1e-9],
    ...                   "dynamic": "ogda", "eta": 0.1})
    >>> fig = plot_gaps(h)
    """
    histories = _histories(source)
    study = study_of(histories)
    if tolerances is None:
        listed = study.get("tolerances") or ()
        assert isinstance(listed, (list, tuple))
        tolerances = sorted({CONVERGENCE_THRESHOLD, *map(float, listed)})
    gaps = histories["gap"].to_numpy(dtype=np.float64)
    scale = _LogFloor(gaps, extra=tolerances)
    palette = _Palette(histories)
    fig, (ax,) = _new_figure()
    floor_count = 0
    for i, (key, group) in enumerate(_runs_of(histories)):
        first = group.iloc[0]
        look = palette.look(dict(first))
        g = group["gap"].to_numpy(dtype=np.float64)
        ax.plot(
            group["step"],
            scale.map(g),
            label=_run_label(key, first),
            color=look.colour,
            linestyle=look.dash,
            marker=_MARKERS[i % len(_MARKERS)],
            markersize=4,
            markevery=_marks(len(group), i),
            linewidth=1.3,
        )
        floor_count += int(np.sum(g <= 0))
    for j, tol in enumerate(tolerances):
        if tol == CONVERGENCE_THRESHOLD:
            ax.axhline(
                tol,
                color="0.15",
                linewidth=1.0,
                linestyle="--",
                label=f"convergence threshold {tol:g}",
            )
        else:
            ax.axhline(
                tol,
                color="0.45",
                linewidth=0.9,
                linestyle=(0, (1, 1.5 + j)),
                label=f"tolerance {tol:g}",
            )
    scale.mark(ax, "gap", floor_count)
    scale.apply(ax)
    ax.set_xscale("log")
    ax.set_xlabel("step")
    ax.set_ylabel("duality gap")
    note = _finite_note(gaps)
    head = "single runs"
    if study.get("decimation") is not None:
        kept = study["decimation"]
        head += f", {'log-spaced' if kept == 'log' else f'every {kept}-th'} steps kept"
    ax.set_title(_title(histories, head) + (f"\n{note}" if note else ""), fontsize="medium")
    ax.grid(True, which="major", alpha=0.3)
    ax.legend(fontsize="small", loc="best")
    return fig


def strategy_columns(histories: pd.DataFrame, player: str) -> list[str]:
    """The history's strategy columns of a player (``"x"`` or ``"y"``), in action order."""
    found = [(int(m.group(2)), c) for c in histories.columns if (m := _STRATEGY.match(str(c)))]
    return [c for i, c in sorted(found) if c.startswith(player + "_")]


def _strategies(histories: pd.DataFrame) -> tuple[list[str], list[str]]:
    xs, ys = strategy_columns(histories, "x"), strategy_columns(histories, "y")
    if not xs or not ys:
        raise TableError(
            "these histories hold no strategies (x_0…, y_0… columns): the store predates "
            "strategy paths; run the study again in a new store to draw them"
        )
    return xs, ys


def _matrix(source: Source, histories: pd.DataFrame, matrix: npt.ArrayLike | None) -> Floats:
    """The game the runs played: given, from the store, or named by the description."""
    if matrix is not None:
        return np.asarray(matrix, dtype=np.float64)
    if isinstance(source, Store):
        return np.asarray(np.load(source.path / "matrix.npy"), dtype=np.float64)
    if isinstance(source, (str, os.PathLike)):
        return np.asarray(np.load(Path(source) / "matrix.npy"), dtype=np.float64)
    study = study_of(histories)
    names = set(map(str, histories["game"].unique())) if "game" in histories.columns else set()
    if study.get("game"):
        names.add(str(study["game"]))
    if len(names) == 1:
        name = names.pop()
        if name in games.CLASSIC_GAMES:
            return games.classic_game(name)
    if study.get("matrix") and study["matrix"] != "<array>":
        return games.read_matrix(str(study["matrix"]))
    raise TableError(
        "the game matrix of these runs is unknown: pass matrix=..., or the store itself"
    )


def _optimal_point(payoff: Floats, bound: float, size: int) -> bool:
    """Whether {s on the simplex: payoff @ s <= bound} is a single point (within the
    solver's tolerance): each coordinate's least and greatest value over the set agree."""
    from scipy.optimize import linprog

    for i in range(size):
        extremes = []
        for sign in (1.0, -1.0):
            c = np.zeros(size)
            c[i] = sign
            res = linprog(
                c,
                A_ub=payoff,
                b_ub=np.full(payoff.shape[0], bound),
                A_eq=np.ones((1, size)),
                b_eq=[1.0],
                bounds=[(0, None)] * size,
                method="highs",
            )
            if res.status != 0:
                return False
            extremes.append(float(res.x[i]))
        if abs(extremes[0] - extremes[1]) > DISTANCE_TOLERANCE:
            return False
    return True


def path_distances(a: npt.ArrayLike, xs: npt.ArrayLike, ys: npt.ArrayLike) -> Floats:
    """L1 distance of each point (xs[t], ys[t]) of a path to the game's equilibria.

    The same distance as `games.distance_to_equilibria`; when each player's optimal set is a
    single point (the common case) it is read off that point for the whole path at once,
    instead of two linear programs per point."""
    a = np.asarray(a, dtype=np.float64)
    x = np.asarray(xs, dtype=np.float64)
    y = np.asarray(ys, dtype=np.float64)
    eq = games.equilibrium(a)
    slack = 1e-9 * max(1.0, float(np.abs(a).max(initial=0.0)))
    m, n = a.shape
    if _optimal_point(a.T, eq.value + slack, m) and _optimal_point(-a, -eq.value + slack, n):
        dist: Floats = np.abs(x - eq.x).sum(axis=1) + np.abs(y - eq.y).sum(axis=1)
        return dist
    return np.array(
        [games.distance_to_equilibria(a, xt, yt, eq.value) for xt, yt in zip(x, y, strict=True)]
    )


_CORNERS = np.array([[0.0, 0.0], [1.0, 0.0], [0.5, math.sqrt(3.0) / 2.0]])


def simplex_points(p: npt.ArrayLike) -> Floats:
    """Points of the 2-simplex (rows of 3 probabilities) in the plane of the drawn triangle."""
    points: Floats = np.asarray(p, dtype=np.float64) @ _CORNERS
    return points


def plot_paths(
    source: Source,
    *,
    matrix: npt.ArrayLike | None = None,
) -> Figure:
    """Strategy paths of single runs: one panel per player, on the triangle (3 actions) or
    the segment (2 actions, against the step), from the history's ``x_i`` and ``y_j``. Starts
    are circles, ends squares; the equilibrium is a star when the game is known.

    Parameters
    ----------
    source : path or DataFrame
        A single-run store, or its `load_histories` table.
    matrix : array, optional
        The game, to mark its equilibrium (read from the store otherwise).

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> import pandas as pd
    >>> h = pd.DataFrame({"run": 0, "step": [1, 10], "gap": [0.5, 0.01], "dynamic": "ogda",
    ...                   "eta": 0.1, "x_0": [0.6, 0.4], "x_1": [0.4, 0.6],
    ...                   "y_0": [0.2, 0.5], "y_1": [0.8, 0.5]})
    >>> fig = plot_paths(h, matrix=[[1.0, -1.0], [-1.0, 1.0]])
    """
    histories = _histories(source)
    xs, ys = _strategies(histories)
    for player, cols in (("row", xs), ("column", ys)):
        if len(cols) not in (2, 3):
            raise TableError(
                f"the {player} player has {len(cols)} actions: paths are drawn on the "
                "segment (2 actions) or the triangle (3)"
            )
    try:
        eq: games.Equilibrium | None = games.equilibrium(_matrix(source, histories, matrix))
    except (LabError, OSError, ValueError):
        eq = None
    palette = _Palette(histories)
    fig, axes = _new_figure(1, 2, size=(10.0, 5.0), sharex=False)
    runs = _runs_of(histories)
    for ax, player, cols in zip(
        axes, ("row player (x)", "column player (y)"), (xs, ys), strict=True
    ):
        star = None if eq is None else (eq.x if cols is xs else eq.y)
        if len(cols) == 3:
            ax.plot(*np.vstack([_CORNERS, _CORNERS[:1]]).T, color="0.4", linewidth=0.8)
            for k, (cx, cy) in enumerate(_CORNERS):
                ax.annotate(
                    f"action {k}",
                    (cx, cy),
                    textcoords="offset points",
                    xytext=(0, 6 if k == 2 else -12),
                    ha="center",
                    fontsize="small",
                )
            ax.set_aspect("equal")
            ax.axis("off")
        else:
            ax.set_xlim(-0.02, 1.02)
            ax.set_yscale("log")
            ax.set_xlabel(f"probability of action 0 ({cols[0]})")
            ax.set_ylabel("step")
            ax.grid(True, alpha=0.3)
        for key, rows in runs:
            first = rows.iloc[0]
            look = palette.look(dict(first))
            p = rows[cols].to_numpy(dtype=np.float64)
            if len(cols) == 3:
                px, py = simplex_points(p).T
            else:
                px, py = p[:, 0], rows["step"].to_numpy(dtype=np.float64)
            ax.plot(
                px, py, color=look.colour, linestyle=look.dash, lw=1.2, label=_run_label(key, first)
            )
            ax.plot(px[:1], py[:1], "o", color=look.colour, markersize=5)
            ax.plot(px[-1:], py[-1:], "s", color=look.colour, markersize=5)
        if star is not None:
            if len(cols) == 3:
                sx, sy = simplex_points(star[None, :]).T
                ax.plot(sx, sy, "*", color="black", markersize=11, label="equilibrium")
            else:
                ax.axvline(float(star[0]), color="black", linestyle=":", label="equilibrium")
        ax.set_title(player, fontsize="medium")
    axes[0].legend(fontsize="small", loc="best")
    fig.suptitle(_title(histories, "strategy paths (start ○, end □)"), fontsize="medium")
    return fig


def plot_distance(source: Source, *, matrix: npt.ArrayLike | None = None) -> Figure:
    """L1 distance of single runs' strategies to the set of equilibria against the step, on
    log–log axes; distances below the solver's tolerance (1e-7) sit on a floor row.

    Parameters
    ----------
    source : path or DataFrame
        A single-run store, or its `load_histories` table.
    matrix : array, optional
        The game (read from the store, or a named game of the description, otherwise).

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> import pandas as pd
    >>> h = pd.DataFrame({"run": 0, "step": [1, 10], "gap": [0.5, 0.01], "dynamic": "ogda",
    ...                   "eta": 0.1, "x_0": [0.6, 0.4], "x_1": [0.4, 0.6],
    ...                   "y_0": [0.2, 0.5], "y_1": [0.8, 0.5]})
    >>> fig = plot_distance(h, matrix=[[1.0, -1.0], [-1.0, 1.0]])
    """
    histories = _histories(source)
    xs, ys = _strategies(histories)
    a = _matrix(source, histories, matrix)
    runs = _runs_of(histories)
    distances = [
        path_distances(a, rows[xs].to_numpy(dtype=np.float64), rows[ys].to_numpy(dtype=np.float64))
        for _, rows in runs
    ]
    # Below the solver's tolerance a distance is only a bound: it goes on the floor.
    shown = [np.where(d < DISTANCE_TOLERANCE, 0.0, d) for d in distances]
    scale = _LogFloor(np.concatenate(shown), extra=[DISTANCE_TOLERANCE])
    palette = _Palette(histories)
    fig, (ax,) = _new_figure()
    for i, ((key, rows), d) in enumerate(zip(runs, shown, strict=True)):
        first = rows.iloc[0]
        look = palette.look(dict(first))
        ax.plot(
            rows["step"].to_numpy(dtype=np.float64),
            scale.map(d),
            color=look.colour,
            linestyle=look.dash,
            marker=_MARKERS[i % len(_MARKERS)],
            markersize=4,
            markevery=_marks(len(rows), i),
            linewidth=1.3,
            label=_run_label(key, first),
        )
    below = int(sum(int(np.sum(d <= 0)) for d in shown))
    if below:
        ax.plot(
            [],
            [],
            linestyle="none",
            marker="_",
            color=FLOOR_COLOUR,
            markersize=12,
            label=f"distance < {DISTANCE_TOLERANCE:g} (the solver's tolerance; {below:,}), "
            "drawn on the floor",
        )
    scale.apply(ax)
    ax.set_xscale("log")
    ax.set_xlabel("step")
    ax.set_ylabel("L1 distance to the equilibria")
    ax.set_title(_title(histories, "distance to equilibrium"), fontsize="medium")
    ax.grid(True, which="major", alpha=0.3)
    ax.legend(fontsize="small", loc="best")
    return fig


def save_figure(fig: Figure, out: str | os.PathLike[str], stem: str) -> list[Path]:
    """Save `fig` as ``out/stem.png`` and ``out/stem.svg``; returns both paths.

    Each file is written under a temporary name beside it and renamed into place, so a reader
    never sees half a figure.
    """
    folder = Path(out)
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for suffix, dpi in ((".png", 120.0), (".svg", "figure")):
        path = folder / f"{stem}{suffix}"
        tmp = folder / f".{stem}{suffix}.tmp"
        fig.savefig(tmp, format=suffix[1:], dpi=dpi)
        os.replace(tmp, path)
        paths.append(path)
    return paths
