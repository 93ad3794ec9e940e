"""Frames of every corpus message decode as cantools decodes them.

For each message of each corpus DBC, a few payloads (all zeros, all ones, random; with valid
multiplexor values written in) go through our codec (the decode_frames tool) and through
cantools' decode(decode_choices=False, scaling=True). Every value we produce must equal cantools'
value. Where one of our typing rules changes the value, the rule is named in cantools_support and
our value must be exactly what that rule makes of cantools' value (or of cantools' raw value).
"""

import random

import pytest

from cantools_support import (MAX_ROW_SIGNALS, OVERLAP, ROW_LIMIT, RULES_SEEN, check_entry,
                              corpus_requests, expected_rows, load_for_decoding, run_frames_tool,
                              selector_of)
from conftest import CORPUS_DIR, corpus_files
from test_dbc_corpus import unprefix

FILES = corpus_files()


@pytest.mark.skipif(not FILES, reason="corpus folder absent")
@pytest.mark.parametrize("path", FILES, ids=lambda p: str(p.relative_to(CORPUS_DIR)))
def test_corpus_frames_decode_like_cantools(path, tool, monkeypatch):
    db = load_for_decoding(path, monkeypatch)
    requests = corpus_requests(db, random.Random(path.name))
    results = run_frames_tool(tool("decode_frames"), path, [(key, data) for key, data, _ in requests])

    for (key, data, message), ours in zip(requests, results):
        where = f"{path.name} {message.name} {data.hex()}"
        assert not ours.get("unknown"), where
        padded = data.ljust(message.length, b"\0")
        signals = {unprefix(s.name): s for s in message.signals}
        selector = selector_of(message, padded)
        scaled, raw, whole, _ = expected_rows(key, message, data)
        if not whole:
            RULES_SEEN[OVERLAP] += 1

        # A multiplexor value that selects no signal gives no multiplexed group.
        entries = list(ours["base"])
        if any(s.multiplexer_ids and selector in s.multiplexer_ids for s in message.signals):
            assert ours["mux"] is not None, where
            assert ours["mux"]["selector"] == selector, where
            entries += ours["mux"]["signals"]
        else:
            assert ours["mux"] is None, where

        # Everything cantools decodes, we decode (values may still be absent, checked below).
        names = [e["name"] for e in entries]
        assert len(names) == len(set(names)), where
        missing = {unprefix(n) for n in scaled} - set(names)
        if missing:
            cut = MAX_ROW_SIGNALS in (len(ours["base"]), len(entries) - len(ours["base"]))
            assert cut, f"{where}: not decoded: {sorted(missing)}"
            RULES_SEEN[ROW_LIMIT] += len(missing)
        for entry in entries:
            signal = signals[entry["name"]]
            check_entry(entry, signal, scaled[signal.name], raw[signal.name], data,
                        f"{where} {entry['name']}")


@pytest.fixture(scope="module", autouse=True)
def report_rules():
    """With -s, prints how often each rule explained a difference from cantools."""
    yield
    print("\nrules applied:", dict(RULES_SEEN))
