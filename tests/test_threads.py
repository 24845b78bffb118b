"""Calls from several Python threads: same results as from one, and the
process-wide objects made once when first calls race."""

import sys
import threading
import time

import numpy as np
import pytest

import kiv
from fresh import run_fresh
from registry_helpers import assert_unborrowed

rng = np.random.default_rng(11)
VALUES = np.sin(np.arange(1500) / 40.0) + rng.normal(scale=0.2, size=1500)
VALUES[::37] = np.nan
TIMESTAMPS = np.cumsum(rng.uniform(0.5, 1.5, 1500))[rng.permutation(1500)]
WIDTHS = rng.integers(0, 256, 1500)


class Yields:
    """A float that lets other threads run while kiv converts it, so calls
    interleave while their arrays are borrowed."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


CALLS = {
    "get_max_window_limit": lambda: kiv.get_max_window_limit(TIMESTAMPS, min_window_size=Yields(3.0)),
    "calculate_window_sizes": lambda: kiv.calculate_window_sizes(
        VALUES, 61, window_smooth_width_size=7, low_percentile=Yields(5.0)),
    "apply_variable_smoothing": lambda: kiv.apply_variable_smoothing(VALUES, WIDTHS),
    "smooth": lambda: kiv.smooth(VALUES, TIMESTAMPS, max_window_sec=Yields(90.0)),
}


def bits(result):
    if isinstance(result, int):
        return result
    return result.dtype.str, result.view(np.uint8).tobytes()


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


def test_threads_see_single_thread_results(fast_switching):
    expected = {name: bits(call()) for name, call in CALLS.items()}
    threads, rounds = 6, 20
    barrier = threading.Barrier(threads)
    mismatches, errors = [], []

    def work(k):
        barrier.wait()
        names = list(CALLS)
        for r in range(rounds):
            for name in names[k % 4:] + names[:k % 4]:  # threads start on different functions
                try:
                    if bits(CALLS[name]()) != expected[name]:
                        mismatches.append((k, r, name))
                except BaseException as exc:  # noqa: BLE001 - reported below
                    errors.append((k, r, name, repr(exc)))

    pool = [threading.Thread(target=work, args=(k,)) for k in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    assert errors == [] and mismatches == []
    assert_unborrowed(VALUES, TIMESTAMPS, WIDTHS)


# A fresh interpreter: its threads meet at a barrier and each makes its first
# kiv call, so NumPy's table, the registry, the result container type and
# PanicException are all first needed at the same time.
FIRST_CALLS = r"""
import json, sys, threading, types
import numpy as np
from registry_helpers import CAPSULE_NAME, assert_unborrowed, multiarray

name = CAPSULE_NAME.decode()
installed = []

class Watched(types.ModuleType):
    def __setattr__(self, key, value):
        if key == name:
            installed.append(value)
        super().__setattr__(key, value)

module = multiarray()
module.__class__ = Watched
import kiv

v, t, w = np.array([1.0, 2.0, 4.0, 8.0]), np.arange(4.0), np.ones(4, np.int64)
calls = [
    lambda: kiv.get_max_window_limit(t),
    lambda: kiv.calculate_window_sizes(v, 31),
    lambda: kiv.apply_variable_smoothing(v, w),
    lambda: kiv.smooth(v, t),
    lambda: kiv.smooth(v, np.array([0.0, np.nan, 2.0, 3.0])),
    lambda: kiv.calculate_window_sizes(v, 31, high_percentile=125),
] * 2
barrier = threading.Barrier(len(calls))
outcomes = [None] * len(calls)

def run(i):
    barrier.wait()
    try:
        outcomes[i] = calls[i]()
    except BaseException as exc:
        outcomes[i] = exc

sys.setswitchinterval(1e-6)
threads = [threading.Thread(target=run, args=(i,)) for i in range(len(calls))]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()

def describe(outcome):
    if isinstance(outcome, BaseException):
        return [type(outcome).__module__ + "." + type(outcome).__name__, str(outcome), id(type(outcome))]
    if isinstance(outcome, np.ndarray):
        return ["array", outcome.tolist(), id(type(outcome.base))]
    return ["value", outcome, 0]

assert_unborrowed(v, t, w)
print(json.dumps({"outcomes": [describe(o) for o in outcomes], "installs": len(installed),
                  "kept": len(installed) == 1 and getattr(module, name) is installed[0]}))
"""

PANIC = "pyo3_runtime.PanicException"
FIRST_EXPECTED = [
    ["value", 60],
    ["array", [19, 19, 19, 19]],
    ["array", [1.0, 2.0, 4.0, 8.0]],
    ["array", [3.75, 3.75, 3.75, 3.75]],
    [PANIC, "called `Option::unwrap()` on a `None` value"],
    [PANIC, "index out of bounds: the len is 4 but the index is 4"],
] * 2


@pytest.mark.parametrize("run", range(3))
def test_racing_first_calls(run):
    report = run_fresh(FIRST_CALLS)
    assert [o[:2] for o in report["outcomes"]] == FIRST_EXPECTED
    # one container type and one PanicException type, however many made them
    assert len({o[2] for o in report["outcomes"] if o[0] == "array"}) == 1
    assert len({o[2] for o in report["outcomes"] if o[0] == PANIC}) == 1
    assert (report["installs"], report["kept"]) == (1, True)


RACING_WRITER = r"""
import json, sys, threading, time
import numpy as np, kiv

n, nan_every = int(sys.argv[1]), int(sys.argv[2])
numbers = np.arange(float(n))
holes = numbers.copy()
holes[::nan_every] = np.nan
t, stop = numbers.copy(), threading.Event()

def writer():  # NumPy copies without the interpreter lock: kiv's reads interleave
    while not stop.is_set():
        np.copyto(t, holes)
        np.copyto(t, numbers)

thread = threading.Thread(target=writer)
thread.start()
outcomes, deadline = set(), time.monotonic() + 1.5
while time.monotonic() < deadline:
    for call in (lambda: kiv.get_max_window_limit(t), lambda: kiv.calculate_window_sizes(t, 31)):
        try:
            call()
            outcomes.add("ok")
        except BaseException as exc:
            outcomes.add(f"{type(exc).__name__}: {exc}")
stop.set()
thread.join()
print(json.dumps(sorted(outcomes)))
"""


# (samples, every how many a NaN in the written-over state): selections with
# the band pass and on a copy
@pytest.mark.parametrize("n, nan_every", [(1_000_000, 4), (8001, 1)])
def test_input_written_by_another_thread(n, nan_every):
    # any result or a clean failure: never a read or write outside a buffer
    outcomes = run_fresh(RACING_WRITER, str(n), str(nan_every))
    assert set(outcomes) <= {"ok", "PanicException: the input changed while kiv read it (written by another thread?)"}
