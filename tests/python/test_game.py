"""GameState construction from NumPy arrays, and the copies GameState and GameResult hand out."""

import numpy as np
import pytest

import ludovec

from support import panic_exception, raises_exactly, run, state


def first_strategies(game):
    """The strategies the state holds, read from the first row of a one-step run."""
    dim = len(game.a)
    result = run(game, ludovec.Optimizer.omwuoftrl(0.1, dim), 1)
    return result.x_history[0], result.y_history[0]


@pytest.mark.parametrize(
    "given, stored",
    [
        ([2.0, 0.0], [1.0, 0.0]),
        ([0.5, 0.5], [0.5, 0.5]),
        ([-1.0, -1.0], [0.5, 0.5]),
        ([0.1, 0.9], [0.1, 0.9]),
        ([5.0, 3.0], [1.0, 0.0]),
        ([0.0, -0.0], [0.5, 0.5]),
    ],
)
def test_strategies_are_projected_onto_the_simplex(given, stored):
    x, y = first_strategies(state(given, given[::-1], np.eye(2)))
    np.testing.assert_array_equal(x, stored)
    np.testing.assert_array_equal(y, stored[::-1])


@pytest.mark.parametrize(
    "x, message",
    [
        ([np.nan, 1.0], "NaN encountered"),
        ([], "Issue computing theta"),
        ([np.inf, 0.0], "Issue computing theta"),
        ([np.nan], "Issue computing theta"),
    ],
)
def test_strategies_the_projection_refuses_stop_construction(x, message):
    with raises_exactly(panic_exception(), message):
        state(x, [0.5, 0.5], np.eye(2))
    with raises_exactly(panic_exception(), message):
        state([0.5, 0.5], x, np.eye(2))


def layouts_of(base):
    """Views holding the values of `base` in other memory layouts."""
    rows, cols = base.shape
    spread = np.zeros((2 * rows, 3 * cols))
    spread[::2, ::3] = base
    reversed_copy = base[::-1, ::-1].copy()
    raw = np.zeros(base.nbytes + 1, dtype=np.uint8)
    unaligned = np.frombuffer(raw.data, dtype=np.float64, count=base.size, offset=1)
    unaligned = unaligned.reshape(base.shape)
    unaligned[...] = base
    assert not unaligned.flags.aligned
    return {
        "c": base,
        "fortran": np.asfortranarray(base),
        "strided": spread[::2, ::3],
        "negative strides": reversed_copy[::-1, ::-1],
        "unaligned": unaligned,
        "zero strides": np.broadcast_to(base[:1], base.shape),
    }


@pytest.mark.parametrize(
    "layout", ["c", "fortran", "strided", "negative strides", "unaligned", "zero strides"]
)
def test_payoff_matrix_of_any_layout_is_read_as_its_values(layout):
    a = layouts_of(np.array([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]))[layout]
    np.testing.assert_array_equal(ludovec.GameState(np.ones(2), np.ones(3), a).a, np.array(a))


def test_strided_and_reversed_strategies_are_read_as_their_values():
    source = np.array([0.1, -5.0, 0.2, -5.0, 0.7])
    x, y = first_strategies(ludovec.GameState(source[::2], source[::-2], np.eye(3)))
    np.testing.assert_allclose(x, [0.1, 0.2, 0.7], rtol=0, atol=1e-15)
    np.testing.assert_allclose(y, [0.7, 0.2, 0.1], rtol=0, atol=1e-15)
    x, _ = first_strategies(ludovec.GameState(np.broadcast_to(2.0, (3,)), source[::2], np.eye(3)))
    np.testing.assert_allclose(x, [1 / 3] * 3, rtol=0, atol=1e-15)


def test_constructor_copies_and_never_writes_the_callers_arrays():
    x, y, a = np.array([2.0, 0.0]), np.array([0.5, 0.5]), np.eye(2)
    for arr in (x, y, a):
        arr.flags.writeable = False  # read-only arrays are fine: they are only read
    game = ludovec.GameState(x, y, a)
    np.testing.assert_array_equal(x, [2.0, 0.0])  # projected into the copy, not in place
    a2 = np.eye(2)
    game2 = ludovec.GameState(np.ones(2), np.ones(2), a2)
    a2[0, 0] = 9.0
    np.testing.assert_array_equal(game2.a, np.eye(2))
    np.testing.assert_array_equal(game.a, np.eye(2))


def test_attribute_a_is_a_fresh_writeable_copy():
    matrix = np.array([[1.0, -2.0, 3.5], [0.0, 4.0, -0.0]])
    game = ludovec.GameState(np.ones(2), np.ones(3), matrix)
    first, second = game.a, game.a
    assert first is not second
    assert first.dtype == np.float64 and first.shape == (2, 3)
    assert first.flags.writeable and first.flags.owndata
    np.testing.assert_array_equal(first, matrix)
    assert np.signbit(first[1, 2])  # -0.0 survives the copy
    first[0, 0] = 100.0
    np.testing.assert_array_equal(game.a, matrix)


@pytest.mark.parametrize("shape", [(0, 3), (2, 0), (0, 0)])
def test_empty_payoff_matrices_are_stored(shape):
    game = ludovec.GameState(np.ones(1), np.ones(1), np.zeros(shape))
    a = game.a
    assert a.shape == shape and a.dtype == np.float64


def test_strategies_are_not_attributes():
    game = state([1.0, 0.0], [0.5, 0.5], np.eye(2))
    for name in ("x", "y"):
        with pytest.raises(AttributeError):
            getattr(game, name)
        with pytest.raises(AttributeError):
            setattr(game, name, np.ones(2))


def test_mismatched_shapes_stop_at_the_first_run_and_the_state_stays_usable():
    game = state([0.5, 0.5], [1.0, 0.0, 0.0], np.eye(2))  # y has 3 entries, a 2 columns
    for _ in range(2):  # the second run proves both borrows were released
        with pytest.raises(panic_exception()) as info:
            run(game, ludovec.Optimizer.ogda(0.1, 2), 3)
        assert "are not compatible for matrix multiplication" in str(info.value)
    np.testing.assert_array_equal(game.a, np.eye(2))


@pytest.mark.parametrize("num_steps", [0, 1, 7])
def test_result_histories_are_fresh_copies_of_full_length(num_steps):
    # Every optimizer steps square games only; a rectangular one would stop.
    game = state(
        [0.5, 0.5, 0.0], [0.2, 0.3, 0.5], [[1.0, 0.0, 2.0], [0.0, 1.0, -1.0], [3.0, -2.0, 0.5]]
    )
    result = run(game, ludovec.Optimizer.omwuoftrl(0.1, 3), num_steps)
    assert type(result) is ludovec.GameResult
    shapes = {
        "x_history": (num_steps, 3),
        "y_history": (num_steps, 3),
        "gaps_history": (num_steps,),
    }
    for name, shape in shapes.items():
        first, second = getattr(result, name), getattr(result, name)
        assert first.shape == shape and first.dtype == np.float64
        assert first is not second and first.flags.writeable
        first.fill(-7.0)
        assert not np.any(getattr(result, name) == -7.0)


def test_histories_are_padded_after_early_convergence():
    # The identity game is at equilibrium under uniform strategies: gap 0 at step 0.
    result = run(state([0.5, 0.5], [0.5, 0.5], np.eye(2)), ludovec.Optimizer.ogda(0.1, 2), 6)
    np.testing.assert_array_equal(result.gaps_history, np.zeros(6))
    np.testing.assert_array_equal(result.x_history, np.full((6, 2), 0.5))
    np.testing.assert_array_equal(result.y_history, np.full((6, 2), 0.5))
