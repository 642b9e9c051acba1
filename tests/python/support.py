"""Helpers shared by the Python tests of the module's classes."""

import contextlib
import os
import signal
import subprocess
import sys

import numpy as np
import pytest

import ludovec


@contextlib.contextmanager
def raises_exactly(exc_type, message):
    """pytest.raises, but the exception type must match exactly and the message in full."""
    with pytest.raises(BaseException) as info:
        yield info
    assert info.type is exc_type, f"{info.type.__qualname__}: {info.value}"
    assert str(info.value) == message


def panic_exception():
    """The PanicException class, which the module does not expose: caught from a known stop."""
    try:
        ludovec.Optimizer.ogda(0.1, 0)
    except BaseException as exc:
        return type(exc)
    raise AssertionError("Optimizer.ogda(0.1, 0) should stop")


def state(x, y, a):
    return ludovec.GameState(
        np.asarray(x, dtype=float), np.asarray(y, dtype=float), np.asarray(a, dtype=float)
    )


def run(game_state, optimizer, num_steps):
    return ludovec.Experiment(
        game_state, optimizer, num_steps
    ).run_experiment_until_convergence_in_place()


def run_python(code, env=None):
    """Runs `code` in a fresh interpreter that imports the module under test; `env` adds to
    the environment."""
    paths = [os.path.dirname(ludovec.__file__), os.environ.get("PYTHONPATH", "")]
    env = dict(os.environ, **(env or {}), PYTHONPATH=os.pathsep.join(p for p in paths if p))
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120
    )


def kept(path, **samples):
    """Saves the draws of a failed statistical check to `path` (.npz) and says where: the module
    draws from the OS's entropy and takes no seed, so its samples can be examined again but not
    drawn again. Meant for an assert's message, which is only evaluated on failure."""
    np.savez(path, **samples)
    return f"samples kept in {path}"


def interruptible():
    """Popen's preexec_fn for a child that must see Ctrl-C: a shell that started the suite in the
    background leaves SIGINT ignored, and an interpreter that starts so never raises
    KeyboardInterrupt."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)
