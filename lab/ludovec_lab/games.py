"""Named classic games, matrix files, the games of a grid study, and equilibria.

Every matrix is in the module's convention: the row player pays ``x @ a @ y`` to the column
player, so the row player minimises and the value of a game is min over x of max over y.
"""

from __future__ import annotations

import hashlib
import math
import os
import re
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.lib.format as npformat
import numpy.typing as npt

from .errors import StudyError

# What a study reads from one matrix file, as float64, and the largest text matrix file.
MAX_MATRIX_BYTES = 2**30
MAX_TEXT_BYTES = 64 * 2**20
# Characters of a file's line that a message echoes.
ECHO = 40
# Control characters no text matrix holds (tabs, line and page breaks aside).
_CONTROL = re.compile(r"[\x00-\x08\x0e-\x1f\x7f]")

# name -> (matrix, the value min_x max_y x @ a @ y)
_CLASSIC: dict[str, tuple[list[list[float]], float]] = {
    "matching_pennies": ([[1.0, -1.0], [-1.0, 1.0]], 0.0),
    # Pennies with one pair of faces paying three: value 1/3, x = y = (1/3, 2/3).
    "biased_pennies": ([[3.0, -1.0], [-1.0, 1.0]], 1.0 / 3.0),
    "rock_paper_scissors": ([[0.0, 1.0, -1.0], [-1.0, 0.0, 1.0], [1.0, -1.0, 0.0]], 0.0),
    # Row i beats column j when j - i is 1 or 3 modulo 5, loses when it is 2 or 4.
    "rock_paper_scissors_lizard_spock": (
        [
            [
                0.0 if (j - i) % 5 == 0 else (-1.0 if (j - i) % 5 in (1, 3) else 1.0)
                for j in range(5)
            ]
            for i in range(5)
        ],
        0.0,
    ),
    # O'Neill's card game (three number cards and a joker), the row player paying one unit on
    # a match of jokers or a mismatch of numbers: value -0.2, both players (0.4, 0.2, 0.2, 0.2).
    "oneill": (
        [
            [1.0, -1.0, -1.0, -1.0],
            [-1.0, -1.0, 1.0, 1.0],
            [-1.0, 1.0, -1.0, 1.0],
            [-1.0, 1.0, 1.0, -1.0],
        ],
        -0.2,
    ),
    # A game at equilibrium from the uniform start: the gap is zero at once.
    "identity_2": ([[1.0, 0.0], [0.0, 1.0]], 0.5),
}

CLASSIC_GAMES = tuple(_CLASSIC)


def classic_game(name: str) -> npt.NDArray[np.float64]:
    """The payoff matrix of a named classic game (a fresh float64 array)."""
    key = name.strip().lower().replace("-", "_").replace(" ", "_")
    if key not in _CLASSIC:
        raise StudyError([f"game: unknown game {name!r} (known: {', '.join(CLASSIC_GAMES)})"])
    return np.array(_CLASSIC[key][0], dtype=np.float64)


def classic_value(name: str) -> float:
    """The known value of a named classic game."""
    return _CLASSIC[name][1]


def read_matrix(path: str | Path, ndim: int = 2) -> npt.NDArray[np.float64]:
    """Reads a payoff matrix (``ndim`` 2) or a stack of them (3) from .npy or text.

    Text files hold one matrix row per line, entries separated by commas or whitespace; a
    stack is not readable from text. Raises StudyError naming the file for every problem.
    """
    if "\0" in str(path):
        raise StudyError(
            [
                f"{_excerpt(str(path))}: the path holds a NUL character; give the "
                "path of a .npy, .csv or text file"
            ]
        )
    path = Path(path)
    if not path.is_file():
        raise StudyError([f"{path}: no such matrix file"])
    try:
        size = path.stat().st_size
    except OSError as exc:
        raise StudyError([f"{path}: cannot read ({exc.strerror})"]) from None
    if path.suffix.lower() == ".npy":
        arr = _read_npy(path, ndim, size)
    else:
        if ndim != 2:
            raise StudyError([f"{path}: a stack of matrices must be a .npy file"])
        arr = _read_text(path, size)
    return np.ascontiguousarray(arr, dtype=np.float64)


def _read_npy(path: Path, ndim: int, size: int) -> npt.NDArray[Any]:
    # The header is checked before the data is read: it may claim more than the file holds,
    # or more than memory holds, and np.load would allocate it all first.
    try:
        with path.open("rb") as fp:
            version = npformat.read_magic(fp)
            if version == (1, 0):
                shape, _, dtype = npformat.read_array_header_1_0(fp)
            elif version == (2, 0):
                shape, _, dtype = npformat.read_array_header_2_0(fp)
            else:
                raise ValueError(
                    f"format version {version[0]}.{version[1]}; save it with numpy.save"
                )
            offset = fp.tell()
    except (ValueError, OSError, EOFError) as exc:
        raise StudyError([f"{path}: not a readable .npy file ({_cap(str(exc), 80)})"]) from None
    if dtype.kind not in "fiub":
        raise StudyError([f"{path}: entries must be numbers, not {_cap(str(dtype), 40)}"])
    if len(shape) != ndim:
        raise StudyError(
            [
                f"{path}: expected {_dims(ndim)}, found {len(shape)} dimensions "
                f"(shape {_cap(str(shape), 40)} of {dtype})"
            ]
        )
    count = math.prod(shape)
    data = count * dtype.itemsize
    if data > size - offset:
        raise StudyError(
            [
                f"{path}: the header claims shape {shape} of {dtype} "
                f"({_bytes(data)}), but the file holds {_bytes(size - offset)} of "
                "data: the file is truncated or damaged; save it again"
            ]
        )
    if count * 8 > MAX_MATRIX_BYTES:
        raise StudyError(
            [
                f"{path}: shape {shape} takes {_bytes(count * 8)} as float64, more "
                f"than the {_bytes(MAX_MATRIX_BYTES)} a study reads; use a smaller "
                "matrix or stack"
            ]
        )
    try:
        arr: npt.NDArray[Any] = np.load(path, allow_pickle=False)
    except (ValueError, OSError, EOFError) as exc:
        raise StudyError([f"{path}: not a readable .npy file ({_cap(str(exc), 80)})"]) from None
    return arr


def _read_text(path: Path, size: int) -> npt.NDArray[np.float64]:
    if size > MAX_TEXT_BYTES:
        raise StudyError(
            [
                f"{path}: {_bytes(size)} of text, more than the "
                f"{_bytes(MAX_TEXT_BYTES)} a text matrix may take; save a large "
                "matrix as .npy"
            ]
        )
    try:
        text = path.read_text(encoding="utf-8")
    except UnicodeDecodeError:
        raise StudyError(
            [f"{path}: not a text matrix (not UTF-8 text); give a .npy, .csv or text file"]
        ) from None
    except OSError as exc:
        raise StudyError([f"{path}: cannot read ({exc.strerror})"]) from None
    rows: list[list[float]] = []
    for number, full in enumerate(text.splitlines(), 1):
        if _CONTROL.search(full):  # never echoed: it would carry the junk into the message
            raise StudyError(
                [
                    f"{path}, line {number}: binary content, not a text matrix; give a "
                    ".npy, .csv or text file"
                ]
            )
        line = full.split("#", 1)[0].strip()
        if not line:
            continue
        # An empty field is a missing entry: "1,,-1" is not the row (1, -1).
        if any(not f.strip() for f in line.split(",")):
            raise StudyError(
                [f"{path}, line {number}: an empty field in {_excerpt(line)}; write every entry"]
            )
        try:
            rows.append([float(c) for c in line.replace(",", " ").split()])
        except ValueError:
            raise StudyError([f"{path}, line {number}: not a number in {_excerpt(line)}"]) from None
        if len(rows[-1]) != len(rows[0]):
            raise StudyError(
                [
                    f"{path}, line {number}: {len(rows[-1])} entries where the first "
                    f"row has {len(rows[0])} (ragged matrix)"
                ]
            )
    if not rows:
        raise StudyError([f"{path}: the file holds no matrix"])
    return np.array(rows, dtype=np.float64)


def _dims(ndim: int) -> str:
    return "a matrix (2 dimensions)" if ndim == 2 else "a stack of matrices (3 dimensions)"


def _cap(text: str, limit: int) -> str:
    return text if len(text) <= limit else text[:limit] + "…"


def _excerpt(text: str) -> str:
    """What a message echoes of a user's file: quoted, at most ECHO characters."""
    return repr(_cap(text, ECHO))


def _bytes(n: int) -> str:
    for unit, scale in (("GiB", 2**30), ("MiB", 2**20), ("KiB", 2**10)):
        if n >= scale:
            return f"{n / scale:.1f} {unit}"
    return f"{n} bytes"


def matrix_problems(a: np.ndarray, what: str) -> list[str]:
    """What makes ``a`` (a matrix, or a stack) unusable for the dynamics, as messages."""
    problems = []
    if a.size == 0:
        problems.append(f"{what}: the matrix is empty (shape {a.shape})")
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
    row = linprog(
        c,
        A_ub=np.hstack([a.T, -np.ones((n, 1))]),
        b_ub=np.zeros(n),
        A_eq=np.hstack([np.ones((1, m)), [[0.0]]]),
        b_eq=[1.0],
        bounds=[(0, None)] * m + [(None, None)],
        method="highs",
    )
    # Column player: maximise w subject to (a y)_i >= w for every row, y on the simplex.
    col = linprog(
        -np.eye(n + 1)[-1],
        A_ub=np.hstack([-a, np.ones((m, 1))]),
        b_ub=np.zeros(m),
        A_eq=np.hstack([np.ones((1, n)), [[0.0]]]),
        b_eq=[1.0],
        bounds=[(0, None)] * n + [(None, None)],
        method="highs",
    )
    if row.status != 0 or col.status != 0:
        raise RuntimeError(f"the equilibrium program failed: {row.message}; {col.message}")
    return Equilibrium(value=float(row.x[-1]), x=row.x[:m], y=col.x[:n])


def distance_to_equilibria(
    a: np.ndarray, x: np.ndarray, y: np.ndarray, value: float | None = None
) -> float:
    """L1 distance of (x, y) to the set of equilibria: that of x to the row player's optimal
    strategies plus that of y to the column player's (each set is a polytope, so each distance
    is one linear program)."""
    from scipy.optimize import linprog

    a = np.asarray(a, dtype=np.float64)
    v = equilibrium(a).value if value is None else value
    # A small slack keeps the optimal sets non-empty under the solver's own tolerances.
    slack = 1e-9 * max(1.0, float(np.abs(a).max(initial=0.0)))

    def one(point: np.ndarray, payoff: np.ndarray, bound: float) -> float:
        k = point.size
        # variables: s (k), t (k); minimise sum t with t >= |s - point|, payoff s <= bound.
        c = np.concatenate([np.zeros(k), np.ones(k)])
        eye = np.eye(k)
        a_ub = np.vstack(
            [
                np.hstack([eye, -eye]),
                np.hstack([-eye, -eye]),
                np.hstack([payoff, np.zeros((payoff.shape[0], k))]),
            ]
        )
        b_ub = np.concatenate([point, -point, np.full(payoff.shape[0], bound)])
        res = linprog(
            c,
            A_ub=a_ub,
            b_ub=b_ub,
            A_eq=np.concatenate([np.ones(k), np.zeros(k)])[None, :],
            b_eq=[1.0],
            bounds=[(0, None)] * (2 * k),
            method="highs",
        )
        if res.status != 0:
            raise RuntimeError(f"the distance program failed: {res.message}")
        return float(res.fun)

    # x optimal: a.T x <= v; y optimal: a y >= v, i.e. -a y <= -v.
    return one(np.asarray(x, float), a.T, v + slack) + one(np.asarray(y, float), -a, -v + slack)


# ---- the games of a grid study ------------------------------------------------------------

FAMILIES = ("normal", "uniform", "integers")
# Keys each family entry may hold besides ``family``: (required, optional).
_FAMILY_KEYS: dict[str, tuple[tuple[str, ...], tuple[str, ...]]] = {
    "normal": (("shape",), ("count",)),
    "uniform": (("shape", "low", "high"), ("count",)),
    "integers": (("shape", "low", "high"), ("count",)),
}
# Games one grid may hold: each is a group of chunks and a matrix in the store.
MAX_GAMES = 10_000
# Entries of all random games of a grid (float64 each, kept in memory and in the store).
MAX_RANDOM_ENTRIES = 10**8


@dataclass(frozen=True)
class GridGame:
    """One game of a study: its name, id, shape and matrix (None while its seed is unknown)."""

    name: str
    shape: tuple[int, int]
    matrix: npt.NDArray[np.float64] | None
    drawn: bool = False  # from a random family: known by its entry and seed, not its content

    @property
    def id(self) -> str:
        assert self.matrix is not None  # drawn once the study has a seed
        return game_id(self.matrix)


def game_id(a: npt.NDArray[np.float64]) -> str:
    """First 12 hex digits of the sha256 of the matrix (shape, then float64 bytes)."""
    a = np.ascontiguousarray(a, dtype=np.float64)
    h = hashlib.sha256(repr(a.shape).encode())
    h.update(a.tobytes())
    return h.hexdigest()[:12]


def _is_int(v: Any) -> bool:
    return isinstance(v, (int, np.integer)) and not isinstance(v, (bool, np.bool_))


def _is_number(v: Any) -> bool:
    return isinstance(v, (int, float, np.integer, np.floating)) and not isinstance(
        v, (bool, np.bool_)
    )


def draw(family: str, params: dict[str, Any], seed: int, entry: int) -> npt.NDArray[np.float64]:
    """The ``count`` matrices of a family entry: a pure function of (seed, entry position)."""
    rng = np.random.Generator(np.random.PCG64(np.random.SeedSequence([seed, entry])))
    size = (int(params.get("count", 1)), *map(int, params["shape"]))
    if family == "normal":
        return rng.standard_normal(size)
    if family == "uniform":
        return rng.uniform(float(params["low"]), float(params["high"]), size)
    low, high = int(params["low"]), int(params["high"])
    return rng.integers(low, high, size, endpoint=True).astype(np.float64)


def family_problems(entry: dict[str, Any]) -> list[str]:
    """What is wrong with a family entry (empty when it is valid)."""
    family = entry.get("family")
    if not isinstance(family, str) or family.lower() not in FAMILIES:
        return [f"unknown family {family!r} (expected one of {', '.join(FAMILIES)})"]
    family = family.lower()
    need, may = _FAMILY_KEYS[family]
    out = [
        f"{k!r} is not a key of a {family} family (keys: family, {', '.join(need + may)})"
        for k in entry
        if k not in ("family", *need, *may)
    ]
    out += [f"a {family} family needs {k!r}" for k in need if k not in entry]
    shape = entry.get("shape")
    if "shape" in entry and not (
        isinstance(shape, (list, tuple))
        and len(shape) == 2
        and all(_is_int(d) and 1 <= d <= 2**31 - 1 for d in shape)
    ):
        out.append(f"shape must be [rows, columns], two integers at least 1, found {shape!r}")
    count = entry.get("count", 1)
    if not (_is_int(count) and 1 <= count <= MAX_GAMES):
        out.append(f"count must be an integer from 1 to {MAX_GAMES}, found {count!r}")
    if family in ("uniform", "integers") and "low" in entry and "high" in entry:
        low, high = entry["low"], entry["high"]
        is_type = _is_int if family == "integers" else _is_number
        what = "integers" if family == "integers" else "finite numbers"
        if not (is_type(low) and is_type(high) and math.isfinite(low) and math.isfinite(high)):
            out.append(f"low and high must be {what}, found {low!r} and {high!r}")
        elif not low < high:
            out.append(f"low must be below high, found low {low!r} and high {high!r}")
    return out


def resolve(
    entries: Sequence[Any],
    seed: int | None,
    base: Path | None,
    bad: Callable[[str], None],
) -> list[GridGame] | None:
    """The games of ``entries``, or None after reporting each faulty entry through ``bad``."""
    out: list[GridGame] = []
    ok = True
    labels: dict[str, int] = {}
    for i, entry in enumerate(entries, 1):
        at = f"entry {i}"
        if isinstance(entry, dict) and "family" in entry:
            problems = family_problems(entry)
            for p in problems:
                bad(f"{at}: {p}")
            if problems:
                ok = False
                continue
            family = str(entry["family"]).lower()
            m, n = (int(d) for d in entry["shape"])
            matrices = None if seed is None else draw(family, entry, seed, i - 1)
            for k in range(int(entry.get("count", 1))):
                label = f"{family} {m}x{n}"
                labels[label] = labels.get(label, 0) + 1
                a = None if matrices is None else matrices[k]
                out.append(GridGame(f"{label} #{labels[label]}", (m, n), a, drawn=True))
            continue
        if isinstance(entry, dict) and set(entry) == {"stack"}:
            stack = _read_entry(entry["stack"], 3, base, at, bad)
            if stack is None:
                ok = False
                continue
            stem = Path(entry["stack"]).stem if isinstance(entry["stack"], str) else "stack"
            for k, a in enumerate(stack):
                out.append(GridGame(f"{stem}[{k}]", (a.shape[0], a.shape[1]), a))
            continue
        if isinstance(entry, dict):
            bad(
                f"{at}: a table must be a random family ({{ family = ..., shape = [m, n] }}) "
                f'or a stack ({{ stack = "file.npy" }}), found keys {sorted(entry)}'
            )
            ok = False
            continue
        if isinstance(entry, str) and _classic_key(entry) in CLASSIC_GAMES:
            key = _classic_key(entry)
            a = classic_game(key)
            out.append(GridGame(key, (a.shape[0], a.shape[1]), a))
            continue
        b = _read_entry(entry, 2, base, at, bad)
        if b is None:
            ok = False
            continue
        name = Path(entry).stem if isinstance(entry, (str, os.PathLike)) else f"array #{i}"
        out.append(GridGame(name, (b.shape[0], b.shape[1]), b))
    if not ok:
        return None
    seen: dict[str, int] = {}
    named: list[GridGame] = []
    for g in out:  # two files of one stem stay apart by name
        seen[g.name] = seen.get(g.name, 0) + 1
        name = g.name if seen[g.name] == 1 else f"{g.name} ({seen[g.name]})"
        named.append(GridGame(name, g.shape, g.matrix, g.drawn))
    return named


def is_classic(name: str) -> bool:
    return _classic_key(name) in CLASSIC_GAMES


def _classic_key(name: str) -> str:
    return name.strip().lower().replace("-", "_").replace(" ", "_")


def _read_entry(
    value: Any, ndim: int, base: Path | None, at: str, bad: Callable[[str], None]
) -> npt.NDArray[np.float64] | None:
    if isinstance(value, (str, os.PathLike)):
        p = Path(value).expanduser()
        if base is not None and not p.is_absolute():
            p = base / p
        try:
            return read_matrix(os.fspath(p), ndim)
        except StudyError as exc:
            for problem in exc.problems:
                bad(f"{at}: {problem}")
            return None
    try:
        arr = np.array(value, dtype=np.float64)
    except (TypeError, ValueError):
        arr = None
    if arr is None or arr.ndim != ndim:
        what = "a game name, a matrix file" if ndim == 2 else "a 3-D .npy file"
        bad(f"{at}: expected {what}, a random family or a stack, found {value!r}")
        return None
    return arr
