import math

import numpy as np
import pytest
from hypothesis import given, strategies as st

import kiv
import reference

nan, inf = math.nan, math.inf
U64_MAX = 2**64 - 1
SAMPLES = [1, 2, 4, 8, 16, 15, 15]  # variability 0 1 2 4 8 1 0, raw windows 30 26 20 10 1 26 30


def sizes(values, max_window_size=31, **kwargs):
    got = kiv.calculate_window_sizes(np.array(values, dtype=np.float64), max_window_size, **kwargs)
    assert got.dtype == np.uint8
    return got.tolist()


@pytest.mark.parametrize("max_window_size, kwargs, expected", [
    (31, {}, [27] * 7),
    (31, dict(window_smooth_width_size=1), [31, 27, 21, 11, 1, 27, 31]),
    (31, dict(window_smooth_width_size=2), [31, 29, 23, 15, 5, 13, 29]),
    (31, dict(window_smooth_width_size=3), [29, 27, 21, 11, 11, 27, 29]),
    (31, dict(window_smooth_width_size=4), [29, 27, 23, 15, 15, 19, 27]),
    (31, dict(window_smooth_width_size=5), [27, 23, 21, 21, 21, 19, 27]),
    (31, dict(window_smooth_width_size=6), [27, 23, 21, 23, 23, 21, 19]),
    # width 0 and 2**64 - k for k < 2 * 7 wrap to empty windows from sample k // 2 on
    (31, dict(window_smooth_width_size=0), [1] * 7),
    (31, dict(window_smooth_width_size=U64_MAX), [1] * 7),
    (31, dict(window_smooth_width_size=U64_MAX - 1), [27] + [1] * 6),
    (31, dict(window_smooth_width_size=U64_MAX - 12), [27] * 6 + [1]),
    (31, dict(window_smooth_width_size=U64_MAX - 13), [27] * 7),
    (31, dict(window_smooth_width_size=2**63), [27] * 7),
    (31, dict(window_smooth_width_size=10**6), [27] * 7),
    # widths saturate at 1 and 255
    (300, dict(window_smooth_width_size=1), [255, 247, 193, 87, 1, 247, 255]),
    (31, dict(min_window_size=-10.0, window_smooth_width_size=1), [29, 25, 17, 3, 1, 25, 29]),
    (0, dict(window_smooth_width_size=1), [1] * 7),
    (31, dict(min_window_size=nan), [1] * 7),
])
def test_worked_example(max_window_size, kwargs, expected):
    assert sizes(SAMPLES, max_window_size, **kwargs) == expected


@pytest.mark.parametrize("values, max_window_size, kwargs, expected", [
    ([], 31, dict(low_percentile=1000, high_percentile=1000), []),
    ([5.0], 31, dict(low_percentile=1000, high_percentile=1000), [31]),
    ([1, nan], 31, dict(low_percentile=1000, high_percentile=1000), [15, 15]),
    ([2] * 5, 31, {}, [31] * 5),
    ([2] * 5, U64_MAX, {}, [255] * 5),
    ([1, nan, 3, 4], 31, dict(window_smooth_width_size=1), [31, 1, 1, 1]),
    ([1, nan, 3, 4], 31, dict(window_smooth_width_size=3), [15, 1, 1, 1]),
    # the second sample's raw window is min_window_size: 256, 300 and -10 saturate
    ([0, 9], 256, dict(min_window_size=256.0, window_smooth_width_size=1), [255, 255]),
    ([0, 9], 300, dict(min_window_size=300.0, window_smooth_width_size=1), [255, 255]),
    ([0, 9], 31, dict(min_window_size=-10.0, window_smooth_width_size=1), [29, 1]),
    # one sample: 0.95 * 550 rounds to 522.5 and 3.5 to 4; a fused multiply-add gives 3.49999...
    ([0.0], 31, dict(min_window_size=-519.0), [5]),
    # an infinite variability over an infinite bound: a NaN raw window, which the median skips
    ([0, 1, inf], 31, dict(window_smooth_width_size=1), [31, 31, 1]),
])
def test_other_inputs(values, max_window_size, kwargs, expected):
    assert sizes(values, max_window_size, **kwargs) == expected
    assert reference.compute_window_sizes(values, max_window_size, **kwargs).tolist() == expected


# variability of 0, 1, 3 is 0, 1, 2: each bound shows up in the raw windows
@pytest.mark.parametrize("low, high, expected", [
    (0, 0, [31, 1, 1]),
    (-50, nan, [31, 1, 1]),
    (-inf, -inf, [31, 1, 1]),
    (nan, nan, [31, 1, 1]),
    (100, 100, [31, 31, 31]),
    (50, 50, [31, 31, 1]),
    (0, 100, [31, 17, 1]),
    (-inf, 100, [31, 17, 1]),
])
def test_percentile_bounds(low, high, expected):
    got = sizes([0, 1, 3], low_percentile=low, high_percentile=high, window_smooth_width_size=1)
    assert got == expected


@pytest.mark.parametrize("low, high, index", [
    (10, 125, 3),
    (10, 200, 4),
    (10, inf, U64_MAX),
    (inf, 90, U64_MAX),
    (300, 1000, 6),  # the low percentile is checked first
    (101, 1000, 3),  # rank 2.02: the upper neighbour is refused
])
def test_percentile_out_of_range(expect_panic, low, high, index):
    with expect_panic(f"index out of bounds: the len is 3 but the index is {index}"):
        sizes([0, 1, 3], low_percentile=low, high_percentile=high)


samples = st.sampled_from([0.0, -0.0, 1.0, 3.0, nan, inf, -inf]) | st.floats(-1e3, 1e3)
percentiles = st.sampled_from([0.0, 100.0, nan, -inf, 50.0, 100.5]) | st.floats(-20, 100)
kwargs = st.fixed_dictionaries({}, optional=dict(
    min_window_size=st.sampled_from([nan, -inf, -1.0, 0.5]) | st.floats(-50, 50),
    window_smooth_width_size=st.integers(0, 40) | st.sampled_from([U64_MAX, 2**63]),
    low_percentile=percentiles,
    high_percentile=percentiles,
))


def check_against_reference(values, max_window_size, kw):
    try:
        expected = reference.compute_window_sizes(values, max_window_size, **kw).tolist()
    except reference.OutOfBounds as e:
        with pytest.raises(BaseException) as info:
            sizes(values, max_window_size, **kw)
        assert type(info.value).__name__ == "PanicException" and info.value.args == e.args
    else:
        assert sizes(values, max_window_size, **kw) == expected


@given(st.lists(samples, max_size=40), st.integers(0, 400) | st.just(U64_MAX), kwargs)
def test_matches_reference(values, max_window_size, kw):
    check_against_reference(values, max_window_size, kw)


@pytest.mark.parametrize("seed", range(3))
def test_long_signal_matches_reference(seed):
    rng = np.random.default_rng(seed)
    values = np.cumsum(rng.normal(size=3000)).round(1)
    values[rng.integers(0, 3000, 60)] = nan
    values[rng.integers(0, 3000, 5)] = inf
    check_against_reference(values.tolist(), 200, dict(window_smooth_width_size=[30, 7, 64][seed]))
