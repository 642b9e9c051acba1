"""A log axis with a floor row for values that have no place on it.

Metrics such as the variance of a constant tail are exactly zero, and a log axis has no place
for them. They are drawn on a floor row below the smallest positive value, with their own
marker, legend entry and a "0" label, so a zero never poses as a small number and nothing is
clipped into invented decades.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["FLOOR_COLOUR"]

FLOOR_COLOUR = "black"


class _LogFloor:
    """A log scale for the positive values, with a floor row below them for values <= 0."""

    def __init__(self, values: npt.ArrayLike, extra: Iterable[float] = ()) -> None:
        v = np.asarray(values, dtype=np.float64).ravel()
        positive = v[np.isfinite(v) & (v > 0)]
        marks = [x for x in extra if np.isfinite(x) and x > 0]
        span = np.concatenate([positive, marks]) if marks else positive
        if span.size:
            self.lo, self.hi = float(span.min()), float(span.max())
        else:
            self.lo = self.hi = 1.0
        # A decade of room below the data, then the floor; nothing is drawn between them.
        self.floor = self.lo / 10**1.0
        self.gap = self.lo / 10**0.5
        self.has_floor = bool(np.any(v <= 0))
        self.all_zero = bool(np.all(v[v <= 0] == 0))

    def map(self, values: npt.ArrayLike) -> npt.NDArray[np.float64]:
        v = np.asarray(values, dtype=np.float64)
        return np.where(v <= 0, self.floor, v)

    def label(self, what: str, count: int) -> str:
        relation = "= 0" if self.all_zero else "≤ 0"
        return f"{what} {relation} ({count:,}), drawn on the floor"

    def mark(self, ax: Axes, what: str, count: int) -> None:
        """The legend entry of the floor, when something sits on it."""
        if count:
            ax.plot(
                [],
                [],
                linestyle="none",
                marker="_",
                color=FLOOR_COLOUR,
                markersize=12,
                markeredgewidth=1.6,
                label=self.label(what, count),
            )

    def apply(self, ax: Axes) -> None:
        from matplotlib.ticker import (
            FuncFormatter,
            LogFormatterSciNotation,
            LogLocator,
            NullFormatter,
        )
        from matplotlib.transforms import blended_transform_factory

        ax.set_yscale("log")
        bottom = self.floor / 10**0.3 if self.has_floor else self.lo / 10**0.3
        ax.set_ylim(bottom, self.hi * 10**0.3)
        if not self.has_floor:
            return
        gap, decades = self.gap, LogFormatterSciNotation()

        def label(y: float, pos: int | None) -> str:  # nothing inside the break: no such values
            return "" if y < gap else str(decades(y, pos))

        ax.yaxis.set_major_locator(LogLocator(base=10.0, numticks=12))
        ax.yaxis.set_major_formatter(FuncFormatter(label))
        ax.yaxis.set_minor_formatter(NullFormatter())
        ax.axhspan(bottom, gap, color="0.93", zorder=0, linewidth=0)
        ax.axhline(gap, color="0.5", linewidth=0.8, linestyle=(0, (2, 2)), zorder=1)
        transform = blended_transform_factory(ax.transAxes, ax.transData)
        ax.text(
            -0.012,
            self.floor,
            "0" if self.all_zero else "≤0",
            transform=transform,
            ha="right",
            va="center",
            fontsize="small",
        )
