"""The examples as the README runs them, checked bit for bit against a plain
serial loop: many series on a thread pool, and a fleet on a local Dask
cluster of two worker processes, to which kiv's functions travel by
reference."""

import importlib.util
import pickle
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import kiv
from fresh import TIME_SCALE

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


@pytest.mark.parametrize("name", [n for n in kiv.__all__ if n != "__version__"])
def test_functions_pickle_by_reference(name):
    function = getattr(kiv, name)
    cloudpickle = pytest.importorskip("cloudpickle")  # what Dask ships tasks with
    for dump in (pickle.dumps, cloudpickle.dumps):
        data = dump(function)
        assert pickle.loads(data) is function
        assert len(data) < 64 and name.encode() in data  # a name, not code


def example(name, *args, cwd):
    run = subprocess.run([sys.executable, str(EXAMPLES / name), *args], cwd=cwd, capture_output=True, text=True,
                         timeout=300 * TIME_SCALE)
    assert run.returncode == 0, run.stderr
    return run.stdout


def serial(table):
    """kiv.smooth of each sensor's rows, in a plain loop."""
    expected = np.empty(len(table))
    for rows in table.groupby("sensor", sort=False).indices.values():
        expected[rows] = kiv.smooth(table["value"].to_numpy()[rows], table["time"].to_numpy()[rows])
    return expected


@pytest.mark.parametrize("times", ["seconds", "dates"])
def test_table_on_a_thread_pool(tmp_path, times):
    pd = pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    rng = np.random.default_rng(5)
    lengths = rng.integers(1, 6000, 40)
    ms = np.concatenate([np.cumsum(rng.integers(500, 1500, n)) for n in lengths])  # whole milliseconds
    table = pd.DataFrame({"sensor": np.repeat(np.arange(40), lengths), "time": ms / 1000,
                          "value": rng.normal(size=lengths.sum())})
    table.loc[rng.random(len(table)) < 0.02, "value"] = np.nan
    order = rng.permutation(len(table))
    table = table.iloc[order].reset_index(drop=True)
    written = table
    if times == "dates":  # written as text, such as "2009-01-01 00:04:12.486"
        written = table.assign(time=pd.Timestamp("2009-01-01") + pd.to_timedelta(ms[order], unit="ms"))
    written.to_csv(tmp_path / "table.csv", index=False)
    done = example("thread_pool.py", "table.csv", "--workers", "3", "--out", "out.parquet", cwd=tmp_path)
    assert re.match(rf"40 sensors, {len(table):,} samples, .* with 3 in .*, same results", done), done
    out = pd.read_parquet(tmp_path / "out.parquet")
    # the times as the example read and counted them (a CSV's floats need
    # not come back bit for bit), then kiv.smooth per sensor on them
    found = importlib.util.spec_from_file_location("thread_pool", EXAMPLES / "thread_pool.py")
    thread_pool = importlib.util.module_from_spec(found)
    found.loader.exec_module(thread_pool)
    counted = out.assign(time=thread_pool.seconds(out["time"]))
    if times == "dates":
        assert not pd.api.types.is_numeric_dtype(out["time"])
    assert np.array_equal(out["smoothed"].to_numpy().view(np.int64), serial(counted).view(np.int64))


def test_fleet_on_a_local_cluster(tmp_path):
    pd = pytest.importorskip("pandas")
    pytest.importorskip("distributed")
    pytest.importorskip("pyarrow")
    made = example("dask_fleet.py", "--make-fleet", "300", "fleet", cwd=tmp_path)
    done = example("dask_fleet.py", "fleet", "smoothed", "--workers", "2", cwd=tmp_path)
    sensors, samples = (int(x.replace(",", "")) for x in re.match(r"([\d,]+) sensors, ([\d,]+) samples", made).groups())
    assert re.match(rf"{sensors:,} sensors, {samples:,} samples smoothed in [\d.]+ s on 2 workers", done), done

    fleet = pd.read_parquet(tmp_path / "fleet")
    assert len(fleet) == samples and fleet["sensor"].nunique() == sensors == 300
    # irregular lengths, NaN gaps and rows out of time order, as generated
    lengths = fleet.groupby("sensor").size()
    assert lengths.min() < 100 and lengths.max() > 5000
    assert fleet["value"].isna().any() and not fleet["time"].is_monotonic_increasing
    fleet["expected"] = serial(fleet)

    smoothed = pd.read_parquet(tmp_path / "smoothed")
    both = fleet.merge(smoothed, on=["sensor", "time"], how="outer", validate="one_to_one", indicator=True)
    assert (both["_merge"] == "both").all() and len(both) == samples
    assert np.array_equal(both["value_x"], both["value_y"], equal_nan=True)
    assert np.array_equal(both["expected"].to_numpy().view(np.int64), both["smoothed"].to_numpy().view(np.int64))
