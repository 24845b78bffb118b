"""Array arguments: which objects are accepted, the contiguity check, and the
order in which array, scalar and length checks run."""

import warnings

import numpy as np
from numpy.lib.stride_tricks import as_strided
import pytest

import kiv
from fresh import run_fresh
from registry_helpers import ALREADY_BORROWED, assert_unborrowed, exclusive_borrow

# Each entry puts `x` into one array parameter; the other array, if any, has `n` elements.
CALLS = {
    "get_max_window_limit-timestamps": lambda x, n: kiv.get_max_window_limit(x),
    "calculate_window_sizes-values": lambda x, n: kiv.calculate_window_sizes(x, 5),
    "apply_variable_smoothing-values": lambda x, n: kiv.apply_variable_smoothing(x, np.ones(n, np.int64)),
    "apply_variable_smoothing-window_sizes": lambda x, n: kiv.apply_variable_smoothing(np.ones(n), x),
    "smooth-values": lambda x, n: kiv.smooth(x, np.arange(float(n))),
    "smooth-timestamps": lambda x, n: kiv.smooth(np.arange(float(n)), x),
}
TWO_ARRAYS = {where for where in CALLS if where.startswith(("apply_", "smooth"))}


def param_of(where):
    return where.split("-")[1]


def kind_of(where):
    return np.int64 if param_of(where) == "window_sizes" else np.float64


def has_note(exc):
    return getattr(exc, "__notes__", None) is not None


NON_ARRAYS = [([1.0, 2.0], "list"), ((1.0, 2.0), "tuple"), (1.5, "float"), (np.float64(1.5), "float64")]
OTHER_DTYPES = {np.float64: ["int32", "float32", "int64"], np.int64: ["int32", "uint8", "uint64", "float64"]}


def rejections():
    for where in CALLS:
        kind = kind_of(where)
        arrays = {"0-D": np.array(1, kind), "2-D": np.zeros((2, 2), kind),
                  "byte-swapped": np.arange(3).astype(np.dtype(kind).newbyteorder())}
        arrays.update((dtype, np.arange(3, dtype=dtype)) for dtype in OTHER_DTYPES[kind])
        cases = [(None, "'None' is not an instance of 'ndarray'", "None")]
        cases += [(obj, f"'{name}' object is not an instance of 'ndarray'", name) for obj, name in NON_ARRAYS]
        cases += [(array, "'ndarray' object is not an instance of 'ndarray'", key) for key, array in arrays.items()]
        for obj, message, key in cases:
            yield pytest.param(where, obj, message, id=f"{where}-{key}")


@pytest.mark.parametrize("where, obj, message", list(rejections()))
def test_rejected(where, obj, message):
    with pytest.raises(TypeError) as info:
        CALLS[where](obj, 3)
    assert str(info.value) == message
    # then what to do about it (test_errors.py)
    assert info.value.__notes__[0] == f"while processing '{param_of(where)}'" and len(info.value.__notes__) == 2


class Sub(np.ndarray):
    pass


def read_only(a):
    a.flags.writeable = False
    return a


ACCEPTED = {
    "subclass": lambda a: a.view(Sub),
    "read-only": read_only,
    "native alias": lambda a: a.astype(np.longlong if a.dtype == np.int64 else np.double),
    "one-element view": lambda a: np.concatenate([a, a])[2::7],
    "empty strided view": lambda a: a[3::2],
}


@pytest.mark.parametrize("where", CALLS)
@pytest.mark.parametrize("make", ACCEPTED.values(), ids=ACCEPTED.keys())
def test_accepted(where, make):
    x = make(np.arange(3, dtype=kind_of(where)))
    if where in TWO_ARRAYS:
        # A partner of another length stops the call right after the array checks.
        with pytest.raises(ValueError, match="must have the same length"):
            CALLS[where](x, len(x) + 1)
    else:
        CALLS[where](x, len(x))


NON_CONTIGUOUS = {
    "strided": lambda kind: np.arange(8, dtype=kind)[::2],
    "reversed": lambda kind: np.arange(4, dtype=kind)[::-1],
    "unaligned": lambda kind: np.zeros(33, np.uint8)[1:].view(kind),
}


@pytest.mark.parametrize("where", CALLS)
@pytest.mark.parametrize("make", NON_CONTIGUOUS.values(), ids=NON_CONTIGUOUS.keys())
def test_non_contiguous_is_rejected_before_length(where, make):
    x = make(kind_of(where))
    with pytest.raises(ValueError) as info:
        CALLS[where](x, len(x) + 1)
    name, kind = param_of(where), np.dtype(kind_of(where)).name
    assert str(info.value) == f"`{name}` must be a contiguous 1-D {kind} array"
    assert not has_note(info.value)


f, w = np.arange(8.0), np.ones(8, np.int64)
ORDER = [
    # array types before scalars, scalars before contiguity, contiguity before length
    (lambda: kiv.apply_variable_smoothing(f[::2], w[:4].astype(np.int32)),
     TypeError, "'ndarray' object is not an instance of 'ndarray'", "window_sizes"),
    (lambda: kiv.smooth(f[::2], [1.0]), TypeError, "'list' object is not an instance of 'ndarray'", "timestamps"),
    (lambda: kiv.smooth([1.0], None), TypeError, "'list' object is not an instance of 'ndarray'", "values"),
    (lambda: kiv.calculate_window_sizes([1.0], "x"), TypeError, "'list' object is not an instance of 'ndarray'", "values"),
    (lambda: kiv.calculate_window_sizes(f[::2], "x"), TypeError, None, "max_window_size"),
    (lambda: kiv.get_max_window_limit(f[::2], min_window_size="x"), TypeError, None, "min_window_size"),
    (lambda: kiv.smooth(f[::2], f[:3], high_percentile="x"), TypeError, None, "high_percentile"),
    (lambda: kiv.apply_variable_smoothing(f[::2], w[::2][:3]), ValueError,
     "`values` must be a contiguous 1-D float64 array", None),
    (lambda: kiv.smooth(f[:3], f[::2]), ValueError, "`timestamps` must be a contiguous 1-D float64 array", None),
    (lambda: kiv.smooth(f[:3], f[:4]), ValueError, "`values` and `timestamps` must have the same length", None),
    (lambda: kiv.apply_variable_smoothing(f[:4], w[:3]), ValueError,
     "`values` and `window_sizes` must have the same length", None),
]


@pytest.mark.parametrize("call, error, message, note", ORDER)
def test_order_of_checks(call, error, message, note):
    with pytest.raises(error) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    if note is None:
        assert not has_note(info.value)
    else:
        assert info.value.__notes__[0] == f"while processing '{note}'"


def setting(attribute, value_for):
    """Sets an array attribute in place (deprecated in NumPy 2.5, still working)."""

    def change(a):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            setattr(a, attribute, value_for(a))

    return change


def retype(dtype):
    return setting("dtype", lambda a: dtype)


ITERATORS = []  # alive until the test has dropped their operands' bases


def nditer_operand(owner):
    """A float64 copy of an int32 array that writes back to it; its base is the owner."""
    iterator = np.nditer(owner.astype(np.int32), op_flags=[["readwrite", "updateifcopy"]],
                         op_dtypes=["f8"], casting="unsafe")
    ITERATORS.append(iterator)
    return iterator.operands[0]


def drop_writeback(a):
    a.flags.writebackifcopy = False  # which also drops its base


# (argument made from a 64-element array, the change a scalar's conversion
# makes to it in place, how to put it back as it was or None)
CHANGES = {
    "dtype int8": (None, retype(np.int8), retype(np.float64)),
    "dtype int64 (same size)": (None, retype(np.int64), retype(np.float64)),
    "shape (n/2, 2)": (None, setting("shape", lambda a: (a.size // 2, 2)), setting("shape", lambda a: (a.size,))),
    "resized, moved": (None, lambda a: a.resize(1 << 16, refcheck=False), None),
    "resized, shorter": (None, lambda a: a.resize(2, refcheck=False), None),
    "owner of a view resized": (lambda o: o[:], lambda a: a.base.resize(1 << 16, refcheck=False), None),
    "owner of a view shrunk in place": (lambda o: o[:], lambda a: a.base.resize(4, refcheck=False), None),
    # an object that only passes the owner's memory on stands between them
    "owner behind as_strided shrunk": (lambda o: as_strided(o, o.shape, o.strides),
                                       lambda a: a.base.base.resize(4, refcheck=False), None),
    "owner behind a memoryview shrunk": (lambda o: np.asarray(memoryview(o)),
                                         lambda a: a.base.obj.resize(4, refcheck=False), None),
    "base dropped": (nditer_operand, drop_writeback, None),
}


class Changes:
    """A scalar whose conversion changes `array` before giving its value."""

    def __init__(self, array, change, value):
        self.array, self.change, self.value = array, change, value

    def __float__(self):
        self.change(self.array)
        return float(self.value)

    def __index__(self):
        self.change(self.array)
        return self.value


# (where, call with the changing scalar given the array) as in CALLS
CHANGED_DURING = {
    "get_max_window_limit-timestamps": lambda a, s: kiv.get_max_window_limit(a, max_window_sec=s(60)),
    "calculate_window_sizes-values": lambda a, s: kiv.calculate_window_sizes(a, s(31)),
    "smooth-values": lambda a, s: kiv.smooth(a, np.arange(64.0), high_percentile=s(90)),
    "smooth-timestamps": lambda a, s: kiv.smooth(np.arange(64.0), a, min_window_size=s(1)),
}


@pytest.mark.parametrize("where", CHANGED_DURING)
@pytest.mark.parametrize("make, change, undo", CHANGES.values(), ids=CHANGES.keys())
def test_array_changed_during_the_call(where, make, change, undo):
    a = np.arange(64.0) if make is None else make(np.arange(64.0))
    with pytest.raises(ValueError) as info:
        CHANGED_DURING[where](a, lambda value: Changes(a, change, value))
    assert str(info.value) == f"`{param_of(where)}` was changed in place (dtype, shape or memory) during the call"
    while ITERATORS:
        ITERATORS.pop().close()
    if undo is not None:
        undo(a)
        assert_unborrowed(a)  # released under the key it was taken with


# A masked sample is a missing one, as NaN; a masked time or width is refused.
MASKED_VALUES = {
    "smooth": lambda x: kiv.smooth(x, np.arange(float(len(x)))),
    "calculate_window_sizes": lambda x: kiv.calculate_window_sizes(x, 31, window_smooth_width_size=1),
    "apply_variable_smoothing": lambda x: kiv.apply_variable_smoothing(x, np.full(len(x), 3)),
}
MASKS = {"one": [0, 0, 1, 0, 0], "all": [1] * 5, "none": [0] * 5, "nomask": np.ma.nomask}


@pytest.mark.parametrize("call", MASKED_VALUES.values(), ids=MASKED_VALUES.keys())
@pytest.mark.parametrize("mask", MASKS.values(), ids=MASKS.keys())
def test_masked_values_are_missing(call, mask):
    x = np.ma.masked_array([1.0, 2.0, -1e9, 4.0, 5.0], mask=mask)
    got = call(x)
    assert type(got) is np.ndarray
    np.testing.assert_array_equal(got, call(x.filled(np.nan)))


MASKED_REFUSED = {
    "get_max_window_limit-timestamps": lambda x: kiv.get_max_window_limit(x),
    "smooth-timestamps": lambda x: kiv.smooth(np.ones(len(x)), x),
    "apply_variable_smoothing-window_sizes": lambda x: kiv.apply_variable_smoothing(np.ones(len(x)), x),
}


@pytest.mark.parametrize("where", MASKED_REFUSED)
@pytest.mark.parametrize("mask", MASKS.values(), ids=MASKS.keys())
def test_masked_times_and_widths_are_refused(where, mask):
    x = np.ma.masked_array(np.arange(1, 6, dtype=kind_of(where)), mask=mask)
    call = MASKED_REFUSED[where]
    if np.ma.count_masked(x):
        with pytest.raises(ValueError, match=f"^`{param_of(where)}` must not have masked entries$"):
            call(x)
    else:
        np.testing.assert_array_equal(call(x), call(x.data))


def packed_field(kind):
    return np.zeros(5, dtype=[("flag", np.uint8), ("x", kind)])["x"]  # offset 1: unaligned


def memmap_at(kind, tmp_path, offset):
    path = tmp_path / "data.bin"
    path.write_bytes(bytes(offset + 5 * 8))
    return np.memmap(path, dtype=kind, mode="r", offset=offset, shape=(5,))


# Arrays refused for their memory: the remedy the README gives must pass.
REFUSED_MEMORY = {
    "strided": lambda kind, p: np.arange(10, dtype=kind)[::2],
    "reversed": lambda kind, p: np.arange(5, dtype=kind)[::-1],
    "frombuffer at offset 1": lambda kind, p: np.frombuffer(bytes(41), dtype=kind, offset=1),
    "memmap at offset 3": lambda kind, p: memmap_at(kind, p, 3),
    "packed structured field": lambda kind, p: packed_field(kind),
}


@pytest.mark.parametrize("where", CALLS)
@pytest.mark.parametrize("make", REFUSED_MEMORY.values(), ids=REFUSED_MEMORY.keys())
@pytest.mark.parametrize("remedy", [np.copy, lambda x: np.require(x, requirements="CA")], ids=["copy", "require"])
def test_remedy_for_refused_memory(where, make, remedy, tmp_path):
    x = make(kind_of(where), tmp_path)
    with pytest.raises(ValueError, match="must be a contiguous 1-D"):
        CALLS[where](x, len(x))
    CALLS[where](remedy(x), len(x))


class ShortFilled(np.ma.MaskedArray):
    """A masked array whose filled() returns fewer samples than it holds."""

    keep = 0

    def filled(self, fill_value=None):
        return np.full(self.keep, 1.0)


@pytest.mark.parametrize("call", MASKED_VALUES.values(), ids=MASKED_VALUES.keys())
@pytest.mark.parametrize("keep", [0, 4, 4095])
def test_masked_subclass_filled_short(call, keep):
    x = np.ma.masked_array(np.arange(4096.0), mask=np.r_[True, np.zeros(4095, bool)]).view(ShortFilled)
    x.keep = keep
    with pytest.raises(TypeError, match="filled\\(\\) gives no contiguous 1-D float64 array of its length"):
        call(x)


class HeldFilled(np.ma.MaskedArray):
    """A masked array whose filled() gives a buffer that it keeps."""

    def filled(self, fill_value=None):
        return self.buffer


@pytest.mark.parametrize("call", MASKED_VALUES.values(), ids=MASKED_VALUES.keys())
def test_filled_samples_are_borrowed(call, expect_panic):
    # kiv reads what filled() gives: another extension writing it refuses the call
    x = np.ma.masked_array([1.0, 2.0, -1e9, 4.0, 5.0], mask=[0, 0, 1, 0, 0]).view(HeldFilled)
    x.buffer = np.arange(5.0)
    with exclusive_borrow(x.buffer), expect_panic(ALREADY_BORROWED):
        call(x)
    assert_unborrowed(x.buffer, x.data)


# Masked arrays known by their type, whatever became of sys.modules["numpy.ma"].
MASKED_WITHOUT_MODULE = r"""
import gc, os, sys
import numpy as np, kiv

values = np.ma.masked_array([1.0, 2.0, -1e9, 4.0, 5.0], mask=[0, 0, 1, 0, 0])
plain = np.memmap(sys.argv[2], dtype=np.float64, mode="w+", shape=(5,))  # a subclass, no mask
plain[:] = values.data
kiv.apply_variable_smoothing(values, np.full(5, 3))  # kiv's set-up, and NumPy's first-use imports

def check(smooth=kiv.apply_variable_smoothing, widths=np.full(5, 3), write=os.write):
    write(1, repr([smooth(values, widths).tolist(), smooth(plain, widths).tolist()]).encode())

class Late:
    def __del__(self, check=check):
        check()

how = sys.argv[1]
if how == "at exit":  # the collection at exit, once sys.modules is emptied
    gc.disable()
    late = Late()
    late.cycle = late
    del late
else:
    if how == "None":
        sys.modules["numpy.ma"] = None
    else:
        del sys.modules["numpy.ma"]
    check()
"""


@pytest.mark.parametrize("how", ["None", "removed", "at exit"])
def test_masked_arrays_known_by_type(how, tmp_path):
    values = np.ma.masked_array([1.0, 2.0, -1e9, 4.0, 5.0], mask=[0, 0, 1, 0, 0])
    expected = [kiv.apply_variable_smoothing(v, np.full(5, 3)).tolist() for v in (values.filled(np.nan), values.data)]
    assert run_fresh(MASKED_WITHOUT_MODULE, how, str(tmp_path / "plain.bin")) == expected
