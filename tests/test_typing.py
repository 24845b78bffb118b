"""The installed stubs: mypy must find them and check calls against them."""
import ast
import importlib.util
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import kiv
from fresh import TIME_SCALE

pytestmark = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy not installed")

GOOD = """
    import numpy as np
    import numpy.typing as npt
    import kiv

    timestamps = np.cumsum(np.full(100, 0.5))
    values = np.sin(timestamps)
    limit: int = kiv.get_max_window_limit(timestamps, min_window_size=1, max_window_sec=30.0)
    widths: npt.NDArray[np.uint8] = kiv.calculate_window_sizes(
        values, limit, min_window_size=1.0, window_smooth_width_size=np.int64(9),
        low_percentile=5, high_percentile=95.0)
    means: npt.NDArray[np.float64] = kiv.apply_variable_smoothing(values, widths.astype(np.int64))
    smoothed: npt.NDArray[np.float64] = kiv.smooth(
        values, timestamps, min_window_size=1.0, max_window_sec=60,
        window_smooth_width_size=30, low_percentile=10.0, high_percentile=90.0)
    many: npt.NDArray[np.float64] = kiv.smooth_many(
        values, timestamps, offsets=np.array([0, 40, 100]), workers=-1, low_percentile=5)
    arrow: npt.NDArray[np.float64] = kiv.smooth_many(values, timestamps, offsets=np.array([0, 100], np.int32))
    grouped: npt.NDArray[np.float64] = kiv.smooth_many(values, timestamps, groups=np.zeros(100, np.int64))
    version: str = kiv.__version__
    level: str = kiv._cpu_level
    names: list[str] = kiv.__all__
"""


@pytest.fixture(scope="module")
def cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def mypy(tmp_path, cache, source):
    (tmp_path / "example.py").write_text(textwrap.dedent(source))
    # Run from tmp_path so that only the installed kiv can be found.
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-color-output",
                           "--cache-dir", str(cache), "example.py"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=300 * TIME_SCALE)


def test_strict_example_passes(tmp_path, cache):
    run = mypy(tmp_path, cache, GOOD)
    assert run.returncode == 0, run.stdout + run.stderr


@pytest.mark.parametrize("call, message", [
    ("kiv.smooth(values, timestamps, window=3)", 'Unexpected keyword argument "window"'),
    ("kiv.get_max_window_limit(timestamps, 5.0)", "Too many positional arguments"),
    ("kiv.calculate_window_sizes(values, 31, window_smooth_width_size=2.5)", '"window_smooth_width_size"'),
    ("kiv.apply_variable_smoothing(values, kiv.calculate_window_sizes(values, 31))", "incompatible type"),
])
def test_bad_call_is_reported(tmp_path, cache, call, message):
    run = mypy(tmp_path, cache, GOOD + f"    {call}\n")
    assert run.returncode == 1, run.stdout + run.stderr
    errors = [line for line in run.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and message in errors[0], run.stdout


# The compiled signatures write every default as "...": what stubtest says of
# that is expected, anything else is a mismatch.
RUNTIME_ELLIPSIS = re.compile(r'^kiv\.\w+ is inconsistent, runtime parameter "\w+" has a default value of '
                              r'Ellipsis, which is different from stub parameter default .+$')


def test_stub_matches_module(tmp_path):
    # Parameter names, kinds and defaults of the stub against the compiled module.
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--concise", "kiv"],
                         cwd=tmp_path, capture_output=True, text=True, timeout=300 * TIME_SCALE)
    unexpected = [line for line in run.stdout.splitlines() if line and not RUNTIME_ELLIPSIS.match(line)]
    assert not unexpected and "error" not in run.stderr.lower(), run.stdout + run.stderr


def stub_defaults():
    stub = ast.parse(Path(kiv.__file__).with_name("kiv.pyi").read_text())
    for node in stub.body:
        if isinstance(node, ast.FunctionDef):
            names = [a.arg for a in node.args.kwonlyargs]
            yield node.name, dict(zip(names, map(ast.literal_eval, node.args.kw_defaults)))


@pytest.mark.parametrize("name, defaults", list(stub_defaults()))
def test_stub_defaults_are_the_real_ones(name, defaults):
    # what an editor shows must be what an omitted argument means
    t = np.cumsum(np.random.default_rng(3).uniform(0.5, 1.5, 300))
    x = np.sin(t / 9) + np.random.default_rng(4).normal(0, 0.2, t.size)
    offsets = np.array([0, 120, 300])
    args = {"get_max_window_limit": (t,), "calculate_window_sizes": (x, 200), "smooth": (x, t),
            "smooth_many": (x, t)}.get(name)
    if args is None:
        assert not defaults
        return
    call = getattr(kiv, name)
    layout = {"offsets": offsets} if name == "smooth_many" else {}
    for parameter, value in defaults.items():  # one at a time, so each has to be right
        given = {**layout, parameter: value}
        if parameter == "offsets":  # None stands for the other layout
            given = {"offsets": value, "groups": np.repeat([0, 1], [120, 180])}
        np.testing.assert_array_equal(call(*args, **given), call(*args, **layout))
