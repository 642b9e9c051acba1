"""Helpers shared by the study-layer tests: study files, the command line, equal tables.

Not a conftest: the Python suite beside this one imports its own conftest by name.
"""

import os
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from ludovec_lab.store import EXPLORATION_COLUMNS

BIN = Path(sys.executable).parent
# Children get one module worker each, so the two cores are not oversubscribed.
CHILD_ENV = {**os.environ, "RAYON_NUM_THREADS": "1", "PYTHONUNBUFFERED": "1"}


def write_study(path: Path, text: str) -> Path:
    path.write_text(textwrap.dedent(text).lstrip())
    return path


def cli(*args: str, timeout: float = 120, **kw) -> subprocess.CompletedProcess:
    """Runs the installed ``ludovec-lab`` command."""
    return subprocess.run(
        [str(BIN / "ludovec-lab"), *map(str, args)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=CHILD_ENV,
        **kw,
    )


def started_run(study: Path, store: Path, *args: str, chunks: int = 1) -> subprocess.Popen[str]:
    """``ludovec-lab run`` started on ``study``, back once ``store`` holds ``chunks`` chunks."""
    proc = subprocess.Popen(
        [
            str(BIN / "ludovec-lab"),
            "run",
            str(study),
            "--store",
            str(store),
            "--no-progress",
            *args,
        ],
        env=CHILD_ENV,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    deadline = time.monotonic() + 120
    while len(list((store / "chunks").glob("chunk-*.parquet"))) < chunks:
        assert time.monotonic() < deadline and proc.poll() is None, proc.communicate()
        time.sleep(0.02)
    return proc


def assert_same_results(a: pd.DataFrame, b: pd.DataFrame) -> None:
    """Bit for bit equal run tables (NaN equal to NaN), whatever produced them."""
    assert len(a) == len(b) and len(a) > 0
    for col in EXPLORATION_COLUMNS:
        x, y = a[col].to_numpy(), b[col].to_numpy()
        if x.dtype.kind == "f":
            assert np.array_equal(x.view(np.int64), y.view(np.int64)), col
        else:
            assert np.array_equal(x, y), col


def kept(path: Path, **samples: np.ndarray) -> str:
    """Saves the draws of a failed statistical check to `path` (.npz) and says where: unseeded
    studies draw in the module, from the OS's entropy, so their samples can be examined again
    but not drawn again. Meant for an assert's message, which is only evaluated on failure."""
    np.savez(path, **samples)
    return f"samples kept in {path}"


@pytest.fixture
def seeded_toml(tmp_path):
    """A seeded scattered study of 12 chunks on a 2 x 2 game, about a second of work."""
    return write_study(
        tmp_path / "study.toml",
        """
        kind = "scattered"
        game = "biased_pennies"
        dynamic = ["ogda", "omwuoomd"]
        eta = 0.05
        num_steps = 2000
        num_runs = 3000
        inner_radius = 0.0
        outer_radius = 0.5
        metric = "total_var"
        seed = 2024
        chunk_size = 500
        """,
    )
