"""White-box access to objects of the binding layer, for tests that Python code cannot reach.

Every object of our classes starts with the object header, then its borrow flag (a C long:
0 free, n > 0 shared by n, -1 exclusive), then its C++ value at the end of the object.
"""

import contextlib
import ctypes

HEADER_SIZE = object.__basicsize__
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
