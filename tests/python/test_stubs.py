"""The installed type stubs, as a user's type checkers see them.

A throw-away project outside the repository, with no configuration and no path settings, is
checked by mypy and basedpyright in the environment the distribution is installed in: a file
using the whole API must pass, and one with deliberate mistakes must be reported.
"""

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

WHOLE_API = textwrap.dedent("""
    import numpy as np
    import numpy.typing as npt

    import ludovec
    from ludovec import (Experiment, GameResult, GameState, Ogda, OmwuOftrl, OmwuOomd, Optimizer,
                         PyConcentricOutput, PyScatteredOutput)

    F64 = npt.NDArray[np.float64]

    a: F64 = np.array([[0.0, 1.0], [1.0, 0.0]])
    state: GameState = GameState(np.array([0.9, 0.1]), np.array([0.5, 0.5]), a)
    copy: F64 = state.a
    optimizers: list[Optimizer] = [Optimizer.ogda(0.1, 2), Optimizer.omwuoomd(0.1, 2),
                                   Optimizer.omwuoftrl(0.1, 2)]
    records: tuple[Ogda, OmwuOomd, OmwuOftrl] = (Ogda(0.1, 2), OmwuOomd(0.1, 2), OmwuOftrl(0.1, 2))
    result: GameResult = Experiment(
        state, optimizers[0], 5).run_experiment_until_convergence_in_place()
    histories: tuple[F64, F64, F64] = (result.x_history, result.y_history, result.gaps_history)
    scattered: PyScatteredOutput = ludovec.scattered_exploration(
        a, optimizers[1], 4, 5, 0.01, 0.1, "frobenius", "max_last")
    scattered = ludovec.scattered_exploration(
        a, optimizers[1], 4, 5, 0.01, 0.1, "max", "var_last", cutoff=0.5)
    pairs: tuple[F64, F64] = (scattered.norms, scattered.metrics)
    concentric: PyConcentricOutput = ludovec.concentric_exploration(
        a, optimizers[2], 4, 5, 0.0, 1.0, 2, "total_var")
    concentric = ludovec.concentric_exploration(
        a, optimizers[2], 4, 5, 0.0, 1.0, 2, "max_last", 0.2)
    bands: tuple[F64, F64] = (concentric.slice_boundaries, concentric.metrics)
    stack: F64 = np.stack([a, 2.0 * a])
    runs: list[GameResult] = ludovec.neighborhood_exploration(stack, optimizers[0], 5, True)
    shape: tuple[int, ...] = runs[0].gaps_history.shape
    names: list[str] = ludovec.__all__
    print(len(runs), len(names), shape)
""")

# Each mistake is one the stubs alone can catch: without them the module is opaque.
MISTAKES = textwrap.dedent("""
    import numpy as np
    import ludovec

    opt = ludovec.Optimizer.ogda("fast", 3)
    gaps: list[float] = ludovec.neighborhood_exploration(np.zeros((1, 2, 2)), opt, 10, True)
""")
MISTAKE_LINES = (5, 6)


def clean_environment(tmp_path):
    """The caller's environment less anything that points a checker or the loader elsewhere,
    with the interpreter's environment activated as a user would have it."""
    env = {
        k: v
        for k, v in os.environ.items()
        if k not in {"PYTHONPATH", "MYPYPATH", "LD_PRELOAD", "PYTHONHOME"}
        and not k.startswith(("ASAN_", "UBSAN_", "TSAN_"))
    }
    bin_dir = Path(sys.executable).parent
    env["PATH"] = os.pathsep.join([str(bin_dir), env.get("PATH", "")])
    if sys.prefix != sys.base_prefix:
        env["VIRTUAL_ENV"] = sys.prefix
    env["HOME"] = str(tmp_path)  # no user-level configuration either
    return env


@pytest.fixture(scope="module")
def project(tmp_path_factory):
    root = tmp_path_factory.mktemp("user-project")
    assert Path(__file__).resolve().parents[2] not in root.resolve().parents
    (root / "whole_api.py").write_text(WHOLE_API)
    (root / "mistakes.py").write_text(MISTAKES)
    return root


def run_checker(checker, project, file):
    if checker == "mypy":
        cmd = [sys.executable, "-m", "mypy", "--strict", file]
    else:
        exe = shutil.which("basedpyright", path=str(Path(sys.executable).parent)) or shutil.which(
            "basedpyright"
        )
        assert exe, "basedpyright is not installed (it is in the test extra)"
        cmd = [exe, file]
    return subprocess.run(
        cmd,
        cwd=project,
        env=clean_environment(project),
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_whole_api_runs(project):
    proc = subprocess.run(
        [sys.executable, "whole_api.py"], cwd=project, capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "2 12 (5,)\n"


@pytest.mark.slow
@pytest.mark.parametrize("checker", ["mypy", "basedpyright"])
def test_whole_api_passes(checker, project):
    proc = run_checker(checker, project, "whole_api.py")
    assert proc.returncode == 0, proc.stdout + proc.stderr


@pytest.mark.slow
@pytest.mark.parametrize("checker", ["mypy", "basedpyright"])
def test_mistakes_are_reported(checker, project):
    proc = run_checker(checker, project, "mistakes.py")
    out = proc.stdout + proc.stderr
    assert proc.returncode != 0, out
    assert "import" not in out.lower(), out  # found the stubs, then the mistakes
    for line in MISTAKE_LINES:  # errors, not the warnings an opaque module draws
        assert any(
            f"mistakes.py:{line}:" in text and "error" in text for text in out.splitlines()
        ), out
