"""The SocketCAN Bus class: its surface, argument conversion, and refusal to open."""

import socket
import sys

import numpy as np
import pytest

from orvik_can._native import Bus

SIGNATURE = (
    "(channel, fd=False, recv_own_messages=False, rcvbuf_size=None, local_loopback=True, "
    "error_frames=True)"
)
METHODS = {
    "recv": "($self, timeout=None)",
    "send": "($self, msg, timeout=None)",
    "send_periodic": "($self, msg, period)",
    "set_filters": "($self, filters)",
    "shutdown": "($self)",
    "fileno": "($self)",
    "__enter__": "($self)",
    "__exit__": "($self, _exc_type, _exc_value, _traceback)",
}
ATTRIBUTES = ["state", "fd_version", "channel", "is_active"]


def kernel_has_can_sockets():
    try:
        sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    except (OSError, AttributeError):
        return False
    sock.close()
    return True


def test_class_text_signature_and_doc():
    assert Bus.__text_signature__ == SIGNATURE
    assert Bus.__doc__.startswith("SocketCAN bus with python-can's ``Bus`` interface (Linux only).")
    assert "recv()" in Bus.__doc__ and "send()" in Bus.__doc__
    assert 'Bus("vcan0")' in Bus.__doc__


@pytest.mark.parametrize("name, signature", METHODS.items())
def test_method_text_signatures(name, signature):
    assert getattr(Bus, name).__text_signature__ == signature


def test_members_are_exactly_the_interface():
    own = {name for name in vars(Bus) if not name.startswith("__") or name in METHODS}
    assert own == set(METHODS) | set(ATTRIBUTES)
    assert "__repr__" in vars(Bus)
    assert not hasattr(Bus, "__iter__")
    for name in ATTRIBUTES:
        assert type(vars(Bus)[name]).__name__ == "getset_descriptor"


@pytest.mark.parametrize(
    "args, kwargs, error, text",
    [
        ((), {}, TypeError, "Bus() missing 1 required positional argument: 'channel'"),
        ((), {"fd": True}, TypeError, "Bus() missing 1 required positional argument: 'channel'"),
        ((5,), {}, TypeError, "argument 'channel': 'int' object cannot be converted to 'PyString'"),
        ((None,), {}, TypeError,
         "argument 'channel': 'NoneType' object cannot be converted to 'PyString'"),
        (("vcan0",), {"fd": 1}, TypeError,
         "argument 'fd': 'int' object cannot be converted to 'PyBool'"),
        (("vcan0",), {"recv_own_messages": None}, TypeError,
         "argument 'recv_own_messages': 'NoneType' object cannot be converted to 'PyBool'"),
        (("vcan0",), {"rcvbuf_size": 2**31}, OverflowError,
         "out of range integral type conversion attempted"),
        (("vcan0",), {"rcvbuf_size": -(2**31) - 1}, OverflowError,
         "out of range integral type conversion attempted"),
        (("vcan0",), {"rcvbuf_size": 1.5}, TypeError,
         "argument 'rcvbuf_size': 'float' object cannot be interpreted as an integer"),
        (("vcan0",), {"local_loopback": 0}, TypeError,
         "argument 'local_loopback': 'int' object cannot be converted to 'PyBool'"),
        (("vcan0",), {"error_frames": "yes"}, TypeError,
         "argument 'error_frames': 'str' object cannot be converted to 'PyBool'"),
        (("vcan0",), {"bitrate": 500000}, TypeError,
         "Bus() got an unexpected keyword argument 'bitrate'"),
        (("vcan0", False, False, None, True, True, 1), {}, TypeError,
         "Bus() takes from 1 to 6 positional arguments but 7 were given"),
    ],
)
def test_conversion_errors_come_before_the_platform_check(args, kwargs, error, text):
    with pytest.raises(error) as info:
        Bus(*args, **kwargs)
    assert type(info.value) is error
    assert str(info.value) == text


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("vcan0",), {}),
        (("can0", True, True, 2**31 - 1, False, False), {}),
        ((), {"channel": "can1", "rcvbuf_size": -(2**31), "fd": np.True_}),
        (("",), {"rcvbuf_size": None}),
    ],
)
def test_constructor_always_refuses(args, kwargs):
    with pytest.raises(RuntimeError) as info:
        Bus(*args, **kwargs)
    if kernel_has_can_sockets():
        assert "not supported by this build" in str(info.value)
    else:
        assert str(info.value) == "Bus is only available on Linux (SocketCAN)"


def test_refused_constructor_keeps_argument_reference_counts():
    channel = "".join(["refcount", "-", "bus"])
    size = 10**6 + 17
    before = sys.getrefcount(channel), sys.getrefcount(size)
    for _ in range(50):
        with pytest.raises(RuntimeError):
            Bus(channel, rcvbuf_size=size)
        with pytest.raises(TypeError):
            Bus(channel, fd=size)
    assert (sys.getrefcount(channel), sys.getrefcount(size)) == before


def test_instances_cannot_be_made_another_way():
    with pytest.raises(TypeError):
        object.__new__(Bus)
    with pytest.raises(TypeError):
        Bus.recv(object())
