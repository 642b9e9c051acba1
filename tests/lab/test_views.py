"""Summary tables and figures: the numbers they print and what the figures actually draw."""

from __future__ import annotations

import io

import matplotlib
import numpy as np
import pandas as pd
import pytest
from scipy.stats import binomtest

from ludovec_lab import views

matplotlib.use("Agg")


def exploration_frame(
    metrics_by_slice,
    converged_by_slice,
    *,
    kind="concentric",
    metric="var_last",
    dynamics=("ogda",),
):
    rows = []
    index = 0
    for dynamic in dynamics:
        for s, (metrics, conv) in enumerate(zip(metrics_by_slice, converged_by_slice, strict=True)):
            for m, c in zip(metrics, conv, strict=True):
                rows.append(
                    {
                        "chunk": index // 4,
                        "index": index,
                        "slice": s,
                        "inner": s * 0.5,
                        "outer": (s + 1) * 0.5,
                        "norm": 0.1 + 0.01 * index,
                        "metric": m,
                        "converged": c,
                        "dynamic": dynamic,
                        "eta": 0.1,
                    }
                )
                index += 1
    df = pd.DataFrame(rows)
    df.attrs["study"] = {
        "kind": kind,
        "metric": metric,
        "cutoff": 0.1,
        "num_steps": 100,
        "num_slices": len(metrics_by_slice),
        "seed": 3,
    }
    return df


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


def test_interval_of_no_trials_is_undefined():
    low, high = views.binomial_interval([0, 2], [0, 4])
    assert np.isnan(low[0]) and np.isnan(high[0]) and 0 < low[1] < 0.5 < high[1] < 1


def test_summary_counts_each_slice_and_dynamic_apart():
    metrics = [[0.0, 0.0, 1e-9, 0.5], [np.nan, 0.2, 0.3, 0.4, 0.6]]
    conv = [[True, True, True, False], [False, False, False, False, False]]
    df = exploration_frame(metrics, conv, dynamics=("ogda", "omwuoomd"))
    df.loc[df["dynamic"] == "omwuoomd", "converged"] = False
    out = io.StringIO()
    table = views.summary(df, file=out, quantiles=(0.5,))
    assert list(table["runs"]) == [4, 5, 4, 5]
    assert list(table["converged"]) == [3, 0, 0, 0]
    assert list(table["nan"]) == [0, 1, 0, 1]
    # NaN metrics are counted apart, never folded into the quantiles.
    assert table["q50"].tolist() == pytest.approx([np.median(metrics[0]), 0.35] * 2)
    assert table["fraction"].iloc[0] == 0.75
    text = out.getvalue()
    assert "0.7500 [" in text and "omwuoomd" in text and "NaN" in text


def test_summary_of_single_runs_says_never_for_unreached_tolerances():
    df = pd.DataFrame(
        {
            "run": [1, 0],
            "dynamic": ["ogda", "omwuoftrl"],
            "eta": [0.1, 0.05],
            "steps": [1000, 37],
            "converged": [False, True],
            "final_gap": [0.2, 5e-9],
            "steps_to_0.001": pd.array([pd.NA, 12], dtype="Int64"),
            "distance": [0.3, 1e-9],
        }
    )
    df.attrs["study"] = {"kind": "single", "num_steps": 1000, "seed": None}
    out = io.StringIO()
    table = views.summary(df, file=out)
    assert table["run"].tolist() == [0, 1]
    lines = out.getvalue().splitlines()
    assert "never" in lines[-1] and "never" not in lines[-2]


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


@pytest.mark.parametrize(
    "plot, kind, metric",
    [
        (views.plot_concentric, "concentric", "var_last"),
        (views.plot_scattered, "scattered", "max_last"),
        (views.plot_stack, "stack", "max_last"),
    ],
)
def test_zero_metrics_sit_on_a_marked_floor_and_tiny_ones_keep_their_value(plot, kind, metric):
    metrics = [[0.0, 0.0, 0.0, 1e-50, 0.0, 1e-3], [0.0, 1e-40, 2e-2, 0.5, 0.1, 0.3]]
    conv = [[True] * 5 + [False], [True, True, False, False, False, False]]
    df = exploration_frame(metrics, conv, kind=kind, metric=metric)
    if kind != "concentric":
        df["slice"] = 0
    fig = plot(df)
    ax = fig.axes[-1] if kind == "concentric" else fig.axes[0]
    ys = drawn_y(ax)
    floor = ys.min()
    positive = ys[ys > floor]
    lowest_positive = (
        1e-50
        if kind != "concentric"
        else np.min(
            [
                q
                for q in views.summary(df, echo=False)[["q10", "q25", "q50", "q75", "q90"]]
                .to_numpy()
                .ravel()
                if q > 0
            ]
        )
    )
    # Nothing is drawn between the floor and the smallest real value: no invented decades.
    assert positive.min() == pytest.approx(lowest_positive, rel=1e-12)
    assert floor < lowest_positive / 5
    assert any("= 0" in t and "floor" in t for t in legend_texts(ax))
    fig.draw_without_rendering()
    ticks = [
        (t.get_position()[1], t.get_text())
        for t in ax.get_yticklabels()
        if ax.get_ylim()[0] <= t.get_position()[1] <= ax.get_ylim()[1]
    ]
    assert all(
        text == "" for y, text in ticks if y < lowest_positive / 2
    )  # no decades in the break
    assert any(text for y, text in ticks if y >= lowest_positive)


def test_no_floor_without_zeros():
    df = exploration_frame([[1e-3, 2e-3, 0.5]], [[False] * 3], kind="scattered", metric="total_var")
    ax = views.plot_scattered(df).axes[0]
    assert not any("floor" in t for t in legend_texts(ax))
    assert not ax.patches and ax.get_ylim()[0] > 1e-8 / 3  # the threshold is the lowest line


def test_gap_lines_are_told_apart_without_colour():
    steps = np.array([1, 2, 5, 10, 50, 100])
    frames = [
        pd.DataFrame(
            {
                "run": run,
                "step": steps,
                "gap": 1.0 / steps ** (run + 1),
                "dynamic": dynamic,
                "eta": 0.1,
            }
        )
        for run, dynamic in enumerate(["ogda", "omwuoomd", "omwuoftrl", "ogda", "ogda"])
    ]
    histories = pd.concat(frames, ignore_index=True)
    histories.attrs["study"] = {
        "kind": "single",
        "num_steps": 100,
        "tolerances": [1e-4],
        "seed": None,
    }
    ax = views.plot_gaps(histories).axes[0]
    runs = [line for line in ax.get_lines() if line.get_label().startswith("run ")]
    assert len(runs) == 5
    assert len({(line.get_linestyle(), line.get_marker()) for line in runs}) == 5
    levels = {
        line.get_ydata()[0]
        for line in ax.get_lines()
        if line.get_label().startswith(("tolerance", "conv"))
    }
    assert levels == {1e-8, 1e-4}
    assert ax.get_xscale() == "log" and ax.get_yscale() == "log"
    assert "100 steps" in ax.get_title()


def test_save_figure_writes_whole_png_and_svg(tmp_path):
    df = exploration_frame([[0.0, 0.1]], [[True, False]], kind="scattered", metric="max_last")
    paths = views.save_figure(views.plot_scattered(df), tmp_path / "figs", "scattered")
    assert [p.name for p in paths] == ["scattered.png", "scattered.svg"]
    assert paths[0].read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "<svg" in paths[1].read_text()
    assert sorted(p.name for p in (tmp_path / "figs").iterdir()) == [
        "scattered.png",
        "scattered.svg",
    ]


# --- on stores written by real studies --------------------------------------------------------

STUDIES = {
    "single": dict(
        kind="single",
        game="oneill",
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


@pytest.mark.parametrize(
    "kind, figure",
    [
        ("single", "gaps"),
        ("scattered", "scattered"),
        ("concentric", "concentric"),
        ("stack", "stack"),
    ],
)
def test_report_writes_the_figures_of_each_kind(stores, tmp_path, kind, figure):
    written = views.report(stores / kind, tmp_path / "figs")
    assert sorted(p.name for p in written) == sorted(
        [f"{figure}.png", f"{figure}.svg", "summary.txt"]
    )
    assert all(p.stat().st_size > 0 for p in written)
    text = (tmp_path / "figs" / "summary.txt").read_text()
    assert text.startswith(f"{kind} study")


def test_summary_of_a_concentric_store_counts_every_slice(stores):
    import ludovec_lab as lab

    df = lab.load(stores / "concentric")
    table = views.summary(stores / "concentric", echo=False)
    # 203 runs over 4 slices: 50 per slice, per dynamic; the remainder is not run.
    assert table["runs"].tolist() == [50] * 8
    assert table["converged"].sum() == df["converged"].sum()
    for (dynamic, s), group in df.groupby(["dynamic", "slice"]):
        row = table[(table["dynamic"] == dynamic) & (table["slice"] == s)].iloc[0]
        assert row["q50"] == np.median(group["metric"])
        assert (row["inner"], row["outer"]) == (group["inner"].iloc[0], group["outer"].iloc[0])


def test_gap_figure_of_a_store_draws_every_kept_step(stores):
    import ludovec_lab as lab

    histories = lab.load_histories(stores / "single")
    ax = views.plot_gaps(stores / "single").axes[0]
    runs = [line for line in ax.get_lines() if line.get_label().startswith("run ")]
    assert len(runs) == histories["run"].nunique() == 2
    for line, (_, group) in zip(runs, histories.groupby("run"), strict=True):
        assert np.array_equal(line.get_xdata(), group["step"].to_numpy())


def test_report_of_a_store_without_runs_is_refused(tmp_path):
    import ludovec_lab as lab

    lab.Store.open(tmp_path / "empty", lab.Study(**STUDIES["scattered"]))
    with pytest.raises(lab.StoreError, match="no finished runs"):
        views.report(tmp_path / "empty", tmp_path / "figs")
    assert not (tmp_path / "figs").exists()


def test_a_sample_of_markers_is_said_so_and_counts_keep_every_run(monkeypatch):
    monkeypatch.setattr(views, "_MAX_DRAWN", 20)
    metrics = [[0.0] * 30 + [0.5] * 30]
    df = exploration_frame(
        metrics, [[True] * 30 + [False] * 30], kind="scattered", metric="max_last"
    )
    ax = views.plot_scattered(df).axes[0]
    assert sum(len(c.get_offsets()) for c in ax.collections) == 20
    assert any("= 0 (30)" in t for t in legend_texts(ax))
    assert "random 20 of 60 runs" in ax.get_title() and "converged 30 of 60" in ax.get_title()
