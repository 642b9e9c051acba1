"""The command line: exit codes scripts can test, one-line messages for user mistakes."""

import socket
import time

import pytest

import ludovec_lab as lab

from labkit import cli, seeded_toml, write_study  # noqa: F401 (fixture)


def _closed_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize("command", [[], ["run"], ["status"], ["report"]])
def test_help(command):
    res = cli(*command, "--help")
    assert res.returncode == 0 and "usage: ludovec-lab" in res.stdout


def test_run_status_report(tmp_path, seeded_toml):
    res = cli("run", seeded_toml, "--store", tmp_path / "s")
    assert res.returncode == 0, res.stderr
    assert res.stdout.strip() == f"{tmp_path / 's'}: 12 of 12 chunks, 6000 runs"
    assert "6.00k/6.00k" in res.stderr  # the progress bar counts runs
    res = cli("status", tmp_path / "s")
    assert res.returncode == 0
    assert "chunks:      12 of 12 committed (100.0 %), complete" in res.stdout
    assert "scattered on biased_pennies (2, 2), dynamics ogda, omwuoomd" in res.stdout
    res = cli("report", tmp_path / "s", "--out", tmp_path / "figs")
    assert res.returncode == 0, res.stderr
    assert {p.suffix for p in (tmp_path / "figs").iterdir()} >= {".png", ".svg"}


def test_user_mistakes_exit_2_with_one_line(tmp_path, seeded_toml):
    bad = write_study(tmp_path / "bad.toml", 'kind = "scattered"\ngame = "oneill"\n'
                      'num_runs = 0\ninner_radius = 0.5\nouter_radius = 0.1\n')
    other = write_study(tmp_path / "other.toml",
                        seeded_toml.read_text().replace("seed = 2024", "seed = 7"))
    assert cli("run", seeded_toml, "--store", tmp_path / "s", "--no-progress").returncode == 0
    (tmp_path / "plain").mkdir()
    (tmp_path / "plain" / "x").write_text("")
    cases = [
        (["run", bad, "--store", tmp_path / "b"],
         f"{bad}, line 3: num_runs: must be an integer from 1 to 4294967295, found 0; "
         f"{bad}, line 5: outer_radius: must be greater than inner_radius (0.5), found 0.1"),
        (["run", tmp_path / "missing.toml", "--store", tmp_path / "b"], "cannot read the study file"),
        (["run", other, "--store", tmp_path / "s"], "differing fields: seed (store: 2024, given: 7)"),
        (["status", tmp_path / "plain"], "not a study store"),
        (["status", tmp_path / "nothing"], "no such store directory"),
        (["report", tmp_path / "plain", "--out", tmp_path / "f"], "not a study store"),
    ]
    for args, words in cases:
        res = cli(*args, *(["--no-progress"] if args[0] == "run" else []))
        assert res.returncode == 2, (args, res.stderr)
        lines = res.stderr.strip().splitlines()
        assert len(lines) == 1 and lines[0].startswith("ludovec-lab: error: "), res.stderr
        assert words in lines[0], lines[0]
    assert not (tmp_path / "b").exists()


def test_unreachable_scheduler_fails_within_the_timeout(tmp_path, seeded_toml):
    address = f"tcp://127.0.0.1:{_closed_port()}"
    start = time.monotonic()
    res = cli("run", seeded_toml, "--store", tmp_path / "s", "--dask", address,
              "--timeout", "2", "--no-progress")
    assert time.monotonic() - start < 60
    assert res.returncode == 2
    assert res.stderr.strip().startswith(
        f"ludovec-lab: error: cannot reach the Dask scheduler at {address} within 2 s")
    with pytest.raises(lab.ExecutorError, match="cannot reach"):
        lab.connect(address, timeout=1)
