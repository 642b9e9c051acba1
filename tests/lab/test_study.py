"""Study descriptions: TOML and Python forms, one message per mistake, matrices and games."""

import io
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import ludovec_lab as lab
from ludovec_lab import games

from labkit import write_study

VALID = """\
kind = "scattered"
game = "matching_pennies"
dynamic = "ogda"
eta = 0.1
num_steps = 100
num_runs = 10
inner_radius = 0.0
outer_radius = 0.1
"""


def _npy(shape: tuple[int, ...], descr: str = "<f8") -> bytes:
    """A .npy header alone: the data it announces is not there."""
    out = io.BytesIO()
    header = {"descr": descr, "fortran_order": False, "shape": shape}
    np.lib.format.write_array_header_1_0(out, header)
    return out.getvalue()


def _toml(tmp_path, replace: dict[str, str | None], extra: str = ""):
    lines = []
    for line in VALID.splitlines():
        key = line.split("=")[0].strip()
        if key in replace:
            if replace[key] is not None:
                lines.append(f"{key} = {replace[key]}")
        else:
            lines.append(line)
    return write_study(tmp_path / "s.toml", "\n".join(lines) + "\n" + extra)


@pytest.mark.parametrize(
    "replace, extra, field, words",
    [
        ({"dynamic": '"sgd"'}, "", "dynamic", "unknown dynamic 'sgd'"),
        ({"inner_radius": "-0.5"}, "", "inner_radius", "at least 0"),
        ({"inner_radius": "0.3"}, "", "outer_radius", "greater than inner_radius"),
        ({"num_runs": "0"}, "", "num_runs", "from 1 to"),
        ({"num_runs": '"many"'}, "", "num_runs", "expected an integer, found str"),
        ({"eta": "nan"}, "", "eta", "finite number above 0"),
        ({"outer_radius": "inf"}, "", "outer_radius", "finite"),
        ({}, "cutoff = 0.0", "cutoff", "(0, 1]"),
        ({}, "cutoff = 1.5", "cutoff", "(0, 1]"),
        ({}, "seed = -1", "seed", "non-negative integer"),
        ({}, "seed = 1.5", "seed", "non-negative integer"),
        ({}, 'metric = "max_last_5"', "metric", "unknown metric 'max_last_5'"),
        ({}, 'norm = "l2"', "norm", "unknown norm 'l2'"),
        ({}, "tolerances = [1e-9]", "tolerances", "not used by a 'scattered' study"),
        ({}, "colour = 3", "colour", "unknown field; remove it"),
        ({}, "num_slice = 3", "num_slice", "unknown field; did you mean num_slices?"),
        ({"game": '"chess"'}, "", "game", "unknown game 'chess'"),
        ({"game": None}, 'matrix = "m\\u0000.csv"', "matrix", "holds a NUL character"),
        (
            {},
            "cutoff = 1e-17",
            "cutoff",
            "empty (the tail starts at step trunc(num_steps * (1 - "
            "cutoff))), so every run's max_last is that of no step at all; raise cutoff to 0.01 or",
        ),
        (
            {"num_runs": "4294967295"},
            "chunk_size = 1",
            "chunk_size",
            "4294967295 chunks of 1 runs, more than 1000000; raise chunk_size to at least 4295",
        ),
    ],
)
def test_each_mistake_names_its_field_and_line(tmp_path, replace, extra, field, words):
    path = _toml(tmp_path, replace, extra)
    line = next(
        i for i, t in enumerate(path.read_text().splitlines(), 1) if t.startswith(f"{field} =")
    )
    with pytest.raises(lab.StudyError) as err:
        lab.load_study(path)
    assert err.value.problems == [p for p in err.value.problems if p.startswith(f"{path}:")]
    assert any(p.startswith(f"{path}:{line}: {field}: ") and words in p for p in err.value.problems)
    assert "segment_steps" not in str(err.value)  # no list of every field


@pytest.mark.parametrize(
    "text, expected",
    [
        pytest.param(
            """
            outer_radius = 0.1
            kind = "scattered"
            game = "matching_pennies"
            dynamic = [
              "ogda", "sgd",  # a bracket in a comment: ]
            ]
            colour = "[red"
            inner_radius = 0.5
            num_step = 100
            [eta]
            value = 1
            """,
            [
                ("outer_radius", "must be greater than inner_radius (0.5), found 0.1"),
                ("dynamic", "unknown dynamic 'sgd'"),
                ("colour", "unknown field; remove it"),
                ("num_step", "unknown field; did you mean num_steps?"),
                ("eta", "expected a value, found a table"),
                ("num_runs", "missing field"),
            ],
            id="every-kind-of-mistake",
        ),
        pytest.param(
            """
            num_steps = 0
            dynamic = "sgd"
            """,
            [
                ("num_steps", "from 1 to"),
                ("dynamic", "unknown dynamic 'sgd'"),
                ("kind", "missing field (one of single, scattered, concentric, stack)"),
            ],
            id="no-kind",
        ),
    ],
)
def test_a_study_file_reports_every_mistake_in_line_order(tmp_path, text, expected):
    path = write_study(tmp_path / "s.toml", text)
    lines = path.read_text().splitlines()

    def line(name: str) -> int | None:
        starts = (f"{name} =", f"[{name}]")
        return next((i for i, t in enumerate(lines, 1) if t.startswith(starts)), None)

    with pytest.raises(lab.StudyError) as err:
        lab.load_study(path)
    problems = err.value.problems
    assert str(err.value) == "\n".join(problems)
    assert len(problems) == len(expected), problems
    for problem, (name, words) in zip(problems, expected, strict=True):
        at = line(name)
        prefix = f"{path}:{at}: {name}: " if at else f"{path}: {name}: "
        assert problem.startswith(prefix) and words in problem, (problem, prefix)


@pytest.mark.parametrize(
    "text, start", [('kind = "single"\ngame = = 3\n', ":2: "), ('kind = "x', ": ")]
)
def test_a_file_that_is_not_toml_names_its_line(tmp_path, text, start):
    path = write_study(tmp_path / "s.toml", text)
    with pytest.raises(lab.StudyError) as err:
        lab.load_study(path)
    assert err.value.problems[0].startswith(f"{path}{start}not valid TOML: ")


@pytest.mark.slow
def test_type_checkers_reject_fields_of_the_wrong_type(tmp_path):
    snippet = tmp_path / "snippet.py"
    snippet.write_text(
        "import numpy as np\n"
        "from ludovec_lab import Study\n"
        'Study(kind="single", eta=[0.1, 0.2], dynamic=("ogda",), matrix=np.eye(2))\n'
        'Study(kind="single", eta="0.1", dynamic=3)\n'
        'Study(kind="single", game="oneill", decimation="lin")\n'
    )
    # This lab: a source tree is named to mypy, an installed copy it finds by itself (and
    # refuses site-packages on its path).
    where = Path(lab.__file__).parent.parent
    env = (
        dict(os.environ)
        if where.name == "site-packages"
        else {**os.environ, "MYPYPATH": str(where)}
    )
    mypy = [sys.executable, "-m", "mypy", "--strict", "--follow-imports=silent"]
    res = subprocess.run(
        [*mypy, "--cache-dir=/dev/null", str(snippet)],
        capture_output=True,
        text=True,
        env=env,
        timeout=600,
    )
    errors = [line for line in res.stdout.splitlines() if ": error: " in line]
    assert [e.split(":")[1] for e in errors] == ["4", "4", "5"], res.stdout
    assert 'Argument "eta" to "Study" has incompatible type "str"' in errors[0]
    assert 'Argument "dynamic" to "Study" has incompatible type "int"' in errors[1]
    assert 'Argument "decimation"' in errors[2]


@pytest.mark.parametrize(
    "kw, words",
    [
        (dict(kind="single", game="oneill", tolerances=[1e-9]), "at least 1e-08"),
        (
            dict(
                kind="concentric",
                game="oneill",
                num_runs=3,
                num_slices=4,
                inner_radius=0.0,
                outer_radius=1.0,
            ),
            "leave every slice empty",
        ),
        (dict(kind="single", matrix=[[1.0, np.nan], [0.0, 1.0]]), "NaN or infinite"),
        (dict(kind="single", game="oneill", matrix=[[1.0]]), "exactly one of"),
        (dict(kind="stack", matrix=np.zeros((0, 2, 2))), "holds no matrix"),
        (dict(kind="single", game="oneill", decimation=0), "every k-th step"),
        (
            dict(
                kind="scattered",
                game="oneill",
                num_runs=5,
                inner_radius=0.0,
                outer_radius=1.0,
                seed=True,
            ),
            "non-negative integer",
        ),
        (dict(kind="pairs", game="oneill"), "unknown kind"),
        (
            dict(kind="single", game="oneill", num_steps=2**32 - 1, decimation=1),
            "1 keeps 4294967295 of the 4294967295 steps in the gap history, more than the 10000000 "
            "a run keeps; raise decimation to at least 430 or lower num_steps",
        ),
        (
            dict(kind="single", game="oneill", tolerances=[1e-4, 1.000001e-4]),
            "0.0001000001 and 0.0001 share the result column 'steps_to_0.0001'",
        ),
    ],
)
def test_python_studies_are_validated_alike(kw, words):
    with pytest.raises(lab.StudyError, match=None) as err:
        lab.Study(**kw)
    assert words in str(err.value)


@pytest.mark.parametrize(
    "name, data, words",
    [
        ("ragged.csv", "1, 2\n3\n", "line 2: 1 entries where the first row has 2 (ragged"),
        ("empty.txt", "\n# nothing\n", "holds no matrix"),
        ("word.txt", "1 2\n3 x\n", "line 2: not a number"),
        ("nan.csv", "1, nan\n0, 1\n", "NaN or infinite"),
        ("gap.csv", "1,,-1\n-1,1\n", "line 1: an empty field in '1,,-1'"),
        ("long.txt", "1 2\n" + "x" * 5000, "line 2: not a number in '" + "x" * 40 + "…'"),
        ("junk.txt", "1 2\n3 \x00\x01\n", "line 2: binary content"),
        ("huge.npy", _npy((60000, 60000)), "claims shape (60000, 60000) of float64 (26.8 GiB)"),
        ("cube.npy", _npy((10**5,) * 3), "found 3 dimensions (shape (100000, 100000, 100000) of"),
        ("text.npy", _npy((2, 2), "<U3"), "entries must be numbers, not <U3"),
    ],
)
def test_bad_matrix_files(tmp_path, name, data, words):
    path = tmp_path / name
    path.write_bytes(data if isinstance(data, bytes) else data.encode())
    with pytest.raises(lab.StudyError) as err:
        lab.Study(kind="single", matrix=str(path))
    assert words in str(err.value)
    assert len(str(err.value)) < 300  # nothing of the file beyond a short excerpt


def test_a_matrix_file_too_large_to_hold_is_refused_unread(tmp_path):
    path = tmp_path / "big.npy"
    with path.open("wb") as f:  # 144 MB of int8, sparse on disk; 1.15 GB as float64
        f.write(_npy((12000, 12000), "|i1"))
        f.truncate(f.tell() + 12000 * 12000)
    with pytest.raises(lab.StudyError, match=r"takes 1\.1 GiB as float64, more than the 1\.0 GiB"):
        lab.Study(kind="single", matrix=str(path))


@pytest.mark.parametrize("nest", [("[", "]"), ("{b=", "}")])
def test_a_study_file_nested_too_deeply_is_refused(tmp_path, nest):
    path = write_study(tmp_path / "s.toml", f"a = {nest[0] * 3000}1{nest[1] * 3000}\n")
    with pytest.raises(lab.StudyError, match="nested too deeply"):
        lab.load_study(path)


def test_matrix_files_of_every_format_give_the_same_study(tmp_path):
    a = np.array([[0.25, -1.5], [3.0, 1e-3]])
    np.save(tmp_path / "a.npy", a)
    (tmp_path / "a.csv").write_text("0.25, -1.5\n3.0, 1e-3\n")
    (tmp_path / "a.txt").write_text("# payoff\n0.25  -1.5\n3.0\t1e-3\n")
    studies = [
        lab.Study(kind="single", matrix=str(tmp_path / f)) for f in ("a.npy", "a.csv", "a.txt")
    ]
    for s in studies:
        np.testing.assert_array_equal(s.payoff, a)
    assert len({s.fingerprint for s in studies}) == 1
    # The same study from TOML, with the matrix path relative to the file.
    toml = write_study(tmp_path / "s.toml", 'kind = "single"\nmatrix = "a.csv"\n')
    assert lab.load_study(toml).fingerprint == studies[0].fingerprint
    np.save(tmp_path / "bad.npy", np.zeros((2, 2, 2)))
    with pytest.raises(lab.StudyError, match="expected a matrix"):
        lab.Study(kind="single", matrix=str(tmp_path / "bad.npy"))


def test_fingerprint_follows_results_not_execution():
    kw = dict(kind="scattered", game="oneill", num_runs=100, inner_radius=0.0, outer_radius=0.1)
    base = lab.Study(**kw, seed=1)
    assert (
        lab.Study(
            **kw, seed=1, executor="dask", scheduler="tcp://127.0.0.1:1", workers=3
        ).fingerprint
        == base.fingerprint
    )
    assert lab.Study(**kw, seed=2).fingerprint != base.fingerprint
    same = lab.Study(**{**kw, "game": None}, matrix=lab.classic_game("oneill"), seed=1)
    assert same != base and len({base, lab.Study(**kw, seed=1)}) == 1  # the game name counts
    assert lab.Study(**kw, seed=1, dynamic="OMWU_OOMD").dynamic == ("omwuoomd",)


@pytest.mark.parametrize("name", games.CLASSIC_GAMES)
def test_equilibria_of_classic_games(name):
    a = games.classic_game(name)
    eq = games.equilibrium(a)
    assert eq.value == pytest.approx(games.classic_value(name), abs=1e-9)
    # x guarantees the value against every column, y against every row.
    assert (a.T @ eq.x).max() == pytest.approx(eq.value, abs=1e-9)
    assert (a @ eq.y).min() == pytest.approx(eq.value, abs=1e-9)
    assert games.distance_to_equilibria(a, eq.x, eq.y) == pytest.approx(0.0, abs=1e-8)


def test_oneill_value_and_strategies():
    eq = games.equilibrium(games.classic_game("oneill"))
    assert eq.value == pytest.approx(-0.2, abs=1e-9)
    np.testing.assert_allclose(eq.x, [0.4, 0.2, 0.2, 0.2], atol=1e-9)
    np.testing.assert_allclose(eq.y, [0.4, 0.2, 0.2, 0.2], atol=1e-9)


def test_rectangular_equilibrium_and_distance():
    # Row player pays; column 3 is dominated for the column player, who mixes columns 1, 2.
    a = np.array([[3.0, 0.0, -1.0], [0.0, 1.0, -2.0]])
    eq = games.equilibrium(a)
    assert eq.value == pytest.approx(0.75)
    np.testing.assert_allclose(eq.x, [0.25, 0.75], atol=1e-9)
    np.testing.assert_allclose(eq.y, [0.25, 0.75, 0.0], atol=1e-9)
    # Pure row 1 against the optimal y: x is 0.75 away in each of two entries.
    assert games.distance_to_equilibria(a, np.array([1.0, 0.0]), eq.y) == pytest.approx(
        1.5, abs=1e-8
    )


def test_a_grid_study_draws_the_perturbations_its_store_ran(tmp_path):
    study = lab.Study(
        kind="scattered", games=["rock_paper_scissors", "matching_pennies"], dynamic="ogda",
        eta=0.1, num_steps=50, num_runs=3, inner_radius=0.0, outer_radius=0.1, seed=3,
    )  # fmt: skip
    df = lab.run(study, tmp_path / "s", progress=False)
    for g in study.grid:
        for i in range(3):
            drawn = lab.perturbation(study, i, game=g.name)
            assert drawn.shape == g.shape
            assert np.array_equal(drawn, lab.perturbation(df, i, game=g.id))
