"""The store: committed chunks survive Ctrl-C and kills, resuming gives the uninterrupted
result, and a store is never mixed with another study or read half-written."""

import fcntl
import json
import os
import re
import shutil
import signal
import subprocess
import threading
import time
import warnings
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
import psutil
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import ludovec_lab as lab
from ludovec_lab import cli, runner
from ludovec_lab.plan import make_plan
from ludovec_lab.store import RECORD_KEY, Store, module_version

from labkit import assert_same_results, started_run, write_study

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


def _files(store: Path) -> list[Path]:
    return sorted(p.relative_to(store) for p in store.rglob("*"))


def _start_and_stop(tmp_path: Path, sig: int, game: str) -> tuple[Path, Path, int, str]:
    path = write_study(tmp_path / "long.toml", LONG.format(game=game))
    store = tmp_path / "store"
    proc = started_run(path, store, chunks=3)
    children = psutil.Process(proc.pid).children(recursive=True)
    proc.send_signal(sig)
    _, err = proc.communicate(timeout=60)
    # Worker processes (games above 2 x 2) end with their parent.
    _, alive = psutil.wait_procs(children, timeout=30)
    assert not alive
    return path, store, proc.returncode, err


@pytest.mark.slow
@pytest.mark.parametrize(
    "game, sig, code",
    [
        ("biased_pennies", signal.SIGINT, 130),
        ("biased_pennies", signal.SIGKILL, -9),
        ("rock_paper_scissors", signal.SIGINT, 130),
    ],
)
def test_resume_after_interruption_gives_the_uninterrupted_result(
    tmp_path: Path, game: str, sig: int, code: int
) -> None:
    path, store, rc, err = _start_and_stop(tmp_path, sig, game)
    assert rc == code, err
    if sig == signal.SIGINT:
        assert err.strip().splitlines() == [
            "ludovec-lab: interrupted; finished chunks are committed, run again to resume"
        ]
    done = Store.read(store).committed()
    assert 3 <= len(done) < 60
    # A writer killed mid-chunk leaves at most a temporary file; readers never open one.
    (store / "chunks" / ".tmp-chunk-000059.parquet-1-x").write_bytes(b"PAR1 half a chunk")
    partial = lab.load(store)
    assert sorted(set(partial.chunk)) == sorted(done)
    resumed = lab.run(path, store, progress=False)
    assert len(resumed) == 6000 * 2
    assert not list(store.rglob(".tmp-*"))  # the next writer sweeps what a killed one left
    assert_same_results(resumed, lab.run(path, tmp_path / "whole", progress=False))


@pytest.mark.slow
def test_ctrl_c_stops_a_chunk_at_once_keeping_the_finished_ones(tmp_path: Path) -> None:
    # The first step size converges every run within a few hundred steps; the second never,
    # so its chunks take minutes: the interrupt lands inside one.
    path = write_study(
        tmp_path / "long.toml",
        """
        kind = "scattered"
        game = "matching_pennies"
        dynamic = "ogda"
        eta = [0.2, 1e-5]
        num_steps = 100000000
        num_runs = 2000
        inner_radius = 0.0
        outer_radius = 0.1
        seed = 4
        chunk_size = 500
        """,
    )
    proc = started_run(path, tmp_path / "s", chunks=4)
    time.sleep(0.5)  # inside the first long chunk
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=60)
    assert time.monotonic() - sent < 10  # a hang bound; the chunk alone would take minutes
    assert proc.returncode == 130, err
    df = lab.load(tmp_path / "s")
    assert df.attrs["chunks"] == 4 and (df.eta == 0.2).all() and df.converged.all()


def test_a_store_of_another_study_is_refused_untouched(tmp_path: Path) -> None:
    kw: dict[str, Any] = dict(
        kind="scattered",
        game="biased_pennies",
        num_runs=40,
        num_steps=50,
        inner_radius=0.0,
        outer_radius=0.1,
        seed=1,
    )
    lab.run(lab.Study(**kw), tmp_path / "s", progress=False)
    before = [(p, p.stat().st_mtime_ns) for p in (tmp_path / "s").rglob("*")]
    with pytest.raises(lab.StoreError) as err:
        lab.run(lab.Study(**{**kw, "seed": 2, "num_runs": 50}), tmp_path / "s", progress=False)
    assert "differing fields: num_runs (store: 40, given: 50); seed (store: 1, given: 2)" in str(
        err.value
    )
    assert [(p, p.stat().st_mtime_ns) for p in (tmp_path / "s").rglob("*")] == before
    # Same study again: nothing to do, no data rewritten.
    assert len(lab.run(lab.Study(**kw), tmp_path / "s", progress=False)) == 40
    assert [
        (p, p.stat().st_mtime_ns) for p in (tmp_path / "s").rglob("*") if p.name != ".writer.lock"
    ] == [b for b in before if b[0].name != ".writer.lock"]


@pytest.mark.parametrize(
    "setup, words",
    [
        (
            lambda d: (d / "notes.txt").write_text("mine"),
            "not a study store (a non-empty directory",
        ),
        (lambda d: (d / "manifest.json").write_text("{"), "unreadable manifest"),
        (
            lambda d: (d / "manifest.json").write_text('{"format": "other"}'),
            "manifest of another format",
        ),
    ],
)
def test_a_directory_that_is_not_a_store(
    tmp_path: Path, setup: Callable[[Path], object], words: str
) -> None:
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


def test_loaded_tables_carry_their_provenance(tmp_path: Path) -> None:
    study = lab.Study(
        kind="single",
        game="biased_pennies",
        dynamic=["ogda", "omwuoftrl"],
        eta=0.1,
        num_steps=5000,
        tolerances=[1e-3, 1e-8],
    )
    df = lab.run(study, tmp_path / "s", progress=False)
    a = df.attrs
    assert a["study"]["kind"] == "single" and a["study"]["dynamic"] == ["ogda", "omwuoftrl"]
    assert a["fingerprint"] == study.fingerprint and a["chunks"] == a["total_chunks"] == 2
    assert {"python", "ludovec", "numpy", "pandas", "pyarrow"} <= set(a["versions"])
    assert a["created"] <= a["updated"] and "machine" in a["platform"]
    assert list(df.columns) == [
        "study",
        "game",
        "run",
        "dynamic",
        "eta",
        "steps",
        "converged",
        "final_gap",
        "steps_to_0.001",
        "steps_to_1e-08",
        "distance",
        "value",
    ]
    assert str(df["steps_to_1e-08"].dtype) == "Int64"
    h = lab.load_histories(tmp_path / "s")
    assert list(h.columns) == ["run", "step", "gap", "x_0", "x_1", "y_0", "y_1", "dynamic", "eta"]
    assert set(h.run) == {0, 1}
    # The store rebuilds the study it ran.
    assert Store.read(tmp_path / "s").study().fingerprint == study.fingerprint


SMALL: dict[str, Any] = dict(
    kind="scattered",
    game="biased_pennies",
    dynamic="ogda",
    eta=0.05,
    num_steps=50,
    num_runs=600,
    inner_radius=0.0,
    outer_radius=0.3,
    seed=3,
    chunk_size=100,
)  # 6 chunks of 100 runs


def _chunk(store: Path, i: int) -> Path:
    return store / "chunks" / f"chunk-{i:06d}.parquet"


def _restamp(path: Path, drop: bool = False, **record: str) -> None:
    """Rewrites a chunk file with its record changed, or without one."""
    table = pq.read_table(path)
    rec = json.loads((table.schema.metadata or {}).get(RECORD_KEY, "{}")) | record
    pq.write_table(
        table.replace_schema_metadata(None if drop else {RECORD_KEY: json.dumps(rec)}), path
    )


# What is done to a store of 6 chunks (and another study's): the file named, why, chunks kept.
DAMAGE: dict[str, tuple[Callable[[Path, Path], object], str, str, int]] = {
    "foreign": (
        lambda s, other: shutil.copy(_chunk(other, 2), _chunk(s, 2)),
        "chunk-000002.parquet",
        "belongs to another study",
        5,
    ),
    "beyond the plan": (
        lambda s, _: shutil.copy(_chunk(s, 5), _chunk(s, 6)),
        "chunk-000006.parquet",
        "is not in the plan",
        6,
    ),
    "seven digits": (
        lambda s, _: shutil.copy(_chunk(s, 3), s / "chunks/chunk-0000003.parquet"),
        "chunk-0000003.parquet",
        "is not named as a chunk",
        6,
    ),
    "truncated": (
        lambda s, _: os.truncate(_chunk(s, 1), _chunk(s, 1).stat().st_size // 2),
        "chunk-000001.parquet",
        "is unreadable",
        5,
    ),
    "empty": (
        lambda s, _: _chunk(s, 4).write_bytes(b""),
        "chunk-000004.parquet",
        "is unreadable",
        5,
    ),
    "other version": (
        lambda s, _: _restamp(_chunk(s, 0), computed_by="0.0.1"),
        "chunk-000000.parquet",
        "was computed by ludovec 0.0.1",
        5,
    ),
}


@pytest.mark.parametrize("case", DAMAGE)
def test_a_damaged_or_foreign_chunk_is_named_never_served_and_recomputed(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], case: str
) -> None:
    damage, name, why, kept = DAMAGE[case]
    study = lab.Study(**SMALL)
    whole = lab.run(study, tmp_path / "s", progress=False)
    lab.run(lab.Study(**{**SMALL, "seed": 4}), tmp_path / "other", progress=False)
    damage(tmp_path / "s", tmp_path / "other")
    with pytest.warns(RuntimeWarning, match=f"chunks/{re.escape(name)} {why}.*; skipped"):
        df = lab.load(tmp_path / "s")
    assert df.attrs["chunks"] == kept == df.chunk.nunique()
    assert (df.groupby("chunk").size() == 100).all() and df.chunk.max() <= 5
    assert cli.main(["status", str(tmp_path / "s")]) == 0
    out = capsys.readouterr().out
    assert f"chunks:      {kept} of 6 committed" in out and f"chunks/{name} {why}" in out
    with pytest.warns(RuntimeWarning, match=f"moved to rejected/chunks/{re.escape(name)}"):
        again = lab.run(study, tmp_path / "s", progress=False)
    assert_same_results(again, whole)
    assert again.attrs["chunks"] == 6 and (tmp_path / "s" / "rejected" / "chunks" / name).exists()


OLD_COLUMNS = ["chunk", "index", "slice", "inner", "outer", "norm", "metric", "converged"]


@pytest.mark.parametrize("version", [1, 2])
def test_older_formats_load_with_metric_below_and_are_not_resumed(
    tmp_path: Path, version: int
) -> None:
    study, s = lab.Study(**SMALL), tmp_path / "s"
    whole = lab.run(study, s, progress=False)
    # What the older formats wrote: converged meant the metric below the threshold, no steps;
    # the first format had no chunk record.
    manifest = json.loads((s / "manifest.json").read_text())
    (s / "manifest.json").write_text(json.dumps({**manifest, "format_version": version}))
    for i in range(6):
        record = pq.read_table(_chunk(s, i)).schema.metadata
        rows = whole[whole.chunk == i].rename(
            columns={"converged": "_", "metric_below": "converged"}
        )
        old = pa.Table.from_pandas(rows[[*OLD_COLUMNS, "dynamic", "eta"]], preserve_index=False)
        pq.write_table(old.replace_schema_metadata(None if version == 1 else record), _chunk(s, i))
    _chunk(s, 5).unlink()
    df = lab.load(s)
    assert "steps" not in df and "converged" not in df and df.attrs["chunks"] == 5
    np.testing.assert_array_equal(df.metric_below, whole.metric_below[:500])
    assert (df.study == study.fingerprint[:12]).all() and (df.game == "biased_pennies").all()
    with pytest.raises(
        lab.StoreError,
        match=f"a store of format {version}, written by ludovec {re.escape(module_version())}, "
        "is read but not resumed .*; run the study into a new store",
    ):
        lab.run(study, s, progress=False)
    assert not _chunk(s, 5).exists()


def test_a_drawn_seed_is_recorded_and_reused_on_resume(tmp_path: Path) -> None:
    study, s = lab.Study(**{**SMALL, "seed": None}), tmp_path / "s"
    whole = lab.run(study, s, progress=False)
    seed = whole.attrs["study"]["seed"]
    assert whole.attrs["study"]["seed_drawn"] and 0 <= seed < 2**64
    _chunk(s, 2).unlink()
    _chunk(s, 4).unlink()
    resumed = lab.run(study, s, progress=False)
    assert_same_results(resumed, whole)
    # The drawn seed names the same runs as a study that gives it; another store draws anew.
    assert_same_results(lab.run(lab.Study(**{**SMALL, "seed": seed}), progress=False), whole)
    assert lab.run(study, progress=False).attrs["study"]["seed"] != seed


def test_a_table_loaded_during_a_run_counts_exactly_the_chunks_it_holds(tmp_path: Path) -> None:
    study = lab.Study(**{**SMALL, "num_runs": 4000, "chunk_size": 25})
    plan = make_plan(study)
    records = [runner.run_chunk(study, c) for c in plan]
    st = Store.open(tmp_path / "s", study)

    def write() -> None:
        for c, r in zip(plan, records, strict=True):
            st.write_chunk(c.id, r)

    writer = threading.Thread(target=write)
    writer.start()
    loads = 0
    while writer.is_alive() or loads == 0:
        df = lab.load(tmp_path / "s")
        assert df.attrs["chunks"] == df.chunk.nunique() == len(df) // 25
        loads += 1
    writer.join()
    assert loads > 1 and lab.load(st).attrs["chunks"] == len(plan)


@pytest.mark.parametrize(
    "existing, leftovers",
    [
        (False, [".writer.lock"]),
        (False, [".writer.lock", "matrix.npy", "chunks/", ".tmp-manifest.json-7-ab"]),
        (False, ["matrix.npy", "chunks/.tmp-chunk-000000.parquet-7-ab", ".tmp-matrix.npy-7-ab"]),
        (True, ["chunks/.tmp-chunk-000003.parquet-7-ab", ".tmp-manifest.json-7-ab"]),
    ],
)
def test_what_a_killed_writer_leaves_is_taken_over_and_swept(
    tmp_path: Path, existing: bool, leftovers: list[str]
) -> None:
    study, s = lab.Study(**SMALL), tmp_path / "s"
    if existing:
        lab.run(study, s, progress=False)
    for name in leftovers:
        (s / name).parent.mkdir(parents=True, exist_ok=True)
        if name.endswith("/"):
            (s / name).mkdir()
        else:
            (s / name).write_bytes(b"half")
    assert len(lab.run(study, s, progress=False)) == 600
    assert not list(s.rglob(".tmp-*"))


@pytest.mark.parametrize("existing", [False, True])
def test_a_second_writer_is_refused_before_it_touches_the_store(
    tmp_path: Path, existing: bool
) -> None:
    s = tmp_path / "s"
    if existing:
        lab.run(lab.Study(**SMALL), s, progress=False)
        (s / "chunks" / "chunk-000002.parquet").unlink()
    s.mkdir(exist_ok=True)
    study = lab.Study(**{**SMALL, "seed": 3 if existing else 5})
    fd = os.open(s / ".writer.lock", os.O_RDWR | os.O_CREAT | os.O_TRUNC)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        os.write(fd, b"pid 1 on elsewhere")
        before = [(p, p.stat().st_mtime_ns) for p in s.rglob("*")]
        with pytest.raises(lab.StoreError, match=r"writing this store \(pid 1 on elsewhere\)"):
            lab.run(study, s, progress=False)
        assert [(p, p.stat().st_mtime_ns) for p in s.rglob("*")] == before
    finally:
        os.close(fd)
    assert len(lab.run(study, s, progress=False)) == 600


@pytest.mark.parametrize("complete", [False, True])
def test_a_store_of_another_module_version_is_resumed_only_by_that_version(
    tmp_path: Path, complete: bool
) -> None:
    study, s, mine = lab.Study(**SMALL), tmp_path / "s", re.escape(module_version())
    lab.run(study, s, progress=False)
    manifest = json.loads((s / "manifest.json").read_text())
    manifest["versions"]["ludovec"] = "0.0.1"
    (s / "manifest.json").write_text(json.dumps(manifest))
    for i in range(6):
        _restamp(_chunk(s, i), computed_by="0.0.1")
    if complete:  # nothing to compute: the table is served as it is
        assert lab.run(study, s, progress=False).attrs["chunks"] == 6
        records = runner.run_chunk(study, make_plan(study)[0])
        with (
            Store.writer(s, study) as st,
            pytest.raises(
                lab.StoreError,
                match=f"computed by ludovec {mine}, the store by ludovec 0.0.1; "
                "compute it with ludovec 0.0.1",
            ),
        ):
            st.write_chunk(0, records)
        return
    _chunk(s, 3).unlink()
    with pytest.raises(
        lab.StoreError,
        match=f"written by ludovec 0.0.1, this is ludovec {mine}; resume it with ludovec 0.0.1",
    ):
        lab.run(study, s, progress=False)
    assert lab.load(s).attrs["chunks"] == 5


Mount = Callable[..., None]


@pytest.fixture
def mount() -> Iterator[Mount]:
    """Mounts for real (root in a sandbox that allows it), unmounted after the test."""
    # The system's tools, also where PATH was cut down to the test's own environment.
    search = os.pathsep.join([os.environ.get("PATH", ""), "/usr/bin", "/bin", "/usr/sbin", "/sbin"])
    tools = {name: shutil.which(name, path=search) for name in ("mount", "umount")}
    if None in tools.values():
        pytest.skip("no mount or umount command here")
    mounted: list[Path] = []

    def do(*args: str | Path, target: Path) -> None:
        res = subprocess.run(
            [str(tools["mount"]), *map(str, args), str(target)], capture_output=True, text=True
        )
        if res.returncode:
            pytest.skip(f"cannot mount here ({res.stderr.strip()}); needs root and mount rights")
        if target not in mounted:
            mounted.append(target)

    yield do
    for target in reversed(mounted):
        subprocess.run([str(tools["umount"]), "-l", str(target)], check=True)


@pytest.mark.parametrize("complete", [True, False])
def test_a_read_only_store_is_read_and_a_complete_one_runs(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], mount: Mount, complete: bool
) -> None:
    study, ro = lab.Study(**SMALL), tmp_path / "ro"
    whole = lab.run(study, tmp_path / "s", progress=False)
    if not complete:
        _chunk(tmp_path / "s", 3).unlink()
    ro.mkdir()
    mount("--bind", tmp_path / "s", target=ro)
    mount("-o", "remount,bind,ro", target=ro)
    with pytest.raises(OSError, match="Read-only file system"):
        (ro / "probe").write_text("")  # read-only even to root
    assert len(lab.load(ro)) == 100 * (6 if complete else 5)
    assert cli.main(["status", str(ro)]) == 0
    assert "committed" in capsys.readouterr().out
    if complete:
        assert_same_results(lab.run(study, ro, progress=False), whole)
        assert cli.main(["report", str(ro), "--out", str(tmp_path / "figs")]) == 0
    else:
        with pytest.raises(lab.StoreError, match="is read-only and lacks 1 of 6 chunks"):
            lab.run(study, ro, progress=False)


def test_a_full_disk_stops_the_run_keeping_finished_chunks(tmp_path: Path, mount: Mount) -> None:
    study, disk = lab.Study(**{**SMALL, "num_runs": 6000, "chunk_size": 500}), tmp_path / "disk"
    disk.mkdir()
    mount("-t", "tmpfs", "-o", "size=64k", "tmpfs", target=disk)  # room for a few chunks
    with pytest.raises(
        lab.StoreError,
        match=r"no space left on the device while committing "
        r"chunk \d+; the finished chunks are kept: free some space and run",
    ):
        lab.run(study, disk / "s", progress=False)
    assert not list(disk.rglob(".tmp-*"))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        partial = lab.load(disk / "s")
    assert 0 < partial.attrs["chunks"] < 12 and len(partial) == 500 * partial.attrs["chunks"]
    mount("-o", "remount,size=1m", target=disk)
    assert_same_results(
        lab.run(study, disk / "s", progress=False),
        lab.run(study, tmp_path / "whole", progress=False),
    )


@pytest.mark.parametrize(
    "store, words",
    [
        ("file", "exists and is not a directory"),
        ("file/s", "cannot be created: .*file is a file, not a directory"),
    ],
)
def test_a_store_path_through_a_file_is_refused_in_one_line(
    tmp_path: Path, store: str, words: str
) -> None:
    (tmp_path / "file").write_text("notes")
    with pytest.raises(lab.StoreError, match=words):
        lab.run(lab.Study(**SMALL), tmp_path / store, progress=False)


def test_a_run_whose_history_is_damaged_is_set_aside_whole(tmp_path: Path) -> None:
    s = tmp_path / "s"
    study = lab.Study(kind="single", game="oneill", dynamic=["ogda", "omwuoftrl"], num_steps=2000)
    lab.run(study, s, progress=False)
    whole = lab.load_histories(s)
    history = s / "histories" / "chunk-000001.parquet"
    os.truncate(history, history.stat().st_size // 2)
    with pytest.warns(RuntimeWarning) as read:
        assert list(lab.load_histories(s).run.unique()) == [0]
    assert any("chunk-000001.parquet goes with a history that is" in str(w.message) for w in read)
    with pytest.warns(RuntimeWarning) as rerun:
        lab.run(study, s, progress=False)
    moved = [str(w.message) for w in rerun]
    assert any("moved to rejected/histories/chunk-000001.parquet" in m for m in moved)
    assert any("moved to rejected/chunks/chunk-000001.parquet" in m for m in moved)
    assert lab.load_histories(s).equals(whole)


@pytest.mark.parametrize(
    "extra",
    [
        {"kind": "concentric", "num_slices": 2, "dynamic": ["ogda", "omwuoomd"], "eta": [0.1, 0.2]},
        {
            "kind": "scattered",
            "games": ["rock_paper_scissors", {"family": "normal", "shape": [3, 3]}],
            "starts": [{"x": [0.6, 0.3, 0.1]}, {"y": [0.2, 0.3, 0.5]}],
        },
    ],
)
def test_load_gives_the_rows_each_chunk_computed(tmp_path: Path, extra: dict[str, Any]) -> None:
    # Chunk files keep only what varies by run; the rest is rebuilt from the plan on reading.
    base = {k: v for k, v in SMALL.items() if k != "game" or "games" not in extra}
    study = lab.Study(**{**base, "seed": 5, "num_runs": 30, "chunk_size": 7, **extra})
    df = lab.run(study, tmp_path / "s", progress=False)
    chunks = [pd.DataFrame(runner.run_chunk(study, c)) for c in make_plan(study)]
    want = pd.concat(chunks, ignore_index=True)
    got = df.drop(columns=[c for c in ("study", "game") if c not in want])
    assert sorted(got.columns) == sorted(want.columns)  # the order is the store's
    for name in want.columns:
        np.testing.assert_array_equal(got[name].to_numpy(object), want[name].to_numpy(object))
        assert got[name].dtype == want[name].dtype or want[name].dtype == object, name
