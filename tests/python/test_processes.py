"""Processes, threads and signals: forked children, process pools, concurrent Python threads,
and signal handlers that call back into the module while an exploration waits."""

import concurrent.futures as cf
import multiprocessing
import os
import signal
import sys
import textwrap
import threading
import time
import warnings

import numpy as np
import pytest

import ludovec
from support import run, run_python, state

GAME = np.array([[2.0, -1.0], [-1.0, 1.0]])
STACK = np.random.default_rng(3).standard_normal((12, 2, 2))
PATIENCE = 120  # seconds before a wait counts as a deadlock


def explore_all(runs=6):
    """One call of each exploration; the shapes they return, and the deterministic histories."""
    opt = ludovec.Optimizer.ogda(0.1, 2)
    scattered = ludovec.scattered_exploration(GAME, opt, runs, 20, 0.0, 1.0, "max", "max_last")
    concentric = ludovec.concentric_exploration(GAME, opt, runs, 20, 0.0, 1.0, 3, "var_last")
    results = ludovec.neighborhood_exploration(STACK, opt, 50, True)
    return ((scattered.norms.shape, scattered.metrics.shape, concentric.slice_boundaries.shape,
             concentric.metrics.shape),
            [r.gaps_history.tobytes() + r.x_history.tobytes() for r in results])


def expected_shapes(runs=6):
    return ((runs,), (runs,), (3, 2), (3, runs // 3))


# ------------------------------------------------------------------------------------- fork

def wait_for(pid):
    deadline = time.monotonic() + PATIENCE
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.05)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    raise AssertionError("the forked child deadlocked")


def test_a_child_forked_after_an_exploration_explores_with_its_own_pool():
    shapes, histories = explore_all()  # the parent's pool exists now
    read, write = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking with live worker threads
        pid = os.fork()
    if pid == 0:  # pragma: no cover - the child reports through its exit code
        code = 1
        try:
            os.close(read)
            child_shapes, child_histories = explore_all()
            code = 0 if (child_shapes, child_histories) == (shapes, histories) else 2
        finally:
            os._exit(code)
    os.close(write)
    os.close(read)
    assert wait_for(pid) == 0
    assert explore_all() == (shapes, histories)  # and the parent's pool still works


def pool_job(runs):
    return explore_all(runs)


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_process_pools_run_explorations_in_parallel(method):
    explore_all()
    runs = [3, 6, 9, 12]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with cf.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context(method)) as pool:
            outcomes = list(pool.map(pool_job, runs, timeout=PATIENCE))
    reference = explore_all()[1]
    for n, (shapes, histories) in zip(runs, outcomes):
        assert shapes == expected_shapes(n)
        assert histories == reference


def test_multiprocessing_fork_pool_after_an_exploration():
    explore_all()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with multiprocessing.get_context("fork").Pool(2) as pool:
            outcomes = pool.map_async(pool_job, [6, 6, 6]).get(PATIENCE)
    assert all(o == (expected_shapes(), explore_all()[1]) for o in outcomes)


# ---------------------------------------------------------------------------------- threads

def in_threads(count, work):
    """Runs work(i) on `count` threads released together; their results in order."""
    barrier = threading.Barrier(count)
    results = [None] * count

    def body(i):
        barrier.wait()
        results[i] = work(i)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(PATIENCE)
    assert not any(t.is_alive() for t in threads), "a thread deadlocked"
    return results


def test_threads_explore_and_run_at_once_with_single_thread_results():
    shapes, histories = explore_all()
    single = run(state([0.9, 0.1], [0.2, 0.8], GAME), ludovec.Optimizer.omwuoomd(0.1, 2), 300)

    def work(i):
        outcomes = []
        for _ in range(5):
            outcomes.append(explore_all())
            r = run(state([0.9, 0.1], [0.2, 0.8], GAME), ludovec.Optimizer.omwuoomd(0.1, 2), 300)
            outcomes.append(r.x_history.tobytes() == single.x_history.tobytes())
        return outcomes

    for outcomes in in_threads(6, work):
        assert outcomes == [(shapes, histories), True] * 5


def test_experiments_sharing_a_state_and_optimizer_continue_each_other():
    """Whichever thread runs first, the other starts where the first left the state."""
    whole = run(state([1.0, 0.0], [0.3, 0.7], GAME), ludovec.Optimizer.ogda(0.05, 2), 40)
    shared, opt = state([1.0, 0.0], [0.3, 0.7], GAME), ludovec.Optimizer.ogda(0.05, 2)
    experiments = [ludovec.Experiment(shared, opt, 20) for _ in range(2)]
    halves = in_threads(2, lambda i: experiments[i].run_experiment_until_convergence_in_place())
    assert np.all(whole.gaps_history >= 1e-08)  # no convergence: every row is a real step
    got = sorted(r.x_history.tobytes() for r in halves)
    assert got == sorted([whole.x_history[:20].tobytes(), whole.x_history[20:].tobytes()])


# ---------------------------------------------------------------------------------- signals

# An exploration long enough (a second or more) for the thread waiting on it, which looks at
# signals every 100 ms or so, to see a timer's signal several times.
LONG = """
import signal, threading, time, numpy as np, ludovec
a = np.array([[2.0, -1.0], [-1.0, 1.0]])
opt = ludovec.Optimizer.ogda(1e-4, 2)
def long_exploration():
    return ludovec.scattered_exploration(a, opt, 30000, 20000, 0.0, 1e-9, "max", "max_last")
"""

NESTED = ("an exploration cannot start while another one runs on the same thread "
          "(from a signal handler)")


def run_script(body):
    result = run_python(LONG + textwrap.dedent(body))
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout.splitlines()


def test_a_signal_handler_exploring_during_an_exploration_gets_runtime_error():
    lines = run_script("""
        seen = []
        def handler(signum, frame):
            try:
                ludovec.neighborhood_exploration(np.stack([a]), opt, 5, False)
                seen.append("ran")
            except RuntimeError as exc:
                seen.append(str(exc))
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
        out = long_exploration()
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        print(out.metrics.shape)
        # A tick just before or after the exploration may run the nested call for real.
        print(%r in seen, set(seen) <= {%r, "ran"})
    """ % (NESTED, NESTED))
    assert lines == ["(30000,)", "True True"]


def test_an_uncaught_error_of_the_nested_call_ends_the_outer_one_cleanly():
    lines = run_script("""
        def handler(signum, frame):
            ludovec.concentric_exploration(a, opt, 2, 2, 0.0, 1.0, 2, "max_last")
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.1, 0.1)  # a tick outside the exploration is harmless
        try:
            long_exploration()
        except RuntimeError as exc:
            signal.setitimer(signal.ITIMER_REAL, 0, 0)
            print(exc)
        print(ludovec.scattered_exploration(a, opt, 3, 3, 0.0, 1.0, "max", "max_last").norms.shape)
    """)
    assert lines == [NESTED, "(3,)"]


def test_a_handler_that_lets_other_threads_run_does_not_deadlock_them():
    """While the handler sleeps, the interpreter lock is free and other threads start their
    own explorations, which must wait for the running one and then succeed."""
    lines = run_script("""
        stack = np.random.default_rng(1).standard_normal((16, 2, 2))
        def gaps():
            return [r.gaps_history.tobytes()
                    for r in ludovec.neighborhood_exploration(stack, opt, 100, True)]
        want = gaps()
        done, same = threading.Event(), []
        def other():
            while not done.is_set():
                same.append(gaps() == want)
        threads = [threading.Thread(target=other) for _ in range(2)]
        signal.signal(signal.SIGALRM, lambda s, f: time.sleep(0.02))
        signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
        for t in threads:
            t.start()
        out = long_exploration()
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        done.set()
        for t in threads:
            t.join(60)
        print(out.metrics.shape, any(t.is_alive() for t in threads), len(same) > 0, all(same))
    """)
    assert lines == ["(30000,) False True True"]


def test_a_child_forked_during_an_exploration_does_not_wait_forever():
    lines = run_script("""
        import os, warnings
        warnings.simplefilter("ignore", DeprecationWarning)
        children = []
        def handler(signum, frame):
            if not children:
                children.append(os.fork())
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        try:
            long_exploration()
            outcome = "returned"
        except BaseException as exc:
            outcome = type(exc).__name__
        if children[0] == 0:
            os._exit(0)
        deadline = time.monotonic() + 8
        while time.monotonic() < deadline and not os.waitpid(children[0], os.WNOHANG)[0]:
            time.sleep(0.05)
        else:
            if time.monotonic() >= deadline:
                os.kill(children[0], signal.SIGKILL)
                outcome = "the child waited forever"
        print(outcome)
    """)
    assert lines == ["returned"]


# ---------------------------------------------------------------------------- interpreters

@pytest.mark.parametrize("config", ["isolated", "legacy"])
def test_sub_interpreters_are_refused_and_the_main_one_keeps_working(config):
    interpreters = pytest.importorskip("_interpreters")
    explore_all()  # the pool and the types exist in the main interpreter
    interp = interpreters.create(config)
    try:
        out = os.pipe()
        script = textwrap.dedent(f"""
            import os, sys
            sys.path[:0] = {sys.path!r}
            try:
                import ludovec
                message = "imported"
            except ImportError as exc:
                message = "ImportError: " + str(exc)
            os.write({out[1]}, message.encode())
        """)
        assert interpreters.run_string(interp, script) is None
        os.close(out[1])
        message = os.read(out[0], 4096).decode()
        os.close(out[0])
    finally:
        interpreters.destroy(interp)
    assert message.startswith("ImportError: ") and "subinterpreters" in message.replace("-", "")
    assert explore_all()[0] == expected_shapes()
