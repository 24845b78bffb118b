"""Internal failures: they surface as PanicException, write a report on
stderr, release what the call held and leave the module usable. Errors
the input causes say what to do in a note of their own."""

import json

import numpy as np
import pytest

import kiv
from fresh import run_fresh
from registry_helpers import ALREADY_BORROWED, assert_unborrowed, exclusive_borrow


def provoke_panic():
    a = np.arange(4.0)
    with exclusive_borrow(a):
        try:
            kiv.get_max_window_limit(a)
        except BaseException as exc:
            return exc
    pytest.fail("no internal failure")


def test_panic_exception():
    exc = provoke_panic()
    assert (type(exc).__module__, type(exc).__name__) == ("pyo3_runtime", "PanicException")
    assert not isinstance(exc, Exception)  # `except Exception` lets it through
    assert exc.args == (ALREADY_BORROWED,)
    assert str(exc) == ALREADY_BORROWED
    assert "Like SystemExit, this exception is derived from BaseException" in type(exc).__doc__
    assert type(provoke_panic()) is type(exc)


def test_report_on_stderr(capfd):
    capfd.readouterr()
    provoke_panic()
    report = [line for line in capfd.readouterr().err.splitlines() if line.strip()]
    assert any(ALREADY_BORROWED in line for line in report)
    # the report ends with a hint line of its own
    assert len(report) >= 2 and ALREADY_BORROWED not in report[-1]


def test_module_keeps_working():
    provoke_panic()
    assert kiv.get_max_window_limit(np.arange(4.0)) == 60


samples = np.array([0.0, 1.0, 3.0])  # three variabilities: 0, 1, 2
INDEX = "index out of bounds: the len is 3 but the index is {}"
NONE_UNWRAP = "called `Option::unwrap()` on a `None` value"
RANGE = "`{}` is {}; percentiles must be between 0 and 100"
NAN_AT = "timestamps[{}] is NaN (a pandas NaT becomes NaN); drop those samples or give them times before smoothing"
# (call, message, the note that says what to do)
CORE_FAILURES = [
    (lambda: kiv.calculate_window_sizes(samples, 31, high_percentile=125), INDEX.format(3),
     RANGE.format("high_percentile", "125.0")),
    (lambda: kiv.calculate_window_sizes(samples, 31, high_percentile=200), INDEX.format(4),
     RANGE.format("high_percentile", "200.0")),
    (lambda: kiv.calculate_window_sizes(samples, 31, high_percentile=np.inf), INDEX.format(2**64 - 1),
     RANGE.format("high_percentile", "inf")),
    # the low percentile is computed first
    (lambda: kiv.calculate_window_sizes(samples, 31, low_percentile=150, high_percentile=200),
     INDEX.format(3), RANGE.format("low_percentile", "150.0")),
    (lambda: kiv.smooth(samples, np.arange(3.0), high_percentile=100.5), INDEX.format(3),
     RANGE.format("high_percentile", "100.5")),
    (lambda: kiv.smooth(samples, np.arange(3.0), low_percentile=1e20), INDEX.format(2 * 10**18),
     RANGE.format("low_percentile", "1e+20")),
    (lambda: kiv.smooth(samples, np.array([0.0, np.nan, 2.0])), NONE_UNWRAP, NAN_AT.format(1)),
    (lambda: kiv.smooth(samples[:2], np.array([np.nan, 0.0])), NONE_UNWRAP, NAN_AT.format(0)),
    # the first in the caller's order, though time order would meet another first
    (lambda: kiv.smooth(np.ones(40), np.r_[np.arange(30.0, 0, -1), np.nan, 5.0, np.nan, np.ones(7)]),
     NONE_UNWRAP, NAN_AT.format(30)),
]


@pytest.mark.parametrize("call, message, note", CORE_FAILURES)
def test_core_failure(call, message, note):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is type(provoke_panic())  # one exception type for every cause
    assert info.value.args == (message,)
    assert info.value.__notes__ == [note]
    assert_unborrowed(samples)


@pytest.mark.parametrize("call", [
    lambda: kiv.calculate_window_sizes(samples, 31, low_percentile=-50, high_percentile=-np.inf),
    lambda: kiv.smooth(samples, np.arange(3.0), low_percentile=np.nan, high_percentile=-1),
    lambda: kiv.get_max_window_limit(np.array([0.0, np.nan, 2.0, np.nan])),  # NaN intervals skipped
])
def test_no_failure_below_range_or_at_nan(call):
    call()


def test_single_nan_timestamp_is_not_compared():
    assert kiv.smooth(np.array([5.0]), np.array([np.nan])).tolist() == [5.0]


class RaisesPanic:
    """A float conversion that runs into an internal failure of its own."""

    def __init__(self, panic):
        self.panic = panic

    def __float__(self):
        raise self.panic


@pytest.mark.parametrize("message, resumed", [
    ("boom", "boom"),
    ("lone \ud800 surrogate", "lone \ufffd\ufffd\ufffd surrogate"),
])
def test_fetched_back_panic_is_resumed(capfd, message, resumed):
    panic_type = type(provoke_panic())
    capfd.readouterr()
    with pytest.raises(BaseException) as caught:
        kiv.get_max_window_limit(np.arange(3.0), min_window_size=RaisesPanic(panic_type(message)))
    assert type(caught.value) is panic_type and caught.value.args == (resumed,)
    assert not getattr(caught.value, "__notes__", None)  # not an ordinary conversion error
    err = capfd.readouterr().err
    assert "fetched back" in err and "Traceback" in err  # the notice, then Python's own report
    assert kiv.get_max_window_limit(np.arange(3.0)) == 60


N = 100
V, T, W = np.ones(N), np.arange(float(N)), np.ones(N, np.int64)
# Each function that takes the argument, with `x` in its place.
TAKING = {
    "values": [lambda x: kiv.calculate_window_sizes(x, 31), lambda x: kiv.apply_variable_smoothing(x, W),
               lambda x: kiv.smooth(x, T), lambda x: kiv.smooth_many(x, T, offsets=np.array([0, N]))],
    "timestamps": [lambda x: kiv.get_max_window_limit(x), lambda x: kiv.smooth(V, x),
                   lambda x: kiv.smooth_many(V, x, groups=W)],
    "window_sizes": [lambda x: kiv.apply_variable_smoothing(V, x)],
    "offsets": [lambda x: kiv.smooth_many(V, T, offsets=x)],
    "groups": [lambda x: kiv.smooth_many(V, T, groups=x)],
}


class Series:  # pandas' Series, Index, a DataFrame's column: no arrays, but to_numpy
    def to_numpy(self, dtype=None):
        return np.ones(N, dtype)


TIMES = "convert times to float64 seconds, e.g. (t - t[0]) / np.timedelta64(1, 's')"
# (argument, what is passed, what it is called, what to do; {} is the argument's name)
WRONG_TYPES = [
    ("values", np.ones(N, np.float32), "float32 with shape (100,)",
     "np.ascontiguousarray({}, dtype=np.float64) converts it"),
    ("timestamps", np.ones(N, ">f8"), ">f8 with shape (100,)", "np.ascontiguousarray({}, dtype=np.float64) converts it"),
    ("values", np.ones((N, 1)), "float64 with shape (100, 1)", "np.ravel({}).astype(np.float64) converts it"),
    ("values", np.ones((2, 50), np.float32), "float32 with shape (2, 50)",
     "kiv takes one series a call, e.g. np.ascontiguousarray({}[0], dtype=np.float64)"),
    ("timestamps", np.arange(N).astype("M8[ns]"), "datetime64[ns] with shape (100,)", TIMES),
    ("timestamps", np.arange(N).astype("m8[s]"), "timedelta64[s] with shape (100,)", TIMES),
    ("values", Series(), "Series", ".to_numpy(dtype=np.float64) converts it"),
    ("timestamps", list(T), "list", "np.asarray({}, dtype=np.float64) converts it"),
    ("values", 1.5, "float", "np.asarray({}, dtype=np.float64) converts it"),
    ("values", None, "NoneType", "np.asarray({}, dtype=np.float64) converts it"),
    ("window_sizes", np.ones(N, np.uint8), "uint8 with shape (100,)", "{}.astype(np.int64) converts it"),
    ("window_sizes", np.ones(N), "float64 with shape (100,)", "np.ascontiguousarray({}, dtype=np.int64) converts it"),
    ("groups", np.ones(N, np.int32), "int32 with shape (100,)", "{}.astype(np.int64) converts it"),
    ("groups", np.ones(N, np.uint64), "uint64 with shape (100,)", "{}.astype(np.int64) converts it"),
    ("offsets", np.array([0, N], np.uint64), "uint64 with shape (2,)", "{}.astype(np.int64) converts it"),
    ("offsets", np.array([[0, N]], np.int32), "int32 with shape (1, 2)", "np.ravel({}).astype(np.int64) converts it"),
    ("offsets", (0, N), "tuple", "np.asarray({}, dtype=np.int64) converts it"),
]


def wrong_type_cases():
    for argument, x, got, remedy in WRONG_TYPES:
        for k, call in enumerate(TAKING[argument]):
            yield pytest.param(call, x, argument, got, remedy, id=f"{argument}-{got}-{k}")


@pytest.mark.parametrize("call, x, argument, got, remedy", list(wrong_type_cases()))
def test_wrong_type_says_what_to_do(call, x, argument, got, remedy):
    with pytest.raises(TypeError) as info:
        call(x)
    passed = "'None' is" if x is None else f"'{'ndarray' if isinstance(x, np.ndarray) else got}' object is"
    assert info.value.args == (f"{passed} not an instance of 'ndarray'",)  # as before
    expected = "int64" if argument in ("window_sizes", "offsets", "groups") else "float64"
    assert info.value.__notes__ == [f"while processing '{argument}'",
                                    f"expected a contiguous 1-D {expected} array, got {got}; {remedy.format(argument)}"]


class DtypeRaises(np.ndarray):
    @property
    def dtype(self):
        raise LookupError("no dtype to be read")


class DtypeLies(np.ndarray):
    dtype = np.dtype(np.float64)


class LookupRaises:  # no array: looking up to_numpy fails
    @property
    def to_numpy(self):
        raise LookupError("to_numpy")


MASKED = np.ma.masked_equal(np.arange(N, dtype=np.int32) % 7, 3)
ASCONTIGUOUS = "np.ascontiguousarray(values, dtype=np.float64) converts it"


# The note reads the array itself, never the caller's attributes; a masked
# array's remedy keeps its mask (masked samples stay missing).
@pytest.mark.parametrize("x, note", [
    (np.ones(N, np.float32).view(DtypeRaises), "got float32 with shape (100,); " + ASCONTIGUOUS),
    (np.ones(N, np.float32).view(DtypeLies), "got float32 with shape (100,); " + ASCONTIGUOUS),
    (LookupRaises(), "got LookupRaises; np.asarray(values, dtype=np.float64) converts it"),
    (MASKED, "got int32 with shape (100,); values.astype(np.float64) converts it"),
    (np.ma.vstack([MASKED, MASKED]),
     "got int32 with shape (2, 100); kiv takes one series a call, e.g. values[0].astype(np.float64)"),
])
def test_note_from_the_array_itself(monkeypatch, x, note):
    unraisable = []
    monkeypatch.setattr("sys.unraisablehook", unraisable.append)
    with pytest.raises(TypeError) as info:
        kiv.smooth(x, T)
    assert info.value.__notes__[1] == "expected a contiguous 1-D float64 array, " + note
    assert unraisable == []
    if isinstance(x, np.ma.MaskedArray):
        remedy = note.split("; ")[1].removeprefix("kiv takes one series a call, e.g. ").removesuffix(" converts it")
        converted = eval(remedy, {"np": np, "values": x})
        expected = kiv.smooth(np.ma.filled(x.astype(np.float64), np.nan).reshape(-1, N)[0], T)
        assert np.array_equal(kiv.smooth(converted, T), expected, equal_nan=True)


def test_pandas_data_says_what_to_do():
    pd = pytest.importorskip("pandas")
    times = pd.Series(pd.to_datetime(["2024-01-01 00:00", "2024-01-01 00:01", None, "2024-01-01 00:03"]))
    with pytest.raises(TypeError) as info:
        kiv.smooth(pd.Series(np.ones(4)), np.arange(4.0))
    assert info.value.__notes__[1] == "expected a contiguous 1-D float64 array, got Series; .to_numpy(dtype=np.float64) converts it"
    t = times.to_numpy()
    with pytest.raises(TypeError) as info:
        kiv.smooth(np.ones(4), t)
    assert info.value.__notes__[1].endswith(f"got {t.dtype} with shape (4,); " + TIMES)  # ns or us
    seconds = (t - t[0]) / np.timedelta64(1, "s")  # the NaT becomes NaN
    with pytest.raises(BaseException) as info:
        kiv.smooth(np.ones(4), seconds)
    assert info.value.__notes__ == [NAN_AT.format(2)]


REPORT_BEFORE_RELEASE = r"""
import json, os, sys, tempfile
import numpy as np
from registry_helpers import ACQUIRE, RELEASE, BorrowApi, CAPSULE_NAME, multiarray, new_capsule

codes = json.loads(sys.argv[1])
record = BorrowApi(1, 0, ACQUIRE(lambda tracker, array: codes.pop(0) if codes else 0), ACQUIRE(lambda t, a: 0),
                   RELEASE(lambda tracker, array: os.write(2, b"released\n")), RELEASE(lambda t, a: None))
setattr(multiarray(), CAPSULE_NAME.decode(), new_capsule(record))
import kiv

err = tempfile.TemporaryFile()
os.dup2(err.fileno(), 2)
try:
    kiv.smooth(np.ones(3), np.array([2.0, np.nan, 1.0]))
except BaseException as e:
    os.write(2, b"raised\n")
err.seek(0)
lines = err.read().decode().splitlines()
print(json.dumps([line if line in ("released", "raised") else "report" for line in lines if "note:" not in line]))
"""


# The report is written where the failure happens: before the unwinding
# runs other code (another registry's release here), which may never return.
@pytest.mark.parametrize("codes, borrows", [([], 2), ([0, -1], 1)], ids=["NaN timestamp", "already borrowed"])
def test_report_written_before_the_borrows_are_released(codes, borrows):
    lines = run_fresh(REPORT_BEFORE_RELEASE, json.dumps(codes))
    assert lines[0] == "report" and lines[-1] == "raised"
    assert lines.count("released") == borrows and lines.index("released") > lines.index("report")
