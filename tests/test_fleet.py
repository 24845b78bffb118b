"""smooth_many: every series of a fleet bit for bit what smooth gives it
alone, whatever the layout, the row order and the number of workers; bad
fleets refused before any work, with the first bad place named."""

import ctypes
import os
import platform
import threading

import numpy as np
import pytest

import kiv
from fresh import UNDER_ASAN, run_fresh

WORKERS = [1, 2, -1]


def series(rng, n, kind):
    """One sensor's samples: time order, clock and gaps by kind."""
    t = np.cumsum(rng.uniform(0.05, 0.15, n)) + rng.uniform(0, 1e6)
    v = np.sin(t / 5.0) + rng.normal(0.0, 0.3, n) * (rng.random() < 0.5)
    if kind == "shuffled":
        t = rng.permutation(t)
    elif kind == "whole seconds":  # repeated timestamps
        t = np.floor(t)
    elif kind == "few values":
        v = np.round(v)
    if n and kind == "nan runs":
        start = rng.integers(0, n)
        v[start:start + rng.integers(1, 50)] = np.nan
        v[0] = v[-1] = np.nan
    elif kind == "all nan":
        v[:] = np.nan
    return v, t


KINDS = ["calm", "shuffled", "whole seconds", "few values", "nan runs", "all nan"]


def fleet(seed, lengths):
    rng = np.random.default_rng(seed)
    parts = [series(rng, int(n), KINDS[g % len(KINDS)]) for g, n in enumerate(lengths)]
    values = np.concatenate([p[0] for p in parts] + [np.zeros(0)])
    times = np.concatenate([p[1] for p in parts] + [np.zeros(0)])
    offsets = np.r_[0, np.cumsum(lengths)].astype(np.int64)
    return values, times, offsets


def loop_of_smooth(values, times, offsets, **params):
    out = np.empty_like(values)
    for a, b in zip(offsets[:-1], offsets[1:]):
        out[a:b] = kiv.smooth(values[a:b], times[a:b], **params)
    return out


def same(a, b):
    assert a.dtype == np.float64 and a.tobytes() == b.tobytes()


LENGTHS = {
    "empty fleet": [],
    "only empty series": [0, 0, 0],
    "one sample each": [1] * 50,
    "mixed": [0, 1, 2, 3, 0, 17, 255, 256, 1, 700, 0, 2, 4000],
    "one long among short": [5] * 200 + [30_000] + [3] * 300,
    "many short": [100] * 400,
}
PARAMS = [{}, dict(min_window_size=3.0, max_window_sec=5.0, window_smooth_width_size=4,
                   low_percentile=0.0, high_percentile=100.0)]


@pytest.mark.parametrize("params", PARAMS, ids=["defaults", "edges"])
@pytest.mark.parametrize("workers", WORKERS)
@pytest.mark.parametrize("shape", LENGTHS)
def test_matches_a_loop_of_smooth(shape, workers, params):
    values, times, offsets = fleet(len(shape), LENGTHS[shape])
    expected = loop_of_smooth(values, times, offsets, **params)
    same(kiv.smooth_many(values, times, offsets=offsets, workers=workers, **params), expected)
    # the same series as labels over shuffled rows (dense, negative and far
    # apart): each series' rows in their new row order, which decides ties
    rng = np.random.default_rng(7)
    perm = rng.permutation(values.size)
    values, times = values[perm], times[perm]
    ids = np.repeat(np.arange(len(LENGTHS[shape]), dtype=np.int64), np.diff(offsets))[perm]
    order = np.argsort(ids, kind="stable")
    expected = np.empty_like(values)
    expected[order] = loop_of_smooth(values[order], times[order], offsets, **params)
    for labels in (ids, rng.permutation(len(LENGTHS[shape]))[ids] - 3, ids * -(2**50) + 2**62):
        same(kiv.smooth_many(values, times, groups=labels, workers=workers, **params), expected)


@pytest.mark.parametrize("workers", [None, 2**60, 2**63 - 1, 10**6])
def test_any_number_of_workers(workers):
    # no more threads than there is work for, and no overflow in sharing it
    values, times, offsets = fleet(4, [3000] * 8)
    labels = np.repeat(np.zeros(8, np.int64), np.diff(offsets))
    same(kiv.smooth_many(values, times, offsets=offsets, workers=workers),
         kiv.smooth_many(values, times, offsets=offsets))
    same(kiv.smooth_many(values, times, groups=labels, workers=workers), kiv.smooth(values, times))


def test_arrow_layout_and_masked_values():
    pa = pytest.importorskip("pyarrow")
    values, times, offsets = fleet(3, [40, 0, 300, 1])
    for lists in (pa.LargeListArray.from_arrays(pa.array(offsets), pa.array(values)),
                  pa.ListArray.from_arrays(pa.array(offsets.astype(np.int32)), pa.array(values))):
        got = kiv.smooth_many(lists.values.to_numpy(), times, offsets=lists.offsets.to_numpy(), workers=2)
        same(got, loop_of_smooth(values, times, offsets))
    masked = np.ma.masked_array(values, mask=np.arange(values.size) % 7 == 0)
    same(kiv.smooth_many(masked, times, offsets=offsets),
         loop_of_smooth(masked.filled(np.nan), times, offsets))


V, T = np.arange(10.0), np.arange(10.0)
OFF = np.array([0, 4, 10])


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(), TypeError, r"^smooth_many\(\) takes exactly one of `offsets` and `groups`$"),
    (dict(offsets=OFF, groups=np.zeros(10, np.int64)), TypeError, "exactly one"),
    (dict(offsets=OFF.astype(np.uint64)), TypeError, "ndarray"),
    (dict(offsets=OFF.astype(np.int32)[::-1].copy()), ValueError, r"^`offsets\[0\]` is 10, not 0$"),
    (dict(offsets=np.arange(0, 11, 5, dtype=np.int32)[::-1]), ValueError,
     "^`offsets` must be a contiguous 1-D int64 array$"),
    (dict(offsets=np.arange(0, 11, 5, dtype=np.int64)[::-1]), ValueError,
     "^`offsets` must be a contiguous 1-D int64 array$"),
    (dict(groups=np.zeros(10, np.int32)), TypeError, "ndarray"),  # labels: int64 only
    (dict(groups=np.zeros(9, np.int64)), ValueError, "^`values` and `groups` must have the same length$"),
    (dict(offsets=np.zeros(0, np.int64)), ValueError, "at least one entry"),
    (dict(offsets=np.array([1, 4, 10])), ValueError, r"^`offsets\[0\]` is 1, not 0$"),
    (dict(offsets=np.array([0, 4, 3, 10])), ValueError, r"^`offsets\[2\]` is 3, below `offsets\[1\]` \(4\)"),
    (dict(offsets=np.array([0, 11, 10])), ValueError, r"^`offsets\[1\]` is 11, beyond the 10 samples$"),
    (dict(offsets=np.array([0, 4, 9])), ValueError, r"^`offsets\[2\]` is 9, not 10: the last offset"),
    (dict(offsets=np.array([0, -1, 10])), ValueError, r"^`offsets\[1\]` is -1, below"),
    (dict(offsets=np.ma.masked_array(OFF, [0, 1, 0])), ValueError, "masked"),
    (dict(offsets=OFF, low_percentile=float("nan")), ValueError, "^`low_percentile` must be between 0 and 100, not nan$"),
    (dict(offsets=OFF, high_percentile=100.5), ValueError, "`high_percentile` must be between 0 and 100"),
    (dict(offsets=OFF, low_percentile=-1), ValueError, "not -1$"),
    (dict(offsets=OFF, workers=0), ValueError, "^`workers` must not be 0$"),
    (dict(offsets=OFF, workers=-10**6), ValueError, r"^`workers` is -1000000, below -\d+ \(-1 is all \d+ CPUs\)$"),
    (dict(offsets=OFF, workers=1.0), TypeError, "integer"),
    (dict(offsets=OFF, workers=2**63), OverflowError, None),
])
def test_bad_input(kwargs, error, message):
    with pytest.raises(error, match=message):
        kiv.smooth_many(V, T, **kwargs)


@pytest.mark.parametrize("layout", ["offsets", "groups"])
def test_nan_timestamp_named(layout):
    t = T.copy()
    t[[0, 6, 8]] = np.nan  # row 0 is a series of one sample: allowed
    offsets, labels = np.array([0, 1, 4, 10]), np.array([5, 9, 9, 9, -2, -2, -2, -2, -2, -2])
    kwargs = dict(offsets=offsets) if layout == "offsets" else dict(groups=labels)
    where = "series 2" if layout == "offsets" else "the series of group -2"
    with pytest.raises(ValueError, match=f"^`timestamps` must not be NaN in a series of two or more samples: "
                                         f"{where} has NaN at row 6$"):
        kiv.smooth_many(V, t, **kwargs)
    t[6] = t[8] = 6.0
    same(kiv.smooth_many(V, t, **kwargs), loop_of_smooth(V, t, offsets))


# A worker that runs out of memory on the long series while the other one
# works through the short ones: MemoryError, the others stopped, nothing
# borrowed or allocated afterwards, and the next calls work.
WORKER_FAILS = r"""
import json, resource, numpy as np, kiv
from native_memory import native_in_use
from registry_helpers import assert_unborrowed

long = 20_000_000
lengths = np.r_[np.full(20_000, 50), long]
offsets = np.r_[0, np.cumsum(lengths)].astype(np.int64)
values = np.ones(offsets[-1])
times = np.arange(offsets[-1], dtype=np.float64)[::-1].copy()  # out of time order: more scratch
small = kiv.smooth_many(values[:1000], times[:1000], offsets=np.r_[0, 400, 1000], workers=2)

def address_space():
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize"))

# room for the result and the short series' scratch, not for the long one's
limit = address_space() + 8 * values.size + (400 << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
try:  # qemu-user takes the limit without applying it
    bytearray(limit)
    print(json.dumps({"unenforced": True}))
    raise SystemExit
except MemoryError:
    pass
outcomes, before = [], None
for k in range(12):
    try:
        kiv.smooth_many(values, times, offsets=offsets, workers=2)
        outcomes.append("ok")
    except MemoryError:
        outcomes.append("MemoryError")
    if k == 1:
        before = native_in_use()
growth = native_in_use() - before
assert_unborrowed(values, times, offsets)
again = kiv.smooth_many(values[:1000], times[:1000], offsets=np.r_[0, 400, 1000], workers=2)
print(json.dumps({"outcomes": sorted(set(outcomes)), "growth": growth,
                  "same": again.tobytes() == small.tobytes()}))
"""


@pytest.mark.skipif(UNDER_ASAN, reason="no address-space limit applies beside ASan's shadow")
def test_failure_in_one_worker():
    report = run_fresh(WORKER_FAILS, timeout=300)
    if report.get("unenforced"):
        pytest.skip("RLIMIT_AS is not enforced here (qemu-user)")
    assert report == {"outcomes": ["MemoryError"], "growth": report["growth"], "same": True}
    assert report["growth"] < 1 << 20



class _PhdrInfo(ctypes.Structure):
    _fields_ = [("addr", ctypes.c_void_p), ("name", ctypes.c_char_p), ("phdr", ctypes.c_void_p),
                ("phnum", ctypes.c_uint16), ("adds", ctypes.c_ulonglong), ("subs", ctypes.c_ulonglong),
                ("tls_modid", ctypes.c_size_t), ("tls_data", ctypes.c_void_p)]


class _DlInfo(ctypes.Structure):
    _fields_ = [("fname", ctypes.c_char_p), ("fbase", ctypes.c_void_p), ("sname", ctypes.c_char_p),
                ("saddr", ctypes.c_void_p)]


def _exception_state_holder():
    """The object whose thread-local storage holds kiv's exception state: kiv
    itself with the C++ runtime linked in, else the shared runtime it uses."""
    try:
        address = ctypes.cast(ctypes.CDLL(kiv.__file__).__cxa_get_globals, ctypes.c_void_p).value
    except AttributeError:  # linked in and hidden
        return kiv.__file__
    info = _DlInfo()
    assert ctypes.CDLL(None).dladdr(ctypes.c_void_p(address), ctypes.byref(info))
    return os.fsdecode(info.fname)


@pytest.mark.skipif(platform.libc_ver()[0] != "glibc", reason="glibc's loader")
def test_thread_local_storage_made_with_each_thread():
    # Storage given on first use comes from the heap, and glibc aborts when it
    # cannot: a worker's first exception would end the process when memory
    # runs out instead of raising MemoryError. With a shared C++ runtime
    # (KIV_STATIC_CXX_RUNTIME=OFF) the storage is the runtime's, static only
    # when it was loaded with the process.
    holder = os.path.realpath(_exception_state_holder())
    seen = {}

    @ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(_PhdrInfo), ctypes.c_size_t, ctypes.c_void_p)
    def visit(info, size, _):
        if os.path.realpath(os.fsdecode(info.contents.name or b"")) == holder:
            seen.update(size=size, storage=info.contents.tls_data)
        return 0

    # a thread that never ran kiv: the loader's own record says whether its storage exists
    thread = threading.Thread(target=ctypes.CDLL(None).dl_iterate_phdr, args=(visit, None))
    thread.start()
    thread.join()
    if seen["size"] < ctypes.sizeof(_PhdrInfo):
        pytest.skip("a loader that does not report thread-local storage")
    assert seen["storage"], (holder, seen)


# Peak memory of one call beyond its inputs and result, on each way of
# grouping: every row its own series (counted), few labels (counted, two
# workers), labels far apart (hashed), as many as rows (sorted) or a quarter
# as many (a hash table of them grown large), and one or two long series
# whose times are out of order (each worker's series smoothed whole).
PEAK_MEMORY = r"""
import json, numpy as np, kiv

def high_water():
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmHWM"))

n = 2_000_000
rng = np.random.default_rng(0)
values, times = rng.random(n), rng.random(n)
cases = {"distinct": (rng.permutation(n), 1), "few": (rng.integers(0, 100, n), 2),
         "far apart": (rng.integers(0, 100, n) << 40, 1), "distinct far apart": (rng.permutation(n) << 20, 1),
         "many far apart": (rng.integers(0, n // 4, n) << 20, 2),
         "one series": (np.zeros(n, np.int64), 1), "two series": (rng.integers(0, 2, n), 2)}
kiv.smooth_many(values[:64], times[:64], groups=np.zeros(64, np.int64))  # set-up done
peaks = {}
for name, (labels, workers) in cases.items():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the high-water mark starts again from what is resident now
    before = high_water()
    result = kiv.smooth_many(values, times, groups=labels, workers=workers)
    peaks[name] = (high_water() - before - result.nbytes) / n
    del result
print(json.dumps(peaks))
"""


@pytest.mark.skipif(UNDER_ASAN, reason="ASan's quarantine and shadow make up the peak")
def test_peak_memory():
    env = {"MALLOC_MMAP_THRESHOLD_": "65536", "MALLOC_TRIM_THRESHOLD_": "0"}  # freed memory returns at once
    for name, per_sample in run_fresh(PEAK_MEMORY, env=env).items():
        assert per_sample <= 48, (name, per_sample)
