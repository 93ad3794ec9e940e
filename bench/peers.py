"""Throughput of orvik_can beside its Python peers (cantools, python-can), measured in one run.

    python3 bench/peers.py            about a minute
    python3 bench/peers.py --quick    a few seconds, rougher figures

Needs the installed extension and the stand-in trace SDK built into tests/standin (`make demo`
does both). Rows go to the stand-in in count-only mode, so the SDK side costs next to nothing.
"""

import argparse
import os
import pathlib
import platform
import random
import sys
import threading
import time

import can
import cantools

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "standin"))

import orvik_sdk  # noqa: E402
from orvik_can import CanCodec, CanDecoder, Notifier, VirtualBus  # noqa: E402

DBC = ROOT / "examples" / "demo.dbc"
STALL_SECONDS = 2.0  # a run whose counter stops moving this long is over
BURST = 256  # callback frames in flight at most, well inside the notifier's 1024-frame channel


def demo_frames(db):
    """(identifier, payload, extended) of every message of the demo DBC, encoded by cantools."""
    values = {
        "EngineStatus": {"EngineSpeed": 2150.25, "CoolantTemp": 88, "ThrottlePos": 23.2,
                         "EngineState": 2, "OilPressure": 320},
        "BrakeStatus": {"WheelSpeedFL": 52.4, "BrakeTorque": -120.5, "AbsActive": 1,
                        "BrakePedal": 1},
        "BodyInfo": {"AmbientAirTemperatureOutsideTheVehicle": -3.25, "Odometer": 48213},
        "DiagPages": {"PageId": 2, "Counter": 2, "CabinTemp": 21.5, "FanLevel": 2,
                      "AcRequest": 1},
        "DashHeartbeat": {"AliveCounter": 7, "DashMode": 1},
    }
    out = []
    for name, signals in values.items():
        message = db.get_message_by_name(name)
        out.append((message.frame_id, db.encode_message(name, signals), message.is_extended_frame))
    return out


def wait_for_count(read, target):
    """Polls read() until it reaches target or stops moving; the time it was last seen to move."""
    last, last_change = read(), time.perf_counter()
    while last < target:
        time.sleep(0.0005)
        now = read()
        if now != last:
            last, last_change = now, time.perf_counter()
        elif time.perf_counter() - last_change > STALL_SECONDS:
            break
    return last_change


def rate(count, seconds):
    return count / seconds if seconds > 0 else float("inf")


# --- 1: decode calls ------------------------------------------------------------------------------

def best_rate(run, calls, repeats=3):
    """The best of a few timed runs of run(), which makes `calls` calls."""
    best = 0.0
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        best = max(best, rate(calls, time.perf_counter() - start))
    return best


def decode_calls(path, db, frames, calls):
    decoder = CanDecoder(database_file=str(path), source_name="bench")
    work = (frames * (calls // len(frames) + 1))[:calls]

    def ours():
        decode = decoder.decode_frame
        for arbitration_id, data, extended in work:
            decode(arbitration_id, data, None, extended)

    peer_work = work[:max(calls // 10, len(frames))]

    def peer():
        decode = db.decode_message
        for arbitration_id, data, _ in peer_work:
            decode(arbitration_id, data)

    ours_rate = best_rate(ours, len(work))
    assert decoder.metrics().messages_decoded == 3 * len(work)
    return ours_rate, best_rate(peer, len(peer_work))


# --- 2 and 3: buses feeding decoders --------------------------------------------------------------

def feed(senders, frames, per_bus):
    """One thread per bus sends per_bus frames; returns when every thread has started."""
    work = (frames * (per_bus // len(frames) + 1))[:per_bus]
    ready = threading.Barrier(len(senders) + 1)

    def run(send):
        ready.wait()
        for args in work:
            send(*args)

    threads = [threading.Thread(target=run, args=(send,)) for send in senders]
    for t in threads:
        t.start()
    ready.wait()
    return threads


def ours_on_buses(frames, buses, per_bus, tag):
    """Each VirtualBus with its own CanCodec; (decoded frames/s over all buses, frames lost)."""
    codecs, senders = [], []
    for n in range(buses):
        name = f"peers-{tag}-{n}"
        codecs.append(CanCodec(database_file=str(DBC), bus=VirtualBus(name),
                               source_name=f"bench{n}"))
        senders.append(VirtualBus(name))
    work = [(i, d, None, e) for i, d, e in frames]
    start = time.perf_counter()
    threads = feed([sender.send for sender in senders], work, per_bus)

    def decoded():
        return sum(codec.metrics().messages_decoded for codec in codecs)

    end = wait_for_count(decoded, buses * per_bus)
    for t in threads:
        t.join()
    metrics = [codec.metrics() for codec in codecs]
    for codec in codecs:
        codec.stop()
    lost = buses * per_bus - sum(m.messages_received for m in metrics)
    return rate(sum(m.messages_decoded for m in metrics), end - start), lost


def ours_paced(frames, count, burst):
    """One sender that waits for the codec to catch up after every burst of frames, so the
    channel never holds more than `burst`: the codec's own decode rate, and frames lost."""
    codec = CanCodec(database_file=str(DBC), bus=VirtualBus("peers-paced"), source_name="bench")
    sender = VirtualBus("peers-paced")
    work = [(i, d, None, e) for i, d, e in frames]
    send = sender.send
    start = time.perf_counter()
    sent = 0
    while sent < count:
        n = min(burst, count - sent)
        for k in range(n):
            send(*work[(sent + k) % len(work)])
        sent += n
        end = wait_for_count(lambda: codec.metrics().messages_received, sent)
    metrics = codec.metrics()
    codec.stop()
    return rate(metrics.messages_decoded, end - start), count - metrics.messages_received


def peer_on_buses(db, frames, buses, per_bus, tag):
    """python-can's virtual bus with a Notifier and a cantools listener per bus."""
    counts = [0] * buses
    receivers, senders, notifiers = [], [], []
    for n in range(buses):
        name = f"peers-can-{tag}-{n}"
        rx = can.Bus(interface="virtual", channel=name)
        tx = can.Bus(interface="virtual", channel=name)

        def listener(msg, n=n, decode=db.decode_message):
            decode(msg.arbitration_id, msg.data)
            counts[n] += 1

        receivers.append(rx)
        senders.append(tx)
        notifiers.append(can.Notifier(rx, [listener], timeout=0.1))
    messages = [can.Message(arbitration_id=i, data=d, is_extended_id=e) for i, d, e in frames]
    start = time.perf_counter()
    threads = feed([tx.send for tx in senders], [(m,) for m in messages], per_bus)
    end = wait_for_count(lambda: sum(counts), buses * per_bus)
    for t in threads:
        t.join()
    for notifier in notifiers:
        notifier.stop()
    for bus in receivers + senders:
        bus.shutdown()
    return rate(sum(counts), end - start)


# --- 4: a Notifier with one Python callable -------------------------------------------------------

def paced_callbacks(send, work, count, calls):
    """Sends in bursts of BURST, each after the callable has caught up; callbacks/s."""
    start = time.perf_counter()
    sent = 0
    while sent < count:
        burst = min(BURST, count - sent)
        for k in range(burst):
            send(*work[(sent + k) % len(work)])
        sent += burst
        deadline = time.perf_counter() + STALL_SECONDS
        while calls[0] < sent and time.perf_counter() < deadline:
            time.sleep(0.00005)
    return rate(calls[0], time.perf_counter() - start)


def counting_callable():
    """A callable that counts its calls, and the one-item list it counts in."""
    calls = [0]

    def callback(msg):
        calls[0] += 1

    return callback, calls


def notifier_callbacks(frames, count):
    callback, calls = counting_callable()
    bus, sender = VirtualBus("peers-notify"), VirtualBus("peers-notify")
    notifier = Notifier(bus, [callback])
    ours = paced_callbacks(sender.send, [(i, d, None, e) for i, d, e in frames], count, calls)
    notifier.stop()
    del notifier

    peer_callback, calls = counting_callable()
    rx = can.Bus(interface="virtual", channel="peers-notify")
    tx = can.Bus(interface="virtual", channel="peers-notify")
    peer_notifier = can.Notifier(rx, [peer_callback], timeout=0.1)
    messages = [(can.Message(arbitration_id=i, data=d, is_extended_id=e),) for i, d, e in frames]
    peer = paced_callbacks(tx.send, messages, count, calls)
    peer_notifier.stop()
    rx.shutdown()
    tx.shutdown()
    return ours, peer


# --- Table ----------------------------------------------------------------------------------------

def si(value):
    for scale, suffix in ((1e6, " M/s"), (1e3, " k/s")):
        if value >= scale:
            return f"{value / scale:.2f}{suffix}"
    return f"{value:.0f} /s"


def file_frames(path):
    """(identifier, payload, extended) of every plain message of a DBC, with random payloads."""
    rng = random.Random(0)
    db = cantools.database.load_file(path, strict=False)
    frames = [(m.frame_id, rng.randbytes(m.length), m.is_extended_frame) for m in db.messages
              if not m.is_multiplexed() and m.length]
    return db, frames


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a tenth of the work: seconds")
    parser.add_argument("--dbc", type=pathlib.Path,
                        help="also measure decode calls on the plain messages of this DBC")
    args = parser.parse_args()
    scale = 0.1 if args.quick else 1.0

    db = cantools.database.load_file(DBC)
    frames = demo_frames(db)
    orvik_sdk.count_only(True)
    lines = []

    def line(figure, ours, peer="-", ratio="-", target="-"):
        print(f"measured: {figure}", file=sys.stderr, flush=True)
        lines.append((figure, ours, peer, ratio, target))

    ours, peer = decode_calls(DBC, db, frames, int(1_000_000 * scale))
    line(f"decode calls/s, {DBC.name} (peer: cantools decode_message)", si(ours), si(peer),
         f"{ours / peer:.1f}x", ">= 10x")
    if args.dbc:
        other_db, other_frames = file_frames(args.dbc)
        ours, peer = decode_calls(args.dbc, other_db, other_frames, int(1_000_000 * scale))
        line(f"decode calls/s, {args.dbc.name} (peer: cantools decode_message)", si(ours),
             si(peer), f"{ours / peer:.1f}x", ">= 10x")

    decoded, lost = ours_on_buses(frames, 1, int(2_000_000 * scale), "single")
    line("VirtualBus.send -> CanCodec, 1 sender: decoded/s", f"{si(decoded)}, {lost} lost",
         target=">= 2 M/s, 0 lost")

    burst = 32768
    decoded, lost = ours_paced(frames, int(2_000_000 * scale), burst)
    line(f"the same, sender pausing after every {burst} frames", f"{si(decoded)}, {lost} lost",
         target=">= 2 M/s, 0 lost")

    for buses in (1, 4):
        ours, lost = ours_on_buses(frames, buses, int(1_000_000 * scale), f"multi{buses}")
        peer = peer_on_buses(db, frames, buses, int(20_000 * scale), f"multi{buses}")
        line(f"{buses} bus(es), 1 sender each: decoded/s (peer: python-can virtual bus, "
             "Notifier, cantools listener)", f"{si(ours)}, {lost} lost", si(peer),
             f"{ours / peer:.1f}x", ">= 10x, grows with buses")

    ours, peer = notifier_callbacks(frames, int(200_000 * scale))
    line("Notifier, 1 Python callable: callbacks/s (peer: python-can Notifier)", si(ours),
         si(peer), f"{ours / peer:.1f}x", ">= 2x")
    orvik_sdk.count_only(False)

    print(f"machine: {platform.platform()}; {os.cpu_count()} CPUs; "
          f"Python {platform.python_version()}; TOKIO_WORKER_THREADS="
          f"{os.environ.get('TOKIO_WORKER_THREADS', 'unset')}")
    headers = ("figure", "orvik_can", "peer", "ratio", "target")
    widths = [max(len(row[i]) for row in lines + [headers]) for i in range(5)]
    for row in [headers] + lines:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())


if __name__ == "__main__":
    main()
