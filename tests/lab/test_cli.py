"""The command line: exit codes scripts can test, one-line messages for user mistakes."""

# ruff: noqa: F811 (labkit's fixtures are imported by name, then requested as arguments)

import contextlib
import datetime as dt
import json
import os
import resource
import signal
import socket
import subprocess
import threading
import time
from importlib import metadata
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import ludovec_lab as lab
from ludovec_lab import views
from ludovec_lab.store import module_version

from labkit import BIN, CHILD_ENV, cli, seeded_toml, started_run, write_study  # noqa: F401 (fixture)


def _closed_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize(
    ("command", "words"),
    [
        ([], ["summary", "export", "report", "--version"]),
        (["run"], ["committing each as it finishes", "one line per mistake"]),
        (["status"], ["runs and chunks done", "estimate of the time left"]),
        (["summary"], ["summary table", "--by COL"]),
        (["export"], ["CSV or Parquet", "temporary name", "--histories"]),
        (["report"], ["PNG and SVG", "summary.txt", "index.html", "print the paths written"]),
    ],
)
def test_help_says_what_each_command_does(command, words):
    res = cli(*command, "--help")
    text = " ".join(res.stdout.split())  # as wrapped for the terminal
    assert res.returncode == 0 and text.startswith("usage: ludovec-lab")
    assert all(w in text for w in words), [w for w in words if w not in text]


def test_version():
    res = cli("--version")
    assert res.returncode == 0
    assert res.stdout == f"ludovec-lab {metadata.version('ludovec')} (ludovec {module_version()})\n"


def test_run_status_report(tmp_path, seeded_toml):
    res = cli("run", seeded_toml, "--store", tmp_path / "s")
    assert res.returncode == 0, res.stderr
    assert res.stdout.strip() == f"{tmp_path / 's'}: 12 of 12 chunks, 6000 runs"
    assert "6.00k/6.00k" in res.stderr  # the progress bar counts runs
    res = cli("status", tmp_path / "s")
    assert res.returncode == 0
    for line in [
        "study:       scattered, 2000 steps a run",
        "game:        biased_pennies (2 x 2)",
        "dynamics:    ogda, omwuoomd",
        "step sizes:  0.05",
        "radii:       [0, 0.5) per entry, norm max",
        "metric:      total_var, cutoff 0.1, threshold 1e-08",
        "seed:        2024 (given)",
        "runs:        6000 of 6000 (100.0 %)",
        "chunks:      12 of 12 committed, complete",
        "time left:   none (complete)",
    ]:
        assert f"\n{line}\n" in res.stdout, line
    res = cli("report", tmp_path / "s", "--out", tmp_path / "figs")
    assert res.returncode == 0, res.stderr
    assert {p.suffix for p in (tmp_path / "figs").iterdir()} >= {".png", ".svg"}


@pytest.mark.parametrize("kept", [0, 9])
def test_status_counts_runs_and_estimates_the_time_left(tmp_path, seeded_toml, kept):
    store = tmp_path / "s"
    lab.run(seeded_toml, store, progress=False)
    manifest = json.loads((store / "manifest.json").read_text())
    chunks = sorted((store / "chunks").glob("chunk-*.parquet"))
    for p in chunks[kept:]:
        p.unlink()
    # 9 chunks of 500 runs committed 90 s after the store was created: 30 s for the other 3.
    t = dt.datetime.fromisoformat(manifest["created"]).timestamp() + 90
    for p in chunks[:kept]:
        os.utime(p, (t, t))
    if kept:  # as written for a seed the OS drew
        manifest["study"]["seed_drawn"] = True
        (store / "manifest.json").write_text(json.dumps(manifest))
    res = cli("status", store)
    assert res.returncode == 0, res.stderr
    assert f"runs:        {500 * kept} of 6000 ({500 * kept / 60:.1f} %)\n" in res.stdout
    assert f"chunks:      {kept} of 12 committed\n" in res.stdout
    assert f"seed:        2024 ({'drawn' if kept else 'given'})\n" in res.stdout
    left = "about 30 s at the pace so far" if kept else "unknown (no pace yet"
    assert f"time left:   {left}" in res.stdout


@pytest.mark.parametrize(
    ("args", "by"),
    [
        ([], None),
        (["--by", "dynamic"], ["dynamic"]),
        (["--by", "eta", "--by", "dynamic"], ["eta", "dynamic"]),
    ],
)
def test_summary_prints_the_table_of_the_views(tmp_path, seeded_toml, capsys, args, by):
    lab.run(seeded_toml, tmp_path / "s", progress=False)
    res = cli("summary", tmp_path / "s", *args)
    assert res.returncode == 0, res.stderr
    views.summary(tmp_path / "s", by=by)
    assert res.stdout == capsys.readouterr().out


SINGLE = 'kind = "single"\ngame = "biased_pennies"\n'


@pytest.mark.parametrize("kind", ["scattered", "single"])
@pytest.mark.parametrize(("name", "args"), [("runs.csv", []), ("runs.pq", ["--format", "parquet"])])
def test_export_writes_the_loaded_table(tmp_path, seeded_toml, kind, name, args):
    study = seeded_toml
    if kind == "single":
        study = write_study(tmp_path / "single.toml", SINGLE + 'dynamic = ["ogda", "omwuoomd"]\n')
    lab.run(study, tmp_path / "s", progress=False)
    out = tmp_path / "out"
    out.mkdir()
    (out / name).write_text("an older export, replaced")
    histories = out / f"histories{Path(name).suffix}"
    if kind == "single":
        args = [*args, "--histories", histories]
    res = cli("export", tmp_path / "s", "--out", out / name, *args)
    assert res.returncode == 0, res.stderr
    read = pd.read_csv if name.endswith(".csv") else pd.read_parquet
    expected = [(out / name, lab.load(tmp_path / "s"))]
    if kind == "single":
        expected.append((histories, lab.load_histories(tmp_path / "s")))
    for path, df in expected:
        back = read(path)
        pd.testing.assert_frame_equal(back, df, check_dtype=read is pd.read_parquet)
        if read is pd.read_parquet:
            assert back.attrs["fingerprint"] == df.attrs["fingerprint"]
    assert sorted(out.iterdir()) == sorted(p for p, _ in expected)  # no temporary left


@pytest.mark.parametrize(
    ("out", "histories", "words"),
    [
        ("dir", None, "{tmp}/dir: is a directory; give the name of a file to write"),
        ("file/x.csv", None, "{tmp}/file/x.csv: Not a directory"),
        ("x.txt", None, "give --format csv or parquet"),
        ("x.csv", "h.csv", "holds a 'scattered' study; only single-run studies keep histories"),
    ],
)
def test_export_failures_end_in_one_line(tmp_path, seeded_toml, out, histories, words):
    (tmp_path / "dir").mkdir()
    (tmp_path / "file").write_text("")
    lab.run(seeded_toml, tmp_path / "s", progress=False)
    before = sorted(tmp_path.rglob("*"))
    extra = [] if histories is None else ["--histories", tmp_path / histories]
    res = cli("export", tmp_path / "s", "--out", tmp_path / out, *extra)
    assert res.returncode == 2
    assert words.format(tmp=tmp_path) in _one_line(res)
    assert sorted(tmp_path.rglob("*")) == before


def test_a_bad_study_file_prints_one_line_per_mistake_in_line_order(tmp_path):
    bad = write_study(
        tmp_path / "bad.toml",
        'kind = "scattered"\ngame = "oneill"\nouter_radius = 0.1\n'
        "num_run = 5\ninner_radius = 0.5\n",
    )
    res = cli("run", bad, "--store", tmp_path / "b", "--no-progress")
    assert res.returncode == 2 and not (tmp_path / "b").exists()
    assert res.stderr.splitlines() == [
        f"ludovec-lab: error: {bad}:3: outer_radius: must be greater than inner_radius (0.5), "
        "found 0.1",
        f"ludovec-lab: error: {bad}:4: num_run: unknown field; did you mean num_runs?",
        f"ludovec-lab: error: {bad}: num_runs: missing field (must be an integer from 1 to "
        "4294967295)",
    ]


def test_user_mistakes_exit_2_with_one_line(tmp_path, seeded_toml):
    other = write_study(
        tmp_path / "other.toml", seeded_toml.read_text().replace("seed = 2024", "seed = 7")
    )
    assert cli("run", seeded_toml, "--store", tmp_path / "s", "--no-progress").returncode == 0
    (tmp_path / "plain").mkdir()
    (tmp_path / "plain" / "x").write_text("")
    cases = [
        (
            ["run", tmp_path / "missing.toml", "--store", tmp_path / "b"],
            "cannot read the study file",
        ),
        (
            ["run", other, "--store", tmp_path / "s"],
            "differing fields: seed (store: 2024, given: 7)",
        ),
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
    res = cli(
        "run",
        seeded_toml,
        "--store",
        tmp_path / "s",
        "--dask",
        address,
        "--timeout",
        "2",
        "--no-progress",
    )
    assert time.monotonic() - start < 60
    assert res.returncode == 2
    assert res.stderr.strip().startswith(
        f"ludovec-lab: error: cannot reach the Dask scheduler at {address} within 2 s"
    )
    with pytest.raises(lab.ExecutorError, match="cannot reach"):
        lab.connect(address, timeout=1)


def _one_line(res) -> str:
    lines = res.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("ludovec-lab: "), res.stderr
    return lines[0]


def _stack_study(
    tmp_path, n: int, steps: int, poison: int | None = None, size: int = 3, eta: float = 0.01
) -> Path:
    """A stack of ``n`` random ``size`` x ``size`` games, one chunk each; a poisoned game's
    entries are so large that the module stops on it."""
    stack = np.random.default_rng(0).random((n, size, size))
    if poison is not None:
        stack[poison] *= 1e300
    np.save(tmp_path / "stack.npy", stack)
    return write_study(
        tmp_path / "stack.toml",
        f"""
        kind = "stack"
        matrix = "stack.npy"
        dynamic = "ogda"
        eta = {eta}
        num_steps = {steps}
        chunk_size = 1
        """,
    )


@pytest.mark.parametrize(
    ("args", "words"),
    [
        pytest.param(["--timeout", "nan"], "--timeout: must be a positive number", id="nan"),
        pytest.param(["--timeout", "-1"], "--timeout: must be a positive number", id="negative"),
        pytest.param(["--timeout", "inf"], "--timeout: must be a positive number", id="inf"),
        pytest.param(["--dask", "tls://127.0.0.1:1"], "tls:// needs Dask's TLS settings", id="tls"),
        pytest.param(
            ["--dask", "ucx://127.0.0.1:1"],
            "the ucx:// scheme is not supported; give a tcp:// (or tls://",
            id="ucx",
        ),
        pytest.param(
            ["--study", SINGLE + 'dynamic = "ogda"\neta = 1e50\nnum_steps = 100\n'],
            "EngineError: Issue computing theta",
            id="panic",
        ),
        pytest.param(
            [
                "--study",
                SINGLE + 'dynamic = "ogda"\neta = 0.1\nnum_steps = 10000000\ndecimation = 1\n',
                "--address-space",
            ],
            "MemoryError: refused a batch of 1 runs",
            id="memory",
        ),
        pytest.param(["--out", "file"], "exists and is not a directory", id="out-is-a-file"),
        pytest.param(["--out", "file/figs"], "file/figs: Not a directory", id="out-under-a-file"),
    ],
)
def test_failures_end_in_one_line(tmp_path, seeded_toml, args, words):
    (tmp_path / "file").write_text("")
    if args[0] == "--out":
        lab.run(seeded_toml, tmp_path / "s", progress=False)
        res = cli("report", tmp_path / "s", "--out", tmp_path / args[1])
    else:
        study, kw = seeded_toml, {}
        if args[0] == "--study":
            study = write_study(tmp_path / "s.toml", args[1])
            if args[2:]:  # the kept history fits the study's bound but not the process
                kw["preexec_fn"] = lambda: resource.setrlimit(resource.RLIMIT_AS, (2**30, 2**30))
            args = []
        res = cli("run", study, "--store", tmp_path / "b", "--no-progress", *args, **kw)
    assert res.returncode == 2
    line = _one_line(res)
    assert line.startswith("ludovec-lab: error: ") and words in line, line


def test_paths_that_are_not_utf8_are_printed(tmp_path, seeded_toml):
    lab.run(seeded_toml, tmp_path / "s", progress=False)
    odd = os.fsdecode(os.fsencode(tmp_path) + b"/caf\xe9")
    env = {**CHILD_ENV, "PYTHONIOENCODING": "utf-8"}  # a strict stream, as in a UTF-8 locale
    res = subprocess.run(
        [str(BIN / "ludovec-lab"), "report", tmp_path / "s", "--out", odd],
        capture_output=True,
        text=True,
        errors="surrogateescape",
        env=env,
        timeout=300,
    )
    assert res.returncode == 0, res.stderr
    assert f"{odd}/" in res.stdout  # the name's own bytes


@pytest.mark.parametrize(
    "answer", [None, b"HTTP/1.1 400 Bad Request\r\n\r\n"], ids=["silent", "http"]
)
def test_a_listener_that_is_no_scheduler_fails_within_the_timeout(tmp_path, seeded_toml, answer):
    held = []
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen()

        def serve():
            while True:
                try:
                    conn, _ = server.accept()
                except OSError:
                    return
                held.append(conn)
                if answer:
                    conn.sendall(answer)

        threading.Thread(target=serve, daemon=True).start()
        address = f"tcp://127.0.0.1:{server.getsockname()[1]}"
        start = time.monotonic()
        res = cli(
            "run",
            seeded_toml,
            "--store",
            tmp_path / "s",
            "--dask",
            address,
            "--timeout",
            "2",
            "--no-progress",
            timeout=90,
        )
        elapsed = time.monotonic() - start
        server.shutdown(socket.SHUT_RDWR)
    assert res.returncode == 2 and elapsed < 60
    assert f"{address} " in _one_line(res) and "does not answer as a Dask scheduler" in res.stderr
    assert not (tmp_path / "s").exists()


def _children(pid: int) -> list[int]:
    found = []
    for task in Path(f"/proc/{pid}/task").iterdir():
        with contextlib.suppress(FileNotFoundError):  # a thread that has just ended
            found += map(int, (task / "children").read_text().split())
    return found


def _gone(pid: int) -> bool:
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


def _start(tmp_path, study, *args: str) -> subprocess.Popen[str]:
    """The command started on ``study``, back once it has committed a chunk."""
    return started_run(study, tmp_path / "s", *args)


@pytest.mark.slow
@pytest.mark.parametrize(
    ("processes", "sig", "code"),
    [(False, signal.SIGTERM, 143), (True, signal.SIGTERM, 143), (True, signal.SIGINT, 130)],
)
def test_signals_stop_with_finished_chunks_committed(tmp_path, processes, sig, code):
    if processes:
        study, args = _stack_study(tmp_path, 40, 1_500_000), ["--workers", "2"]
    else:
        study, args = (
            write_study(
                tmp_path / "single.toml",
                SINGLE
                + """
            dynamic = ["ogda", "omwuoomd", "omwuoftrl"]
            eta = [0.001, 0.002, 0.003, 0.004]
            num_steps = 3000000
            """,
            ),
            [],
        )
    proc = _start(tmp_path, study, *args)
    workers = _children(proc.pid)
    proc.send_signal(sig)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == code
    assert err.strip().splitlines() == [
        f"ludovec-lab: {'terminated' if code == 143 else 'interrupted'}; finished chunks "
        "are committed, run again to resume"
    ]
    assert len(workers) == (2 if processes else 0) and all(map(_gone, workers))
    df = lab.load(tmp_path / "s")
    assert 0 < df.attrs["chunks"] < df.attrs["total_chunks"] and len(df) == df.attrs["chunks"]


@pytest.mark.parametrize("cause", ["panic", pytest.param("sigkill", marks=pytest.mark.slow)])
def test_a_failing_worker_process_is_reported_without_a_hang(tmp_path, cause):
    if cause == "panic":
        study = _stack_study(tmp_path, 20, 2000, poison=7)
        res = cli("run", study, "--store", tmp_path / "s", "--no-progress", "--workers", "2")
        failed, words = 7, "EngineError: Issue computing theta"
    else:
        proc = _start(tmp_path, _stack_study(tmp_path, 40, 1_500_000), "--workers", "2")
        os.kill(_children(proc.pid)[0], signal.SIGKILL)
        out, err = proc.communicate(timeout=60)
        res = subprocess.CompletedProcess(proc.args, proc.returncode, out, err)
        failed, words = None, "was killed by SIGKILL"
    assert res.returncode == 2
    line = _one_line(res)
    df = lab.load(tmp_path / "s")
    assert len(df) == df.attrs["chunks"] > 0
    total = df.attrs["total_chunks"]
    assert words in line and f"; finished chunks are committed ({len(df)} of {total})" in line
    if failed is not None:
        assert f"chunk {failed} " in line and failed not in set(df["chunk"])


@pytest.mark.slow
def test_a_killed_run_leaves_no_worker_and_resumes_at_once(tmp_path):
    # Chunks of seconds each: a worker outliving the run would still hold the store's lock
    # when the resume starts.
    study = _stack_study(tmp_path, 4, 2_000_000, size=30, eta=1e-4)
    proc = subprocess.Popen(
        [
            str(BIN / "ludovec-lab"),
            "run",
            str(study),
            "--store",
            str(tmp_path / "s"),
            "--no-progress",
            "--workers",
            "2",
        ],
        env=CHILD_ENV,
    )
    deadline = time.monotonic() + 60
    while len(workers := _children(proc.pid)) < 2:
        assert time.monotonic() < deadline and proc.poll() is None
        time.sleep(0.02)
    time.sleep(0.5)  # computing
    proc.kill()
    proc.wait()
    res = cli("run", study, "--store", tmp_path / "s", "--no-progress", "--workers", "2")
    assert res.returncode == 0, res.stderr
    assert res.stdout.strip().endswith(": 4 of 4 chunks, 4 runs")
    assert all(map(_gone, workers))


def test_status_names_the_games_and_starts_of_a_grid(tmp_path):
    games = [
        "rock_paper_scissors",
        {"family": "normal", "shape": [3, 3], "count": 3},
        {"family": "uniform", "shape": [3, 3], "low": -1, "high": 1},
    ]
    starts = [{"x": [0.6, 0.3, 0.1]}, {"y": [0.2, 0.3, 0.5]}]
    study = lab.Study(
        kind="scattered", games=games, starts=starts, dynamic="ogda", eta=0.1, num_steps=50,
        num_runs=4, inner_radius=0.0, outer_radius=0.1, metric="total_var", seed=3,
    )  # fmt: skip
    lab.run(study, tmp_path / "s", progress=False)
    res = cli("status", tmp_path / "s")
    assert res.returncode == 0, res.stderr
    assert "matrix:" not in res.stdout
    for line in [
        "games:       5 games: rock_paper_scissors 3x3, normal 3x3 #1..#3, uniform 3x3 #1",
        "starts:      2: x [0.6, 0.3, 0.1], y uniform; x uniform, y [0.2, 0.3, 0.5]",
    ]:
        assert f"\n{line}\n" in res.stdout, res.stdout
