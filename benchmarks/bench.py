"""Times kiv against its literal cores and its peers; run it through benchmarks/run.

Writes results.md, results.json and bench.png into --out and prints the
Markdown tables, a bit-for-bit check of kiv against the literal cores, and the
performance targets with PASS/FAIL.
"""

import argparse
import ctypes
import gc
import itertools
import json
import math
import os
import platform
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent

DEFAULTS = dict(
    min_window_size=1.0,
    max_window_sec=60.0,
    window_smooth_width_size=30,
    low_percentile=10.0,
    high_percentile=90.0,
)

DATASETS = {
    "a": dict(rate_hz=1.0, seed=1, title="1 Hz, jittered, calm and busy stretches, 1% NaN"),
    "b": dict(rate_hz=10.0, seed=2, title="10 Hz, jittered, calm and busy stretches, 1% NaN"),
}

# The targets the fast cores are held to (dataset a, default parameters).
TARGET_N = 10**6
TARGET_SPEEDUP_LITERAL = 30.0
TARGET_SPEEDUP_BOTTLENECK = 2.5
# by the CPU level of kiv's kernels; the x86-64 baseline has 2-lane vectors
TARGET_SPEEDUP_SCALAR_LOOP = {"baseline": 3.0, "neon": 3.0}
TARGET_SPEEDUP_SCALAR_LOOP_VECTOR = 8.0
TARGET_FLAT_RATIO = 1.5
TARGET_BYTES_PER_SAMPLE = 48.0
# smooth on the same samples out of time order, against them in order.
TARGET_RANDOM_ORDER = 1.6
TARGET_SWAPPED = 1.15
# Short signals: ns per sample against that at 10^5.
TARGET_SHORT = {10**3: 1.2, 10**2: 1.5}
# Below this many samples smooth is also timed on a new signal each call.
FRESH_BELOW = 10**5

# Other processes keeping more CPUs than this busy mark a timing as disturbed.
BUSY = 0.3


# glibc settings for the timings (unless --system-malloc): no mmap for large
# blocks and no trimming, so freed memory is reused by the next call instead
# of being faulted in anew, which some virtual machines make slow and erratic.
KEEP_HEAP_ENV = {"MALLOC_MMAP_MAX_": "0", "MALLOC_TRIM_THRESHOLD_": str(2**60)}


# ---------------------------------------------------------------- data


def make_dataset(name, n, variant=None):
    """Ascending, jittered timestamps and a signal of calm and busy stretches
    (another one of the same kind for each variant)."""
    kind = DATASETS[name]
    rng = np.random.default_rng([kind["seed"], n] + ([] if variant is None else [variant]))
    step = 1.0 / kind["rate_hz"]
    timestamps = np.cumsum(step * rng.uniform(0.7, 1.3, n))

    # Alternating stretches, ~25 minutes calm and ~8 minutes busy on average.
    mean_len = 1500 * kind["rate_hz"]
    lengths = rng.geometric(1.0 / mean_len, size=n // int(mean_len // 2 + 1) + 16)
    lengths[1::2] //= 3
    busy = np.repeat(np.arange(lengths.size) % 2 == 1, lengths)[:n]
    if busy.size < n:
        busy = np.concatenate([busy, np.zeros(n - busy.size, bool)])

    level = 5.0 * np.sin(timestamps / 600.0) + np.cumsum(rng.normal(0.0, 0.01, n))
    noise = rng.normal(0.0, 1.0, n) * np.where(busy, 1.0, 0.02)
    values = level + noise
    values[rng.random(n) < 0.01] = np.nan
    return values, timestamps


# The timestamp shapes that smooth is also timed and measured on: the
# dataset's samples shuffled, or with 1% of neighbouring pairs swapped.
SHAPES = {
    "sorted": "timestamps in time order",
    "random": "timestamps in random order",
    "swapped": "timestamps in order but 1% of neighbours swapped",
}


def reorder(x, t, shape):
    """The same samples, their timestamps in the given shape."""
    n = t.size
    rng = np.random.default_rng([7, n])
    if shape == "random":
        p = rng.permutation(n)
    elif shape == "swapped":
        p = np.arange(n)
        first = np.flatnonzero(rng.random(max(n - 1, 0)) < 0.01)
        first = first[np.concatenate([[True], np.diff(first) > 1])] if first.size else first
        p[first], p[first + 1] = first + 1, first
    else:
        return x, t
    return x[p], t[p]


# ---------------------------------------------------------------- literal cores


class Reference:
    """The literal cores through their C face (tests/native/literal_capi.cpp)."""

    def __init__(self, path):
        lib = ctypes.CDLL(str(path))
        p, n, d, u64 = ctypes.c_void_p, ctypes.c_size_t, ctypes.c_double, ctypes.c_uint64
        lib.kivref_last_error.restype = ctypes.c_char_p
        lib.kivref_max_window_limit.argtypes = [p, n, d, d, p]
        lib.kivref_compute_window_sizes.argtypes = [p, n, u64, d, d, u64, d, d, p]
        lib.kivref_variable_rolling_mean.argtypes = [p, p, n, p]
        lib.kivref_smooth_pipeline.argtypes = [p, p, n, d, d, u64, d, d, p]
        for f in ("max_window_limit", "compute_window_sizes", "variable_rolling_mean",
                  "smooth_pipeline"):
            getattr(lib, "kivref_" + f).restype = ctypes.c_int
        self.lib = lib

    def _check(self, rc):
        if rc != 0:
            raise RuntimeError(self.lib.kivref_last_error().decode())

    @staticmethod
    def _params():
        p = DEFAULTS
        return (p["min_window_size"], p["max_window_sec"], p["window_smooth_width_size"],
                p["low_percentile"], p["high_percentile"])

    def max_window_limit(self, t):
        out = ctypes.c_int64()
        self._check(self.lib.kivref_max_window_limit(
            t.ctypes.data, t.size, DEFAULTS["min_window_size"], DEFAULTS["max_window_sec"],
            ctypes.byref(out)))
        return out.value

    def compute_window_sizes(self, x, limit):
        out = np.empty(x.size, np.uint8)
        self._check(self.lib.kivref_compute_window_sizes(
            x.ctypes.data, x.size, limit, *self._params(), out.ctypes.data))
        return out

    def variable_rolling_mean(self, x, widths):
        assert widths.dtype == np.uint8 and widths.size == x.size
        out = np.empty(x.size)
        self._check(self.lib.kivref_variable_rolling_mean(
            x.ctypes.data, widths.ctypes.data, x.size, out.ctypes.data))
        return out

    def smooth(self, x, t):
        out = np.empty(x.size)
        self._check(self.lib.kivref_smooth_pipeline(
            x.ctypes.data, t.ctypes.data, x.size, *self._params(), out.ctypes.data))
        return out


# ---------------------------------------------------------------- timing


class CpuWatch:
    """CPU time spent by other processes while a measurement runs, in CPUs."""

    HZ = os.sysconf("SC_CLK_TCK")

    @staticmethod
    def _busy_jiffies():
        try:
            with open("/proc/stat") as f:
                fields = [int(v) for v in f.readline().split()[1:9]]
            return sum(fields) - fields[3] - fields[4]
        except (OSError, ValueError, IndexError):
            return None

    def __enter__(self):
        self.busy0 = self._busy_jiffies()
        self.own0 = sum(os.times()[:2])
        self.wall0 = time.monotonic()
        return self

    def __exit__(self, *exc):
        busy1 = self._busy_jiffies()
        wall = time.monotonic() - self.wall0
        if self.busy0 is None or busy1 is None or wall < 0.05:
            self.others = None
        else:
            own = sum(os.times()[:2]) - self.own0
            self.others = max(0.0, ((busy1 - self.busy0) / self.HZ - own) / wall)
        return False


class Timer:
    def __init__(self, budget_s, min_reps, min_reps_large, max_reps, slow_s=2.0):
        self.budget_ns = budget_s * 1e9
        self.min_reps, self.min_reps_large, self.max_reps = min_reps, min_reps_large, max_reps
        self.slow_ns = slow_s * 1e9

    def run(self, fn, n, single=False):
        """Times of repeated calls; repeats adapt to the cost of one call.

        A warm-up call estimates the cost; calls slower than slow_s count it as
        a sample, and `single` stops after it. Also returns how many CPUs other
        processes kept busy meanwhile (None when unknown or too short to tell).
        """
        gc.collect()
        enabled = gc.isenabled()
        gc.disable()
        try:
            with CpuWatch() as watch:
                t0 = time.perf_counter_ns()
                out = fn()
                first = time.perf_counter_ns() - t0
                times = [first] if single or first >= self.slow_ns else []
                if not single:
                    floor = self.min_reps_large if n >= 10**7 else self.min_reps
                    reps = int(self.budget_ns // max(first, 1))
                    reps = max(floor, min(self.max_reps, reps))
                    while len(times) < reps:
                        out = None
                        t0 = time.perf_counter_ns()
                        out = fn()
                        times.append(time.perf_counter_ns() - t0)
        finally:
            if enabled:
                gc.enable()
        return times, out, watch.others


# Operations: key -> (label, group). Groups order the tables.
OPS = {
    "kiv.get_max_window_limit": ("kiv get_max_window_limit", "kiv"),
    "kiv.calculate_window_sizes": ("kiv calculate_window_sizes", "kiv"),
    "kiv.apply_variable_smoothing": ("kiv apply_variable_smoothing", "kiv"),
    "kiv.smooth": ("kiv smooth", "kiv"),
    "kiv.smooth_fresh": ("kiv smooth, a new signal each call", "kiv"),
    "kiv.smooth_random": ("kiv smooth, timestamps in random order", "kiv"),
    "kiv.smooth_swapped": ("kiv smooth, 1% neighbours swapped", "kiv"),
    "kiv.apply_variable_smoothing_31": ("kiv apply_variable_smoothing, widths 31", "kiv"),
    "ref.max_window_limit": ("literal max_window_limit", "literal"),
    "ref.compute_window_sizes": ("literal compute_window_sizes", "literal"),
    "ref.variable_rolling_mean": ("literal variable_rolling_mean", "literal"),
    "ref.smooth": ("literal smooth_pipeline", "literal"),
    "ref.variable_rolling_mean_31": ("scalar loop per output (literal), widths 31", "literal"),
    "pandas.mean31": ("pandas rolling(31, center).mean()", "peer"),
    "pandas.median30": ("pandas rolling(30, center).median()", "peer"),
    "bottleneck.mean31": ("bottleneck move_mean(31)", "peer"),
    "bottleneck.median30": ("bottleneck move_median(30)", "peer"),
    "numpy.pipeline": ("NumPy/pandas pipeline (numpy_pipeline.py)", "peer"),
}

# Sums of two measured operations, used for the peer comparisons of smooth.
COMBINED = {
    "pandas.median30+mean31": ("pandas median(30) + mean(31)", ("pandas.median30", "pandas.mean31")),
    "bottleneck.median30+mean31": (
        "bottleneck move_median(30) + move_mean(31)",
        ("bottleneck.median30", "bottleneck.mean31"),
    ),
}

# (kiv op, peer op) pairs for the speed-up table; ratio = peer time / kiv time.
RATIOS = [
    ("kiv.smooth", "ref.smooth"),
    ("kiv.smooth", "numpy.pipeline"),
    ("kiv.smooth", "pandas.median30+mean31"),
    ("kiv.smooth", "bottleneck.median30+mean31"),
    ("kiv.get_max_window_limit", "ref.max_window_limit"),
    ("kiv.calculate_window_sizes", "ref.compute_window_sizes"),
    ("kiv.calculate_window_sizes", "pandas.median30"),
    ("kiv.calculate_window_sizes", "bottleneck.median30"),
    ("kiv.apply_variable_smoothing", "ref.variable_rolling_mean"),
    ("kiv.apply_variable_smoothing_31", "ref.variable_rolling_mean_31"),
    ("kiv.apply_variable_smoothing_31", "pandas.mean31"),
    ("kiv.apply_variable_smoothing_31", "bottleneck.mean31"),
]


def label(key):
    return OPS[key][0] if key in OPS else COMBINED[key][0]


def bits_equal(a, b):
    a, b = np.asarray(a), np.asarray(b)
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    if a.dtype == np.float64:
        return np.array_equal(a.view(np.uint64), b.view(np.uint64))
    return np.array_equal(a, b)


def bench_case(name, n, args, timer, ref):
    """Times every operation on one dataset and size; returns timings and checks."""
    import bottleneck as bn
    import pandas as pd

    import kiv
    import numpy_pipeline

    x, t = make_dataset(name, n)
    series = pd.Series(x)
    with_ref = ref is not None and n <= args.max_reference_n
    ref_single = n >= args.reference_single_n

    timings, busy, outputs = {}, {}, {}

    def run(key, fn, single=False):
        times, out, others = timer.run(fn, n, single=single)
        timings[key] = times
        busy[key] = others
        outputs[key] = out
        med = statistics.median(times)
        note = f"; others busy {others:.2f} CPUs" if others is not None and others > BUSY else ""
        print(f"  {name} n={n:<9} {label(key):<50} {med / n:10.2f} ns/sample"
              f"  ({len(times)} run{'s' if len(times) != 1 else ''}{note})", flush=True)

    run("kiv.get_max_window_limit", lambda: kiv.get_max_window_limit(t))
    limit = outputs["kiv.get_max_window_limit"]
    run("kiv.calculate_window_sizes", lambda: kiv.calculate_window_sizes(x, limit))
    widths_u8 = outputs["kiv.calculate_window_sizes"]
    widths = widths_u8.astype(np.int64)
    run("kiv.apply_variable_smoothing", lambda: kiv.apply_variable_smoothing(x, widths))
    run("kiv.smooth", lambda: kiv.smooth(x, t))
    if n < FRESH_BELOW:
        # A short signal called again and again is learnt by the branch
        # predictor, which no user's stream of new signals allows (a
        # selection's comparisons cost a tenth): calls that take turns over
        # many signals of the same kind.
        signals = max(8, min(256, 2 * 10**6 // max(n, 1)))
        fresh = itertools.cycle([make_dataset(name, n, v) for v in range(signals)])
        run("kiv.smooth_fresh", lambda: kiv.smooth(*next(fresh)))
    shaped = {shape: reorder(x, t, shape) for shape in ("random", "swapped")}
    for shape, (xs, ts) in shaped.items():
        run("kiv.smooth_" + shape, lambda: kiv.smooth(xs, ts))
    w31 = np.full(n, 31, np.int64)
    w31_u8 = np.full(n, 31, np.uint8)
    run("kiv.apply_variable_smoothing_31", lambda: kiv.apply_variable_smoothing(x, w31))

    if with_ref:
        run("ref.max_window_limit", lambda: ref.max_window_limit(t), ref_single)
        ref_limit = outputs["ref.max_window_limit"]
        run("ref.compute_window_sizes", lambda: ref.compute_window_sizes(x, ref_limit), ref_single)
        run("ref.variable_rolling_mean", lambda: ref.variable_rolling_mean(x, widths_u8), ref_single)
        run("ref.smooth", lambda: ref.smooth(x, t), ref_single)
        run("ref.variable_rolling_mean_31", lambda: ref.variable_rolling_mean(x, w31_u8), ref_single)

    run("pandas.mean31", lambda: series.rolling(31, center=True, min_periods=1).mean())
    run("pandas.median30", lambda: series.rolling(30, center=True, min_periods=1).median())
    run("bottleneck.mean31", lambda: bn.move_mean(x, 31, min_count=1))
    run("bottleneck.median30", lambda: bn.move_median(x, 30, min_count=1))
    run("numpy.pipeline", lambda: numpy_pipeline.smooth(x, t))

    checks = {}
    if with_ref:
        pairs = [
            ("get_max_window_limit", "kiv.get_max_window_limit", "ref.max_window_limit"),
            ("calculate_window_sizes", "kiv.calculate_window_sizes", "ref.compute_window_sizes"),
            ("apply_variable_smoothing", "kiv.apply_variable_smoothing", "ref.variable_rolling_mean"),
            ("smooth", "kiv.smooth", "ref.smooth"),
            ("smooth, random order", "kiv.smooth_random", None),
            ("smooth, 1% swapped", "kiv.smooth_swapped", None),
            ("apply_variable_smoothing (31)", "kiv.apply_variable_smoothing_31",
             "ref.variable_rolling_mean_31"),
        ]
        for what, k, r in pairs:
            if r is None:  # the literal pipeline, once, on the same samples reordered
                xs, ts = shaped[k.rsplit("_", 1)[1]]
                a, b = outputs[k], ref.smooth(xs, ts)
                checks[what] = bits_equal(a, b)
                continue
            a, b = outputs[k], outputs[r]
            checks[what] = (a == b) if isinstance(a, int) else bits_equal(a, b)

    # How close the user-written pipeline comes, to show it does the same job.
    y, z = outputs["kiv.smooth"], outputs["numpy.pipeline"]
    both = ~np.isnan(y) & ~np.isnan(z)
    close = np.abs(y - z) <= 1e-6 * (1.0 + np.abs(y))
    agreement = float(np.count_nonzero(close & both)) / max(1, np.count_nonzero(both))

    stats = {
        "limit": int(limit),
        "width_min": int(widths_u8.min()) if n else 0,
        "width_max": int(widths_u8.max()) if n else 0,
        "width_mean": float(widths_u8.mean()) if n else 0.0,
        "numpy_pipeline_agreement": agreement,
    }
    return timings, busy, checks, stats


# ---------------------------------------------------------------- memory


def vm_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise OSError(f"{field} not in /proc/self/status")


def memory_probe(name, n, shape):
    """Peak resident memory that one kiv.smooth call adds, in a fresh process."""
    import kiv

    x, t = reorder(*make_dataset(name, n), shape)
    kiv.smooth(x[:64].copy(), t[:64].copy())  # one-time set-up out of the way
    gc.collect()
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets VmHWM to the current resident size
        method = "VmHWM"
        before = vm_kib("VmHWM")
        result = kiv.smooth(x, t)
        after = vm_kib("VmHWM")
    except OSError:
        # Only a lower bound: the data generation may have set a higher peak.
        method = "ru_maxrss"
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        result = kiv.smooth(x, t)
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    del result
    extra = (after - before) * 1024
    print(json.dumps({"n": n, "extra_bytes": extra, "method": method}))


def measure_memory(name, n, shape):
    # Fixed malloc thresholds: every large buffer is mapped afresh and returned
    # on free, so resident growth is what the call itself touches.
    env = system_malloc_env()
    env.update(MALLOC_MMAP_THRESHOLD_="65536", MALLOC_TRIM_THRESHOLD_="0")
    proc = subprocess.run(
        [sys.executable, str(Path(__file__).resolve()), "--memory-probe", str(n),
         "--dataset", name, "--shape", shape],
        env=env, capture_output=True, text=True, check=True,
    )
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------- report


def fmt_n(n):
    k = round(math.log10(n)) if n > 0 else 0
    return f"10^{k}" if 10**k == n else str(n)


def fmt_num(v, digits=3):
    if v is None:
        return "–"
    if v == 0:
        return "0"
    mag = math.floor(math.log10(abs(v)))
    decimals = max(0, digits - 1 - mag)
    return f"{v:,.{decimals}f}"


def md_table(header, rows):
    lines = ["| " + " | ".join(header) + " |",
             "|" + "|".join("---" if i == 0 else "---:" for i in range(len(header))) + "|"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


def per_sample(results, name, n, key):
    """Median ns per sample of an operation or a combined pair, or None."""
    case = results.get(name, {}).get(n)
    if case is None:
        return None
    if key in COMBINED:
        parts = [per_sample(results, name, n, k) for k in COMBINED[key][1]]
        return None if None in parts else sum(parts)
    times = case["timings"].get(key)
    return statistics.median(times) / n if times else None


def disturbed(results, name, n, key):
    case = results.get(name, {}).get(n)
    if case is None:
        return False
    keys = COMBINED[key][1] if key in COMBINED else (key,)
    return any((case["busy"].get(k) or 0.0) > BUSY for k in keys)


def evaluate_targets(results, memory, sizes, level):
    name = "a"
    if name not in results:
        return [], None
    measured = sorted(results[name])
    n = TARGET_N if TARGET_N in measured else measured[-1]

    def ratio(kiv_key, peer_key, at=n):
        k, p = per_sample(results, name, at, kiv_key), per_sample(results, name, at, peer_key)
        return None if k is None or p is None else p / k

    targets = []

    def add(what, value, ok, shown, held=True):
        status = "n/a" if value is None else ("PASS" if ok else "FAIL") if held else "not held"
        targets.append({"target": what, "value": value, "shown": shown, "status": status})

    # the speed of smooth is held at the levels with vectors of 4 lanes or more
    vectors = level not in TARGET_SPEEDUP_SCALAR_LOOP
    r = ratio("kiv.smooth", "ref.smooth")
    add(f"smooth >= {TARGET_SPEEDUP_LITERAL:g}x faster than literal smooth_pipeline", r,
        r is not None and r >= TARGET_SPEEDUP_LITERAL, f"{fmt_num(r)}x" if r else "not measured", vectors)
    r = ratio("kiv.smooth", "bottleneck.median30+mean31")
    add(f"smooth >= {TARGET_SPEEDUP_BOTTLENECK:g}x faster than bottleneck move_median(30) + move_mean(31)", r,
        r is not None and r >= TARGET_SPEEDUP_BOTTLENECK, f"{fmt_num(r)}x" if r else "not measured", vectors)
    r = ratio("kiv.apply_variable_smoothing_31", "ref.variable_rolling_mean_31")
    least = TARGET_SPEEDUP_SCALAR_LOOP.get(level, TARGET_SPEEDUP_SCALAR_LOOP_VECTOR)
    add(f"apply_variable_smoothing (widths 31) >= {least:g}x faster than the scalar loop at CPU level {level}",
        r, r is not None and r >= least, f"{fmt_num(r)}x" if r else "not measured")

    span = [m for m in measured if 10**4 <= m <= 10**7]
    span = span if len(span) >= 2 else measured
    flat = [per_sample(results, name, m, "kiv.smooth") for m in span]
    flat = [v for v in flat if v is not None]
    spread = max(flat) / min(flat) if len(flat) >= 2 else None
    add(f"smooth time per sample flat over n = {fmt_n(span[0])}..{fmt_n(span[-1])} "
        f"(slowest / fastest <= {TARGET_FLAT_RATIO:g})", spread,
        spread is not None and spread <= TARGET_FLAT_RATIO,
        f"{fmt_num(spread)}" if spread else "needs two sizes")

    def slower(key, at, than_key="kiv.smooth", than_at=n):
        k, base = per_sample(results, name, at, key), per_sample(results, name, than_at, than_key)
        return None if k is None or base is None else k / base

    for shape, limit in (("random", TARGET_RANDOM_ORDER), ("swapped", TARGET_SWAPPED)):
        r = slower("kiv.smooth_" + shape, n)
        add(f"smooth, {SHAPES[shape]}: <= {limit:g}x its time on them sorted", r,
            r is not None and r <= limit, f"{fmt_num(r)}x" if r else "not measured")
    for short, limit in TARGET_SHORT.items():
        r = slower("kiv.smooth_fresh", short, than_at=10**5)
        add(f"smooth at n = {fmt_n(short)}: ns per sample <= {limit:g}x that at 10^5", r,
            r is not None and r <= limit, f"{fmt_num(r)}x" if r else "needs both sizes")

    for shape in SHAPES:
        mem = memory.get(name, {}).get(shape, {}).get(n)
        per = mem["extra_bytes"] / n if mem else None
        add(f"smooth peak extra memory, {SHAPES[shape]}: <= {TARGET_BYTES_PER_SAMPLE:g} bytes per sample",
            per, per is not None and per <= TARGET_BYTES_PER_SAMPLE,
            f"{fmt_num(per)} B/sample" if per is not None else "not measured")
    return targets, n


def report(results, memory, checks, stats, targets, target_n, meta):
    out = [f"# kiv benchmarks\n\n{meta['summary']}\n"]
    out.append("Times are medians of repeated runs in nanoseconds per sample (lower is better); "
               "speed-ups are the peer's time divided by kiv's (above 1: kiv is faster).\n")
    for name, cases in results.items():
        sizes = sorted(cases)
        out.append(f"## Dataset {name}: {DATASETS[name]['title']}\n")
        st = [stats[name][n] for n in sizes]
        out.append("Window limit " + ", ".join(f"{s['limit']}" for s in st)
                   + "; widths " + ", ".join(
                       f"{s['width_min']}..{s['width_max']} (mean {s['width_mean']:.0f})" for s in st)
                   + f" for n = {', '.join(fmt_n(n) for n in sizes)}.\n")
        header = ["ns per sample"] + [fmt_n(n) for n in sizes]
        rows = []
        for key in list(OPS) + list(COMBINED):
            vals = [per_sample(results, name, n, key) for n in sizes]
            if all(v is None for v in vals):
                continue
            rows.append([label(key)] + [
                fmt_num(v) + ("*" if disturbed(results, name, n, key) else "")
                for n, v in zip(sizes, vals)])
        out.append(md_table(header, rows) + "\n")
        if any(disturbed(results, name, n, k) for n in sizes for k in OPS):
            out.append(f"\\* other processes kept more than {BUSY} CPUs busy during that "
                       "measurement.\n")
        rows = []
        for k, p in RATIOS:
            vals = []
            for n in sizes:
                kv, pv = per_sample(results, name, n, k), per_sample(results, name, n, p)
                vals.append(None if kv is None or pv is None else pv / kv)
            if all(v is None for v in vals):
                continue
            rows.append([f"{label(k)} vs {label(p)}"] + [fmt_num(v) + ("x" if v else "") for v in vals])
        out.append(md_table(["speed-up of kiv"] + [fmt_n(n) for n in sizes], rows) + "\n")

    if memory:
        out.append("## Peak extra memory of kiv.smooth\n")
        out.append("Growth of the peak resident size during one call in a fresh process, "
                   "result array included. Below 10^5 samples page and counter granularity "
                   "dominate.\n")
        rows = []
        for name, per_shape in memory.items():
            for shape, per_n in per_shape.items():
                for n, m in sorted(per_n.items()):
                    rows.append([name, SHAPES[shape], fmt_n(n), fmt_num(m["extra_bytes"] / 2**20),
                                 fmt_num(m["extra_bytes"] / n), m["method"]])
        out.append(md_table(["dataset", "timestamps", "n", "MiB", "bytes per sample", "method"], rows) + "\n")

    out.append("## kiv against the literal cores, bit for bit\n")
    rows = []
    for name, per_n in checks.items():
        for n, c in sorted(per_n.items()):
            if not c:
                rows.append([name, fmt_n(n), "not checked (literal not run)"])
                continue
            bad = [k for k, ok in c.items() if not ok]
            rows.append([name, fmt_n(n), "OK" if not bad else "MISMATCH: " + ", ".join(bad)])
    out.append(md_table(["dataset", "n", "result"], rows) + "\n")
    agree = [f"{name} {fmt_n(n)}: {100 * s['numpy_pipeline_agreement']:.1f}%"
             for name, per_n in stats.items() for n, s in sorted(per_n.items())]
    out.append("The NumPy pipeline is not bit-exact; share of its outputs within 1e-6 "
               "(relative) of kiv.smooth: " + ", ".join(agree) + ".\n")

    if targets:
        out.append(f"## Targets (dataset a, n = {fmt_n(target_n)}, default parameters)\n")
        if target_n != TARGET_N:
            out.append(f"The targets are set at n = {fmt_n(TARGET_N)}, which this run did not "
                       "measure: indicative only.\n")
        rows = [[t["target"], t["shown"], t["status"]] for t in targets]
        out.append(md_table(["target", "measured", "status"], rows) + "\n")
    return "\n".join(out)


def plot(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    lines = [
        ("kiv.smooth", "kiv.smooth", "C0", "o"),
        ("ref.smooth", "literal smooth_pipeline", "C3", "s"),
        ("pandas.median30+mean31", "pandas rolling median(30) + mean(31)", "C1", "^"),
        ("bottleneck.median30+mean31", "bottleneck move_median(30) + move_mean(31)", "C2", "v"),
        ("numpy.pipeline", "NumPy/pandas pipeline", "C4", "D"),
    ]
    names = list(results)
    fig, axes = plt.subplots(1, len(names), figsize=(6.5 * len(names), 5.2), squeeze=False)
    for ax, name in zip(axes[0], names):
        sizes = sorted(results[name])
        for key, text, color, marker in lines:
            pts = [(n, per_sample(results, name, n, key)) for n in sizes]
            pts = [(n, v) for n, v in pts if v is not None]
            if pts:
                ax.plot(*zip(*pts), marker=marker, color=color, label=text)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("samples n")
        ax.set_ylabel("time per sample (ns)")
        ax.set_title(f"dataset {name}: {DATASETS[name]['title']}", fontsize=9)
        ax.grid(True, which="both", alpha=0.3)
    handles, texts = axes[0][0].get_legend_handles_labels()
    fig.legend(handles, texts, loc="lower center", ncol=3, fontsize=8, frameon=False)
    fig.tight_layout(rect=(0, 0.1, 1, 1))
    fig.savefig(path, dpi=110)
    plt.close(fig)


def busy_cpus(interval=1.0):
    """CPUs kept busy by other work, sampled while this process sleeps."""
    def sample():
        with open("/proc/stat") as f:
            fields = [int(v) for v in f.readline().split()[1:9]]
        idle = fields[3] + fields[4]
        return sum(fields) - idle, sum(fields)
    try:
        b0, t0 = sample()
        time.sleep(interval)
        b1, t1 = sample()
    except (OSError, ValueError, IndexError):
        return float("nan")
    return (b1 - b0) / max(1, t1 - t0) * (os.cpu_count() or 1)


def system_malloc_env():
    return {k: v for k, v in os.environ.items() if k not in KEEP_HEAP_ENV}


def environment_summary(keep_heap):
    import bottleneck
    import pandas

    import kiv

    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(l.split(":", 1)[1].strip() for l in f if l.startswith("model name"))
    except (OSError, StopIteration):
        pass
    try:
        rev = subprocess.run(["git", "-C", str(ROOT), "describe", "--always", "--dirty"],
                             capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        rev = "unknown"
    meta = {
        "cpu": cpu,
        "cpus": os.cpu_count(),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "pandas": pandas.__version__,
        "bottleneck": bottleneck.__version__,
        "kiv": kiv.__version__,
        "cpu_level": kiv._cpu_level,
        "tree": rev,
        "date": time.strftime("%Y-%m-%d %H:%M:%S %z"),
        "busy_cpus_at_start": busy_cpus(),
        "keep_heap": keep_heap,
    }
    meta["summary"] = (f"{meta['date']}, tree {rev}; {cpu} ({meta['cpus']} CPUs), "
                       f"kiv's kernels at CPU level {meta['cpu_level']}; "
                       f"Python {meta['python']}, NumPy {meta['numpy']}, pandas {meta['pandas']}, "
                       f"bottleneck {meta['bottleneck']}, kiv {meta['kiv']}; "
                       f"{meta['busy_cpus_at_start']:.2f} CPUs busy with other work at start; "
                       + ("glibc keeps freed memory." if keep_heap
                          else "glibc's default settings (--system-malloc)."))
    return meta


def compare_levels(dirs):
    """The targets of runs at several CPU levels (each folder's results.json), as one table."""
    rows = []
    for folder in dirs:
        doc = json.loads((folder / "results.json").read_text())
        n, meta = doc["target_n"], doc["meta"]
        per = {r["op"]: r["ns_per_sample"] for r in doc["results"] if r["dataset"] == "a" and r["n"] == n}
        rows.append([meta["cpu_level"], meta["cpu"], fmt_n(n) if n else "–",
                     fmt_num(per.get("kiv.smooth")), fmt_num(per.get("kiv.apply_variable_smoothing_31"))]
                    + [f"{t['shown']} {t['status']}" for t in doc["targets"][:3]])
    return md_table(["CPU level", "CPU", "n (dataset a)", "smooth ns/sample", "widths 31 ns/sample",
                     "smooth vs literal", "smooth vs bottleneck", "widths 31 vs scalar loop"], rows)


# ---------------------------------------------------------------- main


def parse_sizes(text):
    return sorted({int(float(s)) for s in text.replace(" ", "").split(",") if s})


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", type=parse_sizes,
                    help="comma-separated n, e.g. 1e4,1e6 (default 10^2..10^7)")
    ap.add_argument("--quick", action="store_true", help="short smoke run: small n, few repeats")
    ap.add_argument("--datasets", default="a,b", help="which data sets: a (1 Hz), b (10 Hz)")
    ap.add_argument("--budget", type=float, default=None,
                    help="seconds of repeats per measurement (default 1; quick 0.05)")
    ap.add_argument("--max-reference-n", type=float, default=1e7,
                    help="largest n at which the literal cores run (default 1e7)")
    ap.add_argument("--reference-single-n", type=float, default=1e7,
                    help="from this n the literal cores run once (default 1e7)")
    ap.add_argument("--system-malloc", action="store_true",
                    help="time with glibc's default settings, which return large freed "
                         "blocks to the system (see README)")
    ap.add_argument("--no-memory", action="store_true", help="skip the peak-memory probes")
    ap.add_argument("--reference-lib", type=Path, help="the literal cores' shared library")
    ap.add_argument("--out", type=Path, default=ROOT / "build" / "bench")
    ap.add_argument("--compare-levels", type=Path, nargs="+", metavar="DIR",
                    help="print the targets of earlier runs (their --out folders) side by side")
    ap.add_argument("--memory-probe", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--dataset", default="a", help=argparse.SUPPRESS)
    ap.add_argument("--shape", default="sorted", help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.compare_levels:
        print(compare_levels(args.compare_levels))
        return 0
    if args.memory_probe is not None:
        memory_probe(args.dataset, args.memory_probe, args.shape)
        return 0
    keep_heap = not args.system_malloc
    if keep_heap and any(os.environ.get(k) != v for k, v in KEEP_HEAP_ENV.items()):
        # The allocator reads these only at start-up.
        os.execve(sys.executable, [sys.executable, *sys.argv], {**os.environ, **KEEP_HEAP_ENV})

    if args.quick:
        sizes = args.sizes or [10**3, 10**4]
        timer = Timer(args.budget or 0.05, 2, 2, 5)
    else:
        sizes = args.sizes or [10**2, 10**3, 10**4, 10**5, 10**6, 10**7]
        timer = Timer(args.budget or 1.0, 5, 3, 200)
    args.max_reference_n = int(args.max_reference_n)
    args.reference_single_n = int(args.reference_single_n)
    names = [d for d in args.datasets.split(",") if d]
    for d in names:
        if d not in DATASETS:
            ap.error(f"unknown dataset {d!r}")

    ref = Reference(args.reference_lib) if args.reference_lib else None
    if ref is None:
        print("no --reference-lib: the literal cores are not timed", file=sys.stderr)

    started = time.monotonic()
    meta = environment_summary(keep_heap)
    print(meta["summary"], flush=True)
    if meta["busy_cpus_at_start"] > 0.3:
        print(f"warning: {meta['busy_cpus_at_start']:.2f} CPUs busy with other work; "
              "it will show in the timings", flush=True)

    results, checks, stats, memory = {}, {}, {}, {}
    for name in names:
        results[name], checks[name], stats[name] = {}, {}, {}
        for n in sizes:
            timings, busy, c, s = bench_case(name, n, args, timer, ref)
            results[name][n] = {"timings": timings, "busy": busy}
            checks[name][n], stats[name][n] = c, s
            if c:
                bad = [k for k, ok in c.items() if not ok]
                print(f"  {name} n={n}: bit-for-bit against the literal cores: "
                      + ("OK" if not bad else "MISMATCH in " + ", ".join(bad)), flush=True)
        if not args.no_memory:
            memory[name] = {shape: {} for shape in SHAPES}
            for n in sizes:
                for shape in SHAPES:
                    m = memory[name][shape][n] = measure_memory(name, n, shape)
                    print(f"  {name} n={n}: kiv.smooth peak extra memory, {SHAPES[shape]}: "
                          f"{m['extra_bytes'] / n:.1f} bytes/sample", flush=True)

    targets, target_n = evaluate_targets(results, memory, sizes, meta["cpu_level"])
    text = report(results, memory, checks, stats, targets, target_n, meta)
    elapsed = time.monotonic() - started
    meta["busy_cpus_at_end"] = busy_cpus()
    text += (f"\nBenchmark time: {elapsed:.0f} s; {meta['busy_cpus_at_end']:.2f} CPUs busy "
             "with other work at the end.\n")

    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "results.md").write_text(text)
    doc = {
        "meta": meta,
        "args": {"sizes": sizes, "datasets": names, "quick": args.quick,
                 "max_reference_n": args.max_reference_n,
                 "reference_single_n": args.reference_single_n},
        "results": [
            {"dataset": name, "n": n, "op": key, "label": label(key),
             "median_ns": statistics.median(times), "ns_per_sample": statistics.median(times) / n,
             "repeats": len(times), "times_ns": times,
             "others_busy_cpus": case["busy"].get(key)}
            for name, per_n in results.items() for n, case in per_n.items()
            for key, times in case["timings"].items()
        ],
        "bit_exact": {name: {str(n): c for n, c in per_n.items()} for name, per_n in checks.items()},
        "stats": {name: {str(n): s for n, s in per_n.items()} for name, per_n in stats.items()},
        "memory": {name: {shape: {str(n): m for n, m in per_n.items()} for shape, per_n in per_shape.items()}
                   for name, per_shape in memory.items()},
        "targets": targets,
        "target_n": target_n,
        "elapsed_s": elapsed,
    }
    (args.out / "results.json").write_text(json.dumps(doc, indent=1) + "\n")
    plot(results, args.out / "bench.png")

    print()
    print(text)
    print(f"Wrote {args.out / 'results.md'}, {args.out / 'results.json'}, {args.out / 'bench.png'}")
    mismatch = any(not ok for per_n in checks.values() for c in per_n.values() for ok in c.values())
    return 1 if mismatch else 0


if __name__ == "__main__":
    sys.exit(main())
