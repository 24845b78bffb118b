import json
import math

import numpy as np
import pytest

import kiv
import reference
from fresh import CPU_LEVELS, run_fresh

nan, inf = math.nan, math.inf
RANGE_MESSAGE = "`window_sizes` values must be between 0 and 255"


def smoothing(values, widths):
    values = np.array(values, dtype=np.float64)
    widths = np.broadcast_to(np.array(widths, dtype=np.int64), values.shape).copy()
    return kiv.apply_variable_smoothing(values, widths)


TEN = [3.0, nan, -1.5, 8.0, 2.25, 0.0, 7.0, nan, 1.0, 4.0]


@pytest.mark.parametrize("values, widths, expected", [
    ([], [], []),
    ([1, 2, 3, 4, 5], 3, [1.5, 2, 3, 4, 4.5]),
    ([1, 2, 3, 4, 5], 2, [1, 1.5, 2.5, 3.5, 4.5]),
    ([1, 2, 3, 4, 5], 4, [1.5, 2, 2.5, 3.5, 4]),
    ([1.5, -0.0, nan, inf, -inf, 5e-324], 1, [1.5, 0.0, nan, inf, -inf, 5e-324]),
    (TEN, 255, [23.75 / 8] * 10),
    ([1, 2, 3, 4], [0, 1, 0, 3], [nan, 2, nan, 3.5]),
    ([1, nan, 3], 3, [1, 2, 3]),
    ([nan, nan, 5], [2, 3, 1], [nan, 5, 5]),
    ([inf, -inf, 1], 3, [nan, nan, -inf]),
    ([inf, 1, 2], [1, 2, 3], [inf, inf, 1.5]),
])
def test_cases(values, widths, expected):
    got = smoothing(values, widths)
    assert got.dtype == np.float64
    np.testing.assert_array_equal(reference.bits(got), reference.bits(expected))


@pytest.mark.parametrize("bad", [-1, 256, 257, 300, -256, 2**63 - 1, -(2**63)])
def test_window_size_out_of_range(bad):
    widths = np.array([3, bad, 3], dtype=np.int64)
    with pytest.raises(ValueError, match=f"^{RANGE_MESSAGE}$") as info:
        kiv.apply_variable_smoothing(np.zeros(3), widths)
    assert not hasattr(info.value, "__notes__")
    # in every lane of the vectors that check them, in the scalar rest, and
    # in a later chunk of outputs (16384 each)
    for n, at in [(70, 0), (70, 1), (70, 7), (70, 8), (70, 15), (70, 16), (70, 63), (70, 64), (70, 69),
                  (16454, 16383), (16454, 16384), (16454, 16387), (16454, 16453)]:
        widths = np.full(n, 255, dtype=np.int64)
        widths[at] = bad
        with pytest.raises(ValueError, match=f"^{RANGE_MESSAGE}$"):
            kiv.apply_variable_smoothing(np.zeros(n), widths)
    # the length check comes first
    with pytest.raises(ValueError, match="^`values` and `window_sizes` must have the same length$"):
        kiv.apply_variable_smoothing(np.zeros(4), widths)


def test_window_sizes_from_calculate_window_sizes():
    values = np.array([1, 2, 4, 8, 16, 15, 15], dtype=np.float64)
    sizes = kiv.calculate_window_sizes(values, 31, window_smooth_width_size=2)
    with pytest.raises(TypeError) as info:
        kiv.apply_variable_smoothing(values, sizes)
    assert info.value.__notes__ == ["while processing 'window_sizes'", "expected a contiguous 1-D int64 array, got "
                                    "uint8 with shape (7,); window_sizes.astype(np.int64) converts it"]
    got = kiv.apply_variable_smoothing(values, sizes.astype(np.int64))
    np.testing.assert_array_equal(got, reference.variable_rolling_mean(values, sizes))


@pytest.mark.parametrize("seed", range(4))
def test_matches_reference(seed):
    rng = np.random.default_rng(seed)
    n = [0, 1, 300, 3000][seed]
    values = rng.choice([-0.0, 0.0, nan, inf, -inf, 1e308, 0.1], size=n)
    mask = rng.random(n) < 0.7
    values[mask] = rng.normal(scale=10.0, size=mask.sum())
    widths = rng.integers(0, 256, size=n)
    expected = reference.variable_rolling_mean(values, widths)
    got = kiv.apply_variable_smoothing(values, widths)
    np.testing.assert_array_equal(reference.bits(got), reference.bits(expected))


def spiked(n, nan_at=()):
    v = np.ones(n)
    v[[n // 5, n // 5 + 3]] = inf, -inf
    v[list(nan_at)] = nan
    return v.tolist()


# Windows that sum +inf and -inf, through each output path of the mean's
# kernel: a signal's short last block, blocks of one width with and without
# NaN near, blocks of differing widths; and the whole pipeline.
INFINITIES = [
    ("apply_variable_smoothing", [inf, -inf, 1.0, 1.0, 1.0], [3] * 5),
    ("apply_variable_smoothing", spiked(200), [7] * 200),
    ("apply_variable_smoothing", spiked(200, [45]), [7] * 200),
    ("apply_variable_smoothing", spiked(200), [5, 7] * 100),
    ("smooth", spiked(200), [float(k) for k in range(200)]),
]
LITERAL = {"apply_variable_smoothing": reference.variable_rolling_mean, "smooth": reference.smooth_pipeline}
CALLS = r"""
import json, sys
import numpy as np, kiv
calls = json.loads(sys.argv[1])
print(json.dumps([kiv._cpu_level, [getattr(kiv, name)(*map(np.array, args)).view(np.uint64).tolist()
                                   for name, *args in calls]]))
"""


@pytest.mark.parametrize("level", CPU_LEVELS)
def test_nan_of_infinities_at_every_level(monkeypatch, level):
    # The hardware's NaN has its sign bit set on x86-64 and clear on aarch64:
    # kiv returns 0x7FF8000000000000 on both, at every level.
    monkeypatch.setenv("KIV_CPU_LEVEL", level)
    used, results = run_fresh(CALLS, json.dumps(INFINITIES))
    if used != level:
        pytest.skip(f"this CPU lacks {level}")
    for (name, *args), got in zip(INFINITIES, results):
        assert 0x7FF8000000000000 in got and got == reference.bits(LITERAL[name](*args)).tolist(), name
