"""Tables and figures of studies: the public face of `tables`, `figures` and `report`.

Every function takes a store (its directory or an open `Store`), the DataFrame that `load`
returned for it, or (for summaries and figures of explorations) a list of them. Figures are
`matplotlib.figure.Figure` objects built without pyplot state (no display needed), saved as PNG
and SVG by `save_figure`; `report` writes all that apply, the summary and an HTML page.
"""

from __future__ import annotations

from .figures import (
    plot_concentric,
    plot_distance,
    plot_gaps,
    plot_heatmap,
    plot_overlay,
    plot_paths,
    plot_scattered,
    plot_stack,
    plot_steps_ecdf,
    save_figure,
)
from .report import report
from .tables import Source, Sources, TableError, binomial_interval, summary

__all__ = [
    "Source",
    "Sources",
    "TableError",
    "binomial_interval",
    "plot_concentric",
    "plot_distance",
    "plot_gaps",
    "plot_heatmap",
    "plot_overlay",
    "plot_paths",
    "plot_scattered",
    "plot_stack",
    "plot_steps_ecdf",
    "report",
    "save_figure",
    "summary",
]
