"""Frames the whole way through: cantools-encoded frames reach the trace SDK as the rows cantools
decodes, whether they travel a VirtualBus into a CanCodec, go to CanDecoder.decode_frame, or pass a
Notifier with a CanDecoder listener; python-can's own Messages decode as they are; the demo runs;
and once every object is gone and its tasks have ended, nothing is left open.
"""

import gc
import itertools
import os
import random
import re
import subprocess
import sys
import time

import can
import orvik_sdk
import pytest

import orvik_can._native as native
from cantools_support import corpus_requests, load_for_decoding
from conftest import CORPUS_DIR, ROOT, STANDIN_DIR
from orvik_can._native import CanDecoder
from test_can_decoder_corpus import column_types, entries
from test_process_frame_corpus import check_rows

DEMO_DBC = ROOT / "examples" / "demo.dbc"
DEMO_SCRIPT = ROOT / "examples" / "demo.py"
# Our own DBC (long names, IEEE floats, an extended Motorola message, a labelled multiplexor) and a
# few corpus files with multiplexed and extended messages.
CORPUS_PICKS = ["dbc/gm_global_a_object.dbc", "dbc/tesla_model3_vehicle.dbc",
                "dbc/toyota_adas.dbc"]
FILES = [DEMO_DBC] + [CORPUS_DIR / name for name in CORPUS_PICKS if (CORPUS_DIR / name).exists()]

BUS_CLASSES = ("VirtualBus", "CanCodec", "Notifier", "virtual_bus_channel_count")
needs_buses = pytest.mark.skipif(not all(hasattr(native, name) for name in BUS_CLASSES),
                                 reason="this build has no VirtualBus, CanCodec or Notifier")
SETTLE_SECONDS = 10.0
channel_names = (f"e2e-{n}" for n in itertools.count())


def wait_until(condition, seconds=SETTLE_SECONDS):
    """Polls condition() until it holds or the time is up; its last result."""
    deadline = time.monotonic() + seconds
    while not (held := condition()) and time.monotonic() < deadline:
        time.sleep(0.002)
    return held


def channel_count():
    return native.virtual_bus_channel_count() if hasattr(native, "virtual_bus_channel_count") else 0


@pytest.fixture
def sdk():
    """The stand-in SDK, fresh. Afterwards, once the test's objects are gone and their background
    tasks have ended, no channel is open, no SDK handle is live and no contract was broken."""
    orvik_sdk.reset()
    channels = channel_count()
    before = orvik_sdk.stats()

    # Objects of earlier tests may still be ending in the background, so the counts may fall
    # below where they started; this test must leave nothing of its own behind.
    def settled():
        now = orvik_sdk.stats()
        return (channel_count() <= channels and now["live_sources"] <= before["live_sources"]
                and now["live_events"] <= before["live_events"])

    yield orvik_sdk
    gc.collect()
    wait_until(settled)
    after = orvik_sdk.stats()
    assert after["violations"] == []
    assert channel_count() <= channels
    assert after["live_sources"] <= before["live_sources"]
    assert after["live_events"] <= before["live_events"]
    orvik_sdk.reset()


def rows_of(source):
    return [row for row in orvik_sdk.rows() if row[0] in (source, f"{source}_raw")]


def by_time(rows, count):
    """Rows grouped by frame: frame n (from 1) was given the timestamp n seconds."""
    groups = {n: [] for n in range(1, count + 1)}
    for row in rows:
        seconds, rest = divmod(row[2], 10**9)
        assert rest == 0 and seconds in groups, f"row at an unexpected time: {row}"
        groups[seconds].append(row)
    return [groups[n] for n in range(1, count + 1)]


def check_frames(requests, frames_rows, source):
    """Each frame's rows against cantools: the raw row, then the base event's row and the selected
    multiplexed event's. Returns the counter totals the frames call for."""
    types = column_types(orvik_sdk.events())
    decoded = errors = 0
    for (key, data, message), rows in zip(requests, frames_rows, strict=True):
        where = f"{message.name} {data.hex()} via {source}"
        assert rows and rows[0] == (f"{source}_raw", "can_raw", rows[0][2], {
            "arbitration_id": key[0], "dlc": len(data) % 256, "is_extended": key[1],
            "is_fd": False, "data": data}), where
        assert all(row[0] == source for row in rows[1:]), where

        values = {event: entries(vals, types[event]) for _, event, _, vals in rows[1:]}
        events = [event for _, event, _, _ in rows[1:]]
        base_written, frame_errors = check_rows(key, message, data, events, values, where)
        decoded += base_written
        errors += frame_errors
    return {"messages_received": len(requests), "messages_decoded": decoded,
            "decode_errors": errors, "unknown_messages": 0}


def counters(metrics):
    return {name: getattr(metrics, name)
            for name in ("messages_received", "messages_decoded", "decode_errors",
                         "unknown_messages")}


def decoder_for(path, source):
    return CanDecoder(database_file=str(path), source_name=source, log_raw_frames=True,
                      timestamp_mode="absolute")


# --- The three roads ------------------------------------------------------------------------------
# Each sends frame n with the timestamp n seconds and returns the counters once every row is in.

def through_codec(path, requests, source):
    name = next(channel_names)
    bus, sender = native.VirtualBus(name), native.VirtualBus(name)
    codec = native.CanCodec(database_file=str(path), source_name=source, log_raw_frames=True,
                            timestamp_mode="absolute", bus=bus)
    for n, (key, data, _) in enumerate(requests, start=1):
        sender.send(key[0], data, float(n), key[1])
    assert wait_until(lambda: codec.metrics().messages_received == len(requests))
    # The task releases its SDK handles only after its last step: then every row is in.
    live = orvik_sdk.stats()["live_sources"]
    codec.stop()
    assert wait_until(lambda: orvik_sdk.stats()["live_sources"] == live - 2)
    return counters(codec.metrics())


def through_decoder(path, requests, source):
    decoder = decoder_for(path, source)
    for n, (key, data, _) in enumerate(requests, start=1):
        decoder.decode_frame(key[0], data, n * 10**9, key[1])
    return counters(decoder.metrics())


def through_notifier(path, requests, source):
    name = next(channel_names)
    bus, sender = native.VirtualBus(name), native.VirtualBus(name)
    decoder = decoder_for(path, source)
    notifier = native.Notifier(bus, [decoder], recv_buffer_size=len(requests) + 1)
    for n, (key, data, _) in enumerate(requests, start=1):
        sender.send(key[0], data, float(n), key[1])
    assert wait_until(lambda: decoder.metrics().messages_received == len(requests))
    decoder.flush()  # the dispatcher's last step has ended
    notifier.stop()
    return counters(decoder.metrics())


@needs_buses
@pytest.mark.parametrize("path", FILES, ids=lambda p: p.name)
def test_every_road_gives_the_rows_cantools_decodes(path, sdk, monkeypatch):
    db = load_for_decoding(path, monkeypatch)
    requests = corpus_requests(db, random.Random(path.name))

    results = {}
    for source, road in (("codec", through_codec), ("decoder", through_decoder),
                         ("notifier", through_notifier)):
        got = road(path, requests, source)
        frames_rows = by_time(rows_of(source), len(requests))
        assert got == check_frames(requests, frames_rows, source), source
        results[source] = [[(event, time_ns, values) for _, event, time_ns, values in rows]
                           for rows in frames_rows]
    # The same frames give the very same rows on every road (compared as text, so NaN equals NaN).
    assert repr(results["codec"]) == repr(results["decoder"]) == repr(results["notifier"])


@pytest.mark.parametrize("path", FILES, ids=lambda p: p.name)
def test_python_can_messages_decode_as_they_are(path, sdk, monkeypatch):
    """Messages that python-can's virtual bus delivers go into decode_message unconverted."""
    db = load_for_decoding(path, monkeypatch)
    requests = corpus_requests(db, random.Random(path.name))[:200]
    decoder = decoder_for(path, "pycan")
    channel = next(channel_names)
    frames_rows = []
    with can.Bus(interface="virtual", channel=channel) as tx, \
            can.Bus(interface="virtual", channel=channel) as rx:
        for key, data, _ in requests:
            tx.send(can.Message(arbitration_id=key[0], data=data, is_extended_id=key[1]))
            message = rx.recv(timeout=5)
            assert isinstance(message, can.Message) and message.data == data
            before = len(orvik_sdk.rows())
            decoder.decode_message(message)
            rows = orvik_sdk.rows()[before:]
            # python-can stamps each frame with the wall clock, which the rows carry.
            assert {row[2] for row in rows} == {int(message.timestamp * 1e9)}
            frames_rows.append(rows)
    assert counters(decoder.metrics()) == check_frames(requests, frames_rows, "pycan")


def run_demo():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        filter(None, [str(STANDIN_DIR), os.environ.get("PYTHONPATH")])))
    run = subprocess.run([sys.executable, str(DEMO_SCRIPT)], env=env, capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    return run.stdout


def without_times(text):
    """The demo's output with the time column blanked: what must not change from run to run."""
    return re.sub(r"^\d\d:\d\d:\d\d\.\d{6}", "<time>", text, flags=re.M)


@pytest.mark.skipif(not all(hasattr(native, name) for name in ("VirtualBus", "CanCodec")),
                    reason="this build has no VirtualBus or CanCodec")
def test_demo_prints_labelled_rows_the_same_every_run():
    out = run_demo()
    for text in ("0100_EngineStatus", "EngineState=Running(2)", "18fef100_BrakeStatus",
                 "BrakePedal=Pressed(1)", "AmbientAirTemperatureOutsideTheVehicle=-3.25 degC",
                 "0400_DiagPages/Battery", "0400_DiagPages/Climate", "FanLevel=Medium(2)",
                 "DashMode=Day(0)", "DashMode=Night(1)", "OilTemp=SNA(255)",
                 "Metrics(received=10, decoded=9", "unknown=1", "stopped cleanly"):
        assert text in out, f"{text!r} missing from the demo's output:\n{out}"
    assert out.count("<time>") == 0 and without_times(out).count("<time>") == 11
    assert without_times(run_demo()) == without_times(out)
