"""cantools as the oracle for frame decoding: our typing rules applied to its values, payloads
that exercise every signal of a message, and running our frame tools over them.

Where one of our typing rules changes a value, the rule is named and counted in RULES_SEEN; a test
module prints the counts with -s.
"""

import collections
import copy
import json
import math
import subprocess

import cantools
import numpy as np
import pytest

from test_dbc_corpus import cantools_text, expected_messages, load_with_cantools, unprefix

RANDOM_PAYLOADS = 6
MAX_ROW_SIGNALS = 64

INT_RANGES = {
    "Int8": (-(1 << 7), (1 << 7) - 1),
    "Int16": (-(1 << 15), (1 << 15) - 1),
    "Int32": (-(1 << 31), (1 << 31) - 1),
    "Int64": (-(1 << 63), (1 << 63) - 1),
    "UInt8": (0, (1 << 8) - 1),
    "UInt16": (0, (1 << 16) - 1),
    "UInt32": (0, (1 << 32) - 1),
    "UInt64": (0, (1 << 64) - 1),
}

# --- Our typing rules, applied to cantools' values ------------------------------------------------
DOUBLE_SCALING = "a float column is scaled in 64-bit floating point (cantools scales integers exactly)"
FLOAT32 = "Float32 output rounds to the nearest 32-bit float"
BEYOND_PAYLOAD = "a signal reaching past the payload is absent"
IEEE_WIDTH = "an IEEE float signal of a width other than 16, 32 or 64 bits is absent"
ROW_LIMIT = "a row holds at most 64 signals"
# Not a rule of ours: cantools' limitation, worked around by unpacking signals one at a time.
OVERLAP = "overlapping signals: cantools unpacks them one at a time"

RULES_SEEN = collections.Counter()


def to_float32(x):
    with np.errstate(over="ignore"):
        return float(np.float32(x))


def whole(x):
    return math.isfinite(x) and float(x).is_integer()


def expected_value(signal, type_name, scaled, raw):
    """cantools' value in our column type, and the rules that changed it."""
    if type_name in INT_RANGES:
        # An integer column holds the exact value, never cut: cantools' raw scaled in integers
        # (cantools itself goes through a float where the DBC writes 1.0 for 1).
        assert not signal.is_float and whole(signal.scale) and whole(signal.offset), type_name
        value = raw * int(signal.scale) + int(signal.offset)
        lo, hi = INT_RANGES[type_name]
        assert lo <= value <= hi, f"{value} does not fit {type_name}"
        return value, []

    rules = []
    value = scaled
    if not signal.is_float:
        as_double = float(raw) * float(signal.scale) + float(signal.offset)
        if not same(as_double, float(scaled)):
            rules.append(DOUBLE_SCALING)
            value = as_double
    if type_name == "Float32":
        value32 = to_float32(float(value))
        if value32 != value and not (math.isnan(value32) and math.isnan(value)):
            rules.append(FLOAT32)
        return value32, rules
    assert type_name == "Float64", type_name
    return float(value), rules


def our_value(entry):
    bits = entry["value"]
    if entry["type"] == "Float32":
        return float(np.array([bits], dtype=np.uint32).view(np.float32)[0])
    if entry["type"] == "Float64":
        return float(np.array([bits], dtype=np.uint64).view(np.float64)[0])
    return bits


def same(a, b):
    return a == b or (isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b))


# --- Payloads -------------------------------------------------------------------------------------

def bit_positions(signal):
    """Payload bit positions of the signal, most significant first."""
    if signal.byte_order == "little_endian":
        return [signal.start + i for i in reversed(range(signal.length))]
    positions, p = [], signal.start
    for _ in range(signal.length):
        positions.append(p)
        p = p + 15 if p % 8 == 0 else p - 1
    return positions


def fits(signal, length):
    return all(p // 8 < length for p in bit_positions(signal))


def put_raw(data, signal, raw):
    positions = bit_positions(signal)
    for k, p in enumerate(positions):
        bit = (raw >> (len(positions) - 1 - k)) & 1
        data[p // 8] = (data[p // 8] & ~(1 << (p % 8))) | (bit << (p % 8))


def select_multiplexers(message, node, data, rng):
    """Writes a valid value into every multiplexor on the chosen path, so cantools accepts it."""
    for name, choices in node["multiplexers"].items():
        value = rng.choice(sorted(choices))
        signal = message.get_signal_by_name(name)
        assert signal.scale == 1 and signal.offset == 0, "multiplexor with scaling"
        put_raw(data, signal, value)
        select_multiplexers(message, choices[value], data, rng)


def reach(message):
    """Bytes the message's signals need, which may exceed its declared length."""
    return max([message.length] + [max(p // 8 for p in bit_positions(s)) + 1
                                   for s in message.signals if s.length])


def payloads(message, rng, declared_length):
    """Payloads as long as the signals reach, plus one of the declared length when that is less."""
    length = message.length
    patterns = [bytes(length), b"\xff" * length]
    patterns += [rng.randbytes(length) for _ in range(RANDOM_PAYLOADS)]
    if declared_length < length:
        patterns.append(rng.randbytes(declared_length))
    out = []
    for pattern in patterns:
        data = bytearray(pattern)
        select_multiplexers(message, message._codecs, data, rng)
        out.append(bytes(data))
    return out


def load_for_decoding(path, monkeypatch):
    """cantools as the DBC reader test loads it, but with its signals sorted by start bit: cantools
    builds correct unpacking formats only from sorted signals (the reader test keeps DBC order)."""
    original = cantools.database.load_string

    def load_sorted(text, **kwargs):
        kwargs.pop("sort_signals", None)
        return original(text, **kwargs)

    monkeypatch.setattr(cantools.database, "load_string", load_sorted)
    return load_with_cantools(cantools_text(path.read_text(encoding="utf-8")), monkeypatch)


def decode_alone(message, signal, data, scaling):
    """One signal decoded by cantools from a message holding only that signal."""
    alone = copy.copy(signal)
    alone.multiplexer_ids = None
    alone.multiplexer_signal = None
    alone.is_multiplexer = False
    single = cantools.database.can.Message(frame_id=message.frame_id, name=message.name,
                                           length=message.length, signals=[alone], strict=False)
    return single.decode(data, decode_choices=False, scaling=scaling)[signal.name]


def decode_cantools(message, data, chosen):
    """cantools' scaled and raw values by signal name, or None where it cannot decode the whole
    message: overlapping signals make its combined unpacking fail. Then each chosen signal (those
    the frame selects) is unpacked on its own."""
    try:
        return (message.decode(data, decode_choices=False, scaling=True),
                message.decode(data, decode_choices=False, scaling=False), True)
    except cantools.database.DecodeError as error:
        assert "unpacking failed" in str(error), error
    return ({s.name: decode_alone(message, s, data, True) for s in chosen},
            {s.name: decode_alone(message, s, data, False) for s in chosen}, False)


def selected_groups(message, padded):
    """What cantools selects beyond the base signals: for each multiplexor value that selects
    signals, parents first, the path of (multiplexor, value) from the top and those signals."""
    groups = []

    def walk(node, path):
        for name, choices in node["multiplexers"].items():
            mux = message.get_signal_by_name(name)
            value = decode_alone(message, mux, padded, True)
            if value in choices and choices[value]["signals"]:  # labels alone list values too
                groups.append((path + [(mux, value)], choices[value]["signals"]))
                walk(choices[value], path + [(mux, value)])

    walk(message._codecs, [])
    return groups


def switch_suffix(message, mux, value):
    """A sub-event name's part for one multiplexor value: its label, else the decimal, after the
    multiplexor's name and '=' when another multiplexor at the same place could give it too."""
    label = (mux.choices or {}).get(value)
    text = str(label) if label is not None else str(value)
    switches = {s.multiplexer_signal for s in message.signals if s.multiplexer_signal}
    parent = {n: message.get_signal_by_name(n).multiplexer_signal for n in switches}
    ids = {n: set(message.get_signal_by_name(n).multiplexer_ids or ()) for n in switches}
    clash = any(n != mux.name and parent[n] == parent[mux.name] and
                (parent[n] is None or ids[n] & ids[mux.name]) for n in switches)
    return f"{unprefix(mux.name)}={text}" if clash else text


def expected_rows(key, message, data):
    """cantools' values for one frame and the rows they call for: (event name, signals) of the
    base event, then of each selected multiplexor value, named by the path of values."""
    frame_id, extended = key
    name = f"{frame_id:0{8 if extended else 4}x}_{unprefix(message.name)}"
    padded = data.ljust(message.length, b"\0")
    rows = [(name, [s for s in message.signals if not s.multiplexer_ids])]
    for path, signals in selected_groups(message, padded):
        rows.append(("/".join([name] + [switch_suffix(message, m, v) for m, v in path]), signals))
    scaled, raw, whole = decode_cantools(message, padded, [s for _, g in rows for s in g])
    return scaled, raw, whole, rows


def run_frames_tool(tool_path, path, requests, *options):
    """Runs one of our frame tools over "<id> <extended> <payload hex>" lines; one JSON object
    per line."""
    lines = "".join(f"{key[0]} {int(key[1])} {data.hex()}\n" for key, data in requests)
    run = subprocess.run([tool_path, str(path), *options], input=lines, capture_output=True,
                         text=True)
    assert run.returncode == 0, run.stderr
    results = [json.loads(line) for line in run.stdout.splitlines()]
    assert len(results) == len(requests)
    return results


def check_entry(entry, signal, scaled, raw, payload, where):
    if entry["value"] is None:
        # Absent only for a reason of ours, never because decoding lost a value.
        if not fits(signal, len(payload)):
            RULES_SEEN[BEYOND_PAYLOAD] += 1
        elif signal.is_float and signal.length not in (16, 32, 64):
            RULES_SEEN[IEEE_WIDTH] += 1
        else:
            pytest.fail(f"{where}: absent, cantools gives {scaled!r}")
        return
    expected, rules = expected_value(signal, entry["type"], scaled, raw)
    RULES_SEEN.update(rules)
    got = our_value(entry)
    assert same(got, expected), (
        f"{where}: ours {got!r} ({entry['type']}), cantools {scaled!r} (raw {raw!r}), "
        f"expected {expected!r} by rules {rules}")


def corpus_requests(db, rng):
    """(key, payload, message) for a few payloads of every message. A message whose signals reach
    past its declared length is lengthened in place, so cantools can unpack them."""
    out = []
    for key, message in sorted(expected_messages(db).items()):
        declared = message.length
        if reach(message) > declared:
            # cantools cannot unpack signals past the declared length; ours reads them from a
            # longer payload, so cantools gets a lengthened copy of the message to compare with.
            message.length = reach(message)
            message.refresh(strict=False)
        for data in payloads(message, rng, declared):
            out.append((key, data, message))
    return out


def selector_of(message, padded):
    """The value of the message's last multiplexor, as ours picks it, or None without one."""
    multiplexors = [s for s in message.signals if s.is_multiplexer]
    return decode_alone(message, multiplexors[-1], padded, True) if multiplexors else None
