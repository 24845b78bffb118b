"""Past one machine: a fleet of sensors stored as Parquet files (columns
sensor, time, value; rows in any order, a sensor's rows in any files)
smoothed with kiv on a Dask cluster, written back as Parquet with a column
'smoothed'.

    python examples/dask_fleet.py --make-fleet 500 fleet/    # a generated fleet
    python examples/dask_fleet.py fleet/ smoothed/           # local cluster, 2 worker processes
    python examples/dask_fleet.py fleet/ smoothed/ --scheduler tcp://scheduler:8786

With --scheduler the same code runs on that cluster: every worker needs kiv
installed and must reach both folders (a shared file system, or URLs such as
s3://bucket/fleet/ with s3fs installed). Times are seconds (float).
"""

import argparse
import contextlib
import logging
import time

import dask.dataframe as dd
import numpy as np
import pandas as pd
from distributed import Client, LocalCluster

import kiv


def smooth_partition(part):
    """Smooths every sensor of a partition that holds all rows of its sensors:
    one smooth_many call, on this worker's thread."""
    codes, _ = pd.factorize(part["sensor"])
    smoothed = kiv.smooth_many(part["value"].to_numpy(np.float64, na_value=np.nan),
                               part["time"].to_numpy(np.float64), groups=codes.astype(np.int64, copy=False))
    return part.assign(smoothed=smoothed)


def smooth_fleet(source, target):
    """Smooths the fleet in the folder `source` into the folder `target` on
    the current Dask client; returns the number of sensors and samples."""
    fleet = dd.read_parquet(source, columns=["sensor", "time", "value"])
    by_sensor = fleet.shuffle("sensor")  # all rows of a sensor in one partition
    meta = {**by_sensor.dtypes.to_dict(), "smoothed": np.float64}
    by_sensor.map_partitions(smooth_partition, meta=meta).to_parquet(target, write_index=False)
    return dd.compute(fleet["sensor"].nunique(), fleet.shape[0])


def make_fleet(folder, sensors, seed=0, files=8):
    """Sensors of 1 to 20,000 readings at irregular rates, with dropouts and
    NaN runs; rows shuffled over `files` Parquet files."""
    rng = np.random.default_rng(seed)
    parts = []
    for sensor in range(sensors):
        n = int(rng.lognormal(7, 1.5)) % 20_000 + 1
        steps = rng.uniform(0.5, 1.5, n) * rng.choice([0.1, 1.0, 10.0])
        steps[rng.random(n) < 0.001] *= 500  # dropouts
        t = 1.7e9 + np.cumsum(steps)
        v = np.cumsum(rng.normal(0, 0.05, n)) + rng.normal(0, rng.uniform(0.01, 1), n)
        for start in rng.integers(0, n, 4):
            v[start:start + int(rng.integers(1, 40))] = np.nan
        parts.append(pd.DataFrame({"sensor": f"unit-{sensor:05d}", "time": t, "value": v}))
    rows = pd.concat(parts, ignore_index=True)
    rows = rows.iloc[rng.permutation(len(rows))].reset_index(drop=True)
    dd.from_pandas(rows, npartitions=files).to_parquet(folder, write_index=False)
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("source", help="folder of Parquet files: sensor, time, value")
    parser.add_argument("target", nargs="?", help="folder for the smoothed fleet")
    parser.add_argument("--make-fleet", type=int, metavar="SENSORS",
                        help="write a generated fleet of this many sensors into SOURCE and stop")
    parser.add_argument("--scheduler", help="address of a running cluster's scheduler")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster")
    parser.add_argument("--threads", type=int, default=1, help="threads per worker of the local cluster")
    args = parser.parse_args()

    if args.make_fleet:
        rows = make_fleet(args.source, args.make_fleet)
        print(f"{args.make_fleet:,} sensors, {len(rows):,} samples written to {args.source}")
        return
    if args.target is None:
        parser.error("the target folder is required")
    with contextlib.ExitStack() as stack:
        cluster = args.scheduler or stack.enter_context(
            LocalCluster(n_workers=args.workers, threads_per_worker=args.threads, dashboard_address=None,
                         silence_logs=logging.ERROR))
        client = stack.enter_context(Client(cluster))
        workers = len(client.scheduler_info()["workers"])
        start = time.perf_counter()
        sensors, samples = smooth_fleet(args.source, args.target)
        elapsed = time.perf_counter() - start
    print(f"{sensors:,} sensors, {samples:,} samples smoothed in {elapsed:.2f} s "
          f"on {workers} workers; written to {args.target}")


if __name__ == "__main__":
    main()
