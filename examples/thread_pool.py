"""Many series on one machine: every sensor of a long table (columns sensor,
time, value) smoothed with one kiv.smooth_many call on every core.

    python examples/thread_pool.py                        # a generated table
    python examples/thread_pool.py readings.parquet       # or .csv
    python examples/thread_pool.py --workers 4 --out smoothed.parquet

Times are seconds (numbers) or dates and times: a datetime column, or text
in a CSV such as 2009-01-01 06:00:00 (UTC unless it gives an offset); rows
may come in any order. Labels the rows by sensor and smooths them with
smooth_many on 1 worker and on --workers (default: every CPU); for
comparison, also with kiv.smooth per sensor in a loop and on a thread pool
of as many threads. Prints the times and checks that all four give the same
result.
"""

import argparse
import os
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd

import kiv


def seconds(times):
    """Times as float64 seconds: numbers as they are, datetimes and date text
    counted from the earliest (only the intervals matter to kiv)."""
    if pd.api.types.is_numeric_dtype(times):
        return times
    if not pd.api.types.is_datetime64_any_dtype(times):
        try:
            times = pd.to_datetime(times, utc=True)
        except ValueError:  # formats that differ from row to row
            times = pd.to_datetime(times, utc=True, format="mixed")
    return (times - times.min()).dt.total_seconds()


def columns(table):
    """Values, times in float64 seconds and an int64 label per row."""
    codes, _ = pd.factorize(table["sensor"], use_na_sentinel=False)  # a missing label is a sensor too
    times = seconds(table["time"])
    return (table["value"].to_numpy(np.float64, na_value=np.nan), times.to_numpy(np.float64),
            codes.astype(np.int64, copy=False))


def smooth_per_sensor(values, times, codes, threads):
    """What smooth_many replaces: kiv.smooth called once per sensor, on a
    pool of `threads` (1: a plain loop)."""
    order = np.argsort(codes, kind="stable")  # each sensor's rows together, in their order
    values, times = values[order], times[order]
    ends = np.cumsum(np.bincount(codes))
    smoothed = np.empty_like(values)

    def smooth_sensor(start, stop):
        smoothed[start:stop] = kiv.smooth(values[start:stop], times[start:stop])

    # Series under 1,024 samples hold the interpreter lock, so short ones gain
    # nothing from the pool; long ones smooth side by side.
    with ThreadPoolExecutor(threads) as pool:
        list(pool.map(smooth_sensor, np.r_[0, ends[:-1]], ends))
    result = np.empty_like(smoothed)
    result[order] = smoothed  # back in the table's row order
    return result


def generated_table(sensors=200, seed=0):
    """Sensors read at about 1 Hz, of 2,000 to 50,000 readings each, with
    NaN runs; rows interleaved in time order as a logger writes them."""
    rng = np.random.default_rng(seed)
    parts = []
    for sensor in range(sensors):
        n = int(rng.integers(2_000, 50_000))
        t = 1.7e9 + rng.uniform(0, 3600) + np.cumsum(rng.uniform(0.8, 1.2, n))
        v = np.sin(t / rng.uniform(300, 3000)) + rng.normal(0, 0.1 + 0.5 * (np.sin(t / 900) > 0.7), n)
        for start in rng.integers(0, n, 3):
            v[start:start + int(rng.integers(1, 50))] = np.nan
        parts.append(pd.DataFrame({"sensor": f"s{sensor:04d}", "time": t, "value": v}))
    return pd.concat(parts, ignore_index=True).sort_values("time", ignore_index=True)


def timed(fn, *args):
    start = time.perf_counter()
    out = fn(*args)
    return time.perf_counter() - start, out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("table", nargs="?", help="Parquet or CSV file; default: a generated table")
    parser.add_argument("--workers", type=int, default=os.cpu_count())
    parser.add_argument("--out", help="writes the table with a column 'smoothed' here (Parquet)")
    args = parser.parse_args()

    if args.table is None:
        table = generated_table()
    elif args.table.endswith(".csv"):
        table = pd.read_csv(args.table)
    else:
        table = pd.read_parquet(args.table)
    values, times, codes = columns(table)
    threads = args.workers if args.workers > 0 else os.cpu_count() + 1 + args.workers  # as smooth_many counts
    one, first = timed(lambda: kiv.smooth_many(values, times, groups=codes))
    many, smoothed = timed(lambda: kiv.smooth_many(values, times, groups=codes, workers=args.workers))
    loop, looped = timed(smooth_per_sensor, values, times, codes, 1)
    pool, pooled = timed(smooth_per_sensor, values, times, codes, threads)
    assert first.tobytes() == smoothed.tobytes() == looped.tobytes() == pooled.tobytes()
    print(f"{int(codes.max(initial=-1)) + 1:,} sensors, {len(table):,} samples, "
          f"smooth_many with 1 worker in {one:.2f} s, with {args.workers} in {many:.2f} s "
          f"({one / many:.2f}x), same results as kiv.smooth per sensor in a loop ({loop:.2f} s) "
          f"and on a pool of {threads} threads ({pool:.2f} s)")
    if args.out:
        table.assign(smoothed=smoothed).to_parquet(args.out, index=False)


if __name__ == "__main__":
    main()
