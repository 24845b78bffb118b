import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from fresh import TIME_SCALE

pytest.importorskip("matplotlib")

DEMO = Path(__file__).resolve().parent.parent / "demo" / "demo.py"


def test_demo_writes_figure_and_summary(tmp_path):
    out = tmp_path / "figure" / "demo.png"
    env = {**os.environ, "MPLCONFIGDIR": str(tmp_path / "mpl")}
    env.pop("DISPLAY", None)
    run = subprocess.run([sys.executable, str(DEMO), "--samples", "2000", "--out", str(out)],
                         cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120 * TIME_SCALE)
    assert run.returncode == 0, run.stderr
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    def field(name):
        found = re.search(rf"^  {re.escape(name)} +(.+)$", run.stdout, re.M)
        assert found, f"no {name!r} in:\n{run.stdout}"
        return found[1]

    assert field("samples").startswith("2,000 over ")
    assert field("window limit").startswith("60 samples")
    narrowest, widest, seconds = map(int, re.match(r"(\d+) to (\d+) samples .*; widest (\d+) s$",
                                                   field("window widths")).groups())
    assert 1 <= narrowest < widest <= 60 and abs(seconds - widest) <= 3  # about one reading a second
    assert re.fullmatch(r"60 samples = \d+ s \(max_window_sec 60 s\)", field("window limit"))
    assert re.fullmatch(r"[\d.]+ ms", field("smooth() took"))
    assert field("figure") == os.path.join("figure", "demo.png")
