"""The measurement behind kDetachFrom (src/binding/detached.hpp): a build
that always releases the interpreter lock against one that never does, per
function and number of samples, in three settings:

- alone: one thread calling kiv; the cost of releasing and taking the lock;
- two: two threads calling kiv; what running in parallel gains;
- busy: one thread calling kiv while another runs pure Python; the rate of
  each (a released lock lets the Python thread run, and the kiv thread then
  waits for it to give the lock back).

Run through `bash benchmarks/threads --detach`, which makes both builds. Both
are loaded into one process and measured in alternating short slices, so that
other load on the machine falls on both alike; ratios are always / never per
pair of slices, printed as median [min, max] over the pairs.
"""

import argparse
import glob
import importlib.util
import os
import statistics
import sys
import threading
import time

import numpy as np

SIZES = [1, 16, 64, 256, 512, 1024, 2048, 4096, 16384, 65536]
FUNCTIONS = ["get_max_window_limit", "calculate_window_sizes", "apply_variable_smoothing", "smooth"]


def load(folder):
    """kiv from the folder, loaded beside any other copy."""
    [path] = glob.glob(os.path.join(folder, "kiv*.so"))
    found = importlib.util.spec_from_file_location("kiv", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def make_calls(kiv, n):
    rng = np.random.default_rng(n)
    t = np.cumsum(rng.uniform(0.7, 1.3, n))
    v = np.sin(t / 50) + rng.normal(0, 0.1, n) * (np.sin(t / 300) > 0)
    v[rng.random(n) < 0.01] = np.nan
    w = kiv.calculate_window_sizes(v, 60).astype(np.int64)
    return {
        "get_max_window_limit": lambda: kiv.get_max_window_limit(t),
        "calculate_window_sizes": lambda: kiv.calculate_window_sizes(v, 60),
        "apply_variable_smoothing": lambda: kiv.apply_variable_smoothing(v, w),
        "smooth": lambda: kiv.smooth(v, t),
    }


def rates(workers, duration):
    """Runs each worker (a callable) in its own thread until the deadline;
    returns each one's iterations per second."""
    counts = [0] * len(workers)
    barrier = threading.Barrier(len(workers) + 1)
    stop = threading.Event()

    def loop(i, work):
        barrier.wait()
        k = 0
        while not stop.is_set():
            work()
            k += 1
        counts[i] = k

    threads = [threading.Thread(target=loop, args=(i, w)) for i, w in enumerate(workers)]
    for thread in threads:
        thread.start()
    barrier.wait()
    start = time.perf_counter()
    time.sleep(duration)
    stop.set()
    for thread in threads:
        thread.join()
    elapsed = time.perf_counter() - start
    return [c / elapsed for c in counts]


def spin():
    for _ in range(100):
        pass


# Each setting: its threads, and a measurement giving one or more rates
# (calls or loops per second).
SETTINGS = {
    "alone": (1, lambda call, slice_s: {"alone": rates([call], slice_s)[0]}),
    "two": (2, lambda call, slice_s: {"two": sum(rates([call, call], slice_s))}),
    "busy": (2, lambda call, slice_s: dict(zip(["busy: kiv", "busy: Python"], rates([call, spin], slice_s)))),
}
COLUMNS = ["alone", "two", "busy: kiv", "busy: Python"]


def elsewhere(before, after):
    """CPUs kept busy by other processes between two readings of read_cpu()."""
    total, busy, own = (a - b for a, b in zip(after, before))
    return os.cpu_count() * (busy - own) / total if total else 0.0


def read_cpu():
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    own = os.times()
    return sum(fields), sum(fields) - fields[3] - fields[4], (own.user + own.system) * os.sysconf("SC_CLK_TCK")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--never", required=True, help="folder holding the never-releasing build")
    parser.add_argument("--always", required=True, help="folder holding the always-releasing build")
    parser.add_argument("--sizes", type=lambda text: [int(x) for x in text.split(",")], default=SIZES,
                        help="numbers of samples, comma-separated")
    parser.add_argument("--pairs", type=int, default=7, help="pairs of slices kept per measurement")
    parser.add_argument("--slice", type=float, default=0.1, help="seconds per slice")
    parser.add_argument("--quiet", type=float, default=0.3,
                        help="pairs during which other processes kept more of the CPUs that the setting "
                        "needs busy are measured again")
    args = parser.parse_args()
    builds = {"never": load(args.never), "always": load(args.always)}
    ratios, per_call, dropped = {}, {}, 0
    for n in args.sizes:
        calls = {variant: make_calls(kiv, n) for variant, kiv in builds.items()}
        for name in FUNCTIONS:
            for setting, (threads, measure) in SETTINGS.items():
                allowed = args.quiet + os.cpu_count() - threads
                kept, noisy = [], []
                while len(kept) < args.pairs and len(noisy) < 4 * args.pairs:
                    rate, before = {}, read_cpu()
                    for variant in ("never", "always") if len(kept) % 2 == 0 else ("always", "never"):
                        rate[variant] = measure(calls[variant][name], args.slice)
                    (kept if elsewhere(before, read_cpu()) <= allowed else noisy).append(rate)
                dropped += len(noisy)
                kept = kept or noisy  # a machine never quiet: the ratios are all there is
                for column in rate["never"]:
                    ratios[name, n, column] = [r["always"][column] / max(r["never"][column], 1e-9) for r in kept]
                if setting == "alone":
                    per_call[name, n] = statistics.median(1e6 / r["never"]["alone"] for r in kept)
        print(f"n = {n} done", file=sys.stderr)

    print(f"always / never, median [min, max] over {args.pairs} pairs of {args.slice} s slices during which "
          f"other processes kept at most {args.quiet} of the CPUs needed busy ({dropped} busier pairs measured again)\n")
    print("| function | n | µs/call alone | " + " | ".join(COLUMNS) + " |")
    print("|---|---:|---:|" + "---:|" * len(COLUMNS))
    for name in FUNCTIONS:
        for n in args.sizes:
            cells = [ratios[name, n, c] for c in COLUMNS]
            cells = [f"{statistics.median(c):.2f} [{min(c):.2f}, {max(c):.2f}]" for c in cells]
            print(f"| {name} | {n} | {per_call[name, n]:.2f} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
