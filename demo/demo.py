"""kiv demo: adaptive smoothing of a noisy sensor log.

The signal is a simulated pressure sensor, generated here from a fixed seed.
The public series that PyPI packages ship (river's hourly pipeline water flow,
matplotlib's sample data and the like) lack what this demo is about: about one
reading a second with jittered timestamps, dropouts and NaN runs. Simulating
also gives the clean signal to measure the smoothing against. The log behaves
like one from a real line:

- readings roughly once a second, the interval jittered by tens of milliseconds,
  and a few dropouts where no reading arrived for half a minute to a few minutes;
- runs of NaN where the sensor reported a fault, and scattered single NaNs;
- calm stretches (slow drift under sensor noise) and bursts of activity (fast
  oscillations that the smoothing must not flatten);
- Unix timestamps in seconds, as a logger writes them.

The demo smooths it with ``kiv.smooth``, prints a short summary, and draws the raw
and the smoothed signal with the window width that kiv chose for every sample.

    python demo/demo.py [--samples N] [--seed S] [--out PATH]

Needs numpy, matplotlib (headless, Agg) and kiv; ``bash scripts/demo`` sets them up.
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # headless: never needs a display

import matplotlib.dates as mdates  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402

import kiv  # noqa: E402

DEFAULT_OUT = Path(__file__).resolve().parent.parent / "build" / "demo" / "kiv-demo.png"
START = 1_715_666_400.0  # 2024-05-14 06:00:00 UTC
NOISE = 0.25  # sensor noise, kPa


class Log:
    """A simulated sensor log: what the logger wrote, and what it should have."""

    def __init__(self, samples: int, seed: int) -> None:
        rng = np.random.default_rng(seed)
        n = samples

        interval = np.clip(rng.normal(1.0, 0.04, n), 0.8, 1.2)
        self.dropouts = []  # (start, end) of each stretch without readings, seconds
        for i in np.sort(rng.choice(np.arange(n // 10, n), max(1, n // 4000), replace=False)):
            interval[i] += rng.uniform(30.0, 180.0)
        t = START + np.cumsum(interval) - interval[0]
        for i in np.flatnonzero(interval > 2.0):
            self.dropouts.append((t[i - 1], t[i]))

        # Calm: drift of a few kPa over tens of minutes.
        s = t - START
        clean = (101.0 + 1.5 * np.sin(2 * np.pi * s / 5400.0)
                 + 0.6 * np.sin(2 * np.pi * s / 1300.0 + 1.0))
        # Busy: bursts of fast oscillation with soft edges, about a tenth of the
        # time; kiv reads the busiest tenth of a signal as "moving fast".
        self.bursts = []
        scale = min(1.0, n / 6000)
        for _ in range(max(1, n // 2500)):
            start = rng.uniform(s[0] + 60.0, s[-1] - 420.0 * scale)
            length = rng.uniform(150.0, 420.0) * scale
            period, amplitude = rng.uniform(6.0, 14.0), rng.uniform(2.0, 3.5)
            phase = (s - start) / length
            envelope = np.where((phase > 0) & (phase < 1), np.sin(np.pi * np.clip(phase, 0, 1)) ** 0.5, 0.0)
            clean += amplitude * envelope * np.sin(2 * np.pi * (s - start) / period)
            self.bursts.append((START + start, START + start + length))

        values = clean + rng.normal(0.0, NOISE, n)
        # Sensor faults: runs of NaN, and single missing readings.
        self.faults = []
        for i in rng.choice(n - 60, max(2, n // 3000), replace=False):
            length = int(rng.integers(5, 45))
            values[i:i + length] = np.nan
            self.faults.append((t[i], t[i + length - 1]))
        values[rng.random(n) < 0.003] = np.nan

        self.timestamps, self.values, self.clean = t, values, clean


def rms(error: np.ndarray) -> float:
    return float(np.sqrt(np.nanmean(error ** 2)))


def as_datetime(seconds: np.ndarray | float) -> np.ndarray:
    return (np.asarray(seconds) * 1e6).astype("datetime64[us]")


def hours_minutes(seconds: float) -> str:
    minutes = round(seconds / 60)
    return f"{minutes // 60} h {minutes % 60:02d} min" if minutes >= 60 else f"{minutes} min"


def shown_path(path: Path) -> str:
    """The path relative to the working directory when it lies below it."""
    path = path.resolve()
    return str(path.relative_to(Path.cwd())) if path.is_relative_to(Path.cwd()) else str(path)


def broken(seconds: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Times and values with a NaN inside every dropout, so lines don't bridge it."""
    at = np.flatnonzero(np.diff(seconds) > 5.0) + 1
    middle = (seconds[at - 1] + seconds[at]) / 2
    return as_datetime(np.insert(seconds, at, middle)), np.insert(y, at, np.nan)


def draw(log: Log, smoothed: np.ndarray, widths: np.ndarray, fixed: np.ndarray,
         fixed_width: int, limit: int, out: Path) -> None:
    t = as_datetime(log.timestamps)
    raw_style = dict(color="#9aa5b1", lw=0, marker=".", ms=2.0, alpha=0.55)
    kiv_style = dict(color="#1f5fa8", lw=1.4)
    fixed_style = dict(color="#e07b00", lw=1.2, ls="--")
    fault_style = dict(color="#d64545", alpha=0.3, lw=0)
    nan_style = dict(color="#d64545", ls="", marker="|", ms=9, mew=1.3)
    dropout_style = dict(color="#6b7280", alpha=0.12, lw=0, hatch="///")
    zoom_color = "#c98a00"
    width_color = "#2a9d8f"
    missing = np.isnan(log.values)

    fig = plt.figure(figsize=(12, 8.6), dpi=120, layout="constrained")
    grid = fig.add_gridspec(3, 1, height_ratios=[3.0, 1.4, 2.6])
    top = fig.add_subplot(grid[0])
    mid = fig.add_subplot(grid[1], sharex=top)
    zoom = fig.add_subplot(grid[2])

    def mark_gaps(ax, rows=slice(None)):
        for a, b in log.faults:
            ax.axvspan(as_datetime(a), as_datetime(b), **fault_style)
        for a, b in log.dropouts:
            ax.axvspan(as_datetime(a), as_datetime(b), **dropout_style)
        # a tick along the bottom for every NaN reading: runs of a few seconds
        # are too thin to see as spans over hours
        gaps = t[rows][missing[rows]]
        ax.plot(gaps, np.full(gaps.size, 0.025), transform=ax.get_xaxis_transform(), **nan_style)

    def mark_zoom(ax):
        ax.axvspan(as_datetime(lo), as_datetime(hi), color=zoom_color, alpha=0.12, lw=0)
        ax.axvspan(as_datetime(lo), as_datetime(hi), fill=False, ec=zoom_color, lw=1.4)

    # Zoom on the start of the first burst: calm, then busy.
    burst = min(log.bursts)
    lo = max(burst[0] - 150.0, log.timestamps[0])
    hi = min(lo + 360.0, log.timestamps[-1])

    mark_gaps(top)
    mark_zoom(top)
    top.plot(t, log.values, **raw_style)
    top.plot(*broken(log.timestamps, smoothed), **kiv_style)
    top.annotate("close-up below", (as_datetime(hi), 0.09), xycoords=("data", "axes fraction"),
                 xytext=(4, 0), textcoords="offset points", va="bottom", fontsize=8.5, color=zoom_color,
                 fontweight="bold")
    top.set_ylabel("pressure (kPa)")
    top.set_title(f"kiv.smooth on a simulated pressure sensor: {log.values.size:,} readings about 1 s apart,"
                  " with dropouts and NaN runs", loc="left", fontweight="bold")
    top.legend(handles=[
        plt.Line2D([], [], label="raw readings", **{**raw_style, "ms": 6, "alpha": 1}),
        plt.Line2D([], [], label="kiv.smooth", **kiv_style),
        plt.Line2D([], [], label="NaN reading", **nan_style),
        Patch(label="NaN run (sensor fault)", facecolor=fault_style["color"], alpha=0.3),
        Patch(label="dropout (no readings)", facecolor=dropout_style["color"], alpha=0.25, hatch="///"),
    ], loc="upper left", ncols=5, frameon=False, fontsize=9)
    top.margins(x=0.005)
    top.set_ylim(np.nanmin(log.values) - 0.5, np.nanmax(log.values) + 1.8)

    mark_gaps(mid)
    mark_zoom(mid)
    mid.fill_between(t, widths, step="mid", color=width_color, alpha=0.35, lw=0)
    mid.step(t, widths, where="mid", color=width_color, lw=0.9)
    mid.axhline(limit, color="#444", lw=0.8, ls="--")
    mid.annotate(f"window limit {limit}", (1.0, limit), xycoords=("axes fraction", "data"),
                 xytext=(-4, 3), textcoords="offset points", ha="right", va="bottom", fontsize=8.5, color="#444")
    mid.set_ylim(0, max(limit, int(widths.max())) * 1.18)
    mid.set_ylabel("window (samples)")
    mid.set_title("window width per sample: narrow where the signal moves, wide where it is calm",
                  loc="left", fontsize=10)

    inside = (log.timestamps >= lo) & (log.timestamps <= hi)
    mark_gaps(zoom, inside)
    zoom.plot(t[inside], log.values[inside], **{**raw_style, "ms": 3.5, "alpha": 0.8})
    ts = log.timestamps[inside]
    zoom.plot(*broken(ts, log.clean[inside]), color="#111", lw=0.8, alpha=0.6, label="clean signal")
    zoom.plot(*broken(ts, fixed[inside]), label=f"fixed {fixed_width}-sample mean", **fixed_style)
    zoom.plot(*broken(ts, smoothed[inside]), label="kiv.smooth", **kiv_style)
    zoom.set_xlim(as_datetime(lo), as_datetime(hi))
    shown = np.r_[log.values[inside], log.clean[inside]]
    zoom.set_ylim(np.nanmin(shown) - 0.3, np.nanmax(shown) + 0.45 * np.ptp(shown[~np.isnan(shown)]))
    zoom.set_ylabel("pressure (kPa)")
    for side in ("left", "bottom"):
        zoom.spines[side].set_color(zoom_color)
        zoom.spines[side].set_linewidth(1.4)

    # The widths of the close-up, in the lower part of the same panel.
    zoom_widths = zoom.twinx()
    zoom_widths.step(t[inside], widths[inside], where="mid", color=width_color, lw=1.0, alpha=0.8,
                     label="window width (right axis)")
    zoom_widths.set_ylim(0, limit * 3.2)
    zoom_widths.set_yticks([0, limit])
    zoom_widths.set_ylabel("window (samples)", color=width_color, loc="bottom")
    zoom_widths.tick_params(axis="y", colors=width_color)
    zoom_widths.spines["right"].set_color(width_color)
    zoom_widths.spines["top"].set_visible(False)

    # kiv's lag: the burst starts small, and the widths follow the swings
    # through the rolling median, so its first seconds are smoothed as calm.
    narrow = np.flatnonzero((log.timestamps >= burst[0]) & (widths <= 5))
    title = "close-up: a calm stretch running into a burst"
    if narrow.size:
        settled = log.timestamps[narrow[0]]
        lag = settled - burst[0]
        zoom.axvspan(as_datetime(burst[0]), as_datetime(settled), color="#f4d35e", alpha=0.35, lw=0)
        zoom.annotate(f"the burst's first {lag:.0f} s: its swings are still small and the\n"
                      "windows still wide, so kiv flattens them; then the widths drop",
                      (as_datetime(burst[0] + lag / 3), 0.62), xycoords=("data", "axes fraction"),
                      xytext=(-14, 0), textcoords="offset points", ha="right", va="center", fontsize=9,
                      arrowprops=dict(arrowstyle="->", color="#444", lw=0.8))
        title += f"; its first {lag:.0f} s are smoothed before the widths drop"
    zoom.set_title(title, loc="left", fontsize=10)
    handles = zoom.get_legend_handles_labels()[0] + zoom_widths.get_legend_handles_labels()[0]
    zoom.legend(handles=handles, loc="upper left", ncols=4, frameon=False, fontsize=9)

    zoom.xaxis.set_major_locator(mdates.MinuteLocator())
    for ax in (top, mid, zoom):
        ax.xaxis.set_major_formatter(mdates.DateFormatter("%H:%M"))
        ax.grid(alpha=0.25, lw=0.6)
        for side in ("top", "right"):
            ax.spines[side].set_visible(False)
    plt.setp(top.get_xticklabels(), visible=False)
    zoom.set_xlabel("time (UTC, 14 May 2024)")

    out.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(out)
    plt.close(fig)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description="Smooth a simulated sensor log with kiv and plot it.")
    parser.add_argument("--samples", type=int, default=12_000, metavar="N",
                        help="number of readings (default 12000, at least 1000)")
    parser.add_argument("--seed", type=int, default=7, help="seed of the simulated log (default 7)")
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, metavar="PATH",
                        help=f"where to write the PNG (default {shown_path(DEFAULT_OUT)})")
    args = parser.parse_args(argv)
    if args.samples < 1000:
        parser.error("--samples must be at least 1000")

    log = Log(args.samples, args.seed)
    t, v = log.timestamps, log.values

    begin = time.perf_counter()
    smoothed = kiv.smooth(v, t)
    took = time.perf_counter() - begin

    # What smooth does inside, step by step, for the plot (t is already in time order).
    limit = kiv.get_max_window_limit(t)
    widths = kiv.calculate_window_sizes(v, limit)
    fixed_width = min(limit | 1, 255)
    fixed = kiv.apply_variable_smoothing(v, np.full(v.size, fixed_width, dtype=np.int64))

    draw(log, smoothed, widths, fixed, fixed_width, limit, args.out)

    interval = np.median(np.diff(t))
    print(f"kiv {kiv.__version__} demo: simulated pressure sensor (seed {args.seed})")
    print(f"  samples        {v.size:,} over {hours_minutes(t[-1] - t[0])} (median interval {interval:.2f} s)")
    print(f"  gaps           {len(log.dropouts)} dropouts, {np.isnan(v).sum():,} NaN readings")
    print(f"  window limit   {limit} samples = {limit * interval:.0f} s (max_window_sec 60 s)")
    print(f"  window widths  {widths.min()} to {widths.max()} samples (median {int(np.median(widths))}); "
          f"widest {widths.max() * interval:.0f} s")
    busy = np.zeros(v.size, dtype=bool)
    for a, b in log.bursts:
        busy |= (t >= a) & (t <= b)
    print(f"  error (RMS)    calm: raw {rms((v - log.clean)[~busy]):.3f}, kiv {rms((smoothed - log.clean)[~busy]):.3f} kPa;"
          f" bursts: kiv {rms((smoothed - log.clean)[busy]):.3f}, fixed {fixed_width}-sample mean"
          f" {rms((fixed - log.clean)[busy]):.3f} kPa")
    print(f"  smooth() took  {took * 1e3:.1f} ms")
    print(f"  figure         {shown_path(args.out)}")


if __name__ == "__main__":
    main()
