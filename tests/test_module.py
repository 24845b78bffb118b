"""The module object as Python sees it: attributes, function metadata, the
shared library that carries it."""

import importlib
import shutil
import subprocess
import sys
import sysconfig
import types
from pathlib import Path

import pytest

import kiv
from fresh import CPU_LEVELS, run_fresh

FUNCTIONS = ["smooth", "get_max_window_limit", "calculate_window_sizes", "apply_variable_smoothing", "smooth_many"]

METADATA = [
    (
        "get_max_window_limit",
        "(timestamps, *, min_window_size=..., max_window_sec=...)",
        "Maximum window size derived from the sampling rate.",
    ),
    (
        "calculate_window_sizes",
        "(values, max_window_size, *, min_window_size=..., window_smooth_width_size=...,"
        " low_percentile=..., high_percentile=...)",
        "Per-sample odd window sizes based on signal variability",
    ),
    (
        "apply_variable_smoothing",
        "(values, window_sizes)",
        "Apply the per-sample variable-width centered rolling mean",
    ),
    (
        "smooth",
        "(values, timestamps, *, min_window_size=..., max_window_sec=...,"
        " window_smooth_width_size=..., low_percentile=..., high_percentile=...)",
        "Full KIV smoothing",
    ),
    (
        "smooth_many",
        "(values, timestamps, *, offsets=None, groups=None, min_window_size=..., max_window_sec=...,"
        " window_smooth_width_size=..., low_percentile=..., high_percentile=..., workers=1)",
        "Full KIV smoothing of many series in one call",
    ),
]


def test_module_attributes():
    assert type(kiv.__all__) is list
    assert kiv.__all__ == ["__version__", *FUNCTIONS]
    assert kiv.__version__ == "0.1.0"
    # an empty docstring, not a missing one
    assert kiv.__doc__ == ""
    for name in kiv.__all__:
        assert hasattr(kiv, name)


@pytest.mark.parametrize("name, signature, summary", METADATA)
def test_function_metadata(name, signature, summary):
    func = getattr(kiv, name)
    assert type(func) is types.BuiltinFunctionType
    assert func.__name__ == name
    assert func.__text_signature__ == signature
    assert func.__doc__ == summary
    assert func.__module__ == "kiv"
    # static functions: the module is not bound as self
    assert func.__self__ is None


def test_reimport_creates_fresh_module(monkeypatch):
    monkeypatch.delitem(sys.modules, "kiv")
    fresh = importlib.import_module("kiv")
    assert fresh is not kiv
    assert fresh.__all__ is not kiv.__all__
    assert fresh.__all__ == kiv.__all__
    assert fresh.__version__ == kiv.__version__
    assert fresh.__doc__ == ""
    for name in FUNCTIONS:
        assert getattr(fresh, name) is not getattr(kiv, name)
        assert getattr(fresh, name).__module__ == "kiv"
    # the new module's functions are live, not just present
    with pytest.raises(TypeError, match=r"^smooth\(\) missing 2 required positional"):
        fresh.smooth()
    fresh.__all__.append("extra")
    assert "extra" not in kiv.__all__


def test_installed_as_abi3_library_in_site_packages():
    path = Path(kiv.__file__)
    assert path.name == "kiv.abi3.so"
    assert path.parent.resolve() == Path(sysconfig.get_paths()["platlib"]).resolve()


def test_exports_only_init_function(tmp_path):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    # a copy: under qemu-user the module's path is the emulated system's, which the host's nm cannot see
    library = shutil.copy(kiv.__file__, tmp_path)
    out = subprocess.run(
        [nm, "-D", "--defined-only", library], capture_output=True, text=True, check=True
    ).stdout
    code = [fields[2] for fields in map(str.split, out.splitlines()) if len(fields) == 3 and fields[1] == "T"]
    assert code == ["PyInit_kiv"]


LEVEL = r"""
import json
try:
    import kiv
    print(json.dumps(kiv._cpu_level))
except ImportError as exc:
    print(json.dumps(f"ImportError: {exc}"))
"""


def best_in_cpuinfo():
    """The best level the kernels are built for that /proc/cpuinfo lists (abm: LZCNT)."""
    with open("/proc/cpuinfo") as info:
        lines = info.readlines()
    if CPU_LEVELS == ["neon"]:
        features = [line.split(":")[1].split() for line in lines if line.startswith("Features")]
        # qemu-user before 8.2 shows the host's file, which has no Features
        return "neon" if not features or "asimd" in features[0] else "ImportError: this CPU lacks neon"
    flags = set(next(line for line in lines if line.startswith("flags")).split(":")[1].split())
    v3 = {"avx", "avx2", "bmi1", "bmi2", "f16c", "fma", "abm", "movbe", "xsave"} <= flags
    v4 = v3 and {"avx512f", "avx512dq", "avx512cd", "avx512bw", "avx512vl"} <= flags
    return "avx512" if v4 else "avx2" if v3 else "baseline"


def test_cpu_level(monkeypatch):
    levels = CPU_LEVELS
    assert kiv._cpu_level in levels
    assert "_cpu_level" not in kiv.__all__
    monkeypatch.delenv("KIV_CPU_LEVEL", raising=False)
    best = run_fresh(LEVEL)
    assert best == best_in_cpuinfo()
    for cap in [*levels, "baseline"]:
        monkeypatch.setenv("KIV_CPU_LEVEL", cap)
        expected = levels[0] if cap == "baseline" else min(cap, best, key=levels.index)
        assert run_fresh(LEVEL) == expected
    for cap in ["AVX2", "avx-512", "sse2", " baseline"]:
        monkeypatch.setenv("KIV_CPU_LEVEL", cap)
        assert run_fresh(LEVEL) == (f"ImportError: KIV_CPU_LEVEL must be baseline, {', '.join(levels[1:] or levels)}"
                                    f" or unset, not '{cap}'")


# A bad KIV_CPU_LEVEL fails the import; once corrected, the next import
# succeeds, and from then on the level in use stays.
LEVEL_RETRIED = r"""
import json, os, sys

outcomes = []
for cap in ["sse2", "AVX2", "", "sse2"]:
    os.environ["KIV_CPU_LEVEL"] = cap
    sys.modules.pop("kiv", None)
    try:
        import kiv
        outcomes.append(kiv._cpu_level)
    except ImportError as exc:
        outcomes.append(f"ImportError: {exc}")
print(json.dumps(outcomes))
"""


def test_cpu_level_read_at_each_import_until_one_succeeds(monkeypatch):
    monkeypatch.delenv("KIV_CPU_LEVEL", raising=False)
    best = run_fresh(LEVEL)
    first, second, *rest = run_fresh(LEVEL_RETRIED)
    assert first.startswith("ImportError: ") and first.endswith(" not 'sse2'")
    assert second.startswith("ImportError: ") and second.endswith(" not 'AVX2'")
    assert rest == [best, best]


SUBINTERPRETER = r"""
import json, os, sys
import numpy as np, kiv

before = kiv.get_max_window_limit(np.arange(4.0))
read, write = os.pipe()
code = ("import os\ntry:\n    import kiv\n    message = 'imported'\n"
        "except ImportError as exc:\n    message = str(exc)\n"
        f"os.write({write}, message.encode())\n")
# a subinterpreter that checks extensions but shares the GIL
if sys.version_info >= (3, 13):
    import _interpreters
    config = _interpreters.new_config("legacy")
    config.check_multi_interp_extensions = True
    _interpreters.run_string(_interpreters.create(config), code)
else:
    import _testcapi
    _testcapi.run_in_subinterp_with_config(
        code, use_main_obmalloc=True, allow_fork=True, allow_exec=True, allow_threads=True,
        allow_daemon_threads=False, check_multi_interp_extensions=True, gil=1)
message = os.read(read, 1000).decode()
print(json.dumps([before, message, kiv.get_max_window_limit(np.arange(4.0))]))
"""


def test_subinterpreters_refused():
    # kiv's process-wide objects belong to one interpreter
    pytest.importorskip("_interpreters" if sys.version_info >= (3, 13) else "_testcapi")
    assert run_fresh(SUBINTERPRETER) == [60, "module kiv does not support loading in subinterpreters", 60]


REENTRY = r"""
import builtins, json
import numpy as np, kiv

real_import, nested = builtins.__import__, []

def calling_kiv(name, *args, **kwargs):
    # kiv imports NumPy's modules during its one-time set-up
    if name.startswith("numpy") and not nested:
        try:
            nested.append(kiv.smooth(np.arange(3.0), np.arange(3.0)).tolist())
        except Exception as exc:
            nested.append(f"{type(exc).__name__}: {exc}")
    return real_import(name, *args, **kwargs)

builtins.__import__ = calling_kiv
print(json.dumps([kiv.get_max_window_limit(np.arange(4.0)), nested]))
"""


def test_reentry_during_set_up_does_not_hang():
    assert run_fresh(REENTRY, timeout=60) == [
        60, ["RuntimeError: kiv was called again from within its own one-time set-up on the same thread"]]
