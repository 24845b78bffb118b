"""Matching call arguments to parameters, and the conversion of scalar
arguments with the note that names them."""

from fractions import Fraction

import numpy as np
import pytest

import kiv
from scalars import Index, Raises

V = np.array([1.0, 2.0, 4.0, 8.0, 16.0, 15.0, 15.0])
T = np.arange(7.0)
W = np.array([1, 3, 5, 3, 1, 3, 1], dtype=np.int64)

SURROGATE = "\ud800"
LONE = "\udcff"


def _bad_keyword(func, kw):
    # the keyword object's str() as UTF-8; a lone surrogate becomes U+FFFD x3
    text = str(kw).encode("utf-8", "surrogatepass").decode("utf-8", "replace")
    return f"{func}() got an unexpected keyword argument '{text}'"


BINDING_ERRORS = [
    # too many positional arguments, reported before anything about keywords
    ("get_max_window_limit", (None, 5), {}, "get_max_window_limit() takes 1 positional arguments but 2 were given"),
    ("calculate_window_sizes", (None, 5, 3), {}, "calculate_window_sizes() takes 2 positional arguments but 3 were given"),
    ("apply_variable_smoothing", (None,) * 5, {}, "apply_variable_smoothing() takes 2 positional arguments but 5 were given"),
    ("smooth", (None,) * 3, {"bogus": 1}, "smooth() takes 2 positional arguments but 3 were given"),
    ("smooth", (None,) * 3, {"values": 1}, "smooth() takes 2 positional arguments but 3 were given"),
    # unexpected keywords, reported before missing arguments
    ("smooth", (None, None), {"window": 3}, "smooth() got an unexpected keyword argument 'window'"),
    ("get_max_window_limit", (None,), {"max_window_size": 1}, _bad_keyword("get_max_window_limit", "max_window_size")),
    ("apply_variable_smoothing", (None, None), {"min_window_size": 1}, _bad_keyword("apply_variable_smoothing", "min_window_size")),
    # names match case-sensitively and in full
    ("smooth", (), {"Values": None, "timestamps": None}, _bad_keyword("smooth", "Values")),
    ("smooth", (None,), {"timestamp": None}, _bad_keyword("smooth", "timestamp")),
    ("smooth", (None, None), {"min_window_size\0": 1}, _bad_keyword("smooth", "min_window_size\0")),
    ("smooth", (None, None), {"välues": 1}, _bad_keyword("smooth", "välues")),
    # names that are not valid UTF-8 text
    ("smooth", (None, None), {SURROGATE: 1}, _bad_keyword("smooth", SURROGATE)),
    ("apply_variable_smoothing", (), {LONE: 1}, _bad_keyword("apply_variable_smoothing", LONE)),
    # keywords are checked in the order given
    ("smooth", (None, None), {"values": 1, "bogus": 2}, "smooth() got multiple values for argument 'values'"),
    ("smooth", (None, None), {"bogus": 2, "values": 1}, "smooth() got an unexpected keyword argument 'bogus'"),
    # a keyword for a slot already filled by position
    ("apply_variable_smoothing", (None, None), {"window_sizes": None}, "apply_variable_smoothing() got multiple values for argument 'window_sizes'"),
    ("smooth", (None, None), {"values": None}, "smooth() got multiple values for argument 'values'"),
    ("smooth", (None,), {"values": None}, "smooth() got multiple values for argument 'values'"),
    ("calculate_window_sizes", (None, 5), {"max_window_size": 5}, "calculate_window_sizes() got multiple values for argument 'max_window_size'"),
    ("get_max_window_limit", (None,), {"timestamps": None}, "get_max_window_limit() got multiple values for argument 'timestamps'"),
    # missing arguments list only the empty slots
    ("smooth", (), {}, "smooth() missing 2 required positional arguments: 'values' and 'timestamps'"),
    ("smooth", (None,), {}, "smooth() missing 1 required positional argument: 'timestamps'"),
    ("smooth", (), {"timestamps": None}, "smooth() missing 1 required positional argument: 'values'"),
    ("get_max_window_limit", (), {}, "get_max_window_limit() missing 1 required positional argument: 'timestamps'"),
    ("get_max_window_limit", (), {"max_window_sec": 1.0}, "get_max_window_limit() missing 1 required positional argument: 'timestamps'"),
    ("calculate_window_sizes", (), {}, "calculate_window_sizes() missing 2 required positional arguments: 'values' and 'max_window_size'"),
    ("calculate_window_sizes", (None,), {}, "calculate_window_sizes() missing 1 required positional argument: 'max_window_size'"),
    ("calculate_window_sizes", (), {"max_window_size": 5}, "calculate_window_sizes() missing 1 required positional argument: 'values'"),
    ("apply_variable_smoothing", (), {}, "apply_variable_smoothing() missing 2 required positional arguments: 'values' and 'window_sizes'"),
    ("apply_variable_smoothing", (), {"window_sizes": None}, "apply_variable_smoothing() missing 1 required positional argument: 'values'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as exc:
        getattr(kiv, name)(*args, **kwargs)
    assert type(exc.value) is TypeError
    assert str(exc.value) == message
    assert not hasattr(exc.value, "__notes__")


@pytest.mark.parametrize(
    "name, args, kwargs, positional",
    [
        ("smooth", (), {"values": V, "timestamps": T}, (V, T)),
        ("smooth", (V,), {"timestamps": T}, (V, T)),
        ("get_max_window_limit", (), {"timestamps": T}, (T,)),
        ("calculate_window_sizes", (), {"max_window_size": 31, "values": V}, (V, 31)),
        ("apply_variable_smoothing", (), {"window_sizes": W, "values": V}, (V, W)),
    ],
)
def test_positional_parameters_by_keyword(name, args, kwargs, positional):
    func = getattr(kiv, name)
    np.testing.assert_array_equal(func(*args, **kwargs), func(*positional))


def _note(name):
    return [f"while processing '{name}'"]


CONVERSIONS = [
    # float parameters
    ("get_max_window_limit", (T,), {"min_window_size": None}, TypeError, "min_window_size"),
    ("get_max_window_limit", (T,), {"max_window_sec": Raises()}, ZeroDivisionError, "max_window_sec"),
    ("get_max_window_limit", (T,), {"min_window_size": 10**400}, OverflowError, "min_window_size"),
    ("get_max_window_limit", (T,), {"min_window_size": -1.0, "max_window_sec": -1}, None, None),
    ("get_max_window_limit", (T,), {"min_window_size": True, "max_window_sec": Fraction(120, 2)}, None, None),
    ("smooth", (V, T), {"min_window_size": None}, TypeError, "min_window_size"),
    ("smooth", (V, T), {"low_percentile": Raises()}, ZeroDivisionError, "low_percentile"),
    ("smooth", (V, T), {"low_percentile": -1.0, "high_percentile": np.float64(50), "max_window_sec": Index(5)}, None, None),
    ("calculate_window_sizes", (V, 31), {"high_percentile": Raises()}, ZeroDivisionError, "high_percentile"),
    ("calculate_window_sizes", (V, 31), {"min_window_size": -1.0, "low_percentile": True}, None, None),
    # unsigned 64-bit parameters
    ("smooth", (V, T), {"window_smooth_width_size": 3.0}, TypeError, "window_smooth_width_size"),
    ("smooth", (V, T), {"window_smooth_width_size": -1}, OverflowError, "window_smooth_width_size"),
    ("smooth", (V, T), {"window_smooth_width_size": 2**64}, OverflowError, "window_smooth_width_size"),
    ("smooth", (V, T), {"window_smooth_width_size": Raises()}, ZeroDivisionError, "window_smooth_width_size"),
    ("smooth", (V, T), {"window_smooth_width_size": 2**64 - 1}, None, None),
    ("smooth", (V, T), {"window_smooth_width_size": True}, None, None),
    ("calculate_window_sizes", (V, 31), {"window_smooth_width_size": Index(-1)}, OverflowError, "window_smooth_width_size"),
    ("calculate_window_sizes", (V, 31), {"window_smooth_width_size": np.uint64(0)}, None, None),
    ("calculate_window_sizes", (V, 5.0), {}, TypeError, "max_window_size"),
    ("calculate_window_sizes", (V, -1), {}, OverflowError, "max_window_size"),
    ("calculate_window_sizes", (V, Raises()), {}, ZeroDivisionError, "max_window_size"),
    ("calculate_window_sizes", (V, 2**64 - 1), {}, None, None),
    ("calculate_window_sizes", (V,), {"max_window_size": Index(31)}, None, None),
    # parameter order decides which of two bad scalars is reported
    ("calculate_window_sizes", (V, 5.0), {"min_window_size": None}, TypeError, "max_window_size"),
    ("calculate_window_sizes", (V, 31), {"high_percentile": None, "min_window_size": "x"}, TypeError, "min_window_size"),
    ("smooth", (V, T), {"high_percentile": None, "window_smooth_width_size": -1}, OverflowError, "window_smooth_width_size"),
    ("get_max_window_limit", (T,), {"max_window_sec": None, "min_window_size": Raises()}, ZeroDivisionError, "min_window_size"),
    # arrays are extracted before, and checked for layout and length after, the scalars
    ("smooth", (None, T), {"min_window_size": None}, TypeError, "values"),
    ("smooth", (V[::2], T[::2]), {"min_window_size": None}, TypeError, "min_window_size"),
    ("smooth", (V, T[:3]), {"window_smooth_width_size": -1}, OverflowError, "window_smooth_width_size"),
    ("calculate_window_sizes", (V[::2], None), {}, TypeError, "max_window_size"),
]


@pytest.mark.parametrize("name, args, kwargs, error, param", CONVERSIONS)
def test_scalar_conversion(name, args, kwargs, error, param):
    func = getattr(kiv, name)
    if error is None:
        func(*args, **kwargs)
        return
    with pytest.raises(error) as exc:
        func(*args, **kwargs)
    assert type(exc.value) is error
    assert exc.value.__notes__[:1] == _note(param)  # an array's has one more: test_errors.py


class NoNotes(Exception):
    def add_note(self, note):
        raise RuntimeError("notes refused")


def _noted(message):
    err = ArithmeticError(message)
    err.add_note("from the caller")
    return err


@pytest.mark.parametrize(
    "raised, notes",
    [
        (_noted("already noted"), ["from the caller", *_note("min_window_size")]),
        # a failing add_note leaves the original error in place
        (NoNotes("plain"), None),
    ],
)
def test_conversion_error_passes_through(raised, notes):
    class Raises:
        def __float__(self):
            raise raised

    with pytest.raises(type(raised)) as exc:
        kiv.get_max_window_limit(T, min_window_size=Raises())
    assert exc.value is raised
    assert getattr(exc.value, "__notes__", None) == notes
