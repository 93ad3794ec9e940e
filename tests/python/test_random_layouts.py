"""Seeded random message layouts decode into the rows cantools' decode calls for.

Each seed writes a DBC of messages with plain signals and one or two multiplexors whose signals
are selected by value ranges (SG_MUL_VAL_), some of them multiplexors in turn, with labels on
some switch values. Signals other than switches take random widths (up to 64 bits), signs and
scalings: whole factors with fractional and negative offsets, negative factors, values beyond
64 bits, IEEE floats. Payloads with valid multiplexor values go through the per-frame step (the
process_frames tool) and are checked as the corpus frames are.
"""

import itertools
import random

import pytest

from cantools_support import load_for_decoding, payloads, run_frames_tool
from test_dbc_corpus import expected_messages
from test_process_frame_corpus import check_rows

SEEDS = range(32)
MESSAGES = 8
LENGTH = 16  # bytes
FACTORS = ["1", "1", "2", "-1", "100", "-3", "1.0", "1e3", "0", "0.5", "0.1", "-0.25", "1e19", "-8"]
OFFSETS = ["0", "0", "1", "-1", "2048", "-40", "0.5", "-0.5", "-273.15", "1e9",
           "-9223372036854775808", "18446744073709551615"]


def message_text(rng, frame_id):
    free = set(range(LENGTH * 8))
    names = (f"S{n}" for n in itertools.count())
    lines, extra = [f"BO_ {frame_id} M{frame_id}: {LENGTH} ECU"], []

    def signal(bits=None, mux=""):
        """A signal on free payload bits, either byte order, of random width unless `bits` says;
        None when none are found."""
        ieee = bits is None and rng.random() < 0.15
        if bits is None:
            bits = rng.choice([32, 64]) if ieee else rng.choice([rng.randint(1, 32),
                                                                 rng.randint(33, 64)])
        for _ in range(50):
            q, motorola = rng.randrange(LENGTH * 8 - bits + 1), rng.random() < 0.5
            run = [8 * (r // 8) + 7 - r % 8 for r in range(q, q + bits)] if motorola \
                else list(range(q, q + bits))
            if set(run) <= free:
                free.difference_update(run)
                name = next(names)
                if "M" in mux:
                    scaling, sign = "(1,0)", "+"
                elif ieee:
                    scaling, sign = f"({rng.choice(['1', '0.5'])},{rng.choice(['0', '1'])})", "+"
                    extra.append(f"SIG_VALTYPE_ {frame_id} {name} : {1 if bits == 32 else 2};")
                else:
                    scaling = f"({rng.choice(FACTORS)},{rng.choice(OFFSETS)})"
                    sign = rng.choice("+-")
                lines.append(f' SG_ {name} {mux} : {run[0]}|{bits}@{0 if motorola else 1}{sign} '
                             f'{scaling} [0|0] "" ECU')
                return name
        return None

    def select(switch, bits, depth):
        """Signals that `switch` selects by ranges of its values; some are switches themselves."""
        top = (1 << bits) - 1
        labelled = rng.sample(range(top + 1), rng.randint(0, top + 1))
        if labelled:
            extra.append(f"VAL_ {frame_id} {switch} " +
                         " ".join(f'{v} "L{v}"' for v in labelled) + ";")
        for k in range(rng.randint(1, 4)):
            ranges = []
            for _ in range(rng.randint(1, 2)):
                low = rng.randint(0, top)
                ranges.append((low, rng.randint(low, top)))
            nested = depth < 2 and (k == 0 or rng.random() < 0.3)
            width = rng.randint(1, 3) if nested else None
            name = signal(width, f"m{ranges[0][0]}M" if nested else f"m{ranges[0][0]}")
            if name:
                extra.append(f"SG_MUL_VAL_ {frame_id} {name} {switch} " +
                             ", ".join(f"{low}-{high}" for low, high in ranges) + ";")
                if nested:
                    select(name, width, depth + 1)

    for _ in range(rng.randint(0, 3)):
        signal()
    for _ in range(rng.randint(1, 2)):
        width = rng.randint(1, 3)
        if switch := signal(width, "M"):
            select(switch, width, 0)
    return lines, extra


def dbc_text(rng):
    lines, extra = ['VERSION ""', "", "BU_: ECU", ""], []
    for frame_id in range(1, MESSAGES + 1):
        body, statements = message_text(rng, frame_id)
        lines += body + [""]
        extra += statements
    return "\n".join(lines + extra) + "\n"


@pytest.mark.parametrize("seed", SEEDS)
def test_random_layouts_give_the_rows_cantools_decodes(seed, tool, tmp_path, monkeypatch):
    rng = random.Random(seed)
    path = tmp_path / "layouts.dbc"
    path.write_text(dbc_text(rng), encoding="utf-8")
    db = load_for_decoding(path, monkeypatch)
    requests = [(key, data, message) for key, message in sorted(expected_messages(db).items())
                for data in payloads(message, rng, message.length)]
    results = run_frames_tool(tool("process_frames"), path,
                              [(key, data) for key, data, _ in requests])

    depths = set()
    for (key, data, message), ours in zip(requests, results):
        events = [row["event"] for row in ours["rows"]]
        written, errors = check_rows(key, message, data, events,
                                     {row["event"]: row["values"] for row in ours["rows"]},
                                     f"seed {seed} {message.name} {data.hex()}")
        assert ours["counts"] == [1, int(written), errors, 0], (seed, message.name, data.hex())
        depths.update(event.count("/") for event in events)
    assert {1, 2} <= depths, "nested switches were never selected"
