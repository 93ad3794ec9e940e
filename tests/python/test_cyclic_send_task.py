"""CyclicSendTask: stopping, replacing the payload, and stopping when the handle is dropped."""

import gc
import itertools

import pytest

from orvik_can._native import CyclicSendTask, Message, VirtualBus

PERIOD = 0.005
_names = itertools.count()


def periodic(msg, period=PERIOD):
    bus = VirtualBus(f"test-cyclic-{next(_names)}")
    return bus, bus.send_periodic(msg, period)


def next_frame_after_change(bus, predicate):
    """The first frame matching `predicate`: frames copied before a change may still arrive."""
    for _ in range(200):
        frame = bus.recv(5)
        assert frame is not None
        if predicate(frame):
            return frame
    raise AssertionError("the change never reached the frames")


def assert_silent(bus):
    """Drains what was in flight, then checks that no frame comes for many periods."""
    for _ in range(50):
        if bus.recv(PERIOD * 20) is None:
            break
    assert bus.recv(PERIOD * 20) is None


def test_surface():
    assert CyclicSendTask.__doc__.startswith("Handle for a periodic CAN transmit task.")
    assert CyclicSendTask.stop.__text_signature__ == "($self)"
    assert CyclicSendTask.stop.__doc__ == "Stop the periodic transmit."
    assert CyclicSendTask.modify_data.__text_signature__ == "($self, msg)"
    assert CyclicSendTask.modify_data.__doc__ == (
        "Update the frame payload. Takes effect on the next transmit cycle.")
    assert CyclicSendTask.is_active.__doc__ == "Whether the task is still running."
    assert CyclicSendTask.__repr__ is object.__repr__


def test_stop_is_immediate_idempotent_and_silences_the_bus():
    bus, task = periodic(Message(arbitration_id=1, data=[1]))
    assert task.is_active is True
    assert bus.recv(5).arbitration_id == 1
    assert task.stop() is None
    assert task.is_active is False
    task.stop()
    assert task.is_active is False
    task.modify_data(Message(arbitration_id=1, data=[2]))  # no effect, no error
    assert_silent(bus)


def test_modify_data_changes_only_the_payload():
    bus, task = periodic(Message(arbitration_id=0x1ABCDEF, data=[1, 2], is_extended_id=True))
    assert bus.recv(5).data == bytearray([1, 2])
    task.modify_data(Message(arbitration_id=0x5, data=[7, 8, 9], is_extended_id=False,
                             timestamp=3.0, is_fd=True))
    frame = next_frame_after_change(bus, lambda f: f.data == bytearray([7, 8, 9]))
    assert (frame.arbitration_id, frame.is_extended_id, frame.is_fd, frame.dlc) == (
        0x1ABCDEF, True, False, 3)
    assert frame.timestamp is None and frame.is_rx is False
    task.modify_data(msg=Message(arbitration_id=0x5))
    frame = next_frame_after_change(bus, lambda f: len(f.data) == 0)
    assert (frame.arbitration_id, frame.dlc) == (0x1ABCDEF, 0)
    task.stop()


@pytest.mark.parametrize("bad", [None, b"\x01", [1], VirtualBus])
def test_modify_data_refuses_a_non_message_and_keeps_the_payload(bad):
    bus, task = periodic(Message(arbitration_id=2, data=[4]))
    with pytest.raises(TypeError) as info:
        task.modify_data(bad)
    assert str(info.value).startswith("argument 'msg': ")
    bus.recv(5)
    assert bus.recv(5).data == bytearray([4])
    task.stop()


def test_dropping_the_handle_stops_the_frames():
    bus, task = periodic(Message(arbitration_id=3, data=[3]))
    assert bus.recv(5).arbitration_id == 3
    del task
    gc.collect()
    assert_silent(bus)


def test_a_period_rounding_to_one_nanosecond_runs_and_one_rounding_to_zero_is_refused():
    bus, task = periodic(Message(arbitration_id=4), period=6e-10)
    assert task.is_active is True
    assert bus.recv(5).arbitration_id == 4
    task.stop()
    with pytest.raises(ValueError, match="^send_periodic: 'period' must round to at least one "
                                         "nanosecond$"):
        bus.send_periodic(Message(arbitration_id=4), 4e-10)
