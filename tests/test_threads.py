"""Calls from several Python threads: same results as from one, and the
process-wide objects made once when first calls race."""

import re
import sys
import threading
import time

import numpy as np
import pytest

import kiv
from fresh import CPU_LEVELS, UNDER_ASAN, run_fresh
from registry_helpers import assert_unborrowed, borrow_api

# Well above kDetachFrom (src/binding/detached.hpp): these calls run with the
# interpreter lock released; the small ones keep it.
RELEASED = 1 << 16


def inputs(n):
    rng = np.random.default_rng(11)
    values = np.sin(np.arange(n) / 40.0) + rng.normal(scale=0.2, size=n)
    values[::37] = np.nan
    timestamps = np.cumsum(rng.uniform(0.5, 1.5, n))[rng.permutation(n)]
    return values, timestamps, rng.integers(0, 256, n)


class Yields:
    """A float that lets other threads run while kiv converts it, so calls
    interleave while their arrays are borrowed."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


def calls(values, timestamps, widths):
    nan_times, wide = timestamps.copy(), widths.copy()
    nan_times[len(nan_times) // 2] = np.nan
    wide[-1] = 256
    return {
        "get_max_window_limit": lambda: kiv.get_max_window_limit(timestamps, min_window_size=Yields(3.0)),
        "calculate_window_sizes": lambda: kiv.calculate_window_sizes(
            values, 61, window_smooth_width_size=7, low_percentile=Yields(5.0)),
        "apply_variable_smoothing": lambda: kiv.apply_variable_smoothing(values, widths),
        "smooth": lambda: kiv.smooth(values, timestamps, max_window_sec=Yields(90.0)),
        "smooth_many": lambda: kiv.smooth_many(values, timestamps, groups=widths % 3, workers=2,
                                               max_window_sec=Yields(90.0)),
        # failures raised in the middle of the work and after it
        "smooth, a NaN time": lambda: kiv.smooth(values, nan_times),
        "percentile above 100": lambda: kiv.calculate_window_sizes(values, 61, high_percentile=Yields(150.0)),
        "width above 255": lambda: kiv.apply_variable_smoothing(values, wide),
    }


def outcome(call):
    try:
        result = call()
    except BaseException as exc:  # noqa: BLE001 - compared below
        return type(exc).__name__, str(exc)
    if isinstance(result, int):
        return result
    return result.dtype.str, result.view(np.uint8).tobytes()


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


@pytest.mark.parametrize("shared", [True, False], ids=["shared", "distinct"])
@pytest.mark.parametrize("n", [500, RELEASED])
def test_threads_see_single_thread_results(fast_switching, n, shared):
    arrays = inputs(n)
    expected = {name: outcome(call) for name, call in calls(*arrays).items()}
    assert sum(isinstance(o, tuple) and o[0] == "PanicException" for o in expected.values()) == 2
    threads, rounds = 6, 20 if n < RELEASED else 3
    barrier = threading.Barrier(threads)
    mismatches = []

    def work(k):
        mine = calls(*(arrays if shared else [a.copy() for a in arrays]))
        barrier.wait()
        names = list(mine)
        for r in range(rounds):
            for name in names[k:] + names[:k]:  # threads start on different functions
                if outcome(mine[name]) != expected[name]:
                    mismatches.append((k, r, name))

    pool = [threading.Thread(target=work, args=(k,)) for k in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    assert mismatches == []
    assert_unborrowed(*arrays)


def test_inputs_stay_borrowed_while_the_lock_is_released():
    # Another extension polls for a writable borrow of an argument while kiv
    # works on it. It can run only while kiv has released the lock, and must
    # then be refused. Switches happen only where a thread blocks, so the
    # poller never holds a borrow that kiv could meet.
    values, timestamps, widths = inputs(1 << 20)
    widths = widths.astype(np.int64)
    api = borrow_api()
    interval = sys.getswitchinterval()
    sys.setswitchinterval(60.0)
    try:
        for polled, call in [(timestamps, lambda: kiv.get_max_window_limit(timestamps)),
                             (values, lambda: kiv.calculate_window_sizes(values, 61)),
                             (widths, lambda: kiv.apply_variable_smoothing(values, widths)),
                             (timestamps, lambda: kiv.smooth(values, timestamps))]:
            refused, stop = [], threading.Event()

            def poll():
                while not stop.is_set():
                    if api.acquire_exclusive(api.tracker, polled) == 0:
                        api.release_exclusive(api.tracker, polled)
                    else:
                        refused.append(True)
                    time.sleep(1e-4)  # room for kiv to take the lock back

            poller = threading.Thread(target=poll)
            poller.start()
            # On a loaded machine the poller may not be scheduled while one
            # call has the lock released: call until it has been, within bounds.
            for _ in range(300):
                call()
                if refused:
                    break
            stop.set()
            poller.join()
            assert refused
    finally:
        sys.setswitchinterval(interval)
    assert_unborrowed(values, timestamps, widths)


# A fresh interpreter: its threads meet at a barrier and each makes its first
# kiv call, so NumPy's table, the registry, the result container type and
# PanicException are all first needed at the same time; on long inputs, by
# threads that come back from work done with the lock released.
FIRST_CALLS = r"""
import hashlib, json, sys, threading, types
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

def make_calls(v, t, w):
    nan_t = t.copy()
    nan_t[1] = np.nan
    return [
        lambda: kiv.get_max_window_limit(t),
        lambda: kiv.calculate_window_sizes(v, 31),
        lambda: kiv.apply_variable_smoothing(v, w),
        lambda: kiv.smooth(v, t),
        lambda: kiv.smooth(v, nan_t),
        lambda: kiv.calculate_window_sizes(v, 31, high_percentile=125),
    ]

v, t, w = np.array([1.0, 2.0, 4.0, 8.0]), np.arange(4.0), np.ones(4, np.int64)
n = int(sys.argv[1])
big = np.sin(np.arange(n) / 30.0), np.random.default_rng(0).permutation(n) * 1.0, np.full(n, 7, np.int64)
calls = (make_calls(v, t, w) + make_calls(*big)) * 2
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
        data = outcome.tolist() if outcome.size <= 4 else hashlib.sha256(outcome.tobytes()).hexdigest()
        return ["array", data, id(type(outcome.base))]
    return ["value", outcome, 0]

def again(call):
    try:
        return describe(call())
    except BaseException as exc:
        return describe(exc)

assert_unborrowed(v, t, w, *big)
print(json.dumps({"outcomes": [describe(o) for o in outcomes], "again": [again(c) for c in calls],
                  "installs": len(installed),
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
]


@pytest.mark.parametrize("run", range(3))
def test_racing_first_calls(run):
    report = run_fresh(FIRST_CALLS, str(RELEASED))
    outcomes = [o[:2] for o in report["outcomes"]]
    # the long calls as a single thread makes them afterwards
    assert outcomes == [o[:2] for o in report["again"]]
    assert outcomes[:6] == outcomes[12:18] == FIRST_EXPECTED
    assert [o[0] for o in outcomes[6:12]] == [o[0] for o in FIRST_EXPECTED]
    # one container type and one PanicException type, however many made them
    assert len({o[2] for o in report["outcomes"] if o[0] == "array"}) == 1
    assert len({o[2] for o in report["outcomes"] if o[0] == PANIC}) == 1
    assert (report["installs"], report["kept"]) == (1, True)


# fork() while another thread makes the one-time set-up: the child has no
# such thread to wait for, and makes the set-up itself.
FORK_DURING_SET_UP = r"""
import json, warnings
import numpy as np, kiv
from fresh import in_child, slow_set_up

warnings.simplefilter("ignore", DeprecationWarning)  # fork() beside other threads
maker = slow_set_up()
print(json.dumps(in_child(lambda: kiv.get_max_window_limit(np.arange(4.0)))))
maker.join()
"""


def test_fork_during_set_up():
    assert run_fresh(FORK_DURING_SET_UP) == 60


# fork() while another thread is inside a released call: the child has no
# such call, and must not keep its borrow; the forking thread's own call
# goes on in the child, and keeps its borrow.
FORK_DURING_RELEASED_CALL = r"""
import json, sys, threading, warnings
import numpy as np, kiv
from fresh import in_child
from registry_helpers import borrow_api

warnings.simplefilter("ignore", DeprecationWarning)  # fork() beside other threads
sys.setswitchinterval(60.0)  # threads switch only where one blocks: at kiv's release
api = borrow_api()

def borrowed(a):  # as another extension asking to write
    refused = api.acquire_exclusive(api.tracker, a) != 0
    if not refused:
        api.release_exclusive(api.tracker, a)
    return refused

far, near = np.arange(float(1 << 23)), np.arange(4.0)
other = threading.Thread(target=kiv.smooth, args=(far, far))
other.start()
assert borrowed(far)

class Forks:
    def __float__(self):
        self.seen = in_child(lambda: [borrowed(far), borrowed(near)])
        return 60.0

forks = Forks()
kiv.get_max_window_limit(near, max_window_sec=forks)
other.join()
print(json.dumps([forks.seen, borrowed(far), borrowed(near)]))
"""


def test_fork_during_released_call():
    # in the child: the other thread's borrow gone, this thread's kept
    assert run_fresh(FORK_DURING_RELEASED_CALL) == [[False, True], False, False]


# fork() while another thread is inside the registry, called without the
# interpreter lock (as an extension may): the child's registry is not left
# locked by a thread it does not have. Many borrows of one base make each
# call long, so that the forks fall inside one.
FORK_DURING_REGISTRY_CALL = r"""
import ctypes, json, threading, warnings
import numpy as np, kiv
from fresh import in_child
from registry_helpers import borrow_api

warnings.simplefilter("ignore", DeprecationWarning)  # fork() beside other threads
api = borrow_api()
whole = np.arange(10_000.0)
for k in range(len(whole)):
    api.acquire_shared(api.tracker, whole[k:k + 1])

def unlocked(field, result):  # the registry's function, called without the lock
    address = ctypes.cast(getattr(api, field), ctypes.c_void_p).value
    return ctypes.CFUNCTYPE(result, ctypes.c_void_p, ctypes.py_object)(address)

acquire, release, stop = unlocked("acquire_shared", ctypes.c_int), unlocked("release_shared", None), threading.Event()

def calls():
    while not stop.is_set():
        acquire(api.tracker, whole[:1])
        release(api.tracker, whole[:1])

thread = threading.Thread(target=calls)
thread.start()
outcomes = [in_child(lambda: kiv.get_max_window_limit(np.arange(4.0)), timeout=5) for _ in range(10)]
stop.set()
thread.join()
print(json.dumps(outcomes))
"""


def test_fork_during_registry_call():
    assert run_fresh(FORK_DURING_REGISTRY_CALL) == [60] * 10


RACING_WRITER = r"""
import json, sys, threading, time
import numpy as np, kiv

n, rewrite = int(sys.argv[1]), sys.argv[2]
one = np.arange(float(n))
if rewrite == "shuffled, other range":  # timestamps out of order: the radix sort's passes
    one = np.random.default_rng(1).permutation(one)
    other = one * 1e300 + 1e300
else:  # every how many a NaN
    other = one.copy()
    other[::int(rewrite)] = np.nan
t, values, stop = one.copy(), np.random.default_rng(2).random(n), threading.Event()
labels, other_labels = np.arange(n) % 7, np.arange(n) % 5 * 3  # counted, not sorted
g = labels.copy()

def writer():  # NumPy copies without the interpreter lock: kiv's reads interleave
    while not stop.is_set():
        np.copyto(t, other)
        np.copyto(g, other_labels)
        np.copyto(t, one)
        np.copyto(g, labels)

thread = threading.Thread(target=writer)
thread.start()
outcomes, deadline = set(), time.monotonic() + 1.5
calls = (lambda: kiv.get_max_window_limit(t), lambda: kiv.calculate_window_sizes(t, 31),
         lambda: kiv.smooth(values, t), lambda: kiv.smooth_many(values, t, groups=g, workers=2))
while time.monotonic() < deadline:
    for call in calls:
        try:
            call()
            outcomes.add("ok")
        except BaseException as exc:
            outcomes.add(f"{type(exc).__name__}: {exc}")
stop.set()
thread.join()
print(json.dumps(sorted(outcomes)))
"""


# (samples, what the other thread writes over the input): selections with the
# band pass and on a copy; time orders by radix sort, with the lock released
@pytest.mark.parametrize("n, rewrite", [(1_000_000, "4"), (8001, "1"), (2000, "shuffled, other range"),
                                        (50_000, "shuffled, other range")])
def test_input_written_by_another_thread(n, rewrite):
    # any result or a clean failure: never a read or write outside a buffer
    outcomes = run_fresh(RACING_WRITER, str(n), rewrite)
    outcomes = {"NaN timestamp named" if o.startswith("ValueError: `timestamps` must not be NaN") else o
                for o in outcomes}
    assert outcomes <= {"ok", "PanicException: the input changed while kiv read it (written by another thread?)",
                        "PanicException: called `Option::unwrap()` on a `None` value", "NaN timestamp named"}


# Daemon threads inside kiv as the interpreter exits, while a finaliser keeps
# it busy: CPython ends each with pthread_exit where it takes the lock back
# (3.14 on leaves each waiting there for good, and the process ends anyway).
# The debug allocator stops the process if the unwinding frees a Python
# object (the masked samples' filled copy, kiv's alone) without the lock.
AT_EXIT = r"""
import json, sys, threading, time
import numpy as np, kiv
from fresh import slow_set_up

n, started = 1 << 23, threading.Event()
t = np.arange(float(n))

class Samples(np.ndarray):
    def __del__(self):  # kiv drops the last reference: it runs while the exit begins
        started.set()
        time.sleep(1)

class Signals(np.ma.MaskedArray):
    def filled(self, fill_value=None):  # then kiv goes on to release the lock
        filled = super().filled(fill_value)
        if sys.argv[1] == "dropping a slow object":
            return filled.view(Samples)
        started.set()
        return filled

values = np.ma.masked_array(np.sin(t), mask=t == 5).view(Signals)
if sys.argv[1] == "dropping a slow object":
    values = values[:16]

def set_up():  # one thread makes the set-up, another waits for it
    slow_set_up(daemon=True)
    threading.Thread(target=kiv.get_max_window_limit, args=(t[:4],), daemon=True).start()
    started.set()

class Busy:
    def __del__(self, sleep=time.sleep):
        sleep(3)

sys.kiv_busy = Busy()  # finalised after the exit has begun
if sys.argv[1] == "dropping a slow object":
    threading.Thread(target=kiv.smooth, args=(values, t[:16]), daemon=True).start()
elif sys.argv[1] == "released call":
    threading.Thread(target=kiv.smooth, args=(values, t), daemon=True).start()
else:
    set_up()
started.wait()
time.sleep(0.05)
print(json.dumps("exiting"))
"""


@pytest.mark.parametrize("inside", ["released call", "one-time set-up", "dropping a slow object"])
def test_daemon_thread_inside_kiv_at_exit(inside):
    assert run_fresh(AT_EXIT, inside, env={"PYTHONMALLOC": "debug"}) == "exiting"


# Another thread rewrites one argument between valid states while kiv works
# on it with the lock released. Whatever kiv read, every result row must be
# written: the memory a result reuses holds the poison before each call.
# Failures kiv detects are allowed; stale rows are not.
EVERY_ROW_WRITTEN = r"""
import json, threading, time
import numpy as np, kiv
from fresh import TIME_SCALE

n, POISON = 50_000, 7777.0
rng = np.random.default_rng(3)
v = rng.random(n)
t = np.cumsum(rng.uniform(0.5, 1.5, n))
w = rng.integers(0, 256, n)
base = np.arange(0, n + 1, 100)
shift = np.r_[0, np.full(len(base) - 2, 40), 0]  # inner boundaries moved
states = {  # each argument's two valid states
    "values": (v, rng.random(n)),
    "timestamps": (t, rng.permutation(t)),
    "window_sizes": (w, rng.integers(0, 256, n)),
    "offsets": (base + shift, base - shift),
    "groups": (np.arange(n) % 7, np.arange(n) % 5 * 3),  # counted
    "far groups": (np.arange(n) % 7 * 10**15, np.arange(n) % 5 * -(10**15)),  # hashed
}
CASES = [  # function, argument rewritten, its dtype, workers
    ("calculate_window_sizes", "values", np.float64, 1),
    ("apply_variable_smoothing", "values", np.float64, 1),
    ("apply_variable_smoothing", "window_sizes", np.int64, 1),
    ("smooth", "values", np.float64, 1),
    ("smooth", "timestamps", np.float64, 1),
    ("smooth_many", "values", np.float64, 2),
    ("smooth_many", "timestamps", np.float64, 2),
    ("smooth_many", "offsets", np.int64, 1),
    ("smooth_many", "offsets", np.int64, 2),
    ("smooth_many", "offsets", np.int32, 2),
    ("smooth_many", "groups", np.int64, 2),
    ("smooth_many", "far groups", np.int64, 1),
    ("smooth_many", "far groups", np.int64, 2),
]

def call(name, args):
    if name == "calculate_window_sizes":
        return kiv.calculate_window_sizes(args["values"], 61)
    if name == "apply_variable_smoothing":
        return kiv.apply_variable_smoothing(args["values"], args["window_sizes"])
    if name == "smooth":
        return kiv.smooth(args["values"], args["timestamps"])
    layout = {"offsets": args["offsets"]} if "offsets" in args else {"groups": args["groups"]}
    return kiv.smooth_many(args["values"], args["timestamps"], workers=args["workers"], **layout)

report = {}
for name, argument, dtype, workers in CASES:
    states_of = [s.astype(dtype) for s in states[argument]]
    rewritten = states_of[0].copy()
    args = {"values": v, "timestamps": t, "window_sizes": w, "workers": workers}
    if "groups" in argument:
        args["groups"] = rewritten
    else:
        args["offsets"] = base
        args[argument] = rewritten
    stop, stale, outcomes = threading.Event(), 0, set()

    def writer():
        k = 0
        while not stop.is_set():
            np.copyto(rewritten, states_of[k % 2])
            k += 1

    thread = threading.Thread(target=writer)
    thread.start()
    deadline = time.monotonic() + 0.15 * TIME_SCALE
    while time.monotonic() < deadline:
        np.full(n, POISON)  # freed at once: the result's memory holds it
        try:
            result = call(name, args)
        except BaseException as exc:
            outcomes.add(f"{type(exc).__name__}: {exc}")
            continue
        # window sizes are odd; a poisoned byte of 7777.0 is even or 0x61
        stale += int(np.count_nonzero((result % 2 == 0) | (result == 0x61)) if result.dtype == np.uint8
                     else np.count_nonzero(result == POISON))
        outcomes.add("ok")
    stop.set()
    thread.join()
    report[f"{name} {argument} {np.dtype(dtype).name} workers={workers}"] = [stale, sorted(outcomes)]
print(json.dumps(report))
"""


@pytest.mark.parametrize("level", CPU_LEVELS)
def test_every_row_written_whatever_another_thread_writes(level):
    report = run_fresh(EVERY_ROW_WRITTEN, env={"KIV_CPU_LEVEL": level})
    allowed = {"ok", "PanicException: the input changed while kiv read it (written by another thread?)"}

    def detected(outcome):
        # Under ASan an offset was read half old, half new (its memcpy
        # copies in pieces), so decreasing, which the offsets' check reports.
        torn = r"ValueError: `offsets\[\d+\]` is \d+, below `offsets\[\d+\]` \(\d+\): offsets never decrease"
        return outcome in allowed or UNDER_ASAN and re.fullmatch(torn, outcome) is not None

    assert {case: stale for case, (stale, _) in report.items() if stale} == {}
    assert {case: o for case, (_, outcomes) in report.items() for o in outcomes if not detected(o)} == {}

# A finaliser calls kiv after the exit has begun while a daemon thread is
# inside kiv's one-time set-up: that thread never finishes it (3.12 and 3.13
# end it, 3.14 on leave it waiting for the lock for good), so the finalising
# thread must not wait for it.
LATE_CALL = r"""
import json, os
import numpy as np, kiv
from fresh import slow_set_up

class Late:
    def __del__(self, write=os.write, dumps=json.dumps, call=kiv.get_max_window_limit, t=np.arange(4.0)):
        try:
            call(t)
            outcome = "returned"
        except BaseException as exc:
            outcome = type(exc).__name__
        write(1, dumps(outcome).encode())

late = Late()  # finalised after the exit has begun
slow_set_up(daemon=True)
"""


def test_call_from_a_finaliser_while_a_daemon_thread_makes_the_set_up():
    # NumPy's import refuses to run once the exit has begun
    assert run_fresh(LATE_CALL, timeout=30) in ("returned", "PanicException")
