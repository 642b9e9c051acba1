"""Every Python entry point, fed arbitrary values.

The property, for any call: it returns a well-formed result or raises one of the exceptions
the binding conventions allow (or the exception a hostile argument raised itself), the
interpreter carries on, the caller's arrays are left bit for bit as they were, and an optimizer
handed to anything but an Experiment behaves afterwards exactly like a twin built the same way.
"""

import copy
import pickle
import weakref

import numpy as np
import pytest
from hypothesis import assume, event, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import ludovec

from conftest import examples
from support import panic_exception

# A complex NumPy scalar converts to a float (its real part) with NumPy's warning.
pytestmark = pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
PANIC = panic_exception()


class Boom(Exception):
    """Raised by the hostile objects below; must reach the caller unchanged."""


ALLOWED = {
    TypeError,
    OverflowError,
    ValueError,
    RuntimeError,
    MemoryError,
    UnicodeEncodeError,
    PANIC,
    Boom,
}


# ---------------------------------------------------------------------------- hostile values


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class FakeNumpyBool:
    """Looks like NumPy's boolean scalar by its type's module and name."""

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


FakeNumpyBool.__module__, FakeNumpyBool.__name__, FakeNumpyBool.__qualname__ = (
    "numpy",
    "bool",
    "bool",
)


class Reentrant:
    """An integer whose conversion calls back into the module while the outer call converts."""

    def __index__(self):
        opt = ludovec.Optimizer.ogda(0.1, 2)
        ludovec.neighborhood_exploration(np.zeros((2, 2, 2)), opt, 3, True)
        state = ludovec.GameState(np.ones(2), np.ones(2), np.eye(2))
        ludovec.Experiment(state, opt, 3).run_experiment_until_convergence_in_place()
        return 2


class Sub(np.ndarray):
    pass


class Text(str):
    def __eq__(self, other):
        raise Boom("compared")

    __hash__ = str.__hash__


def neg_nan():
    return np.frombuffer(np.uint64(0xFFF8_0000_0000_0001).tobytes(), np.float64)[0]


SPECIAL_FLOATS = [
    0.0,
    -0.0,
    5e-324,
    -5e-324,
    2.2250738585072014e-308,
    1e-300,
    1e300,
    1.7976931348623157e308,
    -1.7976931348623157e308,
    np.inf,
    -np.inf,
    np.nan,
    float(neg_nan()),
]
floats = st.one_of(st.floats(), st.sampled_from(SPECIAL_FLOATS))
# Mostly ordinary numbers, so that calls get past the numerics often enough to be checked.
tame_floats = st.one_of(*[st.floats(-4, 4)] * 7, floats)
# Integers that fail fast wherever a count or size is expected: within 0 .. 2**32-1 only small.
overflowing = st.one_of(
    st.integers(max_value=-1),
    st.integers(min_value=2**32),
    st.sampled_from([-1, 2**32, 2**64 - 1, 2**64, -(2**63), 10**40]),
)
unicode_text = st.one_of(
    st.text(st.characters(exclude_categories=()), max_size=12),
    st.sampled_from(
        [
            "\ud800",
            "max\x00last",
            "MAX_LAST\u0130",
            "\u0130",
            "\u01c5",
            "ẞ",
            "max_last\x00",
            "Frobenius\x00",
            "",
        ]
    ),
)


@st.composite
def float_arrays(draw, ndim=None, float64_only=False, max_side=4, shape=None, elements=floats):
    """Arrays of any layout: float64 mostly, with NaN, infinities, -0.0 and subnormals, but also
    other dtypes, byte orders, strides of any sign, zero strides, unaligned and read-only data,
    ndarray subclasses and masked arrays."""
    nd = (draw(st.integers(0, 4)) if ndim is None else ndim) if shape is None else len(shape)
    if shape is None:
        shape = tuple(draw(st.integers(0, max_side)) for _ in range(nd))
    kind = (
        "f8"
        if float64_only
        else draw(
            st.sampled_from(["f8"] * 6 + [">f8", "f4", "f2", "i8", "u1", "c16", "?", "O", "M8[s]"])
        )
    )
    if kind == "O":
        arr = np.empty(shape, dtype=object)
        arr.fill(1.0)
    else:
        base = hnp.arrays(np.float64, shape, elements=elements)
        arr = draw(base)
        with np.errstate(all="ignore"):
            arr = arr.astype(kind) if kind not in ("M8[s]",) else arr.astype(np.int64).astype(kind)
    layout = draw(
        st.sampled_from(
            ["c"] * 3
            + [
                "f",
                "reversed",
                "strided",
                "broadcast",
                "unaligned",
                "readonly",
                "subclass",
                "masked",
            ]
        )
    )
    if layout == "f":
        arr = np.asfortranarray(arr)
    elif layout == "reversed" and nd:
        arr = arr[tuple(slice(None, None, -1) for _ in range(nd))]
    elif layout == "strided" and nd:
        arr = np.repeat(arr, 2, axis=0)[::2]
    elif layout == "broadcast" and nd and all(shape):
        arr = np.broadcast_to(arr[(0,) * (nd - 1) + (slice(0, 1),)], shape)
    elif layout == "unaligned" and arr.dtype != object:
        buf = np.zeros(arr.nbytes + 1, np.uint8)
        view = buf[1:].view(arr.dtype).reshape(shape)
        view[...] = arr
        arr = view
    elif layout == "readonly":
        arr.setflags(write=False)
    elif layout == "subclass":
        arr = arr.view(Sub)
    elif layout == "masked":
        arr = np.ma.masked_array(arr, mask=np.zeros(shape, bool))
    return arr


def some_optimizer():
    return ludovec.Optimizer.ogda(0.1, 2)


junk = st.one_of(
    st.none(),
    st.booleans(),
    overflowing,
    st.integers(0, 3),
    floats,
    unicode_text,
    st.binary(max_size=4),
    st.lists(floats, max_size=3),
    st.tuples(),
    st.builds(object),
    st.sampled_from(
        [
            np.float64(np.nan),
            np.float32(1.5),
            np.int64(-1),
            np.uint64(2**64 - 1),
            np.int8(3),
            np.True_,
            np.False_,
            np.complex128(1j),
            np.float64(2.0),
        ]
    ),
    st.builds(
        Index, st.one_of(st.integers(0, 3), overflowing, st.just(Boom("index")), st.just(1.5))
    ),
    st.builds(Float, st.one_of(floats, st.just(Boom("float")), st.just("x"))),
    st.builds(FakeNumpyBool, st.one_of(st.booleans(), st.just(Boom("bool")))),
    st.builds(Reentrant),
    st.builds(Text, st.sampled_from(["max", "max_last"])),
    st.builds(lambda: ludovec.Ogda(0.1, 2)),
    st.builds(lambda: ludovec.OmwuOftrl(0.1, 2)),
    st.builds(some_optimizer),
    st.builds(lambda: ludovec.GameState(np.ones(2), np.ones(2), np.eye(2))),
    float_arrays(),
    st.just(ludovec.GameState),
    st.just(ludovec.Optimizer),
)


# ------------------------------------------------------------------------- optimizer twins

KINDS = {
    "ogda": ludovec.Optimizer.ogda,
    "omwuoomd": ludovec.Optimizer.omwuoomd,
    "omwuoftrl": ludovec.Optimizer.omwuoftrl,
}


def probe_game(dim):
    rng = np.random.default_rng(dim)
    return rng.standard_normal((dim, dim))


def behaviour(opt, dim):
    """What `opt` does next, as bytes: the histories of a short run, or the panic's message."""
    dim = max(dim, 1)
    state = ludovec.GameState(np.linspace(1.0, 2.0, dim), np.ones(dim), probe_game(dim))
    try:
        res = ludovec.Experiment(state, opt, 4).run_experiment_until_convergence_in_place()
    except PANIC as exc:
        return ("panic", str(exc))
    return (res.x_history.tobytes(), res.y_history.tobytes(), res.gaps_history.tobytes())


class Recipe:
    """How an optimizer was built (and stepped), so that an identical twin can be made."""

    def __init__(self, kind, eta, dim, steps):
        self.kind, self.eta, self.dim, self.steps = kind, eta, dim, steps

    def build(self):
        opt = KINDS[self.kind](self.eta, self.dim)
        if self.steps and self.dim:
            state = ludovec.GameState(
                np.ones(self.dim), np.arange(self.dim, dtype=float), probe_game(self.dim) * 3
            )
            try:
                experiment = ludovec.Experiment(state, opt, self.steps)
                experiment.run_experiment_until_convergence_in_place()
            except PANIC:
                pass
        return opt

    def __repr__(self):
        return f"Recipe({self.kind!r}, {self.eta!r}, {self.dim}, {self.steps})"


@st.composite
def optimizers(draw, dim=None):
    recipe = Recipe(
        draw(st.sampled_from(sorted(KINDS))),
        draw(tame_floats),
        draw(st.integers(0, 4)) if dim is None else draw(dim),
        draw(st.integers(0, 3)),
    )
    try:
        opt = recipe.build()
    except PANIC:
        assume(False)
    return recipe, opt


# ------------------------------------------------------------------------------ the harness


class Call:
    """Arguments for one call, and a snapshot of every array and optimizer among them."""

    def __init__(self, names, values, style, recipes):
        self.names, self.values, self.style = names, values, style
        self.recipes = recipes  # id(optimizer) -> (optimizer, Recipe)
        self.arrays = [v for v in values if isinstance(v, np.ndarray)]
        self.snapshots = [snapshot(a) for a in self.arrays]

    def args(self):
        kind, extra = self.style
        pairs = list(zip(self.names, self.values, strict=True))
        if kind == "positional":
            return [v for _, v in pairs], {}
        if kind == "keywords":
            return [], dict(pairs[::-1])
        if kind == "split":
            return [v for _, v in pairs[:extra]], dict(pairs[extra:])
        if kind == "missing":
            del pairs[extra % len(pairs)]
            return [v for _, v in pairs], {}
        if kind == "duplicate":
            return [v for _, v in pairs], {self.names[extra % len(pairs)]: None}
        if kind == "unknown":
            return [v for _, v in pairs], {"bogus": 1}
        return [v for _, v in pairs] + [None] * (1 + extra % 2), {}  # too many

    def __repr__(self):
        args, kwargs = self.args()
        return f"Call(args={args!r}, kwargs={kwargs!r}, recipes={list(self.recipes.values())!r})"

    def check_untouched(self):
        for arr, before in zip(self.arrays, self.snapshots, strict=True):
            assert snapshot(arr) == before, "the call changed a caller's array"

    def check_optimizers_untouched(self):
        for opt, recipe in self.recipes.values():
            assert behaviour(opt, recipe.dim) == behaviour(recipe.build(), recipe.dim), recipe


def snapshot(arr):
    data = np.ma.getdata(arr)
    raw = data.tobytes() if data.dtype != object else repr(data.tolist())
    return (
        type(arr),
        arr.shape,
        arr.strides,
        arr.dtype.str,
        arr.flags.writeable,
        arr.__array_interface__["data"][0],
        raw,
    )


styles = st.tuples(
    st.sampled_from(
        ["positional"] * 6
        + ["keywords"] * 2
        + ["split"] * 2
        + ["missing", "duplicate", "unknown", "extra"]
    ),
    st.integers(0, 9),
)


@st.composite
def calls(draw, parameters):
    """`parameters`: (name, strategy of good values) pairs; a strategy may draw a
    (Recipe, optimizer) pair. Half the calls get only good values, a quarter one junk value, a
    quarter junk anywhere."""
    names, values, recipes = [], [], {}
    mode = draw(st.sampled_from(["clean", "clean", "one", "any"]))
    bad = draw(st.integers(0, len(parameters) - 1))
    for i, (name, good) in enumerate(parameters):
        if mode == "one":
            strategy = junk if i == bad else good
        elif mode == "any":
            strategy = st.one_of(good, junk)
        else:
            strategy = good
        value = draw(strategy)
        if isinstance(value, tuple) and len(value) == 2 and isinstance(value[0], Recipe):
            recipes[id(value[1])] = (value[1], value[0])
            value = value[1]
        names.append(name)
        values.append(value)
    return Call(names, values, draw(styles), recipes)


def invoke(function, call):
    args, kwargs = call.args()
    try:
        result = function(*args, **kwargs)
    except BaseException as exc:
        event(f"raised {type(exc).__qualname__}")
        assert type(exc) in ALLOWED, f"{type(exc).__qualname__}: {exc}"
        return None, exc
    event("returned")
    return result, None


def float64_like(value, ndim):
    return (
        isinstance(value, np.ndarray)
        and value.ndim == ndim
        and value.dtype == np.float64
        and value.dtype.isnative
    )


# ------------------------------------------------------------------------------- properties


def check_readable(obj, attributes):
    for name in attributes:
        value = getattr(obj, name)
        assert type(value) is np.ndarray and value.dtype == np.float64
        with pytest.raises(AttributeError):
            setattr(obj, name, value)
        with pytest.raises(AttributeError):
            delattr(obj, name)
    with pytest.raises(AttributeError):
        obj.not_an_attribute = 1
    for poke in (repr, hash, dir, lambda o: o == o, lambda o: o.__sizeof__()):
        poke(obj)
    for refused in (copy.copy, copy.deepcopy, pickle.dumps, weakref.ref):
        with pytest.raises(TypeError):
            refused(obj)


def check_result(result, steps, x_len, y_len):
    assert type(result) is ludovec.GameResult
    check_readable(result, ["x_history", "y_history", "gaps_history"])
    assert result.x_history.shape == (steps, x_len)
    assert result.y_history.shape == (steps, y_len)
    assert result.gaps_history.shape == (steps,)


@settings(max_examples=examples(300))
@given(
    calls(
        [
            ("x", float_arrays(1, True, max_side=5, elements=tame_floats)),
            ("y", float_arrays(1, True, max_side=5, elements=tame_floats)),
            ("a", float_arrays(2, True, max_side=5)),
        ]
    )
)
def test_game_state(call):
    state, _ = invoke(ludovec.GameState, call)
    call.check_untouched()
    if state is not None:
        a = call.values[2]
        assert float64_like(a, 2)
        check_readable(state, ["a"])
        assert state.a.shape == a.shape
        assert state.a.tobytes() == np.ascontiguousarray(np.ma.getdata(a)).tobytes()


factories = [
    ludovec.Optimizer.ogda,
    ludovec.Optimizer.omwuoomd,
    ludovec.Optimizer.omwuoftrl,
    ludovec.Ogda,
    ludovec.OmwuOomd,
    ludovec.OmwuOftrl,
]


@settings(max_examples=examples(300))
@given(st.sampled_from(factories), calls([("eta", floats), ("dim", st.integers(0, 6))]))
def test_optimizer_constructors(factory, call):
    opt, _ = invoke(factory, call)
    if opt is not None:
        expected = ludovec.Optimizer if factory.__name__.islower() else factory
        assert type(opt) is expected
        check_readable(opt, [])


@st.composite
def states(draw):
    dim = draw(st.integers(1, 4))
    x = draw(hnp.arrays(np.float64, dim, elements=st.floats(0, 10)))
    y = draw(
        hnp.arrays(
            np.float64, draw(st.sampled_from([dim, dim, dim + 1])), elements=st.floats(0, 10)
        )
    )
    a = draw(hnp.arrays(np.float64, (dim, dim), elements=floats))
    try:
        return ludovec.GameState(x, y, a)
    except PANIC:
        assume(False)


@settings(max_examples=examples(300))
@given(calls([("state", states()), ("optimizer", optimizers()), ("num_steps", st.integers(0, 40))]))
def test_experiment(call):
    experiment, _ = invoke(ludovec.Experiment, call)
    call.check_optimizers_untouched()  # building an Experiment runs nothing
    if experiment is None:
        return
    check_readable(experiment, [])
    state, steps = call.values[0], call.values[2]
    for _ in range(2):  # a second run continues from the first
        try:
            result = experiment.run_experiment_until_convergence_in_place()
        except PANIC:
            continue
        x_len, y_len = result.x_history.shape[1], result.y_history.shape[1]
        check_result(result, int(steps), x_len, y_len)
        if int(steps):  # a step checks the shapes; no step, no check
            assert state.a.shape == (x_len, y_len)
    with pytest.raises(TypeError):
        experiment.run_experiment_until_convergence_in_place(1)


# Games of two actions mostly, to match the optimizers, which are mostly of dimension 2.
small_matrices = st.one_of(
    *[float_arrays(2, True, shape=(2, 2), elements=tame_floats)] * 3,
    float_arrays(2, True, max_side=3),
)
matching_optimizers = optimizers(st.sampled_from([2] * 5 + [0, 1, 3]))
metric_names = st.one_of(
    *[st.sampled_from(["max_last", "MAX_LAST_10", "var_last", "Var_Last_10", "total_var"])] * 4,
    unicode_text,
)
random_common = [
    ("a_delta", small_matrices),
    ("optimizer", matching_optimizers),
    ("num_exploration", st.integers(0, 6)),
    ("num_steps", st.integers(0, 30)),
    ("inner_radius", st.one_of(st.floats(0, 1), st.floats(0, 1), floats)),
    ("outer_radius", st.one_of(st.floats(1.5, 3), st.floats(1.5, 3), floats)),
]
cutoffs = st.one_of(*[st.floats(0, 1)] * 3, st.floats(-0.5, 1.5), floats)


@settings(max_examples=examples(400))
@given(
    calls(
        [
            *random_common,
            (
                "norm_str",
                st.one_of(*([st.sampled_from(["max", "Infinity", "FROBENIUS"])] * 4), unicode_text),
            ),
            ("metric_method", metric_names),
            ("cutoff", cutoffs),
        ]
    )
)
def test_scattered_exploration(call):
    out, _ = invoke(ludovec.scattered_exploration, call)
    call.check_untouched()
    call.check_optimizers_untouched()
    if out is not None:
        runs = int(call.values[2])
        check_readable(out, ["norms", "metrics"])
        assert out.norms is out.norms
        assert out.norms.shape == out.metrics.shape == (runs,)


@settings(max_examples=examples(400))
@given(
    calls(
        [
            *random_common,
            ("num_slices", st.integers(0, 5)),
            ("metric_method", metric_names),
            ("cutoff", cutoffs),
        ]
    )
)
def test_concentric_exploration(call):
    out, _ = invoke(ludovec.concentric_exploration, call)
    call.check_untouched()
    call.check_optimizers_untouched()
    if out is not None:
        runs, slices = int(call.values[2]), int(call.values[6])
        check_readable(out, ["slice_boundaries", "metrics"])
        assert out.slice_boundaries.shape == (slices, 2)
        assert out.metrics.shape == (slices, runs // slices)


@settings(max_examples=examples(300))
@given(
    calls(
        [
            (
                "matrices",
                st.one_of(
                    float_arrays(3, True, max_side=3),
                    st.integers(0, 4).flatmap(lambda k: float_arrays(3, True, shape=(k, 2, 2))),
                ),
            ),
            ("optimizer", matching_optimizers),
            ("num_steps", st.integers(0, 30)),
            ("normalize_matrix", st.sampled_from([True, False, np.True_, np.False_])),
        ]
    )
)
def test_neighborhood_exploration(call):
    results, _ = invoke(ludovec.neighborhood_exploration, call)
    call.check_untouched()
    call.check_optimizers_untouched()
    if results is not None:
        assert type(results) is list and len(results) == call.values[0].shape[0]
        for result in results:
            check_result(result, int(call.values[2]), 2, 2)


def sample_objects():
    state = ludovec.GameState(np.ones(2), np.ones(2), np.eye(2))
    opt = ludovec.Optimizer.ogda(0.1, 2)
    result = ludovec.Experiment(state, opt, 3).run_experiment_until_convergence_in_place()
    scattered = ludovec.scattered_exploration(np.eye(2), opt, 2, 2, 0.0, 1.0, "max", "max_last")
    concentric = ludovec.concentric_exploration(np.eye(2), opt, 2, 2, 0.0, 1.0, 2, "total_var")
    return [
        state,
        result,
        scattered,
        concentric,
        opt,
        ludovec.Experiment(state, opt, 1),
        ludovec.Ogda(0.1, 1),
    ]


DESCRIPTORS = [
    (cls, name)
    for cls, names in [
        (ludovec.GameState, ["a"]),
        (ludovec.GameResult, ["x_history", "y_history", "gaps_history"]),
        (ludovec.PyScatteredOutput, ["norms", "metrics"]),
        (ludovec.PyConcentricOutput, ["slice_boundaries", "metrics"]),
    ]
    for name in names
]


class Sample(int):
    """Picks one of sample_objects()."""


@settings(max_examples=examples(200))
@given(
    st.sampled_from(DESCRIPTORS),
    st.one_of(junk, st.builds(Sample, st.integers(0, 6))).filter(lambda t: t is not None),
)
def test_attribute_descriptors_check_their_instance(descriptor, target):
    """Getters and the run method reached through the class, applied to anything."""
    cls, name = descriptor
    if type(target) is Sample:
        target = sample_objects()[target]
    attribute = cls.__dict__[name]
    assert attribute.__get__(None, cls) is attribute
    try:
        value = attribute.__get__(target, type(target))
    except TypeError:
        assert type(target) is not cls
    else:
        assert type(target) is cls and type(value) is np.ndarray
    run = ludovec.Experiment.__dict__["run_experiment_until_convergence_in_place"]
    with pytest.raises(TypeError):
        run(target) if type(target) is not ludovec.Experiment else run(target, target)


@pytest.mark.parametrize(
    "cls",
    [ludovec.GameResult, ludovec.Optimizer, ludovec.PyScatteredOutput, ludovec.PyConcentricOutput],
)
@settings(max_examples=examples(25))
@given(args=st.lists(junk, max_size=3))
def test_classes_without_constructor(cls, args):
    with pytest.raises(TypeError, match=f"^No constructor defined for {cls.__name__}$"):
        cls(*args)
    with pytest.raises(TypeError):
        object.__new__(cls)


# ----------------------------------------------------------------------------- huge sizes


def wide(n):
    return np.broadcast_to(0.5, (n,))


def big_state():
    return ludovec.GameState(np.ones(1024), np.ones(1024), np.zeros((1024, 1024)))


# Requests of more than 2**40 bytes, which no machine this runs on can hold: each must be
# refused at once, before anything is allocated (a request that fits would merely be slow).
huge_calls = st.one_of(
    st.integers(2**37, 2**50).map(lambda n: lambda: ludovec.GameState(wide(n), wide(2), GAME)),
    st.integers(2**37, 2**50).map(lambda n: lambda: ludovec.GameState(wide(2), wide(n), GAME)),
    st.tuples(st.integers(2**17, 2**25), st.integers(2**20, 2**25)).map(
        lambda shape: lambda: ludovec.GameState(wide(2), wide(2), np.broadcast_to(0.0, shape))
    ),
    st.integers(2**31, 2**32 - 1).map(
        lambda n: (
            lambda: ludovec.Experiment(
                big_state(), ludovec.Optimizer.omwuoftrl(0.1, 1024), n
            ).run_experiment_until_convergence_in_place()
        )
    ),
    st.tuples(
        st.sampled_from([ludovec.scattered_exploration, ludovec.concentric_exploration]),
        st.integers(2**17, 2**25),
        st.integers(2**20, 2**25),
        st.integers(0, 2**32 - 1),
        st.integers(0, 2**32 - 1),
    ).map(
        lambda t: (
            lambda: t[0](
                np.broadcast_to(0.0, t[1:3]),
                ludovec.Optimizer.ogda(0.1, 2),
                t[3],
                t[4],
                0.0,
                1.0,
                "max" if t[0] is ludovec.scattered_exploration else 1,
                "max_last",
            )
        )
    ),
    st.tuples(st.integers(2**31, 2**32 - 1), st.integers(2**9, 2**12)).map(
        lambda t: (
            lambda: ludovec.neighborhood_exploration(
                np.zeros((t[1], 2, 2)), ludovec.Optimizer.ogda(0.1, 2), t[0], True
            )
        )
    ),
    st.integers(2**36, 2**45).map(
        lambda k: (
            lambda: ludovec.neighborhood_exploration(
                np.broadcast_to(0.0, (k, 2, 2)), ludovec.Optimizer.ogda(0.1, 2), 1, False
            )
        )
    ),
)


@settings(max_examples=examples(60))
@given(huge_calls)
def test_huge_sizes_raise_memory_error_at_once(call):
    with pytest.raises(MemoryError):
        call()
    assert deterministic(ludovec.neighborhood_exploration, np.stack([GAME]), 5, False)


# ------------------------------------------------------------- regressions found by fuzzing

GAME = np.array([[2.0, -1.0], [-1.0, 1.0]])


def reallocating(array, returned, method):
    """An argument whose conversion (its __index__ or __float__) reallocates `array`, freeing
    the buffer that a view taken before it pointed into."""

    def convert(self):
        array.resize((64, 64), refcheck=False)
        return returned

    return type("Hostile", (), {method: convert})()


def deterministic(function, a, *args):
    # Perturbations of at most 1e-300 leave every entry as it is, so the runs are
    # deterministic and two calls can be compared exactly.
    opt = ludovec.Optimizer.ogda(0.05, 2)
    if function is ludovec.neighborhood_exploration:
        return [r.gaps_history.tolist() for r in function(a, opt, *args)]
    out = function(a, opt, *args)
    return out.metrics.tolist()


@pytest.mark.parametrize(
    "function, args, position, method",
    [
        (ludovec.scattered_exploration, [3, 40, 0.0, 1e-300, "max", "total_var"], 0, "__index__"),
        (ludovec.scattered_exploration, [3, 40, 0.0, 1e-300, "max", "total_var"], 3, "__float__"),
        (ludovec.concentric_exploration, [4, 40, 0.0, 1e-300, 2, "total_var"], 1, "__index__"),
        (ludovec.neighborhood_exploration, [40, False], 0, "__index__"),
    ],
)
def test_array_reallocated_by_a_later_argument_is_read_as_it_was(function, args, position, method):
    """A later argument's conversion runs Python code, which may resize the array argument and
    free its buffer; the call must work on the array as it was when it was converted."""
    a = np.stack([GAME]) if function is ludovec.neighborhood_exploration else GAME.copy()
    expected = deterministic(function, a.copy(), *args)
    hostile = list(args)
    hostile[position] = reallocating(a, args[position], method)
    got = deterministic(function, a, *hostile)
    assert a.shape == (64, 64)  # the array really was reallocated during the call
    assert got == expected


def test_unknown_metric_names_are_reported_whole():
    with pytest.raises(ValueError) as info:
        ludovec.scattered_exploration(
            GAME, ludovec.Optimizer.ogda(0.1, 2), 1, 1, 0.0, 1.0, "max", "max\x00last"
        )
    assert str(info.value) == "Unknown metric method: max\x00last"
