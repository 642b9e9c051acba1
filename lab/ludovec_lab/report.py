"""The report of a store: every figure that applies (PNG and SVG), the printed summary, and one
self-contained HTML page holding the description, the tables and the figures inline."""

from __future__ import annotations

import html
import os
import re
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING

from .errors import StoreError
from .figures import (
    _strategies,
    plot_concentric,
    plot_distance,
    plot_gaps,
    plot_heatmap,
    plot_paths,
    plot_scattered,
    plot_stack,
    plot_steps_ecdf,
    save_figure,
)
from .store import Store
from .tables import TableError, distinct, kind_of, resolve, studies_of, summarise

if TYPE_CHECKING:
    import pandas as pd
    from matplotlib.figure import Figure

__all__ = ["report"]

# Everything before the <svg> element (XML declaration, DOCTYPE with its external DTD) and the
# metadata block (namespace URLs) have no place inside an HTML page.
_SVG_START = re.compile(r"<svg\b")
_SVG_METADATA = re.compile(r"<metadata>.*?</metadata>\s*", re.DOTALL)

_CSS = """
body { font-family: sans-serif; max-width: 72em; margin: 2em auto; color: #222; }
table { border-collapse: collapse; font-size: 0.85em; margin: 1em 0; }
th, td { border: 1px solid #ccc; padding: 0.25em 0.6em; text-align: right; }
th { background: #f2f2f2; }
table.description td, table.description th { text-align: left; }
figure { margin: 2em 0; }
figure svg { max-width: 100%; height: auto; }
figcaption { font-size: 0.85em; color: #555; }
"""


def _write_text(path: Path, text: str) -> None:
    tmp = path.with_name(f".{path.name}.tmp")
    tmp.write_text(text, encoding="utf-8")
    os.replace(tmp, path)


def _figures(
    store: str | os.PathLike[str] | Store, df: pd.DataFrame
) -> dict[str, Callable[[], Figure]]:
    """The figures that apply to the store's rows, by file stem, built when called."""
    kind = kind_of(df)
    if kind == "single":
        from .store import load_histories

        histories = load_histories(store if isinstance(store, Store) else Path(store))
        found: dict[str, Callable[[], Figure]] = {"gaps": lambda: plot_gaps(histories)}
        try:
            xs, ys = _strategies(histories)
        except TableError:
            return found
        if len(xs) in (2, 3) and len(ys) in (2, 3):
            found["paths"] = lambda: plot_paths(store)
        found["distance"] = lambda: plot_distance(store)
        return found
    found = {
        "concentric": lambda: plot_concentric(df),
        "stack": lambda: plot_stack(df),
        "scattered": lambda: plot_scattered(df),
    }
    found = {kind: found[kind]} if kind in found else {"scattered": found["scattered"]}
    if kind != "stack" and distinct(df, "eta") * df.groupby(["inner", "outer"]).ngroups > 1:
        found["heatmap"] = lambda: plot_heatmap(df)
    if "steps" in df.columns and "converged" in df.columns:
        found["steps"] = lambda: plot_steps_ecdf(df)
    return found


def _inline_svg(path: Path) -> str:
    text = path.read_text(encoding="utf-8")
    start = _SVG_START.search(text)
    return _SVG_METADATA.sub("", text[start.start() :] if start else text)


def _description_html(df: pd.DataFrame) -> str:
    parts = []
    for label, study in studies_of(df).items():
        rows = "".join(
            f"<tr><th>{html.escape(str(k))}</th><td>{html.escape(str(v))}</td></tr>"
            for k, v in study.items()
            if v is not None
        )
        parts.append(
            f'<h3>study {html.escape(label)}</h3><table class="description">{rows}</table>'
        )
    provenance = [
        f"<li>{html.escape(name)}: {html.escape(str(df.attrs[name]))}</li>"
        for name in ("fingerprint", "created", "updated", "versions")
        if name in df.attrs
    ]
    if provenance:
        parts.append(f"<ul>{''.join(provenance)}</ul>")
    return "".join(parts)


def _page(title: str, header: list[str], table: str, description: str, figures: str) -> str:
    lines = "".join(f"<p>{html.escape(line)}</p>" for line in header)
    return (
        "<!DOCTYPE html>\n"
        '<html lang="en"><head><meta charset="utf-8">'
        f"<title>{html.escape(title)}</title><style>{_CSS}</style></head><body>"
        f"<h1>{html.escape(title)}</h1>"
        f"<h2>Summary</h2>{lines}{table}"
        f"<h2>Figures</h2>{figures}"
        f"<h2>Study</h2>{description}"
        "</body></html>\n"
    )


def report(store: str | os.PathLike[str] | Store, out: str | os.PathLike[str]) -> list[Path]:
    """Write every figure that applies to a store, its summary and an HTML page into `out`.

    Single runs give ``gaps`` and, when their histories hold the strategies, ``paths`` (2 or
    3 actions per player) and ``distance``; explorations give ``scattered`` or
    ``concentric``, a ``heatmap`` when there are several step sizes or bands, and ``steps``
    (steps to converge) when the rows know them; stacks give ``stack`` and ``steps``. Each is
    written as PNG and SVG, with ``summary.txt`` (the printed table) and ``index.html`` (the
    study, the tables and every figure inline: no other file or network access needed). Every
    file is written under a temporary name and renamed into place.

    Parameters
    ----------
    store : path or Store
        A study store.
    out : path
        Folder for the files, created if missing.

    Returns
    -------
    list of pathlib.Path, the files written.

    Raises
    ------
    StoreError
        If the store holds no finished runs yet (or is not a store).
    """
    df = resolve(store)
    if df.empty:
        where = getattr(store, "path", store)
        raise StoreError(f"{where}: the store holds no finished runs yet; run the study first")
    folder = Path(out)
    written: list[Path] = []
    inline = []
    for stem, draw in _figures(store, df).items():
        paths = save_figure(draw(), folder, stem)
        written += paths
        inline.append(f"<figure>{_inline_svg(paths[1])}<figcaption>{stem}</figcaption></figure>")
    result = summarise(df)
    text_path = folder / "summary.txt"
    _write_text(text_path, result.text + "\n")
    written.append(text_path)
    table = (
        result.cells.to_html(index=False, border=0, escape=True)
        if not result.cells.empty
        else "<p>no runs stored yet</p>"
    )
    title = result.header[0] if result.header else "study report"
    page = _page(title, result.header[1:], table, _description_html(df), "".join(inline))
    page_path = folder / "index.html"
    _write_text(page_path, page)
    written.append(page_path)
    return written
