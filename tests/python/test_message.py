"""The Message class: construction and its conversions, attributes and setters, text form."""

import sys
import tracemalloc

import numpy as np
import pytest

from binding_probe import borrow_flag, borrowed
from conftest import unsanitized
from orvik_can._native import Message

SIGNATURE = (
    "(arbitration_id, data=..., is_extended_id=False, is_fd=False, is_remote_frame=False, "
    "is_error_frame=False, bitrate_switch=False, error_state_indicator=False, timestamp=None, "
    "channel=None, is_rx=True)"
)
FLAGS = [
    "is_extended_id",
    "is_fd",
    "is_remote_frame",
    "is_error_frame",
    "bitrate_switch",
    "error_state_indicator",
]
READ_ONLY = ["dlc", "timestamp", "channel", "is_rx"]


def fields(msg):
    return {
        name: getattr(msg, name)
        for name in ["arbitration_id", "data", "dlc", *FLAGS, "timestamp", "channel", "is_rx"]
    }


def test_text_signature_and_doc():
    assert Message.__text_signature__ == SIGNATURE
    assert Message.__doc__.startswith("A CAN message, matching the python-can ``Message`` interface.")
    assert "bytes" in Message.data.__doc__
    for name in ["arbitration_id", "dlc", *FLAGS, "timestamp", "channel", "is_rx"]:
        assert getattr(Message, name).__doc__ is None


def test_defaults():
    msg = Message(0x123)
    assert fields(msg) == {
        "arbitration_id": 0x123,
        "data": b"",
        "dlc": 0,
        **{flag: False for flag in FLAGS},
        "timestamp": None,
        "channel": None,
        "is_rx": True,
    }
    assert repr(msg) == "Message(id=0x123, dlc=0, data=[])"


def test_every_argument_by_position_and_by_keyword():
    values = [0x1FFFFFFF, [1, 2], True, True, True, True, True, True, 1.5, "vcan1", False]
    by_position = Message(*values)
    names = ["arbitration_id", "data", *FLAGS, "timestamp", "channel", "is_rx"]
    by_keyword = Message(**dict(zip(names, values)))
    expected = {
        "arbitration_id": 0x1FFFFFFF,
        "data": b"\x01\x02",
        "dlc": 2,
        **{flag: True for flag in FLAGS},
        "timestamp": 1.5,
        "channel": "vcan1",
        "is_rx": False,
    }
    assert fields(by_position) == expected
    assert fields(by_keyword) == expected


@pytest.mark.parametrize(
    "data",
    [
        [1, 2, 3],
        (1, 2, 3),
        b"\x01\x02\x03",
        bytearray(b"\x01\x02\x03"),
        memoryview(b"\x01\x02\x03"),
        range(1, 4),
        np.array([1, 2, 3], dtype=np.uint8),
        [True, 2, np.int64(3)],
    ],
    ids=lambda d: type(d).__name__,
)
def test_data_sources_give_the_same_payload(data):
    msg = Message(1, data)
    assert msg.data == b"\x01\x02\x03"
    assert type(msg.data) is bytes
    assert msg.dlc == 3


def test_data_is_copied():
    payload = bytearray(b"\x01\x02")
    msg = Message(1, payload)
    payload[0] = 9
    assert msg.data == b"\x01\x02"
    assert msg.data is not msg.data


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"arbitration_id": "1"}, TypeError,
         "argument 'arbitration_id': 'str' object cannot be interpreted as an integer"),
        ({"arbitration_id": 1.0}, TypeError,
         "argument 'arbitration_id': 'float' object cannot be interpreted as an integer"),
        ({"arbitration_id": None}, TypeError,
         "argument 'arbitration_id': 'NoneType' object cannot be interpreted as an integer"),
        ({"arbitration_id": -1}, OverflowError, "out of range integral type conversion attempted"),
        ({"arbitration_id": 2**32}, OverflowError, "out of range integral type conversion attempted"),
        ({"arbitration_id": 2**64}, OverflowError, "out of range integral type conversion attempted"),
        ({"arbitration_id": -(2**70)}, OverflowError,
         "out of range integral type conversion attempted"),
        ({"data": "abc"}, TypeError, "argument 'data': Can't extract `str` to `Vec`"),
        ({"data": ""}, TypeError, "argument 'data': Can't extract `str` to `Vec`"),
        ({"data": 5}, TypeError, "argument 'data': 'int' object cannot be converted to 'Sequence'"),
        ({"data": None}, TypeError,
         "argument 'data': 'NoneType' object cannot be converted to 'Sequence'"),
        ({"data": {1: 2}}, TypeError,
         "argument 'data': 'dict' object cannot be converted to 'Sequence'"),
        ({"data": (x for x in [1])}, TypeError,
         "argument 'data': 'generator' object cannot be converted to 'Sequence'"),
        ({"data": [1, 256]}, OverflowError, "out of range integral type conversion attempted"),
        ({"data": [-1]}, OverflowError, "out of range integral type conversion attempted"),
        ({"data": ["a"]}, TypeError,
         "argument 'data': 'str' object cannot be interpreted as an integer"),
        ({"data": [1.0]}, TypeError,
         "argument 'data': 'float' object cannot be interpreted as an integer"),
        ({"timestamp": "1"}, TypeError, "argument 'timestamp': must be real number, not str"),
        ({"timestamp": 10**400}, OverflowError, "int too large to convert to float"),
        ({"channel": 5}, TypeError, "argument 'channel': 'int' object cannot be converted to 'PyString'"),
        ({"channel": b"can0"}, TypeError,
         "argument 'channel': 'bytes' object cannot be converted to 'PyString'"),
    ]
    + [({flag: 1}, TypeError, f"argument '{flag}': 'int' object cannot be converted to 'PyBool'")
       for flag in FLAGS + ["is_rx"]]
    + [
        ({"is_rx": None}, TypeError, "argument 'is_rx': 'NoneType' object cannot be converted to 'PyBool'"),
        ({"is_fd": np.int8(1)}, TypeError, "argument 'is_fd': 'int8' object cannot be converted to 'PyBool'"),
        ({"is_fd": "True"}, TypeError, "argument 'is_fd': 'str' object cannot be converted to 'PyBool'"),
    ],
)
def test_conversion_refusals(kwargs, error, text):
    kwargs.setdefault("arbitration_id", 1)
    with pytest.raises(error) as info:
        Message(**kwargs)
    assert type(info.value) is error
    assert str(info.value) == text


def test_first_failing_argument_in_signature_order_wins():
    with pytest.raises(TypeError, match="argument 'data'"):
        Message(1, "x", is_fd=1, channel=5)
    with pytest.raises(TypeError, match="argument 'is_fd'"):
        Message(1, is_rx=None, is_fd=1)


@pytest.mark.parametrize(
    "args, kwargs, text",
    [
        ((), {}, "Message() missing 1 required positional argument: 'arbitration_id'"),
        ((), {"data": b""}, "Message() missing 1 required positional argument: 'arbitration_id'"),
        ((1,), {"bogus": 2}, "Message() got an unexpected keyword argument 'bogus'"),
        ((1,), {"arbitration_id": 2}, "Message() got multiple values for argument 'arbitration_id'"),
        ((1, b""), {"data": b""}, "Message() got multiple values for argument 'data'"),
        (tuple(range(12)), {}, "Message() takes from 1 to 11 positional arguments but 12 were given"),
    ],
)
def test_argument_binding_errors(args, kwargs, text):
    with pytest.raises(TypeError) as info:
        Message(*args, **kwargs)
    assert str(info.value) == text


def test_type_error_subclass_and_other_errors_pass_unchanged():
    class MyTypeError(TypeError):
        pass

    class BadIndex:
        def __init__(self, error):
            self.error = error

        def __index__(self):
            raise self.error

    for error in [MyTypeError("mine"), ValueError("value"), ZeroDivisionError("zero")]:
        with pytest.raises(type(error)) as info:
            Message(BadIndex(error))
        assert type(info.value) is type(error)
        assert str(info.value) == str(error)
        with pytest.raises(type(error)):
            Message(1, [BadIndex(error)])


def test_renamed_type_error_keeps_the_cause():
    class Chained:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("outer") from inner

    with pytest.raises(TypeError) as info:
        Message(Chained())
    assert str(info.value) == "argument 'arbitration_id': outer"
    assert isinstance(info.value.__cause__, KeyError)


@pytest.mark.parametrize("value", [0, 0x7FF, 0x1FFFFFFF, 0xFFFFFFFF, True, np.uint32(7)])
def test_identifier_range_and_index_objects(value):
    assert Message(value).arbitration_id == int(value)


def test_identifier_is_not_checked_against_the_extended_flag():
    assert Message(0x1FFFFFFF, is_extended_id=False).arbitration_id == 0x1FFFFFFF


@pytest.mark.parametrize("value", [np.True_, np.False_, np.bool_(True)])
def test_numpy_booleans_are_flags(value):
    msg = Message(1, is_fd=value, is_rx=value)
    assert msg.is_fd is bool(value)
    assert msg.is_rx is bool(value)
    msg.is_extended_id = value
    assert msg.is_extended_id is bool(value)


def test_timestamp_conversions():
    class Seconds:
        def __float__(self):
            return 2.5

    assert Message(1, timestamp=3).timestamp == 3.0
    assert type(Message(1, timestamp=3).timestamp) is float
    assert Message(1, timestamp=Seconds()).timestamp == 2.5
    assert Message(1, timestamp=np.float32(0.5)).timestamp == 0.5
    assert Message(1, timestamp=-1.25).timestamp == -1.25


def test_channel_keeps_unicode_and_subclasses():
    class Name(str):
        pass

    assert Message(1, channel="vcän0").channel == "vcän0"
    assert Message(1, channel=Name("can1")).channel == "can1"
    assert type(Message(1, channel=Name("can1")).channel) is str
    with pytest.raises(UnicodeEncodeError):
        Message(1, channel="\ud800")


def test_long_payload_keeps_dlc_in_eight_bits():
    msg = Message(1, bytes(300))
    assert len(msg.data) == 300
    assert msg.dlc == 44


def test_setters_convert_like_the_constructor():
    msg = Message(1)
    msg.arbitration_id = 0xFFFFFFFF
    assert msg.arbitration_id == 0xFFFFFFFF
    msg.data = list(range(12))
    assert msg.data == bytes(range(12))
    assert msg.dlc == 12
    msg.data = bytearray(b"\xff")
    assert (msg.data, msg.dlc) == (b"\xff", 1)
    for flag in FLAGS:
        setattr(msg, flag, True)
        assert getattr(msg, flag) is True
        setattr(msg, flag, np.False_)
        assert getattr(msg, flag) is False


@pytest.mark.parametrize(
    "name, value, error, text",
    [
        ("data", "abc", TypeError, "argument 'data': Can't extract `str` to `Vec`"),
        ("data", None, TypeError, "argument 'data': 'NoneType' object cannot be converted to 'Sequence'"),
        ("data", [300], OverflowError, "out of range integral type conversion attempted"),
        ("arbitration_id", -1, OverflowError, "out of range integral type conversion attempted"),
        ("arbitration_id", "1", TypeError,
         "argument 'arbitration_id': 'str' object cannot be interpreted as an integer"),
    ]
    + [(flag, 1, TypeError, f"argument '{flag}': 'int' object cannot be converted to 'PyBool'")
       for flag in FLAGS],
)
def test_failed_setter_keeps_the_old_value(name, value, error, text):
    msg = Message(0x55, [1, 2, 3], **{flag: True for flag in FLAGS})
    before = fields(msg)
    with pytest.raises(error) as info:
        setattr(msg, name, value)
    assert str(info.value) == text
    assert fields(msg) == before


@pytest.mark.parametrize("name", ["arbitration_id", "data", *FLAGS])
def test_deleting_a_settable_attribute(name):
    msg = Message(1)
    with pytest.raises(AttributeError) as info:
        delattr(msg, name)
    assert str(info.value) == "can't delete attribute"


@pytest.mark.parametrize("name", READ_ONLY)
def test_read_only_attributes(name):
    msg = Message(1, [1], timestamp=1.0, channel="c")
    before = getattr(msg, name)
    with pytest.raises(AttributeError, match="not writable"):
        setattr(msg, name, before)
    with pytest.raises(AttributeError):
        delattr(msg, name)
    assert getattr(msg, name) == before


def test_no_instance_dict_or_weakref():
    import weakref

    msg = Message(1)
    with pytest.raises(AttributeError):
        msg.extra = 1
    assert not hasattr(msg, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(msg)


def test_identity_comparison_only():
    a, b = Message(1, [1]), Message(1, [1])
    assert a != b
    assert a == a
    assert hash(a) != hash(b)
    assert not hasattr(Message, "__len__")


@pytest.mark.parametrize(
    "args, kwargs, text",
    [
        ((0x123, [0x01, 0xAB]), {"is_extended_id": True, "is_fd": True},
         "Message(id=0x123, dlc=2, data=[01 ab], ext, fd)"),
        ((0x7FF, [0x0A]), {}, "Message(id=0x7ff, dlc=1, data=[0a])"),
        ((0, []), {"is_extended_id": True}, "Message(id=0x0, dlc=0, data=[], ext)"),
        ((0xFFFFFFFF, bytes(range(0xF8, 0x100))), {"is_fd": True, "is_rx": False, "channel": "x",
                                                    "timestamp": 1.0, "is_error_frame": True},
         "Message(id=0xffffffff, dlc=8, data=[f8 f9 fa fb fc fd fe ff], fd)"),
    ],
)
def test_repr(args, kwargs, text):
    assert repr(Message(*args, **kwargs)) == text


def test_borrow_rules():
    msg = Message(1, [1])
    with borrowed(msg, -1):  # exclusively borrowed: every access refused
        for read in [lambda: msg.data, lambda: msg.arbitration_id, lambda: repr(msg),
                     lambda: msg.is_rx, lambda: msg.channel]:
            with pytest.raises(RuntimeError) as info:
                read()
            assert str(info.value) == "Already mutably borrowed"
        with pytest.raises(RuntimeError) as info:
            msg.is_fd = True
        assert str(info.value) == "Already borrowed"
    with borrowed(msg, 2):  # shared: reads go on, writes are refused
        assert msg.data == b"\x01"
        assert repr(msg) == "Message(id=0x1, dlc=1, data=[01])"
        with pytest.raises(RuntimeError) as info:
            msg.data = [2]
        assert str(info.value) == "Already borrowed"
        assert borrow_flag(msg).value == 2
    assert borrow_flag(msg).value == 0
    assert msg.data == b"\x01"


def test_setter_converts_before_it_borrows():
    msg = Message(1)
    with borrowed(msg, -1):
        # The conversion error comes first: no borrow was attempted.
        with pytest.raises(TypeError, match="argument 'data'"):
            msg.data = "x"
    # Python code run by the conversion may read and write the same message.
    class Item:
        def __index__(self):
            msg.is_fd = True
            return len(msg.data) + 7

    msg.data = [Item()]
    assert msg.data == b"\x07"
    assert msg.is_fd is True


def test_internal_borrow_is_released_after_each_call():
    msg = Message(1, [1, 2])
    for action in [lambda: msg.data, lambda: repr(msg), lambda: setattr(msg, "data", [3])]:
        action()
        assert borrow_flag(msg).value == 0
    with pytest.raises(OverflowError):
        msg.data = [999]
    assert borrow_flag(msg).value == 0


def test_arguments_keep_their_reference_counts():
    data = [1, 2, 3]
    channel = "refcount-channel-" + str(id(data))
    timestamp = 12345.678
    objects = [data, channel, timestamp]
    before = [sys.getrefcount(o) for o in objects]
    msgs = [Message(5, data, timestamp=timestamp, channel=channel) for _ in range(100)]
    assert [sys.getrefcount(o) for o in objects] == before
    for _ in range(100):
        with pytest.raises(TypeError):
            Message(5, data, timestamp=timestamp, channel=channel, is_rx=1)
        with pytest.raises(TypeError):
            Message(5, data, channel=data)
        msgs[0].data = data
    assert [sys.getrefcount(o) for o in objects] == before
    del msgs


def test_instances_release_their_type():
    before = sys.getrefcount(Message)
    msgs = [Message(i) for i in range(1000)]
    assert sys.getrefcount(Message) == before + 1000
    del msgs
    assert sys.getrefcount(Message) == before


@unsanitized("its allocator hands out fresh addresses, so the interpreter's attribute cache, "
             "keyed by the address of the name, keeps a name string in each of its slots", "address")
def test_no_memory_growth_over_many_calls():
    def workload():
        msg = Message(0x10, [1, 2, 3], timestamp=1.0, channel="vcan0", is_fd=np.True_)
        msg.data, msg.arbitration_id, msg.is_fd = b"\x05" * 70, 7, False
        _ = (msg.data, msg.channel, msg.timestamp, repr(msg), msg.dlc, msg.is_rx)
        for bad in [{"data": "x"}, {"is_fd": 1}, {"channel": 1}, {"data": [1000]}]:
            try:
                Message(1, **bad)
            except (TypeError, OverflowError):
                pass
        try:
            Message()
        except TypeError:
            pass

    for _ in range(200):
        workload()
    tracemalloc.start()
    try:
        first, _ = tracemalloc.get_traced_memory()
        for _ in range(5000):
            workload()
        second, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert second - first < 20_000


def test_lying_length_does_not_reserve_its_claim():
    class Lying:
        def __len__(self):
            return 2**62

        def __getitem__(self, i):
            if i < 3:
                return i + 1
            raise IndexError

    assert Message(1, Lying()).data == b"\x01\x02\x03"

    class BadLength(Lying):
        def __len__(self):
            raise RuntimeError("no length")

    assert Message(1, BadLength()).data == b"\x01\x02\x03"
