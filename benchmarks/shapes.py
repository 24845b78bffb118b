"""Adversarial input shapes: kiv's four functions on data shaped to make
them work hardest, against normal noise on a regular 10 Hz clock, in one
process at the CPU level KIV_CPU_LEVEL caps, timed in the thread's CPU time.
Prints a Markdown table of ns per sample and the ratio to noise (the target:
at most 3 everywhere), and how many times faster smooth is than bottleneck's
move_median(30) + move_mean(31) on the same values (timed in turn with it).

    python benchmarks/shapes.py [--n 1e6] [--repeats 7] [--out DIR]
    python benchmarks/shapes.py --compare-levels DIR...   # the ratios side by side
"""

import argparse
import json
import platform
import statistics
import time
from pathlib import Path

import numpy as np

import kiv
from bench import make_dataset

FUNCTIONS = ("get_max_window_limit", "calculate_window_sizes", "apply_variable_smoothing", "smooth")


def clock(n, hz=10.0):
    return np.arange(n) / hz


def shapes(n):
    """(name, values, timestamps, window sizes or None) for each shape; the
    window sizes, when not given, are kiv's own for the values."""
    rng = np.random.default_rng(21)
    t = clock(n)
    noise = rng.normal(size=n)
    calm_busy = np.where(np.arange(n) // 15 % 2 == 0, 0.01, 1.0) * rng.normal(size=n)
    walk = np.round(np.cumsum(rng.normal(size=n)))  # an integer sensor: ties, few steps
    nan_runs = noise.copy()
    starts = rng.integers(0, n, n // 200)
    for s in starts:
        nan_runs[s:s + 100] = np.nan
    seconds = np.floor(t)  # 10 Hz stamped in whole seconds: the median interval is 0
    widths_alternating = np.where(np.arange(n) % 2 == 0, 1, 255).astype(np.int64)
    yield "noise (reference)", noise, t, None
    yield "the benchmark's shape (dataset a, 1 Hz)", *make_dataset("a", n), None
    yield "timestamps in whole seconds", noise, seconds, None
    yield "timestamps in whole seconds, shuffled", noise, seconds[rng.permutation(n)], None
    yield "timestamps shuffled", noise, t[rng.permutation(n)], None
    yield "timestamps 1% swapped", noise, swapped(t, rng), None
    yield "timestamps with gaps (exponential intervals)", noise, np.cumsum(rng.exponential(0.1, n)), None
    # bursts of 17 readings 1 µs apart, an hour between bursts, bursts shuffled:
    # keys alike in all but their low bits, buckets just above insertion's size
    bursts = (np.arange(n) // 17) * 3600.0 + (np.arange(n) % 17) * 1e-6
    yield "timestamps in shuffled bursts of 17", noise, bursts[rng.permutation(n)], None
    yield "timestamps in two clusters far apart, shuffled", noise, np.where(rng.random(n) < 0.5, 0.0, 1e15) + t, None
    yield "timestamps descending", noise, t[::-1].copy(), None
    yield "calm and busy stretches of 15", calm_busy, t, None
    yield "calm and busy stretches of 1000", np.where(np.arange(n) // 1000 % 2 == 0, 0.01, 1.0) * noise, t, None
    yield "constant", np.full(n, 3.0), t, None
    yield "ramp", np.arange(n, dtype=np.float64), t, None
    yield "integer random walk", walk, t, None
    yield "two values alternating", np.where(np.arange(n) % 2 == 0, 0.0, 1.0), t, None
    yield "NaN runs (half missing)", nan_runs, t, None
    yield "NaN every other sample", np.where(np.arange(n) % 2 == 0, np.nan, noise), t, None
    yield "infinities among noise", np.where(rng.random(n) < 0.01, np.inf, noise), t, None
    yield "subnormal noise", noise * 1e-310, t, None
    yield "widths alternating 1 and 255", noise, t, widths_alternating
    yield "widths random 0..255", noise, t, rng.integers(0, 256, n)


def swapped(t, rng):
    t = t.copy()
    pairs = rng.choice(len(t) - 1, len(t) // 100, replace=False)
    t[pairs], t[pairs + 1] = t[pairs + 1].copy(), t[pairs].copy()
    return t


def timed(fn, repeats):
    """Median seconds of the calling thread's CPU time: on a shared machine
    wall time also counts whatever else ran meanwhile. Every call timed here
    works on this thread alone."""
    fn()
    times = []
    for _ in range(repeats):
        start = time.thread_time_ns()
        fn()
        times.append(time.thread_time_ns() - start)
    return statistics.median(times) * 1e-9


def timed_in_turn(fns, repeats):
    """timed() of each function, their calls alternated, so that all see the
    same state of the machine."""
    times = [[] for _ in fns]
    for fn in fns:
        fn()
    for _ in range(repeats):
        for fn, spent in zip(fns, times):
            start = time.thread_time_ns()
            fn()
            spent.append(time.thread_time_ns() - start)
    return [statistics.median(spent) * 1e-9 for spent in times]


def against_bottleneck(values, timestamps, repeats):
    """smooth's speed-up over bottleneck's median(30) + mean(31) of the values."""
    import bottleneck as bn

    def peer():
        bn.move_median(values, 30, min_count=1)
        bn.move_mean(values, 31, min_count=1)

    ours, theirs = timed_in_turn([lambda: kiv.smooth(values, timestamps), peer], repeats)
    return theirs / ours


def compare_levels(dirs):
    """The speed-ups over bottleneck that shapes.py --out wrote, a column a level."""
    runs = [json.loads((Path(d) / "shapes.json").read_text()) for d in dirs]
    names = list(runs[0]["rows"])
    lines = [f"smooth against bottleneck move_median(30) + move_mean(31), n = {runs[0]['n']:,}: "
             "how many times faster (thread CPU time)", "",
             "| shape | " + " | ".join(r["level"] for r in runs) + " |", "|---|" + "---:|" * len(runs)]
    for name in names:
        cells = [f"{r['rows'][name]['bottleneck']:.2f}×" if "bottleneck" in r["rows"][name] else "" for r in runs]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    print("\n".join(lines))


def calls(values, timestamps, sizes):
    limit = kiv.get_max_window_limit(timestamps)
    # The other three functions see the samples in time order, as smooth does.
    order = np.argsort(timestamps, kind="stable")
    ordered = values[order]
    if sizes is None:
        sizes = kiv.calculate_window_sizes(ordered, limit).astype(np.int64)
    return {
        "get_max_window_limit": lambda: kiv.get_max_window_limit(timestamps),
        "calculate_window_sizes": lambda: kiv.calculate_window_sizes(ordered, limit),
        "apply_variable_smoothing": lambda: kiv.apply_variable_smoothing(ordered, sizes),
        "smooth": lambda: kiv.smooth(values, timestamps),
    }, limit


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=float, default=1e6)
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--out", type=Path)
    ap.add_argument("--compare-levels", nargs="+", metavar="DIR")
    args = ap.parse_args()
    if args.compare_levels:
        return compare_levels(args.compare_levels)
    n = int(args.n)
    rows = {}
    for name, values, timestamps, sizes in shapes(n):
        fns, limit = calls(values, timestamps, sizes)
        rows[name] = {f: timed(fns[f], args.repeats) / n * 1e9 for f in FUNCTIONS}
        rows[name]["limit"] = limit
        if sizes is None:  # smooth finds its own sizes
            rows[name]["bottleneck"] = against_bottleneck(values, timestamps, args.repeats)
    # The reference again, last: the first shape timed also pays for the
    # heap's first growth, which would flatter every ratio.
    values, timestamps, sizes = next(iter(shapes(n)))[1:]
    fns, _ = calls(values, timestamps, sizes)
    reference = rows["noise (reference)"]
    for f in FUNCTIONS:
        reference[f] = min(reference[f], timed(fns[f], args.repeats) / n * 1e9)
    head = f"kiv {kiv.__version__} at CPU level {kiv._cpu_level}, n = {n:,}, {platform.processor() or platform.machine()}"
    lines = [head, "", "| shape | limit | " + " | ".join(FUNCTIONS) + " | smooth × bottleneck |",
             "|---|---:|" + "---:|" * (len(FUNCTIONS) + 1)]
    worst = 0.0
    for name, row in rows.items():
        cells = []
        for f in FUNCTIONS:
            ratio = row[f] / reference[f]
            worst = max(worst, ratio)
            cells.append(f"{row[f]:.1f} ({ratio:.2f}×)")
        faster = f"{row['bottleneck']:.2f}×" if "bottleneck" in row else ""
        lines.append(f"| {name} | {row['limit']} | " + " | ".join(cells) + f" | {faster} |")
    lines += ["", f"ns per sample (ratio to noise); the worst ratio: {worst:.2f}×; smooth × bottleneck: how many",
              "times faster smooth is than bottleneck's move_median(30) + move_mean(31), alternated with it"]
    print("\n".join(lines))
    if args.out:
        args.out.mkdir(parents=True, exist_ok=True)
        (args.out / "shapes.md").write_text("\n".join(lines) + "\n")
        (args.out / "shapes.json").write_text(json.dumps({"level": kiv._cpu_level, "n": n, "rows": rows}, indent=1))


if __name__ == "__main__":
    main()
