"""The three dynamics seen from Python: worked values, and a NumPy re-derivation step by step."""

import math

import numpy as np
import pytest

import ludovec

EPS = 2.0**-52


def project(v):
    u = np.sort(v)[::-1]
    t = (np.cumsum(u) - 1.0) / np.arange(1, v.size + 1)
    return np.maximum(v - t[u > t][-1], 0.0)


def normalised_exp(v):
    e = np.exp(v - v.max())
    return e / e.sum()


def reference_steps(name, a, x, y, eta, steps):
    """Yields (x, y, gap) before each step, by an independent NumPy reading of the rules."""
    n = a.shape[0]
    p, q = (
        (np.full(n, 1.0 / n), np.full(n, 1.0 / n))
        if name != "omwuoftrl"
        else (np.zeros(n), np.zeros(n))
    )
    for _ in range(steps):
        gx, gy = a @ y, -(a.T @ x)
        yield x, y, -gy.min() - gx.min()
        if name == "ogda":
            p, q = project(p - eta * gx), project(q - eta * gy)
            x, y = project(p - eta * gx), project(q - eta * gy)
        elif name == "omwuoomd":
            ex, ey = np.exp(-eta * gx - (-eta * gx).max()), np.exp(-eta * gy - (-eta * gy).max())
            p = ex * p + EPS
            p /= p.sum()
            q = ey * q + EPS
            q /= q.sum()
            x, y = ex * p / (ex * p).sum(), ey * q / (ey * q).sum()
        else:
            p, q = p + gx, q + gy
            x, y = normalised_exp(-eta * (p + gx)), normalised_exp(-eta * (q + gy))


def run(name, a, x, y, eta, steps):
    state = ludovec.GameState(x, y, a)
    opt = getattr(ludovec.Optimizer, name)(eta, a.shape[0])
    return ludovec.Experiment(state, opt, steps).run_experiment_until_convergence_in_place()


@pytest.mark.parametrize("name", ["ogda", "omwuoomd", "omwuoftrl"])
@pytest.mark.parametrize("n, eta", [(2, 0.05), (3, 0.1), (6, 0.02)])
def test_runs_follow_the_numpy_reading_of_each_rule(name, n, eta):
    rng = np.random.default_rng(n)
    a = rng.standard_normal((n, n))
    x = project(rng.random(n))
    y = np.full(n, 1.0 / n)
    steps = 300
    result = run(name, a, x, y, eta, steps)
    expected = list(reference_steps(name, a, x, y, eta, steps))
    assert result.gaps_history.shape == (steps,)
    np.testing.assert_allclose(result.x_history, [e[0] for e in expected], rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(result.y_history, [e[1] for e in expected], rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(result.gaps_history, [e[2] for e in expected], rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize(
    "name, eta, y_next",
    [
        ("ogda", 0.1, [0.6, 0.4]),
        ("omwuoomd", math.log(3), [0.9, 0.1]),
        ("omwuoftrl", math.log(3), [0.9, 0.1]),
    ],
)
def test_first_step_of_the_identity_game(name, eta, y_next):
    result = run(name, np.eye(2), np.array([1.0, 0.0]), np.array([0.5, 0.5]), eta, 2)
    assert result.gaps_history[0] == 0.5
    np.testing.assert_allclose(result.x_history[1], [0.5, 0.5], atol=1e-12)
    np.testing.assert_allclose(result.y_history[1], y_next, atol=1e-12)


@pytest.mark.parametrize("name", ["ogda", "omwuoomd", "omwuoftrl"])
def test_equilibrium_converges_at_step_zero_and_pads(name):
    result = run(
        name,
        np.array([[1.0, -1.0], [-1.0, 1.0]]),
        np.array([0.5, 0.5]),
        np.array([0.5, 0.5]),
        0.1,
        5,
    )
    assert result.gaps_history.tolist() == [0.0] * 5
    assert result.x_history.tolist() == [[0.5, 0.5]] * 5


@pytest.mark.parametrize("name", ["ogda", "omwuoomd", "omwuoftrl"])
def test_a_second_run_continues_the_first(name):
    a = np.array([[3.0, -1.0], [-2.0, 1.0]])
    state = ludovec.GameState(np.array([1.0, 0.0]), np.array([0.5, 0.5]), a)
    opt = getattr(ludovec.Optimizer, name)(0.05, 2)
    experiment = ludovec.Experiment(state, opt, 40)
    first, second = (experiment.run_experiment_until_convergence_in_place() for _ in range(2))
    whole = run(name, a, np.array([1.0, 0.0]), np.array([0.5, 0.5]), 0.05, 80)
    assert np.array_equal(np.concatenate([first.x_history, second.x_history]), whole.x_history)
    assert np.array_equal(
        np.concatenate([first.gaps_history, second.gaps_history]), whole.gaps_history
    )


@pytest.mark.parametrize(
    "name, eta, message",
    [
        ("ogda", math.nan, "NaN encountered"),
        (
            "omwuoomd",
            math.nan,
            "x doesn't lie on the simplex: "
            '"v does not belong on the simplex. Last values : [NaN, NaN]',
        ),
        (
            "omwuoftrl",
            math.inf,
            "x doesn't lie on the simplex: "
            '"v does not belong on the simplex. Last values : [NaN, NaN]',
        ),
    ],
)
def test_bad_step_sizes_stop_with_the_rule_message(name, eta, message):
    with pytest.raises(BaseException) as info:
        run(
            name,
            np.array([[1.0, 0.0], [0.0, 1.0]]),
            np.array([1.0, 0.0]),
            np.array([0.5, 0.5]),
            eta,
            3,
        )
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value).startswith(message)


@pytest.mark.parametrize("name", ["ogda", "omwuoomd", "omwuoftrl"])
def test_optimizer_size_must_match_the_game(name):
    state = ludovec.GameState(np.array([1.0, 0.0, 0.0]), np.full(3, 1 / 3), np.eye(3))
    experiment = ludovec.Experiment(state, getattr(ludovec.Optimizer, name)(0.1, 2), 3)
    with pytest.raises(BaseException, match="shape mismatch") as info:
        experiment.run_experiment_until_convergence_in_place()
    assert type(info.value).__name__ == "PanicException"
