"""Plain NumPy versions of the three learning dynamics, the yardstick of the benchmarks.

They follow the native rules operation by operation: one gradient pair per step, taken from
the strategies the step starts from; OGDA's four projections onto the simplex (with the NaN
and threshold stops); the multiplicative-weights rules with their shifted exponentials, the
2^-52 floor of the auxiliary iterates and the simplex check of every new vector; the duality
gap of the starting strategies; the strict 1e-08 convergence test with the histories padded
after it. Only the order of the additions inside sums (products, normalisations) may differ,
so results agree to rounding.

Two shapes:
- one run at a time, on vectors of length n (`run`, `explore_per_run`);
- a batch of runs advanced together by one NumPy step, on (runs, n) arrays and (runs, n, n)
  matrices (`explore_batched`). The batch arrays are column-major, so the runs of one entry
  are contiguous and every per-run reduction along axis 1 is an element-wise pass over the
  runs, which NumPy does far faster than a reduction along a short contiguous axis.
"""

import numpy as np

EPS = 2.0**-52
THRESHOLD = 1e-08
SIMPLEX_TOLERANCE = 1e-06


class Stop(ArithmeticError):
    """The numerics met what the native rules stop on (NaN, no threshold, off the simplex)."""


# ---------------------------------------------------------------- one run, vectors of length n


def project(v):
    """Euclidean projection onto the probability simplex."""
    u = np.sort(v)[::-1]
    if u[0] != u[0]:  # NaN sorts last, so first once reversed
        raise Stop("NaN encountered")
    t = (np.cumsum(u) - 1.0) / np.arange(1, v.size + 1)
    admissible = t[u > t]
    if admissible.size == 0:
        raise Stop("Issue computing theta")
    return np.maximum(v - admissible[-1], 0.0)


def check(v, what):
    """The simplex check every multiplicative-weights store passes through."""
    if not (v.min() >= 0.0 and abs(v.sum() - 1.0) < SIMPLEX_TOLERANCE):
        raise Stop(f"{what} doesn't lie on the simplex")
    return v


def gap(gx, gy):
    return -gy.min() - gx.min()


def _shifted_exp(v):
    return np.exp(v - v.max())


def ogda(a, eta):
    n = a.shape[0]
    x_hat, y_hat = np.full(n, 1.0 / n), np.full(n, 1.0 / n)

    def step(x, y):
        nonlocal x_hat, y_hat
        gx, gy = a @ y, -(a.T @ x)
        sx, sy = gx * eta, gy * eta
        x_hat, y_hat = project(x_hat - sx), project(y_hat - sy)
        return project(x_hat - sx), project(y_hat - sy), gap(gx, gy)

    return step


def omwuoomd(a, eta):
    n = a.shape[0]
    x_hat, y_hat = np.full(n, 1.0 / n), np.full(n, 1.0 / n)

    def step(x, y):
        nonlocal x_hat, y_hat
        gx, gy = a @ y, -(a.T @ x)
        ex, ey = _shifted_exp(gx * -eta), _shifted_exp(gy * -eta)
        xh = ex * x_hat + EPS
        xh /= xh.sum()
        yh = ey * y_hat + EPS
        yh /= yh.sum()
        nx, ny = ex * xh, ey * yh
        nx /= nx.sum()
        ny /= ny.sum()
        check(nx, "x"), check(ny, "y")
        x_hat, y_hat = check(xh, "x_hat"), check(yh, "y_hat")
        return nx, ny, gap(gx, gy)

    return step


def omwuoftrl(a, eta):
    n = a.shape[0]
    x_sum, y_sum = np.zeros(n), np.zeros(n)

    def step(x, y):
        nonlocal x_sum, y_sum
        gx, gy = a @ y, -(a.T @ x)
        x_sum, y_sum = x_sum + gx, y_sum + gy
        nx, ny = _shifted_exp((x_sum + gx) * -eta), _shifted_exp((y_sum + gy) * -eta)
        nx /= nx.sum()
        ny /= ny.sum()
        return check(nx, "x"), check(ny, "y"), gap(gx, gy)

    return step


DYNAMICS = {"ogda": ogda, "omwuoomd": omwuoomd, "omwuoftrl": omwuoftrl}


def run(name, a, x, y, eta, num_steps):
    """One experiment from fresh optimizer state, recording the histories.

    Returns (x_history, y_history, gaps_history, steps performed); the histories have
    num_steps rows, padded with the converging row after convergence.
    """
    step = DYNAMICS[name](a, eta)
    xs, ys, gaps = np.zeros((num_steps, x.size)), np.zeros((num_steps, y.size)), np.zeros(num_steps)
    for t in range(num_steps):
        xs[t], ys[t] = x, y
        x, y, gaps[t] = step(x, y)
        if gaps[t] < THRESHOLD:
            xs[t + 1 :], ys[t + 1 :], gaps[t + 1 :] = xs[t], ys[t], gaps[t]
            return xs, ys, gaps, t + 1
    return xs, ys, gaps, num_steps


def run_gaps(name, a, eta, num_steps):
    """One exploration run: fresh optimizer, uniform strategies, only the gaps recorded."""
    n = a.shape[0]
    step = DYNAMICS[name](a, eta)
    x, y = np.full(n, 1.0 / n), np.full(n, 1.0 / n)
    gaps = np.zeros(num_steps)
    for t in range(num_steps):
        x, y, gaps[t] = step(x, y)
        if gaps[t] < THRESHOLD:
            gaps[t + 1 :] = gaps[t]
            break
    return gaps


# ----------------------------------------------------------------------------- exploration parts


def tail_start(num_steps, cutoff):
    """First index of the tail that the max_last metric reads."""
    return int(min(max(num_steps * (1.0 - cutoff), 0.0), 4294967295.0))


def perturbation(rng, shape, low, scale):
    """Entries with a uniform magnitude low + u * scale and a fair random sign."""
    magnitude = low + rng.random(shape) * scale
    return np.where(rng.random(shape) < 0.5, -magnitude, magnitude)


def explore_per_run(name, base, eta, runs, num_steps, low, scale, cutoff, rng):
    """A scattered exploration as a loop of single runs: (frobenius norms, max_last metrics)."""
    start = tail_start(num_steps, cutoff)
    norms, metrics = np.empty(runs), np.empty(runs)
    for r in range(runs):
        p = perturbation(rng, base.shape, low, scale)
        norms[r] = np.sqrt((p * p).sum())
        gaps = run_gaps(name, p + base, eta, num_steps)
        metrics[r] = gaps[start:].max(initial=-np.inf)
    return norms, metrics


# ------------------------------------------------------------- a batch of runs, (runs, n) arrays


def _col(shape):
    return np.empty(shape, order="F")


def project_rows(v):
    """Projects every row of v onto the simplex: a sort along axis 1, then the threshold walk.

    The walk goes over the n sorted columns like the single-run rule (running sum, candidate
    threshold, keep the last admissible one), each column an element-wise pass over the runs.
    """
    runs, n = v.shape
    u = np.sort(v, axis=1)[:, ::-1]
    if np.isnan(u[:, 0]).any():
        raise Stop("NaN encountered")
    s = np.zeros(runs)
    theta = np.zeros(runs)
    admissible = np.zeros(runs, dtype=bool)
    for j in range(n):
        s += u[:, j]
        t = (s - 1.0) / (j + 1.0)
        ok = u[:, j] > t
        np.copyto(theta, t, where=ok)
        admissible |= ok
    if not admissible.all():
        raise Stop("Issue computing theta")
    out = _col(v.shape)
    np.maximum(v - theta[:, None], 0.0, out=out)
    return out


def check_rows(v, what):
    if not ((v.min(axis=1) >= 0.0).all() and (abs(v.sum(axis=1) - 1.0) < SIMPLEX_TOLERANCE).all()):
        raise Stop(f"{what} doesn't lie on the simplex")
    return v


def _gradients(a, x, y):
    gx = np.einsum("rij,rj->ri", a, y, order="F")
    gy = np.einsum("rij,ri->rj", a, x, order="F")
    np.negative(gy, out=gy)
    return gx, gy


def _gap_rows(gx, gy):
    return -gy.min(axis=1) - gx.min(axis=1)


def _shifted_exp_rows(v):
    return np.exp(v - v.max(axis=1, keepdims=True))


def _normalise_rows(v):
    v /= v.sum(axis=1, keepdims=True)
    return v


def _uniform_rows(runs, n):
    u = _col((runs, n))
    u.fill(1.0 / n)
    return u


def ogda_rows(a, eta):
    runs, n, _ = a.shape
    x_hat, y_hat = _uniform_rows(runs, n), _uniform_rows(runs, n)

    def step(x, y):
        nonlocal x_hat, y_hat
        gx, gy = _gradients(a, x, y)
        sx, sy = gx * eta, gy * eta
        x_hat, y_hat = project_rows(x_hat - sx), project_rows(y_hat - sy)
        return project_rows(x_hat - sx), project_rows(y_hat - sy), _gap_rows(gx, gy)

    return step


def omwuoomd_rows(a, eta):
    runs, n, _ = a.shape
    x_hat, y_hat = _uniform_rows(runs, n), _uniform_rows(runs, n)

    def step(x, y):
        nonlocal x_hat, y_hat
        gx, gy = _gradients(a, x, y)
        ex, ey = _shifted_exp_rows(gx * -eta), _shifted_exp_rows(gy * -eta)
        xh = _normalise_rows(ex * x_hat + EPS)
        yh = _normalise_rows(ey * y_hat + EPS)
        nx, ny = _normalise_rows(ex * xh), _normalise_rows(ey * yh)
        check_rows(nx, "x"), check_rows(ny, "y")
        x_hat, y_hat = check_rows(xh, "x_hat"), check_rows(yh, "y_hat")
        return nx, ny, _gap_rows(gx, gy)

    return step


def omwuoftrl_rows(a, eta):
    runs, n, _ = a.shape
    x_sum, y_sum = np.zeros((runs, n), order="F"), np.zeros((runs, n), order="F")

    def step(x, y):
        gx, gy = _gradients(a, x, y)
        x_sum[...] += gx
        y_sum[...] += gy
        nx = _normalise_rows(_shifted_exp_rows((x_sum + gx) * -eta))
        ny = _normalise_rows(_shifted_exp_rows((y_sum + gy) * -eta))
        return check_rows(nx, "x"), check_rows(ny, "y"), _gap_rows(gx, gy)

    return step


BATCHED = {"ogda": ogda_rows, "omwuoomd": omwuoomd_rows, "omwuoftrl": omwuoftrl_rows}


def run_gaps_batched(name, a, eta, num_steps):
    """Exploration runs on the matrices a (runs, n, n), all at once; returns gaps (runs, steps).

    Every run starts from a fresh optimizer and uniform strategies. A run that has converged
    keeps stepping with the others, but its later gaps repeat its converging gap.
    """
    runs, n, _ = a.shape
    step = BATCHED[name](a, eta)
    x, y = _uniform_rows(runs, n), _uniform_rows(runs, n)
    gaps = np.zeros((runs, num_steps), order="F")
    done = np.zeros(runs, dtype=bool)
    for t in range(num_steps):
        x, y, g = step(x, y)
        gaps[:, t] = np.where(done, gaps[:, t - 1], g) if t else g
        done |= gaps[:, t] < THRESHOLD
    return gaps


def explore_batched(name, base, eta, runs, num_steps, low, scale, cutoff, rng):
    """A scattered exploration as one batch: (frobenius norms, max_last metrics, gaps)."""
    n = base.shape[0]
    # Drawn as (n, n, runs) and viewed as (runs, n, n): the runs of one entry are contiguous.
    p = np.moveaxis(perturbation(rng, (n, n, runs), low, scale), 2, 0)
    norms = np.sqrt((p * p).sum(axis=(1, 2)))
    gaps = run_gaps_batched(name, p + base, eta, num_steps)
    metrics = gaps[:, tail_start(num_steps, cutoff) :].max(axis=1, initial=-np.inf)
    return norms, metrics, gaps
