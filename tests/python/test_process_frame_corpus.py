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
                              corpus_requests, expected_rows, load_for_decoding, run_frames_tool)
from conftest import CORPUS_DIR, corpus_files
from test_dbc_corpus import unprefix

FILES = corpus_files()


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


def check_rows(key, message, data, events, values, where):
    """Checks one frame's decoded rows (event names in arrival order, values by event) against
    cantools; returns whether the base row was written and the decode errors the frame calls for."""
    scaled, raw, whole, expected = expected_rows(key, message, data)
    if not whole:
        RULES_SEEN[OVERLAP] += 1
    # The base row first; sub-event rows in an order of their own.
    assert sorted(events) == sorted(name for name, _ in expected if name in values), where
    assert expected[0][0] not in values or events[0] == expected[0][0], where
    written = [check_row(values.get(name), signals, scaled, raw, data, f"{where} {name}")
               if signals else False for name, signals in expected]
    return written[0], sum(bool(g) and not w for (_, g), w in zip(expected, written))


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

        events = [row["event"] for row in rows[1:]]
        written, errors = check_rows(key, message, data, events,
                                     {row["event"]: row["values"] for row in rows[1:]}, where)
        assert ours["counts"] == [1, int(written), errors, 0], where


@pytest.fixture(scope="module", autouse=True)
def report_rules():
    """With -s, prints how often each rule explained a difference from cantools."""
    yield
    print("\nrules applied:", dict(RULES_SEEN))
