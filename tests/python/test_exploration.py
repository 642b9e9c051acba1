"""The three exploration functions and their output classes."""

import math
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import ludovec

from support import interruptible, kept, panic_exception, raises_exactly, run, run_python, state

PENNIES = np.array([[1.0, -1.0], [-1.0, 1.0]])


def scattered(
    a=PENNIES,
    optimizer=None,
    runs=20,
    steps=50,
    inner=0.1,
    outer=0.2,
    norm="max",
    metric="max_last",
    **kw,
):
    optimizer = optimizer or ludovec.Optimizer.ogda(0.1, a.shape[0])
    return ludovec.scattered_exploration(
        a, optimizer, runs, steps, inner, outer, norm, metric, **kw
    )


def concentric(
    a=PENNIES,
    optimizer=None,
    runs=20,
    steps=50,
    inner=0.0,
    outer=1.0,
    slices=4,
    metric="var_last",
    **kw,
):
    optimizer = optimizer or ludovec.Optimizer.ogda(0.1, a.shape[0])
    return ludovec.concentric_exploration(
        a, optimizer, runs, steps, inner, outer, slices, metric, **kw
    )


@pytest.mark.parametrize("runs", [0, 1, 37])
def test_scattered_gives_one_norm_and_metric_per_run(runs):
    out = scattered(runs=runs)
    assert out.norms.shape == out.metrics.shape == (runs,)
    assert out.norms.dtype == out.metrics.dtype == np.float64


@pytest.mark.parametrize("runs, slices, per_slice", [(100, 8, 12), (5, 10, 0), (10, 3, 3)])
def test_concentric_shapes(runs, slices, per_slice):
    out = concentric(runs=runs, slices=slices)
    assert out.slice_boundaries.shape == (slices, 2)
    assert out.metrics.shape == (slices, per_slice)


def test_concentric_boundaries_cut_the_band_evenly():
    out = concentric(slices=4)
    assert out.slice_boundaries.tolist() == [[0.0, 0.25], [0.25, 0.5], [0.5, 0.75], [0.75, 1.0]]


def test_outputs_hand_out_their_stored_arrays():
    out = scattered()
    assert out.norms is out.norms and out.metrics is out.metrics
    out.norms[0] = -1.0
    assert out.norms[0] == -1.0
    c = concentric()
    assert c.slice_boundaries is c.slice_boundaries and c.metrics is c.metrics
    for cls in (ludovec.PyScatteredOutput, ludovec.PyConcentricOutput):
        with raises_exactly(TypeError, f"No constructor defined for {cls.__name__}"):
            cls()


@pytest.mark.parametrize("norm", ["max", "MAX", "Infinity", "FROBENIUS"])
def test_norm_names_ignore_case(norm):
    assert scattered(norm=norm).norms.shape == (20,)


@pytest.mark.parametrize(
    "norm, metric, error",
    [
        ("inf", "max_last", "Unknown norm type. Use 'max', 'infinity', or 'frobenius'"),
        ("inf", "Foo", "Unknown metric method: Foo"),
        ("max", "max_last_5", "Unknown metric method: max_last_5"),
    ],
)
def test_unknown_names_are_value_errors_metric_first(norm, metric, error):
    with raises_exactly(ValueError, error):
        scattered(norm=norm, metric=metric)


def test_type_errors_come_before_unknown_names():
    with raises_exactly(TypeError, "argument 'cutoff': must be real number, not NoneType"):
        scattered(norm="nope", metric="nope", cutoff=None)


def test_missing_cutoff_is_one_tenth():
    # A perturbation of 1e-300 leaves the game as it is, so the runs are deterministic; their
    # gaps fall, so a longer tail has a larger maximum.
    opt = ludovec.Optimizer.ogda(0.01, 2)
    a = np.array([[2.0, -1.0], [-1.0, 1.0]])

    def metric(**kw):
        return scattered(
            a=a, optimizer=opt, runs=1, steps=20, inner=0.0, outer=1e-300, **kw
        ).metrics[0]

    assert metric() == metric(cutoff=0.1) != metric(cutoff=0.5)


@pytest.mark.parametrize(
    "call, words",
    [
        (lambda: scattered(inner=0.3, outer=0.3), "EmptyRange"),
        (lambda: scattered(inner=0.3, outer=0.1), "EmptyRange"),
        (lambda: scattered(inner=math.nan), "EmptyRange"),
        (lambda: scattered(outer=math.inf), "NonFinite"),
        (lambda: concentric(inner=1.0, outer=0.0), "EmptyRange"),
        (lambda: concentric(slices=0), "attempt to divide by zero"),
        (lambda: scattered(runs=3, cutoff=-0.5), "beyond"),
        (
            lambda: scattered(
                a=np.zeros((0, 2)), runs=0, optimizer=ludovec.Optimizer.omwuoftrl(0.1, 0)
            ),
            "unable to build x",
        ),
        (lambda: scattered(a=np.zeros((2, 0)), runs=0), "unable to build y"),
    ],
)
def test_impossible_explorations_stop_with_panic(call, words):
    with pytest.raises(panic_exception(), match=words):
        call()


def test_optimizer_arguments_are_cloned_and_must_be_optimizers():
    with raises_exactly(
        TypeError, "argument 'optimizer': 'Ogda' object cannot be converted to 'Optimizer'"
    ):
        scattered(optimizer=ludovec.Ogda(0.1, 2))
    with raises_exactly(
        TypeError, "argument 'optimizer': 'Ogda' object cannot be converted to 'Optimizer'"
    ):
        ludovec.neighborhood_exploration(np.stack([PENNIES]), ludovec.Ogda(0.1, 2), 3, False)
    a = np.array([[2.0, -1.0], [-1.0, 1.0]])
    used, fresh = (ludovec.Optimizer.omwuoomd(0.1, 2) for _ in range(2))
    scattered(optimizer=used)
    concentric(optimizer=used)
    ludovec.neighborhood_exploration(np.stack([a]), used, 30, False)
    after = run(state([1, 0], [0.5, 0.5], a), used, 30)
    expected = run(state([1, 0], [0.5, 0.5], a), fresh, 30)
    assert np.array_equal(after.x_history, expected.x_history)


def test_too_many_positional_arguments():
    args = (PENNIES, ludovec.Optimizer.ogda(0.1, 2), 1, 1, 0.1, 0.2, "max", "max_last", 0.1, 0)
    with raises_exactly(
        TypeError,
        "scattered_exploration() takes from 8 to 9 positional arguments but 10 were given",
    ):
        ludovec.scattered_exploration(*args)


@pytest.mark.parametrize("normalize", [True, False, np.True_, np.False_])
def test_neighborhood_matches_single_runs_in_input_order(normalize):
    rng = np.random.default_rng(5)
    stack = rng.standard_normal((6, 2, 2))
    stack[3] = stack[1]
    opt = ludovec.Optimizer.omwuoftrl(0.05, 2)
    results = ludovec.neighborhood_exploration(stack, opt, 200, normalize)
    assert len(results) == 6
    for matrix, result in zip(stack, results, strict=True):
        if normalize:
            matrix = (matrix - matrix.min()) / (matrix.max() - matrix.min())
        single = run(
            state([0.5, 0.5], [0.5, 0.5], matrix), ludovec.Optimizer.omwuoftrl(0.05, 2), 200
        )
        assert np.array_equal(result.gaps_history, single.gaps_history)
        assert np.array_equal(result.y_history, single.y_history)
    assert np.array_equal(results[3].x_history, results[1].x_history)


def test_neighborhood_rescales_to_the_unit_range():
    stack = np.array([[[1.0, 3.0], [5.0, 9.0]]])
    opt = ludovec.Optimizer.ogda(0.1, 2)
    got = ludovec.neighborhood_exploration(stack, opt, 40, True)[0]
    want = run(
        state([0.5, 0.5], [0.5, 0.5], [[0, 0.25], [0.5, 1]]), ludovec.Optimizer.ogda(0.1, 2), 40
    )
    assert np.array_equal(got.gaps_history, want.gaps_history)


def test_neighborhood_starts_every_run_from_the_optimizer_as_it_is():
    a = np.array([[2.0, -1.0], [-1.0, 1.0]])

    def stepped():
        opt = ludovec.Optimizer.ogda(0.2, 2)
        run(state([1, 0], [0, 1], a), opt, 7)
        return opt

    results = ludovec.neighborhood_exploration(np.stack([a, a.T]), stepped(), 30, False)
    for matrix, result in zip([a, a.T], results, strict=True):
        single = run(state([0.5, 0.5], [0.5, 0.5], matrix), stepped(), 30)
        assert np.array_equal(result.x_history, single.x_history)


@pytest.mark.parametrize(
    "matrices, steps, error",
    [
        (PENNIES, 3, TypeError),
        (np.zeros((2, 3, 3)), 3, "not compatible for matrix multiplication"),
        (np.zeros((0, 2, 2)), 3, None),
        (np.zeros((2, 3, 3)), 0, None),
    ],
)
def test_neighborhood_stack_shapes(matrices, steps, error):
    opt = ludovec.Optimizer.ogda(0.1, 2)
    if error is TypeError:
        with raises_exactly(
            TypeError,
            "argument 'matrices': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
        ):
            ludovec.neighborhood_exploration(matrices, opt, steps, False)
    elif error:
        with pytest.raises(panic_exception(), match=error):
            ludovec.neighborhood_exploration(matrices, opt, steps, False)
    else:
        assert len(ludovec.neighborhood_exploration(matrices, opt, steps, False)) == len(matrices)


def test_normalize_matrix_must_be_a_boolean():
    with raises_exactly(
        TypeError, "argument 'normalize_matrix': 'int' object cannot be converted to 'PyBool'"
    ):
        ludovec.neighborhood_exploration(np.stack([PENNIES]), ludovec.Optimizer.ogda(0.1, 2), 3, 1)


def test_caller_arrays_are_read_through_any_strides_and_left_alone():
    base = np.arange(16.0).reshape(4, 4)[::2, ::-2].T  # 2 x 2, negative and doubled strides
    before = base.copy()
    out = scattered(a=base, runs=50, inner=0.5, outer=0.5 + 1e-9, norm="max")
    assert np.array_equal(base, before)
    assert np.all((out.norms >= 0.5) & (out.norms <= 0.5 + 1e-9))
    stack = np.arange(24.0).reshape(2, 3, 4)[:, 1:, ::-3]  # (2, 2, 2), non-contiguous
    got = ludovec.neighborhood_exploration(stack, ludovec.Optimizer.ogda(0.1, 2), 20, False)
    for matrix, result in zip(stack, got, strict=True):
        want = run(
            state([0.5, 0.5], [0.5, 0.5], np.ascontiguousarray(matrix)),
            ludovec.Optimizer.ogda(0.1, 2),
            20,
        )
        assert np.array_equal(result.gaps_history, want.gaps_history)


def ks_statistic(sample, cdf):
    sample = np.sort(sample)
    n = sample.size
    f = cdf(sample)
    return max(np.max(np.arange(1, n + 1) / n - f), np.max(f - np.arange(n) / n))


def test_max_norms_follow_the_distribution_of_the_largest_magnitude(tmp_path):
    # Each of the four entries has a magnitude uniform in [lo, hi]: the max norm has CDF u**4.
    lo, hi, runs = 0.2, 0.7, 4000
    out = scattered(runs=runs, steps=1, inner=lo, outer=hi, norm="max")
    assert np.all((out.norms >= lo) & (out.norms <= hi))
    d = ks_statistic(out.norms, lambda v: ((v - lo) / (hi - lo)) ** 4)
    # Beyond the 1e-5 critical value (about 2.47): a faulty draw moves the statistic far more,
    # while a correct one crosses 2.0 about once in 1,500 runs.
    assert d * math.sqrt(runs) < 2.5, kept(tmp_path / "norms.npz", norms=out.norms)


def test_one_and_two_workers_draw_the_same_distribution(tmp_path):
    code = textwrap.dedent("""
        import numpy as np, ludovec
        out = ludovec.scattered_exploration(np.zeros((2, 2)), ludovec.Optimizer.ogda(0.1, 2),
                                            3000, 1, 0.0, 1.0, "frobenius", "max_last")
        print(" ".join(map(repr, out.norms.tolist())))
    """)
    samples = []
    for workers in ("1", "2"):
        env = {"RAYON_NUM_THREADS": workers}
        result = run_python(code, env)
        assert result.returncode == 0, result.stderr
        samples.append(np.array([float(v) for v in result.stdout.split()]))
    a, b = np.sort(samples[0]), np.sort(samples[1])
    grid = np.concatenate([a, b])
    d = np.max(
        np.abs(
            np.searchsorted(a, grid, "right") / a.size - np.searchsorted(b, grid, "right") / b.size
        )
    )
    assert d * math.sqrt(a.size * b.size / (a.size + b.size)) < 2.5, kept(
        tmp_path / "norms.npz", one_worker=samples[0], two_workers=samples[1]
    )


@pytest.mark.slow
def test_ctrl_c_interrupts_a_long_exploration_and_the_next_call_works():
    code = textwrap.dedent("""
        import sys, time, numpy as np, ludovec
        a = np.array([[2.0, -1.0], [-1.0, 1.0]])
        opt = ludovec.Optimizer.ogda(1e-4, 2)
        print("ready", flush=True)
        t0 = time.perf_counter()
        try:
            ludovec.scattered_exploration(a, opt, 1_000_000, 10_000, 0.0, 1e-9, "max", "max_last")
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", time.perf_counter() - t0, flush=True)
        out = ludovec.scattered_exploration(a, opt, 10, 10, 0.0, 1.0, "max", "max_last")
        print("after", out.norms.shape)
    """)
    env = dict(os.environ, PYTHONPATH=os.path.dirname(ludovec.__file__))
    proc = subprocess.Popen(
        [sys.executable, "-c", code],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
        preexec_fn=interruptible,
    )
    assert proc.stdout.readline().strip() == "ready"
    time.sleep(0.5)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    lines = out.splitlines()
    assert lines[0].startswith("interrupted"), out + err
    assert float(lines[0].split()[1]) < 30  # it did not wait for the million runs
    assert lines[1] == "after (10,)"
