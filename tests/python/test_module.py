"""Import behaviour, registration order and the PanicException class."""

import sys

import pytest

import ludovec

from support import panic_exception, run_python

EXPECTED_ALL = [
    "GameResult",
    "GameState",
    "neighborhood_exploration",
    "concentric_exploration",
    "scattered_exploration",
    "Experiment",
    "PyConcentricOutput",
    "PyScatteredOutput",
    "Ogda",
    "OmwuOftrl",
    "OmwuOomd",
    "Optimizer",
]


def test_repeated_import_returns_the_same_module_object():
    import ludovec as again

    assert again is ludovec


def test_import_after_removal_from_sys_modules_returns_the_cached_module():
    original = sys.modules.pop("ludovec")
    try:
        original.marker_left_by_test = 7
        import ludovec as reimported

        assert reimported is original
        assert reimported.marker_left_by_test == 7
    finally:
        del original.marker_left_by_test
        sys.modules["ludovec"] = original


def test_all_lists_the_registered_names_in_registration_order():
    assert ludovec.__all__ == EXPECTED_ALL
    for name in EXPECTED_ALL:
        assert getattr(ludovec, name).__name__ == name


def test_module_docstring_is_one_line():
    assert ludovec.__doc__ and "\n" not in ludovec.__doc__


def test_numpy_is_loaded_at_the_first_array_conversion_not_at_import():
    result = run_python(
        "import sys, ludovec\n"
        "assert 'numpy' not in sys.modules, 'import'\n"
        "ludovec.Optimizer.ogda(0.1, 2)\n"
        "assert 'numpy' not in sys.modules, 'optimizer'\n"
        "try:\n"
        "    ludovec.GameState([1.0], [1.0], [[1.0]])\n"
        "except TypeError:\n"
        "    pass\n"
        "assert 'numpy' in sys.modules, 'conversion'\n"
    )
    assert result.returncode == 0, result.stderr


def test_sub_interpreters_are_refused_and_the_first_keeps_working():
    pytest.importorskip("_interpreters")
    result = run_python(
        "import _interpreters, sys, ludovec\n"
        "sub = _interpreters.create(_interpreters.new_config('legacy'))\n"
        "code = 'import sys; sys.path[:0] = ' + repr(sys.path) + '\\nimport ludovec'\n"
        "failure = _interpreters.run_string(sub, code)\n"
        "print(failure.type.__name__)\n"
        "print(failure.msg)\n"
        "_interpreters.destroy(sub)\n"
        "ludovec.Optimizer.ogda(0.1, 2)\n"
    )
    assert result.returncode == 0, result.stderr
    kind, message = result.stdout.splitlines()
    assert kind == "ImportError"
    assert "sub-interpreters" in message


def test_panic_exception_derives_directly_from_base_exception():
    panic = panic_exception()
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic.__name__ == "PanicException"
    assert not hasattr(ludovec, "PanicException")
    assert panic_exception() is panic  # created once


def test_panic_escapes_except_exception_and_carries_the_message_as_only_argument():
    with pytest.raises(BaseException) as info:
        try:
            ludovec.Optimizer.ogda(0.1, 0)
        except Exception:
            pytest.fail("PanicException was caught by 'except Exception'")
    assert info.value.args == ("Issue computing theta",)
