"""The lab's records are the module's runs: perturbations drawn again, steps, gaps, metrics,
norms and the single-run loop, every dynamic; rectangular games and start points run."""

import numpy as np
import pandas as pd
import pytest
from scipy import stats

import ludovec
import ludovec_lab as lab
from ludovec_lab import runner
from ludovec_lab.plan import make_plan
from ludovec_lab.store import Store

from labkit import assert_same_results

DYNAMICS = ["ogda", "omwuoomd", "omwuoftrl"]
TINY = 5e-324  # the smallest band: every draw is 0 or the smallest subnormal
RANDOM_3 = np.array([[0.3, -1.2, 0.7], [1.1, 0.2, -0.4], [-0.9, 0.8, 0.1]])


def _experiment(a, dynamic, eta, steps, x0=None, y0=None):
    """The module's run of ``a`` until convergence: (gaps, x history, y history, performed)."""
    m, n = a.shape
    x = np.zeros(m) if x0 is None else np.asarray(x0, float)  # zeros project to uniform
    y = np.zeros(n) if y0 is None else np.asarray(y0, float)
    opt = getattr(ludovec.Optimizer, dynamic)(eta, m)
    res = ludovec.Experiment(
        ludovec.GameState(x, y, np.ascontiguousarray(a)), opt, steps
    ).run_experiment_until_convergence_in_place()
    gaps = np.asarray(res.gaps_history)
    below = np.flatnonzero(gaps < 1e-8)
    performed = int(below[0]) + 1 if below.size else steps
    return gaps, np.asarray(res.x_history), np.asarray(res.y_history), performed


@pytest.mark.parametrize("dynamic", DYNAMICS)
@pytest.mark.parametrize(
    "kind, game, start",
    [
        ("scattered", "biased_pennies", None),
        ("concentric", "rock_paper_scissors", ((0.6, 0.3, 0.1), (0.2, 0.2, 0.6))),
    ],
)
def test_exploration_rows_are_the_module_runs_of_the_drawn_games(kind, game, start, dynamic):
    kw = dict(
        kind=kind,
        game=game,
        dynamic=dynamic,
        eta=0.1,
        num_steps=600,
        num_runs=24,
        inner_radius=0.0,
        outer_radius=0.4,
        seed=2**64 - 3,
        chunk_size=5,
    )
    if kind == "concentric":
        kw["num_slices"] = 3
    if start:
        kw["x0"], kw["y0"] = start
    study = lab.Study(**kw)
    df = lab.run(study, progress=False)
    assert df["index"].tolist() == list(range(24))
    for row in df.itertuples():
        p = lab.perturbation(df, row.index)
        assert row.inner <= np.abs(p).min() and np.abs(p).max() <= row.outer
        gaps, _, _, performed = _experiment(p + study.payoff, dynamic, 0.1, 600, *(start or ()))
        assert (row.steps, row.converged, row.final_gap) == (
            performed,
            bool(gaps[performed - 1] < 1e-8),
            gaps[performed - 1],
        )
        assert row.norm_max == np.abs(p).max() == row.norm
        np.testing.assert_allclose(
            [row.norm_infinity, row.norm_frobenius],
            [np.abs(p).sum(axis=1).max(), np.sqrt((p * p).sum())],
            rtol=1e-15,
        )


@pytest.mark.parametrize("metric", ["max_last", "var_last", "total_var"])
@pytest.mark.parametrize(
    "matrix, dynamic",
    [
        (lab.classic_game("biased_pennies"), "ogda"),
        (np.array([[0.5, -1.0], [-2.0, 1.5]]), "omwuoftrl"),
        (RANDOM_3, "omwuoomd"),
        (lab.classic_game("oneill"), "ogda"),
    ],
)
def test_metrics_equal_the_module_on_a_vanishing_perturbation(matrix, dynamic, metric):
    # Nonzero entries absorb the subnormal draws, so every run of either path is the base game.
    study = lab.Study(
        kind="scattered",
        matrix=matrix,
        dynamic=dynamic,
        eta=0.05,
        num_steps=700,
        num_runs=6,
        inner_radius=0.0,
        outer_radius=TINY,
        metric=metric,
        cutoff=0.3,
        seed=11,
    )
    opt = getattr(ludovec.Optimizer, dynamic)(0.05, len(matrix))
    out = ludovec.scattered_exploration(matrix, opt, 6, 700, 0.0, TINY, "max", metric, 0.3)
    df = lab.run(study, progress=False)
    np.testing.assert_array_equal(df.metric.to_numpy(), out.metrics)
    assert len(set(out.metrics)) == 1 and out.metrics[0] > 0


def test_converged_is_the_gap_and_metric_below_the_metric():
    # Tiny steps and a tail of two steps: the gap barely moves, so its variance is below 1e-8
    # while the gap stays far above; the large step size converges some runs.
    study = lab.Study(
        kind="scattered",
        game="biased_pennies",
        dynamic=["ogda", "omwuoomd"],
        eta=[1e-4, 0.5],
        num_steps=1000,
        num_runs=40,
        inner_radius=0.0,
        outer_radius=0.3,
        metric="var_last",
        cutoff=0.002,
        seed=4,
    )
    df = lab.run(study, progress=False)
    assert (df.converged == (df.final_gap < 1e-8)).all() and df.converged.any()
    assert (df.steps[~df.converged] == 1000).all() and (df.steps[df.converged] <= 1000).all()
    assert (df.metric_below == (df.metric < 1e-8)).all()
    honest = df[df.metric_below & ~df.converged]
    assert len(honest) > 0 and (honest.final_gap >= 1e-8).all()


@pytest.mark.parametrize(
    "lo, hi", [(0.0, 1.0), (1.0, 1.0 + 3 * 2.0**-52), (0.1, 0.2), (1e300, 1.7e308)]
)
def test_draws_stay_in_their_band_and_follow_the_seed(lo, hi):
    kw = dict(kind="scattered", game="oneill", num_runs=50, inner_radius=lo, outer_radius=hi)
    study = lab.Study(**kw, seed=9)
    p = np.array([lab.perturbation(study, i) for i in range(50)])
    assert (lo <= np.abs(p)).all() and (np.abs(p) <= hi).all()
    assert 0.3 < (p < 0).mean() < 0.7  # both signs drawn
    again = np.array([lab.perturbation(lab.Study(**kw, seed=9), i) for i in range(50)])
    other = np.array([lab.perturbation(lab.Study(**kw, seed=10), i) for i in range(50)])
    assert np.array_equal(p, again) and not np.array_equal(p, other)


def test_the_lab_draws_as_the_module_draws_in_distribution(tmp_path):
    kw = dict(
        kind="scattered",
        game="biased_pennies",
        eta=0.1,
        num_steps=300,
        num_runs=3000,
        inner_radius=0.05,
        outer_radius=0.6,
        metric="total_var",
        norm="frobenius",
    )
    mine = lab.run(lab.Study(**kw, seed=7), progress=False)
    native = ludovec.scattered_exploration(
        lab.classic_game("biased_pennies"),
        ludovec.Optimizer.ogda(0.1, 2),
        3000,
        300,
        0.05,
        0.6,
        "frobenius",
        "total_var",
    )
    for col, theirs in (("metric", native.metrics), ("norm", native.norms)):
        got = mine[col].to_numpy()
        assert stats.ks_2samp(got, np.asarray(theirs)).pvalue > 1e-4, (col, got, theirs)


@pytest.mark.parametrize("kind, game", [("scattered", "biased_pennies"), ("concentric", "oneill")])
def test_results_do_not_depend_on_chunk_order_or_processes(tmp_path, kind, game):
    kw = dict(
        kind=kind,
        game=game,
        dynamic=["omwuoomd", "ogda"],
        eta=0.1,
        num_steps=200,
        num_runs=240,
        inner_radius=0.0,
        outer_radius=0.3,
        seed=5,
        chunk_size=25,
    )
    if kind == "concentric":
        kw["num_slices"] = 3
    study = lab.Study(**kw, workers=2)
    df = lab.run(study, tmp_path / "a", progress=False)
    # Chunks by hand, last first, in this process.
    st = Store.open(tmp_path / "b", study)
    for chunk in reversed(make_plan(study)):
        st.write_chunk(chunk.id, runner.run_chunk(study, chunk))
    assert_same_results(df, lab.load(st))
    assert_same_results(df, lab.run(lab.Study(**kw, workers=1), progress=False))
    # Every (dynamic, step size) pair meets the same perturbations.
    by = df.groupby("dynamic")
    assert np.array_equal(by.get_group("ogda").norm_max, by.get_group("omwuoomd").norm_max)


@pytest.mark.parametrize("decimation", [1, 3, "log"])
@pytest.mark.parametrize(
    "dynamic, game, eta, x0",
    [
        ("ogda", "biased_pennies", 0.1, None),
        ("omwuoomd", "rock_paper_scissors", 0.05, (0.6, 0.3, 0.1)),
        ("omwuoftrl", "oneill", 0.2, None),
    ],
)
def test_single_runs_are_the_module_run(dynamic, game, eta, x0, decimation, tmp_path):
    steps = 3000
    study = lab.Study(
        kind="single",
        game=game,
        dynamic=dynamic,
        eta=eta,
        num_steps=steps,
        decimation=decimation,
        history_points=50,
        tolerances=[1e-2, 1e-5, 1e-8],
        x0=x0,
    )
    row = lab.run(study, tmp_path / "s", progress=False).iloc[0]
    gaps, xs, ys, performed = _experiment(study.payoff, dynamic, eta, steps, x0)
    assert (row.steps, row.converged, row.final_gap) == (
        performed,
        bool(gaps[performed - 1] < 1e-8),
        gaps[performed - 1],
    )
    for tol in (1e-2, 1e-5, 1e-8):
        hit = np.flatnonzero(gaps[:performed] < tol)
        got = row[f"steps_to_{tol:g}"]
        assert (None if got is pd.NA else int(got)) == (int(hit[0]) + 1 if hit.size else None)
    h = lab.load_histories(tmp_path / "s")
    at = h.step.to_numpy() - 1
    np.testing.assert_array_equal(h.gap.to_numpy(), gaps[at])
    np.testing.assert_array_equal(h.filter(like="x_").to_numpy(), xs[at])
    np.testing.assert_array_equal(h.filter(like="y_").to_numpy(), ys[at])
    assert h.step.iloc[-1] == performed and h.step.is_monotonic_increasing
    if decimation != "log":
        assert set(np.diff(h.step.to_numpy()[:-1])) == {decimation}
    else:
        assert len(h) <= 51
    a = study.payoff
    assert row.distance == lab.distance_to_equilibria(a, xs[performed - 1], ys[performed - 1])


@pytest.mark.parametrize("dynamic", DYNAMICS)
def test_stack_runs_are_the_module_runs_of_the_rescaled_matrices(dynamic):
    rng = np.random.default_rng(0)
    for shape in ((5, 2, 2), (4, 3, 3)):
        stack = rng.normal(size=shape)
        study = lab.Study(
            kind="stack",
            matrix=stack,
            dynamic=dynamic,
            eta=0.1,
            num_steps=300,
            normalize=True,
            metric="var_last",
            chunk_size=2,
        )
        df = lab.run(study, progress=False)
        assert df["index"].tolist() == list(range(shape[0])) and df.norm.isna().all()
        for i, m in enumerate(stack):
            mm = (m - m.min()) / (m.max() - m.min())
            gaps, _, _, performed = _experiment(mm, dynamic, 0.1, 300)
            assert (df.steps[i], df.final_gap[i]) == (performed, gaps[performed - 1])
            opt = getattr(ludovec.Optimizer, dynamic)(0.1, shape[1])
            native = ludovec.scattered_exploration(mm, opt, 1, 300, 0.0, TINY, "max", "var_last")
            assert df.metric[i] == native.metrics[0]


RECT = np.array([[1.0, -1.0, 0.5], [-0.5, 1.0, -1.0]])  # 2 x 3, no pure equilibrium


@pytest.mark.parametrize("kind", ["single", "scattered", "concentric", "stack"])
def test_rectangular_games_run_from_a_start_point(kind, tmp_path):
    kw: dict = dict(kind=kind, matrix=RECT, dynamic="ogda", eta=0.05, num_steps=400)
    kw.update(x0=[0.9, 0.1], y0=[0.2, 0.3, 0.5])
    if kind in ("scattered", "concentric"):
        kw.update(num_runs=12, inner_radius=0.0, outer_radius=0.2, seed=1)
        kw.update(num_slices=2) if kind == "concentric" else None
    if kind == "stack":
        kw["matrix"] = np.stack([RECT, -RECT, 2 * RECT])
    df = lab.run(lab.Study(**kw), tmp_path / "s", progress=False)
    assert (df.steps <= 400).all() and (df.converged == (df.final_gap < 1e-8)).all()
    if kind in ("scattered", "concentric"):
        assert lab.perturbation(df, 11).shape == (2, 3) and np.isfinite(df.norm_frobenius).all()
    if kind == "single":
        h = lab.load_histories(tmp_path / "s")
        # The first kept step began at the start point; every kept point lies on the simplices.
        assert h.step[0] == 1
        np.testing.assert_allclose(h.loc[0, ["x_0", "x_1"]].tolist(), [0.9, 0.1], atol=1e-12)
        np.testing.assert_allclose(h.loc[0, ["y_0", "y_1", "y_2"]], [0.2, 0.3, 0.5], atol=1e-12)
        for player, n in (("x", 2), ("y", 3)):
            np.testing.assert_allclose(h[[f"{player}_{i}" for i in range(n)]].sum(axis=1), 1)
        eq = lab.equilibrium(RECT)
        assert df.value[0] == eq.value and df.distance[0] >= 0


@pytest.mark.parametrize(
    "kw, words",
    [
        (dict(x0=[0.5, 0.3, 0.2]), "x0: the game has 2 rows, so x0 needs 2 entries, found 3"),
        (dict(y0=[1.2, -0.2, 0.0]), "y0: must be a distribution"),
        (dict(y0=[0.2, 0.2, 0.2]), "y0: must be a distribution"),
        (dict(x0="uniform"), "x0: expected a list of numbers"),
        (dict(seed=2**64), "seed: must be a non-negative integer below 2**64"),
    ],
)
def test_start_points_and_seeds_are_checked(kw, words):
    base = dict(kind="scattered", matrix=RECT, num_runs=4, inner_radius=0.0, outer_radius=0.1)
    with pytest.raises(lab.StudyError) as err:
        lab.Study(**{**base, **kw})
    assert words in str(err.value)
