"""The cost of each stage of smooth, natively (benchmarks/stages.cpp), in ns a
sample of thread CPU time, at each CPU level of the kernels this CPU has, on
the benchmark's shape (dataset a), noise at 10 Hz, a sensor with few
levels, a constant one and two values alternating, at 10 Hz, long and short.

    python benchmarks/stages.py [--sizes 1e6,1e3,1e2] [--rounds 15]
                                [--tree DIR] [--before DIR] [--levels ...]

--tree names the source tree whose cores are timed (default: this one);
--before another tree (an older commit's checkout, say), timed in turn with
it, run by run, so that both see the same machine; the table then gives
before -> after.
"""

import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench import make_dataset  # noqa: E402

STAGES = ("order check + limit", "count + percentiles", "map to ranks", "sliding median + clamp",
          "variable mean", "smooth")


def clock(n, hz=10.0):
    return np.arange(n) / hz


def signals(n):
    rng = np.random.default_rng(29)
    yield "benchmark's shape", *make_dataset("a", n)
    yield "noise at 10 Hz", rng.normal(size=n), clock(n)
    yield "few levels at 10 Hz", np.round(np.cumsum(rng.normal(size=n))), clock(n)
    yield "constant at 10 Hz", np.full(n, 3.0), clock(n)
    yield "two values alternating at 10 Hz", np.where(np.arange(n) % 2 == 0, 0.0, 1.0), clock(n)


def build(tree, out):
    """The timer linked with the cores of `tree`, built in `out`."""
    tree, out = Path(tree).resolve(), Path(out).resolve()
    cmake = shutil.which("cmake")
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    subprocess.run([cmake, "-S", tree, "-B", out / "cores", *generator, "-DCMAKE_BUILD_TYPE=Release"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", out / "cores", "--target", "kiv_core"], check=True, stdout=subprocess.DEVNULL)
    binary = out / "kiv_stages"
    subprocess.run([os.environ.get("CXX", "g++"), "-O2", "-std=c++20", "-ffp-contract=off", f"-I{tree / 'src'}",
                    HERE / "stages.cpp", out / "cores" / "libkiv_core.a", "-lpthread", "-o", binary], check=True)
    return binary


def run(binary, values, times, rounds, level):
    env = dict(os.environ, KIV_CPU_LEVEL=level)
    text = subprocess.run([binary, values, times, str(rounds)], env=env, check=True, capture_output=True,
                          text=True).stdout
    rows = dict(line.split("\t") for line in text.splitlines())
    if rows.pop("level") != level:
        return None  # this CPU lacks the level
    return {k: float(v) for k, v in rows.items()}


def cpu_name():
    fields = {}
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        key, _, value = line.partition(":")
        fields.setdefault(key.strip(), value.strip())
    if "model name" not in fields:
        return platform.processor() or platform.machine()
    return f"{fields['model name']} (family {fields.get('cpu family', '?')}, model {fields.get('model', '?')})"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="1e6,1e3,1e2")
    parser.add_argument("--rounds", type=int, default=15, help="timings of each stage a run")
    parser.add_argument("--runs", type=int, default=3, help="runs of each tree, alternated")
    parser.add_argument("--tree", default=str(HERE.parent))
    parser.add_argument("--before")
    parser.add_argument("--levels", default="baseline,avx2,avx512")
    parser.add_argument("--build", default=str(HERE.parent / "build" / "stages"))
    args = parser.parse_args()

    trees = {"after": args.tree}
    if args.before:
        trees = {"before": args.before, **trees}
    binaries = {name: build(tree, Path(args.build) / name) for name, tree in trees.items()}
    sizes = [int(float(s)) for s in args.sizes.split(",")]
    print(f"CPU: {cpu_name()}; ns a sample (thread CPU time, medians)")
    with tempfile.TemporaryDirectory() as tmp:
        for n in sizes:
            for shape, values, times in signals(n):
                vpath, tpath = Path(tmp, "v"), Path(tmp, "t")
                np.ascontiguousarray(values, np.float64).tofile(vpath)
                np.ascontiguousarray(times, np.float64).tofile(tpath)
                columns, header = {}, []
                for level in args.levels.split(","):
                    runs = {name: [] for name in binaries}
                    for _ in range(args.runs):
                        for name, binary in binaries.items():
                            runs[name].append(run(binary, vpath, tpath, args.rounds, level))
                    if any(r is None for rs in runs.values() for r in rs):
                        continue
                    header.append(level)
                    columns[level] = {name: {s: statistics.median(r[s] for r in rs) for s in STAGES}
                                      for name, rs in runs.items()}
                print(f"\n{shape}, n = {n:,}\n")
                print("| stage | " + " | ".join(header) + " |")
                print("|---|" + "---:|" * len(header))
                for s in STAGES:
                    cells = []
                    for level in header:
                        c = columns[level]
                        cells.append(" → ".join(f"{c[name][s]:.2f}" for name in binaries))
                    print(f"| {s} | " + " | ".join(cells) + " |")
                sys.stdout.flush()


if __name__ == "__main__":
    main()
