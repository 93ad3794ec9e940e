"""The CanDecoder class against the stand-in SDK: construction, decoding, timestamps, threads."""

import math
import subprocess
import sys
import textwrap
import threading
import time
import types

import can
import numpy as np
import pytest

import orvik_sdk
from conftest import FIXTURES_DIR, STANDIN_DIR
from decoder_support import DECODED, ERRORS, RECEIVED, UNKNOWN, counts, rows, sdk  # noqa: F401
from decoder_support import causes
from orvik_can._native import CanDecoder, Message, Metrics

SIGNATURE = (
    "(database_file=None, source_name=..., timestamp_mode=..., log_raw_frames=None, "
    "emit_schemas_on_init=False, source=None, raw_source=None, database_bytes=None)"
)
DECODE_FRAME_SIGNATURE = (
    "($self, arbitration_id, data, timestamp_ns=None, is_extended=False, is_fd=False, "
    "is_remote_frame=False)"
)

DBC = b"""VERSION ""

BU_: ECU

BO_ 291 Status: 4 ECU
 SG_ Speed : 0|16@1+ (0.1,0) [0|6553.5] "km/h" ECU
 SG_ Gear : 16|4@1+ (1,0) [0|15] "" ECU
 SG_ Count : 24|8@1+ (1,0) [0|255] "" ECU

BO_ 512 Mux: 8 ECU
 SG_ Page M : 0|8@1+ (1,0) [0|255] "" ECU
 SG_ Temp m2 : 8|8@1- (1,-40) [0|0] "" ECU
 SG_ Level m3 : 16|8@1+ (1,0) [0|0] "" ECU

BO_ 2147486396 Pedals: 2 ECU
 SG_ Throttle : 0|8@1+ (1,0) [0|255] "" ECU

VAL_ 291 Gear 0 "P" 1 "R" 2 "N" 3 "D" ;
VAL_ 512 Page 2 "Engine" ;
"""
EVENTS = ["0123_Status", "0200_Mux", "0200_Mux/Engine", "0200_Mux/3", "00000abc_Pedals"]
STATUS = bytes([0x10, 0x27, 0x02, 0x05])  # Speed 1000.0, Gear 2, Count 5
STATUS_VALUES = {"Speed": 1000.0, "Gear": 2, "Count": 5}


@pytest.fixture
def cache_calls(monkeypatch):
    """Names that TraceSourceCache is called with, in order."""
    calls = []
    real = orvik_sdk.TraceSourceCache

    def recording(*args, **kwargs):
        assert len(args) == 1 and not kwargs
        calls.append(args[0])
        return real(*args)

    monkeypatch.setattr(orvik_sdk, "TraceSourceCache", recording)
    return calls


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=60)


# --- surface ----------------------------------------------------------------------------------

def test_signatures_docstrings_and_members():
    assert CanDecoder.__text_signature__ == SIGNATURE
    first_line = CanDecoder.__doc__.splitlines()[0]
    assert first_line == "Bus-decoupled CAN decoder. Accepts raw frames via `decode_frame()`."
    assert CanDecoder.decode_frame.__text_signature__ == DECODE_FRAME_SIGNATURE
    assert CanDecoder.decode_message.__text_signature__ == "($self, msg)"
    assert CanDecoder.metrics.__text_signature__ == "($self)"
    assert CanDecoder.flush.__text_signature__ == "($self)"
    assert CanDecoder.metrics.__doc__.endswith("Get current codec metrics.")
    assert "nanoseconds" in CanDecoder.decode_frame.__doc__
    assert "duck-typed" in CanDecoder.decode_message.__doc__
    public = [name for name in dir(CanDecoder) if not name.startswith("_")]
    assert public == ["decode_frame", "decode_message", "flush", "metrics"]


def test_every_argument_by_position_and_keyword(sdk):
    source = sdk.TraceSourceCache("pos")
    raw = sdk.TraceSourceCache("pos_raw")
    by_position = CanDecoder(None, "pos", "absolute", True, True, source, raw, DBC)
    by_keyword = CanDecoder(database_file=None, source_name="pos", timestamp_mode="absolute",
                            log_raw_frames=True, emit_schemas_on_init=True, source=source,
                            raw_source=raw, database_bytes=DBC)
    for decoder in (by_position, by_keyword):
        decoder.decode_frame(0x123, STATUS, 7)
    assert [(r[0], r[1], r[2]) for r in rows()] == [
        ("pos_raw", "can_raw", 7), ("pos", "0123_Status", 7)] * 2


# --- decoding into rows -----------------------------------------------------------------------

def test_rows_values_field_names_and_counters(sdk):
    decoder = CanDecoder(database_bytes=DBC, timestamp_mode="absolute")
    frames = [
        (0x123, STATUS, False, [("0123_Status", STATUS_VALUES)]),
        (0x200, bytes([2, 50, 7, 0, 0, 0, 0, 0]), False,
         [("0200_Mux", {"Page": 2}), ("0200_Mux/Engine", {"Temp": 10})]),
        (0x200, bytes([3, 50, 7, 0, 0, 0, 0, 0]), False,
         [("0200_Mux", {"Page": 3}), ("0200_Mux/3", {"Level": 7})]),
        (0xABC, bytes([9, 0]), True, [("00000abc_Pedals", {"Throttle": 9})]),
    ]
    for n, (ident, data, extended, _) in enumerate(frames):
        decoder.decode_frame(ident, data, timestamp_ns=n, is_extended=extended)
    expected = [("can", event, n, values)
                for n, (_, _, _, emitted) in enumerate(frames) for event, values in emitted]
    assert rows() == expected
    assert counts(decoder) == {RECEIVED: 4, DECODED: 4, ERRORS: 0, UNKNOWN: 0}

    events = {e["name"]: e for e in sdk.events()}
    assert list(events) == EVENTS[:3] + ["0200_Mux/3", "00000abc_Pedals"]
    assert events["0123_Status"]["fields"] == ["Speed", "Gear", "Count"]
    assert events["0123_Status"]["value_tables"] == {"Gear": {0: "P", 1: "R", 2: "N", 3: "D"}}
    assert events["0200_Mux"]["value_tables"] == {"Page": {2: "Engine"}}


def test_frames_the_model_cannot_decode_are_counted(sdk):
    decoder = CanDecoder(database_bytes=DBC)
    decoder.decode_frame(0x123, b"\x01")           # shorter than the message
    decoder.decode_frame(0x124, STATUS)            # unknown identifier
    decoder.decode_frame(0x123, STATUS, is_extended=True)  # same number, other kind
    assert rows() == []
    assert counts(decoder) == {RECEIVED: 3, DECODED: 0, ERRORS: 1, UNKNOWN: 2}


@pytest.mark.parametrize("dbc, log_raw, raw_rows, decoded_rows", [
    (None, None, True, False),      # no DBC: raw rows only, by default
    (None, False, False, False),
    (DBC, None, False, True),       # with a DBC raw rows are off by default
    (DBC, True, True, True),
    (b"", None, False, False),      # empty bytes count as a DBC
])
def test_raw_logging_default(sdk, cache_calls, dbc, log_raw, raw_rows, decoded_rows):
    decoder = CanDecoder(database_bytes=dbc, log_raw_frames=log_raw)
    assert cache_calls == (["can", "can_raw"] if raw_rows else ["can"])
    decoder.decode_frame(0x123, STATUS)
    assert [r[:2] for r in rows()] == ([("can_raw", "can_raw")] if raw_rows else []) + (
        [("can", "0123_Status")] if decoded_rows else [])
    assert counts(decoder)[UNKNOWN] == (0 if decoded_rows else 1)


@pytest.mark.parametrize("data, extended, fd", [
    (b"", False, False), (bytes(range(8)), True, False), (bytes(64), False, True),
    (bytes(300), True, True),  # nothing limits the length; dlc keeps 8 bits
])
def test_raw_row_carries_the_frame(sdk, data, extended, fd):
    decoder = CanDecoder(timestamp_mode="absolute")
    decoder.decode_frame(0x1ABCDEF, data, 5, extended, fd, True)
    assert rows() == [("can_raw", "can_raw", 5, {
        "arbitration_id": 0x1ABCDEF, "dlc": len(data) % 256, "is_extended": extended,
        "is_fd": fd, "data": data})]


@pytest.mark.parametrize("data", [b"\x10\x27\x02\x05", bytearray(STATUS), list(STATUS),
                                  tuple(STATUS), np.frombuffer(STATUS, dtype=np.uint8)])
def test_payload_forms(sdk, data):
    CanDecoder(database_bytes=DBC).decode_frame(0x123, data)
    assert [r[3] for r in rows()] == [STATUS_VALUES]


class Id(int):
    pass


class Payload(bytes):
    pass


def runtime_name(text):
    """The same name as a fresh, non-interned str, so keywords must also match by text."""
    return "".join(list(text))


@pytest.mark.parametrize("args, kwargs", [
    ((Id(0x123), Payload(STATUS)), {}),  # int and bytes subclasses take the same fast paths
    ((np.uint32(0x123), bytearray(STATUS)), {}),  # not an int: through __index__
    ((0x123,), {runtime_name("data"): STATUS, runtime_name("is_fd"): False}),
    ((), {"arbitration_id": 0x123, "data": STATUS, "timestamp_ns": None}),
])
def test_argument_forms_decode_alike(sdk, args, kwargs):
    CanDecoder(database_bytes=DBC).decode_frame(*args, **kwargs)
    assert [r[3] for r in rows()] == [STATUS_VALUES]


def test_keyword_given_twice_by_a_runtime_name_is_refused(sdk):
    with pytest.raises(TypeError, match=r"multiple values for argument 'data'"):
        CanDecoder(database_bytes=DBC).decode_frame(0x123, STATUS, **{runtime_name("data"): b""})


def test_source_name_names_both_sources(sdk, cache_calls):
    decoder = CanDecoder(source_name="bench", log_raw_frames=True, database_bytes=DBC,
                         emit_schemas_on_init=True)
    assert cache_calls == ["bench", "bench_raw"]
    assert [(e["source"], e["name"]) for e in sdk.events()][0] == ("bench_raw", "can_raw")
    decoder.decode_frame(0x123, STATUS)
    assert [r[:2] for r in rows()] == [("bench_raw", "can_raw"), ("bench", "0123_Status")]


def test_emit_schemas_on_init_registers_raw_first_then_every_event(sdk):
    decoder = CanDecoder(database_bytes=DBC, log_raw_frames=True, emit_schemas_on_init=True)
    names = [e["name"] for e in sdk.events()]
    assert names[0] == "can_raw"
    assert sorted(names[1:]) == sorted(EVENTS)
    decoder.decode_frame(0x200, bytes([2, 50, 0, 0, 0, 0, 0, 0]))
    assert len(sdk.events()) == len(names)  # already registered: no second registration
    assert sdk.stats()["live_events"] == len(names)


def test_events_register_on_first_use_without_emit_schemas(sdk):
    decoder = CanDecoder(database_bytes=DBC)
    assert sdk.events() == []
    decoder.decode_frame(0x123, STATUS)
    decoder.decode_frame(0x123, STATUS)
    assert [e["name"] for e in sdk.events()] == ["0123_Status"]


# --- construction failures --------------------------------------------------------------------

@pytest.mark.parametrize("event", ["can_raw", "0200_Mux", "0200_Mux/Engine", "00000abc_Pedals"])
def test_refused_registration_fails_construction_and_releases_everything(sdk, event):
    sdk.fail("evt_add_event", times=-1, match=event)
    with pytest.raises(RuntimeError) as info:
        CanDecoder(database_bytes=DBC, log_raw_frames=True, emit_schemas_on_init=True)
    assert str(info.value) == f"add_event('{event}')"  # the outermost message only
    assert causes(info.value) == [f"add_event('{event}'): orvik-sdk ABI call failed: "
                                  f"injected evt_add_event failure for '{event}'"]
    stats = sdk.stats()
    assert stats["live_sources"] == 0 and stats["live_events"] == 0
    assert stats["sources_acquired"] == stats["sources_released"] == 2


BAD_DBC = FIXTURES_DIR / "dbc_bad"
LOAD_FAILED = "Failed to load DBC database from file"


# The text is the outermost message; the reasons hang below it as __cause__, innermost last.
@pytest.mark.parametrize("kwargs, error, text, reasons", [
    ({"database_file": "x.dbc", "database_bytes": DBC}, ValueError,
     "pass either database_file or database_bytes, not both", []),
    ({"database_file": "", "database_bytes": b""}, ValueError,
     "pass either database_file or database_bytes, not both", []),
    ({"database_file": "/nonexistent/x.dbc"}, RuntimeError, LOAD_FAILED,
     ["Failed to read DBC file: /nonexistent/x.dbc", "No such file or directory (os error 2)"]),
    ({"database_file": str(BAD_DBC)}, RuntimeError, LOAD_FAILED,
     [f"Failed to read DBC file: {BAD_DBC}", "Is a directory (os error 21)"]),
    ({"database_file": str(BAD_DBC / "missing_colon_after_message_name.dbc")}, RuntimeError,
     LOAD_FAILED, ['DBC parse error: Syntax { line: 1, column: 11, statement: "BO_", '
                   'expected: "\':\'", found: "8 Gateway" }']),
    # "caf\xE9": an 'é' saved as Windows-1252.
    ({"database_file": str(BAD_DBC / "invalid_utf8.dbc")}, RuntimeError, LOAD_FAILED,
     [f"Failed to read DBC file: {BAD_DBC / 'invalid_utf8.dbc'}",
      "stream did not contain valid UTF-8",
      "invalid utf-8 sequence of 1 bytes from index 53 (line 2, column 33)"]),
    ({"database_bytes": b"VERSION \"\xff\""}, RuntimeError, "DBC bytes are not valid UTF-8",
     ["invalid utf-8 sequence of 1 bytes from index 9"]),
    ({"database_bytes": b"BO_ nonsense"}, RuntimeError, "Failed to parse DBC from bytes",
     ['DBC parse error: Syntax { line: 1, column: 5, statement: "BO_", expected: "a message '
      'identifier (an unsigned integer)", found: "nonsense" }']),
])
def test_construction_failures(sdk, cache_calls, kwargs, error, text, reasons):
    with pytest.raises(error) as info:
        CanDecoder(**kwargs)
    assert str(info.value) == text
    assert causes(info.value) == reasons
    stats = sdk.stats()
    if error is ValueError:  # before any source is resolved
        assert cache_calls == [] and stats["sources_acquired"] == 0
    else:  # after the handles were acquired: all released again
        assert cache_calls == ["can"]
        assert stats["sources_acquired"] == stats["sources_released"] == 1


@pytest.mark.parametrize("fail_name, acquired", [("can", 0), ("can_raw", 1)])
def test_source_handle_refused(sdk, fail_name, acquired):
    sdk.fail("src_handle_from_py", match=fail_name)
    with pytest.raises(RuntimeError) as info:
        CanDecoder()
    assert str(info.value) == ("acquire source handle: orvik-sdk ABI call failed: "
                               f"injected src_handle_from_py failure for '{fail_name}'")
    stats = sdk.stats()
    assert stats["sources_acquired"] == acquired and stats["live_sources"] == 0


def test_given_source_is_used_as_is(sdk, cache_calls):
    mine = sdk.TraceSourceCache("mine")
    cache_calls.clear()
    decoder = CanDecoder(database_bytes=DBC, source=mine, raw_source=object())
    assert cache_calls == []  # raw logging off: raw_source is never looked at
    decoder.decode_frame(0x123, STATUS)
    assert [r[0] for r in rows()] == ["mine"]

    with pytest.raises(RuntimeError) as info:
        CanDecoder(database_bytes=DBC, source=object())
    assert str(info.value).startswith("acquire source handle: ")
    assert "expected a source from TraceSourceCache, got 'object'" in str(info.value)


def test_raw_source_name_follows_source_name_not_the_given_source(sdk, cache_calls):
    mine = sdk.TraceSourceCache("mine")
    cache_calls.clear()
    CanDecoder(source=mine)
    assert cache_calls == ["can_raw"]


@pytest.mark.parametrize("patch, error", [
    (lambda m: m.delattr(orvik_sdk, "TraceSourceCache"), AttributeError),
    (lambda m: m.setattr(orvik_sdk, "TraceSourceCache", lambda name: 1 / 0), ZeroDivisionError),
])
def test_sdk_failures_while_resolving_pass_unchanged(sdk, monkeypatch, patch, error):
    patch(monkeypatch)
    with pytest.raises(error):
        CanDecoder()
    assert sdk.stats()["sources_acquired"] == 0


def test_sdk_not_importable():
    proc = run_python(
        """
        import sys
        sys.path[:] = [p for p in sys.path if "standin" not in p]
        sys.modules.pop("orvik_sdk", None)
        from orvik_can._native import CanDecoder
        try:
            CanDecoder()
        except RuntimeError as exc:
            print(exc)
        # A given source needs no import; without the SDK the handle cannot be acquired.
        try:
            CanDecoder(database_bytes=b"", source=object())
        except RuntimeError as exc:
            print(exc)
        """
    )
    assert proc.returncode == 0, proc.stderr
    first, second = proc.stdout.splitlines()
    assert first == ("orvik-sdk not importable \u2014 required by orvik-can; original error: "
                     "ModuleNotFoundError: No module named 'orvik_sdk'")
    assert second.startswith("acquire source handle: ")


@pytest.mark.parametrize("kwargs, error, text", [
    ({"database_file": 1}, TypeError,
     "argument 'database_file': 'int' object cannot be converted to 'PyString'"),
    ({"source_name": None}, TypeError,
     "argument 'source_name': 'NoneType' object cannot be converted to 'PyString'"),
    ({"timestamp_mode": b"auto"}, TypeError,
     "argument 'timestamp_mode': 'bytes' object cannot be converted to 'PyString'"),
    ({"log_raw_frames": 1}, TypeError,
     "argument 'log_raw_frames': 'int' object cannot be converted to 'PyBool'"),
    ({"emit_schemas_on_init": None}, TypeError,
     "argument 'emit_schemas_on_init': 'NoneType' object cannot be converted to 'PyBool'"),
    ({"database_bytes": "VERSION"}, TypeError,
     "argument 'database_bytes': Can't extract `str` to `Vec`"),
    ({"database_bytes": [1, 256]}, OverflowError, None),
    ({"nope": 1}, TypeError, "CanDecoder() got an unexpected keyword argument 'nope'"),
])
def test_argument_conversion_failures(sdk, cache_calls, kwargs, error, text):
    with pytest.raises(error) as info:
        CanDecoder(**kwargs)
    if text is not None:
        assert str(info.value) == text
    assert cache_calls == []


def test_conversion_runs_in_signature_order(sdk):
    with pytest.raises(TypeError, match="argument 'log_raw_frames'"):
        CanDecoder(database_bytes="text", log_raw_frames=0)


def test_flags_accept_numpy_booleans(sdk, cache_calls):
    CanDecoder(database_bytes=DBC, log_raw_frames=np.bool_(True),
               emit_schemas_on_init=np.bool_(False))
    assert cache_calls == ["can", "can_raw"]
    assert sdk.events() == []


def test_unknown_timestamp_mode_constructs_in_auto_mode(sdk):
    decoder = CanDecoder(timestamp_mode="monotonic")
    decoder.decode_frame(1, b"", timestamp_ns=12_250_000_000)
    assert abs(rows()[0][2] - time.time_ns()) < 5 * 10**9  # shifted onto the wall clock


# --- decode_frame ------------------------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, error, text", [
    (("x", b""), {}, TypeError,
     "argument 'arbitration_id': 'str' object cannot be interpreted as an integer"),
    ((-1, b""), {}, OverflowError, None),
    ((2**32, b""), {}, OverflowError, None),
    ((1, "abc"), {}, TypeError, "argument 'data': Can't extract `str` to `Vec`"),
    ((1, 5), {}, TypeError, "argument 'data': 'int' object cannot be converted to 'Sequence'"),
    ((1, None), {}, TypeError,
     "argument 'data': 'NoneType' object cannot be converted to 'Sequence'"),
    ((1, [1, 256]), {}, OverflowError, None),
    ((1, b""), {"timestamp_ns": 1.5}, TypeError,
     "argument 'timestamp_ns': 'float' object cannot be interpreted as an integer"),
    ((1, b""), {"timestamp_ns": 2**63}, OverflowError, None),
    ((1, b""), {"is_extended": 1}, TypeError,
     "argument 'is_extended': 'int' object cannot be converted to 'PyBool'"),
    ((1, b""), {"is_fd": None}, TypeError,
     "argument 'is_fd': 'NoneType' object cannot be converted to 'PyBool'"),
    ((1, b""), {"is_remote_frame": "yes"}, TypeError,
     "argument 'is_remote_frame': 'str' object cannot be converted to 'PyBool'"),
    ((1,), {}, TypeError,
     "CanDecoder.decode_frame() missing 1 required positional argument: 'data'"),
    ((1, b"", None, False, False, False, 7), {}, TypeError,
     "CanDecoder.decode_frame() takes from 3 to 7 positional arguments but 8 were given"),
])
def test_decode_frame_refuses_bad_arguments(sdk, args, kwargs, error, text):
    decoder = CanDecoder(database_bytes=DBC)
    with pytest.raises(error) as info:
        decoder.decode_frame(*args, **kwargs)
    if text is not None:
        assert str(info.value) == text
    assert counts(decoder)[RECEIVED] == 0


@pytest.mark.parametrize("timestamp_ns", [1_500_000_000, 0, -5, -1_500_000_001, 1, 2**63 - 1,
                                          -(2**63), 1_234_567_891])
def test_timestamp_ns_becomes_seconds(sdk, timestamp_ns):
    decoder = CanDecoder(timestamp_mode="absolute")
    decoder.decode_frame(1, b"", timestamp_ns)
    expected = max(min(math.trunc((timestamp_ns / 1e9) * 1e9), 2**63 - 1), -(2**63))
    assert rows()[0][2] == expected
    if timestamp_ns == 1_500_000_000:
        assert expected == 1_500_000_000  # 1.5 s


def test_timestamp_ns_of_epoch_scale_keeps_double_precision(sdk):
    decoder = CanDecoder(timestamp_mode="absolute")
    now = time.time_ns()
    decoder.decode_frame(1, b"", now)
    assert abs(rows()[0][2] - now) < 1000


@pytest.mark.parametrize("mode", ["auto", "absolute", "ignore"])
def test_no_timestamp_uses_the_wall_clock(sdk, mode):
    decoder = CanDecoder(timestamp_mode=mode)
    before = time.time_ns()
    decoder.decode_frame(0x123, b"")
    after = time.time_ns()
    assert before <= rows()[0][2] <= after


def test_ignore_mode_ignores_timestamps(sdk):
    decoder = CanDecoder(timestamp_mode="IGNORE")
    before = time.time_ns()
    decoder.decode_frame(1, b"", 5)
    assert before <= rows()[0][2] <= time.time_ns()


def test_auto_mode_detects_on_the_first_timestamped_frame(sdk):
    decoder = CanDecoder(timestamp_mode="System")
    before = time.time_ns()
    decoder.decode_frame(1, b"")                    # wall clock; not the first timestamp
    decoder.decode_frame(1, b"", 12_250_000_000)    # 12.25 s since boot: shifted to now
    decoder.decode_frame(1, b"", 13_250_000_000)
    after = time.time_ns()
    times = [r[2] for r in rows()]
    assert before <= times[0] <= after
    assert before - 10**6 <= times[1] <= after + 10**6
    assert abs(times[2] - times[1] - 10**9) < 10**4

    wall = CanDecoder()
    now = time.time_ns()
    wall.decode_frame(1, b"", now)                  # already wall-clock time: used as is
    assert abs(rows()[3][2] - now) < 1000


# --- decode_message ----------------------------------------------------------------------------

def message(**fields):
    return types.SimpleNamespace(**fields)


class property_raising:
    """A message field whose read raises `error`."""

    def __init__(self, error):
        self.error = error


def shaped_message(**fields):
    """A message of a class of its own, whose property_raising fields raise when read."""
    def raiser(error):
        def read(_):
            raise error("read failed")
        return property(read)

    attrs = {name: raiser(value.error) if isinstance(value, property_raising) else value
             for name, value in fields.items()}
    return type("Shaped", (), attrs)()


class Failing:
    """A field value whose conversion raises `error` at `where`: "len", "item" or "float"."""

    def __init__(self, where, error=KeyboardInterrupt):
        self.where, self.error = where, error

    def __float__(self):
        raise self.error

    def __len__(self):
        if self.where == "len":
            raise self.error
        return 1

    def __getitem__(self, i):
        if self.where == "item":
            raise self.error
        if i > 0:
            raise IndexError
        return 7


class InterruptingType(type):
    """A flag's type that raises KeyboardInterrupt when asked for its module."""

    def __getattribute__(cls, name):
        if name == "__module__":
            raise KeyboardInterrupt
        return super().__getattribute__(name)


def raw_row(decoder, msg):
    orvik_sdk.reset()
    decoder.decode_message(msg)
    (row,) = rows()
    return row


def test_python_can_messages_go_in_unchanged(sdk):
    decoder = CanDecoder(database_bytes=DBC, log_raw_frames=True, timestamp_mode="absolute")
    msg = can.Message(arbitration_id=0x123, data=STATUS, timestamp=2.0000000019,
                      is_extended_id=False)
    decoder.decode_message(msg)
    assert rows() == [
        ("can_raw", "can_raw", 2_000_000_001,
         {"arbitration_id": 0x123, "dlc": 4, "is_extended": False, "is_fd": False,
          "data": STATUS}),
        ("can", "0123_Status", 2_000_000_001, STATUS_VALUES),
    ]
    fd = can.Message(arbitration_id=0xABC, data=bytes(12), is_extended_id=True, is_fd=True,
                     timestamp=3.5)
    decoder.decode_message(fd)
    assert rows()[2] == ("can_raw", "can_raw", 3_500_000_000,
                         {"arbitration_id": 0xABC, "dlc": 12, "is_extended": True, "is_fd": True,
                          "data": bytes(12)})


def test_our_message_class_goes_in_too(sdk):
    decoder = CanDecoder(database_bytes=DBC, timestamp_mode="absolute")
    decoder.decode_message(Message(0x123, STATUS, timestamp=4.0))
    assert rows() == [("can", "0123_Status", 4_000_000_000, STATUS_VALUES)]


@pytest.mark.parametrize("timestamp", [None, 0.0, -1.0, float("nan"), "soon", object()])
def test_message_without_a_usable_timestamp_uses_the_wall_clock(sdk, timestamp):
    decoder = CanDecoder(timestamp_mode="absolute")
    before = time.time_ns()
    row = raw_row(decoder, message(arbitration_id=1, data=b"", timestamp=timestamp))
    assert before <= row[2] <= time.time_ns()


def test_message_timestamp_saturates(sdk):
    decoder = CanDecoder(timestamp_mode="absolute")
    assert raw_row(decoder, message(arbitration_id=1, timestamp=1e300))[2] == 2**63 - 1
    assert raw_row(decoder, message(arbitration_id=1, timestamp=float("inf")))[2] == 2**63 - 1


@pytest.mark.parametrize("fields, expected", [
    ({}, {"data": b"", "dlc": 0}),                                  # no data attribute
    ({"data": "abc"}, {"data": b"", "dlc": 0}),
    ({"data": None}, {"data": b"", "dlc": 0}),
    ({"data": 7}, {"data": b"", "dlc": 0}),
    ({"data": [1, 300]}, {"data": b"", "dlc": 0}),
    ({"data": [1, 2]}, {"data": b"\x01\x02", "dlc": 2}),
    ({"data": bytearray(b"\x05")}, {"data": b"\x05", "dlc": 1}),
    ({"is_fd": 1}, {"is_fd": False}),                               # not a bool: false
    ({"is_fd": True}, {"is_fd": True}),
    ({"is_extended_id": np.bool_(True)}, {"is_extended": True}),
    ({"is_extended_id": None}, {"is_extended": False}),
    # Never read: the payload gives dlc. An error flag that is not a bool is no error frame.
    ({"data": b"\x01", "dlc": 8, "is_error_frame": 1, "is_rx": False, "channel": 5},
     {"data": b"\x01", "dlc": 1}),
    # An ordinary exception from a property reads as an absent value, and from a payload's
    # len() only costs the size hint.
    ({"data": property_raising(RuntimeError)}, {}),
    ({"is_fd": property_raising(ValueError)}, {}),
    ({"data": Failing("len", ValueError)}, {"data": b"\x07", "dlc": 1}),
])
def test_message_attributes_fall_back(sdk, fields, expected):
    decoder = CanDecoder()
    row = raw_row(decoder, shaped_message(arbitration_id=0x42, **fields))
    defaults = {"arbitration_id": 0x42, "dlc": 0, "is_extended": False, "is_fd": False,
                "data": b""}
    assert row[3] == {**defaults, **expected}
    assert counts(decoder)[RECEIVED] == 1


def test_error_frame_message_gives_no_row_and_counts_nothing(sdk):
    """Bus-error records of a replayed log are skipped, as a codec skips them on a bus."""
    decoder = CanDecoder(database_bytes=DBC, log_raw_frames=True, timestamp_mode="auto")
    decoder.decode_message(Message(0x123, STATUS, is_error_frame=True))
    decoder.decode_message(can.Message(arbitration_id=0x123, data=STATUS, is_extended_id=False,
                                       is_error_frame=True, timestamp=5.0))
    decoder.decode_message(can.Message(arbitration_id=0, is_error_frame=True))
    decoder.decode_message(message(arbitration_id=0x123, data=STATUS,
                                   is_error_frame=np.bool_(True)))
    assert rows() == []
    assert counts(decoder) == {RECEIVED: 0, DECODED: 0, ERRORS: 0, UNKNOWN: 0}
    # The error frame's timestamp (5 s) did not fix the auto mode: this one, within 15 s of the
    # wall clock, is used as it is.
    now = time.time_ns()
    decoder.decode_message(Message(0x123, STATUS, timestamp=now / 1e9))
    assert [(r[1], abs(r[2] - now) < 10**6) for r in rows()] == [("can_raw", True),
                                                                  ("0123_Status", True)]


@pytest.mark.parametrize("field, value", [
    *[pytest.param(field, property_raising(error), id=f"{field}-{error.__name__}")
      for field in ("data", "is_extended_id", "is_fd", "is_remote_frame", "is_error_frame",
                    "timestamp")
      for error in (KeyboardInterrupt, SystemExit)],
    *[pytest.param(field, Failing(where), id=f"{field}-{where}")
      for field, where in (("data", "len"), ("data", "item"), ("timestamp", "float"))],
    pytest.param("is_fd", InterruptingType("Flag", (), {})(), id="is_fd-type"),
])
def test_an_exception_that_is_not_an_exception_goes_through(sdk, field, value):
    """Ctrl-C while a message is read stops a replay; an ordinary failure only blanks a field."""
    error = value.error if isinstance(value, property_raising) else KeyboardInterrupt
    decoder = CanDecoder(database_bytes=DBC)
    fields = {"arbitration_id": 0x123, "data": STATUS, field: value}
    with pytest.raises(error):
        decoder.decode_message(shaped_message(**fields))
    assert counts(decoder)[RECEIVED] == 0


@pytest.mark.parametrize("msg, error, text", [
    (message(data=b""), AttributeError, None),
    (message(arbitration_id="x"), TypeError, "'str' object cannot be interpreted as an integer"),
    (message(arbitration_id=-1), OverflowError, None),
    (message(arbitration_id=2**32), OverflowError, None),
    (None, AttributeError, None),
])
def test_message_without_a_usable_identifier_raises(sdk, msg, error, text):
    decoder = CanDecoder()
    with pytest.raises(error) as info:
        decoder.decode_message(msg)
    if text is not None:
        assert str(info.value) == text
    assert counts(decoder)[RECEIVED] == 0


def test_decode_message_takes_one_argument(sdk):
    decoder = CanDecoder()
    with pytest.raises(TypeError) as info:
        decoder.decode_message()
    assert str(info.value) == ("CanDecoder.decode_message() missing 1 required positional "
                               "argument: 'msg'")
    decoder.decode_message(msg=message(arbitration_id=1))


def test_message_attributes_are_read_in_order(sdk):
    seen = []

    class Probe:
        def __getattr__(self, name):
            seen.append(name)
            return {"arbitration_id": 1, "timestamp": 1.0}.get(name, False)

    CanDecoder().decode_message(Probe())
    assert seen == ["arbitration_id", "data", "is_extended_id", "is_fd", "is_remote_frame",
                    "is_error_frame", "timestamp"]


# --- metrics, flush, threads, references ------------------------------------------------------

def test_metrics_are_snapshots(sdk):
    decoder = CanDecoder(database_bytes=DBC)
    first = decoder.metrics()
    decoder.decode_frame(0x123, STATUS)
    assert isinstance(first, Metrics) and first.messages_received == 0
    assert decoder.metrics().messages_received == 1
    assert decoder.metrics() is not decoder.metrics()


def test_each_decoder_counts_on_its_own(sdk):
    a, b = CanDecoder(database_bytes=DBC), CanDecoder(database_bytes=DBC)
    a.decode_frame(0x123, STATUS)
    assert counts(a)[RECEIVED] == 1 and counts(b)[RECEIVED] == 0


def test_flush_returns_none_and_emits_nothing(sdk):
    decoder = CanDecoder(database_bytes=DBC)
    assert decoder.flush() is None
    decoder.decode_frame(0x123, STATUS)
    assert decoder.flush() is None
    assert len(rows()) == 1 and counts(decoder)[RECEIVED] == 1


def test_decodes_from_many_threads_serialise(sdk):
    decoder = CanDecoder(database_bytes=DBC, log_raw_frames=True)
    threads_n, frames_n = 8, 500
    start = threading.Barrier(threads_n + 1)
    errors = []

    def feed(k):
        start.wait()
        try:
            for i in range(frames_n):
                if i % 2:
                    decoder.decode_frame(0x123, STATUS)
                else:
                    decoder.decode_message(Message(0x200, bytes([k % 4, 1, 2, 0, 0, 0, 0, 0])))
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=feed, args=(k,)) for k in range(threads_n)]
    for t in threads:
        t.start()
    start.wait()
    while any(t.is_alive() for t in threads):  # other methods meanwhile: never a borrow error
        decoder.metrics()
        decoder.flush()
    for t in threads:
        t.join()
    assert errors == []
    total = threads_n * frames_n
    assert counts(decoder) == {RECEIVED: total, DECODED: total, ERRORS: 0, UNKNOWN: 0}
    mux_rows = sum(1 for k in range(threads_n) if k % 4 in (2, 3)) * frames_n // 2
    assert sdk.stats()["rows"] == total * 2 + mux_rows
    assert sorted(e["name"] for e in sdk.events()) == sorted(
        ["can_raw", "0123_Status", "0200_Mux", "0200_Mux/Engine", "0200_Mux/3"])


def test_arguments_keep_their_reference_counts(sdk):
    source = sdk.TraceSourceCache("refs")
    raw = sdk.TraceSourceCache("refs_raw")
    dbc = bytes(DBC)
    held = [source, raw, dbc]
    before = [sys.getrefcount(x) for x in held]
    decoder = CanDecoder(database_bytes=dbc, source=source, raw_source=raw, log_raw_frames=True)
    data, ident, ts = bytes(STATUS), int("291"), 10**12 + 1
    msg = can.Message(arbitration_id=0x123, data=STATUS, timestamp=1.0)
    frame_args = [data, ident, ts, msg, msg.data]
    frame_before = [sys.getrefcount(x) for x in frame_args]
    for _ in range(10):
        decoder.decode_frame(ident, data, ts)
        decoder.decode_message(msg)
    for bad in ("str", None):
        with pytest.raises(TypeError):
            decoder.decode_frame(ident, bad, ts)
    assert [sys.getrefcount(x) for x in frame_args] == frame_before
    del decoder
    with pytest.raises(RuntimeError):  # a failed construction gives its references back too
        CanDecoder(database_bytes=dbc + b"\xff", source=source, raw_source=raw)
    with pytest.raises(ValueError):
        CanDecoder(database_file="x", database_bytes=dbc, source=source)
    assert [sys.getrefcount(x) for x in held] == before


def test_deleting_the_decoder_releases_its_handles(sdk):
    decoder = CanDecoder(database_bytes=DBC, log_raw_frames=True, emit_schemas_on_init=True)
    stats = sdk.stats()
    assert (stats["live_sources"], stats["live_events"]) == (2, 1 + len(EVENTS))
    del decoder
    stats = sdk.stats()
    assert (stats["live_sources"], stats["live_events"]) == (0, 0)



def test_first_construction_in_a_sub_interpreter_finds_the_sdk():
    # The module imported first in a sub-interpreter: the first construction looks the SDK up
    # while that interpreter holds the lock, and must neither hang nor fail.
    proc = run_python(f"""
        import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        interpreters.run_string(interp, '''
        import sys
        sys.path.insert(0, {str(STANDIN_DIR)!r})
        import orvik_sdk
        import orvik_can._native as n
        d = n.CanDecoder(database_bytes=b'BO_ 256 M: 1 X\\\\n SG_ S : 0|8@1+ (1,0) [0|0] "" X\\\\n')
        d.decode_frame(256, b"\\\\x05")
        print(d.metrics().messages_decoded)
        ''')
        # Ended here, not at exit: finalising a live sub-interpreter that holds buffered output
        # hangs once libarrow's allocator thread runs.
        interpreters.destroy(interp)
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "1"
