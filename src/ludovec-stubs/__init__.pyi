"""Learning dynamics and perturbation explorations for two-player zero-sum matrix games.

The row player holds the mixed strategy ``x`` and pays ``x @ a @ y`` to the column player,
who holds ``y``. Every array is a NumPy ``float64`` array; inputs of any strides are read,
never written.
"""

from typing import final

import numpy as np
import numpy.typing as npt

__all__ = [
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

_F64Array = npt.NDArray[np.float64]

@final
class GameResult:
    """The histories of one run; produced by runs, not constructible.

    Every history has ``num_steps`` rows. Row ``t`` holds what step ``t`` started from; after
    convergence (the first gap below 1e-08) the converging row repeats to the end.
    """

    @property
    def x_history(self) -> _F64Array:
        """Row player's strategy before each step, shape (num_steps, len(x)); a fresh copy."""

    @property
    def y_history(self) -> _F64Array:
        """Column player's strategy before each step, shape (num_steps, len(y)); a fresh copy."""

    @property
    def gaps_history(self) -> _F64Array:
        """Duality gap of the strategies in the same row, shape (num_steps,); a fresh copy."""

@final
class GameState:
    """A payoff matrix and both players' strategies, changed in place by Experiment runs."""

    def __new__(cls, x: _F64Array, y: _F64Array, a: _F64Array) -> GameState:
        """Projects ``x`` and ``y`` (1-D) onto the probability simplex and copies ``a`` (2-D).

        Shapes are checked at the first run: ``a`` needs len(x) rows and len(y) columns.
        Raises PanicException ("NaN encountered", "Issue computing theta") when a strategy
        cannot be projected.
        """

    @property
    def a(self) -> _F64Array:
        """The payoff matrix; a fresh copy on every read."""

@final
class Ogda:
    """A stand-alone optimistic gradient descent-ascent record; not usable by Experiment."""

    def __new__(cls, eta: float, dim: int) -> Ogda:
        """Uniform auxiliary iterates of length ``dim``; PanicException for ``dim`` 0."""

@final
class OmwuOomd:
    """A stand-alone optimistic multiplicative-weights (mirror descent) record."""

    def __new__(cls, eta: float, dim: int) -> OmwuOomd:
        """Uniform auxiliary iterates of length ``dim``; PanicException for ``dim`` 0."""

@final
class OmwuOftrl:
    """A stand-alone optimistic multiplicative-weights (regularised leader) record."""

    def __new__(cls, eta: float, dim: int) -> OmwuOftrl:
        """Zero gradient sums of length ``dim``."""

@final
class Optimizer:
    """One learning dynamic with step size ``eta`` for square games of size ``dim``.

    Built only through the static methods. An Experiment steps it in place; explorations
    work on clones and leave it unchanged.
    """

    @staticmethod
    def ogda(eta: float, dim: int) -> Optimizer:
        """Optimistic gradient descent-ascent with Euclidean projection onto the simplex."""

    @staticmethod
    def omwuoomd(eta: float, dim: int) -> Optimizer:
        """Optimistic multiplicative weights, online-mirror-descent form."""

    @staticmethod
    def omwuoftrl(eta: float, dim: int) -> Optimizer:
        """Optimistic multiplicative weights, follow-the-regularised-leader form."""

@final
class Experiment:
    """Binds a GameState, an Optimizer (both by reference) and a step count."""

    def __new__(cls, state: GameState, optimizer: Optimizer, num_steps: int) -> Experiment:
        """``num_steps`` is an integer from 0 to 2**32 - 1."""

    def run_experiment_until_convergence_in_place(self) -> GameResult:
        """Steps until the duality gap falls strictly below 1e-08 or ``num_steps`` steps ran.

        The state and optimizer keep what the run left in them, so a second call continues
        the dynamics. Raises PanicException when the numerics stop (shape mismatch, NaN).
        """

@final
class PyScatteredOutput:
    """Result of scattered_exploration; not constructible."""

    @property
    def norms(self) -> _F64Array:
        """Norm of each run's perturbation, shape (num_exploration,); the stored array itself."""

    @property
    def metrics(self) -> _F64Array:
        """Metric of each run, shape (num_exploration,); the stored array itself."""

@final
class PyConcentricOutput:
    """Result of concentric_exploration; not constructible."""

    @property
    def slice_boundaries(self) -> _F64Array:
        """(lower, upper) radius of each slice, shape (num_slices, 2); the stored array itself."""

    @property
    def metrics(self) -> _F64Array:
        """Metrics per slice, shape (num_slices, num_exploration // num_slices); the stored array."""

def scattered_exploration(
    a_delta: _F64Array,
    optimizer: Optimizer,
    num_exploration: int,
    num_steps: int,
    inner_radius: float,
    outer_radius: float,
    norm_str: str,
    metric_method: str,
    cutoff: float = 0.1,
) -> PyScatteredOutput:
    """Runs ``num_exploration`` perturbed games around ``a_delta`` on the worker pool.

    Each run starts from a reset clone of ``optimizer`` and uniform strategies on
    ``a_delta + P``, where every entry of P has a uniform magnitude in
    [inner_radius, outer_radius] and a fair random sign. ``norm_str`` ("max", "infinity",
    "frobenius") measures P; ``metric_method`` ("max_last", "var_last", "total_var", any case)
    reduces the run's gap history, over its last ``cutoff`` fraction for the first two.
    Raises ValueError for unknown names, PanicException for an empty or infinite band.
    """

def concentric_exploration(
    a_delta: _F64Array,
    optimizer: Optimizer,
    num_exploration: int,
    num_steps: int,
    inner_radius: float,
    outer_radius: float,
    num_slices: int,
    metric_method: str,
    cutoff: float = 0.1,
) -> PyConcentricOutput:
    """Cuts [inner_radius, outer_radius] into ``num_slices`` equal bands, one after the other.

    Each band runs ``num_exploration // num_slices`` perturbed games as in
    scattered_exploration (perturbations measured with the max norm). PanicException for
    ``num_slices`` 0 ("attempt to divide by zero") or an empty or infinite band.
    """

def neighborhood_exploration(
    matrices: _F64Array, optimizer: Optimizer, num_steps: int, normalize_matrix: bool
) -> list[GameResult]:
    """Runs one experiment per 2x2 matrix of the stack ``matrices`` (shape (k, 2, 2)).

    Every run starts from x = y = (0.5, 0.5) and a clone of ``optimizer`` as it is (not
    reset). With ``normalize_matrix`` each matrix is first rescaled to [0, 1] (NaN ignored).
    Results come back in input order.
    """
