"""Studies on real Dask clusters on the loopback address: the same results as the local
executor, the caller alone writing the store, a lost worker costing nothing."""

import os
import signal
import socket
import subprocess
import threading
import time

import numpy as np
import pytest

import ludovec_lab as lab
from ludovec_lab.store import Store

from labkit import BIN, CHILD_ENV, assert_same_results, cli, seeded_toml  # noqa: F401 (fixture)

distributed = pytest.importorskip("distributed")

STUDIES = {
    "scattered_2x2": dict(kind="scattered", game="biased_pennies", dynamic=["ogda", "omwuoftrl"],
                          eta=0.05, num_steps=500, num_runs=600, inner_radius=0.0,
                          outer_radius=0.4, metric="var_last", chunk_size=100),
    "concentric_3x3": dict(kind="concentric", game="rock_paper_scissors", dynamic="omwuoomd",
                           eta=0.1, num_steps=300, num_runs=90, num_slices=3, inner_radius=0.0,
                           outer_radius=0.6, chunk_size=10),
}


@pytest.fixture(scope="module")
def local_cluster():
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, env={"RAYON_NUM_THREADS": "1"}) as cluster, \
            Client(cluster) as client:
        yield client


@pytest.mark.parametrize("name", STUDIES)
def test_local_cluster_gives_the_local_result(tmp_path, local_cluster, name):
    study = lab.Study(**STUDIES[name], seed=17, workers=1)
    on_dask = lab.run(study, tmp_path / "d", executor=local_cluster, progress=False)
    assert_same_results(on_dask, lab.run(study, tmp_path / "l", progress=False))
    # Unseeded chunks run the module's own exploration on the workers.
    native = lab.run(lab.Study(**STUDIES[name]), executor=local_cluster, progress=False)
    assert len(native) == len(on_dask) and np.isfinite(native.metric).all()


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="module")
def real_cluster():
    """A ``dask scheduler`` and two ``dask worker`` processes, as a user would start them."""
    port = _free_port()
    address = f"tcp://127.0.0.1:{port}"
    procs = [subprocess.Popen([str(BIN / "dask"), "scheduler", "--host", "127.0.0.1", "--port",
                               str(port), "--no-dashboard"], env=CHILD_ENV,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    for i in range(2):
        procs.append(subprocess.Popen(
            [str(BIN / "dask"), "worker", address, "--nworkers", "1", "--nthreads", "1",
             "--host", "127.0.0.1", "--no-dashboard", "--name", f"w{i}"],
            env=CHILD_ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    try:
        client = lab.connect(address, timeout=60)
        client.wait_for_workers(2, timeout=120)
        yield address, client
        client.close()
    finally:
        for p in procs:
            p.send_signal(signal.SIGTERM)
        for p in procs:
            try:
                p.wait(timeout=20)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


def test_cli_runs_on_a_real_scheduler(tmp_path, real_cluster, seeded_toml):
    address, _ = real_cluster
    res = cli("run", seeded_toml, "--store", tmp_path / "d", "--dask", address, "--no-progress")
    assert res.returncode == 0, res.stderr
    assert_same_results(lab.load(tmp_path / "d"), lab.run(seeded_toml, tmp_path / "l", progress=False))


def test_a_killed_worker_costs_nothing(tmp_path, real_cluster):
    address, client = real_cluster
    study = lab.Study(kind="scattered", game="biased_pennies", dynamic="omwuoomd", eta=0.02,
                      num_steps=3000, num_runs=8000, inner_radius=0.0, outer_radius=0.3,
                      seed=5, chunk_size=200, metric="max_last")
    result = {}
    runner = threading.Thread(target=lambda: result.update(
        df=lab.run(study, tmp_path / "d", executor=address, progress=False)))
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
