"""The shape every class of the module shares, and what each class exposes."""

import weakref

import numpy as np
import pytest

import ludovec

from support import raises_exactly, state

CONSTRUCTED = {
    "GameState": "(x, y, a)",
    "Experiment": "(state, optimizer, num_steps)",
    "Ogda": "(eta, dim)",
    "OmwuOomd": "(eta, dim)",
    "OmwuOftrl": "(eta, dim)",
}
NOT_CONSTRUCTED = ["GameResult", "Optimizer"]
ALL_CLASSES = list(CONSTRUCTED) + NOT_CONSTRUCTED

# Names each class adds to what every object has.
OWN_MEMBERS = {
    "GameState": {"a"},
    "GameResult": {"x_history", "y_history", "gaps_history"},
    "Experiment": {"run_experiment_until_convergence_in_place"},
    "Ogda": set(),
    "OmwuOomd": set(),
    "OmwuOftrl": set(),
    "Optimizer": {"ogda", "omwuoomd", "omwuoftrl"},
}


def instance_of(name):
    game = state([0.5, 0.5], [0.5, 0.5], np.eye(2))
    optimizer = ludovec.Optimizer.ogda(0.1, 2)
    experiment = ludovec.Experiment(game, optimizer, 2)
    return {
        "GameState": lambda: game,
        "GameResult": experiment.run_experiment_until_convergence_in_place,
        "Experiment": lambda: experiment,
        "Ogda": lambda: ludovec.Ogda(0.1, 2),
        "OmwuOomd": lambda: ludovec.OmwuOomd(0.1, 2),
        "OmwuOftrl": lambda: ludovec.OmwuOftrl(0.1, 2),
        "Optimizer": lambda: optimizer,
    }[name]()


@pytest.mark.parametrize("name", ALL_CLASSES)
def test_class_is_named_as_a_builtin(name):
    cls = getattr(ludovec, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("name", ALL_CLASSES)
def test_class_cannot_be_subclassed(name):
    with raises_exactly(TypeError, f"type 'builtins.{name}' is not an acceptable base type"):
        type("Derived", (getattr(ludovec, name),), {})


@pytest.mark.parametrize("name", ALL_CLASSES)
def test_instances_have_no_dict_no_weakrefs_and_no_new_attributes(name):
    obj = instance_of(name)
    assert type(obj) is getattr(ludovec, name)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.anything = 1


@pytest.mark.parametrize("name", ALL_CLASSES)
def test_class_members_are_exactly_its_own(name):
    cls = getattr(ludovec, name)
    assert set(dir(cls)) - set(dir(object)) - {"__module__"} == OWN_MEMBERS[name]


@pytest.mark.parametrize("name, signature", CONSTRUCTED.items())
def test_constructor_signature_is_the_doc(name, signature):
    cls = getattr(ludovec, name)
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == ""


def test_run_method_takes_no_arguments():
    method = ludovec.Experiment.run_experiment_until_convergence_in_place
    assert method.__text_signature__ == "($self)"
    with pytest.raises(TypeError):
        instance_of("Experiment").run_experiment_until_convergence_in_place(1)


@pytest.mark.parametrize("name", NOT_CONSTRUCTED)
@pytest.mark.parametrize("args", [(), (1,), (1, 2, 3)])
def test_class_without_constructor_refuses_every_call(name, args):
    cls = getattr(ludovec, name)
    assert cls.__doc__ is None
    assert cls.__text_signature__ is None
    with raises_exactly(TypeError, f"No constructor defined for {name}"):
        cls(*args)
    with raises_exactly(TypeError, f"No constructor defined for {name}"):
        cls(keyword=1)


@pytest.mark.parametrize("name", ALL_CLASSES)
def test_class_is_immutable_so_its_constructor_cannot_be_replaced(name):
    cls = getattr(ludovec, name)
    with pytest.raises(TypeError):
        cls.__new__ = staticmethod(lambda c: object.__new__(c))
    with pytest.raises(TypeError):
        object.__new__(cls)


@pytest.mark.parametrize("method", ["ogda", "omwuoomd", "omwuoftrl"])
def test_optimizer_factories_are_static_methods_documented_by_signature(method):
    factory = getattr(ludovec.Optimizer, method)
    assert factory.__text_signature__ == "(eta, dim)"
    assert factory.__doc__ is None
    assert type(factory(0.1, 2)) is ludovec.Optimizer


def test_optimizer_factories_are_registered_in_order():
    members = [name for name in vars(ludovec.Optimizer) if not name.startswith("_")]
    assert members == ["ogda", "omwuoomd", "omwuoftrl"]


@pytest.mark.parametrize(
    "cls, attribute",
    [
        ("GameState", "a"),
        ("GameResult", "x_history"),
        ("GameResult", "y_history"),
        ("GameResult", "gaps_history"),
    ],
)
def test_attributes_are_read_only_with_empty_docs(cls, attribute):
    assert getattr(getattr(ludovec, cls), attribute).__doc__ == ""
    obj = instance_of(cls)
    with pytest.raises(AttributeError):
        setattr(obj, attribute, np.zeros((2, 2)))
    with pytest.raises(AttributeError):
        delattr(obj, attribute)
