"""Many series on a thread pool: 64 series of 10^5 samples smoothed by
kiv.smooth on concurrent.futures.ThreadPoolExecutor with 1 and with 2
threads. Run through `bash benchmarks/threads`.

Passes of 1 and 2 threads alternate; each pair gives a speed-up (time with
1 thread / time with 2), printed as median [min, max] over the pairs. A pair
during which other processes kept more than --quiet CPUs busy is measured
again, within --budget seconds. Every pass must return the serial loop's
results bit for bit; the exit code is 1 when one does not.
"""

import argparse
import os
import statistics
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import kiv

TARGET = 1.8


def fleet(count, n):
    """Jittered ~1 Hz series with calm and busy stretches and 1% NaN."""
    out = []
    for seed in range(count):
        rng = np.random.default_rng(seed)
        t = np.cumsum(rng.uniform(0.7, 1.3, n))
        busy = np.sin(t / (400 + 10 * seed)) > 0.5
        v = 5 * np.sin(t / 600) + rng.normal(0, 1, n) * np.where(busy, 1.0, 0.02)
        v[rng.random(n) < 0.01] = np.nan
        out.append((v, t))
    return out


def cpu_jiffies():
    """(all, busy) jiffies of the machine, and this process's own."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    own = os.times()
    return sum(fields), sum(fields) - fields[3] - fields[4], (own.user + own.system) * os.sysconf("SC_CLK_TCK")


def timed_pass(pool, series):
    start = time.perf_counter()
    results = list(pool.map(lambda s: kiv.smooth(*s), series))
    return time.perf_counter() - start, results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--series", type=int, default=64)
    parser.add_argument("--samples", type=int, default=10**5)
    parser.add_argument("--pairs", type=int, default=15, help="pairs of passes (1 and 2 threads) kept")
    parser.add_argument("--quiet", type=float, default=0.3, help="CPUs other processes may keep busy in a pair")
    parser.add_argument("--budget", type=float, default=300, help="seconds to find quiet pairs in")
    args = parser.parse_args()

    series = fleet(args.series, args.samples)
    expected = [kiv.smooth(v, t) for v, t in series]
    pools = {k: ThreadPoolExecutor(k) for k in (1, 2)}
    for pool in pools.values():  # warm-up: threads started, memory touched
        timed_pass(pool, series)
    kept, busier, mismatches = [], [], 0
    deadline = time.monotonic() + args.budget
    while len(kept) < args.pairs and time.monotonic() < deadline:
        before, pair = cpu_jiffies(), {}
        for k in (1, 2) if len(kept) % 2 == 0 else (2, 1):
            pair[k], results = timed_pass(pools[k], series)
            mismatches += sum(r.tobytes() != e.tobytes() for r, e in zip(results, expected))
        total, busy, own = (a - b for a, b in zip(cpu_jiffies(), before))
        (kept if os.cpu_count() * (busy - own) / total <= args.quiet else busier).append(pair)
    quiet = f"during which other processes kept at most {args.quiet} CPUs busy ({len(busier)} busier left out)"
    if not kept:  # never quiet: the busy pairs are all there is
        kept, quiet = busier, "all busier than --quiet"
    times = {k: [pair[k] for pair in kept] for k in (1, 2)}

    speedups = [a / b for a, b in zip(times[1], times[2])]
    median = statistics.median(speedups)
    print(f"kiv {kiv.__version__}, {os.cpu_count()} CPUs: {args.series} series of {args.samples:,} samples, "
          f"{len(kept)} pairs of passes {quiet}")
    for k in (1, 2):
        ms = [1e3 * t for t in times[k]]
        print(f"  {k} thread{'s' if k > 1 else ' '}  {statistics.median(ms):7.1f} ms per pass "
              f"[{min(ms):.1f}, {max(ms):.1f}], {1e9 * statistics.median(times[k]) / (args.series * args.samples):.1f} "
              f"ns per sample")
    print(f"  speed-up   {median:.2f}x [{min(speedups):.2f}, {max(speedups):.2f}] "
          f"(target >= {TARGET}x: {'PASS' if median >= TARGET else 'FAIL'})")
    print(f"  results    {'identical to the serial loop' if not mismatches else f'{mismatches} MISMATCHES'}")
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
