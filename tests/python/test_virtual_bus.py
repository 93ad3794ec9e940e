"""VirtualBus: shared named channels, send/recv, timeouts, borrows while waiting, periodic sends."""

import gc
import itertools
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from orvik_can._native import Message, VirtualBus, virtual_bus_channel_count

_names = itertools.count()


def fresh_name():
    return f"test-vbus-{next(_names)}"


NEGATIVE = "cannot convert float seconds to Duration: value is negative"
TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN"
PERIOD_TEXT = "send_periodic: 'period' must be a positive finite number of seconds"
ROUNDS_TO_ZERO = "send_periodic: 'period' must round to at least one nanosecond"


def drain(bus):
    return list(iter(lambda: bus.recv(0), None))


def wait_until(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached in time"
        time.sleep(0.005)


def test_surface():
    assert VirtualBus.__text_signature__ == "(channel=..., capacity=...)"
    assert VirtualBus.__doc__.startswith("Shared in-memory CAN bus for testing.")
    signatures = {
        "send": "($self, id, data, timestamp=None, is_extended=False, is_fd=False)",
        "recv": "($self, timeout=None)",
        "send_periodic": "($self, msg, period)",
    }
    for name, signature in signatures.items():
        assert getattr(VirtualBus, name).__text_signature__ == signature
    assert VirtualBus.send.__doc__ == "Send a CAN frame to all listeners on this channel."
    assert VirtualBus.recv.__doc__ == (
        "Receive a frame from any sender on this channel. Blocking with timeout."
    )
    for absent in ("__enter__", "shutdown"):
        assert not hasattr(VirtualBus, absent)
    assert VirtualBus.__repr__ is object.__repr__
    assert VirtualBus().channel == "vcan0"
    assert virtual_bus_channel_count.__doc__.startswith("Number of VirtualBus channels")


def test_same_name_shares_the_first_capacity_and_lag_keeps_the_oldest_held():
    name = fresh_name()
    small = VirtualBus(name, 8)
    large = VirtualBus(name, 1000)  # joins: 1000 is ignored
    for i in range(20):
        large.send(i, [i])
    # Both receivers lagged on one 8-slot ring: the oldest held frame comes first.
    assert [m.arbitration_id for m in drain(small)] == list(range(12, 20))
    assert [m.arbitration_id for m in drain(large)] == list(range(12, 20))


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"channel": None}, TypeError, "argument 'channel': "),
        ({"capacity": None}, TypeError, "argument 'capacity': "),
        ({"capacity": 8.0}, TypeError, "argument 'capacity': "),
        ({"capacity": -1}, OverflowError, ""),
        ({"capacity": 2**63}, ValueError, "broadcast channel capacity exceeded `usize::MAX / 2`"),
        ({"capacity": 2**62}, ValueError, "broadcast channel capacity 4611686018427387904 "
                                          "cannot be allocated"),
    ],
)
def test_constructor_refuses_bad_arguments(kwargs, error, text):
    with pytest.raises(error) as info:
        VirtualBus(**kwargs)
    assert str(info.value).startswith(text)


def test_capacity_zero_only_fails_for_a_new_name():
    name = fresh_name()
    before = virtual_bus_channel_count()
    with pytest.raises(ValueError, match="^broadcast channel capacity cannot be zero$"):
        VirtualBus(name, 0)
    assert virtual_bus_channel_count() == before  # nothing registered
    first = VirtualBus(name, 4)
    joined = VirtualBus(name, 0)
    joined.send(1, b"")
    assert first.recv(0).arbitration_id == 1


def test_channel_count_follows_the_last_handle():
    gc.collect()
    base = virtual_bus_channel_count()
    name = fresh_name()
    a = VirtualBus(name)
    assert virtual_bus_channel_count() == base + 1
    b = VirtualBus(name)
    assert virtual_bus_channel_count() == base + 1
    del a
    assert virtual_bus_channel_count() == base + 1
    del b
    assert virtual_bus_channel_count() == base
    # The name is free again: a new channel with its own capacity.
    c = VirtualBus(name, 2)
    for i in range(3):
        c.send(i, b"")
    assert [m.arbitration_id for m in drain(c)] == [1, 2]


def test_periodic_send_keeps_the_channel_alive_after_the_bus_is_gone():
    gc.collect()
    base = virtual_bus_channel_count()
    name = fresh_name()
    bus = VirtualBus(name)
    task = bus.send_periodic(Message(arbitration_id=0x42, data=[1]), 0.005)
    del bus
    assert virtual_bus_channel_count() == base + 1
    listener = VirtualBus(name)  # joins the channel the task still holds
    assert listener.recv(5).arbitration_id == 0x42
    del listener
    task.stop()
    wait_until(lambda: virtual_bus_channel_count() == base)


def test_send_recv_round_trip_reaches_every_handle_on_the_name():
    name = fresh_name()
    a, b = VirtualBus(name), VirtualBus(name)
    a.send(0x123, [1, 2])
    a.send(id=0x1ABCDEF, data=bytearray(b"\xff"), timestamp=1.5, is_extended=True, is_fd=True)
    for bus in (a, b):
        plain, full = drain(bus)
        assert (plain.arbitration_id, plain.data, plain.dlc) == (0x123, bytearray([1, 2]), 2)
        assert plain.is_rx is True and plain.timestamp is None
        assert not (plain.is_extended_id or plain.is_fd or plain.is_remote_frame)
        assert plain.channel == name
        assert (full.arbitration_id, full.timestamp, full.is_extended_id, full.is_fd) == (
            0x1ABCDEF, 1.5, True, True)
        assert not (full.bitrate_switch or full.error_state_indicator or full.is_error_frame)


@pytest.mark.parametrize("size, dlc", [(0, 0), (255, 255), (256, 0), (300, 44)])
def test_long_payloads_travel_whole_with_dlc_modulo_256(size, dlc):
    bus = VirtualBus(fresh_name())
    payload = bytes(i % 251 for i in range(size))
    bus.send(7, payload)
    msg = bus.recv(0)
    assert (bytes(msg.data), msg.dlc) == (payload, dlc)


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda b: b.send(1, "ab"), TypeError, "argument 'data': Can't extract `str` to `Vec`"),
        (lambda b: b.send(2**32, b""), OverflowError, ""),
        (lambda b: b.send(1, b"", is_extended=1), TypeError, "argument 'is_extended': "),
        (lambda b: b.send(1, b"", timestamp="x"), TypeError, "argument 'timestamp': "),
        (lambda b: b.recv("1"), TypeError, "argument 'timeout': "),
        (lambda b: b.send_periodic(b, 1.0), TypeError, "argument 'msg': "),
        (lambda b: b.send_periodic(Message(1), None), TypeError, "argument 'period': "),
    ],
)
def test_bad_arguments_send_nothing(call, error, text):
    bus = VirtualBus(fresh_name())
    with pytest.raises(error) as info:
        call(bus)
    assert str(info.value).startswith(text)
    assert bus.recv(0.02) is None


@pytest.mark.parametrize("timeout", [0, 0.0, -0.0, 1e-10, 4e-10])
def test_zero_timeouts_poll(timeout):
    bus = VirtualBus(fresh_name())
    start = time.monotonic()
    assert bus.recv(timeout) is None
    assert time.monotonic() - start < 0.5
    bus.send(3, b"")
    # A buffered frame wins over a deadline that has already passed.
    assert bus.recv(timeout).arbitration_id == 3


def test_positive_timeout_waits_about_that_long():
    bus = VirtualBus(fresh_name())
    start = time.monotonic()
    assert bus.recv(0.05) is None
    assert 0.045 <= time.monotonic() - start < 2.0
    bus.send(1, b"")
    assert bus.recv(1).arbitration_id == 1  # an int timeout


@pytest.mark.parametrize(
    "timeout, text",
    [(-1, NEGATIVE), (-1e-300, NEGATIVE), (-float("inf"), NEGATIVE),
     (float("nan"), TOO_BIG), (float("inf"), TOO_BIG), (2.0**64, TOO_BIG)],
)
def test_bad_timeouts_fail_without_consuming_a_frame(timeout, text):
    bus = VirtualBus(fresh_name())
    bus.send(9, b"")
    start = time.monotonic()
    with pytest.raises(ValueError) as info:
        bus.recv(timeout)
    assert str(info.value) == text
    assert time.monotonic() - start < 0.5
    assert bus.recv(0).arbitration_id == 9  # still usable, frame still there
    assert bus.recv(0) is None


class BlockedRecv:
    """Runs `bus.recv(timeout)` on a thread and waits until it holds the bus's borrow."""

    def __init__(self, bus, timeout=None):
        self.result = None
        self.thread = threading.Thread(target=self._run, args=(bus, timeout))
        self.thread.start()
        wait_until(lambda: self._borrowed(bus))

    def _run(self, bus, timeout):
        self.result = bus.recv(timeout)

    @staticmethod
    def _borrowed(bus):
        try:
            bus.channel
        except RuntimeError:
            return True
        return False

    def join(self):
        self.thread.join(10)
        assert not self.thread.is_alive()
        return self.result


def test_calls_during_a_blocked_recv_are_refused_and_another_handle_wakes_it():
    name = fresh_name()
    bus, other = VirtualBus(name), VirtualBus(name)
    waiting = BlockedRecv(bus)
    for call in (lambda: bus.channel, lambda: bus.send(1, b""),
                 lambda: bus.send_periodic(Message(1), 0.01)):
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            call()
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        bus.recv(0)
    other.send(0x77, b"\x05")
    msg = waiting.join()
    assert (msg.arbitration_id, msg.channel) == (0x77, name)
    # Nothing the refused calls tried went out.
    assert other.recv(0).arbitration_id == 0x77
    assert other.recv(0.02) is None


def test_signal_handlers_run_during_a_wait_and_their_exceptions_end_it():
    # Ctrl-C and any handler that raises end a wait on the main thread, with or without a
    # timeout; after a handler that returns, the wait goes on until a frame comes.
    code = """
        import os, signal, threading, time
        from orvik_can._native import VirtualBus
        bus, other = VirtualBus("signals"), VirtualBus("signals")

        def signal_once_waiting(signum):
            def run():
                while True:  # the wait holds the bus's borrow
                    try:
                        bus.channel
                    except RuntimeError:
                        break
                    time.sleep(0.01)
                os.kill(os.getpid(), signum)
            threading.Thread(target=run).start()

        class Alarm(Exception):
            pass

        def on_alarm(*_):
            raise Alarm

        signal.signal(signal.SIGALRM, on_alarm)
        signal.signal(signal.SIGUSR1, lambda *_: other.send(7, b""))
        for timeout, signum in [(None, signal.SIGINT), (3600, signal.SIGINT),
                                (None, signal.SIGALRM)]:
            signal_once_waiting(signum)
            try:
                bus.recv(timeout)
            except (KeyboardInterrupt, Alarm) as exc:
                print(type(exc).__name__)
        signal_once_waiting(signal.SIGUSR1)
        print(bus.recv().arbitration_id, bus.recv(0))
    """
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["KeyboardInterrupt", "KeyboardInterrupt", "Alarm", "7", "None"]


def test_a_deadline_beyond_the_clock_still_waits_for_a_frame():
    name = fresh_name()
    bus, other = VirtualBus(name), VirtualBus(name)
    waiting = BlockedRecv(bus, 1e18)  # now + 1e18 s overflows the clock
    assert waiting.thread.is_alive()
    other.send(5, b"")
    assert waiting.join().arbitration_id == 5


def test_periodic_frames_use_the_template_fixed_at_start():
    bus = VirtualBus(fresh_name())
    msg = Message(arbitration_id=0x1234, data=[1, 2, 3], is_extended_id=True, timestamp=9.0,
                  channel="elsewhere", is_rx=True)
    task = bus.send_periodic(msg, 0.005)
    msg.data = [9]
    msg.arbitration_id = 1
    frames = [bus.recv(5) for _ in range(3)]
    task.stop()
    for frame in frames:
        assert (frame.arbitration_id, frame.is_extended_id, bytes(frame.data), frame.dlc) == (
            0x1234, True, b"\x01\x02\x03", 3)
        assert frame.timestamp is None and frame.is_rx is False
        assert frame.channel == bus.channel


@pytest.mark.parametrize(
    "period, error, text",
    [(0, ValueError, PERIOD_TEXT), (-1, ValueError, PERIOD_TEXT),
     (float("nan"), ValueError, PERIOD_TEXT), (float("inf"), ValueError, PERIOD_TEXT),
     (2.0**64, ValueError, TOO_BIG), (1e300, ValueError, TOO_BIG),
     (4e-10, ValueError, ROUNDS_TO_ZERO), (1e-12, ValueError, ROUNDS_TO_ZERO)],
)
def test_bad_periods_start_nothing(period, error, text):
    gc.collect()
    base = virtual_bus_channel_count()
    bus = VirtualBus(fresh_name())
    with pytest.raises(error) as info:
        bus.send_periodic(Message(1), period)
    assert str(info.value) == text
    del bus
    assert virtual_bus_channel_count() == base  # no task holds the channel


def test_calls_hold_no_reference_to_their_arguments():
    bus = VirtualBus(fresh_name())
    data = bytearray(b"\x01\x02")
    msg = Message(arbitration_id=1, data=[1])
    before = [sys.getrefcount(x) for x in (bus, data, msg)]
    bus.send(1, data)
    bus.recv(0)
    task = bus.send_periodic(msg, 1.0)
    assert [sys.getrefcount(x) for x in (bus, data, msg)] == before
    task.stop()
