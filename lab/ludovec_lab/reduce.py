"""The module's perturbation law, band arithmetic, norms and metrics, reproduced with NumPy.

Every function gives the module's numbers bit for bit: sums are taken in index order (running
sums via ``np.add.accumulate``, never NumPy's pairwise ``sum``), maxima skip NaN and start at
-inf, and the band is narrowed exactly as the module narrows it.
"""

from __future__ import annotations

import numpy as np

_ONE_MINUS_ULP = 0.9999999999999998  # 1 - 2**-52, the largest uniform draw
_U52 = 2.0**-52
_SIGN = np.uint64(2**63)


def band(lo: float, hi: float) -> tuple[float, float]:
    """(low, scale) of the magnitude band [lo, hi): no draw low + u * scale exceeds hi."""
    if not lo < hi:
        raise ValueError("EmptyRange")
    w = hi - lo
    if not np.isfinite(w):
        raise ValueError("NonFinite")
    low, scale = float(lo), float(w)
    while low + scale * _ONE_MINUS_ULP > hi:
        scale = float(np.nextafter(scale, -np.inf))
    return low, scale


def slice_bounds(inner: float, outer: float, num_slices: int) -> list[tuple[float, float]]:
    """The concentric slices: one product and one sum per end, as the module forms them."""
    step = (outer - inner) / float(num_slices)
    return [(float(t) * step + inner, float(t + 1) * step + inner) for t in range(num_slices)]


def draw_perturbations(
    rng: np.random.Generator, count: int, shape: tuple[int, int], low: float, scale: float
) -> np.ndarray:
    """``count`` perturbation matrices: per entry in storage order a 52-bit uniform magnitude
    in the band, then a fair sign from a 64-bit draw compared with 2**63 (below: negative)."""
    raw = rng.bit_generator.random_raw(2 * count * shape[0] * shape[1])
    raw = raw.reshape(count, shape[0] * shape[1], 2)
    u = (raw[..., 0] >> np.uint64(12)).astype(np.float64) * _U52
    mag = low + u * scale
    out = np.where(raw[..., 1] < _SIGN, -mag, mag)
    return out.reshape(count, *shape)


def _running_max(v: np.ndarray, axis: int) -> np.ndarray:
    out: np.ndarray = np.fmax.reduce(v, axis=axis, initial=-np.inf)
    return out


def _ordered_sum(v: np.ndarray, start: float) -> np.ndarray:
    """Index-order sum along the last axis, from ``start`` (-0.0 or 0.0)."""
    if v.shape[-1] == 0:
        return np.full(v.shape[:-1], start)
    return np.add.accumulate(v, axis=-1)[..., -1] + start


def norms(p: np.ndarray, norm: str) -> np.ndarray:
    """The norm of every matrix of the stack ``p`` (k, rows, columns)."""
    if norm == "max":
        return _running_max(np.abs(p).reshape(p.shape[0], -1), 1)
    if norm == "infinity":
        if p.shape[1] == 0:
            return np.full(p.shape[0], -np.inf)
        return _running_max(_ordered_sum(np.abs(p), -0.0), 1)
    if norm == "frobenius":
        flat = p.reshape(p.shape[0], -1)
        with np.errstate(over="ignore", under="ignore"):
            plain = np.sqrt(_ordered_sum(flat * flat, 0.0))
        # Where the plain sum of squares underflows to 0 or overflows to inf, the module redoes
        # it on entries scaled by the largest magnitude; everywhere else the plain value stands.
        largest = np.fmax.reduce(np.abs(flat), axis=1, initial=0.0)
        redo = ((plain == 0.0) & (largest > 0.0)) | (np.isinf(plain) & np.isfinite(largest))
        if redo.any():
            scaled = flat[redo] / largest[redo, None]
            plain[redo] = largest[redo] * np.sqrt(_ordered_sum(scaled * scaled, 0.0))
        return plain
    raise ValueError(f"unknown norm {norm!r}")


def tail_start(length: int, cutoff: float) -> int:
    p = length * (1.0 - cutoff)
    p = 0.0 if p != p else min(max(p, 0.0), 4294967295.0)
    return int(p)


def metrics(gaps: np.ndarray, metric: str, cutoff: float) -> np.ndarray:
    """The metric of every gap history (rows of ``gaps``, all of one length)."""
    gaps = np.asarray(gaps, dtype=np.float64)
    k, length = gaps.shape
    if metric == "total_var":
        if length < 2:
            return np.zeros(k)
        return _ordered_sum(np.abs(np.diff(gaps, axis=1)), 0.0)
    start = tail_start(length, cutoff)
    if start > length:
        raise ValueError("the tail of the gap history starts beyond its end")
    tail = gaps[:, start:]
    n = tail.shape[1]
    if metric == "max_last":
        return _running_max(tail, 1)
    if metric == "var_last":
        if n == 0:
            return np.zeros(k)
        mean = _ordered_sum(tail, -0.0) / float(n)
        dev = tail - mean[:, None]
        return _ordered_sum(dev * dev / float(n), 0.0)
    raise ValueError(f"unknown metric {metric!r}")


def normalized(stack: np.ndarray) -> np.ndarray:
    """Each matrix rescaled to [0, 1] by its NaN-skipping extremes, as the module rescales."""
    flat = stack.reshape(stack.shape[0], -1)
    mx = np.fmax.reduce(flat, axis=1, initial=-np.inf)
    mn = np.fmin.reduce(flat, axis=1, initial=np.inf)
    # A constant matrix gives 0/0: its NaNs stop the run in the module, as the module's own
    # rescaling does, and that stop is the one report of it.
    with np.errstate(divide="ignore", invalid="ignore"):
        out: np.ndarray = (stack - mn[:, None, None]) / (mx - mn)[:, None, None]
    return out
