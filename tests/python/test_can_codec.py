"""The CanCodec class against the stand-in SDK: bus task rows, sends, stopping, construction."""

import gc
import itertools
import math
import multiprocessing
import os
import re
import resource
import subprocess
import sys
import textwrap
import time

import orvik_sdk
import pytest

from conftest import unsanitized
from decoder_support import DECODED, ERRORS, RECEIVED, UNKNOWN, causes, counts, rows
from orvik_can._native import (CanCodec, CanDecoder, CyclicSendTask, Message, Metrics, Notifier,
                               VirtualBus)

SIGNATURE = (
    "(database_file=None, source_name=..., timestamp_mode=..., log_raw_frames=None, "
    "emit_schemas_on_init=False, fd=False, bus=None, channel=None, rcvbuf_size=None, "
    "source=None, raw_source=None, database_bytes=None)"
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
"""
STATUS = bytes([0x10, 0x27, 0x02, 0x05])  # Speed 1000.0, Gear 2, Count 5
STATUS_VALUES = {"Speed": 1000.0, "Gear": 2, "Count": 5}
CONSUMED = "VirtualBus already consumed by another CanCodec or Notifier"
NO_BUS = "Either 'bus' (VirtualBus) or 'channel' (SocketCAN interface) must be provided"
PERIOD_TEXT = "send_periodic: 'period' must be a positive finite number of seconds"
ROUNDS_TO_ZERO = "send_periodic: 'period' must round to at least one nanosecond"
TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN"

_names = itertools.count()


def channel_name():
    """A channel name no other test uses, so no frame of another test arrives."""
    return f"codec-test-{next(_names)}"


def wait_for(predicate, what, timeout=10.0):
    """Polls until `predicate()` holds; the bus task runs on the runtime's worker threads."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.001)


@pytest.fixture
def sdk():
    """The stand-in SDK, fresh. Afterwards every codec's task has released its handles (they go
    on a worker thread after the cancel, so this waits), and no contract was broken."""
    orvik_sdk.reset()
    before = orvik_sdk.stats()
    yield orvik_sdk
    gc.collect()

    def settled():
        s = orvik_sdk.stats()
        return (s["live_sources"], s["live_events"]) == (before["live_sources"],
                                                          before["live_events"])

    wait_for(settled, "the SDK handles to be released")
    assert orvik_sdk.stats()["violations"] == []
    orvik_sdk.reset()


def codec_on_new_bus(**kwargs):
    """A codec on a fresh channel, and an observer bus of the same name."""
    name = channel_name()
    codec = CanCodec(database_bytes=DBC, timestamp_mode="absolute", bus=VirtualBus(name),
                     **kwargs)
    return codec, VirtualBus(name)


def wait_counts(codec, **expected):
    wait_for(lambda: all(getattr(codec.metrics(), k) >= v for k, v in expected.items()),
             f"counters {expected}")


# --- surface ----------------------------------------------------------------------------------

def test_signatures_docstrings_and_members():
    assert CanCodec.__text_signature__ == SIGNATURE
    assert CanCodec.__doc__.startswith("CAN codec: reads frames from a bus")
    assert "sys.modules" in CanCodec.__doc__
    assert CanCodec.send.__text_signature__ == "($self, msg)"
    assert CanCodec.send_periodic.__text_signature__ == "($self, msg, period)"
    for name in ("stop", "flush", "metrics"):
        assert getattr(CanCodec, name).__text_signature__ == "($self)"
    assert CanCodec.stop.__doc__.endswith("Stop the codec gracefully.")
    assert CanCodec.metrics.__doc__.endswith("Get current codec metrics.")
    assert "tx_overflows" in CanCodec.send.__doc__
    assert "CyclicSendTask" in CanCodec.send_periodic.__doc__
    assert "No-op" in CanCodec.flush.__doc__
    assert "navigation" in CanCodec.cache.__doc__
    public = [name for name in dir(CanCodec) if not name.startswith("_")]
    assert public == ["cache", "flush", "metrics", "send", "send_periodic", "stop"]
    with pytest.raises(TypeError):
        class Sub(CanCodec):  # noqa: F841
            pass


# --- the bus task -----------------------------------------------------------------------------

def test_frames_sent_on_the_bus_become_rows(sdk):
    codec, other = codec_on_new_bus()
    other.send(0x123, STATUS, timestamp=1.5)
    other.send(0x200, bytes([2, 50, 0, 0, 0, 0, 0, 0]), timestamp=2.0)
    other.send(0x7FF, b"\x01", timestamp=2.5)
    wait_counts(codec, messages_decoded=2, unknown_messages=1)
    assert rows() == [
        ("can", "0123_Status", 1_500_000_000, STATUS_VALUES),
        ("can", "0200_Mux", 2_000_000_000, {"Page": 2}),
        ("can", "0200_Mux/2", 2_000_000_000, {"Temp": 10}),
    ]
    assert counts(codec) == {RECEIVED: 3, DECODED: 2, ERRORS: 0, UNKNOWN: 1}
    assert isinstance(codec.metrics(), Metrics)


def test_own_sends_go_to_every_receiver_whole_and_come_back_decoded(sdk):
    codec, observer = codec_on_new_bus()
    msg = Message(0x123, STATUS, is_fd=True, bitrate_switch=True, timestamp=4.25)
    assert codec.send(msg) is None
    got = observer.recv(timeout=10)
    assert (got.arbitration_id, bytes(got.data), got.dlc, got.timestamp) == (
        0x123, STATUS, 4, 4.25)
    assert (got.is_fd, got.bitrate_switch, got.is_rx, got.is_error_frame) == (
        True, True, True, False)
    wait_counts(codec, messages_decoded=1)
    assert rows() == [("can", "0123_Status", 4_250_000_000, STATUS_VALUES)]
    assert codec.metrics().tx_errors == 0


def test_error_frames_are_ignored(sdk):
    codec, observer = codec_on_new_bus()
    codec.send(Message(0x123, STATUS, is_error_frame=True))
    codec.send(Message(0x123, STATUS, timestamp=1.0))
    assert observer.recv(timeout=10).is_error_frame
    # The codec's receiver gets frames in order: once the second is decoded, the first was
    # handled.
    wait_counts(codec, messages_decoded=1)
    assert counts(codec) == {RECEIVED: 1, DECODED: 1, ERRORS: 0, UNKNOWN: 0}
    assert [r[1] for r in rows()] == ["0123_Status"]


def test_stop_refuses_sends_at_once_and_every_accepted_frame_goes_out(sdk):
    for _ in range(20):
        codec, observer = codec_on_new_bus()
        for i in range(300):
            codec.send(Message(0x123, STATUS[:3] + bytes([i & 0xFF])))
        assert codec.stop() is None
        for call in (lambda: codec.send(Message(0x123, STATUS)),
                     lambda: codec.send_periodic(Message(0x123, STATUS), 0.001)):
            with pytest.raises(RuntimeError, match="^CanCodec stopped$"):
                call()
        assert codec.stop() is None
        got = []
        while len(got) < 300 and (frame := observer.recv(timeout=5)) is not None:
            got.append(frame.data[3])
        assert got == [i & 0xFF for i in range(300)]
    m = codec.metrics()
    assert m.tx_overflows == 0 and m.tx_errors == 0
    assert codec.cache is orvik_sdk.TraceSourceCache("can")
    assert codec.flush() is None


def test_send_refuses_what_is_not_a_message(sdk):
    codec, _ = codec_on_new_bus()
    with pytest.raises(TypeError,
                       match="^argument 'msg': 'int' object cannot be converted to 'Message'$"):
        codec.send(5)
    with pytest.raises(TypeError):
        codec.send()


# --- periodic sends ---------------------------------------------------------------------------

def test_periodic_frames_carry_the_message_and_outlive_nothing_but_the_queue(sdk):
    codec, observer = codec_on_new_bus()
    task = codec.send_periodic(Message(0x123, STATUS, timestamp=7.5, is_rx=False), 0.005)
    assert isinstance(task, CyclicSendTask)
    for _ in range(2):
        got = observer.recv(timeout=10)
        assert (got.arbitration_id, bytes(got.data), got.timestamp, got.is_rx) == (
            0x123, STATUS, 7.5, False)
    wait_counts(codec, messages_decoded=2)
    assert rows()[0] == ("can", "0123_Status", 7_500_000_000, STATUS_VALUES)

    codec.stop()
    # The codec's queue is closed, so the task can send nothing more and says so at once.
    assert task.is_active is False
    task.stop()
    assert task.is_active is False


def test_periodic_arguments_convert_in_order_and_follow_the_period_rule(sdk):
    codec, _ = codec_on_new_bus()
    with pytest.raises(TypeError, match="^argument 'msg': "):
        codec.send_periodic("x", "y")
    with pytest.raises(TypeError, match="^argument 'period': "):
        codec.send_periodic(Message(1), "y")
    for period, text in [(0, PERIOD_TEXT), (-1.0, PERIOD_TEXT), (math.nan, PERIOD_TEXT),
                         (math.inf, PERIOD_TEXT), (4e-10, ROUNDS_TO_ZERO), (2.0**64, TOO_BIG)]:
        with pytest.raises(ValueError) as info:
            codec.send_periodic(Message(1), period)
        assert str(info.value) == text
    task = codec.send_periodic(msg=Message(1), period=1)  # an int is whole seconds
    task.stop()


# --- construction -----------------------------------------------------------------------------

def test_every_argument_by_position_and_keyword(sdk):
    source, raw = sdk.TraceSourceCache("pos"), sdk.TraceSourceCache("pos_raw")
    name = channel_name()
    by_position = CanCodec(None, "pos", "absolute", True, False, False, VirtualBus(name), None,
                           None, source, raw, DBC)
    by_keyword = CanCodec(database_file=None, source_name="pos", timestamp_mode="absolute",
                          log_raw_frames=True, emit_schemas_on_init=False, fd=False,
                          bus=VirtualBus(name), channel=None, rcvbuf_size=1 << 20, source=source,
                          raw_source=raw, database_bytes=DBC)
    VirtualBus(name).send(0x123, STATUS, timestamp=1.0)
    for codec in (by_position, by_keyword):
        wait_counts(codec, messages_decoded=1)
        assert codec.cache is source
    assert sorted((r[0], r[1]) for r in rows()) == [("pos", "0123_Status")] * 2 + [
        ("pos_raw", "can_raw")] * 2


def test_bus_and_channel_together_ignore_the_channel(sdk):
    name = channel_name()
    codec = CanCodec(database_bytes=DBC, bus=VirtualBus(name), channel="can0")
    VirtualBus(name).send(0x123, STATUS)
    wait_counts(codec, messages_decoded=1)


def test_second_codec_on_a_taken_bus_is_refused(sdk):
    bus = VirtualBus(channel_name())
    codec = CanCodec(database_bytes=DBC, bus=bus)
    with pytest.raises(RuntimeError, match=f"^{CONSUMED}$"):
        CanCodec(database_bytes=DBC, bus=bus)
    with pytest.raises(RuntimeError, match="^VirtualBus receiver taken by CanCodec$"):
        bus.recv(timeout=0)
    bus.send(0x123, STATUS)  # the sending side stays with the bus
    wait_counts(codec, messages_decoded=1)


@pytest.mark.parametrize("kwargs, error, text", [
    ({"database_file": "x.dbc", "database_bytes": DBC, "with_bus": True}, ValueError,
     "pass either database_file or database_bytes, not both"),
    ({"database_bytes": DBC, "with_bus": False}, RuntimeError, NO_BUS),
])
def test_failures_before_the_bus_leave_its_receiver(sdk, kwargs, error, text):
    bus = VirtualBus(channel_name())
    args = dict(kwargs)
    if args.pop("with_bus"):
        args["bus"] = bus
    with pytest.raises(error, match=f"^{re.escape(text)}$"):
        CanCodec(**args)
    assert bus.recv(timeout=0) is None  # still its own
    CanCodec(database_bytes=DBC, bus=bus).stop()


# The text is the outermost message; the reasons hang below it as __cause__, innermost last.
@pytest.mark.parametrize("setup, kwargs, text, reasons", [
    (lambda: orvik_sdk.fail("src_handle_from_py"), {},
     "acquire source handle: orvik-sdk ABI call failed: injected src_handle_from_py failure "
     "for 'can'", []),
    (lambda: orvik_sdk.fail("src_handle_from_py", match="can_raw"), {"log_raw_frames": True},
     "acquire source handle: orvik-sdk ABI call failed: injected src_handle_from_py failure "
     "for 'can_raw'", []),
    (lambda: None, {"database_bytes": b"BO_ nonsense"}, "Failed to parse DBC from bytes",
     ['DBC parse error: Syntax { line: 1, column: 5, statement: "BO_", expected: "a message '
      'identifier (an unsigned integer)", found: "nonsense" }']),
    (lambda: None, {"database_bytes": b"\xb0C"}, "DBC bytes are not valid UTF-8",
     ["invalid utf-8 sequence of 1 bytes from index 0"]),
    (lambda: None, {"database_bytes": None, "database_file": "/nonexistent/x.dbc"},
     "Failed to load DBC database from file",
     ["Failed to read DBC file: /nonexistent/x.dbc", "No such file or directory (os error 2)"]),
    (lambda: orvik_sdk.fail("evt_add_event", match="0200_Mux"), {"emit_schemas_on_init": True},
     None, None),
])
def test_failures_from_step_seven_consume_the_bus_and_release_everything(sdk, setup, kwargs, text,
                                                                        reasons):
    bus = VirtualBus(channel_name())
    setup()
    args = {"database_bytes": DBC, "bus": bus, **kwargs}
    with pytest.raises(RuntimeError) as raised:
        CanCodec(**args)
    if text is not None:
        assert str(raised.value) == text
        assert causes(raised.value) == reasons
    else:
        assert str(raised.value).startswith("add_event('0200_Mux')")
    with pytest.raises(RuntimeError, match=f"^{CONSUMED}$"):
        CanCodec(database_bytes=DBC, bus=bus)
    stats = orvik_sdk.stats()
    assert stats["live_sources"] == 0 and stats["live_events"] == 0


@pytest.mark.parametrize("emit", [False, True])
def test_channel_without_bus_is_refused_after_building_everything(sdk, emit):
    with pytest.raises(RuntimeError, match="^SocketCAN is only available on Linux$"):
        CanCodec(database_bytes=DBC, channel="can0", emit_schemas_on_init=emit, fd=True,
                 rcvbuf_size=4096)
    stats = orvik_sdk.stats()
    assert stats["sources_acquired"] == 1 and stats["live_sources"] == 0
    assert stats["events_added"] == (3 if emit else 0) and stats["live_events"] == 0


# The shared arguments convert as CanDecoder's do; these are the codec's own.
@pytest.mark.parametrize("kwargs, error, text", [
    ({"bus": 5}, TypeError, "argument 'bus': 'int' object cannot be converted to 'VirtualBus'"),
    ({"bus": Message(1)}, TypeError,
     "argument 'bus': 'Message' object cannot be converted to 'VirtualBus'"),
    ({"fd": 1}, TypeError, "argument 'fd': 'int' object cannot be converted to 'PyBool'"),
    ({"channel": 0}, TypeError,
     "argument 'channel': 'int' object cannot be converted to 'PyString'"),
    ({"rcvbuf_size": 2**31}, OverflowError, None),
])
def test_argument_conversion_failures_consume_nothing(sdk, kwargs, error, text):
    bus = VirtualBus(channel_name())
    args = {"database_bytes": DBC, "bus": bus, **kwargs}
    with pytest.raises(error) as raised:
        CanCodec(**args)
    if text is not None:
        assert str(raised.value) == text
    assert bus.recv(timeout=0) is None
    assert orvik_sdk.stats()["sources_acquired"] == 0


def test_conversion_runs_in_signature_order(sdk):
    with pytest.raises(TypeError, match="^argument 'fd'"):
        CanCodec(fd=1, bus=5, rcvbuf_size="x", database_bytes="x")
    with pytest.raises(TypeError, match="^argument 'bus'"):
        CanCodec(bus=5, rcvbuf_size="x", database_bytes="x")
    with pytest.raises(TypeError, match="^argument 'rcvbuf_size'"):
        CanCodec(rcvbuf_size="x", database_bytes="x")


# --- cache and attribute fallback -------------------------------------------------------------

def test_attributes_fall_back_to_the_trace_source(sdk):
    codec, _ = codec_on_new_bus(emit_schemas_on_init=True)
    status = codec.Status  # a message name of the stand-in source's navigation
    assert status.name == "0123_Status"
    assert codec.Status.Speed.name == "Speed"
    assert codec.name == "can"  # the source's own attribute
    assert codec.flush.__qualname__ == "CanCodec.flush"  # the codec's own wins
    with pytest.raises(AttributeError) as raised:
        codec.NoSuchMessage
    assert "TraceSource" in str(raised.value)  # the source's exception, not the codec's
    assert getattr(codec, "NoSuchMessage", 42) == 42


def test_cache_is_read_only(sdk):
    codec, _ = codec_on_new_bus()
    with pytest.raises(AttributeError):
        codec.cache = 1
    with pytest.raises(AttributeError):
        del codec.cache
    with pytest.raises(AttributeError):
        codec.anything = 1


# --- references and release -------------------------------------------------------------------

def test_references_are_kept_only_where_needed(sdk):
    source, raw = sdk.TraceSourceCache("refs"), sdk.TraceSourceCache("refs_raw")
    bus = VirtualBus(channel_name())
    refs = [sys.getrefcount(x) for x in (source, raw, bus, DBC)]
    codec = CanCodec(source_name="refs", database_bytes=DBC, bus=bus, source=source,
                     raw_source=raw, log_raw_frames=True)
    # The codec keeps the trace source, and neither the raw source, the bus nor the DBC input.
    assert [sys.getrefcount(x) for x in (source, raw, bus, DBC)] == [
        refs[0] + 1, refs[1], refs[2], refs[3]]
    cache = codec.cache
    assert cache is source
    del cache
    del codec
    assert [sys.getrefcount(x) for x in (source, raw, bus, DBC)] == refs


def test_the_collector_sees_the_trace_source(sdk):
    # A trace source object may refer back to its codec; the collector breaks such a cycle only
    # when the codec reports what it holds.
    source = sdk.TraceSourceCache("gc")
    codec = CanCodec(database_bytes=DBC, bus=VirtualBus(channel_name()), source=source)
    assert gc.is_tracked(codec)
    assert source in gc.get_referents(codec)


def test_deleting_codec_and_bus_releases_handles_and_the_channel(sdk):
    from orvik_can._native import virtual_bus_channel_count

    before = virtual_bus_channel_count()
    codec, observer = codec_on_new_bus(emit_schemas_on_init=True)
    assert virtual_bus_channel_count() == before + 1
    assert orvik_sdk.stats()["live_events"] == 3
    del codec, observer
    gc.collect()
    wait_for(lambda: orvik_sdk.stats()["live_sources"] == 0, "the task to release its handles")
    wait_for(lambda: virtual_bus_channel_count() == before, "the channel to be evicted")
    assert orvik_sdk.stats()["live_events"] == 0


# --- fork and a runtime that cannot start -----------------------------------------------------

INHERITED = "{} was created before fork() and cannot be used in the child process"
BUSY_DECODER = ("CanDecoder was in use when the process forked and cannot be used in the child "
                "process")
HANG_BOUND = 120  # seconds after which a child counts as hung; never a measure of speed


def _forked_child(report, parent):
    """In a fork child: what the child builds works; what it inherited works or raises
    RuntimeError; dropping the inherited objects returns. Reports what each call did."""
    try:
        name = channel_name()
        sender, receiver = VirtualBus(name), VirtualBus(name)
        codec = CanCodec(database_bytes=DBC, timestamp_mode="absolute", bus=VirtualBus(name))
        task = sender.send_periodic(Message(0x123, STATUS), 0.005)
        outcome = {"own frames": sum(receiver.recv(timeout=10) is not None for _ in range(3))}
        wait_counts(codec, messages_decoded=3)
        task.stop()
        codec.stop()

        msg = Message(0x123, STATUS)
        calls = {
            "CanCodec.send": lambda: parent["codec"].send(msg),
            "CanCodec.send_periodic": lambda: parent["codec"].send_periodic(msg, 0.01),
            "CanCodec.stop": lambda: parent["codec"].stop(),
            "CanCodec.metrics": lambda: parent["codec"].metrics(),
            "CyclicSendTask.modify_data": lambda: parent["task"].modify_data(msg),
            "CyclicSendTask.stop": lambda: parent["task"].stop(),
            "CyclicSendTask.is_active": lambda: parent["task"].is_active,
            "VirtualBus.send": lambda: parent["bus"].send(0x123, STATUS),
            "VirtualBus.recv": lambda: parent["bus"].recv(timeout=0.01),
            "VirtualBus.send_periodic": lambda: parent["bus"].send_periodic(msg, 0.01),
            "VirtualBus taken by a CanCodec": lambda: CanCodec(database_bytes=DBC,
                                                               bus=parent["spare bus"]),
            "Notifier.stop": lambda: parent["notifier"].stop(),
            "Notifier.is_active": lambda: parent["notifier"].is_active,
            "CanDecoder.decode_frame": lambda: parent["decoder"].decode_frame(0x123, STATUS),
            "CanDecoder.flush": lambda: parent["decoder"].flush(),
            "listened CanDecoder": lambda: parent["listened"].decode_frame(0x123, STATUS),
        }
        for what, call in calls.items():
            try:
                result = call()
                outcome[what] = result if isinstance(result, bool) else "works"
            except RuntimeError as e:
                outcome[what] = str(e)
        parent.clear()  # the last references: the inherited objects go here
        gc.collect()
        report.send(outcome)
    except BaseException as e:
        report.send(repr(e))


def test_a_fork_child_runs_its_own_work_and_refuses_what_ran_in_the_parent(sdk):
    name = channel_name()
    codec = CanCodec(database_bytes=DBC, timestamp_mode="absolute", bus=VirtualBus(name))
    listened = CanDecoder(database_bytes=DBC, source_name="listened")
    parent = {"codec": codec, "bus": VirtualBus(name), "spare bus": VirtualBus(name),
              "decoder": CanDecoder(database_bytes=DBC, source_name="idle"),
              "listened": listened, "notifier": Notifier(VirtualBus(name), [listened])}
    # Frames the DBC does not know: they keep the parent's tasks busy and never reach the
    # stand-in SDK, whose own lock a fork child would otherwise inherit held at times.
    parent["task"] = parent["bus"].send_periodic(Message(0x7FF, STATUS), 0.001)
    del codec, listened
    wait_counts(parent["codec"], unknown_messages=10)

    ctx = multiprocessing.get_context("fork")
    here, there = ctx.Pipe()
    child = ctx.Process(target=_forked_child, args=(there, parent))
    child.start()
    try:
        assert here.poll(HANG_BOUND), "the fork child hung"
        outcome = here.recv()
        child.join(HANG_BOUND)
        assert child.exitcode == 0
    finally:
        if child.is_alive():
            child.kill()
            child.join()

    assert isinstance(outcome, dict), outcome
    assert outcome.pop("listened CanDecoder") in ("works", BUSY_DECODER)
    # The parent's periodic send and notifier do not run in the child: inactive there.
    works = {"own frames": 3, "CanCodec.metrics": "works", "CyclicSendTask.is_active": False,
             "Notifier.is_active": False, "CanDecoder.decode_frame": "works",
             "CanDecoder.flush": "works"}
    refused = ["CanCodec.send", "CanCodec.send_periodic", "CanCodec.stop",
               "CyclicSendTask.modify_data", "CyclicSendTask.stop", "VirtualBus.send",
               "VirtualBus.recv", "VirtualBus.send_periodic", "VirtualBus taken by a CanCodec",
               "Notifier.stop"]
    assert outcome == {**works, **{what: INHERITED.format(re.split("[ .]", what)[0])
                                   for what in refused}}

    # The parent goes on as before.
    received = parent["codec"].metrics().messages_received
    wait_for(lambda: parent["codec"].metrics().messages_received > received, "more frames")
    assert parent["bus"].recv(timeout=10).arbitration_id == 0x7FF
    assert parent["task"].is_active and parent["notifier"].is_active
    parent["task"].stop()
    parent["notifier"].stop()
    assert parent["listened"].metrics().messages_received > 0


@unsanitized("its shadow memory needs terabytes of address space, which the limit refuses")
def test_a_runtime_whose_workers_cannot_start_fails_every_call_alike_and_leaves_no_thread():
    code = """
        import os
        from orvik_can._native import Message, VirtualBus
        bus = VirtualBus("unstartable")
        threads = len(os.listdir("/proc/self/task"))
        failures = []
        for _ in range(3):
            try:
                bus.send_periodic(Message(1), 0.1)
            except BaseException as e:
                failures.append(f"{type(e).__name__} {isinstance(e, Exception)}: {e}")
        print(len(os.listdir("/proc/self/task")) - threads)
        print(*failures, sep="\\n")
    """
    # Address space for a few hundred 8 MiB thread stacks at most, so the start fails part way.
    limit = 3_000_000 * 1024
    run = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
        timeout=HANG_BOUND, env={**os.environ, "TOKIO_WORKER_THREADS": "1000"},
        preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
    assert (run.returncode, run.stderr) == (0, "")
    # The workers that did start were joined, and later calls start none. The failure is an
    # internal fault, which `except Exception` lets through.
    assert run.stdout.splitlines() == ["0"] + [
        "PanicException False: cannot start the runtime's worker threads: "
        "Resource temporarily unavailable"] * 3
