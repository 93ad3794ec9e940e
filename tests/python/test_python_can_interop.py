"""Interplay with python-can: its code reads our Message, and its Message converts into ours."""

import can
import pytest

from orvik_can._native import Message

FIELDS = [
    "arbitration_id",
    "data",
    "dlc",
    "is_extended_id",
    "is_fd",
    "is_remote_frame",
    "is_error_frame",
    "bitrate_switch",
    "error_state_indicator",
    "timestamp",
    "channel",
    "is_rx",
]

CASES = [
    dict(arbitration_id=0x123, data=[1, 2, 3], is_extended_id=False, timestamp=10.5,
         channel="vcan0"),
    dict(arbitration_id=0x1ABCDEF0, data=bytes(range(8)), is_extended_id=True, timestamp=1.0,
         channel="can1", is_rx=False),
    dict(arbitration_id=0x7FF, data=bytes(range(64)), is_extended_id=False, is_fd=True,
         bitrate_switch=True, error_state_indicator=True, timestamp=12.25, channel="can0"),
    dict(arbitration_id=0x10, data=b"", is_extended_id=False, is_remote_frame=True,
         timestamp=13.0, channel="x"),
    dict(arbitration_id=0x0, data=b"\xff", is_extended_id=False, is_error_frame=True,
         timestamp=14.0, channel="y"),
]


def from_python_can(msg):
    """Our Message from python-can's, field by field."""
    return Message(
        arbitration_id=msg.arbitration_id,
        data=msg.data,
        is_extended_id=msg.is_extended_id,
        is_fd=msg.is_fd,
        is_remote_frame=msg.is_remote_frame,
        is_error_frame=msg.is_error_frame,
        bitrate_switch=msg.bitrate_switch,
        error_state_indicator=msg.error_state_indicator,
        timestamp=msg.timestamp,
        channel=msg.channel,
        is_rx=msg.is_rx,
    )


@pytest.mark.parametrize("case", CASES)
def test_python_can_equals_reads_our_message(case):
    ours = Message(**case)
    theirs = can.Message(**case)
    assert theirs.equals(ours)
    assert theirs.equals(ours, timestamp_delta=None, check_channel=True, check_direction=True)
    other = can.Message(**{**case, "arbitration_id": case["arbitration_id"] + 1})
    assert not other.equals(ours)


@pytest.mark.parametrize("case", CASES)
def test_python_can_message_converts_field_by_field(case):
    theirs = can.Message(**case)
    ours = from_python_can(theirs)
    for name in FIELDS:
        expected = getattr(theirs, name)
        if name == "data":
            expected = bytes(expected)
        assert getattr(ours, name) == expected, name
    assert type(ours.data) is bytes


def test_python_can_defaults_convert():
    # python-can defaults to an extended identifier, a 0.0 timestamp and no channel.
    ours = from_python_can(can.Message())
    assert (ours.arbitration_id, ours.is_extended_id, ours.timestamp, ours.channel) == (
        0, True, 0.0, None)


def test_python_can_integer_channel_is_refused():
    with pytest.raises(TypeError, match="^argument 'channel': 'int' object cannot be converted to 'PyString'$"):
        from_python_can(can.Message(channel=0))


@pytest.mark.parametrize("writer, reader, suffix", [
    (can.CSVWriter, can.CSVReader, ".csv"),
    (can.ASCWriter, can.ASCReader, ".asc"),
    (can.BLFWriter, can.BLFReader, ".blf"),
])
def test_python_can_loggers_write_our_messages(tmp_path, writer, reader, suffix):
    path = tmp_path / f"log{suffix}"
    cases = [c for c in CASES if not c.get("is_error_frame")]
    with writer(path) as log:
        for case in cases:
            log.on_message_received(Message(**{**case, "channel": None}))
    read = list(reader(path))
    assert len(read) == len(cases)
    for case, got in zip(cases, read):
        ours = Message(**case)
        assert got.arbitration_id == ours.arbitration_id
        assert got.is_extended_id == ours.is_extended_id
        assert got.is_remote_frame == ours.is_remote_frame
        if not ours.is_remote_frame:
            assert bytes(got.data) == ours.data
        assert got.is_fd == ours.is_fd or writer is can.CSVWriter
    if writer is can.CSVWriter:  # the binary and ASC formats store times relative to a start
        assert [m.timestamp for m in read] == [c["timestamp"] for c in cases]
