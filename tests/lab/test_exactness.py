"""The lab reproduces the module: its sampling law, norms, metrics, runs and single-run loop."""

import numpy as np
import pandas as pd
import pytest
from scipy import stats

import ludovec
import ludovec_lab as lab
from ludovec_lab import reduce, runner
from ludovec_lab.plan import make_plan
from ludovec_lab.store import Store

from labkit import assert_same_results, kept

TINY = 5e-324  # the smallest band the module accepts: every draw is 0 or the smallest subnormal
RANDOM_3 = np.array([[0.3, -1.2, 0.7], [1.1, 0.2, -0.4], [-0.9, 0.8, 0.1]])


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
def test_seeded_reduction_equals_the_module_on_a_vanishing_perturbation(matrix, dynamic, metric):
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
        workers=1,
    )
    out = ludovec.scattered_exploration(
        matrix, runner.optimizer(dynamic, 0.05, len(matrix)), 6, 700, 0.0, TINY, "max", metric, 0.3
    )
    df = lab.run(study, progress=False)
    np.testing.assert_array_equal(df.metric.to_numpy(), out.metrics)
    assert len(set(out.metrics)) == 1 and out.metrics[0] > 0


@pytest.mark.parametrize(
    "norm, expected", [("max", 3.0), ("infinity", 4.0), ("frobenius", np.sqrt(14.0))]
)
def test_norms(norm, expected):
    p = np.array([[[1.0, -3.0], [2.0, 0.0]], [[np.nan, -1.0], [0.5, 0.25]]])
    got = reduce.norms(p, norm)
    assert got[0] == expected
    assert (
        np.isnan(got[1]) if norm == "frobenius" else got[1] == {"max": 1.0, "infinity": 0.75}[norm]
    )
    empty = reduce.norms(np.zeros((1, 2, 0)), norm)[0]
    assert (empty, np.signbit(empty)) == {
        "max": (-np.inf, True),
        "infinity": (0.0, True),
        "frobenius": (0.0, False),
    }[norm]


@pytest.mark.parametrize("entry", [1e-300, 1e200])
def test_frobenius_norm_at_the_extremes_is_recomputed_as_the_module_does(entry):
    # The plain sum of squares gives 0 or inf here; both recover 2 * entry on 2 x 2 games
    # (no steps: a game of such entries would stop the dynamics).
    assert reduce.norms(np.full((1, 2, 2), entry), "frobenius")[0] == 2 * entry
    out = ludovec.scattered_exploration(
        np.zeros((2, 2)),
        ludovec.Optimizer.ogda(0.1, 2),
        4,
        0,
        entry,
        np.nextafter(entry, np.inf),
        "frobenius",
        "max_last",
    )
    np.testing.assert_allclose(out.norms, 2 * entry, rtol=1e-15)


def test_metrics_on_the_edges():
    g = np.array([[1.0, 3.0, 2.0, np.nan, 4.0]])
    assert reduce.metrics(g[:, :3], "total_var", 0.5)[0] == 3.0
    assert reduce.metrics(g, "max_last", 1.0)[0] == 4.0
    assert reduce.metrics(g, "max_last", 0.0)[0] == -np.inf  # empty tail
    assert reduce.metrics(np.array([[9.0, 1.0, 2.0, 3.0, 4.0]]), "var_last", 0.7)[0] == 1.25


@pytest.mark.parametrize(
    "lo, hi",
    [
        (0.0, 1.0),
        (1.0, 1.0 + 3 * 2.0**-52),
        (0.1, 0.2),
        (1e300, 1.7e308),
        (-3.0, -2.9999999999999996),
    ],
)
def test_band_never_draws_beyond_its_upper_end(lo, hi):
    low, scale = reduce.band(lo, hi)
    assert low + scale * (1 - 2.0**-52) <= hi
    # and it is the widest such scale
    wider = np.nextafter(scale, np.inf)
    assert scale == hi - lo or low + wider * (1 - 2.0**-52) > hi


def test_seeded_and_unseeded_agree_in_distribution(tmp_path):
    kw = dict(
        kind="scattered",
        game="biased_pennies",
        dynamic="ogda",
        eta=0.1,
        num_steps=300,
        num_runs=3000,
        inner_radius=0.05,
        outer_radius=0.6,
        metric="total_var",
        norm="frobenius",
    )
    seeded = lab.run(lab.Study(**kw, seed=7), progress=False)
    native = lab.run(lab.Study(**kw), progress=False)
    for col in ("metric", "norm"):
        assert stats.ks_2samp(seeded[col], native[col]).pvalue > 1e-4, kept(
            tmp_path / f"{col}.npz", seeded=seeded[col].to_numpy(), unseeded=native[col].to_numpy()
        )
    # and the seeded draws are not stuck: different seeds give different runs
    other = lab.run(lab.Study(**kw, seed=8), progress=False)
    assert not np.array_equal(seeded.metric, other.metric)


@pytest.mark.parametrize("kind, game", [("scattered", "biased_pennies"), ("concentric", "oneill")])
def test_seeded_results_do_not_depend_on_chunk_order_or_processes(tmp_path, kind, game):
    kw = dict(
        kind=kind,
        game=game,
        dynamic="omwuoomd",
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


def test_a_run_is_regenerated_from_seed_chunk_and_index():
    study = lab.Study(
        kind="concentric",
        game="oneill",
        dynamic="ogda",
        eta=0.05,
        num_steps=400,
        num_runs=60,
        num_slices=2,
        inner_radius=0.1,
        outer_radius=0.5,
        seed=3,
        chunk_size=10,
        metric="max_last",
        workers=1,
    )
    df = lab.run(study, progress=False)
    row = df.iloc[47]
    p = lab.perturbation(study, int(row.chunk), int(row["index"]))
    assert row.inner <= np.abs(p).min() and np.abs(p).max() <= row.outer
    assert np.abs(p).max() == row.norm
    state = ludovec.GameState(np.zeros(4), np.zeros(4), p + study.payoff)
    gaps = (
        ludovec.Experiment(state, ludovec.Optimizer.ogda(0.05, 4), 400)
        .run_experiment_until_convergence_in_place()
        .gaps_history
    )
    assert reduce.metrics(gaps[None], "max_last", 0.1)[0] == row.metric


@pytest.mark.parametrize("decimation, segment", [(1, 37), (3, 500), ("log", 64), ("log", 10**6)])
@pytest.mark.parametrize(
    "dynamic, game, eta", [("ogda", "biased_pennies", 0.1), ("omwuoftrl", "oneill", 0.2)]
)
def test_segmented_single_run_equals_one_experiment(dynamic, game, eta, decimation, segment):
    steps = 3000
    study = lab.Study(
        kind="single",
        game=game,
        dynamic=dynamic,
        eta=eta,
        num_steps=steps,
        decimation=decimation,
        history_points=50,
        segment_steps=segment,
        tolerances=[1e-2, 1e-5, 1e-8],
    )
    with_store = lab.run(study, progress=False)
    a = study.payoff
    n = len(a)
    state = ludovec.GameState(np.zeros(n), np.zeros(n), a)
    whole = (
        ludovec.Experiment(state, runner.optimizer(dynamic, eta, n), steps)
        .run_experiment_until_convergence_in_place()
        .gaps_history
    )
    below = np.flatnonzero(whole < 1e-8)
    performed = int(below[0]) + 1 if below.size else steps
    row = with_store.iloc[0]
    assert (row.steps, row.converged, row.final_gap) == (
        performed,
        below.size > 0,
        whole[performed - 1],
    )
    for tol in (1e-2, 1e-5, 1e-8):
        hit = np.flatnonzero(whole < tol)
        expected = int(hit[0]) + 1 if hit.size else None
        got = row[f"steps_to_{tol:g}"]
        assert (None if got is pd.NA else int(got)) == expected
    # The kept steps of the one-call history, compared bit for bit.
    import tempfile

    with tempfile.TemporaryDirectory() as d:
        lab.run(study, d + "/s", progress=False)
        h = lab.load_histories(d + "/s")
    np.testing.assert_array_equal(h.gap.to_numpy(), whole[h.step.to_numpy() - 1])
    assert h.step.iloc[-1] == performed and h.step.is_monotonic_increasing
    if decimation != "log":
        assert set(np.diff(h.step.to_numpy()[:-1])) == {decimation}
    else:
        assert len(h) <= 51


def test_single_runs_report_the_distance_to_the_equilibria():
    study = lab.Study(
        kind="single", game="rock_paper_scissors", dynamic="ogda", eta=0.1, num_steps=50
    )
    row = lab.run(study, progress=False).iloc[0]
    # From the uniform start, already the equilibrium: converged at once, distance zero.
    assert (row.steps, row.converged, row.distance, row.value) == (1, True, 0.0, 0.0)


def test_stack_study_runs_each_matrix_as_the_module_does():
    rng = np.random.default_rng(0)
    for shape in ((5, 2, 2), (4, 3, 3)):
        stack = rng.normal(size=shape)
        study = lab.Study(
            kind="stack",
            matrix=stack,
            dynamic="omwuoftrl",
            eta=0.1,
            num_steps=300,
            normalize=True,
            metric="var_last",
            chunk_size=2,
            workers=1,
        )
        df = lab.run(study, progress=False)
        assert df["index"].tolist() == list(range(shape[0]))
        for i, m in enumerate(stack):
            k = shape[1]
            mm = (m - m.min()) / (m.max() - m.min())
            gaps = (
                ludovec.Experiment(
                    ludovec.GameState(np.zeros(k), np.zeros(k), mm),
                    ludovec.Optimizer.omwuoftrl(0.1, k),
                    300,
                )
                .run_experiment_until_convergence_in_place()
                .gaps_history
            )
            assert reduce.metrics(gaps[None], "var_last", 0.1)[0] == df.metric[i]
