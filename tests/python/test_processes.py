"""Processes, threads and signals: forked children, process pools, concurrent Python threads,
and signal handlers that call back into the module while an exploration waits."""

import concurrent.futures as cf
import multiprocessing
import os
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time
import warnings

import numpy as np
import pytest

import ludovec

from support import interruptible, run, run_python, state

GAME = np.array([[2.0, -1.0], [-1.0, 1.0]])
STACK = np.random.default_rng(3).standard_normal((12, 2, 2))
PATIENCE = 120  # seconds before a wait counts as a deadlock


def explore_all(runs=6):
    """One call of each exploration; the shapes they return, and the deterministic histories."""
    opt = ludovec.Optimizer.ogda(0.1, 2)
    scattered = ludovec.scattered_exploration(GAME, opt, runs, 20, 0.0, 1.0, "max", "max_last")
    concentric = ludovec.concentric_exploration(GAME, opt, runs, 20, 0.0, 1.0, 3, "var_last")
    results = ludovec.neighborhood_exploration(STACK, opt, 50, True)
    return (
        (
            scattered.norms.shape,
            scattered.metrics.shape,
            concentric.slice_boundaries.shape,
            concentric.metrics.shape,
        ),
        [r.gaps_history.tobytes() + r.x_history.tobytes() for r in results],
    )


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
    for n, (shapes, histories) in zip(runs, outcomes, strict=True):
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

NESTED = (
    "an exploration cannot start while another one runs on the same thread (from a signal handler)"
)


def run_script(body):
    result = run_python(LONG + textwrap.dedent(body))
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout.splitlines()


@pytest.mark.slow
def test_a_signal_handler_exploring_during_an_exploration_gets_runtime_error():
    lines = run_script(
        f"""
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
        print({NESTED!r} in seen, set(seen) <= {{{NESTED!r}, "ran"}})
    """
    )
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


@pytest.mark.slow
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


@pytest.mark.slow
def test_a_child_forked_by_another_thread_during_an_exploration_explores():
    """While the handler sleeps, the lock is free and another thread forks: the child has no
    exploring thread, whatever the parent's marker said."""
    lines = run_script("""
        import os, warnings
        warnings.simplefilter("ignore", DeprecationWarning)
        rps = np.array([[0.0, 1, -1], [-1, 0, 1], [1, -1, 0]])
        children = []
        def fork_and_explore():
            time.sleep(0.5)
            pid = os.fork()
            if pid == 0:
                child = ludovec.scattered_exploration(a, opt, 8, 20, 0.0, 1.0, "max", "max_last")
                os._exit(0 if child.metrics.shape == (8,) else 3)
            children.append(pid)
        signal.signal(signal.SIGALRM, lambda s, f: time.sleep(0.02))
        signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
        forker = threading.Thread(target=fork_and_explore)
        forker.start()
        out = ludovec.scattered_exploration(rps, ludovec.Optimizer.omwuoomd(1e-3, 3), 20_000,
                                            2_000, 0.0, 1.0, "max", "max_last")
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        forker.join()
        status, deadline = "the child waited forever", time.monotonic() + 30
        while time.monotonic() < deadline:
            done, raw = os.waitpid(children[0], os.WNOHANG)
            if done:
                status = os.waitstatus_to_exitcode(raw)
                break
            time.sleep(0.05)
        else:
            os.kill(children[0], signal.SIGKILL)
            os.waitpid(children[0], 0)
        print(out.metrics.shape, status)
    """)
    assert lines == ["(20000,) 0"]


# ----------------------------------------------------------------------------------- Ctrl-C

# Each call runs far longer than the test waits; SIGINT arrives half a second into it.
INTERRUPTED = {
    "concentric exploration of many short slices": """ludovec.concentric_exploration(
        rps, ludovec.Optimizer.omwuoomd(1e-3, 3), 160_000, 2_000, 0.0, 1.0, 20_000, "max_last")""",
    "one long run of an exploration on a small game": """ludovec.scattered_exploration(
        a, ludovec.Optimizer.omwuoomd(1e-9, 2), 1, 2**32 - 1, 0.1, 0.2, "max", "total_var")""",
    "one long run of an exploration on a 100 x 100 game": """ludovec.scattered_exploration(
        big, ludovec.Optimizer.omwuoomd(1e-9, 100), 1, 5_000_000, 0.1, 0.2, "max", "total_var")""",
    "a single long Experiment run": "experiment.run_experiment_until_convergence_in_place()",
}

CTRL_C = """
import signal, sys, time, numpy as np, ludovec
a = np.array([[2.0, -1.0], [-1.0, 1.0]])
rps = np.array([[0.0, 1, -1], [-1, 0, 1], [1, -1, 0]])
big = np.random.default_rng(1).standard_normal((100, 100))
def fresh():
    return (ludovec.GameState(np.full(100, 0.01), np.full(100, 0.01), big),
            ludovec.Optimizer.omwuoomd(1e-6, 100))
st, op = fresh()
experiment = ludovec.Experiment(st, op, 10**6)
print("ready", flush=True)
try:
    {call}
    print("returned", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
print(ludovec.scattered_exploration(a, ludovec.Optimizer.ogda(0.1, 2), 8, 20, 0.0, 1.0, "max",
                                    "max_last").metrics.shape)
# The interrupted run left state and optimizer after a whole number of its blocks of steps:
# a fresh pair reaches the same strategies after that many steps, and both pairs go on alike.
def run(s, o, n):
    return ludovec.Experiment(s, o, n).run_experiment_until_convergence_in_place()
now = run(st, op, 1)
st2, op2 = fresh()
steps = 0
while steps < 10**6:
    r = run(st2, op2, 2048)
    if np.array_equal(r.x_history[0], now.x_history[0]) and np.array_equal(
            r.y_history[0], now.y_history[0]):
        break
    steps += 2048
run(st, op, 2047)
on = [run(s, o, 50) for s, o in ((st, op), (st2, op2))]
print(0 < steps < 10**6 or "Experiment" not in {kind!r},
      all(getattr(on[0], h).tobytes() == getattr(on[1], h).tobytes()
          for h in ("x_history", "y_history", "gaps_history")))
"""


@pytest.mark.slow
@pytest.mark.parametrize("kind", INTERRUPTED)
def test_ctrl_c_interrupts_every_long_call(kind):
    code = CTRL_C.format(call=textwrap.indent(INTERRUPTED[kind], "    ").strip(), kind=kind)
    paths = [os.path.dirname(ludovec.__file__), os.environ.get("PYTHONPATH", "")]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in paths if p))
    child = subprocess.Popen(
        [sys.executable, "-c", code],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
        preexec_fn=interruptible,
    )
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=PATIENCE)
    finally:
        child.kill()
        child.wait()
    lines = out.splitlines()
    assert child.returncode == 0, out + err
    word, when = lines[0].split()
    assert word == "interrupted"
    print(f"{kind}: KeyboardInterrupt {float(when) - sent:.3f} s after SIGINT")
    assert float(when) - sent < 2.0  # generous: the calls look every few thousand steps
    assert lines[1:] == ["(8,)", "True True"]


# ------------------------------------------------------------------------------ pool size

POOL = """
import os, warnings, numpy as np, ludovec
a = np.array([[2.0, -1.0], [-1.0, 1.0]])
opt = ludovec.Optimizer.ogda(0.1, 2)
{before}
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    for _ in range(2):
        try:
            out = ludovec.scattered_exploration(a, opt, 8, 20, 0.0, 1.0, "max", "max_last")
            print("explored", out.metrics.shape)
        except RuntimeError as exc:
            print("RuntimeError:", exc)
print("threads", len(os.listdir("/proc/self/task")) - 1)
for w in caught:
    print(f"{{w.category.__name__}}: {{w.message}}")
"""
CAP = max(64, 8 * len(os.sched_getaffinity(0)))
QUIET = {"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}  # only the pool's threads


@pytest.mark.parametrize(
    "variable, value",
    [
        ("RAYON_NUM_THREADS", "10000"),
        ("RAYON_RS_NUM_CPUS", "99999999999"),
        ("RAYON_NUM_THREADS", "18446744073709551615"),
    ],
)
def test_thread_counts_beyond_the_cap_start_the_cap_and_say_so_once(variable, value):
    result = run_python(POOL.format(before=""), env={variable: value, **QUIET})
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.splitlines() == [
        "explored (8,)",
        "explored (8,)",
        f"threads {CAP}",
        f"RuntimeWarning: {variable}={value} asks for more worker threads than the pool starts: "
        f"{CAP} (eight per processor, at least 64)",
    ]


# Just above what the process maps now: room for small allocations, not for 8 MiB stacks.
LIMITED = """
import resource
def limit(room):
    with open("/proc/self/statm") as f:
        mapped = int(f.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (mapped + room, resource.RLIM_INFINITY))
"""


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="the address-space limit cannot be set under the sanitizer",
)
@pytest.mark.parametrize(
    "room, threads, message",
    [
        (
            256 << 20,
            "60",
            r"RAYON_NUM_THREADS=60 asks for 60 worker threads, but the system "
            r"started only \d+",
        ),
        (2 << 20, "4", r"the worker pool could not start a single thread \(.+\)"),
    ],
)
def test_a_pool_the_system_cannot_start_is_a_clear_error_every_time(room, threads, message):
    result = run_python(
        POOL.format(before=LIMITED + f"limit({room})"), env={"RAYON_NUM_THREADS": threads, **QUIET}
    )
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 3 and lines[2] == "threads 0", lines
    for line in lines[:2]:
        assert re.fullmatch("RuntimeError: " + message, line), line


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
