"""Frames of every corpus message become the trace rows that cantools' decode calls for.

The payloads of the decoding cross-check (cantools_support) go through the whole per-frame step
(the process_frames tool, raw logging on, rows recorded by a fake SDK). Each frame must give the
raw row, then the base event's row and the selected multiplexed event's row, under the right
event names, with every value equal to cantools' value after our named typing rules, and the
counters must tell the same story as the rows.
"""

import random

import pytest

from cantools_support import (MAX_ROW_SIGNALS, OVERLAP, ROW_LIMIT, RULES_SEEN, check_entry,
                              corpus_requests, decode_cantools, load_for_decoding,
                              run_frames_tool, selector_of)
from conftest import CORPUS_DIR, corpus_files
from test_dbc_corpus import unprefix

FILES = corpus_files()


def event_key(key, message):
    frame_id, extended = key
    return f"{frame_id:0{8 if extended else 4}x}_{unprefix(message.name)}"


def mux_suffix(message, selector):
    multiplexor = [s for s in message.signals if s.is_multiplexer][-1]
    label = (multiplexor.choices or {}).get(selector)
    return str(label) if label is not None else str(selector)


def check_row(values, signals, scaled, raw, data, where):
    """Checks one event's row (None when none was written) against its signals; True if written."""
    names = {unprefix(s.name): s for s in signals}
    if values is not None:
        assert set(values) <= set(names), f"{where}: unexpected columns"
        assert 0 < len(values) <= MAX_ROW_SIGNALS, where
    for name, signal in names.items():
        at = f"{where} {name}"
        if values is not None and name in values:
            check_entry(values[name], signal, scaled[signal.name], raw[signal.name], data, at)
        elif len(names) > MAX_ROW_SIGNALS and values is not None:
            RULES_SEEN[ROW_LIMIT] += 1
        else:
            # Not in the row: absent for one of our reasons, never lost.
            check_entry({"value": None}, signal, scaled.get(signal.name), None, data, at)
    return values is not None


@pytest.mark.skipif(not FILES, reason="corpus folder absent")
@pytest.mark.parametrize("path", FILES, ids=lambda p: str(p.relative_to(CORPUS_DIR)))
def test_corpus_frames_give_the_rows_cantools_decodes(path, tool, monkeypatch):
    db = load_for_decoding(path, monkeypatch)
    requests = corpus_requests(db, random.Random(path.name))
    results = run_frames_tool(tool("process_frames"), path,
                              [(key, data) for key, data, _ in requests], "--raw")

    for n, ((key, data, message), ours) in enumerate(zip(requests, results)):
        where = f"{path.name} {message.name} {data.hex()}"
        rows = ours["rows"]
        assert all(row["time_ns"] == n * 10**9 for row in rows), where

        # The raw row comes first and carries the frame as sent.
        assert rows and rows[0]["event"] == "can_raw", where
        assert rows[0]["values"] == {
            "arbitration_id": {"type": "UInt32", "value": key[0]},
            "dlc": {"type": "UInt8", "value": len(data) % 256},
            "is_extended": {"type": "Boolean", "value": int(key[1])},
            "is_fd": {"type": "Boolean", "value": 0},
            "data": {"type": "Binary", "value": data.hex()},
        }, where

        padded = data.ljust(message.length, b"\0")
        selector = selector_of(message, padded)
        scaled, raw, whole = decode_cantools(message, padded, selector)
        if not whole:
            RULES_SEEN[OVERLAP] += 1
        base = [s for s in message.signals if not s.multiplexer_ids]
        group = [s for s in message.signals if s.multiplexer_ids and selector in s.multiplexer_ids]

        decoded = {row["event"]: row["values"] for row in rows[1:]}
        base_name = event_key(key, message)
        mux_name = f"{base_name}/{mux_suffix(message, selector)}" if group else None
        expected_order = [name for name in (base_name, mux_name) if name in decoded]
        assert [row["event"] for row in rows[1:]] == expected_order, where

        base_written = check_row(decoded.get(base_name), base, scaled, raw, data,
                                 f"{where} {base_name}") if base else False
        mux_written = check_row(decoded.get(mux_name), group, scaled, raw, data,
                                f"{where} {mux_name}") if group else False
        errors = (bool(base) and not base_written) + (bool(group) and not mux_written)
        assert ours["counts"] == [1, int(base_written), errors, 0], where


@pytest.fixture(scope="module", autouse=True)
def report_rules():
    """With -s, prints how often each rule explained a difference from cantools."""
    yield
    print("\nrules applied:", dict(RULES_SEEN))
