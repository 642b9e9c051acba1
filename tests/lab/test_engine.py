"""The study layer's native entry against the module's runs, a NumPy rendering, and itself."""

import functools
import math
import operator
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import ludovec
from ludovec_lab import _engine

DYNAMICS = ["ogda", "omwuoomd", "omwuoftrl"]
TINY = 5e-324  # every draw of the band [0, TINY) is 0 or TINY: nonzero entries absorb it
GAMES = [
    np.array([[0.5, -1.0], [-2.0, 1.5]]),
    np.array([[0.3, -1.2, 0.7], [1.1, 0.2, -0.4], [-0.9, 0.8, 0.1]]),
]


def module_run(a, x0, y0, dynamic, eta, num_steps):
    """The module's Experiment: its histories, and steps / converged / final gap as run_batch."""
    optimizer = getattr(ludovec.Optimizer, dynamic)(eta, len(a))
    state = ludovec.GameState(x0, y0, a)
    r = ludovec.Experiment(state, optimizer, num_steps).run_experiment_until_convergence_in_place()
    below = np.flatnonzero(r.gaps_history < 1e-8)
    steps = int(below[0]) + 1 if below.size else num_steps
    return r, steps, bool(below.size), r.gaps_history[steps - 1]


def uniform(n):
    return np.full(n, 1.0 / n)


@pytest.mark.parametrize("metric", ["max_last", "var_last", "total_var"])
@pytest.mark.parametrize("dynamic", DYNAMICS)
@pytest.mark.parametrize("a", GAMES, ids=["2x2", "3x3"])
def test_records_equal_the_modules_runs_and_metrics(a, dynamic, metric):
    eta, num_steps, m = 0.05, 900, len(a)
    got = _engine.run_batch(
        dynamic=dynamic, eta=eta, num_steps=num_steps, base=a, seed=3, count=3,
        inner=0.0, outer=TINY, metric=metric, cutoff=0.3,
    )  # fmt: skip
    _, steps, converged, final_gap = module_run(a, uniform(m), uniform(m), dynamic, eta, num_steps)
    # The module's metric of the same run: an exploration whose draws vanish in the entries.
    optimizer = getattr(ludovec.Optimizer, dynamic)(eta, m)
    out = ludovec.scattered_exploration(a, optimizer, 3, num_steps, 0.0, TINY, "max", metric, 0.3)
    np.testing.assert_array_equal(got["steps"], steps)
    np.testing.assert_array_equal(got["converged"], converged)
    np.testing.assert_array_equal(got["final_gap"], final_gap)
    np.testing.assert_array_equal(got["metric"], out.metrics)
    assert (got["norm_max"] <= TINY).all()
    assert got["steps"].dtype == np.int64 and got["converged"].dtype == np.bool_


@pytest.mark.parametrize("dynamic", DYNAMICS)
def test_given_starts_and_kept_steps_follow_the_modules_histories(dynamic):
    rng = np.random.default_rng(5)
    stack = rng.uniform(-1, 1, (5, 3, 3))
    x0 = rng.uniform(0.1, 1, (5, 3))  # projected onto the simplex, as GameState projects
    y0 = rng.uniform(0.1, 1, 3)  # one start shared by every run
    keep_steps = [1, 2, 40, 700, 10**6]
    got = _engine.run_batch(
        dynamic=dynamic, eta=0.3, num_steps=800, stack=stack, x0=x0, y0=y0,
        keep=np.array([0, 3]), keep_steps=np.array(keep_steps), tolerances=[1e-2, 1e-30],
    )  # fmt: skip
    assert np.isnan(got["norm_frobenius"]).all()
    for k in range(5):
        r, steps, converged, final_gap = module_run(stack[k], x0[k], y0, dynamic, 0.3, 800)
        assert (got["steps"][k], got["converged"][k]) == (steps, converged)
        assert got["final_gap"][k] == final_gap
        if k not in (0, 3):
            continue
        kept = got["kept"][[0, 3].index(k)]
        rows = [s - 1 for s in keep_steps if s < steps] + [steps - 1]
        np.testing.assert_array_equal(kept["step"], np.array(rows) + 1)
        np.testing.assert_array_equal(kept["gap"], r.gaps_history[rows])
        np.testing.assert_array_equal(kept["x"], r.x_history[rows])
        np.testing.assert_array_equal(kept["y"], r.y_history[rows])
        np.testing.assert_array_equal(kept["x_final"], r.x_history[steps - 1])
        np.testing.assert_array_equal(kept["y_final"], r.y_history[steps - 1])
        for tol, first in zip([1e-2, 1e-30], kept["tolerance_steps"], strict=True):
            below = np.flatnonzero(r.gaps_history[:steps] < tol)
            assert first == (below[0] + 1 if below.size else -1)


def project(v):
    u = np.sort(v)[::-1]
    css = np.cumsum(u)
    rho = np.flatnonzero(u - (css - 1) / np.arange(1, len(v) + 1) > 0)[-1]
    return np.maximum(v - (css[rho] - 1) / (rho + 1), 0)


def numpy_run(dynamic, a, eta, num_steps):
    """The three step rules on an m x n game, written plainly: gaps and strategies per step."""
    m, n = a.shape
    x, y = uniform(m), uniform(n)
    first, second = (np.zeros(m), np.zeros(n)) if dynamic == "omwuoftrl" else (x, y)
    gaps, xs, ys = [], [], []
    for _ in range(num_steps):
        gx, gy = a @ y, -(a.T @ x)
        gaps.append(-gy.min() - gx.min())
        xs.append(x)
        ys.append(y)
        if dynamic == "ogda":
            first, second = project(first - eta * gx), project(second - eta * gy)
            x, y = project(first - eta * gx), project(second - eta * gy)
        elif dynamic == "omwuoomd":
            ex, ey = (np.exp(-eta * g - (-eta * g).max()) for g in (gx, gy))
            first = ex * first + 2.0**-52
            second = ey * second + 2.0**-52
            first, second = first / first.sum(), second / second.sum()
            x, y = ex * first, ey * second
            x, y = x / x.sum(), y / y.sum()
        else:
            first, second = first + gx, second + gy
            lx, ly = -(first + gx) * eta, -(second + gy) * eta
            x, y = np.exp(lx - lx.max()), np.exp(ly - ly.max())
            x, y = x / x.sum(), y / y.sum()
    return np.array(gaps), np.array(xs), np.array(ys)


@pytest.mark.parametrize("dynamic", DYNAMICS)
@pytest.mark.parametrize("shape", [(2, 3), (4, 2)])
def test_rectangular_runs_follow_the_step_rules(shape, dynamic):
    a = np.random.default_rng(sum(shape)).uniform(-1, 1, shape)
    steps = [1, 2, 3, 10, 60]
    got = _engine.run_batch(
        dynamic=dynamic, eta=0.2, num_steps=60, stack=a[None], keep=[0], keep_steps=steps
    )
    gaps, xs, ys = numpy_run(dynamic, a, 0.2, 60)
    kept = got["kept"][0]
    below = np.flatnonzero(gaps < 1e-8)
    assert got["steps"][0] == (below[0] + 1 if below.size else 60)
    rows = kept["step"] - 1
    assert len(rows) >= 3 and kept["x"].shape == (len(rows), shape[0])
    np.testing.assert_allclose(kept["gap"], gaps[rows], rtol=1e-11, atol=1e-14)
    np.testing.assert_allclose(kept["x"], xs[rows], rtol=1e-11, atol=1e-14)
    np.testing.assert_allclose(kept["y"], ys[rows], rtol=1e-11, atol=1e-14)


def folded(values, start):
    """A plain left-to-right sum (the builtin sum compensates its rounding)."""
    return functools.reduce(operator.add, values, start)


def norms_of(p):
    """max, infinity and Frobenius norms folded in the module's order."""
    flat = [float(v) for v in p.ravel()]
    rows = [folded((abs(float(v)) for v in row), -0.0) for row in p]
    return max(map(abs, flat)), max(rows), math.sqrt(folded((v * v for v in flat), 0.0))


def test_perturbations_are_what_ran_whatever_the_split():
    base = np.array([[0.2, -0.4, 1.0], [0.6, -0.1, -0.8]])
    common = dict(dynamic="omwuoomd", eta=0.4, num_steps=400, base=base, seed=2**64 - 7)
    band = dict(inner=0.05, outer=0.3)
    whole = _engine.run_batch(**common, count=7, **band)
    parts = [_engine.run_batch(**common, first_run=f, count=c, **band) for f, c in [(0, 3), (3, 4)]]
    played = np.array([_engine.perturbation(seed=2**64 - 7, run=k, shape=(2, 3), **band)
                       for k in range(7)])  # fmt: skip
    replayed = _engine.run_batch(**{**common, "base": None, "seed": None}, stack=base + played)
    assert len(np.unique(played)) == played.size and 0.05 <= abs(played).min() < 0.3
    for key in ["steps", "converged", "final_gap", "metric"]:
        np.testing.assert_array_equal(np.concatenate([p[key] for p in parts]), whole[key])
        np.testing.assert_array_equal(replayed[key], whole[key])
    for k in range(7):
        got = (whole["norm_max"][k], whole["norm_infinity"][k], whole["norm_frobenius"][k])
        assert got == norms_of(played[k])


def test_normalized_stacks_are_rescaled_as_the_module_rescales():
    stack = np.random.default_rng(8).uniform(-3, 5, (4, 3, 2))
    lo, hi = stack.min(axis=(1, 2), keepdims=True), stack.max(axis=(1, 2), keepdims=True)
    common = dict(dynamic="ogda", eta=0.1, num_steps=300)
    got = _engine.run_batch(**common, stack=stack, normalize=True)
    want = _engine.run_batch(**common, stack=(stack - lo) / (hi - lo))
    plain = _engine.run_batch(**common, stack=stack)
    np.testing.assert_array_equal(got["final_gap"], want["final_gap"])
    assert not np.array_equal(got["final_gap"], plain["final_gap"])


# Hours of work: steps too small to converge; total_var holds no tail.
LONG = dict(dynamic="ogda", eta=1e-9, num_steps=2**32 - 1, base=np.diag(np.arange(1.0, 7.0)),
            seed=1, count=64, inner=0.5, outer=1.0, metric="total_var")  # fmt: skip


def test_progress_is_told_and_its_exception_cancels_the_batch():
    told = []
    _engine.run_batch(dynamic="ogda", eta=0.1, num_steps=500, stack=np.zeros((9, 2, 2)),
                      progress=told.append)  # fmt: skip
    assert told[-1] == 9 * 500 and told == sorted(told)

    def fail(done):
        raise LookupError(done)

    # Seconds of work if the exception were lost; it stops the batch at the first call.
    with pytest.raises(LookupError):
        _engine.run_batch(**{**LONG, "num_steps": 10**6}, progress=fail)


@pytest.mark.slow
def test_ctrl_c_cancels_a_batch_at_once():
    child = "\n".join([
        "import time",
        "from numpy import array",
        "from ludovec_lab import _engine",
        "print('ready', flush=True)",
        "try:",
        f"    _engine.run_batch(**{LONG!r})".replace("\n", " "),
        "except KeyboardInterrupt:",
        "    print(time.monotonic(), flush=True)",
    ])  # fmt: skip
    proc = subprocess.Popen([sys.executable, "-c", child], stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "ready\n"
        time.sleep(0.5)  # well inside the batch
        sent = time.monotonic()
        os.kill(proc.pid, signal.SIGINT)
        out, _ = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert float(out) - sent <= 0.25


@pytest.mark.parametrize(
    "change, error, text",
    [
        (dict(dynamic="sgd"), ValueError, "dynamic"),
        (dict(dynamic=3), TypeError, "dynamic"),
        (dict(eta="fast"), TypeError, "eta"),
        (dict(num_steps=-1), ValueError, "num_steps"),
        (dict(num_steps=2**32), ValueError, "num_steps"),
        (dict(num_steps=1.5), TypeError, "num_steps"),
        (dict(base=[[1.0, 2.0]]), TypeError, "base"),
        (dict(base=np.zeros((2, 2), np.float32)), TypeError, "base"),
        (dict(base=np.zeros((0, 2))), ValueError, "base"),
        (dict(seed=None), ValueError, "seed"),
        (dict(seed=2**64), ValueError, "seed"),
        (dict(outer=0.1), ValueError, "inner, outer"),
        (dict(x0=np.ones(3)), ValueError, "x0"),
        (dict(y0=np.array([np.nan, 1.0])), ValueError, "y0"),
        (dict(metric="median"), ValueError, "metric"),
        (dict(cutoff=-0.5), ValueError, "cutoff"),
        (dict(keep=[2, 1]), ValueError, "keep"),
        (dict(keep=[4]), ValueError, "keep"),
        (dict(keep_steps=[0]), ValueError, "keep_steps"),
        (dict(tolerances=["a"]), TypeError, "tolerances"),
        (dict(progress=5), TypeError, "progress"),
        (dict(stack=np.zeros((2, 2, 2))), ValueError, "stack"),
        (dict(normalize=True), ValueError, "normalize"),
        (dict(typo=1), TypeError, "typo"),
    ],
)
def test_bad_arguments_name_the_parameter(change, error, text):
    good = dict(dynamic="ogda", eta=0.1, num_steps=10, base=np.eye(2), seed=1, count=4,
                inner=0.1, outer=0.2)  # fmt: skip
    _engine.run_batch(**good)
    with pytest.raises(error, match=text):
        _engine.run_batch(**{**good, **change})


@pytest.mark.parametrize("dynamic", DYNAMICS)
@pytest.mark.parametrize("bad", [np.nan, np.inf])
def test_stops_raise_engine_error_with_the_modules_message(dynamic, bad):
    a = np.array([[bad, 1.0], [0.0, 1.0]])
    with pytest.raises(BaseException) as module:
        module_run(a, uniform(2), uniform(2), dynamic, 0.1, 10)
    with pytest.raises(_engine.EngineError) as engine:
        _engine.run_batch(dynamic=dynamic, eta=0.1, num_steps=10, stack=np.stack([np.eye(2), a]))
    assert str(engine.value) == str(module.value) and isinstance(engine.value, RuntimeError)
