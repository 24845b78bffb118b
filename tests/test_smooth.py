import math

import numpy as np
import pytest
from hypothesis import given, strategies as st

import kiv
import reference
from reference import bits

nan, inf = math.nan, math.inf
SIGNED_PAYLOAD = float(np.array([0xFFF800000000BEEF], dtype=np.uint64).view(np.float64)[0])


def smooth(values, timestamps, **kwargs):
    values, timestamps = (np.array(a, dtype=np.float64) for a in (values, timestamps))
    got = kiv.smooth(values, timestamps, **kwargs)
    assert got.dtype == np.float64
    return got


@pytest.mark.parametrize("values, timestamps, kwargs, expected", [
    ([10, 20, 30], [2, 0, 1], dict(window_smooth_width_size=1), [10, 20, 20]),
    ([10, 20, 30], [2, 0, 1], {}, [20, 20, 20]),
    ([], [], {}, []),
    ([4.5], [nan], {}, [4.5]),
    ([nan], [0.0], {}, [nan]),
    ([-0.0], [3.0], {}, [0.0]),
    # a lone NaN comes back as kiv's one NaN (math.nan's bits), whatever its sign and payload
    ([-nan], [0.0], {}, [nan]),
    ([SIGNED_PAYLOAD], [0.0], {}, [nan]),
    # equal timestamps keep their input order
    ([1, 2, 3, 4], [0, 0, 0, 0], dict(window_smooth_width_size=1), [2.5, 2, 3, 4]),
    ([4, 3, 2, 1], [0, 0, 0, 0], dict(window_smooth_width_size=1), [2.5, 3, 2, 1]),
    ([0, 10, 50, 0, 0], [0, 1, 1, 2, 3], dict(window_smooth_width_size=1), [12, 12, 12, 0, 12]),
    ([0, 50, 10, 0, 0], [0, 1, 1, 2, 3], dict(window_smooth_width_size=1), [12, 50, 12, 12, 12]),
])
def test_cases(values, timestamps, kwargs, expected):
    np.testing.assert_array_equal(bits(smooth(values, timestamps, **kwargs)), bits(expected))


@pytest.mark.parametrize("timestamps", [[nan, 1.0], [0.0, nan], [0.0, 1.0, nan, 3.0], [nan] * 3])
def test_nan_timestamp(expect_panic, timestamps):
    with expect_panic("called `Option::unwrap()` on a `None` value"):
        smooth(np.zeros(len(timestamps)), timestamps)


def test_reversal_reverses_result():
    rng = np.random.default_rng(7)
    values, timestamps = rng.normal(size=500), rng.permutation(500) * 0.25
    values[::17] = nan
    forward = kiv.smooth(values, timestamps, window_smooth_width_size=9)
    backward = kiv.smooth(values[::-1].copy(), timestamps[::-1].copy(), window_smooth_width_size=9)
    np.testing.assert_array_equal(bits(backward), bits(forward[::-1]))


def test_scalar_conversions():
    values, timestamps = np.arange(6.0) ** 2, np.arange(6.0)
    with pytest.raises(TypeError) as info:
        kiv.smooth(values, timestamps, window_smooth_width_size=30.0)
    assert info.value.__notes__ == ["while processing 'window_smooth_width_size'"]
    np.testing.assert_array_equal(kiv.smooth(values, timestamps, min_window_size=2),
                                  kiv.smooth(values, timestamps, min_window_size=2.0))


def composed(values, timestamps, **kw):
    """The pipeline rebuilt from the other three functions.

    One of three references that change together with any change of
    behaviour; the others are tests/reference.py and
    tests/native/reference_cores.cpp."""
    order = reference.time_order(timestamps)
    sv, ts = values[order], timestamps[order]
    limit = kiv.get_max_window_limit(
        ts, **{k: kw[k] for k in ("min_window_size", "max_window_sec") if k in kw})
    sizes = kiv.calculate_window_sizes(
        sv, limit, **{k: v for k, v in kw.items() if k != "max_window_sec"})
    out = np.empty_like(values)
    out[order] = kiv.apply_variable_smoothing(sv, sizes.astype(np.int64))
    return out


def check(values, timestamps, kw):
    got = bits(kiv.smooth(values, timestamps, **kw))
    np.testing.assert_array_equal(got, bits(composed(values, timestamps, **kw)))
    np.testing.assert_array_equal(got, bits(reference.smooth_pipeline(values, timestamps, **kw)))


percentiles = st.sampled_from([0.0, 100.0, nan]) | st.floats(-10, 100)
kwargs = st.fixed_dictionaries({}, optional=dict(
    min_window_size=st.sampled_from([nan, -1.0, 0.0]) | st.floats(-5, 40),
    max_window_sec=st.sampled_from([nan, inf, 0.0, -0.0, -60.0]) | st.floats(-10, 1000),
    window_smooth_width_size=st.integers(0, 40) | st.just(2**64 - 1),
    low_percentile=percentiles,
    high_percentile=percentiles,
))
samples = st.tuples(
    st.sampled_from([nan, inf, -inf, -0.0]) | st.floats(-100, 100),
    st.sampled_from([inf, -inf, -0.0]) | st.integers(-5, 30).map(float) | st.floats(-1e3, 1e3),
)


@given(st.lists(samples, max_size=40), kwargs)
def test_matches_composition(pairs, kw):
    values = np.array([v for v, _ in pairs], dtype=np.float64)
    timestamps = np.array([t for _, t in pairs], dtype=np.float64)
    check(values, timestamps, kw)


@pytest.mark.parametrize("kw", [{}, dict(window_smooth_width_size=5, max_window_sec=500.0)])
def test_long_signal_with_repeated_timestamps(kw):
    rng = np.random.default_rng(3)
    timestamps = rng.integers(0, 400, size=3000).astype(np.float64)
    values = np.sin(timestamps / 20.0) + rng.normal(scale=0.1, size=3000)
    values[rng.integers(0, 3000, 40)] = nan
    check(values, timestamps, kw)


def quiet_counts(n):
    """An integer sensor that mostly holds still and moves by one count, last reading missing."""
    steps = np.random.default_rng(5).choice([-1.0, 0.0, 1.0], p=[0.05, 0.9, 0.05], size=n)
    return np.r_[np.cumsum(steps)[:-1], np.nan]


# Ordinary data whose many equal numbers and trailing NaN once overran a buffer
# (selections of 8192 numbers and more).
EVERY_NUMBER_TIED = {
    "regular timestamps, last missing": (
        lambda: kiv.get_max_window_limit(np.r_[np.arange(10000.0), np.nan]),
        lambda: reference.max_window_limit(np.r_[np.arange(10000.0), np.nan])),
    "flat signal, last missing": (
        lambda: kiv.calculate_window_sizes(np.r_[np.full(9999, 5.0), np.nan], 31),
        lambda: reference.compute_window_sizes(np.r_[np.full(9999, 5.0), np.nan], 31)),
    "integer sensor, last missing": (
        lambda: kiv.smooth(quiet_counts(10000), np.arange(10000.0)),
        lambda: reference.smooth_pipeline(quiet_counts(10000), np.arange(10000.0))),
}


@pytest.mark.parametrize("fast, literal", EVERY_NUMBER_TIED.values(), ids=EVERY_NUMBER_TIED.keys())
def test_ties_with_trailing_nan(fast, literal):
    np.testing.assert_array_equal(bits(fast()), bits(literal()))
