"""White-box access to objects of the binding layer, for tests that Python code cannot reach.

Every object of our classes starts with the object header, then its borrow flag (a C long:
0 free, n > 0 shared by n, -1 exclusive), then the fork generation it was made in (0 in a
process that never forked), then its C++ value at the end of the object.
"""

import contextlib
import ctypes

HEADER_SIZE = object.__basicsize__
VALUE_OFFSET = HEADER_SIZE + 8 + 8  # after the borrow flag and the fork generation
PY_TP_ALLOC = 47  # the slot number of tp_alloc in CPython's typeslots.h

_alloc_type = ctypes.CFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_ssize_t)
ctypes.pythonapi.PyType_GetSlot.restype = ctypes.c_void_p
ctypes.pythonapi.PyType_GetSlot.argtypes = [ctypes.py_object, ctypes.c_int]


def borrow_flag(obj):
    return ctypes.c_long.from_address(id(obj) + HEADER_SIZE)


@contextlib.contextmanager
def borrowed(obj, state):
    """Holds `obj` borrowed (state -1: exclusive, n > 0: shared by n) for the block."""
    flag = borrow_flag(obj)
    assert flag.value == 0
    flag.value = state
    try:
        yield
    finally:
        flag.value = 0


def allocate_zeroed(cls):
    """An instance of `cls` made by its allocator alone: every byte of its value is zero.

    Only sound for classes whose C++ value is valid all-zero (plain integers), such as Metrics.
    """
    alloc = _alloc_type(ctypes.pythonapi.PyType_GetSlot(cls, PY_TP_ALLOC))
    return alloc(cls, 0)


def write_u64s(obj, values):
    """Writes `values` as the trailing unsigned 64-bit integers of the object's value."""
    array = (ctypes.c_uint64 * len(values))(*values)
    ctypes.memmove(id(obj) + type(obj).__basicsize__ - ctypes.sizeof(array), array,
                   ctypes.sizeof(array))


def allocate_with_short_string(cls, text):
    """An instance of `cls` whose C++ value is one std::string holding `text` (at most 15 bytes).

    Writes the string as libstdc++'s constructor lays out a short string (C++11 ABI: data
    pointer, length, then the 16-byte inline buffer the pointer points at). Used for Bus, whose
    constructor never yields an object on a system without SocketCAN support.
    """
    raw = text.encode()
    assert len(raw) <= 15
    assert cls.__basicsize__ == VALUE_OFFSET + 32, "value is not a lone std::string"
    obj = allocate_zeroed(cls)
    base = id(obj) + VALUE_OFFSET
    ctypes.c_void_p.from_address(base).value = base + 16
    ctypes.c_size_t.from_address(base + 8).value = len(raw)
    ctypes.memmove(base + 16, raw + b"\0", len(raw) + 1)
    return obj
