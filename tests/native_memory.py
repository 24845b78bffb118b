"""Bytes in use by the C heap, which sees kiv's own buffers (tracemalloc
only sees Python's allocators)."""

import ctypes

try:
    class _Mallinfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                     "fordblks", "keepcost")]

    _mallinfo2 = ctypes.CDLL(None).mallinfo2
    _mallinfo2.restype = _Mallinfo2

    def native_in_use():
        info = _mallinfo2()
        return info.uordblks + info.hblkhd
except (AttributeError, OSError):
    def native_in_use():
        return 0
