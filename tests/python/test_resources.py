"""Resources: no reference or memory leaks on any path, and memory exhaustion as MemoryError."""

import contextlib
import gc
import os
import re
import sys
import textwrap
import tracemalloc

import numpy as np
import pytest

import ludovec

from support import panic_exception, run_python

PANIC = panic_exception()
# Under AddressSanitizer freed memory sits in a quarantine, so the resident size says nothing
# about leaks, and the address-space limits below cannot be set.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


# ------------------------------------------------------------------------------------ leaks

GAME = np.array([[2.0, -1.0], [-1.0, 1.0]])
# Large enough that one leaked copy per call shows in the resident size.
BIG = np.random.default_rng(0).standard_normal((24, 24))
STACK = np.stack([GAME] * 64)
STACK3 = np.zeros((64, 3, 3))
X, Y = np.array([0.3, 0.7]), np.array([0.5, 0.5])
NAN_X = np.array([np.nan, 1.0])
OPT = ludovec.Optimizer.omwuoftrl(0.1, 2)
OPT24 = ludovec.Optimizer.ogda(0.1, 24)
METRIC = "".join(["max_", "last"])  # not interned: its reference count is the call's business
INNER, OUTER = np.float64(0.1), np.float64(0.2)
STATE = ludovec.GameState(X, Y, GAME)
RESULT = ludovec.Experiment(
    ludovec.GameState(X, Y, GAME), ludovec.Optimizer.ogda(0.1, 2), 200
).run_experiment_until_convergence_in_place()
SCATTERED = ludovec.scattered_exploration(GAME, OPT, 4, 4, INNER, OUTER, "max", METRIC)
CONCENTRIC = ludovec.concentric_exploration(GAME, OPT, 4, 4, INNER, OUTER, 2, METRIC)


class Caused:
    """An integer whose conversion fails with a TypeError that has a cause."""

    cause = ValueError("the cause")

    def __index__(self):
        raise TypeError("not today") from self.cause


CAUSED = Caused()


def fresh_experiment():
    return ludovec.Experiment(ludovec.GameState(X, Y, GAME), ludovec.Optimizer.ogda(0.1, 2), 100)


CALLS = {
    "state": lambda: ludovec.GameState(X, Y, BIG),
    "state, projection stops": lambda: ludovec.GameState(NAN_X, Y, BIG),
    "state, wrong argument": lambda: ludovec.GameState(X, Y, [[1.0]]),
    "optimizer": lambda: ludovec.Optimizer.ogda(0.1, 300),
    "optimizer class": lambda: ludovec.OmwuOomd(0.1, 300),
    "optimizer, dim 0 stops": lambda: ludovec.Optimizer.omwuoomd(0.1, 0),
    "optimizer, overflow": lambda: ludovec.Optimizer.ogda(0.1, 2**32),
    "optimizer, too big": lambda: ludovec.Optimizer.omwuoftrl(0.1, 2**32 - 1),
    "argument error keeps its cause": lambda: ludovec.Optimizer.ogda(0.1, CAUSED),
    "experiment run": lambda: fresh_experiment().run_experiment_until_convergence_in_place(),
    "experiment, shapes stop": lambda: ludovec.Experiment(
        STATE, OPT24, 5
    ).run_experiment_until_convergence_in_place(),
    "experiment, wrong argument": lambda: ludovec.Experiment(STATE, ludovec.Ogda(0.1, 2), 5),
    "result getters": lambda: (RESULT.x_history, RESULT.y_history, RESULT.gaps_history),
    "output getters": lambda: (
        SCATTERED.norms,
        SCATTERED.metrics,
        CONCENTRIC.metrics,
        CONCENTRIC.slice_boundaries,
    ),
    "scattered": lambda: ludovec.scattered_exploration(
        BIG, OPT24, 2, 30, INNER, OUTER, "max", METRIC
    ),
    "scattered, empty band stops": lambda: ludovec.scattered_exploration(
        BIG, OPT24, 2, 30, OUTER, INNER, "max", METRIC
    ),
    "scattered, unknown name": lambda: ludovec.scattered_exploration(
        BIG, OPT24, 2, 30, INNER, OUTER, "max", "nope"
    ),
    "scattered, last argument wrong": lambda: ludovec.scattered_exploration(
        BIG, OPT24, 2, 30, INNER, OUTER, "max", METRIC, None
    ),
    "concentric": lambda: ludovec.concentric_exploration(
        BIG, OPT24, 4, 30, INNER, OUTER, 2, METRIC
    ),
    "concentric, no slices stops": lambda: ludovec.concentric_exploration(
        BIG, OPT24, 4, 30, INNER, OUTER, 0, METRIC
    ),
    "neighborhood": lambda: ludovec.neighborhood_exploration(STACK, OPT, 20, True),
    "neighborhood, shapes stop": lambda: ludovec.neighborhood_exploration(STACK3, OPT, 20, True),
    "neighborhood, wrong argument": lambda: ludovec.neighborhood_exploration(STACK, OPT, 20, 1),
}
WATCHED = [
    GAME,
    BIG,
    STACK,
    STACK3,
    X,
    Y,
    NAN_X,
    OPT,
    OPT24,
    METRIC,
    INNER,
    OUTER,
    STATE,
    RESULT,
    SCATTERED,
    CONCENTRIC,
    SCATTERED.norms,
    SCATTERED.metrics,
    CONCENTRIC.metrics,
    CONCENTRIC.slice_boundaries,
    CAUSED,
    Caused.cause,
]


def call_quietly(call):
    with contextlib.suppress(
        TypeError, OverflowError, ValueError, RuntimeError, MemoryError, PANIC
    ):
        call()


@pytest.mark.parametrize("name", CALLS)
def test_repeated_calls_leak_nothing(name):
    call = CALLS[name]
    for _ in range(200):  # caches, the worker pool and the allocator settle first
        call_quietly(call)
    gc.collect()
    refs = [sys.getrefcount(o) for o in WATCHED]
    rss = resident_bytes()
    tracemalloc.start()
    try:
        traced = tracemalloc.get_traced_memory()[0]
        for _ in range(2000):
            call_quietly(call)
        gc.collect()
        python_growth = tracemalloc.get_traced_memory()[0] - traced
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in WATCHED] == refs
    assert python_growth < 64 << 10  # under 32 bytes per call
    if not SANITIZED:
        assert resident_bytes() - rss < 4 << 20  # under 2 KiB per call


def test_a_prefixed_argument_error_keeps_its_cause():
    with pytest.raises(TypeError, match=r"^argument 'dim': not today$") as info:
        ludovec.Optimizer.ogda(0.1, CAUSED)
    assert info.value.__cause__ is Caused.cause


# ----------------------------------------------------------------------- memory exhaustion

# Each request needs far more memory than this machine has (most of them more than 2**40
# bytes). Outside the sanitizer the child also runs under an address-space limit, so that no
# request could be granted by overcommit and then filled until the OOM killer strikes.
HUGE = {
    "dim": "ludovec.Optimizer.omwuoftrl(0.1, 2**32 - 1)",
    "dim of a variant class": "ludovec.Ogda(0.1, 2**32 - 1)",
    "broadcast strategy": "ludovec.GameState(np.broadcast_to(0.5, (2**40,)), Y, GAME)",
    "broadcast matrix": "ludovec.GameState(Y, Y, np.broadcast_to(0.0, (2**20, 2**20)))",
    "num_steps of an experiment": """ludovec.Experiment(
        ludovec.GameState(np.ones(1024), np.ones(1024), np.zeros((1024, 1024))),
        ludovec.Optimizer.omwuoftrl(0.1, 1024), 2**32 - 1
    ).run_experiment_until_convergence_in_place()""",
    "broadcast base matrix": """ludovec.scattered_exploration(
        np.broadcast_to(0.0, (2**20, 2**20)), OPT, 1, 1, 0.0, 1.0, "max", "max_last")""",
    "num_exploration": """ludovec.scattered_exploration(
        GAME, OPT, 2**32 - 1, 1, 0.0, 1.0, "max", "max_last")""",
    "num_steps of the random runs": """ludovec.scattered_exploration(
        np.zeros((512, 512)), ludovec.Optimizer.ogda(0.1, 512), 2, 2**32 - 1, 0.0, 1.0, "max",
        "max_last")""",
    "num_slices": """ludovec.concentric_exploration(
        GAME, OPT, 0, 1, 0.0, 1.0, 2**32 - 1, "max_last")""",
    "num_exploration in one slice": """ludovec.concentric_exploration(
        GAME, OPT, 2**32 - 1, 1, 0.0, 1.0, 1, "max_last")""",
    "num_steps of a stack": """ludovec.neighborhood_exploration(
        np.zeros((4096, 2, 2)), OPT, 2**32 - 1, False)""",
    "broadcast stack": """ludovec.neighborhood_exploration(
        np.broadcast_to(0.0, (2**38, 2, 2)), OPT, 1, False)""",
}

CHILD = """
import resource
if {cap}:
    resource.setrlimit(resource.RLIMIT_AS, ({cap}, {cap}))
try:
    with open("/proc/self/oom_score_adj", "w") as f:
        f.write("1000")  # should anything go wrong, this process and nothing else goes
except OSError:
    pass
import numpy as np, ludovec
GAME, Y = np.array([[2.0, -1.0], [-1.0, 1.0]]), np.array([0.5, 0.5])
OPT = ludovec.Optimizer.ogda(0.1, 2)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
refusal = ""
try:
    {call}
    print("returned")
except MemoryError as exc:
    print("MemoryError")
    refusal = str(exc)
grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
print("peak grew by", grown >> 10, "MiB")
out = ludovec.scattered_exploration(GAME, OPT, 8, 8, 0.0, 1.0, "max", "max_last")
res = ludovec.neighborhood_exploration(np.stack([GAME] * 3), OPT, 8, True)
print("usable", out.metrics.shape, len(res), res[2].x_history.shape)
print("refusal:", refusal)
"""

# What was refused, how much it needed, against how much the process could obtain.
REFUSAL = re.compile(
    r"refusal: refused .+: it needs at least [0-9.]+ [KMGTPE]iB, and this "
    r"process can obtain at most [0-9.]+ ([KMGTPE]iB|bytes) \(.+\)"
)


def run_child(call, cap):
    code = CHILD.format(cap=0 if SANITIZED else cap, call=textwrap.indent(call, "    ").strip())
    result = run_python(code)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout.splitlines()


@pytest.mark.parametrize("name", HUGE)
def test_huge_requests_raise_memory_error_and_leave_the_interpreter_usable(name):
    lines = run_child(HUGE[name], 16 << 30)
    assert lines[0] == "MemoryError"
    assert int(lines[1].split()[3]) < 256  # refused before any of it was touched
    assert lines[2] == "usable (8,) 3 (8, 2)"
    assert REFUSAL.fullmatch(lines[3]), lines[3]


@pytest.mark.skipif(SANITIZED, reason="the address-space limit cannot be set under the sanitizer")
@pytest.mark.parametrize(
    "call",
    [
        # Three histories of 2 GiB each: any one of them fits under the limit, all three do not.
        """ludovec.Experiment(ludovec.GameState(Y[:1], Y[:1], GAME[:1, :1]),
        ludovec.Optimizer.omwuoftrl(0.1, 1), 2**28).run_experiment_until_convergence_in_place()""",
        """ludovec.neighborhood_exploration(np.zeros((2, 2, 2)), OPT, 2**27, False)""",
    ],
)
def test_requests_that_fit_only_piece_by_piece_are_refused_up_front(call):
    """Without a look at the whole request, the first pieces would be allocated and filled with
    zeros before the last one fails: under overcommit, the OOM killer ends the process then."""
    lines = run_child(call, 5 << 30)
    assert lines[0] == "MemoryError"
    assert int(lines[1].split()[3]) < 256
    assert REFUSAL.fullmatch(lines[3]), lines[3]


@pytest.mark.skipif(SANITIZED, reason="the address-space limit cannot be set under the sanitizer")
@pytest.mark.parametrize(
    "call",
    [
        # Small square games run four runs per worker side by side, each with its own gap history:
        # here 2 GiB each with the whole history as the tail.
        """ludovec.scattered_exploration(GAME, OPT, 1, 2**28, 0.1, 0.2, "max", "var_last", 1.0)""",
        """ludovec.concentric_exploration(GAME, OPT, 1, 2**28, 0.1, 0.2, 1, "max_last", 2.0)""",
    ],
)
def test_explorations_of_small_games_count_every_run_side_by_side(call):
    lines = run_child(call, 5 << 30)
    assert lines[0] == "MemoryError"
    assert int(lines[1].split()[3]) < 256
    assert REFUSAL.fullmatch(lines[3]), lines[3]
