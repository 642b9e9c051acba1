"""Summary tables, figures and reports: the numbers they print and what the figures draw."""

from __future__ import annotations

import io
import itertools
import re

import matplotlib
import numpy as np
import pandas as pd
import pytest
from scipy.stats import binomtest

from ludovec_lab import figures, games, tables, views

matplotlib.use("Agg")

CAP = 200


def exploration_frame(
    *,
    dynamics=("ogda", "omwuoomd"),
    etas=(0.05, 0.1),
    slices=3,
    runs=24,
    seed=0,
    study=None,
    game="rock_paper_scissors",
    kind="concentric",
    old_format=False,
):
    """Rows as `load` returns them for an exploration, with outcomes drawn from `seed`."""
    rng = np.random.default_rng(seed)
    rows = []
    for d, dynamic in enumerate(dynamics):
        for e, eta in enumerate(etas):
            index = 0
            for s in range(slices):
                chance = 0.05 + 0.3 * d + 0.2 * e + 0.1 * s  # every group has its own fraction
                for _ in range(runs):
                    converged = bool(rng.random() < chance)
                    metric = (
                        0.0 if converged else float(rng.choice([0.0, 10 ** rng.uniform(-6, 0)]))
                    )
                    rows.append(
                        {
                            "game": game,
                            "chunk": index // 8,
                            "index": index,
                            "slice": s,
                            "inner": s * 0.5,
                            "outer": (s + 1) * 0.5,
                            "dynamic": dynamic,
                            "eta": eta,
                            "steps": int(rng.integers(1, CAP)) if converged else CAP,
                            "converged": converged,
                            "final_gap": 1e-9 if converged else 0.01,
                            "metric": metric,
                            "metric_below": metric < 1e-8,
                            "norm": 0.1 + 0.01 * index,
                        }
                    )
                    index += 1
    df = pd.DataFrame(rows)
    if study is not None:
        df.insert(0, "study", study)
    if old_format:  # what a store of the previous format loads as
        df = df.drop(columns=["steps", "converged", "final_gap"])
    df.attrs["study"] = {
        "kind": kind,
        "game": game,
        "metric": "var_last",
        "cutoff": 0.1,
        "num_steps": CAP,
        "num_slices": slices,
        "seed": 11 if seed == 0 else seed,
    }
    return df


# --- intervals --------------------------------------------------------------------------------


@pytest.mark.parametrize("k, n", [(0, 10), (3, 10), (10, 10), (1, 1), (17, 250)])
def test_interval_is_clopper_pearson(k, n):
    low, high = views.binomial_interval(k, n, 0.9)
    exact = binomtest(k, n).proportion_ci(confidence_level=0.9, method="exact")
    assert (float(low), float(high)) == pytest.approx((exact.low, exact.high), abs=1e-12)
    assert float(low) <= k / n <= float(high)


@pytest.mark.parametrize(
    "k, n, confidence", [(3, 2, 0.95), (-1, 4, 0.95), (1, 4, 1.0), (1, 4, 0.0)]
)
def test_interval_refuses_impossible_counts(k, n, confidence):
    with pytest.raises(ValueError):
        views.binomial_interval(k, n, confidence)


# --- summaries --------------------------------------------------------------------------------


def test_summary_keeps_every_dynamic_step_size_and_slice_apart():
    df = exploration_frame()
    df.attrs["study"]["seed_drawn"] = True
    out = io.StringIO()
    table = views.summary(df, file=out, quantiles=(0.1, 0.5, 0.9))
    expected = df.groupby(["game", "dynamic", "eta", "slice"])
    assert len(table) == expected.ngroups == 12
    for row in table.itertuples(index=False):
        group = expected.get_group((row.game, row.dynamic, row.eta, row.slice))
        done = group["converged"]
        assert (row.runs, row.converged) == (len(group), done.sum())
        assert row.fraction == done.mean() and row.censored == (~done).sum()
        assert row.ci_low <= row.fraction <= row.ci_high
        steps = group.loc[done, "steps"]
        assert row.steps_q50 == (
            np.median(steps) if len(steps) else pytest.approx(np.nan, nan_ok=True)
        )
        assert row.metric_below == group["metric_below"].sum()
        assert row.q90 == np.quantile(group["metric"], 0.9)
    text = out.getvalue()
    assert "seed 11 (drawn)" in text and "unseeded" not in text
    assert "censored at the cap" in text and "omwuoomd" in text


@pytest.mark.parametrize("how", ["concat", "list"])
def test_tables_of_two_studies_are_grouped_by_study(how):
    a = exploration_frame(seed=1, study="aaaaaaaaaaaa", game="rock_paper_scissors")
    b = exploration_frame(seed=2, study="bbbbbbbbbbbb", game="random_10")
    source = pd.concat([a, b]) if how == "concat" else [a, b]
    out = io.StringIO()
    table = views.summary(source, file=out)
    assert set(table["study"]) == {"aaaaaaaaaaaa", "bbbbbbbbbbbb"} and len(table) == 24
    for name, frame in (("aaaaaaaaaaaa", a), ("bbbbbbbbbbbb", b)):
        mine = table[table["study"] == name]
        assert mine["converged"].sum() == frame["converged"].sum()
    header = out.getvalue().split("\n\n")[0]
    # The list keeps each study's description; a concatenated table says it lost them.
    if how == "list":
        assert "seed 1" in header and "seed 2" in header
    else:
        assert "pass them as a list" in header
    assert "unseeded" not in header


def test_rows_of_several_studies_without_a_study_column_are_refused():
    a, b = exploration_frame(seed=1), exploration_frame(seed=2)
    with pytest.raises(views.TableError, match=r"several studies.*'study'"):
        views.summary(pd.concat([a, b]), echo=False)
    with pytest.raises(views.TableError, match="several studies"):
        views.plot_concentric(pd.concat([a, b]))


@pytest.mark.parametrize(
    "by, keys", [("dynamic", ["dynamic"]), (["eta", "slice"], ["eta", "slice"])]
)
def test_summary_groups_by_the_columns_asked(by, keys):
    df = exploration_frame()
    table = views.summary(df, by=by, echo=False)
    counts = df.groupby(keys)["converged"].agg(["size", "sum"]).reset_index()
    assert table[keys].to_numpy().tolist() == counts[keys].to_numpy().tolist()
    assert table["runs"].tolist() == counts["size"].tolist()
    assert table["converged"].tolist() == counts["sum"].tolist()


def test_grouping_by_a_missing_column_names_it():
    with pytest.raises(views.TableError, match=r"'start'.*no such column"):
        views.summary(exploration_frame(), by=["dynamic", "start"], echo=False)


def test_rows_without_steps_summarise_through_the_metric():
    df = exploration_frame(old_format=True)
    out = io.StringIO()
    table = views.summary(df, file=out)
    assert table.attrs["fraction_of"] == "metric_below" and "converged" not in table
    fractions = df.groupby(["dynamic", "eta", "slice"])["metric_below"].mean()
    assert table["fraction"].tolist() == fractions.tolist()
    assert "only known through the metric" in out.getvalue()
    with pytest.raises(views.TableError, match="predate step counts"):
        views.plot_steps_ecdf(df)


@pytest.mark.parametrize(
    "distance, value, shown_distance, shown_value",
    [
        (0.0, -0.0, "< 1e-07", "game value 0,"),
        (4e-9, -3e-17, "< 1e-07", "game value 0,"),
        (2.5e-4, -0.2, "2.500e-04", "game value -0.2,"),
    ],
)
def test_single_runs_print_distance_and_value_honestly(
    distance, value, shown_distance, shown_value
):
    df = pd.DataFrame(
        {
            "run": [1, 0],
            "dynamic": ["ogda", "omwuoftrl"],
            "eta": [0.1, 0.05],
            "steps": [1000, 37],
            "converged": [False, True],
            "final_gap": [0.2, 5e-9],
            "steps_to_0.001": pd.array([pd.NA, 12], dtype="Int64"),
            "distance": [0.3, distance],
            "value": [value, value],
        }
    )
    df.attrs["study"] = {"kind": "single", "num_steps": 1000, "seed": 4}
    out = io.StringIO()
    table = views.summary(df, file=out)
    assert table["run"].tolist() == [0, 1]
    text = out.getvalue()
    lines = text.splitlines()
    assert shown_distance in lines[-2] and "never" in lines[-1] and "never" not in lines[-2]
    assert shown_value in text and "-0," not in text and "0.000e+00" not in text


# --- figures ----------------------------------------------------------------------------------


def drawn_y(ax):
    """Every y value the axes hold: lines, scatter offsets and vertical segments."""
    ys = [line.get_ydata() for line in ax.get_lines()]
    for collection in ax.collections:
        offsets = collection.get_offsets()
        if len(offsets):
            ys.append(np.asarray(offsets)[:, 1])
        for segment in getattr(collection, "get_segments", lambda: [])():
            ys.append(np.asarray(segment)[:, 1])
    return np.concatenate([np.asarray(y, dtype=float).ravel() for y in ys if len(y)])


def legend_texts(ax):
    legends = [ax.get_legend(), *ax.figure.legends]
    return [t.get_text() for legend in legends if legend for t in legend.get_texts()]


def bars(ax):
    """Per errorbar series: its label, colour, line style, points, and x and y bar segments."""
    out = []
    for container in ax.containers:
        line, _, cols = container.lines
        segments = [np.asarray(s) for c in cols for s in c.get_segments()]
        out.append(
            {
                "label": container.get_label(),
                "colour": matplotlib.colors.to_hex(line.get_color()),
                "dash": line.get_linestyle(),
                "x": np.asarray(line.get_xdata(), float),
                "y": np.asarray(line.get_ydata(), float),
                "xbars": [s[:, 0] for s in segments if s[0, 1] == s[1, 1]],
                "ybars": [s[:, 1] for s in segments if s[0, 0] == s[1, 0]],
            }
        )
    return out


@pytest.mark.parametrize("plot", [views.plot_scattered, views.plot_stack, views.plot_concentric])
def test_headlines_never_pool_dynamics_or_step_sizes(plot):
    df = exploration_frame(kind={views.plot_stack: "stack"}.get(plot, "concentric"))
    title = plot(df).axes[0].get_title()
    for (dynamic, eta), group in df.groupby(["dynamic", "eta"]):
        done = int(group["converged"].sum())
        assert f"{dynamic}, eta {eta:g}: converged {done:,} of {len(group):,} =" in title
    assert f"of {len(df):,}" not in title


def test_concentric_bands_and_intervals_stay_apart_and_inside():
    df = exploration_frame(runs=300)
    df.loc[df["slice"] > 0, "converged"] = False  # small fractions: the axis must follow them
    top = views.plot_concentric(df).axes[0]
    table = views.summary(df, echo=False)
    series = bars(top)
    assert len(series) == 4
    colours = {s["label"].split(",")[0]: s["colour"] for s in series}
    dashes = {s["label"].split(", ")[1]: s["dash"] for s in series}
    assert len(set(colours.values())) == 2 and len(set(dashes.values())) == 2
    for s in series:
        assert colours[s["label"].split(",")[0]] == s["colour"]
        assert dashes[s["label"].split(", ")[1]] == s["dash"]
        dynamic, eta = s["label"].split(", eta ")
        rows = table[(table["dynamic"] == dynamic) & (table["eta"] == float(eta))]
        assert s["y"].tolist() == rows["fraction"].tolist()
        for bar, low, high in zip(s["ybars"], rows["ci_low"], rows["ci_high"], strict=True):
            assert sorted(bar) == pytest.approx([low, high]) and 0 <= low <= high <= 1
    for s in range(3):
        spans = sorted(sorted(x["xbars"][s]) for x in series)
        assert spans[0][0] >= s * 0.5 and spans[-1][1] <= (s + 1) * 0.5
        assert all(a[1] <= b[0] for a, b in itertools.pairwise(spans))  # no overlap
    low, high = top.get_ylim()
    assert high < table["ci_high"].max() + 0.1 and low >= -0.05


def test_scattered_bins_are_shared_and_their_bars_apart():
    df = exploration_frame(slices=1, kind="scattered")
    series = bars(views.plot_scattered(df, bins=4).axes[1])
    assert len(series) == 4
    spans = sorted(sorted(bar) for s in series for bar in s["xbars"])
    assert len(spans) == 16 and all(a[1] <= b[0] for a, b in itertools.pairwise(spans))
    assert all(0 <= lo <= hi <= 1 for s in series for lo, hi in map(sorted, s["ybars"]))
    for s in series:  # four equal-count bins of the shared norms: a quarter of the runs each
        dynamic, eta = s["label"].split(", eta ")
        group = df[(df["dynamic"] == dynamic) & (df["eta"] == float(eta))]
        assert np.mean(s["y"]) == pytest.approx(group["converged"].mean())


def test_heatmap_cells_are_the_summary_fractions():
    df = exploration_frame()
    fig = views.plot_heatmap(df)
    table = views.summary(df, echo=False)
    panels = [ax for ax in fig.axes if ax.images]
    assert [ax.get_title() for ax in panels] == ["ogda", "omwuoomd"]
    for ax in panels:
        cells = np.asarray(ax.images[0].get_array())
        rows = table[table["dynamic"] == ax.get_title()]
        expected = rows.pivot(index="eta", columns="slice", values="fraction").to_numpy()
        assert np.array_equal(cells, expected)
        notes = {t.get_text() for t in ax.texts}
        assert notes == {f"{r.fraction:.3f}\n{r.converged}/{r.runs}" for r in rows.itertuples()}


@pytest.mark.parametrize("num_games", [1, 2, 4])
def test_heatmap_panels_wrap_onto_rows_of_three(num_games):
    names = ["rock_paper_scissors", "matching_pennies", "biased_pennies", "shapley"][:num_games]
    df = pd.concat([exploration_frame(game=g, seed=k) for k, g in enumerate(names)])
    fig = views.plot_heatmap(df)
    panels = [ax for ax in fig.axes if ax.images]
    titles = [ax.get_title() for ax in panels]
    assert len(titles) == 2 * num_games and len(set(titles)) == len(titles)
    assert all(("ogda" in t) != ("omwuoomd" in t) for t in titles)
    places = [(ax.get_subplotspec().rowspan.start, ax.get_subplotspec().colspan.start)
              for ax in panels]  # fmt: skip
    assert places == [divmod(k, 3) for k in range(len(panels))]
    assert len(fig.axes) == len(panels) + 1  # no empty panel, one shared colour bar


def test_ecdf_ends_at_the_converged_fraction_and_says_what_is_censored():
    df = exploration_frame()
    ax = views.plot_steps_ecdf(df).axes[0]
    lines = [line for line in ax.get_lines() if line.get_label()[0] != "_"]
    assert len(lines) == 4
    for line in lines:
        dynamic, rest = line.get_label().split(", eta ")
        group = df[(df["dynamic"] == dynamic) & (df["eta"] == float(rest.split(":")[0]))]
        done = group["converged"]
        y = line.get_ydata()
        assert y[-1] == done.mean() and np.all(np.diff(y) >= 0)
        assert line.get_xdata()[1:-1].tolist() == sorted(group.loc[done, "steps"])
        assert f"{(~done).sum():,} censored at {CAP}" in line.get_label()
    assert "censored at the cap" in ax.get_title()


def test_overlay_draws_each_source_at_its_radii():
    near = exploration_frame(slices=2, study="aaaaaaaaaaaa", kind="scattered")
    far = exploration_frame(slices=2, seed=3, study="bbbbbbbbbbbb", kind="scattered")
    far[["inner", "outer"]] += 1.0
    fig = views.plot_overlay([near, far], labels=["near", "near"])  # one game at two radii
    series = bars(fig.axes[0])
    assert len(series) == 4
    both = pd.concat([near, far])
    for s in series:
        dynamic, eta = s["label"].removeprefix("near: ").split(", eta ")
        group = both[(both["dynamic"] == dynamic) & (both["eta"] == float(eta))]
        fractions = group.groupby("inner")["converged"].mean()
        assert s["y"].tolist() == fractions.tolist()
        assert all(
            inner <= x < inner + 0.5 for x, inner in zip(s["x"], fractions.index, strict=True)
        )
    with pytest.raises(views.TableError, match="2 studies"):
        views.plot_overlay([near, near.assign(study="cccccccccccc")], labels=["a", "a"])


def history(a, steps, seed=0):
    """A strategy path from a random start towards the game's equilibrium."""
    rng = np.random.default_rng(seed)
    eq = games.equilibrium(a)
    m, n = a.shape
    x0, y0 = rng.dirichlet(np.ones(m)), rng.dirichlet(np.ones(n))
    w = (1.0 / np.asarray(steps, float))[:, None]
    xs, ys = w * x0 + (1 - w) * eq.x, w * y0 + (1 - w) * eq.y
    frame = pd.DataFrame({"run": 0, "step": steps, "gap": w[:, 0], "dynamic": "ogda", "eta": 0.1})
    for i in range(m):
        frame[f"x_{i}"] = xs[:, i]
    for j in range(n):
        frame[f"y_{j}"] = ys[:, j]
    return frame


@pytest.mark.parametrize("game", ["rock_paper_scissors", "biased_pennies"])
def test_paths_draw_the_history_points(game):
    a = games.classic_game(game)
    h = history(a, np.array([1, 2, 4, 8, 16, 1000]))
    fig = views.plot_paths(h, matrix=a)
    for ax, player in zip(fig.axes, "xy", strict=True):
        p = h[[c for c in h.columns if c.startswith(player + "_")]].to_numpy()
        (path,) = [line for line in ax.get_lines() if line.get_label().startswith("run 0")]
        drawn = np.column_stack([path.get_xdata(), path.get_ydata()])
        if p.shape[1] == 3:  # barycentric: corners (0, 0), (1, 0), (1/2, sqrt(3)/2)
            expected = np.column_stack([p[:, 1] + p[:, 2] / 2, p[:, 2] * np.sqrt(3) / 2])
        else:
            expected = np.column_stack([p[:, 0], h["step"]])
        assert drawn == pytest.approx(expected, abs=1e-12)


@pytest.mark.parametrize(
    "a",
    [games.classic_game("rock_paper_scissors"), np.array([[0.0, 0.0], [0.0, 1.0], [1.0, 2.0]])],
    ids=["unique", "a set of optimal strategies"],
)
def test_distance_is_that_of_each_history_point(a):
    h = history(a, np.array([1, 3, 10, 30, 100]), seed=2)
    ax = views.plot_distance(h, matrix=a).axes[0]
    (line,) = [line for line in ax.get_lines() if line.get_label().startswith("run 0")]
    xs, ys = h.filter(regex="^x_").to_numpy(), h.filter(regex="^y_").to_numpy()
    value = games.equilibrium(a).value
    exact = [games.distance_to_equilibria(a, x, y, value) for x, y in zip(xs, ys, strict=True)]
    shown = line.get_ydata()
    above = np.asarray(exact) >= 1e-6
    assert above.any() and shown[above] == pytest.approx(np.asarray(exact)[above], rel=1e-5)
    assert np.all(shown[~above] <= 1e-6)


# Cases kept from the single-axis figures: zeros on a floor row, no invented decades.
@pytest.mark.parametrize("plot", [views.plot_concentric, views.plot_scattered, views.plot_stack])
def test_zero_metrics_sit_on_a_marked_floor_and_tiny_ones_keep_their_value(plot):
    df = exploration_frame(dynamics=("ogda",), etas=(0.1,), slices=2, runs=6)
    df["metric"] = [0.0, 0.0, 0.0, 1e-50, 0.0, 1e-3, 0.0, 1e-40, 2e-2, 0.5, 0.1, 0.3]
    fig = plot(df)
    ax = fig.axes[-1] if plot is views.plot_concentric else fig.axes[0]
    ys = drawn_y(ax)
    floor = ys.min()
    quantiles = views.summary(df, echo=False)[["q10", "q25", "q50", "q75", "q90"]].to_numpy()
    lowest = quantiles[quantiles > 0].min() if plot is views.plot_concentric else 1e-50
    # Nothing is drawn between the floor and the smallest real value.
    assert ys[ys > floor].min() == pytest.approx(lowest, rel=1e-12) and floor < lowest / 5
    assert any("= 0" in t and "floor" in t for t in legend_texts(ax))
    fig.draw_without_rendering()
    low, high = ax.get_ylim()
    ticks = [(t.get_position()[1], t.get_text()) for t in ax.get_yticklabels()]
    ticks = [(y, text) for y, text in ticks if low <= y <= high]
    assert all(text == "" for y, text in ticks if y < lowest / 2)  # no decades in the break
    assert any(text for y, text in ticks if y >= lowest)


def test_gap_lines_are_told_apart_without_colour():
    steps = np.array([1, 2, 5, 10, 50, 100])
    histories = pd.concat(
        [
            pd.DataFrame(
                {"run": run, "step": steps, "gap": 1.0 / steps ** (run + 1), "dynamic": d, "eta": e}
            )
            for run, (d, e) in enumerate(
                [
                    ("ogda", 0.1),
                    ("omwuoomd", 0.1),
                    ("omwuoftrl", 0.1),
                    ("ogda", 0.05),
                    ("ogda", 0.1),
                ]
            )
        ],
        ignore_index=True,
    )
    histories.attrs["study"] = {"kind": "single", "num_steps": 100, "tolerances": [1e-4]}
    ax = views.plot_gaps(histories).axes[0]
    runs = [line for line in ax.get_lines() if line.get_label().startswith("run ")]
    assert len(runs) == 5 and len({(ln.get_linestyle(), ln.get_marker()) for ln in runs}) == 5
    # Colour says the dynamic, line style the step size.
    colour = {ln.get_label(): ln.get_color() for ln in runs}
    assert colour["run 0: ogda, eta 0.1"] == colour["run 3: ogda, eta 0.05"]
    assert colour["run 0: ogda, eta 0.1"] != colour["run 1: omwuoomd, eta 0.1"]
    assert runs[0].get_linestyle() != runs[3].get_linestyle()
    levels = {
        ln.get_ydata()[0] for ln in ax.get_lines() if ln.get_label().startswith(("tol", "conv"))
    }
    assert levels == {1e-8, 1e-4} and "100 steps" in ax.get_title()


def test_a_sample_of_markers_is_said_so_and_counts_keep_every_run(monkeypatch):
    monkeypatch.setattr(figures, "_MAX_DRAWN", 20)
    df = exploration_frame(dynamics=("ogda",), etas=(0.1,), slices=1, runs=60, kind="scattered")
    ax = views.plot_scattered(df).axes[0]
    assert sum(len(c.get_offsets()) for c in ax.collections) == 20
    done = int(df["converged"].sum())
    assert "random 20 of 60 runs" in ax.get_title() and f"converged {done} of 60" in ax.get_title()


# --- on stores written by real studies --------------------------------------------------------

STUDIES = {
    "single": dict(
        kind="single",
        game="rock_paper_scissors",
        dynamic=["ogda", "omwuoftrl"],
        eta=0.1,
        num_steps=3000,
        tolerances=[1e-3, 1e-8],
    ),
    "scattered": dict(
        kind="scattered",
        game="biased_pennies",
        dynamic="ogda",
        eta=0.1,
        num_steps=300,
        num_runs=300,
        inner_radius=0.0,
        outer_radius=2.0,
        norm="frobenius",
        seed=5,
    ),
    "concentric": dict(
        kind="concentric",
        game="biased_pennies",
        dynamic=["ogda", "omwuoomd"],
        eta=0.1,
        num_steps=400,
        num_runs=203,
        inner_radius=0.0,
        outer_radius=2.0,
        num_slices=4,
        metric="var_last",
        seed=5,
    ),
    "stack": dict(
        kind="stack",
        matrix=np.stack(
            [[[3.0, -1.0], [-1.0, 1.0]], [[1.0, 0.0], [0.0, 1.0]], [[0.0, 1.0], [1.0, 0.0]]]
        ),
        dynamic="omwuoomd",
        eta=0.1,
        num_steps=200,
    ),
}


@pytest.fixture(scope="module")
def stores(tmp_path_factory):
    import ludovec_lab as lab

    root = tmp_path_factory.mktemp("stores")
    for kind, fields in STUDIES.items():
        lab.run(lab.Study(**fields), store=root / kind, progress=False)
    return root


def applying(stores, kind):
    """The figures a store of `kind` gives: its own, and those its rows have data for."""
    import ludovec_lab as lab

    if kind == "single":
        strategies = any(c.startswith("x_") for c in lab.load_histories(stores / kind).columns)
        return ["gaps"] + (["paths", "distance"] if strategies else [])
    df = lab.load(stores / kind)
    grid = kind != "stack" and df["eta"].nunique() * df["slice"].nunique() > 1
    return [kind] + (["heatmap"] if grid else []) + (["steps"] if "steps" in df else [])


@pytest.mark.parametrize("kind", list(STUDIES))
def test_report_writes_the_figures_that_apply_and_a_self_contained_page(stores, tmp_path, kind):
    written = views.report(stores / kind, tmp_path / "out")
    stems = applying(stores, kind)
    assert sorted(p.name for p in written) == sorted(
        [f"{s}.{ext}" for s in stems for ext in ("png", "svg")] + ["summary.txt", "index.html"]
    )
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == sorted(p.name for p in written)
    text = (tmp_path / "out" / "summary.txt").read_text()
    assert text.startswith(f"{kind} study")
    page = (tmp_path / "out" / "index.html").read_text()
    assert page.count("<svg") == len(stems) and "<table" in page
    body = views.summary(stores / kind, echo=False)
    first = str(body.iloc[0]["runs" if kind != "single" else "steps"])
    assert f"<td>{int(first):,}</td>" in page
    # Nothing outside the page: no linked files, scripts, styles, DTDs or remote images.
    assert not re.search(r"""(src=|<link|@import|<!DOCTYPE svg|href="(?!data:|#))""", page)
    assert not re.search(r"url\((?!#)", page)


def test_summary_of_a_concentric_store_counts_every_slice(stores):
    df = tables.resolve(stores / "concentric")
    table = views.summary(stores / "concentric", echo=False)
    outcome = table.attrs["fraction_of"]
    # 203 runs over 4 slices: 50 per slice, per dynamic; the remainder is not run.
    assert table["runs"].tolist() == [50] * 8
    assert table[outcome].sum() == df[outcome].sum()
    for (dynamic, s), group in df.groupby(["dynamic", "slice"]):
        row = table[(table["dynamic"] == dynamic) & (table["slice"] == s)].iloc[0]
        assert row["q50"] == np.median(group["metric"])
        assert (row["inner"], row["outer"]) == (group["inner"].iloc[0], group["outer"].iloc[0])


def test_report_of_a_store_without_runs_is_refused(tmp_path):
    import ludovec_lab as lab

    lab.Store.open(tmp_path / "empty", lab.Study(**STUDIES["scattered"]))
    with pytest.raises(lab.StoreError, match="no finished runs"):
        views.report(tmp_path / "empty", tmp_path / "figs")
    assert not (tmp_path / "figs").exists()
