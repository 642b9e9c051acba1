"""numba versions of the three learning dynamics, the compiled yardstick of the benchmarks.

Same operations in the same order as the native rules (and as numpy_dynamics): the fused
gradient pass, OGDA's projections with their NaN and threshold stops, the shifted
exponentials, the 2^-52 floor, the simplex check of every multiplicative-weights vector, the
duality gap, the strict 1e-08 test with padding. Every buffer is allocated once per run (per
chunk of runs in an exploration) and reused by each step. No fastmath: like the native code,
additions are never reassociated.

`kernels(name)` returns three compiled functions for one dynamic:
- run(a, x, y, eta, num_steps) -> (x_history, y_history, gaps_history, steps performed);
- explore(base, eta, num_steps, low, scale, start, norms, metrics): a scattered exploration
  (frobenius norm, max_last metric from index `start`), one run after the other;
- explore_parallel(...same..., chunks): the same with `prange` over `chunks` chunks of runs.
"""

import numpy as np
from numba import njit, prange

EPS = 2.0**-52
THRESHOLD = 1e-08
SIMPLEX_TOLERANCE = 1e-06
INSERTION_SORT_MAX = 32


@njit(inline="always", error_model="numpy")
def _gradient(a, x, y, gx, gy):
    """gx = A y and gy = -(A^T x), in one pass over the rows of A."""
    m, n = a.shape
    for j in range(n):
        gy[j] = 0.0
    for i in range(m):
        xi = x[i]
        acc = 0.0
        for j in range(n):
            acc += a[i, j] * y[j]
            gy[j] += a[i, j] * xi
        gx[i] = acc
    for j in range(n):
        gy[j] = -gy[j]


@njit(inline="always", error_model="numpy")
def _gap(gx, gy):
    min_gx = gx[0]
    for e in gx:
        if e < min_gx:
            min_gx = e
    min_gy = gy[0]
    for e in gy:
        if e < min_gy:
            min_gy = e
    return (-min_gy) - min_gx


@njit(inline="always", error_model="numpy")
def _project_difference(v, s, out, diff, buf):
    """out = projection onto the simplex of v - s; out may be v."""
    n = v.size
    nan = False
    for i in range(n):
        d = v[i] - s[i]
        diff[i] = d
        buf[i] = d
        nan |= d != d
    if nan and n >= 2:
        raise ArithmeticError("NaN encountered")
    if n <= INSERTION_SORT_MAX:
        for i in range(1, n):  # descending
            e = buf[i]
            j = i
            while j > 0 and buf[j - 1] < e:
                buf[j] = buf[j - 1]
                j -= 1
            buf[j] = e
    else:
        buf.sort()
        for i in range(n // 2):  # reverse in place
            buf[i], buf[n - 1 - i] = buf[n - 1 - i], buf[i]
    total = 0.0
    theta = 0.0
    admissible = False
    for j in range(n):
        total += buf[j]
        t = (total - 1.0) / (j + 1.0)
        if buf[j] > t:
            theta = t
            admissible = True
    if not admissible:
        raise ArithmeticError("Issue computing theta")
    for i in range(n):
        w = diff[i] - theta
        out[i] = w if w > 0.0 else 0.0


@njit(inline="always", error_model="numpy")
def _shifted_exp(v):
    m = -np.inf
    for e in v:
        if e > m:
            m = e
    for i in range(v.size):
        v[i] = np.exp(v[i] - m)


@njit(inline="always", error_model="numpy")
def _normalise(v):
    total = 0.0
    for e in v:
        total += e
    for i in range(v.size):
        v[i] = v[i] / total


@njit(inline="always", error_model="numpy")
def _check(v):
    total = -0.0
    ok = True
    for e in v:
        total += e
        ok &= e >= 0.0
    if not (ok and abs(total + -1.0) < SIMPLEX_TOLERANCE):
        raise ArithmeticError("a strategy doesn't lie on the simplex")


# Each step reads x, y and the optimizer's two vectors p, q (x_hat and y_hat, or the gradient
# sums), writes the next strategies into x, y and the next optimizer vectors into p, q, and
# returns the gap of the strategies it started from.


@njit(inline="always", error_model="numpy")
def ogda_step(a, x, y, p, q, eta, gx, gy, sx, sy, diff, buf):
    _gradient(a, x, y, gx, gy)
    for i in range(gx.size):
        sx[i] = gx[i] * eta
    for j in range(gy.size):
        sy[j] = gy[j] * eta
    _project_difference(p, sx, p, diff, buf)
    _project_difference(q, sy, q, diff, buf)
    _project_difference(p, sx, x, diff, buf)
    _project_difference(q, sy, y, diff, buf)
    return _gap(gx, gy)


@njit(inline="always", error_model="numpy")
def ogda_reset(p, q):
    p[:] = 1.0 / p.size
    q[:] = 1.0 / q.size


@njit(inline="always", error_model="numpy")
def omwuoomd_step(a, x, y, p, q, eta, gx, gy, ex, ey, diff, buf):
    _gradient(a, x, y, gx, gy)
    neg_eta = -eta
    for i in range(gx.size):
        ex[i] = gx[i] * neg_eta
    for j in range(gy.size):
        ey[j] = gy[j] * neg_eta
    _shifted_exp(ex)
    _shifted_exp(ey)
    for i in range(ex.size):
        p[i] = ex[i] * p[i] + EPS
    _normalise(p)
    for i in range(ex.size):
        x[i] = ex[i] * p[i]
    _normalise(x)
    for j in range(ey.size):
        q[j] = ey[j] * q[j] + EPS
    _normalise(q)
    for j in range(ey.size):
        y[j] = ey[j] * q[j]
    _normalise(y)
    _check(x)
    _check(y)
    _check(p)
    _check(q)
    return _gap(gx, gy)


@njit(inline="always", error_model="numpy")
def omwuoftrl_step(a, x, y, p, q, eta, gx, gy, sx, sy, diff, buf):
    _gradient(a, x, y, gx, gy)
    for i in range(gx.size):
        p[i] = p[i] + gx[i]
    for j in range(gy.size):
        q[j] = q[j] + gy[j]
    neg_eta = -eta
    for i in range(gx.size):
        x[i] = (p[i] + gx[i]) * neg_eta
    for j in range(gy.size):
        y[j] = (q[j] + gy[j]) * neg_eta
    _shifted_exp(x)
    _shifted_exp(y)
    _normalise(x)
    _normalise(y)
    _check(x)
    _check(y)
    return _gap(gx, gy)


@njit(inline="always", error_model="numpy")
def omwuoftrl_reset(p, q):
    p[:] = 0.0
    q[:] = 0.0


def _make_kernels(step, reset):
    @njit(error_model="numpy")
    def run(a, x0, y0, eta, num_steps):
        n = x0.size
        x, y = x0.copy(), y0.copy()
        p, q = np.empty(n), np.empty(n)
        reset(p, q)
        gx, gy, sx, sy, diff, buf = (
            np.empty(n),
            np.empty(n),
            np.empty(n),
            np.empty(n),
            np.empty(n),
            np.empty(n),
        )
        xs, ys, gaps = np.zeros((num_steps, n)), np.zeros((num_steps, n)), np.zeros(num_steps)
        for t in range(num_steps):
            for i in range(n):
                xs[t, i] = x[i]
                ys[t, i] = y[i]
            g = step(a, x, y, p, q, eta, gx, gy, sx, sy, diff, buf)
            gaps[t] = g
            if g < THRESHOLD:
                for u in range(t + 1, num_steps):
                    for i in range(n):
                        xs[u, i] = xs[t, i]
                        ys[u, i] = ys[t, i]
                    gaps[u] = g
                return xs, ys, gaps, t + 1
        return xs, ys, gaps, num_steps

    @njit(error_model="numpy")
    def explore_range(base, eta, num_steps, low, scale, start, norms, metrics, first, stop):
        n = base.shape[0]
        a = np.empty((n, n))
        x, y, p, q = np.empty(n), np.empty(n), np.empty(n), np.empty(n)
        gx, gy, sx, sy, diff, buf = (
            np.empty(n),
            np.empty(n),
            np.empty(n),
            np.empty(n),
            np.empty(n),
            np.empty(n),
        )
        gaps = np.zeros(num_steps)
        for r in range(first, stop):
            reset(p, q)
            x[:] = 1.0 / n
            y[:] = 1.0 / n
            squares = 0.0
            for i in range(n):
                for j in range(n):
                    magnitude = low + np.random.random() * scale
                    e = -magnitude if np.random.random() < 0.5 else magnitude
                    squares += e * e
                    a[i, j] = e + base[i, j]
            norms[r] = np.sqrt(squares)
            for t in range(num_steps):
                g = step(a, x, y, p, q, eta, gx, gy, sx, sy, diff, buf)
                gaps[t] = g
                if g < THRESHOLD:
                    for u in range(t + 1, num_steps):
                        gaps[u] = g
                    break
            tail_max = -np.inf
            for t in range(start, num_steps):
                if gaps[t] > tail_max:
                    tail_max = gaps[t]
            metrics[r] = tail_max

    @njit(error_model="numpy")
    def explore(base, eta, num_steps, low, scale, start, norms, metrics):
        explore_range(base, eta, num_steps, low, scale, start, norms, metrics, 0, norms.size)

    @njit(parallel=True, error_model="numpy")
    def explore_parallel(base, eta, num_steps, low, scale, start, norms, metrics, chunks):
        runs = norms.size
        for c in prange(chunks):
            explore_range(
                base,
                eta,
                num_steps,
                low,
                scale,
                start,
                norms,
                metrics,
                c * runs // chunks,
                (c + 1) * runs // chunks,
            )

    return run, explore, explore_parallel


_STEPS = {
    "ogda": (ogda_step, ogda_reset),
    "omwuoomd": (omwuoomd_step, ogda_reset),
    "omwuoftrl": (omwuoftrl_step, omwuoftrl_reset),
}
_KERNELS = {}


def kernels(name):
    if name not in _KERNELS:
        _KERNELS[name] = _make_kernels(*_STEPS[name])
    return _KERNELS[name]
