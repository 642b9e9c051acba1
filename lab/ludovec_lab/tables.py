"""Summary tables of studies: converged fractions with their intervals, steps and metrics.

Every function takes a store (its directory or an open `Store`), a table that `load` returned,
or a list of them, so a notebook can filter a table first, or put several studies side by
side. Rows are grouped so that nothing a reader compares is pooled by accident: by default by
every present one of study, game, dynamic, step size and slice.

What "converged" means depends on what the rows know. Rows with a ``steps`` column record
whether the gap fell strictly below 1e-8 within the step cap, and after how many steps. Rows of
the earlier format know only their metric: there the fraction is of runs whose metric fell
below the study's threshold (``metric_below``), and the header says so.
"""

from __future__ import annotations

import math
import os
import sys
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TextIO

import numpy as np
import numpy.typing as npt
import pandas as pd

from .errors import LabError
from .schema import CONVERGENCE_THRESHOLD
from .store import Store

# What every table and figure reads: a store (its directory or an open Store) or a table that
# `load` returned.
type Source = pd.DataFrame | str | os.PathLike[str] | Store
type Sources = Source | Sequence[Source]
# A study description as `load` puts it into ``attrs["study"]``: plain JSON values.
type StudyDict = dict[str, object]

__all__ = ["QUANTILES", "Source", "Sources", "TableError", "binomial_interval", "summary"]

QUANTILES = (0.1, 0.25, 0.5, 0.75, 0.9)
# The default grouping: none of these is ever pooled unless the caller asks.
GROUPING = ("study", "game", "dynamic", "eta", "slice", "start")
# The equilibrium programs solve to HiGHS's default feasibility tolerance: a distance below it
# cannot be told from zero, and the solver's rounding makes it print as 0 or as noise.
DISTANCE_TOLERANCE = 1e-7
# A game value closer to zero than the programs' own slack is zero (and never prints as -0).
VALUE_RESOLUTION = 1e-9


def column(df: pd.DataFrame, name: str) -> pd.Series:
    """One column of `df`, as a Series."""
    return pd.Series(df[name])


def distinct(df: pd.DataFrame, name: str) -> int:
    """How many distinct values (NaN aside) a column of `df` holds."""
    return int(column(df, name).nunique())


def select(df: pd.DataFrame, mask: pd.Series) -> pd.DataFrame:
    """The rows of `df` where `mask` holds."""
    rows = df.loc[mask]
    assert isinstance(rows, pd.DataFrame)
    return rows


def number(value: object) -> float:
    """A table cell as a float."""
    return float(value) if isinstance(value, (int, float, np.number)) else float(str(value))


class TableError(LabError, ValueError):
    """A table or figure asked of rows that cannot give it: rows of several studies that
    nothing tells apart, a grouping by a column the rows lack, a figure without its data."""


def binomial_interval(
    successes: npt.ArrayLike, trials: npt.ArrayLike, confidence: float = 0.95
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
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
    k, n = np.broadcast_arrays(
        np.asarray(successes, dtype=np.float64), np.asarray(trials, dtype=np.float64)
    )
    if np.any(k < 0) or np.any(k > n):
        raise ValueError("successes must lie between 0 and trials")
    alpha = 1.0 - confidence
    with np.errstate(invalid="ignore", divide="ignore"):
        low = np.where(k > 0, beta.ppf(alpha / 2, k, n - k + 1), 0.0)
        high = np.where(k < n, beta.ppf(1 - alpha / 2, k + 1, n - k), 1.0)
    empty = n == 0
    return (
        np.where(empty, np.nan, low).astype(np.float64),
        np.where(empty, np.nan, high).astype(np.float64),
    )


# --- reading ----------------------------------------------------------------------------------


def _load_one(source: Source) -> pd.DataFrame:
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


def normalise(df: pd.DataFrame) -> pd.DataFrame:
    """The rows with the columns of the current format where an older one can give them.

    Before runs recorded their steps, ``converged`` meant "metric below the threshold": such
    a column is read as ``metric_below``, and convergence is left unknown."""
    if (
        "steps" not in df.columns
        and "converged" in df.columns
        and "metric_below" not in df.columns
        and "metric" in df.columns
    ):
        attrs = dict(df.attrs)
        df = df.rename(columns={"converged": "metric_below"})
        df.attrs.update(attrs)
    return df


def resolve(source: Sources) -> pd.DataFrame:
    """One table of rows from a source or a list of them.

    Tables of a list keep their descriptions apart in ``attrs["studies"]`` (by study), since
    concatenating tables keeps no attrs that differ; each gets a ``study`` column if it has
    none (its fingerprint's first 12 digits, else its place in the list)."""
    if isinstance(source, (pd.DataFrame, str, os.PathLike, Store)):
        return normalise(_load_one(source))
    tables = []
    studies: dict[str, StudyDict] = {}
    for i, one in enumerate(source):
        df = normalise(_load_one(one))
        if "study" not in df.columns:
            fingerprint = df.attrs.get("fingerprint")
            name = str(fingerprint)[:12] if fingerprint else f"table {i}"
            df = df.assign(study=name)
        for name in df["study"].unique():
            if name in studies and study_of(df) and studies[name] != study_of(df):
                raise TableError(
                    f"two tables of the list are both labelled study {name!r}; give each "
                    "its own label (df.assign(study=...)) before passing them"
                )
            studies[str(name)] = study_of(df)
        tables.append(df)
    if not tables:
        raise TableError("no tables given: pass at least one store or table")
    out = pd.concat(tables, ignore_index=True)
    out.attrs = {"studies": studies}
    return out


def study_of(df: pd.DataFrame) -> StudyDict:
    """The study description a table carries, or an empty dict."""
    study = df.attrs.get("study")
    return dict(study) if isinstance(study, dict) else {}


def studies_of(df: pd.DataFrame) -> dict[str, StudyDict]:
    """The descriptions behind a table, by study label (one entry for a single study)."""
    several = df.attrs.get("studies")
    if isinstance(several, dict):
        return {str(k): dict(v) for k, v in several.items()}
    study = study_of(df)
    if not study:
        return {}
    label = str(df.attrs.get("fingerprint", ""))[:12] or "study"
    if "study" in df.columns and distinct(df, "study") == 1:
        label = str(df["study"].iloc[0])
    return {label: study}


def kind_of(df: pd.DataFrame) -> str:
    """The study kind of the rows: from the description, else from the columns."""
    kinds = {str(s.get("kind")) for s in studies_of(df).values() if s.get("kind")}
    if len(kinds) == 1:
        return kinds.pop()
    if "run" in df.columns and "index" not in df.columns:
        return "single"
    if "inner" in df.columns and len(df) and column(df, "inner").isna().all():
        return "stack"
    if "slice" in df.columns and distinct(df, "slice") > 1:
        return "concentric"
    return "scattered"


def outcome_of(df: pd.DataFrame) -> str:
    """The column that says whether a run succeeded: ``converged`` when the rows know it."""
    if "converged" in df.columns:
        return "converged"
    if "metric_below" in df.columns:
        return "metric_below"
    raise TableError("the rows have neither a 'converged' nor a 'metric_below' column")


def threshold_of(df: pd.DataFrame) -> float:
    """The metric threshold of the rows' study (1e-8 unless the study set another)."""
    values = {
        float(str(s.get("threshold", CONVERGENCE_THRESHOLD))) for s in studies_of(df).values()
    }
    return values.pop() if len(values) == 1 else CONVERGENCE_THRESHOLD


def cap_of(df: pd.DataFrame) -> int | None:
    """The step cap of the rows, when one cap holds for all of them."""
    caps = {int(str(s["num_steps"])) for s in studies_of(df).values() if "num_steps" in s}
    if len(caps) == 1:
        return caps.pop()
    if "steps" in df.columns and "converged" in df.columns:
        open_runs = df.loc[~df["converged"].astype(bool), "steps"]
        if len(open_runs) and open_runs.nunique() == 1:
            return int(open_runs.iloc[0])
    return None


# --- grouping ---------------------------------------------------------------------------------


def group_keys(df: pd.DataFrame, by: str | Sequence[str] | None) -> list[str]:
    """The grouping columns: ``by`` checked against the rows, or the default."""
    if by is None:
        return [c for c in GROUPING if c in df.columns]
    keys = [by] if isinstance(by, str) else list(by)
    missing = [k for k in keys if k not in df.columns]
    if missing:
        raise TableError(
            f"cannot group by {', '.join(map(repr, missing))}: the rows have no such column "
            f"(they have {', '.join(map(str, df.columns))})"
        )
    if len(set(keys)) != len(keys):
        raise TableError(f"by names a column twice: {keys}")
    return keys


def check_apart(df: pd.DataFrame) -> None:
    """Refuses rows of several studies that nothing tells apart.

    Within one study a run is identified by its dynamic, step size and index (``run`` for
    single runs); the same identity twice means the rows come from several studies, and
    without a ``study`` column no grouping can keep them apart."""
    if "study" in df.columns or df.empty:
        return
    run = "index" if "index" in df.columns else "run" if "run" in df.columns else None
    if run is None:
        return
    identity = [c for c in ("game", "dynamic", "eta", run) if c in df.columns]
    twice = df.duplicated(identity, keep=False)
    if twice.any():
        first = df.loc[twice, identity].iloc[0]
        which = ", ".join(f"{c} {first[c]}" for c in identity)
        raise TableError(
            f"the rows come from several studies ({which} appears "
            f"{int((df[identity] == first).all(axis=1).sum())} times) and have no 'study' "
            "column to tell them apart: load each store with load() (which adds it), or "
            "pass them as a list, summary([a, b]), or label them before concatenating, "
            "pd.concat([a.assign(study='a'), b.assign(study='b')]), then group by 'study'"
        )


def _quantile(values: npt.NDArray[np.float64], q: float) -> float:
    return float(np.quantile(values, q)) if values.size else math.nan


def aggregate(
    df: pd.DataFrame,
    keys: Sequence[str],
    confidence: float = 0.95,
    quantiles: Sequence[float] = QUANTILES,
) -> pd.DataFrame:
    """One row per group of `keys`: runs, the fraction that succeeded with its interval,
    steps to converge over the converged runs, metric quantiles.

    ``fraction``, ``ci_low`` and ``ci_high`` are of ``converged`` when the rows know it, else
    of ``metric_below`` (``attrs["fraction_of"]`` says which)."""
    outcome = outcome_of(df)
    keys = list(keys)
    rows = []
    groups = df.groupby(keys, sort=True, dropna=False) if keys else [((), df)]
    for key, group in groups:
        key = key if isinstance(key, tuple) else (key,)
        row: dict[str, object] = dict(zip(keys, key, strict=True))
        for edge in ("inner", "outer"):
            if edge in group.columns and edge not in keys:
                values = group[edge].unique()
                row[edge] = float(values[0]) if len(values) == 1 else math.nan
        row["runs"] = len(group)
        if "converged" in group.columns:
            done = group["converged"].to_numpy(dtype=bool)
            row["converged"] = int(done.sum())
            if "steps" in group.columns:
                steps = group["steps"].to_numpy(dtype=np.float64)
                row["censored"] = int((~done).sum())
                row["cap"] = float(steps[~done].max()) if (~done).any() else math.nan
                for q in quantiles:
                    row[f"steps_q{q * 100:g}"] = _quantile(steps[done], q)
        if "metric_below" in group.columns:
            row["metric_below"] = int(group["metric_below"].to_numpy(dtype=bool).sum())
        if "metric" in group.columns:
            metric = group["metric"].to_numpy(dtype=np.float64)
            finite = metric[~np.isnan(metric)]
            row["nan"] = int(np.isnan(metric).sum())
            for q in quantiles:
                row[f"q{q * 100:g}"] = _quantile(finite, q)
        rows.append(row)
    table = pd.DataFrame(rows)
    table.attrs["fraction_of"] = outcome
    if table.empty:
        return table
    table["fraction"] = table[outcome] / table["runs"]
    table["ci_low"], table["ci_high"] = binomial_interval(table[outcome], table["runs"], confidence)
    if outcome == "converged" and "metric_below" in table.columns:
        table["metric_below_fraction"] = table["metric_below"] / table["runs"]
    front = [*keys, "inner", "outer", "runs", outcome, "fraction", "ci_low", "ci_high"]
    front = [c for c in dict.fromkeys(front) if c in table.columns]
    table = table.reindex(columns=front + [c for c in table.columns if c not in front])
    table.attrs["fraction_of"] = outcome
    return table


# --- printing ---------------------------------------------------------------------------------


def _fmt(x: object, spec: str) -> str:
    if x is None or x is pd.NA or (isinstance(x, float) and math.isnan(x)):
        return "—"
    return format(x, spec)


def format_value(value: float) -> str:
    """A game value as printed: six digits, zero for what the solver cannot tell from it."""
    if abs(value) < VALUE_RESOLUTION:
        value = 0.0
    return f"{value + 0.0:.6g}"  # + 0.0 turns -0.0 into 0.0


def format_distance(distance: float) -> str:
    """A distance to the equilibria as printed; below the solver's tolerance it is only an
    upper bound."""
    if math.isnan(distance):
        return "—"
    if distance < DISTANCE_TOLERANCE:
        return f"< {DISTANCE_TOLERANCE:g}"
    return f"{distance:.3e}"


def _name(value: object) -> str:
    return f"{value:g}" if isinstance(value, float) else str(value)


def series_label(keys: Sequence[str], key: Sequence[object]) -> str:
    """``"ogda, eta 0.1"`` for a group of the given keys (study and game named first)."""
    parts = []
    for k, v in zip(keys, key, strict=True):
        if k == "dynamic" or k == "game":
            parts.append(str(v))
        elif k == "study":
            parts.append(f"study {v}")
        else:
            parts.append(f"{k} {_name(v)}")
    return ", ".join(parts)


def _metric_name(study: StudyDict) -> str:
    metric = study.get("metric")
    if metric is None:
        return "metric"
    text = str(metric)
    cutoff = study.get("cutoff")
    if text.lower().startswith(("max_last", "var_last")) and cutoff is not None:
        text += f" (last {100 * float(str(cutoff)):g} % of each run)"
    return text


def metric_name(df: pd.DataFrame) -> str:
    names = {_metric_name(s) for s in studies_of(df).values()}
    return names.pop() if len(names) == 1 else "metric"


def game_name(study: StudyDict) -> str | None:
    names = study.get("game_names")
    if isinstance(names, list):  # a grid: its rows name each game
        return f"grid of {len(names)} games"
    shape = study.get("shape")
    dims = list(shape) if isinstance(shape, (list, tuple)) else []
    size = "×".join(str(n) for n in dims[-2:])
    name: str | None
    if study.get("game"):
        name = str(study["game"])
    elif study.get("matrix") and study["matrix"] != "<array>":
        name = Path(str(study["matrix"])).name
    else:
        name = "matrix" if size else None
    if name is None:
        return None
    if study.get("kind") == "stack" and len(dims) == 3:
        return f"{name} ({int(dims[0]):,} matrices {size})"
    return f"{name} ({size})" if size else name


def seed_text(study: StudyDict) -> str | None:
    """What a header says of the seed: the one used, and whether the OS drew it."""
    seed = study.get("seed")
    if seed is None:
        # Studies before seeds were always recorded: their explorations drew perturbations
        # the store cannot regenerate. Single runs and stacks draw nothing.
        if study.get("kind") in ("scattered", "concentric"):
            return "unseeded (perturbations not regenerable)"
        return None
    return f"seed {seed}" + (" (drawn)" if study.get("seed_drawn") else "")


def _planned_runs(study: StudyDict) -> int | None:
    runs = study.get("num_runs")
    shape = study.get("shape")
    if study.get("kind") == "stack" and isinstance(shape, (list, tuple)) and len(shape) == 3:
        runs = shape[0]  # one run per matrix
    if runs is None:
        return None
    total = int(str(runs))
    if study.get("kind") == "concentric" and study.get("num_slices"):
        slices = int(str(study["num_slices"]))
        total = total // slices * slices
    for name in ("dynamic", "eta", "game_names", "starts"):
        values = study.get(name)
        if isinstance(values, (list, tuple)) and values:
            total *= len(values)
    return total


def _describe_study(study: StudyDict, rows: pd.DataFrame, kind: str) -> str:
    parts = [f"{kind} study"]
    game = game_name(study)
    if game:
        parts.append(f"game {game}")
    if len(rows) and "dynamic" in rows.columns:
        parts.append("dynamic " + ", ".join(sorted(map(str, rows["dynamic"].unique()))))
    if len(rows) and "eta" in rows.columns:
        parts.append("eta " + ", ".join(f"{e:g}" for e in sorted(map(float, rows["eta"].unique()))))
    if study.get("num_steps") is not None:
        parts.append(f"{int(str(study['num_steps'])):,} steps")
    if kind != "single" and study.get("metric") is not None:
        parts.append(_metric_name(study))
    if kind == "scattered" and study.get("norm") is not None:
        parts.append(f"{study['norm']} norm")
    if kind == "single" and "value" in rows.columns and len(rows):
        parts.append(f"game value {format_value(float(rows['value'].iloc[0]))}")
    seed = seed_text(study)
    if seed:
        parts.append(seed)
    return ", ".join(parts)


def describe(df: pd.DataFrame) -> list[str]:
    """The header of a table: what was run (with the seed truly named), what is stored, and
    what the fraction counts."""
    kind = kind_of(df)
    studies = studies_of(df)
    lines = []
    if len(studies) == 1 and ("study" not in df.columns or distinct(df, "study") <= 1):
        (study,) = studies.values()
        lines.append(_describe_study(study, df, kind))
        planned = _planned_runs(study)
        if planned is not None and kind != "single":
            done = f"runs stored: {len(df):,} of {planned:,}"
        else:
            done = f"runs stored: {len(df):,}"
        chunks, total = df.attrs.get("chunks"), df.attrs.get("total_chunks")
        if chunks is not None and total is not None:
            done += f"; chunks committed: {int(chunks):,} of {int(total):,}"
            if int(chunks) < int(total):
                done += " (incomplete: run the study again on this store to finish it)"
        lines.append(done)
    else:
        labels = sorted(map(str, df["study"].unique())) if "study" in df.columns else []
        lines.append(
            f"{len(labels) or 'rows of several'} studies, {len(df):,} runs"
            if labels
            else f"{kind} rows, {len(df):,} runs (no study description in the table)"
        )
        for label in labels:
            rows = select(df, column(df, "study") == label)
            if described := studies.get(label):
                own = str(described.get("kind") or kind_of(rows))
                lines.append(f"  {label}: {_describe_study(described, rows, own)}")
            else:
                lines.append(
                    f"  {label}: {len(rows):,} runs; its description is not in the table "
                    "(concatenated tables keep none: pass them as a list, summary([a, b]))"
                )
    lines.extend(_outcome_note(df, kind))
    return lines


def _outcome_note(df: pd.DataFrame, kind: str) -> list[str]:
    if kind == "single" or df.empty:
        return []
    if "steps" not in df.columns:
        return [
            "convergence is only known through the metric (these rows predate step counts): "
            f"the fraction is of runs whose metric fell below {threshold_of(df):g}"
        ]
    cap = cap_of(df)
    within = f"within the {cap:,}-step cap" if cap is not None else "within each study's cap"
    return [
        f"converged: the gap fell strictly below {CONVERGENCE_THRESHOLD:g} {within}; steps "
        "to converge are over the converged runs, the others are censored at the cap"
    ]


def _shown_keys(table: pd.DataFrame, keys: Sequence[str], several: bool) -> list[str]:
    # A study or game the header already names needs no column.
    shown = {"study": several}
    return [k for k in keys if shown.get(k, k != "game") or distinct(table, k) > 1]


def render(
    table: pd.DataFrame, keys: Sequence[str], confidence: float, several: bool
) -> pd.DataFrame:
    """The printed cells of an aggregated table (strings), for text or HTML."""
    out = pd.DataFrame(index=table.index)
    for key in _shown_keys(table, keys, several):
        if key == "slice":
            continue
        out[key] = table[key].map(_name)
    if "slice" in keys:
        out["slice"] = table["slice"].astype(int)
    if "inner" in table.columns and column(table, "inner").notna().any():
        out["band"] = [
            f"[{_fmt(a, '.4g')}, {_fmt(b, '.4g')})"
            for a, b in zip(table["inner"], table["outer"], strict=True)
        ]
    out["runs"] = table["runs"].map("{:,}".format)
    outcome = str(table.attrs.get("fraction_of", "converged"))
    what = "converged" if outcome == "converged" else "metric below"
    out[what] = table[outcome].map("{:,}".format)
    # Four decimals: with 10,000 runs in a slice an interval can be narrower than 0.001, and
    # three would print one that is not zero-width as [0.000, 0.000].
    out[f"fraction [{confidence:.0%} CI]"] = [
        f"{_fmt(f, '.4f')} [{_fmt(lo, '.4f')}, {_fmt(hi, '.4f')}]"
        for f, lo, hi in zip(table["fraction"], table["ci_low"], table["ci_high"], strict=True)
    ]
    steps = [c for c in table.columns if c.startswith("steps_q")]
    if steps:
        shown = [c for c in steps if c in ("steps_q10", "steps_q50", "steps_q90")] or steps
        out["steps to converge " + "/".join(c[6:] for c in shown)] = [
            " / ".join(_fmt(row[c], ",.0f") for c in shown) for _, row in table.iterrows()
        ]
        out["censored"] = [
            f"{int(n):,}" + (f" at {cap:,.0f}" if n and not math.isnan(cap) else "")
            for n, cap in zip(table["censored"], table["cap"], strict=True)
        ]
    if (
        "metric_below_fraction" in table.columns
        and (column(table, "metric_below") != column(table, "converged")).any()
    ):
        out["metric below threshold"] = [
            f"{int(k):,} ({f:.4f})"
            for k, f in zip(table["metric_below"], table["metric_below_fraction"], strict=True)
        ]
    for name in table.columns:
        if name.startswith("q") and name[1:].replace(".", "").isdigit():
            out[f"metric {name}"] = table[name].map(lambda v: _fmt(v, ".3g"))
    if "nan" in table.columns and column(table, "nan").any():
        out["NaN"] = table["nan"]
    return out


def single_table(df: pd.DataFrame) -> pd.DataFrame:
    """The single runs, one row each, in run order (study and game first when several)."""
    several = [c for c in ("study", "game") if c in df.columns and distinct(df, c) > 1]
    front = [
        c
        for c in (*several, "run", "dynamic", "eta", "steps", "converged", "final_gap", "distance")
        if c in df.columns
    ]
    if several and "value" in df.columns:
        front.append("value")
    tolerances = [c for c in df.columns if c.startswith("steps_to_")]
    order = [c for c in (*several, "run") if c in df.columns] or front[:1]
    listing = df.reindex(columns=front + tolerances)
    return listing.sort_values(by=order, kind="stable").reset_index(drop=True)


def render_single(table: pd.DataFrame) -> pd.DataFrame:
    out = table.copy()
    if "final_gap" in out.columns:
        out["final_gap"] = out["final_gap"].map(lambda v: _fmt(float(v), ".3e"))
    if "distance" in out.columns:
        out["distance"] = out["distance"].map(lambda v: format_distance(float(v)))
    if "value" in out.columns:
        out["value"] = out["value"].map(lambda v: format_value(float(v)))
    if "eta" in out.columns:
        out["eta"] = out["eta"].map(lambda v: f"{v:g}")
    for column in out.columns:
        if column.startswith("steps"):
            out[column] = out[column].map(lambda v: "never" if pd.isna(v) else f"{int(v):,}")
    return out


@dataclass(frozen=True, slots=True)
class Summary:
    """A summary as printed (header lines and cells) and as numbers (``table``)."""

    header: list[str]
    table: pd.DataFrame
    cells: pd.DataFrame = field(repr=False)

    @property
    def text(self) -> str:
        body = "no runs stored yet" if self.cells.empty else self.cells.to_string(index=False)
        return "\n".join([*self.header, str(body)])


def summarise(
    source: Sources,
    *,
    by: str | Sequence[str] | None = None,
    confidence: float = 0.95,
    quantiles: Sequence[float] = QUANTILES,
) -> Summary:
    """The summary of `source` (see `summary`), not printed."""
    for q in quantiles:
        if not 0.0 <= q <= 1.0:
            raise ValueError(f"quantiles must lie in [0, 1], got {q!r}")
    df = resolve(source)
    check_apart(df)
    header = describe(df)
    if kind_of(df) == "single" and by is None:
        table = single_table(df)
        return Summary(header, table, render_single(table))
    keys = group_keys(df, by)
    table = aggregate(df, keys, confidence, quantiles)
    several = "study" in df.columns and distinct(df, "study") > 1
    cells = render(table, keys, confidence, several) if not table.empty else pd.DataFrame()
    return Summary(header, table, cells)


def summary(
    source: Sources,
    *,
    by: str | Sequence[str] | None = None,
    confidence: float = 0.95,
    quantiles: Sequence[float] = QUANTILES,
    echo: bool = True,
    file: TextIO | None = None,
) -> pd.DataFrame:
    """Print and return the summary table of one or several studies.

    For explorations and stacks: one row per group, by default per study, game, dynamic, step
    size and slice (the ones present), so that no two of them are ever pooled. Each row holds
    the band, the runs, how many converged with the fraction and its Clopper–Pearson interval,
    the quantiles of the steps to converge over the converged runs (the others are censored
    at the cap), the metric's quantiles (NaN metrics counted apart) and, where it differs,
    how many runs had their metric below the threshold. Rows of the earlier format, without
    steps, count the runs whose metric fell below the threshold, and the header says so.
    Single runs are listed one per row unless `by` groups them.

    Parameters
    ----------
    source : path, Store, DataFrame, or a list of them
        Stores or tables returned by `load`. A list keeps each study's description (a
        concatenated table loses them).
    by : str or sequence of str, optional
        Columns to group by (``study``, ``game``, ``dynamic``, ``eta``, ``slice``, ``inner``,
        ``outer``...); by default the present ones of study, game, dynamic, eta and slice.
    confidence : float
        Coverage of the interval of the fraction.
    quantiles : sequence of float
        Quantiles of the metric and of the steps to report, each in [0, 1].
    echo : bool
        Print the table; False only returns it.
    file : text stream, optional
        Where to print; standard output by default.

    Returns
    -------
    pandas.DataFrame with numeric columns (``runs``, ``converged``, ``fraction``, ``ci_low``,
    ``ci_high``, ``steps_q50``, ``q50`` …).

    Raises
    ------
    TableError
        Rows of several studies that nothing tells apart, or `by` naming a missing column.

    Examples
    --------
    >>> import pandas as pd
    >>> df = pd.DataFrame({"index": range(4), "slice": 0, "inner": 0.0, "outer": 0.1,
    ...                    "steps": [40, 90, 100, 100], "converged": [True, True, False, False],
    ...                    "metric": [0.0, 1e-9, 0.3, 0.4], "dynamic": "ogda", "eta": 0.1})
    >>> table = summary(df, echo=False)
    >>> float(table["fraction"].iloc[0]), float(table["steps_q50"].iloc[0])
    (0.5, 65.0)
    """
    result = summarise(source, by=by, confidence=confidence, quantiles=quantiles)
    if echo:
        print(result.text, file=sys.stdout if file is None else file)
    return result.table
