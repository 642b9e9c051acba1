"""Experiment end to end: in-place runs, continuation, sharing, stops, and resource use."""

import gc
import sys

import numpy as np
import pytest

import ludovec

from support import panic_exception, raises_exactly, run, run_python, state

FACTORIES = [ludovec.Optimizer.ogda, ludovec.Optimizer.omwuoomd, ludovec.Optimizer.omwuoftrl]
factories = pytest.mark.parametrize("factory", FACTORIES, ids=lambda f: f.__name__)

# Rock-paper-scissors with a bias: no pure equilibrium, so runs do not converge quickly.
RPS = np.array([[0.0, 1.0, -1.0], [-1.0, 0.0, 1.0], [1.0, -1.5, 0.0]])


def rps_state():
    return state([0.6, 0.3, 0.1], [0.2, 0.2, 0.6], RPS)


def gaps_of(x_history, y_history, a):
    """Duality gap of each recorded pair: max over columns of A^T x minus min over rows of A y."""
    return np.array(
        [np.max(a.T @ x) - np.min(a @ y) for x, y in zip(x_history, y_history, strict=True)]
    )


@factories
def test_histories_start_from_the_state_and_record_the_gap_of_each_row(factory):
    result = run(rps_state(), factory(0.1, 3), 25)
    np.testing.assert_allclose(result.x_history[0], [0.6, 0.3, 0.1], rtol=0, atol=1e-15)
    np.testing.assert_allclose(result.y_history[0], [0.2, 0.2, 0.6], rtol=0, atol=1e-15)
    np.testing.assert_allclose(
        result.gaps_history,
        gaps_of(result.x_history, result.y_history, RPS),
        rtol=1e-12,
        atol=1e-14,
    )
    assert not np.array_equal(result.x_history[0], result.x_history[-1])


@factories
def test_a_second_run_continues_state_and_optimizer(factory):
    whole = run(rps_state(), factory(0.1, 3), 9)

    game, optimizer = rps_state(), factory(0.1, 3)
    experiment = ludovec.Experiment(game, optimizer, 4)
    first = experiment.run_experiment_until_convergence_in_place()
    second = ludovec.Experiment(game, optimizer, 5).run_experiment_until_convergence_in_place()
    for name in ("x_history", "y_history", "gaps_history"):
        np.testing.assert_array_equal(getattr(first, name), getattr(whole, name)[:4])
        np.testing.assert_array_equal(getattr(second, name), getattr(whole, name)[4:])
    # Repeated calls on one Experiment continue too.
    third = experiment.run_experiment_until_convergence_in_place()
    assert not np.array_equal(third.x_history[0], first.x_history[0])


def test_two_experiments_sharing_a_state_continue_one_after_the_other():
    shared = rps_state()
    one = ludovec.Experiment(shared, ludovec.Optimizer.ogda(0.1, 3), 3)
    two = ludovec.Experiment(shared, ludovec.Optimizer.omwuoftrl(0.1, 3), 2)
    reference = run(rps_state(), ludovec.Optimizer.ogda(0.1, 3), 4)

    one.run_experiment_until_convergence_in_place()
    second = two.run_experiment_until_convergence_in_place()
    # The strategies the first run left behind are those a fourth step would have seen.
    np.testing.assert_array_equal(second.x_history[0], reference.x_history[3])
    np.testing.assert_array_equal(second.y_history[0], reference.y_history[3])


@factories
def test_zero_steps_give_empty_histories_and_change_nothing(factory):
    game, optimizer = rps_state(), factory(0.1, 3)
    empty = run(game, optimizer, 0)
    assert empty.x_history.shape == (0, 3)
    assert empty.y_history.shape == (0, 3)
    assert empty.gaps_history.shape == (0,)
    after = run(game, optimizer, 6)
    fresh = run(rps_state(), factory(0.1, 3), 6)
    np.testing.assert_array_equal(after.x_history, fresh.x_history)
    np.testing.assert_array_equal(after.gaps_history, fresh.gaps_history)


@pytest.mark.parametrize(
    "optimizer",
    [ludovec.Ogda(0.1, 2), ludovec.OmwuOomd(0.1, 2), ludovec.OmwuOftrl(0.1, 2)],
    ids=lambda o: type(o).__name__,
)
def test_variant_objects_are_not_optimizers(optimizer):
    name = type(optimizer).__name__
    with raises_exactly(
        TypeError, f"argument 'optimizer': '{name}' object cannot be converted to 'Optimizer'"
    ):
        ludovec.Experiment(rps_state(), optimizer, 100)


@pytest.mark.parametrize(
    "game, type_name",
    [
        (np.eye(2), "ndarray"),
        (ludovec.Optimizer.ogda(0.1, 2), "Optimizer"),
        (None, "NoneType"),
    ],
)
def test_state_must_be_a_game_state(game, type_name):
    with raises_exactly(
        TypeError, f"argument 'state': '{type_name}' object cannot be converted to 'GameState'"
    ):
        ludovec.Experiment(game, ludovec.Optimizer.ogda(0.1, 2), 1)


def test_negative_step_count_is_an_unprefixed_overflow():
    with raises_exactly(OverflowError, "can't convert negative int to unsigned"):
        ludovec.Experiment(rps_state(), ludovec.Optimizer.ogda(0.1, 3), -1)


def test_a_stop_mid_run_releases_the_borrows_and_keeps_the_objects_usable():
    nan_game = state([0.5, 0.5], [0.5, 0.5], [[np.nan, 0.0], [0.0, 1.0]])
    optimizer = ludovec.Optimizer.ogda(0.1, 2)
    experiment = ludovec.Experiment(nan_game, optimizer, 5)
    for _ in range(2):
        with raises_exactly(panic_exception(), "NaN encountered"):
            experiment.run_experiment_until_convergence_in_place()
    assert np.isnan(nan_game.a[0, 0])  # shared borrow of the state succeeds
    # The optimizer runs elsewhere afterwards.
    assert run(state([0.5, 0.5], [0.5, 0.5], np.eye(2)), optimizer, 2).gaps_history.shape == (2,)


def test_experiment_keeps_its_objects_alive_and_releases_them():
    game, optimizer = rps_state(), ludovec.Optimizer.ogda(0.1, 3)
    before = sys.getrefcount(game), sys.getrefcount(optimizer)
    experiment = ludovec.Experiment(game, optimizer, 3)
    assert (sys.getrefcount(game), sys.getrefcount(optimizer)) == (before[0] + 1, before[1] + 1)
    del experiment
    assert (sys.getrefcount(game), sys.getrefcount(optimizer)) == before

    experiment = ludovec.Experiment(rps_state(), ludovec.Optimizer.ogda(0.1, 3), 3)
    gc.collect()
    assert experiment.run_experiment_until_convergence_in_place().gaps_history.shape == (3,)


def test_repeated_runs_and_failed_calls_leak_no_references():
    game, optimizer = rps_state(), ludovec.Optimizer.omwuoomd(0.1, 3)
    experiment = ludovec.Experiment(game, optimizer, 4)
    bad_game = state([0.5, 0.5], [0.5, 0.5], [[np.nan, 0.0], [0.0, 1.0]])
    bad = ludovec.Experiment(bad_game, ludovec.Optimizer.ogda(0.1, 2), 3)

    def exercise():
        result = experiment.run_experiment_until_convergence_in_place()
        _ = result.x_history, result.y_history, result.gaps_history, game.a
        for failing in (
            bad.run_experiment_until_convergence_in_place,
            lambda: ludovec.Experiment(game, optimizer, -1),
            lambda: ludovec.Experiment(game, ludovec.Ogda(0.1, 3), 1),
            lambda: ludovec.GameState(game, 2, 3),
            lambda: ludovec.Optimizer.ogda(0.1, dim=2, zz=3),
        ):
            try:
                failing()
            except BaseException:
                pass
            else:
                raise AssertionError("the call should have failed")

    exercise()
    gc.collect()
    counts = [sys.getrefcount(o) for o in (game, optimizer, experiment, bad, bad_game)]
    blocks = sys.getallocatedblocks()
    for _ in range(1000):
        exercise()
    gc.collect()
    assert [sys.getrefcount(o) for o in (game, optimizer, experiment, bad, bad_game)] == counts
    assert sys.getallocatedblocks() - blocks < 50


def test_huge_requests_raise_memory_error_and_the_interpreter_lives_on():
    # Each asks for tens of GiB: more than the machine has, so MemoryError is expected; a
    # machine that grants it must still survive. Run apart so the suite cannot be harmed.
    result = run_python(
        "import numpy as np, ludovec\n"
        "for make in (ludovec.Optimizer.omwuoftrl, ludovec.Optimizer.ogda, ludovec.OmwuOomd):\n"
        "    try:\n"
        "        make(0.1, 2**32 - 1)\n"
        "        print('granted')\n"
        "    except MemoryError:\n"
        "        print('MemoryError')\n"
        "game = ludovec.GameState(np.ones(2), np.zeros(2), np.array([[0.0, 1.0], [-1.0, 0.0]]))\n"
        "opt = ludovec.Optimizer.ogda(0.1, 2)\n"
        "try:\n"
        "    ludovec.Experiment(game, opt, 2**32 - 1).run_experiment_until_convergence_in_place()\n"
        "    print('granted')\n"
        "except MemoryError:\n"
        "    print('MemoryError')\n"
        "r = ludovec.Experiment(game, opt, 1).run_experiment_until_convergence_in_place()\n"
        "print(r.x_history[0].tolist())\n"
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert set(lines[:4]) <= {"MemoryError", "granted"}
    assert lines[4] == "[0.5, 0.5]"  # the failed run changed nothing
