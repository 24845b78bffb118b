"""Internal failures: they surface as PanicException, write a report on
stderr, release what the call held and leave the module usable."""

import numpy as np
import pytest

import kiv
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
CORE_FAILURES = [
    (lambda: kiv.calculate_window_sizes(samples, 31, high_percentile=125), INDEX.format(3)),
    (lambda: kiv.calculate_window_sizes(samples, 31, high_percentile=200), INDEX.format(4)),
    (lambda: kiv.calculate_window_sizes(samples, 31, high_percentile=np.inf), INDEX.format(2**64 - 1)),
    # the low percentile is computed first
    (lambda: kiv.calculate_window_sizes(samples, 31, low_percentile=150, high_percentile=200),
     INDEX.format(3)),
    (lambda: kiv.smooth(samples, np.arange(3.0), high_percentile=125), INDEX.format(3)),
    (lambda: kiv.smooth(samples, np.array([0.0, np.nan, 2.0])), NONE_UNWRAP),
    (lambda: kiv.smooth(samples[:2], np.array([np.nan, 0.0])), NONE_UNWRAP),
    (lambda: kiv.smooth(samples, np.array([0.0, 1.0, np.nan])), NONE_UNWRAP),
]


@pytest.mark.parametrize("call, message", CORE_FAILURES)
def test_core_failure(call, message):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is type(provoke_panic())  # one exception type for every cause
    assert info.value.args == (message,)
    assert_unborrowed(samples)


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
