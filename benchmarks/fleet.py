"""Fleets of series: kiv.smooth_many against one kiv.smooth call on a single
long series, against the loop users write today (pandas groupby and
kiv.smooth per sensor) and against grouped fixed-width means of pandas and
polars, in one process at the CPU level KIV_CPU_LEVEL caps. Run it through
`bash benchmarks/run --fleet`.

    python benchmarks/fleet.py [--rounds 7] [--out DIR] [--no-memory]

Prints ns per sample of every measurement on each fleet, the ratios the
targets name with PASS/FAIL, and the peak extra memory of one smooth_many
call; writes fleet.md and fleet.json into --out.
"""

import argparse
import gc
import json
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import bench

SINGLE_N = 10**6
FLEETS = {
    "10^4 x 100": "10^4 series of 100 samples",
    "100 x 10^4": "100 series of 10^4 samples",
    "skewed": "lengths log-normal, 1 to 10^5, about 10^6 samples",
}

# The targets, on the fleets they name.
TARGET_OFFSETS_VS_SINGLE = {"10^4 x 100": 1.4, "100 x 10^4": 1.15}
# groups= over offsets=: rows in time order with the sensors interleaved, and shuffled
TARGET_TIME_VS_OFFSETS = {"10^4 x 100": 1.6, "100 x 10^4": 1.3}
TARGET_SHUFFLED_VS_OFFSETS = {"10^4 x 100": 2.5, "100 x 10^4": 1.8}
TARGET_LOOP_VS_GROUPS = {"10^4 x 100": 4.0, "100 x 10^4": 2.0}
TARGET_TWO_WORKERS = 1.8  # on every fleet
TARGET_BYTES_PER_SAMPLE = 48.0

# Labels: dense codes 0..G-1 (pd.factorize's) or ids spread over the whole
# int64 range (serial numbers, hashes).
LABELS = {"dense": "labels 0..G-1", "wide": "labels spread over the int64 range"}

OPS = {
    "single": "one kiv.smooth call, 10^6 samples in time order",
    "offsets": "smooth_many(offsets=...), series in time order, 1 worker",
    "time": "smooth_many(groups=...), rows in time order (sensors interleaved), dense labels, 1 worker",
    "time_wide": "the same, wide labels",
    "groups": "smooth_many(groups=...), rows shuffled, dense labels, 1 worker",
    "groups_wide": "the same, wide labels",
    "groups2": "smooth_many(groups=...), rows shuffled, dense labels, 2 workers",
    "groups2_wide": "the same, wide labels",
    "loop": "pandas groupby + kiv.smooth per sensor, rows shuffled",
    "pandas": "pandas groupby().rolling(31, center=True).mean()",
    "polars": "polars rolling_mean(31, center=True).over(sensor)",
}


def lengths_of(fleet):
    if fleet == "10^4 x 100":
        return np.full(10**4, 100)
    if fleet == "100 x 10^4":
        return np.full(100, 10**4)
    rng = np.random.default_rng(11)
    lengths = np.clip(rng.lognormal(5.0, 2.0, 20_000), 1, 10**5).astype(np.int64)
    return lengths[:np.searchsorted(np.cumsum(lengths), 10**6) + 1]


def make_fleet(fleet):
    """Values, timestamps and offsets, each series in time order: a 10 Hz
    signal of calm and busy stretches with 1% NaN, cut into the fleet's
    series, each moved to start at time 0 so that the sensors overlap in
    time (only intervals matter to the smoothing)."""
    lengths = lengths_of(fleet)
    offsets = np.r_[0, np.cumsum(lengths, dtype=np.int64)]
    values, timestamps = bench.make_dataset("b", int(offsets[-1]))
    firsts = np.repeat(timestamps[offsets[:-1]], lengths)
    return values, timestamps - firsts, offsets


def labels_of(offsets, kind):
    """Each row's label: its series' index, or a distinct id drawn from the
    whole int64 range."""
    count = offsets.size - 1
    codes = np.arange(count, dtype=np.int64)
    if kind == "wide":
        rng = np.random.default_rng(17)
        codes = np.unique(rng.integers(np.iinfo(np.int64).min, np.iinfo(np.int64).max, count + 64,
                                       dtype=np.int64, endpoint=True))
        codes = rng.permutation(codes)[:count]
    return np.repeat(codes, np.diff(offsets))


def table(values, timestamps, labels, order):
    """The same rows as a long table, in the order given: "shuffled" (random)
    or "time" (by timestamp, the sensors interleaved, as a log stores them)."""
    if order == "time":
        p = np.argsort(timestamps, kind="stable")
    else:
        p = np.random.default_rng(5).permutation(values.size)
    return values[p], timestamps[p], labels[p], p


def shuffled_table(values, timestamps, offsets):
    """The rows in random order, with dense labels, as a long table."""
    return table(values, timestamps, labels_of(offsets, "dense"), "shuffled")


def measure(fleet, rounds, single):
    """Median ns per sample (CPU time of the whole process, system time
    included, for one worker; wall time for two) and the system time of each
    operation; the operations take turns, their order reversed every other
    round."""
    import pandas as pd
    import polars as pl

    import kiv

    values, timestamps, offsets = make_fleet(fleet)
    n = values.size
    tables = {(order, kind): table(values, timestamps, labels_of(offsets, kind), order)
              for order in ("time", "shuffled") for kind in LABELS}
    sv, st, sg, p = tables["shuffled", "dense"]
    frame = pd.DataFrame({"sensor": sg, "time": st, "value": sv})
    polars_frame = pl.from_pandas(frame)
    xs, ts = single

    def user_loop():
        smoothed = np.empty(len(frame))
        v, t = frame["value"].to_numpy(), frame["time"].to_numpy()
        for rows in frame.groupby("sensor", sort=False).indices.values():
            smoothed[rows] = kiv.smooth(v[rows], t[rows])
        return smoothed

    def grouped(order, kind, workers=1):
        v, t, g, _ = tables[order, kind]
        return lambda: kiv.smooth_many(v, t, groups=g, workers=workers)

    calls = {
        "single": (lambda: kiv.smooth(xs, ts), xs.size),
        "offsets": (lambda: kiv.smooth_many(values, timestamps, offsets=offsets), n),
        "time": (grouped("time", "dense"), n),
        "time_wide": (grouped("time", "wide"), n),
        "groups": (grouped("shuffled", "dense"), n),
        "groups_wide": (grouped("shuffled", "wide"), n),
        "groups2": (grouped("shuffled", "dense", 2), n),
        "groups2_wide": (grouped("shuffled", "wide", 2), n),
        "loop": (user_loop, n),
        "pandas": (lambda: frame.groupby("sensor")["value"].rolling(31, center=True, min_periods=1).mean(), n),
        "polars": (lambda: polars_frame.select(
            pl.col("value").rolling_mean(31, center=True, min_samples=1).over("sensor")), n),
    }
    outputs = {key: fn() for key, (fn, _) in calls.items()}  # warm-up
    by_offsets = outputs["offsets"]
    same = all(outputs[key].tobytes() == by_offsets[tables[order, kind][3]].tobytes()
               for key, order, kind in [("time", "time", "dense"), ("time_wide", "time", "wide"),
                                        ("groups", "shuffled", "dense"), ("groups_wide", "shuffled", "wide"),
                                        ("groups2", "shuffled", "dense"), ("groups2_wide", "shuffled", "wide")])
    same = same and outputs["loop"].tobytes() == by_offsets[p].tobytes()
    del outputs
    cpu = {key: [] for key in calls}
    wall = {key: [] for key in calls}
    system = {key: [] for key in calls}
    others = {key: [] for key in calls}
    gc.collect()
    gc.disable()
    try:
        for r in range(rounds):
            for key in list(calls) if r % 2 == 0 else reversed(list(calls)):
                fn, size = calls[key]
                with bench.CpuWatch() as watch:
                    sys0 = resource.getrusage(resource.RUSAGE_SELF).ru_stime
                    cpu0, start = time.process_time_ns(), time.perf_counter_ns()
                    fn()
                    wall[key].append((time.perf_counter_ns() - start) / size)
                    cpu[key].append((time.process_time_ns() - cpu0) / size)
                    system[key].append((resource.getrusage(resource.RUSAGE_SELF).ru_stime - sys0) * 1e9 / size)
                if watch.others is not None:
                    others[key].append(watch.others)
    finally:
        gc.enable()
    return {key: {"ns_per_sample": statistics.median(cpu[key]), "cpu": cpu[key],
                  "wall_ns_per_sample": statistics.median(wall[key]), "wall": wall[key],
                  "system_ns_per_sample": statistics.median(system[key]), "system": system[key],
                  "others_busy_cpus": statistics.median(others[key]) if others[key] else None}
            for key in calls}, {"series": int(offsets.size - 1), "samples": int(n),
                                "longest": int(np.diff(offsets).max()), "bit_for_bit": same}


def memory_probe(fleet, workers):
    """Peak resident memory that one smooth_many(groups=...) call adds beyond
    its result, in a fresh process."""
    import kiv

    values, timestamps, offsets = make_fleet(fleet)
    sv, st, sg, _ = shuffled_table(values, timestamps, offsets)
    kiv.smooth_many(sv[:64].copy(), st[:64].copy(), groups=sg[:64].copy(), workers=workers)  # set-up done
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current resident size
    before = bench.vm_kib("VmHWM")
    result = kiv.smooth_many(sv, st, groups=sg, workers=workers)
    extra = (bench.vm_kib("VmHWM") - before) * 1024 - result.nbytes
    print(json.dumps({"extra_bytes": extra, "samples": int(sv.size)}))


def measure_memory(fleet, workers):
    # as bench.py: every large buffer mapped afresh, so resident growth is the call's
    env = bench.system_malloc_env()
    env.update(MALLOC_MMAP_THRESHOLD_="65536", MALLOC_TRIM_THRESHOLD_="0")
    proc = subprocess.run([sys.executable, str(Path(__file__).resolve()), "--memory-probe", fleet,
                           "--workers", str(workers)], env=env, capture_output=True, text=True, check=True)
    m = json.loads(proc.stdout.strip().splitlines()[-1])
    return m["extra_bytes"] / m["samples"]


def ratios(results, memory):
    """The ratios the targets name, on every fleet; PASS/FAIL where a target is set."""
    rows = []

    def add(what, value, target, ok):
        rows.append([what, bench.fmt_num(value), target or "–",
                     "" if not target else "PASS" if ok else "FAIL"])

    for fleet, per in results.items():
        ns = {key: m["ns_per_sample"] for key, m in per.items()}
        r = ns["offsets"] / ns["single"]
        limit = TARGET_OFFSETS_VS_SINGLE.get(fleet)
        add(f"{fleet}: offsets on 1 worker / one smooth call, per sample (CPU)", r,
            limit and f"<= {limit:g}", limit and r <= limit)
        for suffix, kind in (("", "dense"), ("_wide", "wide")):
            for key, order, targets in (("time", "rows in time order", TARGET_TIME_VS_OFFSETS),
                                        ("groups", "rows shuffled", TARGET_SHUFFLED_VS_OFFSETS)):
                r = ns[key + suffix] / ns["offsets"]
                limit = targets.get(fleet)
                add(f"{fleet}: groups ({order}, {kind} labels) / offsets, 1 worker (CPU)", r,
                    limit and f"<= {limit:g}", limit and r <= limit)
        r = ns["loop"] / ns["groups"]
        least = TARGET_LOOP_VS_GROUPS.get(fleet)
        add(f"{fleet}: the user's loop / groups on 1 worker (CPU)", r, least and f">= {least:g}",
            least and r >= least)
        for suffix, kind in (("", "dense"), ("_wide", "wide")):
            r = per["groups" + suffix]["wall_ns_per_sample"] / per["groups2" + suffix]["wall_ns_per_sample"]
            add(f"{fleet}: groups ({kind} labels) on 1 worker / on 2 (wall)", r, f">= {TARGET_TWO_WORKERS:g}",
                r >= TARGET_TWO_WORKERS)
        kiv_ops = [key for key in per if key not in ("loop", "pandas", "polars")]
        worst = max(kiv_ops, key=lambda key: per[key]["system_ns_per_sample"] / per[key]["ns_per_sample"])
        r = per[worst]["system_ns_per_sample"] / per[worst]["ns_per_sample"]
        add(f"{fleet}: largest share of system time in a kiv call's CPU time ({worst})", r, "< 0.5", r < 0.5)
    for (fleet, workers), per in memory.items():
        add(f"{fleet}: peak extra memory of groups on {workers} worker{'s' if workers > 1 else ''}, "
            "bytes per sample (result excluded)", per, f"<= {TARGET_BYTES_PER_SAMPLE:g}",
            per <= TARGET_BYTES_PER_SAMPLE)
    return rows


def report(results, shapes, memory, meta):
    fleets = list(results)
    out = [f"# kiv fleet benchmark\n\n{meta['summary']}\n",
           "Median CPU time of the process per sample, system time included, over rounds in "
           f"which the measurements take turns (lower is better; wall time for 2 workers); \\* marks a median during which other processes kept more than {bench.BUSY} "
           "CPUs busy.\n",
           bench.md_table(["fleet"] + fleets, [["series, samples, longest"] + [
               f"{s['series']:,}, {s['samples']:,}, {s['longest']:,}" for s in shapes.values()]]) + "\n"]
    rows = []
    for key, text in OPS.items():
        field = "wall_ns_per_sample" if key.startswith("groups2") else "ns_per_sample"
        rows.append([text] + [
            bench.fmt_num(results[f][key][field])
            + ("*" if (results[f][key]["others_busy_cpus"] or 0) > bench.BUSY else "") for f in fleets])
    for key, text in OPS.items():
        rows.append([f"system time of: {text}"] + [
            bench.fmt_num(results[f][key]["system_ns_per_sample"]) for f in fleets])
    busy = [[m["others_busy_cpus"] for m in results[f].values() if m["others_busy_cpus"] is not None] for f in fleets]
    rows.append(["CPUs other processes kept busy (median over measurements)"]
                + [f"{statistics.median(b):.2f}" if b else "–" for b in busy])
    rows.append(["smooth_many bit for bit the loop of kiv.smooth"]
                + ["yes" if shapes[f]["bit_for_bit"] else "NO" for f in fleets])
    out.append(bench.md_table(["ns per sample"] + fleets, rows) + "\n")
    out.append("## Ratios and targets\n")
    out.append(bench.md_table(["ratio", "measured", "target", "status"], ratios(results, memory)) + "\n")
    if memory:
        out.append("Per-worker scratch, as the growth from 1 to 2 workers: " + ", ".join(
            f"{f} {(memory[f, 2] - memory[f, 1]) * shapes[f]['samples'] / 2**20:.2f} MiB" for f in fleets) + ".\n")
    return "\n".join(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=7, help="turns of every measurement (default 7)")
    ap.add_argument("--no-memory", action="store_true", help="skip the peak-memory probes")
    ap.add_argument("--fleets", default=",".join(FLEETS),
                    help="the fleets to measure, comma-separated (default all: " + ", ".join(FLEETS) + ")")
    ap.add_argument("--out", type=Path)
    ap.add_argument("--memory-probe", choices=FLEETS, help=argparse.SUPPRESS)
    ap.add_argument("--workers", type=int, default=1, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.memory_probe:
        memory_probe(args.memory_probe, args.workers)
        return 0

    import polars

    keep_heap = all(os.environ.get(k) == v for k, v in bench.KEEP_HEAP_ENV.items())
    meta = bench.environment_summary(keep_heap)
    meta["polars"] = polars.__version__
    meta["summary"] += f" polars {meta['polars']}."
    print(meta["summary"], flush=True)
    single = bench.make_dataset("b", SINGLE_N)
    results, shapes, memory = {}, {}, {}
    for fleet in args.fleets.split(","):
        title = FLEETS[fleet]
        results[fleet], shapes[fleet] = measure(fleet, args.rounds, single)
        print(f"  {fleet} ({title}): " + ", ".join(
            f"{key} {bench.fmt_num(m['ns_per_sample'])}" for key, m in results[fleet].items())
            + " ns/sample", flush=True)
        if not args.no_memory:
            for workers in (1, 2):
                memory[fleet, workers] = measure_memory(fleet, workers)
    meta["busy_cpus_at_end"] = bench.busy_cpus()
    text = report(results, shapes, memory, meta)
    text += f"\n{meta['busy_cpus_at_end']:.2f} CPUs busy with other work at the end.\n"
    print()
    print(text)
    if args.out:
        args.out.mkdir(parents=True, exist_ok=True)
        (args.out / "fleet.md").write_text(text)
        doc = {"meta": meta, "shapes": shapes, "results": results,
               "memory": [{"fleet": f, "workers": w, "extra_bytes_per_sample": v} for (f, w), v in memory.items()]}
        (args.out / "fleet.json").write_text(json.dumps(doc, indent=1) + "\n")
        print(f"Wrote {args.out / 'fleet.md'} and {args.out / 'fleet.json'}")
    return 0 if all(s["bit_for_bit"] for s in shapes.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
