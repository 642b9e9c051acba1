"""Running a study: the plan minus what the store holds, chunk by chunk, committed as each ends.

Executors:

- ``"local"`` (the default): chunks run one after the other in the calling process, the native
  entry's worker pool using the cores without the interpreter lock, so the progress bar moves
  within a chunk and Ctrl-C stops it at once. With ``workers`` above 1 (the argument or the
  study's field), chunks go to that many forked worker processes instead, each with its share
  of the cores; they report progress through their pipes and die with the caller, even when it
  is killed outright.
- ``"dask"``: one task per chunk on a ``distributed`` cluster (a scheduler address, or a
  ``Client`` passed in); results stream back as tasks finish and the caller alone writes the
  store, after checking that the worker ran the same ``ludovec`` as the caller. A lost
  worker's chunks are rerun by the scheduler; each chunk is written once.
  Layout that avoids oversubscription: one worker process per machine with one Dask thread
  (``dask worker ADDRESS --nworkers 1 --nthreads 1``), so the module's pool owns the machine's
  cores; where several worker processes share a machine, give each ``RAYON_NUM_THREADS`` =
  cores / processes. The lock is released while a chunk runs, so workers keep their heartbeats
  through long chunks; a cancelled task stops its chunk at the next progress report.

Ctrl-C: the chunks in flight are abandoned, every finished chunk is already committed, and
``KeyboardInterrupt`` is raised again; running the same study on the same store resumes. A
chunk that fails (the module stops, memory runs out, its worker dies) raises ``ChunkError``
once the other chunks in flight have been committed.
"""

from __future__ import annotations

import asyncio
import contextlib
import ctypes
import math
import multiprocessing
import os
import signal
import socket
import tempfile
import time
import uuid
import warnings
from collections import deque
from collections.abc import Callable
from concurrent.futures import CancelledError, ThreadPoolExecutor
from dataclasses import dataclass
from importlib import metadata
from multiprocessing.connection import Connection, wait
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .errors import ChunkError, ExecutorError, StudyError
from .plan import Chunk, make_plan, total_work
from .runner import run_chunk
from .store import Store, load, module_version
from .study import Study, load_study

if TYPE_CHECKING:
    import pandas as pd
    from distributed import Client

CONNECT_TIMEOUT = 10.0  # seconds to reach a scheduler before giving up
PROGRESS_EVERY = 0.2  # seconds between the progress reports of a worker process
CANCEL_GRACE = 1.0  # seconds a Dask task stays dropped before its chunk stops
SCHEMES = ("tcp", "tls")  # the scheduler addresses the lab connects to
_PR_SET_PDEATHSIG = 1  # prctl option, from <linux/prctl.h>


def run(
    study: Study | str | Path,
    store: str | Path | None = None,
    executor: str | Client | None = None,
    progress: bool = True,
    workers: int | None = None,
    timeout: float = CONNECT_TIMEOUT,
) -> pd.DataFrame:
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
    client: Client | None = None
    if kind == "dask":
        # Reached before the store is touched: an unreachable scheduler writes nothing.
        if isinstance(executor, str) or executor is None:
            address = study.scheduler if executor in (None, "dask") else executor
            client = connect(str(address), timeout)
        else:
            client = executor
    try:
        return _run(study, store, kind, client, progress, workers)
    finally:
        if client is not None and client is not executor:
            _close(client, timeout)


def _run(
    study: Study,
    store: str | Path,
    kind: str,
    client: Client | None,
    progress: bool,
    workers: int | None,
) -> pd.DataFrame:
    plan = make_plan(study)
    with Store.writer(store, study) as st:
        return _run_plan(study, st, plan, kind, client, progress, workers)


def _run_plan(
    study: Study,
    st: Store,
    plan: list[Chunk],
    kind: str,
    client: Client | None,
    progress: bool,
    workers: int | None,
) -> pd.DataFrame:
    study = st.seeded(study)  # the seed the store drew, when the study gives none
    done = st.committed()
    todo = [c for c in plan if c.id not in done]
    bar: Any = _NoBar()
    if progress:  # tqdm (and what it imports) only when a bar is drawn
        bar = _Bar(
            study, total_work(study, plan), total_work(study, [c for c in plan if c.id in done])
        )
    try:
        if not todo:
            pass
        elif kind == "dask":
            _run_dask(study, st, todo, bar, client)
        elif (workers or study.workers or 1) > 1 and len(todo) > 1:
            _run_processes(study, st, todo, bar, workers or study.workers or 1)
        else:
            _run_here(study, st, todo, bar)
    finally:
        bar.close()
    return load(st)


class _NoBar:
    def update(self, n: int) -> None:
        pass

    def close(self) -> None:
        pass


class _Bar:
    """The progress bar, fed run-steps: it counts runs (steps for single-run studies, whose
    runs are few and long), moving within a chunk as its runs advance."""

    def __init__(self, study: Study, total: int, done: int):
        from tqdm.auto import tqdm

        unit, self.per = study.kind_type.progress_unit(study)
        self.steps = done
        self.bar = tqdm(
            total=total // self.per,
            initial=done // self.per,
            unit=unit,
            unit_scale=True,
            desc=f"{study.kind} study",
            dynamic_ncols=True,
        )

    def update(self, steps: int) -> None:
        self.steps += steps
        self.bar.update(self.steps / self.per - self.bar.n)

    def close(self) -> None:
        self.bar.close()


def _cpus() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # pragma: no cover - not on Linux
        return os.cpu_count() or 1


def _executor_kind(study: Study, executor: object) -> str:
    if executor is None:
        executor = study.executor
    if executor == "local":
        return "local"
    if executor == "dask":
        if study.scheduler is None:
            raise StudyError(
                [
                    "executor: \"dask\" needs a scheduler address (field 'scheduler', "
                    "or --dask ADDRESS), or a Client passed to run()"
                ]
            )
        return "dask"
    if isinstance(executor, str) and "://" in executor:
        return "dask"
    if type(executor).__name__ == "Client":
        return "dask"
    raise StudyError(
        [
            f'executor: expected "local", "dask", a scheduler address or a '
            f"distributed Client, found {executor!r}"
        ]
    )


# ---- one chunk, wherever it runs ------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class _Outcome:
    """What a worker sends back: the chunk's records, or why it has none, and who computed it."""

    chunk: int
    version: str
    worker: str
    records: dict[str, Any] | None
    failure: str | None = None


def _describe(exc: BaseException) -> str:
    text = str(exc).strip().replace("\n", " ")
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def _compute(
    study: Study, chunk: Chunk, worker: str, progress: Callable[[int], object] | None = None
) -> _Outcome:
    try:
        records = run_chunk(study, chunk, progress)
    except (KeyboardInterrupt, SystemExit, _Cancelled):
        raise
    except BaseException as exc:  # the module's PanicException is a BaseException
        # Sent as text: that exception class cannot be pickled by name.
        return _Outcome(chunk.id, module_version(), worker, None, _describe(exc))
    return _Outcome(chunk.id, module_version(), worker, records)


def _committed_note(st: Store) -> str:
    total = st.manifest["total_chunks"]
    return f"finished chunks are committed ({len(st.committed())} of {total})"


def _chunk_error(st: Store, chunk: Chunk, cause: str) -> ChunkError:
    return ChunkError(
        chunk.id,
        f"chunk {chunk.id} ({chunk.dynamic}, eta {chunk.eta:g}) failed: {cause}; "
        f"{_committed_note(st)}",
    )


def _run_here(study: Study, st: Store, todo: list[Chunk], bar: Any) -> None:
    for chunk in todo:
        try:
            records = run_chunk(study, chunk, bar.update)
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as exc:  # EngineError, MemoryError: name the chunk
            raise _chunk_error(st, chunk, _describe(exc)) from exc
        st.write_chunk(chunk.id, records)


# ---- worker processes ----------------------------------------------------------------------


def _die_with_parent(parent: int) -> None:
    """Has the kernel kill this process when the thread that forked it ends, so no worker
    outlives a killed caller; the caller may already be gone, hence the check after."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    except (OSError, AttributeError):  # pragma: no cover - not on Linux
        pass
    if os.getppid() != parent:
        os._exit(1)


class _Throttled:
    """Sends the run-steps done to the parent at most every ``PROGRESS_EVERY`` seconds."""

    def __init__(self, conn: Connection):
        self.conn, self.pending, self.last = conn, 0, time.monotonic()

    def __call__(self, steps: int) -> None:
        self.pending += steps
        now = time.monotonic()
        if now - self.last >= PROGRESS_EVERY:
            self.flush()
            self.last = now

    def flush(self) -> None:
        if self.pending:
            self.conn.send(self.pending)
            self.pending = 0


def _worker_main(
    conn: Connection, study: Study, parent: int, lock_fd: int | None, threads: int
) -> None:
    _die_with_parent(parent)
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the parent decides what Ctrl-C stops
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    if lock_fd is not None:
        os.close(lock_fd)  # the inherited copy of the store's lock is the parent's to hold
    # The child's native pool is made at its first chunk: its share of the cores, unless the
    # user sized it.
    os.environ.setdefault("RAYON_NUM_THREADS", str(threads))
    name = f"worker process {os.getpid()}"
    while True:
        try:
            chunk = conn.recv()
        except EOFError:
            return
        if chunk is None:
            return
        progress = _Throttled(conn)
        outcome = _compute(study, chunk, name, progress)
        progress.flush()
        conn.send(outcome)


@dataclass(slots=True)
class _Worker:
    process: Any
    conn: Connection
    chunk: Chunk | None = None

    def give(self, chunk: Chunk) -> None:
        self.chunk = chunk
        # A worker that died since its last result: its sentinel says so, with this chunk.
        with contextlib.suppress(OSError):
            self.conn.send(chunk)


def _death(process: Any) -> str:
    code = process.exitcode
    if code is not None and code < 0:
        sig = signal.Signals(-code).name
        hint = " (the kernel's out-of-memory killer sends it)" if sig == "SIGKILL" else ""
        return f"its worker process {process.pid} was killed by {sig}{hint}"
    return f"its worker process {process.pid} exited with code {code}"


def _receive(conn: Connection) -> _Outcome | int | None:
    """The worker's next message, or None when there is none or the worker is gone: a worker
    killed with bytes unread on its side resets the connection instead of closing it."""
    try:
        return conn.recv() if conn.poll() else None
    except (EOFError, OSError):
        return None


def _run_processes(study: Study, st: Store, todo: list[Chunk], bar: Any, workers: int) -> None:
    # Forked, not spawned: a spawned child re-imports the caller's script, which a script
    # without a main guard cannot survive. The module gives a forked child a fresh worker pool,
    # and the parent's idle pool threads hold no lock a child could inherit. Forked from this
    # thread, which outlives them: a child's death signal fires when its forking thread ends.
    ctx = multiprocessing.get_context("fork")
    threads = max(1, _cpus() // workers)
    pending = deque(todo)
    pool: list[_Worker] = []
    failure: tuple[Chunk, str] | None = None  # the first, raised once the others are in
    try:
        with warnings.catch_warnings():
            warnings.filterwarnings(
                "ignore", "This process .* is multi-threaded", DeprecationWarning
            )
            for _ in range(min(workers, len(todo))):
                mine, theirs = ctx.Pipe()
                proc = ctx.Process(
                    target=_worker_main,
                    args=(theirs, study, os.getpid(), st.lock_fd, threads),
                    daemon=True,
                )
                proc.start()
                theirs.close()
                pool.append(_Worker(proc, mine))
        for w in pool:
            w.give(pending.popleft())
        while busy := [w for w in pool if w.chunk is not None]:
            wait([w.conn for w in busy] + [w.process.sentinel for w in busy])
            for w in busy:
                assert w.chunk is not None
                chunk = w.chunk
                outcome = _receive(w.conn)
                while isinstance(outcome, int):  # progress within the chunk
                    bar.update(outcome)
                    outcome = _receive(w.conn)
                if outcome is None:
                    if w.process.is_alive():
                        continue
                    w.process.join()
                    w.chunk = None
                    failure = failure or (chunk, _death(w.process))
                    continue
                w.chunk = None
                if outcome.failure is not None:
                    failure = failure or (chunk, outcome.failure)
                else:
                    assert outcome.records is not None
                    st.write_chunk(chunk.id, outcome.records)
                if pending and failure is None:
                    w.give(pending.popleft())
        if failure is not None:
            raise _chunk_error(st, *failure)
    except BaseException:
        for w in pool:  # abandon the chunks in flight
            w.process.kill()
        raise
    finally:
        for w in pool:
            if w.process.is_alive():
                try:
                    w.conn.send(None)
                except OSError:
                    w.process.kill()
            w.process.join(timeout=10)
            if w.process.is_alive():
                w.process.kill()
                w.process.join()
            w.conn.close()


# ---- Dask ----------------------------------------------------------------------------------


def _hold(study: Study) -> Study:
    return study


class _Cancelled(Exception):
    """The task's future was cancelled: its chunk stops, and nobody reads its result."""


def _dask_task(study: Study, chunk: Chunk) -> _Outcome:
    from distributed import get_worker

    try:
        w = get_worker()
        name = f"{w.name} at {w.address}" if w.name != w.address else str(w.address)
        key = w.get_current_task()
    except (ValueError, KeyError):  # not on a worker
        return _compute(study, chunk, "a Dask worker")
    dropped_since: list[float] = []

    def check(_steps: int) -> None:
        # Read from the task's thread: a dict lookup and an attribute. The scheduler may
        # release a running task and ask for it again (a lost dependency recomputed), and the
        # worker then takes this execution's result: only a task dropped for a while stops,
        # and it stops by raising, which the scheduler retries if it wanted the task after all.
        ts = w.state.tasks.get(key)
        if ts is not None and ts.state not in ("cancelled", "released", "forgotten"):
            dropped_since.clear()
        elif not dropped_since:
            dropped_since.append(time.monotonic())
        elif time.monotonic() - dropped_since[0] >= CANCEL_GRACE:
            raise _Cancelled(key)

    return _compute(study, chunk, name, check)


def _check_timeout(timeout: float) -> None:
    if isinstance(timeout, bool) or not isinstance(timeout, int | float):
        raise ExecutorError(f"timeout: expected a number of seconds, found {timeout!r}")
    if not (math.isfinite(timeout) and timeout > 0):
        raise ExecutorError(
            f"timeout: must be a positive, finite number of seconds, found {timeout:g}"
        )


async def _identity(address: str, timeout: float, connection_args: dict[str, Any]) -> Any:
    from distributed.comm.core import connect as open_comm

    comm = await open_comm(address, timeout=timeout, **connection_args)  # type: ignore[no-untyped-call]
    try:
        await comm.write({"op": "identity", "n_workers": 0, "reply": True})
        return await comm.read()
    finally:
        comm.abort()


def _probe(address: str, timeout: float, connection_args: dict[str, Any]) -> None:
    """Checks that a Dask scheduler answers at ``address``, all within ``timeout`` seconds:
    first that something accepts connections, then that it speaks as a scheduler (the client's
    own handshake waits without a limit on a listener that never answers)."""
    from distributed.comm.addressing import parse_address, parse_host_port

    deadline = time.monotonic() + timeout
    host, port = parse_host_port(parse_address(address)[1])
    while True:
        try:
            socket.create_connection(
                (host, port), timeout=max(0.01, deadline - time.monotonic())
            ).close()
            break
        except OSError as exc:
            if time.monotonic() + 0.1 >= deadline:
                raise ExecutorError(
                    f"cannot reach the Dask scheduler at {address} within {timeout:g} s "
                    f"({_describe(exc)})"
                ) from None
            time.sleep(0.1)
    left = max(0.01, deadline - time.monotonic())

    def ask() -> Any:
        return asyncio.run(asyncio.wait_for(_identity(address, left, connection_args), left))

    not_scheduler = (
        "give the scheduler's address (port 8786 unless it was started with another), "
        "not its dashboard's"
    )
    # In a thread of its own: the caller may be running an event loop (a notebook).
    with ThreadPoolExecutor(1) as one:
        try:
            reply = one.submit(ask).result()
        except TimeoutError:
            raise ExecutorError(
                f"{address} accepts connections but does not answer as a Dask scheduler "
                f"within {timeout:g} s; {not_scheduler}"
            ) from None
        except Exception as exc:  # an HTTP answer read as a message length, a closed comm
            raise ExecutorError(
                f"{address} does not answer as a Dask scheduler ({_describe(exc)[:200]}); "
                f"{not_scheduler}"
            ) from None
    kind = reply.get("type") if isinstance(reply, dict) else None
    if kind != "Scheduler":
        what = f"a Dask {kind}" if isinstance(kind, str) else "not a Dask scheduler"
        raise ExecutorError(f"{address} is {what}, not a scheduler; {not_scheduler}")


def connect(address: str, timeout: float = CONNECT_TIMEOUT) -> Client:
    """A ``distributed.Client`` for ``address``, or ExecutorError after ``timeout`` seconds."""
    _check_timeout(timeout)
    try:
        from distributed import Client
        from distributed.security import Security
    except ImportError:  # pragma: no cover - the lab extra installs it
        raise ExecutorError(
            "the Dask executor needs dask[distributed] (pip install 'ludovec[lab]')"
        ) from None
    scheme = address.partition("://")[0] if "://" in address else "tcp"
    supported = "tcp:// (or tls:// with Dask's TLS settings configured)"
    if scheme not in SCHEMES:
        raise ExecutorError(
            f"scheduler address {address}: the {scheme}:// scheme is not supported; "
            f"give a {supported} address"
        )
    security: Any = Security()  # type: ignore[no-untyped-call]
    connection_args: dict[str, Any] = security.get_connection_args("client")
    if scheme == "tls" and connection_args.get("ssl_context") is None:
        raise ExecutorError(
            f"scheduler address {address}: tls:// needs Dask's TLS settings (distributed.comm."
            "tls.ca-file, .client.cert and .client.key in the Dask configuration)"
        )
    try:
        _probe(address, timeout, connection_args)
    except ValueError as exc:  # an address distributed cannot parse
        raise ExecutorError(f"scheduler address {address}: {exc}") from None
    try:
        make: Any = Client  # untyped constructor
        client: Client = make(address, timeout=f"{timeout}s", set_as_default=False)
        return client
    except (OSError, TimeoutError, ValueError) as exc:
        raise ExecutorError(
            f"cannot reach the Dask scheduler at {address} within "
            f"{timeout:g} s ({type(exc).__name__}: {exc})"
        ) from None


def _close(client: Any, timeout: float) -> None:
    """Closes a client quietly: after a lost scheduler or an interrupt, its reconnection
    attempts, cancelled, would each log a traceback, and the run has said what happened."""
    import logging

    logging.disable(logging.ERROR)
    try:
        client.close(timeout=timeout)
    except (OSError, TimeoutError, RuntimeError):
        pass
    finally:
        logging.disable(logging.NOTSET)


def _task_failure(st: Store, chunk: Chunk, exc: BaseException) -> ExecutorError:
    from distributed.scheduler import KilledWorker

    if isinstance(exc, KilledWorker):
        return _chunk_error(
            st,
            chunk,
            f"the Dask workers running it died {exc.allowed_failures + 1} times (the last: "
            f"{exc.last_worker.address}; out of memory? see the workers' logs)",
        )
    if isinstance(exc, ImportError):
        return ExecutorError(
            f"a Dask worker cannot import the study layer ({_describe(exc)}): install the same "
            f"ludovec[lab] on every worker; {_committed_note(st)}"
        )
    return _chunk_error(st, chunk, f"on a Dask worker: {_describe(exc)}")


def _run_dask(study: Study, st: Store, todo: list[Chunk], bar: Any, client: Any) -> None:
    from distributed import as_completed
    from distributed.comm.core import CommClosedError

    try:
        _submit_and_gather(study, st, todo, bar, client, as_completed)
    except OSError as exc:
        # The scheduler is gone: its connection closed, or a fetch timed out reconnecting
        # (the client has left the running state). The store's own errors pass on.
        if not isinstance(exc, CommClosedError) and client.status == "running":
            raise
        where = getattr(getattr(client, "scheduler", None), "address", None)
        raise ExecutorError(
            f"lost the connection to the Dask scheduler{f' at {where}' if where else ''}; "
            f"{_committed_note(st)}, run again to resume"
        ) from None


def _check_cluster(st: Store, client: Any, mine: str) -> None:
    """Refuses a cluster that cannot run the lab's tasks before any is sent: a worker that
    cannot import the lab drops its connection on the first task (and the task waits for
    others), and one of another ludovec build computes other numbers. Workers joining later
    are checked by what their tasks report. Probed with standard functions, which any worker
    can unpickle."""
    importing = "import ludovec_lab.executors"
    try:
        found = client.run_on_scheduler(exec, importing, {})
    except Exception as exc:
        raise ExecutorError(
            f"the Dask scheduler cannot import the study layer ({_describe(exc)}): it reads "
            "the lab's tasks, so install the same ludovec[lab] there as here"
        ) from None
    for address, found in client.run(exec, importing, {}, on_error="return").items():
        if isinstance(found, BaseException):
            raise ExecutorError(
                f"the Dask worker {address} cannot import the study layer ({_describe(found)}):"
                f" install the same ludovec[lab] as here on every worker"
            )
    versions = client.run(metadata.version, "ludovec", on_error="return")
    for address, version in versions.items():
        if version != mine:
            theirs = version if isinstance(version, str) else _describe(version)
            raise ExecutorError(
                f"the Dask worker {address} runs ludovec {theirs}, this process {mine}: "
                f"install ludovec {mine} on every worker ({_committed_note(st)})"
            )


def _submit_and_gather(
    study: Study, st: Store, todo: list[Chunk], bar: Any, client: Any, as_completed: Any
) -> None:
    crowded = sorted(
        str(w.get("name", a))
        for a, w in client.scheduler_info()["workers"].items()
        if w.get("nthreads", 1) > 1
    )
    if crowded:
        # Chunks sharing a worker process run side by side, their native pools fighting over
        # the cores.
        warnings.warn(
            f"Dask workers {', '.join(crowded)} run several threads; "
            "start workers with --nthreads 1 (the module's own pool uses the cores)",
            RuntimeWarning,
            stacklevel=5,
        )
    mine = module_version()
    _check_cluster(st, client, mine)
    # Held by a task rather than scattered: a worker that dies takes scattered data with it,
    # whereas the scheduler reruns a task whose result was lost.
    prefix = f"ludovec-lab-{study.fingerprint[:12]}-{uuid.uuid4().hex[:8]}"
    shipped = client.submit(_hold, study, key=f"{prefix}-study")
    futures = {
        client.submit(_dask_task, shipped, c, key=f"{prefix}-{c.id}", retries=2): c for c in todo
    }
    written: set[int] = set()
    try:
        # Results fetched here, one by one, not by as_completed's background tasks: those
        # log a traceback each when an interrupted run closes the client under them.
        for fut in as_completed(futures, loop=client.loop):
            chunk = futures.pop(fut)
            if fut.status == "error":
                raise _task_failure(st, chunk, fut.exception())
            try:
                # A cancelled future raises its reason; it never waits.
                result = fut.result() if fut.status in ("finished", "cancelled") else None
            except (CancelledError, asyncio.CancelledError) as exc:  # Dask raises the former
                result, why = None, getattr(exc, "reason", "unknown")
            else:
                why = "unknown"
            if fut.status != "finished":
                # The client cancels every future once its connection drops, after it has
                # left the running state.
                if why == "scheduler-connection-lost" or client.status != "running":
                    what = "lost the connection to the Dask scheduler"
                else:  # such as a scheduler that cannot read the task
                    what = (
                        f"the Dask scheduler dropped chunk {chunk.id} (reason: {why}; see its "
                        "log: the scheduler and the workers need the same ludovec[lab] as here)"
                    )
                raise ExecutorError(f"{what}; {_committed_note(st)}, run again to resume")
            if not isinstance(result, _Outcome):
                raise ExecutorError(
                    f"a Dask worker runs another version of the study layer (chunk {chunk.id} "
                    f"came back as {type(result).__name__}): install the same ludovec[lab] "
                    f"on every worker; {_committed_note(st)}"
                )
            if result.version != mine:
                # Before anything is stored: other builds compute other numbers.
                raise ExecutorError(
                    f"the Dask worker {result.worker} runs ludovec {result.version}, this "
                    f"process {mine}: its results are not stored; install ludovec {mine} on "
                    f"every worker ({_committed_note(st)})"
                )
            if result.failure is not None:
                raise _chunk_error(
                    st, chunk, f"on the Dask worker {result.worker}: {result.failure}"
                )
            if chunk.id not in written:
                assert result.records is not None
                st.write_chunk(chunk.id, result.records, computed_by=result.version)
                written.add(chunk.id)
                bar.update(chunk.count * study.num_steps)
            fut.release()
    except BaseException:
        if futures and client.status == "running":
            with contextlib.suppress(Exception):  # the scheduler may be gone already
                client.cancel(list(futures))
        raise
