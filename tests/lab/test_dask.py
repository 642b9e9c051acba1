"""Studies on real Dask clusters on the loopback address: the same results as the local
executor, the caller alone writing the store, a lost worker costing nothing."""

# ruff: noqa: F811 (labkit's fixtures are imported by name, then requested as arguments)

import contextlib
import os
import signal
import socket
import subprocess
import threading
import time

import numpy as np
import pytest

import ludovec_lab as lab
from ludovec_lab.plan import make_plan
from ludovec_lab.runner import run_chunk
from ludovec_lab.store import Store

from labkit import (  # noqa: F401 (fixture)
    BIN,
    CHILD_ENV,
    assert_same_results,
    cli,
    seeded_toml,
    started_run,
    write_study,
)

distributed = pytest.importorskip("distributed")
dask = pytest.importorskip("dask")

TTL = 1  # seconds: the scheduler's worker-ttl in the test of long chunks...
LONGEST_SILENCE = 5  # ...which it raises to ten heartbeats of a small cluster, 0.5 s apart

STUDIES = {
    "scattered_2x2": dict(
        kind="scattered",
        game="biased_pennies",
        dynamic=["ogda", "omwuoftrl"],
        eta=0.05,
        num_steps=500,
        num_runs=600,
        inner_radius=0.0,
        outer_radius=0.4,
        metric="var_last",
        chunk_size=100,
    ),
    "concentric_3x3": dict(
        kind="concentric",
        game="rock_paper_scissors",
        dynamic="omwuoomd",
        eta=0.1,
        num_steps=300,
        num_runs=90,
        num_slices=3,
        inner_radius=0.0,
        outer_radius=0.6,
        chunk_size=10,
    ),
}


@pytest.fixture(scope="module")
def local_cluster():
    from distributed import Client, LocalCluster

    with (
        LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
            env={"RAYON_NUM_THREADS": "1"},
        ) as cluster,
        Client(cluster) as client,
    ):
        yield client


@pytest.mark.parametrize("name", STUDIES)
def test_local_cluster_gives_the_local_result(tmp_path, local_cluster, name):
    study = lab.Study(**STUDIES[name], seed=17, workers=1)
    on_dask = lab.run(study, tmp_path / "d", executor=local_cluster, progress=False)
    assert_same_results(on_dask, lab.run(study, tmp_path / "l", progress=False))
    # Without a seed, the workers run with the one the store drew.
    drawn = lab.run(lab.Study(**STUDIES[name]), executor=local_cluster, progress=False)
    seed = drawn.attrs["study"]["seed"]
    assert_same_results(drawn, lab.run(lab.Study(**STUDIES[name], seed=seed), progress=False))


@pytest.mark.slow
def test_a_chunk_longer_than_the_worker_ttl_keeps_its_worker(tmp_path):
    from distributed import Client, LocalCluster

    kw = dict(
        kind="scattered",
        matrix=np.random.default_rng(3).normal(size=(10, 10)),
        dynamic="ogda",
        eta=0.01,
        num_steps=2000,
        inner_radius=0.0,
        outer_radius=0.1,
    )
    # One chunk sized to outlast the ttl three times on one thread, from a local run of 200;
    # the study itself draws its seed, as most do.
    small = lab.Study(**kw, num_runs=200, chunk_size=200, seed=1)
    start = time.monotonic()
    run_chunk(small, make_plan(small)[0])
    runs = max(200, int(200 * 3 * LONGEST_SILENCE / max(time.monotonic() - start, 1e-3)))
    study = lab.Study(**kw, num_runs=runs, chunk_size=runs)
    with (
        dask.config.set({"distributed.scheduler.worker-ttl": f"{TTL}s"}),
        LocalCluster(
            n_workers=1,
            threads_per_worker=1,
            host="127.0.0.1",
            dashboard_address=None,
            env={"RAYON_NUM_THREADS": "1"},
        ) as cluster,
        Client(cluster) as client,
    ):
        pid = next(iter(client.run(os.getpid).values()))
        df = lab.run(study, tmp_path / "d", executor=client, progress=False)
        assert next(iter(client.run(os.getpid).values())) == pid  # never restarted
    assert len(df) == runs


def _busy_seconds() -> float:
    """CPU seconds this process spends over one second of wall time."""
    import resource

    def used() -> float:
        r = resource.getrusage(resource.RUSAGE_SELF)
        return r.ru_utime + r.ru_stime

    before = used()
    time.sleep(1)
    return used() - before


@pytest.mark.slow
def test_a_cancelled_task_stops_its_chunk(local_cluster):
    from ludovec_lab.executors import _dask_task

    study = lab.Study(
        kind="scattered",
        game="rock_paper_scissors",
        eta=1e-4,
        num_steps=100_000_000,
        num_runs=100,
        inner_radius=0.0,
        outer_radius=0.1,
        seed=3,
        chunk_size=100,
    )  # minutes of work
    future = local_cluster.submit(_dask_task, study, make_plan(study)[0], pure=False)
    deadline = time.monotonic() + 60
    while max(local_cluster.run(_busy_seconds).values()) < 0.5:
        assert time.monotonic() < deadline, "the chunk never started"
    future.cancel()
    time.sleep(2)  # the grace a dropped task gets, and more
    assert max(local_cluster.run(_busy_seconds).values()) < 0.5


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def _cluster(*workers: dict[str, str]):
    """A ``dask scheduler`` and one ``dask worker`` per dict of extra environment (options for
    the worker under ``"args"``), as a user would start them."""
    port = _free_port()
    address = f"tcp://127.0.0.1:{port}"
    procs = [
        subprocess.Popen(
            [
                str(BIN / "dask"),
                "scheduler",
                "--host",
                "127.0.0.1",
                "--port",
                str(port),
                "--no-dashboard",
            ],
            env=CHILD_ENV,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
    ]
    procs += [_worker(address, f"w{i}", extra) for i, extra in enumerate(workers)]
    try:
        client = lab.connect(address, timeout=60)
        if workers:
            client.wait_for_workers(len(workers), timeout=120)
        yield address, client, procs
        client.close()
    finally:
        _stop(procs)


def _worker(address: str, name: str, extra: dict[str, str]) -> subprocess.Popen:
    extra = dict(extra)
    args = extra.pop("args", "").split()
    return subprocess.Popen(
        [
            str(BIN / "dask"),
            "worker",
            address,
            "--nworkers",
            "1",
            "--nthreads",
            "1",
            "--host",
            "127.0.0.1",
            "--no-dashboard",
            "--name",
            name,
            *args,
        ],
        env={**CHILD_ENV, **extra},
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )


def _stop(procs: list[subprocess.Popen]) -> None:
    for p in procs:
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
    for p in procs:
        try:
            p.wait(timeout=20)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


@pytest.fixture(scope="module")
def real_cluster():
    """A scheduler and two workers."""
    with _cluster({}, {}) as (address, client, _):
        yield address, client


def test_cli_runs_on_a_real_scheduler(tmp_path, real_cluster, seeded_toml):
    address, _ = real_cluster
    res = cli("run", seeded_toml, "--store", tmp_path / "d", "--dask", address, "--no-progress")
    assert res.returncode == 0, res.stderr
    assert_same_results(
        lab.load(tmp_path / "d"), lab.run(seeded_toml, tmp_path / "l", progress=False)
    )


def test_a_killed_worker_costs_nothing(tmp_path, real_cluster):
    address, client = real_cluster
    study = lab.Study(
        kind="scattered",
        game="biased_pennies",
        dynamic="omwuoomd",
        eta=0.02,
        num_steps=3000,
        num_runs=8000,
        inner_radius=0.0,
        outer_radius=0.3,
        seed=5,
        chunk_size=200,
        metric="max_last",
    )
    result = {}
    runner = threading.Thread(
        target=lambda: result.update(
            df=lab.run(study, tmp_path / "d", executor=address, progress=False)
        )
    )
    runner.start()
    store = tmp_path / "d"
    deadline = time.monotonic() + 120
    while len(list((store / "chunks").glob("chunk-*.parquet"))) < 2:
        assert time.monotonic() < deadline and runner.is_alive()
        time.sleep(0.02)
    pids = client.run(os.getpid)
    os.kill(next(iter(pids.values())), signal.SIGKILL)
    killed_at = len(Store.read(store).committed())
    runner.join(timeout=300)
    assert not runner.is_alive()
    assert killed_at < 40  # the worker died mid-study
    df = result["df"]
    files = sorted(p.name for p in (store / "chunks").iterdir())
    assert files == [f"chunk-{i:06d}.parquet" for i in range(40)]
    assert (df.groupby("chunk").size() == 200).all() and df["index"].is_unique
    assert_same_results(df, lab.run(study, tmp_path / "l", progress=False))


LONG = """
kind = "scattered"
game = "biased_pennies"
dynamic = "omwuoomd"
eta = 0.02
num_steps = 3000
num_runs = 8000
inner_radius = 0.0
outer_radius = 0.3
seed = 5
chunk_size = 200
metric = "max_last"
"""


def _started(tmp_path, text: str, address: str) -> subprocess.Popen[str]:
    """The command running the study ``text`` on ``address``, back once a chunk is committed."""
    study = write_study(tmp_path / "study.toml", text)
    return started_run(study, tmp_path / "s", "--dask", address)


def _one_line(proc: subprocess.Popen) -> tuple[int | None, str]:
    _, err = proc.communicate(timeout=120)
    lines = err.strip().splitlines()
    assert len(lines) == 1, err
    return proc.returncode, lines[0]


@pytest.mark.slow
@pytest.mark.parametrize(
    ("sig", "code", "words"),
    [(signal.SIGINT, 130, "interrupted"), (signal.SIGTERM, 143, "terminated")],
)
def test_signals_stop_a_dask_run_in_one_line(tmp_path, real_cluster, sig, code, words):
    proc = _started(tmp_path, LONG, real_cluster[0])
    proc.send_signal(sig)
    assert _one_line(proc) == (
        code,
        f"ludovec-lab: {words}; finished chunks are committed, run again to resume",
    )
    assert 0 < lab.load(tmp_path / "s").attrs["chunks"] < 40


def _fake_build(tmp_path) -> str:
    """A directory that makes ``importlib.metadata`` report ludovec 9.9.9 when first on the
    path."""
    info = tmp_path / "fake" / "ludovec-9.9.9.dist-info"
    info.mkdir(parents=True)
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: ludovec\nVersion: 9.9.9\n")
    return f"{info.parent}{os.pathsep}{CHILD_ENV.get('PYTHONPATH', '')}"


def _broken_lab(tmp_path) -> str:
    """A directory whose ``ludovec_lab`` fails to import, first on the path."""
    pkg = tmp_path / "broken" / "ludovec_lab"
    pkg.mkdir(parents=True)
    (pkg / "__init__.py").write_text("raise ImportError('a broken installation')\n")
    return str(pkg.parent)


@pytest.mark.slow
@pytest.mark.parametrize(
    ("worker", "joins_later", "words"),
    [
        (_fake_build, False, "runs ludovec 9.9.9, this process "),
        (_fake_build, True, "runs ludovec 9.9.9, this process "),
        (_broken_lab, False, "cannot import the study layer (ImportError: a broken installation)"),
    ],
    ids=["version", "version-joining-later", "import"],
)
def test_a_worker_of_another_build_stores_nothing(tmp_path, worker, joins_later, words):
    env = {"PYTHONPATH": worker(tmp_path)}
    with _cluster(*([] if joins_later else [env])) as (address, _, procs):
        study = lab.Study(
            kind="scattered",
            game="biased_pennies",
            dynamic="ogda",
            eta=0.05,
            num_steps=500,
            num_runs=400,
            inner_radius=0.0,
            outer_radius=0.4,
            seed=3,
            chunk_size=100,
        )
        failed = {}

        def go():
            try:
                lab.run(study, tmp_path / "s", executor=address, progress=False)
            except lab.ExecutorError as exc:
                failed["error"] = str(exc)

        runner = threading.Thread(target=go)
        runner.start()
        if joins_later:  # after the run checked the workers it found: none
            time.sleep(2)
            procs.append(_worker(address, "late", env))
        runner.join(timeout=180)
        assert not runner.is_alive()
    assert words in failed.get("error", ""), failed
    assert not list((tmp_path / "s" / "chunks").glob("*.parquet"))


@pytest.mark.slow
@pytest.mark.parametrize("loss", ["scheduler", "workers"])
def test_a_lost_cluster_ends_in_one_line(tmp_path, loss):
    if loss == "scheduler":
        with _cluster({}) as (address, _, procs):
            proc = _started(tmp_path, LONG, address)
            procs[0].kill()
            code, line = _one_line(proc)
        words = "lost the connection to the Dask scheduler"
    else:  # each worker running the chunk exceeds its memory and is restarted, four times
        np.save(tmp_path / "game.npy", np.random.default_rng(1).random((3, 3)))
        with _cluster({"args": "--memory-limit 400MB"}) as (address, _, _):
            # Every step kept: 10^7 points of 8 numbers, 640 MB of trajectory.
            res = cli(
                "run",
                write_study(
                    tmp_path / "oom.toml",
                    """
                kind = "single"
                matrix = "game.npy"
                dynamic = "ogda"
                eta = 1e-6
                num_steps = 10000000
                decimation = 1
                """,
                ),
                "--store",
                tmp_path / "s",
                "--dask",
                address,
                "--no-progress",
                timeout=300,
            )
        code, line = res.returncode, res.stderr.strip()
        words = "the Dask workers running it died 4 times"
    assert code == 2 and "\n" not in line and words in line, line
    assert "finished chunks are committed (" in line
