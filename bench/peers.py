"""Throughput of orvik_can beside its Python peers (python-can, cantools): the same work on both sides.

    .venv/bin/python bench/peers.py           about a minute
    .venv/bin/python bench/peers.py --quick   about fifteen seconds, rougher figures

Needs the installed extension and the stand-in trace SDK built into tests/standin (`make demo`
does both). Our rows go to the stand-in in count-only mode, so the SDK side costs next to nothing;
the peer's rows are the dicts cantools returns.

Each side does the same work, timed the same way:
- decode: one call per frame, the same frames; cantools with decode_choices=False, since our
  rows carry raw values.
- bus receive: the frames (a ring's worth: the default capacity, 65536 per bus) are queued on
  every bus before the receiving side starts, so the clock sees the receive side alone, never a
  sender. Ours: a CanCodec per VirtualBus; peer: a python-can Notifier per virtual bus with a
  listener that decodes with cantools. The clock starts once every receiver is running; frames
  already handled by then are left out of the count. A ring's worth is over in milliseconds on
  our side, too short to time steadily, so each side repeats it until its clock has run
  MIN_RECEIVE_SECONDS in the round.
- Notifier dispatch: the same counting callable on both sides. The frames of a round are queued
  while the sender holds the interpreter lock, so no callback runs before the clock starts; a
  round is 1000 frames, inside the 1024-frame callback channel.
Rounds alternate between the sides; each figure is the median of the rounds.
"""

import argparse
import datetime
import os
import pathlib
import platform
import statistics
import sys
import time

import can
import cantools

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "standin"))

import orvik_sdk  # noqa: E402
from orvik_can import CanCodec, CanDecoder, Notifier, VirtualBus  # noqa: E402

DBC = ROOT / "examples" / "demo.dbc"
RING = 65536  # VirtualBus's default capacity: frames queued per bus, none lost
STALL_SECONDS = 2.0  # a receiver whose count stops moving this long has lost the rest
CALLBACK_ROUND = 1000  # frames per Notifier round, inside the 1024-frame callback channel
MIN_RECEIVE_SECONDS = 0.2  # clock time per receive round and side (0.05 with --quick)


def demo_frames(db):
    """(identifier, payload, extended) of five of the demo DBC's messages, encoded by cantools."""
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


def cycle(frames, count):
    return (frames * (count // len(frames) + 1))[:count]


def sdk_rows():
    return orvik_sdk.stats()["rows"]


def wait_until(read, target, pause=0.0001):
    """Polls read() until it reaches target or stops moving; (last value, when it last moved)."""
    last, moved = read(), time.perf_counter()
    while last < target:
        now = read()
        if now != last:
            last, moved = now, time.perf_counter()
        elif time.perf_counter() - moved > STALL_SECONDS:
            break
        time.sleep(pause)
    return last, moved


class Sample:
    """One round of one side: the frames handled inside the clock and its seconds, frames lost,
    and rows produced for all `total` frames the round handled."""

    def __init__(self, frames, seconds, lost, rows, total):
        self.frames, self.seconds = frames, seconds
        self.lost, self.rows, self.total = lost, rows, total

    @property
    def rate(self):
        return self.frames / self.seconds if self.seconds > 0 else 0.0

    def __add__(self, other):
        return Sample(self.frames + other.frames, self.seconds + other.seconds,
                      self.lost + other.lost, self.rows + other.rows, self.total + other.total)


def repeat_for(seconds, once):
    """Runs once() until the clocked seconds of its samples add up to `seconds`; their sum."""
    sample = once()
    while sample.seconds < seconds:
        sample += once()
    return sample


# --- decode calls ---------------------------------------------------------------------------------

def ours_decode(decoder, work):
    decode = decoder.decode_frame
    rows = sdk_rows()
    start = time.perf_counter()
    for arbitration_id, data, extended in work:
        decode(arbitration_id, data, None, extended)
    seconds = time.perf_counter() - start
    return Sample(len(work), seconds, 0, sdk_rows() - rows, len(work))


def peer_decode(db, work):
    decode = db.decode_message
    rows = 0
    start = time.perf_counter()
    for arbitration_id, data, _ in work:
        if decode(arbitration_id, data, decode_choices=False) is not None:
            rows += 1
    seconds = time.perf_counter() - start
    return Sample(len(work), seconds, 0, rows, len(work))


# --- buses: the receive side alone ----------------------------------------------------------------

def ours_receive(frames, buses, per_bus, tag):
    """Queues per_bus frames on each VirtualBus, then starts a CanCodec on each."""
    receivers, senders = [], []
    for n in range(buses):
        name = f"peers-{tag}-{n}"
        receivers.append(VirtualBus(name))
        senders.append(VirtualBus(name))
    for sender in senders:
        send = sender.send
        for arbitration_id, data, extended in cycle(frames, per_bus):
            send(arbitration_id, data, None, extended)
    rows = sdk_rows()
    codecs = [CanCodec(database_file=str(DBC), bus=bus, source_name=f"peers{n}")
              for n, bus in enumerate(receivers)]

    def handled():
        return sum(m.messages_received + m.broadcast_overflows for m in
                   (codec.metrics() for codec in codecs))

    start, before = time.perf_counter(), handled()
    _, end = wait_until(handled, buses * per_bus, pause=0.00005)
    metrics = [codec.metrics() for codec in codecs]
    for codec in codecs:
        codec.stop()
    received = sum(m.messages_received for m in metrics)
    lost = buses * per_bus - received
    return Sample(received - min(before, received), end - start, lost, sdk_rows() - rows,
                  received)


def peer_receive(db, frames, buses, per_bus, tag):
    """Queues per_bus messages on each python-can virtual bus, then starts a Notifier on each
    with a listener that decodes the message with cantools and counts the row."""
    counts, done = [0] * buses, [None] * buses
    receivers, senders = [], []
    for n in range(buses):
        name = f"peers-can-{tag}-{n}"
        receivers.append(can.Bus(interface="virtual", channel=name))
        senders.append(can.Bus(interface="virtual", channel=name))
    messages = [can.Message(arbitration_id=i, data=d, is_extended_id=e) for i, d, e in frames]
    for tx in senders:
        for message in cycle(messages, per_bus):
            tx.send(message)

    def listener_for(n, decode=db.decode_message):
        def listener(msg):
            if decode(msg.arbitration_id, msg.data, decode_choices=False) is not None:
                counts[n] += 1
                if counts[n] == per_bus:
                    done[n] = time.perf_counter()
        return listener

    notifiers = [can.Notifier(rx, [listener_for(n)], timeout=0.1)
                 for n, rx in enumerate(receivers)]
    start, before = time.perf_counter(), sum(counts)
    received, moved = wait_until(lambda: sum(counts), buses * per_bus)
    end = max(done) if None not in done else moved
    for notifier in notifiers:
        notifier.stop()
    for bus in receivers + senders:
        bus.shutdown()
    return Sample(received - before, end - start, buses * per_bus - received, received, received)


def ours_flat_out(frames, count):
    """One Python thread sending to a running CanCodec as fast as it can, faster than the codec
    decodes. Once the codec is a ring behind: (sender frames/s, codec decoded frames/s), and the
    share of all frames lost. No peer: this is our ring under a sender it cannot keep up with."""
    codec = CanCodec(database_file=str(DBC), bus=VirtualBus("peers-flat"), source_name="peers")
    send = VirtualBus("peers-flat").send
    chunk = cycle(frames, 1000)
    marks = []
    for sent in range(len(chunk), count + 1, len(chunk)):
        for arbitration_id, data, extended in chunk:
            send(arbitration_id, data, None, extended)
        m = codec.metrics()
        marks.append((time.perf_counter(), sent, m.messages_decoded, m.broadcast_overflows))
    codec.stop()
    behind = [mark for mark in marks if mark[3] > 0]
    if len(behind) < 2 or behind[-1][0] == behind[0][0]:
        return None
    (t0, sent0, decoded0, _), (t1, sent1, decoded1, lost) = behind[0], behind[-1]
    return (sent1 - sent0) / (t1 - t0), (decoded1 - decoded0) / (t1 - t0), lost / sent1


# --- Notifier dispatch ----------------------------------------------------------------------------

def counting_callable():
    """A callable that counts its calls and notes when the count reaches the round's target."""
    state = {"calls": 0, "target": 0, "done": 0.0}

    def callback(msg):
        state["calls"] += 1
        if state["calls"] == state["target"]:
            state["done"] = time.perf_counter()

    return callback, state


def dispatch_rounds(start_notifier, rounds):
    """Rounds of CALLBACK_ROUND frames through one notifier; callbacks/s and frames lost.
    start_notifier(callback) returns (send, stop)."""
    callback, state = counting_callable()
    send, stop = start_notifier(callback)
    interval = sys.getswitchinterval()
    handled, lost, seconds = 0, 0, 0.0
    try:
        for _ in range(rounds):
            state["target"] = state["calls"] + CALLBACK_ROUND
            # The sender keeps the interpreter lock until it waits, so no callback runs early.
            sys.setswitchinterval(10.0)
            send(CALLBACK_ROUND)
            before, start = state["calls"], time.perf_counter()
            sys.setswitchinterval(interval)
            calls, moved = wait_until(lambda: state["calls"], state["target"])
            end = state["done"] if calls >= state["target"] else moved
            handled += calls - before
            lost += state["target"] - calls
            seconds += end - start
    finally:
        sys.setswitchinterval(interval)
        stop()
    return Sample(handled, seconds, lost, handled, handled + lost)


def ours_dispatch(frames, rounds):
    work = cycle([(i, d, None, e) for i, d, e in frames], CALLBACK_ROUND)

    def start(callback):
        bus, sender = VirtualBus("peers-notify"), VirtualBus("peers-notify")
        notifier = Notifier(bus, [callback])

        def send(count):
            for args in work[:count]:
                sender.send(*args)

        return send, notifier.stop

    return dispatch_rounds(start, rounds)


def peer_dispatch(frames, rounds):
    messages = cycle([can.Message(arbitration_id=i, data=d, is_extended_id=e)
                      for i, d, e in frames], CALLBACK_ROUND)

    def start(callback):
        rx = can.Bus(interface="virtual", channel="peers-notify")
        tx = can.Bus(interface="virtual", channel="peers-notify")
        notifier = can.Notifier(rx, [callback], timeout=0.1)

        def send(count):
            for message in messages[:count]:
                tx.send(message)

        def stop():
            notifier.stop()
            rx.shutdown()
            tx.shutdown()

        return send, stop

    return dispatch_rounds(start, rounds)


# --- Table ----------------------------------------------------------------------------------------

def si(value):
    for scale, suffix in ((1e6, " M/s"), (1e3, " k/s")):
        if value >= scale:
            return f"{value / scale:.2f}{suffix}"
    return f"{value:.0f} /s"


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def ring_resident_mib():
    """Resident memory of four freshly opened VirtualBus channels, per channel, in MiB."""
    before = resident_bytes()
    buses = [VirtualBus(f"peers-rss-{n}") for n in range(4)]
    grown = resident_bytes() - before
    del buses
    return grown / 4 / 2**20


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    return (f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC; {model}; "
            f"nproc {os.cpu_count()}; Python {platform.python_version()}; "
            f"python-can {can.__version__}, cantools {cantools.__version__}; "
            f"load average {load:.1f} at the end")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller rounds: seconds, rougher")
    parser.add_argument("--rounds", type=int, help="rounds per side (median), at least 5; "
                        "default 7, or 5 with --quick")
    args = parser.parse_args()
    rounds = max(args.rounds or (5 if args.quick else 7), 5)
    per_bus = RING // 8 if args.quick else RING
    decode_calls = 20_000 if args.quick else 200_000
    receive_seconds = MIN_RECEIVE_SECONDS / 4 if args.quick else MIN_RECEIVE_SECONDS
    callback_rounds = 5 if args.quick else 20

    ring_mib = ring_resident_mib()  # first, before other work leaves freed memory about
    db = cantools.database.load_file(DBC)
    frames = demo_frames(db)
    orvik_sdk.count_only(True)
    lines = []

    def measure(figure, ours, peer, target):
        """Alternates ours() and peer() for the rounds; one table line of the medians."""
        mine, theirs = [], []
        for _ in range(rounds):
            mine.append(ours())
            theirs.append(peer())
        a = statistics.median(s.rate for s in mine)
        b = statistics.median(s.rate for s in theirs)
        lost = f"{sum(s.lost for s in mine)} / {sum(s.lost for s in theirs)}"
        rows = (f"{sum(s.rows for s in mine) / max(sum(s.total for s in mine), 1):.2f} / "
                f"{sum(s.rows for s in theirs) / max(sum(s.total for s in theirs), 1):.2f}")
        print(f"measured: {figure}", file=sys.stderr, flush=True)
        lines.append((figure, si(a), si(b), f"{a / b:.1f}x", lost, rows, target))

    decoder = CanDecoder(database_file=str(DBC), source_name="peers")
    work = cycle(frames, decode_calls)
    measure("decode calls/s",
            lambda: ours_decode(decoder, work), lambda: peer_decode(db, work[:len(work) // 10]),
            ">= 10x")
    del decoder

    for buses, target in ((1, ">= 20x, 0 lost"), (4, ">= 30x, 0 lost")):
        measure(f"receive side, {buses} bus{'es' if buses > 1 else ''}: frames/s",
                lambda: repeat_for(receive_seconds,
                                   lambda: ours_receive(frames, buses, per_bus, f"b{buses}")),
                lambda: repeat_for(receive_seconds,
                                   lambda: peer_receive(db, frames, buses, per_bus, f"b{buses}")),
                target)

    measure("Notifier dispatch: callbacks/s",
            lambda: ours_dispatch(frames, callback_rounds),
            lambda: peer_dispatch(frames, callback_rounds), ">= 2x")

    flat = [f for f in (ours_flat_out(frames, 40 * RING) for _ in range(3)) if f]
    orvik_sdk.count_only(False)

    print(f"machine: {machine()}")
    headers = ("figure", "orvik_can", "peer", "ratio", "frames lost (ours / peer)",
               "rows per frame (ours / peer)", "target")
    widths = [max(len(row[i]) for row in lines + [headers]) for i in range(len(headers))]
    for row in [headers] + lines:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
    print(f"decode: CanDecoder.decode_frame / cantools decode_message(decode_choices=False). "
          f"receive side: {per_bus} frames queued per bus, then a CanCodec per VirtualBus / a "
          "python-can Notifier per virtual bus with a cantools listener, repeated until "
          f"{receive_seconds} s are timed per round. Notifier dispatch: "
          f"{CALLBACK_ROUND} frames queued per round, one counting callable, orvik_can Notifier / "
          f"python-can Notifier. Medians of {rounds} alternating rounds.")
    if flat:
        sender, decoded, lost = (statistics.median(f[i] for f in flat) for i in range(3))
        print(f"no peer: 1 Python thread sending flat out into a running CanCodec, once the codec "
              f"is a ring behind: sender {si(sender)}, codec decodes {si(decoded)}; {lost:.0%} of "
              f"all frames lost (median of {len(flat)})")
    else:
        print("no peer: the flat-out sender never got a ring ahead of the codec")
    print(f"no peer: resident memory of a freshly opened VirtualBus: {ring_mib:.2f} MiB")


if __name__ == "__main__":
    main()
