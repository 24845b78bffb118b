import math

import numpy as np
import pytest
from hypothesis import given, strategies as st

import kiv
import reference

nan, inf = math.nan, math.inf
I64_MAX = 2**63 - 1


def limit(timestamps, **kwargs):
    return kiv.get_max_window_limit(np.array(timestamps, dtype=np.float64), **kwargs)


@pytest.mark.parametrize("timestamps, kwargs, expected", [
    ([0, 1, 2, 3], {}, 60),
    ([0, 1, 3], {}, 40),
    ([], {}, 2),
    ([7.5], {}, 2),
    ([nan, 1, nan], {}, 2),
    ([5, 5, 5], {}, I64_MAX),
    ([5, 5, 5], dict(max_window_sec=0.0), 2),
    ([0, 4], dict(min_window_size=0.0, max_window_sec=10.0), 2),
    ([0, 4], dict(min_window_size=0.0, max_window_sec=14.0), 4),
    ([0, 1, 2], dict(min_window_size=5.9, max_window_sec=0.5), 6),
    ([0, 1, 2], dict(min_window_size=-0.5, max_window_sec=0.0), 1),
    ([0, 1, 2], dict(min_window_size=nan, max_window_sec=0.0), 1),
    ([3, 2, 1, 0], {}, 2),
    # negative results clamp to 0 and the lower bound saturates instead of wrapping
    ([1, 0], dict(min_window_size=-10.0, max_window_sec=60.0), 0),
    ([0, 1, 2], dict(min_window_size=1e19, max_window_sec=60.0), I64_MAX),
    ([0, 1, 2], dict(min_window_size=inf), I64_MAX),
    ([0, 1, 2], dict(min_window_size=-inf, max_window_sec=-inf), 0),
    # median -0.0 gives -inf, median +0.0 gives +inf
    ([0, 0, -0.0, 1], {}, 2),
    ([0, -0.0, 0, 1], {}, I64_MAX),
    # a negative max_window_sec the other way round
    ([0, 0, -0.0, 1], dict(max_window_sec=-60.0), I64_MAX),
    ([0, -0.0, 0, 1], dict(max_window_sec=-60.0), 2),
    # -1.0 is a real value, not a failed conversion
    ([0, 1, 2], dict(min_window_size=-1.0, max_window_sec=0.0), 0),
    ([0, 1, 2], dict(max_window_sec=120), 120),
])
def test_limit(timestamps, kwargs, expected):
    got = limit(timestamps, **kwargs)
    assert type(got) is int and got == expected
    assert reference.max_window_limit(timestamps, **kwargs) == expected


special = st.sampled_from([0.0, -0.0, 1.0, 2.0, 0.5, nan, inf, -inf, 1e300, -1e-300])
scalars = special | st.floats() | st.integers(-300, 300).map(float)
stamps = special | st.integers(-4, 4).map(float) | st.floats()


@given(st.lists(stamps, max_size=12), scalars, scalars)
def test_matches_reference(timestamps, min_window_size, max_window_sec):
    got = limit(timestamps, min_window_size=min_window_size, max_window_sec=max_window_sec)
    assert got == reference.max_window_limit(timestamps, min_window_size, max_window_sec)
