"""orvik_can in one run: frames on an in-memory bus become typed, labelled rows in the trace SDK.

Run it with `make demo`, or with the stand-in trace SDK (tests/standin) on PYTHONPATH.
"""

import datetime
import pathlib
import sys
import time

import cantools

from orvik_can import CanCodec, Message, VirtualBus, virtual_bus_channel_count

try:
    import orvik_sdk
except ImportError:
    sys.exit("demo: the trace SDK `orvik_sdk` is not importable; run `make demo`, which builds the "
             "stand-in SDK and puts tests/standin on PYTHONPATH")

DBC = pathlib.Path(__file__).with_name("demo.dbc")
CHANNEL = "demo"
SOURCE = "vehicle"
HEARTBEAT_PERIOD = 0.5  # long enough that exactly one frame of each payload goes out
WAIT_SECONDS = 5.0


def wait_for(what, condition):
    """Polls until condition() holds; gives up after WAIT_SECONDS."""
    deadline = time.monotonic() + WAIT_SECONDS
    while not condition():
        if time.monotonic() > deadline:
            sys.exit(f"demo: timed out waiting for {what}")
        time.sleep(0.005)


def rows_for(event):
    return [row for row in orvik_sdk.rows() if row[1] == event]


def one_shot_frames(db):
    """(identifier, extended, payload) of a few ECUs' messages, encoded by cantools."""
    def frame(name, signals):
        message = db.get_message_by_name(name)
        return message.frame_id, message.is_extended_frame, db.encode_message(name, signals)

    return [
        frame("EngineStatus", {"EngineSpeed": 2150.25, "CoolantTemp": 88, "ThrottlePos": 23.2,
                               "EngineState": "Running", "OilPressure": 320}),
        frame("BrakeStatus", {"WheelSpeedFL": 52.4, "BrakeTorque": -120.5, "AbsActive": "Active",
                              "BrakePedal": "Pressed"}),
        frame("BodyInfo", {"AmbientAirTemperatureOutsideTheVehicle": -3.25, "Odometer": 48213}),
        frame("DiagPages", {"PageId": "Battery", "Counter": 1, "BatteryVoltage": 12.634,
                            "BatteryCurrent": -4.2}),
        frame("DiagPages", {"PageId": "Climate", "Counter": 2, "CabinTemp": 21.5,
                            "FanLevel": "Medium", "AcRequest": 1}),
        frame("OilTemperature", {"OilTemp": "SNA"}),  # a scaled sensor with no reading
        (0x7DF, False, bytes([0x02, 0x01, 0x0C])),  # not in the DBC: counted as unknown
    ]


def show_value(value, labels, signal):
    if value is None:
        return "-"
    if labels:
        # Rows carry scaled values; value tables are keyed by the raw value on the wire.
        raw = round((value - signal.offset) / signal.scale)
        if raw in labels:
            return f"{labels[raw]}({raw})"
    text = f"{value:.6g}" if isinstance(value, float) else str(value)
    return f"{text} {signal.unit}" if signal.unit else text


def print_table(rows, db):
    tables = {event["name"]: event["value_tables"] for event in orvik_sdk.events()}
    signals = {signal.name: signal for message in db.messages for signal in message.signals}
    width = max(len(event) for _, event, _, _ in rows)
    print(f"{'time (UTC)':<15}  {'event':<{width}}  signals")
    for _, event, time_ns, values in rows:
        when = datetime.datetime.fromtimestamp(time_ns / 1e9, datetime.timezone.utc)
        labels = tables.get(event, {})
        cells = " ".join(f"{name}={show_value(value, labels.get(name), signals[name])}"
                         for name, value in values.items())
        print(f"{when:%H:%M:%S.%f}  {event:<{width}}  {cells}")


def main():
    db = cantools.database.load_file(DBC)
    orvik_sdk.reset()
    channels_before = virtual_bus_channel_count()

    # The codec takes the receiving side of its bus; a second bus on the same channel name plays
    # the other ECUs. Every frame on the channel reaches the codec, its own transmissions included.
    codec_bus = VirtualBus(CHANNEL)
    ecus = VirtualBus(CHANNEL)
    codec = CanCodec(database_file=str(DBC), bus=codec_bus,
                     source=orvik_sdk.TraceSourceCache(SOURCE))
    del codec_bus

    frames = one_shot_frames(db)
    for arbitration_id, extended, payload in frames:
        ecus.send(arbitration_id, payload, is_extended=extended)
    wait_for("the one-shot frames", lambda: codec.metrics().messages_received == len(frames))

    # The codec transmits too: the frame goes out on the bus and comes back decoded.
    engine = db.get_message_by_name("EngineStatus")
    codec.send(Message(engine.frame_id, db.encode_message("EngineStatus", {
        "EngineSpeed": 800, "CoolantTemp": 90, "ThrottlePos": 0, "EngineState": "Running",
        "OilPressure": 200})))
    wait_for("the codec's own frame", lambda: codec.metrics().messages_received == len(frames) + 1)

    # A periodic heartbeat whose payload changes from Day to Night while it runs.
    heartbeat = db.get_message_by_name("DashHeartbeat")
    task = ecus.send_periodic(Message(heartbeat.frame_id, db.encode_message(
        "DashHeartbeat", {"AliveCounter": 7, "DashMode": "Day"})), HEARTBEAT_PERIOD)
    wait_for("a Day heartbeat", lambda: rows_for("0500_DashHeartbeat"))
    task.modify_data(Message(heartbeat.frame_id, db.encode_message(
        "DashHeartbeat", {"AliveCounter": 8, "DashMode": "Night"})))
    wait_for("a Night heartbeat",
             lambda: any(v["DashMode"] == 1 for *_, v in rows_for("0500_DashHeartbeat")))
    task.stop()

    rows = [row for row in orvik_sdk.rows() if row[0] == SOURCE]
    metrics = codec.metrics()
    print(f"{metrics.messages_received} CAN frames on VirtualBus {CHANNEL!r}, decoded against "
          f"{DBC.name} into {len(rows)} rows of trace source {SOURCE!r}.\n"
          "Signals carry their DBC types and units; value-table labels show as Label(raw value).\n")
    print_table(rows, db)
    print()
    print(metrics)

    # Stop everything and wait until the tasks have let go of the channel and the SDK handles.
    codec.stop()
    del codec, task, ecus
    wait_for("the channel to close", lambda: virtual_bus_channel_count() == channels_before)
    wait_for("the SDK handles to be released", lambda: orvik_sdk.stats()["live_sources"] == 0)
    violations = orvik_sdk.stats()["violations"]
    if violations:
        sys.exit(f"demo: the trace SDK saw broken contracts: {violations}")
    print("stopped cleanly: no channel left open, every SDK handle released")


if __name__ == "__main__":
    main()
