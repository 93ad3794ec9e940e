"""The SocketCAN Bus class: its surface, argument conversion, and refusal to open."""

import os
import pathlib
import shutil
import socket
import subprocess
import sys

import numpy as np
import pytest

from binding_probe import allocate_with_short_string, borrow_flag, borrowed
from conftest import STANDIN_DIR, without_sanitizer
from orvik_can._native import Bus, Message

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


# socket() of a kernel with CAN sockets, for this host: a CAN socket is handed out as a UNIX one.
FAKE_CAN_SOCKETS = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <sys/socket.h>
int socket(int domain, int type, int protocol) {
  static int (*real)(int, int, int);
  if (!real) real = (int (*)(int, int, int))dlsym(RTLD_NEXT, "socket");
  if (domain == AF_CAN) return real(AF_UNIX, SOCK_DGRAM, 0);
  return real(domain, type, protocol);
}
"""

REFUSALS = """
import sys
sys.path[:0] = [{standin!r}, {here!r}]
from binding_probe import allocate_with_short_string
from orvik_can._native import Bus, CanCodec, Notifier
for make in (lambda: Bus("can0"), lambda: CanCodec(channel="can0"),
             lambda: Notifier(allocate_with_short_string(Bus, "can0"))):
    try:
        make()
    except RuntimeError as e:
        print(e)
"""


@pytest.mark.parametrize("can_sockets", [False, True])
def test_the_three_socketcan_refusals_agree(tmp_path, can_sockets):
    env = dict(os.environ)
    if can_sockets:
        shim = tmp_path / "fake_can_sockets.so"
        (tmp_path / "shim.c").write_text(FAKE_CAN_SOCKETS)
        if shutil.which("cc") is None:
            pytest.skip("no C compiler to build the socket() shim")
        subprocess.run(["cc", "-shared", "-fPIC", "-o", str(shim), str(tmp_path / "shim.c"),
                        "-ldl"], check=True, env=without_sanitizer())
        # After a sanitizer runtime the run preloads, which has to come first.
        env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), str(shim)]))
    elif kernel_has_can_sockets():
        pytest.skip("this kernel has CAN sockets")
    script = REFUSALS.format(standin=str(STANDIN_DIR), here=str(pathlib.Path(__file__).parent))
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    if can_sockets:
        expected = [f"{who}: SocketCAN I/O is not supported by this build of orvik_can "
                    "(channel 'can0'); use VirtualBus" for who in ("Bus", "CanCodec", "Notifier")]
    else:
        expected = ["Bus is only available on Linux (SocketCAN)",
                    "SocketCAN is only available on Linux",
                    "SocketCAN Bus is only available on Linux"]
    assert done.stdout.splitlines() == expected


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


# A Bus object as the constructor would have built it, to exercise the members.
@pytest.fixture
def bus():
    return allocate_with_short_string(Bus, "can0")


LINUX_ONLY = "Bus is only available on Linux"
PERIOD_TEXT = "send_periodic: 'period' must be a positive finite number of seconds"


def test_plain_members(bus):
    assert bus.channel == "can0"
    assert bus.is_active is False
    assert repr(bus) == "<Bus channel='can0', active=false>"
    assert bus.shutdown() is None
    with bus as entered:
        assert entered is bus
    assert bus.__exit__(None, None, None) is None
    assert borrow_flag(bus).value == 0


def test_exit_lets_the_exception_propagate(bus):
    with pytest.raises(KeyError):
        with bus:
            raise KeyError("inner")


def test_repr_shows_the_name_unescaped():
    odd = allocate_with_short_string(Bus, "it's\\x")
    assert repr(odd) == "<Bus channel='it's\\x', active=false>"


@pytest.mark.parametrize(
    "call",
    [
        lambda b: b.recv(),
        lambda b: b.recv(0.5),
        lambda b: b.recv(timeout=None),
        lambda b: b.send(Message(1)),
        lambda b: b.send(msg=Message(1), timeout=1),
        lambda b: b.send_periodic(Message(1), 0.1),
        lambda b: b.send_periodic(period=1, msg=Message(1)),
        lambda b: b.set_filters([(0x123, 0x7FF)]),
        lambda b: b.set_filters(filters=[]),
        lambda b: b.fileno(),
        lambda b: b.state,
        lambda b: b.fd_version,
    ],
)
def test_members_refuse_without_socketcan(bus, call):
    with pytest.raises(RuntimeError) as info:
        call(bus)
    assert str(info.value) == LINUX_ONLY
    assert borrow_flag(bus).value == 0


@pytest.mark.parametrize("period", [0, 0.0, -0.0, -1, -1.0, float("nan"), float("inf"), -float("inf")])
def test_send_periodic_checks_the_period_first(bus, period):
    with pytest.raises(ValueError) as info:
        bus.send_periodic(Message(1), period)
    assert str(info.value) == PERIOD_TEXT


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda b: b.recv("1"), TypeError, "argument 'timeout': must be real number, not str"),
        (lambda b: b.send(1), TypeError, "argument 'msg': 'int' object cannot be converted to 'Message'"),
        (lambda b: b.send(None), TypeError,
         "argument 'msg': 'NoneType' object cannot be converted to 'Message'"),
        (lambda b: b.send(Message(1), "x"), TypeError,
         "argument 'timeout': must be real number, not str"),
        (lambda b: b.send_periodic(b, 1.0), TypeError,
         "argument 'msg': 'Bus' object cannot be converted to 'Message'"),
        (lambda b: b.send_periodic(Message(1), None), TypeError,
         "argument 'period': must be real number, not NoneType"),
        (lambda b: b.set_filters("ab"), TypeError, "argument 'filters': Can't extract `str` to `Vec`"),
        (lambda b: b.set_filters(5), TypeError,
         "argument 'filters': 'int' object cannot be converted to 'Sequence'"),
        (lambda b: b.set_filters([[1, 2]]), TypeError,
         "argument 'filters': 'list' object cannot be converted to 'PyTuple'"),
        (lambda b: b.set_filters([(1, 2, 3)]), ValueError,
         "expected tuple of length 2, but got tuple of length 3"),
        (lambda b: b.set_filters([()]), ValueError,
         "expected tuple of length 2, but got tuple of length 0"),
        (lambda b: b.set_filters([(1, -1)]), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda b: b.set_filters([(1, "x")]), TypeError,
         "argument 'filters': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_member_argument_conversion(bus, call, error, text):
    with pytest.raises(error) as info:
        call(bus)
    assert type(info.value) is error
    assert str(info.value) == text


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda b: b.recv(1, 2), "Bus.recv() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda b: b.recv(tmeout=1), "Bus.recv() got an unexpected keyword argument 'tmeout'"),
        (lambda b: b.recv(1, timeout=1), "Bus.recv() got multiple values for argument 'timeout'"),
        (lambda b: b.send(), "Bus.send() missing 1 required positional argument: 'msg'"),
        (lambda b: b.send_periodic(),
         "Bus.send_periodic() missing 2 required positional arguments: 'msg' and 'period'"),
        (lambda b: b.send_periodic(1, 2, 3),
         "Bus.send_periodic() takes 3 positional arguments but 4 were given"),
        (lambda b: b.__exit__(),
         "Bus.__exit__() missing 3 required positional arguments: "
         "'_exc_type', '_exc_value', and '_traceback'"),
        (lambda b: b.set_filters(filters=[], x=1), "Bus.set_filters() got an unexpected keyword argument 'x'"),
    ],
)
def test_method_binding_errors(bus, call, text):
    with pytest.raises(TypeError) as info:
        call(bus)
    assert str(info.value) == text


# (member, borrows exclusively)
BORROWS = [
    (lambda b: b.recv(), True),
    (lambda b: b.send(Message(1)), True),
    (lambda b: b.shutdown(), True),
    (lambda b: b.__exit__(None, None, None), True),
    (lambda b: b.fileno(), False),
    (lambda b: b.set_filters([]), False),
    (lambda b: b.send_periodic(Message(1), 1.0), False),
    (lambda b: repr(b), False),
    (lambda b: b.__enter__(), False),
    (lambda b: b.state, False),
    (lambda b: b.fd_version, False),
    (lambda b: b.channel, False),
    (lambda b: b.is_active, False),
]


@pytest.mark.parametrize("call, exclusive", BORROWS)
def test_borrow_discipline(bus, call, exclusive):
    with borrowed(bus, -1):  # an exclusive call is running
        with pytest.raises(RuntimeError) as info:
            call(bus)
        assert str(info.value) == ("Already borrowed" if exclusive else "Already mutably borrowed")
    with borrowed(bus, 1):  # a shared call is running
        try:
            call(bus)
        except RuntimeError as exc:
            assert str(exc) == ("Already borrowed" if exclusive else LINUX_ONLY)
        else:
            assert not exclusive
        assert borrow_flag(bus).value == 1


def test_message_argument_is_borrowed_shared(bus):
    msg = Message(1)
    with borrowed(msg, -1):
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            bus.send_periodic(msg, 1.0)
    with borrowed(msg, 1):
        with pytest.raises(RuntimeError, match=f"^{LINUX_ONLY}$"):
            bus.send_periodic(msg, 1.0)
