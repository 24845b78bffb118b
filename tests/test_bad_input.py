"""Breadth over hostile input: every scalar parameter given values of the
wrong kind, at the edges of its range or that raise; every array parameter
given arrays of odd shape, dtype, layout, storage and content. Each call
raises an exception of the expected type or returns a result of the right
shape and dtype; none crashes."""

import math
from fractions import Fraction

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import kiv
from scalars import Index, Raises

PANIC = "PanicException"
OK = "ok"
V = np.array([1.0, 2.0, 4.0, 8.0, 16.0, 15.0, 15.0])
T = np.arange(7.0)


def check_result(name, result, n):
    if name == "get_max_window_limit":
        assert type(result) is int and 0 <= result < 2**64
        return
    assert type(result) is np.ndarray and result.shape == (n,)
    if name == "calculate_window_sizes":
        assert result.dtype == np.uint8 and (result % 2 == 1).all()
    else:
        assert result.dtype == np.float64


def outcome_of(call):
    try:
        return OK, call()
    except BaseException as exc:  # PanicException is not an Exception
        return exc, None


def expect(outcome, result, check):
    got, value = outcome
    if outcome[0] is OK:
        assert result == OK, f"returned, expected {result}"
        check(value)
    elif type(got).__name__ == PANIC:
        assert result == PANIC, f"internal failure {got.args}, expected {result}"
    else:
        assert result != OK and result != PANIC and type(got) is result, repr(got)


class FloatGivesStr:
    def __float__(self):
        return "1.0"


class IntWithHostileIndex(int):
    def __index__(self):
        raise LookupError("never asked: an int subclass converts directly")


class FloatSub(float):
    pass


# (label, value, outcome as a float, outcome as an unsigned 64-bit integer)
SCALARS = [
    ("None", None, TypeError, TypeError),
    ("str", "1.0", TypeError, TypeError),
    ("complex", 1 + 0j, TypeError, TypeError),
    ("object", object(), TypeError, TypeError),
    ("True", True, OK, OK),
    ("0", 0, OK, OK),
    ("-1", -1, OK, OverflowError),
    ("2**63", 2**63, OK, OK),
    ("2**64-1", 2**64 - 1, OK, OK),
    ("2**64", 2**64, OK, OverflowError),
    ("-2**63", -(2**63), OK, OverflowError),
    ("10**400", 10**400, OverflowError, OverflowError),
    ("-10**400", -(10**400), OverflowError, OverflowError),
    ("nan", math.nan, OK, TypeError),
    ("inf", math.inf, OK, TypeError),
    ("-inf", -math.inf, OK, TypeError),
    ("-0.0", -0.0, OK, TypeError),
    ("float subclass", FloatSub(2.5), OK, TypeError),
    ("np.float32 nan", np.float32("nan"), OK, TypeError),
    ("np.int64 -1", np.int64(-1), OK, OverflowError),
    ("np.uint64 max", np.uint64(2**64 - 1), OK, OK),
    ("0-D float array", np.array(3.0), OK, TypeError),
    ("0-D int array", np.array(3), OK, OK),
    ("Fraction", Fraction(5, 2), OK, TypeError),
    ("__index__ only", Index(5), OK, OK),
    ("__index__ huge", Index(2**70), OK, OverflowError),
    ("__index__ gives float", Index(2.5), TypeError, TypeError),
    ("__float__ gives str", FloatGivesStr(), TypeError, TypeError),
    ("raising", Raises(LookupError), LookupError, LookupError),
    ("int subclass, raising __index__", IntWithHostileIndex(7), OK, OK),
]

# (function, parameter, conversion); the other arguments are valid
PARAMETERS = [
    ("get_max_window_limit", "min_window_size", "float"),
    ("get_max_window_limit", "max_window_sec", "float"),
    ("calculate_window_sizes", "max_window_size", "u64"),
    ("calculate_window_sizes", "min_window_size", "float"),
    ("calculate_window_sizes", "window_smooth_width_size", "u64"),
    ("calculate_window_sizes", "low_percentile", "percentile"),
    ("calculate_window_sizes", "high_percentile", "percentile"),
    ("smooth", "min_window_size", "float"),
    ("smooth", "max_window_sec", "float"),
    ("smooth", "window_smooth_width_size", "u64"),
    ("smooth", "low_percentile", "percentile"),
    ("smooth", "high_percentile", "percentile"),
]
ARRAYS_OF = {"get_max_window_limit": (T,), "calculate_window_sizes": (V,), "smooth": (V, T)}


@pytest.mark.parametrize("name, parameter, conversion", PARAMETERS)
@pytest.mark.parametrize("value, as_float, as_u64", [s[1:] for s in SCALARS], ids=[s[0] for s in SCALARS])
def test_scalar(name, parameter, conversion, value, as_float, as_u64):
    result = as_u64 if conversion == "u64" else as_float
    # a rank beyond the samples is an internal failure
    if conversion == "percentile" and result == OK and float(value) > 100:
        result = PANIC
    kwargs = {parameter: value}
    if name == "calculate_window_sizes" and parameter != "max_window_size":
        kwargs["max_window_size"] = 31
    outcome = outcome_of(lambda: getattr(kiv, name)(*ARRAYS_OF[name], **kwargs))
    expect(outcome, result, lambda r: check_result(name, r, len(V)))
    if isinstance(outcome[0], Exception):
        assert outcome[0].__notes__ == [f"while processing '{parameter}'"]


# Each puts `x` into one array parameter, with valid partners of `n` elements.
def widths(n):
    return np.arange(n, dtype=np.int64) % 7


CALLS = {
    "get_max_window_limit-timestamps": lambda x, n: kiv.get_max_window_limit(x),
    "calculate_window_sizes-values": lambda x, n: kiv.calculate_window_sizes(x, 31),
    "apply_variable_smoothing-values": lambda x, n: kiv.apply_variable_smoothing(x, widths(n)),
    "apply_variable_smoothing-window_sizes": lambda x, n: kiv.apply_variable_smoothing(np.ones(n), x),
    "smooth-values": lambda x, n: kiv.smooth(x, np.arange(float(n))),
    "smooth-timestamps": lambda x, n: kiv.smooth(np.arange(float(n)), x),
}


def sample(kind, n):
    return widths(n) if kind == np.int64 else np.linspace(0.0, 9.0, n) ** 2


def memmap(kind, tmp_path, mode):
    path = tmp_path / "data.bin"
    sample(kind, 6).tofile(path)
    return np.memmap(path, dtype=kind, mode=mode, shape=(6,))


def read_only(a):
    a.flags.writeable = False
    return a


class Sub(np.ndarray):
    pass


class ArrayLike:
    def __init__(self, a):
        self.a = a

    def __array__(self, dtype=None, copy=None):
        return self.a


def filled(kind, n, *items):
    a = sample(kind, n)
    a[: len(items)] = items
    return a


# label -> (make(kind, tmp_path), outcome); what test_arrays.py checks message
# by message (0-D, 2-D, byte-swapped, other dtypes, strided, reversed,
# unaligned) is not repeated
ARRAYS = {
    # shapes
    "2-D empty": (lambda k, p: np.zeros((0, 3), k), TypeError),
    "3-D single": (lambda k, p: np.zeros((1, 1, 1), k), TypeError),
    "Fortran 2-D": (lambda k, p: np.asfortranarray(np.zeros((2, 2), k)), TypeError),
    "empty": (lambda k, p: np.zeros(0, k), OK),
    "length 1": (lambda k, p: sample(k, 1), OK),
    "length 2": (lambda k, p: sample(k, 2), OK),
    # dtypes
    "float16": (lambda k, p: np.zeros(3, np.float16), TypeError),
    "longdouble": (lambda k, p: np.zeros(3, np.longdouble), TypeError),
    "complex": (lambda k, p: np.zeros(3, complex), TypeError),
    "object": (lambda k, p: sample(k, 3).astype(object), TypeError),
    "bool": (lambda k, p: np.ones(3, bool), TypeError),
    "uint64": (lambda k, p: np.ones(3, np.uint64), TypeError),
    "datetime": (lambda k, p: np.zeros(3, "M8[s]"), TypeError),
    "timedelta": (lambda k, p: np.zeros(3, "m8[s]"), TypeError),
    "structured": (lambda k, p: np.zeros(3, [("a", k)]), TypeError),
    "str": (lambda k, p: np.array(["1", "2"]), TypeError),
    "with metadata": (lambda k, p: sample(k, 3).astype(np.dtype(k, metadata={"unit": "s"})), OK),
    # layouts
    "column": (lambda k, p: np.zeros((3, 2), k)[:, 0], ValueError),
    "broadcast": (lambda k, p: np.broadcast_to(np.array(2, k), (4,)), ValueError),
    "broadcast single": (lambda k, p: np.broadcast_to(np.array(2, k), (1,)), OK),
    "huge strides": (lambda k, p: as_strided(np.zeros(4, k), shape=(3,), strides=(2**62,)), ValueError),
    "empty strided": (lambda k, p: sample(k, 8)[8::2], OK),
    "single strided": (lambda k, p: sample(k, 8)[3::7][:1], OK),
    # storage
    "read-only": (lambda k, p: read_only(sample(k, 5)), OK),
    "memmap": (lambda k, p: memmap(k, p, "r+"), OK),
    "memmap read-only": (lambda k, p: memmap(k, p, "r"), OK),
    "memmap strided": (lambda k, p: memmap(k, p, "r")[::2], ValueError),
    # subclasses and look-alikes
    "subclass": (lambda k, p: sample(k, 4).view(Sub), OK),
    "masked": (lambda k, p: np.ma.masked_array(sample(k, 4), mask=[0, 1, 0, 0]), OK),
    "recarray": (lambda k, p: sample(k, 4).view(np.recarray), OK),
    "matrix": (lambda k, p: np.asmatrix(sample(k, 3)), TypeError),
    "memoryview": (lambda k, p: memoryview(sample(k, 3)), TypeError),
    "__array__": (lambda k, p: ArrayLike(sample(k, 3)), TypeError),
    "range": (lambda k, p: range(3), TypeError),
}

FLOAT_CONTENTS = {
    "all NaN": (lambda k, p: np.full(4, np.nan), OK),
    "infinities": (lambda k, p: filled(k, 5, np.inf, -np.inf, np.inf), OK),
    "extremes": (lambda k, p: filled(k, 5, 1.7e308, -1.7e308, 5e-324, -0.0), OK),
    "ties": (lambda k, p: np.array([3.0, 3.0, -0.0, 0.0, 3.0]), OK),
}
INT_CONTENTS = {
    "zero widths": (lambda k, p: np.zeros(4, k), OK),
    "widest": (lambda k, p: np.full(4, 255, k), OK),
    "negative width": (lambda k, p: filled(k, 4, 3, -1), ValueError),
    "width 256": (lambda k, p: filled(k, 4, 256), ValueError),
    "int64 extremes": (lambda k, p: filled(k, 4, 2**63 - 1, -(2**63)), ValueError),
}


def array_cases():
    for where in CALLS:
        kind = np.int64 if where.endswith("window_sizes") else np.float64
        contents = INT_CONTENTS if kind == np.int64 else FLOAT_CONTENTS
        for label, (make, result) in {**ARRAYS, **contents}.items():
            # NaN has no place in time order
            if where == "smooth-timestamps" and label == "all NaN":
                result = PANIC
            # a masked time or width has no meaning; a masked sample is missing
            if label == "masked" and not where.endswith("values"):
                result = ValueError
            yield pytest.param(where, kind, make, result, id=f"{where}-{label}")


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")  # np.matrix
@pytest.mark.parametrize("where, kind, make, result", list(array_cases()))
def test_array(where, kind, make, result, tmp_path):
    x = make(kind, tmp_path)
    n = len(x) if isinstance(x, np.ndarray) and x.ndim == 1 else 3
    outcome = outcome_of(lambda: CALLS[where](x, n))
    expect(outcome, result, lambda r: check_result(where.split("-")[0], r, n))
