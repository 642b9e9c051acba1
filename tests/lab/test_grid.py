"""Grid studies: several games (named, files, random families) and start points in one study."""

import hashlib
from pathlib import Path

import numpy as np
import pytest

import ludovec_lab as lab
from ludovec_lab import games
from ludovec_lab.store import EXPLORATION_COLUMNS, Store

from labkit import assert_same_results, write_study

FAMILIES = [
    {"family": "normal", "shape": [3, 4], "count": 2},
    {"family": "uniform", "low": -0.5, "high": 2.0, "shape": [2, 5], "count": 3},
    {"family": "integers", "low": -3, "high": 3, "shape": [4, 2], "count": 2},
]
SMALL = dict(num_steps=200, num_runs=6, num_slices=2, inner_radius=0.0, outer_radius=0.3)


@pytest.mark.parametrize("entry", FAMILIES, ids=lambda e: e["family"])
def test_random_games_follow_the_seed(entry):
    def drawn(seed):
        study = lab.Study(kind="concentric", games=[entry], seed=seed, **SMALL)
        return np.stack([g.matrix for g in study.grid])

    a, again, other = drawn(7), drawn(7), drawn(8)
    assert a.shape == (entry["count"], *entry["shape"])
    assert np.array_equal(a, again) and not np.array_equal(a, other)
    assert len({m.tobytes() for m in a}) == len(a)  # the games of one entry differ too
    if entry["family"] != "normal":
        assert a.min() >= entry["low"] and a.max() <= entry["high"]
    if entry["family"] == "integers":
        assert np.array_equal(a, np.rint(a)) and a.min() < 0 < a.max()


@pytest.fixture(scope="module")
def grid_run(tmp_path_factory):
    """A grid over a named game and a random one, at two start points, with its per-game
    studies run apart from the same seed."""
    tmp = tmp_path_factory.mktemp("grid")
    starts = [{"x": [0.6, 0.3, 0.1], "y": [0.2, 0.3, 0.5]}, {"x": [0.2, 0.2, 0.6]}]
    kw = dict(kind="concentric", dynamic=["ogda", "omwuoomd"], eta=[0.05, 0.2], seed=11)
    kw.update(SMALL, chunk_size=2)
    grid = lab.Study(
        games=["rock_paper_scissors", {"family": "normal", "shape": [3, 3]}], starts=starts, **kw
    )
    df = lab.run(grid, tmp / "grid", progress=False)
    apart = {
        (g.name, p): lab.run(
            lab.Study(matrix=np.array(g.matrix), x0=x, y0=y, **kw),
            tmp / f"{g.id}-{p}",
            progress=False,
        )
        for g in grid.grid
        for p, (x, y) in enumerate(grid.start_points)
    }
    return grid, df, apart


def test_a_grids_rows_name_their_game_and_equal_the_per_game_studies(grid_run):
    grid, df, apart = grid_run
    assert list(df.columns[:4]) == ["study", "game", "game_id", "start"]
    assert sorted(df.game.unique()) == ["normal 3x3 #1", "rock_paper_scissors"]
    for g in grid.grid:
        digest = hashlib.sha256(repr(g.matrix.shape).encode() + g.matrix.tobytes()).hexdigest()
        assert set(df.game_id[df.game == g.name]) == {digest[:12]}
    for (name, p), alone in apart.items():
        rows = df[(df.game == name) & (df.start == p)].reset_index(drop=True)
        assert len(rows) == len(alone)
        cols = [c for c in EXPLORATION_COLUMNS if c != "chunk"]
        for col in cols:
            x, y = rows[col].to_numpy(), alone[col].to_numpy()
            assert (
                np.array_equal(x, y)
                if x.dtype.kind != "f"
                else np.array_equal(x.view(np.int64), y.view(np.int64))
            ), (name, p, col)
    # Any run's perturbation is drawn again for its game, from the table alone.
    row = df[df.game == "normal 3x3 #1"].iloc[-1]
    p = lab.perturbation(df, int(row["index"]), game=row.game_id)
    assert np.isclose(np.linalg.norm(p), row.norm_frobenius, rtol=1e-12, atol=0)
    assert row.inner <= np.abs(p).min() and np.abs(p).max() < row.outer
    # The starts differ in what they compute, else the comparison above proves little.
    rps = df[df.game == "rock_paper_scissors"]
    assert not np.array_equal(rps[rps.start == 0].final_gap, rps[rps.start == 1].final_gap)


def test_a_grid_store_resumes_and_reads_back_without_drawing(tmp_path, monkeypatch):
    study = write_study(
        tmp_path / "grid.toml",
        """
        kind = "scattered"
        games = ["matching_pennies", "m.npy",
                 { family = "uniform", low = 0, high = 1, shape = [2, 3], count = 2 }]
        dynamic = "ogda"
        eta = 0.1
        num_steps = 300
        num_runs = 4
        chunk_size = 2
        inner_radius = 0.0
        outer_radius = 0.2
        """,
    )
    np.save(tmp_path / "m.npy", np.array([[1.0, -2.0, 0.5], [0.0, 1.0, -1.0]]))
    store = tmp_path / "s"
    whole = lab.run(study, store, progress=False)
    assert len(whole) == 4 * 4 and Store.read(store).manifest["study"]["seed_drawn"]
    for chunk in (1, 6):
        next((store / "chunks").glob(f"chunk-*{chunk}.parquet")).unlink()
    (tmp_path / "m.npy").unlink()  # the store holds every game's matrix
    monkeypatch.setattr(games, "draw", lambda *a: pytest.fail("a stored grid was drawn again"))
    assert len(lab.load(store)) == len(whole) - 4
    resumed = lab.run(Store.read(store).study(), store, progress=False)
    assert_same_results(resumed, whole)
    assert list(resumed.game) == list(whole.game) and list(resumed.game_id) == list(whole.game_id)


@pytest.mark.parametrize(
    "entry, words",
    [
        ('{ family = "cauchy", shape = [2, 2] }', "unknown family 'cauchy'"),
        ('{ family = "normal", shape = [2] }', "shape must be [rows, columns]"),
        ('{ family = "normal", shape = [0, 2] }', "shape must be [rows, columns]"),
        ('{ family = "normal", shape = [2, 2], count = 0 }', "count must be an integer from 1"),
        ('{ family = "uniform", low = 1.0, high = 1.0, shape = [2, 2] }', "low must be below"),
        ('{ family = "integers", low = 0.5, high = 3, shape = [2, 2] }', "must be integers"),
        ('{ family = "normal", shape = [2, 2], scale = 3 }', "'scale' is not a key"),
        ('{ family = "uniform", low = 0, shape = [2, 2] }', "needs 'high'"),
        ('"chess"', "no such matrix file"),
        ('{ game = "x" }', "a table must be a random family"),
    ],
)
def test_each_faulty_game_entry_is_one_line(tmp_path, entry, words):
    path = write_study(
        tmp_path / "s.toml",
        f"""
        kind = "scattered"
        outer_radius = 0.1
        inner_radius = 0.0
        games = ["matching_pennies", {entry}]
        num_runs = 0
        """,
    )
    with pytest.raises(lab.StudyError) as err:
        lab.load_study(path)
    assert err.value.problems[0] == next(
        p for p in err.value.problems if p.startswith(f"{path}:4: games: entry 2: ")
    )
    assert words in err.value.problems[0] and "\n" not in err.value.problems[0]
    assert err.value.problems[1].startswith(f"{path}:5: num_runs: ")  # the others still found
    assert len(err.value.problems) == 2


@pytest.mark.parametrize(
    "kw, field, words",
    [
        ({"games": ["rock_paper_scissors"], "starts": [{"x": [0.5, 0.5]}]}, "starts", "3 rows"),
        (
            {"games": ["rock_paper_scissors", "matching_pennies"], "starts": [{"y": [1, 0]}]},
            "starts",
            "the games have 2 or 3 columns",
        ),
        ({"games": ["rock_paper_scissors"], "game": "oneill"}, "games", "not both"),
        ({"games": ["oneill", "ONeill"]}, "games", "same game as oneill"),
        ({"games": []}, "games", "the list is empty"),
    ],
)
def test_grid_fields_across_entries(kw, field, words):
    with pytest.raises(lab.StudyError) as err:
        lab.Study(kind="scattered", num_runs=2, inner_radius=0.0, outer_radius=0.1, **kw)
    assert [p.split(":")[0] for p in err.value.problems] == [field]
    assert words in err.value.problems[0]


def test_the_readme_grid_study_answers_its_question(tmp_path):
    import re

    import matplotlib

    matplotlib.use("Agg")
    from ludovec_lab import views

    readme = (Path(__file__).parents[2] / "README.md").read_text()
    section = readme.split("### One study over a grid of games", 1)[1]
    text = re.search(r"```toml\n(.*?)```", section, re.S).group(1)
    # Fewer runs, nothing else changed: 10 in each slice.
    text, n = re.subn(r"(?m)^num_runs = \d+", "num_runs = 40", text)
    assert n == 1
    study = lab.load_study(write_study(tmp_path / "grid.toml", text))
    df = lab.run(study, tmp_path / "s", progress=False)
    assert len(df.game.unique()) == 4 and df.game_id.nunique() == 4
    table = views.summary(df)
    keys = ["game", "dynamic", "eta", "slice"]
    assert len(table) == df.groupby(keys).ngroups == 4 * 2 * 2 * 4
    assert (table.runs == 10).all() and table.converged.between(0, 10).all()
    fraction = {
        (r.game, r.dynamic, r.eta, (r.inner, r.outer)): r.fraction for r in table.itertuples()
    }
    assert len(set(fraction.values())) > 2  # the cells differ, else the checks below are weak

    heat = views.plot_heatmap(df)
    panels = [ax for ax in heat.axes if ax.images]
    assert len(panels) == 8
    for ax in panels:
        game, dynamic = ax.get_title().rsplit(", ", 1)
        etas = [float(t.get_text()) for t in ax.get_yticklabels()]
        bands = sorted({k[3] for k in fraction if k[0] == game})
        cells = np.asarray(ax.images[0].get_array())
        want = [[fraction[game, dynamic, eta, band] for band in bands] for eta in etas]
        assert np.array_equal(cells, want), ax.get_title()

    overlay = views.plot_overlay(df)
    (ax,) = overlay.axes
    drawn = 0
    for container in ax.containers:
        label = re.fullmatch(r"(.+): (\w+), eta ([\d.]+)", container.get_label())
        game, dynamic, eta = label.group(1), label.group(2), float(label.group(3))
        want = [fraction[k] for k in sorted(fraction) if k[:3] == (game, dynamic, eta)]
        assert np.array_equal(container.lines[0].get_ydata(), want), container.get_label()
        drawn += 1
    assert drawn == 16
