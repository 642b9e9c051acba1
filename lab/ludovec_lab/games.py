"""Named classic games, matrix files, and equilibria by linear programming.

Every matrix is in the module's convention: the row player pays ``x @ a @ y`` to the column
player, so the row player minimises and the value of a game is min over x of max over y.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

import numpy as np

from .errors import StudyError

# name -> (matrix, the value min_x max_y x @ a @ y)
_CLASSIC: dict[str, tuple[list[list[float]], float]] = {
    "matching_pennies": ([[1.0, -1.0], [-1.0, 1.0]], 0.0),
    # Pennies with one pair of faces paying three: value 1/3, x = y = (1/3, 2/3).
    "biased_pennies": ([[3.0, -1.0], [-1.0, 1.0]], 1.0 / 3.0),
    "rock_paper_scissors": ([[0.0, 1.0, -1.0], [-1.0, 0.0, 1.0], [1.0, -1.0, 0.0]], 0.0),
    # Row i beats column j when j - i is 1 or 3 modulo 5, loses when it is 2 or 4.
    "rock_paper_scissors_lizard_spock": (
        [[0.0 if (j - i) % 5 == 0 else (-1.0 if (j - i) % 5 in (1, 3) else 1.0)
          for j in range(5)] for i in range(5)], 0.0),
    # O'Neill's card game (three number cards and a joker), the row player paying one unit on
    # a match of jokers or a mismatch of numbers: value -0.2, both players (0.4, 0.2, 0.2, 0.2).
    "oneill": ([[1.0, -1.0, -1.0, -1.0],
                [-1.0, -1.0, 1.0, 1.0],
                [-1.0, 1.0, -1.0, 1.0],
                [-1.0, 1.0, 1.0, -1.0]], -0.2),
    # A game at equilibrium from the uniform start: the gap is zero at once.
    "identity_2": ([[1.0, 0.0], [0.0, 1.0]], 0.5),
}

CLASSIC_GAMES = tuple(_CLASSIC)


def classic_game(name: str) -> np.ndarray:
    """The payoff matrix of a named classic game (a fresh float64 array)."""
    key = name.strip().lower().replace("-", "_").replace(" ", "_")
    if key not in _CLASSIC:
        raise StudyError([f"game: unknown game {name!r} (known: {', '.join(CLASSIC_GAMES)})"])
    return np.array(_CLASSIC[key][0], dtype=np.float64)


def classic_value(name: str) -> float:
    """The known value of a named classic game."""
    return _CLASSIC[name][1]


def read_matrix(path: str | Path, ndim: int = 2) -> np.ndarray:
    """Reads a payoff matrix (``ndim`` 2) or a stack of them (3) from .npy or text.

    Text files hold one matrix row per line, entries separated by commas or whitespace; a
    stack is not readable from text. Raises StudyError naming the file for every problem.
    """
    path = Path(path)
    where = f"{path}"
    if not path.is_file():
        raise StudyError([f"{where}: no such matrix file"])
    if path.suffix.lower() == ".npy":
        try:
            arr = np.load(path, allow_pickle=False)
        except (ValueError, OSError, EOFError) as exc:
            raise StudyError([f"{where}: not a readable .npy file ({exc})"]) from None
    else:
        if ndim != 2:
            raise StudyError([f"{where}: a stack of matrices must be a .npy file"])
        arr = _read_text(path)
    if arr.dtype.kind not in "fiub":
        raise StudyError([f"{where}: entries must be numbers, not {arr.dtype}"])
    if arr.ndim != ndim:
        what = "a matrix (2 dimensions)" if ndim == 2 else "a stack of matrices (3 dimensions)"
        raise StudyError([f"{where}: expected {what}, found {arr.ndim} dimensions"])
    return np.ascontiguousarray(arr, dtype=np.float64)


def _read_text(path: Path) -> np.ndarray:
    try:
        text = path.read_text()
    except (OSError, UnicodeDecodeError) as exc:
        raise StudyError([f"{path}: cannot read ({exc})"]) from None
    rows = []
    for number, line in enumerate(text.splitlines(), 1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        cells = [c for c in line.replace(",", " ").split()]
        try:
            rows.append([float(c) for c in cells])
        except ValueError:
            raise StudyError([f"{path}, line {number}: not a number in {line!r}"]) from None
        if len(rows[-1]) != len(rows[0]):
            raise StudyError([f"{path}, line {number}: {len(rows[-1])} entries where the first "
                              f"row has {len(rows[0])} (ragged matrix)"])
    if not rows:
        raise StudyError([f"{path}: the file holds no matrix"])
    return np.array(rows, dtype=np.float64)


def matrix_problems(a: np.ndarray, what: str) -> list[str]:
    """What makes ``a`` (a matrix, or a stack) unusable for the dynamics, as messages."""
    problems = []
    if a.size == 0:
        problems.append(f"{what}: the matrix is empty (shape {a.shape})")
    elif a.shape[-1] != a.shape[-2]:
        problems.append(f"{what}: the matrix must be square (the dynamics step square games), "
                        f"found {a.shape[-2]} x {a.shape[-1]}")
    if a.size and not np.isfinite(a).all():
        problems.append(f"{what}: the matrix holds NaN or infinite entries")
    return problems


@dataclass(frozen=True)
class Equilibrium:
    """A game's value (what the row player pays) and one optimal strategy per player."""

    value: float
    x: np.ndarray
    y: np.ndarray


def equilibrium(a: np.ndarray) -> Equilibrium:
    """Solves the game ``a`` (any rectangular shape) with two linear programs (HiGHS)."""
    from scipy.optimize import linprog

    a = np.asarray(a, dtype=np.float64)
    m, n = a.shape
    # Row player: minimise v subject to (a.T x)_j <= v for every column, x on the simplex.
    c = np.zeros(m + 1)
    c[-1] = 1.0
    row = linprog(c, A_ub=np.hstack([a.T, -np.ones((n, 1))]), b_ub=np.zeros(n),
                  A_eq=np.hstack([np.ones((1, m)), [[0.0]]]), b_eq=[1.0],
                  bounds=[(0, None)] * m + [(None, None)], method="highs")
    # Column player: maximise w subject to (a y)_i >= w for every row, y on the simplex.
    col = linprog(-np.eye(n + 1)[-1], A_ub=np.hstack([-a, np.ones((m, 1))]), b_ub=np.zeros(m),
                  A_eq=np.hstack([np.ones((1, n)), [[0.0]]]), b_eq=[1.0],
                  bounds=[(0, None)] * n + [(None, None)], method="highs")
    if row.status != 0 or col.status != 0:
        raise RuntimeError(f"the equilibrium program failed: {row.message}; {col.message}")
    return Equilibrium(value=float(row.x[-1]), x=row.x[:m], y=col.x[:n])


def distance_to_equilibria(a: np.ndarray, x: np.ndarray, y: np.ndarray,
                           value: float | None = None) -> float:
    """L1 distance of (x, y) to the set of equilibria: that of x to the row player's optimal
    strategies plus that of y to the column player's (each set is a polytope, so each distance
    is one linear program)."""
    from scipy.optimize import linprog

    a = np.asarray(a, dtype=np.float64)
    m, n = a.shape
    v = equilibrium(a).value if value is None else value
    # A small slack keeps the optimal sets non-empty under the solver's own tolerances.
    slack = 1e-9 * max(1.0, float(np.abs(a).max(initial=0.0)))

    def one(point: np.ndarray, payoff: np.ndarray, bound: float) -> float:
        k = point.size
        # variables: s (k), t (k); minimise sum t with t >= |s - point|, payoff s <= bound.
        c = np.concatenate([np.zeros(k), np.ones(k)])
        eye = np.eye(k)
        a_ub = np.vstack([np.hstack([eye, -eye]), np.hstack([-eye, -eye]),
                          np.hstack([payoff, np.zeros((payoff.shape[0], k))])])
        b_ub = np.concatenate([point, -point, np.full(payoff.shape[0], bound)])
        res = linprog(c, A_ub=a_ub, b_ub=b_ub,
                      A_eq=np.concatenate([np.ones(k), np.zeros(k)])[None, :], b_eq=[1.0],
                      bounds=[(0, None)] * (2 * k), method="highs")
        if res.status != 0:
            raise RuntimeError(f"the distance program failed: {res.message}")
        return float(res.fun)

    # x optimal: a.T x <= v; y optimal: a y >= v, i.e. -a y <= -v.
    return one(np.asarray(x, float), a.T, v + slack) + one(np.asarray(y, float), -a, -v + slack)
