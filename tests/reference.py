"""Slow, literal Python versions of kiv's numeric cores, for differential tests.

Everything works on Python floats and ints so that each IEEE operation is
written out once, in the order kiv performs it (Python never fuses a
multiply-add).

One of three references that change together with any change of behaviour:
this one, the C++ literal cores (tests/native/reference_cores.cpp, which the
native differential test and tests/test_structured.py compare against) and
composed() in tests/test_smooth.py (the pipeline rebuilt from kiv's other
three functions).
"""

import math

import numpy as np

I64_MIN, I64_MAX = -(2**63), 2**63 - 1
U64 = 2**64


class OutOfBounds(IndexError):
    """A refused percentile index; kiv reports it as a PanicException."""

    def __init__(self, length, index):
        super().__init__(f"index out of bounds: the len is {length} but the index is {index}")
        self.length, self.index = length, index


def rint(x):
    # round() on a finite float is exact and ties to even; keep the zero's sign.
    if not math.isfinite(x):
        return x
    return math.copysign(float(round(x)), x)


def trunc_i64(x):
    if math.isnan(x):
        return 0
    if x >= 2.0**63:
        return I64_MAX
    if x <= -(2.0**63):
        return I64_MIN
    return math.trunc(x)


def trunc_u64(x):
    if math.isnan(x) or x <= 0:
        return 0
    if x >= 2.0**64:
        return U64 - 1
    return math.trunc(x)


def floor(x):
    return x if not math.isfinite(x) else float(math.floor(x))


def ceil(x):
    return x if not math.isfinite(x) else float(math.ceil(x))


def divide(a, b):
    # IEEE division: Python raises on a zero divisor where C gives inf or NaN.
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


def sorted_present(values):
    # sorted() is stable and compares with <, so -0.0 and +0.0 keep their order.
    return sorted(float(v) for v in values if not math.isnan(v))


def nan_median(values):
    s = sorted_present(values)
    k = len(s)
    if k == 0:
        return math.nan
    if k % 2:
        return s[k // 2]
    return (s[k // 2 - 1] + s[k // 2]) * 0.5


def max_window_limit(timestamps, min_window_size=1.0, max_window_sec=60.0):
    t = [float(x) for x in timestamps]
    m = nan_median([t[i + 1] - t[i] for i in range(len(t) - 1)])
    upper = trunc_i64(rint(divide(max_window_sec, m)))
    lower = min(trunc_i64(float(min_window_size)) + 1, I64_MAX)
    return max(upper, lower, 0)


def nan_percentile(values, p):
    s = sorted_present(values)
    k = len(s)
    if k == 0:
        return math.nan
    if k == 1:
        return s[0]
    rank = (float(k) - 1.0) * (p / 100.0)
    lo, hi = trunc_u64(floor(rank)), trunc_u64(ceil(rank))
    if lo >= k:
        raise OutOfBounds(k, lo)
    if lo == hi:
        return s[lo]
    if hi >= k:
        raise OutOfBounds(k, hi)
    return (s[hi] - s[lo]) * (rank - float(lo)) + s[lo]


def raw_windows(values, max_window_size, min_window_size, low_percentile, high_percentile):
    v = [float(x) for x in values]
    n = len(v)
    d = [abs(v[i] - v[i - 1]) if i else 0.0 for i in range(n)]
    lo = nan_percentile(d, low_percentile)
    hi = nan_percentile(d, high_percentile)
    rng = hi - lo
    if rng <= 0:
        rng = 1.0
    span = float(max_window_size) - min_window_size
    raw = []
    for di in d:
        if math.isnan(di):
            raw.append(0.0)
            continue
        x = divide(di - lo, rng)
        y = 0.05 if 0.05 > x else x
        z = 1.0 if 1.0 < y else y
        raw.append(rint((1.0 - z) * span + min_window_size))
    return raw


def compute_window_sizes(values, max_window_size, min_window_size=1.0,
                         window_smooth_width_size=30, low_percentile=10.0,
                         high_percentile=90.0):
    raw = raw_windows(values, max_window_size, float(min_window_size),
                      float(low_percentile), float(high_percentile))
    n, w = len(raw), window_smooth_width_size
    half = ((w - 1) % U64) // 2
    out = []
    for i in range(n):
        end = (i + half + 1) % U64
        start = (end - w) % U64
        end = 0 if end >= 2**63 else min(end, n)
        start = 0 if start >= 2**63 else min(start, n)
        s = trunc_i64(nan_median(raw[start:end]))
        out.append(min(max(s, 0), 255) | 1)
    return np.array(out, dtype=np.uint8)


def variable_rolling_mean(samples, widths):
    v = [float(x) for x in samples]
    n = len(v)
    out = [math.nan] * n
    for i in range(n):
        w = int(widths[i])
        if w == 0:
            continue
        end = i + (w - 1) // 2 + 1
        start = min(max(end - w, 0), n)
        total, count = 0.0, 0
        for k in range(start, min(end, n)):
            if not math.isnan(v[k]):
                total += v[k]
                count += 1
        # +inf and -inf summed make the hardware's NaN, whose sign differs by
        # architecture: kiv returns its one NaN instead
        if count and not math.isnan(total):
            out[i] = total / float(count)
    return np.array(out, dtype=np.float64)


class NanTimestamp(Exception):
    pass


def time_order(timestamps):
    t = [float(x) for x in timestamps]
    if len(t) >= 2 and any(math.isnan(x) for x in t):
        raise NanTimestamp
    return sorted(range(len(t)), key=t.__getitem__)


def smooth_pipeline(values, timestamps, min_window_size=1.0, max_window_sec=60.0,
                    window_smooth_width_size=30, low_percentile=10.0, high_percentile=90.0):
    order = time_order(timestamps)
    sv = [float(values[j]) for j in order]
    limit = max_window_limit([timestamps[j] for j in order], min_window_size, max_window_sec)
    widths = compute_window_sizes(sv, limit, min_window_size, window_smooth_width_size,
                                  low_percentile, high_percentile)
    smoothed = variable_rolling_mean(sv, widths)
    out = np.empty(len(order))
    out[order] = smoothed
    return out


def bits(a):
    """The arrays' bit patterns, a NaN's sign and payload included: every NaN
    that kiv returns is 0x7FF8000000000000, as math.nan."""
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)
