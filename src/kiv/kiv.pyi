"""Adaptive smoothing of 1-D NumPy signals: each sample becomes the mean of a
centred window that is narrow where the signal moves fast and wide where it
is calm."""

from typing import SupportsFloat, SupportsIndex

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "__version__",
    "smooth",
    "get_max_window_limit",
    "calculate_window_sizes",
    "apply_variable_smoothing",
    "smooth_many",
]

__version__: str
# The CPU level of the numeric kernels in use: "baseline", "avx2" or "avx512"
# on x86-64, "baseline" or "neon" on aarch64 (KIV_CPU_LEVEL caps it).
_cpu_level: str

# Scalars go through the interpreter's own conversions: a float parameter takes
# anything with __float__ or __index__, an integer one only __index__ (so a
# float is refused there, as at run time).
#
# An array argument of the wrong type keeps its TypeError and the note naming
# the argument; a second note says what was expected, what was given and how
# to convert it. A PanicException caused by the input (a NaN timestamp, a
# percentile above 100) carries a note naming the cause and what to do.

def get_max_window_limit(
    timestamps: NDArray[np.float64],
    *,
    min_window_size: SupportsFloat | SupportsIndex = 1.0,
    max_window_sec: SupportsFloat | SupportsIndex = 60.0,
) -> int:
    """Maximum window size derived from the sampling rate.

    The widest window, in samples, spanning about `max_window_sec` at the
    typical interval: round(max_window_sec / median interval), at least
    int(min_window_size) + 1. NaN intervals are left out.

    Args:
        timestamps: 1-D contiguous float64, in any order and unit (seconds
            by name); NaN allowed.
        min_window_size: samples; the limit is never below its whole part + 1.
        max_window_sec: the window's span, in the unit of `timestamps`.

    Returns:
        int, 0 to 2**63 - 1 (2 for fewer than two timestamps).

    Raises:
        TypeError: `timestamps` is not a 1-D float64 array (a note says how
            to convert it), or a parameter is not a number.
        ValueError: `timestamps` is not contiguous, or is masked.

    Example:
        >>> t = np.arange(0.0, 100.0, 0.5)        # 2 Hz
        >>> kiv.get_max_window_limit(t)            # 60 s / 0.5 s
        120
    """

def calculate_window_sizes(
    values: NDArray[np.float64],
    max_window_size: SupportsIndex,
    *,
    min_window_size: SupportsFloat | SupportsIndex = 1.0,
    window_smooth_width_size: SupportsIndex = 30,
    low_percentile: SupportsFloat | SupportsIndex = 10.0,
    high_percentile: SupportsFloat | SupportsIndex = 90.0,
) -> NDArray[np.uint8]:
    """Per-sample odd window sizes based on signal variability.

    Each sample's |change| from the previous one is mapped linearly from
    [low, high] percentile onto widths from 0.95 * (max - min) + min (calm)
    down to min (busy), then a centred rolling median over
    `window_smooth_width_size` samples evens them out.

    Args:
        values: 1-D contiguous float64 samples in time order; NaN (or a
            masked entry) is a missing sample.
        max_window_size: samples, 0 to 2**64 - 1; usually get_max_window_limit().
        min_window_size: samples, the narrowest width.
        window_smooth_width_size: samples in the rolling median (0 to 2**64 - 1).
        low_percentile: 0 to 100.
        high_percentile: 0 to 100.

    Returns:
        uint8 array of len(values), every width odd, 1 to 255.

    Raises:
        TypeError: `values` is not a 1-D float64 array (a note says how to
            convert it), or a parameter has the wrong type (an integer one
            given as float).
        OverflowError: an integer parameter is negative or 2**64 or more.
        ValueError: `values` is not contiguous.
        PanicException: a percentile above 100 (with at least two
            variabilities that are not NaN); a note names it.

    Example:
        >>> x = np.r_[np.zeros(50), np.sin(np.arange(50.0))]   # calm, then busy
        >>> w = kiv.calculate_window_sizes(x, 31)
        >>> int(w[10]), int(w[90])                             # wide, narrow
        (31, 9)
    """

def apply_variable_smoothing(
    values: NDArray[np.float64],
    window_sizes: NDArray[np.int64],
) -> NDArray[np.float64]:
    """Apply the per-sample variable-width centered rolling mean.

    Output i is the mean of the non-NaN samples from i - w // 2 up to
    i + (w - 1) // 2 (w = window_sizes[i]), cut off at both ends; NaN where
    the window holds no number or w is 0.

    Args:
        values: 1-D contiguous float64 samples; NaN (or a masked entry) is
            missing.
        window_sizes: 1-D contiguous int64, 0 to 255 samples each, as long
            as `values`.

    Returns:
        float64 array of len(values).

    Raises:
        TypeError: an argument is not a 1-D array of its dtype (a note says
            how to convert it; for the uint8 widths of
            calculate_window_sizes(), widths.astype(np.int64)).
        ValueError: not contiguous, lengths differ, a width outside 0..255,
            or masked window sizes.

    Example:
        >>> x = np.array([1.0, 2.0, 3.0, 4.0, 5.0])
        >>> kiv.apply_variable_smoothing(x, np.full(5, 3))
        array([1.5, 2. , 3. , 4. , 4.5])
    """

def smooth(
    values: NDArray[np.float64],
    timestamps: NDArray[np.float64],
    *,
    min_window_size: SupportsFloat | SupportsIndex = 1.0,
    max_window_sec: SupportsFloat | SupportsIndex = 60.0,
    window_smooth_width_size: SupportsIndex = 30,
    low_percentile: SupportsFloat | SupportsIndex = 10.0,
    high_percentile: SupportsFloat | SupportsIndex = 90.0,
) -> NDArray[np.float64]:
    """Full KIV smoothing.

    Orders the samples by time, takes the window limit from the timestamps,
    one width per sample from the signal's variability and the
    variable-width mean, and returns the result in the input's order.

    Args:
        values: 1-D contiguous float64 samples; NaN (or a masked entry) is
            a missing sample.
        timestamps: 1-D contiguous float64 of the same length, any order,
            no NaN (for two or more samples), in the unit of `max_window_sec`.
        min_window_size: samples, the narrowest window.
        max_window_sec: the widest window's span, in the unit of
            `timestamps`; windows never exceed 255 samples.
        window_smooth_width_size: samples in the rolling median of widths.
        low_percentile: 0 to 100.
        high_percentile: 0 to 100.

    Returns:
        float64 array of len(values), in the order of the input.

    Raises:
        TypeError, OverflowError: as calculate_window_sizes().
        ValueError: not contiguous, lengths differ, or masked timestamps.
        PanicException: a NaN timestamp, or a percentile above 100; a note
            names it and says what to do.

    Example:
        >>> t = np.cumsum(np.random.default_rng(0).uniform(0.5, 1.5, 1000))
        >>> x = np.sin(t / 50) + np.random.default_rng(1).normal(0, 0.1, t.size)
        >>> y = kiv.smooth(x, t)
    """

def smooth_many(
    values: NDArray[np.float64],
    timestamps: NDArray[np.float64],
    *,
    offsets: NDArray[np.int64] | NDArray[np.int32] | None = None,
    groups: NDArray[np.int64] | None = None,
    min_window_size: SupportsFloat | SupportsIndex = 1.0,
    max_window_sec: SupportsFloat | SupportsIndex = 60.0,
    window_smooth_width_size: SupportsIndex = 30,
    low_percentile: SupportsFloat | SupportsIndex = 10.0,
    high_percentile: SupportsFloat | SupportsIndex = 90.0,
    workers: SupportsIndex | None = 1,
) -> NDArray[np.float64]:
    """Full KIV smoothing of many series in one call.

    Each series' part of the result is bit for bit what smooth() returns for
    that series alone, with the same parameters for every series, whatever
    `workers` is. Give exactly one of `offsets` and `groups`.

    Args:
        values: 1-D contiguous float64 samples of every series; NaN (or a
            masked entry) is a missing sample.
        timestamps: 1-D contiguous float64 of the same length; within a
            series any order, no NaN in a series of two or more samples.
        offsets: contiguous int64 or int32, G + 1 entries from 0 to
            len(values), never decreasing: series g is rows
            offsets[g]:offsets[g + 1] (empty ones allowed). The layout of an
            unsliced Arrow list array: its .offsets (int32; a large list's
            int64) and .values pass as they are. Borrowed as given, then
            copied (G + 1 numbers) before any work: writing them meanwhile
            changes nothing.
        groups: int64, a label per row, rows in any order: rows with equal
            labels form one series, in their row order (pd.factorize codes,
            say).
        min_window_size, max_window_sec, window_smooth_width_size: as in
            smooth().
        low_percentile: 0 to 100.
        high_percentile: 0 to 100.
        workers: threads to use, the calling one among them: 1 (the
            default) works on the calling thread, k > 1 on up to k, a
            negative value counts back from os.cpu_count() (-1 for all);
            None is 1.
            The work is shared by samples; the threads are joined before
            the call returns, and the interpreter lock is released while
            they work (from 1024 samples).

    Returns:
        float64 array of len(values), in the order of the input rows.

    Raises:
        TypeError: both or neither of `offsets` and `groups`, or an argument
            of the wrong type or dtype (int32 or uint64 groups, uint64
            offsets); a note says how to convert it.
        ValueError: bad offsets (the first bad entry is named), lengths that
            differ, a percentile outside 0..100 or NaN, `workers` 0 or below
            -os.cpu_count(), a NaN timestamp in a series of two or more
            samples (its series and row are named), masked timestamps,
            offsets or groups, or an array that is not contiguous.
        MemoryError: memory ran out, in any worker.

    Example:
        >>> rng = np.random.default_rng(0)
        >>> lengths = np.array([300, 0, 1, 500])
        >>> offsets = np.r_[0, np.cumsum(lengths)]
        >>> t = np.concatenate([np.cumsum(rng.uniform(0.5, 1.5, k)) for k in lengths])
        >>> x = np.sin(t / 50) + rng.normal(0, 0.1, t.size)
        >>> y = kiv.smooth_many(x, t, offsets=offsets, workers=-1)
        >>> bool(np.array_equal(y[301:], kiv.smooth(x[301:], t[301:]), equal_nan=True))
        True
    """
