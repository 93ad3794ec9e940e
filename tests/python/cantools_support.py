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
import types

import cantools
import numpy as np
import pytest

from test_dbc_corpus import cantools_text, expected_messages, load_with_cantools

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


def decode_cantools(message, data, selector):
    """cantools' scaled and raw values by signal name, or None where it cannot decode the whole
    message: overlapping signals make its combined unpacking fail. Then each signal we decoded is
    unpacked on its own, and which signals belong to the frame comes from the multiplexor value."""
    try:
        return (message.decode(data, decode_choices=False, scaling=True),
                message.decode(data, decode_choices=False, scaling=False), True)
    except cantools.database.DecodeError as error:
        assert "unpacking failed" in str(error), error
    chosen = [s for s in message.signals
              if not s.multiplexer_ids or selector in s.multiplexer_ids]
    return ({s.name: decode_alone(message, s, data, True) for s in chosen},
            {s.name: decode_alone(message, s, data, False) for s in chosen}, False)


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


# --- Random layouts ---------------------------------------------------------------------------------
# Whole factors with fractional and negative offsets, negative factors, and values beyond 64 bits.
FACTORS = ["1", "1", "2", "-1", "100", "-3", "1.0", "1e3", "0", "0.5", "0.1", "-0.25", "1e19", "-8"]
OFFSETS = ["0", "0", "1", "-1", "2048", "-40", "0.5", "-0.5", "-273.15", "1e9",
           "-9223372036854775808", "18446744073709551615"]


def random_dbc(rng, messages=12):
    """DBC text of messages whose signals lie at random non-overlapping places, of random width
    (up to 32 bits, or 33 to 64), byte order, sign and scaling; some are IEEE floats."""
    lines, value_types = ['VERSION ""', "", "BU_: ECU", ""], []
    for m in range(messages):
        length = rng.choice([8, 8, 16, 64])
        lines.append(f"BO_ {m + 1} R{m}: {length} ECU")
        used = set()
        for i in range(rng.randint(1, 10)):
            ieee = rng.random() < 0.15
            size = rng.choice([32, 64]) if ieee else rng.choice([rng.randint(1, 32), rng.randint(33, 64)])
            order = rng.choice(["little_endian", "big_endian"])
            layout = types.SimpleNamespace(start=rng.randrange(8 * length), length=size,
                                           byte_order=order)
            bits = set(bit_positions(layout))
            if bits & used or max(bits) >= 8 * length:
                continue
            used |= bits
            factor, offset = (rng.choice(["1", "0.5"]), rng.choice(["0", "1"])) if ieee else (
                rng.choice(FACTORS), rng.choice(OFFSETS))
            lines.append(f" SG_ S{m}_{i} : {layout.start}|{size}@{1 if order == 'little_endian' else 0}"
                         f"{rng.choice('+-')} ({factor},{offset}) [0|0] \"\" ECU")
            if ieee:
                value_types.append(f"SIG_VALTYPE_ {m + 1} S{m}_{i} : {1 if size == 32 else 2};")
        lines.append("")
    return "\n".join(lines + value_types) + "\n"
