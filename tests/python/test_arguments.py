"""Argument parsing and conversion, seen through the constructors and factories."""

import numpy as np
import pytest

import ludovec

from support import raises_exactly, state

X = np.array([0.5, 0.5])
A = np.eye(2)

OPTIMIZER_CALLS = [
    (ludovec.Ogda, "Ogda.__new__()"),
    (ludovec.OmwuOomd, "OmwuOomd.__new__()"),
    (ludovec.OmwuOftrl, "OmwuOftrl.__new__()"),
    (ludovec.Optimizer.ogda, "Optimizer.ogda()"),
    (ludovec.Optimizer.omwuoomd, "Optimizer.omwuoomd()"),
    (ludovec.Optimizer.omwuoftrl, "Optimizer.omwuoftrl()"),
]
optimizer_calls = pytest.mark.parametrize(
    "make, call", OPTIMIZER_CALLS, ids=[c for _, c in OPTIMIZER_CALLS]
)


def fresh_state():
    return state([0.5, 0.5], [0.5, 0.5], A)


# Call shape ------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((X, X, A, A), {}, "GameState.__new__() takes 3 positional arguments but 4 were given"),
        ((X,), {}, "GameState.__new__() missing 2 required positional arguments: 'y' and 'a'"),
        ((), {"y": X}, "GameState.__new__() missing 2 required positional arguments: 'x' and 'a'"),
        ((), {}, "GameState.__new__() missing 3 required positional arguments: 'x', 'y', and 'a'"),
        ((X, X, A), {"b": A}, "GameState.__new__() got an unexpected keyword argument 'b'"),
        ((X, X, A), {"x": X}, "GameState.__new__() got multiple values for argument 'x'"),
        ((X,), {"a": A, "x": X}, "GameState.__new__() got multiple values for argument 'x'"),
        # Too many positionals is found before a bad keyword, a bad keyword before missing ones.
        (
            (X, X, A, A),
            {"zz": 1},
            "GameState.__new__() takes 3 positional arguments but 4 were given",
        ),
        ((), {"zz": 1}, "GameState.__new__() got an unexpected keyword argument 'zz'"),
    ],
)
def test_constructor_call_shape_errors(args, kwargs, message):
    with raises_exactly(TypeError, message):
        ludovec.GameState(*args, **kwargs)


def test_three_missing_names_are_joined_with_commas_and_a_final_and():
    with raises_exactly(
        TypeError,
        "Experiment.__new__() missing 3 required positional "
        "arguments: 'state', 'optimizer', and 'num_steps'",
    ):
        ludovec.Experiment()


@optimizer_calls
def test_every_binding_names_itself_and_matches_keywords_by_value(make, call):
    with raises_exactly(TypeError, f"{call} takes 2 positional arguments but 3 were given"):
        make(0.1, 2, 3)
    with raises_exactly(TypeError, f"{call} missing 1 required positional argument: 'eta'"):
        make(dim=2)
    # Names built at run time are not interned: they must match by value.
    fresh = {"".join(["d", "im"]): 3, "".join(["e", "ta"]): 0.1}
    assert type(make(dim=3, eta=0.1)) is type(make(0.1, 3)) is type(make(**fresh))
    with raises_exactly(TypeError, f"{call} got an unexpected keyword argument 'dimm'"):
        make(**{"".join(["e", "ta"]): 0.1, "".join(["d", "imm"]): 3})


def test_arguments_are_converted_in_parameter_order():
    with raises_exactly(
        TypeError, "argument 'x': 'int' object cannot be converted to 'PyArray<T, D>'"
    ):
        ludovec.GameState(1, 2, 3)
    with raises_exactly(
        TypeError, "argument 'y': 'int' object cannot be converted to 'PyArray<T, D>'"
    ):
        ludovec.GameState(a=3, y=2, x=X)
    with raises_exactly(
        TypeError, "argument 'state': 'int' object cannot be converted to 'GameState'"
    ):
        ludovec.Experiment(1, 2, -1)


# u32 -------------------------------------------------------------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("value", [0, 1, True, np.uint64(3), np.int8(3), Index(2), 2**32 - 1])
def test_u32_accepts_integers_and_index_objects(value):
    experiment = ludovec.Experiment(fresh_state(), ludovec.Optimizer.ogda(0.1, 2), value)
    if int(value) <= 5:  # 2**32 - 1 steps is converted fine but not worth running
        result = experiment.run_experiment_until_convergence_in_place()
        assert result.gaps_history.shape == (int(value),)


@pytest.mark.parametrize(
    "value, message",
    [
        (-1, "can't convert negative int to unsigned"),
        (-(2**70), "can't convert negative int to unsigned"),
        (2**32, "out of range integral type conversion attempted"),
        (2**64 - 1, "out of range integral type conversion attempted"),
        (2**64, "int too big to convert"),
        (Index(2**40), "out of range integral type conversion attempted"),
    ],
)
def test_u32_range_errors_are_overflow_errors_without_prefix(value, message):
    with raises_exactly(OverflowError, message):
        ludovec.Experiment(fresh_state(), ludovec.Optimizer.ogda(0.1, 2), value)
    with raises_exactly(OverflowError, message):
        ludovec.OmwuOftrl(0.1, value)


@pytest.mark.parametrize(
    "value, type_name",
    [
        (3.0, "float"),
        ("3", "str"),
        (None, "NoneType"),
        (np.float64(3.0), "numpy.float64"),
    ],
)
def test_u32_non_integers_get_the_interpreter_message_with_prefix(value, type_name):
    with raises_exactly(
        TypeError, f"argument 'dim': '{type_name}' object cannot be interpreted as an integer"
    ):
        ludovec.Optimizer.omwuoftrl(0.1, value)


# f64 -------------------------------------------------------------------------------------------


class Floaty:
    def __float__(self):
        return 0.25


class FloatSubclass(float):
    pass


@pytest.mark.parametrize(
    "value",
    [0.25, 1, FloatSubclass(0.25), Floaty(), np.float32(0.25), Index(1), float("nan"), -1.0, 0.0],
)
def test_f64_accepts_what_float_accepts(value):
    assert type(ludovec.Optimizer.ogda(value, 2)) is ludovec.Optimizer


@pytest.mark.parametrize(
    "value, message",
    [
        (None, "must be real number, not NoneType"),
        ("0.1", "must be real number, not str"),
        ([0.1], "must be real number, not list"),
    ],
)
def test_f64_refusals_are_prefixed(value, message):
    with raises_exactly(TypeError, f"argument 'eta': {message}"):
        ludovec.Ogda(value, 2)


def test_f64_overflow_of_a_huge_int_passes_through_unprefixed():
    with raises_exactly(OverflowError, "int too large to convert to float"):
        ludovec.Ogda(10**400, 2)


# Prefixing rule --------------------------------------------------------------------------------


class TypeErrorSubclass(TypeError):
    pass


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


def test_only_an_exact_type_error_gets_the_prefix():
    with raises_exactly(TypeErrorSubclass, "custom"):
        ludovec.OmwuOftrl(0.1, RaisingIndex(TypeErrorSubclass("custom")))
    with raises_exactly(ValueError, "not a dimension"):
        ludovec.OmwuOftrl(0.1, RaisingIndex(ValueError("not a dimension")))
    with raises_exactly(TypeError, "argument 'dim': plain"):
        ludovec.OmwuOftrl(0.1, RaisingIndex(TypeError("plain")))


def test_prefixed_error_keeps_the_original_cause():
    cause = KeyError("root")
    original = TypeError("with cause")
    original.__cause__ = cause
    with raises_exactly(TypeError, "argument 'dim': with cause") as info:
        ludovec.OmwuOftrl(0.1, RaisingIndex(original))
    assert info.value is not original
    assert info.value.__cause__ is cause


# Arrays ----------------------------------------------------------------------------------------


class ArraySubclass(np.ndarray):
    pass


@pytest.mark.parametrize(
    "x, type_name",
    [
        ([0.5, 0.5], "list"),
        ((0.5, 0.5), "tuple"),
        (np.array([1, 0]), "ndarray"),
        (np.array([0.5, 0.5], dtype=np.float32), "ndarray"),
        (np.array([0.5, 0.5], dtype=np.complex128), "ndarray"),
        (np.array([0.5, 0.5], dtype=">f8" if np.little_endian else "<f8"), "ndarray"),
        (np.array(1.0), "ndarray"),
        (np.eye(2), "ndarray"),
        (np.float64(1.0), "float64"),
        (None, "NoneType"),
    ],
)
def test_vector_parameter_refusals(x, type_name):
    with raises_exactly(
        TypeError, f"argument 'x': '{type_name}' object cannot be converted to 'PyArray<T, D>'"
    ):
        ludovec.GameState(x, X, A)


@pytest.mark.parametrize(
    "a",
    [
        np.ones(2),
        np.ones((1, 2, 2)),
        np.eye(2, dtype=np.int64),
        np.eye(2).astype(">f8" if np.little_endian else "<f8"),
    ],
)
def test_matrix_parameter_refusals(a):
    with raises_exactly(
        TypeError, "argument 'a': 'ndarray' object cannot be converted to 'PyArray<T, D>'"
    ):
        ludovec.GameState(X, X, a)


def test_array_subclasses_and_explicit_native_dtype_are_accepted():
    x = np.array([0.25, 0.75]).view(ArraySubclass)
    a = np.array([[1.0, 2.0], [3.0, 4.0]], dtype="=f8").view(ArraySubclass)
    game = ludovec.GameState(x, X, a)
    assert type(game.a) is np.ndarray
    np.testing.assert_array_equal(game.a, a)
