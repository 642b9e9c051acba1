"""Prints the build requirements plus those of the named extras, read from pyproject.toml."""

import sys
import tomllib
from pathlib import Path

project = tomllib.loads((Path(__file__).parent.parent / "pyproject.toml").read_text())
reqs = project["build-system"]["requires"] + ["ninja", "cmake"]
for extra in sys.argv[1:]:
    reqs += project["project"]["optional-dependencies"][extra]
print(" ".join(reqs))  # no spaces inside a requirement
