"""The shared NumPy borrow registry seen from Python, the way another
extension module would use it."""

import contextlib
import ctypes
import importlib

import numpy as np

CAPSULE_NAME = b"_RUST_NUMPY_BORROW_CHECKING_API"
ALREADY_BORROWED = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"

# PYFUNCTYPE keeps the GIL held during the call, as a calling extension would.
ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)


class BorrowApi(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("tracker", ctypes.c_void_p),
        ("acquire_shared", ACQUIRE),
        ("acquire_exclusive", ACQUIRE),
        ("release_shared", RELEASE),
        ("release_exclusive", RELEASE),
    ]


_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_new_capsule = ctypes.pythonapi.PyCapsule_New
_new_capsule.restype = ctypes.py_object
_new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_keep_alive = []  # a capsule stores its name pointer, not a copy


def multiarray():
    core = "numpy._core" if np.lib.NumpyVersion(np.__version__).major >= 2 else "numpy.core"
    return importlib.import_module(core + ".multiarray")


def new_capsule(record, name=CAPSULE_NAME):
    _keep_alive.append(name)
    return _new_capsule(ctypes.addressof(record), name, None)


def borrow_api():
    import kiv

    kiv.get_max_window_limit(np.zeros(0))  # the first array argument installs the registry
    capsule = getattr(multiarray(), CAPSULE_NAME.decode())
    return BorrowApi.from_address(_get_pointer(capsule, CAPSULE_NAME))


@contextlib.contextmanager
def exclusive_borrow(array):
    api = borrow_api()
    assert api.acquire_exclusive(api.tracker, array) == 0
    try:
        yield
    finally:
        api.release_exclusive(api.tracker, array)


def assert_unborrowed(*arrays):
    api = borrow_api()
    for array in arrays:
        assert api.acquire_exclusive(api.tracker, array) == 0
        api.release_exclusive(api.tracker, array)
