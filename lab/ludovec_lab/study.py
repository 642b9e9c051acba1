"""The study description: one frozen record, read from TOML or built in Python, validated whole.

A study is one of four kinds:

- ``single``: one run per (dynamic, step size) pair on one game, stepped in segments, with a
  decimated gap history, the steps to each tolerance and the distance to the equilibria;
- ``scattered``: ``num_runs`` perturbed runs whose entries have magnitudes in one band
  [``inner_radius``, ``outer_radius``), each reduced to ``metric`` and the ``norm`` of its
  perturbation;
- ``concentric``: the band cut into ``num_slices`` equal slices, ``num_runs // num_slices`` runs
  in each, measured with the max norm;
- ``stack``: one run per matrix of a 3-D array (``matrix``), optionally rescaled to [0, 1].

An exploration may span a grid of games (``games``: named games, matrix files, a stack's
matrices, random families drawn from the seed) and of start points (``starts``); the kinds
themselves are types in ``kinds.py``. Every run starts from the uniform strategies, or from the
study's ``x0`` and ``y0`` (or one of its ``starts``); games may be rectangular (m x n). A run
converged when its gap fell strictly below 1e-8 within ``num_steps``; explorations and stacks
also flag ``metric_below``: the metric strictly below ``threshold``. Explorations draw their
perturbations from ``seed``; a study without one gets one from the OS when its store is created
(``Study.with_drawn_seed``), recorded there and reused on every resume. Every field is checked
before anything runs; all problems are reported together in one StudyError, each naming its
field (and its TOML line). What a study asks of memory (matrix files, a single run's kept
history) and of the plan (its number of chunks) is bounded there too, so that a study that
cannot run is refused before its store exists.
"""

from __future__ import annotations

import contextvars
import difflib
import hashlib
import json
import math
import os
import re
import tomllib
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field, fields, replace
from pathlib import Path
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from . import games
from .errors import StudyError
from .games import GridGame
from .kinds import KIND_TYPES, Checks, StudyKind
from .schema import CONVERGENCE_THRESHOLD

Kind = Literal["single", "scattered", "concentric", "stack"]
KINDS: tuple[Kind, ...] = ("single", "scattered", "concentric", "stack")
DYNAMICS = {
    "ogda": "ogda",
    "omwuoomd": "omwuoomd",
    "omwu_oomd": "omwuoomd",
    "omwuoftrl": "omwuoftrl",
    "omwu_oftrl": "omwuoftrl",
}
METRICS = {
    "max_last": "max_last",
    "max_last_10": "max_last",
    "var_last": "var_last",
    "var_last_10": "var_last",
    "total_var": "total_var",
}
NORMS = ("max", "infinity", "frobenius")
MIN_TOLERANCE = CONVERGENCE_THRESHOLD  # the module stops a run there
U32_MAX = 2**32 - 1
# Work of one chunk, in payoff entries times steps: one to a few seconds for the module's pool on
# two cores, so that committing a chunk (about 0.05 s: Parquet, fsync, rename) costs a few per
# cent at most, while Ctrl-C loses no more than that.
CHUNK_WORK = 1e9
# Points of the decimated gap history a single run keeps (16 bytes each, with their steps).
MAX_HISTORY_POINTS = 10**7
SEED_END = 2**64  # seeds are 64-bit keys of the perturbation stream
# How far from 1 the entries of a start point may add up, as the module's simplex check allows.
SIMPLEX_TOLERANCE = 1e-6
# Chunks of one plan: the plan is a list, and every chunk costs a file in the store.
MAX_CHUNKS = 10**6

# Fields used only by some kinds: the kinds that use each, in the order of KINDS.
_ONLY = {
    f: tuple(k for k in KINDS if f in KIND_TYPES[k].fields)
    for t in KIND_TYPES.values()
    for f in t.fields
}
# How the run is carried out, not what it computes: left out of the fingerprint.
_EXECUTION = ("executor", "scheduler", "workers")

_where: contextvars.ContextVar[Callable[[str], str] | None] = contextvars.ContextVar(
    "where", default=None
)
# The matrices a store recorded for a grid's games (read back instead of reading files or
# drawing again).
_given: contextvars.ContextVar[tuple[GridGame, ...] | None] = contextvars.ContextVar(
    "given", default=None
)


@dataclass(frozen=True, eq=False)
class Study:
    """A validated study. Lists (``dynamic``, ``eta``, ``tolerances``) become tuples; the
    matrix (named ``game``, a file path or an array in ``matrix``), or a grid's ``games``, is
    read at construction (random games once the study has a seed)."""

    kind: Kind
    game: str | None = None
    # A path, or the matrix (a stack: the matrices) itself; nested lists work at run time.
    matrix: str | os.PathLike[str] | npt.NDArray[np.floating[Any] | np.integer[Any]] | None = None
    dynamic: str | Sequence[str] = "ogda"
    eta: float | Sequence[float] = 0.1
    num_steps: int = 1000
    num_runs: int | None = None
    inner_radius: float | None = None
    outer_radius: float | None = None
    num_slices: int | None = None
    norm: str = "max"
    metric: str = "max_last"
    cutoff: float = 0.1
    threshold: float = 1e-8
    seed: int | None = None
    chunk_size: int | None = None
    normalize: bool = False
    tolerances: Sequence[float] = (1e-4, 1e-6, 1e-8)
    decimation: int | Literal["log"] = "log"
    history_points: int = 1000
    segment_steps: int = 100_000  # no longer used: a single run is one native call
    executor: Literal["local", "dask"] = "local"
    scheduler: str | None = None
    workers: int | None = None
    x0: Sequence[float] | None = None
    y0: Sequence[float] | None = None
    # A grid: several games (names, files, arrays, ``{family = ...}``, ``{stack = ...}``).
    games: Sequence[Any] | None = None
    # Several start points, each ``{x = [...], y = [...]}`` (either may be left uniform).
    starts: Sequence[Any] | None = None
    _grid: tuple[GridGame, ...] = field(init=False, repr=False, compare=False, default=())
    _payoff: npt.NDArray[np.float64] | None = field(
        init=False, repr=False, compare=False, default=None
    )
    _seed_drawn: bool = field(init=False, repr=False, compare=False, default=False)

    def __post_init__(self) -> None:
        _validate(self, _where.get() or (lambda name: name))

    # Equal when they compute the same results (a matrix array has no truth value to compare).
    def __eq__(self, other: object) -> bool:
        return isinstance(other, Study) and self.fingerprint == other.fingerprint

    def __hash__(self) -> int:
        return hash(self.fingerprint)

    # ---- derived values -------------------------------------------------------------------
    @property
    def payoff(self) -> npt.NDArray[np.float64]:
        """The game matrix (2-D), or the stack (3-D) of a stack study; read-only."""
        assert self._payoff is not None  # set by validation, or the study does not exist
        return self._payoff

    @property
    def is_grid(self) -> bool:
        return self.games is not None

    @property
    def grid(self) -> tuple[GridGame, ...]:
        """The games the study runs on, in plan order: a grid's, or the one game."""
        if self.games is not None:
            return self._grid
        a = self.payoff
        return (GridGame("", (int(a.shape[-2]), int(a.shape[-1])), a),)

    @property
    def start_points(self) -> tuple[tuple[tuple[float, ...] | None, tuple[float, ...] | None], ...]:
        """Every (x0, y0) start, None meaning uniform; one pair unless ``starts`` lists more."""
        if self.starts is None:
            return ((self.x0, self.y0),)  # type: ignore[return-value]  # tuples once validated
        return tuple((p.get("x"), p.get("y")) for p in self.starts)

    @property
    def seed_drawn(self) -> bool:
        """Whether ``seed`` came from the OS rather than from the description."""
        return self._seed_drawn

    def with_drawn_seed(self, seed: int) -> Study:
        """This study with ``seed`` drawn for it: the same fingerprint, so the description
        without a seed still names the store that recorded the drawn one."""
        if self.seed is not None:
            return self
        drawn = replace(self, seed=seed)
        object.__setattr__(drawn, "_seed_drawn", True)
        return drawn

    @property
    def kind_type(self) -> StudyKind:
        """What the study's kind plans, runs and stores."""
        return KIND_TYPES[self.kind]

    @property
    def runs_per_slice(self) -> int:
        return self.kind_type.runs_per_slice(self)

    @property
    def combos(self) -> list[tuple[str, float]]:
        """Every (dynamic, step size) pair, dynamics first."""
        dynamics = (self.dynamic,) if isinstance(self.dynamic, str) else self.dynamic
        etas = self.eta if isinstance(self.eta, Sequence) else (self.eta,)
        return [(d, e) for d in dynamics for e in etas]

    @property
    def matrix_sha256(self) -> str:
        if self.games is not None:  # every game's, in order (random ones once drawn)
            ids = [g.id if g.matrix is not None else "" for g in self._grid]
            return hashlib.sha256(" ".join(ids).encode()).hexdigest()
        a = self.payoff
        h = hashlib.sha256(repr(a.shape).encode())
        h.update(a.tobytes())
        return h.hexdigest()

    def to_dict(self) -> dict[str, Any]:
        """The description as plain JSON-able values (the matrix by path, name or digest)."""
        out: dict[str, Any] = {}
        for f in fields(self):
            if f.name.startswith("_"):
                continue
            v = getattr(self, f.name)
            if f.name == "matrix":
                v = None if v is None else (os.fspath(v) if _is_path(v) else "<array>")
            elif f.name == "games" and v is not None:
                v = [_entry_dict(e) for e in v]
            elif f.name == "starts" and v is not None:
                v = [{k: list(p) for k, p in e.items()} for e in v]
            elif isinstance(v, tuple):
                v = list(v)
            out[f.name] = v
        out["seed_drawn"] = self._seed_drawn
        if self.games is not None:
            out["shape"] = [list(g.shape) for g in self._grid]
            out["game_names"] = [g.name for g in self._grid]
            out["game_ids"] = [g.id if g.matrix is not None else None for g in self._grid]
            out["game_drawn"] = [g.drawn for g in self._grid]
        else:
            out["shape"] = list(self.payoff.shape)
        out["matrix_sha256"] = self.matrix_sha256
        return out

    def identity(self) -> dict[str, Any]:
        """The fields that decide the results: two studies with equal identities give equal
        stores. The matrix counts by content, not by where it was read from."""
        d = self.to_dict()
        for name in (*_EXECUTION, "matrix", "seed_drawn"):
            d.pop(name)
        if self._seed_drawn:
            d["seed"] = None
        for name in ("x0", "y0", "games", "starts"):  # unset, they leave older fingerprints alone
            if d[name] is None:
                d.pop(name)
        if self.games is not None:
            # Named games and files count by content; random ones by their entry (and the
            # seed, unless drawn): the description without a seed still names its store.
            d.pop("game_ids")
            d.pop("game_drawn")
            d.pop("matrix_sha256")
            d["games"] = [e if isinstance(e, dict) and "family" in e else None for e in d["games"]]
            d["game_contents"] = [None if g.drawn else g.id for g in self._grid]
        return d

    @property
    def fingerprint(self) -> str:
        text = json.dumps(self.identity(), sort_keys=True, allow_nan=True)
        return hashlib.sha256(text.encode()).hexdigest()[:32]


def study_from_dict(
    d: dict[str, Any], payoff: npt.NDArray[np.float64] | list[npt.NDArray[np.float64]]
) -> Study:
    """Rebuilds a study from ``to_dict`` output and its matrix (a store's manifest)."""
    names = {f.name for f in fields(Study) if not f.name.startswith("_")}
    kwargs = {k: v for k, v in d.items() if k in names}
    drawn = kwargs.pop("seed") if d.get("seed_drawn") else None
    if kwargs.get("games") is not None:  # a grid: its games as the store recorded them
        recorded = zip(d["game_names"], d["shape"], payoff, d["game_drawn"], strict=True)
        token = _given.set(
            tuple(GridGame(n, (int(m), int(k)), a, dr) for n, (m, k), a, dr in recorded)
        )
        try:
            grid = Study(**kwargs)
            return grid if drawn is None else grid.with_drawn_seed(int(drawn))
        finally:
            _given.reset(token)
    study = None
    if kwargs.get("game") is not None:  # a named game rebuilds itself, the same by content
        kwargs["matrix"] = None
        study = Study(**kwargs)
        if not np.array_equal(study.payoff, payoff):
            study = None
    if study is None:
        kwargs.update(game=None, matrix=np.asarray(payoff))
        study = Study(**kwargs)
    return study if drawn is None else study.with_drawn_seed(int(drawn))


def load_study(path: str | os.PathLike[str]) -> Study:
    """Reads and validates a TOML study file.

    Every mistake is found in one pass (unknown fields, bad values, missing fields, rules
    across fields) and raised as one StudyError whose ``problems`` are in the order of the
    file's lines, each starting with ``<path>:<line>:`` (or ``<path>:`` for a field the file
    does not hold), then the field.
    """
    path = Path(path)
    try:
        text = path.read_text()
    except (OSError, ValueError) as exc:  # ValueError: not UTF-8, or a NUL in the path
        raise StudyError([f"{path}: cannot read the study file ({exc})"]) from None
    try:
        raw = tomllib.loads(text)
    except tomllib.TOMLDecodeError as exc:
        at = re.search(r"\(at line (\d+), column \d+\)$", str(exc))  # no attribute before 3.14
        place = f"{path}:{at.group(1)}" if at else str(path)
        raise StudyError([f"{place}: not valid TOML: {exc}"]) from None
    except RecursionError:  # the parser recurses once per level of nesting
        raise StudyError(
            [
                f"{path}: values nested too deeply to read; a study holds plain "
                "values and lists of them"
            ]
        ) from None
    lines = _key_lines(text)

    def where(name: str) -> str:
        line = lines.get(name)
        return f"{path}:{line}: {name}" if line else f"{path}: {name}"

    known = [f.name for f in fields(Study) if f.init]
    problems: list[str] = []
    kwargs: dict[str, Any] = {"kind": None}  # a missing kind is reported with the rest
    for key, value in raw.items():
        if key not in known:
            close = difflib.get_close_matches(key, known, n=1)
            hint = (
                f"did you mean {close[0]}?"
                if close
                else "remove it (help(ludovec_lab.Study) lists the fields)"
            )
            problems.append(f"{where(key)}: unknown field; {hint}")
        elif isinstance(value, dict):
            problems.append(f"{where(key)}: expected a value, found a table")
        else:
            kwargs[key] = value
    if isinstance(kwargs.get("matrix"), str) and "\0" not in kwargs["matrix"]:
        m = Path(kwargs["matrix"]).expanduser()
        kwargs["matrix"] = str(m if m.is_absolute() else (path.parent / m).resolve())
    if isinstance(kwargs.get("games"), list):  # a grid's files, found from the study file
        kwargs["games"] = [_beside(path, e) for e in kwargs["games"]]
    token = _where.set(where)
    try:
        study: Study | None = Study(**kwargs)
    except StudyError as exc:
        study = None
        problems += exc.problems
    finally:
        _where.reset(token)
    if problems or study is None:
        raise StudyError(_in_line_order(problems, f"{path}:"))
    return study


def _beside(study_file: Path, entry: Any) -> Any:
    """A grid entry with its file path (or stack path) made absolute from the study file."""

    def absolute(v: Any) -> Any:
        if not isinstance(v, str) or "\0" in v:
            return v
        p = Path(v).expanduser()
        return str(p if p.is_absolute() else (study_file.parent / p).resolve())

    if isinstance(entry, str) and games.is_classic(entry):
        return entry
    if isinstance(entry, dict) and set(entry) == {"stack"}:
        return {"stack": absolute(entry["stack"])}
    return absolute(entry)


def _in_line_order(problems: list[str], prefix: str) -> list[str]:
    """Sorted by the line after ``prefix`` (``prefix<line>: ...``); those without a line last,
    each group in the order found."""
    pattern = re.compile(re.escape(prefix) + r"(\d+): ")

    def line(problem: str) -> float:
        m = pattern.match(problem)
        return int(m.group(1)) if m else math.inf

    return sorted(problems, key=line)


_KEY = re.compile(r"""^\s*(?:"([^"]+)"|'([^']+)'|([A-Za-z0-9_-]+))\s*[.=]""")
_TABLE = re.compile(r"""^\s*\[\[?\s*(?:"([^"]+)"|'([^']+)'|([A-Za-z0-9_-]+))\s*[.\]]""")
_STRING = re.compile(r""""(?:[^"\\]|\\.)*"|'[^']*'""")


def _key_lines(text: str) -> dict[str, int]:
    """The line of each top-level key, and of each table's header (a table is one top-level
    key too): tomllib keeps no positions, so the text is scanned."""
    lines: dict[str, int] = {}
    depth = 0  # inside a multi-line array the lines hold values, not keys
    tables = False  # after the first header, keys belong to tables
    for number, line in enumerate(text.splitlines(), 1):
        code = _STRING.sub('""', line).split("#", 1)[0]  # brackets and '#' of strings dropped
        if depth == 0:
            m = _TABLE.match(line) if code.lstrip().startswith("[") else None
            tables = tables or m is not None
            m = m or (None if tables else _KEY.match(line))
            if m:
                lines.setdefault(next(g for g in m.groups() if g), number)
        depth = max(depth + code.count("[") - code.count("]"), 0)
    return lines


# ---- validation --------------------------------------------------------------------------


def _items(v: object) -> list[Any]:
    """One value or a list of them, as a list of values of any type (not checked yet)."""
    return list(v) if isinstance(v, (list, tuple)) else [v]


def _is_path(v: object) -> bool:
    return isinstance(v, (str, os.PathLike))


def _is_int(v: Any) -> bool:
    return isinstance(v, (int, np.integer)) and not isinstance(v, (bool, np.bool_))


def _is_number(v: Any) -> bool:
    return isinstance(v, (int, float, np.integer, np.floating)) and not isinstance(
        v, (bool, np.bool_)
    )


def _validate(s: Study, where: Callable[[str], str]) -> None:
    problems: list[str] = []
    failed: set[str] = set()  # fields with a problem: checks across fields skip them

    def set_(name: str, value: Any) -> None:
        object.__setattr__(s, name, value)

    def bad(name: str, text: str) -> None:
        problems.append(f"{where(name)}: {text}")
        failed.add(name)

    def fine(*names: str) -> bool:
        return failed.isdisjoint(names)

    def scalar(
        name: str,
        is_type: Callable[[Any], bool],
        what: str,
        test: Callable[[Any], bool],
        rule: str,
        convert: Callable[[Any], Any],
        required: bool,
    ) -> None:
        v = getattr(s, name)
        if v is None:
            if required:
                bad(name, f"missing field ({rule})")
        elif not is_type(v):
            bad(name, f"expected {what}, found {type(v).__name__} {v!r}")
        elif not test(convert(v)):
            bad(name, f"{rule}, found {convert(v)!r}")
        else:
            set_(name, convert(v))

    def integer(name: str, lo: int, hi: int = U32_MAX, required: bool = True) -> None:
        scalar(
            name,
            _is_int,
            "an integer",
            lambda v: lo <= v <= hi,
            f"must be an integer from {lo} to {hi}",
            int,
            required,
        )

    def number(name: str, test: Callable[[float], bool], rule: str, required: bool = True) -> None:
        scalar(name, _is_number, "a number", test, rule, float, required)

    def name_of(name: str, table: dict[str, str] | tuple[str, ...], value: Any) -> str | None:
        if not isinstance(value, str):
            bad(name, f"expected a name, found {type(value).__name__} {value!r}")
            return None
        key = value.lower()
        if key not in table:
            choices = sorted(set(table.values()) if isinstance(table, dict) else table)
            bad(name, f"unknown {name} {value!r} (expected one of {', '.join(choices)})")
            return None
        return table[key] if isinstance(table, dict) else key

    # Without a kind, the fields every kind shares are still checked, so that one pass
    # reports all it can.
    kind = s.kind
    known_kind = kind in KINDS
    if kind is None:
        bad("kind", f"missing field (one of {', '.join(KINDS)})")
    elif not known_kind:
        bad("kind", f"unknown kind {kind!r} (expected one of {', '.join(KINDS)})")

    # Fields the kind does not use must keep their defaults: a silently ignored field is a
    # study that does not do what its author thinks.
    for f in fields(Study):
        v = getattr(s, f.name)
        v = tuple(v) if isinstance(v, list) else v
        if known_kind and f.name in _ONLY and kind not in _ONLY[f.name] and v != f.default:
            bad(f.name, f"not used by a {kind!r} study (used by: {', '.join(_ONLY[f.name])})")

    # The game.
    payoff: npt.NDArray[np.float64] | None = None
    grid: list[GridGame] | None = None
    if not known_kind or "games" in failed:
        pass  # a matrix is read as one game or as a stack, by kind
    elif s.games is not None:
        grid = _grid_games(s, bad)
        if grid is not None:
            set_("_grid", tuple(grid))
    elif KIND_TYPES[kind].matrix_ndim == 3:
        if s.game is not None:
            bad("game", "a stack study reads its matrices from 'matrix' (a 3-D .npy file or array)")
        if s.matrix is None:
            bad("matrix", "missing field (a 3-D .npy file or array of matrices)")
        else:
            payoff = _read(s.matrix, 3, where, problems)
    elif (s.game is None) == (s.matrix is None):
        bad(
            "game",
            "give exactly one of 'game' (a classic game: "
            f"{', '.join(games.CLASSIC_GAMES)}) and 'matrix' (a .npy, .csv or text file)",
        )
    elif s.game is not None:
        if not isinstance(s.game, str):
            bad("game", f"expected a name, found {type(s.game).__name__} {s.game!r}")
        else:
            try:
                payoff = games.classic_game(s.game)
                set_("game", s.game.strip().lower().replace("-", "_").replace(" ", "_"))
            except StudyError as exc:
                bad("game", exc.problems[0].removeprefix("game: "))
    else:
        payoff = _read(s.matrix, 2, where, problems)
    if payoff is not None:
        if payoff.ndim == 3 and payoff.shape[0] == 0:
            bad("matrix", "the stack holds no matrix")
        for text in games.matrix_problems(payoff, "x"):
            bad("game" if s.game is not None else "matrix", text.removeprefix("x: "))
            failed.add("payoff")
        payoff = payoff.copy()
        payoff.setflags(write=False)
        set_("_payoff", payoff)

    # Dynamics and step sizes: one value or a list of them.
    dyn = _items(s.dynamic)
    names = [name_of("dynamic", DYNAMICS, d) for d in dyn]
    if not dyn:
        bad("dynamic", "the list is empty")
    elif None not in names:
        if len(set(names)) != len(names):
            bad("dynamic", f"a dynamic is listed twice: {dyn}")
        set_("dynamic", tuple(names))
    etas = _items(s.eta)
    if not etas:
        bad("eta", "the list is empty")
    elif not all(_is_number(e) for e in etas):
        bad("eta", f"expected a number or a list of numbers, found {s.eta!r}")
    elif not all(math.isfinite(e) and e > 0 for e in etas):
        bad("eta", f"every step size must be a finite number above 0, found {etas}")
    elif len(set(map(float, etas))) != len(etas):
        bad("eta", f"a step size is listed twice: {etas}")
    else:
        set_("eta", tuple(float(e) for e in etas))

    integer("num_steps", 1)

    checks = Checks(bad, fine, set_, integer, number, name_of)
    if known_kind:
        KIND_TYPES[kind].check(s, checks)

    ex = s.executor
    if ex not in ("local", "dask"):
        bad("executor", f'expected "local" or "dask", found {ex!r}')
    if s.scheduler is not None and not isinstance(s.scheduler, str):
        bad(
            "scheduler",
            f'expected an address such as "tcp://127.0.0.1:8786", found {s.scheduler!r}',
        )
    integer("workers", 1, 4096, required=False)
    if not known_kind:  # what follows depends on the kind
        raise StudyError(problems)
    if grid is None and s.games is not None:
        failed.add("payoff")
    shapes = (
        [g.shape for g in grid]
        if grid is not None
        else []
        if payoff is None or "payoff" in failed
        else [payoff.shape[-2:]]
    )
    _check_starts(s, shapes, bad, set_)

    # What the fields ask of memory and of the plan, checked where those fields are valid: a
    # study that cannot run is refused before its store exists.
    game_ok = (payoff is not None or grid is not None) and fine("payoff", "starts")
    KIND_TYPES[kind].check_plan(s, checks, game_ok)

    if problems:
        raise StudyError(problems)
    if s.chunk_size is None and KIND_TYPES[kind].chunked:
        set_("chunk_size", _default_chunk(s))


def _read(
    value: Any, ndim: int, where: Callable[[str], str], problems: list[str]
) -> npt.NDArray[np.float64] | None:
    if _is_path(value):
        try:
            return games.read_matrix(os.fspath(value), ndim)
        except StudyError as exc:
            problems.extend(f"{where('matrix')}: {p}" for p in exc.problems)
            return None
    try:
        arr = np.array(value, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        problems.append(f"{where('matrix')}: not a numeric array ({exc})")
        return None
    if arr.ndim != ndim:
        problems.append(f"{where('matrix')}: expected {ndim} dimensions, found {arr.ndim}")
        return None
    return arr


def tail_start(length: int, cutoff: float) -> int:
    """The first step of a metric's tail, as the module computes it."""
    p = length * (1.0 - cutoff)
    p = 0.0 if p != p else min(max(p, 0.0), 4294967295.0)
    return int(p)


def _default_chunk(s: Study) -> int:
    """Runs per chunk, fixed by the description alone so that every executor cuts alike (and
    independent of the run count, so that a store refusing a study names only what differs).
    A grid's chunks are cut for its largest game."""
    m, n = max((g.shape for g in s.grid), key=lambda shape: shape[0] * shape[1])
    return max(1, int(CHUNK_WORK // (s.num_steps * m * n)))


def _num_chunks(groups: int, runs: int, size: int) -> int:
    """Chunks of ``groups`` (dynamic, step size, slice) groups of ``runs`` runs each."""
    return groups * -(-runs // size)


def _entry_dict(e: Any) -> Any:
    """A grid entry as plain JSON values (an array by its digest)."""
    if isinstance(e, dict):
        return {k: (list(v) if isinstance(v, tuple) else v) for k, v in e.items()}
    if _is_path(e):
        return os.fspath(e)
    return "<array>"


def _grid_games(s: Study, bad: Callable[[str, str], None]) -> list[GridGame] | None:
    """The games of a grid, each faulty entry reported on its own line."""
    found: list[str] = []

    def entry_bad(text: str) -> None:
        found.append(text)
        bad("games", text)

    if s.game is not None or s.matrix is not None:
        bad("games", "give either 'games' (a grid) or one of 'game' and 'matrix', not both")
        return None
    entries = s.games
    if isinstance(entries, (str, dict)) or not isinstance(entries, (list, tuple)):
        bad("games", f"expected a list of games, found {entries!r}")
        return None
    if not entries:
        bad("games", "the list is empty")
        return None
    given = _given.get()  # as a store recorded them: its files may be gone, nothing is drawn
    seed = s.seed if _is_int(s.seed) else None
    grid = list(given) if given is not None else games.resolve(entries, seed, None, entry_bad)
    if grid is None:
        return None
    if len(grid) > games.MAX_GAMES:
        bad("games", f"{len(grid)} games, more than {games.MAX_GAMES}; list fewer")
        return None
    drawn = sum(g.shape[0] * g.shape[1] for g in grid if g.drawn)
    if drawn > games.MAX_RANDOM_ENTRIES:
        bad(
            "games",
            f"the random games hold {drawn} entries, more than {games.MAX_RANDOM_ENTRIES}; "
            "lower their count or shape",
        )
        return None
    ok = True
    for g in grid:
        if g.matrix is not None:
            for text in games.matrix_problems(g.matrix, "x"):
                bad("games", f"{g.name}: {text.removeprefix('x: ')}")
                ok = False
    ids: dict[str, str] = {}
    for g in grid:
        if g.matrix is not None and not g.drawn:
            if g.id in ids:
                bad("games", f"{g.name} is the same game as {ids[g.id]}; list it once")
                ok = False
            ids.setdefault(g.id, g.name)
    if not ok:
        return None
    frozen = []
    for g in grid:
        if g.matrix is not None:
            a = np.ascontiguousarray(g.matrix, dtype=np.float64).copy()
            a.setflags(write=False)
            g = GridGame(g.name, g.shape, a, g.drawn)
        frozen.append(g)
    return frozen


def _check_starts(
    s: Study,
    shapes: list[tuple[int, int]],
    bad: Callable[[str, str], None],
    set_: Callable[[str, Any], None],
) -> None:
    """Start points: distributions over each player's actions, fitting every game."""
    if s.starts is not None and (s.x0 is not None or s.y0 is not None):
        bad("starts", "give either 'starts' or 'x0'/'y0', not both")
        return

    def point(field_: str, v: Any, name: str, axis: int) -> tuple[float, ...] | None:
        rows = "rows" if axis == 0 else "columns"
        if not isinstance(v, (list, tuple, np.ndarray)) or not all(_is_number(e) for e in v):
            bad(field_, f"expected a list of numbers (a distribution over the {rows}), found {v!r}")
            return None
        start = tuple(float(e) for e in v)
        sizes = sorted({shape[axis] for shape in shapes})
        if len(sizes) > 1:
            bad(
                field_,
                f"{name} must fit every game, but the games have {' or '.join(map(str, sizes))} "
                f"{rows}; give starts only to grids whose games share a shape",
            )
            return None
        if sizes and sizes[0] != len(start):
            bad(
                field_,
                f"the game has {sizes[0]} {rows}, so {name} needs {sizes[0]} entries, "
                f"found {len(start)}",
            )
            return None
        if not all(math.isfinite(e) and e >= 0.0 for e in start) or not (
            abs(math.fsum(start) - 1.0) <= SIMPLEX_TOLERANCE
        ):
            bad(
                field_,
                f"must be a distribution: entries at least 0 adding up to 1, found {list(start)}",
            )
            return None
        return start

    for name, axis in (("x0", 0), ("y0", 1)):
        v = getattr(s, name)
        if v is not None:
            start = point(name, v, name, axis)
            if start is not None:
                set_(name, start)
    if s.starts is None:
        return
    if not isinstance(s.starts, (list, tuple)) or not s.starts:
        bad(
            "starts", f"expected a non-empty list of {{ x = [...], y = [...] }}, found {s.starts!r}"
        )
        return
    out = []
    for i, p in enumerate(s.starts, 1):
        if not isinstance(p, dict) or not p or not set(p) <= {"x", "y"}:
            bad(
                "starts",
                f"start {i}: expected {{ x = [...], y = [...] }} (either may be left "
                f"out for uniform), found {p!r}",
            )
            continue
        done = {k: point("starts", v, f"start {i} {k}", 0 if k == "x" else 1) for k, v in p.items()}
        if None not in done.values():
            out.append(done)
    if len(out) == len(s.starts):
        keys = [json.dumps(sorted(p.items())) for p in out]
        if len(set(keys)) != len(keys):
            bad("starts", "a start point is listed twice")
        else:
            set_("starts", tuple(out))
