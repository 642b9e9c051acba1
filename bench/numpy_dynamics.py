"""Plain NumPy versions of the three learning dynamics, the yardstick of the benchmarks.

Each follows the same arithmetic as the native rules: one gradient pair per step, the gap of
the strategies the step started from, the strict 1e-08 convergence test.
"""

import numpy as np

EPS = 2.0**-52
THRESHOLD = 1e-08


def project(v):
    """Euclidean projection onto the probability simplex."""
    u = np.sort(v)[::-1]
    t = (np.cumsum(u) - 1.0) / np.arange(1, v.size + 1)
    theta = t[u > t][-1]
    return np.maximum(v - theta, 0.0)


def gap(gx, gy):
    return -gy.min() - gx.min()


def ogda(a, x, y, eta):
    x_hat = np.full(x.size, 1.0 / x.size)
    y_hat = np.full(y.size, 1.0 / y.size)

    def step(x, y):
        nonlocal x_hat, y_hat
        gx, gy = a @ y, -(a.T @ x)
        sx, sy = gx * eta, gy * eta
        x_hat, y_hat = project(x_hat - sx), project(y_hat - sy)
        return project(x_hat - sx), project(y_hat - sy), gap(gx, gy)

    return step


def _shifted_exp(v):
    return np.exp(v - v.max())


def omwuoomd(a, x, y, eta):
    x_hat = np.full(x.size, 1.0 / x.size)
    y_hat = np.full(y.size, 1.0 / y.size)

    def step(x, y):
        nonlocal x_hat, y_hat
        gx, gy = a @ y, -(a.T @ x)
        ex, ey = _shifted_exp(gx * -eta), _shifted_exp(gy * -eta)
        x_hat = ex * x_hat + EPS
        x_hat /= x_hat.sum()
        y_hat = ey * y_hat + EPS
        y_hat /= y_hat.sum()
        nx, ny = ex * x_hat, ey * y_hat
        return nx / nx.sum(), ny / ny.sum(), gap(gx, gy)

    return step


def omwuoftrl(a, x, y, eta):
    x_sum = np.zeros(x.size)
    y_sum = np.zeros(y.size)

    def step(x, y):
        nonlocal x_sum, y_sum
        gx, gy = a @ y, -(a.T @ x)
        x_sum, y_sum = x_sum + gx, y_sum + gy
        nx, ny = _shifted_exp((x_sum + gx) * -eta), _shifted_exp((y_sum + gy) * -eta)
        return nx / nx.sum(), ny / ny.sum(), gap(gx, gy)

    return step


DYNAMICS = {"ogda": ogda, "omwuoomd": omwuoomd, "omwuoftrl": omwuoftrl}


def run(name, a, x, y, eta, num_steps):
    """Runs until convergence, recording histories; returns the number of steps performed."""
    step = DYNAMICS[name](a, x, y, eta)
    xs, ys, gaps = np.zeros((num_steps, x.size)), np.zeros((num_steps, y.size)), np.zeros(num_steps)
    for t in range(num_steps):
        xs[t], ys[t] = x, y
        x, y, gaps[t] = step(x, y)
        if gaps[t] < THRESHOLD:
            xs[t + 1 :], ys[t + 1 :], gaps[t + 1 :] = xs[t], ys[t], gaps[t]
            return t + 1
    return num_steps
