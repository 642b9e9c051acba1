"""A small study through the lab: single runs, then two seeded explorations, summaries and figures.

Each study is described once, run chunk by chunk into a store under demo-output/ (a Parquet
dataset with its manifest), summarised as the table a paper would print, and drawn with
`report`. The explorations give their seed, so every run prints the same numbers (a study without
one would get a seed drawn and recorded in its store). Run with
`make demo`; it takes a few seconds.
"""

import shutil
import sys
import time
from pathlib import Path

import ludovec_lab as lab
from ludovec_lab import views

OUT = Path("demo-output")

# What a reader of the printed tables should know, per study.
NOTES = {
    "single": "omwuoomd and omwuoftrl coincide: from a fresh start the two forms give the same "
    "iterates up to rounding (README: When omwuoomd and omwuoftrl give the same iterates)",
}

STUDIES = {
    # Three dynamics on O'Neill's 4x4 game from the uniform start, each one native call; the
    # history kept is log-spaced, so a long cap costs no memory. The two multiplicative-weights
    # forms follow the same trajectory from a fresh start, up to rounding (see NOTES).
    "single": lab.Study(
        kind="single",
        game="oneill",
        dynamic=["ogda", "omwuoomd", "omwuoftrl"],
        eta=0.1,
        num_steps=200_000,
        tolerances=[1e-4, 1e-6, 1e-8],
    ),
    # How often OGDA settles within 300 steps when every payoff entry of biased pennies moves
    # by up to 2.
    "scattered": lab.Study(
        kind="scattered",
        game="biased_pennies",
        dynamic="ogda",
        eta=0.1,
        num_steps=300,
        num_runs=4_000,
        inner_radius=0.0,
        outer_radius=2.0,
        norm="frobenius",
        metric="max_last",
        seed=2024,
    ),
    # The same question slice by slice of the perturbation's size, for multiplicative weights.
    "concentric": lab.Study(
        kind="concentric",
        game="biased_pennies",
        dynamic="omwuoomd",
        eta=0.1,
        num_steps=1_000,
        num_runs=4_000,
        inner_radius=0.0,
        outer_radius=2.0,
        num_slices=8,
        metric="var_last",
        cutoff=0.2,
        seed=2024,
    ),
}


def main():
    t0 = time.perf_counter()
    for name, study in STUDIES.items():
        store = OUT / "stores" / name
        # A fresh store each time, so the demo always shows the work being done (running the
        # study again on a kept store would only resume it).
        shutil.rmtree(store, ignore_errors=True)
        print(f"\n== {name}", flush=True)
        started = time.perf_counter()
        lab.run(study, store=store, progress=sys.stderr.isatty())
        print(f"   ran in {time.perf_counter() - started:.1f} s, stored in {store}")
        views.summary(store)
        if name in NOTES:
            print(f"   note: {NOTES[name]}")
        written = views.report(store, OUT / "figures" / name)
        print("   figures: " + ", ".join(str(p) for p in written if p.suffix == ".png"))
    print(f"\nDemo finished in {time.perf_counter() - t0:.1f} s")


if __name__ == "__main__":
    sys.exit(main())
