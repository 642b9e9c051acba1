"""Tables and figures of a study: the summary a paper would print and the standard plots.

Every function takes either a store directory or the DataFrame that `load` returned for it, so
a notebook can filter a table first and draw only part of a study. Figures are built on
`matplotlib.figure.Figure` directly (no pyplot state, no display needed) and saved as PNG and
SVG by `save_figure`.

Log axes and non-positive values: metrics such as the variance of a constant tail are exactly
zero, and a log axis has no place for them. They are drawn on a floor row below the smallest
positive value, with their own marker, legend entry and a "0" label, so a zero never poses as a
small number and nothing is clipped into invented decades.
"""

from __future__ import annotations

import math
import os
import sys
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, TextIO

import numpy as np
import pandas as pd

from .errors import StoreError
from .store import Store

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

# What every table and figure reads: a store (its directory or an open Store) or a table that
# `load` returned.
type Source = pd.DataFrame | str | os.PathLike[str] | Store

__all__ = [
    "binomial_interval",
    "plot_concentric",
    "plot_gaps",
    "plot_scattered",
    "plot_stack",
    "report",
    "save_figure",
    "summary",
]

CONVERGENCE_THRESHOLD = 1e-08
QUANTILES = (0.1, 0.25, 0.5, 0.75, 0.9)
# Distinguishable without colour: every line differs from its neighbours in dash and marker too.
_COLOURS = (
    "tab:blue",
    "tab:orange",
    "tab:green",
    "tab:red",
    "tab:purple",
    "tab:brown",
    "tab:pink",
    "tab:grey",
    "tab:olive",
    "tab:cyan",
)
_DASHES = ("-", "--", "-.", ":")
_MARKERS = ("o", "s", "^", "D", "v", "P", "X", "*")
_FLOOR_COLOUR = "black"
_MANY_POINTS = 5_000
_MAX_DRAWN = 100_000


# --- tables ------------------------------------------------------------------------------------


def binomial_interval(
    successes: Any, trials: Any, confidence: float = 0.95
) -> tuple[np.ndarray, np.ndarray]:
    """Clopper–Pearson (exact) interval of a binomial proportion.

    Parameters
    ----------
    successes, trials : array_like of int
        Counts, broadcast together; ``0 <= successes <= trials``.
    confidence : float
        Coverage in (0, 1).

    Returns
    -------
    (low, high) : two float arrays; NaN where ``trials`` is 0. The bound at an observed 0 or
    ``trials`` is exactly 0 or 1.

    Examples
    --------
    >>> low, high = binomial_interval(0, 10)
    >>> float(low), round(float(high), 4)
    (0.0, 0.3085)
    """
    from scipy.stats import beta

    if not 0.0 < confidence < 1.0:
        raise ValueError(f"confidence must lie in (0, 1), got {confidence!r}")
    k = np.asarray(successes, dtype=float)
    n = np.asarray(trials, dtype=float)
    k, n = np.broadcast_arrays(k, n)
    if np.any(k < 0) or np.any(k > n):
        raise ValueError("successes must lie between 0 and trials")
    alpha = 1.0 - confidence
    with np.errstate(invalid="ignore", divide="ignore"):
        low = np.where(k > 0, beta.ppf(alpha / 2, k, n - k + 1), 0.0)
        high = np.where(k < n, beta.ppf(1 - alpha / 2, k + 1, n - k), 1.0)
    empty = n == 0
    low = np.where(empty, np.nan, low)
    high = np.where(empty, np.nan, high)
    return low, high


def _resolve(source: Source) -> pd.DataFrame:
    from .store import load

    if isinstance(source, pd.DataFrame):
        return source
    if isinstance(source, (str, Store)):
        return load(source)
    if isinstance(source, os.PathLike):
        return load(Path(source))
    raise TypeError(
        f"expected a store (directory or Store) or a DataFrame from load(), "
        f"got {type(source).__name__}"
    )


def _drawable(df: pd.DataFrame, what: str) -> pd.DataFrame:
    if df.empty:
        raise ValueError(f"no runs to draw: the {what} table is empty (has the study run yet?)")
    return df


def _study(df: pd.DataFrame) -> dict[str, Any]:
    study = df.attrs.get("study")
    return dict(study) if isinstance(study, dict) else {}


def _kind(df: pd.DataFrame) -> str:
    kind = _study(df).get("kind")
    if kind is None:  # a table built by hand: recognise it by its columns
        if "final_gap" in df.columns:
            return "single"
        if "slice" in df.columns and df["slice"].nunique() > 1:
            return "concentric"
        return "scattered"
    return str(kind)


def _group_keys(df: pd.DataFrame) -> list[str]:
    return [c for c in ("dynamic", "eta") if c in df.columns]


def _metric_name(study: dict[str, Any]) -> str:
    metric = study.get("metric")
    if metric is None:
        return "metric"
    text = str(metric)
    if text.lower().startswith(("max_last", "var_last")) and study.get("cutoff") is not None:
        text += f" (last {100 * float(study['cutoff']):g} % of each run)"
    return text


def _exploration_table(
    df: pd.DataFrame, confidence: float, quantiles: Sequence[float]
) -> pd.DataFrame:
    keys = [*_group_keys(df), "slice"]
    rows = []
    for key, group in df.groupby(keys, sort=True, dropna=False):
        key = key if isinstance(key, tuple) else (key,)
        metric = group["metric"].to_numpy(dtype=float)
        finite = metric[~np.isnan(metric)]
        row = dict(zip(keys, key, strict=True))
        row["inner"] = float(group["inner"].iloc[0]) if "inner" in group else math.nan
        row["outer"] = float(group["outer"].iloc[0]) if "outer" in group else math.nan
        row["runs"] = len(group)
        row["converged"] = int(group["converged"].sum())
        row["nan"] = int(np.isnan(metric).sum())
        for q in quantiles:
            row[f"q{q * 100:g}"] = float(np.quantile(finite, q)) if finite.size else math.nan
        rows.append(row)
    table = pd.DataFrame(rows)
    if table.empty:
        return table
    table["fraction"] = table["converged"] / table["runs"]
    table["ci_low"], table["ci_high"] = binomial_interval(
        table["converged"], table["runs"], confidence
    )
    ordered = [*keys, "inner", "outer", "runs", "converged", "fraction", "ci_low", "ci_high", "nan"]
    return table[ordered + [c for c in table.columns if c not in ordered]]


def _single_table(df: pd.DataFrame) -> pd.DataFrame:
    front = [
        c
        for c in ("run", "dynamic", "eta", "steps", "converged", "final_gap", "distance")
        if c in df
    ]
    tolerances = [c for c in df.columns if c.startswith("steps_to_")]
    return (
        df[front + tolerances]
        .sort_values("run" if "run" in df else front[0])
        .reset_index(drop=True)
    )


def _describe(df: pd.DataFrame) -> list[str]:
    study = _study(df)
    kind = _kind(df)
    parts = [f"{kind} study"]
    game = _game_name(study)
    if game:
        parts.append(f"game {game}")
    dynamics = sorted({str(d) for d in df["dynamic"]}) if "dynamic" in df and len(df) else []
    etas = sorted({float(e) for e in df["eta"]}) if "eta" in df and len(df) else []
    if dynamics:
        parts.append("dynamic " + ", ".join(dynamics))
    if etas:
        parts.append("eta " + ", ".join(f"{e:g}" for e in etas))
    if study.get("num_steps") is not None:
        parts.append(f"{int(study['num_steps']):,} steps")
    if kind != "single" and study.get("metric") is not None:
        parts.append(_metric_name(study))
    if kind == "scattered" and study.get("norm") is not None:
        parts.append(f"{study['norm']} norm")
    if kind == "single" and "value" in df and len(df):
        parts.append(f"game value {float(df['value'].iloc[0]):.6g}")
    if kind in ("scattered", "concentric"):  # single runs and stacks draw nothing
        parts.append(f"seed {study['seed']}" if study.get("seed") is not None else "unseeded")
    lines = [", ".join(parts)]
    planned = _planned_runs(study)
    chunks, total = df.attrs.get("chunks"), df.attrs.get("total_chunks")
    if planned is not None and kind != "single":
        done = f"runs stored: {len(df):,} of {planned:,}"
    else:
        done = f"runs stored: {len(df):,}"
    if chunks is not None and total is not None:
        done += f"; chunks committed: {int(chunks):,} of {int(total):,}"
        if int(chunks) < int(total):
            done += " (incomplete: run the study again on this store to finish it)"
    lines.append(done)
    return lines


def _planned_runs(study: dict[str, Any]) -> int | None:
    runs = study.get("num_runs")
    shape = study.get("shape")
    if study.get("kind") == "stack" and isinstance(shape, (list, tuple)) and len(shape) == 3:
        runs = shape[0]  # one run per matrix
    if runs is None:
        return None
    runs = int(runs)
    if study.get("kind") == "concentric" and study.get("num_slices"):
        slices = int(study["num_slices"])
        runs = runs // slices * slices
    for field in ("dynamic", "eta"):
        values = study.get(field)
        if isinstance(values, (list, tuple)) and values:
            runs *= len(values)
    return runs


def _game_name(study: dict[str, Any]) -> str | None:
    shape = study.get("shape")
    size = (
        "×".join(str(n) for n in shape[-2:]) if isinstance(shape, (list, tuple)) and shape else ""
    )
    name: str | None
    if study.get("game"):
        name = str(study["game"])
    elif study.get("matrix") and study["matrix"] != "<array>":
        name = Path(str(study["matrix"])).name
    else:
        name = "matrix" if size else None
    if name is None:
        return None
    if study.get("kind") == "stack" and isinstance(shape, (list, tuple)) and len(shape) == 3:
        return f"{name} ({shape[0]:,} matrices {size})"
    return f"{name} ({size})" if size else name


def _fmt(x: float, spec: str) -> str:
    if x is None or (isinstance(x, float) and math.isnan(x)):
        return "—"
    return format(x, spec)


def _render_exploration(table: pd.DataFrame, confidence: float) -> str:
    if table.empty:
        return "no runs stored yet"
    out = pd.DataFrame()
    for key in _group_keys(table):
        out[key] = table[key].map(lambda v: f"{v:g}" if isinstance(v, float) else str(v))
    if table["slice"].nunique() > 1 or table["inner"].notna().any():
        out["slice"] = table["slice"].astype(int)
        out["band"] = [
            f"[{_fmt(a, '.4g')}, {_fmt(b, '.4g')}]"
            for a, b in zip(table["inner"], table["outer"], strict=True)
        ]
    out["runs"] = table["runs"].map("{:,}".format)
    out["converged"] = table["converged"].map("{:,}".format)
    # Four decimals: with 10,000 runs in a slice an interval can be narrower than 0.001, and
    # three would print one that is not zero-width as [0.000, 0.000].
    out[f"fraction [{confidence:.0%} CI]"] = [
        f"{_fmt(f, '.4f')} [{_fmt(lo, '.4f')}, {_fmt(hi, '.4f')}]"
        for f, lo, hi in zip(table["fraction"], table["ci_low"], table["ci_high"], strict=True)
    ]
    for column in table.columns:
        if column.startswith("q") and column[1:].replace(".", "").isdigit():
            out[f"metric {column}"] = table[column].map(lambda v: _fmt(v, ".3g"))
    if table["nan"].any():
        out["NaN"] = table["nan"]
    return str(out.to_string(index=False))


def _render_single(table: pd.DataFrame) -> str:
    if table.empty:
        return "no runs stored yet"
    out = table.copy()
    for column in ("final_gap", "distance"):
        if column in out:
            out[column] = out[column].map(lambda v: _fmt(float(v), ".3e"))
    if "eta" in out:
        out["eta"] = out["eta"].map(lambda v: f"{v:g}")
    for column in out.columns:
        if column.startswith("steps"):
            out[column] = out[column].map(lambda v: "never" if pd.isna(v) else f"{int(v):,}")
    return str(out.to_string(index=False))


def summary(
    source: Source,
    *,
    confidence: float = 0.95,
    quantiles: Sequence[float] = QUANTILES,
    echo: bool = True,
    file: TextIO | None = None,
) -> pd.DataFrame:
    """Print and return the summary table of a study.

    For explorations and stacks: one row per slice (and per dynamic and step size): the band,
    the runs stored, how many converged with the fraction and its Clopper–Pearson interval, and
    quantiles of the metric (NaN metrics are counted apart and left out of the quantiles). For
    single runs: one row per run with its steps, converged flag, final gap, distance to the
    equilibrium and steps to each tolerance ("never" when the gap did not get there).

    Parameters
    ----------
    source : path or DataFrame
        A store directory, or a table returned by `load`.
    confidence : float
        Coverage of the interval of the converged fraction.
    quantiles : sequence of float
        Metric quantiles to report, each in [0, 1].
    echo : bool
        Print the table; False only returns it.
    file : text stream, optional
        Where to print; standard output by default.

    Returns
    -------
    pandas.DataFrame with numeric columns (``fraction``, ``ci_low``, ``ci_high``, ``q50`` …).

    Examples
    --------
    >>> import pandas as pd
    >>> df = pd.DataFrame({"chunk": 0, "index": range(4), "slice": 0, "inner": 0.0, "outer": 0.1,
    ...                    "norm": 0.05, "metric": [0.0, 1e-9, 0.3, 0.4],
    ...                    "converged": [True, True, False, False], "dynamic": "ogda", "eta": 0.1})
    >>> table = summary(df, echo=False)
    >>> float(table["fraction"].iloc[0])
    0.5
    """
    for q in quantiles:
        if not 0.0 <= q <= 1.0:
            raise ValueError(f"quantiles must lie in [0, 1], got {q!r}")
    df = _resolve(source)
    kind = _kind(df)
    if kind == "single":
        table = _single_table(df)
        text = _render_single(table)
    else:
        table = _exploration_table(df, confidence, quantiles)
        text = _render_exploration(table, confidence)
    if echo:
        out = sys.stdout if file is None else file
        print("\n".join(_describe(df)), file=out)
        print(text, file=out)
    return table


# --- figures -----------------------------------------------------------------------------------


def _new_figure(
    rows: int = 1,
    height_ratios: Sequence[float] | None = None,
    size: tuple[float, float] = (7.5, 4.8),
) -> tuple[Figure, list[Axes]]:
    from matplotlib.figure import Figure

    fig = Figure(figsize=size, layout="constrained")
    if rows == 1:
        return fig, [fig.add_subplot()]
    axes = fig.subplots(rows, 1, sharex=True, gridspec_kw={"height_ratios": height_ratios})
    return fig, list(axes)


def _style(i: int) -> dict[str, Any]:
    return {
        "color": _COLOURS[i % len(_COLOURS)],
        "linestyle": _DASHES[i % len(_DASHES)],
        "marker": _MARKERS[i % len(_MARKERS)],
    }


class _LogFloor:
    """A log scale for the positive values, with a floor row below them for values <= 0."""

    def __init__(self, values: Iterable[float], extra: Iterable[float] = ()):
        v = np.asarray(list(values), dtype=float)
        positive = v[np.isfinite(v) & (v > 0)]
        marks = [x for x in extra if np.isfinite(x) and x > 0]
        span = np.concatenate([positive, marks]) if marks else positive
        if span.size:
            self.lo, self.hi = float(span.min()), float(span.max())
        else:
            self.lo = self.hi = 1.0
        # A decade of room below the data, then the floor; nothing is drawn between them.
        self.floor = self.lo / 10**1.0
        self.gap = self.lo / 10**0.5
        self.has_floor = bool(np.any(v <= 0))
        self.all_zero = bool(np.all(v[v <= 0] == 0))

    def map(self, values: Any) -> np.ndarray:
        v = np.asarray(values, dtype=float)
        return np.where(v <= 0, self.floor, v)

    def label(self, what: str, count: int) -> str:
        relation = "= 0" if self.all_zero else "≤ 0"
        return f"{what} {relation} ({count:,}), drawn on the floor"

    def apply(self, ax: Axes) -> None:
        from matplotlib.ticker import (
            FuncFormatter,
            LogFormatterSciNotation,
            LogLocator,
            NullFormatter,
        )
        from matplotlib.transforms import blended_transform_factory

        ax.set_yscale("log")
        bottom = self.floor / 10**0.3 if self.has_floor else self.lo / 10**0.3
        ax.set_ylim(bottom, self.hi * 10**0.3)
        if not self.has_floor:
            return
        gap, decades = self.gap, LogFormatterSciNotation()

        def label(y: float, pos: int | None) -> str:  # nothing inside the break: no such values
            return "" if y < gap else str(decades(y, pos))

        ax.yaxis.set_major_locator(LogLocator(base=10.0, numticks=12))
        ax.yaxis.set_major_formatter(FuncFormatter(label))
        ax.yaxis.set_minor_formatter(NullFormatter())
        ax.axhspan(bottom, gap, color="0.93", zorder=0, linewidth=0)
        ax.axhline(gap, color="0.5", linewidth=0.8, linestyle=(0, (2, 2)), zorder=1)
        transform = blended_transform_factory(ax.transAxes, ax.transData)
        ax.text(
            -0.012,
            self.floor,
            "0" if self.all_zero else "≤0",
            transform=transform,
            ha="right",
            va="center",
            fontsize="small",
        )


def _marks(points: int, i: int) -> tuple[int, int]:
    # About eight markers per line, shifted from line to line so that overlapping runs still
    # show each one's markers.
    every = max(1, points // 8)
    return ((i * max(1, every // 3)) % every, every)


def _finite_note(values: np.ndarray) -> str:
    nan = int(np.isnan(values).sum())
    inf = int(np.isposinf(values).sum())
    parts = []
    if nan:
        parts.append(f"{nan:,} NaN")
    if inf:
        parts.append(f"{inf:,} +inf")
    return f"not drawn: {', '.join(parts)}" if parts else ""


def _title(df: pd.DataFrame, head: str) -> str:
    study = _study(df)
    bits = [head]
    game = _game_name(study)
    if game:
        bits.append(game)
    if study.get("num_steps") is not None:
        bits.append(f"{int(study['num_steps']):,} steps")
    if _kind(df) in ("scattered", "concentric") and "gap" not in df:
        bits.append(f"seed {study['seed']}" if study.get("seed") is not None else "unseeded")
    return ", ".join(bits)


def _group_label(key: tuple[Any, ...], keys: Sequence[str]) -> str:
    return ", ".join(
        f"{k} {v:g}" if isinstance(v, float) else str(v) for k, v in zip(keys, key, strict=True)
    )


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
    if isinstance(source, pd.DataFrame):
        histories = source
    else:
        from .store import load_histories

        histories = load_histories(Path(source) if isinstance(source, os.PathLike) else source)
    _drawable(histories, "history")
    study = _study(histories)
    if tolerances is None:
        tolerances = sorted({CONVERGENCE_THRESHOLD, *map(float, study.get("tolerances", ()) or ())})
    gaps = histories["gap"].to_numpy(dtype=float)
    scale = _LogFloor(gaps, extra=tolerances)
    fig, (ax,) = _new_figure()
    floor_count = 0
    for i, (run, group) in enumerate(histories.groupby("run", sort=True)):
        group = group.sort_values("step")
        first = group.iloc[0]
        label = f"run {run}: " + _group_label(
            (first.get("dynamic", ""), first.get("eta", math.nan)), ("dynamic", "eta")
        )
        style = _style(i)
        g = group["gap"].to_numpy(dtype=float)
        ax.plot(
            group["step"],
            scale.map(g),
            label=label,
            color=style["color"],
            linestyle=style["linestyle"],
            marker=style["marker"],
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
    if floor_count:
        ax.plot(
            [],
            [],
            linestyle="none",
            marker="_",
            color=_FLOOR_COLOUR,
            markersize=12,
            label=scale.label("gap", floor_count),
        )
    scale.apply(ax)
    ax.set_xscale("log")
    ax.set_xlabel("step")
    ax.set_ylabel("duality gap")
    note = _finite_note(gaps)
    head = "single runs"
    etas = histories["eta"].unique() if "eta" in histories else []
    if len(etas) == 1:
        head += f", eta {float(etas[0]):g}"
    if study.get("decimation") is not None:
        kept = study["decimation"]
        head += f", {'log-spaced' if kept == 'log' else f'every {kept}-th'} steps kept"
    ax.set_title(_title(histories, head) + (f"\n{note}" if note else ""), fontsize="medium")
    ax.grid(True, which="major", alpha=0.3)
    ax.legend(fontsize="small", loc="best")
    return fig


def plot_scattered(source: Source, *, bins: int = 10, confidence: float = 0.95) -> Figure:
    """Metric against perturbation norm for a scattered exploration, with the converged fraction.

    The upper panel shows every run (converged runs filled, the others hollow) on a log axis
    with the study's threshold of convergence (a run converged when its metric lies strictly
    below it); the lower panel the converged fraction in equal-count bins of the norm with its
    Clopper–Pearson interval.

    Parameters
    ----------
    source : path or DataFrame
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
    df = _drawable(_resolve(source), "run")
    fig, (top, bottom) = _new_figure(2, height_ratios=(3, 1.4), size=(7.5, 6.4))

    def beside(group: pd.DataFrame, style: dict[str, Any], name: str) -> None:
        _fraction_by_norm(
            bottom,
            group["norm"].to_numpy(dtype=float),
            group["converged"].to_numpy(dtype=bool),
            bins,
            confidence,
            style,
            name,
        )

    _runs_panel(top, df, "norm", "scattered exploration", confidence, beside)
    bottom.set_ylim(-0.04, 1.04)
    bottom.set_ylabel("converged")
    bottom.set_xlabel(f"{_study(df).get('norm', 'perturbation')} norm of the perturbation")
    bottom.grid(True, alpha=0.3)
    return fig


def _runs_panel(
    ax: Axes,
    df: pd.DataFrame,
    x: str,
    head: str,
    confidence: float,
    beside: Callable[[pd.DataFrame, dict[str, Any], str], None] | None = None,
) -> None:
    """One marker per run: metric (log, zeros on the floor) against column `x`, converged runs
    filled, with the threshold and the overall converged fraction in the title."""
    study = _study(df)
    metric = df["metric"].to_numpy(dtype=float)
    threshold = _threshold(study)
    scale = _LogFloor(metric, extra=[threshold])
    # Many runs: the markers become one embedded image in the SVG (axes and text stay vector),
    # and the legend is not placed by searching every point.
    many = len(df) > _MANY_POINTS
    # Past a point markers only pile up: a fixed random sample of them is drawn, and said so;
    # counts, fractions and the floor's count still use every run.
    drawn = np.ones(len(df), dtype=bool)
    if len(df) > _MAX_DRAWN:
        drawn[:] = False
        drawn[np.random.default_rng(0).choice(len(df), _MAX_DRAWN, replace=False)] = True
    keys = _group_keys(df)
    groups = (
        list(df.assign(_drawn=drawn).groupby(keys, sort=True))
        if keys
        else [((), df.assign(_drawn=drawn))]
    )
    for i, (key, group) in enumerate(groups):
        key = key if isinstance(key, tuple) else (key,)
        style = _style(i)
        name = _group_label(key, keys)
        m = group["metric"].to_numpy(dtype=float)
        where = group[x].to_numpy(dtype=float)
        conv = group["converged"].to_numpy(dtype=bool)
        shown = ~np.isnan(m) & ~np.isposinf(m) & group["_drawn"].to_numpy()
        for mask, filled in ((conv & shown, True), (~conv & shown, False)):
            if mask.any():
                ax.scatter(
                    where[mask],
                    scale.map(m[mask]),
                    s=3 if many else 10,
                    marker=style["marker"],
                    facecolors=style["color"] if filled else "none",
                    edgecolors=style["color"],
                    linewidths=0.5 if many else 0.7,
                    alpha=0.35 if many else 0.75,
                    rasterized=many,
                    label=f"{name}: {'converged' if filled else 'not converged'}",
                )
        if beside is not None:
            beside(group, style, name)
    floor_count = int(np.sum(metric <= 0))
    if floor_count:
        ax.plot(
            [],
            [],
            linestyle="none",
            marker="_",
            color=_FLOOR_COLOUR,
            markersize=12,
            label=scale.label("metric", floor_count),
        )
    ax.axhline(
        threshold, color="0.2", linestyle="--", linewidth=1, label=_threshold_label(threshold)
    )
    scale.apply(ax)
    converged, runs = int(df["converged"].sum()), len(df)
    low, high = binomial_interval(converged, runs, confidence)
    overall = (
        (
            f"converged {converged:,} of {runs:,} = {converged / runs:.3f} "
            f"[{float(low):.3f}, {float(high):.3f}] ({confidence:.0%} CI)"
        )
        if runs
        else "no runs"
    )
    notes = [_finite_note(metric)]
    if not drawn.all():
        notes.append(f"markers: a random {_MAX_DRAWN:,} of {len(df):,} runs")
    note = "; ".join(filter(None, notes))
    ax.set_title(
        _title(df, head) + f"\n{overall}" + (f"\n{note}" if note else ""), fontsize="medium"
    )
    ax.set_ylabel(_metric_name(study))
    ax.grid(True, alpha=0.3)
    ax.legend(fontsize="small", loc="upper left" if many else "best", framealpha=0.9)


def _threshold(study: dict[str, Any]) -> float:
    # A run counts as converged when its metric is strictly below the study's threshold.
    return float(study.get("threshold", CONVERGENCE_THRESHOLD))


def _threshold_label(threshold: float) -> str:
    return f"converged: metric < {threshold:g}"


def _fraction_by_norm(
    ax: Axes,
    norm: np.ndarray,
    conv: np.ndarray,
    bins: int,
    confidence: float,
    style: dict[str, Any],
    name: str,
) -> None:
    ok = np.isfinite(norm)
    norm, conv = norm[ok], conv[ok]
    if not norm.size:
        return
    edges = np.unique(np.quantile(norm, np.linspace(0, 1, bins + 1)))
    if edges.size < 2:
        edges = np.array([norm.min(), norm.max()])
    which = np.clip(np.searchsorted(edges, norm, side="right") - 1, 0, edges.size - 2)
    trials = np.bincount(which, minlength=edges.size - 1)
    hits = np.bincount(which, weights=conv.astype(float), minlength=edges.size - 1)
    keep = trials > 0
    centres = (edges[:-1] + edges[1:]) / 2
    fraction = np.divide(hits, trials, out=np.zeros_like(hits), where=keep)
    low, high = binomial_interval(hits[keep], trials[keep], confidence)
    ax.errorbar(
        centres[keep],
        fraction[keep],
        yerr=[fraction[keep] - low, high - fraction[keep]],
        xerr=[centres[keep] - edges[:-1][keep], edges[1:][keep] - centres[keep]],
        color=style["color"],
        marker=style["marker"],
        linestyle="none",
        markersize=4,
        capsize=2,
        elinewidth=0.8,
        label=name,
    )


def plot_concentric(source: Source, *, confidence: float = 0.95) -> Figure:
    """Converged fraction and metric quantiles per slice of a concentric exploration.

    Upper panel: the converged fraction of each slice with its Clopper–Pearson interval (the
    horizontal bar is the slice's band). Lower panel: the metric's median (marker), 25–75 %
    (thick bar) and 10–90 % (thin bar) per slice, on a log axis whose floor row holds the
    quantiles that are exactly zero.

    Returns
    -------
    matplotlib.figure.Figure
    """
    df = _drawable(_resolve(source), "run")
    study = _study(df)
    table = _exploration_table(df, confidence, QUANTILES)
    quantile_columns = ["q10", "q25", "q50", "q75", "q90"]
    values = (
        table[quantile_columns].to_numpy(dtype=float).ravel() if not table.empty else np.array([])
    )
    threshold = _threshold(study)
    scale = _LogFloor(values, extra=[threshold])
    fig, (top, bottom) = _new_figure(2, height_ratios=(1.3, 2), size=(7.5, 7.0))
    keys = _group_keys(df)
    groups = list(table.groupby(keys, sort=True)) if keys and not table.empty else [((), table)]
    n_groups = len(groups)
    floor_count = 0
    for i, (key, rows) in enumerate(groups):
        if rows.empty:
            continue
        key = key if isinstance(key, tuple) else (key,)
        style = _style(i)
        name = _group_label(key, keys)
        inner = rows["inner"].to_numpy(dtype=float)
        outer = rows["outer"].to_numpy(dtype=float)
        width = outer - inner
        x = (inner + outer) / 2 + width * 0.12 * (i - (n_groups - 1) / 2)
        frac = rows["fraction"].to_numpy(dtype=float)
        low, high = rows["ci_low"].to_numpy(dtype=float), rows["ci_high"].to_numpy(dtype=float)
        top.errorbar(
            x,
            frac,
            yerr=[frac - low, high - frac],
            xerr=width / 2,
            color=style["color"],
            marker=style["marker"],
            linestyle=style["linestyle"],
            linewidth=0.8,
            markersize=4,
            capsize=2,
            elinewidth=0.8,
            label=name,
        )
        q = {c: rows[c].to_numpy(dtype=float) for c in quantile_columns}
        have = ~np.isnan(q["q50"])
        bottom.vlines(
            x[have],
            scale.map(q["q10"][have]),
            scale.map(q["q90"][have]),
            color=style["color"],
            linewidth=1,
        )
        bottom.vlines(
            x[have],
            scale.map(q["q25"][have]),
            scale.map(q["q75"][have]),
            color=style["color"],
            linewidth=5,
            alpha=0.55,
        )
        # Medians are not joined: a line would cross the break between the floor and the data.
        bottom.plot(
            x[have],
            scale.map(q["q50"][have]),
            color=style["color"],
            marker=style["marker"],
            linestyle="none",
            markersize=6,
            markeredgecolor="white",
            label=f"{name}: median, 25–75 %, 10–90 %",
        )
        zero = np.zeros(len(rows), dtype=bool)
        for c in quantile_columns:
            zero |= q[c] <= 0
        for c in quantile_columns:
            hit = q[c] <= 0
            if hit.any():
                bottom.plot(
                    x[hit],
                    np.full(hit.sum(), scale.floor),
                    linestyle="none",
                    marker="_",
                    markersize=12,
                    color=_FLOOR_COLOUR,
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
            color=_FLOOR_COLOUR,
            markeredgewidth=1.6,
            label=f"quantile {'= 0' if scale.all_zero else '≤ 0'}, "
            f"drawn on the floor ({floor_count} slice{'s' if floor_count > 1 else ''})",
        )
    bottom.axhline(
        threshold, color="0.2", linestyle="--", linewidth=1, label=_threshold_label(threshold)
    )
    scale.apply(bottom)
    top.set_ylim(-0.04, 1.04)
    top.set_ylabel(f"converged ({confidence:.0%} CI)")
    top.grid(True, alpha=0.3)
    if n_groups > 1:
        top.legend(fontsize="small", loc="best")
    bottom.set_ylabel(_metric_name(study))
    bottom.set_xlabel("perturbation radius (entry magnitudes, slice band)")
    bottom.grid(True, which="major", alpha=0.3)
    # Below the figure: inside, the legend would hide the whiskers of some slice.
    fig.legend(
        *bottom.get_legend_handles_labels(), loc="outside lower center", ncols=2, fontsize="small"
    )
    runs = int(table["runs"].sum()) if not table.empty else 0
    nan = int(table["nan"].sum()) if not table.empty else 0
    head = f"concentric exploration, {runs:,} runs"
    top.set_title(
        _title(df, head) + (f"\nNaN metrics left out: {nan:,}" if nan else ""), fontsize="medium"
    )
    return fig


def plot_stack(source: Source, *, confidence: float = 0.95) -> Figure:
    """Metric of each matrix of a stack study, converged runs filled, on a log axis with a floor.

    Returns
    -------
    matplotlib.figure.Figure
    """
    df = _drawable(_resolve(source), "run")
    fig, (ax,) = _new_figure()
    _runs_panel(ax, df, "index", "stack of matrices", confidence)
    ax.set_xlabel("matrix index")
    return fig


def save_figure(fig: Figure, out: str | os.PathLike[str], stem: str) -> list[Path]:
    """Save `fig` as ``out/stem.png`` and ``out/stem.svg``; returns both paths.

    Each file is written under a temporary name beside it and renamed into place, so a reader
    never sees half a figure.
    """
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    paths = []
    for suffix, dpi in ((".png", 120), (".svg", None)):
        path = out / f"{stem}{suffix}"
        tmp = out / f".{stem}{suffix}.tmp"
        fig.savefig(tmp, format=suffix[1:], dpi=dpi)  # None: matplotlib's default
        os.replace(tmp, path)
        paths.append(path)
    return paths


def report(store: str | os.PathLike[str] | Store, out: str | os.PathLike[str]) -> list[Path]:
    """Write every standard figure of a store, and its summary, into the folder `out`.

    Single runs give ``gaps``; scattered explorations ``scattered``; concentric ones
    ``concentric``; stacks ``stack`` — each as PNG and SVG — and every study a ``summary.txt``
    holding the printed table.

    Parameters
    ----------
    store : path
        A study store.
    out : path
        Folder for the figures, created if missing.

    Returns
    -------
    list of pathlib.Path, the files written.

    Raises
    ------
    StoreError
        If the store holds no finished runs yet (or is not a store).
    """
    import io

    df = _resolve(store)
    if df.empty:
        where = getattr(store, "path", store)
        raise StoreError(f"{where}: the store holds no finished runs yet; run the study first")
    kind = _kind(df)
    if kind == "single":
        figures = {"gaps": plot_gaps(store)}
    elif kind == "concentric":
        figures = {"concentric": plot_concentric(df)}
    elif kind == "stack":
        figures = {"stack": plot_stack(df)}
    else:
        figures = {"scattered": plot_scattered(df)}
    written: list[Path] = []
    for stem, fig in figures.items():
        written += save_figure(fig, out, stem)
    text = io.StringIO()
    summary(df, file=text)
    path = Path(out) / "summary.txt"
    tmp = Path(out) / ".summary.txt.tmp"
    tmp.write_text(text.getvalue(), encoding="utf-8")
    os.replace(tmp, path)
    written.append(path)
    return written
