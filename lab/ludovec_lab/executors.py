"""Running a study: the plan minus what the store holds, chunk by chunk, committed as each ends.

Executors:

- ``"local"`` (the default): chunks run one after the other in the calling process, the
  module's own worker pool using the cores. Seeded explorations and stacks of games larger than
  2 x 2 run one ``Experiment`` per game, and the module holds the interpreter lock for a whole
  call, so those chunks go to a pool of worker processes instead (``workers``, default: the
  processors available).
- ``"dask"``: one task per chunk on a ``distributed`` cluster (a scheduler address, or a
  ``Client`` passed in); results stream back as tasks finish and the caller alone writes the
  store. A lost worker's chunks are rerun by the scheduler; each chunk is written once.
  Layout that avoids oversubscription: one worker process per machine with one Dask thread
  (``dask worker ADDRESS --nworkers 1 --nthreads 1``), so the module's pool owns the machine's
  cores; where several worker processes share a machine, give each ``RAYON_NUM_THREADS`` =
  cores / processes. Seeded studies of games larger than 2 x 2 are the exception: their chunks
  run on one core each, so there run one single-threaded worker process per core.

Ctrl-C: the chunk in flight is abandoned, every finished chunk is already committed, and
``KeyboardInterrupt`` is raised again; running the same study on the same store resumes.
"""

from __future__ import annotations

import multiprocessing
import os
import signal
import tempfile
import warnings
from pathlib import Path
from typing import Any

from .errors import ExecutorError, StudyError
from .plan import Chunk, make_plan, total_work
from .runner import run_chunk
from .store import Store, load
from .study import Study, load_study

CONNECT_TIMEOUT = 10.0  # seconds to reach a scheduler before giving up


def run(study: "Study | str | Path", store: "str | Path | None" = None, executor: Any = None,
        progress: bool = True, workers: int | None = None, timeout: float = CONNECT_TIMEOUT):
    """Runs what the store lacks of ``study`` and returns the whole table (``load``).

    ``study`` is a Study or the path of a TOML file; ``store`` a directory (created if new,
    resumed if it holds this study); without a store the results live in a temporary one.
    ``executor``: None (the study's own setting), ``"local"``, ``"dask"`` (with the study's
    ``scheduler``), a scheduler address, or a ``distributed.Client``."""
    if not isinstance(study, Study):
        study = load_study(study)
    if store is None:
        with tempfile.TemporaryDirectory(prefix="ludovec-lab-") as tmp:
            return run(study, Path(tmp) / "store", executor, progress, workers, timeout)
    kind = _executor_kind(study, executor)
    client = None
    if kind == "dask":
        # Reached before the store is touched: an unreachable scheduler writes nothing.
        own = isinstance(executor, str) or executor is None
        address = study.scheduler if executor in (None, "dask") else executor
        client = connect(address, timeout) if own else executor
    try:
        return _run(study, store, kind, client, progress, workers)
    finally:
        if client is not None and client is not executor:
            client.close(timeout=timeout)


def _run(study: Study, store, kind: str, client, progress: bool, workers: int | None):
    plan = make_plan(study)
    with Store.writer(store, study) as st:
        return _run_plan(study, st, plan, kind, client, progress, workers)


def _run_plan(study: Study, st: Store, plan: list[Chunk], kind: str, client, progress: bool,
              workers: int | None):
    done = st.committed()
    todo = [c for c in plan if c.id not in done]
    from tqdm.auto import tqdm

    unit = "step" if study.kind == "single" else "run"
    bar = tqdm(total=total_work(study, plan), initial=total_work(study, [c for c in plan if c.id in done]),
               unit=unit, unit_scale=True, desc=f"{study.kind} study", disable=not progress,
               dynamic_ncols=True)
    try:
        if not todo:
            pass
        elif kind == "dask":
            _run_dask(study, st, todo, bar, client)
        elif _needs_processes(study) and (workers or study.workers or _cpus()) > 1:
            _run_processes(study, st, todo, bar, workers or study.workers or _cpus())
        else:
            for chunk in todo:
                st.write_chunk(chunk.id, run_chunk(study, chunk, bar.update if study.kind == "single" else None))
                if study.kind != "single":
                    bar.update(chunk.count)
    finally:
        bar.close()
    return load(st)


def _cpus() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # pragma: no cover - not on Linux
        return os.cpu_count() or 1


def _needs_processes(study: Study) -> bool:
    return ((study.kind == "stack" or (study.seeded and study.kind != "single"))
            and study.payoff.shape[-2:] != (2, 2))


def _executor_kind(study: Study, executor: Any) -> str:
    if executor is None:
        executor = study.executor
    if executor == "local":
        return "local"
    if executor == "dask":
        if study.scheduler is None:
            raise StudyError(["executor: \"dask\" needs a scheduler address (field 'scheduler', "
                              "or --dask ADDRESS), or a Client passed to run()"])
        return "dask"
    if isinstance(executor, str) and "://" in executor:
        return "dask"
    if type(executor).__name__ == "Client":
        return "dask"
    raise StudyError([f"executor: expected \"local\", \"dask\", a scheduler address or a "
                      f"distributed Client, found {executor!r}"])


# ---- worker processes ----------------------------------------------------------------------

_worker_study: Study | None = None


def _init_worker(study: Study) -> None:
    global _worker_study
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the parent decides what Ctrl-C stops
    _worker_study = study


def _process_task(chunk: Chunk) -> tuple[int, dict]:
    return chunk.id, run_chunk(_worker_study, chunk)


def _run_processes(study: Study, st: Store, todo: list[Chunk], bar, workers: int) -> None:
    # Forked, not spawned: a spawned child re-imports the caller's script, which a script
    # without a main guard cannot survive. The module gives a forked child a fresh worker pool,
    # and the parent's idle pool threads hold no lock a child could inherit.
    ctx = multiprocessing.get_context("fork")
    counts = {c.id: c.count for c in todo}
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "This process .* is multi-threaded", DeprecationWarning)
        pool = ctx.Pool(min(workers, len(todo)), initializer=_init_worker, initargs=(study,))
    try:
        for cid, records in pool.imap_unordered(_process_task, todo):
            st.write_chunk(cid, records)
            bar.update(counts[cid])
    except BaseException:
        pool.terminate()
        raise
    else:
        pool.close()
    finally:
        pool.join()


# ---- Dask ----------------------------------------------------------------------------------

def _dask_task(study: Study, chunk: Chunk) -> dict:
    return run_chunk(study, chunk)


def connect(address: str, timeout: float = CONNECT_TIMEOUT):
    """A ``distributed.Client`` for ``address``, or ExecutorError after ``timeout`` seconds."""
    try:
        from distributed import Client
    except ImportError:  # pragma: no cover - the lab extra installs it
        raise ExecutorError("the Dask executor needs dask[distributed] (pip install 'ludovec[lab]')") from None
    try:
        return Client(address, timeout=f"{timeout}s", set_as_default=False)
    except (OSError, TimeoutError, ValueError) as exc:
        raise ExecutorError(f"cannot reach the Dask scheduler at {address} within "
                            f"{timeout:g} s ({type(exc).__name__}: {exc})") from None


def _run_dask(study: Study, st: Store, todo: list[Chunk], bar, client) -> None:
    from distributed import as_completed

    crowded = sorted(w.get("name", a) for a, w in client.scheduler_info()["workers"].items()
                     if w.get("nthreads", 1) > 1)
    if crowded:
        # Chunks sharing a worker process queue behind each other on the interpreter lock
        # (the module holds it for a whole call) while their pools fight over the cores.
        warnings.warn(f"Dask workers {', '.join(map(str, crowded))} run several threads; "
                      "start workers with --nthreads 1 (the module's own pool uses the cores)",
                      RuntimeWarning, stacklevel=4)
    shipped = client.scatter(study, broadcast=True, hash=False)
    prefix = f"ludovec-lab-{study.fingerprint[:12]}-{os.getpid()}"
    futures = {client.submit(_dask_task, shipped, c, key=f"{prefix}-{c.id}", retries=2): c
               for c in todo}
    written: set[int] = set()
    try:
        for fut, records in as_completed(futures, with_results=True, loop=client.loop):
            chunk = futures.pop(fut)
            if chunk.id not in written:
                st.write_chunk(chunk.id, records)
                written.add(chunk.id)
                bar.update(chunk.count if study.kind != "single" else study.num_steps)
            fut.release()
    except BaseException:
        client.cancel(list(futures))
        raise
