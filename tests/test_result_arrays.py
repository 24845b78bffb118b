import gc

import numpy as np
import pytest

import kiv

PRODUCERS = {
    "calculate_window_sizes": (lambda x: kiv.calculate_window_sizes(x, 31), np.uint8),
    "apply_variable_smoothing": (
        lambda x: kiv.apply_variable_smoothing(x, np.full(x.shape, 3, dtype=np.int64)), np.float64),
    "smooth": (lambda x: kiv.smooth(x, np.arange(x.size, dtype=np.float64)), np.float64),
}


@pytest.fixture(params=PRODUCERS)
def producer(request):
    return PRODUCERS[request.param]


@pytest.mark.parametrize("n", [0, 1, 9])
def test_layout(producer, n):
    make, dtype = producer
    r = make(np.linspace(0.0, 5.0, n) ** 2)
    assert r.dtype == dtype and r.dtype.isnative
    assert r.shape == (n,) and r.strides == (np.dtype(dtype).itemsize,)
    flags = r.flags
    assert flags.writeable and flags.c_contiguous and flags.f_contiguous and flags.aligned
    assert not flags.owndata
    container = type(r.base)
    assert container.__name__ == container.__qualname__ == "PySliceContainer"
    assert container.__module__ == "builtins"


def test_container_type_is_closed():
    container = type(kiv.smooth(np.zeros(2), np.arange(2.0)).base)
    with pytest.raises(TypeError):
        container()
    with pytest.raises(TypeError):
        type("Sub", (container,), {})


def test_views_share_and_outlive_the_result(producer):
    make, _ = producer
    r = make(np.array([1.0, 4.0, 2.0, 8.0, 5.0, 7.0]))
    view = r[1:]
    r[2] = 99
    assert view[1] == 99
    expected = r[1:].copy()
    del r
    gc.collect()
    junk = [np.full(6, 123, dtype=view.dtype) for _ in range(100)]  # reuse freed memory, if any
    np.testing.assert_array_equal(view, expected)
    del junk
