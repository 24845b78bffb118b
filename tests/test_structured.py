"""The four functions on structured signals, bit for bit against the literal
cores (tests/native/literal_capi.cpp, loaded through ctypes from
KIV_LITERAL_LIBRARY): few values, integer sensors and sorted runs, with NaN at
the ends and in runs, at counts on both sides of the fast cores' thresholds."""

import ctypes
import itertools
import math
import os

import numpy as np
import pytest

import kiv
from reference import bits

# The build's own thresholds: band selection from BAND numbers, variable-mean
# blocks (by CPU level) and chunks of outputs.
BAND, BLOCKS, CHUNK = (kiv._thresholds[k] for k in ("band_minimum", "mean_blocks", "mean_chunk"))

LIBRARY = os.environ.get("KIV_LITERAL_LIBRARY")
pytestmark = pytest.mark.skipif(not LIBRARY, reason="KIV_LITERAL_LIBRARY is unset: scripts/test builds and sets it")


class Panic(Exception):
    """An internal failure, on either side, by its message."""


class Literal:
    def __init__(self, path):
        self.lib = lib = ctypes.CDLL(path)
        p, n, d, u64 = ctypes.c_void_p, ctypes.c_size_t, ctypes.c_double, ctypes.c_uint64
        lib.kivref_last_error.restype = ctypes.c_char_p
        for name, args in [("max_window_limit", [p, n, d, d, p]),
                           ("compute_window_sizes", [p, n, u64, d, d, u64, d, d, p]),
                           ("variable_rolling_mean", [p, p, n, p]),
                           ("smooth_pipeline", [p, p, n, d, d, u64, d, d, p])]:
            getattr(lib, "kivref_" + name).argtypes = args

    def call(self, name, out, *args):
        """Calls kivref_<name> with arrays as pointers; `out` (an array or a c_int64) goes last."""
        pointers = [a.ctypes.data if isinstance(a, np.ndarray) else a for a in args]  # args keeps them alive
        scalar = isinstance(out, ctypes.c_int64)
        if getattr(self.lib, "kivref_" + name)(*pointers, ctypes.byref(out) if scalar else out.ctypes.data):
            raise Panic(self.lib.kivref_last_error().decode())
        return out.value if scalar else out


def outcome(call):
    """A result to compare: an integer, bit patterns, or an internal failure's message."""
    try:
        result = call()
    except BaseException as e:  # kiv's PanicException derives from BaseException
        if type(e).__name__ not in ("PanicException", "Panic"):
            raise
        return ("panic", e.args[0])
    return result if isinstance(result, int) else bits(result)


SHAPES = {
    "all equal": lambda rng, n: np.full(n, 7.0),
    "signed zeros": lambda rng, n: np.where(rng.random(n) < 0.5, 0.0, -0.0),
    "two values": lambda rng, n: rng.choice([1.0, 2.0], n),
    "few values": lambda rng, n: rng.choice([-2.0, 0.0, 0.5, 3.0, 1e6], n),
    # an integer sensor that mostly holds still and moves by one count
    "quantized walk": lambda rng, n: 100.0 + np.cumsum(rng.choice([-1.0, 1.0, 0.0], n, p=[1 / 32, 1 / 32, 30 / 32])),
    "ascending": lambda rng, n: 100.0 + np.cumsum(rng.integers(3, size=n) == 0),
    "descending": lambda rng, n: 100.0 - np.cumsum(rng.integers(3, size=n) == 0),
    # windows that sum +inf and -inf: their NaN must be kiv's one
    "both infinities": lambda rng, n: rng.choice([1.0, math.inf, -math.inf], n, p=[62 / 64, 1 / 64, 1 / 64]),
}
NAN = {"no NaN": (0, 0, 0), "NaN first": (1, 0, 0), "NaN last": (0, 1, 0), "NaN at both ends": (3, 1, 0),
       "NaN runs": (0, 0, 4)}


def swapped_neighbours(rng, n):
    t, k = np.arange(n, dtype=np.float64), np.arange(1, n - 1, 32)
    t[k], t[k + 1] = t[k + 1], t[k]
    return t


# Ascending clocks take the linear path, the rest a time order (the merge of
# a few samples set aside, or the radix sort); a NaN stamp fails.
CLOCKS = [lambda rng, n: np.arange(n, dtype=np.float64),
          lambda rng, n: np.cumsum(rng.integers(3, size=n) != 0).astype(np.float64),
          lambda rng, n: np.arange(n, 0, -1, dtype=np.float64),
          lambda rng, n: np.where(np.arange(n) == n // 2, math.nan, np.arange(n, dtype=np.float64)),
          swapped_neighbours,
          lambda rng, n: rng.permutation(np.cumsum(rng.integers(3, size=n) != 0)).astype(np.float64)]
WIDTHS = [lambda rng, n: np.full(n, 255), lambda rng, n: np.full(n, 30), lambda rng, n: np.zeros(n, np.int64),
          lambda rng, n: np.repeat(rng.integers(256, size=n // 64 + 1), 64)[:n],
          lambda rng, n: rng.integers(256, size=n)]
# Raw windows reach round(0.95 * (widest - 1) + 1): 2047 and 2048, either side of the small-rank limit.
WIDEST = [60, 2155, 2156]
PERCENTILES = [(10.0, 90.0), (0.0, 100.0), (50.0, 50.0), (10.0, 150.0)]
SIZES = [0, 1, 2, 3] + [e + d for e in (*BLOCKS, BAND, CHUNK) for d in (-1, 0, 1)]


def signal(rng, shape, nan, numbers):
    lead, trail, runs = NAN[nan]
    v = SHAPES[shape](rng, numbers).astype(np.float64)
    at = rng.integers(0, numbers + 1, size=runs)
    v = np.insert(v, np.repeat(at, rng.integers(1, 10, size=runs)), math.nan)
    return np.concatenate([np.full(lead, math.nan), v, np.full(trail, math.nan)])


@pytest.fixture(scope="module")
def literal():
    return Literal(LIBRARY)


@pytest.mark.parametrize("shape", SHAPES)
def test_structured_family(literal, shape):
    rng, turn = np.random.default_rng(list(SHAPES).index(shape)), itertools.count()
    mismatches = []  # every one, not just the first
    for numbers, nan in itertools.product(SIZES, NAN):
        v = signal(rng, shape, nan, numbers)
        n, k = v.size, next(turn)
        t, widths = CLOCKS[k % len(CLOCKS)](rng, n), WIDTHS[k % len(WIDTHS)](rng, n)
        widest, (low, high) = WIDEST[k % len(WIDEST)], PERCENTILES[k // 3 % len(PERCENTILES)]
        params = (1.0, float(widest), 30, low, high)
        keywords = dict(min_window_size=1.0, window_smooth_width_size=30, low_percentile=low,
                        high_percentile=high)
        pairs = {  # the signal serves as timestamps too: its intervals are as structured
            "get_max_window_limit": (
                lambda: kiv.get_max_window_limit(v, min_window_size=1.0, max_window_sec=float(widest)),
                lambda: literal.call("max_window_limit", ctypes.c_int64(), v, n, 1.0, float(widest))),
            "calculate_window_sizes": (
                lambda: kiv.calculate_window_sizes(v, widest, **keywords),
                lambda: literal.call("compute_window_sizes", np.empty(n, np.uint8), v, n, widest, *params)),
            "apply_variable_smoothing": (
                lambda: kiv.apply_variable_smoothing(v, widths),
                lambda: literal.call("variable_rolling_mean", np.empty(n), v, widths.astype(np.uint8), n)),
            "smooth": (
                lambda: kiv.smooth(v, t, max_window_sec=float(widest), **keywords),
                lambda: literal.call("smooth_pipeline", np.empty(n), v, t, n, *params)),
        }
        for name, (fast, slow) in pairs.items():
            got, want = outcome(fast), outcome(slow)
            if not np.array_equal(got, want):
                mismatches.append(f"{name}: {shape}, {nan}, {numbers} numbers, case {k}")
    assert not mismatches, "\n".join(mismatches)
