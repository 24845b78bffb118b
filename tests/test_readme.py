"""Every ```python block of README.md, run on its own, so that its asserts
are checks. Blocks that import a package missing here are skipped, and so
are those that read or write files (the Dask fleet: tests/test_examples.py
runs that example)."""

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
FILES = re.compile(r"\.(read|to)_(parquet|csv)\(")


def blocks():
    """Each block's first line and code."""
    text = README.read_text()
    return [(text.count("\n", 0, block.start(1)) + 1, block[1])
            for block in re.finditer(r"^```python\n(.*?)^```$", text, re.M | re.S)]


BLOCKS = blocks()


@pytest.mark.parametrize("line, code", BLOCKS, ids=[f"line {line}" for line, _ in BLOCKS])
def test_block(line, code):
    if FILES.search(code):
        pytest.skip("reads or writes files")
    for module in re.findall(r"^(?:import|from) (\w+)", code, re.M):
        pytest.importorskip(module)
    # padded, so that a traceback names the README's own line
    exec(compile("\n" * (line - 1) + code, str(README), "exec"), {"__name__": "readme"})
