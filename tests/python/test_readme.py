"""The README as a tested document: every ```python block runs on its own, in order.

Each block runs in a fresh interpreter in an empty directory, so it must carry its own imports
and inputs; the numbers a block states are checked by the asserts it contains. Blocks in other
languages (```sh, ```toml, …) are shown, not run.
"""

import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
FENCE = re.compile(r"^(?P<indent>\s*)(?P<fence>`{3,}|~{3,})\s*(?P<info>[^`\s]*)")


def python_blocks(text):
    """(line number, source) of every fenced block whose language is python, in order.

    A block closes at a fence of the same character at least as long as its opening one;
    the opening fence's indentation is removed from its lines, as in a list item.
    """
    blocks, lines, i = [], text.splitlines(), 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        indent, fence, info = len(m["indent"]), m["fence"], m["info"].lower()
        start, i = i + 1, i + 1
        while i < len(lines):
            close = lines[i].strip()
            if close.startswith(fence[0] * len(fence)) and not close.strip(fence[0]):
                break
            i += 1
        if info == "python":
            body = [
                line[indent:] if not line[:indent].strip() else line.lstrip()
                for line in lines[start:i]
            ]
            blocks.append((start, "\n".join(body) + "\n"))
        i += 1
    return blocks


BLOCKS = python_blocks(README.read_text(encoding="utf-8"))


def test_extractor_finds_python_blocks_only():
    sample = textwrap.dedent("""\
        Text.
        ```python
        a = 1
        ```
        ```toml
        [study]
        ```
        - a list item:

          ```python
          if True:
              b = "``` inside a string"
          ```
        ````sh
        ```python
        not python: inside a sh block
        ```
        ````
        ~~~Python
        for c in range(3):
            pass
        ~~~
        ```py
        ```
        """)
    found = python_blocks(sample)
    assert found == [
        (2, "a = 1\n"),
        (10, 'if True:\n    b = "``` inside a string"\n'),
        (19, "for c in range(3):\n    pass\n"),
    ]
    assert all(compile(src, "block", "exec") for _, src in found)


def test_readme_has_examples():
    assert len(BLOCKS) >= 8


@pytest.mark.parametrize("line,source", BLOCKS, ids=[f"line-{n}" for n, _ in BLOCKS])
def test_block_runs_alone(line, source, tmp_path):
    script = tmp_path / f"readme_line_{line}.py"
    script.write_text(source, encoding="utf-8")
    proc = subprocess.run(
        [sys.executable, script.name], cwd=tmp_path, capture_output=True, text=True, timeout=600
    )
    assert proc.returncode == 0, f"README.md block at line {line} failed:\n{proc.stderr}"
