"""The store: committed chunks survive Ctrl-C and kills, resuming gives the uninterrupted
result, and a store is never mixed with another study or read half-written."""

import os
import re
import signal
import subprocess
import time

import psutil
import pytest

import ludovec_lab as lab
from ludovec_lab.store import Store

from labkit import BIN, CHILD_ENV, assert_same_results, write_study

LONG = """
    kind = "scattered"
    game = "{game}"
    dynamic = ["ogda", "omwuoomd"]
    eta = 0.02
    num_steps = 3000
    num_runs = 6000
    inner_radius = 0.0
    outer_radius = 0.3
    metric = "max_last"
    seed = 99
    chunk_size = 200
    """


def _files(store):
    return sorted(p.relative_to(store) for p in store.rglob("*"))


def _start_and_stop(tmp_path, sig, game):
    path = write_study(tmp_path / "long.toml", LONG.format(game=game))
    store = tmp_path / "store"
    proc = subprocess.Popen([str(BIN / "ludovec-lab"), "run", str(path), "--store", str(store),
                             "--no-progress"], env=CHILD_ENV, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    while len(list((store / "chunks").glob("chunk-*.parquet"))) < 3:
        assert proc.poll() is None, proc.communicate()
        assert time.monotonic() < deadline
        time.sleep(0.02)
    children = psutil.Process(proc.pid).children(recursive=True)
    proc.send_signal(sig)
    out, err = proc.communicate(timeout=60)
    # Worker processes (games above 2 x 2) end with their parent.
    gone, alive = psutil.wait_procs(children, timeout=30)
    assert not alive
    return path, store, proc.returncode, err


@pytest.mark.parametrize("game, sig, code", [
    ("biased_pennies", signal.SIGINT, 130), ("biased_pennies", signal.SIGKILL, -9),
    ("rock_paper_scissors", signal.SIGINT, 130)])
def test_resume_after_interruption_gives_the_uninterrupted_result(tmp_path, game, sig, code):
    path, store, rc, err = _start_and_stop(tmp_path, sig, game)
    assert rc == code, err
    if sig == signal.SIGINT:
        assert err.strip().splitlines() == [
            "ludovec-lab: interrupted; finished chunks are committed, run again to resume"]
    done = Store.read(store).committed()
    assert 3 <= len(done) < 60
    # A writer killed mid-chunk leaves at most a temporary file; readers never open one.
    (store / "chunks" / ".tmp-chunk-000059.parquet-1-x").write_bytes(b"PAR1 half a chunk")
    partial = lab.load(store)
    assert sorted(set(partial.chunk)) == sorted(done)
    resumed = lab.run(path, store, progress=False)
    assert len(resumed) == 6000 * 2
    assert_same_results(resumed, lab.run(path, tmp_path / "whole", progress=False))


def test_a_store_of_another_study_is_refused_untouched(tmp_path):
    kw = dict(kind="scattered", game="biased_pennies", num_runs=40, num_steps=50,
              inner_radius=0.0, outer_radius=0.1, seed=1)
    lab.run(lab.Study(**kw), tmp_path / "s", progress=False)
    before = [(p, p.stat().st_mtime_ns) for p in (tmp_path / "s").rglob("*")]
    with pytest.raises(lab.StoreError) as err:
        lab.run(lab.Study(**{**kw, "seed": 2, "num_runs": 50}), tmp_path / "s", progress=False)
    assert "differing fields: num_runs (store: 40, given: 50); seed (store: 1, given: 2)" in str(err.value)
    assert [(p, p.stat().st_mtime_ns) for p in (tmp_path / "s").rglob("*")] == before
    # Same study again: nothing to do, no data rewritten.
    assert len(lab.run(lab.Study(**kw), tmp_path / "s", progress=False)) == 40
    assert [(p, p.stat().st_mtime_ns) for p in (tmp_path / "s").rglob("*")
            if p.name != ".writer.lock"] == [b for b in before if b[0].name != ".writer.lock"]


@pytest.mark.parametrize("setup, words", [
    (lambda d: (d / "notes.txt").write_text("mine"), "not a study store (a non-empty directory"),
    (lambda d: (d / "manifest.json").write_text("{"), "unreadable manifest"),
    (lambda d: (d / "manifest.json").write_text('{"format": "other"}'), "manifest of another format"),
])
def test_a_directory_that_is_not_a_store(tmp_path, setup, words):
    d = tmp_path / "d"
    d.mkdir()
    setup(d)
    before = _files(d)
    study = lab.Study(kind="single", game="oneill", num_steps=10)
    with pytest.raises(lab.StoreError, match=re.escape(words)):
        lab.run(study, d, progress=False)
    with pytest.raises(lab.StoreError, match="not a study store"):
        lab.load(d)
    assert _files(d) == before


def test_loaded_tables_carry_their_provenance(tmp_path):
    study = lab.Study(kind="single", game="biased_pennies", dynamic=["ogda", "omwuoftrl"],
                      eta=0.1, num_steps=5000, tolerances=[1e-3, 1e-8])
    df = lab.run(study, tmp_path / "s", progress=False)
    a = df.attrs
    assert a["study"]["kind"] == "single" and a["study"]["dynamic"] == ["ogda", "omwuoftrl"]
    assert a["fingerprint"] == study.fingerprint and a["chunks"] == a["total_chunks"] == 2
    assert {"python", "ludovec", "numpy", "pandas", "pyarrow"} <= set(a["versions"])
    assert a["created"] <= a["updated"] and "machine" in a["platform"]
    assert list(df.columns) == ["run", "dynamic", "eta", "steps", "converged", "final_gap",
                                "steps_to_0.001", "steps_to_1e-08", "distance", "value"]
    assert str(df["steps_to_1e-08"].dtype) == "Int64"
    h = lab.load_histories(tmp_path / "s")
    assert list(h.columns) == ["run", "step", "gap", "dynamic", "eta"]
    assert set(h.run) == {0, 1}
    # The store rebuilds the study it ran.
    assert Store.read(tmp_path / "s").study().fingerprint == study.fingerprint


def test_a_second_writer_is_refused_while_the_first_runs(tmp_path):
    study = lab.Study(kind="single", game="oneill", num_steps=10)
    st = Store.open(tmp_path / "s", study)
    with st.writing():
        with pytest.raises(lab.StoreError, match=f"another run is writing this store \\(pid {os.getpid()} on "):
            lab.run(study, tmp_path / "s", progress=False)
    assert len(lab.run(study, tmp_path / "s", progress=False)) == 1
