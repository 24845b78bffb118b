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
]

__version__: str

# Scalars go through the interpreter's own conversions: a float parameter takes
# anything with __float__ or __index__, an integer one only __index__ (so a
# float is refused there, as at run time).

def get_max_window_limit(
    timestamps: NDArray[np.float64],
    *,
    min_window_size: SupportsFloat | SupportsIndex = ...,
    max_window_sec: SupportsFloat | SupportsIndex = ...,
) -> int:
    """Maximum window size derived from the sampling rate."""

def calculate_window_sizes(
    values: NDArray[np.float64],
    max_window_size: SupportsIndex,
    *,
    min_window_size: SupportsFloat | SupportsIndex = ...,
    window_smooth_width_size: SupportsIndex = ...,
    low_percentile: SupportsFloat | SupportsIndex = ...,
    high_percentile: SupportsFloat | SupportsIndex = ...,
) -> NDArray[np.uint8]:
    """Per-sample odd window sizes based on signal variability"""

def apply_variable_smoothing(
    values: NDArray[np.float64],
    window_sizes: NDArray[np.int64],
) -> NDArray[np.float64]:
    """Apply the per-sample variable-width centered rolling mean"""

def smooth(
    values: NDArray[np.float64],
    timestamps: NDArray[np.float64],
    *,
    min_window_size: SupportsFloat | SupportsIndex = ...,
    max_window_sec: SupportsFloat | SupportsIndex = ...,
    window_smooth_width_size: SupportsIndex = ...,
    low_percentile: SupportsFloat | SupportsIndex = ...,
    high_percentile: SupportsFloat | SupportsIndex = ...,
) -> NDArray[np.float64]:
    """Full KIV smoothing"""
