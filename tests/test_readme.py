"""Every ```python block of README.md, run, so that its asserts are checks.
A block that does not import kiv continues the one before it. Blocks that
import a package missing here are skipped, and so are those that read or
write files (the Dask fleet: tests/test_examples.py runs that example)."""

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
FILES = re.compile(r"\.(read|to)_(parquet|csv)\(")


def chains():
    """Runs of blocks that share a namespace, each block with its first line."""
    text, runs = README.read_text(), []
    for block in re.finditer(r"^```python\n(.*?)^```$", text, re.M | re.S):
        if "import kiv" in block[1] or not runs:
            runs.append([])
        runs[-1].append((text.count("\n", 0, block.start(1)) + 1, block[1]))
    return runs


CHAINS = chains()


@pytest.mark.parametrize("chain", CHAINS, ids=[f"line {chain[0][0]}" for chain in CHAINS])
def test_block(chain):
    namespace = {"__name__": "readme"}
    for line, code in chain:
        if FILES.search(code):
            pytest.skip("reads or writes files")
        for module in re.findall(r"^(?:import|from) (\w+)", code, re.M):
            pytest.importorskip(module)
        # padded, so that a traceback names the README's own line
        exec(compile("\n" * (line - 1) + code, str(README), "exec"), namespace)
